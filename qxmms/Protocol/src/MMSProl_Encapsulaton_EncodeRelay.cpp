// Encoders of the relay's PDUs: m-send-conf, m-notification-ind and
// m-retrieve-conf.
//
// As the terminal's encoders do, each adds up the space its fields can take
// (in 64 bits), opens one buffer and writes through the bounded writer.
#include <climits>
#include <cstring>

#include "MMSProl_Encapsulaton_Encode.h"
#include "MMSProl_Encapsulaton_EncodeRelay.h"
#include "qx_internal.h"
#include "qx_log.h"

using namespace mmsenc;

namespace mmsenc {

uint64_t from_address_size(const char *s) {
    return 1 + kMaxValueLength + 1 + kMaxValueLength + 1 + text_string_size(s) + MMS_PLMN_SUFFIX_LEN;
}

// Long-integer: count byte and the value's big-endian bytes, at least one
// (a zero value is written as one zero byte).
void put_long_integer(qx::Writer &w, uint32_t v) {
    int n = 1;
    while (n < 4 && (v >> (8 * n)) != 0) ++n;
    w.byte(static_cast<uint8_t>(n));
    for (int i = n - 1; i >= 0; --i) w.byte(static_cast<uint8_t>(v >> (8 * i)));
}

void put_from_address(qx::Writer &w, const char *from) {
    w.byte(MMS_FROM_FIELD);
    const size_t n = std::strlen(from);
    const bool suffix = !std::strchr(from, '@') && !std::strstr(from, "/TYPE=");
    const auto text = static_cast<uint32_t>(n + (suffix ? MMS_PLMN_SUFFIX_LEN : 0));
    const auto first = static_cast<uint8_t>(n ? from[0] : (suffix ? '/' : 0));
    const uint32_t valueLen = static_cast<uint32_t>(1 + AddressPrefixSize(first, text) + text + 1);
    SetLengthValue(w, valueLen);
    w.byte(MMS_ADDRESS_PRESENT_TOKEN);
    SetAddressPrefix(w, first, text);
    w.bytes(from, n);
    if (suffix) w.bytes(MMS_PLMN_SUFFIX, MMS_PLMN_SUFFIX_LEN);
    w.byte(0);
}

}  // namespace mmsenc

namespace {

uint8_t class_byte(uint8_t cls) { return cls >= 0x80 && cls <= 0x83 ? cls : 0x80; }

}  // namespace

uint8_t *fnMMS_MakeSendConfPdu(const char *transactionId, uint8_t status, const char *responseText,
                               const char *messageId, int *len) {
    if (!transactionId || !len) return nullptr;
    *len = 0;
    uint64_t bound = 2 + 1 + quote_text_string_size(transactionId) + 2 + 2;
    if (responseText) bound += 1 + encoded_string_size(responseText);
    if (messageId) bound += 1 + quote_text_string_size(messageId);
    PduOut out{};
    if (!open_pdu(bound, &out)) return nullptr;
    qx::Writer &w = out.w;
    put_head(w, MMS_M_SEND_CONF, transactionId);
    put_field(w, MMS_RESPONSE_STATUS_FIELD, status);
    if (responseText) {
        w.byte(MMS_RESPONSE_TEXT_FIELD);
        SetEncodedStringValue(w, responseText);
    }
    if (messageId) {
        w.byte(MMS_MESSAGE_ID_FIELD);
        SetQuoteTextString(w, messageId);
    }
    return hand_out_pdu(out, len);
}

uint8_t *fnMMS_MakeNotificationIndPdu(const tMMS_NotifyInd *rec, int *len) {
    if (!rec || !len) return nullptr;
    *len = 0;
    if (!rec->Transaction_Id || !rec->Content_Location) {
        QX_LOG("mzk:notification without Transaction_Id or Content_Location");
        return nullptr;
    }
    WireText subject;
    if (!wire_text(rec->Subject, &subject)) return nullptr;
    uint64_t bound = 2 + 1 + quote_text_string_size(rec->Transaction_Id) + 2  // head
                     + 2 + 2                                             // Message-Class, Priority
                     + 1 + kMaxLongInteger                               // Message-Size
                     + 1 + 1 + 1 + kMaxLongInteger                       // Expiry
                     + 1 + quote_text_string_size(rec->Content_Location);
    if (rec->From) bound += from_address_size(rec->From);
    if (subject.text) bound += 1 + encoded_string_size(subject.text);
    PduOut out{};
    if (!open_pdu(bound, &out)) return nullptr;

    qx::Writer &w = out.w;
    put_head(w, MMS_M_NOTIFICATION_IND, rec->Transaction_Id);
    if (rec->From) put_from_address(w, rec->From);
    if (subject.text) {
        w.byte(MMS_SUBJECT_FIELD);
        SetEncodedStringValue(w, subject.text);
    }
    put_field(w, MMS_MESSAGE_CLASS_FIELD, class_byte(rec->Message_Class));
    if (rec->Priority >= 0x80 && rec->Priority <= 0x82) put_field(w, MMS_PRIORITY_FIELD, rec->Priority);
    w.byte(MMS_MESSAGE_SIZE_FIELD);
    put_long_integer(w, static_cast<uint32_t>(rec->Message_Size > 0 ? rec->Message_Size : 0));
    if (rec->Expiry > 0) {
        // Value-length, token, Long-integer: the value is written first into
        // its own small buffer to learn its length.
        uint8_t value[1 + kMaxLongInteger];
        qx::Writer v = qx::Writer::over(value, sizeof value);
        v.byte(rec->Expiry_Token == MMS_ABSOLUTE_TOKEN ? MMS_ABSOLUTE_TOKEN : MMS_RELATIVE_TOKEN);
        put_long_integer(v, static_cast<uint32_t>(rec->Expiry));
        w.byte(MMS_EXPIRY_FIELD);
        w.byte(static_cast<uint8_t>(v.written()));
        w.bytes(value, v.written());
        if (!v.ok()) w.fail();
    }
    w.byte(MMS_CONTENT_LOCATION_FIELD);
    SetQuoteTextString(w, rec->Content_Location);
    return hand_out_pdu(out, len);
}

uint8_t *fnMMS_MakeRetrieveConfPdu(const tMMS_RetrieveConf *rec, int *len) {
    if (!rec || !len) return nullptr;
    *len = 0;
    if (!rec->Transaction_Id) {
        QX_LOG("mzk:no Transaction_Id");
        return nullptr;
    }
    const bool hasBody = rec->body && rec->Content_Size > 0;
    WireText subject;
    if (!wire_text(rec->Subject, &subject)) return nullptr;
    uint64_t bound = 2 + 1 + quote_text_string_size(rec->Transaction_Id) + 2  // head
                     + 1 + kMaxLongInteger                               // Date
                     + 2 + 2 + 2 + 2;                                    // class, priority, reports
    if (rec->Message_Id) bound += 1 + quote_text_string_size(rec->Message_Id);
    if (rec->From) bound += from_address_size(rec->From);
    if (subject.text) bound += 1 + encoded_string_size(subject.text);
    if (hasBody) bound += static_cast<uint64_t>(rec->Content_Size);
    if (!add_address_list(bound, rec->To) || !add_address_list(bound, rec->Cc)) return nullptr;
    PduOut out{};
    if (!open_pdu(bound, &out)) return nullptr;

    qx::Writer &w = out.w;
    put_head(w, MMS_M_RETRIEVE_CONF, rec->Transaction_Id);
    if (rec->Message_Id) {
        w.byte(MMS_MESSAGE_ID_FIELD);
        SetQuoteTextString(w, rec->Message_Id);
    }
    if (rec->Date != 0) {
        w.byte(MMS_DATE_FIELD);
        put_long_integer(w, rec->Date);
    }
    if (rec->From) put_from_address(w, rec->From);
    if (rec->To) SetAddressList(w, rec->To, MMS_TO_FIELD);
    if (rec->Cc) SetAddressList(w, rec->Cc, MMS_CC_FIELD);
    if (subject.text) {
        w.byte(MMS_SUBJECT_FIELD);
        SetEncodedStringValue(w, subject.text);
    }
    put_field(w, MMS_MESSAGE_CLASS_FIELD, class_byte(rec->Message_Class));
    put_field(w, MMS_PRIORITY_FIELD, rec->Priority >= 0x80 && rec->Priority <= 0x82 ? rec->Priority : 0x81);
    put_field(w, MMS_DELIVERY_REPORT_FIELD, rec->Delivery_Report ? MMS_YES : MMS_NO);
    put_field(w, MMS_READ_REPLY_FIELD, rec->Read_Reply ? MMS_YES : MMS_NO);
    if (hasBody) w.bytes(rec->body, static_cast<size_t>(rec->Content_Size));
    return hand_out_pdu(out, len);
}
