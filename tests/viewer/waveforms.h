// Waveform files for the viewer's tests, written through the library.
#pragma once

#include <QString>
#include <QTemporaryDir>

#include "orvasynth.h"
#include "support/default_record.h"

// The window's default record: oversampling 8.
using orv_test::default_record;

// Writes p as an AWG file (mode 0) or CSV file (mode 1); true when written.
inline bool write_waveform(WaveParams p, const QString& path, int mode = 0) {
    return orv_11a_actual(&p, mode, path.toLocal8Bit().constData()) == 0;
}
