// Replays a fuzz target's corpus once: every file under the given paths
// (directories are read recursively) is passed to the target as an exactly
// sized heap copy.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int g_files = 0;

bool run_file(const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(f);
    auto *copy = static_cast<uint8_t *>(std::malloc(bytes.empty() ? 1 : bytes.size()));
    if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
    LLVMFuzzerTestOneInput(copy, bytes.size());
    std::free(copy);
    ++g_files;
    return true;
}

bool walk(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) return run_file(path);
    DIR *d = opendir(path.c_str());
    if (!d) return false;
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    }
    closedir(d);
    bool ok = true;
    for (const auto &name : names) ok = walk(path + "/" + name) && ok;
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    bool ok = true;
    for (int i = 1; i < argc; ++i) ok = walk(argv[i]) && ok;
    std::printf("replayed %d inputs\n", g_files);
    if (!ok || g_files == 0) {
        std::fprintf(stderr, "corpus missing or unreadable\n");
        return 1;
    }
    return 0;
}
