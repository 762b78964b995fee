// The measuring receiver (orvcheck): the default burst, and the longest AWG file
// the generator writes (2e8 samples, 1.6 GB). BM_HugeAnalyse* run only when asked
// for by name:   orv_bench --benchmark_filter=HugeAnalyse
// Goals: the default burst in under 50 ms; the long file in under 5 s with a
// peak resident set under 1 GB (the file is written by a child process, so the
// figure is the analysis alone).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "analysis.h"
#include "orvasynth.h"
#include "records.h"

namespace {

void analyse(benchmark::State& state, WaveParams p, int32_t mode, const std::string& path) {
    if (orv_11a_actual(&p, mode, path.c_str()) != 0) {
        state.SkipWithError("orv_11a_actual failed");
        return;
    }
    for (auto _ : state) {
        const orv::analysis::Result r = orv::analysis::analyse_file(path, {});
        benchmark::DoNotOptimize(r.evm_db);
        if (!r.evm_db) state.SkipWithError("no EVM");
    }
    std::remove(path.c_str());
}

void BM_AnalyseDefaultBurstAwg(benchmark::State& s) { analyse(s, default_record(), 0, "/tmp/orv_bench_check.awv"); }
void BM_AnalyseDefaultBurstCsv(benchmark::State& s) { analyse(s, default_record(), 1, "/tmp/orv_bench_check.csv"); }

void BM_HugeAnalyseAwg(benchmark::State& state) {
    if (benchmark::GetBenchmarkFilter().find("HugeAnalyse") == std::string::npos) {
        state.SkipWithError("opt-in only: --benchmark_filter=HugeAnalyse");
        for (auto _ : state) {
        }
        return;
    }
    // 54 Mbit/s, 151 symbols, oversampling 10 and a 1.0 s gap: 124800 + 2e8 samples.
    WaveParams p = default_record();
    p.rate_index = 7;
    p.ofdm_symbols = 151;
    p.oversampling = 10;
    p.burst_off_time = 1.0;
    const std::string path = "/tmp/orv_bench_check_huge.awv";
    const pid_t child = fork();
    if (child == 0) _exit(orv_11a_actual(&p, 0, path.c_str()) == 0 ? 0 : 1);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        state.SkipWithError("writing the file failed");
        return;
    }
    for (auto _ : state) {
        const orv::analysis::Result r = orv::analysis::analyse_file(path, {});
        benchmark::DoNotOptimize(r.evm_db);
        state.counters["samples"] = static_cast<double>(r.file.samples);
    }
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    state.counters["max_rss_MB"] = u.ru_maxrss / 1024.0;
    std::remove(path.c_str());
}

}  // namespace

BENCHMARK(BM_AnalyseDefaultBurstAwg)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AnalyseDefaultBurstCsv)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HugeAnalyseAwg)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
