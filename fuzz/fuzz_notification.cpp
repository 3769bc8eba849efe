// libFuzzer target: the m-notification-ind decoder on an exactly sized heap copy.
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
    tMMS_NotifyInd *rec = fnMMS_ParseNotificationInd(copy, n);
    fnMMS_FreeMessageMem(rec, MMS_STRUCT_MMS_NOTIFICATION_IND);
    return 0;
}
