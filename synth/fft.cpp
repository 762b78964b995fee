#include "fft.h"

#include <cmath>
#include <cstdlib>
#include <numbers>

namespace {

constexpr int32_t kMaxChirpSize = 2097152;   // 2^21
constexpr int32_t kMaxRadix2Size = 4194304;  // 2^22

// Process-wide table cache of the radix-2 transform (unguarded: calls must not overlap).
double* g_sinmap = nullptr;   // n + n/4 entries, sinmap[k] = sin(2 pi k / n)
int32_t* g_revmap = nullptr;  // n entries, bit-reversal permutation
int32_t g_cached_size = 0;

bool is_power_of_two(int32_t n) { return n > 0 && (n & (n - 1)) == 0; }

// Sine table from a trigonometric recurrence seeded with sin(pi/n): the first
// octant is iterated, the rest of the period and a quarter follows by symmetry.
void build_sinmap(int32_t n, double* sinmap) {
    const int32_t n8 = n / 8, n4 = n / 4, n2 = n / 2;
    const double t = std::sin(std::numbers::pi / n);
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
    g_cached_size = 0;
}

// Makes the cache hold the tables of size n; returns 0, or -1 with the cache empty.
int32_t ensure_tables(int32_t n) {
    if (n == g_cached_size) return 0;
    free_radix2_tables();
    const size_t count = static_cast<size_t>(n);
    g_sinmap = static_cast<double*>(std::malloc((count + count / 4) * sizeof(double)));
    g_revmap = static_cast<int32_t*>(std::malloc(count * sizeof(int32_t)));
    if (g_sinmap == nullptr || g_revmap == nullptr) {
        free_radix2_tables();
        return -1;
    }
    build_sinmap(n, g_sinmap);
    build_revmap(n, g_revmap);
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
double* g_scratch = nullptr;  // 2 * g_scratch_size doubles
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

// Makes the scratch block hold at least 2M doubles; 0, or -1 (scratch freed).
int32_t ensure_scratch(int32_t M) {
    if (g_scratch_size >= M) return 0;
    std::free(g_scratch);
    g_scratch = static_cast<double*>(std::malloc(2 * static_cast<size_t>(M) * sizeof(double)));
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
        chirp_cos[m] = std::cos(theta);
        chirp_sin[m] = std::sin(theta);
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

int32_t fft_radix2(int32_t n, double* re, double* im, int32_t direction) {
    if (n < 4 || n > kMaxRadix2Size || !is_power_of_two(n)) return 1;
    if (direction != 0 && direction != 1) return 2;
    const double sign = direction == 0 ? -1.0 : 1.0;
    if (ensure_tables(n) != 0) return -1;
    const double* sinmap = g_sinmap;
    const int32_t* revmap = g_revmap;
    const int32_t n4 = n / 4;

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

    // Decimation in time: butterflies of half-span k with twiddle
    // e^(-+j 2 pi p / n), p = j n / (2k). The butterflies of one stage are
    // independent, so they run block by block (each block of 2k elements in
    // turn) for locality; each one's arithmetic is the same in any order.
    double* __restrict xr = re;
    double* __restrict xi = im;
    for (int32_t k = 1; k < n; k *= 2) {
        const int32_t h = 2 * k;
        const int32_t d = n / h;
        for (int32_t base = 0; base < n; base += h) {
            double* __restrict ar = xr + base;
            double* __restrict ai = xi + base;
            double* __restrict br = xr + base + k;
            double* __restrict bi = xi + base + k;
            for (int32_t j = 0; j < k; ++j) {
                const int32_t p = j * d;
                const double c = sinmap[p + n4];
                const double w = sign * sinmap[p];
                const double tr = c * br[j] + w * bi[j];
                const double ti = c * bi[j] - w * br[j];
                br[j] = ar[j] - tr;
                ar[j] = ar[j] + tr;
                bi[j] = ai[j] - ti;
                ai[j] = ai[j] + ti;
            }
        }
    }

    if (direction == 0) {
        // Division by n = 2^b: multiplying by the exact 2^-b rounds to the same
        // double as the quotient, subnormal results included.
        const double inv = 1.0 / n;
        for (int32_t i = 0; i < n; ++i) {
            xr[i] = xr[i] * inv;
            xi[i] = xi[i] * inv;
        }
    }
    return 0;
}

int32_t fft_chirp_z(int32_t n, double* re, double* im, int32_t direction) {
    if (n < 4 || n > kMaxChirpSize) return 1;
    if (direction != 0 && direction != 1) return 2;
    const ChirpEntry* e = chirp_entry(n, direction);
    if (e == nullptr) return -1;  // re and im are untouched
    const int32_t M = e->M;
    if (ensure_scratch(M) != 0) return -1;
    const double* chirp_cos = e->chirp;
    const double* chirp_sin = e->chirp + n;
    const double* k_re = e->kernel;
    const double* k_im = e->kernel + M;
    double* b_re = g_scratch;
    double* b_im = g_scratch + M;

    for (int32_t m = 0; m < n; ++m) {
        b_re[m] = re[m] * chirp_cos[m] - im[m] * chirp_sin[m];
        b_im[m] = re[m] * chirp_sin[m] + im[m] * chirp_cos[m];
    }
    for (int32_t i = n; i < M; ++i) {
        b_re[i] = 0.0;
        b_im[i] = 0.0;
    }

    // The circular convolution with the kernel, whose transform is cached
    // (the tables of size M were built with it and are still present).
    if (fft_radix2(M, b_re, b_im, 1) != 0) return -1;  // tables rebuilt: out of memory
    for (int32_t i = 0; i < M; ++i) {
        const double r = b_re[i] * k_re[i] - b_im[i] * k_im[i];
        const double q = b_re[i] * k_im[i] + b_im[i] * k_re[i];
        b_re[i] = r;
        b_im[i] = q;
    }
    fft_radix2(M, b_re, b_im, 0);

    for (int32_t m = 0; m < n; ++m) {
        re[m] = b_re[m] * chirp_cos[m] - b_im[m] * chirp_sin[m];
        im[m] = b_re[m] * chirp_sin[m] + b_im[m] * chirp_cos[m];
    }
    if (direction == 0) {
        const double scale = n;
        for (int32_t m = 0; m < n; ++m) {
            re[m] = re[m] / scale;
            im[m] = im[m] / scale;
        }
    }
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

int32_t fft_release_tables() {
    release_chirp_state();
    free_radix2_tables();
    return 0;
}

int32_t fft_cached_size() { return g_cached_size; }

int32_t fft_chirp_entries() {
    int32_t count = 0;
    for (const ChirpEntry& e : g_chirp) count += e.n != 0 ? 1 : 0;
    return count;
}

const double* fft_cached_sinmap() { return g_sinmap; }

const int32_t* fft_cached_revmap() { return g_revmap; }
