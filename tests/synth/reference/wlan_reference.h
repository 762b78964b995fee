// Independent 802.11a reference pieces for the synthesis tests: a direct DFT,
// the 17.3.5.7 Gray tables, the 17.3.5.9 pilot polarity sequence, the
// 17.3.5.6 deinterleaver and a PN generator written from its polynomial.
// Nothing here calls the library.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace ref {

// Direct DFT in long double with exact angle reduction (k m mod n).
// direction 1: X[k] = sum x[m] e^(-j 2 pi k m / n); direction 0: the inverse with 1/n.
inline void dft(int32_t n, const double* re, const double* im, int32_t direction, double* out_re,
                double* out_im) {
    const long double sign = direction == 1 ? -1.0L : 1.0L;
    const long double two_pi = 2.0L * std::numbers::pi_v<long double>;
    std::vector<long double> c(n), s(n);
    for (int32_t t = 0; t < n; ++t) {
        c[t] = std::cos(two_pi * t / n);
        s[t] = sign * std::sin(two_pi * t / n);
    }
    for (int32_t k = 0; k < n; ++k) {
        long double ar = 0.0L, ai = 0.0L;
        for (int32_t m = 0; m < n; ++m) {
            const int32_t t = static_cast<int32_t>((static_cast<int64_t>(k) * m) % n);
            ar += re[m] * c[t] - im[m] * s[t];
            ai += re[m] * s[t] + im[m] * c[t];
        }
        if (direction == 0) {
            ar /= n;
            ai /= n;
        }
        out_re[k] = static_cast<double>(ar);
        out_im[k] = static_cast<double>(ai);
    }
}

// Forward DFT bin of subcarrier k (negative k wraps) of m samples.
struct Bin {
    double re, im;
};
inline Bin dft_bin(int32_t m, const double* re, const double* im, int32_t k) {
    const long double two_pi = 2.0L * std::numbers::pi_v<long double>;
    const int32_t kk = ((k % m) + m) % m;
    long double ar = 0.0L, ai = 0.0L;
    for (int32_t t = 0; t < m; ++t) {
        const int32_t r = static_cast<int32_t>((static_cast<int64_t>(kk) * t) % m);
        const long double c = std::cos(two_pi * r / m), s = -std::sin(two_pi * r / m);
        ar += re[t] * c - im[t] * s;
        ai += re[t] * s + im[t] * c;
    }
    return {static_cast<double>(ar), static_cast<double>(ai)};
}

// 17.3.5.7, Tables 82 to 85: the level of one axis for its bit group, bits
// written b0 b1 ... as an integer with b0 most significant.
inline int32_t axis_level(int32_t bits_per_axis, int32_t pattern) {
    static const int32_t k1[2] = {-1, 1};                       // b0
    static const int32_t k2[4] = {-3, -1, 3, 1};                // 00 01 10 11
    static const int32_t k3[8] = {-7, -5, -1, -3, 7, 5, 1, 3};  // 000 001 010 011 100 101 110 111
    switch (bits_per_axis) {
        case 1: return k1[pattern];
        case 2: return k2[pattern];
        default: return k3[pattern];
    }
}

// N_BPSC and K_MOD by modulation code (BPSK, QPSK, 16-QAM, 64-QAM).
inline int32_t n_bpsc(int32_t mod) { return mod == 0 ? 1 : mod == 1 ? 2 : mod == 2 ? 4 : 6; }
inline double k_mod(int32_t mod) {
    return mod == 0   ? 1.0
           : mod == 1 ? 1.0 / std::sqrt(2.0)
           : mod == 2 ? 1.0 / std::sqrt(10.0)
                      : 1.0 / std::sqrt(42.0);
}

// Constellation point of the N_BPSC bits at bits[0..]: first half I, second half Q
// (BPSK: all on I).
inline Bin constellation_point(int32_t mod, const int32_t* bits) {
    const int32_t nb = n_bpsc(mod);
    if (nb == 1) return {static_cast<double>(axis_level(1, bits[0])), 0.0};
    const int32_t half = nb / 2;
    int32_t pi = 0, pq = 0;
    for (int32_t b = 0; b < half; ++b) {
        pi = pi * 2 + bits[b];
        pq = pq * 2 + bits[half + b];
    }
    return {axis_level(half, pi) * k_mod(mod), axis_level(half, pq) * k_mod(mod)};
}

// 17.3.5.9, the pilot polarity sequence p_0 .. p_126 (cyclic).
inline const int32_t* pilot_polarity() {
    // clang-format off
    static const int32_t p[127] = {
        1,  1,  1,  1,  -1, -1, -1, 1,  -1, -1, -1, -1, 1,  1,  -1, 1,  -1, -1, 1,  1,  -1, 1,
        1,  -1, 1,  1,  1,  1,  1,  1,  -1, 1,  1,  1,  -1, 1,  1,  -1, -1, 1,  1,  1,  -1, 1,
        -1, -1, -1, 1,  -1, 1,  -1, -1, 1,  -1, -1, 1,  1,  1,  1,  1,  -1, -1, 1,  1,  -1, -1,
        1,  -1, 1,  -1, 1,  1,  -1, -1, -1, 1,  1,  -1, -1, -1, -1, 1,  -1, -1, 1,  -1, 1,  1,
        1,  1,  -1, 1,  -1, 1,  -1, 1,  -1, -1, -1, -1, -1, 1,  -1, 1,  1,  -1, 1,  -1, 1,  1,
        1,  -1, -1, 1,  -1, -1, -1, 1,  1,  1,  -1, -1, -1, -1, -1, -1, -1,
    };
    // clang-format on
    return p;
}

// 17.3.5.6 deinterleaver: the coded-bit index k of received position j.
inline int32_t deinterleave_index(int32_t j, int32_t n_cbps, int32_t nb) {
    const int32_t s = nb / 2 > 1 ? nb / 2 : 1;
    const int32_t i = s * (j / s) + (j + (16 * j) / n_cbps) % s;
    return 16 * i - (n_cbps - 1) * ((16 * i) / n_cbps);
}

// A PN sequence from its recurrence: polynomial x^n + sum x^e + 1 gives
// s[t + n] = s[t] ^ XOR over e of s[t + n - e]; the first n bits are the seed's
// low n bits, most significant first; complemented sequences invert the output.
struct PnPolynomial {
    int32_t n;
    std::vector<int32_t> middle_exponents;
    bool complemented;
};
inline PnPolynomial pn_polynomial(int32_t data_pattern) {
    switch (data_pattern) {
        case 1: return {15, {14}, true};
        case 2: return {19, {5, 2, 1}, false};
        case 3: return {20, {3}, false};
        case 4: return {23, {18}, true};
        default: return {9, {5}, false};
    }
}
inline std::vector<int32_t> pn_sequence(int32_t data_pattern, uint32_t seed, size_t count) {
    if (data_pattern == 5 || data_pattern == 6)
        return std::vector<int32_t>(count, data_pattern - 5);
    const PnPolynomial p = pn_polynomial(data_pattern);
    std::vector<int32_t> s(count + p.n);
    for (int32_t i = 0; i < p.n; ++i) s[i] = (seed >> (p.n - 1 - i)) & 1u;
    for (size_t t = 0; t + p.n < s.size(); ++t) {
        int32_t v = s[t];
        for (int32_t e : p.middle_exponents) v ^= s[t + p.n - e];
        s[t + p.n] = v;
    }
    s.resize(count);
    if (p.complemented)
        for (auto& b : s) b ^= 1;
    return s;
}

}  // namespace ref
