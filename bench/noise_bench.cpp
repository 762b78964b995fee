// The SNR's noise: the stream noise of a sequence (four lanes per block)
// against one generator's complex noise.
#include <benchmark/benchmark.h>

#include <vector>

#include "impair_chain.h"
#include "impair_noise.h"

namespace {

void BM_StreamNoiseBlock(benchmark::State& state) {
    std::vector<double> i(kNoiseBlock, 0.0), q(kNoiseBlock, 0.0);
    NoiseLanes g{};
    noise_lanes_reset(&g, 1);
    int64_t first = 0;
    for (auto _ : state) {
        add_stream_noise(&g, first, kNoiseBlock, 1e-3, i.data(), q.data());
        first += kNoiseBlock;
        benchmark::DoNotOptimize(i.data());
    }
    state.SetItemsProcessed(state.iterations() * kNoiseBlock);
}
BENCHMARK(BM_StreamNoiseBlock);

void BM_ComplexNoiseBlock(benchmark::State& state) {
    std::vector<double> i(kNoiseBlock, 0.0), q(kNoiseBlock, 0.0);
    ImpairRng g;
    impair_rng_seed(&g, 1, kStreamNoise, 0);
    for (auto _ : state) {
        add_complex_noise(&g, kNoiseBlock, 1e-3, i.data(), q.data());
        benchmark::DoNotOptimize(i.data());
    }
    state.SetItemsProcessed(state.iterations() * kNoiseBlock);
}
BENCHMARK(BM_ComplexNoiseBlock);

}  // namespace
