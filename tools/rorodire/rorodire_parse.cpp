// `rorodire parse` takes a retrieved message or a stored send request apart
// into slides and attachments and can extract them as files or write an HTML
// preview.
#include "rorodire_parse.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "MMSProl_Encapsulaton.h"
#include "MMSPs_SlideView.h"
#include "qx_log.h"
#include "rorodire_check.h"
#include "rorodire_files.h"
#include "rorodire_host.h"
#include "rorodire_html.h"
#include "rorodire_tool.h"

namespace rrtool {

namespace {

constexpr char kParseUsage[] =
    "usage: rorodire parse [--json] [--extract DIR] [--html DIR] [--force] FILE\n"
    "\n"
    "Takes a retrieved message (m-retrieve-conf, as `fetch` writes it) or a send\n"
    "request (as `compose` writes it) apart with the library's parser: header,\n"
    "slides (items with name, type, size, begin, end; the text), slide durations\n"
    "and colours, attachments.\n"
    "  --json         one JSON object instead of the listing\n"
    "  --extract DIR  write every media item, slide text and attachment into DIR\n"
    "                 (made when missing); names are made safe (no folders, no\n"
    "                 leading dot or dash, control and bidirectional characters\n"
    "                 as _) and kept apart\n"
    "  --html DIR     write DIR/index.html, a self-contained preview (no scripts,\n"
    "                 no network), with the media beside it; with --extract into\n"
    "                 the same DIR both are written together and extracted names\n"
    "                 keep clear of the preview's\n"
    "  --force        replace files of the same names in DIR (never a folder,\n"
    "                 symbolic link, device or FIFO); without it an existing\n"
    "                 name is refused before anything is written\n"
    "All files are written or none: through a staging folder, fsync, rename.\n"
    "Exit status: 0 done, 1 the file cannot be read or parsed or DIR written,\n"
    "2 usage error.\n";

// Longest extracted file name: a file system takes 255 bytes, and a prefix
// that keeps names unique ("12-") must still fit.
constexpr size_t kMaxExtractName = 240;

std::string colour(uint32_t c) {
    char b[16];
    std::snprintf(b, sizeof b, "#%06x", c & 0xFFFFFFu);
    return b;
}

std::string str(const char *s) { return s ? s : ""; }

// Colours are not part of the host's slide records: they are read from the
// slide view of the same body.
void add_colours(const uint8_t *body, int len, std::vector<ParsedSlide> &slides) {
    if (!body || len <= 0 || fnPAR_ParseMMS(body, len) != PAR_VIEW_BUILT) {
        fnPAR_Release();
        return;
    }
    fnPAR_FirstSlide();
    for (size_t i = 0; i < slides.size() && !fnPAR_IsEmpty(); ++i) {
        uint32_t c = 0;
        if (fnPAR_GetBgColor(&c)) slides[i].bg = c;
        if (fnPAR_GetForeColor(&c)) slides[i].fg = c;
        if (!fnPAR_NextSlide()) break;
    }
    fnPAR_Release();
}

// A PDU whose header decodes but which is cut short is refused; one that
// does not decode at all is reported by the composer later.
std::string cut_short_problem(const std::string &file, const std::vector<uint8_t> &bytes, int type) {
    const std::string cut = pdu_problem(bytes, type);
    if (cut.empty()) return {};
    bool decodes = false;
    const int n = static_cast<int>(bytes.size());
    if (type == 0x84) {
        tMMS_RetrieveConf *r = fnMMS_ParseRetrieveConf(bytes.data(), n);
        decodes = r != nullptr;
        if (r) fnMMS_FreeMessageMem(r, MMS_STRUCT_RETRIEVE_CONF);
    } else {
        tMMS_SendReq *q = fnMMS_ParseSendContent(bytes.data(), n);
        decodes = q != nullptr;
        if (q) fnMMS_FreeMessageMem(q, MMS_STRUCT_SEND_REQ);
    }
    return decodes ? "'" + file + "' " + cut : std::string();
}

void collect_slides(ParsedMessage &m) {
    for (const tCPS_Slide *s = m.d.pSlide_List; s; s = s->next) {
        ParsedSlide p;
        p.dur = s->Duration;
        auto add = [&p](const char *kind, const auto &it) {
            p.items.push_back({kind, str(it.Name), str(it.Content_Type), it.Data, it.Size, it.Begin, it.End});
        };
        if (s->Has_Image) add("image", s->Image);
        if (s->Has_Audio) add("audio", s->Audio);
        if (s->Has_Video) add("video", s->Video);
        if (s->Has_Text && s->Text.Text) {
            p.text = std::string(s->Text.Text, static_cast<size_t>(s->Text.Length > 0 ? s->Text.Length : 0));
            p.textBegin = s->Text.Begin;
            p.textEnd = s->Text.End;
        }
        m.slides.push_back(std::move(p));
    }
    const bool rc = m.retrieved();
    const uint8_t *body = rc ? m.d.Header.Retrieve.Retrieve_Conf.body : m.d.Header.Send_Req.ContentTypeAndBody;
    const int bodyLen = rc ? m.d.Header.Retrieve.Retrieve_Conf.Content_Size : m.d.Header.Send_Req.Body_Len;
    add_colours(body, bodyLen, m.slides);
}

// `s` with every hidden control (the C1 controls, U+2028, U+2029, U+FEFF and
// the bidirectional controls) written as "_": a name shows as it is.
std::string without_bidi_controls(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        if (const size_t len = hidden_control_at(s, i)) {
            out += '_';
            i += len;
        } else {
            out += s[i++];
        }
    }
    return out;
}

// Cuts `s` to at most `n` bytes without splitting a UTF-8 sequence.
std::string utf8_prefix(const std::string &s, size_t n) {
    if (s.size() <= n) return s;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

}  // namespace

ParsedMessage::~ParsedMessage() {
    rrhost::free_lists(d);
    if (type == 0x84) rrhost::free_retrieve_header(d.Header.Retrieve.Retrieve_Conf);
    if (type == 0x80) rrhost::free_send_header(d.Header.Send_Req);
}

std::string load_message(const std::string &file, const std::vector<uint8_t> &bytes, ParsedMessage *m) {
    if (bytes.empty() || bytes.size() > static_cast<size_t>(INT32_MAX))
        return "'" + file + "' is " + (bytes.empty() ? "empty" : "too large");
    const int type = fnMMS_FindMessageType(bytes.data(), static_cast<int>(bytes.size()));
    if (type != 0x84 && type != 0x80) {
        const char *name = type >= 0 ? message_type_name(type) : nullptr;
        return "'" + file + "' is " + (name ? "an " : "no MMS PDU") + (name ? name : "") +
               ", not a retrieved message or a send request";
    }
    qx::set_log_enabled(false);
    if (std::string cut = cut_short_problem(file, bytes, type); !cut.empty()) return cut;
    tCPS_PduBuf pdu{const_cast<uint8_t *>(bytes.data()), static_cast<int>(bytes.size())};
    const int rc = type == 0x84 ? fnCPS_ParserMMS(&m->d, &pdu) : fnCPS_ComposeMMS(&m->d, &pdu, 1);
    if (rc != 0) {
        rrhost::free_lists(m->d);
        m->d = tCPS_MmsData{};
        return "'" + file + "': " + composer_code_text(rc) + " (composer code " + std::to_string(rc) + ")";
    }
    m->type = type;
    collect_slides(*m);
    return {};
}

std::string extract_name(const std::string &name, const std::string &fallback, std::set<std::string> &used) {
    std::string n = without_bidi_controls(base_name(name));
    for (char &c : n)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '/') c = '_';
    if (n.empty() || n == "." || n == "..") n = fallback;
    if (n[0] == '.' || n[0] == '-') n = "_" + n;
    if (n.size() > kMaxExtractName) {
        // Keep a short extension; shorten the stem.
        const size_t dot = n.rfind('.');
        const std::string ext = dot != std::string::npos && dot > 0 && n.size() - dot <= 16 ? n.substr(dot) : "";
        n = utf8_prefix(n.substr(0, n.size() - ext.size()), kMaxExtractName - ext.size()) + ext;
    }
    std::string candidate = n;
    for (int k = 2; used.count(candidate); ++k) candidate = std::to_string(k) + "-" + n;
    used.insert(candidate);
    return candidate;
}

void extract_plan(const ParsedMessage &m, std::set<std::string> used, std::vector<OutFile> *files) {
    for (size_t i = 0; i < m.slides.size(); ++i) {
        const ParsedSlide &s = m.slides[i];
        for (const auto &it : s.items) {
            const std::string n = extract_name(it.name, "slide" + std::to_string(i + 1) + "-" + it.kind, used);
            files->push_back({n, it.data, it.data && it.size > 0 ? static_cast<size_t>(it.size) : 0});
        }
        if (s.text) {
            const std::string n = extract_name("slide" + std::to_string(i + 1) + ".txt", "text", used);
            files->push_back({n, s.text->data(), s.text->size()});
        }
    }
    int k = 0;
    for (const tCPS_AttachNode *a = m.d.pAttach_List; a; a = a->next) {
        const std::string n = extract_name(str(a->Name), "attachment" + std::to_string(++k), used);
        files->push_back({n, a->Data, a->Data && a->Size > 0 ? static_cast<size_t>(a->Size) : 0});
    }
}

bool extract_items(const std::string &dir, const ParsedMessage &m, bool replace, std::vector<std::string> *written,
                   std::string *why) {
    std::vector<OutFile> files;
    extract_plan(m, {}, &files);
    if (!publish_files(dir, files, replace, why)) return false;
    for (const auto &f : files) written->push_back(f.name);
    return true;
}

void preview_plan(const std::string &file, const ParsedMessage &m, HtmlPlan *plan) {
    std::vector<HtmlSlideColours> colours;
    for (const auto &s : m.slides) colours.push_back({s.bg, s.fg});
    plan_html_preview(file, m.d, m.retrieved(), colours, plan);
}

bool preview_message(const std::string &dir, const std::string &file, const ParsedMessage &m, bool replace,
                     std::string *why) {
    HtmlPlan plan;
    preview_plan(file, m, &plan);
    return publish_files(dir, plan.files, replace, why);
}

bool write_outputs(const std::string &extractDir, const std::string &htmlDir, const std::string &file,
                   const ParsedMessage &m, bool replace, std::vector<std::string> *written, std::string *why) {
    HtmlPlan plan;
    if (!htmlDir.empty()) preview_plan(file, m, &plan);
    const bool together = !extractDir.empty() && !htmlDir.empty() && same_folder(extractDir, htmlDir);
    // In one folder the extracted files keep clear of the preview's names,
    // and everything is written at once: the preview never replaces a file
    // this run extracted.
    std::set<std::string> reserved;
    if (together)
        for (const auto &f : plan.files) reserved.insert(f.name);
    std::vector<OutFile> files;
    if (!extractDir.empty()) extract_plan(m, reserved, &files);
    for (const auto &f : files) written->push_back(f.name);
    if (together) {
        files.insert(files.end(), plan.files.begin(), plan.files.end());
        return publish_files(extractDir, files, replace, why);
    }
    // Two folders: both are checked before either is written.
    if (!extractDir.empty() && !check_publishable(extractDir, files, replace, why)) return false;
    if (!htmlDir.empty() && !check_publishable(htmlDir, plan.files, replace, why)) return false;
    if (!extractDir.empty() && !publish_files(extractDir, files, replace, why)) return false;
    return htmlDir.empty() || publish_files(htmlDir, plan.files, replace, why);
}

namespace {

void json_kv(std::string &o, const char *key, const std::string &v, bool comma = true) {
    append_json_string(o, key);
    o += ':';
    append_json_string(o, v);
    if (comma) o += ',';
}

void json_opt(std::string &o, const char *key, const char *v) {
    append_json_string(o, key);
    o += ':';
    if (v)
        append_json_string(o, v);
    else
        o += "null";
    o += ',';
}

void json_header(std::string &o, const ParsedMessage &m) {
    auto flags = [&o](const auto &h, int pduSize) {
        o += "\"Date\":" + std::to_string(h.Date) + ",\"Message_Class\":" + std::to_string(h.Message_Class) +
             ",\"Priority\":" + std::to_string(h.Priority) + ",\"Delivery_Report\":" +
             std::to_string(h.Delivery_Report) + ",\"Read_Reply\":" + std::to_string(h.Read_Reply) +
             ",\"Pdu_Size\":" + std::to_string(pduSize);
    };
    o += "\"header\":{";
    if (m.retrieved()) {
        const tMMS_RetrieveConf &h = m.d.Header.Retrieve.Retrieve_Conf;
        json_opt(o, "Transaction_Id", h.Transaction_Id);
        json_opt(o, "Message_Id", h.Message_Id);
        json_opt(o, "From", h.From);
        json_opt(o, "To", h.To);
        json_opt(o, "Cc", h.Cc);
        json_opt(o, "Subject", h.Subject);
        flags(h, m.d.Header.Retrieve.Retrieve_Pdu_Size);
    } else {
        const tMMS_SendReq &h = m.d.Header.Send_Req;
        json_opt(o, "Transaction_Id", h.Transaction_Id);
        json_opt(o, "From", h.From);
        json_opt(o, "To", h.To);
        json_opt(o, "Cc", h.Cc);
        json_opt(o, "Bcc", h.Bcc);
        json_opt(o, "Subject", h.Subject);
        flags(h, m.d.Pdu_Size);
    }
    o += "}";
}

void json_slide(std::string &o, const ParsedSlide &s) {
    o += "{\"duration\":" + std::to_string(s.dur) + ",\"items\":[";
    for (size_t k = 0; k < s.items.size(); ++k) {
        const ParsedItem &it = s.items[k];
        if (k) o += ',';
        o += '{';
        json_kv(o, "kind", it.kind);
        json_kv(o, "name", it.name);
        json_kv(o, "type", it.type);
        o += "\"size\":" + std::to_string(it.size) + ",\"begin\":" + std::to_string(it.begin) +
             ",\"end\":" + std::to_string(it.end) + '}';
    }
    o += "],\"text\":";
    if (s.text) {
        o += '{';
        json_kv(o, "text", *s.text);
        o += "\"size\":" + std::to_string(s.text->size()) + ",\"begin\":" + std::to_string(s.textBegin) +
             ",\"end\":" + std::to_string(s.textEnd) + '}';
    } else {
        o += "null";
    }
    o += ",\"background\":" + (s.bg ? "\"" + colour(*s.bg) + "\"" : std::string("null"));
    o += ",\"foreground\":" + (s.fg ? "\"" + colour(*s.fg) + "\"" : std::string("null")) + '}';
}

std::string to_json(const std::string &file, const ParsedMessage &m, bool extracted,
                    const std::vector<std::string> &written) {
    std::string o = "{";
    json_kv(o, "file", file);
    json_kv(o, "type", m.retrieved() ? "m-retrieve-conf" : "m-send-req");
    json_header(o, m);
    o += ",\"slides\":[";
    for (size_t i = 0; i < m.slides.size(); ++i) {
        if (i) o += ',';
        json_slide(o, m.slides[i]);
    }
    o += "],\"attachments\":[";
    for (const tCPS_AttachNode *a = m.d.pAttach_List; a; a = a->next) {
        if (a != m.d.pAttach_List) o += ',';
        o += '{';
        json_kv(o, "name", str(a->Name));
        json_kv(o, "type", str(a->Content_Type));
        o += "\"size\":" + std::to_string(a->Size) + '}';
    }
    o += ']';
    if (extracted) {
        o += ",\"extracted\":[";
        for (size_t i = 0; i < written.size(); ++i) {
            if (i) o += ',';
            append_json_string(o, written[i]);
        }
        o += ']';
    }
    return o + "}\n";
}

void text_header(std::string &o, const ParsedMessage &m) {
    auto line = [&o](const char *k, const char *v) {
        if (!v) return;
        o += std::string("  ") + k + ": ";
        append_display_string(o, v);
        o += '\n';
    };
    if (m.retrieved()) {
        const tMMS_RetrieveConf &h = m.d.Header.Retrieve.Retrieve_Conf;
        line("Message-Id", h.Message_Id), line("Transaction-Id", h.Transaction_Id), line("From", h.From);
        line("To", h.To), line("Cc", h.Cc), line("Subject", h.Subject);
        if (h.Date != 0) o += "  Date: " + std::to_string(h.Date) + " (" + date_text(h.Date) + ")\n";
    } else {
        const tMMS_SendReq &h = m.d.Header.Send_Req;
        line("Transaction-Id", h.Transaction_Id), line("From", h.From), line("To", h.To), line("Cc", h.Cc);
        line("Bcc", h.Bcc), line("Subject", h.Subject);
        if (h.Date != 0) o += "  Date: " + std::to_string(h.Date) + " (" + date_text(h.Date) + ")\n";
    }
}

std::string to_text(const std::string &file, const ParsedMessage &m, const std::string &extractDir,
                    const std::vector<std::string> &written) {
    std::string o = file + ": " + (m.retrieved() ? "m-retrieve-conf" : "m-send-req") + "\n";
    text_header(o, m);
    for (size_t i = 0; i < m.slides.size(); ++i) {
        const ParsedSlide &s = m.slides[i];
        o += "slide " + std::to_string(i + 1) + ": " + std::to_string(s.dur) + " ms";
        if (s.bg) o += ", background " + colour(*s.bg);
        if (s.fg) o += ", text colour " + colour(*s.fg);
        o += '\n';
        for (const auto &it : s.items) {
            o += "  " + it.kind + " ";
            append_display_string(o, it.name);
            o += " (" + it.type + ", " + std::to_string(it.size) + " bytes) " + std::to_string(it.begin) + "-" +
                 std::to_string(it.end) + " ms\n";
        }
        if (s.text) {
            o += "  text " + std::to_string(s.textBegin) + "-" + std::to_string(s.textEnd) + " ms: ";
            append_display_string(o, *s.text);
            o += '\n';
        }
    }
    for (const tCPS_AttachNode *a = m.d.pAttach_List; a; a = a->next) {
        o += "attachment ";
        append_display_string(o, str(a->Name));
        o += " (" + str(a->Content_Type) + ", " + std::to_string(a->Size) + " bytes)\n";
    }
    for (const auto &w : written) o += "extracted " + extractDir + "/" + w + "\n";
    return o;
}

struct ParseOptions {
    std::string file, extractDir, htmlDir;
    bool json = false;
    bool force = false;  // replace files of the same names in DIR
};

// 0 to go on, else the exit status.
int parse_options(int argc, char **argv, ParseOptions *p) {
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--json") {
            p->json = true;
        } else if (a == "--force") {
            p->force = true;
        } else if (a == "--extract" || a == "--html") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "rorodire parse: %s needs a directory\n%s", a.c_str(), kParseUsage);
                return 2;
            }
            (a == "--extract" ? p->extractDir : p->htmlDir) = argv[++i];
        } else if (a == "-h" || a == "--help") {
            std::fputs(kParseUsage, stdout);
            return -1;
        } else if (p->file.empty() && (a.empty() || a[0] != '-')) {
            p->file = a;
        } else {
            std::fprintf(stderr, "rorodire parse: unknown argument '%s'\n%s", a.c_str(), kParseUsage);
            return 2;
        }
    }
    if (p->file.empty()) {
        std::fprintf(stderr, "%s", kParseUsage);
        return 2;
    }
    return 0;
}

}  // namespace

int cmd_parse(int argc, char **argv) {
    ParseOptions p;
    if (const int rc = parse_options(argc, argv, &p)) return rc < 0 ? 0 : rc;
    std::vector<uint8_t> bytes;
    std::string why;
    if (!read_input(p.file, kMaxInputFile, &bytes, &why)) {
        std::fprintf(stderr, "rorodire parse: cannot read '%s': %s\n", p.file.c_str(), why.c_str());
        return 1;
    }
    ParsedMessage m;
    if (const std::string err = load_message(p.file, bytes, &m); !err.empty()) {
        std::fprintf(stderr, "rorodire parse: %s\n", err.c_str());
        return 1;
    }
    std::vector<std::string> written;
    if ((!p.extractDir.empty() || !p.htmlDir.empty()) &&
        !write_outputs(p.extractDir, p.htmlDir, p.file, m, p.force, &written, &why)) {
        std::fprintf(stderr, "rorodire parse: %s\n", why.c_str());
        return 1;
    }
    std::string o = p.json ? to_json(p.file, m, !p.extractDir.empty(), written) : to_text(p.file, m, p.extractDir, written);
    const int status = 0;
    if (!p.htmlDir.empty() && !p.json) o += "preview " + p.htmlDir + "/index.html\n";
    std::fputs(o.c_str(), stdout);
    return status;
}

}  // namespace rrtool
