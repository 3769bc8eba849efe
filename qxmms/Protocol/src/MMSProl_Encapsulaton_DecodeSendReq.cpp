// Decoder of a stored m-send-req, so that a message can be opened again for
// editing.
#include "MMSProl_Encapsulaton_Decode.h"
#include "qx_log.h"

using namespace mmsdec;

namespace {

struct SendLists {
    ListText to;
    ListText cc;
    ListText bcc;
    bool bodyInPlace;  // the body points into the PDU instead of being copied
};

Step send_field(WspCursor &c, tMMS_SendReq &rec, uint8_t code, SendLists &lists) {
    switch (code) {
        case MMS_BCC_FIELD:
            return list_field(c, lists.bcc);
        case MMS_CC_FIELD:
            return list_field(c, lists.cc);
        case MMS_TO_FIELD:
            return list_field(c, lists.to);
        case MMS_CONTENT_TYPE_FIELD:
            return lists.bodyInPlace ? body_in_place(c, &rec.ContentTypeAndBody, &rec.Body_Len)
                                     : body_field(c, &rec.ContentTypeAndBody, &rec.Body_Len);
        case MMS_DATE_FIELD:
            return date_into(c, &rec.Date);
        case MMS_DELIVERY_REPORT_FIELD:
        case MMS_MESSAGE_TYPE_FIELD:
        case MMS_VERSION_FIELD:
        case MMS_READ_REPLY_FIELD:
        case MMS_SENDER_VISIBILITY_FIELD:
            // The record keeps its initial values for these.
            return skip_byte(c);
        case MMS_DELIVERY_TIME_FIELD:
        case MMS_EXPIRY_FIELD:
            return skip_value(c);
        case MMS_FROM_FIELD: {
            const FromValue from = read_from(c);
            if (from.got == Got::Incomplete || from.got == Got::NoMemory) return step_after(from.got);
            QX_LOG("mzk:GetLengthValue:strlength=%d,FromFieldType=%d", static_cast<int>(from.length),
                   static_cast<int>(from.token));
            if (from.token == MMS_ADDRESS_PRESENT_TOKEN) {
                if (from.got == Got::Value) {
                    qx::free_ptr(rec.From);
                    rec.From = from.address;
                }
                QX_LOG("mzk: pSend->From=%s,MMS_FROM_FIELD next=%x", rec.From ? rec.From : "(null)",
                       c.left() > 0 ? static_cast<unsigned>(*c.p) : 0u);
            }
            return Step::Next;
        }
        case MMS_MESSAGE_CLASS_FIELD:
            return message_class(c, &rec.Message_Class);
        case MMS_PRIORITY_FIELD:
            return byte_into(c, &rec.Priority);
        case MMS_SUBJECT_FIELD:
            return subject_field(c, &rec.Subject);
        case MMS_TRANSACTION_ID_FIELD:
            if (empty_text_at(c)) {
                QX_LOG("mzk:no Transaction_Id");
                return Step::Fail;
            }
            return quote_text_field(c, &rec.Transaction_Id);
        default:
            // Fields not kept in the record (MMS 1.2 and 1.3 fields,
            // application headers) are stepped over.
            return skip_field(c, code);
    }
}

}  // namespace

namespace {

// With bodyInPlace the body is left where it lies (it is the last field: a
// record that holds one is always handed out, never released here).
tMMS_SendReq *decode_send(const uint8_t *pdu, int len, tMMS_DecodeReport *why, bool bodyInPlace) {
    QX_LOG("mzk:enter fnMMS_ParseSendContent");
    if (!pdu || len < 0) QX_LOG("mzk:input parameters invalid");
    else if (len == 0) QX_LOG("mzk:Content_len <= 0");
    auto *rec = checked_record<tMMS_SendReq>(MMS_STRUCT_SEND_REQ, MMS_M_SEND_REQ, pdu, len, why);
    if (!rec) {
        if (why->fault == MmsDecodeFault::NoMemory) QX_LOG("mzk:fail to allocate memory");
        return nullptr;
    }
    const SendLists lists{list_text(&rec->To), list_text(&rec->Cc), list_text(&rec->Bcc), bodyInPlace};
    return decode_lenient(rec, MMS_STRUCT_SEND_REQ, pdu, len, why, lists, send_field);
}

}  // namespace

tMMS_SendReq *fnMMS_ParseSendContent(const uint8_t *pdu, int len, tMMS_DecodeReport *why) {
    return decode_send(pdu, len, why, false);
}

extern "C" tMMS_SendReq *fnMMS_ParseSendContent(const unsigned char *pdu, int len) {
    tMMS_DecodeReport report{};
    return fnMMS_ParseSendContent(pdu, len, &report);
}

tMMS_SendReq *MMS_ParseSendContentInPlace(const uint8_t *pdu, int len, tMMS_DecodeReport *why) {
    return decode_send(pdu, len, why, true);
}
