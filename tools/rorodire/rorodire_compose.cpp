// `rorodire compose` builds a send request from files through the
// composer; `rorodire parse` takes a retrieved message or a stored send
// request apart into slides and attachments and can extract them as files.
#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "MMSPs_SlideView.h"
#include "qx_log.h"
#include "rorodire_check.h"
#include "rorodire_html.h"
#include "rorodire_tool.h"

namespace rrtool {

namespace {

constexpr char kComposeUsage[] =
    "usage: rorodire compose -o OUT [--to A] [--cc A] [--bcc A] [--from A] [--subject S]\n"
    "                        [--delivery-report] [--read-reply] [--transaction-id T]\n"
    "                        --slide 'image=a.jpg,text=hello.txt,audio=b.amr,dur=5000' ...\n"
    "                        [--attach FILE] ...\n";
constexpr char kParseUsage[] = "usage: rorodire parse FILE [--json] [--extract DIR] [--html DIR]\n";

// The composer's result codes in words.
const char *composer_code_text(int code) {
    switch (code) {
        case COMPOSER_MEMERY_ALLOC_FAIL: return "out of memory";
        case COMPOSER_BUSY: return "the composer is busy";
        case COMPOSER_ITEM_EXISTS: return "the slide already holds an item of that kind";
        case COMPOSER_VIDEO_EXISTS: return "a slide with a video takes no image or audio clip";
        case COMPOSER_IMAGE_AUDIO_EXISTS: return "a slide with an image or audio clip takes no video";
        case COMPOSER_FULL: return "at most ten slides and ten attachments";
        case COMPOSER_VIEW_EMPTY: return "the message has no slides";
        case COMPOSER_NO_ITEM: return "the slide holds no such item";
        case COMPOSER_SLOT_NOT_IN_USE: return "no slide can follow";
        case COMPOSER_INPUT_PARAM_ERROR: return "invalid input";
        case COMPOSER_PDU_INVALID: return "the PDU does not decode";
        case COMPOSER_VIEW_FAIL: return "the presentation cannot be read";
        default: return "unknown result";
    }
}

std::optional<std::vector<uint8_t>> read_whole(const std::string &path, std::string *why) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        *why = std::strerror(errno ? errno : ENOENT);
        return std::nullopt;
    }
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (f.bad()) {
        *why = "read error";
        return std::nullopt;
    }
    return b;
}

std::string base_name(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The media type of a file from its name and first bytes, as the desktop's
// shared MIME database knows it (lower-cased: MIME types ignore case and
// the relay's tables list them in lower case).
std::string content_type_of(const std::string &path, const std::vector<uint8_t> &data) {
    gboolean uncertain = FALSE;
    const size_t sniff = data.size() < 4096 ? data.size() : 4096;
    gchar *guess = g_content_type_guess(path.c_str(), data.data(), sniff, &uncertain);
    gchar *mime = guess ? g_content_type_get_mime_type(guess) : nullptr;
    std::string type = mime ? mime : (guess ? guess : "application/octet-stream");
    g_free(mime);
    g_free(guess);
    for (char &c : type) c = static_cast<char>(g_ascii_tolower(c));
    return type;
}

struct FileItem {
    std::string path, name, type;
    std::vector<uint8_t> data;
};

struct SlideSpec {
    std::optional<FileItem> image, audio, video;
    std::optional<std::string> text;
    int dur = 0;
    std::optional<int> begin, end;
};

bool parse_int(const std::string &s, int *out) {
    if (s.empty()) return false;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (*end || errno || v < INT32_MIN || v > INT32_MAX) return false;
    *out = static_cast<int>(v);
    return true;
}

bool load_file(const std::string &path, FileItem *item, std::string *err) {
    std::string why;
    auto data = read_whole(path, &why);
    if (!data) {
        *err = "cannot read '" + path + "': " + why;
        return false;
    }
    if (data->empty()) {
        *err = "'" + path + "' is empty";
        return false;
    }
    if (data->size() > (1u << 30)) {
        *err = "'" + path + "' is too large";
        return false;
    }
    item->path = path;
    item->name = base_name(path);
    item->type = content_type_of(path, *data);
    item->data = std::move(*data);
    return true;
}

bool parse_slide(const std::string &spec, SlideSpec *s, std::string *err) {
    size_t pos = 0;
    while (pos <= spec.size()) {
        size_t comma = spec.find(',', pos);
        if (comma == std::string::npos) comma = spec.size();
        const std::string kv = spec.substr(pos, comma - pos);
        pos = comma + 1;
        if (kv.empty()) continue;
        const size_t eq = kv.find('=');
        if (eq == std::string::npos) {
            *err = "'" + kv + "' is not KEY=VALUE";
            return false;
        }
        const std::string key = kv.substr(0, eq), value = kv.substr(eq + 1);
        if (key == "image" || key == "audio" || key == "video") {
            std::optional<FileItem> &slot = key == "image" ? s->image : key == "audio" ? s->audio : s->video;
            if (slot) {
                *err = "two " + key + " items";
                return false;
            }
            FileItem item;
            if (!load_file(value, &item, err)) return false;
            slot = std::move(item);
        } else if (key == "text") {
            if (s->text) {
                *err = "two text items";
                return false;
            }
            FileItem item;
            if (!load_file(value, &item, err)) return false;
            if (std::memchr(item.data.data(), 0, item.data.size())) {
                *err = "'" + value + "' holds 0 bytes; a slide text must be UTF-8 text (attach other texts)";
                return false;
            }
            s->text = std::string(item.data.begin(), item.data.end());
        } else if (key == "dur" || key == "begin" || key == "end") {
            int v = 0;
            if (!parse_int(value, &v) || v < 0) {
                *err = key + " '" + value + "' is not a number of milliseconds";
                return false;
            }
            if (key == "dur") s->dur = v;
            if (key == "begin") s->begin = v;
            if (key == "end") s->end = v;
        } else {
            *err = "unknown key '" + key + "' (image, audio, video, text, dur, begin, end)";
            return false;
        }
    }
    if (!s->image && !s->audio && !s->video && !s->text) {
        *err = "the slide shows nothing";
        return false;
    }
    return true;
}

std::string join_addresses(const std::vector<std::string> &v) {
    std::string out;
    for (const auto &a : v) out += (out.empty() ? "" : ";") + a;
    return out;
}

template <typename T>
void set_item(T &dst, FileItem &src, int begin, int end) {
    dst.Data = src.data.data();
    dst.Content_Type = src.type.data();
    dst.Name = src.name.data();
    dst.Size = static_cast<int>(src.data.size());
    dst.Begin = begin;
    dst.End = end;
}

// ---------------------------------------------------------------- parse output

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

std::string colour(uint32_t c) {
    char b[16];
    std::snprintf(b, sizeof b, "#%06x", c & 0xFFFFFFu);
    return b;
}

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

// A file name for an extracted item: its own name without directories, or
// a made-up one; never one written before.
std::string extract_name(const std::string &name, const std::string &fallback, std::set<std::string> &used) {
    std::string n = base_name(name);
    for (char &c : n)
        if (static_cast<unsigned char>(c) < 0x20 || c == '/') c = '_';
    if (n.empty() || n == "." || n == "..") n = fallback;
    if (n[0] == '.') n = "_" + n;
    std::string candidate = n;
    for (int k = 2; used.count(candidate); ++k) candidate = std::to_string(k) + "-" + n;
    used.insert(candidate);
    return candidate;
}

bool write_file(const std::string &path, const void *data, size_t size, std::string *err) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (f) f.write(static_cast<const char *>(data), static_cast<std::streamsize>(size));
    if (!f) {
        *err = "cannot write '" + path + "': " + std::strerror(errno ? errno : EIO);
        return false;
    }
    return true;
}

void free_host_lists(tCPS_MmsData &d) {
    auto f = [](auto *&p) {
        void *v = p;
        fnQX_Free(&v);
        p = nullptr;
    };
    for (tCPS_Slide *s = d.pSlide_List; s;) {
        tCPS_Slide *next = s->next;
        f(s->Image.Data), f(s->Image.Content_Type), f(s->Image.Name);
        f(s->Audio.Data), f(s->Audio.Content_Type), f(s->Audio.Name);
        f(s->Video.Data), f(s->Video.Content_Type), f(s->Video.Name);
        f(s->Text.Text);
        f(s);
        s = next;
    }
    for (tCPS_AttachNode *a = d.pAttach_List; a;) {
        tCPS_AttachNode *next = a->next;
        f(a->Data), f(a->Name), f(a->Content_Type);
        f(a);
        a = next;
    }
}

std::string str(const char *s) { return s ? s : ""; }

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

}  // namespace

int cmd_compose(int argc, char **argv) {
    std::string out, from, subject, tid;
    std::vector<std::string> to, cc, bcc, attachPaths, slideSpecs;
    bool deliveryReport = false, readReply = false;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string *dst) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "rorodire compose: %s needs a value\n%s", a.c_str(), kComposeUsage);
                return false;
            }
            *dst = argv[++i];
            return true;
        };
        std::string v;
        if (a == "-o" || a == "--output") {
            if (!value(&out)) return 2;
        } else if (a == "--to" || a == "--cc" || a == "--bcc" || a == "--attach" || a == "--slide") {
            if (!value(&v)) return 2;
            (a == "--to" ? to : a == "--cc" ? cc : a == "--bcc" ? bcc : a == "--attach" ? attachPaths : slideSpecs)
                .push_back(v);
        } else if (a == "--from") {
            if (!value(&from)) return 2;
        } else if (a == "--subject") {
            if (!value(&subject)) return 2;
        } else if (a == "--transaction-id") {
            if (!value(&tid)) return 2;
        } else if (a == "--delivery-report") {
            deliveryReport = true;
        } else if (a == "--read-reply") {
            readReply = true;
        } else if (a == "-h" || a == "--help") {
            std::fputs(kComposeUsage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "rorodire compose: unknown argument '%s'\n%s", a.c_str(), kComposeUsage);
            return 2;
        }
    }
    if (out.empty()) {
        std::fprintf(stderr, "rorodire compose: -o OUT is required\n%s", kComposeUsage);
        return 2;
    }
    if (slideSpecs.size() > 10 || attachPaths.size() > 10) {
        std::fprintf(stderr, "rorodire compose: %s (%s)\n", slideSpecs.size() > 10 ? "too many slides" : "too many attachments",
                     composer_code_text(COMPOSER_FULL));
        return 1;
    }
    std::vector<SlideSpec> slides(slideSpecs.size());
    for (size_t i = 0; i < slideSpecs.size(); ++i) {
        std::string err;
        if (!parse_slide(slideSpecs[i], &slides[i], &err)) {
            std::fprintf(stderr, "rorodire compose: slide %zu: %s\n", i + 1, err.c_str());
            return 1;
        }
        if (slides[i].video && (slides[i].image || slides[i].audio)) {
            std::fprintf(stderr, "rorodire compose: slide %zu: %s (composer code %d, %s)\n", i + 1,
                         composer_code_text(COMPOSER_VIDEO_EXISTS), COMPOSER_INPUT_PARAM_ERROR,
                         composer_code_text(COMPOSER_INPUT_PARAM_ERROR));
            return 1;
        }
    }
    std::vector<FileItem> attachments(attachPaths.size());
    for (size_t i = 0; i < attachPaths.size(); ++i) {
        std::string err;
        if (!load_file(attachPaths[i], &attachments[i], &err)) {
            std::fprintf(stderr, "rorodire compose: attachment %zu: %s\n", i + 1, err.c_str());
            return 1;
        }
    }

    std::vector<tCPS_Slide> nodes(slides.size());
    for (size_t i = 0; i < slides.size(); ++i) {
        SlideSpec &s = slides[i];
        tCPS_Slide &n = nodes[i];
        n = tCPS_Slide{};
        n.Duration = s.dur;
        const int begin = s.begin.value_or(0);
        const int end = s.end.value_or(s.dur > 0 ? s.dur : 12000);
        if (s.image) n.Has_Image = 1, set_item(n.Image, *s.image, begin, end);
        if (s.audio) n.Has_Audio = 1, set_item(n.Audio, *s.audio, begin, end);
        if (s.video) n.Has_Video = 1, set_item(n.Video, *s.video, begin, end);
        if (s.text) {
            n.Has_Text = 1;
            n.Text.Text = s.text->data();
            n.Text.Length = static_cast<int>(s.text->size());
            n.Text.Begin = begin;
            n.Text.End = end;
        }
        if (i > 0) nodes[i - 1].next = &n;
    }
    std::vector<tCPS_AttachNode> atts(attachments.size());
    for (size_t i = 0; i < attachments.size(); ++i) {
        FileItem &f = attachments[i];
        atts[i] = tCPS_AttachNode{f.data.data(), f.name.data(), f.type.data(), static_cast<int>(f.data.size()), 0,
                                  nullptr};
        if (i > 0) atts[i - 1].next = &atts[i];
    }
    if (tid.empty()) tid = "rorodire-" + std::to_string(static_cast<long long>(std::time(nullptr))) + "-" +
                           std::to_string(static_cast<long long>(getpid()));
    std::string toList = join_addresses(to), ccList = join_addresses(cc), bccList = join_addresses(bcc);
    tCPS_MmsData msg{};
    tMMS_SendReq &h = msg.Header.Send_Req;
    h.Sender_Visibility = 1;
    h.Priority = 1;
    h.Expiry_Relative = 1;
    h.Delivery_Time_Relative = 1;
    h.Transaction_Id = tid.data();
    h.To = toList.empty() ? nullptr : toList.data();
    h.Cc = ccList.empty() ? nullptr : ccList.data();
    h.Bcc = bccList.empty() ? nullptr : bccList.data();
    h.From = from.empty() ? nullptr : from.data();
    h.Subject = subject.empty() ? nullptr : subject.data();
    h.Delivery_Report = deliveryReport;
    h.Read_Reply = readReply;
    h.Date = static_cast<int>(std::time(nullptr));
    msg.pSlide_List = nodes.empty() ? nullptr : nodes.data();
    msg.pAttach_List = atts.empty() ? nullptr : atts.data();

    qx::set_log_enabled(false);
    tCPS_PduBuf pdu{nullptr, 0};
    const int rc = fnCPS_ComposeMMS(&msg, &pdu, 0);
    if (rc != 0) {
        std::fprintf(stderr, "rorodire compose: the composer refused the message: %s (composer code %d)\n",
                     composer_code_text(rc), rc);
        return 1;
    }
    std::string err;
    const bool ok = write_file(out, pdu.data, static_cast<size_t>(pdu.length), &err);
    const int len = pdu.length;
    void *p = pdu.data;
    fnQX_Free(&p);
    if (!ok) {
        std::fprintf(stderr, "rorodire compose: %s\n", err.c_str());
        return 1;
    }
    std::printf("%s: m-send-req, %d bytes, %zu slide%s, %zu attachment%s, body %d bytes\n", out.c_str(), len,
                slides.size(), slides.size() == 1 ? "" : "s", attachments.size(), attachments.size() == 1 ? "" : "s",
                h.Body_Len);
    return 0;
}

int cmd_parse(int argc, char **argv) {
    std::string file, extractDir, htmlDir;
    bool json = false;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--json") {
            json = true;
        } else if (a == "--extract") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "rorodire parse: --extract needs a directory\n%s", kParseUsage);
                return 2;
            }
            extractDir = argv[++i];
        } else if (a == "--html") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "rorodire parse: --html needs a directory\n%s", kParseUsage);
                return 2;
            }
            htmlDir = argv[++i];
        } else if (a == "-h" || a == "--help") {
            std::fputs(kParseUsage, stdout);
            return 0;
        } else if (file.empty() && (a.empty() || a[0] != '-')) {
            file = a;
        } else {
            std::fprintf(stderr, "rorodire parse: unknown argument '%s'\n%s", a.c_str(), kParseUsage);
            return 2;
        }
    }
    if (file.empty()) {
        std::fprintf(stderr, "%s", kParseUsage);
        return 2;
    }
    std::string why;
    auto bytes = read_whole(file, &why);
    if (!bytes) {
        std::fprintf(stderr, "rorodire parse: cannot read '%s': %s\n", file.c_str(), why.c_str());
        return 1;
    }
    if (bytes->empty() || bytes->size() > static_cast<size_t>(INT32_MAX)) {
        std::fprintf(stderr, "rorodire parse: '%s' is %s\n", file.c_str(), bytes->empty() ? "empty" : "too large");
        return 1;
    }
    const int type = fnMMS_FindMessageType(bytes->data(), static_cast<int>(bytes->size()));
    if (type != 0x84 && type != 0x80) {
        const char *name = type >= 0 ? message_type_name(type) : nullptr;
        std::fprintf(stderr, "rorodire parse: '%s' is %s%s, not a retrieved message or a send request\n",
                     file.c_str(), name ? "an " : "no MMS PDU", name ? name : "");
        return 1;
    }
    // A PDU whose header decodes but which is cut short is refused here; one
    // that does not decode at all is reported by the composer below.
    qx::set_log_enabled(false);
    if (const std::string cut = pdu_problem(*bytes, type); !cut.empty()) {
        bool decodes = false;
        const int n = static_cast<int>(bytes->size());
        if (type == 0x84) {
            tMMS_RetrieveConf *r = fnMMS_ParseRetrieveConf(bytes->data(), n);
            decodes = r != nullptr;
            if (r) fnMMS_FreeMessageMem(r, MMS_STRUCT_RETRIEVE_CONF);
        } else {
            tMMS_SendReq *q = fnMMS_ParseSendContent(bytes->data(), n);
            decodes = q != nullptr;
            if (q) fnMMS_FreeMessageMem(q, MMS_STRUCT_SEND_REQ);
        }
        if (decodes) {
            std::fprintf(stderr, "rorodire parse: '%s' %s\n", file.c_str(), cut.c_str());
            return 1;
        }
    }
    qx::set_log_enabled(false);
    tCPS_PduBuf pdu{bytes->data(), static_cast<int>(bytes->size())};
    tCPS_MmsData d{};
    const int rc = type == 0x84 ? fnCPS_ParserMMS(&d, &pdu) : fnCPS_ComposeMMS(&d, &pdu, 1);
    if (rc != 0) {
        std::fprintf(stderr, "rorodire parse: '%s': %s (composer code %d)\n", file.c_str(), composer_code_text(rc), rc);
        return 1;
    }

    std::vector<ParsedSlide> slides;
    for (const tCPS_Slide *s = d.pSlide_List; s; s = s->next) {
        ParsedSlide p;
        p.dur = s->Duration;
        auto add = [&p](const char *kind, const auto &it) {
            p.items.push_back({kind, str(it.Name), str(it.Content_Type), it.Data, it.Size, it.Begin, it.End});
        };
        if (s->Has_Image) add("image", s->Image);
        if (s->Has_Audio) add("audio", s->Audio);
        if (s->Has_Video) add("video", s->Video);
        if (s->Has_Text && s->Text.Text) {
            p.text = std::string(s->Text.Text, static_cast<size_t>(s->Text.Length));
            p.textBegin = s->Text.Begin;
            p.textEnd = s->Text.End;
        }
        slides.push_back(std::move(p));
    }
    const uint8_t *body = type == 0x84 ? d.Header.Retrieve.Retrieve_Conf.body : d.Header.Send_Req.ContentTypeAndBody;
    const int bodyLen = type == 0x84 ? d.Header.Retrieve.Retrieve_Conf.Content_Size : d.Header.Send_Req.Body_Len;
    add_colours(body, bodyLen, slides);

    int status = 0;
    std::vector<std::string> written;
    if (!extractDir.empty()) {
        if (mkdir(extractDir.c_str(), 0755) != 0 && errno != EEXIST) {
            std::fprintf(stderr, "rorodire parse: cannot create '%s': %s\n", extractDir.c_str(), std::strerror(errno));
            status = 1;
        } else {
            std::set<std::string> used;
            std::string err;
            for (size_t i = 0; i < slides.size() && !status; ++i) {
                for (const auto &it : slides[i].items) {
                    const std::string n = extract_name(it.name, "slide" + std::to_string(i + 1) + "-" + it.kind, used);
                    if (!write_file(extractDir + "/" + n, it.data, static_cast<size_t>(it.size), &err)) status = 1;
                    written.push_back(n);
                }
                if (slides[i].text) {
                    const std::string n = extract_name("slide" + std::to_string(i + 1) + ".txt", "text", used);
                    if (!write_file(extractDir + "/" + n, slides[i].text->data(), slides[i].text->size(), &err))
                        status = 1;
                    written.push_back(n);
                }
            }
            int k = 0;
            for (const tCPS_AttachNode *a = d.pAttach_List; a && !status; a = a->next) {
                const std::string n = extract_name(str(a->Name), "attachment" + std::to_string(++k), used);
                if (!write_file(extractDir + "/" + n, a->Data, static_cast<size_t>(a->Size), &err)) status = 1;
                written.push_back(n);
            }
            if (status) std::fprintf(stderr, "rorodire parse: %s\n", err.c_str());
        }
    }

    std::string o;
    if (json) {
        o += '{';
        json_kv(o, "file", file);
        json_kv(o, "type", type == 0x84 ? "m-retrieve-conf" : "m-send-req");
        o += "\"header\":{";
        if (type == 0x84) {
            const tMMS_RetrieveConf &h = d.Header.Retrieve.Retrieve_Conf;
            json_opt(o, "Transaction_Id", h.Transaction_Id);
            json_opt(o, "Message_Id", h.Message_Id);
            json_opt(o, "From", h.From);
            json_opt(o, "To", h.To);
            json_opt(o, "Cc", h.Cc);
            json_opt(o, "Subject", h.Subject);
            o += "\"Date\":" + std::to_string(h.Date) + ",\"Message_Class\":" + std::to_string(h.Message_Class) +
                 ",\"Priority\":" + std::to_string(h.Priority) + ",\"Delivery_Report\":" +
                 std::to_string(h.Delivery_Report) + ",\"Read_Reply\":" + std::to_string(h.Read_Reply) +
                 ",\"Pdu_Size\":" + std::to_string(d.Header.Retrieve.Retrieve_Pdu_Size);
        } else {
            const tMMS_SendReq &h = d.Header.Send_Req;
            json_opt(o, "Transaction_Id", h.Transaction_Id);
            json_opt(o, "From", h.From);
            json_opt(o, "To", h.To);
            json_opt(o, "Cc", h.Cc);
            json_opt(o, "Bcc", h.Bcc);
            json_opt(o, "Subject", h.Subject);
            o += "\"Date\":" + std::to_string(h.Date) + ",\"Message_Class\":" + std::to_string(h.Message_Class) +
                 ",\"Priority\":" + std::to_string(h.Priority) + ",\"Delivery_Report\":" +
                 std::to_string(h.Delivery_Report) + ",\"Read_Reply\":" + std::to_string(h.Read_Reply) +
                 ",\"Pdu_Size\":" + std::to_string(d.Pdu_Size);
        }
        o += "},\"slides\":[";
        for (size_t i = 0; i < slides.size(); ++i) {
            const ParsedSlide &s = slides[i];
            if (i) o += ',';
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
        o += "],\"attachments\":[";
        bool first = true;
        for (const tCPS_AttachNode *a = d.pAttach_List; a; a = a->next) {
            if (!first) o += ',';
            first = false;
            o += '{';
            json_kv(o, "name", str(a->Name));
            json_kv(o, "type", str(a->Content_Type));
            o += "\"size\":" + std::to_string(a->Size) + '}';
        }
        o += ']';
        if (!extractDir.empty()) {
            o += ",\"extracted\":[";
            for (size_t i = 0; i < written.size(); ++i) {
                if (i) o += ',';
                append_json_string(o, written[i]);
            }
            o += ']';
        }
        o += "}\n";
    } else {
        o += file + ": " + (type == 0x84 ? "m-retrieve-conf" : "m-send-req") + "\n";
        auto line = [&o](const char *k, const char *v) {
            if (!v) return;
            o += std::string("  ") + k + ": ";
            append_display_string(o, v);
            o += '\n';
        };
        if (type == 0x84) {
            const tMMS_RetrieveConf &h = d.Header.Retrieve.Retrieve_Conf;
            line("Message-Id", h.Message_Id), line("Transaction-Id", h.Transaction_Id), line("From", h.From);
            line("To", h.To), line("Cc", h.Cc), line("Subject", h.Subject);
            if (h.Date > 0) o += "  Date: " + std::to_string(h.Date) + "\n";
        } else {
            const tMMS_SendReq &h = d.Header.Send_Req;
            line("Transaction-Id", h.Transaction_Id), line("From", h.From), line("To", h.To), line("Cc", h.Cc);
            line("Bcc", h.Bcc), line("Subject", h.Subject);
            if (h.Date > 0) o += "  Date: " + std::to_string(h.Date) + "\n";
        }
        for (size_t i = 0; i < slides.size(); ++i) {
            const ParsedSlide &s = slides[i];
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
        for (const tCPS_AttachNode *a = d.pAttach_List; a; a = a->next) {
            o += "attachment ";
            append_display_string(o, str(a->Name));
            o += " (" + str(a->Content_Type) + ", " + std::to_string(a->Size) + " bytes)\n";
        }
        for (const auto &w : written) o += "extracted " + extractDir + "/" + w + "\n";
    }
    if (!htmlDir.empty() && !status) {
        std::vector<HtmlSlideColours> colours;
        for (const auto &s : slides) colours.push_back({s.bg, s.fg});
        std::string err;
        if (write_html_preview(htmlDir, file, d, type == 0x84, colours, nullptr, &err)) {
            if (!json) o += "preview " + htmlDir + "/index.html\n";
        } else {
            std::fprintf(stderr, "rorodire parse: %s\n", err.c_str());
            status = 1;
        }
    }
    std::fputs(o.c_str(), stdout);

    free_host_lists(d);
    auto f = [](auto *&p) {
        void *v = p;
        fnQX_Free(&v);
        p = nullptr;
    };
    if (type == 0x84) {
        tMMS_RetrieveConf &h = d.Header.Retrieve.Retrieve_Conf;
        f(h.body), f(h.Transaction_Id), f(h.Message_Id), f(h.From), f(h.To), f(h.Cc), f(h.Subject);
    } else {
        tMMS_SendReq &h = d.Header.Send_Req;
        f(h.Transaction_Id), f(h.From), f(h.To), f(h.Cc), f(h.Bcc), f(h.Subject), f(h.ContentTypeAndBody);
    }
    return status;
}

}  // namespace rrtool
