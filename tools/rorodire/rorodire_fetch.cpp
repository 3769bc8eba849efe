// `rorodire fetch`: downloads the message a notification announces through
// the library's download transaction and answers the relay.
#include <unistd.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "qx_log.h"
#include "rorodire_check.h"
#include "rorodire_files.h"
#include "rorodire_tool.h"
#include "rorodire_transfer.h"

namespace rrtool {

using namespace transfer;

namespace {

constexpr char kFetchUsage[] =
    "usage: rorodire fetch --relay URL [--proxy HOST:PORT] [--user-agent S] [--profile URL]\n"
    "                      [--interface IF] [--dns ADDR[,ADDR]]\n"
    "                      [--notifyresp | --ack] [--json] [--verbose] NOTIFICATION -o OUT\n"
    "\n"
    "Downloads the message that the m-notification-ind in the file NOTIFICATION\n"
    "announces through the library's download transaction, writes the\n"
    "m-retrieve-conf to OUT and answers the relay at URL.\n"
    "  --relay URL        MMS relay (MMSC) URL the answer is posted to\n"
    "  --proxy HOST:PORT  WAP proxy (HTTP proxy) to go through; none by default\n"
    "  --interface IF     go out on network interface IF (the modem's bearer)\n"
    "  --dns ADDR[,ADDR]  resolve the relay's and proxy's names through these DNS\n"
    "                     servers only (the bearer's), never the system resolver\n"
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

constexpr Outcome kFetchOutcomes[] = {
    {HBX_MSG_DL_OK, "retrieved", "retrieved: the message is stored and the relay was answered", 0},
    {HBX_MSG_DL_FAIL_NOR, "failed", "not retrieved: the download failed (connection, HTTP or message)", 10},
    {HBX_MSG_DL_MSG_TOOBIG, "too-big", "not retrieved: the message is larger than 307200 bytes", 14},
};

}  // namespace

int cmd_fetch(int argc, char **argv) {
    Common c;
    const int p = parse_options(argc, argv, Command::Fetch, kFetchUsage, &c);
    if (p != 0) return p < 0 ? 0 : p;
    std::vector<uint8_t> notification;
    if (const int rc = read_pdu_input("fetch", c, 0x82, &notification)) return rc;
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
        std::string why;
        const bool ok = write_file(c.output, out.data, static_cast<size_t>(out.length), &why);
        fnQX_Free(reinterpret_cast<void **>(&out.data));
        if (!ok) {
            std::remove(c.output.c_str());
            std::fprintf(stderr, "rorodire fetch: cannot write %s\n", c.output.c_str());
            return 3;
        }
        extra = ",\"bytes\":" + std::to_string(out.length) + ",\"output\":";
        append_json_string(extra, c.output);
    }
    return finish("fetch", kFetchOutcomes, std::size(kFetchOutcomes), extra, c.json, c);
}

}  // namespace rrtool
