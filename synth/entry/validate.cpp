#include "validate.h"

#include <cmath>

#include "geometry.h"
#include "tx_filter.h"

namespace {

bool is_switch(int32_t v) { return v == 0 || v == 1; }

// True when lo <= v <= hi; false for NaN.
bool within(double v, double lo, double hi) { return v >= lo && v <= hi; }

// True when v <= hi and v is finite (so NaN and +-infinity fail).
bool finite_at_most(double v, double hi) { return std::isfinite(v) && v <= hi; }

}  // namespace

int32_t validate_params(const WaveParams* p, int32_t output_mode) {
    uint32_t mask = 0;
    const double fs = 20000000.0 * p->oversampling;
    const double freq_limit = (fs - 20000000.0) * 0.5;

    if (!is_switch(p->frame_format)) mask |= ORV_BAD_FRAME_FORMAT;
    if (!is_switch(p->burst_enable)) mask |= ORV_BAD_BURST_ENABLE;
    // A negative or NaN gap cannot be turned into a sample count.
    if (!within(p->burst_off_time, 0.0, 1.0)) mask |= ORV_BAD_BURST_OFF_TIME;
    if (p->rate_index < 0 || p->rate_index > 7) mask |= ORV_BAD_RATE_INDEX;
    if (p->ofdm_symbols < 0 || p->ofdm_symbols > 151) mask |= ORV_BAD_OFDM_SYMBOLS;
    if (p->pn_seed == 0) mask |= ORV_BAD_PN_SEED;
    if (p->data_pattern < 0 || p->data_pattern > 6) mask |= ORV_BAD_DATA_PATTERN;
    if (p->oversampling < 1 || p->oversampling > 10) mask |= ORV_BAD_OVERSAMPLING;
    if (!(p->window_tr <= 2e-6)) mask |= ORV_BAD_WINDOW_TR;
    if (!(p->filter_cutoff <= 1e8)) mask |= ORV_BAD_FILTER_CUTOFF;
    if (!within(p->filter_rolloff, 0.0, 1.0)) mask |= ORV_BAD_FILTER_ROLLOFF;
    if (p->reserved != 0) mask |= ORV_BAD_RESERVED;
    if (p->filter_taps < 1 || p->filter_taps > 1000) mask |= ORV_BAD_FILTER_TAPS;

    // When the filter stage runs, its design and its convolution must accept
    // the record: no waveform may claim a filter that was never applied.
    if (p->filter_cutoff > 1e-12) {
        if ((mask & ORV_BAD_OVERSAMPLING) == 0) {
            const int32_t P = samples_per_symbol(p->oversampling, p->filter_cutoff);
            if (P < 1 || P > 128) mask |= ORV_BAD_FILTER_CUTOFF;
        }
        if (p->filter_taps < 4 || p->filter_taps > 1000) mask |= ORV_BAD_FILTER_TAPS;
        if (!within(p->filter_rolloff, 0.01, 0.99)) mask |= ORV_BAD_FILTER_ROLLOFF;
        // The circular convolution takes at most 2T + 1 taps over T samples.
        // The window sets only the taper length, not T, so it is left out here.
        const uint32_t geometry_bits = ORV_BAD_BURST_ENABLE | ORV_BAD_BURST_OFF_TIME |
                                       ORV_BAD_OFDM_SYMBOLS | ORV_BAD_OVERSAMPLING;
        BurstGeometry g;
        if ((mask & geometry_bits) == 0 &&
            burst_geometry(p->frame_format, p->burst_enable, p->burst_off_time, 0.0,
                           p->ofdm_symbols, p->oversampling, &g) == 0 &&
            g.total >= 1 && p->filter_taps > 2 * static_cast<int64_t>(g.total) + 1)
            mask |= ORV_BAD_FILTER_TAPS;
    }

    if (!is_switch(p->iq_inverse)) mask |= ORV_BAD_IQ_INVERSE;
    if (!is_switch(p->freq_error_enable)) mask |= ORV_BAD_FREQ_ERROR_ENABLE;
    else if (p->freq_error_enable == 1 && !finite_at_most(p->freq_error, freq_limit))
        mask |= ORV_BAD_FREQ_ERROR;
    if (!is_switch(p->if_enable)) mask |= ORV_BAD_IF_ENABLE;
    else if (p->if_enable == 1 && !finite_at_most(p->if_freq, freq_limit)) mask |= ORV_BAD_IF_FREQ;
    if (!within(p->dc_offset_re, -100.0, 100.0)) mask |= ORV_BAD_DC_OFFSET_RE;
    if (!within(p->dc_offset_im, -100.0, 100.0)) mask |= ORV_BAD_DC_OFFSET_IM;
    if (!is_switch(p->noise_enable)) mask |= ORV_BAD_NOISE_ENABLE;
    else if (p->noise_enable == 1 && !within(p->noise_level, -100.0, 10.0))
        mask |= ORV_BAD_NOISE_LEVEL;
    if (!is_switch(p->sine_enable)) {
        mask |= ORV_BAD_SINE_ENABLE;
    } else if (p->sine_enable == 1) {
        if (!finite_at_most(p->sine_freq, freq_limit)) mask |= ORV_BAD_SINE_FREQ;
        if (!within(p->sine_level, -100.0, 10.0)) mask |= ORV_BAD_SINE_LEVEL;
    }
    if (output_mode != 0 && output_mode != 1) mask |= ORV_BAD_OUTPUT_MODE;

    if (mask != 0) mask |= ORV_INVALID;
    return static_cast<int32_t>(mask);
}
