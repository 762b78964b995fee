// The packet receiver's Viterbi decoder for the rate-1/2, K = 7 code of 17.3.5.5
// (generators 133 and 171 octal): soft values quantised to 16 bits, 16-bit path
// metrics renormalised every few steps, the 64 add-compare-select operations of a step
// in AVX2 or SSE2 (a plain loop where both are missing), one 64-bit word of decisions a step.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace orv::analysis::rx {

// Largest magnitude of a quantised soft value: a branch metric stays within
// +-2 * kSoftMax and the spread of 64 path metrics within 6 * 4 * kSoftMax.
constexpr int kSoftMax = 511;

// The scale that maps the median magnitude of the non-zero values of soft[0..n) (sampled
// at up to 1024 places) to 64; an all-zero input gives 1. vector: the AVX2 loops where the
// processor has them (the same value).
double soft_scale(const double* soft, size_t n, bool vector = true);

// The k-th smallest (from 0) of the n values at buf, as std::nth_element would place it (no NaN;
// buf holds 4 n + 16 values, all but the first n scratch). vector: the AVX2 loops where the
// processor has them (the same value).
double kth_smallest(double* buf, size_t n, size_t k, bool vector = true);

// round(soft * scale) clipped to +-kSoftMax; zero stays zero (a punctured bit), NaN gives 0.
inline int16_t quantise_soft(double soft, double scale) {
    double v = soft * scale;
    v = v == v ? v : 0.0;
    v = std::min(std::max(v, -static_cast<double>(kSoftMax)), static_cast<double>(kSoftMax));
    return static_cast<int16_t>(v + std::copysign(0.5, v));
}

// Which add-compare-select loop runs: the fastest the processor has, the plain loop, SSE2
// (eight states a vector) or AVX2 (sixteen). A loop the processor or build lacks runs the plain one.
enum class AcsKernel { best, plain, sse2, avx2 };
// Whether the processor and the build have the loop.
bool acs_available(AcsKernel kernel);

// Decodes steps pairs A B of quantised soft values (positive for a 1 bit) into one bit a
// pair (0 or 1); ends in state 0 when terminated is set, else in the best state. Ties keep
// the predecessor whose oldest bit is 0.
std::vector<uint8_t> viterbi_decode_q(const int16_t* ab, size_t steps, bool terminated, AcsKernel kernel = AcsKernel::best);

// The bits of steps pairs A B without a trellis search, where the signs of the non-zero
// values are already a codeword from state 0: each step's bit solved from its A value (its
// B value where A is zero), then both values checked against the re-encoded step. The
// codeword then matches every non-zero value, the one path whose metric reaches the sum of
// their magnitudes, so bits are exactly viterbi_decode_q's. False (bits undefined) where a
// sign disagrees, a step has no non-zero value, or terminated is set and the path does
// not end in state 0: the caller runs the Viterbi decoder then.
bool decode_if_codeword(const int16_t* ab, size_t steps, bool terminated, std::vector<uint8_t>& bits);

// The SIGNAL field's 24 steps: bits[0..24) as ofdm.h's viterbi_decode(soft[0..48), false) gives them
// (the same double arithmetic, ties and NaN included), without allocating. vector: four
// butterflies at a time where the processor has AVX2 (the same bits as the plain loop).
constexpr size_t kSignalSteps = 24;
void viterbi_decode_signal(const double* soft, uint8_t* bits, bool vector = true);

// The same from soft values of any scale: quantised with soft_scale, then decoded.
std::vector<uint8_t> viterbi_decode_fast(const std::vector<double>& soft, bool terminated);

}  // namespace orv::analysis::rx
