// Arbitrary bytes as the response streams of an HTTP request, read through
// the run machine until it ends; then the context is closed and the stack
// finalised, and nothing may be left allocated or open. On the way: the
// result and the state agree, an ended request holds no socket, every
// request that went out (redirect targets come from the stream) is one
// well-formed request with no line of the server's making, and no stored
// cookie could break one.
//
// Input layout: byte 0 picks the request and how each stream ends, byte 1
// what framing is put in front of the first stream, bytes 2-4 the sizes of
// the chunks the streams are delivered in (cycling), byte 5 the read
// capacity; the rest is the streams, one per connection, separated by the
// two bytes "\n\0" (a redirect goes to the next stream).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "osal_scripted.h"
#include "qx_alloc_test.h"
#include "qx_log.h"
#include "qx_stack_http.h"

namespace {

constexpr int kMaxSteps = 600;
constexpr int kHeader = 6;
const char kSeparator[] = {'\n', '\0'};

const char *const kPrefixes[] = {
    "",
    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
    "HTTP/1.1 100 Continue\r\n\r\n",
    "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
    "HTTP/1.1 307 Temporary Redirect\r\nLocation: ",
    "HTTP/1.0 302 Found\r\nLocation: ",
    "HTTP/1.0 200 OK\r\nContent-Length: ",
    "HTTP/1.0 200 OK\r\nSet-Cookie: ",
};

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_http_response: %s\n", what);
        std::abort();
    }
}

// One request as the client must write it: a request line of a method, one
// target without blanks or controls and HTTP/1.0; header lines without
// controls; one blank line; then exactly the body.
void check_request(const std::string &req, const std::string &body) {
    const size_t end = req.find("\r\n\r\n");
    check(end != std::string::npos, "request without its blank line");
    check(req.substr(end + 4) == body, "request body differs");
    const std::string head = req.substr(0, end + 2);
    size_t at = 0;
    bool first = true;
    while (at < head.size()) {
        const size_t eol = head.find("\r\n", at);
        check(eol != std::string::npos, "request line without CRLF");
        const std::string line = head.substr(at, eol - at);
        for (unsigned char c : line) check(c >= 0x20 && c != 0x7F, "control character in a request line");
        if (first) {
            check(line.rfind("GET ", 0) == 0 || line.rfind("POST ", 0) == 0, "request line method");
            const size_t sp = line.find(' ');
            const size_t sp2 = line.find(' ', sp + 1);
            check(sp2 != std::string::npos && line.substr(sp2) == " HTTP/1.0", "request line target");
        } else {
            check(line.find(':') != std::string::npos, "header line without a name");
        }
        first = false;
        at = eol + 2;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = (qx::set_log_enabled(false), true);
    (void)quiet;
    if (size < kHeader) return 0;
    auto *copy = static_cast<uint8_t *>(std::malloc(size));
    std::memcpy(copy, data, size);

    const uint8_t control = copy[0];
    const char *prefix = kPrefixes[copy[1] % (sizeof kPrefixes / sizeof kPrefixes[0])];
    const int sizes[3] = {copy[2] + 1, copy[3] + 1, copy[4] + 1};
    const int capacity = 1 + copy[5] * 8;
    const bool post = control & 0x04;
    const bool direct = control & 0x08;
    const bool stalls = control & 0x10;

    osal_script::reset();
    const long blocksBefore = qx::alloc_stats().liveBlocks;
    fnQXStack_Http_Init();
    fnQXStack_Http_SetProxy(direct ? nullptr : "wap.proxy.test", 8080);

    // The streams in chunks, with "nothing yet" between them when asked.
    std::string all = prefix;
    all.append(reinterpret_cast<const char *>(copy + kHeader), size - kHeader);
    size_t from = 0;
    int streams = 0;
    for (int chunk = 0; from <= all.size() && streams < 16; ++streams) {
        size_t to = all.find(std::string(kSeparator, 2), from);
        if (to == std::string::npos) to = all.size();
        for (size_t pos = from; pos < to; ++chunk) {
            const size_t n = std::min(static_cast<size_t>(sizes[chunk % 3]), to - pos);
            osal_script::push_read_data(all.substr(pos, n));
            if (stalls) osal_script::push_read_result(-2);
            pos += n;
        }
        switch ((control >> (5 + streams % 3)) & 0x03) {
            case 0: osal_script::push_read_result(0); break;   // peer closes
            case 1: osal_script::push_read_result(-1); break;  // connection reset
            default: if (to == all.size()) break;               // the last peer may go silent
                     osal_script::push_read_result(0);
                     break;
        }
        from = to + 2;
    }

    static const uint8_t body[] = {0x8c, 0x80, 0x98, 'T', 0x00};
    HttpCtx *ctx = post ? fnQXStack_Http_Open_Post("http://mms.test:8002/send", body, sizeof body, "application/vnd.wap.mms-message")
                        : fnQXStack_Http_Open_Get("http://mms.test/get?id=1");
    check(ctx != nullptr, "no context");
    auto *out = static_cast<uint8_t *>(std::malloc(static_cast<size_t>(capacity)));
    long total = 0;
    int r = -2;
    for (int step = 0; step < kMaxSteps; ++step) {
        osal_script::run_turn();  // the main loop turns between steps: connects complete
        r = fnQXStack_Http_Read(ctx, out, capacity);
        check(osal_script::callbacks_inside_calls() == 0, "a callback from inside an osal call");
        check(r >= -2 && r <= capacity, "read result out of range");
        if (r == 0 || r == -1) break;
        if (r > 0) total += r;
    }
    check(total <= static_cast<long>(all.size()), "more body bytes than stream bytes");
    check(ctx->redirectCount <= QX_HTTP_MAX_REDIRECTS + 1, "redirect limit");
    if (r == 0) check(ctx->state == HTTP_ST_DONE, "success in a state other than done");
    if (r == -1) check(ctx->state < 0, "failure in a state that is not an error");
    if (r == 0 || r == -1) check(osal_script::sockets_open() == 0, "an ended request holds a socket");

    // Every request that went out, to every target, is one whole request.
    const std::string sent = post ? std::string(reinterpret_cast<const char *>(body), sizeof body) : std::string();
    for (int i = 0; i < osal_script::sockets_created(); ++i) {
        const std::string req = osal_script::written(static_cast<OSAL_SOCKET>(101 + i));
        if (req.empty()) continue;  // closed before its request went out
        check_request(req, req.rfind("POST ", 0) == 0 ? sent : std::string());
    }
    if (const QXList *jar = fnQXStack_Http_CookieList()) {
        for (const QXListNode *n = jar->head; n; n = n->next) {
            const auto *c = static_cast<const QXCookie *>(n->item);
            const std::string text = std::string(c->name) + c->value;
            check(text.size() <= static_cast<size_t>(QX_MAX_COOKIE_TEXT), "cookie too long to go out whole");
            for (unsigned char ch : text) check(ch >= 0x20 && ch != 0x7F, "control character in a cookie");
        }
    }

    fnQXStack_Http_Close(ctx);
    fnQXStack_Http_Finalize();
    check(osal_script::sockets_open() == 0, "socket left open");
    check(osal_script::bad_socket_calls() == 0, "call on a closed socket");
    check(osal_script::addrs_live() == 0, "address record left");
    check(qx::alloc_stats().liveBlocks == blocksBefore, "blocks left allocated");
    std::free(out);
    std::free(copy);
    return 0;
}
