// Impaired frame sequences and test-pattern bursts in the signal generators'
// files: the WV file and the Keysight binary hold the CSV file's samples
// (noise, IQ imbalance and all) to within their int16 step, orvgen --check
// reads them back to the PSDUs sent, and with a sample clock offset marker 2
// spans each packet on the offset clock.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/orvcheck_run.h"
#include "instrument_reader.h"
#include "orvgen.h"
#include "cli/orvgen_run.h"
#include "support/files.h"

namespace {

using nlohmann::json;

using GenRun = orv_test::CliRun;
using orv_test::orvgen;


std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Every sample a reader hands over.
struct Collect : orv::analysis::SampleSink {
    std::vector<std::complex<double>> x;
    void block(const std::complex<double>* b, size_t n, const uint16_t*, const uint16_t*) override {
        x.insert(x.end(), b, b + n);
    }
};

// The samples (code / 32767) and the file's own figures of a WV or Keysight file.
orv::analysis::InstrumentFileInfo read_instrument(const std::string& path, const std::string& format,
                                                  std::vector<std::complex<double>>& x) {
    Collect sink;
    std::ifstream data(path, std::ios::binary);
    orv::analysis::InstrumentFileInfo info;
    if (format == "wv") {
        info = orv::analysis::read_wv(data, sink);
    } else {
        std::ifstream marks(orv::analysis::keysight_marker_path(path), std::ios::binary);
        info = orv::analysis::read_keysight(data, &marks, 0, sink);
    }
    x = std::move(sink.x);
    return info;
}

std::vector<std::complex<double>> read_csv_samples(const std::string& path) {
    Collect sink;
    std::ifstream in(path, std::ios::binary);
    orv::analysis::read_csv(in, sink);
    return std::move(sink.x);
}

// DATA symbols of a PSDU of n octets at N_DBPS data bits per symbol (17.3.5.4).
int64_t data_symbols(int64_t n, int64_t ndbps) { return (16 + 8 * n + 6 + ndbps - 1) / ndbps; }

// ---- The impaired samples in the file and orvgen --check -------------------------

struct ImpairedFile {
    const char* name;
    const char* file;
    std::vector<std::string> format;  // orvgen's options choosing the file kind
};

void PrintTo(const ImpairedFile& c, std::ostream* os) { *os << c.name; }

class ImpairedFrames : public ::testing::TestWithParam<ImpairedFile> {};

// Four data frames of 200 payload octets, 10 us apart, at oversampling 2, with
// receiver noise and an IQ gain imbalance.
const std::vector<std::string> kImpairedFrames = {"--packets", "4", "--payload-bytes", "200", "--idle", "10",
                                                  "--oversample", "2", "--snr", "20", "--iq-gain", "1",
                                                  "--impairment-seed", "3"};

TEST_P(ImpairedFrames, CheckedFileHoldsTheCsvSamples) {
    const ImpairedFile& c = GetParam();
    const orv_test::TempDir dir;
    const std::string path = dir.file(c.file), csv = dir.file("reference.csv");
    const GenRun gen = orvgen(with(with({"-o", path, "--json", "--check"}, c.format), kImpairedFrames));
    ASSERT_EQ(gen.status, 0) << gen.out << gen.err;
    const json g = json::parse(gen.out);
    EXPECT_EQ(g["check"]["pass"], true) << g["check"].dump();
    EXPECT_EQ(g["check"]["psdu_equal"], 4) << g["check"].dump();
    EXPECT_EQ(g["check"]["fcs_ok"], 4) << g["check"].dump();
    const json& inst = g["instrument"];
    const double scale = inst["scale"].get<double>();
    ASSERT_EQ(inst["saturated_samples"], 0);  // no sample coded away from its value
    ASSERT_EQ(orvgen(with({"-o", csv}, kImpairedFrames)).status, 0);

    std::vector<std::complex<double>> coded;
    read_instrument(path, inst["format"], coded);
    const std::vector<std::complex<double>> ref = read_csv_samples(csv);
    ASSERT_EQ(ref.size(), inst["samples"].get<size_t>());
    ASSERT_EQ(coded.size(), ref.size() + inst["idle_samples_appended"].get<size_t>());
    // Each code is the nearest to the CSV value at the file's scale; the CSV's
    // ten decimals leave it a hair off a tie.
    size_t worst = 0;
    double worst_err = 0;
    for (size_t k = 0; k < ref.size(); ++k) {
        const std::complex<double> d = coded[k] * 32767.0 - ref[k] * scale;
        const double err = std::max(std::abs(d.real()), std::abs(d.imag()));
        if (err > worst_err) worst_err = err, worst = k;
    }
    EXPECT_LE(worst_err, 0.5 + 1e-5) << "sample " << worst << ": file " << coded[worst] * 32767.0 << ", CSV "
                                     << ref[worst] * scale;
    for (size_t k = ref.size(); k < coded.size(); ++k) ASSERT_EQ(coded[k], 0.0) << "appended sample " << k;
}

INSTANTIATE_TEST_SUITE_P(
    Files, ImpairedFrames,
    ::testing::Values(ImpairedFile{"wv", "frames.wv", {}},
                      ImpairedFile{"keysight", "frames.bin", {"--output-format", "keysight"}}),
    [](const ::testing::TestParamInfo<ImpairedFile>& i) { return std::string(i.param.name); });

// ---- The impaired test-pattern burst ---------------------------------------------

struct BurstCase {
    const char* name;
    const char* file;
    std::vector<std::string> format;  // orvgen's options choosing the file kind
    std::vector<std::string> impair;  // the impairments besides the clock offset
    const char* ppm;                  // the sample clock offset
};

void PrintTo(const BurstCase& c, std::ostream* os) { *os << c.name; }

class ImpairedBurst : public ::testing::TestWithParam<BurstCase> {};

// The file holds the CSV file's impaired samples to within the int16 step,
// no sample saturates (the peak of the noise in the gap included), and
// marker 2 spans the burst on the offset clock.
TEST_P(ImpairedBurst, FileHoldsTheCsvSamplesAndMarksTheBurst) {
    const BurstCase& c = GetParam();
    const orv_test::TempDir dir;
    const std::string path = dir.file(c.file), csv = dir.file("reference.csv");
    const std::vector<std::string> impair = with(c.impair, {"--clock-ppm", c.ppm, "--impairment-seed", "5"});
    const GenRun gen = orvgen(with(with({"-o", path, "--json"}, c.format), impair));
    ASSERT_EQ(gen.status, 0) << gen.err;
    const json g = json::parse(gen.out);
    const json& inst = g["instrument"];
    ASSERT_EQ(inst["saturated_samples"], 0);
    EXPECT_EQ(inst["peak_code"], 32767);
    ASSERT_EQ(orvgen(with({"-o", csv}, impair)).status, 0);

    std::vector<std::complex<double>> coded;
    const orv::analysis::InstrumentFileInfo info = read_instrument(path, inst["format"], coded);
    const std::vector<std::complex<double>> ref = read_csv_samples(csv);
    ASSERT_EQ(ref.size(), inst["samples"].get<size_t>());
    ASSERT_GE(coded.size(), ref.size());
    const double scale = inst["scale"].get<double>();
    double worst_err = 0;
    for (size_t k = 0; k < ref.size(); ++k) {
        const std::complex<double> d = coded[k] * 32767.0 - ref[k] * scale;
        worst_err = std::max(worst_err, std::max(std::abs(d.real()), std::abs(d.imag())));
    }
    EXPECT_LE(worst_err, 0.5 + 1e-5);

    // The default burst is 67200 samples on air at 160 MS/s; on a clock ppm
    // fast it lasts 67200 / (1 + ppm 1e-6) samples.
    ASSERT_EQ(info.marker2.size(), 1u);
    EXPECT_EQ(info.marker2[0].start, 0);
    EXPECT_NEAR(static_cast<double>(info.marker2[0].length), 67200.0 / (1.0 + std::stod(c.ppm) * 1e-6), 1.0);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ImpairedBurst,
    ::testing::Values(BurstCase{"wv_fast_clock", "burst.wv", {}, {"--snr", "25", "--iq-gain", "1"}, "300"},
                      BurstCase{"keysight_slow_clock", "burst.bin", {"--output-format", "keysight"},
                                {"--snr", "30", "--iq-phase", "3", "--pa-rapp", "2,6"}, "-300"}),
    [](const ::testing::TestParamInfo<BurstCase>& i) { return std::string(i.param.name); });

// ---- Marker 2 on an offset sample clock ------------------------------------------

struct ClockCase {
    const char* name;
    const char* file;
    std::vector<std::string> format;
    const char* ppm;
    bool receiver;  // also read back by the receiver (which does not decode these packets at 300 ppm)
};

void PrintTo(const ClockCase& c, std::ostream* os) { *os << c.name; }

class ClockOffsetMarkers : public ::testing::TestWithParam<ClockCase> {};

// Two frames of 2000 payload octets (PSDU 2028 octets) at 6 Mbit/s, oversampling 1:
// 54560 samples each, 50 us apart; 1000 ppm moves a packet's end by 55 samples.
const std::vector<std::string> kLongFrames = {"--packets", "2", "--payload-bytes", "2000", "--rate", "6",
                                              "--idle", "50", "--oversample", "1"};

TEST_P(ClockOffsetMarkers, Marker2SpansEachPacketOnTheOffsetClock) {
    const ClockCase& c = GetParam();
    const orv_test::TempDir dir;
    const std::string path = dir.file(c.file);
    const GenRun gen =
        orvgen(with(with(with({"-o", path, "--json"}, c.format), kLongFrames), {"--clock-ppm", c.ppm}));
    ASSERT_EQ(gen.status, 0) << gen.err;
    const json g = json::parse(gen.out);
    const std::vector<int64_t> starts = g["packet_starts"].get<std::vector<int64_t>>();
    ASSERT_EQ(starts.size(), 2u);

    std::vector<std::complex<double>> x;
    const orv::analysis::InstrumentFileInfo info = read_instrument(path, g["instrument"]["format"], x);
    ASSERT_EQ(info.marker1.size(), 2u);
    ASSERT_EQ(info.marker2.size(), 2u);
    const double nominal = 400.0 + 80.0 * static_cast<double>(data_symbols(2028, 24));
    const double on_air = nominal / (1.0 + std::stod(c.ppm) * 1e-6);
    for (size_t k = 0; k < 2; ++k) {
        EXPECT_EQ(info.marker1[k].start, starts[k]) << "packet " << k;
        EXPECT_EQ(info.marker2[k].start, starts[k]) << "packet " << k;
        EXPECT_NEAR(static_cast<double>(info.marker2[k].length), on_air, 1.0) << "packet " << k;
    }
    if (!c.receiver) return;
    // The receiver finds the packets where marker 2 says they are, on the clock it measures.
    const orv_test::CheckRun rx = orv_test::orvcheck({path, "--json", "--expect", "2"});
    const json r = json::parse(rx.out);
    const json& ri = r["file"]["instrument"];
    EXPECT_EQ(ri["markers_ok"], true) << ri["marker_problem"];
    ASSERT_EQ(r["packets"].size(), 2u);
    for (const json& p : r["packets"]) {
        EXPECT_EQ(p["fcs_ok"], true);
        EXPECT_NEAR(p["clock_ppm"].get<double>(), std::stod(c.ppm), 20.0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClockOffsetMarkers,
    ::testing::Values(ClockCase{"wv_fast_1000ppm", "long.wv", {}, "1000", false},
                      ClockCase{"keysight_slow_1000ppm", "long.bin", {"--output-format", "keysight"}, "-1000", false},
                      ClockCase{"wv_slow_40ppm_read_back", "long.wv", {}, "-40", true}),
    [](const ::testing::TestParamInfo<ClockCase>& i) { return std::string(i.param.name); });

}  // namespace
