// SMIL tokenizer: a pull reader of tags over the SMIL text of a message.
// Character data between tags is dropped; there are no entities or CDATA.
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
// time in proportion to its length.
char *SmilReadTag() {
    tSMIL_ParserState &st = SmilState();
    if (st.Remain <= 0 || !st.Cursor) return nullptr;
    const char *src = st.Cursor;
    const size_t n = static_cast<size_t>(st.Remain);
    const char *open = static_cast<const char *>(std::memchr(src, '<', n));
    if (!open) {
        reader_clear();
        return nullptr;
    }
    const size_t after = n - static_cast<size_t>(open - src);
    const char *close = static_cast<const char *>(std::memchr(open, '>', after));
    if (!close) {  // a tag cut off by the end of the source is lost
        reader_clear();
        return nullptr;
    }
    const int len = static_cast<int>(close - open + 1);
    st.Cursor = close + 1;
    st.Remain -= static_cast<int32_t>(close + 1 - src);
    char *tag = static_cast<char *>(qx::alloc_uninit(len + 1));
    if (!tag) {  // looks like the end of the source to the caller
        reader_clear();
        return nullptr;
    }
    std::memcpy(tag, open, static_cast<size_t>(len));
    tag[len] = '\0';
    return tag;
}

char *SmilCopySpan(const char *start, const char *end) {
    if (!start || !end || end <= start) return nullptr;
    const ptrdiff_t n = end - start;
    if (n >= INT32_MAX) return nullptr;
    char *s = static_cast<char *>(qx::alloc_uninit(static_cast<int>(n) + 1));
    if (!s) return nullptr;
    std::memcpy(s, start, static_cast<size_t>(n));
    s[n] = '\0';
    return s;
}

static void free_attr(tSMIL_Attr *a) {
    if (!a) return;
    qx::free_ptr(a->Name);
    qx::free_ptr(a->Value);
    qx::free_ptr(a);
}

tSMIL_Attr *SmilParseAttr(const char **cursor) {
    if (!cursor || !*cursor || !**cursor) return nullptr;
    const char *p = *cursor;
    while (is_blank(*p)) ++p;
    if (*p == '=' || *p == '/' || *p == '>' || *p == '\0') return nullptr;
    const char *nameStart = p;
    while (*p && !is_blank(*p) && *p != '=' && *p != '>' && !(*p == '/' && p[1] == '>')) ++p;
    if (*p == '/' || *p == '>' || *p == '\0') return nullptr;  // no value: the list ends
    const char *nameEnd = p;

    // Value: after the next double quote (anything before it is skipped).
    while (is_blank(*p)) ++p;
    const char *valStart;
    if (*p == '"') {
        valStart = p + 1;
    } else {
        const char *q = std::strchr(p, '"');
        if (!q) return nullptr;
        valStart = q + 1;
    }
    const char *valEnd = valStart;
    while (*valEnd && *valEnd != '"' && *valEnd != '>' && !(*valEnd == '/' && valEnd[1] == '>')) ++valEnd;
    if (*valEnd != '"') return nullptr;

    tSMIL_Attr *a = qx::alloc_rec<tSMIL_Attr>();
    if (!a) return nullptr;
    a->Name = SmilCopySpan(nameStart, nameEnd);
    a->Value = (valEnd == valStart) ? static_cast<char *>(fnQX_Malloc(1)) : SmilCopySpan(valStart, valEnd);
    if (!a->Name || !a->Value) {
        free_attr(a);
        return nullptr;
    }
    *cursor = valEnd + 1;
    return a;
}

void SmilFreeTag(tSMIL_Tag *tag) {
    if (!tag) return;
    qx::free_ptr(tag->Name);
    tSMIL_Attr *a = tag->pAttr;
    while (a) {
        tSMIL_Attr *next = a->pNext;
        free_attr(a);
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

    tSMIL_Tag *tag = qx::alloc_rec<tSMIL_Tag>();
    if (!tag) return nullptr;
    // An empty name ("<>") stays null; any other name must be copied.
    auto take_name = [&]() {
        if (nameEnd == nameStart) return true;
        tag->Name = SmilCopySpan(nameStart, nameEnd);
        return tag->Name != nullptr;
    };
    if (nameEnd[-1] == '/') {  // "<par/>": the name keeps the '/', no attributes
        tag->Type = SMIL_TAG_EMPTY;
        if (!take_name()) {
            SmilFreeTag(tag);
            return nullptr;
        }
        return tag;
    }
    if (!take_name()) {
        SmilFreeTag(tag);
        return nullptr;
    }
    if (*nameEnd == '>') {
        tag->Type = closing ? SMIL_TAG_CLOSE : SMIL_TAG_OPEN;
        return tag;
    }
    const char *cur = nameEnd;
    while (tSMIL_Attr *a = SmilParseAttr(&cur)) {
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
    if (strnlen(name, 12) > 11) return SMIL_ELEM_NONE;
    for (int16_t i = 0; i < static_cast<int16_t>(std::size(kElementNames)); ++i) {
        if (fnQX_STRICMP(kElementNames[i], name) == 0) return i;
    }
    return SMIL_ELEM_NONE;
}
