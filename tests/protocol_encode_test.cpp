// PDU encoders: m-send-req, m-notifyresp-ind, m-acknowledge-ind and the
// forward request, byte for byte, with their log and their limits.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <regex>
#include <string>

#include "MMSProl_Encapsulaton.h"
#include "qx_internal.h"
#include "test_support.h"

using rrtest::Bytes;
using rrtest::bytes;
using rrtest::hex;
using rrtest::text0;
using rrtest::operator+;

namespace {

// uintvar written independently of the library's writer.
Bytes uintvar(uint32_t v) {
    Bytes out{static_cast<uint8_t>(v & 0x7F)};
    for (v >>= 7; v; v >>= 7) out.insert(out.begin(), static_cast<uint8_t>(0x80 | (v & 0x7F)));
    return out;
}

// Large PDUs: on a mismatch, show the sizes and the bytes around the first
// difference instead of both whole buffers.
testing::AssertionResult same_bytes(const Bytes &actual, const Bytes &expected) {
    if (actual == expected) return testing::AssertionSuccess();
    size_t i = 0;
    while (i < actual.size() && i < expected.size() && actual[i] == expected[i]) ++i;
    const size_t from = i > 8 ? i - 8 : 0;
    auto window = [&](const Bytes &b) {
        return from < b.size() ? hex(b.data() + from, std::min<size_t>(24, b.size() - from)) : std::string();
    };
    return testing::AssertionFailure() << "sizes " << actual.size() << " and " << expected.size()
                                       << ", first difference at " << i << "\n  actual:   " << window(actual)
                                       << "\n  expected: " << window(expected);
}

// A phone number as it travels: "/TYPE=PLMN" appended, zero-terminated.
Bytes plmn(const std::string &number) { return text0(number + "/TYPE=PLMN"); }

// Subject: Encoded-string-value, UTF-8 charset.
Bytes encoded_utf8(const std::string &s) {
    const bool quote = !s.empty() && static_cast<uint8_t>(s[0]) >= 0x80;
    const uint32_t l = static_cast<uint32_t>(s.size()) + 2 + (quote ? 1 : 0);
    Bytes out = l < 31 ? bytes({static_cast<int>(l)}) : bytes({0x1F}) + uintvar(l);
    out.push_back(0xEA);
    if (quote) out.push_back(0x7F);
    return out + text0(s);
}

char *dup(const std::string &s) { return fnQX_MEMSTRCOPY(s.c_str()); }

// A record from fnMMS_AllocMessageMem, released on scope exit.
template <typename T, int Code>
struct Rec {
    T *r = static_cast<T *>(fnMMS_AllocMessageMem(Code));
    Rec() { EXPECT_NE(r, nullptr); }
    ~Rec() { fnMMS_FreeMessageMem(r, Code); }
    T *operator->() const { return r; }
};
using SendReq = Rec<tMMS_SendReq, MMS_STRUCT_SEND_REQ>;
using FwdReq = Rec<tMMS_FwdReq, MMS_STRUCT_FWD_REQ>;

// Takes the encoder's buffer over: its bytes, and the buffer released.
Bytes take(uint8_t *buf, int len) {
    EXPECT_NE(buf, nullptr);
    if (!buf) return {};
    EXPECT_GT(len, 0);
    Bytes out(buf, buf + len);
    fnQX_Free(reinterpret_cast<void **>(&buf));
    return out;
}

Bytes encode(const tMMS_SendReq *req) {
    int len = -1;
    uint8_t *buf = fnMMS_MakeSendReqPdu(req, &len);
    return take(buf, len);
}

Bytes encode_fwd(const tMMS_FwdReq *req) {
    int len = -1;
    unsigned char *buf = fnMMS_MakeFWDMessagePdu(req, &len);
    return take(buf, len);
}

// Header fields of a fresh send request after Transaction-Id "T": the ones
// before From, and the ones after the recipients and Subject.
const Bytes kSendHead = bytes({0x8C, 0x80, 0x98, 0x54, 0x00, 0x8D, 0x92});
const Bytes kInsertFrom = bytes({0x89, 0x01, 0x81});
const Bytes kClassPersonal = bytes({0x8A, 0x80});
const Bytes kSendTail = bytes({0x8F, 0x81, 0x94, 0x81, 0x86, 0x81, 0x90, 0x81});

// ---------------------------------------------------------------- send request

TEST(SendReqPdu, FreshRecordGivesTheTwentyByteRequest) {
    rrtest::LeakCheck leaks;
    SendReq req;
    req->Transaction_Id = dup("T");
    const Bytes pdu = encode(req.r);
    EXPECT_EQ(hex(pdu), "8C 80 98 54 00 8D 92 89 01 81 8A 80 8F 81 94 81 86 81 90 81");
    EXPECT_EQ(pdu.size(), 20u);
}

// A Transaction-Id beginning with a byte of 0x80 or more is quoted in every
// PDU, or a reader would take that byte for a token.
TEST(SendReqPdu, HighFirstByteTransactionIdsAreQuoted) {
    rrtest::LeakCheck leaks;
    SendReq req;
    req->Transaction_Id = dup("\x80T");
    EXPECT_EQ(hex(encode(req.r)), "8C 80 98 7F 80 54 00 8D 92 89 01 81 8A 80 8F 81 94 81 86 81 90 81");
    int len = 0;
    uint8_t *ack = fnMMS_MakeAcknowledgeIndPdu("\xE9t", 1, &len);
    ASSERT_NE(ack, nullptr);
    EXPECT_EQ(hex(Bytes(ack, ack + len)), "8C 85 98 7F E9 74 00 8D 92 91 80");
    fnQX_Free(reinterpret_cast<void **>(&ack));
}

TEST(SendReqPdu, FromAddressForms) {
    struct Case {
        std::string from;
        Bytes field;
    };
    const std::string digits30(30, '7');
    // 250 digits: written whole with the suffix (L = 262).
    const std::string digits250(250, '1');
    // 300 characters with "@": no suffix, written whole (L = 302).
    const std::string mail300 = std::string(290, 'm') + "@host.net";
    // 126 characters: L = 128, whose uintvar holds a zero byte.
    const std::string mail126 = std::string(117, 'x') + "@host.net";
    const Case cases[] = {
        {"123", bytes({0x89, 0x0F, 0x80}) + plmn("123")},
        {digits30, bytes({0x89, 0x1F, 0x2A, 0x80}) + plmn(digits30)},
        // 26 characters with the suffix: L = 28 still fits the short form.
        {std::string(16, '5'), bytes({0x89, 0x1C, 0x80}) + plmn(std::string(16, '5'))},
        // 29 characters with the suffix: L = 31 is the first long form.
        {std::string(19, '5'), bytes({0x89, 0x1F, 0x1F, 0x80}) + plmn(std::string(19, '5'))},
        {"a@b.c", bytes({0x89, 0x07, 0x80}) + text0("a@b.c")},
        {digits250, bytes({0x89, 0x1F, 0x82, 0x06, 0x80}) + plmn(digits250)},
        {mail300, bytes({0x89, 0x1F, 0x82, 0x2D, 0x80}) + text0(mail300)},
        // A type of its own is not given a second one.
        {"+4917/TYPE=PLMN", bytes({0x89, 0x11, 0x80}) + plmn("+4917")},
        {"10.0.0.1/TYPE=IPv4", bytes({0x89, 0x14, 0x80}) + text0("10.0.0.1/TYPE=IPv4")},
        // A first byte of 0x80 or more is quoted (L counts the quote).
        {"\xC3\xA9@x.y", bytes({0x89, 0x09, 0x80, 0x7F}) + text0("\xC3\xA9@x.y")},
        {mail126, bytes({0x89, 0x1F, 0x81, 0x00, 0x80}) + text0(mail126)},
        {"", bytes({0x89, 0x0C, 0x80}) + plmn("")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.from);
        rrtest::LeakCheck leaks;
        SendReq req;
        req->Transaction_Id = dup("T");
        req->From = dup(c.from);
        const Bytes expected = kSendHead + c.field + kClassPersonal + kSendTail;
        EXPECT_EQ(hex(encode(req.r)), hex(expected));
    }
}

// Every log line of the From field, in order, each with the file and line.
TEST(SendReqPdu, FromFieldLog) {
    const std::string prefix = R"(\n\.\.\\\.\.\\qxmms\\Protocol\\src\\MMSProl_Encapsulaton_Encode\.cpp:\d+- )";
    struct Case {
        const char *from;
        std::string lines;
    };
    const std::string d30(30, '7');
    const Case cases[] = {
        {nullptr, prefix + R"(mzk:from number=\(null\))" + prefix + "request from is null,MMS_INSERT_ADDRESS_TOKEN"},
        {"123", prefix + "mzk:from number=123" + prefix +
                    "request from field is not null,MMS_ADDRESS_PRESENT_TOKEN" + prefix +
                    "mzk:pAddress=123/TYPE=PLMN,its size=13,iTmpLen=15"},
        {d30.c_str(), prefix + "mzk:from number=" + d30 + prefix +
                          "request from field is not null,MMS_ADDRESS_PRESENT_TOKEN" + prefix + "mzk:pAddress=" +
                          d30 + "/TYPE=PLMN,its size=40,iTmpLen=42" + prefix + R"(mzk:pUnitVal=\*,iUnitvalLen=1)" +
                          prefix + "mzk:new iTmpLen=44"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.from ? c.from : "(null)");
        SendReq req;
        req->Transaction_Id = dup("T");
        if (c.from) req->From = dup(c.from);
        rrtest::LogCapture log;
        encode(req.r);
        EXPECT_TRUE(std::regex_search(log.text(), std::regex(c.lines))) << log.text();
    }
}

// A two-byte uintvar is logged as its raw bytes.
TEST(SendReqPdu, FromLogOfTwoByteLength) {
    SendReq req;
    req->Transaction_Id = dup("T");
    req->From = dup(std::string(245, '1'));
    rrtest::LogCapture log;
    encode(req.r);
    EXPECT_TRUE(log.contains(",its size=255,iTmpLen=257")) << log.text();
    EXPECT_TRUE(log.contains("mzk:pUnitVal=\x82\x01,iUnitvalLen=2")) << log.text();
    EXPECT_TRUE(log.contains("mzk:new iTmpLen=260")) << log.text();
}

TEST(SendReqPdu, RecipientLists) {
    rrtest::LeakCheck leaks;
    SendReq req;
    req->Transaction_Id = dup("T");
    req->To = dup(" 111 ; 2 22");  // spaces go from phone numbers
    req->Cc = dup(" Jo Do <c@d.e> ;;");  // and stay in e-mail addresses
    req->Bcc = dup("333;;444; ;");  // empty entries are passed over
    const Bytes expected = kSendHead + kInsertFrom + bytes({0x97}) + plmn("111") + bytes({0x97}) + plmn("222") +
                           bytes({0x82}) + text0("Jo Do <c@d.e>") + bytes({0x81}) + plmn("333") + bytes({0x81}) +
                           plmn("444") + kClassPersonal + kSendTail;
    EXPECT_EQ(hex(encode(req.r)), hex(expected));
}

TEST(SendReqPdu, EmptyListsWriteNothing) {
    SendReq req;
    req->Transaction_Id = dup("T");
    req->To = dup("");
    req->Cc = dup("; ;");
    req->Bcc = dup("   ");
    EXPECT_EQ(hex(encode(req.r)), hex(kSendHead + kInsertFrom + kClassPersonal + kSendTail));
    // A list that begins with ";" goes on after it.
    qx::free_ptr(req->Cc);
    req->Cc = dup(";111");
    EXPECT_EQ(hex(encode(req.r)), hex(kSendHead + kInsertFrom + bytes({0x82}) + plmn("111") + kClassPersonal + kSendTail));
}

TEST(SendReqPdu, TimesAndDate) {
    struct Case {
        uint32_t date;
        int expiry;
        uint8_t expiryRel;
        int delivery;
        uint8_t deliveryRel;
        Bytes dateField, timeFields;
    };
    const Case cases[] = {
        {0, 3600, 1, 0, 1, {}, bytes({0x88, 0x04, 0x81, 0x02, 0x0E, 0x10})},
        {0, 3600, 0, 0, 1, {}, bytes({0x88, 0x04, 0x80, 0x02, 0x0E, 0x10})},
        {0, 0, 1, 3600, 1, {}, bytes({0x87, 0x04, 0x81, 0x02, 0x0E, 0x10})},
        {0, 0, 1, 3600, 0, {}, bytes({0x87, 0x04, 0x80, 0x02, 0x0E, 0x10})},
        {0, 255, 1, 0x7FFFFFFF, 0, {},
         bytes({0x88, 0x03, 0x81, 0x01, 0xFF, 0x87, 0x06, 0x80, 0x04, 0x7F, 0xFF, 0xFF, 0xFF})},
        {0x5370C0A0, 0, 1, 0, 1, bytes({0x85, 0x04, 0x53, 0x70, 0xC0, 0xA0}), {}},
        {0x123, 1, 1, 0, 1, bytes({0x85, 0x02, 0x01, 0x23}), bytes({0x88, 0x03, 0x81, 0x01, 0x01})},
        // Dates are unsigned seconds: the last second of a signed 32-bit
        // time, the one after it (2038-01-19 03:14:08) and the last of all
        // (2106-02-07 06:28:15) go out whole.
        {0x7FFFFFFF, 0, 1, 0, 1, bytes({0x85, 0x04, 0x7F, 0xFF, 0xFF, 0xFF}), {}},
        {0x80000000u, 0, 1, 0, 1, bytes({0x85, 0x04, 0x80, 0x00, 0x00, 0x00}), {}},
        {0xFFFFFFFFu, 0, 1, 0, 1, bytes({0x85, 0x04, 0xFF, 0xFF, 0xFF, 0xFF}), {}},
        {0, -1, 1, INT_MIN, 1, {}, {}},  // no date; times of zero or less: no field
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.date << " " << c.expiry << " " << c.delivery);
        SendReq req;
        req->Transaction_Id = dup("T");
        req->Date = c.date;
        req->Expiry = c.expiry;
        req->Expiry_Relative = c.expiryRel;
        req->Delivery_Time = c.delivery;
        req->Delivery_Time_Relative = c.deliveryRel;
        const Bytes expected = kSendHead + c.dateField + kInsertFrom + kClassPersonal + c.timeFields + kSendTail;
        EXPECT_EQ(hex(encode(req.r)), hex(expected));
    }
}

TEST(SendReqPdu, ClassPriorityAndFlags) {
    struct Case {
        uint8_t cls, priority;
        int visible, report, readReply;
        Bytes fields;  // from Message-Class to Read-Reply
    };
    const Case cases[] = {
        {0, 0, 1, 0, 0, bytes({0x8A, 0x80, 0x8F, 0x80, 0x94, 0x81, 0x86, 0x81, 0x90, 0x81})},
        {1, 1, 0, 1, 0, bytes({0x8A, 0x81, 0x8F, 0x81, 0x94, 0x80, 0x86, 0x80, 0x90, 0x81})},
        {2, 2, 7, 0, -1, bytes({0x8A, 0x82, 0x8F, 0x82, 0x94, 0x81, 0x86, 0x81, 0x90, 0x80})},
        {3, 5, 1, 1, 1, bytes({0x8A, 0x83, 0x8F, 0x81, 0x94, 0x81, 0x86, 0x80, 0x90, 0x80})},
        // Wire bytes are not codes: 0x81 is not Advertisement, 0x82 not High.
        {0x81, 0x82, 1, 0, 0, bytes({0x8A, 0x80, 0x8F, 0x81, 0x94, 0x81, 0x86, 0x81, 0x90, 0x81})},
        {4, 0xFF, 1, 0, 0, bytes({0x8A, 0x80, 0x8F, 0x81, 0x94, 0x81, 0x86, 0x81, 0x90, 0x81})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.cls) << " " << int(c.priority));
        SendReq req;
        req->Transaction_Id = dup("T");
        req->Message_Class = c.cls;
        req->Priority = c.priority;
        req->Sender_Visibility = c.visible;
        req->Delivery_Report = c.report;
        req->Read_Reply = c.readReply;
        EXPECT_EQ(hex(encode(req.r)), hex(kSendHead + kInsertFrom + c.fields));
    }
}

TEST(SendReqPdu, SubjectForms) {
    const std::string forty(40, 'a');
    const std::string umlaut = "\xC3\x84rger";  // first byte 0x80 or more: quoted
    struct Case {
        std::string subject;
        Bytes field;
    };
    const Case cases[] = {
        {"Hi", bytes({0x96, 0x04, 0xEA, 0x48, 0x69, 0x00})},
        {forty, bytes({0x96, 0x1F, 0x2A, 0xEA}) + text0(forty)},
        {umlaut, bytes({0x96, 0x09, 0xEA, 0x7F}) + text0(umlaut)},
        {"", bytes({0x96, 0x00})},  // an empty Text-string: the charset form of "" reads as no text
        {"\x7F!", bytes({0x96, 0x05, 0xEA, 0x7F, 0x7F, 0x21, 0x00})},
        {"\x1E!", bytes({0x96, 0x04, 0xEA, 0x1E, 0x21, 0x00})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.subject);
        SendReq req;
        req->Transaction_Id = dup("T");
        req->To = dup("1");
        req->Subject = dup(c.subject);
        const Bytes expected = kSendHead + kInsertFrom + bytes({0x97}) + plmn("1") + c.field + kClassPersonal + kSendTail;
        EXPECT_EQ(hex(encode(req.r)), hex(expected));
    }
}

TEST(SendReqPdu, BodyIsAppendedUnchanged) {
    const Bytes body = bytes({0x84, 0xA3, 0x01, 0x02, 0x03, 0x00, 0x00, 0x84, 0xFF});
    struct Case {
        bool setBody;
        int bodyLen;
        Bytes appended;
    };
    const Case cases[] = {
        {true, static_cast<int>(body.size()), body},
        {true, 3, Bytes(body.begin(), body.begin() + 3)},
        {true, 0, {}},
        {true, -4, {}},
        {false, 9, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.setBody << " " << c.bodyLen);
        rrtest::LeakCheck leaks;
        SendReq req;
        req->Transaction_Id = dup("T");
        if (c.setBody) {
            req->ContentTypeAndBody = static_cast<unsigned char *>(fnQX_Malloc(static_cast<int>(body.size())));
            std::memcpy(req->ContentTypeAndBody, body.data(), body.size());
        }
        req->Body_Len = c.bodyLen;
        EXPECT_EQ(hex(encode(req.r)), hex(kSendHead + kInsertFrom + kClassPersonal + kSendTail + c.appended));
    }
}

// Every field at once, in the order the relay expects.
TEST(SendReqPdu, AllFieldsInOrder) {
    rrtest::LeakCheck leaks;
    SendReq req;
    req->Transaction_Id = dup("tid-42");
    req->From = dup("+4917012345");
    req->To = dup("+4917099999;x@y.z");
    req->Cc = dup("555");
    req->Bcc = dup("b@c.d");
    req->Subject = dup("Gr\xC3\xBC\xC3\x9F" "e");
    req->Date = 1400000000;
    req->Message_Class = 2;
    req->Priority = 0;
    req->Expiry = 604800;
    req->Expiry_Relative = 1;
    req->Delivery_Time = 1400003600;
    req->Delivery_Time_Relative = 0;
    req->Sender_Visibility = 0;
    req->Delivery_Report = 1;
    req->Read_Reply = 1;
    const Bytes body = bytes({0x84, 0xA3, 0x00});
    req->ContentTypeAndBody = static_cast<unsigned char *>(fnQX_Malloc(3));
    std::memcpy(req->ContentTypeAndBody, body.data(), 3);
    req->Body_Len = 3;
    const Bytes expected =
        bytes({0x8C, 0x80, 0x98}) + text0("tid-42") + bytes({0x8D, 0x92}) +
        bytes({0x85, 0x04, 0x53, 0x72, 0x4E, 0x00}) +                  // Date
        bytes({0x89, 0x17, 0x80}) + plmn("+4917012345") +              // From
        bytes({0x97}) + plmn("+4917099999") + bytes({0x97}) + text0("x@y.z") +
        bytes({0x82}) + plmn("555") + bytes({0x81}) + text0("b@c.d") +
        bytes({0x96, 0x09, 0xEA}) + text0("Gr\xC3\xBC\xC3\x9F" "e") +  // Subject
        bytes({0x8A, 0x82}) +                                          // Informational
        bytes({0x88, 0x05, 0x81, 0x03, 0x09, 0x3A, 0x80}) +            // Expiry, relative
        bytes({0x87, 0x06, 0x80, 0x04, 0x53, 0x72, 0x5C, 0x10}) +      // Delivery-Time, absolute
        bytes({0x8F, 0x80, 0x94, 0x80, 0x86, 0x80, 0x90, 0x80}) + body;
    EXPECT_EQ(hex(encode(req.r)), hex(expected));
}

// ---------------------------------------------------------------- short PDUs

TEST(ShortPdus, NotifyRespAndAcknowledge) {
    rrtest::LeakCheck leaks;
    int len = -1;
    uint8_t *buf = fnMMS_MakeNotifyRespIndPdu("T", 1, 0x81, &len);
    EXPECT_EQ(len, 11);
    EXPECT_EQ(hex(take(buf, len)), "8C 83 98 54 00 8D 92 91 80 95 81");

    buf = fnMMS_MakeNotifyRespIndPdu("T", 0, 0x85, &len);
    EXPECT_EQ(hex(take(buf, len)), "8C 83 98 54 00 8D 92 91 81 95 85");

    buf = fnMMS_MakeAcknowledgeIndPdu("T", 0, &len);
    EXPECT_EQ(len, 9);
    EXPECT_EQ(hex(take(buf, len)), "8C 85 98 54 00 8D 92 91 81");

    buf = fnMMS_MakeAcknowledgeIndPdu("T", -3, &len);
    EXPECT_EQ(hex(take(buf, len)), "8C 85 98 54 00 8D 92 91 80");
}

TEST(ShortPdus, TransactionIdOfAnyLength) {
    rrtest::LeakCheck leaks;
    for (size_t n : {0u, 90u, 91u, 200u, 10000u}) {
        SCOPED_TRACE(n);
        const std::string tid(n, 'k');
        int len = -1;
        uint8_t *buf = fnMMS_MakeNotifyRespIndPdu(tid.c_str(), 1, 0x81, &len);
        EXPECT_EQ(hex(take(buf, len)),
                  hex(bytes({0x8C, 0x83, 0x98}) + text0(tid) + bytes({0x8D, 0x92, 0x91, 0x80, 0x95, 0x81})));
        buf = fnMMS_MakeAcknowledgeIndPdu(tid.c_str(), 0, &len);
        EXPECT_EQ(hex(take(buf, len)), hex(bytes({0x8C, 0x85, 0x98}) + text0(tid) + bytes({0x8D, 0x92, 0x91, 0x81})));
    }
}

// ---------------------------------------------------------------- forward request

TEST(FwdReqPdu, MinimalRequest) {
    rrtest::LeakCheck leaks;
    FwdReq req;
    req->Transaction_Id = dup("T");
    req->Content_Location = dup("L");
    EXPECT_EQ(hex(encode_fwd(req.r)), "8C 89 98 54 00 8D 92 89 01 81 86 81 90 81 83 4C 00");
}

TEST(FwdReqPdu, AllFieldsInOrder) {
    rrtest::LeakCheck leaks;
    FwdReq req;
    req->Transaction_Id = dup("fwd-1");
    req->To = dup("111;a@b.c");
    req->Cc = dup("222");
    req->Bcc = dup("333");
    req->Content_Location = dup("http://mmsc/msg?id=7");
    req->Date = 0x123;
    req->Expiry = 3600;
    req->Expiry_Relative = 0;
    req->Delivery_Time = 60;
    req->Delivery_Time_Relative = 1;
    req->Delivery_Report = 1;
    req->Read_Reply = 0;
    const Bytes expected = bytes({0x8C, 0x89, 0x98}) + text0("fwd-1") + bytes({0x8D, 0x92}) +
                           bytes({0x85, 0x02, 0x01, 0x23}) + bytes({0x89, 0x01, 0x81}) + bytes({0x97}) + plmn("111") +
                           bytes({0x97}) + text0("a@b.c") + bytes({0x82}) + plmn("222") + bytes({0x81}) +
                           plmn("333") + bytes({0x88, 0x04, 0x80, 0x02, 0x0E, 0x10}) +
                           bytes({0x87, 0x03, 0x81, 0x01, 0x3C}) + bytes({0x86, 0x80, 0x90, 0x81, 0x83}) +
                           text0("http://mmsc/msg?id=7");
    EXPECT_EQ(hex(encode_fwd(req.r)), hex(expected));
}

TEST(FwdReqPdu, ContentLocationBeginningWithHighByteIsQuoted) {
    FwdReq req;
    req->Transaction_Id = dup("T");
    req->Content_Location = dup("\xE2\x82\xAC" "x");
    EXPECT_EQ(hex(encode_fwd(req.r)), "8C 89 98 54 00 8D 92 89 01 81 86 81 90 81 83 7F E2 82 AC 78 00");
}

// ---------------------------------------------------------------- refusals

TEST(EncoderRefusals, NullArgumentsGiveNullAndLeaveTheLength) {
    rrtest::LeakCheck leaks;
    SendReq req;
    req->Transaction_Id = dup("T");
    FwdReq fwd;
    fwd->Transaction_Id = dup("T");
    fwd->Content_Location = dup("L");
    int len = 77;
    EXPECT_EQ(fnMMS_MakeSendReqPdu(nullptr, &len), nullptr);
    EXPECT_EQ(fnMMS_MakeSendReqPdu(req.r, nullptr), nullptr);
    EXPECT_EQ(fnMMS_MakeFWDMessagePdu(nullptr, &len), nullptr);
    EXPECT_EQ(fnMMS_MakeFWDMessagePdu(fwd.r, nullptr), nullptr);
    EXPECT_EQ(fnMMS_MakeNotifyRespIndPdu(nullptr, 1, 0x81, &len), nullptr);
    EXPECT_EQ(fnMMS_MakeNotifyRespIndPdu("T", 1, 0x81, nullptr), nullptr);
    EXPECT_EQ(fnMMS_MakeAcknowledgeIndPdu(nullptr, 1, &len), nullptr);
    EXPECT_EQ(fnMMS_MakeAcknowledgeIndPdu("T", 1, nullptr), nullptr);
    EXPECT_EQ(len, 77);
}

// A record without the fields the PDU cannot do without is refused rather
// than written through a null pointer.
TEST(EncoderRefusals, MissingMandatoryTexts) {
    rrtest::LeakCheck leaks;
    int len = 77;
    SendReq req;
    EXPECT_EQ(fnMMS_MakeSendReqPdu(req.r, &len), nullptr);
    EXPECT_EQ(len, 0);
    FwdReq noLocation;
    noLocation->Transaction_Id = dup("T");
    EXPECT_EQ(fnMMS_MakeFWDMessagePdu(noLocation.r, &len), nullptr);
    FwdReq noId;
    noId->Content_Location = dup("L");
    EXPECT_EQ(fnMMS_MakeFWDMessagePdu(noId.r, &len), nullptr);
}

// A body length that cannot be added to the headers in an int is refused
// before anything is read from the body.
TEST(EncoderRefusals, TotalSizeOverflow) {
    rrtest::LeakCheck leaks;
    SendReq req;
    req->Transaction_Id = dup("T");
    uint8_t small[4] = {0x84, 0xA3, 0x00, 0x00};
    req->ContentTypeAndBody = small;
    int len = 77;
    for (int bodyLen : {INT_MAX, INT_MAX - 100}) {
        req->Body_Len = bodyLen;
        EXPECT_EQ(fnMMS_MakeSendReqPdu(req.r, &len), nullptr);
        EXPECT_EQ(len, 0);
    }
    req->ContentTypeAndBody = nullptr;  // not ours to free
}

// ---------------------------------------------------------------- huge fields

TEST(HugeFields, FiveThousandRecipients) {
    rrtest::LeakCheck leaks;
    std::string list;
    Bytes fields;
    for (int i = 0; i < 5000; ++i) {
        const std::string a = (i % 3 == 2) ? "user" + std::to_string(i) + "@example.org" : "+49170" + std::to_string(1000000 + i);
        list += (i ? ";" : "") + a;
        fields = fields + bytes({0x97}) + (a.find('@') == std::string::npos ? plmn(a) : text0(a));
    }
    SendReq req;
    req->Transaction_Id = dup("T");
    req->To = dup(list);
    req->Cc = dup(list);
    req->Bcc = dup(list);
    Bytes cc = fields, bcc = fields;
    for (size_t i = 0; i < fields.size();) {  // same lists under the Cc and Bcc codes
        cc[i] = 0x82;
        bcc[i] = 0x81;
        while (fields[i]) ++i;
        ++i;
    }
    const Bytes expected = kSendHead + kInsertFrom + fields + cc + bcc + kClassPersonal + kSendTail;
    EXPECT_TRUE(same_bytes(encode(req.r), expected));

    FwdReq fwd;
    fwd->Transaction_Id = dup("T");
    fwd->Content_Location = dup("L");
    fwd->To = dup(list);
    fwd->Bcc = dup(list);
    EXPECT_TRUE(same_bytes(encode_fwd(fwd.r), bytes({0x8C, 0x89, 0x98, 0x54, 0x00, 0x8D, 0x92, 0x89, 0x01, 0x81}) +
                                                  fields + bcc + bytes({0x86, 0x81, 0x90, 0x81, 0x83, 0x4C, 0x00})));
}

// Addresses longer than one list entry may hold: whatever becomes of them,
// nothing is written past the buffer and the following fields stay intact.
TEST(HugeFields, OverlongAddressesInLists) {
    rrtest::LeakCheck leaks;
    std::string list;
    for (int i = 0; i < 200; ++i) list += std::string(1000, static_cast<char>('0' + i % 10)) + ";";
    SendReq req;
    req->Transaction_Id = dup("T");
    req->To = dup(list);
    req->Cc = dup(std::string(100000, '9'));
    const Bytes pdu = encode(req.r);
    ASSERT_GT(pdu.size(), kSendHead.size() + kSendTail.size());
    EXPECT_EQ(Bytes(pdu.begin(), pdu.begin() + 10), kSendHead + kInsertFrom);
    EXPECT_EQ(Bytes(pdu.end() - 10, pdu.end()), kClassPersonal + kSendTail);
}

TEST(HugeFields, LongTextsInTheSendRequest) {
    rrtest::LeakCheck leaks;
    const std::string subject(100 * 1024, 's');
    const std::string tid(10 * 1024, 't');
    const std::string from(100 * 1024, '8');
    SendReq req;
    req->Transaction_Id = dup(tid);
    req->Subject = dup(subject);
    req->From = dup(from);
    const Bytes expected = bytes({0x8C, 0x80, 0x98}) + text0(tid) + bytes({0x8D, 0x92}) +
                           bytes({0x89, 0x1F, 0x86, 0xA0, 0x0C, 0x80}) + plmn(from) +  // whole
                           bytes({0x96}) + encoded_utf8(subject) + kClassPersonal + kSendTail;
    {
        rrtest::LogCapture quiet;
        EXPECT_TRUE(same_bytes(encode(req.r), expected));
    }
    // A long subject whose first byte needs the quote.
    qx::free_ptr(req->Subject);
    const std::string utf8 = "\xC3\xA9" + std::string(70000, 'e');
    req->Subject = dup(utf8);
    const Bytes pdu = [&] {
        rrtest::LogCapture quiet;
        return encode(req.r);
    }();
    const Bytes field = bytes({0x96}) + encoded_utf8(utf8);
    ASSERT_GE(pdu.size(), field.size() + 10);
    EXPECT_TRUE(same_bytes(Bytes(pdu.end() - 10 - static_cast<long>(field.size()), pdu.end() - 10), field));
}

TEST(HugeFields, LongContentLocationAndTransactionIdInForward) {
    rrtest::LeakCheck leaks;
    const std::string loc = "\x80" + std::string(50000, 'l');
    const std::string tid(10000, 'i');
    FwdReq req;
    req->Transaction_Id = dup(tid);
    req->Content_Location = dup(loc);
    EXPECT_TRUE(same_bytes(encode_fwd(req.r),
                           bytes({0x8C, 0x89, 0x98}) + text0(tid) +
                               bytes({0x8D, 0x92, 0x89, 0x01, 0x81, 0x86, 0x81, 0x90, 0x81, 0x83, 0x7F}) + text0(loc)));
}

// ---------------------------------------------------------------- allocation failure

TEST(EncoderAllocation, FailureGivesNullWithoutLeaks) {
    SendReq req;
    req->Transaction_Id = dup("T");
    req->From = dup("123");
    req->To = dup("1;2;a@b");
    req->Subject = dup("subject");
    req->ContentTypeAndBody = static_cast<unsigned char *>(fnQX_Malloc(3));
    req->ContentTypeAndBody[0] = 0x84;
    req->ContentTypeAndBody[1] = 0xA3;
    req->Body_Len = 3;
    const Bytes full = encode(req.r);
    FwdReq fwd;
    fwd->Transaction_Id = dup("T");
    fwd->Content_Location = dup("L");
    fwd->To = dup("1;2");
    const Bytes fullFwd = encode_fwd(fwd.r);

    // Each encoder either fails whole or gives the whole PDU.
    auto check = [](uint8_t *buf, const int &len, const Bytes &whole) {
        EXPECT_EQ(buf == nullptr, qx::alloc_fail_fired());
        if (!buf) return;
        EXPECT_EQ(Bytes(buf, buf + len), whole);
        fnQX_Free(reinterpret_cast<void **>(&buf));
    };
    rrtest::LogCapture quiet;
    long n = rrtest::for_each_alloc_failure([&](long) {
        int len = 0;
        check(fnMMS_MakeSendReqPdu(req.r, &len), len, full);
    });
    EXPECT_GE(n, 1);
    EXPECT_GE(rrtest::for_each_alloc_failure([&](long) {
                  int len = 0;
                  check(fnMMS_MakeFWDMessagePdu(fwd.r, &len), len, fullFwd);
              }),
              1);
    EXPECT_GE(rrtest::for_each_alloc_failure([&](long) {
                  int len = 0;
                  check(fnMMS_MakeNotifyRespIndPdu("T", 1, 0x81, &len), len,
                        bytes({0x8C, 0x83, 0x98, 0x54, 0x00, 0x8D, 0x92, 0x91, 0x80, 0x95, 0x81}));
              }),
              1);
    EXPECT_GE(rrtest::for_each_alloc_failure([&](long) {
                  int len = 0;
                  check(fnMMS_MakeAcknowledgeIndPdu("T", 1, &len), len,
                        bytes({0x8C, 0x85, 0x98, 0x54, 0x00, 0x8D, 0x92, 0x91, 0x80}));
              }),
              1);
}

// The failed allocation itself is reported as null.
TEST(EncoderAllocation, FirstAllocationFailing) {
    SendReq req;
    req->Transaction_Id = dup("T");
    rrtest::LogCapture log;
    int len = 5;
    qx::alloc_fail_nth(1);
    EXPECT_EQ(fnMMS_MakeSendReqPdu(req.r, &len), nullptr);
    qx::alloc_fail_off();
    EXPECT_EQ(len, 0);
    EXPECT_TRUE(log.contains("mzk:fail to allocate memory"));
}

}  // namespace

// ---------------------------------------------------------------- round trips

namespace {

struct Parsed {
    tMMS_SendReq *r;
    explicit Parsed(const Bytes &pdu) {
        rrtest::HeapCopy copy(pdu);
        rrtest::LogCapture quiet;
        r = fnMMS_ParseSendContent(copy.data(), copy.size());
    }
    ~Parsed() { fnMMS_FreeMessageMem(r, MMS_STRUCT_SEND_REQ); }
};

std::string text_or_null(const char *s) { return s ? s : "(null)"; }

// What the stored-request decoder reads back from our send request: the
// addresses without their "/TYPE=PLMN", the lists joined by ";", the wire
// bytes of class and priority, and the body unchanged.
TEST(SendReqRoundTrip, ParseSendContentReadsBackTheFields) {
    rrtest::LeakCheck leaks;
    const std::string subject = "\xC3\x84rger \xC3\xBC" "ber \xE6\x97\xA5\xE6\x9C\xAC";
    const Bytes body = bytes({0x84, 0xA3, 0x01, 0x04, 0x02, 0x83, 0x8E, 0x61, 0x00, 0x68, 0x69});
    SendReq req;
    req->Transaction_Id = dup("rt-1");
    req->From = dup("+4917012345");
    req->To = dup(" 111 ; a@b.c");
    req->Cc = dup("222");
    req->Bcc = dup("333;x@y.z");
    req->Subject = dup(subject);
    req->Message_Class = 2;
    req->Priority = 0;
    req->Expiry = 3600;
    req->Delivery_Time = 7200;
    req->ContentTypeAndBody = static_cast<unsigned char *>(fnQX_Malloc(static_cast<int>(body.size())));
    std::memcpy(req->ContentTypeAndBody, body.data(), body.size());
    req->Body_Len = static_cast<int>(body.size());
    rrtest::LogCapture quiet;
    Parsed back(encode(req.r));
    ASSERT_NE(back.r, nullptr);
    EXPECT_EQ(text_or_null(back.r->Transaction_Id), "rt-1");
    EXPECT_EQ(text_or_null(back.r->From), "+4917012345");
    EXPECT_EQ(text_or_null(back.r->To), "111;a@b.c");
    EXPECT_EQ(text_or_null(back.r->Cc), "222");
    EXPECT_EQ(text_or_null(back.r->Bcc), "333;x@y.z");
    EXPECT_EQ(text_or_null(back.r->Subject), subject);
    EXPECT_EQ(back.r->Message_Class, 0x82);
    EXPECT_EQ(back.r->Priority, 0x80);
    ASSERT_EQ(back.r->Body_Len, static_cast<int>(body.size()));
    EXPECT_EQ(Bytes(back.r->ContentTypeAndBody, back.r->ContentTypeAndBody + back.r->Body_Len), body);
}

TEST(SendReqRoundTrip, ClassPriorityAndFromForms) {
    struct Case {
        uint8_t cls, priority;
        const char *from;
        uint8_t wireClass, wirePriority;
        std::string fromBack;
    };
    const std::string d250(250, '4');
    const Case cases[] = {
        {0, 1, nullptr, 0x80, 0x81, "(null)"},
        {1, 2, "a@b.c", 0x81, 0x82, "a@b.c"},
        {3, 0, "123", 0x83, 0x80, "123"},
        {9, 9, d250.c_str(), 0x80, 0x81, d250},  // the cut suffix "/TYPE" is dropped too
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(int(c.cls));
        rrtest::LeakCheck leaks;
        SendReq req;
        req->Transaction_Id = dup("T");
        if (c.from) req->From = dup(c.from);
        req->Message_Class = c.cls;
        req->Priority = c.priority;
        rrtest::LogCapture quiet;
        Parsed back(encode(req.r));
        ASSERT_NE(back.r, nullptr);
        EXPECT_EQ(back.r->Message_Class, c.wireClass);
        EXPECT_EQ(back.r->Priority, c.wirePriority);
        EXPECT_EQ(text_or_null(back.r->From), c.fromBack);
        EXPECT_EQ(back.r->To, nullptr);
        EXPECT_EQ(back.r->Subject, nullptr);
        EXPECT_EQ(back.r->Body_Len, 0);
    }
}

// Hundreds of recipients come back as one ";"-joined list each.
TEST(SendReqRoundTrip, LongRecipientLists) {
    rrtest::LeakCheck leaks;
    std::string to, cc;
    for (int i = 0; i < 300; ++i) {
        to += (i ? ";" : "") + std::to_string(100000 + i);
        cc += (i ? ";" : "") + std::string("u") + std::to_string(i) + "@example.org";
    }
    SendReq req;
    req->Transaction_Id = dup("T");
    req->To = dup(to);
    req->Cc = dup(cc);
    rrtest::LogCapture quiet;
    Parsed back(encode(req.r));
    ASSERT_NE(back.r, nullptr);
    EXPECT_EQ(text_or_null(back.r->To), to);
    EXPECT_EQ(text_or_null(back.r->Cc), cc);
}

// Random recipient lists, senders and Transaction-Ids written and read back:
// no address is lost or changed beyond the rules (spaces out of phone
// numbers, one "/TYPE=" suffix dropped on reading), however long it is,
// whatever empty entries surround it; texts beginning with a byte of 0x80 or
// more come back whole through their quote byte.
TEST(SendReqRoundTrip, EveryRecipientAndSenderComesBack) {
    rrtest::LeakCheck leaks;
    std::mt19937 rng(20261207);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
    auto phone = [&] {
        std::string p = pick(2) ? "+" : "";
        const int n = 3 + pick(90);  // up to 92 digits: beyond the 60 of a fixed buffer
        for (int i = 0; i < n; ++i) p += static_cast<char>('0' + pick(10));
        return p;
    };
    auto mail = [&] {
        std::string m = pick(3) == 0 ? "\xC3\xA9l\xC3\xA8ve" : "";
        m += std::string(1 + pick(80), static_cast<char>('a' + pick(26))) + "@example.org";
        if (pick(3) == 0) m = "Ann Lee <" + m + ">";
        return m;
    };
    for (int round = 0; round < 300; ++round) {
        std::string list, want;
        const int n = pick(6);
        for (int i = 0; i < n; ++i) {
            // Empty entries and entries of spaces here and there.
            for (int e = pick(3) == 0 ? 1 + pick(2) : 0; e > 0; --e) list += pick(2) ? ";" : " ; ";
            std::string a, back;
            if (pick(2)) {
                a = phone();
                back = a;
                if (pick(3) == 0) a.insert(static_cast<size_t>(1 + pick(static_cast<int>(a.size()) - 1)), " ");
                if (pick(4) == 0) a += "/TYPE=PLMN";
            } else {
                a = back = mail();
            }
            list += (pick(2) ? " " : "") + a + (pick(2) ? " " : "") + ";";
            want += (want.empty() ? "" : ";") + back;
        }
        const std::string from = pick(2) ? phone() : mail();
        const std::string tid = (pick(2) ? "\xE2\x80\xA2" : "t") + std::to_string(round);
        SendReq req;
        req->Transaction_Id = dup(tid);
        req->To = dup(list);
        req->From = dup(from);
        rrtest::LogCapture quiet;
        Parsed back(encode(req.r));
        ASSERT_NE(back.r, nullptr) << list;
        EXPECT_EQ(text_or_null(back.r->To), want.empty() ? "(null)" : want) << list;
        EXPECT_EQ(text_or_null(back.r->From), from);
        EXPECT_EQ(text_or_null(back.r->Transaction_Id), tid);
    }
}

}  // namespace
