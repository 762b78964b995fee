// What the analysis gives the viewer to draw: the power envelope and its
// decimation, the mask outline, the ideal constellation points, the Gaussian
// CCDF and the report lines of failed checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "analysis.h"
#include "ofdm.h"
#include "orvasynth.h"
#include "support/records.h"

namespace {

using namespace orv::analysis;

// A trace of `samples` samples, the first `kept` of them stored, windows of 8 samples.
PowerTrace make_trace(int64_t samples, int64_t kept, float level) {
    PowerTrace t;
    t.samples = samples;
    t.window = 8;
    t.sample_power.assign(static_cast<size_t>(kept), level);
    t.window_min.assign(static_cast<size_t>((samples + 7) / 8), level);
    t.window_max.assign(static_cast<size_t>((samples + 7) / 8), level);
    t.reference_power = level;
    return t;
}

TEST(DecimatePower, ColumnsPartitionTheRangeAndKeepEverySpike) {
    PowerTrace t = make_trace(1000, 1000, 1.0f);
    t.sample_power[123] = 100.0f;   // +20 dB
    t.sample_power[777] = 0.001f;   // -30 dB
    const std::vector<PowerColumn> cols = decimate_power(t, 0, 1000, 7);
    ASSERT_EQ(cols.size(), 7u);
    int64_t next = 0;
    double top = -1e9, bottom = 1e9;
    for (const PowerColumn& c : cols) {
        EXPECT_EQ(c.first, next);
        EXPECT_GT(c.count, 0);
        next = c.first + c.count;
        top = std::max(top, c.max_db);
        bottom = std::min(bottom, c.min_db);
    }
    EXPECT_EQ(next, 1000);
    EXPECT_NEAR(top, 20.0, 1e-5);
    EXPECT_NEAR(bottom, -30.0, 1e-4);
    // Only the column holding sample 123 shows the spike.
    for (const PowerColumn& c : cols) {
        const bool holds = c.first <= 123 && 123 < c.first + c.count;
        EXPECT_EQ(c.max_db > 10.0, holds) << c.first;
    }
}

TEST(DecimatePower, OneColumnPerSampleWhenZoomedIn) {
    PowerTrace t = make_trace(1000, 1000, 1.0f);
    for (int k = 0; k < 1000; ++k) t.sample_power[static_cast<size_t>(k)] = static_cast<float>(1 + k);
    const std::vector<PowerColumn> cols = decimate_power(t, 500, 505, 1200);
    ASSERT_EQ(cols.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(cols[static_cast<size_t>(i)].first, 500 + i);
        EXPECT_EQ(cols[static_cast<size_t>(i)].count, 1);
        EXPECT_DOUBLE_EQ(cols[static_cast<size_t>(i)].min_db, cols[static_cast<size_t>(i)].max_db);
        EXPECT_NEAR(cols[static_cast<size_t>(i)].max_db, 10 * std::log10(501.0 + i), 1e-5);
    }
}

TEST(DecimatePower, BeyondTheKeptSamplesTheWindowsCount) {
    PowerTrace t = make_trace(4000, 100, 1.0f);
    t.window_max[2000 / 8] = 1000.0f;  // +30 dB somewhere in window 250
    t.window_min[3000 / 8] = 0.0f;     // silence in window 375
    const std::vector<PowerColumn> cols = decimate_power(t, 0, 4000, 4);
    ASSERT_EQ(cols.size(), 4u);
    EXPECT_NEAR(cols[2].max_db, 30.0, 1e-5);
    EXPECT_NEAR(cols[0].max_db, 0.0, 1e-6);
    EXPECT_EQ(cols[3].min_db, kPowerFloorDb);
    EXPECT_NEAR(cols[3].max_db, 0.0, 1e-6);
}

TEST(DecimatePower, RangesOutsideTheFileAreClamped) {
    const PowerTrace t = make_trace(100, 100, 2.0f);
    struct Case {
        int64_t from, to;
        int columns;
        size_t expected;
    } cases[] = {{-50, 50, 10, 10}, {90, 500, 100, 10}, {200, 300, 10, 0}, {60, 40, 10, 0}, {0, 100, 0, 0}};
    for (const Case& c : cases) {
        const std::vector<PowerColumn> cols = decimate_power(t, c.from, c.to, c.columns);
        EXPECT_EQ(cols.size(), c.expected) << c.from << ".." << c.to;
        for (const PowerColumn& col : cols) {
            EXPECT_GE(col.first, 0);
            EXPECT_LE(col.first + col.count, 100);
        }
    }
}

TEST(MaskOutline, CornersOfTheTransmitMask) {
    const std::vector<MaskCorner> m = mask_outline(80e6);
    const MaskCorner expected[] = {{-80e6, -40}, {-30e6, -40}, {-20e6, -28}, {-11e6, -20}, {-9e6, 0},
                                   {9e6, 0},     {11e6, -20},  {20e6, -28},  {30e6, -40},  {80e6, -40}};
    ASSERT_EQ(m.size(), std::size(expected));
    for (size_t i = 0; i < m.size(); ++i) {
        EXPECT_DOUBLE_EQ(m[i].offset_hz, expected[i].offset_hz) << i;
        EXPECT_NEAR(m[i].limit_dbr, expected[i].limit_dbr, 1e-12) << i;
    }
    // A span of 20 MHz (oversampling 1) ends inside the first slope.
    const std::vector<MaskCorner> narrow = mask_outline(10e6);
    ASSERT_EQ(narrow.size(), 4u);
    EXPECT_NEAR(narrow.front().limit_dbr, -10.0, 1e-12);
    EXPECT_NEAR(mask_limit_dbr(25.0), -34.0, 1e-12);
    EXPECT_TRUE(mask_outline(0).empty());
}

TEST(IdealPoints, EveryRateGivesItsConstellation) {
    const struct {
        int mbps;
        size_t points;
        int n_bpsc;
    } rates[] = {{6, 2, 1}, {9, 2, 1}, {12, 4, 2}, {18, 4, 2}, {24, 16, 4}, {36, 16, 4}, {48, 64, 6}, {54, 64, 6}};
    for (const auto& c : rates) {
        const std::vector<cd> pts = ideal_points(c.mbps);
        ASSERT_EQ(pts.size(), c.points) << c.mbps;
        double power = 0;
        for (const cd& p : pts) {
            power += std::norm(p);
            EXPECT_LT(std::abs(slice(p, c.n_bpsc, nullptr) - p), 1e-12) << c.mbps;  // on the receiver's grid
        }
        EXPECT_NEAR(power / static_cast<double>(pts.size()), 1.0, 1e-12) << c.mbps;
    }
    EXPECT_TRUE(ideal_points(11).empty());
}

TEST(Ccdf, GaussianReferenceAndCurveProbabilities) {
    EXPECT_NEAR(gaussian_ccdf_db(0.1), 3.622, 1e-3);
    EXPECT_NEAR(gaussian_ccdf_db(0.01), 6.632, 1e-3);
    EXPECT_NEAR(gaussian_ccdf_db(1e-4), 9.643, 1e-3);
    EXPECT_DOUBLE_EQ(ccdf_curve_probability(0), 1.0);
    EXPECT_NEAR(ccdf_curve_probability(80), 1e-4, 1e-16);
    EXPECT_NEAR(ccdf_curve_probability(20), 0.1, 1e-15);
}

// The default burst of the window (36 Mbit/s, 100 symbols, oversampling 8, 160 us gap), optionally filtered.
Result analyse_default(bool filtered, const TempDir& dir) {
    WaveParams p = valid_record();
    p.rate_index = 5;
    p.oversampling = 8;
    p.burst_enable = 1;
    p.burst_off_time = 160e-6;
    p.filter_rolloff = 0.25;
    if (filtered) p.filter_cutoff = 9e6;
    const std::string path = dir.file("d.awv");
    EXPECT_EQ(orv_11a_actual(&p, 0, path.c_str()), 0);
    return analyse_file(path, {});
}

TEST(ViewData, PowerTraceOfTheDefaultBurst) {
    TempDir dir("viewdata");
    const Result r = analyse_default(false, dir);
    EXPECT_EQ(r.power.samples, 92800);
    EXPECT_EQ(static_cast<int64_t>(r.power.sample_power.size()), 92800);
    EXPECT_EQ(r.power.window_min.size(), 92800u / 32);
    // The burst's peak above its mean is its PAPR; the gap is silent.
    const std::vector<PowerColumn> burst = decimate_power(r.power, r.burst.start, r.burst.start + r.burst.length, 800);
    double top = kPowerFloorDb;
    for (const PowerColumn& c : burst) top = std::max(top, c.max_db);
    EXPECT_NEAR(top, r.papr_db, 1e-4);
    const std::vector<PowerColumn> gap = decimate_power(r.power, 67200, 92800, 100);
    for (const PowerColumn& c : gap) EXPECT_LT(c.max_db, -60.0) << c.first;
    // The mask's worst point is the PSD bin at the reported offset.
    ASSERT_TRUE(r.mask.worst_psd_dbr && r.mask.worst_offset_hz && r.mask.margin_db);
    EXPECT_NEAR(mask_limit_dbr(*r.mask.worst_offset_hz / 1e6) - *r.mask.worst_psd_dbr, *r.mask.margin_db, 1e-12);
    const auto bin = std::find(r.mask.freq_hz.begin(), r.mask.freq_hz.end(), *r.mask.worst_offset_hz);
    ASSERT_NE(bin, r.mask.freq_hz.end());
    EXPECT_EQ(r.mask.psd_dbr[static_cast<size_t>(bin - r.mask.freq_hz.begin())], *r.mask.worst_psd_dbr);
    EXPECT_EQ(measured_subcarriers().size(), r.evm_per_subcarrier_db.size());
}

TEST(ReportLines, FailedChecksAreMarked) {
    TempDir dir("reportlines");
    const Result unfiltered = analyse_default(false, dir);
    const Result filtered = analyse_default(true, dir);
    ASSERT_FALSE(unfiltered.pass());
    ASSERT_TRUE(filtered.pass());
    auto failed_labels = [](const Result& r) {
        std::vector<std::string> out;
        std::string text;
        for (const ReportLine& l : report_lines(r)) {
            text += l.text + "\n";
            if (l.failed) out.push_back(l.text.substr(0, 12));
        }
        EXPECT_EQ(text, format_report(r));
        return out;
    };
    EXPECT_TRUE(failed_labels(filtered).empty());
    const std::vector<std::string> mask_failed = {"Mask        ", "Verdict     ", "            "};
    EXPECT_EQ(failed_labels(unfiltered), mask_failed);

    Result r = filtered;  // each check failed on its own marks its own line
    const struct {
        const char* label;
        void (*fail)(Result&);
    } cases[] = {
        {"EVM         ", [](Result& x) { x.evm_db = -10.0; x.failures.push_back("EVM"); }},
        {"DC leakage  ", [](Result& x) { x.dc_leakage_db = -3.0; x.failures.push_back("DC"); }},
        {"Flatness    ", [](Result& x) { x.flatness_ok = false; x.failures.push_back("flat"); }},
        {"Payload     ", [](Result& x) { x.payload->bit_errors = 3; x.failures.push_back("bits"); }},
        {"SIGNAL      ", [](Result& x) { x.signal->parity_ok = false; x.failures.push_back("parity"); }},
    };
    for (const auto& c : cases) {
        Result x = r;
        c.fail(x);
        const std::vector<std::string> got = failed_labels(x);
        ASSERT_EQ(got.size(), 3u) << c.label;
        EXPECT_EQ(got[0], c.label);
        EXPECT_EQ(got[1], "Verdict     ");
    }
    Result h = r;
    h.file.header_ok = false;
    h.failures.push_back("header");
    bool header_marked = false;
    for (const ReportLine& l : report_lines(h)) header_marked = header_marked || (l.failed && l.text.find("header PAPR") != std::string::npos);
    EXPECT_TRUE(header_marked);
}

// The file line names where the sampling rate came from, in words for each source.
TEST(ReportLines, SampleRateSourceInWords) {
    TempDir dir("ratesource");
    Result r = analyse_default(true, dir);
    const struct {
        const char* source;
        const char* words;
    } cases[] = {{"header", ", rate from the header)"}, {"option", ", rate from the option)"},
                 {"metadata", ", rate from the metadata)"}, {"assumed", ", rate assumed)"}};
    for (const auto& c : cases) {
        r.file.sample_rate_source = c.source;
        const std::string text = format_report(r);
        EXPECT_NE(text.find(c.words), std::string::npos) << c.source << ":\n" << text.substr(0, 300);
        EXPECT_EQ(text.find("from the assumed"), std::string::npos);
    }
}

}  // namespace
