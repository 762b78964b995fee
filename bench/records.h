// Records the benchmarks share.
#pragma once
#include "orvasynth.h"

// The front-end's default record: 36 Mbit/s, 100 symbols, oversampling 8, 160 us gap.
inline WaveParams default_record() {
    WaveParams p{};
    p.burst_off_time = 160 * 1e-6;
    p.filter_rolloff = 0.25;
    p.burst_enable = 1;
    p.rate_index = 5;
    p.ofdm_symbols = 100;
    p.pn_seed = 0xFFFF;
    p.oversampling = 8;
    p.filter_taps = 191;
    return p;
}

// The largest burst: 54 Mbit/s, 151 symbols, oversampling 10, no gap.
inline WaveParams largest_burst() {
    WaveParams p = default_record();
    p.burst_enable = 0;
    p.rate_index = 7;
    p.ofdm_symbols = 151;
    p.oversampling = 10;
    return p;
}
