// Header store (name -> value) and cookie jar (newest first, at most
// QX_MAX_COOKIES) of the HTTP client; both live in the module's state record.
#include <cstring>

#include "qx_internal.h"
#include "qx_stack_http.h"

namespace {

QXList *&headers() { return fnQXStack_Http_Module().headers; }
QXList *&cookies() { return fnQXStack_Http_Module().cookies; }

// A missing text is kept and compared as the empty text.
const char *or_empty(const char *s) { return s ? s : ""; }

int match_header(const void *key, const void *item) {
    return fnQX_STRCMP(static_cast<const char *>(key), static_cast<const QXHeaderEntry *>(item)->name);
}

struct CookieKey {
    const char *name;
    const char *host;
    const char *path;
};

int match_cookie(const void *key, const void *item) {
    const auto *k = static_cast<const CookieKey *>(key);
    const auto *c = static_cast<const QXCookie *>(item);
    if (fnQX_STRCMP(k->name, c->name) != 0) return 1;
    if (fnQX_STRCMP(k->host, c->host) != 0) return 1;
    return fnQX_STRCMP(k->path, c->path) != 0 ? 1 : 0;
}

void release_header(void *item) {
    auto *e = static_cast<QXHeaderEntry *>(item);
    qx::free_ptr(e->name);
    qx::free_ptr(e->value);
    qx::free_ptr(e);
}

void release_cookie(void *item) {
    auto *c = static_cast<QXCookie *>(item);
    qx::free_ptr(c->name);
    qx::free_ptr(c->value);
    qx::free_ptr(c->host);
    qx::free_ptr(c->path);
    qx::free_ptr(c);
}

QXList *ensure(QXList *&list) {
    if (!list) list = qx::alloc_rec<QXList>();
    return list;
}

void drop(QXList *&list, QXListRelease release) {
    if (!list) return;
    fnQXList_Clear(list, release);
    qx::free_ptr(list);
}

// A cookie text that could break the request line it goes into: a control
// character (CR and LF above all) or a length past what is sent whole.
bool unsafe_cookie_text(const char *s, size_t *total) {
    for (; *s; ++s) {
        const auto c = static_cast<unsigned char>(*s);
        if (c < 0x20 || c == 0x7F) return true;
        if (++*total > static_cast<size_t>(QX_MAX_COOKIE_TEXT)) return true;
    }
    return false;
}

// Appends a text as it is; false when it could not be stored.
bool append_text(MemBuffer *buf, const char *s) {
    return fnQXBuf_Append(buf, s, static_cast<int>(std::strlen(s))) != nullptr;
}

// Replaces *slot with a copy of text; on an allocation failure the old text stays.
void replace_text(char *&slot, const char *text) {
    char *copy = fnQX_MEMSTRCOPY(or_empty(text));
    if (!copy) return;
    qx::free_ptr(slot);
    slot = copy;
}

}  // namespace

void fnQXStack_Http_SetHeader(const char *name, const char *value) {
    if (!name) return;
    if (!ensure(headers())) return;
    if (QXListNode *node = fnQXList_Find(headers(), name, match_header)) {
        replace_text(static_cast<QXHeaderEntry *>(node->item)->value, value);
        return;
    }
    auto *e = qx::alloc_rec<QXHeaderEntry>();
    if (!e) return;
    e->name = fnQX_MEMSTRCOPY(name);
    e->value = fnQX_MEMSTRCOPY(or_empty(value));
    if (!e->name || !e->value || !fnQXList_Append(headers(), e)) release_header(e);
}

const char *fnQXStack_Http_GetHeader(const char *name) {
    if (!name || !headers()) return nullptr;
    QXListNode *node = fnQXList_Find(headers(), name, match_header);
    return node ? static_cast<const QXHeaderEntry *>(node->item)->value : nullptr;
}

void fnQXStack_Http_FreeHeaders() { drop(headers(), release_header); }

// A cookie whose name or value holds a control character (a CR or LF would
// start a header line of the server's choosing in our next request), or
// that is too long to be sent whole, is not stored.
void fnQXStack_Http_SetCookie(const char *name, const char *value, const char *host, const char *path) {
    size_t total = 0;
    if (unsafe_cookie_text(or_empty(name), &total) || unsafe_cookie_text(or_empty(value), &total)) return;
    if (!ensure(cookies())) return;
    const CookieKey key{or_empty(name), or_empty(host), or_empty(path)};
    if (QXListNode *node = fnQXList_Find(cookies(), &key, match_cookie)) {
        replace_text(static_cast<QXCookie *>(node->item)->value, value);
        return;
    }
    auto *c = qx::alloc_rec<QXCookie>();
    if (!c) return;
    c->name = fnQX_MEMSTRCOPY(key.name);
    c->value = fnQX_MEMSTRCOPY(or_empty(value));
    c->host = fnQX_MEMSTRCOPY(key.host);
    c->path = fnQX_MEMSTRCOPY(key.path);
    if (!c->name || !c->value || !c->host || !c->path || !fnQXList_Prepend(cookies(), c)) {
        release_cookie(c);
        return;
    }
    while (fnQXList_Count(cookies()) > QX_MAX_COOKIES) {
        void *oldest = fnQXList_PopTail(cookies());
        if (oldest) release_cookie(oldest);
    }
}

// Writes the Cookie line and the Cookie2 line, or nothing at all: when a part
// cannot be appended the lines written so far are taken back, so a request
// never carries half a line. Names and values are appended as they are, so
// a long cookie goes out whole.
int fnQXStack_Http_AddCookies(MemBuffer *buf, const char *host) {
    if (!buf || !buf->data || !host) return QX_STEP_FAILED;
    if (!cookies()) return QX_STEP_DONE;
    const int unreadBefore = fnQXBuf_Unreadable(buf);
    bool written = false;
    bool ok = true;
    for (const QXListNode *n = cookies()->head; n && ok; n = n->next) {
        const auto *c = static_cast<const QXCookie *>(n->item);
        if (fnQX_STRCMP(c->host, host) != 0) continue;
        ok = append_text(buf, written ? "; " : "Cookie: ") && append_text(buf, c->name) && append_text(buf, "=") &&
             append_text(buf, c->value);
        written = true;
    }
    if (!written) return QX_STEP_DONE;
    if (ok) ok = append_text(buf, "\r\nCookie2: \"1\"\r\n");
    if (ok) return QX_STEP_DONE;
    // Appending only adds at the end (after moving unread bytes to the
    // front), so the unread bytes from before are still the first ones.
    buf->length = buf->readPos + unreadBefore;
    buf->data[buf->length] = 0;
    return QX_STEP_FAILED;
}

void fnQXStack_Http_FreeCookies() { drop(cookies(), release_cookie); }

const QXList *fnQXStack_Http_HeaderList() { return headers(); }
const QXList *fnQXStack_Http_CookieList() { return cookies(); }
