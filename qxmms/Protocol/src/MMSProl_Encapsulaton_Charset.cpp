// Character-set conversion: texts of a message in US-ASCII, UTF-8, Latin-1,
// UCS-2 or UTF-16 become new zero-terminated UTF-8 texts.
#include <cstring>
#include <span>

#include "MMSProl_Encapsulaton.h"
#include "qx_internal.h"

namespace {

constexpr uint32_t kReplacementChar = 0xFFFD;

// Buffer sizes are computed from the input length in 64 bits; anything that
// does not fit an allocation size is refused instead of wrapping around.
constexpr int64_t kMaxAlloc = INT32_MAX;

template <typename T>
T *alloc_buffer(int64_t count) {
    if (count <= 0 || count > kMaxAlloc / static_cast<int64_t>(sizeof(T))) return nullptr;
    return qx::alloc_rec<T>(static_cast<int>(count));
}

// Writes code points as UTF-8 through a bounded writer over the buffer less
// its last byte (kept for the terminator). The buffers below are sized for
// the worst case of their branch; a wrong bound shows as a failed
// conversion, never as an overrun.
struct Utf8Writer {
    qx::Writer w;

    Utf8Writer(uint8_t *out, int64_t cap) : w(qx::Writer::over(out, static_cast<size_t>(cap - 1))) {}

    void put(uint32_t cp) {
        uint8_t b[6];
        int n;
        if (cp < 0x80) {
            b[0] = static_cast<uint8_t>(cp);
            n = 1;
        } else if (cp < 0x800) {
            b[0] = static_cast<uint8_t>(0xC0 | (cp >> 6));
            n = 2;
        } else if (cp < 0x10000) {
            b[0] = static_cast<uint8_t>(0xE0 | (cp >> 12));
            n = 3;
        } else if (cp < 0x200000) {
            b[0] = static_cast<uint8_t>(0xF0 | (cp >> 18));
            n = 4;
        } else if (cp < 0x4000000) {
            b[0] = static_cast<uint8_t>(0xF8 | (cp >> 24));
            n = 5;
        } else {
            b[0] = static_cast<uint8_t>(0xFC | ((cp >> 30) & 1));
            n = 6;
        }
        // Continuation bytes carry six bits each, the lowest ones last.
        for (int i = n - 1; i >= 1; --i) {
            b[i] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
            cp >>= 6;
        }
        w.bytes(b, static_cast<size_t>(n));
    }
    bool overflow() const { return !w.ok(); }
};

// Hands the finished buffer out: the length is that of the text up to its
// first zero byte (a code point 0 ends the text).
char *hand_out_text(uint8_t *buf, int64_t cap, bool overflow, int *len) {
    if (overflow) {
        qx::free_ptr(buf);
        return nullptr;
    }
    const void *zero = std::memchr(buf, 0, static_cast<size_t>(cap));
    *len = static_cast<int>(zero ? static_cast<const uint8_t *>(zero) - buf : cap);
    return reinterpret_cast<char *>(buf);
}

// 106, 3 and any charset not handled below: the bytes as they are.
char *copy_bytes(std::span<const uint8_t> in, int *len) {
    const int64_t cap = static_cast<int64_t>(in.size()) + 1;
    auto *buf = alloc_buffer<uint8_t>(cap);
    if (!buf) return nullptr;
    std::memcpy(buf, in.data(), in.size());
    return hand_out_text(buf, cap, false, len);
}

// ISO-8859-1: every byte is the code point of the same value (1 or 2 bytes).
char *from_latin1(std::span<const uint8_t> in, int *len) {
    const int64_t cap = 2 * static_cast<int64_t>(in.size()) + 1;
    auto *buf = alloc_buffer<uint8_t>(cap);
    if (!buf) return nullptr;
    Utf8Writer w{buf, cap};
    for (uint8_t b : in) w.put(b);
    return hand_out_text(buf, cap, w.overflow(), len);
}

uint16_t read_unit(const uint8_t *p, bool bigEndian) {
    return bigEndian ? static_cast<uint16_t>((p[0] << 8) | p[1]) : static_cast<uint16_t>((p[1] << 8) | p[0]);
}

// ISO-10646-UCS-2: a byte-order mark first, then 16-bit units written one by
// one (no surrogate pairing); a last odd byte is ignored.
char *from_ucs2(std::span<const uint8_t> in, int *len) {
    if (in.size() < 2) return nullptr;
    bool bigEndian;
    if (in[0] == 0xFF && in[1] == 0xFE) {
        bigEndian = false;
    } else if (in[0] == 0xFE && in[1] == 0xFF) {
        bigEndian = true;
    } else {
        return nullptr;
    }
    // Worst case: 3 bytes per 2 input bytes after the mark, plus the zero.
    const int64_t cap = 2 * static_cast<int64_t>(in.size());
    auto *buf = alloc_buffer<uint8_t>(cap);
    if (!buf) return nullptr;
    Utf8Writer w{buf, cap};
    for (size_t i = 2; i + 2 <= in.size(); i += 2) w.put(read_unit(&in[i], bigEndian));
    return hand_out_text(buf, cap, w.overflow(), len);
}

// Reads UTF-16 into code points (at most one per two input bytes) and
// returns how many were stored. Byte-order marks are dropped, a reversed
// mark switches the byte order; a surrogate that is not part of a valid
// pair is consumed and replaced by U+FFFD.
size_t read_utf16(std::span<const uint8_t> in, uint32_t *cps) {
    bool bigEndian = !(in.size() >= 2 && in[0] == 0xFF && in[1] == 0xFE);
    size_t n = 0;
    size_t i = 0;
    while (in.size() - i >= 2) {
        const uint16_t u = read_unit(&in[i], bigEndian);
        if (u == 0xFEFF) {
            i += 2;
        } else if (u == 0xFFFE) {
            bigEndian = !bigEndian;
            i += 2;
        } else if (u < 0xD800 || u > 0xDFFF) {
            cps[n++] = u;
            i += 2;
        } else if (u <= 0xDBFF && in.size() - i >= 4) {
            const uint16_t low = read_unit(&in[i + 2], bigEndian);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cps[n++] = ((static_cast<uint32_t>(u) - 0xD800) << 10) + (low - 0xDC00) + 0x10000;
                i += 4;
            } else {
                cps[n++] = kReplacementChar;
                i += 2;
            }
        } else {
            cps[n++] = kReplacementChar;
            i += 2;
        }
    }
    return n;
}

// UTF-16: code points first, then UTF-8.
char *from_utf16(std::span<const uint8_t> in, int *len) {
    const int64_t units = static_cast<int64_t>(in.size()) / 2;
    const int64_t cap = 2 * static_cast<int64_t>(in.size());
    auto *cps = alloc_buffer<uint32_t>(units + 1);
    if (!cps) return nullptr;
    qx::ScopeGuard releaseCps([&] { qx::free_ptr(cps); });
    auto *buf = alloc_buffer<uint8_t>(cap);
    if (!buf) return nullptr;
    const size_t count = read_utf16(in, cps);
    // Worst case: 3 bytes per 2 input bytes (a pair gives 4 for 4), plus the zero.
    Utf8Writer w{buf, cap};
    for (size_t k = 0; k < count; ++k) w.put(cps[k]);
    return hand_out_text(buf, cap, w.overflow(), len);
}

}  // namespace

char *fnMMS_ConvertToUtf8(int charset, const uint8_t *text, int *len) {
    if (!text || !len || *len <= 0) return nullptr;
    const std::span<const uint8_t> in(text, static_cast<size_t>(*len));
    switch (charset) {
        case MMS_CHARSET_ISO_8859_1:
            return from_latin1(in, len);
        case MMS_CHARSET_UCS2:
            return from_ucs2(in, len);
        case MMS_CHARSET_UTF16:
            return from_utf16(in, len);
        case MMS_CHARSET_UTF8:
        case MMS_CHARSET_US_ASCII:
        default:
            return copy_bytes(in, len);
    }
}
