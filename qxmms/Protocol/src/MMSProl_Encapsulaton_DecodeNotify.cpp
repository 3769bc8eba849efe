// Decoder of m-notification-ind, the push that announces a new message.
#include "MMSProl_Encapsulaton_Decode.h"
#include "qx_log.h"

using namespace mmsdec;

namespace {

// Expiry: the absolute/relative token and the time.
Step expiry(WspCursor &c, tMMS_NotifyInd &rec) {
    const TimeValue t = read_time(c);
    if (t.hasToken) rec.Expiry_Token = t.token;
    if (t.got == Got::Value) rec.Expiry = static_cast<int>(t.seconds);
    return t.got == Got::Incomplete ? Step::Stop : Step::Next;
}

Step notification_field(WspCursor &c, tMMS_NotifyInd &rec, uint8_t code) {
    uint8_t v = 0;
    switch (code) {
        case MMS_CONTENT_LOCATION_FIELD:
            return quote_text_field(c, &rec.Content_Location);
        case MMS_DELIVERY_REPORT_FIELD:
        case MMS_VERSION_FIELD:
            return skip_byte(c);
        case MMS_DELIVERY_TIME_FIELD:
            return skip_value(c);
        case MMS_EXPIRY_FIELD:
            return expiry(c, rec);
        case MMS_FROM_FIELD:
            return from_field(c, &rec.From);
        case MMS_MESSAGE_CLASS_FIELD:
            return message_class(c, &rec.Message_Class);
        case MMS_MESSAGE_TYPE_FIELD:
            if (!take_byte(c, &v)) return Step::Stop;
            return v == MMS_M_NOTIFICATION_IND ? Step::Next : Step::Fail;
        case MMS_MESSAGE_SIZE_FIELD:
            return integer_into(c, &rec.Message_Size);
        case MMS_PRIORITY_FIELD:
            return byte_into(c, &rec.Priority);
        case MMS_SUBJECT_FIELD:
            return subject_field(c, &rec.Subject);
        case MMS_TRANSACTION_ID_FIELD:
            return quote_text_field(c, &rec.Transaction_Id);
        case MMS_CONTENT_TYPE_FIELD:
            return Step::Stop;  // the last header: a body follows, no fields
        default:
            // MMS 1.2 and 1.3 fields (Content-Class, Distribution-Indicator,
            // Reply-Charging, Applic-ID, ...) and application headers.
            return skip_field(c, code);
    }
}

}  // namespace

tMMS_NotifyInd *fnMMS_ParseNotificationInd(const uint8_t *pdu, int len) {
    if (!pdu || len < 0) return nullptr;
    QX_LOG("mzk:fnMMS_ParseNotificationInd");
    if (len == 0) return nullptr;
    auto *rec = static_cast<tMMS_NotifyInd *>(fnMMS_AllocMessageMem(MMS_STRUCT_MMS_NOTIFICATION_IND));
    return decode_fields(rec, MMS_STRUCT_MMS_NOTIFICATION_IND, pdu, len, notification_field);
}
