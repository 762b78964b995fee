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

#include <cmath>
#include <cstdio>
#include <string>

#include "analysis.h"
#include "analysis/reference_tx.h"
#include "orvasynth.h"
#include "packet_spectrum.h"
#include "records.h"
#include "rx_measure.h"
#include "rx_packets.h"
#include "rx_viterbi.h"

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

// 1000 packets of 1000-byte frames at 54 Mbit/s, 2 us apart, at 20 MS/s times os (eight
// distinct frames repeated). Goals: os 1 decoded at 40 MS/s or more; os 8 in under 2 s.
std::vector<std::complex<double>> packet_stream(int os) {
    std::vector<std::vector<std::complex<double>>> frames;
    for (int k = 0; k < (os == 1 ? 8 : 2); ++k) {
        std::vector<uint8_t> body(972);
        for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 7 + k);
        const std::vector<uint8_t> psdu = reftx::mac_frame(k, body);
        frames.push_back(reftx::frame(54, reftx::bits_of_bytes(psdu), 1000, os, 1 + k));
    }
    std::vector<std::complex<double>> x;
    for (int k = 0; k < 1000; ++k) {
        const auto& f = frames[static_cast<size_t>(k) % frames.size()];
        x.insert(x.end(), f.begin(), f.end());
        x.insert(x.end(), static_cast<size_t>(40 * os), std::complex<double>(0, 0));
    }
    return x;
}

void receive_stream(benchmark::State& state, int os) {
    const std::vector<std::complex<double>> x = packet_stream(os);
    const orv::analysis::Options opt;
    for (auto _ : state) {
        const std::vector<orv::analysis::PacketResult> p =
            orv::analysis::receive_packets(x.data(), static_cast<int64_t>(x.size()), os, opt, nullptr);
        int good = 0;
        for (const auto& q : p) good += q.fcs_ok.value_or(false);
        if (good != 1000) state.SkipWithError("not every packet decoded with a good FCS");
    }
    state.counters["MS/s"] = benchmark::Counter(static_cast<double>(x.size()) / 1e6 * static_cast<double>(state.iterations()),
                                                benchmark::Counter::kIsRate);
}

// The packets' mask and CCDF over that stream at os 8, the spans given first, the samples in
// pieces of 2^20 as a reader gives them. Goal: 40 MS/s or more (no slower than the receiver at os 8).
void BM_PacketSpectrum1000x54MbpsOs8(benchmark::State& state) {
    const int os = 8;
    const std::vector<std::complex<double>> x = packet_stream(os);
    const int64_t period = static_cast<int64_t>(x.size() / 1000);  // a frame and its 2 us
    for (auto _ : state) {
        orv::analysis::PacketSpectrum spectrum(os);
        spectrum.settle(INT64_MAX);
        for (int64_t k = 0; k < 1000; ++k) spectrum.add_span(k * period, (k + 1) * period - 40 * os);
        for (size_t at = 0; at < x.size(); at += size_t{1} << 20)
            spectrum.push(x.data() + at, std::min(size_t{1} << 20, x.size() - at));
        const orv::analysis::PacketSpectrumResult r = spectrum.finish();
        if (!r.mask || r.ccdf.size() != 4) state.SkipWithError("no mask or CCDF");
        benchmark::DoNotOptimize(r);
    }
    state.counters["MS/s"] = benchmark::Counter(static_cast<double>(x.size()) / 1e6 * static_cast<double>(state.iterations()),
                                                benchmark::Counter::kIsRate);
}

void BM_PacketReceiver1000x54MbpsOs1(benchmark::State& s) { receive_stream(s, 1); }
void BM_PacketReceiver1000x54MbpsOs8(benchmark::State& s) { receive_stream(s, 8); }

// The Viterbi decoder alone on the coded pairs of a 1000-byte PSDU at 54 Mbit/s (depunctured,
// 8022 steps), soft values of a clean 64-QAM-like spread; counter: decoded Mbit/s.
void viterbi_kernel(benchmark::State& state, orv::analysis::rx::AcsKernel kernel) {
    std::vector<int16_t> q(2 * 8022);
    uint32_t r = 7;
    for (size_t i = 0; i < q.size(); ++i) {
        r = r * 1664525u + 1013904223u;
        q[i] = (i % 6 == 3 || i % 6 == 4) ? 0 : static_cast<int16_t>(((r >> 16) % 400 + 20) * ((r >> 8) & 1 ? 1 : -1));
    }
    for (auto _ : state) benchmark::DoNotOptimize(orv::analysis::rx::viterbi_decode_q(q.data(), q.size() / 2, false, kernel));
    state.counters["Mbit/s"] = benchmark::Counter(8022e-6 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
void BM_Viterbi16Bit(benchmark::State& s) { viterbi_kernel(s, orv::analysis::rx::AcsKernel::best); }

// A clean block's bits solved from its signs (no search): the coded pairs of 8022 steps (a
// 1000-byte PSDU), every sign a codeword's, at rate 1/2; counter: decoded Mbit/s.
void BM_DecodeIfCodeword(benchmark::State& state) {
    std::vector<int> u(8022);
    uint32_t r = 11;
    for (size_t i = 0; i + 6 < u.size(); ++i) r = r * 1664525u + 1013904223u, u[i] = static_cast<int>(r >> 31);
    const std::vector<int> ab = reftx::encode(u);
    std::vector<int16_t> q(ab.size());
    for (size_t i = 0; i < q.size(); ++i) q[i] = static_cast<int16_t>(ab[i] ? 40 + i % 300 : -40 - static_cast<int>(i % 300));
    std::vector<uint8_t> bits;
    for (auto _ : state)
        if (!orv::analysis::rx::decode_if_codeword(q.data(), q.size() / 2, true, bits)) state.SkipWithError("refused a codeword");
    state.counters["Mbit/s"] = benchmark::Counter(8022e-6 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The soft values of a 1000-byte PSDU at 54 Mbit/s (38 symbols of 288) to the decoder's
// quantised, deinterleaved, depunctured pairs (the median scale included); counter: values a second.
void BM_CodedPairs54(benchmark::State& state) {
    const orv::analysis::RateInfo& rate = *orv::analysis::rate_by_mbps(54);
    std::vector<double> soft(38 * 288);
    uint32_t r = 3;
    for (double& v : soft) {
        r = r * 1664525u + 1013904223u;
        v = (static_cast<double>(r >> 8) / 16777216.0 - 0.5) * 8.0;
    }
    std::vector<int16_t> pairs;
    for (auto _ : state) {
        orv::analysis::rx::coded_pairs_into(soft, rate, pairs);
        benchmark::DoNotOptimize(pairs.data());
    }
    state.counters["values/s"] = benchmark::Counter(static_cast<double>(soft.size() * state.iterations()), benchmark::Counter::kIsRate);
}

// The transmitted points the impairment fit measures against, of a 1000-byte PSDU at 54 Mbit/s
// (38 symbols); counter: points a second.
void BM_TransmittedPoints54(benchmark::State& state) {
    std::vector<uint8_t> psdu(1000);
    for (size_t i = 0; i < psdu.size(); ++i) psdu[i] = static_cast<uint8_t>(i * 37 + 11);
    const orv::analysis::RateInfo& rate = *orv::analysis::rate_by_mbps(54);
    for (auto _ : state) benchmark::DoNotOptimize(orv::analysis::rx::transmitted_points(psdu, 0x5D, rate, 38));
    state.counters["points/s"] = benchmark::Counter(38.0 * 48.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The phase fit's angles: four symbols' 52 residual phases (small angles around zero, every
// quadrant now and then), four at a time; counter: angles a second.
void BM_PhaseAngles208(benchmark::State& state) {
    std::vector<double> y(208), x(208), out(208);
    uint32_t r = 5;
    for (size_t i = 0; i < y.size(); ++i) {
        r = r * 1664525u + 1013904223u;
        const double a = (static_cast<double>(r >> 8) / 16777216.0 - 0.5) * (i % 13 ? 0.3 : 6.2);
        y[i] = std::sin(a) * (1.0 + static_cast<double>(i % 7)), x[i] = std::cos(a) * (1.0 + static_cast<double>(i % 7));
    }
    for (auto _ : state) {
        orv::analysis::rx::phase_angles(y.data(), x.data(), y.size(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["angles/s"] = benchmark::Counter(208.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

// Timed in CPU time (one thread; the machine is shared): MS/s is samples over CPU seconds.
BENCHMARK(BM_Viterbi16Bit);
BENCHMARK(BM_TransmittedPoints54);
BENCHMARK(BM_PhaseAngles208);
BENCHMARK(BM_CodedPairs54);
BENCHMARK(BM_DecodeIfCodeword);
BENCHMARK(BM_PacketReceiver1000x54MbpsOs1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PacketReceiver1000x54MbpsOs8)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_PacketSpectrum1000x54MbpsOs8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AnalyseDefaultBurstAwg)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AnalyseDefaultBurstCsv)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HugeAnalyseAwg)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
