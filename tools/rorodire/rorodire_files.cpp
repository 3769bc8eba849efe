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

namespace rrtool {

bool read_input(const std::string &path, size_t limit, std::vector<uint8_t> *out, std::string *why,
                bool *notOpened) {
    // Non-blocking, so that opening a pipe without a writer does not hang.
    const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (notOpened) *notOpened = fd < 0;
    if (fd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (!ok) {
        *why = std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        *why = "is a directory";
        ok = false;
    } else if (!S_ISREG(st.st_mode)) {
        *why = "is not a regular file";
        ok = false;
    } else if (static_cast<uint64_t>(st.st_size) > limit) {
        *why = "is larger than " + std::to_string(limit) + " bytes";
        ok = false;
    }
    out->clear();
    if (ok) {
        // The file may grow while it is read: at most limit + 1 bytes tell.
        out->resize(static_cast<size_t>(st.st_size) + 1);
        size_t got = 0;
        for (;;) {
            if (got == out->size()) out->resize(got + 65536 > limit + 1 ? limit + 1 : got + 65536);
            if (got == out->size()) break;
            const ssize_t n = read(fd, out->data() + got, out->size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                *why = std::strerror(errno);
                ok = false;
                break;
            }
            if (n == 0) break;
            got += static_cast<size_t>(n);
        }
        out->resize(got);
        if (ok && got > limit) {
            *why = "is larger than " + std::to_string(limit) + " bytes";
            ok = false;
        }
    }
    close(fd);
    if (!ok) out->clear();
    out->shrink_to_fit();  // an exactly sized buffer for the decoders
    return ok;
}

bool write_file(const std::string &path, const void *data, size_t size, std::string *why) {
    FILE *f = std::fopen(path.c_str(), "wb");
    bool ok = f != nullptr;
    if (ok && size) ok = std::fwrite(data, 1, size, f) == size;
    int err = errno;
    if (f && std::fclose(f) != 0 && ok) ok = false, err = errno;
    if (!ok) *why = "cannot write '" + path + "': " + std::strerror(err ? err : EIO);
    return ok;
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
