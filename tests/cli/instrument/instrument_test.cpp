// The WV and Keysight writers checked by a reader written here from the
// published layouts (R&S tag format and checksum, Keysight 16-bit big-endian
// I/Q with a byte-per-sample marker file), against the library's samples.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "burst_source.h"
#include "instrument.h"
#include "instrument_reader.h"
#include "noise.h"
#include "pipeline.h"
#include "support/default_record.h"
#include "support/files.h"

namespace {

using orv::instrument::Interval;
using orv::instrument::Result;
using orv::instrument::SampleSource;

using orv_test::default_record;

// The whole file at path as bytes.
std::vector<unsigned char> slurp(const std::string& path) {
    const std::string bytes = orv_test::read_file(path);
    return {bytes.begin(), bytes.end()};
}

// A WV file taken apart as the R&S manuals describe it: tags in order, the
// WAVEFORM data as little-endian int16 pairs.
struct WvFile {
    std::vector<std::pair<std::string, std::string>> tags;  // name, text (WAVEFORM: its length)
    std::vector<int16_t> iq;                                 // I0 Q0 I1 Q1 ...
    uint32_t checksum = 0;                                   // as computed from the data
    std::string tag(const std::string& name) const {
        for (const auto& t : tags)
            if (t.first == name) return t.second;
        return "<none>";
    }
};

WvFile parse_wv(const std::vector<unsigned char>& b) {
    WvFile f;
    size_t at = 0;
    while (at < b.size()) {
        EXPECT_EQ(b[at], '{') << "at " << at;
        const size_t colon = std::string(b.begin() + at, b.end()).find(':') + at;
        std::string name(b.begin() + at + 1, b.begin() + colon);
        if (name.rfind("WAVEFORM-", 0) == 0) {
            const size_t len = std::stoull(name.substr(9));
            EXPECT_EQ(b[colon + 1], '#');
            EXPECT_EQ((len - 1) % 4, 0u);
            f.checksum = 0xA50F74FFu;
            for (size_t k = colon + 2; k + 3 < colon + 1 + len; k += 4) {
                uint32_t w;
                std::memcpy(&w, &b[k], 4);  // the manual's UINT32 read (this host is little-endian)
                f.checksum ^= w;
                f.iq.push_back(static_cast<int16_t>(b[k] | b[k + 1] << 8));
                f.iq.push_back(static_cast<int16_t>(b[k + 2] | b[k + 3] << 8));
            }
            EXPECT_EQ(b[colon + 1 + len], '}');
            f.tags.push_back({"WAVEFORM", std::to_string(len)});
            at = colon + 2 + len;
        } else {
            const size_t close = std::string(b.begin() + at, b.end()).find('}') + at;
            f.tags.push_back({name, std::string(b.begin() + colon + 1, b.begin() + close)});
            at = close + 1;
        }
    }
    return f;
}

// The noise generator's table where the file's write found it.
struct NoiseTable {
    int32_t v[kNoiseTableSize + 1];
    NoiseTable() { noise_table_copy(v); }
};

// The conditioned samples the library makes for rec, from the noise table at.
std::vector<std::complex<double>> library_samples(WaveParams rec, const NoiseTable& at) {
    noise_table_restore(at.v);
    ConditionedSamples c{};
    EXPECT_EQ(orv_11a_conditioned(&rec, &c), 0);
    std::vector<std::complex<double>> x(static_cast<size_t>(c.geometry.total));
    for (size_t k = 0; k < x.size(); ++k) x[k] = {c.i[k], c.q[k]};
    free_conditioned(&c);
    return x;
}

// Level of a marker at each sample from a "pos:state;..." list.
std::vector<int> list_levels(const std::string& text, size_t count) {
    std::vector<int> level(count, 0);
    std::stringstream ss(text);
    std::string entry;
    std::vector<std::pair<size_t, int>> points;
    while (std::getline(ss, entry, ';')) {
        const size_t c = entry.find(':');
        points.push_back({std::stoull(entry.substr(0, c)), std::stoi(entry.substr(c + 1))});
    }
    for (size_t p = 0; p < points.size(); ++p) {
        const size_t end = p + 1 < points.size() ? points[p + 1].first : count;
        for (size_t k = points[p].first; k < end; ++k) level[k] = points[p].second;
    }
    return level;
}

// The factor from the samples x to 16-bit codes with the peak backoff_db below full scale.
double code_scale(const std::vector<std::complex<double>>& x, double backoff_db) {
    double peak = 0;
    for (const auto& z : x) peak = std::max(peak, std::abs(z));
    return 32767.0 * std::pow(10.0, -backoff_db / 20) / peak;
}

double db_below(double v) { return -20.0 * std::log10(v / 32767.0); }

struct OsCase {
    int32_t os;
    double backoff_db;
    bool noise = false;  // Gaussian noise over burst and gap: drawn alike on every run
};

void PrintTo(const OsCase& c, std::ostream* os) {
    *os << "os " << c.os << ", back-off " << c.backoff_db << " dB" << (c.noise ? ", noise" : "");
}

WaveParams case_record(const OsCase& c) {
    WaveParams p = default_record(c.os);
    if (c.noise) {
        p.noise_enable = 1;
        p.noise_level = -30;
    }
    return p;
}

// The burst of the case's record as a sample source, and the noise table before it.
class DefaultBurst : public ::testing::TestWithParam<OsCase> {
  protected:
    void SetUp() override { ASSERT_EQ(orv::instrument::burst_source(rec, src, error), 0) << error; }

    const OsCase c = GetParam();
    const WaveParams rec = case_record(c);
    SampleSource src;
    std::string error;
    const NoiseTable before;
};

TEST_P(DefaultBurst, WvFileFollowsTheLayout) {
    const orv_test::TempDir dir;
    orv::instrument::WvOptions opt;
    opt.backoff_db = c.backoff_db;
    opt.comment = "802.11a burst";
    opt.date = "2026-01-02;03:04:05";
    Result res;
    const std::string path = dir.file("default.wv");
    ASSERT_EQ(orv::instrument::write_wv(path, src, opt, res, error), 0) << error;
    const WvFile f = parse_wv(slurp(path));

    const std::vector<std::string> order = {"TYPE", "COMMENT", "DATE", "CLOCK", "LEVEL OFFS",
                                            "SAMPLES", "MARKER LIST 1", "MARKER LIST 2", "WAVEFORM"};
    ASSERT_EQ(f.tags.size(), order.size());
    for (size_t k = 0; k < order.size(); ++k) EXPECT_EQ(f.tags[k].first, order[k]);
    const std::string type = f.tag("TYPE");
    EXPECT_EQ(type.substr(0, 8), " SMU-WV,");
    EXPECT_EQ(std::stoul(type.substr(8)), f.checksum);
    EXPECT_EQ(f.tag("DATE"), " 2026-01-02;03:04:05");
    EXPECT_DOUBLE_EQ(std::stod(f.tag("CLOCK")), 20e6 * c.os);

    const std::vector<std::complex<double>> x = library_samples(rec, before);
    ASSERT_EQ(f.iq.size(), 2 * x.size());
    EXPECT_EQ(std::stoull(f.tag("SAMPLES")), x.size());
    const double scale = code_scale(x, c.backoff_db);
    double sum2 = 0, peak2 = 0;
    for (size_t k = 0; k < x.size(); ++k) {
        ASSERT_NEAR(f.iq[2 * k], x[k].real() * scale, 0.5 + 1e-9) << "I of sample " << k;
        ASSERT_NEAR(f.iq[2 * k + 1], x[k].imag() * scale, 0.5 + 1e-9) << "Q of sample " << k;
        const double p = double(f.iq[2 * k]) * f.iq[2 * k] + double(f.iq[2 * k + 1]) * f.iq[2 * k + 1];
        sum2 += p;
        peak2 = std::max(peak2, p);
    }
    const std::string lo = f.tag("LEVEL OFFS");
    const double rms_db = std::stod(lo.substr(0, lo.find(','))), peak_db = std::stod(lo.substr(lo.find(',') + 1));
    EXPECT_NEAR(rms_db, db_below(std::sqrt(sum2 / x.size())), 0.01);
    EXPECT_NEAR(peak_db, db_below(std::sqrt(peak2)), 0.01);
    EXPECT_NEAR(peak_db, c.backoff_db, 1e-9);

    // Marker 1: a 1 us pulse at the burst start; marker 2: the burst on air.
    const size_t burst = static_cast<size_t>((320 + 80 + 8000) * c.os);
    const std::vector<int> m1 = list_levels(f.tag("MARKER LIST 1"), x.size());
    const std::vector<int> m2 = list_levels(f.tag("MARKER LIST 2"), x.size());
    for (size_t k = 0; k < x.size(); ++k) {
        ASSERT_EQ(m1[k], k < static_cast<size_t>(20 * c.os) ? 1 : 0) << "marker 1 at " << k;
        ASSERT_EQ(m2[k], k < burst ? 1 : 0) << "marker 2 at " << k;
    }
}

TEST_P(DefaultBurst, KeysightFilesFollowTheLayout) {
    const orv_test::TempDir dir;
    orv::instrument::KeysightOptions opt;
    opt.backoff_db = c.backoff_db;
    Result res;
    const std::string path = dir.file("default.bin");
    ASSERT_EQ(orv::instrument::write_keysight(path, src, opt, res, error), 0) << error;
    const std::vector<unsigned char> b = slurp(path), m = slurp(dir.file("default.mkr"));
    ASSERT_EQ(res.files, (std::vector<std::string>{path, dir.file("default.mkr")}));

    const std::vector<std::complex<double>> x = library_samples(rec, before);
    const size_t padded = std::max<size_t>(512, (x.size() + 7) / 8 * 8);
    ASSERT_EQ(b.size(), 4 * padded);
    ASSERT_EQ(m.size(), padded);
    EXPECT_EQ(res.padded, static_cast<int64_t>(padded - x.size()));
    const double scale = code_scale(x, c.backoff_db);
    const size_t burst = static_cast<size_t>((320 + 80 + 8000) * c.os);
    for (size_t k = 0; k < padded; ++k) {
        const int16_t i = static_cast<int16_t>(b[4 * k] << 8 | b[4 * k + 1]);
        const int16_t q = static_cast<int16_t>(b[4 * k + 2] << 8 | b[4 * k + 3]);
        const std::complex<double> z = k < x.size() ? x[k] * scale : 0.0;
        ASSERT_NEAR(i, z.real(), 0.5 + 1e-9) << "I of sample " << k;
        ASSERT_NEAR(q, z.imag(), 0.5 + 1e-9) << "Q of sample " << k;
        const int want = (k < static_cast<size_t>(20 * c.os) ? 1 : 0) | (k < burst ? 2 : 0);
        ASSERT_EQ(m[k], want) << "markers at " << k;
    }
}

std::string os_name(const ::testing::TestParamInfo<OsCase>& info) {
    return "os" + std::to_string(info.param.os) + "_backoff" + std::to_string(static_cast<int>(info.param.backoff_db)) +
           (info.param.noise ? "_noise" : "");
}

INSTANTIATE_TEST_SUITE_P(Oversampling, DefaultBurst,
                         ::testing::Values(OsCase{1, 0}, OsCase{4, 0}, OsCase{8, 0}, OsCase{8, 6},
                                           OsCase{4, 0, true}),
                         os_name);

// A source of packets: a tone at amplitude 1 inside each interval, zero
// between (without intervals, the tone throughout).
SampleSource packets(int64_t count, std::vector<Interval> on_air) {
    SampleSource s;
    s.count = count;
    s.fs = 1e6;
    s.on_air = on_air;
    s.run = [count, on_air](const orv::instrument::BlockSink& sink) -> int32_t {
        std::vector<double> i(static_cast<size_t>(count)), q(static_cast<size_t>(count));
        const std::vector<Interval> tone = on_air.empty() ? std::vector<Interval>{{0, count}} : on_air;
        for (const Interval& v : tone)
            for (int64_t k = v.start; k < v.start + v.length; ++k) {
                i[k] = std::cos(0.3 * k);
                q[k] = std::sin(0.3 * k);
            }
        for (int64_t at = 0; at < count; at += 7)  // odd block sizes
            if (!sink(static_cast<int32_t>(std::min<int64_t>(7, count - at)), &i[at], &q[at])) return 0;
        return 0;
    };
    return s;
}

struct MarkerCase {
    const char* name;
    int64_t count;
    std::vector<Interval> on_air;
    int64_t pulse;
    const char* list1;
    const char* list2;
};

void PrintTo(const MarkerCase& c, std::ostream* os) { *os << c.name; }

class MarkerLists : public ::testing::TestWithParam<MarkerCase> {};

TEST_P(MarkerLists, WvListsAndKeysightBytesAgree) {
    const orv_test::TempDir dir;
    const MarkerCase& c = GetParam();
    const SampleSource src = packets(c.count, c.on_air);
    std::string error;
    Result res;
    orv::instrument::WvOptions wopt;
    wopt.markers.pulse = c.pulse;
    const std::string wv = dir.file(std::string(c.name) + ".wv");
    ASSERT_EQ(orv::instrument::write_wv(wv, src, wopt, res, error), 0) << error;
    const WvFile f = parse_wv(slurp(wv));
    EXPECT_EQ(f.tag("MARKER LIST 1"), std::string(" ") + c.list1);
    EXPECT_EQ(f.tag("MARKER LIST 2"), std::string(" ") + c.list2);

    orv::instrument::KeysightOptions kopt;
    kopt.markers.pulse = c.pulse;
    const std::string bin = dir.file(std::string(c.name) + ".bin");
    ASSERT_EQ(orv::instrument::write_keysight(bin, src, kopt, res, error), 0) << error;
    const std::vector<unsigned char> m = slurp(orv::instrument::marker_path(bin));
    const std::vector<int> m1 = list_levels(c.list1, m.size()), m2 = list_levels(c.list2, m.size());
    for (size_t k = 0; k < m.size(); ++k) {
        const bool in_wave = k < static_cast<size_t>(c.count);
        ASSERT_EQ(m[k], in_wave ? (m1[k] | m2[k] << 1) : 0) << "marker byte " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Packets, MarkerLists,
    ::testing::Values(
        MarkerCase{"three_packets", 1000, {{100, 200}, {400, 50}, {700, 300}}, 10,
                   "0:0;100:1;110:0;400:1;410:0;700:1;710:0", "0:0;100:1;300:0;400:1;450:0;700:1"},
        MarkerCase{"back_to_back", 600, {{0, 100}, {100, 100}, {350, 5}}, 20,
                   "0:1;20:0;100:1;120:0;350:1;355:0", "0:1;200:0;350:1;355:0"},
        MarkerCase{"pulse_longer_than_packet", 64, {{10, 3}}, 8, "0:0;10:1;13:0", "0:0;10:1;13:0"},
        MarkerCase{"no_packets", 64, {}, 8, "0:0", "0:0"},
        // No idle samples appended: the last byte is a marked one.
        MarkerCase{"packet_to_the_last_sample", 1024, {{24, 1000}}, 16, "0:0;24:1;40:0", "0:0;24:1"},
        // Runs longer than the writer's blocks, marked and unmarked.
        MarkerCase{"long_runs", 400000, {{70000, 200000}, {330000, 65536}}, 1000,
                   "0:0;70000:1;71000:0;330000:1;331000:0", "0:0;70000:1;270000:0;330000:1;395536:0"}),
    [](const ::testing::TestParamInfo<MarkerCase>& i) { return std::string(i.param.name); });

TEST(InstrumentWriters, RefuseBadSourcesWithoutLeavingAFile) {
    const orv_test::TempDir dir;
    struct Bad {
        const char* name;
        SampleSource src;
        double backoff;
        const char* message;
    };
    SampleSource zero = packets(100, {});
    zero.run = [](const orv::instrument::BlockSink& sink) -> int32_t {
        const std::vector<double> z(100, 0.0);
        sink(100, z.data(), z.data());
        return 0;
    };
    SampleSource short_source = packets(100, {{0, 100}});
    short_source.count = 120;  // hands over fewer than it says
    const std::vector<Bad> cases = {
        {"overlap", packets(100, {{0, 50}, {40, 20}}), 0, "out of order"},
        {"outside", packets(100, {{90, 20}}), 0, "outside"},
        {"zero", zero, 0, "zero throughout"},
        {"short", short_source, 0, "handed over 100 samples instead of 120"},
        {"backoff", packets(100, {{0, 100}}), 31, "back-off"},
    };
    for (const Bad& b : cases) {
        const std::string path = dir.file(std::string("bad_") + b.name + ".wv");
        std::remove(path.c_str());
        std::string error;
        Result res;
        orv::instrument::WvOptions opt;
        opt.backoff_db = b.backoff;
        EXPECT_EQ(orv::instrument::write_wv(path, b.src, opt, res, error), 1) << b.name;
        EXPECT_NE(error.find(b.message), std::string::npos) << b.name << ": " << error;
        EXPECT_FALSE(std::filesystem::exists(path)) << b.name;
        EXPECT_FALSE(std::filesystem::exists(path + ".part")) << b.name;
    }
}

TEST(InstrumentWriters, UnwritablePathIsAnErrorAndKeepsNothing) {
    const orv_test::TempDir dir;
    std::string error;
    Result res;
    const std::string path = dir.file("no_such_dir/x.wv");
    EXPECT_EQ(orv::instrument::write_wv(path, packets(100, {{0, 100}}), {}, res, error), 1);
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
}

// The receiver's reader takes the writers' files: same samples, markers and figures.
TEST(InstrumentWriters, ReceiverReadersAgreeWithTheWriters) {
    const orv_test::TempDir dir;
    struct Count : orv::analysis::SampleSink {
        int64_t n = 0;
        void block(const std::complex<double>*, size_t k, const uint16_t*, const uint16_t*) override {
            n += static_cast<int64_t>(k);
        }
    };
    const SampleSource src = packets(1000, {{100, 200}, {400, 50}});
    std::string error;
    Result res;
    orv::instrument::WvOptions opt;
    opt.backoff_db = 3;
    opt.markers.pulse = 10;
    const std::string wv = dir.file("round.wv");
    ASSERT_EQ(orv::instrument::write_wv(wv, src, opt, res, error), 0) << error;
    std::ifstream in(wv, std::ios::binary);
    Count sink;
    const orv::analysis::InstrumentFileInfo info = orv::analysis::read_wv(in, sink);
    EXPECT_EQ(sink.n, 1000);
    EXPECT_EQ(info.sample_rate_hz, 1e6);
    EXPECT_EQ(info.stated_checksum, res.checksum);
    EXPECT_TRUE(orv::analysis::level_offsets_agree(info));
    EXPECT_NEAR(*info.rms_offset_db, res.rms_offset_db, 1e-6);
    ASSERT_EQ(info.marker1.size(), 2u);
    EXPECT_EQ(info.marker1[1].start, 400);
    EXPECT_EQ(info.marker1[1].length, 10);
    ASSERT_EQ(info.marker2.size(), 2u);
    EXPECT_EQ(info.marker2[0].length, 200);

    orv::instrument::KeysightOptions kopt;
    kopt.markers.pulse = 10;
    const std::string bin = dir.file("round.bin");
    ASSERT_EQ(orv::instrument::write_keysight(bin, src, kopt, res, error), 0) << error;
    std::ifstream data(bin, std::ios::binary), marks(orv::instrument::marker_path(bin), std::ios::binary);
    Count ksink;
    const orv::analysis::InstrumentFileInfo kinfo = orv::analysis::read_keysight(data, &marks, 1e6, ksink);
    EXPECT_EQ(ksink.n, 1000 + res.padded);
    ASSERT_EQ(kinfo.marker2.size(), 2u);
    EXPECT_EQ(kinfo.marker2[1].start, 400);
    EXPECT_EQ(kinfo.marker2[1].length, 50);
    EXPECT_NEAR(kinfo.measured_peak_offset_db, 0.0, 0.001);
}

// A tone of constant magnitude: every sample at the peak, which is placed at
// full scale (0 dB back-off) or below it; none is beyond full scale.
struct RingCase {
    const char* name;
    double amplitude;
    double backoff_db;
};

void PrintTo(const RingCase& c, std::ostream* os) { *os << c.name; }

class PeakAtLevel : public ::testing::TestWithParam<RingCase> {};

TEST_P(PeakAtLevel, NoSampleCountedAsSaturated) {
    const RingCase& c = GetParam();
    const orv_test::TempDir dir;
    SampleSource src = packets(4096, {});
    const auto tone = src.run;
    src.run = [tone, a = c.amplitude](const orv::instrument::BlockSink& sink) {
        return tone([&](int32_t n, const double* i, const double* q) {
            std::vector<double> si(i, i + n), sq(q, q + n);
            for (int32_t k = 0; k < n; ++k) si[static_cast<size_t>(k)] *= a, sq[static_cast<size_t>(k)] *= a;
            return sink(n, si.data(), sq.data());
        });
    };
    std::string error;
    Result wres, kres;
    orv::instrument::WvOptions wopt;
    wopt.backoff_db = c.backoff_db;
    ASSERT_EQ(orv::instrument::write_wv(dir.file("r.wv"), src, wopt, wres, error), 0) << error;
    orv::instrument::KeysightOptions kopt;
    kopt.backoff_db = c.backoff_db;
    ASSERT_EQ(orv::instrument::write_keysight(dir.file("r.bin"), src, kopt, kres, error), 0) << error;
    for (const Result* r : {&wres, &kres}) {
        EXPECT_EQ(r->saturated, 0) << r->format;
        EXPECT_NEAR(r->peak_offset_db, c.backoff_db, 1e-6) << r->format;
        EXPECT_NEAR(r->rms_offset_db, c.backoff_db, 1e-6) << r->format;
    }
}

INSTANTIATE_TEST_SUITE_P(Tones, PeakAtLevel,
                         ::testing::Values(RingCase{"unit_at_full_scale", 1.0, 0}, RingCase{"tenth", 0.1, 0},
                                           RingCase{"odd_amplitude", 1234.5678, 0},
                                           RingCase{"small_backoff_3db", 3e-4, 3}),
                         [](const ::testing::TestParamInfo<RingCase>& i) { return std::string(i.param.name); });

TEST(InstrumentWriters, JsonNamesFilesScaleAndOffsets) {
    const orv_test::TempDir dir;
    std::string error;
    Result res;
    const std::string path = dir.file("json.bin");
    ASSERT_EQ(orv::instrument::write_keysight(path, packets(100, {{0, 100}}), {}, res, error), 0) << error;
    const nlohmann::ordered_json j = orv::instrument::to_json(res);
    EXPECT_EQ(j["files"][1], orv::instrument::marker_path(path));
    EXPECT_EQ(j["idle_samples_appended"], 412);
    EXPECT_NEAR(j["scale"].get<double>(), 32767.0, 1e-9);  // unit-amplitude tone
    EXPECT_NEAR(j["rms_offset_db"].get<double>(), 0.0, 1e-9);
}

}  // namespace

namespace {

// A noisy record run twice: the same noise both times (the file matches one
// call of the library), and the generator left where one call leaves it.
TEST(InstrumentWriters, NoiseGeneratorEndsWhereOneCallLeavesIt) {
    const orv_test::TempDir dir;
    OsCase c{2, 0, true};
    const WaveParams rec = case_record(c);
    const NoiseTable before;
    SampleSource src;
    std::string error;
    ASSERT_EQ(orv::instrument::burst_source(rec, src, error), 0) << error;
    Result res;
    const std::string path = dir.file("noise_end.wv");
    orv::instrument::WvOptions opt;
    opt.memory_samples = 1000;  // run twice
    ASSERT_EQ(orv::instrument::write_wv(path, src, opt, res, error), 0) << error;
    const NoiseTable after_write;
    const std::vector<std::complex<double>> x = library_samples(rec, before);
    const NoiseTable after_call;
    const WvFile f = parse_wv(slurp(path));
    ASSERT_EQ(f.iq.size(), 2 * x.size());
    for (size_t k = 0; k < x.size(); ++k)
        ASSERT_NEAR(f.iq[2 * k], x[k].real() * res.scale, 0.5 + 1e-9) << "the second run's noise at " << k;
    EXPECT_TRUE(std::equal(std::begin(after_write.v), std::end(after_write.v), std::begin(after_call.v)));
    EXPECT_FALSE(std::equal(std::begin(before.v), std::end(before.v), std::begin(after_call.v)));
}

}  // namespace

namespace {

// A waveform longer than memory_samples is run twice: the same files.
TEST(InstrumentWriters, SecondRunGivesTheSameFiles) {
    const orv_test::TempDir dir;
    const SampleSource src = packets(5000, {{100, 2000}, {3000, 1500}});
    std::string error;
    Result in_memory, twice;
    orv::instrument::WvOptions a, b;
    b.memory_samples = 1000;
    const std::string pa = dir.file("memory.wv"), pb = dir.file("twice.wv");
    ASSERT_EQ(orv::instrument::write_wv(pa, src, a, in_memory, error), 0) << error;
    ASSERT_EQ(orv::instrument::write_wv(pb, src, b, twice, error), 0) << error;
    const WvFile fa = parse_wv(slurp(pa)), fb = parse_wv(slurp(pb));
    ASSERT_EQ(fa.iq.size(), 10000u);
    ASSERT_EQ(fb.iq.size(), fa.iq.size());
    EXPECT_EQ(fa.iq, fb.iq);
    EXPECT_EQ(std::stoul(fb.tag("TYPE").substr(8)), fb.checksum);
    EXPECT_EQ(in_memory.rms_offset_db, twice.rms_offset_db);

    orv::instrument::KeysightOptions k;
    k.memory_samples = 1000;
    const std::string pk = dir.file("twice.bin");
    ASSERT_EQ(orv::instrument::write_keysight(pk, src, k, twice, error), 0) << error;
    const std::vector<unsigned char> bk = slurp(pk);
    ASSERT_EQ(bk.size(), 4u * 5000);
    for (size_t s = 0; s < 5000; ++s)
        ASSERT_EQ(static_cast<int16_t>(bk[4 * s] << 8 | bk[4 * s + 1]), fa.iq[2 * s]) << "I " << s;
}

}  // namespace
