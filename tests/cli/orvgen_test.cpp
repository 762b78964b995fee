#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "MainFormCore.h"
#include "mdlPublicIniRW.h"
#include "cli/orvgen_run.h"
#include "support/files.h"
#include "support/readable_params.h"

namespace {

namespace fs = std::filesystem;

using orv_test::CliRun;
using orv_test::orvgen;

using Scratch = orv_test::TempDir;
using orv_test::read_file;

std::string mask_date(const std::string& s) {
    return std::regex_replace(s, std::regex(R"(\{DATE:[^}]*\})"), "{DATE:*}",
                              std::regex_constants::format_first_only);
}

// The record the program's "Set Defaults" state produces.
WaveParams default_record() {
    FieldValues v;
    DefaultFieldValues(v);
    WaveParams rec{};
    int32_t bad = -1;
    EXPECT_EQ(Get_Params(v, rec, bad), kParamsOk);
    return rec;
}

// The record orvgen builds for args, read back through --save-settings with
// the program's own settings reader and parameter mapping.
WaveParams record_of(const Scratch& s, std::vector<std::string> args) {
    const std::string ini = s.file("read_back.ini");
    fs::remove(ini);
    args.push_back("--save-settings");
    args.push_back(ini);
    CliRun r = orvgen(args);
    EXPECT_EQ(r.status, 0) << r.err;
    FieldValues v;
    DefaultFieldValues(v);
    LoadPrmIni(ini, v);
    WaveParams rec{};
    int32_t bad = -1;
    EXPECT_EQ(Get_Params(v, rec, bad), kParamsOk);
    return rec;
}

struct MappingCase {
    const char* name;
    std::vector<std::string> args;
    std::function<void(WaveParams&)> expect;
};

void PrintTo(const MappingCase& c, std::ostream* os) { *os << c.name; }

class OptionMapping : public ::testing::TestWithParam<MappingCase> {};

TEST_P(OptionMapping, SetsTheFieldInWindowUnits) {
    const MappingCase& c = GetParam();
    Scratch s;
    WaveParams want = default_record();
    c.expect(want);
    WaveParams got = record_of(s, c.args);
    EXPECT_EQ(0, std::memcmp(&got, &want, sizeof got)) << c.name;
    EXPECT_EQ(got.rate_index, want.rate_index);
    EXPECT_EQ(got.filter_cutoff, want.filter_cutoff);
}

INSTANTIATE_TEST_SUITE_P(
    Options, OptionMapping,
    ::testing::Values(
        MappingCase{"defaults", {}, [](WaveParams&) {}},
        MappingCase{"rate 54", {"--rate", "54"}, [](WaveParams& p) { p.rate_index = 7; }},
        MappingCase{"rate by entry text", {"--rate", " 6Mbps BPSK"}, [](WaveParams& p) { p.rate_index = 0; }},
        MappingCase{"frame free", {"--frame", "free"}, [](WaveParams& p) { p.frame_format = 1; }},
        MappingCase{"format 802.11a", {"--format", "802.11A"}, [](WaveParams&) {}},
        MappingCase{"burst off", {"--burst", "off"}, [](WaveParams& p) { p.burst_enable = 0; }},
        MappingCase{"burst-off time", {"--burst-off", "1000"},
                    [](WaveParams& p) { p.burst_off_time = 1000 * 1e-6; }},
        MappingCase{"data ALL 1", {"--data", "ALL 1"}, [](WaveParams& p) { p.data_pattern = 6; }},
        MappingCase{"data pn23", {"--data", "pn23"}, [](WaveParams& p) { p.data_pattern = 4; }},
        MappingCase{"seed", {"--seed", "1a2b"}, [](WaveParams& p) { p.pn_seed = 0x1A2B; }},
        MappingCase{"symbols", {"--symbols", "151"}, [](WaveParams& p) { p.ofdm_symbols = 151; }},
        MappingCase{"nyquist filter",
                    {"--filter", "nyquist", "--taps", "101", "--roll-off", "0.3", "--cut-off", "10"},
                    [](WaveParams& p) {
                        p.filter_taps = 101;
                        p.filter_rolloff = 0.3;
                        p.filter_cutoff = 10 * 1000000.0;
                    }},
        MappingCase{"rectangle sends no cut-off", {"--cut-off", "10"}, [](WaveParams&) {}},
        MappingCase{"window", {"--window-tr", "0.5"}, [](WaveParams& p) { p.window_tr = 0.5 * 1e-6; }},
        MappingCase{"oversample", {"--oversample", "4"}, [](WaveParams& p) { p.oversampling = 4; }},
        MappingCase{"iq inverse", {"--iq-inverse", "ON"}, [](WaveParams& p) { p.iq_inverse = 1; }},
        MappingCase{"freq error", {"--freq-error", "5"},
                    [](WaveParams& p) {
                        p.freq_error_enable = 1;
                        p.freq_error = 5 * 1000000.0;
                    }},
        MappingCase{"IF", {"--if", "-21.4"},
                    [](WaveParams& p) {
                        p.if_enable = 1;
                        p.if_freq = -21.4 * 1000000.0;
                    }},
        MappingCase{"DC offsets", {"--dc-real", "10", "--dc-imag", "-5"},
                    [](WaveParams& p) {
                        p.dc_offset_re = 10;
                        p.dc_offset_im = -5;
                    }},
        MappingCase{"sine", {"--sine", "20", "--sine-level", "-30"},
                    [](WaveParams& p) {
                        p.sine_enable = 1;
                        p.sine_freq = 20 * 1000000.0;
                        p.sine_level = -30;
                    }},
        MappingCase{"gauss", {"--gauss", "-20"},
                    [](WaveParams& p) {
                        p.noise_enable = 1;
                        p.noise_level = -20;
                    }}), orv_test::PrintedName());

struct RefusalCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* message;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class Refusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusals, NameOptionValueAndRange) {
    const RefusalCase& c = GetParam();
    Scratch s;
    std::vector<std::string> args = c.args;
    if (c.status != kExitUsage || std::string(c.name) != "no output") {
        args.push_back("-o");
        args.push_back(s.file("x.awv"));
    }
    CliRun r = orvgen(args);
    EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
    if (c.status != 0) {
        EXPECT_FALSE(fs::exists(s.file("x.awv"))) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Refusals,
    ::testing::Values(
        RefusalCase{"taps too many", {"--taps", "2000"}, kExitRefused,
                    "--taps 2000 is out of range: Filter Length takes 1 to 1000 taps"},
        RefusalCase{"cut-off above fs/2 at os 4", {"--oversample", "4", "--cut-off", "50"}, kExitRefused,
                    "--cut-off 50 is out of range: Cut Off takes 0.0 to 40.0 MHz"},
        RefusalCase{"sine above its bound", {"--sine", "80"}, kExitRefused, "0.0 to 70.0 MHz"},
        RefusalCase{"roll-off decimals", {"--roll-off", "0.255"}, kExitRefused, "too many decimals"},
        RefusalCase{"symbols zero", {"--symbols", "0"}, kExitRefused, "OFDM Length takes 1 to 151"},
        RefusalCase{"seed zero", {"--seed", "0"}, kExitRefused, "1 to FFFFFF"},
        RefusalCase{"seed not hex", {"--seed", "G1"}, kExitUsage, "not a hexadecimal number"},
        RefusalCase{"taps not a number", {"--taps", "abc"}, kExitUsage, "--taps abc is not a decimal number"},
        RefusalCase{"rate unknown", {"--rate", "7"}, kExitUsage, "--rate 7 is not one of 6, 9, 12"},
        RefusalCase{"gauss with sine", {"--gauss", "-20", "--sine", "5"}, kExitUsage, "excludes"},
        RefusalCase{"freq error with IF", {"--freq-error", "1", "--if", "2"}, kExitUsage, "excludes"},
        RefusalCase{"sine level alone", {"--sine-level", "-3"}, kExitUsage, "requires"},
        RefusalCase{"unknown option", {"--bogus"}, kExitUsage, "--bogus"},
        RefusalCase{"no output", {}, kExitUsage, "nothing to do"},
        RefusalCase{"bad output format", {"--output-format", "wav"}, kExitUsage, "not one of awg, csv"},
        RefusalCase{"nyquist without a cut-off", {"--filter", "nyquist"}, kExitUsage,
                    "--filter nyquist needs --cut-off above 0"},
        RefusalCase{"nyquist with cut-off 0", {"--filter", "nyquist", "--cut-off", "0.0"}, kExitUsage,
                    "--filter nyquist needs --cut-off above 0"},
        RefusalCase{"library refuses", {"--oversample", "4", "--freq-error", "100"}, kExitRefused,
                    "library result 0x80008000: parameters refused:\n  freq_error (--freq-error)\n"}),
    orv_test::PrintedName());

TEST(Orvgen, ExtensionChoosesTheFormat) {
    Scratch s;
    CliRun r = orvgen({"-o", s.file("b.bin")});
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_NE(r.err.find("--output-format"), std::string::npos);
    r = orvgen({"-o", s.file("b.bin"), "--output-format", "csv", "--symbols", "1", "--burst", "off"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(s.file("b.bin")).starts_with("  ") || read_file(s.file("b.bin")).find(',') < 20);
    r = orvgen({"-o", s.file("b.CSV"), "--symbols", "1", "--burst", "off"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, s.file("b.CSV") + " written\n");
    EXPECT_EQ(read_file(s.file("b.CSV")), read_file(s.file("b.bin")));
}

// The file orvgen writes equals the program's for the same parameters.
TEST(Orvgen, SameFileAsTheProgram) {
    Scratch s;
    for (const char* ext : {".awv", ".csv"}) {
        const std::string mine = s.file(std::string("orvgen") + ext);
        const std::string program = s.file(std::string("program") + ext);
        CliRun r = orvgen({"-o", mine});
        ASSERT_EQ(r.status, 0) << r.err;
        WaveParams rec = default_record();
        ASSERT_EQ(orv_11a_actual(&rec, ext[1] == 'c' ? 1 : 0, program.c_str()), 0);
        EXPECT_EQ(mask_date(read_file(mine)), mask_date(read_file(program))) << ext;
        if (ext[1] == 'a') {
            // The crest-factor lines as the program's box words them.
            std::string box = CrestBoxText(rec.papr, rec.crest_i, rec.crest_q);
            box.erase(std::remove(box.begin(), box.end(), '\r'), box.end());
            EXPECT_EQ("\n" + r.out, box);
            EXPECT_TRUE(r.out.starts_with("RF crest factor     :  "));
        }
    }
}

TEST(Orvgen, SettingsThenOverrides) {
    Scratch s;
    const std::string ini = s.file("PrmOrvane.ini");
    ASSERT_EQ(orvgen({"--save-settings", ini, "--rate", "54", "--symbols", "20", "--gauss", "-30"}).status, 0);
    const std::string text = read_file(ini);
    EXPECT_NE(text.find("DATA RATE=7"), std::string::npos) << text;
    EXPECT_NE(text.find("NOISE TYPE=2"), std::string::npos);
    EXPECT_NE(text.find("SAMPLING RATE=160 Msps"), std::string::npos);
    // The settings hold; the command line overrides them.
    WaveParams rec = record_of(s, {"--settings", ini, "--rate", "6"});
    EXPECT_EQ(rec.rate_index, 0);
    EXPECT_EQ(rec.ofdm_symbols, 20);
    EXPECT_EQ(rec.noise_enable, 1);
    EXPECT_EQ(rec.noise_level, -30.0);
    rec = record_of(s, {"--settings", ini, "--no-noise"});
    EXPECT_EQ(rec.noise_enable, 0);
    EXPECT_EQ(rec.rate_index, 7);
}

TEST(Orvgen, SettingsAsTheProgramReadsThem) {
    Scratch s;
    const std::string ini = s.file("PrmOrvane.ini");
    // A stored value the window did not clamp reaches the library, which refuses it.
    ASSERT_EQ(orvgen({"--save-settings", ini}).status, 0);
    std::string text = read_file(ini);
    text = std::regex_replace(text, std::regex("OFDM LENGTH=100"), "OFDM LENGTH=500");
    text = std::regex_replace(text, std::regex("DATA RATE=5"), "DATA RATE=abc");
    std::ofstream(ini, std::ios::binary) << text;
    CliRun r = orvgen({"--settings", ini, "-o", s.file("x.awv")});
    EXPECT_EQ(r.status, kExitRefused);
    EXPECT_NE(r.err.find("library result 0x80000010"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("ofdm_symbols (--symbols)"), std::string::npos) << r.err;
    // The command line can repair it; the unconvertible rate reads as index 0.
    r = orvgen({"--settings", ini, "--symbols", "10", "-o", s.file("x.awv"), "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"total_samples\":" + std::to_string(8 * (400 + 800) + 25600)), std::string::npos)
        << r.out;
    // An empty seed from a settings file is reported by the field's caption.
    std::ofstream(ini, std::ios::binary) << std::regex_replace(text, std::regex("PN SEED=FFFF"), "PN SEED=");
    r = orvgen({"--settings", ini, "--symbols", "10", "-o", s.file("x.awv")});
    EXPECT_EQ(r.status, kExitRefused);
    EXPECT_NE(r.err.find("Seed PN is not a number"), std::string::npos) << r.err;
    r = orvgen({"--settings", s.file("missing.ini"), "-o", s.file("y.awv")});
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_NE(r.err.find("cannot read the settings file"), std::string::npos);
}

TEST(Orvgen, FileNotWritten) {
    Scratch s;
    CliRun r = orvgen({"-o", s.file("no/such/dir/x.awv")});
    EXPECT_EQ(r.status, kExitNotWritten);
    EXPECT_NE(r.err.find("library result 0x4: the file"), std::string::npos) << r.err;
}

TEST(Orvgen, JsonOutput) {
    Scratch s;
    const std::string path = s.file("q\"uo\\te é.csv");
    CliRun r = orvgen({"-o", path, "--json", "--oversample", "4", "--symbols", "10", "--burst-off", "100"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string escaped = std::regex_replace(
        std::regex_replace(path, std::regex(R"(\\)"), R"(\\)"), std::regex("\""), "\\\"");
    EXPECT_EQ(r.out, "{\"path\":\"" + escaped +
                         "\",\"output_format\":\"csv\",\"sampling_rate\":80000000,"
                         "\"total_samples\":12800,\"papr\":0,\"crest_i\":0,\"crest_q\":0,\"result\":0}\n");
    // 4 * (400 + 800) burst samples and 100 us at 80 Msps.
    std::ifstream lines(path);
    EXPECT_EQ(std::count(std::istreambuf_iterator<char>(lines), {}, '\n'), 12800);
    r = orvgen({"-o", s.file("a.awv"), "--json"});
    EXPECT_NE(r.out.find("\"output_format\":\"awg\""), std::string::npos);
    EXPECT_EQ(r.out.find("\"papr\":0,"), std::string::npos) << r.out;
}

// A seed whose low n bits are zero makes a PN-n payload constant: allowed, with a warning.
struct SeedCase {
    const char* seed;
    const char* data;
    const char* warning;  // nullptr: no warning
};

void PrintTo(const SeedCase& c, std::ostream* os) { *os << c.data << " seed " << c.seed; }

class ConstantPayload : public ::testing::TestWithParam<SeedCase> {};

TEST_P(ConstantPayload, WarnsAndWrites) {
    const SeedCase& c = GetParam();
    Scratch s;
    const std::string path = s.file("w.csv");
    CliRun r = orvgen({"-o", path, "--symbols", "1", "--burst", "off", "--seed", c.seed, "--data", c.data});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(path));
    if (c.warning == nullptr) {
        EXPECT_EQ(r.err, "");
    } else {
        EXPECT_EQ(r.err, std::string("orvgen: warning: ") + c.warning + "\n");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Seeds, ConstantPayload,
    ::testing::Values(
        SeedCase{"200", "PN9", "seed 200 has its low 9 bits all zero: the PN9 payload is constant (all 0)"},
        SeedCase{"400", "PN9", "seed 400 has its low 9 bits all zero: the PN9 payload is constant (all 0)"},
        SeedCase{"1FF", "PN9", nullptr},
        SeedCase{"100", "PN9", nullptr},
        SeedCase{"200", "PN15", nullptr},
        SeedCase{"8000", "PN15", "seed 8000 has its low 15 bits all zero: the PN15 payload is constant (all 1)"},
        SeedCase{"80000", "PN19", "seed 80000 has its low 19 bits all zero: the PN19 payload is constant (all 0)"},
        SeedCase{"40000", "PN19", nullptr},
        SeedCase{"100000", "PN20", "seed 100000 has its low 20 bits all zero: the PN20 payload is constant (all 0)"},
        SeedCase{"800000", "PN23", "seed 800000 has its low 23 bits all zero: the PN23 payload is constant (all 1)"},
        SeedCase{"400000", "PN23", nullptr},
        SeedCase{"200", "ALL 0", nullptr},
        SeedCase{"800000", "ALL 1", nullptr}), orv_test::PrintedName());

// The constant payload the warning announces is what the file carries: the
// DATA field of seed 200 with PN9 equals that of "ALL 0".
TEST(Orvgen, ConstantPayloadWarningIsTrue) {
    Scratch s;
    const std::vector<std::string> common = {"--symbols", "2", "--burst", "off", "--format", "free"};
    auto run = [&](const std::string& name, std::vector<std::string> extra) {
        std::vector<std::string> args = common;
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back("-o");
        args.push_back(s.file(name));
        EXPECT_EQ(orvgen(args).status, 0);
        return read_file(s.file(name));
    };
    const std::string pn9 = run("pn9.csv", {"--seed", "200", "--data", "PN9"});
    EXPECT_EQ(pn9, run("all0.csv", {"--data", "ALL 0"}));
    EXPECT_NE(pn9, run("pn9_1ff.csv", {"--seed", "1FF", "--data", "PN9"}));
}

using orv_test::orvgen_program;

// The library's round-error line (noise in the gap above the burst peak)
// goes to standard error, so --json still prints exactly one JSON object.
TEST(Orvgen, JsonStaysParseableWhenTheLibraryPrints) {
    Scratch s;
    const std::string path = s.file("g.awv");
    CliRun r = orvgen_program(s, "-o " + path + " --gauss 10 --burst-off 10000 --json");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("!!!Round ERROR!!! "), std::string::npos) << "the record must make the line";
    ASSERT_TRUE(nlohmann::json::accept(r.out)) << r.out;
    const nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j.at("path"), path);
    EXPECT_EQ(j.at("result"), 0);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    // Without --json the line stays on standard output, as the library writes it.
    r = orvgen_program(s, "-o " + path + " --gauss 10 --burst-off 10000");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("!!!Round ERROR!!! "), std::string::npos);
    EXPECT_NE(r.out.find("RF crest factor"), std::string::npos);
}

// Standard output is a pipe whose reader has gone: the program reports the
// failed write and exits 3 instead of dying of SIGPIPE.
struct PipeCase {
    const char* name;
    std::vector<std::string> args;  // "@" is replaced by a scratch folder
};

void PrintTo(const PipeCase& c, std::ostream* os) { *os << c.name; }

class ClosedPipe : public ::testing::TestWithParam<PipeCase> {};

TEST_P(ClosedPipe, ExitsThree) {
    const PipeCase& c = GetParam();
    Scratch s;
    std::vector<std::string> args = {ORVGEN_PROGRAM_FILE};
    for (const std::string& a : c.args) args.push_back(a == "@" ? s.file("x") : a);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string err_path = s.file("stderr.txt");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    // The reader is gone before the program starts (closed before the fork,
    // so no copy of it exists while the program writes).
    close(fds[0]);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[1]);
        const int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(e, STDERR_FILENO);
        signal(SIGPIPE, SIG_DFL);  // as a shell starts it
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), kExitNotWritten) << read_file(err_path);
    EXPECT_NE(read_file(err_path).find("orvgen: "), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClosedPipe,
    ::testing::Values(PipeCase{"crest factors", {"-o", "@.awv"}},
                      PipeCase{"JSON", {"-o", "@.csv", "--json"}},
                      PipeCase{"written message", {"-o", "@.csv", "--symbols", "1"}},
                      PipeCase{"help", {"--help"}},
                      PipeCase{"CSV file to standard output", {"-o", "/dev/stdout", "--output-format", "csv"}}),
    orv_test::PrintedName());

TEST(TestNames, ParametersPrintReadably) { orv_test::expect_readable_parameters(); }

TEST(Orvgen, HelpListsEveryOption) {
    CliRun r = orvgen({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* opt : {"--rate", "--format", "--burst ", "--burst-off", "--data", "--seed", "--symbols",
                            "--iq-inverse", "--filter", "--taps", "--roll-off", "--cut-off", "--window-tr",
                            "--oversample", "--freq-error", "--if", "--dc-real", "--dc-imag", "--sine",
                            "--sine-level", "--gauss", "--settings", "--save-settings", "--json",
                            "--output-format"})
        EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
    EXPECT_NE(r.out.find("1 to 1000 taps; default 191"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Exit status"), std::string::npos);
}

// The installed program's exit statuses, as a script sees them.
TEST(Orvgen, ProgramExitStatus) {
    Scratch s;
    auto status = [&](const std::string& args) { return orv_test::orvgen_program(s, args).status; };
    EXPECT_EQ(status("-o " + s.file("ok.awv")), 0);
    EXPECT_EQ(status("--bogus"), 1);
    EXPECT_EQ(status("--taps 0 -o " + s.file("t.awv")), 2);
    EXPECT_EQ(status("-o " + s.file("no/dir/x.awv")), 3);
}

}  // namespace
