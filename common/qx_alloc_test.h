// Allocation accounting and failure injection for tests. Not exported from
// the shared library; tests reach it through the internal static libraries.
#ifndef QX_ALLOC_TEST_H
#define QX_ALLOC_TEST_H

namespace qx {

struct AllocStats {
    long liveBlocks;    // blocks handed out by fnQX_Malloc/Realloc/MEMSTRCOPY not yet freed
    long liveBytes;     // their usable sizes
    long totalAllocs;   // successful allocations since the last reset
    long failedAllocs;  // allocations refused (injected or real)
};

AllocStats alloc_stats();
// Highest liveBytes reached since the last alloc_peak_reset (which starts
// from the bytes live at that moment).
long alloc_peak_bytes();
void alloc_peak_reset();
void alloc_stats_reset_totals();

// Makes the n-th allocation from now fail (n = 1: the next one). 0 disables.
// Only that one allocation fails; later ones succeed again.
void alloc_fail_nth(long n);
// Makes every allocation from the n-th on fail (n = 1: all). 0 disables.
void alloc_fail_from(long n);
void alloc_fail_off();
// True when an injected failure has been delivered since the last arming.
bool alloc_fail_fired();

}  // namespace qx

#endif
