// SMIL tokenizer: a pull reader of tags over the SMIL text of a message.
// Character data between tags is dropped; there are no entities or CDATA.
#include <climits>
#include <cstring>
#include <iterator>

#include "MMSPs_Parse.h"
#include "MMSPs_Parse_State.h"
#include "qx_internal.h"

using smil::is_blank;

namespace {

constexpr const char *kElementNames[] = {
    "smil", "head", "body", "layout", "meta", "par", "region",
    "root-layout", "text", "img", "audio", "ref", "video", "param",
};
static_assert(sizeof(kElementNames) / sizeof(kElementNames[0]) == 14);

void reader_clear() {
    SmilState().Cursor = nullptr;
    SmilState().Remain = 0;
}

}  // namespace

int SmilSetSource(const char *text, int length) {
    if (!text || length <= 0 || std::memchr(text, '\0', static_cast<size_t>(length))) {
        reader_clear();
        return 0;
    }
    SmilState().Cursor = text;
    SmilState().Remain = length;
    return 1;
}

int SmilReadChar(char *out) {
    tSMIL_ParserState &st = SmilState();
    if (!out || st.Remain <= 0 || !st.Cursor) return 0;
    *out = *st.Cursor++;
    --st.Remain;
    return 1;
}

// The tag runs from a '<' to the first '>' after it; text before the '<' is
// skipped. The tag is found first and then copied once, so a long tag costs
// time in proportion to its length. A tag cut off by the end of the source is
// lost. Gives the tag and its length, or null at the end.
static const char *next_tag_span(int *len) {
    tSMIL_ParserState &st = SmilState();
    if (st.Remain <= 0 || !st.Cursor) return nullptr;
    const char *src = st.Cursor;
    const size_t n = static_cast<size_t>(st.Remain);
    const char *open = static_cast<const char *>(std::memchr(src, '<', n));
    const char *close =
        open ? static_cast<const char *>(std::memchr(open, '>', n - static_cast<size_t>(open - src))) : nullptr;
    if (!close) {
        reader_clear();
        return nullptr;
    }
    *len = static_cast<int>(close - open + 1);
    st.Cursor = close + 1;
    st.Remain -= static_cast<int32_t>(close + 1 - src);
    return open;
}

char *SmilReadTag() {
    int len = 0;
    const char *open = next_tag_span(&len);
    if (!open) return nullptr;
    char *tag = smil::checked(static_cast<char *>(qx::alloc_uninit(len + 1)));
    if (!tag) {  // ends the source; the failure is recorded
        reader_clear();
        return nullptr;
    }
    std::memcpy(tag, open, static_cast<size_t>(len));
    tag[len] = '\0';
    return tag;
}

const char *SmilReadTagShared() {
    tSMIL_ParserState &st = SmilState();
    int len = 0;
    const char *open = next_tag_span(&len);
    if (!open) return nullptr;
    if (len + 1 > st.TagBufSize) {  // grows geometrically
        int64_t size = st.TagBufSize > 0 ? st.TagBufSize : 64;
        while (size < len + 1) size *= 2;
        if (size > INT32_MAX) size = static_cast<int64_t>(len) + 1;
        qx::free_ptr(st.TagBuf);
        st.TagBufSize = 0;
        st.TagBuf = smil::checked(static_cast<char *>(qx::alloc_uninit(static_cast<int>(size))));
        if (!st.TagBuf) {
            reader_clear();
            return nullptr;
        }
        st.TagBufSize = static_cast<int32_t>(size);
    }
    std::memcpy(st.TagBuf, open, static_cast<size_t>(len));
    st.TagBuf[len] = '\0';
    return st.TagBuf;
}

void SmilReleaseTagBuffer() {
    qx::free_ptr(SmilState().TagBuf);
    SmilState().TagBufSize = 0;
}

char *SmilCopySpan(const char *start, const char *end) {
    if (!start || !end || end <= start) return nullptr;
    const ptrdiff_t n = end - start;
    if (n >= INT32_MAX) return nullptr;
    char *s = smil::checked(static_cast<char *>(qx::alloc_uninit(static_cast<int>(n) + 1)));
    if (!s) return nullptr;
    std::memcpy(s, start, static_cast<size_t>(n));
    s[n] = '\0';
    return s;
}

// An attribute is one block: the record, then its name and value texts.
// Name or Value set from elsewhere are released on their own.
static void free_attr(tSMIL_Attr *a) {
    if (!a) return;
    const char *lo = reinterpret_cast<const char *>(a + 1);
    if (a->Name && a->Name != lo) qx::free_ptr(a->Name);
    if (a->Value && a->Value != lo + std::strlen(lo) + 1) qx::free_ptr(a->Value);
    qx::free_ptr(a);
}

namespace {

struct Span {
    const char *start;
    size_t len;
};

// The next attribute at *cursor: its name and value as written; false when
// the list ends there. On success *cursor is past the value's closing quote.
bool scan_attr(const char **cursor, Span *name, Span *value) {
    if (!cursor || !*cursor || !**cursor) return false;
    const char *p = *cursor;
    while (is_blank(*p)) ++p;
    if (*p == '=' || *p == '/' || *p == '>' || *p == '\0') return false;
    const char *nameStart = p;
    while (*p && !is_blank(*p) && *p != '=' && *p != '>' && !(*p == '/' && p[1] == '>')) ++p;
    if (*p == '/' || *p == '>' || *p == '\0') return false;  // no value: the list ends
    const char *nameEnd = p;

    // Value: after the next double quote (anything before it is skipped).
    while (is_blank(*p)) ++p;
    const char *valStart;
    if (*p == '"') {
        valStart = p + 1;
    } else {
        const char *q = std::strchr(p, '"');
        if (!q) return false;
        valStart = q + 1;
    }
    const char *valEnd = valStart;
    while (*valEnd && *valEnd != '"' && *valEnd != '>' && !(*valEnd == '/' && valEnd[1] == '>')) ++valEnd;
    if (*valEnd != '"') return false;
    *name = Span{nameStart, static_cast<size_t>(nameEnd - nameStart)};
    *value = Span{valStart, static_cast<size_t>(valEnd - valStart)};
    *cursor = valEnd + 1;
    return true;
}

// Fills the attribute record `a` with copies of name and value placed at
// `text` (which has room for both and their 0 bytes); returns the byte after.
char *put_attr(tSMIL_Attr *a, char *text, const Span &name, const Span &value) {
    std::memcpy(text, name.start, name.len);
    text[name.len] = '\0';
    std::memcpy(text + name.len + 1, value.start, value.len);
    text[name.len + 1 + value.len] = '\0';
    a->Name = text;
    a->Value = text + name.len + 1;
    a->pNext = nullptr;
    return text + name.len + 1 + value.len + 1;
}

// Whether p lies in the block of the tag (its record, attributes and texts).
bool in_block(const tSMIL_Tag *tag, const void *p) {
    const char *c = static_cast<const char *>(p);
    return c >= reinterpret_cast<const char *>(tag) && c < tag->BlockEnd;
}

}  // namespace

tSMIL_Attr *SmilParseAttr(const char **cursor) {
    Span name{}, value{};
    const char *p = cursor ? *cursor : nullptr;
    if (!scan_attr(&p, &name, &value)) return nullptr;
    const size_t size = sizeof(tSMIL_Attr) + name.len + 1 + value.len + 1;
    if (size > static_cast<size_t>(INT32_MAX)) return nullptr;
    auto *a = smil::checked(static_cast<tSMIL_Attr *>(qx::alloc_uninit(static_cast<int>(size))));
    if (!a) return nullptr;
    put_attr(a, reinterpret_cast<char *>(a + 1), name, value);
    *cursor = p;
    return a;
}

// A tag is one block: the record, its attribute records, then the name and
// the attributes' texts. Attributes or texts set from elsewhere are released
// on their own.
void SmilFreeTag(tSMIL_Tag *tag) {
    if (!tag) return;
    if (tag->Name && !in_block(tag, tag->Name)) qx::free_ptr(tag->Name);
    tSMIL_Attr *a = tag->pAttr;
    while (a) {
        tSMIL_Attr *next = a->pNext;
        if (in_block(tag, a)) {
            if (a->Name && !in_block(tag, a->Name)) qx::free_ptr(a->Name);
            if (a->Value && !in_block(tag, a->Value)) qx::free_ptr(a->Value);
        } else {
            free_attr(a);
        }
        a = next;
    }
    qx::free_ptr(tag);
}

tSMIL_Tag *SmilParseTag(const char *text) {
    if (!text || text[0] != '<' || text[1] == '?' || text[1] == '!') return nullptr;
    const bool closing = text[1] == '/';
    const char *p = text + (closing ? 2 : 1);
    while (is_blank(*p)) ++p;
    const char *nameStart = p;
    while (*p && !is_blank(*p) && *p != '>') ++p;
    const char *nameEnd = p;
    if (*nameEnd == '\0') return nullptr;

    // Room for every attribute the rest can hold: each takes two quotes, and
    // names and values are distinct pieces of the text.
    const size_t nameLen = static_cast<size_t>(nameEnd - nameStart);
    const size_t restLen = std::strlen(nameEnd);
    size_t quotes = 0;
    for (const char *q = nameEnd; (q = std::strchr(q, '"')) != nullptr; ++q) ++quotes;
    const size_t maxAttrs = quotes / 2;
    const size_t size = sizeof(tSMIL_Tag) + maxAttrs * sizeof(tSMIL_Attr) + nameLen + 1 + restLen + 2 * maxAttrs;
    if (size > static_cast<size_t>(INT32_MAX)) return nullptr;
    auto *tag = smil::checked(static_cast<tSMIL_Tag *>(qx::alloc_uninit(static_cast<int>(size))));
    if (!tag) return nullptr;
    auto *attrs = reinterpret_cast<tSMIL_Attr *>(tag + 1);
    char *texts = reinterpret_cast<char *>(attrs + maxAttrs);
    tag->Type = 0;
    tag->pAttr = nullptr;
    tag->Name = nullptr;  // an empty name ("<>") stays null
    tag->BlockEnd = reinterpret_cast<char *>(tag) + size;
    if (nameLen) {
        tag->Name = texts;
        std::memcpy(tag->Name, nameStart, nameLen);
        tag->Name[nameLen] = '\0';
    }
    texts += nameLen + 1;
    if (nameEnd[-1] == '/') {  // "<par/>": the name keeps the '/', no attributes
        tag->Type = SMIL_TAG_EMPTY;
        return tag;
    }
    if (*nameEnd == '>') {
        tag->Type = closing ? SMIL_TAG_CLOSE : SMIL_TAG_OPEN;
        return tag;
    }
    const char *cur = nameEnd;
    Span name{}, value{};
    for (size_t n = 0; n < maxAttrs && scan_attr(&cur, &name, &value); ++n) {
        tSMIL_Attr *a = &attrs[n];
        texts = put_attr(a, texts, name, value);
        a->pNext = tag->pAttr;  // reverse document order
        tag->pAttr = a;
    }
    while (*cur && *cur != '>') ++cur;
    if (cur[-1] == '/') {
        tag->Type = SMIL_TAG_EMPTY;
    } else if (*cur == '>') {
        tag->Type = closing ? SMIL_TAG_CLOSE : SMIL_TAG_OPEN;
    } else {
        SmilFreeTag(tag);
        return nullptr;
    }
    return tag;
}

int16_t SmilGetElementId(const char *name) {
    if (!name) return SMIL_ELEM_NONE;
    // No element name is longer than "root-layout": spare long names the scans.
    const size_t len = strnlen(name, 12);
    if (len > 11) return SMIL_ELEM_NONE;
    for (int16_t i = 0; i < static_cast<int16_t>(std::size(kElementNames)); ++i) {
        if (std::strlen(kElementNames[i]) == len && fnQX_STRICMP(kElementNames[i], name) == 0) return i;
    }
    return SMIL_ELEM_NONE;
}
