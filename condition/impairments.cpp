#include "impairments.h"
#include "platform_math.h"

#include <cmath>
#include <numbers>

namespace {

constexpr double kPi = std::numbers::pi;

// Argument checks shared by the two oscillator stages.
int32_t check_oscillator(int32_t count, double fs, int32_t direction) {
    if (count < 6 || count > 1048576) return 1;
    if (!(fs > 0.0) || fs > 200000000.0) return 2;
    if (direction != 1 && direction != -1) return 3;
    return 0;
}

}  // namespace

int32_t shift_frequency(int32_t count, double* i, double* q, double freq_hz, double fs,
                        int32_t direction, double* out_i, double* out_q) {
    const int32_t check = check_oscillator(count, fs, direction);
    if (check != 0) return check;
    const double phi = 2.0 * kPi * freq_hz / fs;
    const double cos_phi = orv_cos(phi);
    const double sin_phi = orv_sin(phi);
    const double dir = direction;
    // The phasor is carried by rotation, one step per sample, from (1, 0).
    double c = 1.0, s = 0.0;
    out_i[0] = i[0];
    out_q[0] = q[0];
    for (int32_t k = 1; k < count; ++k) {
        const double c_next = cos_phi * c - sin_phi * s;
        const double s_next = cos_phi * s + sin_phi * c;
        c = c_next;
        s = s_next;
        const double w = dir * s;
        const double x = i[k], y = q[k];
        out_i[k] = c * x + w * y;
        out_q[k] = -w * x + c * y;
    }
    return 0;
}

int32_t convert_to_if(int32_t count, double* i, double* q, double freq_hz, double fs,
                      int32_t direction, double* out_i, double* out_q) {
    const int32_t check = check_oscillator(count, fs, direction);
    if (check != 0) return check;
    const double phi = 2.0 * kPi * freq_hz / fs;
    const double cos_phi = orv_cos(phi);
    const double sin_phi = orv_sin(phi);
    const double dir = direction;
    double c = 1.0, s = 0.0;
    for (int32_t k = 0; k < count; ++k) {
        if (k > 0) {
            const double c_next = cos_phi * c - sin_phi * s;
            const double s_next = cos_phi * s + sin_phi * c;
            c = c_next;
            s = s_next;
        }
        const double w = dir * s;
        out_i[k] = c * i[k] + w * q[k];
        out_q[k] = 0.0;
    }
    return 0;
}

int32_t add_dc_offset(double count, double re_pct, double im_pct, double* i, double* q) {
    double peak = 0.0;
    for (int64_t k = 0; k < count; ++k) {
        const double m = std::sqrt(i[k] * i[k] + q[k] * q[k]);
        if (m > peak) peak = m;
    }
    const double d_i = re_pct * 0.01 * peak;
    const double d_q = im_pct * 0.01 * peak;
    for (int64_t k = 0; k < count; ++k) {
        i[k] += d_i;
        q[k] += d_q;
    }
    return 0;
}

int32_t add_sine_interferer(int32_t count, double level_db, double freq_hz, double fs, double* i,
                            double* q) {
    const double amplitude = orv_pow10(level_db / 20.0);
    const double w0 = 2.0 * kPi * freq_hz / fs;
    for (int32_t k = 0; k < count; ++k) {
        // Evaluated from the sample index each time: no phase drift over the burst.
        const double arg = w0 * k;
        i[k] += amplitude * orv_cos(arg);
        q[k] += amplitude * orv_sin(arg);
    }
    return 0;
}
