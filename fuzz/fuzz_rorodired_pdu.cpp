// What rorodired reads from outside: a WAP push handed over by the modem
// stack (a notification or a delivery or read report), and a stored or
// retrieved PDU whose parts it shows by offset and length, or by a file of
// their own for parts that came transfer-encoded. The first input byte picks
// the reader. Every part must lie inside the PDU or in its own decoded
// bytes, every text must be valid UTF-8, and every block must be released.
#include <glib.h>

#include <cstdint>
#include <cstdlib>

#include "../rorodired/pdu.cpp"
#include "qx_alloc_test.h"
#include "qx_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = (qx::set_log_enabled(false), true);
    (void)quiet;
    if (size == 0 || size > 1 << 20) return 0;
    const long liveBefore = qx::alloc_stats().liveBlocks;
    const std::vector<uint8_t> in(data + 1, data + size);
    auto utf8 = [](const std::string &s) {
        if (!g_utf8_validate(s.c_str(), static_cast<gssize>(s.size()), nullptr) || s.find('\0') != std::string::npos)
            std::abort();
    };
    auto utf8_opt = [&](const std::optional<std::string> &s) {
        if (s) utf8(*s);
    };
    if (data[0] & 1) {
        rrd::View v;
        std::vector<std::vector<uint8_t>> decoded;
        if (rrd::view_of_pdu(in, &v, &decoded)) {
            // Either every part lies in the PDU, or every part lies in the one
            // file of parts, one after the other, exactly filling it.
            uint64_t next = 0;
            const bool inParts = !decoded.empty();
            if (decoded.size() > 1) std::abort();
            for (const rrd::Attachment &a : v.attachments) {
                if (a.length == 0) std::abort();
                if (!inParts) {
                    if (a.partFile != -1 || a.offset > in.size() || a.length > in.size() - a.offset) std::abort();
                } else {
                    if (a.partFile != rrd::Attachment::kPartsFile || a.offset != next) std::abort();
                    next += a.length;
                }
                utf8(a.id);
                utf8(a.contentType);
            }
            if (inParts && next != decoded.front().size()) std::abort();
            utf8_opt(v.subject);
            utf8_opt(v.sender);
            utf8_opt(v.smil);
            for (const std::string &r : v.recipients) utf8(r);
        }
    } else {
        std::string why;
        rrd::PushKind kind = rrd::PushKind::Other;
        const std::vector<uint8_t> pdu = rrd::pdu_of_push(in, &kind, &why);
        if (pdu.size() > in.size() || (pdu.empty() && why.empty()) || (pdu.empty() != (kind == rrd::PushKind::Other)))
            std::abort();
        if (kind == rrd::PushKind::Notification) {
            rrd::Notification n;
            if (rrd::notification_of_ind(pdu, &n, &why)) {
                if (n.location.empty()) std::abort();
                utf8(n.from);
                utf8(n.subject);
            }
        } else if (kind != rrd::PushKind::Other) {
            rrd::Report r;
            if (rrd::report_of_pdu(pdu, kind, &r, &why)) {
                if (r.messageId.empty() || r.status.empty()) std::abort();
                utf8(r.messageId);
                utf8(r.recipient);
            }
        }
    }
    if (qx::alloc_stats().liveBlocks != liveBefore) std::abort();
    return 0;
}
