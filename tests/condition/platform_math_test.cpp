// log10_split must give glibc's log10 bit for bit: the Windows builds use it
// for the crest factors so that their files match these.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "platform_math.h"

namespace {

uint64_t bits(double v) {
    uint64_t u;
    std::memcpy(&u, &v, sizeof u);
    return u;
}

TEST(PlatformMath, Log10SplitSpecialValues) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double x;
        double want;
    };
    const Case cases[] = {
        {1.0, 0.0},        {10.0, 1.0},   {100.0, 2.0},          {1e-3, -3.0},
        {0.0, -inf},       {-0.0, -inf},  {inf, inf},            {2.0, std::log10(2.0)},
        {0.5, std::log10(0.5)}, {4.9406564584124654e-324, std::log10(4.9406564584124654e-324)},
        {std::numeric_limits<double>::max(), std::log10(std::numeric_limits<double>::max())},
    };
    for (const Case& c : cases) EXPECT_EQ(bits(log10_split(c.x)), bits(c.want)) << c.x;
    EXPECT_TRUE(std::isnan(log10_split(-1.0)));
    EXPECT_TRUE(std::isnan(log10_split(std::numeric_limits<double>::quiet_NaN())));
}

// Crest-factor ratios lie in [1, a few hundred]; the sweep also covers small,
// large and subnormal arguments.
TEST(PlatformMath, Log10SplitIsGlibcLog10) {
    uint64_t s = 0x9E3779B97F4A7C15ull;
    int differ = 0;
    for (int k = 0; k < 600000; ++k) {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        const double unit = static_cast<double>(s >> 11) / 9007199254740992.0;
        double x;
        switch (k % 4) {
            case 0: x = 1.0 + 400.0 * unit; break;
            case 1: x = 1.0 + static_cast<double>(k) * 1e-6; break;
            case 2: x = std::ldexp(1.0 + unit, static_cast<int>(s % 2000) - 1000); break;
            default: x = std::ldexp(unit, -1040); break;  // subnormal or tiny
        }
        if (bits(log10_split(x)) != bits(std::log10(x)) && ++differ <= 5)
            ADD_FAILURE() << "x = " << std::hexfloat << x << ": " << log10_split(x) << " against "
                          << std::log10(x);
    }
    EXPECT_EQ(differ, 0);
}

}  // namespace
