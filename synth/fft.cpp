#include "fft.h"
#include "cpu_features.h"
#include "platform_math.h"

#include <cmath>
#include <cstdlib>
#include <numbers>

namespace {

constexpr int32_t kMaxChirpSize = 2097152;   // 2^21
constexpr int32_t kMaxRadix2Size = 4194304;  // 2^22

// Process-wide table cache of the radix-2 transform (unguarded: calls must not overlap).
double* g_sinmap = nullptr;   // n + n/4 entries, sinmap[k] = sin(2 pi k / n)
int32_t* g_revmap = nullptr;  // n entries, bit-reversal permutation
// The twiddles in the order the butterflies read them: for the stage of
// half-span k, entries k..2k-1 hold sinmap[j n / 2k + n/4] (g_stage_cos) and
// sinmap[j n / 2k] (g_stage_sin) for j < k. In the same block as sinmap.
double* g_stage_cos = nullptr;
double* g_stage_sin = nullptr;
double* g_stage_nsin = nullptr;  // -1 times g_stage_sin, for the inverse direction
int32_t g_cached_size = 0;

bool is_power_of_two(int32_t n) { return n > 0 && (n & (n - 1)) == 0; }

// Sine table from a trigonometric recurrence seeded with sin(pi/n): the first
// octant is iterated, the rest of the period and a quarter follows by symmetry.
void build_sinmap(int32_t n, double* sinmap) {
    const int32_t n8 = n / 8, n4 = n / 4, n2 = n / 2;
    const double t = orv_sin(std::numbers::pi / n);
    double dc = 2.0 * t * t;                 // 1 - cos(2 pi / n)
    double ds = std::sqrt(dc * (2.0 - dc));  // sin(2 pi / n)
    const double t2 = 2.0 * dc;
    double c = sinmap[n4] = 1.0;
    double s = sinmap[0] = 0.0;
    for (int32_t i = 1; i < n8; ++i) {
        c = c - dc;
        dc = dc + t2 * c;
        s = s + ds;
        ds = ds - t2 * s;
        sinmap[i] = s;
        sinmap[n4 - i] = c;
    }
    if (n8 != 0) sinmap[n8] = std::sqrt(0.5);
    for (int32_t i = 0; i < n4; ++i) sinmap[n2 - i] = sinmap[i];
    for (int32_t i = 0; i < n2 + n4; ++i) sinmap[n2 + i] = -sinmap[i];
}

void build_revmap(int32_t n, int32_t* revmap) {
    revmap[0] = 0;
    int32_t j = 0;
    for (int32_t i = 1; i < n; ++i) {
        int32_t k = n / 2;
        while (k <= j) {
            j -= k;
            k /= 2;
        }
        j += k;
        revmap[i] = j;
    }
}

void free_radix2_tables() {
    std::free(g_sinmap);
    std::free(g_revmap);
    g_sinmap = nullptr;
    g_revmap = nullptr;
    g_stage_cos = g_stage_sin = g_stage_nsin = nullptr;
    g_cached_size = 0;
}

void build_stage_twiddles(int32_t n, const double* sinmap, double* stage_cos, double* stage_sin) {
    stage_cos[0] = stage_sin[0] = 0.0;  // not read
    for (int32_t k = 1; k < n; k *= 2) {
        const int32_t d = n / (2 * k);
        for (int32_t j = 0; j < k; ++j) {
            stage_cos[k + j] = sinmap[j * d + n / 4];
            stage_sin[k + j] = sinmap[j * d];
        }
    }
}

// Makes the cache hold the tables of size n; returns 0, or -1 with the cache empty.
int32_t ensure_tables(int32_t n) {
    if (n == g_cached_size) return 0;
    free_radix2_tables();
    const size_t count = static_cast<size_t>(n);
    g_sinmap = static_cast<double*>(std::malloc((4 * count + count / 4) * sizeof(double)));
    g_revmap = static_cast<int32_t*>(std::malloc(count * sizeof(int32_t)));
    if (g_sinmap == nullptr || g_revmap == nullptr) {
        free_radix2_tables();
        return -1;
    }
    build_sinmap(n, g_sinmap);
    build_revmap(n, g_revmap);
    g_stage_cos = g_sinmap + count + count / 4;
    g_stage_sin = g_stage_cos + count;
    g_stage_nsin = g_stage_sin + count;
    build_stage_twiddles(n, g_sinmap, g_stage_cos, g_stage_sin);
    for (size_t k = 0; k < count; ++k) g_stage_nsin[k] = -1.0 * g_stage_sin[k];
    g_cached_size = n;
    return 0;
}

// Chirp-z state, per transform size and direction: the chirp and the forward
// transform of the convolution kernel, both exactly as the transform would
// compute them afresh; and one scratch block for the convolution. Released
// with the radix-2 tables (unguarded like them).
struct ChirpEntry {
    int32_t n;
    int32_t direction;
    int32_t M;       // inner radix-2 size: the least power of two >= 2n
    double* chirp;   // cos(theta_m) for m < n, then sin(theta_m)
    double* kernel;  // real parts, then imaginary parts, of the M-point transform
};
constexpr int kChirpEntries = 2;
ChirpEntry g_chirp[kChirpEntries] = {};
double* g_scratch = nullptr;  // 4 * g_scratch_size doubles: two complex blocks
int32_t g_scratch_size = 0;

void free_entry(ChirpEntry* e) {
    std::free(e->chirp);
    std::free(e->kernel);
    *e = ChirpEntry{};
}

void release_chirp_state() {
    for (ChirpEntry& e : g_chirp) free_entry(&e);
    std::free(g_scratch);
    g_scratch = nullptr;
    g_scratch_size = 0;
}

// Makes the scratch block hold at least 4M doubles; 0, or -1 (scratch freed).
int32_t ensure_scratch(int32_t M) {
    if (g_scratch_size >= M) return 0;
    std::free(g_scratch);
    g_scratch = static_cast<double*>(std::malloc(4 * static_cast<size_t>(M) * sizeof(double)));
    g_scratch_size = g_scratch == nullptr ? 0 : M;
    return g_scratch == nullptr ? -1 : 0;
}

// Computes the chirp and the kernel's transform into e (n, direction, M set).
// Returns 0, or -1 when memory ran out (e then holds nothing).
int32_t build_chirp_entry(ChirpEntry* e) {
    const int32_t n = e->n, M = e->M;
    e->chirp = static_cast<double*>(std::malloc(2 * static_cast<size_t>(n) * sizeof(double)));
    e->kernel = static_cast<double*>(std::malloc(2 * static_cast<size_t>(M) * sizeof(double)));
    if (e->chirp == nullptr || e->kernel == nullptr) {
        free_entry(e);
        return -1;
    }
    double* chirp_cos = e->chirp;
    double* chirp_sin = e->chirp + n;
    double* a_re = e->kernel;
    double* a_im = e->kernel + M;

    // theta_m = (phi / n) m m with m squared taken as it is (not reduced mod 2n).
    const double phi = e->direction == 0 ? std::numbers::pi : -std::numbers::pi;
    const double step = phi / n;
    for (int32_t m = 0; m < n; ++m) {
        const double theta = step * m * m;
        chirp_cos_sin(n, e->direction, m, theta, &chirp_cos[m], &chirp_sin[m]);
        a_re[m] = chirp_cos[m];
        a_im[m] = -chirp_sin[m];
    }
    for (int32_t i = n; i <= M - n; ++i) {
        a_re[i] = 0.0;
        a_im[i] = 0.0;
    }
    for (int32_t i = M - n + 1; i < M; ++i) {  // the conjugate chirp at negative indices
        a_re[i] = a_re[M - i];
        a_im[i] = a_im[M - i];
    }
    if (fft_radix2(M, a_re, a_im, 1) != 0) {
        free_entry(e);
        return -1;
    }
    return 0;
}

// The cached state of (n, direction), built when missing (the older entry
// makes room when both are taken); nullptr when memory ran out.
const ChirpEntry* chirp_entry(int32_t n, int32_t direction) {
    for (const ChirpEntry& e : g_chirp)
        if (e.n == n && e.direction == direction) return &e;
    ChirpEntry* slot = nullptr;
    for (ChirpEntry& e : g_chirp)
        if (e.n == 0 && slot == nullptr) slot = &e;
    if (slot == nullptr) {
        free_entry(&g_chirp[0]);
        for (int k = 0; k + 1 < kChirpEntries; ++k) g_chirp[k] = g_chirp[k + 1];
        slot = &g_chirp[kChirpEntries - 1];
        *slot = ChirpEntry{};
    }
    int32_t M = 1;
    while (M < 2 * n) M *= 2;
    slot->n = n;
    slot->direction = direction;
    slot->M = M;
    return build_chirp_entry(slot) == 0 ? slot : nullptr;
}

}  // namespace

int32_t fft(int32_t n, double* re, double* im, int32_t direction) {
    if (n < 4 || n > kMaxChirpSize) return 1;
    if (is_power_of_two(n)) return fft_radix2(n, re, im, direction);
    return fft_chirp_z(n, re, im, direction);
}

namespace {

// Decimation in time over data already in bit-reversed order: the stages of
// half-span first_k, 2 first_k, ... below n, with twiddle e^(-+j 2 pi p / n),
// p = j n / (2k). The butterflies of one stage are independent, so they run
// block by block for locality, two stages per pass where both are whole:
// the butterflies of half-span k on the four quarters a b c d of a block of
// 4k, then those of half-span 2k on (a, c) and (b, d). Each butterfly's
// arithmetic is the same in any order. stage_sin holds the direction's
// signed sines (sign times g_stage_sin). When keep <= n/2 only outputs
// 0..keep-1 are wanted: the last stage then computes just those (the others
// are left undefined).
ORV_ALWAYS_INLINE void butterfly(double c, double w, double& ar, double& ai, double& br,
                                 double& bi) {
    const double tr = c * br + w * bi;
    const double ti = c * bi - w * br;
    br = ar - tr;
    ar = ar + tr;
    bi = ai - ti;
    ai = ai + ti;
}

#if ORV_X86_VECTORS
void avx_two_stages(int32_t n, double* xr, double* xi, const double* tc, const double* ts,
                    const double* tc2, const double* ts2, int32_t k);
#endif

template <bool kVectors>
ORV_ALWAYS_INLINE void stages_body(int32_t n, double* __restrict xr, double* __restrict xi,
                                   const double* __restrict stage_cos,
                                   const double* __restrict stage_sin, int32_t first_k,
                                   int32_t keep) {
    const int32_t last = keep <= n / 2 ? n / 2 : n;  // the stage computed in part, if any
    int32_t k = first_k;
    while (k < n) {
        const double* __restrict tc = stage_cos + k;
        const double* __restrict ts = stage_sin + k;
        if (k == last) {
            for (int32_t j = 0; j < keep; ++j) {
                const double c = tc[j];
                const double w = ts[j];
                const double tr = c * xr[k + j] + w * xi[k + j];
                const double ti = c * xi[k + j] - w * xr[k + j];
                xr[j] = xr[j] + tr;
                xi[j] = xi[j] + ti;
            }
            break;
        }
        if (2 * k < n && 2 * k != last) {
            const double* __restrict tc2 = stage_cos + 2 * k;
            const double* __restrict ts2 = stage_sin + 2 * k;
#if ORV_X86_VECTORS
            if (kVectors && k >= 4) {
                avx_two_stages(n, xr, xi, tc, ts, tc2, ts2, k);
                k *= 4;
                continue;
            }
#endif
            for (int32_t base = 0; base < n; base += 4 * k) {
                double* __restrict r = xr + base;
                double* __restrict i = xi + base;
                for (int32_t j = 0; j < k; ++j) {
                    double ar = r[j], br = r[j + k], cr = r[j + 2 * k], dr = r[j + 3 * k];
                    double ai = i[j], bi = i[j + k], ci = i[j + 2 * k], di = i[j + 3 * k];
                    butterfly(tc[j], ts[j], ar, ai, br, bi);
                    butterfly(tc[j], ts[j], cr, ci, dr, di);
                    butterfly(tc2[j], ts2[j], ar, ai, cr, ci);
                    butterfly(tc2[j + k], ts2[j + k], br, bi, dr, di);
                    r[j] = ar;
                    r[j + k] = br;
                    r[j + 2 * k] = cr;
                    r[j + 3 * k] = dr;
                    i[j] = ai;
                    i[j + k] = bi;
                    i[j + 2 * k] = ci;
                    i[j + 3 * k] = di;
                }
            }
            k *= 4;
            continue;
        }
        for (int32_t base = 0; base < n; base += 2 * k) {
            double* __restrict ar = xr + base;
            double* __restrict ai = xi + base;
            double* __restrict br = xr + base + k;
            double* __restrict bi = xi + base + k;
            for (int32_t j = 0; j < k; ++j) butterfly(tc[j], ts[j], ar[j], ai[j], br[j], bi[j]);
        }
        k *= 2;
    }
}

void stages_plain(int32_t n, double* xr, double* xi, const double* stage_cos,
                  const double* stage_sin, int32_t first_k, int32_t keep) {
    stages_body<false>(n, xr, xi, stage_cos, stage_sin, first_k, keep);
}

#if ORV_X86_VECTORS
// The butterfly on four lanes, rounded as the scalar one (no fused multiply-add).
__attribute__((target("avx"))) inline void butterfly4(__m256d c, __m256d w, __m256d& ar,
                                                      __m256d& ai, __m256d& br, __m256d& bi) {
    const __m256d tr = _mm256_add_pd(_mm256_mul_pd(c, br), _mm256_mul_pd(w, bi));
    const __m256d ti = _mm256_sub_pd(_mm256_mul_pd(c, bi), _mm256_mul_pd(w, br));
    br = _mm256_sub_pd(ar, tr);
    ar = _mm256_add_pd(ar, tr);
    bi = _mm256_sub_pd(ai, ti);
    ai = _mm256_add_pd(ai, ti);
}

// Stages of half-span k and 2k in one pass, four butterflies at a time (k >= 4).
__attribute__((target("avx"))) void avx_two_stages(int32_t n, double* xr, double* xi,
                                                   const double* tc, const double* ts,
                                                   const double* tc2, const double* ts2,
                                                   int32_t k) {
    for (int32_t base = 0; base < n; base += 4 * k) {
        double* r = xr + base;
        double* i = xi + base;
        for (int32_t j = 0; j < k; j += 4) {
            __m256d ar = _mm256_loadu_pd(r + j), br = _mm256_loadu_pd(r + j + k);
            __m256d cr = _mm256_loadu_pd(r + j + 2 * k), dr = _mm256_loadu_pd(r + j + 3 * k);
            __m256d ai = _mm256_loadu_pd(i + j), bi = _mm256_loadu_pd(i + j + k);
            __m256d ci = _mm256_loadu_pd(i + j + 2 * k), di = _mm256_loadu_pd(i + j + 3 * k);
            const __m256d c1 = _mm256_loadu_pd(tc + j), w1 = _mm256_loadu_pd(ts + j);
            butterfly4(c1, w1, ar, ai, br, bi);
            butterfly4(c1, w1, cr, ci, dr, di);
            butterfly4(_mm256_loadu_pd(tc2 + j), _mm256_loadu_pd(ts2 + j), ar, ai, cr, ci);
            butterfly4(_mm256_loadu_pd(tc2 + j + k), _mm256_loadu_pd(ts2 + j + k), br, bi, dr, di);
            _mm256_storeu_pd(r + j, ar);
            _mm256_storeu_pd(r + j + k, br);
            _mm256_storeu_pd(r + j + 2 * k, cr);
            _mm256_storeu_pd(r + j + 3 * k, dr);
            _mm256_storeu_pd(i + j, ai);
            _mm256_storeu_pd(i + j + k, bi);
            _mm256_storeu_pd(i + j + 2 * k, ci);
            _mm256_storeu_pd(i + j + 3 * k, di);
        }
    }
}

// The first two stages (half-spans 1 and 2), whose blocks are shorter than a
// vector: four butterflies at a time, the lanes gathered from and returned
// to their blocks by permutations (which move values and round nothing).
__attribute__((target("avx"))) void avx_first_stages(int32_t n, double* xr, double* xi,
                                                     const double* stage_cos,
                                                     const double* stage_sin, int32_t first_k) {
    if (first_k <= 1) {
        // Blocks [a b]: lanes a0 a2 a1 a3 and b0 b2 b1 b3 of eight elements.
        const __m256d c = _mm256_set1_pd(stage_cos[1]);
        const __m256d w = _mm256_set1_pd(stage_sin[1]);
        for (int32_t q = 0; q < n; q += 8) {
            const __m256d r1 = _mm256_loadu_pd(xr + q), r2 = _mm256_loadu_pd(xr + q + 4);
            const __m256d i1 = _mm256_loadu_pd(xi + q), i2 = _mm256_loadu_pd(xi + q + 4);
            __m256d ar = _mm256_unpacklo_pd(r1, r2), br = _mm256_unpackhi_pd(r1, r2);
            __m256d ai = _mm256_unpacklo_pd(i1, i2), bi = _mm256_unpackhi_pd(i1, i2);
            butterfly4(c, w, ar, ai, br, bi);
            _mm256_storeu_pd(xr + q, _mm256_unpacklo_pd(ar, br));
            _mm256_storeu_pd(xr + q + 4, _mm256_unpackhi_pd(ar, br));
            _mm256_storeu_pd(xi + q, _mm256_unpacklo_pd(ai, bi));
            _mm256_storeu_pd(xi + q + 4, _mm256_unpackhi_pd(ai, bi));
        }
    }
    // Blocks [a0 a1 b0 b1]: lanes a0 a1 a0' a1' and b0 b1 b0' b1' of two blocks.
    const __m256d c = _mm256_setr_pd(stage_cos[2], stage_cos[3], stage_cos[2], stage_cos[3]);
    const double w0 = stage_sin[2], w1 = stage_sin[3];
    const __m256d w = _mm256_setr_pd(w0, w1, w0, w1);
    for (int32_t q = 0; q < n; q += 8) {
        const __m256d r1 = _mm256_loadu_pd(xr + q), r2 = _mm256_loadu_pd(xr + q + 4);
        const __m256d i1 = _mm256_loadu_pd(xi + q), i2 = _mm256_loadu_pd(xi + q + 4);
        __m256d ar = _mm256_permute2f128_pd(r1, r2, 0x20);
        __m256d br = _mm256_permute2f128_pd(r1, r2, 0x31);
        __m256d ai = _mm256_permute2f128_pd(i1, i2, 0x20);
        __m256d bi = _mm256_permute2f128_pd(i1, i2, 0x31);
        butterfly4(c, w, ar, ai, br, bi);
        _mm256_storeu_pd(xr + q, _mm256_permute2f128_pd(ar, br, 0x20));
        _mm256_storeu_pd(xr + q + 4, _mm256_permute2f128_pd(ar, br, 0x31));
        _mm256_storeu_pd(xi + q, _mm256_permute2f128_pd(ai, bi, 0x20));
        _mm256_storeu_pd(xi + q + 4, _mm256_permute2f128_pd(ai, bi, 0x31));
    }
}

// The same loops compiled for 256-bit vectors: each lane multiplies and adds
// with the rounding of the scalar code (no fused multiply-add). n >= 64.
__attribute__((target("avx"))) void stages_avx(int32_t n, double* xr, double* xi,
                                               const double* stage_cos, const double* stage_sin,
                                               int32_t first_k, int32_t keep) {
    if (first_k <= 2) {
        avx_first_stages(n, xr, xi, stage_cos, stage_sin, first_k);
        first_k = 4;
    }
    stages_body<true>(n, xr, xi, stage_cos, stage_sin, first_k, keep);
}

bool g_vectors_enabled = true;

bool have_avx() { return cpu_has_avx() && g_vectors_enabled; }
#endif

void run_stages(int32_t n, double* xr, double* xi, double sign, int32_t first_k, int32_t keep) {
    // The signed sines: sign * sin as the table of the direction (exact).
    const double* stage_sin = sign < 0 ? g_stage_nsin : g_stage_sin;
#if ORV_X86_VECTORS
    if (n >= 64 && have_avx()) {
        stages_avx(n, xr, xi, g_stage_cos, stage_sin, first_k, keep);
        return;
    }
#endif
    stages_plain(n, xr, xi, g_stage_cos, stage_sin, first_k, keep);
}

// Bit-reversal permutation in place (the tables of size n are present).
void bit_reverse(int32_t n, double* re, double* im) {
    const int32_t* revmap = g_revmap;
    for (int32_t i = 0; i < n; ++i) {
        const int32_t r = revmap[i];
        if (i < r) {
            const double tr = re[i];
            re[i] = re[r];
            re[r] = tr;
            const double ti = im[i];
            im[i] = im[r];
            im[r] = ti;
        }
    }
}

}  // namespace

namespace {

// The stages and (scaled) the inverse's scaling of fft_radix2 (tables of size n present).
void radix2_stages(int32_t n, double* re, double* im, int32_t direction, bool scaled) {
    const double sign = direction == 0 ? -1.0 : 1.0;
    run_stages(n, re, im, sign, 1, n);
    if (direction == 0 && scaled) {
        // Division by n = 2^b: multiplying by the exact 2^-b rounds to the same
        // double as the quotient, subnormal results included.
        const double inv = 1.0 / n;
        for (int32_t i = 0; i < n; ++i) {
            re[i] = re[i] * inv;
            im[i] = im[i] * inv;
        }
    }
}

}  // namespace

int32_t fft_radix2(int32_t n, double* re, double* im, int32_t direction) {
    if (n < 4 || n > kMaxRadix2Size || !is_power_of_two(n)) return 1;
    if (direction != 0 && direction != 1) return 2;
    if (ensure_tables(n) != 0) return -1;
    bit_reverse(n, re, im);
    radix2_stages(n, re, im, direction, true);
    return 0;
}

int32_t fft_radix2_reversed(int32_t n, double* re, double* im, int32_t direction, bool scaled) {
    if (n < 4 || n > kMaxRadix2Size || !is_power_of_two(n)) return 1;
    if (direction != 0 && direction != 1) return 2;
    if (ensure_tables(n) != 0) return -1;
    radix2_stages(n, re, im, direction, scaled);
    return 0;
}

namespace {

// The transform proper, with the state in place: n-point input re, im; M the
// inner size; chirp and kernel as cached; scratch of 4M doubles.
ORV_ALWAYS_INLINE void chirp_body(int32_t n, double* __restrict re, double* __restrict im,
                                  int32_t direction, int32_t M, const double* chirp,
                                  const double* kernel, double* scratch,
                                  const int32_t* __restrict revmap) {
    const double* __restrict chirp_cos = chirp;
    const double* __restrict chirp_sin = chirp + n;
    const double* __restrict k_re = kernel;
    const double* __restrict k_im = kernel + M;
    double* __restrict b_re = scratch;
    double* __restrict b_im = scratch + M;
    double* __restrict c_re = scratch + 2 * static_cast<size_t>(M);
    double* __restrict c_im = scratch + 3 * static_cast<size_t>(M);

    // The circular convolution of b (the input times the chirp, zero from n
    // on) with the kernel, whose transform is cached. It is the radix-2
    // arithmetic of the forward transform, the product and the inverse
    // transform, with three steps folded together where their result is
    // known exactly:
    // - Bit reversal and the first stage of the forward transform: the first
    //   stage pairs position 2t, holding b[r] with r = revmap[2t] < M/2, with
    //   position 2t + 1, holding b[r + M/2] = +0 (n <= M/2). Its twiddle is
    //   (1, +0), so the butterfly gives b[r] + (+0) and b[r] - (+0) = b[r].
    for (int32_t t = 0; t < M / 2; ++t) {
        const int32_t r = revmap[2 * t];
        double x = 0.0, y = 0.0;
        if (r < n) {
            x = re[r] * chirp_cos[r] - im[r] * chirp_sin[r];
            y = re[r] * chirp_sin[r] + im[r] * chirp_cos[r];
        }
        b_re[2 * t] = x + 0.0;
        b_im[2 * t] = y + 0.0;
        b_re[2 * t + 1] = x;
        b_im[2 * t + 1] = y;
    }
    run_stages(M, b_re, b_im, 1.0, 2, M);
    // - The product with the kernel's transform, stored in bit-reversed order
    //   for the inverse transform.
    for (int32_t i = 0; i < M; ++i) {
        const double r = b_re[i] * k_re[i] - b_im[i] * k_im[i];
        const double q = b_re[i] * k_im[i] + b_im[i] * k_re[i];
        b_re[i] = r;
        b_im[i] = q;
    }
    for (int32_t i = 0; i < M; ++i) {
        c_re[i] = b_re[revmap[i]];
        c_im[i] = b_im[revmap[i]];
    }
    // - The inverse transform, whose outputs from n on are not used.
    run_stages(M, c_re, c_im, -1.0, 1, n);

    // Its scaling by 1/M (exact, as in fft_radix2), the chirp, and for the
    // inverse transform the division by n, each rounded as a step of its own.
    const double inv = 1.0 / M;
    const double scale = n;
    for (int32_t m = 0; m < n; ++m) {
        const double x = c_re[m] * inv;
        const double y = c_im[m] * inv;
        const double out_re = x * chirp_cos[m] - y * chirp_sin[m];
        const double out_im = x * chirp_sin[m] + y * chirp_cos[m];
        re[m] = direction == 0 ? out_re / scale : out_re;
        im[m] = direction == 0 ? out_im / scale : out_im;
    }
}

void chirp_plain(int32_t n, double* re, double* im, int32_t direction, int32_t M,
                 const double* chirp, const double* kernel, double* scratch, const int32_t* revmap) {
    chirp_body(n, re, im, direction, M, chirp, kernel, scratch, revmap);
}

#if ORV_X86_VECTORS
__attribute__((target("avx"))) void chirp_avx(int32_t n, double* re, double* im,
                                              int32_t direction, int32_t M, const double* chirp,
                                              const double* kernel, double* scratch,
                                              const int32_t* revmap) {
    chirp_body(n, re, im, direction, M, chirp, kernel, scratch, revmap);
}
#endif

}  // namespace

int32_t fft_chirp_z(int32_t n, double* re, double* im, int32_t direction) {
    if (n < 4 || n > kMaxChirpSize) return 1;
    if (direction != 0 && direction != 1) return 2;
    const ChirpEntry* e = chirp_entry(n, direction);
    if (e == nullptr) return -1;  // re and im are untouched
    const int32_t M = e->M;
    if (ensure_scratch(M) != 0 || ensure_tables(M) != 0) return -1;
#if ORV_X86_VECTORS
    if (have_avx()) {
        chirp_avx(n, re, im, direction, M, e->chirp, e->kernel, g_scratch, g_revmap);
        return 0;
    }
#endif
    chirp_plain(n, re, im, direction, M, e->chirp, e->kernel, g_scratch, g_revmap);
    return 0;
}

int32_t fft_circular_convolve(int32_t m, double* re1, double* im1, double* re2, double* im2) {
    if (m <= 0) return 1;
    // The first transform builds the tables the other two reuse; a failure
    // there leaves every array untouched.
    const int32_t status = fft_radix2(m, re1, im1, 1);
    if (status != 0) return status;
    fft_radix2(m, re2, im2, 1);
    for (int32_t i = 0; i < m; ++i) {
        const double r = re1[i] * re2[i] - im1[i] * im2[i];
        const double q = re1[i] * im2[i] + im1[i] * re2[i];
        re1[i] = r;
        im1[i] = q;
    }
    fft_radix2(m, re1, im1, 0);
    return 0;
}

int32_t fft_prepare(int32_t n) {
    if (n < 4 || n > kMaxRadix2Size || !is_power_of_two(n)) return 1;
    return ensure_tables(n);
}

int32_t fft_release_tables() {
    release_chirp_state();
    free_radix2_tables();
    return 0;
}

int32_t fft_cached_size() { return g_cached_size; }

void fft_use_vectors(bool on) {
#if ORV_X86_VECTORS
    g_vectors_enabled = on;
#else
    (void)on;
#endif
}

int32_t fft_chirp_entries() {
    int32_t count = 0;
    for (const ChirpEntry& e : g_chirp) count += e.n != 0 ? 1 : 0;
    return count;
}

const double* fft_cached_sinmap() { return g_sinmap; }

const int32_t* fft_cached_revmap() { return g_revmap; }
