// The golden records: together they switch on every stage of the library,
// both frame formats and both output modes, oversampling 1 to 10, odd and
// even filter lengths, zero and one DATA symbols, gap noise above the burst
// peak and one record whose arrays exceed 16 MiB. They run in this order in
// one fresh process: the noise stage continues one process-wide shuffle, so
// every noisy file depends on the noisy records before it.
#pragma once
#include <cstdint>

#include "orvasynth.h"

namespace golden {

struct Record {
    const char* name;  // file stem, unique
    int32_t mode;      // 0 AWG, 1 CSV
    WaveParams p;
};

// The front-end's default burst: 36 Mbit/s, 100 symbols, oversampling 8, 160 us gap.
inline WaveParams default_burst() {
    WaveParams p{};
    p.burst_off_time = 160 * 1e-6;
    p.filter_cutoff = 0.0;
    p.filter_rolloff = 0.25;
    p.frame_format = 0;
    p.burst_enable = 1;
    p.rate_index = 5;
    p.ofdm_symbols = 100;
    p.pn_seed = 0xFFFF;
    p.data_pattern = 0;
    p.oversampling = 8;
    p.filter_taps = 191;
    return p;
}

// A small full-format burst: rate index r, s symbols, oversampling os, pattern d.
inline WaveParams burst(int32_t r, int32_t s, int32_t os, int32_t d, int32_t seed = 0x1ACE) {
    WaveParams p{};
    p.filter_rolloff = 0.25;
    p.rate_index = r;
    p.ofdm_symbols = s;
    p.pn_seed = seed;
    p.data_pattern = d;
    p.oversampling = os;
    p.filter_taps = 191;
    return p;
}

// Modifiers applied to a copy, so each table row reads as one sentence.
inline WaveParams data_only(WaveParams p) { p.frame_format = 1; return p; }
inline WaveParams gap(WaveParams p, double seconds) {
    p.burst_enable = 1;
    p.burst_off_time = seconds;
    return p;
}
inline WaveParams window(WaveParams p, double seconds) { p.window_tr = seconds; return p; }
inline WaveParams filter(WaveParams p, double cutoff, double rolloff, int32_t taps) {
    p.filter_cutoff = cutoff;
    p.filter_rolloff = rolloff;
    p.filter_taps = taps;
    return p;
}
inline WaveParams iq_inverse(WaveParams p) { p.iq_inverse = 1; return p; }
inline WaveParams freq_error(WaveParams p, double hz) {
    p.freq_error_enable = 1;
    p.freq_error = hz;
    return p;
}
inline WaveParams if_conversion(WaveParams p, double hz) {
    p.if_enable = 1;
    p.if_freq = hz;
    return p;
}
inline WaveParams dc_offset(WaveParams p, double re, double im) {
    p.dc_offset_re = re;
    p.dc_offset_im = im;
    return p;
}
inline WaveParams noise(WaveParams p, double db) {
    p.noise_enable = 1;
    p.noise_level = db;
    return p;
}
inline WaveParams sine(WaveParams p, double hz, double db) {
    p.sine_enable = 1;
    p.sine_freq = hz;
    p.sine_level = db;
    return p;
}

enum Pattern : int32_t { PN9, PN15, PN19, PN20, PN23, ALL0, ALL1 };

// Every record with its output mode, in the order the writer runs them.
inline const Record* records(int32_t* count) {
    static const Record table[] = {
        // Oversampling 1 to 10, every rate and pattern, both output modes.
        {"os1_6M_pn9", 0, burst(0, 3, 1, PN9)},
        {"os2_9M_pn15", 1, burst(1, 3, 2, PN15)},
        {"os3_12M_pn19", 0, burst(2, 3, 3, PN19)},
        {"os4_18M_pn20", 1, burst(3, 3, 4, PN20)},
        {"os5_24M_pn23", 0, burst(4, 3, 5, PN23)},
        {"os6_36M_all0", 1, burst(5, 3, 6, ALL0)},
        {"os7_48M_all1", 0, burst(6, 3, 7, ALL1)},
        {"os8_54M_pn9", 1, burst(7, 3, 8, PN9)},
        {"os9_36M_pn15", 0, burst(5, 2, 9, PN15)},
        {"os10_54M_pn23", 1, burst(7, 2, 10, PN23)},
        {"os10_6M_pn19", 0, burst(0, 2, 10, PN19)},
        // Frame formats and symbol counts.
        {"data_only_awg", 0, data_only(burst(4, 5, 4, PN15))},
        {"data_only_csv", 1, data_only(burst(4, 5, 4, PN15))},
        {"zero_symbols_awg", 0, burst(2, 0, 4, PN9)},
        {"zero_symbols_csv", 1, burst(2, 0, 3, PN9)},
        {"empty_burst_awg", 0, data_only(burst(2, 0, 4, PN9))},
        {"empty_burst_csv", 1, data_only(burst(2, 0, 4, PN9))},
        {"empty_burst_gap_awg", 0, gap(data_only(burst(2, 0, 2, PN9)), 1e-6)},
        {"one_symbol_awg", 0, burst(6, 1, 2, PN20)},
        {"one_symbol_data_only_csv", 1, data_only(burst(3, 1, 5, PN23))},
        {"max_symbols_54M", 0, burst(7, 151, 1, PN23)},
        {"max_symbols_6M_csv", 1, burst(0, 151, 1, PN9, 0x1FF)},
        // Seeds: all ones, only high bits (a constant PN9 payload), negative.
        {"seed_pn15_7fff", 0, burst(3, 4, 2, PN15, 0x7FFF)},
        {"seed_pn23_7fffff", 1, burst(5, 4, 2, PN23, 0x7FFFFF)},
        {"seed_pn9_low_bits_zero", 0, burst(1, 4, 2, PN9, 0x200)},
        {"seed_negative_pn20", 0, burst(4, 4, 2, PN20, -1)},
        // Edge taper.
        {"window_100ns_os4", 0, window(burst(5, 4, 4, PN9), 1e-7)},
        {"window_2us_os10_csv", 1, window(burst(2, 3, 10, PN15), 2e-6)},
        {"window_50ns_os1_csv", 1, window(burst(1, 3, 1, PN19), 5e-8)},
        {"window_data_only_os3", 0, window(data_only(burst(6, 3, 3, PN20)), 3e-7)},
        // Transmit filter: odd and even lengths, the roll-off and length limits.
        {"filter_191_odd_os4", 0, filter(burst(5, 4, 4, PN9), 10e6, 0.25, 191)},
        {"filter_190_even_os4_csv", 1, filter(burst(5, 4, 4, PN9), 10e6, 0.25, 190)},
        {"filter_4_taps_os2", 0, filter(burst(2, 3, 2, PN15), 10e6, 0.5, 4)},
        {"filter_1000_taps_os8_gap", 0, filter(gap(burst(7, 4, 8, PN23), 2e-5), 10e6, 0.3, 1000)},
        {"filter_rolloff_001_os8_csv", 1, filter(burst(4, 3, 8, PN19), 9e6, 0.01, 257)},
        {"filter_rolloff_099_os10", 0, filter(burst(3, 3, 10, PN20), 8.5e6, 0.99, 311)},
        {"filter_os1_cutoff_10M", 1, filter(burst(0, 3, 1, PN9), 10e6, 0.5, 31)},
        {"filter_os5_cutoff_8M_101", 0, filter(burst(6, 3, 5, ALL1), 8e6, 0.15, 101)},
        {"filter_window_os8", 0, filter(window(burst(5, 3, 8, PN15), 1e-7), 10e6, 0.25, 192)},
        {"filter_data_only_os6_csv", 1, filter(data_only(burst(1, 4, 6, PN9)), 10e6, 0.4, 63)},
        // IQ exchange.
        {"iq_inverse_awg", 0, iq_inverse(burst(4, 3, 4, PN9))},
        {"iq_inverse_freq_error_csv", 1, freq_error(iq_inverse(burst(4, 3, 4, PN9)), 2.5e5)},
        // Impairments one by one.
        {"freq_error_100k", 0, freq_error(burst(5, 4, 4, PN9), 1e5)},
        {"freq_error_minus_1M_csv", 1, freq_error(burst(5, 4, 4, PN9), -1e6)},
        {"freq_error_limit_os2", 0, freq_error(burst(2, 3, 2, PN15), 10e6)},
        {"dc_offset_re_10", 0, dc_offset(burst(3, 3, 4, PN20), 10.0, 0.0)},
        {"dc_offset_im_minus_100_csv", 1, dc_offset(burst(3, 3, 4, PN20), 0.0, -100.0)},
        {"dc_offset_both", 0, dc_offset(burst(3, 3, 4, PN20), -3.5, 7.25)},
        {"noise_minus_30", 0, noise(burst(5, 4, 4, PN9), -30.0)},
        {"noise_minus_60_gap_csv", 1, noise(gap(burst(5, 3, 4, PN9), 2e-6), -60.0)},
        {"noise_gap_above_peak", 0, noise(gap(data_only(burst(5, 1, 4, PN9)), 1e-3), 10.0)},
        {"noise_gap_above_peak_csv", 1, noise(gap(burst(5, 3, 2, PN9), 5e-6), 10.0)},
        {"noise_continues_shuffle", 0, noise(burst(5, 4, 4, PN9), -30.0)},
        {"sine_3M_minus_20", 0, sine(burst(2, 3, 4, PN15), 3e6, -20.0)},
        {"sine_negative_freq_csv", 1, sine(burst(2, 3, 4, PN15), -7.5e6, 0.0)},
        {"if_5M", 0, if_conversion(burst(1, 3, 4, PN19), 5e6)},
        {"if_minus_12M_csv", 1, if_conversion(burst(1, 3, 4, PN19), -12e6)},
        {"freq_error_and_if", 0, if_conversion(freq_error(burst(6, 3, 3, PN23), -3e5), 9e6)},
        // Every stage at once.
        {"all_stages_awg", 0,
         if_conversion(sine(noise(dc_offset(freq_error(filter(window(gap(burst(7, 5, 6, PN23), 3e-6),
                                                                      1e-7), 9e6, 0.35, 121),
                                                      4e4), 2.0, -1.5), -40.0), 2e6, -30.0), 15e6)},
        {"all_stages_iq_inverse_csv", 1,
         if_conversion(sine(noise(dc_offset(freq_error(filter(window(iq_inverse(gap(burst(4, 3, 4, PN20), 1e-6)),
                                                                      5e-8), 10e6, 0.2, 96),
                                                      -2e4), -1.0, 0.5), -50.0), -4e6, -25.0), -8e6)},
        // The default burst in both modes.
        {"default_awg", 0, default_burst()},
        {"default_csv", 1, default_burst()},
        // Arrays over 16 MiB (4.4 million samples): the pages are mapped in ahead.
        {"long_gap_noise_os10", 0, noise(gap(burst(5, 20, 10, PN9), 22e-3), -50.0)},
        // Each stage once more with its formula visible in the out fields and the
        // codes (AWG) and in the ten-digit samples (CSV); appended so that the
        // noisy records above keep their place in the shuffle.
        {"window_2us_os1_awg", 0, window(burst(5, 4, 1, PN9), 2e-6)},
        {"window_2us_os2_awg", 0, window(burst(3, 4, 2, PN15), 2e-6)},
        {"window_2us_os2_csv", 1, window(burst(3, 4, 2, PN15), 2e-6)},
        {"window_150ns_os1_awg", 0, window(burst(1, 3, 1, PN19), 1.5e-7)},
        {"window_1us_data_only_os1_awg", 0, window(data_only(burst(6, 3, 1, PN20)), 1e-6)},
        {"window_data_only_os3_csv", 1, window(data_only(burst(6, 3, 3, PN20)), 3e-7)},
        {"filter_gap_os3_csv", 1, filter(gap(burst(2, 3, 3, PN9), 4e-6), 9e6, 0.3, 77)},
        {"filter_os2_rolloff_06", 0, filter(burst(7, 3, 2, PN23), 7e6, 0.6, 45)},
        {"data_only_os1_awg", 0, data_only(burst(0, 4, 1, PN19))},
        {"iq_inverse_csv", 1, iq_inverse(burst(4, 3, 4, PN9))},
        {"iq_inverse_data_only_os2_awg", 0, iq_inverse(data_only(burst(2, 3, 2, PN23)))},
        {"pattern_pn9_csv", 1, burst(5, 2, 2, PN9)},
        {"pattern_pn15_awg", 0, burst(5, 2, 2, PN15)},
        {"pattern_pn19_csv", 1, burst(5, 2, 2, PN19)},
        {"pattern_pn20_awg", 0, burst(5, 2, 2, PN20)},
        {"pattern_pn23_csv", 1, burst(5, 2, 2, PN23)},
        {"pattern_all0_awg", 0, burst(5, 2, 2, ALL0)},
        {"pattern_all1_csv", 1, burst(5, 2, 2, ALL1)},
        {"freq_error_minus_1M_awg", 0, freq_error(burst(5, 4, 4, PN9), -1e6)},
        {"freq_error_os2_csv", 1, freq_error(burst(0, 3, 2, PN15), 3.3e3)},
        {"dc_offset_im_minus_100_awg", 0, dc_offset(burst(3, 3, 4, PN20), 0.0, -100.0)},
        {"dc_offset_both_csv", 1, dc_offset(burst(3, 3, 4, PN20), -3.5, 7.25)},
        {"sine_negative_freq_awg", 0, sine(burst(2, 3, 4, PN15), -7.5e6, 0.0)},
        {"sine_os2_csv", 1, sine(burst(4, 3, 2, PN9), 1.25e6, -12.0)},
        {"if_minus_12M_awg", 0, if_conversion(burst(1, 3, 4, PN19), -12e6)},
        {"if_os2_csv", 1, if_conversion(burst(5, 3, 2, PN23), 4.5e6)},
        {"noise_minus_20_csv", 1, noise(burst(5, 3, 2, PN9), -20.0)},
        {"noise_minus_45_os1_awg", 0, noise(burst(2, 3, 1, PN15), -45.0)},
        {"noise_gap_os2_awg", 0, noise(gap(burst(3, 2, 2, PN19), 3e-6), -35.0)},
    };
    *count = static_cast<int32_t>(sizeof table / sizeof table[0]);
    return table;
}

}  // namespace golden
