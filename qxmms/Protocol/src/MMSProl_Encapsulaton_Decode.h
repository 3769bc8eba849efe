// Field handlers shared by the PDU decoders (MMSProl_Encapsulaton_Decode*.cpp).
//
// Every decoder walks the header fields of a PDU with one WspCursor bounded by
// the length it was given; the bytes left before the cursor's end are the
// decoder's remaining count. A handler consumes exactly its field and never
// looks past the end: a value that is not complete within the given length
// cuts the cursor (truncated), which ends decoding as if the count had run out.
#ifndef MMSPROL_ENCAPSULATON_DECODE_H
#define MMSPROL_ENCAPSULATON_DECODE_H

#include <cstdint>

#include "MMSProl_Encapsulaton.h"
#include "qx_internal.h"

namespace mmsdec {

// A field handler tells the decoder loop a Step: Next, Stop (the record is
// the result), Fail or NoMemory (the record is released, the result null).

// Step for a handler that only read a value: the field stays as it was when
// the value is refused; a copy that could not be allocated fails the decode.
constexpr Step step_after(Got g) {
    switch (g) {
        case Got::Value:
        case Got::None:
            return Step::Next;
        case Got::NoMemory:
            return Step::NoMemory;
        case Got::Incomplete:
            break;
    }
    return Step::Stop;
}

// One byte; false (cursor cut) when none is left.
bool take_byte(WspCursor &c, uint8_t *v);
// Fields holding one byte value: stored, or stepped over.
Step byte_into(WspCursor &c, unsigned char *field);
Step skip_byte(WspCursor &c);
// Any field value stepped over by its WSP encoding.
Step skip_value(WspCursor &c);
// Token fields (Status, Report-Allowed, Read-Status): a short-integer byte is
// stored; a value of another form is stepped over by its encoding.
Step token_into(WspCursor &c, unsigned char *field);
// Yes/No fields: 0x80 Yes sets the flag, 0x81 No clears it, another byte
// leaves it (one byte is taken).
Step yes_no(WspCursor &c, int *flag);
// The same as a token field: a value that is no short integer is stepped over.
Step yes_no_token(WspCursor &c, int *flag);
// Message-Class: a class byte (0x80 or more) is stored; a class given by
// name is taken as Personal (0x80).
Step message_class(WspCursor &c, unsigned char *field);
// From: the address, when one is present, replaces *field.
Step from_field(WspCursor &c, char **field);

using TextReader = char *(*)(WspCursor &, int *);
// Reads the text value at the cursor with one of the WSP text readers (GetTextString,
// GetQuoteTextString), which take the bytes up to the first zero byte. On
// Got::Value the new text replaces *field (the old one is released).
Got read_text_field(WspCursor &c, TextReader reader, char **field);
// Reads an Encoded-string-value (Subject, Response-Text) into *field, bounded
// by its Value-length when it has one.
Got read_encoded_text(WspCursor &c, char **field);
// Subject: an Encoded-string-value whose MIME encoded words are decoded.
Step subject_field(WspCursor &c, char **field);
// Handler of a text field read with GetQuoteTextString.
inline Step quote_text_field(WspCursor &c, char **field) {
    return step_after(read_text_field(c, GetQuoteTextString, field));
}

// A header field the decoder does not store, its code already taken: an
// application header (code below 0x80, the first byte of its text name) has
// its name skipped, and its text value is met as the next field; a
// well-known field (MMS 1.1 to 1.3 fields, Previously-Sent-*, ...) is
// stepped over by the WSP encoding of its value. Stops only at a value that
// runs past the end.
Step skip_field(WspCursor &c, uint8_t code);

// Integer field (Message-Size): the value into *field when it is one.
Step integer_into(WspCursor &c, int *field);
// Date: seconds since 1970 as an unsigned 32-bit number into *field. A
// Long-integer of more than four significant bytes (after 2106-02-07) does
// not fit and is stepped over, leaving the field without a date.
Step date_into(WspCursor &c, uint32_t *field);

// Expiry and Delivery-Time: Value-length, the Absolute (0x80) or Relative
// (0x81) token, then the time as an integer. A value without a Value-length
// is stepped over (got None, nothing set).
struct TimeValue {
    Got got;          // Value when the token and the time were read
    bool hasToken;    // the value held a token byte
    uint8_t token;
    uint32_t seconds;  // set with Got::Value
};
TimeValue read_time(WspCursor &c);

// Address value: a text, or an Encoded-string-value (Value-length, charset,
// text) converted to UTF-8 from its charset. The "/TYPE=..." suffix is
// dropped as GetAddressValue does. *out receives a new text on Got::Value.
Got read_address(WspCursor &c, char **out);

// From field value: Value-length, then the address-present token 0x80 and an
// address, or the insert-address token 0x81.
struct FromValue {
    Got got;          // Value when an address was read into `address`
    uint8_t token;    // 0 when the value held no token
    uint32_t length;  // the Value-length (0 when the field carried none)
    char *address;    // new text or null
};
FromValue read_from(WspCursor &c);

// A ";"-separated list field (To, Cc, Bcc) being filled by one decoder run.
// The text grows geometrically, so a PDU of many short address fields costs
// linear time; the field always holds a complete, zero-ended text.
struct ListText {
    char **field;
    size_t len;  // bytes before the zero byte
    size_t cap;  // bytes allocated
};
inline ListText list_text(char **field) { return ListText{field, 0, 0}; }

// Appends an address (old ";" new), taking it over. False when the longer
// text cannot be allocated (the address is then released, the list unchanged).
bool append_address(ListText &list, char *address);
// A list field: reads an address and appends it. An empty address adds
// nothing; a failed copy makes the decoder fail.
Step list_field(WspCursor &c, ListText &list);

// The Content-Type field (its code just read) and the body, as they stand,
// copied into a new buffer for the body codec; decoding ends there.
Step body_field(WspCursor &c, unsigned char **body, int *len);
// The same with the body left where it lies: *body points into the PDU.
Step body_in_place(WspCursor &c, unsigned char **body, int *len);

// Transaction-Id as the decoders that refuse an empty one see it: true when
// the text at the cursor is empty (a lone zero byte, or a quote and zero).
bool empty_text_at(const WspCursor &c);

// Where the header loop is, for decoders that say why they refuse a PDU.
struct FieldWalk {
    const uint8_t *field = nullptr;  // the field code of the field being handled
    bool truncated = false;          // the loop ended inside a value
    bool noMemory = false;           // a handler ran out of memory
};

// Runs the header loop of a decoder over [pdu, pdu + len). `field` gets the
// cursor (already past the field code), the record and the field code.
template <typename Rec, typename Field>
Rec *decode_fields(Rec *rec, int type, const uint8_t *pdu, int len, Field field, FieldWalk *walk = nullptr) {
    if (!rec) return nullptr;
    WspCursor c = wsp_cursor(pdu, len);
    while (c.left() > 0 && !c.truncated) {
        if (walk) walk->field = c.p;
        const uint8_t code = *c.p++;
        switch (field(c, *rec, code)) {
            case Step::Next:
                break;
            case Step::Stop:
                if (walk) walk->truncated = c.truncated;
                return rec;
            case Step::NoMemory:
                if (walk) walk->noMemory = true;
                [[fallthrough]];
            case Step::Fail:
                fnMMS_FreeMessageMem(rec, type);
                return nullptr;
        }
    }
    if (walk) walk->truncated = c.truncated;
    return rec;
}

// The header loop of a lenient decoder with its report, its list fields
// filled through `lists`: on a null result why->fault is NoMemory when a
// copy could not be allocated, else BadField with the field that refused
// the PDU.
template <typename Rec, typename Lists>
Rec *decode_lenient(Rec *rec, int type, const uint8_t *pdu, int len, tMMS_DecodeReport *why, Lists lists,
                    Step (*field)(WspCursor &, Rec &, uint8_t, Lists &)) {
    if (!rec) return nullptr;
    FieldWalk walk;
    rec = decode_fields(
        rec, type, pdu, len, [&lists, field](WspCursor &c, Rec &r, uint8_t code) { return field(c, r, code, lists); },
        &walk);
    if (!rec) {
        why->fault = walk.noMemory ? MmsDecodeFault::NoMemory : MmsDecodeFault::BadField;
        if (walk.field) {
            why->field = *walk.field;
            why->offset = walk.field - pdu;
        }
    }
    return rec;
}

// The strict decoders (m-notifyresp-ind, m-acknowledge-ind, the forward
// request, m-delivery-ind, the read reports): the same header loop, with
// text-named application headers stepped over, the Message-Type checked, a
// Content-Type field refused, and a value that runs past the end refusing
// the PDU. *why, from checked_record, says why a PDU was refused.
// The record of a strict decode: null (with the reason in *why, never null
// here) for missing input or memory.
template <typename Rec>
Rec *checked_record(int type, uint8_t messageType, const uint8_t *pdu, int len, tMMS_DecodeReport *why) {
    *why = tMMS_DecodeReport{MmsDecodeFault::None, 0, 0, messageType, 0, nullptr};
    if (!pdu || len <= 0) {
        why->fault = MmsDecodeFault::NoInput;
        return nullptr;
    }
    auto *rec = static_cast<Rec *>(fnMMS_AllocMessageMem(type));
    if (!rec) why->fault = MmsDecodeFault::NoMemory;
    return rec;
}

template <typename Rec, typename Field>
Rec *decode_checked(Rec *rec, int type, const uint8_t *pdu, int len, tMMS_DecodeReport *why, Field field) {
    if (!rec) return nullptr;
    const uint8_t messageType = why->expected;
    FieldWalk walk;
    bool typeSeen = false;
    auto refuse = [&](MmsDecodeFault fault, uint8_t code) {
        why->fault = fault;
        why->field = code;
        why->offset = walk.field - pdu;
        return Step::Fail;
    };
    rec = decode_fields(
        rec, type, pdu, len,
        [&](WspCursor &c, Rec &r, uint8_t code) {
            if (code < 0x80) {
                // An application header: a text name, then its value.
                --c.p;
                if (!SkipText(c) || !SkipValue(c)) return refuse(MmsDecodeFault::BadApplicationHeader, code);
                return Step::Next;
            }
            if (code == MMS_MESSAGE_TYPE_FIELD) {
                if (c.left() < 1) return refuse(MmsDecodeFault::MessageTypeNoValue, code);
                if (*c.p != messageType) {
                    why->found = *c.p;
                    return refuse(MmsDecodeFault::WrongMessageType, code);
                }
                typeSeen = true;
            }
            if (code == MMS_CONTENT_TYPE_FIELD) return refuse(MmsDecodeFault::UnexpectedBody, code);
            const Step s = field(c, r, code);
            if (s == Step::Fail) refuse(MmsDecodeFault::BadField, code);
            return s;
        },
        &walk);
    if (!rec) {
        if (walk.noMemory) why->fault = MmsDecodeFault::NoMemory;
        return nullptr;
    }
    if (walk.truncated) {
        why->fault = MmsDecodeFault::BadField;
        why->field = *walk.field;
        why->offset = walk.field - pdu;
    } else if (!typeSeen) {
        why->fault = MmsDecodeFault::NoMessageType;
    }
    if (why->fault != MmsDecodeFault::None) {
        fnMMS_FreeMessageMem(rec, type);
        return nullptr;
    }
    return rec;
}

// After a strict decode: a text the PDU must carry (its identifier); the
// record is released and null given when it is absent or empty.
template <typename Rec>
Rec *require_text(Rec *rec, int type, const char *text, const char *name, tMMS_DecodeReport *why) {
    if (!rec || (text && *text)) return rec;
    why->fault = MmsDecodeFault::MissingField;
    why->missing = name;
    fnMMS_FreeMessageMem(rec, type);
    return nullptr;
}

}  // namespace mmsdec

#endif
