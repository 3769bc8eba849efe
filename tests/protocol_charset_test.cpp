// Character-set conversion to UTF-8: every charset branch, byte orders,
// broken surrogates, odd lengths, hostile lengths, allocation failure, and
// the whole 16-bit range against a reference written here and against GLib.
#include <glib.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <optional>
#include <random>
#include <string>

#include "MMSProl_Encapsulaton.h"
#include "qx_alloc_test.h"
#include "qx_internal.h"
#include "test_support.h"

namespace {

using rrtest::Bytes;
using rrtest::bytes;
using rrtest::HeapCopy;
using rrtest::operator+;

constexpr int kAscii = 3, kLatin1 = 4, kUtf8 = 106, kUcs2 = 1000, kUtf16 = 1015;
// A MIBenum without a converter, and Big5, converted through iconv.
constexpr int kUnlisted = 3000, kBig5 = 2026;

// Runs the conversion on an exactly sized heap copy. Checks the contract
// around the result (length = bytes before the first zero, null result
// leaves the length alone) and returns the text, or nullopt for null.
std::optional<std::string> convert(int charset, const Bytes &in) {
    HeapCopy h(in);
    int len = h.size();
    char *out = fnMMS_ConvertToUtf8(charset, h.data(), &len);
    if (!out) {
        EXPECT_EQ(len, h.size()) << "a null result must leave the length alone";
        return std::nullopt;
    }
    EXPECT_EQ(len, static_cast<int>(std::strlen(out)));
    std::string s(out, static_cast<size_t>(len));
    fnQX_Free(reinterpret_cast<void **>(&out));
    return s;
}

std::string hexs(const std::optional<std::string> &s) {
    if (!s) return "(null)";
    return rrtest::hex(reinterpret_cast<const uint8_t *>(s->data()), s->size());
}

std::string str(const Bytes &b) { return std::string(b.begin(), b.end()); }

// ---------------------------------------------------------------- reference
// An independent conversion: decode everything to code points first, then
// encode with a table of lead bytes and sizes.

void ref_put(std::string &out, uint32_t cp) {
    static constexpr struct {
        uint32_t below;
        uint8_t lead;
        int size;
    } kForms[] = {{0x80, 0x00, 1}, {0x800, 0xC0, 2}, {0x10000, 0xE0, 3}, {0x110000, 0xF0, 4}};
    for (const auto &f : kForms) {
        if (cp >= f.below) continue;
        char buf[4];
        for (int k = f.size - 1; k > 0; --k, cp >>= 6) buf[k] = static_cast<char>(0x80 | (cp & 0x3F));
        buf[0] = static_cast<char>(f.lead | cp);
        out.append(buf, static_cast<size_t>(f.size));
        return;
    }
    ADD_FAILURE() << "code point out of range";
}

std::string ref_encode(const std::vector<uint32_t> &cps) {
    std::string out;
    for (uint32_t cp : cps) {
        if (cp == 0) break;  // a code point 0 ends the text
        ref_put(out, cp);
    }
    return out;
}

std::optional<std::string> ref_ucs2(const Bytes &in) {
    if (in.size() < 2) return std::nullopt;
    // Without a byte-order mark the text is big-endian from its first byte.
    bool le = false;
    size_t first = 0;
    if (in[0] == 0xFF && in[1] == 0xFE) {
        le = true;
        first = 1;
    } else if (in[0] == 0xFE && in[1] == 0xFF) {
        first = 1;
    }
    std::vector<uint32_t> cps;
    for (size_t k = first; 2 * k + 1 < in.size(); ++k) {
        const uint8_t hi = in[2 * k + (le ? 1 : 0)], lo = in[2 * k + (le ? 0 : 1)];
        cps.push_back(static_cast<uint32_t>(hi) * 256 + lo);
    }
    return ref_encode(cps);
}

std::optional<std::string> ref_utf16(const Bytes &in) {
    // Units first, each in the byte order in force when it is reached.
    std::vector<uint32_t> cps;
    bool le = in.size() >= 2 && in[0] == 0xFF && in[1] == 0xFE;
    auto unit = [&](size_t at) {
        return le ? static_cast<uint32_t>(in[at] | (in[at + 1] << 8)) : static_cast<uint32_t>(in[at] << 8 | in[at + 1]);
    };
    size_t at = 0;
    while (at + 2 <= in.size()) {
        const uint32_t u = unit(at);
        at += 2;
        if (u == 0xFEFF) continue;
        if (u == 0xFFFE) {
            le = !le;
            continue;
        }
        const bool high = u >= 0xD800 && u < 0xDC00, low = u >= 0xDC00 && u < 0xE000;
        if (low) {
            cps.push_back(0xFFFD);
        } else if (high) {
            const uint32_t next = at + 2 <= in.size() ? unit(at) : 0;
            if (next >= 0xDC00 && next < 0xE000) {
                cps.push_back(0x10000 + ((u & 0x3FF) << 10 | (next & 0x3FF)));
                at += 2;
            } else {
                cps.push_back(0xFFFD);
            }
        } else {
            cps.push_back(u);
        }
    }
    return ref_encode(cps);
}

std::optional<std::string> ref_latin1(const Bytes &in) {
    std::vector<uint32_t> cps(in.begin(), in.end());
    return ref_encode(cps);
}

std::optional<std::string> ref_copy(const Bytes &in) {
    const std::string s = str(in);
    return s.substr(0, s.find('\0'));
}

std::optional<std::string> reference(int charset, const Bytes &in) {
    if (in.empty()) return std::nullopt;
    switch (charset) {
        case kLatin1:
            return ref_latin1(in);
        case kUcs2:
            return ref_ucs2(in);
        case kUtf16:
            return ref_utf16(in);
        default:
            return ref_copy(in);
    }
}

// Bytes of a sequence of 16-bit units in one byte order.
Bytes units(std::initializer_list<uint32_t> us, bool le = false) {
    Bytes b;
    for (uint32_t u : us) {
        if (le) {
            b.push_back(static_cast<uint8_t>(u));
            b.push_back(static_cast<uint8_t>(u >> 8));
        } else {
            b.push_back(static_cast<uint8_t>(u >> 8));
            b.push_back(static_cast<uint8_t>(u));
        }
    }
    return b;
}

// ---------------------------------------------------------------- tables

struct Case {
    const char *what;
    int charset;
    Bytes in;
    std::optional<Bytes> want;  // nullopt: null result
};

void run_cases(const std::vector<Case> &cases) {
    for (const auto &c : cases) {
        const auto got = convert(c.charset, c.in);
        const std::optional<std::string> want = c.want ? std::optional<std::string>(str(*c.want)) : std::nullopt;
        EXPECT_EQ(hexs(got), hexs(want)) << c.what << ": charset " << c.charset << " input " << rrtest::hex(c.in);
        // The reference must agree with every table entry as well.
        EXPECT_EQ(hexs(reference(c.charset, c.in)), hexs(want)) << "reference: " << c.what;
    }
}

TEST(CharsetConversion, CopiedCharsets) {
    run_cases({
        {"utf-8", kUtf8, bytes({0x61, 0x62, 0x63}), bytes({0x61, 0x62, 0x63})},
        {"us-ascii", kAscii, bytes({0x61, 0x62, 0x63}), bytes({0x61, 0x62, 0x63})},
        {"unlisted", kUnlisted, bytes({0x61, 0x62, 0x63}), bytes({0x61, 0x62, 0x63})},
        {"negative", -7, bytes({0xE9, 0x41}), bytes({0xE9, 0x41})},
        {"utf-8 multibyte kept", kUtf8, bytes({0xE2, 0x82, 0xAC, 0x31}), bytes({0xE2, 0x82, 0xAC, 0x31})},
        {"stops at zero", kUtf8, bytes({'a', 'b', 0, 'c', 'd'}), bytes({'a', 'b'})},
        {"leading zero", kAscii, bytes({0, 'x'}), Bytes{}},
        {"one byte", kUtf8, bytes({0xFF}), bytes({0xFF})},
        {"ucs-2 number for another charset", 1002, bytes({0xFE, 0xFF, 0, 0x41}), bytes({0xFE, 0xFF})},
    });
}

TEST(CharsetConversion, Latin1) {
    run_cases({
        {"cafe", kLatin1, bytes({0x63, 0x61, 0x66, 0xE9}), bytes({0x63, 0x61, 0x66, 0xC3, 0xA9})},
        {"edges", kLatin1, bytes({0x7F, 0x80, 0xBF, 0xC0, 0xFF}),
         bytes({0x7F, 0xC2, 0x80, 0xC2, 0xBF, 0xC3, 0x80, 0xC3, 0xBF})},
        {"all high", kLatin1, Bytes(40, 0xFF), [] {
             Bytes b;
             for (int i = 0; i < 40; ++i) b = b + bytes({0xC3, 0xBF});
             return b;
         }()},
        {"stops at zero", kLatin1, bytes({0xE9, 0, 0xE9}), bytes({0xC3, 0xA9})},
    });
}

TEST(CharsetConversion, Ucs2) {
    run_cases({
        {"big-endian", kUcs2, bytes({0xFE, 0xFF, 0x00, 0x41, 0x04, 0x10}), bytes({0x41, 0xD0, 0x90})},
        {"little-endian", kUcs2, bytes({0xFF, 0xFE, 0x41, 0x00, 0x10, 0x04}), bytes({0x41, 0xD0, 0x90})},
        {"no mark is big-endian", kUcs2, bytes({0x00, 0x41, 0x04, 0x10}), bytes({0x41, 0xD0, 0x90})},
        {"one byte", kUcs2, bytes({0xFE}), std::nullopt},
        {"mark only", kUcs2, bytes({0xFE, 0xFF}), Bytes{}},
        {"odd byte ignored", kUcs2, bytes({0xFE, 0xFF, 0x00, 0x41, 0x04}), bytes({0x41})},
        {"two-byte top", kUcs2, bytes({0xFE, 0xFF, 0x07, 0xFF}), bytes({0xDF, 0xBF})},
        {"three-byte bottom", kUcs2, bytes({0xFE, 0xFF, 0x08, 0x00}), bytes({0xE0, 0xA0, 0x80})},
        {"top unit", kUcs2, bytes({0xFE, 0xFF, 0xFF, 0xFF}), bytes({0xEF, 0xBF, 0xBF})},
        // UCS-2 has no pairs: each surrogate unit is written on its own.
        {"surrogates unpaired", kUcs2, bytes({0xFE, 0xFF, 0xD8, 0x3D, 0xDE, 0x00}),
         bytes({0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80})},
        // Only the first unit is a mark; later ones are text.
        {"later marks are text", kUcs2, bytes({0xFF, 0xFE, 0xFF, 0xFE, 0xFE, 0xFF}),
         bytes({0xEF, 0xBB, 0xBF, 0xEF, 0xBF, 0xBE})},
        {"stops at zero", kUcs2, bytes({0xFE, 0xFF, 0x00, 0x41, 0x00, 0x00, 0x00, 0x42}), bytes({0x41})},
    });
}

TEST(CharsetConversion, Utf16) {
    run_cases({
        {"pair, no mark", kUtf16, bytes({0xD8, 0x3D, 0xDE, 0x00}), bytes({0xF0, 0x9F, 0x98, 0x80})},
        {"little-endian mark", kUtf16, bytes({0xFF, 0xFE, 0x41, 0x00}), bytes({0x41})},
        {"reversed mark switches", kUtf16, bytes({0xFE, 0xFF, 0x00, 0x41, 0xFF, 0xFE, 0x42, 0x00}),
         bytes({0x41, 0x42})},
        {"switch back and forth", kUtf16, units({0x41, 0xFFFE}) + units({0x42, 0xFFFE}, true) + units({0x43}),
         bytes({0x41, 0x42, 0x43})},
        {"marks anywhere dropped", kUtf16, units({0xFEFF, 0x41, 0xFEFF, 0xFEFF, 0x42}), bytes({0x41, 0x42})},
        {"pair little-endian", kUtf16, bytes({0xFF, 0xFE, 0x3D, 0xD8, 0x00, 0xDE}), bytes({0xF0, 0x9F, 0x98, 0x80})},
        {"highest pair", kUtf16, units({0xDBFF, 0xDFFF}), bytes({0xF4, 0x8F, 0xBF, 0xBF})},
        {"lowest pair", kUtf16, units({0xD800, 0xDC00}), bytes({0xF0, 0x90, 0x80, 0x80})},
        {"odd byte ignored", kUtf16, bytes({0x00, 0x41, 0x00}), bytes({0x41})},
        {"one byte", kUtf16, bytes({0x41}), Bytes{}},
        {"stops at zero", kUtf16, units({0x41, 0x0000, 0x42}), bytes({0x41})},
        {"three-byte forms", kUtf16, units({0x0800, 0x20AC, 0xFFFD}),
         bytes({0xE0, 0xA0, 0x80, 0xE2, 0x82, 0xAC, 0xEF, 0xBF, 0xBD})},
    });
}

// Charsets converted through iconv, against texts whose UTF-8 is known; a
// byte that does not convert (or a sequence cut off by the end) becomes
// U+FFFD and the rest of the text is kept.
TEST(CharsetConversion, OtherCharsetsByTheirMibenum) {
    rrtest::LeakCheck leaks;
    const std::string fffd = "\xEF\xBF\xBD";
    const struct {
        int charset;
        Bytes in;
        std::string want;
    } cases[] = {
        {36, bytes({0xC7, 0xD1, 0xB1, 0xB9}), "\xED\x95\x9C\xEA\xB5\xAD"},  // KS_C_5601: 한국
        {38, bytes({0x41, 0xC7, 0xD1}), "A\xED\x95\x9C"},                      // EUC-KR
        {17, bytes({0x82, 0xA0, 0x41}), "\xE3\x81\x82" "A"},                  // Shift_JIS: あ
        {17, bytes({0x5C, 0x7E, 0x87, 0x40}), "\\~\xE2\x91\xA0"},           // Shift_JIS as CP932: ASCII kept, ①
        {18, bytes({0xA4, 0xA2}), "\xE3\x81\x82"},                           // EUC-JP: あ
        {2025, bytes({0xC4, 0xE3}), "\xE4\xBD\xA0"},                         // GB2312: 你
        {113, bytes({0x81, 0x40}), "\xE4\xB8\x82"},                          // GBK: 丂
        {114, bytes({0x81, 0x30, 0x81, 0x30}), "\xC2\x80"},                   // GB18030: U+0080
        {2026, bytes({0xA4, 0x40}), "\xE4\xB8\x80"},                         // Big5: 一
        {2084, bytes({0xC1, 0xC2}), "\xD0\xB0\xD0\xB1"},                     // KOI8-R: аб
        {2251, bytes({0xE0, 0xE1}), "\xD0\xB0\xD0\xB1"},                     // windows-1251: аб
        {2252, bytes({0x80, 0x31}), "\xE2\x82\xAC" "1"},                      // windows-1252: €1
        {5, bytes({0xB1}), "\xC4\x85"},                                       // ISO-8859-2: ą
        {111, bytes({0xA4}), "\xE2\x82\xAC"},                                // ISO-8859-15: €
        {1013, bytes({0x00, 0x41, 0xAC, 0x00}), "A\xEA\xB0\x80"},             // UTF-16BE: A가
        {1014, bytes({0x41, 0x00, 0x00, 0xAC}), "A\xEA\xB0\x80"},             // UTF-16LE
        // Bytes that do not convert.
        {36, bytes({0x41, 0xFF, 0x42}), "A" + fffd + "B"},
        {36, bytes({0x41, 0xC7}), "A" + fffd},                                 // cut-off sequence
        {17, bytes({0x82}), fffd},
        {2252, bytes({0x81, 0x41}), fffd + "A"},                               // unassigned in windows-1252
        {1013, bytes({0x00, 0x41, 0x00}), "A" + fffd},                         // odd byte of UTF-16BE
    };
    for (const auto &c : cases) {
        const auto got = convert(c.charset, c.in);
        ASSERT_TRUE(got) << c.charset << " " << rrtest::hex(c.in);
        EXPECT_EQ(*got, c.want) << c.charset << " " << rrtest::hex(c.in);
    }
}

TEST(CharsetConversion, Utf16BrokenSurrogatesBecomeReplacementCharacters) {
    const Bytes fffd = bytes({0xEF, 0xBF, 0xBD});
    run_cases({
        {"low alone", kUtf16, units({0xDC00}), fffd},
        {"low alone between text", kUtf16, units({0x41, 0xDFFF, 0x42}), bytes({0x41}) + fffd + bytes({0x42})},
        {"high at the end", kUtf16, units({0x41, 0xD83D}), bytes({0x41}) + fffd},
        {"high alone", kUtf16, units({0xD800}), fffd},
        {"high then odd byte", kUtf16, units({0xD83D}) + bytes({0xDE}), fffd},
        {"high then text", kUtf16, units({0xD83D, 0x0041}), fffd + bytes({0x41})},
        {"high then high then low", kUtf16, units({0xD800, 0xD83D, 0xDE00}), fffd + bytes({0xF0, 0x9F, 0x98, 0x80})},
        {"two highs", kUtf16, units({0xDBFF, 0xDBFF}), fffd + fffd},
        {"low then high", kUtf16, units({0xDC00, 0xD800}), fffd + fffd},
        {"high then mark", kUtf16, units({0xD800, 0xFEFF, 0x41}), fffd + bytes({0x41})},
        {"high then zero", kUtf16, units({0xD800, 0x0000, 0x41}), fffd},
        {"little-endian low alone", kUtf16, bytes({0xFF, 0xFE, 0x00, 0xDC, 0x41, 0x00}), fffd + bytes({0x41})},
    });
}

TEST(CharsetConversion, NoInputGivesNullAndKeepsTheLength) {
    const uint8_t text[] = {0x61, 0x62};
    for (int charset : {kAscii, kLatin1, kUtf8, kUcs2, kUtf16, kUnlisted, kBig5}) {
        for (int claimed : {0, -1, INT_MIN}) {
            int len = claimed;
            EXPECT_EQ(fnMMS_ConvertToUtf8(charset, text, &len), nullptr) << charset << "/" << claimed;
            EXPECT_EQ(len, claimed);
        }
        int len = 2;
        EXPECT_EQ(fnMMS_ConvertToUtf8(charset, nullptr, &len), nullptr);
        EXPECT_EQ(len, 2);
        EXPECT_EQ(fnMMS_ConvertToUtf8(charset, text, nullptr), nullptr);
    }
}

TEST(CharsetConversion, HugeClaimedLengthsAreRefusedBeforeAnyRead) {
    // The lengths overflow 32-bit buffer arithmetic in every branch; the
    // conversion must give up instead of sizing a small buffer or reading on.
    rrtest::LeakCheck leaks;
    HeapCopy text(bytes({0xFE, 0xFF}));
    for (int charset : {kAscii, kLatin1, kUtf8, kUcs2, kUtf16, kUnlisted, kBig5}) {
        for (int claimed : {INT_MAX, INT_MAX - 1, 0x7FFFFFF8, 0x40000000, 0x55555556}) {
            int len = claimed;
            EXPECT_EQ(fnMMS_ConvertToUtf8(charset, text.data(), &len), nullptr) << charset << "/" << claimed;
            EXPECT_EQ(len, claimed);
        }
    }
}

TEST(CharsetConversion, ResultLengthCountsOnlyTheGivenBytes) {
    // A length shorter than the buffer: nothing after it is converted.
    HeapCopy text(bytes({0xFE, 0xFF, 0x00, 0x41, 0x00, 0x42}));
    for (int charset : {kUcs2, kUtf16, kLatin1, kUtf8}) {
        int len = 4;
        char *out = fnMMS_ConvertToUtf8(charset, text.data(), &len);
        ASSERT_NE(out, nullptr);
        const auto want = reference(charset, Bytes(text.data(), text.data() + 4));
        ASSERT_TRUE(want);
        EXPECT_EQ(std::string(out, static_cast<size_t>(len)), *want) << charset;
        fnQX_Free(reinterpret_cast<void **>(&out));
    }
}

// ---------------------------------------------------------------- whole range

// Every 16-bit unit in one text, both byte orders, UCS-2 and UTF-16.
TEST(CharsetConversion, EveryUnitInOneTextMatchesTheReference) {
    rrtest::LeakCheck leaks;
    for (bool le : {false, true}) {
        Bytes in = le ? bytes({0xFF, 0xFE}) : bytes({0xFE, 0xFF});
        for (uint32_t u = 1; u <= 0xFFFF; ++u) {
            // A reversed mark would switch the UTF-16 reader's order for the
            // rest; keep it to the last run below.
            if (u == 0xFFFE) continue;
            in.push_back(static_cast<uint8_t>(le ? u : u >> 8));
            in.push_back(static_cast<uint8_t>(le ? u >> 8 : u));
        }
        for (int charset : {kUcs2, kUtf16}) {
            const auto got = convert(charset, in);
            const auto want = reference(charset, in);
            ASSERT_TRUE(got && want);
            EXPECT_EQ(got->size(), want->size()) << charset << (le ? " LE" : " BE");
            EXPECT_TRUE(*got == *want) << charset << (le ? " LE" : " BE");
        }
    }
}

// Each unit alone (exactly two bytes, or a mark and two bytes) against the
// reference, and the non-surrogate ones against GLib's converter too.
TEST(CharsetConversion, EachUnitAloneMatchesReferenceAndGlib) {
    rrtest::LeakCheck leaks;
    int checkedWithGlib = 0;
    for (uint32_t u = 0; u <= 0xFFFF; ++u) {
        const Bytes be = units({u});
        const auto utf16 = convert(kUtf16, be);
        const auto ucs2 = convert(kUcs2, bytes({0xFF, 0xFE}) + units({u}, true));
        ASSERT_EQ(hexs(utf16), hexs(ref_utf16(be))) << std::hex << u;
        ASSERT_EQ(hexs(ucs2), hexs(ref_ucs2(bytes({0xFE, 0xFF}) + be))) << std::hex << u;
        const bool surrogate = u >= 0xD800 && u <= 0xDFFF;
        if (surrogate || u == 0 || u == 0xFEFF || u == 0xFFFE) continue;
        gsize written = 0;
        gchar *g = g_convert(reinterpret_cast<const gchar *>(be.data()), 2, "UTF-8", "UTF-16BE", nullptr, &written,
                             nullptr);
        if (!g) continue;  // a unit GLib refuses (none expected outside the surrogates)
        ++checkedWithGlib;
        ASSERT_EQ(*utf16, std::string(g, written)) << std::hex << u;
        ASSERT_EQ(*ucs2, std::string(g, written)) << std::hex << u;
        g_free(g);
    }
    EXPECT_GT(checkedWithGlib, 0xF000);
}

TEST(CharsetConversion, SurrogatePairsMatchGlib) {
    rrtest::LeakCheck leaks;
    for (uint32_t hi = 0xD800; hi <= 0xDBFF; hi += 0x1F) {
        for (uint32_t lo : {0xDC00u, 0xDC01u, 0xDE00u, 0xDFFEu, 0xDFFFu}) {
            const Bytes in = units({0x41, hi, lo, 0x42});
            gsize written = 0;
            gchar *g = g_convert(reinterpret_cast<const gchar *>(in.data()), static_cast<gssize>(in.size()), "UTF-8",
                                 "UTF-16BE", nullptr, &written, nullptr);
            ASSERT_NE(g, nullptr);
            EXPECT_EQ(hexs(convert(kUtf16, in)), hexs(std::string(g, written))) << std::hex << hi << " " << lo;
            g_free(g);
        }
    }
}

// Random texts of every charset and length against the reference; the
// heap copies are exact, so a read past the length trips the sanitizer.
TEST(CharsetConversion, RandomTextsMatchTheReference) {
    rrtest::LeakCheck leaks;
    std::mt19937 rng(20240611);
    const int charsets[] = {kAscii, kLatin1, kUtf8, kUcs2, kUtf16, kUnlisted};
    for (int round = 0; round < 20000; ++round) {
        const int charset = charsets[round % 6];
        Bytes in(1 + rng() % 40);
        // Bias towards the bytes that matter: marks, surrogates, high bytes.
        static constexpr uint8_t kInteresting[] = {0xFE, 0xFF, 0xD8, 0xDB, 0xDC, 0xDF, 0x00, 0x80, 0x08, 0x41};
        for (auto &b : in) b = (rng() % 3) ? kInteresting[rng() % 10] : static_cast<uint8_t>(rng());
        if (charset == kUcs2 && rng() % 4) {
            in[0] = 0xFE;
            if (in.size() > 1) in[1] = 0xFF;
            if (rng() % 2 && in.size() > 1) std::swap(in[0], in[1]);
        }
        ASSERT_EQ(hexs(convert(charset, in)), hexs(reference(charset, in)))
            << "charset " << charset << " input " << rrtest::hex(in);
    }
}

// The largest output each branch can produce for its input length.
TEST(CharsetConversion, WorstCaseOutputsFitTheirBuffers) {
    rrtest::LeakCheck leaks;
    for (size_t n : {1u, 2u, 3u, 4u, 5u, 63u, 64u, 4097u}) {
        const Bytes high(n, 0xFF);
        EXPECT_EQ(convert(kLatin1, high).value().size(), 2 * n);
        Bytes threeByte;
        for (size_t k = 0; k < n; ++k) threeByte = threeByte + units({0xE000 + static_cast<uint32_t>(k % 0x100)});
        EXPECT_EQ(convert(kUtf16, threeByte).value().size(), 3 * n);
        EXPECT_EQ(convert(kUcs2, bytes({0xFE, 0xFF}) + threeByte).value().size(), 3 * n);
        Bytes lone;
        for (size_t k = 0; k < n; ++k) lone = lone + units({0xDC00});
        EXPECT_EQ(convert(kUtf16, lone).value().size(), 3 * n);
        Bytes trailingHigh = threeByte + units({0xD800});
        EXPECT_EQ(convert(kUtf16, trailingHigh).value().size(), 3 * n + 3);
    }
}

// ---------------------------------------------------------------- failures

TEST(CharsetConversion, AllocationFailureGivesNullWithoutLeaks) {
    struct Input {
        int charset;
        Bytes in;
        long allocations;
    };
    const Input inputs[] = {
        {kUtf8, bytes({'a', 'b'}), 1},
        {kAscii, bytes({'a'}), 1},
        {kLatin1, bytes({0xE9}), 1},
        {kUcs2, bytes({0xFE, 0xFF, 0, 0x41}), 1},
        {kUtf16, bytes({0xD8, 0x3D, 0xDE, 0x00}), 2},  // code points, then the text
        {kUnlisted, bytes({'z'}), 1},
        {kBig5, bytes({0xA4, 0x40}), 1},
    };
    for (const auto &input : inputs) {
        HeapCopy h(input.in);
        const long clean = rrtest::for_each_alloc_failure([&](long) {
            int len = h.size();
            char *out = fnMMS_ConvertToUtf8(input.charset, h.data(), &len);
            if (qx::alloc_fail_fired()) {
                EXPECT_EQ(out, nullptr);
                EXPECT_EQ(len, h.size());
            } else {
                EXPECT_NE(out, nullptr);
            }
            fnQX_Free(reinterpret_cast<void **>(&out));
        });
        EXPECT_EQ(clean, input.allocations) << "charset " << input.charset;
    }
}

TEST(CharsetConversion, ResultIsOneOwnedBlock) {
    rrtest::LeakCheck leaks;
    HeapCopy h(bytes({0xFF, 0xFE, 0x3D, 0xD8, 0x00, 0xDE}));
    const long before = qx::alloc_stats().liveBlocks;
    int len = h.size();
    char *out = fnMMS_ConvertToUtf8(kUtf16, h.data(), &len);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(qx::alloc_stats().liveBlocks, before + 1) << "the code point buffer must be released";
    fnQX_Free(reinterpret_cast<void **>(&out));
}

}  // namespace
