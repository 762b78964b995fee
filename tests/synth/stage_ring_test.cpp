// The chain's first stages come in blocks (made ahead on a helper thread, or
// on demand), and with the sample clock each block holds one output block's
// inputs, the ones it shares with the block before copied over: the
// resampler's outputs must be those of one window over the whole sequence,
// and the chain's samples the same with the helper thread and without.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <vector>

#include "impair_chain.h"
#include "orvasynth.h"
#include "sequence.h"
#include "sequence_impaired.h"
#include "support/readable_params.h"

namespace {

// Packets at mixed rates with long idle times (many blocks at any
// oversampling), by default four; builders 2: four PPDU slots for the
// chain's one helper thread.
struct Source {
    std::vector<uint8_t> psdu;
    std::vector<OrvPacket> packets;
    OrvSequenceParams p{};
    OrvImpairments m{};
    SequenceSetup s{};
    Source(int32_t os, const OrvImpairments& with, bool threads, int32_t count = 4, int32_t builders = 1);
};

Source::Source(int32_t os, const OrvImpairments& with, bool threads, int32_t count, int32_t builders)
    : psdu(900), packets(static_cast<size_t>(count)), m(with) {
    for (size_t k = 0; k < psdu.size(); ++k) psdu[k] = static_cast<uint8_t>(k * 29 + 3);
    for (int32_t k = 0; k < count; ++k) {
        packets[k] = OrvPacket{};
        packets[k].size = sizeof(OrvPacket);
        packets[k].rate_index = (5 * k + 2) % 8;
        packets[k].scrambler_init = 9 + k;
        packets[k].psdu_length = 300 + 200 * (k % 4);
        packets[k].psdu = psdu.data();
        packets[k].idle_time = 6e-3 / count;
    }
    p.size = sizeof p;
    p.oversampling = os;
    p.channel_mhz = 20;
    p.window_tr = 100e-9;
    sequence_setup(&p, packets.data(), count, nullptr, &s);
    s.threads = threads;
    s.builders = builders;
    s.cache_bytes = 0;
    s.total = impaired_total(&m, s.total);
}

// The source's impaired samples before the noise, taken piece samples a call. False on failure.
bool chain_samples(const Source& src, int32_t piece, std::vector<double>* i, std::vector<double>* q) {
    SequenceRun r{};
    if (sequence_open(&r, &src.p, src.packets.data(), static_cast<int32_t>(src.packets.size()), &src.s) != 0)
        return false;
    ImpairedRun chain{};
    if (impaired_open(&chain, &r, &src.m, false) != 0) {
        sequence_close(&r, false);
        return false;
    }
    const int64_t total = src.s.total;
    i->assign(static_cast<size_t>(total), 0.0);
    q->assign(static_cast<size_t>(total), 0.0);
    bool ok = true;
    for (int64_t at = 0; ok && at < total;) {
        const int32_t n = total - at < piece ? static_cast<int32_t>(total - at) : piece;
        ok = impaired_chain_next(&chain, n, i->data() + at, q->data() + at) == 0;
        at += n;
    }
    impaired_close(&chain);
    sequence_close(&r, false);
    return ok;
}

// The amplifier and the IQ stage (sample by sample: the same values however the sequence is cut).
OrvImpairments first_stages_alone() {
    OrvImpairments m{};
    m.size = sizeof m;
    m.seed = 5;
    m.pa_enable = 1, m.pa_smoothness = 2, m.pa_backoff_db = 5;
    m.iq_gain_db = 0.4, m.iq_phase_deg = -1.5;
    return m;
}

struct ClockCase {
    const char* name;
    int32_t os;
    double ppm;
    int32_t piece;  // samples a call of the chain
    bool threads;
};

void PrintTo(const ClockCase& c, std::ostream* os) { *os << c.name; }

const ClockCase kClockCases[] = {
    {"fast clock limit os 1", 1, 1000.0, kSequenceBlock, true},
    {"slow clock limit os 1 no thread", 1, -1000.0, 999, false},
    {"fast clock limit os 8", 8, 1000.0, kSequenceBlock + 5, true},
    {"slow clock limit os 8", 8, -1000.0, 4096, true},
    {"small offset os 2 no thread", 2, 0.5, kSequenceBlock, false},
    {"ten ppm os 8 odd pieces", 8, 10.0, 12345, true},
    {"minus forty ppm os 4 single pieces", 4, -40.0, 1, true},
};

class StageRingClock : public ::testing::TestWithParam<ClockCase> {};

// The chain with the sample clock against the resampler over one window
// holding the whole unclocked sequence (zeros before and after it), in the
// chain's output blocks.
TEST_P(StageRingClock, BlocksAreOneWindowOverTheSequence) {
    const ClockCase& c = GetParam();
    const OrvImpairments plain = first_stages_alone();
    std::vector<double> xi, xq;
    ASSERT_TRUE(chain_samples(Source(c.os, plain, false), kSequenceBlock, &xi, &xq));
    OrvImpairments clocked = plain;
    clocked.clock_ppm = c.ppm;
    const Source src(c.os, clocked, c.threads);
    std::vector<double> i, q;
    ASSERT_TRUE(chain_samples(src, c.piece, &i, &q));
    const int64_t total = static_cast<int64_t>(i.size());
    ASSERT_EQ(total, resampled_length(c.ppm, static_cast<int64_t>(xi.size())));
    ASSERT_GT(total, 7 * kSequenceBlock);  // past the ring's slots more than once

    Resampler r;
    ASSERT_EQ(resampler_open(&r, c.ppm, resampler_taps(c.os)), 0);
    const int64_t blocks = (total + kSequenceBlock - 1) / kSequenceBlock;
    const int64_t base = resampler_first_input(&r, 0);
    const int64_t end = resampler_first_input(&r, blocks * kSequenceBlock - 1) + r.taps;
    std::vector<double> wi(static_cast<size_t>(end - base), 0.0), wq(wi.size(), 0.0);
    std::memcpy(wi.data() - base, xi.data(), xi.size() * sizeof(double));
    std::memcpy(wq.data() - base, xq.data(), xq.size() * sizeof(double));
    std::vector<double> ri(static_cast<size_t>(blocks * kSequenceBlock)), rq(ri.size());
    for (int64_t b = 0; b < blocks; ++b)
        resampler_run(&r, b * kSequenceBlock, kSequenceBlock, base, wi.data(), wq.data(),
                      ri.data() + b * kSequenceBlock, rq.data() + b * kSequenceBlock);
    resampler_close(&r);

    int64_t differ = 0, first = -1, nonzero = 0;
    for (int64_t k = 0; k < total; ++k) {
        if (i[k] != 0.0) ++nonzero;
        if (std::memcmp(&i[k], &ri[k], sizeof(double)) != 0 || std::memcmp(&q[k], &rq[k], sizeof(double)) != 0) {
            if (differ++ == 0) first = k;
        }
    }
    EXPECT_GT(nonzero, total / 16);
    EXPECT_EQ(differ, 0) << "first at sample " << first << " (block " << first / kSequenceBlock << ")";
}

INSTANTIATE_TEST_SUITE_P(Clocks, StageRingClock, ::testing::ValuesIn(kClockCases), orv_test::PrintedName{});

struct ThreadCase {
    const char* name;
    void (*set)(OrvImpairments*);
    int32_t os;
    int32_t piece;
    int32_t packets = 4;
    int32_t builders = 1;  // 2: the PPDU builder waits for two of four slots
};

void PrintTo(const ThreadCase& c, std::ostream* os) { *os << c.name; }

// The phase noise and the carrier (restarted at each run of the first
// stages), the sample clock, the channel per packet and the SNR.
void whole_chain(OrvImpairments* m) {
    *m = first_stages_alone();
    m->snr_enable = 1, m->snr_db = 25;
    m->phase_noise_rms_deg = 2;
    m->cfo_ppm = -15, m->carrier_ghz = 5.2;
    m->clock_ppm = 25;
    m->multipath_rms_ns = 40, m->multipath_per_packet = 1;
}

const ThreadCase kThreadCases[] = {
    {"whole chain os 2 odd pieces", whole_chain, 2, 3001},
    {"whole chain os 8 whole blocks", whole_chain, 8, kSequenceBlock},
    {"phase noise without clock os 4", [](OrvImpairments* m) {
         *m = first_stages_alone();
         m->phase_noise_rms_deg = 1, m->cfo_ppm = 3, m->carrier_ghz = 2.4;
     }, 4, 7000},
    {"clock alone os 1 pieces over blocks", [](OrvImpairments* m) {
         *m = first_stages_alone();
         m->pa_enable = 0;
         m->clock_ppm = -700;
     }, 1, kSequenceBlock + 1},
    {"whole chain os 4 many packets four ppdu slots", whole_chain, 4, 2500, 21, 2},
    {"amplifier alone os 8 many packets four ppdu slots", [](OrvImpairments* m) { *m = first_stages_alone(); },
     8, kSequenceBlock, 30, 2},
};

class StageRingThreads : public ::testing::TestWithParam<ThreadCase> {};

TEST_P(StageRingThreads, HelperThreadChangesNoSample) {
    const ThreadCase& c = GetParam();
    OrvImpairments m{};
    c.set(&m);
    std::vector<double> i[2], q[2];
    for (int32_t threads = 0; threads < 2; ++threads)
        ASSERT_TRUE(chain_samples(Source(c.os, m, threads == 1, c.packets, c.builders), c.piece, &i[threads],
                                  &q[threads]));
    ASSERT_EQ(i[1].size(), i[0].size());
    ASSERT_GT(i[0].size(), 7u * kSequenceBlock);
    size_t differ = 0, first = 0, nonzero = 0;
    for (size_t k = 0; k < i[0].size(); ++k) {
        if (i[0][k] != 0.0) ++nonzero;
        if (std::memcmp(&i[0][k], &i[1][k], sizeof(double)) != 0 ||
            std::memcmp(&q[0][k], &q[1][k], sizeof(double)) != 0) {
            if (differ++ == 0) first = k;
        }
    }
    EXPECT_GT(nonzero, i[0].size() / 16);
    EXPECT_EQ(differ, 0u) << "first at sample " << first;
}

INSTANTIATE_TEST_SUITE_P(Chains, StageRingThreads, ::testing::ValuesIn(kThreadCases), orv_test::PrintedName{});

}  // namespace
