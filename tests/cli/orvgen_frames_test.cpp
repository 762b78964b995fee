// orvgen's frame mode: standard 802.11a frames from the frame options and a
// waveform description, in process and as a program.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "orvasynth.h"
#include "support/files.h"
#include "cli/orvgen_run.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using orv_test::CliRun;
using orv_test::orvgen;

using Scratch = orv_test::TempDir;
using orv_test::read_file;

// Writes bytes to the file name in the scratch folder; its path.
std::string put(const Scratch& s, const std::string& name, const std::string& bytes) {
    std::ofstream(s.file(name), std::ios::binary) << bytes;
    return s.file(name);
}

// Replaces a leading '@' of each argument with the scratch folder.
std::vector<std::string> in_scratch(const Scratch& s, std::vector<std::string> args) {
    for (std::string& a : args)
        if (!a.empty() && a[0] == '@') a = s.file(a.substr(1));
    return args;
}

// A classic pcap file header (microsecond timestamps, little-endian) of a link type.
std::string pcap_header(uint32_t link_type) {
    std::string h;
    auto le32 = [&](uint32_t v) {
        for (int k = 0; k < 4; ++k) h += static_cast<char>(v >> (8 * k));
    };
    le32(0xa1b2c3d4);
    h += std::string("\x02\x00\x04\x00", 4);
    le32(0);
    le32(0);
    le32(65535);
    le32(link_type);
    return h;
}

// DATA symbols of a PSDU of n octets at N_DBPS data bits per symbol (17.3.5.4).
int64_t data_symbols(int64_t n, int64_t ndbps) { return (16 + 8 * n + 6 + ndbps - 1) / ndbps; }

// ---- The PER example: sampling rate, packet starts, total, file size ---------------

struct PerCase {
    const char* name;
    std::vector<std::string> extra;
    double fs;       // the file's sampling rate
    int64_t packet;  // samples of one PPDU
    int64_t idle;    // samples of 20 us of silence
    int64_t ramp;    // the window's transitions: T_TR * 20 MHz * oversampling - 1 samples, 0 without
};

void PrintTo(const PerCase& c, std::ostream* os) { *os << c.name; }

class PerExample : public ::testing::TestWithParam<PerCase> {};

TEST_P(PerExample, PacketsFollowEachOtherAtPacketPlusIdle) {
    const PerCase& c = GetParam();
    Scratch s;
    std::vector<std::string> args = {"-o", s.file("per54.awv"), "--rate", "54", "--payload-bytes", "1000",
                                     "--packets", "100", "--idle", "20", "--json"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const CliRun r = orvgen(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(r.out);
    EXPECT_EQ(j["packet_count"], 100);
    EXPECT_EQ(j["sampling_rate"].get<double>(), c.fs);
    const auto starts = j["packet_starts"].get<std::vector<int64_t>>();
    ASSERT_EQ(starts.size(), 100u);
    // The first short-training sample follows the rising half of the ramp.
    EXPECT_EQ(starts[0], c.ramp / 2);
    const int64_t stride = c.packet + c.ramp + c.idle;
    for (size_t k = 0; k < starts.size(); ++k) ASSERT_EQ(starts[k], starts[0] + static_cast<int64_t>(k) * stride) << k;
    const int64_t total = j["total_samples"];
    EXPECT_EQ(total, 100 * stride);

    // The AWG header's sampling frequency and data size, the file's size.
    const std::string file = read_file(s.file("per54.awv"));
    char freq[64];
    std::snprintf(freq, sizeof freq, "{SAMPLINGFREQ:%.6f}", c.fs);
    EXPECT_NE(file.find(freq), std::string::npos) << file.substr(0, 200);
    const std::string wave = "{WAVEDATA:" + std::to_string(8 * total) + ";";
    const size_t at = file.find(wave);
    ASSERT_NE(at, std::string::npos) << file.substr(0, 200);
    EXPECT_EQ(file.size(), at + wave.size() + 8 * static_cast<size_t>(total) + 1);
    EXPECT_EQ(file.back(), '}');
}

// 54 Mbit/s (N_DBPS 216), PSDU 1028 octets: 39 DATA symbols, a PPDU of 400 + 39 * 80 samples at 20 MS/s.
constexpr int64_t kPpdu54 = 400 + 80 * 39;

INSTANTIATE_TEST_SUITE_P(
    Cases, PerExample,
    ::testing::Values(PerCase{"oversample_1", {"--oversample", "1"}, 20e6, kPpdu54, 400, 1},
                      PerCase{"default_oversample_8", {}, 160e6, 8 * kPpdu54, 8 * 400, 15},
                      PerCase{"channel_10", {"--oversample", "1", "--channel", "10"}, 10e6, kPpdu54, 200, 1},
                      PerCase{"channel_5_os_2", {"--oversample", "2", "--channel", "5"}, 10e6, 2 * kPpdu54, 200, 3},
                      PerCase{"nyquist_os_10", {"--oversample", "10", "--filter", "nyquist", "--cut-off", "9"},
                              200e6, 10 * kPpdu54, 4000, 19},
                      PerCase{"no_window", {"--oversample", "1", "--window-tr", "0"}, 20e6, kPpdu54, 400, 0}),
    [](const ::testing::TestParamInfo<PerCase>& i) { return std::string(i.param.name); });

TEST(FrameMode, DataSymbolsOfThePerPacket) { EXPECT_EQ(data_symbols(1028, 216), 39); }

// ---- CSV at 20 MS/s against the library ---------------------------------------------

struct Samples {
    std::vector<double> i, q;
};

int32_t ORV_CALL collect(void* context, int64_t, int32_t n, const double* i, const double* q) {
    auto* s = static_cast<Samples*>(context);
    s->i.insert(s->i.end(), i, i + n);
    s->q.insert(s->q.end(), q, q + n);
    return 0;
}

TEST(FrameMode, CsvAtOversample1HoldsTheLibrarysSamples) {
    Scratch s;
    const std::vector<uint8_t> psdu = {0x08, 0x00, 0x12, 0x34, 0xde, 0xad, 0xbe, 0xef, 0x01, 0x02, 0x03};
    const CliRun r = orvgen({"-o", s.file("x.csv"), "--oversample", "1", "--rate", "36", "--psdu-hex",
                             "08 00 12 34 de ad be ef 01 02 03", "--packets", "3", "--idle", "4.5",
                             "--scrambler-init", "17"});
    ASSERT_EQ(r.status, 0) << r.err;

    OrvSequenceParams p{};
    p.size = sizeof p;
    p.oversampling = 1;
    p.channel_mhz = 20;
    p.window_tr = 100e-9;
    p.filter_taps = 191;
    p.filter_rolloff = 0.5;
    OrvPacket pk{};
    pk.size = sizeof pk;
    pk.rate_index = 5;
    pk.scrambler_init = 17;
    pk.psdu_length = static_cast<int32_t>(psdu.size());
    pk.psdu = psdu.data();
    pk.idle_time = 4.5e-6;
    const OrvPacket packets[3] = {pk, pk, pk};
    ASSERT_EQ(orv_11a_sequence(&p, packets, 3, 1, s.file("lib.csv").c_str(), nullptr), 0);
    EXPECT_EQ(read_file(s.file("x.csv")), read_file(s.file("lib.csv")));

    Samples lib;
    ASSERT_EQ(orv_11a_sequence_blocks(&p, packets, 3, collect, &lib, nullptr), 0);
    std::istringstream csv(read_file(s.file("x.csv")));
    std::string line;
    size_t n = 0;
    while (std::getline(csv, line)) {
        double i = 0, q = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%lf,%lf", &i, &q), 2) << line;
        ASSERT_LT(n, lib.i.size());
        EXPECT_NEAR(i, lib.i[n], 1e-9 + 1e-9 * std::fabs(lib.i[n])) << "sample " << n;
        EXPECT_NEAR(q, lib.q[n], 1e-9 + 1e-9 * std::fabs(lib.q[n])) << "sample " << n;
        ++n;
    }
    EXPECT_EQ(n, lib.i.size());
}

// ---- Bad inputs: message, exit status, nothing written ------------------------------

struct BadCase {
    const char* name;
    std::vector<std::string> args;  // "@name": a file in the scratch folder (see below)
    int status;
    const char* message;
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class BadFrameInput : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadFrameInput, RefusedWithItsMessageAndNothingWritten) {
    const BadCase& c = GetParam();
    Scratch s;
    put(s, "empty.pcap", "");
    put(s, "ethernet.pcap", pcap_header(1) + std::string(16, '\0'));
    put(s, "header_only.pcap", pcap_header(105));
    put(s, "broken.json", "{\"packets\": [ {\"rate\": 6, ");
    put(s, "bad_rate.json", R"({"packets": [{"rate": 55, "payload-bytes": 10}]})");
    put(s, "big_window.json", R"({"settings": {"window-tr": 1.5}, "packets": [{"rate": 6, "payload-bytes": 10}]})");
    put(s, "empty.bin", "");
    put(s, "big.bin", std::string(4096, 'x'));
    for (const char* out : {"x.awv", "x.csv", "x.sigmf-data"}) {
        std::vector<std::string> args = in_scratch(s, c.args);
        args.push_back("-o");
        args.push_back(s.file(out));
        const CliRun r = orvgen(args);
        EXPECT_EQ(r.status, c.status) << out << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << out << ": " << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    for (const auto& e : fs::directory_iterator(s.path))
        EXPECT_EQ(e.path().filename().string().rfind("x.", 0), std::string::npos) << e.path() << " written";
}

const std::string k4096Hex(2 * 4096, 'a');

INSTANTIATE_TEST_SUITE_P(
    Cases, BadFrameInput,
    ::testing::Values(
        BadCase{"payload_beyond_4095_with_header", {"--payload-bytes", "4068"}, kExitRefused, "--payload-bytes"},
        BadCase{"bare_payload_0", {"--payload-bytes", "0", "--mac-frame", "none"}, kExitRefused,
                "--payload-bytes: \"0\" is not 1..4095"},
        BadCase{"bare_payload_4096", {"--payload-bytes", "4096", "--mac-frame", "none"}, kExitRefused,
                "--payload-bytes: \"4096\" is not 1..4095"},
        BadCase{"psdu_hex_4096_octets", {"--psdu-hex", k4096Hex}, kExitRefused, "--psdu-hex: 4096 octets"},
        BadCase{"psdu_hex_odd", {"--psdu-hex", "abc"}, kExitRefused, "--psdu-hex"},
        BadCase{"psdu_file_empty", {"--psdu-file", "@empty.bin"}, kExitRefused, "--psdu-file"},
        BadCase{"psdu_file_4096", {"--psdu-file", "@big.bin"}, kExitRefused, "--psdu-file"},
        BadCase{"psdu_file_missing", {"--psdu-file", "@none.bin"}, kExitRefused, "--psdu-file"},
        BadCase{"scrambler_0", {"--payload-bytes", "10", "--scrambler-init", "0"}, kExitRefused,
                "--scrambler-init: \"0\" is not 1..127 or step"},
        BadCase{"scrambler_128", {"--payload-bytes", "10", "--scrambler-init", "128"}, kExitRefused,
                "--scrambler-init: \"128\" is not 1..127 or step"},
        BadCase{"rate_7", {"--payload-bytes", "10", "--rate", "7"}, kExitRefused, "--rate: 7 is not one of"},
        BadCase{"pcap_empty", {"--pcap", "@empty.pcap"}, kExitRefused, "--pcap"},
        BadCase{"pcap_no_packets", {"--pcap", "@header_only.pcap"}, kExitRefused, "--pcap"},
        BadCase{"pcap_ethernet", {"--pcap", "@ethernet.pcap"}, kExitRefused, "--pcap"},
        BadCase{"pcap_missing", {"--pcap", "@none.pcap"}, kExitRefused, "--pcap"},
        BadCase{"json_malformed", {"--waveform", "@broken.json"}, kExitRefused, "not valid JSON"},
        BadCase{"json_rate_55", {"--waveform", "@bad_rate.json"}, kExitRefused, "/packets/0/rate: 55 is not one of"},
        BadCase{"json_window_tr", {"--waveform", "@big_window.json"}, kExitRefused, "window-tr"},
        BadCase{"json_missing", {"--waveform", "@none.json"}, kExitRefused, "--waveform"},
        BadCase{"packets_0", {"--payload-bytes", "10", "--packets", "0"}, kExitRefused, "--packets"},
        BadCase{"idle_negative", {"--payload-bytes", "10", "--idle", "-1"}, kExitRefused, "--idle"},
        BadCase{"oversample_11", {"--payload-bytes", "10", "--oversample", "11"}, kExitRefused,
                "--oversample 11 is out of range: frames take 1 to 10"},
        BadCase{"oversample_0", {"--payload-bytes", "10", "--oversample", "0"}, kExitRefused, "--oversample 0"},
        BadCase{"window_tr_1", {"--payload-bytes", "10", "--window-tr", "1"}, kExitRefused, "--window-tr 1"},
        BadCase{"channel_40", {"--payload-bytes", "10", "--channel", "40"}, kExitRefused,
                "--channel 40 is not one of 20, 10, 5"},
        BadCase{"address", {"--payload-bytes", "10", "--addr1", "01:02"}, kExitRefused, "--addr1"},
        BadCase{"library_freq_error_at_os_1", {"--payload-bytes", "10", "--oversample", "1", "--freq-error", "15"},
                kExitRefused, "freq_error (up to half the sampling rate) (--freq-error)"},
        BadCase{"hex_with_payload", {"--psdu-hex", "aa", "--payload-bytes", "3"}, kExitUsage, "excludes"},
        BadCase{"hex_with_pcap", {"--psdu-hex", "aa", "--pcap", "@empty.pcap"}, kExitUsage, "excludes"},
        BadCase{"waveform_with_packets", {"--waveform", "@bad_rate.json", "--packets", "3"}, kExitUsage, "excludes"},
        BadCase{"waveform_with_rate", {"--waveform", "@bad_rate.json", "--rate", "6"}, kExitUsage,
                "--rate cannot go with --waveform"},
        BadCase{"waveform_with_channel", {"--waveform", "@bad_rate.json", "--channel", "10"}, kExitUsage,
                "--channel cannot go with --waveform"},
        BadCase{"burst_symbols", {"--payload-bytes", "10", "--symbols", "5"}, kExitUsage,
                "--symbols applies to the test-pattern burst"},
        BadCase{"psdu_hex_empty", {"--psdu-hex", ""}, kExitRefused, "--psdu-hex needs a value"},
        BadCase{"waveform_empty", {"--waveform", ""}, kExitRefused, "--waveform needs a value"},
        BadCase{"pcap_empty_name", {"--pcap", ""}, kExitRefused, "--pcap needs a value"},
        BadCase{"nyquist_without_cutoff", {"--payload-bytes", "10", "--filter", "nyquist"}, kExitUsage,
                "--filter nyquist needs --cut-off above 0"}),
    [](const ::testing::TestParamInfo<BadCase>& i) { return std::string(i.param.name); });

// ---- --json members ---------------------------------------------------------------------

TEST(FrameMode, JsonMembers) {
    Scratch s;
    const CliRun r = orvgen({"-o", s.file("j.sigmf-data"), "--oversample", "2", "--rate", "6", "--psdu-hex", "01 02",
                             "--packets", "2", "--idle", "1", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(r.out);
    for (const char* key : {"path", "output_format", "sampling_rate", "total_samples", "packet_count",
                            "packet_starts", "result", "data_path", "meta_path", "sigmf_type"})
        EXPECT_TRUE(j.contains(key)) << key;
    EXPECT_EQ(j["output_format"], "sigmf");
    EXPECT_EQ(j["packet_count"], 2);
    // 2 octets at 6 Mbit/s: 2 DATA symbols, 560 samples at 40 MS/s, the ramps (3), 40 idle samples.
    const auto starts = j["packet_starts"].get<std::vector<int64_t>>();
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[1] - starts[0], 2 * (400 + 80 * data_symbols(2, 24)) + 3 + 40);
    EXPECT_EQ(j["total_samples"], static_cast<int64_t>(fs::file_size(s.file("j.sigmf-data")) / 8));
}

// ---- SigMF: annotations and --from ----------------------------------------------------------

TEST(FrameMode, SigmfAnnotatesEveryPacket) {
    Scratch s;
    const CliRun r = orvgen({"-o", s.file("a.sigmf-meta"), "--oversample", "1", "--rate", "24", "--payload-bytes",
                             "100", "--packets", "3", "--idle", "10", "--scrambler-init", "step", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto starts = json::parse(r.out)["packet_starts"].get<std::vector<int64_t>>();
    const json meta = json::parse(read_file(s.file("a.sigmf-meta")));
    EXPECT_EQ(meta["global"]["core:sample_rate"], 20000000);
    std::vector<json> packets;
    std::vector<std::string> labels;
    int64_t last_start = -1;
    for (const json& a : meta["annotations"]) {
        EXPECT_GE(a["core:sample_start"].get<int64_t>(), last_start) << "annotations in order";
        last_start = a["core:sample_start"];
        labels.push_back(a["core:label"]);
        if (a["core:label"] == "packet") packets.push_back(a);
    }
    ASSERT_EQ(packets.size(), 3u);
    const int64_t nsym = data_symbols(128, 96);
    for (size_t k = 0; k < 3; ++k) {
        const json& a = packets[k];
        EXPECT_EQ(a["core:sample_start"], starts[k]);
        EXPECT_EQ(a["core:sample_count"], 400 + 80 * nsym);
        EXPECT_EQ(a["orvane:rate_mbps"], 24);
        EXPECT_EQ(a["orvane:psdu_length"], 128);
        EXPECT_EQ(a["orvane:scrambler_init"], static_cast<int>(k) + 1);
        EXPECT_EQ(a["orvane:sequence_number"], static_cast<int>(k));
        EXPECT_NE(a["core:comment"].get<std::string>().find("sequence number " + std::to_string(k)), std::string::npos);
    }
    const std::vector<std::string> one = {"packet", "STF", "LTF", "SIGNAL", "DATA", "idle"};
    ASSERT_EQ(labels.size(), 3 * one.size());
    for (size_t k = 0; k < labels.size(); ++k) EXPECT_EQ(labels[k], one[k % one.size()]) << k;
}

struct RoundTripCase {
    const char* name;
    std::vector<std::string> args;
};

void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << c.name; }

class FromRecording : public ::testing::TestWithParam<RoundTripCase> {};

// Each generation a program of its own: the noise generator's shuffle table
// lives as long as the process (as for the burst), so a second noisy
// waveform in one process draws other noise.
int run_program(const std::vector<std::string>& args) {
    std::string command = ORVGEN_PROGRAM_FILE;
    for (const std::string& a : args) command += " '" + a + "'";
    const int rc = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

TEST_P(FromRecording, MakesTheSameBytesAgain) {
    Scratch s;
    put(s, "psdu.bin", std::string("\x80\x00\x00\x00\xff\xff\xff\xff\xff\xff\x02\x00\x00\x00\x00\x01", 16));
    put(s, "seq.json", R"({"settings": {"oversample": 2, "filter": "nyquist", "cut-off": 9, "gauss": -30,
                          "freq-error": 0.01, "dc-real": 1},
                          "packets": [{"rate": 9, "psdu-file": "psdu.bin", "idle": 3},
                                      {"rate": 48, "payload-bytes": 50, "scrambler-init": "step", "repeat": 2},
                                      {"rate": 12, "data": "ALL1", "payload-bytes": 5, "mac-frame": "none"}]})");
    std::vector<std::string> args = in_scratch(s, GetParam().args);
    args.insert(args.end(), {"-o", s.file("first.sigmf-data")});
    ASSERT_EQ(run_program(args), 0);
    // Away go the inputs: the recording alone makes the waveform again.
    fs::remove(s.file("seq.json"));
    fs::remove(s.file("psdu.bin"));
    std::vector<std::string> again = {"--from", s.file("first.sigmf-meta"), "-o", s.file("again.sigmf-data")};
    if (std::find(args.begin(), args.end(), "ci16_le") != args.end()) again.insert(again.end(), {"--sigmf-type", "ci16_le"});
    ASSERT_EQ(run_program(again), 0);
    const std::string data = read_file(s.file("first.sigmf-data"));
    EXPECT_FALSE(data.empty());
    EXPECT_TRUE(data == read_file(s.file("again.sigmf-data"))) << "data files differ";
    EXPECT_TRUE(read_file(s.file("first.sigmf-meta")) == read_file(s.file("again.sigmf-meta"))) << "metadata differs";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FromRecording,
    ::testing::Values(RoundTripCase{"per_options", {"--rate", "54", "--payload-bytes", "300", "--packets", "4",
                                                     "--idle", "2", "--oversample", "1"}},
                      RoundTripCase{"description_with_impairments", {"--waveform", "@seq.json"}},
                      RoundTripCase{"ci16_channel_10", {"--psdu-hex", "c4 00 00 00 02 00 00 00 00 01", "--packets",
                                                         "2", "--channel", "10", "--sigmf-type", "ci16_le"}},
                      RoundTripCase{"ci16_noise", {"--payload-bytes", "20", "--gauss", "-25", "--sigmf-type",
                                                    "ci16_le", "--packets", "3"}}),
    [](const ::testing::TestParamInfo<RoundTripCase>& i) { return std::string(i.param.name); });

// ci16_le: the peak found by the first pass is the peak of the samples
// written by the second, noise included (full scale reached, nothing clipped).
TEST(FrameMode, Ci16FullScaleIsThePeakOfTheNoisySamples) {
    Scratch s;
    const CliRun r = orvgen({"-o", s.file("n.sigmf-data"), "--oversample", "1", "--payload-bytes", "40", "--packets",
                             "2", "--gauss", "-20", "--sigmf-type", "ci16_le", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json::parse(r.out)["saturated_samples"], 0);
    const std::string data = read_file(s.file("n.sigmf-data"));
    ASSERT_EQ(data.size() % 2, 0u);
    int peak = 0;
    for (size_t k = 0; k + 1 < data.size(); k += 2) {
        const auto code = static_cast<int16_t>(static_cast<uint8_t>(data[k]) | (static_cast<uint8_t>(data[k + 1]) << 8));
        peak = std::max(peak, std::abs(static_cast<int>(code)));
    }
    EXPECT_EQ(peak, 32767);
}

TEST(FrameMode, FromRefusesFrameOptions) {
    Scratch s;
    ASSERT_EQ(orvgen({"-o", s.file("a.sigmf-data"), "--psdu-hex", "01"}).status, 0);
    const CliRun r = orvgen({"--from", s.file("a.sigmf-meta"), "--packets", "2", "-o", s.file("b.sigmf-data")});
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_NE(r.err.find("--packets cannot go with it"), std::string::npos) << r.err;
}

TEST(FrameMode, FromRefusesABrokenPsdu) {
    Scratch s;
    ASSERT_EQ(orvgen({"-o", s.file("a.sigmf-data"), "--psdu-hex", "0102"}).status, 0);
    std::string meta = read_file(s.file("a.sigmf-meta"));
    const size_t at = meta.find("\"psdu\": \"0102\"");
    ASSERT_NE(at, std::string::npos);
    meta.replace(at, 14, "\"psdu\": \"01x\"");
    put(s, "a.sigmf-meta", meta);
    const CliRun r = orvgen({"--from", s.file("a.sigmf-meta"), "-o", s.file("b.sigmf-data")});
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_NE(r.err.find("psdu"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(s.file("b.sigmf-data")));
}

TEST(FrameMode, HelpNamesTheFrameOptions) {
    const CliRun r = orvgen({"--help"});
    ASSERT_EQ(r.status, 0);
    for (const char* opt : {"--payload-bytes", "--psdu-file", "--psdu-hex", "--pcap", "--packets", "--idle",
                            "--mac-frame", "--scrambler-init", "--addr1", "--addr2", "--addr3", "--duration",
                            "--waveform", "--channel"})
        EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
    EXPECT_NE(r.out.find("--oversample takes 1 to 10"), std::string::npos);
}

struct UnwritableCase {
    const char* name;
    const char* output;
};

void PrintTo(const UnwritableCase& c, std::ostream* os) { *os << c.name; }

class Unwritable : public ::testing::TestWithParam<UnwritableCase> {};

TEST_P(Unwritable, ExitsThreeNamingTheFile) {
    Scratch s;
    const std::string out = s.file(std::string("no/dir/") + GetParam().output);
    const CliRun r = orvgen({"-o", out, "--payload-bytes", "10", "--packets", "2", "--oversample", "1"});
    EXPECT_EQ(r.status, kExitNotWritten) << r.err;
    EXPECT_NE(r.err.find("could not be written"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(s.file("no/dir/")), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Cases, Unwritable,
                         ::testing::Values(UnwritableCase{"awg", "x.awv"}, UnwritableCase{"csv", "x.csv"},
                                           UnwritableCase{"sigmf_cf32", "x.sigmf-data"}),
                         [](const ::testing::TestParamInfo<UnwritableCase>& i) { return std::string(i.param.name); });

// A captured frame that carries its FCS is sent as captured, once per --packets.
TEST(FrameMode, CaptureFramesAreSentAsCaptured) {
    Scratch s;
    // A probe request to broadcast (24 octets of header, an empty SSID element) and its FCS.
    std::string frame("\x40\x00\x00\x00\xff\xff\xff\xff\xff\xff\x02\x00\x00\x00\x00\x07"
                      "\xff\xff\xff\xff\xff\xff\x10\x00\x00\x00", 26);
    uint32_t crc = 0xFFFFFFFF;
    for (unsigned char c : frame) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    crc = ~crc;
    for (int k = 0; k < 4; ++k) frame += static_cast<char>(crc >> (8 * k));
    std::string record;
    for (uint32_t v : {0u, 0u, static_cast<uint32_t>(frame.size()), static_cast<uint32_t>(frame.size())})
        for (int k = 0; k < 4; ++k) record += static_cast<char>(v >> (8 * k));
    put(s, "probe.pcap", pcap_header(105) + record + frame);

    const CliRun r = orvgen({"-o", s.file("p.sigmf-data"), "--pcap", s.file("probe.pcap"), "--packets", "2",
                             "--rate", "6", "--oversample", "1", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json::parse(r.out)["packet_count"], 2);
    const json meta = json::parse(read_file(s.file("p.sigmf-meta")));
    std::string hex;
    for (unsigned char c : frame) {
        char b[3];
        std::snprintf(b, sizeof b, "%02x", c);
        hex += b;
    }
    ASSERT_EQ(meta["global"]["orvane:packets"].size(), 2u);
    for (const json& p : meta["global"]["orvane:packets"]) {
        EXPECT_EQ(p["psdu"], hex);
        EXPECT_EQ(p["sequence_number"], -1) << "not a data frame made here";
        EXPECT_EQ(p["rate_index"], 0);
    }
}

struct SeedCase {
    const char* name;
    const char* data;
    const char* seed;
    bool warns;
};

void PrintTo(const SeedCase& c, std::ostream* os) { *os << c.name; }

class FrameConstantPayload : public ::testing::TestWithParam<SeedCase> {};

// A PN register started with its low n bits zero stays zero: warned, still written.
TEST_P(FrameConstantPayload, WarnsOnlyWhenTheRegisterStartsAtZero) {
    const SeedCase& c = GetParam();
    Scratch s;
    const CliRun r = orvgen({"-o", s.file("w.csv"), "--oversample", "1", "--payload-bytes", "8", "--data", c.data,
                             "--seed", c.seed});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("payload is constant") != std::string::npos, c.warns) << r.err;
    EXPECT_TRUE(fs::exists(s.file("w.csv")));
}

INSTANTIATE_TEST_SUITE_P(Cases, FrameConstantPayload,
                         ::testing::Values(SeedCase{"pn9_seed_200", "PN9", "200", true},
                                           SeedCase{"pn9_seed_1FF", "PN9", "1FF", false},
                                           SeedCase{"pn15_seed_8000", "PN15", "8000", true},
                                           SeedCase{"pn23_seed_800001", "PN23", "800001", false},
                                           SeedCase{"all1_seed_200", "ALL1", "200", false}),
                         [](const ::testing::TestParamInfo<SeedCase>& i) { return std::string(i.param.name); });

// ---- As a program ----------------------------------------------------------------------------

TEST(FrameMode, ProgramExitStatus) {
    Scratch s;
    auto status = [&](const std::string& args) { return orv_test::orvgen_program(s, args).status; };
    EXPECT_EQ(status("-o " + s.file("per54.awv") + " --rate 54 --payload-bytes 1000 --packets 100 --idle 20"), 0);
    // 100 packets of 3520 samples, their ramps and 400 idle samples each, at 160 MS/s, 8 bytes a sample.
    EXPECT_GT(fs::file_size(s.file("per54.awv")), 8u * 100 * (8 * (kPpdu54 + 400) + 15));
    EXPECT_LT(fs::file_size(s.file("per54.awv")), 8u * 100 * (8 * (kPpdu54 + 400) + 15) + 400);
    EXPECT_EQ(status("-o " + s.file("a.csv") + " --payload-bytes 4068"), 2);
    EXPECT_EQ(status("-o " + s.file("b.csv") + " --payload-bytes 10 --oversample 1 --check"), 0);
    EXPECT_EQ(status("-o " + s.file("n.csv") + " --payload-bytes 10 --oversample 1 --gauss 0 --check"), 5);
    EXPECT_EQ(status("-o " + s.file("no/dir/c.csv") + " --payload-bytes 10"), 3);
    EXPECT_FALSE(fs::exists(s.file("a.csv")));
}

}  // namespace
