// Internal interface of the MMS PDU codec: WSP primitives, content types,
// character sets, PDU decoders and encoders, multipart bodies.
#ifndef MMSPROL_ENCAPSULATON_H
#define MMSPROL_ENCAPSULATON_H

#include <cstdint>

#include "qx_writer.h"
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
    MMS_M_DELIVERY_IND = 0x86,
    MMS_M_READ_REC_IND = 0x87,
    MMS_M_READ_ORIG_IND = 0x88,
    MMS_M_FORWARD_REQ = 0x89,
    MMS_M_FORWARD_CONF = 0x8A,
    MMS_VERSION_1_2 = 0x92,
};

// X-Mms-Read-Status (read reports) and its values.
constexpr uint8_t MMS_READ_STATUS_FIELD = 0x9B;
enum : uint8_t {
    MMS_READ_STATUS_READ = 0x80,
    MMS_READ_STATUS_DELETED = 0x81,  // deleted without being read
};
// X-Mms-Status of an m-delivery-ind (and of an m-notifyresp-ind, which uses
// the first five).
enum : uint8_t {
    MMS_DELIVERY_EXPIRED = 0x80,
    MMS_DELIVERY_RETRIEVED = 0x81,
    MMS_DELIVERY_REJECTED = 0x82,
    MMS_DELIVERY_DEFERRED = 0x83,
    MMS_DELIVERY_UNRECOGNISED = 0x84,
    MMS_DELIVERY_INDETERMINATE = 0x85,
    MMS_DELIVERY_FORWARDED = 0x86,
    MMS_DELIVERY_UNREACHABLE = 0x87,
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

// Well-known parameters of a Content-Type value (WSP assigned numbers with the
// high bit set).
enum : uint8_t {
    WSP_PARAM_Q = 0x80,
    WSP_PARAM_CHARSET = 0x81,
    WSP_PARAM_LEVEL = 0x82,
    WSP_PARAM_TYPE_INTEGER = 0x83,  // Type as an Integer-value (WSP 1.1)
    WSP_PARAM_NAME = 0x85,
    WSP_PARAM_FILENAME = 0x86,
    WSP_PARAM_DIFFERENCES = 0x87,
    WSP_PARAM_PADDING = 0x88,
    WSP_PARAM_RELATED_TYPE = 0x89,  // Type of a multipart/related body: its root part's type
    WSP_PARAM_START = 0x8A,
    WSP_PARAM_START_INFO = 0x8B,
    WSP_PARAM_NAME_14 = 0x97,      // Name in its WSP 1.4 encoding (Text-value)
    WSP_PARAM_FILENAME_14 = 0x98,  // Filename in its WSP 1.4 encoding
};

// Header fields of a multipart entry (WSP field codes with the high bit set).
enum : uint8_t {
    WSP_HDR_CONTENT_LOCATION = 0x8E,
    WSP_HDR_CONTENT_DISPOSITION = 0xAE,
    WSP_HDR_CONTENT_ID = 0xC0,
    WSP_HDR_CONTENT_DISPOSITION_14 = 0xC5,
};
// The quote that opens a Quoted-string (Content-ID values).
constexpr uint8_t WSP_QUOTED_STRING = 0x22;

// Well-known content types written by the codec.
constexpr uint8_t WSP_TYPE_MULTIPART_MIXED = 0x80 | 0x23;    // application/vnd.wap.multipart.mixed
constexpr uint8_t WSP_TYPE_MULTIPART_RELATED = 0x80 | 0x33;  // application/vnd.wap.multipart.related
// GetContentTypeCode of a type the table does not hold.
constexpr int MMS_NO_CONTENT_TYPE_CODE = 0xFF;

// Suffix of a phone-number address on the wire.
constexpr char MMS_PLMN_SUFFIX[] = "/TYPE=PLMN";
constexpr int MMS_PLMN_SUFFIX_LEN = sizeof(MMS_PLMN_SUFFIX) - 1;

// ---------------------------------------------------------------- reading
// A reading cursor over [p, end). Readers never look at a byte at or past
// end; when a value is not complete before end they cut the cursor (set
// `truncated`, move p to end) and yield no value. Decoders stop at a cut
// cursor.
struct WspCursor {
    const uint8_t *p;
    const uint8_t *end;
    bool truncated;

    long left() const { return static_cast<long>(end - p); }
    // A value was not complete within the cursor's bounds.
    void cut() {
        p = end;
        truncated = true;
    }
};

inline WspCursor wsp_cursor(const uint8_t *data, int len) {
    return WspCursor{data, data + (len > 0 ? len : 0), false};
}

// Results of the codec, in three sizes, each telling a shortage of memory
// (NoMemory) apart from input it refuses:
// - Got: one value read (a field, a text, a part's encoding);
// - Step: one turn of a reading loop (header fields, parameters, entries);
// - MmsDecodeFault (below), in a tMMS_DecodeReport: a whole PDU or body.
// Exported functions keep their own contracts (null, the confirmation
// results); the C++ overloads with a report say why they gave nothing.

// Outcome of reading one value into a field.
enum class Got {
    Value,       // the value was read (and stored), or decoded
    None,        // the value was complete but gave nothing (refused charset, no address, nothing to decode, ...)
    NoMemory,    // the value was complete but its copy could not be allocated
    Incomplete,  // the value runs past the end; the cursor is cut
};

// What one turn of a reading loop tells the loop.
enum class Step {
    Next,      // go on with the next field, parameter or entry
    Stop,      // reading ends; what was read is the result
    Fail,      // reading ends; the input is refused
    NoMemory,  // reading ends: an allocation failed
};

// Bytes of the text at the cursor up to and including its zero byte; 0 when
// no zero byte comes before the end.
long TextExtent(const WspCursor &c);
// Steps over a text and its zero byte; false (cursor cut) when incomplete.
bool SkipText(WspCursor &c);
// Takes the next len bytes as a sub-cursor; false (cursor cut) when they run
// past the end.
bool TakeRegion(WspCursor &c, uint32_t len, WspCursor *region);
// Steps over any header value by its WSP encoding: a byte of 0x80 or more is a
// short integer, 0..30 a Value-length and its bytes, 31 a uintvar length and
// its bytes, anything else a text up to its zero byte. False (cursor cut)
// when the value runs past the end.
bool SkipValue(WspCursor &c);

// Text up to the next zero byte (copied without it); *len = bytes before the
// zero. Null on allocation failure (cursor and *len untouched) or truncation.
char *GetTextString(WspCursor &c, int *len);
// As GetTextString, but a leading quote 0x7F is not copied (*len counts it).
char *GetQuoteTextString(WspCursor &c, int *len);
// Value-length: 0..30 itself, 31 + uintvar, into *len (Value); None when
// the byte at the cursor is no Value-length (the cursor did not move);
// Incomplete when the length runs past the end (the cursor is cut).
Got GetLengthValue(WspCursor &c, uint32_t *len);
// A Value-length and the sub-cursor over exactly the bytes it counts; the
// cursor moves past the whole value. None leaves the cursor.
Got GetLengthRegion(WspCursor &c, WspCursor *region);
// uintvar (at most 5 bytes are taken), accumulated in 32 bits; one that has
// not ended by its fifth byte is refused as truncated.
uint32_t GetUintvar(WspCursor &c);
// Long-integer at the cursor (length then bytes); does not move the cursor.
// *octets, when given, receives the size of the whole value (length byte
// included) so callers can step over it; truncated input gives 0 (and
// *octets the bytes left, so stepping over it reaches the end). Values of
// more than 4 bytes keep their low 32 bits.
uint32_t GetLongInteger(const WspCursor &c, int *octets = nullptr);
// The n bytes at p as one integer, most significant first, modulo 2^32: the
// digits of every Long-integer.
uint32_t MultiOctetInteger(const uint8_t *p, uint32_t n);
// Integer-value: a Long-integer (length 0..30 and its bytes) or a short
// integer (0x80 | value), into *v (Value); None for another value form,
// stepped over by its WSP encoding; Incomplete when it runs past the end.
Got GetIntegerValue(WspCursor &c, uint32_t *v);
// Encoded-string-value; null for an unaccepted charset (cursor still moves
// past the value) or when the copy cannot be allocated.
char *GetEncodedStringValue(WspCursor &c, int *len);
// The same, telling a refused value (None) from a failed copy (NoMemory).
Got ReadEncodedStringValue(WspCursor &c, char **text, int *len);
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
// A body of this type is a WSP multipart body ("multipart/..." or
// "application/vnd.wap.multipart...." in any letter case, or a well-known
// code without a name); any other type is the whole message as one part.
bool IsMultipartContentType(const char *type);
// A Content-Disposition value at the cursor (general form, short integer or
// text form, "attachment; filename=a.jpg"); the cursor moves past it. Value
// with the name it gives in *name (its filename, else its Name parameter),
// None when it names nothing.
Got ReadDispositionName(WspCursor &c, char **name);
// Well-known content types: name of a 7-bit code (new text) or null, and
// code of a name (0x00..0x34) or MMS_NO_CONTENT_TYPE_CODE.
char *GetContentTypeName(int code);
int GetContentTypeCode(const char *text);

// ---------------------------------------------------------------- writing
// Writers write through a bounded writer (qx_writer.h): what does not fit is
// not written and marks the writer overflowed. Encoders size their buffers
// first (the *Size helpers and AddressListSizeBound help) and refuse to hand
// out a buffer whose writer overflowed.
void SetTextString(qx::Writer &w, const char *text);
// Quoted when the first byte is 0x7F or more (a reader drops a leading 0x7F).
void SetQuoteTextString(qx::Writer &w, const char *text);
bool TextNeedsQuote(const char *text);
// What goes before an address text of n bytes (its zero byte not counted)
// whose first byte is `first`: the quote before 0x7F or more; before a byte
// below 0x20, which a reader would take for a length, a Value-length and the
// UTF-8 charset (the address then is an Encoded-string-value); else nothing.
void SetAddressPrefix(qx::Writer &w, uint8_t first, uint32_t n);
int AddressPrefixSize(uint8_t first, uint32_t n);
// Both return the number of bytes of the value (written or not).
int SetUintvar(qx::Writer &w, uint32_t value);
int SetLengthValue(qx::Writer &w, uint32_t length);
int UintvarSize(uint32_t value);
int LengthValueSize(uint32_t length);
// The significant big-endian bytes of an unsigned 32-bit value (0 for 0).
// Callers holding a signed field write it only when it is above 0.
int GetIntegerOctets(uint32_t value);
void SetInteger(qx::Writer &w, uint32_t value);
// A Long-integer: the byte GetIntegerOctets(value), then SetInteger.
void SetLongInteger(qx::Writer &w, uint32_t value);
void SetEncodedStringValue(qx::Writer &w, const char *text);
// Address: in the form SetAddressPrefix gives; a phone number (no
// "@") without its spaces and with "/TYPE=PLMN" unless it has a "/TYPE="
// already. Returns 1 when the suffix was added.
int SetAddressValue(qx::Writer &w, const char *address);
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
void SetAddressList(qx::Writer &w, const char *list, uint8_t code);
// Upper bound of the bytes SetAddressList writes for a list.
int AddressListSizeBound(const char *list);

// Part names as URI references (Content-Location, Content-ID, SMIL src): every
// byte but letters, digits and "-._~!$'()*+,;=@" percent-encoded; a name of
// such bytes only is written as it is. UriDecodeInPlace turns every "%XX"
// (but "%00") back into its byte.
bool UriKeepsByte(uint8_t c);
size_t UriEncodedSize(const char *name);
void SetUriEncoded(qx::Writer &w, const char *name);
void UriDecodeInPlace(char *text);

// ---------------------------------------------------------------- charsets
char *fnMMS_ConvertToUtf8(int charset, const uint8_t *text, int *len);
// As fnMMS_ConvertToUtf8, but a charset without a converter gives null with
// *known false instead of a copy.
char *ConvertCharsetToUtf8(int charset, const uint8_t *text, int *len, bool *known);
// The same through the platform's converter of a charset named as iconv
// names it (aliases included); *known false when there is none.
char *ConvertNamedCharsetToUtf8(const char *iconvName, const uint8_t *text, int *len, bool *known);
// Charsets whose texts may hold zero bytes (UCS-2, UTF-16, UTF-32, UCS-4):
// such a text ends where its value ends, not at a zero byte.
bool IsWideCharset(int charset);

// ---------------------------------------------------------------- PDUs
tMMS_NotifyInd *fnMMS_ParseNotificationInd(const uint8_t *pdu, int len);
tMMS_SendConf *fnMMS_ParseSendConf(const uint8_t *pdu, int len);
tMMS_FwdConf *fnMMS_ParseFwdConf(const uint8_t *pdu, int len);

// Results of fnMMS_RecvSendConfData and fnMMS_RecvFwdConfData: Response-Status
// 0x80 Ok .. 0x88 Error-unsupported-message give 0..8 (later MMS versions'
// errors give their MMS 1.0 kin), any other status or none 9, no input or a
// confirmation that does not decode 10.
enum MmsConfResult : uint16_t {
    MMS_CONF_OK = 0,
    MMS_CONF_ERROR_UNSPECIFIED = 1,
    MMS_CONF_SERVICE_DENIED = 2,
    MMS_CONF_FORMAT_CORRUPT = 3,
    MMS_CONF_ADDRESS_UNRESOLVED = 4,
    MMS_CONF_MESSAGE_NOT_FOUND = 5,
    MMS_CONF_NETWORK_PROBLEM = 6,
    MMS_CONF_CONTENT_NOT_ACCEPTED = 7,
    MMS_CONF_UNSUPPORTED = 8,
    MMS_CONF_NO_STATUS = 9,
    MMS_CONF_UNDECODABLE = 10,
};

// Why a PDU is not the m-send-conf that answers a given m-send-req.
enum class MmsConfMismatch : uint8_t {
    None,
    Undecodable,       // no input, or the header does not decode
    TypeNotFirst,      // the first field is not Message-Type
    NotSendConf,       // Message-Type of another PDU
    NoVersion,         // no MMS-Version
    NoTransactionId,   // no (or an empty) Transaction-Id
    OtherTransaction,  // a Transaction-Id other than the request's
    NoResponseStatus,  // no Response-Status
};
const char *fnMMS_ConfMismatchText(MmsConfMismatch why);
// The result number (MmsConfResult) of a confirmation that answers the
// request with the given Transaction-Id: Message-Type m-send-conf as its
// first field, an MMS-Version, that Transaction-Id and a Response-Status.
// Anything else gives MMS_CONF_UNDECODABLE and the reason in *why.
uint16_t fnMMS_CheckSendConf(const uint8_t *pdu, int len, const char *transactionId, MmsConfMismatch *why);
// The Transaction-Id of a PDU's header (a leading quote dropped) as a new
// text, or null when it has none (or no memory).
char *fnMMS_CopyTransactionId(const uint8_t *pdu, int len);

// Decoders of the PDUs the terminal writes (m-notifyresp-ind,
// m-acknowledge-ind, the forward request) or that a relay sends besides the
// ones above (m-delivery-ind, the read reports), for the development relay
// and the tools. They are strict: the PDU must carry its Message-Type and its
// identifying text (Transaction-Id, or Message-ID for the reports), a value
// that runs past the end refuses the PDU, and so does a Content-Type field
// (these PDUs carry no body). Application headers and fields the record does
// not keep are stepped over by their WSP encoding. Null on refusal, with the
// reason in *why when given.
enum class MmsDecodeFault : uint8_t {
    None,
    NoInput,               // null or empty PDU
    NoMemory,              // an allocation failed
    NoMessageType,         // no Message-Type field
    MessageTypeNoValue,    // the Message-Type field ends the PDU
    WrongMessageType,      // `found` where `expected` was expected
    BadApplicationHeader,  // a text-named header at `offset` runs past the end
    BadField,              // the field `field` at `offset` does not decode
    UnexpectedBody,        // a Content-Type field
    MissingField,          // the field named `missing` is absent or empty
};
struct tMMS_DecodeReport {
    MmsDecodeFault fault;
    uint8_t field;
    uint8_t found;
    uint8_t expected;
    long offset;
    const char *missing;  // "Transaction-Id", "Message-ID", "Content-Location"
};
tMMS_NotifyRespInd *fnMMS_ParseNotifyRespInd(const uint8_t *pdu, int len, tMMS_DecodeReport *why = nullptr);
tMMS_AcknowledgeInd *fnMMS_ParseAcknowledgeInd(const uint8_t *pdu, int len, tMMS_DecodeReport *why = nullptr);
tMMS_FwdReq *fnMMS_ParseFwdReq(const uint8_t *pdu, int len, tMMS_DecodeReport *why = nullptr);
tMMS_DeliveryInd *fnMMS_ParseDeliveryInd(const uint8_t *pdu, int len, tMMS_DecodeReport *why = nullptr);
tMMS_ReadRecInd *fnMMS_ParseReadRecInd(const uint8_t *pdu, int len, tMMS_DecodeReport *why = nullptr);
tMMS_ReadOrigInd *fnMMS_ParseReadOrigInd(const uint8_t *pdu, int len, tMMS_DecodeReport *why = nullptr);

// The exported fnMMS_ParseRetrieveConf and fnMMS_ParseSendContent with their
// report: the same lenient decoders (a value cut by the end ends the header),
// and on a null result why->fault says whether the PDU was refused (NoInput,
// BadField at `field`/`offset`) or memory ran out (NoMemory).
tMMS_RetrieveConf *fnMMS_ParseRetrieveConf(const uint8_t *pdu, int len, tMMS_DecodeReport *why);
tMMS_SendReq *fnMMS_ParseSendContent(const uint8_t *pdu, int len, tMMS_DecodeReport *why);
// fnMMS_ParseRetrieveConf with the body left where it lies: `body` points
// into `pdu`, and must be set to null before the record is released.
tMMS_RetrieveConf *MMS_ParseRetrieveConfInPlace(const uint8_t *pdu, int len, tMMS_DecodeReport *why);
// fnMMS_ParseSendContent the same way: ContentTypeAndBody points into `pdu`.
tMMS_SendReq *MMS_ParseSendContentInPlace(const uint8_t *pdu, int len, tMMS_DecodeReport *why);

// Message-Type of a PDU: the first field normally; otherwise the header
// fields are walked by their WSP encodings until 0x8C (or the Content-Type,
// which ends the headers). MMS_NO_MESSAGE_TYPE when there is none.
constexpr int MMS_NO_MESSAGE_TYPE = -1;
int fnMMS_FindMessageType(const uint8_t *pdu, int len);

uint8_t *fnMMS_MakeSendReqPdu(const tMMS_SendReq *req, int *len);
// The same with the body encoded from `body` straight into the PDU (the
// request's ContentTypeAndBody is not read); *bodyLen receives its length. A
// 0 byte follows the PDU in the buffer.
struct mmresstruct;
uint8_t *MMS_MakeSendReqPduWithBody(const tMMS_SendReq *req, const mmresstruct *body, int *len, int *bodyLen);
uint8_t *fnMMS_MakeNotifyRespIndPdu(const char *transactionId, int reportAllowed, uint8_t status, int *len);
uint8_t *fnMMS_MakeAcknowledgeIndPdu(const char *transactionId, int reportAllowed, int *len);
// m-read-rec-ind, the read report a recipient sends (MMS 1.2): Message-ID and
// To (the original sender) must be set and Read_Status be 0x80 Read or 0x81
// Deleted-without-being-read; From is sent as insert-address when null or
// empty, Date only when above 0. The buffer is the caller's (fnQX_Free).
uint8_t *fnMMS_MakeReadRecIndPdu(const tMMS_ReadRecInd *rec, int *len);

// ---------------------------------------------------------------- bodies
struct smilstruct {
    char *Content_Type;
    uint8_t *Data;
    int Data_Len;
    // Data decoded from its transfer encoding (owned; Data points at it).
    uint8_t *Decoded_Data = nullptr;
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
    // Data decoded from its transfer encoding (owned; Data points at it).
    uint8_t *Decoded_Data = nullptr;
};

struct mmresstruct {
    smilstruct *Smil;
    tMMS_Element *Parts;
    uint8_t Single_Part;  // the body is one part, not multipart
};

uint8_t *fnMMS_EncodeBody(const mmresstruct *body, int *len);
// The size fnMMS_EncodeBody gives the body, or -1 when it does not fit an
// int; and the body written through w: its length, or -1 when it does not
// fit the writer or came out larger than its size.
int64_t MMS_EncodedBodySize(const mmresstruct *body);
int64_t MMS_WriteBody(qx::Writer &w, const mmresstruct *body);
// Parts point into `data`, except those decoded from a transfer encoding
// (Decoded_Data); `data` must outlive the record. Null when the bytes are no
// body (*fault, when given: NoInput) or memory ran out (NoMemory).
mmresstruct *fnMMS_DecodeBody(const uint8_t *data, int len, MmsDecodeFault *fault = nullptr);
// Whether a received body lies wholly inside its bytes. `body` starts at the
// Content-Type field (0x84); its value must be whole, and a multipart body
// (or one whose type does not decode) needs its entry count and every
// entry's headers and data inside `len`, by their declared lengths. Nothing
// is copied; bytes after the last entry are not looked at. `part` is the
// entry (1-based) that is cut short, `parts` the entries the body declares.
enum class MmsBodyExtent : uint8_t {
    Whole,             // every declared byte is there
    NoBody,            // no bytes, or they do not start with the Content-Type field
    CutInContentType,  // the Content-Type value runs past the end
    CutBeforeEntries,  // the entry count runs past the end
    CutInEntry,        // entry `part` of `parts` runs past the end
};
struct MmsBodyCheck {
    MmsBodyExtent extent;
    uint32_t part;
    uint32_t parts;
};
MmsBodyCheck MMS_CheckBodyExtent(const uint8_t *body, int len);
void fnMMS_FreeComposedBody(mmresstruct *body);
void fnMMS_FreeDecodedBody(mmresstruct *body);

// ---------------------------------------------------------------- MIME encodings
enum class MimeTransfer { None, Base64, QuotedPrintable, Unknown };

// A Content-Transfer-Encoding value (any letter case, blanks around it):
// None for 7bit, 8bit, binary and an empty value.
MimeTransfer TransferEncodingOf(const char *value);
// Bounded decoders: they write at most n bytes (base64: at most n, plus the
// three bytes of room GLib asks for) and return the count. Base64 passes
// over characters outside its alphabet and ends a quantum at "="; a last
// quantum of two or three characters gives its whole bytes. Quoted-printable
// decodes "=XX" (either case), drops soft line breaks ("=" before a line
// break or the end, blanks allowed between) and blanks at the end of a line;
// any other "=" stays as it is.
size_t Base64DecodeInto(const uint8_t *in, size_t n, uint8_t *out);
size_t QuotedPrintableDecodeInto(const uint8_t *in, size_t n, uint8_t *out);
// An entry's header fields after its Content-Type value: when they carry a
// Content-Transfer-Encoding of base64 or quoted-printable, *data and *len are
// replaced by the decoded bytes in a new buffer stored in *owned (no data
// and length 0 when nothing decodes). Other encodings leave them (an unknown
// one is logged).
Got DecodePartTransferEncoding(WspCursor fields, uint8_t **data, int *len, uint8_t **owned);
// (Value when they were decoded, None when there was nothing to decode.)
// Encoded words ("=?charset?B|Q?text?=") of a text become UTF-8: the text
// is replaced by a new one (Value; None when it holds none). Adjacent words
// are joined without the blanks and line breaks between them, and their
// bytes converted together; bytes that do not convert give U+FFFD, the rest
// is kept. A word whose base64 does not decode, or that decodes to nothing,
// is left out whole; one with a blank inside, an unknown charset or another
// encoding than B or Q is ordinary text.
Got DecodeEncodedWords(char **text);
// A text that DecodeEncodedWords would change (it holds encoded words as they
// are) goes out as one encoded word of its own UTF-8 bytes: Encoded with that
// word in *out (new text); AsIs when the text reads back unchanged (*out
// null); Unwritable when no form reads back equal (it is no UTF-8).
enum class WordGuard { AsIs, Encoded, Unwritable, NoMemory };
WordGuard EncodedWordGuard(const char *text, char **out);
// Both for one part of a received body: its data by its transfer encoding,
// its File_Name and Name_Param by their encoded words.
Got DecodePartMime(WspCursor fields, tMMS_Element *e);

#endif
