// Reading a caller's files in a helper process that has the caller's
// identity. What goes back on the helper's stdout, per path in order:
//   1 byte  how it went (0: read; else a ReadFail value, or kRelative)
//   4 bytes length of the reason text (little-endian), then the text
//   8 bytes length of the file's bytes (little-endian), then the bytes
#include "readas.h"

#include <gio/gio.h>
#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace rrd {
namespace {

constexpr uint8_t kRelative = 0x40;          // a path that does not start with '/'
constexpr size_t kMaxPathsBytes = 1u << 20;  // what the helper takes on stdin
constexpr size_t kMaxGroups = 256;

void put_le(std::string *out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

bool get_le(const uint8_t *&p, const uint8_t *end, int bytes, uint64_t *v) {
    if (end - p < bytes) return false;
    *v = 0;
    for (int i = 0; i < bytes; ++i) *v |= static_cast<uint64_t>(p[i]) << (8 * i);
    p += bytes;
    return true;
}

bool parse_number(const char *s, unsigned long long max, unsigned long long *out) {
    if (!s || !*s) return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(s, &end, 10);
    if (errno || *end || v > max || s[0] == '-') return false;
    *out = v;
    return true;
}

// Everything the running helper needs until it ends.
struct Run {
    GSubprocess *proc = nullptr;
    GCancellable *cancel = nullptr;
    guint timer = 0;
    bool timedOut = false;
    size_t count = 0;
    ReadDone done;
};

void child_setup(gpointer) { setsid(); }

void finish(Run *run, bool ok, std::vector<ReadFileResult> results, const std::string &why) {
    if (run->timer) g_source_remove(run->timer);
    ReadDone done = std::move(run->done);
    g_object_unref(run->proc);
    g_object_unref(run->cancel);
    delete run;
    done(ok, std::move(results), why);
}

void on_communicated(GObject *src, GAsyncResult *res, gpointer user) {
    auto *run = static_cast<Run *>(user);
    GBytes *out = nullptr;
    GError *err = nullptr;
    const bool got = g_subprocess_communicate_finish(G_SUBPROCESS(src), res, &out, nullptr, &err);
    if (!got) {
        const std::string why = run->timedOut ? "reading the files took longer than " +
                                                    std::to_string(kReadAsTimeoutSeconds) + " s"
                                              : std::string("the file reader failed: ") + err->message;
        g_clear_error(&err);
        finish(run, false, {}, why);
        return;
    }
    std::unique_ptr<GBytes, decltype(&g_bytes_unref)> guard(out, g_bytes_unref);
    if (!g_subprocess_get_if_exited(run->proc) || g_subprocess_get_exit_status(run->proc) != 0) {
        finish(run, false, {}, "the file reader could not take the caller's identity");
        return;
    }
    gsize len = 0;
    const auto *p = static_cast<const uint8_t *>(out ? g_bytes_get_data(out, &len) : nullptr);
    const uint8_t *end = p + len;
    std::vector<ReadFileResult> results;
    for (size_t i = 0; i < run->count; ++i) {
        if (!p || p >= end) break;
        ReadFileResult r;
        const uint8_t code = *p++;
        uint64_t n = 0;
        if (!get_le(p, end, 4, &n) || n > static_cast<uint64_t>(end - p)) break;
        r.why.assign(reinterpret_cast<const char *>(p), n);
        p += n;
        if (!get_le(p, end, 8, &n) || n > static_cast<uint64_t>(end - p)) break;
        r.data.assign(p, p + n);
        p += n;
        r.fail = code == kRelative ? rrhost::ReadFail::NotOpened : static_cast<rrhost::ReadFail>(code);
        if (code > static_cast<uint8_t>(rrhost::ReadFail::Io) && code != kRelative) break;
        results.push_back(std::move(r));
    }
    if (results.size() != run->count) {
        finish(run, false, {}, "the file reader's answer is incomplete");
        return;
    }
    finish(run, true, std::move(results), "");
}

// One path of a request: an absolute path read within what is left of
// `limit` (`*used` counts the bytes taken so far); *code is what the helper
// sends for it.
ReadFileResult read_one(const std::string &path, size_t limit, size_t *used, uint8_t *code) {
    ReadFileResult out;
    if (path.empty() || path[0] != '/') {
        *code = kRelative;
        out.fail = rrhost::ReadFail::NotOpened;
        out.why = "is not an absolute path";
        return out;
    }
    const rrhost::ReadResult r = rrhost::read_regular_file(path, limit - *used, &out.data);
    *code = static_cast<uint8_t>(r.fail);
    out.fail = r.fail;
    out.why = r.why;
    if (r.fail == rrhost::ReadFail::TooLarge)
        out.why = *used ? "makes the message larger than " + std::to_string(limit) + " bytes"
                        : "is larger than " + std::to_string(limit) + " bytes";
    if (!r.ok()) out.data.clear();
    *used += out.data.size();
    return out;
}

}  // namespace

std::vector<ReadFileResult> read_files_own(const std::vector<std::string> &paths, size_t limit) {
    std::vector<ReadFileResult> results;
    size_t used = 0;
    uint8_t code = 0;
    for (const std::string &p : paths) results.push_back(read_one(p, limit, &used, &code));
    return results;
}

void read_files_as(const CallerId &caller, const std::vector<std::string> &paths, size_t limit, ReadDone done) {
    std::string groups;
    for (size_t i = 0; i < caller.groups.size() && i < kMaxGroups; ++i)
        groups += (i ? "," : "") + std::to_string(caller.groups[i]);
    if (groups.empty()) groups = "-";
    const std::string uid = std::to_string(caller.uid), gid = std::to_string(caller.gid), lim = std::to_string(limit);
    const char *argv[] = {"/proc/self/exe", kReadAsFlag, uid.c_str(), gid.c_str(), groups.c_str(), lim.c_str(), nullptr};
    std::string in;
    for (const std::string &p : paths) {
        in += p;
        in.push_back('\0');
    }
    GSubprocessLauncher *l =
        g_subprocess_launcher_new(static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDIN_PIPE | G_SUBPROCESS_FLAGS_STDOUT_PIPE));
    g_subprocess_launcher_set_child_setup(l, child_setup, nullptr, nullptr);
    GError *err = nullptr;
    GSubprocess *proc = g_subprocess_launcher_spawnv(l, argv, &err);
    g_object_unref(l);
    if (!proc) {
        const std::string why = std::string("the file reader cannot start: ") + err->message;
        g_error_free(err);
        done(false, {}, why);
        return;
    }
    auto *run = new Run;
    run->proc = proc;
    run->cancel = g_cancellable_new();
    run->count = paths.size();
    run->done = std::move(done);
    run->timer = g_timeout_add_seconds(kReadAsTimeoutSeconds, [](gpointer user) -> gboolean {
        auto *r = static_cast<Run *>(user);
        r->timer = 0;
        r->timedOut = true;
        g_subprocess_force_exit(r->proc);
        g_cancellable_cancel(r->cancel);
        return G_SOURCE_REMOVE;
    }, run);
    GBytes *stdinBytes = g_bytes_new(in.data(), in.size());
    g_subprocess_communicate_async(proc, stdinBytes, run->cancel, on_communicated, run);
    g_bytes_unref(stdinBytes);
}

int readas_helper_main(int argc, char **argv) {
    // argv: PROGRAM --read-files-as UID GID GROUPS LIMIT
    unsigned long long uid = 0, gid = 0, limit = 0;
    if (argc != 6 || std::strcmp(argv[1], kReadAsFlag) != 0 || !parse_number(argv[2], 0xFFFFFFFEull, &uid) ||
        !parse_number(argv[3], 0xFFFFFFFEull, &gid) || !parse_number(argv[5], 1ull << 30, &limit)) {
        std::fprintf(stderr, "rorodired: the file reader takes UID GID GROUPS LIMIT\n");
        return 2;
    }
    std::vector<gid_t> groups;
    if (std::strcmp(argv[4], "-") != 0) {
        gchar **parts = g_strsplit(argv[4], ",", static_cast<gint>(kMaxGroups) + 1);
        for (gchar **p = parts; *p; ++p) {
            unsigned long long g = 0;
            if (!parse_number(*p, 0xFFFFFFFEull, &g)) {
                g_strfreev(parts);
                return 2;
            }
            groups.push_back(static_cast<gid_t>(g));
        }
        g_strfreev(parts);
    }
    // Take the caller's identity before anything is opened. Without root
    // only the service's own user can be taken (the session bus).
    if (geteuid() == 0) {
        if (setgroups(groups.size(), groups.data()) != 0 || setgid(static_cast<gid_t>(gid)) != 0 ||
            setuid(static_cast<uid_t>(uid)) != 0) {
            std::fprintf(stderr, "rorodired: the file reader cannot take user %llu: %s\n", uid, std::strerror(errno));
            return 3;
        }
    }
    if (getuid() != static_cast<uid_t>(uid) || geteuid() != static_cast<uid_t>(uid)) {
        std::fprintf(stderr, "rorodired: the file reader runs as %u, not as the caller %llu\n",
                     static_cast<unsigned>(geteuid()), uid);
        return 3;
    }
    // The paths, NUL-terminated each.
    std::string in;
    char buf[65536];
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        in.append(buf, static_cast<size_t>(n));
        if (in.size() > kMaxPathsBytes) return 2;
    }
    std::string out;
    size_t used = 0;
    size_t start = 0;
    while (start < in.size()) {
        const size_t nul = in.find('\0', start);
        if (nul == std::string::npos) break;
        const std::string path = in.substr(start, nul - start);
        start = nul + 1;
        uint8_t code = 0;
        ReadFileResult r = read_one(path, limit, &used, &code);
        const std::string &why = r.why;
        const std::vector<uint8_t> &data = r.data;
        out.push_back(static_cast<char>(code));
        put_le(&out, why.size(), 4);
        out += why;
        put_le(&out, data.size(), 8);
        out.append(reinterpret_cast<const char *>(data.data()), data.size());
    }
    size_t off = 0;
    while (off < out.size()) {
        const ssize_t n = write(STDOUT_FILENO, out.data() + off, out.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 4;
        off += static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace rrd
