// A long waveform written in one run at the peak its source announces: the
// same files as the two runs of a source that announces nothing when no later
// sample exceeds it, a later one beyond full scale saturated (its phase
// kept), and a second run exactly when nothing usable was announced.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "burst_source.h"
#include "instrument.h"
#include "support/default_record.h"
#include "support/files.h"

namespace {

using orv::instrument::Announcement;
using orv::instrument::AnnounceSink;
using orv::instrument::BlockSink;
using orv::instrument::Result;
using orv::instrument::SampleSource;

// n samples of a slow spiral, |x| from 0.1 up to 1 at sample peak_at, in blocks of 1000.
std::vector<double> spiral(int64_t n, int64_t peak_at, bool imag) {
    std::vector<double> v(static_cast<size_t>(n));
    for (int64_t k = 0; k < n; ++k) {
        const double r = k == peak_at ? 1.0 : 0.1 + 0.5 * static_cast<double>(k) / static_cast<double>(n);
        v[static_cast<size_t>(k)] = imag ? r * std::sin(0.01 * static_cast<double>(k)) : r * std::cos(0.01 * static_cast<double>(k));
    }
    return v;
}

// A source of the spiral announcing announced (< 0: nothing); runs counts its runs.
SampleSource spiral_source(int64_t n, int64_t peak_at, double announced, int* runs) {
    SampleSource s;
    s.count = n;
    s.fs = 20e6;
    s.on_air = {{0, n}};
    auto i = std::make_shared<std::vector<double>>(spiral(n, peak_at, false));
    auto q = std::make_shared<std::vector<double>>(spiral(n, peak_at, true));
    s.run_announced = [=](const AnnounceSink& announce, const BlockSink& sink) -> int32_t {
        ++*runs;
        if (announced >= 0 && announce) announce(Announcement{announced, n});
        for (int64_t at = 0; at < n; at += 1000) {
            const auto m = static_cast<int32_t>(std::min<int64_t>(1000, n - at));
            if (!sink(m, i->data() + at, q->data() + at)) return 1;
        }
        return 0;
    };
    s.run = [announced_run = s.run_announced](const BlockSink& sink) { return announced_run(AnnounceSink{}, sink); };
    return s;
}

// The WV and Keysight files of src (long: never kept in memory), as bytes.
struct Written {
    std::string wv, bin, mkr;
    Result wv_res;
};

Written write_both(const SampleSource& src, const orv_test::TempDir& dir, const std::string& name) {
    Written w;
    std::string error;
    orv::instrument::WvOptions wo;
    wo.memory_samples = 0;
    wo.date = "2026-01-02;03:04:05";
    wo.backoff_db = 1;
    const std::string wv = dir.file(name + ".wv"), bin = dir.file(name + ".bin");
    EXPECT_EQ(orv::instrument::write_wv(wv, src, wo, w.wv_res, error), 0) << error;
    orv::instrument::KeysightOptions ko;
    ko.memory_samples = 0;
    ko.backoff_db = 1;
    Result kr;
    EXPECT_EQ(orv::instrument::write_keysight(bin, src, ko, kr, error), 0) << error;
    w.wv = orv_test::read_file(wv);
    w.bin = orv_test::read_file(bin);
    w.mkr = orv_test::read_file(orv::instrument::marker_path(bin));
    return w;
}

struct Announced {
    const char* name;
    int64_t peak_at;     // the spiral's largest sample
    double announced;    // power announced, < 0 none
    int runs_per_file;   // the writer's runs of the source for each file
    int64_t saturated;   // samples beyond full scale at the announced peak's scale
};

void PrintTo(const Announced& c, std::ostream* os) { *os << c.name; }

class OneRun : public ::testing::TestWithParam<Announced> {};

TEST_P(OneRun, SameFilesAsTwoRuns) {
    const Announced& c = GetParam();
    const orv_test::TempDir dir;
    constexpr int64_t n = 10000;
    int runs = 0, reference_runs = 0;
    const SampleSource src = spiral_source(n, c.peak_at, c.announced, &runs);
    SampleSource reference = spiral_source(n, c.peak_at, -1, &reference_runs);
    reference.run_announced = nullptr;  // measured in a first run, written in a second
    const Written got = write_both(src, dir, "one");
    const Written want = write_both(reference, dir, "two");
    EXPECT_EQ(runs, 2 * c.runs_per_file);
    EXPECT_EQ(reference_runs, 4);
    EXPECT_EQ(got.wv_res.saturated, c.saturated);
    EXPECT_TRUE(got.mkr == want.mkr);
    if (c.saturated == 0) {
        EXPECT_TRUE(got.wv == want.wv);
        EXPECT_TRUE(got.bin == want.bin);
        EXPECT_EQ(got.wv_res.scale, want.wv_res.scale);
        EXPECT_EQ(got.wv_res.rms_offset_db, want.wv_res.rms_offset_db);
        return;
    }
    // The saturated sample at full scale with its phase; the others at the announced peak's scale.
    ASSERT_EQ(got.bin.size(), want.bin.size());
    auto code = [](const std::string& b, int64_t k, int part) {
        const size_t at = static_cast<size_t>(4 * k + 2 * part);
        return static_cast<int16_t>(static_cast<uint8_t>(b[at]) << 8 | static_cast<uint8_t>(b[at + 1]));
    };
    const double ci = code(got.bin, c.peak_at, 0), cq = code(got.bin, c.peak_at, 1);
    EXPECT_NEAR(std::hypot(ci, cq), 32767, 1.0);
    EXPECT_NEAR(std::atan2(cq, ci), std::atan2(std::sin(0.01 * c.peak_at), std::cos(0.01 * c.peak_at)), 1e-4);
    const double announced_scale = 32767 * std::pow(10.0, -1 / 20.0) / std::sqrt(c.announced);
    EXPECT_DOUBLE_EQ(got.wv_res.scale, announced_scale);
    EXPECT_NEAR(code(got.bin, 100, 0), spiral(n, c.peak_at, false)[100] * announced_scale, 0.5);
    EXPECT_NEAR(got.wv_res.peak_offset_db, 0.0, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Announcements, OneRun,
    ::testing::Values(Announced{"peak_announced_first", 0, 1.0, 1, 0},
                      Announced{"exceeded_later_saturated", 9000, 0.5, 1, 1},
                      Announced{"above_every_sample", 0, 1.5, 2, 0},
                      Announced{"nothing_announced", 10, -1, 2, 0},
                      Announced{"not_finite", 10, INFINITY, 2, 0}),
    [](const ::testing::TestParamInfo<Announced>& i) { return std::string(i.param.name); });

// The library's record with a noisy gap far below the burst: one run, the bytes of two.
TEST(OneRunBurst, NoisyGapWrittenInOneRun) {
    const orv_test::TempDir dir;
    WaveParams rec = orv_test::default_record(4);
    rec.noise_enable = 1;
    rec.noise_level = -70;
    SampleSource src;
    std::string error;
    ASSERT_EQ(orv::instrument::burst_source(rec, src, error), 0) << error;
    SampleSource reference = src;  // the same noise: every run starts where the first did
    int runs = 0;
    const auto announced = src.run_announced;
    src.run_announced = [&runs, announced](const AnnounceSink& a, const BlockSink& b) {
        ++runs;
        return announced(a, b);
    };
    reference.run_announced = nullptr;
    const Written got = write_both(src, dir, "one");
    const Written want = write_both(reference, dir, "two");
    EXPECT_EQ(runs, 2);  // one for each file
    EXPECT_TRUE(got.wv == want.wv);
    EXPECT_TRUE(got.bin == want.bin);
    EXPECT_TRUE(got.mkr == want.mkr);
}

}  // namespace
