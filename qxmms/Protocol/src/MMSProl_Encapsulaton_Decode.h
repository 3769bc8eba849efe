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

// What a field handler tells the decoder loop.
enum class Step {
    Next,  // go on with the next field
    Stop,  // decoding ends; the record is the result
    Fail,  // decoding ends; the record is released and the result is null
};

// Outcome of reading one value.
enum class Got {
    Value,       // the value was read and stored
    None,        // the value was complete but nothing was stored (refused charset, no address, ...)
    NoMemory,    // the value was complete but its copy could not be allocated
    Incomplete,  // the value runs past the given length; the cursor is cut
};

// Ends the cursor: a value was not complete within the given length.
inline void cut(WspCursor &c) {
    c.p = c.end;
    c.truncated = true;
}

// One byte; false (cursor cut) when none is left.
bool take_byte(WspCursor &c, uint8_t *v);
// Fields holding one byte value: stored, or stepped over.
Step byte_into(WspCursor &c, unsigned char *field);
Step skip_byte(WspCursor &c);
// Message-Class: a class byte (0x80 or more) is stored; a class given by
// name is taken as Personal (0x80).
Step message_class(WspCursor &c, unsigned char *field);
// From: the address, when one is present, replaces *field.
Step from_field(WspCursor &c, char **field);

// Bytes of the text at the cursor up to and including its zero byte; 0 when
// no zero byte comes before the end.
long text_extent(const WspCursor &c);
// Steps over a text and its zero byte; false (cursor cut) when incomplete.
bool skip_text(WspCursor &c);

using TextReader = char *(*)(WspCursor &, int *);
// Reads the text value at the cursor with one of the WSP text readers, which
// only ever sees the bytes up to the zero byte. On Got::Value the new text
// replaces *field (the old one is released). *extent, when given, receives
// the bytes consumed (zero byte included).
Got read_text(WspCursor &c, TextReader reader, char **field, long *extent = nullptr);
// Reads an Encoded-string-value (Subject, Response-Text) into *field, bounded
// by its Value-length when it has one.
Got read_encoded_text(WspCursor &c, char **field);

// Value-length: 1 read (*len set), 0 the byte is no Value-length (cursor not
// moved), -1 incomplete (cursor cut).
int read_value_length(WspCursor &c, uint32_t *len);
// Takes the next len bytes as a sub-cursor; false (cursor cut) when they run
// past the end.
bool take_region(WspCursor &c, uint32_t len, WspCursor *region);
// Steps over any header value by its WSP encoding: a byte of 0x80 or more is a
// short integer, 0..30 a Value-length and its bytes, 31 a uintvar length and
// its bytes, anything else a text up to its zero byte.
bool skip_wsp_value(WspCursor &c);

// A header field the decoder does not store, its code already taken: an
// application header (code below 0x80, the first byte of its text name) has
// its name skipped, and its text value is met as the next field; a
// well-known field (MMS 1.1 to 1.3 fields, Previously-Sent-*, ...) is
// stepped over by the WSP encoding of its value. Stops only at a value that
// runs past the end.
Step skip_field(WspCursor &c, uint8_t code);

// Integer value: a Long-integer (length 0..30 and its bytes) or a short
// integer (0x80 | value). 1 read, 0 not an integer (stepped over as a WSP
// value, *v untouched), -1 incomplete.
int read_integer(WspCursor &c, uint32_t *v);
// Integer field (Date, Message-Size): the value into *field when it is one.
Step integer_into(WspCursor &c, int *field);

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

// Copies everything from the cursor to the end (the Content-Type field and
// the body) into a new buffer. False when it cannot be allocated.
bool copy_rest(WspCursor &c, unsigned char **body, int *len);

// Transaction-Id as the decoders that refuse an empty one see it: true when
// the text at the cursor is empty (a lone zero byte, or a quote and zero).
bool empty_text_at(const WspCursor &c);

// Runs the header loop of a decoder over [pdu, pdu + len). `field` gets the
// cursor (already past the field code), the record and the field code.
template <typename Rec, typename Field>
Rec *decode_fields(Rec *rec, int type, const uint8_t *pdu, int len, Field field) {
    if (!rec) return nullptr;
    WspCursor c = wsp_cursor(pdu, len);
    while (c.left() > 0 && !c.truncated) {
        const uint8_t code = *c.p++;
        switch (field(c, *rec, code)) {
            case Step::Next:
                break;
            case Step::Stop:
                return rec;
            case Step::Fail:
                fnMMS_FreeMessageMem(rec, type);
                return nullptr;
        }
    }
    return rec;
}

// Step for a handler that only read a value (the field stays as it was when
// the value is refused or could not be copied).
inline Step step_after(Got g) { return g == Got::Incomplete ? Step::Stop : Step::Next; }

}  // namespace mmsdec

#endif
