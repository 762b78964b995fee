// The channel's circular convolution in single precision: a radix-2
// transform of floats, eight lanes of AVX. The stages of length 16 and up
// take eight neighbouring butterflies a register, two stages a pass over the
// data; the last three stages (a length-8 transform in every block of 8) run
// across the blocks of a tile of 64 points after an 8 x 8 transpose, the
// product by the response and the inverse's first three stages in the same
// registers, and with them the stages 32 and 16 where they make the last pass.
#include <cmath>
#include <cstdlib>

#include "cpu_features.h"
#include "impair_chain.h"
#include "platform_memory.h"

namespace {

constexpr double kTwoPi = 6.28318530717958647692;
constexpr int32_t kTile = 64;  // 8 blocks of 8 points
// The first points of the length-4 stage's butterflies in a block of 8.
constexpr int32_t kFours[4] = {0, 1, 4, 5};

// The forward butterflies k = 0 .. half-1 of one group: a <- a + b, b <- (a - b) w, w = c - j s.
void dif_group(int32_t half, const float* c, const float* s, float* ar, float* ai, float* br, float* bi) {
    for (int32_t k = 0; k < half; ++k) {
        const float wr = c[k], wi = -s[k];
        const float dr = ar[k] - br[k], di = ai[k] - bi[k];
        ar[k] += br[k];
        ai[k] += bi[k];
        br[k] = dr * wr - di * wi;
        bi[k] = dr * wi + di * wr;
    }
}

// The inverse butterflies k = 0 .. half-1 of one group: a + w b, a - w b, w = c + j s.
void dit_group(int32_t half, const float* c, const float* s, float* ar, float* ai, float* br, float* bi) {
    for (int32_t k = 0; k < half; ++k) {
        const float wr = c[k], wi = s[k];
        const float xr = br[k] * wr - bi[k] * wi, xi = br[k] * wi + bi[k] * wr;
        br[k] = ar[k] - xr;
        bi[k] = ai[k] - xi;
        ar[k] += xr;
        ai[k] += xi;
    }
}

// The length-2 butterflies of the forward and the inverse (twiddle 1): a + b, a - b.
void pair_group(float* ar, float* ai, float* br, float* bi) {
    const float dr = *ar - *br, di = *ai - *bi;
    *ar += *br;
    *ai += *bi;
    *br = dr;
    *bi = di;
}

// One block of 8 points (stride apart): the forward's stages 8, 4, 2, the
// product by h (hs apart) and the inverse's stages 2, 4, 8.
void block_plain(const ImpairFftSingle* f, const float* hr, const float* hi, int32_t hs, float* r, float* i,
                 int32_t stride) {
    float xr[8], xi[8];
    for (int32_t m = 0; m < 8; ++m) xr[m] = r[m * stride], xi[m] = i[m * stride];
    const float* c = f->stage_cos;
    const float* s = f->stage_sin;
    for (int32_t m = 0; m < 4; ++m) dif_group(1, c + 4 + m, s + 4 + m, xr + m, xi + m, xr + m + 4, xi + m + 4);
    for (const int32_t m : kFours) dif_group(1, c + 2 + m % 2, s + 2 + m % 2, xr + m, xi + m, xr + m + 2, xi + m + 2);
    for (int32_t m = 0; m < 8; m += 2) pair_group(xr + m, xi + m, xr + m + 1, xi + m + 1);
    for (int32_t m = 0; m < 8; ++m) {
        const float a = xr[m], b = xi[m], h_re = hr[m * hs], h_im = hi[m * hs];
        xr[m] = a * h_re - b * h_im;
        xi[m] = a * h_im + b * h_re;
    }
    for (int32_t m = 0; m < 8; m += 2) pair_group(xr + m, xi + m, xr + m + 1, xi + m + 1);
    for (const int32_t m : kFours) dit_group(1, c + 2 + m % 2, s + 2 + m % 2, xr + m, xi + m, xr + m + 2, xi + m + 2);
    for (int32_t m = 0; m < 4; ++m) dit_group(1, c + 4 + m, s + 4 + m, xr + m, xi + m, xr + m + 4, xi + m + 4);
    for (int32_t m = 0; m < 8; ++m) r[m * stride] = xr[m], i[m * stride] = xi[m];
}

void convolve_plain(const ImpairFftSingle* f, const float* h_re, const float* h_im, float* re, float* im) {
    const int32_t n = f->n;
    for (int32_t len = n; len >= 16; len >>= 1) {
        const int32_t half = len >> 1;
        for (int32_t start = 0; start < n; start += len)
            dif_group(half, f->stage_cos + half, f->stage_sin + half, re + start, im + start, re + start + half,
                      im + start + half);
    }
    // Point m of block b of tile t meets h at t 64 + m 8 + (b mod 8).
    for (int32_t b = 0; b < n / 8; ++b) {
        const int32_t h = (b / 8) * kTile + b % 8;
        block_plain(f, h_re + h, h_im + h, 8, re + 8 * b, im + 8 * b, 1);
    }
    for (int32_t len = 16; len <= n; len <<= 1) {
        const int32_t half = len >> 1;
        for (int32_t start = 0; start < n; start += len)
            dit_group(half, f->stage_cos + half, f->stage_sin + half, re + start, im + start, re + start + half,
                      im + start + half);
    }
}

#if ORV_X86_VECTORS
// Four registers transposed within each 128-bit half (register m lane l <-
// register l lane m, l and m of 0..3, and the same in lanes 4..7).
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void transpose4_lanes(__m256* v) {
    const __m256 t0 = _mm256_unpacklo_ps(v[0], v[1]), t1 = _mm256_unpackhi_ps(v[0], v[1]);
    const __m256 t2 = _mm256_unpacklo_ps(v[2], v[3]), t3 = _mm256_unpackhi_ps(v[2], v[3]);
    v[0] = _mm256_shuffle_ps(t0, t2, 0x44), v[1] = _mm256_shuffle_ps(t0, t2, 0xEE);
    v[2] = _mm256_shuffle_ps(t1, t3, 0x44), v[3] = _mm256_shuffle_ps(t1, t3, 0xEE);
}

// Registers m and m + 4 exchange halves: m <- (low m, low m + 4), m + 4 <- (high m, high m + 4).
// With transpose4_lanes on registers 0..3 and 4..7, before or after it, the
// eight registers are transposed (register m lane l <- register l lane m).
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void swap_halves(__m256* v, int32_t m) {
    const __m256 lo = _mm256_permute2f128_ps(v[m], v[m + 4], 0x20), hi = _mm256_permute2f128_ps(v[m], v[m + 4], 0x31);
    v[m] = lo;
    v[m + 4] = hi;
}

// Eight registers of eight lanes transposed (register m lane l <- register l lane m).
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void transpose8(__m256* v) {
    transpose4_lanes(v);
    transpose4_lanes(v + 4);
    for (int32_t m = 0; m < 4; ++m) swap_halves(v, m);
}

// The forward butterfly (a, b) <- (a + b, (a - b) w) in registers, w = wr + j wi.
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void dif8(__m256* r, __m256* i, int32_t a, int32_t b, __m256 wr,
                                                           __m256 wi) {
    const __m256 dr = _mm256_sub_ps(r[a], r[b]), di = _mm256_sub_ps(i[a], i[b]);
    r[a] = _mm256_add_ps(r[a], r[b]);
    i[a] = _mm256_add_ps(i[a], i[b]);
    r[b] = _mm256_sub_ps(_mm256_mul_ps(dr, wr), _mm256_mul_ps(di, wi));
    i[b] = _mm256_add_ps(_mm256_mul_ps(dr, wi), _mm256_mul_ps(di, wr));
}

// The inverse butterfly (a, b) <- (a + w b, a - w b) in registers.
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void dit8(__m256* r, __m256* i, int32_t a, int32_t b, __m256 wr,
                                                           __m256 wi) {
    const __m256 xr = _mm256_sub_ps(_mm256_mul_ps(r[b], wr), _mm256_mul_ps(i[b], wi));
    const __m256 xi = _mm256_add_ps(_mm256_mul_ps(r[b], wi), _mm256_mul_ps(i[b], wr));
    r[b] = _mm256_sub_ps(r[a], xr);
    i[b] = _mm256_sub_ps(i[a], xi);
    r[a] = _mm256_add_ps(r[a], xr);
    i[a] = _mm256_add_ps(i[a], xi);
}

// dif8 with w = wr - j s, the sine as the table holds it: (a - b) w's parts as
// dr wr + di s and di wr - dr s (with -s, dif8's products are these negated,
// and x - (-y) is x + y: the same values).
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void dif8_sine(__m256* r, __m256* i, int32_t a, int32_t b, __m256 wr,
                                                                __m256 s) {
    const __m256 dr = _mm256_sub_ps(r[a], r[b]), di = _mm256_sub_ps(i[a], i[b]);
    r[a] = _mm256_add_ps(r[a], r[b]);
    i[a] = _mm256_add_ps(i[a], i[b]);
    r[b] = _mm256_add_ps(_mm256_mul_ps(dr, wr), _mm256_mul_ps(di, s));
    i[b] = _mm256_sub_ps(_mm256_mul_ps(di, wr), _mm256_mul_ps(dr, s));
}

// The length-2 butterfly (a, b) <- (a + b, a - b) in registers.
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void pair8(__m256* r, __m256* i, int32_t a, int32_t b) {
    const __m256 dr = _mm256_sub_ps(r[a], r[b]), di = _mm256_sub_ps(i[a], i[b]);
    r[a] = _mm256_add_ps(r[a], r[b]);
    i[a] = _mm256_add_ps(i[a], i[b]);
    r[b] = dr;
    i[b] = di;
}

// The tiles: block_plain's operations with the 8 blocks of a tile in the
// lanes; kWide: the forward's stages 32 and 16 before them and the inverse's
// 16 and 32 after them in the same registers (dif_two_stages_avx's and
// dit_two_stages_avx's butterflies for len 32, on the tile's two blocks of 32).
// The twiddles of the stages 8 and 4 broadcast, in memory: read as operands
// of the products (held in registers they pushed the tile out to the stack).
enum TileTwiddle { kC8 = 0, kS8 = 4, kMs8 = 8, kC4 = 12, kS4 = 14, kMs4 = 16, kTileTwiddles = 18 };

// The compiler may not keep loads of tw in registers across this point.
ORV_ALWAYS_INLINE void reread(const void* tw) { asm volatile("" : : "r"(tw) : "memory"); }

template <bool kWide>
__attribute__((target("avx"))) void tiles_avx(const ImpairFftSingle* f, const float* h_re, const float* h_im,
                                              float* re, float* im) {
    const int32_t n = f->n;
    const float* c32 = f->stage_cos + 16;
    const float* s32 = f->stage_sin + 16;
    const float* c16 = f->stage_cos + 8;
    const float* s16 = f->stage_sin + 8;
    __m256 tw[kTileTwiddles];
    const __m256 minus = _mm256_set1_ps(-0.0f);
    for (int32_t m = 0; m < 4; ++m) {
        tw[kC8 + m] = _mm256_set1_ps(f->stage_cos[4 + m]), tw[kS8 + m] = _mm256_set1_ps(f->stage_sin[4 + m]);
        tw[kMs8 + m] = _mm256_xor_ps(minus, tw[kS8 + m]);
    }
    for (int32_t m = 0; m < 2; ++m) {
        tw[kC4 + m] = _mm256_set1_ps(f->stage_cos[2 + m]), tw[kS4 + m] = _mm256_set1_ps(f->stage_sin[2 + m]);
        tw[kMs4 + m] = _mm256_xor_ps(minus, tw[kS4 + m]);
    }
    for (int32_t t = 0; t < n; t += kTile) {
        __m256 r[8], i[8];
        reread(tw);
        for (int32_t m = 0; m < 8; ++m) r[m] = _mm256_loadu_ps(re + t + 8 * m), i[m] = _mm256_loadu_ps(im + t + 8 * m);
        if (kWide) {
            for (int32_t b = 0; b < 8; b += 4) {
                dif8_sine(r, i, b, b + 2, _mm256_loadu_ps(c32), _mm256_loadu_ps(s32));
                dif8_sine(r, i, b + 1, b + 3, _mm256_loadu_ps(c32 + 8), _mm256_loadu_ps(s32 + 8));
                dif8_sine(r, i, b, b + 1, _mm256_loadu_ps(c16), _mm256_loadu_ps(s16));
                dif8_sine(r, i, b + 2, b + 3, _mm256_loadu_ps(c16), _mm256_loadu_ps(s16));
            }
        }
        transpose8(r);
        transpose8(i);
        for (int32_t m = 0; m < 4; ++m) dif8(r, i, m, m + 4, tw[kC8 + m], tw[kMs8 + m]);
        // The halves m = 0..3 and 4..7 apart until the inverse's stage 8.
#pragma GCC unroll 2
        for (int32_t h = 0; h < 8; h += 4) {
            reread(tw);
            dif8(r, i, h, h + 2, tw[kC4], tw[kMs4]);
            dif8(r, i, h + 1, h + 3, tw[kC4 + 1], tw[kMs4 + 1]);
            for (int32_t m = h; m < h + 4; m += 2) pair8(r, i, m, m + 1);
            for (int32_t m = h; m < h + 4; ++m) {
                const __m256 hr = _mm256_loadu_ps(h_re + t + 8 * m), hi = _mm256_loadu_ps(h_im + t + 8 * m);
                const __m256 a = r[m], b = i[m];
                r[m] = _mm256_sub_ps(_mm256_mul_ps(a, hr), _mm256_mul_ps(b, hi));
                i[m] = _mm256_add_ps(_mm256_mul_ps(a, hi), _mm256_mul_ps(b, hr));
            }
            for (int32_t m = h; m < h + 4; m += 2) pair8(r, i, m, m + 1);
            reread(tw);
            dit8(r, i, h, h + 2, tw[kC4], tw[kS4]);
            dit8(r, i, h + 1, h + 3, tw[kC4 + 1], tw[kS4 + 1]);
        }
        reread(tw);
        for (int32_t m = 0; m < 4; ++m) dit8(r, i, m, m + 4, tw[kC8 + m], tw[kS8 + m]);
        transpose8(r);
        transpose8(i);
        if (kWide) {
            for (int32_t b = 0; b < 8; b += 4) {
                dit8(r, i, b, b + 1, _mm256_loadu_ps(c16), _mm256_loadu_ps(s16));
                dit8(r, i, b + 2, b + 3, _mm256_loadu_ps(c16), _mm256_loadu_ps(s16));
                dit8(r, i, b, b + 2, _mm256_loadu_ps(c32), _mm256_loadu_ps(s32));
                dit8(r, i, b + 1, b + 3, _mm256_loadu_ps(c32 + 8), _mm256_loadu_ps(s32 + 8));
            }
        }
        for (int32_t m = 0; m < 8; ++m) _mm256_storeu_ps(re + t + 8 * m, r[m]), _mm256_storeu_ps(im + t + 8 * m, i[m]);
    }
}

// Four quarters of eight lanes: a, b, c, d at k, k + q, k + 2q, k + 3q.
struct QuarterRegs {
    __m256 r[4], i[4];
};

__attribute__((target("avx"))) ORV_ALWAYS_INLINE void load_q(QuarterRegs* v, const float* re, const float* im,
                                                             int32_t q) {
    for (int32_t j = 0; j < 4; ++j) v->r[j] = _mm256_loadu_ps(re + j * q), v->i[j] = _mm256_loadu_ps(im + j * q);
}

__attribute__((target("avx"))) ORV_ALWAYS_INLINE void store_q(const QuarterRegs& v, float* re, float* im, int32_t q) {
    for (int32_t j = 0; j < 4; ++j) _mm256_storeu_ps(re + j * q, v.r[j]), _mm256_storeu_ps(im + j * q, v.i[j]);
}

// dif_two_stages_avx's butterflies on the points at r, i and q, 2q, 3q on
// (c1, s1: the stage of len's twiddles there, c2, s2: len/2's).
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void dif_quarters(float* r, float* i, int32_t q, const float* c1,
                                                                   const float* s1, const float* c2,
                                                                   const float* s2) {
    QuarterRegs v;
    load_q(&v, r, i, q);
    dif8_sine(v.r, v.i, 0, 2, _mm256_loadu_ps(c1), _mm256_loadu_ps(s1));
    dif8_sine(v.r, v.i, 1, 3, _mm256_loadu_ps(c1 + q), _mm256_loadu_ps(s1 + q));
    const __m256 wr = _mm256_loadu_ps(c2), ws = _mm256_loadu_ps(s2);
    dif8_sine(v.r, v.i, 0, 1, wr, ws);
    dif8_sine(v.r, v.i, 2, 3, wr, ws);
    store_q(v, r, i, q);
}

// The forward stages of length len and len/2 in one pass (quarter = len/4 a
// multiple of 8): each point meets dif_group's butterflies in the same order.
__attribute__((target("avx"))) void dif_two_stages_avx(const ImpairFftSingle* f, int32_t len, float* re, float* im) {
    const int32_t n = f->n, q = len >> 2;
    const float* c1 = f->stage_cos + 2 * q;
    const float* s1 = f->stage_sin + 2 * q;
    const float* c2 = f->stage_cos + q;
    const float* s2 = f->stage_sin + q;
    for (int32_t start = 0; start < n; start += len)
        for (int32_t k = 0; k < q; k += 8)
            dif_quarters(re + start + k, im + start + k, q, c1 + k, s1 + k, c2 + k, s2 + k);
}

// The forward stages of length len, len/2 and len/4 in one pass (e = len/8 a
// multiple of 8): points k + j e, j = 0..7, through dif_group's butterflies.
__attribute__((target("avx"))) void dif_three_stages_avx(const ImpairFftSingle* f, int32_t len, float* re,
                                                         float* im) {
    const int32_t n = f->n, e = len >> 3;
    const float* c1 = f->stage_cos + 4 * e;
    const float* s1 = f->stage_sin + 4 * e;
    const float* c2 = f->stage_cos + 2 * e;
    const float* s2 = f->stage_sin + 2 * e;
    const float* c3 = f->stage_cos + e;
    const float* s3 = f->stage_sin + e;
    for (int32_t start = 0; start < n; start += len) {
        for (int32_t k = 0; k < e; k += 8) {
            float* pr = re + start + k;
            float* pi = im + start + k;
            __m256 r[8], i[8];
            for (int32_t j = 0; j < 4; ++j) {
                r[j] = _mm256_loadu_ps(pr + j * e), i[j] = _mm256_loadu_ps(pi + j * e);
                r[j + 4] = _mm256_loadu_ps(pr + (j + 4) * e), i[j + 4] = _mm256_loadu_ps(pi + (j + 4) * e);
                dif8_sine(r, i, j, j + 4, _mm256_loadu_ps(c1 + k + j * e), _mm256_loadu_ps(s1 + k + j * e));
            }
            // Each half through its last two stages and out (fewer registers held).
            for (int32_t h = 0; h < 8; h += 4) {
                dif8_sine(r, i, h, h + 2, _mm256_loadu_ps(c2 + k), _mm256_loadu_ps(s2 + k));
                dif8_sine(r, i, h + 1, h + 3, _mm256_loadu_ps(c2 + k + e), _mm256_loadu_ps(s2 + k + e));
                const __m256 wr = _mm256_loadu_ps(c3 + k), ws = _mm256_loadu_ps(s3 + k);
                dif8_sine(r, i, h, h + 1, wr, ws);
                dif8_sine(r, i, h + 2, h + 3, wr, ws);
                for (int32_t j = h; j < h + 4; ++j)
                    _mm256_storeu_ps(pr + j * e, r[j]), _mm256_storeu_ps(pi + j * e, i[j]);
            }
        }
    }
}

// The inverse stages of length len/4, len/2 and len in one pass (as dif_three_stages_avx).
__attribute__((target("avx"))) void dit_three_stages_avx(const ImpairFftSingle* f, int32_t len, float* re,
                                                         float* im) {
    const int32_t n = f->n, e = len >> 3;
    const float* c1 = f->stage_cos + e;
    const float* s1 = f->stage_sin + e;
    const float* c2 = f->stage_cos + 2 * e;
    const float* s2 = f->stage_sin + 2 * e;
    const float* c3 = f->stage_cos + 4 * e;
    const float* s3 = f->stage_sin + 4 * e;
    for (int32_t start = 0; start < n; start += len) {
        for (int32_t k = 0; k < e; k += 8) {
            float* pr = re + start + k;
            float* pi = im + start + k;
            __m256 r[8], i[8];
            // Each half through its first two stages (fewer registers held).
            for (int32_t h = 0; h < 8; h += 4) {
                for (int32_t j = h; j < h + 4; ++j) r[j] = _mm256_loadu_ps(pr + j * e), i[j] = _mm256_loadu_ps(pi + j * e);
                const __m256 wr = _mm256_loadu_ps(c1 + k), ws = _mm256_loadu_ps(s1 + k);
                dit8(r, i, h, h + 1, wr, ws);
                dit8(r, i, h + 2, h + 3, wr, ws);
                dit8(r, i, h, h + 2, _mm256_loadu_ps(c2 + k), _mm256_loadu_ps(s2 + k));
                dit8(r, i, h + 1, h + 3, _mm256_loadu_ps(c2 + k + e), _mm256_loadu_ps(s2 + k + e));
            }
            for (int32_t j = 0; j < 4; ++j) {
                dit8(r, i, j, j + 4, _mm256_loadu_ps(c3 + k + j * e), _mm256_loadu_ps(s3 + k + j * e));
                _mm256_storeu_ps(pr + j * e, r[j]), _mm256_storeu_ps(pi + j * e, i[j]);
                _mm256_storeu_ps(pr + (j + 4) * e, r[j + 4]), _mm256_storeu_ps(pi + (j + 4) * e, i[j + 4]);
            }
        }
    }
}

// dit_two_stages_avx's butterflies on the points at r, i and q, 2q, 3q on
// (c1, s1: the stage of len/2's twiddles there, c2, s2: len's).
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void dit_quarters(float* r, float* i, int32_t q, const float* c1,
                                                                   const float* s1, const float* c2,
                                                                   const float* s2) {
    QuarterRegs v;
    load_q(&v, r, i, q);
    const __m256 wr = _mm256_loadu_ps(c1), wi = _mm256_loadu_ps(s1);
    dit8(v.r, v.i, 0, 1, wr, wi);
    dit8(v.r, v.i, 2, 3, wr, wi);
    dit8(v.r, v.i, 0, 2, _mm256_loadu_ps(c2), _mm256_loadu_ps(s2));
    dit8(v.r, v.i, 1, 3, _mm256_loadu_ps(c2 + q), _mm256_loadu_ps(s2 + q));
    store_q(v, r, i, q);
}

// The inverse stages of length len/2 and len in one pass (as dif_two_stages_avx).
__attribute__((target("avx"))) void dit_two_stages_avx(const ImpairFftSingle* f, int32_t len, float* re, float* im) {
    const int32_t n = f->n, q = len >> 2;
    const float* c1 = f->stage_cos + q;
    const float* s1 = f->stage_sin + q;
    const float* c2 = f->stage_cos + 2 * q;
    const float* s2 = f->stage_sin + 2 * q;
    for (int32_t start = 0; start < n; start += len)
        for (int32_t k = 0; k < q; k += 8)
            dit_quarters(re + start + k, im + start + k, q, c1 + k, s1 + k, c2 + k, s2 + k);
}

// The forward's passes of the stages from length n down to 16 (three or
// more of them, n at least a tile): two stages a pass, the last three of an
// odd count in one; into passes (stages each), returning their count.
int32_t plan_passes(int32_t n, int32_t* passes) {
    int32_t stages = 0, count = 0;
    for (int32_t len = n; len >= 16; len >>= 1) ++stages;
    while (stages > 0) {
        const int32_t p = stages == 3 ? 3 : 2;
        passes[count++] = p;
        stages -= p;
    }
    return count;
}

__attribute__((target("avx"))) void convolve_avx(const ImpairFftSingle* f, const float* h_re, const float* h_im,
                                                 float* re, float* im) {
    const int32_t n = f->n;
    int32_t passes[24];
    const int32_t count = plan_passes(n, passes);
    // A last pass of two stages (those of 32 and 16) runs in the tiles' registers.
    const int32_t wide = passes[count - 1] == 2 ? 1 : 0;
    int32_t len = n;
    for (int32_t p = 0; p < count - wide; ++p) {
        if (passes[p] == 3) {
            dif_three_stages_avx(f, len, re, im);
        } else {
            dif_two_stages_avx(f, len, re, im);
        }
        len >>= passes[p];
    }
    if (wide != 0) {
        tiles_avx<true>(f, h_re, h_im, re, im);
    } else {
        tiles_avx<false>(f, h_re, h_im, re, im);
    }
    for (int32_t p = count - 1 - wide; p >= 0; --p) {
        len <<= passes[p];
        if (passes[p] == 3) {
            dit_three_stages_avx(f, len, re, im);
        } else {
            dit_two_stages_avx(f, len, re, im);
        }
    }
}
#endif

}  // namespace

int32_t impair_fft_single_open(ImpairFftSingle* f, int32_t n) {
    f->n = 0;
    f->stage_cos = f->stage_sin = nullptr;
    f->no_avx = 0;
    if (n < kTile || n > (1 << 22) || (n & (n - 1)) != 0) return 1;
    float* tab = static_cast<float*>(large_alloc(2 * static_cast<size_t>(n) * sizeof(float)));
    if (tab == nullptr) return -1;
    f->n = n;
    f->stage_cos = tab;
    f->stage_sin = tab + n;
    f->stage_cos[0] = f->stage_sin[0] = 0.0f;
    for (int32_t len = 2; len <= n; len <<= 1) {
        const int32_t half = len >> 1;
        for (int32_t k = 0; k < half; ++k) {
            const double a = kTwoPi * k / len;
            f->stage_cos[half + k] = static_cast<float>(std::cos(a));
            f->stage_sin[half + k] = static_cast<float>(std::sin(a));
        }
    }
    return 0;
}

void impair_fft_single_close(ImpairFftSingle* f) {
    large_free(f->stage_cos);
    f->stage_cos = f->stage_sin = nullptr;
    f->n = 0;
}

void impair_fft_single_response(const ImpairFftSingle* f, const double* scr_re, const double* scr_im, float* h_re,
                                float* h_im) {
    for (int32_t t = 0; t < f->n; t += kTile) {
        for (int32_t m = 0; m < 8; ++m) {
            for (int32_t l = 0; l < 8; ++l) {
                h_re[t + 8 * m + l] = static_cast<float>(scr_re[t + 8 * l + m]);
                h_im[t + 8 * m + l] = static_cast<float>(scr_im[t + 8 * l + m]);
            }
        }
    }
}

void impair_fft_single_convolve(const ImpairFftSingle* f, const float* h_re, const float* h_im, float* re,
                                float* im) {
#if ORV_X86_VECTORS
    if (f->no_avx == 0 && cpu_has_avx()) {
        convolve_avx(f, h_re, h_im, re, im);
        return;
    }
#endif
    convolve_plain(f, h_re, h_im, re, im);
}
