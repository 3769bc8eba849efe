#include <cstring>

#include "osal.h"

extern "C" void *g_memstr1(const void *mem, int memLen, const char *pattern) {
    if (!mem || !pattern || memLen <= 0) return nullptr;
    const size_t plen = std::strlen(pattern);
    const auto *base = static_cast<const unsigned char *>(mem);
    if (plen == 0) return const_cast<unsigned char *>(base);
    const size_t n = static_cast<size_t>(memLen);
    if (plen > n) return nullptr;
    const unsigned char first = static_cast<unsigned char>(pattern[0]);
    for (size_t i = 0; i + plen <= n; ++i) {
        const void *hit = std::memchr(base + i, first, n - plen + 1 - i);
        if (!hit) return nullptr;
        i = static_cast<size_t>(static_cast<const unsigned char *>(hit) - base);
        if (std::memcmp(base + i, pattern, plen) == 0) return const_cast<unsigned char *>(base + i);
    }
    return nullptr;
}
