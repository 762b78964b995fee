// orvgen's frame packets: the PER waveform of 10^5 data frames of 1000
// octets (PN9 payload running on, FCS per frame) expanded into its packet
// list, and the same count of one repeated PSDU (shared octets).
#include <benchmark/benchmark.h>

#include <string>

#include "frames.h"

namespace {

void expand_per(benchmark::State& state, const std::string& payload_bytes, const std::string& hex) {
    frames::FrameOptions o;
    o.rate = std::string("54");
    o.payload_bytes = payload_bytes;
    o.psdu_hex = hex;
    o.packets = std::string("100000");
    o.idle = std::string("20");
    frames::WaveformPlan plan;
    std::string error;
    if (!frames::plan_from_options(o, plan, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    size_t pool = 0;
    for (auto _ : state) {
        frames::Sequence s;
        if (!frames::expand(plan, s, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        pool = s.pool.size();
        benchmark::DoNotOptimize(s.packets.data());
    }
    state.counters["pool_MiB"] = static_cast<double>(pool) / (1 << 20);
    state.SetItemsProcessed(state.iterations() * 100000);
}

void BM_ExpandPer100kDataFrames(benchmark::State& state) { expand_per(state, "1000", ""); }
void BM_Expand100kSharedPsdus(benchmark::State& state) { expand_per(state, "", "0800000002000000000102000000000100000000"); }

BENCHMARK(BM_ExpandPer100kDataFrames)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Expand100kSharedPsdus)->Unit(benchmark::kMillisecond);

}  // namespace
