// Minimal non-blocking HTTP/1.0 client: contexts, request composition, the
// polled run machine, header store, cookie jar, lists, buffers, formatter.
#ifndef QX_STACK_HTTP_H
#define QX_STACK_HTTP_H

#include <cstdarg>
#include <cstdint>

#include "qx_stack_step.h"

// ---------------------------------------------------------------- buffers
struct MemBuffer {
    uint8_t *data;  // always capacity + 10 bytes; a zero byte follows the stored bytes
    int32_t capacity;
    int32_t length;
    int32_t readPos;
    int32_t appendedTotal;
};

MemBuffer *fnQXBuf_New(int capacity);
void fnQXBuf_Free(MemBuffer *buf);
MemBuffer *fnQXBuf_Append(MemBuffer *buf, const void *bytes, int count);
int fnQXBuf_Read(MemBuffer *buf, void *dst, int count);
int fnQXBuf_Unread(MemBuffer *buf, int count);
char *fnQXBuf_ReadLine(MemBuffer *buf, const char *separator);
void fnQXBuf_Reset(MemBuffer *buf);
int fnQXBuf_Printf(MemBuffer *buf, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// 0 when the line went in, -1 when nothing was appended (null argument or no memory).
int fnQXBuf_AppendHeader(MemBuffer *buf, const char *namePart, const char *value);
// Removes count bytes that start offset bytes after the read position.
void fnQXBuf_Cut(MemBuffer *buf, int offset, int count);
// Room for count more bytes after the stored ones (unread bytes moved to
// the front first): where to write them, or null when the storage cannot
// grow. fnQXBuf_Commit then stores the n bytes written there.
uint8_t *fnQXBuf_Reserve(MemBuffer *buf, int count);
void fnQXBuf_Commit(MemBuffer *buf, int n);
inline int fnQXBuf_Unreadable(const MemBuffer *buf) { return buf ? buf->length - buf->readPos : 0; }

int fnQX_FormatBounded(char *dst, int size, const char *fmt, va_list ap);
char *fnQXStack_StrDup(const char *text);
char *fnQXStack_Token(const char *text, const char *delims, int *pos);
const char *fnQXStack_SkipChars(const char *text, const char *set);
int fnQXStack_HasPrefix(const char *line, const char *name);

// ---------------------------------------------------------------- lists
struct QXListNode {
    void *item;
    QXListNode *prev;
    QXListNode *next;
};

struct QXList {
    QXListNode *head;
    QXListNode *tail;
    int32_t count;
};

using QXListMatch = int (*)(const void *key, const void *item);
using QXListRelease = void (*)(void *item);

QXListNode *fnQXList_Append(QXList *list, void *item);
QXListNode *fnQXList_Prepend(QXList *list, void *item);
QXListNode *fnQXList_Find(QXList *list, const void *key, QXListMatch match);
void fnQXList_Remove(QXList *list, QXListNode *node);
void *fnQXList_PopHead(QXList *list);
void *fnQXList_PopTail(QXList *list);
int fnQXList_IsEmpty(const QXList *list);
int fnQXList_Count(const QXList *list);
void fnQXList_Clear(QXList *list, QXListRelease release);

// ---------------------------------------------------------------- header store, cookie jar
void fnQXStack_Http_SetHeader(const char *name, const char *value);
const char *fnQXStack_Http_GetHeader(const char *name);
void fnQXStack_Http_FreeHeaders();
constexpr int QX_MAX_COOKIES = 50;
// Longest name plus value a cookie may have; a longer one is not stored
// (cookies go out whole or not at all).
constexpr int QX_MAX_COOKIE_TEXT = 4096;
void fnQXStack_Http_SetCookie(const char *name, const char *value, const char *host, const char *path);
// 0 when the Cookie lines (or none) were written; -1 when they could not be
// appended, and then nothing was.
int fnQXStack_Http_AddCookies(MemBuffer *buf, const char *host);
void fnQXStack_Http_FreeCookies();
// Read-only views for tests and diagnostics.
const QXList *fnQXStack_Http_HeaderList();
const QXList *fnQXStack_Http_CookieList();

struct QXHeaderEntry {
    char *name;
    char *value;
};

struct QXCookie {
    char *name;
    char *value;
    char *host;
    char *path;
};

// ---------------------------------------------------------------- contexts
enum : int32_t {
    HTTP_ST_ADDR = 0,
    HTTP_ST_CONNECT = 1,
    HTTP_ST_PREPARE = 2,
    HTTP_ST_SEND = 3,
    HTTP_ST_RECV = 4,
    HTTP_ST_DONE = 5,
    HTTP_ST_ERR_ADDR = -10,
    HTTP_ST_ERR_CONNECT = -11,
    HTTP_ST_ERR_SEND = -12,
    HTTP_ST_ERR_RECV = -13,
    HTTP_ST_ERR_RETRY = -14,
};

// Results of every operation of the client: qx_stack_step.h.

constexpr int32_t HTTP_NO_SOCKET = -1;  // HttpCtx.socket when it holds no slot

constexpr int QX_HTTP_CHUNK = 2048;
constexpr int QX_HTTP_RECV_PAUSE = 20480;
constexpr int QX_HTTP_MAX_RETRY = 3001;
constexpr int QX_HTTP_MAX_REDIRECTS = 10;

// Content-Encoding of the response (contentEncoding): none or identity,
// gzip, or another coding.
enum : int32_t {
    HTTP_CODING_IDENTITY = 0,
    HTTP_CODING_GZIP = -1,
    HTTP_CODING_OTHER = 1,
};

// How the end of a response body is known.
enum : int32_t {
    HTTP_BODY_UNTIL_CLOSE = 0,  // the connection's end ends it
    HTTP_BODY_LENGTH = 1,       // Content-Length bytes
    HTTP_BODY_CHUNKED = 2,      // Transfer-Encoding: chunked, de-chunked for the reader
    HTTP_BODY_NONE = 3,         // 204 and 304 carry no body
};

// Where the chunked decoder stands.
enum : int32_t {
    HTTP_CHUNK_SIZE = 0,      // reading a chunk-size line
    HTTP_CHUNK_DATA = 1,      // inside a chunk's payload
    HTTP_CHUNK_DATA_END = 2,  // the CRLF after a payload
    HTTP_CHUNK_TRAILER = 3,   // trailer lines after the last chunk
    HTTP_CHUNK_DONE = 4,      // the body is complete
};

struct HttpCtx {
    char *url;
    char *hostname;
    int32_t port;
    char *path;
    int32_t socket;
    int32_t state;
    char *method;
    MemBuffer *sendBuf;
    char *contentType;
    const uint8_t *body;  // borrowed
    int32_t bodyLen;
    int32_t socketSendLen;
    MemBuffer *recvBuf;
    int32_t headersParsed;
    char *retContentType;
    int32_t contentEncoding;
    int32_t retCtxLen;
    int32_t retValue;
    int32_t socketRecvLen;
    int32_t redirectCount;
    int32_t retryCount;
    // Response framing, reset for every response (a redirect starts afresh).
    char *location;          // Location or Content-Location of the response, as sent
    int32_t answerChecked;   // the status of the parsed header block was acted on
    int32_t bodyFraming;     // HTTP_BODY_*
    int32_t bodyStart;       // recvBuf->appendedTotal where the body began
    int32_t chunkPhase;      // HTTP_CHUNK_*
    int32_t chunkLeft;       // payload bytes still to come in the current chunk
    int32_t chunkReady;      // de-chunked bytes waiting at the front of recvBuf
    int32_t lengthSeen;      // a Content-Length header was read (another must agree)
    int32_t bodyTaken;       // body bytes handed to the reader
    int32_t statusSeen;      // the response's status line was read
    // Each step writes as much of the request as the socket takes and reads
    // as much of the body as has arrived (a host driving the steps by the
    // socket's readiness); 0: one chunk of QX_HTTP_CHUNK bytes per write step.
    int32_t drainIo;
};

// The HTTP module's process state: one instance, set up by
// fnQXStack_Http_Init and released again by fnQXStack_Http_Finalize.
struct QXHttpModule {
    char *proxyHost;      // null for none
    int32_t proxyPort;
    int32_t proxyFailed;  // the last proxy could not be kept: requests fail rather than go direct
    int32_t initialised;
    int32_t stackMode;    // recorded by fnQXStack_Wap_Init
    QXList *headers;      // header store
    QXList *cookies;      // cookie jar, newest first
    uint8_t workArea[QX_HTTP_CHUNK];  // carries every socket write and read
};
QXHttpModule &fnQXStack_Http_Module();

// How often received bytes are copied: every byte taken from a socket into
// the client's memory, and every byte the client then copies or moves
// between its own buffers (and the download's). Process-wide counters for
// measurements; nothing reads them to decide anything.
struct QXCopyCount {
    uint64_t fromSocket;
    uint64_t copied;
};
QXCopyCount &fnQXStack_CopyCount();

int fnQXStack_Http_Init();
int fnQXStack_Http_Finalize();
// 0, or -1 when the host name could not be copied: then no proxy is kept and
// every request fails until a proxy (or none) is set successfully.
int fnQXStack_Http_SetProxy(const char *host, int port);
// Current proxy host (null for none) and port.
const char *fnQXStack_Http_ProxyHost();
int fnQXStack_Http_ProxyPort();
HttpCtx *fnQXStack_Http_Open_Get(const char *url);
HttpCtx *fnQXStack_Http_Open_Post(const char *url, const uint8_t *body, int bodyLen, const char *contentType);
void fnQXStack_Http_Close(HttpCtx *ctx);
// ---------------------------------------------------------------- URLs
// The one reader of URLs and host-and-port texts (relay URLs, Locations,
// Content-Locations, proxies), as RFC 3986 reads an http URL:
//   [http://]authority[/path][?query][#fragment]
// The authority ends at the first '/', '?' or '#'. It is a host and an
// optional ":port": a host name (letters, digits, '-', '_' in dot-separated
// labels), a dotted IPv4 address or an IPv6 literal in brackets ("[::1]").
// Userinfo ("user:pass@") is refused, never taken for a host; a port is 1 to
// 65535 in digits only (an empty one is the default). Only such hosts ever
// reach a name lookup.
enum class QXUrlFault : uint8_t {
    None,
    Empty,       // no text
    UnsafeByte,  // a control character or blank
    Scheme,      // a scheme other than http (https included)
    NoHost,      // no host before the port, path or end
    Userinfo,    // user information before the host
    BadHost,     // no host name, IPv4 address or bracketed IPv6 literal
    BadPort,     // not 1 to 65535 in digits
};
// What is wrong, in words ("https is not supported, only http", ...).
const char *fnQXStack_UrlFaultText(QXUrlFault fault);

struct QXAuthority {
    const char *host;  // into the text read; brackets included for an IPv6 literal
    int32_t hostLen;
    bool ipv6;         // a bracketed IPv6 literal
    int32_t port;      // the stated port, or the default one
};
struct QXUrl {
    QXAuthority authority;
    const char *path;  // from the end of the authority to the fragment: "/p?q", "?q" or empty
    int32_t pathLen;
};
// Reads a whole URL (NUL-terminated); fields point into it.
QXUrlFault fnQXStack_ReadUrl(const char *url, QXUrl *out);
// Reads "host[:port]" (or "[v6]:port") that makes up the whole of text[0..len).
QXUrlFault fnQXStack_ReadAuthority(const char *text, int len, int defaultPort, QXAuthority *out);
// A port: 1 to 65535 in digits only.
QXUrlFault fnQXStack_ReadPort(const char *text, int len, int *port);
// The host of an authority as a connect or lookup takes it: an IPv6 literal
// without its brackets. Writes at most size bytes with the zero; false when
// it does not fit.
bool fnQXStack_ConnectHost(const char *host, int hostLen, char *out, int size);

// 0, or -1 for a URL that cannot be requested (fnQXStack_ReadUrl refuses
// it; the reason is logged). ctx->hostname keeps the host as the URL writes
// it (an IPv6 literal in brackets).
int fnQXStack_Http_ParseUrl(HttpCtx *ctx, const char *url);
// A new absolute http URL for a Location reference seen from the context's
// URL (absolute, network-path, absolute-path, relative path or query), or
// null when the reference names another scheme or is unusable.
char *fnQXStack_Http_ResolveUrl(const HttpCtx *ctx, const char *reference);
// 0 when the whole request is in sendBuf; -1 when it could not be composed
// (then sendBuf is empty).
int fnQXStack_Http_PrepareQuest(HttpCtx *ctx);
int fnQXStack_Http_GetState(const HttpCtx *ctx);

int fnQXStack_Http_Read(HttpCtx *ctx, void *dst, int capacity);
int fnQXStack_Http_Run(HttpCtx *ctx);
int fnQXStack_Http_SetHost(HttpCtx *ctx);
int fnQXStack_Http_Connect(HttpCtx *ctx);
int fnQXStack_Http_SendQuest(HttpCtx *ctx);
int fnQXStack_Http_RecvData(HttpCtx *ctx);
int fnQXStack_Http_ParseAnswer(HttpCtx *ctx);
// De-chunks what is buffered; QX_STEP_DONE, or QX_STEP_FAILED for a malformed chunk.
int fnQXStack_Http_Dechunk(HttpCtx *ctx);
int fnQXStack_Http_Redirect(HttpCtx *ctx);

// Mode layer used by the transactions (mode 2 is HTTP).
int fnQXStack_Wap_Init(int mode);
HttpCtx *fnQXStack_Wap_Open_Post(const char *url, const uint8_t *body, int bodyLen, const char *contentType);
int fnQXStack_Wap_Read(HttpCtx *ctx, void *dst, int capacity);
int fnQXStack_Wap_GetState(const HttpCtx *ctx);
void fnQXStack_Wap_Close(HttpCtx *ctx);

#endif
