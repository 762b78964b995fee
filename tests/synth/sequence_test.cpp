// Packet sequences of standard frames through orv_11a_sequence and
// orv_11a_sequence_blocks, decoded by the tests' own receiver.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "noise.h"
#include "orvasynth.h"
#include "sequence.h"
#include "support/files.h"
#include "synth/reference/frame_receiver.h"

namespace {

// A PSDU of n octets from a simple generator, its last four octets the
// CRC-32 frame check sequence (least significant octet first) when n > 4.
std::vector<uint8_t> make_psdu(int32_t n, uint32_t seed) {
    std::vector<uint8_t> p(static_cast<size_t>(n));
    uint32_t x = seed * 2654435761u + 1u;
    for (auto& b : p) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 24);
    }
    if (n > 4) {
        const uint32_t fcs = ref::crc32(p.data(), p.size() - 4);
        for (int k = 0; k < 4; ++k) p[p.size() - 4 + k] = static_cast<uint8_t>(fcs >> (8 * k));
    }
    return p;
}

bool fcs_ok(const std::vector<uint8_t>& p) {
    if (p.size() <= 4) return true;
    uint32_t fcs = 0;
    for (int k = 0; k < 4; ++k) fcs |= static_cast<uint32_t>(p[p.size() - 4 + k]) << (8 * k);
    return ref::crc32(p.data(), p.size() - 4) == fcs;
}

OrvSequenceParams plain_params(int32_t os, int32_t channel_mhz) {
    OrvSequenceParams p{};
    p.size = sizeof p;
    p.oversampling = os;
    p.channel_mhz = channel_mhz;
    p.window_tr = 100e-9;
    return p;
}

struct Frame {
    int32_t rate_index;
    int32_t length;
    int32_t scrambler;
    double idle_time;
};

// The packets of a list of frames, their PSDUs kept alongside.
struct Packets {
    std::vector<std::vector<uint8_t>> psdus;
    std::vector<OrvPacket> list;
    explicit Packets(const std::vector<Frame>& frames) {
        for (size_t k = 0; k < frames.size(); ++k)
            psdus.push_back(make_psdu(frames[k].length, static_cast<uint32_t>(k + 7)));
        for (size_t k = 0; k < frames.size(); ++k) {
            OrvPacket pk{};
            pk.size = sizeof pk;
            pk.rate_index = frames[k].rate_index;
            pk.scrambler_init = frames[k].scrambler;
            pk.psdu_length = frames[k].length;
            pk.psdu = psdus[k].data();
            pk.idle_time = frames[k].idle_time;
            list.push_back(pk);
        }
    }
};

struct Collected {
    std::vector<double> i, q;
    int64_t expected_first = 0;
    bool in_order = true;
};

int32_t ORV_CALL collect(void* context, int64_t first, int32_t count, const double* i,
                         const double* q) {
    auto* c = static_cast<Collected*>(context);
    c->in_order = c->in_order && first == c->expected_first;
    c->expected_first = first + count;
    c->i.insert(c->i.end(), i, i + count);
    c->q.insert(c->q.end(), q, q + count);
    return 0;
}

// Runs the block entry; fails the test on a nonzero result.
Collected run_blocks(OrvSequenceParams* p, const Packets& pk, std::vector<int64_t>* starts,
                     const GenerateOptions& options = GenerateOptions{}) {
    Collected c;
    starts->assign(pk.list.size(), -1);
    const int32_t rc = orv_11a_sequence_blocks_with(p, pk.list.data(),
                                                    static_cast<int32_t>(pk.list.size()), collect,
                                                    &c, starts->data(), options);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(c.in_order);
    EXPECT_EQ(static_cast<int64_t>(c.i.size()), p->total_samples);
    return c;
}

// Decodes every packet at its reported start and compares it with what was sent.
void expect_received(const double* i, const double* q, const std::vector<int64_t>& starts,
                     const std::vector<Frame>& frames, const Packets& pk, int32_t os) {
    for (size_t k = 0; k < frames.size(); ++k) {
        SCOPED_TRACE("packet " + std::to_string(k));
        const ref::RxFrame f = ref::receive_frame(i, q, starts[k], os);
        ASSERT_TRUE(f.signal_ok);
        EXPECT_TRUE(f.pilots_ok);
        EXPECT_TRUE(f.service_ok);
        EXPECT_EQ(f.rate_index, frames[k].rate_index);
        EXPECT_EQ(f.length, frames[k].length);
        EXPECT_EQ(f.scrambler, frames[k].scrambler);
        EXPECT_TRUE(fcs_ok(f.psdu));
        EXPECT_TRUE(f.psdu == pk.psdus[k]);
    }
}

const char* const kRateNames[8] = {"6", "9", "12", "18", "24", "36", "48", "54"};

// Every rate with PSDUs of 1, 100, 1500 and 4095 octets and four scrambler states.
class SequenceRoundTrip : public ::testing::TestWithParam<int32_t> {};

TEST_P(SequenceRoundTrip, EveryLengthDecodes) {
    const int32_t rate = GetParam();
    const std::vector<Frame> frames = {
        {rate, 1, 1, 0.0}, {rate, 100, 93, 2e-6}, {rate, 1500, 127, 0.0}, {rate, 4095, 64, 1e-6}};
    const Packets pk(frames);
    OrvSequenceParams p = plain_params(1, 20);
    std::vector<int64_t> starts;
    const Collected c = run_blocks(&p, pk, &starts);
    expect_received(c.i.data(), c.q.data(), starts, frames, pk, 1);
}

INSTANTIATE_TEST_SUITE_P(Rates, SequenceRoundTrip, ::testing::Range(0, 8),
                         [](const ::testing::TestParamInfo<int32_t>& r) {
                             return std::string(kRateNames[r.param]) + "Mbps";
                         });

// Oversampling and channel width: every packet decodes at 20, 10 and 5 MHz,
// the packets' samples are the same at every width, the idle time is counted
// at the real rate.
struct Geometry {
    const char* name;
    int32_t os;
    double window_tr;
    int32_t lead;  // ramp samples before the first field
    int32_t tail;  // ramp samples after the last DATA symbol
};

void PrintTo(const Geometry& g, std::ostream* os) { *os << g.name; }

class SequenceGeometry : public ::testing::TestWithParam<Geometry> {};

TEST_P(SequenceGeometry, ChannelsShareTheSamples) {
    const Geometry& g = GetParam();
    const std::vector<Frame> frames = {{7, 100, 93, 10e-6}, {0, 60, 5, 4e-6}, {4, 1500, 100, 0.0}};
    const Packets pk(frames);
    std::vector<Collected> got;
    for (int32_t mhz : {20, 10, 5}) {
        SCOPED_TRACE(std::to_string(mhz) + " MHz");
        OrvSequenceParams p = plain_params(g.os, mhz);
        p.window_tr = g.window_tr;
        std::vector<int64_t> starts;
        got.push_back(run_blocks(&p, pk, &starts));
        const double fs = 1e6 * mhz * g.os;
        const int64_t core0 = (400 + 80 * 4) * g.os;  // 100 octets at 54 Mbit/s: 4 symbols
        const int64_t core1 = (400 + 80 * 21) * g.os;  // 60 octets at 6 Mbit/s: 21 symbols
        EXPECT_EQ(starts[0], g.lead);
        EXPECT_EQ(starts[1], g.lead + core0 + g.tail + static_cast<int64_t>(10e-6 * fs) + g.lead);
        EXPECT_EQ(starts[2], starts[1] + core1 + g.tail + static_cast<int64_t>(4e-6 * fs) + g.lead);
        // Idle samples are zero.
        const int64_t idle_from = g.lead + core0 + g.tail;
        for (int64_t n = idle_from; n < starts[1] - g.lead; ++n)
            ASSERT_TRUE(got.back().i[n] == 0.0 && got.back().q[n] == 0.0) << n;
        expect_received(got.back().i.data(), got.back().q.data(), starts, frames, pk, g.os);
    }
    // The packets' own samples are the same at 10 and 5 MHz (only idle lengths differ).
    EXPECT_TRUE(std::equal(got[0].i.begin(), got[0].i.begin() + g.lead + (400 + 320) * g.os,
                           got[1].i.begin()));
    EXPECT_TRUE(std::equal(got[0].q.begin(), got[0].q.begin() + g.lead + (400 + 320) * g.os,
                           got[2].q.begin()));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, SequenceGeometry,
    ::testing::Values(Geometry{"Os1NoWindow", 1, 0.0, 0, 0}, Geometry{"Os2Window100ns", 2, 100e-9, 1, 2},
                      Geometry{"Os4Window100ns", 4, 100e-9, 3, 4},
                      Geometry{"Os5Window50ns", 5, 50e-9, 2, 2},
                      Geometry{"Os8Window200ns", 8, 200e-9, 15, 16}),
    [](const ::testing::TestParamInfo<Geometry>& g) { return std::string(g.param.name); });

using orv_test::read_file;
using orv_test::TempDir;

// The AWG file of a 10 MHz sequence states the real sampling frequency and
// holds every sample; its CSV twin decodes.
TEST(SequenceFiles, AwgHeaderAndCsvDecode) {
    const TempDir dir;
    const std::vector<Frame> frames = {{5, 100, 93, 5e-6}, {2, 300, 17, 0.0}};
    const Packets pk(frames);
    OrvSequenceParams p = plain_params(4, 10);
    const std::string awg = dir.file("seq.awg"), csv = dir.file("seq.csv");
    std::vector<int64_t> starts(2);
    ASSERT_EQ(orv_11a_sequence(&p, pk.list.data(), 2, 0, awg.c_str(), starts.data()), 0);
    const std::string bytes = read_file(awg);
    EXPECT_NE(bytes.find("{SAMPLINGFREQ:40000000.000000}"), std::string::npos);
    const std::string tag = "{WAVEDATA:" + std::to_string(8 * p.total_samples) + ";";
    const size_t at = bytes.find(tag);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(bytes.size(), at + tag.size() + 8 * static_cast<size_t>(p.total_samples) + 1);
    EXPECT_GT(p.papr, 3.0);
    EXPECT_EQ(p.bad_packet, -1);
    // 14-bit offset-binary codes scaled to the sequence's peak: one channel
    // reaches an end of the range, and the idle time sits at mid-scale.
    int32_t lowest = 1 << 14, highest = -1;
    const size_t data = at + tag.size();
    auto code = [&](size_t n, int c) {
        int32_t v = 0;
        for (int b = 3; b >= 0; --b) v = (v << 8) | static_cast<uint8_t>(bytes[data + 8 * n + 4 * c + b]);
        return v;
    };
    for (size_t n = 0; n < static_cast<size_t>(p.total_samples); ++n)
        for (int c = 0; c < 2; ++c) {
            lowest = std::min(lowest, code(n, c));
            highest = std::max(highest, code(n, c));
        }
    EXPECT_GE(lowest, 0);
    EXPECT_LE(highest, 16383);
    EXPECT_TRUE(lowest <= 1 || highest >= 16382) << lowest << ".." << highest;
    const size_t idle = static_cast<size_t>(starts[1]) - 10;  // inside the 5 us idle time
    EXPECT_EQ(code(idle, 0), 8191);
    EXPECT_EQ(code(idle, 1), 8191);

    ASSERT_EQ(orv_11a_sequence(&p, pk.list.data(), 2, 1, csv.c_str(), nullptr), 0);
    EXPECT_EQ(p.papr, 0.0);
    std::ifstream in(csv);
    std::vector<double> i, q;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream s(line);
        s.imbue(std::locale::classic());
        double x, y;
        char comma;
        s >> x >> comma >> y;
        i.push_back(x);
        q.push_back(y);
    }
    ASSERT_EQ(static_cast<int64_t>(i.size()), p.total_samples);
    expect_received(i.data(), q.data(), starts, frames, pk, 4);
    std::filesystem::remove(awg);
    std::filesystem::remove(csv);
}

// Bad input: a clear mask naming the field (and the first bad packet), nothing written.
struct BadCase {
    const char* name;
    void (*spoil)(OrvSequenceParams*, std::vector<OrvPacket>*);
    uint32_t mask;
    int32_t bad_packet;
};

const BadCase kBadCases[] = {
    {"PsduLength0", [](OrvSequenceParams*, std::vector<OrvPacket>* k) { (*k)[1].psdu_length = 0; },
     ORV_SEQ_BAD_PSDU_LENGTH, 1},
    {"PsduLength4096",
     [](OrvSequenceParams*, std::vector<OrvPacket>* k) { (*k)[2].psdu_length = 4096; },
     ORV_SEQ_BAD_PSDU_LENGTH, 2},
    {"Scrambler0", [](OrvSequenceParams*, std::vector<OrvPacket>* k) { (*k)[0].scrambler_init = 0; },
     ORV_SEQ_BAD_SCRAMBLER, 0},
    {"Scrambler128",
     [](OrvSequenceParams*, std::vector<OrvPacket>* k) { (*k)[1].scrambler_init = 128; },
     ORV_SEQ_BAD_SCRAMBLER, 1},
    {"RateMinus1", [](OrvSequenceParams*, std::vector<OrvPacket>* k) { (*k)[2].rate_index = -1; },
     ORV_SEQ_BAD_RATE, 2},
    {"Rate8", [](OrvSequenceParams*, std::vector<OrvPacket>* k) { (*k)[0].rate_index = 8; },
     ORV_SEQ_BAD_RATE, 0},
    {"NullPsdu", [](OrvSequenceParams*, std::vector<OrvPacket>* k) { (*k)[1].psdu = nullptr; },
     ORV_SEQ_BAD_PSDU, 1},
    {"NegativeIdle", [](OrvSequenceParams*, std::vector<OrvPacket>* k) { (*k)[0].idle_time = -1e-6; },
     ORV_SEQ_BAD_IDLE_TIME, 0},
    {"PacketSize", [](OrvSequenceParams*, std::vector<OrvPacket>* k) { (*k)[2].size = 16; },
     ORV_SEQ_BAD_PACKET_SIZE, 2},
    {"FirstBadPacketOnly",
     [](OrvSequenceParams*, std::vector<OrvPacket>* k) {
         (*k)[1].rate_index = 9;
         (*k)[2].psdu_length = 0;
     },
     ORV_SEQ_BAD_RATE, 1},
    {"Oversampling11", [](OrvSequenceParams* p, std::vector<OrvPacket>*) { p->oversampling = 11; },
     ORV_SEQ_BAD_OVERSAMPLING, -1},
    {"Channel40", [](OrvSequenceParams* p, std::vector<OrvPacket>*) { p->channel_mhz = 40; },
     ORV_SEQ_BAD_CHANNEL, -1},
    {"WindowLongerThanGuard",
     [](OrvSequenceParams* p, std::vector<OrvPacket>*) { p->window_tr = 1e-6; },
     ORV_SEQ_BAD_WINDOW_TR, -1},
    {"WindowNaN", [](OrvSequenceParams* p, std::vector<OrvPacket>*) { p->window_tr = NAN; },
     ORV_SEQ_BAD_WINDOW_TR, -1},
    {"FilterTaps3",
     [](OrvSequenceParams* p, std::vector<OrvPacket>*) {
         p->filter_cutoff = 8e6;
         p->filter_rolloff = 0.3;
         p->filter_taps = 3;
     },
     ORV_SEQ_BAD_FILTER_TAPS, -1},
    {"NoiseSwitch2", [](OrvSequenceParams* p, std::vector<OrvPacket>*) { p->noise_enable = 2; },
     ORV_SEQ_BAD_NOISE, -1},
    {"FreqErrorAboveNyquist",
     [](OrvSequenceParams* p, std::vector<OrvPacket>*) {
         p->freq_error_enable = 1;
         p->freq_error = 41e6;
     },
     ORV_SEQ_BAD_FREQ_ERROR, -1},
    {"ParamsAndPacketTogether",
     [](OrvSequenceParams* p, std::vector<OrvPacket>* k) {
         p->iq_inverse = 3;
         (*k)[0].scrambler_init = -5;
     },
     ORV_SEQ_BAD_IQ_INVERSE | ORV_SEQ_BAD_SCRAMBLER, 0},
};

void PrintTo(const BadCase& b, std::ostream* os) { *os << b.name; }

class SequenceBadInput : public ::testing::TestWithParam<BadCase> {};

TEST_P(SequenceBadInput, MaskNamesTheFieldAndNothingIsWritten) {
    const TempDir dir;
    const BadCase& b = GetParam();
    const Packets pk({{0, 100, 93, 0.0}, {7, 200, 1, 0.0}, {3, 50, 127, 0.0}});
    std::vector<OrvPacket> list = pk.list;
    OrvSequenceParams p = plain_params(4, 20);
    b.spoil(&p, &list);
    const std::string path = dir.file(b.name);
    std::filesystem::remove(path);
    const int32_t rc = orv_11a_sequence(&p, list.data(), 3, 0, path.c_str(), nullptr);
    EXPECT_EQ(static_cast<uint32_t>(rc), ORV_INVALID | b.mask);
    EXPECT_EQ(p.bad_packet, b.bad_packet);
    EXPECT_EQ(p.total_samples, 0);
    EXPECT_FALSE(std::filesystem::exists(path));
    Collected c;
    EXPECT_EQ(static_cast<uint32_t>(orv_11a_sequence_blocks(&p, list.data(), 3, collect, &c,
                                                            nullptr)),
              ORV_INVALID | b.mask);
    EXPECT_TRUE(c.i.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, SequenceBadInput, ::testing::ValuesIn(kBadCases),
                         [](const ::testing::TestParamInfo<BadCase>& b) {
                             return std::string(b.param.name);
                         });

// Arguments that are not records at all.
TEST(SequenceBadInput, NullPointersAndRecordSize) {
    const TempDir dir;
    const Packets pk({{0, 100, 93, 0.0}});
    OrvSequenceParams p = plain_params(1, 20);
    const std::string path = dir.file("null");
    std::filesystem::remove(path);
    EXPECT_EQ(static_cast<uint32_t>(orv_11a_sequence(nullptr, pk.list.data(), 1, 0, path.c_str(),
                                                     nullptr)),
              ORV_INVALID);
    EXPECT_EQ(static_cast<uint32_t>(orv_11a_sequence(&p, nullptr, 1, 0, path.c_str(), nullptr)),
              ORV_INVALID | ORV_SEQ_BAD_PACKETS);
    EXPECT_EQ(static_cast<uint32_t>(
                  orv_11a_sequence(&p, pk.list.data(), 0, 0, path.c_str(), nullptr)),
              ORV_INVALID | ORV_SEQ_BAD_PACKETS);
    EXPECT_EQ(static_cast<uint32_t>(
                  orv_11a_sequence(&p, pk.list.data(), 1, 2, path.c_str(), nullptr)),
              ORV_INVALID | ORV_SEQ_BAD_OUTPUT);
    EXPECT_EQ(static_cast<uint32_t>(orv_11a_sequence_blocks(&p, pk.list.data(), 1, nullptr,
                                                            nullptr, nullptr)),
              ORV_INVALID | ORV_SEQ_BAD_OUTPUT);
    EXPECT_EQ(orv_11a_sequence(&p, pk.list.data(), 1, 0, nullptr, nullptr), ORV_WRITE_FAILED);
    // A record of another size is not read past its size field, nor written.
    p.size = sizeof p - 8;
    p.bad_packet = 1234;
    EXPECT_EQ(static_cast<uint32_t>(
                  orv_11a_sequence(&p, pk.list.data(), 1, 0, path.c_str(), nullptr)),
              ORV_INVALID | ORV_SEQ_BAD_SIZE);
    EXPECT_EQ(p.bad_packet, 1234);
    EXPECT_FALSE(std::filesystem::exists(path));
}

// A callback that stops: ORV_STOPPED, and no block after the refusal.
TEST(SequenceBlocks, StopAfterTheFirstBlock) {
    const Packets pk({{0, 4095, 93, 0.0}});
    OrvSequenceParams p = plain_params(4, 20);
    int32_t calls = 0;
    auto stop = [](void* context, int64_t, int32_t, const double*, const double*) -> int32_t {
        ++*static_cast<int32_t*>(context);
        return 1;
    };
    EXPECT_EQ(orv_11a_sequence_blocks(&p, pk.list.data(), 1, stop, &calls, nullptr), ORV_STOPPED);
    EXPECT_EQ(calls, 1);
}

}  // namespace

namespace {

// The helper thread that builds the next PPDUs changes no sample.
TEST(SequenceBlocks, SameSamplesWithoutTheHelperThread) {
    const std::vector<Frame> frames = {{7, 1028, 1, 20e-6}, {3, 200, 2, 0.0}, {0, 40, 3, 1e-6},
                                       {5, 700, 4, 5e-6}};
    const Packets pk(frames);
    OrvSequenceParams p = plain_params(4, 20);
    p.noise_enable = 1;
    p.noise_level = -40.0;
    int32_t table[kNoiseTableSize + 1];
    noise_table_copy(table);
    std::vector<int64_t> starts;
    const Collected threaded = run_blocks(&p, pk, &starts);
    noise_table_restore(table);
    GenerateOptions alone_options;
    alone_options.threads = false;
    const Collected alone = run_blocks(&p, pk, &starts, alone_options);
    EXPECT_TRUE(threaded.i == alone.i);
    EXPECT_TRUE(threaded.q == alone.q);
}

}  // namespace
