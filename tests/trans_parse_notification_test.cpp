// Notification intake: the host looks at a pushed m-notification-ind before
// it decides to download.
#include "rorodire.h"
#include "test_support.h"

using rrtest::Bytes;
using rrtest::HeapCopy;
using rrtest::operator+;

namespace {

// Transaction-Id "t1", Message-Size 4096, relative Expiry 86400, a From and
// the Content-Location "http://r/1".
const Bytes kNotification = rrtest::bytes({0x8C, 0x82, 0x98, 0x74, 0x31, 0x00, 0x8D, 0x92, 0x89, 0x10, 0x80}) +
                            rrtest::text0("+358/TYPE=PLMN") +
                            rrtest::bytes({0x8E, 0x02, 0x10, 0x00, 0x88, 0x05, 0x81, 0x03, 0x01, 0x51, 0x80, 0x83}) +
                            rrtest::text0("http://r/1");

TEST(ParseMMSNotification, DecodesForTheHost) {
    HeapCopy pdu(kNotification);
    tCPS_PduBuf buf{const_cast<unsigned char *>(pdu.data()), pdu.size()};
    rrtest::LeakCheck leaks;
    rrtest::LogCapture log;
    tMMS_NotifyInd *n = fnCPS_ParseMMSNotification(&buf);
    ASSERT_NE(n, nullptr);
    EXPECT_STREQ(n->Transaction_Id, "t1");
    EXPECT_STREQ(n->From, "+358");
    EXPECT_EQ(n->Message_Size, 4096);
    EXPECT_EQ(n->Expiry_Token, 0x81);
    EXPECT_EQ(n->Expiry, 86400);
    EXPECT_STREQ(n->Content_Location, "http://r/1");
    EXPECT_TRUE(log.contains("..\\..\\mms_send_download\\hbxappglib_Notify.cpp:")) << log.text();
    EXPECT_TRUE(log.contains("- mzk:enter fnCPS_ParseMMSNotification\n"));
    fnMMS_FreeMessageMem(n, MMS_STRUCT_MMS_NOTIFICATION_IND);
}

TEST(ParseMMSNotification, GivesNullForWhatDoesNotDecode) {
    rrtest::LeakCheck leaks;
    rrtest::LogCapture log;
    EXPECT_EQ(fnCPS_ParseMMSNotification(nullptr), nullptr);
    EXPECT_TRUE(log.contains("mzk:enter fnCPS_ParseMMSNotification\n"));

    Bytes retrieved = kNotification;
    retrieved[1] = 0x84;  // a retrieve confirmation is no notification
    HeapCopy wrong(retrieved);
    tCPS_PduBuf buf{const_cast<unsigned char *>(wrong.data()), wrong.size()};
    EXPECT_EQ(fnCPS_ParseMMSNotification(&buf), nullptr);

    tCPS_PduBuf none{nullptr, 10};
    EXPECT_EQ(fnCPS_ParseMMSNotification(&none), nullptr);
    HeapCopy pdu(kNotification);
    tCPS_PduBuf empty{const_cast<unsigned char *>(pdu.data()), 0};
    EXPECT_EQ(fnCPS_ParseMMSNotification(&empty), nullptr);
    tCPS_PduBuf negative{const_cast<unsigned char *>(pdu.data()), -5};
    EXPECT_EQ(fnCPS_ParseMMSNotification(&negative), nullptr);
}

TEST(ParseMMSNotification, ReadsOnlyTheGivenLength) {
    // The length in the buffer record is what counts, not the bytes behind it:
    // cut inside the Content-Location, the record comes without it.
    HeapCopy pdu(Bytes(kNotification.begin(), kNotification.end() - 3));
    tCPS_PduBuf buf{const_cast<unsigned char *>(pdu.data()), pdu.size()};
    tMMS_NotifyInd *n = fnCPS_ParseMMSNotification(&buf);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->Content_Location, nullptr);
    EXPECT_EQ(n->Message_Size, 4096);
    fnMMS_FreeMessageMem(n, MMS_STRUCT_MMS_NOTIFICATION_IND);
}

}  // namespace
