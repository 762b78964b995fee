// Frame-synthesis timings: one DATA symbol (bits to 80 x os samples) at os 5
// to 10, the radix-2 path at os 8 (512 points), chirp-z at the others,
// and the FFT alone at those sizes. The table cache stays warm, as within a burst.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "data_field.h"
#include "fft.h"
#include "ofdm_symbol.h"

namespace {

// One 36 Mbit/s symbol: 192 PN9 bits on 16-QAM.
void BM_DataSymbol(benchmark::State& state) {
    const int32_t os = static_cast<int32_t>(state.range(0));
    std::vector<int32_t> bits(192);
    int32_t seed = 0xFFFF;
    pn9(192, &seed, bits.data());
    std::vector<double> i(80 * os), q(80 * os);
    int32_t pilot_state = 0xFFFF;
    for (auto _ : state) {
        build_ofdm_symbol(os, bits.data(), MOD_16QAM, 192, 4, &pilot_state, 0, i.data(), q.data());
        benchmark::DoNotOptimize(i.data());
        benchmark::ClobberMemory();
    }
    fft_release_tables();
}

void BM_InverseFft(benchmark::State& state) {
    const int32_t n = static_cast<int32_t>(state.range(0));
    std::vector<double> re(n, 0.0), im(n, 0.0);
    for (auto _ : state) {
        // A fresh impulse each time: repeated inverse transforms of one array
        // would sink it into subnormal numbers.
        std::fill(re.begin(), re.end(), 0.0);
        std::fill(im.begin(), im.end(), 0.0);
        re[3] = 1.0;
        fft(n, re.data(), im.data(), 0);
        benchmark::DoNotOptimize(re.data());
    }
    fft_release_tables();
}

// The default burst's DATA field: 100 symbols at 36 Mbit/s, os 8.
void BM_DataField100(benchmark::State& state) {
    const int32_t os = 8, symbols = 100, D = 80 * os * symbols;
    std::vector<double> i(D), q(D);
    for (auto _ : state) {
        build_data_field(os, 0xFFFF, 0, symbols, 5, 0, D, i.data(), q.data(), 0x1FFFE);
        benchmark::DoNotOptimize(i.data());
    }
}

}  // namespace

BENCHMARK(BM_DataSymbol)->DenseRange(5, 10)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_InverseFft)->Arg(512)->Arg(640)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DataField100)->Unit(benchmark::kMillisecond);
