// Character-set conversion of hostile texts. The first byte picks the
// charset (US-ASCII, Latin-1, UTF-8, UCS-2, UTF-16, charsets converted
// through iconv, or an unlisted one), the rest is the text, handed over as
// an exactly sized heap copy.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "MMSProl_Encapsulaton.h"
#include "qx_internal.h"

namespace {

constexpr int kCharsets[] = {3, 4, 106, 1000, 1015, 2026, 36, 17, 39, 114, 1013, 2252, 1017, 3000};
constexpr size_t kCount = sizeof kCharsets / sizeof kCharsets[0];
constexpr int kUnlisted = 3000;

bool copied(int charset) { return charset == 3 || charset == 106 || charset == kUnlisted; }

// Well-formed UTF-8: shortest forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(const uint8_t *p, size_t n) {
    size_t i = 0;
    while (i < n) {
        const uint8_t b = p[i];
        size_t more;
        uint32_t cp, min;
        if (b < 0x80) {
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            more = 1, cp = b & 0x1F, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            more = 2, cp = b & 0x0F, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            more = 3, cp = b & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (n - i <= more) return false;
        for (size_t k = 1; k <= more; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += more + 1;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 1 << 20) return 0;
    const int charset = kCharsets[data[0] % kCount];
    const size_t n = size - 1;
    auto *text = static_cast<uint8_t *>(std::calloc(n ? n : 1, 1));
    if (n) std::memcpy(text, data + 1, n);

    int len = static_cast<int>(n);
    char *out = fnMMS_ConvertToUtf8(charset, text, &len);
    if (out) {
        // The length is that of the text before its terminator, and no
        // branch produces more than three bytes per input byte.
        if (n == 0 || len < 0 || static_cast<size_t>(len) != std::strlen(out) || static_cast<size_t>(len) > 3 * n)
            std::abort();
        // Converted charsets always give well-formed UTF-8 (bytes that do
        // not convert and broken surrogates become U+FFFD); UCS-2 writes
        // surrogate units as they are.
        if (!copied(charset) && charset != 1000 &&
            !valid_utf8(reinterpret_cast<uint8_t *>(out), static_cast<size_t>(len)))
            std::abort();
        // Copied charsets give the input up to its first zero byte.
        if (copied(charset) && std::memcmp(out, text, static_cast<size_t>(len)) != 0) std::abort();
        fnQX_Free(reinterpret_cast<void **>(&out));
    } else if (len != static_cast<int>(n) || (n > 0 && charset != 1000) || n > 1) {
        // Only an empty text, or UCS-2 too short for one unit, gives null.
        std::abort();
    }
    std::free(text);
    return 0;
}
