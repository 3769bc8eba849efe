// Shared by the decoder fuzz targets: the log switched off, the input as an
// exactly sized heap copy (so any read past it is caught), and a check that
// every block allocated through fnQX_Malloc is released by the time the input
// is done with.
#ifndef FUZZ_SUPPORT_H
#define FUZZ_SUPPORT_H

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "qx_alloc_test.h"
#include "qx_log.h"

class FuzzInput {
public:
    FuzzInput(const uint8_t *data, size_t size)
        : data_(static_cast<uint8_t *>(std::malloc(size ? size : 1))),
          size_(static_cast<int>(size)),
          liveBefore_(qx::alloc_stats().liveBlocks) {
        static const bool quiet = (qx::set_log_enabled(false), true);
        (void)quiet;
        if (data_ && size) std::memcpy(data_, data, size);
    }
    ~FuzzInput() {
        if (qx::alloc_stats().liveBlocks != liveBefore_) std::abort();  // a block was not released
        std::free(data_);
    }
    FuzzInput(const FuzzInput &) = delete;
    FuzzInput &operator=(const FuzzInput &) = delete;

    uint8_t *data() const { return data_; }
    int size() const { return size_; }

private:
    uint8_t *data_;
    int size_;
    long liveBefore_;
};

// The result number of a confirmation's Response-Status, written out from the
// status table: 0x80..0x88 give 0..8, later versions' errors their MMS 1.0
// kin, any other status 9.
inline int fuzz_status_result(uint8_t status) {
    if (status >= 0x80 && status <= 0x88) return status - 0x80;
    switch (status) {
        case 0xE1: return 2;
        case 0xE2: return 3;
        case 0xC1: case 0xE3: return 4;
        case 0xC2: case 0xE4: return 5;
        case 0xC3: return 6;
        case 0xE5: return 7;
        default: return 9;
    }
}

// A folder of the process's own under /tmp, made on first use and removed
// (once emptied) when the process ends; the first call's prefix names it.
inline const std::string &fuzz_scratch_dir(const char *prefix) {
    static std::string dir;
    if (dir.empty()) {
        std::string t = std::string("/tmp/") + prefix + "XXXXXX";
        if (!mkdtemp(t.data())) std::abort();
        dir = t;
        std::atexit([] { rmdir(dir.c_str()); });
    }
    return dir;
}

#endif
