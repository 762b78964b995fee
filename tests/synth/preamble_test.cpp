#include "preamble.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <ostream>
#include <vector>

#include "fft.h"
#include "synth/reference/annex_g.h"
#include "synth/reference/wlan_reference.h"
#include "support/readable_params.h"

namespace {

// The annex prints three decimals: a correct sample is within half a unit of the last one.
constexpr double kPrinted = 0.0005 + 1e-12;

struct Field {
    std::vector<double> i, q;
};

using Builder = int32_t (*)(double*, double*, int32_t, int32_t);

Field build(Builder builder, int32_t L, int32_t os) {
    Field f{std::vector<double>(160 * os, 9.0), std::vector<double>(160 * os, 9.0)};
    EXPECT_EQ(builder(f.i.data(), f.q.data(), L, os), 0);
    fft_release_tables();
    return f;
}

struct AnnexCase {
    const char* name;
    Builder builder;
    const double (*table)[2];
    int32_t continuation;  // our sample that the annex's extra sample 160 repeats
};
void PrintTo(const AnnexCase& c, std::ostream* os) { *os << c.name; }

class AnnexG : public ::testing::TestWithParam<AnnexCase> {};

// Unwindowed (L = 0), every sample but the first matches the annex; the
// annex's first sample is halved by its window, and its extra sample 160 is
// the halved periodic continuation (short field: sample 0 again; long field:
// the start of a third long symbol, our sample 32).
TEST_P(AnnexG, UnwindowedFieldMatchesTheAnnexAtOversamplingOne) {
    const AnnexCase& c = GetParam();
    const Field f = build(c.builder, 0, 1);
    for (int32_t n = 1; n < 160; ++n) {
        EXPECT_NEAR(f.i[n], c.table[n][0], kPrinted) << "sample " << n;
        EXPECT_NEAR(f.q[n], c.table[n][1], kPrinted) << "sample " << n;
    }
    EXPECT_NEAR(0.5 * f.i[0], c.table[0][0], kPrinted);
    EXPECT_NEAR(0.5 * f.q[0], c.table[0][1], kPrinted);
    EXPECT_NEAR(0.5 * f.i[c.continuation], c.table[160][0], kPrinted);
    EXPECT_NEAR(0.5 * f.q[c.continuation], c.table[160][1], kPrinted);
}

// L = 2 (h = 1) weights the first sample with sin^2(pi/4) = 0.5, the annex's
// w(0): the first sample then matches the annex as printed. Our taper halves
// the field's own last sample too, where the annex halves the extra one.
TEST_P(AnnexG, TwoSampleTaperReproducesTheAnnexWindowAtTheStart) {
    const AnnexCase& c = GetParam();
    const Field plain = build(c.builder, 0, 1);
    const Field f = build(c.builder, 2, 1);
    for (int32_t n = 0; n < 159; ++n) {
        EXPECT_NEAR(f.i[n], c.table[n][0], kPrinted) << "sample " << n;
        EXPECT_NEAR(f.q[n], c.table[n][1], kPrinted) << "sample " << n;
    }
    EXPECT_NEAR(f.i[159], 0.5 * plain.i[159], 1e-16);
    EXPECT_NEAR(f.q[159], 0.5 * plain.q[159], 1e-16);
}

// The oversized transform keeps the 1/M factor: at os the same waveform is
// sampled os times more densely with 1/os of the amplitude (to the chirp-z
// path's rounding for the sizes that are not powers of two).
TEST_P(AnnexG, OversampledFieldIsTheBaseFieldOverOs) {
    const AnnexCase& c = GetParam();
    const Field base = build(c.builder, 0, 1);
    for (int32_t os = 2; os <= 10; ++os) {
        const Field f = build(c.builder, 0, os);
        for (int32_t n = 0; n < 160; ++n) {
            ASSERT_NEAR(f.i[os * n], base.i[n] / os, 1e-14) << "os " << os << " sample " << n;
            ASSERT_NEAR(f.q[os * n], base.q[n] / os, 1e-14) << "os " << os << " sample " << n;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, AnnexG,
    ::testing::Values(AnnexCase{"Short", build_short_training, annex_g::kShort, 0},
                      AnnexCase{"Long", build_long_training, annex_g::kLong, 32}),
    [](const ::testing::TestParamInfo<AnnexCase>& tc) { return std::string(tc.param.name); });

// ---- Frequency content: the sequences of 17.3.3, in subcarrier order -26..26 ----

// Short sequence S without its sqrt(13/6): (1 + j) times these signs.
// clang-format off
const int32_t kShortSigns[53] = {0, 0, 1, 0, 0, 0, -1, 0, 0, 0, 1, 0, 0, 0, -1, 0, 0, 0,
                                 -1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, -1, 0, 0, 0, -1, 0,
                                 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0};
// Long sequence L.
const int32_t kLongSeq[53] = {1, 1,  -1, -1, 1, 1,  -1, 1,  -1, 1,  1, 1, 1, 1,  1, -1, -1, 1,
                              1, -1, 1,  -1, 1, 1,  1,  1,  0,  1,  -1, -1, 1, 1, -1, 1, -1, 1,
                              -1, -1, -1, -1, -1, 1, 1,  -1, -1, 1,  -1, 1,  -1, 1,  1, 1,  1};
// clang-format on

class Spectrum : public ::testing::TestWithParam<int32_t> {};

TEST_P(Spectrum, ShortAndLongFieldsCarryTheirSequences) {
    const int32_t os = GetParam(), m = 64 * os;
    const Field s = build(build_short_training, 0, os);
    const Field l = build(build_long_training, 0, os);
    const double factor = std::sqrt(13.0 / 6.0);
    for (int32_t k = -32; k <= 32; ++k) {
        const bool inside = k >= -26 && k <= 26;
        const double es = inside ? kShortSigns[k + 26] * factor : 0.0;
        const double el = inside ? kLongSeq[k + 26] : 0.0;
        const ref::Bin xs = ref::dft_bin(m, s.i.data(), s.q.data(), k);
        const ref::Bin xl = ref::dft_bin(m, l.i.data() + 32 * os, l.q.data() + 32 * os, k);
        EXPECT_NEAR(xs.re, es, 1e-12) << "short, subcarrier " << k;
        EXPECT_NEAR(xs.im, es, 1e-12) << "short, subcarrier " << k;
        EXPECT_NEAR(xl.re, el, 1e-12) << "long, subcarrier " << k;
        EXPECT_NEAR(xl.im, 0.0, 1e-12) << "long, subcarrier " << k;
    }
}

// ---- Structure ----

TEST_P(Spectrum, ShortFieldIsTenExactPeriods) {
    const int32_t os = GetParam(), period = 16 * os;
    const Field f = build(build_short_training, 0, os);
    for (int32_t r = 1; r < 10; ++r)
        for (int32_t n = 0; n < period; ++n) {
            ASSERT_EQ(f.i[period * r + n], f.i[n]) << r << " " << n;
            ASSERT_EQ(f.q[period * r + n], f.q[n]) << r << " " << n;
        }
}

TEST_P(Spectrum, LongFieldIsGuardAndTwoEqualSymbols) {
    const int32_t os = GetParam();
    const Field f = build(build_long_training, 0, os);
    for (int32_t n = 0; n < 64 * os; ++n) {
        ASSERT_EQ(f.i[32 * os + n], f.i[96 * os + n]) << n;
        ASSERT_EQ(f.q[32 * os + n], f.q[96 * os + n]) << n;
    }
    for (int32_t n = 0; n < 32 * os; ++n) {
        ASSERT_EQ(f.i[n], f.i[128 * os + n]) << n;
        ASSERT_EQ(f.q[n], f.q[128 * os + n]) << n;
    }
}

// 12 subcarriers of power 2 x 13/6 against 52 of power 1: 52 both.
TEST_P(Spectrum, ShortAndLongFieldsHaveEqualMeanPower) {
    const int32_t os = GetParam();
    const Field s = build(build_short_training, 0, os);
    const Field l = build(build_long_training, 0, os);
    double ps = 0.0, pl = 0.0;
    for (int32_t n = 0; n < 160 * os; ++n) {
        ps += s.i[n] * s.i[n] + s.q[n] * s.q[n];
        pl += l.i[n] * l.i[n] + l.q[n] * l.q[n];
    }
    const double expected = 160.0 * os * 52.0 / (64.0 * os * 64.0 * os);  // Parseval, 1/M scaling
    EXPECT_NEAR(ps, expected, 1e-12 * expected);
    EXPECT_NEAR(pl, expected, 1e-12 * expected);
}

INSTANTIATE_TEST_SUITE_P(Oversampling, Spectrum, ::testing::Range(1, 11),
                         [](const ::testing::TestParamInfo<int>& tc) { return "os" + std::to_string(tc.param); });

// L = 8 at os = 4: only the first and last four samples of each 640-sample
// field change, by (1 + sin(pi i / 8)) / 2; the fields abut without overlap.
TEST(PreambleTaper, EightSampleTaperTouchesFourPlusFourSamplesPerField) {
    const int32_t os = 4, len = 640;
    std::vector<double> i(2 * len, 0.0), q(2 * len, 0.0);
    ASSERT_EQ(build_short_training(i.data(), q.data(), 8, os), 0);
    ASSERT_EQ(build_long_training(i.data() + len, q.data() + len, 8, os), 0);
    fft_release_tables();
    const Field plain_s = build(build_short_training, 0, os);
    const Field plain_l = build(build_long_training, 0, os);
    for (int32_t n = 0; n < len; ++n) {
        double w = 1.0;
        if (n < 4) w = (1.0 + std::sin(std::numbers::pi * n / 8)) / 2.0;
        if (n >= len - 4) w = (1.0 + std::sin(std::numbers::pi * (len - 1 - n) / 8)) / 2.0;
        if (w == 1.0) {
            ASSERT_EQ(i[n], plain_s.i[n]) << n;
            ASSERT_EQ(q[len + n], plain_l.q[n]) << n;
        } else {
            ASSERT_NEAR(i[n], w * plain_s.i[n], 1e-16) << n;
            ASSERT_NEAR(q[n], w * plain_s.q[n], 1e-16) << n;
            ASSERT_NEAR(i[len + n], w * plain_l.i[n], 1e-16) << n;
            ASSERT_NEAR(q[len + n], w * plain_l.q[n], 1e-16) << n;
        }
    }
}

TEST(PreambleTaper, TaperLongerThanTheFieldChangesNothing) {
    const Field plain = build(build_long_training, 0, 1);
    const Field f = build(build_long_training, 160, 1);
    EXPECT_EQ(f.i, plain.i);
    EXPECT_EQ(f.q, plain.q);
}

TEST(Preamble, RefusesAnOversamplingOutOfRange) {
    double i[4] = {1, 1, 1, 1}, q[4] = {1, 1, 1, 1};
    EXPECT_EQ(build_short_training(i, q, 0, 0), 1);
    EXPECT_EQ(build_long_training(i, q, 0, -3), 1);
    EXPECT_EQ(i[0], 1.0);
}

}  // namespace
