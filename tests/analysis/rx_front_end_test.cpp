// The receiver's front end: the decimating filter's dot product against a plain sum,
// its taps, and the decimation of a tone inside and outside the 20 MHz band.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <numeric>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "rx.h"

namespace {

namespace rx = orv::analysis::rx;
using C = std::complex<double>;

struct DotCase {
    std::string name;
    size_t n;
    C mean;
};
void PrintTo(const DotCase& c, std::ostream* os) { *os << c.name; }

class FirSum : public ::testing::TestWithParam<DotCase> {};

TEST_P(FirSum, EqualsThePlainSum) {
    const DotCase& c = GetParam();
    std::mt19937 g(static_cast<uint32_t>(c.n) + 1);
    std::normal_distribution<double> d(0.0, 1.0);
    std::vector<C> x(c.n);
    std::vector<double> taps(c.n);
    for (size_t k = 0; k < c.n; ++k) x[k] = C(d(g), d(g)), taps[k] = d(g);
    C plain = 0;
    double scale = 0;
    for (size_t k = 0; k < c.n; ++k) plain += (x[k] - c.mean) * taps[k], scale += std::abs((x[k] - c.mean) * taps[k]);
    const C fast = rx::fir_sum(x.data(), taps.data(), c.n, c.mean);
    EXPECT_NEAR(fast.real(), plain.real(), 1e-14 * (scale + 1));
    EXPECT_NEAR(fast.imag(), plain.imag(), 1e-14 * (scale + 1));
}

INSTANTIATE_TEST_SUITE_P(Lengths, FirSum,
                         ::testing::Values(DotCase{"Empty", 0, C(0, 0)}, DotCase{"One", 1, C(0, 0)},
                                           DotCase{"Three", 3, C(0.5, -0.25)}, DotCase{"Four", 4, C(0, 0)},
                                           DotCase{"Five_WithMean", 5, C(2, 3)}, DotCase{"Os8Filter_129", 129, C(0, 0)},
                                           DotCase{"Os8Filter_129_WithMean", 129, C(-1, 0.1)}),
                         [](const ::testing::TestParamInfo<DotCase>& i) { return i.param.name; });

struct ToneCase {
    std::string name;
    int os;
    double f_hz;
    double gain;  // expected amplitude after the front end
};
void PrintTo(const ToneCase& c, std::ostream* os) { *os << c.name; }

class FrontEnd : public ::testing::TestWithParam<ToneCase> {};

// A tone in the band passes at unit gain (the taps sum to 1), one beyond +-10 MHz is
// stopped before it folds into the band.
TEST_P(FrontEnd, PassesTheBandStopsTheRest) {
    const ToneCase& c = GetParam();
    const std::vector<double>& taps = rx::lowpass_taps(c.os);
    ASSERT_EQ(taps.size() % 2, 1u);
    EXPECT_NEAR(std::accumulate(taps.begin(), taps.end(), 0.0), 1.0, 1e-12);
    const int64_t n = 4000 * c.os;
    std::vector<C> x(static_cast<size_t>(n));
    for (int64_t k = 0; k < n; ++k)
        x[static_cast<size_t>(k)] = std::polar(1.0, 2.0 * std::numbers::pi * c.f_hz * static_cast<double>(k) / (20e6 * c.os));
    const std::vector<C> y = rx::to_base_rate(x.data(), n, c.os);
    ASSERT_EQ(y.size(), static_cast<size_t>(4000));
    double amp = 0;
    for (size_t j = 1000; j < 3000; ++j) amp += std::abs(y[j]);  // away from the edges
    EXPECT_NEAR(amp / 2000.0, c.gain, 0.02);
}

INSTANTIATE_TEST_SUITE_P(Tones, FrontEnd,
                         ::testing::Values(ToneCase{"Os2_1MHz", 2, 1e6, 1.0}, ToneCase{"Os8_7MHz", 8, 7e6, 1.0},
                                           ToneCase{"Os4_Minus5MHz", 4, -5e6, 1.0}, ToneCase{"Os4_25MHz", 4, 25e6, 0.0},
                                           ToneCase{"Os8_Minus40MHz", 8, -40e6, 0.0}),
                         [](const ::testing::TestParamInfo<ToneCase>& i) { return i.param.name; });

}  // namespace
