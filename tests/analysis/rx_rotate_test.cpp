// rotate64, the carrier-offset rotation of one window: the AVX2 kernel against the plain loop bit
// for bit, and both against the exact rotation; mul_arrays' AVX2 kernel against its plain loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "rx.h"

namespace {

namespace rx = orv::analysis::rx;
using C = std::complex<double>;

enum class Input { random, unit_circle, zeros_and_signed_zeros, huge_and_tiny, subnormal, infinities };

struct RotateCase {
    std::string name;
    double w;      // radians a sample; a few significant bits, so w i is exact for i < 64
    double theta;  // the first sample's phase
    bool swap_iq;
    Input input;
};
void PrintTo(const RotateCase& c, std::ostream* os) { *os << c.name; }

std::vector<C> input_of(Input kind) {
    std::vector<C> x(64);
    uint32_t r = 7;
    const auto next = [&r] {
        r = r * 1664525u + 1013904223u;
        return static_cast<double>(r >> 8) / 16777216.0 - 0.5;
    };
    for (size_t i = 0; i < 64; ++i) {
        const double a = next(), b = next();
        switch (kind) {
        case Input::random: x[i] = C(a, b) * std::ldexp(1.0, static_cast<int>(i % 21) - 10); break;
        case Input::unit_circle: x[i] = std::polar(1.0, 7.0 * a); break;
        case Input::zeros_and_signed_zeros: x[i] = C(i % 2 ? -0.0 : 0.0, i % 3 ? 0.0 : -0.0); break;
        case Input::huge_and_tiny: x[i] = C(a, b) * (i % 2 ? 1e300 : 1e-300); break;
        case Input::subnormal: x[i] = C(a, b) * std::numeric_limits<double>::denorm_min() * 1e6; break;
        case Input::infinities:
            x[i] = C(a, b);
            if (i % 5 == 0) x[i] = C(std::numeric_limits<double>::infinity(), b);
            if (i % 7 == 0) x[i] = C(a, -std::numeric_limits<double>::infinity());
            break;
        }
    }
    return x;
}

void rotate(const RotateCase& c, const std::vector<C>& x, bool vector, std::vector<C>& out) {
    out.assign(64, C(99, 99));
    rx::rotate64(x.data(), c.swap_iq, std::polar(1.0, c.theta), std::polar(1.0, c.w), std::polar(1.0, 8.0 * c.w), out.data(),
                 vector);
}

class Rotate64 : public ::testing::TestWithParam<RotateCase> {};

TEST_P(Rotate64, VectorSameBitsAsPlain) {
    const RotateCase& c = GetParam();
    const std::vector<C> x = input_of(c.input);
    std::vector<C> plain, vec;
    rotate(c, x, false, plain);
    rotate(c, x, true, vec);
    for (size_t i = 0; i < 64; ++i)
        EXPECT_EQ(std::memcmp(&vec[i], &plain[i], sizeof(C)), 0) << "sample " << i << ": " << vec[i] << " against " << plain[i];
}

// Within 16 eps |x| of x e^{j (theta + w i)} for finite values: sample i's phasor is at most 7
// products with step and 7 with step8 from ph (each product of unit values within about sqrt(5)/2
// eps, the steps' own errors about 1/2 eps each, taken up to 7 times: about 14 eps at worst), the
// reference adds its own roundings (about 2 eps). A wrong step or chain is off by far more.
class Rotate64Bound : public ::testing::TestWithParam<RotateCase> {};

TEST_P(Rotate64Bound, WithinTheBoundOfTheExactRotation) {
    const RotateCase& c = GetParam();
    const std::vector<C> x = input_of(c.input);
    for (const bool vector : {false, true}) {
        std::vector<C> out;
        rotate(c, x, vector, out);
        for (size_t i = 0; i < 64; ++i) {
            const C v = c.swap_iq ? C(x[i].imag(), x[i].real()) : x[i];
            const C want = v * (std::polar(1.0, c.theta) * std::polar(1.0, c.w * static_cast<double>(i)));
            EXPECT_LE(std::abs(out[i] - want), 16 * std::numeric_limits<double>::epsilon() * std::abs(v))
                << (vector ? "vector" : "plain") << ", sample " << i << ": " << out[i] << " against " << want;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Windows, Rotate64,
    ::testing::Values(RotateCase{"NoTurn", 0.0, 0.0, false, Input::random}, RotateCase{"NoTurn_Swapped", 0.0, 1.0, true, Input::random},
                      RotateCase{"SmallStep", std::ldexp(3.0, -12), -2.5, false, Input::random},
                      RotateCase{"SmallStep_Swapped", -std::ldexp(5.0, -11), 0.75, true, Input::unit_circle},
                      RotateCase{"QuarterTurn", 1.5703125, 0.125, false, Input::unit_circle},
                      RotateCase{"NearHalfTurn_Swapped", -3.140625, 3.0, true, Input::random},
                      RotateCase{"Zeros", 0.3125, 0.5, false, Input::zeros_and_signed_zeros},
                      RotateCase{"Zeros_Swapped", -0.3125, -0.5, true, Input::zeros_and_signed_zeros},
                      RotateCase{"HugeAndTiny", 0.0625, 2.0, false, Input::huge_and_tiny},
                      RotateCase{"Subnormal_Swapped", 1.25, 0.0, true, Input::subnormal},
                      RotateCase{"Infinities", 0.5, 0.25, false, Input::infinities},
                      RotateCase{"Infinities_Swapped", -0.5, 0.25, true, Input::infinities}),
    [](const ::testing::TestParamInfo<RotateCase>& i) { return i.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Windows, Rotate64Bound,
    ::testing::Values(RotateCase{"NoTurn_Swapped", 0.0, 1.0, true, Input::random},
                      RotateCase{"SmallStep", std::ldexp(3.0, -12), -2.5, false, Input::random},
                      RotateCase{"SmallStep_Swapped", -std::ldexp(5.0, -11), 0.75, true, Input::unit_circle},
                      RotateCase{"QuarterTurn", 1.5703125, 0.125, false, Input::unit_circle},
                      RotateCase{"NearHalfTurn", 3.140625, -1.0, false, Input::unit_circle},
                      RotateCase{"NearHalfTurn_Swapped", -3.140625, 3.0, true, Input::random},
                      RotateCase{"OddStep_FarPhase", 0.8203125, 1234.5, false, Input::random}),
    [](const ::testing::TestParamInfo<RotateCase>& i) { return i.param.name; });

struct ProductCase {
    std::string name;
    size_t n;
    Input input;
    bool in_place;  // out is a
};
void PrintTo(const ProductCase& c, std::ostream* os) { *os << c.name; }

class MulArrays : public ::testing::TestWithParam<ProductCase> {};

// Each product as mul() gives it, by either kernel; nothing written past n.
TEST_P(MulArrays, VectorSameBitsAsPlainAndMul) {
    const ProductCase& c = GetParam();
    const std::vector<C> a = input_of(c.input), b = input_of(Input::unit_circle);
    const C guard(-7, 7);
    for (const bool vector : {false, true}) {
        std::vector<C> out(65, guard);
        if (c.in_place) std::copy(a.begin(), a.end(), out.begin());
        rx::mul_arrays(c.in_place ? out.data() : a.data(), b.data(), c.n, out.data(), vector);
        for (size_t i = 0; i < c.n; ++i) {
            const C want = rx::mul(a[i], b[i]);
            EXPECT_EQ(std::memcmp(&out[i], &want, sizeof(C)), 0)
                << (vector ? "vector" : "plain") << ", value " << i << ": " << out[i] << " against " << want;
        }
        const C after = c.in_place ? (c.n < 64 ? a[c.n] : guard) : guard;
        EXPECT_EQ(std::memcmp(&out[c.n], &after, sizeof(C)), 0) << (vector ? "vector" : "plain") << " wrote past n";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, MulArrays,
    ::testing::Values(ProductCase{"None", 0, Input::random, false}, ProductCase{"One", 1, Input::random, false},
                      ProductCase{"Two", 2, Input::unit_circle, false}, ProductCase{"NegativeHalf", 26, Input::random, false},
                      ProductCase{"PositiveHalf_Odd", 27, Input::random, false},
                      ProductCase{"PositiveHalf_InPlace", 27, Input::random, true},
                      ProductCase{"SignedZeros", 53, Input::zeros_and_signed_zeros, false},
                      ProductCase{"HugeAndTiny", 33, Input::huge_and_tiny, false},
                      ProductCase{"Subnormal", 53, Input::subnormal, false},
                      ProductCase{"Infinities_InPlace", 64, Input::infinities, true}),
    [](const ::testing::TestParamInfo<ProductCase>& i) { return i.param.name; });

}  // namespace
