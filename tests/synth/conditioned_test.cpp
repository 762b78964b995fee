// The internal entry that hands back the conditioned samples: they are the
// values the CSV writer gets in output mode 1, bit for bit, and the figures
// are those of the AWG file.
#include <gtest/gtest.h>

#include <string>

#include "orvasynth.h"
#include "pipeline.h"
#include "support/records.h"
#include "writers.h"

namespace {

struct Case {
    const char* name;
    void (*change)(WaveParams&);
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class Conditioned : public ::testing::TestWithParam<Case> {};

TEST_P(Conditioned, SamplesAreTheCsvWritersAndFiguresTheAwgFiles) {
    TempDir dir("conditioned");
    WaveParams p = valid_record();
    p.ofdm_symbols = 6;
    GetParam().change(p);
    WaveParams csv = p, awg = p;
    ASSERT_EQ(orv_11a_actual(&csv, 1, dir.file("a.csv").c_str()), 0);
    ASSERT_EQ(orv_11a_actual(&awg, 0, dir.file("a.awv").c_str()), 0);
    ConditionedSamples c;
    ASSERT_EQ(orv_11a_conditioned(&p, &c), 0);
    ASSERT_EQ(write_csv_file(dir.file("b.csv").c_str(), c.i, c.q, c.geometry.total), 0);
    EXPECT_EQ(read_file(dir.file("b.csv")), read_file(dir.file("a.csv")));
    EXPECT_EQ(c.papr, awg.papr);
    EXPECT_EQ(c.crest_i, awg.crest_i);
    EXPECT_EQ(c.crest_q, awg.crest_q);
    EXPECT_EQ(p.papr, awg.papr);
    EXPECT_GT(c.peak, 0.0);
    free_conditioned(&c);
    EXPECT_EQ(c.i, nullptr);
    EXPECT_EQ(c.q, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Records, Conditioned,
    ::testing::Values(
        Case{"plain", [](WaveParams&) {}},
        Case{"filter_and_freq_error",
             [](WaveParams& p) {
                 p.filter_cutoff = 9e6;
                 p.filter_rolloff = 0.3;
                 p.freq_error_enable = 1;
                 p.freq_error = 50e3;
                 p.oversampling = 7;
             }},
        Case{"free_if_gap_iq_inverse",
             [](WaveParams& p) {
                 p.frame_format = 1;
                 p.if_enable = 1;
                 p.if_freq = 20e6;
                 p.burst_enable = 1;
                 p.burst_off_time = 10e-6;
                 p.iq_inverse = 1;
             }},
        Case{"dc_and_sine",
             [](WaveParams& p) {
                 p.dc_offset_re = 2;
                 p.dc_offset_im = -1;
                 p.sine_enable = 1;
                 p.sine_freq = 3e6;
                 p.sine_level = -20;
             }}),
    [](const auto& info) { return std::string(info.param.name); });

// A refused record and a null record: nothing handed back, the mask returned.
TEST(Conditioned, RefusalsHandBackNothing) {
    WaveParams p = valid_record();
    p.oversampling = 0;
    ConditionedSamples c;
    EXPECT_EQ(static_cast<uint32_t>(orv_11a_conditioned(&p, &c)), ORV_INVALID | ORV_BAD_OVERSAMPLING);
    EXPECT_EQ(c.i, nullptr);
    EXPECT_EQ(static_cast<uint32_t>(orv_11a_conditioned(nullptr, &c)), ORV_INVALID);
    EXPECT_EQ(c.q, nullptr);
}

}  // namespace
