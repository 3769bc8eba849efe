// MIME decoders on arbitrary bytes. The first input byte picks the decoder:
// base64 and quoted-printable write into a buffer of exactly the size they
// may use and never more bytes than they read (base64 also decodes GLib's
// encoding of the input back to it); encoded words turn valid UTF-8 into
// valid UTF-8 of at most three bytes per input byte and leave a text without
// "=?" alone; an entry's header fields (the rest split at a zero byte pair)
// decode its data into its own buffer. Every block is released.
#include <glib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "MMSProl_Encapsulaton.h"
#include "qx_alloc_test.h"
#include "qx_internal.h"
#include "qx_log.h"

namespace {

void transfer(bool base64, const uint8_t *in, size_t n) {
    auto *out = static_cast<uint8_t *>(std::malloc(n + 3));
    const size_t w = base64 ? Base64DecodeInto(in, n, out) : QuotedPrintableDecodeInto(in, n, out);
    if (w > n) std::abort();
    if (base64) {
        gchar *enc = g_base64_encode(in, n);
        const size_t m = std::strlen(enc);
        auto *back = static_cast<uint8_t *>(std::malloc(m + 3));
        if (Base64DecodeInto(reinterpret_cast<const uint8_t *>(enc), m, back) != n || (n && std::memcmp(back, in, n) != 0))
            std::abort();
        std::free(back);
        g_free(enc);
    }
    std::free(out);
}

void words(const uint8_t *in, size_t n) {
    char *t = static_cast<char *>(fnQX_Malloc(static_cast<int>(n) + 1));
    std::memcpy(t, in, n);
    const size_t len = std::strlen(t);
    const bool utf8 = g_utf8_validate(t, static_cast<gssize>(len), nullptr);
    const bool plain = !std::strstr(t, "=?");
    char *before = g_strdup(t);
    const Got r = DecodeEncodedWords(&t);
    if (r == Got::NoMemory) std::abort();
    const size_t out = std::strlen(t);
    if (out > 3 * len) std::abort();
    if (utf8 && !g_utf8_validate(t, static_cast<gssize>(out), nullptr)) std::abort();
    if (plain && (r != Got::None || std::strcmp(t, before) != 0)) std::abort();
    g_free(before);
    qx::free_ptr(t);
}

void part(const uint8_t *in, size_t n) {
    size_t split = 0;
    while (split + 1 < n && !(in[split] == 0 && in[split + 1] == 0)) ++split;
    const size_t fieldsLen = split;
    const size_t dataAt = split + 2 <= n ? split + 2 : n;
    auto *copy = static_cast<uint8_t *>(std::malloc(n ? n : 1));
    std::memcpy(copy, in, n);
    WspCursor fields = wsp_cursor(copy, static_cast<int>(fieldsLen));
    uint8_t *data = copy + dataAt;
    int len = static_cast<int>(n - dataAt);
    const int original = len;
    uint8_t *owned = nullptr;
    const Got r = DecodePartTransferEncoding(fields, &data, &len, &owned);
    if (r == Got::NoMemory || len < 0 || len > original) std::abort();
    if (r == Got::None && (data != copy + dataAt || len != original || owned)) std::abort();
    if (r == Got::Value && (len > 0 ? data != owned : (data || owned))) std::abort();
    volatile uint8_t sum = 0;
    for (int i = 0; i < len; ++i) sum = sum + data[i];
    qx::free_ptr(owned);
    std::free(copy);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = (qx::set_log_enabled(false), true);
    (void)quiet;
    if (size == 0 || size > 1 << 16) return 0;
    const long liveBefore = qx::alloc_stats().liveBlocks;
    // An exactly sized copy of the rest, so ASan sees any read past it.
    const size_t n = size - 1;
    auto *in = static_cast<uint8_t *>(std::malloc(n ? n : 1));
    std::memcpy(in, data + 1, n);
    switch (data[0] % 4) {
        case 0: transfer(true, in, n); break;
        case 1: transfer(false, in, n); break;
        case 2: words(in, n); break;
        default: part(in, n); break;
    }
    std::free(in);
    if (qx::alloc_stats().liveBlocks != liveBefore) std::abort();
    return 0;
}
