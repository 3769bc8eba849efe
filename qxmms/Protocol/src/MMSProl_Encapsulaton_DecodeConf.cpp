// Decoders of the relay's confirmations (m-send-conf and the forward
// confirmation) and their reduction to one result number.
#include "MMSProl_Encapsulaton_Decode.h"

using namespace mmsdec;

namespace {

// The fields both confirmations carry. Response-Text is an
// Encoded-string-value: relays send it with a charset (UTF-8 texts in the
// field), so it is read as one, like Subject. Fields not kept in the record
// (Content-Location, Store-Status, MMS 1.3 fields, application headers) are
// stepped over; a Content-Type is the last header, no field follows it.
template <typename Rec>
Step confirmation_field(WspCursor &c, Rec &rec, uint8_t code) {
    switch (code) {
        case MMS_MESSAGE_ID_FIELD:
            return quote_text_field(c, &rec.Message_Id);
        case MMS_RESPONSE_STATUS_FIELD:
            return byte_into(c, &rec.Response_Status);
        case MMS_RESPONSE_TEXT_FIELD:
            return step_after(read_encoded_text(c, &rec.Response_Text));
        case MMS_TRANSACTION_ID_FIELD:
            return quote_text_field(c, &rec.Transaction_Id);
        case MMS_CONTENT_TYPE_FIELD:
            return Step::Stop;
        default:
            return skip_field(c, code);
    }
}

Step send_conf_field(WspCursor &c, tMMS_SendConf &rec, uint8_t code) {
    switch (code) {
        case MMS_MESSAGE_TYPE_FIELD:
            return byte_into(c, &rec.Message_Type);
        case MMS_VERSION_FIELD:
            return byte_into(c, &rec.MMS_Version);
        default:
            return confirmation_field(c, rec, code);
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
            return confirmation_field(c, rec, code);
    }
}

constexpr uint16_t kNoStatus = 9;
constexpr uint16_t kUndecodable = 10;

// Response-Status 0x80 Ok .. 0x88 Error-unsupported-message give 0..8. The
// transient (0xC0..) and permanent (0xE0..) errors of later MMS versions give
// the result of their MMS 1.0 kin; any other status gives 9.
constexpr uint16_t map_status(uint8_t status) {
    if (status >= 0x80 && status <= 0x88) return static_cast<uint16_t>(status - 0x80);
    switch (status) {
        case 0xE1: return 2;  // Error-permanent-service-denied
        case 0xE2: return 3;  // Error-permanent-message-format-corrupt
        case 0xC1:            // Error-transient-sending-address-unresolved
        case 0xE3: return 4;  // Error-permanent-sending-address-unresolved
        case 0xC2:            // Error-transient-message-not-found
        case 0xE4: return 5;  // Error-permanent-message-not-found
        case 0xC3: return 6;  // Error-transient-network-problem
        case 0xE5: return 7;  // Error-permanent-content-not-accepted
        default: return kNoStatus;
    }
}
static_assert(map_status(0x80) == 0 && map_status(0x88) == 8 && map_status(0x89) == 9 && map_status(0) == 9);
static_assert(map_status(0xE1) == 2 && map_status(0xC3) == 6 && map_status(0xE0) == 9 && map_status(0xC0) == 9);

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
