// Field handlers shared by the PDU decoders: bounded reading of texts, values,
// integers, addresses and address lists, and the body copy.
#include "MMSProl_Encapsulaton_Decode.h"

#include <climits>
#include <cstring>

namespace mmsdec {

bool take_byte(WspCursor &c, uint8_t *v) {
    if (c.left() < 1) {
        cut(c);
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

Step message_class(WspCursor &c, unsigned char *field) {
    if (c.left() >= 1 && *c.p < 0x80) {
        if (!skip_text(c)) return Step::Stop;
        *field = 0x80;
        return Step::Next;
    }
    return byte_into(c, field);
}

long text_extent(const WspCursor &c) {
    if (c.left() <= 0) return 0;
    const void *zero = std::memchr(c.p, 0, static_cast<size_t>(c.left()));
    return zero ? static_cast<long>(static_cast<const uint8_t *>(zero) - c.p) + 1 : 0;
}

bool skip_text(WspCursor &c) {
    const long ext = text_extent(c);
    if (ext == 0) {
        cut(c);
        return false;
    }
    c.p += ext;
    return true;
}

namespace {

// Reads the value of `ext` bytes at the cursor with a WSP text reader that
// sees exactly those bytes, and steps over them whatever the reader does.
Got read_value(WspCursor &c, long ext, TextReader reader, char **field, long *extent) {
    if (ext == 0) {
        cut(c);
        return Got::Incomplete;
    }
    WspCursor value{c.p, c.p + ext, false};
    c.p += ext;
    if (extent) *extent = ext;
    int n = 0;
    char *text = reader(value, &n);
    if (!text) return Got::None;
    qx::free_ptr(*field);
    *field = text;
    return Got::Value;
}

}  // namespace

Got read_text(WspCursor &c, TextReader reader, char **field, long *extent) {
    return read_value(c, text_extent(c), reader, field, extent);
}

Got read_encoded_text(WspCursor &c, char **field) {
    return read_value(c, EncodedStringValueSize(c), GetEncodedStringValue, field, nullptr);
}

int read_value_length(WspCursor &c, uint32_t *len) {
    if (c.left() < 1) {
        cut(c);
        return -1;
    }
    const uint8_t b = *c.p;
    if (b <= 30) {
        ++c.p;
        *len = b;
        return 1;
    }
    if (b != 31) return 0;
    ++c.p;
    const uint32_t v = GetUintvar(c);
    if (c.truncated) return -1;
    *len = v;
    return 1;
}

bool take_region(WspCursor &c, uint32_t len, WspCursor *region) {
    if (c.left() < 0 || static_cast<unsigned long>(len) > static_cast<unsigned long>(c.left())) {
        cut(c);
        return false;
    }
    *region = WspCursor{c.p, c.p + len, false};
    c.p += len;
    return true;
}

bool skip_wsp_value(WspCursor &c) {
    if (c.left() < 1) {
        cut(c);
        return false;
    }
    const uint8_t b = *c.p;
    if (b >= 0x80) {
        ++c.p;
        return true;
    }
    if (b <= 31) {
        uint32_t len = 0;
        if (read_value_length(c, &len) < 0) return false;
        WspCursor value{};
        return take_region(c, len, &value);
    }
    return skip_text(c);
}

Step skip_field(WspCursor &c, uint8_t code) {
    if (code < 0x80) {
        --c.p;
        return skip_text(c) ? Step::Next : Step::Stop;
    }
    return skip_wsp_value(c) ? Step::Next : Step::Stop;
}

int read_integer(WspCursor &c, uint32_t *v) {
    if (c.left() < 1) {
        cut(c);
        return -1;
    }
    const uint8_t b = *c.p;
    if (b >= 0x80) {
        *v = b & 0x7F;
        ++c.p;
        return 1;
    }
    if (b <= 30) {
        WspCursor value{};
        if (!take_region(c, 1u + b, &value)) return -1;
        *v = GetLongInteger(value);
        return 1;
    }
    return skip_wsp_value(c) ? 0 : -1;
}

Step integer_into(WspCursor &c, int *field) {
    uint32_t v = 0;
    const int r = read_integer(c, &v);
    if (r < 0) return Step::Stop;
    if (r == 1) *field = static_cast<int>(v);
    return Step::Next;
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
            cut(c);
            return Got::Incomplete;
        }
        WspCursor value{c.p, c.p + size, false};
        c.p += size;
        int n = 0;
        char *text = GetEncodedStringValue(value, &n);
        if (!text) return Got::None;  // no converter for its charset
        drop_address_type(text);
        *out = text;
        return Got::Value;
    }
    const long ext = text_extent(c);
    if (ext == 0) {
        cut(c);
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
    uint32_t len = 0;
    const int r = read_value_length(c, &len);
    if (r < 0) {
        f.got = Got::Incomplete;
        return f;
    }
    if (r == 0) {
        // No Value-length: the token and the address follow directly.
        if (!take_byte(c, &f.token)) {
            f.got = Got::Incomplete;
            return f;
        }
        if (f.token == MMS_ADDRESS_PRESENT_TOKEN) f.got = read_address(c, &f.address);
        return f;
    }
    f.length = len;
    WspCursor value{};
    if (!take_region(c, len, &value)) {
        f.got = Got::Incomplete;
        return f;
    }
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
            return Step::Fail;
        case Got::None:
            return Step::Next;
        case Got::Value:
            break;
    }
    if (address[0] == '\0') {
        qx::free_ptr(address);
        return Step::Next;
    }
    return append_address(list, address) ? Step::Next : Step::Fail;
}

bool copy_rest(WspCursor &c, unsigned char **body, int *len) {
    const long n = c.left();
    // Overwritten in full at once: no need to zero-fill what can be 300 KB.
    auto *copy = static_cast<unsigned char *>(qx::alloc_uninit(static_cast<int>(n)));
    if (!copy) return false;
    std::memcpy(copy, c.p, static_cast<size_t>(n));
    c.p = c.end;
    qx::free_ptr(*body);
    *body = copy;
    *len = static_cast<int>(n);
    return true;
}

bool empty_text_at(const WspCursor &c) {
    if (c.left() >= 1 && c.p[0] == 0) return true;
    return c.left() >= 2 && c.p[0] == MMS_QUOTE && c.p[1] == 0;
}

}  // namespace mmsdec
