// The measuring receiver on SigMF recordings: orvgen's own (cf32_le, ci16_le),
// other complex datatypes, annotations that do not match the burst, and
// recordings it cannot read.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "analysis.h"
#include "orvcheck.h"
#include "orvgen.h"
#include "support/records.h"

#if ORVGEN_WITH_SIGMF
#include "sigmf.h"

namespace {

using nlohmann::json;
using orv::analysis::analyse_file;
using orv::analysis::Options;
using orv::analysis::ReadError;
using orv::analysis::Result;

void write(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// Writes dir/r.sigmf-data and dir/r.sigmf-meta for p; returns the base name.
std::string record(const TempDir& dir, WaveParams p, orv::sigmf::SampleType type) {
    orv::sigmf::Written w;
    EXPECT_EQ(orv::sigmf::write_recording(p, dir.file("r"), type, w), 0);
    return dir.file("r");
}

struct Case {
    const char* name;
    orv::sigmf::SampleType type;
    int os;
    bool free_format;
    double evm_below;  // dB
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class OwnRecording : public ::testing::TestWithParam<Case> {};

TEST_P(OwnRecording, DecodedAndAnnotationsMatch) {
    const Case c = GetParam();
    TempDir dir("sigmf");
    WaveParams p = valid_record();
    p.oversampling = c.os;
    p.ofdm_symbols = 6;
    p.rate_index = 4;
    p.frame_format = c.free_format ? 1 : 0;
    p.burst_enable = 1;
    p.burst_off_time = 20e-6;
    const std::string base = record(dir, p, c.type);
    Options opt;
    if (c.free_format) {
        opt.free_format = true;
        opt.rate_mbps = 24;
    }
    for (const char* ext : {".sigmf-meta", ".sigmf-data"}) {
        SCOPED_TRACE(ext);
        const Result r = analyse_file(base + ext, opt);
        EXPECT_EQ(r.file.format, orv::analysis::FileFormat::Sigmf);
        EXPECT_EQ(r.file.datatype, orv::sigmf::type_name(c.type));
        EXPECT_EQ(r.file.sample_rate_source, "metadata");
        EXPECT_EQ(r.file.oversample, c.os);
        const int64_t burst = (c.free_format ? 0 : 400 * c.os) + 480 * c.os;
        EXPECT_EQ(r.file.samples, static_cast<int64_t>(static_cast<double>(burst) + p.burst_off_time * (20e6 * c.os)));
        ASSERT_TRUE(r.payload.has_value());
        EXPECT_EQ(r.payload->pattern, "PN9");
        EXPECT_EQ(r.payload->bit_errors.value_or(-1), 0);
        ASSERT_TRUE(r.evm_db.has_value());
        EXPECT_LT(*r.evm_db, c.evm_below);
        // The burst, STF, LTF, SIGNAL (full format), 6 DATA symbols and the gap.
        EXPECT_EQ(r.file.annotations_checked, (c.free_format ? 1 : 4) + 6 + 1);
        EXPECT_EQ(r.file.annotations_ok, std::optional<bool>(true));
        EXPECT_TRUE(r.failures.empty() || r.failures == std::vector<std::string>{"transmit spectrum mask violated (17.3.9.2)"})
            << r.failures.front();
        const json j = json::parse(orv::analysis::format_json(r));
        EXPECT_EQ(j.at("file").at("format"), "sigmf");
        EXPECT_EQ(j.at("file").at("annotations_ok"), true);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sigmf, OwnRecording,
    ::testing::Values(Case{"cf32_os4", orv::sigmf::SampleType::Cf32, 4, false, -120.0},
                      Case{"cf32_os9_free", orv::sigmf::SampleType::Cf32, 9, true, -120.0},
                      Case{"ci16_os8", orv::sigmf::SampleType::Ci16, 8, false, -70.0},
                      Case{"ci16_os5_free", orv::sigmf::SampleType::Ci16, 5, true, -70.0}),
    [](const auto& tc) { return std::string(tc.param.name); });

std::string with_annotation(const std::string& meta, const std::string& label, int64_t start_delta, int64_t count_delta) {
    json j = json::parse(meta);
    for (json& a : j.at("annotations"))
        if (a.at("core:label") == label) {
            a["core:sample_start"] = a.at("core:sample_start").get<int64_t>() + start_delta;
            a["core:sample_count"] = a.at("core:sample_count").get<int64_t>() + count_delta;
        }
    return j.dump();
}

// Annotations moved away from the segments of the burst fail the check and are named.
TEST(Sigmf, AnnotationsThatDoNotMatchFail) {
    TempDir dir("sigmf_ann");
    WaveParams p = valid_record();
    p.ofdm_symbols = 4;
    const std::string base = record(dir, p, orv::sigmf::SampleType::Cf32);
    const std::string meta = read_file(base + ".sigmf-meta");
    const struct {
        const char* label;
        int64_t start, count;
        const char* named;
    } kCases[] = {
        {"LTF", 1, 0, "\"LTF\" 641+640 (burst: 640+640)"},
        {"DATA 3", 0, -1, "\"DATA 3\" 2240+319 (burst: 2240+320)"},
        {"802.11a burst", 0, 320, "\"802.11a burst\" 0+3200"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.label);
        write(base + ".sigmf-meta", with_annotation(meta, c.label, c.start, c.count));
        const Result r = analyse_file(base + ".sigmf-data", {});
        EXPECT_EQ(r.file.annotations_ok, std::optional<bool>(false));
        std::string failure;
        for (const std::string& f : r.failures)
            if (f.find("SigMF annotations") != std::string::npos) failure = f;
        EXPECT_NE(failure.find("1 of 8 SigMF annotations differ from the burst: "), std::string::npos) << failure;
        EXPECT_NE(failure.find(c.named), std::string::npos) << failure;
    }
    // A DATA symbol the burst does not have.
    json j = json::parse(meta);
    j["annotations"].push_back({{"core:sample_start", 3200}, {"core:sample_count", 320}, {"core:label", "DATA 5"}});
    write(base + ".sigmf-meta", j.dump());
    std::vector<std::string> argv_s = {"orvcheck", base + ".sigmf-meta"};
    std::vector<const char*> argv;
    for (const auto& a : argv_s) argv.push_back(a.c_str());
    std::ostringstream out, err;
    EXPECT_EQ(orvcheck_main(static_cast<int>(argv.size()), argv.data(), out, err), kCheckFailed);
    EXPECT_NE(out.str().find("annotations: 9 of the burst's segments, DIFFER from the burst"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("\"DATA 5\" 3200+320 (not in the burst found)"), std::string::npos) << out.str();
    // Without annotations of the burst's segments there is nothing to check, and no failure.
    j["annotations"] = json::array();
    write(base + ".sigmf-meta", j.dump());
    const Result r = analyse_file(base + ".sigmf-meta", {});
    EXPECT_FALSE(r.file.annotations_ok.has_value());
    EXPECT_EQ(r.payload->bit_errors.value_or(-1), 0);
}

// The samples of a cf32_le recording rewritten in another complex datatype.
std::string convert(const std::string& cf32, const std::string& type) {
    const bool big = type.ends_with("_be");
    const char kind = type[1];
    const int bytes = std::stoi(type.substr(2)) / 8;
    std::vector<float> values(cf32.size() / 4);
    std::vector<uint32_t> words(values.size());
    float peak = 0;
    for (size_t k = 0; k < values.size(); ++k) {
        for (int b = 0; b < 4; ++b) words[k] |= static_cast<uint32_t>(static_cast<unsigned char>(cf32[4 * k + b])) << (8 * b);
        std::memcpy(&values[k], &words[k], 4);
        peak = std::max(peak, std::fabs(values[k]));
    }
    std::string out;
    for (size_t k = 0; k < values.size(); ++k) {
        const float f = values[k];
        const uint32_t u = words[k];
        uint64_t v = 0;
        if (kind == 'f' && bytes == 8) {
            const double d = f;
            std::memcpy(&v, &d, 8);
        } else if (kind == 'f') {
            v = u;
        } else {
            const double half = std::ldexp(1.0, 8 * bytes - 1);
            const double x = std::nearbyint(f / peak * 0.9 * (half - 1));
            v = kind == 'u' ? static_cast<uint64_t>(x + half) : static_cast<uint64_t>(static_cast<int64_t>(x));
        }
        for (int b = 0; b < bytes; ++b) out += static_cast<char>(v >> (8 * (big ? bytes - 1 - b : b)));
    }
    return out;
}

TEST(Sigmf, OtherComplexDatatypes) {
    TempDir dir("sigmf_types");
    WaveParams p = valid_record();
    p.ofdm_symbols = 5;
    const std::string base = record(dir, p, orv::sigmf::SampleType::Cf32);
    const std::string data = read_file(base + ".sigmf-data");
    const std::string meta = read_file(base + ".sigmf-meta");
    // Integer types: the peak at 0.9 of full scale.
    for (const char* type : {"cf64_be", "cf32_be", "ci32_le", "ci16_be", "cu16_le", "ci8", "cu8"}) {
        SCOPED_TRACE(type);
        json j = json::parse(meta);
        j["global"]["core:datatype"] = type;
        j["global"].erase("core:sha512");
        const std::string other = dir.file(std::string("t_") + type);
        write(other + ".sigmf-meta", j.dump());
        write(other + ".sigmf-data", convert(data, type));
        const Result r = analyse_file(other + ".sigmf-meta", {});
        EXPECT_EQ(r.file.datatype, type);
        EXPECT_EQ(r.file.samples, 400 * 4 + 400 * 4);
        EXPECT_EQ(r.payload->bit_errors.value_or(-1), 0);
        EXPECT_TRUE(r.file.annotations_ok.value_or(false));
        EXPECT_LT(*r.evm_db, std::string(type).find('8') != std::string::npos ? -30.0 : -90.0);
    }
}

struct Bad {
    const char* name;
    std::function<void(json& meta, std::string& data, std::string& base)> spoil;
    const char* message;
};

void PrintTo(const Bad& c, std::ostream* os) { *os << c.name; }

class BadRecording : public ::testing::TestWithParam<Bad> {};

TEST_P(BadRecording, RefusedWithAMessage) {
    TempDir dir("sigmf_bad");
    WaveParams p = valid_record();
    p.ofdm_symbols = 2;
    std::string base = record(dir, p, orv::sigmf::SampleType::Cf32);
    json meta = json::parse(read_file(base + ".sigmf-meta"));
    std::string data = read_file(base + ".sigmf-data");
    GetParam().spoil(meta, data, base);
    if (!meta.is_null()) write(base + ".sigmf-meta", meta.dump());
    write(base + ".sigmf-data", data);
    try {
        analyse_file(base + ".sigmf-meta", {});
        ADD_FAILURE() << "read without an error";
    } catch (const ReadError& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sigmf, BadRecording,
    ::testing::Values(
        Bad{"real_samples", [](json& m, std::string&, std::string&) { m["global"]["core:datatype"] = "rf32_le"; },
            "holds real samples"},
        Bad{"no_byte_order", [](json& m, std::string&, std::string&) { m["global"]["core:datatype"] = "ci16"; },
            "has no byte order"},
        Bad{"unknown_type", [](json& m, std::string&, std::string&) { m["global"]["core:datatype"] = "cf16_le"; },
            "is not a SigMF datatype"},
        Bad{"no_datatype", [](json& m, std::string&, std::string&) { m["global"].erase("core:datatype"); },
            "no core:datatype"},
        Bad{"bad_rate", [](json& m, std::string&, std::string&) { m["global"]["core:sample_rate"] = -1; },
            "core:sample_rate is not a positive number"},
        Bad{"two_channels", [](json& m, std::string&, std::string&) { m["global"]["core:num_channels"] = 2; },
            "core:num_channels is not 1"},
        Bad{"header_bytes", [](json& m, std::string&, std::string&) { m["captures"][0]["core:header_bytes"] = 4; },
            "non-conforming dataset"},
        Bad{"not_json", [](json& m, std::string&, std::string& b) { m = nullptr; write(b + ".sigmf-meta", "{\"global\":"); },
            "not a JSON object"},
        Bad{"truncated_data", [](json&, std::string& d, std::string&) { d.resize(d.size() - 3); },
            "the file ends inside a sample"},
        Bad{"nan_sample", [](json&, std::string& d, std::string&) { std::memset(&d[808], 0xFF, 4); },
            "byte offset 808"},
        Bad{"empty_data", [](json&, std::string& d, std::string&) { d.clear(); }, "holds no samples"},
        Bad{"missing_data", [](json& m, std::string&, std::string&) { m["global"]["core:dataset"] = "gone.bin"; },
            "cannot open the data file"},
        // A device as the dataset is refused, not read for ever.
        Bad{"device_data",
            [](json& m, std::string&, std::string&) {
                m["global"]["core:dataset"] = "../../../../../../../../../../dev/zero";
            },
            "is not a regular file"}),
    [](const auto& tc) { return std::string(tc.param.name); });

}  // namespace

#endif  // ORVGEN_WITH_SIGMF
