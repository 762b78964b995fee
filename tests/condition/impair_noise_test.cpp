// The stream noise of a sequence: blocks of four lanes, each lane its own
// xoshiro256** stream; any block made alone, in any order, in any pieces.
#include <gtest/gtest.h>

#include <algorithm>
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
// a generator seeded for (seed, kStreamNoise, 4 b + j % 4), one 64-bit draw
// per sample made into its complex deviate.
Noise reference(uint64_t seed, int64_t first, int32_t n, double sigma2) {
    Noise out{Vec(n, 0.0), Vec(n, 0.0)};
    const float a = static_cast<float>(std::sqrt(sigma2 / 2));
    const int64_t last_block = (first + n - 1) / kNoiseBlock;
    for (int64_t b = first / kNoiseBlock; b <= last_block; ++b) {
        ImpairRng lane[4];
        for (int32_t l = 0; l < 4; ++l) impair_rng_seed(&lane[l], seed, kStreamNoise, 4 * b + l);
        for (int64_t s = b * kNoiseBlock; s < (b + 1) * kNoiseBlock && s < first + n; ++s) {
            float x, y;
            stream_normal_pair(impair_u64(&lane[s % 4]), &x, &y);
            if (s >= first) out.i[s - first] = static_cast<float>(a * x), out.q[s - first] = static_cast<float>(a * y);
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
    {"odd start, odd pieces over four blocks", 33, 3 * kNoiseBlock - 5, 4 * kNoiseBlock + 3, 1237},
    {"pieces of seven from lane three", 33, 3, 211, 7},
    {"pieces of nine", 41, 2, 500, 9},
    // The fastest loop's sixteens, then eights, then single samples, in every mix.
    {"sixteen exactly", 43, 0, 16, 16},
    {"sixteen eight and seven", 43, 4, 31, 31},
    {"two sixteens and one from lane one", 47, 1, 36, 36},
    {"pieces of twenty-five", 47, 3, 400, 25},
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

// The loops of processors without AVX-512 (eight samples with AVX2), without
// AVX2 (four samples with SSE2), and one by one give the fastest loop's bits,
// from any start in the lanes and for any length, over noise already there.
constexpr int32_t kLoops = 4;
const char* const kPaths[kLoops] = {"fastest loop", "four-sample loop", "plain loop", "eight-sample loop"};

TEST_P(StreamNoise, EveryLoopGivesTheSameBits) {
    const Span& s = GetParam();
    Noise got[kLoops];
    for (int32_t path = 0; path < kLoops; ++path) {
        NoiseLanes g;
        noise_lanes_reset(&g, s.seed);
        g.path = path;
        got[path] = Noise{Vec(s.n, 0.25), Vec(s.n, -0.5)};
        for (int32_t k = 0; k < s.n; k += s.piece) {
            const int32_t m = s.n - k < s.piece ? s.n - k : s.piece;
            add_stream_noise(&g, s.first + k, m, 0.3, got[path].i.data() + k, got[path].q.data() + k);
        }
    }
    int32_t moved = 0;
    for (int32_t k = 0; k < s.n; ++k) moved += got[0].i[k] != 0.25;
    EXPECT_EQ(moved, s.n);
    for (int32_t path = 1; path < kLoops; ++path) {
        int32_t differ = 0;
        for (int32_t k = 0; k < s.n; ++k) differ += got[0].i[k] != got[path].i[k] || got[0].q[k] != got[path].q[k];
        EXPECT_EQ(differ, 0) << kPaths[path];
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, StreamNoise, ::testing::ValuesIn(kSpans), orv_test::PrintedName{});

// Samples held as single-precision I, Q pairs get the sums of the widened
// samples and their noise rounded to single precision, on every loop.
TEST_P(StreamNoise, InterleavedSamplesGetTheWidenedSumsRounded) {
    const Span& s = GetParam();
    std::vector<float> base(2 * static_cast<size_t>(s.n));
    for (size_t k = 0; k < base.size(); ++k) base[k] = static_cast<float>(std::sin(0.37 * k)) * 0.7f;
    Noise widened{Vec(s.n), Vec(s.n)};
    for (int32_t k = 0; k < s.n; ++k) widened.i[k] = base[2 * k], widened.q[k] = base[2 * k + 1];
    NoiseLanes w;
    noise_lanes_reset(&w, s.seed);
    for (int32_t k = 0; k < s.n; k += s.piece) {
        const int32_t m = s.n - k < s.piece ? s.n - k : s.piece;
        add_stream_noise(&w, s.first + k, m, 0.1, widened.i.data() + k, widened.q.data() + k);
    }
    for (int32_t path = 0; path < kLoops; ++path) {
        std::vector<float> iq(base);
        NoiseLanes g;
        noise_lanes_reset(&g, s.seed);
        g.path = path;
        for (int32_t k = 0; k < s.n; k += s.piece) {
            const int32_t m = s.n - k < s.piece ? s.n - k : s.piece;
            add_stream_noise_iq(&g, s.first + k, m, 0.1, iq.data() + 2 * k);
        }
        int32_t differ = 0;
        for (int32_t k = 0; k < s.n; ++k)
            differ += iq[2 * k] != static_cast<float>(widened.i[k]) ||
                      iq[2 * k + 1] != static_cast<float>(widened.q[k]);
        EXPECT_EQ(differ, 0) << kPaths[path];
        EXPECT_NE(iq[0], base[0]);
    }
}

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

// One draw's deviates against Box and Muller's transform in double precision
// of the same u (hi + 0.5) 2^-32 rounded to single precision, as the noise
// takes it (so radii below 3e-4 come in steps): the polynomials for ln, sin
// and cos hold to about 1e-7 relative.
// (hi + 0.5) 2^-32 in single precision, both steps rounded.
double unit_of(uint32_t hi) { return (static_cast<float>(hi) + 0.5f) * 0x1.0p-32f; }

struct Draw {
    const char* name;
    uint32_t hi, lo;
};

void PrintTo(const Draw& d, std::ostream* os) { *os << d.name; }

const Draw kDraws[] = {
    {"smallest u, angle zero", 0u, 0u},
    {"largest u", 0xffffffffu, 0x12345678u},
    {"u one half, just below the first quadrant edge", 0x80000000u, 0x1fffffffu},
    {"at the first quadrant edge", 0x00000001u, 0x20000000u},
    {"a quarter turn", 0x40000000u, 0x40000000u},
    {"just below a quarter turn", 0x0000ffffu, 0x3fffffffu},
    {"half a turn", 0x00010000u, 0x80000000u},
    {"three quarters", 0x7fffffffu, 0xc0000000u},
    {"last step of the turn", 0x00000100u, 0xffffffffu},
    {"near the third edge", 0xfffe0000u, 0xdfffffffu},
};

class StreamNormalPair : public ::testing::TestWithParam<Draw> {};

TEST_P(StreamNormalPair, MatchesTheTransformInDouble) {
    const Draw& d = GetParam();
    float x, y;
    stream_normal_pair((static_cast<uint64_t>(d.hi) << 32) | d.lo, &x, &y);
    const double r = std::sqrt(-2 * std::log(unit_of(d.hi)));
    const double angle = 2 * M_PI * (d.lo + 0.5) * 0x1.0p-32;
    EXPECT_NEAR(x, r * std::cos(angle), 1e-6 * (1 + r));
    EXPECT_NEAR(y, r * std::sin(angle), 1e-6 * (1 + r));
}

INSTANTIATE_TEST_SUITE_P(Cases, StreamNormalPair, ::testing::ValuesIn(kDraws), orv_test::PrintedName{});

TEST(StreamNormalPairAccuracy, WithinAMillionthOverManyDraws) {
    ImpairRng g;
    impair_rng_seed(&g, 7, 99, 0);
    double worst = 0.0, r_max = 0.0;
    for (int32_t k = 0; k < 1000000; ++k) {
        const uint64_t draw = impair_u64(&g);
        float x, y;
        stream_normal_pair(draw, &x, &y);
        const double u = unit_of(static_cast<uint32_t>(draw >> 32));
        const double angle = 2 * M_PI * (static_cast<double>(draw & 0xffffffffu) + 0.5) * 0x1.0p-32;
        const double r = std::sqrt(-2 * std::log(u));
        const double e = std::max(std::fabs(x - r * std::cos(angle)), std::fabs(y - r * std::sin(angle)));
        worst = std::max(worst, e / (1 + r));
        r_max = std::max(r_max, r);
    }
    EXPECT_LT(worst, 1e-6);
    EXPECT_GT(r_max, 5.0);  // the draws reached the tail
}

// The deviates' distribution is the normal's: Kolmogorov-Smirnov over 10^6
// of them (D below its 0.1 % critical value 1.95 / sqrt(n)), and the
// fractions beyond 3 and 4 sigma.
TEST(StreamNoiseStatistics, DistributionIsNormal) {
    const int32_t pairs = 500000;
    const Noise z = make(2024, 7 * kNoiseBlock + 3, pairs, 2.0, pairs);  // unit variance per channel
    std::vector<double> v(z.i);
    v.insert(v.end(), z.q.begin(), z.q.end());
    std::sort(v.begin(), v.end());
    const double n = static_cast<double>(v.size());
    double d = 0.0;
    int64_t beyond3 = 0, beyond4 = 0;
    for (size_t k = 0; k < v.size(); ++k) {
        const double cdf = 0.5 * std::erfc(-v[k] / std::sqrt(2.0));
        d = std::max({d, std::fabs(cdf - k / n), std::fabs((k + 1) / n - cdf)});
        beyond3 += std::fabs(v[k]) > 3;
        beyond4 += std::fabs(v[k]) > 4;
    }
    EXPECT_LT(d, 1.95 / std::sqrt(n));
    const double want3 = std::erfc(3 / std::sqrt(2.0)), want4 = std::erfc(4 / std::sqrt(2.0));
    EXPECT_NEAR(beyond3 / n, want3, 5 * std::sqrt(want3 / n));
    EXPECT_NEAR(beyond4 / n, want4, 5 * std::sqrt(want4 / n));
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
