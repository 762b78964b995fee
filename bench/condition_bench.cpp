// Timings of the conditioning stages and of the longest records they serve.
//
// BM_Huge* run the largest record validation allows (about 2e8 samples, a
// 6.4 GB working set, a 7 GB CSV file) once each, and only when asked for by
// name:   orv_bench --benchmark_filter=Huge
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "noise.h"
#include "orvasynth.h"
#include "tx_filter.h"

namespace {

// 54 Mbit/s, 151 symbols, oversampling 10, "Nyquist" 1000 taps at 10 MHz,
// roll-off 0.25, 1 ms gap. Goal: under 0.5 s per call.
WaveParams nyquist_record() {
    WaveParams p{};
    p.burst_off_time = 1e-3;
    p.filter_cutoff = 10e6;
    p.filter_rolloff = 0.25;
    p.burst_enable = 1;
    p.rate_index = 7;
    p.ofdm_symbols = 151;
    p.pn_seed = 0xFFFF;
    p.oversampling = 10;
    p.filter_taps = 1000;
    return p;
}

// The same with the longest gap (1.0 s) and Gaussian noise: T = 124800 + 2e8.
// Goal: under 10 s, peak memory within the five per-call arrays plus 10 %.
WaveParams huge_record() {
    WaveParams p = nyquist_record();
    p.burst_off_time = 1.0;
    p.noise_enable = 1;
    p.noise_level = -30.0;
    return p;
}

constexpr double kHugeTotal = 124800.0 + 2e8;

double max_rss_mb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024.0;  // kilobytes on Linux
}

void run_record(benchmark::State& state, WaveParams p, int32_t mode, const std::string& path) {
    for (auto _ : state) {
        const int32_t rc = orv_11a_actual(&p, mode, path.c_str());
        if (rc != 0) state.SkipWithError("orv_11a_actual failed");
    }
    std::remove(path.c_str());
}

void BM_Nyquist54MbpsAwg(benchmark::State& state) {
    run_record(state, nyquist_record(), 0, "/tmp/orv_bench_nyquist.awv");
}

void huge(benchmark::State& state, int32_t mode, const char* path) {
    if (benchmark::GetBenchmarkFilter().find("Huge") == std::string::npos) {
        state.SkipWithError("opt-in only: --benchmark_filter=Huge");
        for (auto _ : state) {
        }
        return;
    }
    run_record(state, huge_record(), mode, path);
    // Five arrays of T elements: three of doubles, two of 32-bit codes.
    const double arrays_mb = kHugeTotal * (3 * 8 + 2 * 4) / (1024.0 * 1024.0);
    state.counters["max_rss_MB"] = max_rss_mb();
    state.counters["arrays_MB"] = arrays_mb;
    state.counters["rss_per_arrays"] = max_rss_mb() / arrays_mb;
}

void BM_HugeAwg(benchmark::State& state) { huge(state, 0, "/tmp/orv_bench_huge.awv"); }
void BM_HugeCsv(benchmark::State& state) { huge(state, 1, "/tmp/orv_bench_huge.csv"); }

// Noise stage alone: nanoseconds per sample pair.
void BM_NoiseStage(benchmark::State& state) {
    const int32_t n = static_cast<int32_t>(state.range(0));
    std::vector<double> i(n, 0.0), q(n, 0.0);
    for (auto _ : state) {
        add_gaussian_noise(n, -30.0, i.data(), q.data());
        benchmark::DoNotOptimize(i.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
}

// Filter stage over a burst followed by a long silent gap (the gap costs a scan only).
void BM_FilterBurstAndGap(benchmark::State& state) {
    const int32_t burst = 124800, n = burst + static_cast<int32_t>(state.range(0));
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> i0(n, 0.0), q0(n, 0.0), i(n), q(n), work(n);
    for (int32_t k = 0; k < burst; ++k) {
        i0[k] = u(rng);
        q0[k] = u(rng);
    }
    for (auto _ : state) {
        state.PauseTiming();
        i = i0;
        q = q0;
        state.ResumeTiming();
        apply_tx_filter(n, i.data(), q.data(), 1000, 10, 10e6, 0.25, 0, work.data());
        benchmark::DoNotOptimize(i.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
}

}  // namespace

BENCHMARK(BM_Nyquist54MbpsAwg)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HugeAwg)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_HugeCsv)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_NoiseStage)->Arg(1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FilterBurstAndGap)->Arg(0)->Arg(2000000)->Unit(benchmark::kMillisecond);
