// orvcheck and orvgen --check: exit statuses, messages for bad files, the JSON members.
#include <gtest/gtest.h>

#include <ostream>

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "orvasynth.h"
#include "analysis.h"
#include "orvcheck.h"
#include "orvgen.h"
#include "analysis/orvcheck_run.h"
#include "support/records.h"

namespace {

using CliRun = orv_test::CheckRun;
using orv_test::orvcheck;

void write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string awg_file(const TempDir& dir, WaveParams p = valid_record()) {
    const std::string path = dir.file("ok.awv");
    EXPECT_EQ(orv_11a_actual(&p, 0, path.c_str()), 0);
    return read_file(path);
}

struct BadInput {
    const char* name;
    std::string (*make)(const std::string& good_awg, const std::string& good_csv);
    const char* message;  // part of the message
};

void PrintTo(const BadInput& c, std::ostream* os) { *os << c.name; }

std::string csv_with_bad_line(const std::string&, const std::string& csv) {
    size_t pos = 0;
    for (int line = 1; line < 57; ++line) pos = csv.find('\n', pos) + 1;
    return csv.substr(0, pos) + "0.1,abc\n" + csv.substr(csv.find('\n', pos) + 1);
}

std::string with_count(const std::string& awg, long delta) {
    const size_t at = awg.find("{WAVEDATA:") + 10;
    const size_t semi = awg.find(';', at);
    const long count = std::stol(awg.substr(at, semi - at));
    return awg.substr(0, at) + std::to_string(count + delta) + awg.substr(semi);
}

const BadInput kBadInputs[] = {
    {"empty", [](const std::string&, const std::string&) { return std::string(); }, "the file is empty"},
    {"truncated_awg", [](const std::string& a, const std::string&) { return a.substr(0, a.size() - 1001); }, "truncated"},
    {"count_too_large", [](const std::string& a, const std::string&) { return with_count(a, 8); }, "truncated"},
    {"count_too_small", [](const std::string& a, const std::string&) { return with_count(a, -8); }, "WAVEDATA count"},
    {"count_beyond_64_bits",
     [](const std::string& a, const std::string&) {
         const size_t at = a.find("{WAVEDATA:") + 10;
         return a.substr(0, at) + "99999999999999999999" + a.substr(a.find(';', at));
     },
     "not a decimal number"},
    {"count_not_multiple_of_8", [](const std::string& a, const std::string&) { return with_count(a, -3); }, "multiple of 8"},
    {"code_out_of_range",
     [](const std::string& a, const std::string&) {
         std::string b = a;
         b[a.find(';', a.find("{WAVEDATA:")) + 1 + 8 * 7 + 3] = '\x40';  // the upper byte of an I code
         return b;
     },
     "outside 0..16383"},
    {"header_cut", [](const std::string& a, const std::string&) { return a.substr(0, 50); }, "byte offset"},
    {"no_sampling_frequency",
     [](const std::string& a, const std::string&) {
         const size_t s = a.find("{SAMPLINGFREQ:");
         return a.substr(0, s) + a.substr(a.find('}', s) + 1);
     },
     "SAMPLINGFREQ"},
    {"bad_csv_line", csv_with_bad_line, "line 57"},
    {"csv_one_number", [](const std::string&, const std::string&) { return std::string("0.5\n"); }, "line 1"},
    {"all_zero_csv",
     [](const std::string&, const std::string&) {
         std::string s;
         for (int i = 0; i < 5000; ++i) s += "0.0,0.0\n";
         return s;
     },
     "no 802.11a burst found"},
    {"all_zero_bytes", [](const std::string&, const std::string&) { return std::string(4096, '\0'); }, "line 1"},
    {"random_bytes",
     [](const std::string&, const std::string&) {
         std::string s;
         uint32_t x = 7;
         for (int i = 0; i < 100000; ++i) {
             x = x * 1103515245u + 12345u;
             s += static_cast<char>(x >> 24);
         }
         return s;
     },
     ""},
    {"noise_without_burst_structure",
     [](const std::string&, const std::string&) {
         std::string s;
         uint32_t x = 9;
         for (int i = 0; i < 20000; ++i) {
             x = x * 1103515245u + 12345u;
             s += std::to_string((x >> 16) % 1000 / 1000.0 - 0.5) + "," + std::to_string((x >> 6) % 1000 / 1000.0 - 0.5) + "\n";
         }
         return s;
     },
     "short training"},
};

class BadFiles : public ::testing::TestWithParam<BadInput> {};

TEST_P(BadFiles, ExitTwoWithAClearMessage) {
    TempDir dir("bad");
    WaveParams p = valid_record();
    p.ofdm_symbols = 10;
    const std::string awg = awg_file(dir, p);
    const std::string csv_path = dir.file("ok.csv");
    ASSERT_EQ(orv_11a_actual(&p, 1, csv_path.c_str()), 0);
    const std::string path = dir.file("bad.dat");
    write(path, GetParam().make(awg, read_file(csv_path)));
    const CliRun r = orvcheck({path});
    EXPECT_EQ(r.status, kCheckUnreadable) << r.out;
    EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(path), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());
}

INSTANTIATE_TEST_SUITE_P(Inputs, BadFiles, ::testing::ValuesIn(kBadInputs),
                         [](const auto& tp) { return std::string(tp.param.name); });

// An AWG file in which no burst is found still gets its own figures checked: the
// header's PAPR and crest factors against the codes, and the clipped codes.
struct NoBurstAwg {
    const char* name;
    std::string (*codes)(size_t pairs);  // the WAVEDATA bytes: I and Q codes, 32 bits little-endian each
    const char* failure;
};
// Cases print as their names (not as the bytes of the record).
void PrintTo(const NoBurstAwg& c, std::ostream* os) { *os << c.name; }

std::string constant_codes(size_t pairs) {
    std::string b;
    for (size_t i = 0; i < pairs; ++i) b += std::string("\xFF\x1F\x00\x00\x00\x20\x00\x00", 8);  // I 8191, Q 8192
    return b;
}

std::string noise_with_full_scale(size_t pairs) {
    std::string b;
    uint32_t x = 5;
    for (size_t i = 0; i < pairs; ++i) {
        x = x * 1103515245u + 12345u;
        const uint16_t ci = i % 1000 == 0 ? 16383 : static_cast<uint16_t>(7000 + (x >> 20) % 2000);
        const uint16_t cq = static_cast<uint16_t>(7000 + (x >> 8) % 2000);
        for (const uint16_t c : {ci, cq}) {
            b += static_cast<char>(c & 0xFF);
            b += static_cast<char>(c >> 8);
            b += std::string(2, '\0');
        }
    }
    return b;
}

class NoBurstFiles : public ::testing::TestWithParam<NoBurstAwg> {};

TEST_P(NoBurstFiles, ReportTheFileFiguresAndFail) {
    TempDir dir("noburst");
    WaveParams p = valid_record();
    p.ofdm_symbols = 10;
    const std::string awg = awg_file(dir, p);
    const size_t start = awg.find(';', awg.find("{WAVEDATA:")) + 1;
    const size_t pairs = (awg.size() - 1 - start) / 8;
    const std::string path = dir.file("noburst.awv");
    write(path, awg.substr(0, start) + GetParam().codes(pairs) + awg.substr(start + 8 * pairs));
    const CliRun r = orvcheck({path});
    EXPECT_EQ(r.status, kCheckFailed) << r.err;
    EXPECT_NE(r.out.find("clipped codes:"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("header PAPR"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(GetParam().failure), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("the file's own figures only"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Awg, NoBurstFiles,
    ::testing::Values(NoBurstAwg{"silent", constant_codes, "header PAPR or crest factors differ from the codes"},
                      NoBurstAwg{"noise_with_full_scale_codes", noise_with_full_scale, "clipped codes"}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(Orvcheck, MissingFileAndUsageErrors) {
    EXPECT_EQ(orvcheck({"/nonexistent/x.awv"}).status, kCheckUnreadable);
    EXPECT_EQ(orvcheck({}).status, kCheckUsage);
    EXPECT_EQ(orvcheck({"--rate", "7", "x"}).status, kCheckUsage);
    EXPECT_EQ(orvcheck({"--frame", "free", "x"}).status, kCheckUsage);
    EXPECT_EQ(orvcheck({"--data", "PN10", "x"}).status, kCheckUsage);
    EXPECT_EQ(orvcheck({"--oversample", "4", "--sample-rate", "80", "x"}).status, kCheckUsage);
    EXPECT_EQ(orvcheck({"--help"}).status, kCheckPass);
}

TEST(Orvcheck, PassFailAndJsonMembers) {
    TempDir dir("json");
    WaveParams p = valid_record();
    p.filter_cutoff = 9e6;
    p.filter_rolloff = 0.25;
    const std::string good = dir.file("good.awv");
    ASSERT_EQ(orv_11a_actual(&p, 0, good.c_str()), 0);
    const CliRun pass = orvcheck({good});
    EXPECT_EQ(pass.status, kCheckPass) << pass.out;
    EXPECT_NE(pass.out.find("Verdict     pass"), std::string::npos);

    const std::string plain = dir.file("plain.awv");
    WaveParams q = valid_record();
    ASSERT_EQ(orv_11a_actual(&q, 0, plain.c_str()), 0);
    const CliRun fail = orvcheck({"--json", plain});
    EXPECT_EQ(fail.status, kCheckFailed);
    const nlohmann::json j = nlohmann::json::parse(fail.out);
    for (const char* key : {"file", "burst", "signal", "payload", "evm_db", "evm_pilots_db", "evm_per_symbol_db",
                            "evm_per_subcarrier_db", "freq_error_hz", "dc_leakage_db", "flatness_ok", "mask", "papr_db",
                            "ccdf_db", "limits", "verdict", "failures"})
        EXPECT_TRUE(j.contains(key)) << key;
    for (const char* key : {"format", "sample_rate_hz", "samples", "header_ok", "clipped_codes"}) EXPECT_TRUE(j["file"].contains(key)) << key;
    for (const char* key : {"found", "start", "length", "count"}) EXPECT_TRUE(j["burst"].contains(key)) << key;
    for (const char* key : {"rate_mbps", "length", "parity_ok", "data_symbols"}) EXPECT_TRUE(j["signal"].contains(key)) << key;
    for (const char* key : {"pattern", "seed", "bits", "bit_errors"}) EXPECT_TRUE(j["payload"].contains(key)) << key;
    for (const char* key : {"margin_db", "worst_offset_mhz", "pass"}) EXPECT_TRUE(j["mask"].contains(key)) << key;
    for (const char* key : {"10%", "1%", "0.1%", "0.01%"}) EXPECT_TRUE(j["ccdf_db"][key].is_number()) << key;
    EXPECT_EQ(j["file"]["format"], "awg");
    EXPECT_EQ(j["file"]["sample_rate_hz"], 80e6);
    EXPECT_EQ(j["signal"]["rate_mbps"], 6);
    EXPECT_EQ(j["signal"]["length"], 297);
    EXPECT_EQ(j["payload"]["pattern"], "PN9");
    EXPECT_EQ(j["payload"]["seed"], "1FF");
    EXPECT_EQ(j["payload"]["bits"], 4800);
    EXPECT_EQ(j["payload"]["bit_errors"], 0);
    EXPECT_EQ(j["evm_per_symbol_db"].size(), 100u);
    EXPECT_EQ(j["evm_per_subcarrier_db"].size(), 52u);
    EXPECT_EQ(j["limits"]["evm_db"], -5.0);
    EXPECT_EQ(j["verdict"], "fail");
    EXPECT_FALSE(j["mask"]["pass"]);
    EXPECT_EQ(j["failures"][0], "transmit spectrum mask violated (17.3.9.2)");

    // A CSV file: no header, no codes; the members that do not apply are null.
    const std::string csv = dir.file("plain.csv");
    ASSERT_EQ(orv_11a_actual(&q, 1, csv.c_str()), 0);
    const nlohmann::json c = nlohmann::json::parse(orvcheck({"--json", "--oversample", "4", csv}).out);
    EXPECT_TRUE(c["file"]["header_ok"].is_null());
    EXPECT_TRUE(c["file"]["clipped_codes"].is_null());
    EXPECT_EQ(c["file"]["sample_rate_source"], "option");
}

TEST(Orvcheck, FreeFormatJsonHasNoSignal) {
    TempDir dir("freejson");
    WaveParams p = valid_record();
    p.frame_format = 1;
    p.rate_index = 7;
    p.ofdm_symbols = 12;
    const std::string csv = dir.file("free.csv");
    ASSERT_EQ(orv_11a_actual(&p, 1, csv.c_str()), 0);
    const CliRun run = orvcheck({"--json", "--frame", "free", "--rate", "54", "--oversample", "4", csv});
    const nlohmann::json j = nlohmann::json::parse(run.out);
    EXPECT_TRUE(j["signal"].is_null());
    EXPECT_EQ(j["limits"]["evm_db"], -25.0);
    EXPECT_EQ(j["payload"]["pattern"], "PN9");
    EXPECT_EQ(j["payload"]["bits"], 12 * 288);
    EXPECT_EQ(j["evm_per_symbol_db"].size(), 12u);
    // Without --frame free the same file has no preamble to synchronise on.
    const CliRun full = orvcheck({"--oversample", "4", csv});
    EXPECT_EQ(full.status, kCheckUnreadable);
    EXPECT_NE(full.err.find("no 802.11a preamble found"), std::string::npos) << full.err;
}

TEST(OrvgenCheck, ReportAfterTheFileAndJsonMember) {
    TempDir dir("orvgen");
    const std::string path = dir.file("g.awv");
    auto run = [&](std::vector<std::string> args) {
        std::vector<const char*> argv{"orvgen"};
        for (const auto& a : args) argv.push_back(a.c_str());
        std::ostringstream out, err;
        const int status = orvgen_main(static_cast<int>(argv.size()), argv.data(), out, err);
        return CliRun{status, out.str(), err.str()};
    };
    const CliRun text = run({"-o", path, "--check", "--filter", "nyquist", "--cut-off", "9.0", "--symbols", "20"});
    EXPECT_EQ(text.status, kExitWritten) << text.err << text.out;
    EXPECT_NE(text.out.find("RF crest factor"), std::string::npos);
    EXPECT_NE(text.out.find("Verdict     pass"), std::string::npos);
    EXPECT_LT(text.out.find("RF crest factor"), text.out.find("SIGNAL"));

    const CliRun json = run({"-o", path, "--check", "--json", "--symbols", "20"});
    EXPECT_EQ(json.status, kExitCheckFailed);  // unfiltered: the mask fails
    const nlohmann::json j = nlohmann::json::parse(json.out);
    EXPECT_EQ(j["result"], 0);
    ASSERT_TRUE(j.contains("check"));
    EXPECT_EQ(j["check"]["verdict"], "fail");
    EXPECT_EQ(j["check"]["signal"]["data_symbols"], 20);

    const CliRun plain = run({"-o", path, "--json"});
    EXPECT_FALSE(nlohmann::json::parse(plain.out).contains("check"));
}

// --check measures against what orvgen asked for: a DATA-only burst (no
// preamble to find) passes, in either format, and its payload is the pattern
// and seed given.
TEST(OrvgenCheck, DataOnlyBurstAndExpectedPattern) {
    TempDir dir("orvgen_free");
    for (const char* name : {"free.awv", "free.csv"}) {
        const std::string path = dir.file(name);
        std::vector<std::string> args{"orvgen", "-o", path, "--check", "--json", "--format", "free", "--rate", "24",
                                      "--symbols", "12", "--oversample", "5", "--filter", "nyquist", "--cut-off",
                                      "9.0", "--data", "PN15", "--seed", "1ACE"};
        std::vector<const char*> argv;
        for (const auto& a : args) argv.push_back(a.c_str());
        std::ostringstream out, err;
        const int status = orvgen_main(static_cast<int>(argv.size()), argv.data(), out, err);
        EXPECT_EQ(status, kExitWritten) << name << err.str() << out.str();
        const nlohmann::json j = nlohmann::json::parse(out.str());
        EXPECT_TRUE(j["check"]["signal"].is_null()) << name;
        EXPECT_EQ(j["check"]["payload"]["pattern"], "PN15") << name;
        EXPECT_EQ(j["check"]["payload"]["bit_errors"], 0) << name;
        EXPECT_EQ(j["check"]["payload"]["seed"], "1ACE") << name;
        EXPECT_GT(j["check"]["payload"]["bits"], 0) << name;
    }
}

// A file name that is not UTF-8 still gives a JSON report (the byte replaced).
TEST(Orvcheck, JsonWithANameThatIsNotUtf8) {
    TempDir dir("name");
    const std::string path = dir.file("bad\xff.awv");
    WaveParams p = valid_record();
    p.filter_cutoff = 9e6;
    p.filter_rolloff = 0.25;
    ASSERT_EQ(orv_11a_actual(&p, 0, path.c_str()), 0);
    const CliRun r = orvcheck({"--json", path});
    EXPECT_NE(r.status, kCheckUnreadable) << r.err;
    const nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["file"]["format"], "awg");
}

}  // namespace

namespace {
// A rate given for a full burst overrides its SIGNAL field, and the report says so.
TEST(Orvcheck, GivenRateAgainstTheSignalFieldIsNoted) {
    TempDir dir("rate");
    WaveParams p = valid_record();
    const std::string path = dir.file("r.awv");
    ASSERT_EQ(orv_11a_actual(&p, 0, path.c_str()), 0);
    for (const int given : {6, 36}) {
        orv::analysis::Options opt;
        opt.rate_mbps = given;
        const orv::analysis::Result r = orv::analysis::analyse_file(path, opt);
        bool noted = false;
        for (const auto& n : r.notes) noted = noted || n.find("not at the SIGNAL field's") != std::string::npos;
        EXPECT_EQ(noted, given != 6) << given;
    }
}
}  // namespace
