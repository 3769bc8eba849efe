// The relay's encoders (m-send-conf, m-notification-ind, m-retrieve-conf)
// read back through the library's own decoders, field for field, over many
// generated records; and every allocation failure gives null without a leak.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "MMSProl_Encapsulaton_EncodeRelay.h"
#include "qx_internal.h"
#include "qx_log.h"
#include "test_support.h"

namespace {

using rrtest::Bytes;

char *dup(const std::string &s) { return fnQX_MEMSTRCOPY(s.c_str()); }

// A text of ASCII letters; with utf8, also UTF-8 and the bytes a reader
// could take for a length (below 0x20) or for the quote (0x7F), anywhere.
std::string random_text(std::mt19937 &rng, size_t maxLen, bool utf8 = false) {
    static const char *pieces[] = {"a", "Z", "0", " ", "-", ".", "\xC3\xA4", "\xE2\x82\xAC", "x", "\x7F", "\x1E", "\x01"};
    std::string s;
    const size_t n = 1 + rng() % maxLen;
    while (s.size() < n) s += utf8 ? pieces[rng() % 12] : pieces[rng() % 6];
    return s;
}

// A phone number, at times behind a byte that reads as a length or the quote.
std::string phone(std::mt19937 &rng) {
    static const char *lead[] = {"+", "+", "+", "\x7F", "\x1E", "\x1F", "\xE2\x82\xAC"};
    return lead[rng() % 7] + std::to_string(1000000 + rng() % 90000000);
}

class RelayEncode : public ::testing::Test {
protected:
    void SetUp() override { qx::set_log_enabled(false); }
    void TearDown() override { qx::set_log_enabled(true); }
    rrtest::LeakCheck leaks_;
};

TEST_F(RelayEncode, SendConfStatusesReadBack) {
    for (int status = 0x80; status <= 0xFF; ++status) {
        for (const char *text : {static_cast<const char *>(nullptr), "Rejected: quota"}) {
            int len = 0;
            uint8_t *pdu = fnMMS_MakeSendConfPdu("tid-7", static_cast<uint8_t>(status), text, "msg-9", &len);
            ASSERT_NE(pdu, nullptr);
            rrtest::HeapCopy copy(pdu, static_cast<size_t>(len));
            tMMS_SendConf *c = fnMMS_ParseSendConf(copy.data(), copy.size());
            ASSERT_NE(c, nullptr);
            EXPECT_EQ(c->Message_Type, 0x81);
            EXPECT_EQ(c->Response_Status, status);
            EXPECT_STREQ(c->Transaction_Id, "tid-7");
            EXPECT_STREQ(c->Message_Id, "msg-9");
            if (text) { EXPECT_STREQ(c->Response_Text, text); }
            fnMMS_FreeMessageMem(c, MMS_STRUCT_SEND_CONF);
            // MMS 1.1+ errors give the result of their MMS 1.0 kin.
            const int later = status == 0xE1 ? 2 : status == 0xE2 ? 3 : (status == 0xC1 || status == 0xE3) ? 4
                            : (status == 0xC2 || status == 0xE4) ? 5 : status == 0xC3 ? 6 : status == 0xE5 ? 7 : 9;
            const int expect = status <= 0x88 ? status - 0x80 : later;
            EXPECT_EQ(fnMMS_RecvSendConfData(copy.data(), copy.size()), expect);
            fnQX_Free(reinterpret_cast<void **>(&pdu));
        }
    }
}

TEST_F(RelayEncode, NotificationsReadBack) {
    std::mt19937 rng(11);
    for (int i = 0; i < 300; ++i) {
        SCOPED_TRACE(i);
        tMMS_NotifyInd rec{};
        const std::string tid = rng() % 2 ? "T" + std::to_string(rng()) : random_text(rng, 12, true);
        const std::string loc = "http://127.0.0.1:" + std::to_string(1 + rng() % 65535) + "/msg/" + random_text(rng, 40);
        const std::string from = rng() % 2 ? phone(rng) : "someone@example.org";
        const std::string subject = random_text(rng, rng() % 3 ? 20 : 300, true);
        rec.Transaction_Id = dup(tid);
        rec.Content_Location = dup(loc);
        if (rng() % 4) rec.From = dup(from);
        if (rng() % 3) rec.Subject = dup(subject);
        rec.Message_Class = static_cast<uint8_t>(0x80 + rng() % 4);
        rec.Priority = static_cast<uint8_t>(0x80 + rng() % 3);
        const uint32_t sizes[] = {0, 1, 255, 256, 65536, 307200, 0x7FFFFFFF};
        rec.Message_Size = static_cast<int>(sizes[rng() % 7]);
        rec.Expiry = static_cast<int>(rng() % 3 ? rng() % 2000000 : 0);
        rec.Expiry_Token = rng() % 2 ? 0x80 : 0x81;
        int len = 0;
        uint8_t *pdu = fnMMS_MakeNotificationIndPdu(&rec, &len);
        ASSERT_NE(pdu, nullptr);
        rrtest::HeapCopy copy(pdu, static_cast<size_t>(len));
        fnQX_Free(reinterpret_cast<void **>(&pdu));
        tMMS_NotifyInd *n = fnMMS_ParseNotificationInd(copy.data(), copy.size());
        ASSERT_NE(n, nullptr) << rrtest::hex(copy.data(), static_cast<size_t>(copy.size()));
        EXPECT_STREQ(n->Transaction_Id, tid.c_str());
        EXPECT_STREQ(n->Content_Location, loc.c_str());
        EXPECT_EQ(n->Message_Size, rec.Message_Size);
        EXPECT_EQ(n->Message_Class, rec.Message_Class);
        EXPECT_EQ(n->Priority, rec.Priority);
        if (rec.From) EXPECT_STREQ(n->From, from.c_str());
        else EXPECT_EQ(n->From, nullptr);
        if (rec.Subject) { EXPECT_STREQ(n->Subject, subject.c_str()); }
        if (rec.Expiry > 0) {
            EXPECT_EQ(n->Expiry, rec.Expiry);
            EXPECT_EQ(n->Expiry_Token, rec.Expiry_Token);
        }
        fnMMS_FreeMessageMem(n, MMS_STRUCT_MMS_NOTIFICATION_IND);
        // The encoder does not own the record's texts.
        qx::free_ptr(rec.Transaction_Id);
        qx::free_ptr(rec.Content_Location);
        qx::free_ptr(rec.From);
        qx::free_ptr(rec.Subject);
    }
}

TEST_F(RelayEncode, RetrieveConfsReadBackWithTheBodyUnchanged) {
    std::mt19937 rng(5);
    for (int i = 0; i < 200; ++i) {
        SCOPED_TRACE(i);
        tMMS_RetrieveConf rec{};
        std::string to, cc;
        for (unsigned k = 0, n = 1 + rng() % 5; k < n; ++k) to += (k ? ";" : "") + phone(rng);
        for (unsigned k = 0, n = rng() % 4; k < n; ++k) cc += (k ? ";" : "") + std::string("cc") + std::to_string(k) + "@ex.org";
        Bytes body = rrtest::bytes({0x84, 0xA3, 0x01, 0x02, 0x01, 0x83});
        for (size_t k = 0, n = rng() % 5000; k < n; ++k) body.push_back(static_cast<uint8_t>(rng()));
        rec.Transaction_Id = dup("tid-" + std::to_string(i));
        rec.Message_Id = dup(rng() % 2 ? "mid-" + std::to_string(rng()) : random_text(rng, 12, true));
        rec.From = dup(phone(rng));
        rec.To = dup(to);
        if (!cc.empty()) rec.Cc = dup(cc);
        if (rng() % 2) rec.Subject = dup(random_text(rng, 60, true));
        rec.Date = static_cast<uint32_t>(rng());  // every 32-bit date, past 2038 too
        rec.Message_Class = static_cast<uint8_t>(0x80 + rng() % 4);
        rec.Priority = static_cast<uint8_t>(0x80 + rng() % 3);
        rec.Delivery_Report = static_cast<int>(rng() % 2);
        rec.Read_Reply = static_cast<int>(rng() % 2);
        rec.body = body.data();
        rec.Content_Size = static_cast<int>(body.size());
        int len = 0;
        uint8_t *pdu = fnMMS_MakeRetrieveConfPdu(&rec, &len);
        ASSERT_NE(pdu, nullptr);
        rrtest::HeapCopy copy(pdu, static_cast<size_t>(len));
        fnQX_Free(reinterpret_cast<void **>(&pdu));
        tMMS_RetrieveConf *r = fnMMS_ParseRetrieveConf(copy.data(), copy.size());
        ASSERT_NE(r, nullptr);
        EXPECT_STREQ(r->Transaction_Id, rec.Transaction_Id);
        EXPECT_STREQ(r->Message_Id, rec.Message_Id);
        EXPECT_STREQ(r->From, rec.From);
        EXPECT_STREQ(r->To, rec.To);
        if (rec.Cc) { EXPECT_STREQ(r->Cc, rec.Cc); }
        if (rec.Subject) { EXPECT_STREQ(r->Subject, rec.Subject); }
        EXPECT_EQ(r->Date, rec.Date);
        EXPECT_EQ(r->Message_Class, rec.Message_Class);
        EXPECT_EQ(r->Priority, rec.Priority);
        EXPECT_EQ(r->Delivery_Report, rec.Delivery_Report);
        EXPECT_EQ(r->Read_Reply, rec.Read_Reply);
        ASSERT_EQ(r->Content_Size, static_cast<int>(body.size()));
        EXPECT_EQ(Bytes(r->body, r->body + r->Content_Size), body);
        // The body is the tail of the PDU, byte for byte.
        EXPECT_EQ(Bytes(copy.data() + copy.size() - body.size(), copy.data() + copy.size()), body);
        fnMMS_FreeMessageMem(r, MMS_STRUCT_RETRIEVE_CONF);
        rec.body = nullptr;
        qx::free_ptr(rec.Transaction_Id);
        qx::free_ptr(rec.Message_Id);
        qx::free_ptr(rec.From);
        qx::free_ptr(rec.To);
        qx::free_ptr(rec.Cc);
        qx::free_ptr(rec.Subject);
    }
}

TEST_F(RelayEncode, RefusalsAndAllocationFailures) {
    int len = 5;
    EXPECT_EQ(fnMMS_MakeSendConfPdu(nullptr, 0x80, nullptr, nullptr, &len), nullptr);
    EXPECT_EQ(fnMMS_MakeSendConfPdu("t", 0x80, nullptr, nullptr, nullptr), nullptr);
    tMMS_NotifyInd n{};
    n.Transaction_Id = const_cast<char *>("t");
    EXPECT_EQ(fnMMS_MakeNotificationIndPdu(&n, &len), nullptr) << "no Content-Location";
    tMMS_RetrieveConf r{};
    EXPECT_EQ(fnMMS_MakeRetrieveConfPdu(&r, &len), nullptr) << "no Transaction-Id";
    r.Transaction_Id = const_cast<char *>("t");
    n.Content_Location = const_cast<char *>("http://x/y");
    rrtest::for_each_alloc_failure([&](long) {
        for (uint8_t *p : {fnMMS_MakeSendConfPdu("t", 0x80, "x", "m", &len), fnMMS_MakeNotificationIndPdu(&n, &len),
                           fnMMS_MakeRetrieveConfPdu(&r, &len)}) {
            if (p) fnQX_Free(reinterpret_cast<void **>(&p));
        }
    });
}

}  // namespace
