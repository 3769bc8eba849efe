// `rorodire parse --html DIR FILE`: a self-contained HTML preview of a
// message. The page loads nothing but the media files written beside it
// (its Content-Security-Policy forbids everything else, scripts included),
// and every text and name from the message is escaped.
#include "rorodire_html.h"

#include "rorodire_files.h"
#include "rorodire_tool.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <set>
#include <string_view>

namespace rrtool {
namespace {

constexpr char kCsp[] =
    "default-src 'none'; img-src 'self'; media-src 'self'; style-src 'unsafe-inline'; "
    "base-uri 'none'; form-action 'none'";

constexpr char kStyle[] = R"(
body{margin:0;background:#d9dde3;font:15px/1.4 system-ui,sans-serif;color:#111}
.phone{max-width:360px;margin:12px auto;background:#fff;border-radius:18px;box-shadow:0 2px 10px #0003;overflow:hidden}
.msg{padding:12px 14px;background:#2b3a4a;color:#fff}
.msg h1{font-size:17px;margin:0 0 6px;overflow-wrap:anywhere}
.msg dl{display:grid;grid-template-columns:auto 1fr;gap:2px 8px;margin:0;font-size:13px}
.msg dt{opacity:.7}.msg dd{margin:0;overflow-wrap:anywhere}
.meta{font-size:12px;opacity:.7;margin:6px 0 0}
.slide{margin:10px;border-radius:12px;padding:8px 10px;border:1px solid #0002}
.bar{font-size:12px;opacity:.75;margin-bottom:6px}
.slide img,.slide video{display:block;max-width:100%;margin:0 auto 4px;border-radius:6px}
.slide audio{width:100%;margin:4px 0}
.text{white-space:pre-wrap;overflow-wrap:anywhere;margin:6px 0 2px;font-size:16px}
.cap{font-size:11px;opacity:.7;margin:0 0 6px;overflow-wrap:anywhere}
.att{margin:10px;padding:8px 10px;border-top:1px solid #0002}
.att h2{font-size:14px;margin:0 0 4px}.att ul{margin:0;padding-left:18px}
.att a{overflow-wrap:anywhere}
)";

// Extensions a browser shows as media or plain text without running anything.
constexpr std::string_view kSafeExtensions[] = {
    "jpg", "jpeg", "jpe", "png", "gif", "bmp", "webp", "wbmp", "ico",                      // images
    "amr", "awb", "wav", "mp3", "m4a", "aac", "ogg", "oga", "opus", "mid", "midi", "imy",  // audio
    "3gp", "3gpp", "3g2", "mp4", "m4v", "webm", "mov", "mpg", "mpeg",                      // video
    "txt", "vcf", "vcs", "ics", "bin",                                                      // others
};

std::string lower(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string seconds(int ms) {
    char b[32];
    if (ms % 1000 == 0)
        std::snprintf(b, sizeof b, "%d s", ms / 1000);
    else
        std::snprintf(b, sizeof b, "%.1f s", ms / 1000.0);
    return b;
}

std::string colour(uint32_t c) {
    char b[16];
    std::snprintf(b, sizeof b, "#%06x", c & 0xFFFFFFu);
    return b;
}

std::string str(const char *s) { return s ? s : ""; }

// Item lines under a medium: name, type, size and its time within the slide.
std::string caption(const char *name, const char *type, int size, int begin, int end) {
    std::string c = html_escape(str(name));
    if (type && *type) c += " · " + html_escape(type);
    c += " · " + std::to_string(size) + " bytes · " + seconds(begin) + "–" + seconds(end);
    return c;
}

}  // namespace

std::string html_escape(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 16);
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            switch (c) {
                case '&': out += "&amp;"; break;
                case '<': out += "&lt;"; break;
                case '>': out += "&gt;"; break;
                case '"': out += "&quot;"; break;
                case '\'': out += "&#39;"; break;
                default:
                    if (c >= 0x20 && c != 0x7F)
                        out += static_cast<char>(c);
                    else if (c == '\n' || c == '\t')
                        out += static_cast<char>(c);
                    else if (c == '\r' && (i + 1 >= s.size() || s[i + 1] != '\n'))
                        out += '\n';
            }
            ++i;
            continue;
        }
        // A well-formed UTF-8 sequence (no overlongs, no surrogates, at most
        // U+10FFFF) is copied; anything else becomes one U+FFFD per byte.
        int n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        if (c > 0xF4) n = 0;
        bool ok = n > 0 && i + n <= s.size();
        for (int k = 1; ok && k < n; ++k) ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
        if (ok && n >= 3) {
            const auto c1 = static_cast<unsigned char>(s[i + 1]);
            if (c == 0xE0 && c1 < 0xA0) ok = false;  // overlong
            if (c == 0xED && c1 >= 0xA0) ok = false;  // surrogate
            if (c == 0xF0 && c1 < 0x90) ok = false;  // overlong
            if (c == 0xF4 && c1 >= 0x90) ok = false;  // above U+10FFFF
        }
        if (ok) {
            out.append(s.substr(i, static_cast<size_t>(n)));
            i += static_cast<size_t>(n);
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

std::string preview_file_name(std::string_view name, std::string_view fallback) {
    // Only the last path element, whichever separator the sender used.
    const size_t cut = name.find_last_of("/\\");
    if (cut != std::string_view::npos) name.remove_prefix(cut + 1);
    std::string n;
    for (char ch : name) {
        const bool keep = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                          ch == '.' || ch == '_' || ch == '-';
        n += keep ? ch : '_';
    }
    while (!n.empty() && n[0] == '.') n.erase(0, 1);
    if (n.size() > 64) n.erase(0, n.size() - 64);  // keep the extension
    while (!n.empty() && n[0] == '.') n.erase(0, 1);
    if (n.empty() || n.find_first_not_of('_') == std::string::npos) n = std::string(fallback);
    const size_t dot = n.rfind('.');
    const std::string ext = dot == std::string::npos ? std::string() : lower(std::string_view(n).substr(dot + 1));
    bool safe = false;
    for (auto e : kSafeExtensions) safe = safe || ext == e;
    if (!safe) n += ".bin";
    return n;
}

namespace {

// The files of the preview and their names, unique within the folder.
struct PreviewFiles {
    std::vector<OutFile> files;
    std::set<std::string> used{"index.html"};
    // Names are prefixed by where the item sits (s2-..., a1-...), so two
    // items never share a file even when the message repeats a name.
    std::string add(const std::string &prefix, const char *name, const std::string &fallback, const void *data,
                    int size) {
        std::string n = prefix + "-" + preview_file_name(str(name), fallback);
        for (int k = 2; used.count(n); ++k)
            n = prefix + "-" + std::to_string(k) + "-" + preview_file_name(str(name), fallback);
        used.insert(n);
        files.push_back({n, data, size > 0 && data ? static_cast<size_t>(size) : 0});
        return n;
    }
};

// The header fields the page shows, from either view of the message.
struct PageHeader {
    const char *subject, *from, *to, *cc, *bcc = nullptr, *msgid = nullptr;
    uint32_t date;
    int pduSize;
};

PageHeader header_of(const tCPS_MmsData &msg, bool retrieved) {
    PageHeader p{};
    if (retrieved) {
        const tMMS_RetrieveConf &h = msg.Header.Retrieve.Retrieve_Conf;
        p.subject = h.Subject, p.from = h.From, p.to = h.To, p.cc = h.Cc, p.msgid = h.Message_Id, p.date = h.Date;
        p.pduSize = msg.Header.Retrieve.Retrieve_Pdu_Size;
    } else {
        const tMMS_SendReq &h = msg.Header.Send_Req;
        p.subject = h.Subject, p.from = h.From, p.to = h.To, p.cc = h.Cc, p.bcc = h.Bcc, p.date = h.Date;
        p.pduSize = msg.Pdu_Size;
    }
    return p;
}

std::string page_head(const PageHeader &p, const std::string &source, bool retrieved, int slideCount,
                      int attachCount) {
    std::string h;
    h += "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">\n";
    h += std::string("<meta http-equiv=\"Content-Security-Policy\" content=\"") + kCsp + "\">\n";
    h += "<meta name=\"referrer\" content=\"no-referrer\">\n";
    h += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    h += "<title>" + html_escape(p.subject && *p.subject ? p.subject : "MMS message") + "</title>\n";
    h += std::string("<style>") + kStyle + "</style>\n</head>\n<body>\n<main class=\"phone\">\n";
    h += "<header class=\"msg\">\n<h1>" +
         (p.subject && *p.subject ? html_escape(p.subject) : std::string("(no subject)")) + "</h1>\n<dl>\n";
    auto row = [&h](const char *k, const std::string &v) {
        if (!v.empty()) h += std::string("<dt>") + k + "</dt><dd>" + html_escape(v) + "</dd>\n";
    };
    row("From", str(p.from));
    row("To", str(p.to));
    row("Cc", str(p.cc));
    row("Bcc", str(p.bcc));
    row("Date", date_text(p.date));
    row("Message-Id", str(p.msgid));
    h += "</dl>\n<p class=\"meta\">" + html_escape(source) + " · " +
         (retrieved ? "retrieved message" : "send request") + " · " + std::to_string(p.pduSize) + " bytes · " +
         std::to_string(slideCount) + (slideCount == 1 ? " slide" : " slides") + " · " + std::to_string(attachCount) +
         (attachCount == 1 ? " attachment" : " attachments") + "</p>\n</header>\n";
    return h;
}

std::string slide_section(const tCPS_Slide &s, int index, int slideCount, const HtmlSlideColours &c,
                          PreviewFiles &out) {
    const std::string sp = "s" + std::to_string(index + 1);
    std::string h = "<section class=\"slide\" style=\"background:" + colour(c.background.value_or(0xFFFFFF)) +
                    ";color:" + colour(c.foreground.value_or(0x111111)) + "\">\n";
    h += "<div class=\"bar\">Slide " + std::to_string(index + 1) + " of " + std::to_string(slideCount) + " · " +
         seconds(s.Duration) + "</div>\n";
    if (s.Has_Image && s.Image.Data) {
        const std::string f = out.add(sp, s.Image.Name, "image", s.Image.Data, s.Image.Size);
        h += "<img src=\"" + f + "\" alt=\"" + html_escape(str(s.Image.Name)) + "\">\n";
        h += "<p class=\"cap\">image " +
             caption(s.Image.Name, s.Image.Content_Type, s.Image.Size, s.Image.Begin, s.Image.End) + "</p>\n";
    }
    if (s.Has_Video && s.Video.Data) {
        const std::string f = out.add(sp, s.Video.Name, "video", s.Video.Data, s.Video.Size);
        h += "<video controls playsinline preload=\"metadata\" src=\"" + f + "\"></video>\n";
        h += "<p class=\"cap\">video " +
             caption(s.Video.Name, s.Video.Content_Type, s.Video.Size, s.Video.Begin, s.Video.End) + "</p>\n";
    }
    if (s.Has_Text && s.Text.Text) {
        const size_t len = s.Text.Length > 0 ? static_cast<size_t>(s.Text.Length) : 0;
        h += "<p class=\"text\">" + html_escape(std::string_view(s.Text.Text, strnlen(s.Text.Text, len))) +
             "</p>\n<p class=\"cap\">text · " + seconds(s.Text.Begin) + "–" + seconds(s.Text.End) + "</p>\n";
    }
    if (s.Has_Audio && s.Audio.Data) {
        const std::string f = out.add(sp, s.Audio.Name, "audio", s.Audio.Data, s.Audio.Size);
        h += "<audio controls preload=\"metadata\" src=\"" + f + "\"></audio>\n";
        h += "<p class=\"cap\">audio " +
             caption(s.Audio.Name, s.Audio.Content_Type, s.Audio.Size, s.Audio.Begin, s.Audio.End) + "</p>\n";
    }
    return h + "</section>\n";
}

// Attachments as links to their files.
std::string attachment_section(const tCPS_AttachNode *list, PreviewFiles &out) {
    std::string h = "<section class=\"att\">\n<h2>Attachments</h2>\n<ul>\n";
    int k = 0;
    for (const tCPS_AttachNode *a = list; a; a = a->next) {
        const std::string f = out.add("a" + std::to_string(++k), a->Name, "attachment", a->Data, a->Size);
        h += "<li><a href=\"" + f + "\" download=\"" + html_escape(f) + "\">" +
             html_escape(a->Name && *a->Name ? a->Name : f.c_str()) + "</a> · " + html_escape(str(a->Content_Type)) +
             " · " + std::to_string(a->Size) + " bytes</li>\n";
    }
    return h + "</ul>\n</section>\n";
}

}  // namespace

void plan_html_preview(const std::string &source, const tCPS_MmsData &msg, bool retrieved,
                       const std::vector<HtmlSlideColours> &colours, HtmlPlan *plan) {
    int slideCount = 0, attachCount = 0;
    for (const tCPS_Slide *s = msg.pSlide_List; s; s = s->next) ++slideCount;
    for (const tCPS_AttachNode *a = msg.pAttach_List; a; a = a->next) ++attachCount;
    PreviewFiles out;
    std::string h = page_head(header_of(msg, retrieved), source, retrieved, slideCount, attachCount);
    int index = 0;
    for (const tCPS_Slide *s = msg.pSlide_List; s; s = s->next, ++index)
        h += slide_section(*s, index, slideCount,
                           index < static_cast<int>(colours.size()) ? colours[index] : HtmlSlideColours{}, out);
    if (attachCount) h += attachment_section(msg.pAttach_List, out);
    h += "</main>\n</body></html>\n";
    plan->page = std::move(h);
    plan->files = std::move(out.files);
    plan->files.push_back({"index.html", plan->page.data(), plan->page.size()});
}

bool write_html_preview(const std::string &dir, const std::string &source, const tCPS_MmsData &msg, bool retrieved,
                        const std::vector<HtmlSlideColours> &colours, bool replace, std::vector<std::string> *written,
                        std::string *why) {
    HtmlPlan plan;
    plan_html_preview(source, msg, retrieved, colours, &plan);
    if (!publish_files(dir, plan.files, replace, why)) return false;
    if (written)
        for (const auto &f : plan.files) written->push_back(f.name);
    return true;
}

}  // namespace rrtool
