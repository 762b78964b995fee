// The tests' own 802.11a transmitter, written from 17.3.3 to 17.3.5 (scrambled,
// coded, punctured and interleaved DATA) for every rate. It shares nothing with
// the generator or the receiver under test; the foreign-frame tests check it
// against the worked example of Annex G.
#pragma once

#include <zlib.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "synth/reference/wlan_reference.h"

namespace reftx {

using C = std::complex<double>;

// 17.3.5.4: the frame-synchronous scrambler x^7 + x^4 + 1 from a 7-bit state (x1 first).
inline std::vector<int> scramble(const std::vector<int>& in, int state7) {
    int x[8];
    for (int i = 1; i <= 7; ++i) x[i] = (state7 >> (7 - i)) & 1;
    std::vector<int> out(in.size());
    for (size_t n = 0; n < in.size(); ++n) {
        const int s = x[7] ^ x[4];
        for (int j = 7; j > 1; --j) x[j] = x[j - 1];
        x[1] = s;
        out[n] = in[n] ^ s;
    }
    return out;
}

// 17.3.5.5: rate-1/2 code, g0 = 133, g1 = 171 (octal), from the zero state; A0 B0 A1 B1 ...
inline std::vector<int> encode(const std::vector<int>& u) {
    int d[7] = {0};
    std::vector<int> out;
    for (int b : u) {
        out.push_back(b ^ d[2] ^ d[3] ^ d[5] ^ d[6]);
        out.push_back(b ^ d[1] ^ d[2] ^ d[3] ^ d[6]);
        for (int j = 6; j > 1; --j) d[j] = d[j - 1];
        d[1] = b;
    }
    return out;
}

// Puncturing to 3/4 (keep A0 B0 A1 B2 of each three pairs) or 2/3 (A0 B0 A1 of two).
inline std::vector<int> puncture(const std::vector<int>& ab, int num, int den) {
    if (num == 1) return ab;
    std::vector<int> out;
    const size_t pairs = ab.size() / 2;
    for (size_t i = 0; i < pairs; ++i) {
        const int a = ab[2 * i], b = ab[2 * i + 1];
        if (num == 3 && den == 4) {
            const size_t ph = i % 3;
            if (ph == 0) { out.push_back(a); out.push_back(b); }
            if (ph == 1) out.push_back(a);
            if (ph == 2) out.push_back(b);
        } else {
            if (i % 2 == 0) { out.push_back(a); out.push_back(b); }
            else out.push_back(a);
        }
    }
    return out;
}

inline std::vector<int> interleave(const std::vector<int>& coded, int n_cbps, int n_bpsc) {
    std::vector<int> out(coded.size());
    for (int j = 0; j < n_cbps; ++j) out[j] = coded[ref::deinterleave_index(j, n_cbps, n_bpsc)];
    return out;
}

inline std::vector<int> bits_of(const char* s) {
    std::vector<int> v;
    for (; *s; ++s) v.push_back(*s - '0');
    return v;
}

// 17.3.3 sequences on subcarriers -26..26.
inline C short_seq(int k) {
    const double a = std::sqrt(13.0 / 6.0);
    for (int p : {-24, -16, -4, 12, 16, 20, 24}) if (k == p) return a * C(1, 1);
    for (int n : {-20, -12, -8, 4, 8}) if (k == n) return a * C(-1, -1);
    return 0;
}
inline int long_seq(int k) {
    static const int L[53] = {1, 1, -1, -1, 1, 1, -1, 1, -1, 1, 1, 1, 1, 1, 1, -1, -1, 1,
                              1, -1, 1, -1, 1, 1, 1, 1, 0, 1, -1, -1, 1, 1, -1, 1, -1, 1,
                              -1, -1, -1, -1, -1, 1, 1, -1, -1, 1, -1, 1, -1, 1, 1, 1, 1};
    return L[k + 26];
}

// Inverse DFT (1/M) of subcarrier values X(k), k = -26..26, over M = 64 os points.
inline std::vector<C> idft(const std::vector<C>& X, int os) {
    const int m = 64 * os;
    std::vector<double> re(m, 0.0), im(m, 0.0), ore(m), oim(m);
    for (int k = -26; k <= 26; ++k) {
        re[(k + m) % m] = X[k + 26].real();
        im[(k + m) % m] = X[k + 26].imag();
    }
    ref::dft(m, re.data(), im.data(), 0, ore.data(), oim.data());
    std::vector<C> out(m);
    for (int i = 0; i < m; ++i) out[i] = {ore[i], oim[i]};
    return out;
}

// One OFDM symbol with guard interval from 48 data values and pilot polarity p.
inline std::vector<C> ofdm_symbol(const std::vector<C>& data48, int p, int os) {
    std::vector<C> X(53, 0.0);
    int i = 0;
    for (int k = -26; k <= 26; ++k) {
        if (k == 0) continue;
        if (k == -21 || k == -7 || k == 7) X[k + 26] = p;
        else if (k == 21) X[k + 26] = -p;
        else X[k + 26] = data48[i++];
    }
    const std::vector<C> t = idft(X, os);
    std::vector<C> sym(t.end() - 16 * os, t.end());
    sym.insert(sym.end(), t.begin(), t.end());
    return sym;
}

inline std::vector<C> map_symbol(const std::vector<int>& bits, int mod) {
    const int nb = ref::n_bpsc(mod);
    std::vector<C> v;
    for (int s = 0; s < 48; ++s) {
        const ref::Bin b = ref::constellation_point(mod, bits.data() + s * nb);
        v.push_back({b.re, b.im});
    }
    return v;
}

// Rate parameters of 17.3.2.2: Mbit/s, RATE bits, modulation code, N_DBPS, puncturing.
struct Rate {
    int mbps;
    const char* bits;
    int mod;
    int n_dbps;
    int num, den;
};
inline const std::vector<Rate>& rates() {
    static const std::vector<Rate> r = {
        {6, "1101", 0, 24, 1, 2},   {9, "1111", 0, 36, 3, 4},   {12, "0101", 1, 48, 1, 2},
        {18, "0111", 1, 72, 3, 4},  {24, "1001", 2, 96, 1, 2},  {36, "1011", 2, 144, 3, 4},
        {48, "0001", 3, 192, 2, 3}, {54, "0011", 3, 216, 3, 4},
    };
    return r;
}
inline const Rate& rate(int mbps) {
    for (const Rate& r : rates())
        if (r.mbps == mbps) return r;
    return rates()[0];
}

// SIGNAL bits; `tail` sets the six tail bits (0 in a valid frame).
inline std::vector<int> signal_bits(const char* rate_bits, int length, int tail = 0) {
    std::vector<int> b = bits_of(rate_bits);
    b.push_back(0);
    for (int i = 0; i < 12; ++i) b.push_back((length >> i) & 1);
    int par = 0;
    for (int v : b) par ^= v;
    b.push_back(par);
    for (int i = 0; i < 6; ++i) b.push_back((tail >> i) & 1);
    return b;
}

// PSDU bits, least significant bit of each byte first.
inline std::vector<int> bits_of_bytes(const std::vector<uint8_t>& bytes) {
    std::vector<int> v;
    for (uint8_t b : bytes)
        for (int i = 0; i < 8; ++i) v.push_back((b >> i) & 1);
    return v;
}

// A whole frame (preamble, SIGNAL, DATA) at a rate, from PSDU bits and the scrambler's initial state.
inline std::vector<C> frame(int mbps, const std::vector<int>& psdu_bits, int length, int os, int scrambler = 0x5D,
                            int signal_tail = 0) {
    const Rate& rt = rate(mbps);
    std::vector<C> out;
    std::vector<C> S(53), L(53);
    for (int k = -26; k <= 26; ++k) {
        S[k + 26] = short_seq(k);
        L[k + 26] = long_seq(k);
    }
    const std::vector<C> ts = idft(S, os), tl = idft(L, os);
    for (int n = 0; n < 160 * os; ++n) out.push_back(ts[n % (64 * os)]);
    out.insert(out.end(), tl.end() - 32 * os, tl.end());
    out.insert(out.end(), tl.begin(), tl.end());
    out.insert(out.end(), tl.begin(), tl.end());
    const std::vector<int> sig = interleave(encode(signal_bits(rt.bits, length, signal_tail)), 48, 1);
    const std::vector<C> s = ofdm_symbol(map_symbol(sig, 0), ref::pilot_polarity()[0], os);
    out.insert(out.end(), s.begin(), s.end());
    const int n_bpsc = ref::n_bpsc(rt.mod), n_cbps = 48 * n_bpsc, n_dbps = rt.n_dbps;
    const int n_sym = (16 + 8 * length + 6 + n_dbps - 1) / n_dbps;
    std::vector<int> data(16, 0);
    data.insert(data.end(), psdu_bits.begin(), psdu_bits.end());
    data.resize(static_cast<size_t>(n_sym * n_dbps), 0);
    std::vector<int> scr = scramble(data, scrambler);
    for (int i = 0; i < 6; ++i) scr[16 + 8 * length + i] = 0;
    const std::vector<int> coded = puncture(encode(scr), rt.num, rt.den);
    for (int k = 0; k < n_sym; ++k) {
        std::vector<int> part(coded.begin() + k * n_cbps, coded.begin() + (k + 1) * n_cbps);
        const std::vector<C> sym =
            ofdm_symbol(map_symbol(interleave(part, n_cbps, n_bpsc), rt.mod), ref::pilot_polarity()[(k + 1) % 127], os);
        out.insert(out.end(), sym.begin(), sym.end());
    }
    return out;
}

// The whole frame at 36 Mbit/s (16-QAM, rate 3/4), the Annex G rate.
inline std::vector<C> frame_36(const std::vector<int>& psdu_bits, int length, int os, int signal_tail = 0) {
    return frame(36, psdu_bits, length, os, 0x5D, signal_tail);
}

// n pseudo-random payload octets (a linear congruential sequence from seed).
inline std::vector<uint8_t> body(size_t n, uint32_t seed) {
    std::vector<uint8_t> b(n);
    for (uint8_t& v : b) {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<uint8_t>(seed >> 24);
    }
    return b;
}

// A data frame's PSDU: a 24-byte MAC header (sequence number seq), body bytes and the CRC-32 FCS.
inline std::vector<uint8_t> mac_frame(int seq, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> f = {0x08, 0x00, 0x2e, 0x00, 0x00, 0x60, 0x08, 0xcd, 0x37, 0xa6, 0x00, 0x20,
                              0xd6, 0x01, 0x3c, 0xf1, 0x00, 0x60, 0x08, 0xad, 0x3b, 0xaf,
                              static_cast<uint8_t>((seq & 0x0F) << 4), static_cast<uint8_t>((seq >> 4) & 0xFF)};
    f.reserve(f.size() + body.size() + 4);  // also keeps GCC 12's -Warray-bounds false positive on insert quiet
    f.insert(f.end(), body.begin(), body.end());
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), f.data(), static_cast<uInt>(f.size()));
    for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>((crc >> (8 * i)) & 0xFF));
    return f;
}

// Writes samples as a CSV file ("I,Q" lines); returns false when it cannot.
inline bool write_csv(const std::string& path, const std::vector<C>& x) {
    std::FILE* out = std::fopen(path.c_str(), "w");
    if (!out) return false;
    for (const C& v : x) std::fprintf(out, "%.10e,%.10e\n", v.real(), v.imag());
    return std::fclose(out) == 0;
}

}  // namespace reftx
