// The carrier-offset rotation of one 64-sample FFT window (eight phasor chains side by side) and
// element-wise complex products.
#include "rx.h"

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define ORV_RX_ROTATE_AVX2 1
#endif

namespace orv::analysis::rx {

namespace {
// The eight starting phasors ph e^{j w k}, k < 8: each the product of the one before and step.
void first_phasors(cd ph, cd step, cd* q8) {
    q8[0] = ph;
    for (int k = 1; k < 8; ++k) q8[k] = mul(q8[k - 1], step);
}

void rotate_plain(const cd* in, bool swap_iq, cd ph, cd step, cd step8, cd* out) {
    cd q[8];
    first_phasors(ph, step, q);
    for (int i = 0; i < 64; i += 8) {
        for (int k = 0; k < 8; ++k) {
            const cd v = in[i + k];
            out[i + k] = mul(swap_iq ? cd(v.imag(), v.real()) : v, q[k]);
        }
        if (i + 8 < 64)
            for (cd& p : q) p = mul(p, step8);
    }
}

#ifdef ORV_RX_ROTATE_AVX2
#define ORV_AVX2 __attribute__((target("avx2")))
// mul() on two complex values a step: (ar br - ai bi, ai br + ar bi); b_re, b_im: b's parts in both
// halves of each pair; a_swapped: a with its parts exchanged.
ORV_AVX2 inline __m256d mul2(__m256d a, __m256d a_swapped, __m256d b_re, __m256d b_im) {
    return _mm256_addsub_pd(_mm256_mul_pd(a, b_re), _mm256_mul_pd(a_swapped, b_im));
}

ORV_AVX2 void rotate_avx2(const cd* in, bool swap_iq, cd ph, cd step, cd step8, cd* out) {
    alignas(32) cd q8[8];
    first_phasors(ph, step, q8);
    __m256d q[4];
    for (int r = 0; r < 4; ++r) q[r] = _mm256_load_pd(reinterpret_cast<const double*>(q8 + 2 * r));
    const __m256d s_re = _mm256_set1_pd(step8.real()), s_im = _mm256_set1_pd(step8.imag());
    const double* src = reinterpret_cast<const double*>(in);
    double* dst = reinterpret_cast<double*>(out);
    for (int i = 0; i < 64; i += 8) {
        for (int r = 0; r < 4; ++r) {
            const __m256d x = _mm256_loadu_pd(src + 2 * (i + 2 * r));
            const __m256d xs = _mm256_permute_pd(x, 0x5);
            // An inverted spectrum's sample is x swapped, so the swapped sample is x itself.
            const __m256d a = swap_iq ? xs : x, as = swap_iq ? x : xs;
            const __m256d p_re = _mm256_movedup_pd(q[r]), p_im = _mm256_permute_pd(q[r], 0xF);
            _mm256_storeu_pd(dst + 2 * (i + 2 * r), mul2(a, as, p_re, p_im));
        }
        if (i + 8 < 64)
            for (__m256d& p : q) p = mul2(p, _mm256_permute_pd(p, 0x5), s_re, s_im);
    }
}

ORV_AVX2 void mul_arrays_avx2(const cd* a, const cd* b, size_t n, cd* out) {
    const double* pa = reinterpret_cast<const double*>(a);
    const double* pb = reinterpret_cast<const double*>(b);
    double* po = reinterpret_cast<double*>(out);
    size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const __m256d x = _mm256_loadu_pd(pa + 2 * i), y = _mm256_loadu_pd(pb + 2 * i);
        _mm256_storeu_pd(po + 2 * i, mul2(x, _mm256_permute_pd(x, 0x5), _mm256_movedup_pd(y), _mm256_permute_pd(y, 0xF)));
    }
    if (i < n) out[i] = mul(a[i], b[i]);
}

bool cpu_has_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif
}  // namespace

void rotate64(const cd* in, bool swap_iq, cd ph, cd step, cd step8, cd* out, bool vector) {
#ifdef ORV_RX_ROTATE_AVX2
    if (vector && cpu_has_avx2()) {
        rotate_avx2(in, swap_iq, ph, step, step8, out);
        return;
    }
#endif
    (void)vector;
    rotate_plain(in, swap_iq, ph, step, step8, out);
}

void mul_arrays(const cd* a, const cd* b, size_t n, cd* out, bool vector) {
#ifdef ORV_RX_ROTATE_AVX2
    if (vector && cpu_has_avx2()) {
        mul_arrays_avx2(a, b, n, out);
        return;
    }
#endif
    (void)vector;
    for (size_t i = 0; i < n; ++i) out[i] = mul(a[i], b[i]);
}

}  // namespace orv::analysis::rx
