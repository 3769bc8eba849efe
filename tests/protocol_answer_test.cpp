// Strict decoders of the terminal's answers (m-notifyresp-ind,
// m-acknowledge-ind, the forward request) and of the relay's reports
// (m-delivery-ind, m-read-rec-ind, m-read-orig-ind): round trips through the
// encoders, agreement with the other decoders, refusals with their reasons,
// and allocation failures.
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "MMSProl_Encapsulaton.h"
#include "qx_internal.h"
#include "test_support.h"

using rrtest::bytes;
using rrtest::Bytes;
using rrtest::HeapCopy;
using rrtest::operator+;
using rrtest::text0;

namespace {

std::string s(const char *t) { return t ? t : "<null>"; }

template <typename T>
struct Owned {
    T *r;
    int type;
    ~Owned() { fnMMS_FreeMessageMem(r, type); }
};

// The bytes of an encoder's PDU; the buffer is released.
template <typename Encode>
Bytes encoded(Encode encode) {
    int len = 0;
    uint8_t *buf = encode(&len);
    Bytes b(buf, buf + (buf ? len : 0));
    qx::free_ptr(buf);
    return b;
}

// Every answer the encoders write reads back field for field.
TEST(AnswerDecode, EncodedAnswersReadBack) {
    std::mt19937 rng(7);
    for (int i = 0; i < 200; ++i) {
        std::string tid = "t" + std::to_string(rng());
        if (i % 5 == 0) tid.insert(tid.begin(), '\x90');  // a byte that asks for no quote on the wire
        const int allowed = static_cast<int>(rng() % 2);
        const uint8_t status = static_cast<uint8_t>(0x80 + rng() % 8);
        const Bytes resp =
            encoded([&](int *len) { return fnMMS_MakeNotifyRespIndPdu(tid.c_str(), allowed, status, len); });
        HeapCopy h(resp);
        tMMS_DecodeReport why{};
        Owned<tMMS_NotifyRespInd> r{fnMMS_ParseNotifyRespInd(h.data(), h.size(), &why), MMS_STRUCT_NOTIFYRESP_IND};
        ASSERT_NE(r.r, nullptr) << i << " fault " << static_cast<int>(why.fault);
        EXPECT_EQ(why.fault, MmsDecodeFault::None);
        EXPECT_EQ(s(r.r->Transaction_Id), tid);
        EXPECT_EQ(r.r->Message_Type, MMS_M_NOTIFYRESP_IND);
        EXPECT_EQ(r.r->MMS_Version, MMS_VERSION_1_2);
        EXPECT_EQ(r.r->Status, status);
        EXPECT_EQ(r.r->Report_Allowed, allowed ? MMS_YES : MMS_NO);

        const Bytes ack = encoded([&](int *len) { return fnMMS_MakeAcknowledgeIndPdu(tid.c_str(), allowed, len); });
        HeapCopy ha(ack);
        Owned<tMMS_AcknowledgeInd> a{fnMMS_ParseAcknowledgeInd(ha.data(), ha.size()), MMS_STRUCT_ACKNOWLEDGE_IND};
        ASSERT_NE(a.r, nullptr) << i;
        EXPECT_EQ(s(a.r->Transaction_Id), tid);
        EXPECT_EQ(a.r->Report_Allowed, allowed ? MMS_YES : MMS_NO);
        // Neither decoder takes the other's PDU.
        tMMS_DecodeReport cross{};
        EXPECT_EQ(fnMMS_ParseAcknowledgeInd(h.data(), h.size(), &cross), nullptr);
        EXPECT_EQ(cross.fault, MmsDecodeFault::WrongMessageType);
        EXPECT_EQ(cross.found, MMS_M_NOTIFYRESP_IND);
        EXPECT_EQ(cross.expected, MMS_M_ACKNOWLEDGE_IND);
    }
}

TEST(AnswerDecode, EncodedForwardRequestsReadBack) {
    std::mt19937 rng(11);
    for (int i = 0; i < 200; ++i) {
        Owned<tMMS_FwdReq> req{static_cast<tMMS_FwdReq *>(fnMMS_AllocMessageMem(MMS_STRUCT_FWD_REQ)),
                               MMS_STRUCT_FWD_REQ};
        ASSERT_NE(req.r, nullptr);
        auto text = [](const std::string &t) { return fnQX_MEMSTRCOPY(t.c_str()); };
        std::string to, cc;
        for (unsigned k = rng() % 4; k > 0; --k) to += (to.empty() ? "" : ";") + std::string("+49") + std::to_string(rng() % 100000);
        if (rng() % 2) cc = "a" + std::to_string(rng() % 1000) + "@example.org";
        req.r->Transaction_Id = text("F" + std::to_string(i));
        req.r->Content_Location = text((i % 3 ? "http://mms/" : "\xC3\xA9/") + std::to_string(rng()));
        if (!to.empty()) req.r->To = text(to);
        if (!cc.empty()) req.r->Cc = text(cc);
        req.r->Date = rng() % 3 ? static_cast<uint32_t>(rng()) : 0;  // every 32-bit date, past 2038 too
        req.r->Expiry = static_cast<int>(rng() % 3 ? rng() % 1000000 : 0);
        req.r->Expiry_Relative = static_cast<unsigned char>(rng() % 2);
        req.r->Delivery_Time = static_cast<int>(rng() % 3 ? rng() % 100000 : 0);
        req.r->Delivery_Time_Relative = static_cast<unsigned char>(rng() % 2);
        req.r->Delivery_Report = static_cast<int>(rng() % 2);
        req.r->Read_Reply = static_cast<int>(rng() % 2);
        const Bytes wire = encoded([&](int *len) { return fnMMS_MakeFWDMessagePdu(req.r, len); });
        ASSERT_FALSE(wire.empty());
        HeapCopy h(wire);
        Owned<tMMS_FwdReq> got{fnMMS_ParseFwdReq(h.data(), h.size()), MMS_STRUCT_FWD_REQ};
        ASSERT_NE(got.r, nullptr) << i;
        EXPECT_EQ(s(got.r->Transaction_Id), s(req.r->Transaction_Id));
        EXPECT_EQ(s(got.r->Content_Location), s(req.r->Content_Location));
        EXPECT_EQ(s(got.r->To), to.empty() ? "<null>" : to);
        EXPECT_EQ(s(got.r->Cc), cc.empty() ? "<null>" : cc);
        EXPECT_EQ(got.r->Bcc, nullptr);
        EXPECT_EQ(got.r->Date, req.r->Date);
        if (req.r->Expiry > 0) {
            EXPECT_EQ(got.r->Expiry, req.r->Expiry);
            EXPECT_EQ(got.r->Expiry_Relative, req.r->Expiry_Relative ? 1 : 0);
        }
        if (req.r->Delivery_Time > 0) {
            EXPECT_EQ(got.r->Delivery_Time, req.r->Delivery_Time);
            EXPECT_EQ(got.r->Delivery_Time_Relative, req.r->Delivery_Time_Relative ? 1 : 0);
        }
        EXPECT_EQ(got.r->Delivery_Report, req.r->Delivery_Report);
        EXPECT_EQ(got.r->Read_Reply, req.r->Read_Reply);
    }
}

// One Long-integer reader: a Date in any of its forms reads the same in the
// retrieve confirmation and in every report (a zero-length Long-integer is 0).
// Dates are unsigned seconds: 2038-01-19 03:14:08 and 2106-02-07 06:28:15
// read whole; one past 2106 does not fit and reads as no date, never wrapped.
TEST(AnswerDecode, IntegersReadAlikeInEveryDecoder) {
    const struct {
        Bytes value;
        uint32_t date;
    } forms[] = {
        {bytes({0x04, 0x7F, 0xFF, 0xFF, 0xFF}), 0x7FFFFFFFu},
        {bytes({0x04, 0x80, 0x00, 0x00, 0x00}), 0x80000000u},
        {bytes({0x04, 0xFF, 0xFF, 0xFF, 0xFF}), 0xFFFFFFFFu},
        {bytes({0x06, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}), 0xFFFFFFFFu},
        {bytes({0x05, 0x01, 0x00, 0x00, 0x00, 0x00}), 0},
        {bytes({0x08, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}), 0},
        {bytes({0x81}), 1},
        {bytes({0x00}), 0},
        {bytes({0x01, 0xFF}), 255},
        {bytes({0x04, 0x65, 0x53, 0xF1, 0x00}), 1700000000},
        {bytes({0x05, 0x00, 0x65, 0x53, 0xF1, 0x00}), 1700000000},
    };
    for (const auto &f : forms) {
        const Bytes date = bytes({0x85}) + f.value;
        HeapCopy retr(bytes({0x8C, 0x84, 0x98}) + text0("T") + date);
        Owned<tMMS_RetrieveConf> rc{fnMMS_ParseRetrieveConf(retr.data(), retr.size()), MMS_STRUCT_RETRIEVE_CONF};
        ASSERT_NE(rc.r, nullptr);
        EXPECT_EQ(rc.r->Date, f.date);
        const Bytes report = bytes({0x8B}) + text0("m") + date;
        HeapCopy del(bytes({0x8C, 0x86}) + report);
        Owned<tMMS_DeliveryInd> d{fnMMS_ParseDeliveryInd(del.data(), del.size()), MMS_STRUCT_DELIVERY_IND};
        ASSERT_NE(d.r, nullptr);
        EXPECT_EQ(d.r->Date, f.date);
        HeapCopy rd(bytes({0x8C, 0x88}) + report);
        Owned<tMMS_ReadOrigInd> o{fnMMS_ParseReadOrigInd(rd.data(), rd.size()), MMS_STRUCT_READ_ORIG_IND};
        ASSERT_NE(o.r, nullptr);
        EXPECT_EQ(o.r->Date, f.date);
        HeapCopy fw(bytes({0x8C, 0x89, 0x98}) + text0("F") + date + bytes({0x83}) + text0("u"));
        Owned<tMMS_FwdReq> w{fnMMS_ParseFwdReq(fw.data(), fw.size()), MMS_STRUCT_FWD_REQ};
        ASSERT_NE(w.r, nullptr);
        EXPECT_EQ(w.r->Date, f.date);
    }
}

TEST(ReportDecode, RefusalsSayWhy) {
    const Bytes read = bytes({0x8C, 0x87, 0x8B}) + text0("m") + bytes({0x89, 0x04, 0x80}) + text0("+1") +
                       bytes({0x9B, 0x80});
    const struct {
        Bytes pdu;
        MmsDecodeFault fault;
        int field;
        long offset;
    } cases[] = {
        {read, MmsDecodeFault::None, 0, 0},
        {Bytes{}, MmsDecodeFault::NoInput, 0, 0},
        {bytes({0x8B}) + text0("m"), MmsDecodeFault::NoMessageType, 0, 0},
        {bytes({0x8C}), MmsDecodeFault::MessageTypeNoValue, 0x8C, 0},
        {bytes({0x8C, 0x88, 0x8B}) + text0("m"), MmsDecodeFault::WrongMessageType, 0x8C, 0},
        {bytes({0x8C, 0x87, 0x9B, 0x80}), MmsDecodeFault::MissingField, 0, 0},
        {bytes({0x8C, 0x87, 0x8B, 0x00}), MmsDecodeFault::MissingField, 0, 0},
        {Bytes(read.begin(), read.end() - 1), MmsDecodeFault::BadField, 0x9B, 11},
        {Bytes(read.begin(), read.begin() + 7), MmsDecodeFault::BadField, 0x89, 5},
        {read + bytes({0x84, 0xA3, 0x00}), MmsDecodeFault::UnexpectedBody, 0x84, 13},
        {text0("X-A") + bytes({0x1F}), MmsDecodeFault::BadApplicationHeader, 'X', 0},
    };
    for (const auto &tc : cases) {
        HeapCopy h(tc.pdu);
        tMMS_DecodeReport why{};
        Owned<tMMS_ReadRecInd> r{fnMMS_ParseReadRecInd(h.data(), h.size(), &why), MMS_STRUCT_READ_REC_IND};
        EXPECT_EQ(why.fault, tc.fault) << rrtest::hex(tc.pdu);
        EXPECT_EQ(r.r != nullptr, tc.fault == MmsDecodeFault::None) << rrtest::hex(tc.pdu);
        if (tc.fault == MmsDecodeFault::BadField || tc.fault == MmsDecodeFault::UnexpectedBody ||
            tc.fault == MmsDecodeFault::BadApplicationHeader) {
            EXPECT_EQ(why.field, tc.field) << rrtest::hex(tc.pdu);
            EXPECT_EQ(why.offset, tc.offset) << rrtest::hex(tc.pdu);
        }
        if (tc.fault == MmsDecodeFault::MissingField) {
            EXPECT_STREQ(why.missing, "Message-ID");
        }
        if (r.r) {
            EXPECT_EQ(s(r.r->Message_Id), "m");
            EXPECT_EQ(s(r.r->From), "+1");
            EXPECT_EQ(r.r->Read_Status, 0x80);
        }
    }
}

// Complete or failed: a copy that cannot be made fails the decode with the
// reason NoMemory, never a record missing a field.
TEST(ReportDecode, AllocationFailuresGiveCompleteRecordsOrNone) {
    const Bytes to = bytes({0x97}) + text0("+1/TYPE=PLMN") + bytes({0x97, 0x07, 0xEA}) + text0("a@b.c");
    HeapCopy del(bytes({0x8C, 0x86, 0x8B}) + text0("\x7Fmid") + to + bytes({0x95, 0x81}));
    const long allocs = rrtest::for_each_alloc_failure([&](long) {
        tMMS_DecodeReport why{};
        Owned<tMMS_DeliveryInd> d{fnMMS_ParseDeliveryInd(del.data(), del.size(), &why), MMS_STRUCT_DELIVERY_IND};
        const bool fired = qx::alloc_fail_fired();
        ASSERT_EQ(d.r == nullptr, fired);
        if (fired) {
            EXPECT_EQ(why.fault, MmsDecodeFault::NoMemory);
            return;
        }
        EXPECT_EQ(s(d.r->Message_Id), "mid");
        EXPECT_EQ(s(d.r->To), "+1;a@b.c");
        EXPECT_EQ(d.r->Status, 0x81);
    });
    EXPECT_GE(allocs, 4);  // record, Message-ID, two addresses (and the list's growth)

    HeapCopy fwd(bytes({0x8C, 0x89, 0x98}) + text0("F") + to + bytes({0x81}) + text0("+3/TYPE=PLMN") +
                 bytes({0x83}) + text0("http://x"));
    EXPECT_GE(rrtest::for_each_alloc_failure([&](long) {
                  Owned<tMMS_FwdReq> f{fnMMS_ParseFwdReq(fwd.data(), fwd.size()), MMS_STRUCT_FWD_REQ};
                  ASSERT_EQ(f.r == nullptr, qx::alloc_fail_fired());
                  if (!f.r) return;
                  EXPECT_EQ(s(f.r->To), "+1;a@b.c");
                  EXPECT_EQ(s(f.r->Bcc), "+3");
                  EXPECT_EQ(s(f.r->Content_Location), "http://x");
              }),
              6);
}

TEST(AnswerDecode, MessageTypeIsFoundPastOtherFields) {
    const Bytes pdu = text0("X-Note") + text0("hi") + bytes({0x98}) + text0("T1") + bytes({0x8C, 0x85, 0x91, 0x80});
    HeapCopy h(pdu);
    EXPECT_EQ(fnMMS_FindMessageType(h.data(), h.size()), MMS_M_ACKNOWLEDGE_IND);
    HeapCopy body(bytes({0x98}) + text0("T") + bytes({0x84, 0xA3, 0x00, 0x8C, 0x80}));
    EXPECT_EQ(fnMMS_FindMessageType(body.data(), body.size()), MMS_NO_MESSAGE_TYPE);
    // Every cut before the Message-Type's value is walked without reading past it.
    for (size_t n = 0; n < pdu.size() - 2; ++n) {
        HeapCopy cut(pdu.data(), n);
        EXPECT_EQ(fnMMS_FindMessageType(cut.data(), cut.size()), MMS_NO_MESSAGE_TYPE) << n;
    }
}

}  // namespace
