#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "support/records.h"
#include "validate.h"
#include "support/readable_params.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

struct ValidationCase {
    const char* name;
    std::function<void(WaveParams&)> change;
    int32_t output_mode;
    uint32_t expected;
};

// Filtered DATA-only record of 1 symbol at oversampling 1: T = 80, so at most 161 taps.
void short_filtered(WaveParams& p, int32_t taps) {
    p.frame_format = 1;
    p.ofdm_symbols = 1;
    p.oversampling = 1;
    p.filter_cutoff = 5e6;
    p.filter_taps = taps;
}

void PrintTo(const ValidationCase& c, std::ostream* os) { *os << c.name; }

class Validation : public ::testing::TestWithParam<ValidationCase> {};

TEST_P(Validation, ReportsExactlyTheFieldsAtFault) {
    const ValidationCase& c = GetParam();
    WaveParams p = valid_record();
    c.change(p);
    EXPECT_EQ(static_cast<uint32_t>(validate_params(&p, c.output_mode)), c.expected) << c.name;
}

const ValidationCase kCases[] = {
    {"reference record", [](WaveParams&) {}, 0, 0},
    {"CSV output mode", [](WaveParams&) {}, 1, 0},
    {"output mode 2", [](WaveParams&) {}, 2, 0x82000000},
    {"output mode -1", [](WaveParams&) {}, -1, 0x82000000},
    {"frame format 2", [](WaveParams& p) { p.frame_format = 2; }, 0, 0x80000001},
    {"frame format 1", [](WaveParams& p) { p.frame_format = 1; }, 0, 0},
    {"burst enable 2", [](WaveParams& p) { p.burst_enable = 2; }, 0, 0x80000002},
    {"burst off 1.5 s", [](WaveParams& p) { p.burst_off_time = 1.5; }, 0, 0x80000004},
    {"burst off 1.0 s", [](WaveParams& p) { p.burst_off_time = 1.0; }, 0, 0},
    {"burst off negative", [](WaveParams& p) { p.burst_off_time = -1e-6; }, 0, 0x80000004},
    {"burst off NaN", [](WaveParams& p) { p.burst_off_time = kNaN; }, 0, 0x80000004},
    {"burst off -inf", [](WaveParams& p) { p.burst_off_time = -kInf; }, 0, 0x80000004},
    {"rate 8", [](WaveParams& p) { p.rate_index = 8; }, 0, 0x80000008},
    {"rate -1", [](WaveParams& p) { p.rate_index = -1; }, 0, 0x80000008},
    {"151 symbols", [](WaveParams& p) { p.ofdm_symbols = 151; }, 0, 0},
    {"152 symbols", [](WaveParams& p) { p.ofdm_symbols = 152; }, 0, 0x80000010},
    {"0 symbols", [](WaveParams& p) { p.ofdm_symbols = 0; }, 0, 0},
    {"-1 symbols", [](WaveParams& p) { p.ofdm_symbols = -1; }, 0, 0x80000010},
    {"seed 0", [](WaveParams& p) { p.pn_seed = 0; }, 0, 0x80000020},
    {"seed 0 with ALL 0", [](WaveParams& p) { p.pn_seed = 0; p.data_pattern = 5; }, 0, 0x80000020},
    {"seed 0 with ALL 1", [](WaveParams& p) { p.pn_seed = 0; p.data_pattern = 6; }, 0, 0x80000020},
    {"seed 0x200", [](WaveParams& p) { p.pn_seed = 0x200; }, 0, 0},
    {"pattern 7", [](WaveParams& p) { p.data_pattern = 7; }, 0, 0x80000040},
    {"pattern -1", [](WaveParams& p) { p.data_pattern = -1; }, 0, 0x80000040},
    {"oversampling 11", [](WaveParams& p) { p.oversampling = 11; }, 0, 0x80000080},
    {"oversampling 0", [](WaveParams& p) { p.oversampling = 0; }, 0, 0x80000080},
    {"oversampling 1", [](WaveParams& p) { p.oversampling = 1; }, 0, 0},
    {"window 2 us", [](WaveParams& p) { p.window_tr = 2e-6; }, 0, 0},
    {"window above 2 us", [](WaveParams& p) { p.window_tr = 2.0000001e-6; }, 0, 0x80000100},
    {"window NaN", [](WaveParams& p) { p.window_tr = kNaN; }, 0, 0x80000100},
    {"window -inf", [](WaveParams& p) { p.window_tr = -kInf; }, 0, 0},
    {"window +inf", [](WaveParams& p) { p.window_tr = kInf; }, 0, 0x80000100},
    // The window sets the taper length only, never T: the taps still meet 2T + 1.
    {"window above 2 us, taps above 2T + 1",
     [](WaveParams& p) { short_filtered(p, 162); p.window_tr = 3e-6; }, 0, 0x80001100},
    {"window NaN, taps above 2T + 1",
     [](WaveParams& p) { short_filtered(p, 162); p.window_tr = kNaN; }, 0, 0x80001100},
    {"window +inf, taps above 2T + 1",
     [](WaveParams& p) { short_filtered(p, 162); p.window_tr = kInf; }, 0, 0x80001100},
    {"window above 2 us, taps within 2T + 1",
     [](WaveParams& p) { short_filtered(p, 161); p.window_tr = 3e-6; }, 0, 0x80000100},
    {"window -inf, taps above 2T + 1",
     [](WaveParams& p) { short_filtered(p, 162); p.window_tr = -kInf; }, 0, 0x80001000},
    {"cut-off -inf", [](WaveParams& p) { p.filter_cutoff = -kInf; }, 0, 0},
    {"cut-off above 100 MHz", [](WaveParams& p) { p.filter_cutoff = 1.0000001e8; }, 0, 0x80000200},
    {"cut-off NaN", [](WaveParams& p) { p.filter_cutoff = kNaN; }, 0, 0x80000200},
    {"roll-off 0.0 filter off", [](WaveParams& p) { p.filter_rolloff = 0.0; }, 0, 0},
    {"roll-off 1.0 filter off", [](WaveParams& p) { p.filter_rolloff = 1.0; }, 0, 0},
    {"roll-off -0.1", [](WaveParams& p) { p.filter_rolloff = -0.1; }, 0, 0x80000400},
    {"roll-off NaN", [](WaveParams& p) { p.filter_rolloff = kNaN; }, 0, 0x80000400},
    {"reserved 1", [](WaveParams& p) { p.reserved = 1; }, 0, 0x80000800},
    {"taps 1001", [](WaveParams& p) { p.filter_taps = 1001; }, 0, 0x80001000},
    {"taps 0", [](WaveParams& p) { p.filter_taps = 0; }, 0, 0x80001000},
    {"taps 1 filter off", [](WaveParams& p) { p.filter_taps = 1; }, 0, 0},
    {"iq inverse 2", [](WaveParams& p) { p.iq_inverse = 2; }, 0, 0x80002000},
    {"freq error 30 MHz at os 4",
     [](WaveParams& p) { p.freq_error_enable = 1; p.freq_error = 3e7; }, 0, 0},
    {"freq error above limit",
     [](WaveParams& p) { p.freq_error_enable = 1; p.freq_error = 3.0000001e7; }, 0, 0x80008000},
    {"freq error very negative",
     [](WaveParams& p) { p.freq_error_enable = 1; p.freq_error = -1e12; }, 0, 0},
    {"freq error -inf", [](WaveParams& p) { p.freq_error_enable = 1; p.freq_error = -kInf; }, 0,
     0x80008000},
    {"freq error NaN", [](WaveParams& p) { p.freq_error_enable = 1; p.freq_error = kNaN; }, 0,
     0x80008000},
    {"freq error ignored when off", [](WaveParams& p) { p.freq_error = 1e12; }, 0, 0},
    {"freq error switch 2",
     [](WaveParams& p) { p.freq_error_enable = 2; p.freq_error = 1e12; }, 0, 0x80004000},
    {"IF switch 2", [](WaveParams& p) { p.if_enable = 2; }, 0, 0x80010000},
    {"IF above limit", [](WaveParams& p) { p.if_enable = 1; p.if_freq = 3.1e7; }, 0, 0x80020000},
    {"IF -inf", [](WaveParams& p) { p.if_enable = 1; p.if_freq = -kInf; }, 0, 0x80020000},
    {"IF negative", [](WaveParams& p) { p.if_enable = 1; p.if_freq = -21.4e6; }, 0, 0},
    {"DC offsets 150 / -150",
     [](WaveParams& p) { p.dc_offset_re = 150; p.dc_offset_im = -150; }, 0, 0x800C0000},
    {"DC offsets at bounds",
     [](WaveParams& p) { p.dc_offset_re = 100; p.dc_offset_im = -100; }, 0, 0},
    {"DC offset NaN", [](WaveParams& p) { p.dc_offset_re = kNaN; }, 0, 0x80040000},
    {"noise switch 2", [](WaveParams& p) { p.noise_enable = 2; p.noise_level = 99; }, 0, 0x80100000},
    {"noise 10 dB", [](WaveParams& p) { p.noise_enable = 1; p.noise_level = 10; }, 0, 0},
    {"noise 10.5 dB", [](WaveParams& p) { p.noise_enable = 1; p.noise_level = 10.5; }, 0, 0x80200000},
    {"noise -100.5 dB", [](WaveParams& p) { p.noise_enable = 1; p.noise_level = -100.5; }, 0,
     0x80200000},
    {"noise level ignored when off", [](WaveParams& p) { p.noise_level = kNaN; }, 0, 0},
    {"sine switch 2", [](WaveParams& p) { p.sine_enable = 2; }, 0, 0x80400000},
    {"sine above limit", [](WaveParams& p) { p.sine_enable = 1; p.sine_freq = 3.1e7; }, 0,
     0x80800000},
    {"sine -inf frequency", [](WaveParams& p) { p.sine_enable = 1; p.sine_freq = -kInf; }, 0,
     0x80800000},
    {"sine level 11 dB", [](WaveParams& p) { p.sine_enable = 1; p.sine_level = 11; }, 0, 0x81000000},
    {"sine both bad",
     [](WaveParams& p) { p.sine_enable = 1; p.sine_freq = 1e9; p.sine_level = kNaN; }, 0,
     0x81800000},
    {"every check runs",
     [](WaveParams& p) {
         p.frame_format = 5;
         p.ofdm_symbols = 200;
         p.reserved = 3;
     },
     7, 0x82000811},
};

INSTANTIATE_TEST_SUITE_P(Fields, Validation, ::testing::ValuesIn(kCases), orv_test::PrintedName());

}  // namespace
