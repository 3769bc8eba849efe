// Wireshark reads what we write: the encoders' PDUs, each the body of an
// HTTP POST in a capture file, decoded by tshark's MMSE and WSP dissectors.
// All PDUs go into one capture and tshark runs once for the whole suite.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "MMSProl_Encapsulaton_EncodeRelay.h"
#include "qx_internal.h"
#include "qx_log.h"
#include "test_support.h"
#include "tshark_capture.h"

using rrtest::Bytes;

namespace {

using Field = rrtest::PdmlField;
using Packet = rrtest::PdmlPacket;

std::string lower_hex(const Bytes &b) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t c : b) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

std::vector<const Field *> all(const Packet &p, const std::string &name) {
    std::vector<const Field *> out;
    for (const Field &f : p)
        if (f.name == name) out.push_back(&f);
    return out;
}

const Field *first(const Packet &p, const std::string &name) {
    for (const Field &f : p)
        if (f.name == name) return &f;
    return nullptr;
}

// The fields of each multipart entry: from one "wsp.multipart" to the next.
std::vector<Packet> parts_of(const Packet &p) {
    std::vector<Packet> parts;
    for (const Field &f : p) {
        if (f.name == "wsp.multipart") parts.emplace_back();
        if (!parts.empty()) parts.back().push_back(f);
    }
    return parts;
}

// ---------------------------------------------------------------- PDUs

char *dup(const std::string &s) { return fnQX_MEMSTRCOPY(s.c_str()); }

// Runs an encoder given its length out-parameter and takes its buffer over.
template <typename Encoder>
Bytes encoded(Encoder encoder) {
    int len = 0;
    uint8_t *buf = encoder(&len);
    if (!buf) return {};
    Bytes out(buf, buf + len);
    fnQX_Free(reinterpret_cast<void **>(&buf));
    return out;
}

// Non-ASCII UTF-8 subject: "Grüße aus Köln – 日本".
const std::string kSubject = "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln \xE2\x80\x93 \xE6\x97\xA5\xE6\x9C\xAC";
const std::string kSmil =
    "<smil><head><layout><root-layout width=\"176\" height=\"144\"/>"
    "<region id=\"Image\" left=\"0\" top=\"0\" width=\"176\" height=\"100\"/>"
    "<region id=\"Text\" left=\"0\" top=\"100\" width=\"176\" height=\"44\"/></layout></head>"
    "<body><par dur=\"5000ms\"><img src=\"pixel.gif\" region=\"Image\"/>"
    "<text src=\"text_0.txt\" region=\"Text\"/></par></body></smil>";
const std::string kText = "Hallo, sch\xC3\xB6ne Gr\xC3\xBC\xC3\x9F" "e!";
// A 1x1 GIF image.
const Bytes kGif = {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01, 0x00, 0x80, 0x00, 0x00, 0xFF, 0xFF,
                    0xFF, 0x00, 0x00, 0x00, 0x21, 0xF9, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x2C, 0x00, 0x00,
                    0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3B};
const std::string kAttachmentName = "Quarterly report of the regional office, final version 2.bin";
// Its Content-ID and Content-Location: a URI reference.
const std::string kAttachmentUri = "Quarterly%20report%20of%20the%20regional%20office,%20final%20version%202.bin";
const std::string kTid = "rorodire-0001-send";
const std::string kLongSubject = "An ASCII subject of 126 characters" + std::string(92, '.');
const std::string kLongTid(300, 'q');

Bytes attachment_data() {
    Bytes b(5000);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
    return b;
}

// The multipart body: SMIL, a UTF-8 text, an image and an attachment.
Bytes related_body() {
    static Bytes attachment = attachment_data();
    smilstruct smil{const_cast<char *>("application/smil"),
                    reinterpret_cast<uint8_t *>(const_cast<char *>(kSmil.data())), static_cast<int>(kSmil.size())};
    tMMS_Element att{};
    att.File_Name = const_cast<char *>(kAttachmentName.c_str());
    att.Content_Type = const_cast<char *>("application/octet-stream");
    att.Data = attachment.data();
    att.Data_Len = static_cast<int>(attachment.size());
    tMMS_Element gif{};
    gif.File_Name = const_cast<char *>("pixel.gif");
    gif.Content_Type = const_cast<char *>("image/gif");
    gif.Data = const_cast<uint8_t *>(kGif.data());
    gif.Data_Len = static_cast<int>(kGif.size());
    gif.next = &att;
    tMMS_Element text{};
    text.File_Name = const_cast<char *>("text_0.txt");
    text.Content_Type = const_cast<char *>("text/plain");
    text.Data = reinterpret_cast<uint8_t *>(const_cast<char *>(kText.data()));
    text.Data_Len = static_cast<int>(kText.size());
    text.Charset = MMS_CHARSET_UTF8;
    text.Has_Charset = 1;
    text.next = &gif;
    mmresstruct body{&smil, &text, 0};
    return encoded([&](int *len) { return fnMMS_EncodeBody(&body, len); });
}

// A body without presentation: one ISO-8859-1 text part.
Bytes mixed_body() {
    static const std::string latin = "caf\xE9";
    tMMS_Element text{};
    text.File_Name = const_cast<char *>("note.txt");
    text.Content_Type = const_cast<char *>("text/plain");
    text.Data = reinterpret_cast<uint8_t *>(const_cast<char *>(latin.data()));
    text.Data_Len = static_cast<int>(latin.size());
    text.Charset = MMS_CHARSET_ISO_8859_1;
    text.Has_Charset = 1;
    mmresstruct body{nullptr, &text, 0};
    return encoded([&](int *len) { return fnMMS_EncodeBody(&body, len); });
}

void set_body(tMMS_SendReq *req, const Bytes &body) {
    req->ContentTypeAndBody = static_cast<unsigned char *>(fnQX_Malloc(static_cast<int>(body.size())));
    if (req->ContentTypeAndBody) std::memcpy(req->ContentTypeAndBody, body.data(), body.size());
    req->Body_Len = static_cast<int>(body.size());
}

Bytes full_send_request() {
    auto *req = static_cast<tMMS_SendReq *>(fnMMS_AllocMessageMem(MMS_STRUCT_SEND_REQ));
    if (!req) return {};
    req->Transaction_Id = dup(kTid);
    req->From = dup("+4917012345");
    req->To = dup("+4917099999; friend@example.org");
    req->Cc = dup("0301234567;cc@example.net");
    req->Bcc = dup("hidden@example.com");
    req->Subject = dup(kSubject);
    req->Date = 1400000000;        // May 13, 2014 16:53:20 UTC
    req->Message_Class = 3;        // Auto
    req->Priority = 2;             // High
    req->Expiry = 604800;          // a week, relative
    req->Expiry_Relative = 1;
    req->Delivery_Time = 1400003600;  // absolute
    req->Delivery_Time_Relative = 0;
    req->Sender_Visibility = 0;
    req->Delivery_Report = 1;
    req->Read_Reply = 1;
    set_body(req, related_body());
    Bytes pdu = encoded([&](int *len) { return fnMMS_MakeSendReqPdu(req, len); });
    fnMMS_FreeMessageMem(req, MMS_STRUCT_SEND_REQ);
    return pdu;
}

Bytes other_send_request() {
    auto *req = static_cast<tMMS_SendReq *>(fnMMS_AllocMessageMem(MMS_STRUCT_SEND_REQ));
    if (!req) return {};
    req->Transaction_Id = dup("t2");
    req->From = dup(std::string(30, '5'));                          // long form of the From value
    req->To = dup("111");
    req->Subject = dup(kLongSubject);  // Value-length 128: its uintvar is 0x81 0x00
    req->Message_Class = 1;                                         // Advertisement
    req->Priority = 0;                                              // Low
    req->Expiry = 1500000000;                                       // absolute
    req->Expiry_Relative = 0;
    req->Delivery_Time = 120;  // relative
    set_body(req, mixed_body());
    Bytes pdu = encoded([&](int *len) { return fnMMS_MakeSendReqPdu(req, len); });
    fnMMS_FreeMessageMem(req, MMS_STRUCT_SEND_REQ);
    return pdu;
}

Bytes forward_request() {
    auto *req = static_cast<tMMS_FwdReq *>(fnMMS_AllocMessageMem(MMS_STRUCT_FWD_REQ));
    if (!req) return {};
    req->Transaction_Id = dup("fwd-77");
    req->To = dup("+4915112345678;fwd@example.org");
    req->Cc = dup("222");
    req->Bcc = dup("333");
    req->Content_Location = dup("http://mmsc.example.net/stored?id=4711");
    req->Date = 1400000000;
    req->Expiry = 3600;
    req->Expiry_Relative = 0;
    req->Delivery_Time = 60;
    req->Delivery_Time_Relative = 1;
    req->Delivery_Report = 0;
    req->Read_Reply = 1;
    Bytes pdu = encoded([&](int *len) { return fnMMS_MakeFWDMessagePdu(req, len); });
    fnMMS_FreeMessageMem(req, MMS_STRUCT_FWD_REQ);
    return pdu;
}

// The reports: a delivery report of a rejected message, a recipient's read
// report with its From left to the relay, the sender's read report with a
// long Message-ID and a long From.
const std::string kReportId = "M1796642163-7";
const std::string kLongFrom = "+" + std::string(40, '4');

Bytes delivery_report() {
    tMMS_DeliveryInd rec{};
    rec.Message_Id = const_cast<char *>(kReportId.c_str());
    rec.To = const_cast<char *>("+15550100002");
    rec.Date = 1400000000;
    rec.Status = 0x82;  // Rejected
    return encoded([&](int *len) { return fnMMS_MakeDeliveryIndPdu(&rec, len); });
}

Bytes read_rec_report() {
    tMMS_ReadRecInd rec{};
    rec.Message_Id = const_cast<char *>(kReportId.c_str());
    rec.To = const_cast<char *>("sender@example.org");
    rec.Read_Status = 0x81;  // deleted without being read
    return encoded([&](int *len) { return fnMMS_MakeReadRecIndPdu(&rec, len); });
}

Bytes read_orig_report() {
    tMMS_ReadOrigInd rec{};
    rec.Message_Id = const_cast<char *>(kLongTid.c_str());
    rec.To = const_cast<char *>("+15550100001");
    rec.From = const_cast<char *>(kLongFrom.c_str());
    rec.Date = 1400000000;
    rec.Read_Status = 0x80;  // read
    return encoded([&](int *len) { return fnMMS_MakeReadOrigIndPdu(&rec, len); });
}

// Dates past a signed 32-bit time: a send request, a forward request and a
// retrieve confirmation (the relay's encoder) each carry one.
constexpr uint32_t kAfter2038 = 0x80000000u;  // 2038-01-19 03:14:08 UTC
constexpr uint32_t kFeb2038 = 2148595200u;    // 2038-02-01 00:00:00 UTC
constexpr uint32_t kLast2106 = 0xFFFFFFFFu;   // 2106-02-07 06:28:15 UTC

Bytes dated_send_request(uint32_t date) {
    auto *req = static_cast<tMMS_SendReq *>(fnMMS_AllocMessageMem(MMS_STRUCT_SEND_REQ));
    if (!req) return {};
    req->Transaction_Id = dup("dated");
    req->To = dup("111");
    req->Date = date;
    set_body(req, mixed_body());
    Bytes pdu = encoded([&](int *len) { return fnMMS_MakeSendReqPdu(req, len); });
    fnMMS_FreeMessageMem(req, MMS_STRUCT_SEND_REQ);
    return pdu;
}

Bytes dated_forward_request(uint32_t date) {
    auto *req = static_cast<tMMS_FwdReq *>(fnMMS_AllocMessageMem(MMS_STRUCT_FWD_REQ));
    if (!req) return {};
    req->Transaction_Id = dup("fwd-dated");
    req->To = dup("222");
    req->Content_Location = dup("http://mmsc.example.net/x");
    req->Date = date;
    Bytes pdu = encoded([&](int *len) { return fnMMS_MakeFWDMessagePdu(req, len); });
    fnMMS_FreeMessageMem(req, MMS_STRUCT_FWD_REQ);
    return pdu;
}

Bytes dated_retrieve_conf(uint32_t date) {
    tMMS_RetrieveConf rc{};
    rc.Transaction_Id = const_cast<char *>("rc-dated");
    rc.Message_Id = const_cast<char *>("M1");
    rc.From = const_cast<char *>("+15550100001");
    rc.Date = date;
    rc.Message_Class = 0x80;
    rc.Priority = 0x81;
    return encoded([&](int *len) { return fnMMS_MakeRetrieveConfPdu(&rc, len); });
}

enum PduIndex {
    kFullSend,
    kOtherSend,
    kNotifyResp,
    kNotifyRespLong,
    kAck,
    kAckYes,
    kForward,
    kDelivery,
    kReadRec,
    kReadOrig,
    kSend2038,
    kSendFeb2038,
    kSend2106,
    kForward2106,
    kRetrieve2038,
    kRetrieve2106,
    kPduCount
};

class TsharkDecode : public testing::Test {
protected:
    static void SetUpTestSuite() {
        qx::set_log_enabled(false);
        pdus_.assign(kPduCount, {});
        pdus_[kFullSend] = full_send_request();
        pdus_[kOtherSend] = other_send_request();
        pdus_[kNotifyResp] = encoded([](int *len) { return fnMMS_MakeNotifyRespIndPdu(kTid.c_str(), 1, 0x81, len); });
        pdus_[kNotifyRespLong] = encoded([](int *len) { return fnMMS_MakeNotifyRespIndPdu(kLongTid.c_str(), 0, 0x83, len); });
        pdus_[kAck] = encoded([](int *len) { return fnMMS_MakeAcknowledgeIndPdu(kTid.c_str(), 0, len); });
        pdus_[kAckYes] = encoded([](int *len) { return fnMMS_MakeAcknowledgeIndPdu(kLongTid.c_str(), 1, len); });
        pdus_[kForward] = forward_request();
        pdus_[kDelivery] = delivery_report();
        pdus_[kReadRec] = read_rec_report();
        pdus_[kReadOrig] = read_orig_report();
        pdus_[kSend2038] = dated_send_request(kAfter2038);
        pdus_[kSendFeb2038] = dated_send_request(kFeb2038);
        pdus_[kSend2106] = dated_send_request(kLast2106);
        pdus_[kForward2106] = dated_forward_request(kLast2106);
        pdus_[kRetrieve2038] = dated_retrieve_conf(kAfter2038);
        pdus_[kRetrieve2106] = dated_retrieve_conf(kLast2106);
        qx::set_log_enabled(true);

        if (!rrtest::tshark_available()) return;
        available_ = true;
        bool ok = false;
        packets_ = rrtest::tshark_decode(pdus_, &ok);
        status_ = ok ? 0 : 1;
        // Every PDU must come back as MMSE.
        for (const Packet &p : packets_)
            if (p.empty()) status_ = 2;
    }

    void SetUp() override {
        if (!available_) {
            const char *req = std::getenv("RR_REQUIRE_TSHARK");
            if (req && std::string(req) == "1") FAIL() << "tshark is required (RR_REQUIRE_TSHARK=1) but not installed";
            GTEST_SKIP() << "tshark is not installed";
        }
        ASSERT_NE(status_, 1) << "tshark failed";
        ASSERT_EQ(status_, 0) << "not every PDU was decoded as MMSE";
    }

    static const Packet &packet(PduIndex i) { return packets_[i]; }
    static const Bytes &pdu(PduIndex i) { return pdus_[i]; }

    // The field is present once with this shown value.
    static void expect_field(const Packet &p, const std::string &name, const std::string &show) {
        const auto found = all(p, name);
        ASSERT_EQ(found.size(), 1u) << name;
        EXPECT_EQ(found[0]->show, show) << name;
    }
    // Shown values of a repeated field, in order.
    static std::vector<std::string> shows(const Packet &p, const std::string &name) {
        std::vector<std::string> out;
        for (const Field *f : all(p, name)) out.push_back(f->show);
        return out;
    }

    static inline std::vector<Bytes> pdus_;
    static inline std::vector<Packet> packets_;
    static inline bool available_ = false;
    static inline int status_ = -1;
};

// Each PDU is decoded whole, without errors or warnings of the dissectors.
TEST_F(TsharkDecode, EveryPduDecodesCleanly) {
    const char *types[kPduCount] = {"0x80", "0x80", "0x83", "0x83", "0x85", "0x85", "0x89", "0x86", "0x87", "0x88",
                                    "0x80", "0x80", "0x80", "0x89", "0x84", "0x84"};
    for (int i = 0; i < kPduCount; ++i) {
        SCOPED_TRACE(i);
        const Packet &p = packet(static_cast<PduIndex>(i));
        ASSERT_FALSE(pdu(static_cast<PduIndex>(i)).empty());
        expect_field(p, "mmse.message_type", types[i]);
        expect_field(p, "mmse.mms_version", "1.2");
        EXPECT_EQ(first(p, "_ws.malformed"), nullptr);
        for (const Field *e : all(p, "_ws.expert.severity")) ADD_FAILURE() << "expert info: " << e->showname;
    }
}

TEST_F(TsharkDecode, DeliveryReportHeaders) {
    const Packet &p = packet(kDelivery);
    expect_field(p, "mmse.message_id", kReportId);
    EXPECT_EQ(shows(p, "mmse.to"), (std::vector<std::string>{"+15550100002/TYPE=PLMN"}));
    expect_field(p, "mmse.date", "May 13, 2014 16:53:20.000000000 UTC");
    expect_field(p, "mmse.status", "0x82");
    EXPECT_NE(first(p, "mmse.status")->showname.find("Rejected"), std::string::npos);
    EXPECT_EQ(first(p, "mmse.transaction_id"), nullptr);
}

TEST_F(TsharkDecode, ReadReportHeaders) {
    const Packet &rec = packet(kReadRec);
    expect_field(rec, "mmse.message_id", kReportId);
    EXPECT_EQ(shows(rec, "mmse.to"), (std::vector<std::string>{"sender@example.org"}));
    expect_field(rec, "mmse.from", "<insert address>");
    EXPECT_EQ(first(rec, "mmse.date"), nullptr);
    expect_field(rec, "mmse.read_status", "0x81");
    EXPECT_NE(first(rec, "mmse.read_status")->showname.find("Deleted"), std::string::npos);

    const Packet &orig = packet(kReadOrig);
    expect_field(orig, "mmse.message_id", kLongTid);
    EXPECT_EQ(shows(orig, "mmse.to"), (std::vector<std::string>{"+15550100001/TYPE=PLMN"}));
    expect_field(orig, "mmse.from", kLongFrom + "/TYPE=PLMN");
    EXPECT_EQ(first(orig, "mmse.from")->value.substr(0, 6), "891f35");  // long Value-length: token, 51, zero
    expect_field(orig, "mmse.date", "May 13, 2014 16:53:20.000000000 UTC");
    expect_field(orig, "mmse.read_status", "0x80");
    EXPECT_NE(first(orig, "mmse.read_status")->showname.find("Read"), std::string::npos);
}

// Dates after 2038-01-19 03:14:07 go out as the unsigned seconds they are,
// up to the last second of 2106-02-07, and Wireshark reads them so; each
// reads back through our own decoder too.
TEST_F(TsharkDecode, DatesPast2038) {
    const struct {
        PduIndex pdu;
        uint32_t date;
        const char *shown;
    } cases[] = {
        {kSend2038, kAfter2038, "Jan 19, 2038 03:14:08.000000000 UTC"},
        {kSendFeb2038, kFeb2038, "Feb  1, 2038 00:00:00.000000000 UTC"},
        {kSend2106, kLast2106, "Feb  7, 2106 06:28:15.000000000 UTC"},
        {kForward2106, kLast2106, "Feb  7, 2106 06:28:15.000000000 UTC"},
        {kRetrieve2038, kAfter2038, "Jan 19, 2038 03:14:08.000000000 UTC"},
        {kRetrieve2106, kLast2106, "Feb  7, 2106 06:28:15.000000000 UTC"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shown);
        expect_field(packet(c.pdu), "mmse.date", c.shown);
        rrtest::HeapCopy h(pdu(c.pdu));
        uint32_t back = 0;
        if (c.pdu == kRetrieve2038 || c.pdu == kRetrieve2106) {
            tMMS_RetrieveConf *r = fnMMS_ParseRetrieveConf(h.data(), h.size());
            ASSERT_NE(r, nullptr);
            back = r->Date;
            fnMMS_FreeMessageMem(r, MMS_STRUCT_RETRIEVE_CONF);
        } else if (c.pdu == kForward2106) {
            tMMS_FwdReq *r = fnMMS_ParseFwdReq(h.data(), h.size());
            ASSERT_NE(r, nullptr);
            back = r->Date;
            fnMMS_FreeMessageMem(r, MMS_STRUCT_FWD_REQ);
        } else {
            tMMS_SendReq *r = fnMMS_ParseSendContent(h.data(), static_cast<int>(h.size()));
            ASSERT_NE(r, nullptr);
            back = r->Date;
            fnMMS_FreeMessageMem(r, MMS_STRUCT_SEND_REQ);
        }
        EXPECT_EQ(back, c.date);
    }
}

TEST_F(TsharkDecode, SendRequestHeaders) {
    const Packet &p = packet(kFullSend);
    expect_field(p, "mmse.transaction_id", kTid);
    expect_field(p, "mmse.date", "May 13, 2014 16:53:20.000000000 UTC");
    expect_field(p, "mmse.from", "+4917012345/TYPE=PLMN");
    EXPECT_EQ(shows(p, "mmse.to"), (std::vector<std::string>{"+4917099999/TYPE=PLMN", "friend@example.org"}));
    EXPECT_EQ(shows(p, "mmse.cc"), (std::vector<std::string>{"0301234567/TYPE=PLMN", "cc@example.net"}));
    EXPECT_EQ(shows(p, "mmse.bcc"), (std::vector<std::string>{"hidden@example.com"}));
    expect_field(p, "mmse.message_class.id", "0x83");
    expect_field(p, "mmse.expiry.rel", "604800.000000000");
    expect_field(p, "mmse.delivery_time.abs", "May 13, 2014 17:53:20.000000000 UTC");
    expect_field(p, "mmse.priority", "0x82");
    expect_field(p, "mmse.sender_visibility", "0x80");
    expect_field(p, "mmse.delivery_report", "0x80");
    expect_field(p, "mmse.read_report", "0x80");
    EXPECT_NE(first(p, "mmse.priority")->showname.find("High"), std::string::npos);
    EXPECT_NE(first(p, "mmse.message_class.id")->showname.find("Auto"), std::string::npos);
    EXPECT_NE(first(p, "mmse.sender_visibility")->showname.find("Hide"), std::string::npos);
}

// The subject travels as UTF-8 with its charset. This tshark shows
// Encoded-string-values byte by byte as ASCII (each byte above 0x7F as
// U+FFFD); a newer one may show the text itself. Either way the field
// holds exactly the bytes written.
TEST_F(TsharkDecode, EncodedSubject) {
    const Packet &p = packet(kFullSend);
    const Field *subject = first(p, "mmse.subject");
    ASSERT_NE(subject, nullptr);
    std::string asAscii;
    for (char c : kSubject) asAscii += static_cast<uint8_t>(c) < 0x80 ? std::string(1, c) : std::string("\xEF\xBF\xBD");
    EXPECT_TRUE(subject->show == kSubject || subject->show == asAscii) << subject->show;
    Bytes raw{MMS_SUBJECT_FIELD, static_cast<uint8_t>(kSubject.size() + 2), 0xEA};
    raw.insert(raw.end(), kSubject.begin(), kSubject.end());
    raw.push_back(0);
    EXPECT_EQ(subject->value, lower_hex(raw));

    // A length of 128 is written 0x1F 0x81 0x00: the zero byte inside the
    // length does not end the value.
    const Packet &other = packet(kOtherSend);
    expect_field(other, "mmse.subject", kLongSubject);
    EXPECT_EQ(first(other, "mmse.subject")->value.substr(0, 10), "961f8100ea");
}

TEST_F(TsharkDecode, SecondSendRequestHeaders) {
    const Packet &p = packet(kOtherSend);
    expect_field(p, "mmse.transaction_id", "t2");
    expect_field(p, "mmse.from", std::string(30, '5') + "/TYPE=PLMN");
    EXPECT_EQ(first(p, "mmse.from")->value.substr(0, 6), "891f2a");  // long Value-length
    EXPECT_EQ(shows(p, "mmse.to"), (std::vector<std::string>{"111/TYPE=PLMN"}));
    EXPECT_EQ(first(p, "mmse.cc"), nullptr);
    EXPECT_EQ(first(p, "mmse.date"), nullptr);
    expect_field(p, "mmse.message_class.id", "0x81");
    expect_field(p, "mmse.priority", "0x80");
    expect_field(p, "mmse.expiry.abs", "Jul 14, 2017 02:40:00.000000000 UTC");
    expect_field(p, "mmse.delivery_time.rel", "120.000000000");
    expect_field(p, "mmse.sender_visibility", "0x81");
    expect_field(p, "mmse.delivery_report", "0x81");
    expect_field(p, "mmse.read_report", "0x81");
}

// The multipart/related body: its Start and Type, then every part with its
// content type, parameters, headers and data.
TEST_F(TsharkDecode, RelatedBodyParts) {
    const Packet &p = packet(kFullSend);
    const auto types = all(p, "wsp.header.content_type");
    ASSERT_FALSE(types.empty());
    EXPECT_EQ(types[0]->show, "application/vnd.wap.multipart.related");
    expect_field(p, "wsp.parameter.start", "<AAAA>");
    expect_field(p, "wsp.parameter.upart.type", "application/smil");

    const auto parts = parts_of(p);
    ASSERT_EQ(parts.size(), 4u);
    struct Expect {
        std::string type, name, charset, contentId, location;
        Bytes data;
    };
    const Expect expect[] = {
        {"application/smil", "mms.smil", "UTF-8", "\"<AAAA>\"", "", Bytes(kSmil.begin(), kSmil.end())},
        {"text/plain", "text_0.txt", "UTF-8", "\"<text_0.txt>\"", "text_0.txt", Bytes(kText.begin(), kText.end())},
        {"image/gif", "pixel.gif", "", "\"<pixel.gif>\"", "pixel.gif", kGif},
        {"application/octet-stream", kAttachmentName, "", "\"<" + kAttachmentUri + ">\"", kAttachmentUri,
         attachment_data()},
    };
    for (size_t i = 0; i < parts.size(); ++i) {
        SCOPED_TRACE(i);
        const Packet &part = parts[i];
        const Expect &e = expect[i];
        EXPECT_EQ(part[0].showname, "Part: " + std::to_string(i + 1) + ", content-type: " + e.type);
        expect_field(part, "wsp.header.content_type", e.type);
        expect_field(part, "wsp.parameter.name", e.name);
        if (e.charset.empty()) {
            EXPECT_EQ(first(part, "wsp.parameter.charset"), nullptr);
        } else {
            expect_field(part, "wsp.parameter.charset", e.charset);
        }
        expect_field(part, "wsp.header.content_id", e.contentId);
        if (e.location.empty()) {
            EXPECT_EQ(first(part, "wsp.header.content_location"), nullptr);
        } else {
            expect_field(part, "wsp.header.content_location", e.location);
        }
        // The entry's bytes end with the part data, nothing more.
        const std::string entry = part[0].value;
        const std::string data = lower_hex(e.data);
        ASSERT_GE(entry.size(), data.size());
        EXPECT_EQ(entry.substr(entry.size() - data.size()), data);
    }
    // The presentation is read as SMIL, with both media references.
    std::vector<std::string> srcs;
    for (const Field &f : parts[0])
        if (f.name == "smil.img.src" || f.name == "smil.text.src") srcs.push_back(f.show);
    EXPECT_EQ(srcs, (std::vector<std::string>{"pixel.gif", "text_0.txt"}));
}

TEST_F(TsharkDecode, MixedBodyWithLatin1Text) {
    const Packet &p = packet(kOtherSend);
    const auto types = all(p, "wsp.header.content_type");
    ASSERT_EQ(types.size(), 2u);
    EXPECT_EQ(types[0]->show, "application/vnd.wap.multipart.mixed");
    EXPECT_EQ(first(p, "wsp.parameter.start"), nullptr);
    const auto parts = parts_of(p);
    ASSERT_EQ(parts.size(), 1u);
    expect_field(parts[0], "wsp.header.content_type", "text/plain");
    expect_field(parts[0], "wsp.parameter.name", "note.txt");
    expect_field(parts[0], "wsp.parameter.charset", "ISO-8859-1");
    expect_field(parts[0], "wsp.header.content_location", "note.txt");
    EXPECT_EQ(parts[0][0].value.substr(parts[0][0].value.size() - 8), "636166e9");
}

TEST_F(TsharkDecode, NotificationResponses) {
    const Packet &p = packet(kNotifyResp);
    expect_field(p, "mmse.transaction_id", kTid);
    expect_field(p, "mmse.report_allowed", "0x80");
    expect_field(p, "mmse.status", "0x81");
    EXPECT_NE(first(p, "mmse.status")->showname.find("Retrieved"), std::string::npos);

    const Packet &l = packet(kNotifyRespLong);
    expect_field(l, "mmse.transaction_id", kLongTid);
    expect_field(l, "mmse.report_allowed", "0x81");
    expect_field(l, "mmse.status", "0x83");
    EXPECT_NE(first(l, "mmse.status")->showname.find("Deferred"), std::string::npos);
}

TEST_F(TsharkDecode, Acknowledgements) {
    const Packet &p = packet(kAck);
    expect_field(p, "mmse.transaction_id", kTid);
    expect_field(p, "mmse.report_allowed", "0x81");
    EXPECT_EQ(first(p, "mmse.status"), nullptr);

    const Packet &y = packet(kAckYes);
    expect_field(y, "mmse.transaction_id", kLongTid);
    expect_field(y, "mmse.report_allowed", "0x80");
}

TEST_F(TsharkDecode, ForwardRequest) {
    const Packet &p = packet(kForward);
    expect_field(p, "mmse.transaction_id", "fwd-77");
    expect_field(p, "mmse.date", "May 13, 2014 16:53:20.000000000 UTC");
    expect_field(p, "mmse.from", "<insert address>");
    EXPECT_EQ(shows(p, "mmse.to"), (std::vector<std::string>{"+4915112345678/TYPE=PLMN", "fwd@example.org"}));
    EXPECT_EQ(shows(p, "mmse.cc"), (std::vector<std::string>{"222/TYPE=PLMN"}));
    EXPECT_EQ(shows(p, "mmse.bcc"), (std::vector<std::string>{"333/TYPE=PLMN"}));
    expect_field(p, "mmse.expiry.abs", "Jan  1, 1970 01:00:00.000000000 UTC");
    expect_field(p, "mmse.delivery_time.rel", "60.000000000");
    expect_field(p, "mmse.delivery_report", "0x81");
    expect_field(p, "mmse.read_report", "0x80");
    expect_field(p, "mmse.content_location", "http://mmsc.example.net/stored?id=4711");
    EXPECT_EQ(first(p, "mmse.subject"), nullptr);
    EXPECT_EQ(first(p, "wsp.header.content_type"), nullptr);
}

}  // namespace
