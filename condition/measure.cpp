#include "measure.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "cpu_features.h"
#include "num_format.h"
#include "platform_math.h"

int32_t measure_crest_factors(int32_t count, const double* i, const double* q, double* crest_i,
                              double* crest_q, double* papr) {
    if (count < 1) {  // no burst samples: nothing to measure, report 0 dB
        *crest_i = 0.0;
        *crest_q = 0.0;
        *papr = 0.0;
        return 0;
    }
    double peak_i = i[0] * i[0];
    double peak_q = q[0] * q[0];
    double peak_c = i[0] * i[0] + q[0] * q[0];
    double sum_i = 0.0, sum_q = 0.0, sum_c = 0.0;
    for (int32_t k = 0; k < count; ++k) {
        const double pi = i[k] * i[k];
        const double pq = q[k] * q[k];
        if (pi > peak_i) peak_i = pi;
        if (pq > peak_q) peak_q = pq;
        const double pc = pi + pq;
        if (pc > peak_c) peak_c = pc;
        sum_i += pi;
        sum_q += pq;
        sum_c += pc;
    }
    const double mean_i = sum_i / count;
    const double mean_q = sum_q / count;
    const double mean_c = sum_c / count;
    const double ratio_i = mean_i <= 1e-12 ? 1.0 : peak_i / mean_i;
    const double ratio_q = mean_q <= 1e-12 ? 1.0 : peak_q / mean_q;
    const double ratio_c = mean_c <= 1e-12 ? 1.0 : peak_c / mean_c;
    *crest_i = 10.0 * orv_log10(ratio_i);
    *crest_q = 10.0 * orv_log10(ratio_q);
    *papr = 10.0 * orv_log10(ratio_c);
    return 0;
}

namespace {

// True when -bound <= v[k] <= bound for every k (false for NaN).
bool all_within(int32_t n, const double* v, double bound) {
    int32_t k = 0;
#if defined(__SSE2__)
    // Two lanes at a time: "not >= -bound" and "not <= bound" are both true for NaN.
    const __m128d lo = _mm_set1_pd(-bound), hi = _mm_set1_pd(bound);
    __m128d outside = _mm_setzero_pd();
    for (; k + 2 <= n; k += 2) {
        const __m128d w = _mm_loadu_pd(v + k);
        outside = _mm_or_pd(outside, _mm_or_pd(_mm_cmpnge_pd(w, lo), _mm_cmpnle_pd(w, hi)));
    }
    if (_mm_movemask_pd(outside) != 0) return false;
#endif
    bool inside = true;
    for (; k < n; ++k) inside &= v[k] >= -bound && v[k] <= bound;
    return inside;
}

}  // namespace

void measure_peak(const double* x, int32_t count, double* peak) {
    // The largest |x[k]|, NaN never taken. Taking the larger of two values is
    // exact in any order, so lanes may keep their own maximum.
    double m = 0.0;
    int32_t k = 0;
#if defined(__SSE2__)
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    __m128d m0 = _mm_setzero_pd(), m1 = _mm_setzero_pd();
    for (; k + 4 <= count; k += 4) {
        // maxpd(a, m) is a > m ? a : m, as in the scalar loop.
        m0 = _mm_max_pd(_mm_and_pd(_mm_loadu_pd(x + k), magnitude), m0);
        m1 = _mm_max_pd(_mm_and_pd(_mm_loadu_pd(x + k + 2), magnitude), m1);
    }
    double lanes[4];
    _mm_storeu_pd(lanes, m0);
    _mm_storeu_pd(lanes + 2, m1);
    for (double a : lanes)
        if (a > m) m = a;
#endif
    for (; k < count; ++k) {
        const double a = std::fabs(x[k]);
        if (a > m) m = a;  // false for NaN
    }
    *peak = m;
}

namespace {

// "\n!!!Round ERROR!!! %15.14lf: %15.14lf\n" on standard output, with "." whatever the locale.
void print_round_error(double scale, double value) {
    char line[2 * kFixedBufferSize + 32];
    size_t n = 0;
    const char head[] = "\n!!!Round ERROR!!! ";
    std::memcpy(line, head, sizeof head - 1);
    n += sizeof head - 1;
    n += format_fixed(line + n, scale, 14, 15);
    line[n++] = ':';
    line[n++] = ' ';
    n += format_fixed(line + n, value, 14, 15);
    line[n++] = '\n';
    std::fwrite(line, 1, n, stdout);
    std::fflush(stdout);
}

// Codes of n samples as quantise_channel makes them, without the report.
// Returns true when every scaled value was within full scale.
ORV_ALWAYS_INLINE bool quantise_body(const double* x, int32_t* codes, int32_t n, double divisor,
                                     double top, int32_t top_code, int32_t zero_code,
                                     double* first_outside) {
    constexpr int32_t kBlock = 512;
    double scaled[kBlock];
    double level[kBlock];
    bool inside = true;
    for (int32_t start = 0; start < n; start += kBlock) {
        const int32_t m = n - start < kBlock ? n - start : kBlock;
        const double* xb = x + start;
        int32_t* cb = codes + start;
        // Divide; add 1; halve; times the top code. Each step rounds to double
        // exactly as when it is stored between separate passes.
        for (int32_t k = 0; k < m; ++k) {
            const double w = xb[k] / divisor;
            scaled[k] = w;
            level[k] = ((w + 1.0) * 0.5) * top;
        }
        if (all_within(m, scaled, 1.0)) {
            for (int32_t k = 0; k < m; ++k) cb[k] = static_cast<int32_t>(level[k]);
            continue;
        }
        // A value outside full scale (noise in the gap above the burst's peak,
        // or NaN) is saturated so that every code is defined.
        for (int32_t k = 0; k < m; ++k) {
            const double w = scaled[k];
            if (w >= -1.0 && w <= 1.0) {
                cb[k] = static_cast<int32_t>(level[k]);
                continue;
            }
            if (inside && first_outside != nullptr) *first_outside = w;
            inside = false;
            cb[k] = std::isnan(w) ? zero_code : (w > 1.0 ? top_code : 0);
        }
    }
    return inside;
}

#if ORV_X86_VECTORS
// The same loops on four lanes: IEEE division, addition and products round
// alike at every width.
__attribute__((target("avx"))) bool quantise_avx(const double* x, int32_t* codes, int32_t n,
                                                 double divisor, double top, int32_t top_code,
                                                 int32_t zero_code, double* first_outside) {
    return quantise_body(x, codes, n, divisor, top, top_code, zero_code, first_outside);
}
#endif

bool quantise_run(const double* x, int32_t* codes, int32_t n, double divisor, double top,
                  int32_t top_code, int32_t zero_code, double* first_outside) {
#if ORV_X86_VECTORS
    if (cpu_has_avx()) return quantise_avx(x, codes, n, divisor, top, top_code, zero_code, first_outside);
#endif
    return quantise_body(x, codes, n, divisor, top, top_code, zero_code, first_outside);
}

}  // namespace

void quantise_codes(const double* x, int32_t* codes, int32_t count, double scale, int32_t bits) {
    const double top = std::ldexp(1.0, bits) - 1.0;
    quantise_run(x, codes, count, scale + 1e-12, top, static_cast<int32_t>(top),
                 static_cast<int32_t>(top * 0.5), nullptr);
}

int32_t find_round_error(const double* x, int32_t count, double scale, double* scaled) {
    const double divisor = scale + 1e-12;
    constexpr int32_t kBlock = 256;
    for (int32_t start = 0; start < count; start += kBlock) {
        const int32_t n = count - start < kBlock ? count - start : kBlock;
        const double* xb = x + start;
        // |x| <= divisor bounds the rounded quotient by 1, so only a block
        // holding another sample (or NaN) needs the division.
        if (all_within(n, xb, divisor)) continue;
        for (int32_t k = 0; k < n; ++k) {
            if (xb[k] >= -divisor && xb[k] <= divisor) continue;
            const double w = xb[k] / divisor;
            if (w >= -1.0 && w <= 1.0) continue;
            *scaled = w;
            return start + k;
        }
    }
    return -1;
}

void report_round_error(double scale, double value) { print_round_error(scale, value); }

int32_t quantise_channel(double* work, const double* x, int32_t* codes, int32_t count,
                         double scale, int32_t bits) {
    (void)work;  // the passes run through a small stack block instead (same roundings)
    const double top = std::ldexp(1.0, bits) - 1.0;
    double first = 0.0;
    const bool inside = quantise_run(x, codes, count, scale + 1e-12, top, static_cast<int32_t>(top),
                                     static_cast<int32_t>(top * 0.5), &first);
    // The first value outside full scale of the call prints the round-error line.
    if (!inside) print_round_error(scale, first);
    return inside ? 0 : 1;
}
