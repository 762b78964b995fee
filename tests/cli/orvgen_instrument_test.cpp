// orvgen's R&S WV and Keysight output: the option checks (nothing written on
// a refusal), the report of what was written, and no Keysight binary left
// without its marker file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/orvgen_run.h"
#include "orvgen.h"
#include "support/files.h"

namespace {

namespace fs = std::filesystem;

struct Refusal {
    const char* name;
    std::vector<std::string> args;  // after -o FILE
    const char* file;
    int status;
    const char* message;
};

void PrintTo(const Refusal& c, std::ostream* os) { *os << c.name; }

class InstrumentRefusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(InstrumentRefusals, ExplainAndWriteNothing) {
    const Refusal& c = GetParam();
    const orv_test::TempDir dir;
    std::vector<std::string> args = {"-o", dir.file(c.file)};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const orv_test::CliRun run = orv_test::orvgen(args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_TRUE(fs::is_empty(dir.path)) << "a file was left in " << dir.path;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InstrumentRefusals,
    ::testing::Values(
        Refusal{"backoff_for_awg", {"--backoff", "3"}, "b.awv", kExitUsage, "--backoff applies to WV and Keysight"},
        Refusal{"backoff_for_sigmf", {"--backoff", "3"}, "b.sigmf-data", kExitUsage, "--backoff applies"},
        Refusal{"backoff_above_30", {"--backoff", "30.5"}, "b.wv", kExitRefused, "out of range: 0 to 30 dB"},
        Refusal{"backoff_negative", {"--backoff", "-1"}, "b.wv", kExitRefused, "out of range"},
        Refusal{"backoff_not_a_number", {"--backoff", "3dB"}, "b.wv", kExitUsage, "not a decimal number"},
        Refusal{"backoff_not_finite", {"--backoff", "inf"}, "b.wv", kExitUsage, "not a decimal number"},
        Refusal{"unknown_format", {"--output-format", "tek"}, "b.wv", kExitUsage, "not one of awg, csv, sigmf, wv, keysight"},
        Refusal{"bin_without_format", {}, "b.bin", kExitUsage, "--output-format awg|csv|sigmf|wv|keysight"},
        Refusal{"frames_backoff_for_csv", {"--packets", "2", "--backoff", "1"}, "f.csv", kExitUsage,
                "--backoff applies"},
        Refusal{"frames_backoff_above_30", {"--packets", "2", "--backoff", "31"}, "f.wv", kExitRefused,
                "out of range"},
        Refusal{"frames_bad_oversampling", {"--packets", "2", "--oversample", "11"}, "f.wv", kExitRefused,
                "out of range"},
        Refusal{"symbols_out_of_range", {"--symbols", "0"}, "b.wv", kExitRefused, "out of range"},
        Refusal{"burst_snr_out_of_range", {"--snr", "-60"}, "b.wv", kExitRefused, "--snr"},
        Refusal{"burst_iq_gain_out_of_range", {"--iq-gain", "50", "--output-format", "keysight"}, "b.bin",
                kExitRefused, "--iq-gain"}),
    [](const ::testing::TestParamInfo<Refusal>& i) { return std::string(i.param.name); });

TEST(OrvgenInstrument, KeysightReportsItsPaddingAndRate) {
    const orv_test::TempDir dir;
    // 1 packet of 1 octet at 54 Mbit/s, oversampling 1: 400 + 80 * 1 samples and the window's
    // ramp (481), padded to the minimum of 512.
    const orv_test::CliRun run = orv_test::orvgen({"-o", dir.file("p.bin"), "--output-format", "keysight",
                                                   "--psdu-hex", "ab", "--rate", "54", "--oversample", "1"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("p.bin and " + dir.file("p.mkr") + " written (Keysight"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" 512 samples at 20 MS/s"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("idle samples appended: 31 "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("set 20 MHz on the instrument"), std::string::npos) << run.out;
    EXPECT_EQ(fs::file_size(dir.file("p.bin")), 512u * 4);
    EXPECT_EQ(fs::file_size(dir.file("p.mkr")), 512u);
}

TEST(OrvgenInstrument, JsonNamesTheFilesScaleAndLevels) {
    const orv_test::TempDir dir;
    const std::string path = dir.file("b.wv");
    const orv_test::CliRun run = orv_test::orvgen({"-o", path, "--json", "--backoff", "1.5"});
    ASSERT_EQ(run.status, 0) << run.err;
    const nlohmann::json j = nlohmann::json::parse(run.out);
    EXPECT_EQ(j["output_format"], "wv");
    const nlohmann::json& inst = j["instrument"];
    EXPECT_EQ(inst["files"], nlohmann::json::array({path}));
    EXPECT_NEAR(inst["peak_offset_db"].get<double>(), 1.5, 1e-9);
    EXPECT_EQ(inst["saturated_samples"], 0);
    EXPECT_EQ(inst["peak_code"], 27570);  // 32767 * 10^(-1.5/20) = 27569.99
    EXPECT_GT(inst["rms_offset_db"].get<double>(), 1.5);
    EXPECT_GT(inst["scale"].get<double>(), 0);
    EXPECT_EQ(inst["samples"], j["total_samples"]);
}

// A marker file that cannot be put in place takes the new binary with it.
TEST(OrvgenInstrument, NoKeysightBinaryWithoutItsMarkers) {
    const orv_test::TempDir dir;
    fs::create_directories(dir.path / "p.mkr" / "occupied");
    const orv_test::CliRun run = orv_test::orvgen({"-o", dir.file("p.bin"), "--output-format", "keysight"});
    EXPECT_EQ(run.status, kExitNotWritten) << run.err;
    EXPECT_NE(run.err.find("p.mkr"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir.file("p.bin")));
    EXPECT_FALSE(fs::exists(dir.file("p.bin.part")));
    EXPECT_FALSE(fs::exists(dir.file("p.mkr.part")));
    EXPECT_TRUE(fs::is_directory(dir.path / "p.mkr" / "occupied"));
}

}  // namespace
