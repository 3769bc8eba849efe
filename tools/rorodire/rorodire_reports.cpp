// The report requests of a send request, read and set through the library's
// WSP readers.
#include "rorodire_reports.h"

#include "MMSProl_Encapsulaton_Decode.h"

namespace rrtool {

namespace {

// Where the report fields' values lie and where the header ends.
struct HeaderWalk {
    long deliveryReport = -1, readReply = -1;  // offsets of the one-byte values, -1 when absent
    long end = -1;                             // offset of the Content-Type field, or the PDU's end
};

// Walks the header fields by their WSP encodings; false when a value runs
// past the end (or a report field has no value).
bool walk_header(const uint8_t *pdu, size_t len, HeaderWalk *h) {
    WspCursor c = wsp_cursor(pdu, static_cast<int>(len));
    while (c.left() > 0) {
        const uint8_t code = *c.p;
        if (code == MMS_CONTENT_TYPE_FIELD) break;
        ++c.p;
        if (code == MMS_DELIVERY_REPORT_FIELD || code == MMS_READ_REPLY_FIELD) {
            const long at = c.p - pdu;
            uint8_t v = 0;
            if (!mmsdec::take_byte(c, &v)) return false;
            (code == MMS_DELIVERY_REPORT_FIELD ? h->deliveryReport : h->readReply) = at;
            continue;
        }
        if (code < 0x80) {  // an application header: text name, then its value
            --c.p;
            if (!SkipText(c)) return false;
        }
        if (!SkipValue(c)) return false;
    }
    h->end = c.p - pdu;
    return true;
}

}  // namespace

void report_requests(const uint8_t *pdu, size_t len, int *deliveryReport, int *readReply) {
    HeaderWalk h;
    walk_header(pdu, len, &h);  // what was read before a cut still counts
    if (h.deliveryReport >= 0) *deliveryReport = pdu[h.deliveryReport] == MMS_YES ? 1 : 0;
    if (h.readReply >= 0) *readReply = pdu[h.readReply] == MMS_YES ? 1 : 0;
}

bool ask_for_reports(std::vector<uint8_t> &pdu, bool deliveryReport, bool readReply) {
    HeaderWalk h;
    if (!walk_header(pdu.data(), pdu.size(), &h)) return false;
    std::vector<uint8_t> added;
    auto ask = [&](bool wanted, long at, uint8_t code) {
        if (!wanted) return;
        if (at >= 0) {
            pdu[static_cast<size_t>(at)] = MMS_YES;
        } else {
            added.push_back(code);
            added.push_back(MMS_YES);
        }
    };
    ask(deliveryReport, h.deliveryReport, MMS_DELIVERY_REPORT_FIELD);
    ask(readReply, h.readReply, MMS_READ_REPLY_FIELD);
    pdu.insert(pdu.begin() + h.end, added.begin(), added.end());
    return true;
}

}  // namespace rrtool
