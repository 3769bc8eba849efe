// The rorodire command-line tool: shared declarations of its commands.
#ifndef RORODIRE_TOOL_H
#define RORODIRE_TOOL_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rorodire.h"
#include "rr_slides.h"

namespace rrtool {

// ---------------------------------------------------------------- decoded view
// One header field of a decoded record, named as the record field.
struct Field {
    enum class Kind { Text, Int, Byte };
    std::string name;
    Kind kind = Kind::Int;
    std::optional<std::string> text;  // Kind::Text; nullopt when the field is absent
    long long number = 0;             // Kind::Int and Kind::Byte
    const char *meaning = nullptr;    // the value in words, when it has a name ("Retrieved")
};

// One part of a decoded multipart body.
struct Part {
    std::optional<std::string> contentType;
    std::optional<std::string> name;
    std::optional<std::string> contentId;
    std::optional<int> charset;
    int size = 0;
};

// What `dump` shows for one file.
struct Dump {
    std::string file;
    std::optional<std::string> type;  // "m-retrieve-conf", ...; nullopt when unknown
    int typeCode = -1;                // Message-Type byte, -1 when none was found
    long long size = 0;               // bytes in the file
    std::vector<Field> headers;
    bool hasBody = false;             // the PDU type carries a body
    std::vector<Part> parts;
    bool smil = false;
    std::optional<std::string> smilContentType;
    int smilSize = 0;
    std::string error;                // empty when the file decoded
};

// ---------------------------------------------------------------- PDU types
// "m-send-req", ... for a Message-Type byte, or null for an unknown one.
const char *message_type_name(int code);

// Status of an m-delivery-ind (and m-notifyresp-ind): "Expired" (0x80) ..
// "Unreachable" (0x87); Read-Status of the read reports: "Read" (0x80),
// "Deleted" (0x81, deleted without being read). Null for other values.
const char *delivery_status_name(int status);
const char *read_status_name(int status);
// Response-Status of the confirmations ("Error-permanent-message-format-corrupt"
// for 0xE2; reserved values by their class) and Retrieve-Status of an
// m-retrieve-conf; null for values outside them.
const char *response_status_name(int status);
const char *retrieve_status_name(int status);

// Decodes one PDU into its view with the library's decoders.
Dump dump_pdu(const std::string &file, const std::vector<uint8_t> &bytes);

// ---------------------------------------------------------------- output
// Characters that are never shown or written raw: the C1 controls
// (U+0080..U+009F, e.g. CSI U+009B), U+2028, U+2029, U+FEFF and the
// bidirectional marks, embeddings and isolates.
bool is_hidden_control(uint32_t cp);
// Bytes of the well-formed UTF-8 sequence of such a character at s[i]; 0
// when there is none.
size_t hidden_control_at(std::string_view s, size_t i);
// A JSON string literal (quotes included): control bytes as \u00XX, the
// hidden controls above as \uXXXX, invalid UTF-8 bytes as U+FFFD.
void append_json_string(std::string &out, std::string_view s);
// A quoted text for a terminal: control and invalid UTF-8 bytes as \xNN,
// the hidden controls as \uXXXX.
void append_display_string(std::string &out, std::string_view s);
// One line (ending in a newline) with the whole view as a JSON object.
std::string to_json(const Dump &d);
// The human-readable form, several lines.
std::string to_text(const Dump &d);

// Dates of the records: seconds since 1970 UTC as an unsigned 32-bit number,
// 0 for none (up to 2106-02-07 06:28:15 UTC). Computed with 64-bit GLib
// time on every CPU, whatever the width of time_t.
uint32_t date_now();
// "2038-01-19 03:14:08 UTC"; empty for 0.
std::string date_text(uint32_t date);
// A date as a user writes it: seconds since 1970 (digits only) or
// YYYY-MM-DDTHH:MM:SS with Z or an offset; nullopt when it is neither or
// lies outside 1970-01-01T00:00:01Z to 2106-02-07T06:28:15Z.
std::optional<uint32_t> parse_date(const std::string &text);

// The composer's result codes in words.
inline const char *composer_code_text(int code) {
    return rrhost::composer_code_text(static_cast<rrhost::ComposerCode>(code));
}

// ---------------------------------------------------------------- commands
int cmd_dump(int argc, char **argv);
int cmd_example(int argc, char **argv);
int cmd_compose(int argc, char **argv);
int cmd_parse(int argc, char **argv);
int cmd_relay(int argc, char **argv);
int cmd_send(int argc, char **argv);
int cmd_fetch(int argc, char **argv);
int cmd_read_report(int argc, char **argv);

}  // namespace rrtool

#endif
