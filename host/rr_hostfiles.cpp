// Host-side file helpers shared by the tool and the service.
#include "rr_hostfiles.h"

#include <fcntl.h>
#include <stdio.h>
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

namespace {

std::string dir_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

// Why an existing name is not to be written over; empty when it may be
// (or does not exist).
std::string refusal(const std::string &path, const WriteOptions &opt) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return {};
    if (S_ISLNK(st.st_mode)) return opt.replaceLink ? std::string() : "it is a symbolic link";
    if (!S_ISREG(st.st_mode)) return "it exists and is not a regular file";
    return opt.replace ? std::string() : "it exists";
}

// Puts `tmp` at `path` only when nothing is there: errno EEXIST when
// something is.
bool rename_new(const std::string &tmp, const std::string &path) {
    if (renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without that form of rename: a hard link fails on an
    // existing name the same way.
    if (link(tmp.c_str(), path.c_str()) != 0) return false;
    unlink(tmp.c_str());
    return true;
}

}  // namespace

bool AtomicFile::fail(int err, std::string *why) {
    if (why) *why = "cannot write '" + path_ + "': " + std::strerror(err ? err : EIO);
    abandon();
    return false;
}

void AtomicFile::abandon() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    if (!tmp_.empty()) unlink(tmp_.c_str());
    tmp_.clear();
}

bool AtomicFile::begin(const std::string &path, const WriteOptions &opt, std::string *why) {
    abandon();
    path_ = path;
    opt_ = opt;
    if (const std::string no = refusal(path, opt); !no.empty()) {
        if (why) *why = "cannot write '" + path + "': " + no;
        return false;
    }
    const size_t slash = path.rfind('/');
    std::string tmp = (slash == std::string::npos ? "" : path.substr(0, slash + 1)) + kTempPrefix + "XXXXXX";
    const int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return fail(errno, why);
    fd_ = fd;
    tmp_ = tmp;
    if (fchmod(fd_, opt.mode) != 0) return fail(errno, why);
    if ((opt.owner != static_cast<uid_t>(-1) || opt.group != static_cast<gid_t>(-1)) && fchown(fd_, opt.owner, opt.group) != 0)
        return fail(errno, why);
    return true;
}

// Moves the finished temporary file to the name: never over anything but
// what the options allow, whatever appeared there meanwhile.
bool AtomicFile::place(std::string *why) {
    if (!opt_.replace) {
        if (rename_new(tmp_, path_)) return true;
        if (errno == EEXIST && why) {
            *why = "cannot write '" + path_ + "': it exists";
            abandon();
            return false;
        }
        return fail(errno, why);
    }
    for (int attempt = 0; attempt < 4; ++attempt) {
        // Exchanged with what is there, which is then looked at where it
        // cannot be opened by name any more: a file goes, anything else is
        // put back.
        if (renameat2(AT_FDCWD, tmp_.c_str(), AT_FDCWD, path_.c_str(), RENAME_EXCHANGE) == 0) {
            struct stat st {};
            const bool got = lstat(tmp_.c_str(), &st) == 0;
            const bool fileOk = got && (S_ISREG(st.st_mode) || (S_ISLNK(st.st_mode) && opt_.replaceLink));
            if (fileOk) {
                unlink(tmp_.c_str());
                tmp_.clear();
                return true;
            }
            const int back = renameat2(AT_FDCWD, tmp_.c_str(), AT_FDCWD, path_.c_str(), RENAME_EXCHANGE);
            if (why) *why = "cannot write '" + path_ + "': " +
                            (S_ISLNK(st.st_mode) ? "it is a symbolic link" : "it exists and is not a regular file");
            if (back == 0) abandon();  // the temporary name holds the new file again
            else tmp_.clear();         // it holds what was there: never removed
            return false;
        }
        if (errno == ENOENT) {  // nothing there: only a new name
            if (rename_new(tmp_, path_)) {
                tmp_.clear();
                return true;
            }
            if (errno == EEXIST) continue;  // it appeared meanwhile
            return fail(errno, why);
        }
        if (errno != EINVAL && errno != ENOSYS) return fail(errno, why);
        // A file system without exchange: the check right before the rename.
        if (const std::string no = refusal(path_, opt_); !no.empty()) {
            if (why) *why = "cannot write '" + path_ + "': " + no;
            abandon();
            return false;
        }
        if (rename(tmp_.c_str(), path_.c_str()) != 0) return fail(errno, why);
        tmp_.clear();
        return true;
    }
    return fail(EEXIST, why);
}

bool AtomicFile::commit(const void *data, size_t size, std::string *why) {
    if (fd_ < 0) {
        if (why && why->empty()) *why = "cannot write '" + path_ + "': not begun";
        return false;
    }
    if (!write_all(fd_, static_cast<const uint8_t *>(data), size) || fsync(fd_) != 0) return fail(errno, why);
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) return fail(errno, why);
    if (!place(why)) return false;
    if (opt_.syncDir) {
        const int e = sync_dir(dir_of(path_));
        if (e != 0) return fail(e, why);
    }
    return true;
}

int sync_dir(const std::string &dir) {
    // A folder that cannot be opened for reading (write and search
    // permission only) cannot be synced; what is in it is.
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return 0;
    const bool synced = fsync(dfd) == 0;
    const int e = synced ? 0 : errno;
    close(dfd);
    return e;
}

bool write_file_atomic(const std::string &path, const void *data, size_t size, const WriteOptions &opt,
                       std::string *why) {
    AtomicFile f;
    return f.begin(path, opt, why) && f.commit(data, size, why);
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
