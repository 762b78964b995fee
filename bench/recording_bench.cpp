// SigMF recordings against the AWG file of the same record: the default burst
// and a 2e7-sample record with gap noise (the gap written everywhere).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "orvasynth.h"
#include "records.h"

#if ORVGEN_WITH_SIGMF
#include "sigmf.h"

namespace {

// 0.1 s at 200 MHz with Gaussian noise over the whole record.
WaveParams long_noisy_record() {
    WaveParams p = default_record();
    p.oversampling = 10;
    p.burst_off_time = 0.1;
    p.noise_enable = 1;
    p.noise_level = -40;
    return p;
}

void awg(benchmark::State& state, WaveParams p) {
    const std::string path = "/tmp/orv_bench_recording.awv";
    for (auto _ : state)
        if (orv_11a_actual(&p, 0, path.c_str()) != 0) state.SkipWithError("orv_11a_actual failed");
    std::remove(path.c_str());
}

void recording(benchmark::State& state, WaveParams p, orv::sigmf::SampleType type) {
    const std::string base = "/tmp/orv_bench_recording";
    orv::sigmf::Written w;
    for (auto _ : state)
        if (orv::sigmf::write_recording(p, base, type, w) != 0) state.SkipWithError("write_recording failed");
    std::remove((base + ".sigmf-data").c_str());
    std::remove((base + ".sigmf-meta").c_str());
}

void BM_DefaultAwg(benchmark::State& s) { awg(s, default_record()); }
void BM_DefaultCf32(benchmark::State& s) { recording(s, default_record(), orv::sigmf::SampleType::Cf32); }
void BM_DefaultCi16(benchmark::State& s) { recording(s, default_record(), orv::sigmf::SampleType::Ci16); }
void BM_LongNoisyAwg(benchmark::State& s) { awg(s, long_noisy_record()); }
void BM_LongNoisyCf32(benchmark::State& s) { recording(s, long_noisy_record(), orv::sigmf::SampleType::Cf32); }

}  // namespace

BENCHMARK(BM_DefaultAwg)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DefaultCf32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DefaultCi16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LongNoisyAwg)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_LongNoisyCf32)->Unit(benchmark::kMillisecond)->Iterations(2);

#endif  // ORVGEN_WITH_SIGMF
