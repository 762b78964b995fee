#include <gtest/gtest.h>

#include <algorithm>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "noise.h"
#include "pipeline.h"
#include "status.h"
#include "validate.h"
#include "writers.h"
#include "platform_memory.h"
#include "support/records.h"
#include "support/readable_params.h"

namespace {

struct GeometryCase {
    const char* name;
    int32_t frame_format, burst_enable;
    double burst_off_time, window_tr;
    int32_t symbols, os;
    int32_t preamble, signal, data, burst, total, transition;
};

void PrintTo(const GeometryCase& c, std::ostream* os) { *os << c.name; }

class Geometry : public ::testing::TestWithParam<GeometryCase> {};

TEST_P(Geometry, CountsInSamples) {
    const GeometryCase& c = GetParam();
    BurstGeometry g{};
    ASSERT_EQ(burst_geometry(c.frame_format, c.burst_enable, c.burst_off_time, c.window_tr,
                             c.symbols, c.os, &g),
              0);
    EXPECT_EQ(g.fs, 20000000.0 * c.os);
    EXPECT_EQ(g.preamble, c.preamble) << c.name;
    EXPECT_EQ(g.signal, c.signal) << c.name;
    EXPECT_EQ(g.data, c.data) << c.name;
    EXPECT_EQ(g.burst, c.burst) << c.name;
    EXPECT_EQ(g.total, c.total) << c.name;
    EXPECT_EQ(g.transition, c.transition) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Records, Geometry,
    ::testing::Values(
        GeometryCase{"DATA only", 1, 0, 0, 0, 10, 4, 0, 0, 3200, 3200, 3200, 0},
        GeometryCase{"full format", 0, 0, 0, 0, 100, 4, 1280, 320, 32000, 33600, 33600, 0},
        GeometryCase{"no symbols", 0, 0, 0, 0, 0, 8, 2560, 640, 0, 3200, 3200, 0},
        GeometryCase{"empty", 1, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0},
        GeometryCase{"gap 100 us", 1, 1, 1e-4, 0, 10, 4, 0, 0, 3200, 3200, 11200, 0},
        GeometryCase{"gap ignored when off", 1, 0, 1e-4, 0, 10, 4, 0, 0, 3200, 3200, 3200, 0},
        // 160 * 1e-6 lands just below 160e-6: the gap truncates to one sample short.
        GeometryCase{"160 us truncation", 1, 1, 160 * 1e-6, 0, 10, 4, 0, 0, 3200, 3200, 15999, 0},
        GeometryCase{"window 100 ns", 1, 0, 0, 1e-7, 10, 4, 0, 0, 3200, 3200, 3200, 8},
        GeometryCase{"window at 1e-12", 1, 0, 0, 1e-12, 10, 4, 0, 0, 3200, 3200, 3200, 0},
        GeometryCase{"window 2 us", 1, 0, 0, 2e-6, 10, 10, 0, 0, 8000, 8000, 8000, 400},
        GeometryCase{"largest record", 0, 1, 1.0, 0, 151, 10, 3200, 800, 120800, 124800,
                     200124800, 0}), orv_test::PrintedName());

TEST(Geometry, RefusesCountsThatDoNotFit) {
    BurstGeometry g{};
    EXPECT_EQ(burst_geometry(0, 0, 0, 0, -1, 4, &g), kStatusNoMemory);
    EXPECT_EQ(burst_geometry(0, 0, 0, 0, 10, 0, &g), kStatusNoMemory);
    EXPECT_EQ(burst_geometry(0, 1, 1e6, 0, 10, 10, &g), kStatusNoMemory);
    EXPECT_EQ(burst_geometry(0, 0, 0, 100.0, 10, 10, &g), kStatusNoMemory);
}

// The WAVEDATA byte count of an AWG file.
long wavedata_count(const std::string& file) {
    std::smatch m;
    if (!std::regex_search(file, m, std::regex(R"(\{WAVEDATA:(\d+);)"))) return -1;
    return std::stol(m[1]);
}

// Every rate and both formats: the file holds exactly 8 * T bytes of samples.
TEST(Pipeline, FileSizeForEveryRateAndFormat) {
    TempDir dir("rates");
    for (int32_t rate = 0; rate < 8; ++rate) {
        for (int32_t format = 0; format < 2; ++format) {
            WaveParams p = valid_record();
            p.rate_index = rate;
            p.frame_format = format;
            p.ofdm_symbols = 3 + rate;
            p.burst_enable = 1;
            p.burst_off_time = 160 * 1e-6;
            const std::string path = dir.file("r.awv");
            ASSERT_EQ(orv_11a_actual(&p, 0, path.c_str()), 0);
            const int32_t N = (format == 0 ? 400 * 4 : 0) + 80 * 4 * p.ofdm_symbols;
            const int32_t T = static_cast<int32_t>(N + p.burst_off_time * 80e6);
            const std::string file = read_file(path);
            EXPECT_EQ(wavedata_count(file), 8L * T) << "rate " << rate << " format " << format;
            const size_t header = file.find("{WAVEDATA:") + std::string("{WAVEDATA:;").size() +
                                  std::to_string(8L * T).size();
            EXPECT_EQ(file.size(), header + 8u * T + 1u);
        }
    }
}

TEST(Pipeline, OutFieldsByResult) {
    TempDir dir("out");
    const double sentinel = 1234.5;
    auto fresh = [&] {
        WaveParams p = valid_record();
        p.papr = p.crest_i = p.crest_q = sentinel;
        return p;
    };
    // Validation failure: out fields untouched, nothing written.
    WaveParams p = fresh();
    p.ofdm_symbols = 152;
    EXPECT_EQ(static_cast<uint32_t>(orv_11a_actual(&p, 0, dir.file("v.awv").c_str())), 0x80000010u);
    EXPECT_EQ(p.papr, sentinel);
    EXPECT_EQ(p.crest_q, sentinel);
    EXPECT_FALSE(std::filesystem::exists(dir.file("v.awv")));
    const WaveParams before = fresh();
    p = fresh();
    EXPECT_EQ(static_cast<uint32_t>(orv_11a_actual(&p, 3, dir.file("v.awv").c_str())), 0x82000000u);
    EXPECT_EQ(0, std::memcmp(&p, &before, sizeof p)) << "no field may change on a mask";

    // CSV: out fields 0.0 even after a successful write.
    p = fresh();
    EXPECT_EQ(orv_11a_actual(&p, 1, dir.file("c.csv").c_str()), 0);
    EXPECT_EQ(p.papr, 0.0);
    EXPECT_EQ(p.crest_i, 0.0);
    EXPECT_EQ(p.crest_q, 0.0);

    // A missing directory: result 4; in AWG mode the measured values still come back.
    p = fresh();
    EXPECT_EQ(orv_11a_actual(&p, 0, dir.file("missing/a.awv").c_str()), 4);
    EXPECT_NE(p.papr, sentinel);
    WaveParams q = fresh();
    EXPECT_EQ(orv_11a_actual(&q, 0, dir.file("ok.awv").c_str()), 0);
    EXPECT_EQ(p.papr, q.papr);
    EXPECT_EQ(p.crest_i, q.crest_i);
    p = fresh();
    EXPECT_EQ(orv_11a_actual(&p, 1, dir.file("missing/a.csv").c_str()), 4);
    EXPECT_EQ(p.papr, 0.0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));

    // In fields are never written.
    p = fresh();
    WaveParams in_before = p;
    orv_11a_actual(&p, 0, dir.file("ok.awv").c_str());
    EXPECT_EQ(0, std::memcmp(&p, &in_before, offsetof(WaveParams, papr)));
    EXPECT_EQ(0, std::memcmp(&p.frame_format, &in_before.frame_format, 14 * sizeof(int32_t)));
}

// Validation and the pipeline agree on records with the filter on: what
// validation admits is written (an empty burst as an empty file, result 0),
// what the filter would refuse is refused before anything is created.
struct FilterEdgeCase {
    const char* name;
    int32_t frame_format;
    int32_t symbols;
    int32_t burst_enable;
    double gap;          // burst-off time in s
    int32_t taps;
    uint32_t result;     // 0 or the validation mask
    int64_t samples;     // samples in the written file (-1: no file)
};

void PrintTo(const FilterEdgeCase& c, std::ostream* os) { *os << c.name; }

class FilterEdges : public ::testing::TestWithParam<FilterEdgeCase> {};

TEST_P(FilterEdges, ValidationAndPipelineAgree) {
    const FilterEdgeCase& c = GetParam();
    TempDir dir("filter_edges");
    for (int32_t mode = 0; mode < 2; ++mode) {
        WaveParams p = valid_record();
        p.frame_format = c.frame_format;
        p.ofdm_symbols = c.symbols;
        p.burst_enable = c.burst_enable;
        p.burst_off_time = c.gap;
        p.oversampling = 3;
        p.filter_taps = c.taps;
        p.filter_rolloff = 0.2;
        p.filter_cutoff = 17.8e6;
        const std::string path = dir.file(mode == 0 ? "f.awv" : "f.csv");
        EXPECT_EQ(static_cast<uint32_t>(validate_params(&p, mode)), c.result) << "mode " << mode;
        EXPECT_EQ(static_cast<uint32_t>(orv_11a_actual(&p, mode, path.c_str())), c.result)
            << "mode " << mode;
        if (c.samples < 0) {
            EXPECT_FALSE(std::filesystem::exists(path)) << "mode " << mode;
            continue;
        }
        ASSERT_TRUE(std::filesystem::exists(path)) << "mode " << mode;
        const std::string file = read_file(path);
        if (mode == 0) {
            EXPECT_EQ(wavedata_count(file), 8 * c.samples);
        } else {
            EXPECT_EQ(static_cast<int64_t>(std::count(file.begin(), file.end(), '\n')), c.samples);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Records, FilterEdges,
    ::testing::Values(
        FilterEdgeCase{"data_only_no_symbols_no_gap", 1, 0, 0, 0.0, 123, 0u, 0},
        FilterEdgeCase{"data_only_no_symbols_gap_too_short_for_taps", 1, 0, 1, 1e-7, 123,
                       ORV_INVALID | ORV_BAD_FILTER_TAPS, -1},
        FilterEdgeCase{"data_only_no_symbols_gap_of_61_samples", 1, 0, 1, 1.02e-6, 123, 0u, 61},
        FilterEdgeCase{"data_only_one_symbol", 1, 1, 0, 0.0, 123, 0u, 240},
        FilterEdgeCase{"full_format_no_symbols", 0, 0, 0, 0.0, 123, 0u, 1200}),
    [](const ::testing::TestParamInfo<FilterEdgeCase>& row) { return std::string(row.param.name); });

// The run options change how a call runs, never what it writes: a filtered,
// noisy record with a gap (FFT, filter, noise stage, gap streaming and the
// writers all involved) gives the same file under every combination, each
// call starting from the same noise shuffle table.
TEST(Pipeline, RunOptionsChangeNoByte) {
    TempDir dir("options");
    WaveParams p = valid_record();
    p.oversampling = 5;  // chirp-z transforms
    p.ofdm_symbols = 6;
    p.filter_cutoff = 9e6;
    p.filter_taps = 61;
    p.filter_rolloff = 0.3;
    p.noise_enable = 1;
    p.noise_level = -25;
    p.burst_enable = 1;
    p.burst_off_time = 4e-5;
    int32_t table[33];
    noise_table_copy(table);
    std::string reference;
    for (int bits = 0; bits < 16; ++bits) {
        GenerateOptions options;
        options.threads = (bits & 1) != 0;
        options.vectors = (bits & 2) != 0;
        options.stream_gap = (bits & 4) != 0;
        options.prefault = (bits & 8) != 0;
        noise_table_restore(table);
        WaveParams q = p;
        const std::string path = dir.file("o.csv");
        ASSERT_EQ(orv_11a_generate(&q, 1, path.c_str(), options), 0) << "options " << bits;
        const std::string file = read_file(path);
        if (bits == 0) reference = file;
        EXPECT_TRUE(file == reference) << "options " << bits;
    }
    EXPECT_GT(reference.size(), 10000u);
}

TEST(Pipeline, DevFullIsResult4AndStays) {
    struct stat st;
    if (::stat("/dev/full", &st) != 0) GTEST_SKIP() << "no /dev/full";
    for (int32_t mode = 0; mode < 2; ++mode) {
        WaveParams p = valid_record();
        EXPECT_EQ(orv_11a_actual(&p, mode, "/dev/full"), 4) << "mode " << mode;
    }
    ASSERT_EQ(::stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

// Runs body in a child process and returns its exit status (or -signal).
int in_child(const std::function<int()>& body) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// The disk filling up in the middle of the sample block: result 4 and no
// truncated file that looks like a waveform.
TEST(Pipeline, FileSizeLimitMidBlock) {
    TempDir dir("fsize");
    for (int32_t mode = 0; mode < 2; ++mode) {
        const std::string path = dir.file(mode == 0 ? "big.awv" : "big.csv");
        int rc = in_child([&] {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit lim = {64 * 1024, 64 * 1024};
            setrlimit(RLIMIT_FSIZE, &lim);
            WaveParams p = valid_record();
            return orv_11a_actual(&p, mode, path.c_str());
        });
        EXPECT_EQ(rc, 4) << "mode " << mode;
        EXPECT_FALSE(std::filesystem::exists(path)) << "partial file left: " << path;
    }
}

#if defined(__SANITIZE_ADDRESS__)
#define ORV_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORV_UNDER_ASAN 1
#endif
#endif

// Memory exhaustion on the largest record: result 1, nothing written, out fields unchanged.
TEST(Pipeline, OutOfMemoryIsResult1) {
#ifdef ORV_UNDER_ASAN
    GTEST_SKIP() << "an address-space limit cannot be combined with AddressSanitizer";
#else
    TempDir dir("oom");
    const std::string path = dir.file("huge.awv");
    int rc = in_child([&] {
        struct rlimit lim = {1024L * 1024 * 1024, 1024L * 1024 * 1024};
        setrlimit(RLIMIT_AS, &lim);
        WaveParams p = valid_record();
        p.burst_enable = 1;
        p.burst_off_time = 1.0;
        p.oversampling = 10;
        p.papr = 77.0;
        int32_t r = orv_11a_actual(&p, 0, path.c_str());
        return (r == 1 && p.papr == 77.0) ? 1 : 100 + r;
    });
    EXPECT_EQ(rc, 1);
    EXPECT_FALSE(std::filesystem::exists(path));
#endif
}

TEST(Pipeline, NullArguments) {
    WaveParams p = valid_record();
    EXPECT_EQ(orv_11a_actual(&p, 0, nullptr), 4);
    EXPECT_EQ(static_cast<uint32_t>(orv_11a_actual(nullptr, 0, "/tmp/x")), 0x80000000u);
}

}  // namespace

namespace {

// Blocks smaller than this are never prefaulted.
constexpr size_t kPrefaultMinimum = 16u << 20;

TEST(Prefault, StartsForBlocksOfAtLeast16MiB) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    void* block = zeroed_array(kPrefaultMinimum, 1);
    ASSERT_NE(block, nullptr);
    size_t bytes = kPrefaultMinimum - 1;
    EXPECT_EQ(prefault_start(&block, &bytes, 1), nullptr);
    bytes = kPrefaultMinimum;
    PrefaultTask* task = prefault_start(&block, &bytes, 1);
    EXPECT_NE(task, nullptr);
    prefault_finish(task);
    std::free(block);
#else
    GTEST_SKIP() << "no MADV_POPULATE_WRITE: prefaulting is compiled out";
#endif
}

// Mapping pages in ahead on another core changes no byte: a long noisy record
// made with and without it, each in a child forked from the same state (so the
// process-wide noise table is the same for both). The arrays are large enough
// that every prefaulted kind is mapped in: the sample arrays (noise) and, in
// the AWG run, the code arrays (quantiser).
TEST(Pipeline, PrefaultKeepsEveryByte) {
    TempDir dir("prefault");
    for (int32_t mode = 0; mode < 2; ++mode) {
        std::string files[2];
        for (int with = 0; with < 2; ++with) {
            files[with] = dir.file(std::string(with == 1 ? "with" : "without") + (mode == 0 ? ".awv" : ".csv"));
            WaveParams p = valid_record();
            p.oversampling = 10;
            p.ofdm_symbols = 3;
            p.burst_enable = 1;
            p.burst_off_time = mode == 0 ? 0.025 : 0.012;  // 5 006 400 and 2 406 400 samples
            p.noise_enable = 1;
            p.noise_level = -30;
            BurstGeometry g;
            ASSERT_EQ(burst_geometry(p.frame_format, p.burst_enable, p.burst_off_time, p.window_tr,
                                     p.ofdm_symbols, p.oversampling, &g),
                      0);
            const size_t total = static_cast<size_t>(g.total);
            ASSERT_GE(total * sizeof(double), kPrefaultMinimum) << "sample arrays too small";
            if (mode == 0) {
                ASSERT_GE(total * sizeof(int32_t), kPrefaultMinimum) << "code arrays too small";
            }
            int rc = in_child([&] {
                GenerateOptions options;
                options.stream_gap = false;  // the gap's noise stored, so its pages are prefaulted
                options.prefault = with == 1;
                return static_cast<int>(orv_11a_generate(&p, mode, files[with].c_str(), options));
            });
            ASSERT_EQ(rc, 0);
        }
        const std::string a = read_file(files[0]), b = read_file(files[1]);
        ASSERT_GT(a.size(), 1000000u);
        ASSERT_EQ(a.size(), b.size());
        // The DATE item (26 bytes in the AWG header) may differ by a second.
        const size_t date = mode == 0 ? a.find("{DATE:") : a.size();
        const size_t rest = mode == 0 ? date + 26 : a.size();
        EXPECT_EQ(a.compare(0, date, b, 0, date), 0) << "mode " << mode;
        EXPECT_EQ(a.compare(rest, std::string::npos, b, rest, std::string::npos), 0) << "mode " << mode;
    }
}

// The AWG file with its DATE item (which may differ by a second) blanked.
std::string without_date(std::string file) {
    const size_t date = file.find("{DATE:");
    if (date != std::string::npos && date + 26 <= file.size()) file.replace(date, 26, 26, '-');
    return file;
}

struct GapStreamCase {
    const char* name;
    int32_t mode;
    int32_t os;
    double gap;        // burst-off time in s
    double noise_db;
    double cutoff_hz;  // 0: no filter
};

// What one call and a noisy call after it leave: the first file (DATE
// blanked), its result and standard output, and the second file, which shows
// where the first call left the process-wide shuffle table.
struct GapStreamRun {
    int rc = -1;
    std::string file, out, next;
};

// Keeps the calling process on the first processor it may use.
bool pin_to_one_core() {
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return false;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &allowed)) continue;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        return sched_setaffinity(0, sizeof one, &one) == 0;
    }
    return false;
}

GapStreamRun run_gap_case(const GapStreamCase& c, const TempDir& dir, const std::string& tag,
                          const std::string& path, bool stream, bool threads,
                          bool one_core = false) {
    const std::string out = dir.file(tag + ".stdout"), next = dir.file(tag + ".next.csv");
    GapStreamRun r;
    r.rc = in_child([&] {
        std::FILE* f = std::freopen(out.c_str(), "w", stdout);
        if (f == nullptr) return 99;
        if (one_core && !pin_to_one_core()) return 97;
        GenerateOptions options;
        options.stream_gap = stream;
        options.threads = threads;
        WaveParams p = valid_record();
        p.ofdm_symbols = 4;
        p.oversampling = c.os;
        p.burst_enable = 1;
        p.burst_off_time = c.gap;
        p.noise_enable = 1;
        p.noise_level = c.noise_db;
        p.filter_cutoff = c.cutoff_hz;
        const int32_t rc = orv_11a_generate(&p, c.mode, path.c_str(), options);
        WaveParams q = valid_record();
        q.ofdm_symbols = 1;
        q.noise_enable = 1;
        q.noise_level = -20;
        if (orv_11a_actual(&q, 1, next.c_str()) != 0) return 98;
        std::fflush(stdout);
        return static_cast<int>(rc);
    });
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec)) r.file = without_date(read_file(path));
    r.out = read_file(out);
    r.next = read_file(next);
    return r;
}

// Drawing the gap's noise while the file is written keeps every byte: the
// file, the round-error lines, and where the shuffle table is left (so the
// next noisy call), with and without the writer's second thread, for short
// gaps (one block) and long ones (the threaded writer, the filter's
// wrap-around at the gap's end), and when the file cannot be opened or a
// write fails (the noise stage still runs to its end). The files do not
// depend on the number of cores: the threaded runs are repeated on one.
TEST(Pipeline, GapStreamKeepsEveryByte) {
    const GapStreamCase cases[] = {
        {"awg_short_gap", 0, 4, 2e-5, -30.0, 0.0},
        {"awg_long_gap_filtered", 0, 10, 2e-3, -30.0, 8e6},
        {"awg_gap_noise_above_peak", 0, 4, 1e-3, 10.0, 0.0},
        {"csv_short_gap", 1, 2, 1e-5, -30.0, 0.0},
        {"csv_long_gap_filtered", 1, 8, 5e-4, -40.0, 8e6},
    };
    TempDir dir("gapstream");
    for (const GapStreamCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string ext = c.mode == 0 ? ".awv" : ".csv";
        const std::string ref_path = dir.file(std::string("ref") + ext);
        const GapStreamRun ref = run_gap_case(c, dir, "ref", ref_path, false, true);
        ASSERT_EQ(ref.rc, 0);
        ASSERT_GT(ref.file.size(), 10000u);
        ASSERT_FALSE(ref.next.empty());
        if (c.noise_db > 0) {
            EXPECT_NE(ref.out.find("Round ERROR"), std::string::npos) << ref.out;
        }
        // Without the second thread, with it, and with it on one core.
        for (int threads = 0; threads < 3; ++threads) {
            const std::string path = dir.file(std::string("run") + ext);
            const GapStreamRun run =
                run_gap_case(c, dir, "run", path, true, threads >= 1, threads == 2);
            EXPECT_EQ(run.rc, 0);
            EXPECT_TRUE(run.file == ref.file) << "threads " << threads;
            EXPECT_EQ(run.out, ref.out) << "threads " << threads;
            EXPECT_TRUE(run.next == ref.next) << "threads " << threads;
        }
        // Failures: no folder (not opened), and /dev/full (every write fails).
        std::vector<std::string> failing = {dir.file("missing/x") + ext};
        struct stat st;
        if (::stat("/dev/full", &st) == 0) failing.push_back("/dev/full");
        for (const std::string& path : failing) {
            const GapStreamRun fref = run_gap_case(c, dir, "fref", path, false, true);
            const GapStreamRun frun = run_gap_case(c, dir, "frun", path, true, true);
            EXPECT_EQ(fref.rc, 4) << path;
            EXPECT_EQ(frun.rc, 4) << path;
            EXPECT_EQ(frun.out, fref.out) << path;
            EXPECT_TRUE(frun.next == fref.next) << path;
            EXPECT_TRUE(frun.next == ref.next) << path;
        }
    }
}

// Calls from two threads at once are serialised: each writes exactly what it
// writes alone (filtered records exercise the FFT cache and the filter's taps;
// before the lock, this corrupted files and the heap).
TEST(Pipeline, ConcurrentCallsWriteWhatEachWritesAlone) {
    TempDir dir("concurrent");
    struct Job {
        WaveParams p;
        int32_t mode;
        std::string reference;
    };
    std::vector<Job> jobs;
    for (int k = 0; k < 4; ++k) {
        WaveParams p = valid_record();
        p.ofdm_symbols = 6 + k;
        p.oversampling = k % 2 == 0 ? 5 : 8;  // chirp-z and radix-2 transforms
        p.rate_index = 2 * k;
        p.filter_cutoff = 10e6;
        p.filter_taps = 101 + 50 * k;
        p.filter_rolloff = 0.3;
        const int32_t mode = 1;  // CSV: no DATE to mask
        const std::string path = dir.file("ref" + std::to_string(k) + ".csv");
        ASSERT_EQ(orv_11a_actual(&p, mode, path.c_str()), 0);
        jobs.push_back({p, mode, read_file(path)});
    }
    std::vector<std::string> failures[2];
    std::thread threads[2];
    for (int t = 0; t < 2; ++t) {
        threads[t] = std::thread([&, t] {
            for (int round = 0; round < 20; ++round) {
                const Job& job = jobs[(round + 2 * t) % jobs.size()];
                WaveParams p = job.p;
                char name[32];
                std::snprintf(name, sizeof name, "t%d_%d.csv", t, round);
                const std::string path = dir.file(name);
                if (orv_11a_actual(&p, job.mode, path.c_str()) != 0 || read_file(path) != job.reference)
                    failures[t].push_back(path);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_TRUE(failures[0].empty() && failures[1].empty())
        << failures[0].size() + failures[1].size() << " of 40 files differ";
}

}  // namespace

namespace {

// I and Q come as one block, zero from the burst's end on whether the block
// is a fresh mapping (cleared by the kernel) or heap memory (cleared by
// hand); the work array exists only when asked for.
TEST(Buffers, GapIsZeroAndWorkOnlyWhenAsked) {
    struct Case {
        int32_t total, burst;
        bool work;
    };
    // Heap-sized and mapping-sized blocks (2 x 3 000 000 doubles = 48 MB),
    // an empty burst, a burst filling the record, an empty record.
    const Case cases[] = {{1000, 300, false}, {1000, 0, true},      {1000, 1000, true},
                          {0, 0, false},      {3000000, 1234, true}};
    for (const Case& c : cases) {
        // Leave nonzero bytes in freed heap memory, where the next block may come from.
        {
            std::vector<char*> junk;
            for (int k = 0; k < 4; ++k) {
                char* p = static_cast<char*>(std::malloc(2 * 8 * static_cast<size_t>(c.total) + 64));
                ASSERT_NE(p, nullptr);
                std::memset(p, 0x5A, 2 * 8 * static_cast<size_t>(c.total) + 64);
                junk.push_back(p);
            }
            for (char* p : junk) std::free(p);
        }
        SampleBuffers b;
        ASSERT_EQ(allocate_buffers(c.total, c.burst, c.work, &b), 0);
        ASSERT_NE(b.i, nullptr);
        EXPECT_EQ(b.q, b.i + c.total);
        EXPECT_EQ(b.work != nullptr, c.work);
        for (int32_t k = c.burst; k < c.total; ++k) {
            ASSERT_EQ(std::memcmp(&b.i[k], "\0\0\0\0\0\0\0\0", 8), 0) << "I " << k;
            ASSERT_EQ(std::memcmp(&b.q[k], "\0\0\0\0\0\0\0\0", 8), 0) << "Q " << k;
        }
        if (c.work) b.work[c.total > 0 ? c.total - 1 : 0] = 1.0;  // the whole array is there
        free_buffers(&b);
        EXPECT_EQ(b.i, nullptr);
        EXPECT_EQ(b.work, nullptr);
    }
}

// No stage reads a sample it did not write: with the heap full of nonzero
// bytes left by earlier blocks, filtered, windowed, gapped and noiseless
// records of both formats give the bytes they give in a fresh process.
TEST(Pipeline, FilesDoNotDependOnWhatTheHeapHeld) {
    TempDir dir("heap");
    for (int32_t frame_format : {0, 1}) {
        WaveParams p = valid_record();
        p.frame_format = frame_format;
        p.oversampling = 5;
        p.ofdm_symbols = 7;
        p.burst_enable = 1;
        p.burst_off_time = 20e-6;
        p.window_tr = 1e-7;
        p.filter_cutoff = 10e6;
        p.filter_rolloff = 0.3;
        p.filter_taps = 101;
        const std::string fresh = dir.file("fresh.csv"), dirty = dir.file("dirty.csv");
        const int rc = in_child([&] {
            WaveParams c = p;
            return static_cast<int>(orv_11a_actual(&c, 1, fresh.c_str()));
        });
        ASSERT_EQ(rc, 0);
        for (int k = 0; k < 8; ++k) {
            char* junk = static_cast<char*>(std::malloc(1 << 20));
            ASSERT_NE(junk, nullptr);
            std::memset(junk, 0xA5, 1 << 20);
            std::free(junk);
        }
        WaveParams c = p;
        ASSERT_EQ(orv_11a_actual(&c, 1, dirty.c_str()), 0);
        EXPECT_TRUE(read_file(fresh) == read_file(dirty)) << "frame format " << frame_format;
    }
}

}  // namespace
