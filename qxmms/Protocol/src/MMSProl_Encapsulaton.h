// Internal interface of the MMS PDU codec: WSP primitives, content types,
// character sets, PDU decoders and encoders, multipart bodies.
#ifndef MMSPROL_ENCAPSULATON_H
#define MMSPROL_ENCAPSULATON_H

#include <cstdint>

#include "rorodire.h"

// ---------------------------------------------------------------- codes
enum : uint8_t {
    MMS_BCC_FIELD = 0x81,
    MMS_CC_FIELD = 0x82,
    MMS_CONTENT_LOCATION_FIELD = 0x83,
    MMS_CONTENT_TYPE_FIELD = 0x84,
    MMS_DATE_FIELD = 0x85,
    MMS_DELIVERY_REPORT_FIELD = 0x86,
    MMS_DELIVERY_TIME_FIELD = 0x87,
    MMS_EXPIRY_FIELD = 0x88,
    MMS_FROM_FIELD = 0x89,
    MMS_MESSAGE_CLASS_FIELD = 0x8A,
    MMS_MESSAGE_ID_FIELD = 0x8B,
    MMS_MESSAGE_TYPE_FIELD = 0x8C,
    MMS_VERSION_FIELD = 0x8D,
    MMS_MESSAGE_SIZE_FIELD = 0x8E,
    MMS_PRIORITY_FIELD = 0x8F,
    MMS_READ_REPLY_FIELD = 0x90,
    MMS_REPORT_ALLOWED_FIELD = 0x91,
    MMS_RESPONSE_STATUS_FIELD = 0x92,
    MMS_RESPONSE_TEXT_FIELD = 0x93,
    MMS_SENDER_VISIBILITY_FIELD = 0x94,
    MMS_STATUS_FIELD = 0x95,
    MMS_SUBJECT_FIELD = 0x96,
    MMS_TO_FIELD = 0x97,
    MMS_TRANSACTION_ID_FIELD = 0x98,
    MMS_RETRIEVE_STATUS_FIELD = 0x99,
    MMS_PREVIOUSLY_SENT_BY_FIELD = 0xA0,
    MMS_PREVIOUSLY_SENT_DATE_FIELD = 0xA1,
};

enum : uint8_t {
    MMS_M_SEND_REQ = 0x80,
    MMS_M_SEND_CONF = 0x81,
    MMS_M_NOTIFICATION_IND = 0x82,
    MMS_M_NOTIFYRESP_IND = 0x83,
    MMS_M_RETRIEVE_CONF = 0x84,
    MMS_M_ACKNOWLEDGE_IND = 0x85,
    MMS_M_FORWARD_REQ = 0x89,
    MMS_M_FORWARD_CONF = 0x8A,
    MMS_VERSION_1_2 = 0x92,
};

enum : uint8_t {
    MMS_YES = 0x80,
    MMS_NO = 0x81,
    MMS_ADDRESS_PRESENT_TOKEN = 0x80,
    MMS_INSERT_ADDRESS_TOKEN = 0x81,
    MMS_ABSOLUTE_TOKEN = 0x80,
    MMS_RELATIVE_TOKEN = 0x81,
    MMS_QUOTE = 0x7F,
};

enum : int {
    MMS_CHARSET_US_ASCII = 3,
    MMS_CHARSET_ISO_8859_1 = 4,
    MMS_CHARSET_UTF8 = 106,
    MMS_CHARSET_UCS2 = 1000,
    MMS_CHARSET_UTF16 = 1015,
};

// ---------------------------------------------------------------- reading
// A reading cursor over [p, end). Readers never look at a byte at or past
// end; when a value is not complete before end they set `truncated`, leave
// their result unset and move p to end. Decoders stop at a truncated cursor.
struct WspCursor {
    const uint8_t *p;
    const uint8_t *end;
    bool truncated;

    long left() const { return static_cast<long>(end - p); }
};

inline WspCursor wsp_cursor(const uint8_t *data, int len) {
    return WspCursor{data, data + (len > 0 ? len : 0), false};
}

// Text up to the next zero byte (copied without it); *len = bytes before the
// zero. Null on allocation failure (cursor and *len untouched) or truncation.
char *GetTextString(WspCursor &c, int *len);
// As GetTextString, but a leading quote 0x7F is not copied (*len counts it).
char *GetQuoteTextString(WspCursor &c, int *len);
// Value-length: 0..30 itself, 31 + uintvar; any other byte gives 0 and does
// not move.
uint32_t GetLengthValue(WspCursor &c);
// uintvar (at most 5 bytes are taken), accumulated in 32 bits; one that has
// not ended by its fifth byte is refused as truncated.
uint32_t GetUintvar(WspCursor &c);
// Long-integer at the cursor (length then bytes); does not move the cursor.
// *octets, when given, receives the size of the whole value (length byte
// included) so callers can step over it; truncated input gives 0 (and
// *octets the bytes left, so stepping over it reaches the end). Values of
// more than 4 bytes keep their low 32 bits.
uint32_t GetLongInteger(const WspCursor &c, int *octets = nullptr);
// Encoded-string-value; null for an unaccepted charset (cursor still moves
// past the zero byte).
char *GetEncodedStringValue(WspCursor &c, int *len);
// Bytes of the Encoded-string-value at the cursor (its Value-length form is
// bounded by its length, the text forms by their zero byte); 0 when it is not
// complete before the end.
long EncodedStringValueSize(const WspCursor &c);
// Address text: quote skipped, "/TYPE=..." suffix dropped unless it has "@";
// *len = bytes consumed, quote and zero included.
char *GetAddressValue(WspCursor &c, int *len);

struct tMMS_ContentType {
    char *Content_Type;
    char *Name_Param;
    uint8_t Has_Charset;
    int Charset;
    uint8_t Fwd_Present;
    uint8_t Fwd_Value;
    uint8_t *Fwd_Param;
    int Fwd_Param_Len;
};

// Content-Type value; new record (caller releases it with
// FreeContentTypeValue or moves its texts away), or null. *consumed = bytes
// of the whole value.
tMMS_ContentType *GetContentTypeValue(WspCursor &c, int *consumed);
// General form at the cursor (does not move it); null on failure.
tMMS_ContentType *GetContentGeneralForm(const WspCursor &c, int *consumed);
void FreeContentTypeValue(tMMS_ContentType *ct);
// Well-known content types: name of a 7-bit code (new text) or null, and
// code of a name (0x00..0x34) or 0xFF.
char *GetContentTypeName(int code);
int GetContentTypeCode(const char *text);

// ---------------------------------------------------------------- writing
// Writers advance *out and do not check space: callers size buffers first.
void SetTextString(uint8_t **out, const char *text);
void SetQuoteTextString(uint8_t **out, const char *text);
// Both return the number of bytes; with a null out they only count them.
int SetUintvar(uint8_t *out, uint32_t value);
int SetLengthValue(uint8_t *out, uint32_t length);
int GetIntegerOctets(int32_t value);
void SetInteger(uint8_t **out, int32_t value);
void SetEncodedStringValue(uint8_t **out, const char *text);
// Address: quote before a first byte of 0x80 or more; a phone number (no
// "@") without its spaces and with "/TYPE=PLMN" unless it has a "/TYPE="
// already. Returns 1 when the suffix was added.
int SetAddressValue(uint8_t **out, const char *address);
// New text: the address with "/TYPE=PLMN" appended when it is a phone number
// (no "@") without a "/TYPE=" of its own; null on allocation failure.
char *AddressWithType(const char *address);
// Next address of a ";"-separated list into buf (61 bytes); 1 when one was
// copied. *list advances. Spaces are dropped; an entry of more than 60
// other characters is passed over whole and the following entry taken.
constexpr int MMS_MAX_ADDRESS_LEN = 60;
int GetNextAddress(const char **list, char *buf);
// One field per address of a ";"-separated list, each address whole (no
// length limit); empty entries and entries of spaces are passed over.
void SetAddressList(uint8_t **out, const char *list, uint8_t code);
// Upper bound of the bytes SetAddressList writes for a list.
int AddressListSizeBound(const char *list);

// ---------------------------------------------------------------- charsets
char *fnMMS_ConvertToUtf8(int charset, const uint8_t *text, int *len);
// As fnMMS_ConvertToUtf8, but a charset without a converter gives null with
// *known false instead of a copy.
char *ConvertCharsetToUtf8(int charset, const uint8_t *text, int *len, bool *known);
// Charsets whose texts may hold zero bytes (UCS-2, UTF-16, UTF-32, UCS-4):
// such a text ends where its value ends, not at a zero byte.
bool IsWideCharset(int charset);

// ---------------------------------------------------------------- PDUs
tMMS_NotifyInd *fnMMS_ParseNotificationInd(const uint8_t *pdu, int len);
tMMS_SendConf *fnMMS_ParseSendConf(const uint8_t *pdu, int len);
tMMS_FwdConf *fnMMS_ParseFwdConf(const uint8_t *pdu, int len);

uint8_t *fnMMS_MakeSendReqPdu(const tMMS_SendReq *req, int *len);
uint8_t *fnMMS_MakeNotifyRespIndPdu(const char *transactionId, int reportAllowed, uint8_t status, int *len);
uint8_t *fnMMS_MakeAcknowledgeIndPdu(const char *transactionId, int reportAllowed, int *len);

// ---------------------------------------------------------------- bodies
struct smilstruct {
    char *Content_Type;
    uint8_t *Data;
    int Data_Len;
};

struct tMMS_Element {
    char *File_Name;
    char *Content_Id;
    char *Name_Param;
    uint8_t *Data;
    int Data_Len;
    int Charset;
    uint8_t Has_Charset;
    uint8_t Fwd_Present;
    uint8_t Fwd_Value;
    uint8_t *Fwd_Param;
    int Fwd_Param_Len;
    uint8_t IsSmil;
    char *Content_Type;
    tMMS_Element *next;
};

struct mmresstruct {
    smilstruct *Smil;
    tMMS_Element *Parts;
};

uint8_t *fnMMS_EncodeBody(const mmresstruct *body, int *len);
// Parts point into `data`, which must outlive the record.
mmresstruct *fnMMS_DecodeBody(const uint8_t *data, int len);
void fnMMS_FreeComposedBody(mmresstruct *body);
void fnMMS_FreeDecodedBody(mmresstruct *body);

#endif
