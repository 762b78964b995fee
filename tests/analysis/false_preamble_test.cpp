// OFDM DATA symbols are no preamble: a burst of DATA symbols alone, read at the right or at
// the wrong sampling rate, holds no packet, and a sequence of long DATA-heavy packets, with and
// without multipath, gives exactly the packets sent (none found inside their DATA).
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/orvcheck_run.h"
#include "cli/orvgen_run.h"
#include "support/files.h"

namespace {

using nlohmann::json;
using orv_test::TempDir;

struct DataOnlyCase {
    int rate;          // Mbit/s
    std::string data;  // payload pattern
    int read_os;       // oversampling orvcheck is told; 0: none given (20 MS/s assumed)
};
std::string case_name(const DataOnlyCase& c) {
    return std::to_string(c.rate) + "M_" + c.data + (c.read_os ? "_ReadAtOs" + std::to_string(c.read_os) : "_ReadAt20MHz");
}
void PrintTo(const DataOnlyCase& c, std::ostream* os) { *os << case_name(c); }

class DataOnlyFiles : public ::testing::TestWithParam<DataOnlyCase> {};

// A CSV of 30 DATA symbols at 8 times 20 MS/s: refused for want of a preamble, with no packet
// reported. Read at 20 MS/s the symbols are a narrow band around DC whose LTF correlation
// spreads over many lags like a multipath channel's.
TEST_P(DataOnlyFiles, NoPacketFound) {
    const DataOnlyCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.file("free.csv");
    const orv_test::CliRun gen = orv_test::orvgen({"-o", path, "--frame", "free", "--symbols", "30", "--rate",
                                                   std::to_string(c.rate), "--data", c.data, "--oversample", "8"});
    ASSERT_EQ(gen.status, 0) << gen.err;

    std::vector<std::string> args{"--json"};
    if (c.read_os) args.insert(args.end(), {"--oversample", std::to_string(c.read_os)});
    args.push_back(path);
    const orv_test::CheckRun r = orv_test::orvcheck(args);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_TRUE(r.out.empty()) << r.out.substr(0, 400);
    EXPECT_NE(r.err.find("no 802.11a"), std::string::npos) << r.err;
}

std::vector<DataOnlyCase> data_only_cases() {
    std::vector<DataOnlyCase> out;
    for (int os : {0, 8})
        for (int rate : {6, 24, 54})
            for (const char* data : {"PN9", "ALL0", "ALL1"}) out.push_back({rate, data, os});
    return out;
}

INSTANTIATE_TEST_SUITE_P(Patterns, DataOnlyFiles, ::testing::ValuesIn(data_only_cases()),
                         [](const ::testing::TestParamInfo<DataOnlyCase>& i) { return case_name(i.param); });

struct SequenceCase {
    std::string name;
    int rms_ns;  // exponential channel, a new realisation per packet; 0: none
    int snr_db;
};
void PrintTo(const SequenceCase& c, std::ostream* os) { *os << c.name; }

class DataHeavySequences : public ::testing::TestWithParam<SequenceCase> {};

// 54 Mbit/s packets of 1500 bytes (some 220 DATA symbols each): every packet found once where
// it was placed, nothing found in between.
TEST_P(DataHeavySequences, ExactlyThePacketsSent) {
    const SequenceCase& c = GetParam();
    constexpr int kPackets = 12;
    TempDir dir;
    const std::string path = dir.file("sequence.awv");
    std::vector<std::string> args{"-o", path, "--rate", "54", "--payload-bytes", "1500", "--packets",
                                  std::to_string(kPackets), "--idle", "20", "--oversample", "1", "--snr",
                                  std::to_string(c.snr_db), "--impairment-seed", "7", "--json"};
    if (c.rms_ns) args.insert(args.end(), {"--multipath-rms", std::to_string(c.rms_ns), "--multipath-per-packet"});
    const orv_test::CliRun gen = orv_test::orvgen(args);
    ASSERT_EQ(gen.status, 0) << gen.err;
    const auto starts = json::parse(gen.out).at("packet_starts").get<std::vector<int64_t>>();
    ASSERT_EQ(starts.size(), static_cast<size_t>(kPackets));

    const orv_test::CheckRun r = orv_test::orvcheck({"--json", "--expect", std::to_string(kPackets), path});
    ASSERT_FALSE(r.out.empty()) << r.err;
    const json report = json::parse(r.out);
    const json& packets = report.at("packets");
    EXPECT_EQ(report.at("summary").at("found").get<int>(), kPackets);
    EXPECT_EQ(report.at("summary").at("missing").get<int>(), 0);
    ASSERT_EQ(packets.size(), starts.size());
    for (size_t i = 0; i < starts.size(); ++i) {
        SCOPED_TRACE("packet " + std::to_string(i));
        EXPECT_NEAR(static_cast<double>(packets[i].at("start").get<int64_t>()), static_cast<double>(starts[i]), 2.0);
        EXPECT_EQ(packets[i].at("rate_mbps").get<int>(), 54);
    }
}

INSTANTIATE_TEST_SUITE_P(Channels, DataHeavySequences,
                         ::testing::Values(SequenceCase{"NoMultipath_Snr35dB", 0, 35}, SequenceCase{"NoMultipath_Snr50dB", 0, 50},
                                           SequenceCase{"Exponential150ns_Snr35dB", 150, 35},
                                           SequenceCase{"Exponential150ns_Snr50dB", 150, 50}),
                         [](const ::testing::TestParamInfo<SequenceCase>& i) { return i.param.name; });

}  // namespace
