// The impairments' random streams: xoshiro256** seeded through splitmix64,
// normal deviates by Marsaglia and Tsang's ziggurat (128 layers), complex
// white Gaussian noise, and the stream noise of four lanes per block (Box and
// Muller's transform in single precision, on AVX2 eight samples at a time).
#include <cmath>
#include <cstdint>
#include <cstring>

#include "cpu_features.h"
#include "impair_chain.h"
#include "impair_noise.h"

namespace {

uint64_t splitmix64(uint64_t* x) {
    uint64_t z = (*x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

uint64_t next_u64(ImpairRng* g) {
    uint64_t* s = g->s;
    const uint64_t result = rotl(s[1] * 5, 7) * 9;
    const uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
}

// The ziggurat's layers (Marsaglia and Tsang, "The Ziggurat Method for
// Generating Random Variables", 2000): thresholds k, widths w, heights f.
struct Ziggurat {
    uint32_t k[128];
    double w[128], f[128];
    Ziggurat() {
        const double m1 = 2147483648.0, vn = 9.91256303526217e-3;
        double dn = 3.442619855899, tn = dn;
        const double q = vn / std::exp(-0.5 * dn * dn);
        k[0] = static_cast<uint32_t>((dn / q) * m1);
        k[1] = 0;
        w[0] = q / m1;
        w[127] = dn / m1;
        f[0] = 1.0;
        f[127] = std::exp(-0.5 * dn * dn);
        for (int i = 126; i >= 1; --i) {
            dn = std::sqrt(-2.0 * std::log(vn / dn + std::exp(-0.5 * dn * dn)));
            k[i + 1] = static_cast<uint32_t>((dn / tn) * m1);
            tn = dn;
            f[i] = std::exp(-0.5 * dn * dn);
            w[i] = dn / m1;
        }
    }
};

const Ziggurat& ziggurat() {
    static const Ziggurat z;
    return z;
}

constexpr double kZigguratR = 3.442619855899;

// A signed 32-bit draw.
int32_t next_i32(ImpairRng* g) { return static_cast<int32_t>(static_cast<uint32_t>(next_u64(g) >> 32)); }

// The slow path: the base strip's tail, or a wedge between layers.
double ziggurat_fix(ImpairRng* g, const Ziggurat& z, int32_t hz, uint32_t iz) {
    for (;;) {
        const double x = hz * z.w[iz];
        if (iz == 0) {
            double t, y;
            do {
                t = -std::log(impair_uniform(g)) / kZigguratR;
                y = -std::log(impair_uniform(g));
            } while (y + y < t * t);
            return hz > 0 ? kZigguratR + t : -kZigguratR - t;
        }
        if (z.f[iz] + impair_uniform(g) * (z.f[iz - 1] - z.f[iz]) < std::exp(-0.5 * x * x)) return x;
        hz = next_i32(g);
        iz = static_cast<uint32_t>(hz) & 127u;
        const uint32_t mag = hz < 0 ? 0u - static_cast<uint32_t>(hz) : static_cast<uint32_t>(hz);
        if (mag < z.k[iz]) return hz * z.w[iz];
    }
}

}  // namespace

void impair_rng_seed(ImpairRng* g, uint64_t seed, uint64_t stream, uint64_t index) {
    uint64_t x = seed;
    const uint64_t a = splitmix64(&x);
    x = a ^ (stream * 0xD1B54A32D192ED03ull);
    const uint64_t b = splitmix64(&x);
    x = b ^ (index * 0x8CB92BA72F3D8DD7ull);
    for (uint64_t& word : g->s) word = splitmix64(&x);
}

uint64_t impair_u64(ImpairRng* g) { return next_u64(g); }

double impair_uniform(ImpairRng* g) {
    // 53 random bits, offset by half a step: never 0, never 1.
    return (static_cast<double>(next_u64(g) >> 11) + 0.5) * 0x1.0p-53;
}

namespace {

// The normal deviate of the signed 32-bit draw hz (more draws from g on the slow path).
inline double normal_of(ImpairRng* g, const Ziggurat& z, int32_t hz) {
    const uint32_t iz = static_cast<uint32_t>(hz) & 127u;
    const uint32_t mag = hz < 0 ? 0u - static_cast<uint32_t>(hz) : static_cast<uint32_t>(hz);
    if (mag < z.k[iz]) return hz * z.w[iz];
    return ziggurat_fix(g, z, hz, iz);
}

}  // namespace

double impair_normal(ImpairRng* g) { return normal_of(g, ziggurat(), next_i32(g)); }

void impair_normals(ImpairRng* g, int32_t n, double* out) {
    const Ziggurat& z = ziggurat();
    // normal_of's steps on a local copy of the stream, handed back for the slow path's draws.
    ImpairRng r = *g;
    for (int32_t k = 0; k < n; ++k) {
        const int32_t hz = next_i32(&r);
        const uint32_t iz = static_cast<uint32_t>(hz) & 127u;
        const uint32_t mag = hz < 0 ? 0u - static_cast<uint32_t>(hz) : static_cast<uint32_t>(hz);
        if (mag < z.k[iz]) {
            out[k] = hz * z.w[iz];
            continue;
        }
        *g = r;
        out[k] = ziggurat_fix(g, z, hz, iz);
        r = *g;
    }
    *g = r;
}

void add_complex_noise(ImpairRng* g, int32_t n, double sigma2, double* i, double* q) {
    const double a = std::sqrt(0.5 * sigma2);
    const Ziggurat& z = ziggurat();
    for (int32_t k = 0; k < n; ++k) {
        // Both halves of one 64-bit draw: the high one for I, the low one for Q.
        const uint64_t u = next_u64(g);
        const double x = normal_of(g, z, static_cast<int32_t>(static_cast<uint32_t>(u >> 32)));
        const double y = normal_of(g, z, static_cast<int32_t>(static_cast<uint32_t>(u)));
        i[k] += a * x;
        q[k] += a * y;
    }
}


// ---- The stream noise in blocks of four lanes ---------------------------------
//
// One 64-bit draw gives a sample's complex deviate by Box and Muller's
// transform: u = (hi + 0.5) 2^-32 from the high half (never 0), the angle
// 2 pi (lo + 0.5) 2^-32 from the low half, I = r cos, Q = r sin with
// r = sqrt(-2 ln u). Single precision is enough for noise: the deviates are
// good to about 1e-7 relative for the u taken (u rounded to single precision,
// so radii below 3e-4, one draw in 10^7, come in steps), far below anything
// measured from them, and r reaches sqrt(66 ln 2) = 6.8 sigma. No
// rejection: one draw per sample.
// ln, sin and cos are this file's polynomials, so the plain and the AVX2
// loops do the same float operations in the same order and give the same bits.

namespace {

// ln m = s (2 + z (2/3 + z (2/5 + z (2/7 + z 2/9)))), s = (m - 1) / (m + 1),
// z = s^2, for m in [sqrt(1/2), sqrt(2)); sin and cos by their Taylor series
// to x^9 and x^8 on [-pi/4, pi/4].
constexpr float kLn2f = 0.693147182f;
constexpr float kL0 = 2.0f, kL1 = 2.0f / 3.0f, kL2 = 2.0f / 5.0f, kL3 = 2.0f / 7.0f, kL4 = 2.0f / 9.0f;
constexpr float kS1 = -1.0f / 6.0f, kS2 = 1.0f / 120.0f, kS3 = -1.0f / 5040.0f, kS4 = 1.0f / 362880.0f;
constexpr float kC1 = -0.5f, kC2 = 1.0f / 24.0f, kC3 = -1.0f / 720.0f, kC4 = 1.0f / 40320.0f;
constexpr float kAngleStep = 6.28318530717958647692f * 0x1.0p-32f;  // radians per step of 32 bits
constexpr uint32_t kSqrtHalfBits = 0x3f3504f3u;                      // sqrt(1/2) as a float's bits

float float_of(uint32_t b) {
    float f;
    std::memcpy(&f, &b, sizeof f);
    return f;
}

uint32_t bits_of(float f) {
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

// ln u for a normal u in (0, 1]: u = 2^k m, m in [sqrt(1/2), sqrt(2)).
float log_unit(float u) {
    const uint32_t ix = bits_of(u) + (0x3f800000u - kSqrtHalfBits);
    const int32_t k = static_cast<int32_t>(ix >> 23) - 127;
    const float m = float_of((ix & 0x007fffffu) + kSqrtHalfBits);
    const float f = m - 1.0f;
    const float s = f / (2.0f + f);
    const float z = s * s;
    const float ln_m = s * (kL0 + z * (kL1 + z * (kL2 + z * (kL3 + z * kL4))));
    return static_cast<float>(k) * kLn2f + ln_m;
}

}  // namespace

void stream_normal_pair(uint64_t draw, float* x, float* y) {
    const uint32_t hi = static_cast<uint32_t>(draw >> 32), lo = static_cast<uint32_t>(draw);
    // hi in float from its two exact 16-bit halves (one rounding).
    const float h = static_cast<float>(static_cast<int32_t>(hi >> 16)) * 65536.0f +
                    static_cast<float>(static_cast<int32_t>(hi & 0xffffu));
    const float u = (h + 0.5f) * 0x1.0p-32f;
    const float r = std::sqrt(-2.0f * log_unit(u));
    // The nearest quadrant q and the angle t from it, t in [-pi/4, pi/4].
    const uint32_t w = lo + 0x20000000u;
    const uint32_t quadrant = w >> 30;
    const int32_t steps = static_cast<int32_t>(w & 0x3fffffffu) - 0x20000000;
    const float t = (static_cast<float>(steps) + 0.5f) * kAngleStep;
    const float z = t * t;
    const float sin_t = t + t * (z * (kS1 + z * (kS2 + z * (kS3 + z * kS4))));
    const float cos_t = 1.0f + z * (kC1 + z * (kC2 + z * (kC3 + z * kC4)));
    const float c = (quadrant & 1u) != 0 ? sin_t : cos_t;
    const float s = (quadrant & 1u) != 0 ? cos_t : sin_t;
    const uint32_t neg_c = (((quadrant + 1u) >> 1) & 1u) << 31, neg_s = ((quadrant >> 1) & 1u) << 31;
    *x = r * float_of(bits_of(c) ^ neg_c);
    *y = r * float_of(bits_of(s) ^ neg_s);
}

namespace {

// The lane's state as one generator, and back.
inline void lane_get(const NoiseLanes* g, int32_t l, ImpairRng* r) {
    for (int32_t w = 0; w < 4; ++w) r->s[w] = g->s[w][l];
}

inline void lane_put(NoiseLanes* g, int32_t l, const ImpairRng* r) {
    for (int32_t w = 0; w < 4; ++w) g->s[w][l] = r->s[w];
}

void seed_block(NoiseLanes* g, int64_t block) {
    for (int32_t l = 0; l < kNoiseLanes; ++l) {
        ImpairRng r;
        impair_rng_seed(&r, g->seed, kStreamNoise, static_cast<uint64_t>(block) * kNoiseLanes + l);
        lane_put(g, l, &r);
    }
    g->block = block;
    g->at = 0;
}

// The first of n samples from g->at on that lane l draws for (n if none).
inline int32_t lane_first(const NoiseLanes* g, int32_t l) {
    return (l - (g->at & (kNoiseLanes - 1)) + kNoiseLanes) & (kNoiseLanes - 1);
}

// Adds a times the deviates of block samples at..at+n-1, lane by lane,
// each over its own samples with its state in registers.
void lanes_add_plain(NoiseLanes* g, int32_t n, float a, double* i, double* q) {
    for (int32_t l = 0; l < kNoiseLanes; ++l) {
        ImpairRng r;
        lane_get(g, l, &r);
        for (int32_t k = lane_first(g, l); k < n; k += kNoiseLanes) {
            float x, y;
            stream_normal_pair(next_u64(&r), &x, &y);
            i[k] += static_cast<double>(a * x);
            q[k] += static_cast<double>(a * y);
        }
        lane_put(g, l, &r);
    }
    g->at += n;
}

// lanes_add_plain into interleaved single-precision samples, summed in single
// precision: iq[2 k] += a x, iq[2 k + 1] += a y. The same bits as widening,
// adding a x in double and rounding back: double has more than twice single's
// 24 bits plus two, so the sum rounded twice is the sum rounded once.
void lanes_add_iq_plain(NoiseLanes* g, int32_t n, float a, float* iq) {
    for (int32_t l = 0; l < kNoiseLanes; ++l) {
        ImpairRng r;
        lane_get(g, l, &r);
        for (int32_t k = lane_first(g, l); k < n; k += kNoiseLanes) {
            float x, y;
            stream_normal_pair(next_u64(&r), &x, &y);
            iq[2 * k] += a * x;
            iq[2 * k + 1] += a * y;
        }
        lane_put(g, l, &r);
    }
    g->at += n;
}

// Moves the lanes on by the draws of n samples, adding them to nothing.
void lanes_skip(NoiseLanes* g, int32_t n) {
    for (int32_t l = 0; l < kNoiseLanes; ++l) {
        ImpairRng r;
        lane_get(g, l, &r);
        for (int32_t k = lane_first(g, l); k < n; k += kNoiseLanes) next_u64(&r);
        lane_put(g, l, &r);
    }
    g->at += n;
}

#if ORV_X86_VECTORS
#define ORV_AVX2 __attribute__((target("avx2")))

template <int K>
ORV_AVX2 ORV_ALWAYS_INLINE __m256i rotl4(__m256i x) {
    return _mm256_or_si256(_mm256_slli_epi64(x, K), _mm256_srli_epi64(x, 64 - K));
}

// One xoshiro256** step of the four lanes (word w of lane l in element l of s[w]).
ORV_AVX2 ORV_ALWAYS_INLINE __m256i next4(__m256i* s) {
    const __m256i times5 = _mm256_add_epi64(_mm256_slli_epi64(s[1], 2), s[1]);
    const __m256i rot = rotl4<7>(times5);
    const __m256i result = _mm256_add_epi64(_mm256_slli_epi64(rot, 3), rot);
    const __m256i t = _mm256_slli_epi64(s[1], 17);
    s[2] = _mm256_xor_si256(s[2], s[0]);
    s[3] = _mm256_xor_si256(s[3], s[1]);
    s[1] = _mm256_xor_si256(s[1], s[2]);
    s[0] = _mm256_xor_si256(s[0], s[3]);
    s[2] = _mm256_xor_si256(s[2], t);
    s[3] = rotl4<45>(s[3]);
    return result;
}

// stream_normal_pair of eight samples: hi and lo hold the halves of their draws.
ORV_AVX2 ORV_ALWAYS_INLINE void normal_pairs8(__m256i hi, __m256i lo, __m256* x, __m256* y) {
    const __m256i low16 = _mm256_set1_epi32(0xffff);
    const __m256 h = _mm256_add_ps(
        _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_srli_epi32(hi, 16)), _mm256_set1_ps(65536.0f)),
        _mm256_cvtepi32_ps(_mm256_and_si256(hi, low16)));
    const __m256 u = _mm256_mul_ps(_mm256_add_ps(h, _mm256_set1_ps(0.5f)), _mm256_set1_ps(0x1.0p-32f));
    // log_unit(u)
    const __m256i ix = _mm256_add_epi32(_mm256_castps_si256(u), _mm256_set1_epi32(0x3f800000 - kSqrtHalfBits));
    const __m256i k = _mm256_sub_epi32(_mm256_srli_epi32(ix, 23), _mm256_set1_epi32(127));
    const __m256 m = _mm256_castsi256_ps(_mm256_add_epi32(_mm256_and_si256(ix, _mm256_set1_epi32(0x007fffff)),
                                                          _mm256_set1_epi32(kSqrtHalfBits)));
    const __m256 f = _mm256_sub_ps(m, _mm256_set1_ps(1.0f));
    const __m256 s = _mm256_div_ps(f, _mm256_add_ps(_mm256_set1_ps(2.0f), f));
    const __m256 z = _mm256_mul_ps(s, s);
    __m256 p = _mm256_add_ps(_mm256_set1_ps(kL3), _mm256_mul_ps(z, _mm256_set1_ps(kL4)));
    p = _mm256_add_ps(_mm256_set1_ps(kL2), _mm256_mul_ps(z, p));
    p = _mm256_add_ps(_mm256_set1_ps(kL1), _mm256_mul_ps(z, p));
    p = _mm256_add_ps(_mm256_set1_ps(kL0), _mm256_mul_ps(z, p));
    const __m256 ln_u = _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(k), _mm256_set1_ps(kLn2f)),
                                      _mm256_mul_ps(s, p));
    const __m256 r = _mm256_sqrt_ps(_mm256_mul_ps(_mm256_set1_ps(-2.0f), ln_u));
    // The angle from its nearest quadrant.
    const __m256i w = _mm256_add_epi32(lo, _mm256_set1_epi32(0x20000000));
    const __m256i quadrant = _mm256_srli_epi32(w, 30);
    const __m256i steps = _mm256_sub_epi32(_mm256_and_si256(w, _mm256_set1_epi32(0x3fffffff)),
                                           _mm256_set1_epi32(0x20000000));
    const __m256 t = _mm256_mul_ps(_mm256_add_ps(_mm256_cvtepi32_ps(steps), _mm256_set1_ps(0.5f)),
                                   _mm256_set1_ps(kAngleStep));
    const __m256 tz = _mm256_mul_ps(t, t);
    __m256 ps = _mm256_add_ps(_mm256_set1_ps(kS3), _mm256_mul_ps(tz, _mm256_set1_ps(kS4)));
    ps = _mm256_add_ps(_mm256_set1_ps(kS2), _mm256_mul_ps(tz, ps));
    ps = _mm256_add_ps(_mm256_set1_ps(kS1), _mm256_mul_ps(tz, ps));
    const __m256 sin_t = _mm256_add_ps(t, _mm256_mul_ps(t, _mm256_mul_ps(tz, ps)));
    __m256 pc = _mm256_add_ps(_mm256_set1_ps(kC3), _mm256_mul_ps(tz, _mm256_set1_ps(kC4)));
    pc = _mm256_add_ps(_mm256_set1_ps(kC2), _mm256_mul_ps(tz, pc));
    pc = _mm256_add_ps(_mm256_set1_ps(kC1), _mm256_mul_ps(tz, pc));
    const __m256 cos_t = _mm256_add_ps(_mm256_set1_ps(1.0f), _mm256_mul_ps(tz, pc));
    const __m256i one = _mm256_set1_epi32(1);
    const __m256 odd = _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_and_si256(quadrant, one), one));
    const __m256 c = _mm256_blendv_ps(cos_t, sin_t, odd);
    const __m256 sn = _mm256_blendv_ps(sin_t, cos_t, odd);
    const __m256i neg_c = _mm256_slli_epi32(_mm256_and_si256(_mm256_srli_epi32(_mm256_add_epi32(quadrant, one), 1), one), 31);
    const __m256i neg_s = _mm256_slli_epi32(_mm256_and_si256(_mm256_srli_epi32(quadrant, 1), one), 31);
    *x = _mm256_mul_ps(r, _mm256_xor_ps(c, _mm256_castsi256_ps(neg_c)));
    *y = _mm256_mul_ps(r, _mm256_xor_ps(sn, _mm256_castsi256_ps(neg_s)));
}

// i[k..k+3] += a * x[0..3] (as doubles), and so on for the upper four.
ORV_AVX2 ORV_ALWAYS_INLINE void add8(__m256 a, __m256 x, double* i) {
    const __m256 ax = _mm256_mul_ps(a, x);
    const __m256d lo = _mm256_cvtps_pd(_mm256_castps256_ps128(ax));
    const __m256d hi = _mm256_cvtps_pd(_mm256_extractf128_ps(ax, 1));
    _mm256_storeu_pd(i, _mm256_add_pd(_mm256_loadu_pd(i), lo));
    _mm256_storeu_pd(i + 4, _mm256_add_pd(_mm256_loadu_pd(i + 4), hi));
}

// The halves of the draws of samples k..k+7 from two steps of the lanes, in order of sample.
ORV_AVX2 ORV_ALWAYS_INLINE void halves8(__m256i* s, __m256i* hi, __m256i* lo) {
    const __m256 d0 = _mm256_castsi256_ps(next4(s));  // samples k..k+3
    const __m256 d1 = _mm256_castsi256_ps(next4(s));  // samples k+4..k+7
    // The shuffle gives samples 0 1 4 5 2 3 6 7; the permute puts them in order.
    *hi = _mm256_permute4x64_epi64(_mm256_castps_si256(_mm256_shuffle_ps(d0, d1, _MM_SHUFFLE(3, 1, 3, 1))),
                                   _MM_SHUFFLE(3, 1, 2, 0));
    *lo = _mm256_permute4x64_epi64(_mm256_castps_si256(_mm256_shuffle_ps(d0, d1, _MM_SHUFFLE(2, 0, 2, 0))),
                                   _MM_SHUFFLE(3, 1, 2, 0));
}

// The deviates of samples k..k+7 from two steps of the lanes (in order of sample).
ORV_AVX2 ORV_ALWAYS_INLINE void next_pairs8(__m256i* s, __m256* x, __m256* y) {
    __m256i hi, lo;
    halves8(s, &hi, &lo);
    normal_pairs8(hi, lo, x, y);
}

// lanes_add_plain (iq null) or lanes_add_iq_plain (i and q null) for n a
// multiple of eight, g->at at lane 0.
ORV_AVX2 void lanes_add_avx2(NoiseLanes* g, int32_t n, float a, double* i, double* q, float* iq) {
    __m256i s[4];
    for (int32_t w = 0; w < 4; ++w) s[w] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g->s[w]));
    const __m256 va = _mm256_set1_ps(a);
    for (int32_t k = 0; k < n; k += 8) {
        __m256 x, y;
        next_pairs8(s, &x, &y);
        if (iq == nullptr) {
            add8(va, x, i + k);
            add8(va, y, q + k);
            continue;
        }
        // Interleaved: unpacking gives samples 0 1 | 4 5 and 2 3 | 6 7.
        const __m256 ax = _mm256_mul_ps(va, x), ay = _mm256_mul_ps(va, y);
        const __m256 xy01 = _mm256_unpacklo_ps(ax, ay), xy23 = _mm256_unpackhi_ps(ax, ay);
        float* at = iq + 2 * k;
        _mm256_storeu_ps(at, _mm256_add_ps(_mm256_loadu_ps(at), _mm256_permute2f128_ps(xy01, xy23, 0x20)));
        _mm256_storeu_ps(at + 8, _mm256_add_ps(_mm256_loadu_ps(at + 8), _mm256_permute2f128_ps(xy01, xy23, 0x31)));
    }
    for (int32_t w = 0; w < 4; ++w) _mm256_storeu_si256(reinterpret_cast<__m256i*>(g->s[w]), s[w]);
    g->at += n;
}
#endif

#if ORV_X86_VECTORS
#define ORV_AVX512 __attribute__((target("avx512f,avx2")))
// GCC 12's AVX-512 intrinsics start from an undefined register that it then
// reports as maybe uninitialised (GCC bug 105593); the results do not depend on it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// normal_pairs8's operations on sixteen samples (AVX-512F), a selection by mask instead of blendv.
ORV_AVX512 ORV_ALWAYS_INLINE void normal_pairs16(__m512i hi, __m512i lo, __m512* x, __m512* y) {
    const __m512 h = _mm512_add_ps(
        _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_srli_epi32(hi, 16)), _mm512_set1_ps(65536.0f)),
        _mm512_cvtepi32_ps(_mm512_and_si512(hi, _mm512_set1_epi32(0xffff))));
    const __m512 u = _mm512_mul_ps(_mm512_add_ps(h, _mm512_set1_ps(0.5f)), _mm512_set1_ps(0x1.0p-32f));
    const __m512i ix = _mm512_add_epi32(_mm512_castps_si512(u), _mm512_set1_epi32(0x3f800000 - kSqrtHalfBits));
    const __m512i k = _mm512_sub_epi32(_mm512_srli_epi32(ix, 23), _mm512_set1_epi32(127));
    const __m512 m = _mm512_castsi512_ps(_mm512_add_epi32(_mm512_and_si512(ix, _mm512_set1_epi32(0x007fffff)),
                                                          _mm512_set1_epi32(kSqrtHalfBits)));
    const __m512 f = _mm512_sub_ps(m, _mm512_set1_ps(1.0f));
    const __m512 s = _mm512_div_ps(f, _mm512_add_ps(_mm512_set1_ps(2.0f), f));
    const __m512 z = _mm512_mul_ps(s, s);
    __m512 p = _mm512_add_ps(_mm512_set1_ps(kL3), _mm512_mul_ps(z, _mm512_set1_ps(kL4)));
    p = _mm512_add_ps(_mm512_set1_ps(kL2), _mm512_mul_ps(z, p));
    p = _mm512_add_ps(_mm512_set1_ps(kL1), _mm512_mul_ps(z, p));
    p = _mm512_add_ps(_mm512_set1_ps(kL0), _mm512_mul_ps(z, p));
    const __m512 ln_u = _mm512_add_ps(_mm512_mul_ps(_mm512_cvtepi32_ps(k), _mm512_set1_ps(kLn2f)),
                                      _mm512_mul_ps(s, p));
    const __m512 r = _mm512_sqrt_ps(_mm512_mul_ps(_mm512_set1_ps(-2.0f), ln_u));
    const __m512i w = _mm512_add_epi32(lo, _mm512_set1_epi32(0x20000000));
    const __m512i quadrant = _mm512_srli_epi32(w, 30);
    const __m512i steps = _mm512_sub_epi32(_mm512_and_si512(w, _mm512_set1_epi32(0x3fffffff)),
                                           _mm512_set1_epi32(0x20000000));
    const __m512 t = _mm512_mul_ps(_mm512_add_ps(_mm512_cvtepi32_ps(steps), _mm512_set1_ps(0.5f)),
                                   _mm512_set1_ps(kAngleStep));
    const __m512 tz = _mm512_mul_ps(t, t);
    __m512 ps = _mm512_add_ps(_mm512_set1_ps(kS3), _mm512_mul_ps(tz, _mm512_set1_ps(kS4)));
    ps = _mm512_add_ps(_mm512_set1_ps(kS2), _mm512_mul_ps(tz, ps));
    ps = _mm512_add_ps(_mm512_set1_ps(kS1), _mm512_mul_ps(tz, ps));
    const __m512 sin_t = _mm512_add_ps(t, _mm512_mul_ps(t, _mm512_mul_ps(tz, ps)));
    __m512 pc = _mm512_add_ps(_mm512_set1_ps(kC3), _mm512_mul_ps(tz, _mm512_set1_ps(kC4)));
    pc = _mm512_add_ps(_mm512_set1_ps(kC2), _mm512_mul_ps(tz, pc));
    pc = _mm512_add_ps(_mm512_set1_ps(kC1), _mm512_mul_ps(tz, pc));
    const __m512 cos_t = _mm512_add_ps(_mm512_set1_ps(1.0f), _mm512_mul_ps(tz, pc));
    const __m512i one = _mm512_set1_epi32(1);
    const __mmask16 odd = _mm512_test_epi32_mask(quadrant, one);
    const __m512 c = _mm512_mask_blend_ps(odd, cos_t, sin_t);
    const __m512 sn = _mm512_mask_blend_ps(odd, sin_t, cos_t);
    const __m512i neg_c = _mm512_slli_epi32(_mm512_and_si512(_mm512_srli_epi32(_mm512_add_epi32(quadrant, one), 1), one), 31);
    const __m512i neg_s = _mm512_slli_epi32(_mm512_and_si512(_mm512_srli_epi32(quadrant, 1), one), 31);
    *x = _mm512_mul_ps(r, _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(c), neg_c)));
    *y = _mm512_mul_ps(r, _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(sn), neg_s)));
}

// a in the low half, b in the high half.
ORV_AVX512 ORV_ALWAYS_INLINE __m512i join8(__m256i a, __m256i b) {
    return _mm512_inserti64x4(_mm512_castsi256_si512(a), b, 1);
}

// i[k..k+7] += a * x[0..7] (as doubles), and so on for the upper eight.
ORV_AVX512 ORV_ALWAYS_INLINE void add16(__m512 a, __m512 x, double* i) {
    const __m512 ax = _mm512_mul_ps(a, x);
    const __m512d lo = _mm512_cvtps_pd(_mm512_castps512_ps256(ax));
    const __m512d hi = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(ax), 1)));
    _mm512_storeu_pd(i, _mm512_add_pd(_mm512_loadu_pd(i), lo));
    _mm512_storeu_pd(i + 8, _mm512_add_pd(_mm512_loadu_pd(i + 8), hi));
}

// Element indices of the interleaved pairs of unpacklo (0..15) and unpackhi (16..31) in order of sample.
alignas(64) constexpr int32_t kPairsFirst[16] = {0, 1, 2, 3, 16, 17, 18, 19, 4, 5, 6, 7, 20, 21, 22, 23};
alignas(64) constexpr int32_t kPairsSecond[16] = {8, 9, 10, 11, 24, 25, 26, 27, 12, 13, 14, 15, 28, 29, 30, 31};

// lanes_add_avx2 sixteen samples at a time (AVX-512F): n a multiple of sixteen, g->at at lane 0.
ORV_AVX512 void lanes_add_avx512(NoiseLanes* g, int32_t n, float a, double* i, double* q, float* iq) {
    __m256i s[4];
    for (int32_t w = 0; w < 4; ++w) s[w] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g->s[w]));
    const __m512 va = _mm512_set1_ps(a);
    const __m512i first = _mm512_load_si512(kPairsFirst), second = _mm512_load_si512(kPairsSecond);
    for (int32_t k = 0; k < n; k += 16) {
        __m256i hi0, lo0, hi1, lo1;
        halves8(s, &hi0, &lo0);  // samples k..k+7
        halves8(s, &hi1, &lo1);  // samples k+8..k+15
        __m512 x, y;
        normal_pairs16(join8(hi0, hi1), join8(lo0, lo1), &x, &y);
        if (iq == nullptr) {
            add16(va, x, i + k);
            add16(va, y, q + k);
            continue;
        }
        const __m512 ax = _mm512_mul_ps(va, x), ay = _mm512_mul_ps(va, y);
        const __m512 pairs_lo = _mm512_unpacklo_ps(ax, ay), pairs_hi = _mm512_unpackhi_ps(ax, ay);
        float* at = iq + 2 * k;
        _mm512_storeu_ps(at, _mm512_add_ps(_mm512_loadu_ps(at), _mm512_permutex2var_ps(pairs_lo, first, pairs_hi)));
        _mm512_storeu_ps(at + 16,
                         _mm512_add_ps(_mm512_loadu_ps(at + 16), _mm512_permutex2var_ps(pairs_lo, second, pairs_hi)));
    }
    for (int32_t w = 0; w < 4; ++w) _mm256_storeu_si256(reinterpret_cast<__m256i*>(g->s[w]), s[w]);
    g->at += n;
}
#pragma GCC diagnostic pop
#endif

#if ORV_X86_VECTORS && defined(__SSE2__)
// The four-sample loop for processors without AVX2 (SSE2 is there on every
// x86-64): the same operations as normal_pairs8 on four floats, a selection
// by masks instead of blendv.
ORV_ALWAYS_INLINE __m128i next2(__m128i* s) {
    const __m128i times5 = _mm_add_epi64(_mm_slli_epi64(s[1], 2), s[1]);
    const __m128i rot = _mm_or_si128(_mm_slli_epi64(times5, 7), _mm_srli_epi64(times5, 57));
    const __m128i result = _mm_add_epi64(_mm_slli_epi64(rot, 3), rot);
    const __m128i t = _mm_slli_epi64(s[1], 17);
    s[2] = _mm_xor_si128(s[2], s[0]);
    s[3] = _mm_xor_si128(s[3], s[1]);
    s[1] = _mm_xor_si128(s[1], s[2]);
    s[0] = _mm_xor_si128(s[0], s[3]);
    s[2] = _mm_xor_si128(s[2], t);
    s[3] = _mm_or_si128(_mm_slli_epi64(s[3], 45), _mm_srli_epi64(s[3], 19));
    return result;
}

// mask ? b : a, bit by bit.
ORV_ALWAYS_INLINE __m128 select4(__m128 mask, __m128 a, __m128 b) {
    return _mm_or_ps(_mm_and_ps(mask, b), _mm_andnot_ps(mask, a));
}

ORV_ALWAYS_INLINE void normal_pairs4(__m128i hi, __m128i lo, __m128* x, __m128* y) {
    const __m128 h = _mm_add_ps(_mm_mul_ps(_mm_cvtepi32_ps(_mm_srli_epi32(hi, 16)), _mm_set1_ps(65536.0f)),
                                _mm_cvtepi32_ps(_mm_and_si128(hi, _mm_set1_epi32(0xffff))));
    const __m128 u = _mm_mul_ps(_mm_add_ps(h, _mm_set1_ps(0.5f)), _mm_set1_ps(0x1.0p-32f));
    const __m128i ix = _mm_add_epi32(_mm_castps_si128(u), _mm_set1_epi32(0x3f800000 - kSqrtHalfBits));
    const __m128i k = _mm_sub_epi32(_mm_srli_epi32(ix, 23), _mm_set1_epi32(127));
    const __m128 m = _mm_castsi128_ps(
        _mm_add_epi32(_mm_and_si128(ix, _mm_set1_epi32(0x007fffff)), _mm_set1_epi32(kSqrtHalfBits)));
    const __m128 f = _mm_sub_ps(m, _mm_set1_ps(1.0f));
    const __m128 s = _mm_div_ps(f, _mm_add_ps(_mm_set1_ps(2.0f), f));
    const __m128 z = _mm_mul_ps(s, s);
    __m128 p = _mm_add_ps(_mm_set1_ps(kL3), _mm_mul_ps(z, _mm_set1_ps(kL4)));
    p = _mm_add_ps(_mm_set1_ps(kL2), _mm_mul_ps(z, p));
    p = _mm_add_ps(_mm_set1_ps(kL1), _mm_mul_ps(z, p));
    p = _mm_add_ps(_mm_set1_ps(kL0), _mm_mul_ps(z, p));
    const __m128 ln_u = _mm_add_ps(_mm_mul_ps(_mm_cvtepi32_ps(k), _mm_set1_ps(kLn2f)), _mm_mul_ps(s, p));
    const __m128 r = _mm_sqrt_ps(_mm_mul_ps(_mm_set1_ps(-2.0f), ln_u));
    const __m128i w = _mm_add_epi32(lo, _mm_set1_epi32(0x20000000));
    const __m128i quadrant = _mm_srli_epi32(w, 30);
    const __m128i steps =
        _mm_sub_epi32(_mm_and_si128(w, _mm_set1_epi32(0x3fffffff)), _mm_set1_epi32(0x20000000));
    const __m128 t = _mm_mul_ps(_mm_add_ps(_mm_cvtepi32_ps(steps), _mm_set1_ps(0.5f)), _mm_set1_ps(kAngleStep));
    const __m128 tz = _mm_mul_ps(t, t);
    __m128 ps = _mm_add_ps(_mm_set1_ps(kS3), _mm_mul_ps(tz, _mm_set1_ps(kS4)));
    ps = _mm_add_ps(_mm_set1_ps(kS2), _mm_mul_ps(tz, ps));
    ps = _mm_add_ps(_mm_set1_ps(kS1), _mm_mul_ps(tz, ps));
    const __m128 sin_t = _mm_add_ps(t, _mm_mul_ps(t, _mm_mul_ps(tz, ps)));
    __m128 pc = _mm_add_ps(_mm_set1_ps(kC3), _mm_mul_ps(tz, _mm_set1_ps(kC4)));
    pc = _mm_add_ps(_mm_set1_ps(kC2), _mm_mul_ps(tz, pc));
    pc = _mm_add_ps(_mm_set1_ps(kC1), _mm_mul_ps(tz, pc));
    const __m128 cos_t = _mm_add_ps(_mm_set1_ps(1.0f), _mm_mul_ps(tz, pc));
    const __m128i one = _mm_set1_epi32(1);
    const __m128 odd = _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_and_si128(quadrant, one), one));
    const __m128 c = select4(odd, cos_t, sin_t);
    const __m128 sn = select4(odd, sin_t, cos_t);
    const __m128i neg_c = _mm_slli_epi32(_mm_and_si128(_mm_srli_epi32(_mm_add_epi32(quadrant, one), 1), one), 31);
    const __m128i neg_s = _mm_slli_epi32(_mm_and_si128(_mm_srli_epi32(quadrant, 1), one), 31);
    *x = _mm_mul_ps(r, _mm_xor_ps(c, _mm_castsi128_ps(neg_c)));
    *y = _mm_mul_ps(r, _mm_xor_ps(sn, _mm_castsi128_ps(neg_s)));
}

// i[k..k+3] += a x[0..3], each product widened.
ORV_ALWAYS_INLINE void add4(__m128 a, __m128 x, double* i) {
    const __m128 ax = _mm_mul_ps(a, x);
    _mm_storeu_pd(i, _mm_add_pd(_mm_loadu_pd(i), _mm_cvtps_pd(ax)));
    _mm_storeu_pd(i + 2, _mm_add_pd(_mm_loadu_pd(i + 2), _mm_cvtps_pd(_mm_movehl_ps(ax, ax))));
}

// lanes_add_avx2 four samples at a time: n a multiple of four, g->at at lane 0.
void lanes_add_sse2(NoiseLanes* g, int32_t n, float a, double* i, double* q, float* iq) {
    __m128i s[2][4];  // lanes 0 1, and 2 3
    for (int32_t w = 0; w < 4; ++w) {
        s[0][w] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g->s[w]));
        s[1][w] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g->s[w] + 2));
    }
    const __m128 va = _mm_set1_ps(a);
    for (int32_t k = 0; k < n; k += 4) {
        const __m128 d01 = _mm_castsi128_ps(next2(s[0])), d23 = _mm_castsi128_ps(next2(s[1]));
        const __m128i hi = _mm_castps_si128(_mm_shuffle_ps(d01, d23, _MM_SHUFFLE(3, 1, 3, 1)));
        const __m128i lo = _mm_castps_si128(_mm_shuffle_ps(d01, d23, _MM_SHUFFLE(2, 0, 2, 0)));
        __m128 x, y;
        normal_pairs4(hi, lo, &x, &y);
        if (iq == nullptr) {
            add4(va, x, i + k);
            add4(va, y, q + k);
            continue;
        }
        const __m128 ax = _mm_mul_ps(va, x), ay = _mm_mul_ps(va, y);
        float* at = iq + 2 * k;
        _mm_storeu_ps(at, _mm_add_ps(_mm_loadu_ps(at), _mm_unpacklo_ps(ax, ay)));
        _mm_storeu_ps(at + 4, _mm_add_ps(_mm_loadu_ps(at + 4), _mm_unpackhi_ps(ax, ay)));
    }
    for (int32_t w = 0; w < 4; ++w) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(g->s[w]), s[0][w]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(g->s[w] + 2), s[1][w]);
    }
    g->at += n;
}
#endif

// Adds a times the deviates of block samples at..at+n-1 to i and q, or
// (i and q null) to the interleaved single-precision samples iq.
void lanes_add(NoiseLanes* g, int32_t n, float a, double* i, double* q, float* iq) {
    const auto plain = [&](int32_t from, int32_t m) {
        if (iq != nullptr) lanes_add_iq_plain(g, m, a, iq + 2 * from);
        else lanes_add_plain(g, m, a, i + from, q + from);
    };
    const int32_t to_lane0 = (kNoiseLanes - (g->at & (kNoiseLanes - 1))) & (kNoiseLanes - 1);
    const int32_t lead = to_lane0 < n ? to_lane0 : n;
    float* iq_at = iq != nullptr ? iq + 2 * lead : nullptr;
    double* i_at = iq != nullptr ? nullptr : i + lead;
    double* q_at = iq != nullptr ? nullptr : q + lead;
#if ORV_X86_VECTORS
    if ((g->path == 0 || g->path == 3) && cpu_has_avx2()) {
        plain(0, lead);
        const int32_t sixteens = g->path == 0 && cpu_has_avx512() ? (n - lead) / 16 * 16 : 0;
        if (sixteens > 0) {
            lanes_add_avx512(g, sixteens, a, i_at, q_at, iq_at);
            i_at = i_at != nullptr ? i_at + sixteens : nullptr;
            q_at = q_at != nullptr ? q_at + sixteens : nullptr;
            iq_at = iq_at != nullptr ? iq_at + 2 * sixteens : nullptr;
        }
        const int32_t eights = (n - lead - sixteens) / 8 * 8;
        lanes_add_avx2(g, eights, a, i_at, q_at, iq_at);
        plain(lead + sixteens + eights, n - lead - sixteens - eights);
        return;
    }
#endif
#if ORV_X86_VECTORS && defined(__SSE2__)
    if (g->path <= 1) {
        plain(0, lead);
        const int32_t fours = (n - lead) / 4 * 4;
        lanes_add_sse2(g, fours, a, i_at, q_at, iq_at);
        plain(lead + fours, n - lead - fours);
        return;
    }
#endif
    plain(0, n);
}

// add_stream_noise to i and q, or (both null) to iq.
void stream_noise(NoiseLanes* g, int64_t first, int32_t n, double sigma2, double* i, double* q, float* iq) {
    const float a = static_cast<float>(std::sqrt(0.5 * sigma2));
    for (int32_t k = 0; k < n;) {
        const int64_t at = first + k;
        const int64_t block = at / kNoiseBlock;
        const int32_t offset = static_cast<int32_t>(at - block * kNoiseBlock);
        if (block != g->block || offset < g->at) seed_block(g, block);
        if (g->at < offset) lanes_skip(g, offset - g->at);  // draws up to the first sample asked for
        const int32_t m = kNoiseBlock - offset < n - k ? kNoiseBlock - offset : n - k;
        if (iq != nullptr) lanes_add(g, m, a, nullptr, nullptr, iq + 2 * k);
        else lanes_add(g, m, a, i + k, q + k, nullptr);
        k += m;
    }
}

}  // namespace

void noise_lanes_reset(NoiseLanes* g, uint64_t seed) {
    *g = NoiseLanes{};
    g->seed = seed;
    g->block = -1;
}

void add_stream_noise(NoiseLanes* g, int64_t first, int32_t n, double sigma2, double* i, double* q) {
    stream_noise(g, first, n, sigma2, i, q, nullptr);
}

void add_stream_noise_iq(NoiseLanes* g, int64_t first, int32_t n, double sigma2, float* iq) {
    stream_noise(g, first, n, sigma2, nullptr, nullptr, iq);
}
