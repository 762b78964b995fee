// impaired_chain_keep hands the chain's samples before the noise straight
// from the stages' buffers (the sample clock's blocks, the channel's step) to
// an interleaved single-precision buffer: the same values as
// impaired_chain_next rounded to single precision, whatever the stages and
// however the calls cut the sequence (pieces across blocks and channel steps).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <vector>

#include "orvasynth.h"
#include "sequence.h"
#include "sequence_impaired.h"
#include "support/readable_params.h"

namespace {

struct KeepCase {
    const char* name;
    void (*set)(OrvImpairments*);
    int32_t piece;  // samples a call of the kept pass (the reference takes whole blocks)
    bool threads;   // the helper thread of the stages up to the sample clock
};

void PrintTo(const KeepCase& c, std::ostream* os) { *os << c.name; }

// Both passes over one opened chain; the samples before the noise of each.
struct Passes {
    std::vector<double> i, q;  // impaired_chain_next, whole blocks
    std::vector<float> iq;     // impaired_chain_keep, pieces
};

// Five packets at mixed rates, oversampling 4.
struct Source {
    std::vector<uint8_t> psdu;
    std::vector<OrvPacket> packets;
    OrvSequenceParams p{};
    OrvImpairments m{};
    SequenceSetup s{};
    explicit Source(void (*set)(OrvImpairments*), bool threads);
};

Source::Source(void (*set)(OrvImpairments*), bool threads) : psdu(400), packets(5) {
    for (size_t k = 0; k < psdu.size(); ++k) psdu[k] = static_cast<uint8_t>(k * 13 + 5);
    for (int32_t k = 0; k < 5; ++k) {
        packets[k] = OrvPacket{};
        packets[k].size = sizeof(OrvPacket);
        packets[k].rate_index = (3 * k + 1) % 8;
        packets[k].scrambler_init = 5 + k;
        packets[k].psdu_length = 120 + 70 * k;
        packets[k].psdu = psdu.data();
        packets[k].idle_time = 7e-6;
    }
    p.size = sizeof p;
    p.oversampling = 4;
    p.channel_mhz = 20;
    p.window_tr = 100e-9;
    m.size = sizeof m;
    m.seed = 3;
    set(&m);
    sequence_setup(&p, packets.data(), 5, nullptr, &s);
    s.threads = threads;
    s.builders = 1;
    s.cache_bytes = 0;
    s.total = impaired_total(&m, s.total);
}

// The source through the case's chain twice.
bool run_passes(const KeepCase& c, Passes* out) {
    const Source src(c.set, c.threads);
    const OrvSequenceParams& p = src.p;
    const OrvImpairments& m = src.m;
    const SequenceSetup& s = src.s;
    SequenceRun r{};
    if (sequence_open(&r, &p, src.packets.data(), 5, &s) != 0) return false;
    ImpairedRun chain{};
    if (impaired_open(&chain, &r, &m, false) != 0) {
        sequence_close(&r, false);
        return false;
    }
    const int64_t total = s.total;
    out->i.assign(static_cast<size_t>(total), 0.0);
    out->q.assign(static_cast<size_t>(total), 0.0);
    out->iq.assign(static_cast<size_t>(2 * total), 0.0f);
    bool ok = true;
    for (int64_t at = 0; ok && at < total;) {
        const int32_t n = total - at < kSequenceBlock ? static_cast<int32_t>(total - at) : kSequenceBlock;
        ok = impaired_chain_next(&chain, n, out->i.data() + at, out->q.data() + at) == 0;
        at += n;
    }
    sequence_rewind(&r);
    for (int64_t at = 0; ok && at < total;) {
        const int32_t n = total - at < c.piece ? static_cast<int32_t>(total - at) : c.piece;
        ok = impaired_chain_keep(&chain, n, out->iq.data() + 2 * at) == 0;
        at += n;
    }
    impaired_close(&chain);
    sequence_close(&r, false);
    return ok;
}

void snr(OrvImpairments* m) { m->snr_enable = 1, m->snr_db = 20; }

void whole(OrvImpairments* m) {
    snr(m);
    m->iq_gain_db = 0.3, m->iq_phase_deg = 1;
    m->pa_enable = 1, m->pa_smoothness = 2, m->pa_backoff_db = 6;
    m->phase_noise_rms_deg = 1;
    m->cfo_ppm = 5, m->carrier_ghz = 2.4;
    m->clock_ppm = -40;
    m->multipath_rms_ns = 60, m->multipath_per_packet = 1;
}

const KeepCase kCases[] = {
    // No sample clock and no channel: straight from the first stages' blocks.
    {"amplifier alone odd pieces",
     [](OrvImpairments* m) { m->pa_enable = 1, m->pa_smoothness = 3, m->pa_backoff_db = 4; }, 777, false},
    {"iq and snr whole blocks", [](OrvImpairments* m) { snr(m), m->iq_gain_db = 1; }, kSequenceBlock, true},
    // The sample clock's blocks, pieces across their ends.
    {"clock alone odd pieces", [](OrvImpairments* m) { m->clock_ppm = 200; }, 1001, true},
    {"clock and snr single samples", [](OrvImpairments* m) { snr(m), m->clock_ppm = -300; }, 1, false},
    // The channel's step: one realisation for the file (double) and one per packet (single).
    {"channel for the file odd pieces", [](OrvImpairments* m) { snr(m), m->multipath_rms_ns = 100; }, 333, false},
    {"channel per packet odd pieces",
     [](OrvImpairments* m) { snr(m), m->multipath_rms_ns = 50, m->multipath_per_packet = 1; }, 13, false},
    {"channel per packet with clock",
     [](OrvImpairments* m) { m->multipath_rms_ns = 30, m->multipath_per_packet = 1, m->clock_ppm = 50; }, 5000,
     true},
    {"whole chain pieces longer than a block", whole, kSequenceBlock + 17, true},
    {"whole chain on the calling thread", whole, 2049, false},
};

class ImpairedChainKeep : public ::testing::TestWithParam<KeepCase> {};

TEST_P(ImpairedChainKeep, KeptIsTheChainRoundedToSingle) {
    const KeepCase& c = GetParam();
    Passes got;
    ASSERT_TRUE(run_passes(c, &got));
    ASSERT_GT(got.i.size(), 2u * kSequenceBlock);
    size_t differ = 0, first = 0, nonzero = 0;
    for (size_t k = 0; k < got.i.size(); ++k) {
        const float a = static_cast<float>(got.i[k]), b = static_cast<float>(got.q[k]);
        if (a != 0.0f || b != 0.0f) ++nonzero;
        if (std::memcmp(&a, &got.iq[2 * k], sizeof a) != 0 || std::memcmp(&b, &got.iq[2 * k + 1], sizeof b) != 0) {
            if (differ++ == 0) first = k;
        }
    }
    EXPECT_GT(nonzero, got.i.size() / 2);
    EXPECT_EQ(differ, 0u) << "first at sample " << first;
}

INSTANTIATE_TEST_SUITE_P(Chains, ImpairedChainKeep, ::testing::ValuesIn(kCases), orv_test::PrintedName{});

// The SNR's noise variance of the chain pass (the power summed by the first
// stages on the way) and of a level pass of its own: the same double, bit for
// bit (the power summed in the same order of sample), for every chain case.
TEST_P(ImpairedChainKeep, ChainPassPowerIsTheLevelPassPower) {
    const KeepCase& c = GetParam();
    const Source src(c.set, c.threads);
    if (src.m.snr_enable != 1) GTEST_SKIP() << "no SNR";
    double sigma2[2] = {-1.0, -2.0};
    for (int32_t deferred = 0; deferred < 2; ++deferred) {
        SequenceRun r{};
        ASSERT_EQ(sequence_open(&r, &src.p, src.packets.data(), 5, &src.s), 0);
        ImpairedRun chain{};
        ASSERT_EQ(impaired_open(&chain, &r, &src.m, deferred == 1), 0);
        EXPECT_EQ(chain.power_pending, deferred == 1);
        std::vector<double> block(2 * kSequenceBlock);
        if (deferred == 1) {
            std::vector<float> iq(2 * static_cast<size_t>(c.piece));
            for (int64_t at = 0; at < src.s.total; at += c.piece) {
                const int32_t n = src.s.total - at < c.piece ? static_cast<int32_t>(src.s.total - at) : c.piece;
                ASSERT_EQ(impaired_chain_keep(&chain, n, iq.data()), 0);
            }
            // The chain pass's sums over every packet, not a pass of their own
            // (read once the helper thread, which moves in_pos on, has stopped).
            impaired_stop(&chain);
            EXPECT_TRUE(chain.summing);
            EXPECT_GE(chain.in_pos, chain.ppdu_end[chain.count - 1]);
            ASSERT_EQ(impaired_settle_power(&chain, block.data(), block.data() + kSequenceBlock), 0);
        }
        sigma2[deferred] = chain.sigma2;
        impaired_close(&chain);
        sequence_close(&r, false);
    }
    EXPECT_GT(sigma2[0], 0.0);
    EXPECT_EQ(sigma2[1], sigma2[0]);
}

}  // namespace
