// The long-training timing on windows that run into silence: the transforms'
// rounding there must not look like a preamble; its metric and correlations.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <numbers>
#include <ostream>
#include <string>
#include <vector>

#include "reference_tx.h"
#include "rx.h"

namespace {

namespace rx = orv::analysis::rx;
using C = std::complex<double>;

struct TailCase {
    std::string name;
    int detect_before_end;  // where the (spurious) detection sits, samples before the packet's end
    int silence;            // zero samples after the packet
    double cfo_hz;
};
void PrintTo(const TailCase& c, std::ostream* os) { *os << c.name; }

class SyncOnATail : public ::testing::TestWithParam<TailCase> {};

TEST_P(SyncOnATail, FindsNoPreamble) {
    const TailCase& c = GetParam();
    const std::vector<uint8_t> psdu = reftx::mac_frame(1, reftx::body(40, 3));
    std::vector<C> x = reftx::frame(12, reftx::bits_of_bytes(psdu), static_cast<int>(psdu.size()), 1);
    const int64_t end = static_cast<int64_t>(x.size());
    x.resize(x.size() + static_cast<size_t>(c.silence), C(0, 0));
    for (size_t n = 0; n < x.size(); ++n) x[n] *= std::polar(1.0, 2.0 * 3.141592653589793 * c.cfo_hz * static_cast<double>(n) / 20e6);
    const rx::Sync s = rx::synchronise(x, rx::Detection{end - c.detect_before_end, 0.6});
    EXPECT_LT(s.metric, rx::kSyncThreshold) << "t1 " << s.t1;
}

INSTANTIATE_TEST_SUITE_P(
    Silence, SyncOnATail,
    ::testing::Values(TailCase{"LastSymbol_100Zeros", 40, 100, 0}, TailCase{"LastSymbol_100Zeros_Minus6_4MHz", 40, 100, -6.4e6},
                      TailCase{"AtTheEnd_NoZeros", 0, 0, 0}, TailCase{"LastSamples_1000Zeros", 8, 1000, 2e6},
                      TailCase{"InSilenceOnly", -300, 1000, 0}),
    [](const ::testing::TestParamInfo<TailCase>& i) { return i.param.name; });

TEST(SyncOnSilence, AllZerosFindsNoPreamble) {
    const std::vector<C> x(2000, C(0, 0));
    EXPECT_LT(rx::synchronise(x, rx::Detection{100, 0.6}).metric, rx::kSyncThreshold);
}

// The long-training metric four or two timings a step against one at a time, bit for bit:
// counts with every remainder of four, energies at and below the silence floor, zero and NaN correlations.
struct MetricCase {
    std::string name;
    size_t n;
    double silence;
    bool nan;
};
void PrintTo(const MetricCase& c, std::ostream* os) { *os << c.name; }

class LtfMetricLoops : public ::testing::TestWithParam<MetricCase> {};

TEST_P(LtfMetricLoops, VectorEqualsPlain) {
    const MetricCase& c = GetParam();
    uint32_t r = 3;
    const auto next = [&r] {
        r = r * 1664525u + 1013904223u;
        return static_cast<double>(r >> 8) / 16777216.0;
    };
    std::vector<C> corr(c.n + 64);
    for (size_t t = 0; t < corr.size(); ++t) corr[t] = t % 9 == 4 ? C(0, 0) : C(next() - 0.5, next() - 0.5) * (1 + 50 * next());
    std::vector<double> e(c.n);
    for (size_t t = 0; t < c.n; ++t) e[t] = t % 5 == 2 ? c.silence : t % 7 == 3 ? 0.0 : c.silence + 100 * next();
    if (c.nan && c.n > 6) corr[5] = C(std::numeric_limits<double>::quiet_NaN(), 0), e[6] = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> vec(c.n + 1, -5.0), plain(c.n + 1, -5.0);
    rx::ltf_metric(corr.data(), e.data(), c.n, c.silence, vec.data(), true);
    rx::ltf_metric(corr.data(), e.data(), c.n, c.silence, plain.data(), false);
    for (size_t t = 0; t < c.n; ++t) {
        EXPECT_EQ(std::memcmp(&vec[t], &plain[t], sizeof(double)), 0) << "timing " << t << ": " << vec[t] << " against " << plain[t];
        if (!(e[t] > c.silence)) {
            EXPECT_EQ(plain[t], 0.0) << "timing " << t << " is silence";
        }
    }
    EXPECT_EQ(vec[c.n], -5.0) << "written past the end";
}

INSTANTIATE_TEST_SUITE_P(
    Timings, LtfMetricLoops,
    ::testing::Values(MetricCase{"Empty", 0, 0.0, false}, MetricCase{"One", 1, 0.0, false}, MetricCase{"Two", 2, 1e-9, false},
                      MetricCase{"Odd251", 251, 1e-12, false}, MetricCase{"Even64_FloorHalf", 64, 0.5, false},
                      MetricCase{"Odd33_NaN", 33, 1e-6, true}, MetricCase{"Three", 3, 0.0, false},
                      MetricCase{"Seven_NaN", 7, 1e-6, true}, MetricCase{"TheSearch301", 301, 1e-12, false}),
    [](const ::testing::TestParamInfo<MetricCase>& i) { return i.param.name; });

// The metric of a perfect correlation: |c| + |c'| = sqrt(2 e 52/64) gives 1.
TEST(LtfMetric, PerfectCorrelationIsOne) {
    const double e = 64.0;
    const double m = std::sqrt(2.0 * e * (52.0 / 64.0)) / 2.0;
    std::vector<C> corr(66, C(0, 0));
    corr[0] = C(m, 0), corr[64] = C(0, -m), corr[1] = C(m / 2, 0), corr[65] = C(m / 2, 0);
    const std::vector<double> energy = {e, e};
    for (const bool vector : {false, true}) {
        std::vector<double> v(2);
        rx::ltf_metric(corr.data(), energy.data(), 2, 0.0, v.data(), vector);
        EXPECT_NEAR(v[0], 1.0, 1e-15);
        EXPECT_NEAR(v[1], 0.5, 1e-15);
    }
}

}  // namespace

// The long-training correlations of the three carrier offsets, all from one forward transform,
// against the plain sums: each sample turned by its own exp(-j 2 pi f n / 20 MHz) and correlated
// with the long training symbol made here from its subcarriers. Tolerance 1e-12 on unit-power
// samples: the 512-point transforms' rounding and the derotation's recurrence, some 1e-14.
struct CorrelationCase {
    std::string name;
    int64_t lo, hi;       // the timings searched in x
    size_t samples;       // length of x (the search may run past its end: zeros there)
    double f0;            // the first carrier offset, Hz
    bool inverted;
};
void PrintTo(const CorrelationCase& c, std::ostream* os) { *os << c.name; }

class LtfCorrelations : public ::testing::TestWithParam<CorrelationCase> {};

TEST_P(LtfCorrelations, EqualThePlainSums) {
    const CorrelationCase& c = GetParam();
    uint32_t r = 11;
    const auto next = [&r] {
        r = r * 1664525u + 1013904223u;
        return static_cast<double>(r >> 8) / 16777216.0 - 0.5;
    };
    std::vector<C> x(c.samples);
    for (C& v : x) v = C(next(), next()) * 2.4;
    std::array<C, 64> ltf{};
    for (int n = 0; n < 64; ++n)
        for (int k = -26; k <= 26; ++k)
            ltf[static_cast<size_t>(n)] += static_cast<double>(orv::analysis::long_training(k)) *
                                           std::polar(1.0, 2.0 * std::numbers::pi * k * n / 64.0) / 64.0;
    const std::array<std::vector<C>, 3> got = rx::ltf_correlations(x, c.lo, c.hi, c.f0, c.inverted);
    const size_t len = static_cast<size_t>(c.hi - c.lo + 128);
    for (int step = 0; step < 3; ++step) {
        const double f = c.f0 + step * 1.25e6;
        std::vector<C> z(len);
        for (size_t n = 0; n < len; ++n) {
            const int64_t at = c.lo + static_cast<int64_t>(n);
            C v = at >= 0 && at < static_cast<int64_t>(x.size()) ? x[static_cast<size_t>(at)] : C(0, 0);
            if (c.inverted) v = C(v.imag(), v.real());
            z[n] = v * std::polar(1.0, -2.0 * std::numbers::pi * f * static_cast<double>(n) / 20e6);
        }
        const std::vector<C>& cr = got[static_cast<size_t>(step)];
        ASSERT_EQ(cr.size(), len - 63) << "offset " << step;
        for (size_t t = 0; t < cr.size(); ++t) {
            C want = 0;
            for (size_t n = 0; n < 64; ++n) want += z[t + n] * std::conj(ltf[n]);
            ASSERT_LT(std::abs(cr[t] - want), 1e-12) << "offset " << step << " timing " << t;
        }
    }
}

// The products of the spectra and the scaling two values at a time give every correlation the
// plain loops give, bit for bit.
TEST_P(LtfCorrelations, VectorEqualsPlainBitForBit) {
    const CorrelationCase& c = GetParam();
    uint32_t r = 17;
    std::vector<C> x(c.samples);
    for (C& v : x) {
        r = r * 1664525u + 1013904223u;
        const double re = static_cast<double>(r >> 8) / 16777216.0 - 0.5;
        r = r * 1664525u + 1013904223u;
        v = C(re, static_cast<double>(r >> 8) / 16777216.0 - 0.5);
    }
    const std::array<std::vector<C>, 3> vec = rx::ltf_correlations(x, c.lo, c.hi, c.f0, c.inverted, true);
    const std::array<std::vector<C>, 3> plain = rx::ltf_correlations(x, c.lo, c.hi, c.f0, c.inverted, false);
    for (size_t step = 0; step < 3; ++step) {
        ASSERT_EQ(vec[step].size(), plain[step].size()) << "offset " << step;
        for (size_t t = 0; t < vec[step].size(); ++t) {
            ASSERT_EQ(vec[step][t].real(), plain[step][t].real()) << "offset " << step << " timing " << t;
            ASSERT_EQ(vec[step][t].imag(), plain[step][t].imag()) << "offset " << step << " timing " << t;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, LtfCorrelations,
    ::testing::Values(CorrelationCase{"Centred", 100, 400, 2000, -1.25e6, false},
                      CorrelationCase{"FractionalOffset", 0, 300, 1000, 123456.7, false},
                      CorrelationCase{"PastHalfTheRate", 50, 350, 1000, 9.1e6, false},
                      CorrelationCase{"Inverted", 20, 320, 1000, -3.3e5, true},
                      CorrelationCase{"OneTiming", 7, 7, 200, 0.0, false},
                      CorrelationCase{"RunsPastTheEnd", 700, 1000, 900, 2.5e6, false},
                      CorrelationCase{"StartsBeforeTheSamples", -40, 200, 600, -7.5e6, true}),
    [](const ::testing::TestParamInfo<CorrelationCase>& i) { return i.param.name; });

namespace {

// The derotation as plain code: the phasor stepped sample by sample, made afresh every 64
// samples, each sample read with a bounds check (the products written out as the receiver's).
std::vector<C> plain_derotation(const std::vector<C>& x, int64_t from, int64_t n, double f, bool inverted) {
    const double w = -2.0 * std::numbers::pi * f / 20e6;
    const C step = std::polar(1.0, w);
    const auto times = [](C a, C b) { return C(a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()); };
    std::vector<C> y(static_cast<size_t>(n));
    C ph = 1.0;
    for (int64_t i = 0; i < n; ++i) {
        if (i % 64 == 0) ph = std::polar(1.0, w * static_cast<double>(i));
        const int64_t at = from + i;
        C v = at >= 0 && at < static_cast<int64_t>(x.size()) ? x[static_cast<size_t>(at)] : C(0, 0);
        if (inverted) v = C(v.imag(), v.real());
        y[static_cast<size_t>(i)] = times(v, ph);
        ph = times(ph, step);
    }
    return y;
}

struct DerotationCase {
    std::string name;
    int64_t from, n;
    size_t samples;
    double f;
    bool inverted;
};
void PrintTo(const DerotationCase& c, std::ostream* os) { *os << c.name; }

class Derotation : public ::testing::TestWithParam<DerotationCase> {};

TEST_P(Derotation, EqualsThePlainLoopBitForBit) {
    const DerotationCase& c = GetParam();
    uint32_t r = 29;
    std::vector<C> x(c.samples);
    for (C& v : x) {
        r = r * 1664525u + 1013904223u;
        const double re = static_cast<double>(r >> 8) / 16777216.0 - 0.5;
        r = r * 1664525u + 1013904223u;
        v = C(re, static_cast<double>(r >> 8) / 16777216.0 - 0.5);
    }
    const std::vector<C> want = plain_derotation(x, c.from, c.n, c.f, c.inverted);
    std::vector<C> got(static_cast<size_t>(c.n) + 1, C(7.0, 7.0));  // one more: nothing written past n
    rx::derotate_into(x, c.from, c.n, c.f, c.inverted, got.data());
    for (size_t i = 0; i < want.size(); ++i) {
        ASSERT_EQ(got[i].real(), want[i].real()) << "sample " << i;
        ASSERT_EQ(got[i].imag(), want[i].imag()) << "sample " << i;
    }
    EXPECT_EQ(got.back(), C(7.0, 7.0));
}

INSTANTIATE_TEST_SUITE_P(
    Windows, Derotation,
    ::testing::Values(DerotationCase{"Inside", 100, 428, 1000, 312500.0, false},
                      DerotationCase{"InsideInverted", 3, 200, 300, -2.1e6, true},
                      DerotationCase{"InsideOddBlocks", 10, 129, 300, 5e5, true},
                      DerotationCase{"EndsAtTheLastSample", 872, 128, 1000, 9.9e6, false},
                      DerotationCase{"RunsPastTheEnd", 900, 128, 1000, 1.25e6, true},
                      DerotationCase{"StartsBeforeTheSamples", -40, 130, 600, -7.5e6, false},
                      DerotationCase{"AllOutside", 2000, 64, 100, 1e6, false},
                      DerotationCase{"OneSample", 5, 1, 10, 4e6, false},
                      DerotationCase{"NoSamples", 5, 0, 10, 4e6, false}),
    [](const ::testing::TestParamInfo<DerotationCase>& i) { return i.param.name; });

struct EnergyCase {
    std::string name;
    size_t count;      // windows
    size_t loud;       // samples of power about 1 before silence (the rest 0)
    double scale;      // power of the loud samples
};
void PrintTo(const EnergyCase& c, std::ostream* os) { *os << c.name; }

class WindowEnergies : public ::testing::TestWithParam<EnergyCase> {};

// The running sums as the search has always made them from the samples (summed afresh every
// 32 windows), bit for bit; and each within rounding of the window's own sum.
TEST_P(WindowEnergies, EqualTheRunningSumsOfTheSamples) {
    const EnergyCase& c = GetParam();
    const size_t len = c.count + 127;
    uint32_t r = 5;
    std::vector<C> y(len);
    for (size_t n = 0; n < len && n < c.loud; ++n) {
        r = r * 1664525u + 1013904223u;
        const double re = static_cast<double>(r >> 8) / 16777216.0 - 0.5;
        r = r * 1664525u + 1013904223u;
        y[n] = C(re, static_cast<double>(r >> 8) / 16777216.0 - 0.5) * c.scale;
    }
    std::vector<double> p(len), got(c.count, -1.0), want(c.count);
    for (size_t n = 0; n < len; ++n) p[n] = std::norm(y[n]);
    rx::window_energies(p.data(), c.count, got.data());
    double run = 0;
    for (size_t u = 0; u < c.count; ++u) {
        if (u % 32 == 0) {
            run = 0;
            for (size_t n = u; n < u + 128; ++n) run += std::norm(y[n]);
        } else {
            run = std::max(run + std::norm(y[u + 127]) - std::norm(y[u - 1]), 0.0);
        }
        want[u] = run;
    }
    double largest = 0;
    for (double v : p) largest = std::max(largest, v);
    for (size_t u = 0; u < c.count; ++u) {
        ASSERT_EQ(got[u], want[u]) << "window " << u;
        double direct = 0;
        for (size_t n = u; n < u + 128; ++n) direct += p[n];
        ASSERT_GE(got[u], 0.0) << "window " << u;
        ASSERT_NEAR(got[u], direct, 1e-12 * 128 * largest) << "window " << u;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Counts, WindowEnergies,
    ::testing::Values(EnergyCase{"OneWindow", 1, 1000, 1.0}, EnergyCase{"JustBeforeARefresh", 31, 1000, 1.0},
                      EnergyCase{"OneRefresh", 32, 1000, 1.0}, EnergyCase{"JustAfterARefresh", 33, 1000, 1.0},
                      EnergyCase{"TheSearch", 301, 1000, 3.0},
                      // Into silence: the running sum's rounding may leave it just below 0 (held at 0).
                      EnergyCase{"IntoSilence", 301, 150, 1e3}, EnergyCase{"AllSilence", 64, 0, 1.0}),
    [](const ::testing::TestParamInfo<EnergyCase>& i) { return i.param.name; });

}  // namespace

namespace {

// The strongest timing four metrics a step against the plain loop: the first of equal largest
// values, NaN never chosen, infinities, zeros of either sign, nothing above -1, the largest in
// the last values beyond the groups of four.
struct StrongestCase {
    std::string name;
    std::vector<double> v;
    size_t want;        // the plain loop's choice
    double want_metric;
};
void PrintTo(const StrongestCase& c, std::ostream* os) { *os << c.name; }

class StrongestTiming : public ::testing::TestWithParam<StrongestCase> {};

TEST_P(StrongestTiming, VectorChoosesAsThePlainLoop) {
    const StrongestCase& c = GetParam();
    double plain_metric = 0, vec_metric = 0;
    const size_t plain = rx::strongest_timing(c.v.data(), c.v.size(), &plain_metric, false);
    const size_t vec = rx::strongest_timing(c.v.data(), c.v.size(), &vec_metric, true);
    EXPECT_EQ(plain, c.want);
    EXPECT_EQ(vec, c.want);
    EXPECT_EQ(std::memcmp(&plain_metric, &vec_metric, sizeof(double)), 0) << plain_metric << " against " << vec_metric;
    EXPECT_EQ(plain_metric, c.want_metric);
    EXPECT_EQ(std::signbit(plain_metric), std::signbit(c.want_metric));
}

const double kNaN = std::numeric_limits<double>::quiet_NaN(), kInf = std::numeric_limits<double>::infinity();
std::vector<double> ramp_with(size_t n, size_t at, double value) {
    std::vector<double> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = 0.001 * static_cast<double>((i * 37) % 101);
    if (at < n) v[at] = value;
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Metrics, StrongestTiming,
    ::testing::Values(StrongestCase{"Empty", {}, 0, -1.0}, StrongestCase{"One", {0.3}, 0, 0.3},
                      StrongestCase{"FirstOfEqual", {0.1, 0.7, 0.2, 0.7, 0.7, 0.5}, 1, 0.7},
                      StrongestCase{"NaNNeverChosen", {kNaN, 0.2, kNaN, 0.1, kNaN}, 1, 0.2},
                      StrongestCase{"AllNaN", {kNaN, kNaN, kNaN, kNaN, kNaN}, 0, -1.0},
                      StrongestCase{"Infinity", {0.5, 0.9, kInf, 0.1, kInf}, 2, kInf},
                      StrongestCase{"NegativeZeroFirst", {-0.0, 0.0, -0.0, 0.0, 0.0}, 0, -0.0},
                      StrongestCase{"PositiveZeroFirst", {0.0, -0.0, -0.0, -0.0, -0.0}, 0, 0.0},
                      StrongestCase{"NothingAboveMinusOne", {-1.0, -2.0, -1.0, -3.0}, 0, -1.0},
                      StrongestCase{"LargestInTheTail", ramp_with(301, 300, 2.0), 300, 2.0},
                      StrongestCase{"LargestInTheFirstGroup", ramp_with(301, 2, 2.0), 2, 2.0},
                      StrongestCase{"TheSearch", ramp_with(301, 301, 0.0), 30, 0.001 * 100.0}),
    [](const ::testing::TestParamInfo<StrongestCase>& i) { return i.param.name; });

}  // namespace
