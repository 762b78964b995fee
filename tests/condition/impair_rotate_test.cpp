// The phase-noise rotation four samples at a time (decimations of 4 and up):
// against the exact rotation by the process's phases, the AVX lanes against
// the plain lanes, and its values whatever the calls' sizes.
#include "impair_chain.h"

#include "cpu_features.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <numbers>
#include <ostream>
#include <vector>

#include "support/readable_params.h"

namespace {

using Vec = std::vector<double>;
constexpr double kPi = std::numbers::pi;

struct GroupCase {
    const char* name;
    double fs;
    double top_hz;    // the profile's highest offset (sets the decimation)
    double level_db;  // the profile's level at 1 kHz
    double freq_hz;   // the carrier, whole hertz
    int32_t chunk;    // the largest call; calls of chunk, chunk - 1, ... 1 in turn
    int32_t decimation;
};
void PrintTo(const GroupCase& c, std::ostream* os) { *os << c.name; }
class PhaseNoiseGroups : public ::testing::TestWithParam<GroupCase> {};

// The process, opened for the case.
void open_case(const GroupCase& c, PhaseNoise* pn) {
    const double f[] = {1e3, c.top_hz / 10, c.top_hz};
    const double l[] = {c.level_db, c.level_db - 5, c.level_db - 25};
    ASSERT_EQ(phase_noise_open(pn, f, l, 3, c.fs, 11), 0);
}

// Samples 0 .. total-1 rotated in calls of uneven size.
void rotate_in_calls(PhaseNoise* pn, const GroupCase& c, Vec* i, Vec* q) {
    const int32_t total = static_cast<int32_t>(i->size());
    for (int32_t at = 0, turn = 0; at < total; ++turn) {
        const int32_t n = std::min(total - at, c.chunk - turn % c.chunk);
        phase_noise_rotate(pn, n, at, c.freq_hz, c.fs, i->data() + at, q->data() + at);
        at += n;
    }
}

// Every sample is x e^(j (2 pi f k / fs + phase[k])) with phase from
// phase_noise_next: the segment's first phasor is exact (a power series or
// cos and sin), the powers of the step and the carrier's lanes carry a few
// ulp a product over at most 4096 / 4 products, so well under 1e-12. A wrong
// lane, power or segment start errs by 1e-6 or more.
TEST_P(PhaseNoiseGroups, EqualsTheExactRotationByTheProcessPhases) {
    const GroupCase c = GetParam();
    PhaseNoise a, b;
    open_case(c, &a);
    open_case(c, &b);
    ASSERT_EQ(a.decimation, c.decimation);
    const int32_t total = 1 << 18;
    Vec phase(total), i(total), q(total);
    phase_noise_next(&b, total, phase.data());
    for (int32_t k = 0; k < total; ++k) {
        i[k] = std::cos(0.001 * k) + 0.5;
        q[k] = std::sin(0.37 * k);
    }
    const Vec i0 = i, q0 = q;
    rotate_in_calls(&a, c, &i, &q);
    const int64_t f_hz = std::llround(c.freq_hz), fs_hz = std::llround(c.fs);
    double worst = 0.0, biggest_phase = 0.0;
    for (int32_t k = 0; k < total; ++k) {
        const int64_t m = ((f_hz * k) % fs_hz + fs_hz) % fs_hz;
        const double carrier = 2 * kPi * static_cast<double>(m) / c.fs;
        const std::complex<double> want = std::complex<double>(i0[k], q0[k]) * std::polar(1.0, carrier + phase[k]);
        worst = std::max(worst, std::abs(std::complex<double>(i[k], q[k]) - want));
        biggest_phase = std::max(biggest_phase, std::fabs(phase[k]));
    }
    // Each call's carrier start takes the fractional part of f at / fs turns in
    // long double; where that is no wider than double at run time (valgrind
    // computes long doubles as doubles, some compilers make them doubles) the
    // start keeps it to an ulp of the turn count only, up to 2 pi |f| total / fs
    // ulp of one more (twice that allowed).
    volatile long double probe = 1.0L;
    probe = probe + 0x1p-60L;
    const bool wide = probe != 1.0L;
    const double turns = std::fabs(c.freq_hz) * total / c.fs;
    const double start_error = wide ? 0.0 : 2.0 * 2 * kPi * turns * std::numeric_limits<double>::epsilon();
    EXPECT_LT(worst, 1e-12 + start_error);
    EXPECT_GT(biggest_phase, 1e-3);  // the process is there to be followed
    phase_noise_close(&a);
    phase_noise_close(&b);
}

// The AVX lanes give the plain lanes' values bit for bit.
TEST_P(PhaseNoiseGroups, VectorLanesEqualThePlainLanes) {
#if ORV_X86_VECTORS
    if (!cpu_has_avx()) GTEST_SKIP() << "no AVX here";
#else
    GTEST_SKIP() << "no vector loops here";
#endif
    const GroupCase c = GetParam();
    PhaseNoise vec, plain;
    open_case(c, &vec);
    open_case(c, &plain);
    plain.no_avx = 1;
    const int32_t total = 20000;
    Vec vi(total), vq(total);
    for (int32_t k = 0; k < total; ++k) {
        vi[k] = k % 19 == 0 ? -0.0 : std::cos(0.05 * k) + 0.1;
        vq[k] = std::sin(0.02 * k * k);
    }
    Vec pi = vi, pq = vq;
    rotate_in_calls(&vec, c, &vi, &vq);
    rotate_in_calls(&plain, c, &pi, &pq);
    int32_t differ = 0;
    for (int32_t k = 0; k < total; ++k)
        differ += std::memcmp(&vi[k], &pi[k], sizeof(double)) != 0 || std::memcmp(&vq[k], &pq[k], sizeof(double)) != 0;
    EXPECT_EQ(differ, 0);
    phase_noise_close(&vec);
    phase_noise_close(&plain);
}

// Without a carrier, calls of any size give the values of one call bit for
// bit (the lone samples at the calls' ends take the lanes' operations).
TEST_P(PhaseNoiseGroups, CallsOfAnySizeGiveOneCallsValues) {
    GroupCase c = GetParam();
    c.freq_hz = 0.0;
    PhaseNoise whole, parts;
    open_case(c, &whole);
    open_case(c, &parts);
    const int32_t total = 20000;
    Vec wi(total), wq(total);
    for (int32_t k = 0; k < total; ++k) {
        wi[k] = std::cos(0.05 * k) + 0.1;
        wq[k] = std::sin(0.02 * k * k);
    }
    Vec pi = wi, pq = wq;
    phase_noise_rotate(&whole, total, 0, 0.0, c.fs, wi.data(), wq.data());
    rotate_in_calls(&parts, c, &pi, &pq);
    int32_t differ = 0;
    for (int32_t k = 0; k < total; ++k)
        differ += std::memcmp(&wi[k], &pi[k], sizeof(double)) != 0 || std::memcmp(&wq[k], &pq[k], sizeof(double)) != 0;
    EXPECT_EQ(differ, 0);
    phase_noise_close(&whole);
    phase_noise_close(&parts);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PhaseNoiseGroups,
    ::testing::Values(
        GroupCase{"decimation 8 carrier 58 kHz calls to 4096", 80e6, 1e6, -70, 58000, 4096, 8},
        GroupCase{"decimation 16 carrier minus 1 MHz calls to 7", 160e6, 1e6, -70, -1e6, 7, 16},
        GroupCase{"decimation 16 strong noise calls to 1000", 160e6, 1e6, -45, 312500, 1000, 16},
        GroupCase{"decimation 64 carrier 3 MHz calls to 13", 80e6, 1e5, -70, 3e6, 13, 64},
        GroupCase{"decimation 4 strong noise calls to 3", 40e6, 1e6, -45, 0, 3, 4},
        GroupCase{"decimation 4 carrier 2 MHz calls to 777", 40e6, 1e6, -45, 2e6, 777, 4},
        GroupCase{"decimation 64 carrier minus 3 MHz calls to 5000", 80e6, 1e5, -60, -3e6, 5000, 64}),
    orv_test::PrintedName{});

// Below a decimation of 4 the phasor is turned sample by sample and
// renormalised at each segment's end: without a carrier, calls of any size
// give one call's values bit for bit there too.
TEST(PhaseNoiseSamples, CallsOfAnySizeGiveOneCallsValues) {
    const GroupCase base{"decimation 2", 80e6, 4e6, -70, 0, 1, 2};
    for (const int32_t chunk : {1, 2, 3, 5, 64}) {
        GroupCase c = base;
        c.chunk = chunk;
        PhaseNoise whole, parts;
        open_case(c, &whole);
        open_case(c, &parts);
        ASSERT_EQ(whole.decimation, 2);
        const int32_t total = 5000;
        Vec wi(total), wq(total);
        for (int32_t k = 0; k < total; ++k) {
            wi[k] = std::cos(0.05 * k) + 0.1;
            wq[k] = std::sin(0.02 * k * k);
        }
        Vec pi = wi, pq = wq;
        phase_noise_rotate(&whole, total, 0, 0.0, c.fs, wi.data(), wq.data());
        rotate_in_calls(&parts, c, &pi, &pq);
        EXPECT_EQ(std::memcmp(wi.data(), pi.data(), wi.size() * sizeof(double)), 0) << "calls up to " << chunk;
        EXPECT_EQ(std::memcmp(wq.data(), pq.data(), wq.size() * sizeof(double)), 0) << "calls up to " << chunk;
        phase_noise_close(&whole);
        phase_noise_close(&parts);
    }
}

}  // namespace
