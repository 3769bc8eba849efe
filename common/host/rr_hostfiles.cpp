// Host-side file helpers shared by the tool and the service.
#include "rr_hostfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace rrhost {
namespace {

constexpr char kTempPrefix[] = ".tmp-";

ReadResult failure(ReadFail f, int err, std::string why) {
    ReadResult r;
    r.fail = f;
    r.err = err;
    r.why = std::move(why);
    return r;
}

std::string too_large(size_t limit) { return "is larger than " + std::to_string(limit) + " bytes"; }

// Closes a descriptor when it goes out of scope.
struct FdGuard {
    int fd;
    ~FdGuard() {
        if (fd >= 0) close(fd);
    }
};

bool write_all(int fd, const uint8_t *p, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t w = write(fd, p + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

ReadResult read_regular_fd(int fd, size_t limit, std::vector<uint8_t> *out) {
    out->clear();
    struct stat st;
    if (fstat(fd, &st) != 0) return failure(ReadFail::Io, errno, std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return failure(ReadFail::Directory, 0, "is a directory");
    if (!S_ISREG(st.st_mode)) return failure(ReadFail::NotRegular, 0, "is not a regular file");
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > limit) return failure(ReadFail::TooLarge, 0, too_large(limit));
    // The file may grow while it is read: at most limit + 1 bytes tell.
    const size_t cap = limit == SIZE_MAX ? limit : limit + 1;
    out->resize(static_cast<size_t>(st.st_size) < cap ? static_cast<size_t>(st.st_size) + 1 : cap);
    size_t got = 0;
    for (;;) {
        if (got == out->size()) {
            if (out->size() >= cap) break;
            out->resize(out->size() + 65536 > cap || out->size() + 65536 < out->size() ? cap : out->size() + 65536);
        }
        const ssize_t n = read(fd, out->data() + got, out->size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            out->clear();
            return failure(ReadFail::Io, err, std::strerror(err));
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    out->resize(got);
    if (got > limit) {
        out->clear();
        return failure(ReadFail::TooLarge, 0, too_large(limit));
    }
    out->shrink_to_fit();  // an exactly sized buffer for the decoders
    return {};
}

ReadResult read_regular_file(const std::string &path, size_t limit, std::vector<uint8_t> *out, bool noFollow) {
    out->clear();
    // Non-blocking, so that a FIFO without a writer does not hang; no
    // controlling terminal, whatever the path names.
    const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0));
    if (fd < 0) return failure(ReadFail::NotOpened, errno, std::strerror(errno));
    FdGuard guard{fd};
    return read_regular_fd(fd, limit, out);
}

bool is_temporary_name(std::string_view name) {
    return name.size() == sizeof kTempPrefix - 1 + 6 && name.substr(0, sizeof kTempPrefix - 1) == kTempPrefix;
}

bool write_file_atomic(const std::string &path, const void *data, size_t size, const WriteOptions &opt,
                       std::string *why) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    std::string tmp = (slash == std::string::npos ? "" : path.substr(0, slash + 1)) + kTempPrefix + "XXXXXX";
    auto fail = [&](int err) {
        if (why) *why = "cannot write '" + path + "': " + std::strerror(err ? err : EIO);
        return false;
    };
    // Only a regular file (or a symbolic link, which the rename replaces) is
    // ever replaced: never a device, FIFO or folder of that name.
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        if (why) *why = "cannot write '" + path + "': it exists and is not a regular file";
        return false;
    }
    const int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return fail(errno);
    bool ok = true;
    int err = 0;
    auto step = [&](bool good) {
        if (ok && !good) {
            ok = false;
            err = errno;
        }
    };
    step(fchmod(fd, opt.mode) == 0);
    if (opt.owner != static_cast<uid_t>(-1) || opt.group != static_cast<gid_t>(-1)) step(fchown(fd, opt.owner, opt.group) == 0);
    if (ok) step(write_all(fd, static_cast<const uint8_t *>(data), size));
    if (ok) step(fsync(fd) == 0);
    if (close(fd) != 0) step(false);
    if (ok) step(rename(tmp.c_str(), path.c_str()) == 0);
    if (!ok) {
        unlink(tmp.c_str());
        return fail(err);
    }
    if (opt.syncDir) {
        const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            const bool synced = fsync(dfd) == 0;
            const int e = errno;
            close(dfd);
            if (!synced) return fail(e);
        }
    }
    return true;
}

std::vector<std::string> split_list(std::string_view text, std::string_view separators, size_t maxEntries,
                                    bool *truncated) {
    std::vector<std::string> out;
    if (truncated) *truncated = false;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of(separators, start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view e = text.substr(start, end - start);
        while (!e.empty() && (e.front() == ' ' || e.front() == '\t')) e.remove_prefix(1);
        while (!e.empty() && (e.back() == ' ' || e.back() == '\t')) e.remove_suffix(1);
        if (!e.empty()) {
            if (out.size() >= maxEntries) {
                if (truncated) *truncated = true;
                break;
            }
            out.emplace_back(e);
        }
        start = end + 1;
    }
    return out;
}

}  // namespace rrhost
