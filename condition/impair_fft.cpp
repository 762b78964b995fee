// A radix-2 complex FFT with per-instance tables, for the impairment stages'
// long convolutions (they may run beside the packet builder's transforms).
#include <cmath>
#include <cstdlib>

#include "impair_chain.h"

namespace {
constexpr double kTwoPi = 6.28318530717958647692;
}

int32_t impair_fft_open(ImpairFft* f, int32_t n) {
    f->n = 0;
    f->cos_tab = f->sin_tab = f->stage_cos = f->stage_sin = nullptr;
    f->swap = nullptr;
    f->swaps = 0;
    if (n < 4 || n > (1 << 22) || (n & (n - 1)) != 0) return 1;
    // cos and sin of n/2 angles, then each stage's twiddles in a row of their own.
    double* tab = static_cast<double*>(std::malloc(3 * static_cast<size_t>(n) * sizeof(double)));
    int32_t* swap = static_cast<int32_t*>(std::malloc(static_cast<size_t>(n) * sizeof(int32_t)));
    if (tab == nullptr || swap == nullptr) {
        std::free(tab);
        std::free(swap);
        return -1;
    }
    f->swap = swap;
    for (int32_t k = 1, j = 0; k < n; ++k) {
        int32_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (k < j) {
            swap[2 * f->swaps] = k;
            swap[2 * f->swaps + 1] = j;
            ++f->swaps;
        }
    }
    f->n = n;
    f->cos_tab = tab;
    f->sin_tab = tab + n / 2;
    for (int32_t k = 0; k < n / 2; ++k) {
        const double a = kTwoPi * k / n;
        f->cos_tab[k] = std::cos(a);
        f->sin_tab[k] = std::sin(a);
    }
    // The stage of length len takes twiddle k (k < len/2) of the angle 2 pi k / len
    // at len/2 + k: the same values as cos_tab[k n / len].
    f->stage_cos = tab + n;
    f->stage_sin = tab + 2 * n;
    f->stage_cos[0] = f->stage_sin[0] = 0.0;
    for (int32_t len = 2; len <= n; len <<= 1) {
        const int32_t half = len >> 1, step = n / len;
        for (int32_t k = 0; k < half; ++k) {
            f->stage_cos[half + k] = f->cos_tab[k * step];
            f->stage_sin[half + k] = f->sin_tab[k * step];
        }
    }
    return 0;
}

void impair_fft_close(ImpairFft* f) {
    std::free(f->cos_tab);
    std::free(f->swap);
    f->swap = nullptr;
    f->cos_tab = f->sin_tab = f->stage_cos = f->stage_sin = nullptr;
    f->n = 0;
}

void impair_fft(const ImpairFft* f, double* re, double* im, bool inverse) {
    const int32_t n = f->n;
    for (int32_t s = 0; s < f->swaps; ++s) {
        const int32_t k = f->swap[2 * s], j = f->swap[2 * s + 1];
        const double tr = re[k], ti = im[k];
        re[k] = re[j];
        im[k] = im[j];
        re[j] = tr;
        im[j] = ti;
    }
    const double sign = inverse ? 1.0 : -1.0;
    // Length 2: the twiddle is 1 + 0j (the products kept, for the same sums).
    for (int32_t start = 0; start < n; start += 2) {
        const double wr = f->stage_cos[1], wi = sign * f->stage_sin[1];
        double* ar = re + start;
        double* ai = im + start;
        const double xr = ar[1] * wr - ai[1] * wi;
        const double xi = ar[1] * wi + ai[1] * wr;
        ar[1] = ar[0] - xr;
        ai[1] = ai[0] - xi;
        ar[0] += xr;
        ai[0] += xi;
    }
    // Longer stages: the twiddles of a stage in a row, the butterflies of a
    // group in a loop over contiguous samples (the same operations in the same
    // order as one butterfly at a time).
    for (int32_t len = 4; len <= n; len <<= 1) {
        const int32_t half = len >> 1;
        const double* wr_row = f->stage_cos + half;
        const double* ws_row = f->stage_sin + half;
        for (int32_t start = 0; start < n; start += len) {
            double* __restrict ar = re + start;
            double* __restrict ai = im + start;
            double* __restrict br = re + start + half;
            double* __restrict bi = im + start + half;
            for (int32_t k = 0; k < half; ++k) {
                const double wr = wr_row[k], wi = sign * ws_row[k];
                const double xr = br[k] * wr - bi[k] * wi;
                const double xi = br[k] * wi + bi[k] * wr;
                br[k] = ar[k] - xr;
                bi[k] = ai[k] - xi;
                ar[k] += xr;
                ai[k] += xi;
            }
        }
    }
    if (inverse) {
        const double scale = 1.0 / n;
        for (int32_t k = 0; k < n; ++k) {
            re[k] *= scale;
            im[k] *= scale;
        }
    }
}
