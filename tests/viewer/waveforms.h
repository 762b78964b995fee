// Waveform files for the viewer's tests, written through the library.
#pragma once

#include <QString>
#include <QTemporaryDir>

#include "orvasynth.h"

// The window's default record: 36 Mbit/s, 100 symbols, PN9, oversampling 8, 160 us gap.
inline WaveParams default_record() {
    WaveParams p{};
    p.burst_off_time = 160e-6;
    p.filter_rolloff = 0.25;
    p.burst_enable = 1;
    p.rate_index = 5;
    p.ofdm_symbols = 100;
    p.pn_seed = 0xFFFF;
    p.oversampling = 8;
    p.filter_taps = 191;
    return p;
}

// Writes p as an AWG file (mode 0) or CSV file (mode 1); true when written.
inline bool write_waveform(WaveParams p, const QString& path, int mode = 0) {
    return orv_11a_actual(&p, mode, path.toLocal8Bit().constData()) == 0;
}
