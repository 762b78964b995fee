// The library's own sin, cos, log and 10^x (the Windows builds' maths) must
// return the correctly rounded double. Checked against the x87 long-double
// functions, 11 bits more precise: the result must be the double nearest to
// them, unless the long-double value lies too close to a midpoint to decide.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <ostream>
#include <random>

#include "platform_math.h"

namespace {

enum class Verdict { Nearest, NotNearest, Undecided };

// Whether got is the double nearest to the long-double reference.
Verdict check(double got, long double ref) {
    const double lo = std::nextafter(got, -INFINITY), hi = std::nextafter(got, INFINITY);
    const long double below = (static_cast<long double>(got) + lo) / 2, above = (static_cast<long double>(got) + hi) / 2;
    const long double margin = std::fabs(static_cast<long double>(hi) - got) * 0x1p-10L;  // sinl, cosl, logl, powl: within 2^-11 of a double ulp
    if (ref > below + margin && ref < above - margin) return Verdict::Nearest;
    if (std::fabs(ref - below) <= margin || std::fabs(ref - above) <= margin) return Verdict::Undecided;
    return Verdict::NotNearest;
}

struct Case {
    const char* name;
    double (*own)(double);
    long double (*ref)(long double);
    double lo, hi;  // argument range (log: exponent range of 2)
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name << " on [" << c.lo << ", " << c.hi << "]"; }

long double ref_sin(long double x) { return sinl(x); }
long double ref_cos(long double x) { return cosl(x); }
long double ref_log(long double x) { return logl(x); }
long double ref_pow10(long double y) { return powl(10.0L, y); }

class CorrectlyRounded : public ::testing::TestWithParam<Case> {};

TEST_P(CorrectlyRounded, AgainstLongDouble) {
    // The reference needs the x87 unit's 64-bit significand at run time (an
    // emulator such as valgrind's computes long doubles as doubles).
    volatile long double probe = 1.0L;
    probe = probe + 0x1p-60L;
    if (probe == 1.0L) GTEST_SKIP() << "long double is no wider than double here";
    const Case c = GetParam();
    std::mt19937_64 g(12345);
    std::uniform_real_distribution<double> u(c.lo, c.hi);
    int wrong = 0, undecided = 0;
    for (int k = 0; k < 200000; ++k) {
        double x = u(g);
        if (c.own == portable_log) x = std::exp2(x);
        const Verdict v = check(c.own(x), c.ref(x));
        if (v == Verdict::NotNearest && ++wrong <= 5) ADD_FAILURE() << c.name << "(" << std::hexfloat << x << ") = " << c.own(x);
        undecided += v == Verdict::Undecided;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_LT(undecided, 1000);  // the check itself must decide nearly always (0.5 %)
}

INSTANTIATE_TEST_SUITE_P(
    Functions, CorrectlyRounded,
    ::testing::Values(Case{"sin", portable_sin, ref_sin, -4.0, 4.0}, Case{"sin_large", portable_sin, ref_sin, -2e7, 2e7},
                      Case{"cos", portable_cos, ref_cos, -4.0, 4.0}, Case{"cos_large", portable_cos, ref_cos, -2e7, 2e7},
                      Case{"log", portable_log, ref_log, -1074.0, 1023.0},
                      Case{"log_near_1", portable_log, ref_log, -0.5, 0.5},
                      Case{"pow10", portable_pow10, ref_pow10, -15.0, 15.0}),
    [](const auto& tp) { return std::string(tp.param.name); });

// Exact and special values, and the arguments whose results the files rest on.
TEST(PortableMath, SpecialValues) {
    EXPECT_EQ(portable_log(1.0), 0.0);
    EXPECT_TRUE(std::isinf(portable_log(0.0)) && portable_log(0.0) < 0);
    EXPECT_TRUE(std::isnan(portable_log(-1.0)));
    EXPECT_EQ(portable_pow10(0.0), 1.0);
    EXPECT_EQ(portable_pow10(1.0), 10.0);
    EXPECT_EQ(portable_pow10(-1.0), 0.1);
    EXPECT_EQ(portable_pow10(3.0), 1000.0);
    EXPECT_EQ(portable_sin(0.0), 0.0);
    EXPECT_TRUE(std::signbit(portable_sin(-0.0)));
    EXPECT_EQ(portable_cos(0.0), 1.0);
    EXPECT_TRUE(std::isnan(portable_sin(INFINITY)));
    EXPECT_EQ(portable_sin(0x1p-30), 0x1p-30);
    EXPECT_EQ(portable_sin(std::numbers::pi / 6), std::sin(std::numbers::pi / 6));
    EXPECT_EQ(portable_cos(std::numbers::pi / 2), std::cos(std::numbers::pi / 2));
    EXPECT_EQ(log10_split(1000.0), 3.0);
}

// The chirps of the transforms the synthesis runs (64 os points, os 5, 6, 7,
// 9, 10, both directions) are glibc's to the bit in the own form as well.
TEST(PortableMath, ChirpsAreGlibcs) {
    for (const int32_t os : {5, 6, 7, 9, 10})
        for (const int32_t direction : {0, 1}) {
            const int32_t n = 64 * os;
            const double step = (direction == 0 ? std::numbers::pi : -std::numbers::pi) / n;
            for (int32_t m = 0; m < n; ++m) {
                const double theta = step * m * m;
                double c = 0, s = 0;
                chirp_cos_sin_own(n, direction, m, theta, &c, &s);
                ASSERT_EQ(c, std::cos(theta)) << n << " " << direction << " " << m;
                ASSERT_EQ(s, std::sin(theta)) << n << " " << direction << " " << m;
            }
        }
}

}  // namespace
