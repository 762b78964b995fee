// Fails one chosen allocation of a call: for targets linked with
// -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc. Include in one file only.
#pragma once
#include <cstddef>

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* p, size_t size);
}

namespace orv_fuzz {

// The allocation to fail (1 for the first; 0 for none), the count so far, and
// whether one was refused.
inline int g_fail_at = 0;
inline int g_made = 0;
inline bool g_refused = false;

inline bool refuse() {
    if (g_fail_at == 0 || ++g_made != g_fail_at) return false;
    g_refused = true;
    return true;
}

// Counts the allocations from 0 again and fails the one numbered fail_at (0: none).
inline void fail_allocation(int fail_at) {
    g_fail_at = fail_at;
    g_made = 0;
    g_refused = false;
}

}  // namespace orv_fuzz

extern "C" {
void* __wrap_malloc(size_t size) { return orv_fuzz::refuse() ? nullptr : __real_malloc(size); }
void* __wrap_calloc(size_t count, size_t size) {
    return orv_fuzz::refuse() ? nullptr : __real_calloc(count, size);
}
void* __wrap_realloc(void* p, size_t size) { return orv_fuzz::refuse() ? nullptr : __real_realloc(p, size); }
}
