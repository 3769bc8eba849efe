// `rorodire compose` builds a send request from files through the composer.
#include <gio/gio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "qx_log.h"
#include "rorodire_files.h"
#include "rorodire_tool.h"
#include "rr_slides.h"
#include "rr_stack.h"

namespace rrtool {

namespace {

constexpr char kComposeUsage[] =
    "usage: rorodire compose -o OUT [--to A] [--cc A] [--bcc A] [--from A] [--subject S]\n"
    "                        [--delivery-report] [--read-reply] [--transaction-id T]\n"
    "                        [--max-size BYTES] [--date DATE]\n"
    "                        --slide 'image=a.jpg,text=hello.txt,audio=b.amr,dur=5000' ...\n"
    "                        [--attach FILE] ...\n"
    "  --max-size BYTES   refuse a message larger than this; without it a message\n"
    "                     above 307200 bytes (the common 300 KB class limit) is\n"
    "                     written with a warning. Files above 16 MB are refused.\n"
    "  --date DATE        the message's Date: seconds since 1970 or\n"
    "                     YYYY-MM-DDTHH:MM:SSZ, up to 2106-02-07T06:28:15Z\n"
    "                     (default: now).\n";

// Relays usually accept messages up to this size.
constexpr size_t kUsualRelayLimit = 307200;

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
    std::vector<uint8_t> data;
    if (!read_input(path, kMaxInputFile, &data, &why)) {
        *err = "cannot read '" + path + "': " + why;
        return false;
    }
    if (data.empty()) {
        *err = "'" + path + "' is empty";
        return false;
    }
    item->path = path;
    item->name = base_name(path);
    item->type = content_type_of(path, data);
    item->data = std::move(data);
    return true;
}

// A text file as UTF-8: a byte order mark names its encoding (UTF-8, UTF-16
// or UTF-32, converted by the library's charset code); without one it must
// be UTF-8 already.
bool text_as_utf8(const std::string &path, const std::vector<uint8_t> &d, std::string *text, std::string *err) {
    struct Mark {
        std::vector<uint8_t> bytes;
        int charset;  // IANA MIBenum; 106 UTF-8
    };
    static const Mark kMarks[] = {{{0xFF, 0xFE, 0, 0}, 1019}, {{0, 0, 0xFE, 0xFF}, 1018}, {{0xEF, 0xBB, 0xBF}, 106},
                                  {{0xFF, 0xFE}, 1015},       {{0xFE, 0xFF}, 1015}};
    const Mark *mark = nullptr;
    for (const Mark &m : kMarks)
        if (!mark && d.size() >= m.bytes.size() && std::equal(m.bytes.begin(), m.bytes.end(), d.begin())) mark = &m;
    size_t offset = 0;  // of text[0] in the file, for the reasons below
    if (!mark) {
        text->assign(d.begin(), d.end());
    } else if (mark->charset == 106) {
        offset = mark->bytes.size();
        text->assign(d.begin() + static_cast<long>(offset), d.end());
    } else {
        const size_t skip = mark->charset == 1015 ? 0 : mark->bytes.size();  // UTF-16 reads its own mark
        int len = static_cast<int>(d.size() - skip);
        bool known = false;
        char *u = len > 0 ? ConvertCharsetToUtf8(mark->charset, d.data() + skip, &len, &known) : nullptr;
        if (!u && d.size() > mark->bytes.size()) {
            *err = "'" + path + "' cannot be converted to UTF-8 from its byte order mark's encoding";
            return false;
        }
        text->assign(u ? u : "", u ? static_cast<size_t>(len) : 0);
        void *v = u;
        fnQX_Free(&v);
    }
    if (text->empty()) {
        *err = "'" + path + "' holds no text";
        return false;
    }
    if (const void *zero = std::memchr(text->data(), 0, text->size())) {
        *err = "'" + path + "' holds a 0 byte at offset " +
               std::to_string(offset + static_cast<size_t>(static_cast<const char *>(zero) - text->data())) +
               " (UTF-16 without a byte order mark?); a slide text must be UTF-8, or UTF-16/32 with a byte order mark";
        return false;
    }
    const gchar *bad = nullptr;
    if (!g_utf8_validate(text->data(), static_cast<gssize>(text->size()), &bad)) {
        *err = "'" + path + "' is not valid UTF-8 at byte offset " + std::to_string(offset + static_cast<size_t>(bad - text->data()));
        return false;
    }
    return true;
}

// One KEY=VALUE of a --slide.
bool slide_key(const std::string &key, const std::string &value, SlideSpec *s, std::string *err) {
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
        std::string text;
        if (!load_file(value, &item, err) || !text_as_utf8(value, item.data, &text, err)) return false;
        s->text = std::move(text);
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
        if (!slide_key(kv.substr(0, eq), kv.substr(eq + 1), s, err)) return false;
    }
    if (!s->image && !s->audio && !s->video && !s->text) {
        *err = "the slide shows nothing";
        return false;
    }
    if (s->begin && s->end && *s->begin > *s->end) {
        *err = "begin " + std::to_string(*s->begin) + " is after end " + std::to_string(*s->end);
        return false;
    }
    const int end = s->end.value_or(s->dur > 0 ? s->dur : 12000);
    if (s->begin && !s->end && *s->begin > end) {
        *err = "begin " + std::to_string(*s->begin) + " is after the slide's end " + std::to_string(end);
        return false;
    }
    return true;
}

std::string join_addresses(const std::vector<std::string> &v) {
    std::string out;
    for (const auto &a : v) out += (out.empty() ? "" : ";") + a;
    return out;
}

// A file as an item of the current slide.
void add_media(rrhost::SlideList &list, rrhost::Media kind, const FileItem &f, int begin, int end) {
    list.add_media(kind, f.data.data(), static_cast<int>(f.data.size()), f.type.c_str(), f.name.c_str(), begin, end);
}

struct ComposeOptions {
    std::string out, from, subject, tid;
    std::vector<std::string> to, cc, bcc, attachPaths, slideSpecs;
    bool deliveryReport = false, readReply = false;
    std::optional<size_t> maxSize;
    std::optional<uint32_t> date;
};

// 0 to go on, -1 when help was shown, else the exit status.
int compose_options(int argc, char **argv, ComposeOptions *o) {
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        std::string v;
        const bool takesValue = a == "-o" || a == "--output" || a == "--to" || a == "--cc" || a == "--bcc" ||
                                a == "--attach" || a == "--slide" || a == "--from" || a == "--subject" ||
                                a == "--transaction-id" || a == "--max-size" || a == "--date";
        if (takesValue) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "rorodire compose: %s needs a value\n%s", a.c_str(), kComposeUsage);
                return 2;
            }
            v = argv[++i];
        }
        if (a == "-o" || a == "--output") {
            o->out = v;
        } else if (a == "--to" || a == "--cc" || a == "--bcc" || a == "--attach" || a == "--slide") {
            (a == "--to"       ? o->to
             : a == "--cc"     ? o->cc
             : a == "--bcc"    ? o->bcc
             : a == "--attach" ? o->attachPaths
                               : o->slideSpecs)
                .push_back(v);
        } else if (a == "--from" || a == "--subject" || a == "--transaction-id") {
            (a == "--from" ? o->from : a == "--subject" ? o->subject : o->tid) = v;
        } else if (a == "--max-size") {
            int n = 0;
            if (!parse_int(v, &n) || n <= 0) {
                std::fprintf(stderr, "rorodire compose: --max-size '%s' is not a number of bytes\n", v.c_str());
                return 2;
            }
            o->maxSize = static_cast<size_t>(n);
        } else if (a == "--date") {
            o->date = parse_date(v);
            if (!o->date) {
                std::fprintf(stderr,
                             "rorodire compose: --date '%s' is not seconds since 1970 nor YYYY-MM-DDTHH:MM:SSZ "
                             "between 1970 and 2106-02-07T06:28:15Z\n",
                             v.c_str());
                return 2;
            }
        } else if (a == "--delivery-report" || a == "--read-reply") {
            (a == "--delivery-report" ? o->deliveryReport : o->readReply) = true;
        } else if (a == "-h" || a == "--help") {
            std::fputs(kComposeUsage, stdout);
            return -1;
        } else {
            std::fprintf(stderr, "rorodire compose: unknown argument '%s'\n%s", a.c_str(), kComposeUsage);
            return 2;
        }
    }
    if (o->out.empty()) {
        std::fprintf(stderr, "rorodire compose: -o OUT is required\n%s", kComposeUsage);
        return 2;
    }
    // A recipient option names addresses, none of them empty: a send request
    // without a recipient is refused by relays.
    for (const auto &[name, list] : {std::pair{"--to", &o->to}, std::pair{"--cc", &o->cc}, std::pair{"--bcc", &o->bcc}})
        for (const std::string &v : *list) {
            size_t start = 0;
            for (;;) {
                const size_t end = std::min(v.find(';', start), v.size());
                if (v.find_first_not_of(" \t", start) >= end) {
                    std::fprintf(stderr, "rorodire compose: %s '%s' has an empty recipient\n", name, v.c_str());
                    return 2;
                }
                if (end == v.size()) break;
                start = end + 1;
            }
        }
    return 0;
}

// Reads every slide's and attachment's files; false after one line on stderr.
bool load_inputs(const ComposeOptions &o, std::vector<SlideSpec> *slides, std::vector<FileItem> *attachments) {
    if (o.slideSpecs.size() > 10 || o.attachPaths.size() > 10) {
        std::fprintf(stderr, "rorodire compose: %s (%s)\n",
                     o.slideSpecs.size() > 10 ? "too many slides" : "too many attachments",
                     composer_code_text(COMPOSER_FULL));
        return false;
    }
    slides->resize(o.slideSpecs.size());
    for (size_t i = 0; i < o.slideSpecs.size(); ++i) {
        std::string err;
        SlideSpec &s = (*slides)[i];
        if (!parse_slide(o.slideSpecs[i], &s, &err)) {
            std::fprintf(stderr, "rorodire compose: slide %zu: %s\n", i + 1, err.c_str());
            return false;
        }
        if (s.video && (s.image || s.audio)) {
            std::fprintf(stderr, "rorodire compose: slide %zu: %s (composer code %d, %s)\n", i + 1,
                         composer_code_text(COMPOSER_VIDEO_EXISTS), COMPOSER_INPUT_PARAM_ERROR,
                         composer_code_text(COMPOSER_INPUT_PARAM_ERROR));
            return false;
        }
    }
    attachments->resize(o.attachPaths.size());
    for (size_t i = 0; i < o.attachPaths.size(); ++i) {
        std::string err;
        if (!load_file(o.attachPaths[i], &(*attachments)[i], &err)) {
            std::fprintf(stderr, "rorodire compose: attachment %zu: %s\n", i + 1, err.c_str());
            return false;
        }
    }
    return true;
}

// The composer's slides and attachments over the loaded files.
void add_files(const std::vector<SlideSpec> &slides, const std::vector<FileItem> &attachments, rrhost::SlideList &list) {
    for (const SlideSpec &s : slides) {
        list.add_slide(s.dur);
        const int begin = s.begin.value_or(0);
        const int end = s.end.value_or(s.dur > 0 ? s.dur : 12000);
        if (s.image) add_media(list, rrhost::Media::Image, *s.image, begin, end);
        if (s.audio) add_media(list, rrhost::Media::Audio, *s.audio, begin, end);
        if (s.video) add_media(list, rrhost::Media::Video, *s.video, begin, end);
        if (s.text) list.add_text(s.text->data(), static_cast<int>(s.text->size()), begin, end);
    }
    for (const FileItem &f : attachments)
        list.add_attachment(f.data.data(), static_cast<int>(f.data.size()), f.type.c_str(), f.name.c_str());
}

// Above what relays usually take: refused with --max-size, else a warning
// with the time the send will take. False after one line on stderr.
bool size_acceptable(const ComposeOptions &o, size_t len) {
    const size_t limit = o.maxSize.value_or(kUsualRelayLimit);
    if (len <= limit) return true;
    char secs[32];
    std::snprintf(secs, sizeof secs, "%.0f", rrhost::send_seconds(len));
    if (o.maxSize) {
        std::fprintf(stderr, "rorodire compose: the message is %zu bytes, above --max-size %zu (sending it would take %s s)\n",
                     len, limit, secs);
        return false;
    }
    std::fprintf(stderr,
                 "rorodire compose: warning: the message is %zu bytes, above the %zu bytes relays usually accept; "
                 "sending it takes about %s s\n",
                 len, limit, secs);
    return true;
}

int compose_and_write(ComposeOptions &o, const std::vector<SlideSpec> &slides, const std::vector<FileItem> &attachments) {
    rrhost::SlideList list;
    add_files(slides, attachments, list);
    if (o.tid.empty())
        o.tid = "rorodire-" + std::to_string(g_get_real_time() / G_USEC_PER_SEC) + "-" +
                std::to_string(static_cast<long long>(getpid()));
    std::string toList = join_addresses(o.to), ccList = join_addresses(o.cc), bccList = join_addresses(o.bcc);
    tMMS_SendReq h{};
    h.Sender_Visibility = 1;
    h.Priority = 1;
    h.Expiry_Relative = 1;
    h.Delivery_Time_Relative = 1;
    h.Transaction_Id = o.tid.data();
    h.To = toList.empty() ? nullptr : toList.data();
    h.Cc = ccList.empty() ? nullptr : ccList.data();
    h.Bcc = bccList.empty() ? nullptr : bccList.data();
    h.From = o.from.empty() ? nullptr : o.from.data();
    h.Subject = o.subject.empty() ? nullptr : o.subject.data();
    h.Delivery_Report = o.deliveryReport;
    h.Read_Reply = o.readReply;
    h.Date = o.date ? *o.date : date_now();

    qx::set_log_enabled(false);
    rrhost::ComposerCode rc = rrhost::ComposerCode::Success;
    int bodyLen = 0;
    const std::vector<uint8_t> pdu = list.compose(h, &rc, &bodyLen);
    if (rc != rrhost::ComposerCode::Success) {
        std::fprintf(stderr, "rorodire compose: the composer refused the message: %s (composer code %d)\n",
                     rrhost::composer_code_text(rc), static_cast<int>(rc));
        return 1;
    }
    std::string err;
    const size_t len = pdu.size();
    const bool sized = size_acceptable(o, len);
    // A write that fails leaves what was at the name as it was.
    if (!sized || !write_output(o.out, pdu.data(), len, &err)) {
        if (sized) std::fprintf(stderr, "rorodire compose: %s\n", err.c_str());
        return 1;
    }
    std::printf("%s: m-send-req, %zu bytes, %zu slide%s, %zu attachment%s, body %d bytes\n", o.out.c_str(), len,
                slides.size(), slides.size() == 1 ? "" : "s", attachments.size(),
                attachments.size() == 1 ? "" : "s", bodyLen);
    return 0;
}

}  // namespace

int cmd_compose(int argc, char **argv) {
    ComposeOptions o;
    if (const int rc = compose_options(argc, argv, &o)) return rc < 0 ? 0 : rc;
    std::vector<SlideSpec> slides;
    std::vector<FileItem> attachments;
    if (!load_inputs(o, &slides, &attachments)) return 1;
    return compose_and_write(o, slides, attachments);
}

}  // namespace rrtool
