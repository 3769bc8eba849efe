// Growable byte buffer with a read position, the formatted append used to
// build request text, and the small text routines of the URL and header parsers.
#include <climits>
#include <cstring>

#include "qx_internal.h"
#include "qx_stack_http.h"

namespace {

// Storage always carries this many bytes beyond the usable capacity, so a zero
// byte can follow the stored bytes even when the buffer is full.
constexpr int kSlack = 10;
constexpr int kPrintfArea = 2048;

// Length of a text as an int; -1 when it does not fit.
int text_len(const char *s) {
    const size_t n = std::strlen(s);
    return n > static_cast<size_t>(INT_MAX) ? -1 : static_cast<int>(n);
}

// Moves the unread bytes to the front.
void compact(MemBuffer *buf) {
    if (buf->readPos <= 0) return;
    const int unread = buf->length - buf->readPos;
    if (unread > 0) {
        std::memmove(buf->data, buf->data + buf->readPos, static_cast<size_t>(unread));
        fnQXStack_CopyCount().copied += static_cast<uint64_t>(unread);
    }
    buf->length = unread > 0 ? unread : 0;
    buf->readPos = 0;
    buf->data[buf->length] = 0;
}

}  // namespace

MemBuffer *fnQXBuf_New(int capacity) {
    if (capacity < 0 || capacity > INT_MAX - kSlack) return nullptr;
    auto *buf = qx::alloc_rec<MemBuffer>();
    if (!buf) return nullptr;
    buf->data = static_cast<uint8_t *>(fnQX_Malloc(capacity + kSlack));
    if (!buf->data) {
        qx::free_ptr(buf);
        return nullptr;
    }
    buf->capacity = capacity;
    return buf;
}

void fnQXBuf_Free(MemBuffer *buf) {
    if (!buf) return;
    qx::free_ptr(buf->data);
    qx::free_ptr(buf);
}

// Returns the buffer, or null when the buffer is null, the arguments are
// unusable (negative count, null bytes with a count) or the storage cannot
// grow; in every failure case the buffer is left as it was.
MemBuffer *fnQXBuf_Append(MemBuffer *buf, const void *bytes, int count) {
    if (count > 0 && !bytes) return nullptr;
    // Room for count more bytes (grown by count when short; the tail stays zero).
    uint8_t *at = fnQXBuf_Reserve(buf, count);
    if (!at) return nullptr;
    if (count > 0) std::memcpy(at, bytes, static_cast<size_t>(count));
    buf->length += count;
    buf->appendedTotal = buf->appendedTotal > INT_MAX - count ? INT_MAX : buf->appendedTotal + count;
    buf->data[buf->length] = 0;
    return buf;
}

uint8_t *fnQXBuf_Reserve(MemBuffer *buf, int count) {
    if (!buf || !buf->data || count < 0) return nullptr;
    compact(buf);
    if (buf->capacity - buf->length < count) {
        if (buf->capacity > INT_MAX - kSlack - count) return nullptr;
        const int newCap = buf->capacity + count;
        auto *grown = static_cast<uint8_t *>(fnQX_Realloc(buf->data, newCap + kSlack));
        if (!grown) return nullptr;
        std::memset(grown + buf->capacity + kSlack, 0, static_cast<size_t>(count));
        buf->data = grown;
        buf->capacity = newCap;
    }
    return buf->data + buf->length;
}

void fnQXBuf_Commit(MemBuffer *buf, int n) {
    if (!buf || n <= 0 || n > buf->capacity - buf->length) return;
    buf->length += n;
    buf->appendedTotal = buf->appendedTotal > INT_MAX - n ? INT_MAX : buf->appendedTotal + n;
    buf->data[buf->length] = 0;
}

QXCopyCount &fnQXStack_CopyCount() {
    static QXCopyCount c{0, 0};
    return c;
}

int fnQXBuf_Read(MemBuffer *buf, void *dst, int count) {
    if (!buf || count < 0) return -1;
    int n = buf->length - buf->readPos;
    if (n > count) n = count;
    if (n <= 0) return 0;
    if (!dst) return -1;
    std::memcpy(dst, buf->data + buf->readPos, static_cast<size_t>(n));
    fnQXStack_CopyCount().copied += static_cast<uint64_t>(n);
    buf->readPos += n;
    return n;
}

int fnQXBuf_Unread(MemBuffer *buf, int count) {
    if (!buf || count < 0) return -1;
    if (buf->readPos >= count) buf->readPos -= count;
    return 0;
}

char *fnQXBuf_ReadLine(MemBuffer *buf, const char *separator) {
    if (!buf || !buf->data || !separator || !*separator) return nullptr;
    const int sepLen = text_len(separator);
    if (sepLen <= 0) return nullptr;
    const char *text = reinterpret_cast<const char *>(buf->data) + buf->readPos;
    const int avail = buf->length - buf->readPos;
    if (avail < sepLen) return nullptr;
    // A text search: it ends at the first zero byte, and never runs past the
    // stored bytes.
    const void *zero = std::memchr(text, 0, static_cast<size_t>(avail));
    const int limit = zero ? static_cast<int>(static_cast<const char *>(zero) - text) : avail;
    for (int i = 0; i + sepLen <= limit; ++i) {
        if (text[i] != separator[0] || std::memcmp(text + i, separator, static_cast<size_t>(sepLen)) != 0) continue;
        char *line = static_cast<char *>(fnQX_Malloc(i + 1));
        if (!line) return nullptr;
        if (i > 0) std::memcpy(line, text, static_cast<size_t>(i));
        buf->readPos += i + sepLen;
        return line;
    }
    return nullptr;
}

void fnQXBuf_Reset(MemBuffer *buf) {
    if (!buf) return;
    buf->length = 0;
    buf->readPos = 0;
    buf->appendedTotal = 0;
    if (buf->data) std::memset(buf->data, 0, static_cast<size_t>(buf->capacity) + kSlack);
}

// Returns the formatter's result; -1 when the work area cannot be allocated
// or the formatted text cannot be stored.
int fnQXBuf_Printf(MemBuffer *buf, const char *fmt, ...) {
    if (!buf || !fmt) return -1;
    char *area = static_cast<char *>(fnQX_Malloc(kPrintfArea));
    if (!area) return -1;
    va_list ap;
    va_start(ap, fmt);
    const int r = fnQX_FormatBounded(area, kPrintfArea, fmt, ap);
    va_end(ap);
    const void *zero = std::memchr(area, 0, kPrintfArea);
    const int n = zero ? static_cast<int>(static_cast<const char *>(zero) - area) : kPrintfArea - 1;
    const bool stored = fnQXBuf_Append(buf, area, n) != nullptr;
    qx::free_ptr(area);
    return stored ? r : -1;
}

int fnQXBuf_AppendHeader(MemBuffer *buf, const char *namePart, const char *value) {
    if (!buf || !namePart || !value) return -1;
    const int ln = text_len(namePart);
    const int lv = text_len(value);
    if (ln < 0 || lv < 0 || !buf->data) return -1;
    // The line goes in whole or not at all: appending only adds at the end
    // (after moving the unread bytes to the front), so a failure is undone by
    // cutting back to the unread bytes from before.
    const int unreadBefore = fnQXBuf_Unreadable(buf);
    if (fnQXBuf_Append(buf, namePart, ln) && fnQXBuf_Append(buf, value, lv) && fnQXBuf_Append(buf, "\r\n", 2)) return 0;
    buf->length = buf->readPos + unreadBefore;
    buf->data[buf->length] = 0;
    return -1;
}

void fnQXBuf_Cut(MemBuffer *buf, int offset, int count) {
    if (!buf || !buf->data || offset < 0 || count <= 0) return;
    const int from = buf->readPos + offset;
    if (from >= buf->length) return;
    if (count > buf->length - from) count = buf->length - from;
    const int after = buf->length - from - count;
    if (after > 0) {
        std::memmove(buf->data + from, buf->data + from + count, static_cast<size_t>(after));
        fnQXStack_CopyCount().copied += static_cast<uint64_t>(after);
    }
    buf->length -= count;
    buf->data[buf->length] = 0;
}

char *fnQXStack_StrDup(const char *text) { return text ? fnQX_MEMSTRCOPY(text) : nullptr; }

// Copies from *pos up to the first delimiter (or the end) and leaves *pos on
// that delimiter. A position outside the text gives null and stays put.
char *fnQXStack_Token(const char *text, const char *delims, int *pos) {
    if (!text || !delims) return nullptr;
    const int len = text_len(text);
    const int start = pos ? *pos : 0;
    if (len < 0 || start < 0 || start > len) return nullptr;
    const int n = static_cast<int>(std::strcspn(text + start, delims));
    char *tok = static_cast<char *>(fnQX_Malloc(n + 1));
    if (!tok) return nullptr;
    if (n > 0) std::memcpy(tok, text + start, static_cast<size_t>(n));
    if (pos) *pos = start + n;
    return tok;
}

const char *fnQXStack_SkipChars(const char *text, const char *set) {
    if (!text || !set) return text;
    return text + std::strspn(text, set);
}

int fnQXStack_HasPrefix(const char *line, const char *name) {
    if (!line && !name) return 0;
    if (!line || !name) return 1;
    // Same letter folding as fnQX_STRICMP, over the name's length.
    for (; *name; ++line, ++name) {
        const char x = *name;
        const char y = *line;
        if (y == 0) return 1;
        if (x == y) continue;
        if (x >= 'a' && x <= 'z' && y == x - 'a' + 'A') continue;
        if (x >= 'A' && x <= 'Z' && y == x - 'A' + 'a') continue;
        return 1;
    }
    return 0;
}
