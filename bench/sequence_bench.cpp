// Sequences of standard frames through orv_11a_sequence, written to /dev/shm:
// 1000 MAC-data-sized frames (1028-octet PSDU) at 54 Mbit/s with 20 us idle
// time at oversampling 8 (goal: at most 0.5 s, peak memory below 100 MB),
// and the cost per sample beside the test-pattern burst's at the same
// oversampling (goal: within 1.5 times). Peak memory is the process's
// (ru_maxrss), so run the case alone to read it:
//   ./orv_bench --benchmark_filter=Sequence1000 --benchmark_repetitions=5
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "orvasynth.h"
#include "records.h"

namespace {

std::string shm_file(const char* name) {
    struct stat st;
    const char* folder = ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    return std::string(folder) + "/orv_seq_bench_" + std::to_string(::getpid()) + "_" + name;
}

double peak_rss_mb() {
    struct rusage u;
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0;
}

void report(benchmark::State& state, int64_t samples, const std::string& path) {
    state.counters["samples"] = static_cast<double>(samples);
    state.counters["ns_per_sample"] = benchmark::Counter(
        static_cast<double>(samples) * 1e-9,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["peak_rss_MB"] = peak_rss_mb();
    struct stat st;
    if (::stat(path.c_str(), &st) == 0)
        state.counters["file_MB"] = static_cast<double>(st.st_size) / 1e6;
    std::remove(path.c_str());
}

// The 1000-packet waveform's packets (one shared PSDU).
std::vector<OrvPacket> per_packets(const std::vector<uint8_t>& psdu) {
    std::vector<OrvPacket> packets(1000);
    for (size_t k = 0; k < packets.size(); ++k) {
        packets[k] = OrvPacket{};
        packets[k].size = sizeof(OrvPacket);
        packets[k].rate_index = 7;
        packets[k].scrambler_init = static_cast<int32_t>(1 + k % 127);
        packets[k].psdu_length = 1028;
        packets[k].psdu = psdu.data();
        packets[k].idle_time = 20e-6;
    }
    return packets;
}

void BM_Sequence1000Frames54MbpsAwg(benchmark::State& state) {
    std::vector<uint8_t> psdu(1028);
    for (size_t k = 0; k < psdu.size(); ++k) psdu[k] = static_cast<uint8_t>(k * 37 + 11);
    std::vector<OrvPacket> packets(1000);
    for (size_t k = 0; k < packets.size(); ++k) {
        packets[k] = OrvPacket{};
        packets[k].size = sizeof(OrvPacket);
        packets[k].rate_index = 7;
        packets[k].scrambler_init = static_cast<int32_t>(1 + k % 127);
        packets[k].psdu_length = 1028;
        packets[k].psdu = psdu.data();
        packets[k].idle_time = 20e-6;
    }
    OrvSequenceParams p{};
    p.size = sizeof p;
    p.oversampling = static_cast<int32_t>(state.range(0));
    p.channel_mhz = 20;
    p.window_tr = 100e-9;
    const std::string path = shm_file("frames.awv");
    for (auto _ : state) {
        if (orv_11a_sequence(&p, packets.data(), 1000, 0, path.c_str(), nullptr) != 0) {
            state.SkipWithError("orv_11a_sequence failed");
            break;
        }
    }
    report(state, p.total_samples, path);
}
BENCHMARK(BM_Sequence1000Frames54MbpsAwg)
    ->Arg(8)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

// The same waveform through the whole impairment chain (amplifier, IQ
// imbalance, phase noise, carrier and clock offset, a 50 ns channel per
// packet, SNR): goal at most 2 times BM_Sequence1000Frames54MbpsAwg. The
// samples kept between its passes (8 bytes each, 251 MB here) count in
// peak_rss_MB; where the system grants no huge pages they lie in a memory
// file, which it does not count.
// Argument 2 (0/1): 1 = the SNR alone (the AWGN case of a PER table).
void BM_Sequence1000Frames54MbpsAwgImpaired(benchmark::State& state) {
    std::vector<uint8_t> psdu(1028);
    for (size_t k = 0; k < psdu.size(); ++k) psdu[k] = static_cast<uint8_t>(k * 37 + 11);
    const std::vector<OrvPacket> packets = per_packets(psdu);
    OrvSequenceParams p{};
    p.size = sizeof p;
    p.oversampling = static_cast<int32_t>(state.range(0));
    p.channel_mhz = 20;
    p.window_tr = 100e-9;
    OrvImpairments m{};
    m.size = sizeof m;
    m.seed = 1;
    m.snr_enable = 1;
    m.snr_db = 20;
    m.iq_gain_db = 0.5;
    m.iq_phase_deg = 2;
    m.pa_enable = 1;
    m.pa_smoothness = 3;
    m.pa_backoff_db = 8;
    m.phase_noise_rms_deg = 1;
    m.cfo_ppm = 10;
    m.carrier_ghz = 5.8;
    m.clock_ppm = 10;
    m.multipath_rms_ns = 50;
    m.multipath_per_packet = 1;
    if (state.range(1) == 1) {
        const OrvImpairments snr_only = m;
        m = OrvImpairments{};
        m.size = sizeof m;
        m.seed = snr_only.seed;
        m.snr_enable = 1;
        m.snr_db = snr_only.snr_db;
    }
    const std::string path = shm_file("impaired.awv");
    for (auto _ : state) {
        if (orv_11a_sequence_impaired(&p, &m, packets.data(), 1000, 0, path.c_str(), nullptr) != 0) {
            state.SkipWithError("orv_11a_sequence_impaired failed");
            break;
        }
    }
    report(state, p.total_samples, path);
}
BENCHMARK(BM_Sequence1000Frames54MbpsAwgImpaired)
    ->Args({8, 0})
    ->Args({8, 1})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

// The test-pattern burst at the same rate and oversampling (151 symbols, no gap).
void BM_PatternBurst54MbpsAwg(benchmark::State& state) {
    WaveParams p = default_record();
    p.burst_enable = 0;
    p.rate_index = 7;
    p.ofdm_symbols = 151;
    p.oversampling = static_cast<int32_t>(state.range(0));
    p.window_tr = 100e-9;
    const std::string path = shm_file("burst.awv");
    for (auto _ : state) {
        WaveParams call = p;
        if (orv_11a_actual(&call, 0, path.c_str()) != 0) {
            state.SkipWithError("orv_11a_actual failed");
            break;
        }
    }
    report(state, (400 + 80 * 151) * static_cast<int64_t>(p.oversampling), path);
}
BENCHMARK(BM_PatternBurst54MbpsAwg)
    ->Arg(8)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace
