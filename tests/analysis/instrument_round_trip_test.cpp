// The signal generators' files from orvgen back through orvcheck: the same
// burst or the same 20 packets, the markers at the packets' annotated starts,
// the header's own figures checked; a file whose header or markers disagree
// with its samples fails the verdict.
#include <gtest/gtest.h>

#include <filesystem>
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

namespace fs = std::filesystem;
using nlohmann::json;

// orvgen's command line run in process: exit status, standard output and error.
using GenRun = orv_test::CliRun;
using orv_test::orvgen;


// The marker spans of a file orvgen wrote, read with the receiver's reader.
orv::analysis::InstrumentFileInfo read_back(const std::string& path, const std::string& format, double fs_hz) {
    struct Discard : orv::analysis::SampleSink {
        void block(const std::complex<double>*, size_t, const uint16_t*, const uint16_t*) override {}
    } sink;
    std::ifstream data(path, std::ios::binary);
    if (format == "wv") return orv::analysis::read_wv(data, sink);
    std::ifstream marks(orv::analysis::keysight_marker_path(path), std::ios::binary);
    return orv::analysis::read_keysight(data, &marks, fs_hz, sink);
}

// DATA symbols of a PSDU of n octets at N_DBPS data bits per symbol (17.3.5.4).
int64_t data_symbols(int64_t n, int64_t ndbps) { return (16 + 8 * n + 6 + ndbps - 1) / ndbps; }

struct RoundTrip {
    const char* name;
    std::string file;               // in the scratch folder
    std::vector<std::string> args;  // orvgen's, after -o FILE
    int oversample;
    int packets;                    // 0: the test-pattern burst
    double backoff;
};

void PrintTo(const RoundTrip& c, std::ostream* os) { *os << c.name; }

class InstrumentRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

// 20 data frames of 100 payload octets (MAC header and FCS: 128 octets) at 6 Mbit/s, 10 us apart.
const std::vector<std::string> kFrames = {"--packets", "20", "--payload-bytes", "100", "--idle", "10"};

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The default burst band-limited, so that it meets the 17.3.9.2 mask and the verdict passes.
const std::vector<std::string> kFiltered = {"--filter", "nyquist", "--cut-off", "9.0"};

// The PSDUs orvcheck decodes from a file, in order.
std::vector<std::string> decoded_psdus(const json& report) {
    std::vector<std::string> v;
    for (const json& p : report["packets"]) v.push_back(p["psdu_hex"].is_string() ? p["psdu_hex"].get<std::string>() : "");
    return v;
}

TEST_P(InstrumentRoundTrip, OrvcheckFindsWhatOrvgenWrote) {
    const RoundTrip& c = GetParam();
    const orv_test::TempDir dir;
    const std::string path = dir.file(c.file);
    std::vector<std::string> args = {"-o", path, "--json", "--oversample", std::to_string(c.oversample)};
    args = with(args, c.args);
    const GenRun gen = orvgen(args);
    ASSERT_EQ(gen.status, 0) << gen.err;
    const json g = json::parse(gen.out);
    const json& inst = g["instrument"];
    const std::string format = inst["format"];
    ASSERT_TRUE(fs::exists(path));
    EXPECT_EQ(fs::exists(orv::analysis::keysight_marker_path(path)), format == "keysight");
    EXPECT_NEAR(inst["peak_offset_db"].get<double>(), c.backoff, 1e-9);

    // The markers as the file holds them: a pulse at each packet start, marker 2 over each packet.
    const double fs_hz = 20e6 * c.oversample;
    const orv::analysis::InstrumentFileInfo info = read_back(path, format, fs_hz);
    std::vector<int64_t> starts = c.packets ? g["packet_starts"].get<std::vector<int64_t>>() : std::vector<int64_t>{0};
    const int64_t on_air = c.packets ? (400 + 80 * data_symbols(128, 24)) * c.oversample
                                     : (400 + 80 * 100) * int64_t{c.oversample};  // the default 100 symbols
    ASSERT_EQ(info.marker1.size(), starts.size());
    ASSERT_EQ(info.marker2.size(), starts.size());
    for (size_t k = 0; k < starts.size(); ++k) {
        EXPECT_EQ(info.marker1[k].start, starts[k]) << "packet " << k;
        EXPECT_EQ(info.marker1[k].length, 20 * c.oversample) << "1 us pulse, packet " << k;
        EXPECT_EQ(info.marker2[k].start, starts[k]) << "packet " << k;
        EXPECT_EQ(info.marker2[k].length, on_air) << "packet " << k;
    }

    std::vector<std::string> check = {path, "--json", "--psdu"};
    if (c.packets) check = with(check, {"--expect", std::to_string(c.packets)});
    const orv_test::CheckRun rx = orv_test::orvcheck(check);
    ASSERT_EQ(rx.status, 0) << rx.out << rx.err;
    const json r = json::parse(rx.out);
    EXPECT_EQ(r["file"]["format"], format);
    EXPECT_EQ(r["file"]["samples"].get<int64_t>(), inst["samples"].get<int64_t>() + inst["idle_samples_appended"].get<int64_t>());
    const json& ri = r["file"]["instrument"];
    EXPECT_EQ(ri["markers_ok"], true) << ri["marker_problem"];
    EXPECT_EQ(ri["marker1_pulses"].get<size_t>(), starts.size());
    EXPECT_NEAR(ri["peak_offset_db"].get<double>(), c.backoff, 0.01);
    if (format == "wv") {
        EXPECT_EQ(ri["level_offsets_ok"], true);
        EXPECT_EQ(ri["checksum"].get<uint32_t>(), inst["checksum"].get<uint32_t>());
        EXPECT_EQ(r["file"]["sample_rate_source"], "header");
    } else {
        EXPECT_EQ(r["file"]["sample_rate_source"], "short training period");
    }
    EXPECT_EQ(r["file"]["sample_rate_hz"].get<double>(), fs_hz);
    if (c.packets == 0) {
        EXPECT_EQ(r["burst"]["start"], 0);
        EXPECT_EQ(r["signal"]["rate_mbps"], 36);
        EXPECT_EQ(r["payload"]["pattern"], "PN9");
        EXPECT_EQ(r["payload"]["bit_errors"], 0);
        return;
    }
    const json& packets = r["packets"];
    ASSERT_EQ(packets.size(), static_cast<size_t>(c.packets));
    for (size_t k = 0; k < packets.size(); ++k) {
        EXPECT_EQ(packets[k]["fcs_ok"], true) << "packet " << k;
        EXPECT_EQ(packets[k]["seq"], static_cast<int>(k)) << "packet " << k;
        EXPECT_EQ(packets[k]["length"], 128);
        EXPECT_LE(std::llabs(packets[k]["start"].get<int64_t>() - starts[k]), 16 * c.oversample) << "packet " << k;
    }
    // The same PSDUs as the library's own CSV file of the frames carries.
    const std::string ref = dir.file("reference.csv");
    const std::string os = std::to_string(c.oversample);
    ASSERT_EQ(orvgen(with({"-o", ref, "--oversample", os}, kFrames)).status, 0);
    const orv_test::CheckRun ref_rx = orv_test::orvcheck({ref, "--json", "--psdu", "--oversample", os});
    ASSERT_EQ(ref_rx.status, 0) << ref_rx.err;
    EXPECT_EQ(decoded_psdus(r), decoded_psdus(json::parse(ref_rx.out)));
}

INSTANTIATE_TEST_SUITE_P(
    Files, InstrumentRoundTrip,
    ::testing::Values(
        RoundTrip{"burst_wv_os8", "burst.wv", kFiltered, 8, 0, 0},
        RoundTrip{"burst_keysight_os4", "burst.bin", with(kFiltered, {"--output-format", "keysight"}), 4, 0, 0},
        RoundTrip{"burst_wv_backoff_6db", "burst.wv", with(kFiltered, {"--backoff", "6"}), 8, 0, 6},
        RoundTrip{"frames_wv_os1", "frames.wv", kFrames, 1, 20, 0},
        RoundTrip{"frames_wv_os8", "frames.wv", kFrames, 8, 20, 0},
        RoundTrip{"frames_keysight_os1", "frames.bin", with(kFrames, {"--output-format", "keysight"}), 1, 20, 0},
        RoundTrip{"frames_keysight_os8_backoff_3db", "frames.bin",
                  with(kFrames, {"--output-format", "keysight", "--backoff", "3"}), 8, 20, 3}),
    [](const ::testing::TestParamInfo<RoundTrip>& i) { return std::string(i.param.name); });

// ---- Files longer than the part the analysis keeps --------------------------------

struct LongFile {
    const char* name;
    const char* file;
    std::vector<std::string> format;  // orvgen's output options
};

void PrintTo(const LongFile& c, std::ostream* os) { *os << c.name; }

class InstrumentLongFile : public ::testing::TestWithParam<LongFile> {};

// 140 frames of 1000 payload octets at 54 Mbit/s, os 8: about 4.8 million samples, beyond the
// 2^22 the analysis keeps. Every packet is decoded (the file read a second time) and the
// markers, which cover the whole file, agree with them.
TEST_P(InstrumentLongFile, EveryPacketFoundAndMarkersAgree) {
    const LongFile& c = GetParam();
    const orv_test::TempDir dir;
    const std::string path = dir.file(c.file);
    const int packets = 140;
    const GenRun gen = orvgen(with({"-o", path, "--oversample", "8", "--rate", "54", "--payload-bytes", "1000",
                                    "--packets", std::to_string(packets), "--idle", "20"},
                                   c.format));
    ASSERT_EQ(gen.status, 0) << gen.err;
    const orv_test::CheckRun rx =
        orv_test::orvcheck({path, "--json", "--oversample", "8", "--expect", std::to_string(packets)});
    EXPECT_EQ(rx.status, 0) << rx.out << rx.err;
    const json r = json::parse(rx.out);
    ASSERT_GT(r["file"]["samples"].get<int64_t>(), int64_t{1} << 22);
    EXPECT_EQ(r["summary"]["found"], packets);
    EXPECT_EQ(r["summary"]["fcs_ok"], packets);
    EXPECT_EQ(r["file"]["instrument"]["markers_ok"], true) << r["file"]["instrument"]["marker_problem"];
    const json& p = r["packets"];
    ASSERT_EQ(p.size(), static_cast<size_t>(packets));
    EXPECT_EQ(p.back()["seq"], packets - 1);
}

INSTANTIATE_TEST_SUITE_P(Files, InstrumentLongFile,
                         ::testing::Values(LongFile{"wv", "long.wv", {}},
                                           LongFile{"keysight", "long.bin", {"--output-format", "keysight"}}),
                         [](const ::testing::TestParamInfo<LongFile>& i) { return std::string(i.param.name); });

// ---- Files whose own figures disagree with their samples ---------------------------

// Replaces the first occurrence of from by to (same length) in the file at path.
void patch(const std::string& path, const std::string& from, const std::string& to) {
    ASSERT_EQ(from.size(), to.size());
    std::string bytes = orv_test::read_file(path);
    const size_t at = bytes.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    bytes.replace(at, from.size(), to);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

TEST(InstrumentVerdict, WrongLevelOffsetsFailTheVerdict) {
    const orv_test::TempDir dir;
    const std::string path = dir.file("b.wv");
    ASSERT_EQ(orvgen(with({"-o", path, "--backoff", "3"}, kFiltered)).status, 0);
    ASSERT_EQ(orv_test::orvcheck({path}).status, 0);
    patch(path, "   3.000000}", "   4.000000}");  // the stated peak offset, 1 dB off
    const orv_test::CheckRun rx = orv_test::orvcheck({path});
    EXPECT_EQ(rx.status, 3) << rx.out << rx.err;
    EXPECT_NE(rx.out.find(", 4.00 dB: DIFFER from the samples"), std::string::npos) << rx.out;
    EXPECT_NE(rx.out.find("level offsets differ"), std::string::npos) << rx.out;
}

TEST(InstrumentVerdict, MovedMarkerFailsTheVerdict) {
    const orv_test::TempDir dir;
    const std::string path = dir.file("f.bin");
    ASSERT_EQ(orvgen({"-o", path, "--output-format", "keysight", "--oversample", "1", "--packets", "3",
                                "--payload-bytes", "40", "--idle", "20"})
                  .status,
              0);
    ASSERT_EQ(orv_test::orvcheck({path}).status, 0);
    // The second packet's trigger pulse 100 samples late.
    const std::string mkr = orv::analysis::keysight_marker_path(path);
    std::string m = orv_test::read_file(mkr);
    const size_t second = m.find('\x03', m.find('\x02'));
    ASSERT_NE(second, std::string::npos);
    for (size_t k = second; k < second + 20; ++k) m[k] = '\x02';
    for (size_t k = second + 100; k < second + 120; ++k) m[k] = '\x03';
    std::ofstream(mkr, std::ios::binary | std::ios::trunc) << m;
    const orv_test::CheckRun rx = orv_test::orvcheck({path, "--json"});
    EXPECT_EQ(rx.status, 3) << rx.err;
    const json r = json::parse(rx.out);
    EXPECT_EQ(r["file"]["instrument"]["markers_ok"], false);
    EXPECT_NE(r["file"]["instrument"]["marker_problem"].get<std::string>().find("marker-1 pulse 1"), std::string::npos)
        << r["file"]["instrument"]["marker_problem"];
}

TEST(InstrumentVerdict, WrongChecksumIsRefusedWithItsOffset) {
    const orv_test::TempDir dir;
    const std::string path = dir.file("b.wv");
    ASSERT_EQ(orvgen({"-o", path}).status, 0);
    std::string bytes = orv_test::read_file(path);
    bytes[bytes.size() - 2] ^= 1;  // a bit of the last Q code
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    const orv_test::CheckRun rx = orv_test::orvcheck({path});
    EXPECT_EQ(rx.status, 2);
    EXPECT_NE(rx.err.find("byte 14:"), std::string::npos) << rx.err;  // just after "{TYPE: SMU-WV,"
    EXPECT_NE(rx.err.find("does not match the data"), std::string::npos) << rx.err;
}

// ---- The marker comparison ------------------------------------------------------

using orv::analysis::MarkerSpan;

struct MarkerCase {
    const char* name;
    std::vector<MarkerSpan> marker1, marker2, on_air;
    const char* problem;  // a part of the message, "" when they agree
};

void PrintTo(const MarkerCase& c, std::ostream* os) { *os << c.name; }

class MarkerComparison : public ::testing::TestWithParam<MarkerCase> {};

TEST_P(MarkerComparison, NamesTheFirstDisagreement) {
    const MarkerCase& c = GetParam();
    const std::string problem = orv::analysis::compare_markers(c.marker1, c.marker2, c.on_air, 16);
    if (*c.problem == '\0') EXPECT_EQ(problem, "");
    else EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MarkerComparison,
    ::testing::Values(
        MarkerCase{"agree", {{0, 20}, {1000, 20}}, {{0, 500}, {1000, 500}}, {{2, 500}, {1001, 498}}, ""},
        MarkerCase{"back_to_back_under_one_span", {{0, 20}, {500, 20}}, {{0, 1000}}, {{0, 500}, {500, 500}}, ""},
        MarkerCase{"pulse_missing", {{0, 20}}, {{0, 500}, {1000, 500}}, {{0, 500}, {1000, 500}}, "1 marker-1 pulses for 2"},
        MarkerCase{"pulse_late", {{0, 20}, {1017, 20}}, {{0, 500}, {1000, 500}}, {{0, 500}, {1000, 500}},
                   "marker-1 pulse 1 at sample 1017"},
        MarkerCase{"span_ends_early", {{0, 20}}, {{0, 400}}, {{0, 500}}, "ends at 400"},
        MarkerCase{"span_without_packet", {{0, 20}}, {{0, 500}, {800, 100}}, {{0, 500}}, "starts where no packet"},
        MarkerCase{"packet_without_span", {{0, 20}, {1000, 20}}, {{0, 500}}, {{0, 500}, {1000, 500}},
                   "has no marker-2 span"}),
    [](const ::testing::TestParamInfo<MarkerCase>& i) { return std::string(i.param.name); });

}  // namespace
