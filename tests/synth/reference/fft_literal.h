// The FFT exactly as its algorithm is written, step by step and without any
// reordering: the library's faster loop order must give the same bytes.
// Tables are rebuilt on every call (the library caches them).
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace literal {

inline void radix2(int32_t n, double* re, double* im, int32_t direction) {
    const double s = direction == 0 ? -1.0 : 1.0;
    std::vector<double> sinmap(n + n / 4);
    std::vector<int32_t> revmap(n);
    // Tables: first octant by the recurrence, the rest by symmetry.
    const double t = std::sin(std::numbers::pi / n);
    double dc = 2.0 * t * t;
    double ds = std::sqrt(dc * (2.0 - dc));
    const double t2 = 2.0 * dc;
    double c = sinmap[n / 4] = 1.0;
    double sn = sinmap[0] = 0.0;
    for (int32_t i = 1; i < n / 8; ++i) {
        c = c - dc;
        dc = dc + t2 * c;
        sn = sn + ds;
        ds = ds - t2 * sn;
        sinmap[i] = sn;
        sinmap[n / 4 - i] = c;
    }
    if (n / 8 != 0) sinmap[n / 8] = std::sqrt(0.5);
    for (int32_t i = 0; i < n / 4; ++i) sinmap[n / 2 - i] = sinmap[i];
    for (int32_t i = 0; i < n / 2 + n / 4; ++i) sinmap[n / 2 + i] = -sinmap[i];
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
    // Bit-reversed order.
    for (int32_t i = 0; i < n; ++i) {
        const int32_t r = revmap[i];
        if (i < r) {
            std::swap(re[i], re[r]);
            std::swap(im[i], im[r]);
        }
    }
    // Butterflies: j outer, i inner, as written.
    for (int32_t k = 1; k < n; k *= 2) {
        const int32_t h = 2 * k, d = n / h;
        int32_t p = 0;
        for (int32_t jj = 0; jj < k; ++jj) {
            const double cc = sinmap[p + n / 4];
            const double w = s * sinmap[p];
            for (int32_t i = jj; i < n; i += h) {
                const int32_t m = i + k;
                const double tr = cc * re[m] + w * im[m];
                const double ti = cc * im[m] - w * re[m];
                re[m] = re[i] - tr;
                re[i] = re[i] + tr;
                im[m] = im[i] - ti;
                im[i] = im[i] + ti;
            }
            p = p + d;
        }
    }
    if (direction == 0)
        for (int32_t i = 0; i < n; ++i) {
            re[i] = re[i] / n;
            im[i] = im[i] / n;
        }
}

inline void circular_convolve(int32_t m, double* re1, double* im1, double* re2, double* im2) {
    radix2(m, re1, im1, 1);
    radix2(m, re2, im2, 1);
    for (int32_t i = 0; i < m; ++i) {
        const double r = re1[i] * re2[i] - im1[i] * im2[i];
        const double q = re1[i] * im2[i] + im1[i] * re2[i];
        re1[i] = r;
        im1[i] = q;
    }
    radix2(m, re1, im1, 0);
}

inline void chirp_z(int32_t n, double* re, double* im, int32_t direction) {
    const double phi = direction == 0 ? std::numbers::pi : -std::numbers::pi;
    int32_t M = 1;
    while (M < 2 * n) M *= 2;
    std::vector<double> cs(n), sn(n), ar(M, 0.0), ai(M, 0.0), br(M, 0.0), bi(M, 0.0);
    for (int32_t m = 0; m < n; ++m) {
        const double theta = (phi / n) * m * m;
        cs[m] = std::cos(theta);
        sn[m] = std::sin(theta);
        ar[m] = cs[m];
        ai[m] = -sn[m];
    }
    for (int32_t i = M - n + 1; i < M; ++i) {
        ar[i] = ar[M - i];
        ai[i] = ai[M - i];
    }
    for (int32_t m = 0; m < n; ++m) {
        br[m] = re[m] * cs[m] - im[m] * sn[m];
        bi[m] = re[m] * sn[m] + im[m] * cs[m];
    }
    circular_convolve(M, br.data(), bi.data(), ar.data(), ai.data());
    for (int32_t m = 0; m < n; ++m) {
        re[m] = br[m] * cs[m] - bi[m] * sn[m];
        im[m] = br[m] * sn[m] + bi[m] * cs[m];
    }
    if (direction == 0)
        for (int32_t m = 0; m < n; ++m) {
            re[m] = re[m] / n;
            im[m] = im[m] / n;
        }
}

inline void transform(int32_t n, double* re, double* im, int32_t direction) {
    if ((n & (n - 1)) == 0)
        radix2(n, re, im, direction);
    else
        chirp_z(n, re, im, direction);
}

}  // namespace literal
