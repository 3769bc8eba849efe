// Steps shared by the PDU encoders (MMSProl_Encapsulaton_Encode*.cpp).
//
// An encoder adds up the space its fields can take (in 64 bits, exactly or as
// a safe upper bound), opens one buffer of that size with a bounded writer
// over it, writes its fields and hands the buffer out only when everything
// fitted: a bound that falls short gives a failed encode (null), never a
// write past the buffer.
#ifndef MMSPROL_ENCAPSULATON_ENCODE_H
#define MMSPROL_ENCAPSULATON_ENCODE_H

#include <cstdint>

#include "MMSProl_Encapsulaton.h"

namespace mmsenc {

// Largest uintvar: 5 bytes; a Value-length: 0x1F followed by a uintvar.
constexpr uint64_t kMaxUintvar = 5;
constexpr uint64_t kMaxValueLength = 1 + kMaxUintvar;
// A Long-integer of a 32-bit value: count byte and up to 4 bytes.
constexpr uint64_t kMaxLongInteger = 1 + 4;
// A PDU buffer gets one zero byte past the bytes written.
constexpr uint64_t kTrailingZero = 1;

// A PDU being written: its buffer and the writer over it.
struct PduOut {
    uint8_t *buf;
    qx::Writer w;
};

// One allocation for a PDU of at most `bound` bytes, plus the zero byte kept
// after every PDU. False (logged) when the size cannot be represented or
// memory is short.
bool open_pdu(uint64_t bound, PduOut *out);
// The PDU and its length for the caller, or null (the buffer released) when
// the writer overflowed.
uint8_t *hand_out_pdu(PduOut &out, int *len);

// A field of one byte value.
void put_field(qx::Writer &w, uint8_t code, uint8_t value);
// Every PDU begins with its Message-Type, Transaction-Id (quoted when it
// begins with a byte of 0x7F or more: count it with quote_text_string_size)
// and MMS-Version.
void put_head(qx::Writer &w, uint8_t type, const char *transactionId);
// Sizes of values written by the WSP writers (a null text as an empty one):
// SetTextString, SetQuoteTextString (room for the quote), and
// SetEncodedStringValue (Value-length, charset byte, quote, text, zero).
uint64_t text_string_size(const char *s);
uint64_t quote_text_string_size(const char *s);
uint64_t encoded_string_size(const char *s);
// A subject as it is written (readers decode encoded words in subjects): a text that a reader would
// change by decoding encoded words in it goes as one encoded word of its own
// (EncodedWordGuard), kept in `word`; any other as it is. A text of which no
// form reads back equal (encoded words in no UTF-8) goes as it is too.
struct WireText {
    const char *text = nullptr;
    char *word = nullptr;
    WireText() = default;
    WireText(const WireText &) = delete;
    WireText &operator=(const WireText &) = delete;
    ~WireText();
};
// False when memory is short.
bool wire_text(const char *text, WireText *out);
// Adds the bound of an address list; false when it cannot be represented.
bool add_address_list(uint64_t &total, const char *list);

// A From field of an address the relay or a report names: code,
// Value-length, Address-present token, the address (a phone number with its
// "/TYPE=PLMN" suffix) and its zero byte; from_address_size bounds it.
uint64_t from_address_size(const char *s);
void put_from_address(qx::Writer &w, const char *from);
// Long-integer: count byte and the value's big-endian bytes, at least one
// (a zero value is written as one zero byte).
void put_long_integer(qx::Writer &w, uint32_t v);

}  // namespace mmsenc

#endif
