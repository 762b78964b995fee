// End to end: a burst written by orv_11a_actual as a CSV file is read back and
// demodulated like an analyser would, with a direct DFT of each symbol's
// useful part, an independent Gray demapper and an independent PN generator.
#include <gtest/gtest.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "orvasynth.h"
#include "synth/reference/wlan_reference.h"
#include "support/files.h"
#include "support/readable_params.h"

namespace {

// 17.3.2.2 / 17.3.4.1: modulation code, N_DBPS and RATE bits R1..R4 per rate index.
constexpr int32_t kMod[8] = {0, 0, 1, 1, 2, 2, 3, 3};
constexpr int32_t kNdbps[8] = {24, 36, 48, 72, 96, 144, 192, 216};
constexpr const char* kRateBits[8] = {"1101", "1111", "0101", "0111",
                                      "1001", "1011", "0001", "0011"};
// Subcarriers of the data and pilot values, 17.3.5.9.
constexpr int32_t kPilotSc[4] = {-21, -7, 7, 21};

std::vector<int32_t> data_subcarriers() {
    std::vector<int32_t> sc;
    for (int32_t k = -26; k <= 26; ++k)
        if (k != 0 && k != -21 && k != -7 && k != 7 && k != 21) sc.push_back(k);
    return sc;
}

WaveParams base_record() {
    WaveParams p{};
    p.filter_rolloff = 0.5;
    p.filter_taps = 191;
    p.pn_seed = 0xFFFF;
    p.oversampling = 4;
    p.ofdm_symbols = 10;
    return p;
}

struct Burst {
    std::vector<double> i, q;
};

// Writes the burst as CSV (output mode 1) and reads it back.
Burst generate(WaveParams p) {
    const orv_test::TempDir dir("demod");
    const std::string path = dir.file("burst.csv");
    const int32_t rc = orv_11a_actual(&p, 1, path.c_str());
    EXPECT_EQ(rc, 0);
    Burst b;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const char* s = line.data();
        const char* end = s + line.size();
        while (s < end && *s == ' ') ++s;
        double vi = 0.0, vq = 0.0;
        auto r1 = std::from_chars(s, end, vi);
        const char* t = r1.ptr + 1;  // past the comma
        while (t < end && *t == ' ') ++t;
        auto r2 = std::from_chars(t, end, vq);
        EXPECT_TRUE(r1.ec == std::errc() && *r1.ptr == ',' && r2.ec == std::errc()) << line;
        b.i.push_back(vi);
        b.q.push_back(vq);
    }
    return b;
}

// Subcarrier values of the symbol starting at sample start: a direct DFT of
// its 64 os useful samples (after the 16 os guard samples), unscaled, so
// that each subcarrier reads back its transmitted value.
struct Demod {
    int32_t os;
    int32_t m;
    std::vector<double> c, s;  // e^(-j 2 pi r / m)
    explicit Demod(int32_t oversampling) : os(oversampling), m(64 * oversampling), c(m), s(m) {
        for (int32_t r = 0; r < m; ++r) {
            c[r] = std::cos(2.0 * std::numbers::pi * r / m);
            s[r] = -std::sin(2.0 * std::numbers::pi * r / m);
        }
    }
    ref::Bin bin(const Burst& b, size_t start, int32_t k) const {
        const double* xi = b.i.data() + start + 16 * os;
        const double* xq = b.q.data() + start + 16 * os;
        const int32_t kk = (k + m) % m;
        double re = 0.0, im = 0.0;
        for (int32_t t = 0; t < m; ++t) {
            const int32_t r = static_cast<int32_t>((static_cast<int64_t>(kk) * t) % m);
            re += xi[t] * c[r] - xq[t] * s[r];
            im += xi[t] * s[r] + xq[t] * c[r];
        }
        return {re, im};
    }
};

// Nearest constellation point of a modulation: the bit pattern it carries.
std::vector<int32_t> decide(int32_t mod, ref::Bin x, double* distance) {
    const int32_t nb = ref::n_bpsc(mod);
    std::vector<int32_t> best(nb), bits(nb);
    double best_d = 1e300;
    for (int32_t v = 0; v < (1 << nb); ++v) {
        for (int32_t b = 0; b < nb; ++b) bits[b] = (v >> (nb - 1 - b)) & 1;
        const ref::Bin p = ref::constellation_point(mod, bits.data());
        const double d = std::hypot(x.re - p.re, x.im - p.im);
        if (d < best_d) {
            best_d = d;
            best = bits;
        }
    }
    *distance = best_d;
    return best;
}

// Checks the four pilots of one symbol: p (1, 1, 1, -1), real.
void expect_pilots(const Demod& d, const Burst& b, size_t start, int32_t p,
                   const std::string& what) {
    const double sign[4] = {1, 1, 1, -1};
    for (int32_t n = 0; n < 4; ++n) {
        const ref::Bin x = d.bin(b, start, kPilotSc[n]);
        EXPECT_NEAR(x.re, p * sign[n], 1e-6) << what << " pilot " << kPilotSc[n];
        EXPECT_NEAR(x.im, 0.0, 1e-6) << what << " pilot " << kPilotSc[n];
    }
}

// ---- Payload bits of every rate and pattern ----

struct PayloadCase {
    int32_t rate, pattern;
};
void PrintTo(const PayloadCase& c, std::ostream* os) {
    *os << "rate " << c.rate << " pattern " << c.pattern;
}

class Payload : public ::testing::TestWithParam<PayloadCase> {};

TEST_P(Payload, DataSubcarriersCarryThePatternAndPilotsTheirPolarity) {
    const auto [rate, pattern] = GetParam();
    WaveParams p = base_record();
    p.rate_index = rate;
    p.data_pattern = pattern;
    p.oversampling = 1 + (7 * rate + pattern) % 10;
    p.ofdm_symbols = 12;
    p.pn_seed = static_cast<int32_t>(0x5D2B1u + 977u * rate + 31u * pattern) | 1;
    const int32_t os = p.oversampling;
    const Burst b = generate(p);
    ASSERT_EQ(b.i.size(), static_cast<size_t>(80 * os * (5 + p.ofdm_symbols)));

    const int32_t mod = kMod[rate], nb = ref::n_bpsc(mod), n_cbps = 48 * nb;
    const std::vector<int32_t> expected =
        ref::pn_sequence(pattern, static_cast<uint32_t>(p.pn_seed), n_cbps * p.ofdm_symbols);
    const std::vector<int32_t> sc = data_subcarriers();
    const Demod d(os);
    int32_t wrong_bits = 0;
    double worst = 0.0;
    for (int32_t k = 0; k < p.ofdm_symbols; ++k) {
        const size_t start = static_cast<size_t>(80 * os) * (5 + k);
        for (int32_t n = 0; n < 48; ++n) {
            double dist = 0.0;
            const std::vector<int32_t> bits = decide(mod, d.bin(b, start, sc[n]), &dist);
            worst = std::max(worst, dist);
            for (int32_t j = 0; j < nb; ++j)
                wrong_bits += bits[j] != expected[static_cast<size_t>(n_cbps) * k + nb * n + j];
        }
        expect_pilots(d, b, start, ref::pilot_polarity()[k + 1], "symbol " + std::to_string(k));
    }
    EXPECT_EQ(wrong_bits, 0);
    EXPECT_LT(worst, 1e-6);  // every value sits on its constellation point
}

std::vector<PayloadCase> all_payload_cases() {
    std::vector<PayloadCase> cases;
    for (int32_t rate = 0; rate < 8; ++rate)
        for (int32_t pattern = 0; pattern < 7; ++pattern) cases.push_back({rate, pattern});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryRateAndPattern, Payload, ::testing::ValuesIn(all_payload_cases()),
                         [](const ::testing::TestParamInfo<PayloadCase>& tc) {
                             return "rate" + std::to_string(tc.param.rate) + "_pattern" +
                                    std::to_string(tc.param.pattern);
                         });

// ---- SIGNAL symbol decoded back to RATE and LENGTH ----

// Noise-free decoding of the rate-1/2 code: with the earlier inputs known,
// A = u ^ u-2 ^ u-3 ^ u-5 ^ u-6 (133 octal) gives u; B (171 octal) must agree.
std::vector<int32_t> decode_signal(const std::vector<int32_t>& coded, bool* consistent) {
    std::vector<int32_t> u(24, 0);
    auto at = [&u](int32_t t) { return t >= 0 ? u[t] : 0; };
    *consistent = true;
    for (int32_t t = 0; t < 24; ++t) {
        u[t] = coded[2 * t] ^ at(t - 2) ^ at(t - 3) ^ at(t - 5) ^ at(t - 6);
        const int32_t b = u[t] ^ at(t - 1) ^ at(t - 2) ^ at(t - 3) ^ at(t - 6);
        if (b != coded[2 * t + 1]) *consistent = false;
    }
    return u;
}

struct SignalCase {
    int32_t rate, symbols, os;
};
void PrintTo(const SignalCase& c, std::ostream* os) {
    *os << "rate " << c.rate << " symbols " << c.symbols << " os " << c.os;
}

class SignalDecode : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SignalDecode, CarriesRateAndLengthOfTheBurst) {
    const auto [rate, symbols, os] = GetParam();
    WaveParams p = base_record();
    p.rate_index = rate;
    p.ofdm_symbols = symbols;
    p.oversampling = os;
    const Burst b = generate(p);
    ASSERT_EQ(b.i.size(), static_cast<size_t>(80 * os * (5 + symbols)));

    const Demod d(os);
    const size_t start = static_cast<size_t>(320 * os);
    const std::vector<int32_t> sc = data_subcarriers();
    std::vector<int32_t> received(48), coded(48);
    for (int32_t n = 0; n < 48; ++n) {
        const ref::Bin x = d.bin(b, start, sc[n]);
        EXPECT_NEAR(std::fabs(x.re), 1.0, 1e-6);
        EXPECT_NEAR(x.im, 0.0, 1e-6);
        received[n] = x.re > 0.0 ? 1 : 0;
    }
    for (int32_t j = 0; j < 48; ++j) coded[ref::deinterleave_index(j, 48, 1)] = received[j];
    bool consistent = false;
    const std::vector<int32_t> u = decode_signal(coded, &consistent);
    EXPECT_TRUE(consistent);

    std::string rate_bits;
    for (int32_t t = 0; t < 4; ++t) rate_bits += static_cast<char>('0' + u[t]);
    EXPECT_EQ(rate_bits, kRateBits[rate]);
    EXPECT_EQ(u[4], 0);
    int32_t length = 0, parity = 0;
    for (int32_t t = 0; t < 12; ++t) length |= u[5 + t] << t;
    for (int32_t t = 0; t < 18; ++t) parity ^= u[t];
    EXPECT_EQ(parity, 0);
    for (int32_t t = 18; t < 24; ++t) EXPECT_EQ(u[t], 0);
    const int32_t expected_length = ((symbols * kNdbps[rate] - 22) / 8) & 0xFFF;
    EXPECT_EQ(length, expected_length);
    if (symbols >= 1) {  // a receiver derives exactly the burst's symbol count
        const int32_t n_sym = (16 + 8 * length + 6 + kNdbps[rate] - 1) / kNdbps[rate];
        EXPECT_EQ(n_sym, symbols);
    }
    expect_pilots(d, b, start, ref::pilot_polarity()[0], "SIGNAL");
}

INSTANTIATE_TEST_SUITE_P(Cases, SignalDecode,
                         ::testing::Values(SignalCase{0, 100, 1}, SignalCase{7, 151, 4},
                                           SignalCase{5, 0, 8}, SignalCase{5, 100, 8},
                                           SignalCase{3, 1, 5}, SignalCase{1, 37, 10},
                                           SignalCase{6, 2, 6}, SignalCase{2, 10, 7},
                                           SignalCase{4, 5, 9}, SignalCase{0, 1, 3},
                                           SignalCase{0, 0, 2}), orv_test::PrintedName());

// ---- Burst layout ----

TEST(BurstLayout, IqInverseExchangesTheChannels) {
    WaveParams p = base_record();
    p.rate_index = 6;
    p.data_pattern = 2;
    p.oversampling = 5;
    const Burst normal = generate(p);
    p.iq_inverse = 1;
    const Burst swapped = generate(p);
    EXPECT_EQ(swapped.i, normal.q);
    EXPECT_EQ(swapped.q, normal.i);
}

TEST(BurstLayout, DataOnlyFormatStartsAtSampleZeroWithPolarityPlusOne) {
    WaveParams p = base_record();
    p.frame_format = 1;
    p.oversampling = 4;
    p.ofdm_symbols = 10;
    p.rate_index = 3;
    const Burst b = generate(p);
    ASSERT_EQ(b.i.size(), 3200u);
    const Demod d(4);
    const std::vector<int32_t> expected = ref::pn_sequence(0, 0xFFFF, 96 * 10);
    const std::vector<int32_t> sc = data_subcarriers();
    for (int32_t k = 0; k < 10; ++k) {
        const size_t start = static_cast<size_t>(320) * k;
        expect_pilots(d, b, start, ref::pilot_polarity()[k], "symbol " + std::to_string(k));
        for (int32_t n = 0; n < 48; ++n) {
            double dist = 0.0;
            const std::vector<int32_t> bits = decide(1, d.bin(b, start, sc[n]), &dist);
            ASSERT_EQ(bits[0], expected[96 * k + 2 * n]) << k << " " << n;
            ASSERT_EQ(bits[1], expected[96 * k + 2 * n + 1]) << k << " " << n;
        }
    }
}

TEST(BurstLayout, FullFormatPlacesPreambleSignalAndDataEdgeToEdge) {
    WaveParams p = base_record();
    p.oversampling = 2;
    p.ofdm_symbols = 3;
    p.data_pattern = 6;
    const Burst b = generate(p);
    ASSERT_EQ(b.i.size(), 80u * 2 * 8);
    const Demod d(2);
    // The long field starts at 160 os = 320 and its first symbol after the
    // 32 os guard, at 384 (the demodulator skips 16 os from its start): L_1 = +1, L_2 = -1.
    EXPECT_NEAR(d.bin(b, 384 - 32, 1).re, 1.0, 1e-6);
    EXPECT_NEAR(d.bin(b, 384 - 32, 2).re, -1.0, 1e-6);
    EXPECT_NEAR(d.bin(b, 384 + 128 - 32, -26).re, 1.0, 1e-6);  // second long symbol
    // DATA symbol 0 at 400 os with "ALL 1" on BPSK: +1 on every data subcarrier.
    for (int32_t k : data_subcarriers()) ASSERT_NEAR(d.bin(b, 800, k).re, 1.0, 1e-6) << k;
}

}  // namespace
