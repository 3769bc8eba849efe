// Decoder of m-notification-ind, the push that announces a new message.
#include "MMSProl_Encapsulaton_Decode.h"
#include "qx_log.h"

using namespace mmsdec;

namespace {

// Expiry: Value-length, the absolute/relative token, then the time.
Step expiry(WspCursor &c, tMMS_NotifyInd &rec) {
    uint32_t len = 0;
    const int r = read_value_length(c, &len);
    if (r < 0) return Step::Stop;
    if (r == 0) return skip_wsp_value(c) ? Step::Next : Step::Stop;
    WspCursor value{};
    if (!take_region(c, len, &value)) return Step::Stop;
    if (value.left() < 1) return Step::Next;
    rec.Expiry_Token = *value.p++;
    uint32_t seconds = 0;
    if (read_integer(value, &seconds) == 1) rec.Expiry = static_cast<int>(seconds);
    return Step::Next;
}

Step notification_field(WspCursor &c, tMMS_NotifyInd &rec, uint8_t code) {
    uint8_t v = 0;
    switch (code) {
        case MMS_CONTENT_LOCATION_FIELD:
            return step_after(read_text(c, GetQuoteTextString, &rec.Content_Location));
        case MMS_DELIVERY_REPORT_FIELD:
        case MMS_VERSION_FIELD:
            return skip_byte(c);
        case MMS_DELIVERY_TIME_FIELD:
            return skip_wsp_value(c) ? Step::Next : Step::Stop;
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
            return step_after(read_encoded_text(c, &rec.Subject));
        case MMS_TRANSACTION_ID_FIELD:
            return step_after(read_text(c, GetQuoteTextString, &rec.Transaction_Id));
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
