// The packets' transmit spectrum and CCDF accumulated as a file streams past: the
// power histogram against the exact sorted levels, the streaming Welch sum against the
// sum over the whole array, and a file longer than the part the analysis keeps whose
// later packets alone fail the mask; then the sine interferer in such a file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <numbers>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "analysis.h"
#include "cli/orvgen_run.h"
#include "packet_spectrum.h"
#include "support/files.h"

namespace {

using C = std::complex<double>;
namespace an = orv::analysis;

// ---- The power histogram against the sorted powers ----

struct HistogramCase {
    std::string name;
    std::function<double(std::mt19937&, int)> power;  // the k-th sample's |x|^2
    int samples;
};
void PrintTo(const HistogramCase& c, std::ostream* os) { *os << c.name; }

class Histogram : public ::testing::TestWithParam<HistogramCase> {};

double unit_normal(std::mt19937& g) { return std::normal_distribution<double>(0.0, 1.0)(g); }

// The level of the sample at floor(p n) of the powers in descending order, over the mean,
// as the summary's CCDF was taken before: the histogram's within half a bin of it.
TEST_P(Histogram, LevelsWithinHalfABinOfTheSortedPowers) {
    const HistogramCase& c = GetParam();
    std::mt19937 gen(11);
    std::vector<double> p(static_cast<size_t>(c.samples));
    an::PowerHistogram h;
    double sum = 0;
    for (int k = 0; k < c.samples; ++k) {
        p[static_cast<size_t>(k)] = c.power(gen, k);
        sum += p[static_cast<size_t>(k)];
        h.add(p[static_cast<size_t>(k)]);
    }
    ASSERT_EQ(h.count(), c.samples);
    EXPECT_EQ(h.mean(), sum / c.samples);
    std::sort(p.begin(), p.end(), std::greater<>());
    for (double prob : {0.5, 0.1, 0.01, 0.001, 0.0001, 0.0}) {
        const size_t idx = std::min(static_cast<size_t>(prob * c.samples), p.size() - 1);
        const double exact = 10.0 * std::log10(std::max(p[idx], 1e-300) / (sum / c.samples));
        EXPECT_NEAR(h.level_db(prob), exact, an::PowerHistogram::kBinDb / 2 + 1e-9) << "probability " << prob;
    }
}


INSTANTIATE_TEST_SUITE_P(
    Powers, Histogram,
    ::testing::Values(
        HistogramCase{"complex_gaussian", [](std::mt19937& g, int) { return std::norm(C(unit_normal(g), unit_normal(g))); }, 200000},
        HistogramCase{"constant_envelope", [](std::mt19937&, int) { return 0.3; }, 5000},
        HistogramCase{"two_levels_one_in_a_thousand_20_db_up", [](std::mt19937&, int k) { return k % 1000 ? 1e-3 : 1e-1; }, 100000},
        HistogramCase{"200_db_of_dynamic_range", [](std::mt19937& g, int) { return std::pow(10.0, std::uniform_real_distribution<double>(-12, 8)(g)); }, 50000},
        HistogramCase{"rising_power_grows_the_bins_upwards", [](std::mt19937&, int k) { return 1e-9 * std::pow(1.001, k); }, 30000},
        HistogramCase{"falling_power_grows_the_bins_downwards", [](std::mt19937&, int k) { return std::pow(0.999, k); }, 30000},
        HistogramCase{"mostly_silent_samples", [](std::mt19937& g, int k) { return k % 50 ? 0.0 : std::norm(C(unit_normal(g), 1.0)); }, 100000},
        HistogramCase{"a_single_sample", [](std::mt19937&, int) { return 2.0; }, 1}),
    [](const ::testing::TestParamInfo<HistogramCase>& i) { return i.param.name; });

// Powers at the ends of the double range: the smallest subnormal and an |x|^2 that overflowed
// land in the end bins; the levels of the ordinary samples between them hold.
TEST(Histogram, PowersAtTheEndsOfTheDoubleRange) {
    an::PowerHistogram h;
    for (int k = 0; k < 998; ++k) h.add(1.0);
    h.add(4.9e-324);
    h.add(1e300);
    EXPECT_EQ(h.count(), 1000);
    EXPECT_NEAR(h.level_db(0.0), 3000.0 - 10.0 * std::log10(h.mean()), an::PowerHistogram::kBinDb);
    EXPECT_NEAR(h.level_db(0.5), -10.0 * std::log10(h.mean()), an::PowerHistogram::kBinDb);
    // |x|^2 beyond the double range: no CCDF (levels over an infinite mean), no crash.
    an::PacketSpectrum s(1);
    s.add_span(0, 1000);
    std::vector<C> x(1000, C(1.0, 0.0));
    x[500] = C(1e200, 0.0);
    s.push(x.data(), x.size());
    EXPECT_TRUE(s.finish().ccdf.empty());
}

TEST(Histogram, NoPowerGivesNoCcdf) {
    an::PacketSpectrum s(2);
    s.add_span(0, 2000);
    const std::vector<C> zeros(3000, C(0, 0));
    s.push(zeros.data(), zeros.size());
    const an::PacketSpectrumResult r = s.finish();
    EXPECT_TRUE(r.ccdf.empty());
    EXPECT_FALSE(r.mask);
}

// ---- The streaming Welch sum against the whole array ----

// Noise with a line at fs / 8 and a step of level halfway: every span's segments differ.
std::vector<C> test_signal(int64_t n, int os) {
    std::mt19937 gen(5);
    std::vector<C> x(static_cast<size_t>(n));
    for (int64_t k = 0; k < n; ++k)
        x[static_cast<size_t>(k)] = C(unit_normal(gen), unit_normal(gen)) * (k < n / 2 ? 1.0 : 3.0) +
                                    std::polar(4.0, 2.0 * std::numbers::pi * static_cast<double>(k) / 8.0 / os);
    return x;
}

struct StreamCase {
    std::string name;
    int os;
    std::vector<std::pair<int64_t, int64_t>> spans;
    size_t piece;          // samples a push
    int64_t settle_lag;    // the spans are given this many samples after their start has gone past
};
void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

class Streaming : public ::testing::TestWithParam<StreamCase> {};

constexpr int64_t kSignalSamples = 400000;

// Spans given late (as the packet receiver finds them) and samples given in pieces: the same
// PSD, bit for bit, as the segments taken straight from the whole array, and the same CCDF as
// all of it given at once; the samples held stay within the open spans and the lag.
TEST_P(Streaming, SameAsTheWholeArrayAndBounded) {
    const StreamCase& c = GetParam();
    const std::vector<C> x = test_signal(kSignalSamples, c.os);
    // Reference: every segment of each span (clipped to the array) straight from x.
    const int n = static_cast<int>(std::lround(1.5 * 20e6 * c.os / 100e3));
    an::WelchSum direct(n);
    for (auto [a, b] : c.spans) {
        a = std::max<int64_t>(a, 0), b = std::min<int64_t>(b, kSignalSamples);
        for (int64_t s = a; s + n <= b; s += n / 2) direct.add(&x[static_cast<size_t>(s)]);
    }
    ASSERT_GT(direct.segments(), 0);
    an::MaskResult expected;
    direct.to_mask(20e6 * c.os, expected);
    an::PacketSpectrum whole(c.os);
    whole.settle(INT64_MAX);
    for (const auto& [a, b] : c.spans) whole.add_span(a, b);
    whole.push(x.data(), x.size());
    const an::PacketSpectrumResult at_once = whole.finish();

    an::PacketSpectrum stream(c.os);
    size_t next = 0, most_held = 0;
    for (size_t at = 0; at < x.size(); at += c.piece) {
        stream.push(x.data() + at, std::min(c.piece, x.size() - at));
        const int64_t pushed = static_cast<int64_t>(std::min(at + c.piece, x.size()));
        for (; next < c.spans.size() && c.spans[next].first + c.settle_lag <= pushed; ++next)
            stream.add_span(c.spans[next].first, c.spans[next].second);
        const int64_t settled = next < c.spans.size() ? c.spans[next].first : pushed;
        stream.settle(settled);
        most_held = std::max(most_held, stream.held());
    }
    for (; next < c.spans.size(); ++next) stream.add_span(c.spans[next].first, c.spans[next].second);
    const an::PacketSpectrumResult streamed = stream.finish();

    ASSERT_TRUE(streamed.mask && at_once.mask);
    EXPECT_EQ(streamed.mask->psd_dbr, expected.psd_dbr);
    EXPECT_EQ(at_once.mask->psd_dbr, expected.psd_dbr);
    EXPECT_EQ(streamed.mask->margin_db, expected.margin_db);
    ASSERT_EQ(streamed.ccdf.size(), 4u);
    ASSERT_EQ(at_once.ccdf.size(), 4u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(streamed.ccdf[i].level_db, at_once.ccdf[i].level_db) << i;
    // Held: the lag, one piece, the longest span and a push block at most.
    int64_t longest = 0;
    for (const auto& [a, b] : c.spans) longest = std::max(longest, b - a);
    EXPECT_LE(static_cast<int64_t>(most_held), c.settle_lag + static_cast<int64_t>(c.piece) + longest + (int64_t{1} << 17));
}

INSTANTIATE_TEST_SUITE_P(
    Spans, Streaming,
    ::testing::Values(
        StreamCase{"os1_pieces_smaller_than_a_segment", 1, {{1000, 9000}, {20000, 23000}, {150000, 190001}}, 97, 5000},
        StreamCase{"os4_segments_across_every_piece", 4, {{500, 60000}, {100000, 100000 + 4800}, {300000, 399999}}, 4096, 30000},
        StreamCase{"os8_overlapping_spans_counted_twice", 8, {{10000, 50000}, {40000, 90000}, {200000, 260000}}, 65536, 70000},
        StreamCase{"os2_span_past_the_end_clipped", 2, {{-300, 5000}, {390000, 420000}}, 100000, 0},
        StreamCase{"os4_one_push", 4, {{0, 400000}}, 400000, 0}),
    [](const ::testing::TestParamInfo<StreamCase>& i) { return i.param.name; });

// Every span shorter than a segment (a packet cut by the file's start and end): the PSD
// over one segment of the longest length in each of the longest, as before.
TEST(Streaming, SpansShorterThanASegmentUseTheLongest) {
    const std::vector<C> x = test_signal(10000, 1);
    an::PacketSpectrum s(1);
    s.add_span(-100, 150);   // 150 samples
    s.add_span(9800, 10500); // 200 samples, clipped at the end
    s.push(x.data(), x.size());
    const an::PacketSpectrumResult r = s.finish();
    an::WelchSum direct(200);
    direct.add(&x[9800]);
    an::MaskResult expected;
    direct.to_mask(20e6, expected);
    ASSERT_TRUE(r.mask);
    EXPECT_EQ(r.mask->psd_dbr, expected.psd_dbr);
    EXPECT_EQ(r.mask->freq_hz.size(), 200u);
}

// ---- A file longer than the kept part ----

std::vector<float> sigmf_floats(const std::string& data_path) {
    std::ifstream in(data_path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<float> v(bytes.size() / sizeof(float));
    std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(v.size() * sizeof(float)),
              reinterpret_cast<char*>(v.data()));
    return v;
}

// A cf32_le recording at 80 MS/s: first, gap silent samples, then second; returns its meta path.
std::string join(const orv_test::TempDir& dir, const std::string& name, const std::vector<float>& first, size_t gap,
                 const std::vector<float>& second) {
    const std::string base = dir.file(name);
    {
        std::ofstream data(base + ".sigmf-data", std::ios::binary);
        data.write(reinterpret_cast<const char*>(first.data()), static_cast<std::streamsize>(first.size() * sizeof(float)));
        const std::vector<float> zeros(2 * gap, 0.0f);
        data.write(reinterpret_cast<const char*>(zeros.data()), static_cast<std::streamsize>(zeros.size() * sizeof(float)));
        data.write(reinterpret_cast<const char*>(second.data()), static_cast<std::streamsize>(second.size() * sizeof(float)));
    }
    std::ofstream(base + ".sigmf-meta")
        << R"({"global": {"core:datatype": "cf32_le", "core:sample_rate": 80000000, "core:version": "1.0.0"}, "captures": [{"core:sample_start": 0}], "annotations": []})";
    return base + ".sigmf-meta";
}

std::vector<float> orvgen_floats(const orv_test::TempDir& dir, const std::string& name, std::vector<std::string> args) {
    const std::string path = dir.file(name + ".sigmf-data");
    args.insert(args.begin(), {"-o", path, "--oversample", "4"});
    const orv_test::CliRun run = orv_test::orvgen(args);
    EXPECT_EQ(run.status, 0) << run.err;
    return sigmf_floats(path);
}

// Three clean 24 Mbit/s packets, then (beyond the 2^22 samples kept) four 6 Mbit/s packets
// clipped to their RMS, which alone fail the mask: the summary over the long file is the one
// over the same packets close together (a file the analysis holds whole), not the one over
// the first three.
TEST(LongFile, MaskAndCcdfCoverThePacketsBeyondTheKeptPart) {
    const orv_test::TempDir dir("long_mask");
    const std::vector<float> clean =
        orvgen_floats(dir, "clean", {"--rate", "24", "--payload-bytes", "200", "--packets", "3", "--idle", "20"});
    const std::vector<float> clipped = orvgen_floats(
        dir, "clipped", {"--rate", "6", "--payload-bytes", "100", "--packets", "4", "--idle", "20", "--clip-papr", "0"});
    const size_t kept = size_t{1} << 22;
    // The later packets a multiple of the oversampling further on: the same samples at 20 MS/s.
    const size_t further = (kept - clean.size() / 2 + 3) / 4 * 4;
    const std::string long_file = join(dir, "long", clean, 1000 + further, clipped);
    const std::string near_file = join(dir, "near", clean, 1000, clipped);
    const std::string clean_file = join(dir, "first", clean, 1000, {});

    const an::Options opt;
    const an::Result far = an::analyse_file(long_file, opt);
    const an::Result near = an::analyse_file(near_file, opt);
    const an::Result first = an::analyse_file(clean_file, opt);
    ASSERT_EQ(far.packets.size(), 7u);
    ASSERT_EQ(near.packets.size(), 7u);
    EXPECT_GT(far.packets.back().start, static_cast<int64_t>(kept));
    EXPECT_EQ(far.summary.fcs_ok, 7);
    for (const std::string& n : far.notes) EXPECT_EQ(n.find("not looked for"), std::string::npos) << n;

    ASSERT_TRUE(far.summary.mask && near.summary.mask && first.summary.mask);
    EXPECT_EQ(far.summary.mask->psd_dbr, near.summary.mask->psd_dbr);
    EXPECT_EQ(far.summary.mask->margin_db, near.summary.mask->margin_db);
    EXPECT_FALSE(far.summary.mask->pass);
    EXPECT_TRUE(first.summary.mask->pass) << "the first packets alone pass: the later ones must count";
    ASSERT_EQ(far.summary.ccdf.size(), 4u);
    ASSERT_EQ(near.summary.ccdf.size(), 4u);
    ASSERT_EQ(first.summary.ccdf.size(), 4u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(far.summary.ccdf[i].level_db, near.summary.ccdf[i].level_db) << i;
    // The clipped packets (most of the samples) bring the 10 % level down by more than a dB.
    EXPECT_LT(far.summary.ccdf[0].level_db, first.summary.ccdf[0].level_db - 1.0);
}

// orvgen's sine interferer 7 dB above the packets in a file of 6.5 M samples at oversampling
// 8: the packet after the kept part is found too (the canceller in every piece of the stream).
TEST(LongFile, SineInterfererBeyondTheKeptPart) {
    const orv_test::TempDir dir("long_sine");
    const std::string path = dir.file("s.sigmf-data");
    const orv_test::CliRun run = orv_test::orvgen({"-o", path, "--rate", "12", "--payload-bytes", "100", "--packets", "5",
                                                   "--idle", "8000", "--oversample", "8", "--sine", "7", "--sine-level", "-30"});
    ASSERT_EQ(run.status, 0) << run.err;
    an::Options opt;
    opt.expected_packets = 5;
    const an::Result r = an::analyse_file(dir.file("s.sigmf-meta"), opt);
    ASSERT_GT(r.file.samples, int64_t{1} << 22);
    EXPECT_EQ(r.summary.found, 5);
    EXPECT_EQ(r.summary.fcs_ok, 5);
    ASSERT_FALSE(r.packets.empty());
    EXPECT_GT(r.packets.back().start, int64_t{1} << 22);
}

}  // namespace
