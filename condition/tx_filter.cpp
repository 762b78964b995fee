#include "tx_filter.h"
#include "platform_math.h"
#include "status.h"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numbers>
#include <type_traits>

namespace {

constexpr double kPi = std::numbers::pi;

// Outputs per block of the convolution; a block is either skipped as a whole
// (all-zero input window) or computed as a whole.
constexpr int64_t kBlock = 2048;
// Outputs computed side by side; each keeps its own accumulator.
constexpr int kLanes = 8;

bool all_finite(int32_t L, const double* taps) {
    for (int32_t k = 0; k < L; ++k)
        if (!std::isfinite(taps[k])) return false;
    return true;
}

// One output with the input index reduced modulo N (used near the buffer ends).
double wrapped_output(int32_t N, const double* x, int32_t L, const double* taps, int32_t D,
                      int64_t i) {
    int64_t idx = ((i - D) % N + N) % N;
    double acc = 0.0;
    for (int32_t j = 0; j < L; ++j) {
        acc += taps[L - 1 - j] * x[idx];
        if (++idx == N) idx = 0;
    }
    return acc;
}

// Outputs lo..hi-1 whose input windows lie inside the buffer, into out[lo..hi-1].
// Several outputs advance together, but each sums its own products in order of
// j from 0.0, exactly as the one-output-at-a-time loop does.
void convolve_run(const double* x, int32_t L, const double* taps, int32_t D, int64_t lo,
                  int64_t hi, double* out) {
    int64_t i = lo;
    for (; i + kLanes <= hi; i += kLanes) {
        const double* xs = x + (i - D);
        double acc[kLanes] = {};
        for (int32_t j = 0; j < L; ++j) {
            const double t = taps[L - 1 - j];
            const double* xj = xs + j;
            for (int m = 0; m < kLanes; ++m) acc[m] += t * xj[m];
        }
        for (int m = 0; m < kLanes; ++m) out[i + m] = acc[m];
    }
    for (; i < hi; ++i) {
        const double* xs = x + (i - D);
        double acc = 0.0;
        for (int32_t j = 0; j < L; ++j) acc += taps[L - 1 - j] * xs[j];
        out[i] = acc;
    }
}

// First index in a..b-1 holding a nonzero (or NaN) sample, else b. With a
// writable buffer, every -0.0 passed over becomes +0.0: the sign of a zero
// input never reaches an output (a running sum that starts at +0.0 cannot
// become -0.0), and an all-zero window sums to +0.0.
template <typename Elem>
int64_t first_nonzero(Elem* x, int64_t a, int64_t b) {
    constexpr bool kClearSigns = !std::is_const_v<Elem>;
    int64_t k = a;
    for (; k + 8 <= b; k += 8) {
        uint64_t bits = 0;
        for (int m = 0; m < 8; ++m) bits |= std::bit_cast<uint64_t>(x[k + m]);
        if (bits == 0) continue;  // eight times +0.0
        for (int m = 0; m < 8; ++m)
            if (x[k + m] != 0.0) return k + m;
        if constexpr (kClearSigns)
            for (int m = 0; m < 8; ++m) x[k + m] = 0.0;
    }
    for (; k < b; ++k) {
        if (x[k] != 0.0) return k;
        if constexpr (kClearSigns) x[k] = 0.0;
    }
    return b;
}

// What is known about the input while blocks advance: [zero_from, zero_to)
// holds zeros only, nonzero_at is the last nonzero found (or -1).
struct ZeroSpan {
    int64_t zero_from = 0;
    int64_t zero_to = 0;
    int64_t nonzero_at = -1;
};

// True when the input window a..b-1 is all zero. Windows must come in
// ascending order; each input sample is scanned about once overall.
template <typename Elem>
bool window_is_zero(ZeroSpan* z, Elem* x, int64_t a, int64_t b) {
    if (z->nonzero_at >= a) return false;
    if (a < z->zero_from || a > z->zero_to) z->zero_from = z->zero_to = a;
    const int64_t p = first_nonzero(x, z->zero_to, b);
    if (p < b) {
        z->nonzero_at = p;
        z->zero_from = z->zero_to = p + 1;
        return false;
    }
    z->zero_to = b;
    return true;
}

// Range of outputs whose windows need no wrap-around: [lo, hi).
void interior_range(int32_t N, int32_t L, int32_t D, int64_t* lo, int64_t* hi) {
    if (N >= L) {
        *lo = D;
        *hi = static_cast<int64_t>(N) - L + D + 1;
    } else {
        *lo = N;
        *hi = N;
    }
}

bool lengths_refused(int32_t N, int32_t L) {
    return N < 1 || L < 1 || L > 2 * static_cast<int64_t>(N) + 1;
}

// circular_filter of x into x itself, using work (N doubles) for the outputs.
// The outputs of a block are copied back once no later window reads their
// positions; blocks whose window is all zero stay +0.0 where they are, so a
// long silent gap costs one read and no arithmetic. Lengths must be accepted.
void filter_in_place(int32_t N, double* x, int32_t L, const double* taps, double* work) {
    const int32_t D = (L - 1) / 2;
    int64_t lo, hi;
    interior_range(N, L, D, &lo, &hi);
    for (int64_t i = 0; i < lo; ++i) work[i] = wrapped_output(N, x, L, taps, D, i);
    for (int64_t i = hi; i < N; ++i) work[i] = wrapped_output(N, x, L, taps, D, i);

    // A block of B >= D outputs is safe to store after the next block has read
    // its window, which starts D samples before that block.
    const int64_t B = kBlock > D ? kBlock : D;
    const bool may_skip = all_finite(L, taps);
    ZeroSpan z;
    int64_t pending_lo = 0, pending_hi = 0;
    for (int64_t i0 = lo; i0 < hi; i0 += B) {
        const int64_t i1 = i0 + B < hi ? i0 + B : hi;
        const bool zero = may_skip && window_is_zero(&z, x, i0 - D, i1 - 1 - D + L);
        if (!zero) convolve_run(x, L, taps, D, i0, i1, work);
        std::memcpy(x + pending_lo, work + pending_lo,
                    static_cast<size_t>(pending_hi - pending_lo) * sizeof(double));
        pending_lo = zero ? i1 : i0;
        pending_hi = i1;
    }
    std::memcpy(x + pending_lo, work + pending_lo,
                static_cast<size_t>(pending_hi - pending_lo) * sizeof(double));
    std::memcpy(x, work, static_cast<size_t>(lo) * sizeof(double));
    std::memcpy(x + hi, work + hi, static_cast<size_t>(N - hi) * sizeof(double));
}

}  // namespace

int32_t design_raised_cosine(int32_t L, int32_t P, double rolloff, double* taps) {
    if (L < 4 || L > 2561) return 1;
    if (P < 1 || P > 128) return 2;
    if (!(rolloff >= 0.01 && rolloff <= 0.99)) return 3;
    const double a = rolloff;
    const double c = (L - 1) / 2.0;
    int32_t half = L / 2;
    if (L % 2 == 1) {
        taps[(L - 1) / 2] = 1.0;
        half = (L - 1) / 2;
    }
    for (int32_t i = 0; i < half; ++i) {
        const double t = (i - c) / P;
        const double at = a * t;
        const double den = 1.0 - 4.0 * at * at;
        double tap;
        if (den <= -1e-10 || den >= 1e-10)
            tap = (orv_sin(kPi * t) / (kPi * t)) * orv_cos(kPi * a * t) / den;
        else  // t is +-1/(2a) within rounding: the limit of the expression there
            tap = (a / 2.0) * orv_sin(kPi / (2.0 * a));
        taps[i] = tap;
        taps[L - 1 - i] = tap;
    }
    return 0;
}

int32_t apply_hamming_window(int32_t L, const double* in, double* out) {
    if (L < 4 || L > 2561) return 1;
    const double m = L - 1;
    for (int32_t i = 0; i < L / 2; ++i) {
        const double w = 0.54 - 0.46 * orv_cos(2.0 * kPi * i / m);
        out[i] = in[i] * w;
        out[L - 1 - i] = in[L - 1 - i] * w;
    }
    if (L % 2 == 1) out[L / 2] = in[L / 2];
    return 0;
}

int32_t normalise_taps(int32_t L, const double* in, double* out) {
    if (L < 4 || L > 5121) return 1;
    double sum = 0.0;
    for (int32_t k = 0; k < L; ++k) sum += in[k];
    for (int32_t k = 0; k < L; ++k) out[k] = in[k] / sum;
    return 0;
}

int32_t circular_filter(int32_t N, const double* in, int32_t L, const double* taps, double* out) {
    if (N < 1) return 1;
    if (lengths_refused(N, L)) return 2;
    const int32_t D = (L - 1) / 2;
    int64_t lo, hi;
    interior_range(N, L, D, &lo, &hi);
    for (int64_t i = 0; i < lo; ++i) out[i] = wrapped_output(N, in, L, taps, D, i);
    for (int64_t i = hi; i < N; ++i) out[i] = wrapped_output(N, in, L, taps, D, i);
    const bool may_skip = all_finite(L, taps);
    ZeroSpan z;
    for (int64_t i0 = lo; i0 < hi; i0 += kBlock) {
        const int64_t i1 = i0 + kBlock < hi ? i0 + kBlock : hi;
        if (may_skip && window_is_zero(&z, in, i0 - D, i1 - 1 - D + L)) {
            for (int64_t i = i0; i < i1; ++i) out[i] = 0.0;
        } else {
            convolve_run(in, L, taps, D, i0, i1, out);
        }
    }
    return 0;
}

int32_t apply_tx_filter(int32_t count, double* i, double* q, int32_t taps, int32_t oversampling,
                        double cutoff_hz, double rolloff, int32_t reserved, double* work) {
    (void)reserved;
    double* h = static_cast<double*>(std::malloc(static_cast<size_t>(taps > 0 ? taps : 1) *
                                                 sizeof(double)));
    if (h == nullptr) return kStatusNoMemory;
    // Symbol period in samples: the cut-off is the raised cosine's Nyquist
    // frequency, fs / (2P); truncation keeps the effective one at or above it.
    const int32_t P = samples_per_symbol(oversampling, cutoff_hz);
    int32_t result = 0;
    if (design_raised_cosine(taps, P, rolloff, h) != 0) {
        result = 2;  // taps undefined: leave the burst unfiltered
    } else if (lengths_refused(count, taps)) {
        result = 3;
    } else {
        apply_hamming_window(taps, h, h);
        normalise_taps(taps, h, h);
        filter_in_place(count, i, taps, h, work);
        filter_in_place(count, q, taps, h, work);
    }
    std::free(h);
    return result;
}

int32_t samples_per_symbol(int32_t oversampling, double filter_cutoff) {
    double p = (20000000.0 * oversampling) / (2.0 * filter_cutoff);
    if (!(p > 0.0)) return 0;
    if (p >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(p);
}
