// The impairments' random streams: xoshiro256** seeded through splitmix64,
// normal deviates by Marsaglia and Tsang's ziggurat (128 layers), complex
// white Gaussian noise, and the stream noise of four lanes per block.
#include <cmath>
#include <cstdint>

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

// The two deviates of block sample j, from its lane.
inline void lane_pair(NoiseLanes* g, const Ziggurat& z, int32_t j, double* x, double* y) {
    ImpairRng r;
    const int32_t l = j & (kNoiseLanes - 1);
    lane_get(g, l, &r);
    const uint64_t u = next_u64(&r);
    *x = normal_of(&r, z, static_cast<int32_t>(static_cast<uint32_t>(u >> 32)));
    *y = normal_of(&r, z, static_cast<int32_t>(static_cast<uint32_t>(u)));
    lane_put(g, l, &r);
}

// Adds a times the deviates of block samples at..at+n-1 (the plain loop).
void lanes_plain(NoiseLanes* g, const Ziggurat& z, int32_t n, double a, double* i, double* q) {
    for (int32_t k = 0; k < n; ++k) {
        double x, y;
        lane_pair(g, z, g->at + k, &x, &y);
        i[k] += a * x;
        q[k] += a * y;
    }
    g->at += n;
}

#if ORV_X86_VECTORS
bool cpu_has_avx2() {
#if defined(_WIN32)
    return false;  // as cpu_has_avx: no 32-byte spills on a 16-byte aligned stack
#else
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
#endif
}

__attribute__((target("avx2"))) inline __m256i rotl_avx2(__m256i x, int k) {
    return _mm256_or_si256(_mm256_slli_epi64(x, k), _mm256_srli_epi64(x, 64 - k));
}

// The quads of lanes_plain (at a multiple of four, n of them): the four lanes
// step together in vectors, the fast path of all eight deviates at once; a
// quad with a slow deviate runs the plain code of its lanes from the same
// draws. Returns the samples done.
__attribute__((target("avx2"))) int32_t lanes_avx2(NoiseLanes* g, const Ziggurat& z, int32_t n,
                                                    double a, double* i, double* q) {
    __m256i s0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g->s[0]));
    __m256i s1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g->s[1]));
    __m256i s2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g->s[2]));
    __m256i s3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g->s[3]));
    const __m256i high_first = _mm256_setr_epi32(1, 3, 5, 7, 0, 2, 4, 6);
    const __m256i layer = _mm256_set1_epi32(127);
    const __m256i flip = _mm256_set1_epi32(INT32_MIN);
    const __m256d av = _mm256_set1_pd(a);
    const int* k_table = reinterpret_cast<const int*>(z.k);
    int32_t k = 0;
    for (; k + 4 <= n; k += 4) {
        // result = rotl(s1 * 5, 7) * 9, as shifts and adds.
        const __m256i m5 = _mm256_add_epi64(_mm256_slli_epi64(s1, 2), s1);
        const __m256i r7 = rotl_avx2(m5, 7);
        const __m256i u = _mm256_add_epi64(_mm256_slli_epi64(r7, 3), r7);
        const __m256i t = _mm256_slli_epi64(s1, 17);
        s2 = _mm256_xor_si256(s2, s0);
        s3 = _mm256_xor_si256(s3, s1);
        s1 = _mm256_xor_si256(s1, s2);
        s0 = _mm256_xor_si256(s0, s3);
        s2 = _mm256_xor_si256(s2, t);
        s3 = rotl_avx2(s3, 45);
        // The high halves (I) of lanes 0..3, then the low halves (Q).
        const __m256i hz = _mm256_permutevar8x32_epi32(u, high_first);
        const __m256i iz = _mm256_and_si256(hz, layer);
        const __m256i mag = _mm256_abs_epi32(hz);
        const __m256i kz = _mm256_i32gather_epi32(k_table, iz, 4);
        // mag < k unsigned (k is below 2^31; mag may be 2^31).
        const __m256i fast = _mm256_cmpgt_epi32(_mm256_xor_si256(kz, flip), _mm256_xor_si256(mag, flip));
        if (_mm256_movemask_ps(_mm256_castsi256_ps(fast)) != 0xFF) {
            alignas(32) uint32_t halves[8];
            _mm256_store_si256(reinterpret_cast<__m256i*>(halves), hz);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(g->s[0]), s0);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(g->s[1]), s1);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(g->s[2]), s2);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(g->s[3]), s3);
            for (int32_t l = 0; l < kNoiseLanes; ++l) {
                ImpairRng r;
                lane_get(g, l, &r);
                const double x = normal_of(&r, z, static_cast<int32_t>(halves[l]));
                const double y = normal_of(&r, z, static_cast<int32_t>(halves[4 + l]));
                lane_put(g, l, &r);
                i[k + l] += a * x;
                q[k + l] += a * y;
            }
            s0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g->s[0]));
            s1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g->s[1]));
            s2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g->s[2]));
            s3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(g->s[3]));
            continue;
        }
        const __m128i hz_i = _mm256_castsi256_si128(hz), hz_q = _mm256_extracti128_si256(hz, 1);
        const __m128i iz_i = _mm256_castsi256_si128(iz), iz_q = _mm256_extracti128_si256(iz, 1);
        const __m256d x = _mm256_mul_pd(_mm256_cvtepi32_pd(hz_i), _mm256_i32gather_pd(z.w, iz_i, 8));
        const __m256d y = _mm256_mul_pd(_mm256_cvtepi32_pd(hz_q), _mm256_i32gather_pd(z.w, iz_q, 8));
        _mm256_storeu_pd(i + k, _mm256_add_pd(_mm256_loadu_pd(i + k), _mm256_mul_pd(av, x)));
        _mm256_storeu_pd(q + k, _mm256_add_pd(_mm256_loadu_pd(q + k), _mm256_mul_pd(av, y)));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(g->s[0]), s0);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(g->s[1]), s1);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(g->s[2]), s2);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(g->s[3]), s3);
    g->at += k;
    return k;
}
#endif

// Adds a times the deviates of the block's samples at..at+n-1.
void lanes_add(NoiseLanes* g, const Ziggurat& z, int32_t n, double a, double* i, double* q) {
    int32_t done = 0;
#if ORV_X86_VECTORS
    if (g->plain == 0 && cpu_has_avx2()) {
        const int32_t head = (kNoiseLanes - (g->at & (kNoiseLanes - 1))) & (kNoiseLanes - 1);
        done = head < n ? head : n;
        lanes_plain(g, z, done, a, i, q);
        done += lanes_avx2(g, z, n - done, a, i + done, q + done);
    }
#endif
    lanes_plain(g, z, n - done, a, i + done, q + done);
}

}  // namespace

bool stream_noise_vectors() {
#if ORV_X86_VECTORS
    return cpu_has_avx2();
#else
    return false;
#endif
}

void noise_lanes_reset(NoiseLanes* g, uint64_t seed) {
    const int32_t plain = g->plain;
    *g = NoiseLanes{};
    g->seed = seed;
    g->block = -1;
    g->plain = plain;
}

void add_stream_noise(NoiseLanes* g, int64_t first, int32_t n, double sigma2, double* i, double* q) {
    const double a = std::sqrt(0.5 * sigma2);
    const Ziggurat& z = ziggurat();
    for (int32_t k = 0; k < n;) {
        const int64_t at = first + k;
        const int64_t block = at / kNoiseBlock;
        const int32_t offset = static_cast<int32_t>(at - block * kNoiseBlock);
        if (block != g->block || offset < g->at) seed_block(g, block);
        if (g->at < offset) {  // draws up to the first sample asked for, added to nothing
            double skip_i[256] = {}, skip_q[256] = {};
            while (g->at < offset) {
                const int32_t m = offset - g->at < 256 ? offset - g->at : 256;
                lanes_plain(g, z, m, 0.0, skip_i, skip_q);
            }
        }
        const int32_t m = kNoiseBlock - offset < n - k ? kNoiseBlock - offset : n - k;
        lanes_add(g, z, m, a, i + k, q + k);
        k += m;
    }
}
