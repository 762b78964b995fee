#include "platform_math.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr double kTwo54 = 1.80143985094819840000e+16;
constexpr double kInvLn10 = 4.34294481903251816668e-01;
constexpr double kLog10Of2Hi = 3.01029995663611771306e-01;
constexpr double kLog10Of2Lo = 3.69423907715893078616e-13;

}  // namespace

double log10_split(double x) {
    uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    int32_t hx = static_cast<int32_t>(u >> 32);
    const uint32_t lx = static_cast<uint32_t>(u);
    int32_t k = 0;
    if (hx < 0x00100000) {  // below 2^-1022: zero, negative or subnormal
        if (((hx & 0x7fffffff) | static_cast<int32_t>(lx)) == 0) return -kTwo54 / std::fabs(x);
        if (hx < 0) return (x - x) / (x - x);
        k -= 54;
        x *= kTwo54;
        std::memcpy(&u, &x, sizeof u);
        hx = static_cast<int32_t>(u >> 32);
    }
    if (hx >= 0x7ff00000) return x + x;  // infinity or NaN
    k += (hx >> 20) - 1023;
    const int32_t i = static_cast<int32_t>((static_cast<uint32_t>(k) & 0x80000000u) >> 31);
    hx = (hx & 0x000fffff) | ((0x3ff - i) << 20);
    const double y = static_cast<double>(k + i);
    u = (static_cast<uint64_t>(static_cast<uint32_t>(hx)) << 32) | (u & 0xffffffffu);
    std::memcpy(&x, &u, sizeof x);
    const double z = y * kLog10Of2Lo + kInvLn10 * std::log(x);
    return z + y * kLog10Of2Hi;
}
