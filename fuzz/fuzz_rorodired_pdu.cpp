// What rorodired reads from outside: a WAP push handed over by the modem
// stack, and a stored or retrieved PDU whose parts it shows by offset and
// length. The first input byte picks the reader. Every part must lie inside
// the PDU, every text must be valid UTF-8, and every block must be released.
#include <glib.h>

#include <cstdint>
#include <cstdlib>

#include "../rorodired/rorodired_pdu.cpp"
#include "qx_alloc_test.h"
#include "qx_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = (qx::set_log_enabled(false), true);
    (void)quiet;
    if (size == 0 || size > 1 << 20) return 0;
    const long liveBefore = qx::alloc_stats().liveBlocks;
    const std::vector<uint8_t> in(data + 1, data + size);
    auto utf8 = [](const std::optional<std::string> &s) {
        if (s && (!g_utf8_validate(s->c_str(), static_cast<gssize>(s->size()), nullptr))) std::abort();
    };
    if (data[0] & 1) {
        rrd::View v;
        if (rrd::view_of_pdu(in, &v)) {
            for (const rrd::Attachment &a : v.attachments) {
                if (a.length == 0 || a.offset > in.size() || a.length > in.size() - a.offset) std::abort();
                utf8(a.id);
                utf8(a.contentType);
            }
            utf8(v.subject);
            utf8(v.sender);
            utf8(v.smil);
            for (const std::string &r : v.recipients) utf8(r);
        }
    } else {
        std::string why;
        const std::vector<uint8_t> ind = rrd::notification_of_push(in, &why);
        if (ind.size() > in.size() || (ind.empty() && why.empty())) std::abort();
        if (!ind.empty()) {
            rrd::View v;
            std::string location;
            if (rrd::view_of_notification(ind, &v, &location)) {
                utf8(v.subject);
                utf8(v.sender);
                utf8(location);
            }
        }
    }
    if (qx::alloc_stats().liveBlocks != liveBefore) std::abort();
    return 0;
}
