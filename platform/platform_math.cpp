#include "platform_math.h"

#include <cstdint>
#include <cstring>
#include <limits>

namespace {

constexpr double kTwo54 = 1.80143985094819840000e+16;
constexpr double kInvLn10 = 4.34294481903251816668e-01;
constexpr double kLog10Of2Hi = 3.01029995663611771306e-01;
constexpr double kLog10Of2Lo = 3.69423907715893078616e-13;


// Double-double numbers (hi + lo, |lo| <= ulp(hi) / 2): about 106 bits.
struct DD {
    double hi, lo;
};

DD two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

DD quick_two_sum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

// Dekker's exact product (no fused multiply-add: the build forbids contraction).
DD two_prod(double a, double b) {
    constexpr double kSplit = 134217729.0;  // 2^27 + 1
    const double p = a * b;
    const double ca = kSplit * a, cb = kSplit * b;
    const double ah = ca - (ca - a), al = a - ah;
    const double bh = cb - (cb - b), bl = b - bh;
    return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

DD add(DD a, DD b) {
    DD s = two_sum(a.hi, b.hi);
    const DD t = two_sum(a.lo, b.lo);
    s.lo += t.hi;
    s = quick_two_sum(s.hi, s.lo);
    s.lo += t.lo;
    return quick_two_sum(s.hi, s.lo);
}

DD mul(DD a, DD b) {
    DD p = two_prod(a.hi, b.hi);
    p.lo += a.hi * b.lo + a.lo * b.hi;
    return quick_two_sum(p.hi, p.lo);
}

DD neg(DD a) { return {-a.hi, -a.lo}; }

DD div(DD a, DD b) {
    const double q1 = a.hi / b.hi;
    DD r = add(a, neg(mul(b, {q1, 0.0})));
    const double q2 = r.hi / b.hi;
    r = add(r, neg(mul(b, {q2, 0.0})));
    const double q3 = r.hi / b.hi;
    return add(quick_two_sum(q1, q2), {q3, 0.0});
}

// 1/n! for n = 0..27 and 1/(2n+1) for n = 0..24, each as hi + lo.
constexpr DD kInvFact[28] = {
    {0x1p+0, 0.0}, {0x1p+0, 0.0}, {0x1p-1, 0.0},
    {0x1.5555555555555p-3, 0x1.5555555555555p-57}, {0x1.5555555555555p-5, 0x1.5555555555555p-59},
    {0x1.1111111111111p-7, 0x1.1111111111111p-63}, {0x1.6c16c16c16c17p-10, -0x1.f49f49f49f49fp-65},
    {0x1.a01a01a01a01ap-13, 0x1.a01a01a01a01ap-73}, {0x1.a01a01a01a01ap-16, 0x1.a01a01a01a01ap-76},
    {0x1.71de3a556c734p-19, -0x1.c154f8ddc6c00p-73}, {0x1.27e4fb7789f5cp-22, 0x1.cbbc05b4fa99ap-76},
    {0x1.ae64567f544e4p-26, -0x1.c062e06d1f209p-80}, {0x1.1eed8eff8d898p-29, -0x1.2aec959e14c06p-83},
    {0x1.6124613a86d09p-33, 0x1.f28e0cc748ebep-87}, {0x1.93974a8c07c9dp-37, 0x1.05d6f8a2efd1fp-92},
    {0x1.ae7f3e733b81fp-41, 0x1.1d8656b0ee8cbp-97}, {0x1.ae7f3e733b81fp-45, 0x1.1d8656b0ee8cbp-101},
    {0x1.952c77030ad4ap-49, 0x1.ac981465ddc6cp-103}, {0x1.6827863b97d97p-53, 0x1.eec01221a8b0bp-107},
    {0x1.2f49b46814157p-57, 0x1.2650f61dbdcb4p-112}, {0x1.e542ba4020225p-62, 0x1.ea72b4afe3c2fp-120},
    {0x1.71b8ef6dcf572p-66, -0x1.d043ae40c4647p-120}, {0x1.0ce396db7f853p-70, -0x1.aebcdbd20331cp-124},
    {0x1.761b41316381ap-75, -0x1.3423c7d91404fp-130}, {0x1.f2cf01972f578p-80, -0x1.9ada5fcc1ab14p-135},
    {0x1.3f3ccdd165fa9p-84, -0x1.58ddadf344487p-139}, {0x1.88e85fc6a4e5ap-89, -0x1.71c37ebd16540p-143},
    {0x1.d1ab1c2dccea3p-94, 0x1.054d0c78aea14p-149},
};
constexpr DD kInvOdd[25] = {
    {0x1p+0, 0.0}, {0x1.5555555555555p-2, 0x1.5555555555555p-56}, {0x1.999999999999ap-3, -0x1.999999999999ap-57},
    {0x1.2492492492492p-3, 0x1.2492492492492p-57}, {0x1.c71c71c71c71cp-4, 0x1.c71c71c71c71cp-58},
    {0x1.745d1745d1746p-4, -0x1.745d1745d1746p-59}, {0x1.3b13b13b13b14p-4, -0x1.3b13b13b13b14p-58},
    {0x1.1111111111111p-4, 0x1.1111111111111p-60}, {0x1.e1e1e1e1e1e1ep-5, 0x1.e1e1e1e1e1e1ep-61},
    {0x1.af286bca1af28p-5, 0x1.af286bca1af28p-59}, {0x1.8618618618618p-5, 0x1.8618618618618p-59},
    {0x1.642c8590b2164p-5, 0x1.642c8590b2164p-60}, {0x1.47ae147ae147bp-5, -0x1.eb851eb851eb8p-61},
    {0x1.2f684bda12f68p-5, 0x1.2f684bda12f68p-59}, {0x1.1a7b9611a7b96p-5, 0x1.1a7b9611a7b96p-61},
    {0x1.0842108421084p-5, 0x1.0842108421084p-60}, {0x1.f07c1f07c1f08p-6, -0x1.f07c1f07c1f08p-61},
    {0x1.d41d41d41d41dp-6, 0x1.0750750750750p-60}, {0x1.bacf914c1bad0p-6, -0x1.bacf914c1bad0p-60},
    {0x1.a41a41a41a41ap-6, 0x1.0690690690690p-60}, {0x1.8f9c18f9c18fap-6, -0x1.f3831f3831f38p-61},
    {0x1.7d05f417d05f4p-6, 0x1.7d05f417d05f4p-62}, {0x1.6c16c16c16c17p-6, -0x1.f49f49f49f49fp-61},
    {0x1.5c9882b931057p-6, 0x1.310572620ae4cp-61}, {0x1.4e5e0a72f0539p-6, 0x1.e0a72f0539783p-60},
};
// pi/2 in three parts; ln 2 and ln 10 in two.
constexpr double kPio2[3] = {0x1.921fb54442d18p+0, 0x1.1a62633145c07p-54, -0x1.f1976b7ed8fbcp-110};
constexpr DD kLn2 = {0x1.62e42fefa39efp-1, 0x1.abc9e3b39803fp-56};
constexpr DD kLn10 = {0x1.26bb1bbb55516p+1, -0x1.f48ad805cbadbp-53};

// sin(r) and cos(r) for |r| <= pi/4 (plus rounding) by their Taylor series.
DD sin_series(DD r) {
    const DD r2 = mul(r, r);
    DD s = kInvFact[27];
    for (int n = 25; n >= 1; n -= 2) s = add(mul(s, neg(r2)), kInvFact[n]);
    return mul(s, r);
}

DD cos_series(DD r) {
    const DD r2 = mul(r, r);
    DD s = kInvFact[26];
    for (int n = 24; n >= 0; n -= 2) s = add(mul(s, neg(r2)), kInvFact[n]);
    return s;
}

// x - k pi/2 with k the nearest integer to x / (pi/2): the quadrant k mod 4.
DD reduce(double x, int64_t& k) {
    const double kd = std::nearbyint(x * (1.0 / kPio2[0]));
    k = static_cast<int64_t>(kd);
    DD r = add({x, 0.0}, neg(two_prod(kd, kPio2[0])));
    r = add(r, neg(two_prod(kd, kPio2[1])));
    return add(r, {-kd * kPio2[2], 0.0});
}

constexpr double kReduceLimit = 0x1p40;

// glibc's chirp values that differ from the correctly rounded ones:
// n, direction, m, 0 for the cosine or 1 for the sine, glibc's value.
struct ChirpValue {
    int32_t n, direction, m, sine;
    double value;
};
constexpr ChirpValue kGlibcChirp[] = {
    {320, 0, 247, 0, -0x1.d9d2338c2ce52p-2}, {320, 1, 247, 0, -0x1.d9d2338c2ce52p-2},
    {384, 0, 146, 0, 0x1.0c08e3d5956b8p-5},  {384, 1, 146, 0, 0x1.0c08e3d5956b8p-5},
    {448, 0, 246, 1, -0x1.ff8acf684e4c4p-3}, {448, 0, 426, 1, -0x1.ff8acf684db6ap-3},
    {448, 1, 246, 1, 0x1.ff8acf684e4c4p-3},  {448, 1, 426, 1, 0x1.ff8acf684db6ap-3},
    {640, 0, 374, 0, -0x1.6807e1489c8bcp-3}, {640, 1, 374, 0, -0x1.6807e1489c8bcp-3},
};

}  // namespace

double portable_sin(double x) {
    if (x == 0.0 || !(std::fabs(x) < kReduceLimit)) return std::sin(x);
    int64_t k = 0;
    const DD r = reduce(x, k);
    DD v;
    switch (k & 3) {
        case 0: v = sin_series(r); break;
        case 1: v = cos_series(r); break;
        case 2: v = neg(sin_series(r)); break;
        default: v = neg(cos_series(r)); break;
    }
    return v.hi + v.lo;
}

double portable_cos(double x) {
    if (!(std::fabs(x) < kReduceLimit)) return std::cos(x);
    int64_t k = 0;
    const DD r = reduce(x, k);
    DD v;
    switch (k & 3) {
        case 0: v = cos_series(r); break;
        case 1: v = neg(sin_series(r)); break;
        case 2: v = neg(cos_series(r)); break;
        default: v = sin_series(r); break;
    }
    return v.hi + v.lo;
}

double portable_log(double x) {
    if (!(x > 0.0) || !(x <= std::numeric_limits<double>::max())) return std::log(x);
    if (x == 1.0) return 0.0;
    int e = 0;
    double m = std::frexp(x, &e);  // x = m 2^e, m in [0.5, 1)
    if (m < 0x1.6a09e667f3bcdp-1) {  // below sqrt(1/2): take m in [sqrt(1/2), sqrt(2))
        m *= 2.0;
        --e;
    }
    // log m = 2 atanh(s), s = (m - 1) / (m + 1), |s| <= 0.1716.
    const DD s = div({m - 1.0, 0.0}, two_sum(m, 1.0));
    const DD s2 = mul(s, s);
    DD t = kInvOdd[24];
    for (int n = 23; n >= 0; --n) t = add(mul(t, s2), kInvOdd[n]);
    DD v = mul(mul(t, s), {2.0, 0.0});
    v = add(v, mul(kLn2, {static_cast<double>(e), 0.0}));
    return v.hi + v.lo;
}

double portable_pow10(double y) {
    if (!std::isfinite(y)) return std::pow(10.0, y);
    if (y == 0.0) return 1.0;
    // 10^y = 2^k e^r, r = y ln 10 - k ln 2, |r| <= ln 2 / 2.
    const DD t = mul({y, 0.0}, kLn10);
    const double kd = std::nearbyint(t.hi / kLn2.hi);
    if (std::fabs(kd) > 1000.0) return std::pow(10.0, y);
    const DD r = add(t, neg(mul(kLn2, {kd, 0.0})));
    DD v = kInvFact[27];
    for (int n = 26; n >= 0; --n) v = add(mul(v, r), kInvFact[n]);
    return std::ldexp(v.hi + v.lo, static_cast<int>(kd));
}

void chirp_cos_sin_own(int32_t n, int32_t direction, int32_t m, double theta, double* c, double* s) {
    *c = portable_cos(theta);
    *s = portable_sin(theta);
    for (const ChirpValue& v : kGlibcChirp)
        if (v.n == n && v.direction == direction && v.m == m) *(v.sine ? s : c) = v.value;
}

void chirp_cos_sin(int32_t n, int32_t direction, int32_t m, double theta, double* c, double* s) {
#if ORV_OWN_MATH
    chirp_cos_sin_own(n, direction, m, theta, c, s);
#else
    (void)n;
    (void)direction;
    (void)m;
    *c = std::cos(theta);
    *s = std::sin(theta);
#endif
}

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
    const double z = y * kLog10Of2Lo + kInvLn10 * orv_log(x);
    return z + y * kLog10Of2Hi;
}
