// The power amplifier's AM/AM (Rapp) and hard clipping of the envelope.
#include <cmath>

#include "impair_chain.h"

void rapp_amplify(int32_t n, double a_sat, double p, double* i, double* q) {
    const double inv_sat2 = 1.0 / (a_sat * a_sat);
    const double expo = -1.0 / (2.0 * p);
    // A whole p up to 8 takes r2^p by multiplication (one pow a sample less).
    const int32_t whole = p == std::floor(p) && p >= 1.0 && p <= 8.0 ? static_cast<int32_t>(p) : 0;
    for (int32_t k = 0; k < n; ++k) {
        const double r2 = (i[k] * i[k] + q[k] * q[k]) * inv_sat2;
        if (r2 == 0.0) continue;
        // (|x| / a_sat)^(2p) = r2^p
        double r2p = r2;
        if (whole > 0) {
            for (int32_t m = 1; m < whole; ++m) r2p *= r2;
        } else {
            r2p = std::pow(r2, p);
        }
        // (1 + r2p)^(-1/(2p)) by square and cube roots where p allows.
        const double base = 1.0 + r2p;
        double g;
        switch (whole) {
            case 1: g = 1.0 / std::sqrt(base); break;
            case 2: g = 1.0 / std::sqrt(std::sqrt(base)); break;
            case 3: g = 1.0 / std::sqrt(std::cbrt(base)); break;
            case 4: g = 1.0 / std::sqrt(std::sqrt(std::sqrt(base))); break;
            default: g = std::pow(base, expo); break;
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
