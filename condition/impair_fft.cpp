// A radix-2 complex FFT with per-instance tables, for the impairment stages'
// long convolutions (they may run beside the packet builder's transforms).
#include <cmath>
#include <cstdlib>

#include "cpu_features.h"
#include "impair_chain.h"
#include "platform_memory.h"

namespace {

constexpr double kTwoPi = 6.28318530717958647692;

#if ORV_X86_VECTORS
bool use_avx(const ImpairFft* f) { return f->no_avx == 0 && cpu_has_avx(); }
#endif

// The butterflies k = 0 .. half-1 of one group: a[k] + w[k] b[k] and
// a[k] - w[k] b[k], w = wr + j sign ws.
ORV_ALWAYS_INLINE void group_scalar(int32_t from, int32_t half, double sign, const double* wr_row,
                                    const double* ws_row, double* ar, double* ai, double* br,
                                    double* bi) {
    for (int32_t k = from; k < half; ++k) {
        const double wr = wr_row[k], wi = sign * ws_row[k];
        const double xr = br[k] * wr - bi[k] * wi;
        const double xi = br[k] * wi + bi[k] * wr;
        br[k] = ar[k] - xr;
        bi[k] = ai[k] - xi;
        ar[k] += xr;
        ai[k] += xi;
    }
}

#if ORV_X86_VECTORS
// The same butterflies two (SSE2) or four (AVX) at a time: each lane takes the
// same products and sums as group_scalar, so the results are equal bit for bit.
ORV_ALWAYS_INLINE void group_sse2(int32_t half, double sign, const double* wr_row, const double* ws_row, double* ar,
                double* ai, double* br, double* bi) {
    const __m128d s = _mm_set1_pd(sign);
    int32_t k = 0;
    for (; k + 2 <= half; k += 2) {
        const __m128d wr = _mm_loadu_pd(wr_row + k), wi = _mm_mul_pd(s, _mm_loadu_pd(ws_row + k));
        const __m128d xbr = _mm_loadu_pd(br + k), xbi = _mm_loadu_pd(bi + k);
        const __m128d xr = _mm_sub_pd(_mm_mul_pd(xbr, wr), _mm_mul_pd(xbi, wi));
        const __m128d xi = _mm_add_pd(_mm_mul_pd(xbr, wi), _mm_mul_pd(xbi, wr));
        const __m128d xar = _mm_loadu_pd(ar + k), xai = _mm_loadu_pd(ai + k);
        _mm_storeu_pd(br + k, _mm_sub_pd(xar, xr));
        _mm_storeu_pd(bi + k, _mm_sub_pd(xai, xi));
        _mm_storeu_pd(ar + k, _mm_add_pd(xar, xr));
        _mm_storeu_pd(ai + k, _mm_add_pd(xai, xi));
    }
    group_scalar(k, half, sign, wr_row, ws_row, ar, ai, br, bi);
}

// The DIT butterfly of four lanes on (a, b) by twiddle (wr, wi) in registers,
// with group_scalar's operations.
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void dit_butterfly4(__m256d* ar, __m256d* ai, __m256d* br,
                                                                     __m256d* bi, __m256d wr, __m256d wi) {
    const __m256d xr = _mm256_sub_pd(_mm256_mul_pd(*br, wr), _mm256_mul_pd(*bi, wi));
    const __m256d xi = _mm256_add_pd(_mm256_mul_pd(*br, wi), _mm256_mul_pd(*bi, wr));
    *br = _mm256_sub_pd(*ar, xr);
    *bi = _mm256_sub_pd(*ai, xi);
    *ar = _mm256_add_pd(*ar, xr);
    *ai = _mm256_add_pd(*ai, xi);
}

// Four lanes of each quarter of a group of len = 4 quarter points (a: r[0..], b: r[quarter..],
// c: r[2 quarter..], d: r[3 quarter..]), real and imaginary parts.
struct Quarters {
    __m256d ar, ai, br, bi, cr, ci, dr, di;
};

__attribute__((target("avx"))) ORV_ALWAYS_INLINE Quarters load_quarters(const double* r, const double* i,
                                                                        int32_t quarter) {
    return {_mm256_loadu_pd(r), _mm256_loadu_pd(i),
            _mm256_loadu_pd(r + quarter), _mm256_loadu_pd(i + quarter),
            _mm256_loadu_pd(r + 2 * quarter), _mm256_loadu_pd(i + 2 * quarter),
            _mm256_loadu_pd(r + 3 * quarter), _mm256_loadu_pd(i + 3 * quarter)};
}

__attribute__((target("avx"))) ORV_ALWAYS_INLINE void store_quarters(const Quarters& v, double* r, double* i,
                                                                     int32_t quarter) {
    _mm256_storeu_pd(r, v.ar), _mm256_storeu_pd(i, v.ai);
    _mm256_storeu_pd(r + quarter, v.br), _mm256_storeu_pd(i + quarter, v.bi);
    _mm256_storeu_pd(r + 2 * quarter, v.cr), _mm256_storeu_pd(i + 2 * quarter, v.ci);
    _mm256_storeu_pd(r + 3 * quarter, v.dr), _mm256_storeu_pd(i + 3 * quarter, v.di);
}

// The stages of length len/2 and len in one pass over each group (quarter =
// len/4, a multiple of 4): the same butterflies per point in the same order
// as two passes, so equal bit for bit.
__attribute__((target("avx"))) void dit_two_stages_avx(int32_t n, int32_t len, double sign, const ImpairFft* f,
                                                       double* re, double* im) {
    const int32_t quarter = len >> 2, half = len >> 1;
    const __m256d s = _mm256_set1_pd(sign);
    const double* c1 = f->stage_cos + quarter;  // stage len/2: k
    const double* s1 = f->stage_sin + quarter;
    const double* c2 = f->stage_cos + half;  // stage len: k and k + quarter
    const double* s2 = f->stage_sin + half;
    for (int32_t start = 0; start < n; start += len) {
        double* r = re + start;
        double* i = im + start;
        for (int32_t k = 0; k < quarter; k += 4) {
            Quarters v = load_quarters(r + k, i + k, quarter);
            __m256d &ar = v.ar, &ai = v.ai, &br = v.br, &bi = v.bi, &cr = v.cr, &ci = v.ci, &dr = v.dr, &di = v.di;
            const __m256d wr = _mm256_loadu_pd(c1 + k), wi = _mm256_mul_pd(s, _mm256_loadu_pd(s1 + k));
            dit_butterfly4(&ar, &ai, &br, &bi, wr, wi);
            dit_butterfly4(&cr, &ci, &dr, &di, wr, wi);
            dit_butterfly4(&ar, &ai, &cr, &ci, _mm256_loadu_pd(c2 + k), _mm256_mul_pd(s, _mm256_loadu_pd(s2 + k)));
            dit_butterfly4(&br, &bi, &dr, &di, _mm256_loadu_pd(c2 + k + quarter),
                           _mm256_mul_pd(s, _mm256_loadu_pd(s2 + k + quarter)));
            store_quarters(v, r + k, i + k, quarter);
        }
    }
}

// The stages of length 4 .. n: 4 by SSE2, 8 alone when the count of the
// rest is odd, then pairs of stages.
__attribute__((target("avx"))) void stages_avx(int32_t n, double sign, const ImpairFft* f,
                                               double* re, double* im) {
    const __m256d s = _mm256_set1_pd(sign);
    for (int32_t start = 0; start < n; start += 4)
        group_sse2(2, sign, f->stage_cos + 2, f->stage_sin + 2, re + start, im + start, re + start + 2,
                   im + start + 2);
    int32_t stages = 0;
    for (int32_t l = 8; l <= n; l <<= 1) ++stages;
    int32_t len = 8;
    if (stages % 2 == 1) {
        const double* wr_row = f->stage_cos + 4;
        const double* ws_row = f->stage_sin + 4;
        const __m256d wr = _mm256_loadu_pd(wr_row), wi = _mm256_mul_pd(s, _mm256_loadu_pd(ws_row));
        for (int32_t start = 0; start < n; start += 8) {
            __m256d ar = _mm256_loadu_pd(re + start), ai = _mm256_loadu_pd(im + start);
            __m256d br = _mm256_loadu_pd(re + start + 4), bi = _mm256_loadu_pd(im + start + 4);
            dit_butterfly4(&ar, &ai, &br, &bi, wr, wi);
            _mm256_storeu_pd(re + start, ar);
            _mm256_storeu_pd(im + start, ai);
            _mm256_storeu_pd(re + start + 4, br);
            _mm256_storeu_pd(im + start + 4, bi);
        }
        len = 16;
    }
    for (; 2 * len <= n; len <<= 2) dit_two_stages_avx(n, 2 * len, sign, f, re, im);
}
#endif

// The stage of length 2 from pair `from` on: the twiddle is 1 + 0j, its
// products kept for the same sums.
ORV_ALWAYS_INLINE void first_pairs(int32_t from, int32_t n, double sign, const ImpairFft* f, double* re,
                                   double* im) {
    const double wr = f->stage_cos[1], wi = sign * f->stage_sin[1];
    for (int32_t start = 2 * from; start < n; start += 2) {
        double* ar = re + start;
        double* ai = im + start;
        const double xr = ar[1] * wr - ai[1] * wi;
        const double xi = ar[1] * wi + ai[1] * wr;
        ar[1] = ar[0] - xr;
        ai[1] = ai[0] - xi;
        ar[0] += xr;
        ai[0] += xi;
    }
}

#if ORV_X86_VECTORS
// The length-2 butterflies of eight points whose pairs (a, b) sit in lanes
// (0, 4, 2, 6) and (1, 5, 3, 7): a + b w and a - b w, stored back in point order.
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void store_length2(double* re, double* im, __m256d ar, __m256d ai,
                                                                    __m256d br, __m256d bi, __m256d wr,
                                                                    __m256d wi) {
    const __m256d xr = _mm256_sub_pd(_mm256_mul_pd(br, wr), _mm256_mul_pd(bi, wi));
    const __m256d xi = _mm256_add_pd(_mm256_mul_pd(br, wi), _mm256_mul_pd(bi, wr));
    const __m256d nar = _mm256_add_pd(ar, xr), nbr = _mm256_sub_pd(ar, xr);
    const __m256d nai = _mm256_add_pd(ai, xi), nbi = _mm256_sub_pd(ai, xi);
    _mm256_storeu_pd(re, _mm256_unpacklo_pd(nar, nbr));
    _mm256_storeu_pd(re + 4, _mm256_unpackhi_pd(nar, nbr));
    _mm256_storeu_pd(im, _mm256_unpacklo_pd(nai, nbi));
    _mm256_storeu_pd(im + 4, _mm256_unpackhi_pd(nai, nbi));
}

// first_pairs four pairs at a time: the pairs' first and second samples
// gathered into lanes, the same operations per lane, put back.
__attribute__((target("avx"))) void first_stage_avx(int32_t n, double sign, const ImpairFft* f, double* re,
                                                    double* im) {
    const __m256d wr = _mm256_set1_pd(f->stage_cos[1]), wi = _mm256_set1_pd(sign * f->stage_sin[1]);
    int32_t start = 0;
    for (; start + 8 <= n; start += 8) {
        const __m256d r0 = _mm256_loadu_pd(re + start), r1 = _mm256_loadu_pd(re + start + 4);
        const __m256d i0 = _mm256_loadu_pd(im + start), i1 = _mm256_loadu_pd(im + start + 4);
        const __m256d ar = _mm256_unpacklo_pd(r0, r1), br = _mm256_unpackhi_pd(r0, r1);
        const __m256d ai = _mm256_unpacklo_pd(i0, i1), bi = _mm256_unpackhi_pd(i0, i1);
        store_length2(re + start, im + start, ar, ai, br, bi, wr, wi);
    }
    first_pairs(start / 2, n, sign, f, re, im);
}
#endif

// The stage of length 2.
void first_stage(int32_t n, double sign, const ImpairFft* f, double* re, double* im) {
#if ORV_X86_VECTORS
    if (use_avx(f)) {
        first_stage_avx(n, sign, f, re, im);
        return;
    }
#endif
    first_pairs(0, n, sign, f, re, im);
}

// The stages of length 4 .. n.
void later_stages(int32_t n, double sign, const ImpairFft* f, double* re, double* im) {
#if ORV_X86_VECTORS
    if (use_avx(f)) {
        stages_avx(n, sign, f, re, im);
        return;
    }
#endif
    for (int32_t len = 4; len <= n; len <<= 1) {
        const int32_t half = len >> 1;
        for (int32_t start = 0; start < n; start += len) {
            double* ar = re + start;
            double* ai = im + start;
#if ORV_X86_VECTORS
            group_sse2(half, sign, f->stage_cos + half, f->stage_sin + half, ar, ai, ar + half, ai + half);
#else
            group_scalar(0, half, sign, f->stage_cos + half, f->stage_sin + half, ar, ai, ar + half, ai + half);
#endif
        }
    }
}


// ---- Decimation in frequency (natural order in, bit-reversed order out) ----

// The forward butterflies k = from .. half-1 of one group: a <- a + b,
// b <- (a - b) w, w = wr - j ws.
ORV_ALWAYS_INLINE void dif_group_scalar(int32_t from, int32_t half, const double* wr_row, const double* ws_row,
                                        double* ar, double* ai, double* br, double* bi) {
    for (int32_t k = from; k < half; ++k) {
        const double wr = wr_row[k], wi = -ws_row[k];
        const double dr = ar[k] - br[k], di = ai[k] - bi[k];
        ar[k] += br[k];
        ai[k] += bi[k];
        br[k] = dr * wr - di * wi;
        bi[k] = dr * wi + di * wr;
    }
}

// The stage of length 2 from pair `from` on: a + b and a - b (the twiddle is 1).
ORV_ALWAYS_INLINE void dif_last_pairs(int32_t from, int32_t n, double* re, double* im) {
    for (int32_t start = 2 * from; start < n; start += 2) {
        const double dr = re[start] - re[start + 1], di = im[start] - im[start + 1];
        re[start] += re[start + 1];
        im[start] += im[start + 1];
        re[start + 1] = dr;
        im[start + 1] = di;
    }
}

#if ORV_X86_VECTORS
// dif_group_scalar four butterflies at a time (the same operations per lane).
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void dif_group_avx(int32_t half, const double* wr_row,
                                                                    const double* ws_row, double* ar,
                                                                    double* ai, double* br, double* bi) {
    const __m256d minus = _mm256_set1_pd(-0.0);
    for (int32_t k = 0; k < half; k += 4) {
        const __m256d wr = _mm256_loadu_pd(wr_row + k);
        const __m256d wi = _mm256_xor_pd(minus, _mm256_loadu_pd(ws_row + k));
        const __m256d xar = _mm256_loadu_pd(ar + k), xai = _mm256_loadu_pd(ai + k);
        const __m256d xbr = _mm256_loadu_pd(br + k), xbi = _mm256_loadu_pd(bi + k);
        const __m256d dr = _mm256_sub_pd(xar, xbr), di = _mm256_sub_pd(xai, xbi);
        _mm256_storeu_pd(ar + k, _mm256_add_pd(xar, xbr));
        _mm256_storeu_pd(ai + k, _mm256_add_pd(xai, xbi));
        _mm256_storeu_pd(br + k, _mm256_sub_pd(_mm256_mul_pd(dr, wr), _mm256_mul_pd(di, wi)));
        _mm256_storeu_pd(bi + k, _mm256_add_pd(_mm256_mul_pd(dr, wi), _mm256_mul_pd(di, wr)));
    }
}

// The stages of length 4: two groups per register (their halves gathered
// into lanes 0-1 and 2-3), twiddles 1 and -j as the table holds them.
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void dif_fours_avx(int32_t n, const ImpairFft* f, double* re,
                                                                    double* im) {
    const __m128d w2r = _mm_loadu_pd(f->stage_cos + 2), w2s = _mm_loadu_pd(f->stage_sin + 2);
    const __m256d wr = _mm256_insertf128_pd(_mm256_castpd128_pd256(w2r), w2r, 1);
    const __m256d ws = _mm256_insertf128_pd(_mm256_castpd128_pd256(w2s), w2s, 1);
    const __m256d wi = _mm256_xor_pd(_mm256_set1_pd(-0.0), ws);
    int32_t start = 0;
    for (; start + 8 <= n; start += 8) {
        const __m256d r0 = _mm256_loadu_pd(re + start), r1 = _mm256_loadu_pd(re + start + 4);
        const __m256d i0 = _mm256_loadu_pd(im + start), i1 = _mm256_loadu_pd(im + start + 4);
        const __m256d ar = _mm256_permute2f128_pd(r0, r1, 0x20), br = _mm256_permute2f128_pd(r0, r1, 0x31);
        const __m256d ai = _mm256_permute2f128_pd(i0, i1, 0x20), bi = _mm256_permute2f128_pd(i0, i1, 0x31);
        const __m256d dr = _mm256_sub_pd(ar, br), di = _mm256_sub_pd(ai, bi);
        const __m256d sr = _mm256_add_pd(ar, br), si = _mm256_add_pd(ai, bi);
        const __m256d tr = _mm256_sub_pd(_mm256_mul_pd(dr, wr), _mm256_mul_pd(di, wi));
        const __m256d ti = _mm256_add_pd(_mm256_mul_pd(dr, wi), _mm256_mul_pd(di, wr));
        _mm256_storeu_pd(re + start, _mm256_permute2f128_pd(sr, tr, 0x20));
        _mm256_storeu_pd(re + start + 4, _mm256_permute2f128_pd(sr, tr, 0x31));
        _mm256_storeu_pd(im + start, _mm256_permute2f128_pd(si, ti, 0x20));
        _mm256_storeu_pd(im + start + 4, _mm256_permute2f128_pd(si, ti, 0x31));
    }
    for (; start < n; start += 4)
        dif_group_scalar(0, 2, f->stage_cos + 2, f->stage_sin + 2, re + start, im + start, re + start + 2,
                         im + start + 2);
}

// The stage of length 2, four pairs at a time.
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void dif_pairs_avx(int32_t n, double* re, double* im) {
    int32_t start = 0;
    for (; start + 8 <= n; start += 8) {
        const __m256d r0 = _mm256_loadu_pd(re + start), r1 = _mm256_loadu_pd(re + start + 4);
        const __m256d i0 = _mm256_loadu_pd(im + start), i1 = _mm256_loadu_pd(im + start + 4);
        const __m256d ar = _mm256_unpacklo_pd(r0, r1), br = _mm256_unpackhi_pd(r0, r1);
        const __m256d ai = _mm256_unpacklo_pd(i0, i1), bi = _mm256_unpackhi_pd(i0, i1);
        const __m256d sr = _mm256_add_pd(ar, br), dr = _mm256_sub_pd(ar, br);
        const __m256d si = _mm256_add_pd(ai, bi), di = _mm256_sub_pd(ai, bi);
        _mm256_storeu_pd(re + start, _mm256_unpacklo_pd(sr, dr));
        _mm256_storeu_pd(re + start + 4, _mm256_unpackhi_pd(sr, dr));
        _mm256_storeu_pd(im + start, _mm256_unpacklo_pd(si, di));
        _mm256_storeu_pd(im + start + 4, _mm256_unpackhi_pd(si, di));
    }
    dif_last_pairs(start / 2, n, re, im);
}

// The DIF butterfly of four lanes on (a, b) by twiddle (wr, wi) in registers.
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void dif_butterfly4(__m256d* ar, __m256d* ai, __m256d* br,
                                                                     __m256d* bi, __m256d wr, __m256d wi) {
    const __m256d dr = _mm256_sub_pd(*ar, *br), di = _mm256_sub_pd(*ai, *bi);
    *ar = _mm256_add_pd(*ar, *br);
    *ai = _mm256_add_pd(*ai, *bi);
    *br = _mm256_sub_pd(_mm256_mul_pd(dr, wr), _mm256_mul_pd(di, wi));
    *bi = _mm256_add_pd(_mm256_mul_pd(dr, wi), _mm256_mul_pd(di, wr));
}

// The stages of length len and len/2 in one pass over each group (quarter =
// len/4, a multiple of 4): every point meets the same butterflies, in the same
// order, as in two passes, so the values are equal bit for bit.
__attribute__((target("avx"))) void dif_two_stages_avx(const ImpairFft* f, int32_t len, double* re,
                                                       double* im) {
    const int32_t n = f->n, quarter = len >> 2, half = len >> 1;
    const __m256d minus = _mm256_set1_pd(-0.0);
    const double* c1 = f->stage_cos + half;  // stage len: k and k + quarter
    const double* s1 = f->stage_sin + half;
    const double* c2 = f->stage_cos + quarter;  // stage len/2: k
    const double* s2 = f->stage_sin + quarter;
    for (int32_t start = 0; start < n; start += len) {
        double* r = re + start;
        double* i = im + start;
        for (int32_t k = 0; k < quarter; k += 4) {
            Quarters v = load_quarters(r + k, i + k, quarter);
            __m256d &ar = v.ar, &ai = v.ai, &br = v.br, &bi = v.bi, &cr = v.cr, &ci = v.ci, &dr = v.dr, &di = v.di;
            dif_butterfly4(&ar, &ai, &cr, &ci, _mm256_loadu_pd(c1 + k),
                           _mm256_xor_pd(minus, _mm256_loadu_pd(s1 + k)));
            dif_butterfly4(&br, &bi, &dr, &di, _mm256_loadu_pd(c1 + k + quarter),
                           _mm256_xor_pd(minus, _mm256_loadu_pd(s1 + k + quarter)));
            const __m256d wr = _mm256_loadu_pd(c2 + k), wi = _mm256_xor_pd(minus, _mm256_loadu_pd(s2 + k));
            dif_butterfly4(&ar, &ai, &br, &bi, wr, wi);
            dif_butterfly4(&cr, &ci, &dr, &di, wr, wi);
            store_quarters(v, r + k, i + k, quarter);
        }
    }
}

// The forward transform's stages of length n .. 4.
__attribute__((target("avx"))) void dif_avx_to_fours(const ImpairFft* f, double* re, double* im) {
    const int32_t n = f->n;
    int32_t len = n;
    for (; len >= 16; len >>= 2) dif_two_stages_avx(f, len, re, im);
    for (; len >= 8; len >>= 1) {
        const int32_t half = len >> 1;
        for (int32_t start = 0; start < n; start += len)
            dif_group_avx(half, f->stage_cos + half, f->stage_sin + half, re + start, im + start,
                          re + start + half, im + start + half);
    }
    dif_fours_avx(n, f, re, im);
}

__attribute__((target("avx"))) void dif_avx(const ImpairFft* f, double* re, double* im) {
    dif_avx_to_fours(f, re, im);
    dif_pairs_avx(f->n, re, im);
}

// The forward transform's stage of length 2, the product by (h_re, h_im) and
// the inverse's stage of length 2 in one pass, four pairs at a time: each
// point takes dif_pairs_avx's, the product's and first_stage_avx's
// operations in turn, so the values are those of the three passes; n a
// multiple of 8.
__attribute__((target("avx"))) void pairs_product_pairs_avx(const ImpairFft* f, const double* h_re,
                                                               const double* h_im, double* re, double* im) {
    const int32_t n = f->n;
    const __m256d wr = _mm256_set1_pd(f->stage_cos[1]), wi = _mm256_set1_pd(f->stage_sin[1]);
    for (int32_t start = 0; start + 8 <= n; start += 8) {
        const __m256d r0 = _mm256_loadu_pd(re + start), r1 = _mm256_loadu_pd(re + start + 4);
        const __m256d i0 = _mm256_loadu_pd(im + start), i1 = _mm256_loadu_pd(im + start + 4);
        const __m256d hr0 = _mm256_loadu_pd(h_re + start), hr1 = _mm256_loadu_pd(h_re + start + 4);
        const __m256d hi0 = _mm256_loadu_pd(h_im + start), hi1 = _mm256_loadu_pd(h_im + start + 4);
        // Lanes hold points (0, 4, 2, 6) + start and (1, 5, 3, 7) + start.
        const __m256d ar = _mm256_unpacklo_pd(r0, r1), br = _mm256_unpackhi_pd(r0, r1);
        const __m256d ai = _mm256_unpacklo_pd(i0, i1), bi = _mm256_unpackhi_pd(i0, i1);
        const __m256d har = _mm256_unpacklo_pd(hr0, hr1), hbr = _mm256_unpackhi_pd(hr0, hr1);
        const __m256d hai = _mm256_unpacklo_pd(hi0, hi1), hbi = _mm256_unpackhi_pd(hi0, hi1);
        const __m256d sr = _mm256_add_pd(ar, br), dr = _mm256_sub_pd(ar, br);
        const __m256d si = _mm256_add_pd(ai, bi), di = _mm256_sub_pd(ai, bi);
        const __m256d pr = _mm256_sub_pd(_mm256_mul_pd(sr, har), _mm256_mul_pd(si, hai));
        const __m256d pi = _mm256_add_pd(_mm256_mul_pd(sr, hai), _mm256_mul_pd(si, har));
        const __m256d qr = _mm256_sub_pd(_mm256_mul_pd(dr, hbr), _mm256_mul_pd(di, hbi));
        const __m256d qi = _mm256_add_pd(_mm256_mul_pd(dr, hbi), _mm256_mul_pd(di, hbr));
        store_length2(re + start, im + start, pr, pi, qr, qi, wr, wi);
    }
}
#endif

// The forward transform's stages of length n .. 2.
void dif_stages(const ImpairFft* f, double* re, double* im) {
#if ORV_X86_VECTORS
    if (use_avx(f)) {
        dif_avx(f, re, im);
        return;
    }
#endif
    const int32_t n = f->n;
    for (int32_t len = n; len >= 4; len >>= 1) {
        const int32_t half = len >> 1;
        for (int32_t start = 0; start < n; start += len)
            dif_group_scalar(0, half, f->stage_cos + half, f->stage_sin + half, re + start, im + start,
                             re + start + half, im + start + half);
    }
    dif_last_pairs(0, n, re, im);
}

}  // namespace

int32_t impair_fft_open(ImpairFft* f, int32_t n) {
    f->n = 0;
    f->cos_tab = f->sin_tab = f->stage_cos = f->stage_sin = nullptr;
    f->swap = nullptr;
    f->swaps = 0;
    f->no_avx = 0;
    if (n < 4 || n > (1 << 22) || (n & (n - 1)) != 0) return 1;
    // cos and sin of n/2 angles, then each stage's twiddles in a row of their own.
    double* tab = static_cast<double*>(large_alloc(3 * static_cast<size_t>(n) * sizeof(double)));
    int32_t* swap = static_cast<int32_t*>(large_alloc(static_cast<size_t>(n) * sizeof(int32_t)));
    if (tab == nullptr || swap == nullptr) {
        large_free(tab);
        large_free(swap);
        return -1;
    }
    f->swap = swap;
    for (int32_t k = 1, j = 0; k < n; ++k) {
        int32_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (k < j) {
            swap[2 * f->swaps] = k;
            swap[2 * f->swaps + 1] = j;
            ++f->swaps;
        }
    }
    f->n = n;
    f->cos_tab = tab;
    f->sin_tab = tab + n / 2;
    for (int32_t k = 0; k < n / 2; ++k) {
        const double a = kTwoPi * k / n;
        f->cos_tab[k] = std::cos(a);
        f->sin_tab[k] = std::sin(a);
    }
    // The stage of length len takes twiddle k (k < len/2) of the angle 2 pi k / len
    // at len/2 + k: the same values as cos_tab[k n / len].
    f->stage_cos = tab + n;
    f->stage_sin = tab + 2 * n;
    f->stage_cos[0] = f->stage_sin[0] = 0.0;
    for (int32_t len = 2; len <= n; len <<= 1) {
        const int32_t half = len >> 1, step = n / len;
        for (int32_t k = 0; k < half; ++k) {
            f->stage_cos[half + k] = f->cos_tab[k * step];
            f->stage_sin[half + k] = f->sin_tab[k * step];
        }
    }
    return 0;
}

void impair_fft_close(ImpairFft* f) {
    large_free(f->cos_tab);
    large_free(f->swap);
    f->swap = nullptr;
    f->cos_tab = f->sin_tab = f->stage_cos = f->stage_sin = nullptr;
    f->n = 0;
}

void impair_fft(const ImpairFft* f, double* re, double* im, bool inverse) {
    const int32_t n = f->n;
    for (int32_t s = 0; s < f->swaps; ++s) {
        const int32_t k = f->swap[2 * s], j = f->swap[2 * s + 1];
        const double tr = re[k], ti = im[k];
        re[k] = re[j];
        im[k] = im[j];
        re[j] = tr;
        im[j] = ti;
    }
    const double sign = inverse ? 1.0 : -1.0;
    first_stage(n, sign, f, re, im);
    later_stages(n, sign, f, re, im);
    if (inverse) {
        const double scale = 1.0 / n;
        for (int32_t k = 0; k < n; ++k) {
            re[k] *= scale;
            im[k] *= scale;
        }
    }
}

void impair_fft_forward_scrambled(const ImpairFft* f, double* re, double* im) { dif_stages(f, re, im); }

void impair_fft_inverse_scrambled(const ImpairFft* f, double* re, double* im) {
    first_stage(f->n, 1.0, f, re, im);
    later_stages(f->n, 1.0, f, re, im);
}

void impair_fft_convolve_scrambled(const ImpairFft* f, const double* h_re, const double* h_im, double* re,
                                   double* im) {
    const int32_t n = f->n;
#if ORV_X86_VECTORS
    if (use_avx(f) && n >= 8) {
        // n a power of two: the fused pass takes every point.
        dif_avx_to_fours(f, re, im);
        pairs_product_pairs_avx(f, h_re, h_im, re, im);
        later_stages(n, 1.0, f, re, im);
        return;
    }
#endif
    dif_stages(f, re, im);
    for (int32_t k = 0; k < n; ++k) {
        const double a = re[k], b = im[k];
        re[k] = a * h_re[k] - b * h_im[k];
        im[k] = a * h_im[k] + b * h_re[k];
    }
    impair_fft_inverse_scrambled(f, re, im);
}
