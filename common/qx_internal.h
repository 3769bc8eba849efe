// Internal helpers shared by every module of the library (not exported).
#ifndef QX_INTERNAL_H
#define QX_INTERNAL_H

#include "rorodire.h"

#include <cstddef>
#include <cstdint>
#include <utility>

// Internal string primitives (not part of the exported ABI).
int fnQX_STRICMP(const char *a, const char *b);
char *fnQX_STRSTR(const char *text, const char *pattern);
char *fnQX_STRISTR(const char *text, const char *pattern);

namespace qx {

// Allocation through the same seam as fnQX_Malloc (released by fnQX_Free), not
// zero-filled: only for buffers the caller overwrites in full at once.
void *alloc_uninit(int size);

// Release any pointer variable through fnQX_Free and null it.
template <typename T>
inline void free_ptr(T *&p) {
    void *v = const_cast<void *>(static_cast<const void *>(p));
    fnQX_Free(&v);
    p = nullptr;
}

// Typed zero-filled allocation of one record (or n of them) through fnQX_Malloc.
template <typename T>
inline T *alloc_rec(int n = 1) {
    if (n <= 0 || static_cast<size_t>(n) > static_cast<size_t>(INT32_MAX) / sizeof(T)) return nullptr;
    return static_cast<T *>(fnQX_Malloc(static_cast<int>(sizeof(T) * static_cast<size_t>(n))));
}

// Runs a callable when leaving scope unless dismissed.
template <typename F>
class ScopeGuard {
public:
    explicit ScopeGuard(F f) : f_(std::move(f)) {}
    ScopeGuard(const ScopeGuard &) = delete;
    ScopeGuard &operator=(const ScopeGuard &) = delete;
    ~ScopeGuard() {
        if (active_) f_();
    }
    void dismiss() { active_ = false; }

private:
    F f_;
    bool active_ = true;
};

}  // namespace qx

#endif
