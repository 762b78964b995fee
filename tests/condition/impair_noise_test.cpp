// The stream noise of a sequence: blocks of four lanes, each lane its own
// xoshiro256** stream; any block made alone, in any order, in any pieces.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ostream>
#include <vector>

#include "impair_chain.h"
#include "impair_noise.h"
#include "support/readable_params.h"

namespace {

using Vec = std::vector<double>;

struct Noise {
    Vec i, q;
};

// The noise of samples first..first+n-1 added to zeros in calls of piece
// samples (the last one shorter).
Noise make(uint64_t seed, int64_t first, int32_t n, double sigma2, int32_t piece) {
    NoiseLanes g;
    noise_lanes_reset(&g, seed);
    Noise out{Vec(n, 0.0), Vec(n, 0.0)};
    for (int32_t k = 0; k < n; k += piece) {
        const int32_t m = n - k < piece ? n - k : piece;
        add_stream_noise(&g, first + k, m, sigma2, out.i.data() + k, out.q.data() + k);
    }
    return out;
}

// The definition, one sample at a time: sample j of block b from lane j % 4,
// a generator seeded for (seed, kStreamNoise, 4 b + j % 4), one complex
// deviate as add_complex_noise draws it.
Noise reference(uint64_t seed, int64_t first, int32_t n, double sigma2) {
    Noise out{Vec(n, 0.0), Vec(n, 0.0)};
    const int64_t last_block = (first + n - 1) / kNoiseBlock;
    for (int64_t b = first / kNoiseBlock; b <= last_block; ++b) {
        ImpairRng lane[4];
        for (int32_t l = 0; l < 4; ++l) impair_rng_seed(&lane[l], seed, kStreamNoise, 4 * b + l);
        for (int64_t s = b * kNoiseBlock; s < (b + 1) * kNoiseBlock && s < first + n; ++s) {
            double x = 0.0, y = 0.0;
            add_complex_noise(&lane[s % 4], 1, sigma2, &x, &y);
            if (s >= first) out.i[s - first] = x, out.q[s - first] = y;
        }
    }
    return out;
}

struct Span {
    const char* name;
    uint64_t seed;
    int64_t first;
    int32_t n;
    int32_t piece;  // samples per call
};

void PrintTo(const Span& s, std::ostream* os) { *os << s.name; }

const Span kSpans[] = {
    {"one sample", 3, 0, 1, 1},
    {"three samples from one", 3, 1, 3, 3},
    {"one block in one call", 5, 0, kNoiseBlock, kNoiseBlock},
    {"mid block across two blocks", 5, kNoiseBlock - 37, 1000, 1000},
    {"three blocks in odd pieces", 9, 2 * kNoiseBlock + 5, 3 * kNoiseBlock, 4099},
    {"pieces of one sample", 9, kNoiseBlock - 6, 13, 1},
    {"pieces of three", 21, 7, 301, 3},
    {"far block", 21, int64_t{1} << 33, 777, 100},
};

class StreamNoise : public ::testing::TestWithParam<Span> {};

TEST_P(StreamNoise, FollowsItsLanesDefinition) {
    const Span& s = GetParam();
    const Noise want = reference(s.seed, s.first, s.n, 0.02);
    const Noise got = make(s.seed, s.first, s.n, 0.02, s.piece);
    int32_t differ = 0;
    for (int32_t k = 0; k < s.n; ++k) differ += got.i[k] != want.i[k] || got.q[k] != want.q[k];
    EXPECT_EQ(differ, 0);
    EXPECT_NE(got.i[0], 0.0);
}

INSTANTIATE_TEST_SUITE_P(Cases, StreamNoise, ::testing::ValuesIn(kSpans), orv_test::PrintedName{});

// Blocks asked for out of order, and a call going back within a block, give
// the samples of one call over the whole span.
TEST(StreamNoiseOrder, BlocksInAnyOrderAndGoingBackGiveTheSameSamples) {
    const int32_t n = 3 * kNoiseBlock;
    const Noise whole = make(17, 0, n, 0.5, n);
    NoiseLanes g;
    noise_lanes_reset(&g, 17);
    Noise got{Vec(n, 0.0), Vec(n, 0.0)};
    const int64_t order[][2] = {{2 * kNoiseBlock, kNoiseBlock},
                                {0, 100},
                                {kNoiseBlock, kNoiseBlock},
                                {100, kNoiseBlock - 100}};
    for (const auto& o : order)
        add_stream_noise(&g, o[0], static_cast<int32_t>(o[1]), 0.5, got.i.data() + o[0], got.q.data() + o[0]);
    EXPECT_TRUE(got.i == whole.i);
    EXPECT_TRUE(got.q == whole.q);
    // Back to sample 50 of the first block after its end: the same draws again.
    Vec i(10, 0.0), q(10, 0.0);
    add_stream_noise(&g, 50, 10, 0.5, i.data(), q.data());
    for (int32_t k = 0; k < 10; ++k) {
        EXPECT_EQ(i[k], whole.i[50 + k]);
        EXPECT_EQ(q[k], whole.q[50 + k]);
    }
}

// White Gaussian noise of the asked variance: per channel half of it, no
// mean, I and Q of a sample (the two halves of one draw) uncorrelated, no
// correlation between neighbours (lanes one to four apart, and across a
// block's edge), the normal's tails beyond 1..4 sigma and its fourth moment.
TEST(StreamNoiseStatistics, WhiteGaussianOfTheAskedVariance) {
    const int32_t n = 2000000;
    const double sigma2 = 0.08;
    const Noise z = make(99, 5 * kNoiseBlock + 11, n, sigma2, n);
    double pi = 0, pq = 0, mi = 0, mq = 0, cross = 0, m4 = 0;
    double lag[6] = {};
    int64_t beyond[5] = {};
    const double sd = std::sqrt(sigma2 / 2);
    for (int32_t k = 0; k < n; ++k) {
        pi += z.i[k] * z.i[k];
        pq += z.q[k] * z.q[k];
        mi += z.i[k];
        mq += z.q[k];
        cross += z.i[k] * z.q[k];
        for (int32_t d = 1; d <= 5 && k >= d; ++d) lag[d] += z.i[k] * z.i[k - d] + z.q[k] * z.q[k - d];
        for (const double v : {z.i[k] / sd, z.q[k] / sd}) {
            m4 += v * v * v * v;
            for (int s = 1; s <= 4; ++s) beyond[s] += std::fabs(v) > s;
        }
    }
    // Standard errors: sqrt(2 / n) relative for a variance, 1 / sqrt(n) for a correlation.
    EXPECT_NEAR((pi + pq) / n / sigma2, 1.0, 0.005);
    EXPECT_NEAR(pi / pq, 1.0, 0.01);
    EXPECT_NEAR(mi / n, 0.0, 5 * std::sqrt(sigma2 / 2 / n));
    EXPECT_NEAR(mq / n, 0.0, 5 * std::sqrt(sigma2 / 2 / n));
    EXPECT_NEAR(cross / n / (sigma2 / 2), 0.0, 5 / std::sqrt(n));
    for (int32_t d = 1; d <= 5; ++d) EXPECT_NEAR(lag[d] / n / sigma2, 0.0, 5 / std::sqrt(n)) << "lag " << d;
    const double deviates = 2.0 * n;
    EXPECT_NEAR(m4 / deviates, 3.0, 0.03);
    for (int s = 1; s <= 4; ++s) {
        const double want = std::erfc(s / std::sqrt(2.0));
        EXPECT_NEAR(static_cast<double>(beyond[s]) / deviates, want, 5 * std::sqrt(want / deviates))
            << s << " sigma";
    }
}

// Different seeds and different blocks draw different noise.
TEST(StreamNoiseStatistics, SeedsAndBlocksDrawTheirOwnNoise) {
    const Noise a = make(1, 0, 4096, 1.0, 4096);
    const Noise seed2 = make(2, 0, 4096, 1.0, 4096);
    const Noise block1 = make(1, kNoiseBlock, 4096, 1.0, 4096);
    int32_t same_seed = 0, same_block = 0;
    for (int32_t k = 0; k < 4096; ++k) {
        same_seed += a.i[k] == seed2.i[k];
        same_block += a.i[k] == block1.i[k];
    }
    EXPECT_EQ(same_seed, 0);
    EXPECT_EQ(same_block, 0);
}

}  // namespace
