// The power amplifier's AM/AM (Rapp) and hard clipping of the envelope.
#include <cmath>
#include <cstring>

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
inline double power_of(double t) {
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
const double kNearOne[17][6] = {
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

// base^(-1/E) for any base >= 1: exactly 1 for 1 (a sample far below saturation
// keeps its value), by pow beyond kNewtonLimit.
template <int32_t E>
double inverse_root_or_pow(double base) {
    if (base == 1.0) return 1.0;
    if (base < 2.0) return inverse_root_near_one<E>(base);
    return base < kNewtonLimit ? inverse_root<E>(base) : std::pow(base, -1.0 / E);
}

// The Rapp gain for 2p = E on n samples x into i and q (x may be i and q):
// (|x| / a_sat)^E by multiplication (of |x|^2 for an even E, of |x| for an odd one).
template <int32_t E>
void rapp_whole(int32_t n, double inv_sat2, const double* xi, const double* xq, double* i, double* q) {
    for (int32_t k = 0; k < n; ++k) {
        const double x = xi[k], y = xq[k];
        const double r2 = (x * x + y * y) * inv_sat2;
        const double u = E % 2 == 0 ? power_of<E / 2 == 0 ? 1 : E / 2>(r2) : power_of<E>(std::sqrt(r2));
        const double g = inverse_root_or_pow<E>(1.0 + u);
        i[k] = x * g;
        q[k] = y * g;
    }
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

// The gain of four samples (x, y) for 2p = E: every lane takes the scalar
// kernel's operations in its order (no fused products), so the gains are equal
// bit for bit. *big gets the lanes at or beyond kNewtonLimit.
template <int32_t E>
__attribute__((target("avx"))) ORV_ALWAYS_INLINE __m256d gain4(__m256d x, __m256d y, __m256d sat, int* big) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d r2 = _mm256_mul_pd(_mm256_add_pd(_mm256_mul_pd(x, x), _mm256_mul_pd(y, y)), sat);
    const __m256d u = E % 2 == 0 ? power_of4<E / 2 == 0 ? 1 : E / 2>(r2) : power_of4<E>(_mm256_sqrt_pd(r2));
    const __m256d base = _mm256_add_pd(one, u);
    __m256d t = near_one4<E>(base);
    const __m256d far = _mm256_cmp_pd(base, _mm256_set1_pd(2.0), _CMP_NLT_UQ);
    if (_mm256_movemask_pd(far) != 0) t = _mm256_blendv_pd(t, far_root4<E>(base), far);  // rare
    *big = _mm256_movemask_pd(_mm256_cmp_pd(base, _mm256_set1_pd(kNewtonLimit), _CMP_NLT_UQ));
    return _mm256_blendv_pd(t, one, _mm256_cmp_pd(base, one, _CMP_EQ_OQ));
}

// rapp_whole four samples at a time, eight groups of four side by side (their
// Newton iterations, a chain of dependent products, overlap); a block with a
// lane beyond kNewtonLimit is redone by the scalar kernel.
template <int32_t E>
__attribute__((target("avx"))) void rapp_whole_avx(int32_t n, double inv_sat2, const double* xi, const double* xq,
                                                   double* i, double* q) {
    const __m256d sat = _mm256_set1_pd(inv_sat2);
    constexpr int32_t kGroups = 8;
    int32_t k = 0;
    for (; k + 4 * kGroups <= n; k += 4 * kGroups) {
        __m256d x[kGroups], y[kGroups], g[kGroups];
        int big = 0;
        for (int32_t m = 0; m < kGroups; ++m) {
            x[m] = _mm256_loadu_pd(xi + k + 4 * m);
            y[m] = _mm256_loadu_pd(xq + k + 4 * m);
        }
        for (int32_t m = 0; m < kGroups; ++m) {
            int b;
            g[m] = gain4<E>(x[m], y[m], sat, &b);
            big |= b;
        }
        if (big != 0) {
            rapp_whole<E>(4 * kGroups, inv_sat2, xi + k, xq + k, i + k, q + k);  // rare
            continue;
        }
        for (int32_t m = 0; m < kGroups; ++m) {
            _mm256_storeu_pd(i + k + 4 * m, _mm256_mul_pd(x[m], g[m]));
            _mm256_storeu_pd(q + k + 4 * m, _mm256_mul_pd(y[m], g[m]));
        }
    }
    rapp_whole<E>(n - k, inv_sat2, xi + k, xq + k, i + k, q + k);
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
#endif

typedef void (*RappKernel)(int32_t n, double inv_sat2, const double* xi, const double* xq, double* i,
                           double* q);
typedef double (*RootKernel)(double base);

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
