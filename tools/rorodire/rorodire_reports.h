// The report requests of a send request (Delivery-Report, Read-Reply), which
// the library's send-request decoder keeps no record field for: read by the
// relay, set by `rorodire send --delivery-report --read-reply`. Both walk
// the header with the library's WSP readers, up to the Content-Type field.
#ifndef RORODIRE_REPORTS_H
#define RORODIRE_REPORTS_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace rrtool {

// The flags as the request sets them (1 for Yes, 0 for No); a flag the
// request does not carry is left as it is.
void report_requests(const uint8_t *pdu, size_t len, int *deliveryReport, int *readReply);

// Sets the asked fields to Yes: a field the request carries is changed in
// place, a missing one goes in before the Content-Type field (the end of the
// header). False, the PDU unchanged, when the header does not read to its end.
bool ask_for_reports(std::vector<uint8_t> &pdu, bool deliveryReport, bool readReply);

}  // namespace rrtool

#endif
