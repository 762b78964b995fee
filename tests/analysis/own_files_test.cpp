// The analysis of files written by the library: every rate, pattern and
// oversampling factor in both formats, and the impairments measured as asked.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>

#include "analysis.h"
#include "ofdm.h"
#include "orvasynth.h"
#include "support/records.h"
#include "synth/reference/wlan_reference.h"
#include "support/readable_params.h"

namespace {

using orv::analysis::analyse_file;
using orv::analysis::Options;
using orv::analysis::Result;

constexpr int kMbps[8] = {6, 9, 12, 18, 24, 36, 48, 54};
constexpr int kNdbps[8] = {24, 36, 48, 72, 96, 144, 192, 216};
const char* const kPatternNames[7] = {"PN9", "PN15", "PN19", "PN20", "PN23", "ALL 0", "ALL 1"};
constexpr int kPatternBits[7] = {9, 15, 19, 20, 23, 0, 0};

Result generate_and_analyse(WaveParams p, int mode, const TempDir& dir, const Options& opt = {}) {
    const std::string path = dir.file(mode == 0 ? "w.awv" : "w.csv");
    const int32_t rc = orv_11a_actual(&p, mode, path.c_str());
    EXPECT_EQ(rc, 0);
    return analyse_file(path, opt);
}

struct FormatOs {
    int mode;  // 0 AWG, 1 CSV
    int os;
};

void PrintTo(const FormatOs& c, std::ostream* os) { *os << (c.mode == 0 ? "awg" : "csv") << " os" << c.os; }

class OwnFiles : public ::testing::TestWithParam<FormatOs> {};

TEST_P(OwnFiles, EveryRateAndPatternDecodedWithoutErrors) {
    const FormatOs c = GetParam();
    TempDir dir("own");
    const double limit = c.mode == 0 ? -60.0 : -90.0;
    for (int rate = 0; rate < 8; ++rate) {
        for (int pat = 0; pat < 7; ++pat) {
            SCOPED_TRACE("rate " + std::to_string(kMbps[rate]) + " pattern " + kPatternNames[pat]);
            WaveParams p = valid_record();
            p.oversampling = c.os;
            p.rate_index = rate;
            p.data_pattern = pat;
            p.ofdm_symbols = 3 + (rate + pat) % 4;
            p.pn_seed = static_cast<int32_t>((0x5A5A5u ^ (0x1357u * static_cast<uint32_t>(rate * 7 + pat + c.os))) & 0xFFFFFFu) | 1;
            const Result r = generate_and_analyse(p, c.mode, dir);
            ASSERT_TRUE(r.signal.has_value());
            EXPECT_EQ(r.signal->rate_mbps, kMbps[rate]);
            EXPECT_EQ(r.signal->length, (p.ofdm_symbols * kNdbps[rate] - 22) / 8);
            EXPECT_TRUE(r.signal->parity_ok);
            EXPECT_EQ(r.signal->data_symbols, p.ofdm_symbols);
            EXPECT_EQ(r.file.oversample, c.os);
            EXPECT_EQ(r.burst.start, 0);
            EXPECT_EQ(r.burst.length, (400 + 80 * p.ofdm_symbols) * c.os);
            ASSERT_TRUE(r.payload.has_value());
            EXPECT_EQ(r.payload->pattern, kPatternNames[pat]);
            if (kPatternBits[pat]) {
                ASSERT_TRUE(r.payload->seed.has_value());
                EXPECT_EQ(*r.payload->seed, static_cast<uint32_t>(p.pn_seed) & ((1u << kPatternBits[pat]) - 1u));
            }
            ASSERT_TRUE(r.payload->bit_errors.has_value());
            EXPECT_EQ(*r.payload->bit_errors, 0);
            ASSERT_TRUE(r.evm_db.has_value());
            EXPECT_LT(*r.evm_db, limit);
            EXPECT_FALSE(r.iq_inverted);
            EXPECT_NEAR(*r.freq_error_hz, 0.0, 10.0);
            if (c.mode == 0) {
                EXPECT_EQ(r.file.clipped_codes.value_or(-1), 0);
                EXPECT_TRUE(r.file.header_ok.value_or(false));
            }
        }
    }
}

std::vector<FormatOs> all_cases() {
    std::vector<FormatOs> v;
    for (int mode = 0; mode < 2; ++mode)
        for (int os = 1; os <= 10; ++os) v.push_back({mode, os});
    return v;
}

INSTANTIATE_TEST_SUITE_P(AllOs, OwnFiles, ::testing::ValuesIn(all_cases()), [](const auto& tp) {
    return std::string(tp.param.mode == 0 ? "awg" : "csv") + "_os" + std::to_string(tp.param.os);
});

struct FreqCase {
    int mode;
    int os;
    double hz;
};

void PrintTo(const FreqCase& c, std::ostream* os) {
    *os << (c.mode == 0 ? "awg" : "csv") << " os" << c.os << " " << c.hz / 1e3 << " kHz";
}

class FreqError : public ::testing::TestWithParam<FreqCase> {};

TEST_P(FreqError, MeasuredWithinTenHertz) {
    const FreqCase c = GetParam();
    TempDir dir("freq");
    WaveParams p = valid_record();
    p.oversampling = c.os;
    p.rate_index = 5;
    p.freq_error_enable = 1;
    p.freq_error = c.hz;
    const Result r = generate_and_analyse(p, c.mode, dir);
    ASSERT_TRUE(r.freq_error_hz.has_value());
    EXPECT_NEAR(*r.freq_error_hz, c.hz, 10.0);
    ASSERT_TRUE(r.payload && r.payload->bit_errors);
    EXPECT_EQ(*r.payload->bit_errors, 0);
    EXPECT_LT(*r.evm_db, c.mode == 0 ? -50.0 : -80.0);
}

INSTANTIATE_TEST_SUITE_P(PlusMinus, FreqError,
                         ::testing::Values(FreqCase{1, 4, 100e3}, FreqCase{1, 4, -100e3}, FreqCase{1, 4, 1e6},
                                           FreqCase{1, 4, -1e6}, FreqCase{0, 4, 1e6}, FreqCase{0, 8, -100e3},
                                           FreqCase{1, 2, 1e6}, FreqCase{0, 2, -1e6},
                                           // beyond the short training's +-625 kHz ambiguity, up to
                                           // the largest offset the generator takes ((fs - 20 MHz) / 2)
                                           FreqCase{1, 4, 10e6}, FreqCase{0, 4, -30e6}, FreqCase{1, 8, 55.5e6},
                                           FreqCase{1, 10, -90e6}, FreqCase{0, 6, 3.3e6}),
                         orv_test::PrintedName());

struct NoiseCase {
    int os;
    double level_db;
};

void PrintTo(const NoiseCase& c, std::ostream* os) { *os << "os" << c.os << " " << c.level_db << " dB"; }

class Noise : public ::testing::TestWithParam<NoiseCase> {};

// White noise of standard deviation s per channel puts 2 M s^2 into each bin of
// the M = 64 os point transform, where a subcarrier has unit power; the
// estimates of 17.3.9.7 add half of that again (the channel from the two long
// symbols) and an eighth (the phase from four pilots).
TEST_P(Noise, EvmAsTheLevelPredicts) {
    const NoiseCase c = GetParam();
    TempDir dir("noise");
    WaveParams p = valid_record();
    p.oversampling = c.os;
    p.rate_index = 2;
    p.noise_enable = 1;
    p.noise_level = c.level_db;
    const Result r = generate_and_analyse(p, 1, dir);
    const double predicted = c.level_db + 10.0 * std::log10(2.0 * 64.0 * c.os * (1.0 + 0.5 + 0.125));
    ASSERT_TRUE(r.evm_db.has_value());
    EXPECT_NEAR(*r.evm_db, predicted, 1.0);
}

INSTANTIATE_TEST_SUITE_P(Levels, Noise,
                         ::testing::Values(NoiseCase{4, -60.0}, NoiseCase{4, -70.0}, NoiseCase{8, -65.0},
                                           NoiseCase{1, -55.0}, NoiseCase{10, -75.0}), orv_test::PrintedName());

TEST(Impairments, DcOffsetShowsAsLeakage) {
    TempDir dir("dc");
    WaveParams p = valid_record();
    const Result clean = generate_and_analyse(p, 1, dir);
    p.dc_offset_re = 5.0;
    const Result small = generate_and_analyse(p, 1, dir);
    p.dc_offset_re = 40.0;
    p.dc_offset_im = -40.0;
    const Result large = generate_and_analyse(p, 1, dir);
    ASSERT_TRUE(clean.dc_leakage_db && small.dc_leakage_db && large.dc_leakage_db);
    EXPECT_LT(*clean.dc_leakage_db, -100.0);
    EXPECT_GT(*small.dc_leakage_db, -40.0);
    // The leakage grows with the offset's power: (40^2 + 40^2) / 5^2 is 21.1 dB.
    EXPECT_NEAR(*large.dc_leakage_db - *small.dc_leakage_db, 10.0 * std::log10(3200.0 / 25.0), 0.5);
    bool reported = false;
    for (const auto& f : large.failures) reported = reported || f.find("leakage") != std::string::npos;
    EXPECT_TRUE(reported);
}

// The DC offset sits at the file's 0 Hz, the burst at its carrier error: the
// leakage is found either way.
TEST(Impairments, DcOffsetWithAFrequencyError) {
    TempDir dir("dc_freq");
    WaveParams p = valid_record();
    p.dc_offset_re = 20.0;
    const Result at_carrier = generate_and_analyse(p, 1, dir);
    p.freq_error_enable = 1;
    p.freq_error = 100e3;
    const Result offset = generate_and_analyse(p, 1, dir);
    ASSERT_TRUE(at_carrier.dc_leakage_db && offset.dc_leakage_db);
    EXPECT_GT(*offset.dc_leakage_db, -30.0);
    EXPECT_NEAR(*offset.dc_leakage_db, *at_carrier.dc_leakage_db, 1.0);
}

// A burst converted to a real IF is found at its IF and said to be one.
TEST(Impairments, RealIfSignalIsReportedAsSuch) {
    TempDir dir("if");
    for (const int mode : {0, 1}) {
        WaveParams p = valid_record();
        p.oversampling = 4;
        p.if_enable = 1;
        p.if_freq = 20e6;
        const Result r = generate_and_analyse(p, mode, dir);
        ASSERT_TRUE(r.freq_error_hz) << mode;
        EXPECT_NEAR(std::abs(*r.freq_error_hz), 20e6, 10.0) << mode;
        ASSERT_TRUE(r.payload && r.payload->bit_errors) << mode;
        EXPECT_EQ(*r.payload->bit_errors, 0) << mode;
        bool noted = false;
        for (const auto& n : r.notes) noted = noted || n.find("IF of 20.000000 MHz") != std::string::npos;
        EXPECT_TRUE(noted) << mode;
    }
}

TEST(Impairments, FilterAndWindowImproveTheMaskMargin) {
    TempDir dir("mask");
    WaveParams p = valid_record();
    const Result plain = generate_and_analyse(p, 1, dir);
    WaveParams w = p;
    w.window_tr = 0.1e-6;
    const Result windowed = generate_and_analyse(w, 1, dir);
    WaveParams f = p;
    f.filter_cutoff = 9e6;
    f.filter_rolloff = 0.25;
    f.filter_taps = 191;
    const Result filtered = generate_and_analyse(f, 1, dir);
    ASSERT_TRUE(plain.mask.margin_db && windowed.mask.margin_db && filtered.mask.margin_db);
    EXPECT_LT(*plain.mask.margin_db, 0.0);
    EXPECT_FALSE(plain.mask.pass);
    EXPECT_GT(*windowed.mask.margin_db, *plain.mask.margin_db + 3.0);
    EXPECT_GT(*filtered.mask.margin_db, *plain.mask.margin_db + 10.0);
    EXPECT_TRUE(filtered.mask.pass);
    EXPECT_EQ(filtered.payload->bit_errors.value_or(-1), 0);
}

TEST(Impairments, IqInverseIsReportedAndStillDecoded) {
    TempDir dir("iq");
    WaveParams p = valid_record();
    p.iq_inverse = 1;
    p.rate_index = 4;
    for (int mode = 0; mode < 2; ++mode) {
        const Result r = generate_and_analyse(p, mode, dir);
        EXPECT_TRUE(r.iq_inverted);
        ASSERT_FALSE(r.failures.empty());
        EXPECT_EQ(r.failures.front(), "spectrum inverted: I and Q exchanged?");
        ASSERT_TRUE(r.signal);
        EXPECT_EQ(r.signal->rate_mbps, 24);
        EXPECT_EQ(r.payload->bit_errors.value_or(-1), 0);
    }
}

TEST(Impairments, FrequencyErrorWithIqInverseKeepsTheFileSense) {
    TempDir dir("iqf");
    WaveParams p = valid_record();
    p.iq_inverse = 1;
    p.freq_error_enable = 1;
    p.freq_error = 200e3;
    const Result r = generate_and_analyse(p, 1, dir);
    EXPECT_TRUE(r.iq_inverted);
    EXPECT_NEAR(r.freq_error_hz.value_or(0), 200e3, 10.0);
}

TEST(Bursts, GapCountOffsetAndClippedCodes) {
    TempDir dir("gap");
    WaveParams p = valid_record();
    p.burst_enable = 1;
    p.burst_off_time = 100e-6;
    const Result r = generate_and_analyse(p, 0, dir);
    EXPECT_EQ(r.burst.count, 1);
    EXPECT_EQ(r.burst.length, (400 + 80 * 100) * 4);
    EXPECT_NEAR(static_cast<double>(r.burst.gap_length), 100e-6 * 80e6, 1.0);  // truncation may drop one
    EXPECT_FALSE(r.burst.gap_level_db.has_value());  // silent
    EXPECT_EQ(r.file.clipped_codes.value_or(-1), 0);

    // Saturated codes: a flat run of 0 inside the burst, one 16383, a 0 in the gap, a flat
    // pair of 0 in the gap; a lone 0 inside the burst is a sample at its negative peak
    // (it quantises to 0 unclipped), not counted.
    std::string bytes = read_file(dir.file("w.awv"));
    const size_t block = bytes.find(';', bytes.find("{WAVEDATA:")) + 1;
    auto set_code = [&](size_t sample, int channel, uint32_t code) {
        for (int b = 0; b < 4; ++b) bytes[block + 8 * sample + 4 * channel + b] = static_cast<char>((code >> (8 * b)) & 0xFF);
    };
    for (size_t k = 5000; k < 5003; ++k) set_code(k, 0, 0);
    set_code(6000, 1, 16383);
    set_code(37000, 0, 0);  // alone in the gap, away from the burst's envelope
    set_code(40100, 1, 0);  // far enough from the lone 0 that its envelope window stays silent
    set_code(40101, 1, 0);
    set_code(7000, 1, 0);
    std::ofstream(dir.file("clipped.awv"), std::ios::binary) << bytes;
    const Result c = analyse_file(dir.file("clipped.awv"), {});
    EXPECT_EQ(c.file.clipped_codes.value_or(-1), 7);
    bool reported = false;
    for (const auto& f : c.failures) reported = reported || f == "7 clipped codes";
    EXPECT_TRUE(reported);
}

// A CSV file of several bursts behind leading noise: the first is analysed, all are counted.
TEST(Bursts, OffsetStartLeadingNoiseAndSeveralBursts) {
    TempDir dir("multi");
    WaveParams p = valid_record();
    p.ofdm_symbols = 20;
    p.burst_enable = 1;
    p.burst_off_time = 50e-6;
    const std::string one = dir.file("one.csv");
    ASSERT_EQ(orv_11a_actual(&p, 1, one.c_str()), 0);
    const std::string burst = read_file(one);
    std::ofstream out(dir.file("multi.csv"), std::ios::binary);
    uint32_t s = 12345;
    auto noise = [&] {
        s = s * 1103515245u + 12345u;
        return ((s >> 8) % 2001 - 1000.0) * 1e-8;
    };
    const int lead = 777;
    for (int i = 0; i < lead; ++i) out << noise() << "," << noise() << "\n";
    out << burst << burst << burst;
    for (int i = 0; i < 500; ++i) out << noise() << "," << noise() << "\n";
    out.close();
    Options opt;
    opt.oversample = 4;
    const Result r = analyse_file(dir.file("multi.csv"), opt);
    EXPECT_EQ(r.burst.count, 3);
    EXPECT_EQ(r.burst.start, lead);
    EXPECT_EQ(r.burst.length, (400 + 80 * 20) * 4);
    EXPECT_EQ(r.payload->bit_errors.value_or(-1), 0);
    EXPECT_LT(r.evm_db.value_or(0), -60.0);
}

TEST(FreeFormat, DataOnlyBurstWithRateGiven) {
    TempDir dir("free");
    WaveParams p = valid_record();
    p.frame_format = 1;
    p.rate_index = 3;
    p.data_pattern = 4;
    p.pn_seed = 0x1ACE;
    Options opt;
    opt.free_format = true;
    opt.rate_mbps = 18;
    opt.oversample = 4;
    const Result r = generate_and_analyse(p, 1, dir, opt);
    EXPECT_FALSE(r.signal.has_value());
    EXPECT_EQ(r.data_symbols_demodulated, 100);
    ASSERT_TRUE(r.payload);
    EXPECT_EQ(r.payload->pattern, "PN23");
    EXPECT_EQ(r.payload->seed.value_or(0), 0x1ACEu);
    EXPECT_EQ(r.payload->bit_errors.value_or(-1), 0);
    EXPECT_LT(r.evm_db.value_or(0), -90.0);
}

TEST(Payload, ExpectedPatternCountsErrors) {
    TempDir dir("expect");
    WaveParams p = valid_record();
    p.data_pattern = 4;
    p.pn_seed = 0x1ACE;
    Options right;
    right.expected_pattern = "PN23";
    right.expected_seed = 0x1ACE;
    const Result ok = generate_and_analyse(p, 1, dir, right);
    EXPECT_TRUE(ok.payload->expected);
    EXPECT_EQ(ok.payload->bit_errors.value_or(-1), 0);
    Options wrong = right;
    wrong.expected_seed = 0x1ACF;
    const Result bad = generate_and_analyse(p, 1, dir, wrong);
    EXPECT_GT(bad.payload->bit_errors.value_or(0), 1000);
    EXPECT_FALSE(bad.pass());
}

// The receiver's own tables against the independent reference pieces of the synthesis tests.
TEST(Tables, PilotPolarityAndPatternsMatchTheReference) {
    for (int n = 0; n < 254; ++n) EXPECT_EQ(orv::analysis::pilot_polarity(n), ref::pilot_polarity()[n % 127]) << n;
    for (int pat = 0; pat < 7; ++pat) {
        const auto* info = orv::analysis::pattern_by_name(kPatternNames[pat]);
        ASSERT_NE(info, nullptr);
        const uint32_t seed = 0x3A5C7Bu;
        const auto mine = orv::analysis::pattern_bits(*info, seed, 3000);
        const auto theirs = ref::pn_sequence(pat, seed, 3000);
        for (size_t i = 0; i < mine.size(); ++i) ASSERT_EQ(mine[i], theirs[i]) << kPatternNames[pat] << " bit " << i;
    }
    for (int j = 0; j < 288; ++j)
        EXPECT_EQ(orv::analysis::interleave_position(ref::deinterleave_index(j, 288, 6), 288, 6), j);
}

TEST(Limits, EvmLimitPerRate) {
    const double expected[8] = {-5, -8, -10, -13, -16, -19, -22, -25};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(orv::analysis::evm_limit_db(kMbps[i]).value_or(0), expected[i]);
    EXPECT_FALSE(orv::analysis::evm_limit_db(11).has_value());
}

}  // namespace
