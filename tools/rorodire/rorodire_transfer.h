// What `rorodire send` and `rorodire fetch` share: their options, the run of
// a transaction on a GLib main loop with progress on stderr, the outcome in
// words or JSON.
#ifndef RORODIRE_TRANSFER_H
#define RORODIRE_TRANSFER_H

#include <glib.h>

#include <cstddef>
#include <string>
#include <vector>

#include "rr_stack.h"

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
    std::vector<uint8_t> conf;  // the send's confirmation as it came, when one came whole
    std::string storeWhy;       // fetch: why the message could not be stored
    int deadlineMs = 0;         // read-report: the post's overall deadline
    bool deadlineHit = false;   // read-report: the deadline ended the post
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
// Keeps the send's confirmation in g_run.conf while `on` (so a refusal can
// be named with its Response-Status and Response-Text).
void observe_confirmation(bool on);
// Why the latest transaction failed, in words: the HTTP status and its
// reason, the Response-Status or Retrieve-Status in words with the relay's
// text, the deadline, the connection; empty when there is nothing to add.
std::string failure_cause(const Common &c);
// Runs the main loop until the final report.
void wait_for_outcome();
// The outcome on stdout when it went well, as one line on stderr (naming the
// end that could not be reached, when one could not) when it did not; the
// exit status.
// `cause`, when given, replaces the cause the library's ending names.
int finish(const char *command, const Outcome *table, size_t n, const std::string &extraJson, bool json,
           const Common &c, const std::string *cause = nullptr);

// A PDU POSTed through the library's HTTP stack on the main loop, one step
// per step period of the transactions, for an exchange whose answer is an
// HTTP status and no PDU (a read report). The outcome goes into g_run: code
// HBX_MSG_SEND_OK for a 2xx answer, else HBX_MSG_SEND_FAIL with value the
// HTTP status (0 when none came); the answer's first bytes into *answer.
// The post ends as failed after `deadlineMs` (g_run.deadlineHit), however
// slowly its answer trickles. False when the stack could not start.
bool post_pdu(const Common &c, const std::vector<uint8_t> &pdu, std::string *answer, int deadlineMs);
// The overall deadline of a read report's post: the transactions' rule for
// its bytes and an answer.
int post_deadline_ms(size_t bytes);

}  // namespace rrtool::transfer

#endif
