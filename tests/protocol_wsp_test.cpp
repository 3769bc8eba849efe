// WSP primitive readers and writers, the content-type table and values,
// address lists.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "qx_internal.h"
#include "test_support.h"

using rrtest::bytes;
using rrtest::Bytes;
using rrtest::HeapCopy;
using rrtest::hex;
using rrtest::operator+;
using rrtest::text0;

namespace {

Bytes str(const std::string &s) { return Bytes(s.begin(), s.end()); }

// Runs a writer on a generous buffer and returns what it wrote.
template <typename F>
Bytes written(F write) {
    std::vector<uint8_t> buf(70000, 0xCC);
    qx::Writer w = qx::Writer::over(buf.data(), buf.size());
    write(w);
    EXPECT_TRUE(w.ok());
    return Bytes(buf.data(), w.p);
}

std::string take(char *s) {
    std::string r = s ? s : "<null>";
    qx::free_ptr(s);
    return r;
}

// ---------------------------------------------------------------- lengths

struct LenCase {
    Bytes in;
    uint32_t value;
    long moved;
    Got result = Got::Value;
};

TEST(WspLengthValue, ReadsShortAndUintvarForms) {
    const LenCase cases[] = {
        {bytes({0x05}), 5, 1},
        {bytes({0x00}), 0, 1},
        {bytes({0x1E}), 30, 1},
        {bytes({0x1F, 0x81, 0x00}), 128, 3},
        {bytes({0x1F, 0x05}), 5, 2},
        // A byte that is no Value-length is told apart from a length of 0.
        {bytes({0x20}), 0, 0, Got::None},
        {bytes({0x80}), 0, 0, Got::None},
        {bytes({0x1F, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F}), 0xFFFFFFFFu, 6},
    };
    for (const auto &tc : cases) {
        HeapCopy h(tc.in);
        WspCursor c = wsp_cursor(h.data(), h.size());
        uint32_t len = 0;
        EXPECT_EQ(GetLengthValue(c, &len), tc.result) << hex(tc.in);
        EXPECT_EQ(len, tc.value) << hex(tc.in);
        EXPECT_EQ(c.p - h.data(), tc.moved) << hex(tc.in);
        EXPECT_FALSE(c.truncated);
    }
}

TEST(WspUintvar, ReadsUpToFiveBytes) {
    const LenCase cases[] = {
        {bytes({0x00}), 0, 1},
        {bytes({0x7F}), 127, 1},
        {bytes({0x81, 0x00}), 128, 2},
        {bytes({0xFF, 0x7F}), 16383, 2},
        {bytes({0x81, 0x80, 0x00}), 16384, 3},
        {bytes({0x8F, 0xFF, 0xFF, 0xFF, 0x7F}), 0xFFFFFFFFu, 5},
        {bytes({0x90, 0x80, 0x80, 0x80, 0x00}), 0u, 5},  // bits above 32 drop out
    };
    for (const auto &tc : cases) {
        HeapCopy h(tc.in);
        WspCursor c = wsp_cursor(h.data(), h.size());
        EXPECT_EQ(GetUintvar(c), tc.value) << hex(tc.in);
        EXPECT_EQ(c.p - h.data(), tc.moved) << hex(tc.in);
        EXPECT_FALSE(c.truncated);
    }
}

struct WriteCase {
    uint32_t value;
    Bytes out;
};

TEST(WspUintvar, OverlongIsRefused) {
    HeapCopy h(bytes({0x81, 0x81, 0x81, 0x81, 0x81, 0x01}));
    WspCursor c = wsp_cursor(h.data(), h.size());
    EXPECT_EQ(GetUintvar(c), 0u);
    EXPECT_TRUE(c.truncated);
    EXPECT_EQ(c.p, c.end);
}

TEST(WspUintvar, WritesBigEndianSevenBitGroups) {
    const WriteCase cases[] = {
        {0, bytes({0x00})},
        {127, bytes({0x7F})},
        {128, bytes({0x81, 0x00})},
        {16383, bytes({0xFF, 0x7F})},
        {16384, bytes({0x81, 0x80, 0x00})},
        {0xFFFFFFFFu, bytes({0x8F, 0xFF, 0xFF, 0xFF, 0x7F})},
    };
    for (const auto &tc : cases) {
        uint8_t buf[8];
        std::memset(buf, 0xCC, sizeof buf);
        qx::Writer w = qx::Writer::over(buf, sizeof buf);
        const int n = SetUintvar(w, tc.value);
        EXPECT_EQ(static_cast<int>(w.written()), n);
        EXPECT_EQ(hex(buf, static_cast<size_t>(n)), hex(tc.out)) << tc.value;
        EXPECT_EQ(buf[n], 0xCC);
        EXPECT_EQ(UintvarSize(tc.value), n);
    }
}

TEST(WspLengthValue, WritesShortOrQuotedUintvar) {
    const WriteCase cases[] = {
        {0, bytes({0x00})},
        {30, bytes({0x1E})},
        {31, bytes({0x1F, 0x1F})},
        {200, bytes({0x1F, 0x81, 0x48})},
    };
    for (const auto &tc : cases) {
        uint8_t buf[8];
        qx::Writer w = qx::Writer::over(buf, sizeof buf);
        const int n = SetLengthValue(w, tc.value);
        EXPECT_EQ(hex(buf, static_cast<size_t>(n)), hex(tc.out)) << tc.value;
        EXPECT_EQ(LengthValueSize(tc.value), n);
    }
}

TEST(WspUintvar, RoundTrips) {
    std::vector<uint32_t> values = {0, 1, 30, 31, 127, 128, 200, 16383, 16384, 2097151, 2097152,
                                    268435455, 268435456, 0x7FFFFFFF, 0xFFFFFFFFu};
    for (uint32_t v : values) {
        uint8_t buf[8];
        qx::Writer w = qx::Writer::over(buf, sizeof buf);
        const int n = SetUintvar(w, v);
        HeapCopy h(buf, static_cast<size_t>(n));
        WspCursor c = wsp_cursor(h.data(), h.size());
        EXPECT_EQ(GetUintvar(c), v);
        EXPECT_EQ(c.p, c.end);

        w = qx::Writer::over(buf, sizeof buf);
        const int m = SetLengthValue(w, v);
        HeapCopy h2(buf, static_cast<size_t>(m));
        WspCursor c2 = wsp_cursor(h2.data(), h2.size());
        uint32_t len = 0;
        EXPECT_EQ(GetLengthValue(c2, &len), Got::Value);
        EXPECT_EQ(len, v);
        EXPECT_EQ(c2.p, c2.end);
    }
}

// ---------------------------------------------------------------- integers

TEST(WspInteger, OctetCounts) {
    const std::pair<uint32_t, int> cases[] = {
        {0, 0},         {1, 1},         {255, 1},         {256, 2},        {0xFFFF, 2},       {0x10000, 3},
        {0xFFFFFF, 3},  {0x1000000, 4}, {0x7FFFFFFF, 4},  {0x80000000, 4}, {0xFFFFFFFF, 4},
    };
    for (auto [v, n] : cases) EXPECT_EQ(GetIntegerOctets(v), n) << v;
}

TEST(WspInteger, LongIntegerWriteAndRead) {
    const std::pair<uint32_t, Bytes> cases[] = {
        {0x123, bytes({0x02, 0x01, 0x23})},
        {255, bytes({0x01, 0xFF})},
        {86400, bytes({0x03, 0x01, 0x51, 0x80})},
        {INT_MAX, bytes({0x04, 0x7F, 0xFF, 0xFF, 0xFF})},
        {0x80000000u, bytes({0x04, 0x80, 0x00, 0x00, 0x00})},
        {UINT32_MAX, bytes({0x04, 0xFF, 0xFF, 0xFF, 0xFF})},
    };
    for (const auto &[value, wire] : cases) {
        const auto v = value;  // a plain copy: lambdas may capture it
        const Bytes out = written([&](qx::Writer &o) {
            o.byte(static_cast<uint8_t>(GetIntegerOctets(v)));
            SetInteger(o, v);
        });
        EXPECT_EQ(hex(out), hex(wire));
        HeapCopy h(wire);
        WspCursor c = wsp_cursor(h.data(), h.size());
        int octets = -1;
        EXPECT_EQ(GetLongInteger(c, &octets), static_cast<uint32_t>(v));
        EXPECT_EQ(octets, h.size());
        EXPECT_EQ(c.p, h.data()) << "the cursor does not move";
    }
}

TEST(WspInteger, LongIntegerOddForms) {
    struct Case {
        Bytes in;
        uint32_t value;
        int octets;
    };
    const Case cases[] = {
        {bytes({0x03, 0x00, 0x00, 0x10}), 16, 4},                           // leading zeros
        {bytes({0x05, 0x01, 0x02, 0x03, 0x04, 0x05}), 0x02030405u, 6},      // low 32 bits kept
        {bytes({0x08, 1, 2, 3, 4, 5, 6, 7, 8}), 0x05060708u, 9},
        {bytes({0x1F, 0x06, 0, 0, 0, 0, 0x12, 0x34}), 0x1234u, 8},          // uintvar length
        {bytes({0x00}), 0, 1},
        {bytes({0x02, 0x01}), 0, 2},                                         // truncated: rest of input
        {bytes({0x1F, 0x81}), 0, 2},
    };
    for (const auto &tc : cases) {
        HeapCopy h(tc.in);
        WspCursor c = wsp_cursor(h.data(), h.size());
        int octets = -1;
        EXPECT_EQ(GetLongInteger(c, &octets), tc.value) << hex(tc.in);
        EXPECT_EQ(octets, tc.octets) << hex(tc.in);
    }
    WspCursor empty = wsp_cursor(nullptr, 0);
    int octets = -1;
    EXPECT_EQ(GetLongInteger(empty, &octets), 0u);
    EXPECT_EQ(octets, 0);
}

// ---------------------------------------------------------------- texts

TEST(WspText, PlainAndQuoted) {
    HeapCopy h(bytes({0x7F}) + text0("abc") + text0("") + text0("xy"));
    WspCursor c = wsp_cursor(h.data(), h.size());
    int len = -1;
    EXPECT_EQ(take(GetQuoteTextString(c, &len)), "abc");
    EXPECT_EQ(len, 4) << "the quote byte counts";
    EXPECT_EQ(c.p - h.data(), 5);
    EXPECT_EQ(take(GetTextString(c, &len)), "");
    EXPECT_EQ(len, 0);
    EXPECT_EQ(take(GetTextString(c, &len)), "xy");
    EXPECT_EQ(c.p, c.end);

    HeapCopy q(bytes({0x7F}) + text0("abc"));
    WspCursor c2 = wsp_cursor(q.data(), q.size());
    EXPECT_EQ(take(GetTextString(c2, &len)), "\x7F" "abc");
    EXPECT_EQ(len, 4);
}

TEST(WspText, TextsAbove16BitsAreCopiedWhole) {
    const std::string big(70000, 'k');
    HeapCopy h(text0(big));
    WspCursor c = wsp_cursor(h.data(), h.size());
    int len = -1;
    char *t = GetTextString(c, &len);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(len, 70000);
    EXPECT_EQ(std::strlen(t), 70000u);
    qx::free_ptr(t);
}

TEST(WspText, AllocationFailureLeavesCursorAndLength) {
    HeapCopy h(text0("abc"));
    WspCursor c = wsp_cursor(h.data(), h.size());
    int len = 77;
    qx::alloc_fail_nth(1);
    EXPECT_EQ(GetTextString(c, &len), nullptr);
    qx::alloc_fail_off();
    EXPECT_EQ(len, 77);
    EXPECT_EQ(c.p, h.data());
    EXPECT_FALSE(c.truncated);
}

struct EncCase {
    Bytes in;
    std::string out;  // "<null>" for no result
};

TEST(WspEncodedString, ReadsEveryForm) {
    const EncCase cases[] = {
        {text0("Hi"), "Hi"},
        {bytes({0x7F}) + text0("Hi"), "Hi"},
        {bytes({0x04, 0xEA}) + text0("Hi"), "Hi"},
        {bytes({0x04, 0x83}) + text0("Hi"), "Hi"},
        {bytes({0x05, 0x83, 0x7F}) + text0("Hi"), "Hi"},
        {bytes({0x05, 0xEA, 0x7F, 0xE4, 0xB8, 0xAD, 0x00}), "\xE4\xB8\xAD"},
        {bytes({0x04, 0xE9}) + text0("Hi"), "<null>"},       // another charset
        {bytes({0x04, 0x80}) + text0("Hi"), "<null>"},       // charset 0 is no short integer above 0x80
        {bytes({0x06, 0x02, 0x03, 0xE8, 0x00, 0x41, 0x00}), "A"},  // UCS-2 as a Long-integer
        {bytes({0x05, 0x01, 0x6A}) + text0("Hi"), "Hi"},           // UTF-8 as a Long-integer
        {bytes({0x04, 0x84, 0x63, 0xE9, 0x00}), "c\xC3\xA9"},        // ISO-8859-1
        {bytes({0x04, 0xA4, 0xC7, 0xD1, 0x00}), "\xED\x95\x9C"},    // KS_C_5601 (EUC-KR)
        {bytes({0x04, 0xA4, 0xC7, 0xFF, 0x00}), "\xEF\xBF\xBD\xEF\xBF\xBD"},  // bytes that do not convert
        {bytes({0x08, 0x02, 0x03, 0xF5, 0x00, 0x41, 0x00, 0x42, 0x00}), "AB"},  // UTF-16BE (1013)
        {bytes({0x1F, 0x2A, 0xEA}) + text0(std::string(40, 'a')), std::string(40, 'a')},
        {bytes({0x01, 0x00}), "<null>"},                      // no charset before the zero byte
        {bytes({0x1F, 0x00}), "<null>"},                      // length uintvar cut by the zero byte
        {text0(""), ""},                                      // empty text string
        {bytes({0x02, 0x83, 0x00}), ""},
    };
    for (const auto &tc : cases) {
        HeapCopy h(tc.in);
        WspCursor c = wsp_cursor(h.data(), h.size());
        int len = -1;
        EXPECT_EQ(take(GetEncodedStringValue(c, &len)), tc.out) << hex(tc.in);
        EXPECT_EQ(c.p, c.end) << "the cursor moves past the zero byte: " << hex(tc.in);
        EXPECT_EQ(len, h.size() - 1) << hex(tc.in);
        EXPECT_FALSE(c.truncated);
    }
}

TEST(WspEncodedString, Writes) {
    EXPECT_EQ(hex(written([](qx::Writer &o) { SetEncodedStringValue(o, "Hi"); })), "04 EA 48 69 00");
    EXPECT_EQ(hex(written([](qx::Writer &o) { SetEncodedStringValue(o, nullptr); })), "00");
    const std::string forty(40, 'x');
    EXPECT_EQ(hex(written([&](qx::Writer &o) { SetEncodedStringValue(o, forty.c_str()); })),
              hex(bytes({0x1F, 0x2A, 0xEA}) + text0(forty)));
    EXPECT_EQ(hex(written([](qx::Writer &o) { SetEncodedStringValue(o, "\xE4\xB8\xAD"); })),
              "06 EA 7F E4 B8 AD 00");
}

TEST(WspEncodedString, RoundTrips) {
    const std::string texts[] = {"", "a", "Hello", "\xE4\xB8\xAD\xE6\x96\x87", std::string(28, 'q'),
                                 std::string(29, 'q'), std::string(200, 'z'), std::string(40000, 'w'),
                                 // Lengths of 128, 256 and 16384: their uintvars end in a zero byte.
                                 std::string(126, 'k'), std::string(254, 'k'), std::string(16382, 'm'),
                                 "\xE4" + std::string(124, 'x'),
                                 // A first byte that reads as a length or as the quote.
                                 "\x1E\x01x", "\x7F", "\x7F\x7Fq", "\x01", "\x1F\x81"};
    for (const auto &t : texts) {
        const Bytes wire = written([&](qx::Writer &o) { SetEncodedStringValue(o, t.c_str()); });
        HeapCopy h(wire);
        WspCursor c = wsp_cursor(h.data(), h.size());
        int len = 0;
        EXPECT_EQ(take(GetEncodedStringValue(c, &len)), t) << t.size();
        EXPECT_EQ(c.p, c.end);
    }
}

// ---------------------------------------------------------------- addresses

TEST(WspAddress, ReadsAndDropsTypeSuffix) {
    const EncCase cases[] = {
        {text0("+8613900001111/TYPE=PLMN"), "+8613900001111"},
        {text0("a/b@example.com"), "a/b@example.com"},
        {bytes({0x7F}) + text0("\xC3\xA9@x"), "\xC3\xA9@x"},
        {text0("12345"), "12345"},
        {text0("/TYPE=PLMN"), ""},
    };
    for (const auto &tc : cases) {
        HeapCopy h(tc.in);
        WspCursor c = wsp_cursor(h.data(), h.size());
        int len = -1;
        EXPECT_EQ(take(GetAddressValue(c, &len)), tc.out);
        EXPECT_EQ(len, h.size()) << "quote and zero byte count";
        EXPECT_EQ(c.p, c.end);
    }
}

TEST(WspAddress, WritesAndRoundTrips) {
    struct Case {
        const char *addr;
        Bytes wire;
        int suffixed;
    };
    const Case cases[] = {
        {"123", text0("123/TYPE=PLMN"), 1},
        {"a@b.c", text0("a@b.c"), 0},
        {"\xC3\xA9@x", bytes({0x7F}) + text0("\xC3\xA9@x"), 0},
        {"\x7F@x", bytes({0x7F}) + text0("\x7F@x"), 0},  // a first 0x7F would be taken for the quote
    };
    for (const auto &tc : cases) {
        int r = -1;
        const Bytes w = written([&](qx::Writer &o) { r = SetAddressValue(o, tc.addr); });
        EXPECT_EQ(hex(w), hex(tc.wire));
        EXPECT_EQ(r, tc.suffixed);
        HeapCopy h(w);
        WspCursor c = wsp_cursor(h.data(), h.size());
        int len = 0;
        EXPECT_EQ(take(GetAddressValue(c, &len)), tc.addr);
    }
}

TEST(WspAddress, NextAddressSkipsSpacesAndStopsAtEmptyEntry) {
    const char *list = "  138 001 ; 139002  ";
    char buf[MMS_MAX_ADDRESS_LEN + 1];
    EXPECT_EQ(GetNextAddress(&list, buf), 1);
    EXPECT_STREQ(buf, "138001");
    EXPECT_EQ(GetNextAddress(&list, buf), 1);
    EXPECT_STREQ(buf, "139002");
    EXPECT_EQ(GetNextAddress(&list, buf), 0);
    EXPECT_STREQ(buf, "");
}

TEST(WspAddress, OverlongEntriesArePassedOver) {
    const std::string sixty(60, '1');
    const std::string list = std::string(61, '9') + ";" + sixty + ";" + std::string(80, '8');
    const char *p = list.c_str();
    char buf[MMS_MAX_ADDRESS_LEN + 1 + 8];
    std::memset(buf, 0x55, sizeof buf);
    EXPECT_EQ(GetNextAddress(&p, buf), 1);
    EXPECT_EQ(std::string(buf), sixty);
    EXPECT_EQ(buf[MMS_MAX_ADDRESS_LEN + 1], 0x55) << "no byte past the 61-byte buffer";
    EXPECT_EQ(GetNextAddress(&p, buf), 0);
    EXPECT_EQ(buf[MMS_MAX_ADDRESS_LEN + 1], 0x55);
}

TEST(WspAddress, ListsAndTheirSizeBound) {
    struct Case {
        const char *list;
        Bytes wire;
    };
    const Case cases[] = {
        {"1;2", bytes({0x97}) + text0("1/TYPE=PLMN") + bytes({0x97}) + text0("2/TYPE=PLMN")},
        // Empty entries are passed over; the list goes on.
        {"1;;2", bytes({0x97}) + text0("1/TYPE=PLMN") + bytes({0x97}) + text0("2/TYPE=PLMN")},
        {"1; ;2", bytes({0x97}) + text0("1/TYPE=PLMN") + bytes({0x97}) + text0("2/TYPE=PLMN")},
        {";1", bytes({0x97}) + text0("1/TYPE=PLMN")},
        {"", {}},
        {" ; ;", {}},
        {"x@y ; 3", bytes({0x97}) + text0("x@y") + bytes({0x97}) + text0("3/TYPE=PLMN")},
        // Spaces go from phone numbers only; a type of its own stays single.
        {"+49 170 1;Ann Lee <a@b.c>", bytes({0x97}) + text0("+491701/TYPE=PLMN") + bytes({0x97}) + text0("Ann Lee <a@b.c>")},
        {"5/TYPE=PLMN;6/type=plmn", bytes({0x97}) + text0("5/TYPE=PLMN") + bytes({0x97}) + text0("6/type=plmn")},
        // Addresses longer than 60 characters are written whole.
        {"a-rather-long-mailbox-name-of-the-recipient@subdomain.example.org",
         bytes({0x97}) + text0("a-rather-long-mailbox-name-of-the-recipient@subdomain.example.org")},
        {"\xC3\xA9@x", bytes({0x97, 0x7F}) + text0("\xC3\xA9@x")},
        // A first byte below 0x20 would read as a length: an Encoded-string-value.
        {"\x1E@x;\x01", bytes({0x97, 0x05, 0xEA, 0x1E, '@', 'x', 0x00, 0x97, 0x0D, 0xEA, 0x01}) + text0("/TYPE=PLMN")},
    };
    for (const auto &tc : cases) {
        const Bytes w = written([&](qx::Writer &o) { SetAddressList(o, tc.list, 0x97); });
        EXPECT_EQ(hex(w), hex(tc.wire)) << tc.list;
        EXPECT_GE(AddressListSizeBound(tc.list), static_cast<int>(w.size()));
    }
    const std::string lists[] = {
        ";;;;;;", "1;2;3;4;5;6;7;8;9", std::string(500, '7'), std::string(61, '5') + ";" + std::string(60, '4'),
        "\xC3\xA9@a;\xC3\xA9@b", std::string(200, ';') + "1",
    };
    for (const auto &l : lists) {
        const Bytes w = written([&](qx::Writer &o) { SetAddressList(o, l.c_str(), 0x82); });
        EXPECT_GE(AddressListSizeBound(l.c_str()), static_cast<int>(w.size())) << l;
    }
    EXPECT_EQ(AddressListSizeBound(nullptr), 0);
}

TEST(WspText, WritersQuoteHighFirstBytes) {
    EXPECT_EQ(hex(written([](qx::Writer &o) { SetTextString(o, "ab"); })), "61 62 00");
    EXPECT_EQ(hex(written([](qx::Writer &o) { SetQuoteTextString(o, "ab"); })), "61 62 00");
    EXPECT_EQ(hex(written([](qx::Writer &o) { SetQuoteTextString(o, "\x80x"); })), "7F 80 78 00");
    EXPECT_EQ(hex(written([](qx::Writer &o) { SetTextString(o, nullptr); })), "00");
}

// ---------------------------------------------------------------- content types

TEST(WspContentType, TableCodesAndNames) {
    for (int code = 0; code <= 0x34; ++code) {
        char *name = GetContentTypeName(code);
        ASSERT_NE(name, nullptr) << code;
        EXPECT_EQ(GetContentTypeCode(name), code) << name;
        qx::free_ptr(name);
    }
    const std::pair<int, const char *> known[] = {
        {0x03, "text/plain"}, {0x1E, "image/jpeg"}, {0x23, "application/vnd.wap.multipart.mixed"},
        {0x33, "application/vnd.wap.multipart.related"}, {0x12, "application/x-www-form-rulencoded"},
        {0x48, "application/vnd.oma.drm.message"}, {0x4B, "application/vnd.oma.drm.rights+wbxml"},
    };
    for (auto [code, text] : known) EXPECT_EQ(take(GetContentTypeName(code)), text);
    for (int code : {0x35, 0x47, 0x4C, 0x7F, 0x80, -1}) EXPECT_EQ(GetContentTypeName(code), nullptr) << code;
    EXPECT_EQ(GetContentTypeCode("application/smil"), 0xFF);
    EXPECT_EQ(GetContentTypeCode("multipart/mixed"), 0xFF);
    EXPECT_EQ(GetContentTypeCode("Multipart/mixed"), 0x0C);
    EXPECT_EQ(GetContentTypeCode("application/vnd.oma.drm.message"), 0xFF);
    EXPECT_EQ(GetContentTypeCode(""), 0xFF);
    EXPECT_EQ(GetContentTypeCode(nullptr), 0xFF);
}

struct CtExpect {
    std::string type = "<null>";
    std::string name = "<null>";
    int hasCharset = 0;
    int charset = 0;
    int fwdPresent = 0;
    int fwdValue = 0;
    Bytes fwdParam{};
};

void expect_ct(const tMMS_ContentType *ct, const CtExpect &e, const std::string &where) {
    ASSERT_NE(ct, nullptr) << where;
    EXPECT_EQ(ct->Content_Type ? ct->Content_Type : "<null>", e.type) << where;
    EXPECT_EQ(ct->Name_Param ? ct->Name_Param : "<null>", e.name) << where;
    EXPECT_EQ(ct->Has_Charset, e.hasCharset) << where;
    EXPECT_EQ(ct->Charset, e.charset) << where;
    EXPECT_EQ(ct->Fwd_Present, e.fwdPresent) << where;
    EXPECT_EQ(ct->Fwd_Value, e.fwdValue) << where;
    EXPECT_EQ(hex(ct->Fwd_Param, static_cast<size_t>(ct->Fwd_Param_Len)), hex(e.fwdParam)) << where;
}

TEST(WspContentType, ShortAndTextForms) {
    struct Case {
        Bytes in;
        CtExpect e;
        int consumed;
    };
    const Case cases[] = {
        {bytes({0x83, 0x99}), {.type = "text/plain"}, 1},
        {bytes({0xC8}), {.type = "application/vnd.oma.drm.message"}, 1},
        {bytes({0xD0}), {}, 1},
        {text0("application/smil") + bytes({0x01}), {.type = "application/smil"}, 17},
    };
    for (const auto &tc : cases) {
        HeapCopy h(tc.in);
        WspCursor c = wsp_cursor(h.data(), h.size());
        int consumed = -1;
        tMMS_ContentType *ct = GetContentTypeValue(c, &consumed);
        expect_ct(ct, tc.e, hex(tc.in));
        EXPECT_EQ(consumed, tc.consumed);
        EXPECT_EQ(c.p - h.data(), tc.consumed) << "short and text forms move the cursor";
        FreeContentTypeValue(ct);
    }
}

// General-form value: Value-length, then the bytes.
Bytes general(const Bytes &v) {
    uint8_t len[6];
    qx::Writer w = qx::Writer::over(len, sizeof len);
    const int n = SetLengthValue(w, static_cast<uint32_t>(v.size()));
    return Bytes(len, len + n) + v;
}

TEST(WspContentType, GeneralFormParameters) {
    struct Case {
        const char *what;
        Bytes value;
        CtExpect e;
    };
    const Bytes fwdNo = str("fwd") + bytes({0}) + str("no") + bytes({0});
    const Bytes fwdYesQuoted = str("FwD=") + bytes({0x22}) + str("YeS") + bytes({0x22, 0});
    const Bytes fwdNoQuoted0 = str("fwd") + bytes({0, 0}) + str("no") + bytes({0, 0});
    const Bytes fwdYes = str("fwd=") + str("yes") + bytes({0});
    const Case cases[] = {
        {"charset short", bytes({0x83, 0x81, 0xEA}), {.type = "text/plain", .hasCharset = 1, .charset = 106}},
        {"charset two bytes", bytes({0x83, 0x81, 0x02, 0x03, 0xE8}),
         {.type = "text/plain", .hasCharset = 1, .charset = 1000}},
        {"charset one-byte long", bytes({0x83, 0x81, 0x01, 0x6A}),
         {.type = "text/plain", .hasCharset = 1, .charset = 106}},
        {"charset three-byte long", bytes({0x83, 0x81, 0x03, 0x00, 0x03, 0xF7}),
         {.type = "text/plain", .hasCharset = 1, .charset = 1015}},
        {"name quoted", bytes({0x9E, 0x85, 0x7F}) + text0("a.jpg"), {.type = "image/jpeg", .name = "a.jpg"}},
        {"name then charset", bytes({0x83, 0x85}) + text0("t.txt") + bytes({0x81, 0x84}),
         {.type = "text/plain", .name = "t.txt", .hasCharset = 1, .charset = 4}},
        {"type code, start, start-info skipped",
         bytes({0xB3, 0x89, 0x83, 0x8A}) + text0("<s>") + bytes({0x8B}) + text0("i") + bytes({0x85}) + text0("n"),
         {.type = "application/vnd.wap.multipart.related", .name = "n"}},
        {"type text skipped", bytes({0xB3, 0x89}) + text0("application/smil") + bytes({0x85}) + text0("n"),
         {.type = "application/vnd.wap.multipart.related", .name = "n"}},
        {"text media", text0("image/x-foo") + bytes({0x85}) + text0("f"), {.type = "image/x-foo", .name = "f"}},
        {"unlisted code", bytes({0xD0, 0x85}) + text0("f"), {.name = "f"}},
        {"fwd no", bytes({0x83}) + fwdNo, {.type = "text/plain", .fwdPresent = 1, .fwdValue = 0, .fwdParam = fwdNo}},
        {"fwd yes quoted", bytes({0x83}) + fwdYesQuoted + bytes({0x85}) + text0("n"),
         {.type = "text/plain", .name = "n", .fwdPresent = 1, .fwdValue = 1, .fwdParam = fwdYesQuoted}},
        {"fwd no framed by zero bytes", bytes({0x83}) + fwdNoQuoted0,
         {.type = "text/plain", .fwdPresent = 1, .fwdParam = fwdNoQuoted0}},
        {"fwd yes", bytes({0x83}) + fwdYes, {.type = "text/plain", .fwdPresent = 1, .fwdValue = 1, .fwdParam = fwdYes}},
        {"fwd other value", bytes({0x83}) + str("fwd") + bytes({0}) + text0("maybe"),
         {.type = "text/plain", .fwdPresent = 1, .fwdParam = str("fwd") + bytes({0})}},
        {"fwd without separator stops", bytes({0x83}) + text0("fwdx") + bytes({0x85}) + text0("n"),
         {.type = "text/plain"}},
        {"untyped text parameter stepped over", bytes({0x83}) + text0("abc") + text0("x") + bytes({0x85}) + text0("n"),
         {.type = "text/plain", .name = "n"}},
        {"untyped integer parameter stepped over", bytes({0x83}) + text0("abc") + bytes({0x02, 0x01, 0x02, 0x85}) + text0("n"),
         {.type = "text/plain", .name = "n"}},
        {"WSP 1.4 Name", bytes({0x83, 0x97}) + text0("n14"), {.type = "text/plain", .name = "n14"}},
        {"Filename names a part without Name", bytes({0x83, 0x98}) + text0("f.txt"), {.type = "text/plain", .name = "f.txt"}},
        {"Name wins over Filename", bytes({0x83, 0x86}) + text0("f") + bytes({0x85}) + text0("n") + bytes({0x98}) + text0("g"),
         {.type = "text/plain", .name = "n"}},
        {"code 0x84 stops", bytes({0x83, 0x84, 0x85}) + text0("n"), {.type = "text/plain"}},
        {"empty value", {}, {}},
        {"name cut by the value end", bytes({0x83, 0x81, 0xEA, 0x85, 'a', 'b'}),
         {.type = "text/plain", .hasCharset = 1, .charset = 106}},
        {"media cut by the value end", str("image/png"), {.type = "image/png"}},
    };
    for (const auto &tc : cases) {
        const Bytes wire = general(tc.value) + bytes({0xEE});
        HeapCopy h(wire);
        WspCursor c = wsp_cursor(h.data(), h.size());
        int consumed = -1;
        tMMS_ContentType *ct = GetContentTypeValue(c, &consumed);
        expect_ct(ct, tc.e, tc.what);
        EXPECT_EQ(consumed, static_cast<int>(wire.size()) - 1) << tc.what;
        EXPECT_EQ(c.p, h.data()) << "the general form does not move the cursor: " << tc.what;
        EXPECT_FALSE(c.truncated);
        FreeContentTypeValue(ct);
    }
}

TEST(WspContentType, WellKnownParametersAreSteppedOver) {
    // Q, Level, Type, Filename, Differences, Padding, Comment, Domain,
    // Secure, Size, Start (1.4), Comment (1.4), each with a value in its
    // encoding, then the Name.
    const Bytes params[] = {
        bytes({0x80, 0x81, 0x10}), bytes({0x82, 0x91}),       bytes({0x83, 0x01, 0x05}), bytes({0x86}) + text0("f"),
        bytes({0x87, 0x85}),       bytes({0x88, 0x80}),       bytes({0x8C}) + text0("c"), bytes({0x8D}) + text0("d"),
        bytes({0x90, 0x00}),       bytes({0x96, 0x02, 0x10, 0x00}), bytes({0x99}) + text0("<s>"),
        bytes({0x9B}) + text0("c"),
    };
    for (const Bytes &param : params) {
        const Bytes wire = general(bytes({0x83}) + param + bytes({0x85}) + text0("n"));
        HeapCopy h(wire);
        WspCursor c = wsp_cursor(h.data(), h.size());
        int consumed = 0;
        tMMS_ContentType *ct = GetContentTypeValue(c, &consumed);
        ASSERT_NE(ct, nullptr);
        EXPECT_STREQ(ct->Name_Param, "n") << hex(param);
        EXPECT_EQ(consumed, h.size()) << "the whole value is consumed anyway";
        FreeContentTypeValue(ct);
    }
}

TEST(WspContentType, LongGeneralFormWithUintvarLength) {
    const std::string name(150, 'n');
    const Bytes wire = general(bytes({0x9E, 0x85}) + text0(name));
    ASSERT_EQ(wire[0], 0x1F);
    HeapCopy h(wire);
    WspCursor c = wsp_cursor(h.data(), h.size());
    int consumed = 0;
    tMMS_ContentType *ct = GetContentTypeValue(c, &consumed);
    expect_ct(ct, {.type = "image/jpeg", .name = name}, "long");
    EXPECT_EQ(consumed, h.size());
    FreeContentTypeValue(ct);

    // GetContentGeneralForm on its own reports the same.
    int consumed2 = 0;
    ct = GetContentGeneralForm(wsp_cursor(h.data(), h.size()), &consumed2);
    ASSERT_NE(ct, nullptr);
    EXPECT_EQ(consumed2, consumed);
    FreeContentTypeValue(ct);
}

TEST(WspContentType, AllocationFailures) {
    const Bytes wire = general(text0("image/x-foo") + bytes({0x81, 0xEA, 0x85}) + text0("n") +
                               str("fwd") + bytes({0}) + text0("yes") + bytes({0x85}) + text0("m"));
    const long clean = rrtest::for_each_alloc_failure([&](long) {
        HeapCopy h(wire);
        WspCursor c = wsp_cursor(h.data(), h.size());
        int consumed = -5;
        tMMS_ContentType *ct = GetContentTypeValue(c, &consumed);
        if (ct) {
            EXPECT_STREQ(ct->Name_Param, "m");
            EXPECT_EQ(consumed, h.size());
        } else {
            EXPECT_EQ(consumed, -5) << "no count on failure";
            EXPECT_FALSE(c.truncated);
        }
        FreeContentTypeValue(ct);
    });
    EXPECT_EQ(clean, 5);  // record, media, name, forward-lock bytes, second name
    rrtest::for_each_alloc_failure([&](long) {
        HeapCopy h(bytes({0x9E}));
        WspCursor c = wsp_cursor(h.data(), h.size());
        FreeContentTypeValue(GetContentTypeValue(c, nullptr));
    });
}

TEST(WspContentType, RoundTripOfWrittenValues) {
    // Values written with the writers the body encoder uses.
    const std::pair<std::string, int> types[] = {
        {"image/jpeg", 1000}, {"application/smil", 106}, {"audio/amr", -1}, {"text/plain", 4}};
    for (const auto &entry : types) {
        const std::string &type = entry.first;  // named references: lambdas may capture them
        const int charset = entry.second;
        Bytes v = written([&](qx::Writer &o) {
            const int code = GetContentTypeCode(type.c_str());
            if (code != 0xFF)
                o.byte(static_cast<uint8_t>(0x80 | code));
            else
                SetTextString(o, type.c_str());
            o.byte(0x85);
            SetTextString(o, "file.bin");
            if (charset >= 0) {
                o.byte(0x81);
                if (charset < 128) {
                    o.byte(static_cast<uint8_t>(charset + 0x80));
                } else {
                    o.byte(static_cast<uint8_t>(GetIntegerOctets(charset)));
                    SetInteger(o, charset);
                }
            }
        });
        HeapCopy h(general(v));
        WspCursor c = wsp_cursor(h.data(), h.size());
        int consumed = 0;
        tMMS_ContentType *ct = GetContentTypeValue(c, &consumed);
        expect_ct(ct, {.type = type, .name = "file.bin", .hasCharset = charset >= 0 ? 1 : 0,
                       .charset = charset >= 0 ? charset : 0},
                  type);
        FreeContentTypeValue(ct);
    }
}

// ---------------------------------------------------------------- hostile input

// Every proper prefix of a complete value must be refused as truncated
// without reading past the prefix (the copies are exactly sized).
TEST(WspHostile, EveryReaderRefusesEveryTruncation) {
    struct Reader {
        const char *what;
        Bytes full;
        // Returns true when it produced a value.
        bool (*read)(WspCursor &);
    };
    const Reader readers[] = {
        {"text", text0("hello"), [](WspCursor &c) { return take(GetTextString(c, nullptr)) != "<null>"; }},
        {"quote text", bytes({0x7F}) + text0("hi"),
         [](WspCursor &c) { return take(GetQuoteTextString(c, nullptr)) != "<null>"; }},
        {"length short", bytes({0x05}),
         [](WspCursor &c) {
             uint32_t n = 0;
             return GetLengthValue(c, &n) == Got::Value;
         }},
        {"length uintvar", bytes({0x1F, 0x81, 0x80, 0x00}),
         [](WspCursor &c) {
             uint32_t n = 0;
             return GetLengthValue(c, &n) == Got::Value;
         }},
        {"uintvar", bytes({0x8F, 0xFF, 0xFF, 0xFF, 0x7F}), [](WspCursor &c) { return GetUintvar(c) != 0; }},
        {"encoded string", bytes({0x1F, 0x22, 0xEA}) + text0(std::string(32, 'e')),
         [](WspCursor &c) { return take(GetEncodedStringValue(c, nullptr)) != "<null>"; }},
        {"address", bytes({0x7F}) + text0("123/TYPE=PLMN"),
         [](WspCursor &c) { return take(GetAddressValue(c, nullptr)) != "<null>"; }},
        {"content type text", text0("image/png"),
         [](WspCursor &c) {
             tMMS_ContentType *ct = GetContentTypeValue(c, nullptr);
             FreeContentTypeValue(ct);
             return ct != nullptr;
         }},
        {"content type general", general(bytes({0x9E, 0x85}) + text0(std::string(40, 'n')) + bytes({0x81, 0x02, 0x03, 0xE8})),
         [](WspCursor &c) {
             tMMS_ContentType *ct = GetContentTypeValue(c, nullptr);
             FreeContentTypeValue(ct);
             return ct != nullptr;
         }},
    };
    for (const auto &r : readers) {
        {
            HeapCopy h(r.full);
            WspCursor c = wsp_cursor(h.data(), h.size());
            EXPECT_TRUE(r.read(c)) << r.what;
            EXPECT_FALSE(c.truncated) << r.what;
        }
        for (size_t k = 0; k < r.full.size(); ++k) {
            HeapCopy h(r.full.data(), k);
            WspCursor c = wsp_cursor(h.data(), h.size());
            EXPECT_FALSE(r.read(c)) << r.what << " cut at " << k;
            EXPECT_TRUE(c.truncated) << r.what << " cut at " << k;
            EXPECT_EQ(c.p, c.end) << r.what << " cut at " << k;
        }
    }
}

TEST(WspHostile, LongIntegerNeverReadsPastItsInput) {
    const Bytes full = bytes({0x1F, 0x08, 1, 2, 3, 4, 5, 6, 7, 8});
    for (size_t k = 0; k < full.size(); ++k) {
        HeapCopy h(full.data(), k);
        int octets = -1;
        EXPECT_EQ(GetLongInteger(wsp_cursor(h.data(), h.size()), &octets), 0u) << k;
        EXPECT_EQ(octets, static_cast<int>(k)) << k;
    }
}

TEST(WspHostile, GeneralFormClaimingMoreThanGiven) {
    const Bytes cases[] = {
        bytes({0x1F, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F, 0x83}),  // 4 GB claimed
        bytes({0x1E, 0x83, 0x85, 'a', 0}),
        bytes({0x1F, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80}),  // over-long uintvar
    };
    for (const auto &in : cases) {
        HeapCopy h(in);
        WspCursor c = wsp_cursor(h.data(), h.size());
        int consumed = -7;
        EXPECT_EQ(GetContentTypeValue(c, &consumed), nullptr) << hex(in);
        EXPECT_TRUE(c.truncated);
        EXPECT_EQ(consumed, -7);
        EXPECT_EQ(GetContentGeneralForm(wsp_cursor(h.data(), h.size()), &consumed), nullptr);
    }
}

TEST(WspHostile, ParametersNeverLeaveTheValue) {
    // Parameters cut by the value's own length; the byte after the value is a
    // zero that a reader going past the length would take.
    const Bytes values[] = {
        bytes({0x83, 0x81}),
        bytes({0x83, 0x81, 0x04, 0x00, 0x00}),
        bytes({0x83, 0x89}),
        bytes({0x83, 0x89, 'a'}),
        bytes({0x83, 0x8A, 'a'}),
        bytes({0x83, 'f', 'w', 'd'}),
        bytes({0x83, 'f', 'w', 'd', 0, 'y', 'e', 's'}),
    };
    for (const auto &v : values) {
        HeapCopy h(general(v) + bytes({0x00}));
        WspCursor c = wsp_cursor(h.data(), h.size());
        int consumed = 0;
        tMMS_ContentType *ct = GetContentTypeValue(c, &consumed);
        ASSERT_NE(ct, nullptr) << hex(v);
        EXPECT_EQ(consumed, h.size() - 1);
        EXPECT_EQ(ct->Has_Charset, 0) << hex(v);
        if (ct->Fwd_Present) {
            EXPECT_LE(ct->Fwd_Param_Len, 4);
        }
        EXPECT_EQ(ct->Fwd_Value, 0);
        FreeContentTypeValue(ct);
    }
}

}  // namespace
