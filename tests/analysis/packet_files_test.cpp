// Files of many packets through orvcheck: the packet table, the totals, --expect,
// --json packets and summary, --pcap read back by tshark, and bad input.
#include <gtest/gtest.h>

#include <ostream>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "analysis.h"
#include "orvcheck.h"
#include "reference_tx.h"
#include "rx_packets.h"
#include "analysis/orvcheck_run.h"
#include "support/records.h"

namespace {

using C = std::complex<double>;
using nlohmann::json;

using CliRun = orv_test::CheckRun;
using orv_test::orvcheck;

using reftx::body;

constexpr int kRates[] = {6, 54, 24, 9, 48, 12, 36, 18};

// Packets at several rates, 2 us (40 samples) apart after 37 samples of weak noise;
// corrupt: the index of a packet whose DATA is damaged (-1: none).
std::vector<C> packet_file(int count, int corrupt, std::vector<std::vector<uint8_t>>* psdus = nullptr) {
    std::mt19937 g(11);
    std::normal_distribution<double> n(0.0, 1e-4);
    std::vector<C> x;
    for (int i = 0; i < 37; ++i) x.push_back({n(g), n(g)});
    for (int k = 0; k < count; ++k) {
        const std::vector<uint8_t> psdu = reftx::mac_frame(100 + k, body(50 + 13 * k, static_cast<uint32_t>(k)));
        if (psdus) psdus->push_back(psdu);
        std::vector<C> f = reftx::frame(kRates[k % 8], reftx::bits_of_bytes(psdu), static_cast<int>(psdu.size()), 1,
                                        1 + (k * 37) % 127);
        if (k == corrupt)
            for (size_t i = 500; i < 560 && i < f.size(); ++i) f[i] = -f[i];
        x.insert(x.end(), f.begin(), f.end());
        for (int i = 0; i < 40; ++i) x.push_back({n(g), n(g)});
    }
    return x;
}

TEST(PacketFiles, EveryPacketInTheJsonWithTotals) {
    TempDir dir("multi");
    std::vector<std::vector<uint8_t>> psdus;
    const std::string path = dir.file("multi.csv");
    ASSERT_TRUE(reftx::write_csv(path, packet_file(8, -1, &psdus)));
    const CliRun run = orvcheck({path, "--oversample", "1", "--json", "--psdu", "--expect", "8"});
    EXPECT_EQ(run.status, kCheckPass) << run.err << run.out;
    const json j = json::parse(run.out);
    ASSERT_EQ(j["packets"].size(), 8u);
    for (size_t k = 0; k < 8; ++k) {
        const json& p = j["packets"][k];
        EXPECT_EQ(p["rate_mbps"], kRates[k]) << k;
        EXPECT_EQ(p["length"], psdus[k].size()) << k;
        EXPECT_EQ(p["fcs_ok"], true) << k;
        EXPECT_EQ(p["seq"], 100 + static_cast<int>(k)) << k;
        EXPECT_EQ(p["scrambler_init"], 1 + (static_cast<int>(k) * 37) % 127) << k;
        EXPECT_LT(p["evm_db"].get<double>(), -40.0) << k;
        std::string hex;
        char b[3];
        for (uint8_t v : psdus[k]) {
            std::snprintf(b, sizeof b, "%02x", v);
            hex += b;
        }
        EXPECT_EQ(p["psdu_hex"], hex) << k;
    }
    EXPECT_EQ(j["summary"]["found"], 8);
    EXPECT_EQ(j["summary"]["signal_ok"], 8);
    EXPECT_EQ(j["summary"]["decoded"], 8);
    EXPECT_EQ(j["summary"]["fcs_ok"], 8);
    EXPECT_EQ(j["summary"]["per"], 0.0);
    // The first packet's members keep their meaning.
    EXPECT_EQ(j["signal"]["rate_mbps"], 6);
    EXPECT_EQ(j["burst"]["start"], j["packets"][0]["start"]);
}

// The verdict fails on a missing packet and on an FCS error; the table marks the packet.
struct VerdictCase {
    const char* name;
    int corrupt;
    const char* expect;
    int fcs_ok;
    const char* failure;  // part of the failure line
};
// Cases print as their names (not as the bytes of the record).
void PrintTo(const VerdictCase& c, std::ostream* os) { *os << c.name; }

class PacketVerdict : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(PacketVerdict, Fails) {
    const VerdictCase& c = GetParam();
    TempDir dir("verdict");
    const std::string path = dir.file("v.csv");
    ASSERT_TRUE(reftx::write_csv(path, packet_file(5, c.corrupt)));
    const CliRun run = orvcheck({path, "--oversample", "1", "--expect", c.expect});
    EXPECT_EQ(run.status, kCheckFailed) << run.out;
    EXPECT_NE(run.out.find("FCS good " + std::to_string(c.fcs_ok)), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(c.failure), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Verdict     FAIL"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PacketVerdict,
    ::testing::Values(VerdictCase{"two_missing", -1, "7", 5, "2 of the 7 expected packets missing"},
                      VerdictCase{"fcs_error", 2, "5", 4, "1 of 5 packets without a good FCS"},
                      VerdictCase{"more_than_expected", -1, "3", 5, "5 packets found, more than the 3 expected"}),
    [](const ::testing::TestParamInfo<VerdictCase>& i) { return std::string(i.param.name); });

TEST(PacketFiles, PcapReadByTshark) {
    if (std::system("tshark --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed (scripts/setup.sh installs it)";
    TempDir dir("pcap");
    const std::string path = dir.file("p.csv"), cap = dir.file("p.pcap"), listing = dir.file("p.txt");
    ASSERT_TRUE(reftx::write_csv(path, packet_file(6, 3)));
    const CliRun run = orvcheck({path, "--oversample", "1", "--pcap", cap});
    EXPECT_EQ(run.status, kCheckFailed) << run.err;  // packet 3's FCS
    const std::string cmd = "tshark -r '" + cap + "' -o wlan.check_checksum:TRUE -T fields -e frame.number -e wlan.fcs.status -e wlan.seq -e radiotap.datarate > '" +
                            listing + "' 2>/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::istringstream in(read_file(listing));
    std::string line;
    int frames = 0, good = 0, bad = 0;
    // Fields: frame number, FCS status (1 good, 0 bad), sequence number, rate in Mbit/s.
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string v; std::getline(fields, v, '\t');) f.push_back(v);
        ASSERT_EQ(f.size(), 4u) << line;
        good += f[1] == "1";
        bad += f[1] == "0";
        EXPECT_EQ(f[2], std::to_string(100 + frames)) << line;
        EXPECT_EQ(f[3], std::to_string(kRates[frames % 8])) << line;
        ++frames;
    }
    EXPECT_EQ(frames, 6);
    EXPECT_EQ(good, 5) << read_file(listing);
    EXPECT_EQ(bad, 1) << read_file(listing);
}

TEST(PacketFiles, PcapThatCannotBeWritten) {
    TempDir dir("pcapbad");
    const std::string path = dir.file("p.csv");
    ASSERT_TRUE(reftx::write_csv(path, packet_file(1, -1)));
    const CliRun run = orvcheck({path, "--oversample", "1", "--pcap", dir.file("no/such/dir/p.pcap")});
    EXPECT_EQ(run.status, kCheckPlotsFailed);
    EXPECT_NE(run.err.find("--pcap"), std::string::npos);
}

// Bad input: a clear packet table, never a crash or a hang.
struct BadPacket {
    const char* name;
    std::vector<C> (*make)();
    const char* problem;  // part of the packet's problem
};
// Cases print as their names (not as the bytes of the record).
void PrintTo(const BadPacket& c, std::ostream* os) { *os << c.name; }

std::vector<C> truncated() {
    std::vector<C> f = packet_file(1, -1);
    f.resize(f.size() - 300);
    return f;
}
std::vector<C> length_beyond_file() {
    std::vector<C> f = reftx::frame(6, std::vector<int>(8 * 4000, 1), 4000, 1);
    f.resize(2000);
    return f;
}
std::vector<C> noise_after_preamble() {
    std::vector<C> f = reftx::frame(24, reftx::bits_of_bytes(reftx::mac_frame(1, body(500, 9))), 528, 1);
    std::mt19937 g(5);
    std::normal_distribution<double> n(0.0, 0.15);
    for (size_t i = 400; i < f.size(); ++i) f[i] = {n(g), n(g)};
    return f;
}

class BadPackets : public ::testing::TestWithParam<BadPacket> {};

TEST_P(BadPackets, ReportedNotDecoded) {
    const std::vector<C> x = GetParam().make();
    orv::analysis::Options opt;
    const std::vector<orv::analysis::PacketResult> p = orv::analysis::receive_packets(x.data(), static_cast<int64_t>(x.size()), 1, opt, nullptr);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_NE(p[0].fcs_ok, true);
    EXPECT_NE(p[0].problem.find(GetParam().problem), std::string::npos) << p[0].problem;
}

INSTANTIATE_TEST_SUITE_P(Cases, BadPackets,
                         ::testing::Values(BadPacket{"truncated", truncated, "cut off after"},
                                           BadPacket{"length_beyond_file", length_beyond_file, "cut off after"},
                                           BadPacket{"noise_after_preamble", noise_after_preamble, "FCS error"}),
                         [](const ::testing::TestParamInfo<BadPacket>& i) { return std::string(i.param.name); });

// Leading noise of any length: the packet and the first burst's measurements start at the frame.
TEST(PacketFiles, LeadingNoiseOfAnyLength) {
    TempDir dir("lead");
    const std::vector<uint8_t> psdu = reftx::mac_frame(7, body(300, 4));
    const std::vector<C> f = reftx::frame(24, reftx::bits_of_bytes(psdu), static_cast<int>(psdu.size()), 1, 0x11);
    for (const size_t lead : {size_t{1}, size_t{333}, size_t{20000}}) {
        std::mt19937 g(static_cast<unsigned>(lead));
        std::normal_distribution<double> n(0.0, 0.005);  // about -27 dB below the frame
        std::vector<C> x;
        for (size_t i = 0; i < lead; ++i) x.push_back({n(g), n(g)});
        for (const C& v : f) x.push_back(v + C(n(g), n(g)));
        for (int i = 0; i < 500; ++i) x.push_back({n(g), n(g)});
        const std::string path = dir.file("lead.csv");
        ASSERT_TRUE(reftx::write_csv(path, x));
        orv::analysis::Options opt;
        opt.oversample = 1;
        const orv::analysis::Result r = orv::analysis::analyse_file(path, opt);
        ASSERT_EQ(r.packets.size(), 1u) << lead;
        EXPECT_EQ(r.packets[0].start, static_cast<int64_t>(lead)) << lead;
        EXPECT_EQ(r.packets[0].fcs_ok, true) << lead;
        EXPECT_EQ(r.burst.start, static_cast<int64_t>(lead)) << lead;
        ASSERT_TRUE(r.signal) << lead;
        EXPECT_EQ(r.signal->length, static_cast<int>(psdu.size())) << lead;
    }
}

// 10^5 tiny bursts of random samples: no packet, and it ends.
TEST(PacketFiles, TinyBurstsAreNoPackets) {
    std::mt19937 g(3);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<C> x;
    x.reserve(2'000'000);
    for (int b = 0; b < 100000; ++b) {
        for (int i = 0; i < 4; ++i) x.push_back({u(g), u(g)});
        x.insert(x.end(), 12 + static_cast<size_t>(g() % 8), C(0, 0));
    }
    orv::analysis::Options opt;
    bool truncated = true;
    const std::vector<orv::analysis::PacketResult> p = orv::analysis::receive_packets(x.data(), static_cast<int64_t>(x.size()), 1, opt, &truncated);
    EXPECT_TRUE(p.empty());
    EXPECT_FALSE(truncated);
}

}  // namespace
