// libFuzzer target: the m-send-conf decoder and its result number, on an
// exactly sized heap copy.
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
    tMMS_SendConf *rec = fnMMS_ParseSendConf(copy, n);
    const int result = fnMMS_RecvSendConfData(copy, n);
    // The result number is the decoded status, mapped.
    int want = 10;
    if (rec) want = fuzz_status_result(rec->Response_Status);
    if (result != want) std::abort();
    fnMMS_FreeMessageMem(rec, MMS_STRUCT_SEND_CONF);
    return 0;
}
