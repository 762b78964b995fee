// The packet receiver fed a file piece by piece (windows of bounded size) finds the
// same packets as the receiver given the whole file at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <fstream>
#include <numbers>
#include <ostream>
#include <string>
#include <vector>

#include "analysis.h"
#include "reference_tx.h"
#include "rx.h"
#include "rx_packets.h"
#include "support/files.h"

namespace {

using C = std::complex<double>;
using orv::analysis::PacketResult;

struct StreamCase {
    std::string name;
    int os;
    double cfo_hz;   // carrier offset of the file
    double shift_hz; // removed before the decimation
    size_t piece;    // samples a push
    size_t chunk;    // samples gathered between decodings
    int packets;
};
void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

// packets frames of 1000 bytes at rates cycling through 54, 6 and 24 Mbit/s, 4 us apart.
std::vector<C> packet_file(const StreamCase& c) {
    const int rates[3] = {54, 6, 24};
    std::vector<C> x(static_cast<size_t>(300 * c.os), C(0, 0));
    std::vector<std::vector<C>> frames;  // six distinct frames, repeated
    for (int k = 0; k < 6; ++k) {
        const std::vector<uint8_t> psdu = reftx::mac_frame(k, reftx::body(972, static_cast<uint32_t>(k)));
        frames.push_back(reftx::frame(rates[k % 3], reftx::bits_of_bytes(psdu), 1000, c.os, 1 + k));
    }
    for (int k = 0; k < c.packets; ++k) {
        const std::vector<C>& f = frames[static_cast<size_t>(k % 6)];
        x.insert(x.end(), f.begin(), f.end());
        x.insert(x.end(), static_cast<size_t>(80 * c.os), C(0, 0));
    }
    const double w = 2.0 * std::numbers::pi * c.cfo_hz / (20e6 * c.os);
    for (size_t n = 0; n < x.size(); ++n) x[n] *= std::polar(1.0, w * static_cast<double>(n));
    return x;
}

class PacketStreamCase : public ::testing::TestWithParam<StreamCase> {};

TEST_P(PacketStreamCase, FindsWhatTheWholeFileReceiverFinds) {
    const StreamCase& c = GetParam();
    const std::vector<C> x = packet_file(c);
    const orv::analysis::Options opt;
    const std::vector<PacketResult> whole =
        orv::analysis::receive_packets(x.data(), static_cast<int64_t>(x.size()), c.os, opt, nullptr, c.shift_hz);
    orv::analysis::PacketStream stream(c.os, opt, c.shift_hz, static_cast<int64_t>(x.size()), c.chunk);
    for (size_t at = 0; at < x.size(); at += c.piece) stream.push(x.data() + at, std::min(c.piece, x.size() - at));
    bool truncated = true;
    const std::vector<PacketResult> pieces = stream.finish(&truncated);
    EXPECT_FALSE(truncated);
    ASSERT_EQ(whole.size(), static_cast<size_t>(c.packets));
    ASSERT_EQ(pieces.size(), whole.size());
    for (size_t i = 0; i < whole.size(); ++i) {
        EXPECT_EQ(pieces[i].start, whole[i].start) << "packet " << i;
        EXPECT_EQ(pieces[i].rate_mbps, whole[i].rate_mbps) << "packet " << i;
        EXPECT_EQ(pieces[i].psdu, whole[i].psdu) << "packet " << i;
        EXPECT_EQ(pieces[i].fcs_ok, std::optional<bool>(true)) << "packet " << i;
        EXPECT_NEAR(pieces[i].freq_error_hz, whole[i].freq_error_hz, 1e-6) << "packet " << i;
        ASSERT_TRUE(pieces[i].evm_db && whole[i].evm_db);
        EXPECT_NEAR(*pieces[i].evm_db, *whole[i].evm_db, 1e-9) << "packet " << i;
    }
}

// The DC offset given beforehand (as the analysis does from the samples it keeps): the windows
// are decoded from the first chunk on, not after the mean's samples, and find the same packets.
TEST_P(PacketStreamCase, MeanGivenBeforehandFindsTheSame) {
    const StreamCase& c = GetParam();
    if (c.shift_hz != 0) GTEST_SKIP() << "the mean is given for a file without a shift";
    std::vector<C> x = packet_file(c);
    for (C& v : x) v += C(0.05, -0.02);
    const int64_t mean_samples = static_cast<int64_t>(x.size() / 2);
    const orv::analysis::Options opt;
    orv::analysis::PacketStream waiting(c.os, opt, 0, mean_samples, c.chunk);
    orv::analysis::PacketStream given(c.os, opt, 0, mean_samples, c.chunk);
    given.set_mean(orv::analysis::rx::dc_offset(x.data(), mean_samples));
    int64_t settled_early = -1;  // where the given stream had settled when the waiting one had not
    for (size_t at = 0; at < x.size(); at += c.piece) {
        const size_t n = std::min(c.piece, x.size() - at);
        waiting.push(x.data() + at, n);
        given.push(x.data() + at, n);
        if (static_cast<int64_t>(at + n) < mean_samples) settled_early = std::max(settled_early, given.settled());
    }
    const std::vector<PacketResult> a = waiting.finish(nullptr), b = given.finish(nullptr);
    ASSERT_EQ(a.size(), static_cast<size_t>(c.packets));
    ASSERT_EQ(b.size(), a.size());
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(b[i].start, a[i].start) << "packet " << i;
        EXPECT_EQ(b[i].psdu, a[i].psdu) << "packet " << i;
        ASSERT_TRUE(a[i].evm_db && b[i].evm_db);
        EXPECT_NEAR(*b[i].evm_db, *a[i].evm_db, 1e-9) << "packet " << i;
    }
    if (c.chunk < static_cast<size_t>(mean_samples) / 2) {
        EXPECT_GT(settled_early, 0) << "the windows waited for the mean's samples";
    }
}

// Windows slide only beyond the longest packet (about 110000 samples at 20 MS/s): the
// files are longer than that several times over.
INSTANTIATE_TEST_SUITE_P(
    Windows, PacketStreamCase,
    ::testing::Values(StreamCase{"Os1_OnePush", 1, 0, 0, size_t{1} << 30, size_t{1} << 20, 40},
                      StreamCase{"Os1_SmallChunks", 1, 150e3, 0, 4096, 50000, 60},
                      StreamCase{"Os1_OddPieces", 1, 0, 0, 7777, 30001, 60},
                      StreamCase{"Os2_SmallChunks", 2, -300e3, 0, 10000, 60000, 40},
                      StreamCase{"Os4_Shifted", 4, 4e6, 4e6, 33333, 200000, 24}),
    [](const ::testing::TestParamInfo<StreamCase>& i) { return i.param.name; });

// The whole-file receiver at 20 MS/s works window by window over the caller's samples:
// each packet found once, where it was placed, across the windows' seams (files of two to
// three windows, packets of about 1500 to 27000 samples).
TEST_P(PacketStreamCase, WholeFileReceiverFindsEachPacketOnceWhereItWasPlaced) {
    const StreamCase& c = GetParam();
    if (c.os != 1 || c.cfo_hz != 0) GTEST_SKIP() << "the placement is known for a plain file at 20 MS/s";
    const std::vector<C> x = packet_file(c);
    std::vector<int64_t> placed;
    for (int64_t at = 300, k = 0; k < c.packets; ++k) {
        placed.push_back(at);
        const int rates[3] = {54, 6, 24};
        const std::vector<uint8_t> psdu = reftx::mac_frame(static_cast<int>(k % 6), reftx::body(972, static_cast<uint32_t>(k % 6)));
        at += static_cast<int64_t>(reftx::frame(rates[k % 3], reftx::bits_of_bytes(psdu), 1000, 1, static_cast<int>(1 + k % 6)).size()) + 80;
    }
    ASSERT_GT(x.size(), (size_t{1} << 18) + static_cast<size_t>(orv::analysis::kLongestPacket)) << "one window holds the file: the seams go untested";
    bool truncated = true;
    const std::vector<PacketResult> p =
        orv::analysis::receive_packets(x.data(), static_cast<int64_t>(x.size()), 1, orv::analysis::Options{}, &truncated);
    EXPECT_FALSE(truncated);
    ASSERT_EQ(p.size(), placed.size());
    for (size_t i = 0; i < p.size(); ++i) {
        EXPECT_EQ(p[i].start, placed[i]) << "packet " << i;
        EXPECT_EQ(p[i].fcs_ok, std::optional<bool>(true)) << "packet " << i;
    }
}

// A file shorter than the samples the DC offset is taken from: the offset of the whole
// file, as the whole-file receiver takes it (the same packets, the same EVM). Without an
// offset the whole-file receiver takes the samples as they are; with one and a carrier
// offset, an offset left in would turn into a tone across the subcarriers.
struct ShortDcCase {
    const char* name;
    C offset;
    double cfo_hz;
};
void PrintTo(const ShortDcCase& c, std::ostream* os) { *os << c.name; }
class ShortFileDc : public ::testing::TestWithParam<ShortDcCase> {};

TEST_P(ShortFileDc, TakenAsTheWholeFileReceiverTakesIt) {
    const ShortDcCase& d = GetParam();
    const StreamCase c{"dc", 1, d.cfo_hz, 0, 1000, 5000, 3};
    std::vector<C> x = packet_file(c);
    for (C& v : x) v += d.offset;
    const orv::analysis::Options opt;
    const std::vector<PacketResult> whole = orv::analysis::receive_packets(x.data(), static_cast<int64_t>(x.size()), 1, opt, nullptr);
    orv::analysis::PacketStream stream(1, opt);
    for (size_t at = 0; at < x.size(); at += c.piece) stream.push(x.data() + at, std::min(c.piece, x.size() - at));
    const std::vector<PacketResult> pieces = stream.finish(nullptr);
    ASSERT_EQ(whole.size(), 3u);
    ASSERT_EQ(pieces.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(pieces[i].start, whole[i].start) << "packet " << i;
        EXPECT_EQ(pieces[i].psdu, whole[i].psdu) << "packet " << i;
        ASSERT_TRUE(pieces[i].evm_db && whole[i].evm_db);
        EXPECT_NEAR(*pieces[i].evm_db, *whole[i].evm_db, 1e-9) << "packet " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, ShortFileDc,
    ::testing::Values(ShortDcCase{"None", C(0, 0), 0}, ShortDcCase{"NoneWithCfo", C(0, 0), 150e3},
                      ShortDcCase{"Offset", C(0.05, -0.02), 0}, ShortDcCase{"OffsetWithCfo", C(0.05, -0.02), 150e3}),
    [](const ::testing::TestParamInfo<ShortDcCase>& i) { return std::string(i.param.name); });

TEST(PacketStream, NothingPushedFindsNothing) {
    orv::analysis::PacketStream stream(2, orv::analysis::Options{});
    bool truncated = true;
    EXPECT_TRUE(stream.finish(&truncated).empty());
    EXPECT_FALSE(truncated);
}

// A tone 7 dB above the packets over the whole file, fed in pieces: each piece the windows
// gain has it found and taken out, a last piece too short to look at loses the tone of the
// piece before (carried on in phase); every packet is decoded, the last one in that piece too.
struct TonePiecesCase {
    std::string name;
    int os;
    size_t chunk;       // input samples a piece (pushed at once)
    int64_t last_piece; // input samples after the last whole chunk, the last packet in them
    double tone_hz;
};
void PrintTo(const TonePiecesCase& c, std::ostream* os) { *os << c.name; }

class TonePieces : public ::testing::TestWithParam<TonePiecesCase> {};

TEST_P(TonePieces, EveryPacketDecoded) {
    const TonePiecesCase& c = GetParam();
    const int chunks = 6;
    const int64_t n = static_cast<int64_t>(chunks * c.chunk) + c.last_piece;
    std::vector<C> x(static_cast<size_t>(n), C(0, 0));
    std::vector<int64_t> placed;
    double power = 0;
    int64_t on = 0;
    auto place = [&](int64_t at, int k) {
        const std::vector<uint8_t> psdu = reftx::mac_frame(k, reftx::body(80, static_cast<uint32_t>(k)));
        const std::vector<C> f = reftx::frame(54, reftx::bits_of_bytes(psdu), 108, c.os, 1 + k);
        ASSERT_LE(at + static_cast<int64_t>(f.size()), n);
        std::copy(f.begin(), f.end(), x.begin() + at);
        for (const C& v : f) power += std::norm(v);
        on += static_cast<int64_t>(f.size());
        placed.push_back(at);
    };
    for (int k = 0; k < 4; ++k) place(static_cast<int64_t>((k + 1) * c.chunk) + 7000 * c.os, k);
    place(static_cast<int64_t>(chunks * c.chunk) + 100 * c.os, 4);
    const double amp = std::sqrt(5.0 * power / static_cast<double>(on));  // 7 dB above the packets
    const double w = 2.0 * std::numbers::pi * c.tone_hz / (20e6 * c.os);
    for (int64_t k = 0; k < n; ++k) x[static_cast<size_t>(k)] += std::polar(amp, w * static_cast<double>(k) + 0.4);

    orv::analysis::PacketStream stream(c.os, orv::analysis::Options{}, 0, static_cast<int64_t>(c.chunk), c.chunk);
    for (int64_t at = 0; at < n; at += static_cast<int64_t>(c.chunk))
        stream.push(x.data() + at, static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(c.chunk), n - at)));
    const std::vector<PacketResult> p = stream.finish(nullptr);
    ASSERT_EQ(p.size(), placed.size());
    for (size_t i = 0; i < p.size(); ++i) {
        EXPECT_NEAR(static_cast<double>(p[i].start), static_cast<double>(placed[i]), 2.0 * c.os) << "packet " << i;
        EXPECT_EQ(p[i].fcs_ok, std::optional<bool>(true)) << "packet " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, TonePieces,
    ::testing::Values(TonePiecesCase{"os1_last_piece_too_short", 1, 40000, 1500, 7e6},
                      TonePiecesCase{"os1_last_piece_long_enough", 1, 40000, 9000, -4.3e6},
                      TonePiecesCase{"os4_last_piece_too_short", 4, 160000, 4 * 1500, 6.1e6}),
    [](const ::testing::TestParamInfo<TonePiecesCase>& i) { return i.param.name; });

// A SigMF recording (ci16_le, 20 MS/s) longer than the part the analysis keeps in
// memory (2^22 samples): the packets beyond it are found by reading the file again.
TEST(WholeFile, PacketsBeyondTheKeptPartAreFound) {
    const orv_test::TempDir dir("rx_whole");
    const std::string base = (dir.path / "long").string();
    const StreamCase c{"long", 1, 0, 0, 0, 0, 6};
    const std::vector<C> burst = packet_file(c);
    const size_t gap = (size_t{1} << 22) - burst.size() + 1000;
    {
        std::ofstream data(base + ".sigmf-data", std::ios::binary);
        auto put = [&data](const C& v) {
            const int16_t iq[2] = {static_cast<int16_t>(std::lround(v.real() * 8000)), static_cast<int16_t>(std::lround(v.imag() * 8000))};
            data.write(reinterpret_cast<const char*>(iq), sizeof iq);  // little-endian host
        };
        for (const C& v : burst) put(v);
        for (size_t k = 0; k < gap; ++k) put(C(0, 0));
        for (const C& v : burst) put(v);
        std::ofstream(base + ".sigmf-meta")
            << R"({"global": {"core:datatype": "ci16_le", "core:sample_rate": 20000000, "core:version": "1.0.0"}, "captures": [{"core:sample_start": 0}], "annotations": []})";
    }
    orv::analysis::Options opt;
    opt.expected_packets = 12;
    const orv::analysis::Result r = orv::analysis::analyse_file(base + ".sigmf-meta", opt);
    ASSERT_EQ(r.packets.size(), 12u);
    EXPECT_EQ(r.summary.fcs_ok, 12);
    EXPECT_EQ(r.packets[6].start - r.packets[0].start, static_cast<int64_t>(burst.size() + gap));
    for (const std::string& n : r.notes) EXPECT_EQ(n.find("not looked for"), std::string::npos) << n;
}

}  // namespace
