// libFuzzer target: arbitrary retrieve confirmations through fnCPS_ParserMMS,
// then the release of everything it hands to the host.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_host_lists.h"
#include "fuzz_support.h"
#include "rorodire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1u << 20) return 0;
    FuzzInput in(data, size);
    if (!in.data()) return 0;
    tCPS_PduBuf pdu{in.data(), in.size()};
    tCPS_MmsData d{};
    const int rc = fnCPS_ParserMMS(&d, &pdu);
    if (rc == 0) {
        fuzzhost::check_lists(d);
        tMMS_RetrieveConf &h = d.Header.Retrieve.Retrieve_Conf;
        if (d.Header.Retrieve.Retrieve_Pdu_Size != in.size()) std::abort();
        if (!h.body) std::abort();
        fuzzhost::check_buffer(h.body, h.Content_Size);
        fuzzhost::free_lists(d);
        fuzzhost::release(h.body), fuzzhost::release(h.Transaction_Id), fuzzhost::release(h.Message_Id);
        fuzzhost::release(h.From), fuzzhost::release(h.To), fuzzhost::release(h.Cc), fuzzhost::release(h.Subject);
    } else {
        // Refusals leave the host's record alone.
        const tCPS_MmsData zero{};
        if (std::memcmp(&d, &zero, sizeof d) != 0) std::abort();
        if (rc != COMPOSER_PDU_INVALID && rc != COMPOSER_MEMERY_ALLOC_FAIL) std::abort();
    }
    return 0;
}
