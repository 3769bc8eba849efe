// The URL reader on any bytes: relay URLs, Locations resolved against a
// request, proxy host-and-port texts. Whatever it accepts must be a usable
// http URL whose host is a host name or an address (nothing else may ever be
// looked up), read back the same when written again; it never reads past
// the bytes it was given.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qx_alloc_test.h"
#include "qx_log.h"
#include "rorodire.h"
#include "qx_stack_http.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

bool host_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.';
}

// An accepted authority: a port, and a host that is a name or an address.
void check_authority(const QXAuthority &a, const char *from, size_t len) {
    check(a.host >= from && a.hostLen > 0 && a.host + a.hostLen <= from + len);
    check(a.port >= 1 && a.port <= 65535);
    char host[300];
    check(fnQXStack_ConnectHost(a.host, a.hostLen, host, sizeof host));
    if (a.ipv6) {
        in6_addr v6{};
        check(inet_pton(AF_INET6, host, &v6) == 1);
    } else {
        for (const char *p = host; *p; ++p) check(host_char(*p));
    }
}

void check_url(const char *url, size_t len) {
    QXUrl u{};
    if (fnQXStack_ReadUrl(url, &u) != QXUrlFault::None) {
        check(fnQXStack_Http_Open_Get(url) == nullptr);
        return;
    }
    check_authority(u.authority, url, len);
    check(u.path >= url && u.pathLen >= 0 && u.path + u.pathLen <= url + len);
    for (int i = 0; i < u.pathLen; ++i) check(u.path[i] != '#');
    // Written again, the URL reads back the same.
    const std::string again = "http://" + std::string(u.authority.host, static_cast<size_t>(u.authority.hostLen)) +
                              ":" + std::to_string(u.authority.port) + std::string(u.path, static_cast<size_t>(u.pathLen));
    QXUrl v{};
    check(fnQXStack_ReadUrl(again.c_str(), &v) == QXUrlFault::None);
    check(v.authority.port == u.authority.port && v.authority.ipv6 == u.authority.ipv6);
    check(std::string(v.authority.host, v.authority.hostLen) == std::string(u.authority.host, u.authority.hostLen));
    HttpCtx *ctx = fnQXStack_Http_Open_Get(url);
    if (!ctx) return;  // only when memory ran out
    check(ctx->port == u.authority.port && ctx->path[0] == '/');
    check(std::string(ctx->hostname) == std::string(u.authority.host, u.authority.hostLen));
    fnQXStack_Http_Close(ctx);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = (qx::set_log_enabled(false), true);
    (void)quiet;
    if (size < 1 || size > 4096) return 0;
    const long liveBefore = qx::alloc_stats().liveBlocks;
    const uint8_t mode = data[0] % 3;
    ++data;
    --size;
    // An exact copy (no terminator) for the bounded reader, a terminated one
    // for the URL readers.
    auto *exact = static_cast<char *>(std::malloc(size ? size : 1));
    if (size) std::memcpy(exact, data, size);
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.substr(0, std::strlen(text.c_str()));

    if (mode == 0) {
        check_url(text.c_str(), text.size());
    } else if (mode == 1) {
        QXAuthority a{};
        if (fnQXStack_ReadAuthority(exact, static_cast<int>(size), 80, &a) == QXUrlFault::None)
            check_authority(a, exact, size);
        int port = 0;
        if (fnQXStack_ReadPort(exact, static_cast<int>(size), &port) == QXUrlFault::None)
            check(port >= 1 && port <= 65535 && size <= 5);
    } else {
        // A Location against the URL of a request: absolute, network-path,
        // absolute-path or relative; the result is a URL the reader takes.
        HttpCtx *ctx = fnQXStack_Http_Open_Get("http://[2001:db8::1]:8002/mms/get?id=7");
        check(ctx != nullptr);
        if (char *target = fnQXStack_Http_ResolveUrl(ctx, text.c_str())) {
            QXUrl u{};
            const QXUrlFault f = fnQXStack_ReadUrl(target, &u);
            // A reference that names its own authority is read as it is.
            check(f == QXUrlFault::None || std::strstr(target, "//") != nullptr);
            if (f == QXUrlFault::None) check_url(target, std::strlen(target));
            void *p = target;
            fnQX_Free(&p);
        }
        fnQXStack_Http_Close(ctx);
    }
    std::free(exact);
    check(qx::alloc_stats().liveBlocks == liveBefore);
    return 0;
}
