// Maths functions whose last bit must be the same on every platform that
// writes the files. The frozen bytes follow glibc's sin, cos, log and pow,
// which round correctly in all but very rare cases. Elsewhere (MinGW's and
// msvcrt's maths library differ from glibc now and then, by far more than a
// bit where the arguments are large) the library computes them itself in
// double-double arithmetic, rounded once, so that it too returns the
// correctly rounded result; ORV_PORTABLE_MATH selects that form on glibc as
// well, which proves it against the golden table there.
#pragma once
#include <cmath>
#include <cstdint>

#if defined(_WIN32) || defined(ORV_PORTABLE_MATH)
#define ORV_OWN_MATH 1
#else
#define ORV_OWN_MATH 0
#endif

// sin(x) and cos(x), correctly rounded for |x| < 2^40 (beyond, the C library's).
double portable_sin(double x);
double portable_cos(double x);
// log(x), correctly rounded for finite x > 0 (otherwise the IEEE special values).
double portable_log(double x);
// 10^y, correctly rounded where the result is a normal number.
double portable_pow10(double y);

// cos and sin of theta, the angle of element m (0 <= m < n) of the chirp of
// the n-point chirp-z transform in direction 0 or 1. For the transforms of
// 64 os points (os 5, 6, 7, 9, 10) the own form returns glibc's value at the
// ten elements where glibc's is not the correctly rounded one, so that those
// transforms are the same on every platform.
void chirp_cos_sin(int32_t n, int32_t direction, int32_t m, double theta, double* c, double* s);
// The own form of chirp_cos_sin, on every platform.
void chirp_cos_sin_own(int32_t n, int32_t direction, int32_t m, double theta, double* c, double* s);

// log10(x) in glibc's way (fdlibm's decomposition): x = 2^k * m with m in
// [1, 2) (or [0.5, 1) for negative k), then k * log10(2) in two parts plus
// log(m) / ln(10), in that order, over orv_log.
double log10_split(double x);

#if ORV_OWN_MATH
inline double orv_sin(double x) { return portable_sin(x); }
inline double orv_cos(double x) { return portable_cos(x); }
inline double orv_log(double x) { return portable_log(x); }
inline double orv_pow10(double y) { return portable_pow10(y); }
inline double orv_log10(double x) { return log10_split(x); }
#else
inline double orv_sin(double x) { return std::sin(x); }
inline double orv_cos(double x) { return std::cos(x); }
inline double orv_log(double x) { return std::log(x); }
inline double orv_pow10(double y) { return std::pow(10.0, y); }
inline double orv_log10(double x) { return std::log10(x); }
#endif
