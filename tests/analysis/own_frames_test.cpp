// Our own standard frames through the packet receiver: orvgen's frame files
// (AWG, CSV, SigMF; oversampling 1 and 8; channels 20, 10 and 5; every rate;
// MAC data frames and bare PSDUs) decoded by orvcheck to the PSDUs sent, and
// orvgen --check, which holds each packet found against the one sent.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis.h"
#include "analysis/orvcheck_run.h"
#include "frames.h"
#include "orvgen.h"
#include "orvgen_frame_check.h"
#include "cli/orvgen_run.h"
#include "support/files.h"

namespace {

using nlohmann::json;
using orv::analysis::PacketResult;
using orv::gen::FrameCheck;
using orv::gen::judge_frames;
using orv_test::TempDir;

// orvgen's exit status and standard output and error, run in process.
using GenRun = orv_test::CliRun;
using orv_test::orvgen;


constexpr int kMbps[8] = {6, 9, 12, 18, 24, 36, 48, 54};

std::string hex_of(const std::vector<uint8_t>& b) {
    static const char* const digits = "0123456789abcdef";
    std::string s;
    for (uint8_t v : b) s += {digits[v >> 4], digits[v & 15]};
    return s;
}

// A data frame of n payload octets (value k) with its FCS, as the receiver would decode it.
std::vector<uint8_t> mac_frame(int n, uint16_t seq) {
    std::vector<uint8_t> f(24 + n + 4, 0);
    frames::write_data_header(frames::MacHeader{}, seq, f.data());
    for (int k = 0; k < n; ++k) f[24 + k] = static_cast<uint8_t>(k);
    frames::append_fcs(f.data(), 24 + n);
    return f;
}

// ---- The judgement of found packets against sent ones ---------------------------------------

// Three packets sent at os 2: two data frames and a bare PSDU (no FCS).
struct Sent {
    std::vector<std::vector<uint8_t>> psdus{mac_frame(20, 0), mac_frame(5, 1), {1, 2, 3, 4, 5, 6}};
    std::vector<OrvPacket> packets;
    std::vector<int64_t> starts{10, 5000, 9000};
    Sent() {
        const int32_t rates[] = {7, 0, 3};
        for (size_t k = 0; k < psdus.size(); ++k) {
            OrvPacket p{};
            p.size = sizeof p;
            p.rate_index = rates[k];
            p.psdu = psdus[k].data();
            p.psdu_length = static_cast<int32_t>(psdus[k].size());
            packets.push_back(p);
        }
    }
    // What a perfect receiver finds.
    std::vector<PacketResult> found() const {
        std::vector<PacketResult> f;
        for (size_t k = 0; k < packets.size(); ++k) {
            PacketResult r;
            r.start = starts[k];
            r.rate_mbps = kMbps[packets[k].rate_index];
            r.decoded = true;
            r.psdu = psdus[k];
            r.length = static_cast<int>(psdus[k].size());
            r.fcs_ok = k < 2;  // the bare PSDU's last octets are no FCS
            f.push_back(r);
        }
        return f;
    }
};

struct JudgeCase {
    const char* name;
    void (*change)(std::vector<PacketResult>&);
    bool pass;
    int psdu_equal, fcs_ok;
    const char* failure;  // part of the first failure line ("" when it passes)
};

void PrintTo(const JudgeCase& c, std::ostream* os) { *os << c.name; }

class FrameJudgement : public ::testing::TestWithParam<JudgeCase> {};

TEST_P(FrameJudgement, PacketsHeldAgainstTheOnesSent) {
    const JudgeCase& c = GetParam();
    const Sent sent;
    std::vector<PacketResult> found = sent.found();
    c.change(found);
    const FrameCheck r = judge_frames(found, sent.packets.data(), sent.starts.data(), sent.packets.size(), 2);
    EXPECT_EQ(r.pass, c.pass);
    EXPECT_EQ(r.psdu_equal, c.psdu_equal);
    EXPECT_EQ(r.fcs_ok, c.fcs_ok);
    EXPECT_EQ(r.mac_frames, 2);
    if (c.pass) {
        EXPECT_TRUE(r.failures.empty()) << r.failures.front();
    } else {
        ASSERT_FALSE(r.failures.empty());
        EXPECT_NE(r.failures.front().find(c.failure), std::string::npos) << r.failures.front();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameJudgement,
    ::testing::Values(
        JudgeCase{"all_found", [](std::vector<PacketResult>&) {}, true, 3, 2, ""},
        JudgeCase{"start_late_within_a_symbol", [](std::vector<PacketResult>& f) { f[1].start += 160; }, true, 3, 2, ""},
        JudgeCase{"start_beyond_a_symbol", [](std::vector<PacketResult>& f) { f[1].start += 161; }, false, 2, 1,
                  "packet 2 (start 5000): not found"},
        JudgeCase{"second_missing", [](std::vector<PacketResult>& f) { f.erase(f.begin() + 1); }, false, 2, 1,
                  "packet 2 (start 5000): not found"},
        JudgeCase{"none_found", [](std::vector<PacketResult>& f) { f.clear(); }, false, 0, 0, "packet 1"},
        JudgeCase{"extra_before_the_first",
                  [](std::vector<PacketResult>& f) {
                      PacketResult x = f[0];
                      x.start = 0;
                      f.insert(f.begin(), x);
                  },
                  false, 3, 2, "a packet at sample 0 that was not sent"},
        JudgeCase{"extra_after_the_last",
                  [](std::vector<PacketResult>& f) {
                      PacketResult x = f[2];
                      x.start = 20000;
                      f.push_back(x);
                  },
                  false, 3, 2, "a packet at sample 20000"},
        JudgeCase{"one_octet_wrong", [](std::vector<PacketResult>& f) { f[0].psdu[30] ^= 1; }, false, 2, 1,
                  "packet 1 (start 10): PSDU differs"},
        JudgeCase{"psdu_cut_short", [](std::vector<PacketResult>& f) { f[2].psdu.pop_back(); }, false, 2, 2,
                  "5 octets decoded, 6 sent"},
        JudgeCase{"other_rate", [](std::vector<PacketResult>& f) { f[1].rate_mbps = 9; }, false, 2, 1,
                  "decoded at 9 Mbit/s, sent at 6"},
        JudgeCase{"not_decoded",
                  [](std::vector<PacketResult>& f) {
                      f[0].decoded = false;
                      f[0].problem = "LENGTH beyond the file";
                  },
                  false, 2, 1, "not decoded: LENGTH beyond the file"},
        JudgeCase{"mac_frame_bad_fcs", [](std::vector<PacketResult>& f) { f[1].fcs_ok = false; }, false, 3, 1,
                  "packet 2 (start 5000): the receiver found a bad FCS"},
        JudgeCase{"bare_psdu_fcs_not_asked", [](std::vector<PacketResult>& f) { f[2].fcs_ok = std::nullopt; }, true,
                  3, 2, ""}),
    [](const ::testing::TestParamInfo<JudgeCase>& i) { return std::string(i.param.name); });

TEST(FrameJudgement, FaultLinesAreCappedWithACount) {
    std::vector<std::vector<uint8_t>> psdus(30, std::vector<uint8_t>{9, 9});
    std::vector<OrvPacket> sent(30);
    std::vector<int64_t> starts(30);
    for (size_t k = 0; k < sent.size(); ++k) {
        sent[k] = OrvPacket{};
        sent[k].psdu = psdus[k].data();
        sent[k].psdu_length = 2;
        starts[k] = 1000 * static_cast<int64_t>(k);
    }
    const FrameCheck r = judge_frames({}, sent.data(), starts.data(), sent.size(), 1);
    EXPECT_FALSE(r.pass);
    ASSERT_EQ(r.failures.size(), 21u);
    EXPECT_EQ(r.failures.back(), "... and 10 more faults");
}

struct FcsCase {
    const char* name;
    std::vector<uint8_t> psdu;
    bool ends_with_fcs;
};

void PrintTo(const FcsCase& c, std::ostream* os) { *os << c.name; }

class EndsWithFcs : public ::testing::TestWithParam<FcsCase> {};

TEST_P(EndsWithFcs, OnlyAFrameWithItsOwnCrc) {
    const FcsCase& c = GetParam();
    EXPECT_EQ(orv::gen::ends_with_fcs(c.psdu.data(), c.psdu.size()), c.ends_with_fcs);
}

std::vector<uint8_t> flipped(std::vector<uint8_t> v, size_t at) {
    v[at] ^= 0x80;
    return v;
}

INSTANTIATE_TEST_SUITE_P(Cases, EndsWithFcs,
                         ::testing::Values(FcsCase{"data_frame", mac_frame(10, 3), true},
                                           FcsCase{"payload_bit_flipped", flipped(mac_frame(10, 3), 30), false},
                                           FcsCase{"fcs_bit_flipped", flipped(mac_frame(10, 3), 37), false},
                                           FcsCase{"four_octets_only", {0x00, 0x00, 0x00, 0x00}, false},
                                           FcsCase{"bare_octets", {1, 2, 3, 4, 5, 6, 7, 8}, false}),
                         [](const ::testing::TestParamInfo<FcsCase>& i) { return std::string(i.param.name); });

// ---- orvgen --check in frame mode ---------------------------------------------------------------

struct CheckCase {
    const char* name;
    std::vector<std::string> args;  // after -o FILE
    const char* file;
    int status;
    const char* says;  // part of the standard output
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }

class FrameModeCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(FrameModeCheck, ReadsTheFileBackAndJudgesEveryPacket) {
    const CheckCase& c = GetParam();
    TempDir dir;
    std::vector<std::string> args{"-o", dir.file(c.file)};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back("--check");
    const GenRun r = orvgen(args);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameModeCheck,
    ::testing::Values(
        CheckCase{"mac_frames_awg",
                  {"--rate", "54", "--payload-bytes", "200", "--packets", "4", "--idle", "5"},
                  "a.awv",
                  0,
                  "check: 4 of 4 packets decoded to the PSDU sent, 4 of 4 MAC frames with a good FCS: PASS"},
        CheckCase{"bare_psdus_csv_channel_5",
                  {"--rate", "9", "--payload-bytes", "30", "--mac-frame", "none", "--packets", "3", "--oversample",
                   "1", "--channel", "5"},
                  "b.csv",
                  0,
                  "check: 3 of 3 packets decoded to the PSDU sent, 0 of 0 MAC frames with a good FCS: PASS"},
        CheckCase{"sigmf_scrambler_step_channel_10",
                  {"--rate", "24", "--payload-bytes", "100", "--packets", "3", "--scrambler-init", "step",
                   "--oversample", "2", "--channel", "10"},
                  "c.sigmf-data",
                  0,
                  "3 of 3 MAC frames with a good FCS: PASS"},
        CheckCase{"drowned_in_noise",
                  {"--rate", "54", "--payload-bytes", "300", "--packets", "2", "--idle", "5", "--gauss", "0"},
                  "d.awv",
                  5,
                  "check: packet 1 (start 7): not found"}),
    [](const ::testing::TestParamInfo<CheckCase>& i) { return std::string(i.param.name); });

TEST(FrameModeCheck, JsonCarriesTheVerdict) {
    TempDir dir;
    const GenRun r = orvgen({"-o", dir.file("j.awv"), "--rate", "12", "--psdu-hex", "0102030405",
                                                 "--packets", "2", "--oversample", "1", "--check", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(r.out);
    ASSERT_TRUE(j.contains("check"));
    EXPECT_EQ(j["check"]["pass"], true);
    EXPECT_EQ(j["check"]["found"], 2);
    EXPECT_EQ(j["check"]["psdu_equal"], 2);
    EXPECT_EQ(j["check"]["mac_frames"], 0);
    EXPECT_TRUE(j["check"]["failures"].empty());
}

// ---- Demonstrations: orvgen's files decoded by orvcheck -------------------------------------------

struct DemoCase {
    const char* name;
    const char* file;  // its extension selects the format
    int os;
    int channel;
    int rate_index;
    bool mac;          // MAC data frames of 37 payload octets, else the bare PSDU below
    bool step;         // scrambler 1, 2, 3 ...; else 93
};

// The bare PSDU of the cases without MAC framing.
const std::vector<uint8_t> kBare{0xde, 0xad, 0xbe, 0xef, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
constexpr int kDemoPackets = 3;

void PrintTo(const DemoCase& c, std::ostream* os) { *os << c.name; }

class OwnFramesDecoded : public ::testing::TestWithParam<DemoCase> {};

TEST_P(OwnFramesDecoded, EveryPacketFoundAtItsStartWithItsPsdu) {
    const DemoCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.file(c.file);
    std::vector<std::string> args{"-o", path, "--rate", std::to_string(kMbps[c.rate_index]),
                                  "--packets", std::to_string(kDemoPackets), "--idle", "4",
                                  "--oversample", std::to_string(c.os), "--channel", std::to_string(c.channel),
                                  "--json"};
    if (c.mac) args.insert(args.end(), {"--payload-bytes", "37", "--data", "PN15", "--seed", "1234"});
    else args.insert(args.end(), {"--psdu-hex", hex_of(kBare)});
    if (c.step) args.insert(args.end(), {"--scrambler-init", "step"});
    const GenRun gen = orvgen(args);
    ASSERT_EQ(gen.status, 0) << gen.err;
    const auto starts = json::parse(gen.out)["packet_starts"].get<std::vector<int64_t>>();
    ASSERT_EQ(starts.size(), static_cast<size_t>(kDemoPackets));

    // The PSDUs sent: the frame planner's for MAC frames (PN15 running on from packet to packet).
    std::vector<std::vector<uint8_t>> sent(kDemoPackets, kBare);
    if (c.mac) {
        frames::WaveformPlan plan;
        frames::PacketPlan p;
        p.pattern = frames::Pattern::PN15;
        p.seed = 0x1234;
        p.payload_bytes = 37;
        p.repeat = kDemoPackets;
        plan.packets.push_back(p);
        frames::Sequence s;
        std::string error;
        ASSERT_TRUE(frames::expand(plan, s, error)) << error;
        for (int k = 0; k < kDemoPackets; ++k) {
            const auto b = frames::psdu(s, s.packets[k]);
            sent[k].assign(b.begin(), b.end());
        }
    }

    const orv_test::CheckRun rx = orv_test::orvcheck(
        {path, "--oversample", std::to_string(c.os), "--expect", std::to_string(kDemoPackets), "--psdu", "--json"});
    // The verdict also weighs file-level figures of the first burst; the packets are judged here.
    ASSERT_TRUE(rx.status == 0 || rx.status == 3) << rx.err;
    const json j = json::parse(rx.out);
    EXPECT_EQ(j["summary"]["found"], kDemoPackets);
    EXPECT_EQ(j["summary"]["decoded"], kDemoPackets);
    EXPECT_EQ(j["summary"]["missing"], 0);
    EXPECT_EQ(j["summary"]["fcs_ok"], c.mac ? kDemoPackets : 0);
    ASSERT_EQ(j["packets"].size(), static_cast<size_t>(kDemoPackets));
    for (int k = 0; k < kDemoPackets; ++k) {
        const json& p = j["packets"][k];
        SCOPED_TRACE("packet " + std::to_string(k));
        EXPECT_EQ(p["rate_mbps"], kMbps[c.rate_index]);
        EXPECT_EQ(p["psdu_hex"], hex_of(sent[k]));
        EXPECT_EQ(p["scrambler_init"], c.step ? k + 1 : 93);
        if (c.mac) {
            EXPECT_EQ(p["fcs_ok"], true);
            EXPECT_EQ(p["seq"], k);
        }
        // The receiver places a start on its 20 MS/s grid: exact at os 1, within a 20 MS/s sample above.
        const int64_t found = p["start"].get<int64_t>();
        EXPECT_GE(found, starts[k]);
        EXPECT_LT(found, starts[k] + c.os);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OwnFramesDecoded,
    ::testing::Values(DemoCase{"awg_os1_20mhz_6mbps_mac", "f.awv", 1, 20, 0, true, false},
                      DemoCase{"csv_os8_10mhz_9mbps_bare", "f.csv", 8, 10, 1, false, true},
                      DemoCase{"sigmf_os1_5mhz_12mbps_mac_step", "f.sigmf-data", 1, 5, 2, true, true},
                      DemoCase{"awg_os8_5mhz_18mbps_bare", "f.awv", 8, 5, 3, false, false},
                      DemoCase{"csv_os1_20mhz_24mbps_mac_step", "f.csv", 1, 20, 4, true, true},
                      DemoCase{"sigmf_os8_20mhz_36mbps_mac", "f.sigmf-data", 8, 20, 5, true, false},
                      DemoCase{"awg_os1_10mhz_48mbps_bare_step", "f.awv", 1, 10, 6, false, true},
                      DemoCase{"csv_os8_20mhz_54mbps_mac", "f.csv", 8, 20, 7, true, false}),
    [](const ::testing::TestParamInfo<DemoCase>& i) { return std::string(i.param.name); });

// A PER waveform as the README makes it: 100 data frames of 1000 payload octets at 54 Mbit/s.
TEST(OwnFramesDecoded, PerWaveformOfOneHundredFrames) {
    TempDir dir;
    const std::string path = dir.file("per54.awv");
    const GenRun gen = orvgen(
        {"-o", path, "--rate", "54", "--payload-bytes", "1000", "--packets", "100", "--idle", "20", "--json"});
    ASSERT_EQ(gen.status, 0) << gen.err;
    const auto starts = json::parse(gen.out)["packet_starts"].get<std::vector<int64_t>>();
    const orv_test::CheckRun rx = orv_test::orvcheck({path, "--expect", "100", "--json"});
    ASSERT_TRUE(rx.status == 0 || rx.status == 3) << rx.err;
    const json j = json::parse(rx.out);
    EXPECT_EQ(j["summary"]["decoded"], 100);
    EXPECT_EQ(j["summary"]["fcs_errors"], 0);
    EXPECT_EQ(j["summary"]["found"], 100);
    EXPECT_EQ(j["summary"]["fcs_ok"], 100);
    EXPECT_EQ(j["summary"]["missing"], 0);
    EXPECT_EQ(j["summary"]["per"], 0.0);
    ASSERT_EQ(j["packets"].size(), 100u);
    for (int k = 0; k < 100; ++k) {
        EXPECT_EQ(j["packets"][k]["seq"], k);
        EXPECT_EQ(j["packets"][k]["length"], 1028);
        EXPECT_LT(std::llabs(j["packets"][k]["start"].get<int64_t>() - starts[k]), 8) << "packet " << k;
    }
}

}  // namespace
