// The program's default record, for tests that write waveform files.
#pragma once
#include <cstdint>

#include "orvasynth.h"

namespace orv_test {

// 36 Mbit/s, 100 symbols, seed FFFF, 160 us gap, roll-off 0.25, 191 taps;
// oversampling 1 to 10.
inline WaveParams default_record(int32_t oversampling = 8) {
    WaveParams p{};
    p.burst_off_time = 160e-6;
    p.filter_rolloff = 0.25;
    p.burst_enable = 1;
    p.rate_index = 5;
    p.ofdm_symbols = 100;
    p.pn_seed = 0xFFFF;
    p.oversampling = oversampling;
    p.filter_taps = 191;
    return p;
}

}  // namespace orv_test
