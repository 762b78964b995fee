#include "ofdm_symbol.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <ostream>
#include <vector>

#include "fft.h"
#include "synth/reference/wlan_reference.h"
#include "support/readable_params.h"

namespace {

// ---- Constellation mapping against the Gray tables of 17.3.5.7 ----

// Runs one value's bits through pack, Gray lookup, level map and K_MOD scaling.
ref::Bin map_one(int32_t mod, const int32_t* bits) {
    const int32_t nb = ref::n_bpsc(mod);
    std::vector<int32_t> all(6 * nb, 0);  // six values (the routines' minimum count)
    for (int32_t b = 0; b < nb; ++b) all[b] = bits[b];
    int32_t values[6], il[6], ql[6];
    double re[6], im[6];
    EXPECT_EQ(pack_bits(6 * nb, all.data(), mod, 6, values), 0);
    EXPECT_EQ(gray_lookup(6, values, values), 0);
    EXPECT_EQ(map_constellation(6, values, mod, il, ql), 0);
    EXPECT_EQ(scale_constellation(6, il, mod, re), 0);
    EXPECT_EQ(scale_constellation(6, ql, mod, im), 0);
    return {re[0], im[0]};
}

class Constellation : public ::testing::TestWithParam<int32_t> {};

TEST_P(Constellation, EveryBitPatternLandsOnItsGrayPoint) {
    const int32_t mod = GetParam();
    const int32_t nb = ref::n_bpsc(mod);
    for (int32_t v = 0; v < (1 << nb); ++v) {
        int32_t bits[6];
        for (int32_t b = 0; b < nb; ++b) bits[b] = (v >> (nb - 1 - b)) & 1;
        const ref::Bin expected = ref::constellation_point(mod, bits);
        const ref::Bin got = map_one(mod, bits);
        EXPECT_DOUBLE_EQ(got.re, expected.re) << "mod " << mod << " v " << v;
        EXPECT_DOUBLE_EQ(got.im, expected.im) << "mod " << mod << " v " << v;
    }
}

// The modulation of code 0 to 3 as the case name.
std::string modulation_name(const ::testing::TestParamInfo<int>& tc) {
    static const char* const kNames[] = {"BPSK", "QPSK", "QAM16", "QAM64"};
    return kNames[tc.param];
}

INSTANTIATE_TEST_SUITE_P(AllModulations, Constellation, ::testing::Values(0, 1, 2, 3), modulation_name);

TEST(Constellation, AllOnesAt64QamIsThreeThreeOverSqrt42) {
    const int32_t ones[6] = {1, 1, 1, 1, 1, 1};
    const ref::Bin p = map_one(MOD_64QAM, ones);
    EXPECT_DOUBLE_EQ(p.re, 3.0 / std::sqrt(42.0));
    EXPECT_DOUBLE_EQ(p.im, 3.0 / std::sqrt(42.0));
    EXPECT_EQ(gray_table[63], 42);
}

TEST(Constellation, QpskOneZeroIsPlusMinus) {
    const int32_t bits[2] = {1, 0};
    const ref::Bin p = map_one(MOD_QPSK, bits);
    EXPECT_DOUBLE_EQ(p.re, 1.0 / std::sqrt(2.0));
    EXPECT_DOUBLE_EQ(p.im, -1.0 / std::sqrt(2.0));
}

TEST(GrayTable, InvertsTheGrayCode) {
    for (int32_t v = 0; v < 256; ++v) {
        const int32_t g = gray_table[v];
        ASSERT_EQ(g ^ (g >> 1), v) << v;  // natural-to-Gray of the entry gives v back
    }
}

// ---- Guards: each refused call returns its code and leaves the outputs alone ----

enum class Routine { kPilots, kPack, kGray, kMap, kScale, kSigns };

struct GuardCase {
    const char* name;
    Routine routine;
    int32_t count;  // the routine's count argument
    int32_t mod;    // modulation code (pack, map, scale)
    int32_t extra;  // N_CBPS for pack, the negation count for set_pilot_signs
    int32_t expected;
};
void PrintTo(const GuardCase& c, std::ostream* os) { *os << c.name; }

// Runs one routine into out (2048 int32 of room) with the case's arguments.
int32_t call_routine(const GuardCase& c, int32_t* out) {
    static const int32_t in[2048] = {};
    static const int32_t negate[1] = {0};
    int32_t state = 0xFFFF;
    switch (c.routine) {
        case Routine::kPilots: return next_pilot_polarity(c.count, &state, out);
        case Routine::kPack: return pack_bits(c.extra, in, c.mod, c.count, out);
        case Routine::kGray: return gray_lookup(c.count, in, out);
        case Routine::kMap: return map_constellation(c.count, in, c.mod, out, out + 1024);
        case Routine::kScale:
            return scale_constellation(c.count, in, c.mod, reinterpret_cast<double*>(out));
        case Routine::kSigns: return set_pilot_signs(c.count, in, c.extra, negate, out);
    }
    return -1;
}

class Guards : public ::testing::TestWithParam<GuardCase> {};

TEST_P(Guards, ReturnCodeAndOutputsUntouched) {
    constexpr int32_t kSentinel = 12345;
    std::vector<int32_t> out(2048, kSentinel);
    EXPECT_EQ(call_routine(GetParam(), out.data()), GetParam().expected);
    for (int32_t v : out) ASSERT_EQ(v, kSentinel);
}

INSTANTIATE_TEST_SUITE_P(
    Routines, Guards,
    ::testing::Values(GuardCase{"pilot_count_0", Routine::kPilots, 0, 0, 0, 1},
                      GuardCase{"pilot_count_huge", Routine::kPilots, 8388609, 0, 0, 1},
                      GuardCase{"pack_count_5", Routine::kPack, 5, 0, 48, 1},
                      GuardCase{"pack_count_huge", Routine::kPack, 1048577, 0, 48, 1},
                      GuardCase{"pack_mod_4", Routine::kPack, 48, 4, 288, 2},
                      GuardCase{"pack_mod_negative", Routine::kPack, 48, -1, 288, 2},
                      GuardCase{"pack_short_cbps", Routine::kPack, 48, MOD_16QAM, 191, 3},
                      GuardCase{"pack_count_before_mod", Routine::kPack, 2, 9, 48, 1},
                      GuardCase{"gray_count_5", Routine::kGray, 5, 0, 0, 1},
                      GuardCase{"map_count", Routine::kMap, 1048577, 0, 0, 1},
                      GuardCase{"map_mod", Routine::kMap, 48, 7, 0, 2},
                      GuardCase{"scale_count", Routine::kScale, 0, 0, 0, 1},
                      GuardCase{"scale_mod", Routine::kScale, 48, 4, 0, 2},
                      GuardCase{"signs_count", Routine::kSigns, 1025, 0, 1, 1},
                      GuardCase{"signs_negate_count", Routine::kSigns, 4, 0, 5, 2},
                      GuardCase{"signs_negate_negative", Routine::kSigns, 4, 0, -1, 2}),
    [](const ::testing::TestParamInfo<GuardCase>& tc) { return std::string(tc.param.name); });

struct PlaceCase {
    int32_t count, base, os, expected;
};
void PrintTo(const PlaceCase& c, std::ostream* os) {
    *os << "count " << c.count << " base " << c.base << " os " << c.os;
}

class PlacementGuards : public ::testing::TestWithParam<PlaceCase> {};

TEST_P(PlacementGuards, BothRoutinesRefuseAlike) {
    const PlaceCase& c = GetParam();
    std::vector<double> re(4096, 7.0), im(4096, 7.0);
    const std::vector<double> v(64, 1.0);
    const std::vector<int32_t> pilots(64, 1), index(64, 1);
    EXPECT_EQ(place_subcarriers(c.count, v.data(), v.data(), index.data(), c.base, c.os, re.data(),
                                im.data()),
              c.expected);
    EXPECT_EQ(place_pilots(c.count, pilots.data(), index.data(), c.base, c.os, re.data()),
              c.expected);
    for (size_t i = 0; i < re.size(); ++i) ASSERT_TRUE(re[i] == 7.0 && im[i] == 7.0);
}

INSTANTIATE_TEST_SUITE_P(Cases, PlacementGuards,
                         ::testing::Values(PlaceCase{4, 31, 1, 1}, PlaceCase{4, 1025, 1, 1},
                                           PlaceCase{0, 64, 1, 2}, PlaceCase{65, 64, 1, 2},
                                           PlaceCase{4, 64, 0, 3}, PlaceCase{4, 64, 129, 3},
                                           PlaceCase{0, 16, 0, 1}), orv_test::PrintedName());

TEST(EdgeWindowAndPrefix, Guards) {
    std::vector<double> x(100, 2.0);
    EXPECT_EQ(apply_edge_window(31, 4, x.data(), x.data()), 1);
    EXPECT_EQ(apply_edge_window(80, 0, x.data(), x.data()), 2);
    EXPECT_EQ(apply_edge_window(80, 80, x.data(), x.data()), 2);
    EXPECT_EQ(add_cyclic_prefix(31, 16, x.data() + 16, x.data()), 1);
    EXPECT_EQ(add_cyclic_prefix(64, 15, x.data() + 16, x.data()), 2);
    EXPECT_EQ(add_cyclic_prefix(64, 65, x.data() + 16, x.data()), 2);
    for (double v : x) ASSERT_EQ(v, 2.0);
}

// ---- Pilots ----

TEST(PilotPolarity, FollowsThe127ValueSequenceOverTwoPeriods) {
    const int32_t* p = ref::pilot_polarity();
    int32_t state = 0xFFFF;
    for (int32_t n = 0; n < 2 * 127; ++n) {
        int32_t out[4] = {};
        ASSERT_EQ(next_pilot_polarity(4, &state, out), 0);
        for (int32_t v : out) ASSERT_EQ(v, p[n % 127]) << "step " << n;
    }
}

TEST(PilotSigns, FourthPilotIsNegated) {
    const int32_t in[4] = {-1, -1, -1, -1};
    const int32_t negate[2] = {3, 9};  // 9 lies outside the four entries and is ignored
    int32_t out[4];
    ASSERT_EQ(set_pilot_signs(4, in, 2, negate, out), 0);
    EXPECT_EQ(out[0], -1);
    EXPECT_EQ(out[1], -1);
    EXPECT_EQ(out[2], -1);
    EXPECT_EQ(out[3], 1);
}

// ---- Placement, prefix and taper ----

TEST(Placement, NegativeSubcarriersWrapAndOuterBinsStayEmpty) {
    const int32_t os = 4, m = 256;
    std::vector<double> re(m, 0.0), im(m, 0.0);
    double vr[48], vi[48];
    for (int32_t i = 0; i < 48; ++i) {
        vr[i] = i + 1;
        vi[i] = -(i + 1);
    }
    ASSERT_EQ(place_subcarriers(48, vr, vi, kDataSubcarriers, 64, os, re.data(), im.data()), 0);
    const int32_t pilots[4] = {1, 1, 1, -1};
    ASSERT_EQ(place_pilots(4, pilots, kPilotSubcarriers, 64, os, re.data()), 0);
    for (int32_t i = 0; i < 48; ++i) {
        const int32_t k = kDataSubcarriers[i];
        const int32_t bin = k >= 0 ? k : m + k;
        EXPECT_EQ(re[bin], i + 1);
        EXPECT_EQ(im[bin], -(i + 1));
    }
    EXPECT_EQ(re[m - 26], 1.0);  // subcarrier -26 is the first value
    EXPECT_EQ(re[m - 21], 1.0);  // pilot -21
    EXPECT_EQ(re[21], -1.0);     // pilot +21
    EXPECT_EQ(im[21], 0.0);
    EXPECT_EQ(re[0], 0.0);  // DC
    for (int32_t bin = 27; bin <= m - 27; ++bin)
        ASSERT_TRUE(re[bin] == 0.0 && im[bin] == 0.0) << bin;
}

TEST(CyclicPrefix, CopiesTheLastGSamplesInFrontInPlaceOrNot) {
    const int32_t m = 64, g = 16;
    std::vector<double> in_place(80, 0.0), separate(80, 0.0), src(m);
    for (int32_t i = 0; i < m; ++i) src[i] = in_place[g + i] = 0.5 * i - 3.0;
    ASSERT_EQ(add_cyclic_prefix(m, g, in_place.data() + g, in_place.data()), 0);
    ASSERT_EQ(add_cyclic_prefix(m, g, src.data(), separate.data()), 0);
    for (int32_t i = 0; i < g; ++i) EXPECT_EQ(in_place[i], src[m - g + i]);
    for (int32_t i = 0; i < m; ++i) EXPECT_EQ(in_place[g + i], src[i]);
    EXPECT_EQ(in_place, separate);
}

TEST(EdgeWindow, TaperWeightsAtBothEndsOnly) {
    // sin^2(pi/2 (i/L + 1/2)) = (1 + sin(pi i / L)) / 2.
    const int32_t c = 320, L = 8;
    std::vector<double> x(c, 1.0);
    ASSERT_EQ(apply_edge_window(c, L, x.data(), x.data()), 0);
    for (int32_t i = 0; i < 4; ++i) {
        const double w = (1.0 + std::sin(std::numbers::pi * i / L)) / 2.0;
        EXPECT_NEAR(x[i], w, 1e-15) << i;
        EXPECT_NEAR(x[c - 1 - i], w, 1e-15) << i;
    }
    for (int32_t i = 4; i < c - 4; ++i) ASSERT_EQ(x[i], 1.0) << i;
}

TEST(EdgeWindow, OddLengthAndSeparateDestination) {
    const int32_t c = 80, L = 5;  // h = 2
    std::vector<double> src(c), dst(c, -9.0);
    for (int32_t i = 0; i < c; ++i) src[i] = 1.0 + i;
    const std::vector<double> src0 = src;
    ASSERT_EQ(apply_edge_window(c, L, src.data(), dst.data()), 0);
    EXPECT_EQ(src, src0);
    EXPECT_NEAR(dst[1], 2.0 * (1.0 + std::sin(std::numbers::pi / 5)) / 2.0, 1e-14);
    for (int32_t i = 2; i < c - 2; ++i) ASSERT_EQ(dst[i], src[i]);
    EXPECT_NEAR(dst[c - 1], 0.5 * c, 1e-14);  // sin^2(pi/4) is 0.5 to rounding
}

TEST(EdgeWindow, LengthOneChangesNothing) {
    std::vector<double> x(64, 3.0);
    ASSERT_EQ(apply_edge_window(64, 1, x.data(), x.data()), 0);
    for (double v : x) ASSERT_EQ(v, 3.0);
}

// ---- One whole symbol, checked by demodulating it with a direct DFT ----

struct SymbolCase {
    int32_t os, mod;
};
void PrintTo(const SymbolCase& c, std::ostream* os) { *os << "os " << c.os << " mod " << c.mod; }

class WholeSymbol : public ::testing::TestWithParam<SymbolCase> {};

TEST_P(WholeSymbol, DemodulatesToItsBitsAndPilots) {
    const auto [os, mod] = GetParam();
    const int32_t nb = ref::n_bpsc(mod), n_cbps = 48 * nb, m = 64 * os, g = 16 * os;
    std::vector<int32_t> bits(n_cbps);
    uint32_t lfsr = 0xACE1u;
    for (auto& b : bits) {
        lfsr = (lfsr >> 1) ^ (-(lfsr & 1u) & 0xB400u);
        b = static_cast<int32_t>(lfsr & 1u);
    }
    std::vector<double> si(80 * os, 5.0), sq(80 * os, 5.0);  // junk: the builder clears it
    int32_t state = 0xFFFF;
    ASSERT_EQ(build_ofdm_symbol(os, bits.data(), mod, n_cbps, nb, &state, 0, si.data(), sq.data()),
              0);
    EXPECT_EQ(state, 0x1FFFE);  // one polarity step
    fft_release_tables();

    for (int32_t i = 0; i < g; ++i) {  // guard interval = last 16 os samples
        ASSERT_EQ(si[i], si[m + i]);
        ASSERT_EQ(sq[i], sq[m + i]);
    }
    for (int32_t i = 0; i < 48; ++i) {
        const ref::Bin x = ref::dft_bin(m, si.data() + g, sq.data() + g, kDataSubcarriers[i]);
        const ref::Bin e = ref::constellation_point(mod, bits.data() + nb * i);
        EXPECT_NEAR(x.re, e.re, 1e-12) << "subcarrier " << kDataSubcarriers[i];
        EXPECT_NEAR(x.im, e.im, 1e-12) << "subcarrier " << kDataSubcarriers[i];
    }
    const double pilots[4] = {1, 1, 1, -1};
    for (int32_t i = 0; i < 4; ++i) {
        const ref::Bin x = ref::dft_bin(m, si.data() + g, sq.data() + g, kPilotSubcarriers[i]);
        EXPECT_NEAR(x.re, pilots[i], 1e-12);
        EXPECT_NEAR(x.im, 0.0, 1e-12);
    }
    for (int32_t k : {0, 27, 32, -27, -32}) {
        const ref::Bin x = ref::dft_bin(m, si.data() + g, sq.data() + g, k);
        EXPECT_NEAR(x.re, 0.0, 1e-12) << k;
        EXPECT_NEAR(x.im, 0.0, 1e-12) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, WholeSymbol,
                         ::testing::Values(SymbolCase{1, 0}, SymbolCase{4, 1}, SymbolCase{5, 2},
                                           SymbolCase{8, 3}, SymbolCase{10, 3}, SymbolCase{7, 0}),
                         orv_test::PrintedName());

TEST(WholeSymbol, TaperAppliesToBothChannels) {
    const int32_t os = 4, L = 8;
    std::vector<int32_t> bits(288, 1);
    std::vector<double> i0(320), q0(320), i1(320), q1(320);
    int32_t s0 = 0xFFFF, s1 = 0xFFFF;
    build_ofdm_symbol(os, bits.data(), MOD_64QAM, 288, 6, &s0, 0, i0.data(), q0.data());
    build_ofdm_symbol(os, bits.data(), MOD_64QAM, 288, 6, &s1, L, i1.data(), q1.data());
    fft_release_tables();
    EXPECT_NEAR(i1[0], 0.5 * i0[0], 1e-16);
    EXPECT_NEAR(q1[319], 0.5 * q0[319], 1e-16);
    EXPECT_NE(i1[1], i0[1]);
    for (int32_t n = 4; n < 316; ++n) ASSERT_TRUE(i1[n] == i0[n] && q1[n] == q0[n]) << n;
}

TEST(WholeSymbol, RefusesAnOversamplingOutOfRange) {
    std::vector<int32_t> bits(48, 0);
    double i[8] = {}, q[8] = {};
    int32_t state = 0xFFFF;
    EXPECT_EQ(build_ofdm_symbol(0, bits.data(), 0, 48, 1, &state, 0, i, q), 1);
    EXPECT_EQ(state, 0xFFFF);
}

}  // namespace
