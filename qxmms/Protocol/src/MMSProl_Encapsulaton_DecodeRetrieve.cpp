// Decoder of m-retrieve-conf, the message fetched from the relay.
#include "MMSProl_Encapsulaton_Decode.h"

using namespace mmsdec;

namespace {

struct RetrieveLists {
    ListText to;
    ListText cc;
    bool bodyInPlace;  // the body points into the PDU instead of being copied
};

Step retrieve_field(WspCursor &c, tMMS_RetrieveConf &rec, uint8_t code, RetrieveLists &lists) {
    uint8_t v = 0;
    switch (code) {
        case MMS_BCC_FIELD: {
            char *address = nullptr;
            const Got g = read_address(c, &address);
            qx::free_ptr(address);
            return step_after(g);
        }
        case MMS_CC_FIELD:
            return list_field(c, lists.cc);
        case MMS_TO_FIELD:
            return list_field(c, lists.to);
        case MMS_CONTENT_TYPE_FIELD:
            return lists.bodyInPlace ? body_in_place(c, &rec.body, &rec.Content_Size)
                                     : body_field(c, &rec.body, &rec.Content_Size);
        case MMS_DATE_FIELD:
            return date_into(c, &rec.Date);
        case MMS_DELIVERY_REPORT_FIELD:
            return yes_no(c, &rec.Delivery_Report);
        case MMS_READ_REPLY_FIELD:
            return yes_no(c, &rec.Read_Reply);
        case MMS_FROM_FIELD:
            return from_field(c, &rec.From);
        case MMS_MESSAGE_CLASS_FIELD:
            return message_class(c, &rec.Message_Class);
        case MMS_MESSAGE_ID_FIELD:
            return quote_text_field(c, &rec.Message_Id);
        case MMS_MESSAGE_TYPE_FIELD:
            if (!take_byte(c, &v)) return Step::Stop;
            return v == MMS_M_RETRIEVE_CONF ? Step::Next : Step::Fail;
        case MMS_VERSION_FIELD:
        case MMS_SENDER_VISIBILITY_FIELD:
            return skip_byte(c);
        case MMS_PRIORITY_FIELD:
            return byte_into(c, &rec.Priority);
        case MMS_RETRIEVE_STATUS_FIELD:
            return byte_into(c, &rec.Retrieve_Status);
        case MMS_SUBJECT_FIELD:
            return subject_field(c, &rec.Subject);
        case MMS_TRANSACTION_ID_FIELD:
            if (empty_text_at(c)) return Step::Fail;
            return quote_text_field(c, &rec.Transaction_Id);
        default:
            // Previously-Sent-*, Retrieve-Text, MMS 1.3 fields, application
            // headers: not stored here.
            return skip_field(c, code);
    }
}

}  // namespace

namespace {

// With bodyInPlace the body is left where it lies (it is the last field: a
// record that holds one is always handed out, never released here).
tMMS_RetrieveConf *decode_retrieve(const uint8_t *pdu, int len, tMMS_DecodeReport *why, bool bodyInPlace) {
    auto *rec = checked_record<tMMS_RetrieveConf>(MMS_STRUCT_RETRIEVE_CONF, MMS_M_RETRIEVE_CONF, pdu, len, why);
    if (!rec) return nullptr;
    const RetrieveLists lists{list_text(&rec->To), list_text(&rec->Cc), bodyInPlace};
    return decode_lenient(rec, MMS_STRUCT_RETRIEVE_CONF, pdu, len, why, lists, retrieve_field);
}

}  // namespace

tMMS_RetrieveConf *fnMMS_ParseRetrieveConf(const uint8_t *pdu, int len, tMMS_DecodeReport *why) {
    return decode_retrieve(pdu, len, why, false);
}

extern "C" tMMS_RetrieveConf *fnMMS_ParseRetrieveConf(const unsigned char *pdu, int len) {
    tMMS_DecodeReport why{};
    return fnMMS_ParseRetrieveConf(pdu, len, &why);
}

tMMS_RetrieveConf *MMS_ParseRetrieveConfInPlace(const uint8_t *pdu, int len, tMMS_DecodeReport *why) {
    return decode_retrieve(pdu, len, why, true);
}
