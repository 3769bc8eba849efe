// Decoders of the PDUs that the terminal writes: the notification response
// (m-notifyresp-ind), the acknowledgement (m-acknowledge-ind) and the forward
// request. A relay reads them; so do the tools that show PDUs.
#include "MMSProl_Encapsulaton_Decode.h"

using namespace mmsdec;

namespace {

constexpr char kTransactionId[] = "Transaction-Id";

// m-notifyresp-ind and m-acknowledge-ind: the same fields, and the
// notification response's Status.
template <typename Rec>
Step answer_field(WspCursor &c, Rec &rec, uint8_t code) {
    switch (code) {
        case MMS_MESSAGE_TYPE_FIELD:
            return token_into(c, &rec.Message_Type);
        case MMS_VERSION_FIELD:
            return token_into(c, &rec.MMS_Version);
        case MMS_REPORT_ALLOWED_FIELD:
            return token_into(c, &rec.Report_Allowed);
        case MMS_TRANSACTION_ID_FIELD:
            return quote_text_field(c, &rec.Transaction_Id);
        case MMS_STATUS_FIELD:
            if constexpr (requires { rec.Status; }) return token_into(c, &rec.Status);
            [[fallthrough]];
        default:
            return skip_value(c);
    }
}

// Expiry and Delivery-Time of a forward request: both the token and the time
// must be there.
Step time_field(WspCursor &c, unsigned char *relative, int *value) {
    const TimeValue t = read_time(c);
    if (t.got == Got::Incomplete) return Step::Stop;
    if (t.got != Got::Value || (t.token != MMS_ABSOLUTE_TOKEN && t.token != MMS_RELATIVE_TOKEN)) return Step::Fail;
    *relative = t.token == MMS_RELATIVE_TOKEN ? 1 : 0;
    *value = static_cast<int>(t.seconds);
    return Step::Next;
}

struct FwdLists {
    ListText to;
    ListText cc;
    ListText bcc;
};

Step fwd_req_field(WspCursor &c, tMMS_FwdReq &rec, uint8_t code, FwdLists &lists) {
    switch (code) {
        case MMS_TRANSACTION_ID_FIELD:
            return quote_text_field(c, &rec.Transaction_Id);
        case MMS_TO_FIELD:
            return list_field(c, lists.to);
        case MMS_CC_FIELD:
            return list_field(c, lists.cc);
        case MMS_BCC_FIELD:
            return list_field(c, lists.bcc);
        case MMS_CONTENT_LOCATION_FIELD:
            return quote_text_field(c, &rec.Content_Location);
        case MMS_DATE_FIELD:
            return date_into(c, &rec.Date);
        case MMS_EXPIRY_FIELD:
            return time_field(c, &rec.Expiry_Relative, &rec.Expiry);
        case MMS_DELIVERY_TIME_FIELD:
            return time_field(c, &rec.Delivery_Time_Relative, &rec.Delivery_Time);
        case MMS_DELIVERY_REPORT_FIELD:
            return yes_no_token(c, &rec.Delivery_Report);
        case MMS_READ_REPLY_FIELD:
            return yes_no_token(c, &rec.Read_Reply);
        default:
            // From is always "insert address"; the rest is not kept.
            return skip_value(c);
    }
}

template <typename Rec>
Rec *parse_answer(int type, uint8_t messageType, const uint8_t *pdu, int len, tMMS_DecodeReport *why) {
    tMMS_DecodeReport local{};
    if (!why) why = &local;
    auto *r = checked_record<Rec>(type, messageType, pdu, len, why);
    r = decode_checked(r, type, pdu, len, why, answer_field<Rec>);
    return require_text(r, type, r ? r->Transaction_Id : nullptr, kTransactionId, why);
}

}  // namespace

tMMS_NotifyRespInd *fnMMS_ParseNotifyRespInd(const uint8_t *pdu, int len, tMMS_DecodeReport *why) {
    return parse_answer<tMMS_NotifyRespInd>(MMS_STRUCT_NOTIFYRESP_IND, MMS_M_NOTIFYRESP_IND, pdu, len, why);
}

tMMS_AcknowledgeInd *fnMMS_ParseAcknowledgeInd(const uint8_t *pdu, int len, tMMS_DecodeReport *why) {
    return parse_answer<tMMS_AcknowledgeInd>(MMS_STRUCT_ACKNOWLEDGE_IND, MMS_M_ACKNOWLEDGE_IND, pdu, len, why);
}

tMMS_FwdReq *fnMMS_ParseFwdReq(const uint8_t *pdu, int len, tMMS_DecodeReport *why) {
    tMMS_DecodeReport local{};
    if (!why) why = &local;
    constexpr int type = MMS_STRUCT_FWD_REQ;
    auto *r = checked_record<tMMS_FwdReq>(type, MMS_M_FORWARD_REQ, pdu, len, why);
    if (!r) return nullptr;
    FwdLists lists{list_text(&r->To), list_text(&r->Cc), list_text(&r->Bcc)};
    r = decode_checked(r, type, pdu, len, why, [&lists](WspCursor &c, tMMS_FwdReq &rec, uint8_t code) {
        return fwd_req_field(c, rec, code, lists);
    });
    r = require_text(r, type, r ? r->Transaction_Id : nullptr, kTransactionId, why);
    return require_text(r, type, r ? r->Content_Location : nullptr, "Content-Location", why);
}

int fnMMS_FindMessageType(const uint8_t *pdu, int len) {
    if (!pdu || len <= 0) return MMS_NO_MESSAGE_TYPE;
    WspCursor c = wsp_cursor(pdu, len);
    while (c.left() > 0) {
        const uint8_t code = *c.p;
        if (code == MMS_MESSAGE_TYPE_FIELD) return c.left() >= 2 ? c.p[1] : MMS_NO_MESSAGE_TYPE;
        if (code == MMS_CONTENT_TYPE_FIELD) return MMS_NO_MESSAGE_TYPE;  // the body follows
        if (code < 0x80) {
            if (!SkipText(c)) return MMS_NO_MESSAGE_TYPE;  // an application header's name
        } else {
            ++c.p;
        }
        if (!SkipValue(c)) return MMS_NO_MESSAGE_TYPE;
    }
    return MMS_NO_MESSAGE_TYPE;
}
