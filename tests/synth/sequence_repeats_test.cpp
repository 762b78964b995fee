// The PPDUs' power of a sequence whose packets repeat (sequence_ppdu_power:
// each distinct PPDU built once) against the sum over every PPDU as built,
// bit for bit; the PPDUs built afterwards are those of a fresh run.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <vector>

#include "orvasynth.h"
#include "sequence.h"
#include "support/readable_params.h"

namespace {

struct PacketSpec {
    int32_t psdu;  // 0, 1: two contents; 2: content 0 in a buffer of its own
    int32_t scrambler_init, rate_index, length;
};

struct RepeatCase {
    const char* name;
    std::vector<PacketSpec> packets;
    int32_t os, iq_inverse;
    bool threads;
    int64_t cache_bytes;
    int32_t status;  // sequence_ppdu_power's: 0 summed, 1 nothing repeats
};
void PrintTo(const RepeatCase& c, std::ostream* os) { *os << c.name; }

struct Source {
    std::vector<uint8_t> psdu[3];
    std::vector<OrvPacket> packets;
    OrvSequenceParams p{};
    SequenceSetup s{};
    explicit Source(const RepeatCase& c) {
        for (int32_t b = 0; b < 3; ++b) {
            psdu[b].resize(600);
            for (size_t k = 0; k < psdu[b].size(); ++k)
                psdu[b][k] = static_cast<uint8_t>(k * (b == 1 ? 31 : 13) + 5);
        }
        for (const PacketSpec& spec : c.packets) {
            OrvPacket pk{};
            pk.size = sizeof pk;
            pk.rate_index = spec.rate_index;
            pk.scrambler_init = spec.scrambler_init;
            pk.psdu_length = spec.length;
            pk.psdu = psdu[spec.psdu].data();
            pk.idle_time = 3e-6;
            packets.push_back(pk);
        }
        p.size = sizeof p;
        p.oversampling = c.os;
        p.channel_mhz = 20;
        p.window_tr = 100e-9;
        p.iq_inverse = c.iq_inverse;
        sequence_setup(&p, packets.data(), count(), nullptr, &s);
        s.threads = c.threads;
        s.cache_bytes = c.cache_bytes;
    }
    int32_t count() const { return static_cast<int32_t>(packets.size()); }
};

// Every PPDU's samples in order, and their power summed sample by sample.
struct Collected {
    std::vector<double> i, q;
    double power = 0.0;
    int64_t samples = 0;
};

bool collect(void* context, int64_t, int32_t n, const double* i, const double* q) {
    Collected* c = static_cast<Collected*>(context);
    for (int32_t k = 0; k < n; ++k) c->power += i[k] * i[k] + q[k] * q[k];
    c->samples += n;
    c->i.insert(c->i.end(), i, i + n);
    c->q.insert(c->q.end(), q, q + n);
    return true;
}

class SequenceRepeats : public ::testing::TestWithParam<RepeatCase> {};

TEST_P(SequenceRepeats, PowerIsTheSumOverEveryPpduAndThePpdusStayTheSame) {
    const RepeatCase& c = GetParam();
    const Source src(c);
    SequenceRun fresh{};
    ASSERT_EQ(sequence_open(&fresh, &src.p, src.packets.data(), src.count(), &src.s), 0);
    Collected want;
    ASSERT_EQ(sequence_each_ppdu(&fresh, collect, &want), 0);
    sequence_close(&fresh, false);

    SequenceRun r{};
    ASSERT_EQ(sequence_open(&r, &src.p, src.packets.data(), src.count(), &src.s), 0);
    double power = -1.0;
    int64_t samples = -1;
    EXPECT_EQ(sequence_ppdu_power(&r, &power, &samples), c.status);
    if (c.status == 0) {
        EXPECT_EQ(std::memcmp(&power, &want.power, sizeof power), 0) << power << " " << want.power;
        EXPECT_EQ(samples, want.samples);
    } else {
        EXPECT_EQ(power, -1.0);
        EXPECT_EQ(samples, -1);
    }
    Collected after;
    ASSERT_EQ(sequence_each_ppdu(&r, collect, &after), 0);
    sequence_close(&r, false);
    EXPECT_TRUE(after.i == want.i && after.q == want.q);
}

const std::vector<RepeatCase> kCases = {
    {"one_packet_five_times", {{0, 93, 7, 300}, {0, 93, 7, 300}, {0, 93, 7, 300}, {0, 93, 7, 300}, {0, 93, 7, 300}},
     4, 0, true, kValueCacheBytes, 0},
    {"repeats_mixed_iq_inverse",
     {{0, 5, 7, 300}, {1, 5, 7, 300}, {0, 5, 7, 300}, {0, 6, 7, 300}, {1, 5, 7, 300}, {0, 5, 3, 300}},
     2, 1, true, kValueCacheBytes, 0},
    {"same_bytes_other_buffer_no_threads_no_cache",
     {{0, 9, 0, 120}, {2, 9, 0, 120}, {0, 9, 0, 121}, {2, 9, 0, 121}}, 1, 0, false, 0, 0},
    {"repeat_after_distinct_ones_os8",
     {{0, 1, 7, 200}, {0, 2, 7, 200}, {1, 3, 4, 200}, {0, 4, 7, 200}, {0, 2, 7, 200}}, 8, 0, true,
     kValueCacheBytes, 0},
    {"nothing_repeats", {{0, 1, 7, 300}, {0, 2, 7, 300}, {1, 1, 7, 300}, {0, 1, 6, 300}, {0, 1, 7, 299}}, 4, 0,
     true, kValueCacheBytes, 1},
};

INSTANTIATE_TEST_SUITE_P(Cases, SequenceRepeats, ::testing::ValuesIn(kCases), orv_test::PrintedName{});

}  // namespace
