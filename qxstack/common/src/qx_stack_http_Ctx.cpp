// HTTP module state, request contexts, URL splitting and request composition.
#include <cstring>

#include "glib_qx_stack_porting.h"
#include "qx_internal.h"
#include "qx_log.h"
#include "qx_stack_http.h"

namespace {

// Module state: one instance for the process. The 2048-byte work area that
// carries socket writes and reads lives beside the run machine that uses it.
char *g_proxyHost = nullptr;
int g_proxyPort = 0;
int g_initialised = 0;

// Built-in values of the header store; the transactions overwrite User-Agent
// and Profile with their configured values.
constexpr const char *kDefaultAccept = "*/*,application/vnd.wap.mms-message,text/html";
constexpr const char *kDefaultUserAgent = "VRN-WIN K410/WAP2.0 Profile/MIDP-2.0 Configuration/CLDC-1.1";
constexpr const char *kDefaultProfile = "http://uaprof.vrn-mobile.com/mobile/uaprof/VRN-K410.xml";
constexpr const char *kDefaultAcceptLanguage = "en";

// The stored headers a request carries, in the order they are written. Other
// stored names are never sent.
struct RequestHeader {
    const char *name;
    const char *linePart;
};
constexpr RequestHeader kRequestHeaders[] = {
    {"Accept", "Accept: "},
    {"User-Agent", "User-Agent: "},
    {"Profile", "Profile: "},
    {"Accept-Language", "Accept-Language: "},
};

int text_len(const char *s) { return s ? static_cast<int>(strnlen(s, INT32_MAX - 16)) : 0; }

void append_text(MemBuffer *buf, const char *s) {
    const int n = text_len(s);
    if (n > 0) fnQXBuf_Append(buf, s, n);
}

// A copy of the n bytes at s as a text, or null.
char *copy_span(const char *s, int n) {
    if (n < 0) return nullptr;
    char *t = static_cast<char *>(fnQX_Malloc(n + 1));
    if (!t) return nullptr;
    if (n > 0) memcpy(t, s, static_cast<size_t>(n));
    t[n] = '\0';
    return t;
}

HttpCtx *open_context(const char *url) {
    if (!url) return nullptr;
    HttpCtx *ctx = qx::alloc_rec<HttpCtx>();
    if (!ctx) return nullptr;
    ctx->socket = -1;
    ctx->sendBuf = fnQXBuf_New(QX_HTTP_CHUNK);
    ctx->recvBuf = fnQXBuf_New(QX_HTTP_CHUNK);
    if (!ctx->sendBuf || !ctx->recvBuf || fnQXStack_Http_ParseUrl(ctx, url) != 0) {
        fnQXStack_Http_Close(ctx);
        return nullptr;
    }
    return ctx;
}

}  // namespace

int fnQXStack_Http_Init() {
    if (g_initialised) return 0;
    if (fnQX_Stack_Init() != 1) return -1;
    g_initialised = 1;
    fnQXStack_Http_SetHeader("Accept", kDefaultAccept);
    fnQXStack_Http_SetHeader("User-Agent", kDefaultUserAgent);
    fnQXStack_Http_SetHeader("Profile", kDefaultProfile);
    fnQXStack_Http_SetHeader("Accept-Language", kDefaultAcceptLanguage);
    return 0;
}

int fnQXStack_Http_Finalize() {
    fnQX_Stack_Finalize();
    g_initialised = 0;
    fnQXStack_Http_FreeHeaders();
    fnQXStack_Http_FreeCookies();
    // Every transaction sets its proxy after initialising, so the copy is
    // dropped here with the rest of the module state: nothing stays allocated
    // between transactions.
    qx::free_ptr(g_proxyHost);
    g_proxyPort = 0;
    return 0;
}

void fnQXStack_Http_SetProxy(const char *host, int port) {
    // An empty host name means "no proxy", like a null one.
    char *copy = (host && host[0]) ? fnQXStack_StrDup(host) : nullptr;
    qx::free_ptr(g_proxyHost);
    g_proxyHost = copy;
    g_proxyPort = port;
}

const char *fnQXStack_Http_ProxyHost() { return g_proxyHost; }

int fnQXStack_Http_ProxyPort() { return g_proxyPort; }

HttpCtx *fnQXStack_Http_Open_Get(const char *url) {
    HttpCtx *ctx = open_context(url);
    if (!ctx) return nullptr;
    ctx->method = fnQXStack_StrDup("GET");
    if (!ctx->method) {
        fnQXStack_Http_Close(ctx);
        return nullptr;
    }
    return ctx;
}

HttpCtx *fnQXStack_Http_Open_Post(const char *url, const uint8_t *body, int bodyLen, const char *contentType) {
    HttpCtx *ctx = open_context(url);
    if (!ctx) return nullptr;
    ctx->method = fnQXStack_StrDup("POST");
    ctx->contentType = fnQXStack_StrDup(contentType ? contentType : "application/x-www-form-urlencoded");
    if (!ctx->method || !ctx->contentType) {
        fnQXStack_Http_Close(ctx);
        return nullptr;
    }
    // The body stays the caller's; a null body carries nothing whatever length is claimed.
    ctx->body = body;
    ctx->bodyLen = body ? bodyLen : 0;
    return ctx;
}

void fnQXStack_Http_Close(HttpCtx *ctx) {
    if (!ctx) return;
    qx::free_ptr(ctx->url);
    qx::free_ptr(ctx->hostname);
    qx::free_ptr(ctx->path);
    qx::free_ptr(ctx->method);
    qx::free_ptr(ctx->contentType);
    qx::free_ptr(ctx->retContentType);
    if (ctx->socket >= 0) fnQX_Stack_Close(ctx->socket);
    ctx->socket = -1;
    fnQXBuf_Free(ctx->sendBuf);
    fnQXBuf_Free(ctx->recvBuf);
    qx::free_ptr(ctx);
}

int fnQXStack_Http_ParseUrl(HttpCtx *ctx, const char *url) {
    if (!ctx || !url) return -1;

    const char *scheme = strstr(url, "://");
    const char *start = scheme ? scheme + 3 : url;

    // Host: up to the first ':', '/' or '?'.
    const int hostLen = static_cast<int>(strcspn(start, ":/?"));
    const char *rest = start + hostLen;

    // Port: the decimal number that begins the text between ':' and the next '/'.
    int port = 80;
    if (*rest == ':') {
        ++rest;
        const int portLen = static_cast<int>(strcspn(rest, "/"));
        if (rest[0] >= '0' && rest[0] <= '9') {
            long value = 0;
            for (int i = 0; i < portLen && rest[i] >= '0' && rest[i] <= '9'; ++i) {
                value = value * 10 + (rest[i] - '0');
                if (value > 65535) {
                    QX_LOG("http: bad port in url");
                    return -1;  // no TCP port: refuse rather than connect somewhere else
                }
            }
            port = static_cast<int>(value);
        }
        rest += portLen;
    }

    // Everything the new values need is allocated before the context changes,
    // so a failure leaves it as it was. The URL argument may be ctx->url.
    char *hostname = copy_span(start, hostLen);
    char *path = copy_span(*rest ? rest : "/", text_len(*rest ? rest : "/"));
    char *urlCopy = fnQXStack_StrDup(url);
    if (!hostname || !path || !urlCopy) {
        qx::free_ptr(hostname);
        qx::free_ptr(path);
        qx::free_ptr(urlCopy);
        return -1;
    }
    qx::free_ptr(ctx->hostname);
    qx::free_ptr(ctx->path);
    qx::free_ptr(ctx->url);
    ctx->hostname = hostname;
    ctx->path = path;
    ctx->port = port;
    ctx->url = urlCopy;
    return 0;
}

int fnQXStack_Http_PrepareQuest(HttpCtx *ctx) {
    if (!ctx || !ctx->sendBuf) return 0;
    MemBuffer *buf = ctx->sendBuf;
    fnQXBuf_Reset(buf);

    // Request line. The URL parts are appended as they are, not through the
    // 2047-character formatter, so a long path is never cut short.
    append_text(buf, ctx->method);
    if (g_proxyHost) {
        append_text(buf, " http://");
        append_text(buf, ctx->hostname);
        if (ctx->port != 80) fnQXBuf_Printf(buf, ":%d", ctx->port);
    } else {
        append_text(buf, " ");
    }
    append_text(buf, ctx->path);
    fnQXBuf_Printf(buf, " HTTP/1.0\r\n");

    append_text(buf, "Host: ");
    append_text(buf, ctx->hostname);
    fnQXBuf_Printf(buf, ":%d\r\n", ctx->port);

    for (const RequestHeader &h : kRequestHeaders) {
        const char *value = fnQXStack_Http_GetHeader(h.name);
        if (value) fnQXBuf_AppendHeader(buf, h.linePart, value);
    }

    const bool hasBody = ctx->bodyLen > 0 && ctx->body;
    if (hasBody) {
        fnQXBuf_AppendHeader(buf, "Content-Type: ", ctx->contentType ? ctx->contentType : "");
        fnQXBuf_Printf(buf, "Content-Length: %d\r\n", ctx->bodyLen);
    }
    fnQXStack_Http_AddCookies(buf, ctx->hostname);
    fnQXBuf_Printf(buf, "\r\n");
    if (hasBody) fnQXBuf_Append(buf, ctx->body, ctx->bodyLen);
    return 0;
}

int fnQXStack_Http_GetState(const HttpCtx *ctx) { return ctx ? ctx->state : -1; }
