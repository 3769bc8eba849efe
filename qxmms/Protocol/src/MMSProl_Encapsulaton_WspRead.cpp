// WSP primitive readers: texts, Value-lengths, uintvars, integers,
// Encoded-string-values and addresses, and stepping over any value. Every
// reader stays inside [p, end) of its cursor; a value that does not end
// before `end` cuts the cursor and yields no value.
#include <climits>
#include <cstring>

#include "MMSProl_Encapsulaton.h"
#include "qx_internal.h"

namespace {

// Position of the next zero byte in [p, end), or null when there is none.
const uint8_t *find_zero(const WspCursor &c) {
    if (c.p >= c.end) return nullptr;
    return static_cast<const uint8_t *>(std::memchr(c.p, 0, static_cast<size_t>(c.end - c.p)));
}

// New zero-terminated copy of n bytes; texts are copied whole, their length
// is an int (cursors never span more than INT_MAX bytes).
char *copy_text(const uint8_t *p, long n) {
    if (n < 0 || n >= INT_MAX) return nullptr;
    // Every byte is written: no zero fill first.
    char *t = static_cast<char *>(qx::alloc_uninit(static_cast<int>(n + 1)));
    if (!t) return nullptr;
    if (n > 0) std::memcpy(t, p, static_cast<size_t>(n));
    t[n] = 0;
    return t;
}

// Shared body of GetTextString and GetQuoteTextString.
char *copy_text_string(WspCursor &c, int *len, bool dropQuote) {
    const uint8_t *zero = find_zero(c);
    if (!zero) {
        c.cut();
        return nullptr;
    }
    const long n = zero - c.p;
    const long skip = (dropQuote && n > 0 && c.p[0] == MMS_QUOTE) ? 1 : 0;
    char *t = copy_text(c.p + skip, n - skip);
    if (!t) return nullptr;  // cursor and length untouched
    if (len) *len = static_cast<int>(n);
    c.p = zero + 1;
    return t;
}

}  // namespace

long TextExtent(const WspCursor &c) {
    const uint8_t *zero = find_zero(c);
    return zero ? static_cast<long>(zero + 1 - c.p) : 0;
}

bool SkipText(WspCursor &c) {
    const long ext = TextExtent(c);
    if (ext == 0) {
        c.cut();
        return false;
    }
    c.p += ext;
    return true;
}

bool TakeRegion(WspCursor &c, uint32_t len, WspCursor *region) {
    if (c.left() < 0 || static_cast<unsigned long>(len) > static_cast<unsigned long>(c.left())) {
        c.cut();
        return false;
    }
    *region = WspCursor{c.p, c.p + len, false};
    c.p += len;
    return true;
}

char *GetTextString(WspCursor &c, int *len) { return copy_text_string(c, len, false); }

char *GetQuoteTextString(WspCursor &c, int *len) { return copy_text_string(c, len, true); }

uint32_t GetUintvar(WspCursor &c) {
    // At most five bytes are taken (35 bits, of which the low 32 are kept).
    // A value that has not ended by its fifth byte is refused like one that
    // runs past the end: nothing after it can be trusted.
    uint32_t v = 0;
    const uint8_t *q = c.p;
    for (int i = 0; i < 5; ++i) {
        if (q >= c.end) break;
        const uint8_t b = *q++;
        v = (v << 7) | (b & 0x7Fu);
        if (!(b & 0x80)) {
            c.p = q;
            return v;
        }
    }
    c.cut();
    return 0;
}

Got GetLengthValue(WspCursor &c, uint32_t *len) {
    if (c.left() < 1) {
        c.cut();
        return Got::Incomplete;
    }
    const uint8_t b = *c.p;
    if (b <= 30) {
        ++c.p;
        *len = b;
        return Got::Value;
    }
    if (b != 31) return Got::None;
    ++c.p;
    const uint32_t v = GetUintvar(c);
    if (c.truncated) return Got::Incomplete;
    *len = v;
    return Got::Value;
}

Got GetLengthRegion(WspCursor &c, WspCursor *region) {
    uint32_t len = 0;
    const Got r = GetLengthValue(c, &len);
    if (r != Got::Value) return r;
    return TakeRegion(c, len, region) ? Got::Value : Got::Incomplete;
}

bool SkipValue(WspCursor &c) {
    if (c.left() < 1) {
        c.cut();
        return false;
    }
    if (*c.p >= 0x80) {
        ++c.p;
        return true;
    }
    WspCursor value{};
    const Got length = GetLengthRegion(c, &value);
    if (length != Got::None) return length == Got::Value;
    return SkipText(c);
}

uint32_t MultiOctetInteger(const uint8_t *p, uint32_t n) {
    // Bytes beyond the fourth significant one shift out of the 32-bit
    // accumulator: the result is the value modulo 2^32, so leading zero
    // bytes are harmless and oversized values keep their low 32 bits.
    uint32_t v = 0;
    for (uint32_t i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

uint32_t GetLongInteger(const WspCursor &c, int *octets) {
    WspCursor t{c.p, c.end, false};
    WspCursor digits{};
    if (GetLengthRegion(t, &digits) != Got::Value) {
        // Step over what is there, never past the end (a byte that is no
        // length gives 0 and is stepped over alone).
        if (octets) *octets = t.truncated ? static_cast<int>(c.left()) : 0;
        return 0;
    }
    if (octets) *octets = static_cast<int>(t.p - c.p);
    return MultiOctetInteger(digits.p, static_cast<uint32_t>(digits.left()));
}

Got GetIntegerValue(WspCursor &c, uint32_t *v) {
    if (c.left() < 1) {
        c.cut();
        return Got::Incomplete;
    }
    const uint8_t b = *c.p;
    if (b >= 0x80) {
        *v = b & 0x7F;
        ++c.p;
        return Got::Value;
    }
    if (b <= 30) {
        WspCursor digits{};
        if (GetLengthRegion(c, &digits) != Got::Value) return Got::Incomplete;
        *v = MultiOctetInteger(digits.p, static_cast<uint32_t>(digits.left()));
        return Got::Value;
    }
    return SkipValue(c) ? Got::None : Got::Incomplete;
}

namespace {

// The charset of an Encoded-string-value: a short integer (0x81 and up) or a
// Long-integer (01 6A is UTF-8 too); the position after it, or null when
// there is none at p.
const uint8_t *read_charset(const uint8_t *p, const uint8_t *end, uint32_t *charset) {
    if (p >= end) return nullptr;
    if (*p > 0x80) {
        *charset = *p & 0x7Fu;
        return p + 1;
    }
    const uint8_t n = *p;
    if (n < 1 || n > 30 || end - p - 1 < n) return nullptr;
    uint32_t v = 0;
    for (uint8_t i = 1; i <= n; ++i) v = (v << 8) | p[i];
    *charset = v;
    return p + 1 + n;
}

// The text of an Encoded-string-value in its Value-length form: charset, an
// optional quote, then the text, all within [p, end), converted to UTF-8.
// A byte-oriented text ends at its zero byte; a text in a wide charset
// (UTF-16 and the like holds zero bytes) at the end of the value, its one
// terminating zero byte dropped. None for a charset without a converter
// (and for an empty text in any charset but US-ASCII, which converts to
// nothing).
Got charset_text(const uint8_t *p, const uint8_t *end, char **text) {
    *text = nullptr;
    uint32_t charset = 0;
    p = read_charset(p, end, &charset);
    if (!p || charset > static_cast<uint32_t>(INT_MAX)) return Got::None;
    const bool wide = IsWideCharset(static_cast<int>(charset));
    long n;
    if (wide) {
        n = end - p;
        // The quote stands only before a text that needs it; in a wide
        // charset its presence shows in the count (quote, units, zero).
        if (n >= 2 && n % 2 == 0 && *p == MMS_QUOTE) {
            ++p;
            --n;
        }
        if (n % 2 == 1 && p[n - 1] == 0) --n;
    } else {
        if (p < end && *p == MMS_QUOTE) ++p;
        const void *zero = std::memchr(p, 0, static_cast<size_t>(end - p));
        n = (zero ? static_cast<const uint8_t *>(zero) : end) - p;
    }
    if (charset == MMS_CHARSET_US_ASCII) {
        *text = copy_text(p, n);
        return *text ? Got::Value : Got::NoMemory;
    }
    if (n <= 0 || (wide && n < 2)) return Got::None;
    int rl = static_cast<int>(n);
    bool known = false;
    *text = ConvertCharsetToUtf8(static_cast<int>(charset), p, &rl, &known);
    if (!known) return Got::None;
    return *text ? Got::Value : Got::NoMemory;
}

}  // namespace

long EncodedStringValueSize(const WspCursor &c) {
    if (c.left() >= 1 && *c.p != 0 && *c.p <= 0x1F) {
        // Value-length, charset, text: the value ends where its length says,
        // not at the first zero byte (a length of 128 is written 1F 81 00).
        WspCursor v = c;
        WspCursor value{};
        if (GetLengthRegion(v, &value) != Got::Value) return 0;
        const uint8_t *end = value.end;
        // Some writers leave the text's zero byte out of the length: take it
        // along when the value holds none and one follows right after.
        if (!std::memchr(value.p, 0, static_cast<size_t>(value.left())) && end < c.end && *end == 0) ++end;
        return static_cast<long>(end - c.p);
    }
    return TextExtent(c);
}

Got ReadEncodedStringValue(WspCursor &c, char **text, int *len) {
    *text = nullptr;
    if (c.left() >= 1 && *c.p != 0 && *c.p <= 0x1F) {
        const long size = EncodedStringValueSize(c);
        if (size == 0) {
            c.cut();
            return Got::Incomplete;
        }
        WspCursor v = c;
        uint32_t ignored = 0;
        (void)GetLengthValue(v, &ignored);
        const uint8_t *end = c.p + size;
        // The count of a text string: every byte of the value but one, so that
        // callers stepping over "field code + count + 1" land after it.
        if (len) *len = static_cast<int>(size - 1);
        c.p = end;
        return charset_text(v.p, end, text);
    }
    const bool complete = TextExtent(c) > 0;
    int n = 0;
    char *raw = GetTextString(c, &n);
    if (!raw) return complete ? Got::NoMemory : Got::Incomplete;
    if (len) *len = n;
    if (n > 0 && static_cast<uint8_t>(raw[0]) == MMS_QUOTE)
        std::memmove(raw, raw + 1, static_cast<size_t>(n));  // zero byte included
    *text = raw;
    return Got::Value;
}

char *GetEncodedStringValue(WspCursor &c, int *len) {
    char *text = nullptr;
    (void)ReadEncodedStringValue(c, &text, len);
    return text;
}

char *GetAddressValue(WspCursor &c, int *len) {
    const uint8_t *zero = find_zero(c);
    if (!zero) {
        c.cut();
        return nullptr;
    }
    const uint8_t *s = c.p;
    if (s < zero && *s == MMS_QUOTE) ++s;
    long n = zero - s;
    // Without "@" the "/TYPE=..." suffix (anything from the first "/") goes.
    if (!std::memchr(s, '@', static_cast<size_t>(n))) {
        if (const void *slash = std::memchr(s, '/', static_cast<size_t>(n)))
            n = static_cast<const uint8_t *>(slash) - s;
    }
    char *t = copy_text(s, n);
    if (!t) return nullptr;
    if (len) *len = static_cast<int>(zero + 1 - c.p);
    c.p = zero + 1;
    return t;
}
