// libFuzzer target: the m-retrieve-conf decoder on an exactly sized heap copy.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "MMSProl_Encapsulaton.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1u << 20) return 0;
    FuzzInput in(data, size);
    if (!in.data()) return 0;
    uint8_t *copy = in.data();
    const int n = in.size();
    tMMS_RetrieveConf *rec = fnMMS_ParseRetrieveConf(copy, n);
    // The body copy is exactly the tail of the input, from its 0x84 on.
    if (rec && rec->body) {
        const int len = rec->Content_Size;
        if (len <= 0 || len > n || rec->body[0] != 0x84 || std::memcmp(rec->body, copy + n - len, static_cast<size_t>(len)) != 0)
            std::abort();
    }
    fnMMS_FreeMessageMem(rec, MMS_STRUCT_RETRIEVE_CONF);
    return 0;
}
