// What `rorodire send` and `rorodire fetch` share: their options, the run of
// a transaction on a GLib main loop with progress on stderr, the outcome in
// words or JSON.
#ifndef RORODIRE_TRANSFER_H
#define RORODIRE_TRANSFER_H

#include <glib.h>

#include <cstddef>
#include <string>

#include "hbxappglib.h"

namespace rrtool::transfer {

struct Outcome {
    int code;
    const char *word;  // for --json
    const char *text;  // for people
    int exitStatus;
};

struct Common {
    std::string relay, proxyHost, proxyPort, userAgent, profile, input, output;
    bool json = false, verbose = false;
    int mode = 3;
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

// Parses the options both commands share (fetch: also --notifyresp, --ack,
// -o); 0 to go on, -1 after --help, else the exit status.
int parse_options(int argc, char **argv, bool fetch, const char *usage, Common *c);
MmsSettings settings_of(const Common &c);
// The transaction's callback: progress drawn, the final report kept.
void on_result(int code, int value);
// Runs the main loop until the final report.
void wait_for_outcome();
// The outcome on stdout when it went well, as one line on stderr (naming the
// end that could not be reached, when one could not) when it did not; the
// exit status.
int finish(const char *command, const Outcome *table, size_t n, const std::string &extraJson, bool json,
           const Common &c);

}  // namespace rrtool::transfer

#endif
