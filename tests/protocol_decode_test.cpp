// PDU decoders: notification, retrieve confirmation, stored send request,
// send and forward confirmations, and the confirmation result numbers.
#include <cstring>
#include <memory>
#include <string>

#include "MMSProl_Encapsulaton.h"
#include "test_support.h"

using rrtest::bytes;
using rrtest::Bytes;
using rrtest::HeapCopy;
using rrtest::hex;
using rrtest::operator+;
using rrtest::text0;

namespace {

template <typename T, int Type>
struct RecordFree {
    void operator()(T *r) const { fnMMS_FreeMessageMem(r, Type); }
};
template <typename T, int Type>
using Rec = std::unique_ptr<T, RecordFree<T, Type>>;
using NotifyRec = Rec<tMMS_NotifyInd, MMS_STRUCT_MMS_NOTIFICATION_IND>;
using RetrieveRec = Rec<tMMS_RetrieveConf, MMS_STRUCT_RETRIEVE_CONF>;
using SendReqRec = Rec<tMMS_SendReq, MMS_STRUCT_SEND_REQ>;
using SendConfRec = Rec<tMMS_SendConf, MMS_STRUCT_SEND_CONF>;
using FwdConfRec = Rec<tMMS_FwdConf, MMS_STRUCT_FWD_CONF>;

// Every decoder gets an exactly sized heap copy, so a read past the given
// length is caught by AddressSanitizer.
NotifyRec notification(const Bytes &pdu) {
    HeapCopy h(pdu);
    return NotifyRec(fnMMS_ParseNotificationInd(h.data(), h.size()));
}
RetrieveRec retrieve(const Bytes &pdu) {
    HeapCopy h(pdu);
    return RetrieveRec(fnMMS_ParseRetrieveConf(h.data(), h.size()));
}
SendReqRec send_req(const Bytes &pdu) {
    HeapCopy h(pdu);
    return SendReqRec(fnMMS_ParseSendContent(h.data(), h.size()));
}
SendConfRec send_conf(const Bytes &pdu) {
    HeapCopy h(pdu);
    return SendConfRec(fnMMS_ParseSendConf(h.data(), h.size()));
}
FwdConfRec fwd_conf(const Bytes &pdu) {
    HeapCopy h(pdu);
    return FwdConfRec(fnMMS_ParseFwdConf(h.data(), h.size()));
}
int send_result(const Bytes &pdu) {
    HeapCopy h(pdu);
    return fnMMS_RecvSendConfData(h.data(), h.size());
}
int fwd_result(const Bytes &pdu) {
    HeapCopy h(pdu);
    return fnMMS_RecvFwdConfData(h.data(), h.size());
}

std::string s(const char *t) { return t ? t : "<null>"; }

// A phone number as relays write it: "/TYPE=PLMN" and the zero byte.
Bytes plmn(const std::string &number) { return text0(number + "/TYPE=PLMN"); }

// A From field with the address-present token and the given address bytes.
Bytes from_field(const Bytes &address) {
    EXPECT_LT(address.size() + 1, 31u);
    return bytes({0x89, static_cast<int>(address.size() + 1), 0x80}) + address;
}

// The body part of a message: the Content-Type field and a few body bytes.
const Bytes kBody = bytes({0x84, 0xA3, 0x01, 0x02, 0x03, 0x83, 0x41, 0x42});

// ================================================================ notification

// 0x8C 0x82, Transaction-Id "t1", version 1.2, Message-Size 4096, relative
// Expiry 86400 and a one-letter Content-Location.
const Bytes kNotify22 = bytes({0x8C, 0x82, 0x98, 0x74, 0x31, 0x00, 0x8D, 0x92, 0x8E, 0x02, 0x10, 0x00, 0x88,
                               0x05, 0x81, 0x03, 0x01, 0x51, 0x80, 0x83, 0x75, 0x00});

TEST(NotificationDecode, ReadsTheBasicFields) {
    ASSERT_EQ(kNotify22.size(), 22u);
    rrtest::LogCapture log;
    auto n = notification(kNotify22);
    ASSERT_TRUE(n);
    EXPECT_EQ(s(n->Transaction_Id), "t1");
    EXPECT_EQ(n->Message_Size, 4096);
    EXPECT_EQ(n->Expiry_Token, 0x81);
    EXPECT_EQ(n->Expiry, 86400);
    EXPECT_EQ(s(n->Content_Location), "u");
    EXPECT_EQ(n->From, nullptr);
    EXPECT_EQ(n->Subject, nullptr);
    EXPECT_TRUE(log.contains("mzk:fnMMS_ParseNotificationInd"));
    EXPECT_TRUE(log.contains("..\\..\\qxmms\\Protocol\\src\\MMSProl_Encapsulaton_DecodeNotify.cpp:")) << log.text();
}

TEST(NotificationDecode, ReadsSenderSubjectClassPriorityAndAbsoluteExpiry) {
    const Bytes pdu = bytes({0x8C, 0x82, 0x98}) + text0("tid") + from_field(plmn("+123")) +
                      bytes({0x96, 0x04, 0xEA}) + text0("Hi") + bytes({0x8A, 0x82, 0x8F, 0x82}) +
                      bytes({0x86, 0x81, 0x87, 0x03, 0x81, 0x01, 0x05}) +  // skipped fields
                      bytes({0x88, 0x06, 0x80, 0x04, 0x58, 0x2A, 0x34, 0x6A}) + bytes({0x83}) + text0("http://x/y");
    auto n = notification(pdu);
    ASSERT_TRUE(n);
    EXPECT_EQ(s(n->From), "+123");
    EXPECT_EQ(s(n->Subject), "Hi");
    EXPECT_EQ(n->Message_Class, 0x82);
    EXPECT_EQ(n->Priority, 0x82);
    EXPECT_EQ(n->Expiry_Token, 0x80);
    EXPECT_EQ(n->Expiry, 0x582A346A);
    EXPECT_EQ(s(n->Content_Location), "http://x/y");
}

TEST(NotificationDecode, FromVariants) {
    struct Case {
        const char *what;
        Bytes field;
        const char *from;
    };
    const Case cases[] = {
        {"insert-address token", bytes({0x89, 0x01, 0x81}), nullptr},
        {"e-mail address kept whole", from_field(text0("a/b@c.d")), "a/b@c.d"},
        {"quoted address", from_field(bytes({0x7F}) + plmn("+9")), "+9"},
        {"address with a charset", from_field(bytes({0x0E, 0x83}) + plmn("+1")), "+1"},
        {"address in UCS-2", from_field(bytes({0x08, 0x02, 0x03, 0xE8, 0x00, 0x2B, 0x00, 0x31, 0x00})), "+1"},
        // Bytes labelled UCS-2 are read as UCS-2, whatever they were meant to be.
        {"ASCII labelled UCS-2", from_field(bytes({0x06, 0x02, 0x03, 0xE8}) + text0("+1")), "\xE2\xAC\xB1"},
        {"address in KS_C_5601", from_field(bytes({0x0A, 0xA4}) + text0("+1555123")), "+1555123"},
        {"Latin-1 address converted", from_field(bytes({0x07, 0x84}) + text0("J\xF6rg@x")), "J\xC3\xB6rg@x"},
        {"address without its zero inside the value", bytes({0x89, 0x03, 0x80, 0x41, 0x42}), nullptr},
    };
    for (const auto &tc : cases) {
        // The Content-Location after the From shows where decoding went on.
        auto n = notification(bytes({0x8C, 0x82}) + tc.field + bytes({0x83}) + text0("L"));
        ASSERT_TRUE(n) << tc.what;
        EXPECT_EQ(s(n->From), s(tc.from)) << tc.what;
        EXPECT_EQ(s(n->Content_Location), "L") << tc.what;
    }
}

TEST(NotificationDecode, ClassByNameIsPersonalAndSubjectCharsetsAreConverted) {
    const Bytes pdu = bytes({0x8C, 0x82, 0x8A}) + text0("Personal") + bytes({0x96, 0x04, 0x84}) + text0("Hi") +
                      bytes({0x98}) + text0("t") + bytes({0x83}) + text0("L");
    auto n = notification(pdu);
    ASSERT_TRUE(n);
    EXPECT_EQ(n->Message_Class, 0x80);
    EXPECT_EQ(s(n->Subject), "Hi");  // ISO-8859-1, converted
    EXPECT_EQ(s(n->Transaction_Id), "t");
    EXPECT_EQ(s(n->Content_Location), "L");
}

TEST(NotificationDecode, WrongTypeAndUnexpectedFields) {
    // Message-Type 0x84 is not a notification.
    Bytes wrong = kNotify22;
    wrong[1] = 0x84;
    EXPECT_FALSE(notification(wrong));
    // An unexpected field after the Content-Location ends decoding with the record.
    auto after = notification(kNotify22 + bytes({0x85, 0x04, 0x01, 0x02, 0x03, 0x04}));
    ASSERT_TRUE(after);
    EXPECT_EQ(s(after->Content_Location), "u");
    // The same field before the Content-Location is stepped over.
    auto before = notification(bytes({0x8C, 0x82, 0x85, 0x01, 0x01, 0x83}) + text0("u"));
    ASSERT_TRUE(before);
    EXPECT_EQ(s(before->Content_Location), "u");
}

TEST(NotificationDecode, ArgumentChecks) {
    rrtest::LogCapture log;
    EXPECT_EQ(fnMMS_ParseNotificationInd(nullptr, 5), nullptr);
    EXPECT_EQ(fnMMS_ParseNotificationInd(kNotify22.data(), -1), nullptr);
    EXPECT_FALSE(log.contains("mzk:fnMMS_ParseNotificationInd"));
    EXPECT_EQ(fnMMS_ParseNotificationInd(kNotify22.data(), 0), nullptr);
    EXPECT_TRUE(log.contains("mzk:fnMMS_ParseNotificationInd"));
}

TEST(NotificationDecode, ContentLocationPastTheGivenLengthIsLeftOut) {
    // The text of the Content-Location would end 1 or 11 bytes past the given
    // length: in both cases the decoder sees no complete value and returns
    // what it read before, without Content-Location.
    const Bytes head = bytes({0x8C, 0x82, 0x98}) + text0("t") + bytes({0x83});
    for (size_t past : {1u, 5u, 10u, 11u, 20u}) {
        const Bytes full = head + text0(std::string(30, 'x'));
        const Bytes given(full.begin(), full.end() - static_cast<long>(past));
        rrtest::LeakCheck leaks;
        auto n = notification(given);
        ASSERT_TRUE(n) << past;
        EXPECT_EQ(n->Content_Location, nullptr) << past;
        EXPECT_EQ(s(n->Transaction_Id), "t");
    }
}

TEST(NotificationDecode, ValuesCutByTheGivenLengthEndDecoding) {
    // Every prefix of a complete notification: a record or null, never more
    // than the prefix holds.
    const Bytes pdu = bytes({0x8C, 0x82, 0x98}) + text0("tid") + from_field(plmn("+123")) +
                      bytes({0x8E, 0x03, 0x01, 0x00, 0x00, 0x88, 0x05, 0x81, 0x03, 0x01, 0x51, 0x80}) +
                      bytes({0x83}) + text0("http://l");
    for (size_t n = 1; n < pdu.size(); ++n) {
        rrtest::LeakCheck leaks;
        auto r = notification(Bytes(pdu.begin(), pdu.begin() + static_cast<long>(n)));
        ASSERT_TRUE(r) << n;
        if (r->Transaction_Id) {
            EXPECT_EQ(s(r->Transaction_Id), "tid");
        }
        if (r->From) {
            EXPECT_EQ(s(r->From), "+123");
        }
        if (r->Message_Size) {
            EXPECT_EQ(r->Message_Size, 65536);
        }
        if (r->Expiry) {
            EXPECT_EQ(r->Expiry, 86400);
        }
        EXPECT_EQ(r->Content_Location, nullptr) << n;
    }
}

TEST(NotificationDecode, MessageSizeAsShortIntegerAndHugeLongInteger) {
    auto a = notification(bytes({0x8C, 0x82, 0x8E, 0x85, 0x83}) + text0("L"));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->Message_Size, 5);
    // A Long-integer of 8 bytes keeps its low 32 bits.
    auto b = notification(bytes({0x8C, 0x82, 0x8E, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x10, 0x00, 0x83}) +
                          text0("L"));
    ASSERT_TRUE(b);
    EXPECT_EQ(b->Message_Size, 4096);
    EXPECT_EQ(s(b->Content_Location), "L");
}

// ================================================================ retrieve-conf

Bytes retrieve_head() { return bytes({0x8C, 0x84, 0x98}) + text0("T1") + bytes({0x8D, 0x92}); }

TEST(RetrieveDecode, ListFieldsAndBody) {
    const Bytes pdu = retrieve_head() + bytes({0x97}) + text0("a") + bytes({0x97}) + text0("b") + bytes({0x82}) +
                      plmn("+1") + bytes({0x82, 0x0E, 0xEA}) + plmn("+2") + bytes({0x81}) + text0("hidden") + kBody;
    auto r = retrieve(pdu);
    ASSERT_TRUE(r);
    EXPECT_EQ(s(r->To), "a;b");
    EXPECT_EQ(s(r->Cc), "+1;+2");
    EXPECT_EQ(s(r->Transaction_Id), "T1");
    ASSERT_NE(r->body, nullptr);
    ASSERT_EQ(r->Content_Size, static_cast<int>(kBody.size()));
    EXPECT_EQ(hex(r->body, kBody.size()), hex(kBody));
}

TEST(RetrieveDecode, HeaderFields) {
    const Bytes pdu = retrieve_head() + bytes({0x8B}) + text0("mid") + bytes({0x85, 0x04, 0x52, 0xBF, 0xF4, 0xAC}) +
                      from_field(plmn("+7")) + bytes({0x8A, 0x81, 0x8F, 0x80, 0x99, 0xE1, 0x94, 0x80}) +
                      bytes({0x96, 0x1F, 0x05, 0xEA, 0x7F, 0xD0, 0x90, 0x00}) + kBody;
    auto r = retrieve(pdu);
    ASSERT_TRUE(r);
    EXPECT_EQ(s(r->Message_Id), "mid");
    EXPECT_EQ(r->Date, 0x52BFF4AC);
    EXPECT_EQ(s(r->From), "+7");
    EXPECT_EQ(r->Message_Class, 0x81);
    EXPECT_EQ(r->Priority, 0x80);
    EXPECT_EQ(r->Retrieve_Status, 0xE1);
    EXPECT_EQ(s(r->Subject), "\xD0\x90");
    EXPECT_EQ(r->Content_Size, static_cast<int>(kBody.size()));
}

TEST(RetrieveDecode, ReportFlags) {
    struct Case {
        Bytes fields;
        int delivery, read;
    };
    const Case cases[] = {
        {bytes({0x90, 0x80}), 0, 1},
        {bytes({0x86, 0x82}), 0, 0},
        {bytes({0x86, 0x80}), 1, 0},
        {bytes({0x86, 0x80, 0x86, 0x81, 0x90, 0x80, 0x90, 0x81}), 0, 0},
        {bytes({0x86, 0x80, 0x86, 0x82, 0x90, 0x80, 0x90, 0x90}), 1, 1},
    };
    for (const auto &tc : cases) {
        auto r = retrieve(retrieve_head() + tc.fields + kBody);
        ASSERT_TRUE(r) << hex(tc.fields);
        EXPECT_EQ(r->Delivery_Report, tc.delivery) << hex(tc.fields);
        EXPECT_EQ(r->Read_Reply, tc.read) << hex(tc.fields);
    }
}

TEST(RetrieveDecode, RefusedPdus) {
    // Empty Transaction-Id, also as a lone quote.
    EXPECT_FALSE(retrieve(bytes({0x8C, 0x84, 0x98, 0x00}) + kBody));
    EXPECT_FALSE(retrieve(bytes({0x8C, 0x84, 0x98, 0x7F, 0x00}) + kBody));
    // Another message type.
    EXPECT_FALSE(retrieve(bytes({0x8C, 0x80, 0x98}) + text0("t") + kBody));
    EXPECT_EQ(fnMMS_ParseRetrieveConf(nullptr, 4), nullptr);
    EXPECT_EQ(fnMMS_ParseRetrieveConf(kBody.data(), 0), nullptr);
    EXPECT_EQ(fnMMS_ParseRetrieveConf(kBody.data(), -3), nullptr);
}

TEST(RetrieveDecode, ApplicationHeaderBeforeTheBody) {
    auto r = retrieve(retrieve_head() + text0("X-Extra") + text0("value") + bytes({0x8F, 0x82}) + kBody);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->Priority, 0x82);
    EXPECT_EQ(r->Content_Size, static_cast<int>(kBody.size()));
}

TEST(RetrieveDecode, FieldsNotStoredAreSkippedByTheirEncoding) {
    struct Case {
        const char *what;
        Bytes field;
    };
    const Case cases[] = {
        {"Retrieve-Text, uintvar length", bytes({0x9A, 0x1F, 0x07, 0x83}) + text0("text!")},
        {"Retrieve-Text, short length", bytes({0x9A, 0x04, 0x83}) + text0("ab")},
        {"Previously-Sent-By", bytes({0xA0, 0x05, 0x81, 0x03, 0x83}) + text0("a")},
        {"Previously-Sent-Date", bytes({0xA1, 0x06, 0x81, 0x04, 0x52, 0xBF, 0xF4, 0xAC})},
        {"Distribution-Indicator, short integer", bytes({0xB1, 0x80})},
        {"Applic-ID, text", bytes({0xB7}) + text0("com.example")},
        {"Content-Class, short integer", bytes({0xBA, 0x81})},
        {"DRM-Content", bytes({0xBB, 0x80})},
        {"Replace-ID, quoted text", bytes({0xBD, 0x22}) + text0("id")},
        {"Status, unknown to this decoder", bytes({0x95, 0x81})},
    };
    for (const auto &tc : cases) {
        auto r = retrieve(retrieve_head() + tc.field + bytes({0x8F, 0x82}) + kBody);
        ASSERT_TRUE(r) << tc.what;
        EXPECT_EQ(r->Priority, 0x82) << tc.what;
        EXPECT_EQ(r->Content_Size, static_cast<int>(kBody.size())) << tc.what;
    }
}

TEST(RetrieveDecode, ManyListFieldsJoinInOrder) {
    Bytes pdu = retrieve_head();
    std::string want;
    for (int i = 0; i < 3000; ++i) {
        const std::string a = "+" + std::to_string(i);
        pdu = pdu + bytes({0x82}) + plmn(a);
        want += (i ? ";" : "") + a;
    }
    auto r = retrieve(pdu + kBody);
    ASSERT_TRUE(r);
    EXPECT_EQ(s(r->Cc), want);
    EXPECT_EQ(r->To, nullptr);
}

TEST(RetrieveDecode, WithoutBodyOrWithTheContentTypeByteLast) {
    auto a = retrieve(retrieve_head() + bytes({0x8F, 0x81}));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->body, nullptr);
    EXPECT_EQ(a->Content_Size, 0);
    EXPECT_EQ(a->Priority, 0x81);
    auto b = retrieve(retrieve_head() + bytes({0x84}));
    ASSERT_TRUE(b);
    ASSERT_EQ(b->Content_Size, 1);
    EXPECT_EQ(b->body[0], 0x84);
}

TEST(RetrieveDecode, AllocationFailuresReleaseEverything) {
    const Bytes pdu = retrieve_head() + bytes({0x8B}) + text0("mid") + from_field(plmn("+7")) + bytes({0x97}) +
                      plmn("+1") + bytes({0x97}) + plmn("+2") + bytes({0x82}) + text0("c") +
                      bytes({0x96, 0x03, 0xEA}) + text0("S") + kBody;
    HeapCopy h(pdu);
    const long allocs = rrtest::for_each_alloc_failure([&](long) {
        tMMS_DecodeReport why{};
        tMMS_RetrieveConf *r = fnMMS_ParseRetrieveConf(h.data(), h.size(), &why);
        // Complete or failed: a copy that could not be made fails the decode
        // instead of leaving its field out, and says so.
        ASSERT_EQ(r == nullptr, qx::alloc_fail_fired());
        if (!r) {
            EXPECT_EQ(why.fault, MmsDecodeFault::NoMemory);
            return;
        }
        EXPECT_EQ(s(r->Transaction_Id), "T1");
        EXPECT_EQ(s(r->Message_Id), "mid");
        EXPECT_EQ(s(r->From), "+7");
        EXPECT_EQ(s(r->To), "+1;+2");
        EXPECT_EQ(s(r->Cc), "c");
        EXPECT_EQ(s(r->Subject), "S");
        ASSERT_NE(r->body, nullptr);
        EXPECT_EQ(r->Content_Size, static_cast<int>(kBody.size()));
        fnMMS_FreeMessageMem(r, MMS_STRUCT_RETRIEVE_CONF);
    });
    EXPECT_GE(allocs, 8);  // record, five texts, list growth, body
}

// ================================================================ send-req

Bytes send_head() { return bytes({0x8C, 0x80, 0x98}) + text0("S1") + bytes({0x8D, 0x92}); }

TEST(SendContentDecode, Fields) {
    const Bytes pdu = send_head() + bytes({0x85, 0x04, 0x53, 0x49, 0x3E, 0x40}) + bytes({0x89, 0x01, 0x81}) +
                      bytes({0x97, 0x0E, 0xEA}) + plmn("+1") + bytes({0x97}) + text0("b@c") + bytes({0x82}) +
                      plmn("+3") + bytes({0x81}) + plmn("+4") + bytes({0x81}) + plmn("+5") +
                      bytes({0x96, 0x07, 0xEA}) + text0("Fwd: ") + bytes({0x8A, 0x81, 0x8F, 0x82}) +
                      bytes({0x88, 0x05, 0x81, 0x03, 0x09, 0x3A, 0x80, 0x87, 0x03, 0x81, 0x01, 0x10}) +
                      bytes({0x86, 0x80, 0x90, 0x80, 0x94, 0x80}) + kBody;
    auto r = send_req(pdu);
    ASSERT_TRUE(r);
    EXPECT_EQ(s(r->Transaction_Id), "S1");
    EXPECT_EQ(r->Date, 0x53493E40);
    EXPECT_EQ(r->From, nullptr);
    EXPECT_EQ(s(r->To), "+1;b@c");
    EXPECT_EQ(s(r->Cc), "+3");
    EXPECT_EQ(s(r->Bcc), "+4;+5");
    EXPECT_EQ(s(r->Subject), "Fwd: ");
    EXPECT_EQ(r->Message_Class, 0x81);
    EXPECT_EQ(r->Priority, 0x82);
    // Skipped fields leave the initial values.
    EXPECT_EQ(r->Expiry, 0);
    EXPECT_EQ(r->Expiry_Relative, 1);
    EXPECT_EQ(r->Delivery_Time, 0);
    EXPECT_EQ(r->Delivery_Report, 0);
    EXPECT_EQ(r->Read_Reply, 0);
    EXPECT_EQ(r->Sender_Visibility, 1);
    ASSERT_EQ(r->Body_Len, static_cast<int>(kBody.size()));
    EXPECT_EQ(hex(r->ContentTypeAndBody, kBody.size()), hex(kBody));
}

TEST(SendContentDecode, LogsTheSender) {
    rrtest::LogCapture log;
    auto r = send_req(send_head() + from_field(plmn("+44")) + bytes({0x8F, 0x81}) + kBody);
    ASSERT_TRUE(r);
    EXPECT_EQ(s(r->From), "+44");
    EXPECT_TRUE(log.contains("mzk:enter fnMMS_ParseSendContent"));
    EXPECT_TRUE(log.contains("mzk:GetLengthValue:strlength=15,FromFieldType=128")) << log.text();
    EXPECT_TRUE(log.contains("mzk: pSend->From=+44,MMS_FROM_FIELD next=8f")) << log.text();
    EXPECT_TRUE(log.contains("..\\..\\qxmms\\Protocol\\src\\MMSProl_Encapsulaton_DecodeSendReq.cpp:"));
}

TEST(SendContentDecode, RefusalsAndTheirLogLines) {
    struct Case {
        const char *what;
        Bytes pdu;
        const char *logLine;
    };
    const Case cases[] = {
        {"empty Transaction-Id", bytes({0x8C, 0x80, 0x98, 0x00}) + kBody, "mzk:no Transaction_Id"},
    };
    for (const auto &tc : cases) {
        rrtest::LogCapture log;
        rrtest::LeakCheck leaks;
        EXPECT_FALSE(send_req(tc.pdu)) << tc.what;
        EXPECT_TRUE(log.contains(tc.logLine)) << tc.what;
    }
    // Fields not kept in the record are stepped over; the body is still found.
    const Bytes skipped[] = {
        send_head() + bytes({0x95, 0x80}) + kBody,                  // Status
        send_head() + bytes({0x8B}) + text0("m") + kBody,           // Message-ID
        send_head() + text0("X-A") + text0("b") + kBody,            // application header
        send_head() + bytes({0xBA, 0x80, 0xB1, 0x80}) + kBody,      // Content-Class, Distribution-Indicator
        send_head() + bytes({0xB7}) + text0("com.app") + kBody,     // Applic-ID
    };
    for (const Bytes &pdu : skipped) {
        rrtest::LeakCheck leaks;
        auto r = send_req(pdu);
        ASSERT_TRUE(r) << rrtest::hex(pdu);
        EXPECT_EQ(r->Body_Len, static_cast<int>(kBody.size()));
    }
}

TEST(SendContentDecode, ArgumentChecks) {
    rrtest::LogCapture log;
    EXPECT_EQ(fnMMS_ParseSendContent(nullptr, 3), nullptr);
    EXPECT_TRUE(log.contains("mzk:enter fnMMS_ParseSendContent"));
    EXPECT_TRUE(log.contains("mzk:input parameters invalid"));
    log.clear();
    EXPECT_EQ(fnMMS_ParseSendContent(kBody.data(), -1), nullptr);
    EXPECT_TRUE(log.contains("mzk:input parameters invalid"));
    log.clear();
    EXPECT_EQ(fnMMS_ParseSendContent(kBody.data(), 0), nullptr);
    EXPECT_TRUE(log.contains("mzk:Content_len <= 0"));
    EXPECT_FALSE(log.contains("mzk:input parameters invalid"));
}

// What the report of the two lenient decoders says when they give nothing:
// a refusal is never taken for a shortage of memory.
TEST(LenientDecodeReport, RefusalsAreNotShortages) {
    const Bytes retrieveBase = retrieve_head();
    struct Case {
        bool retrieve;
        Bytes pdu;
        MmsDecodeFault fault;
        uint8_t field;
    } cases[] = {
        {true, {}, MmsDecodeFault::NoInput, 0},
        {false, {}, MmsDecodeFault::NoInput, 0},
        {true, bytes({0x8C, 0x84, 0x98, 0x00}), MmsDecodeFault::BadField, 0x98},  // empty Transaction-Id
        {false, bytes({0x8C, 0x80, 0x98, 0x00}), MmsDecodeFault::BadField, 0x98},
        {true, bytes({0x8C, 0x80}), MmsDecodeFault::BadField, 0x8C},  // another Message-Type
        {true, retrieveBase + kBody, MmsDecodeFault::None, 0},
        {false, send_head() + kBody, MmsDecodeFault::None, 0},
    };
    for (const Case &c : cases) {
        rrtest::LeakCheck leaks;
        HeapCopy h(c.pdu);
        tMMS_DecodeReport why{};
        why.fault = MmsDecodeFault::UnexpectedBody;  // overwritten by every call
        void *rec = c.retrieve ? static_cast<void *>(fnMMS_ParseRetrieveConf(h.data(), h.size(), &why))
                               : static_cast<void *>(fnMMS_ParseSendContent(h.data(), h.size(), &why));
        EXPECT_EQ(why.fault, c.fault) << hex(c.pdu);
        EXPECT_EQ(rec == nullptr, c.fault != MmsDecodeFault::None) << hex(c.pdu);
        if (c.fault == MmsDecodeFault::BadField) { EXPECT_EQ(why.field, c.field) << hex(c.pdu); }
        fnMMS_FreeMessageMem(rec, c.retrieve ? MMS_STRUCT_RETRIEVE_CONF : MMS_STRUCT_SEND_REQ);
    }
}

TEST(SendContentDecode, RecordAllocationFailureIsLogged) {
    HeapCopy h(send_head() + kBody);
    rrtest::LogCapture log;
    qx::alloc_fail_nth(1);
    EXPECT_EQ(fnMMS_ParseSendContent(h.data(), h.size()), nullptr);
    qx::alloc_fail_off();
    EXPECT_TRUE(log.contains("mzk:fail to allocate memory"));
}

TEST(SendContentDecode, AllocationFailuresReleaseEverything) {
    HeapCopy h(send_head() + from_field(plmn("+44")) + bytes({0x97}) + plmn("+1") + bytes({0x97}) + plmn("+2") +
               bytes({0x81}) + plmn("+3") + bytes({0x96, 0x03, 0xEA}) + text0("S") + kBody);
    const long allocs = rrtest::for_each_alloc_failure([&](long) {
        tMMS_DecodeReport why{};
        tMMS_SendReq *r = fnMMS_ParseSendContent(h.data(), h.size(), &why);
        ASSERT_EQ(r == nullptr, qx::alloc_fail_fired());
        if (!r) {
            EXPECT_EQ(why.fault, MmsDecodeFault::NoMemory);
            return;
        }
        EXPECT_EQ(s(r->Transaction_Id), "S1");
        EXPECT_EQ(s(r->From), "+44");
        EXPECT_EQ(s(r->To), "+1;+2");
        EXPECT_EQ(s(r->Bcc), "+3");
        EXPECT_EQ(s(r->Subject), "S");
        ASSERT_NE(r->ContentTypeAndBody, nullptr);
        EXPECT_EQ(r->Body_Len, static_cast<int>(kBody.size()));
        fnMMS_FreeMessageMem(r, MMS_STRUCT_SEND_REQ);
    });
    EXPECT_GE(allocs, 7);
}

// ================================================================ confirmations

TEST(SendConfDecode, Fields) {
    const Bytes pdu = bytes({0x8C, 0x81, 0x98}) + text0("x") + bytes({0x8D, 0x91, 0x92, 0x84, 0x93}) +
                      text0("Unknown sender") + bytes({0x8B, 0x7F}) + text0("\x81mid");
    auto c = send_conf(pdu);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->Message_Type, 0x81);
    EXPECT_EQ(c->MMS_Version, 0x91);
    EXPECT_EQ(c->Response_Status, 0x84);
    EXPECT_EQ(s(c->Transaction_Id), "x");
    EXPECT_EQ(s(c->Response_Text), "Unknown sender");
    EXPECT_EQ(s(c->Message_Id), "\x81mid");
}

TEST(SendConfDecode, ResponseTextWithACharsetIsDecoded) {
    // Relays send Response-Text as an Encoded-string-value in UTF-8.
    auto c = send_conf(bytes({0x8C, 0x81, 0x98}) + text0("x") + bytes({0x92, 0x83, 0x93, 0x07, 0xEA, 0x7F}) +
                       text0("\xD0\x90\xD0\xB4"));
    ASSERT_TRUE(c);
    EXPECT_EQ(s(c->Response_Text), "\xD0\x90\xD0\xB4");
}

TEST(SendConfDecode, StoresTypeAndVersionAsTheyAre) {
    auto c = send_conf(bytes({0x8C, 0x84, 0x8D, 0x10, 0x98}) + text0("x"));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->Message_Type, 0x84);
    EXPECT_EQ(c->MMS_Version, 0x10);
    EXPECT_FALSE(send_conf(Bytes{}));
    EXPECT_EQ(fnMMS_ParseSendConf(nullptr, 3), nullptr);
}

TEST(FwdConfDecode, FieldsAndEmptyInput) {
    auto c = fwd_conf(bytes({0x8C, 0x8A, 0x98}) + text0("f") + bytes({0x8D, 0x92, 0x92, 0x85, 0x8B}) + text0("m") +
                      bytes({0x93}) + text0("gone"));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->Response_Status, 0x85);
    EXPECT_EQ(s(c->Transaction_Id), "f");
    EXPECT_EQ(s(c->Message_Id), "m");
    EXPECT_EQ(s(c->Response_Text), "gone");
    // A length of 0 gives an empty record.
    const uint8_t one = 0x8C;
    FwdConfRec empty(fnMMS_ParseFwdConf(&one, 0));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->Response_Status, 0);
    EXPECT_EQ(empty->Transaction_Id, nullptr);
    EXPECT_EQ(fnMMS_ParseFwdConf(nullptr, 0), nullptr);
    EXPECT_EQ(fnMMS_ParseFwdConf(&one, -1), nullptr);
}

TEST(ConfResult, SendConfirmations) {
    const Bytes ok = bytes({0x8C, 0x81, 0x98, 0x78, 0x00, 0x8D, 0x92, 0x92, 0x80});
    EXPECT_EQ(send_result(ok), 0);
    Bytes other = ok;
    other.back() = 0xE0;
    EXPECT_EQ(send_result(other), 9);
    EXPECT_EQ(send_result(Bytes(ok.begin(), ok.end() - 2)), 9);  // no Response-Status
    EXPECT_EQ(fnMMS_RecvSendConfData(nullptr, 9), 10);
    EXPECT_EQ(fnMMS_RecvSendConfData(ok.data(), 0), 10);
    EXPECT_EQ(fnMMS_RecvSendConfData(ok.data(), -1), 10);
    // An extra field after the Transaction-Id and the status ends decoding there.
    EXPECT_EQ(send_result(bytes({0x8C, 0x81, 0x98, 0x78, 0x00, 0x92, 0x83, 0x85, 0x01, 0x01})), 3);
    // The same field before the Transaction-Id is stepped over.
    EXPECT_EQ(send_result(bytes({0x8C, 0x81, 0x85, 0x01, 0x01, 0x98, 0x78, 0x00, 0x92, 0x80})), 0);
}

TEST(ConfResult, EveryStatusMapsToItsNumber) {
    for (int status = 0; status < 256; ++status) {
        // MMS 1.1+ transient and permanent errors give their MMS 1.0 kin.
        const std::map<int, int> later = {{0xE1, 2}, {0xE2, 3}, {0xC1, 4}, {0xE3, 4}, {0xC2, 5},
                                          {0xE4, 5}, {0xC3, 6}, {0xE5, 7}};
        const auto kin = later.find(status);
        const int want = (status >= 0x80 && status <= 0x88) ? status - 0x80 : kin != later.end() ? kin->second : 9;
        const Bytes tail = bytes({0x92, status});
        EXPECT_EQ(send_result(bytes({0x8C, 0x81, 0x98, 0x78, 0x00}) + tail), want) << status;
        EXPECT_EQ(fwd_result(bytes({0x8C, 0x8A, 0x98, 0x78, 0x00}) + tail), want) << status;
    }
}

TEST(ConfResult, ForwardConfirmations) {
    const Bytes ok = bytes({0x8C, 0x8A, 0x98, 0x78, 0x00, 0x8D, 0x92, 0x92, 0x80});
    EXPECT_EQ(fwd_result(ok), 0);
    EXPECT_EQ(fwd_result(ok + bytes({0x85, 0x01, 0x01})), 0);  // other fields are stepped over
    EXPECT_EQ(fwd_result(bytes({0x8C, 0x8A, 0x98, 0x78, 0x00, 0x83}) + text0("http://x") + bytes({0x92, 0xE1})), 2);
    Bytes sendType = ok;
    sendType[1] = 0x81;
    EXPECT_EQ(fwd_result(sendType), 10);
    EXPECT_EQ(fwd_result(Bytes(ok.begin(), ok.end() - 2)), 9);
    EXPECT_EQ(fnMMS_RecvFwdConfData(nullptr, 3), 10);
    EXPECT_EQ(fnMMS_RecvFwdConfData(ok.data(), 0), 10);
}

TEST(ConfResult, AllocationFailuresNeverLeak) {
    HeapCopy send(bytes({0x8C, 0x81, 0x98}) + text0("x") + bytes({0x92, 0x82, 0x93}) + text0("no") +
                  bytes({0x8B}) + text0("m"));
    HeapCopy fwd(bytes({0x8C, 0x8A, 0x98}) + text0("x") + bytes({0x92, 0x82, 0x93}) + text0("no") + bytes({0x8B}) +
                 text0("m"));
    // Any failed copy makes the confirmation undecodable (10), never a
    // record silently missing a text.
    EXPECT_EQ(rrtest::for_each_alloc_failure([&](long run) {
                  const int r = fnMMS_RecvSendConfData(send.data(), send.size());
                  EXPECT_EQ(r, qx::alloc_fail_fired() ? 10 : 2) << run;
              }),
              4);
    EXPECT_EQ(rrtest::for_each_alloc_failure([&](long run) {
                  const int r = fnMMS_RecvFwdConfData(fwd.data(), fwd.size());
                  EXPECT_EQ(r, qx::alloc_fail_fired() ? 10 : 2) << run;
              }),
              4);
}

}  // namespace

// A Value-length of 128, 256 or 16384 is written as a uintvar ending in a zero
// byte (1F 81 00): the subject must still be read by its length, and the
// fields after it must still be found.
TEST(SubjectDecode, ValueLengthsWhoseUintvarEndsInZero) {
    for (size_t n : {125u, 126u, 254u, 16382u}) {
        const std::string subject(n, 's');
        Bytes wire(n + 8);
        qx::Writer o = qx::Writer::over(wire.data(), wire.size());
        SetEncodedStringValue(o, subject.c_str());
        ASSERT_TRUE(o.ok());
        wire.resize(o.written());
        const Bytes tid = bytes({0x98}) + text0("T1");
        const Bytes pdu = bytes({0x8C, 0x80}) + tid + bytes({0x96}) + wire + bytes({0x8F, 0x82}) + kBody;

        SendReqRec req = send_req(pdu);
        ASSERT_TRUE(req) << n;
        EXPECT_EQ(s(req->Subject), subject) << n;
        EXPECT_EQ(req->Priority, 0x82) << n;
        EXPECT_EQ(req->Body_Len, static_cast<int>(kBody.size())) << n;

        const Bytes notify = bytes({0x8C, 0x82}) + tid + bytes({0x96}) + wire + bytes({0x83}) + text0("u");
        NotifyRec rec = notification(notify);
        ASSERT_TRUE(rec) << n;
        EXPECT_EQ(s(rec->Subject), subject) << n;
        EXPECT_EQ(s(rec->Content_Location), "u") << n;
    }
}

namespace {

Bytes from_hex(const std::string &h) {
    Bytes b;
    for (size_t i = 0; i + 1 < h.size();) {
        if (h[i] == ' ') {
            ++i;
            continue;
        }
        b.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return b;
}

}  // namespace

// PDUs as later MMS versions and real relays write them: fields the records do
// not keep are stepped over by their encoding, addresses come in any charset.
TEST(LaterVersionFields, AreSteppedOverByEveryDecoder) {
    rrtest::LeakCheck leaks;
    // Content-Class, Message-Class, Message-Size, Expiry before the
    // Content-Location.
    auto n = notification(from_hex("8c 82 98 74 00 8d 92 ba 80 8a 80 8e 01 64 88 04 81 02 0e 10 83 "
                                   "68 74 74 70 3a 2f 2f 78 00"));
    ASSERT_TRUE(n);
    EXPECT_EQ(n->Message_Size, 100);
    EXPECT_EQ(n->Expiry, 3600);
    EXPECT_EQ(s(n->Content_Location), "http://x");
    // Distribution-Indicator, Reply-Charging, Applic-ID and an application
    // header between the fields; a From in KS_C_5601 after them.
    n = notification(from_hex("8c 82 98 74 00 8d 93 b1 81 9c 80 9d 05 81 03 01 51 80 b7 61 00 "
                              "58 2d 41 00 62 00 89 0c 80 0a a4 2b 31 35 35 35 31 32 33 00 "
                              "83 68 74 74 70 3a 2f 2f 78 00 96 02 ea 00"));
    ASSERT_TRUE(n);
    EXPECT_EQ(s(n->From), "+1555123");
    EXPECT_EQ(s(n->Content_Location), "http://x");
    // Store-Status before the Response-Status, and a Content-Location in a
    // forward confirmation.
    EXPECT_EQ(send_result(from_hex("8c 81 98 74 00 8d 92 a5 80 92 84")), 4);
    EXPECT_EQ(fwd_result(from_hex("8c 8a 98 74 00 8d 92 83 68 74 74 70 3a 2f 2f 78 00 92 80")), 0);
    // A permanent refusal of a later MMS version reaches the host as its kin.
    EXPECT_EQ(send_result(from_hex("8c 81 98 74 00 8d 93 92 e1 93 04 ea 6e 6f 00")), 2);
    // A value that runs past the end still ends decoding with what was read.
    EXPECT_EQ(send_result(from_hex("8c 81 98 74 00 92 82 b7 61 62")), 2);
}
