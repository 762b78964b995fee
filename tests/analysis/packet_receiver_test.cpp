// The packet receiver: each stage fed a known impairment and its output checked,
// then whole files from the tests' own transmitter (reference_tx.h) decoded to
// their PSDUs. Rows of FrameFiles can name files made by other transmitters.
#include <gtest/gtest.h>

#include <ostream>

#include <cmath>
#include <cstdint>
#include <complex>
#include <functional>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "analysis.h"
#include "reference_tx.h"
#include "rx.h"
#include "rx_packets.h"
#include "support/records.h"

namespace {

using C = std::complex<double>;
namespace rx = orv::analysis::rx;

// The PSDU of the worked example of Annex G: a data frame carrying the start of
// Schiller's "Ode to Joy", its FCS included (100 bytes).
std::vector<uint8_t> annex_g_psdu() {
    std::vector<uint8_t> p = {0x04, 0x02, 0x00, 0x2e, 0x00, 0x60, 0x08, 0xcd, 0x37, 0xa6, 0x00, 0x20,
                              0xd6, 0x01, 0x3c, 0xf1, 0x00, 0x60, 0x08, 0xad, 0x3b, 0xaf, 0x00, 0x00};
    const std::string text = "Joy, bright spark of divinity,\nDaughter of Elysium,\nFire-insired we trea";
    p.insert(p.end(), text.begin(), text.end());
    p.insert(p.end(), {0x67, 0x33, 0x21, 0xb6});
    return p;
}

using reftx::body;

std::vector<C> silence(size_t n) { return std::vector<C>(n, C(0, 0)); }

std::vector<C> operator+(std::vector<C> a, const std::vector<C>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Multiplies by exp(j 2 pi f n / fs) and, for inverted, exchanges I and Q.
std::vector<C> impaired(std::vector<C> x, double f_hz, double fs, bool inverted) {
    for (size_t n = 0; n < x.size(); ++n) {
        x[n] *= std::polar(1.0, 2.0 * std::numbers::pi * f_hz * static_cast<double>(n) / fs);
        if (inverted) x[n] = C(x[n].imag(), x[n].real());
    }
    return x;
}

TEST(AnnexG, FcsOfTheWorkedExampleIsGood) {
    EXPECT_TRUE(rx::parse_mac(annex_g_psdu()).fcs_ok);
    std::vector<uint8_t> bad = annex_g_psdu();
    bad[40] ^= 0x10;
    EXPECT_FALSE(rx::parse_mac(bad).fcs_ok);
}

// The MAC header's addresses as the frame's length holds them (an ACK or CTS one, an RTS two, a
// data frame three), each written "aa:bb:cc:dd:ee:ff" in lower case with every byte's two digits.
struct MacCase {
    const char* name;
    uint8_t frame_control;
    size_t length;  // FCS included
    std::vector<std::string> addresses;
};
void PrintTo(const MacCase& c, std::ostream* os) { *os << c.name; }
class MacAddresses : public ::testing::TestWithParam<MacCase> {};

TEST_P(MacAddresses, ReadAsTheFrameHoldsThem) {
    const MacCase& c = GetParam();
    std::vector<uint8_t> psdu(c.length, 0);
    psdu[0] = c.frame_control;
    // Address n (from byte 4 + 6 n): bytes spanning both digits' ranges, each address its own.
    static const uint8_t kBytes[3][6] = {{0x00, 0x09, 0x0a, 0x90, 0xa0, 0xff},
                                         {0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc},
                                         {0xde, 0xf0, 0x01, 0x0f, 0xf0, 0x7e}};
    for (size_t n = 0; n < 3; ++n)
        for (size_t i = 0; i < 6 && 4 + 6 * n + i < psdu.size(); ++i) psdu[4 + 6 * n + i] = kBytes[n][i];
    EXPECT_EQ(rx::parse_mac(psdu).addresses, c.addresses);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, MacAddresses,
    ::testing::Values(MacCase{"too_short_for_a_header", 0xd4, 13, {}},
                      MacCase{"ack_one", 0xd4, 14, {"00:09:0a:90:a0:ff"}},
                      MacCase{"rts_two", 0xb4, 20, {"00:09:0a:90:a0:ff", "12:34:56:78:9a:bc"}},
                      MacCase{"data_three", 0x08, 28, {"00:09:0a:90:a0:ff", "12:34:56:78:9a:bc", "de:f0:01:0f:f0:7e"}},
                      MacCase{"long_data_still_three", 0x08, 1000,
                              {"00:09:0a:90:a0:ff", "12:34:56:78:9a:bc", "de:f0:01:0f:f0:7e"}}),
    [](const ::testing::TestParamInfo<MacCase>& i) { return std::string(i.param.name); });

// Annex G: 36 Mbit/s, scrambler 1011101, after 10 us of silence at 20 MS/s.
TEST(AnnexG, DecodedToItsMessage) {
    TempDir dir("annexg");
    const std::vector<uint8_t> psdu = annex_g_psdu();
    const std::vector<C> f = silence(200) + reftx::frame(36, reftx::bits_of_bytes(psdu), 100, 1, 0x5D) + silence(200);
    const std::string path = dir.file("annexg.csv");
    ASSERT_TRUE(reftx::write_csv(path, f));
    orv::analysis::Options opt;
    opt.oversample = 1;
    const orv::analysis::Result r = orv::analysis::analyse_file(path, opt);
    ASSERT_EQ(r.packets.size(), 1u);
    const orv::analysis::PacketResult& p = r.packets[0];
    EXPECT_EQ(p.start, 200);
    EXPECT_EQ(p.rate_mbps, 36);
    EXPECT_EQ(p.length, 100);
    EXPECT_EQ(p.scrambler_init, 0x5D);
    EXPECT_TRUE(p.decoded && p.service_ok && p.tail_ok && p.pad_ok);
    EXPECT_EQ(p.psdu, psdu);
    EXPECT_EQ(p.fcs_ok, true);
    EXPECT_EQ(std::string(p.psdu.begin() + 24, p.psdu.begin() + 28), "Joy,");
    EXPECT_TRUE(r.pass()) << (r.failures.empty() ? "" : r.failures.front());
}

// Stage 6: the scrambler state recovered from the first seven SERVICE bits.
TEST(DecodeStage, ScramblerStateFromService) {
    for (int state = 1; state < 128; ++state) {
        const std::vector<int> s = reftx::scramble(std::vector<int>(7, 0), state);
        EXPECT_EQ(rx::scrambler_state_from_service(s), state) << state;
    }
}

// Stage 6: depuncturing puts zeros (no information) where the transmitter dropped bits.
TEST(DecodeStage, DepunctureRestoresPairs) {
    const std::vector<double> in = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(rx::depuncture(in, 54), (std::vector<double>{1, 2, 3, 0, 0, 4, 5, 6, 7, 0, 0, 8}));
    EXPECT_EQ(rx::depuncture({1, 2, 3, 4, 5, 6}, 48), (std::vector<double>{1, 2, 3, 0, 4, 5, 6, 0}));
    EXPECT_EQ(rx::depuncture(in, 24), in);
}

// Stages 1 and 2: detection and synchronisation under a carrier offset and spectrum inversion.
struct SyncCase {
    const char* name;
    double cfo_hz;
    bool inverted;
    double snr_db;  // 0: no noise
};
// Cases print as their names (not as the bytes of the record).
void PrintTo(const SyncCase& c, std::ostream* os) { *os << c.name; }

class SyncStage : public ::testing::TestWithParam<SyncCase> {};

TEST_P(SyncStage, TimingAndOffset) {
    const SyncCase& c = GetParam();
    const std::vector<uint8_t> psdu = reftx::mac_frame(1, body(40, 3));
    std::vector<C> x = silence(317) + reftx::frame(12, reftx::bits_of_bytes(psdu), static_cast<int>(psdu.size()), 1) + silence(100);
    x = impaired(x, c.cfo_hz, 20e6, c.inverted);
    if (c.snr_db > 0) {
        std::mt19937 g(7);
        std::normal_distribution<double> n(0.0, std::sqrt(52.0 / 64.0 / 64.0 / std::pow(10.0, c.snr_db / 10.0) / 2.0));
        for (C& v : x) v += C(n(g), n(g));
    }
    const auto d = rx::detect_next(x, 0);
    ASSERT_TRUE(d);
    // Partly filled windows already look periodic in silence: up to 48 samples early.
    EXPECT_GE(d->at, 317 - 48);
    EXPECT_LE(d->at, 317 + 16);
    const rx::Sync s = rx::synchronise(x, *d);
    EXPECT_GT(s.metric, rx::kSyncThreshold);
    EXPECT_EQ(s.t1, 317 + 192);
    EXPECT_EQ(s.inverted, c.inverted);
    EXPECT_NEAR(s.cfo_hz, c.cfo_hz, c.snr_db > 0 ? 3e3 : 1.0);
    const orv::analysis::Options opt;
    const std::vector<orv::analysis::PacketResult> p = orv::analysis::receive_packets(x.data(), static_cast<int64_t>(x.size()), 1, opt, nullptr);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].psdu, psdu);
    EXPECT_EQ(p[0].fcs_ok, true);
}

INSTANTIATE_TEST_SUITE_P(
    Impairments, SyncStage,
    ::testing::Values(SyncCase{"clean", 0, false, 0}, SyncCase{"plus_100kHz", 100e3, false, 0},
                      SyncCase{"minus_700kHz", -700e3, false, 0}, SyncCase{"plus_3_1MHz", 3.1e6, false, 0},
                      SyncCase{"minus_6_4MHz", -6.4e6, false, 0}, SyncCase{"plus_9_7MHz", 9.7e6, false, 0},
                      SyncCase{"minus_9_9MHz", -9.9e6, false, 0}, SyncCase{"inverted", 0, true, 0},
                      SyncCase{"inverted_plus_2_3MHz", 2.3e6, true, 0}, SyncCase{"noisy_20dB_minus_1MHz", -1e6, false, 20}),
    [](const ::testing::TestParamInfo<SyncCase>& i) { return std::string(i.param.name); });

// Stage 3 and the flatness measurement: a two-path channel is equalised (the frame still
// decodes) and its tilt shows as a flatness failure; the direct path alone is flat.
TEST(ChannelStage, TwoPathChannelEqualisedAndNotFlat) {
    const std::vector<uint8_t> psdu = reftx::mac_frame(3, body(200, 8));
    const std::vector<C> f = silence(100) + reftx::frame(36, reftx::bits_of_bytes(psdu), static_cast<int>(psdu.size()), 1) + silence(100);
    for (const double echo : {0.0, 0.6}) {
        std::vector<C> x(f.size());
        for (size_t n = 0; n < f.size(); ++n) x[n] = f[n] + (n >= 2 ? echo * f[n - 2] : C(0, 0));
        const orv::analysis::Options opt;
        const auto p = orv::analysis::receive_packets(x.data(), static_cast<int64_t>(x.size()), 1, opt, nullptr);
        ASSERT_EQ(p.size(), 1u) << echo;
        EXPECT_EQ(p[0].psdu, psdu) << echo << ": " << p[0].problem;
        EXPECT_EQ(p[0].flatness_ok, echo == 0.0) << echo;
    }
}

// Whole files: every rate after 10 us of silence at 20 MS/s, decoded bit-exactly.
struct FrameFile {
    std::string name;
    int rate_mbps;
    int os;
    std::string peer;  // a CSV file under tests/data/peers from another transmitter; empty: the reference's
    int length = 100;  // the peer file's PSDU length
};
// Cases print as their names (not as the bytes of the record).
void PrintTo(const FrameFile& c, std::ostream* os) { *os << c.name; }

class FrameFiles : public ::testing::TestWithParam<FrameFile> {};

// A frame from another transmitter, its burst after silence: decoded with a good FCS.
void check_peer_file(const FrameFile& c) {
    orv::analysis::Options opt;
    opt.oversample = c.os;
    const orv::analysis::Result r = orv::analysis::analyse_file(std::string(ORV_TEST_DATA_DIR) + "/peers/" + c.peer, opt);
    ASSERT_GE(r.packets.size(), 1u);
    for (const orv::analysis::PacketResult& p : r.packets) {
        EXPECT_EQ(p.rate_mbps, c.rate_mbps);
        EXPECT_EQ(p.length, c.length);
        EXPECT_EQ(p.fcs_ok, true) << p.problem;
    }
    ASSERT_TRUE(r.signal);
    EXPECT_EQ(r.signal->rate_mbps, c.rate_mbps);
    EXPECT_EQ(r.burst.start, r.packets[0].start);
}

TEST_P(FrameFiles, DecodedBitExactlyWithGoodFcs) {
    const FrameFile& c = GetParam();
    if (!c.peer.empty()) return check_peer_file(c);
    TempDir dir("frames");
    const std::vector<uint8_t> psdu = reftx::mac_frame(c.rate_mbps, body(72, static_cast<uint32_t>(c.rate_mbps)));
    ASSERT_EQ(psdu.size(), 100u);
    const std::vector<C> f = silence(200 * static_cast<size_t>(c.os)) +
                             reftx::frame(c.rate_mbps, reftx::bits_of_bytes(psdu), 100, c.os, 0x2B) + silence(200);
    const std::string path = dir.file(c.name + ".csv");
    ASSERT_TRUE(reftx::write_csv(path, f));
    orv::analysis::Options opt;
    opt.oversample = c.os;
    const orv::analysis::Result r = orv::analysis::analyse_file(path, opt);
    ASSERT_EQ(r.packets.size(), 1u);
    const orv::analysis::PacketResult& p = r.packets[0];
    EXPECT_EQ(p.start, 200 * c.os);
    EXPECT_EQ(p.rate_mbps, c.rate_mbps);
    EXPECT_EQ(p.length, 100);
    EXPECT_EQ(p.scrambler_init, 0x2B);
    EXPECT_EQ(p.psdu, psdu);
    EXPECT_EQ(p.fcs_ok, true);
    EXPECT_EQ(p.seq, c.rate_mbps);
    ASSERT_TRUE(p.evm_db);
    EXPECT_LT(*p.evm_db, -40.0);
    // The transmitter measurements of the first burst see the same burst.
    EXPECT_EQ(r.burst.start, 200 * c.os);
    ASSERT_TRUE(r.signal);
    EXPECT_EQ(r.signal->rate_mbps, c.rate_mbps);
    EXPECT_EQ(r.signal->length, 100);
    // Unwindowed and unfiltered, the oversampled bursts miss the spectrum mask; nothing else fails.
    for (const std::string& failure : r.failures)
        if (failure != "transmit spectrum mask violated (17.3.9.2)" || c.os == 1) ADD_FAILURE() << failure;
    EXPECT_EQ(r.summary.found, 1);
    EXPECT_EQ(r.summary.fcs_ok, 1);
}

std::vector<FrameFile> frame_files() {
    std::vector<FrameFile> v;
    for (const reftx::Rate& rt : reftx::rates()) v.push_back({"reference_" + std::to_string(rt.mbps) + "M_os1", rt.mbps, 1, ""});
    v.push_back({"reference_54M_os4", 54, 4, ""});
    v.push_back({"reference_6M_os2", 6, 2, ""});
    // Files of other transmitters go here as rows: {name, rate, os, file under tests/data/peers, PSDU length}.
    const std::vector<FrameFile> peers = {};
    v.insert(v.end(), peers.begin(), peers.end());
    return v;
}

INSTANTIATE_TEST_SUITE_P(AllRates, FrameFiles, ::testing::ValuesIn(frame_files()),
                         [](const ::testing::TestParamInfo<FrameFile>& i) { return i.param.name; });

}  // namespace

namespace {

struct DecodeCase {
    std::string name;
    int mbps, length;
    int flip;  // a data bit flipped before coding (SERVICE 0..15, then the PSDU, tail, pad), -1 for none
    bool service_ok, tail_ok, pad_ok;
};
void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class DecodeData : public ::testing::TestWithParam<DecodeCase> {};

// The DATA field of 17.3.5 built bit by bit (SERVICE, PSDU, tail, pad; scrambled, the tail
// zeroed, coded, punctured, interleaved) and decoded: the PSDU, the scrambler's state and
// each check, with one bit flipped where a case says.
TEST_P(DecodeData, DescramblesAndChecksEachField) {
    const DecodeCase& c = GetParam();
    const orv::analysis::RateInfo& r = *orv::analysis::rate_by_mbps(c.mbps);
    constexpr int kInit = 0x35;
    std::vector<uint8_t> psdu(static_cast<size_t>(c.length));
    for (size_t i = 0; i < psdu.size(); ++i) psdu[i] = static_cast<uint8_t>(i * 37 + 11);
    std::vector<int> u(16, 0);
    for (uint8_t b : psdu)
        for (int k = 0; k < 8; ++k) u.push_back((b >> k) & 1);
    const size_t tail = u.size();
    const size_t symbols = (u.size() + 6 + static_cast<size_t>(r.n_dbps) - 1) / static_cast<size_t>(r.n_dbps);
    u.resize(symbols * static_cast<size_t>(r.n_dbps), 0);
    std::vector<int> s = reftx::scramble(u, kInit);
    for (size_t k = tail; k < tail + 6; ++k) s[k] = 0;
    ASSERT_LT(c.flip, static_cast<int>(s.size())) << "the flipped bit lies beyond the DATA field";
    if (c.flip >= 0) s[static_cast<size_t>(c.flip)] ^= 1;
    const int num = r.mbps == 48 ? 2 : (r.mbps == 9 || r.mbps == 18 || r.mbps == 36 || r.mbps == 54) ? 3 : 1;
    const std::vector<int> coded = reftx::puncture(reftx::encode(s), num, num + 1);
    std::vector<double> soft;
    for (size_t at = 0; at < coded.size(); at += static_cast<size_t>(r.n_cbps)) {
        const std::vector<int> sym(coded.begin() + static_cast<std::ptrdiff_t>(at), coded.begin() + static_cast<std::ptrdiff_t>(at + static_cast<size_t>(r.n_cbps)));
        for (int b : reftx::interleave(sym, r.n_cbps, r.n_bpsc)) soft.push_back(b ? 1.0 : -1.0);
    }
    const rx::Decoded d = rx::decode_data(soft, r, c.length);
    EXPECT_EQ(d.scrambler_init, kInit);
    EXPECT_EQ(d.service_ok, c.service_ok);
    EXPECT_EQ(d.tail_ok, c.tail_ok);
    EXPECT_EQ(d.pad_ok, c.pad_ok);
    if (c.flip < 16 || c.flip >= 16 + 8 * c.length) {
        EXPECT_EQ(d.psdu, psdu);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, DecodeData,
    ::testing::Values(DecodeCase{"Clean_6Mbps", 6, 100, -1, true, true, true},
                      DecodeCase{"Clean_54Mbps_OddLength", 54, 333, -1, true, true, true},
                      DecodeCase{"Clean_48Mbps", 48, 1000, -1, true, true, true},
                      DecodeCase{"ServiceBit9Set", 36, 200, 9, false, true, true},
                      DecodeCase{"LastServiceBitSet", 36, 200, 15, false, true, true},
                      DecodeCase{"TailBitSet", 24, 50, 16 + 8 * 50 + 3, true, false, true},
                      DecodeCase{"SecondPadBitSet", 12, 50, 16 + 8 * 50 + 6 + 1, true, true, false},
                      DecodeCase{"PsduBitFlipped", 18, 64, 16 + 8 * 10 + 5, true, true, true},
                      // Around the scrambler's period of 127 bytes: the PSDU, and the state the tail and pad checks go on from.
                      DecodeCase{"Clean_126Bytes", 24, 126, -1, true, true, true},
                      DecodeCase{"Clean_127Bytes", 24, 127, -1, true, true, true},
                      DecodeCase{"Clean_128Bytes", 12, 128, -1, true, true, true},
                      DecodeCase{"Clean_254Bytes", 54, 254, -1, true, true, true},
                      DecodeCase{"Clean_255Bytes", 36, 255, -1, true, true, true},
                      DecodeCase{"Clean_1Byte", 6, 1, -1, true, true, true},
                      DecodeCase{"Clean_381Bytes", 54, 381, -1, true, true, true},
                      DecodeCase{"Clean_382Bytes", 18, 382, -1, true, true, true},
                      DecodeCase{"PadBitSetAfter301Bytes", 6, 301, 16 + 8 * 301 + 6 + 4, true, true, false},
                      DecodeCase{"PsduBitFlippedInByte200", 54, 1000, 16 + 8 * 200 + 2, true, true, true}),
    [](const ::testing::TestParamInfo<DecodeCase>& i) { return i.param.name; });

// A flipped PSDU bit comes out in its byte and bit (LSB first), nowhere else.
TEST(DecodeData, FlippedPsduBitLandsInItsByte) {
    const orv::analysis::RateInfo& r = *orv::analysis::rate_by_mbps(6);
    std::vector<int> u(16 + 8 * 4 + 6, 0);
    u.resize(((u.size() + 23) / 24) * 24, 0);
    std::vector<int> s = reftx::scramble(u, 0x7F);
    for (size_t k = 48; k < 54; ++k) s[k] = 0;
    s[16 + 8 * 2 + 3] ^= 1;
    const std::vector<int> coded = reftx::encode(s);
    std::vector<double> soft;
    for (size_t at = 0; at < coded.size(); at += 48) {
        const std::vector<int> sym(coded.begin() + static_cast<std::ptrdiff_t>(at), coded.begin() + static_cast<std::ptrdiff_t>(at + 48));
        for (int b : reftx::interleave(sym, r.n_cbps, r.n_bpsc)) soft.push_back(b ? 1.0 : -1.0);
    }
    EXPECT_EQ(rx::decode_data(soft, r, 4).psdu, (std::vector<uint8_t>{0, 0, 0x08, 0}));
}

}  // namespace
