#include "data_field.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <vector>

#include "fft.h"
#include "ofdm_symbol.h"
#include "synth/reference/wlan_reference.h"

namespace {

using Generator = int32_t (*)(int32_t, int32_t*, int32_t*);

struct PnCase {
    const char* name;
    Generator generator;
    int32_t pattern;  // data_pattern of the generator
    int32_t n;        // register length
};
void PrintTo(const PnCase& c, std::ostream* os) { *os << c.name; }

const PnCase kPnCases[] = {{"PN9", pn9, 0, 9},
                           {"PN15", pn15, 1, 15},
                           {"PN19", pn19, 2, 19},
                           {"PN20", pn20, 3, 20},
                           {"PN23", pn23, 4, 23}};

std::vector<int32_t> run(Generator gen, int32_t seed, int32_t count) {
    std::vector<int32_t> bits(count);
    int32_t state = seed;
    EXPECT_EQ(gen(count, &state, bits.data()), 0);
    return bits;
}

class Pn : public ::testing::TestWithParam<PnCase> {};

// Against a generator written from the polynomial's recurrence, for a few seeds.
TEST_P(Pn, FollowsItsPolynomialFromTheSeed) {
    const PnCase& c = GetParam();
    for (uint32_t seed : {0xFFFFu, 0x1u, 0x5A5A5Au, 0x7FFFFFFFu, 0x80000001u}) {
        const std::vector<int32_t> got = run(c.generator, static_cast<int32_t>(seed), 4000);
        EXPECT_EQ(got, ref::pn_sequence(c.pattern, seed, 4000)) << c.name << " seed " << seed;
    }
}

// The first n bits are the seed's low n bits, most significant first.
TEST_P(Pn, StartsWithTheSeedBits) {
    const PnCase& c = GetParam();
    const int32_t seed = 0x2C5B3A6D;
    const std::vector<int32_t> got = run(c.generator, seed, c.n);
    const bool complemented = c.pattern == 1 || c.pattern == 4;
    for (int32_t i = 0; i < c.n; ++i)
        EXPECT_EQ(got[i], ((seed >> (c.n - 1 - i)) & 1) ^ (complemented ? 1 : 0)) << i;
}

// Maximal length: the n-bit windows of one period are the 2^n - 1 distinct
// nonzero register states, and the sequence then repeats.
TEST_P(Pn, PeriodIsTwoToTheNMinusOne) {
    const PnCase& c = GetParam();
    const int32_t period = (1 << c.n) - 1;
    const int32_t total = period + c.n;
    std::vector<int32_t> bits(total + 6);  // room for a last chunk rounded up to 6
    int32_t state = 0x1234567;
    for (int32_t done = 0; done < total;) {  // in chunks: the state carries across calls
        const int32_t chunk = total - done < (1 << 20) ? total - done : (1 << 20);
        ASSERT_EQ(c.generator(chunk < 6 ? 6 : chunk, &state, bits.data() + done), 0);
        done += chunk;
    }
    const int32_t flip = (c.pattern == 1 || c.pattern == 4) ? 1 : 0;
    std::vector<uint8_t> seen(static_cast<size_t>(1) << c.n, 0);
    uint32_t window = 0;
    const uint32_t mask = (1u << c.n) - 1u;
    for (int32_t t = 0; t < total; ++t) {
        window = ((window << 1) | static_cast<uint32_t>(bits[t] ^ flip)) & mask;
        if (t < c.n - 1) continue;
        if (t - (c.n - 1) < period) {
            ASSERT_NE(window, 0u) << t;
            ASSERT_EQ(seen[window], 0) << c.name << ": state repeats early at " << t;
            seen[window] = 1;
        }
    }
    for (int32_t i = 0; i < c.n; ++i) ASSERT_EQ(bits[period + i], bits[i]) << i;
}

TEST_P(Pn, ContinuesAcrossCalls) {
    const PnCase& c = GetParam();
    const std::vector<int32_t> whole = run(c.generator, 0xBEEF, 96);
    std::vector<int32_t> parts(96);
    int32_t state = 0xBEEF;
    ASSERT_EQ(c.generator(48, &state, parts.data()), 0);
    ASSERT_EQ(c.generator(48, &state, parts.data() + 48), 0);
    EXPECT_EQ(parts, whole);
}

TEST_P(Pn, RefusesCountsOutsideSixTo8388608) {
    const PnCase& c = GetParam();
    std::vector<int32_t> bits(16, 7);
    int32_t state = 0xFFFF;
    EXPECT_EQ(c.generator(5, &state, bits.data()), 1);
    EXPECT_EQ(c.generator(8388609, &state, bits.data()), 1);
    EXPECT_EQ(c.generator(-6, &state, bits.data()), 1);
    EXPECT_EQ(state, 0xFFFF);
    for (int32_t v : bits) EXPECT_EQ(v, 7);
    EXPECT_EQ(c.generator(6, &state, bits.data()), 0);
}

TEST_P(Pn, DispatchedByItsPatternIndex) {
    const PnCase& c = GetParam();
    std::vector<int32_t> bits(300);
    int32_t state = 0x3C3C3;
    generate_payload_bits(300, bits.data(), &state, c.pattern);
    EXPECT_EQ(bits, run(c.generator, 0x3C3C3, 300));
}

INSTANTIATE_TEST_SUITE_P(Generators, Pn, ::testing::ValuesIn(kPnCases),
                         [](const ::testing::TestParamInfo<PnCase>& tc) {
                             return std::string(tc.param.name);
                         });

TEST(Pn, Pn9FromAllOnesSeed) {
    const std::vector<int32_t> bits = run(pn9, 0xFFFF, 10);
    for (int32_t i = 0; i < 9; ++i) EXPECT_EQ(bits[i], 1) << i;
    EXPECT_EQ(bits[9], 0);  // feedback of an all-ones register is 1 XOR 1
}

TEST(Pn, Pn15FromAllOnesSeedStartsWithFifteenZeros) {
    const std::vector<int32_t> bits = run(pn15, 0xFFFF, 16);
    for (int32_t i = 0; i < 15; ++i) EXPECT_EQ(bits[i], 0) << i;
    EXPECT_EQ(bits[15], 1);
}

TEST(Pn, SeedWithZeroLowBitsLocksTheRegister) {
    for (int32_t b : run(pn9, 0x200, 600)) ASSERT_EQ(b, 0);
    for (int32_t b : run(pn15, 0x8000, 600)) ASSERT_EQ(b, 1);
    for (int32_t b : run(pn23, 0x800000, 600)) ASSERT_EQ(b, 1);
}

TEST(Pn, LargestCountIsAccepted) {
    std::vector<int32_t> bits(8388608);
    int32_t state = 0xFFFF;
    EXPECT_EQ(pn23(8388608, &state, bits.data()), 0);
    EXPECT_EQ(bits[0], 1);  // complement of the seed's bit 22 (0)
    EXPECT_EQ(bits[7], 0);  // complement of the seed's bit 15 (1)
}

TEST(Payload, ConstantPatternsAndTheirCountLimits) {
    std::vector<int32_t> bits(50, 7);
    int32_t state = 0x1234;
    generate_payload_bits(48, bits.data(), &state, 5);
    for (int32_t i = 0; i < 48; ++i) EXPECT_EQ(bits[i], 0);
    generate_payload_bits(48, bits.data(), &state, 6);
    for (int32_t i = 0; i < 48; ++i) EXPECT_EQ(bits[i], 1);
    EXPECT_EQ(bits[48], 7);
    EXPECT_EQ(state, 0x1234);  // the constant patterns do not use the state
    generate_payload_bits(5, bits.data(), &state, 5);
    EXPECT_EQ(bits[0], 1);  // count below 6: nothing written
}

TEST(Payload, UnknownPatternIsPn9) {
    for (int32_t pattern : {7, -1, 100}) {
        std::vector<int32_t> bits(100);
        int32_t state = 0xFFFF;
        generate_payload_bits(100, bits.data(), &state, pattern);
        EXPECT_EQ(bits, run(pn9, 0xFFFF, 100)) << pattern;
    }
}

// ---- build_data_field ----

TEST(DataField, ConstantPatternsGiveBpskMinusOrPlusOneEverywhere) {
    const int32_t os = 2, symbols = 3, m = 128, g = 32, len = 160;
    for (int32_t pattern : {5, 6}) {
        std::vector<double> i(len * symbols, 4.0), q(len * symbols, 4.0);
        // State after the SIGNAL symbol's step: DATA symbols take p1, p2, p3.
        ASSERT_EQ(build_data_field(os, 0xFFFF, pattern, symbols, 0, 0, len * symbols, i.data(),
                                   q.data(), 0x1FFFE),
                  0);
        const double level = pattern == 5 ? -1.0 : 1.0;
        for (int32_t k = 0; k < symbols; ++k) {
            const double* si = i.data() + len * k + g;
            const double* sq = q.data() + len * k + g;
            for (int32_t sc : kDataSubcarriers) {
                const ref::Bin x = ref::dft_bin(m, si, sq, sc);
                ASSERT_NEAR(x.re, level, 1e-12) << "symbol " << k << " subcarrier " << sc;
                ASSERT_NEAR(x.im, 0.0, 1e-12);
            }
            const int32_t p = ref::pilot_polarity()[k + 1];
            EXPECT_NEAR(ref::dft_bin(m, si, sq, -21).re, p, 1e-12);
            EXPECT_NEAR(ref::dft_bin(m, si, sq, 21).re, -p, 1e-12);
        }
    }
}

TEST(DataField, ReleasesTheFftTablesAlsoWithoutSymbols) {
    std::vector<double> re(256, 0.0), im(256, 0.0);
    fft(256, re.data(), im.data(), 0);
    ASSERT_EQ(fft_cached_size(), 256);
    double i[1] = {5.0}, q[1] = {5.0};
    EXPECT_EQ(build_data_field(4, 0xFFFF, 0, 0, 0, 0, 0, i, q, 0xFFFF), 0);
    EXPECT_EQ(fft_cached_size(), 0);
    EXPECT_EQ(i[0], 5.0);  // D = 0: nothing cleared

    std::vector<double> di(320 * 2), dq(320 * 2);
    EXPECT_EQ(build_data_field(4, 0xFFFF, 0, 2, 7, 0, 640, di.data(), dq.data(), 0xFFFF), 0);
    EXPECT_EQ(fft_cached_size(), 0);
}

TEST(DataField, RefusesInconsistentGeometry) {
    std::vector<double> i(400, 5.0), q(400, 5.0);
    EXPECT_EQ(build_data_field(4, 0xFFFF, 0, 2, 0, 0, 639, i.data(), q.data(), 0xFFFF), 1);
    EXPECT_EQ(build_data_field(0, 0xFFFF, 0, 1, 0, 0, 400, i.data(), q.data(), 0xFFFF), 1);
    EXPECT_EQ(build_data_field(4, 0xFFFF, 0, -1, 0, 0, 400, i.data(), q.data(), 0xFFFF), 1);
    for (double v : i) ASSERT_EQ(v, 5.0);
}

}  // namespace
