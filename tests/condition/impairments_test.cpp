#include "impairments.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <ostream>
#include <random>
#include <vector>

#include "condition/record_run.h"
#include "support/readable_params.h"

namespace {

using Vec = std::vector<double>;
using cplx = std::complex<double>;
constexpr double kPi = std::numbers::pi;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Vec random_vec(size_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Vec v(n);
    for (double& x : v) x = u(rng);
    return v;
}

using Oscillator = int32_t (*)(int32_t, double*, double*, double, double, int32_t, double*, double*);

TEST(FrequencyError, QuarterSamplingRateMultipliesSampleIByJToTheI) {
    const int32_t n = 64;
    const double fs = 80e6;
    Vec i = random_vec(n, 1), q = random_vec(n, 2);
    const Vec i0 = i, q0 = q;
    ASSERT_EQ(shift_frequency(n, i.data(), q.data(), fs / 4, fs, -1, i.data(), q.data()), 0);
    const cplx j_pow[4] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
    for (int32_t k = 0; k < n; ++k) {
        const cplx want = cplx(i0[k], q0[k]) * j_pow[k % 4];
        EXPECT_NEAR(i[k], want.real(), 1e-13) << k;
        EXPECT_NEAR(q[k], want.imag(), 1e-13) << k;
    }
    // Sample 1 of (1, 0) becomes (0, 1); the other direction turns it to (0, -1).
    Vec a = {1, 1, 1, 1, 1, 1}, b(6, 0.0);
    ASSERT_EQ(shift_frequency(6, a.data(), b.data(), fs / 4, fs, -1, a.data(), b.data()), 0);
    EXPECT_NEAR(a[1], 0.0, 1e-15);
    EXPECT_NEAR(b[1], 1.0, 1e-15);
    a = Vec(6, 1.0);
    b = Vec(6, 0.0);
    ASSERT_EQ(shift_frequency(6, a.data(), b.data(), fs / 4, fs, 1, a.data(), b.data()), 0);
    EXPECT_NEAR(b[1], -1.0, 1e-15);
}

TEST(FrequencyError, ZeroHertzLeavesTheSamplesUnchanged) {
    Vec i = random_vec(1000, 3), q = random_vec(1000, 4);
    const Vec i0 = i, q0 = q;
    ASSERT_EQ(shift_frequency(1000, i.data(), q.data(), 0.0, 20e6, -1, i.data(), q.data()), 0);
    EXPECT_EQ(i, i0);
    EXPECT_EQ(q, q0);
}

TEST(FrequencyError, FollowsTheComplexExponentialOverALongBurst) {
    const int32_t n = 124800;
    const double fs = 200e6, f = -1234567.0;
    Vec i = random_vec(n, 5), q = random_vec(n, 6), oi(n), oq(n);
    ASSERT_EQ(shift_frequency(n, i.data(), q.data(), f, fs, -1, oi.data(), oq.data()), 0);
    EXPECT_EQ(oi[0], i[0]);
    EXPECT_EQ(oq[0], q[0]);
    for (int32_t k = 0; k < n; k += 97) {
        const cplx want = cplx(i[k], q[k]) * std::polar(1.0, 2 * kPi * f * k / fs);
        ASSERT_NEAR(oi[k], want.real(), 1e-9) << k;
        ASSERT_NEAR(oq[k], want.imag(), 1e-9) << k;
    }
}

TEST(IfConversion, RealPartOnIAndZeroOnQ) {
    const int32_t n = 5000;
    const double fs = 160e6, f = 17e6;
    Vec i = random_vec(n, 7), q = random_vec(n, 8);
    const Vec i0 = i, q0 = q;
    ASSERT_EQ(convert_to_if(n, i.data(), q.data(), f, fs, -1, i.data(), q.data()), 0);
    EXPECT_EQ(i[0], i0[0]);
    for (int32_t k = 0; k < n; ++k) {
        const cplx want = cplx(i0[k], q0[k]) * std::polar(1.0, 2 * kPi * f * k / fs);
        ASSERT_NEAR(i[k], want.real(), 1e-11) << k;
        ASSERT_EQ(q[k], 0.0) << k;
    }
}

TEST(DcOffset, PercentOfThePeakEnvelopeOnBothChannels) {
    // Peak envelope 0.5 at sample 2 (0.3, -0.4); the tail beyond the count is not touched.
    Vec i = {0.1, -0.2, 0.3, 0.0, 0.25, 9.0}, q = {0.0, 0.2, -0.4, 0.1, 0.0, 9.0};
    const Vec i0 = i, q0 = q;
    ASSERT_EQ(add_dc_offset(5.0, 100.0, 0.0, i.data(), q.data()), 0);
    for (int k = 0; k < 5; ++k) {
        EXPECT_DOUBLE_EQ(i[k], i0[k] + 0.5) << k;
        EXPECT_EQ(q[k], q0[k]) << k;
    }
    EXPECT_EQ(i[5], 9.0);
    i = i0;
    q = q0;
    ASSERT_EQ(add_dc_offset(5.0, -20.0, 40.0, i.data(), q.data()), 0);
    for (int k = 0; k < 5; ++k) {
        EXPECT_DOUBLE_EQ(i[k], i0[k] - 0.1) << k;
        EXPECT_DOUBLE_EQ(q[k], q0[k] + 0.2) << k;
    }
    EXPECT_EQ(q[5], 9.0);
    // A silent burst has no envelope: nothing to add.
    Vec zi(8, 0.0), zq(8, 0.0);
    add_dc_offset(8.0, 100.0, -100.0, zi.data(), zq.data());
    EXPECT_EQ(zi, Vec(8, 0.0));
    EXPECT_EQ(zq, Vec(8, 0.0));
}

TEST(SineInterferer, ZeroDecibelsAtZeroHertzAddsOneToI) {
    Vec i = random_vec(100, 9), q = random_vec(100, 10);
    const Vec i0 = i, q0 = q;
    ASSERT_EQ(add_sine_interferer(90, 0.0, 0.0, 80e6, i.data(), q.data()), 0);
    for (int k = 0; k < 90; ++k) {
        EXPECT_EQ(i[k], i0[k] + 1.0) << k;
        EXPECT_EQ(q[k], q0[k]) << k;
    }
    for (int k = 90; k < 100; ++k) EXPECT_EQ(i[k], i0[k]);
}

TEST(SineInterferer, AbsoluteLevelAndComplexFrequency) {
    const double fs = 80e6;
    for (double f : {fs / 8, -fs / 8}) {
        Vec i(64, 0.0), q(64, 0.0);
        ASSERT_EQ(add_sine_interferer(64, -20.0, f, fs, i.data(), q.data()), 0);
        for (int k = 0; k < 64; ++k) {
            const cplx want = std::polar(0.1, 2 * kPi * f * k / fs);
            EXPECT_NEAR(i[k], want.real(), 1e-15) << k;
            EXPECT_NEAR(q[k], want.imag(), 1e-15) << k;
            EXPECT_NEAR(std::hypot(i[k], q[k]), 0.1, 1e-15);
        }
    }
}

struct OscillatorGuard {
    int32_t count;
    double fs;
    int32_t direction, result;
};

void PrintTo(const OscillatorGuard& c, std::ostream* os) {
    *os << "count=" << c.count << " fs=" << c.fs << " dir=" << c.direction;
}

class OscillatorGuards : public ::testing::TestWithParam<OscillatorGuard> {};

TEST_P(OscillatorGuards, RefuseAndChangeNothing) {
    const OscillatorGuard& c = GetParam();
    const Oscillator stages[] = {shift_frequency, convert_to_if};
    static const Vec big_i = random_vec(1048576, 11), big_q = random_vec(1048576, 12);
    for (Oscillator stage : stages) {
        Vec i = big_i, q = big_q;
        const Vec i0 = i, q0 = q;
        EXPECT_EQ(stage(c.count, i.data(), q.data(), 1e6, c.fs, c.direction, i.data(), q.data()),
                  c.result)
            << c.count << " " << c.fs << " " << c.direction;
        if (c.result != 0) {
            EXPECT_EQ(i, i0);
            EXPECT_EQ(q, q0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OscillatorGuards,
    ::testing::Values(OscillatorGuard{5, 20e6, -1, 1}, OscillatorGuard{6, 20e6, -1, 0},
                      OscillatorGuard{1048576, 20e6, -1, 0}, OscillatorGuard{1048577, 20e6, -1, 1},
                      OscillatorGuard{-1, 20e6, -1, 1}, OscillatorGuard{100, 0.0, -1, 2},
                      OscillatorGuard{100, -20e6, -1, 2}, OscillatorGuard{100, kNaN, -1, 2},
                      OscillatorGuard{100, 200e6, -1, 0}, OscillatorGuard{100, 200000001.0, -1, 2},
                      OscillatorGuard{100, 20e6, 0, 3}, OscillatorGuard{100, 20e6, 2, 3},
                      OscillatorGuard{100, 20e6, 1, 0}, OscillatorGuard{5, 0.0, 0, 1},
                      OscillatorGuard{100, 0.0, 0, 2}),
    [](const ::testing::TestParamInfo<OscillatorGuard>& tc) {
        std::ostringstream s;
        s.precision(10);
        s << "count " << tc.param.count << " fs " << tc.param.fs / 1e6 << " MHz dir " << tc.param.direction;
        return orv_test::test_name(s.str());
    });

// Through the library call, on a record with a gap: the impairments cover the
// burst only, noise covers everything.
class ImpairmentSpan : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(orv_test::run_csv(orv_test::gap_record(), &plain_), 0);
        ASSERT_EQ(plain_.i.size(), static_cast<size_t>(orv_test::kGapTotal));
        // A silent burst would let every span check below pass vacuously.
        ASSERT_FALSE(orv_test::silent(plain_, orv_test::kGapBurst)) << "the burst synthesis is silent";
    }
    // The gap samples of s equal those of the unimpaired record.
    void expect_gap_untouched(const orv_test::Samples& s) {
        for (size_t k = orv_test::kGapBurst; k < s.i.size(); ++k) {
            ASSERT_EQ(s.i[k], plain_.i[k]) << k;
            ASSERT_EQ(s.q[k], plain_.q[k]) << k;
        }
    }
    orv_test::Samples plain_;
};

TEST_F(ImpairmentSpan, SineCoversTheBurstOnly) {
    WaveParams p = orv_test::gap_record();
    p.sine_enable = 1;
    p.sine_level = 0.0;
    p.sine_freq = 0.0;
    orv_test::Samples s;
    ASSERT_EQ(orv_test::run_csv(p, &s), 0);
    for (size_t k = 0; k < orv_test::kGapBurst; ++k) {
        ASSERT_NEAR(s.i[k], plain_.i[k] + 1.0, 1e-9) << k;
        ASSERT_EQ(s.q[k], plain_.q[k]) << k;
    }
    expect_gap_untouched(s);
}

TEST_F(ImpairmentSpan, IfConversionZeroesQOverTheBurstAndLeavesTheNoisyGap) {
    WaveParams p = orv_test::gap_record();
    p.noise_enable = 1;  // noise runs before IF conversion and covers the gap
    p.noise_level = -30.0;
    p.if_enable = 1;
    p.if_freq = 5e6;
    orv_test::Samples s;
    ASSERT_EQ(orv_test::run_csv(p, &s), 0);
    for (size_t k = 0; k < orv_test::kGapBurst; ++k) ASSERT_EQ(s.q[k], 0.0) << k;
    for (size_t k = orv_test::kGapBurst; k < s.q.size(); ++k) ASSERT_NE(s.q[k], 0.0) << k;
}

TEST_F(ImpairmentSpan, FrequencyErrorAndDcOffsetCoverTheBurstOnly) {
    WaveParams p = orv_test::gap_record();
    p.freq_error_enable = 1;
    p.freq_error = 2.5e6;
    p.dc_offset_re = 10.0;
    p.dc_offset_im = -5.0;
    orv_test::Samples s;
    ASSERT_EQ(orv_test::run_csv(p, &s), 0);
    expect_gap_untouched(s);
    // Expected burst: shifted, then the offsets of its peak envelope.
    const int32_t n = orv_test::kGapBurst;
    Vec i(plain_.i.begin(), plain_.i.begin() + n), q(plain_.q.begin(), plain_.q.begin() + n);
    ASSERT_EQ(shift_frequency(n, i.data(), q.data(), p.freq_error, 80e6, -1, i.data(), q.data()), 0);
    double peak = 0.0;
    for (int32_t k = 0; k < n; ++k) peak = std::max(peak, std::hypot(i[k], q[k]));
    for (int32_t k = 0; k < n; ++k) {
        ASSERT_NEAR(s.i[k], i[k] + 0.10 * peak, 1e-9) << k;
        ASSERT_NEAR(s.q[k], q[k] - 0.05 * peak, 1e-9) << k;
    }
}

}  // namespace
