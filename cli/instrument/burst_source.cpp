#include "burst_source.h"

#include <algorithm>
#include <memory>

#include "burst_impaired.h"
#include "noise.h"
#include "pipeline.h"

namespace orv::instrument {

namespace {

// Where the library's blocks go: the sink, after the announcement (with the
// call's measurements) at the first block.
struct Taker {
    const BlockSink* sink;
    const AnnounceSink* announce;
    const ConditionedSamples* measured;
};

// The library's taker: nothing may escape it as an exception.
bool take(void* context, int64_t start, int32_t n, const double* i, const double* q) {
    const Taker& t = *static_cast<const Taker*>(context);
    try {
        if (start == 0 && *t.announce) (*t.announce)({t.measured->held_power_peak, t.measured->held});
        return (*t.sink)(n, i, q);
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
    src.run_announced = [rec, start](const AnnounceSink& announce, const BlockSink& sink) -> int32_t {
        if (start->saved)
            noise_table_restore(start->table);
        else
            noise_table_copy(start->table);
        start->saved = true;
        WaveParams p = rec;
        ConditionedSamples cs{};
        Taker t{&sink, &announce, &cs};
        const int32_t r = orv_11a_conditioned_blocks(&p, &cs, take, &t);
        return r == ORV_LENGTH_OVERFLOW ? 0 : r;
    };
    src.run = [announced = src.run_announced](const BlockSink& sink) { return announced(AnnounceSink{}, sink); };
    return 0;
}

int32_t impaired_burst_source(const WaveParams& rec, const OrvImpairments& imp, SampleSource& src,
                              uint32_t* refused) {
    auto kept = std::shared_ptr<ConditionedSamples>(new ConditionedSamples{}, [](ConditionedSamples* c) {
        free_conditioned(c);
        delete c;
    });
    WaveParams p = rec;
    const int32_t r = orv_11a_burst_impaired(&p, &imp, CallOutput{1, nullptr, kept.get(), nullptr, nullptr}, refused);
    if (r != ORV_OK && r != ORV_LENGTH_OVERFLOW) return r;
    const BurstGeometry& g = kept->geometry;
    src.count = g.total;
    src.fs = g.fs;
    src.on_air.clear();
    if (g.burst > 0) src.on_air.push_back({0, g.burst});
    double peak = 0;
    for (int64_t k = 0; k < g.total; ++k)
        peak = std::max(peak, kept->i[k] * kept->i[k] + kept->q[k] * kept->q[k]);
    src.run_announced = [kept, peak](const AnnounceSink& announce, const BlockSink& sink) -> int32_t {
        const int64_t total = kept->geometry.total;
        if (announce) announce({peak, total});
        constexpr int64_t kBlock = int64_t{1} << 16;
        for (int64_t at = 0; at < total; at += kBlock) {
            const auto n = static_cast<int32_t>(std::min(kBlock, total - at));
            if (!sink(n, kept->i + at, kept->q + at)) return ORV_STOPPED;
        }
        return 0;
    };
    src.run = [announced = src.run_announced](const BlockSink& sink) { return announced(AnnounceSink{}, sink); };
    return 0;
}

}  // namespace orv::instrument
