// The power amplifier's AM/AM (Rapp) and hard clipping of the envelope.
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#include "cpu_features.h"
#include "impair_chain.h"

namespace {

// Above this 1 + (|x| / a_sat)^(2p) the gain comes from pow (the iteration's
// products would overflow).
constexpr double kNewtonLimit = 1e30;
// The high word of 1.0's bits, lowered by 0.045 of an octave: the guess
// below then errs by at most 6 % (1/x) and 4 % (e >= 2) either way.
constexpr double kGuessOne = 1072693248.0 - 0.045 * 1048576.0;

// The guess's constant a·0 + (1 - a)·kGuessOne for a = -1/E.
template <int32_t E>
constexpr double kGuessBase = kGuessOne * (1.0 + 1.0 / E);

// t^E for a whole E in 1..16 by squaring (unrolled for a constant E).
template <int32_t E>
constexpr double power_of(double t) {
    if constexpr (E == 1) {
        return t;
    } else if constexpr (E % 2 == 0) {
        const double h = power_of<E / 2>(t);
        return h * h;
    } else {
        return power_of<E - 1>(t) * t;
    }
}

// base^(-1/E), base in 1..kNewtonLimit: a guess off the high word of base's
// bits (a·bits(base) + (1 - a)·bits(1), a = -1/E), then Newton on
// t^(-E) = base: t <- t ((E + 1) - base t^E) / E. Four steps take the guess's
// error below 1e-16 for E up to 6, five for E up to 16.
template <int32_t E>
inline double inverse_root(double base) {
    int64_t bits;
    std::memcpy(&bits, &base, sizeof bits);
    const int32_t high = static_cast<int32_t>(bits >> 32);
    const double guess = kGuessBase<E> - static_cast<double>(high) * (1.0 / E);
    const int64_t t_bits = static_cast<int64_t>(static_cast<int32_t>(guess)) << 32;
    double t;
    std::memcpy(&t, &t_bits, sizeof t);
    constexpr int32_t kSteps = E <= 6 ? 4 : 5;
    for (int32_t s = 0; s < kSteps; ++s) t = (t * (1.0 / E)) * ((E + 1.0) - base * power_of<E>(t));
    return t;
}

// Row E: (1 + u)^(-1/E) on u in [0, 1] by the quintic c0 + u (c1 + ... u c5),
// the interpolant at the six Chebyshev nodes (within 5.1e-5 for E = 1,
// 2.6e-6 for E = 6, 8.1e-7 for E = 16).
constexpr double kNearOne[17][6] = {
    {0.0, 0.0, 0.0, 0.0, 0.0, 0.0},
    {0.999948982194786, -0.9962757002193766, 0.9534207438396001,
     -0.7705729299525534, 0.4179378603132493, -0.10448446507831233},
    {0.9999866603073155, -0.4990274114162308, 0.36291005246820274,
     -0.2536842958881452, 0.1275919479880705, -0.03067718538130516},
    {0.9999931045010115, -0.3328307903637326, 0.21598773063421478,
     -0.14263269497297468, 0.06969116892578532, -0.016511679091286462},
    {0.9999954881060972, -0.249671239820702, 0.15217547943570459,
     -0.09748581290127249, 0.0469086878304086, -0.011028619729295858},
    {0.999996685354721, -0.1997585065678133, 0.11700880089055438,
     -0.07355399156735709, 0.03505956130760625, -0.008203782016856138},
    {0.9999973942549131, -0.16647683634552085, 0.09487186179066061,
     -0.05887408744938163, 0.02788238119502986, -0.00650341184612213},
    {0.9999978592647503, -0.14270119768211814, 0.07970237973293165,
     -0.0489995940326451, 0.0230980435241298, -0.005374993079005245},
    {0.9999981862999445, -0.12486788383156976, 0.06867752378749936,
     -0.04192280465023816, 0.019692501434473236, -0.004574469935488653},
    {0.999998428172728, -0.11099661757535348, 0.06031173576906227,
     -0.036611355632179717, 0.01715006303013882, -0.003978400735762955},
    {0.9999986139882029, -0.09989904412448271, 0.0537510091049571,
     -0.03248248538378146, 0.0151821381233084, -0.0035179986972792747},
    {0.999998761035734, -0.09081884779544705, 0.04847043985635965,
     -0.029183252211069346, 0.013615168620689656, -0.003152037514428282},
    {0.9999988802027916, -0.08325177152291068, 0.044130032289536984,
     -0.0264878216052149, 0.01233874495817939, -0.00285436550081313},
    {0.9999989786730898, -0.07684868845019745, 0.04050005967677809,
     -0.024245166924276022, 0.011279392185704736, -0.0026076210621212175},
    {0.9999990613711127, -0.07136020716780521, 0.03741981125268047,
     -0.022350561378185047, 0.010386373953555338, -0.002399840181680417},
    {0.9999991317818098, -0.06660343142520003, 0.03477353754175561,
     -0.020729150974141474, 0.009623558000880262, -0.0022225177589554126},
    {0.999999192438719, -0.06244118318570256, 0.032475784391300416,
     -0.019326041536314637, 0.008964531092687817, -0.002069446124780464}};

// base^(-1/E) for base in [1, 2) (the envelope below saturation, the common
// case): the quintic's guess, then two Newton steps (each squares the
// relative error times (E + 1) / 2: below 1e-17 before rounding, within
// about 3.5e-16 after).
template <int32_t E>
inline double inverse_root_near_one(double base) {
    const double* c = kNearOne[E];
    const double u = base - 1.0;
    double t = c[0] + u * (c[1] + u * (c[2] + u * (c[3] + u * (c[4] + u * c[5]))));
    for (int32_t s = 0; s < 2; ++s) t = (t * (1.0 / E)) * ((E + 1.0) - base * power_of<E>(t));
    return t;
}

// inverse_root_near_one's operations at base 1 (as the vector kernel takes
// them), evaluated once by the compiler.
template <int32_t E>
constexpr double near_one_at_one() {
    const double* c = kNearOne[E];
    const double u = 1.0 - 1.0;
    double t = c[4] + u * c[5];
    for (int32_t j = 3; j >= 0; --j) t = c[j] + u * t;
    for (int32_t s = 0; s < 2; ++s) t = (t * (1.0 / E)) * ((E + 1.0) - 1.0 * power_of<E>(t));
    return t;
}

// True when that iteration gives exactly 1 at 1 (a lane at base 1 then needs
// no select of the scalar kernel's 1: true for 2p = 1, 3, 5..12 and 16).
template <int32_t E>
constexpr bool kNearOneExact = near_one_at_one<E>() == 1.0;

// base^(-1/E) for any base >= 1: exactly 1 for 1 (a sample far below saturation
// keeps its value), by pow beyond kNewtonLimit.
template <int32_t E>
double inverse_root_or_pow(double base) {
    if (base == 1.0) return 1.0;
    if (base < 2.0) return inverse_root_near_one<E>(base);
    return base < kNewtonLimit ? inverse_root<E>(base) : std::pow(base, -1.0 / E);
}

// The Rapp gain of the sample (x, y) for 2p = E: (|x| / a_sat)^E by
// multiplication (of |x|^2 for an even E, of |x| for an odd one).
template <int32_t E>
inline double whole_gain(double x, double y, double inv_sat2) {
    const double r2 = (x * x + y * y) * inv_sat2;
    const double u = E % 2 == 0 ? power_of<E / 2 == 0 ? 1 : E / 2>(r2) : power_of<E>(std::sqrt(r2));
    return inverse_root_or_pow<E>(1.0 + u);
}

// The Rapp gain for 2p = E on n samples x into i and q (x may be i and q).
template <int32_t E>
void rapp_whole(int32_t n, double inv_sat2, const double* xi, const double* xq, double* i, double* q) {
    for (int32_t k = 0; k < n; ++k) {
        const double x = xi[k], y = xq[k];
        const double g = whole_gain<E>(x, y, inv_sat2);
        i[k] = x * g;
        q[k] = y * g;
    }
}

// rapp_whole, then the matrix m when kIq, on n samples; returns power plus,
// when kSum, each output's I^2 + Q^2 added in order of sample.
template <int32_t E, bool kIq, bool kSum>
double rapp_iq_whole(int32_t n, double inv_sat2, const IqImbalance* m, const double* xi, const double* xq,
                     double* i, double* q, double power) {
    for (int32_t k = 0; k < n; ++k) {
        const double x = xi[k], y = xq[k];
        const double g = whole_gain<E>(x, y, inv_sat2);
        double u = x * g, v = y * g;
        if constexpr (kIq) {
            const double a = u, b = v;
            u = m->ii * a + m->iq * b;
            v = m->qi * a + m->qq * b;
        }
        i[k] = u;
        q[k] = v;
        if constexpr (kSum) power += u * u + v * v;
    }
    return power;
}

#if ORV_X86_VECTORS
template <int32_t E>
__attribute__((target("avx"))) ORV_ALWAYS_INLINE __m256d power_of4(__m256d t) {
    if constexpr (E == 1) {
        return t;
    } else if constexpr (E % 2 == 0) {
        const __m256d h = power_of4<E / 2>(t);
        return _mm256_mul_pd(h, h);
    } else {
        return _mm256_mul_pd(power_of4<E - 1>(t), t);
    }
}

// inverse_root_near_one of four bases, its operations per lane.
template <int32_t E>
__attribute__((target("avx"))) ORV_ALWAYS_INLINE __m256d near_one4(__m256d base) {
    const double* c = kNearOne[E];
    const __m256d u = _mm256_sub_pd(base, _mm256_set1_pd(1.0));
    __m256d t = _mm256_add_pd(_mm256_set1_pd(c[4]), _mm256_mul_pd(u, _mm256_set1_pd(c[5])));
    for (int32_t j = 3; j >= 0; --j) t = _mm256_add_pd(_mm256_set1_pd(c[j]), _mm256_mul_pd(u, t));
    const __m256d next = _mm256_set1_pd(E + 1.0), inv_e = _mm256_set1_pd(1.0 / E);
    for (int32_t s = 0; s < 2; ++s)
        t = _mm256_mul_pd(_mm256_mul_pd(t, inv_e), _mm256_sub_pd(next, _mm256_mul_pd(base, power_of4<E>(t))));
    return t;
}

// inverse_root of four bases (1 .. kNewtonLimit), its operations per lane.
template <int32_t E>
__attribute__((target("avx"))) ORV_ALWAYS_INLINE __m256d far_root4(__m256d base) {
    // The high words of the four bases, as the scalar guess takes them.
    const __m256 words = _mm256_castpd_ps(base);
    const __m128 lo = _mm256_castps256_ps128(words), hi = _mm256_extractf128_ps(words, 1);
    const __m128i high = _mm_castps_si128(_mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1)));
    const __m256d inv_e = _mm256_set1_pd(1.0 / E);
    const __m256d guess =
        _mm256_sub_pd(_mm256_set1_pd(kGuessBase<E>), _mm256_mul_pd(_mm256_cvtepi32_pd(high), inv_e));
    const __m128i g32 = _mm256_cvttpd_epi32(guess);
    const __m128i zero = _mm_setzero_si128();
    const __m256i g64 = _mm256_insertf128_si256(_mm256_castsi128_si256(_mm_unpacklo_epi32(zero, g32)),
                                                _mm_unpackhi_epi32(zero, g32), 1);
    __m256d t = _mm256_castsi256_pd(g64);
    const __m256d next = _mm256_set1_pd(E + 1.0);
    constexpr int32_t kSteps = E <= 6 ? 4 : 5;
    for (int32_t s = 0; s < kSteps; ++s)
        t = _mm256_mul_pd(_mm256_mul_pd(t, inv_e), _mm256_sub_pd(next, _mm256_mul_pd(base, power_of4<E>(t))));
    return t;
}

// mask's lanes of yes, the other lanes of no (bitwise: GCC lowers a blendv
// on a comparison to one branch a lane when AVX2 is not there).
__attribute__((target("avx"))) ORV_ALWAYS_INLINE __m256d select4(__m256d mask, __m256d yes, __m256d no) {
    return _mm256_or_pd(_mm256_and_pd(mask, yes), _mm256_andnot_pd(mask, no));
}

// Groups of four samples side by side in the vector kernels' blocks (their
// Newton iterations, chains of dependent products, overlap; only the gains
// and bases stay in registers, the samples are loaded again for the products).
constexpr int32_t kGroups = 4;
constexpr int32_t kBlock = 4 * kGroups;

// The bases at or beyond 2 of the groups in base get inverse_root's value in
// g; nonzero when a lane is at or beyond kNewtonLimit.
template <int32_t E>
__attribute__((target("avx"))) ORV_ALWAYS_INLINE int far_gains(const __m256d* base, __m256d* g) {
    __m256d big = _mm256_setzero_pd();
#pragma GCC unroll 8
    for (int32_t m = 0; m < kGroups; ++m) {
        const __m256d far = _mm256_cmp_pd(base[m], _mm256_set1_pd(2.0), _CMP_NLT_UQ);
        if (_mm256_movemask_pd(far) != 0) g[m] = select4(far, far_root4<E>(base[m]), g[m]);
        big = _mm256_or_pd(big, _mm256_cmp_pd(base[m], _mm256_set1_pd(kNewtonLimit), _CMP_NLT_UQ));
    }
    return _mm256_movemask_pd(big);
}

// The gains of the kBlock samples from xi, xq into g for 2p = E: every lane
// takes the scalar kernel's operations in its order (no fused products), so
// the gains are equal bit for bit. Nonzero when a lane is at or beyond
// kNewtonLimit (the block is then the scalar kernel's).
template <int32_t E>
__attribute__((target("avx"))) ORV_ALWAYS_INLINE int block_gains(const double* xi, const double* xq, __m256d sat,
                                                                 __m256d* g) {
    const __m256d one = _mm256_set1_pd(1.0);
    __m256d base[kGroups];
    __m256d far = _mm256_setzero_pd();
#pragma GCC unroll 8
    for (int32_t m = 0; m < kGroups; ++m) {
        const __m256d x = _mm256_loadu_pd(xi + 4 * m), y = _mm256_loadu_pd(xq + 4 * m);
        const __m256d r2 = _mm256_mul_pd(_mm256_add_pd(_mm256_mul_pd(x, x), _mm256_mul_pd(y, y)), sat);
        const __m256d u =
            E % 2 == 0 ? power_of4<E / 2 == 0 ? 1 : E / 2>(r2) : power_of4<E>(_mm256_sqrt_pd(r2));
        base[m] = _mm256_add_pd(one, u);
        g[m] = near_one4<E>(base[m]);
        far = _mm256_or_pd(far, _mm256_cmp_pd(base[m], _mm256_set1_pd(2.0), _CMP_NLT_UQ));
    }
    if (_mm256_movemask_pd(far) != 0 && far_gains<E>(base, g) != 0) return 1;  // rare
    if constexpr (!kNearOneExact<E>) {
#pragma GCC unroll 8
        for (int32_t m = 0; m < kGroups; ++m) g[m] = select4(_mm256_cmp_pd(base[m], one, _CMP_EQ_OQ), one, g[m]);
    }
    return 0;
}

// rapp_whole kBlock samples at a time; a block with a lane beyond kNewtonLimit
// is redone by the scalar kernel.
template <int32_t E>
__attribute__((target("avx"))) void rapp_whole_avx(int32_t n, double inv_sat2, const double* xi, const double* xq,
                                                   double* i, double* q) {
    const __m256d sat = _mm256_set1_pd(inv_sat2);
    int32_t k = 0;
    for (; k + kBlock <= n; k += kBlock) {
        __m256d g[kGroups];
        if (block_gains<E>(xi + k, xq + k, sat, g) != 0) {
            rapp_whole<E>(kBlock, inv_sat2, xi + k, xq + k, i + k, q + k);  // rare
            continue;
        }
#pragma GCC unroll 8
        for (int32_t m = 0; m < kGroups; ++m) {
            const int32_t at = k + 4 * m;
            _mm256_storeu_pd(i + at, _mm256_mul_pd(_mm256_loadu_pd(xi + at), g[m]));
            _mm256_storeu_pd(q + at, _mm256_mul_pd(_mm256_loadu_pd(xq + at), g[m]));
        }
    }
    rapp_whole<E>(n - k, inv_sat2, xi + k, xq + k, i + k, q + k);
}

// rapp_iq_whole kBlock samples at a time (the same operations per lane; the
// outputs' I^2 + Q^2 of a block are added one by one in order of sample); a
// block with a lane beyond kNewtonLimit is the scalar kernel's.
template <int32_t E, bool kIq, bool kSum>
__attribute__((target("avx"))) double rapp_iq_avx(int32_t n, double inv_sat2, const IqImbalance* m,
                                                  const double* xi, const double* xq, double* i, double* q,
                                                  double power) {
    const __m256d sat = _mm256_set1_pd(inv_sat2);
    __m256d ii = sat, iq = sat, qi = sat, qq = sat;
    if constexpr (kIq) {
        ii = _mm256_set1_pd(m->ii);
        iq = _mm256_set1_pd(m->iq);
        qi = _mm256_set1_pd(m->qi);
        qq = _mm256_set1_pd(m->qq);
    }
    alignas(32) double p2[kBlock];
    int32_t k = 0;
    for (; k + kBlock <= n; k += kBlock) {
        __m256d g[kGroups];
        if (block_gains<E>(xi + k, xq + k, sat, g) != 0) {
            power = rapp_iq_whole<E, kIq, kSum>(kBlock, inv_sat2, m, xi + k, xq + k, i + k, q + k, power);  // rare
            continue;
        }
#pragma GCC unroll 8
        for (int32_t b = 0; b < kGroups; ++b) {
            const int32_t at = k + 4 * b;
            __m256d u = _mm256_mul_pd(_mm256_loadu_pd(xi + at), g[b]);
            __m256d v = _mm256_mul_pd(_mm256_loadu_pd(xq + at), g[b]);
            if constexpr (kIq) {
                const __m256d x = u, y = v;
                u = _mm256_add_pd(_mm256_mul_pd(ii, x), _mm256_mul_pd(iq, y));
                v = _mm256_add_pd(_mm256_mul_pd(qi, x), _mm256_mul_pd(qq, y));
            }
            _mm256_storeu_pd(i + at, u);
            _mm256_storeu_pd(q + at, v);
            if constexpr (kSum)
                _mm256_store_pd(p2 + 4 * b, _mm256_add_pd(_mm256_mul_pd(u, u), _mm256_mul_pd(v, v)));
        }
        if constexpr (kSum) {
#pragma GCC unroll 32
            for (int32_t j = 0; j < kBlock; ++j) power += p2[j];
        }
    }
    return rapp_iq_whole<E, kIq, kSum>(n - k, inv_sat2, m, xi + k, xq + k, i + k, q + k, power);
}

#if !defined(_WIN32)
// GCC 12's AVX-512 intrinsics start from an undefined register that it then
// reports as maybe uninitialised (GCC bug 105593); the results do not depend on it.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
template <int32_t E>
__attribute__((target("avx512f"))) ORV_ALWAYS_INLINE __m512d power_of8(__m512d t) {
    if constexpr (E == 1) {
        return t;
    } else if constexpr (E % 2 == 0) {
        const __m512d h = power_of8<E / 2>(t);
        return _mm512_mul_pd(h, h);
    } else {
        return _mm512_mul_pd(power_of8<E - 1>(t), t);
    }
}

// near_one4 on eight lanes.
template <int32_t E>
__attribute__((target("avx512f"))) ORV_ALWAYS_INLINE __m512d near_one8(__m512d base) {
    const double* c = kNearOne[E];
    const __m512d u = _mm512_sub_pd(base, _mm512_set1_pd(1.0));
    __m512d t = _mm512_add_pd(_mm512_set1_pd(c[4]), _mm512_mul_pd(u, _mm512_set1_pd(c[5])));
    for (int32_t j = 3; j >= 0; --j) t = _mm512_add_pd(_mm512_set1_pd(c[j]), _mm512_mul_pd(u, t));
    const __m512d next = _mm512_set1_pd(E + 1.0), inv_e = _mm512_set1_pd(1.0 / E);
    for (int32_t s = 0; s < 2; ++s)
        t = _mm512_mul_pd(_mm512_mul_pd(t, inv_e), _mm512_sub_pd(next, _mm512_mul_pd(base, power_of8<E>(t))));
    return t;
}

// far_root4 on eight lanes (the bases' high words as the scalar guess takes them).
template <int32_t E>
__attribute__((target("avx512f"))) ORV_ALWAYS_INLINE __m512d far_root8(__m512d base) {
    const __m256i high = _mm512_cvtepi64_epi32(_mm512_srli_epi64(_mm512_castpd_si512(base), 32));
    const __m512d inv_e = _mm512_set1_pd(1.0 / E);
    const __m512d guess =
        _mm512_sub_pd(_mm512_set1_pd(kGuessBase<E>), _mm512_mul_pd(_mm512_cvtepi32_pd(high), inv_e));
    __m512d t = _mm512_castsi512_pd(_mm512_slli_epi64(_mm512_cvtepi32_epi64(_mm512_cvttpd_epi32(guess)), 32));
    const __m512d next = _mm512_set1_pd(E + 1.0);
    constexpr int32_t kSteps = E <= 6 ? 4 : 5;
    for (int32_t s = 0; s < kSteps; ++s)
        t = _mm512_mul_pd(_mm512_mul_pd(t, inv_e), _mm512_sub_pd(next, _mm512_mul_pd(base, power_of8<E>(t))));
    return t;
}

// Groups of eight samples side by side in the AVX-512 kernel's blocks.
constexpr int32_t kGroups8 = 4;
constexpr int32_t kBlock8 = 8 * kGroups8;

// block_gains on eight lanes a group: the gains of kBlock8 samples into g;
// nonzero when a lane is at or beyond kNewtonLimit.
template <int32_t E>
__attribute__((target("avx512f"))) ORV_ALWAYS_INLINE int block_gains8(const double* xi, const double* xq,
                                                                      __m512d sat, __m512d* g) {
    const __m512d one = _mm512_set1_pd(1.0), two = _mm512_set1_pd(2.0);
    __m512d base[kGroups8];
    __mmask8 far = 0;
#pragma GCC unroll 8
    for (int32_t m = 0; m < kGroups8; ++m) {
        const __m512d x = _mm512_loadu_pd(xi + 8 * m), y = _mm512_loadu_pd(xq + 8 * m);
        const __m512d r2 = _mm512_mul_pd(_mm512_add_pd(_mm512_mul_pd(x, x), _mm512_mul_pd(y, y)), sat);
        const __m512d u =
            E % 2 == 0 ? power_of8<E / 2 == 0 ? 1 : E / 2>(r2) : power_of8<E>(_mm512_sqrt_pd(r2));
        base[m] = _mm512_add_pd(one, u);
        g[m] = near_one8<E>(base[m]);
        far = static_cast<__mmask8>(far | _mm512_cmp_pd_mask(base[m], two, _CMP_NLT_UQ));
    }
    if (far != 0) {
        __mmask8 big = 0;
        for (int32_t m = 0; m < kGroups8; ++m) {
            const __mmask8 lanes = _mm512_cmp_pd_mask(base[m], two, _CMP_NLT_UQ);
            if (lanes != 0) g[m] = _mm512_mask_blend_pd(lanes, g[m], far_root8<E>(base[m]));
            big = static_cast<__mmask8>(big | _mm512_cmp_pd_mask(base[m], _mm512_set1_pd(kNewtonLimit), _CMP_NLT_UQ));
        }
        if (big != 0) return 1;  // rare
    }
    if constexpr (!kNearOneExact<E>) {
#pragma GCC unroll 8
        for (int32_t m = 0; m < kGroups8; ++m)
            g[m] = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(base[m], one, _CMP_EQ_OQ), g[m], one);
    }
    return 0;
}

// rapp_iq_avx kBlock8 samples at a time (AVX-512F; the same operations per
// lane, the block's powers added one by one in order of sample), the rest
// rapp_iq_avx's.
template <int32_t E, bool kIq, bool kSum>
__attribute__((target("avx512f"))) double rapp_iq_avx512(int32_t n, double inv_sat2, const IqImbalance* m,
                                                         const double* xi, const double* xq, double* i,
                                                         double* q, double power) {
    const __m512d sat = _mm512_set1_pd(inv_sat2);
    __m512d ii = sat, iq = sat, qi = sat, qq = sat;
    if constexpr (kIq) {
        ii = _mm512_set1_pd(m->ii);
        iq = _mm512_set1_pd(m->iq);
        qi = _mm512_set1_pd(m->qi);
        qq = _mm512_set1_pd(m->qq);
    }
    alignas(64) double p2[kBlock8];
    int32_t k = 0;
    for (; k + kBlock8 <= n; k += kBlock8) {
        __m512d g[kGroups8];
        if (block_gains8<E>(xi + k, xq + k, sat, g) != 0) {
            power = rapp_iq_whole<E, kIq, kSum>(kBlock8, inv_sat2, m, xi + k, xq + k, i + k, q + k, power);
            continue;
        }
#pragma GCC unroll 8
        for (int32_t b = 0; b < kGroups8; ++b) {
            const int32_t at = k + 8 * b;
            __m512d u = _mm512_mul_pd(_mm512_loadu_pd(xi + at), g[b]);
            __m512d v = _mm512_mul_pd(_mm512_loadu_pd(xq + at), g[b]);
            if constexpr (kIq) {
                const __m512d x = u, y = v;
                u = _mm512_add_pd(_mm512_mul_pd(ii, x), _mm512_mul_pd(iq, y));
                v = _mm512_add_pd(_mm512_mul_pd(qi, x), _mm512_mul_pd(qq, y));
            }
            _mm512_storeu_pd(i + at, u);
            _mm512_storeu_pd(q + at, v);
            if constexpr (kSum)
                _mm512_store_pd(p2 + 8 * b, _mm512_add_pd(_mm512_mul_pd(u, u), _mm512_mul_pd(v, v)));
        }
        if constexpr (kSum) {
#pragma GCC unroll 32
            for (int32_t j = 0; j < kBlock8; ++j) power += p2[j];
        }
    }
    return rapp_iq_avx<E, kIq, kSum>(n - k, inv_sat2, m, xi + k, xq + k, i + k, q + k, power);
}
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

// The widest kernel the processor has, at most `widest` (a RappLoop).
template <int32_t E, bool kIq, bool kSum>
double rapp_iq_any(int32_t widest, int32_t n, double inv_sat2, const IqImbalance* m, const double* xi,
                   const double* xq, double* i, double* q, double power) {
#if !defined(_WIN32)
    if (widest >= kRappAvx512 && cpu_has_avx512())
        return rapp_iq_avx512<E, kIq, kSum>(n, inv_sat2, m, xi, xq, i, q, power);
#endif
    if (widest >= kRappAvx && cpu_has_avx()) return rapp_iq_avx<E, kIq, kSum>(n, inv_sat2, m, xi, xq, i, q, power);
    return rapp_iq_whole<E, kIq, kSum>(n, inv_sat2, m, xi, xq, i, q, power);
}

template <int32_t E>
void rapp_whole_any(int32_t n, double inv_sat2, const double* xi, const double* xq, double* i, double* q) {
    if (cpu_has_avx()) rapp_whole_avx<E>(n, inv_sat2, xi, xq, i, q);
    else rapp_whole<E>(n, inv_sat2, xi, xq, i, q);
}
#else
template <int32_t E>
void rapp_whole_any(int32_t n, double inv_sat2, const double* xi, const double* xq, double* i, double* q) {
    rapp_whole<E>(n, inv_sat2, xi, xq, i, q);
}

template <int32_t E, bool kIq, bool kSum>
double rapp_iq_any(int32_t, int32_t n, double inv_sat2, const IqImbalance* m, const double* xi, const double* xq,
                   double* i, double* q, double power) {
    return rapp_iq_whole<E, kIq, kSum>(n, inv_sat2, m, xi, xq, i, q, power);
}
#endif

typedef void (*RappKernel)(int32_t n, double inv_sat2, const double* xi, const double* xq, double* i,
                           double* q);
typedef double (*RootKernel)(double base);
typedef double (*RappIqKernel)(int32_t widest, int32_t n, double inv_sat2, const IqImbalance* m,
                               const double* xi, const double* xq, double* i, double* q, double power);

const RappKernel kRappKernels[17] = {
    nullptr,             rapp_whole_any<1>,  rapp_whole_any<2>,  rapp_whole_any<3>,
    rapp_whole_any<4>,   rapp_whole_any<5>,  rapp_whole_any<6>,  rapp_whole_any<7>,
    rapp_whole_any<8>,   rapp_whole_any<9>,  rapp_whole_any<10>, rapp_whole_any<11>,
    rapp_whole_any<12>,  rapp_whole_any<13>, rapp_whole_any<14>, rapp_whole_any<15>,
    rapp_whole_any<16>};
const RootKernel kRootKernels[17] = {
    nullptr,
    inverse_root_or_pow<1>,  inverse_root_or_pow<2>,  inverse_root_or_pow<3>,  inverse_root_or_pow<4>,
    inverse_root_or_pow<5>,  inverse_root_or_pow<6>,  inverse_root_or_pow<7>,  inverse_root_or_pow<8>,
    inverse_root_or_pow<9>,  inverse_root_or_pow<10>, inverse_root_or_pow<11>, inverse_root_or_pow<12>,
    inverse_root_or_pow<13>, inverse_root_or_pow<14>, inverse_root_or_pow<15>, inverse_root_or_pow<16>};
// kRappIqKernels' rows: 2p = 0 (none), 1, ..., 16.
template <bool kIq, bool kSum, int32_t... E>
constexpr std::array<RappIqKernel, 17> rapp_iq_row(std::integer_sequence<int32_t, E...>) {
    return {nullptr, rapp_iq_any<E + 1, kIq, kSum>...};
}

// Row 0: the power without the IQ matrix, row 1: with it, row 2: the IQ
// matrix without the power; column 2p.
const std::array<RappIqKernel, 17> kRappIqKernels[3] = {
    rapp_iq_row<false, true>(std::make_integer_sequence<int32_t, 16>{}),
    rapp_iq_row<true, true>(std::make_integer_sequence<int32_t, 16>{}),
    rapp_iq_row<true, false>(std::make_integer_sequence<int32_t, 16>{})};

}  // namespace

double rapp_inverse_root(double base, int32_t e) {
    if (e < 1 || e > 16) return std::pow(base, -1.0 / e);
    return kRootKernels[e](base);
}

int32_t rapp_whole_exponent(double p) {
    const double e = 2.0 * p;
    return e == std::floor(e) && e >= 1.0 && e <= 16.0 ? static_cast<int32_t>(e) : 0;
}

void rapp_amplify_from(int32_t n, double a_sat, double p, const double* xi, const double* xq, double* i,
                       double* q) {
    const double inv_sat2 = 1.0 / (a_sat * a_sat);
    const int32_t e = rapp_whole_exponent(p);
    if (e > 0) {
        kRappKernels[e](n, inv_sat2, xi, xq, i, q);
        return;
    }
    const double expo = -1.0 / (2.0 * p);
    for (int32_t k = 0; k < n; ++k) {
        const double x = xi[k], y = xq[k];
        const double r2 = (x * x + y * y) * inv_sat2;
        const double g = r2 == 0.0 ? 1.0 : std::pow(1.0 + std::pow(r2, p), expo);
        i[k] = x * g;
        q[k] = y * g;
    }
}

double rapp_iq_sum_with(int32_t widest, int32_t n, double a_sat, double p, const IqImbalance* m,
                        const double* xi, const double* xq, double* i, double* q, double power) {
    const int32_t e = rapp_whole_exponent(p);
    if (e > 0)
        return kRappIqKernels[m != nullptr ? 1 : 0][e](widest, n, 1.0 / (a_sat * a_sat), m, xi, xq, i, q, power);
    rapp_amplify_from(n, a_sat, p, xi, xq, i, q);
    if (m != nullptr) return iq_imbalance_apply_sum(m, n, i, q, power);
    for (int32_t k = 0; k < n; ++k) power += i[k] * i[k] + q[k] * q[k];
    return power;
}

double rapp_iq_sum(int32_t n, double a_sat, double p, const IqImbalance* m, const double* xi, const double* xq,
                   double* i, double* q, double power) {
    return rapp_iq_sum_with(kRappAvx512, n, a_sat, p, m, xi, xq, i, q, power);
}

void rapp_iq_with(int32_t widest, int32_t n, double a_sat, double p, const IqImbalance* m, const double* xi,
                  const double* xq, double* i, double* q) {
    const int32_t e = rapp_whole_exponent(p);
    if (e > 0 && m != nullptr) {
        kRappIqKernels[2][e](widest, n, 1.0 / (a_sat * a_sat), m, xi, xq, i, q, 0.0);
        return;
    }
    rapp_amplify_from(n, a_sat, p, xi, xq, i, q);
    if (m != nullptr) iq_imbalance_apply(m, n, i, q);
}

void rapp_iq(int32_t n, double a_sat, double p, const IqImbalance* m, const double* xi, const double* xq,
             double* i, double* q) {
    rapp_iq_with(kRappAvx512, n, a_sat, p, m, xi, xq, i, q);
}

void rapp_amplify(int32_t n, double a_sat, double p, double* i, double* q) {
    rapp_amplify_from(n, a_sat, p, i, q, i, q);
}

void clip_envelope(int32_t n, double level, double* i, double* q) {
    const double level2 = level * level;
    for (int32_t k = 0; k < n; ++k) {
        const double m2 = i[k] * i[k] + q[k] * q[k];
        if (m2 <= level2) continue;
        const double g = level / std::sqrt(m2);
        i[k] *= g;
        q[k] *= g;
    }
}
