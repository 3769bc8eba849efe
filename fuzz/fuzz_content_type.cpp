// Content-Type values of any shape: the reader must stay inside its input,
// report a consumed count within it and release everything it built.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "MMSProl_Encapsulaton.h"
#include "qx_alloc_test.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const long liveBefore = qx::alloc_stats().liveBlocks;
    if (size > 1 << 20) return 0;
    auto *copy = static_cast<uint8_t *>(std::malloc(size ? size : 1));
    if (size) std::memcpy(copy, data, size);

    WspCursor c = wsp_cursor(copy, static_cast<int>(size));
    // Read values one after the other, as a part's headers are read.
    while (c.p < c.end && !c.truncated) {
        const uint8_t *start = c.p;
        int consumed = -1;
        tMMS_ContentType *ct = GetContentTypeValue(c, &consumed);
        if (!ct) break;
        if (consumed <= 0 || consumed > c.end - start) std::abort();
        if (ct->Fwd_Param_Len < 0 || (ct->Fwd_Param_Len > 0) != (ct->Fwd_Param != nullptr)) std::abort();
        if (ct->Content_Type) (void)std::strlen(ct->Content_Type);
        if (ct->Name_Param) (void)std::strlen(ct->Name_Param);
        FreeContentTypeValue(ct);
        c.p = start + consumed;
    }
    if (qx::alloc_stats().liveBlocks != liveBefore) std::abort();  // every block released
    std::free(copy);
    return 0;
}
