// SigMF recordings written by orvgen: the samples against the CSV file of the
// same record, the annotations against the burst geometry, the SHA-512, the
// round trip through --from, and the refusals.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/files.h"
#include "orvasynth.h"
#include "cli/orvgen_run.h"
#include "pipeline.h"
#include "sigmf.h"

#if ORVGEN_WITH_SIGMF

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using orv_test::CliRun;
using orv_test::orvgen;

using Scratch = orv_test::TempDir;
using orv_test::read_file;

using orv_test::orvgen_program;

std::string mask_date(const std::string& s) {
    return std::regex_replace(s, std::regex(R"(\{DATE:[^}]*\})"), "{DATE:*}", std::regex_constants::format_first_only);
}

std::vector<double> csv_values(const std::string& path) {
    std::vector<double> v;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const size_t comma = line.find(',');
        v.push_back(std::strtod(line.substr(0, comma).c_str(), nullptr));
        v.push_back(std::strtod(line.substr(comma + 1).c_str(), nullptr));
    }
    return v;
}

std::vector<float> cf32_values(const std::string& path) {
    const std::string b = read_file(path);
    std::vector<float> v(b.size() / 4);
    for (size_t k = 0; k < v.size(); ++k) {
        uint32_t u = 0;
        for (int j = 0; j < 4; ++j) u |= static_cast<uint32_t>(static_cast<unsigned char>(b[4 * k + j])) << (8 * j);
        std::memcpy(&v[k], &u, 4);
    }
    return v;
}

std::vector<int16_t> ci16_values(const std::string& path) {
    const std::string b = read_file(path);
    std::vector<int16_t> v(b.size() / 2);
    for (size_t k = 0; k < v.size(); ++k)
        v[k] = static_cast<int16_t>(static_cast<uint16_t>(static_cast<unsigned char>(b[2 * k]) |
                                                          static_cast<unsigned char>(b[2 * k + 1]) << 8));
    return v;
}

std::string sha512_hex(const std::string& bytes) {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(bytes.data(), bytes.size(), d, &n, EVP_sha512(), nullptr);
    std::string s;
    char b[3];
    for (unsigned int k = 0; k < n; ++k) {
        std::snprintf(b, sizeof b, "%02x", d[k]);
        s += b;
    }
    return s;
}

struct Case {
    const char* name;
    std::vector<std::string> args;  // record options
    int os;
    int symbols;
    bool full;       // preamble and SIGNAL
    bool gap;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const Case kCases[] = {
    {"os4_full_gap", {"--oversample", "4", "--symbols", "12", "--rate", "6"}, 4, 12, true, true},
    {"os7_filtered", {"--oversample", "7", "--symbols", "5", "--rate", "54", "--filter", "nyquist", "--cut-off", "9",
                      "--taps", "101", "--burst", "off"}, 7, 5, true, false},
    {"os10_impaired", {"--oversample", "10", "--symbols", "3", "--freq-error", "0.1", "--dc-real", "2",
                       "--window-tr", "0.1", "--burst-off", "20"}, 10, 3, true, true},
    {"os5_free", {"--oversample", "5", "--symbols", "7", "--frame", "free", "--rate", "24", "--sine", "3",
                  "--sine-level", "-30"}, 5, 7, false, true},
};

class Recording : public ::testing::TestWithParam<std::tuple<Case, const char*>> {};

// The data equals the CSV file's values (cf32: rounded to float; ci16: within
// one step of the scaled value), the SHA-512 is the data's, and every
// annotation lies where the burst geometry puts it.
TEST_P(Recording, SamplesAndAnnotationsMatchTheRecord) {
    const auto& [c, type] = GetParam();
    Scratch s;
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", s.file("r.sigmf-data"), "--sigmf-type", type, "--json"});
    const CliRun r = orvgen(args);
    ASSERT_EQ(r.status, 0) << r.err;
    args = c.args;
    args.insert(args.end(), {"-o", s.file("r.csv")});
    ASSERT_EQ(orvgen(args).status, 0);

    const json meta = json::parse(read_file(s.file("r.sigmf-meta")));
    const json& g = meta.at("global");
    const int64_t burst = (c.full ? 400 : 0) * c.os + 80LL * c.symbols * c.os;
    const std::vector<double> csv = csv_values(s.file("r.csv"));
    const int64_t total = static_cast<int64_t>(csv.size() / 2);
    EXPECT_EQ(total > burst, c.gap);
    EXPECT_EQ(g.at("core:datatype"), type);
    EXPECT_EQ(g.at("core:sample_rate").get<double>(), 20e6 * c.os);
    EXPECT_EQ(g.at("core:sha512"), sha512_hex(read_file(s.file("r.sigmf-data"))));
    EXPECT_EQ(meta.at("captures"), json::parse(R"([{"core:sample_start":0}])"));
    const json out = json::parse(r.out);
    EXPECT_EQ(out.at("total_samples"), total);
    EXPECT_EQ(g.at("orvane:papr"), out.at("papr"));

    if (std::string(type) == "cf32_le") {
        const std::vector<float> data = cf32_values(s.file("r.sigmf-data"));
        ASSERT_EQ(data.size(), csv.size());
        size_t exact = 0;
        for (size_t k = 0; k < csv.size(); ++k) {
            // The CSV prints 11 significant digits: its value rounds to the same
            // float unless the double lay within 1e-10 of a rounding boundary.
            const float want = static_cast<float>(csv[k]);
            exact += data[k] == want;
            ASSERT_LE(std::fabs(data[k] - csv[k]), 0.5 * std::fabs(std::nextafter(data[k], 2.0f * data[k] + 1.0f) - data[k]) +
                                                      1e-10 * std::fabs(csv[k]) + 1e-300)
                << "value " << k;
        }
        EXPECT_GE(exact, csv.size() - csv.size() / 1000) << "values rounded to another float";
    } else {
        const std::vector<int16_t> data = ci16_values(s.file("r.sigmf-data"));
        ASSERT_EQ(data.size(), csv.size());
        const double scale = g.at("orvane:ci16_full_scale").get<double>();
        double peak = 0;
        for (int64_t k = 0; k < 2 * burst; ++k) peak = std::max(peak, std::fabs(csv[static_cast<size_t>(k)]));
        EXPECT_NEAR(scale, peak, 1e-9 * peak);
        int top = 0;
        for (size_t k = 0; k < csv.size(); ++k) {
            ASSERT_LE(std::fabs(data[k] - csv[k] / scale * 32767.0), 1.0) << "value " << k;
            top += (std::abs(data[k]) == 32767 && k < static_cast<size_t>(2 * burst));
        }
        EXPECT_GE(top, 1) << "the burst peak reaches full scale";
        EXPECT_EQ(g.at("orvane:saturated_samples"), 0);
    }

    // Annotations: the burst, STF, LTF, SIGNAL, each DATA symbol and the gap.
    std::vector<std::tuple<std::string, int64_t, int64_t>> want;
    want.emplace_back("802.11a burst", 0, burst);
    if (c.full) {
        want.emplace_back("STF", 0, 160 * c.os);
        want.emplace_back("LTF", 160 * c.os, 160 * c.os);
        want.emplace_back("SIGNAL", 320 * c.os, 80 * c.os);
    }
    for (int k = 0; k < c.symbols; ++k)
        want.emplace_back("DATA " + std::to_string(k + 1), (c.full ? 400 : 0) * c.os + 80LL * k * c.os, 80 * c.os);
    if (c.gap) want.emplace_back("gap", burst, total - burst);
    const json& ann = meta.at("annotations");
    ASSERT_EQ(ann.size(), want.size());
    int64_t last_start = 0;
    for (size_t k = 0; k < want.size(); ++k) {
        EXPECT_EQ(ann[k].at("core:label"), std::get<0>(want[k])) << k;
        EXPECT_EQ(ann[k].at("core:sample_start"), std::get<1>(want[k])) << k;
        EXPECT_EQ(ann[k].at("core:sample_count"), std::get<2>(want[k])) << k;
        EXPECT_GE(ann[k].at("core:sample_start").get<int64_t>(), last_start) << "sorted by start";
        last_start = ann[k].at("core:sample_start").get<int64_t>();
    }
    const json& detail = ann[0].at("signal:detail");
    EXPECT_EQ(detail.at("standard"), "802.11a");
    EXPECT_EQ(detail.at("multiplexing"), "ofdm");
    EXPECT_EQ(detail.at("channel_bw").get<double>(), 20e6);
}

INSTANTIATE_TEST_SUITE_P(Sigmf, Recording,
                         ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Values("cf32_le", "ci16_le")),
                         [](const auto& tc) {
                             return std::string(std::get<0>(tc.param).name) + "_" +
                                    (std::string(std::get<1>(tc.param)) == "cf32_le" ? "cf32" : "ci16");
                         });

// The samples are the conditioned values of the library, bit for bit as floats.
TEST(Sigmf, Cf32IsTheConditionedSamplesAsFloats) {
    Scratch s;
    ASSERT_EQ(orvgen({"-o", s.file("a.sigmf-meta"), "--oversample", "6", "--symbols", "4", "--if", "30"}).status, 0);
    WaveParams rec = orv::sigmf::read_record(s.file("a.sigmf-meta"));
    EXPECT_EQ(rec.if_enable, 1);
    EXPECT_EQ(rec.if_freq, 30e6);
    ConditionedSamples c;
    ASSERT_EQ(orv_11a_conditioned(&rec, &c), 0);
    const std::vector<float> data = cf32_values(s.file("a.sigmf-data"));
    ASSERT_EQ(data.size(), 2u * static_cast<size_t>(c.geometry.total));
    size_t differ = 0;
    for (int32_t k = 0; k < c.geometry.total; ++k)
        differ += (data[2 * k] != static_cast<float>(c.i[k])) + (data[2 * k + 1] != static_cast<float>(c.q[k]));
    EXPECT_EQ(differ, 0u);
    const json g = json::parse(read_file(s.file("a.sigmf-meta"))).at("global");
    EXPECT_EQ(g.at("orvane:papr").get<double>(), c.papr);
    EXPECT_EQ(g.at("orvane:crest_i").get<double>(), c.crest_i);
    EXPECT_EQ(g.at("orvane:crest_q").get<double>(), c.crest_q);
    EXPECT_EQ(rec.papr, c.papr);
    free_conditioned(&c);
    EXPECT_EQ(c.i, nullptr);
}

// The exported function keeps its two modes; the internal entry refuses what it refuses.
TEST(Sigmf, ExportedInterfaceUnchanged) {
    Scratch s;
    WaveParams rec{};
    rec.rate_index = 5;
    rec.ofdm_symbols = 4;
    rec.pn_seed = 1;
    rec.oversampling = 4;
    rec.filter_taps = 191;
    rec.filter_rolloff = 0.25;
    EXPECT_EQ(static_cast<uint32_t>(orv_11a_actual(&rec, 2, s.file("x").c_str())), 0x82000000u);
    EXPECT_FALSE(fs::exists(s.file("x")));
    ConditionedSamples c;
    rec.oversampling = 11;
    EXPECT_EQ(static_cast<uint32_t>(orv_11a_conditioned(&rec, &c)), 0x80000080u);
    EXPECT_EQ(c.i, nullptr);
    EXPECT_EQ(static_cast<uint32_t>(orv_11a_conditioned(nullptr, &c)), 0x80000000u);
}

// --from gives the same AWG and CSV files as the options that made the recording.
TEST(Sigmf, FromRegeneratesTheSameFiles) {
    const char* const records[] = {
        "",
        "--rate 54 --symbols 30 --oversample 10 --filter nyquist --taps 191 --roll-off 0.3 --cut-off 9.5 --freq-error 0.25",
        "--frame free --rate 9 --symbols 9 --if 21.4 --burst off --iq-inverse on --data PN23 --seed ABCDE",
        "--gauss -30 --dc-real 3 --dc-imag -2 --window-tr 0.1 --burst-off 33 --data ALL1",
        "--sine 7.5 --sine-level -12.5 --oversample 9 --symbols 2",
    };
    for (const char* rec : records) {
        SCOPED_TRACE(rec);
        Scratch s;
        const std::string o = std::string(" ") + rec;
        ASSERT_EQ(orvgen_program(s, "-o " + s.file("r.sigmf-data") + " --sigmf-type ci16_le" + o).status, 0);
        for (const char* ext : {".awv", ".csv"}) {
            ASSERT_EQ(orvgen_program(s, "-o " + s.file(std::string("direct") + ext) + o).status, 0);
            const CliRun r = orvgen_program(s, "--from " + s.file("r.sigmf-meta") + " -o " + s.file(std::string("again") + ext));
            ASSERT_EQ(r.status, 0) << r.err;
            const std::string direct = read_file(s.file(std::string("direct") + ext));
            ASSERT_GT(direct.size(), 100u);
            EXPECT_EQ(mask_date(read_file(s.file(std::string("again") + ext))), mask_date(direct)) << ext;
        }
    }
}

// Gap noise above the burst peak saturates in ci16_le: counted, reported, at full scale.
TEST(Sigmf, Ci16SaturationCounted) {
    Scratch s;
    const CliRun r = orvgen_program(s, "-o " + s.file("n.sigmf-data") + " --sigmf-type ci16_le --gauss 10 --burst-off 10000 --json");
    ASSERT_EQ(r.status, 0) << r.err;
    const json out = json::parse(r.out);
    const std::vector<int16_t> data = ci16_values(s.file("n.sigmf-data"));
    int64_t full = 0;
    for (size_t k = 0; k + 1 < data.size(); k += 2) full += std::abs(data[k]) == 32767 || std::abs(data[k + 1]) == 32767;
    const int64_t saturated = out.at("saturated_samples").get<int64_t>();
    EXPECT_GT(saturated, 0);
    EXPECT_GE(full, saturated);
    EXPECT_LE(full, saturated + 3) << "only saturated samples and the burst peak sit at full scale";
    EXPECT_EQ(json::parse(read_file(s.file("n.sigmf-meta"))).at("global").at("orvane:saturated_samples"), saturated);
    const CliRun t = orvgen_program(s, "-o " + s.file("n.sigmf-data") + " --sigmf-type ci16_le --gauss 10 --burst-off 10000");
    EXPECT_NE(t.out.find("saturated samples: " + std::to_string(saturated)), std::string::npos) << t.out;
}

struct Refusal {
    const char* name;
    std::vector<std::string> args;  // "@" is replaced by the scratch folder
    int status;
    const char* message;
};

void PrintTo(const Refusal& c, std::ostream* os) { *os << c.name; }

class SigmfRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(SigmfRefusal, ExitStatusAndMessage) {
    Scratch s;
    ASSERT_EQ(orvgen({"-o", s.file("ok.sigmf-data"), "--symbols", "1"}).status, 0);
    std::ofstream(s.file("foreign.sigmf-meta")) << R"({"global":{"core:datatype":"cf32_le","core:version":"1.0.0"}})";
    std::vector<std::string> args;
    for (std::string a : GetParam().args) {
        if (const size_t at = a.find('@'); at != std::string::npos) a.replace(at, 1, s.path.string());
        args.push_back(a);
    }
    const CliRun r = orvgen(args);
    EXPECT_EQ(r.status, GetParam().status) << r.err;
    EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Sigmf, SigmfRefusal,
    ::testing::Values(
        Refusal{"from_with_option", {"--from", "@/ok.sigmf-meta", "--rate", "6", "-o", "@/x.awv"}, kExitUsage, "--rate cannot go with it"},
        // The first parameter option named: the lists, the text fields and the sine level before the groups.
        Refusal{"from_with_group_and_level", {"--from", "@/ok.sigmf-meta", "--sine", "3", "--sine-level", "-2", "-o", "@/x.awv"},
                kExitUsage, "--sine-level cannot go with it"},
        Refusal{"from_with_settings", {"--from", "@/ok.sigmf-meta", "--settings", "@/x.ini", "-o", "@/x.awv"}, kExitUsage,
                "--settings cannot go with it"},
        Refusal{"from_foreign", {"--from", "@/foreign.sigmf-meta", "-o", "@/x.awv"}, kExitUsage, "does not declare the \"orvane\" extension"},
        Refusal{"from_missing", {"--from", "@/none.sigmf-meta", "-o", "@/x.awv"}, kExitUsage, "cannot read"},
        Refusal{"from_without_output", {"--from", "@/ok.sigmf-meta"}, kExitUsage, "--from needs -o"},
        Refusal{"type_for_awg", {"-o", "@/x.awv", "--sigmf-type", "ci16_le"}, kExitUsage, "applies to a SigMF recording only"},
        Refusal{"unknown_type", {"-o", "@/x.sigmf-data", "--sigmf-type", "cf64_le"}, kExitUsage, "is not one of cf32_le, ci16_le"},
        Refusal{"not_written", {"-o", "@/no/such/x.sigmf-data"}, kExitNotWritten, "x.sigmf-data could not be written"},
        Refusal{"refused_record", {"-o", "@/x.sigmf-meta", "--oversample", "4", "--freq-error", "100"}, kExitRefused,
                "library result 0x80008000"}),
    [](const auto& tc) { return std::string(tc.param.name); });

// A record the library refuses on several fields: each refused field on its own line, in bit
// order, with the option that sets it (none for the reserved field).
TEST(Sigmf, RefusedFieldsOfARecordEachNamed) {
    Scratch s;
    ASSERT_EQ(orvgen({"-o", s.file("ok.sigmf-data"), "--symbols", "1"}).status, 0);
    json meta;
    std::ifstream(s.file("ok.sigmf-meta")) >> meta;
    meta["global"]["orvane:reserved"] = 3;
    meta["global"]["orvane:rate_index"] = 9;
    std::ofstream(s.file("bad.sigmf-meta")) << meta.dump();
    const CliRun r = orvgen({"--from", s.file("bad.sigmf-meta"), "-o", s.file("x.awv")});
    EXPECT_EQ(r.status, kExitRefused) << r.err;
    EXPECT_EQ(r.err, "orvgen: library result 0x80000808: parameters refused:\n  rate_index (--rate)\n  reserved\n");
    EXPECT_FALSE(fs::exists(s.file("x.awv")));
}

// A recording named by its metadata file, or by --output-format sigmf without a SigMF name.
TEST(Sigmf, NamesOfThePair) {
    Scratch s;
    CliRun r = orvgen({"-o", s.file("m.sigmf-meta"), "--symbols", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.starts_with(s.file("m.sigmf-data") + " and " + s.file("m.sigmf-meta") + " written (cf32_le, "))
        << r.out;
    EXPECT_NE(r.out.find("RF crest factor"), std::string::npos);
    r = orvgen({"-o", s.file("plain"), "--output-format", "sigmf", "--symbols", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(s.file("plain.sigmf-data")) && fs::exists(s.file("plain.sigmf-meta")));
    // --check reads the recording back through its metadata.
    r = orvgen({"-o", s.file("c.sigmf-data"), "--symbols", "4", "--filter", "nyquist", "--cut-off", "9", "--check"});
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_NE(r.out.find("File        " + s.file("c.sigmf-meta") + "\n            SigMF recording (cf32_le)"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("annotations: 9 of the burst's segments, match the burst"), std::string::npos) << r.out;
    // --from also takes the metadata file by another name.
    fs::copy_file(s.file("c.sigmf-meta"), s.file("c.json"));
    r = orvgen({"--from", s.file("c.json"), "-o", s.file("c.csv")});
    EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace

#endif  // ORVGEN_WITH_SIGMF
