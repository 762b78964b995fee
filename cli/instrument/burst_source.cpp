#include "burst_source.h"

#include <memory>

#include "noise.h"
#include "pipeline.h"

namespace orv::instrument {

namespace {

// The library's taker: nothing may escape it as an exception.
bool take(void* context, int64_t start, int32_t n, const double* i, const double* q) {
    (void)start;
    try {
        return (*static_cast<const BlockSink*>(context))(n, i, q);
    } catch (...) {
        return false;
    }
}

}  // namespace

int32_t burst_source(const WaveParams& rec, SampleSource& src, std::string& error) {
    BurstGeometry g{};
    if (burst_geometry(rec.frame_format, rec.burst_enable, rec.burst_off_time, rec.window_tr, rec.ofdm_symbols,
                       rec.oversampling, &g) != 0 ||
        g.total <= 0) {
        error = "the record's length does not fit a waveform file";
        return 1;
    }
    src.count = g.total;
    src.fs = g.fs;
    src.on_air.clear();
    if (g.burst > 0) src.on_air.push_back({0, g.burst});
    // The record is validated by the library on each run. The noise
    // generator's table carries on from call to call in the process: every
    // run starts from where it stood before the first, so each hands over
    // the same noise, and the table ends where one call leaves it.
    struct NoiseStart {
        bool saved = false;
        int32_t table[kNoiseTableSize + 1];
    };
    auto start = std::make_shared<NoiseStart>();
    src.run = [rec, start](const BlockSink& sink) -> int32_t {
        if (start->saved)
            noise_table_restore(start->table);
        else
            noise_table_copy(start->table);
        start->saved = true;
        WaveParams p = rec;
        ConditionedSamples cs{};
        const int32_t r = orv_11a_conditioned_blocks(&p, &cs, take, const_cast<BlockSink*>(&sink));
        return r == ORV_LENGTH_OVERFLOW ? 0 : r;
    };
    return 0;
}

}  // namespace orv::instrument
