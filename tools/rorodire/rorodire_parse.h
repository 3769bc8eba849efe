// `rorodire parse`: a retrieved message or a stored send request taken apart
// into slides and attachments, shown, extracted or previewed.
#ifndef RORODIRE_PARSE_H
#define RORODIRE_PARSE_H

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "rorodire.h"

namespace rrtool {

struct ParsedItem {
    std::string kind, name, type;
    const unsigned char *data = nullptr;
    int size = 0, begin = 0, end = 0;
};

struct ParsedSlide {
    int dur = 0;
    std::vector<ParsedItem> items;
    std::optional<std::string> text;
    int textBegin = 0, textEnd = 0;
    std::optional<uint32_t> bg, fg;
};

// A message taken apart by the library: the host's records (freed with the
// object) and the slides as the tool shows them.
struct ParsedMessage {
    int type = 0;  // 0x84 m-retrieve-conf or 0x80 m-send-req
    tCPS_MmsData d{};
    std::vector<ParsedSlide> slides;
    ParsedMessage() = default;
    ParsedMessage(const ParsedMessage &) = delete;
    ParsedMessage &operator=(const ParsedMessage &) = delete;
    ~ParsedMessage();
    bool retrieved() const { return type == 0x84; }
};

// Takes the PDU apart; empty on success, else what is wrong with it (one
// line naming `file`).
std::string load_message(const std::string &file, const std::vector<uint8_t> &bytes, ParsedMessage *m);

// A file name for an extracted item: its own name without directories, or
// `fallback`; control characters (C0 and C1), U+2028, U+2029, U+FEFF and the
// bidirectional controls that would make a name read otherwise than it is
// (U+202A..U+202E, U+2066..U+2069, U+200E, U+200F, U+061C) become "_", as
// does a leading "." or "-" get one
// before it; shortened to what a file system takes (keeping the extension);
// never one in `used`, which it joins.
std::string extract_name(const std::string &name, const std::string &fallback, std::set<std::string> &used);

// Writes every slide item, slide text and attachment into `dir`, all or
// nothing (publish_files: an existing file is refused unless `replace`).
// *written gets the file names in order.
bool extract_items(const std::string &dir, const ParsedMessage &m, bool replace, std::vector<std::string> *written,
                   std::string *why);

// Writes the HTML preview of the message into `dir` (the same way).
bool preview_message(const std::string &dir, const std::string &file, const ParsedMessage &m, bool replace,
                     std::string *why);

}  // namespace rrtool

#endif
