// rorodired's view of PDUs (host side, pure functions over the library's
// decoders, WSP reader and composer; no I/O): the WAP push around a
// notification or report, what a stored message shows (each part's place in
// the stored PDU, or its decoded bytes when it came transfer-encoded), and
// composing what a client sends.
//
// Changes to this header are additive; the newest are listed here:
//   (none yet)
#ifndef RORODIRED_PDU_H
#define RORODIRED_PDU_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core.h"

namespace rrd {

// What a push carries.
enum class PushKind : uint8_t {
    Notification,  // m-notification-ind
    DeliveryInd,   // m-delivery-ind
    ReadOrigInd,   // m-read-orig-ind
    Other,         // not a WAP push of application/vnd.wap.mms-message, or another PDU
};

// The MMS PDU inside a WAP push (WSP push header with content type
// application/vnd.wap.mms-message, read with the library's WSP reader), or
// the bytes themselves when they are a bare MMS PDU. *kind says which; empty
// with *why for anything else.
std::vector<uint8_t> pdu_of_push(const std::vector<uint8_t> &push, PushKind *kind, std::string *why);

// The fields of an m-notification-ind; false when it does not decode or has
// no Content-Location.
bool notification_of_ind(const std::vector<uint8_t> &ind, Notification *n, std::string *why);

// A delivery report (m-delivery-ind) or read report (m-read-orig-ind);
// false when it does not decode or names no Message-ID.
bool report_of_pdu(const std::vector<uint8_t> &pdu, PushKind kind, Report *r, std::string *why);

// What a stored PDU (m-send-req or m-retrieve-conf) shows. Without
// transfer-encoded parts every part gets its offset and length in the PDU.
// With any part in base64 or quoted-printable, every part gets partFile =
// Attachment::kPartsFile and its offset in the message's file of parts,
// whose bytes (each part's, decoded, one after the other) are the one
// element of *decodedParts (left empty otherwise; null: offsets only).
// Every text is valid UTF-8 without zero bytes.
bool view_of_pdu(const std::vector<uint8_t> &pdu, View *v, std::vector<std::vector<uint8_t>> *decodedParts = nullptr);

// One file the client wants to send.
struct OutPart {
    std::string id, contentType;
    std::vector<uint8_t> data;
};
struct OutMessage {
    std::vector<std::string> recipients;
    std::optional<std::string> subject, smil;
    bool deliveryReport = false;
    bool readReply = false;      // ask the recipients for a read report
    bool autoCreateSmil = true;  // false without smil: multipart/mixed, no presentation
    std::string from;            // empty: the relay inserts it
    std::string transactionId;   // "T<id>"
    int64_t date = 0;            // seconds since 1970
    std::vector<OutPart> parts;
};
// The m-send-req for a message: with the client's SMIL through the body
// encoder, without SMIL through the composer (autoCreateSmil) or as a
// multipart/mixed body. Empty with an error name and text when it cannot be
// composed.
std::vector<uint8_t> compose(const OutMessage &m, std::string *errorName, std::string *why);

// A text for D-Bus: valid UTF-8 without zero bytes, at most maxBytes bytes
// cut at a character boundary.
std::string clean_text(const char *s, size_t n, size_t maxBytes = SIZE_MAX);

}  // namespace rrd

#endif
