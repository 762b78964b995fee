// The impairment stages' fast arithmetic against the plain formulas it stands
// in for: the Rapp gain without pow, the recursive carrier phasor, the
// overlap-save channel against direct convolution, the resampler's polyphase
// table against the windowed sinc evaluated at the exact position.
#include "impair_chain.h"

#include "cpu_features.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <iterator>
#include <numbers>
#include <ostream>
#include <string>
#include <vector>

#include "support/readable_params.h"

namespace {

using Vec = std::vector<double>;
constexpr double kPi = std::numbers::pi;

// ---- Rapp gain ----------------------------------------------------------------

struct RootCase {
    int32_t e;
    double base;
};
void PrintTo(const RootCase& c, std::ostream* os) {
    *os << "e " << c.e << " base ";
    if (c.base > 1.0 && c.base < 1.001) *os << "1 + " << c.base - 1.0;
    else if (c.base > 1.999 && c.base < 2.0) *os << "2 - " << 2.0 - c.base;
    else *os << c.base;
}
class RappInverseRoot : public ::testing::TestWithParam<RootCase> {};

// base^(-1/e) within ten ulp of pow, from 1 (no compression) across 2 (where
// the cubic's guess hands over to the bits' guess) to far beyond saturation
// (where the iteration hands over to pow) and infinity.
TEST_P(RappInverseRoot, EqualsPowWithinAFewUlp) {
    const RootCase c = GetParam();
    const double want = std::pow(c.base, -1.0 / c.e);
    const double got = rapp_inverse_root(c.base, c.e);
    if (want == 0.0) {
        EXPECT_EQ(got, 0.0);
    } else {
        EXPECT_NEAR(got / want, 1.0, 2e-15);
    }
}

std::vector<RootCase> root_cases() {
    std::vector<RootCase> cases;
    for (const int32_t e : {1, 3, 5, 6, 7, 9, 12, 16})
        for (const double b : {1.0, 1.0 + 0x1p-52, 1.0 + 1e-9, 1.3, 1.5, 2.0 - 0x1p-52, 2.0, 7.5, 1e3, 1e12, 9.9e29, 1e31,
                               static_cast<double>(INFINITY)})
            cases.push_back({e, b});
    return cases;
}
INSTANTIATE_TEST_SUITE_P(Cases, RappInverseRoot, ::testing::ValuesIn(root_cases()),
                         orv_test::PrintedName{});

struct RappFastCase {
    double p;
    int32_t whole;  // rapp_whole_exponent(p)
};
void PrintTo(const RappFastCase& c, std::ostream* os) { *os << "p " << c.p; }
class RappFast : public ::testing::TestWithParam<RappFastCase> {};

// Every sample's gain as the pow formula gives it, over 1e-6 .. 1e6 of A_sat
// and zero; which smoothness values take the pow-free path.
TEST_P(RappFast, GainEqualsThePowFormula) {
    const RappFastCase c = GetParam();
    EXPECT_EQ(rapp_whole_exponent(c.p), c.whole);
    const double a_sat = 0.37;
    const int32_t n = 1201;
    Vec i(n), q(n);
    for (int32_t k = 0; k < n; ++k) {
        const double mag = k == 0 ? 0.0 : a_sat * std::pow(10.0, -6.0 + 12.0 * k / (n - 1));
        i[k] = mag * std::cos(0.7 * k);
        q[k] = mag * std::sin(0.7 * k);
    }
    Vec yi = i, yq = q;
    rapp_amplify(n, a_sat, c.p, yi.data(), yq.data());
    EXPECT_EQ(yi[0], 0.0);
    EXPECT_EQ(yq[0], 0.0);
    for (int32_t k = 1; k < n; ++k) {
        const double r2 = (i[k] * i[k] + q[k] * q[k]) / (a_sat * a_sat);
        const double g = std::pow(1.0 + std::pow(r2, c.p), -1.0 / (2.0 * c.p));
        EXPECT_NEAR(yi[k], g * i[k], 4e-15 * std::fabs(g * i[k]) + 1e-300) << k;
        EXPECT_NEAR(yq[k], g * q[k], 4e-15 * std::fabs(g * q[k]) + 1e-300) << k;
    }
}

// A block takes the vector kernel where the processor has one, a lone sample
// the scalar one: the gains must agree bit for bit (every lane, the zeros and
// the samples beyond the iteration's range among them).
TEST_P(RappFast, BlockEqualsSampleBySample) {
    const RappFastCase c = GetParam();
    const double a_sat = 0.9;
    const int32_t n = 1003;
    Vec i(n), q(n);
    for (int32_t k = 0; k < n; ++k) {
        const double mag = k % 97 == 5 ? 0.0 : a_sat * std::pow(10.0, -4.0 + 8.0 * ((k * 37) % n) / n);
        i[k] = mag * std::cos(1.3 * k);
        q[k] = mag * std::sin(1.3 * k);
    }
    Vec bi = i, bq = q;
    rapp_amplify(n, a_sat, c.p, bi.data(), bq.data());
    int32_t differ = 0;
    for (int32_t k = 0; k < n; ++k) {
        double si = i[k], sq = q[k];
        rapp_amplify(1, a_sat, c.p, &si, &sq);
        differ += si != bi[k] || sq != bq[k];
    }
    EXPECT_EQ(differ, 0);
}

// The amplifier from a source buffer into another gives the in-place
// amplifier's samples bit for bit and leaves the source as it was (every
// kernel: the vector blocks, a block redone by the scalar kernel for a lane
// beyond the iteration's range, the tail, the zeros).
TEST_P(RappFast, FromSourceEqualsInPlace) {
    const RappFastCase c = GetParam();
    const double a_sat = 0.9;
    const int32_t n = 1003;
    Vec i(n), q(n);
    for (int32_t k = 0; k < n; ++k) {
        const double mag = k % 97 == 5 ? 0.0 : a_sat * std::pow(10.0, -4.0 + 8.0 * ((k * 37) % n) / n);
        i[k] = mag * std::cos(1.3 * k);
        q[k] = mag * std::sin(1.3 * k);
    }
    Vec bi = i, bq = q;
    rapp_amplify(n, a_sat, c.p, bi.data(), bq.data());
    const Vec xi = i, xq = q;
    Vec yi(n, -1.0), yq(n, -1.0);
    rapp_amplify_from(n, a_sat, c.p, xi.data(), xq.data(), yi.data(), yq.data());
    int32_t differ = 0, moved = 0;
    for (int32_t k = 0; k < n; ++k) {
        differ += yi[k] != bi[k] || yq[k] != bq[k] || std::signbit(yi[k]) != std::signbit(bi[k]);
        moved += xi[k] != i[k] || xq[k] != q[k];
    }
    EXPECT_EQ(differ, 0);
    EXPECT_EQ(moved, 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, RappFast,
                         ::testing::Values(RappFastCase{0.5, 1}, RappFastCase{1.0, 2},
                                           RappFastCase{1.5, 3}, RappFastCase{2.0, 4},
                                           RappFastCase{3.0, 6}, RappFastCase{3.5, 7},
                                           RappFastCase{5.0, 10}, RappFastCase{8.0, 16},
                                           RappFastCase{0.3, 0}, RappFastCase{2.25, 0},
                                           RappFastCase{8.5, 0}, RappFastCase{12.0, 0}),
                         orv_test::PrintedName{});

// ---- Amplifier, IQ stage and power in one pass -------------------------------

struct RappIqCase {
    double p;
    bool iq;    // with the IQ matrix
    int32_t n;  // samples: a lone one, one vector block, a block and a tail, 32 + 16 + 9, many
};
void PrintTo(const RappIqCase& c, std::ostream* os) {
    *os << "p " << c.p << (c.iq ? " iq" : " no iq") << " n " << c.n;
}
class RappIqSum : public ::testing::TestWithParam<RappIqCase> {};

std::vector<RappIqCase> rapp_iq_cases() {
    // 2p = 1, 2, 3, 4, 6, 13, 16 (the gain at 1 + u == 1 taken as it comes or
    // selected), and 2p not whole (pow).
    const double ps[] = {0.5, 1.0, 1.5, 2.0, 3.0, 6.5, 8.0, 2.25};
    const int32_t ns[] = {1, 16, 17, 57, 1003};
    std::vector<RappIqCase> cases;
    for (double p : ps)
        for (bool iq : {false, true})
            for (int32_t n : ns) cases.push_back({p, iq, n});
    return cases;
}

// n samples whose envelopes, scattered over the blocks, take every path of the
// gain: zero (either sign), so small that 1 + (|x| / a_sat)^2p is exactly 1,
// below and above saturation, beyond the iteration's range, overflowing |x|^2.
void mixed_envelopes(int32_t n, double a_sat, Vec* i, Vec* q) {
    const double levels[] = {0.0, 1e-12, 1e-9, 1e-6, 1e-3, 0.05, 0.3, 0.7, 0.95,
                             1.0, 1.2,   2.0,  5.0,  1e3,  1e8,  1e31, 1e160};
    const int32_t count = static_cast<int32_t>(std::size(levels));
    i->assign(n, 0.0);
    q->assign(n, 0.0);
    for (int32_t k = 0; k < n; ++k) {
        const double mag = a_sat * levels[(7 * k + k / count) % count];
        (*i)[k] = mag * std::cos(0.9 * k + 0.2);
        (*q)[k] = k % 11 == 3 ? -0.0 : mag * std::sin(0.9 * k + 0.2);
    }
}

// Bit for bit (the sign of a zero, a NaN's bits).
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The one pass (with the power and without) equals, bit for bit, both the
// separate passes over the block and the amplifier and IQ matrix sample by
// sample with the power added in order; the source stays as it was.
TEST_P(RappIqSum, EqualsTheSeparatePasses) {
    const RappIqCase c = GetParam();
    const double a_sat = 0.8, start = 0.25;
    IqImbalance m;
    iq_imbalance_setup(0.7, -3.0, &m);
    const IqImbalance* mp = c.iq ? &m : nullptr;
    Vec xi, xq;
    mixed_envelopes(c.n, a_sat, &xi, &xq);
    const Vec xi0 = xi, xq0 = xq;

    Vec yi(c.n, -1.0), yq(c.n, -1.0);
    const double power = rapp_iq_sum(c.n, a_sat, c.p, mp, xi.data(), xq.data(), yi.data(), yq.data(), start);
    Vec zi(c.n, -1.0), zq(c.n, -1.0);
    rapp_iq(c.n, a_sat, c.p, mp, xi.data(), xq.data(), zi.data(), zq.data());

    Vec pi(c.n), pq(c.n);
    rapp_amplify_from(c.n, a_sat, c.p, xi0.data(), xq0.data(), pi.data(), pq.data());
    double passes = start;
    if (c.iq) {
        passes = iq_imbalance_apply_sum(&m, c.n, pi.data(), pq.data(), start);
    } else {
        for (int32_t k = 0; k < c.n; ++k) passes += pi[k] * pi[k] + pq[k] * pq[k];
    }

    double lone = start;
    int32_t differ_passes = 0, differ_lone = 0, differ_no_sum = 0, moved = 0;
    for (int32_t k = 0; k < c.n; ++k) {
        double si = xi0[k], sq = xq0[k];
        rapp_amplify(1, a_sat, c.p, &si, &sq);
        if (c.iq) iq_imbalance_apply(&m, 1, &si, &sq);
        lone += si * si + sq * sq;
        differ_passes += !same_bits(yi[k], pi[k]) || !same_bits(yq[k], pq[k]);
        differ_lone += !same_bits(yi[k], si) || !same_bits(yq[k], sq);
        differ_no_sum += !same_bits(zi[k], si) || !same_bits(zq[k], sq);
        moved += !same_bits(xi[k], xi0[k]) || !same_bits(xq[k], xq0[k]);
    }
    EXPECT_EQ(differ_passes, 0);
    EXPECT_EQ(differ_lone, 0);
    EXPECT_EQ(differ_no_sum, 0);
    EXPECT_EQ(moved, 0);
    EXPECT_TRUE(same_bits(power, passes)) << power << " " << passes;
    EXPECT_TRUE(same_bits(power, lone)) << power << " " << lone;
}

// Each vector loop (AVX-512F blocks of 32, AVX blocks of 16, where the
// processor has them) gives the plain loop's samples and power bit for bit,
// with the power and without.
TEST_P(RappIqSum, EveryLoopGivesThePlainLoopsBits) {
    const RappIqCase c = GetParam();
    const double a_sat = 0.6;
    IqImbalance m;
    iq_imbalance_setup(1.1, 5.0, &m);
    const IqImbalance* mp = c.iq ? &m : nullptr;
    Vec xi, xq;
    mixed_envelopes(c.n, a_sat, &xi, &xq);
    Vec pi(c.n), pq(c.n), ni(c.n), nq(c.n);
    const double plain = rapp_iq_sum_with(kRappPlain, c.n, a_sat, c.p, mp, xi.data(), xq.data(), pi.data(),
                                          pq.data(), 0.5);
    rapp_iq_with(kRappPlain, c.n, a_sat, c.p, mp, xi.data(), xq.data(), ni.data(), nq.data());
    for (const int32_t loop : {kRappAvx, kRappAvx512}) {
        Vec yi(c.n, -1.0), yq(c.n, -1.0), zi(c.n, -1.0), zq(c.n, -1.0);
        const double power =
            rapp_iq_sum_with(loop, c.n, a_sat, c.p, mp, xi.data(), xq.data(), yi.data(), yq.data(), 0.5);
        rapp_iq_with(loop, c.n, a_sat, c.p, mp, xi.data(), xq.data(), zi.data(), zq.data());
        int32_t differ = 0, differ_no_sum = 0;
        for (int32_t k = 0; k < c.n; ++k) {
            differ += !same_bits(yi[k], pi[k]) || !same_bits(yq[k], pq[k]);
            differ_no_sum += !same_bits(zi[k], ni[k]) || !same_bits(zq[k], nq[k]);
        }
        EXPECT_EQ(differ, 0) << "loop " << loop;
        EXPECT_EQ(differ_no_sum, 0) << "loop " << loop;
        EXPECT_TRUE(same_bits(power, plain)) << "loop " << loop << ": " << power << " " << plain;
    }
}

// In place (the source is the output) the same samples and power as from a
// copy, with the power and without.
TEST_P(RappIqSum, InPlaceEqualsFromACopy) {
    const RappIqCase c = GetParam();
    const double a_sat = 1.3;
    IqImbalance m;
    iq_imbalance_setup(-1.5, 4.0, &m);
    const IqImbalance* mp = c.iq ? &m : nullptr;
    Vec i, q;
    mixed_envelopes(c.n, a_sat, &i, &q);
    const Vec xi = i, xq = q;
    Vec yi(c.n), yq(c.n);
    const double from = rapp_iq_sum(c.n, a_sat, c.p, mp, xi.data(), xq.data(), yi.data(), yq.data(), 0.0);
    Vec ni = xi, nq = xq;
    const double in_place = rapp_iq_sum(c.n, a_sat, c.p, mp, i.data(), q.data(), i.data(), q.data(), 0.0);
    rapp_iq(c.n, a_sat, c.p, mp, ni.data(), nq.data(), ni.data(), nq.data());
    int32_t differ = 0, differ_no_sum = 0;
    for (int32_t k = 0; k < c.n; ++k) {
        differ += !same_bits(i[k], yi[k]) || !same_bits(q[k], yq[k]);
        differ_no_sum += !same_bits(ni[k], yi[k]) || !same_bits(nq[k], yq[k]);
    }
    EXPECT_EQ(differ, 0);
    EXPECT_EQ(differ_no_sum, 0);
    EXPECT_TRUE(same_bits(from, in_place));
}

INSTANTIATE_TEST_SUITE_P(Cases, RappIqSum, ::testing::ValuesIn(rapp_iq_cases()), orv_test::PrintedName{});

// An envelope so far below saturation that 1 + (|x| / a_sat)^2p rounds to 1
// keeps its exact value in a vector block, for every whole 2p (the scalar
// kernel's gain of exactly 1 there).
TEST(RappIqSum, TinyEnvelopeKeepsItsValue) {
    const int32_t n = 37;
    for (int32_t e = 1; e <= 16; ++e) {
        Vec i(n), q(n);
        for (int32_t k = 0; k < n; ++k) {
            i[k] = 1e-17 * std::cos(0.3 * k + 0.1);
            q[k] = 1e-17 * std::sin(0.3 * k + 0.1);
        }
        Vec yi(n), yq(n);
        rapp_iq_sum(n, 1.0, 0.5 * e, nullptr, i.data(), q.data(), yi.data(), yq.data(), 0.0);
        Vec bi = i, bq = q;
        rapp_amplify(n, 1.0, 0.5 * e, bi.data(), bq.data());
        int32_t changed = 0;
        for (int32_t k = 0; k < n; ++k)
            changed += yi[k] != i[k] || yq[k] != q[k] || bi[k] != i[k] || bq[k] != q[k];
        EXPECT_EQ(changed, 0) << "2p = " << e;
    }
}

// ---- Phasors -------------------------------------------------------------------------

struct AngleCase {
    double angle;  // radians
};
void PrintTo(const AngleCase& c, std::ostream* os) { *os << "angle " << c.angle; }
class PhasorOf : public ::testing::TestWithParam<AngleCase> {};

// The series (|angle| <= 1/16) and cos/sin beyond agree with cos and sin to rounding.
TEST_P(PhasorOf, EqualsCosAndSin) {
    const double a = GetParam().angle;
    Phasor p;
    phasor_of(a, &p);
    EXPECT_NEAR(p.re, std::cos(a), 2.3e-16);
    EXPECT_NEAR(p.im, std::sin(a), 2.3e-16 * std::max(1.0, std::fabs(a)));
}

INSTANTIATE_TEST_SUITE_P(Cases, PhasorOf,
                         ::testing::Values(AngleCase{0.0}, AngleCase{1e-9}, AngleCase{-3e-5},
                                           AngleCase{0.01}, AngleCase{-0.0449}, AngleCase{0.0625},
                                           AngleCase{-0.0625}, AngleCase{0.06251}, AngleCase{0.5},
                                           AngleCase{-3.0}),
                         orv_test::PrintedName{});

// 1e8 turns by small, changing steps: the phasor's angle stays within 1e-6 rad
// of the steps' exact sum (1e-14 a sample) and its magnitude within 1e-14 of 1.
TEST(PhasorTurn, DriftOverAHundredMillionSamples) {
    const double steps[7] = {1.3e-3, -7.7e-4, 2.9e-2, -4.1e-2, 5.5e-5, 0.061, -0.0093};
    Phasor z{1.0, 0.0};
    Phasor st[7];
    for (int32_t k = 0; k < 7; ++k) phasor_of(steps[k], &st[k]);
    // The steps' sum by compensated (Neumaier) summation in double: exact to about 1e-16
    // of the sum, under valgrind too, which computes long double at double precision.
    double exact = 0.0, lost = 0.0;
    double worst_mag = 0.0;
    for (int64_t n = 0; n < 100000000; ++n) {
        phasor_turn(&z, &st[n % 7]);
        const double s = steps[n % 7], t = exact + s;
        lost += std::fabs(exact) >= std::fabs(s) ? (exact - t) + s : (s - t) + exact;
        exact = t;
        if (n % 1000000 == 0) worst_mag = std::max(worst_mag, std::fabs(std::hypot(z.re, z.im) - 1.0));
    }
    exact += lost;
    const double wrapped = exact - 2.0 * kPi * std::floor(exact / (2.0 * kPi));
    const double err = std::arg(std::complex<double>(z.re, z.im) * std::polar(1.0, -wrapped));
    EXPECT_LT(std::fabs(err), 1e-6);
    EXPECT_LT(worst_mag, 1e-14);
    EXPECT_LT(std::fabs(std::hypot(z.re, z.im) - 1.0), 1e-14);
}

struct RotateCase {
    const char* name;
    double top_hz;  // the profile's highest offset (sets the decimation)
    double freq_hz;
};
void PrintTo(const RotateCase& c, std::ostream* os) { *os << c.name; }
class PhaseNoiseRotate : public ::testing::TestWithParam<RotateCase> {};

// phase_noise_rotate multiplies by e^(j (2 pi f n / fs + phase[n])), phase the
// values phase_noise_next gives for the same seed, in blocks of uneven size.
TEST_P(PhaseNoiseRotate, EqualsTheExactRotationByTheProcessPhases) {
    const RotateCase c = GetParam();
    const double fs = 80e6;
    const double f[] = {1e3, c.top_hz / 10, c.top_hz};
    const double l[] = {-70, -75, -95};
    PhaseNoise a, b;
    ASSERT_EQ(phase_noise_open(&a, f, l, 3, fs, 5), 0);
    ASSERT_EQ(phase_noise_open(&b, f, l, 3, fs, 5), 0);
    const int32_t total = 1 << 20;
    Vec phase(total), i(total), q(total);
    phase_noise_next(&b, total, phase.data());
    for (int32_t k = 0; k < total; ++k) {
        i[k] = std::cos(0.001 * k) + 0.5;
        q[k] = std::sin(0.37 * k);
    }
    const Vec i0 = i, q0 = q;
    for (int32_t at = 0; at < total;) {
        const int32_t n = std::min(total - at, 1000 + at % 4093);
        phase_noise_rotate(&a, n, at, c.freq_hz, fs, i.data() + at, q.data() + at);
        at += n;
    }
    double worst = 0.0;
    // The carrier's turns f k / fs modulo 1 in integers (whole hertz), exact on any
    // machine: valgrind computes long double at double precision.
    const int64_t f_hz = std::llround(c.freq_hz), fs_hz = std::llround(fs);
    ASSERT_EQ(static_cast<double>(f_hz), c.freq_hz);
    for (int32_t k = 0; k < total; ++k) {
        const int64_t m = ((f_hz * k) % fs_hz + fs_hz) % fs_hz;
        const double carrier = 2 * kPi * static_cast<double>(m) / fs;
        const std::complex<double> want =
            std::complex<double>(i0[k], q0[k]) * std::polar(1.0, carrier + phase[k]);
        worst = std::max(worst, std::abs(std::complex<double>(i[k], q[k]) - want));
    }
    EXPECT_GT(a.decimation, 1);
    // Under 1e-11 natively; valgrind's emulation gives libm's cos and sin a few ulp more
    // (3e-11 over the 2^20 samples). A wrong step or segment start errs by 1e-6 or more.
    EXPECT_LT(worst, 1e-10);
    phase_noise_close(&a);
    phase_noise_close(&b);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PhaseNoiseRotate,
    ::testing::Values(RotateCase{"top 1 MHz no carrier", 1e6, 0.0},
                      RotateCase{"top 1 MHz carrier 58 kHz", 1e6, 58000.0},
                      RotateCase{"top 100 kHz carrier minus 1 MHz", 1e5, -1e6},
                      RotateCase{"top 4 MHz carrier 3 MHz", 4e6, 3e6}),
    orv_test::PrintedName{});

struct ChunkCase {
    int32_t chunk;  // samples per call
};
void PrintTo(const ChunkCase& c, std::ostream* os) { *os << "chunks of " << c.chunk; }
class PhaseNoiseChunks : public ::testing::TestWithParam<ChunkCase> {};

// Without a carrier (its phasor stays exactly 1), the rotation handed the
// samples in chunks of any size, across the process's segment ends, gives
// the same values bit for bit as in one call.
TEST_P(PhaseNoiseChunks, SameValuesAsOneCall) {
    const int32_t chunk = GetParam().chunk, n = 5000;
    double offsets[3], levels[3];
    phase_noise_default_profile(2.0, offsets, levels);
    PhaseNoise whole, parts;
    ASSERT_EQ(phase_noise_open(&whole, offsets, levels, 3, 40e6, 9), 0);
    ASSERT_EQ(phase_noise_open(&parts, offsets, levels, 3, 40e6, 9), 0);
    ASSERT_GT(whole.decimation, 1);
    Vec wi(n), wq(n);
    for (int32_t k = 0; k < n; ++k) {
        wi[k] = std::cos(0.05 * k) + 0.1;
        wq[k] = std::sin(0.02 * k * k);
    }
    Vec pi = wi, pq = wq;
    phase_noise_rotate(&whole, n, 0, 0.0, 40e6, wi.data(), wq.data());
    for (int32_t at = 0; at < n; at += chunk) {
        const int32_t m = std::min(chunk, n - at);
        phase_noise_rotate(&parts, m, at, 0.0, 40e6, pi.data() + at, pq.data() + at);
    }
    int32_t differ = 0;
    for (int32_t k = 0; k < n; ++k)
        differ += std::memcmp(&wi[k], &pi[k], sizeof(double)) != 0 || std::memcmp(&wq[k], &pq[k], sizeof(double)) != 0;
    EXPECT_EQ(differ, 0);
    phase_noise_close(&whole);
    phase_noise_close(&parts);
}

INSTANTIATE_TEST_SUITE_P(Cases, PhaseNoiseChunks,
                         ::testing::Values(ChunkCase{1}, ChunkCase{3}, ChunkCase{7}, ChunkCase{8}, ChunkCase{9},
                                           ChunkCase{1000}),
                         orv_test::PrintedName{});

// ---- Resampler's polyphase table ---------------------------------------------------

struct PolyphaseCase {
    int32_t taps;
    double ppm;
    double band;  // highest tone, cycles per sample
};
void PrintTo(const PolyphaseCase& c, std::ostream* os) {
    *os << c.taps << " taps " << c.ppm << " ppm band " << c.band;
}
class ResamplerTable : public ::testing::TestWithParam<PolyphaseCase> {};

// I0(x) by its power series summed to 60 terms (x up to 8 here).
double bessel_i0_series(double x) {
    double sum = 0.0, term = 1.0;
    for (int32_t k = 1; k <= 60; ++k) {
        sum += term;
        term *= (x * x / 4.0) / (static_cast<double>(k) * k);
    }
    return sum;
}

// Each output against the Kaiser-windowed sinc (beta 8, taps/2 samples each
// side, weights normalised to sum 1) evaluated at the output's exact input
// position: the nearest of the table's 1024 phases leaves less than -60 dB.
TEST_P(ResamplerTable, EqualsTheWindowedSincAtTheExactPosition) {
    const PolyphaseCase c = GetParam();
    Resampler r;
    ASSERT_EQ(resampler_open(&r, c.ppm, c.taps), 0);
    const int64_t total = 300000;
    Vec xi(total), xq(total);
    const double f[3] = {c.band, -0.61 * c.band, 0.23 * c.band};
    for (int64_t m = 0; m < total; ++m) {
        xi[m] = xq[m] = 0.0;
        for (int32_t t = 0; t < 3; ++t) {
            xi[m] += std::cos(2 * kPi * f[t] * m + t);
            xq[m] += std::sin(2 * kPi * f[t] * m + t);
        }
    }
    const int32_t half = c.taps / 2;
    double err = 0.0, power = 0.0;
    for (const int64_t n0 : {int64_t{200}, int64_t{150000}, int64_t{290000}}) {
        Vec i(64), q(64);
        resampler_run(&r, n0, 64, 0, xi.data(), xq.data(), i.data(), q.data());
        for (int32_t k = 0; k < 64; ++k) {
            const double t = static_cast<double>(n0 + k) * (1.0 + c.ppm * 1e-6);
            const int64_t m0 = static_cast<int64_t>(std::floor(t));
            double wi = 0.0, wq = 0.0, sum = 0.0;
            for (int64_t m = m0 - (half - 1); m <= m0 + half; ++m) {
                const double d = static_cast<double>(m) - t;
                const double u = d / half;
                const double win = u * u < 1.0 ? bessel_i0_series(8.0 * std::sqrt(1.0 - u * u)) /
                                                      bessel_i0_series(8.0)
                                                : 0.0;
                const double h = (d == 0.0 ? 1.0 : std::sin(kPi * d) / (kPi * d)) * win;
                wi += h * xi[m];
                wq += h * xq[m];
                sum += h;
            }
            const double di = i[k] - wi / sum, dq = q[k] - wq / sum;
            err += di * di + dq * dq;
            power += (wi * wi + wq * wq) / (sum * sum);
        }
    }
    resampler_close(&r);
    EXPECT_LT(10.0 * std::log10(err / power), -60.0);
}

INSTANTIATE_TEST_SUITE_P(Cases, ResamplerTable,
                         ::testing::Values(PolyphaseCase{8, 10.0, 0.105}, PolyphaseCase{8, -300.0, 0.0525},
                                           PolyphaseCase{16, 10.0, 0.14}, PolyphaseCase{16, -500.0, 0.1},
                                           PolyphaseCase{32, 10.0, 0.2}, PolyphaseCase{32, 999.0, 0.2},
                                           PolyphaseCase{64, -40.0, 0.41}, PolyphaseCase{64, 3.3, 0.3}),
                         orv_test::PrintedName{});

// ---- Resampler's error on an OFDM signal ------------------------------------------

struct OccupancyCase {
    int32_t os;
    double ppm;
};
void PrintTo(const OccupancyCase& c, std::ostream* os) { *os << "os " << c.os << " " << c.ppm << " ppm"; }
class ResamplerOccupancy : public ::testing::TestWithParam<OccupancyCase> {};

// The taps resampler_taps picks for os, on the 52 used subcarriers (k = -26..26,
// k != 0, at k / (64 os) cycles per sample: the channel's width drops out, so
// this holds for 5, 10 and 20 MHz alike), against the exact band-limited
// signal at each output's position: the error, interpolator and phase grid
// together, stays below -60 dBc.
TEST_P(ResamplerOccupancy, ErrorBelowMinus60Dbc) {
    const OccupancyCase c = GetParam();
    const int32_t taps = resampler_taps(c.os);
    Resampler r;
    ASSERT_EQ(resampler_open(&r, c.ppm, taps), 0);
    const int64_t total = 20000 * static_cast<int64_t>(c.os);
    Vec xi(total, 0.0), xq(total, 0.0);
    // Unit tones with phases spread quadratically (a low crest factor).
    auto tone_phase = [](int32_t k) { return kPi * k * k / 52.0; };
    for (int32_t k = -26; k <= 26; ++k) {
        if (k == 0) continue;
        const double f = k / (64.0 * c.os);
        for (int64_t m = 0; m < total; ++m) {
            const double a = 2 * kPi * f * static_cast<double>(m) + tone_phase(k);
            xi[m] += std::cos(a);
            xq[m] += std::sin(a);
        }
    }
    double err = 0.0, power = 0.0;
    const int32_t count = 400;
    // The last stretch ends where its inputs end (the clock moves it by up to 0.7 %).
    const int64_t last = static_cast<int64_t>((total - taps) / (1.0 + c.ppm * 1e-6)) - count - taps;
    for (const int64_t n0 : {int64_t{taps}, total / 2, last}) {
        ASSERT_LT(resampler_first_input(&r, n0 + count - 1) + taps - 1, total);
        Vec i(count), q(count);
        resampler_run(&r, n0, count, 0, xi.data(), xq.data(), i.data(), q.data());
        for (int32_t j = 0; j < count; ++j) {
            const double t = static_cast<double>(n0 + j) * (1.0 + c.ppm * 1e-6);
            double wi = 0.0, wq = 0.0;
            for (int32_t k = -26; k <= 26; ++k) {
                if (k == 0) continue;
                const double a = 2 * kPi * (k / (64.0 * c.os)) * t + tone_phase(k);
                wi += std::cos(a);
                wq += std::sin(a);
            }
            err += (i[j] - wi) * (i[j] - wi) + (q[j] - wq) * (q[j] - wq);
            power += wi * wi + wq * wq;
        }
    }
    resampler_close(&r);
    const double dbc = 10.0 * std::log10(err / power);
    RecordProperty("error_dbc", std::to_string(dbc));
    EXPECT_LT(dbc, -60.0) << taps << " taps";
}

std::vector<OccupancyCase> occupancy_cases() {
    std::vector<OccupancyCase> cases;
    for (int32_t os = 1; os <= 10; ++os)
        for (const double ppm : {40.0, -733.0}) cases.push_back({os, ppm});
    return cases;
}
INSTANTIATE_TEST_SUITE_P(Cases, ResamplerOccupancy, ::testing::ValuesIn(occupancy_cases()),
                         orv_test::PrintedName{});

// ---- Resampler's vector loops ----------------------------------------------------

// A resampler with its vector loops and one with the plain loop, and the
// window of inputs that outputs n0 .. n0 + count - 1 read.
struct ResamplerPair {
    Resampler vec, plain;
    int64_t base;   // the window's first input
    size_t length;  // inputs in the window
};

void open_pair(int32_t taps, double ppm, int64_t n0, int32_t count, ResamplerPair* p) {
    ASSERT_EQ(resampler_open(&p->vec, ppm, taps), 0);
    ASSERT_EQ(resampler_open(&p->plain, ppm, taps), 0);
    p->plain.no_avx = 1;
    p->base = resampler_first_input(&p->vec, n0);
    const int64_t end = resampler_first_input(&p->vec, n0 + count - 1) + taps;
    p->length = static_cast<size_t>(end - p->base);
}

// resampler_run of vec and plain over xi, xq from base: the outputs that differ in any bit.
int32_t differing_outputs(const Resampler& vec, const Resampler& plain, int64_t n0, int32_t count, int64_t base,
                          const Vec& xi, const Vec& xq) {
    Vec vi(count), vq(count), pi(count), pq(count);
    resampler_run(&vec, n0, count, base, xi.data(), xq.data(), vi.data(), vq.data());
    resampler_run(&plain, n0, count, base, xi.data(), xq.data(), pi.data(), pq.data());
    int32_t differ = 0;
    for (int32_t k = 0; k < count; ++k)
        differ += std::memcmp(&vi[k], &pi[k], sizeof(double)) != 0 || std::memcmp(&vq[k], &pq[k], sizeof(double)) != 0;
    return differ;
}

struct ResampleLoopCase {
    int32_t taps;
    double ppm;
    int64_t n0;  // first output
    int32_t count;
};
void PrintTo(const ResampleLoopCase& c, std::ostream* os) {
    *os << c.taps << " taps " << c.ppm << " ppm from " << c.n0 << " count " << c.count;
}
class ResamplerLoops : public ::testing::TestWithParam<ResampleLoopCase> {};

// The AVX loops (four outputs side by side, eight with AVX-512, or one at a
// time far out) give the plain loop's outputs bit for bit.
TEST_P(ResamplerLoops, VectorLoopsEqualThePlainLoop) {
#if ORV_X86_VECTORS
    if (!cpu_has_avx()) GTEST_SKIP() << "no AVX here";
#else
    GTEST_SKIP() << "no vector loops here";
#endif
    const ResampleLoopCase c = GetParam();
    ResamplerPair pair;
    ASSERT_NO_FATAL_FAILURE(open_pair(c.taps, c.ppm, c.n0, c.count, &pair));
    Resampler& vec = pair.vec;
    Resampler& plain = pair.plain;
    const int64_t base = pair.base;
    const size_t length = pair.length;
    Vec xi(length), xq(length);
    for (size_t m = 0; m < length; ++m) {
        xi[m] = m % 17 == 4 ? -0.0 : std::sin(0.21 * m * m + 0.3);
        xq[m] = std::cos(0.37 * m) * (1.0 + 1e-3 * (m % 5));
    }
    // The widest loops the processor has, then AVX at most.
    for (const int32_t narrow : {0, 1}) {
        vec.no_avx512 = narrow;
        EXPECT_EQ(differing_outputs(vec, plain, c.n0, c.count, base, xi, xq), 0) << "AVX at most: " << narrow;
    }
    resampler_close(&vec);
    resampler_close(&plain);
}

std::vector<ResampleLoopCase> resample_loop_cases() {
    std::vector<ResampleLoopCase> cases;
    for (const int32_t taps : {8, 16, 32, 64}) {
        cases.push_back({taps, 10.0, 0, 1001});
        cases.push_back({taps, -733.0, 40, 7});
        cases.push_back({taps, 1000.0, 123456789, 2050});
    }
    // Runs of 32 outputs of one phase, and runs whose phase changes somewhere inside.
    cases.push_back({8, 25.0, 0, 4099});
    cases.push_back({16, -25.0, 7, 3001});
    cases.push_back({8, 55.0, 5, 34});
    cases.push_back({32, 2.0, 1, 64});
    cases.push_back({8, -0.37, 3, 1});
    cases.push_back({8, 999.9, 2000000000000, 203});  // |n d| beyond 2^30: one at a time
    cases.push_back({16, -1000.0, 1073741824, 64});
    // Runs to just before each change of phase: longer than 128 outputs, far
    // out (n d near 2^30), a clock without offset, changes every few outputs.
    cases.push_back({8, 0.5, 7, 9001});
    cases.push_back({8, -0.5, 2, 9003});
    cases.push_back({8, 10.0, 1000000007, 4001});
    cases.push_back({8, -10.0, 3, 5003});
    cases.push_back({8, 1000.0, 1073000000, 2001});
    cases.push_back({16, 123.4, 999999, 3003});
    cases.push_back({64, -3.0, 5, 2049});
    cases.push_back({8, 0.0, 11, 999});
    cases.push_back({8, 97.65625, 0, 4099});  // d 1024 = 1/10 exactly: changes land on whole outputs
    return cases;
}
INSTANTIATE_TEST_SUITE_P(Cases, ResamplerLoops, ::testing::ValuesIn(resample_loop_cases()),
                         orv_test::PrintedName{});

// ---- Resampler's zeros: idle inputs and the sign of zero sums ---------------------

// The input window of output n of r when its inputs start at base (the
// resampler's position arithmetic: floor of n d, the nearest of 1024 phases).
void window_of(const Resampler& r, int64_t n, int64_t base, const double** row, int64_t* first) {
    const double x = static_cast<double>(n) * r.ratio_minus_one;
    const double fl = std::floor(x);
    const int32_t phase = static_cast<int32_t>((x - fl) * kResamplePhases + 0.5);
    *row = r.table + static_cast<size_t>(phase) * r.taps;
    *first = n + static_cast<int64_t>(fl) - (r.taps / 2 - 1) - base;
}

struct ResampleZeroCase {
    int32_t taps;
    double ppm;
    int64_t n0;
    int32_t count;
    int32_t zeros;  // zeros (of pseudo-random sign) in each period of the input
    int32_t period;
};
void PrintTo(const ResampleZeroCase& c, std::ostream* os) {
    *os << c.taps << " taps " << c.ppm << " ppm from " << c.n0 << " count " << c.count << " zeros " << c.zeros
        << " of " << c.period;
}
class ResamplerZeros : public ::testing::TestWithParam<ResampleZeroCase> {};

// Inputs with stretches of +0 and -0: the vector loops give the plain loop's
// outputs bit for bit, both where the stretch covers whole runs (all-zero
// windows) and where every product of an output is -0 (the plain loop's +0).
TEST_P(ResamplerZeros, VectorLoopsEqualThePlainLoop) {
#if ORV_X86_VECTORS
    if (!cpu_has_avx()) GTEST_SKIP() << "no AVX here";
#else
    GTEST_SKIP() << "no vector loops here";
#endif
    const ResampleZeroCase c = GetParam();
    ResamplerPair pair;
    ASSERT_NO_FATAL_FAILURE(open_pair(c.taps, c.ppm, c.n0, c.count, &pair));
    Resampler& vec = pair.vec;
    Resampler& plain = pair.plain;
    const int64_t base = pair.base;
    const size_t length = pair.length;
    Vec xi(length), xq(length);
    uint32_t state = 12345;
    for (size_t m = 0; m < length; ++m) {
        state = state * 1664525u + 1013904223u;
        const bool zero = static_cast<int32_t>(m % static_cast<size_t>(c.period)) < c.zeros;
        xi[m] = zero ? ((state >> 30) & 1 ? -0.0 : 0.0) : std::sin(0.21 * m * m + 0.3);
        xq[m] = zero ? ((state >> 29) & 1 ? -0.0 : 0.0) : std::cos(0.37 * m);
    }
    // What the case reaches: outputs with an all-zero window, and with every product -0.
    int32_t zero_windows = 0, negative_products = 0;
    for (int64_t n = c.n0; n < c.n0 + c.count; ++n) {
        const double* row;
        int64_t first;
        window_of(vec, n, base, &row, &first);
        bool zeros = true, negative_i = true, negative_q = true;
        for (int32_t j = 0; j < c.taps; ++j) {
            const double pi = row[j] * xi[first + j], pq = row[j] * xq[first + j];
            zeros = zeros && xi[first + j] == 0.0 && xq[first + j] == 0.0;
            negative_i = negative_i && pi == 0.0 && std::signbit(pi);
            negative_q = negative_q && pq == 0.0 && std::signbit(pq);
        }
        zero_windows += zeros;
        negative_products += negative_i || negative_q;
    }
    EXPECT_GT(zero_windows, 0);
    if (c.taps == 8) {
        EXPECT_GT(negative_products, 0);
    }
    for (const int32_t narrow : {0, 1}) {
        vec.no_avx512 = narrow;
        EXPECT_EQ(differing_outputs(vec, plain, c.n0, c.count, base, xi, xq), 0) << "AVX at most: " << narrow;
    }
    resampler_close(&vec);
    resampler_close(&plain);
}

std::vector<ResampleZeroCase> resample_zero_cases() {
    return {
        {8, 10.0, 0, 20001, 20, 29},          // short stretches: many windows of -0 products
        {8, -10.0, 777, 20003, 21, 31},       // the same, the clock slow
        {8, 10.0, 5, 9001, 300, 517},         // idle longer than the runs of 64
        {8, -200.0, 3, 9003, 411, 613},
        {8, 1.0, 1000001, 9005, 1000, 1301},  // phase rows far longer than a run
        {16, 10.0, 0, 9001, 300, 517},
        {32, -10.0, 9, 9007, 400, 611},
        {64, 10.0, 2, 9001, 700, 1009},
        {64, 1000.0, 4, 5001, 333, 500},      // a new phase every output
    };
}
INSTANTIATE_TEST_SUITE_P(Cases, ResamplerZeros, ::testing::ValuesIn(resample_zero_cases()),
                         orv_test::PrintedName{});

struct ResampleSpikeCase {
    int32_t taps;
    double ppm;
    int64_t n0;
    int32_t count;
};
void PrintTo(const ResampleSpikeCase& c, std::ostream* os) {
    *os << c.taps << " taps " << c.ppm << " ppm from " << c.n0 << " count " << c.count;
}
class ResamplerSpike : public ::testing::TestWithParam<ResampleSpikeCase> {};

// Zero inputs but one nonzero sample, in I or in Q, at every position in
// turn (a run's first, last and each inner input): equal to the plain loop.
TEST_P(ResamplerSpike, OneNonzeroInputAnywhere) {
#if ORV_X86_VECTORS
    if (!cpu_has_avx()) GTEST_SKIP() << "no AVX here";
#else
    GTEST_SKIP() << "no vector loops here";
#endif
    const ResampleSpikeCase c = GetParam();
    ResamplerPair pair;
    ASSERT_NO_FATAL_FAILURE(open_pair(c.taps, c.ppm, c.n0, c.count, &pair));
    Resampler& vec = pair.vec;
    Resampler& plain = pair.plain;
    const int64_t base = pair.base;
    const size_t length = pair.length;
    for (size_t spike = 0; spike < 2 * length; ++spike) {
        Vec xi(length), xq(length);
        for (size_t m = 0; m < length; ++m) xi[m] = xq[m] = m % 3 == 1 ? -0.0 : 0.0;
        (spike % 2 == 0 ? xi : xq)[spike / 2] = -0.75;
        vec.no_avx512 = static_cast<int32_t>(spike / 2 % 2);  // the widest loops and AVX at most in turn
        EXPECT_EQ(differing_outputs(vec, plain, c.n0, c.count, base, xi, xq), 0)
            << "nonzero " << (spike % 2 == 0 ? "I" : "Q") << " input " << spike / 2 << ", AVX at most " << vec.no_avx512;
    }
    resampler_close(&vec);
    resampler_close(&plain);
}

INSTANTIATE_TEST_SUITE_P(Cases, ResamplerSpike,
                         ::testing::Values(ResampleSpikeCase{8, 1.0, 0, 135}, ResampleSpikeCase{8, -1.0, 64, 71},
                                           ResampleSpikeCase{16, 2.0, 1, 97}, ResampleSpikeCase{32, -2.0, 0, 67},
                                           ResampleSpikeCase{64, 1.0, 3, 129}),
                         orv_test::PrintedName{});

}  // namespace
