// The impairment stages against their definitions, each checked by a
// computation of the test's own: the image of a tone, the phase process's
// spectrum, a pulse's and a tone's position after the resampler, the
// multipath channel's average power-delay profile, the Rapp curve.
#include "impair_chain.h"

#include "cpu_features.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <ostream>
#include <sstream>
#include <vector>

#include "support/readable_params.h"

namespace {

using Vec = std::vector<double>;
using cplx = std::complex<double>;
constexpr double kPi = std::numbers::pi;

double db(double power_ratio) { return 10.0 * std::log10(power_ratio); }

// Correlation of (i, q) with e^(j w n): the complex amplitude at w.
cplx amplitude_at(const Vec& i, const Vec& q, double w) {
    cplx sum = 0.0;
    for (size_t n = 0; n < i.size(); ++n) sum += cplx(i[n], q[n]) * std::polar(1.0, -w * n);
    return sum / static_cast<double>(i.size());
}

// ---- IQ imbalance -------------------------------------------------------------

struct IqCase {
    double gain_db, phase_deg;
};
void PrintTo(const IqCase& c, std::ostream* os) {
    *os << "gain " << c.gain_db << " dB phase " << c.phase_deg << " deg";
}
class IqImage : public ::testing::TestWithParam<IqCase> {};

// A tone at +f comes out with an image at -f; the image rejection ratio of a
// gain ratio g (linear) and quadrature error phi is (1 + g^2 + 2g cos phi) / (1 + g^2 - 2g cos phi).
TEST_P(IqImage, ToneImageRatioFollowsTheGainAndPhaseError) {
    const IqCase c = GetParam();
    const int32_t n = 4096;
    const double w = 2.0 * kPi * 300.0 / n;  // a whole number of periods
    Vec i(n), q(n);
    for (int32_t k = 0; k < n; ++k) {
        i[k] = std::cos(w * k);
        q[k] = std::sin(w * k);
    }
    IqImbalance m;
    iq_imbalance_setup(c.gain_db, c.phase_deg, &m);
    iq_imbalance_apply(&m, n, i.data(), q.data());
    const double wanted = std::norm(amplitude_at(i, q, w));
    const double image = std::norm(amplitude_at(i, q, -w));
    const double g = std::pow(10.0, c.gain_db / 20.0);
    const double cp = std::cos(c.phase_deg * kPi / 180.0);
    const double irr = (1 + g * g + 2 * g * cp) / (1 + g * g - 2 * g * cp);
    if (c.gain_db == 0.0 && c.phase_deg == 0.0) {
        EXPECT_LT(image, 1e-24);
    } else {
        EXPECT_NEAR(db(wanted / image), db(irr), 1e-6);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, IqImage,
                         ::testing::Values(IqCase{0, 0}, IqCase{1, 0}, IqCase{-1, 0}, IqCase{0, 5},
                                           IqCase{0, -5}, IqCase{0.5, 2}, IqCase{-2, -10},
                                           IqCase{3, 20}),
                         orv_test::PrintedName{});

// A block takes the vector loop where the processor has one, a lone sample
// the plain one: equal bit for bit (block lengths with and without a tail).
TEST_P(IqImage, BlockEqualsSampleBySample) {
    const IqCase c = GetParam();
    IqImbalance m;
    iq_imbalance_setup(c.gain_db, c.phase_deg, &m);
    for (const int32_t n : {3, 4, 1003}) {
        Vec i(n), q(n);
        for (int32_t k = 0; k < n; ++k) {
            i[k] = k % 9 == 2 ? -0.0 : std::sin(0.9 * k * k) * (1.0 + k % 4);
            q[k] = std::cos(0.31 * k) - 0.5;
        }
        Vec bi = i, bq = q;
        iq_imbalance_apply(&m, n, bi.data(), bq.data());
        int32_t differ = 0;
        for (int32_t k = 0; k < n; ++k) {
            double si = i[k], sq = q[k];
            iq_imbalance_apply(&m, 1, &si, &sq);
            differ += std::memcmp(&si, &bi[k], sizeof si) != 0 || std::memcmp(&sq, &bq[k], sizeof sq) != 0;
        }
        EXPECT_EQ(differ, 0) << n << " samples";
    }
}

// The matrix with the outputs' power summed on the way: the same samples as
// iq_imbalance_apply bit for bit, and the sum of their I^2 + Q^2 taken in order
// of sample from the given start (vector blocks, tails and lone samples).
TEST_P(IqImage, SummingGivesTheSameSamplesAndTheirPowerInOrder) {
    const IqCase c = GetParam();
    IqImbalance m;
    iq_imbalance_setup(c.gain_db, c.phase_deg, &m);
    for (const int32_t n : {0, 1, 3, 4, 7, 1003}) {
        Vec i(n), q(n);
        for (int32_t k = 0; k < n; ++k) {
            i[k] = k % 9 == 2 ? -0.0 : std::sin(0.9 * k * k) * (1.0 + k % 4) * 1e3;
            q[k] = std::cos(0.31 * k) - 0.5;
        }
        Vec bi = i, bq = q;
        iq_imbalance_apply(&m, n, bi.data(), bq.data());
        const double start = 12345.678;
        double want = start;
        for (int32_t k = 0; k < n; ++k) want += bi[k] * bi[k] + bq[k] * bq[k];
        Vec si = i, sq = q;
        const double got = iq_imbalance_apply_sum(&m, n, si.data(), sq.data(), start);
        EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << n << " samples: " << got << " " << want;
        EXPECT_TRUE(si == bi && sq == bq) << n << " samples";
    }
}

// The senses: the I branch g dB above the Q branch; the images of the I and Q
// axes 90 degrees + phi apart.
TEST(IqImbalance, GainIsIOverQAndAxesAre90PlusPhiApart) {
    for (const double g : {-2.0, 0.0, 0.7}) {
        IqImbalance m;
        iq_imbalance_setup(g, 0.0, &m);
        double i[2] = {1.0, 0.0}, q[2] = {0.0, 1.0};
        iq_imbalance_apply(&m, 2, i, q);
        EXPECT_NEAR(20.0 * std::log10(std::hypot(i[0], q[0]) / std::hypot(i[1], q[1])), g, 1e-12);
    }
    for (const double phi : {-8.0, 0.0, 3.0, 30.0}) {
        IqImbalance m;
        iq_imbalance_setup(0.0, phi, &m);
        double i[2] = {1.0, 0.0}, q[2] = {0.0, 1.0};
        iq_imbalance_apply(&m, 2, i, q);
        const double angle = std::acos((i[0] * i[1] + q[0] * q[1]) /
                                       (std::hypot(i[0], q[0]) * std::hypot(i[1], q[1])));
        EXPECT_NEAR(angle * 180.0 / kPi, 90.0 + phi, 1e-9) << phi;
    }
}

// ---- Power amplifier ----------------------------------------------------------

struct RappCase {
    double p, a_sat;
};
void PrintTo(const RappCase& c, std::ostream* os) { *os << "p " << c.p << " Asat " << c.a_sat; }
class RappCurve : public ::testing::TestWithParam<RappCase> {};

// Points of the curve: linear far below saturation, A_sat 2^(-1/(2p)) at
// |x| = A_sat, A_sat far above; monotone; the phase kept.
TEST_P(RappCurve, FollowsTheAmAmCurveAndKeepsThePhase) {
    const RappCase c = GetParam();
    const int32_t n = 400;
    Vec i(n), q(n), mag(n);
    for (int32_t k = 0; k < n; ++k) {
        mag[k] = c.a_sat * std::pow(10.0, -3.0 + 6.0 * k / (n - 1));  // 1e-3 .. 1e3 A_sat
        const double ph = 0.1 * k;
        i[k] = mag[k] * std::cos(ph);
        q[k] = mag[k] * std::sin(ph);
    }
    Vec i0 = i, q0 = q;
    rapp_amplify(n, c.a_sat, c.p, i.data(), q.data());
    double last = 0.0;
    for (int32_t k = 0; k < n; ++k) {
        const double out = std::hypot(i[k], q[k]);
        // |x| / |y| = (1 + r^(2p))^(1/(2p)), r = |x| / A_sat
        const double r = mag[k] / c.a_sat;
        EXPECT_NEAR(std::pow(mag[k] / out, 2 * c.p), 1.0 + std::pow(r, 2 * c.p),
                    1e-9 * (1.0 + std::pow(r, 2 * c.p)));
        EXPECT_GE(out, last * (1.0 - 1e-15));  // flat once saturated
        EXPECT_LT(out, c.a_sat * (1.0 + 1e-12));
        last = out;
        EXPECT_NEAR(std::arg(cplx(i[k], q[k]) / cplx(i0[k], q0[k])), 0.0, 1e-12);
    }
    double a[1] = {c.a_sat}, b[1] = {0.0};
    rapp_amplify(1, c.a_sat, c.p, a, b);
    EXPECT_NEAR(a[0], c.a_sat * std::pow(2.0, -1.0 / (2 * c.p)), 1e-12 * c.a_sat);
    double small_i[1] = {1e-4 * c.a_sat}, small_q[1] = {0.0};
    rapp_amplify(1, c.a_sat, c.p, small_i, small_q);
    // Linear below saturation: the gain differs from 1 by about (1e-4)^(2p) / (2p).
    EXPECT_NEAR(small_i[0] / (1e-4 * c.a_sat), 1.0, std::pow(1e-4, 2 * c.p));
}

INSTANTIATE_TEST_SUITE_P(Cases, RappCurve,
                         ::testing::Values(RappCase{0.5, 1.0}, RappCase{1.0, 0.3},
                                           RappCase{2.0, 1.0}, RappCase{3.0, 0.05}, RappCase{4.0, 1.5},
                                           RappCase{5.0, 0.7},
                                           RappCase{10.0, 2.0}),
                         orv_test::PrintedName{});

TEST(ClipEnvelope, LimitsTheMagnitudeAndKeepsThePhaseAndSmallSamples) {
    Vec i = {0.1, 3.0, -2.0, 0.0, 0.5}, q = {0.2, 4.0, 0.0, -7.0, -0.5};
    const Vec i0 = i, q0 = q;
    clip_envelope(5, 1.0, i.data(), q.data());
    EXPECT_EQ(i[0], i0[0]);
    EXPECT_EQ(q[0], q0[0]);
    EXPECT_EQ(i[4], i0[4]);
    for (int32_t k : {1, 2, 3}) {
        EXPECT_NEAR(std::hypot(i[k], q[k]), 1.0, 1e-15) << k;
        EXPECT_NEAR(std::arg(cplx(i[k], q[k])), std::arg(cplx(i0[k], q0[k])), 1e-15) << k;
    }
}

// ---- Random streams and noise ---------------------------------------------------

TEST(ImpairRandom, SameSeedSameDrawsOtherStreamOtherDraws) {
    ImpairRng a, b, c, d;
    impair_rng_seed(&a, 42, kStreamNoise, 0);
    impair_rng_seed(&b, 42, kStreamNoise, 0);
    impair_rng_seed(&c, 42, kStreamPhaseNoise, 0);
    impair_rng_seed(&d, 42, kStreamNoise, 1);
    int same_c = 0, same_d = 0;
    for (int k = 0; k < 100; ++k) {
        const double x = impair_normal(&a);
        EXPECT_EQ(x, impair_normal(&b));
        same_c += x == impair_normal(&c);
        same_d += x == impair_normal(&d);
    }
    EXPECT_EQ(same_c, 0);
    EXPECT_EQ(same_d, 0);
}

TEST(ImpairRandom, ComplexNoiseHasTheAskedVarianceSplitEvenly) {
    const int32_t n = 400000;
    Vec i(n, 0.0), q(n, 0.0);
    ImpairRng g;
    impair_rng_seed(&g, 7, kStreamNoise, 0);
    const double sigma2 = 0.037;
    add_complex_noise(&g, n, sigma2, i.data(), q.data());
    double pi = 0, pq = 0, mi = 0, cross = 0;
    for (int32_t k = 0; k < n; ++k) {
        pi += i[k] * i[k];
        pq += q[k] * q[k];
        mi += i[k];
        cross += i[k] * q[k];
    }
    // Standard error of a variance estimate: sqrt(2 / n) relative (0.2 %).
    EXPECT_NEAR((pi + pq) / n / sigma2, 1.0, 0.01);
    EXPECT_NEAR(pi / pq, 1.0, 0.02);
    EXPECT_NEAR(mi / n, 0.0, 5 * std::sqrt(sigma2 / 2 / n));
    EXPECT_NEAR(cross / n / sigma2, 0.0, 0.01);
}

// The normal deviates' distribution: the fraction beyond 1, 2, 3 and 4
// sigma and the fourth moment (3) of a standard normal, over 4 million draws
// (the ziggurat's base strip, its wedges and its tail all take part).
TEST(ImpairRandom, NormalDeviatesHaveTheNormalTails) {
    ImpairRng g;
    impair_rng_seed(&g, 11, kStreamNoise, 0);
    const int32_t n = 4000000;
    double m2 = 0, m4 = 0;
    int64_t beyond[5] = {0, 0, 0, 0, 0};
    for (int32_t k = 0; k < n; ++k) {
        const double x = impair_normal(&g);
        m2 += x * x;
        m4 += x * x * x * x;
        for (int s = 1; s <= 4; ++s) beyond[s] += std::fabs(x) > s;
    }
    EXPECT_NEAR(m2 / n, 1.0, 0.003);
    EXPECT_NEAR(m4 / n, 3.0, 0.02);
    for (int s = 1; s <= 4; ++s) {
        const double want = std::erfc(s / std::sqrt(2.0));  // two-sided tail
        const double sd = std::sqrt(want / n);
        EXPECT_NEAR(static_cast<double>(beyond[s]) / n, want, 5 * sd) << s << " sigma";
    }
}

// ---- FFT ----------------------------------------------------------------------

TEST(ImpairFft, MatchesTheDirectTransformBothWays) {
    for (const int32_t n : {4, 16, 256}) {
        ImpairFft f;
        ASSERT_EQ(impair_fft_open(&f, n), 0);
        Vec re(n), im(n);
        for (int32_t k = 0; k < n; ++k) {
            re[k] = std::sin(0.37 * k * k + 1.0);
            im[k] = std::cos(1.3 * k);
        }
        const Vec re0 = re, im0 = im;
        impair_fft(&f, re.data(), im.data(), false);
        for (int32_t m = 0; m < n; ++m) {
            cplx want = 0.0;
            for (int32_t k = 0; k < n; ++k)
                want += cplx(re0[k], im0[k]) * std::polar(1.0, -2.0 * kPi * m * k / n);
            EXPECT_NEAR(re[m], want.real(), 1e-9 * n) << n << " " << m;
            EXPECT_NEAR(im[m], want.imag(), 1e-9 * n) << n << " " << m;
        }
        impair_fft(&f, re.data(), im.data(), true);
        for (int32_t k = 0; k < n; ++k) {
            EXPECT_NEAR(re[k], re0[k], 1e-12);
            EXPECT_NEAR(im[k], im0[k], 1e-12);
        }
        impair_fft_close(&f);
    }
    ImpairFft bad;
    EXPECT_EQ(impair_fft_open(&bad, 12), 1);
    EXPECT_EQ(impair_fft_open(&bad, 2), 1);
}

// ---- FFT without the reordering passes ---------------------------------------------

struct ScrambledCase {
    int32_t n;
    bool no_avx;  // the loops of a processor without AVX
};
void PrintTo(const ScrambledCase& c, std::ostream* os) { *os << c.n << (c.no_avx ? " points no AVX" : " points"); }
class ImpairFftScrambled : public ::testing::TestWithParam<ScrambledCase> {};

int32_t bit_reversed(int32_t k, int32_t n) {
    int32_t r = 0;
    for (int32_t bit = 1; bit < n; bit <<= 1) r = (r << 1) | ((k & bit) != 0 ? 1 : 0);
    return r;
}

// The forward transform lands bin m at position bit_reversed(m); the inverse
// of that order gives n times the input back.
TEST_P(ImpairFftScrambled, DirectTransformInBitReversedOrderAndBack) {
    const ScrambledCase c = GetParam();
    ImpairFft f;
    ASSERT_EQ(impair_fft_open(&f, c.n), 0);
    f.no_avx = c.no_avx ? 1 : 0;
    Vec re(c.n), im(c.n);
    for (int32_t k = 0; k < c.n; ++k) {
        re[k] = std::sin(0.37 * k * k + 1.0);
        im[k] = std::cos(1.3 * k) - 0.25;
    }
    const Vec re0 = re, im0 = im;
    impair_fft_forward_scrambled(&f, re.data(), im.data());
    double worst = 0.0;
    for (int32_t m = 0; m < c.n; ++m) {
        cplx want = 0.0;
        for (int32_t k = 0; k < c.n; ++k)
            want += cplx(re0[k], im0[k]) * std::polar(1.0, -2.0 * kPi * ((static_cast<int64_t>(m) * k) % c.n) / c.n);
        const int32_t at = bit_reversed(m, c.n);
        worst = std::max(worst, std::abs(cplx(re[at], im[at]) - want));
    }
    EXPECT_LT(worst, 1e-12 * c.n);
    impair_fft_inverse_scrambled(&f, re.data(), im.data());
    worst = 0.0;
    for (int32_t k = 0; k < c.n; ++k) worst = std::max(worst, std::abs(cplx(re[k], im[k]) / double(c.n) - cplx(re0[k], im0[k])));
    EXPECT_LT(worst, 1e-14 * std::log2(c.n));
    impair_fft_close(&f);
}

// The one-call convolution gives the three steps' values bit for bit (the
// AVX path fuses the middle passes), and those are n times the direct
// circular convolution.
TEST_P(ImpairFftScrambled, ConvolutionInOneCallEqualsTheThreeSteps) {
    const ScrambledCase c = GetParam();
    ImpairFft f;
    ASSERT_EQ(impair_fft_open(&f, c.n), 0);
    f.no_avx = c.no_avx ? 1 : 0;
    Vec x_re(c.n), x_im(c.n), h_re(c.n, 0.0), h_im(c.n, 0.0);
    for (int32_t k = 0; k < c.n; ++k) {
        x_re[k] = k % 7 == 2 ? -0.0 : std::sin(0.53 * k * k + 0.3);
        x_im[k] = std::cos(0.9 * k) - 0.1;
    }
    const int32_t taps = c.n / 4 + 1;
    for (int32_t k = 0; k < taps; ++k) {
        h_re[k] = std::exp(-0.3 * k) * std::cos(1.7 * k);
        h_im[k] = std::exp(-0.3 * k) * std::sin(1.7 * k);
    }
    Vec t_re = h_re, t_im = h_im;
    impair_fft_forward_scrambled(&f, t_re.data(), t_im.data());
    Vec a_re = x_re, a_im = x_im;
    impair_fft_forward_scrambled(&f, a_re.data(), a_im.data());
    for (int32_t k = 0; k < c.n; ++k) {
        const double a = a_re[k], b = a_im[k];
        a_re[k] = a * t_re[k] - b * t_im[k];
        a_im[k] = a * t_im[k] + b * t_re[k];
    }
    impair_fft_inverse_scrambled(&f, a_re.data(), a_im.data());
    Vec b_re = x_re, b_im = x_im;
    impair_fft_convolve_scrambled(&f, t_re.data(), t_im.data(), b_re.data(), b_im.data());
    int32_t differ = 0;
    double worst = 0.0;
    for (int32_t k = 0; k < c.n; ++k) {
        differ += std::memcmp(&a_re[k], &b_re[k], sizeof(double)) != 0 ||
                  std::memcmp(&a_im[k], &b_im[k], sizeof(double)) != 0;
        cplx want = 0.0;
        for (int32_t j = 0; j < taps; ++j) {
            const int32_t from = (k - j + c.n) % c.n;
            want += cplx(h_re[j], h_im[j]) * cplx(x_re[from], x_im[from]);
        }
        worst = std::max(worst, std::abs(cplx(b_re[k], b_im[k]) / double(c.n) - want));
    }
    EXPECT_EQ(differ, 0);
    EXPECT_LT(worst, 1e-13 * c.n);
    impair_fft_close(&f);
}

struct SizeCase {
    int32_t n;
};
void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.n << " points"; }
class ImpairFftLoops : public ::testing::TestWithParam<SizeCase> {};

// The AVX loops give the plain loops' values bit for bit, all four transforms
// and the one-call convolution (signed zeros among the inputs), up to the
// phase-noise process's sizes.
TEST_P(ImpairFftLoops, VectorLoopsEqualThePlainLoops) {
#if ORV_X86_VECTORS
    if (!cpu_has_avx()) GTEST_SKIP() << "no AVX here";
#else
    GTEST_SKIP() << "no vector loops here";
#endif
    const SizeCase c = GetParam();
    ImpairFft vec, plain;
    ASSERT_EQ(impair_fft_open(&vec, c.n), 0);
    ASSERT_EQ(impair_fft_open(&plain, c.n), 0);
    plain.no_avx = 1;
    Vec re(c.n), im(c.n);
    for (int32_t k = 0; k < c.n; ++k) {
        re[k] = k % 11 == 3 ? -0.0 : std::sin(0.91 * k * k) * std::exp(0.01 * (k % 50));
        im[k] = k % 13 == 5 ? 0.0 : std::cos(0.7 * k + 0.2);
    }
    Vec h_re(c.n), h_im(c.n);
    for (int32_t k = 0; k < c.n; ++k) {
        h_re[k] = std::cos(0.013 * k * k);
        h_im[k] = k % 17 == 1 ? -0.0 : std::sin(0.29 * k);
    }
    for (int32_t way = 0; way < 5; ++way) {
        Vec a_re = re, a_im = im, b_re = re, b_im = im;
        switch (way) {
            case 0:
                impair_fft_forward_scrambled(&vec, a_re.data(), a_im.data());
                impair_fft_forward_scrambled(&plain, b_re.data(), b_im.data());
                break;
            case 1:
                impair_fft_inverse_scrambled(&vec, a_re.data(), a_im.data());
                impair_fft_inverse_scrambled(&plain, b_re.data(), b_im.data());
                break;
            case 4:
                impair_fft_convolve_scrambled(&vec, h_re.data(), h_im.data(), a_re.data(), a_im.data());
                impair_fft_convolve_scrambled(&plain, h_re.data(), h_im.data(), b_re.data(), b_im.data());
                break;
            default:
                impair_fft(&vec, a_re.data(), a_im.data(), way == 3);
                impair_fft(&plain, b_re.data(), b_im.data(), way == 3);
                break;
        }
        int32_t differ = 0;
        for (int32_t k = 0; k < c.n; ++k)
            differ += std::memcmp(&a_re[k], &b_re[k], sizeof(double)) != 0 ||
                      std::memcmp(&a_im[k], &b_im[k], sizeof(double)) != 0;
        EXPECT_EQ(differ, 0) << "way " << way;
    }
    impair_fft_close(&vec);
    impair_fft_close(&plain);
}

std::vector<ScrambledCase> scrambled_cases() {
    std::vector<ScrambledCase> cases;
    for (const int32_t n : {4, 8, 16, 32, 512, 2048})
        for (const bool no_avx : {false, true}) cases.push_back({n, no_avx});
    return cases;
}
INSTANTIATE_TEST_SUITE_P(Cases, ImpairFftScrambled, ::testing::ValuesIn(scrambled_cases()),
                         orv_test::PrintedName{});
INSTANTIATE_TEST_SUITE_P(Cases, ImpairFftLoops,
                         ::testing::Values(SizeCase{4}, SizeCase{8}, SizeCase{16}, SizeCase{32}, SizeCase{512},
                                           SizeCase{2048}, SizeCase{65536}, SizeCase{1 << 18}),
                         orv_test::PrintedName{});

}  // namespace
