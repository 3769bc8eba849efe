#include "test_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "qx_log.h"

namespace rrtest {

Bytes read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return {};
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string interop_path(const std::string &name) { return std::string(RR_INTEROP_DIR) + "/" + name; }

bool interop_available() {
    const bool present = !read_file(interop_path("m-send_1.conf")).empty();
    // The test command requires the corpus: there a missing one fails the
    // tests that need it instead of skipping them.
    const char *required = std::getenv("RR_REQUIRE_INTEROP");
    if (!present && required && std::string(required) == "1")
        ADD_FAILURE() << "the interop corpus is required (RR_REQUIRE_INTEROP=1) but missing at " << RR_INTEROP_DIR;
    return present;
}

Bytes bytes(std::initializer_list<int> v) {
    Bytes b;
    for (int x : v) b.push_back(static_cast<uint8_t>(x));
    return b;
}

Bytes text0(const std::string &s) {
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}

Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string hex(const uint8_t *p, size_t n) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", p[i]);
        if (i) s += ' ';
        s += buf;
    }
    return s;
}

HeapCopy::HeapCopy(const Bytes &b) : HeapCopy(b.data(), b.size()) {}

HeapCopy::HeapCopy(const uint8_t *p, size_t n) : p_(static_cast<uint8_t *>(std::malloc(n ? n : 1))), n_(n) {
    if (n) std::memcpy(p_, p, n);
}

HeapCopy::~HeapCopy() { std::free(p_); }

LogCapture::LogCapture() { qx::set_log_sink(&LogCapture::sink, this); }
LogCapture::~LogCapture() { qx::set_log_sink(nullptr, nullptr); }
void LogCapture::sink(const char *text, void *user) { static_cast<LogCapture *>(user)->text_ += text; }

LeakCheck::LeakCheck() : blocks_(qx::alloc_stats().liveBlocks) {}
LeakCheck::~LeakCheck() {
    EXPECT_EQ(qx::alloc_stats().liveBlocks, blocks_) << "blocks allocated through fnQX_Malloc were not released";
}

long for_each_alloc_failure(const std::function<void(long)> &op, long max_runs) {
    for (long n = 1; n <= max_runs; ++n) {
        const long before = qx::alloc_stats().liveBlocks;
        qx::alloc_fail_nth(n);
        op(n);
        const bool fired = qx::alloc_fail_fired();
        qx::alloc_fail_off();
        EXPECT_EQ(qx::alloc_stats().liveBlocks, before) << "leak when allocation " << n << " failed";
        if (!fired) return n - 1;
    }
    ADD_FAILURE() << "operation still allocating after " << max_runs << " runs";
    return max_runs;
}

}  // namespace rrtest
