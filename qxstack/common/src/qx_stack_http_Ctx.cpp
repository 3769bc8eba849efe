// Request contexts and the composition of the request bytes.
#include <cstring>

#include "glib_qx_stack_porting.h"
#include "qx_internal.h"
#include "qx_log.h"
#include "qx_stack_http.h"
#include "qx_stack_http_answer.h"

namespace {

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

// Appends a text as it is; false when it could not be stored.
bool append_text(MemBuffer *buf, const char *s) {
    const int n = text_len(s);
    return n == 0 || fnQXBuf_Append(buf, s, n) != nullptr;
}

HttpCtx *open_context(const char *url) {
    if (!url) return nullptr;
    HttpCtx *ctx = qx::alloc_rec<HttpCtx>();
    if (!ctx) return nullptr;
    ctx->socket = HTTP_NO_SOCKET;
    ctx->sendBuf = fnQXBuf_New(QX_HTTP_CHUNK);
    ctx->recvBuf = fnQXBuf_New(QX_HTTP_CHUNK);
    if (!ctx->sendBuf || !ctx->recvBuf || fnQXStack_Http_ParseUrl(ctx, url) != 0) {
        fnQXStack_Http_Close(ctx);
        return nullptr;
    }
    return ctx;
}

// Every part of the request in order; false as soon as one cannot be appended.
bool compose(HttpCtx *ctx, MemBuffer *buf) {
    const bool proxy = fnQXStack_Http_ProxyHost() != nullptr;
    // Request line. The URL parts are appended as they are, not through the
    // 2047-character formatter, so a long path is never cut short.
    if (!append_text(buf, ctx->method)) return false;
    if (proxy) {
        if (!append_text(buf, " http://") || !append_text(buf, ctx->hostname)) return false;
        if (ctx->port != 80 && fnQXBuf_Printf(buf, ":%d", ctx->port) < 0) return false;
    } else if (!append_text(buf, " ")) {
        return false;
    }
    if (!append_text(buf, ctx->path) || fnQXBuf_Printf(buf, " HTTP/1.0\r\n") < 0) return false;

    if (!append_text(buf, "Host: ") || !append_text(buf, ctx->hostname) ||
        fnQXBuf_Printf(buf, ":%d\r\n", ctx->port) < 0)
        return false;

    for (const RequestHeader &h : kRequestHeaders) {
        const char *value = fnQXStack_Http_GetHeader(h.name);
        if (value && fnQXBuf_AppendHeader(buf, h.linePart, value) != 0) return false;
    }

    const bool hasBody = ctx->bodyLen > 0 && ctx->body;
    if (hasBody) {
        if (fnQXBuf_AppendHeader(buf, "Content-Type: ", ctx->contentType ? ctx->contentType : "") != 0) return false;
        if (fnQXBuf_Printf(buf, "Content-Length: %d\r\n", ctx->bodyLen) < 0) return false;
    }
    if (fnQXStack_Http_AddCookies(buf, ctx->hostname) != 0) return false;
    if (fnQXBuf_Printf(buf, "\r\n") < 0) return false;
    return !hasBody || fnQXBuf_Append(buf, ctx->body, ctx->bodyLen) != nullptr;
}

}  // namespace

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
    qx::free_ptr(ctx->location);
    qx_http_drop_socket(ctx);
    fnQXBuf_Free(ctx->sendBuf);
    fnQXBuf_Free(ctx->recvBuf);
    qx::free_ptr(ctx);
}

// A request goes out complete or not at all: a part that cannot be appended
// (no memory) empties the buffer and fails the composition, rather than
// sending a request without its version, its length or its blank line.
int fnQXStack_Http_PrepareQuest(HttpCtx *ctx) {
    if (!ctx || !ctx->sendBuf) return QX_STEP_FAILED;
    MemBuffer *buf = ctx->sendBuf;
    fnQXBuf_Reset(buf);
    if (compose(ctx, buf)) return QX_STEP_DONE;
    QX_LOG("http: request cannot be composed");
    fnQXBuf_Reset(buf);
    return QX_STEP_FAILED;
}

int fnQXStack_Http_GetState(const HttpCtx *ctx) { return ctx ? ctx->state : -1; }
