// The resolver's reader of DNS answers (the bearer's servers are outside
// input) on any bytes: the first byte picks the family asked for, the rest
// is the answer. What it accepts holds at least one and at most kMaxAddrs
// addresses of that family; a TC bit is always "truncated", an NXDOMAIN
// always "does not exist", any other error code a server failure; it never
// reads past the bytes it was given.
#include <netinet/in.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "osal_glib_internal.h"

namespace {
void check(bool ok) {
    if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 65536) return 0;
    const int family = (data[0] & 1) ? AF_INET6 : AF_INET;
    // A copy of exactly the answer's bytes, so a read past them is caught.
    std::vector<unsigned char> answer(data + 1, data + size);
    osal_glib::AddrList list{};
    const int r = osal_glib::dns_read_answer(answer.empty() ? nullptr : answer.data(), static_cast<int>(answer.size()),
                                             family, list);
    const size_t n = answer.size();
    if (r == 0) {
        check(list.count >= 1 && list.count <= osal_glib::kMaxAddrs);
        for (int i = 0; i < list.count; ++i) {
            check(list.addr[i].ss_family == family);
            check(list.len[i] == (family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6)));
        }
    } else {
        check(list.count == 0);
    }
    if (n < 12 || !(answer[2] & 0x80)) {
        check(r == OSAL_ERR_DNS_BAD_ANSWER);
    } else if (answer[2] & 0x02) {
        check(r == OSAL_ERR_DNS_TRUNCATED);
    } else if ((answer[3] & 0x0F) == 3) {
        check(r == OSAL_ERR_DNS_NXDOMAIN);
    } else if ((answer[3] & 0x0F) != 0) {
        check(r == OSAL_ERR_DNS_SERVER);
    } else {
        check(r == 0 || r == OSAL_ERR_DNS_NO_DATA || r == OSAL_ERR_DNS_BAD_ANSWER || r == ENOMEM);
    }
    return 0;
}
