// The SNR's noise of a long stream (a packet sequence): the stream is cut
// into blocks of kNoiseBlock samples, and block b draws from four xoshiro256**
// lanes, lane l seeded for (seed, kStreamNoise, 4 b + l); sample j of a block
// takes its complex deviate from one 64-bit draw of lane j % 4 (stream_normal_pair).
// So any block's noise can be made alone, on any thread, in any order.
#pragma once
#include <cstdint>

#include "impair_chain.h"

constexpr int32_t kNoiseBlock = 16384;
constexpr int32_t kNoiseLanes = 4;

// Where the lanes of one block stand.
struct NoiseLanes {
    uint64_t s[4][kNoiseLanes];  // xoshiro256** word w of lane l at s[w][l]
    uint64_t seed;
    int64_t block;  // block the lanes are in, -1 none
    int32_t at;     // next sample of that block
    int32_t path;   // 0 the fastest loop the processor runs; 1 at most SSE2's, 2 the plain one, 3 at most AVX2's (tests)
};

// The two standard normal deviates of one 64-bit draw (Box and Muller in
// single precision): r = sqrt(-2 ln u), u = (hi + 0.5) 2^-32 from the high
// half; x = r cos a, y = r sin a, a = 2 pi (lo + 0.5) 2^-32 from the low half.
void stream_normal_pair(uint64_t draw, float* x, float* y);

// No block yet: the first call seeds.
void noise_lanes_reset(NoiseLanes* g, uint64_t seed);
// Adds the noise of stream samples first..first+n-1 (variance sigma2 per
// complex sample) to i and q: sample j gets a x_j and a y_j rounded to
// single precision, a = sqrt(sigma2 / 2) in single precision. Calls in order of sample continue where the
// last one ended; any other first re-seeds its block and draws up to it.
void add_stream_noise(NoiseLanes* g, int64_t first, int32_t n, double sigma2, double* i, double* q);
// add_stream_noise to n samples held as single-precision I, Q pairs, summed
// in single precision: the same samples as widening them to double,
// add_stream_noise and rounding back.
void add_stream_noise_iq(NoiseLanes* g, int64_t first, int32_t n, double sigma2, float* iq);
