#include "ppdu.h"

#include <cmath>
#include <cstring>

#include "cpu_features.h"
#include "ofdm_symbol.h"
#include "preamble.h"
#include "signal_field.h"

namespace {

constexpr double kHalfPi = 1.57079632679489661923;

// Ramp samples before a field: window weights sin^2(pi/2 (0.5 + n/L)) for
// n = -L/2 .. -1 that are not zero (for even L the first one is).
int32_t lead_samples(int32_t L) {
    const int32_t h = L < 2 ? 0 : L / 2;
    return (h > 0 && L % 2 == 0) ? h - 1 : h;
}

// The samples of an OFDM symbol of len = 80 os samples whose useful part
// x[0..m-1] lies at out[g..g+m-1] (m = 64 os, g = 16 os), turned in place into
// what overlay_field adds (fresh) of the symbol with its guard interval
// (tail_from g, head_to m): sample j of the symbol is x[j - g] for j >= g and
// x[j - g + m] below, that is out[j] or out[j + m], each times f (the
// transform's scaling left to here, or 1). Each step reads its samples
// before a later step changes them.
ORV_ALWAYS_INLINE void symbol_body(int32_t os, int32_t L, const double* ramp, double f,
                                   double* out) {
    const int32_t h = L < 2 ? 0 : L / 2;
    const int32_t m = 64 * os, g = 16 * os, len = 80 * os;
    for (int32_t n = -lead_samples(L); n < h; ++n) out[n] += ramp[n + h] * (out[m + n] * f);
    for (int32_t n = h; n < g; ++n) out[n] = 0.0 + out[n + m] * f;
    for (int32_t j = 0; j < h; ++j) out[len + j] = 0.0 + ramp[h - j] * (out[g + j] * f);
    for (int32_t j = -h; j < 0; ++j) out[len + j] = 0.0 + ramp[h - j] * (out[len + j] * f);
    for (int32_t n = g; n < len - h; ++n) out[n] = 0.0 + out[n] * f;
}

#if ORV_X86_VECTORS
// The same loops compiled for 256-bit vectors (no fused multiply-add: the same roundings).
__attribute__((target("avx"))) void symbol_avx(int32_t os, int32_t L, const double* ramp, double f,
                                               double* out) {
    symbol_body(os, L, ramp, f, out);
}
#endif

// symbol_body, on 256-bit vectors where the processor has them.
void symbol_in_place(int32_t os, int32_t L, const double* ramp, double f, double* out) {
#if ORV_X86_VECTORS
    if (cpu_has_avx()) {
        symbol_avx(os, L, ramp, f, out);
        return;
    }
#endif
    symbol_body(os, L, ramp, f, out);
}

// overlay_field (fresh) of build_ofdm_symbol_values' symbol without a window,
// made where it lands: out is the symbol's sample 0. Returns as ofdm_useful_part.
int32_t overlay_symbol(int32_t os, int32_t L, const double* ramp, const uint8_t* values,
                       int32_t mod_code, int32_t* pilot_state, double* out_i, double* out_q) {
    const int32_t g = 16 * os;
    double f;
    const int32_t status =
        ofdm_useful_part(os, values, mod_code, pilot_state, out_i + g, out_q + g, &f);
    if (status != 0) return status;
    symbol_in_place(os, L, ramp, f, out_i);
    symbol_in_place(os, L, ramp, f, out_q);
    return 0;
}

}  // namespace

int32_t ppdu_layout(const FrameRate* rate, int32_t length, int32_t os, int32_t L, PpduLayout* out) {
    if (rate->n_dbps <= 0 || length < 1 || length > 4095 || os < 1 || os > 128 || L < 0 ||
        L > 16 * os)
        return 1;
    out->n_sym = frame_data_symbols(length, rate->n_dbps);
    out->core = (400 + 80 * out->n_sym) * os;
    out->lead = lead_samples(L);
    out->span = out->lead + out->core + (L < 2 ? 0 : L / 2);
    return 0;
}

int32_t ppdu_scratch_size(int32_t os) { return 2 * 160 * os + 16 * os + 1; }

void transition_ramp(int32_t L, double* ramp) {
    const int32_t h = L < 2 ? 0 : L / 2;
    for (int32_t j = 0; j <= 2 * h; ++j) {
        const double s = std::sin(kHalfPi * (0.5 + static_cast<double>(j - h) / L));
        ramp[j] = s * s;
    }
}

void overlay_field(const double* seg_i, const double* seg_q, int32_t len, int32_t tail_from,
                   int32_t head_to, int32_t L, const double* ramp, double* out_i,
                   double* out_q, bool fresh) {
    const int32_t h = L < 2 ? 0 : L / 2;
    // Rising edge: sample n in -h..h-1 weighs ramp[n + h]; the samples
    // before the first nonzero weight are not the field's to touch.
    for (int32_t n = -lead_samples(L); n < h; ++n) {
        const double xi = n < 0 ? seg_i[head_to + n] : seg_i[n];
        const double xq = n < 0 ? seg_q[head_to + n] : seg_q[n];
        out_i[n] += ramp[n + h] * xi;
        out_q[n] += ramp[n + h] * xq;
    }
    if (fresh) {
        for (int32_t n = h; n < len - h; ++n) {
            out_i[n] = 0.0 + seg_i[n];
            out_q[n] = 0.0 + seg_q[n];
        }
    } else {
        for (int32_t n = h; n < len - h; ++n) {
            out_i[n] += seg_i[n];
            out_q[n] += seg_q[n];
        }
    }
    // Falling edge: sample len + m, m in -h..h-1, weighs ramp[h - m].
    for (int32_t m = -h; m < h; ++m) {
        const int32_t n = len + m;
        const double xi = m < 0 ? seg_i[n] : seg_i[tail_from + m];
        const double xq = m < 0 ? seg_q[n] : seg_q[tail_from + m];
        out_i[n] = (fresh ? 0.0 : out_i[n]) + ramp[h - m] * xi;
        out_q[n] = (fresh ? 0.0 : out_q[n]) + ramp[h - m] * xq;
    }
}

int32_t build_ppdu(int32_t os, int32_t L, const FrameRate* rate, const uint8_t* psdu,
                   int32_t length, int32_t scrambler_init, double* scratch, double* out_i,
                   double* out_q, uint8_t* values, bool have_values) {
    PpduLayout lay;
    if (ppdu_layout(rate, length, os, L, &lay) != 0) return 1;
    // Each field sets the samples from its rising edge's end on and adds its
    // rising edge to the previous field's falling one: only the first field's
    // rising edge lands on samples nothing wrote.
    const size_t first_edge = static_cast<size_t>(lay.lead + (L < 2 ? 0 : L / 2));
    std::memset(out_i, 0, first_edge * sizeof(double));
    std::memset(out_q, 0, first_edge * sizeof(double));
    double* seg_i = scratch;
    double* seg_q = scratch + 160 * os;
    double* ramp = scratch + 320 * os;
    transition_ramp(L, ramp);
    double* at_i = out_i + lay.lead;
    double* at_q = out_q + lay.lead;

    // Short training: period 16 * os on both sides. Long training: the
    // double guard interval continues backwards from 128 * os, the symbols
    // forwards from 32 * os.
    int32_t status = build_short_training(seg_i, seg_q, 0, os);
    if (status != 0) return status;
    overlay_field(seg_i, seg_q, 160 * os, 0, 160 * os, L, ramp, at_i, at_q, true);
    status = build_long_training(seg_i, seg_q, 0, os);
    if (status != 0) return status;
    overlay_field(seg_i, seg_q, 160 * os, 32 * os, 128 * os, L, ramp, at_i + 160 * os,
                  at_q + 160 * os, true);

    // OFDM symbols continue before the guard interval with the end of the
    // useful part, after the symbol with its start (x[n mod 64 os]).
    int32_t pilot_state = 0xFFFF;
    status = build_signal_symbol(os, rate->rate_index, length, &pilot_state, 0, seg_i, seg_q);
    if (status != 0) return status;
    overlay_field(seg_i, seg_q, 80 * os, 16 * os, 64 * os, L, ramp, at_i + 320 * os, at_q + 320 * os,
                  true);

    DataCoder coder;
    if (!have_values) data_coder_start(&coder, rate, psdu, length, scrambler_init);
    uint8_t own[48];
    for (int32_t k = 0; k < lay.n_sym; ++k) {
        uint8_t* symbol = values != nullptr ? values + 48 * static_cast<size_t>(k) : own;
        if (!have_values) data_code_values(&coder, symbol);
        const int32_t at = (400 + 80 * k) * os;
        status = overlay_symbol(os, L, ramp, symbol, rate->mod_code, &pilot_state, at_i + at,
                                at_q + at);
        if (status != 0) return status;
    }
    return 0;
}
