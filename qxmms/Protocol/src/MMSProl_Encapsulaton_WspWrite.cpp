// WSP primitive writers: texts, uintvars, Value-lengths, integers,
// Encoded-string-values and address lists, all through a bounded writer.
#include <climits>
#include <cstring>

#include "MMSProl_Encapsulaton.h"
#include "qx_internal.h"

namespace {

bool has_at(const char *s) { return std::strchr(s, '@') != nullptr; }

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

void SetQuoteTextString(qx::Writer &w, const char *text) {
    if (text && static_cast<uint8_t>(text[0]) >= 0x80) w.byte(MMS_QUOTE);
    SetTextString(w, text);
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

int GetIntegerOctets(int32_t value) {
    if (value <= 0) return 0;
    const auto v = static_cast<uint32_t>(value);
    if (v <= 0xFFu) return 1;
    if (v <= 0xFFFFu) return 2;
    if (v <= 0xFFFFFFu) return 3;
    return 4;
}

void SetInteger(qx::Writer &w, int32_t value) {
    const int n = GetIntegerOctets(value);
    const auto v = static_cast<uint32_t>(value);
    for (int i = n - 1; i >= 0; --i) w.byte(static_cast<uint8_t>(v >> (8 * i)));
}

void SetLongInteger(qx::Writer &w, int32_t value) {
    w.byte(static_cast<uint8_t>(GetIntegerOctets(value)));
    SetInteger(w, value);
}

void SetEncodedStringValue(qx::Writer &w, const char *text) {
    if (!text) {
        w.byte(0);
        return;
    }
    // Value-length covers the charset byte, the optional quote, the text
    // and its zero byte.
    uint32_t l = static_cast<uint32_t>(std::strlen(text)) + 2;
    if (static_cast<uint8_t>(text[0]) >= 0x80) ++l;
    SetLengthValue(w, l);
    w.byte(0x80 | MMS_CHARSET_UTF8);
    SetQuoteTextString(w, text);
}

int SetAddressValue(qx::Writer &w, const char *address) {
    if (!address) return 0;
    if (static_cast<uint8_t>(address[0]) >= 0x80) w.byte(MMS_QUOTE);
    w.str(address);
    int suffixed = 0;
    if (!has_at(address)) {
        w.bytes(MMS_PLMN_SUFFIX, MMS_PLMN_SUFFIX_LEN);
        suffixed = 1;
    }
    w.byte(0);
    return suffixed;
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
    char addr[MMS_MAX_ADDRESS_LEN + 1];
    const char *cursor = list;
    while (GetNextAddress(&cursor, addr)) {
        w.byte(code);
        SetAddressValue(w, addr);
    }
}

int AddressListSizeBound(const char *list) {
    if (!list) return 0;
    // Each written address takes at most its characters plus the field
    // code, a quote byte and "/TYPE=PLMN" with its zero byte; and never more
    // than MMS_MAX_ADDRESS_LEN characters.
    constexpr long long kPerEntry = 1 + 1 + MMS_PLMN_SUFFIX_LEN + 1;
    long long chars = 0;
    long long entries = 1;
    for (const char *s = list; *s; ++s) {
        ++chars;
        if (*s == ';') ++entries;
    }
    long long bound = chars + entries * kPerEntry;
    const long long cap = entries * (kPerEntry + MMS_MAX_ADDRESS_LEN);
    if (cap < bound) bound = cap;
    return bound > INT_MAX ? INT_MAX : static_cast<int>(bound);
}
