// Transmit filter: Hamming-windowed raised cosine, unit DC gain, applied as a
// circular convolution over the whole buffer at the oversampled rate.
#pragma once
#include <cstdint>

// Filters i and q in place over count samples; work holds count doubles.
// Returns 0; kStatusNoMemory when the taps cannot be allocated; 2 when the design refuses
// the tap count, the samples per symbol or the roll-off; 3 when count < 1 or
// taps > 2 count + 1. Nothing is filtered on a nonzero result.
int32_t apply_tx_filter(int32_t count, double* i, double* q, int32_t taps, int32_t oversampling,
                        double cutoff_hz, double rolloff, int32_t reserved, double* work);
// Samples per raised-cosine symbol, P = (20e6 * os) / (2 * cutoff), truncated;
// saturates at INT32_MAX (and 0 for a non-positive or NaN ratio) instead of overflowing.
int32_t samples_per_symbol(int32_t oversampling, double filter_cutoff);
// Raised-cosine taps; L taps (4..2561), P samples per symbol (1..128), roll-off 0.01..0.99.
// Returns 0, or 1, 2, 3 for the first of L, P, roll-off out of range (nothing written).
int32_t design_raised_cosine(int32_t L, int32_t P, double rolloff, double* taps);
// Multiplies taps by the Hamming window; in and out may be the same. L 4..2561.
int32_t apply_hamming_window(int32_t L, const double* in, double* out);
// Divides the taps by their sum; in and out may be the same. L 4..5121.
int32_t normalise_taps(int32_t L, const double* in, double* out);
// y[i] = sum_j taps[L-1-j] * x[(i - (L-1)/2 + j) mod N]; out must differ from in.
// Returns 0; 1 when N < 1; 2 when L < 1 or L > 2N + 1.
int32_t circular_filter(int32_t N, const double* in, int32_t L, const double* taps, double* out);
