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
    f->cos_tab = f->sin_tab = nullptr;
    f->swap = nullptr;
    f->swaps = 0;
    if (n < 4 || n > (1 << 22) || (n & (n - 1)) != 0) return 1;
    double* tab = static_cast<double*>(std::malloc(static_cast<size_t>(n) * sizeof(double)));
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
    return 0;
}

void impair_fft_close(ImpairFft* f) {
    std::free(f->cos_tab);
    std::free(f->swap);
    f->swap = nullptr;
    f->cos_tab = f->sin_tab = nullptr;
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
    for (int32_t len = 2; len <= n; len <<= 1) {
        const int32_t half = len >> 1, step = n / len;
        for (int32_t start = 0; start < n; start += len) {
            for (int32_t k = 0; k < half; ++k) {
                const double wr = f->cos_tab[k * step], wi = sign * f->sin_tab[k * step];
                double* ar = re + start + k;
                double* ai = im + start + k;
                const double xr = ar[half] * wr - ai[half] * wi;
                const double xi = ar[half] * wi + ai[half] * wr;
                ar[half] = *ar - xr;
                ai[half] = *ai - xi;
                *ar += xr;
                *ai += xi;
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
