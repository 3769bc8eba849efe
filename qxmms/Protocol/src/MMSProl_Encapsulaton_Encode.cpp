// PDU encoders: m-send-req, m-notifyresp-ind, m-acknowledge-ind and the
// forward request.
//
// Each encoder first adds up the space its fields can take (exactly, or as a
// safe upper bound for address lists and encoded strings), allocates that
// much once and then writes the fields through a bounded writer: a bound that
// falls short gives a failed encode, never a write past the buffer. Totals
// are summed in 64 bits; a PDU whose size does not fit in an int is refused.
#include <climits>
#include <cstring>

#include "MMSProl_Encapsulaton_Encode.h"
#include "qx_internal.h"
#include "qx_log.h"

using namespace mmsenc;

namespace mmsenc {

bool open_pdu(uint64_t bound, PduOut *out) {
    const uint64_t size = bound + kTrailingZero;
    if (size > static_cast<uint64_t>(INT_MAX)) {
        QX_LOG("mzk:pdu too large, size=%llu", static_cast<unsigned long long>(size));
        return false;
    }
    // Not zero-filled: every byte handed out is written, the trailing zero too.
    out->buf = static_cast<uint8_t *>(qx::alloc_uninit(static_cast<int>(size)));
    if (!out->buf) {
        QX_LOG("mzk:fail to allocate memory");
        return false;
    }
    // The trailing zero stays outside the writer.
    out->w = qx::Writer::over(out->buf, static_cast<size_t>(bound));
    return true;
}

uint8_t *hand_out_pdu(PduOut &out, int *len) {
    if (!out.w.ok()) {
        QX_LOG("mzk:pdu larger than its computed size");
        qx::free_ptr(out.buf);
        return nullptr;
    }
    *len = static_cast<int>(out.w.written());
    out.buf[*len] = 0;
    return out.buf;
}

void put_field(qx::Writer &w, uint8_t code, uint8_t value) {
    w.byte(code);
    w.byte(value);
}

void put_head(qx::Writer &w, uint8_t type, const char *transactionId) {
    put_field(w, MMS_MESSAGE_TYPE_FIELD, type);
    w.byte(MMS_TRANSACTION_ID_FIELD);
    SetQuoteTextString(w, transactionId);  // quoted when it begins with 0x7F or more
    put_field(w, MMS_VERSION_FIELD, MMS_VERSION_1_2);
}

uint64_t text_string_size(const char *s) { return (s ? std::strlen(s) : 0) + 1; }
uint64_t quote_text_string_size(const char *s) { return text_string_size(s) + 1; }
uint64_t encoded_string_size(const char *s) { return kMaxValueLength + 1 + quote_text_string_size(s); }

WireText::~WireText() { qx::free_ptr(word); }

bool wire_text(const char *text, WireText *out) {
    out->text = text;
    if (EncodedWordGuard(text, &out->word) == WordGuard::NoMemory) {
        QX_LOG("mzk:fail to allocate memory");
        return false;
    }
    if (out->word) out->text = out->word;
    return true;
}

bool add_address_list(uint64_t &total, const char *list) {
    if (!list) return true;
    const int bound = AddressListSizeBound(list);
    if (bound < 0 || bound == INT_MAX) return false;
    total += static_cast<uint64_t>(bound);
    return true;
}

}  // namespace mmsenc

namespace {

// Field code + Value-length byte + token + Long-integer (Expiry, Delivery-Time).
constexpr uint64_t kMaxTimeField = 1 + 1 + 1 + kMaxLongInteger;
// Field code + Long-integer (Date).
constexpr uint64_t kMaxDateField = 1 + kMaxLongInteger;
// A From field: code, Value-length, token, the address's form (a quote, or
// a Value-length and charset), the address, zero.
uint64_t from_field_size(const char *address) {
    return 1 + kMaxValueLength + 1 + kMaxValueLength + 1 + std::strlen(address) + 1;
}

inline uint8_t yes_no(int flag) { return flag ? MMS_YES : MMS_NO; }

// Date: field code and Long-integer.
void put_date(qx::Writer &w, uint32_t date) {
    w.byte(MMS_DATE_FIELD);
    SetLongInteger(w, date);
}

// Expiry / Delivery-Time: field code, Value-length, Absolute/Relative token,
// Long-integer.
void put_time(qx::Writer &w, uint8_t code, uint32_t value, int relative) {
    w.byte(code);
    w.byte(static_cast<uint8_t>(GetIntegerOctets(value) + 2));
    w.byte(relative ? MMS_RELATIVE_TOKEN : MMS_ABSOLUTE_TOKEN);
    SetLongInteger(w, value);
}

// The three recipient lists, To, Cc then Bcc.
void put_recipients(qx::Writer &w, const char *to, const char *cc, const char *bcc) {
    if (to) SetAddressList(w, to, MMS_TO_FIELD);
    if (cc) SetAddressList(w, cc, MMS_CC_FIELD);
    if (bcc) SetAddressList(w, bcc, MMS_BCC_FIELD);
}

// From field of a send request. A set From is sent as Address-present with a
// phone number's "/TYPE=PLMN" suffix (the address, prepared by the caller with
// AddressWithType, is written whole, in the long Value-length form when it
// needs one); a null one asks the relay to insert it.
void put_from(qx::Writer &w, const char *from, const char *address) {
    QX_LOG("mzk:from number=%s", from ? from : "(null)");
    w.byte(MMS_FROM_FIELD);
    if (!from) {
        QX_LOG("request from is null,MMS_INSERT_ADDRESS_TOKEN");
        w.byte(0x01);
        w.byte(MMS_INSERT_ADDRESS_TOKEN);
        return;
    }
    QX_LOG("request from field is not null,MMS_ADDRESS_PRESENT_TOKEN");
    const int addressLen = static_cast<int>(std::strlen(address));
    const auto first = static_cast<uint8_t>(address[0]);
    const int prefix = AddressPrefixSize(first, static_cast<uint32_t>(addressLen));
    int tmpLen = addressLen + 2 + prefix;  // token, [quote or length and charset,] address, zero
    QX_LOG("mzk:pAddress=%s,its size=%d,iTmpLen=%d", address, addressLen, tmpLen);
    if (tmpLen < 31) {
        w.byte(static_cast<uint8_t>(tmpLen));
    } else {
        w.byte(0x1F);
        // The uintvar is written into its own small buffer first, for the log.
        uint8_t unitVal[kMaxUintvar + 1] = {};
        qx::Writer unit = qx::Writer::over(unitVal, kMaxUintvar);
        const int unitLen = SetUintvar(unit, static_cast<uint32_t>(tmpLen));
        QX_LOG("mzk:pUnitVal=%s,iUnitvalLen=%d", reinterpret_cast<const char *>(unitVal), unitLen);
        w.bytes(unitVal, unit.written());
        // The whole value: 0x1F, the uintvar and the bytes it counts.
        tmpLen += 1 + unitLen;
        QX_LOG("mzk:new iTmpLen=%d", tmpLen);
    }
    w.byte(MMS_ADDRESS_PRESENT_TOKEN);
    SetAddressPrefix(w, first, static_cast<uint32_t>(addressLen));
    w.bytes(address, static_cast<size_t>(addressLen));
    w.byte(0x00);
}

uint8_t message_class_token(uint8_t cls) {
    switch (cls) {
        case 1: return 0x81;  // Advertisement
        case 2: return 0x82;  // Informational
        case 3: return 0x83;  // Auto
        default: return 0x80;  // Personal
    }
}

uint8_t priority_token(uint8_t priority) {
    switch (priority) {
        case 0: return 0x80;  // Low
        case 2: return 0x82;  // High
        default: return 0x81;  // Normal
    }
}

// Adds the To, Cc and Bcc fields to the bound; false when they cannot be
// represented.
bool add_recipients(uint64_t &bound, const char *to, const char *cc, const char *bcc) {
    if (add_address_list(bound, to) && add_address_list(bound, cc) && add_address_list(bound, bcc)) return true;
    QX_LOG("mzk:address list too large");
    return false;
}

// m-notifyresp-ind and m-acknowledge-ind share their first three fields and
// Report-Allowed; only the notification response carries a Status.
uint8_t *make_short_pdu(uint8_t type, const char *transactionId, int reportAllowed, const uint8_t *status,
                        int *len) {
    if (!transactionId || !len) return nullptr;
    *len = 0;
    const uint64_t bound = 2 + 1 + quote_text_string_size(transactionId) + 2 + 2 + (status ? 2 : 0);
    PduOut out{};
    if (!open_pdu(bound, &out)) return nullptr;
    qx::Writer &w = out.w;
    put_head(w, type, transactionId);
    put_field(w, MMS_REPORT_ALLOWED_FIELD, yes_no(reportAllowed));
    if (status) put_field(w, MMS_STATUS_FIELD, *status);
    return hand_out_pdu(out, len);
}

// The body of a send request: bytes already encoded, or parts encoded
// straight into the PDU.
struct SendBody {
    const uint8_t *bytes = nullptr;
    int64_t size = 0;
    const mmresstruct *parts = nullptr;
};

uint8_t *send_req_pdu(const tMMS_SendReq *req, const SendBody &body, int *len, int *bodyLen) {
    if (!req->Transaction_Id) {
        QX_LOG("mzk:no Transaction_Id");
        return nullptr;
    }
    const bool hasBody = body.parts || (body.bytes && body.size > 0);

    // The From address whole, with its type when it is a phone number.
    char *fromAddress = nullptr;
    if (req->From) {
        fromAddress = AddressWithType(req->From);
        if (!fromAddress) {
            QX_LOG("mzk:fail to allocate memory");
            return nullptr;
        }
    }
    qx::ScopeGuard releaseFrom([&] { qx::free_ptr(fromAddress); });
    WireText subject;
    if (!wire_text(req->Subject, &subject)) return nullptr;

    uint64_t bound = 2                                                 // Message-Type
                     + 1 + quote_text_string_size(req->Transaction_Id)  // Transaction-Id
                     + 2                                               // MMS-Version
                     + kMaxDateField                                   // Date
                     + (fromAddress ? from_field_size(fromAddress) : 3)  // From
                     + 2 + 2 * kMaxTimeField                           // Message-Class, Expiry, Delivery-Time
                     + 2 + 2 + 2 + 2;                                  // Priority, Sender-Visibility, reports
    if (subject.text) bound += 1 + encoded_string_size(subject.text);
    if (hasBody) bound += static_cast<uint64_t>(body.size);
    if (!add_recipients(bound, req->To, req->Cc, req->Bcc)) return nullptr;
    PduOut out{};
    if (!open_pdu(bound, &out)) return nullptr;

    qx::Writer &w = out.w;
    put_head(w, MMS_M_SEND_REQ, req->Transaction_Id);
    if (req->Date != 0) put_date(w, req->Date);
    put_from(w, req->From, fromAddress);
    put_recipients(w, req->To, req->Cc, req->Bcc);
    if (subject.text) {
        w.byte(MMS_SUBJECT_FIELD);
        SetEncodedStringValue(w, subject.text);
    }
    put_field(w, MMS_MESSAGE_CLASS_FIELD, message_class_token(req->Message_Class));
    if (req->Expiry > 0) put_time(w, MMS_EXPIRY_FIELD, static_cast<uint32_t>(req->Expiry), req->Expiry_Relative);
    if (req->Delivery_Time > 0)
        put_time(w, MMS_DELIVERY_TIME_FIELD, static_cast<uint32_t>(req->Delivery_Time), req->Delivery_Time_Relative);
    put_field(w, MMS_PRIORITY_FIELD, priority_token(req->Priority));
    put_field(w, MMS_SENDER_VISIBILITY_FIELD, req->Sender_Visibility ? 0x81 : 0x80);  // Show / Hide
    put_field(w, MMS_DELIVERY_REPORT_FIELD, yes_no(req->Delivery_Report));
    put_field(w, MMS_READ_REPLY_FIELD, yes_no(req->Read_Reply));
    // The body begins with its Content-Type field (0x84), the last header.
    if (body.parts) {
        const int64_t n = MMS_WriteBody(w, body.parts);
        if (n < 0) {
            qx::free_ptr(out.buf);
            return nullptr;
        }
        *bodyLen = static_cast<int>(n);
    } else if (hasBody) {
        w.bytes(body.bytes, static_cast<size_t>(body.size));
        *bodyLen = static_cast<int>(body.size);
    }
    return hand_out_pdu(out, len);
}

}  // namespace

uint8_t *fnMMS_MakeSendReqPdu(const tMMS_SendReq *req, int *len) {
    if (!req || !len) return nullptr;
    *len = 0;
    SendBody body;
    if (req->ContentTypeAndBody && req->Body_Len > 0) {
        body.bytes = req->ContentTypeAndBody;
        body.size = req->Body_Len;
    }
    int bodyLen = 0;
    return send_req_pdu(req, body, len, &bodyLen);
}

uint8_t *MMS_MakeSendReqPduWithBody(const tMMS_SendReq *req, const mmresstruct *parts, int *len, int *bodyLen) {
    if (!req || !len || !bodyLen) return nullptr;
    *len = 0;
    *bodyLen = 0;
    SendBody body;
    body.parts = parts;
    body.size = MMS_EncodedBodySize(parts);
    if (body.size < 0) return nullptr;
    return send_req_pdu(req, body, len, bodyLen);
}

uint8_t *fnMMS_MakeNotifyRespIndPdu(const char *transactionId, int reportAllowed, uint8_t status, int *len) {
    return make_short_pdu(MMS_M_NOTIFYRESP_IND, transactionId, reportAllowed, &status, len);
}

uint8_t *fnMMS_MakeAcknowledgeIndPdu(const char *transactionId, int reportAllowed, int *len) {
    return make_short_pdu(MMS_M_ACKNOWLEDGE_IND, transactionId, reportAllowed, nullptr, len);
}

extern "C" unsigned char *fnMMS_MakeFWDMessagePdu(const tMMS_FwdReq *req, int *len) {
    if (!req || !len) return nullptr;
    *len = 0;
    if (!req->Transaction_Id || !req->Content_Location) {
        QX_LOG("mzk:forward request without Transaction_Id or Content_Location");
        return nullptr;
    }
    uint64_t bound = 2                                           // Message-Type
                     + 1 + quote_text_string_size(req->Transaction_Id)  // Transaction-Id
                     + 2                                         // MMS-Version
                     + kMaxDateField                             // Date
                     + 3                                         // From: insert-address
                     + 2 * kMaxTimeField                         // Expiry, Delivery-Time
                     + 2 + 2                                     // reports
                     + 1 + quote_text_string_size(req->Content_Location);
    if (!add_recipients(bound, req->To, req->Cc, req->Bcc)) return nullptr;
    PduOut out{};
    if (!open_pdu(bound, &out)) return nullptr;

    qx::Writer &w = out.w;
    put_head(w, MMS_M_FORWARD_REQ, req->Transaction_Id);
    if (req->Date != 0) put_date(w, req->Date);
    w.byte(MMS_FROM_FIELD);
    w.byte(0x01);
    w.byte(MMS_INSERT_ADDRESS_TOKEN);
    put_recipients(w, req->To, req->Cc, req->Bcc);
    if (req->Expiry > 0) put_time(w, MMS_EXPIRY_FIELD, static_cast<uint32_t>(req->Expiry), req->Expiry_Relative);
    if (req->Delivery_Time > 0)
        put_time(w, MMS_DELIVERY_TIME_FIELD, static_cast<uint32_t>(req->Delivery_Time), req->Delivery_Time_Relative);
    put_field(w, MMS_DELIVERY_REPORT_FIELD, yes_no(req->Delivery_Report));
    put_field(w, MMS_READ_REPLY_FIELD, yes_no(req->Read_Reply));
    w.byte(MMS_CONTENT_LOCATION_FIELD);
    SetQuoteTextString(w, req->Content_Location);
    return hand_out_pdu(out, len);
}
