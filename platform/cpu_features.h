// What the processor offers the vectorised loops, and how their bodies are
// inlined into each instruction-set copy.
#pragma once

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define ORV_X86_VECTORS 1
#include <immintrin.h>
#else
#define ORV_X86_VECTORS 0
#endif

#if defined(__GNUC__) || defined(__clang__)
#define ORV_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define ORV_ALWAYS_INLINE inline
#endif

#if ORV_X86_VECTORS
// True when the processor runs AVX instructions (asked once).
// Never on Windows: MinGW's GCC keeps the stack 16-byte aligned and may spill
// a 32-byte register there with an aligned store (GCC bug 54412); the SSE2 and
// plain loops give the same results.
inline bool cpu_has_avx() {
#if defined(_WIN32)
    return false;
#else
    static const bool avx = __builtin_cpu_supports("avx");
    return avx;
#endif
}

// True when the processor runs AVX2 (asked once; never on Windows, as cpu_has_avx).
inline bool cpu_has_avx2() {
#if defined(_WIN32)
    return false;
#else
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
#endif
}

// True when the processor and the system run AVX-512F (asked once; never on Windows, as cpu_has_avx).
inline bool cpu_has_avx512() {
#if defined(_WIN32)
    return false;
#else
    static const bool avx512 = __builtin_cpu_supports("avx512f");
    return avx512;
#endif
}
#endif
