// The impairment chain's kernels one at a time, in samples per second, on the
// settings of the impaired 1000-packet waveform (oversampling 8 at 20 MHz:
// 160 MS/s, a unit-power OFDM-like signal).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "impair_chain.h"

namespace {

constexpr int32_t kBlock = 1 << 16;
constexpr double kFs = 160e6;

// Complex Gaussian samples of unit power (an OFDM signal's statistics).
void gaussian(int32_t n, std::vector<double>* i, std::vector<double>* q) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> d(0.0, std::sqrt(0.5));
    i->resize(n);
    q->resize(n);
    for (int32_t k = 0; k < n; ++k) {
        (*i)[k] = d(rng);
        (*q)[k] = d(rng);
    }
}

// The sample clock 10 ppm fast, argument: taps.
void BM_ResamplerRun(benchmark::State& state) {
    const int32_t taps = static_cast<int32_t>(state.range(0));
    Resampler r;
    if (resampler_open(&r, 10.0, taps) != 0) {
        state.SkipWithError("resampler_open");
        return;
    }
    std::vector<double> xi, xq, i(kBlock), q(kBlock);
    gaussian(kBlock + 2 * taps, &xi, &xq);
    const int64_t n0 = taps;
    const int64_t base = resampler_first_input(&r, n0);
    for (auto _ : state) {
        resampler_run(&r, n0, kBlock, base, xi.data() + base, xq.data() + base, i.data(), q.data());
        benchmark::DoNotOptimize(i.data());
        benchmark::DoNotOptimize(q.data());
    }
    resampler_close(&r);
    state.SetItemsProcessed(state.iterations() * kBlock);
}

// The 50 ns exponential channel at 160 MS/s, a new realisation every
// 31400 samples (one packet and its idle time); argument 1: the convolutions
// in single precision.
void BM_MultipathStep(benchmark::State& state) {
    std::vector<double> power(kMultipathMaxTaps);
    const int32_t taps = exponential_profile(50.0, 1e9 / kFs, power.data());
    Multipath m;
    const bool single = state.range(0) == 1;
    if ((single ? multipath_open_single(&m, power.data(), nullptr, nullptr, taps, 1)
                : multipath_open(&m, power.data(), nullptr, nullptr, taps, 1)) != 0) {
        state.SkipWithError("multipath_open");
        return;
    }
    const int32_t hop = m.hop;
    std::vector<double> xi, xq, yi(hop), yq(hop);
    gaussian(hop, &xi, &xq);
    std::vector<int32_t> span(hop);
    int64_t at = 0;
    for (auto _ : state) {
        const int32_t key = static_cast<int32_t>(at / 31400);
        const int64_t edge = (at / 31400 + 1) * 31400;  // hop < 31400: at most one edge a step
        for (int32_t k = 0; k < hop; ++k) span[k] = at + k < edge ? key : key + 1;
        multipath_step(&m, xi.data(), xq.data(), span.data(), yi.data(), yq.data());
        benchmark::DoNotOptimize(yi.data());
        at += hop;
    }
    multipath_close(&m);
    state.SetItemsProcessed(state.iterations() * hop);
}

// Rapp p = 3 (a whole 2p = 6) at 8 dB input back-off.
void BM_RappAmplify(benchmark::State& state) {
    std::vector<double> i0, q0;
    gaussian(kBlock, &i0, &q0);
    std::vector<double> i(kBlock), q(kBlock);
    const double a_sat = std::pow(10.0, 8.0 / 20.0);
    for (auto _ : state) {
        state.PauseTiming();
        i = i0;
        q = q0;
        state.ResumeTiming();
        rapp_amplify(kBlock, a_sat, 3.0, i.data(), q.data());
        benchmark::DoNotOptimize(i.data());
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
}

// The amplifier of BM_RappAmplify, the IQ imbalance of BM_IqImbalanceApply
// and the power summed, in one pass from the source into another buffer (the
// packet runs of the impairment chain).
void BM_RappIqSum(benchmark::State& state) {
    IqImbalance m;
    iq_imbalance_setup(0.5, 2.0, &m);
    std::vector<double> xi, xq;
    gaussian(kBlock, &xi, &xq);
    std::vector<double> i(kBlock), q(kBlock);
    const double a_sat = std::pow(10.0, 8.0 / 20.0);
    double power = 0.0;
    for (auto _ : state) {
        power = rapp_iq_sum(kBlock, a_sat, 3.0, &m, xi.data(), xq.data(), i.data(), q.data(), power);
        benchmark::DoNotOptimize(i.data());
        benchmark::DoNotOptimize(power);
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
}

// Phase noise of 1 degree RMS (the default shape) and a 58 kHz carrier offset.
void BM_PhaseNoiseRotate(benchmark::State& state) {
    double offsets[3], levels[3];
    phase_noise_default_profile(1.0, offsets, levels);
    PhaseNoise pn;
    if (phase_noise_open(&pn, offsets, levels, 3, kFs, 1) != 0) {
        state.SkipWithError("phase_noise_open");
        return;
    }
    std::vector<double> i, q;
    gaussian(kBlock, &i, &q);
    int64_t at = 0;
    for (auto _ : state) {
        phase_noise_rotate(&pn, kBlock, at, 58000.0, kFs, i.data(), q.data());
        benchmark::DoNotOptimize(i.data());
        at += kBlock;
    }
    phase_noise_close(&pn);
    state.SetItemsProcessed(state.iterations() * kBlock);
}

// Opening the phase-noise process of the default shape at 160 MS/s (the
// filter's design and its first steps), once per impaired waveform.
void BM_PhaseNoiseOpen(benchmark::State& state) {
    double offsets[3], levels[3];
    phase_noise_default_profile(1.0, offsets, levels);
    for (auto _ : state) {
        PhaseNoise pn;
        if (phase_noise_open(&pn, offsets, levels, 3, kFs, 1) != 0) {
            state.SkipWithError("phase_noise_open");
            return;
        }
        benchmark::DoNotOptimize(pn.h_re);
        phase_noise_close(&pn);
    }
}

// Complex white Gaussian noise added to a block.
void BM_AddComplexNoise(benchmark::State& state) {
    ImpairRng g;
    impair_rng_seed(&g, 1, kStreamNoise, 0);
    std::vector<double> i(kBlock, 0.0), q(kBlock, 0.0);
    for (auto _ : state) {
        add_complex_noise(&g, kBlock, 1e-4, i.data(), q.data());
        benchmark::DoNotOptimize(i.data());
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
}

// IQ imbalance of 0.5 dB and 2 degrees.
void BM_IqImbalanceApply(benchmark::State& state) {
    IqImbalance m;
    iq_imbalance_setup(0.5, 2.0, &m);
    std::vector<double> i, q;
    gaussian(kBlock, &i, &q);
    for (auto _ : state) {
        iq_imbalance_apply(&m, kBlock, i.data(), q.data());
        benchmark::DoNotOptimize(i.data());
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
}

}  // namespace

BENCHMARK(BM_ResamplerRun)->Arg(8)->Arg(16);
BENCHMARK(BM_MultipathStep)->Arg(0)->Arg(1);
BENCHMARK(BM_RappAmplify);
BENCHMARK(BM_RappIqSum);
BENCHMARK(BM_PhaseNoiseRotate);
BENCHMARK(BM_PhaseNoiseOpen)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddComplexNoise);
BENCHMARK(BM_IqImbalanceApply);
