// Reading inputs and publishing outputs for the tool's commands.
#include "rorodire_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "hbxappglib.h"
#include "qx_stack_http.h"
#include "rr_hostfiles.h"

namespace rrtool {

bool read_input(const std::string &path, size_t limit, std::vector<uint8_t> *out, std::string *why,
                bool *notOpened) {
    const rrhost::ReadResult r = rrhost::read_regular_file(path, limit, out);
    if (notOpened) *notOpened = r.fail == rrhost::ReadFail::NotOpened;
    if (!r.ok()) *why = r.why;
    return r.ok();
}

bool write_file(const std::string &path, const void *data, size_t size, std::string *why) {
    // Written as a new file would be (0666 less the umask), through a
    // temporary name and fsync.
    const mode_t mask = umask(0);
    umask(mask);
    rrhost::WriteOptions opt;
    opt.mode = 0666 & ~mask;
    opt.syncDir = false;  // outputs go into a staging folder that is moved into place as a whole
    return rrhost::write_file_atomic(path, data, size, opt, why);
}

std::string base_name(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {

void remove_staged(const std::string &staging, const std::vector<OutFile> &files) {
    for (const auto &f : files) unlink((staging + "/" + f.name).c_str());
    rmdir(staging.c_str());
}

std::string parent_of(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    const size_t slash = dir.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
}

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

}  // namespace

bool publish_files(const std::string &dir, const std::vector<OutFile> &files, std::string *why) {
    const std::string parent = parent_of(dir);
    std::string staging = parent + "/.rorodire-out-XXXXXX";
    if (!mkdtemp(staging.data())) {
        *why = "cannot write into '" + parent + "': " + std::strerror(errno);
        return false;
    }
    for (const auto &f : files) {
        if (!write_file(staging + "/" + f.name, f.data, f.size, why)) {
            remove_staged(staging, files);
            return false;
        }
    }
    bool created = false;
    if (!ensure_dir(dir, &created, why)) {
        remove_staged(staging, files);
        return false;
    }
    for (size_t i = 0; i < files.size(); ++i) {
        if (rename((staging + "/" + files[i].name).c_str(), (dir + "/" + files[i].name).c_str()) != 0) {
            *why = "cannot move '" + files[i].name + "' into '" + dir + "': " + std::strerror(errno);
            for (size_t k = 0; k < i; ++k) unlink((dir + "/" + files[k].name).c_str());
            if (created) rmdir(dir.c_str());
            remove_staged(staging, files);
            return false;
        }
    }
    rmdir(staging.c_str());
    return true;
}

double send_seconds(size_t bytes) {
    const size_t steps = (bytes + QX_HTTP_CHUNK - 1) / QX_HTTP_CHUNK;
    return static_cast<double>(steps) * HBX_STEP_PERIOD_MS / 1000.0;
}

}  // namespace rrtool
