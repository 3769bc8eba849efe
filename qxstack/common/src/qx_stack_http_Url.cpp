// URLs of the HTTP client: splitting a request URL into host, port and path,
// refusing what must never reach a request line, and resolving the
// references of Location answers (absolute or relative) against the URL
// they answered.
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

int fnQXStack_Http_ParseUrl(HttpCtx *ctx, const char *url) {
    if (!ctx || !url) return QX_STEP_FAILED;
    if (has_unsafe_byte(url)) {
        QX_LOG("http: url with a control character or blank refused");
        return QX_STEP_FAILED;
    }
    const int urlLen = text_len(url);

    // "scheme://" when the text starts with a scheme; without one the URL
    // begins with the host. Only http can be spoken here.
    const char *start = url;
    const int scheme = scheme_length(url, urlLen);
    if (scheme > 0 && strncmp(url + scheme, "://", 3) == 0) {
        if (!is_http_scheme(url, scheme)) {
            QX_LOG("http: url of another scheme refused");
            return QX_STEP_FAILED;
        }
        start = url + scheme + 3;
    }

    // Host: up to the first ':', '/', '?' or '#'.
    const int hostLen = static_cast<int>(strcspn(start, ":/?#"));
    if (hostLen == 0) {
        QX_LOG("http: url without a host refused");
        return QX_STEP_FAILED;
    }
    const char *rest = start + hostLen;

    // Port: the decimal number that begins the text between ':' and the path
    // or query; without one the port stays 80.
    int port = kDefaultPort;
    if (*rest == ':') {
        ++rest;
        const int portLen = static_cast<int>(strcspn(rest, "/?#"));
        if (is_digit(rest[0])) {
            long value = 0;
            for (int i = 0; i < portLen && is_digit(rest[i]); ++i) {
                value = value * 10 + (rest[i] - '0');
                if (value > 65535) {
                    QX_LOG("http: bad port in url");
                    return QX_STEP_FAILED;  // no TCP port: refuse rather than connect somewhere else
                }
            }
            port = static_cast<int>(value);
        }
        rest += portLen;
    }

    // Path: the rest up to a fragment (which never goes on the wire), "/"
    // when empty, and "/" before a query that follows the host directly.
    const int pathLen = static_cast<int>(strcspn(rest, "#"));
    const bool slash = pathLen == 0 || rest[0] != '/';

    // Everything the new values need is allocated before the context changes,
    // so a failure leaves it as it was. The URL argument may be ctx->url.
    char *hostname = copy_span(start, hostLen);
    char *path = static_cast<char *>(fnQX_Malloc(pathLen + 2));
    char *urlCopy = copy_span(url, urlLen);
    if (!hostname || !path || !urlCopy) {
        qx::free_ptr(hostname);
        qx::free_ptr(path);
        qx::free_ptr(urlCopy);
        return QX_STEP_FAILED;
    }
    int len = 0;
    if (slash) put(path, &len, "/", 1);
    put(path, &len, rest, pathLen);
    qx::free_ptr(ctx->hostname);
    qx::free_ptr(ctx->path);
    qx::free_ptr(ctx->url);
    ctx->hostname = hostname;
    ctx->path = path;
    ctx->port = port;
    ctx->url = urlCopy;
    return QX_STEP_DONE;
}

char *fnQXStack_Http_ResolveUrl(const HttpCtx *ctx, const char *reference) {
    if (!ctx || !reference || !ctx->hostname || !ctx->path) return nullptr;
    if (has_unsafe_byte(reference)) {
        QX_LOG("http: location with a control character or blank refused");
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
