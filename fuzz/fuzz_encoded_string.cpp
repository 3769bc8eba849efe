// Encoded-string-values and addresses read from arbitrary bytes: texts come
// back zero-terminated, lengths match the bytes consumed, nothing is read
// past the input.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "MMSProl_Encapsulaton.h"
#include "qx_alloc_test.h"

namespace {

void check_text(char *t) {
    if (!t) return;
    (void)std::strlen(t);
    void *v = t;
    fnQX_Free(&v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const long liveBefore = qx::alloc_stats().liveBlocks;
    if (size > 1 << 20) return 0;
    auto *copy = static_cast<uint8_t *>(std::malloc(size ? size : 1));
    if (size) std::memcpy(copy, data, size);

    WspCursor c = wsp_cursor(copy, static_cast<int>(size));
    while (c.p < c.end && !c.truncated) {
        const uint8_t *start = c.p;
        int len = -1;
        char *s = GetEncodedStringValue(c, &len);
        if (c.truncated) {
            if (s) std::abort();
            break;
        }
        if (c.p == start || len != c.p - start - 1) std::abort();
        check_text(s);
    }

    WspCursor a = wsp_cursor(copy, static_cast<int>(size));
    while (a.p < a.end && !a.truncated) {
        const uint8_t *start = a.p;
        int len = -1;
        char *s = GetAddressValue(a, &len);
        if (a.truncated) {
            if (s) std::abort();
            break;
        }
        if (!s || len != a.p - start) std::abort();
        check_text(s);
    }
    if (qx::alloc_stats().liveBlocks != liveBefore) std::abort();  // every block released
    std::free(copy);
    return 0;
}
