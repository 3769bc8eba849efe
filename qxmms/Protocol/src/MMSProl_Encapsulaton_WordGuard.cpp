// Texts that a reader would change by decoding MIME encoded words in them (a
// subject or a part name that holds "=?utf-8?B?...?=" as it is): such a text
// goes out as one encoded word of its own UTF-8 bytes, which a reader decodes
// back to the text.
#include <glib.h>

#include <cstring>

#include "MMSProl_Encapsulaton.h"
#include "qx_internal.h"

namespace {

constexpr char kWordHead[] = "=?utf-8?B?";
constexpr char kWordTail[] = "?=";
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// "=?utf-8?B?", the base64 of the text, "?=": a new text, or null.
char *as_encoded_word(const char *text) {
    const size_t n = std::strlen(text);
    const size_t total = sizeof kWordHead - 1 + 4 * ((n + 2) / 3) + sizeof kWordTail - 1;
    if (total >= static_cast<size_t>(INT32_MAX)) return nullptr;
    auto *word = static_cast<char *>(fnQX_Malloc(static_cast<int>(total + 1)));
    if (!word) return nullptr;
    qx::Writer w = qx::Writer::over(word, total);
    w.str(kWordHead);
    const auto *s = reinterpret_cast<const uint8_t *>(text);
    for (size_t i = 0; i < n; i += 3) {
        const uint32_t v = (uint32_t{s[i]} << 16) | (i + 1 < n ? uint32_t{s[i + 1]} << 8 : 0) | (i + 2 < n ? s[i + 2] : 0);
        w.byte(static_cast<uint8_t>(kBase64[(v >> 18) & 63]));
        w.byte(static_cast<uint8_t>(kBase64[(v >> 12) & 63]));
        w.byte(i + 1 < n ? static_cast<uint8_t>(kBase64[(v >> 6) & 63]) : '=');
        w.byte(i + 2 < n ? static_cast<uint8_t>(kBase64[v & 63]) : '=');
    }
    w.str(kWordTail);
    return word;
}

// What a reader makes of the text: Unchanged (*same true), or Decoded with
// *same telling whether it came out as it was.
Got read_back(const char *text, const char *original, bool *same) {
    char *copy = fnQX_MEMSTRCOPY(text);
    if (!copy) return Got::NoMemory;
    const Got r = DecodeEncodedWords(&copy);
    *same = copy && std::strcmp(copy, original) == 0;
    qx::free_ptr(copy);
    return r;
}

}  // namespace

WordGuard EncodedWordGuard(const char *text, char **out) {
    *out = nullptr;
    if (!text || !std::strstr(text, "=?")) return WordGuard::AsIs;
    bool same = false;
    Got r = read_back(text, text, &same);
    if (r == Got::NoMemory) return WordGuard::NoMemory;
    if (same) return WordGuard::AsIs;
    // Only UTF-8 comes back out of an encoded word unchanged.
    if (!g_utf8_validate(text, -1, nullptr)) return WordGuard::Unwritable;
    char *word = as_encoded_word(text);
    if (!word) return WordGuard::NoMemory;
    r = read_back(word, text, &same);
    if (r == Got::NoMemory || !same) {
        qx::free_ptr(word);
        return r == Got::NoMemory ? WordGuard::NoMemory : WordGuard::Unwritable;
    }
    *out = word;
    return WordGuard::Encoded;
}
