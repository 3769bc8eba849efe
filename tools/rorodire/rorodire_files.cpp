// Reading inputs and publishing outputs for the tool's commands.
#include "rorodire_files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "rr_hostfiles.h"

namespace rrtool {

bool read_input(const std::string &path, size_t limit, std::vector<uint8_t> *out, std::string *why,
                bool *notOpened) {
    const rrhost::ReadResult r = rrhost::read_regular_file(path, limit, out);
    if (notOpened) *notOpened = r.fail == rrhost::ReadFail::NotOpened;
    if (!r.ok()) *why = r.why;
    return r.ok();
}

rrhost::WriteOptions output_options() {
    // Written as a new file would be (0666 less the umask).
    const mode_t mask = umask(0);
    umask(mask);
    rrhost::WriteOptions opt;
    opt.mode = 0666 & ~mask;
    opt.replaceLink = false;
    return opt;
}

bool write_file(const std::string &path, const void *data, size_t size, std::string *why) {
    rrhost::WriteOptions opt = output_options();
    opt.syncDir = false;  // outputs go into a staging folder that is moved into place as a whole
    return rrhost::write_file_atomic(path, data, size, opt, why);
}

bool write_output(const std::string &path, const void *data, size_t size, std::string *why) {
    return rrhost::write_file_atomic(path, data, size, output_options(), why);
}

std::string base_name(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {

// Makes `dir` when it is missing; *created tells whether it was made here.
bool ensure_dir(const std::string &dir, bool *created, std::string *why) {
    *created = mkdir(dir.c_str(), 0755) == 0;
    if (!*created && errno != EEXIST) {
        *why = "cannot create '" + dir + "': " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *why = "'" + dir + "' is not a directory";
        return false;
    }
    return true;
}

// A folder of output files on its way into `dir`: made inside `dir` (hidden,
// so on the same file system however `dir` is mounted), and on failure
// everything this run made is removed again, nothing else.
struct Publication {
    std::string dir, staging;
    bool dirCreated = false;
    std::vector<std::string> staged;         // names written into staging
    std::vector<std::string> placed;         // names moved into dir, new there
    std::vector<std::pair<std::string, std::string>> kept;  // names moved into dir over a file, and where that file waits

    std::string in_dir(const std::string &n) const { return dir + "/" + n; }
    std::string in_staging(const std::string &n) const { return staging + "/" + n; }

    // Undoes the run: files placed are removed, files replaced are put
    // back, the staging folder goes, and `dir` when it was made here.
    void roll_back() {
        for (const auto &n : placed) unlink(in_dir(n).c_str());
        for (const auto &[n, old] : kept) rename(old.c_str(), in_dir(n).c_str());
        finish();
        if (dirCreated) rmdir(dir.c_str());
    }
    void finish() {
        for (const auto &n : staged) unlink(in_staging(n).c_str());
        for (const auto &k : kept) unlink(k.second.c_str());
        if (!staging.empty()) rmdir(staging.c_str());
    }
};

// Moves staged file `n` into dir without replacing anything: false with
// errno EEXIST when a file of that name appeared meanwhile.
bool move_new(const Publication &p, const std::string &n) {
    if (renameat2(AT_FDCWD, p.in_staging(n).c_str(), AT_FDCWD, p.in_dir(n).c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without that form of rename: a hard link fails on an
    // existing name the same way.
    if (link(p.in_staging(n).c_str(), p.in_dir(n).c_str()) != 0) return false;
    unlink(p.in_staging(n).c_str());
    return true;
}

}  // namespace

bool check_publishable(const std::string &dir, const std::vector<OutFile> &files, bool replace, std::string *why) {
    // A file of the user's is never lost: an existing name is refused before
    // anything is written (unless replace), a folder or other non-file of the
    // name always.
    for (const auto &f : files) {
        const std::string path = dir + "/" + f.name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) continue;
        if (!S_ISREG(st.st_mode)) {
            *why = "'" + path + "' exists and is not a regular file";
            return false;
        }
        if (!replace) {
            *why = "'" + path + "' exists (--force replaces it)";
            return false;
        }
    }
    return true;
}

bool same_folder(const std::string &a, const std::string &b) {
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    auto plain = [](std::string s) {
        while (s.size() > 1 && s.back() == '/') s.pop_back();
        while (s.rfind("./", 0) == 0 && s.size() > 2) s.erase(0, 2);
        return s;
    };
    return plain(a) == plain(b);
}

bool publish_files(const std::string &dir, const std::vector<OutFile> &files, bool replace, std::string *why) {
    Publication p;
    p.dir = dir;
    if (!check_publishable(dir, files, replace, why)) return false;
    if (!ensure_dir(dir, &p.dirCreated, why)) return false;
    p.staging = dir + "/.rorodire-out-XXXXXX";
    if (!mkdtemp(p.staging.data())) {
        *why = "cannot write into '" + dir + "': " + std::strerror(errno);
        p.staging.clear();
        p.roll_back();
        return false;
    }
    for (const auto &f : files) {
        p.staged.push_back(f.name);
        if (!write_file(p.in_staging(f.name), f.data, f.size, why)) {
            p.roll_back();
            return false;
        }
    }
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string &n = files[i].name;
        bool moved = move_new(p, n);
        if (!moved && errno == EEXIST && replace) {
            // Replaced: the old file waits in the staging folder until every
            // file is in (a hard link where the file system has them, so the
            // name never goes missing).
            const std::string old = p.staging + "/.old-" + std::to_string(i);
            struct stat st;
            const bool regular = lstat(p.in_dir(n).c_str(), &st) == 0 && S_ISREG(st.st_mode);
            if (regular && (link(p.in_dir(n).c_str(), old.c_str()) == 0 || rename(p.in_dir(n).c_str(), old.c_str()) == 0)) {
                p.kept.emplace_back(n, old);
                if (rename(p.in_staging(n).c_str(), p.in_dir(n).c_str()) == 0) continue;
            }
            if (!regular) errno = EEXIST;
        }
        if (!moved) {
            *why = errno == EEXIST ? "'" + p.in_dir(n) + "' appeared while writing; nothing written"
                                   : "cannot move '" + n + "' into '" + dir + "': " + std::strerror(errno);
            p.roll_back();
            return false;
        }
        p.placed.push_back(n);
    }
    p.staged.clear();
    p.finish();
    // The new names are on disk too.
    rrhost::sync_dir(dir);
    return true;
}

}  // namespace rrtool
