// An impaired AWG file's levels come from its samples kept in single
// precision (add_levels_iq) or from the same samples in double precision
// (add_levels, the blocks that were not kept): every figure, the full scale
// among them, must be the same to the last bit, onto levels already summed
// too. NaN, infinity, zeros of both signs, the smallest and largest floats in
// every lane and at the ends.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "sequence_levels.h"

namespace {

struct KeptCase {
    const char* name;
    int32_t n;
    std::vector<std::pair<int32_t, float>> i_set;  // sample, value put into I
    std::vector<std::pair<int32_t, float>> q_set;  // sample, value put into Q
    bool onto_summed;                              // levels summed before
    bool lanes_apart = false;  // samples k % 4 = 0..3 of different sizes (a mix-up of lanes shows in the sums)
};

void PrintTo(const KeptCase& c, std::ostream* os) { *os << c.name; }

std::vector<float> pairs_for(const KeptCase& c) {
    std::vector<float> iq(2 * static_cast<size_t>(c.n) + 2);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (size_t k = 0; k < 2 * static_cast<size_t>(c.n); ++k) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        iq[k] = static_cast<float>((static_cast<double>(x >> 11) / 9007199254740992.0 - 0.5) * 3.0);
    }
    const double sizes[4] = {1.0, 3.1, 1.7, 0.55};
    if (c.lanes_apart)
        for (size_t k = 0; k < 2 * static_cast<size_t>(c.n); ++k) iq[k] = static_cast<float>(iq[k] * sizes[(k / 2) % 4]);
    for (const auto& [k, v] : c.i_set) iq[2 * static_cast<size_t>(k)] = v;
    for (const auto& [k, v] : c.q_set) iq[2 * static_cast<size_t>(k) + 1] = v;
    return iq;
}

bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

class KeptLevels : public ::testing::TestWithParam<KeptCase> {};

TEST_P(KeptLevels, TheDoubleSamplesFiguresToTheBit) {
    const KeptCase& c = GetParam();
    const std::vector<float> iq = pairs_for(c);
    std::vector<double> i(static_cast<size_t>(c.n) + 1), q(static_cast<size_t>(c.n) + 1);
    for (int32_t k = 0; k < c.n; ++k) i[k] = iq[2 * k], q[k] = iq[2 * k + 1];
    SequenceLevels want, got;
    if (c.onto_summed) {
        const double before[] = {0.5, 0.25, 0.75, 1.0 / 3.0, 11.0, 13.0, 24.0};
        for (SequenceLevels* m : {&want, &got})
            *m = SequenceLevels{before[0], before[1], before[2], before[4], before[5], before[6], before[3]};
    }
    add_levels(i.data(), q.data(), c.n, &want);
    add_levels_iq(iq.data(), c.n, &got);
    EXPECT_TRUE(same(got.scale, want.scale)) << got.scale << " against " << want.scale;
    EXPECT_TRUE(same(got.peak_i, want.peak_i)) << got.peak_i << " against " << want.peak_i;
    EXPECT_TRUE(same(got.peak_q, want.peak_q)) << got.peak_q << " against " << want.peak_q;
    EXPECT_TRUE(same(got.peak_c, want.peak_c)) << got.peak_c << " against " << want.peak_c;
    EXPECT_TRUE(same(got.sum_i, want.sum_i)) << got.sum_i << " against " << want.sum_i;
    EXPECT_TRUE(same(got.sum_q, want.sum_q)) << got.sum_q << " against " << want.sum_q;
    EXPECT_TRUE(same(got.sum_c, want.sum_c)) << got.sum_c << " against " << want.sum_c;
}

const float kNan = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();
const float kTiny = std::numeric_limits<float>::denorm_min();

INSTANTIATE_TEST_SUITE_P(
    Cases, KeptLevels,
    ::testing::Values(
        KeptCase{"none", 0, {}, {}, false}, KeptCase{"one", 1, {}, {}, false},
        KeptCase{"three", 3, {}, {}, true}, KeptCase{"one_quad", 4, {}, {}, false},
        KeptCase{"quad_plus_1", 5, {}, {}, true}, KeptCase{"a_block_and_3", 16387, {}, {}, true},
        // The largest magnitude in each lane of a quad, in I and in Q, and in the tail.
        KeptCase{"largest_i_lane_0", 64, {{8, 7.5f}}, {}, false},
        KeptCase{"largest_q_lane_1", 64, {}, {{13, -7.5f}}, false},
        KeptCase{"largest_i_lane_2", 64, {{30, -7.5f}}, {}, false},
        KeptCase{"largest_q_lane_3", 64, {}, {{63, 7.5f}}, false},
        KeptCase{"largest_in_the_tail", 66, {{65, 9.0f}}, {}, false},
        KeptCase{"largest_and_smallest_floats", 40, {{5, FLT_MAX}, {6, -kTiny}}, {{7, -FLT_MAX}, {9, kTiny}}, false},
        KeptCase{"zeros_of_both_signs", 9, {{0, -0.0f}, {1, 0.0f}}, {{0, -0.0f}, {1, -0.0f}}, false},
        KeptCase{"all_zero_but_tiny", 8, {{0, 0.0f}, {1, 0.0f}, {2, 0.0f}, {3, kTiny}, {4, 0.0f}, {5, 0.0f}, {6, 0.0f}, {7, 0.0f}},
                 {{0, 0.0f}, {1, 0.0f}, {2, 0.0f}, {3, 0.0f}, {4, 0.0f}, {5, 0.0f}, {6, 0.0f}, {7, 0.0f}}, false},
        KeptCase{"infinity", 33, {{17, -kInf}}, {}, true},
        // A NaN Q hides its sample's I (the largest here) from the scale; a NaN I does not hide its Q.
        KeptCase{"nan_q_beside_the_largest_i", 64, {{21, 20.0f}}, {{21, kNan}}, false},
        KeptCase{"nan_i_beside_the_largest_q", 64, {{22, kNan}}, {{22, -20.0f}}, true},
        KeptCase{"nan_in_the_tail", 67, {{66, 20.0f}}, {{66, kNan}}, false},
        // Envelope powers 1, 0.5625 2^-52, 1 + 2^-52, 0 in lanes 0..3: (L0 + L1) + (L2 + L3) is
        // 2 + 2^-51, (L0 + L2) + (L1 + L3) is 2 (a tie to even), so the lanes must stay apart.
        KeptCase{"lane_order_matters", 4, {{0, 1.0f}, {1, 0x1.8p-27f}, {2, 1.0f}, {3, 0.0f}},
                 {{0, 0.0f}, {1, 0.0f}, {2, 0x1p-26f}, {3, 0.0f}}, false},
        KeptCase{"lane_order_matters_second_quad", 9,
                 {{0, 0.0f}, {1, 0.0f}, {2, 0.0f}, {3, 0.0f}, {4, 1.0f}, {5, 0x1.8p-27f}, {6, 1.0f}, {7, 0.0f}, {8, 0.0f}},
                 {{0, 0.0f}, {1, 0.0f}, {2, 0.0f}, {3, 0.0f}, {4, 0.0f}, {5, 0.0f}, {6, 0x1p-26f}, {7, 0.0f}, {8, 0.0f}},
                 false},
        KeptCase{"lanes_apart", 1000, {}, {}, false, true}, KeptCase{"lanes_apart_odd", 4097, {}, {}, true, true},
        KeptCase{"lanes_apart_301", 301, {}, {}, false, true}, KeptCase{"lanes_apart_2222", 2222, {}, {}, true, true},
        KeptCase{"lanes_apart_5003", 5003, {}, {}, false, true}, KeptCase{"lanes_apart_block", 16384, {}, {}, false, true}),
    [](const ::testing::TestParamInfo<KeptCase>& p) { return std::string(p.param.name); });

}  // namespace
