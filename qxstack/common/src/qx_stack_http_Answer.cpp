// The response of an HTTP context: its header block (interim 1xx answers
// skipped), cookies, the body's framing (Content-Length, chunked, until the
// connection ends), redirects, and the body handed to the reader.
#include <cstring>

#include "glib_qx_stack_porting.h"
#include "qx_internal.h"
#include "qx_log.h"
#include "qx_stack_http.h"
#include "qx_stack_http_answer.h"

namespace {

// Longest chunk-size line (with its extensions) we wait for.
constexpr int kMaxChunkLine = 4096;

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

// The first blank-separated word of a text; empty when there is none. A word
// is taken whole whatever its length (a long Location URL).
Word first_word(const char *s) {
    s = skip_blanks(s);
    const char *end = s;
    while (*end && !is_blank(*end)) ++end;
    return Word{s, static_cast<int>(end - s)};
}

// The value of a header line: what follows the first ':', with or without
// blanks in between ("Location:http://..." as well as "Location: http://...").
const char *header_value(const char *line) {
    const char *colon = strchr(line, ':');
    return colon ? skip_blanks(colon + 1) : line + strlen(line);
}

char *word_copy(Word w) {
    char *t = static_cast<char *>(fnQX_Malloc(w.n + 1));
    if (!t) return nullptr;
    if (w.n > 0) memcpy(t, w.p, static_cast<size_t>(w.n));
    t[w.n] = '\0';
    return t;
}

bool word_is(Word w, const char *text) {
    const int n = static_cast<int>(strlen(text));
    return w.n == n && fnQXStack_HasPrefix(w.p, text) == 0;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Digits only (no sign, no blank inside), at most 2^31 - 1; the text after
// them in *end. False when there is no digit or the number is larger.
bool read_digits(const char *s, int32_t *out, const char **end) {
    if (!is_digit(*s)) return false;
    int64_t v = 0;
    for (; is_digit(*s); ++s) {
        v = v * 10 + (*s - '0');
        if (v > INT32_MAX) return false;
    }
    *out = static_cast<int32_t>(v);
    *end = s;
    return true;
}

// A Content-Length value: digits, or a list of equal ones ("120, 120"),
// blanks around them. False for anything else: an empty value, a sign,
// values that disagree, text after them, a number beyond 2^31 - 1.
bool read_length(const char *s, int32_t *out) {
    int32_t first = -1;
    for (bool more = true; more;) {
        int32_t v = 0;
        if (!read_digits(skip_blanks(s), &v, &s)) return false;
        if (first >= 0 && v != first) return false;
        first = v;
        s = skip_blanks(s);
        more = *s == ',';
        if (more)
            ++s;
        else if (*s)
            return false;
    }
    *out = first;
    return true;
}

// "HTTP/1.0" or "HTTP/1.1", a blank, three digits, then a blank (and the
// reason) or the end of the line: the status, or -1 for any other line.
int status_of(const char *line) {
    if (std::strncmp(line, "HTTP/1.", 7) != 0 || (line[7] != '0' && line[7] != '1') || line[8] != ' ') return -1;
    const char *d = line + 9;
    if (!is_digit(d[0]) || !is_digit(d[1]) || !is_digit(d[2]) || (d[3] != ' ' && d[3] != '\0')) return -1;
    return (d[0] - '0') * 100 + (d[1] - '0') * 10 + (d[2] - '0');
}

// ---------------------------------------------------------------- cookies

bool is_cookie_stop(char c) { return c == ' ' || c == ';' || c == '\t'; }

// "Set-Cookie: name=value; Path=/x; ..." stores name, value and path for the
// request's host. Domain, expiry and the other attributes are not kept. A line
// without '=' or with an empty name carries no cookie and is ignored.
void parse_cookie(HttpCtx *ctx, const char *line) {
    if (!ctx->hostname) return;
    const char *p = header_value(line);
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

// Replaces an owned text by a copy of the first word of the line's value
// (empty when it has none); false when the copy cannot be made.
bool take_value_word(const char *line, char **field) {
    char *copy = word_copy(first_word(header_value(line)));
    if (!copy) return false;
    qx::free_ptr(*field);
    *field = copy;
    return true;
}

// "Transfer-Encoding: chunked" and nothing else: another coding (or a
// list) would leave bytes this client cannot undo.
bool is_chunked_alone(const char *value) {
    const Word w = first_word(value);
    return word_is(w, "chunked") && *skip_blanks(w.p + w.n) == '\0';
}

// Forgets everything a response set, so the next one starts afresh.
void reset_response(HttpCtx *ctx) {
    ctx->retValue = 0;
    ctx->retCtxLen = 0;
    qx::free_ptr(ctx->retContentType);
    qx::free_ptr(ctx->location);
    ctx->contentEncoding = 0;
    ctx->headersParsed = 0;
    ctx->answerChecked = 0;
    ctx->bodyFraming = HTTP_BODY_UNTIL_CLOSE;
    ctx->bodyStart = 0;
    ctx->chunkPhase = HTTP_CHUNK_SIZE;
    ctx->chunkLeft = 0;
    ctx->chunkReady = 0;
    ctx->lengthSeen = 0;
    ctx->bodyTaken = 0;
    ctx->statusSeen = 0;
}

// Handles one line of the header block: QX_STEP_AGAIN after a field (more
// lines follow), QX_STEP_DONE at the blank line that ends the block,
// QX_STEP_FAILED for a line that refuses the response. A value that cannot
// be kept fails the response rather than leave it without (a redirect would
// pass for the final answer); a cookie that cannot be stored is only dropped.
int header_line(HttpCtx *ctx, const char *line) {
    if (!ctx->statusSeen) {
        // The first line of every response (interim ones included) is its
        // status line, and nothing else will do.
        const int status = status_of(line);
        if (status < 0) {
            QX_LOG("http: no HTTP/1.0 or HTTP/1.1 status line");
            return QX_STEP_FAILED;
        }
        ctx->retValue = status;
        ctx->statusSeen = 1;
        return QX_STEP_AGAIN;
    }
    if (line[0] == '\0') return QX_STEP_DONE;
    if (has_prefix(line, "Content-Length:")) {
        // The stated length is authoritative, so it must be one: repeated
        // headers (or a list) that disagree fail the response.
        int32_t len = -1;
        if (!read_length(header_value(line), &len)) {
            QX_LOG("http: Content-Length that is not one number of digits");
            return QX_STEP_FAILED;
        }
        if (ctx->lengthSeen && len != ctx->retCtxLen) {
            QX_LOG("http: conflicting Content-Length headers %d and %d", ctx->retCtxLen, len);
            return QX_STEP_FAILED;
        }
        ctx->lengthSeen = 1;
        ctx->retCtxLen = len;
        if (ctx->bodyFraming != HTTP_BODY_CHUNKED) ctx->bodyFraming = HTTP_BODY_LENGTH;
    } else if (has_prefix(line, "Content-Type:") || has_prefix(line, "ContentType:")) {
        if (!take_value_word(line, &ctx->retContentType)) return QX_STEP_FAILED;
    } else if (has_prefix(line, "Location:") || has_prefix(line, "Content-Location:")) {
        // Kept whole as sent (blanks around it dropped): a blank or control
        // byte inside refuses it when it is acted on, it is never cut there.
        const char *v = header_value(line);
        int n = static_cast<int>(strlen(v));
        while (n > 0 && is_blank(v[n - 1])) --n;
        if (n == 0) {
            qx::free_ptr(ctx->location);
        } else {
            char *copy = word_copy(Word{v, n});
            if (!copy) return QX_STEP_FAILED;
            qx::free_ptr(ctx->location);
            ctx->location = copy;
        }
    } else if (has_prefix(line, "Content-Encoding:")) {
        const Word coding = first_word(header_value(line));
        if (coding.n == 4 && memcmp(coding.p, "gzip", 4) == 0)
            ctx->contentEncoding = HTTP_CODING_GZIP;
        else if (!word_is(coding, "identity"))
            ctx->contentEncoding = HTTP_CODING_OTHER;
    } else if (has_prefix(line, "Set-Cookie:") || has_prefix(line, "Set-Cookie2:")) {
        parse_cookie(ctx, line);
    } else if (has_prefix(line, "Transfer-Encoding:")) {
        if (!is_chunked_alone(header_value(line))) {
            QX_LOG("http: Transfer-Encoding other than chunked");
            return QX_STEP_FAILED;
        }
        ctx->bodyFraming = HTTP_BODY_CHUNKED;
    }
    return QX_STEP_AGAIN;
}

// Where the next line of the unread bytes ends: the offset of its "\r\n",
// kNoLine when no whole line is buffered, kZeroByte when a zero byte comes
// first (no header line holds one).
constexpr int kNoLine = -1;
constexpr int kZeroByte = -2;

int find_line_end(const char *p, int avail) {
    for (int i = 0; i < avail; ++i) {
        if (p[i] == '\0') return kZeroByte;
        if (p[i] == '\r' && i + 1 < avail && p[i + 1] == '\n') return i;
    }
    return kNoLine;
}

int line_end(const MemBuffer *buf) {
    return find_line_end(reinterpret_cast<const char *>(buf->data) + buf->readPos, fnQXBuf_Unreadable(buf));
}

// ---------------------------------------------------------------- chunked bodies

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "1a2b[;extension]": the chunk size; false for anything else or a size
// beyond 2^31 - 1.
bool parse_chunk_size(const char *p, int n, int32_t *size) {
    int i = 0;
    int32_t v = 0;
    for (; i < n && hex_value(p[i]) >= 0; ++i) {
        if (v > (INT32_MAX >> 4)) return false;
        v = v * 16 + hex_value(p[i]);
    }
    if (i == 0) return false;
    while (i < n && (p[i] == ' ' || p[i] == '\t')) ++i;
    if (i < n && p[i] != ';') return false;
    for (; i < n; ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
    }
    *size = v;
    return true;
}

int chunk_error(const char *why) {
    QX_LOG("http: malformed chunked body: %s", why);
    return QX_STEP_FAILED;
}

// Ends the context's response as failed, so the result and the state agree.
int fail_response(HttpCtx *ctx) {
    qx_http_drop_socket(ctx);
    ctx->state = HTTP_ST_ERR_RECV;
    return QX_STEP_FAILED;
}

bool is_redirect(const HttpCtx *ctx) {
    // A 304 (and any 3xx without a Location) is the final answer.
    return ctx->retValue >= 300 && ctx->retValue <= 399 && ctx->retValue != 304 && ctx->location;
}

}  // namespace

int fnQXStack_Http_ParseAnswer(HttpCtx *ctx) {
    if (!ctx || !ctx->recvBuf) return QX_STEP_FAILED;
    if (ctx->headersParsed) return QX_STEP_DONE;
    MemBuffer *buf = ctx->recvBuf;
    for (;;) {
        const int end = line_end(buf);
        if (end == kZeroByte) {
            QX_LOG("http: zero byte in the response header");
            return QX_STEP_FAILED;
        }
        if (end < 0) {
            // Once the connection has ended no more lines can come: a header
            // block cut short is a failed response. A line longer than what
            // is read ahead can never be completed either.
            if (ctx->state == HTTP_ST_DONE) return QX_STEP_FAILED;
            if (fnQXBuf_Unreadable(buf) > QX_HTTP_RECV_PAUSE) {
                QX_LOG("http: response header line too long");
                return QX_STEP_FAILED;
            }
            return QX_STEP_AGAIN;
        }
        char *line = fnQXBuf_ReadLine(buf, "\r\n");
        if (!line) return QX_STEP_FAILED;  // no memory for the line
        const int kind = header_line(ctx, line);
        qx::free_ptr(line);
        if (kind == QX_STEP_FAILED) {
            QX_LOG("http: response header cannot be kept");
            return QX_STEP_FAILED;
        }
        if (kind == QX_STEP_AGAIN) continue;
        if (ctx->retValue == 100) {
            // 100 Continue: the real answer follows.
            reset_response(ctx);
            continue;
        }
        if (ctx->retValue >= 101 && ctx->retValue <= 199) {
            // Switching protocols, early hints and the like: nothing an MMS
            // exchange over HTTP/1.0 can go on with.
            QX_LOG("http: interim status %d refused", ctx->retValue);
            return QX_STEP_FAILED;
        }
        break;
    }
    if (ctx->retValue == 204 || ctx->retValue == 304) ctx->bodyFraming = HTTP_BODY_NONE;
    // A chunked body carries no length of its own; a Content-Length beside
    // it does not count.
    if (ctx->bodyFraming == HTTP_BODY_CHUNKED) ctx->retCtxLen = 0;
    ctx->bodyStart = buf->appendedTotal - fnQXBuf_Unreadable(buf);
    ctx->headersParsed = 1;
    return QX_STEP_DONE;
}

// De-chunks in place: the payload bytes gather at the front of the unread
// bytes (chunkReady of them) and the framing between them is cut out, in one
// pass over what arrived since the last call.
int fnQXStack_Http_Dechunk(HttpCtx *ctx) {
    if (!ctx || !ctx->recvBuf) return QX_STEP_FAILED;
    MemBuffer *b = ctx->recvBuf;
    char *base = reinterpret_cast<char *>(b->data) + b->readPos;
    const int total = fnQXBuf_Unreadable(b);
    int w = ctx->chunkReady;  // where the next payload byte goes
    int r = ctx->chunkReady;  // the next byte not yet looked at
    int result = QX_STEP_DONE;
    while (r < total && result == QX_STEP_DONE) {
        const char *p = base + r;
        const int avail = total - r;
        if (ctx->chunkPhase == HTTP_CHUNK_SIZE) {
            const int n = find_line_end(p, avail);
            if (n == kNoLine && avail <= kMaxChunkLine) break;  // the line is still coming
            int32_t size = 0;
            if (n < 0 || !parse_chunk_size(p, n, &size)) {
                result = chunk_error("chunk size");
                break;
            }
            r += n + 2;
            ctx->chunkLeft = size;
            ctx->chunkPhase = size > 0 ? HTTP_CHUNK_DATA : HTTP_CHUNK_TRAILER;
        } else if (ctx->chunkPhase == HTTP_CHUNK_DATA) {
            const int n = avail < ctx->chunkLeft ? avail : ctx->chunkLeft;
            if (w != r) {
                memmove(base + w, p, static_cast<size_t>(n));
                fnQXStack_CopyCount().copied += static_cast<uint64_t>(n);
            }
            w += n;
            r += n;
            ctx->chunkLeft -= n;
            if (ctx->chunkLeft == 0) ctx->chunkPhase = HTTP_CHUNK_DATA_END;
        } else if (ctx->chunkPhase == HTTP_CHUNK_DATA_END) {
            if (p[0] != '\r' || (avail >= 2 && p[1] != '\n')) {
                result = chunk_error("no line end after the data");
                break;
            }
            if (avail < 2) break;
            r += 2;
            ctx->chunkPhase = HTTP_CHUNK_SIZE;
        } else if (ctx->chunkPhase == HTTP_CHUNK_TRAILER) {
            // Trailer fields are not kept; the empty line ends the body.
            const int n = find_line_end(p, avail);
            if (n == kNoLine && avail <= QX_HTTP_RECV_PAUSE) break;
            if (n < 0) {
                result = chunk_error("trailer");
                break;
            }
            r += n + 2;
            if (n == 0) ctx->chunkPhase = HTTP_CHUNK_DONE;
        } else {
            r = total;  // nothing belongs to the response after its last chunk
        }
    }
    ctx->chunkReady = w;
    if (r > w) fnQXBuf_Cut(b, w, r - w);
    return result;
}

bool qx_http_response_complete(HttpCtx *ctx) {
    if (!ctx->headersParsed && fnQXStack_Http_ParseAnswer(ctx) != QX_STEP_DONE) return false;
    switch (ctx->bodyFraming) {
    case HTTP_BODY_NONE: return true;
    case HTTP_BODY_LENGTH: return ctx->recvBuf->appendedTotal - ctx->bodyStart >= ctx->retCtxLen;
    case HTTP_BODY_CHUNKED:
        return fnQXStack_Http_Dechunk(ctx) == QX_STEP_DONE && ctx->chunkPhase == HTTP_CHUNK_DONE;
    default: return false;  // only the connection's end could tell
    }
}

int fnQXStack_Http_Redirect(HttpCtx *ctx) {
    if (!ctx) return QX_STEP_FAILED;
    // A redirect that cannot be followed leaves the context failed, so every
    // later read answers -1 as well.
    auto fail = [ctx]() {
        qx_http_drop_socket(ctx);
        ctx->state = HTTP_ST_ERR_ADDR;
        return QX_STEP_FAILED;
    };
    ++ctx->redirectCount;
    if (ctx->redirectCount > QX_HTTP_MAX_REDIRECTS) {
        QX_LOG("http: too many redirects");
        return fail();
    }
    // Only http is followed; a relative Location is taken from the URL it answered.
    char *target = fnQXStack_Http_ResolveUrl(ctx, ctx->location);
    if (!target) return fail();
    const int r = fnQXStack_Http_ParseUrl(ctx, target);
    qx::free_ptr(target);
    if (r != 0) return fail();

    // 307 and 308 repeat the request as it was, body and all; after the
    // others a POST is repeated as a GET without a body.
    const bool sameRequest = ctx->retValue == 307 || ctx->retValue == 308;
    if (!sameRequest) {
        qx::free_ptr(ctx->method);
        qx::free_ptr(ctx->contentType);
        ctx->method = fnQXStack_StrDup("GET");
        if (!ctx->method) return fail();
        ctx->bodyLen = 0;
    }
    fnQXBuf_Reset(ctx->sendBuf);
    fnQXBuf_Reset(ctx->recvBuf);
    reset_response(ctx);
    qx_http_drop_socket(ctx);
    ctx->state = HTTP_ST_ADDR;
    return QX_STEP_AGAIN;
}

bool qx_http_body_direct(const HttpCtx *ctx) {
    return ctx->state == HTTP_ST_RECV && ctx->headersParsed && ctx->answerChecked &&
           (ctx->bodyFraming == HTTP_BODY_LENGTH || ctx->bodyFraming == HTTP_BODY_UNTIL_CLOSE) &&
           fnQXBuf_Unreadable(ctx->recvBuf) == 0;
}

namespace {

// Reads body bytes from the socket straight into the reader's memory (at
// most want of them): the count, QX_STEP_AGAIN, 0 at the body's end, or
// QX_STEP_FAILED.
int read_direct(HttpCtx *ctx, void *dst, int want) {
    // One read; a draining context reads on while bytes are there and room is left.
    int got = 0, n;
    for (;;) {
        n = fnQX_Stack_RecvData(ctx->socket, static_cast<uint8_t *>(dst) + got, want - got);
        if (n <= 0) break;
        if (n > want - got) n = want - got;
        fnQXStack_CopyCount().fromSocket += static_cast<uint64_t>(n);
        MemBuffer *b = ctx->recvBuf;
        b->appendedTotal = b->appendedTotal > INT32_MAX - n ? INT32_MAX : b->appendedTotal + n;
        ctx->bodyTaken += n;
        got += n;
        if (!ctx->drainIo || got >= want) break;
    }
    if (got > 0) {
        // What ended the reads (the end, an error) is seen by the next step.
        ctx->socketRecvLen = got;
        ctx->retryCount = 0;
        return got;
    }
    if (n == QX_STEP_AGAIN || n == QX_STEP_NO_BUFFER) {
        ++ctx->retryCount;
        return QX_STEP_AGAIN;
    }
    // The connection ended (0) or failed: the body is whole only when its
    // framing says so.
    const bool whole = ctx->bodyFraming == HTTP_BODY_UNTIL_CLOSE ? n == 0 : ctx->bodyTaken >= ctx->retCtxLen;
    qx_http_drop_socket(ctx);
    if (whole) {
        ctx->state = HTTP_ST_DONE;
        return 0;
    }
    if (ctx->bodyFraming == HTTP_BODY_LENGTH)
        QX_LOG("http: connection ended %d bytes short of the Content-Length", ctx->retCtxLen - ctx->bodyTaken);
    else
        QX_LOG("http: connection failed before the response was complete");
    return fail_response(ctx);
}

}  // namespace

int fnQXStack_Http_Read(HttpCtx *ctx, void *dst, int capacity) {
    if (!ctx || ctx->state < 0) return QX_STEP_FAILED;
    if (ctx->state <= HTTP_ST_RECV) {
        fnQXStack_Http_Run(ctx);
        if (ctx->state < 0) return QX_STEP_FAILED;
    }
    if (ctx->state < HTTP_ST_RECV) return QX_STEP_AGAIN;
    if (!ctx->headersParsed) {
        const int r = fnQXStack_Http_ParseAnswer(ctx);
        if (r == QX_STEP_AGAIN) return QX_STEP_AGAIN;
        if (r < 0) return fail_response(ctx);
    }
    if (!ctx->answerChecked) {
        ctx->answerChecked = 1;
        if (is_redirect(ctx)) return fnQXStack_Http_Redirect(ctx);
        // Any answer may name its URL; only a redirect acts on it.
        if (ctx->location) {
            if (char *named = fnQXStack_Http_ResolveUrl(ctx, ctx->location)) {
                qx::free_ptr(ctx->url);
                ctx->url = named;
            }
        }
    }
    const bool canCopy = dst && capacity > 0;
    if (ctx->bodyFraming == HTTP_BODY_CHUNKED) {
        if (fnQXStack_Http_Dechunk(ctx) != QX_STEP_DONE) return fail_response(ctx);
        const int want = canCopy ? (capacity < ctx->chunkReady ? capacity : ctx->chunkReady) : 0;
        const int n = want > 0 ? fnQXBuf_Read(ctx->recvBuf, dst, want) : 0;
        ctx->chunkReady -= n;
        if (ctx->state == HTTP_ST_RECV) return n > 0 ? n : QX_STEP_AGAIN;
        if (n > 0 || ctx->chunkPhase == HTTP_CHUNK_DONE) return n;
        QX_LOG("http: connection ended inside a chunked body");
        return fail_response(ctx);
    }
    // A stated length is authoritative: bytes beyond it are no part of the
    // body, and once it is all handed over the response is complete, whether
    // or not the connection stays open.
    int want = canCopy ? capacity : 0;
    if (ctx->bodyFraming == HTTP_BODY_LENGTH || ctx->bodyFraming == HTTP_BODY_NONE) {
        const int left = ctx->bodyFraming == HTTP_BODY_LENGTH ? ctx->retCtxLen - ctx->bodyTaken : 0;
        if (left <= 0) {
            if (ctx->state == HTTP_ST_RECV) {
                qx_http_drop_socket(ctx);
                ctx->state = HTTP_ST_DONE;
            }
            return 0;
        }
        if (want > left) want = left;
    }
    if (want > 0 && qx_http_body_direct(ctx)) return read_direct(ctx, dst, want);
    const int n = want > 0 ? fnQXBuf_Read(ctx->recvBuf, dst, want) : 0;
    if (n > 0) ctx->bodyTaken += n;
    if (ctx->state == HTTP_ST_RECV) return n > 0 ? n : QX_STEP_AGAIN;
    if (n < 0) return QX_STEP_FAILED;
    if (n == 0 && ctx->bodyFraming == HTTP_BODY_LENGTH && canCopy) {
        // The connection ended before the stated length was in.
        QX_LOG("http: connection ended %d bytes short of the Content-Length", ctx->retCtxLen - ctx->bodyTaken);
        return fail_response(ctx);
    }
    return n;
}
