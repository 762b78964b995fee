// Records and file helpers shared by the library tests.
#pragma once
#include "files.h"
#include "orvasynth.h"

// The reference record that validation accepts: 6 Mbit/s, 100 symbols, PN9,
// seed FFFF, oversampling 4, no window, no filter, all impairments off.
inline WaveParams valid_record() {
    WaveParams p{};
    p.frame_format = 0;
    p.burst_enable = 0;
    p.rate_index = 0;
    p.ofdm_symbols = 100;
    p.data_pattern = 0;
    p.pn_seed = 0xFFFF;
    p.oversampling = 4;
    p.window_tr = 0.0;
    p.filter_cutoff = 0.0;
    p.filter_rolloff = 0.5;
    p.filter_taps = 191;
    return p;
}

// The library tests' names for the shared temporary folder and file reader.
using orv_test::TempDir;
using orv_test::read_file;
