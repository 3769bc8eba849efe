// `rorodire read-report`: tells the sender of a retrieved message that it was
// read (or deleted unread) with an m-read-rec-ind POSTed to the relay
// through the library's HTTP stack. The relay answers it with an HTTP status
// and no PDU, so it does not go through the send transaction, which waits
// for an m-send-conf.
#include <glib.h>
#include <libsoup/soup.h>
#include <unistd.h>

#include <cstring>

#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "qx_log.h"
#include "rorodire_check.h"
#include "rorodire_files.h"
#include "rorodire_tool.h"
#include "rorodire_transfer.h"
#include "rr_post.h"

namespace rrtool {

using namespace transfer;

namespace {

constexpr char kReadReportUsage[] =
    "usage: rorodire read-report --relay URL [--proxy HOST:PORT] [--status read|deleted]\n"
    "                            [--interface IF] [--dns ADDR[,ADDR]]\n"
    "                            [--from ADDR] [--user-agent S] [--profile URL]\n"
    "                            [--json] [--verbose] MESSAGE\n"
    "\n"
    "Sends a read report (m-read-rec-ind) for the retrieved message in the file\n"
    "MESSAGE (an m-retrieve-conf, as `fetch` writes it) to the MMS relay at URL:\n"
    "its Message-ID, its sender in To, the Read-Status and the date now. The\n"
    "relay passes it on to the sender as an m-read-orig-ind when the sender asked\n"
    "for one (Read-Reply). The report is POSTed through the library's HTTP stack;\n"
    "the relay answers with an HTTP status only.\n"
    "  --relay URL        MMS relay (MMSC) URL, e.g. http://127.0.0.1:8002/mms\n"
    "  --proxy HOST:PORT  WAP proxy (HTTP proxy) to go through; none by default\n"
    "  --interface IF     go out on network interface IF (the modem's bearer)\n"
    "  --dns ADDR[,ADDR]  resolve the relay's and proxy's names through these DNS\n"
    "                     servers only (the bearer's), never the system resolver\n"
    "  --status S         read (the default) or deleted (deleted without being read)\n"
    "  --from ADDR        your own address as the report's From; without it the\n"
    "                     relay inserts it\n"
    "  --user-agent S     User-Agent header instead of the built-in one\n"
    "  --profile URL      Profile (UAProf) header instead of the built-in one\n"
    "  --json             print the outcome as one JSON object on stdout\n"
    "  --verbose          show the library's diagnostic log on stderr\n"
    "A read report tells the sender when you read the message.\n"
    "The post has an overall deadline (60 s and 5 s per kilobyte), however slowly\n"
    "the relay answers.\n"
    "Exit status: 0 sent, 10 failed (connection, the deadline, or the relay refused\n"
    "it: the HTTP status is named), 4 not started, 3 file error, 2 usage error.\n";

// The first line of the relay's answer, for the error line.
std::string first_line(const std::string &answer) {
    std::string line = answer.substr(0, answer.find('\n'));
    if (line.size() > 200) line.resize(200);
    std::string shown;
    append_display_string(shown, line);
    return shown;
}

}  // namespace

int cmd_read_report(int argc, char **argv) {
    Common c;
    const int p = parse_options(argc, argv, Command::ReadReport, kReadReportUsage, &c);
    if (p != 0) return p < 0 ? 0 : p;
    std::vector<uint8_t> message;
    if (const int rc = read_pdu_input("read-report", c, 0x84, &message)) return rc;
    std::string why;
    bool asked = false;
    const std::vector<uint8_t> report = rrhost::read_report_of(message, c.readStatus, c.from,
                                                               g_get_real_time() / 1000000, &why, &asked);
    if (report.empty()) {
        std::fprintf(stderr, "rorodire read-report: %s %s\n", c.input.c_str(), why.c_str());
        return 3;
    }
    g_run = Run{};
    g_run.progressCode = HBX_MSG_SEND_PROGRESS;
    g_run.tty = isatty(2);
    std::string answer;
    if (!post_pdu(c, report, &answer, post_deadline_ms(report.size()))) {
        std::fprintf(stderr, "rorodire read-report: the report could not be posted (the HTTP stack did not start)\n");
        if (c.json) std::printf("{\"command\":\"read-report\",\"outcome\":\"not-started\",\"exit\":4}\n");
        return 4;
    }
    if (g_run.tty && g_run.lastPercent >= 0) std::fputc('\n', stderr);
    // A refusal by the relay is named with its HTTP status and its words.
    std::string refused = "not sent: the read report failed (connection or HTTP)";
    std::string cause;
    const std::string *causeOf = nullptr;  // the connection's problem, found by finish
    if (g_run.code != HBX_MSG_SEND_OK && g_run.deadlineHit) {
        refused = "not sent: the read report failed";
        cause = "the overall deadline of " + std::to_string((g_run.deadlineMs + 999) / 1000) + " s passed";
        causeOf = &cause;
    } else if (g_run.code != HBX_MSG_SEND_OK && g_run.value > 0) {
        const char *phrase = soup_status_get_phrase(static_cast<guint>(g_run.value));
        refused = "not sent: the relay answered HTTP " + std::to_string(g_run.value) +
                  (phrase && std::strcmp(phrase, "Unknown Error") != 0 ? std::string(" ") + phrase : "") +
                  (answer.empty() ? "" : " (" + first_line(answer) + ")");
        causeOf = &cause;  // the status says it all
    }
    const Outcome outcomes[] = {
        {HBX_MSG_SEND_OK, "sent", "sent: the relay took the read report", 0},
        {HBX_MSG_SEND_FAIL, "failed", refused.c_str(), 10},
    };
    std::string extra = ",\"bytes\":" + std::to_string(report.size()) + ",\"http_status\":" +
                        std::to_string(g_run.value) + ",\"read_status\":\"" +
                        (c.readStatus == 0x80 ? "read" : "deleted") + "\",\"read_reply_asked\":" +
                        (asked ? "true" : "false");
    const int status = finish("read-report", outcomes, std::size(outcomes), extra, c.json, c, causeOf);
    if (status == 0 && !asked && !c.json)
        std::printf("note: the sender asked for no read report (Read-Reply No): the relay passes none on\n");
    return status;
}

}  // namespace rrtool
