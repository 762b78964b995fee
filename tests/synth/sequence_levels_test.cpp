// The AWG and CSV files of a plain sequence take their levels and samples
// straight from the PPDUs (no idle zeros, no blocks). A frequency error of 0 Hz leaves every sample as
// it is but sends the sequence through the conditioned blocks: both ways must
// give the same crest factors, PAPR and bytes. The cases cross block
// boundaries at every lane, leave whole blocks idle and end mid-block.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "orvasynth.h"
#include "sequence.h"
#include "support/files.h"

namespace {

using orv_test::TempDir;

struct LevelCase {
    const char* name;
    int32_t os;
    double window_tr;          // seconds
    int32_t iq_inverse;
    std::vector<int32_t> rates;  // one packet each
    std::vector<int32_t> lengths;
    std::vector<double> idle;    // seconds after each packet
};

void PrintTo(const LevelCase& c, std::ostream* os) { *os << c.name; }

struct Written {
    int32_t rc;
    double crest_i, crest_q, papr;
    std::string bytes;  // the file without its DATE item
};

Written write(const LevelCase& c, bool through_blocks, const std::string& path, int32_t mode = 0) {
    std::vector<std::vector<uint8_t>> psdus;
    std::vector<OrvPacket> packets;
    for (size_t k = 0; k < c.rates.size(); ++k) {
        psdus.emplace_back(static_cast<size_t>(c.lengths[k]));
        for (size_t j = 0; j < psdus[k].size(); ++j) psdus[k][j] = static_cast<uint8_t>(j * 29 + k * 7 + 3);
    }
    for (size_t k = 0; k < c.rates.size(); ++k) {
        OrvPacket p{};
        p.size = sizeof p;
        p.rate_index = c.rates[k];
        p.scrambler_init = static_cast<int32_t>(1 + (k * 41) % 127);
        p.psdu_length = c.lengths[k];
        p.psdu = psdus[k].data();
        p.idle_time = c.idle[k];
        packets.push_back(p);
    }
    OrvSequenceParams p{};
    p.size = sizeof p;
    p.oversampling = c.os;
    p.channel_mhz = 20;
    p.window_tr = c.window_tr;
    p.iq_inverse = c.iq_inverse;
    p.filter_taps = 191;
    p.filter_rolloff = 0.25;
    p.freq_error_enable = through_blocks ? 1 : 0;  // 0 Hz: the samples stay as they are
    Written w{};
    w.rc = orv_11a_sequence(&p, packets.data(), static_cast<int32_t>(packets.size()), mode, path.c_str(), nullptr);
    if (w.rc != 0) return w;
    w.crest_i = p.crest_i;
    w.crest_q = p.crest_q;
    w.papr = p.papr;
    w.bytes = std::regex_replace(orv_test::read_file(path), std::regex("\\{DATE:[^}]*\\}"), "{DATE:}",
                                 std::regex_constants::format_first_only);
    return w;
}

class PlainSequenceLevels : public ::testing::TestWithParam<LevelCase> {};

TEST_P(PlainSequenceLevels, EqualToTheConditionedBlocks) {
    const LevelCase& c = GetParam();
    TempDir dir;
    const Written plain = write(c, false, dir.file("plain.awv"));
    const Written blocks = write(c, true, dir.file("blocks.awv"));
    ASSERT_EQ(plain.rc, 0);
    ASSERT_EQ(blocks.rc, 0);
    EXPECT_EQ(plain.crest_i, blocks.crest_i);
    EXPECT_EQ(plain.crest_q, blocks.crest_q);
    EXPECT_EQ(plain.papr, blocks.papr);
    EXPECT_GT(plain.papr, 0.0);
    ASSERT_EQ(plain.bytes.size(), blocks.bytes.size());
    EXPECT_TRUE(plain.bytes == blocks.bytes);
    // The CSV file's writing pass takes the same two ways.
    const Written plain_csv = write(c, false, dir.file("plain.csv"), 1);
    const Written blocks_csv = write(c, true, dir.file("blocks.csv"), 1);
    ASSERT_EQ(plain_csv.rc, 0);
    ASSERT_EQ(blocks_csv.rc, 0);
    EXPECT_FALSE(plain_csv.bytes.empty());
    EXPECT_TRUE(plain_csv.bytes == blocks_csv.bytes);
}

// Block length kSequenceBlock = 16384 samples.
INSTANTIATE_TEST_SUITE_P(
    Cases, PlainSequenceLevels,
    ::testing::Values(
        LevelCase{"one_packet_inside_a_block", 1, 100e-9, 0, {0}, {20}, {0.0}},
        LevelCase{"packets_across_blocks_at_odd_lanes", 1, 150e-9, 0, {7, 3, 5, 1}, {1500, 777, 2001, 333},
                  {1.05e-6, 0.15e-6, 2.2e-6, 0.35e-6}},
        LevelCase{"whole_blocks_idle", 2, 100e-9, 0, {4, 6}, {100, 100}, {1.7e-3, 0.9e-3}},
        LevelCase{"os8_windowless_exchanged", 8, 0.0, 1, {7, 7, 2}, {1028, 61, 400}, {20e-6, 3.3e-6, 0.0}},
        LevelCase{"os3_no_idle", 3, 50e-9, 0, {0, 1, 2, 3, 4, 5, 6, 7}, {9, 99, 199, 299, 399, 499, 599, 699},
                  {0, 0, 0, 0, 0, 0, 0, 0}}),
    [](const ::testing::TestParamInfo<LevelCase>& i) { return std::string(i.param.name); });

// A file whose every write fails is reported, straight from the PPDUs or through the blocks.
TEST(PlainSequenceLevels, WriteFailureReported) {
    struct stat st;
    if (::stat("/dev/full", &st) != 0) GTEST_SKIP() << "no /dev/full";
    const LevelCase c{"many_packets", 2, 100e-9, 0, std::vector<int32_t>(40, 7), std::vector<int32_t>(40, 1500),
                      std::vector<double>(40, 10e-6)};
    for (int32_t mode : {0, 1})
        for (bool blocks : {false, true})
            EXPECT_EQ(write(c, blocks, "/dev/full", mode).rc, ORV_WRITE_FAILED) << "mode " << mode << " blocks " << blocks;
}

}  // namespace
