// Whole ContentTypeAndBody bytes through fnPAR_ParseMMS, every query and
// fnPAR_Release. The first input byte chooses whether a leading 0x84 is put in
// front of the rest. Whatever the view holds must point into the input, and
// every part of the body must be on a slide or in the attachment list.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "parser_fuzz_support.h"

using parser_fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > (1u << 20)) return 0;
    const bool force = data[0] & 1;
    std::vector<uint8_t> bytes;
    if (force) bytes.push_back(0x84);
    bytes.insert(bytes.end(), data + 1, data + size);
    FuzzInput in(bytes.data(), bytes.size());
    const int ok = fnPAR_ParseMMS(in.data(), in.size());
    parser_fuzz::check_view(
        [&](const void *p, long n) { return parser_fuzz::inside(p, n, in.data(), in.size()); });
    if (ok == PAR_VIEW_BUILT) {
        for (const tMMS_Element *p = SmilGetPartList(); p; p = p->next)
            if (p->Data) require(parser_fuzz::view_uses(p));
        parser_fuzz::query_all();
    } else {
        (void)fnPAR_IsEmpty();
    }
    fnPAR_Release();
    require(SmilView().pParHead == nullptr && SmilView().pAttachment == nullptr);
    return 0;
}
