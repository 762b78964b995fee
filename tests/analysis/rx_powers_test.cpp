// subcarrier_powers: the AVX2 kernel against std::norm one value at a time, bit for bit.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>

#include "rx.h"

namespace {

namespace rx = orv::analysis::rx;
using C = std::complex<double>;

struct PowersCase {
    std::string name;
    double scale;       // the values' size
    bool specials;      // signed zeros, infinities and a NaN among them
};
void PrintTo(const PowersCase& c, std::ostream* os) { *os << c.name; }

class SubcarrierPowers : public ::testing::TestWithParam<PowersCase> {};

TEST_P(SubcarrierPowers, VectorSameBitsAsNorm) {
    const PowersCase& c = GetParam();
    std::array<C, 53> y{};
    uint32_t r = 5;
    const auto next = [&r] {
        r = r * 1664525u + 1013904223u;
        return static_cast<double>(r >> 8) / 16777216.0 - 0.5;
    };
    for (C& v : y) v = C(next(), next()) * c.scale;
    if (c.specials) {
        const double inf = std::numeric_limits<double>::infinity();
        y[0] = C(-0.0, 0.0), y[3] = C(inf, 1.0), y[26] = C(0.0, -inf), y[51] = C(std::nan(""), 2.0), y[52] = C(-inf, -inf);
    }
    for (const bool vector : {false, true}) {
        double power[54];
        power[53] = -7.0;  // nothing written past 53 values
        rx::subcarrier_powers(y, power, vector);
        for (size_t i = 0; i < 53; ++i) {
            const double want = std::norm(y[i]);
            if (std::isnan(want)) {
                EXPECT_TRUE(std::isnan(power[i])) << (vector ? "vector" : "plain") << ", subcarrier " << i;
                continue;
            }
            EXPECT_EQ(std::memcmp(&power[i], &want, sizeof want), 0)
                << (vector ? "vector" : "plain") << ", subcarrier " << i << ": " << power[i] << " against " << want;
        }
        EXPECT_EQ(power[53], -7.0) << (vector ? "vector" : "plain") << " wrote past the last subcarrier";
    }
}

INSTANTIATE_TEST_SUITE_P(Values, SubcarrierPowers,
                         ::testing::Values(PowersCase{"Unit", 1.0, false}, PowersCase{"Large", 1e150, false},
                                           PowersCase{"Overflowing", 1e160, false}, PowersCase{"Tiny", 1e-160, false},
                                           PowersCase{"Subnormal", std::numeric_limits<double>::denorm_min() * 1e10, false},
                                           PowersCase{"Specials", 1.0, true}),
                         [](const ::testing::TestParamInfo<PowersCase>& i) { return i.param.name; });

}  // namespace
