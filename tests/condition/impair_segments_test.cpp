// The phase-noise rotation's whole segments on AVX, four segments' phasors
// and powers made at a time: against the plain lanes bit for bit (samples and
// the process's state after every call), whatever the calls' sizes and
// starts, and with segment phasors both on and off the power series. The
// process's white samples in blocks against one deviate at a time.
#include "impair_chain.h"

#include "cpu_features.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ostream>
#include <vector>

#include "support/readable_params.h"

namespace {

using Vec = std::vector<double>;

struct SegmentCase {
    const char* name;
    double fs;
    double low_hz;    // the profile's lowest offset (sets the filter's length m)
    double top_hz;    // the profile's highest offset (sets the decimation)
    double level_db;  // the profile's level at 1 kHz
    double freq_hz;   // the carrier
    int32_t decimation;
    std::vector<int32_t> calls;  // the calls' sizes, in turn until the samples are done
};
void PrintTo(const SegmentCase& c, std::ostream* os) { *os << c.name; }
class PhaseNoiseSegments : public ::testing::TestWithParam<SegmentCase> {};

void open_case(const SegmentCase& c, PhaseNoise* pn) {
    const double f[] = {c.low_hz, c.top_hz / 10, c.top_hz};
    const double l[] = {c.level_db, c.level_db - 5, c.level_db - 25};
    ASSERT_EQ(phase_noise_open(pn, f, l, 3, c.fs, 23), 0);
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The samples a case runs: 40 runs of four segments, or (where the filter is
// short) enough for two of its steps, so that runs of four segments meet a
// step's end.
int32_t case_samples(const SegmentCase& c, const PhaseNoise& pn) {
    const int32_t steps = 2 * 2 * pn.m * c.decimation;
    return (steps <= (1 << 19) && steps > 160 * c.decimation ? steps : 160 * c.decimation) + 7;
}

// The state a later call starts from.
bool same_state(const PhaseNoise& a, const PhaseNoise& b) {
    return a.sub == b.sub && a.out_at == b.out_at && same_bits(a.prev, b.prev) && same_bits(a.next, b.next) &&
           same_bits(a.z.re, b.z.re) && same_bits(a.z.im, b.z.im) && same_bits(a.step.re, b.step.re) &&
           same_bits(a.step.im, b.step.im);
}

Vec signal(int32_t total, double rate) {
    Vec v(total);
    for (int32_t k = 0; k < total; ++k) v[k] = std::cos(rate * k + 0.01 * k * k) + (k % 23 == 0 ? 0.0 : 0.2);
    return v;
}

// The AVX segments against the plain lanes, call by call: the samples and
// the state after each call the same bits.
TEST_P(PhaseNoiseSegments, VectorSegmentsEqualThePlainLanes) {
#if ORV_X86_VECTORS
    if (!cpu_has_avx()) GTEST_SKIP() << "no AVX here";
#else
    GTEST_SKIP() << "no vector loops here";
#endif
    const SegmentCase c = GetParam();
    PhaseNoise vec, plain;
    open_case(c, &vec);
    open_case(c, &plain);
    ASSERT_EQ(vec.decimation, c.decimation);
    plain.no_avx = 1;
    const int32_t total = case_samples(c, vec);
    Vec vi = signal(total, 0.05), vq = signal(total, 0.3);
    Vec pi = vi, pq = vq;
    int32_t calls = 0, state_differs = 0, steps = 0;
    for (int32_t at = 0; at < total; ++calls) {
        const int32_t out_at = vec.out_at;
        const int32_t want = c.calls[static_cast<size_t>(calls) % c.calls.size()];
        const int32_t n = want < total - at ? want : total - at;
        phase_noise_rotate(&vec, n, at, c.freq_hz, c.fs, vi.data() + at, vq.data() + at);
        phase_noise_rotate(&plain, n, at, c.freq_hz, c.fs, pi.data() + at, pq.data() + at);
        state_differs += !same_state(vec, plain);
        steps += vec.out_at < out_at;
        at += n;
    }
    int32_t differ = 0, first = -1;
    for (int32_t k = 0; k < total; ++k) {
        const bool d = !same_bits(vi[k], pi[k]) || !same_bits(vq[k], pq[k]);
        if (d && first < 0) first = k;
        differ += d;
    }
    EXPECT_EQ(differ, 0) << "first at sample " << first;
    EXPECT_EQ(state_differs, 0) << "of " << calls << " calls";
    if (c.low_hz > 1e4) {
        EXPECT_GE(steps, 2) << "the filter's steps not reached";
    }
    phase_noise_close(&vec);
    phase_noise_close(&plain);
}

// Without a carrier the calls give one call's values bit for bit.
TEST_P(PhaseNoiseSegments, CallsGiveOneCallsValues) {
    SegmentCase c = GetParam();
    c.freq_hz = 0.0;
    PhaseNoise whole, parts;
    open_case(c, &whole);
    open_case(c, &parts);
    const int32_t total = case_samples(c, whole) - 2;
    Vec wi = signal(total, 0.07), wq = signal(total, 0.2);
    Vec pi = wi, pq = wq;
    phase_noise_rotate(&whole, total, 0, 0.0, c.fs, wi.data(), wq.data());
    for (int32_t at = 0, calls = 0; at < total; ++calls) {
        const int32_t want = c.calls[static_cast<size_t>(calls) % c.calls.size()];
        const int32_t n = want < total - at ? want : total - at;
        phase_noise_rotate(&parts, n, at, 0.0, c.fs, pi.data() + at, pq.data() + at);
        at += n;
    }
    EXPECT_EQ(std::memcmp(wi.data(), pi.data(), wi.size() * sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(wq.data(), pq.data(), wq.size() * sizeof(double)), 0);
    EXPECT_TRUE(same_state(whole, parts));
    phase_noise_close(&whole);
    phase_noise_close(&parts);
}

// The strong cases' process crosses 1/16 rad, so that four segments' first
// phasors mix the power series with cos and sin (each lane its own way).
TEST_P(PhaseNoiseSegments, StrongCasesMixSeriesAndCosSinLanes) {
    const SegmentCase c = GetParam();
    if (c.level_db < -55) GTEST_SKIP() << "a weak case";
    PhaseNoise pn;
    open_case(c, &pn);
    const int32_t total = 160 * c.decimation;
    Vec phase(total);
    phase_noise_next(&pn, total, phase.data());
    int32_t beyond = 0, within = 0;
    for (int32_t k = 0; k < total; k += c.decimation) (std::fabs(phase[k]) > 0.0625 ? beyond : within) += 1;
    EXPECT_GT(beyond, 10);
    EXPECT_GT(within, 10);
    phase_noise_close(&pn);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PhaseNoiseSegments,
    ::testing::Values(
        SegmentCase{"decimation 16 calls of four segments", 160e6, 1e3, 1e6, -70, 312500, 16, {64}},
        SegmentCase{"decimation 16 a sample either side of four segments", 160e6, 1e3, 1e6, -70, -1e6, 16, {65, 63, 1}},
        SegmentCase{"decimation 16 strong noise calls of 1000 and 255", 160e6, 1e3, 1e6, -53, 2e6, 16, {1000, 255}},
        SegmentCase{"decimation 8 odd starts", 80e6, 1e3, 1e6, -70, 58000, 8, {3, 37, 129, 5}},
        SegmentCase{"decimation 8 strong noise eight segments and two samples", 80e6, 1e3, 1e6, -53, 1e6, 8, {66}},
        SegmentCase{"decimation 4 strong noise lone samples and batches", 40e6, 1e3, 1e6, -53, 0, 4, {1, 17, 33, 2}},
        SegmentCase{"decimation 64 nine segments and three samples", 80e6, 1e3, 1e5, -60, -3e6, 64, {579}},
        SegmentCase{"decimation 64 strong noise a segment short of four", 80e6, 1e3, 1e5, -53, 3e6, 64, {191, 4096}},
        SegmentCase{"decimation 16 short filter calls of 4097", 160e6, 7e4, 1e6, -60, 1e6, 16, {4097}},
        SegmentCase{"decimation 8 short filter odd calls", 80e6, 7e4, 1e6, -60, -2e6, 8, {333, 1, 70}},
        SegmentCase{"decimation 4 short filter calls of 16 to 17", 40e6, 9e4, 1e6, -60, 5e5, 4, {16, 17}}),
    orv_test::PrintedName{});

// ---- White samples in blocks ----------------------------------------------------

struct NormalsCase {
    const char* name;
    int32_t n;
    uint64_t seed;
    int32_t tail_at_least;  // deviates beyond the ziggurat's base strip (3.44), to take its slow path
};
void PrintTo(const NormalsCase& c, std::ostream* os) { *os << c.name; }
class ImpairNormals : public ::testing::TestWithParam<NormalsCase> {};

// impair_normals gives impair_normal's values one after another, and leaves
// the stream where those calls leave it.
TEST_P(ImpairNormals, BlockEqualsOneDeviateAtATime) {
    const NormalsCase c = GetParam();
    ImpairRng block, single;
    impair_rng_seed(&block, c.seed, 3, 0);
    impair_rng_seed(&single, c.seed, 3, 0);
    Vec got(static_cast<size_t>(c.n) + 1, 7.0);
    impair_normals(&block, c.n, got.data());
    int32_t differ = 0, tail = 0;
    for (int32_t k = 0; k < c.n; ++k) {
        const double want = impair_normal(&single);
        differ += !same_bits(got[k], want);
        tail += std::fabs(want) > 3.442619855899;
    }
    EXPECT_EQ(differ, 0);
    EXPECT_EQ(got[c.n], 7.0) << "wrote past n";
    EXPECT_GE(tail, c.tail_at_least);
    EXPECT_EQ(impair_u64(&block), impair_u64(&single)) << "the stream moved on differently";
}

INSTANTIATE_TEST_SUITE_P(Cases, ImpairNormals,
                         ::testing::Values(NormalsCase{"none", 0, 1, 0}, NormalsCase{"one", 1, 2, 0},
                                           NormalsCase{"seven", 7, 3, 0},
                                           NormalsCase{"a filter step of 4096", 4096, 4, 0},
                                           NormalsCase{"300000 with tails", 300000, 5, 50}),
                         orv_test::PrintedName{});

}  // namespace
