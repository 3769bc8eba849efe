// The decoders on damaged input: every real PDU cut short at every length of
// its headers (and at a stride through its body), with bits flipped and with
// lengths that lie. Each variant is an exactly sized heap copy, so under
// AddressSanitizer any read past the given length fails the test. Results
// must be sensible: a cut PDU gives null or a record whose fields are those
// of the whole PDU or unset, and every record holds terminated texts and a
// body that is exactly the tail of the input.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "qx_log.h"
#include "test_support.h"

using rrtest::Bytes;
using rrtest::HeapCopy;
using rrtest::operator+;

namespace {

const char *const kCorpus[] = {
    "m-notification_1.ind", "m-notification_2.ind", "m-notification_3.ind", "m-notification_4.ind",
    "m-retrieve_1.conf",    "m-retrieve_2.conf",    "m-retrieve_3.conf",    "m-retrieve_4.conf",
    "m-send_1.req",         "m-send_2.req",         "m-send_3.req",         "m-send_1.conf",
    "m-send_2.conf",        "m-send_3.conf",        "m-acknowledge.ind",    "m-notifyresp.ind",
};

// Fields of a record as (name, value) with texts null shown as absent; list
// fields are marked so a cut PDU may hold a shorter list.
struct Field {
    std::string name;
    bool present;
    std::string value;
    bool list;
    bool isText;
};
using Fields = std::vector<Field>;

Field text(const char *name, const char *t, bool list = false) { return {name, t != nullptr, t ? t : "", list, true}; }
Field num(const char *name, long v) { return {name, true, std::to_string(v), false, false}; }

Fields fields(const tMMS_NotifyInd &r) {
    return {num("Message_Class", r.Message_Class), num("Priority", r.Priority),
            num("Expiry_Token", r.Expiry_Token),   num("Message_Size", r.Message_Size),
            num("Expiry", r.Expiry),               text("Transaction_Id", r.Transaction_Id),
            text("From", r.From),                  text("Subject", r.Subject),
            text("Content_Location", r.Content_Location)};
}
Fields fields(const tMMS_RetrieveConf &r) {
    return {num("Delivery_Report", r.Delivery_Report), num("Read_Reply", r.Read_Reply),
            num("Message_Class", r.Message_Class),     num("Priority", r.Priority),
            num("Retrieve_Status", r.Retrieve_Status), num("Date", r.Date),
            text("Transaction_Id", r.Transaction_Id),  text("Message_Id", r.Message_Id),
            text("From", r.From),                      text("To", r.To, true),
            text("Cc", r.Cc, true),                    text("Subject", r.Subject)};
}
Fields fields(const tMMS_SendReq &r) {
    return {num("Delivery_Report", r.Delivery_Report), num("Read_Reply", r.Read_Reply),
            num("Sender_Visibility", r.Sender_Visibility), text("Transaction_Id", r.Transaction_Id),
            text("From", r.From),                      text("To", r.To, true),
            text("Cc", r.Cc, true),                    text("Bcc", r.Bcc, true),
            text("Subject", r.Subject),                num("Message_Class", r.Message_Class),
            num("Priority", r.Priority),               num("Date", r.Date),
            num("Expiry_Relative", r.Expiry_Relative), num("Expiry", r.Expiry),
            num("Delivery_Time", r.Delivery_Time)};
}
Fields fields(const tMMS_SendConf &r) {
    return {num("Message_Type", r.Message_Type), num("MMS_Version", r.MMS_Version),
            num("Response_Status", r.Response_Status), text("Transaction_Id", r.Transaction_Id),
            text("Response_Text", r.Response_Text), text("Message_Id", r.Message_Id)};
}
Fields fields(const tMMS_FwdConf &r) {
    return {num("Response_Status", r.Response_Status), text("Transaction_Id", r.Transaction_Id),
            text("Response_Text", r.Response_Text), text("Message_Id", r.Message_Id)};
}

// Body copies must be exactly the tail of what was given, from a 0x84 on.
void check_body(const unsigned char *body, int size, const uint8_t *in, int len, const std::string &what) {
    if (!body) {
        EXPECT_EQ(size, 0) << what;
        return;
    }
    ASSERT_GT(size, 0) << what;
    ASSERT_LE(size, len) << what;
    EXPECT_EQ(body[0], 0x84) << what;
    EXPECT_EQ(std::memcmp(body, in + len - size, static_cast<size_t>(size)), 0) << what;
}

// Every text of a record ends inside its block (strlen would run off it
// under AddressSanitizer otherwise) and is no longer than the input converted
// to UTF-8 (at most three bytes per byte).
void check_texts(const Fields &f, int len, const std::string &what) {
    for (const auto &x : f) {
        if (x.present && x.isText && !x.list) {
            EXPECT_LE(x.value.size(), 3 * static_cast<size_t>(len)) << what << " " << x.name;
        }
    }
}

// A record of a cut PDU: each field as in the whole PDU, or as a fresh record
// has it (unset); a list may be a leading part of the whole list.
void check_prefix(const Fields &part, const Fields &whole, const Fields &fresh, const std::string &what) {
    ASSERT_EQ(part.size(), whole.size());
    for (size_t i = 0; i < part.size(); ++i) {
        const Field &p = part[i], &w = whole[i], &z = fresh[i];
        const bool same = p.present == w.present && p.value == w.value;
        const bool unset = p.present == z.present && p.value == z.value;
        const bool leadingList = p.list && p.present && w.present && w.value.compare(0, p.value.size(), p.value) == 0 &&
                                 (w.value.size() == p.value.size() || w.value[p.value.size()] == ';');
        EXPECT_TRUE(same || unset || leadingList)
            << what << " " << p.name << ": '" << p.value << "' whole '" << w.value << "'";
    }
}

template <typename T>
Fields fresh_fields(int type) {
    auto *r = static_cast<T *>(fnMMS_AllocMessageMem(type));
    Fields f = fields(*r);
    fnMMS_FreeMessageMem(r, type);
    return f;
}

// What every decoder made of one input.
struct Decoded {
    bool notify = false, retrieve = false, sendReq = false, sendConf = false, fwdConf = false;
    Fields n, r, q, c, f;
    int sendResult = 0, fwdResult = 0;
};

Decoded decode_all(const Bytes &in, const std::string &what) {
    HeapCopy h(in);
    const uint8_t *p = h.data();
    const int len = h.size();
    Decoded d;
    rrtest::LeakCheck leaks;
    if (tMMS_NotifyInd *x = fnMMS_ParseNotificationInd(p, len)) {
        d.notify = true;
        d.n = fields(*x);
        fnMMS_FreeMessageMem(x, MMS_STRUCT_MMS_NOTIFICATION_IND);
    }
    if (tMMS_RetrieveConf *x = fnMMS_ParseRetrieveConf(p, len)) {
        d.retrieve = true;
        d.r = fields(*x);
        check_body(x->body, x->Content_Size, p, len, what + " retrieve");
        fnMMS_FreeMessageMem(x, MMS_STRUCT_RETRIEVE_CONF);
    }
    if (tMMS_SendReq *x = fnMMS_ParseSendContent(p, len)) {
        d.sendReq = true;
        d.q = fields(*x);
        check_body(x->ContentTypeAndBody, x->Body_Len, p, len, what + " send-req");
        fnMMS_FreeMessageMem(x, MMS_STRUCT_SEND_REQ);
    }
    if (tMMS_SendConf *x = fnMMS_ParseSendConf(p, len)) {
        d.sendConf = true;
        d.c = fields(*x);
        fnMMS_FreeMessageMem(x, MMS_STRUCT_SEND_CONF);
    }
    if (tMMS_FwdConf *x = fnMMS_ParseFwdConf(p, len)) {
        d.fwdConf = true;
        d.f = fields(*x);
        fnMMS_FreeMessageMem(x, MMS_STRUCT_FWD_CONF);
    }
    d.sendResult = fnMMS_RecvSendConfData(p, len);
    d.fwdResult = fnMMS_RecvFwdConfData(p, len);
    EXPECT_LE(d.sendResult, 10) << what;
    EXPECT_LE(d.fwdResult, 10) << what;
    for (const Fields *f : {&d.n, &d.r, &d.q, &d.c, &d.f}) check_texts(*f, len, what);
    return d;
}

// Where the header fields end: the 0x84 of the body in a message, else the end.
size_t header_end(const Bytes &pdu) {
    HeapCopy h(pdu);
    size_t end = pdu.size();
    if (tMMS_RetrieveConf *r = fnMMS_ParseRetrieveConf(h.data(), h.size())) {
        if (r->body) end = pdu.size() - static_cast<size_t>(r->Content_Size);
        fnMMS_FreeMessageMem(r, MMS_STRUCT_RETRIEVE_CONF);
    }
    if (tMMS_SendReq *q = fnMMS_ParseSendContent(h.data(), h.size())) {
        if (q->ContentTypeAndBody) end = std::min(end, pdu.size() - static_cast<size_t>(q->Body_Len));
        fnMMS_FreeMessageMem(q, MMS_STRUCT_SEND_REQ);
    }
    return end;
}

class Robust : public ::testing::Test {
protected:
    void SetUp() override {
        if (!rrtest::interop_available()) GTEST_SKIP() << "interop corpus absent";
        qx::set_log_enabled(false);
    }
    void TearDown() override { qx::set_log_enabled(true); }
};

TEST_F(Robust, CutShortAtEveryHeaderLength) {
    const Fields freshN = fresh_fields<tMMS_NotifyInd>(MMS_STRUCT_MMS_NOTIFICATION_IND);
    const Fields freshR = fresh_fields<tMMS_RetrieveConf>(MMS_STRUCT_RETRIEVE_CONF);
    const Fields freshQ = fresh_fields<tMMS_SendReq>(MMS_STRUCT_SEND_REQ);
    const Fields freshC = fresh_fields<tMMS_SendConf>(MMS_STRUCT_SEND_CONF);
    const Fields freshF = fresh_fields<tMMS_FwdConf>(MMS_STRUCT_FWD_CONF);
    for (const char *file : kCorpus) {
        const Bytes pdu = rrtest::read_file(rrtest::interop_path(file));
        ASSERT_FALSE(pdu.empty()) << file;
        const Decoded whole = decode_all(pdu, file);
        const size_t headers = header_end(pdu);
        // Every length through the headers and a little into the body, then
        // about 64 lengths spread over the body.
        std::vector<size_t> lengths;
        for (size_t n = 0; n <= std::min(pdu.size(), headers + 64); ++n) lengths.push_back(n);
        const size_t stride = std::max<size_t>(1, (pdu.size() - std::min(pdu.size(), headers)) / 64);
        for (size_t n = headers + 64 + stride; n < pdu.size(); n += stride) lengths.push_back(n);
        for (size_t n : lengths) {
            const std::string what = std::string(file) + " cut at " + std::to_string(n);
            const Decoded d = decode_all(Bytes(pdu.begin(), pdu.begin() + static_cast<long>(n)), what);
            if (d.notify && whole.notify) check_prefix(d.n, whole.n, freshN, what);
            if (d.retrieve && whole.retrieve) check_prefix(d.r, whole.r, freshR, what);
            if (d.sendReq && whole.sendReq) check_prefix(d.q, whole.q, freshQ, what);
            if (d.sendConf && whole.sendConf) check_prefix(d.c, whole.c, freshC, what);
            if (d.fwdConf && whole.fwdConf) check_prefix(d.f, whole.f, freshF, what);
            // Once the Message-Type is in, a PDU of another kind stays refused.
            if (n >= 2) {
                EXPECT_TRUE(whole.notify || !d.notify) << what;
                EXPECT_TRUE(whole.retrieve || !d.retrieve) << what;
                EXPECT_TRUE(whole.fwdConf || !d.fwdConf) << what;
            }
        }
    }
}

TEST_F(Robust, FlippedBits) {
    for (const char *file : kCorpus) {
        const Bytes pdu = rrtest::read_file(rrtest::interop_path(file));
        // The headers and the start of the body; the rest of a body is only copied.
        const size_t n = std::min(pdu.size(), header_end(pdu) + 32);
        const Bytes head(pdu.begin(), pdu.begin() + static_cast<long>(n));
        for (size_t i = 0; i < n; ++i) {
            for (int bit = 0; bit < 8; ++bit) {
                Bytes v = head;
                v[i] ^= static_cast<uint8_t>(1u << bit);
                decode_all(v, std::string(file) + " flip " + std::to_string(i) + "." + std::to_string(bit));
            }
        }
    }
}

TEST_F(Robust, LyingLengths) {
    // Bytes that make a length claim: the largest short length, a uintvar
    // introducer, a quote, and no-zero variants; plus a huge uintvar and a
    // huge Long-integer (Message-Size, Date) inserted anywhere.
    const uint8_t claims[] = {0x00, 0x1E, 0x1F, 0x7F, 0x80, 0xFF};
    const Bytes hugeUintvar = rrtest::bytes({0x1F, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F});
    const Bytes hugeLong = rrtest::bytes({0x1E}) + Bytes(30, 0xFF);
    for (const char *file : kCorpus) {
        const Bytes pdu = rrtest::read_file(rrtest::interop_path(file));
        const size_t n = std::min(pdu.size(), header_end(pdu) + 32);
        const Bytes head(pdu.begin(), pdu.begin() + static_cast<long>(n));
        for (size_t i = 0; i < n; ++i) {
            const std::string at = std::string(file) + " at " + std::to_string(i);
            for (uint8_t b : claims) {
                Bytes v = head;
                v[i] = b;
                decode_all(v, at);
            }
            for (const Bytes *ins : {&hugeUintvar, &hugeLong}) {
                Bytes v(head.begin(), head.begin() + static_cast<long>(i));
                v = v + *ins + Bytes(head.begin() + static_cast<long>(i), head.end());
                decode_all(v, at + " insert");
            }
        }
    }
}

TEST_F(Robust, HugeMessageSizeAndValueLengths) {
    // Notification 1: 8C 82, Transaction-Id, 8D 90, From, 8A 80, Message-Size
    // 8E 02 61 C7, Expiry 88 05 81 03 03 F4 7F, then the Content-Location.
    const Bytes pdu = rrtest::read_file(rrtest::interop_path("m-notification_1.ind"));
    const auto replaced = [&](const Bytes &from, const Bytes &to) {
        auto it = std::search(pdu.begin(), pdu.end(), from.begin(), from.end());
        EXPECT_NE(it, pdu.end());
        return Bytes(pdu.begin(), it) + to + Bytes(it + static_cast<long>(from.size()), pdu.end());
    };
    const Bytes hugeUintvar = rrtest::bytes({0x1F, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F});
    struct Case {
        const char *what;
        Bytes pdu;
        int size, expiry;
        bool location;
    };
    const Case cases[] = {
        // A Long-integer of four 0xFF bytes keeps its 32 bits.
        {"size 2^32-1", replaced(rrtest::bytes({0x8E, 0x02, 0x61, 0xC7}), rrtest::bytes({0x8E, 0x04, 0xFF, 0xFF, 0xFF, 0xFF})),
         -1, 259199, true},
        // A size whose length is a uintvar of 2^32-1 runs past the end: decoding ends there.
        {"size length 2^32-1", replaced(rrtest::bytes({0x8E, 0x02, 0x61, 0xC7}), rrtest::bytes({0x8E}) + hugeUintvar),
         0, 0, false},
        {"expiry length 2^32-1", replaced(rrtest::bytes({0x88, 0x05}), rrtest::bytes({0x88}) + hugeUintvar), 25031, 0,
         false},
    };
    for (const auto &tc : cases) {
        HeapCopy h(tc.pdu);
        rrtest::LeakCheck leaks;
        tMMS_NotifyInd *n = fnMMS_ParseNotificationInd(h.data(), h.size());
        ASSERT_NE(n, nullptr) << tc.what;
        EXPECT_STREQ(n->Transaction_Id, "m10l9m7u03mct2jbc12@mms.beeline.ru") << tc.what;
        EXPECT_STREQ(n->From, "+79050000000") << tc.what;
        EXPECT_EQ(n->Message_Size, tc.size) << tc.what;
        EXPECT_EQ(n->Expiry, tc.expiry) << tc.what;
        EXPECT_EQ(n->Content_Location != nullptr, tc.location) << tc.what;
        fnMMS_FreeMessageMem(n, MMS_STRUCT_MMS_NOTIFICATION_IND);
    }
    // An Expiry that claims 30 bytes swallows the start of the Content-Location;
    // the text after it reads as an application header: no Content-Location.
    HeapCopy h(replaced(rrtest::bytes({0x88, 0x05}), rrtest::bytes({0x88, 0x1E})));
    rrtest::LeakCheck leaks;
    tMMS_NotifyInd *n = fnMMS_ParseNotificationInd(h.data(), h.size());
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->Content_Location, nullptr);
    EXPECT_STREQ(n->From, "+79050000000");
    fnMMS_FreeMessageMem(n, MMS_STRUCT_MMS_NOTIFICATION_IND);
}

// ---------------------------------------------------------------- allocation failures

TEST_F(Robust, AllocationFailuresOnRealPdus) {
    struct Run {
        const char *file;
        std::function<bool(const uint8_t *, int)> decode;  // true when a record came back
        long minAllocs;
    };
    const Run runs[] = {
        {"m-notification_1.ind",
         [](const uint8_t *p, int n) {
             tMMS_NotifyInd *r = fnMMS_ParseNotificationInd(p, n);
             fnMMS_FreeMessageMem(r, MMS_STRUCT_MMS_NOTIFICATION_IND);
             return r != nullptr;
         },
         4},
        {"m-retrieve_1.conf",
         [](const uint8_t *p, int n) {
             tMMS_RetrieveConf *r = fnMMS_ParseRetrieveConf(p, n);
             fnMMS_FreeMessageMem(r, MMS_STRUCT_RETRIEVE_CONF);
             return r != nullptr;
         },
         9},
        {"m-send_3.req",
         [](const uint8_t *p, int n) {
             tMMS_SendReq *r = fnMMS_ParseSendContent(p, n);
             fnMMS_FreeMessageMem(r, MMS_STRUCT_SEND_REQ);
             return r != nullptr;
         },
         4},
        {"m-send_3.conf",
         [](const uint8_t *p, int n) {
             tMMS_SendConf *r = fnMMS_ParseSendConf(p, n);
             fnMMS_FreeMessageMem(r, MMS_STRUCT_SEND_CONF);
             return r != nullptr;
         },
         4},
    };
    for (const auto &run : runs) {
        HeapCopy h(rrtest::read_file(rrtest::interop_path(run.file)));
        bool failedOnce = false;
        const long allocs = rrtest::for_each_alloc_failure([&](long) {
            const bool decoded = run.decode(h.data(), h.size());
            // Complete or failed: no record comes back without a field it holds.
            EXPECT_EQ(decoded, !qx::alloc_fail_fired()) << run.file;
            if (!decoded) failedOnce = true;
        });
        EXPECT_GE(allocs, run.minAllocs) << run.file;
        EXPECT_TRUE(failedOnce) << run.file;  // at least the record itself
        EXPECT_TRUE(run.decode(h.data(), h.size())) << run.file;
    }
    // A forward confirmation as a relay would write it: m-send_3.conf with the
    // forward-confirmation type.
    Bytes fwd = rrtest::read_file(rrtest::interop_path("m-send_3.conf"));
    ASSERT_EQ(fwd[1], 0x81);
    fwd[1] = 0x8A;
    HeapCopy hf(fwd);
    const long allocs = rrtest::for_each_alloc_failure([&](long) {
        tMMS_FwdConf *r = fnMMS_ParseFwdConf(hf.data(), hf.size());
        EXPECT_EQ(r == nullptr, qx::alloc_fail_fired());
        if (r) {
            EXPECT_EQ(r->Response_Status, 0x80);
        }
        fnMMS_FreeMessageMem(r, MMS_STRUCT_FWD_CONF);
    });
    EXPECT_GE(allocs, 4);
}

}  // namespace
