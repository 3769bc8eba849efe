// URLs of the HTTP client: splitting a request URL into host, port and path,
// refusing what must never reach a request line, and resolving the
// references of Location answers (absolute or relative) against the URL
// they answered.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

#include "qx_internal.h"
#include "qx_log.h"
#include "qx_stack_http.h"

namespace {

constexpr int kDefaultPort = 80;

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A control character or a blank would end the request line early or start
// a header line of the sender's choosing.
bool has_unsafe_byte(const char *s) {
    for (; *s; ++s) {
        const auto c = static_cast<unsigned char>(*s);
        if (c <= 0x20 || c == 0x7F) return true;
    }
    return false;
}

// Length of the scheme that begins the text when it is followed by ':'
// (ALPHA *( ALPHA / DIGIT / "+" / "-" / "." )); 0 when there is none.
int scheme_length(const char *s, int len) {
    if (len <= 0 || !is_alpha(s[0])) return 0;
    for (int i = 1; i < len; ++i) {
        const char c = s[i];
        if (c == ':') return i;
        if (!is_alpha(c) && !is_digit(c) && c != '+' && c != '-' && c != '.') return 0;
    }
    return 0;
}

bool is_http_scheme(const char *s, int n) {
    return n == 4 && fnQXStack_HasPrefix(s, "http") == 0;
}

int text_len(const char *s) { return s ? static_cast<int>(strnlen(s, INT32_MAX / 4)) : 0; }

// A copy of the n bytes at s as a text, or null.
char *copy_span(const char *s, int n) {
    if (n < 0) return nullptr;
    char *t = static_cast<char *>(fnQX_Malloc(n + 1));
    if (!t) return nullptr;
    if (n > 0) memcpy(t, s, static_cast<size_t>(n));
    t[n] = '\0';
    return t;
}

// Appends n bytes to the text being built at out (which has room).
void put(char *out, int *len, const char *s, int n) {
    if (n <= 0) return;
    memcpy(out + *len, s, static_cast<size_t>(n));
    *len += n;
    out[*len] = '\0';
}

// Writes the path s[0..n) (which begins with '/') into out without its "."
// and ".." segments; out needs n + 2 bytes. Returns the length written.
int remove_dot_segments(const char *s, int n, char *out) {
    int len = 0;
    out[0] = '\0';
    int i = 1;  // past the leading '/'
    for (;;) {
        int end = i;
        while (end < n && s[end] != '/') ++end;
        const int segLen = end - i;
        const bool last = end >= n;
        if (segLen == 1 && s[i] == '.') {
            if (last) put(out, &len, "/", 1);
        } else if (segLen == 2 && s[i] == '.' && s[i + 1] == '.') {
            while (len > 0 && out[len - 1] != '/') --len;
            if (len > 0) --len;
            out[len] = '\0';
            if (last) put(out, &len, "/", 1);
        } else {
            put(out, &len, "/", 1);
            put(out, &len, s + i, segLen);
        }
        if (last) break;
        i = end + 1;
    }
    if (len == 0) put(out, &len, "/", 1);
    return len;
}

}  // namespace

namespace {

constexpr int kMaxHostLen = 253;
constexpr int kMaxLabelLen = 63;
constexpr int kMaxPort = 65535;

bool is_host_char(char c) { return is_alpha(c) || is_digit(c) || c == '-' || c == '_'; }

// A host name of dot-separated labels (a last dot allowed), or a dotted IPv4
// address: nothing else is ever looked up.
bool is_host_name(const char *h, int n) {
    if (n <= 0 || n > kMaxHostLen) return false;
    bool onlyDigits = true;
    int label = 0;
    for (int i = 0; i < n; ++i) {
        const char c = h[i];
        if (c == '.') {
            if (label == 0) return false;
            if (h[i - 1] == '-') return false;
            label = 0;
            continue;
        }
        if (!is_host_char(c)) return false;
        if (label == 0 && c == '-') return false;
        if (++label > kMaxLabelLen) return false;
        if (!is_digit(c)) onlyDigits = false;
    }
    if (label > 0 && h[n - 1] == '-') return false;
    if (!onlyDigits) return true;
    // Digits and dots only: an IPv4 address in four dotted parts, or nothing
    // (a resolver would read "127.1" or "2130706433" as some address).
    char v4[16];
    if (n >= static_cast<int>(sizeof v4)) return false;
    memcpy(v4, h, static_cast<size_t>(n));
    v4[n] = '\0';
    in_addr a{};
    return inet_pton(AF_INET, v4, &a) == 1;
}

// The inside of "[...]": an IPv6 address (no zone).
bool is_ipv6_literal(const char *h, int n) {
    char v6[INET6_ADDRSTRLEN];
    if (n <= 0 || n >= static_cast<int>(sizeof v6)) return false;
    memcpy(v6, h, static_cast<size_t>(n));
    v6[n] = '\0';
    in6_addr a{};
    return inet_pton(AF_INET6, v6, &a) == 1;
}

}  // namespace

const char *fnQXStack_UrlFaultText(QXUrlFault fault) {
    switch (fault) {
        case QXUrlFault::None: return "a usable URL";
        case QXUrlFault::Empty: return "no URL";
        case QXUrlFault::UnsafeByte: return "a control character or blank in it";
        case QXUrlFault::Scheme: return "a scheme other than http (https is not supported)";
        case QXUrlFault::NoHost: return "no host";
        case QXUrlFault::Userinfo: return "user information before the host (user@host is not supported)";
        case QXUrlFault::BadHost: return "no host name, IPv4 address or bracketed IPv6 address";
        case QXUrlFault::BadPort: return "a port that is not 1 to 65535 in digits";
    }
    return "an unusable URL";
}

QXUrlFault fnQXStack_ReadPort(const char *text, int len, int *port) {
    if (!text || len <= 0 || len > 5) return QXUrlFault::BadPort;
    int v = 0;
    for (int i = 0; i < len; ++i) {
        if (!is_digit(text[i])) return QXUrlFault::BadPort;
        v = v * 10 + (text[i] - '0');
    }
    if (v < 1 || v > kMaxPort) return QXUrlFault::BadPort;
    *port = v;
    return QXUrlFault::None;
}

QXUrlFault fnQXStack_ReadAuthority(const char *text, int len, int defaultPort, QXAuthority *out) {
    if (!text || len <= 0) return QXUrlFault::NoHost;
    for (int i = 0; i < len; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c <= 0x20 || c == 0x7F) return QXUrlFault::UnsafeByte;
        if (c == '@') return QXUrlFault::Userinfo;
    }
    QXAuthority a{text, 0, false, defaultPort};
    int hostEnd;
    if (text[0] == '[') {
        const char *close = static_cast<const char *>(memchr(text, ']', static_cast<size_t>(len)));
        if (!close || !is_ipv6_literal(text + 1, static_cast<int>(close - text) - 1)) return QXUrlFault::BadHost;
        hostEnd = static_cast<int>(close - text) + 1;
        a.ipv6 = true;
        if (hostEnd < len && text[hostEnd] != ':') return QXUrlFault::BadHost;
    } else {
        const char *colon = static_cast<const char *>(memchr(text, ':', static_cast<size_t>(len)));
        hostEnd = colon ? static_cast<int>(colon - text) : len;
        if (hostEnd == 0) return QXUrlFault::NoHost;
        if (!is_host_name(text, hostEnd)) return QXUrlFault::BadHost;
    }
    a.hostLen = hostEnd;
    if (hostEnd < len) {  // ':' and the port; an empty one is the default
        const int portLen = len - hostEnd - 1;
        if (portLen > 0 && fnQXStack_ReadPort(text + hostEnd + 1, portLen, &a.port) != QXUrlFault::None)
            return QXUrlFault::BadPort;
    }
    *out = a;
    return QXUrlFault::None;
}

QXUrlFault fnQXStack_ReadUrl(const char *url, QXUrl *out) {
    if (!url || !*url) return QXUrlFault::Empty;
    if (has_unsafe_byte(url)) return QXUrlFault::UnsafeByte;
    const int urlLen = text_len(url);
    // "scheme://" when the text starts with a scheme; without one the URL
    // begins with the authority. Only http can be spoken here.
    const char *start = url;
    const int scheme = scheme_length(url, urlLen);
    if (scheme > 0 && strncmp(url + scheme, "://", 3) == 0) {
        if (!is_http_scheme(url, scheme)) return QXUrlFault::Scheme;
        start = url + scheme + 3;
    } else if (scheme > 0) {
        // "name:" not followed by "//": a host and its port ("relay.test:8002/")
        // when digits (one at least) follow up to the path, else a scheme without an
        // authority ("http:/mms", "https:/x", "mailto:x"), whose first word
        // must never be taken for a host and looked up.
        const char *after = url + scheme + 1;
        const size_t digits = strspn(after, "0123456789");
        const char end = after[digits];
        const bool port = digits > 0 && (end == '\0' || end == '/' || end == '?' || end == '#');
        if (!port) return is_http_scheme(url, scheme) ? QXUrlFault::NoHost : QXUrlFault::Scheme;
    }
    const int authLen = static_cast<int>(strcspn(start, "/?#"));
    if (authLen == 0) return QXUrlFault::NoHost;
    QXUrl u{};
    const QXUrlFault f = fnQXStack_ReadAuthority(start, authLen, kDefaultPort, &u.authority);
    if (f != QXUrlFault::None) return f;
    u.path = start + authLen;
    u.pathLen = static_cast<int>(strcspn(u.path, "#"));
    *out = u;
    return QXUrlFault::None;
}

bool fnQXStack_ConnectHost(const char *host, int hostLen, char *out, int size) {
    if (!host || !out || size <= 0) return false;
    if (hostLen >= 2 && host[0] == '[' && host[hostLen - 1] == ']') {
        ++host;
        hostLen -= 2;
    }
    if (hostLen < 0 || hostLen >= size) return false;
    memcpy(out, host, static_cast<size_t>(hostLen));
    out[hostLen] = '\0';
    return true;
}

int fnQXStack_Http_ParseUrl(HttpCtx *ctx, const char *url) {
    if (!ctx || !url) return QX_STEP_FAILED;
    QXUrl u{};
    const QXUrlFault f = fnQXStack_ReadUrl(url, &u);
    if (f != QXUrlFault::None) {
        QX_LOG("http: url refused: %s", fnQXStack_UrlFaultText(f));
        return QX_STEP_FAILED;
    }
    const int urlLen = text_len(url);
    // Path: "/" when empty, and "/" before a query that follows the host
    // directly; a fragment never goes on the wire.
    const bool slash = u.pathLen == 0 || u.path[0] != '/';

    // Everything the new values need is allocated before the context changes,
    // so a failure leaves it as it was. The URL argument may be ctx->url.
    char *hostname = copy_span(u.authority.host, u.authority.hostLen);
    char *path = static_cast<char *>(fnQX_Malloc(u.pathLen + 2));
    char *urlCopy = copy_span(url, urlLen);
    if (!hostname || !path || !urlCopy) {
        qx::free_ptr(hostname);
        qx::free_ptr(path);
        qx::free_ptr(urlCopy);
        return QX_STEP_FAILED;
    }
    int len = 0;
    if (slash) put(path, &len, "/", 1);
    put(path, &len, u.path, u.pathLen);
    qx::free_ptr(ctx->hostname);
    qx::free_ptr(ctx->path);
    qx::free_ptr(ctx->url);
    ctx->hostname = hostname;
    ctx->path = path;
    ctx->port = u.authority.port;
    ctx->url = urlCopy;
    return QX_STEP_DONE;
}

char *fnQXStack_Http_ResolveUrl(const HttpCtx *ctx, const char *reference) {
    if (!ctx || !reference || !ctx->hostname || !ctx->path) return nullptr;
    if (has_unsafe_byte(reference)) {
        QX_LOG("http: location refused: %s", fnQXStack_UrlFaultText(QXUrlFault::UnsafeByte));
        return nullptr;
    }
    const int refLen = static_cast<int>(strcspn(reference, "#"));  // the fragment stays behind

    const int scheme = scheme_length(reference, refLen);
    if (scheme > 0) {
        if (!is_http_scheme(reference, scheme) || strncmp(reference + scheme, "://", 3) != 0) {
            QX_LOG("http: location of another scheme refused");
            return nullptr;
        }
        return copy_span(reference, refLen);
    }
    if (refLen >= 2 && reference[0] == '/' && reference[1] == '/') {
        // Network-path reference: this scheme, another authority.
        char *out = static_cast<char *>(fnQX_Malloc(refLen + 6));
        if (!out) return nullptr;
        int len = 0;
        put(out, &len, "http:", 5);
        put(out, &len, reference, refLen);
        return out;
    }

    // Same authority: "http://host[:port]" and a path made from the
    // reference and the path of the request.
    char authority[16];
    const int portLen = ctx->port == kDefaultPort ? 0 : std::snprintf(authority, sizeof authority, ":%d", ctx->port);
    const int hostLen = text_len(ctx->hostname);
    const char *basePath = ctx->path;
    const int baseLen = static_cast<int>(strcspn(basePath, "?"));  // without the query

    const char *refQuery = reference + strcspn(reference, "?");
    if (refQuery > reference + refLen) refQuery = reference + refLen;
    const int refPathLen = static_cast<int>(refQuery - reference);
    const int refQueryLen = static_cast<int>(reference + refLen - refQuery);

    // The merged path before its dot segments go: the reference's own path,
    // the request's path (for a query or an empty reference), or the
    // request's directory followed by the reference.
    int dirLen = 0;
    if (refPathLen == 0) {
        dirLen = baseLen;
    } else if (reference[0] != '/') {
        for (int i = 0; i < baseLen; ++i)
            if (basePath[i] == '/') dirLen = i + 1;
    }
    const int mergedLen = dirLen + refPathLen;
    char *merged = static_cast<char *>(fnQX_Malloc(mergedLen + 2));
    const int queryLen = refLen == 0 ? static_cast<int>(strlen(basePath + baseLen)) : refQueryLen;
    char *out = static_cast<char *>(fnQX_Malloc(7 + hostLen + portLen + mergedLen + 2 + queryLen + 1));
    if (!merged || !out) {
        qx::free_ptr(merged);
        qx::free_ptr(out);
        return nullptr;
    }
    int m = 0;
    put(merged, &m, basePath, dirLen);
    put(merged, &m, reference, refPathLen);
    if (m == 0 || merged[0] != '/') {
        // The request path always begins with '/'; keep the result absolute.
        memmove(merged + 1, merged, static_cast<size_t>(m) + 1);
        merged[0] = '/';
        ++m;
    }
    int len = 0;
    put(out, &len, "http://", 7);
    put(out, &len, ctx->hostname, hostLen);
    put(out, &len, authority, portLen);
    len += remove_dot_segments(merged, m, out + len);
    if (refLen == 0)
        put(out, &len, basePath + baseLen, queryLen);
    else
        put(out, &len, refQuery, refQueryLen);
    qx::free_ptr(merged);
    return out;
}
