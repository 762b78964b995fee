// orvcheck's file-level checks of orvgen's packet sequences: the AWG header states
// the whole file's PAPR and crest factors (idle time included), every packet's
// negative peak reaches code 0 without being clipped, and a SigMF recording's
// "packet" annotations and their segments lie where the packets are found. Each
// fault put into such a file is reported.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/orvcheck_run.h"
#include "orvgen.h"
#include "support/files.h"

namespace {

using nlohmann::json;
using orv_test::TempDir;

constexpr int kPackets = 3;

// orvgen run in process: exit status and standard output.
std::pair<int, std::string> orvgen(std::vector<std::string> args) {
    args.insert(args.begin(), "orvgen");
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    const int status = orvgen_main(static_cast<int>(argv.size()), argv.data(), out, err);
    return {status, status == 0 ? out.str() : err.str()};
}

// A MAC data frame (sequence number 7, 40 octets 0, 2, 4, ...) with its FCS; at 24 Mbit/s
// its negative peak is the larger channel's peak, so every packet quantises it to a
// lone code 0 (at oversampling 1, 4 and 8).
constexpr const char* kFrameHex =
    "08000000ffffffffffff020000000001020000000001700000020406080a0c0e10121416181a1c1e"
    "20222426282a2c2e30323436383a3c3e40424446484a4c4e626bd54b";

// Codes 0 of either channel from sample `from` on in an AWG file.
int zero_codes_from(const std::string& path, int64_t from) {
    const std::string bytes = orv_test::read_file(path);
    const size_t block = bytes.find(';', bytes.find("{WAVEDATA:")) + 1;
    int zeros = 0;
    for (size_t at = block + 8 * static_cast<size_t>(from); at + 4 < bytes.size(); at += 4)
        zeros += bytes.compare(at, 4, std::string(4, '\0')) == 0;
    return zeros;
}

// kPackets identical packets (one PSDU, so each packet's negative peak recurs), idle_us
// of silence after each; the packets' first samples.
std::vector<int64_t> write_sequence(const std::string& path, int os, const std::string& idle_us) {
    const auto [status, out] = orvgen({"-o", path, "--rate", "24", "--psdu-hex", kFrameHex,
                                       "--packets", std::to_string(kPackets), "--idle", idle_us, "--oversample",
                                       std::to_string(os), "--json"});
    EXPECT_EQ(status, 0) << out;
    if (status != 0) return {};
    return json::parse(out)["packet_starts"].get<std::vector<int64_t>>();
}

std::string failures_of(const json& j) {
    std::string s;
    for (const auto& f : j["failures"]) s += f.get<std::string>() + "; ";
    return s;
}

struct GoodSequence {
    const char* name;
    const char* file;
    int os;
    const char* idle_us;
};
void PrintTo(const GoodSequence& c, std::ostream* os) { *os << c.name; }

class GoodSequences : public ::testing::TestWithParam<GoodSequence> {};

TEST_P(GoodSequences, PassEveryFileCheck) {
    const GoodSequence& c = GetParam();
    TempDir dir("seqok");
    const std::string path = dir.file(c.file);
    const std::vector<int64_t> starts = write_sequence(path, c.os, c.idle_us);
    ASSERT_EQ(starts.size(), static_cast<size_t>(kPackets));
    const std::string name = c.file;
    // The case holds what it tests: the later packets' negative peaks at code 0.
    if (name.ends_with(".awv")) ASSERT_GE(zero_codes_from(path, starts[1]), kPackets - 1);
    const orv_test::CheckRun rx = orv_test::orvcheck({path, "--expect", std::to_string(kPackets), "--json"});
    const json j = json::parse(rx.out);
    EXPECT_EQ(rx.status, kCheckPass) << failures_of(j);
    EXPECT_EQ(j["summary"]["decoded"], kPackets);
    EXPECT_EQ(j["summary"]["fcs_ok"], kPackets);
    if (name.ends_with(".awv")) {
        EXPECT_EQ(j["file"]["header_ok"], true);
        EXPECT_EQ(j["file"]["clipped_codes"], 0);
    } else {
        EXPECT_EQ(j["file"]["annotations_ok"], true);
        // Per packet: packet, STF, LTF, SIGNAL, DATA.
        EXPECT_EQ(j["file"]["annotations_checked"], 5 * kPackets);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, GoodSequences,
    ::testing::Values(GoodSequence{"awg_os8_idle_10us", "s.awv", 8, "10"},
                      GoodSequence{"awg_os1_idle_4us", "s.awv", 1, "4"},
                      GoodSequence{"awg_os4_no_idle", "s.awv", 4, "0"},
                      GoodSequence{"sigmf_os8_idle_4us", "s.sigmf-data", 8, "4"},
                      GoodSequence{"sigmf_os1_idle_20us", "s.sigmf-data", 1, "20"},
                      // Packets starting between the receiver's 20 MS/s grid points, found the
                      // nearer point ahead of or behind their first sample.
                      GoodSequence{"sigmf_os4_idle_3_3us", "s.sigmf-data", 4, "3.3"},
                      GoodSequence{"sigmf_os8_idle_1_55us", "s.sigmf-data", 8, "1.55"}),
    [](const ::testing::TestParamInfo<GoodSequence>& i) { return std::string(i.param.name); });

// Faults put into a sequence file after orvgen wrote it.
void raise_header_papr(const std::string& path, int, const std::vector<int64_t>&) {
    std::string bytes = orv_test::read_file(path);
    const size_t at = bytes.find("{PAPR:") + 6;
    const size_t end = bytes.find(';', at);
    char value[32];
    std::snprintf(value, sizeof value, "%f", std::stod(bytes.substr(at, end - at)) + 0.5);
    bytes.replace(at, end - at, value);
    std::ofstream(path, std::ios::binary) << bytes;
}

// Two I codes of 0 side by side in the second packet: a clipped negative excursion.
void flat_zeros_in_second_packet(const std::string& path, int os, const std::vector<int64_t>& starts) {
    std::string bytes = orv_test::read_file(path);
    const size_t block = bytes.find(';', bytes.find("{WAVEDATA:")) + 1;
    for (int64_t k = starts[1] + 500 * os; k < starts[1] + 500 * os + 2; ++k)
        for (int b = 0; b < 4; ++b) bytes[block + 8 * static_cast<size_t>(k) + static_cast<size_t>(b)] = 0;
    std::ofstream(path, std::ios::binary) << bytes;
}

// Edits the annotations of the recording's metadata.
void edit_meta(const std::string& path, void (*edit)(json& annotations, int os, const std::vector<int64_t>&), int os,
               const std::vector<int64_t>& starts) {
    const std::string meta = path.substr(0, path.size() - 4) + "meta";
    json j = json::parse(orv_test::read_file(meta));
    edit(j["annotations"], os, starts);
    std::ofstream(meta, std::ios::binary) << j.dump(1);
}

json& annotation_at(json& annotations, const std::string& label, int64_t start) {
    for (json& a : annotations)
        if (a["core:label"] == label && a["core:sample_start"] == start) return a;
    ADD_FAILURE() << "no " << label << " annotation at " << start;
    return annotations[0];
}

// The second packet's annotation and its segments' (offsets in 80-sample symbols at
// 20 MS/s) one symbol later.
void move_second_packet(const std::string& path, int os, const std::vector<int64_t>& starts) {
    edit_meta(path, [](json& a, int o, const std::vector<int64_t>& s) {
        const std::pair<const char*, int> segments[] = {{"packet", 0}, {"STF", 0}, {"LTF", 2}, {"SIGNAL", 4}, {"DATA", 5}};
        for (const auto& [label, symbols] : segments) {
            json& n = annotation_at(a, label, s[1] + 80 * symbols * o);
            n["core:sample_start"] = n["core:sample_start"].get<int64_t>() + 80 * o;
        }
    }, os, starts);
}

void shorten_third_data(const std::string& path, int os, const std::vector<int64_t>& starts) {
    edit_meta(path, [](json& a, int o, const std::vector<int64_t>& s) {
        json& n = annotation_at(a, "DATA", s[2] + 400 * o);
        n["core:sample_count"] = n["core:sample_count"].get<int64_t>() - 80 * o;
    }, os, starts);
}

void packet_in_the_idle_time(const std::string& path, int os, const std::vector<int64_t>& starts) {
    edit_meta(path, [](json& a, int o, const std::vector<int64_t>& s) {
        a.push_back({{"core:sample_start", s[1] - 10 * o}, {"core:sample_count", 5 * o}, {"core:label", "packet"}});
    }, os, starts);
}

struct FaultySequence {
    const char* name;
    const char* file;
    int os;
    void (*fault)(const std::string& path, int os, const std::vector<int64_t>& starts);
    const char* failure;
};
void PrintTo(const FaultySequence& c, std::ostream* os) { *os << c.name; }

class FaultySequences : public ::testing::TestWithParam<FaultySequence> {};

TEST_P(FaultySequences, FailWithTheFault) {
    const FaultySequence& c = GetParam();
    TempDir dir("seqbad");
    const std::string path = dir.file(c.file);
    const std::vector<int64_t> starts = write_sequence(path, c.os, "10");
    ASSERT_EQ(starts.size(), static_cast<size_t>(kPackets));
    c.fault(path, c.os, starts);
    const orv_test::CheckRun rx = orv_test::orvcheck({path, "--expect", std::to_string(kPackets), "--json"});
    const json j = json::parse(rx.out);
    EXPECT_EQ(rx.status, kCheckFailed) << failures_of(j);
    EXPECT_NE(failures_of(j).find(c.failure), std::string::npos) << failures_of(j);
    // The packets themselves are untouched and still decode.
    EXPECT_EQ(j["summary"]["decoded"], kPackets);
}

INSTANTIATE_TEST_SUITE_P(
    Files, FaultySequences,
    ::testing::Values(
        FaultySequence{"awg_header_papr_half_a_db_high", "s.awv", 8, raise_header_papr,
                       "header PAPR or crest factors differ from the codes"},
        FaultySequence{"awg_flat_zeros_in_second_packet", "s.awv", 4, flat_zeros_in_second_packet, "2 clipped codes"},
        FaultySequence{"sigmf_second_packet_annotated_a_symbol_late", "s.sigmf-data", 8, move_second_packet,
                       "5 of 15 SigMF annotations differ from the packets found: \"packet\""},
        FaultySequence{"sigmf_third_data_a_symbol_short", "s.sigmf-data", 1, shorten_third_data,
                       "1 of 15 SigMF annotations differ from the packets found: \"DATA\""},
        FaultySequence{"sigmf_packet_annotated_in_the_idle_time", "s.sigmf-data", 8, packet_in_the_idle_time,
                       "(no packet found at"}),
    [](const ::testing::TestParamInfo<FaultySequence>& i) { return std::string(i.param.name); });

}  // namespace
