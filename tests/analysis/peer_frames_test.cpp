// Frames from another 802.11a transmitter (liquid-wlan, tests/data/peers/liquid-wlan):
// 100-byte PSDUs, scrambled and coded, at 20 MS/s with 200 silent samples before
// each frame. The receiver must find, synchronise and decode them without being
// told the sampling rate.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "analysis.h"
#include "support/records.h"

namespace {

const std::string kDir = std::string(ORV_TEST_DATA_DIR) + "/peers/liquid-wlan/";

// liquid-wlan scales its training fields to unit power over all 64 bins and its
// SIGNAL and DATA symbols by 1/8: the long training is sqrt(64/52) louder than
// the data it calibrates, so every equalised point is short by that factor.
const double kPeerEvmDb = 20.0 * std::log10(1.0 - std::sqrt(52.0 / 64.0));  // -20.12 dB

struct PeerFrame {
    int rate_mbps;
    int n_sym;  // DATA symbols of a 100-byte PSDU: ceil((16 + 800 + 6) / N_DBPS)
    std::string file() const {
        char name[32];
        std::snprintf(name, sizeof name, "frame_%02dmbps.csv", rate_mbps);
        return kDir + name;
    }
};

void PrintTo(const PeerFrame& p, std::ostream* os) { *os << p.rate_mbps << " Mbit/s, " << p.n_sym << " DATA symbols"; }

class PeerFrames : public ::testing::TestWithParam<PeerFrame> {};

TEST_P(PeerFrames, FoundSynchronisedAndDecoded) {
    const PeerFrame& p = GetParam();
    const orv::analysis::Result r = orv::analysis::analyse_file(p.file(), {});
    EXPECT_EQ(r.file.oversample, 1);
    EXPECT_EQ(r.file.sample_rate_source, "short training period");
    EXPECT_EQ(r.burst.start, 200);
    ASSERT_TRUE(r.signal);
    EXPECT_EQ(r.signal->rate_mbps, p.rate_mbps);
    EXPECT_EQ(r.signal->length, 100);
    EXPECT_TRUE(r.signal->parity_ok);
    EXPECT_TRUE(r.signal->tail_ok);
    EXPECT_EQ(r.signal->data_symbols, p.n_sym);
    EXPECT_EQ(r.data_symbols_demodulated, p.n_sym);
    ASSERT_TRUE(r.payload);
    EXPECT_EQ(r.payload->pattern, "not a test pattern");
    ASSERT_TRUE(r.evm_db && r.evm_pilots_db);
    EXPECT_NEAR(*r.evm_pilots_db, kPeerEvmDb, 0.05);
    EXPECT_NEAR(*r.evm_db, kPeerEvmDb, 0.5);
    ASSERT_TRUE(r.freq_error_hz);
    EXPECT_LT(std::abs(*r.freq_error_hz), 50.0);
}

INSTANTIATE_TEST_SUITE_P(LiquidWlan, PeerFrames,
                         ::testing::Values(PeerFrame{6, 35}, PeerFrame{9, 23}, PeerFrame{12, 18}, PeerFrame{18, 12},
                                           PeerFrame{24, 9}, PeerFrame{36, 6}, PeerFrame{48, 5}, PeerFrame{54, 4}),
                         [](const auto& tp) { return std::to_string(tp.param.rate_mbps) + "Mbps"; });

// Three frames 2 us apart: the first is the one analysed.
TEST(PeerFramesBackToBack, FirstFrameDecoded) {
    const orv::analysis::Result r = orv::analysis::analyse_file(kDir + "frames_54_24_06.csv", {});
    EXPECT_EQ(r.burst.start, 200);
    ASSERT_TRUE(r.signal);
    EXPECT_EQ(r.signal->rate_mbps, 54);
    EXPECT_EQ(r.signal->length, 100);
    EXPECT_EQ(r.data_symbols_demodulated, 4);
}

// The 36 Mbit/s frame with its leading silence cut to every offset around the
// 32-sample envelope windows: at 20 MS/s the burst's first sample can lie up to
// three windows after the first window the smoothed envelope raises.
class PeerFrameOffset : public ::testing::TestWithParam<int> {};

TEST_P(PeerFrameOffset, StartFoundAt20MHz) {
    std::ifstream in(kDir + "frame_36mbps.csv");
    ASSERT_TRUE(in);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_GT(lines.size(), 200u);
    TempDir dir("peer_offset");
    const std::string path = dir.file("frame.csv");
    {
        std::ofstream out(path);
        for (int k = 0; k < GetParam(); ++k) out << "0.0,0.0\n";
        for (size_t k = 200; k < lines.size(); ++k) out << lines[k] << '\n';
    }
    orv::analysis::Options opt;
    opt.oversample = 1;
    const orv::analysis::Result r = orv::analysis::analyse_file(path, opt);
    EXPECT_EQ(r.burst.start, GetParam());
    ASSERT_TRUE(r.signal);
    EXPECT_EQ(r.signal->rate_mbps, 36);
    EXPECT_EQ(r.signal->length, 100);
}

INSTANTIATE_TEST_SUITE_P(LeadingZeros, PeerFrameOffset,
                         ::testing::Values(0, 1, 31, 32, 33, 63, 64, 65, 95, 96, 97, 127, 128, 200, 333),
                         [](const auto& tp) { return "lead" + std::to_string(tp.param); });

}  // namespace
