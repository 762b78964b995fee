// The internal entry that hands back the conditioned samples: they are the
// values the CSV writer gets in output mode 1, bit for bit, and the figures
// are those of the AWG file.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "noise.h"
#include "orvasynth.h"
#include "pipeline.h"
#include "support/library_writers.h"
#include "support/records.h"
#include "writers.h"

namespace {

struct Case {
    const char* name;
    void (*change)(WaveParams&);
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class Conditioned : public ::testing::TestWithParam<Case> {};

TEST_P(Conditioned, SamplesAreTheCsvWritersAndFiguresTheAwgFiles) {
    TempDir dir("conditioned");
    WaveParams p = valid_record();
    p.ofdm_symbols = 6;
    GetParam().change(p);
    WaveParams csv = p, awg = p;
    ASSERT_EQ(orv_11a_actual(&csv, 1, dir.file("a.csv").c_str()), 0);
    ASSERT_EQ(orv_11a_actual(&awg, 0, dir.file("a.awv").c_str()), 0);
    ConditionedSamples c;
    ASSERT_EQ(orv_11a_conditioned(&p, &c), 0);
    ASSERT_EQ(write_csv_file(dir.file("b.csv").c_str(), c.i, c.q, c.geometry.total), 0);
    EXPECT_EQ(read_file(dir.file("b.csv")), read_file(dir.file("a.csv")));
    EXPECT_EQ(c.papr, awg.papr);
    EXPECT_EQ(c.crest_i, awg.crest_i);
    EXPECT_EQ(c.crest_q, awg.crest_q);
    EXPECT_EQ(p.papr, awg.papr);
    EXPECT_GT(c.peak, 0.0);
    free_conditioned(&c);
    EXPECT_EQ(c.i, nullptr);
    EXPECT_EQ(c.q, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Records, Conditioned,
    ::testing::Values(
        Case{"plain", [](WaveParams&) {}},
        Case{"filter_and_freq_error",
             [](WaveParams& p) {
                 p.filter_cutoff = 9e6;
                 p.filter_rolloff = 0.3;
                 p.freq_error_enable = 1;
                 p.freq_error = 50e3;
                 p.oversampling = 7;
             }},
        Case{"free_if_gap_iq_inverse",
             [](WaveParams& p) {
                 p.frame_format = 1;
                 p.if_enable = 1;
                 p.if_freq = 20e6;
                 p.burst_enable = 1;
                 p.burst_off_time = 10e-6;
                 p.iq_inverse = 1;
             }},
        Case{"dc_and_sine",
             [](WaveParams& p) {
                 p.dc_offset_re = 2;
                 p.dc_offset_im = -1;
                 p.sine_enable = 1;
                 p.sine_freq = 3e6;
                 p.sine_level = -20;
             }}),
    [](const auto& tc) { return std::string(tc.param.name); });

// A refused record and a null record: nothing handed back, the mask returned.
TEST(Conditioned, RefusalsHandBackNothing) {
    WaveParams p = valid_record();
    p.oversampling = 0;
    ConditionedSamples c;
    EXPECT_EQ(static_cast<uint32_t>(orv_11a_conditioned(&p, &c)), ORV_INVALID | ORV_BAD_OVERSAMPLING);
    EXPECT_EQ(c.i, nullptr);
    EXPECT_EQ(static_cast<uint32_t>(orv_11a_conditioned(nullptr, &c)), ORV_INVALID);
    EXPECT_EQ(c.q, nullptr);
}

}  // namespace

namespace {

// What orv_11a_conditioned_blocks hands over, collected.
struct Collected {
    std::vector<double> i, q;
    int64_t next = 0;      // where the next block must start
    bool in_order = true;
    int32_t blocks = 0;
    int32_t refuse_after = -1;  // blocks to take before refusing; -1 takes all
};

bool collect(void* context, int64_t start, int32_t n, const double* i, const double* q) {
    Collected* c = static_cast<Collected*>(context);
    c->in_order = c->in_order && start == c->next && n > 0;
    c->next = start + n;
    c->i.insert(c->i.end(), i, i + n);
    c->q.insert(c->q.end(), q, q + n);
    ++c->blocks;
    return c->refuse_after < 0 || c->blocks < c->refuse_after;
}

bool same_bits(const std::vector<double>& a, const double* b, size_t n) {
    return a.size() == n && (n == 0 || std::memcmp(a.data(), b, n * sizeof(double)) == 0);
}

// The blocks are the samples orv_11a_conditioned keeps, bit for bit and in
// order (also when the writers' second thread makes them), with its figures, and the generator is left where it leaves it,
// also when the taker refuses after its first block (a noisy gap is drawn
// as the blocks go).
TEST(ConditionedBlocks, AreTheKeptSamples) {
    const Case cases[] = {
        {"noisy_gap_filtered",
         [](WaveParams& p) {
             p.burst_enable = 1;
             p.burst_off_time = 300e-6;
             p.noise_enable = 1;
             p.noise_level = -30;
             p.filter_cutoff = 8e6;
         }},
        {"gap_noise_above_peak",
         [](WaveParams& p) {
             p.burst_enable = 1;
             p.burst_off_time = 50e-6;
             p.noise_enable = 1;
             p.noise_level = 10;
         }},
        {"long_noisy_gap_two_threads",  // over 2^18 samples
         [](WaveParams& p) {
             p.burst_enable = 1;
             p.burst_off_time = 4e-3;
             p.noise_enable = 1;
             p.noise_level = -20;
         }},
        {"quiet_gap", [](WaveParams& p) {
             p.burst_enable = 1;
             p.burst_off_time = 20e-6;
         }},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        WaveParams p = valid_record();
        p.ofdm_symbols = 5;
        k.change(p);
        int32_t before[33], after[33], now[33];
        noise_table_copy(before);
        WaveParams whole = p;
        ConditionedSamples c;
        ASSERT_EQ(orv_11a_conditioned(&whole, &c), 0);
        noise_table_copy(after);
        const size_t total = static_cast<size_t>(c.geometry.total);
        ASSERT_GT(total, 1024u * 3);
        for (int32_t refuse : {-1, 1}) {
            noise_table_restore(before);
            WaveParams blocks = p;
            ConditionedSamples head;
            Collected got;
            got.refuse_after = refuse;
            ASSERT_EQ(orv_11a_conditioned_blocks(&blocks, &head, collect, &got), 0);
            noise_table_copy(now);
            EXPECT_EQ(std::memcmp(now, after, sizeof now), 0) << "refuse " << refuse;
            EXPECT_TRUE(got.in_order);
            EXPECT_EQ(head.i, nullptr);
            EXPECT_EQ(head.peak, c.peak);
            EXPECT_EQ(head.papr, c.papr);
            EXPECT_EQ(blocks.crest_q, whole.crest_q);
            if (refuse < 0) {
                EXPECT_TRUE(same_bits(got.i, c.i, total));
                EXPECT_TRUE(same_bits(got.q, c.q, total));
            } else {
                EXPECT_EQ(got.blocks, 1);
            }
        }
        free_conditioned(&c);
    }
}

}  // namespace
