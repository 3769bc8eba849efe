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

constexpr uint16_t kNoStatus = MMS_CONF_NO_STATUS;
constexpr uint16_t kUndecodable = MMS_CONF_UNDECODABLE;

// Response-Status 0x80 Ok .. 0x88 Error-unsupported-message give 0..8. The
// transient (0xC0..) and permanent (0xE0..) errors of later MMS versions give
// the result of their MMS 1.0 kin; any other status gives 9.
constexpr uint16_t map_status(uint8_t status) {
    if (status >= 0x80 && status <= 0x88) return static_cast<uint16_t>(status - 0x80);
    switch (status) {
        case 0xE1: return MMS_CONF_SERVICE_DENIED;       // Error-permanent-service-denied
        case 0xE2: return MMS_CONF_FORMAT_CORRUPT;       // Error-permanent-message-format-corrupt
        case 0xC1:                                       // Error-transient-sending-address-unresolved
        case 0xE3: return MMS_CONF_ADDRESS_UNRESOLVED;   // Error-permanent-sending-address-unresolved
        case 0xC2:                                       // Error-transient-message-not-found
        case 0xE4: return MMS_CONF_MESSAGE_NOT_FOUND;    // Error-permanent-message-not-found
        case 0xC3: return MMS_CONF_NETWORK_PROBLEM;      // Error-transient-network-problem
        case 0xE5: return MMS_CONF_CONTENT_NOT_ACCEPTED; // Error-permanent-content-not-accepted
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

// ---------------------------------------------------------------- matching a request

namespace {

bool same_text(const char *a, const char *b) {
    if (!a || !b) return false;
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

}  // namespace

const char *fnMMS_ConfMismatchText(MmsConfMismatch why) {
    switch (why) {
        case MmsConfMismatch::None: return "none";
        case MmsConfMismatch::Undecodable: return "it does not decode";
        case MmsConfMismatch::TypeNotFirst: return "its first field is not Message-Type";
        case MmsConfMismatch::NotSendConf: return "it is not an m-send-conf";
        case MmsConfMismatch::NoVersion: return "it has no MMS-Version";
        case MmsConfMismatch::NoTransactionId: return "it has no Transaction-Id";
        case MmsConfMismatch::OtherTransaction: return "its Transaction-Id is not the request's";
        case MmsConfMismatch::NoResponseStatus: return "it has no Response-Status";
    }
    return "unknown";
}

uint16_t fnMMS_CheckSendConf(const uint8_t *pdu, int len, const char *transactionId, MmsConfMismatch *why) {
    MmsConfMismatch local = MmsConfMismatch::None;
    if (!why) why = &local;
    *why = MmsConfMismatch::Undecodable;
    if (!pdu || len <= 0) return kUndecodable;
    if (pdu[0] != MMS_MESSAGE_TYPE_FIELD || len < 2) {
        *why = MmsConfMismatch::TypeNotFirst;
        return kUndecodable;
    }
    if (pdu[1] != MMS_M_SEND_CONF) {
        *why = MmsConfMismatch::NotSendConf;
        return kUndecodable;
    }
    // The record starts with defaults: whether a field was there is seen on
    // the way through.
    bool version = false, status = false;
    auto *conf = static_cast<tMMS_SendConf *>(fnMMS_AllocMessageMem(MMS_STRUCT_SEND_CONF));
    conf = decode_fields(conf, MMS_STRUCT_SEND_CONF, pdu, len, [&](WspCursor &c, tMMS_SendConf &r, uint8_t code) {
        version |= code == MMS_VERSION_FIELD;
        status |= code == MMS_RESPONSE_STATUS_FIELD;
        return send_conf_field(c, r, code);
    });
    if (!conf) return kUndecodable;
    if (!version)
        *why = MmsConfMismatch::NoVersion;
    else if (!conf->Transaction_Id || !*conf->Transaction_Id)
        *why = MmsConfMismatch::NoTransactionId;
    else if (!same_text(conf->Transaction_Id, transactionId))
        *why = MmsConfMismatch::OtherTransaction;
    else if (!status)
        *why = MmsConfMismatch::NoResponseStatus;
    else
        *why = MmsConfMismatch::None;
    const uint16_t result = *why == MmsConfMismatch::None ? map_status(conf->Response_Status) : kUndecodable;
    fnMMS_FreeMessageMem(conf, MMS_STRUCT_SEND_CONF);
    return result;
}

char *fnMMS_CopyTransactionId(const uint8_t *pdu, int len) {
    if (!pdu || len <= 0) return nullptr;
    WspCursor c = wsp_cursor(pdu, len);
    while (c.left() > 0) {
        const uint8_t code = *c.p;
        if (code == MMS_CONTENT_TYPE_FIELD) return nullptr;  // the body follows
        if (code == MMS_TRANSACTION_ID_FIELD) {
            ++c.p;
            int n = 0;
            char *tid = GetQuoteTextString(c, &n);
            if (tid && !*tid) qx::free_ptr(tid);
            return tid;
        }
        if (code < 0x80) {
            if (!SkipText(c)) return nullptr;  // an application header's name
        } else {
            ++c.p;
        }
        if (!SkipValue(c)) return nullptr;
    }
    return nullptr;
}
