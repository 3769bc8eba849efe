// Memory and string primitives, the allocation accounting and failure
// injection used by the rest of the suite, and osal's bounded g_memstr1.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <cctype>
#include <string>
#include <vector>

#include "osal.h"
#include "qx_alloc_test.h"
#include "qx_internal.h"
#include "test_support.h"

namespace {

using rrtest::Bytes;
using rrtest::HeapCopy;

// ---------------------------------------------------------------- allocation

TEST(Allocation, MallocGivesZeroFilledCountedBlocks) {
    rrtest::LeakCheck leaks;
    const auto before = qx::alloc_stats();
    auto *p = static_cast<unsigned char *>(fnQX_Malloc(100));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0) << "byte " << i;
    const auto during = qx::alloc_stats();
    EXPECT_EQ(during.liveBlocks, before.liveBlocks + 1);
    EXPECT_GE(during.liveBytes, before.liveBytes + 100);
    EXPECT_EQ(during.totalAllocs, before.totalAllocs + 1);
    fnQX_Free(reinterpret_cast<void **>(&p));
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(qx::alloc_stats().liveBytes, before.liveBytes);
}

TEST(Allocation, AbsurdSizesGiveNullWithoutAborting) {
    rrtest::LeakCheck leaks;
    for (int size : {0, -1, INT_MIN, INT32_MAX, INT32_MAX - 1, (1 << 30) + 1}) {
        void *p = fnQX_Malloc(size);
        EXPECT_EQ(p, nullptr) << "size " << size;
        fnQX_Free(&p);
    }
    void *block = fnQX_Malloc(8);
    ASSERT_NE(block, nullptr);
    static_cast<char *>(block)[7] = 'x';
    for (int size : {-1, INT_MIN, INT32_MAX}) {
        EXPECT_EQ(fnQX_Realloc(block, size), nullptr) << "size " << size;
        EXPECT_EQ(static_cast<char *>(block)[7], 'x') << "old block must stay valid";
    }
    fnQX_Free(&block);
}

TEST(Allocation, ReallocKeepsContentsAndAccounting) {
    rrtest::LeakCheck leaks;
    const long live = qx::alloc_stats().liveBlocks;
    // A null block is a fresh allocation.
    auto *p = static_cast<char *>(fnQX_Realloc(nullptr, 4));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(qx::alloc_stats().liveBlocks, live + 1);
    std::memcpy(p, "abcd", 4);
    p = static_cast<char *>(fnQX_Realloc(p, 4096));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::memcmp(p, "abcd", 4), 0);
    EXPECT_EQ(qx::alloc_stats().liveBlocks, live + 1);
    EXPECT_GE(qx::alloc_stats().liveBytes, 4096);
    // A size of 0 releases the block, as g_realloc does.
    EXPECT_EQ(fnQX_Realloc(p, 0), nullptr);
    EXPECT_EQ(qx::alloc_stats().liveBlocks, live);
}

TEST(Allocation, FreeIsNullTolerantAndNullsTheVariable) {
    fnQX_Free(nullptr);
    void *none = nullptr;
    fnQX_Free(&none);
    EXPECT_EQ(none, nullptr);
    void *p = fnQX_Malloc(1);
    ASSERT_NE(p, nullptr);
    const long live = qx::alloc_stats().liveBlocks;
    fnQX_Free(&p);
    EXPECT_EQ(p, nullptr);
    fnQX_Free(&p);  // second release of the same variable: harmless
    EXPECT_EQ(qx::alloc_stats().liveBlocks, live - 1);
}

TEST(Allocation, MemStrCopy) {
    rrtest::LeakCheck leaks;
    char *copy = fnQX_MEMSTRCOPY("Content-Type");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "Content-Type");
    fnQX_Free(reinterpret_cast<void **>(&copy));

    char *empty = fnQX_MEMSTRCOPY(nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], '\0');
    fnQX_Free(reinterpret_cast<void **>(&empty));
    EXPECT_EQ(empty, nullptr);

    qx::alloc_fail_nth(1);
    EXPECT_EQ(fnQX_MEMSTRCOPY("x"), nullptr);
    EXPECT_TRUE(qx::alloc_fail_fired());
    qx::alloc_fail_off();
}

// ---------------------------------------------------------------- failure injection

TEST(FailureInjection, NthFailsOnlyThatAllocation) {
    rrtest::LeakCheck leaks;
    qx::alloc_stats_reset_totals();
    qx::alloc_fail_nth(3);
    void *p[5];
    for (auto &x : p) x = fnQX_Malloc(16);
    EXPECT_TRUE(qx::alloc_fail_fired());
    qx::alloc_fail_off();
    EXPECT_NE(p[0], nullptr);
    EXPECT_NE(p[1], nullptr);
    EXPECT_EQ(p[2], nullptr);
    EXPECT_NE(p[3], nullptr);
    EXPECT_NE(p[4], nullptr);
    const auto s = qx::alloc_stats();
    EXPECT_EQ(s.totalAllocs, 4);
    EXPECT_EQ(s.failedAllocs, 1);
    for (auto &x : p) fnQX_Free(&x);
}

TEST(FailureInjection, FromFailsEveryLaterAllocationUntilOff) {
    rrtest::LeakCheck leaks;
    qx::alloc_fail_from(2);
    void *a = fnQX_Malloc(8);
    void *b = fnQX_Malloc(8);
    void *c = fnQX_Realloc(a, 64);
    char *d = fnQX_MEMSTRCOPY("abc");
    EXPECT_TRUE(qx::alloc_fail_fired());
    qx::alloc_fail_off();
    void *e = fnQX_Malloc(8);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(c, nullptr);  // a stays valid
    EXPECT_EQ(d, nullptr);
    EXPECT_NE(e, nullptr);
    fnQX_Free(&a);
    fnQX_Free(&e);
}

TEST(FailureInjection, FiredOnlyWhenReachedAndZeroDisables) {
    qx::alloc_fail_nth(1000);
    void *p = fnQX_Malloc(8);
    EXPECT_FALSE(qx::alloc_fail_fired());
    qx::alloc_fail_off();
    fnQX_Free(&p);
    for (long n : {0L, -5L}) {
        qx::alloc_fail_nth(n);
        void *q = fnQX_Malloc(8);
        EXPECT_NE(q, nullptr);
        fnQX_Free(&q);
        qx::alloc_fail_from(n);
        q = fnQX_Malloc(8);
        EXPECT_NE(q, nullptr);
        fnQX_Free(&q);
        EXPECT_FALSE(qx::alloc_fail_fired());
    }
    qx::alloc_fail_off();
}

TEST(FailureInjection, ForEachAllocFailureVisitsEveryAllocation) {
    long runs = 0;
    const long clean = rrtest::for_each_alloc_failure([&](long) {
        ++runs;
        void *a = fnQX_Malloc(4);
        void *b = fnQX_Malloc(4);
        char *c = fnQX_MEMSTRCOPY("c");
        fnQX_Free(&a);
        fnQX_Free(&b);
        fnQX_Free(reinterpret_cast<void **>(&c));
    });
    EXPECT_EQ(clean, 3);
    EXPECT_EQ(runs, 4);
}

// ---------------------------------------------------------------- memory primitives

TEST(MemoryPrimitives, CopyAndSet) {
    char buf[16] = "abcdefgh";
    EXPECT_EQ(fnQX_MEMCPY(buf + 2, buf, 6), 0);  // overlap forwards
    EXPECT_STREQ(buf, "ababcdef");
    EXPECT_EQ(fnQX_MEMCPY(buf, buf + 2, 6), 0);  // overlap backwards
    EXPECT_STREQ(buf, "abcdefef");
    EXPECT_EQ(fnQX_MEMCPY(buf, "zz", 0), 0);
    EXPECT_STREQ(buf, "abcdefef");
    EXPECT_EQ(fnQX_MEMSET(buf, 'q', 3), buf);
    EXPECT_STREQ(buf, "qqqdefef");
    EXPECT_EQ(fnQX_MEMSET(buf, 'r', 0), buf);
    EXPECT_STREQ(buf, "qqqdefef");
}

TEST(MemoryPrimitives, CompareIsUnsignedAndNormalised) {
    struct Case {
        Bytes a, b;
        int count;
        int want;
    };
    const Case cases[] = {
        {{0x80}, {0x7F}, 1, 1},
        {{0x7F}, {0x80}, 1, -1},
        {{1, 2, 3}, {1, 2, 3}, 3, 0},
        {{1, 2, 3}, {1, 2, 9}, 3, -1},
        {{1, 2, 0xFF}, {1, 2, 0}, 3, 1},
        {{1, 2, 3}, {1, 2, 9}, 2, 0},
        {{5}, {6}, 0, 0},
        {{'a', 'z'}, {'b', 'a'}, 2, -1},
    };
    for (const auto &c : cases) {
        HeapCopy a(c.a), b(c.b);
        EXPECT_EQ(fnQX_MEMCMP(a.data(), b.data(), c.count), c.want) << rrtest::hex(c.a) << " vs " << rrtest::hex(c.b);
    }
}

TEST(MemoryPrimitives, ChrReadsBytesAsSignedChars) {
    const Bytes data = {'a', 0x00, 'b', 0x80, 0xFF, 'b'};
    HeapCopy h(data);
    const auto *base = h.data();
    struct Case {
        int value, count;
        int want;  // offset, -1 for null
    };
    const Case cases[] = {
        {'b', 6, 2}, {0, 6, 1},   {-128, 6, 3}, {-1, 6, 4}, {0x80, 6, -1},
        {'b', 2, -1}, {'b', 3, 2},  {'a', 0, -1}, {'a', -4, -1}, {'z', 6, -1},
    };
    for (const auto &c : cases) {
        void *hit = fnQX_MEMCHR(base, c.value, c.count);
        if (c.want < 0) {
            EXPECT_EQ(hit, nullptr) << c.value << "/" << c.count;
        } else {
            EXPECT_EQ(hit, base + c.want) << c.value << "/" << c.count;
        }
    }
}

// ---------------------------------------------------------------- strings

TEST(StringPrimitives, LengthAtoiLower) {
    EXPECT_EQ(fnQX_STRLEN(nullptr), 0);
    EXPECT_EQ(fnQX_STRLEN(""), 0);
    EXPECT_EQ(fnQX_STRLEN("hello"), 5);
    EXPECT_EQ(fnQX_ATOI(nullptr), 0);
    EXPECT_EQ(fnQX_ATOI("  -42x"), -42);
    EXPECT_EQ(fnQX_ATOI("300"), 300);
    EXPECT_EQ(fnQX_STRLOWER(nullptr), nullptr);
    char s[] = "Content-TYPE: Az@[`{\xC3\x89";
    EXPECT_EQ(fnQX_STRLOWER(s), s);
    EXPECT_STREQ(s, "content-type: az@[`{\xC3\x89");  // only A to Z change
}

TEST(StringPrimitives, CopyAndConcatenateTolerateNull) {
    char buf[16] = "keep";
    EXPECT_EQ(fnQX_STRCPY(buf, nullptr), buf);
    EXPECT_STREQ(buf, "keep");
    EXPECT_EQ(fnQX_STRCPY(nullptr, "x"), nullptr);
    EXPECT_EQ(fnQX_STRCPY(buf, "abc"), buf);
    EXPECT_STREQ(buf, "abc");

    EXPECT_EQ(fnQX_STRNCPY(buf, nullptr, 4), buf);
    EXPECT_EQ(fnQX_STRNCPY(nullptr, "x", 4), nullptr);
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(fnQX_STRNCPY(buf, "ab", 5), buf);  // pads with zero bytes
    EXPECT_EQ(std::memcmp(buf, "ab\0\0\0Z", 6), 0);
    EXPECT_EQ(fnQX_STRNCPY(buf, "wxyz", 2), buf);  // no terminator when cut
    EXPECT_EQ(std::memcmp(buf, "wx\0", 3), 0);

    std::strcpy(buf, "ab");
    EXPECT_EQ(fnQX_STRCAT(buf, nullptr), buf);
    EXPECT_EQ(fnQX_STRCAT(nullptr, "x"), nullptr);
    EXPECT_EQ(fnQX_STRCAT(buf, "cd"), buf);
    EXPECT_STREQ(buf, "abcd");
}

TEST(StringPrimitives, BoundedCopyAndConcatenate) {
    char buf[8];
    // fnQX_STRLCPY: result is the source length, at most size-1 bytes copied.
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(fnQX_STRLCPY(buf, "abcdefghij", 4), 10);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(buf[4], 'Z');
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(fnQX_STRLCPY(buf, "abc", 0), 3);
    EXPECT_EQ(buf[0], 'Z');
    EXPECT_EQ(fnQX_STRLCPY(buf, "abc", -1), 3);
    EXPECT_EQ(buf[0], 'Z');
    EXPECT_EQ(fnQX_STRLCPY(buf, nullptr, 8), 0);
    EXPECT_EQ(fnQX_STRLCPY(nullptr, "abc", 8), 0);

    // fnQX_STRLCAT / fnQX_STRNCAT: the bound is the whole buffer.
    std::strcpy(buf, "ab");
    EXPECT_EQ(fnQX_STRLCAT(buf, "cdefghij", 6), 10);
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(fnQX_STRLCAT(buf, nullptr, 8), 0);
    EXPECT_EQ(fnQX_STRLCAT(nullptr, "x", 8), 0);
    std::strcpy(buf, "ab");
    EXPECT_EQ(fnQX_STRNCAT(buf, "cdefghij", 6), 10);
    EXPECT_STREQ(buf, "abcde");
    std::strcpy(buf, "ab");
    EXPECT_EQ(fnQX_STRNCAT(buf, "cd", 8), 4);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(fnQX_STRNCAT(buf, nullptr, 8), reinterpret_cast<intptr_t>(buf));
    EXPECT_EQ(fnQX_STRNCAT(nullptr, "x", 8), 0);
    EXPECT_STREQ(buf, "abcd");
}

TEST(StringPrimitives, StrcmpTable) {
    struct Case {
        const char *a, *b;
        int want;
    };
    const Case cases[] = {
        {nullptr, "a", -1}, {"a", nullptr, -1}, {nullptr, nullptr, -1},
        {"", "a", -1},      {"a", "", -1},      {"", "", 0},
        {"abc", "abc", 0},  {"abd", "abc", 1},  {"abc", "abd", -1},
        {"ab", "abc", -1},  {"abc", "ab", 1},   {"\x80", "\x7F", 1},
        {"\x7F", "\x80", -1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(fnQX_STRCMP(c.a, c.b), c.want) << (c.a ? c.a : "(null)") << " vs " << (c.b ? c.b : "(null)");
    }
}

TEST(StringPrimitives, StrncmpTable) {
    struct Case {
        const char *a, *b;
        int count;
        int sign;
    };
    const Case cases[] = {
        {nullptr, "a", 3, -1}, {"a", nullptr, 3, -1}, {"abcX", "abcY", 3, 0}, {"abcX", "abcY", 4, -1},
        {"abcY", "abcX", 4, 1}, {"abc", "xyz", 0, 0},  {"ab", "abc", 5, -1},
    };
    for (const auto &c : cases) {
        const int r = fnQX_STRNCMP(c.a, c.b, c.count);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << (c.a ? c.a : "(null)") << " vs " << (c.b ? c.b : "(null)");
    }
}

TEST(StringPrimitives, StricmpTable) {
    struct Case {
        const char *a, *b;
        int want;
    };
    const Case cases[] = {
        {"Content-Type", "content-TYPE", 0}, {"", "", 0},
        {"Set-Cookie", "set-cookie", 0},     {"abc", "abcd", -1},
        {"abcd", "abc", -1},                 {"X-Wap-Profile", "X_Wap-Profile", -1},
        {"a", "b", -1},                      {"b", "a", -1},
        {"@", "`", -1},                      {"[", "{", -1},
        {nullptr, "a", -1},                  {"a", nullptr, -1},
        {"\xC3\x89", "\xC3\xA9", -1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(fnQX_STRICMP(c.a, c.b), c.want) << (c.a ? c.a : "(null)") << " vs " << (c.b ? c.b : "(null)");
    }
}

TEST(StringPrimitives, StrbeginsTable) {
    struct Case {
        const char *prefix, *text;
        int want;
    };
    const Case cases[] = {
        {"", "abc", 1},       {"", "", 1},           {"image", "image/jpeg", 1}, {"image/", "image", 0},
        {"imagf", "image/", 0}, {"Image", "image/", 0}, {nullptr, "a", 0},          {"a", nullptr, 0},
        {"abc", "abc", 1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(fnQX_STRBEGINS(c.prefix, c.text), c.want)
            << (c.prefix ? c.prefix : "(null)") << " / " << (c.text ? c.text : "(null)");
    }
}

// The comparisons against the C library on every pair of short texts over an
// alphabet with case pairs, non-letters that differ by 0x20 and high bytes.
TEST(StringPrimitives, ComparisonsAgreeWithTheCLibraryOnAllShortTexts) {
    const char alphabet[] = {'a', 'A', 'z', '@', '`', '\x80', '\xE0'};
    std::vector<std::string> texts{""};
    for (size_t start = 0; texts.back().size() < 3;) {
        const size_t end = texts.size();
        for (size_t i = start; i < end; ++i)
            for (char c : alphabet) texts.push_back(texts[i] + c);
        start = end;
    }
    auto ascii_fold_equal = [](const std::string &x, const std::string &y) {
        if (x.size() != y.size()) return false;
        for (size_t i = 0; i < x.size(); ++i) {
            const auto fx = static_cast<unsigned char>(x[i]), fy = static_cast<unsigned char>(y[i]);
            if (std::tolower(fx) != std::tolower(fy) || (fx >= 0x80 && fx != fy)) return false;
        }
        return true;
    };
    for (const auto &a : texts) {
        for (const auto &b : texts) {
            const int c = std::strcmp(a.c_str(), b.c_str());
            const int want = (a.empty() != b.empty()) ? -1 : (c > 0) - (c < 0);
            ASSERT_EQ(fnQX_STRCMP(a.c_str(), b.c_str()), want) << a << " vs " << b;
            ASSERT_EQ(fnQX_STRICMP(a.c_str(), b.c_str()), ascii_fold_equal(a, b) ? 0 : -1) << a << " vs " << b;
            ASSERT_EQ(fnQX_STRBEGINS(a.c_str(), b.c_str()), b.compare(0, a.size(), a) == 0 ? 1 : 0)
                << a << " / " << b;
        }
    }
}

TEST(StringPrimitives, StrstrAndStristrPointIntoTheCallersText) {
    const char text[] = "Content-Type: APPLICATION/SMIL; charset=UTF-8";
    struct Case {
        const char *pattern;
        long strstrAt, stristrAt;  // -1: null
    };
    const Case cases[] = {
        {"application/smil", -1, 14}, {"APPLICATION", 14, 14}, {"charset", 32, 32},
        {"CHARSET=utf-8", -1, 32},     {"", 0, 0},              {"utf-16", -1, -1},
        {"content-type: application/smil; charset=utf-8!", -1, -1},
    };
    for (const auto &c : cases) {
        char *s = fnQX_STRSTR(text, c.pattern);
        char *i = fnQX_STRISTR(text, c.pattern);
        EXPECT_EQ(s, c.strstrAt < 0 ? nullptr : text + c.strstrAt) << c.pattern;
        EXPECT_EQ(i, c.stristrAt < 0 ? nullptr : text + c.stristrAt) << c.pattern;
    }
    EXPECT_EQ(fnQX_STRSTR(nullptr, "a"), nullptr);
    EXPECT_EQ(fnQX_STRSTR("a", nullptr), nullptr);
    EXPECT_EQ(fnQX_STRISTR(nullptr, "a"), nullptr);
    EXPECT_EQ(fnQX_STRISTR("a", nullptr), nullptr);
}

TEST(StringPrimitives, StristrLeavesInputsAloneAndReleasesCopies) {
    rrtest::LeakCheck leaks;
    char text[] = "SRC=\"IMAGE1.JPG\"";
    char pattern[] = "image1";
    EXPECT_EQ(fnQX_STRISTR(text, pattern), text + 5);
    EXPECT_STREQ(text, "SRC=\"IMAGE1.JPG\"");
    EXPECT_STREQ(pattern, "image1");
    // Either working copy failing gives null and leaves nothing behind.
    const long clean = rrtest::for_each_alloc_failure([&](long) {
        char *hit = fnQX_STRISTR(text, pattern);
        if (qx::alloc_fail_fired()) {
            EXPECT_EQ(hit, nullptr);
        } else {
            EXPECT_EQ(hit, text + 5);
        }
    });
    EXPECT_EQ(clean, 2);
}

// ---------------------------------------------------------------- bounded search

TEST(MemStr, FindsOnlyInsideTheGivenLength) {
    // Binary data with zero bytes inside; every case runs on an exactly sized
    // copy of the first memLen bytes, so any read past memLen trips ASan.
    const Bytes data = {'x', 0, 'a', 'b', 'c', 0, 'a', 'b', 'd', 'a', 'b'};
    struct Case {
        int memLen;
        const char *pattern;
        long want;  // -1: null
    };
    const Case cases[] = {
        {11, "abc", 2}, {11, "abd", 6},  {11, "ab", 2},   {5, "abc", 2},   {4, "abc", -1}, {11, "abx", -1},
        {10, "ab", 2},  {11, "ba", -1},  {11, "dab", 8},  {10, "dab", -1}, {11, "x", 0},   {1, "x", 0},
        {11, "", 0},    {2, "xy", -1},   {1, "xa", -1},   {11, "abdabz", -1},
    };
    for (const auto &c : cases) {
        HeapCopy mem(data.data(), static_cast<size_t>(c.memLen));
        void *hit = g_memstr1(mem.data(), c.memLen, c.pattern);
        void *fwd = fnQX_MEMSTR(mem.data(), c.memLen, c.pattern);
        const void *want = c.want < 0 ? nullptr : mem.data() + c.want;
        EXPECT_EQ(hit, want) << "len " << c.memLen << " pattern " << c.pattern;
        EXPECT_EQ(fwd, want) << "len " << c.memLen << " pattern " << c.pattern;
    }
}

TEST(MemStr, NullAndEmptyInputs) {
    HeapCopy mem(rrtest::bytes({'a', 'b'}));
    EXPECT_EQ(g_memstr1(nullptr, 2, "a"), nullptr);
    EXPECT_EQ(g_memstr1(mem.data(), 2, nullptr), nullptr);
    EXPECT_EQ(g_memstr1(mem.data(), 0, "a"), nullptr);
    EXPECT_EQ(g_memstr1(mem.data(), -3, "a"), nullptr);
    EXPECT_EQ(g_memstr1(mem.data(), 0, ""), nullptr);
    EXPECT_EQ(fnQX_MEMSTR(nullptr, 2, "a"), nullptr);
}

TEST(MemStr, PatternAtEveryPositionOfALargerBuffer) {
    std::string hay(300, '.');
    for (size_t at = 0; at + 3 <= hay.size(); at += 7) {
        std::string s = hay;
        s.replace(at, 3, "mkz");
        HeapCopy mem(reinterpret_cast<const uint8_t *>(s.data()), s.size());
        EXPECT_EQ(g_memstr1(mem.data(), mem.size(), "mkz"), mem.data() + at) << at;
        // Cutting the last byte of the match away leaves nothing to find.
        HeapCopy cut(reinterpret_cast<const uint8_t *>(s.data()), at + 2);
        EXPECT_EQ(g_memstr1(cut.data(), cut.size(), "mkz"), nullptr) << at;
    }
}

}  // namespace
