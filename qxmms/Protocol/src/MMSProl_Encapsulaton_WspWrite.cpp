// WSP primitive writers: texts, uintvars, Value-lengths, integers,
// Encoded-string-values and address lists, all through a bounded writer.
#include <glib.h>

#include <climits>
#include <cstring>

#include "MMSProl_Encapsulaton.h"
#include "qx_internal.h"

namespace {

bool has_at(const char *s, size_t n) { return std::memchr(s, '@', n) != nullptr; }

// Whether an address already carries its "/TYPE=" suffix (any type, any case).
bool has_type(const char *s, size_t n) {
    static constexpr char kType[] = "/type=";
    constexpr size_t kTypeLen = sizeof(kType) - 1;
    for (size_t i = 0; i + kTypeLen <= n; ++i) {
        size_t k = 0;
        while (k < kTypeLen && g_ascii_tolower(s[i + k]) == kType[k]) ++k;
        if (k == kTypeLen) return true;
    }
    return false;
}

// Writes an address of n bytes: its form (see SetAddressPrefix), the bytes
// (without spaces for a phone number), and "/TYPE=PLMN" for a phone number
// that has no type yet. Returns 1 when the suffix was added.
int put_address(qx::Writer &w, const char *address, size_t n) {
    const bool phone = !has_at(address, n);
    const bool suffix = phone && !has_type(address, n);
    const char *first = address;
    size_t kept = n;
    if (phone) {
        while (first < address + n && *first == ' ') ++first;
        for (const char *q = address; q < address + n; ++q)
            if (*q == ' ') --kept;
    }
    const uint8_t lead = first < address + n ? static_cast<uint8_t>(*first) : (suffix ? '/' : 0);
    SetAddressPrefix(w, lead, static_cast<uint32_t>(kept + (suffix ? MMS_PLMN_SUFFIX_LEN : 0)));
    if (phone) {
        for (const char *q = address; q < address + n; ++q)
            if (*q != ' ') w.byte(static_cast<uint8_t>(*q));
    } else {
        w.bytes(address, n);
    }
    if (suffix) w.bytes(MMS_PLMN_SUFFIX, MMS_PLMN_SUFFIX_LEN);
    w.byte(0);
    return suffix ? 1 : 0;
}

// The next entry of a ";"-separated list, its surrounding spaces left out;
// entries that are empty or only spaces are passed over. False at the end.
bool next_entry(const char **cursor, const char **begin, size_t *n) {
    const char *s = *cursor;
    while (*s) {
        const char *end = s;
        while (*end && *end != ';') ++end;
        const char *b = s;
        const char *e = end;
        while (b < e && *b == ' ') ++b;
        while (e > b && e[-1] == ' ') --e;
        s = *end ? end + 1 : end;
        if (e > b) {
            *cursor = s;
            *begin = b;
            *n = static_cast<size_t>(e - b);
            return true;
        }
    }
    *cursor = s;
    return false;
}

// The bytes of a uintvar, most significant first, at the end of tmp; returns
// the index of the first one.
int uintvar_bytes(uint32_t value, uint8_t (&tmp)[5]) {
    int i = 4;
    tmp[i] = static_cast<uint8_t>(value & 0x7F);
    value >>= 7;
    while (value > 0 && i > 0) {
        tmp[--i] = static_cast<uint8_t>(0x80 | (value & 0x7F));
        value >>= 7;
    }
    return i;
}

}  // namespace

void SetTextString(qx::Writer &w, const char *text) {
    w.str(text);
    w.byte(0);
}

bool TextNeedsQuote(const char *text) { return text && static_cast<uint8_t>(text[0]) >= MMS_QUOTE; }

void SetQuoteTextString(qx::Writer &w, const char *text) {
    // Readers drop a leading 0x7F as the quote: a text that begins with
    // 0x7F itself gets one too, or it would lose that byte.
    if (TextNeedsQuote(text)) w.byte(MMS_QUOTE);
    SetTextString(w, text);
}

int AddressPrefixSize(uint8_t first, uint32_t n) {
    if (first != 0 && first < 0x20) return LengthValueSize(n + 2) + 1;
    return first >= MMS_QUOTE ? 1 : 0;
}

void SetAddressPrefix(qx::Writer &w, uint8_t first, uint32_t n) {
    if (first != 0 && first < 0x20) {
        // A reader takes a first byte below 0x20 for a Value-length: such an
        // address goes as an Encoded-string-value (charset, text, zero).
        SetLengthValue(w, n + 2);
        w.byte(0x80 | MMS_CHARSET_UTF8);
    } else if (first >= MMS_QUOTE) {
        w.byte(MMS_QUOTE);
    }
}

int UintvarSize(uint32_t value) {
    uint8_t tmp[5];
    return 5 - uintvar_bytes(value, tmp);
}

int SetUintvar(qx::Writer &w, uint32_t value) {
    uint8_t tmp[5];
    const int i = uintvar_bytes(value, tmp);
    w.bytes(tmp + i, static_cast<size_t>(5 - i));
    return 5 - i;
}

int LengthValueSize(uint32_t length) { return length < 31 ? 1 : 1 + UintvarSize(length); }

int SetLengthValue(qx::Writer &w, uint32_t length) {
    if (length < 31) {
        w.byte(static_cast<uint8_t>(length));
        return 1;
    }
    w.byte(31);
    return 1 + SetUintvar(w, length);
}

int GetIntegerOctets(uint32_t v) {
    if (v == 0) return 0;
    if (v <= 0xFFu) return 1;
    if (v <= 0xFFFFu) return 2;
    if (v <= 0xFFFFFFu) return 3;
    return 4;
}

void SetInteger(qx::Writer &w, uint32_t v) {
    const int n = GetIntegerOctets(v);
    for (int i = n - 1; i >= 0; --i) w.byte(static_cast<uint8_t>(v >> (8 * i)));
}

void SetLongInteger(qx::Writer &w, uint32_t value) {
    w.byte(static_cast<uint8_t>(GetIntegerOctets(value)));
    SetInteger(w, value);
}

void SetEncodedStringValue(qx::Writer &w, const char *text) {
    // No text, or an empty one: an empty Text-string (the charset form of
    // an empty text reads back as no text at all).
    if (!text || !text[0]) {
        w.byte(0);
        return;
    }
    // Value-length covers the charset byte, the optional quote, the text
    // and its zero byte. The charset form is kept for every text: a first
    // byte below 0x20 then cannot be taken for a length.
    uint32_t l = static_cast<uint32_t>(std::strlen(text)) + 2;
    if (TextNeedsQuote(text)) ++l;
    SetLengthValue(w, l);
    w.byte(0x80 | MMS_CHARSET_UTF8);
    SetQuoteTextString(w, text);
}

char *AddressWithType(const char *address) {
    if (!address) return nullptr;
    const size_t n = std::strlen(address);
    const bool suffix = !has_at(address, n) && !has_type(address, n);
    const size_t total = n + (suffix ? MMS_PLMN_SUFFIX_LEN : 0);
    if (total >= static_cast<size_t>(INT_MAX)) return nullptr;
    char *a = static_cast<char *>(qx::alloc_uninit(static_cast<int>(total + 1)));
    if (!a) return nullptr;
    std::memcpy(a, address, n);
    if (suffix) std::memcpy(a + n, MMS_PLMN_SUFFIX, MMS_PLMN_SUFFIX_LEN);
    a[total] = 0;
    return a;
}

int SetAddressValue(qx::Writer &w, const char *address) {
    if (!address) return 0;
    return put_address(w, address, std::strlen(address));
}

int GetNextAddress(const char **list, char *buf) {
    buf[0] = 0;
    if (!list || !*list) return 0;
    const char *s = *list;
    // An entry with more than MMS_MAX_ADDRESS_LEN characters (spaces not
    // counted) cannot be represented: it is passed over whole and the next
    // entry is taken, rather than sending to a cut-off address.
    for (;;) {
        int n = 0;
        bool tooLong = false;
        while (*s && *s != ';') {
            if (*s != ' ') {
                if (n < MMS_MAX_ADDRESS_LEN)
                    buf[n++] = *s;
                else
                    tooLong = true;
            }
            ++s;
        }
        if (*s == ';') ++s;
        if (tooLong) {
            n = 0;
            if (*s) continue;
        }
        buf[n] = 0;
        *list = s;
        return n > 0 ? 1 : 0;
    }
}

void SetAddressList(qx::Writer &w, const char *list, uint8_t code) {
    // Every address of the list is written whole, however long; empty
    // entries are passed over and the list goes on after them.
    const char *cursor = list;
    const char *begin = nullptr;
    size_t n = 0;
    while (list && next_entry(&cursor, &begin, &n)) {
        w.byte(code);
        put_address(w, begin, n);
    }
}

int AddressListSizeBound(const char *list) {
    if (!list) return 0;
    // Each written address takes at most its characters plus the field
    // code, its form (a quote, or a Value-length of up to six bytes and the
    // charset) and "/TYPE=PLMN" with its zero byte.
    constexpr long long kPerEntry = 1 + 6 + 1 + MMS_PLMN_SUFFIX_LEN + 1;
    long long chars = 0;
    long long entries = 1;
    for (const char *s = list; *s; ++s) {
        ++chars;
        if (*s == ';') ++entries;
    }
    const long long bound = chars + entries * kPerEntry;
    return bound > INT_MAX ? INT_MAX : static_cast<int>(bound);
}
