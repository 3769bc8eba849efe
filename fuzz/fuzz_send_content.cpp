// libFuzzer target: the stored m-send-req decoder on an exactly sized heap copy.
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
    tMMS_SendReq *rec = fnMMS_ParseSendContent(copy, n);
    // The body copy is exactly the tail of the input, from its 0x84 on.
    if (rec && rec->ContentTypeAndBody) {
        const int len = rec->Body_Len;
        if (len <= 0 || len > n || rec->ContentTypeAndBody[0] != 0x84 || std::memcmp(rec->ContentTypeAndBody, copy + n - len, static_cast<size_t>(len)) != 0)
            std::abort();
    }
    fnMMS_FreeMessageMem(rec, MMS_STRUCT_SEND_REQ);
    return 0;
}
