// The SNR's noise: the stream noise of a sequence (four lanes per block)
// against one generator's complex noise.
#include <benchmark/benchmark.h>

#include <vector>

#include "impair_chain.h"
#include "impair_noise.h"

namespace {

// Argument: 0 the fastest loop, 1 the four-sample SSE2 loop, 2 the plain loop, 3 the eight-sample AVX2 loop.
void BM_StreamNoiseBlock(benchmark::State& state) {
    std::vector<double> i(kNoiseBlock, 0.0), q(kNoiseBlock, 0.0);
    NoiseLanes g{};
    noise_lanes_reset(&g, 1);
    g.path = static_cast<int32_t>(state.range(0));
    int64_t first = 0;
    for (auto _ : state) {
        add_stream_noise(&g, first, kNoiseBlock, 1e-3, i.data(), q.data());
        first += kNoiseBlock;
        benchmark::DoNotOptimize(i.data());
    }
    state.SetItemsProcessed(state.iterations() * kNoiseBlock);
}
BENCHMARK(BM_StreamNoiseBlock)->Arg(0)->Arg(1)->Arg(2)->Arg(3);

// The noise pass's form: single-precision I, Q pairs in place (arguments as above).
void BM_StreamNoiseKeptBlock(benchmark::State& state) {
    std::vector<float> iq(2 * kNoiseBlock, 0.0f);
    NoiseLanes g{};
    noise_lanes_reset(&g, 1);
    g.path = static_cast<int32_t>(state.range(0));
    int64_t first = 0;
    for (auto _ : state) {
        add_stream_noise_iq(&g, first, kNoiseBlock, 1e-3, iq.data());
        first += kNoiseBlock;
        benchmark::DoNotOptimize(iq.data());
    }
    state.SetItemsProcessed(state.iterations() * kNoiseBlock);
}
BENCHMARK(BM_StreamNoiseKeptBlock)->Arg(0)->Arg(1)->Arg(2)->Arg(3);

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
