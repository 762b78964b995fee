// orvgen's frame options and the expansion of a plan into the packet list.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "frames.h"

namespace {

using frames::FrameOptions;
using frames::Pattern;

// (Options are assigned std::string values: GCC 12 warns falsely, -Wrestrict,
// on string literals assigned in these functions.)

frames::Sequence expand_options(const FrameOptions& o) {
    frames::WaveformPlan plan;
    std::string error;
    EXPECT_TRUE(frames::plan_from_options(o, plan, error)) << error;
    frames::Sequence s;
    EXPECT_TRUE(frames::expand(plan, s, error)) << error;
    return s;
}

bool fcs_ok(std::span<const uint8_t> p) {
    const uint32_t fcs = frames::fcs32(p.data(), p.size() - 4);
    const uint8_t* t = p.data() + p.size() - 4;
    return fcs == (t[0] | (uint32_t{t[1]} << 8) | (uint32_t{t[2]} << 16) | (uint32_t{t[3]} << 24));
}

// The PER waveform: 100 data frames of 1000 octets at 54 Mbit/s, 20 us apart.
TEST(Expand, PerTestWaveform) {
    FrameOptions o;
    o.rate = std::string("54");
    o.payload_bytes = std::string("1000");
    o.packets = std::string("100");
    o.idle = std::string("20");
    const frames::Sequence s = expand_options(o);
    ASSERT_EQ(s.packets.size(), 100u);
    frames::PatternStream reference{Pattern::PN9, 0xFFFF};
    std::vector<uint8_t> payload(1000);
    for (size_t k = 0; k < s.packets.size(); ++k) {
        const frames::Packet& p = s.packets[k];
        const auto psdu = frames::psdu(s, p);
        ASSERT_EQ(p.length, 1028);
        EXPECT_EQ(p.rate_index, 7);
        EXPECT_EQ(p.scrambler, 93);
        EXPECT_EQ(p.sequence, static_cast<int>(k));
        EXPECT_DOUBLE_EQ(p.idle_s, 20e-6);
        EXPECT_EQ(psdu[22] | (psdu[23] << 8), static_cast<int>(k << 4));
        EXPECT_TRUE(fcs_ok(psdu)) << k;
        // The PN payload runs on from one packet to the next.
        frames::pattern_octets(reference, payload.data(), payload.size());
        ASSERT_TRUE(std::equal(payload.begin(), payload.end(), psdu.begin() + 24)) << "packet " << k;
    }
    EXPECT_EQ(s.pool.size(), 100u * 1028u);
}

TEST(Expand, SequenceNumbersWrapAfter4095) {
    FrameOptions o;
    o.payload_bytes = std::string("0");  // a data frame without body: header and FCS
    o.packets = std::string("4100");
    const frames::Sequence s = expand_options(o);
    ASSERT_EQ(s.packets.size(), 4100u);
    EXPECT_EQ(s.packets[4095].sequence, 4095);
    EXPECT_EQ(s.packets[4096].sequence, 0);
    EXPECT_EQ(s.packets[4099].sequence, 3);
    EXPECT_EQ(s.packets[4099].length, 28);
}

TEST(Expand, SequenceStartsWhereAsked) {
    frames::WaveformPlan plan;
    std::string error;
    FrameOptions o;
    o.payload_bytes = std::string("1");
    o.packets = std::string("3");
    ASSERT_TRUE(frames::plan_from_options(o, plan, error));
    frames::Sequence s;
    ASSERT_TRUE(frames::expand(plan, s, error, 4094));
    EXPECT_EQ(s.packets[0].sequence, 4094);
    EXPECT_EQ(s.packets[2].sequence, 0);
}

TEST(Expand, ScramblerStepCyclesOneTo127) {
    FrameOptions o;
    o.payload_bytes = std::string("4");
    o.packets = std::string("260");
    o.scrambler_init = std::string("step");
    const frames::Sequence s = expand_options(o);
    for (size_t k = 0; k < s.packets.size(); ++k)
        ASSERT_EQ(s.packets[k].scrambler, 1 + k % 127) << "packet " << k;
    EXPECT_EQ(s.packets[126].scrambler, 127);
    EXPECT_EQ(s.packets[127].scrambler, 1);
}

TEST(Expand, UnchangingPsduRepeatsShareTheirOctets) {
    FrameOptions o;
    o.psdu_hex = std::string("08 00 00 00 ff ff ff ff ff ff 02 00 00 00 00 01");
    o.packets = std::string("100000");
    const frames::Sequence s = expand_options(o);
    ASSERT_EQ(s.packets.size(), 100000u);
    EXPECT_EQ(s.pool.size(), 16u);
    EXPECT_EQ(s.packets.back().offset, 0u);
    EXPECT_EQ(s.packets.back().sequence, -1);
    EXPECT_EQ(frames::psdu(s, s.packets.back())[15], 0x01);
}

TEST(Expand, ConstantBarePayloadSharedPnBarePayloadNot) {
    FrameOptions o;
    o.payload_bytes = std::string("10");
    o.mac_frame = std::string("none");
    o.packets = std::string("5");
    o.data = std::string("ALL1");
    EXPECT_EQ(expand_options(o).pool.size(), 10u);
    o.data = std::string("PN15");
    const frames::Sequence s = expand_options(o);
    EXPECT_EQ(s.pool.size(), 50u);
    EXPECT_EQ(s.packets[4].sequence, -1);
    EXPECT_NE(s.packets[4].offset, s.packets[3].offset);
}

// Entries share the MAC sequence counter and each pattern and seed's PN
// stream; a pattern with another seed runs a stream of its own.
TEST(Expand, EntriesShareCountersAndStreams) {
    frames::WaveformPlan plan;
    frames::PacketPlan a;
    a.payload_bytes = 7;
    a.repeat = 2;
    frames::PacketPlan b = a;
    b.seed = 0x1;
    b.repeat = 1;
    frames::PacketPlan raw;
    raw.source = frames::Source::Octets;
    raw.octets = {1, 2, 3};
    raw.scrambler = frames::kScramblerStep;
    plan.packets = {a, b, raw, a};
    frames::Sequence s;
    std::string error;
    ASSERT_TRUE(frames::expand(plan, s, error)) << error;
    ASSERT_EQ(s.packets.size(), 6u);
    const std::vector<int> sequences = {0, 1, 2, -1, 3, 4};
    for (size_t k = 0; k < 6; ++k) EXPECT_EQ(s.packets[k].sequence, sequences[k]) << k;
    EXPECT_EQ(s.packets[3].scrambler, 4);  // the step counts every packet
    frames::PatternStream ffff{Pattern::PN9, 0xFFFF}, one{Pattern::PN9, 0x1};
    std::vector<uint8_t> want(7);
    const size_t ffff_packets[] = {0, 1, 4, 5};
    for (size_t k : ffff_packets) {
        frames::pattern_octets(ffff, want.data(), 7);
        EXPECT_TRUE(std::equal(want.begin(), want.end(), frames::psdu(s, s.packets[k]).begin() + 24)) << k;
    }
    frames::pattern_octets(one, want.data(), 7);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), frames::psdu(s, s.packets[2]).begin() + 24));
}

TEST(Expand, PsduLengthBoundsWithAndWithoutMacFrame) {
    FrameOptions o;
    o.payload_bytes = std::string("4067");
    EXPECT_EQ(expand_options(o).packets[0].length, 4095);
    o.payload_bytes = std::string("4095");
    o.mac_frame = std::string("none");
    EXPECT_EQ(expand_options(o).packets[0].length, 4095);
}

struct LimitCase {
    const char* name;
    std::function<void(frames::PacketPlan&)> change;
    const char* fault;
};

void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.name; }

class ExpandLimit : public testing::TestWithParam<LimitCase> {};

TEST_P(ExpandLimit, Refused) {
    frames::WaveformPlan plan;
    plan.packets.emplace_back();
    plan.packets.back().payload_bytes = 100;
    GetParam().change(plan.packets.back());
    frames::Sequence s;
    std::string error;
    EXPECT_FALSE(frames::expand(plan, s, error));
    EXPECT_NE(error.find(GetParam().fault), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExpandLimit,
    testing::Values(
        LimitCase{"too_many_packets", [](frames::PacketPlan& e) { e.repeat = 1000001; }, "more than 1000000 packets"},
        LimitCase{"too_many_octets",
                  [](frames::PacketPlan& e) {
                      e.payload_bytes = 4000;
                      e.repeat = 300000;
                  },
                  "more than 1024 MiB"},
        LimitCase{"rate_index", [](frames::PacketPlan& e) { e.rate_index = 8; }, "rate index 8"},
        LimitCase{"scrambler", [](frames::PacketPlan& e) { e.scrambler = 128; }, "scrambler state 128"},
        LimitCase{"zero_repeat", [](frames::PacketPlan& e) { e.repeat = 0; }, "repeat count 0"},
        LimitCase{"negative_idle", [](frames::PacketPlan& e) { e.idle_us = -1; }, "idle time"},
        LimitCase{"long_payload", [](frames::PacketPlan& e) { e.payload_bytes = 4068; }, "outside 1..4095"},
        LimitCase{"empty_bare_payload",
                  [](frames::PacketPlan& e) {
                      e.payload_bytes = 0;
                      e.mac_frame = false;
                  },
                  "outside 1..4095"},
        LimitCase{"zero_seed", [](frames::PacketPlan& e) { e.seed = 0; }, "PN seed 0"},
        LimitCase{"empty_octets",
                  [](frames::PacketPlan& e) { e.source = frames::Source::Octets; },
                  "PSDU of 0 octets"},
        LimitCase{"empty_capture",
                  [](frames::PacketPlan& e) { e.source = frames::Source::Capture; },
                  "without packets"}),
    [](const auto& c) { return std::string(c.param.name); });

TEST(Expand, NoEntriesRefused) {
    frames::Sequence s;
    std::string error;
    EXPECT_FALSE(frames::expand(frames::WaveformPlan{}, s, error));
    EXPECT_EQ(error, "no packets");
}

// ---- Options ----

struct OptionCase {
    const char* name;
    std::function<void(FrameOptions&)> change;
    const char* error;  // the whole message
};

void PrintTo(const OptionCase& c, std::ostream* os) { *os << c.name; }

class OptionFault : public testing::TestWithParam<OptionCase> {};

TEST_P(OptionFault, RefusedNamingTheOption) {
    FrameOptions o;
    o.payload_bytes = std::string("100");
    GetParam().change(o);
    frames::WaveformPlan plan;
    std::string error;
    EXPECT_FALSE(frames::plan_from_options(o, plan, error));
    EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OptionFault,
    testing::Values(
        OptionCase{"rate", [](FrameOptions& o) { o.rate = std::string("55"); },
                   "--rate: 55 is not one of 6, 9, 12, 18, 24, 36, 48, 54"},
        OptionCase{"rate_text", [](FrameOptions& o) { o.rate = std::string("6.0"); },
                   "--rate: 6.0 is not one of 6, 9, 12, 18, 24, 36, 48, 54"},
        OptionCase{"data", [](FrameOptions& o) { o.data = std::string("PN11"); },
                   "--data: PN11 is not one of PN9, PN15, PN19, PN20, PN23, ALL0, ALL1"},
        OptionCase{"seed_zero", [](FrameOptions& o) { o.seed = std::string("0"); },
                   "--seed: \"0\" is not 1 to 8 hex digits, not 0"},
        OptionCase{"seed_long", [](FrameOptions& o) { o.seed = std::string("123456789"); },
                   "--seed: \"123456789\" is not 1 to 8 hex digits, not 0"},
        OptionCase{"payload_missing", [](FrameOptions& o) { o.payload_bytes.clear(); },
                   "--payload-bytes: needed for a --data payload (or give --psdu-file, --psdu-hex or --pcap)"},
        OptionCase{"payload_long_with_mac", [](FrameOptions& o) { o.payload_bytes = std::string("4068"); },
                   "--payload-bytes: \"4068\" is not 0..4067 (the PSDU adds 28 octets of MAC header and FCS, at "
                   "most 4095)"},
        OptionCase{"payload_zero_bare",
                   [](FrameOptions& o) {
                       o.payload_bytes = std::string("0");
                       o.mac_frame = std::string("none");
                   },
                   "--payload-bytes: \"0\" is not 1..4095"},
        OptionCase{"payload_negative", [](FrameOptions& o) { o.payload_bytes = std::string("-1"); },
                   "--payload-bytes: \"-1\" is not 0..4067 (the PSDU adds 28 octets of MAC header and FCS, at most "
                   "4095)"},
        OptionCase{"mac_frame", [](FrameOptions& o) { o.mac_frame = std::string("ack"); },
                   "--mac-frame: ack is not one of data, none"},
        OptionCase{"addr2", [](FrameOptions& o) { o.addr2 = std::string("02:00:00:00:01"); },
                   "--addr2: \"02:00:00:00:01\" is not an address like 02:00:00:00:00:01"},
        OptionCase{"duration", [](FrameOptions& o) { o.duration = std::string("32768"); },
                   "--duration: \"32768\" is not 0..32767"},
        OptionCase{"packets_zero", [](FrameOptions& o) { o.packets = std::string("0"); },
                   "--packets: \"0\" is not 1..1000000"},
        OptionCase{"idle_negative", [](FrameOptions& o) { o.idle = std::string("-5"); },
                   "--idle: \"-5\" is not 0..1000000 microseconds"},
        OptionCase{"idle_comma", [](FrameOptions& o) { o.idle = std::string("2,5"); },
                   "--idle: \"2,5\" is not 0..1000000 microseconds"},
        OptionCase{"scrambler_zero", [](FrameOptions& o) { o.scrambler_init = std::string("0"); },
                   "--scrambler-init: \"0\" is not 1..127 or step"},
        OptionCase{"scrambler_128", [](FrameOptions& o) { o.scrambler_init = std::string("128"); },
                   "--scrambler-init: \"128\" is not 1..127 or step"},
        OptionCase{"two_sources",
                   [](FrameOptions& o) {
                       o.payload_bytes.clear();
                       o.psdu_hex = std::string("0800");
                       o.pcap = std::string("x.pcap");
                   },
                   "--psdu-file: --psdu-file, --psdu-hex and --pcap exclude each other"},
        OptionCase{"payload_with_hex", [](FrameOptions& o) { o.psdu_hex = std::string("0800"); },
                   "--payload-bytes: applies to --data patterns, not to a given PSDU"},
        OptionCase{"mac_frame_with_hex",
                   [](FrameOptions& o) {
                       o.payload_bytes.clear();
                       o.mac_frame = std::string("data");
                       o.psdu_hex = std::string("0800");
                   },
                   "--mac-frame: applies to --data patterns; a given PSDU is sent as it is"},
        OptionCase{"addr_with_pcap",
                   [](FrameOptions& o) {
                       o.payload_bytes.clear();
                       o.addr1 = std::string("02:00:00:00:00:02");
                       o.pcap = std::string("x.pcap");
                   },
                   "--addr1: applies to --data patterns; a given PSDU is sent as it is"},
        OptionCase{"hex_odd",
                   [](FrameOptions& o) {
                       o.payload_bytes.clear();
                       o.psdu_hex = std::string("080");
                   },
                   "--psdu-hex: an odd number of hex digits"},
        OptionCase{"hex_too_long",
                   [](FrameOptions& o) {
                       o.payload_bytes.clear();
                       o.psdu_hex.assign(2 * 4096, 'a');
                   },
                   "--psdu-hex: 4096 octets, at most 4095"},
        OptionCase{"psdu_file_device",
                   [](FrameOptions& o) {
                       o.payload_bytes.clear();
                       o.psdu_file = std::string("/dev/zero");
                   },
                   "--psdu-file: /dev/zero is not a regular file"},
        OptionCase{"psdu_file_missing",
                   [](FrameOptions& o) {
                       o.payload_bytes.clear();
                       o.psdu_file = std::string("/nonexistent/psdu.bin");
                   },
                   "--psdu-file: cannot read /nonexistent/psdu.bin: No such file or directory"},
        OptionCase{"pcap_missing",
                   [](FrameOptions& o) {
                       o.payload_bytes.clear();
                       o.pcap = std::string("/nonexistent/c.pcap");
                   },
                   "--pcap: cannot read /nonexistent/c.pcap: No such file or directory"}),
    [](const auto& c) { return std::string(c.param.name); });

}  // namespace
