// The power amplifier's AM/AM (Rapp) and hard clipping of the envelope.
#include <cmath>
#include <cstring>

#include "impair_chain.h"

namespace {

// Above this 1 + (|x| / a_sat)^(2p) the gain comes from pow (the iteration's
// products would overflow).
constexpr double kNewtonLimit = 1e30;

// t^e for a whole e in 1..16 by squaring.
double whole_power(double t, int32_t e) {
    double r = 1.0, b = t;
    for (;;) {
        if (e & 1) r *= b;
        e >>= 1;
        if (e == 0) return r;
        b *= b;
    }
}

}  // namespace

double rapp_inverse_root(double base, int32_t e) {
    if (!(base < kNewtonLimit)) return std::pow(base, -1.0 / e);
    // First guess from the exponent and mantissa bits: bits(base^a) is close to
    // a bits(base) + (1 - a) bits(1.0), a = -1/e (within a few percent).
    const double one_bits = 4607182418800017408.0;  // bits of 1.0 as a number
    int64_t bits;
    std::memcpy(&bits, &base, sizeof bits);
    const int64_t guess = static_cast<int64_t>(one_bits * (1.0 + 1.0 / e) - static_cast<double>(bits) / e);
    double t;
    std::memcpy(&t, &guess, sizeof t);
    // Newton on t^(-e) = base: t <- t ((e + 1) - base t^e) / e. Once the
    // residual base t^e - 1 is below 1e-8 the step just taken leaves an error
    // below 1e-16; from the first guess that takes 3 to 6 steps.
    const double inv_e = 1.0 / e;
    for (int32_t step = 0; step < 10; ++step) {
        const double r = base * whole_power(t, e);
        t = t * ((e + 1.0) - r) * inv_e;
        if (std::fabs(r - 1.0) < 1e-8) break;
    }
    return t;
}

int32_t rapp_whole_exponent(double p) {
    const double e = 2.0 * p;
    return e == std::floor(e) && e >= 1.0 && e <= 16.0 ? static_cast<int32_t>(e) : 0;
}

void rapp_amplify(int32_t n, double a_sat, double p, double* i, double* q) {
    const double inv_sat2 = 1.0 / (a_sat * a_sat);
    const double expo = -1.0 / (2.0 * p);
    // 2p whole (p = 0.5, 1, 1.5, ... 8): (|x| / a_sat)^(2p) by multiplication
    // and the gain by rapp_inverse_root, or by square roots for p = 1, 2, 4.
    const int32_t e = rapp_whole_exponent(p);
    for (int32_t k = 0; k < n; ++k) {
        const double r2 = (i[k] * i[k] + q[k] * q[k]) * inv_sat2;
        if (r2 == 0.0) continue;
        double g;
        if (e == 2 || e == 4 || e == 8) {
            const double base = 1.0 + whole_power(r2, e / 2);
            g = e == 2 ? 1.0 / std::sqrt(base)
              : e == 4 ? 1.0 / std::sqrt(std::sqrt(base))
                       : 1.0 / std::sqrt(std::sqrt(std::sqrt(base)));
        } else if (e > 0) {
            const double r2p = e % 2 == 0 ? whole_power(r2, e / 2) : whole_power(std::sqrt(r2), e);
            g = rapp_inverse_root(1.0 + r2p, e);
        } else {
            g = std::pow(1.0 + std::pow(r2, p), expo);
        }
        i[k] *= g;
        q[k] *= g;
    }
}

void clip_envelope(int32_t n, double level, double* i, double* q) {
    const double level2 = level * level;
    for (int32_t k = 0; k < n; ++k) {
        const double m2 = i[k] * i[k] + q[k] * q[k];
        if (m2 <= level2) continue;
        const double g = level / std::sqrt(m2);
        i[k] *= g;
        q[k] *= g;
    }
}
