// The R&S WV and Keysight files against the AWG file of the same record:
// the default burst, and the largest record (2e8 samples: oversampling 10 and
// a 1 s gap with noise), each written whole; the largest also as a source
// that announces no peak is written (measured in a first run, written in a
// second). The largest ones count the CPU time of every thread (the noise
// and the writers use a second one).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "burst_source.h"
#include "instrument.h"
#include "orvasynth.h"
#include "records.h"

namespace {

// 1 s at 200 MHz: the burst and a noisy gap, 2e8 samples.
WaveParams largest_record() {
    WaveParams p = default_record();
    p.oversampling = 10;
    p.burst_off_time = 1.0 - 8400 * 10 / 200e6;
    p.noise_enable = 1;
    p.noise_level = -40;
    return p;
}

const std::string kDir = "/tmp/orv_bench_instrument";

void awg(benchmark::State& state, WaveParams p) {
    const std::string path = kDir + ".awv";
    for (auto _ : state)
        if (orv_11a_actual(&p, 0, path.c_str()) != 0) state.SkipWithError("orv_11a_actual failed");
    state.counters["samples"] = static_cast<double>(p.oversampling) * 20e6 * (p.burst_off_time) + 8400.0 * p.oversampling;
    std::remove(path.c_str());
}

void wv(benchmark::State& state, WaveParams p, bool two_runs = false) {
    orv::instrument::SampleSource src;
    std::string error;
    if (orv::instrument::burst_source(p, src, error) != 0) {
        state.SkipWithError(error.c_str());
        return;
    }
    if (two_runs) src.run_announced = nullptr;
    const std::string path = kDir + ".wv";
    orv::instrument::Result res;
    for (auto _ : state)
        if (orv::instrument::write_wv(path, src, {}, res, error) != 0) state.SkipWithError(error.c_str());
    state.counters["samples"] = static_cast<double>(src.count);
    std::remove(path.c_str());
}

void keysight(benchmark::State& state, WaveParams p, bool two_runs = false) {
    orv::instrument::SampleSource src;
    std::string error;
    if (orv::instrument::burst_source(p, src, error) != 0) {
        state.SkipWithError(error.c_str());
        return;
    }
    if (two_runs) src.run_announced = nullptr;
    const std::string path = kDir + ".bin";
    orv::instrument::Result res;
    for (auto _ : state)
        if (orv::instrument::write_keysight(path, src, {}, res, error) != 0) state.SkipWithError(error.c_str());
    state.counters["samples"] = static_cast<double>(src.count);
    std::remove(path.c_str());
    std::remove(orv::instrument::marker_path(path).c_str());
}

void BM_DefaultAwg(benchmark::State& s) { awg(s, default_record()); }
void BM_DefaultWv(benchmark::State& s) { wv(s, default_record()); }
void BM_DefaultKeysight(benchmark::State& s) { keysight(s, default_record()); }
void BM_LargestAwg(benchmark::State& s) { awg(s, largest_record()); }
void BM_LargestWv(benchmark::State& s) { wv(s, largest_record()); }
void BM_LargestKeysight(benchmark::State& s) { keysight(s, largest_record()); }
void BM_LargestWvTwoRuns(benchmark::State& s) { wv(s, largest_record(), true); }
void BM_LargestKeysightTwoRuns(benchmark::State& s) { keysight(s, largest_record(), true); }

}  // namespace

BENCHMARK(BM_DefaultAwg)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DefaultWv)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DefaultKeysight)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargestAwg)->Unit(benchmark::kMillisecond)->Iterations(1)->MeasureProcessCPUTime();
BENCHMARK(BM_LargestWv)->Unit(benchmark::kMillisecond)->Iterations(1)->MeasureProcessCPUTime();
BENCHMARK(BM_LargestKeysight)->Unit(benchmark::kMillisecond)->Iterations(1)->MeasureProcessCPUTime();
BENCHMARK(BM_LargestWvTwoRuns)->Unit(benchmark::kMillisecond)->Iterations(1)->MeasureProcessCPUTime();
BENCHMARK(BM_LargestKeysightTwoRuns)->Unit(benchmark::kMillisecond)->Iterations(1)->MeasureProcessCPUTime();
