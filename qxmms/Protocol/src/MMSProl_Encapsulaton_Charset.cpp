// Character-set conversion: texts of a message in any charset the platform
// converts (identified by their IANA MIBenum) become new zero-terminated UTF-8
// texts. US-ASCII, UTF-8, Latin-1, UCS-2 and UTF-16 have their own converters;
// the others go through GLib's iconv, with U+FFFD for every byte that does not
// convert.
#include <glib.h>

#include <cerrno>
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

// ISO-10646-UCS-2: an optional byte-order mark (without one the text is
// big-endian, the network order), then 16-bit units written one by one (no
// surrogate pairing); a last odd byte is ignored.
char *from_ucs2(std::span<const uint8_t> in, int *len) {
    if (in.size() < 2) return nullptr;
    bool bigEndian = true;
    size_t first = 0;
    if (in[0] == 0xFF && in[1] == 0xFE) {
        bigEndian = false;
        first = 2;
    } else if (in[0] == 0xFE && in[1] == 0xFF) {
        first = 2;
    }
    // Worst case: 3 bytes per 2 input bytes after the mark, plus the zero.
    const int64_t cap = 2 * static_cast<int64_t>(in.size());
    auto *buf = alloc_buffer<uint8_t>(cap);
    if (!buf) return nullptr;
    Utf8Writer w{buf, cap};
    for (size_t i = first; i + 2 <= in.size(); i += 2) w.put(read_unit(&in[i], bigEndian));
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

// Charsets converted through iconv, by IANA MIBenum. Where handsets label
// text with a charset whose superset is in use (EUC-KR for Korean UHC text,
// GB2312 for GBK), the superset is named: it reads the labelled charset alike.
// Shift_JIS is read as CP932, what phones write: it keeps ASCII as it is
// ("~" and "\\" stay themselves, where the JIS X 0201 table gives overline
// and yen sign) and reads the vendor rows phones use.
struct IconvCharset {
    int mib;
    const char *name;
};
constexpr IconvCharset kIconvCharsets[] = {
    {5, "ISO-8859-2"},     {6, "ISO-8859-3"},     {7, "ISO-8859-4"},      {8, "ISO-8859-5"},
    {9, "ISO-8859-6"},     {10, "ISO-8859-7"},    {11, "ISO-8859-8"},     {12, "ISO-8859-9"},
    {13, "ISO-8859-10"},   {17, "CP932"},         {18, "EUC-JP"},         {36, "CP949"},
    {37, "ISO-2022-KR"},   {38, "CP949"},         {39, "ISO-2022-JP"},    {40, "ISO-2022-JP-2"},
    {104, "ISO-2022-CN"},  {109, "ISO-8859-13"},  {110, "ISO-8859-14"},   {111, "ISO-8859-15"},
    {112, "ISO-8859-16"},  {113, "GBK"},          {114, "GB18030"},       {1001, "UCS-4"},
    {1012, "UTF-7"},       {1013, "UTF-16BE"},    {1014, "UTF-16LE"},     {1017, "UTF-32"},
    {1018, "UTF-32BE"},    {1019, "UTF-32LE"},    {2009, "IBM850"},       {2011, "IBM437"},
    {2025, "GBK"},         {2026, "BIG5"},        {2027, "MACINTOSH"},    {2084, "KOI8-R"},
    {2086, "IBM866"},      {2088, "KOI8-U"},      {2101, "BIG5-HKSCS"},   {2250, "CP1250"},
    {2251, "CP1251"},      {2252, "CP1252"},      {2253, "CP1253"},       {2254, "CP1254"},
    {2255, "CP1255"},      {2256, "CP1256"},      {2257, "CP1257"},       {2258, "CP1258"},
    {2259, "TIS-620"},
};

const char *iconv_name(int mib) {
    for (const IconvCharset &c : kIconvCharsets)
        if (c.mib == mib) return c.name;
    return nullptr;
}

// Replacement for a byte that does not convert, in UTF-8.
constexpr uint8_t kReplacementUtf8[] = {0xEF, 0xBF, 0xBD};

// Converts through iconv. Every input byte gives at most 3 output bytes (one
// byte that does not convert gives U+FFFD; no charset here needs more per
// byte), so one buffer of 3 x length + 1 holds the result. *opened is false
// when the platform has no converter for the charset.
char *from_iconv(const char *name, std::span<const uint8_t> in, int *len, bool *opened) {
    GIConv cd = g_iconv_open("UTF-8", name);
    *opened = cd != reinterpret_cast<GIConv>(-1);
    if (!*opened) return nullptr;
    qx::ScopeGuard closeCd([&] { g_iconv_close(cd); });
    const int64_t cap = 3 * static_cast<int64_t>(in.size()) + 1;
    auto *buf = alloc_buffer<uint8_t>(cap);
    if (!buf) return nullptr;

    gchar *inp = reinterpret_cast<gchar *>(const_cast<uint8_t *>(in.data()));
    gsize inLeft = in.size();
    gchar *outp = reinterpret_cast<gchar *>(buf);
    gsize outLeft = static_cast<gsize>(cap - 1);  // room for the zero byte
    bool overflow = false;
    while (inLeft > 0 && !overflow) {
        if (g_iconv(cd, &inp, &inLeft, &outp, &outLeft) != static_cast<gsize>(-1)) break;
        if ((errno != EILSEQ && errno != EINVAL) || outLeft < sizeof kReplacementUtf8) {
            overflow = true;  // E2BIG: the bound above was wrong
            break;
        }
        // A byte that starts no valid sequence, or a sequence cut off by the
        // end of the text: U+FFFD for its first byte, then go on.
        std::memcpy(outp, kReplacementUtf8, sizeof kReplacementUtf8);
        outp += sizeof kReplacementUtf8;
        outLeft -= sizeof kReplacementUtf8;
        ++inp;
        --inLeft;
    }
    // Stateful charsets end their shift state; nothing visible is written.
    if (!overflow) g_iconv(cd, nullptr, nullptr, &outp, &outLeft);
    *outp = 0;
    return hand_out_text(buf, cap, overflow, len);
}

// Converts with the charset's converter; *known is false when there is none.
char *convert(int charset, std::span<const uint8_t> in, int *len, bool *known) {
    *known = true;
    switch (charset) {
        case MMS_CHARSET_ISO_8859_1:
            return from_latin1(in, len);
        case MMS_CHARSET_UCS2:
            return from_ucs2(in, len);
        case MMS_CHARSET_UTF16:
            return from_utf16(in, len);
        case MMS_CHARSET_UTF8:
        case MMS_CHARSET_US_ASCII:
            return copy_bytes(in, len);
        default:
            break;
    }
    const char *name = iconv_name(charset);
    // Refused before the converter is opened when no buffer could hold it.
    if (name && 3 * static_cast<int64_t>(in.size()) + 1 > kMaxAlloc) return nullptr;
    *known = false;
    return name ? from_iconv(name, in, len, known) : nullptr;
}

}  // namespace

bool IsWideCharset(int charset) {
    switch (charset) {
        case MMS_CHARSET_UCS2:
        case 1001:  // UCS-4
        case 1013:  // UTF-16BE
        case 1014:  // UTF-16LE
        case MMS_CHARSET_UTF16:
        case 1017:  // UTF-32
        case 1018:  // UTF-32BE
        case 1019:  // UTF-32LE
            return true;
        default:
            return false;
    }
}

char *ConvertCharsetToUtf8(int charset, const uint8_t *text, int *len, bool *known) {
    *known = false;
    if (!text || !len || *len <= 0) return nullptr;
    return convert(charset, std::span<const uint8_t>(text, static_cast<size_t>(*len)), len, known);
}

char *ConvertNamedCharsetToUtf8(const char *iconvName, const uint8_t *text, int *len, bool *known) {
    *known = false;
    if (!iconvName || !text || !len || *len <= 0) return nullptr;
    if (3 * static_cast<int64_t>(*len) + 1 > kMaxAlloc) return nullptr;
    return from_iconv(iconvName, std::span<const uint8_t>(text, static_cast<size_t>(*len)), len, known);
}

char *fnMMS_ConvertToUtf8(int charset, const uint8_t *text, int *len) {
    if (!text || !len || *len <= 0) return nullptr;
    const std::span<const uint8_t> in(text, static_cast<size_t>(*len));
    bool known = false;
    char *out = convert(charset, in, len, &known);
    // Charsets without a converter: the bytes as they are.
    return known ? out : copy_bytes(in, len);
}
