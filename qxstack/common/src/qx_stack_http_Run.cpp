// The polled run machine of an HTTP context: address, connect, compose, send
// in 2048-byte chunks, receive, then the response header block, cookies and
// redirects. Every step returns at once: >= 0 done, -2 not yet, -1 failed.
#include <cstring>

#include "glib_qx_stack_porting.h"
#include "qx_internal.h"
#include "qx_log.h"
#include "qx_stack_http.h"

namespace {

// One work area serves every socket write and read: no buffer per chunk.
uint8_t g_workArea[QX_HTTP_CHUNK];

// ---------------------------------------------------------------- header words

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

const char *skip_blanks(const char *s) {
    while (*s && is_blank(*s)) ++s;
    return s;
}

struct Word {
    const char *p;
    int n;
};

// The index-th blank-separated word of a line (0 is the first), the way "%s"
// reads words. A word is taken whole whatever its length (a long Location
// URL); an absent word is empty.
Word line_word(const char *line, int index) {
    const char *s = line;
    for (int i = 0;; ++i) {
        s = skip_blanks(s);
        const char *end = s;
        while (*end && !is_blank(*end)) ++end;
        if (i == index || end == s) return Word{s, static_cast<int>(end - s)};
        s = end;
    }
}

char *word_copy(Word w) {
    char *t = static_cast<char *>(fnQX_Malloc(w.n + 1));
    if (!t) return nullptr;
    if (w.n > 0) memcpy(t, w.p, static_cast<size_t>(w.n));
    t[w.n] = '\0';
    return t;
}

// A decimal as "%d" reads it: blanks, an optional sign, digits. Saturates
// instead of overflowing; false when there is no digit.
bool read_decimal(const char *s, int32_t *out) {
    s = skip_blanks(s);
    bool negative = false;
    if (*s == '+' || *s == '-') negative = (*s++ == '-');
    if (*s < '0' || *s > '9') return false;
    int64_t v = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        if (v < INT32_MAX) v = v * 10 + (*s - '0');
    }
    if (v > INT32_MAX) v = INT32_MAX;
    *out = static_cast<int32_t>(negative ? -v : v);
    return true;
}

// ---------------------------------------------------------------- cookies

bool is_cookie_stop(char c) { return c == ' ' || c == ';' || c == '\t'; }

// "Set-Cookie: name=value; Path=/x; ..." stores name, value and path for the
// request's host. Domain, expiry and the other attributes are not kept. A line
// without '=' or with an empty name carries no cookie and is ignored.
void parse_cookie(HttpCtx *ctx, const char *line) {
    const char *p = strchr(line, ':');
    if (!p || !ctx->hostname) return;
    ++p;
    while (*p == ' ' || *p == '\t') ++p;
    const char *eq = strchr(p, '=');
    if (!eq || eq == p) return;
    const char *value = eq + 1;
    const char *valueEnd = value;
    while (*valueEnd && !is_cookie_stop(*valueEnd)) ++valueEnd;

    Word pathWord{"/", 1};
    if (const char *at = strstr(valueEnd, "Path=")) {
        const char *ps = at + 5;
        const char *pe = ps;
        while (*pe && !is_cookie_stop(*pe)) ++pe;
        pathWord = Word{ps, static_cast<int>(pe - ps)};
    }

    char *name = word_copy(Word{p, static_cast<int>(eq - p)});
    char *val = word_copy(Word{value, static_cast<int>(valueEnd - value)});
    char *path = word_copy(pathWord);
    if (name && val && path) fnQXStack_Http_SetCookie(name, val, ctx->hostname, path);
    qx::free_ptr(name);
    qx::free_ptr(val);
    qx::free_ptr(path);
}

// ---------------------------------------------------------------- response header lines

bool has_prefix(const char *line, const char *name) { return fnQXStack_HasPrefix(line, name) == 0; }

// Replaces an owned text by a copy of the line's second word (empty when the
// line has none). When the copy cannot be made the old value stays.
void take_second_word(const char *line, char **field) {
    char *copy = word_copy(line_word(line, 1));
    if (!copy) return;
    qx::free_ptr(*field);
    *field = copy;
}

// Handles one line of the header block; true when it was the empty line
// that ends the block.
bool header_line(HttpCtx *ctx, const char *line) {
    if (line[0] == '\0') return true;
    if (has_prefix(line, "HTTP/")) {
        // "HTTP/1.x nnn reason": a status line without a number gives 0.
        const Word version = line_word(line, 0);
        int32_t status = 0;
        if (!read_decimal(version.p + version.n, &status)) status = 0;
        ctx->retValue = status;
    } else if (has_prefix(line, "Content-Length:")) {
        int32_t len = -1;
        if (!read_decimal(strchr(line, ':') + 1, &len)) len = -1;
        ctx->retCtxLen = len;
    } else if (has_prefix(line, "Content-Type:") || has_prefix(line, "ContentType:")) {
        take_second_word(line, &ctx->retContentType);
    } else if (has_prefix(line, "Location:") || has_prefix(line, "Content-Location:")) {
        // Any response may name a new URL; only a 3xx status follows it.
        take_second_word(line, &ctx->url);
    } else if (has_prefix(line, "Content-Encoding:")) {
        const Word coding = line_word(line, 1);
        ctx->contentEncoding = (coding.n == 4 && memcmp(coding.p, "gzip", 4) == 0) ? -1 : 1;
    } else if (has_prefix(line, "Set-Cookie:") || has_prefix(line, "Set-Cookie2:")) {
        parse_cookie(ctx, line);
    }
    return false;
}

// Closes the context's socket and forgets the slot.
void drop_socket(HttpCtx *ctx) {
    if (ctx->socket > 0) fnQX_Stack_Close(ctx->socket);
    ctx->socket = -1;
}

}  // namespace

int fnQXStack_Http_SetHost(HttpCtx *ctx) {
    if (!ctx) return -1;
    if (ctx->socket <= 0) {
        ctx->socket = fnQX_Stack_Socket();
        if (ctx->socket <= 0) {
            ctx->socket = -1;
            return -1;
        }
    }
    const char *proxy = fnQXStack_Http_ProxyHost();
    const int r = proxy ? fnQX_Stack_SetAddr(ctx->socket, proxy, fnQXStack_Http_ProxyPort())
                        : fnQX_Stack_SetAddr(ctx->socket, ctx->hostname, ctx->port);
    // The socket layer answers 0 for an address that failed; that is a
    // failure here too, never a reason to go on and connect.
    return r == 0 ? -1 : r;
}

int fnQXStack_Http_Connect(HttpCtx *ctx) {
    if (!ctx) return -1;
    if (ctx->socket <= 0) {
        ctx->socket = fnQX_Stack_Socket();
        if (ctx->socket <= 0) {
            ctx->socket = -1;
            return -1;
        }
    }
    const int r = fnQX_Stack_Connect(ctx->socket);
    if (r == 1) return ctx->socket;
    if (r == -2) return -2;
    fnQX_Stack_Close(ctx->socket);
    ctx->socket = 0;
    return -1;
}

int fnQXStack_Http_SendQuest(HttpCtx *ctx) {
    if (!ctx || !ctx->sendBuf) return -1;
    if (fnQXBuf_Unreadable(ctx->sendBuf) <= 0) return 0;

    const int taken = fnQXBuf_Read(ctx->sendBuf, g_workArea, QX_HTTP_CHUNK);
    if (taken <= 0) return 0;
    int sent = fnQX_Stack_SendData(ctx->socket, g_workArea, taken);
    if (sent < 0) {
        fnQXBuf_Unread(ctx->sendBuf, taken);
        ++ctx->retryCount;
        return sent == -2 ? -2 : -1;
    }
    if (sent > taken) sent = taken;
    ctx->socketSendLen = sent;
    fnQXBuf_Unread(ctx->sendBuf, taken - sent);
    // A write that took nothing is no progress: it counts toward the retry
    // limit like a blocked one, so a stalled peer still ends the request.
    if (sent > 0)
        ctx->retryCount = 0;
    else
        ++ctx->retryCount;
    return -2;
}

int fnQXStack_Http_RecvData(HttpCtx *ctx) {
    if (!ctx || !ctx->recvBuf) return -1;
    MemBuffer *buf = ctx->recvBuf;
    int last = -2;
    // Reading pauses while more than 20480 received bytes wait for the consumer.
    while (fnQXBuf_Unreadable(buf) <= QX_HTTP_RECV_PAUSE) {
        int n = fnQX_Stack_RecvData(ctx->socket, g_workArea, QX_HTTP_CHUNK);
        if (n > 0) {
            if (n > QX_HTTP_CHUNK) n = QX_HTTP_CHUNK;
            const int before = fnQXBuf_Unreadable(buf);
            fnQXBuf_Append(buf, g_workArea, n);
            if (fnQXBuf_Unreadable(buf) != before + n) {
                // The bytes could not be stored: the response would come out
                // corrupted, so the read fails instead.
                QX_LOG("http: receive buffer cannot grow");
                return -1;
            }
            ctx->retryCount = 0;
            ctx->socketRecvLen = n;
            continue;
        }
        ++ctx->retryCount;
        last = n;
        break;
    }
    if (fnQXBuf_Unreadable(buf) > QX_HTTP_RECV_PAUSE) return -2;
    if (last == -2 || last == -3) return -2;
    if (last == 0) {
        drop_socket(ctx);
        return 0;
    }
    // A read error after data arrived ends the response like a close.
    if (buf->appendedTotal > 0) {
        drop_socket(ctx);
        return 0;
    }
    return -1;
}

int fnQXStack_Http_Run(HttpCtx *ctx) {
    if (!ctx) return -1;
    if (ctx->state >= HTTP_ST_DONE || ctx->state < 0) return 0;
    if (ctx->retryCount >= QX_HTTP_MAX_RETRY) {
        QX_LOG("http: no progress after %d steps", ctx->retryCount);
        ctx->state = HTTP_ST_ERR_RETRY;
        return -1;
    }
    if (ctx->state == HTTP_ST_ADDR) {
        const int r = fnQXStack_Http_SetHost(ctx);
        if (r < 0) {
            if (r == -1) ctx->state = HTTP_ST_ERR_ADDR;
            ++ctx->retryCount;
            return r;
        }
        ctx->state = HTTP_ST_CONNECT;
        ctx->retryCount = 0;
    }
    if (ctx->state == HTTP_ST_CONNECT) {
        const int r = fnQXStack_Http_Connect(ctx);
        if (r < 0) {
            if (r == -1) ctx->state = HTTP_ST_ERR_CONNECT;
            ++ctx->retryCount;
            return r;
        }
        ctx->state = HTTP_ST_PREPARE;
        ctx->retryCount = 0;
    }
    if (ctx->state == HTTP_ST_PREPARE) {
        fnQXStack_Http_PrepareQuest(ctx);
        ctx->state = HTTP_ST_SEND;
    }
    if (ctx->state == HTTP_ST_SEND) {
        const int r = fnQXStack_Http_SendQuest(ctx);
        if (r < 0) {
            if (r == -1) ctx->state = HTTP_ST_ERR_SEND;
            return r;
        }
        ctx->state = HTTP_ST_RECV;
    }
    const int r = fnQXStack_Http_RecvData(ctx);
    if (r == -2) {
        ++ctx->retryCount;
        return -2;
    }
    if (r < 0) {
        ctx->state = HTTP_ST_ERR_RECV;
        return -1;
    }
    ctx->state = HTTP_ST_DONE;
    return 0;
}

int fnQXStack_Http_ParseAnswer(HttpCtx *ctx) {
    if (!ctx || !ctx->recvBuf) return -1;
    if (ctx->headersParsed) return 0;
    for (;;) {
        char *line = fnQXBuf_ReadLine(ctx->recvBuf, "\r\n");
        if (!line) {
            // Once the connection has ended no more lines can come: a header
            // block cut short is a failed response.
            return ctx->state == HTTP_ST_DONE ? -1 : -2;
        }
        const bool end = header_line(ctx, line);
        qx::free_ptr(line);
        if (end) break;
    }
    ctx->headersParsed = 1;
    return 0;
}

int fnQXStack_Http_Redirect(HttpCtx *ctx) {
    if (!ctx) return -1;
    // A redirect that cannot be followed leaves the context failed, so every
    // later read answers -1 as well.
    auto fail = [ctx]() {
        drop_socket(ctx);
        ctx->state = HTTP_ST_ERR_ADDR;
        return -1;
    };
    ++ctx->redirectCount;
    if (ctx->redirectCount > QX_HTTP_MAX_REDIRECTS) {
        QX_LOG("http: too many redirects");
        return fail();
    }
    qx::free_ptr(ctx->hostname);
    qx::free_ptr(ctx->path);
    qx::free_ptr(ctx->method);
    qx::free_ptr(ctx->contentType);
    qx::free_ptr(ctx->retContentType);
    fnQXBuf_Reset(ctx->sendBuf);
    fnQXBuf_Reset(ctx->recvBuf);
    ctx->headersParsed = 0;
    ctx->contentEncoding = 0;
    if (fnQXStack_Http_ParseUrl(ctx, ctx->url) != 0) return fail();
    // A redirected POST is repeated as a GET without a body.
    ctx->method = fnQXStack_StrDup("GET");
    if (!ctx->method) return fail();
    ctx->bodyLen = 0;
    drop_socket(ctx);
    ctx->state = HTTP_ST_ADDR;
    return -2;
}

int fnQXStack_Http_Read(HttpCtx *ctx, void *dst, int capacity) {
    if (!ctx || ctx->state < 0) return -1;
    if (ctx->state <= HTTP_ST_RECV) {
        fnQXStack_Http_Run(ctx);
        if (ctx->state < 0) return -1;
    }
    if (ctx->state < HTTP_ST_RECV) return -2;
    if (!ctx->headersParsed) {
        const int r = fnQXStack_Http_ParseAnswer(ctx);
        if (r == -2) return -2;
        if (r < 0) return -1;  // the connection ended inside the header block
        if (ctx->retValue >= 300 && ctx->retValue <= 399) return fnQXStack_Http_Redirect(ctx);
    }
    const int n = (dst && capacity > 0) ? fnQXBuf_Read(ctx->recvBuf, dst, capacity) : 0;
    if (ctx->state == HTTP_ST_RECV) return n > 0 ? n : -2;
    return n < 0 ? -1 : n;
}
