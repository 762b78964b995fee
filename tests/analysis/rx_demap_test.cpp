// The QAM demapper of the DATA symbols: the AVX2 loop against the plain loop bit for bit (soft
// bits, errors, subcarriers without signal left alone), and the plain loop on exact points.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "rx.h"

namespace {

namespace rx = orv::analysis::rx;
using C = std::complex<double>;

struct DemapCase {
    std::string name;
    int nb;
    double spread;  // the received values' range, in units of the outermost level
    int holes;      // every holes-th data subcarrier without signal (0: none)
    bool nan;       // one subcarrier NaN
};
void PrintTo(const DemapCase& c, std::ostream* os) { *os << c.name; }

double scale_of(int nb) { return nb == 2 ? std::sqrt(2.0) : nb == 4 ? std::sqrt(10.0) : std::sqrt(42.0); }

class DemapLoops : public ::testing::TestWithParam<DemapCase> {};

TEST_P(DemapLoops, VectorEqualsPlain) {
    if (!__builtin_cpu_supports("avx2")) GTEST_SKIP() << "no AVX2 on this processor";
    const DemapCase& c = GetParam();
    uint32_t r = 5;
    const auto next = [&r] {
        r = r * 1664525u + 1013904223u;
        return static_cast<double>(r >> 8) / 16777216.0 - 0.5;
    };
    const double k = scale_of(c.nb), top = static_cast<double>((1 << (c.nb / 2)) - 1) / k;
    std::array<C, 53> y{};
    for (C& v : y) v = C(2 * c.spread * top * next(), 2 * c.spread * top * next());
    if (c.nan) y[30] = C(std::numeric_limits<double>::quiet_NaN(), 0.5);
    rx::DemapTaps taps;
    for (size_t t = 0; t < 48; ++t) {
        taps.i[t] = static_cast<int32_t>(t < 24 ? t + 1 : t + 5);
        const C h(1 + 0.3 * next(), 0.3 * next());
        const bool off = c.holes > 0 && t % static_cast<size_t>(c.holes) == 1;
        taps.g[t] = off ? 0.0 : std::norm(h);
        const C inv = off ? C(0, 0) : 1.0 / h;
        taps.inv_re[t] = inv.real();
        taps.inv_im[t] = inv.imag();
        taps.g_k[t] = taps.g[t] / k;
    }
    const C corr = std::polar(1.0, 0.2);
    std::vector<double> out_v(48 * static_cast<size_t>(c.nb), 77.0), out_p = out_v, sq_v(48, 77.0), sq_p = sq_v;
    rx::demap_axes(y, taps, corr, k, c.nb, out_v.data(), sq_v.data(), true);
    rx::demap_axes(y, taps, corr, k, c.nb, out_p.data(), sq_p.data(), false);
    for (size_t t = 0; t < 48; ++t) {
        EXPECT_EQ(std::memcmp(&sq_v[t], &sq_p[t], sizeof(double)), 0) << "error of subcarrier " << t << ": " << sq_v[t] << " against " << sq_p[t];
        for (size_t j = 0; j < static_cast<size_t>(c.nb); ++j) {
            const size_t n = t * static_cast<size_t>(c.nb) + j;
            EXPECT_EQ(std::memcmp(&out_v[n], &out_p[n], sizeof(double)), 0) << "soft bit " << j << " of subcarrier " << t << ": " << out_v[n] << " against " << out_p[n];
        }
        if (c.holes > 0 && t % static_cast<size_t>(c.holes) == 1) {
            EXPECT_EQ(out_v[t * static_cast<size_t>(c.nb)], 77.0) << "subcarrier " << t << " has no signal";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Symbols, DemapLoops,
    ::testing::Values(DemapCase{"Qpsk_Inside", 2, 1.0, 0, false}, DemapCase{"Qpsk_Saturated_Holes", 2, 8.0, 5, false},
                      DemapCase{"Qpsk_NaN_Holes", 2, 1.5, 4, true}, DemapCase{"Qam16_Holes", 4, 2.0, 6, false},
                      DemapCase{"Qam16_Inside", 4, 1.0, 0, false}, DemapCase{"Qam16_Saturated_NaN", 4, 6.0, 0, true},
                      DemapCase{"Qam64_Inside", 6, 1.0, 0, false}, DemapCase{"Qam64_Near0", 6, 0.01, 0, false},
                      DemapCase{"Qam64_Saturated_Holes", 6, 30.0, 3, false}, DemapCase{"Qam64_NaN_Holes", 6, 1.2, 7, true}),
    [](const ::testing::TestParamInfo<DemapCase>& i) { return i.param.name; });

// On the exact constellation points, through a unit channel: no error, and the first soft bit
// of each axis has the sign of that axis.
class DemapExactPoints : public ::testing::TestWithParam<int> {};

TEST_P(DemapExactPoints, NoErrorAndTheAxisSigns) {
    const int nb = GetParam(), levels = 1 << (nb / 2);
    const double k = scale_of(nb);
    std::array<C, 53> y{};
    rx::DemapTaps taps;
    for (size_t t = 0; t < 48; ++t) {
        taps.i[t] = static_cast<int32_t>(t);
        const int li = static_cast<int>(t) % levels, lq = static_cast<int>(t / static_cast<size_t>(levels)) % levels;
        y[t] = C(2 * li - (levels - 1), 2 * lq - (levels - 1)) / k;
        taps.inv_re[t] = 1.0;
        taps.g[t] = 1.0;
        taps.g_k[t] = 1.0 / k;
    }
    for (const bool vector : {false, true}) {
        std::vector<double> out(48 * static_cast<size_t>(nb)), sq(48, 1.0);
        rx::demap_axes(y, taps, C(1, 0), k, nb, out.data(), sq.data(), vector);
        for (size_t t = 0; t < 48; ++t) {
            EXPECT_LT(sq[t], 1e-24) << "subcarrier " << t << (vector ? " (vector)" : "");
            EXPECT_EQ(out[t * static_cast<size_t>(nb)] > 0, y[t].real() > 0) << "subcarrier " << t;
            EXPECT_EQ(out[t * static_cast<size_t>(nb) + static_cast<size_t>(nb / 2)] > 0, y[t].imag() > 0) << "subcarrier " << t;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Modulations, DemapExactPoints, ::testing::Values(2, 4, 6),
                         [](const ::testing::TestParamInfo<int>& i) { return "Bits" + std::to_string(i.param); });

}  // namespace
