// What `rorodire send` and `rorodire fetch` share: their options, the run of
// a transaction on a GLib main loop with progress on stderr, the outcome in
// words or JSON.
#include <gio/gio.h>
#include <glib.h>
#include <net/if.h>
#include <libsoup/soup.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "rr_stack.h"
#include "qx_log.h"
#include "rorodire_check.h"
#include "rorodire_files.h"
#include "rorodire_tool.h"
#include "rorodire_transfer.h"
#include "rr_post.h"

namespace rrtool::transfer {

Run g_run;

namespace {

// One DNS server of --dns: a numeric address, or "a.b.c.d:PORT" / "[v6]:PORT".
bool dns_server_ok(const std::string &s) {
    std::string host = s;
    if (!s.empty() && s[0] == '[') {
        const size_t close = s.find(']');
        if (close == std::string::npos || close + 1 >= s.size() || s[close + 1] != ':') return false;
        host = s.substr(1, close - 1);
    } else if (std::count(s.begin(), s.end(), ':') == 1) {
        host = s.substr(0, s.find(':'));
    }
    GInetAddress *a = g_inet_address_new_from_string(host.c_str());
    if (a) g_object_unref(a);
    return a != nullptr;
}

void draw_progress(int percent) {
    Run &r = g_run;
    r.lastPercent = percent;
    if (r.tty) {
        const int width = 40, filled = percent * width / 100;
        std::fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "########################################", width - filled,
                     "", percent);
        std::fflush(stderr);
    } else if (percent / 10 > r.lastDecile) {
        r.lastDecile = percent / 10;
        std::fprintf(stderr, "progress %d%%\n", percent);
    }
}

// The library's log goes to stderr, never into what a command prints.
void log_to_stderr(const char *text, void *) { std::fputs(text, stderr); }

void keep_conf(const uint8_t *conf, int len, void *) {
    g_run.conf.assign(conf, conf + (len > 0 ? len : 0));
}

// "HTTP 500 Internal Server Error"
std::string http_words(int status) {
    std::string s = "HTTP " + std::to_string(status);
    const char *phrase = soup_status_get_phrase(static_cast<guint>(status));
    if (phrase && std::strcmp(phrase, "Unknown Error") != 0) s += std::string(" ") + phrase;
    return s;
}

// A text of the relay's, quoted for a terminal and kept short.
std::string relay_words(const char *text) {
    if (!text || !*text) return "";
    std::string t(text);
    if (t.size() > 200) t.resize(200);
    std::string shown;
    append_display_string(shown, t);
    return " " + shown;
}

// The send's confirmation in words, when it decodes as one.
std::string confirmation_words() {
    if (g_run.conf.empty()) return "";
    tMMS_SendConf *conf = fnMMS_ParseSendConf(g_run.conf.data(), static_cast<int>(g_run.conf.size()));
    if (!conf) return "";
    std::string s;
    if (conf->Message_Type == 0x81 && conf->Response_Status != 0 && conf->Response_Status != 0x80) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", conf->Response_Status);
        const char *name = response_status_name(conf->Response_Status);
        s = std::string("the relay answered Response-Status ") + hex + (name ? std::string(" ") + name : "") +
            relay_words(conf->Response_Text);
    }
    fnMMS_FreeMessageMem(conf, MMS_STRUCT_SEND_CONF);
    return s;
}

}  // namespace

void observe_confirmation(bool on) {
    g_run.conf.clear();
    hbx_SetSendConfObserver(on ? keep_conf : nullptr, nullptr);
}

std::string failure_cause(const Common &c) {
    const HbxEnding &e = hbx_LastEnding();
    switch (e.cause) {
        case HbxEndCause::HttpStatus: return "the relay answered " + http_words(e.httpStatus);
        case HbxEndCause::NotMessage: {
            if (std::string words = confirmation_words(); !words.empty()) return words;
            if (g_run.progressCode != HBX_MSG_SEND_PROGRESS) return "the relay's answer is not an m-retrieve-conf";
            if (e.detail != 0)
                return std::string("the relay's answer is not the confirmation of this request (") +
                       fnMMS_ConfMismatchText(static_cast<MmsConfMismatch>(e.detail)) + ")";
            return "the relay's answer is not an m-send-conf";
        }
        case HbxEndCause::RetrieveStatus: {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", e.detail);
            const char *name = retrieve_status_name(e.detail);
            return std::string("the relay answered Retrieve-Status ") + hex + (name ? std::string(" ") + name : "");
        }
        case HbxEndCause::Cut: return "the message the relay sent is cut short";
        case HbxEndCause::IdleLimit:
            return "nothing arrived for " + std::to_string(HBX_MAX_IDLE_STEPS * HBX_STEP_PERIOD_MS / 1000) + " s";
        case HbxEndCause::Deadline:
            return "the overall deadline of " + std::to_string((hbx_state().deadlineMs + 999) / 1000) + " s passed";
        case HbxEndCause::StoreRefused: return g_run.storeWhy;
        case HbxEndCause::ReadFailed:
        case HbxEndCause::None:
            break;
    }
    // A confirmation that came whole but refused the message.
    if (std::string words = confirmation_words(); !words.empty()) return words;
    // The socket layer's own cause (a lookup through the bearer's DNS, a
    // connect on its interface); with a bearer nothing else is asked, since
    // a probe would go out on the default route and the system resolver.
    if (!c.iface.empty() || !c.dns.empty()) {
        if (const int netError = fnQX_Stack_Layer().lastError) return g_sock_strerror(netError);
        return e.cause == HbxEndCause::ReadFailed ? "the connection failed" : "";
    }
    std::string reach = reach_problem(rrhost::authority_text(c.proxyHost, c.proxyPort), c.relay);
    if (reach.empty() && e.cause == HbxEndCause::ReadFailed)
        reach = e.httpStatus > 0 ? "the connection failed after " + http_words(e.httpStatus) : "the connection failed";
    return reach;
}

void on_result(int code, int value) {
    Run &r = g_run;
    ++r.reports;
    if (code == r.progressCode) {
        draw_progress(value);
        return;
    }
    if (r.done) return;
    r.done = true;
    r.code = code;
    r.value = value;
    if (r.tty && r.lastPercent >= 0) {
        if (value == 100) draw_progress(100);
        std::fputc('\n', stderr);
    }
    if (r.loop) g_main_loop_quit(r.loop);
}

namespace {

// One option of the network commands: the commands that take it, whether a
// value follows it, and what it sets (false after one line on stderr).
struct OptionSpec {
    const char *name, *alias;
    unsigned commands;  // bits of command_bit()
    bool takesValue;
    bool (*apply)(Common *c, const std::string &value, const char *command);
};

constexpr unsigned command_bit(Command c) { return 1u << static_cast<unsigned>(c); }
constexpr unsigned kSendOnly = command_bit(Command::Send), kFetchOnly = command_bit(Command::Fetch),
                   kReportOnly = command_bit(Command::ReadReport), kAll = kSendOnly | kFetchOnly | kReportOnly;

bool set_relay(Common *c, const std::string &v, const char *command) {
    c->relay = v;
    // Read by the library's URL reader, so the tool refuses exactly what a
    // transaction would, and says why.
    std::string why;
    if (rrhost::HostPort u; !rrhost::read_url(c->relay, &u, &why)) {
        std::fprintf(stderr, "rorodire %s: --relay '%s': %s\n", command, c->relay.c_str(), why.c_str());
        return false;
    }
    return true;
}

bool set_proxy(Common *c, const std::string &v, const char *command) {
    // HOST:PORT or [IPv6]:PORT, read as a URL's authority is read.
    std::string why;
    if (rrhost::read_proxy(v, &c->proxyHost, &c->proxyPort, &why) == rrhost::AddressFault::None) return true;
    std::fprintf(stderr, "rorodire %s: --proxy '%s': %s\n", command, v.c_str(), why.c_str());
    return false;
}

bool set_interface(Common *c, const std::string &v, const char *command) {
    c->iface = v;
    if (c->iface.empty() || c->iface.size() >= IF_NAMESIZE || if_nametoindex(c->iface.c_str()) == 0) {
        std::fprintf(stderr, "rorodire %s: --interface '%s': no such network interface\n", command, c->iface.c_str());
        return false;
    }
    return true;
}

bool set_dns(Common *c, const std::string &v, const char *command) {
    c->dns = v;
    gchar **servers = g_strsplit(c->dns.c_str(), ",", -1);
    bool ok = servers[0] != nullptr && c->dns.size() < sizeof(QXBearer{}.dns);
    for (gchar **sv = servers; ok && *sv; ++sv) ok = dns_server_ok(*sv);
    g_strfreev(servers);
    if (!ok) {
        std::fprintf(stderr, "rorodire %s: --dns '%s': takes numeric addresses ADDR[,ADDR]\n", command, c->dns.c_str());
        return false;
    }
    return true;
}

bool set_status(Common *c, const std::string &v, const char *command) {
    if (v != "read" && v != "deleted") {
        std::fprintf(stderr, "rorodire %s: --status takes read or deleted\n", command);
        return false;
    }
    c->readStatus = v == "read" ? 0x80 : 0x81;
    return true;
}

using V = const std::string &;
using N = const char *;
const OptionSpec kOptions[] = {
    {"--relay", nullptr, kAll, true, set_relay},
    {"--proxy", nullptr, kAll, true, set_proxy},
    {"--interface", nullptr, kAll, true, set_interface},
    {"--dns", nullptr, kAll, true, set_dns},
    {"--user-agent", nullptr, kAll, true, [](Common *c, V v, N) { return c->userAgent = v, true; }},
    {"--profile", nullptr, kAll, true, [](Common *c, V v, N) { return c->profile = v, true; }},
    {"--json", nullptr, kAll, false, [](Common *c, V, N) { return c->json = true; }},
    {"--verbose", nullptr, kAll, false, [](Common *c, V, N) { return c->verbose = true; }},
    {"--notifyresp", nullptr, kFetchOnly, false, [](Common *c, V, N) { return c->mode = 3, true; }},
    {"--ack", nullptr, kFetchOnly, false, [](Common *c, V, N) { return c->mode = 0, true; }},
    {"-o", "--output", kFetchOnly, true, [](Common *c, V v, N) { return c->output = v, true; }},
    {"--delivery-report", nullptr, kSendOnly, false, [](Common *c, V, N) { return c->deliveryReport = true; }},
    {"--read-reply", nullptr, kSendOnly, false, [](Common *c, V, N) { return c->readReply = true; }},
    {"--status", nullptr, kReportOnly, true, set_status},
    {"--from", nullptr, kReportOnly, true, [](Common *c, V v, N) { return c->from = v, true; }},
};

const OptionSpec *find_option(const std::string &a, Command cmd) {
    for (const OptionSpec &o : kOptions)
        if ((o.commands & command_bit(cmd)) && (a == o.name || (o.alias && a == o.alias))) return &o;
    return nullptr;
}

}  // namespace

// Parses the options both commands share; 0 to go on, else the exit status.
int parse_options(int argc, char **argv, Command cmd, const char *usage, Common *c) {
    const char *name = cmd == Command::Fetch ? "fetch" : cmd == Command::Send ? "send" : "read-report";
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(usage, stdout);
            return -1;
        }
        if (const OptionSpec *o = find_option(a, cmd)) {
            std::string v;
            if (o->takesValue) {
                if (i + 1 >= argc) {
                    std::fprintf(stderr, "rorodire %s: %s needs a value\n", name, a.c_str());
                    return 2;
                }
                v = argv[++i];
            }
            if (!o->apply(c, v, name)) return 2;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "rorodire %s: unknown option '%s'\n\n%s", name, a.c_str(), usage);
            return 2;
        } else if (c->input.empty()) {
            c->input = a;
        } else {
            std::fprintf(stderr, "rorodire %s: one input file only\n", name);
            return 2;
        }
    }
    if (c->relay.empty() || c->input.empty() || (cmd == Command::Fetch && c->output.empty())) {
        std::fprintf(stderr, "rorodire %s: %s\n\n%s", name,
                     c->relay.empty() ? "--relay URL is required" : c->input.empty() ? "an input file is required" : "-o OUT is required",
                     usage);
        return 2;
    }
    return 0;
}

MmsSettings settings_of(const Common &c) {
    // The bearer is the transactions' own setting: set here, before each of
    // them starts.
    QXBearer bearer{};
    fnQX_Stack_MakeBearer(&bearer, c.iface.c_str(), nullptr, c.dns.c_str());
    hbx_SetBearer(&bearer);
    auto opt = [](const std::string &s) { return s.empty() ? nullptr : s.c_str(); };
    return MmsSettings{opt(c.userAgent), opt(c.profile), opt(c.proxyHost), opt(c.proxyPort), c.relay.c_str()};
}

int read_pdu_input(const char *command, const Common &c, int want, std::vector<uint8_t> *pdu) {
    if (std::string why; !read_input(c.input, kMaxInputFile, pdu, &why)) {
        std::fprintf(stderr, "rorodire %s: cannot read %s: %s\n", command, c.input.c_str(), why.c_str());
        return 3;
    }
    qx::set_log_sink(log_to_stderr, nullptr);
    qx::set_log_enabled(c.verbose);
    if (const std::string why = pdu_problem(*pdu, want); !why.empty()) {
        std::fprintf(stderr, "rorodire %s: %s %s\n", command, c.input.c_str(), why.c_str());
        return 3;
    }
    return 0;
}

// Runs the main loop until the final report.
void wait_for_outcome() {
    if (g_run.done) return;
    g_run.loop = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(g_run.loop);
    g_main_loop_unref(g_run.loop);
    g_run.loop = nullptr;
}

// The outcome on stdout when it went well, as one line on stderr (naming the
// end that could not be reached, when one could not) when it did not.
int finish(const char *command, const Outcome *table, size_t n, const std::string &extraJson, bool json,
           const Common &c, const std::string *cause_override) {
    const Outcome *o = nullptr;
    for (size_t i = 0; i < n; ++i)
        if (table[i].code == g_run.code) o = &table[i];
    const Outcome unknown{g_run.code, "unknown", "ended with an unknown code", 10};
    if (!o) o = &unknown;
    if (json) {
        std::string s = "{\"command\":\"" + std::string(command) + "\",\"outcome\":\"" + o->word +
                        "\",\"code\":" + std::to_string(g_run.code) + ",\"value\":" + std::to_string(g_run.value) +
                        ",\"exit\":" + std::to_string(o->exitStatus) + extraJson + "}\n";
        std::fputs(s.c_str(), stdout);
    } else if (o->exitStatus == 0) {
        std::printf("%s (code %d)\n", o->text, g_run.code);
    }
    if (o->exitStatus != 0) {
        const std::string cause = cause_override ? *cause_override : failure_cause(c);
        std::fprintf(stderr, "rorodire %s: %s (code %d)%s%s\n", command, o->text, g_run.code,
                     cause.empty() ? "" : ": ", cause.c_str());
        if (const char *refused = fnQXStack_Http_RedirectRefusal(); refused && *refused)
            std::fprintf(stderr, "rorodire %s: %s: not followed\n", command, refused);
    }
    return o->exitStatus;
}

int post_deadline_ms(size_t bytes) { return hbx_DeadlineFor(static_cast<int64_t>(bytes) + HBX_ACK_WORK_BUF); }

bool post_pdu(const Common &c, const std::vector<uint8_t> &pdu, std::string *answer, int deadlineMs) {
    const MmsSettings settings = settings_of(c);
    g_run.deadlineMs = deadlineMs;
    g_run.loop = g_main_loop_new(nullptr, FALSE);
    rrhost::PduPost *post = rrhost::post_pdu_start(
        settings, pdu,
        [](uint64_t sent, uint64_t total) {
            on_result(g_run.progressCode, static_cast<int>(std::min<uint64_t>(99, sent * 100ull / total)));
        },
        [answer](rrhost::PostEnd e) {
            g_run.done = true;
            g_run.code = e.ok ? HBX_MSG_SEND_OK : HBX_MSG_SEND_FAIL;
            g_run.value = e.httpStatus;
            g_run.deadlineHit = e.deadline;
            *answer = std::move(e.answer);
            if (g_run.loop) g_main_loop_quit(g_run.loop);
        },
        deadlineMs);
    if (post) g_main_loop_run(g_run.loop);
    g_main_loop_unref(g_run.loop);
    g_run.loop = nullptr;
    return post != nullptr;
}

}  // namespace rrtool::transfer
