// Arbitrary bytes as the response stream of an HTTP request, read through the
// run machine until it ends; then the context is closed and the stack
// finalised, and nothing may be left allocated or open.
//
// Input layout: byte 0 picks the request and how the stream ends, bytes 1-3
// give the sizes of the chunks the stream is delivered in (cycling), byte 4
// the read capacity; the rest is the stream.
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

constexpr int kMaxSteps = 400;

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_http_response: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = (qx::set_log_enabled(false), true);
    (void)quiet;
    if (size < 5) return 0;
    auto *copy = static_cast<uint8_t *>(std::malloc(size));
    std::memcpy(copy, data, size);

    const uint8_t control = copy[0];
    const int sizes[3] = {copy[1] + 1, copy[2] + 1, copy[3] + 1};
    const int capacity = 1 + copy[4] * 8;
    const bool post = control & 0x04;
    const bool direct = control & 0x08;
    const bool stalls = control & 0x10;

    osal_script::reset();
    const long blocksBefore = qx::alloc_stats().liveBlocks;
    fnQXStack_Http_Init();
    fnQXStack_Http_SetProxy(direct ? nullptr : "wap.proxy.test", 8080);

    // The stream in chunks, with "nothing yet" between them when asked.
    size_t pos = 5;
    for (int i = 0; pos < size; ++i) {
        const size_t n = std::min(static_cast<size_t>(sizes[i % 3]), size - pos);
        osal_script::push_read_data(std::string(reinterpret_cast<const char *>(copy + pos), n));
        if (stalls) osal_script::push_read_result(-2);
        pos += n;
    }
    switch (control & 0x03) {
        case 0: osal_script::push_read_result(0); break;   // peer closes
        case 1: osal_script::push_read_result(-1); break;  // read error
        default: break;                                    // the peer goes silent
    }

    static const uint8_t body[] = {0x8c, 0x80, 0x98, 'T', 0x00};
    HttpCtx *ctx = post ? fnQXStack_Http_Open_Post("http://mms.test:8002/send", body, sizeof body, nullptr)
                        : fnQXStack_Http_Open_Get("http://mms.test/get?id=1");
    check(ctx != nullptr, "no context");
    auto *out = static_cast<uint8_t *>(std::malloc(static_cast<size_t>(capacity)));
    long total = 0;
    for (int step = 0; step < kMaxSteps; ++step) {
        const int r = fnQXStack_Http_Read(ctx, out, capacity);
        check(r >= -2 && r <= capacity, "read result out of range");
        if (r == 0 || r == -1) break;
        if (r > 0) total += r;
    }
    check(total <= static_cast<long>(size), "more body bytes than stream bytes");
    check(ctx->redirectCount <= QX_HTTP_MAX_REDIRECTS + 1, "redirect limit");
    fnQXStack_Http_Close(ctx);
    fnQXStack_Http_Finalize();
    check(osal_script::sockets_open() == 0, "socket left open");
    check(osal_script::bad_socket_calls() == 0, "call on a closed socket");
    check(qx::alloc_stats().liveBlocks == blocksBefore, "blocks left allocated");
    std::free(out);
    std::free(copy);
    return 0;
}
