// The test-pattern burst through the impairment chain (orv_11a_burst_impaired):
// without impairments the samples of orv_11a_actual; the SNR's noise, the
// clock's length and the IQ image against the test's own computation from
// the unimpaired burst; bad impairments refused with nothing written.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "burst_impaired.h"
#include "orvasynth.h"
#include "pipeline.h"
#include "support/readable_params.h"
#include "support/records.h"

namespace {

OrvImpairments none() {
    OrvImpairments m{};
    m.size = sizeof m;
    m.seed = 77;
    return m;
}

// The samples of a call that keeps them (whole arrays), as vectors.
struct Kept {
    int32_t rc = -1;
    std::vector<double> i, q;
    int32_t burst = 0;
};

Kept keep(WaveParams p, const OrvImpairments* m) {
    Kept k;
    ConditionedSamples c;
    k.rc = m == nullptr ? orv_11a_conditioned(&p, &c)
                        : orv_11a_burst_impaired(&p, m, CallOutput{1, nullptr, &c, nullptr, nullptr});
    if (k.rc != 0) return k;
    k.i.assign(c.i, c.i + c.geometry.total);
    k.q.assign(c.q, c.q + c.geometry.total);
    k.burst = c.geometry.burst;
    free_conditioned(&c);
    return k;
}

// ---- Without impairments: the record's own stages keep their meaning ----------

struct PlainCase {
    const char* name;
    void (*change)(WaveParams&);
};
void PrintTo(const PlainCase& c, std::ostream* os) { *os << c.name; }
class BurstWithoutImpairments : public ::testing::TestWithParam<PlainCase> {};

TEST_P(BurstWithoutImpairments, SamplesAreThoseOfTheRecordAlone) {
    WaveParams p = valid_record();
    p.ofdm_symbols = 8;
    GetParam().change(p);
    const Kept want = keep(p, nullptr);
    const OrvImpairments m = none();
    const Kept got = keep(p, &m);
    ASSERT_EQ(want.rc, 0);
    ASSERT_EQ(got.rc, 0);
    ASSERT_EQ(got.i.size(), want.i.size());
    double worst = 0.0;
    for (size_t n = 0; n < want.i.size(); ++n)
        worst = std::fmax(worst, std::fmax(std::fabs(got.i[n] - want.i[n]), std::fabs(got.q[n] - want.q[n])));
    EXPECT_LT(worst, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BurstWithoutImpairments,
    ::testing::Values(PlainCase{"plain", [](WaveParams&) {}},
                      PlainCase{"free format", [](WaveParams& p) { p.frame_format = 1; }},
                      PlainCase{"frequency error 1 MHz",
                                [](WaveParams& p) {
                                    p.freq_error_enable = 1;
                                    p.freq_error = 1e6;
                                }},
                      PlainCase{"DC offset",
                                [](WaveParams& p) {
                                    p.dc_offset_re = 5.0;
                                    p.dc_offset_im = -3.0;
                                }},
                      PlainCase{"sine interferer",
                                [](WaveParams& p) {
                                    p.sine_enable = 1;
                                    p.sine_level = -20.0;
                                    p.sine_freq = 3e6;
                                }},
                      PlainCase{"IF conversion",
                                [](WaveParams& p) {
                                    p.if_enable = 1;
                                    p.if_freq = 20e6;
                                }}),
    orv_test::PrintedName{});

// ---- SNR: noise of (P / SNR) x os per sample in the burst-off gap ---------------

struct SnrCase {
    const char* name;
    double snr_db;
    int32_t os;
};
void PrintTo(const SnrCase& c, std::ostream* os) { *os << c.name; }
class BurstSnr : public ::testing::TestWithParam<SnrCase> {};

TEST_P(BurstSnr, GapNoiseHasTheBurstsPowerOverSnrTimesOversampling) {
    const SnrCase& c = GetParam();
    WaveParams p = valid_record();
    p.ofdm_symbols = 20;
    p.oversampling = c.os;
    p.burst_enable = 1;
    p.burst_off_time = 2e-3;
    const Kept clean = keep(p, nullptr);
    OrvImpairments m = none();
    m.snr_enable = 1;
    m.snr_db = c.snr_db;
    const Kept noisy = keep(p, &m);
    ASSERT_EQ(clean.rc, 0);
    ASSERT_EQ(noisy.rc, 0);
    double power = 0.0;
    for (int32_t n = 0; n < clean.burst; ++n) power += clean.i[n] * clean.i[n] + clean.q[n] * clean.q[n];
    power /= clean.burst;
    double gap = 0.0;
    const size_t count = noisy.i.size() - static_cast<size_t>(noisy.burst);
    for (size_t n = static_cast<size_t>(noisy.burst); n < noisy.i.size(); ++n)
        gap += noisy.i[n] * noisy.i[n] + noisy.q[n] * noisy.q[n];
    gap /= static_cast<double>(count);
    const double want = power / std::pow(10.0, c.snr_db / 10.0) * c.os;
    // Tens of thousands of samples: the estimate is within a few percent.
    EXPECT_NEAR(gap / want, 1.0, 0.03) << count << " gap samples";
}

INSTANTIATE_TEST_SUITE_P(Cases, BurstSnr,
                         ::testing::Values(SnrCase{"0 dB at os 1", 0.0, 1}, SnrCase{"10 dB at os 4", 10.0, 4},
                                           SnrCase{"30 dB at os 8", 30.0, 8}, SnrCase{"-10 dB at os 2", -10.0, 2}),
                         orv_test::PrintedName{});

// ---- Sample clock: floor((T - 1) / (1 + ppm 1e-6)) + 1 samples ----------------

struct ClockCase {
    const char* name;
    double ppm;
};
void PrintTo(const ClockCase& c, std::ostream* os) { *os << c.name; }
class BurstClock : public ::testing::TestWithParam<ClockCase> {};

TEST_P(BurstClock, LengthFollowsTheClockAndSamplesComeEarlier) {
    const double ppm = GetParam().ppm;
    WaveParams p = valid_record();
    p.ofdm_symbols = 40;
    p.burst_enable = 1;
    p.burst_off_time = 100e-6;
    const Kept clean = keep(p, nullptr);
    OrvImpairments m = none();
    m.clock_ppm = ppm;
    const Kept got = keep(p, &m);
    ASSERT_EQ(got.rc, 0);
    const double ratio = 1.0 + ppm * 1e-6;
    const auto total = static_cast<int64_t>(clean.i.size());
    EXPECT_EQ(static_cast<int64_t>(got.i.size()), static_cast<int64_t>(std::floor((total - 1) / ratio)) + 1);
    // Output sample n is the waveform at n * ratio: against the clean burst
    // interpolated linearly there (the waveform is oversampled 4 times).
    double err = 0.0, ref = 0.0;
    for (int32_t n = 400; n < clean.burst - 400; ++n) {
        const double x = n * ratio;
        const auto k = static_cast<size_t>(std::floor(x));
        const double f = x - static_cast<double>(k);
        const double wi = clean.i[k] + f * (clean.i[k + 1] - clean.i[k]);
        const double wq = clean.q[k] + f * (clean.q[k + 1] - clean.q[k]);
        err += (got.i[n] - wi) * (got.i[n] - wi) + (got.q[n] - wq) * (got.q[n] - wq);
        ref += wi * wi + wq * wq;
    }
    EXPECT_LT(10.0 * std::log10(err / ref), -25.0);
}

INSTANTIATE_TEST_SUITE_P(Cases, BurstClock,
                         ::testing::Values(ClockCase{"plus 100 ppm", 100.0}, ClockCase{"minus 100 ppm", -100.0},
                                           ClockCase{"plus 1000 ppm", 1000.0}, ClockCase{"minus 1000 ppm", -1000.0}),
                         orv_test::PrintedName{});

// ---- IQ imbalance: each sample by the matrix of g and phi ---------------------

struct IqCase {
    const char* name;
    double gain_db, phase_deg;
};
void PrintTo(const IqCase& c, std::ostream* os) { *os << c.name; }
class BurstIq : public ::testing::TestWithParam<IqCase> {};

TEST_P(BurstIq, EverySampleThroughTheImbalance) {
    const IqCase& c = GetParam();
    WaveParams p = valid_record();
    p.ofdm_symbols = 6;
    const Kept clean = keep(p, nullptr);
    OrvImpairments m = none();
    m.iq_gain_db = c.gain_db;
    m.iq_phase_deg = c.phase_deg;
    const Kept got = keep(p, &m);
    ASSERT_EQ(got.rc, 0);
    ASSERT_EQ(got.i.size(), clean.i.size());
    const double ai = std::pow(10.0, c.gain_db / 40.0), aq = std::pow(10.0, -c.gain_db / 40.0);
    const double half = c.phase_deg * M_PI / 360.0;
    double worst = 0.0;
    for (size_t n = 0; n < clean.i.size(); ++n) {
        const double i = clean.i[n], q = clean.q[n];
        const double wi = ai * (i * std::cos(half) - q * std::sin(half));
        const double wq = aq * (q * std::cos(half) - i * std::sin(half));
        worst = std::fmax(worst, std::fmax(std::fabs(got.i[n] - wi), std::fabs(got.q[n] - wq)));
    }
    EXPECT_LT(worst, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Cases, BurstIq,
                         ::testing::Values(IqCase{"gain 1 dB", 1.0, 0.0}, IqCase{"phase minus 5 deg", 0.0, -5.0},
                                           IqCase{"gain minus 2 dB phase 3 deg", -2.0, 3.0}),
                         orv_test::PrintedName{});

// ---- Bad input -----------------------------------------------------------------

struct BadCase {
    const char* name;
    void (*change)(WaveParams&, OrvImpairments&);
    uint32_t refused;  // the impairment bits, 0: the record's own refusal
};
void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }
class BurstImpairedBad : public ::testing::TestWithParam<BadCase> {};

TEST_P(BurstImpairedBad, RefusedWithNothingWritten) {
    const BadCase& c = GetParam();
    TempDir dir("burst_impaired_bad");
    WaveParams p = valid_record();
    p.ofdm_symbols = 4;
    OrvImpairments m = none();
    c.change(p, m);
    uint32_t refused = 12345;
    const std::string path = dir.file("x.csv");
    const int32_t rc = orv_11a_burst_impaired(&p, &m, CallOutput{1, path.c_str(), nullptr, nullptr, nullptr}, &refused);
    EXPECT_NE(static_cast<uint32_t>(rc) & ORV_INVALID, 0u) << std::hex << rc;
    EXPECT_EQ(refused, c.refused);
    if (c.refused != 0) {
        EXPECT_EQ(static_cast<uint32_t>(rc), ORV_INVALID | c.refused);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BurstImpairedBad,
    ::testing::Values(
        BadCase{"wrong size", [](WaveParams&, OrvImpairments& m) { m.size = 8; }, ORV_IMP_BAD_SIZE},
        BadCase{"snr 101 dB",
                [](WaveParams&, OrvImpairments& m) {
                    m.snr_enable = 1;
                    m.snr_db = 101.0;
                },
                ORV_IMP_BAD_SNR},
        BadCase{"carrier with the frequency error beyond half the rate",
                [](WaveParams& p, OrvImpairments& m) {
                    p.freq_error_enable = 1;
                    p.freq_error = 30e6;
                    m.cfo_ppm = 1000.0;
                    m.carrier_ghz = 20.0;
                },
                ORV_IMP_BAD_CARRIER},
        BadCase{"clock NaN", [](WaveParams&, OrvImpairments& m) { m.clock_ppm = NAN; }, ORV_IMP_BAD_CLOCK},
        BadCase{"record refused first",
                [](WaveParams& p, OrvImpairments& m) {
                    p.oversampling = 0;
                    m.size = 8;
                },
                0u}),
    orv_test::PrintedName{});

TEST(BurstImpaired, NullPathIsAWriteFailure) {
    WaveParams p = valid_record();
    const OrvImpairments m = none();
    EXPECT_EQ(orv_11a_burst_impaired(&p, &m, CallOutput{1, nullptr, nullptr, nullptr, nullptr}), ORV_WRITE_FAILED);
}

}  // namespace
