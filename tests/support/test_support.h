// Shared helpers for the test suite.
#ifndef RR_TEST_SUPPORT_H
#define RR_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "qx_alloc_test.h"

namespace rrtest {

using Bytes = std::vector<uint8_t>;

// Reads a whole file; empty vector when it cannot be read.
Bytes read_file(const std::string &path);
// Path of a file of the shared interop corpus.
std::string interop_path(const std::string &name);
// Whether the corpus is there; with RR_REQUIRE_INTEROP=1 (the test command)
// a missing corpus also fails the calling test.
bool interop_available();

// Bytes from a list of ints / strings, e.g. bytes({0x8C, 0x80}) + text("T").
Bytes bytes(std::initializer_list<int> v);
Bytes text0(const std::string &s);  // the text and its zero byte
Bytes operator+(Bytes a, const Bytes &b);
std::string hex(const uint8_t *p, size_t n);
inline std::string hex(const Bytes &b) { return hex(b.data(), b.size()); }

// An exactly sized heap copy, so AddressSanitizer catches any read past it.
struct HeapCopy {
    explicit HeapCopy(const Bytes &b);
    HeapCopy(const uint8_t *p, size_t n);
    ~HeapCopy();
    HeapCopy(const HeapCopy &) = delete;
    HeapCopy &operator=(const HeapCopy &) = delete;
    const uint8_t *data() const { return p_; }
    int size() const { return static_cast<int>(n_); }

private:
    uint8_t *p_;
    size_t n_;
};

// Captures the library's diagnostic log while alive.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    const std::string &text() const { return text_; }
    bool contains(const std::string &s) const { return text_.find(s) != std::string::npos; }
    void clear() { text_.clear(); }

private:
    static void sink(const char *text, void *user);
    std::string text_;
};

// Checks that no block allocated through fnQX_Malloc leaks across a scope.
class LeakCheck {
public:
    LeakCheck();
    ~LeakCheck();  // adds a test failure when blocks were left behind

private:
    long blocks_;
};

// Runs op once per allocation it makes, failing the 1st, then the 2nd, ...
// allocation, until a run completes without reaching the injected failure.
// op gets the run number and must release everything it got; after each run
// the number of live blocks must be back where it was. Returns the number of
// allocations of a clean run.
long for_each_alloc_failure(const std::function<void(long)> &op, long max_runs = 100000);

}  // namespace rrtest

#endif
