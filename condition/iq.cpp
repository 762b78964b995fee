// IQ imbalance of the modulator: gain ratio and quadrature error.
#include <cmath>

#include "cpu_features.h"
#include "impair_chain.h"

namespace {
constexpr double kPi = 3.14159265358979323846;
}

void iq_imbalance_setup(double gain_db, double phase_deg, IqImbalance* m) {
    const double a_i = std::pow(10.0, gain_db / 40.0);
    const double a_q = std::pow(10.0, -gain_db / 40.0);
    const double half = 0.5 * phase_deg * kPi / 180.0;
    const double c = std::cos(half), s = std::sin(half);
    m->ii = a_i * c;
    m->iq = -a_i * s;
    m->qi = -a_q * s;
    m->qq = a_q * c;
}

namespace {

// The matrix on samples from .. n-1.
void apply_scalar(const IqImbalance* m, int32_t from, int32_t n, double* i, double* q) {
    for (int32_t k = from; k < n; ++k) {
        const double x = i[k], y = q[k];
        i[k] = m->ii * x + m->iq * y;
        q[k] = m->qi * x + m->qq * y;
    }
}

#if ORV_X86_VECTORS
// apply_scalar four samples at a time (the same products and sum per lane);
// returns the samples done.
__attribute__((target("avx"))) int32_t apply_avx(const IqImbalance* m, int32_t n, double* i, double* q) {
    const __m256d ii = _mm256_set1_pd(m->ii), iq = _mm256_set1_pd(m->iq);
    const __m256d qi = _mm256_set1_pd(m->qi), qq = _mm256_set1_pd(m->qq);
    int32_t k = 0;
    for (; k + 4 <= n; k += 4) {
        const __m256d x = _mm256_loadu_pd(i + k), y = _mm256_loadu_pd(q + k);
        _mm256_storeu_pd(i + k, _mm256_add_pd(_mm256_mul_pd(ii, x), _mm256_mul_pd(iq, y)));
        _mm256_storeu_pd(q + k, _mm256_add_pd(_mm256_mul_pd(qi, x), _mm256_mul_pd(qq, y)));
    }
    return k;
}

// apply_avx adding each output's |x|^2 to *power in order of sample (the
// scalar loop's products and sums); returns the samples done.
__attribute__((target("avx"))) int32_t apply_sum_avx(const IqImbalance* m, int32_t n, double* i, double* q,
                                                     double* power) {
    const __m256d ii = _mm256_set1_pd(m->ii), iq = _mm256_set1_pd(m->iq);
    const __m256d qi = _mm256_set1_pd(m->qi), qq = _mm256_set1_pd(m->qq);
    double sum = *power;
    int32_t k = 0;
    for (; k + 4 <= n; k += 4) {
        const __m256d x = _mm256_loadu_pd(i + k), y = _mm256_loadu_pd(q + k);
        const __m256d u = _mm256_add_pd(_mm256_mul_pd(ii, x), _mm256_mul_pd(iq, y));
        const __m256d v = _mm256_add_pd(_mm256_mul_pd(qi, x), _mm256_mul_pd(qq, y));
        _mm256_storeu_pd(i + k, u);
        _mm256_storeu_pd(q + k, v);
        const __m256d p2 = _mm256_add_pd(_mm256_mul_pd(u, u), _mm256_mul_pd(v, v));
        const __m128d lo = _mm256_castpd256_pd128(p2), hi = _mm256_extractf128_pd(p2, 1);
        sum += _mm_cvtsd_f64(lo);
        sum += _mm_cvtsd_f64(_mm_unpackhi_pd(lo, lo));
        sum += _mm_cvtsd_f64(hi);
        sum += _mm_cvtsd_f64(_mm_unpackhi_pd(hi, hi));
    }
    *power = sum;
    return k;
}
#endif

}  // namespace

double iq_imbalance_apply_sum(const IqImbalance* m, int32_t n, double* i, double* q, double power) {
    int32_t k = 0;
#if ORV_X86_VECTORS
    if (cpu_has_avx()) k = apply_sum_avx(m, n, i, q, &power);
#endif
    for (; k < n; ++k) {
        const double x = i[k], y = q[k];
        const double u = m->ii * x + m->iq * y;
        const double v = m->qi * x + m->qq * y;
        i[k] = u;
        q[k] = v;
        power += u * u + v * v;
    }
    return power;
}

void iq_imbalance_apply(const IqImbalance* m, int32_t n, double* i, double* q) {
    int32_t done = 0;
#if ORV_X86_VECTORS
    if (cpu_has_avx()) done = apply_avx(m, n, i, q);
#endif
    apply_scalar(m, done, n, i, q);
}
