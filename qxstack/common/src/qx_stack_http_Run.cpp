// The polled run machine of an HTTP context: address, connect, compose, send
// in 2048-byte chunks, receive. Every step returns at once: a count or done
// (0 or more), QX_STEP_AGAIN, or QX_STEP_FAILED. The response itself (header
// block, interim answers, framing, redirects) is taken apart in
// qx_stack_http_Answer.cpp.
#include <cstring>

#include "glib_qx_stack_porting.h"
#include "qx_log.h"
#include "qx_stack_http.h"
#include "qx_stack_http_answer.h"

namespace {

uint8_t *work_area() { return fnQXStack_Http_Module().workArea; }

bool has_slot(const HttpCtx *ctx) { return ctx->socket > QX_NO_SLOT; }

// Creates the context's socket when it has none; false when none can be had.
bool ensure_socket(HttpCtx *ctx) {
    if (has_slot(ctx)) return true;
    ctx->socket = fnQX_Stack_Socket();
    if (has_slot(ctx)) return true;
    ctx->socket = HTTP_NO_SOCKET;
    return false;
}

}  // namespace

void qx_http_drop_socket(HttpCtx *ctx) {
    if (has_slot(ctx)) fnQX_Stack_Close(ctx->socket);
    ctx->socket = HTTP_NO_SOCKET;
}

int fnQXStack_Http_SetHost(HttpCtx *ctx) {
    if (!ctx) return QX_STEP_FAILED;
    const QXHttpModule &m = fnQXStack_Http_Module();
    if (m.proxyFailed) {
        // The proxy the caller asked for could not be kept: never go direct.
        QX_LOG("http: no proxy to connect through");
        return QX_STEP_FAILED;
    }
    if (!ensure_socket(ctx)) return QX_STEP_FAILED;
    int r;
    if (m.proxyHost) {
        r = fnQX_Stack_SetAddr(ctx->socket, m.proxyHost, m.proxyPort, QXAddrPath::Proxy);
    } else {
        // The URL's host as a lookup takes it: an IPv6 literal without its
        // brackets (the lookup copies it on the first call).
        char host[256];
        if (!ctx->hostname || !fnQXStack_ConnectHost(ctx->hostname, static_cast<int>(strnlen(ctx->hostname, 256)),
                                                     host, sizeof host))
            return QX_STEP_FAILED;
        r = fnQX_Stack_SetAddr(ctx->socket, host, ctx->port, QXAddrPath::Direct);
    }
    // The socket layer answers QX_SOCK_FAIL for an address that failed; that
    // is a failure here too, never a reason to go on and connect.
    return r == QX_SOCK_FAIL ? QX_STEP_FAILED : r;
}

int fnQXStack_Http_Connect(HttpCtx *ctx) {
    if (!ctx) return QX_STEP_FAILED;
    if (!ensure_socket(ctx)) return QX_STEP_FAILED;
    const int r = fnQX_Stack_Connect(ctx->socket);
    if (r == QX_SOCK_OK) return ctx->socket;
    if (r == QX_STEP_AGAIN) return QX_STEP_AGAIN;
    qx_http_drop_socket(ctx);
    return QX_STEP_FAILED;
}

int fnQXStack_Http_SendQuest(HttpCtx *ctx) {
    if (!ctx || !ctx->sendBuf) return QX_STEP_FAILED;
    if (fnQXBuf_Unreadable(ctx->sendBuf) <= 0) return QX_STEP_DONE;

    // One chunk per step; a draining context goes on while the socket takes
    // whole chunks.
    int total = 0;
    for (;;) {
        const int taken = fnQXBuf_Read(ctx->sendBuf, work_area(), QX_HTTP_CHUNK);
        if (taken <= 0) break;
        int sent = fnQX_Stack_SendData(ctx->socket, work_area(), taken);
        if (sent < 0) {
            fnQXBuf_Unread(ctx->sendBuf, taken);
            if (sent == QX_STEP_AGAIN && total > 0) break;  // the socket is full: this step wrote enough
            ++ctx->retryCount;
            return sent == QX_STEP_AGAIN ? QX_STEP_AGAIN : QX_STEP_FAILED;
        }
        if (sent > taken) sent = taken;
        fnQXBuf_Unread(ctx->sendBuf, taken - sent);
        total += sent;
        if (!ctx->drainIo || sent < taken) break;
    }
    ctx->socketSendLen = total;
    // A write that took nothing is no progress: it counts toward the retry
    // limit like a blocked one, so a stalled peer still ends the request.
    if (total > 0)
        ctx->retryCount = 0;
    else
        ++ctx->retryCount;
    // A draining context goes on to receive in the step that wrote the last byte.
    if (ctx->drainIo && fnQXBuf_Unreadable(ctx->sendBuf) <= 0) return QX_STEP_DONE;
    return QX_STEP_AGAIN;
}

int fnQXStack_Http_RecvData(HttpCtx *ctx) {
    if (!ctx || !ctx->recvBuf) return QX_STEP_FAILED;
    MemBuffer *buf = ctx->recvBuf;
    int last = QX_STEP_AGAIN;
    // Reading pauses while more than 20480 received bytes wait for the consumer.
    while (fnQXBuf_Unreadable(buf) <= QX_HTTP_RECV_PAUSE) {
        // Straight from the socket into the receive buffer.
        uint8_t *room = fnQXBuf_Reserve(buf, QX_HTTP_CHUNK);
        if (!room) {
            // The bytes could not be stored: the response would come out
            // corrupted, so the read fails instead.
            QX_LOG("http: receive buffer cannot grow");
            qx_http_drop_socket(ctx);
            return QX_STEP_FAILED;
        }
        int n = fnQX_Stack_RecvData(ctx->socket, room, QX_HTTP_CHUNK);
        if (n > 0) {
            if (n > QX_HTTP_CHUNK) n = QX_HTTP_CHUNK;
            fnQXBuf_Commit(buf, n);
            fnQXStack_CopyCount().fromSocket += static_cast<uint64_t>(n);
            ctx->retryCount = 0;
            ctx->socketRecvLen = n;
            continue;
        }
        ++ctx->retryCount;
        last = n;
        break;
    }
    if (fnQXBuf_Unreadable(buf) > QX_HTTP_RECV_PAUSE) return QX_STEP_AGAIN;
    if (last == QX_STEP_AGAIN || last == QX_STEP_NO_BUFFER) return QX_STEP_AGAIN;
    if (last == 0) {  // the peer closed: the end of an HTTP/1.0 response
        qx_http_drop_socket(ctx);
        return QX_STEP_DONE;
    }
    // A read error (a reset above all) ends the response only when its own
    // framing says it was complete; otherwise bytes are missing.
    const bool complete = buf->appendedTotal > 0 && qx_http_response_complete(ctx);
    qx_http_drop_socket(ctx);
    if (complete) return QX_STEP_DONE;
    QX_LOG("http: connection failed before the response was complete");
    return QX_STEP_FAILED;
}

namespace {

// Ends the run in an error state; a failed context holds no socket.
int run_failed(HttpCtx *ctx, int32_t state) {
    qx_http_drop_socket(ctx);
    ctx->state = state;
    return QX_STEP_FAILED;
}

}  // namespace

int fnQXStack_Http_Run(HttpCtx *ctx) {
    if (!ctx) return QX_STEP_FAILED;
    if (ctx->state >= HTTP_ST_DONE || ctx->state < 0) return QX_STEP_DONE;
    if (ctx->retryCount >= QX_HTTP_MAX_RETRY) {
        QX_LOG("http: no progress after %d steps", ctx->retryCount);
        return run_failed(ctx, HTTP_ST_ERR_RETRY);
    }
    if (ctx->state == HTTP_ST_ADDR) {
        const int r = fnQXStack_Http_SetHost(ctx);
        if (r < 0) {
            ++ctx->retryCount;
            return r == QX_STEP_FAILED ? run_failed(ctx, HTTP_ST_ERR_ADDR) : r;
        }
        ctx->state = HTTP_ST_CONNECT;
        ctx->retryCount = 0;
    }
    if (ctx->state == HTTP_ST_CONNECT) {
        const int r = fnQXStack_Http_Connect(ctx);
        if (r < 0) {
            ++ctx->retryCount;
            return r == QX_STEP_FAILED ? run_failed(ctx, HTTP_ST_ERR_CONNECT) : r;
        }
        ctx->state = HTTP_ST_PREPARE;
        ctx->retryCount = 0;
    }
    if (ctx->state == HTTP_ST_PREPARE) {
        // Nothing of a request that could not be composed is sent.
        if (fnQXStack_Http_PrepareQuest(ctx) != 0) return run_failed(ctx, HTTP_ST_ERR_SEND);
        ctx->state = HTTP_ST_SEND;
    }
    if (ctx->state == HTTP_ST_SEND) {
        const int r = fnQXStack_Http_SendQuest(ctx);
        if (r < 0) return r == QX_STEP_FAILED ? run_failed(ctx, HTTP_ST_ERR_SEND) : r;
        ctx->state = HTTP_ST_RECV;
    }
    // A body the reader takes straight from the socket is not received here.
    if (qx_http_body_direct(ctx)) return QX_STEP_AGAIN;
    const int r = fnQXStack_Http_RecvData(ctx);
    if (r == QX_STEP_AGAIN) {
        ++ctx->retryCount;
        return QX_STEP_AGAIN;
    }
    if (r < 0) return run_failed(ctx, HTTP_ST_ERR_RECV);
    ctx->state = HTTP_ST_DONE;
    return QX_STEP_DONE;
}
