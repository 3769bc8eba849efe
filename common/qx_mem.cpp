// Allocation, memory and string primitives shared by the whole library and
// exported for hosts.
#include <glib.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>

#include "osal.h"
#include "qx_alloc_test.h"
#include "qx_internal.h"

namespace {

// Accounting: plain counters, the library is single-threaded by contract.
long g_live_blocks = 0;
long g_live_bytes = 0;
long g_peak_bytes = 0;  // highest g_live_bytes since the last alloc_peak_reset
long g_total_allocs = 0;
long g_failed_allocs = 0;
long g_fail_countdown = 0;  // > 0: the n-th allocation from now fails
bool g_fail_sticky = false; // with the countdown reached: keep failing
bool g_fail_fired = false;

// Largest single block handed out. No message or buffer of the library comes
// near it; sizes derived from hostile lengths (up to INT32_MAX) are refused
// instead of committing gigabytes.
constexpr int kMaxBlock = 1 << 30;

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
    if (!p) {
        ++g_failed_allocs;
        return;
    }
    ++g_live_blocks;
    g_live_bytes += static_cast<long>(malloc_usable_size(p));
    if (g_live_bytes > g_peak_bytes) g_peak_bytes = g_live_bytes;
    ++g_total_allocs;
}

void account_gone(void *p) {
    if (!p) return;
    --g_live_blocks;
    g_live_bytes -= static_cast<long>(malloc_usable_size(p));
}

}  // namespace

namespace qx {

long alloc_peak_bytes() { return g_peak_bytes; }
void alloc_peak_reset() { g_peak_bytes = g_live_bytes; }

AllocStats alloc_stats() { return {g_live_blocks, g_live_bytes, g_total_allocs, g_failed_allocs}; }

void alloc_stats_reset_totals() {
    g_total_allocs = 0;
    g_failed_allocs = 0;
}

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

// For buffers that are overwritten in full right away (copies of large PDU
// bodies): same accounting, failure injection and release as fnQX_Malloc,
// without the zero fill.
void *alloc_uninit(int size) {
    if (size <= 0) return nullptr;
    if (size > kMaxBlock || injected_failure()) {
        ++g_failed_allocs;
        return nullptr;
    }
    void *p = g_try_malloc(static_cast<gsize>(size));
    account_new(p);
    return p;
}

}  // namespace qx

extern "C" {

// GLib's non-aborting allocator: a hostile size gives null, never an abort.
void *fnQX_Malloc(int size) {
    if (size <= 0) return nullptr;
    if (size > kMaxBlock || injected_failure()) {
        ++g_failed_allocs;
        return nullptr;
    }
    void *p = g_try_malloc0(static_cast<gsize>(size));
    account_new(p);
    return p;
}

void *fnQX_Realloc(void *mem, int size) {
    if (size < 0) return nullptr;
    if (size == 0) {
        // g_realloc semantics: a size of 0 releases the block.
        account_gone(mem);
        g_free(mem);
        return nullptr;
    }
    if (size > kMaxBlock || injected_failure()) {
        ++g_failed_allocs;
        return nullptr;  // the old block stays valid
    }
    const long old_bytes = mem ? static_cast<long>(malloc_usable_size(mem)) : 0;
    void *p = g_try_realloc(mem, static_cast<gsize>(size));
    if (!p) {
        ++g_failed_allocs;
        return nullptr;  // the old block stays valid and counted
    }
    if (mem) {
        g_live_bytes += static_cast<long>(malloc_usable_size(p)) - old_bytes;
        if (g_live_bytes > g_peak_bytes) g_peak_bytes = g_live_bytes;
        ++g_total_allocs;
    } else {
        account_new(p);
    }
    return p;
}

void fnQX_Free(void **ppMem) {
    if (!ppMem || !*ppMem) return;
    account_gone(*ppMem);
    g_free(*ppMem);
    *ppMem = nullptr;
}

char *fnQX_MEMSTRCOPY(const char *src) {
    const size_t len = src ? std::strlen(src) : 0;
    if (len >= static_cast<size_t>(INT32_MAX)) return nullptr;
    char *copy = static_cast<char *>(fnQX_Malloc(static_cast<int>(len + 1)));
    if (!copy) return nullptr;
    if (len) std::memcpy(copy, src, len);
    return copy;
}

int fnQX_MEMCPY(void *dst, const void *src, int count) {
    if (count > 0) std::memmove(dst, src, static_cast<size_t>(count));
    return 0;
}

void *fnQX_MEMSET(void *buf, int value, int count) {
    if (count > 0) std::memset(buf, value, static_cast<size_t>(count));
    return buf;
}

int fnQX_MEMCMP(const void *a, const void *b, int count) {
    const auto *pa = static_cast<const unsigned char *>(a);
    const auto *pb = static_cast<const unsigned char *>(b);
    for (int i = 0; i < count; ++i) {
        if (pa[i] != pb[i]) return pa[i] < pb[i] ? -1 : 1;
    }
    return 0;
}

void *fnQX_MEMCHR(const void *buf, int value, int count) {
    if (!buf) return nullptr;
    const auto *p = static_cast<const signed char *>(buf);
    for (int i = 0; i < count; ++i) {
        if (p[i] == value) return const_cast<signed char *>(p + i);
    }
    return nullptr;
}

void *fnQX_MEMSTR(const void *mem, int memLen, const char *pattern) { return g_memstr1(mem, memLen, pattern); }

int fnQX_STRLEN(const char *s) { return s ? static_cast<int>(std::strlen(s)) : 0; }

char *fnQX_STRCPY(char *dst, const char *src) {
    if (dst && src) std::memmove(dst, src, std::strlen(src) + 1);
    return dst;
}

char *fnQX_STRNCPY(char *dst, const char *src, int count) {
    if (dst && src && count > 0) std::strncpy(dst, src, static_cast<size_t>(count));
    return dst;
}

int fnQX_STRLCPY(char *dst, const char *src, int size) {
    if (!dst || !src) return 0;
    return static_cast<int>(g_strlcpy(dst, src, size > 0 ? static_cast<gsize>(size) : 0));
}

char *fnQX_STRCAT(char *dst, const char *src) {
    if (dst && src) std::strcat(dst, src);
    return dst;
}

int fnQX_STRLCAT(char *dst, const char *src, int size) {
    if (!dst || !src) return 0;
    return static_cast<int>(g_strlcat(dst, src, size > 0 ? static_cast<gsize>(size) : 0));
}

intptr_t fnQX_STRNCAT(char *dst, const char *src, int size) {
    if (!dst || !src) return reinterpret_cast<intptr_t>(dst);
    return static_cast<intptr_t>(g_strlcat(dst, src, size > 0 ? static_cast<gsize>(size) : 0));
}

int fnQX_STRCMP(const char *a, const char *b) {
    if (!a || !b) return -1;
    const size_t la = std::strlen(a);
    const size_t lb = std::strlen(b);
    // An empty string never equals a non-empty one, in either order.
    if ((la == 0 || lb == 0) && la != lb) return -1;
    const auto *pa = reinterpret_cast<const unsigned char *>(a);
    const auto *pb = reinterpret_cast<const unsigned char *>(b);
    for (;; ++pa, ++pb) {
        if (*pa != *pb) return *pa < *pb ? -1 : 1;
        if (*pa == 0) return 0;
    }
}

int fnQX_STRNCMP(const char *a, const char *b, int count) {
    if (!a || !b) return -1;
    return std::strncmp(a, b, count > 0 ? static_cast<size_t>(count) : 0);
}

int fnQX_STRBEGINS(const char *prefix, const char *text) {
    if (!prefix || !text) return 0;
    if (std::strlen(prefix) > std::strlen(text)) return 0;
    for (; *prefix && *text; ++prefix, ++text) {
        if (*prefix != *text) return 0;
    }
    return 1;
}

char *fnQX_STRLOWER(char *s) {
    if (!s) return nullptr;
    for (char *p = s; *p; ++p) {
        if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
    }
    return s;
}

int fnQX_ATOI(const char *s) { return s ? std::atoi(s) : 0; }

}  // extern "C"

int fnQX_STRICMP(const char *a, const char *b) {
    if (!a || !b) return -1;
    if (std::strlen(a) != std::strlen(b)) return -1;
    for (; *a; ++a, ++b) {
        const char x = *a;
        const char y = *b;
        if (x == y) continue;
        if (x >= 'a' && x <= 'z') {
            if (y != x - 'a' + 'A') return -1;
        } else if (x >= 'A' && x <= 'Z') {
            if (y != x - 'A' + 'a') return -1;
        } else {
            return -1;
        }
    }
    return 0;
}

char *fnQX_STRSTR(const char *text, const char *pattern) {
    if (!text || !pattern) return nullptr;
    return const_cast<char *>(std::strstr(text, pattern));
}

char *fnQX_STRISTR(const char *text, const char *pattern) {
    if (!text || !pattern) return nullptr;
    const size_t lt = std::strlen(text);
    const size_t lp = std::strlen(pattern);
    if (lt + 2 > static_cast<size_t>(INT32_MAX) || lp + 2 > static_cast<size_t>(INT32_MAX)) return nullptr;
    char *t = static_cast<char *>(fnQX_Malloc(static_cast<int>(lt + 2)));
    char *p = static_cast<char *>(fnQX_Malloc(static_cast<int>(lp + 2)));
    qx::ScopeGuard release([&] {
        qx::free_ptr(t);
        qx::free_ptr(p);
    });
    if (!t || !p) return nullptr;
    std::memcpy(t, text, lt);
    std::memcpy(p, pattern, lp);
    fnQX_STRLOWER(t);
    fnQX_STRLOWER(p);
    const char *hit = std::strstr(t, p);
    if (!hit) return nullptr;
    return const_cast<char *>(text) + (hit - t);
}
