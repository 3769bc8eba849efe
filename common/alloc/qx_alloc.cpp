// The allocation seam of the library: fnQX_Malloc, fnQX_Realloc, fnQX_Free
// and qx::alloc_uninit over GLib's non-aborting allocator.
//
// Built twice (see CMakeLists.txt). With RR_ALLOC_ACCOUNTING, for tests and
// fuzz targets, every block is counted with its usable size and a test can
// make the n-th allocation fail (qx_alloc_test.h). Without it, for the shipped
// library, the seam is the same minus that bookkeeping. The counters are for
// tests only: library code learns of a refused allocation from the null it
// gets, and reports it from there.
#include <glib.h>

#include <cstdlib>

#include "qx_alloc_test.h"
#include "qx_internal.h"

#ifndef RR_ALLOC_ACCOUNTING
#define RR_ALLOC_ACCOUNTING 0
#endif

#if RR_ALLOC_ACCOUNTING
#include <malloc.h>
#endif

namespace {

// Largest single block handed out. No message or buffer of the library comes
// near it; sizes derived from hostile lengths (up to INT32_MAX) are refused
// instead of committing gigabytes.
constexpr int kMaxBlock = 1 << 30;

#if RR_ALLOC_ACCOUNTING
long g_failed_allocs = 0;
// Accounting: plain counters, the library is single-threaded by contract.
long g_live_blocks = 0;
long g_live_bytes = 0;
long g_peak_bytes = 0;  // highest g_live_bytes since the last alloc_peak_reset
long g_total_allocs = 0;
long g_fail_countdown = 0;   // > 0: the n-th allocation from now fails
bool g_fail_sticky = false;  // with the countdown reached: keep failing
bool g_fail_fired = false;

// Decides whether the allocation about to be made is refused by a test.
bool injected_failure() {
    if (g_fail_countdown <= 0) return false;
    if (g_fail_countdown == 1) {
        if (!g_fail_sticky) g_fail_countdown = 0;
        g_fail_fired = true;
        return true;
    }
    --g_fail_countdown;
    return false;
}

void account_new(void *p) {
    ++g_live_blocks;
    g_live_bytes += static_cast<long>(malloc_usable_size(p));
    if (g_live_bytes > g_peak_bytes) g_peak_bytes = g_live_bytes;
    ++g_total_allocs;
}

void account_gone(void *p) {
    --g_live_blocks;
    g_live_bytes -= static_cast<long>(malloc_usable_size(p));
}

long usable(void *p) { return p ? static_cast<long>(malloc_usable_size(p)) : 0; }
void account_refused() { ++g_failed_allocs; }
#else
constexpr bool injected_failure() { return false; }
void account_new(void *) {}
void account_gone(void *) {}
void account_refused() {}
#endif

// The checks every allocation passes: a size the library never needs, or a
// failure a test asked for, is refused (and counted) before asking GLib.
bool refused(int size) {
    if (size > kMaxBlock || injected_failure()) {
        account_refused();
        return true;
    }
    return false;
}

// A block from GLib, counted; a null one counts as refused.
void *counted(void *p) {
    if (p)
        account_new(p);
    else
        account_refused();
    return p;
}

}  // namespace

namespace qx {

#if RR_ALLOC_ACCOUNTING
long alloc_peak_bytes() { return g_peak_bytes; }
void alloc_peak_reset() { g_peak_bytes = g_live_bytes; }

AllocStats alloc_stats() { return {g_live_blocks, g_live_bytes, g_total_allocs, g_failed_allocs}; }

void alloc_fail_nth(long n) {
    g_fail_countdown = n > 0 ? n : 0;
    g_fail_sticky = false;
    g_fail_fired = false;
}

void alloc_fail_from(long n) {
    g_fail_countdown = n > 0 ? n : 0;
    g_fail_sticky = n > 0;
    g_fail_fired = false;
}

void alloc_fail_off() {
    g_fail_countdown = 0;
    g_fail_sticky = false;
}

bool alloc_fail_fired() { return g_fail_fired; }
#else
AllocStats alloc_stats() { return {0, 0, 0, 0}; }
#endif

void alloc_stats_reset_totals() {
#if RR_ALLOC_ACCOUNTING
    g_total_allocs = 0;
    g_failed_allocs = 0;
#endif
}

// For buffers that are overwritten in full right away (copies of large PDU
// bodies): same accounting, failure injection and release as fnQX_Malloc,
// without the zero fill.
void *alloc_uninit(int size) {
    if (size <= 0 || refused(size)) return nullptr;
    return counted(g_try_malloc(static_cast<gsize>(size)));
}

}  // namespace qx

extern "C" {

// GLib's non-aborting allocator: a hostile size gives null, never an abort.
void *fnQX_Malloc(int size) {
    if (size <= 0 || refused(size)) return nullptr;
    return counted(g_try_malloc0(static_cast<gsize>(size)));
}

void *fnQX_Realloc(void *mem, int size) {
    if (size < 0) return nullptr;
    if (size == 0) {
        // g_realloc semantics: a size of 0 releases the block.
        if (mem) account_gone(mem);
        g_free(mem);
        return nullptr;
    }
    if (refused(size)) return nullptr;  // the old block stays valid
#if RR_ALLOC_ACCOUNTING
    const long old_bytes = usable(mem);
#endif
    void *p = g_try_realloc(mem, static_cast<gsize>(size));
    if (!p) {
        account_refused();
        return nullptr;  // the old block stays valid and counted
    }
    if (!mem) {
        account_new(p);
    } else {
#if RR_ALLOC_ACCOUNTING
        g_live_bytes += usable(p) - old_bytes;
        if (g_live_bytes > g_peak_bytes) g_peak_bytes = g_live_bytes;
        ++g_total_allocs;
#endif
    }
    return p;
}

void fnQX_Free(void **ppMem) {
    if (!ppMem || !*ppMem) return;
    account_gone(*ppMem);
    g_free(*ppMem);
    *ppMem = nullptr;
}

}  // extern "C"
