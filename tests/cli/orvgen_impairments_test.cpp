// orvgen's impairment options and a description's "impairments": the samples
// against the library's impaired entry, bad input refused by name with
// nothing written, and a recording made again from its metadata alone.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/orvgen_run.h"
#include "orvasynth.h"
#include "support/files.h"

namespace {

namespace fs = std::filesystem;
using orv_test::CliRun;
using orv_test::orvgen;
using orv_test::read_file;
using Scratch = orv_test::TempDir;

std::string put(const Scratch& s, const std::string& name, const std::string& bytes) {
    std::ofstream(s.file(name), std::ios::binary) << bytes;
    return s.file(name);
}

std::vector<std::string> in_scratch(const Scratch& s, std::vector<std::string> args) {
    for (std::string& a : args)
        if (!a.empty() && a[0] == '@') a = s.file(a.substr(1));
    return args;
}

struct BadCase {
    const char* name;
    std::vector<std::string> args;  // "@name": a file in the scratch folder
    int status;
    const char* message;
};
void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }
class BadImpairment : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadImpairment, RefusedNamingTheOptionAndNothingWritten) {
    const BadCase& c = GetParam();
    Scratch s;
    put(s, "unsorted.txt", "0 0\n100 -3\n# a comment\n50 -6 90\n");
    put(s, "word.txt", "0 0\n10 loud\n");
    put(s, "four.txt", "0 0 0 0\n");
    put(s, "lonely.txt", "# nothing\n20\n");
    put(s, "negative.txt", "-10 0\n");
    put(s, "empty.txt", "# only a comment\n\n");
    put(s, "snr.json", R"({"packets": [{"rate": 6, "payload-bytes": 10}], "impairments": {"snr": 150}})");
    put(s, "key.json", R"({"packets": [{"rate": 6, "payload-bytes": 10}], "impairments": {"noise": 3}})");
    put(s, "taps.json", R"({"packets": [{"rate": 6, "payload-bytes": 10}],
                            "impairments": {"multipath-taps": "unsorted.txt"}})");
    for (const char* out : {"x.csv", "x.sigmf-data"}) {
        std::vector<std::string> args = in_scratch(s, c.args);
        args.insert(args.end(), {"-o", s.file(out)});
        const CliRun r = orvgen(args);
        EXPECT_EQ(r.status, c.status) << out << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << out << ": " << r.err;
    }
    for (const auto& e : fs::directory_iterator(s.path))
        EXPECT_EQ(e.path().filename().string().rfind("x.", 0), std::string::npos) << e.path() << " written";
}

const std::vector<std::string> kFrame = {"--payload-bytes", "20"};
std::vector<std::string> with(std::vector<std::string> extra) {
    std::vector<std::string> a = kFrame;
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadImpairment,
    ::testing::Values(
        BadCase{"snr_101", with({"--snr", "101"}), 2, "--snr: 101 is out of range: -20 to 100"},
        BadCase{"snr_word", with({"--snr", "high"}), 2, "--snr: \"high\" is not a decimal number"},
        BadCase{"iq_gain_11", with({"--iq-gain", "11"}), 2, "--iq-gain: 11 is out of range"},
        BadCase{"iq_phase_minus_50", with({"--iq-phase", "-50"}), 2, "--iq-phase: -50 is out of range"},
        BadCase{"profile_unsorted", with({"--phase-noise", "-80@1e4,-90@1e3"}), 2,
                "--phase-noise: point 2 \"-90@1e3\": offsets must ascend"},
        BadCase{"profile_negative_offset", with({"--phase-noise", "-80@-1e3,-90@1e4"}), 2,
                "--phase-noise: point 1 \"-80@-1e3\": the offset must be above 0 Hz"},
        BadCase{"profile_one_point", with({"--phase-noise", "-80@1e3"}), 2, "needs 2 to 64 points"},
        BadCase{"profile_no_at", with({"--phase-noise", "-80,1e3"}), 2, "is not dBc/Hz@Hz"},
        BadCase{"profile_and_rms", with({"--phase-noise", "-80@1e3,-90@1e4", "--phase-noise-rms", "1"}), 2,
                "--phase-noise-rms: not with phase-noise"},
        BadCase{"rms_61", with({"--phase-noise-rms", "61"}), 2, "--phase-noise-rms: 61 is out of range"},
        BadCase{"ppm_without_carrier", with({"--ppm", "10"}), 2, "--ppm: needs carrier-ghz"},
        BadCase{"cfo_without_carrier", with({"--cfo-ppm", "10"}), 2, "--cfo-ppm: needs carrier-ghz"},
        BadCase{"ppm_with_clock", with({"--ppm", "10", "--clock-ppm", "3", "--carrier-ghz", "5"}), 2,
                "--ppm: sets both offsets"},
        BadCase{"clock_2000", with({"--clock-ppm", "2000"}), 2, "--clock-ppm: 2000 is out of range"},
        BadCase{"carrier_beyond_half_rate", with({"--cfo-ppm", "1000", "--carrier-ghz", "100", "--oversample", "1"}),
                2, "cfo_ppm, carrier_ghz"},
        BadCase{"multipath_0p5", with({"--multipath-rms", "0.5"}), 2, "--multipath-rms: 0.5 is out of range"},
        BadCase{"per_packet_alone", with({"--multipath-per-packet"}), 2, "--multipath-per-packet: needs multipath-rms"},
        BadCase{"taps_and_rms", with({"--multipath-rms", "50", "--multipath-taps", "@unsorted.txt"}), 2,
                "--multipath-taps: not with multipath-rms"},
        BadCase{"taps_unsorted", with({"--multipath-taps", "@unsorted.txt"}), 2, "unsorted.txt line 4: delays must ascend"},
        BadCase{"taps_word", with({"--multipath-taps", "@word.txt"}), 2, "word.txt line 2: \"loud\" is not a decimal number"},
        BadCase{"taps_four_numbers", with({"--multipath-taps", "@four.txt"}), 2, "four.txt line 1: more than three numbers"},
        BadCase{"taps_one_number", with({"--multipath-taps", "@lonely.txt"}), 2, "lonely.txt line 2: needs delay_ns gain_db"},
        BadCase{"taps_negative", with({"--multipath-taps", "@negative.txt"}), 2, "negative.txt line 1: the delay must be 0"},
        BadCase{"taps_none", with({"--multipath-taps", "@empty.txt"}), 2, "empty.txt: no taps"},
        BadCase{"taps_missing", with({"--multipath-taps", "@none.txt"}), 2, "--multipath-taps"},
        BadCase{"rapp_one_number", with({"--pa-rapp", "3"}), 2, "--pa-rapp: \"3\" is not p,backoff_dB"},
        BadCase{"rapp_p_0", with({"--pa-rapp", "0,6"}), 2, "--pa-rapp: p is out of range"},
        BadCase{"clip_minus_1", with({"--clip-papr", "-1"}), 2, "--clip-papr: -1 is out of range"},
        BadCase{"snr_empty", with({"--snr", ""}), 2, "--snr needs a value"},
        BadCase{"burst_snr_101", {"--snr", "101"}, 2, "--snr: 101 is out of range: -20 to 100"},
        BadCase{"burst_carrier_beyond_half_rate", {"--cfo-ppm", "1000", "--carrier-ghz", "1000"}, 2,
                "cfo_ppm, carrier_ghz"},
        BadCase{"burst_taps_missing", {"--multipath-taps", "@none.txt"}, 2, "--multipath-taps"},
        BadCase{"waveform_with_snr", {"--waveform", "@snr.json", "--snr", "10"}, 1,
                "--snr cannot go with --waveform"},
        BadCase{"description_snr_150", {"--waveform", "@snr.json"}, 2, "/impairments/snr: 150 is out of range"},
        BadCase{"description_unknown_key", {"--waveform", "@key.json"}, 2, "/impairments/noise: unknown key"},
        BadCase{"description_taps_line", {"--waveform", "@taps.json"}, 2, "unsorted.txt line 4: delays must ascend"}),
    [](const ::testing::TestParamInfo<BadCase>& i) { return std::string(i.param.name); });

struct Csv {
    std::vector<double> i, q;
};

Csv read_csv(const std::string& path) {
    Csv c;
    std::istringstream in(read_file(path));
    in.imbue(std::locale::classic());
    std::string line;
    while (std::getline(in, line)) {
        const size_t comma = line.find(',');
        if (comma == std::string::npos) continue;
        c.i.push_back(std::stod(line.substr(0, comma)));
        c.q.push_back(std::stod(line.substr(comma + 1)));
    }
    return c;
}

// The options reach the library as the record they name: a clock offset
// lengthens or shortens the file as the library's entry does, and an SNR
// adds noise of the asked power (the CSV against the noise-free CSV).
TEST(ImpairmentOptions, SnrAndClockReachTheLibrary) {
    Scratch s;
    const std::vector<std::string> base = {"--payload-bytes", "200", "--packets", "3", "--idle", "10",
                                           "--oversample", "2", "--rate", "24"};
    std::vector<std::string> plain = base, noisy = base, slow = base;
    plain.insert(plain.end(), {"-o", s.file("plain.csv")});
    noisy.insert(noisy.end(), {"--snr", "10", "--impairment-seed", "99", "-o", s.file("noisy.csv")});
    slow.insert(slow.end(), {"--clock-ppm", "-500", "--json", "-o", s.file("slow.csv")});
    ASSERT_EQ(orvgen(plain).status, 0);
    ASSERT_EQ(orvgen(noisy).status, 0);
    const CliRun r = orvgen(slow);
    ASSERT_EQ(r.status, 0) << r.err;
    const Csv a = read_csv(s.file("plain.csv")), b = read_csv(s.file("noisy.csv"));
    ASSERT_EQ(a.i.size(), b.i.size());
    ASSERT_GT(a.i.size(), 1000u);
    // Mean power of the packets (the samples above a small fraction of the peak) and of the noise.
    double peak = 0.0;
    for (size_t n = 0; n < a.i.size(); ++n) peak = std::max(peak, std::hypot(a.i[n], a.q[n]));
    double p = 0.0, e = 0.0;
    size_t np = 0;
    for (size_t n = 0; n < a.i.size(); ++n) {
        e += std::pow(b.i[n] - a.i[n], 2) + std::pow(b.q[n] - a.q[n], 2);
        if (std::hypot(a.i[n], a.q[n]) > 0.02 * peak) {
            p += a.i[n] * a.i[n] + a.q[n] * a.q[n];
            ++np;
        }
    }
    const double want = p / np / 10.0 * 2;  // P / SNR x oversampling
    EXPECT_NEAR(e / a.i.size() / want, 1.0, 0.1);
    const auto j = nlohmann::json::parse(r.out);
    const int64_t total = static_cast<int64_t>(a.i.size());
    EXPECT_EQ(j["total_samples"].get<int64_t>(),
              static_cast<int64_t>(std::floor((total - 1) / (1.0 - 500e-6))) + 1);
}

// A description's "impairments" keys are the options: the same settings
// either way make the same file.
TEST(ImpairmentOptions, DescriptionKeysMatchTheOptions) {
    Scratch s;
    put(s, "taps.txt", "0 -1\n25 -5 30\n");
    put(s, "seq.json", R"({"settings": {"oversample": 2},
                          "packets": [{"rate": 12, "payload-bytes": 30, "repeat": 2, "idle": 5}],
                          "impairments": {"snr": 15, "impairment-seed": 5, "iq-gain": 0.2, "iq-phase": 1,
                                          "phase-noise-rms": 1.5, "cfo-ppm": 3, "carrier-ghz": 5,
                                          "clock-ppm": 7, "multipath-taps": "taps.txt", "pa-rapp": "2,5",
                                          "clip-papr": 7}})");
    const CliRun a = orvgen({"--waveform", s.file("seq.json"), "-o", s.file("a.csv")});
    ASSERT_EQ(a.status, 0) << a.err;
    const CliRun b = orvgen({"--rate", "12", "--payload-bytes", "30", "--packets", "2", "--idle", "5",
                             "--oversample", "2", "--snr", "15", "--impairment-seed", "5", "--iq-gain", "0.2",
                             "--iq-phase", "1", "--phase-noise-rms", "1.5", "--cfo-ppm", "3", "--carrier-ghz",
                             "5", "--clock-ppm", "7", "--multipath-taps", s.file("taps.txt"), "--pa-rapp", "2,5",
                             "--clip-papr", "7", "-o", s.file("b.csv")});
    ASSERT_EQ(b.status, 0) << b.err;
    const CliRun c = orvgen({"--rate", "12", "--payload-bytes", "30", "--packets", "2", "--idle", "5",
                             "--oversample", "2", "-o", s.file("c.csv")});
    ASSERT_EQ(c.status, 0) << c.err;
    const std::string bytes = read_file(s.file("a.csv"));
    EXPECT_FALSE(bytes.empty());
    EXPECT_TRUE(bytes == read_file(s.file("b.csv"))) << "description and options differ";
    EXPECT_FALSE(bytes == read_file(s.file("c.csv"))) << "the impairments changed nothing";
}

int run_program(const std::vector<std::string>& args) {
    std::string command = ORVGEN_PROGRAM_FILE;
    for (const std::string& a : args) command += " '" + a + "'";
    const int rc = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

struct RoundTripCase {
    const char* name;
    std::vector<std::string> args;
};
void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << c.name; }
class ImpairedFromRecording : public ::testing::TestWithParam<RoundTripCase> {};

// The recording's metadata holds every impairment (the taps and the profile
// as numbers): --from makes the same bytes without the inputs.
TEST_P(ImpairedFromRecording, MakesTheSameBytesAgain) {
    Scratch s;
    put(s, "taps.txt", "# delay gain phase\n0 0\n37.5 -4 45\n\n120 -12 -90  # late\n");
    put(s, "seq.json", R"({"settings": {"oversample": 2},
                          "packets": [{"rate": 36, "payload-bytes": 60, "repeat": 3, "idle": 8}],
                          "impairments": {"snr": 18, "impairment-seed": 18446744073709551615,
                                          "iq-gain": 0.4, "iq-phase": -1.5, "phase-noise": "-85@1e3,-90@1e5,-120@1e6",
                                          "ppm": -12, "carrier-ghz": 5.5, "multipath-taps": "taps.txt",
                                          "pa-rapp": "2,6", "clip-papr": 8}})");
    std::vector<std::string> args = in_scratch(s, GetParam().args);
    args.insert(args.end(), {"-o", s.file("first.sigmf-data")});
    ASSERT_EQ(run_program(args), 0);
    fs::remove(s.file("seq.json"));
    fs::remove(s.file("taps.txt"));
    ASSERT_EQ(run_program({"--from", s.file("first.sigmf-meta"), "-o", s.file("again.sigmf-data")}), 0);
    const std::string data = read_file(s.file("first.sigmf-data"));
    EXPECT_FALSE(data.empty());
    EXPECT_TRUE(data == read_file(s.file("again.sigmf-data"))) << "data files differ";
    EXPECT_TRUE(read_file(s.file("first.sigmf-meta")) == read_file(s.file("again.sigmf-meta"))) << "metadata differs";
    const auto meta = nlohmann::json::parse(read_file(s.file("first.sigmf-meta")));
    EXPECT_TRUE(meta["global"].contains("orvane:impairments"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImpairedFromRecording,
    ::testing::Values(RoundTripCase{"description", {"--waveform", "@seq.json"}},
                      RoundTripCase{"options", {"--payload-bytes", "40", "--packets", "2", "--oversample", "4",
                                                "--snr", "12", "--iq-gain", "-0.3", "--phase-noise-rms", "2",
                                                "--cfo-ppm", "8", "--carrier-ghz", "2.4", "--clock-ppm", "-30",
                                                "--multipath-rms", "40", "--multipath-per-packet"}},
                      RoundTripCase{"burst", {"--symbols", "6", "--burst", "on", "--burst-off", "5", "--snr", "12",
                                              "--iq-gain", "0.5", "--phase-noise-rms", "2", "--cfo-ppm", "8",
                                              "--carrier-ghz", "2.4", "--clock-ppm", "-30", "--multipath-rms", "40",
                                              "--pa-rapp", "2,6", "--gauss", "-40"}}),
    [](const ::testing::TestParamInfo<RoundTripCase>& i) { return std::string(i.param.name); });

// A burst recording on a clock ppm fast or slow: its annotations lie on the
// impaired clock, the last (the gap) ending with the data file.
struct ClockAnnotationCase {
    const char* name;
    const char* ppm;
};
void PrintTo(const ClockAnnotationCase& c, std::ostream* os) { *os << c.name; }
class BurstRecordingClock : public ::testing::TestWithParam<ClockAnnotationCase> {};

TEST_P(BurstRecordingClock, AnnotationsEndWithTheData) {
    Scratch s;
    const CliRun r = orvgen({"--symbols", "4", "--burst", "on", "--burst-off", "40", "--clock-ppm", GetParam().ppm,
                             "-o", s.file("r.sigmf-data")});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto samples = static_cast<int64_t>(fs::file_size(s.file("r.sigmf-data")) / 8);  // cf32_le
    const auto meta = nlohmann::json::parse(read_file(s.file("r.sigmf-meta")));
    int64_t last_end = 0;
    for (const auto& a : meta["annotations"]) {
        const int64_t end = a["core:sample_start"].get<int64_t>() + a["core:sample_count"].get<int64_t>();
        EXPECT_LE(end, samples) << a["core:label"];
        last_end = std::max(last_end, end);
    }
    EXPECT_EQ(last_end, samples);
}

INSTANTIATE_TEST_SUITE_P(Cases, BurstRecordingClock,
                         ::testing::Values(ClockAnnotationCase{"plus_1000_ppm", "1000"},
                                           ClockAnnotationCase{"minus_1000_ppm", "-1000"}),
                         [](const ::testing::TestParamInfo<ClockAnnotationCase>& i) {
                             return std::string(i.param.name);
                         });

}  // namespace
