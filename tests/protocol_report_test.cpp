// Delivery and read reports: the encoders of m-delivery-ind, m-read-rec-ind
// and m-read-orig-ind read back through the library's strict decoders field
// for field over generated records; the MMS 1.3 fields a relay may add are
// stepped over; values whose lengths lie refuse the PDU; every allocation
// failure gives null or a PDU that reads back whole.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "MMSProl_Encapsulaton.h"
#include "MMSProl_Encapsulaton_EncodeRelay.h"
#include "qx_internal.h"
#include "qx_log.h"
#include "test_support.h"

namespace {

using rrtest::Bytes;
using rrtest::bytes;
using rrtest::text0;
using rrtest::operator+;

// An address as a terminal names it, at times behind a byte a reader could
// take for a length or the quote, at times longer than a short Value-length.
std::string address(std::mt19937 &rng) {
    switch (rng() % 6) {
        case 0: return "someone@example.org";
        case 1: return "\x7F" "+4917012345";
        case 2: return "\x1E" + std::to_string(100000 + rng() % 900000);
        case 3: return "+" + std::string(40 + rng() % 200, '5');
        default: return "+1555" + std::to_string(1000000 + rng() % 9000000);
    }
}

std::string message_id(std::mt19937 &rng) {
    switch (rng() % 4) {
        case 0: return "\x7F" "M-quoted";
        case 1: return "\xC3\xA4-" + std::to_string(rng());  // begins with a byte of 0x80 or more
        case 2: return "M" + std::string(300, 'x');
        default: return "M" + std::to_string(rng()) + "-1";
    }
}

Bytes take(uint8_t *pdu, int len) {
    Bytes b(pdu, pdu + len);
    fnQX_Free(reinterpret_cast<void **>(&pdu));
    return b;
}

int date_of(std::mt19937 &rng) {
    const int dates[] = {0, 1, 255, 256, 1796642163, 0x7FFFFFFF};
    return dates[rng() % 6];
}

// What a report record holds, as texts the test owns.
struct Report {
    std::string messageId, to, from;
    bool hasFrom = false;
    int date = 0;
    uint8_t status = 0;  // Status or Read-Status
};

Report random_report(std::mt19937 &rng, bool read) {
    Report r;
    r.messageId = message_id(rng);
    r.to = address(rng);
    if (!read && rng() % 3 == 0) r.to += ";" + address(rng);  // a list reads back as one
    r.hasFrom = rng() % 4 != 0;
    if (r.hasFrom) r.from = address(rng);
    r.date = date_of(rng);
    r.status = static_cast<uint8_t>(read ? 0x80 + rng() % 2 : 0x80 + rng() % 8);
    return r;
}

// Addresses come back without the type suffix the encoder adds to phone
// numbers; an address list as one ";"-separated text.
void expect_address(const char *got, const std::string &want) {
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::string(got), want);
}

Bytes delivery_pdu(const Report &r) {
    tMMS_DeliveryInd rec{};
    rec.Message_Id = const_cast<char *>(r.messageId.c_str());
    rec.To = const_cast<char *>(r.to.c_str());
    rec.Date = r.date;
    rec.Status = r.status;
    int len = 0;
    uint8_t *p = fnMMS_MakeDeliveryIndPdu(&rec, &len);
    return p ? take(p, len) : Bytes{};
}

template <typename Rec>
Bytes read_pdu(const Report &r, uint8_t *(*make)(const Rec *, int *)) {
    Rec rec{};
    rec.Message_Id = const_cast<char *>(r.messageId.c_str());
    rec.To = const_cast<char *>(r.to.c_str());
    rec.From = r.hasFrom ? const_cast<char *>(r.from.c_str()) : nullptr;
    rec.Date = r.date;
    rec.Read_Status = r.status;
    int len = 0;
    uint8_t *p = make(&rec, &len);
    return p ? take(p, len) : Bytes{};
}

void expect_delivery(const Bytes &pdu, const Report &r) {
    rrtest::HeapCopy copy(pdu);
    tMMS_DecodeReport why{};
    tMMS_DeliveryInd *d = fnMMS_ParseDeliveryInd(copy.data(), copy.size(), &why);
    ASSERT_NE(d, nullptr) << rrtest::hex(pdu) << " fault " << static_cast<int>(why.fault);
    EXPECT_STREQ(d->Message_Id, r.messageId.c_str());
    expect_address(d->To, r.to);
    EXPECT_EQ(d->Date, r.date);
    EXPECT_EQ(d->Status, r.status);
    fnMMS_FreeMessageMem(d, MMS_STRUCT_DELIVERY_IND);
}

template <typename Rec>
void expect_read(Rec *d, const Bytes &pdu, const Report &r, int type) {
    ASSERT_NE(d, nullptr) << rrtest::hex(pdu);
    EXPECT_STREQ(d->Message_Id, r.messageId.c_str());
    expect_address(d->To, r.to);
    if (r.hasFrom)
        expect_address(d->From, r.from);
    else
        EXPECT_EQ(d->From, nullptr) << "insert-address reads as no From";
    EXPECT_EQ(d->Date, r.date);
    EXPECT_EQ(d->Read_Status, r.status);
    fnMMS_FreeMessageMem(d, type);
}

void expect_read_rec(const Bytes &pdu, const Report &r) {
    rrtest::HeapCopy copy(pdu);
    expect_read(fnMMS_ParseReadRecInd(copy.data(), copy.size()), pdu, r, MMS_STRUCT_READ_REC_IND);
}

void expect_read_orig(const Bytes &pdu, const Report &r) {
    rrtest::HeapCopy copy(pdu);
    expect_read(fnMMS_ParseReadOrigInd(copy.data(), copy.size()), pdu, r, MMS_STRUCT_READ_ORIG_IND);
}

class Reports : public ::testing::Test {
protected:
    void SetUp() override { qx::set_log_enabled(false); }
    void TearDown() override { qx::set_log_enabled(true); }
    rrtest::LeakCheck leaks_;
};

TEST_F(Reports, EncodedReportsReadBackFieldForField) {
    std::mt19937 rng(28);
    for (int i = 0; i < 400; ++i) {
        SCOPED_TRACE(i);
        const Report d = random_report(rng, false);
        const Bytes dp = delivery_pdu(d);
        ASSERT_FALSE(dp.empty());
        EXPECT_EQ(dp[0], 0x8C);
        EXPECT_EQ(dp[1], MMS_M_DELIVERY_IND);
        expect_delivery(dp, d);

        const Report r = random_report(rng, true);
        const Bytes rec = read_pdu<tMMS_ReadRecInd>(r, fnMMS_MakeReadRecIndPdu);
        ASSERT_FALSE(rec.empty());
        EXPECT_EQ(rec[1], MMS_M_READ_REC_IND);
        expect_read_rec(rec, r);
        const Bytes orig = read_pdu<tMMS_ReadOrigInd>(r, fnMMS_MakeReadOrigIndPdu);
        ASSERT_FALSE(orig.empty());
        EXPECT_EQ(orig[1], MMS_M_READ_ORIG_IND);
        expect_read_orig(orig, r);
        // The two read reports differ in their Message-Type only.
        EXPECT_EQ(Bytes(rec.begin() + 2, rec.end()), Bytes(orig.begin() + 2, orig.end()));
        // A report read as another kind of report is refused.
        rrtest::HeapCopy copy(rec);
        tMMS_DecodeReport why{};
        EXPECT_EQ(fnMMS_ParseReadOrigInd(copy.data(), copy.size(), &why), nullptr);
        EXPECT_EQ(why.fault, MmsDecodeFault::WrongMessageType);
    }
}

// The exact bytes of the smallest reports, as a relay and a terminal write
// them: no Transaction-Id, MMS-Version 1.2, Message-ID first.
TEST_F(Reports, ExactBytes) {
    Report d{"m1", "+1", "", false, 0x100, MMS_DELIVERY_RETRIEVED};
    EXPECT_EQ(rrtest::hex(delivery_pdu(d)),
              rrtest::hex(bytes({0x8C, 0x86, 0x8D, 0x92, 0x8B}) + text0("m1") + bytes({0x97}) +
                          text0("+1/TYPE=PLMN") + bytes({0x85, 0x02, 0x01, 0x00, 0x95, 0x81})));
    Report r{"m1", "a@b.c", "", false, 0, MMS_READ_STATUS_DELETED};
    EXPECT_EQ(rrtest::hex(read_pdu<tMMS_ReadRecInd>(r, fnMMS_MakeReadRecIndPdu)),
              rrtest::hex(bytes({0x8C, 0x87, 0x8D, 0x92, 0x8B}) + text0("m1") + bytes({0x97}) + text0("a@b.c") +
                          bytes({0x89, 0x01, 0x81, 0x9B, 0x81})));
    r.hasFrom = true;
    r.from = "+2";
    r.date = 1;
    EXPECT_EQ(rrtest::hex(read_pdu<tMMS_ReadOrigInd>(r, fnMMS_MakeReadOrigIndPdu)),
              rrtest::hex(bytes({0x8C, 0x88, 0x8D, 0x92, 0x8B}) + text0("m1") + bytes({0x97}) + text0("a@b.c") +
                          bytes({0x89, 0x0E, 0x80}) + text0("+2/TYPE=PLMN") +
                          bytes({0x85, 0x01, 0x01, 0x9B, 0x81})));
}

// Fields of MMS 1.3 and application headers a relay may add: Status-Text
// (an Encoded-string-value with its charset), Applic-ID, Reply-Applic-ID
// and Aux-Applic-Info (texts), an unknown short-integer field. They are
// stepped over by their WSP lengths and change nothing of what is read.
TEST_F(Reports, LaterFieldsAreSteppedOver) {
    const Bytes extra = bytes({0xB6, 0x08, 0xEA}) + text0("Gone!!") + bytes({0xB7}) + text0("com.example.app") +
                        bytes({0xB8}) + text0("reply.app") + bytes({0xB9}) + text0("aux") + text0("X-Note") +
                        text0("yes") + bytes({0xBC, 0x80});
    const Report d{"M9", "+15550100002", "", false, 1796642163, MMS_DELIVERY_REJECTED};
    Bytes dp = delivery_pdu(d);
    dp[3] = 0x93;  // MMS-Version 1.3
    expect_delivery(dp + extra, d);
    // Before the other fields too.
    Bytes head(dp.begin(), dp.begin() + 4);
    expect_delivery(head + extra + Bytes(dp.begin() + 4, dp.end()), d);

    const Report r{"M9", "+15550100001", "+15550100002", true, 5, MMS_READ_STATUS_READ};
    expect_read_orig(read_pdu<tMMS_ReadOrigInd>(r, fnMMS_MakeReadOrigIndPdu) + extra, r);
    expect_read_rec(read_pdu<tMMS_ReadRecInd>(r, fnMMS_MakeReadRecIndPdu) + extra, r);
}

// Values whose lengths run past the end, and every cut of a valid report:
// refused (or, cut between fields, read with the fields before the cut),
// never read past the end (the copies are exactly sized for ASan).
TEST_F(Reports, HostileLengthsAreRefused) {
    const Bytes head = bytes({0x8C, 0x86, 0x8D, 0x92, 0x8B}) + text0("m1");
    struct Case {
        const char *name;
        Bytes tail;
        uint8_t field;
    };
    const Case cases[] = {
        {"To Value-length past the end", bytes({0x97, 0x1E, 0xEA}) + text0("+1"), 0x97},
        {"To uintvar length past the end", bytes({0x97, 0x1F, 0x8F, 0xFF, 0xFF, 0x7F, 0xEA}), 0x97},
        {"uintvar of six bytes", bytes({0x97, 0x1F, 0x81, 0x81, 0x81, 0x81, 0x81, 0x01}), 0x97},
        {"Status-Text longer than the PDU", bytes({0xB6, 0x1F, 0x90, 0x00, 0xEA, 0x41}), 0xB6},
        {"Date of 30 bytes", bytes({0x85, 0x1E, 0x01}), 0x85},
        {"Status without its value", bytes({0x95}), 0x95},
        {"Message-ID without its zero", bytes({0x8B, 'x', 'y'}), 0x8B},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes pdu = head + c.tail;
        rrtest::HeapCopy copy(pdu);
        tMMS_DecodeReport why{};
        EXPECT_EQ(fnMMS_ParseDeliveryInd(copy.data(), copy.size(), &why), nullptr);
        EXPECT_EQ(why.fault, MmsDecodeFault::BadField);
        EXPECT_EQ(why.field, c.field);
    }
    // A From whose Value-length runs past the end refuses a read report.
    const Bytes from = bytes({0x8C, 0x88, 0x8D, 0x92, 0x8B}) + text0("m1") + bytes({0x89, 0x1F, 0x83, 0x00, 0x80});
    rrtest::HeapCopy fc(from);
    tMMS_DecodeReport why{};
    EXPECT_EQ(fnMMS_ParseReadOrigInd(fc.data(), fc.size(), &why), nullptr);
    EXPECT_EQ(why.field, 0x89);

    std::mt19937 rng(7);
    for (int i = 0; i < 20; ++i) {
        const Report r = random_report(rng, true);
        const Bytes pdu = read_pdu<tMMS_ReadOrigInd>(r, fnMMS_MakeReadOrigIndPdu);
        for (size_t n = 1; n < pdu.size(); ++n) {
            const Bytes cut(pdu.begin(), pdu.begin() + static_cast<long>(n));
            rrtest::HeapCopy copy(cut);
            tMMS_ReadOrigInd *o = fnMMS_ParseReadOrigInd(copy.data(), copy.size());
            if (!o) continue;
            // Read up to a field boundary: whatever was read is what was written.
            EXPECT_STREQ(o->Message_Id, r.messageId.c_str());
            EXPECT_TRUE(o->Read_Status == 0 || o->Read_Status == r.status);
            fnMMS_FreeMessageMem(o, MMS_STRUCT_READ_ORIG_IND);
        }
    }
}

TEST_F(Reports, EncodersRefuseIncompleteRecords) {
    int len = 7;
    EXPECT_EQ(fnMMS_MakeDeliveryIndPdu(nullptr, &len), nullptr);
    const Report ok{"m", "+1", "+2", true, 1, 0x80};
    struct Bad {
        const char *name;
        Report r;
    };
    const Bad bad[] = {
        {"no Message-ID", {"", "+1", "", false, 1, 0x80}},
        {"no To", {"m", "", "", false, 1, 0x80}},
    };
    for (const Bad &b : bad) {
        SCOPED_TRACE(b.name);
        EXPECT_TRUE(delivery_pdu(b.r).empty());
        EXPECT_TRUE(read_pdu<tMMS_ReadRecInd>(b.r, fnMMS_MakeReadRecIndPdu).empty());
        EXPECT_TRUE(read_pdu<tMMS_ReadOrigInd>(b.r, fnMMS_MakeReadOrigIndPdu).empty());
    }
    for (int status = 0; status < 256; ++status) {
        Report r = ok;
        r.status = static_cast<uint8_t>(status);
        EXPECT_EQ(delivery_pdu(r).empty(), status < 0x80 || status > 0x87) << status;
        EXPECT_EQ(read_pdu<tMMS_ReadRecInd>(r, fnMMS_MakeReadRecIndPdu).empty(), status != 0x80 && status != 0x81)
            << status;
    }
    tMMS_DeliveryInd rec{};
    rec.Message_Id = const_cast<char *>("m");
    rec.To = const_cast<char *>("+1");
    rec.Status = 0x81;
    EXPECT_EQ(fnMMS_MakeDeliveryIndPdu(&rec, nullptr), nullptr);
}

TEST_F(Reports, AllocationFailuresGiveNullOrAWholeReport) {
    const Report d{"M1-1", "+15550100002;x@y.z", "", false, 1796642163, MMS_DELIVERY_DEFERRED};
    const Report r{"M1-1", "+15550100001", "+15550100002", true, 1796642163, MMS_READ_STATUS_READ};
    const Bytes wantD = delivery_pdu(d), wantRec = read_pdu<tMMS_ReadRecInd>(r, fnMMS_MakeReadRecIndPdu),
                wantOrig = read_pdu<tMMS_ReadOrigInd>(r, fnMMS_MakeReadOrigIndPdu);
    long nulls = 0;
    const long runs = rrtest::for_each_alloc_failure([&](long) {
        const Bytes got[] = {delivery_pdu(d), read_pdu<tMMS_ReadRecInd>(r, fnMMS_MakeReadRecIndPdu),
                             read_pdu<tMMS_ReadOrigInd>(r, fnMMS_MakeReadOrigIndPdu)};
        const Bytes *want[] = {&wantD, &wantRec, &wantOrig};
        for (int i = 0; i < 3; ++i) {
            if (got[i].empty())
                ++nulls;
            else
                EXPECT_EQ(got[i], *want[i]) << i;
        }
        // The decoders under the same failures: null or the whole record.
        rrtest::HeapCopy copy(wantD);
        if (tMMS_DeliveryInd *x = fnMMS_ParseDeliveryInd(copy.data(), copy.size())) {
            EXPECT_STREQ(x->To, "+15550100002;x@y.z");
            fnMMS_FreeMessageMem(x, MMS_STRUCT_DELIVERY_IND);
        }
    });
    EXPECT_GE(runs, 3);
    EXPECT_GE(nulls, 3);
}

}  // namespace
