// MMS message records: allocation with initial values, type codes, the
// diagnostic log, release of every owned text, allocation failure, and the
// C layout of the records as a host compiler sees them.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>

#include "qx_alloc_test.h"
#include "qx_internal.h"
#include "rorodire.h"
#include "test_support.h"

namespace {

// ---------------------------------------------------------------- layout
// Each record must have the natural C layout of its fields in declaration
// order: a host compiled against the header in C reads the same offsets.
struct Field {
    size_t size, align;
};
constexpr Field I32{sizeof(int32_t), alignof(int32_t)};
constexpr Field U8{1, 1};
constexpr Field PTR{sizeof(void *), alignof(void *)};

template <size_t N>
struct Layout {
    size_t off[N];
    size_t size;
};

template <size_t N>
constexpr Layout<N> natural(const Field (&f)[N]) {
    Layout<N> l{};
    size_t at = 0, maxAlign = 1;
    for (size_t i = 0; i < N; ++i) {
        at = (at + f[i].align - 1) / f[i].align * f[i].align;
        l.off[i] = at;
        at += f[i].size;
        if (f[i].align > maxAlign) maxAlign = f[i].align;
    }
    l.size = (at + maxAlign - 1) / maxAlign * maxAlign;
    return l;
}

#define RR_AT(T, L, i, field) static_assert(offsetof(T, field) == (L).off[i], #T "." #field " out of place")

constexpr Field kSendReqF[] = {I32, I32, I32, PTR, PTR, PTR, PTR, PTR, PTR, PTR, U8, U8, I32, U8, I32, U8, I32, I32};
constexpr auto kSendReq = natural(kSendReqF);
RR_AT(tMMS_SendReq, kSendReq, 0, Delivery_Report);
RR_AT(tMMS_SendReq, kSendReq, 1, Read_Reply);
RR_AT(tMMS_SendReq, kSendReq, 2, Sender_Visibility);
RR_AT(tMMS_SendReq, kSendReq, 3, Transaction_Id);
RR_AT(tMMS_SendReq, kSendReq, 4, From);
RR_AT(tMMS_SendReq, kSendReq, 5, To);
RR_AT(tMMS_SendReq, kSendReq, 6, Cc);
RR_AT(tMMS_SendReq, kSendReq, 7, Bcc);
RR_AT(tMMS_SendReq, kSendReq, 8, Subject);
RR_AT(tMMS_SendReq, kSendReq, 9, ContentTypeAndBody);
RR_AT(tMMS_SendReq, kSendReq, 10, Message_Class);
RR_AT(tMMS_SendReq, kSendReq, 11, Priority);
RR_AT(tMMS_SendReq, kSendReq, 12, Date);
RR_AT(tMMS_SendReq, kSendReq, 13, Expiry_Relative);
RR_AT(tMMS_SendReq, kSendReq, 14, Expiry);
RR_AT(tMMS_SendReq, kSendReq, 15, Delivery_Time_Relative);
RR_AT(tMMS_SendReq, kSendReq, 16, Delivery_Time);
RR_AT(tMMS_SendReq, kSendReq, 17, Body_Len);
static_assert(sizeof(tMMS_SendReq) == kSendReq.size);

constexpr Field kSendConfF[] = {U8, U8, U8, PTR, PTR, PTR};
constexpr auto kSendConf = natural(kSendConfF);
RR_AT(tMMS_SendConf, kSendConf, 0, Message_Type);
RR_AT(tMMS_SendConf, kSendConf, 1, MMS_Version);
RR_AT(tMMS_SendConf, kSendConf, 2, Response_Status);
RR_AT(tMMS_SendConf, kSendConf, 3, Transaction_Id);
RR_AT(tMMS_SendConf, kSendConf, 4, Response_Text);
RR_AT(tMMS_SendConf, kSendConf, 5, Message_Id);
static_assert(sizeof(tMMS_SendConf) == kSendConf.size);

constexpr Field kNotifyIndF[] = {U8, U8, U8, I32, I32, PTR, PTR, PTR, PTR};
constexpr auto kNotifyInd = natural(kNotifyIndF);
RR_AT(tMMS_NotifyInd, kNotifyInd, 0, Message_Class);
RR_AT(tMMS_NotifyInd, kNotifyInd, 1, Priority);
RR_AT(tMMS_NotifyInd, kNotifyInd, 2, Expiry_Token);
RR_AT(tMMS_NotifyInd, kNotifyInd, 3, Message_Size);
RR_AT(tMMS_NotifyInd, kNotifyInd, 4, Expiry);
RR_AT(tMMS_NotifyInd, kNotifyInd, 5, Transaction_Id);
RR_AT(tMMS_NotifyInd, kNotifyInd, 6, From);
RR_AT(tMMS_NotifyInd, kNotifyInd, 7, Subject);
RR_AT(tMMS_NotifyInd, kNotifyInd, 8, Content_Location);
static_assert(sizeof(tMMS_NotifyInd) == kNotifyInd.size);

constexpr Field kRetrieveConfF[] = {I32, I32, U8, U8, U8, I32, I32, PTR, PTR, PTR, PTR, PTR, PTR, PTR};
constexpr auto kRetrieveConf = natural(kRetrieveConfF);
RR_AT(tMMS_RetrieveConf, kRetrieveConf, 0, Delivery_Report);
RR_AT(tMMS_RetrieveConf, kRetrieveConf, 1, Read_Reply);
RR_AT(tMMS_RetrieveConf, kRetrieveConf, 2, Message_Class);
RR_AT(tMMS_RetrieveConf, kRetrieveConf, 3, Priority);
RR_AT(tMMS_RetrieveConf, kRetrieveConf, 4, Retrieve_Status);
RR_AT(tMMS_RetrieveConf, kRetrieveConf, 5, Date);
RR_AT(tMMS_RetrieveConf, kRetrieveConf, 6, Content_Size);
RR_AT(tMMS_RetrieveConf, kRetrieveConf, 7, body);
RR_AT(tMMS_RetrieveConf, kRetrieveConf, 8, Transaction_Id);
RR_AT(tMMS_RetrieveConf, kRetrieveConf, 9, Message_Id);
RR_AT(tMMS_RetrieveConf, kRetrieveConf, 10, From);
RR_AT(tMMS_RetrieveConf, kRetrieveConf, 11, To);
RR_AT(tMMS_RetrieveConf, kRetrieveConf, 12, Cc);
RR_AT(tMMS_RetrieveConf, kRetrieveConf, 13, Subject);
static_assert(sizeof(tMMS_RetrieveConf) == kRetrieveConf.size);

constexpr Field kDeliveryIndF[] = {U8, PTR, PTR, I32};
constexpr auto kDeliveryInd = natural(kDeliveryIndF);
RR_AT(tMMS_DeliveryInd, kDeliveryInd, 0, Status);
RR_AT(tMMS_DeliveryInd, kDeliveryInd, 1, Message_Id);
RR_AT(tMMS_DeliveryInd, kDeliveryInd, 2, To);
RR_AT(tMMS_DeliveryInd, kDeliveryInd, 3, Date);
static_assert(sizeof(tMMS_DeliveryInd) == kDeliveryInd.size);

constexpr Field kNotifyRespIndF[] = {U8, U8, U8, U8, PTR};
constexpr auto kNotifyRespInd = natural(kNotifyRespIndF);
RR_AT(tMMS_NotifyRespInd, kNotifyRespInd, 0, Message_Type);
RR_AT(tMMS_NotifyRespInd, kNotifyRespInd, 1, MMS_Version);
RR_AT(tMMS_NotifyRespInd, kNotifyRespInd, 2, Status);
RR_AT(tMMS_NotifyRespInd, kNotifyRespInd, 3, Report_Allowed);
RR_AT(tMMS_NotifyRespInd, kNotifyRespInd, 4, Transaction_Id);
static_assert(sizeof(tMMS_NotifyRespInd) == kNotifyRespInd.size);

constexpr Field kAcknowledgeIndF[] = {U8, U8, U8, PTR};
constexpr auto kAcknowledgeInd = natural(kAcknowledgeIndF);
RR_AT(tMMS_AcknowledgeInd, kAcknowledgeInd, 0, Message_Type);
RR_AT(tMMS_AcknowledgeInd, kAcknowledgeInd, 1, MMS_Version);
RR_AT(tMMS_AcknowledgeInd, kAcknowledgeInd, 2, Report_Allowed);
RR_AT(tMMS_AcknowledgeInd, kAcknowledgeInd, 3, Transaction_Id);
static_assert(sizeof(tMMS_AcknowledgeInd) == kAcknowledgeInd.size);

constexpr Field kReadRecIndF[] = {PTR, PTR, PTR, U8, I32};
constexpr auto kReadRecInd = natural(kReadRecIndF);
RR_AT(tMMS_ReadRecInd, kReadRecInd, 0, Message_Id);
RR_AT(tMMS_ReadRecInd, kReadRecInd, 1, To);
RR_AT(tMMS_ReadRecInd, kReadRecInd, 2, From);
RR_AT(tMMS_ReadRecInd, kReadRecInd, 3, Read_Status);
RR_AT(tMMS_ReadRecInd, kReadRecInd, 4, Date);
static_assert(sizeof(tMMS_ReadRecInd) == kReadRecInd.size);

constexpr Field kReadOrigIndF[] = {PTR, PTR, PTR, I32, U8};
constexpr auto kReadOrigInd = natural(kReadOrigIndF);
RR_AT(tMMS_ReadOrigInd, kReadOrigInd, 0, Message_Id);
RR_AT(tMMS_ReadOrigInd, kReadOrigInd, 1, To);
RR_AT(tMMS_ReadOrigInd, kReadOrigInd, 2, From);
RR_AT(tMMS_ReadOrigInd, kReadOrigInd, 3, Date);
RR_AT(tMMS_ReadOrigInd, kReadOrigInd, 4, Read_Status);
static_assert(sizeof(tMMS_ReadOrigInd) == kReadOrigInd.size);

constexpr Field kFwdReqF[] = {I32, I32, PTR, PTR, PTR, PTR, PTR, I32, U8, I32, U8, I32};
constexpr auto kFwdReq = natural(kFwdReqF);
RR_AT(tMMS_FwdReq, kFwdReq, 0, Delivery_Report);
RR_AT(tMMS_FwdReq, kFwdReq, 1, Read_Reply);
RR_AT(tMMS_FwdReq, kFwdReq, 2, Transaction_Id);
RR_AT(tMMS_FwdReq, kFwdReq, 3, To);
RR_AT(tMMS_FwdReq, kFwdReq, 4, Cc);
RR_AT(tMMS_FwdReq, kFwdReq, 5, Bcc);
RR_AT(tMMS_FwdReq, kFwdReq, 6, Content_Location);
RR_AT(tMMS_FwdReq, kFwdReq, 7, Date);
RR_AT(tMMS_FwdReq, kFwdReq, 8, Expiry_Relative);
RR_AT(tMMS_FwdReq, kFwdReq, 9, Expiry);
RR_AT(tMMS_FwdReq, kFwdReq, 10, Delivery_Time_Relative);
RR_AT(tMMS_FwdReq, kFwdReq, 11, Delivery_Time);
static_assert(sizeof(tMMS_FwdReq) == kFwdReq.size);

constexpr Field kFwdConfF[] = {U8, PTR, PTR, PTR};
constexpr auto kFwdConf = natural(kFwdConfF);
RR_AT(tMMS_FwdConf, kFwdConf, 0, Response_Status);
RR_AT(tMMS_FwdConf, kFwdConf, 1, Transaction_Id);
RR_AT(tMMS_FwdConf, kFwdConf, 2, Response_Text);
RR_AT(tMMS_FwdConf, kFwdConf, 3, Message_Id);
static_assert(sizeof(tMMS_FwdConf) == kFwdConf.size);

// The LP64 numbers a 64-bit host relies on, for the widest record.
static_assert(sizeof(void *) != 8 || (offsetof(tMMS_SendReq, Transaction_Id) == 16 &&
                                      offsetof(tMMS_SendReq, Message_Class) == 72 &&
                                      offsetof(tMMS_SendReq, Date) == 76 && offsetof(tMMS_SendReq, Body_Len) == 96 &&
                                      sizeof(tMMS_SendReq) == 104));

// Dates are unsigned 32-bit seconds in the place and size the signed field
// had, so hosts built against the earlier header keep their layout.
#define RR_DATE(T) \
    static_assert(std::is_same_v<decltype(T::Date), uint32_t> && sizeof(T::Date) == sizeof(int), #T ".Date")
RR_DATE(tMMS_SendReq);
RR_DATE(tMMS_RetrieveConf);
RR_DATE(tMMS_DeliveryInd);
RR_DATE(tMMS_ReadRecInd);
RR_DATE(tMMS_ReadOrigInd);
RR_DATE(tMMS_FwdReq);
#undef RR_DATE

#undef RR_AT

// ---------------------------------------------------------------- helpers

const std::string kLogPath = "\n..\\..\\qxmms\\Protocol\\src\\MMSProl_Encapsulaton_Records.cpp:";

// The whole captured log must be exactly these messages, each with the
// "\n..\..\path:line- " prefix of the records' source file.
void expect_log(const std::string &log, std::initializer_list<const char *> messages) {
    size_t at = 0;
    for (const char *m : messages) {
        ASSERT_EQ(log.compare(at, kLogPath.size(), kLogPath), 0) << "prefix of " << m << " in [" << log << "]";
        at += kLogPath.size();
        const size_t digits = at;
        while (at < log.size() && log[at] >= '0' && log[at] <= '9') ++at;
        ASSERT_GT(at, digits) << "line number of " << m << " in [" << log << "]";
        const std::string text = std::string("- ") + m;
        ASSERT_EQ(log.compare(at, text.size(), text), 0) << "message " << m << " in [" << log << "]";
        at += text.size();
    }
    EXPECT_EQ(at, log.size()) << "unexpected log after the messages: [" << log.substr(at) << "]";
}

// Every record's bytes compared whole, so a stray nonzero field shows.
template <typename T>
void expect_record_bytes(const void *rec, const T &want) {
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rrtest::hex(static_cast<const uint8_t *>(rec), sizeof(T)),
              rrtest::hex(reinterpret_cast<const uint8_t *>(&want), sizeof(T)));
}

// Allocates a record of a code, checks it byte for byte against a zeroed
// record with the initial values set by `init`, and releases it.
template <typename T>
void check_fresh(int code, void (*init)(T &) = nullptr) {
    SCOPED_TRACE(code);
    rrtest::LeakCheck leaks;
    T want;
    std::memset(&want, 0, sizeof want);  // padding included
    if (init) init(want);
    const long before = qx::alloc_stats().liveBlocks;
    void *rec = fnMMS_AllocMessageMem(code);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(qx::alloc_stats().liveBlocks, before + 1) << "one block per record";
    expect_record_bytes(rec, want);
    fnMMS_FreeMessageMem(rec, code);
}

void init_send_req(tMMS_SendReq &r) {
    r.Sender_Visibility = 1;
    r.Priority = 1;
    r.Expiry_Relative = 1;
    r.Delivery_Time_Relative = 1;
}

void init_ack(tMMS_AcknowledgeInd &r) {
    r.Message_Type = 0x85;
    r.MMS_Version = 0x92;
}

// ---------------------------------------------------------------- allocation

TEST(MessageRecords, FreshRecordsHoldTheirInitialValues) {
    check_fresh<tMMS_SendReq>(MMS_STRUCT_SEND_REQ, init_send_req);
    check_fresh<tMMS_SendConf>(MMS_STRUCT_SEND_CONF, [](tMMS_SendConf &r) {
        r.Message_Type = 0x81;
        r.MMS_Version = 0x92;
    });
    check_fresh<tMMS_NotifyInd>(MMS_STRUCT_MMS_NOTIFICATION_IND);
    check_fresh<tMMS_RetrieveConf>(MMS_STRUCT_RETRIEVE_CONF);
    check_fresh<tMMS_DeliveryInd>(MMS_STRUCT_DELIVERY_IND);
    check_fresh<tMMS_NotifyRespInd>(MMS_STRUCT_NOTIFYRESP_IND, [](tMMS_NotifyRespInd &r) {
        r.Message_Type = 0x83;
        r.MMS_Version = 0x92;
    });
    check_fresh<tMMS_AcknowledgeInd>(MMS_STRUCT_ACKNOWLEDGE_IND, init_ack);
    check_fresh<tMMS_ReadRecInd>(MMS_STRUCT_READ_REC_IND);
    check_fresh<tMMS_ReadOrigInd>(MMS_STRUCT_READ_ORIG_IND);
    check_fresh<tMMS_FwdReq>(MMS_STRUCT_FWD_REQ, [](tMMS_FwdReq &r) {
        r.Expiry_Relative = 1;
        r.Delivery_Time_Relative = 1;
    });
    check_fresh<tMMS_FwdConf>(MMS_STRUCT_FWD_CONF);
}

TEST(MessageRecords, OnlyTheLowEightBitsOfTheCodeCount) {
    check_fresh<tMMS_SendReq>(0x101, init_send_req);
    check_fresh<tMMS_SendReq>(-255, init_send_req);  // 0xFFFFFF01
    check_fresh<tMMS_AcknowledgeInd>(0x7F07, init_ack);

    rrtest::LeakCheck leaks;
    for (int code : {0, 12, 0x100, 0x10C, 0xFF, -1, 200}) {
        rrtest::LogCapture log;
        EXPECT_EQ(fnMMS_AllocMessageMem(code), nullptr) << "code " << code;
        expect_log(log.text(), {"mzk:enter fnMMS_AllocMessageMem", "mzk:enter default"});
    }
}

TEST(MessageRecords, AllocationLog) {
    for (int code = 1; code <= 11; ++code) {
        void *rec;
        {
            rrtest::LogCapture log;
            rec = fnMMS_AllocMessageMem(code);
            if (code == MMS_STRUCT_MMS_NOTIFICATION_IND) {
                expect_log(log.text(), {"mzk:enter fnMMS_AllocMessageMem", "mzk:MMS_STRUCT_MMS_NOTIFICATION_IND\n"});
            } else {
                expect_log(log.text(), {"mzk:enter fnMMS_AllocMessageMem"});
            }
        }
        rrtest::LogCapture quiet;
        fnMMS_FreeMessageMem(rec, code);
        EXPECT_EQ(quiet.text(), "") << "release logs nothing";
    }
}

TEST(MessageRecords, AllocationFailureGivesNullAndItsLog) {
    rrtest::LeakCheck leaks;
    for (int code = 1; code <= 11; ++code) {
        rrtest::LogCapture log;
        qx::alloc_fail_nth(1);
        EXPECT_EQ(fnMMS_AllocMessageMem(code), nullptr) << "code " << code;
        EXPECT_TRUE(qx::alloc_fail_fired());
        qx::alloc_fail_off();
        if (code == MMS_STRUCT_MMS_NOTIFICATION_IND) {
            expect_log(log.text(), {"mzk:enter fnMMS_AllocMessageMem", "mzk:MMS_STRUCT_MMS_NOTIFICATION_IND\n",
                                    "mzk:fail to allocate memory"});
        } else {
            expect_log(log.text(), {"mzk:enter fnMMS_AllocMessageMem", "mzk:fail to allocate memory"});
        }
    }
}

// ---------------------------------------------------------------- release

// Fills every owned text (and byte buffer) of a fresh record, releases it
// and checks that nothing is left; an owned field the release routine forgot
// shows as a leaked block.
template <typename T>
void fill_and_release(int code, std::initializer_list<char *T::*> texts,
                      std::initializer_list<unsigned char *T::*> buffers = {}) {
    SCOPED_TRACE(code);
    rrtest::LeakCheck leaks;
    const long before = qx::alloc_stats().liveBlocks;
    auto *rec = static_cast<T *>(fnMMS_AllocMessageMem(code));
    ASSERT_NE(rec, nullptr);
    int n = 0;
    for (auto f : texts) {
        rec->*f = fnQX_MEMSTRCOPY(("text " + std::to_string(n++)).c_str());
        ASSERT_NE(rec->*f, nullptr);
    }
    for (auto f : buffers) {
        rec->*f = static_cast<unsigned char *>(fnQX_Malloc(64));
        ASSERT_NE(rec->*f, nullptr);
        (rec->*f)[0] = 0x84;
    }
    EXPECT_EQ(qx::alloc_stats().liveBlocks, before + 1 + static_cast<long>(texts.size() + buffers.size()));
    fnMMS_FreeMessageMem(rec, code);
}

TEST(MessageRecords, ReleaseFreesEveryOwnedText) {
    using S = tMMS_SendReq;
    fill_and_release<S>(MMS_STRUCT_SEND_REQ, {&S::Transaction_Id, &S::From, &S::To, &S::Cc, &S::Bcc, &S::Subject},
                        {&S::ContentTypeAndBody});
    using SC = tMMS_SendConf;
    fill_and_release<SC>(MMS_STRUCT_SEND_CONF, {&SC::Transaction_Id, &SC::Response_Text, &SC::Message_Id});
    using N = tMMS_NotifyInd;
    fill_and_release<N>(MMS_STRUCT_MMS_NOTIFICATION_IND,
                        {&N::Transaction_Id, &N::From, &N::Subject, &N::Content_Location});
    using R = tMMS_RetrieveConf;
    fill_and_release<R>(MMS_STRUCT_RETRIEVE_CONF,
                        {&R::Transaction_Id, &R::Message_Id, &R::From, &R::To, &R::Cc, &R::Subject}, {&R::body});
    using D = tMMS_DeliveryInd;
    fill_and_release<D>(MMS_STRUCT_DELIVERY_IND, {&D::Message_Id, &D::To});
    using NR = tMMS_NotifyRespInd;
    fill_and_release<NR>(MMS_STRUCT_NOTIFYRESP_IND, {&NR::Transaction_Id});
    using A = tMMS_AcknowledgeInd;
    fill_and_release<A>(MMS_STRUCT_ACKNOWLEDGE_IND, {&A::Transaction_Id});
    using RR = tMMS_ReadRecInd;
    fill_and_release<RR>(MMS_STRUCT_READ_REC_IND, {&RR::Message_Id, &RR::To, &RR::From});
    using RO = tMMS_ReadOrigInd;
    fill_and_release<RO>(MMS_STRUCT_READ_ORIG_IND, {&RO::Message_Id, &RO::To, &RO::From});
    using F = tMMS_FwdReq;
    fill_and_release<F>(MMS_STRUCT_FWD_REQ, {&F::Transaction_Id, &F::To, &F::Cc, &F::Bcc, &F::Content_Location});
    using FC = tMMS_FwdConf;
    fill_and_release<FC>(MMS_STRUCT_FWD_CONF, {&FC::Transaction_Id, &FC::Response_Text, &FC::Message_Id});
}

TEST(MessageRecords, ReleaseWithPartlyFilledRecordsAndHighCodeBits) {
    rrtest::LeakCheck leaks;
    auto *conf = static_cast<tMMS_RetrieveConf *>(fnMMS_AllocMessageMem(MMS_STRUCT_RETRIEVE_CONF));
    ASSERT_NE(conf, nullptr);
    conf->body = static_cast<unsigned char *>(fnQX_Malloc(10));
    conf->Content_Size = 10;
    conf->Subject = fnQX_MEMSTRCOPY(nullptr);
    fnMMS_FreeMessageMem(conf, 0x304);  // low byte 4
}

TEST(MessageRecords, ReleaseIgnoresNullAndUnknownCodes) {
    rrtest::LeakCheck leaks;
    fnMMS_FreeMessageMem(nullptr, MMS_STRUCT_SEND_REQ);
    fnMMS_FreeMessageMem(nullptr, 12);
    auto *req = static_cast<tMMS_SendReq *>(fnMMS_AllocMessageMem(MMS_STRUCT_SEND_REQ));
    ASSERT_NE(req, nullptr);
    req->To = fnQX_MEMSTRCOPY("+15551234");
    const long live = qx::alloc_stats().liveBlocks;
    for (int code : {0, 12, 0x10C, 255}) {
        fnMMS_FreeMessageMem(req, code);
        EXPECT_EQ(qx::alloc_stats().liveBlocks, live) << "code " << code << " must not free";
        EXPECT_STREQ(req->To, "+15551234");
    }
    fnMMS_FreeMessageMem(req, MMS_STRUCT_SEND_REQ);
    EXPECT_EQ(qx::alloc_stats().liveBlocks, live - 2);
}

}  // namespace
