// Host-side file helpers shared by the tool and the service: reading a
// bounded regular file, writing a file atomically (fsync, then rename) and
// splitting a list of addresses. Host code only (STL); the library never
// links this.
#ifndef RR_HOSTFILES_H
#define RR_HOSTFILES_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rrhost {

// Why a read failed; ReadFail::None when it did not.
enum class ReadFail : uint8_t {
    None,
    NotOpened,   // open() failed (missing, no permission, ...): errno in ReadResult::err
    Directory,   // a folder
    NotRegular,  // a device, FIFO, socket or pty
    TooLarge,    // larger than the limit (checked on fstat before any byte is read, and again while reading)
    Io,          // read() failed
};

struct ReadResult {
    ReadFail fail = ReadFail::None;
    int err = 0;      // errno of NotOpened / Io
    std::string why;  // one short phrase: "is not a regular file", "is larger than 307200 bytes", strerror
    bool ok() const { return fail == ReadFail::None; }
};

// Opens `path` with O_RDONLY|O_NOCTTY|O_NONBLOCK|O_CLOEXEC (and O_NOFOLLOW
// with noFollow: a symbolic link is refused, never followed; a pty never
// becomes the controlling terminal, a FIFO never blocks), takes only a
// regular file, refuses one larger than `limit` before reading, then reads
// it whole (a file growing while it is read is refused as TooLarge). On
// failure *out is empty.
ReadResult read_regular_file(const std::string &path, size_t limit, std::vector<uint8_t> *out, bool noFollow = false);
// The same on an open descriptor (not closed here).
ReadResult read_regular_fd(int fd, size_t limit, std::vector<uint8_t> *out);

// How a file is written.
struct WriteOptions {
    mode_t mode = 0600;
    uid_t owner = static_cast<uid_t>(-1);  // -1: leave as created
    gid_t group = static_cast<gid_t>(-1);
    bool syncDir = true;      // fsync the folder after the rename, so the new name is on disk too
    bool replace = true;      // an existing regular file of the name is replaced; false refuses it
    bool replaceLink = true;  // a symbolic link of the name is replaced (the link, never its target); false refuses it
};

// Writes `data` to a temporary file beside `path` (".tmp-XXXXXX" in the same
// folder), sets mode and owner on it, fsyncs it, renames it over `path` and
// (with syncDir) fsyncs the folder. An existing `path` that is neither a
// regular file nor a symbolic link (a device, FIFO, folder) is never
// replaced, not even when it appears while the file is written: the new file
// is exchanged with what is there and put back when that is not a file.
// Nothing is left behind on failure and nothing else is removed; *why gets
// "cannot write 'PATH': REASON". A full disk or a read-only folder is a
// failure, never a partial file.
bool write_file_atomic(const std::string &path, const void *data, size_t size, const WriteOptions &opt,
                       std::string *why);
inline bool write_file_atomic(const std::string &path, const void *data, size_t size, std::string *why) {
    return write_file_atomic(path, data, size, WriteOptions{}, why);
}

// The same in two steps, for a writer that must know it can write before
// it has the data (before a download): begin() checks the name and makes the
// temporary file beside it, commit() writes, fsyncs and puts it in place. A
// file begun and never committed is removed again when the object goes.
class AtomicFile {
public:
    AtomicFile() = default;
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;
    ~AtomicFile() { abandon(); }
    bool begin(const std::string &path, const WriteOptions &opt, std::string *why);
    bool commit(const void *data, size_t size, std::string *why);
    // Removes the temporary file (nothing else).
    void abandon();
    bool begun() const { return fd_ >= 0; }

private:
    bool fail(int err, std::string *why);
    bool place(std::string *why);
    std::string path_, tmp_;
    WriteOptions opt_;
    int fd_ = -1;
};

// Fsyncs the folder `dir`, so names made or removed in it are on disk: 0, or
// the errno of a failed fsync (a folder that cannot be opened for reading
// is passed over).
int sync_dir(const std::string &dir);

// Whether `name` is the temporary name write_file_atomic uses (a stop in the
// middle of a write leaves one; a store removes them at start).
bool is_temporary_name(std::string_view name);

// Splits `text` at any of `separators`, trims blanks (space, tab) around
// each entry and drops empty entries: "+15550100002," -> {"+15550100002"};
// " a ;; b " with ";" -> {"a", "b"}. At most `maxEntries` entries are
// taken; *truncated (when given) says whether more were there.
std::vector<std::string> split_list(std::string_view text, std::string_view separators, size_t maxEntries = SIZE_MAX,
                                    bool *truncated = nullptr);

}  // namespace rrhost

#endif
