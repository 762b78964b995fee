// The packet receiver's 16-bit Viterbi decoder (17.3.5.5).
#include "rx_viterbi.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define ORV_RX_SSE2 1
#endif
#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define ORV_RX_AVX2 1
#endif

namespace orv::analysis::rx {

namespace {

constexpr int kStates = 64;
// Metric of the states a decoding cannot start in: below any path from state 0 after the
// six steps that reach every state (6 * 4 * kSoftMax), above -32768 with their growth.
constexpr int kUnreachable = -16000;
// Steps between renormalisations (metrics less state 0's): the spread of 24 * kSoftMax
// plus the growth of kRenormalise steps, 2 * kSoftMax each, stays within 16 bits.
constexpr size_t kRenormalise = 8;

// The butterflies: predecessors j and j + 32 lead to states 2j and 2j + 1. The branch
// j -> 2j outputs (A, B) = (sa[j], sb[j]) (+1 for a 1 bit); j + 32 -> 2j and j -> 2j + 1
// the negation, j + 32 -> 2j + 1 the same.
struct Signs {
    alignas(32) int16_t sa[32];
    alignas(32) int16_t sb[32];
};
const Signs& signs() {
    static const Signs t = [] {
        Signs s{};
        for (unsigned j = 0; j < 32; ++j) {
            const unsigned r = 2 * j;  // register (old bit 0, state j, new bit 0), newest bit 0
            s.sa[j] = __builtin_parity(r & 0x6D) ? 1 : -1;
            s.sb[j] = __builtin_parity(r & 0x4F) ? 1 : -1;
        }
        return s;
    }();
    return t;
}

// Forward pass in plain code with 32-bit metrics (no overflow, the vector loops' check);
// bit s of dec[t]: state s at t + 1 came from s / 2 + 32.
void acs_plain(const int16_t* ab, size_t steps, int16_t* metric16, uint64_t* dec) {
    const Signs& sg = signs();
    int metric[kStates], next[kStates];
    std::copy(metric16, metric16 + kStates, metric);
    for (size_t t = 0; t < steps; ++t) {
        const int a = ab[2 * t], b = ab[2 * t + 1];
        uint64_t d = 0;
        for (int j = 0; j < 32; ++j) {
            const int x = sg.sa[j] * a + sg.sb[j] * b;
            const int m00 = metric[j] + x, m10 = metric[j + 32] - x;
            const int m01 = metric[j] - x, m11 = metric[j + 32] + x;
            next[2 * j] = m10 > m00 ? m10 : m00;
            next[2 * j + 1] = m11 > m01 ? m11 : m01;
            d |= static_cast<uint64_t>(m10 > m00) << (2 * j);
            d |= static_cast<uint64_t>(m11 > m01) << (2 * j + 1);
        }
        dec[t] = d;
        const int base = t % kRenormalise == kRenormalise - 1 ? next[0] : 0;
        for (int s = 0; s < kStates; ++s) metric[s] = next[s] - base;
    }
    for (int s = 0; s < kStates; ++s) metric16[s] = static_cast<int16_t>(metric[s]);
}

#ifdef ORV_RX_SSE2
// The same forward pass, eight states a vector.
void acs_sse2(const int16_t* ab, size_t steps, int16_t* metric, uint64_t* dec) {
    const Signs& sg = signs();
    __m128i m[8], sa[4], sb[4];
    for (int v = 0; v < 8; ++v) m[v] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(metric + 8 * v));
    for (int v = 0; v < 4; ++v) {
        sa[v] = _mm_load_si128(reinterpret_cast<const __m128i*>(sg.sa + 8 * v));
        sb[v] = _mm_load_si128(reinterpret_cast<const __m128i*>(sg.sb + 8 * v));
    }
    for (size_t t = 0; t < steps; ++t) {
        const __m128i a = _mm_set1_epi16(ab[2 * t]), b = _mm_set1_epi16(ab[2 * t + 1]);
        __m128i n[8];
        uint64_t d = 0;
        for (int v = 0; v < 4; ++v) {
            const __m128i x = _mm_add_epi16(_mm_mullo_epi16(sa[v], a), _mm_mullo_epi16(sb[v], b));
            const __m128i m00 = _mm_add_epi16(m[v], x), m10 = _mm_sub_epi16(m[v + 4], x);
            const __m128i m01 = _mm_sub_epi16(m[v], x), m11 = _mm_add_epi16(m[v + 4], x);
            const __m128i n0 = _mm_max_epi16(m00, m10), n1 = _mm_max_epi16(m01, m11);
            const __m128i d0 = _mm_cmpgt_epi16(m10, m00), d1 = _mm_cmpgt_epi16(m11, m01);
            n[2 * v] = _mm_unpacklo_epi16(n0, n1);
            n[2 * v + 1] = _mm_unpackhi_epi16(n0, n1);
            // States 16v .. 16v + 15 in order, one byte each.
            const __m128i bytes = _mm_packs_epi16(_mm_unpacklo_epi16(d0, d1), _mm_unpackhi_epi16(d0, d1));
            d |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(bytes))) << (16 * v);
        }
        dec[t] = d;
        if (t % kRenormalise == kRenormalise - 1) {
            const __m128i base = _mm_set1_epi16(static_cast<int16_t>(_mm_cvtsi128_si32(n[0])));
            for (int v = 0; v < 8; ++v) m[v] = _mm_sub_epi16(n[v], base);
        } else {
            for (int v = 0; v < 8; ++v) m[v] = n[v];
        }
    }
    for (int v = 0; v < 8; ++v) _mm_storeu_si128(reinterpret_cast<__m128i*>(metric + 8 * v), m[v]);
}
#endif

#ifdef ORV_RX_AVX2
// The same forward pass, sixteen states a vector (AVX2; the caller checks the processor).
__attribute__((target("avx2"))) void acs_avx2(const int16_t* ab, size_t steps, int16_t* metric, uint64_t* dec) {
    const Signs& sg = signs();
    __m256i m[4];
    for (int u = 0; u < 4; ++u) m[u] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(metric + 16 * u));
    const __m256i sa[2] = {_mm256_load_si256(reinterpret_cast<const __m256i*>(sg.sa)),
                           _mm256_load_si256(reinterpret_cast<const __m256i*>(sg.sa + 16))};
    const __m256i sb[2] = {_mm256_load_si256(reinterpret_cast<const __m256i*>(sg.sb)),
                           _mm256_load_si256(reinterpret_cast<const __m256i*>(sg.sb + 16))};
    for (size_t t = 0; t < steps; ++t) {
        const __m256i a = _mm256_set1_epi16(ab[2 * t]), b = _mm256_set1_epi16(ab[2 * t + 1]);
        __m256i n[4];
        uint64_t d = 0;
        for (int u = 0; u < 2; ++u) {
            const __m256i x = _mm256_add_epi16(_mm256_sign_epi16(a, sa[u]), _mm256_sign_epi16(b, sb[u]));
            const __m256i m00 = _mm256_add_epi16(m[u], x), m10 = _mm256_sub_epi16(m[u + 2], x);
            const __m256i m01 = _mm256_sub_epi16(m[u], x), m11 = _mm256_add_epi16(m[u + 2], x);
            const __m256i n0 = _mm256_max_epi16(m00, m10), n1 = _mm256_max_epi16(m01, m11);
            const __m256i d0 = _mm256_cmpgt_epi16(m10, m00), d1 = _mm256_cmpgt_epi16(m11, m01);
            // Per 128-bit half: lo holds states 32u + 0..7 | 32u + 16..23, hi 32u + 8..15 | 32u + 24..31.
            const __m256i lo = _mm256_unpacklo_epi16(n0, n1), hi = _mm256_unpackhi_epi16(n0, n1);
            n[2 * u] = _mm256_permute2x128_si256(lo, hi, 0x20);
            n[2 * u + 1] = _mm256_permute2x128_si256(lo, hi, 0x31);
            // The same halves as bytes give states 32u .. 32u + 31 in order.
            const __m256i bytes = _mm256_packs_epi16(_mm256_unpacklo_epi16(d0, d1), _mm256_unpackhi_epi16(d0, d1));
            d |= static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(bytes))) << (32 * u);
        }
        dec[t] = d;
        if (t % kRenormalise == kRenormalise - 1) {
            const __m256i base = _mm256_broadcastw_epi16(_mm256_castsi256_si128(n[0]));
            for (int u = 0; u < 4; ++u) m[u] = _mm256_sub_epi16(n[u], base);
        } else {
            for (int u = 0; u < 4; ++u) m[u] = n[u];
        }
    }
    for (int u = 0; u < 4; ++u) _mm256_storeu_si256(reinterpret_cast<__m256i*>(metric + 16 * u), m[u]);
}

bool cpu_has_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

}  // namespace

bool acs_available(AcsKernel kernel) {
    switch (kernel) {
    case AcsKernel::best:
    case AcsKernel::plain: return true;
#ifdef ORV_RX_SSE2
    case AcsKernel::sse2: return true;
#endif
#ifdef ORV_RX_AVX2
    case AcsKernel::avx2: return cpu_has_avx2();
#endif
    default: return false;
    }
}

namespace {
// Moves the values of a[lo, hi) below p to its front (the rest after them, in any order) without
// a branch on the data; returns where the rest begins.
size_t partition_below(double* a, size_t lo, size_t hi, double p, bool or_equal) {
    size_t j = lo;
    for (size_t i = lo; i < hi; ++i) {
        const double x = a[i];
        const bool take = or_equal ? x <= p : x < p;
        a[i] = a[j];
        a[j] = x;
        j += take;
    }
    return j;
}

// The k-th smallest (from 0) of the n values a (no NaN), as nth_element would place it: a
// quickselect on the median of three with branch-free partitions, the values equal to the pivot
// set apart (ties cannot stall it), a sort of the last few.
double kth_smallest(double* a, size_t n, size_t k) {
    size_t lo = 0, hi = n;
    while (hi - lo > 16) {
        const double x = a[lo], y = a[lo + (hi - lo) / 2], z = a[hi - 1];
        const double p = std::max(std::min(x, y), std::min(std::max(x, y), z));
        const size_t below = partition_below(a, lo, hi, p, false);
        if (k < below) {
            hi = below;
            continue;
        }
        const size_t equal = partition_below(a, below, hi, p, true);
        if (k < equal) return p;
        lo = equal;
    }
    std::sort(a + lo, a + hi);
    return a[k];
}
}  // namespace

double soft_scale(const double* soft, size_t n) {
    // The median magnitude of up to 1024 evenly spaced non-zero values: an impulse in the
    // file or a spurious channel gain does not shrink every other value to nothing.
    constexpr size_t kProbe = 1024;
    std::vector<double> mag;
    mag.reserve(std::min(n, kProbe));
    const size_t stride = std::max<size_t>(n / kProbe, 1);
    for (size_t i = 0; i < n; i += stride) {
        const double v = std::abs(soft[i]);
        if (v > 0 && v < 1e300) mag.push_back(v);
    }
    if (mag.empty()) return 1.0;
    return 64.0 / kth_smallest(mag.data(), mag.size(), mag.size() / 2);
}

std::vector<uint8_t> viterbi_decode_q(const int16_t* ab, size_t steps, bool terminated, AcsKernel kernel) {
    alignas(16) int16_t metric[kStates];
    std::fill(metric, metric + kStates, static_cast<int16_t>(kUnreachable));
    metric[0] = 0;
    const std::unique_ptr<uint64_t[]> dec(new uint64_t[steps]);  // every word set by the forward pass (no zeroing)
    if (kernel == AcsKernel::best)
        kernel = acs_available(AcsKernel::avx2) ? AcsKernel::avx2 : acs_available(AcsKernel::sse2) ? AcsKernel::sse2 : AcsKernel::plain;
    if (!acs_available(kernel)) kernel = AcsKernel::plain;
    switch (kernel) {
#ifdef ORV_RX_AVX2
    case AcsKernel::avx2: acs_avx2(ab, steps, metric, dec.get()); break;
#endif
#ifdef ORV_RX_SSE2
    case AcsKernel::sse2: acs_sse2(ab, steps, metric, dec.get()); break;
#endif
    default: acs_plain(ab, steps, metric, dec.get()); break;
    }
    int state = terminated ? 0 : static_cast<int>(std::max_element(metric, metric + kStates) - metric);
    std::vector<uint8_t> bits(steps);
    for (size_t t = steps; t-- > 0;) {
        bits[t] = static_cast<uint8_t>(state & 1);
        state = (state >> 1) | static_cast<int>(((dec[t] >> state) & 1) << 5);
    }
    return bits;
}

std::vector<uint8_t> viterbi_decode_fast(const std::vector<double>& soft, bool terminated) {
    const double scale = soft_scale(soft.data(), soft.size());
    std::vector<int16_t> q(soft.size() - soft.size() % 2);
    for (size_t i = 0; i < q.size(); ++i) q[i] = quantise_soft(soft[i], scale);
    return viterbi_decode_q(q.data(), q.size() / 2, terminated);
}

}  // namespace orv::analysis::rx
