// Complex FFT of any size from 4 points: radix-2 for powers of two, chirp-z
// (Bluestein) for the rest. Direction 0 is the inverse transform scaled by
// 1/n, direction 1 the unscaled forward transform. The radix-2 sine and
// bit-reversal tables, and per chirp-z size and direction its chirp and the
// transform of its convolution kernel, are a process-wide cache (calls must
// not overlap) that fft_release_tables empties.
#pragma once
#include <cstdint>

// Returns 0; 1 size outside 4..2^21; 2 bad direction; -1 out of memory.
int32_t fft(int32_t n, double* re, double* im, int32_t direction);
// Returns 0; 1 n not a power of two in 4..2^22; 2 bad direction; -1 out of memory.
int32_t fft_radix2(int32_t n, double* re, double* im, int32_t direction);
// Returns 0; 1 size outside 4..2^21; 2 bad direction; -1 out of memory.
int32_t fft_chirp_z(int32_t n, double* re, double* im, int32_t direction);
// Replaces (re1, im1) by its circular convolution with (re2, im2) over m
// points (m a power of two); (re2, im2) is left holding its forward transform.
// Returns 0; 1 for m <= 0; the radix-2 status (1 bad size, -1 out of memory)
// with every array untouched when the transform cannot run.
int32_t fft_circular_convolve(int32_t m, double* re1, double* im1, double* re2, double* im2);
// fft_radix2 of data already in bit-reversed order (element j holds the
// input of index fft_cached_revmap()[j], the tables of size n present, as
// after fft_prepare); the same results as fft_radix2 of the input. Unscaled,
// the inverse's outputs are left for the caller to multiply by 1.0 / n (the
// transform's own scaling, the same results).
int32_t fft_radix2_reversed(int32_t n, double* re, double* im, int32_t direction,
                            bool scaled = true);
// Builds the radix-2 tables of size n (a power of two in 4..2^22) ahead.
// While they stay, transforms of that size read them only and may run on
// several threads at once (no transform of another size, no release meanwhile).
// Returns 0; 1 bad size; -1 out of memory.
int32_t fft_prepare(int32_t n);
// Frees the cached tables and chirp-z state; harmless when none are present. Returns 0.
int32_t fft_release_tables();
// Size the cached tables were built for, 0 when the cache is empty.
int32_t fft_cached_size();
// Whether the butterflies may use 256-bit vectors (AVX) where the processor
// has them, with the scalar code's rounding (the same bytes). Part of the
// per-call state beside the tables: the library's entry sets it at the start
// of every call from its options.
void fft_use_vectors(bool on);
// Chirp-z sizes and directions whose state is cached (at most 2).
int32_t fft_chirp_entries();
// The cached tables themselves (nullptr when the cache is empty), for inspection.
const double* fft_cached_sinmap();
const int32_t* fft_cached_revmap();
