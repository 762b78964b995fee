// A sequence's PPDUs are built on up to two helper threads (packet k by
// thread k % 2), and the DATA symbols' subcarrier values coded in the first
// pass over the sequence are kept for the later ones (the AWG file's writing
// pass, the DC offset's measuring pass) within a budget. Neither may change a
// byte: every file is compared with the one made without helper threads and
// without the kept values, and a 10^4-packet file with codes quantised from
// the blocks of the sequence made one packet at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "orvasynth.h"
#include "pipeline.h"
#include "sequence.h"
#include "support/files.h"
#include "measure.h"

namespace {

using orv_test::TempDir;

// How the PPDUs are made.
struct BuildWay {
    const char* name;
    bool threads;
    int32_t builders;
    int64_t cache_bytes;
};

// Made on the calling thread, nothing kept: the reference.
constexpr BuildWay kAlone{"alone", false, 1, 0};
const BuildWay kWays[] = {
    {"two_builders_cached", true, 2, kValueCacheBytes},
    {"one_builder_cached", true, 1, kValueCacheBytes},
    {"two_builders_uncached", true, 2, 0},
    {"alone_cached", false, 1, kValueCacheBytes},
    // 1200 bytes: 25 symbols of 48 values, so only some packets are kept.
    {"two_builders_part_cached", true, 2, 1200},
};

struct Frame {
    int32_t rate_index;
    int32_t length;
    double idle;  // seconds after the packet
};

struct FileCase {
    const char* name;
    int32_t os;
    double window_tr;  // seconds
    int32_t iq_inverse;
    double dc_re;  // percent of the peak (a third pass over the sequence)
    int32_t mode;  // 0 AWG, 1 CSV
    std::vector<Frame> frames;
};

// The packets of the frames, their PSDUs alongside.
struct Packets {
    std::vector<std::vector<uint8_t>> psdus;
    std::vector<OrvPacket> list;
    explicit Packets(const std::vector<Frame>& frames) {
        for (size_t k = 0; k < frames.size(); ++k) {
            psdus.emplace_back(static_cast<size_t>(frames[k].length));
            for (size_t j = 0; j < psdus[k].size(); ++j)
                psdus[k][j] = static_cast<uint8_t>(j * 53 + k * 11 + 5);
        }
        for (size_t k = 0; k < frames.size(); ++k) {
            OrvPacket p{};
            p.size = sizeof p;
            p.rate_index = frames[k].rate_index;
            p.scrambler_init = static_cast<int32_t>(1 + (k * 37) % 127);
            p.psdu_length = frames[k].length;
            p.psdu = psdus[k].data();
            p.idle_time = frames[k].idle;
            list.push_back(p);
        }
    }
};

OrvSequenceParams params_of(const FileCase& c) {
    OrvSequenceParams p{};
    p.size = sizeof p;
    p.oversampling = c.os;
    p.channel_mhz = 20;
    p.window_tr = c.window_tr;
    p.iq_inverse = c.iq_inverse;
    p.filter_taps = 191;
    p.filter_rolloff = 0.25;
    p.dc_offset_re = c.dc_re;
    return p;
}

GenerateOptions options_of(const BuildWay& w) {
    GenerateOptions o;
    o.threads = w.threads;
    o.ppdu_builders = w.builders;
    o.value_cache_bytes = w.cache_bytes;
    return o;
}

struct Written {
    int32_t rc = -99;
    double crest_i = 0.0, crest_q = 0.0, papr = 0.0;
    std::vector<int64_t> starts;
    std::string bytes;  // the file without its DATE item
};

Written write(const FileCase& c, const BuildWay& way, const std::string& path) {
    const Packets pk(c.frames);
    OrvSequenceParams p = params_of(c);
    Written w;
    w.starts.assign(pk.list.size(), -1);
    w.rc = orv_11a_sequence_with(&p, pk.list.data(), static_cast<int32_t>(pk.list.size()), c.mode,
                                 path.c_str(), w.starts.data(), options_of(way));
    if (w.rc != 0) return w;
    w.crest_i = p.crest_i;
    w.crest_q = p.crest_q;
    w.papr = p.papr;
    w.bytes = std::regex_replace(orv_test::read_file(path), std::regex("\\{DATE:[^}]*\\}"),
                                 "{DATE:}", std::regex_constants::format_first_only);
    return w;
}

struct WayCase {
    FileCase file;
    BuildWay way;
};

void PrintTo(const WayCase& c, std::ostream* os) { *os << c.file.name << " " << c.way.name; }

class SequenceBuilders : public ::testing::TestWithParam<WayCase> {};

TEST_P(SequenceBuilders, SameFileAsBuiltAloneUncached) {
    const WayCase& c = GetParam();
    TempDir dir;
    const Written ref = write(c.file, kAlone, dir.file("ref"));
    const Written got = write(c.file, c.way, dir.file("got"));
    ASSERT_EQ(ref.rc, 0);
    ASSERT_EQ(got.rc, 0);
    EXPECT_EQ(got.starts, ref.starts);
    EXPECT_EQ(got.crest_i, ref.crest_i);
    EXPECT_EQ(got.crest_q, ref.crest_q);
    EXPECT_EQ(got.papr, ref.papr);
    ASSERT_GT(ref.bytes.size(), 100u);
    ASSERT_EQ(got.bytes.size(), ref.bytes.size());
    // The first differing byte, rather than two files' worth of output.
    const auto diff = std::mismatch(got.bytes.begin(), got.bytes.end(), ref.bytes.begin());
    EXPECT_TRUE(diff.first == got.bytes.end())
        << "first difference at byte " << (diff.first - got.bytes.begin());
}

// Rates, lengths (one packet; fewer packets than threads; odd counts that
// leave a thread one packet short), oversampling with the radix-2 transform
// (two builders) and with the chirp-z one (os 3: one builder), the window,
// I/Q exchanged, the DC offset's extra pass, AWG and CSV.
const std::vector<FileCase> kFiles = {
    {"single_packet_awg", 8, 100e-9, 0, 0.0, 0, {{7, 1028, 20e-6}}},
    {"two_packets_awg", 2, 100e-9, 0, 0.0, 0, {{0, 100, 1e-6}, {7, 1, 0.0}}},
    {"mixed_rates_lengths_awg", 4, 150e-9, 0, 0.0, 0,
     {{7, 1500, 2e-6}, {0, 33, 0.0}, {3, 777, 5e-6}, {5, 1, 1e-6}, {1, 4095, 0.0}, {6, 200, 3e-6},
      {2, 61, 0.0}}},
    {"mixed_exchanged_os8_awg", 8, 0.0, 1, 0.0, 0,
     {{6, 400, 1e-6}, {7, 1028, 20e-6}, {4, 100, 0.0}, {0, 20, 2e-6}, {2, 300, 0.0}}},
    {"os3_chirp_awg", 3, 50e-9, 0, 0.0, 0,
     {{0, 9, 0.0}, {4, 399, 1e-6}, {7, 699, 0.0}, {1, 99, 2e-6}}},
    {"dc_offset_csv", 2, 100e-9, 0, 3.0, 1,
     {{5, 300, 1e-6}, {7, 90, 0.0}, {0, 10, 0.5e-6}, {3, 500, 0.0}}},
    {"dc_offset_awg", 1, 100e-9, 1, -2.0, 0,
     {{7, 1000, 4e-6}, {2, 77, 0.0}, {4, 2000, 1e-6}, {6, 5, 0.0}, {1, 150, 0.0}, {7, 64, 2e-6}}},
    {"many_packets_csv", 1, 100e-9, 0, 0.0, 1,
     {{7, 40, 0.0}, {6, 41, 0.1e-6}, {5, 42, 0.0}, {4, 43, 0.2e-6}, {3, 44, 0.0}, {2, 45, 0.0},
      {1, 46, 0.3e-6}, {0, 47, 0.0}, {7, 48, 0.0}, {6, 49, 0.0}, {5, 50, 0.1e-6}}},
};

std::vector<WayCase> way_cases() {
    std::vector<WayCase> out;
    for (const FileCase& f : kFiles)
        for (const BuildWay& w : kWays) out.push_back({f, w});
    return out;
}

INSTANTIATE_TEST_SUITE_P(Files, SequenceBuilders, ::testing::ValuesIn(way_cases()),
                         [](const ::testing::TestParamInfo<WayCase>& i) {
                             return std::string(i.param.file.name) + "_" + i.param.way.name;
                         });

// The reference samples of a sequence, made one packet at a time on the
// calling thread, handed to a check block by block.
struct BlockCheck {
    double scale = 0.0;  // largest absolute sample, once known
    std::ifstream* file = nullptr;
    int64_t samples = 0;
    int64_t differing = 0;  // samples whose codes differ from the file's
    int64_t first_differing = -1;
};

int32_t ORV_CALL find_scale(void* context, int64_t, int32_t n, const double* i, const double* q) {
    auto* c = static_cast<BlockCheck*>(context);
    for (int32_t k = 0; k < n; ++k) c->scale = std::max(c->scale, std::max(std::fabs(i[k]), std::fabs(q[k])));
    return 0;
}

// Quantises a block as the AWG file's codes and compares them with the file's.
int32_t ORV_CALL compare_codes(void* context, int64_t first, int32_t n, const double* i,
                               const double* q) {
    auto* c = static_cast<BlockCheck*>(context);
    std::vector<int32_t> ic(static_cast<size_t>(n)), qc(static_cast<size_t>(n));
    quantise_codes(i, ic.data(), n, c->scale, 14);
    quantise_codes(q, qc.data(), n, c->scale, 14);
    std::vector<unsigned char> bytes(8 * static_cast<size_t>(n));
    c->file->read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!*c->file) return 1;
    for (int32_t k = 0; k < n; ++k) {
        const unsigned char* b = bytes.data() + 8 * static_cast<size_t>(k);
        const int32_t fi = static_cast<int32_t>(b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24);
        const int32_t fq = static_cast<int32_t>(b[4] | b[5] << 8 | b[6] << 16 | static_cast<uint32_t>(b[7]) << 24);
        if (fi != ic[static_cast<size_t>(k)] || fq != qc[static_cast<size_t>(k)]) {
            if (c->first_differing < 0) c->first_differing = first + k;
            ++c->differing;
        }
    }
    c->samples += n;
    return 0;
}

// 10^4 short packets of every rate, each with its own scrambler state and
// idle time (two helper threads, every packet's values kept).
TEST(SequenceBuildersBlockwise, TenThousandPacketsEqualTheirCodes) {
    std::vector<Frame> frames;
    for (int32_t k = 0; k < 10000; ++k)
        frames.push_back({k % 8, 1 + (k * 7) % 12, (k % 5) * 0.05e-6});
    const Packets pk(frames);
    FileCase c{"ten_thousand", 1, 100e-9, 0, 0.0, 0, frames};
    TempDir dir;
    const std::string path = dir.file("many.awv");
    OrvSequenceParams p = params_of(c);
    ASSERT_EQ(orv_11a_sequence(&p, pk.list.data(), 10000, 0, path.c_str(), nullptr), 0);
    const int64_t total = p.total_samples;

    OrvSequenceParams q = params_of(c);
    const GenerateOptions alone = options_of(kAlone);
    BlockCheck check;
    ASSERT_EQ(orv_11a_sequence_blocks_with(&q, pk.list.data(), 10000, find_scale, &check, nullptr, alone), 0);
    ASSERT_EQ(q.total_samples, total);
    ASSERT_GT(check.scale, 0.0);
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    ASSERT_TRUE(file.good());
    const int64_t size = static_cast<int64_t>(file.tellg());
    ASSERT_GT(size, 8 * total + 1);
    // The samples follow the header's "{WAVEDATA:n;" and end before the closing "}".
    char mark[2] = {};
    file.seekg(size - 2 - 8 * total);
    file.read(mark, 1);
    file.seekg(size - 1);
    file.read(mark + 1, 1);
    ASSERT_EQ(std::string(mark, 2), ";}");
    file.seekg(size - 1 - 8 * total);
    check.file = &file;
    ASSERT_EQ(orv_11a_sequence_blocks_with(&q, pk.list.data(), 10000, compare_codes, &check, nullptr, alone), 0);
    EXPECT_EQ(check.samples, total);
    EXPECT_EQ(check.differing, 0) << "first at sample " << check.first_differing;
}

}  // namespace
