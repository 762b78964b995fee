// add_sample_powers sums the packets' power four or eight squares at a time
// but adds them one by one in order of sample: the figure must be the plain
// loop's to the last bit, whatever the count (the SNR's noise and the
// amplifier's saturation level come from it).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "sequence_impaired.h"

namespace {

struct PowersCase {
    const char* name;
    int32_t n;
    double start;        // the power summed before
    int32_t special_at;  // a sample given the special value (-1: none)
    double special;
};

void PrintTo(const PowersCase& c, std::ostream* os) { *os << c.name; }

// Samples over twelve decades, so that any other order of the additions
// rounds differently.
void samples_of(int32_t n, std::vector<double>* i, std::vector<double>* q) {
    i->resize(static_cast<size_t>(n) + 1);
    q->resize(static_cast<size_t>(n) + 1);
    uint64_t x = 88172645463325252ull;
    const auto next = [&x] {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        return static_cast<double>(x >> 11) / 9007199254740992.0;  // [0, 1)
    };
    for (int32_t k = 0; k < n; ++k) {
        (*i)[k] = (next() - 0.5) * std::pow(10.0, 12.0 * next() - 6.0);
        (*q)[k] = (next() - 0.5) * std::pow(10.0, 12.0 * next() - 6.0);
    }
}

double plain_sum(double power, int32_t n, const double* i, const double* q) {
    for (int32_t k = 0; k < n; ++k) {
        const double p2 = i[k] * i[k] + q[k] * q[k];
        power += p2;
    }
    return power;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

class SamplePowers : public ::testing::TestWithParam<PowersCase> {};

TEST_P(SamplePowers, ThePlainLoopsSumToTheBit) {
    const PowersCase& c = GetParam();
    std::vector<double> i, q;
    samples_of(c.n, &i, &q);
    if (c.special_at >= 0) i[c.special_at] = c.special;
    const double want = plain_sum(c.start, c.n, i.data(), q.data());
    const double got = add_sample_powers(c.start, c.n, i.data(), q.data());
    EXPECT_TRUE(same_bits(got, want)) << got << " against " << want;
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Counts, SamplePowers,
    ::testing::Values(PowersCase{"none", 0, 2.5, -1, 0.0}, PowersCase{"one", 1, 0.0, -1, 0.0},
                      PowersCase{"three", 3, 1e-3, -1, 0.0}, PowersCase{"seven", 7, 0.0, -1, 0.0},
                      PowersCase{"eight", 8, 0.0, -1, 0.0}, PowersCase{"nine", 9, 7.0, -1, 0.0},
                      PowersCase{"seventeen", 17, 0.0, -1, 0.0}, PowersCase{"odd_long", 1027, 123.456, -1, 0.0},
                      PowersCase{"a_block", 16384, 0.0, -1, 0.0},
                      PowersCase{"nan_inside_a_group", 21, 0.0, 13, std::nan("")},
                      PowersCase{"infinity_in_the_tail", 21, 0.0, 19, kInf}),
    [](const ::testing::TestParamInfo<PowersCase>& p) { return std::string(p.param.name); });

// The samples above are ones whose sum depends on the order of its additions
// (else the comparison could not tell a reordered sum from the plain one).
TEST(SamplePowers, TheTestSamplesTellTheOrder) {
    std::vector<double> i, q;
    samples_of(1027, &i, &q);
    double lanes[4] = {};
    for (int32_t k = 0; k < 1027; ++k) lanes[k % 4] += i[k] * i[k] + q[k] * q[k];
    const double four_lanes = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
    EXPECT_FALSE(same_bits(four_lanes, plain_sum(0.0, 1027, i.data(), q.data())));
}

}  // namespace
