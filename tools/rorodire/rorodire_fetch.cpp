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
#include "rr_hostfiles.h"

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
    "m-retrieve-conf to OUT and only then answers the relay at URL. OUT is\n"
    "checked before the download (a missing folder, a folder, FIFO, device or\n"
    "symbolic link at OUT is refused); a message that cannot be stored is\n"
    "answered Deferred, so it stays on the relay.\n"
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
    "  --verbose          show the library's diagnostic log on stderr\n"
    "Progress goes to stderr (a bar on a terminal, a line per 10 % otherwise).\n"
    "Exit status: 0 retrieved, 10 failed (the cause is named: HTTP status,\n"
    "Retrieve-Status, deadline, connection), 14 message too big, 4 not started,\n"
    "3 file error (OUT cannot be written; nothing is lost), 2 usage error.\n";

constexpr Outcome kFetchOutcomes[] = {
    {HBX_MSG_DL_OK, "retrieved", "retrieved: the message is stored and the relay was answered", 0},
    {HBX_MSG_DL_FAIL_NOR, "failed", "not retrieved: the download failed (connection, HTTP or message)", 10},
    {HBX_MSG_DL_MSG_TOOBIG, "too-big", "not retrieved: the message is larger than 307200 bytes", 14},
};

}  // namespace

namespace {

// The message goes into OUT before the relay hears anything.
bool store_message(const uint8_t *pdu, int len, void *user) {
    auto *file = static_cast<rrhost::AtomicFile *>(user);
    std::string why;
    if (file->commit(pdu, static_cast<size_t>(len), &why)) return true;
    g_run.storeWhy = why;
    return false;
}

}  // namespace

int cmd_fetch(int argc, char **argv) {
    Common c;
    const int p = parse_options(argc, argv, Command::Fetch, kFetchUsage, &c);
    if (p != 0) return p < 0 ? 0 : p;
    std::vector<uint8_t> notification;
    if (const int rc = read_pdu_input("fetch", c, 0x82, &notification)) return rc;
    // OUT must be writable before anything is downloaded: its temporary file
    // is made now and filled once the message is in.
    rrhost::AtomicFile outFile;
    if (std::string why; !outFile.begin(c.output, output_options(), &why)) {
        std::fprintf(stderr, "rorodire fetch: %s (nothing was downloaded)\n", why.c_str());
        if (c.json) std::printf("{\"command\":\"fetch\",\"outcome\":\"not-started\",\"exit\":3}\n");
        return 3;
    }
    g_run = Run{};
    g_run.progressCode = HBX_MSG_DL_PROGRESS;
    g_run.tty = isatty(2);
    MmsSettings settings = settings_of(c);
    tCPS_PduBuf in{notification.data(), static_cast<int>(notification.size())};
    tCPS_PduBuf out{};
    hbx_SetDownloadStore(store_message, &outFile);
    const int started = fnCPS_DownloadMMS(&in, c.mode, &settings, on_result, &out);
    if (started != HBX_MSG_DL_STARTED) {
        hbx_SetDownloadStore(nullptr, nullptr);
        std::fprintf(stderr, "rorodire fetch: the download could not start (code %d)\n", started);
        if (c.json) std::printf("{\"command\":\"fetch\",\"outcome\":\"not-started\",\"code\":%d,\"exit\":4}\n", started);
        return 4;
    }
    wait_for_outcome();
    hbx_SetDownloadStore(nullptr, nullptr);
    const int length = out.length;
    if (out.data) fnQX_Free(reinterpret_cast<void **>(&out.data));
    if (hbx_LastEnding().cause == HbxEndCause::StoreRefused) {
        // Nothing is lost: the relay was told Deferred (or, for --ack, not
        // answered) and keeps the message.
        const std::string cause = g_run.storeWhy + (c.mode == 3 ? "; the relay was told Deferred and keeps the message"
                                                                : "; the relay was not answered and keeps the message");
        const Outcome stored[] = {{HBX_MSG_DL_FAIL_NOR, "not-stored", "not retrieved: the message could not be stored", 3}};
        return finish("fetch", stored, std::size(stored), "", c.json, c, &cause);
    }
    std::string extra;
    if (g_run.code == HBX_MSG_DL_OK) {
        extra = ",\"bytes\":" + std::to_string(length) + ",\"output\":";
        append_json_string(extra, c.output);
    }
    return finish("fetch", kFetchOutcomes, std::size(kFetchOutcomes), extra, c.json, c);
}

}  // namespace rrtool
