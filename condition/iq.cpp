// IQ imbalance of the modulator: gain ratio and quadrature error.
#include <cmath>

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

void iq_imbalance_apply(const IqImbalance* m, int32_t n, double* i, double* q) {
    for (int32_t k = 0; k < n; ++k) {
        const double x = i[k], y = q[k];
        i[k] = m->ii * x + m->iq * y;
        q[k] = m->qi * x + m->qq * y;
    }
}
