// Whole-call timings of orv_11a_actual on representative records.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "orvasynth.h"

namespace {

std::string bench_path(const char* name) { return std::string("/tmp/orv_bench_") + name; }

// The front-end's default record: 36 Mbit/s, 100 symbols, oversampling 8, 160 us gap.
WaveParams default_record() {
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
WaveParams largest_burst() {
    WaveParams p = default_record();
    p.burst_enable = 0;
    p.rate_index = 7;
    p.ofdm_symbols = 151;
    p.oversampling = 10;
    return p;
}

void run(benchmark::State& state, WaveParams p, int32_t mode, const char* name) {
    const std::string path = bench_path(name);
    for (auto _ : state) {
        int32_t rc = orv_11a_actual(&p, mode, path.c_str());
        if (rc != 0) state.SkipWithError("orv_11a_actual failed");
    }
    std::remove(path.c_str());
}

void BM_DefaultBurstAwg(benchmark::State& s) { run(s, default_record(), 0, "default.awv"); }
void BM_LargestBurstAwg(benchmark::State& s) { run(s, largest_burst(), 0, "largest.awv"); }
void BM_LargestBurstCsv(benchmark::State& s) { run(s, largest_burst(), 1, "largest.csv"); }

}  // namespace

BENCHMARK(BM_DefaultBurstAwg)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargestBurstAwg)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargestBurstCsv)->Unit(benchmark::kMillisecond);
