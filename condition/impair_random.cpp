// The impairments' random streams: xoshiro256** seeded through splitmix64,
// normal deviates by Marsaglia's polar method, complex white Gaussian noise.
#include <cmath>

#include "impair_chain.h"

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

}  // namespace

void impair_rng_seed(ImpairRng* g, uint64_t seed, uint64_t stream, uint64_t index) {
    uint64_t x = seed;
    const uint64_t a = splitmix64(&x);
    x = a ^ (stream * 0xD1B54A32D192ED03ull);
    const uint64_t b = splitmix64(&x);
    x = b ^ (index * 0x8CB92BA72F3D8DD7ull);
    for (uint64_t& word : g->s) word = splitmix64(&x);
    g->has_spare = false;
    g->spare = 0.0;
}

double impair_uniform(ImpairRng* g) {
    // 53 random bits, offset by half a step: never 0, never 1.
    return (static_cast<double>(next_u64(g) >> 11) + 0.5) * 0x1.0p-53;
}

double impair_normal(ImpairRng* g) {
    if (g->has_spare) {
        g->has_spare = false;
        return g->spare;
    }
    double x, y, s;
    do {
        x = 2.0 * impair_uniform(g) - 1.0;
        y = 2.0 * impair_uniform(g) - 1.0;
        s = x * x + y * y;
    } while (s >= 1.0 || s == 0.0);
    const double f = std::sqrt(-2.0 * std::log(s) / s);
    g->spare = y * f;
    g->has_spare = true;
    return x * f;
}

void add_complex_noise(ImpairRng* g, int32_t n, double sigma2, double* i, double* q) {
    const double a = std::sqrt(0.5 * sigma2);
    for (int32_t k = 0; k < n; ++k) {
        i[k] += a * impair_normal(g);
        q[k] += a * impair_normal(g);
    }
}
