// MemBuffer growth, reading, line splitting, formatted append, and the text
// routines of the URL and header parsers.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "qx_alloc_test.h"
#include "qx_internal.h"
#include "qx_stack_http.h"
#include "test_support.h"

namespace {

std::string stored(const MemBuffer *b) {
    return std::string(reinterpret_cast<const char *>(b->data) + b->readPos, static_cast<size_t>(b->length - b->readPos));
}

struct Buf {
    MemBuffer *b;
    explicit Buf(int cap) : b(fnQXBuf_New(cap)) {}
    ~Buf() { fnQXBuf_Free(b); }
    MemBuffer *operator->() const { return b; }
    void add(const std::string &s) { ASSERT_EQ(fnQXBuf_Append(b, s.data(), static_cast<int>(s.size())), b); }
};

// The slack after the usable capacity is all zero when nothing is stored there.
void expect_terminated(const MemBuffer *b) {
    ASSERT_NE(b->data, nullptr);
    EXPECT_EQ(b->data[b->length], 0);
    EXPECT_LE(b->length, b->capacity);
}

TEST(BufferAppend, GrowsByTheMissingCountAndStaysTerminated) {
    rrtest::LeakCheck leaks;
    Buf b(2048);
    ASSERT_NE(b.b, nullptr);
    EXPECT_EQ(b->capacity, 2048);
    EXPECT_EQ(b->length, 0);
    const std::string big(3000, 'q');
    b.add(big);
    EXPECT_EQ(b->capacity, 5048);
    EXPECT_EQ(b->length, 3000);
    EXPECT_EQ(b->appendedTotal, 3000);
    expect_terminated(b.b);
    EXPECT_EQ(stored(b.b), big);
    // The whole storage (capacity + 10) is ours to touch: writing its last
    // byte must be inside the allocation (ASan checks this).
    b->data[b->capacity + 9] = 0;
    // Filling exactly to capacity does not grow.
    b.add(std::string(2048, 'r'));
    EXPECT_EQ(b->capacity, 5048);
    expect_terminated(b.b);
}

TEST(BufferAppend, MovesUnreadBytesToTheFrontFirst) {
    Buf b(256);
    std::string first;
    for (int i = 0; i < 200; ++i) first += static_cast<char>('A' + i % 26);
    b.add(first);
    char sink[100];
    ASSERT_EQ(fnQXBuf_Read(b.b, sink, 100), 100);
    EXPECT_EQ(b->readPos, 100);
    b.add("!");
    EXPECT_EQ(b->readPos, 0);
    EXPECT_EQ(b->length, 101);
    EXPECT_EQ(b->appendedTotal, 201);
    EXPECT_EQ(stored(b.b), first.substr(100) + "!");
    EXPECT_EQ(b->capacity, 256);  // room was made by the move, not by growing
    expect_terminated(b.b);
}

TEST(BufferAppend, RefusesBadArgumentsWithoutChange) {
    Buf b(16);
    b.add("abc");
    EXPECT_EQ(fnQXBuf_Append(nullptr, "x", 1), nullptr);
    EXPECT_EQ(fnQXBuf_Append(b.b, "x", -1), nullptr);
    EXPECT_EQ(fnQXBuf_Append(b.b, nullptr, 4), nullptr);
    EXPECT_EQ(fnQXBuf_Append(b.b, nullptr, 0), b.b);
    EXPECT_EQ(stored(b.b), "abc");
    EXPECT_EQ(b->appendedTotal, 3);
}

TEST(BufferAppend, SizeOverflowIsRefusedBeforeTouchingStorage) {
    // A record claiming a capacity near INT_MAX over a small storage: the
    // growth computation must refuse without writing anything.
    uint8_t storage[32] = {};
    MemBuffer fake{storage, INT_MAX - 15, INT_MAX - 15, 0, 0};
    EXPECT_EQ(fnQXBuf_Append(&fake, "0123456789", 10), nullptr);
    EXPECT_EQ(fake.capacity, INT_MAX - 15);
    EXPECT_EQ(fake.length, INT_MAX - 15);
    for (uint8_t v : storage) EXPECT_EQ(v, 0);
    EXPECT_EQ(fnQXBuf_New(INT_MAX), nullptr);
    EXPECT_EQ(fnQXBuf_New(INT_MAX - 9), nullptr);
    EXPECT_EQ(fnQXBuf_New(-1), nullptr);
}

TEST(BufferAppend, FailedGrowthKeepsTheBuffer) {
    rrtest::LeakCheck leaks;
    Buf b(4);
    b.add("abcd");
    qx::alloc_fail_nth(1);
    EXPECT_EQ(fnQXBuf_Append(b.b, "efgh", 4), nullptr);
    qx::alloc_fail_off();
    EXPECT_EQ(b->capacity, 4);
    EXPECT_EQ(stored(b.b), "abcd");
    expect_terminated(b.b);
}

TEST(BufferRead, TakesUpToCountAndStepsBack) {
    Buf b(32);
    b.add("0123456789");
    char out[16] = {};
    EXPECT_EQ(fnQXBuf_Read(nullptr, out, 4), -1);
    EXPECT_EQ(fnQXBuf_Read(b.b, out, -1), -1);
    EXPECT_EQ(fnQXBuf_Read(b.b, out, 0), 0);
    EXPECT_EQ(fnQXBuf_Read(b.b, out, 4), 4);
    EXPECT_EQ(std::string(out, 4), "0123");
    EXPECT_EQ(fnQXBuf_Read(b.b, out, 16), 6);
    EXPECT_EQ(std::string(out, 6), "456789");
    EXPECT_EQ(fnQXBuf_Read(b.b, out, 16), 0);
    EXPECT_EQ(fnQXBuf_Unreadable(b.b), 0);

    EXPECT_EQ(fnQXBuf_Unread(b.b, 3), 0);
    EXPECT_EQ(b->readPos, 7);
    EXPECT_EQ(fnQXBuf_Unread(b.b, 8), 0);  // more than was read: no change
    EXPECT_EQ(b->readPos, 7);
    EXPECT_EQ(fnQXBuf_Unread(b.b, -1), -1);
    EXPECT_EQ(fnQXBuf_Unread(nullptr, 1), -1);
    EXPECT_EQ(fnQXBuf_Read(b.b, nullptr, 2), -1);
    EXPECT_EQ(b->readPos, 7);
}

TEST(BufferReadLine, SplitsAtTheSeparator) {
    rrtest::LeakCheck leaks;
    Buf b(64);
    b.add("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nbo");
    char *line = fnQXBuf_ReadLine(b.b, "\r\n");
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "HTTP/1.0 200 OK");
    EXPECT_EQ(b->readPos, 17);
    qx::free_ptr(line);
    line = fnQXBuf_ReadLine(b.b, "\r\n");
    EXPECT_STREQ(line, "Content-Length: 5");
    qx::free_ptr(line);
    line = fnQXBuf_ReadLine(b.b, "\r\n");
    EXPECT_STREQ(line, "");  // the empty line ending the header block
    qx::free_ptr(line);
    const int before = b->readPos;
    EXPECT_EQ(fnQXBuf_ReadLine(b.b, "\r\n"), nullptr);  // "bo": no separator yet
    EXPECT_EQ(b->readPos, before);
    b.add("dy\r");
    EXPECT_EQ(fnQXBuf_ReadLine(b.b, "\r\n"), nullptr);  // half a separator
    b.add("\n");
    line = fnQXBuf_ReadLine(b.b, "\r\n");
    EXPECT_STREQ(line, "body");
    qx::free_ptr(line);
    EXPECT_EQ(fnQXBuf_ReadLine(b.b, nullptr), nullptr);
    EXPECT_EQ(fnQXBuf_ReadLine(b.b, ""), nullptr);
    EXPECT_EQ(fnQXBuf_ReadLine(nullptr, "\r\n"), nullptr);
}

TEST(BufferReadLine, StopsAtZeroByteAndAtTheStoredBytes) {
    Buf b(64);
    const char withZero[] = {'a', 'b', 0, 'c', '\r', '\n'};
    ASSERT_EQ(fnQXBuf_Append(b.b, withZero, 6), b.b);
    EXPECT_EQ(fnQXBuf_ReadLine(b.b, "\r\n"), nullptr);  // a text search ends at the zero
    EXPECT_EQ(b->readPos, 0);

    // A record whose stored bytes are followed by a separator that is not
    // part of them (no zero after the stored bytes): never found.
    uint8_t storage[] = {'a', 'b', 'c', '\r', '\n', 0};
    MemBuffer view{storage, 3, 3, 0, 3};
    EXPECT_EQ(fnQXBuf_ReadLine(&view, "\r\n"), nullptr);
    view.length = 4;
    EXPECT_EQ(fnQXBuf_ReadLine(&view, "\r\n"), nullptr);
    view.length = 5;
    char *line = fnQXBuf_ReadLine(&view, "\r\n");
    EXPECT_STREQ(line, "abc");
    qx::free_ptr(line);
}

TEST(BufferReset, EmptiesAndClearsTheStorage) {
    Buf b(8);
    b.add("0123456789abc");
    char t[3];
    fnQXBuf_Read(b.b, t, 3);
    fnQXBuf_Reset(b.b);
    EXPECT_EQ(b->length, 0);
    EXPECT_EQ(b->readPos, 0);
    EXPECT_EQ(b->appendedTotal, 0);
    for (int i = 0; i < b->capacity + 10; ++i) ASSERT_EQ(b->data[i], 0) << i;
    fnQXBuf_Reset(nullptr);
}

TEST(BufferPrintf, AppendsFormattedTextBoundedBy2047) {
    rrtest::LeakCheck leaks;
    Buf b(2048);
    EXPECT_EQ(fnQXBuf_Printf(b.b, "Host: %s:%d\r\n", "mms.example.net", 80), 26);
    EXPECT_EQ(stored(b.b), "Host: mms.example.net:80\r\n");
    fnQXBuf_Reset(b.b);
    const std::string long_text(3000, 'x');
    EXPECT_EQ(fnQXBuf_Printf(b.b, "%s", long_text.c_str()), 2048);  // cut: the formatter answers its size
    EXPECT_EQ(b->length, 2047);
    EXPECT_EQ(stored(b.b), long_text.substr(0, 2047));
    // No work area: nothing appended.
    fnQXBuf_Reset(b.b);
    qx::alloc_fail_nth(1);
    EXPECT_EQ(fnQXBuf_Printf(b.b, "%d", 5), -1);
    qx::alloc_fail_off();
    EXPECT_EQ(b->length, 0);
    EXPECT_EQ(fnQXBuf_Printf(nullptr, "%d", 5), -1);
}

TEST(BufferPrintf, AppendHeaderWritesNameValueAndLineEnd) {
    Buf b(4);
    fnQXBuf_AppendHeader(b.b, "User-Agent: ", "VRN-WIN K410/WAP2.0");
    fnQXBuf_AppendHeader(b.b, "Profile: ", nullptr);
    fnQXBuf_AppendHeader(b.b, nullptr, "x");
    fnQXBuf_AppendHeader(nullptr, "A: ", "x");
    EXPECT_EQ(stored(b.b), "User-Agent: VRN-WIN K410/WAP2.0\r\n");
    expect_terminated(b.b);
}

TEST(BufferPrintf, AppendHeaderGoesInWholeOrNotAtAll) {
    rrtest::LeakCheck leaks;
    rrtest::for_each_alloc_failure([](long) {
        MemBuffer *b = fnQXBuf_New(2);
        if (!b) return;
        if (fnQXBuf_Append(b, "xxGET\r\n", 7)) {
            char skip[2];
            fnQXBuf_Read(b, skip, 2);
            fnQXBuf_AppendHeader(b, "Accept: ", "*/*");
            const std::string got = stored(b);
            EXPECT_TRUE(got == "GET\r\n" || got == "GET\r\nAccept: */*\r\n") << got;
            EXPECT_EQ(b->data[b->length], 0);
        }
        fnQXBuf_Free(b);
    });
}

TEST(BufferAllocation, EveryFailureIsCleanlyHandled) {
    const long clean = rrtest::for_each_alloc_failure([](long) {
        MemBuffer *b = fnQXBuf_New(8);
        if (!b) return;
        fnQXBuf_Append(b, "GET / HTTP/1.0\r\nHost: a:80\r\n", 28);
        fnQXBuf_Printf(b, "Accept: %s\r\n", "*/*");
        char *line = fnQXBuf_ReadLine(b, "\r\n");
        char *tok = fnQXStack_Token("mmsc:80/x", ":/?", nullptr);
        char *dup = fnQXStack_StrDup("text");
        qx::free_ptr(line);
        qx::free_ptr(tok);
        qx::free_ptr(dup);
        fnQXBuf_Free(b);
    });
    EXPECT_GE(clean, 6);
}

TEST(TextRoutines, TokenCopiesUpToADelimiter) {
    rrtest::LeakCheck leaks;
    const char *url = "mmsc:8080/mms?x=1";
    int pos = 0;
    char *host = fnQXStack_Token(url, ":/?", &pos);
    EXPECT_STREQ(host, "mmsc");
    EXPECT_EQ(pos, 4);
    ++pos;
    char *port = fnQXStack_Token(url, "/", &pos);
    EXPECT_STREQ(port, "8080");
    EXPECT_EQ(pos, 9);
    char *rest = fnQXStack_Token(url, "", &pos);
    EXPECT_STREQ(rest, "/mms?x=1");
    EXPECT_EQ(pos, 17);
    char *empty = fnQXStack_Token(url, "?", &pos);  // at the end: an empty text
    EXPECT_STREQ(empty, "");
    EXPECT_EQ(pos, 17);
    int beyond = 18, negative = -1;
    EXPECT_EQ(fnQXStack_Token(url, "/", &beyond), nullptr);
    EXPECT_EQ(beyond, 18);
    EXPECT_EQ(fnQXStack_Token(url, "/", &negative), nullptr);
    EXPECT_EQ(fnQXStack_Token(nullptr, "/", &pos), nullptr);
    EXPECT_EQ(fnQXStack_Token(url, nullptr, &pos), nullptr);
    for (char *p : {host, port, rest, empty}) qx::free_ptr(p);
}

TEST(TextRoutines, SkipCharsStrDupAndHasPrefix) {
    const char *s = " \t name";
    EXPECT_EQ(fnQXStack_SkipChars(s, " \t"), s + 3);
    const char *blanks = "   ";
    EXPECT_EQ(fnQXStack_SkipChars(blanks, " "), blanks + 3);
    EXPECT_EQ(fnQXStack_SkipChars(s, ""), s);

    EXPECT_EQ(fnQXStack_StrDup(nullptr), nullptr);
    char *d = fnQXStack_StrDup("copy");
    EXPECT_STREQ(d, "copy");
    qx::free_ptr(d);

    struct Case {
        const char *line;
        const char *name;
        int want;
    };
    const Case cases[] = {
        {"content-length: 120", "Content-Length:", 0},
        {"CONTENT-TYPE: text/plain", "Content-Type:", 0},
        {"Content-Type", "Content-Type:", 1},  // shorter than the name
        {"Content_Length: 1", "Content-Length:", 1},
        {"Set-Cookie2: a=b", "Set-Cookie:", 1},
        {"HTTP/1.0 200", "HTTP/", 0},
        {"http/1.1 302", "HTTP/", 0},
        {"", "", 0},
        {"x", "", 0},
        {"@", "`", 1},  // only ASCII letters fold
        {nullptr, "HTTP/", 1},
        {"HTTP/", nullptr, 1},
        {nullptr, nullptr, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(fnQXStack_HasPrefix(c.line, c.name), c.want)
            << (c.line ? c.line : "(null)") << " / " << (c.name ? c.name : "(null)");
}

}  // namespace
