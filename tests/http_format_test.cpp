// fnQX_FormatBounded against the C library's snprintf over generated tables of
// conversions, flags, widths, precisions, length modifiers and values, plus
// the library's own forms (p letters, '*' rules, unknown conversions).
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "qx_stack_http.h"

namespace {

struct Result {
    std::string text;
    int ret;
};

// Formats into an exactly sized heap buffer so any write past size is caught.
Result vours(int size, const char *fmt, va_list ap) {
    std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 1, '\x7f');
    const int r = fnQX_FormatBounded(size > 0 ? buf.data() : nullptr, size, fmt, ap);
    Result res{"", r};
    if (size > 0) {
        const void *z = std::memchr(buf.data(), 0, buf.size());
        EXPECT_NE(z, nullptr) << "not terminated: " << fmt;
        if (z) res.text.assign(buf.data(), static_cast<size_t>(static_cast<const char *>(z) - buf.data()));
    }
    return res;
}

Result ours(int size, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    Result r = vours(size, fmt, ap);
    va_end(ap);
    return r;
}

int raw(char *dst, int size, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int r = fnQX_FormatBounded(dst, size, fmt, ap);
    va_end(ap);
    return r;
}

std::string vref(const char *fmt, va_list ap) {
    va_list ap2;
    va_copy(ap2, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, ap2);
    va_end(ap2);
    std::string s(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(s.data(), s.size(), fmt, ap);
    s.resize(static_cast<size_t>(n));
    return s;
}

// Compares one case with the reference at a roomy size, cut by one
// character, at size 1 and at size 0. Returns false on the first mismatch.
// (The formats come as C strings: va_start needs a last named parameter that
// is no reference.)
bool same_as_reference_c(const char *fmtText, const char *refText, ...) {
    const std::string fmt(fmtText), refFmt(refText);
    va_list ap;
    va_start(ap, refText);
    va_list a1, a2, a3, a4;
    va_copy(a1, ap);
    va_copy(a2, ap);
    va_copy(a3, ap);
    va_copy(a4, ap);
    const std::string want = vref(refFmt.c_str(), ap);
    const int len = static_cast<int>(want.size());
    bool ok = true;
    const Result full = vours(len + 64, fmt.c_str(), a1);
    if (full.text != want || full.ret != len) {
        ADD_FAILURE() << "format \"" << fmt << "\": got \"" << full.text << "\" (" << full.ret << "), want \"" << want
                      << "\" (" << len << ")";
        ok = false;
    }
    if (ok && len > 0) {
        const Result cut = vours(len, fmt.c_str(), a2);
        if (cut.text != want.substr(0, static_cast<size_t>(len - 1)) || cut.ret != len) {
            ADD_FAILURE() << "format \"" << fmt << "\" cut at " << len << ": got \"" << cut.text << "\" (" << cut.ret
                          << ")";
            ok = false;
        }
        const Result one = vours(1, fmt.c_str(), a3);
        if (!one.text.empty() || one.ret != 1) {
            ADD_FAILURE() << "format \"" << fmt << "\" at size 1 gave " << one.ret;
            ok = false;
        }
    }
    const Result none = vours(0, fmt.c_str(), a4);
    if (none.ret != len) {
        ADD_FAILURE() << "format \"" << fmt << "\" at size 0 gave " << none.ret << ", want " << len;
        ok = false;
    }
    va_end(a1);
    va_end(a2);
    va_end(a3);
    va_end(a4);
    va_end(ap);
    return ok;
}
template <typename... Args>
bool same_as_reference(const std::string &fmt, const std::string &refFmt, Args... args) {
    return same_as_reference_c(fmt.c_str(), refFmt.c_str(), args...);
}

// Every subset of the five flags, in a fixed order.
std::vector<std::string> flag_sets() {
    std::vector<std::string> v;
    for (int m = 0; m < 32; ++m) {
        std::string f;
        for (int b = 0; b < 5; ++b)
            if (m & (1 << b)) f += "-+ #0"[b];
        v.push_back(f);
    }
    return v;
}

struct Mod {
    const char *ours;
    const char *ref;
};

TEST(FormatIntegers, TableMatchesCLibrary) {
    const std::vector<std::string> flags = flag_sets();
    const char *widths[] = {"", "1", "7", "24"};
    const char *precs[] = {"", ".", ".0", ".1", ".5", ".21"};
    const char convs[] = {'d', 'i', 'u', 'o', 'x', 'X'};
    const Mod mods[] = {{"", ""}, {"hh", "hh"}, {"h", "h"}, {"l", "l"}, {"ll", "ll"}, {"q", "ll"}, {"I64", "ll"}};
    const long long values[] = {0,       1,       -1,        7,          -42,       255,      32768,
                                -65536,  INT_MAX, INT_MIN,   UINT_MAX,   LLONG_MAX, LLONG_MIN, 0x123456789abcLL};
    int failures = 0;
    for (const auto &fl : flags)
        for (const char *w : widths)
            for (const char *p : precs)
                for (const Mod &m : mods)
                    for (char c : convs)
                        for (long long v : values) {
                            const std::string head = "<%" + fl + w + p;
                            const std::string f = head + m.ours + c + ">";
                            const std::string rf = head + m.ref + c + ">";
                            bool ok;
                            if (m.ref[0] == 'l' && m.ref[1] == 'l')
                                ok = same_as_reference(f, rf, v);
                            else if (m.ref[0] == 'l')
                                ok = same_as_reference(f, rf, static_cast<long>(v));
                            else
                                ok = same_as_reference(f, rf, static_cast<int>(v));
                            if (!ok && ++failures > 20) FAIL() << "too many mismatches";
                        }
}

TEST(FormatText, StringsAndCharactersMatchCLibrary) {
    const std::vector<std::string> flags = flag_sets();
    const char *widths[] = {"", "1", "3", "9"};
    const char *precs[] = {"", ".", ".0", ".2", ".5", ".6", ".40"};
    const char *texts[] = {"", "a", "hello", "Content-Length", nullptr};
    int failures = 0;
    for (const auto &fl : flags)
        for (const char *w : widths) {
            for (const char *p : precs)
                for (const char *t : texts) {
                    const std::string f = "[%" + fl + w + p + "s]";
                    if (!same_as_reference(f, f, t) && ++failures > 20) FAIL();
                }
            for (int ch : {int{'x'}, int{' '}, 0xE9, int{'Z'}}) {
                const std::string f = "[%" + fl + w + "c]";
                if (!same_as_reference(f, f, ch) && ++failures > 20) FAIL();
            }
        }
    // Mixed text and conversions, and the literal percent.
    EXPECT_TRUE(same_as_reference("%s %d%%|%c", "%s %d%%|%c", "HTTP/1.0", 200, 'z'));
    EXPECT_EQ(ours(16, "[%5%]").text, "[%]");  // as the C library: no field for "%%"
}

TEST(FormatText, PrecisionBoundsTheRead) {
    // Six bytes without a terminator: the precision alone must stop the read.
    std::vector<char> raw = {'a', 'b', 'c', 'd', 'e', 'f'};
    auto *heap = static_cast<char *>(std::malloc(raw.size()));
    std::memcpy(heap, raw.data(), raw.size());
    EXPECT_EQ(ours(64, "%.6s|%.3s", heap, heap).text, "abcdef|abc");
    std::free(heap);
}

// ---------------------------------------------------------------- floating point

std::vector<double> edge_doubles() {
    const double inf = std::numeric_limits<double>::infinity();
    return {0.0,
            -0.0,
            1.0,
            -1.0,
            0.5,
            1.5,
            2.5,
            3.5,
            -2.5,
            0.125,
            0.375,
            1.0005,
            1.005,
            0.1,
            0.3,
            2.0 / 3.0,
            1e-5,
            1e-4,
            9.9999e-5,
            0.000012345,
            123456789.0,
            1e15,
            1e16,
            1e17,
            9.5,
            99.5,
            999999.5,
            9999995.0,
            0.95,
            0.05,
            std::numeric_limits<double>::denorm_min(),
            -std::numeric_limits<double>::denorm_min(),
            DBL_MIN,
            std::nextafter(DBL_MIN, 0.0),
            DBL_MAX,
            -DBL_MAX,
            1e300,
            -1e300,
            1e22,
            1e23,
            4.35,
            1e100,
            M_PI,
            M_E,
            123.456,
            0.000999999,
            9.999999e22,
            5e-324 * 3,
            1.0 / 1024,
            4503599627370496.5,
            9007199254740993.0,
            inf,
            -inf,
            std::numeric_limits<double>::quiet_NaN(),
            -std::numeric_limits<double>::quiet_NaN()};
}

// glibc drops the zeros that '#' must keep when "%#g" rounds up into the next
// power of ten and switches to the exponent form: "%#.2g" of 99.5 gives
// "1.e+02" where "1.0e+02" is due (P - 1 = 1 digit after the point). In that
// case the reference is "%#.<P-1>e" of the value, in the same field; every
// other case is compared with the format itself.
std::string reference_format(const std::string &fmt, double v) {
    const char conv = fmt.back();
    if ((conv != 'g' && conv != 'G') || fmt.find('#') == std::string::npos) return fmt;
    char out[1024];
    std::snprintf(out, sizeof out, fmt.c_str(), v);
    if (!std::strstr(out, conv == 'g' ? ".e" : ".E")) return fmt;
    int p = 6;
    const size_t dot = fmt.find('.');
    if (dot != std::string::npos) p = std::atoi(fmt.c_str() + dot + 1);
    if (p == 0) p = 1;
    if (p > 78) p = 78;
    const std::string head = fmt.substr(0, dot != std::string::npos ? dot : fmt.size() - 1);
    return head + "." + std::to_string(p - 1) + (conv == 'g' ? 'e' : 'E');
}

TEST(FormatFloat, GlibcAltGCarryIsCorrected) {
    // The standard's results, which the C library misses.
    EXPECT_EQ(ours(64, "%#.2g|%#.3G|%#.1g|%#g", 99.5, 999.5, 9.5, 999999.5).text, "1.0e+02|1.00E+03|1.e+01|1.00000e+06");
    EXPECT_EQ(ours(64, "%.2g|%#.2g", 99.5, 9.96).text, "1e+02|10.");
}

TEST(FormatFloat, EdgeValuesOverFlagsWidthsAndPrecisions) {
    const std::vector<std::string> flags = flag_sets();
    const char *widths[] = {"", "1", "12"};
    const char *precs[] = {"", ".", ".0", ".1", ".2", ".3", ".6", ".10", ".17", ".25", ".40", ".78"};
    const char convs[] = {'e', 'E', 'f', 'g', 'G'};
    int failures = 0;
    for (double v : edge_doubles())
        for (const auto &fl : flags)
            for (const char *w : widths)
                for (const char *p : precs)
                    for (char c : convs) {
                        const std::string f = std::string("%") + fl + w + p + c;
                        if (!same_as_reference(f, reference_format(f, v), v) && ++failures > 20)
                            FAIL() << "too many mismatches";
                    }
}

std::string random_float_format(std::mt19937_64 &rng) {
    static const char convs[] = {'e', 'E', 'f', 'g', 'G'};
    std::string f = "%";
    const unsigned flags = static_cast<unsigned>(rng() % 32);
    for (int b = 0; b < 5; ++b)
        if (flags & (1u << b)) f += "-+ #0"[b];
    if (rng() % 2) f += std::to_string(rng() % 30);
    if (rng() % 4) f += "." + std::to_string(rng() % 79);
    f += convs[rng() % 5];
    return f;
}

TEST(FormatFloat, RandomValuesMatchCLibrary) {
    std::mt19937_64 rng(20240611);
    int failures = 0;
    for (int i = 0; i < 40000; ++i) {
        double v;
        switch (i % 4) {
            case 0: {  // any bit pattern, subnormals, infinities and NaNs included
                const uint64_t bits = rng();
                std::memcpy(&v, &bits, sizeof v);
                break;
            }
            case 1: {  // ordinary magnitudes
                const double mant = static_cast<double>(rng() % 100000000) / 1e4;
                v = mant * std::pow(10.0, static_cast<int>(rng() % 61) - 30);
                break;
            }
            case 2:  // exact binary fractions, where ties really occur
                v = static_cast<double>(static_cast<int64_t>(rng() % 2000000) - 1000000) /
                    static_cast<double>(1u << (rng() % 12));
                break;
            default:  // the neighbours of decimal values
                v = std::nextafter(static_cast<double>(rng() % 100000) / 1000.0, (rng() % 2) ? 1e9 : -1e9);
                break;
        }
        const std::string f = random_float_format(rng);
        if (!same_as_reference(f, reference_format(f, v), v) && ++failures > 20) FAIL() << "too many mismatches";
    }
}

TEST(FormatFloat, PrecisionStopsAt78Digits) {
    // Asking for more than 78 digits gives the 78-digit result.
    EXPECT_EQ(ours(512, "%.100f", 1.0 / 3).text, ours(512, "%.78f", 1.0 / 3).text);
    EXPECT_EQ(ours(512, "%.100e", M_PI).text, ours(512, "%.78e", M_PI).text);
    EXPECT_EQ(ours(512, "%.*g", 200, 0.1).text, ours(512, "%.78g", 0.1).text);
    char want[512];
    std::snprintf(want, sizeof want, "%.78f", 1.0 / 3);
    EXPECT_EQ(ours(512, "%.100f", 1.0 / 3).text, want);
    // The integer part is never cut: the largest double prints all 309 digits.
    std::snprintf(want, sizeof want, "%.78f", DBL_MAX);
    EXPECT_EQ(ours(512, "%.78f", DBL_MAX).text, want);
    EXPECT_EQ(std::strlen(want), 309u + 1 + 78);
}

TEST(FormatFloat, TiesRoundToEven) {
    EXPECT_EQ(ours(64, "%.0f %.0f %.0f %.0f", 0.5, 1.5, 2.5, -3.5).text, "0 2 2 -4");
    EXPECT_EQ(ours(64, "%.2f %.1f %.3f", 0.125, 0.25, 1.0005).text, "0.12 0.2 1.000");
    EXPECT_EQ(ours(64, "%.2e %.0e", 1.125, 2.5).text, "1.12e+00 2e+00");
    EXPECT_EQ(ours(64, "%.1f %.0f", 0.95, 9.5).text, "0.9 10");  // 0.95 lies below the tie
}

// ---------------------------------------------------------------- the library's own rules

TEST(FormatStar, WidthAndPrecisionFromArguments) {
    const int widths[] = {0, 1, 6, 15, -1, -6, -15};
    const int precs[] = {0, 1, 4, 9};
    int failures = 0;
    for (int w : widths)
        for (int p : precs) {
            if (!same_as_reference("[%*.*d]", "[%*.*d]", w, p, -42) && ++failures > 5) FAIL();
            if (!same_as_reference("[%*.*s]", "[%*.*s]", w, p, "abcdefgh") && ++failures > 5) FAIL();
            if (!same_as_reference("[%0*.*f]", "[%0*.*f]", w, p, -3.14159) && ++failures > 5) FAIL();
            if (!same_as_reference("[%-*x|%.*e]", "[%-*x|%.*e]", w, 255u, p, 1e-7) && ++failures > 5) FAIL();
        }
}

TEST(FormatStar, NegativePrecisionMeansZero) {
    EXPECT_EQ(ours(64, "[%.*d]", -1, 0).text, "[]");
    EXPECT_EQ(ours(64, "[%.*s]", -3, "abc").text, "[]");
    EXPECT_EQ(ours(64, "[%.*f]", -5, 2.5).text, "[2]");
    EXPECT_EQ(ours(64, "[%.*e]", -1, 12345.0).text, "[1e+04]");
    // The arguments after it stay in step.
    EXPECT_EQ(ours(64, "%.*d|%s", -2, 7, "x").text, "7|x");
}

TEST(FormatCount, StoresCharactersSoFar) {
    int n = -1;
    short hn = -1;
    signed char hhn = -1;
    long ln = -1;
    long long lln = -1, qn = -1, i64n = -1;
    const Result r = ours(64, "abc%nde%hnf%hhn%ln|%lln%qn%I64n%d", &n, &hn, &hhn, &ln, &lln, &qn, &i64n, 5);
    EXPECT_EQ(r.text, "abcdef|5");
    EXPECT_EQ(n, 3);
    EXPECT_EQ(hn, 5);
    EXPECT_EQ(hhn, 6);
    EXPECT_EQ(ln, 6);
    EXPECT_EQ(lln, 7);
    EXPECT_EQ(qn, 7);
    EXPECT_EQ(i64n, 7);
    // Past the size limit the count goes on, as the C library's does.
    int cut = -1, refCut = -1;
    char ref[4];
#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif
    std::snprintf(ref, sizeof ref, "abcdefgh%n", &refCut);
#pragma GCC diagnostic pop
    EXPECT_EQ(ours(4, "abcdefgh%n", &cut).ret, 4);
    EXPECT_EQ(cut, refCut);
    EXPECT_EQ(cut, 8);
    // A null target is skipped.
    EXPECT_EQ(ours(16, "ab%ncd", static_cast<int *>(nullptr)).text, "abcd");
}

TEST(FormatPointer, SecondLetterForms) {
    // An address as this CPU has them (32 bits on armhf).
    const uintptr_t at = sizeof(void *) == 8 ? static_cast<uintptr_t>(0x7ffd1234abcdULL) : uintptr_t{0x1234abcd};
    void *p = reinterpret_cast<void *>(at);
    char want[64], hex16[32], decimal[32];
    std::snprintf(want, sizeof want, "%p", p);
    std::snprintf(hex16, sizeof hex16, "%016llX", static_cast<unsigned long long>(at));
    std::snprintf(decimal, sizeof decimal, "%llu", static_cast<unsigned long long>(at));
    EXPECT_EQ(ours(64, "%pp", p).text, want);
    EXPECT_EQ(ours(64, "%p", p).text, want);  // no letter follows: plain pointer
    EXPECT_EQ(ours(64, "%p.", p).text, std::string(want) + ".");
    EXPECT_EQ(ours(64, "%pp", nullptr).text, "(nil)");
    EXPECT_EQ(ours(64, "%pT", p).text, "0");
    EXPECT_EQ(ours(64, "%pA", p).text, hex16);
    EXPECT_EQ(ours(64, "%pI", p).text, decimal);
    if (sizeof(void *) == 8) {
        EXPECT_EQ(std::string(hex16), "00007FFD1234ABCD");
        EXPECT_EQ(std::string(decimal), "140724908895181");
    }
    EXPECT_EQ(ours(64, "%pI", nullptr).text, "0");
    EXPECT_EQ(ours(64, "%px", p).text, "bogus %p");
    EXPECT_EQ(ours(64, "%pZ", p).text, "bogus %p");
    // Each form takes its pointer argument, so later ones stay in step.
    EXPECT_EQ(ours(64, "%pT%d%pq%s", p, 5, p, "end").text, "05bogus %pend");
    EXPECT_EQ(ours(64, "[%6pT][%-4pT]", p, p).text, "[     0][0   ]");
    // "pp" takes the flags and width of the C library's "%p".
    const char *forms[] = {"[%20pp]", "[%-20pp]", "[%020pp]", "[%+pp]", "[% pp]", "[%12pp]"};
    for (const char *f : forms) {
        std::string ref(f);
        ref.erase(ref.find("pp"), 1);
        EXPECT_TRUE(same_as_reference(f, ref, p));
        EXPECT_TRUE(same_as_reference(f, ref, static_cast<void *>(nullptr)));
    }
}

TEST(FormatUnknown, PrintsPercentAndTheLetter) {
    EXPECT_EQ(ours(64, "%k", 1).text, "%k");
    EXPECT_EQ(ours(64, "%5k|%d", 7).text, "%k|7");  // no argument is taken
    EXPECT_EQ(ours(64, "%F %a %Lf", 1.0).text, "%F %a %Lf");
    EXPECT_EQ(ours(64, "%Ix", 1).text, "%Ix");
    EXPECT_EQ(ours(64, "100%").text, "100%");
    EXPECT_EQ(ours(64, "%-").text, "%");
}

TEST(FormatLimits, TruncationSizeZeroAndTermination) {
    // Every size from 0 to past the length.
    const std::string want = "Host: mms.example.net:8080\r\n";
    for (int size = 0; size <= static_cast<int>(want.size()) + 3; ++size) {
        const Result r = ours(size, "Host: %s:%d\r\n", "mms.example.net", 8080);
        const int len = static_cast<int>(want.size());
        if (size == 0) {
            EXPECT_EQ(r.ret, len);
        } else if (size > len) {
            EXPECT_EQ(r.ret, len);
            EXPECT_EQ(r.text, want);
        } else {
            EXPECT_EQ(r.ret, size) << size;
            EXPECT_EQ(r.text, want.substr(0, static_cast<size_t>(size - 1)));
        }
    }
    // Size 0 writes nothing even through a real pointer.
    char guard = '#';
    EXPECT_EQ(raw(&guard, 0, "%d", 12345), 5);
    EXPECT_EQ(guard, '#');
    // A null destination only counts, whatever the size.
    EXPECT_EQ(raw(nullptr, 50, "%s", "xyz"), 3);
    // Size 1 gives just the terminator.
    guard = '#';
    EXPECT_EQ(raw(&guard, 1, "%s", "xyz"), 1);
    EXPECT_EQ(guard, '\0');
    // Huge widths are only counted, never written past the buffer.
    EXPECT_EQ(ours(16, "%2000000000d", 1).ret, 16);
    EXPECT_EQ(ours(0, "%*d", 1000000, 1).ret, 1000000);
    EXPECT_EQ(ours(8, "%.*f", 1000, 1.0).ret, 8);
    // Two widths past INT_MAX in total cannot be reported by the count.
    EXPECT_EQ(ours(0, "%2147483647d%2147483647d", 1, 2).ret, -1);
    // A null format gives an empty text.
    EXPECT_EQ(ours(8, nullptr).ret, 0);
}

}  // namespace
