// Multipart message bodies: the Content-Type field and the WSP multipart
// entries written for a composed message and read from a retrieved one.
#include <climits>
#include <cstdio>
#include <cstring>

#include "MMSProl_Encapsulaton.h"
#include "qx_internal.h"
#include "qx_log.h"

namespace {

constexpr char kTextPlain[] = "text/plain";
constexpr char kSmilType[] = "application/smil";
constexpr char kSmilName[] = "mms.smil";
constexpr char kStartId[] = "<AAAA>";
constexpr int kStartIdLen = sizeof(kStartId) - 1;
constexpr int kSmilNameLen = sizeof(kSmilName) - 1;

constexpr uint8_t kUtf8Short = 0x80 | MMS_CHARSET_UTF8;

// Shift-delimiter of a header code page shift.
constexpr uint8_t kShiftDelimiter = 0x7F;

constexpr int kDefaultNameSize = 129;

// Media types of a received body compare without regard to case (RFC 2045).
bool is_type(const char *ct, const char *name) { return ct && fnQX_STRICMP(ct, name) == 0; }
// Which parts the composer owns is decided by its own exact type name.
bool is_composed_text(const char *ct) { return ct && fnQX_STRCMP(ct, kTextPlain) == 0; }

// ---------------------------------------------------------------- encoding
// Sizes are computed in 64 bits from the parts themselves, then the same
// pieces are written through a bounded writer over exactly that many bytes.
// The header length written before an entry's headers is checked against
// what was written: a size that drifts from the writing fails the encode.

int64_t text_size(const char *s) { return s ? static_cast<int64_t>(std::strlen(s)) : 0; }

int64_t type_size(const char *ct) {
    return GetContentTypeCode(ct) != MMS_NO_CONTENT_TYPE_CODE ? 1 : text_size(ct) + 1;
}

void put_type(qx::Writer &w, const char *ct) {
    const int code = GetContentTypeCode(ct);
    if (code != MMS_NO_CONTENT_TYPE_CODE)
        w.byte(static_cast<uint8_t>(0x80 | code));
    else
        SetTextString(w, ct);
}

// Data bytes written for an entry: none without data.
int data_len(const uint8_t *data, int len) { return (data && len > 0) ? len : 0; }

bool writes_charset(const tMMS_Element *e) { return e->Has_Charset == 1 && e->Charset >= 0; }

int64_t charset_size(int charset) { return charset < 128 ? 1 : 1 + GetIntegerOctets(static_cast<uint32_t>(charset)); }

int64_t length_value_size(int64_t n) { return LengthValueSize(static_cast<uint32_t>(n)); }
int64_t uintvar_size(int64_t n) { return UintvarSize(static_cast<uint32_t>(n)); }

// The body's Content-Type value with a SMIL part: related, Type, Start.
int64_t related_value_size(const smilstruct *s) { return 2 + type_size(s->Content_Type) + 1 + kStartIdLen + 1; }

int64_t smil_type_size(const smilstruct *s) { return type_size(s->Content_Type) + 1 + kSmilNameLen + 1 + 2; }

int64_t smil_headers_size(const smilstruct *s) {
    const int64_t t = smil_type_size(s);
    return length_value_size(t) + t + 2 + kStartIdLen + 1;
}

// A part's name goes as it is in its Name parameter and URI-encoded in its
// Content-ID and Content-Location, which a strict reader takes as ASCII.
// Readers take a Name value as a Text-string or a Quoted-string: a name that
// begins with 0x22 itself goes as a Quoted-string, one that begins with a byte
// that could be read as the quote (0x7F or more) with the quote.
bool name_needs_mark(const char *name) { return TextNeedsQuote(name) || (name && name[0] == WSP_QUOTED_STRING); }

void put_name_value(qx::Writer &w, const char *name) {
    if (name && name[0] == WSP_QUOTED_STRING) w.byte(WSP_QUOTED_STRING);
    SetQuoteTextString(w, name);
}

int64_t part_type_size(const tMMS_Element *e) {
    int64_t t = type_size(e->Content_Type) + 1 + (name_needs_mark(e->File_Name) ? 1 : 0) + text_size(e->File_Name) + 1;
    if (writes_charset(e)) t += 1 + charset_size(e->Charset);
    return t;
}

int64_t part_headers_size(const tMMS_Element *e) {
    const int64_t t = part_type_size(e);
    const auto uri = static_cast<int64_t>(UriEncodedSize(e->File_Name));
    return length_value_size(t) + t + (2 + 1 + uri + 1 + 1) + (1 + uri + 1);
}

int64_t entry_size(int64_t headers, int data) { return uintvar_size(headers) + uintvar_size(data) + headers + data; }

// Upper limit of one piece; keeps every uintvar and the int total exact.
constexpr int64_t kMaxBody = INT_MAX;

// Total size of the encoded body, or -1 when it does not fit an int.
int64_t body_size(const mmresstruct *body, int64_t *entries) {
    int64_t n = body->Smil ? 1 : 0;
    int64_t total = 0;
    if (const smilstruct *s = body->Smil) {
        if (text_size(s->Content_Type) > kMaxBody) return -1;
        const int64_t v = related_value_size(s);
        total += 1 + length_value_size(v) + v;
        total += entry_size(smil_headers_size(s), data_len(s->Data, s->Data_Len));
    } else {
        total += 2;
    }
    for (const tMMS_Element *e = body->Parts; e; e = e->next) {
        if (text_size(e->Content_Type) > kMaxBody || text_size(e->File_Name) > kMaxBody / 3) return -1;
        total += entry_size(part_headers_size(e), data_len(e->Data, e->Data_Len));
        ++n;
        if (total > kMaxBody) return -1;
    }
    total += uintvar_size(n);
    if (total > kMaxBody || n > kMaxBody) return -1;
    *entries = n;
    return total;
}

// An entry's header length and data length; the headers written after
// them must come to exactly `headers` bytes (see headers_written).
void open_entry(qx::Writer &w, int64_t headers, int data) {
    SetUintvar(w, static_cast<uint32_t>(headers));
    SetUintvar(w, static_cast<uint32_t>(data));
}

// The headers written since `from` must be the size announced before them.
void headers_written(qx::Writer &w, const uint8_t *from, int64_t headers) {
    if (w.ok() && w.p - from != headers) w.fail();
}

void write_smil_entry(qx::Writer &w, const smilstruct *s) {
    const int64_t h = smil_headers_size(s);
    const int dl = data_len(s->Data, s->Data_Len);
    open_entry(w, h, dl);
    const uint8_t *headers = w.p;
    SetLengthValue(w, static_cast<uint32_t>(smil_type_size(s)));
    put_type(w, s->Content_Type);
    w.byte(WSP_PARAM_NAME);
    SetTextString(w, kSmilName);
    w.byte(WSP_PARAM_CHARSET);
    w.byte(kUtf8Short);
    w.byte(WSP_HDR_CONTENT_ID);
    w.byte(WSP_QUOTED_STRING);
    SetTextString(w, kStartId);
    headers_written(w, headers, h);
    w.bytes(s->Data, static_cast<size_t>(dl));
}

void write_part_entry(qx::Writer &w, const tMMS_Element *e) {
    const int64_t h = part_headers_size(e);
    const int dl = data_len(e->Data, e->Data_Len);
    const char *fn = e->File_Name ? e->File_Name : "";
    open_entry(w, h, dl);
    const uint8_t *headers = w.p;
    SetLengthValue(w, static_cast<uint32_t>(part_type_size(e)));
    put_type(w, e->Content_Type);
    w.byte(WSP_PARAM_NAME);
    put_name_value(w, fn);
    if (writes_charset(e)) {
        w.byte(WSP_PARAM_CHARSET);
        if (e->Charset < 128)
            w.byte(static_cast<uint8_t>(e->Charset + 0x80));
        else
            SetLongInteger(w, static_cast<uint32_t>(e->Charset));
    }
    w.byte(WSP_HDR_CONTENT_ID);
    w.byte(WSP_QUOTED_STRING);
    w.byte('<');
    SetUriEncoded(w, fn);
    w.byte('>');
    w.byte(0);
    w.byte(WSP_HDR_CONTENT_LOCATION);
    SetUriEncoded(w, fn);
    w.byte(0);
    headers_written(w, headers, h);
    w.bytes(e->Data, static_cast<size_t>(dl));
}

// ---------------------------------------------------------------- decoding

void free_element(tMMS_Element *&e) {
    if (!e) return;
    qx::free_ptr(e->Content_Type);
    qx::free_ptr(e->File_Name);
    qx::free_ptr(e->Content_Id);
    qx::free_ptr(e->Name_Param);
    qx::free_ptr(e->Fwd_Param);
    qx::free_ptr(e->Decoded_Data);
    qx::free_ptr(e);
}

void free_smil(smilstruct *&s) {
    if (!s) return;
    qx::free_ptr(s->Content_Type);
    qx::free_ptr(s->Decoded_Data);
    qx::free_ptr(s);
}

// Reads a Content-Type value and steps the cursor over all of it (the
// general form is read without moving the cursor).
tMMS_ContentType *read_content_type(WspCursor &c) {
    const uint8_t *start = c.p;
    int consumed = 0;
    tMMS_ContentType *ct = GetContentTypeValue(c, &consumed);
    if (ct) c.p = start + consumed;
    return ct;
}

// A new 129-byte text with the default name of an unnamed text part.
char *default_text_name(const char *fmt, int number) {
    char *t = static_cast<char *>(fnQX_Malloc(kDefaultNameSize));
    if (t) std::snprintf(t, kDefaultNameSize, fmt, number);
    return t;
}

// Moves the fields of a Content-Type value into a new part record.
tMMS_Element *element_from(tMMS_ContentType *ct) {
    auto *e = qx::alloc_rec<tMMS_Element>();
    if (!e) return nullptr;
    e->Content_Type = ct->Content_Type;
    e->Name_Param = ct->Name_Param;
    e->Charset = ct->Charset;
    e->Has_Charset = ct->Has_Charset;
    e->Fwd_Present = ct->Fwd_Present;
    e->Fwd_Value = ct->Fwd_Value;
    e->Fwd_Param = ct->Fwd_Param;
    e->Fwd_Param_Len = ct->Fwd_Param_Len;
    ct->Content_Type = nullptr;
    ct->Name_Param = nullptr;
    ct->Fwd_Param = nullptr;
    return e;
}

// Drops every "<" and ">" of a text in place.
void strip_angle_brackets(char *s) {
    char *w = s;
    for (const char *r = s; *r; ++r)
        if (*r != '<' && *r != '>') *w++ = *r;
    *w = 0;
}

// A name from a Content-Disposition names the part only when its
// Content-Type did not.
Step take_disposition_name(WspCursor &h, tMMS_Element *e) {
    char *name = nullptr;
    switch (ReadDispositionName(h, &name)) {
        case Got::NoMemory: return Step::NoMemory;
        case Got::Value:
            if (!e->Name_Param)
                e->Name_Param = name;
            else
                qx::free_ptr(name);
            return Step::Next;
        default: return Step::Next;
    }
}

// An application header named Content-Disposition (any letter case).
bool is_disposition_name(const WspCursor &h) {
    constexpr char kName[] = "content-disposition";
    const long n = TextExtent(h);
    return n == static_cast<long>(sizeof kName) &&
           fnQX_STRICMP(reinterpret_cast<const char *>(h.p), kName) == 0;
}

// Header fields of one entry after its Content-Type value, within the
// entry's header length. Content-Location, Content-ID and the name of a
// Content-Disposition are kept; every other field is stepped over by its
// encoding: a well-known header by its WSP value, an application header by
// its text name and text value, a code page shift by its one or two bytes.
// Only a field that runs past the headers ends the reading.
Step read_part_headers(WspCursor &h, tMMS_Element *e) {
    while (h.p < h.end && !h.truncated) {
        const uint8_t code = *h.p;
        if (code == WSP_HDR_CONTENT_DISPOSITION || code == WSP_HDR_CONTENT_DISPOSITION_14) {
            ++h.p;
            if (take_disposition_name(h, e) == Step::NoMemory) return Step::NoMemory;
        } else if (code >= 0x20 && code < 0x80 && is_disposition_name(h)) {
            SkipText(h);
            if (take_disposition_name(h, e) == Step::NoMemory) return Step::NoMemory;
        } else if (code == WSP_HDR_CONTENT_LOCATION) {
            ++h.p;
            char *name = GetQuoteTextString(h, nullptr);
            if (!name) return h.truncated ? Step::Stop : Step::NoMemory;
            UriDecodeInPlace(name);  // the file name the URI reference stands for
            qx::free_ptr(e->File_Name);
            e->File_Name = name;
        } else if (code == WSP_HDR_CONTENT_ID) {
            ++h.p;
            // A Quoted-string (0x22 and the text); some writers leave the
            // quote out.
            if (h.p < h.end && *h.p == WSP_QUOTED_STRING) ++h.p;
            char *id = GetQuoteTextString(h, nullptr);
            if (!id) return h.truncated ? Step::Stop : Step::NoMemory;
            strip_angle_brackets(id);
            qx::free_ptr(e->Content_Id);
            e->Content_Id = id;
        } else if (code >= 0x80) {
            ++h.p;  // Content-Disposition, Date, Content-Language, ...
            if (!SkipValue(h)) return Step::Stop;
        } else if (code == kShiftDelimiter) {  // a shift to another code page and its number
            h.p += h.left() >= 2 ? 2 : h.left();
        } else if (code > 0 && code < 0x20) {
            ++h.p;  // short-cut shift to another code page
        } else if (code >= 0x20) {
            // Application header: text name, then its text value.
            if (!SkipText(h) || !SkipValue(h)) return Step::Stop;
        } else {
            return Step::Stop;  // a zero byte starts no header
        }
    }
    return Step::Next;
}

// A part without Content-Location takes its name from its Name_Param; an
// unnamed text part gets an invented one. False when memory is short.
bool name_unnamed(tMMS_Element *e, const char *textFormat, int number) {
    if (e->File_Name) return true;
    if (e->Name_Param) {
        e->File_Name = fnQX_MEMSTRCOPY(e->Name_Param);
        return e->File_Name != nullptr;
    }
    if (!is_type(e->Content_Type, kTextPlain)) return true;
    e->File_Name = default_text_name(textFormat, number);
    e->Name_Param = default_text_name(textFormat, number);
    return e->File_Name && e->Name_Param;
}

struct DecodeState {
    mmresstruct *body;
    tMMS_Element *tail;
    int parts;
};

// One multipart entry at c.p; on return c.p is at the next entry. Data
// running past the body is clipped to the bytes present, and decoding
// stops after that entry; headers running past it stop decoding at once.
Step read_entry(WspCursor &c, DecodeState &st) {
    const uint32_t hl = GetUintvar(c);
    const uint32_t dl = GetUintvar(c);
    if (c.truncated || hl > static_cast<uint64_t>(c.left())) return Step::Stop;
    WspCursor h{c.p, c.p + hl, false};
    const uint8_t *data = h.end;
    const long avail = c.end - data;
    const bool clipped = dl > static_cast<uint64_t>(avail);
    const int len = clipped ? static_cast<int>(avail) : static_cast<int>(dl);
    c.p = data + len;
    const Step after = clipped ? Step::Stop : Step::Next;

    tMMS_ContentType *ct = read_content_type(h);
    if (!ct) return h.truncated ? after : Step::NoMemory;  // no value within the headers: skip the entry
    qx::ScopeGuard releaseCt([&] { FreeContentTypeValue(ct); });
    const WspCursor fields = h;  // the header fields after the content type

    if (is_type(ct->Content_Type, kSmilType)) {
        auto *s = qx::alloc_rec<smilstruct>();
        if (!s) return Step::NoMemory;
        s->Content_Type = ct->Content_Type;
        ct->Content_Type = nullptr;
        s->Data = const_cast<uint8_t *>(data);
        s->Data_Len = len;
        free_smil(st.body->Smil);
        st.body->Smil = s;
        if (DecodePartTransferEncoding(fields, &s->Data, &s->Data_Len, &s->Decoded_Data) == Got::NoMemory)
            return Step::NoMemory;
        return after;
    }

    tMMS_Element *e = element_from(ct);
    if (!e) return Step::NoMemory;
    qx::ScopeGuard releaseE([&] { free_element(e); });
    // A part of no bytes is a part too (an empty text, an empty file): its
    // Data points where its bytes would be, with a length of 0.
    e->Data_Len = len;
    e->Data = const_cast<uint8_t *>(data);

    if (read_part_headers(h, e) == Step::NoMemory) return Step::NoMemory;
    if (DecodePartMime(fields, e) == Got::NoMemory) return Step::NoMemory;
    if (!name_unnamed(e, "MMS_Text00%d.txt", st.parts)) return Step::NoMemory;

    // A part whose data decodes to nothing stays in the list as an empty part.
    releaseE.dismiss();
    if (st.tail)
        st.tail->next = e;
    else
        st.body->Parts = e;
    st.tail = e;
    ++st.parts;
    return after;
}

// The body after its leading Content-Type code; null only when memory ran out.
mmresstruct *decode_body(const uint8_t *data, int len) {
    auto *body = qx::alloc_rec<mmresstruct>();
    if (!body) return nullptr;
    qx::ScopeGuard releaseBody([&] { fnMMS_FreeDecodedBody(body); });

    WspCursor c = wsp_cursor(data + 1, len - 1);
    tMMS_ContentType *ct = read_content_type(c);
    if (!ct && !c.truncated) return nullptr;
    qx::ScopeGuard releaseCt([&] { FreeContentTypeValue(ct); });
    if (!ct || c.p >= c.end) {
        // No content type, or nothing after it: a message without content.
        QX_LOG("mzk:this mms is empty mms");
        releaseBody.dismiss();
        return body;
    }

    if (!IsMultipartContentType(ct->Content_Type)) {
        // The whole message is one part (a relay's "message not found"
        // text, a lone image): everything after the value is its data.
        tMMS_Element *e = element_from(ct);
        if (!e) return nullptr;
        body->Parts = e;
        body->Single_Part = 1;
        e->Data_Len = static_cast<int>(c.left());
        e->Data = const_cast<uint8_t *>(c.p);
        if (DecodeEncodedWords(&e->File_Name) == Got::NoMemory ||
            DecodeEncodedWords(&e->Name_Param) == Got::NoMemory ||
            !name_unnamed(e, "MMS_Text0000.txt", 0))
            return nullptr;
        releaseBody.dismiss();
        return body;
    }

    // Multipart: the value's own texts are not kept.
    uint32_t count = GetUintvar(c);
    DecodeState st{body, nullptr, 0};
    while (!c.truncated && c.p < c.end && count > 0) {
        --count;
        const Step r = read_entry(c, st);
        if (r == Step::NoMemory) return nullptr;
        if (r == Step::Stop) break;
    }
    releaseBody.dismiss();
    return body;
}

}  // namespace

namespace {
constexpr int kEmptyBody = 3;  // Content-Type field, multipart/mixed, no entries
}  // namespace

int64_t MMS_EncodedBodySize(const mmresstruct *body) {
    if (!body || !body->Parts) return kEmptyBody;
    int64_t entries = 0;
    return body_size(body, &entries);
}

int64_t MMS_WriteBody(qx::Writer &w, const mmresstruct *body) {
    const size_t start = w.written();
    if (!body || !body->Parts) {
        w.byte(MMS_CONTENT_TYPE_FIELD);
        w.byte(WSP_TYPE_MULTIPART_MIXED);
        SetUintvar(w, 0);  // no entries
        return w.ok() ? static_cast<int64_t>(w.written() - start) : -1;
    }
    int64_t entries = 0;
    const int64_t total = body_size(body, &entries);
    if (total < 0) return -1;
    w.byte(MMS_CONTENT_TYPE_FIELD);
    if (const smilstruct *s = body->Smil) {
        SetLengthValue(w, static_cast<uint32_t>(related_value_size(s)));
        w.byte(WSP_TYPE_MULTIPART_RELATED);
        w.byte(WSP_PARAM_RELATED_TYPE);
        put_type(w, s->Content_Type);
        w.byte(WSP_PARAM_START);
        SetTextString(w, kStartId);
    } else {
        w.byte(WSP_TYPE_MULTIPART_MIXED);
    }
    SetUintvar(w, static_cast<uint32_t>(entries));
    if (body->Smil) write_smil_entry(w, body->Smil);
    for (const tMMS_Element *e = body->Parts; e; e = e->next) write_part_entry(w, e);
    const int64_t written = static_cast<int64_t>(w.written() - start);
    if (!w.ok() || written > total) {
        QX_LOG("mzk:body larger than its computed size");
        return -1;
    }
    return written;
}

uint8_t *fnMMS_EncodeBody(const mmresstruct *body, int *len) {
    if (!len) return nullptr;
    *len = 0;
    const int64_t total = MMS_EncodedBodySize(body);
    if (total < 0) return nullptr;
    // Every byte is written: the block needs no zero fill.
    auto *buf = static_cast<uint8_t *>(qx::alloc_uninit(static_cast<int>(total)));
    if (!buf) return nullptr;
    qx::Writer w = qx::Writer::over(buf, static_cast<size_t>(total));
    const int64_t written = MMS_WriteBody(w, body);
    if (written < 0) {
        qx::free_ptr(buf);
        return nullptr;
    }
    *len = static_cast<int>(written);
    return buf;
}

mmresstruct *fnMMS_DecodeBody(const uint8_t *data, int len, MmsDecodeFault *fault) {
    MmsDecodeFault why = MmsDecodeFault::None;
    mmresstruct *body = nullptr;
    if (!data || len <= 0 || data[0] != MMS_CONTENT_TYPE_FIELD)
        why = MmsDecodeFault::NoInput;
    else if (!(body = decode_body(data, len)))
        why = MmsDecodeFault::NoMemory;
    if (fault) *fault = why;
    return body;
}

MmsBodyCheck MMS_CheckBodyExtent(const uint8_t *body, int len) {
    MmsBodyCheck r{MmsBodyExtent::NoBody, 0, 0};
    if (!body || len <= 0 || body[0] != MMS_CONTENT_TYPE_FIELD) return r;
    WspCursor c = wsp_cursor(body + 1, len - 1);
    WspCursor typeAt = c;
    tMMS_ContentType *ct = GetContentTypeValue(typeAt, nullptr);
    // A type that does not decode is walked as multipart: whole only when
    // its entries are.
    const bool multipart = !ct || IsMultipartContentType(ct->Content_Type);
    FreeContentTypeValue(ct);
    if (c.left() == 0 || !SkipValue(c) || c.truncated) {
        r.extent = MmsBodyExtent::CutInContentType;
        return r;
    }
    r.extent = MmsBodyExtent::Whole;
    if (!multipart) return r;  // one part: all its bytes are data
    const uint32_t n = GetUintvar(c);
    if (c.truncated) {
        r.extent = MmsBodyExtent::CutBeforeEntries;
        return r;
    }
    r.parts = n;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t headers = GetUintvar(c);
        const uint32_t data = c.truncated ? 0 : GetUintvar(c);
        WspCursor region;
        if (c.truncated || !TakeRegion(c, headers, &region) || !TakeRegion(c, data, &region)) {
            r.extent = MmsBodyExtent::CutInEntry;
            r.part = i + 1;
            return r;
        }
    }
    return r;
}

void fnMMS_FreeComposedBody(mmresstruct *body) {
    if (!body) return;
    if (smilstruct *s = body->Smil) {
        qx::free_ptr(s->Content_Type);
        qx::free_ptr(s->Data);
        qx::free_ptr(s);
    }
    tMMS_Element *e = body->Parts;
    while (e) {
        tMMS_Element *next = e->next;
        if (is_composed_text(e->Content_Type)) qx::free_ptr(e->Data);
        free_element(e);
        e = next;
    }
    qx::free_ptr(body);
}

void fnMMS_FreeDecodedBody(mmresstruct *body) {
    if (!body) return;
    free_smil(body->Smil);
    tMMS_Element *e = body->Parts;
    while (e) {
        tMMS_Element *next = e->next;
        free_element(e);
        e = next;
    }
    qx::free_ptr(body);
}
