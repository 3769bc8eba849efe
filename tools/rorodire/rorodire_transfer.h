// What `rorodire send` and `rorodire fetch` share: their options, the run of
// a transaction on a GLib main loop with progress on stderr, the outcome in
// words or JSON.
#ifndef RORODIRE_TRANSFER_H
#define RORODIRE_TRANSFER_H

#include <glib.h>

#include <cstddef>
#include <string>
#include <vector>

#include "hbxappglib.h"

namespace rrtool::transfer {

struct Outcome {
    int code;
    const char *word;  // for --json
    const char *text;  // for people
    int exitStatus;
};

// The network commands; each takes the shared options and its own.
enum class Command { Send, Fetch, ReadReport };

struct Common {
    std::string relay, proxyHost, proxyPort, userAgent, profile, input, output;
    bool json = false, verbose = false;
    int mode = 3;
    // send: ask the relay for a delivery report / a read report (the
    // request's fields are set to Yes).
    bool deliveryReport = false, readReply = false;
    // read-report: the Read-Status (0x80 read, 0x81 deleted) and the
    // reader's own address ("" lets the relay insert it).
    int readStatus = 0x80;
    std::string from;
    // The bearer to go out on: interface (--interface) and DNS servers
    // (--dns, comma separated); empty: routing and the system resolver.
    std::string iface, dns;
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
extern Run g_run;

// Parses the options the commands share and each one's own (send:
// --delivery-report, --read-reply; fetch: --notifyresp, --ack, -o;
// read-report: --status, --from); 0 to go on, -1 after --help, else the
// exit status.
int parse_options(int argc, char **argv, Command cmd, const char *usage, Common *c);
MmsSettings settings_of(const Common &c);
// The command's input file, a complete PDU of Message-Type `want`; the
// library's log switched as --verbose says. 0, or 3 after one line on stderr.
int read_pdu_input(const char *command, const Common &c, int want, std::vector<uint8_t> *pdu);
// The transaction's callback: progress drawn, the final report kept.
void on_result(int code, int value);
// Runs the main loop until the final report.
void wait_for_outcome();
// The outcome on stdout when it went well, as one line on stderr (naming the
// end that could not be reached, when one could not) when it did not; the
// exit status.
int finish(const char *command, const Outcome *table, size_t n, const std::string &extraJson, bool json,
           const Common &c);

// A PDU POSTed through the library's HTTP stack on the main loop, one step
// per step period of the transactions, for an exchange whose answer is an
// HTTP status and no PDU (a read report). The outcome goes into g_run: code
// HBX_MSG_SEND_OK for a 2xx answer, else HBX_MSG_SEND_FAIL with value the
// HTTP status (0 when none came); the answer's first bytes into *answer.
// False when the stack could not start.
bool post_pdu(const Common &c, const std::vector<uint8_t> &pdu, std::string *answer);

}  // namespace rrtool::transfer

#endif
