// A standard 802.11a frame that no one here generated: a small reference
// transmitter written from 17.3.3 to 17.3.5 (scrambled, coded, punctured and
// interleaved DATA), checked against the worked example of Annex G, then
// written as a CSV file and measured by the analysis.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "analysis.h"
#include "support/records.h"
#include "synth/reference/annex_g.h"
#include "synth/reference/wlan_reference.h"

namespace {

using C = std::complex<double>;

// 17.3.5.4: the frame-synchronous scrambler x^7 + x^4 + 1 from a 7-bit state (x1 first).
std::vector<int> scramble(const std::vector<int>& in, int state7) {
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
std::vector<int> encode(const std::vector<int>& u) {
    int d[7] = {0};  // d[1] the previous bit ... d[6]
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
std::vector<int> puncture(const std::vector<int>& ab, int num, int den) {
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

std::vector<int> interleave(const std::vector<int>& coded, int n_cbps, int n_bpsc) {
    std::vector<int> out(coded.size());
    for (int j = 0; j < n_cbps; ++j) out[j] = coded[ref::deinterleave_index(j, n_cbps, n_bpsc)];
    return out;
}

std::vector<int> bits_of(const char* s) {
    std::vector<int> v;
    for (; *s; ++s) v.push_back(*s - '0');
    return v;
}

// 17.3.3 sequences on subcarriers -26..26.
C short_seq(int k) {
    const double a = std::sqrt(13.0 / 6.0);
    for (int p : {-24, -16, -4, 12, 16, 20, 24}) if (k == p) return a * C(1, 1);
    for (int n : {-20, -12, -8, 4, 8}) if (k == n) return a * C(-1, -1);
    return 0;
}
int long_seq(int k) {
    static const int L[53] = {1, 1, -1, -1, 1, 1, -1, 1, -1, 1, 1, 1, 1, 1, 1, -1, -1, 1,
                              1, -1, 1, -1, 1, 1, 1, 1, 0, 1, -1, -1, 1, 1, -1, 1, -1, 1,
                              -1, -1, -1, -1, -1, 1, 1, -1, -1, 1, -1, 1, -1, 1, 1, 1, 1};
    return L[k + 26];
}

// Inverse DFT (1/M) of subcarrier values X(k), k = -26..26, over M = 64 os points.
std::vector<C> idft(const std::vector<C>& X, int os) {
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
std::vector<C> ofdm_symbol(const std::vector<C>& data48, int p, int os) {
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

std::vector<C> map_symbol(const std::vector<int>& bits, int mod) {
    const int nb = ref::n_bpsc(mod);
    std::vector<C> v;
    for (int s = 0; s < 48; ++s) {
        const ref::Bin b = ref::constellation_point(mod, bits.data() + s * nb);
        v.push_back({b.re, b.im});
    }
    return v;
}

// SIGNAL bits; `tail` sets the six tail bits (0 in a valid frame).
std::vector<int> signal_bits(const char* rate_bits, int length, int tail = 0) {
    std::vector<int> b = bits_of(rate_bits);
    b.push_back(0);
    for (int i = 0; i < 12; ++i) b.push_back((length >> i) & 1);
    int par = 0;
    for (int v : b) par ^= v;
    b.push_back(par);
    for (int i = 0; i < 6; ++i) b.push_back((tail >> i) & 1);
    return b;
}

// The whole frame at 36 Mbit/s (16-QAM, rate 3/4): preamble, SIGNAL, DATA.
std::vector<C> frame_36(const std::vector<int>& psdu_bits, int length, int os, int signal_tail = 0) {
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
    const std::vector<int> sig = interleave(encode(signal_bits("1011", length, signal_tail)), 48, 1);
    const std::vector<C> s = ofdm_symbol(map_symbol(sig, 0), ref::pilot_polarity()[0], os);
    out.insert(out.end(), s.begin(), s.end());
    // DATA: SERVICE, PSDU, tail, pad; scrambled, tail zeroed after scrambling.
    const int n_dbps = 144, n_cbps = 192;
    const int n_sym = (16 + 8 * length + 6 + n_dbps - 1) / n_dbps;
    std::vector<int> data(16, 0);
    data.insert(data.end(), psdu_bits.begin(), psdu_bits.end());
    data.resize(static_cast<size_t>(n_sym * n_dbps), 0);
    std::vector<int> scr = scramble(data, 0x5D);  // 1011101, the state of the annex
    for (int i = 0; i < 6; ++i) scr[16 + 8 * length + i] = 0;
    const std::vector<int> coded = puncture(encode(scr), 3, 4);
    for (int k = 0; k < n_sym; ++k) {
        std::vector<int> part(coded.begin() + k * n_cbps, coded.begin() + (k + 1) * n_cbps);
        const std::vector<C> sym = ofdm_symbol(map_symbol(interleave(part, n_cbps, 4), 2), ref::pilot_polarity()[(k + 1) % 127], os);
        out.insert(out.end(), sym.begin(), sym.end());
    }
    return out;
}

TEST(ReferenceEncoder, MatchesAnnexG) {
    const std::vector<int> sig = signal_bits("1011", 100);
    EXPECT_EQ(sig, bits_of(annex_g::kSignalBits));
    const std::vector<int> coded = encode(sig);
    EXPECT_EQ(coded, bits_of(annex_g::kSignalCoded));
    EXPECT_EQ(interleave(coded, 48, 1), bits_of(annex_g::kSignalInterleaved));
    // The scrambler from all ones gives the pilot polarity sequence (p = 1 - 2 s).
    const std::vector<int> s = scramble(std::vector<int>(127, 0), 0x7F);
    for (int i = 0; i < 127; ++i) EXPECT_EQ(1 - 2 * s[i], ref::pilot_polarity()[i]) << i;
    // Time domain at 20 MHz: the annex halves the first sample of each field (its window).
    const std::vector<C> f = frame_36(std::vector<int>(800, 0), 100, 1);
    for (int n = 1; n < 160; ++n) {
        EXPECT_NEAR(f[n].real(), annex_g::kShort[n][0], 0.0015) << n;
        EXPECT_NEAR(f[n].imag(), annex_g::kShort[n][1], 0.0015) << n;
        EXPECT_NEAR(f[160 + n].real(), annex_g::kLong[n][0], 0.0015) << n;
        EXPECT_NEAR(f[160 + n].imag(), annex_g::kLong[n][1], 0.0015) << n;
    }
    for (int n = 1; n < 80; ++n) {
        EXPECT_NEAR(f[320 + n].real(), annex_g::kSignal[n][0], 0.0015) << n;
        EXPECT_NEAR(f[320 + n].imag(), annex_g::kSignal[n][1], 0.0015) << n;
    }
}

TEST(ForeignFrame, SignalFoundAndEvmByDecisions) {
    TempDir dir("foreign");
    const int length = 100, os = 4;
    std::vector<int> psdu;
    uint32_t s = 2024;
    for (int i = 0; i < 8 * length; ++i) {
        s = s * 1664525u + 1013904223u;
        psdu.push_back(static_cast<int>(s >> 31));
    }
    const std::vector<C> f = frame_36(psdu, length, os);
    const std::string path = dir.file("foreign.csv");
    {
        std::FILE* out = std::fopen(path.c_str(), "w");
        ASSERT_NE(out, nullptr);
        for (int i = 0; i < 333; ++i) std::fprintf(out, "0.0,0.0\n");
        for (const C& v : f) std::fprintf(out, "%.12e,%.12e\n", v.real(), v.imag());
        for (int i = 0; i < 400; ++i) std::fprintf(out, "0.0,0.0\n");
        std::fclose(out);
    }
    const orv::analysis::Result r = orv::analysis::analyse_file(path, {});
    EXPECT_EQ(r.file.oversample, os);  // from the short training period
    EXPECT_EQ(r.file.sample_rate_source, "short training period");
    EXPECT_EQ(r.burst.start, 333);
    EXPECT_EQ(r.burst.length, static_cast<int64_t>(f.size()));
    ASSERT_TRUE(r.signal);
    EXPECT_EQ(r.signal->rate_mbps, 36);
    EXPECT_EQ(r.signal->length, length);
    EXPECT_TRUE(r.signal->parity_ok);
    EXPECT_EQ(r.signal->data_symbols, 6);
    ASSERT_TRUE(r.payload);
    EXPECT_EQ(r.payload->pattern, "not a test pattern");
    EXPECT_FALSE(r.payload->bit_errors.has_value());
    ASSERT_TRUE(r.evm_db);
    EXPECT_LT(*r.evm_db, -100.0);
}

// SIGNAL tail bits are decoded, not assumed: a nonzero tail is reported.
TEST(ForeignFrame, SignalTailIsChecked) {
    TempDir dir("tail");
    for (int tail : {0, 0x05, 0x20}) {
        const std::vector<C> f = frame_36(std::vector<int>(800, 0), 100, 2, tail);
        const std::string path = dir.file("tail.csv");
        std::FILE* out = std::fopen(path.c_str(), "w");
        ASSERT_NE(out, nullptr);
        for (const C& v : f) std::fprintf(out, "%.12e,%.12e\n", v.real(), v.imag());
        for (int i = 0; i < 2000; ++i) std::fprintf(out, "0.0,0.0\n");
        std::fclose(out);
        orv::analysis::Options opt;
        opt.oversample = 2;
        const orv::analysis::Result r = orv::analysis::analyse_file(path, opt);
        ASSERT_TRUE(r.signal) << tail;
        EXPECT_EQ(r.signal->tail_ok, tail == 0) << tail;
        EXPECT_EQ(r.signal->rate_mbps, 36) << tail;
        EXPECT_EQ(r.signal->length, 100) << tail;
    }
}

// A frame cut two symbols short of what its SIGNAL field announces, with silence after it:
// the missing symbols are a failure, and the silence is not demodulated as symbols.
TEST(ForeignFrame, BurstShorterThanItsSignalField) {
    TempDir dir("short");
    const int os = 2;
    std::vector<C> f = frame_36(std::vector<int>(800, 1), 100, os);
    f.resize(f.size() - 2 * 80 * os);
    const std::string path = dir.file("short.csv");
    std::FILE* out = std::fopen(path.c_str(), "w");
    ASSERT_NE(out, nullptr);
    for (const C& v : f) std::fprintf(out, "%.12e,%.12e\n", v.real(), v.imag());
    for (int i = 0; i < 3000; ++i) std::fprintf(out, "0.0,0.0\n");
    std::fclose(out);
    orv::analysis::Options opt;
    opt.oversample = os;
    const orv::analysis::Result r = orv::analysis::analyse_file(path, opt);
    ASSERT_TRUE(r.signal);
    EXPECT_EQ(r.signal->data_symbols, 6);
    EXPECT_EQ(r.data_symbols_demodulated, 4);
    ASSERT_FALSE(r.failures.empty());
    EXPECT_EQ(r.failures.front(), "the burst ends after 4 of the 6 DATA symbols the SIGNAL field announces");
    EXPECT_LT(r.evm_db.value_or(0), -100.0);
    EXPECT_EQ(r.burst.gap_length, 3000);
}

}  // namespace
