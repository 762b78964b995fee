// The channel's convolutions in single precision: the float transform's
// circular convolution and the channel on it against direct convolution in
// double, the AVX loops against the plain loops.
#include "impair_chain.h"

#include "cpu_features.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <ostream>
#include <random>
#include <vector>

#include "support/readable_params.h"

namespace {

using Vec = std::vector<double>;
using cplx = std::complex<double>;

// Floats carry 2^-24 (6e-8) of relative rounding: the inputs' and the
// response's roundings and log2(n) stages of butterflies leave up to about
// 7e-7 of the output's RMS at the worst of thousands of samples (n 4096);
// 2e-6 of it (-114 dB) is far below the 16-bit codes' step (3e-5 of full
// scale), while a wrong twiddle, lane or bin errs by the signal itself.
constexpr double kBound = 2e-6;

// Complex Gaussian samples of unit power.
void gaussian(uint64_t seed, int32_t n, Vec* re, Vec* im) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> d(0.0, std::sqrt(0.5));
    re->resize(n);
    im->resize(n);
    for (int32_t k = 0; k < n; ++k) (*re)[k] = d(rng), (*im)[k] = d(rng);
}

double rms(const Vec& re, const Vec& im) {
    double sum = 0.0;
    for (size_t k = 0; k < re.size(); ++k) sum += re[k] * re[k] + im[k] * im[k];
    return std::sqrt(sum / re.size());
}

struct SingleFftCase {
    int32_t n;
    int32_t taps;
};
void PrintTo(const SingleFftCase& c, std::ostream* os) { *os << "n " << c.n << " taps " << c.taps; }
class ImpairFftSingleConvolve : public ::testing::TestWithParam<SingleFftCase> {};

// The response's float transform for n points from its taps.
void single_response(const ImpairFftSingle* sf, const Vec& hr, const Vec& hi, std::vector<float>* fr,
                     std::vector<float>* fi) {
    const int32_t n = sf->n;
    ImpairFft f;
    ASSERT_EQ(impair_fft_open(&f, n), 0);
    Vec re(n, 0.0), im(n, 0.0);
    for (size_t k = 0; k < hr.size(); ++k) re[k] = hr[k], im[k] = hi[k];
    impair_fft_forward_scrambled(&f, re.data(), im.data());
    for (int32_t k = 0; k < n; ++k) re[k] /= n, im[k] /= n;
    fr->resize(n);
    fi->resize(n);
    impair_fft_single_response(sf, re.data(), im.data(), fr->data(), fi->data());
    impair_fft_close(&f);
}

// The circular convolution of n points by taps taps equals the direct one in double within the bound.
TEST_P(ImpairFftSingleConvolve, EqualsTheDirectCircularConvolution) {
    const SingleFftCase c = GetParam();
    ImpairFftSingle sf;
    ASSERT_EQ(impair_fft_single_open(&sf, c.n), 0);
    Vec hr, hi, xr, xi;
    gaussian(3, c.taps, &hr, &hi);
    gaussian(4, c.n, &xr, &xi);
    std::vector<float> fr, fi;
    single_response(&sf, hr, hi, &fr, &fi);
    std::vector<float> yr(xr.begin(), xr.end()), yi(xi.begin(), xi.end());
    impair_fft_single_convolve(&sf, fr.data(), fi.data(), yr.data(), yi.data());
    Vec wr(c.n), wi(c.n);
    for (int32_t k = 0; k < c.n; ++k) {
        cplx sum = 0.0;
        for (int32_t j = 0; j < c.taps; ++j) sum += cplx(hr[j], hi[j]) * cplx(xr[(k - j + c.n) % c.n], xi[(k - j + c.n) % c.n]);
        wr[k] = sum.real(), wi[k] = sum.imag();
    }
    const double scale = rms(wr, wi);
    double worst = 0.0;
    for (int32_t k = 0; k < c.n; ++k) worst = std::max(worst, std::abs(cplx(yr[k], yi[k]) - cplx(wr[k], wi[k])));
    EXPECT_LT(worst, kBound * scale);
    impair_fft_single_close(&sf);
}

// The AVX loops (stages, transposed tiles, bin products) give the plain loops' values bit for bit.
TEST_P(ImpairFftSingleConvolve, VectorLoopsEqualThePlainLoops) {
#if ORV_X86_VECTORS
    if (!cpu_has_avx()) GTEST_SKIP() << "no AVX here";
#else
    GTEST_SKIP() << "no vector loops here";
#endif
    const SingleFftCase c = GetParam();
    ImpairFftSingle vec, plain;
    ASSERT_EQ(impair_fft_single_open(&vec, c.n), 0);
    ASSERT_EQ(impair_fft_single_open(&plain, c.n), 0);
    plain.no_avx = 1;
    Vec hr, hi, xr, xi;
    gaussian(5, c.taps, &hr, &hi);
    gaussian(6, c.n, &xr, &xi);
    std::vector<float> fr, fi;
    single_response(&vec, hr, hi, &fr, &fi);
    std::vector<float> vr(xr.begin(), xr.end()), vi(xi.begin(), xi.end());
    vr[3] = -0.0f;
    std::vector<float> pr = vr, pi = vi;
    impair_fft_single_convolve(&vec, fr.data(), fi.data(), vr.data(), vi.data());
    impair_fft_single_convolve(&plain, fr.data(), fi.data(), pr.data(), pi.data());
    EXPECT_EQ(std::memcmp(vr.data(), pr.data(), vr.size() * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(vi.data(), pi.data(), vi.size() * sizeof(float)), 0);
    impair_fft_single_close(&vec);
    impair_fft_single_close(&plain);
}

INSTANTIATE_TEST_SUITE_P(Cases, ImpairFftSingleConvolve,
                         ::testing::Values(SingleFftCase{64, 1}, SingleFftCase{64, 17}, SingleFftCase{128, 30},
                                           SingleFftCase{256, 41}, SingleFftCase{512, 81}, SingleFftCase{1024, 200},
                                           SingleFftCase{2048, 400}, SingleFftCase{4096, 561}),
                         orv_test::PrintedName{});

TEST(ImpairFftSingle, RefusesSizesBelowATileOrNotAPowerOfTwo) {
    for (const int32_t n : {0, 4, 32, 96, 1000, (1 << 22) + 1, 1 << 23}) {
        ImpairFftSingle f;
        EXPECT_EQ(impair_fft_single_open(&f, n), 1) << n;
        EXPECT_EQ(f.stage_cos, nullptr) << n;
    }
}

struct SingleChannelCase {
    const char* name;
    double rms_ns;  // 0: the fixed taps below
    bool in_place;
};
void PrintTo(const SingleChannelCase& c, std::ostream* os) { *os << c.name; }
class MultipathSingle : public ::testing::TestWithParam<SingleChannelCase> {};

// Both channels of a case, and its inputs with their spans (several realisations per window among them).
struct ChannelRun {
    Multipath vec, plain;
    int32_t taps = 0;
    Vec xi, xq;
    std::vector<int32_t> span;
};

void open_run(const SingleChannelCase& c, ChannelRun* r) {
    Vec power(kMultipathMaxTaps);
    static const double fixed_re[3] = {1.0, 0.0, -0.1}, fixed_im[3] = {0.0, 0.5, 0.02};
    r->taps = c.rms_ns > 0.0 ? exponential_profile(c.rms_ns, 12.5, power.data()) : 3;
    for (Multipath* m : {&r->vec, &r->plain})
        ASSERT_EQ(c.rms_ns > 0.0 ? multipath_open_single(m, power.data(), nullptr, nullptr, r->taps, 5)
                                 : multipath_open_single(m, nullptr, fixed_re, fixed_im, r->taps, 5),
                  0);
    r->plain.sfft.no_avx = 1;
    const int32_t hop = r->vec.hop, total = hop * 6;
    gaussian(8, total, &r->xi, &r->xq);
    r->span.resize(total);
    for (int32_t k = 0; k < total; ++k) r->span[k] = k < hop / 2 ? 0 : k < 3 * hop ? 1 : k < 3 * hop + 2 ? 2 : 3;
}

// The hops through the channel m, in place or not.
void run_channel(Multipath* m, const ChannelRun& r, bool in_place, Vec* yi, Vec* yq) {
    const int32_t hop = m->hop, total = static_cast<int32_t>(r.xi.size());
    *yi = r.xi;
    *yq = r.xq;
    for (int32_t at = 0; at < total; at += hop) {
        if (in_place)
            multipath_step(m, yi->data() + at, yq->data() + at, r.span.data() + at, yi->data() + at, yq->data() + at);
        else
            multipath_step(m, r.xi.data() + at, r.xq.data() + at, r.span.data() + at, yi->data() + at,
                           yq->data() + at);
    }
}

// Every input sample through its own span's realisation, as the direct double convolution, within the bound.
TEST_P(MultipathSingle, EqualsDirectConvolutionPerSpan) {
    const SingleChannelCase c = GetParam();
    ChannelRun r;
    open_run(c, &r);
    Vec yi, yq;
    run_channel(&r.vec, r, c.in_place, &yi, &yq);
    const int32_t total = static_cast<int32_t>(r.xi.size());
    std::vector<Vec> hre(4, Vec(r.taps)), him(4, Vec(r.taps));
    for (int32_t key = 0; key < 4; ++key) {
        if (c.rms_ns > 0.0) {
            multipath_realisation(&r.vec, key, hre[key].data(), him[key].data());
        } else {
            hre[key] = {1.0, 0.0, -0.1};
            him[key] = {0.0, 0.5, 0.02};
        }
    }
    Vec wi(total), wq(total);
    for (int32_t n = 0; n < total; ++n) {
        cplx want = 0.0;
        for (int32_t j = 0; j < r.taps && j <= n; ++j) {
            const int32_t s = r.span[n - j];
            want += cplx(hre[s][j], him[s][j]) * cplx(r.xi[n - j], r.xq[n - j]);
        }
        wi[n] = want.real(), wq[n] = want.imag();
    }
    const double scale = rms(wi, wq);
    double worst = 0.0;
    for (int32_t n = 0; n < total; ++n) worst = std::max(worst, std::abs(cplx(yi[n], yq[n]) - cplx(wi[n], wq[n])));
    EXPECT_LT(worst, kBound * scale);
    multipath_close(&r.vec);
    multipath_close(&r.plain);
}

// The AVX loops (conversions, transforms) give the plain loops' outputs bit for bit.
TEST_P(MultipathSingle, VectorLoopsEqualThePlainLoops) {
#if ORV_X86_VECTORS
    if (!cpu_has_avx()) GTEST_SKIP() << "no AVX here";
#else
    GTEST_SKIP() << "no vector loops here";
#endif
    const SingleChannelCase c = GetParam();
    ChannelRun r;
    open_run(c, &r);
    Vec vi, vq, pi, pq;
    run_channel(&r.vec, r, c.in_place, &vi, &vq);
    run_channel(&r.plain, r, c.in_place, &pi, &pq);
    EXPECT_EQ(std::memcmp(vi.data(), pi.data(), vi.size() * sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(vq.data(), pq.data(), vq.size() * sizeof(double)), 0);
    multipath_close(&r.vec);
    multipath_close(&r.plain);
}

struct IdleGapCase {
    const char* name;
    bool single;     // multipath_open_single, else multipath_open
    double rms_ns;   // 0: three fixed taps
    int32_t gap;     // zero inputs between the two bursts
    int32_t shift;   // where realisation 1 begins, from the gap's start (-1: the first hop boundary
                     // a hop past it); realisation 2 from the second burst's middle
    double bound;    // of the output's RMS against the direct double convolution
};
void PrintTo(const IdleGapCase& c, std::ostream* os) { *os << c.name; }
class MultipathIdleGap : public ::testing::TestWithParam<IdleGapCase> {};

// A case's channel, and its two bursts with their realisations (0, 1 from the
// gap's start plus shift, 2 from the second burst's middle), the rest zeros.
struct GapRun {
    Multipath m;
    int32_t taps = 0;
    Vec xi, xq;
    std::vector<int32_t> span;
};

constexpr double kGapFixedRe[3] = {1.0, 0.0, -0.1}, kGapFixedIm[3] = {0.0, 0.5, 0.02};

void open_gap_run(const IdleGapCase& c, GapRun* r) {
    Vec power(kMultipathMaxTaps);
    r->taps = c.rms_ns > 0.0 ? exponential_profile(c.rms_ns, 12.5, power.data()) : 3;
    const auto open = c.single ? multipath_open_single : multipath_open;
    ASSERT_EQ(c.rms_ns > 0.0 ? open(&r->m, power.data(), nullptr, nullptr, r->taps, 5)
                             : open(&r->m, nullptr, kGapFixedRe, kGapFixedIm, r->taps, 5),
              0);
    // Each burst ends within the kept inputs of a step whose own hop is all zero.
    const int32_t hop = r->m.hop, burst = 2 * hop - r->taps / 2, total = ((2 * burst + c.gap) / hop + 4) * hop;
    gaussian(11, total, &r->xi, &r->xq);
    r->span.assign(total, 0);
    const int32_t one = c.shift >= 0 ? burst + c.shift : (burst + 2 * hop - 1) / hop * hop;
    for (int32_t k = burst; k < total; ++k) {
        if (k < burst + c.gap || k >= 2 * burst + c.gap) r->xi[k] = r->xq[k] = 0.0;
        if (k >= one) r->span[k] = k < burst + c.gap + burst / 2 ? 1 : 2;
    }
}

// The hops through r's channel; with one_call, multipath_step_one for the hops of one realisation.
void run_gap(GapRun* r, bool one_call, Vec* yi, Vec* yq) {
    const int32_t hop = r->m.hop, total = static_cast<int32_t>(r->xi.size());
    yi->assign(total, 0.0);
    yq->assign(total, 0.0);
    for (int32_t at = 0; at < total; at += hop) {
        const int32_t* s = r->span.data() + at;
        if (one_call && std::all_of(s, s + hop, [s](int32_t v) { return v == s[0]; }))
            multipath_step_one(&r->m, r->xi.data() + at, r->xq.data() + at, s[0], yi->data() + at, yq->data() + at);
        else
            multipath_step(&r->m, r->xi.data() + at, r->xq.data() + at, s, yi->data() + at, yq->data() + at);
    }
}

// Bursts parted by zeros and followed by them (the steps that skip idle windows
// among them): every output equals the direct convolution, and one that no
// window holding an input can reach is exactly zero.
TEST_P(MultipathIdleGap, EqualsDirectConvolutionAcrossTheGap) {
    const IdleGapCase c = GetParam();
    GapRun r;
    ASSERT_NO_FATAL_FAILURE(open_gap_run(c, &r));
    const int32_t taps = r.taps, hop = r.m.hop, total = static_cast<int32_t>(r.xi.size());
    const Vec& xi = r.xi;
    const Vec& xq = r.xq;
    const std::vector<int32_t>& span = r.span;
    Vec yi, yq;
    run_gap(&r, false, &yi, &yq);
    Multipath& m = r.m;
    std::vector<Vec> hre(3, Vec(taps)), him(3, Vec(taps));
    for (int32_t key = 0; key < 3; ++key) {
        if (c.rms_ns > 0.0) {
            multipath_realisation(&m, key, hre[key].data(), him[key].data());
        } else {
            hre[key].assign(kGapFixedRe, kGapFixedRe + 3);
            him[key].assign(kGapFixedIm, kGapFixedIm + 3);
        }
    }
    Vec wi(total), wq(total);
    for (int32_t n = 0; n < total; ++n) {
        cplx want = 0.0;
        for (int32_t j = 0; j < taps && j <= n; ++j) {
            want += cplx(hre[span[n - j]][j], him[span[n - j]][j]) * cplx(xi[n - j], xq[n - j]);
        }
        wi[n] = want.real(), wq[n] = want.imag();
    }
    const double scale = rms(wi, wq);
    double worst = 0.0;
    int32_t silent = 0, not_zero = 0;
    for (int32_t n = 0; n < total; ++n) {
        worst = std::max(worst, std::abs(cplx(yi[n], yq[n]) - cplx(wi[n], wq[n])));
        bool far = true;
        for (int32_t k = std::max(0, n - hop - taps); k < std::min(total, n + hop); ++k)
            far = far && xi[k] == 0.0 && xq[k] == 0.0;
        if (far) ++silent, not_zero += yi[n] != 0.0 || yq[n] != 0.0;
    }
    EXPECT_LT(worst, c.bound * scale);
    EXPECT_GT(silent, 0);
    EXPECT_EQ(not_zero, 0);
    multipath_close(&m);
}

// The hops of one realisation through multipath_step_one give multipath_step's outputs bit for bit.
TEST_P(MultipathIdleGap, StepOneEqualsStepWithTheList) {
    const IdleGapCase c = GetParam();
    GapRun list, one;
    ASSERT_NO_FATAL_FAILURE(open_gap_run(c, &list));
    ASSERT_NO_FATAL_FAILURE(open_gap_run(c, &one));
    Vec li, lq, oi, oq;
    run_gap(&list, false, &li, &lq);
    run_gap(&one, true, &oi, &oq);
    EXPECT_EQ(std::memcmp(li.data(), oi.data(), li.size() * sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(lq.data(), oq.data(), lq.size() * sizeof(double)), 0);
    multipath_close(&list.m);
    multipath_close(&one.m);
}

// Gaps shorter than the kept inputs, within one window, and over several hops;
// the second realisation from inside the gap or from its start.
INSTANTIATE_TEST_SUITE_P(Cases, MultipathIdleGap,
                         ::testing::Values(IdleGapCase{"single Rayleigh 100 ns short gap", true, 100.0, 40, 20, kBound},
                                           IdleGapCase{"single Rayleigh 100 ns gap near a window", true, 100.0, 600, 300,
                                                       kBound},
                                           IdleGapCase{"single Rayleigh 700 ns long gap", true, 700.0, 9000, 4000,
                                                       kBound},
                                           IdleGapCase{"single Rayleigh 100 ns switch at gap start", true, 100.0, 2000,
                                                       0, kBound},
                                           IdleGapCase{"single Rayleigh 100 ns switch at a hop in the gap", true,
                                                       100.0, 2000, -1, kBound},
                                           IdleGapCase{"double Rayleigh 100 ns long gap", false, 100.0, 2000, 1000,
                                                       1e-12},
                                           IdleGapCase{"double Rayleigh 100 ns switch at a hop in the gap", false,
                                                       100.0, 2000, -1, 1e-12},
                                           IdleGapCase{"double three fixed taps long gap", false, 0.0, 1000, 500,
                                                       1e-12}),
                         orv_test::PrintedName{});

INSTANTIATE_TEST_SUITE_P(Cases, MultipathSingle,
                         ::testing::Values(SingleChannelCase{"Rayleigh 100 ns", 100.0, false},
                                           SingleChannelCase{"Rayleigh 100 ns in place", 100.0, true},
                                           SingleChannelCase{"Rayleigh 700 ns", 700.0, false},
                                           SingleChannelCase{"three fixed taps in place", 0.0, true}),
                         orv_test::PrintedName{});


// ---- The hop filled in single precision ----------------------------------------

struct ToSingleCase {
    const char* name;
    int32_t n;
    int32_t nonzero_at;  // the one input not zero (-1: none; -2: every one)
    double value;        // its value
};
void PrintTo(const ToSingleCase& c, std::ostream* os) { *os << c.name; }
class MultipathToSingle : public ::testing::TestWithParam<ToSingleCase> {};

// The floats are the doubles' roundings, and the bits are zero exactly when
// every input is zero of either sign (a double too small for a float counts),
// in the plain and the AVX loop alike.
TEST_P(MultipathToSingle, RoundsAndTellsZeroFromNotZero) {
    const ToSingleCase c = GetParam();
    Vec x, y;
    gaussian(21, c.n, &x, &y);
    for (int32_t k = 0; k < c.n; ++k) {
        if (c.nonzero_at == -2) continue;
        x[k] = k % 2 == 0 ? 0.0 : -0.0;
        y[k] = k % 3 == 0 ? -0.0 : 0.0;
        if (k == c.nonzero_at) y[k] = c.value;
    }
    const bool all_zero = c.nonzero_at == -1 || (c.nonzero_at >= c.n);
    const int32_t ways = cpu_has_avx() ? 2 : 1;
    for (int32_t avx = 0; avx < ways; ++avx) {
        std::vector<float> fx(c.n + 1, 7.0f), fy(c.n + 1, 7.0f);
        const uint64_t bits = multipath_to_single(c.n, x.data(), y.data(), fx.data(), fy.data(), avx);
        EXPECT_EQ(bits == 0, all_zero) << "avx " << avx;
        for (int32_t k = 0; k < c.n; ++k) {
            const float wx = static_cast<float>(x[k]), wy = static_cast<float>(y[k]);
            EXPECT_EQ(std::memcmp(&fx[k], &wx, sizeof wx), 0) << "avx " << avx << " x " << k;
            EXPECT_EQ(std::memcmp(&fy[k], &wy, sizeof wy), 0) << "avx " << avx << " y " << k;
        }
        EXPECT_EQ(fx[c.n], 7.0f) << "avx " << avx << " wrote past n";
        EXPECT_EQ(fy[c.n], 7.0f) << "avx " << avx << " wrote past n";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, MultipathToSingle,
                         ::testing::Values(ToSingleCase{"none", 0, -1, 0.0},
                                           ToSingleCase{"one gaussian", 1, -2, 0.0},
                                           ToSingleCase{"seven gaussian", 7, -2, 0.0},
                                           ToSingleCase{"432 gaussian", 432, -2, 0.0},
                                           ToSingleCase{"13 signed zeros", 13, -1, 0.0},
                                           ToSingleCase{"13 one in the loop of eight", 13, 2, 0.25},
                                           ToSingleCase{"13 one in the loop of four", 13, 9, 0.25},
                                           ToSingleCase{"21 one below a float in the loop of eight", 21, 14, 1e-300},
                                           ToSingleCase{"13 one in the rest", 13, 12, -3.0},
                                           ToSingleCase{"13 one below a float in the loop", 13, 5, 1e-300},
                                           ToSingleCase{"13 one below a float in the rest", 13, 12, -1e-300},
                                           ToSingleCase{"5 one least subnormal", 5, 4, 5e-324}),
                         orv_test::PrintedName{});

struct FillCase {
    const char* name;
    double rms_ns;          // of the Rayleigh channel
    int32_t piece;          // inputs a fill call (the last piece shorter)
    int32_t first_piece;    // the first call's inputs (0: piece)
    int32_t impulse_back;   // KeptInputsReachTheNextHop's one input, this many before the first hop's end
};
void PrintTo(const FillCase& c, std::ostream* os) { *os << c.name; }
class MultipathSingleFill : public ::testing::TestWithParam<FillCase> {};

// The hops of x through m by multipath_single_fill in pieces and
// multipath_single_step: each hop's outputs as the step gives them (floats or
// doubles) in y as doubles, and rounded to float in f (the kept samples').
void run_filled(Multipath* m, const FillCase& c, const Vec& xi, const Vec& xq, const std::vector<int32_t>& span,
                Vec* yi, Vec* yq, std::vector<float>* f) {
    const int32_t hop = m->hop, total = static_cast<int32_t>(xi.size());
    yi->assign(total, 0.0);
    yq->assign(total, 0.0);
    f->assign(2 * static_cast<size_t>(total), 0.0f);
    for (int32_t at = 0; at < total; at += hop) {
        for (int32_t k = 0; k < hop;) {
            const int32_t want = k == 0 && c.first_piece > 0 ? c.first_piece : c.piece;
            const int32_t n = std::min(want, hop - k);
            multipath_single_fill(m, k, n, xi.data() + at + k, xq.data() + at + k);
            k += n;
        }
        const int32_t* s = span.data() + at;
        const bool one = std::all_of(s, s + hop, [s](int32_t v) { return v == s[0]; });
        const float* fr = nullptr;
        const float* fi = nullptr;
        if (multipath_single_step(m, one ? nullptr : s, s[0], yi->data() + at, yq->data() + at, &fr, &fi) != 0)
            for (int32_t k = 0; k < hop; ++k) (*yi)[at + k] = fr[k], (*yq)[at + k] = fi[k];
        for (int32_t k = 0; k < hop; ++k) {
            (*f)[2 * (at + k)] = static_cast<float>((*yi)[at + k]);
            (*f)[2 * (at + k) + 1] = static_cast<float>((*yq)[at + k]);
        }
    }
}

// Inputs of several realisations with idle hops among them, filled in pieces
// (across the kept inputs' edge among them), give multipath_step's outputs
// bit for bit, whether a step hands them out in floats or in doubles.
TEST_P(MultipathSingleFill, EqualsTheStepOnDoubles) {
    const FillCase c = GetParam();
    Vec power(kMultipathMaxTaps);
    const int32_t taps = exponential_profile(c.rms_ns, 12.5, power.data());
    Multipath filled, whole;
    ASSERT_EQ(multipath_open_single(&filled, power.data(), nullptr, nullptr, taps, 5), 0);
    ASSERT_EQ(multipath_open_single(&whole, power.data(), nullptr, nullptr, taps, 5), 0);
    const int32_t hop = whole.hop, total = 8 * hop;
    Vec xi, xq;
    gaussian(31, total, &xi, &xq);
    std::vector<int32_t> span(total);
    for (int32_t k = 0; k < total; ++k) {
        span[k] = k < 2 * hop + 7 ? 0 : k < 6 * hop ? 1 : 2;
        // Hops 3 and 4 idle but a value below a float's range in hop 4's last input.
        if (k >= 3 * hop && k < 5 * hop) xi[k] = xq[k] = 0.0;
    }
    xi[5 * hop - 1] = 1e-300;
    Vec yi, yq, wi(total), wq(total);
    std::vector<float> f;
    run_filled(&filled, c, xi, xq, span, &yi, &yq, &f);
    for (int32_t at = 0; at < total; at += hop)
        multipath_step(&whole, xi.data() + at, xq.data() + at, span.data() + at, wi.data() + at, wq.data() + at);
    EXPECT_EQ(std::memcmp(yi.data(), wi.data(), total * sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(yq.data(), wq.data(), total * sizeof(double)), 0);
    for (int32_t k = 0; k < total; ++k) {
        const float want[2] = {static_cast<float>(wi[k]), static_cast<float>(wq[k])};
        ASSERT_EQ(std::memcmp(&f[2 * k], want, sizeof want), 0) << k;
    }
    multipath_close(&filled);
    multipath_close(&whole);
}

// One input near the end of a hop, then a hop of zeros: the second hop's
// outputs are that input's later taps when it is among the kept inputs, and
// exactly zero (an idle window) when every tap of it fell in the first hop.
TEST_P(MultipathSingleFill, KeptInputsReachTheNextHop) {
    const FillCase c = GetParam();
    Vec power(kMultipathMaxTaps);
    const int32_t taps = exponential_profile(c.rms_ns, 12.5, power.data());
    Multipath m;
    ASSERT_EQ(multipath_open_single(&m, power.data(), nullptr, nullptr, taps, 5), 0);
    const int32_t hop = m.hop, total = 3 * hop, at = hop - c.impulse_back;
    Vec xi(total, 0.0), xq(total, 0.0), hr(taps), hi(taps);
    xi[at] = 1.0;
    const std::vector<int32_t> span(total, 0);
    Vec yi, yq;
    std::vector<float> f;
    run_filled(&m, c, xi, xq, span, &yi, &yq, &f);
    multipath_realisation(&m, 0, hr.data(), hi.data());
    double scale = 0.0;
    for (int32_t j = 0; j < taps; ++j) scale = std::max(scale, std::abs(cplx(hr[j], hi[j])));
    // The second hop holds the impulse's response exactly when its input was among the last taps - 1.
    const bool reaches = c.impulse_back <= taps - 1;
    for (int32_t k = 0; k < total; ++k) {
        const int32_t j = k - at;
        const cplx want = j >= 0 && j < taps ? cplx(hr[j], hi[j]) : cplx(0.0);
        ASSERT_LT(std::abs(cplx(yi[k], yq[k]) - want), kBound * scale) << k;
        const bool idle = k >= 2 * hop || (k >= hop && !reaches);
        if (idle) {
            ASSERT_TRUE(yi[k] == 0.0 && yq[k] == 0.0) << k;
        }
    }
    double second = 0.0;
    for (int32_t k = hop; k < 2 * hop; ++k) second = std::max(second, std::abs(cplx(yi[k], yq[k])));
    EXPECT_EQ(second > 0.0, reaches) << "largest output of the second hop " << second;
    multipath_close(&m);
}

// 50 ns at 12.5 ns: 41 taps, 40 kept inputs.
INSTANTIATE_TEST_SUITE_P(Cases, MultipathSingleFill,
                         ::testing::Values(FillCase{"whole hop impulse last input", 50.0, 1 << 20, 0, 1},
                                           FillCase{"pieces of 7 impulse first kept input", 50.0, 7, 0, 40},
                                           FillCase{"pieces of 1 impulse before the kept inputs", 50.0, 1, 0, 41},
                                           FillCase{"one then the rest 700 ns impulse first kept input", 700.0, 1 << 20, 1, 560},
                                           FillCase{"split three before the kept edge impulse there", 50.0, 1 << 20, 173, 43},
                                           FillCase{"impulse first kept input whole hop", 50.0, 1 << 20, 0, 40},
                                           FillCase{"impulse first kept input split at it", 50.0, 1 << 20, 176, 40},
                                           FillCase{"impulse last input pieces of 5", 50.0, 5, 0, 1},
                                           FillCase{"impulse before the kept inputs", 50.0, 1 << 20, 0, 41},
                                           FillCase{"impulse before the kept inputs split", 50.0, 1 << 20, 175,
                                                    41}),
                         orv_test::PrintedName{});

}  // namespace
