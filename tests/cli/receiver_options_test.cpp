// The receiver's command-line options (orvcheck and orvview parse them with
// this one table): what each text sets, and each refusal's message.
#include <gtest/gtest.h>

#if __has_include("command_options.h")
#include <cctype>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "command_options.h"
#include "support/files.h"

namespace {

using orv::analysis::GivenOption;
using orv::analysis::Options;

struct OptionCase {
    const char* name;
    std::vector<GivenOption> given;
    const char* message;  // "" when the options are taken
    Options expect;
};

void PrintTo(const OptionCase& c, std::ostream* os) { *os << c.name; }

Options with(void (*set)(Options&)) {
    Options o;
    set(o);
    return o;
}

class ReceiverOptions : public ::testing::TestWithParam<OptionCase> {};

TEST_P(ReceiverOptions, TakeOrRefuse) {
    const OptionCase& c = GetParam();
    Options got;
    EXPECT_EQ(orv::analysis::parse_command_options(c.given, got), c.message);
    if (*c.message != '\0') return;
    EXPECT_EQ(got.oversample, c.expect.oversample);
    EXPECT_EQ(got.sample_rate_hz, c.expect.sample_rate_hz);
    EXPECT_EQ(got.free_format, c.expect.free_format);
    EXPECT_EQ(got.rate_mbps, c.expect.rate_mbps);
    EXPECT_EQ(got.symbols, c.expect.symbols);
    EXPECT_EQ(got.expected_pattern, c.expect.expected_pattern);
    EXPECT_EQ(got.expected_seed, c.expect.expected_seed);
    EXPECT_EQ(got.carrier_ghz, c.expect.carrier_ghz);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReceiverOptions,
    ::testing::Values(
        OptionCase{"none", {}, "", {}},
        OptionCase{"oversample 64", {{"oversample", "64"}}, "", with([](Options& o) { o.oversample = 64; })},
        OptionCase{"sample rate 80.5", {{"sample-rate", "80.5"}}, "",
                   with([](Options& o) { o.sample_rate_hz = 80.5e6; })},
        OptionCase{"free with rate and symbols", {{"frame", "Free"}, {"rate", "54"}, {"symbols", "12"}}, "",
                   with([](Options& o) {
                       o.free_format = true;
                       o.rate_mbps = 54;
                       o.symbols = 12;
                   })},
        OptionCase{"full frame named", {{"frame", "802.11a"}}, "", {}},
        OptionCase{"pattern with blank and seed", {{"data", "all 1"}, {"seed", "1ace"}}, "",
                   with([](Options& o) {
                       o.expected_pattern = "ALL 1";
                       o.expected_seed = 0x1ACE;
                   })},
        OptionCase{"oversample 0", {{"oversample", "0"}}, "--oversample 0 is not a whole number from 1 to 64", {}},
        OptionCase{"oversample 4x", {{"oversample", "4x"}}, "--oversample 4x is not a whole number from 1 to 64", {}},
        OptionCase{"sample rate with comma", {{"sample-rate", "80,5"}},
                   "--sample-rate 80,5 is not a rate from 20 to 1280 MHz", {}},
        OptionCase{"sample rate 10", {{"sample-rate", "10"}}, "--sample-rate 10 is not a rate from 20 to 1280 MHz", {}},
        OptionCase{"both rates", {{"oversample", "4"}, {"sample-rate", "80"}},
                   "--oversample and --sample-rate exclude each other", {}},
        OptionCase{"other frame", {{"frame", "other"}}, "--frame other is not one of 802.11a, free", {}},
        OptionCase{"free without rate", {{"frame", "free"}}, "--frame free needs --rate", {}},
        OptionCase{"rate 7", {{"rate", "7"}}, "--rate 7 is not one of 6, 9, 12, 18, 24, 36, 48, 54", {}},
        OptionCase{"symbols 0", {{"symbols", "0"}}, "--symbols 0 is not a whole number from 1 to 100000", {}},
        OptionCase{"pattern PN10", {{"data", "PN10"}}, "--data PN10 is not one of PN9, PN15, PN19, PN20, PN23, ALL0, ALL1", {}},
        OptionCase{"seed without pattern", {{"seed", "1"}}, "--seed needs --data", {}},
        OptionCase{"seed 0", {{"data", "PN9"}, {"seed", "0"}}, "--seed 0 is not a hexadecimal number from 1 to FFFFFF", {}},
        OptionCase{"seed too wide", {{"data", "PN9"}, {"seed", "1000000"}},
                   "--seed 1000000 is not a hexadecimal number from 1 to FFFFFF", {}},
        OptionCase{"carrier 5.18 GHz", {{"carrier-ghz", "5.18"}}, "", with([](Options& o) { o.carrier_ghz = 5.18; })},
        OptionCase{"carrier 0", {{"carrier-ghz", "0"}}, "--carrier-ghz 0 is not a carrier frequency from 0.01 to 300 GHz", {}},
        OptionCase{"carrier with comma", {{"carrier-ghz", "5,2"}},
                   "--carrier-ghz 5,2 is not a carrier frequency from 0.01 to 300 GHz", {}},
        OptionCase{"unknown name", {{"plots", "x"}}, "--plots is not an option of the receiver", {}}),
    [](const ::testing::TestParamInfo<OptionCase>& p) {
        std::string n;
        for (const char* c = p.param.name; *c; ++c) n += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
        return n;
    });

// Every row can be registered by both parsers: a name, a value name, a help text, a parser,
// and its needs/excludes name other rows.
TEST(ReceiverOptionTable, RowsAreComplete) {
    const auto table = orv::analysis::command_options();
    ASSERT_FALSE(table.empty());
    auto known = [&table](const char* name) {
        for (const auto& o : table)
            if (std::string(o.name) == name) return true;
        return false;
    };
    for (const auto& o : table) {
        EXPECT_TRUE(o.name && *o.name && o.value_name && *o.value_name && o.help && *o.help && o.apply) << o.name;
        if (o.needs) {
            EXPECT_TRUE(known(o.needs)) << o.name << " needs " << o.needs;
        }
        if (o.excludes) {
            EXPECT_TRUE(known(o.excludes)) << o.name << " excludes " << o.excludes;
        }
    }
}

// A recording's own description completes the options; what was given explicitly wins.
struct DescriptionCase {
    const char* name;
    const char* global;  // the metadata's "global" members
    std::vector<GivenOption> given;
    Options start;       // the options as the command line made them
    Options expect;
};

void PrintTo(const DescriptionCase& c, std::ostream* os) { *os << c.name; }

class RecordingDescription : public ::testing::TestWithParam<DescriptionCase> {};

TEST_P(RecordingDescription, CompletesTheOptions) {
    const DescriptionCase& c = GetParam();
    const orv_test::TempDir temp("description");
    const std::filesystem::path& dir = temp.path;
    const std::string base = (dir / c.name).string();
    std::ofstream(base + ".sigmf-meta") << "{\"global\": {" << c.global << "}}";
    for (const std::string& path : {base + ".sigmf-data", base + ".sigmf-meta"}) {
        Options got = c.start;
        orv::analysis::add_recording_description(path, c.given, got);
        EXPECT_EQ(got.free_format, c.expect.free_format) << path;
        EXPECT_EQ(got.rate_mbps, c.expect.rate_mbps) << path;
        EXPECT_EQ(got.symbols, c.expect.symbols) << path;
        EXPECT_EQ(got.oversample, c.expect.oversample) << path;
        EXPECT_EQ(got.sample_rate_hz, c.expect.sample_rate_hz) << path;
    }
}

constexpr const char* kFree =
    R"("core:sample_rate": 80000000, "orvane:frame_format": 1, "orvane:rate_index": 5, "orvane:ofdm_symbols": 12, "orvane:oversampling": 4)";
constexpr const char* kFreeNoRate =
    R"("orvane:frame_format": 1, "orvane:rate_index": 7, "orvane:ofdm_symbols": 3, "orvane:oversampling": 6)";

Options free_36_12() {
    Options o;
    o.free_format = true;
    o.rate_mbps = 36;
    o.symbols = 12;
    return o;
}

INSTANTIATE_TEST_SUITE_P(
    Metadata, RecordingDescription,
    ::testing::Values(
        DescriptionCase{"free", kFree, {}, {}, free_36_12()},
        DescriptionCase{"explicit frame wins", kFree, {{"frame", "802.11a"}}, {}, {}},
        DescriptionCase{"explicit rate and symbols win", kFree, {{"frame", "free"}, {"rate", "6"}, {"symbols", "2"}},
                        with([](Options& o) {
                            o.free_format = true;
                            o.rate_mbps = 6;
                            o.symbols = 2;
                        }),
                        with([](Options& o) {
                            o.free_format = true;
                            o.rate_mbps = 6;
                            o.symbols = 2;
                        })},
        DescriptionCase{"oversampling without a sample rate", kFreeNoRate, {}, {}, with([](Options& o) {
                            o.free_format = true;
                            o.rate_mbps = 54;
                            o.symbols = 3;
                            o.oversample = 6;
                        })},
        DescriptionCase{"explicit sample rate wins", kFreeNoRate, {{"sample-rate", "100"}},
                        with([](Options& o) { o.sample_rate_hz = 100e6; }), with([](Options& o) {
                            o.sample_rate_hz = 100e6;
                            o.free_format = true;
                            o.rate_mbps = 54;
                            o.symbols = 3;
                        })},
        DescriptionCase{"full burst: the SIGNAL field decides", R"("orvane:frame_format": 0, "orvane:rate_index": 5)", {},
                        {}, {}},
        DescriptionCase{"out of range fields", R"("orvane:frame_format": 1, "orvane:rate_index": 8, "orvane:ofdm_symbols": 0)",
                        {}, {}, with([](Options& o) { o.free_format = true; })},
        DescriptionCase{"not orvgen's", R"("core:sample_rate": 20000000, "core:datatype": "cf32_le")", {}, {}, {}}),
    [](const ::testing::TestParamInfo<DescriptionCase>& p) {
        std::string n;
        for (const char* c = p.param.name; *c; ++c) n += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
        return n;
    });

// "--frame free" needs a rate: the options' own, or the one the recording names.
TEST(RecordingDescriptionFiles, FreeFrameTakesTheRecordingsRate) {
    const orv_test::TempDir temp("description");
    const std::filesystem::path& dir = temp.path;
    const std::string meta = (dir / "named.sigmf-meta").string();
    std::ofstream(meta) << "{\"global\": {" << kFree << "}}";
    const std::vector<GivenOption> free_only{{"frame", "free"}};
    Options o;
    EXPECT_EQ(orv::analysis::parse_command_options(free_only, o, meta), "");
    EXPECT_EQ(o.rate_mbps, 36);
    EXPECT_EQ(o.symbols, 12);
    Options plain;
    EXPECT_EQ(orv::analysis::parse_command_options(free_only, plain), "--frame free needs --rate");
    Options csv;
    EXPECT_EQ(orv::analysis::parse_command_options(free_only, csv, (dir / "free.csv").string()),
              "--frame free needs --rate");
}

TEST(RecordingDescriptionFiles, NoMetadataOrNotARecordingLeavesTheOptions) {
    const orv_test::TempDir temp("description");
    const std::filesystem::path& dir = temp.path;
    std::ofstream((dir / "broken.sigmf-meta").string()) << "{\"global\": ";
    std::ofstream((dir / "free.csv").string()) << "0,0\n";
    for (const std::filesystem::path& p : {dir / "missing.sigmf-meta", dir / "broken.sigmf-data", dir / "free.csv"}) {
        Options o;
        orv::analysis::add_recording_description(p.string(), {}, o);
        EXPECT_FALSE(o.free_format) << p;
        EXPECT_FALSE(o.rate_mbps) << p;
        EXPECT_FALSE(o.oversample) << p;
    }
}

}  // namespace
#endif
