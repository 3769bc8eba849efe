// What the tool's `read-report` and rorodired share to send a read report:
// the m-read-rec-ind for a retrieved message, and one POST of a PDU through
// the library's HTTP stack stepped on the GLib main loop, for an exchange the
// relay answers with an HTTP status and no PDU. Host code: the library never
// links it.
#ifndef RR_POST_H
#define RR_POST_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "rorodire.h"

namespace rrhost {

// The m-read-rec-ind answering the m-retrieve-conf `message`: its Message-ID,
// its sender in To, `readStatus` (0x80 read, 0x81 deleted), `from` (empty:
// the relay inserts it) and `date` (seconds since 1970). Empty with *why set
// when the message does not decode or names no Message-ID or sender.
// *asked: the sender asked for a read report (Read-Reply Yes).
std::vector<uint8_t> read_report_of(const std::vector<uint8_t> &message, int readStatus, const std::string &from,
                                    int64_t date, std::string *why, bool *asked);

// How a POST ended.
struct PostEnd {
    bool ok = false;      // the answer the transactions take as success (200)
    int httpStatus = 0;   // 0 when none came
    std::string answer;   // the answer's first bytes
    bool deadline = false;  // the overall deadline ended it
};

struct PduPost;  // one POST in progress (opaque)

using PostProgress = std::function<void(uint64_t sent, uint64_t total)>;
using PostDone = std::function<void(PostEnd end)>;

// Starts the POST of `pdu` to settings.ServerAddr (through the proxy the
// settings name), stepped by a GLib timer at the transactions' step period.
// `done` is called exactly once from the main loop, after the post has
// released the stack; null when the stack could not start (nothing is
// called then). The library runs one exchange at a time: the caller starts
// none while a transaction or another post runs. With `deadlineMs` above 0
// the post ends as failed (PostEnd::deadline) when it has not ended by then,
// however slowly its answer keeps coming.
PduPost *post_pdu_start(const MmsSettings &settings, std::vector<uint8_t> pdu, PostProgress progress, PostDone done,
                        int deadlineMs = 0);
// Ends a post that has not reported yet, without calling `done`.
void post_pdu_cancel(PduPost *post);

}  // namespace rrhost

#endif
