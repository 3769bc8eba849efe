// libFuzzer target: the m-notification-ind decoder on an exactly sized heap copy.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "MMSProl_Encapsulaton.h"
#include "qx_alloc_test.h"
#include "qx_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = (qx::set_log_enabled(false), true);
    (void)quiet;
    if (size > 1u << 20) return 0;
    const long liveBefore = qx::alloc_stats().liveBlocks;
    auto *copy = static_cast<uint8_t *>(std::malloc(size ? size : 1));
    if (!copy) return 0;
    if (size) std::memcpy(copy, data, size);
    const int n = static_cast<int>(size);
    tMMS_NotifyInd *rec = fnMMS_ParseNotificationInd(copy, n);
    fnMMS_FreeMessageMem(rec, MMS_STRUCT_MMS_NOTIFICATION_IND);
    if (qx::alloc_stats().liveBlocks != liveBefore) std::abort();  // every block released
    std::free(copy);
    return 0;
}
