// The receiver's front end: the decimating filter's dot product against a plain sum,
// its taps, and the decimation of a tone inside and outside the 20 MHz band.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
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

// The DC offset against the sums in file order, value for value: a mean well below, between a
// quarter of and the -30 dB threshold, just either side of it and well above; lengths that are
// no multiple of four; NaN, infinities, subnormal and huge samples.
struct OffsetCase {
    std::string name;
    size_t n;
    double dc;   // offset of the unit-power tone, on both axes' diagonal
    int kind;    // 0 tone plus offset, 1 a NaN in it, 2 an infinity, 3 subnormal, 4 huge, 5 the offset alone
};
void PrintTo(const OffsetCase& c, std::ostream* os) { *os << c.name; }
class DcOffset : public ::testing::TestWithParam<OffsetCase> {};

C offset_in_file_order(const C* x, int64_t n) {
    C mean = 0;
    double power = 0;
    for (int64_t k = 0; k < n; ++k) mean += x[k], power += std::norm(x[k]);
    if (n > 0) mean /= static_cast<double>(n), power /= static_cast<double>(n);
    return std::norm(mean) > 1e-3 * power ? mean : C(0, 0);
}

TEST_P(DcOffset, EqualsTheSumsInFileOrder) {
    const OffsetCase& c = GetParam();
    std::mt19937 rng(static_cast<uint32_t>(c.n + 17));
    std::normal_distribution<double> g(0.0, 0.05);
    const C dc(c.dc / std::sqrt(2.0), c.dc / std::sqrt(2.0));
    std::vector<C> x(c.n);
    for (size_t k = 0; k < c.n; ++k) {
        const C v = c.kind == 5 ? C(0, 0) : std::polar(1.0, 0.37 * static_cast<double>(k)) + C(g(rng), g(rng));
        x[k] = c.kind == 3 ? v * 1e-310 : c.kind == 4 ? v * 1e150 : v + dc;
    }
    if (c.kind == 1 && c.n > 2) x[c.n / 2] = C(std::numeric_limits<double>::quiet_NaN(), 0);
    if (c.kind == 2 && c.n > 2) x[c.n / 3] = C(0, std::numeric_limits<double>::infinity());
    const C want = offset_in_file_order(x.data(), static_cast<int64_t>(c.n));
    const C got = rx::dc_offset(x.data(), static_cast<int64_t>(c.n));
    // Bit for bit (NaN compares unequal to itself: compared through its class).
    EXPECT_EQ(std::isnan(got.real()), std::isnan(want.real()));
    if (!std::isnan(want.real())) {
        EXPECT_EQ(got.real(), want.real());
    }
    if (!std::isnan(want.imag())) {
        EXPECT_EQ(got.imag(), want.imag());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Means, DcOffset,
    ::testing::Values(OffsetCase{"Empty", 0, 0.0, 0}, OffsetCase{"One", 1, 0.0, 0}, OffsetCase{"Seven", 7, 0.0, 0},
                      OffsetCase{"NoOffset_100003", 100003, 0.0, 0}, OffsetCase{"WellBelow_5000", 5000, 0.005, 0},
                      OffsetCase{"AboveAQuarter_5001", 5001, 0.02, 0}, OffsetCase{"JustBelow_40000", 40000, 0.031, 0},
                      OffsetCase{"JustAbove_40000", 40000, 0.0325, 0}, OffsetCase{"WellAbove_9999", 9999, 0.2, 0},
                      OffsetCase{"NaNSample_1000", 1000, 0.0, 1}, OffsetCase{"InfiniteSample_1000", 1000, 0.0, 2},
                      OffsetCase{"Subnormal_1000", 1000, 0.0, 3}, OffsetCase{"Huge_1000", 1000, 0.0, 4},
                      OffsetCase{"OffsetAlone_64", 64, 0.5, 5}, OffsetCase{"Silence_64", 64, 0.0, 5}),
    [](const ::testing::TestParamInfo<OffsetCase>& i) { return i.param.name; });

}  // namespace
