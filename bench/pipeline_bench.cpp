// Whole-call timings of orv_11a_actual on the records of the performance
// table, written to /dev/shm (memory-backed, so the file system's cost is
// the smallest the machine allows). For the default burst two limits are
// measured beside it: writing the same number of file bytes, and the
// synthesis alone into warm arrays.
//
// The largest record (2 x 10^8 samples) takes seconds and files of gigabytes
// (1.6 GB AWG, 7 GB CSV); its cases, and the time of writing about the CSV
// file's bytes, are registered only when ORV_BENCH_LARGEST=1 is set, e.g.
//   ORV_BENCH_LARGEST=1 /usr/bin/time -v ./orv_bench --benchmark_filter=LargestRecordAwg
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "data_field.h"
#include "orvasynth.h"
#include "records.h"
#include "pipeline.h"
#include "preamble.h"
#include "rate.h"
#include "signal_field.h"

namespace {

std::string shm_path(const char* name) {
    struct stat st;
    const char* folder = ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    return std::string(folder) + "/orv_bench_" + std::to_string(::getpid()) + "_" + name;
}

// The largest record: the largest burst, a 1 s gap (2 x 10^8 samples in all),
// noise and a 1000-tap transmit filter.
WaveParams largest_record() {
    WaveParams p = largest_burst();
    p.burst_enable = 1;
    p.burst_off_time = 1.0;
    p.filter_cutoff = 10e6;
    p.filter_rolloff = 0.25;
    p.filter_taps = 1000;
    p.noise_enable = 1;
    p.noise_level = -40.0;
    return p;
}

void run(benchmark::State& state, WaveParams p, int32_t mode, const char* name) {
    const std::string path = shm_path(name);
    for (auto _ : state) {
        WaveParams call = p;
        if (orv_11a_actual(&call, mode, path.c_str()) != 0) {
            state.SkipWithError("orv_11a_actual failed");
            break;
        }
    }
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) state.counters["file_MB"] = static_cast<double>(st.st_size) / 1e6;
    std::remove(path.c_str());
}

void BM_DefaultBurstAwg(benchmark::State& s) { run(s, default_record(), 0, "default.awv"); }
void BM_DefaultBurstCsv(benchmark::State& s) { run(s, default_record(), 1, "default.csv"); }
void BM_LargestBurstAwg(benchmark::State& s) { run(s, largest_burst(), 0, "largest.awv"); }
void BM_LargestBurstCsv(benchmark::State& s) { run(s, largest_burst(), 1, "largest.csv"); }
void BM_LargestRecordAwg(benchmark::State& s) { run(s, largest_record(), 0, "record.awv"); }
void BM_LargestRecordCsv(benchmark::State& s) { run(s, largest_record(), 1, "record.csv"); }

// Size of the default burst's AWG file, from one call.
size_t default_awg_bytes() {
    const std::string path = shm_path("size.awv");
    WaveParams p = default_record();
    struct stat st;
    const bool ok = orv_11a_actual(&p, 0, path.c_str()) == 0 && ::stat(path.c_str(), &st) == 0;
    std::remove(path.c_str());
    return ok ? static_cast<size_t>(st.st_size) : 0;
}

// The limit set by the file system: a new file of `bytes` written in 1 MB
// blocks from memory by one thread and renamed into place, as the writer does.
void write_only(benchmark::State& state, size_t bytes, const char* name) {
    const std::string path = shm_path(name), temp = path + ".new";
    std::vector<unsigned char> block(1 << 20, 0x5A);
    for (auto _ : state) {
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        size_t left = bytes;
        bool ok = fd >= 0;
        while (ok && left > 0) {
            const size_t n = left < block.size() ? left : block.size();
            ok = ::write(fd, block.data(), n) == static_cast<ssize_t>(n);
            left -= n;
        }
        if (fd >= 0) ok = ::close(fd) == 0 && ok;
        if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
            state.SkipWithError("write failed");
            break;
        }
    }
    state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
    std::remove(path.c_str());
}

// The default AWG file's size.
void BM_DefaultBurstWriteOnly(benchmark::State& state) {
    const size_t bytes = default_awg_bytes();
    if (bytes == 0) {
        state.SkipWithError("no reference file");
        return;
    }
    write_only(state, bytes, "write.awv");
}

// About the largest record's CSV file (2 x 10^8 lines of 35 bytes).
void BM_LargestRecordCsvWriteOnly(benchmark::State& state) {
    write_only(state, 7004380000u, "write.csv");
}

// The limit set by the synthesis: preamble, SIGNAL and the DATA field of the
// default burst into arrays that stay mapped between iterations.
void BM_DefaultBurstSynthesisOnly(benchmark::State& state) {
    const WaveParams p = default_record();
    BurstGeometry g;
    burst_geometry(p.frame_format, p.burst_enable, p.burst_off_time, p.window_tr, p.ofdm_symbols,
                   p.oversampling, &g);
    int32_t mod_code, coding_rate, n_bpsc, n_cbps, n_dbps, length;
    rate_parameters(p.rate_index, p.ofdm_symbols, &mod_code, &coding_rate, &n_bpsc, &n_cbps,
                    &n_dbps, &length);
    std::vector<double> i(static_cast<size_t>(g.total)), q(static_cast<size_t>(g.total));
    const int32_t os = p.oversampling;
    for (auto _ : state) {
        int32_t pilot_state = 0xFFFF;
        if (build_short_training(i.data(), q.data(), 0, os) != 0 ||
            build_long_training(i.data() + 160 * os, q.data() + 160 * os, 0, os) != 0 ||
            build_signal_symbol(os, p.rate_index, length, &pilot_state, 0, i.data() + g.preamble,
                                q.data() + g.preamble) != 0 ||
            build_data_field(os, p.pn_seed, p.data_pattern, p.ofdm_symbols, p.rate_index, 0,
                             g.data, i.data() + g.preamble + g.signal,
                             q.data() + g.preamble + g.signal, pilot_state) != 0) {
            state.SkipWithError("synthesis failed");
            break;
        }
        benchmark::DoNotOptimize(i.data());
        benchmark::ClobberMemory();
    }
}

// Resident memory in kB (from /proc/self/statm), 0 where unavailable.
double resident_kb() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0.0;
    long size = 0, resident = 0;
    const int got = std::fscanf(f, "%ld %ld", &size, &resident);
    std::fclose(f);
    return got == 2 ? static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / 1024.0
                    : 0.0;
}

// Open descriptors of the process, -1 where unavailable.
int open_descriptors() {
    DIR* d = ::opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    int n = 0;
    while (::readdir(d) != nullptr) ++n;
    ::closedir(d);
    return n - 3;  // ".", ".." and the listing's own descriptor
}

// 1000 calls of the default record in one process: resident memory and open
// descriptors after the 10th and the 1000th call, and the median time of
// calls 1..20 against that of calls 981..1000. Growth of either count fails
// the case; the counters show the figures.
void BM_ThousandCalls(benchmark::State& state) {
    const std::string path = shm_path("thousand.awv");
    for (auto _ : state) {
        std::vector<double> ms(1000);
        double rss10 = 0.0, rss1000 = 0.0;
        int fd10 = 0, fd1000 = 0;
        for (int k = 1; k <= 1000; ++k) {
            WaveParams p = default_record();
            const auto t0 = std::chrono::steady_clock::now();
            const int32_t rc = orv_11a_actual(&p, 0, path.c_str());
            const auto t1 = std::chrono::steady_clock::now();
            if (rc != 0) {
                state.SkipWithError("orv_11a_actual failed");
                return;
            }
            ms[k - 1] = std::chrono::duration<double, std::milli>(t1 - t0).count();
            if (k == 10) {
                rss10 = resident_kb();
                fd10 = open_descriptors();
            }
        }
        rss1000 = resident_kb();
        fd1000 = open_descriptors();
        auto median = [](std::vector<double> v) {
            std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
            return v[v.size() / 2];
        };
        const double early = median(std::vector<double>(ms.begin(), ms.begin() + 20));
        const double late = median(std::vector<double>(ms.end() - 20, ms.end()));
        state.counters["rss_kB_10"] = rss10;
        state.counters["rss_kB_1000"] = rss1000;
        state.counters["fd_10"] = fd10;
        state.counters["fd_1000"] = fd1000;
        state.counters["ms_first20"] = early;
        state.counters["ms_last20"] = late;
        // A few pages of allocator slack are not growth; a leak of the default
        // record's arrays (about 4 MB a call) would be gigabytes by now.
        if (fd1000 > fd10) state.SkipWithError("open descriptors grew");
        if (rss1000 > rss10 + 8192.0) state.SkipWithError("resident memory grew");
    }
    std::remove(path.c_str());
}

bool largest_requested() {
    const char* v = std::getenv("ORV_BENCH_LARGEST");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

const bool g_largest_registered = [] {
    if (!largest_requested()) return false;
    benchmark::RegisterBenchmark("BM_LargestRecordAwg", BM_LargestRecordAwg)
        ->Unit(benchmark::kSecond)
        ->Iterations(1)
        ->UseRealTime();
    benchmark::RegisterBenchmark("BM_LargestRecordCsv", BM_LargestRecordCsv)
        ->Unit(benchmark::kSecond)
        ->Iterations(1)
        ->UseRealTime();
    benchmark::RegisterBenchmark("BM_LargestRecordCsvWriteOnly", BM_LargestRecordCsvWriteOnly)
        ->Unit(benchmark::kSecond)
        ->Iterations(1)
        ->UseRealTime();
    return true;
}();

}  // namespace

BENCHMARK(BM_DefaultBurstAwg)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DefaultBurstWriteOnly)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DefaultBurstSynthesisOnly)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DefaultBurstCsv)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LargestBurstAwg)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LargestBurstCsv)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ThousandCalls)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
