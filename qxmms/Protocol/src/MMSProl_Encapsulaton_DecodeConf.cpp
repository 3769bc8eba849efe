// Decoders of the relay's confirmations (m-send-conf and the forward
// confirmation) and their reduction to one result number.
#include "MMSProl_Encapsulaton_Decode.h"

using namespace mmsdec;

namespace {

// The fields both confirmations carry; `other` for any other code. Response-
// Text is an Encoded-string-value: relays send it with a charset (UTF-8
// texts in the field), so it is read as one, like Subject.
template <typename Rec>
Step confirmation_field(WspCursor &c, Rec &rec, uint8_t code, Step other) {
    switch (code) {
        case MMS_MESSAGE_ID_FIELD:
            return quote_text_field(c, &rec.Message_Id);
        case MMS_RESPONSE_STATUS_FIELD:
            return byte_into(c, &rec.Response_Status);
        case MMS_RESPONSE_TEXT_FIELD:
            return step_after(read_encoded_text(c, &rec.Response_Text));
        case MMS_TRANSACTION_ID_FIELD:
            return quote_text_field(c, &rec.Transaction_Id);
        default:
            return other;
    }
}

Step send_conf_field(WspCursor &c, tMMS_SendConf &rec, uint8_t code) {
    switch (code) {
        case MMS_MESSAGE_TYPE_FIELD:
            return byte_into(c, &rec.Message_Type);
        case MMS_VERSION_FIELD:
            return byte_into(c, &rec.MMS_Version);
        default:
            // An unknown field ends decoding once the Transaction-Id is in.
            return confirmation_field(c, rec, code, rec.Transaction_Id ? Step::Stop : Step::Fail);
    }
}

Step fwd_conf_field(WspCursor &c, tMMS_FwdConf &rec, uint8_t code) {
    uint8_t v = 0;
    switch (code) {
        case MMS_MESSAGE_TYPE_FIELD:
            if (!take_byte(c, &v)) return Step::Stop;
            return v == MMS_M_FORWARD_CONF ? Step::Next : Step::Fail;
        case MMS_VERSION_FIELD:
            return skip_byte(c);
        default:
            return confirmation_field(c, rec, code, Step::Fail);
    }
}

constexpr uint16_t kNoStatus = 9;
constexpr uint16_t kUndecodable = 10;

// Response-Status 0x80 Ok .. 0x88 Error-unsupported-message give 0..8.
constexpr uint16_t map_status(uint8_t status) {
    return (status >= 0x80 && status <= 0x88) ? static_cast<uint16_t>(status - 0x80) : kNoStatus;
}
static_assert(map_status(0x80) == 0 && map_status(0x88) == 8 && map_status(0x89) == 9 && map_status(0) == 9);

}  // namespace

tMMS_SendConf *fnMMS_ParseSendConf(const uint8_t *pdu, int len) {
    if (!pdu || len <= 0) return nullptr;
    auto *rec = static_cast<tMMS_SendConf *>(fnMMS_AllocMessageMem(MMS_STRUCT_SEND_CONF));
    return decode_fields(rec, MMS_STRUCT_SEND_CONF, pdu, len, send_conf_field);
}

tMMS_FwdConf *fnMMS_ParseFwdConf(const uint8_t *pdu, int len) {
    if (!pdu || len < 0) return nullptr;
    auto *rec = static_cast<tMMS_FwdConf *>(fnMMS_AllocMessageMem(MMS_STRUCT_FWD_CONF));
    return decode_fields(rec, MMS_STRUCT_FWD_CONF, pdu, len, fwd_conf_field);
}

namespace {

// A confirmation reduced to its result number; the record is released.
template <typename Rec>
uint16_t conf_result(Rec *(*parse)(const uint8_t *, int), int type, const unsigned char *pdu, int len) {
    if (!pdu || len <= 0) return kUndecodable;
    Rec *conf = parse(pdu, len);
    if (!conf) return kUndecodable;
    const uint16_t result = map_status(conf->Response_Status);
    fnMMS_FreeMessageMem(conf, type);
    return result;
}

}  // namespace

extern "C" uint16_t fnMMS_RecvSendConfData(const unsigned char *pdu, int len) {
    return conf_result(fnMMS_ParseSendConf, MMS_STRUCT_SEND_CONF, pdu, len);
}

extern "C" uint16_t fnMMS_RecvFwdConfData(const unsigned char *pdu, int len) {
    return conf_result(fnMMS_ParseFwdConf, MMS_STRUCT_FWD_CONF, pdu, len);
}
