// Encoders of the reports about a message already sent: the delivery report
// (m-delivery-ind) and the read report to its sender (m-read-orig-ind),
// which a relay writes, and the read report a recipient's terminal sends
// (m-read-rec-ind, MMS 1.2 and later).
//
// Reports carry no Transaction-Id: Message-Type and MMS-Version come first,
// then the Message-ID of the message reported on. As every encoder, each adds
// up the space its fields can take, opens one buffer and writes through the
// bounded writer.
#include <cstring>

#include "MMSProl_Encapsulaton_Encode.h"
#include "MMSProl_Encapsulaton_EncodeRelay.h"
#include "qx_log.h"

using namespace mmsenc;

namespace {

// Message-Type, MMS-Version and Message-ID.
constexpr uint64_t kHeadFixed = 2 + 2 + 1;
// Date: code and Long-integer.
constexpr uint64_t kDateField = 1 + kMaxLongInteger;
// From with the insert-address token: code, Value-length 1, token.
constexpr uint64_t kInsertFrom = 3;

void put_report_head(qx::Writer &w, uint8_t type, const char *messageId) {
    put_field(w, MMS_MESSAGE_TYPE_FIELD, type);
    put_field(w, MMS_VERSION_FIELD, MMS_VERSION_1_2);
    w.byte(MMS_MESSAGE_ID_FIELD);
    SetQuoteTextString(w, messageId);
}

bool has_text(const char *s) { return s && *s; }

// Opens a report: one buffer for its head, To and fields that follow (at
// most `more` bytes), the head and To written.
bool open_report(uint8_t type, const char *messageId, const char *to, uint64_t more, PduOut *out) {
    uint64_t bound = kHeadFixed + quote_text_string_size(messageId) + more;
    if (!add_address_list(bound, to) || !open_pdu(bound, out)) return false;
    put_report_head(out->w, type, messageId);
    SetAddressList(out->w, to, MMS_TO_FIELD);
    return true;
}

// Date, when set.
void put_date(qx::Writer &w, int date) {
    if (date <= 0) return;
    w.byte(MMS_DATE_FIELD);
    put_long_integer(w, static_cast<uint32_t>(date));
}

// A report names its message and at least one address in To.
bool names_message(const char *messageId, const char *to, const char *what) {
    if (has_text(messageId) && has_text(to)) return true;
    QX_LOG("mzk:%s without Message-ID or To", what);
    return false;
}

bool read_status_valid(uint8_t status) { return status == MMS_READ_STATUS_READ || status == MMS_READ_STATUS_DELETED; }

// m-read-rec-ind and m-read-orig-ind: the same fields in the same order. A
// terminal's read report may leave From to the relay (insert-address) and
// Date out; the relay's carries both.
template <typename Rec>
uint8_t *read_report_pdu(uint8_t type, const Rec *rec, int *len, const char *what) {
    if (!rec || !len) return nullptr;
    *len = 0;
    if (!names_message(rec->Message_Id, rec->To, what)) return nullptr;
    if (!read_status_valid(rec->Read_Status)) {
        QX_LOG("mzk:%s with Read-Status 0x%02X", what, rec->Read_Status);
        return nullptr;
    }
    const uint64_t from = has_text(rec->From) ? from_address_size(rec->From) : kInsertFrom;
    PduOut out{};
    if (!open_report(type, rec->Message_Id, rec->To, from + kDateField + 2, &out)) return nullptr;
    qx::Writer &w = out.w;
    if (has_text(rec->From)) {
        put_from_address(w, rec->From);
    } else {
        w.byte(MMS_FROM_FIELD);
        w.byte(0x01);
        w.byte(MMS_INSERT_ADDRESS_TOKEN);
    }
    put_date(w, rec->Date);
    put_field(w, MMS_READ_STATUS_FIELD, rec->Read_Status);
    return hand_out_pdu(out, len);
}

}  // namespace

uint8_t *fnMMS_MakeDeliveryIndPdu(const tMMS_DeliveryInd *rec, int *len) {
    if (!rec || !len) return nullptr;
    *len = 0;
    if (!names_message(rec->Message_Id, rec->To, "m-delivery-ind")) return nullptr;
    if (rec->Status < MMS_DELIVERY_EXPIRED || rec->Status > MMS_DELIVERY_UNREACHABLE) {
        QX_LOG("mzk:m-delivery-ind with Status 0x%02X", rec->Status);
        return nullptr;
    }
    PduOut out{};
    if (!open_report(MMS_M_DELIVERY_IND, rec->Message_Id, rec->To, kDateField + 2, &out)) return nullptr;
    put_date(out.w, rec->Date);
    put_field(out.w, MMS_STATUS_FIELD, rec->Status);
    return hand_out_pdu(out, len);
}

uint8_t *fnMMS_MakeReadRecIndPdu(const tMMS_ReadRecInd *rec, int *len) {
    return read_report_pdu(MMS_M_READ_REC_IND, rec, len, "m-read-rec-ind");
}

uint8_t *fnMMS_MakeReadOrigIndPdu(const tMMS_ReadOrigInd *rec, int *len) {
    return read_report_pdu(MMS_M_READ_ORIG_IND, rec, len, "m-read-orig-ind");
}
