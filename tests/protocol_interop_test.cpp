// Real PDUs written by operators' relays and by phones, through the matching
// decoder. The expected values are Wireshark's (4.0, MMSE and WSP multipart
// dissectors), not ours: each PDU was wrapped and dissected with
//
//   python3 shared/tools/pdu2pcap.py /tmp/x.pcap shared/interop/FILE
//   tshark -r /tmp/x.pcap -V -O mmse        (header fields)
//   tshark -r /tmp/x.pcap -T pdml           (byte positions, raw field values)
//
// Differences that follow from our record layout, not from the PDU:
// - addresses come without the "/TYPE=PLMN" suffix Wireshark shows, and
//   repeated To/Cc fields are joined with ";" in their order;
// - dates are the seconds since 1970 of Wireshark's UTC date;
// - texts that Wireshark prints with replacement characters (UTF-8 in an
//   Encoded-string-value) are the UTF-8 bytes of the pdml "value" after the
//   Value-length, the charset 0xEA and the quote 0x7F.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "test_support.h"

using rrtest::Bytes;
using rrtest::HeapCopy;

namespace {

std::string s(const char *t) { return t ? t : "<null>"; }

Bytes load(const std::string &name) {
    Bytes b = rrtest::read_file(rrtest::interop_path(name));
    EXPECT_FALSE(b.empty()) << name;
    return b;
}

#define REQUIRE_INTEROP()                                                         \
    do {                                                                          \
        if (!rrtest::interop_available()) GTEST_SKIP() << "interop corpus absent"; \
    } while (0)

// ================================================================ m-notification-ind

struct NotifyCase {
    const char *file;
    const char *transactionId;
    const char *from;
    uint8_t messageClass;
    int messageSize;
    uint8_t expiryToken;
    int expiry;
    const char *contentLocation;
};

// tshark -r X -V -O mmse: X-Mms-Transaction-ID, From, X-Mms-Message-Class,
// X-Mms-Message-Size, X-Mms-Expiry (relative seconds, or the absolute date
// Nov 14, 2016 22:02:18 UTC = 1479160938), X-Mms-Content-Location.
const NotifyCase kNotifications[] = {
    {"m-notification_1.ind", "m10l9m7u03mct2jbc12@mms.beeline.ru", "+79050000000", 0x80, 25031, 0x81, 259199,
     "http://mmsr5/?message-id=m10l9m7u03mct2jbc12"},
    {"m-notification_2.ind", "BH1CFPLK7PMO1@xma.724.com", "+358500000000", 0x80, 89844, 0x81, 259198,
     "http://172.19.24.3:8000/MMSBH1CFPLK7PMO1"},
    {"m-notification_3.ind", "Ad0b9pXNC_Be1I_VQ", "+358540000000", 0x80, 137105, 0x81, 259199,
     "http://mmsc42:10021/mmsc/4_2?Ad0b9pXNC_Be1I_VQ"},
    {"m-notification_4.ind", "000_0000000000000000_0", "0000000000", 0x80, 839556, 0x80, 1479160938,
     "http://tnz-retrieve.sun2.lightsurf.net:80/?msgid=000_0000000000000000_0&userId=0000000"},
};

TEST(InteropNotification, MatchesWireshark) {
    REQUIRE_INTEROP();
    for (const auto &tc : kNotifications) {
        SCOPED_TRACE(tc.file);
        HeapCopy pdu(load(tc.file));
        rrtest::LeakCheck leaks;
        tMMS_NotifyInd *n = fnMMS_ParseNotificationInd(pdu.data(), pdu.size());
        ASSERT_NE(n, nullptr);
        EXPECT_EQ(s(n->Transaction_Id), tc.transactionId);
        EXPECT_EQ(s(n->From), tc.from);
        EXPECT_EQ(n->Message_Class, tc.messageClass);
        EXPECT_EQ(n->Priority, 0);  // none of them carries X-Mms-Priority
        EXPECT_EQ(n->Message_Size, tc.messageSize);
        EXPECT_EQ(n->Expiry_Token, tc.expiryToken);
        EXPECT_EQ(n->Expiry, tc.expiry);
        EXPECT_EQ(s(n->Content_Location), tc.contentLocation);
        EXPECT_EQ(n->Subject, nullptr);  // nor a Subject
        fnMMS_FreeMessageMem(n, MMS_STRUCT_MMS_NOTIFICATION_IND);
    }
}

TEST(InteropNotification, AnswersOfAPhoneAreNoNotifications) {
    REQUIRE_INTEROP();
    // tshark: X-Mms-Message-Type m-acknowledge-ind (0x85), m-notifyresp-ind (0x83).
    for (const char *file : {"m-acknowledge.ind", "m-notifyresp.ind"}) {
        HeapCopy pdu(load(file));
        rrtest::LeakCheck leaks;
        EXPECT_EQ(fnMMS_ParseNotificationInd(pdu.data(), pdu.size()), nullptr) << file;
        EXPECT_EQ(fnMMS_ParseRetrieveConf(pdu.data(), pdu.size()), nullptr) << file;
    }
}

// ================================================================ m-retrieve-conf

struct RetrieveCase {
    const char *file;
    const char *transactionId;
    const char *messageId;
    int date;
    const char *from;
    const char *to;
    const char *cc;
    const char *subject;
    uint8_t messageClass, priority, retrieveStatus;
    int deliveryReport, readReply;
    int bodyOffset;  // position of the Content-Type field (pdml pos of its value - 1)
    int contentSize;
};

// tshark -r X -V -O mmse for the header fields; Date: Dec 29, 2013 10:08:44,
// Dec 16, 2013 15:27:02, Apr 13, 2014 10:36:57, Apr 11, 2014 15:50:01 UTC.
// Body position and size from tshark -T pdml: the "wsp.header.content_type"
// field right after the MMSE headers starts one byte after the 0x84, and the
// body runs to the end of the "mmse" proto.
const RetrieveCase kRetrieved[] = {
    {"m-retrieve_1.conf", "m10l9m7u03mct2jbc12@mms.beeline.ru", "m10bdtxic3mct2jbc12@mms.beeline.ru", 1388311724,
     "+79050000000", "+79650000001;+79650000002", "+79650000003;+79650000004", nullptr, 0x81, 0x81, 0x80, 0, 1, 247,
     14475},
    {"m-retrieve_2.conf", "BGYC4JKHIJB41@xma.724.com", "83468B6C-6666-71E3-9FE7-D485645D9364", 1387207622,
     "+358500000000", "+358449722969", nullptr, "Входит Пушкин в летном шлеме...", 0x82, 0x81, 0, 0, 0, 196,
     87364},
    {"m-retrieve_3.conf", "0413103657100000000000000", "041310365710000000000", 1397385417, "+436646620958",
     "+436644600167", nullptr, nullptr, 0x80, 0x81, 0, 0, 0, 122, 137269},
    // Wireshark shows an empty Subject (0x96 0x02 0xEA 0x00): an empty UTF-8
    // text converts to none, so the record has no Subject.
    {"m-retrieve_4.conf", "23wE4C01E0DWM00", "23wE4C01E0DWM00", 1397231401, "01234567890", nullptr, nullptr,
     nullptr, 0x80, 0x81, 0x80, 1, 0, 73, 201},
};

TEST(InteropRetrieve, HeaderFieldsMatchWireshark) {
    REQUIRE_INTEROP();
    for (const auto &tc : kRetrieved) {
        SCOPED_TRACE(tc.file);
        const Bytes raw = load(tc.file);
        HeapCopy pdu(raw);
        rrtest::LeakCheck leaks;
        tMMS_RetrieveConf *r = fnMMS_ParseRetrieveConf(pdu.data(), pdu.size());
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(s(r->Transaction_Id), tc.transactionId);
        EXPECT_EQ(s(r->Message_Id), tc.messageId);
        EXPECT_EQ(r->Date, tc.date);
        EXPECT_EQ(s(r->From), tc.from);
        EXPECT_EQ(s(r->To), s(tc.to));
        EXPECT_EQ(s(r->Cc), s(tc.cc));
        EXPECT_EQ(s(r->Subject), s(tc.subject));
        EXPECT_EQ(r->Message_Class, tc.messageClass);
        EXPECT_EQ(r->Priority, tc.priority);
        EXPECT_EQ(r->Retrieve_Status, tc.retrieveStatus);
        EXPECT_EQ(r->Delivery_Report, tc.deliveryReport);
        EXPECT_EQ(r->Read_Reply, tc.readReply);
        ASSERT_EQ(r->Content_Size, tc.contentSize);
        ASSERT_EQ(static_cast<size_t>(tc.bodyOffset + tc.contentSize), raw.size());
        ASSERT_NE(r->body, nullptr);
        EXPECT_EQ(r->body[0], 0x84);
        EXPECT_EQ(std::memcmp(r->body, raw.data() + tc.bodyOffset, static_cast<size_t>(tc.contentSize)), 0);
        fnMMS_FreeMessageMem(r, MMS_STRUCT_RETRIEVE_CONF);
    }
}

// ---------------------------------------------------------------- retrieved bodies

struct PartRow {
    const char *contentType;
    const char *fileName;   // Content-Location; else the Name parameter; else our text name
    const char *nameParam;  // Name parameter
    const char *contentId;  // Content-ID without quote and angle brackets
    int charset;            // 106 where Wireshark shows charset=UTF-8, else none
    int dataOffset;         // data position in the body (pdml pos of the part data - body pos)
    int dataLen;            // pdml size of the part data
};

struct BodyCase {
    const char *file;
    PartRow smil;  // contentType null: no SMIL part
    std::vector<PartRow> parts;
};

// tshark -r X -T pdml: for every "wsp.multipart" entry its
// "wsp.header.content_type", the parameters "wsp.parameter.name" and
// "wsp.parameter.charset", the headers "wsp.header.content_location" and
// "wsp.header.content_id", and the position and size of the part data (the
// proto inside the entry: smil, data-text-lines, image-jfif), counted from
// the body's 0x84. m-retrieve_4's text part has no name at all: it is named
// "MMS_Text00%d.txt" with the number of parts before it.
const BodyCase kBodies[] = {
    {"m-retrieve_1.conf",
     {"application/smil", "0.smil", "0.smil", "0.smil", 106, 82, 438},
     {{"text/plain", "text_001.txt", "text_001.txt", "text_001.txt", 106, 571, 127},
      {"image/jpeg", "pic_49c2735abe536994f5a7b85c08af6199.jpg", "pic_49c2735abe536994f5a7b85c08af6199.jpg",
       "pic_49c2735abe536994f5a7b85c08af6199.jpg", 0, 834, 13641}}},
    {"m-retrieve_2.conf",
     {"application/smil", "0.smil", "0.smil", "0", 106, 72, 574},
     {{"text/plain", "text_0011.txt", "text_0011.txt", "text_0011.txt", 106, 719, 523},
      {"image/jpeg", "131200131.jpg", "131200131.jpg", "131200131.jpg", 0, 1314, 39005},
      {"text/plain", "text_0021.txt", "text_0021.txt", "text_0021.txt", 106, 40392, 549},
      {"image/jpeg", "131200011.jpg", "131200011.jpg", "131200011.jpg", 0, 41013, 46351}}},
    {"m-retrieve_3.conf",
     {"application/smil", "", "smil", "smil", 106, 66, 366},
     {{"text/plain", "text_001.txt", "text_001.txt", "text_001.txt", 106, 481, 43},
      {"image/jpeg", "13120001.jpg", "13120001.jpg", "13120001.jpg", 0, 573, 136696}}},
    {"m-retrieve_4.conf",
     {nullptr, nullptr, nullptr, nullptr, 0, 0, 0},
     {{"text/plain", "MMS_Text000.txt", "MMS_Text000.txt", nullptr, 106, 10, 191}}},
    {"m-send_1.req",
     {"application/smil", "", "0.smil", "0", 106, 64, 234},
     {{"image/jpeg", "1.jpg", "1.jpg", "1", 0, 324, 114857}}},
    {"m-send_2.req",
     {"application/smil", "", "", "0.smil", 0, 59, 300},
     {{"image/jpeg", "IMG_7324.jpg", "IMG_7324.jpg", "1", 0, 414, 263998}}},
    {"m-send_3.req",
     {"application/smil", "smil.xml", "smil.xml", "smil", 0, 80, 354},
     {{"image/jpeg", "temp.jpg", "temp.jpg", "temp", 0, 469, 92910},
      {"text/plain", "text_0.txt", "text_0.txt", "text_0", 106, 93420, 2}}},
};

void check_body(const BodyCase &tc, const unsigned char *body, int size) {
    mmresstruct *b = fnMMS_DecodeBody(body, size);
    ASSERT_NE(b, nullptr);
    if (tc.smil.contentType) {
        ASSERT_NE(b->Smil, nullptr);
        EXPECT_EQ(s(b->Smil->Content_Type), tc.smil.contentType);
        EXPECT_EQ(b->Smil->Data, body + tc.smil.dataOffset);
        EXPECT_EQ(b->Smil->Data_Len, tc.smil.dataLen);
        if (b->Smil->Data && b->Smil->Data_Len > 6) {
            EXPECT_EQ(std::memcmp(b->Smil->Data, "<smil>", 6), 0);
        }
    } else {
        EXPECT_EQ(b->Smil, nullptr);
    }
    size_t i = 0;
    for (const tMMS_Element *e = b->Parts; e; e = e->next, ++i) {
        ASSERT_LT(i, tc.parts.size());
        const PartRow &want = tc.parts[i];
        SCOPED_TRACE(want.fileName);
        EXPECT_EQ(s(e->Content_Type), want.contentType);
        EXPECT_EQ(s(e->File_Name), want.fileName);
        EXPECT_EQ(s(e->Name_Param), s(want.nameParam));
        EXPECT_EQ(s(e->Content_Id), s(want.contentId));
        EXPECT_EQ(e->Has_Charset, want.charset ? 1 : 0);
        if (want.charset) {
            EXPECT_EQ(e->Charset, want.charset);
        }
        EXPECT_EQ(e->Data, body + want.dataOffset);
        EXPECT_EQ(e->Data_Len, want.dataLen);
    }
    EXPECT_EQ(i, tc.parts.size());
    fnMMS_FreeDecodedBody(b);
}

TEST(InteropBody, RetrievedAndStoredBodiesSplitIntoTheirParts) {
    REQUIRE_INTEROP();
    for (const auto &tc : kBodies) {
        SCOPED_TRACE(tc.file);
        HeapCopy pdu(load(tc.file));
        rrtest::LeakCheck leaks;
        if (std::string(tc.file).find("retrieve") != std::string::npos) {
            tMMS_RetrieveConf *r = fnMMS_ParseRetrieveConf(pdu.data(), pdu.size());
            ASSERT_NE(r, nullptr);
            check_body(tc, r->body, r->Content_Size);
            fnMMS_FreeMessageMem(r, MMS_STRUCT_RETRIEVE_CONF);
        } else {
            tMMS_SendReq *q = fnMMS_ParseSendContent(pdu.data(), pdu.size());
            ASSERT_NE(q, nullptr);
            check_body(tc, q->ContentTypeAndBody, q->Body_Len);
            fnMMS_FreeMessageMem(q, MMS_STRUCT_SEND_REQ);
        }
    }
}

// ================================================================ m-send-req

struct SendReqCase {
    const char *file;
    const char *transactionId;
    int date;
    const char *to;
    const char *subject;
    uint8_t messageClass, priority;
    int bodyOffset, bodyLen;
};

// tshark -r X -V -O mmse. All three leave the sender to the relay
// (From: <insert address>) and carry no Cc or Bcc. m-send_3.req: Date Apr 12,
// 2014 13:23:12 UTC, X-Mms-Message-Class Personal, X-Mms-Priority Normal; the
// other two carry neither, so the record keeps Priority 1 (Normal, as the
// composer counts) and Message_Class 0. Body position from tshark -T pdml as
// for the retrieved messages.
const SendReqCase kSendRequests[] = {
    {"m-send_1.req", "c024802b-2ebf-428d-b4d6-a8f991deed44", 0, "+358444444444", "Fw: another test", 0, 1, 98,
     115181},
    {"m-send_2.req", "1397291245-0", 0, "+358500000000", nullptr, 0, 1, 48, 264412},
    {"m-send_3.req", "T14556160e0f", 1397308992, "+1234567890", "Fwd: ", 0x80, 0x81, 76, 93422},
};

TEST(InteropSendRequest, StoredRequestsOpenAgain) {
    REQUIRE_INTEROP();
    for (const auto &tc : kSendRequests) {
        SCOPED_TRACE(tc.file);
        const Bytes raw = load(tc.file);
        HeapCopy pdu(raw);
        rrtest::LeakCheck leaks;
        tMMS_SendReq *r = fnMMS_ParseSendContent(pdu.data(), pdu.size());
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(s(r->Transaction_Id), tc.transactionId);
        EXPECT_EQ(r->Date, tc.date);
        EXPECT_EQ(r->From, nullptr);
        EXPECT_EQ(s(r->To), tc.to);
        EXPECT_EQ(r->Cc, nullptr);
        EXPECT_EQ(r->Bcc, nullptr);
        EXPECT_EQ(s(r->Subject), s(tc.subject));
        EXPECT_EQ(r->Message_Class, tc.messageClass);
        EXPECT_EQ(r->Priority, tc.priority);
        ASSERT_EQ(r->Body_Len, tc.bodyLen);
        ASSERT_EQ(static_cast<size_t>(tc.bodyOffset + tc.bodyLen), raw.size());
        ASSERT_NE(r->ContentTypeAndBody, nullptr);
        EXPECT_EQ(std::memcmp(r->ContentTypeAndBody, raw.data() + tc.bodyOffset, static_cast<size_t>(tc.bodyLen)), 0);
        fnMMS_FreeMessageMem(r, MMS_STRUCT_SEND_REQ);
    }
}

// ================================================================ m-send-conf

struct SendConfCase {
    const char *file;
    const char *transactionId;
    uint8_t version;
    uint8_t status;
    int result;
    const char *responseText;
    const char *messageId;
};

// tshark -r X -V -O mmse: X-Mms-Transaction-ID, X-Mms-MMS-Version 1.1
// (0x91), Response-Status Ok (0x80) / Message format corrupt (0x83),
// Response-Text (UTF-8 from the pdml value), Message-Id.
const SendConfCase kSendConfs[] = {
    {"m-send_1.conf", "UZSWBX", 0x91, 0x80, 0, nullptr, "BIR5LJHVQTGK1"},
    {"m-send_2.conf", "342", 0x91, 0x83, 3, "Адреса всех получателей не ве", nullptr},
    {"m-send_3.conf", "268", 0x91, 0x80, 0, "Сообщение успешно принято.", "mis9Y4E1_4UWx4rsttCZ02@mms.beeline.ru"},
};

TEST(InteropSendConf, MatchesWireshark) {
    REQUIRE_INTEROP();
    for (const auto &tc : kSendConfs) {
        SCOPED_TRACE(tc.file);
        HeapCopy pdu(load(tc.file));
        rrtest::LeakCheck leaks;
        EXPECT_EQ(fnMMS_RecvSendConfData(pdu.data(), pdu.size()), tc.result);
        tMMS_SendConf *c = fnMMS_ParseSendConf(pdu.data(), pdu.size());
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->Message_Type, 0x81);
        EXPECT_EQ(c->MMS_Version, tc.version);
        EXPECT_EQ(c->Response_Status, tc.status);
        EXPECT_EQ(s(c->Transaction_Id), tc.transactionId);
        EXPECT_EQ(s(c->Response_Text), s(tc.responseText));
        EXPECT_EQ(s(c->Message_Id), s(tc.messageId));
        fnMMS_FreeMessageMem(c, MMS_STRUCT_SEND_CONF);
        // A send confirmation is no forward confirmation.
        EXPECT_EQ(fnMMS_RecvFwdConfData(pdu.data(), pdu.size()), 10);
    }
}

}  // namespace
