// Decoders of the reports a relay sends about a message already sent: the
// delivery report (m-delivery-ind) and the read reports (m-read-rec-ind,
// m-read-orig-ind).
#include "MMSProl_Encapsulaton_Decode.h"

using namespace mmsdec;

namespace {

constexpr char kMessageId[] = "Message-ID";

Step delivery_field(WspCursor &c, tMMS_DeliveryInd &rec, uint8_t code, ListText &to) {
    switch (code) {
        case MMS_STATUS_FIELD:
            return token_into(c, &rec.Status);
        case MMS_MESSAGE_ID_FIELD:
            return quote_text_field(c, &rec.Message_Id);
        case MMS_TO_FIELD:
            return list_field(c, to);
        case MMS_DATE_FIELD:
            return date_into(c, &rec.Date);
        default:
            return skip_value(c);
    }
}

// m-read-rec-ind and m-read-orig-ind carry the same fields.
template <typename Rec>
Step read_report_field(WspCursor &c, Rec &rec, uint8_t code, ListText &to) {
    switch (code) {
        case MMS_MESSAGE_ID_FIELD:
            return quote_text_field(c, &rec.Message_Id);
        case MMS_TO_FIELD:
            return list_field(c, to);
        case MMS_FROM_FIELD:
            return from_field(c, &rec.From);
        case MMS_DATE_FIELD:
            return date_into(c, &rec.Date);
        case MMS_READ_STATUS_FIELD:
            return token_into(c, &rec.Read_Status);
        default:
            return skip_value(c);
    }
}

// Every report: a To list, the fields of `Field`, and its Message-ID.
template <typename Rec, typename Field>
Rec *decode_report(int type, uint8_t messageType, const uint8_t *pdu, int len, tMMS_DecodeReport *why,
                   Field field) {
    tMMS_DecodeReport local{};
    if (!why) why = &local;
    auto *r = checked_record<Rec>(type, messageType, pdu, len, why);
    if (!r) return nullptr;
    ListText to = list_text(&r->To);
    r = decode_checked(r, type, pdu, len, why,
                       [&](WspCursor &c, Rec &rec, uint8_t code) { return field(c, rec, code, to); });
    return require_text(r, type, r ? r->Message_Id : nullptr, kMessageId, why);
}

}  // namespace

tMMS_DeliveryInd *fnMMS_ParseDeliveryInd(const uint8_t *pdu, int len, tMMS_DecodeReport *why) {
    return decode_report<tMMS_DeliveryInd>(MMS_STRUCT_DELIVERY_IND, MMS_M_DELIVERY_IND, pdu, len, why,
                                           delivery_field);
}

tMMS_ReadRecInd *fnMMS_ParseReadRecInd(const uint8_t *pdu, int len, tMMS_DecodeReport *why) {
    return decode_report<tMMS_ReadRecInd>(MMS_STRUCT_READ_REC_IND, MMS_M_READ_REC_IND, pdu, len, why,
                                          read_report_field<tMMS_ReadRecInd>);
}

tMMS_ReadOrigInd *fnMMS_ParseReadOrigInd(const uint8_t *pdu, int len, tMMS_DecodeReport *why) {
    return decode_report<tMMS_ReadOrigInd>(MMS_STRUCT_READ_ORIG_IND, MMS_M_READ_ORIG_IND, pdu, len, why,
                                           read_report_field<tMMS_ReadOrigInd>);
}
