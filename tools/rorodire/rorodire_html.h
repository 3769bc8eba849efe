// HTML preview of a parsed message: one self-contained page with its media
// files beside it, shown the way a phone shows the message.
#ifndef RORODIRE_HTML_H
#define RORODIRE_HTML_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rorodire.h"
#include "rorodire_files.h"

namespace rrtool {

// Colours of one slide as the presentation gives them (0xRRGGBB in the low
// 24 bits); nullopt where the presentation sets none.
struct HtmlSlideColours {
    std::optional<uint32_t> background, foreground;
};

// Writes DIR/index.html and every slide item and attachment as a file in DIR
// (created when missing). `retrieved` picks the header view of `msg`
// (fnCPS_ParserMMS) or the send-request view (fnCPS_ComposeMMS action 1);
// `source` is the file name shown on the page. Written as publish_files
// writes: staged inside DIR, an existing file of a name refused unless
// `replace`, and on failure only what this call made removed. False with
// *why set on failure; *written gets the file names placed in DIR.
bool write_html_preview(const std::string &dir, const std::string &source, const tCPS_MmsData &msg, bool retrieved,
                        const std::vector<HtmlSlideColours> &colours, bool replace, std::vector<std::string> *written,
                        std::string *why);

// The files of a preview before they are written: index.html (its text in
// `page`) and the media, each pointing into `page` or the message.
struct HtmlPlan {
    std::string page;
    std::vector<OutFile> files;
};
void plan_html_preview(const std::string &source, const tCPS_MmsData &msg, bool retrieved,
                       const std::vector<HtmlSlideColours> &colours, HtmlPlan *plan);

// Text made safe for HTML element content and attribute values: invalid
// UTF-8 becomes U+FFFD, control characters other than tab and newline are
// dropped, and & < > " ' are written as character references.
std::string html_escape(std::string_view s);

// A file name that is safe inside the preview directory: no directories, no
// leading dot, only letters, digits and . _ - (others become _), at most 64
// bytes, and a name whose extension a browser could run as a document
// (html, svg, xml, js, pdf, ...) gets ".bin" appended.
std::string preview_file_name(std::string_view name, std::string_view fallback);

}  // namespace rrtool

#endif
