#include "burst_impaired.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "impair_chain.h"
#include "impairments.h"
#include "noise.h"
#include "sequence_impaired.h"
#include "validate.h"

namespace {

// Samples handed to a stage at a time (the phase and noise streams' blocks).
constexpr int32_t kChunk = 16384;

// Every sample array of the chain: I and Q in one block (I first), as the
// pipeline's buffers, so the result can go out through finish_call.
struct ChainArrays {
    double* i = nullptr;
    double* q = nullptr;
    int32_t total = 0;  // T: samples
    int32_t burst = 0;  // N: the burst's samples among them
};

// The sequence settings the impairments are checked against: the burst's
// oversampling at 20 MHz and its frequency error.
OrvSequenceParams check_settings(const WaveParams* p) {
    OrvSequenceParams s{};
    s.size = sizeof(OrvSequenceParams);
    s.oversampling = p->oversampling;
    s.channel_mhz = 20;
    s.freq_error_enable = p->freq_error_enable;
    s.freq_error = p->freq_error;
    return s;
}

// Mean power of the first n samples.
double mean_power(const ChainArrays& a, int32_t n) {
    double sum = 0.0;
    for (int32_t k = 0; k < n; ++k) sum += a.i[k] * a.i[k] + a.q[k] * a.q[k];
    return n > 0 ? sum / n : 0.0;
}

// Amplifier (Rapp, then clipping) and IQ imbalance over all samples; the
// levels from the burst's RMS at the amplifier's input.
void transmitter_stages(const OrvImpairments* m, ChainArrays* a) {
    const double rms = std::sqrt(mean_power(*a, a->burst));
    if (m->pa_enable == 1) {
        const double a_sat = rms * std::pow(10.0, m->pa_backoff_db / 20.0);
        if (a_sat > 0.0) rapp_amplify(a->total, a_sat, m->pa_smoothness, a->i, a->q);
    }
    if (m->clip_enable == 1)
        clip_envelope(a->total, rms * std::pow(10.0, m->clip_papr_db / 20.0), a->i, a->q);
    if (m->iq_gain_db != 0.0 || m->iq_phase_deg != 0.0) {
        IqImbalance iqm;
        iq_imbalance_setup(m->iq_gain_db, m->iq_phase_deg, &iqm);
        iq_imbalance_apply(&iqm, a->total, a->i, a->q);
    }
}

// Phase noise (the profile, or the default shape at its RMS) and the carrier
// offset of freq_hz over all samples. Returns 0 or -1 out of memory.
int32_t rotate_stage(const OrvImpairments* m, double freq_hz, double fs, ChainArrays* a) {
    const bool pn = m->phase_noise_count > 0 || m->phase_noise_rms_deg > 0.0;
    if (!pn && freq_hz == 0.0) return 0;
    PhaseNoise process;
    double* phase = nullptr;
    if (pn) {
        double f[3], l[3];
        const bool own = m->phase_noise_count > 0;
        if (!own) phase_noise_default_profile(m->phase_noise_rms_deg, f, l);
        if (phase_noise_open(&process, own ? m->phase_noise_offsets_hz : f, own ? m->phase_noise_dbc_hz : l,
                             own ? m->phase_noise_count : 3, fs, m->seed) != 0)
            return -1;
        phase = static_cast<double*>(std::malloc(kChunk * sizeof(double)));
        if (phase == nullptr) {
            phase_noise_close(&process);
            return -1;
        }
    }
    for (int32_t at = 0; at < a->total; at += kChunk) {
        const int32_t n = a->total - at < kChunk ? a->total - at : kChunk;
        if (pn) phase_noise_next(&process, n, phase);
        rotate_with_phase(n, at, freq_hz, fs, phase, a->i + at, a->q + at);
    }
    if (pn) {
        std::free(phase);
        phase_noise_close(&process);
    }
    return 0;
}

// The sample clock: new arrays of the resampled length in place of a's; the
// burst's length on the new clock. Returns 0 or -1 out of memory (a unchanged).
int32_t clock_stage(double ppm, int32_t os, ChainArrays* a) {
    const int64_t out_total = resampled_length(ppm, a->total);
    if (out_total > INT32_MAX / 2) return -1;
    Resampler r;
    if (resampler_open(&r, ppm, resampler_taps(os)) != 0) return -1;
    // The input with the zeros before sample 0 and after the last that the interpolator reaches.
    const int64_t base = resampler_first_input(&r, 0);
    const int64_t last = resampler_first_input(&r, out_total > 0 ? out_total - 1 : 0) + r.taps - 1;
    const int64_t end = last + 1 > a->total ? last + 1 : a->total;
    const size_t span = static_cast<size_t>(end - base);
    double* x = static_cast<double*>(std::calloc(2 * span, sizeof(double)));
    double* y = static_cast<double*>(std::malloc(2 * static_cast<size_t>(out_total > 0 ? out_total : 1) *
                                                 sizeof(double)));
    if (x == nullptr || y == nullptr) {
        std::free(x);
        std::free(y);
        resampler_close(&r);
        return -1;
    }
    const size_t head = static_cast<size_t>(-base);
    std::memcpy(x + head, a->i, static_cast<size_t>(a->total) * sizeof(double));
    std::memcpy(x + span + head, a->q, static_cast<size_t>(a->total) * sizeof(double));
    const int32_t n = static_cast<int32_t>(out_total);
    resampler_run(&r, 0, n, base, x, x + span, y, y + n);
    std::free(x);
    resampler_close(&r);
    std::free(a->i);  // the block of I and Q
    a->i = y;
    a->q = y + n;
    const int64_t burst = resampled_length(ppm, a->burst);
    a->burst = static_cast<int32_t>(burst < n ? burst : n);
    a->total = n;
    return 0;
}

// The multipath channel (Rayleigh taps of the profile, or the explicit taps;
// one realisation) over all samples, tap 0 at delay 0. Returns 0 or -1.
int32_t channel_stage(const OrvImpairments* m, double fs, ChainArrays* a) {
    const double ts_ns = 1e9 / fs;
    double* h = static_cast<double*>(std::malloc(2 * kMultipathMaxTaps * sizeof(double)));
    if (h == nullptr) return -1;
    Multipath ch;
    int32_t status = -1;
    if (m->multipath_rms_ns > 0.0) {
        const int32_t taps = exponential_profile(m->multipath_rms_ns, ts_ns, h);
        const auto open = m->multipath_per_packet == 1 ? multipath_open_single : multipath_open;
        if (taps > 0) status = open(&ch, h, nullptr, nullptr, taps, m->seed);
    } else {
        const int32_t taps = explicit_taps_response(m->tap_delay_ns, m->tap_gain_db, m->tap_phase_deg, m->tap_count,
                                                    ts_ns, h, h + kMultipathMaxTaps, kMultipathMaxTaps);
        if (taps > 0) status = multipath_open(&ch, nullptr, h, h + kMultipathMaxTaps, taps, m->seed);
    }
    std::free(h);
    if (status != 0) return -1;
    const size_t hop = static_cast<size_t>(ch.hop);
    double* x = static_cast<double*>(std::malloc(2 * hop * sizeof(double)));
    int32_t* span = static_cast<int32_t*>(std::calloc(hop, sizeof(int32_t)));
    if (x == nullptr || span == nullptr) {
        std::free(x);
        std::free(span);
        multipath_close(&ch);
        return -1;
    }
    for (int32_t at = 0; at < a->total; at += ch.hop) {
        const int32_t n = a->total - at < ch.hop ? a->total - at : ch.hop;
        std::memset(x, 0, 2 * hop * sizeof(double));
        std::memcpy(x, a->i + at, static_cast<size_t>(n) * sizeof(double));
        std::memcpy(x + hop, a->q + at, static_cast<size_t>(n) * sizeof(double));
        multipath_step(&ch, x, x + hop, span, x, x + hop);
        std::memcpy(a->i + at, x, static_cast<size_t>(n) * sizeof(double));
        std::memcpy(a->q + at, x + hop, static_cast<size_t>(n) * sizeof(double));
    }
    std::free(x);
    std::free(span);
    multipath_close(&ch);
    return 0;
}

// The chain from the amplifier to the SNR's noise on the filtered burst.
// Returns 0 or -1 out of memory.
int32_t impair_burst(const WaveParams* p, const OrvImpairments* m, double fs, ChainArrays* a) {
    transmitter_stages(m, a);
    if (std::fabs(p->dc_offset_re) >= 1e-12 || std::fabs(p->dc_offset_im) >= 1e-12)
        add_dc_offset(static_cast<double>(a->burst), p->dc_offset_re, p->dc_offset_im, a->i, a->q);
    const double power = mean_power(*a, a->burst);
    const double cfo = m->cfo_ppm != 0.0 ? m->cfo_ppm * 1e-6 * m->carrier_ghz * 1e9 : 0.0;
    const double freq = (p->freq_error_enable == 1 ? p->freq_error : 0.0) + cfo;
    if (rotate_stage(m, freq, fs, a) != 0) return -1;
    if (m->clock_ppm != 0.0 && clock_stage(m->clock_ppm, p->oversampling, a) != 0) return -1;
    if ((m->multipath_rms_ns > 0.0 || m->tap_count > 0) && channel_stage(m, fs, a) != 0) return -1;
    if (m->snr_enable == 1) {
        const double sigma2 = power / std::pow(10.0, m->snr_db / 10.0) * p->oversampling;
        ImpairRng g;
        impair_rng_seed(&g, m->seed, kStreamNoise, 0);
        for (int32_t at = 0; at < a->total; at += kChunk) {
            const int32_t n = a->total - at < kChunk ? a->total - at : kChunk;
            add_complex_noise(&g, n, sigma2, a->i + at, a->q + at);
        }
    }
    return 0;
}

// The stages of orv_11a_actual after the channel: absolute noise over all
// samples, the sine interferer and the IF conversion over the burst's.
void receiver_side(const WaveParams* p, double fs, ChainArrays* a) {
    if (p->noise_enable == 1) {
        NoiseRun run;
        noise_begin(p->noise_level, true, &run);
        noise_continue(&run, a->total, a->i, a->q);
        noise_end(&run);
    }
    if (p->sine_enable == 1) add_sine_interferer(a->burst, p->sine_level, p->sine_freq, fs, a->i, a->q);
    if (p->if_enable == 1) convert_to_if(a->burst, a->i, a->q, p->if_freq, fs, -1, a->i, a->q);
}

// The call under the lock: the filtered burst, the chain, the output.
int32_t run_locked(WaveParams* p, const OrvImpairments* m, const CallOutput& out, uint32_t* refused) {
    const int32_t mask = validate_params(p, out.keep != nullptr ? 1 : out.mode);
    if (mask != 0) return mask;
    const OrvSequenceParams settings = check_settings(p);
    const uint32_t bad = validate_impairments(&settings, m);
    if (bad != 0) {
        if (refused != nullptr) *refused = bad;
        return static_cast<int32_t>(ORV_INVALID | bad);
    }
    if (out.keep == nullptr && out.path == nullptr) return ORV_WRITE_FAILED;
    // The burst through the transmit filter alone: the stages after it are the chain's.
    WaveParams base = *p;
    base.freq_error_enable = 0;
    base.dc_offset_re = base.dc_offset_im = 0.0;
    base.noise_enable = base.sine_enable = base.if_enable = 0;
    ConditionedSamples filtered;
    const int32_t result = generate(&base, CallOutput{1, nullptr, &filtered, nullptr, nullptr}, GenerateOptions{});
    if (result != ORV_OK && result != ORV_LENGTH_OVERFLOW) return result;
    BurstGeometry g = filtered.geometry;
    ChainArrays a{filtered.i, filtered.q, g.total, g.burst};
    if (impair_burst(p, m, g.fs, &a) != 0) {
        std::free(a.i);
        return ORV_NO_MEMORY;
    }
    receiver_side(p, g.fs, &a);
    g.total = a.total;
    g.burst = a.burst;
    SampleBuffers b{a.i, a.q, nullptr};
    const int32_t rc = finish_call(p, out, g, &b, result);
    free_buffers(&b);
    return rc;
}

}  // namespace

int32_t orv_11a_burst_impaired(WaveParams* p, const OrvImpairments* m, const CallOutput& out,
                               uint32_t* refused) {
    if (refused != nullptr) *refused = 0;
    if (p == nullptr) return static_cast<int32_t>(ORV_INVALID);
    if (out.keep != nullptr) *out.keep = ConditionedSamples{};
    OrvImpairments none{};
    none.size = sizeof(OrvImpairments);
    try {
        std::lock_guard<std::mutex> hold(library_call_lock());
        return run_locked(p, m != nullptr ? m : &none, out, refused);
    } catch (...) {
        if (out.keep != nullptr) free_conditioned(out.keep);
        return ORV_NO_MEMORY;
    }
}
