// Field handlers shared by the PDU decoders: bounded reading of texts, values,
// integers, addresses and address lists, and the body copy.
#include "MMSProl_Encapsulaton_Decode.h"

#include <climits>
#include <cstring>

namespace mmsdec {

bool take_byte(WspCursor &c, uint8_t *v) {
    if (c.left() < 1) {
        c.cut();
        return false;
    }
    *v = *c.p++;
    return true;
}

Step byte_into(WspCursor &c, unsigned char *field) {
    uint8_t v = 0;
    if (!take_byte(c, &v)) return Step::Stop;
    *field = v;
    return Step::Next;
}

Step skip_byte(WspCursor &c) {
    uint8_t v = 0;
    return take_byte(c, &v) ? Step::Next : Step::Stop;
}

Step skip_value(WspCursor &c) { return SkipValue(c) ? Step::Next : Step::Stop; }

Step token_into(WspCursor &c, unsigned char *field) {
    if (c.left() >= 1 && *c.p < 0x80) return skip_value(c);
    return byte_into(c, field);
}

Step yes_no(WspCursor &c, int *flag) {
    uint8_t v = 0;
    if (!take_byte(c, &v)) return Step::Stop;
    if (v == MMS_YES) *flag = 1;
    if (v == MMS_NO) *flag = 0;
    return Step::Next;
}

Step yes_no_token(WspCursor &c, int *flag) {
    if (c.left() >= 1 && *c.p < 0x80) return skip_value(c);
    return yes_no(c, flag);
}

Step message_class(WspCursor &c, unsigned char *field) {
    if (c.left() >= 1 && *c.p < 0x80) {
        if (!SkipText(c)) return Step::Stop;
        *field = 0x80;
        return Step::Next;
    }
    return byte_into(c, field);
}

namespace {

// Reads the value of `ext` bytes at the cursor with a reader that sees
// exactly those bytes, and steps over them whatever the reader does.
template <typename Reader>
Got read_bounded(WspCursor &c, long ext, char **field, Reader reader) {
    if (ext == 0) {
        c.cut();
        return Got::Incomplete;
    }
    WspCursor value{c.p, c.p + ext, false};
    c.p += ext;
    char *text = nullptr;
    const Got g = reader(value, &text);
    if (g != Got::Value) return g;
    qx::free_ptr(*field);
    *field = text;
    return Got::Value;
}

}  // namespace

Got read_text_field(WspCursor &c, TextReader reader, char **field) {
    // The reader finds the text's zero byte itself (one scan of the bytes)
    // and steps over it; without one it cuts the cursor, for want of memory
    // it leaves the cursor where it was and the value is stepped over here.
    int n = 0;
    char *text = reader(c, &n);
    if (!text) {
        if (c.p >= c.end && c.truncated) return Got::Incomplete;
        SkipText(c);
        return Got::NoMemory;
    }
    qx::free_ptr(*field);
    *field = text;
    return Got::Value;
}

Got read_encoded_text(WspCursor &c, char **field) {
    return read_bounded(c, EncodedStringValueSize(c), field,
                        [](WspCursor &v, char **text) { return ReadEncodedStringValue(v, text, nullptr); });
}

Step subject_field(WspCursor &c, char **field) {
    const Got g = read_encoded_text(c, field);
    if (g == Got::Value && DecodeEncodedWords(field) == Got::NoMemory) return Step::NoMemory;
    return step_after(g);
}

Step skip_field(WspCursor &c, uint8_t code) {
    if (code < 0x80) {
        --c.p;
        return SkipText(c) ? Step::Next : Step::Stop;
    }
    return SkipValue(c) ? Step::Next : Step::Stop;
}

Step integer_into(WspCursor &c, int *field) {
    uint32_t v = 0;
    const Got g = GetIntegerValue(c, &v);
    if (g == Got::Value) *field = static_cast<int>(v);
    return step_after(g);
}

Step date_into(WspCursor &c, uint32_t *field) {
    if (c.left() >= 1 && *c.p <= 30) {
        WspCursor after = c;
        WspCursor digits{};
        if (GetLengthRegion(after, &digits) == Got::Value) {
            const uint8_t *p = digits.p;
            while (p < digits.end && *p == 0) ++p;
            if (digits.end - p > 4) {
                c = after;
                return Step::Next;
            }
        }
    }
    uint32_t v = 0;
    const Got g = GetIntegerValue(c, &v);
    if (g == Got::Value) *field = v;
    return step_after(g);
}

TimeValue read_time(WspCursor &c) {
    TimeValue t{Got::None, false, 0, 0};
    WspCursor value{};
    const Got length = GetLengthRegion(c, &value);
    if (length == Got::Incomplete || (length == Got::None && !SkipValue(c))) t.got = Got::Incomplete;
    if (length != Got::Value) return t;
    if (value.left() < 1) return t;
    t.hasToken = true;
    t.token = *value.p++;
    if (GetIntegerValue(value, &t.seconds) == Got::Value) t.got = Got::Value;
    return t;
}

namespace {

// Address rule on a decoded text, in place: unless it holds "@", everything
// from its first "/" (the "/TYPE=..." suffix) is dropped.
void drop_address_type(char *t) {
    if (std::strchr(t, '@')) return;
    if (char *slash = std::strchr(t, '/')) *slash = 0;
}

}  // namespace

Got read_address(WspCursor &c, char **out) {
    *out = nullptr;
    if (c.left() > 0 && *c.p >= 1 && *c.p <= 31) {
        // Encoded-string-value: Value-length, charset, then the text, which
        // is converted to UTF-8 like any other encoded text.
        const long size = EncodedStringValueSize(c);
        if (size == 0) {
            c.cut();
            return Got::Incomplete;
        }
        WspCursor value{c.p, c.p + size, false};
        c.p += size;
        char *text = nullptr;
        const Got got = ReadEncodedStringValue(value, &text, nullptr);
        if (got != Got::Value) return got == Got::NoMemory ? Got::NoMemory : Got::None;  // None: no converter
        drop_address_type(text);
        *out = text;
        return Got::Value;
    }
    const long ext = TextExtent(c);
    if (ext == 0) {
        c.cut();
        return Got::Incomplete;
    }
    WspCursor text{c.p, c.p + ext, false};
    c.p += ext;
    int n = 0;
    *out = GetAddressValue(text, &n);
    return *out ? Got::Value : Got::NoMemory;
}

FromValue read_from(WspCursor &c) {
    FromValue f{Got::None, 0, 0, nullptr};
    WspCursor value{};
    const Got r = GetLengthRegion(c, &value);
    if (r == Got::Incomplete) {
        f.got = Got::Incomplete;
        return f;
    }
    if (r == Got::None) {
        // No Value-length: the token and the address follow directly.
        if (!take_byte(c, &f.token)) {
            f.got = Got::Incomplete;
            return f;
        }
        if (f.token == MMS_ADDRESS_PRESENT_TOKEN) f.got = read_address(c, &f.address);
        return f;
    }
    f.length = static_cast<uint32_t>(value.left());
    if (value.left() < 1) return f;
    f.token = *value.p++;
    if (f.token == MMS_ADDRESS_PRESENT_TOKEN) {
        f.got = read_address(value, &f.address);
        // An address that does not end inside its own value is malformed; the
        // field is dropped and decoding goes on after the value.
        if (f.got == Got::Incomplete) f.got = Got::None;
    }
    return f;
}

Step from_field(WspCursor &c, char **field) {
    const FromValue from = read_from(c);
    if (from.got == Got::Value) {
        qx::free_ptr(*field);
        *field = from.address;
    }
    return step_after(from.got);
}

bool append_address(ListText &list, char *address) {
    const size_t add = std::strlen(address);
    if (!*list.field) {
        *list.field = address;
        list.len = add;
        list.cap = add + 1;
        return true;
    }
    const size_t need = list.len + 1 + add + 1;
    if (need > static_cast<size_t>(INT_MAX)) {
        qx::free_ptr(address);
        return false;
    }
    if (need > list.cap) {
        size_t cap = list.cap * 2;
        if (cap < need) cap = need;
        if (cap > static_cast<size_t>(INT_MAX)) cap = need;
        void *grown = fnQX_Realloc(*list.field, static_cast<int>(cap));
        if (!grown) {
            qx::free_ptr(address);
            return false;
        }
        *list.field = static_cast<char *>(grown);
        list.cap = cap;
    }
    char *text = *list.field;
    text[list.len] = ';';
    std::memcpy(text + list.len + 1, address, add);
    list.len += 1 + add;
    text[list.len] = '\0';
    qx::free_ptr(address);
    return true;
}

Step list_field(WspCursor &c, ListText &list) {
    char *address = nullptr;
    switch (read_address(c, &address)) {
        case Got::Incomplete:
            return Step::Stop;
        case Got::NoMemory:
            return Step::NoMemory;
        case Got::None:
            return Step::Next;
        case Got::Value:
            break;
    }
    if (address[0] == '\0') {
        qx::free_ptr(address);
        return Step::Next;
    }
    return append_address(list, address) ? Step::Next : Step::NoMemory;
}

Step body_field(WspCursor &c, unsigned char **body, int *len) {
    --c.p;
    const long n = c.left();
    // Overwritten in full at once: no need to zero-fill what can be 300 KB.
    auto *copy = static_cast<unsigned char *>(qx::alloc_uninit(static_cast<int>(n)));
    if (!copy) return Step::NoMemory;
    std::memcpy(copy, c.p, static_cast<size_t>(n));
    c.p = c.end;
    qx::free_ptr(*body);
    *body = copy;
    *len = static_cast<int>(n);
    return Step::Stop;
}

Step body_in_place(WspCursor &c, unsigned char **body, int *len) {
    --c.p;
    *body = const_cast<unsigned char *>(c.p);
    *len = static_cast<int>(c.left());
    c.p = c.end;
    return Step::Stop;
}

bool empty_text_at(const WspCursor &c) {
    if (c.left() >= 1 && c.p[0] == 0) return true;
    return c.left() >= 2 && c.p[0] == MMS_QUOTE && c.p[1] == 0;
}

}  // namespace mmsdec
