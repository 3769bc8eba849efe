// `rorodire send`: posts an m-send-req through the library's send
// transaction, the way a host does.
#include <unistd.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "qx_log.h"
#include "rorodire_check.h"
#include "rorodire_files.h"
#include "rorodire_reports.h"
#include "rorodire_tool.h"
#include "rorodire_transfer.h"

namespace rrtool {

using namespace transfer;

namespace {

constexpr char kSendUsage[] =
    "usage: rorodire send --relay URL [--proxy HOST:PORT] [--user-agent S] [--profile URL]\n"
    "                     [--interface IF] [--dns ADDR[,ADDR]]\n"
    "                     [--delivery-report] [--read-reply] [--json] [--verbose] PDU\n"
    "\n"
    "Posts the m-send-req in the file PDU to the MMS relay at URL through the\n"
    "library's send transaction (stepped as its socket is ready, on a GLib main\n"
    "loop) and reports the relay's m-send-conf.\n"
    "  --relay URL        MMS relay (MMSC) URL, e.g. http://127.0.0.1:8002/mms\n"
    "  --proxy HOST:PORT  WAP proxy (HTTP proxy) to go through; none by default\n"
    "  --interface IF     go out on network interface IF (the modem's bearer)\n"
    "  --dns ADDR[,ADDR]  resolve the relay's and proxy's names through these DNS\n"
    "                     servers only (the bearer's), never the system resolver\n"
    "  --user-agent S     User-Agent header instead of the built-in one\n"
    "  --profile URL      Profile (UAProf) header instead of the built-in one\n"
    "  --delivery-report  ask the relay for a delivery report (m-delivery-ind) of\n"
    "                     each recipient: the request's Delivery-Report is set to Yes\n"
    "  --read-reply       ask each recipient for a read report (Read-Reply Yes)\n"
    "                     (`compose` has the same options; these change the PDU\n"
    "                     as it is sent, not the file)\n"
    "  --json             print the outcome as one JSON object on stdout\n"
    "  --verbose          show the library's diagnostic log on stderr\n"
    "Progress goes to stderr (a bar on a terminal, a line per 10 % otherwise).\n"
    "A failure names its cause: the HTTP status, the Response-Status in words with\n"
    "the relay's Response-Text, the overall deadline, or the end that could not\n"
    "be reached.\n"
    "Exit status: 0 sent, 10 failed, 11 service denied, 12 network problem,\n"
    "13 unsupported message, 4 not started, 3 file error, 2 usage error.\n";

constexpr Outcome kOutcomes[] = {
    {HBX_MSG_SEND_OK, "sent", "sent: the relay confirmed the message", 0},
    {HBX_MSG_SEND_FAIL, "failed", "not sent: the send failed (connection, HTTP or confirmation)", 10},
    {HBX_MSG_SERVICE_DENIED, "service-denied", "not sent: the relay denied the service", 11},
    {HBX_MSG_NETWORK_PROBLEM, "network-problem", "not sent: the relay reported a network problem", 12},
    {HBX_MSG_UNSUPPORTED, "unsupported", "not sent: the relay does not support the message", 13},
};
}  // namespace

int cmd_send(int argc, char **argv) {
    Common c;
    const int p = parse_options(argc, argv, Command::Send, kSendUsage, &c);
    if (p != 0) return p < 0 ? 0 : p;
    std::vector<uint8_t> pdu;
    if (const int rc = read_pdu_input("send", c, 0x80, &pdu)) return rc;
    if ((c.deliveryReport || c.readReply) && !ask_for_reports(pdu, c.deliveryReport, c.readReply)) {
        std::fprintf(stderr, "rorodire send: %s: the header does not read to its end\n", c.input.c_str());
        return 3;
    }
    g_run = Run{};
    g_run.progressCode = HBX_MSG_SEND_PROGRESS;
    g_run.tty = isatty(2);
    MmsSettings settings = settings_of(c);
    tCPS_PduBuf buf{pdu.data(), static_cast<int>(pdu.size())};
    observe_confirmation(true);
    const int started = fnCPS_SendMMS(&buf, &settings, on_result);
    if (started != HBX_MSG_SEND_STARTED) {
        observe_confirmation(false);
        std::fprintf(stderr, "rorodire send: the send could not start (code %d)\n", started);
        if (c.json) std::printf("{\"command\":\"send\",\"outcome\":\"not-started\",\"code\":%d,\"exit\":4}\n", started);
        return 4;
    }
    wait_for_outcome();
    hbx_SetSendConfObserver(nullptr, nullptr);
    return finish("send", kOutcomes, std::size(kOutcomes), ",\"bytes\":" + std::to_string(pdu.size()), c.json, c);
}

}  // namespace rrtool
