// The sample-clock offset: a fractional resampler (Kaiser-windowed sinc of
// 8, 16, 32 or 64 taps, the nearest of kResamplePhases phases).
#include <cmath>
#include <cstdlib>

#include "cpu_features.h"
#include "impair_chain.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kKaiserBeta = 8.0;

// Modified Bessel function of the first kind, order 0 (its power series).
double bessel_i0(double x) {
    double sum = 1.0, term = 1.0;
    for (int32_t k = 1; k < 50; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
        if (term < 1e-17 * sum) break;
    }
    return sum;
}

// Output position n (1 + d) split into its integer sample and the nearest phase.
void position(const Resampler* r, int64_t n, int64_t* whole, int32_t* phase) {
    const double x = static_cast<double>(n) * r->ratio_minus_one;
    // floor(x) by truncation (|x| is far below 2^63), without a library call.
    int64_t fl = static_cast<int64_t>(x);
    if (static_cast<double>(fl) > x) --fl;
    *whole = n + fl;
    *phase = static_cast<int32_t>((x - static_cast<double>(fl)) * kResamplePhases + 0.5);
}

}  // namespace

int32_t resampler_taps(int32_t os) { return os <= 1 ? 64 : os == 2 ? 32 : os == 3 ? 16 : 8; }

int32_t resampler_open(Resampler* r, double ppm, int32_t taps) {
    r->table = nullptr;
    r->no_avx = 0;
    r->no_avx512 = 0;
    if (taps != 8 && taps != 16 && taps != 32 && taps != 64) return 1;
    r->ratio_minus_one = ppm * 1e-6;
    r->taps = taps;
    const int32_t half = taps / 2;
    const size_t rows = kResamplePhases + 1;
    r->table = static_cast<double*>(std::malloc(rows * static_cast<size_t>(taps) * sizeof(double)));
    if (r->table == nullptr) return -1;
    const double norm = bessel_i0(kKaiserBeta);
    for (int32_t p = 0; p <= kResamplePhases; ++p) {
        const double frac = static_cast<double>(p) / kResamplePhases;
        double* row = r->table + static_cast<size_t>(p) * taps;
        double sum = 0.0;
        for (int32_t j = 0; j < taps; ++j) {
            // Distance of tap j's input sample from the wanted position.
            const double d = (j - (half - 1)) - frac;
            const double sinc = d == 0.0 ? 1.0 : std::sin(kPi * d) / (kPi * d);
            const double u = d / half;
            const double w = u * u < 1.0 ? bessel_i0(kKaiserBeta * std::sqrt(1.0 - u * u)) / norm : 0.0;
            row[j] = sinc * w;
            sum += row[j];
        }
        for (int32_t j = 0; j < taps; ++j) row[j] /= sum;
    }
    return 0;
}

void resampler_close(Resampler* r) {
    std::free(r->table);
    r->table = nullptr;
}

int64_t resampler_first_input(const Resampler* r, int64_t n) {
    int64_t whole;
    int32_t phase;
    position(r, n, &whole, &phase);
    return whole - (r->taps / 2 - 1);
}

namespace {

#if ORV_X86_VECTORS
// Why the vector loops start their partial sums from the first product and
// add +0 to each folded output instead of starting from 0.0 as the plain loop
// does: the plain loop's 0.0 + p is p except that a -0 product becomes +0, so
// its partial sums and output are never -0. Without the 0.0 a partial sum or
// the fold can only differ by being -0 where the plain loop has +0 (x + y is -0
// only when both are -0; x + (+-0) is x for x != 0), and adding +0 to the
// output turns exactly that -0 into +0. One add per four outputs instead of four.

// The taps of one output: lane l holds the plain loop's partial sum l (taps
// l, l + 4, ...), added in its order from the first product (the fold adds +0).
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void dot_avx(const double* row, const double* a, const double* b,
                                                              int32_t taps, __m256d* si, __m256d* sq) {
    const __m256d h0 = _mm256_loadu_pd(row);
    __m256d acc_i = _mm256_mul_pd(h0, _mm256_loadu_pd(a)), acc_q = _mm256_mul_pd(h0, _mm256_loadu_pd(b));
    for (int32_t j = 4; j < taps; j += 4) {
        const __m256d h = _mm256_loadu_pd(row + j);
        acc_i = _mm256_add_pd(acc_i, _mm256_mul_pd(h, _mm256_loadu_pd(a + j)));
        acc_q = _mm256_add_pd(acc_q, _mm256_mul_pd(h, _mm256_loadu_pd(b + j)));
    }
    *si = acc_i;
    *sq = acc_q;
}

// Four outputs of one phase row whose inputs start at a, a + 1, a + 2,
// a + 3, in the lanes: lane m's partial sum l takes taps l, l + 4, ... from
// zero in the plain loop's order, the four folded as it folds them.
template <int32_t Taps>
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void same_phase_avx(const double* row, const double* a,
                                                                     const double* b, double* i, double* q) {
    __m256d si[4], sq[4];
    for (int32_t l = 0; l < 4; ++l) {
        const __m256d h = _mm256_broadcast_sd(row + l);
        si[l] = _mm256_mul_pd(h, _mm256_loadu_pd(a + l));
        sq[l] = _mm256_mul_pd(h, _mm256_loadu_pd(b + l));
    }
    for (int32_t j = 4; j < Taps; j += 4) {
        for (int32_t l = 0; l < 4; ++l) {
            const __m256d h = _mm256_broadcast_sd(row + j + l);
            si[l] = _mm256_add_pd(si[l], _mm256_mul_pd(h, _mm256_loadu_pd(a + j + l)));
            sq[l] = _mm256_add_pd(sq[l], _mm256_mul_pd(h, _mm256_loadu_pd(b + j + l)));
        }
    }
    const __m256d zero = _mm256_setzero_pd();
    _mm256_storeu_pd(i, _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(si[0], si[1]), _mm256_add_pd(si[2], si[3])), zero));
    _mm256_storeu_pd(q, _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(sq[0], sq[1]), _mm256_add_pd(sq[2], sq[3])), zero));
}

// True when x[0 .. count - 1] (count >= 4) are all zeros of either sign; a
// nonzero first four (the usual case) answers after one compare.
__attribute__((target("avx"))) ORV_ALWAYS_INLINE bool all_zero_avx(const double* x, int32_t count) {
    const __m256d zero = _mm256_setzero_pd();
    __m256d any = _mm256_loadu_pd(x);
    if (_mm256_movemask_pd(_mm256_cmp_pd(any, zero, _CMP_NEQ_UQ)) != 0) return false;
    // The bits of all ored: a magnitude bit set anywhere stays set.
    any = _mm256_or_pd(any, _mm256_loadu_pd(x + count - 4));
    for (int32_t k = 4; k + 4 <= count; k += 4) any = _mm256_or_pd(any, _mm256_loadu_pd(x + k));
    return _mm256_movemask_pd(_mm256_cmp_pd(any, zero, _CMP_NEQ_UQ)) == 0;
}

#if !defined(_WIN32)
// GCC 12's AVX-512 intrinsics start from an undefined register that it then
// reports as maybe uninitialised (GCC bug 105593); the results do not depend on it.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
// same_phase_run_avx's outputs eight at a time (AVX-512F), eights of them: each output's
// sums as there (the same values).
template <int32_t Taps>
__attribute__((target("avx512f"))) void same_phase_eights_avx512(const double* row, int32_t eights, const double* a,
                                                                  const double* b, double* i, double* q) {
    const __m512d zero = _mm512_setzero_pd();
    __m512d h[Taps];
    for (int32_t j = 0; j < Taps; ++j) h[j] = _mm512_set1_pd(row[j]);
    for (int32_t at = 0; at < 8 * eights; at += 8) {
        __m512d si[4], sq[4];
        for (int32_t l = 0; l < 4; ++l) si[l] = _mm512_mul_pd(h[l], _mm512_loadu_pd(a + at + l));
        for (int32_t j = 4; j < Taps; j += 4)
            for (int32_t l = 0; l < 4; ++l) si[l] = _mm512_add_pd(si[l], _mm512_mul_pd(h[j + l], _mm512_loadu_pd(a + at + j + l)));
        _mm512_storeu_pd(i + at, _mm512_add_pd(_mm512_add_pd(_mm512_add_pd(si[0], si[1]), _mm512_add_pd(si[2], si[3])), zero));
        for (int32_t l = 0; l < 4; ++l) sq[l] = _mm512_mul_pd(h[l], _mm512_loadu_pd(b + at + l));
        for (int32_t j = 4; j < Taps; j += 4)
            for (int32_t l = 0; l < 4; ++l) sq[l] = _mm512_add_pd(sq[l], _mm512_mul_pd(h[j + l], _mm512_loadu_pd(b + at + j + l)));
        _mm512_storeu_pd(q + at, _mm512_add_pd(_mm512_add_pd(_mm512_add_pd(sq[0], sq[1]), _mm512_add_pd(sq[2], sq[3])), zero));
    }
}
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

// same_phase_avx for quads fours of one row (inputs from a to a + 4 quads - 1),
// the row's taps broadcast once for all: each output's sums as there; when
// every input is zero, the outputs +0 without the products.
// wide: eight outputs at a time with AVX-512F (the caller checks the processor; the same values).
template <int32_t Taps>
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void same_phase_run_avx(const double* row, int32_t quads,
                                                                         const double* a, const double* b, double* i,
                                                                         double* q, bool wide) {
    const __m256d zero = _mm256_setzero_pd();
    const int32_t inputs = 4 * quads + Taps - 1;
    if (all_zero_avx(a, inputs) && all_zero_avx(b, inputs)) {
        // Every product is +-0, so every plain-loop output is 0.0 + ... = +0.
        for (int32_t at = 0; at < 4 * quads; at += 4) {
            _mm256_storeu_pd(i + at, zero);
            _mm256_storeu_pd(q + at, zero);
        }
        return;
    }
    int32_t from = 0;
#if !defined(_WIN32)
    if (wide) {  // eights with AVX-512, a last four below
        same_phase_eights_avx512<Taps>(row, quads / 2, a, b, i, q);
        from = 8 * (quads / 2);
    }
#else
    (void)wide;
#endif
    __m256d h[Taps];
    for (int32_t j = 0; j < Taps; ++j) h[j] = _mm256_broadcast_sd(row + j);
#pragma GCC unroll 2
    for (int32_t at = from; at < 4 * quads; at += 4) {
        __m256d si[4], sq[4];
        for (int32_t l = 0; l < 4; ++l) si[l] = _mm256_mul_pd(h[l], _mm256_loadu_pd(a + at + l));
        for (int32_t j = 4; j < Taps; j += 4)
            for (int32_t l = 0; l < 4; ++l) si[l] = _mm256_add_pd(si[l], _mm256_mul_pd(h[j + l], _mm256_loadu_pd(a + at + j + l)));
        _mm256_storeu_pd(i + at, _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(si[0], si[1]), _mm256_add_pd(si[2], si[3])), zero));
        for (int32_t l = 0; l < 4; ++l) sq[l] = _mm256_mul_pd(h[l], _mm256_loadu_pd(b + at + l));
        for (int32_t j = 4; j < Taps; j += 4)
            for (int32_t l = 0; l < 4; ++l) sq[l] = _mm256_add_pd(sq[l], _mm256_mul_pd(h[j + l], _mm256_loadu_pd(b + at + j + l)));
        _mm256_storeu_pd(q + at, _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(sq[0], sq[1]), _mm256_add_pd(sq[2], sq[3])), zero));
    }
}

// The integer sample and phase of outputs n .. n + 3 (position's arithmetic per lane).
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void quad_positions(__m256d n, __m256d d, int32_t* whole,
                                                                     int32_t* phase) {
    const __m256d x = _mm256_mul_pd(n, d);
    const __m256d fl = _mm256_floor_pd(x);
    const __m256d rows = _mm256_set1_pd(kResamplePhases), half = _mm256_set1_pd(0.5);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(phase),
                     _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(x, fl), rows), half)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(whole), _mm256_cvttpd_epi32(fl));
}

// The longest run of outputs from n (integer part of n d whole_part, phase
// phase) in whole fours, at most kRunMost and left, that the phase is
// expected to keep, two outputs short of the estimated change for safety:
// a guess that the caller checks at its end (below 8: no run worth one).
inline int32_t run_guess(double d, int64_t n, int32_t whole_part, int32_t phase, int32_t left) {
    constexpr int32_t kRunMost = 128;
    const double frac = static_cast<double>(n) * d - whole_part;
    // How far frac may move before the rounded phase (or the integer part) changes.
    const double room = d > 0.0 ? std::fmin((phase + 0.5) / kResamplePhases, 1.0) - frac
                                : frac - std::fmax((phase - 0.5) / kResamplePhases, 0.0);
    const double steps = room / std::fabs(d);  // +inf or NaN when d is 0: checked by the caller
    const int32_t most = left < kRunMost ? left : kRunMost;
    if (!(steps < most + 2.0)) return most & ~3;
    return steps < 2.0 ? 0 : (static_cast<int32_t>(steps) - 1) & ~3;
}

// resampler_run's outputs four at a time: their positions side by side (the
// plain loop's arithmetic per lane: the product n d, its floor, the rounded
// phase), the four partial sums of each folded as the plain loop folds them,
// so the outputs are equal bit for bit. Needs |n d| < 2^30 and n < 2^52.
// Taps is r->taps, a constant here so that the tap loop unrolls.
template <int32_t Taps>
__attribute__((target("avx"))) int32_t run_avx_fours(const Resampler* r, int64_t n0, int32_t count, int64_t base,
                                                     const double* xi, const double* xq, double* i, double* q) {
    constexpr int32_t taps = Taps;
    const bool wide = r->no_avx512 == 0 && cpu_has_avx512();
    const __m256d d = _mm256_set1_pd(r->ratio_minus_one);
    const __m256d lanes = _mm256_set_pd(3.0, 2.0, 1.0, 0.0);
    constexpr int32_t kRun = 64;
    int32_t k = 0;
    while (k + 4 <= count) {
        alignas(16) int32_t phase[4], whole[4];
        const __m256d n = _mm256_add_pd(_mm256_set1_pd(static_cast<double>(n0 + k)), lanes);
        quad_positions(n, d, whole, phase);
        // A run of outputs of one phase: the positions move monotonically, so
        // equal ends mean one phase and consecutive inputs throughout. First
        // the run to just before the phase is due to change; failing that the
        // longest of kRun, kRun / 2, ... 8.
        const int32_t guess = run_guess(r->ratio_minus_one, n0 + k, whole[0], phase[0], count - k);
        int32_t run = 0;
        if (guess >= 8) {
            alignas(16) int32_t end_phase[4], end_whole[4];
            quad_positions(_mm256_add_pd(n, _mm256_set1_pd(guess - 4)), d, end_whole, end_phase);
            if (phase[0] == end_phase[3] && whole[0] == end_whole[3]) run = guess;
        }
        for (int32_t len = kRun; len >= 8 && run == 0 && guess >= 8; len /= 2) {
            if (k + len > count) continue;
            alignas(16) int32_t end_phase[4], end_whole[4];
            quad_positions(_mm256_add_pd(n, _mm256_set1_pd(len - 4)), d, end_whole, end_phase);
            if (phase[0] == end_phase[3] && whole[0] == end_whole[3]) run = len;
        }
        if (run > 0) {
            const double* row = r->table + static_cast<size_t>(phase[0]) * taps;
            const int64_t first = n0 + k + whole[0] - (taps / 2 - 1) - base;
            same_phase_run_avx<Taps>(row, run / 4, xi + first, xq + first, i + k, q + k, wide);
            k += run;
            continue;
        }
        if (phase[0] == phase[3] && whole[0] == whole[3]) {
            // One phase and consecutive inputs: the outputs in the lanes, each tap broadcast.
            const double* row = r->table + static_cast<size_t>(phase[0]) * taps;
            const int64_t first = n0 + k + whole[0] - (taps / 2 - 1) - base;
            same_phase_avx<Taps>(row, xi + first, xq + first, i + k, q + k);
            k += 4;
            continue;
        }
        __m256d si[4], sq[4];
        for (int32_t l = 0; l < 4; ++l) {
            const double* row = r->table + static_cast<size_t>(phase[l]) * taps;
            const int64_t first = n0 + k + l + whole[l] - (taps / 2 - 1) - base;
            dot_avx(row, xi + first, xq + first, taps, &si[l], &sq[l]);
        }
        // (l0 + l1) + (l2 + l3) of each output: the pair sums of outputs 0, 1
        // and 2, 3 side by side, regrouped by half, added.
        const __m256d i01 = _mm256_hadd_pd(si[0], si[1]), i23 = _mm256_hadd_pd(si[2], si[3]);
        const __m256d q01 = _mm256_hadd_pd(sq[0], sq[1]), q23 = _mm256_hadd_pd(sq[2], sq[3]);
        const __m256d zero = _mm256_setzero_pd();
        _mm256_storeu_pd(i + k, _mm256_add_pd(_mm256_add_pd(_mm256_permute2f128_pd(i01, i23, 0x20),
                                                            _mm256_permute2f128_pd(i01, i23, 0x31)),
                                              zero));
        _mm256_storeu_pd(q + k, _mm256_add_pd(_mm256_add_pd(_mm256_permute2f128_pd(q01, q23, 0x20),
                                                            _mm256_permute2f128_pd(q01, q23, 0x31)),
                                              zero));
        k += 4;
    }
    return k;
}

// One output at a time (the last few, or positions beyond run_avx_fours' range).
__attribute__((target("avx"))) void run_avx(const Resampler* r, int64_t n0, int32_t count, int64_t base,
                                            const double* xi, const double* xq, double* i, double* q) {
    const int32_t taps = r->taps;
    for (int32_t k = 0; k < count; ++k) {
        int64_t whole;
        int32_t phase;
        position(r, n0 + k, &whole, &phase);
        const double* row = r->table + static_cast<size_t>(phase) * taps;
        const int64_t first = whole - (taps / 2 - 1) - base;
        __m256d si, sq;
        dot_avx(row, xi + first, xq + first, taps, &si, &sq);
        // (l0 + l1) + (l2 + l3) of each: the pair sums side by side, then added.
        const __m256d pairs = _mm256_hadd_pd(si, sq);  // i01 q01 i23 q23
        const __m128d sums = _mm_add_pd(_mm_add_pd(_mm256_castpd256_pd128(pairs), _mm256_extractf128_pd(pairs, 1)),
                                        _mm_setzero_pd());
        _mm_storel_pd(i + k, sums);
        _mm_storeh_pd(q + k, sums);
    }
}

// run_avx_fours for r->taps; returns the outputs done.
int32_t run_fours(const Resampler* r, int64_t n0, int32_t count, int64_t base, const double* xi, const double* xq,
                  double* i, double* q) {
    switch (r->taps) {
        case 8: return run_avx_fours<8>(r, n0, count, base, xi, xq, i, q);
        case 16: return run_avx_fours<16>(r, n0, count, base, xi, xq, i, q);
        case 32: return run_avx_fours<32>(r, n0, count, base, xi, xq, i, q);
        default: return run_avx_fours<64>(r, n0, count, base, xi, xq, i, q);
    }
}

// True when every output n0 .. n0 + count - 1 is in run_avx_fours' range.
bool fours_fit(const Resampler* r, int64_t n0, int32_t count) {
    const int64_t last = n0 + count;
    const double limit = 1073741824.0;  // 2^30
    return n0 >= 0 && last < (int64_t{1} << 52) &&
           std::fabs(static_cast<double>(last) * r->ratio_minus_one) < limit;
}
#endif

}  // namespace

void resampler_run(const Resampler* r, int64_t n0, int32_t count, int64_t base, const double* xi,
                   const double* xq, double* i, double* q) {
#if ORV_X86_VECTORS
    if (r->no_avx == 0 && cpu_has_avx()) {
        const int32_t done = fours_fit(r, n0, count) ? run_fours(r, n0, count, base, xi, xq, i, q) : 0;
        run_avx(r, n0 + done, count - done, base, xi, xq, i + done, q + done);
        return;
    }
#endif
    const int32_t taps = r->taps;
    for (int32_t k = 0; k < count; ++k) {
        int64_t whole;
        int32_t phase;
        position(r, n0 + k, &whole, &phase);
        const double* row = r->table + static_cast<size_t>(phase) * taps;
        const int64_t first = whole - (taps / 2 - 1) - base;
        const double* a = xi + first;
        const double* b = xq + first;
        // Four partial sums (taps j, j+4, ...) that the compiler may run side by side.
        double si[4] = {0.0, 0.0, 0.0, 0.0}, sq[4] = {0.0, 0.0, 0.0, 0.0};
        for (int32_t j = 0; j < taps; j += 4) {
            for (int32_t l = 0; l < 4; ++l) {
                si[l] += row[j + l] * a[j + l];
                sq[l] += row[j + l] * b[j + l];
            }
        }
        i[k] = (si[0] + si[1]) + (si[2] + si[3]);
        q[k] = (sq[0] + sq[1]) + (sq[2] + sq[3]);
    }
}

int64_t resampled_length(double ppm, int64_t total) {
    if (total <= 0) return 0;
    const double ratio = 1.0 + ppm * 1e-6;
    return static_cast<int64_t>(std::floor(static_cast<double>(total - 1) / ratio)) + 1;
}
