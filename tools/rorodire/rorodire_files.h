// Files in and out for the tool's commands: inputs read whole within a size
// limit (never a directory, device or pipe), outputs written into a staging
// folder and moved into place only when complete.
#ifndef RORODIRE_FILES_H
#define RORODIRE_FILES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "rorodire.h"
#include "rr_hostfiles.h"

namespace rrtool {

// The largest file any command reads (a PDU, a medium, a text).
constexpr size_t kMaxInputFile = 16u << 20;

// Reads the regular file at `path` whole. False with *why set ("is a
// directory", "is not a regular file", "is larger than N bytes", or the
// system's reason) when it cannot be read or holds more than `limit` bytes;
// *notOpened (when given) tells that the file could not even be opened.
bool read_input(const std::string &path, size_t limit, std::vector<uint8_t> *out, std::string *why,
                bool *notOpened = nullptr);

// Writes a file whole into a staging folder (no folder fsync: the folder is
// moved into place as a whole); false with *why naming the file and the reason.
bool write_file(const std::string &path, const void *data, size_t size, std::string *why);

// How a command's own output file (compose -o, fetch -o) is written: through
// a temporary file beside it, fsync of the file and the folder, rename; an
// existing regular file of the name is replaced, a symbolic link, folder,
// device or FIFO never (nor followed); on failure nothing is removed but the
// temporary file. Mode 0666 less the umask.
rrhost::WriteOptions output_options();
bool write_output(const std::string &path, const void *data, size_t size, std::string *why);

// The last element of a path.
std::string base_name(const std::string &path);

// One file of an output folder, held until all of them can be written.
struct OutFile {
    std::string name;  // a plain file name (no '/')
    const void *data;
    size_t size;
};

// Writes every file into a hidden temporary folder inside `dir` (created
// when missing), then moves them into `dir`. A name that exists in `dir` is
// refused before anything is written (one line naming it), unless `replace`
// and it is a regular file; a folder or other non-file of the name always.
// On failure only what this call made is removed (the staging folder, the
// files it placed, `dir` when it was created here) and replaced files are
// put back. False with *why set.
bool publish_files(const std::string &dir, const std::vector<OutFile> &files, bool replace, std::string *why);
// publish_files' check before it writes anything: false with *why set when
// a name in `dir` would be refused.
bool check_publishable(const std::string &dir, const std::vector<OutFile> &files, bool replace, std::string *why);
// Whether two folder names name the same folder (the same one on disk when
// both exist, else the same text less "./" and trailing slashes).
bool same_folder(const std::string &a, const std::string &b);

}  // namespace rrtool

#endif
