// Minimal non-blocking HTTP/1.0 client: contexts, request composition, the
// polled run machine, header store, cookie jar, lists, buffers, formatter.
#ifndef QX_STACK_HTTP_H
#define QX_STACK_HTTP_H

#include <cstdarg>
#include <cstdint>

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
void fnQXBuf_AppendHeader(MemBuffer *buf, const char *namePart, const char *value);
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
void fnQXStack_Http_SetCookie(const char *name, const char *value, const char *host, const char *path);
void fnQXStack_Http_AddCookies(MemBuffer *buf, const char *host);
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

constexpr int QX_HTTP_CHUNK = 2048;
constexpr int QX_HTTP_RECV_PAUSE = 20480;
constexpr int QX_HTTP_MAX_RETRY = 3001;
constexpr int QX_HTTP_MAX_REDIRECTS = 10;

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
};

int fnQXStack_Http_Init();
int fnQXStack_Http_Finalize();
void fnQXStack_Http_SetProxy(const char *host, int port);
// Current proxy host (null for none) and port.
const char *fnQXStack_Http_ProxyHost();
int fnQXStack_Http_ProxyPort();
HttpCtx *fnQXStack_Http_Open_Get(const char *url);
HttpCtx *fnQXStack_Http_Open_Post(const char *url, const uint8_t *body, int bodyLen, const char *contentType);
void fnQXStack_Http_Close(HttpCtx *ctx);
int fnQXStack_Http_ParseUrl(HttpCtx *ctx, const char *url);
int fnQXStack_Http_PrepareQuest(HttpCtx *ctx);
int fnQXStack_Http_GetState(const HttpCtx *ctx);

int fnQXStack_Http_Read(HttpCtx *ctx, void *dst, int capacity);
int fnQXStack_Http_Run(HttpCtx *ctx);
int fnQXStack_Http_SetHost(HttpCtx *ctx);
int fnQXStack_Http_Connect(HttpCtx *ctx);
int fnQXStack_Http_SendQuest(HttpCtx *ctx);
int fnQXStack_Http_RecvData(HttpCtx *ctx);
int fnQXStack_Http_ParseAnswer(HttpCtx *ctx);
int fnQXStack_Http_Redirect(HttpCtx *ctx);

// Mode layer used by the transactions (mode 2 is HTTP).
int fnQXStack_Wap_Init(int mode);
HttpCtx *fnQXStack_Wap_Open_Post(const char *url, const uint8_t *body, int bodyLen, const char *contentType);
int fnQXStack_Wap_Read(HttpCtx *ctx, void *dst, int capacity);
int fnQXStack_Wap_GetState(const HttpCtx *ctx);
void fnQXStack_Wap_Close(HttpCtx *ctx);

#endif
