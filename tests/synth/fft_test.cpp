#include "fft.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "synth/reference/fft_literal.h"
#include "synth/reference/wlan_reference.h"
#include "support/readable_params.h"

namespace {

struct Signal {
    std::vector<double> re, im;
};

Signal random_signal(int32_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Signal s{std::vector<double>(n), std::vector<double>(n)};
    for (int32_t i = 0; i < n; ++i) {
        s.re[i] = u(gen);
        s.im[i] = u(gen);
    }
    return s;
}

double max_abs_diff(const Signal& a, const Signal& b) {
    double worst = 0.0;
    for (size_t i = 0; i < a.re.size(); ++i)
        worst = std::max({worst, std::fabs(a.re[i] - b.re[i]), std::fabs(a.im[i] - b.im[i])});
    return worst;
}

double sum_abs(const Signal& s) {
    double total = 0.0;
    for (size_t i = 0; i < s.re.size(); ++i) total += std::fabs(s.re[i]) + std::fabs(s.im[i]);
    return total;
}

Signal reference_dft(const Signal& x, int32_t direction) {
    const int32_t n = static_cast<int32_t>(x.re.size());
    Signal y{std::vector<double>(n), std::vector<double>(n)};
    ref::dft(n, x.re.data(), x.im.data(), direction, y.re.data(), y.im.data());
    return y;
}

bool is_power_of_two(int32_t n) { return (n & (n - 1)) == 0; }

// Error bound relative to the output's natural scale. The radix-2 path stays
// within a few ulp per stage; the chirp-z path evaluates its chirp at phases
// up to pi n (m squared is not reduced), so its error grows with n.
double tolerance(int32_t n) { return is_power_of_two(n) ? 1e-14 : 1e-16 * n; }

// Sizes the synthesis uses (64 x os, os = 1..10) and a few others.
std::vector<int32_t> test_sizes() {
    std::vector<int32_t> sizes;
    for (int32_t os = 1; os <= 10; ++os) sizes.push_back(64 * os);
    for (int32_t n : {4, 8, 12, 16, 100, 1000, 1024, 4096}) sizes.push_back(n);
    return sizes;
}

class FftAgainstDft : public ::testing::TestWithParam<int32_t> {};

// Both directions agree with the direct DFT to a bound far below any
// wrong-twiddle or wrong-order error (those are of the order of the signal).
TEST_P(FftAgainstDft, MatchesDirectTransformBothDirections) {
    const int32_t n = GetParam();
    for (int32_t direction : {0, 1}) {
        const Signal x = random_signal(n, 1000u + static_cast<uint32_t>(n) + direction);
        const Signal expected = reference_dft(x, direction);
        Signal y = x;
        ASSERT_EQ(fft(n, y.re.data(), y.im.data(), direction), 0);
        const double scale = sum_abs(x) / (direction == 0 ? n : 1);
        EXPECT_LT(max_abs_diff(y, expected), tolerance(n) * scale)
            << "n " << n << " direction " << direction;
    }
}

TEST_P(FftAgainstDft, ForwardThenInverseRestoresInput) {
    const int32_t n = GetParam();
    const Signal x = random_signal(n, 77u + static_cast<uint32_t>(n));
    Signal y = x;
    ASSERT_EQ(fft(n, y.re.data(), y.im.data(), 1), 0);
    ASSERT_EQ(fft(n, y.re.data(), y.im.data(), 0), 0);
    EXPECT_LT(max_abs_diff(y, x), 10.0 * tolerance(n));
}

TEST_P(FftAgainstDft, UnitImpulseGivesFlatSpectrum) {
    const int32_t n = GetParam();
    const bool radix2 = is_power_of_two(n);
    for (int32_t direction : {0, 1}) {
        Signal x{std::vector<double>(n, 0.0), std::vector<double>(n, 0.0)};
        x.re[0] = 1.0;
        ASSERT_EQ(fft(n, x.re.data(), x.im.data(), direction), 0);
        const double level = direction == 0 ? 1.0 / n : 1.0;
        for (int32_t k = 0; k < n; ++k) {
            if (radix2) {  // every butterfly adds exact zeros: the result is exact
                ASSERT_EQ(x.re[k], level) << k;
                ASSERT_EQ(x.im[k], 0.0) << k;
            } else {
                ASSERT_NEAR(x.re[k], level, 1e-15 * n * level) << k;
                ASSERT_NEAR(x.im[k], 0.0, 1e-15 * n * level) << k;
            }
        }
    }
}

// The output bytes are those of the algorithm as written, step by step: the
// library's loop order and its exact power-of-two scaling change no bit.
TEST_P(FftAgainstDft, BitIdenticalToTheLiteralAlgorithm) {
    const int32_t n = GetParam();
    for (int32_t direction : {0, 1}) {
        Signal x = random_signal(n, 4242u + static_cast<uint32_t>(n) + direction);
        x.re[1] = 1e-310;  // a subnormal input, and a negative zero
        x.im[2] = -0.0;
        Signal y = x, z = x;
        ASSERT_EQ(fft(n, y.re.data(), y.im.data(), direction), 0);
        literal::transform(n, z.re.data(), z.im.data(), direction);
        EXPECT_EQ(std::memcmp(y.re.data(), z.re.data(), n * sizeof(double)), 0) << n;
        EXPECT_EQ(std::memcmp(y.im.data(), z.im.data(), n * sizeof(double)), 0) << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, FftAgainstDft, ::testing::ValuesIn(test_sizes()),
                         [](const ::testing::TestParamInfo<int32_t>& tc) {
                             return std::string("n").append(std::to_string(tc.param));
                         });

TEST(Fft, BitIdenticalToTheLiteralAlgorithmOnTinyValues) {
    // Results down in the subnormal range, where scaling by 1/n must round as dividing does.
    for (int32_t n : {4, 64, 512, 4096}) {
        Signal x = random_signal(n, 99);
        for (int32_t i = 0; i < n; ++i) {
            x.re[i] *= 3e-308;
            x.im[i] *= 7e-309;
        }
        Signal y = x, z = x;
        ASSERT_EQ(fft_radix2(n, y.re.data(), y.im.data(), 0), 0);
        literal::radix2(n, z.re.data(), z.im.data(), 0);
        EXPECT_EQ(std::memcmp(y.re.data(), z.re.data(), n * sizeof(double)), 0) << n;
        EXPECT_EQ(std::memcmp(y.im.data(), z.im.data(), n * sizeof(double)), 0) << n;
    }
}

using Transform = int32_t (*)(int32_t, double*, double*, int32_t);

struct CodeCase {
    const char* name;
    Transform transform;
    int32_t n;
    int32_t direction;
    int32_t expected;
};
void PrintTo(const CodeCase& c, std::ostream* os) { *os << c.name; }

class FftResultCodes : public ::testing::TestWithParam<CodeCase> {};

// Refused calls return their code and leave both arrays as they were.
TEST_P(FftResultCodes, RefusesWithoutTouchingTheArrays) {
    const CodeCase& c = GetParam();
    std::vector<double> re(16), im(16);
    for (int32_t i = 0; i < 16; ++i) {
        re[i] = 0.25 * i;
        im[i] = -0.5 * i;
    }
    const std::vector<double> re0 = re, im0 = im;
    EXPECT_EQ(c.transform(c.n, re.data(), im.data(), c.direction), c.expected);
    EXPECT_EQ(re, re0);
    EXPECT_EQ(im, im0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FftResultCodes,
    ::testing::Values(CodeCase{"fft_n3", fft, 3, 0, 1}, CodeCase{"fft_n0", fft, 0, 0, 1},
                      CodeCase{"fft_negative", fft, -64, 1, 1},
                      CodeCase{"fft_2p21_plus_1", fft, 2097153, 0, 1},
                      CodeCase{"fft_2p22", fft, 4194304, 0, 1},
                      CodeCase{"fft_direction2", fft, 4, 2, 2},
                      CodeCase{"fft_direction_minus1", fft, 12, -1, 2},
                      CodeCase{"fft_size_before_direction", fft, 3, 2, 1},
                      CodeCase{"radix2_not_power_of_two", fft_radix2, 12, 0, 1},
                      CodeCase{"radix2_n2", fft_radix2, 2, 0, 1},
                      CodeCase{"radix2_2p23", fft_radix2, 8388608, 0, 1},
                      CodeCase{"radix2_direction", fft_radix2, 16, 2, 2},
                      CodeCase{"radix2_size_before_direction", fft_radix2, 6, 5, 1},
                      CodeCase{"chirp_n3", fft_chirp_z, 3, 0, 1},
                      CodeCase{"chirp_2p21_plus_1", fft_chirp_z, 2097153, 1, 1},
                      CodeCase{"chirp_direction", fft_chirp_z, 12, 2, 2},
                      CodeCase{"chirp_size_before_direction", fft_chirp_z, 1, 2, 1}),
    [](const ::testing::TestParamInfo<CodeCase>& tc) { return std::string(tc.param.name); });

TEST(Fft, ChirpZAlsoServesPowersOfTwo) {
    const Signal x = random_signal(64, 5);
    for (int32_t direction : {0, 1}) {
        Signal y = x;
        ASSERT_EQ(fft_chirp_z(64, y.re.data(), y.im.data(), direction), 0);
        const double scale = sum_abs(x) / (direction == 0 ? 64 : 1);
        EXPECT_LT(max_abs_diff(y, reference_dft(x, direction)), 1e-14 * scale);
    }
}

TEST(Fft, CircularConvolutionOfTwoSequences) {
    const int32_t m = 16;
    const Signal a = random_signal(m, 11), b = random_signal(m, 12);
    Signal expected{std::vector<double>(m, 0.0), std::vector<double>(m, 0.0)};
    for (int32_t i = 0; i < m; ++i)
        for (int32_t k = 0; k < m; ++k) {
            const int32_t j = (i - k + m) % m;
            expected.re[i] += a.re[k] * b.re[j] - a.im[k] * b.im[j];
            expected.im[i] += a.re[k] * b.im[j] + a.im[k] * b.re[j];
        }
    Signal x = a, y = b;
    ASSERT_EQ(fft_circular_convolve(m, x.re.data(), x.im.data(), y.re.data(), y.im.data()), 0);
    EXPECT_LT(max_abs_diff(x, expected), 1e-13);
    // The second sequence is left holding its forward transform.
    EXPECT_LT(max_abs_diff(y, reference_dft(b, 1)), 1e-13);
}

TEST(Fft, CircularConvolutionRefusesNonPositiveLength) {
    double re1[4] = {1, 2, 3, 4}, im1[4] = {}, re2[4] = {1, 0, 0, 0}, im2[4] = {};
    EXPECT_EQ(fft_circular_convolve(0, re1, im1, re2, im2), 1);
    EXPECT_EQ(fft_circular_convolve(-8, re1, im1, re2, im2), 1);
    EXPECT_EQ(re1[3], 4.0);
    EXPECT_EQ(re2[0], 1.0);
}

// The table cache: built by the first radix-2 transform, reused for the same
// size, rebuilt for another, emptied by the release.
class FftCache : public ::testing::Test {
protected:
    void SetUp() override { fft_release_tables(); }
    void TearDown() override { fft_release_tables(); }
    static void transform(int32_t n) {
        std::vector<double> re(n, 0.0), im(n, 0.0);
        ASSERT_EQ(fft(n, re.data(), im.data(), 0), 0);
    }
};

TEST_F(FftCache, StartsEmptyAfterRelease) {
    EXPECT_EQ(fft_cached_size(), 0);
    EXPECT_EQ(fft_cached_sinmap(), nullptr);
    EXPECT_EQ(fft_cached_revmap(), nullptr);
}

TEST_F(FftCache, SameSizeReusesTablesOtherSizeRebuilds) {
    transform(256);
    ASSERT_EQ(fft_cached_size(), 256);
    const double* sinmap = fft_cached_sinmap();
    const int32_t* revmap = fft_cached_revmap();
    ASSERT_NE(sinmap, nullptr);
    transform(256);
    EXPECT_EQ(fft_cached_size(), 256);
    EXPECT_EQ(fft_cached_sinmap(), sinmap);
    EXPECT_EQ(fft_cached_revmap(), revmap);
    transform(512);
    EXPECT_EQ(fft_cached_size(), 512);
}

TEST_F(FftCache, ChirpZLeavesTablesOfItsInnerSize) {
    transform(320);
    EXPECT_EQ(fft_cached_size(), 1024);
    transform(640);
    EXPECT_EQ(fft_cached_size(), 2048);
    transform(1000);
    EXPECT_EQ(fft_cached_size(), 2048);
}

TEST_F(FftCache, ReleasingTwiceIsHarmless) {
    transform(128);
    EXPECT_EQ(fft_release_tables(), 0);
    EXPECT_EQ(fft_release_tables(), 0);
    EXPECT_EQ(fft_cached_size(), 0);
    EXPECT_EQ(fft_cached_sinmap(), nullptr);
    transform(128);  // and the cache builds again afterwards
    EXPECT_EQ(fft_cached_size(), 128);
}

// The recurrence-built sine table stays within a few units in the last place
// of sin(2 pi k / n) over its whole n + n/4 entries; the permutation is the
// bit reversal.
TEST_F(FftCache, TablesHoldSineAndBitReversal) {
    for (int32_t n : {4, 8, 64, 512, 2048, 65536}) {
        transform(n);
        const double* sinmap = fft_cached_sinmap();
        const int32_t* revmap = fft_cached_revmap();
        int32_t bits = 0;
        while ((1 << bits) < n) ++bits;
        for (int32_t k = 0; k < n + n / 4; ++k)
            ASSERT_NEAR(sinmap[k], std::sin(2.0 * std::numbers::pi * k / n), 1e-14)
                << n << " " << k;
        for (int32_t i = 0; i < n; ++i) {
            int32_t r = 0;
            for (int32_t b = 0; b < bits; ++b) r |= ((i >> b) & 1) << (bits - 1 - b);
            ASSERT_EQ(revmap[i], r) << n << " " << i;
        }
    }
}

}  // namespace

namespace {

// The chirp-z state (chirp and transformed kernel) is cached per size and
// direction; every transform made from the cache, whichever entries and
// radix-2 tables were built in between, has the bytes of a fresh computation.
TEST_F(FftCache, ChirpZFromTheCacheIsBitIdenticalToAFreshTransform) {
    struct Step {
        int32_t n, direction;
    };
    // Repeats, both directions of one size, a power of two in between (other
    // radix-2 tables), a third key that evicts one, and a return to it.
    const Step steps[] = {{640, 0}, {640, 0}, {640, 1}, {640, 0}, {512, 0}, {640, 0},
                          {320, 0}, {640, 1}, {640, 0}, {1000, 1}, {12, 0}, {640, 0}};
    uint32_t seed = 1;
    for (const Step& st : steps) {
        Signal x = random_signal(st.n, seed++);
        Signal y = x, z = x;
        ASSERT_EQ(fft(st.n, y.re.data(), y.im.data(), st.direction), 0);
        literal::transform(st.n, z.re.data(), z.im.data(), st.direction);
        ASSERT_EQ(std::memcmp(y.re.data(), z.re.data(), st.n * sizeof(double)), 0)
            << "step " << seed - 1 << " n " << st.n;
        ASSERT_EQ(std::memcmp(y.im.data(), z.im.data(), st.n * sizeof(double)), 0)
            << "step " << seed - 1 << " n " << st.n;
    }
}

TEST_F(FftCache, ChirpZStateIsKeptPerSizeAndDirectionAndReleasedWithTheTables) {
    EXPECT_EQ(fft_chirp_entries(), 0);
    transform(640);  // direction 0
    EXPECT_EQ(fft_chirp_entries(), 1);
    transform(640);
    EXPECT_EQ(fft_chirp_entries(), 1);
    std::vector<double> re(640, 0.0), im(640, 0.0);
    ASSERT_EQ(fft(640, re.data(), im.data(), 1), 0);
    EXPECT_EQ(fft_chirp_entries(), 2);
    transform(320);  // a third key takes the older entry's place
    EXPECT_EQ(fft_chirp_entries(), 2);
    transform(256);  // radix-2 only: no chirp-z state
    EXPECT_EQ(fft_chirp_entries(), 2);
    EXPECT_EQ(fft_release_tables(), 0);
    EXPECT_EQ(fft_chirp_entries(), 0);
    EXPECT_EQ(fft_cached_size(), 0);
}

}  // namespace

namespace {

// Inputs whose zeros and signs exercise the folded steps of the chirp-z
// transform (the first stage's +0 partners, the unused outputs of the
// inverse transform): random values, a symbol-like spectrum of 52 bins among
// zeros of both signs, all negative zeros, and one impulse at the top bin.
enum class Input { Random, SparseSpectrum, NegativeZeros, LastBinImpulse };

Signal make_input(Input kind, int32_t n, uint32_t seed) {
    Signal x = random_signal(n, seed);
    switch (kind) {
        case Input::Random: break;
        case Input::SparseSpectrum:
            for (int32_t i = 0; i < n; ++i) {
                const int32_t k = i < n / 2 ? i : i - n;  // subcarrier of bin i
                if (k == 0 || k < -26 || k > 26) {
                    x.re[i] = (i % 3 == 0) ? -0.0 : 0.0;
                    x.im[i] = (i % 5 == 0) ? -0.0 : 0.0;
                } else {
                    x.re[i] = (x.re[i] < 0 ? -3.0 : 1.0) / std::sqrt(10.0);
                    x.im[i] = (x.im[i] < 0 ? -1.0 : 3.0) / std::sqrt(10.0);
                }
            }
            break;
        case Input::NegativeZeros:
            std::fill(x.re.begin(), x.re.end(), -0.0);
            std::fill(x.im.begin(), x.im.end(), -0.0);
            break;
        case Input::LastBinImpulse:
            std::fill(x.re.begin(), x.re.end(), 0.0);
            std::fill(x.im.begin(), x.im.end(), 0.0);
            x.re[n - 1] = 1.0;
            x.im[n - 1] = -2.0;
            break;
    }
    return x;
}

class FftVectorsAndScalar : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { fft_use_vectors(GetParam()); }
    void TearDown() override {
        fft_use_vectors(true);
        fft_release_tables();
    }
};

// With the vector code and without it, every size the synthesis uses (and a
// few others) gives the literal algorithm's bytes for every kind of input.
TEST_P(FftVectorsAndScalar, BitIdenticalToTheLiteralAlgorithm) {
    const Input kinds[] = {Input::Random, Input::SparseSpectrum, Input::NegativeZeros,
                           Input::LastBinImpulse};
    uint32_t seed = 500;
    for (int32_t n : {64, 128, 192, 256, 320, 384, 448, 512, 576, 640, 1000, 2048, 12}) {
        for (Input kind : kinds) {
            for (int32_t direction : {0, 1}) {
                const Signal x = make_input(kind, n, seed++);
                Signal y = x, z = x;
                ASSERT_EQ(fft(n, y.re.data(), y.im.data(), direction), 0);
                literal::transform(n, z.re.data(), z.im.data(), direction);
                ASSERT_EQ(std::memcmp(y.re.data(), z.re.data(), n * sizeof(double)), 0)
                    << "n " << n << " input " << static_cast<int>(kind) << " direction " << direction;
                ASSERT_EQ(std::memcmp(y.im.data(), z.im.data(), n * sizeof(double)), 0)
                    << "n " << n << " input " << static_cast<int>(kind) << " direction " << direction;
            }
        }
    }
}

// Data placed at its bit-reversed positions beforehand (as the OFDM symbols
// place their subcarriers) transforms to fft_radix2's bytes; the wrong order,
// or a size whose tables are not present, does not pass for the right one.
TEST_P(FftVectorsAndScalar, ReversedInputGivesTheSameBytes) {
    const Input kinds[] = {Input::Random, Input::SparseSpectrum, Input::NegativeZeros,
                           Input::LastBinImpulse};
    uint32_t seed = 900;
    for (int32_t n : {4, 8, 64, 128, 256, 512, 1024}) {
        for (Input kind : kinds) {
            for (int32_t direction : {0, 1}) {
                const Signal x = make_input(kind, n, seed++);
                Signal y = x;
                ASSERT_EQ(fft_radix2(n, y.re.data(), y.im.data(), direction), 0);
                ASSERT_EQ(fft_prepare(n), 0);
                const int32_t* rev = fft_cached_revmap();
                Signal z = x;
                for (int32_t j = 0; j < n; ++j) {
                    z.re[j] = x.re[rev[j]];
                    z.im[j] = x.im[rev[j]];
                }
                ASSERT_EQ(fft_radix2_reversed(n, z.re.data(), z.im.data(), direction), 0);
                const std::string what = "n " + std::to_string(n) + " input " +
                                         std::to_string(static_cast<int>(kind)) + " direction " +
                                         std::to_string(direction);
                ASSERT_EQ(std::memcmp(y.re.data(), z.re.data(), n * sizeof(double)), 0) << what;
                ASSERT_EQ(std::memcmp(y.im.data(), z.im.data(), n * sizeof(double)), 0) << what;
                // Unscaled, the caller's multiplication by 1/n is the inverse's last step.
                Signal u = x;
                for (int32_t j = 0; j < n; ++j) {
                    u.re[j] = x.re[rev[j]];
                    u.im[j] = x.im[rev[j]];
                }
                ASSERT_EQ(fft_radix2_reversed(n, u.re.data(), u.im.data(), direction, false), 0);
                const double f = direction == 0 ? 1.0 / n : 1.0;
                for (int32_t j = 0; j < n; ++j) {
                    u.re[j] = u.re[j] * f;
                    u.im[j] = u.im[j] * f;
                }
                ASSERT_EQ(std::memcmp(y.re.data(), u.re.data(), n * sizeof(double)), 0) << what;
                ASSERT_EQ(std::memcmp(y.im.data(), u.im.data(), n * sizeof(double)), 0) << what;
                if (kind == Input::Random) {  // unpermuted input is another transform
                    Signal w = x;
                    ASSERT_EQ(fft_radix2_reversed(n, w.re.data(), w.im.data(), direction), 0);
                    EXPECT_NE(std::memcmp(y.re.data(), w.re.data(), n * sizeof(double)), 0) << what;
                }
            }
        }
    }
    std::vector<double> re(12, 1.0), im(12, 0.0);
    EXPECT_EQ(fft_radix2_reversed(12, re.data(), im.data(), 0), 1);
    EXPECT_EQ(fft_radix2_reversed(16, re.data(), im.data(), 2), 2);
    EXPECT_EQ(fft_prepare(12), 1);
    EXPECT_EQ(fft_prepare(1 << 23), 1);
}

INSTANTIATE_TEST_SUITE_P(Paths, FftVectorsAndScalar, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& p) {
                             return std::string(p.param ? "vectors" : "scalar");
                         });

}  // namespace
