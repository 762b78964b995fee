// The impairments' random streams: xoshiro256** seeded through splitmix64,
// normal deviates by Marsaglia and Tsang's ziggurat (128 layers), complex
// white Gaussian noise, and the stream noise of four lanes per block.
#include <cmath>
#include <cstdint>

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

// Adds a times the deviates of block samples at..at+n-1, lane by lane,
// each over its own samples with its state in registers.
void lanes_add(NoiseLanes* g, const Ziggurat& z, int32_t n, double a, double* i, double* q) {
    for (int32_t l = 0; l < kNoiseLanes; ++l) {
        // The first of the n samples in lane l.
        const int32_t k0 = (l - (g->at & (kNoiseLanes - 1)) + kNoiseLanes) & (kNoiseLanes - 1);
        if (k0 >= n) continue;
        ImpairRng r;
        lane_get(g, l, &r);
        for (int32_t k = k0; k < n; k += kNoiseLanes) {
            const uint64_t u = next_u64(&r);
            const double x = normal_of(&r, z, static_cast<int32_t>(static_cast<uint32_t>(u >> 32)));
            const double y = normal_of(&r, z, static_cast<int32_t>(static_cast<uint32_t>(u)));
            i[k] += a * x;
            q[k] += a * y;
        }
        lane_put(g, l, &r);
    }
    g->at += n;
}

}  // namespace

void noise_lanes_reset(NoiseLanes* g, uint64_t seed) {
    *g = NoiseLanes{};
    g->seed = seed;
    g->block = -1;
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
                lanes_add(g, z, m, 0.0, skip_i, skip_q);
            }
        }
        const int32_t m = kNoiseBlock - offset < n - k ? kNoiseBlock - offset : n - k;
        lanes_add(g, z, m, a, i + k, q + k);
        k += m;
    }
}
