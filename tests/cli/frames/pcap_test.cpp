// 802.11 captures as PSDUs: captures written here with libpcap's dump
// functions (and one pcapng file laid out by hand), each link type with and
// without FCS, and the captures that must be refused.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "frames.h"
#include "support/files.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// A file name in a fresh temporary folder, removed with the folder.
struct TempFile {
    orv_test::TempDir dir;
    const fs::path path;
    explicit TempFile(const std::string& name) : path(dir.path / name) {}
};

// A capture of link type link with the given packets; caplen below the
// packet's length when cut is set.
void write_capture(const fs::path& path, int link, const std::vector<Bytes>& packets, uint32_t cut = 0) {
    pcap_t* dead = pcap_open_dead(link, 65535);
    ASSERT_NE(dead, nullptr);
    pcap_dumper_t* d = pcap_dump_open(dead, path.c_str());
    ASSERT_NE(d, nullptr) << pcap_geterr(dead);
    for (const Bytes& p : packets) {
        pcap_pkthdr h{};
        h.caplen = static_cast<bpf_u_int32>(cut ? cut : p.size());
        h.len = static_cast<bpf_u_int32>(p.size());
        pcap_dump(reinterpret_cast<u_char*>(d), &h, p.data());
    }
    pcap_dump_close(d);
    pcap_close(dead);
}

// A beacon-like management frame without FCS (24-octet header, 12 of body).
Bytes frame_without_fcs() {
    Bytes f = {0x80, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0x00,
               0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x10, 0x00};
    for (int k = 0; k < 12; ++k) f.push_back(static_cast<uint8_t>(k));
    return f;
}

Bytes with_fcs(Bytes f) {
    const size_t n = f.size();
    f.resize(n + 4);
    frames::append_fcs(f.data(), n);
    return f;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Radiotap headers: Flags only; TSFT then Flags; Flags behind a second presence word.
Bytes radiotap_flags(uint8_t flags) { return {0x00, 0x00, 0x09, 0x00, 0x02, 0x00, 0x00, 0x00, flags}; }
Bytes radiotap_tsft_flags(uint8_t flags) {
    Bytes h = {0x00, 0x00, 0x12, 0x00, 0x03, 0x00, 0x00, 0x00};
    for (int k = 0; k < 8; ++k) h.push_back(0xA0);  // TSFT
    h.push_back(flags);
    h.push_back(0x6C);  // Rate (one octet), 54 Mbit/s
    return h;
}
Bytes radiotap_extended_flags(uint8_t flags) {
    return {0x00, 0x00, 0x10, 0x00, 0x02, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, flags, 0x00, 0x00, 0x00};
}

struct GoodCase {
    const char* name;
    int link;
    Bytes packet;
    bool fcs_appended;
};

void PrintTo(const GoodCase& c, std::ostream* os) { *os << c.name; }

class CaptureRead : public testing::TestWithParam<GoodCase> {};

TEST_P(CaptureRead, GivesTheFrameWithItsFcs) {
    const GoodCase& c = GetParam();
    TempFile file{c.name};
    write_capture(file.path, c.link, {c.packet, c.packet});
    std::vector<frames::CapturedFrame> got;
    std::string error;
    ASSERT_TRUE(frames::read_pcap_file(file.path, got, error)) << error;
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].psdu, with_fcs(frame_without_fcs()));
    EXPECT_EQ(got[0].fcs_appended, c.fcs_appended);
}

INSTANTIATE_TEST_SUITE_P(
    LinkTypes, CaptureRead,
    testing::Values(GoodCase{"ieee802_11_without_fcs", 105, frame_without_fcs(), true},
                    GoodCase{"ieee802_11_with_fcs", 105, with_fcs(frame_without_fcs()), false},
                    GoodCase{"radiotap_with_fcs", 127, concat(radiotap_flags(0x10), with_fcs(frame_without_fcs())), false},
                    GoodCase{"radiotap_without_fcs", 127, concat(radiotap_flags(0x00), frame_without_fcs()), true},
                    GoodCase{"radiotap_tsft_with_fcs", 127,
                             concat(radiotap_tsft_flags(0x10), with_fcs(frame_without_fcs())), false},
                    GoodCase{"radiotap_tsft_without_fcs", 127, concat(radiotap_tsft_flags(0x02), frame_without_fcs()),
                             true},
                    GoodCase{"radiotap_extended_with_fcs", 127,
                             concat(radiotap_extended_flags(0x10), with_fcs(frame_without_fcs())), false},
                    GoodCase{"radiotap_no_flags_field", 127,
                             concat(Bytes{0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00}, frame_without_fcs()),
                             true}),
    [](const auto& c) { return std::string(c.param.name); });

struct BadCase {
    const char* name;
    int link;
    std::vector<Bytes> packets;
    uint32_t cut;
    const char* fault;
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class CaptureRefused : public testing::TestWithParam<BadCase> {};

TEST_P(CaptureRefused, WithAMessage) {
    const BadCase& c = GetParam();
    TempFile file{c.name};
    write_capture(file.path, c.link, c.packets, c.cut);
    std::vector<frames::CapturedFrame> got;
    std::string error;
    EXPECT_FALSE(frames::read_pcap_file(file.path, got, error));
    EXPECT_EQ(error, file.path.string() + ": " + c.fault);
    EXPECT_TRUE(got.empty());
}

Bytes long_frame(size_t n) {
    Bytes f = frame_without_fcs();
    f.resize(n, 0x55);
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CaptureRefused,
    testing::Values(
        BadCase{"ethernet", 1, {frame_without_fcs()}, 0,
                "link type 1 (EN10MB) is not 802.11 (105) or 802.11 with radiotap (127)"},
        BadCase{"prism", 119, {frame_without_fcs()}, 0,
                "link type 119 (PRISM_HEADER) is not 802.11 (105) or 802.11 with radiotap (127)"},
        BadCase{"empty", 105, {}, 0, "the capture holds no packets"},
        BadCase{"too_long", 105, {frame_without_fcs(), long_frame(4092)}, 0,
                "packet 2: 4096 octets with FCS, at most 4095"},
        BadCase{"too_long_radiotap", 127, {concat(radiotap_flags(0x10), long_frame(4096))}, 0,
                "packet 1: 4096 octets with FCS, at most 4095"},
        BadCase{"too_short", 105, {Bytes{0x08, 0x00, 0x00}}, 0,
                "packet 1: 3 octets without FCS, too short for an 802.11 frame"},
        BadCase{"cut_by_snaplen", 105, {frame_without_fcs()}, 20, "packet 1 was captured short (20 of 36 octets)"},
        BadCase{"radiotap_too_long", 127, {Bytes{0x00, 0x00, 0x40, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00}}, 0,
                "packet 1: radiotap length 64 outside the packet"},
        BadCase{"radiotap_version", 127, {concat(Bytes{0x01, 0x00, 0x08, 0x00, 0, 0, 0, 0}, frame_without_fcs())}, 0,
                "packet 1: no radiotap header (version 0, at least 8 octets)"},
        BadCase{"radiotap_endless_presence", 127,
                {Bytes{0x00, 0x00, 0x0C, 0x00, 0x02, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x80}}, 0,
                "packet 1: radiotap presence words run past its length"},
        BadCase{"radiotap_padded", 127, {concat(radiotap_flags(0x30), with_fcs(frame_without_fcs()))}, 0,
                "packet 1: padding between header and body (radiotap flag 0x20) is not supported"}),
    [](const auto& c) { return std::string(c.param.name); });

TEST(CaptureRefused, TruncatedFile) {
    TempFile file{"truncated"};
    write_capture(file.path, 105, {frame_without_fcs(), frame_without_fcs()});
    fs::resize_file(file.path, fs::file_size(file.path) - 5);
    std::vector<frames::CapturedFrame> got;
    std::string error;
    EXPECT_FALSE(frames::read_pcap_file(file.path, got, error));
    EXPECT_EQ(error.rfind(file.path.string() + ": packet 2: truncated", 0), 0u) << error;
}

TEST(CaptureRefused, NotACapture) {
    TempFile file{"text"};
    std::ofstream(file.path) << "this is not a capture\n";
    std::vector<frames::CapturedFrame> got;
    std::string error;
    EXPECT_FALSE(frames::read_pcap_file(file.path, got, error));
    EXPECT_EQ(error.rfind(file.path.string() + ": not a readable capture: ", 0), 0u) << error;
}

TEST(CaptureRefused, EmptyFileAndFolder) {
    TempFile file{"zero"};
    std::ofstream(file.path).close();
    std::vector<frames::CapturedFrame> got;
    std::string error;
    EXPECT_FALSE(frames::read_pcap_file(file.path, got, error));
    EXPECT_EQ(error, file.path.string() + ": the file is empty");
    EXPECT_FALSE(frames::read_pcap_file(fs::temp_directory_path().string(), got, error));
    EXPECT_EQ(error, fs::temp_directory_path().string() + " is not a regular file");
}

// pcapng as Wireshark saves it: section header, interface description
// (link type 127), one enhanced packet block.
void put32(Bytes& b, uint32_t v) {
    for (int k = 0; k < 4; ++k) b.push_back(static_cast<uint8_t>(v >> (8 * k)));
}

Bytes pcapng_with(const Bytes& packet) {
    Bytes b;
    put32(b, 0x0A0D0D0A);  // section header block
    put32(b, 28);
    put32(b, 0x1A2B3C4D);
    put32(b, 0x00000001);  // version 1.0
    put32(b, 0xFFFFFFFF);  // section length unknown
    put32(b, 0xFFFFFFFF);
    put32(b, 28);
    put32(b, 1);  // interface description block
    put32(b, 20);
    put32(b, 127);  // link type, reserved
    put32(b, 65535);
    put32(b, 20);
    const uint32_t padded = static_cast<uint32_t>((packet.size() + 3) & ~size_t{3});
    put32(b, 6);  // enhanced packet block
    put32(b, 32 + padded);
    put32(b, 0);  // interface 0
    put32(b, 0);
    put32(b, 0);
    put32(b, static_cast<uint32_t>(packet.size()));
    put32(b, static_cast<uint32_t>(packet.size()));
    b.insert(b.end(), packet.begin(), packet.end());
    b.resize(b.size() + (padded - packet.size()), 0);
    put32(b, 32 + padded);
    return b;
}

TEST(CaptureRead, PcapngWithRadiotap) {
    TempFile file{"ng.pcapng"};
    const Bytes ng = pcapng_with(concat(radiotap_flags(0x10), with_fcs(frame_without_fcs())));
    std::ofstream(file.path, std::ios::binary).write(reinterpret_cast<const char*>(ng.data()), ng.size());
    std::vector<frames::CapturedFrame> got;
    std::string error;
    ASSERT_TRUE(frames::read_pcap_file(file.path, got, error)) << error;
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].psdu, with_fcs(frame_without_fcs()));
    EXPECT_FALSE(got[0].fcs_appended);
}

// The capture's frames become one packet each, repeated as a whole.
TEST(CaptureRead, ThroughTheOptionsOnePacketEach) {
    TempFile file{"opts.pcap"};
    write_capture(file.path, 105, {frame_without_fcs(), with_fcs(long_frame(100))});
    frames::FrameOptions o;
    o.pcap = file.path.string();
    o.packets = "3";
    frames::WaveformPlan plan;
    frames::Sequence s;
    std::string error;
    ASSERT_TRUE(frames::plan_from_options(o, plan, error)) << error;
    ASSERT_TRUE(frames::expand(plan, s, error)) << error;
    ASSERT_EQ(s.packets.size(), 6u);
    EXPECT_EQ(s.pool.size(), 40u + 104u);
    const uint16_t lengths[] = {40, 104, 40, 104, 40, 104};
    for (size_t k = 0; k < 6; ++k) {
        EXPECT_EQ(s.packets[k].length, lengths[k]);
        EXPECT_EQ(s.packets[k].fcs_appended, k % 2 == 0);
        EXPECT_EQ(s.packets[k].sequence, -1);
    }
}

}  // namespace
