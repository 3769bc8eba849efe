// Encoders of the relay's PDUs: m-send-conf, m-notification-ind and
// m-retrieve-conf.
//
// As the terminal's encoders do, each adds up the space its fields can take
// (in 64 bits), allocates once and writes with the WSP writers.
#include <climits>
#include <cstring>

#include "MMSProl_Encapsulaton_EncodeRelay.h"
#include "qx_internal.h"
#include "qx_log.h"

namespace {

constexpr char kPlmnSuffix[] = "/TYPE=PLMN";
// Value-length of at most 0x1F + a 5-byte uintvar.
constexpr uint64_t kMaxValueLength = 6;
// Long-integer of a 32-bit value: count byte and up to 4 bytes.
constexpr uint64_t kMaxLongInteger = 5;

inline void put(uint8_t *&p, uint8_t b) { *p++ = b; }

uint64_t text_size(const char *s) { return s ? std::strlen(s) + 1 : 1; }
// A text that may need a quote byte.
uint64_t quoted_text_size(const char *s) { return text_size(s) + 1; }
// SetEncodedStringValue: Value-length, charset, quote, text, zero.
uint64_t encoded_string_size(const char *s) { return kMaxValueLength + 1 + quoted_text_size(s); }
// From: code, Value-length, token, quote, address, suffix, zero.
uint64_t from_size(const char *s) { return 1 + kMaxValueLength + 1 + quoted_text_size(s) + sizeof(kPlmnSuffix); }

bool add_list(uint64_t &bound, const char *list) {
    if (!list) return true;
    const int b = AddressListSizeBound(list);
    if (b < 0 || b == INT_MAX) return false;
    bound += static_cast<uint64_t>(b);
    return true;
}

uint8_t *alloc_pdu(uint64_t bound) {
    const uint64_t size = bound + 1;  // a zero byte after the PDU
    if (size > static_cast<uint64_t>(INT_MAX)) {
        QX_LOG("mzk:pdu too large, size=%llu", static_cast<unsigned long long>(size));
        return nullptr;
    }
    auto *buf = static_cast<uint8_t *>(fnQX_Malloc(static_cast<int>(size)));
    if (!buf) QX_LOG("mzk:fail to allocate memory");
    return buf;
}

uint8_t *finish(uint8_t *buf, const uint8_t *end, int *len) {
    *len = static_cast<int>(end - buf);
    return buf;
}

void put_head(uint8_t *&p, uint8_t type, const char *transactionId) {
    put(p, MMS_MESSAGE_TYPE_FIELD);
    put(p, type);
    put(p, MMS_TRANSACTION_ID_FIELD);
    SetTextString(&p, transactionId);
    put(p, MMS_VERSION_FIELD);
    put(p, MMS_VERSION_1_2);
}

// Long-integer: count byte and the value's big-endian bytes, at least one
// (a zero value is written as one zero byte).
void put_long_integer(uint8_t *&p, uint32_t v) {
    int n = 1;
    while (n < 4 && (v >> (8 * n)) != 0) ++n;
    put(p, static_cast<uint8_t>(n));
    for (int i = n - 1; i >= 0; --i) put(p, static_cast<uint8_t>(v >> (8 * i)));
}

// From: Value-length, Address-present token, the address (a phone number
// with its "/TYPE=PLMN" suffix) and its zero byte.
void put_from(uint8_t *&p, const char *from) {
    put(p, MMS_FROM_FIELD);
    const size_t n = std::strlen(from);
    const bool quote = static_cast<uint8_t>(from[0]) >= 0x80;
    const bool suffix = !std::strchr(from, '@') && !std::strstr(from, "/TYPE=");
    const uint32_t valueLen =
        static_cast<uint32_t>(1 + (quote ? 1 : 0) + n + (suffix ? sizeof(kPlmnSuffix) - 1 : 0) + 1);
    p += SetLengthValue(p, valueLen);
    put(p, MMS_ADDRESS_PRESENT_TOKEN);
    if (quote) put(p, MMS_QUOTE);
    std::memcpy(p, from, n);
    p += n;
    if (suffix) {
        std::memcpy(p, kPlmnSuffix, sizeof(kPlmnSuffix) - 1);
        p += sizeof(kPlmnSuffix) - 1;
    }
    put(p, 0);
}

uint8_t class_byte(uint8_t cls) { return cls >= 0x80 && cls <= 0x83 ? cls : 0x80; }

}  // namespace

uint8_t *fnMMS_MakeSendConfPdu(const char *transactionId, uint8_t status, const char *responseText,
                               const char *messageId, int *len) {
    if (!transactionId || !len) return nullptr;
    *len = 0;
    uint64_t bound = 2 + 1 + text_size(transactionId) + 2 + 2;
    if (responseText) bound += 1 + encoded_string_size(responseText);
    if (messageId) bound += 1 + quoted_text_size(messageId);
    uint8_t *buf = alloc_pdu(bound);
    if (!buf) return nullptr;
    uint8_t *p = buf;
    put_head(p, MMS_M_SEND_CONF, transactionId);
    put(p, MMS_RESPONSE_STATUS_FIELD);
    put(p, status);
    if (responseText) {
        put(p, MMS_RESPONSE_TEXT_FIELD);
        SetEncodedStringValue(&p, responseText);
    }
    if (messageId) {
        put(p, MMS_MESSAGE_ID_FIELD);
        SetQuoteTextString(&p, messageId);
    }
    return finish(buf, p, len);
}

uint8_t *fnMMS_MakeNotificationIndPdu(const tMMS_NotifyInd *rec, int *len) {
    if (!rec || !len) return nullptr;
    *len = 0;
    if (!rec->Transaction_Id || !rec->Content_Location) {
        QX_LOG("mzk:notification without Transaction_Id or Content_Location");
        return nullptr;
    }
    uint64_t bound = 2 + 1 + text_size(rec->Transaction_Id) + 2  // head
                     + 2 + 2                                      // Message-Class, Priority
                     + 1 + kMaxLongInteger                        // Message-Size
                     + 1 + 1 + 1 + kMaxLongInteger                // Expiry
                     + 1 + quoted_text_size(rec->Content_Location);
    if (rec->From) bound += from_size(rec->From);
    if (rec->Subject) bound += 1 + encoded_string_size(rec->Subject);
    uint8_t *buf = alloc_pdu(bound);
    if (!buf) return nullptr;

    uint8_t *p = buf;
    put_head(p, MMS_M_NOTIFICATION_IND, rec->Transaction_Id);
    if (rec->From) put_from(p, rec->From);
    if (rec->Subject) {
        put(p, MMS_SUBJECT_FIELD);
        SetEncodedStringValue(&p, rec->Subject);
    }
    put(p, MMS_MESSAGE_CLASS_FIELD);
    put(p, class_byte(rec->Message_Class));
    if (rec->Priority >= 0x80 && rec->Priority <= 0x82) {
        put(p, MMS_PRIORITY_FIELD);
        put(p, rec->Priority);
    }
    put(p, MMS_MESSAGE_SIZE_FIELD);
    put_long_integer(p, static_cast<uint32_t>(rec->Message_Size > 0 ? rec->Message_Size : 0));
    if (rec->Expiry > 0) {
        // Value-length, token, Long-integer.
        uint8_t value[1 + kMaxLongInteger];
        uint8_t *v = value;
        put(v, rec->Expiry_Token == MMS_ABSOLUTE_TOKEN ? MMS_ABSOLUTE_TOKEN : MMS_RELATIVE_TOKEN);
        put_long_integer(v, static_cast<uint32_t>(rec->Expiry));
        put(p, MMS_EXPIRY_FIELD);
        put(p, static_cast<uint8_t>(v - value));
        std::memcpy(p, value, static_cast<size_t>(v - value));
        p += v - value;
    }
    put(p, MMS_CONTENT_LOCATION_FIELD);
    SetQuoteTextString(&p, rec->Content_Location);
    return finish(buf, p, len);
}

uint8_t *fnMMS_MakeRetrieveConfPdu(const tMMS_RetrieveConf *rec, int *len) {
    if (!rec || !len) return nullptr;
    *len = 0;
    if (!rec->Transaction_Id) {
        QX_LOG("mzk:no Transaction_Id");
        return nullptr;
    }
    const bool hasBody = rec->body && rec->Content_Size > 0;
    uint64_t bound = 2 + 1 + text_size(rec->Transaction_Id) + 2  // head
                     + 1 + kMaxLongInteger                        // Date
                     + 2 + 2 + 2 + 2;                             // class, priority, reports
    if (rec->Message_Id) bound += 1 + quoted_text_size(rec->Message_Id);
    if (rec->From) bound += from_size(rec->From);
    if (rec->Subject) bound += 1 + encoded_string_size(rec->Subject);
    if (hasBody) bound += static_cast<uint64_t>(rec->Content_Size);
    if (!add_list(bound, rec->To) || !add_list(bound, rec->Cc)) return nullptr;
    uint8_t *buf = alloc_pdu(bound);
    if (!buf) return nullptr;

    uint8_t *p = buf;
    put_head(p, MMS_M_RETRIEVE_CONF, rec->Transaction_Id);
    if (rec->Message_Id) {
        put(p, MMS_MESSAGE_ID_FIELD);
        SetQuoteTextString(&p, rec->Message_Id);
    }
    if (rec->Date > 0) {
        put(p, MMS_DATE_FIELD);
        put_long_integer(p, static_cast<uint32_t>(rec->Date));
    }
    if (rec->From) put_from(p, rec->From);
    if (rec->To) SetAddressList(&p, rec->To, MMS_TO_FIELD);
    if (rec->Cc) SetAddressList(&p, rec->Cc, MMS_CC_FIELD);
    if (rec->Subject) {
        put(p, MMS_SUBJECT_FIELD);
        SetEncodedStringValue(&p, rec->Subject);
    }
    put(p, MMS_MESSAGE_CLASS_FIELD);
    put(p, class_byte(rec->Message_Class));
    put(p, MMS_PRIORITY_FIELD);
    put(p, rec->Priority >= 0x80 && rec->Priority <= 0x82 ? rec->Priority : 0x81);
    put(p, MMS_DELIVERY_REPORT_FIELD);
    put(p, rec->Delivery_Report ? MMS_YES : MMS_NO);
    put(p, MMS_READ_REPLY_FIELD);
    put(p, rec->Read_Reply ? MMS_YES : MMS_NO);
    if (hasBody) {
        std::memcpy(p, rec->body, static_cast<size_t>(rec->Content_Size));
        p += rec->Content_Size;
    }
    return finish(buf, p, len);
}
