// A small 802.11a receiver of the tests' own, for frames whose first
// short-training sample is known (no synchronisation, no channel): DFT of
// each symbol, hard demapping (17.3.5.8), deinterleaving, depuncturing with
// erasures, a Viterbi decoder of the K = 7 code (133, 171 octal), SIGNAL
// parsing, descrambling with the state found from the SERVICE field, and the
// CRC-32 frame check sequence. Written from IEEE Std 802.11a; nothing here
// calls the library.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "synth/reference/wlan_reference.h"

namespace ref {

// Rate table 17.3.2.2 by RATE bits R1..R4 (as the SIGNAL field sends them).
struct RxRate {
    int32_t mod, n_bpsc, n_cbps, n_dbps;
    int32_t punct;  // 0: 1/2, 1: 2/3, 2: 3/4
    int32_t rate_index;
};
inline bool rate_from_bits(int32_t r1234, RxRate* r) {
    // R1 R2 R3 R4 as a number with R1 most significant.
    switch (r1234) {
        case 0xD: *r = {0, 1, 48, 24, 0, 0}; return true;
        case 0xF: *r = {0, 1, 48, 36, 2, 1}; return true;
        case 0x5: *r = {1, 2, 96, 48, 0, 2}; return true;
        case 0x7: *r = {1, 2, 96, 72, 2, 3}; return true;
        case 0x9: *r = {2, 4, 192, 96, 0, 4}; return true;
        case 0xB: *r = {2, 4, 192, 144, 2, 5}; return true;
        case 0x1: *r = {3, 6, 288, 192, 1, 6}; return true;
        case 0x3: *r = {3, 6, 288, 216, 2, 7}; return true;
        default: return false;
    }
}

// The 64 subcarrier values of the symbol whose guard interval starts at
// x[0] (os samples per 50 ns), with the DFT window in the middle of the guard
// interval and its phase ramp taken out. Index k + 32 holds subcarrier k.
inline std::vector<Bin> symbol_bins(const double* xi, const double* xq, int32_t os) {
    const int32_t m = 64 * os;
    const int32_t delta = 8 * os;
    const double two_pi = 2.0 * std::numbers::pi;
    std::vector<Bin> out(64, Bin{0.0, 0.0});
    for (int32_t k = -26; k <= 26; ++k) {
        double ar = 0.0, ai = 0.0;
        const int32_t kk = (k + m) % m;
        for (int32_t t = 0; t < m; ++t) {
            const double a = -two_pi * static_cast<double>((static_cast<int64_t>(kk) * t) % m) / m;
            const double c = std::cos(a), s = std::sin(a);
            const double re = xi[16 * os - delta + t], im = xq[16 * os - delta + t];
            ar += re * c - im * s;
            ai += re * s + im * c;
        }
        // Window started delta samples early: X_k = Y_k e^(j 2 pi k delta / m).
        const double b = two_pi * k * delta / m;
        out[k + 32] = {ar * std::cos(b) - ai * std::sin(b), ar * std::sin(b) + ai * std::cos(b)};
    }
    return out;
}

// Hard decisions of one axis: the bit group whose level is nearest.
inline int32_t nearest_pattern(int32_t bits_per_axis, double level) {
    int32_t best = 0;
    double best_d = 1e300;
    for (int32_t pat = 0; pat < (1 << bits_per_axis); ++pat) {
        const double d = std::fabs(level - axis_level(bits_per_axis, pat));
        if (d < best_d) {
            best_d = d;
            best = pat;
        }
    }
    return best;
}

// The N_CBPS received bits of one symbol (before deinterleaving), and the
// pilots' signs relative to p_n (true when they match polarity p).
inline std::vector<int32_t> demap_symbol(const std::vector<Bin>& bins, int32_t mod, int32_t p,
                                         bool* pilots_ok) {
    const int32_t nb = n_bpsc(mod);
    std::vector<int32_t> bits;
    for (int32_t k = -26; k <= 26; ++k) {
        if (k == 0 || k == -21 || k == -7 || k == 7 || k == 21) continue;
        const Bin v = bins[k + 32];
        if (nb == 1) {
            bits.push_back(v.re > 0.0 ? 1 : 0);
            continue;
        }
        const int32_t half = nb / 2;
        const int32_t pi = nearest_pattern(half, v.re / k_mod(mod));
        const int32_t pq = nearest_pattern(half, v.im / k_mod(mod));
        for (int32_t b = half - 1; b >= 0; --b) bits.push_back((pi >> b) & 1);
        for (int32_t b = half - 1; b >= 0; --b) bits.push_back((pq >> b) & 1);
    }
    const double want[4] = {1.0 * p, 1.0 * p, 1.0 * p, -1.0 * p};
    const int32_t where[4] = {-21, -7, 7, 21};
    *pilots_ok = true;
    for (int32_t n = 0; n < 4; ++n)
        if (std::fabs(bins[where[n] + 32].re - want[n]) > 1e-6 ||
            std::fabs(bins[where[n] + 32].im) > 1e-6)
            *pilots_ok = false;
    return bits;
}

// Received position j back to coded order, as metrics +1 (bit 1) / -1 (bit 0).
inline void deinterleave_into(const std::vector<int32_t>& rx, int32_t n_cbps, int32_t nb,
                              std::vector<double>* coded) {
    std::vector<double> out(n_cbps);
    for (int32_t j = 0; j < n_cbps; ++j) out[deinterleave_index(j, n_cbps, nb)] = rx[j] ? 1.0 : -1.0;
    coded->insert(coded->end(), out.begin(), out.end());
}

// Mother-code pairs (A, B) with erasures (0.0) where puncturing removed a bit.
inline std::vector<double> depuncture(const std::vector<double>& in, int32_t punct) {
    std::vector<double> out;
    size_t k = 0;
    auto take = [&]() { return k < in.size() ? in[k++] : 0.0; };
    while (k < in.size()) {
        if (punct == 0) {
            out.push_back(take());
            out.push_back(take());
        } else if (punct == 1) {  // 2/3: A0 B0 A1 (B1 stolen)
            out.push_back(take());
            out.push_back(take());
            out.push_back(take());
            out.push_back(0.0);
        } else {  // 3/4: A0 B0 A1 B2 (B1 and A2 stolen)
            const double a0 = take(), b0 = take(), a1 = take(), b2 = take();
            out.insert(out.end(), {a0, b0, a1, 0.0, 0.0, b2});
        }
    }
    return out;
}

// Viterbi decoder of the 17.3.5.5 code from the all-zero state; pairs holds
// A, B metrics (+1 for 1, -1 for 0, 0 erased). Returns pairs.size() / 2 bits.
inline std::vector<int32_t> viterbi(const std::vector<double>& pairs) {
    const size_t steps = pairs.size() / 2;
    const double inf = 1e300;
    std::vector<double> metric(64, inf), next(64);
    metric[0] = 0.0;
    std::vector<uint8_t> from(steps * 64);
    auto parity = [](int32_t v) { return __builtin_parity(static_cast<unsigned>(v)); };
    for (size_t t = 0; t < steps; ++t) {
        std::fill(next.begin(), next.end(), inf);
        for (int32_t s = 0; s < 64; ++s) {
            if (metric[s] >= inf) continue;
            for (int32_t u = 0; u < 2; ++u) {
                // Bit d of reg is the input d steps ago; g0 = 1011011, g1 = 1111001.
                const int32_t reg = (s << 1) | u;
                const int32_t a = parity(reg & 0b1101101);
                const int32_t b = parity(reg & 0b1001111);
                const double m = metric[s] - (a ? 1 : -1) * pairs[2 * t] -
                                 (b ? 1 : -1) * pairs[2 * t + 1];
                const int32_t ns = reg & 63;
                if (m < next[ns]) {
                    next[ns] = m;
                    from[t * 64 + ns] = static_cast<uint8_t>(s);
                }
            }
        }
        metric.swap(next);
    }
    // Pad bits follow the tail, so the code ends in any state: the best one.
    int32_t s = static_cast<int32_t>(std::min_element(metric.begin(), metric.end()) - metric.begin());
    std::vector<int32_t> bits(steps);
    for (size_t t = steps; t-- > 0;) {
        bits[t] = s & 1;
        s = from[t * 64 + s];
    }
    return bits;
}

// CRC-32 of IEEE 802.3 (reflected 0xEDB88320, complemented), as the FCS.
inline uint32_t crc32(const uint8_t* data, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t k = 0; k < n; ++k) {
        c ^= data[k];
        for (int b = 0; b < 8; ++b) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

// What the receiver made of one frame.
struct RxFrame {
    bool signal_ok = false;   // parity, reserved bit and tail of SIGNAL
    bool pilots_ok = true;    // every pilot at p_n from SIGNAL on
    bool service_ok = false;  // SERVICE zero after descrambling
    int32_t rate_index = -1;
    int32_t length = 0;
    int32_t scrambler = 0;    // initial state found, x1 most significant
    std::vector<uint8_t> psdu;
};

// Decodes the frame whose first short-training sample is x[start].
inline RxFrame receive_frame(const double* xi, const double* xq, int64_t start, int32_t os) {
    RxFrame f;
    const double* si = xi + start + 320 * os;
    const double* sq = xq + start + 320 * os;
    bool ok = true;
    std::vector<double> coded;
    deinterleave_into(demap_symbol(symbol_bins(si, sq, os), 0, pilot_polarity()[0], &ok), 48, 1,
                      &coded);
    f.pilots_ok = ok;
    const std::vector<int32_t> sig = viterbi(coded);
    int32_t r = 0, parity = 0, length = 0;
    for (int32_t k = 0; k < 4; ++k) r = r * 2 + sig[k];
    for (int32_t k = 0; k < 12; ++k) length |= sig[5 + k] << k;
    for (int32_t k = 0; k < 18; ++k) parity ^= sig[k];
    bool tail_zero = true;
    for (int32_t k = 18; k < 24; ++k) tail_zero = tail_zero && sig[k] == 0;
    RxRate rate;
    f.signal_ok = parity == 0 && sig[4] == 0 && tail_zero && rate_from_bits(r, &rate);
    if (!f.signal_ok) return f;
    f.rate_index = rate.rate_index;
    f.length = length;

    const int32_t n_sym = (16 + 8 * length + 6 + rate.n_dbps - 1) / rate.n_dbps;
    coded.clear();
    for (int32_t s = 0; s < n_sym; ++s) {
        const int64_t at = start + (400 + 80 * static_cast<int64_t>(s)) * os;
        deinterleave_into(demap_symbol(symbol_bins(xi + at, xq + at, os), rate.mod,
                                       pilot_polarity()[(s + 1) % 127], &ok),
                          rate.n_cbps, rate.n_bpsc, &coded);
        f.pilots_ok = f.pilots_ok && ok;
    }
    const std::vector<int32_t> data = viterbi(depuncture(coded, rate.punct));

    // The first seven SERVICE bits are zero before scrambling, so the
    // scrambled ones are the scrambler's first outputs: try every state.
    for (int32_t init = 1; init < 128; ++init) {
        int32_t x[8];  // x[1..7]
        for (int32_t b = 1; b <= 7; ++b) x[b] = (init >> (7 - b)) & 1;
        std::vector<int32_t> plain(data.size());
        for (size_t k = 0; k < data.size(); ++k) {
            const int32_t fb = x[7] ^ x[4];
            for (int32_t b = 7; b > 1; --b) x[b] = x[b - 1];
            x[1] = fb;
            plain[k] = data[k] ^ fb;
        }
        bool service = true;
        for (int32_t k = 0; k < 16; ++k) service = service && plain[k] == 0;
        if (!service) continue;
        f.service_ok = true;
        f.scrambler = init;
        f.psdu.assign(static_cast<size_t>(length), 0);
        for (int32_t k = 0; k < 8 * length; ++k)
            f.psdu[k / 8] |= static_cast<uint8_t>(plain[16 + k] << (k % 8));
        break;
    }
    return f;
}

}  // namespace ref
