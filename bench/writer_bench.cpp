// CSV writing: the locale-free writer against the same lines through fprintf.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <vector>

#include "writers.h"

namespace {

// Samples like those of the largest burst: 124800 values of order 0.01.
struct Samples {
    std::vector<double> i, q;
    Samples() : i(124800), q(124800) {
        std::mt19937_64 rng(7);
        std::normal_distribution<double> g(0.0, 0.01);
        for (size_t k = 0; k < i.size(); ++k) {
            i[k] = g(rng);
            q[k] = g(rng);
        }
    }
};

const Samples& samples() {
    static const Samples s;
    return s;
}

void BM_CsvWriter(benchmark::State& state) {
    const Samples& s = samples();
    const int32_t count = static_cast<int32_t>(s.i.size());
    const SampleSource src{s.i.data(), s.q.data(), count, count, nullptr};
    for (auto _ : state) {
        if (write_csv_stream("/tmp/orv_bench_writer.csv", &src) != 0)
            state.SkipWithError("write failed");
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(s.i.size()));
    std::remove("/tmp/orv_bench_writer.csv");
}

void BM_CsvFprintf(benchmark::State& state) {
    const Samples& s = samples();
    for (auto _ : state) {
        std::FILE* f = std::fopen("/tmp/orv_bench_fprintf.csv", "w");
        for (size_t k = 0; k < s.i.size(); ++k) std::fprintf(f, "%15.10le,%15.10le\n", s.i[k], s.q[k]);
        std::fclose(f);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(s.i.size()));
    std::remove("/tmp/orv_bench_fprintf.csv");
}

}  // namespace

BENCHMARK(BM_CsvWriter)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CsvFprintf)->Unit(benchmark::kMillisecond);
