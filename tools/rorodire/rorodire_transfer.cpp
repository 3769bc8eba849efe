// `rorodire send` and `rorodire fetch`: drive the library's send and
// download transactions with the real osal on a GLib main loop, the way a
// host does, showing progress on stderr and the outcome in words.
#include <glib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "qx_log.h"
#include "rorodire_check.h"
#include "rorodire_files.h"
#include "rorodire_tool.h"

namespace rrtool {
namespace {

constexpr char kSendUsage[] =
    "usage: rorodire send --relay URL [--proxy HOST:PORT] [--user-agent S] [--profile URL]\n"
    "                     [--json] [--verbose] PDU\n"
    "\n"
    "Posts the m-send-req in the file PDU to the MMS relay at URL through the\n"
    "library's send transaction (100 ms steps on a GLib main loop) and reports\n"
    "the relay's m-send-conf.\n"
    "  --relay URL        MMS relay (MMSC) URL, e.g. http://127.0.0.1:8002/mms\n"
    "  --proxy HOST:PORT  WAP proxy (HTTP proxy) to go through; none by default\n"
    "  --user-agent S     User-Agent header instead of the built-in one\n"
    "  --profile URL      Profile (UAProf) header instead of the built-in one\n"
    "  --json             print the outcome as one JSON object on stdout\n"
    "  --verbose          show the library's diagnostic log on stdout\n"
    "Progress goes to stderr (a bar on a terminal, a line per 10 % otherwise).\n"
    "Exit status: 0 sent, 10 failed, 11 service denied, 12 network problem,\n"
    "13 unsupported message, 4 not started, 3 file error, 2 usage error.\n";

constexpr char kFetchUsage[] =
    "usage: rorodire fetch --relay URL [--proxy HOST:PORT] [--user-agent S] [--profile URL]\n"
    "                      [--notifyresp | --ack] [--json] [--verbose] NOTIFICATION -o OUT\n"
    "\n"
    "Downloads the message that the m-notification-ind in the file NOTIFICATION\n"
    "announces through the library's download transaction, writes the\n"
    "m-retrieve-conf to OUT and answers the relay at URL.\n"
    "  --relay URL        MMS relay (MMSC) URL the answer is posted to\n"
    "  --proxy HOST:PORT  WAP proxy (HTTP proxy) to go through; none by default\n"
    "  --user-agent S     User-Agent header instead of the built-in one\n"
    "  --profile URL      Profile (UAProf) header instead of the built-in one\n"
    "  --notifyresp       answer with an m-notifyresp-ind (retrieve mode 3; default)\n"
    "  --ack              answer with an m-acknowledge-ind (retrieve mode 0)\n"
    "  -o OUT             where the retrieved m-retrieve-conf goes\n"
    "  --json             print the outcome as one JSON object on stdout\n"
    "  --verbose          show the library's diagnostic log on stdout\n"
    "Progress goes to stderr (a bar on a terminal, a line per 10 % otherwise).\n"
    "Exit status: 0 retrieved, 10 failed, 14 message too big, 4 not started,\n"
    "3 file error, 2 usage error.\n";

struct Outcome {
    int code;
    const char *word;  // for --json
    const char *text;  // for people
    int exitStatus;
};

constexpr Outcome kOutcomes[] = {
    {HBX_MSG_SEND_OK, "sent", "sent: the relay confirmed the message", 0},
    {HBX_MSG_SEND_FAIL, "failed", "not sent: the send failed (connection, HTTP or confirmation)", 10},
    {HBX_MSG_SERVICE_DENIED, "service-denied", "not sent: the relay denied the service", 11},
    {HBX_MSG_NETWORK_PROBLEM, "network-problem", "not sent: the relay reported a network problem", 12},
    {HBX_MSG_UNSUPPORTED, "unsupported", "not sent: the relay does not support the message", 13},
};
constexpr Outcome kFetchOutcomes[] = {
    {HBX_MSG_DL_OK, "retrieved", "retrieved: the message is stored and the relay was answered", 0},
    {HBX_MSG_DL_FAIL_NOR, "failed", "not retrieved: the download failed (connection, HTTP or message)", 10},
    {HBX_MSG_DL_MSG_TOOBIG, "too-big", "not retrieved: the message is larger than 307200 bytes", 14},
};

// What the callback sees; the library's callback carries no user value.
struct Run {
    GMainLoop *loop = nullptr;
    bool done = false;
    int code = -1, value = 0;
    int progressCode = -1;
    int lastPercent = -1;
    int lastDecile = -1;
    int reports = 0;
    bool tty = false;
};
Run g_run;

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

struct Common {
    std::string relay, proxyHost, proxyPort, userAgent, profile, input, output;
    bool json = false, verbose = false;
    int mode = 3;
};

// Parses the options both commands share; 0 to go on, else the exit status.
int parse(int argc, char **argv, bool fetch, Common *c) {
    const char *usage = fetch ? kFetchUsage : kSendUsage;
    const char *name = fetch ? "fetch" : "send";
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string *into) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "rorodire %s: %s needs a value\n", name, a.c_str());
                return false;
            }
            *into = argv[++i];
            return true;
        };
        if (a == "--help" || a == "-h") {
            std::fputs(usage, stdout);
            return -1;
        }
        std::string proxy;
        if (a == "--relay") {
            if (!value(&c->relay)) return 2;
        } else if (a == "--proxy") {
            if (!value(&proxy)) return 2;
            const size_t colon = proxy.rfind(':');
            if (colon == std::string::npos || colon == 0 || colon + 1 >= proxy.size()) {
                std::fprintf(stderr, "rorodire %s: --proxy takes HOST:PORT\n", name);
                return 2;
            }
            c->proxyHost = proxy.substr(0, colon);
            c->proxyPort = proxy.substr(colon + 1);
        } else if (a == "--user-agent") {
            if (!value(&c->userAgent)) return 2;
        } else if (a == "--profile") {
            if (!value(&c->profile)) return 2;
        } else if (a == "--json") {
            c->json = true;
        } else if (a == "--verbose") {
            c->verbose = true;
        } else if (fetch && a == "--notifyresp") {
            c->mode = 3;
        } else if (fetch && a == "--ack") {
            c->mode = 0;
        } else if (fetch && (a == "-o" || a == "--output")) {
            if (!value(&c->output)) return 2;
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
    if (c->relay.empty() || c->input.empty() || (fetch && c->output.empty())) {
        std::fprintf(stderr, "rorodire %s: %s\n\n%s", name,
                     c->relay.empty() ? "--relay URL is required" : c->input.empty() ? "an input file is required" : "-o OUT is required",
                     usage);
        return 2;
    }
    return 0;
}

MmsSettings settings_of(const Common &c) {
    auto opt = [](const std::string &s) { return s.empty() ? nullptr : s.c_str(); };
    return MmsSettings{opt(c.userAgent), opt(c.profile), opt(c.proxyHost), opt(c.proxyPort), c.relay.c_str()};
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
           const Common &c) {
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
        const std::string proxy = c.proxyHost.empty() ? "" : c.proxyHost + ":" + c.proxyPort;
        const std::string unreachable = o->exitStatus == 10 ? reach_problem(proxy, c.relay) : "";
        std::fprintf(stderr, "rorodire %s: %s (code %d)%s%s\n", command, o->text, g_run.code,
                     unreachable.empty() ? "" : ": ", unreachable.c_str());
    }
    return o->exitStatus;
}

}  // namespace

int cmd_send(int argc, char **argv) {
    Common c;
    const int p = parse(argc, argv, false, &c);
    if (p != 0) return p < 0 ? 0 : p;
    std::vector<uint8_t> pdu;
    if (std::string why; !read_input(c.input, kMaxInputFile, &pdu, &why)) {
        std::fprintf(stderr, "rorodire send: cannot read %s: %s\n", c.input.c_str(), why.c_str());
        return 3;
    }
    qx::set_log_enabled(c.verbose);
    if (const std::string why = pdu_problem(pdu, 0x80); !why.empty()) {
        std::fprintf(stderr, "rorodire send: %s %s\n", c.input.c_str(), why.c_str());
        return 3;
    }
    g_run = Run{};
    g_run.progressCode = HBX_MSG_SEND_PROGRESS;
    g_run.tty = isatty(2);
    MmsSettings settings = settings_of(c);
    tCPS_PduBuf buf{pdu.data(), static_cast<int>(pdu.size())};
    const int started = fnCPS_SendMMS(&buf, &settings, on_result);
    if (started != HBX_MSG_SEND_STARTED) {
        std::fprintf(stderr, "rorodire send: the send could not start (code %d)\n", started);
        if (c.json) std::printf("{\"command\":\"send\",\"outcome\":\"not-started\",\"code\":%d,\"exit\":4}\n", started);
        return 4;
    }
    wait_for_outcome();
    return finish("send", kOutcomes, std::size(kOutcomes), ",\"bytes\":" + std::to_string(pdu.size()), c.json, c);
}

int cmd_fetch(int argc, char **argv) {
    Common c;
    const int p = parse(argc, argv, true, &c);
    if (p != 0) return p < 0 ? 0 : p;
    std::vector<uint8_t> notification;
    if (std::string why; !read_input(c.input, kMaxInputFile, &notification, &why)) {
        std::fprintf(stderr, "rorodire fetch: cannot read %s: %s\n", c.input.c_str(), why.c_str());
        return 3;
    }
    qx::set_log_enabled(c.verbose);
    if (const std::string why = pdu_problem(notification, 0x82); !why.empty()) {
        std::fprintf(stderr, "rorodire fetch: %s %s\n", c.input.c_str(), why.c_str());
        return 3;
    }
    g_run = Run{};
    g_run.progressCode = HBX_MSG_DL_PROGRESS;
    g_run.tty = isatty(2);
    MmsSettings settings = settings_of(c);
    tCPS_PduBuf in{notification.data(), static_cast<int>(notification.size())};
    tCPS_PduBuf out{};
    const int started = fnCPS_DownloadMMS(&in, c.mode, &settings, on_result, &out);
    if (started != HBX_MSG_DL_STARTED) {
        std::fprintf(stderr, "rorodire fetch: the download could not start (code %d)\n", started);
        if (c.json) std::printf("{\"command\":\"fetch\",\"outcome\":\"not-started\",\"code\":%d,\"exit\":4}\n", started);
        return 4;
    }
    wait_for_outcome();
    std::string extra;
    if (g_run.code == HBX_MSG_DL_OK && out.data) {
        std::ofstream f(c.output, std::ios::binary);
        f.write(reinterpret_cast<const char *>(out.data), out.length);
        f.close();
        const bool ok = static_cast<bool>(f);
        fnQX_Free(reinterpret_cast<void **>(&out.data));
        if (!ok) {
            std::fprintf(stderr, "rorodire fetch: cannot write %s\n", c.output.c_str());
            return 3;
        }
        extra = ",\"bytes\":" + std::to_string(out.length) + ",\"output\":";
        append_json_string(extra, c.output);
    }
    return finish("fetch", kFetchOutcomes, std::size(kFetchOutcomes), extra, c.json, c);
}

}  // namespace rrtool
