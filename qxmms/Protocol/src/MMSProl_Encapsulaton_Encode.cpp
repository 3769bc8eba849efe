// PDU encoders: m-send-req, m-notifyresp-ind, m-acknowledge-ind and the
// forward request.
//
// Each encoder first adds up the space its fields can take (exactly, or as a
// safe upper bound for address lists and encoded strings), allocates that
// much once and then writes the fields with the WSP writers, which do not
// check space themselves. Totals are summed in 64 bits; a PDU whose size does
// not fit in an int is refused.
#include <climits>
#include <cstring>

#include "MMSProl_Encapsulaton.h"
#include "qx_internal.h"
#include "qx_log.h"

namespace {

// Largest uintvar: 5 bytes.
constexpr uint64_t kMaxUintvar = 5;
// A Value-length: 0x1F followed by a uintvar.
constexpr uint64_t kMaxValueLength = 1 + kMaxUintvar;
// A Long-integer of a 32-bit value: count byte and up to 4 bytes.
constexpr uint64_t kMaxLongInteger = 1 + 4;
// Field code + Value-length byte + token + Long-integer (Expiry, Delivery-Time).
constexpr uint64_t kMaxTimeField = 1 + 1 + 1 + kMaxLongInteger;
// Field code + Long-integer (Date).
constexpr uint64_t kMaxDateField = 1 + kMaxLongInteger;
// A From field: code, Value-length, token, quote, the address, zero.
uint64_t from_field_size(const char *address) { return 1 + kMaxValueLength + 1 + 1 + std::strlen(address) + 1; }
// A PDU buffer gets one zero byte past the bytes written.
constexpr uint64_t kTrailingZero = 1;

// Sizes of values written by the WSP writers (a quote byte counted).
uint64_t quote_text_string_size(const char *s) { return std::strlen(s) + 2; }
// SetEncodedStringValue: Value-length, charset byte, quote, text, zero.
uint64_t encoded_string_size(const char *s) {
    return kMaxValueLength + 1 + 1 + (s ? std::strlen(s) : 0) + 1;
}

// Adds the bound of an address list; false when it cannot be represented.
bool add_address_list(uint64_t &total, const char *list) {
    if (!list) return true;
    const int bound = AddressListSizeBound(list);
    if (bound < 0 || bound == INT_MAX) return false;
    total += static_cast<uint64_t>(bound);
    return true;
}

// One allocation for a PDU of at most `bound` bytes, or null when the size
// cannot be represented or memory is short.
uint8_t *alloc_pdu(uint64_t bound) {
    const uint64_t size = bound + kTrailingZero;
    if (size > static_cast<uint64_t>(INT_MAX)) {
        QX_LOG("mzk:pdu too large, size=%llu", static_cast<unsigned long long>(size));
        return nullptr;
    }
    auto *buf = static_cast<uint8_t *>(fnQX_Malloc(static_cast<int>(size)));
    if (!buf) QX_LOG("mzk:fail to allocate memory");
    return buf;
}

inline void put(uint8_t *&p, uint8_t b) { *p++ = b; }

inline uint8_t yes_no(int flag) { return flag ? MMS_YES : MMS_NO; }

// Date: field code and Long-integer.
void put_date(uint8_t *&p, int32_t date) {
    put(p, MMS_DATE_FIELD);
    put(p, static_cast<uint8_t>(GetIntegerOctets(date)));
    SetInteger(&p, date);
}

// Expiry / Delivery-Time: field code, Value-length, Absolute/Relative token,
// Long-integer.
void put_time(uint8_t *&p, uint8_t code, int32_t value, int relative) {
    const int n = GetIntegerOctets(value);
    put(p, code);
    put(p, static_cast<uint8_t>(n + 2));
    put(p, relative ? MMS_RELATIVE_TOKEN : MMS_ABSOLUTE_TOKEN);
    put(p, static_cast<uint8_t>(n));
    SetInteger(&p, value);
}

// The three recipient lists, To, Cc then Bcc.
void put_recipients(uint8_t *&p, const char *to, const char *cc, const char *bcc) {
    if (to) SetAddressList(&p, to, MMS_TO_FIELD);
    if (cc) SetAddressList(&p, cc, MMS_CC_FIELD);
    if (bcc) SetAddressList(&p, bcc, MMS_BCC_FIELD);
}

// From field of a send request. A set From is sent as Address-present with a
// phone number's "/TYPE=PLMN" suffix (the address, prepared by the caller with
// AddressWithType, is written whole, in the long Value-length form when it
// needs one); a null one asks the relay to insert it.
void put_from(uint8_t *&p, const char *from, const char *address) {
    QX_LOG("mzk:from number=%s", from ? from : "(null)");
    put(p, MMS_FROM_FIELD);
    if (!from) {
        QX_LOG("request from is null,MMS_INSERT_ADDRESS_TOKEN");
        put(p, 0x01);
        put(p, MMS_INSERT_ADDRESS_TOKEN);
        return;
    }
    QX_LOG("request from field is not null,MMS_ADDRESS_PRESENT_TOKEN");
    const int addressLen = static_cast<int>(std::strlen(address));
    const bool quote = static_cast<uint8_t>(address[0]) >= 0x80;
    int tmpLen = addressLen + 2 + (quote ? 1 : 0);  // token, [quote,] address, zero
    QX_LOG("mzk:pAddress=%s,its size=%d,iTmpLen=%d", address, addressLen, tmpLen);
    if (tmpLen < 31) {
        put(p, static_cast<uint8_t>(tmpLen));
    } else {
        put(p, 0x1F);
        char unitVal[kMaxUintvar + 1] = {};
        const int unitLen = SetUintvar(reinterpret_cast<uint8_t *>(unitVal), static_cast<uint32_t>(tmpLen));
        QX_LOG("mzk:pUnitVal=%s,iUnitvalLen=%d", unitVal, unitLen);
        std::memcpy(p, unitVal, static_cast<size_t>(unitLen));
        p += unitLen;
        // The whole value: 0x1F, the uintvar and the bytes it counts.
        tmpLen += 1 + unitLen;
        QX_LOG("mzk:new iTmpLen=%d", tmpLen);
    }
    put(p, MMS_ADDRESS_PRESENT_TOKEN);
    if (quote) put(p, MMS_QUOTE);
    std::memcpy(p, address, static_cast<size_t>(addressLen));
    p += addressLen;
    put(p, 0x00);
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

// Hands the written PDU to the caller.
uint8_t *hand_out_pdu(uint8_t *buf, const uint8_t *end, int *len) {
    *len = static_cast<int>(end - buf);
    return buf;
}

// Every PDU begins with its Message-Type, Transaction-Id and MMS-Version.
void put_head(uint8_t *&p, uint8_t type, const char *transactionId) {
    put(p, MMS_MESSAGE_TYPE_FIELD);
    put(p, type);
    put(p, MMS_TRANSACTION_ID_FIELD);
    SetQuoteTextString(&p, transactionId);  // quoted when it begins with 0x80 or more
    put(p, MMS_VERSION_FIELD);
    put(p, MMS_VERSION_1_2);
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
    uint8_t *buf = alloc_pdu(bound);
    if (!buf) return nullptr;
    uint8_t *p = buf;
    put_head(p, type, transactionId);
    put(p, MMS_REPORT_ALLOWED_FIELD);
    put(p, yes_no(reportAllowed));
    if (status) {
        put(p, MMS_STATUS_FIELD);
        put(p, *status);
    }
    return hand_out_pdu(buf, p, len);
}

}  // namespace

uint8_t *fnMMS_MakeSendReqPdu(const tMMS_SendReq *req, int *len) {
    if (!req || !len) return nullptr;
    *len = 0;
    if (!req->Transaction_Id) {
        QX_LOG("mzk:no Transaction_Id");
        return nullptr;
    }
    const bool hasBody = req->ContentTypeAndBody && req->Body_Len > 0;

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

    uint64_t bound = 2                                                 // Message-Type
                     + 1 + quote_text_string_size(req->Transaction_Id)  // Transaction-Id
                     + 2                                               // MMS-Version
                     + kMaxDateField                                   // Date
                     + (fromAddress ? from_field_size(fromAddress) : 3)  // From
                     + 2 + 2 * kMaxTimeField                           // Message-Class, Expiry, Delivery-Time
                     + 2 + 2 + 2 + 2;                                  // Priority, Sender-Visibility, reports
    if (req->Subject) bound += 1 + encoded_string_size(req->Subject);
    if (hasBody) bound += static_cast<uint64_t>(req->Body_Len);
    if (!add_recipients(bound, req->To, req->Cc, req->Bcc)) return nullptr;
    uint8_t *buf = alloc_pdu(bound);
    if (!buf) return nullptr;

    uint8_t *p = buf;
    put_head(p, MMS_M_SEND_REQ, req->Transaction_Id);
    if (req->Date > 0) put_date(p, req->Date);
    put_from(p, req->From, fromAddress);
    put_recipients(p, req->To, req->Cc, req->Bcc);
    if (req->Subject) {
        put(p, MMS_SUBJECT_FIELD);
        SetEncodedStringValue(&p, req->Subject);
    }
    put(p, MMS_MESSAGE_CLASS_FIELD);
    put(p, message_class_token(req->Message_Class));
    if (req->Expiry > 0) put_time(p, MMS_EXPIRY_FIELD, req->Expiry, req->Expiry_Relative);
    if (req->Delivery_Time > 0) put_time(p, MMS_DELIVERY_TIME_FIELD, req->Delivery_Time, req->Delivery_Time_Relative);
    put(p, MMS_PRIORITY_FIELD);
    put(p, priority_token(req->Priority));
    put(p, MMS_SENDER_VISIBILITY_FIELD);
    put(p, req->Sender_Visibility ? 0x81 : 0x80);  // Show / Hide
    put(p, MMS_DELIVERY_REPORT_FIELD);
    put(p, yes_no(req->Delivery_Report));
    put(p, MMS_READ_REPLY_FIELD);
    put(p, yes_no(req->Read_Reply));
    // The body begins with its Content-Type field (0x84), the last header.
    if (hasBody) {
        std::memcpy(p, req->ContentTypeAndBody, static_cast<size_t>(req->Body_Len));
        p += req->Body_Len;
    }
    return hand_out_pdu(buf, p, len);
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
    uint8_t *buf = alloc_pdu(bound);
    if (!buf) return nullptr;

    uint8_t *p = buf;
    put_head(p, MMS_M_FORWARD_REQ, req->Transaction_Id);
    if (req->Date > 0) put_date(p, req->Date);
    put(p, MMS_FROM_FIELD);
    put(p, 0x01);
    put(p, MMS_INSERT_ADDRESS_TOKEN);
    put_recipients(p, req->To, req->Cc, req->Bcc);
    if (req->Expiry > 0) put_time(p, MMS_EXPIRY_FIELD, req->Expiry, req->Expiry_Relative);
    if (req->Delivery_Time > 0) put_time(p, MMS_DELIVERY_TIME_FIELD, req->Delivery_Time, req->Delivery_Time_Relative);
    put(p, MMS_DELIVERY_REPORT_FIELD);
    put(p, yes_no(req->Delivery_Report));
    put(p, MMS_READ_REPLY_FIELD);
    put(p, yes_no(req->Read_Reply));
    put(p, MMS_CONTENT_LOCATION_FIELD);
    SetQuoteTextString(&p, req->Content_Location);
    return hand_out_pdu(buf, p, len);
}
