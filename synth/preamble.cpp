#include "preamble.h"

#include <cmath>
#include <cstring>

#include "fft.h"
#include "ofdm_symbol.h"

namespace {

// Tables in transform order: entry j < 32 is subcarrier j, entry j >= 32 is
// subcarrier j - 64.

// 17.3.3 short training sequence S without its factor sqrt(13/6):
// 1 + j on -24, -16, -4, 12, 16, 20, 24; -1 - j on -20, -12, -8, 4, 8.
// clang-format off
const double kShortRe[64] = {
     0,  0,  0,  0, -1,  0,  0,  0, -1,  0,  0,  0,  1,  0,  0,  0,
     1,  0,  0,  0,  1,  0,  0,  0,  1,  0,  0,  0,  0,  0,  0,  0,
     0,  0,  0,  0,  0,  0,  0,  0,  1,  0,  0,  0, -1,  0,  0,  0,
     1,  0,  0,  0, -1,  0,  0,  0, -1,  0,  0,  0,  1,  0,  0,  0,
};
const double kShortIm[64] = {
     0,  0,  0,  0, -1,  0,  0,  0, -1,  0,  0,  0,  1,  0,  0,  0,
     1,  0,  0,  0,  1,  0,  0,  0,  1,  0,  0,  0,  0,  0,  0,  0,
     0,  0,  0,  0,  0,  0,  0,  0,  1,  0,  0,  0, -1,  0,  0,  0,
     1,  0,  0,  0, -1,  0,  0,  0, -1,  0,  0,  0,  1,  0,  0,  0,
};
// clang-format on

// 17.3.3 long training sequence L (real, subcarrier 0 empty).
// clang-format off
const double kLongRe[64] = {
     0,  1, -1, -1,  1,  1, -1,  1, -1,  1, -1, -1, -1, -1, -1,  1,
     1, -1, -1,  1, -1,  1, -1,  1,  1,  1,  1,  0,  0,  0,  0,  0,
     0,  0,  0,  0,  0,  0,  1,  1, -1, -1,  1,  1, -1,  1, -1,  1,
     1,  1,  1,  1,  1, -1, -1,  1,  1, -1,  1, -1,  1,  1,  1,  1,
};
// clang-format on
const double kLongIm[64] = {};

// 13/6 is stored; the factor is its square root (equal power with the long field).
constexpr double kShortPower = 13.0 / 6.0;

// Puts the 64 table entries into an m-point transform buffer: entry j < 32 into
// bin j, entry 63 - j into bin m - 1 - j.
void place_table(const double* tab_re, const double* tab_im, int32_t m, double* buf_re,
                 double* buf_im) {
    for (int32_t j = 0; j < 32; ++j) {
        buf_re[j] = tab_re[j];
        buf_im[j] = tab_im[j];
        buf_re[m - 1 - j] = tab_re[63 - j];
        buf_im[m - 1 - j] = tab_im[63 - j];
    }
}

void copy_samples(const double* src, double* dst, int32_t count) {
    std::memmove(dst, src, static_cast<size_t>(count) * sizeof(double));
}

}  // namespace

int32_t build_short_training(double* dst_i, double* dst_q, int32_t L, int32_t os) {
    if (os < 1 || os > 128) return 1;
    const int32_t m = 64 * os;
    const int32_t period = 16 * os;
    const int32_t len = 160 * os;
    std::memset(dst_i, 0, static_cast<size_t>(m) * sizeof(double));
    std::memset(dst_q, 0, static_cast<size_t>(m) * sizeof(double));

    double re[64], im[64];
    const double factor = std::sqrt(kShortPower);
    for (int32_t j = 0; j < 64; ++j) {
        re[j] = kShortRe[j] * factor;
        im[j] = kShortIm[j] * factor;
    }
    place_table(re, im, m, dst_i, dst_q);
    if (fft(m, dst_i, dst_q, 0) != 0) return -1;  // out of memory

    // Only every fourth subcarrier is used, so the output repeats every 0.8 us:
    // ten copies of the first period make the field.
    for (int32_t r = 1; r < 10; ++r) {
        copy_samples(dst_i, dst_i + period * r, period);
        copy_samples(dst_q, dst_q + period * r, period);
    }
    if (L != 0) {
        apply_edge_window(len, L, dst_i, dst_i);
        apply_edge_window(len, L, dst_q, dst_q);
    }
    return 0;
}

int32_t build_long_training(double* dst_i, double* dst_q, int32_t L, int32_t os) {
    if (os < 1 || os > 128) return 1;
    const int32_t m = 64 * os;
    const int32_t len = 160 * os;
    std::memset(dst_i, 0, static_cast<size_t>(len) * sizeof(double));
    std::memset(dst_q, 0, static_cast<size_t>(len) * sizeof(double));

    // First long symbol at 32 * os, second at 96 * os, guard interval 0..32 * os.
    double* sym_i = dst_i + 32 * os;
    double* sym_q = dst_q + 32 * os;
    place_table(kLongRe, kLongIm, m, sym_i, sym_q);
    if (fft(m, sym_i, sym_q, 0) != 0) return -1;  // out of memory
    copy_samples(sym_i, dst_i + 96 * os, m);
    copy_samples(sym_q, dst_q + 96 * os, m);
    copy_samples(dst_i + 128 * os, dst_i, 32 * os);
    copy_samples(dst_q + 128 * os, dst_q, 32 * os);
    if (L != 0) {
        apply_edge_window(len, L, dst_i, dst_i);
        apply_edge_window(len, L, dst_q, dst_q);
    }
    return 0;
}
