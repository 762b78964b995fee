// The impairments with memory against their definitions: the phase-noise
// profile's arithmetic and the measured spectrum of its process, the sample
// clock's drift and accuracy, the multipath channel's power-delay profile and
// its convolution.
#include "impair_chain.h"

#include "cpu_features.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <ostream>
#include <vector>

#include "support/readable_params.h"

namespace {

using Vec = std::vector<double>;
using cplx = std::complex<double>;
constexpr double kPi = std::numbers::pi;

// ---- Phase-noise profile ------------------------------------------------------

struct VarianceCase {
    const char* name;
    Vec offsets, levels;
    double want;  // rad^2, worked by hand
};
void PrintTo(const VarianceCase& c, std::ostream* os) { *os << c.name; }
class PhaseNoiseVariance : public ::testing::TestWithParam<VarianceCase> {};

TEST_P(PhaseNoiseVariance, IntegratesTheProfileTwice) {
    const VarianceCase& c = GetParam();
    const double v = phase_noise_variance(c.offsets.data(), c.levels.data(),
                                          static_cast<int32_t>(c.offsets.size()));
    EXPECT_NEAR(v / c.want, 1.0, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PhaseNoiseVariance,
    ::testing::Values(
        // 2 * 1e-8 * (1e6 - 1e3)
        VarianceCase{"flat -80 from 1 kHz to 1 MHz", {1e3, 1e6}, {-80, -80}, 2e-8 * 999e3},
        // 10^(L/10) = 1e-7 (1e4 / f)^2: 2 * 1e-7 * 1e8 * (1/1e4 - 1/1e6)
        VarianceCase{"minus 20 dB a decade", {1e4, 1e6}, {-70, -110}, 2 * 10.0 * (1e-4 - 1e-6)},
        // 10^(L/10) = 1e-9 (1e3 / f): 2 * 1e-9 * 1e3 * ln(100)
        VarianceCase{"minus 10 dB a decade", {1e3, 1e5}, {-90, -110}, 2e-6 * std::log(100.0)},
        VarianceCase{"two segments",
                     {1e3, 1e5, 1e6},
                     {-80, -80, -100},
                     2e-8 * 99e3 + 2 * 1e-8 * 1e10 * (1e-5 - 1e-6)}),
    orv_test::PrintedName{});

TEST(PhaseNoiseProfile, DefaultShapeHasTheAskedRms) {
    for (const double deg : {0.5, 1.0, 3.0}) {
        double f[3], l[3];
        phase_noise_default_profile(deg, f, l);
        const double rad = deg * kPi / 180.0;
        EXPECT_NEAR(phase_noise_variance(f, l, 3), rad * rad, 1e-12) << deg;
        EXPECT_EQ(phase_noise_profile_check(f, l, 3), -1);
    }
}

TEST(PhaseNoiseProfile, LevelIsStraightOnLogFrequencyAndNothingOutside) {
    const double f[] = {1e3, 1e5};
    const double l[] = {-80, -120};
    EXPECT_NEAR(phase_noise_level(f, l, 2, 1e4), -100.0, 1e-12);
    EXPECT_NEAR(phase_noise_level(f, l, 2, 1e3), -80.0, 1e-12);
    EXPECT_LE(phase_noise_level(f, l, 2, 999.0), -300.0);
    EXPECT_LE(phase_noise_level(f, l, 2, 1.01e5), -300.0);
}

struct ProfileCheckCase {
    const char* name;
    Vec offsets, levels;
    int32_t want;
};
void PrintTo(const ProfileCheckCase& c, std::ostream* os) { *os << c.name; }
class PhaseNoiseProfileCheck : public ::testing::TestWithParam<ProfileCheckCase> {};

TEST_P(PhaseNoiseProfileCheck, NamesTheFirstBadPoint) {
    const ProfileCheckCase& c = GetParam();
    EXPECT_EQ(phase_noise_profile_check(c.offsets.data(), c.levels.data(),
                                        static_cast<int32_t>(c.offsets.size())),
              c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PhaseNoiseProfileCheck,
    ::testing::Values(ProfileCheckCase{"good", {1e3, 1e4, 1e6}, {-80, -90, -120}, -1},
                      ProfileCheckCase{"one point", {1e3}, {-80}, 1},
                      ProfileCheckCase{"unsorted", {1e3, 1e5, 1e4}, {-80, -90, -100}, 2},
                      ProfileCheckCase{"repeated offset", {1e3, 1e3}, {-80, -90}, 1},
                      ProfileCheckCase{"negative offset", {-1e3, 1e4}, {-80, -90}, 0},
                      ProfileCheckCase{"zero offset", {0.0, 1e4}, {-80, -90}, 0},
                      ProfileCheckCase{"positive level", {1e3, 1e4}, {-80, 3}, 1},
                      ProfileCheckCase{"not a number", {1e3, NAN}, {-80, -90}, 1}),
    orv_test::PrintedName{});

// The two-sided spectrum of the phase is L(|f|): Welch's estimate (Hann
// segments) averaged over bands a fifth of a decade wide inside the profile
// lies within 1 dB of it; the variance is the profile's integral.
TEST(PhaseNoiseProcess, MeasuredSpectrumFollowsTheProfile) {
    const double fs = 20e6;
    const double f[] = {1e4, 1e5, 1e6};
    const double l[] = {-85, -90, -110};
    PhaseNoise pn;
    ASSERT_EQ(phase_noise_open(&pn, f, l, 3, fs, 99), 0);
    const int32_t seg = 1 << 13, segments = 256;
    Vec phase(static_cast<size_t>(seg) * segments);
    // In uneven parts: the stream does not depend on how it is asked for.
    for (size_t at = 0; at < phase.size();) {
        const int32_t n = static_cast<int32_t>(std::min<size_t>(phase.size() - at, 1000 + at % 777));
        phase_noise_next(&pn, n, phase.data() + at);
        at += static_cast<size_t>(n);
    }
    phase_noise_close(&pn);
    Vec psd(seg / 2, 0.0), w(seg);
    double w2 = 0.0;
    for (int32_t k = 0; k < seg; ++k) {
        w[k] = 0.5 - 0.5 * std::cos(2 * kPi * k / seg);
        w2 += w[k] * w[k];
    }
    ImpairFft fft;
    ASSERT_EQ(impair_fft_open(&fft, seg), 0);
    Vec re(seg), im(seg);
    for (int32_t s = 0; s < segments; ++s) {
        for (int32_t k = 0; k < seg; ++k) {
            re[k] = phase[static_cast<size_t>(s) * seg + k] * w[k];
            im[k] = 0.0;
        }
        impair_fft(&fft, re.data(), im.data(), false);
        for (int32_t k = 0; k < seg / 2; ++k)
            psd[k] += (re[k] * re[k] + im[k] * im[k]) / (fs * w2) / segments;
    }
    impair_fft_close(&fft);
    const double bin = fs / seg;
    for (double lo = 2e4; lo * 1.58 <= 9e5; lo *= 1.585) {
        double sum = 0.0, want = 0.0;
        int32_t bins = 0;
        for (int32_t k = static_cast<int32_t>(std::ceil(lo / bin)); k * bin < lo * 1.585; ++k) {
            sum += psd[k];
            want += std::pow(10.0, phase_noise_level(f, l, 3, k * bin) / 10.0);
            ++bins;
        }
        ASSERT_GT(bins, 3);
        EXPECT_NEAR(10 * std::log10(sum / want), 0.0, 1.0) << "band from " << lo << " Hz";
    }
    double var = 0.0, mean = 0.0;
    for (double p : phase) mean += p;
    mean /= phase.size();
    for (double p : phase) var += (p - mean) * (p - mean);
    var /= phase.size();
    EXPECT_NEAR(var / phase_noise_variance(f, l, 3), 1.0, 0.1);
}

TEST(PhaseNoiseProcess, RewindRepeatsTheDrawsAndOtherSeedsDiffer) {
    const double f[] = {1e3, 1e6};
    const double l[] = {-80, -100};
    PhaseNoise a, b;
    ASSERT_EQ(phase_noise_open(&a, f, l, 2, 80e6, 5), 0);
    ASSERT_EQ(phase_noise_open(&b, f, l, 2, 80e6, 6), 0);
    Vec x(50000), y(50000), z(50000);
    phase_noise_next(&a, 50000, x.data());
    phase_noise_rewind(&a);
    phase_noise_next(&a, 50000, y.data());
    phase_noise_next(&b, 50000, z.data());
    EXPECT_EQ(x, y);
    EXPECT_NE(x, z);
    phase_noise_close(&a);
    phase_noise_close(&b);
}

struct SingleStepCase {
    const char* name;
    Vec offsets, levels;
    double fs;
    int32_t m;  // the filter's length the profile gives
};
void PrintTo(const SingleStepCase& c, std::ostream* os) { *os << c.name; }
class PhaseNoiseSingle : public ::testing::TestWithParam<SingleStepCase> {};

// The process's steps in single precision (open's) against the same draws
// through the double transforms, over three steps (the overlap carried from
// step to step): floats round at 6e-8 and a transform of 2m points adds
// about log2(2m) roundings in quadrature, so the difference stays near
// 1e-6 of the process's RMS; 1e-5 leaves room and still catches a response
// in the wrong order or scale, or a lost overlap (errors of the RMS itself).
TEST_P(PhaseNoiseSingle, StaysWithinRoundingOfTheDoubleProcess) {
    const SingleStepCase& c = GetParam();
    const int32_t count = static_cast<int32_t>(c.offsets.size());
    PhaseNoise fast, exact;
    ASSERT_EQ(phase_noise_open(&fast, c.offsets.data(), c.levels.data(), count, c.fs, 9), 0);
    ASSERT_EQ(phase_noise_open(&exact, c.offsets.data(), c.levels.data(), count, c.fs, 9), 0);
    ASSERT_EQ(fast.m, c.m);
    EXPECT_EQ(fast.single, 1);
    exact.single = 0;
    phase_noise_rewind(&exact);
    const int32_t n = 5 * c.m * fast.decimation;  // 5m process samples: into the third step
    Vec a(n), b(n);
    phase_noise_next(&fast, n, a.data());
    phase_noise_next(&exact, n, b.data());
    double power = 0.0, worst = 0.0;
    for (int32_t k = 0; k < n; ++k) {
        power += b[k] * b[k];
        worst = std::max(worst, std::fabs(a[k] - b[k]));
    }
    const double rms = std::sqrt(power / n);
    ASSERT_GT(rms, 0.0);
    EXPECT_LE(worst, 1e-5 * rms) << "RMS " << rms;
    EXPECT_GT(worst, 0.0) << "the float steps were not taken";
    phase_noise_close(&fast);
    phase_noise_close(&exact);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PhaseNoiseSingle,
    ::testing::Values(SingleStepCase{"default shape offsets at 80 MS/s", {1e3, 1e5, 1e6}, {-62.0, -62.0, -82.0},
                                     80e6, 1 << 16},
                      SingleStepCase{"strong noise at 40 MS/s", {1e4, 1e5, 1e6}, {-45.0, -50.0, -70.0}, 40e6, 1 << 12},
                      SingleStepCase{"shortest filter", {2e6, 2.2e6, 2.5e6}, {-80.0, -80.0, -90.0}, 20e6, 64}),
    orv_test::PrintedName{});

// ---- Sample clock -------------------------------------------------------------

struct ClockCase {
    double ppm;
    int32_t taps;
    double tone;  // cycles per sample: the band the taps are made for
};
void PrintTo(const ClockCase& c, std::ostream* os) {
    *os << c.ppm << " ppm " << c.taps << " taps tone " << c.tone;
}
class ClockDrift : public ::testing::TestWithParam<ClockCase> {};

// Output n is the input at n (1 + ppm 1e-6): a tone exp(j w m) comes out as
// exp(j w n (1 + d)), and a pulse at input p comes out centred at p / (1 + d).
TEST_P(ClockDrift, ToneAndPulseLandWhereTheFastClockPutsThem) {
    const double d = GetParam().ppm * 1e-6;
    const int32_t taps = GetParam().taps;
    Resampler r;
    ASSERT_EQ(resampler_open(&r, GetParam().ppm, taps), 0);
    const int64_t total = 400000;
    const double w = 2 * kPi * GetParam().tone;
    Vec xi(total + 64), xq(total + 64);
    for (int64_t m = 0; m < total + 64; ++m) {
        xi[m] = std::cos(w * m);
        xq[m] = std::sin(w * m);
    }
    const int64_t n_out = resampled_length(GetParam().ppm, total);
    const int64_t last_needed = resampler_first_input(&r, n_out - 1) + taps - 1;
    EXPECT_LE(last_needed, total - 1 + taps);
    double worst = 0.0;
    for (const int64_t n0 : {int64_t{100}, n_out / 2, n_out - 200}) {
        Vec i(100), q(100);
        resampler_run(&r, n0, 100, 0, xi.data(), xq.data(), i.data(), q.data());
        for (int32_t k = 0; k < 100; ++k) {
            const double t = static_cast<double>(n0 + k) * (1.0 + d);
            worst = std::max(worst, std::abs(cplx(i[k], q[k]) - std::polar(1.0, w * t)));
        }
    }
    EXPECT_LT(20 * std::log10(worst), -55.0);
    // A Gaussian pulse (sigma 4 samples) at input 300000.
    const double p = 300000.0;
    Vec pi(total, 0.0), pq(total, 0.0);
    for (int64_t m = static_cast<int64_t>(p) - 60; m <= static_cast<int64_t>(p) + 60; ++m)
        pi[m] = std::exp(-0.5 * (m - p) * (m - p) / 16.0);
    const int64_t centre = static_cast<int64_t>(std::llround(p / (1.0 + d)));
    const int64_t n0 = centre - 80;
    const int64_t base = resampler_first_input(&r, n0);
    Vec i(160), q(160);
    resampler_run(&r, n0, 160, base, pi.data() + base, pq.data() + base, i.data(), q.data());
    double sum = 0.0, moment = 0.0;
    for (int32_t k = 0; k < 160; ++k) {
        sum += i[k];
        moment += i[k] * static_cast<double>(n0 + k);
    }
    EXPECT_NEAR(moment / sum, p / (1.0 + d), 0.01);
    resampler_close(&r);
}

INSTANTIATE_TEST_SUITE_P(Cases, ClockDrift,
                         ::testing::Values(ClockCase{-200, 32, 0.2}, ClockCase{-20, 32, 0.2},
                                           ClockCase{0, 32, 0.2}, ClockCase{7.5, 32, 0.2},
                                           ClockCase{40, 32, 0.2}, ClockCase{1000, 32, 0.2},
                                           ClockCase{25, 64, 0.41}, ClockCase{-25, 16, 0.14},
                                           ClockCase{10, 8, 0.105}, ClockCase{-120, 8, 0.0525}),
                         orv_test::PrintedName{});

TEST(ClockDrift, LengthCoversTheInput) {
    EXPECT_EQ(resampled_length(0.0, 1000), 1000);
    EXPECT_EQ(resampled_length(100.0, 1000001), 1000001 - 100);   // 1e6 / 1.0001 = 999900.01
    EXPECT_EQ(resampled_length(-100.0, 1000001), 1000001 + 100);  // 1e6 / 0.9999 = 1000100.01
}

// ---- Multipath ----------------------------------------------------------------

struct ProfileCase {
    double rms_ns, ts_ns;
};
void PrintTo(const ProfileCase& c, std::ostream* os) {
    *os << "rms " << c.rms_ns << " ns at " << c.ts_ns << " ns";
}
class MultipathProfile : public ::testing::TestWithParam<ProfileCase> {};

// Over many realisations the taps' mean power is p_k = (1 - e^(-Ts/T)) e^(-k Ts/T)
// (normalised), K = ceil(10 T / Ts), and the profile's RMS delay spread is about T.
TEST_P(MultipathProfile, AveragePowerDelayProfileIsTheExponential) {
    const ProfileCase c = GetParam();
    Vec power(kMultipathMaxTaps);
    const int32_t taps = exponential_profile(c.rms_ns, c.ts_ns, power.data());
    ASSERT_EQ(taps, static_cast<int32_t>(std::ceil(10 * c.rms_ns / c.ts_ns)) + 1);
    double norm = 0.0;
    for (int32_t k = 0; k < taps; ++k) norm += std::exp(-k * c.ts_ns / c.rms_ns);
    double mean = 0.0, second = 0.0;
    for (int32_t k = 0; k < taps; ++k) {
        EXPECT_NEAR(power[k], std::exp(-k * c.ts_ns / c.rms_ns) / norm, 1e-12);
        mean += power[k] * k * c.ts_ns;
        second += power[k] * (k * c.ts_ns) * (k * c.ts_ns);
    }
    if (c.rms_ns >= 4 * c.ts_ns) {
        EXPECT_NEAR(std::sqrt(second - mean * mean) / c.rms_ns, 1.0, 0.03);
    }
    Multipath m;
    ASSERT_EQ(multipath_open(&m, power.data(), nullptr, nullptr, taps, 1234), 0);
    const int32_t runs = 6000;
    Vec avg(taps, 0.0), re(taps), im(taps);
    for (int32_t key = 0; key < runs; ++key) {
        multipath_realisation(&m, key, re.data(), im.data());
        for (int32_t k = 0; k < taps; ++k) avg[k] += (re[k] * re[k] + im[k] * im[k]) / runs;
    }
    multipath_close(&m);
    // Each tap's power is exponential: its mean over runs has relative error 1 / sqrt(runs).
    for (int32_t k = 0; k < std::min(taps, 20); ++k)
        EXPECT_NEAR(avg[k] / power[k], 1.0, 5.0 / std::sqrt(runs)) << "tap " << k;
}

INSTANTIATE_TEST_SUITE_P(Cases, MultipathProfile,
                         ::testing::Values(ProfileCase{50, 50}, ProfileCase{50, 6.25},
                                           ProfileCase{150, 50}, ProfileCase{150, 12.5},
                                           ProfileCase{10, 50}),
                         orv_test::PrintedName{});

// The overlap-save channel equals the direct convolution in which every input
// sample goes through its own span's realisation.
TEST(MultipathChannel, EqualsDirectConvolutionPerSpan) {
    Vec power(kMultipathMaxTaps);
    const int32_t taps = exponential_profile(100, 12.5, power.data());  // 81 taps
    Multipath m;
    ASSERT_EQ(multipath_open(&m, power.data(), nullptr, nullptr, taps, 77), 0);
    const int32_t hop = m.hop, steps = 5, total = hop * steps;
    Vec xi(total), xq(total);
    std::vector<int32_t> span(total);
    for (int32_t k = 0; k < total; ++k) {
        xi[k] = std::sin(0.3 * k) + 0.1 * (k % 7);
        xq[k] = std::cos(0.11 * k * k);
        span[k] = k < 300 ? 0 : k < hop + 5 ? 1 : k < 3 * hop ? 2 : 7;
    }
    Vec yi(total), yq(total);
    for (int32_t s = 0; s < steps; ++s)
        multipath_step(&m, xi.data() + s * hop, xq.data() + s * hop, span.data() + s * hop,
                       yi.data() + s * hop, yq.data() + s * hop);
    std::vector<Vec> hre(8, Vec(taps)), him(8, Vec(taps));
    for (int32_t key : {0, 1, 2, 7}) multipath_realisation(&m, key, hre[key].data(), him[key].data());
    for (int32_t n = 0; n < total; ++n) {
        cplx want = 0.0;
        for (int32_t j = 0; j < taps && j <= n; ++j) {
            const int32_t s = span[n - j];
            want += cplx(hre[s][j], him[s][j]) * cplx(xi[n - j], xq[n - j]);
        }
        ASSERT_NEAR(yi[n], want.real(), 1e-12) << n;
        ASSERT_NEAR(yq[n], want.imag(), 1e-12) << n;
    }
    multipath_close(&m);
}

struct ChannelLoopCase {
    const char* name;
    double rms_ns;  // 0: the fixed taps below
    bool in_place;  // the output written over the input
};
void PrintTo(const ChannelLoopCase& c, std::ostream* os) { *os << c.name; }
class MultipathLoops : public ::testing::TestWithParam<ChannelLoopCase> {};

// The channel's AVX loops (transforms and the bin products) give the plain
// loops' outputs bit for bit, across windows of one and of several
// realisations, and in place as out of place.
TEST_P(MultipathLoops, VectorLoopsEqualThePlainLoops) {
#if ORV_X86_VECTORS
    if (!cpu_has_avx()) GTEST_SKIP() << "no AVX here";
#else
    GTEST_SKIP() << "no vector loops here";
#endif
    const ChannelLoopCase c = GetParam();
    Vec power(kMultipathMaxTaps);
    const double fixed_re[3] = {1.0, 0.0, -0.1}, fixed_im[3] = {0.0, 0.5, 0.02};
    const int32_t taps = c.rms_ns > 0.0 ? exponential_profile(c.rms_ns, 12.5, power.data()) : 3;
    Multipath vec, plain;
    for (Multipath* m : {&vec, &plain})
        ASSERT_EQ(c.rms_ns > 0.0 ? multipath_open(m, power.data(), nullptr, nullptr, taps, 5)
                                 : multipath_open(m, nullptr, fixed_re, fixed_im, taps, 5),
                  0);
    plain.fft.no_avx = 1;
    const int32_t hop = vec.hop, steps = 6, total = hop * steps;
    Vec xi(total), xq(total);
    std::vector<int32_t> span(total);
    for (int32_t k = 0; k < total; ++k) {
        xi[k] = k % 23 == 0 ? -0.0 : std::sin(0.3 * k) + 0.1 * (k % 7);
        xq[k] = std::cos(0.11 * k * k);
        span[k] = k < hop / 2 ? 0 : k < 3 * hop ? 1 : k < 3 * hop + 2 ? 2 : 3;
    }
    Vec vi(total), vq(total), pi = xi, pq = xq;
    for (int32_t s = 0; s < steps; ++s) {
        const size_t at = static_cast<size_t>(s) * hop;
        multipath_step(&vec, xi.data() + at, xq.data() + at, span.data() + at, vi.data() + at, vq.data() + at);
        if (c.in_place)
            multipath_step(&plain, pi.data() + at, pq.data() + at, span.data() + at, pi.data() + at, pq.data() + at);
        else
            multipath_step(&plain, xi.data() + at, xq.data() + at, span.data() + at, pi.data() + at, pq.data() + at);
    }
    int32_t differ = 0;
    for (int32_t k = 0; k < total; ++k)
        differ += std::memcmp(&vi[k], &pi[k], sizeof(double)) != 0 || std::memcmp(&vq[k], &pq[k], sizeof(double)) != 0;
    EXPECT_EQ(differ, 0);
    multipath_close(&vec);
    multipath_close(&plain);
}

INSTANTIATE_TEST_SUITE_P(Cases, MultipathLoops,
                         ::testing::Values(ChannelLoopCase{"Rayleigh 100 ns", 100.0, false},
                                           ChannelLoopCase{"Rayleigh 100 ns in place", 100.0, true},
                                           ChannelLoopCase{"Rayleigh 700 ns", 700.0, false},
                                           ChannelLoopCase{"three fixed taps in place", 0.0, true}),
                         orv_test::PrintedName{});

TEST(MultipathChannel, ExplicitTapsRoundToTheNearestSample) {
    const double delay[] = {0.0, 60.0, 140.0};
    const double gain[] = {0.0, -6.0, -20.0};
    const double phase[] = {0.0, 90.0, 180.0};
    Vec re(8), im(8);
    ASSERT_EQ(explicit_taps_response(delay, gain, phase, 3, 50.0, re.data(), im.data(), 8), 4);
    EXPECT_NEAR(re[0], 1.0, 1e-15);
    EXPECT_NEAR(im[1], std::pow(10.0, -6.0 / 20), 1e-15);  // 60 ns -> sample 1
    EXPECT_NEAR(re[1], 0.0, 1e-15);
    EXPECT_NEAR(re[3], -0.1, 1e-15);  // 140 ns -> sample 3
    EXPECT_EQ(re[2], 0.0);
    EXPECT_EQ(explicit_taps_response(delay, gain, phase, 3, 50.0, re.data(), im.data(), 3), 0);
}

}  // namespace
