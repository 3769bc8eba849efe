// Memory and string primitives shared by the whole library and
// exported for hosts.
#include <glib.h>

#include <cstdlib>
#include <cstring>

#include "osal.h"
#include "qx_internal.h"

extern "C" {

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
    const auto *pa = reinterpret_cast<const unsigned char *>(a);
    const auto *pb = reinterpret_cast<const unsigned char *>(b);
    for (;; ++pa, ++pb) {
        if (*pa != *pb) {
            // An empty string never equals a non-empty one, in either order.
            if (pa == reinterpret_cast<const unsigned char *>(a) && (*pa == 0 || *pb == 0)) return -1;
            return *pa < *pb ? -1 : 1;
        }
        if (*pa == 0) return 0;
    }
}

int fnQX_STRNCMP(const char *a, const char *b, int count) {
    if (!a || !b) return -1;
    return std::strncmp(a, b, count > 0 ? static_cast<size_t>(count) : 0);
}

int fnQX_STRBEGINS(const char *prefix, const char *text) {
    if (!prefix || !text) return 0;
    // A text shorter than the prefix ends first and differs there.
    for (; *prefix; ++prefix, ++text) {
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
    // One pass, ASCII letters folded: texts of different lengths differ where
    // the shorter one ends.
    for (;; ++a, ++b) {
        const char x = *a;
        const char y = *b;
        if (x == y) {
            if (x == 0) return 0;
            continue;
        }
        if (x >= 'a' && x <= 'z') {
            if (y != x - 'a' + 'A') return -1;
        } else if (x >= 'A' && x <= 'Z') {
            if (y != x - 'A' + 'a') return -1;
        } else {
            return -1;
        }
    }
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
