// Soak: one host process runs N cycles of compose -> send -> download ->
// parse against `rorodire relay` on loopback, with the real osal on a GLib
// main loop; every third cycle carries a fault the relay injects (an early
// close, garbage, a lying Content-Length) into its send or its download.
// Every 100 cycles (and at the end) it prints its resident memory and open
// descriptors. It is no timed test: it checks that every transaction ends
// with exactly one final report of the expected kind, that descriptors stay
// flat, and, from 500 cycles on, that resident memory after the first 50
// cycles grows by less than 64 KB.
//
//   bench_trans_soak [CYCLES] [--step-ms N] [--rorodire PATH]
//
// Exit status 0 when all of that holds, 1 otherwise.
#include <arpa/inet.h>
#include <dirent.h>
#include <glib.h>
#include <malloc.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_relay.h"
#include "hbxappglib.h"
#include "qx_log.h"
#include "rorodire.h"

namespace {

// ---------------------------------------------------------------- process figures
long rss_kb() {
    FILE *f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::strtol(line + 6, nullptr, 10);
    std::fclose(f);
    return kb;
}

// The C heap: bytes in use, and bytes the allocator holds (main arena and
// mapped blocks).
long heap_inuse_kb() { return static_cast<long>(mallinfo2().uordblks + mallinfo2().hblkhd) / 1024; }
long heap_held_kb() { return static_cast<long>(mallinfo2().arena + mallinfo2().hblkhd) / 1024; }

int open_fds() {
    DIR *d = opendir("/proc/self/fd");
    if (!d) return -1;
    int n = 0;
    while (const dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1;  // the directory's own descriptor
}

// ---------------------------------------------------------------- relay
struct Relay : BenchRelay {
    std::string base;
    long logOffset = 0;

    bool start(const std::string &binary) {
        if (!launch(binary, "rr_soak_")) return false;
        base = url.substr(0, url.rfind('/'));
        return true;
    }
    void stop() {
        terminate();
        if (!dir.empty()) {
            const std::string cmd = "rm -rf '" + dir + "'";
            if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "soak: could not remove %s\n", dir.c_str());
        }
    }

    // The notification file named by the log lines written since the last call.
    std::string new_notification() {
        FILE *f = std::fopen(log.c_str(), "r");
        if (!f) return "";
        std::fseek(f, logOffset, SEEK_SET);
        std::string file;
        char line[4096];
        while (std::fgets(line, sizeof line, f)) {
            const char *at = std::strstr(line, "\"file\":\"");
            if (!at) continue;
            const char *end = std::strchr(at + 8, '"');
            if (end) file.assign(at + 8, end);
        }
        logOffset = std::ftell(f);
        std::fclose(f);
        return file;
    }

    // Arms a fault for the next matching request through /control.
    bool control(const std::string &kind) {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(std::atoi(base.c_str() + base.rfind(':') + 1)));
        const std::string req = "GET /control?fault=" + kind + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        std::string reply;
        if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            ::send(s, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size())) {
            char buf[512];
            for (ssize_t n; (n = recv(s, buf, sizeof buf, 0)) > 0;) reply.append(buf, static_cast<size_t>(n));
        }
        close(s);
        return reply.find(" 200 ") != std::string::npos;
    }
};

std::vector<uint8_t> read_file(const std::string &path) {
    std::vector<uint8_t> out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    uint8_t buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

// ---------------------------------------------------------------- one transaction
struct Outcome {
    int finals = 0;  // final reports
    int code = -1;   // the first final code
};

GMainLoop *g_loop = nullptr;
Outcome g_outcome;

gboolean quit_loop(gpointer) {
    g_main_loop_quit(g_loop);
    return G_SOURCE_REMOVE;
}

void on_result(int code, int) {
    if (code == HBX_MSG_SEND_PROGRESS || code == HBX_MSG_DL_PROGRESS) return;
    if (g_outcome.finals++ == 0) {
        g_outcome.code = code;
        // A second report would come from a later step: give it the time of
        // several steps before the transaction counts as over.
        g_timeout_add(20, quit_loop, nullptr);
    }
}

gboolean on_deadline(gpointer) {
    g_main_loop_quit(g_loop);
    return G_SOURCE_REMOVE;
}

template <typename Start>
Outcome run(Start start) {
    g_outcome = Outcome{};
    if (!start()) return g_outcome;
    const guint guard = g_timeout_add_seconds(60, on_deadline, nullptr);
    g_main_loop_run(g_loop);
    g_source_remove(guard);
    return g_outcome;
}

// ---------------------------------------------------------------- the message
struct Message {
    std::string text;
    std::vector<uint8_t> image;
    tCPS_Slide slide{};
    tCPS_AttachNode attachment{};
    std::string attachmentText;
};

void build(Message &m, int cycle) {
    m.text = "soak cycle " + std::to_string(cycle) + ": " + std::string(200 + cycle % 300, 'x');
    m.image.assign(1500 + cycle % 700, 0);
    const uint8_t gif[] = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0};
    std::memcpy(m.image.data(), gif, sizeof gif);
    for (size_t i = sizeof gif; i < m.image.size(); ++i) m.image[i] = static_cast<uint8_t>(i * 7 + cycle);
    m.attachmentText = "attachment of cycle " + std::to_string(cycle);
    m.slide = tCPS_Slide{};
    m.slide.Has_Image = 1;
    m.slide.Image.Data = m.image.data();
    m.slide.Image.Size = static_cast<int>(m.image.size());
    m.slide.Image.Content_Type = const_cast<char *>("image/gif");
    m.slide.Image.Name = const_cast<char *>("pic.gif");
    m.slide.Image.End = 5000;
    m.slide.Has_Text = 1;
    m.slide.Text.Text = m.text.data();
    m.slide.Text.Length = static_cast<int>(m.text.size());
    m.slide.Text.End = 5000;
    m.slide.Duration = 5000;
    m.attachment = tCPS_AttachNode{};
    m.attachment.Data = reinterpret_cast<uint8_t *>(m.attachmentText.data());
    m.attachment.Size = static_cast<int>(m.attachmentText.size());
    m.attachment.Name = const_cast<char *>("note.txt");
    m.attachment.Content_Type = const_cast<char *>("text/plain");
}

void release(void *p) {
    void *v = p;
    fnQX_Free(&v);
}

// Releases what fnCPS_ParserMMS handed over, as a host does.
void release_parsed(tCPS_MmsData &d) {
    for (tCPS_Slide *n = d.pSlide_List; n;) {
        tCPS_Slide *next = n->next;
        for (void *p : {static_cast<void *>(n->Image.Data), static_cast<void *>(n->Image.Content_Type),
                        static_cast<void *>(n->Image.Name), static_cast<void *>(n->Audio.Data),
                        static_cast<void *>(n->Audio.Content_Type), static_cast<void *>(n->Audio.Name),
                        static_cast<void *>(n->Video.Data), static_cast<void *>(n->Video.Content_Type),
                        static_cast<void *>(n->Video.Name), static_cast<void *>(n->Text.Text), static_cast<void *>(n)})
            release(p);
        n = next;
    }
    for (tCPS_AttachNode *n = d.pAttach_List; n;) {
        tCPS_AttachNode *next = n->next;
        for (void *p : {static_cast<void *>(n->Data), static_cast<void *>(n->Name),
                        static_cast<void *>(n->Content_Type), static_cast<void *>(n)})
            release(p);
        n = next;
    }
    tMMS_RetrieveConf &h = d.Header.Retrieve.Retrieve_Conf;
    for (void *p : {static_cast<void *>(h.body), static_cast<void *>(h.Transaction_Id),
                    static_cast<void *>(h.Message_Id), static_cast<void *>(h.From), static_cast<void *>(h.To),
                    static_cast<void *>(h.Cc), static_cast<void *>(h.Subject)})
        release(p);
    d = tCPS_MmsData{};
}

// ---------------------------------------------------------------- faults
// Every third cycle: one fault, in turn on the send and on the download.
struct Fault {
    const char *relayFault;  // relay fault for the next matching request
    int sendCode;      // expected end of the send
    int dlCode;        // expected end of the download (-1: none runs)
};
constexpr Fault kFaults[] = {
    {"send:close-after%3D40", HBX_MSG_SEND_FAIL, -1},
    {"send:garbage", HBX_MSG_SEND_FAIL, -1},
    {"send:length%3Dmore", HBX_MSG_SEND_FAIL, -1},
    {"get:close-after%3D900", HBX_MSG_SEND_OK, HBX_MSG_DL_FAIL_NOR},
    {"get:garbage", HBX_MSG_SEND_OK, HBX_MSG_DL_FAIL_NOR},
    {"get:length%3Dmore", HBX_MSG_SEND_OK, HBX_MSG_DL_FAIL_NOR},
    // A Content-Length below the message: the HTTP exchange ends well, the
    // message is cut short and must not count as retrieved.
    {"get:length%3Dfewer", HBX_MSG_SEND_OK, HBX_MSG_DL_FAIL_NOR},
};
constexpr Fault kNoFault{nullptr, HBX_MSG_SEND_OK, HBX_MSG_DL_OK};

struct Tally {
    int transactions = 0;
    int wrongReports = 0;  // none or more than one final report
    int wrongOutcomes = 0;
    int parseFailures = 0;
};

// One cycle; false when something other than a transaction's outcome went
// wrong (compose, the relay's files).
bool cycle(Relay &relay, int i, Tally &t) {
    const Fault &f = i % 3 == 2 ? kFaults[(i / 3) % std::size(kFaults)] : kNoFault;
    Message m;
    build(m, i);
    tCPS_MmsData data{};
    data.Slide_Num = 1;
    data.pSlide_List = &m.slide;
    data.Attach_Num = 1;
    data.pAttach_List = &m.attachment;
    const std::string tid = "soak-" + std::to_string(i);
    data.Header.Send_Req.Transaction_Id = const_cast<char *>(tid.c_str());
    data.Header.Send_Req.To = const_cast<char *>("+15550001234");
    data.Header.Send_Req.Subject = const_cast<char *>("soak");
    tCPS_PduBuf pdu{};
    if (fnCPS_ComposeMMS(&data, &pdu, 0) != COMPOSER_SUCCESS) {
        std::fprintf(stderr, "soak: cycle %d: compose failed\n", i);
        return false;
    }
    if (f.relayFault && f.dlCode >= 0 && !relay.control(f.relayFault)) {
        std::fprintf(stderr, "soak: cycle %d: the relay took no fault\n", i);
        return false;
    }
    const std::string sendUrl = f.relayFault && f.dlCode < 0 ? relay.url + "?fault=" + (f.relayFault + 5) : relay.url;
    MmsSettings settings{"SoakUA/1.0", nullptr, nullptr, nullptr, sendUrl.c_str()};
    const Outcome sent = run([&] { return fnCPS_SendMMS(&pdu, &settings, on_result) == HBX_MSG_SEND_STARTED; });
    release(pdu.data);
    ++t.transactions;
    if (sent.finals != 1) ++t.wrongReports;
    if (sent.code != f.sendCode) {
        ++t.wrongOutcomes;
        std::fprintf(stderr, "soak: cycle %d: send ended %d, expected %d\n", i, sent.code, f.sendCode);
    }
    const std::string file = relay.new_notification();
    if (sent.code != HBX_MSG_SEND_OK || f.dlCode < 0) return true;
    std::vector<uint8_t> notif = read_file(file);
    unlink(file.c_str());
    if (notif.empty()) {
        std::fprintf(stderr, "soak: cycle %d: no notification\n", i);
        return false;
    }
    settings.ServerAddr = relay.url.c_str();
    tCPS_PduBuf in{notif.data(), static_cast<int>(notif.size())};
    tCPS_PduBuf out{};
    const Outcome got =
        run([&] { return fnCPS_DownloadMMS(&in, 3, &settings, on_result, &out) == HBX_MSG_DL_STARTED; });
    ++t.transactions;
    if (got.finals != 1) ++t.wrongReports;
    if (got.code != f.dlCode) {
        ++t.wrongOutcomes;
        std::fprintf(stderr, "soak: cycle %d: download ended %d, expected %d\n", i, got.code, f.dlCode);
    }
    if (got.code == HBX_MSG_DL_OK) {
        tCPS_MmsData parsed{};
        const int r = fnCPS_ParserMMS(&parsed, &out);
        if (r != COMPOSER_SUCCESS || parsed.Slide_Num != 1 || !parsed.pSlide_List || !parsed.pSlide_List->Has_Text ||
            std::string(parsed.pSlide_List->Text.Text, static_cast<size_t>(parsed.pSlide_List->Text.Length)) != m.text)
            ++t.parseFailures;
        release_parsed(parsed);
    }
    release(out.data);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    int cycles = 1000;
    int stepMs = 5;
    std::string binary = RR_BINARY_DIR "/rorodire";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--step-ms" && i + 1 < argc)
            stepMs = std::atoi(argv[++i]);
        else if (a == "--rorodire" && i + 1 < argc)
            binary = argv[++i];
        else
            cycles = std::atoi(argv[i]);
    }
    qx::set_log_enabled(false);
    signal(SIGPIPE, SIG_IGN);
    Relay relay;
    if (!relay.start(binary)) {
        std::fprintf(stderr, "soak: the relay did not start (%s)\n", binary.c_str());
        relay.stop();
        return 1;
    }
    hbx_SetStepPeriod(stepMs);
    g_loop = g_main_loop_new(nullptr, FALSE);

    // Figures are compared from cycle 50 on (from a fifth of a short run).
    const int ref = cycles >= 100 ? 50 : (cycles / 5 > 0 ? cycles / 5 : 1);
    Tally t;
    long rss50 = -1, rssEnd = -1;
    int fds50 = -1, fdsEnd = -1, fdsMax = 0;
    bool ok = true;
    std::printf("cycle rss_kb fds heap_inuse_kb heap_held_kb\n");
    for (int i = 1; i <= cycles && ok; ++i) {
        ok = cycle(relay, i, t);
        const int fds = open_fds();
        if (i >= ref && fds > fdsMax) fdsMax = fds;
        if (i == ref) {
            rss50 = rss_kb();
            fds50 = fds;
        }
        if (i % 100 == 0 || i == cycles || i == ref) std::printf("%5d %6ld %3d %6ld %6ld\n", i, rss_kb(), fds, heap_inuse_kb(), heap_held_kb());
        std::fflush(stdout);
        if (i == cycles) {
            rssEnd = rss_kb();
            fdsEnd = fds;
        }
    }
    g_main_loop_unref(g_loop);
    relay.stop();

    const long growth = rssEnd - rss50;
    std::printf("transactions %d, wrong report counts %d, unexpected outcomes %d, parse failures %d\n",
                t.transactions, t.wrongReports, t.wrongOutcomes, t.parseFailures);
    std::printf("after cycle %d: resident memory %+ld KB (%.3f KB/cycle), descriptors %d -> %d (max %d)\n", ref,
                growth, cycles > ref ? static_cast<double>(growth) / (cycles - ref) : 0.0, fds50, fdsEnd, fdsMax);
    bool pass = ok && t.wrongReports == 0 && t.wrongOutcomes == 0 && t.parseFailures == 0 && fdsMax == fds50;
    if (cycles >= 500 && growth >= 64) pass = false;
    std::printf("%s\n", pass ? "soak: PASS" : "soak: FAIL");
    return pass ? 0 : 1;
}
