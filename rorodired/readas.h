// Reading a caller's attachment files with the caller's identity.
//
// The service (root on the system bus) never opens a caller's path itself:
// it starts its own binary again in a hidden mode (rorodired
// --read-files-as UID GID GROUPS LIMIT), which takes the caller's groups,
// group and user (setgroups, setgid, setuid) before it opens anything, so a
// file inside a folder the caller cannot enter, or behind a symlink the
// caller could not follow, is refused by the kernel as it would be for the
// caller. The helper runs in a session of its own (setsid, so no terminal
// can become its controlling terminal) and opens each path with
// O_NOCTTY|O_NONBLOCK, takes regular files only, refuses relative paths and
// checks the size limit before reading. The paths go in on stdin, the
// bytes come back on stdout; the service waits for it on the main loop and
// kills it after a few seconds (a file on a stalled network mount).
//
// On the session bus the caller is the service's own user: the service reads
// the files itself (read_files_own), with the same checks and limits and no
// helper process.
#ifndef RORODIRED_READAS_H
#define RORODIRED_READAS_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "auth.h"
#include "rr_hostfiles.h"

namespace rrd {

struct ReadFileResult {
    rrhost::ReadFail fail = rrhost::ReadFail::None;
    std::string why;  // for the error reply, when it failed
    std::vector<uint8_t> data;
};

// Reads `paths` as `caller`, each and all together at most `limit` bytes.
// `done` runs on the main loop with one result per path (in order), or with
// ok false and *why when the helper itself failed (could not start, took
// too long, answered garbage).
using ReadDone = std::function<void(bool ok, std::vector<ReadFileResult> results, const std::string &why)>;
void read_files_as(const CallerId &caller, const std::vector<std::string> &paths, size_t limit, ReadDone done);

// Reads `paths` in this process as the service's own user, with the checks
// and limits of the helper: one result per path, in order.
std::vector<ReadFileResult> read_files_own(const std::vector<std::string> &paths, size_t limit);

// The helper's side: argv after the program name starts with
// "--read-files-as". Returns the exit status.
int readas_helper_main(int argc, char **argv);
constexpr char kReadAsFlag[] = "--read-files-as";

// Seconds the helper may take.
constexpr unsigned kReadAsTimeoutSeconds = 10;

}  // namespace rrd

#endif
