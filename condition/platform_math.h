// Maths functions whose last bit must be the same on every platform that
// writes the files. Elsewhere than glibc the C library's own log10 rounds
// differently now and then, so there log10 is computed as glibc does it.
#pragma once
#include <cmath>

// log10(x) in glibc's way (fdlibm's decomposition): x = 2^k * m with m in
// [1, 2) (or [0.5, 1) for negative k), then k * log10(2) in two parts plus
// log(m) / ln(10), in that order, over the C library's log.
double log10_split(double x);

// The log10 of the crest factors.
inline double orv_log10(double x) {
#if defined(_WIN32)
    return log10_split(x);
#else
    return std::log10(x);
#endif
}
