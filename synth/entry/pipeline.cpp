#include "pipeline.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "data_field.h"
#include "fft.h"
#include "impairments.h"
#include "measure.h"
#include "noise.h"
#include "platform_memory.h"
#include "preamble.h"
#include "rate.h"
#include "signal_field.h"
#include "status.h"
#include "tx_filter.h"

int32_t allocate_buffers(int32_t total, int32_t burst, bool with_work, SampleBuffers* b) {
    *b = SampleBuffers{};
    const size_t n = total > 0 ? static_cast<size_t>(total) : 0;
    const size_t head = burst > 0 ? static_cast<size_t>(burst) : 0;
    // One block: I in its first n elements, Q in the next n.
    bool zeroed = false;
    double* iq = static_cast<double*>(array_for_writing(2 * n, sizeof(double), &zeroed));
    if (iq == nullptr) return kStatusNoMemory;
    if (!zeroed && head < n) {
        std::memset(iq + head, 0, (n - head) * sizeof(double));
        std::memset(iq + n + head, 0, (n - head) * sizeof(double));
    }
    b->i = iq;
    b->q = iq + n;
    if (with_work) {
        b->work = static_cast<double*>(std::malloc(n > 0 ? n * sizeof(double) : 1));
        if (b->work == nullptr) {
            free_buffers(b);
            return kStatusNoMemory;
        }
    }
    return kStatusOk;
}

void free_buffers(SampleBuffers* b) {
    std::free(b->i);  // the block of I and Q
    std::free(b->work);
    *b = SampleBuffers{};
}

namespace {

// What one call holds, released on every way out of it (FFT tables included).
struct CallResources {
    SampleBuffers b{};
    PrefaultTask* prefault = nullptr;
    ~CallResources() {
        prefault_finish(prefault);
        free_buffers(&b);
        fft_release_tables();
    }
};

// Result of the call for a stage's status: kStatusNoMemory is exhausted
// memory; an argument check's refusal cannot follow validation but is
// reported as the field it concerns (refused).
int32_t stage_failure(int32_t status, uint32_t refused) {
    return status == kStatusNoMemory ? ORV_NO_MEMORY : static_cast<int32_t>(ORV_INVALID | refused);
}

bool filter_runs(const WaveParams& p) { return p.filter_cutoff > 1e-12; }

// Steps 2 and 3: the arrays, I and Q zero after the burst, the filter's work
// array when it runs, and the noise stage's pages mapped in meanwhile
// (unless its gap is drawn as the file is written).
int32_t prepare_arrays(const WaveParams& p, const BurstGeometry& g, bool stream_gap,
                       bool prefault, CallResources* r) {
    if (allocate_buffers(g.total, g.burst, filter_runs(p), &r->b) != kStatusOk)
        return ORV_NO_MEMORY;
    if (prefault && p.noise_enable == 1 && !stream_gap) {
        void* blocks[2] = {r->b.i, r->b.q};
        const size_t n = static_cast<size_t>(g.total);
        size_t bytes[2] = {n * sizeof(double), n * sizeof(double)};
        r->prefault = prefault_start(blocks, bytes, 2);
    }
    return 0;
}

// Steps 4 to 8: preamble and SIGNAL (full format), then the DATA symbols,
// into the destinations the IQ exchange picks. length: the SIGNAL's LENGTH.
// Returns 0 or the call's result for a failed stage.
int32_t synthesise(const WaveParams& p, const BurstGeometry& g, const SampleBuffers& b,
                   int32_t length) {
    double* dst_i = p.iq_inverse == 1 ? b.q : b.i;
    double* dst_q = p.iq_inverse == 1 ? b.i : b.q;
    const int32_t os = p.oversampling;
    const int32_t L = g.transition;
    int32_t pilot_state = 0xFFFF;
    int32_t status;
    if (p.frame_format == 0) {
        if ((status = build_short_training(dst_i, dst_q, L, os)) != 0 ||
            (status = build_long_training(dst_i + 160 * os, dst_q + 160 * os, L, os)) != 0 ||
            (status = build_signal_symbol(os, p.rate_index, length, &pilot_state, L,
                                          dst_i + g.preamble, dst_q + g.preamble)) != 0)
            return stage_failure(status, ORV_BAD_OVERSAMPLING);
    }
    const int32_t data_start = g.preamble + g.signal;
    status = build_data_field(os, p.pn_seed, p.data_pattern, p.ofdm_symbols, p.rate_index, L,
                              g.data, dst_i + data_start, dst_q + data_start, pilot_state);
    return status == 0 ? 0 : stage_failure(status, ORV_BAD_OVERSAMPLING);
}

// Steps 9 to 14 in fixed order; filter and noise span all T samples, the
// other stages the N burst samples. The noise stage stops at sample `stored`
// (the rest of its run is the writer's). Only the filter allocates; the other
// stages' argument checks refuse nothing but a burst too short to change,
// which leaves it as it is. Returns 0 or the call's result.
int32_t condition_samples(const WaveParams& p, const BurstGeometry& g, const SampleBuffers& b,
                          int32_t stored, bool threads, NoiseRun* noise) {
    // An empty record has nothing to filter; the filter would refuse its length.
    if (filter_runs(p) && g.total > 0) {
        const int32_t status = apply_tx_filter(g.total, b.i, b.q, p.filter_taps, p.oversampling,
                                               p.filter_cutoff, p.filter_rolloff, p.reserved, b.work);
        if (status != 0)
            return stage_failure(status, status == 2 ? ORV_BAD_FILTER_CUTOFF : ORV_BAD_FILTER_TAPS);
    }
    if (p.freq_error_enable == 1)
        shift_frequency(g.burst, b.i, b.q, p.freq_error, g.fs, -1, b.i, b.q);
    if (std::fabs(p.dc_offset_re) >= 1e-12 || std::fabs(p.dc_offset_im) >= 1e-12)
        add_dc_offset(static_cast<double>(g.burst), p.dc_offset_re, p.dc_offset_im, b.i, b.q);
    if (p.noise_enable == 1) {
        noise_begin(p.noise_level, threads, noise);
        noise_continue(noise, stored, b.i, b.q);
        if (stored == g.total) noise_end(noise);
    }
    if (p.sine_enable == 1) add_sine_interferer(g.burst, p.sine_level, p.sine_freq, g.fs, b.i, b.q);
    if (p.if_enable == 1) convert_to_if(g.burst, b.i, b.q, p.if_freq, g.fs, -1, b.i, b.q);
    return 0;
}

// The three figures and the scale of the N burst samples (step 15.1, 15.2).
struct BurstFigures {
    double crest_i = 0.0, crest_q = 0.0, papr = 0.0, peak = 0.0;
};
BurstFigures measure_burst(const BurstGeometry& g, const SampleBuffers& b) {
    BurstFigures m;
    double peak_i, peak_q;
    measure_crest_factors(g.burst, b.i, b.q, &m.crest_i, &m.crest_q, &m.papr);
    measure_peak(b.i, g.burst, &peak_i);
    measure_peak(b.q, g.burst, &peak_q);
    m.peak = peak_i > peak_q ? peak_i : peak_q;
    return m;
}

// The conditioned samples to the caller: whole (the arrays change hands) or
// block by block through take. Returns the call's result.
int32_t keep_samples(WaveParams* params, const CallOutput& out, const BurstGeometry& g,
                     SampleBuffers* b, const SampleSource& src, int32_t result) {
    ConditionedSamples* keep = out.keep;
    const BurstFigures m = measure_burst(g, *b);
    keep->crest_i = m.crest_i;
    keep->crest_q = m.crest_q;
    keep->papr = m.papr;
    keep->peak = m.peak;
    keep->geometry = g;
    params->papr = keep->papr;
    params->crest_i = keep->crest_i;
    params->crest_q = keep->crest_q;
    if (out.take != nullptr) {
        double peak2 = 0.0;
        for (int32_t k = 0; k < src.tail; ++k) {
            const double p = b->i[k] * b->i[k] + b->q[k] * b->q[k];
            if (p > peak2) peak2 = p;
        }
        keep->held_power_peak = peak2;
        keep->held = src.tail;
        const int32_t handed = hand_over_samples(&src, out.take, out.context);
        if (src.noise != nullptr) noise_end(src.noise);
        return handed == kStatusOk ? result : ORV_NO_MEMORY;
    }
    keep->i = b->i;
    keep->q = b->q;
    keep->block = b->i;  // I and Q share one block, I first
    b->i = b->q = nullptr;
    return result;
}

// Steps 15 to 17: measure, quantise and write the AWG file, or write the CSV
// file; the out fields are stored unless memory ran out before the file was
// begun. Returns the call's result.
int32_t write_output(WaveParams* params, const CallOutput& out, const BurstGeometry& g,
                     const SampleBuffers& b, const SampleSource& src, int32_t result) {
    int32_t written;
    BurstFigures m;
    if (out.mode == 0) {
        m = measure_burst(g, b);
        // Out-of-range samples are saturated (codes stay defined); the round-error
        // line on standard output, first for I and then for Q, is the only
        // report, as for the burst-off noise. The codes are made block by block
        // as the file is written.
        double outside_i, outside_q;
        RoundErrors found;
        const int32_t at_i = find_round_error(b.i, src.tail, m.peak, &outside_i);
        const int32_t at_q = find_round_error(b.q, src.tail, m.peak, &outside_q);
        written = write_awg_stream(out.path, &src, m.peak, m.crest_i, m.crest_q, m.papr, g.fs, &found);
        if (at_i >= 0) report_round_error(m.peak, outside_i);
        else if (found.i_at >= 0) report_round_error(m.peak, found.i_value);
        if (at_q >= 0) report_round_error(m.peak, outside_q);
        else if (found.q_at >= 0) report_round_error(m.peak, found.q_value);
    } else {
        written = write_csv_stream(out.path, &src);
    }
    if (src.noise != nullptr) noise_end(src.noise);
    if (written == kStatusNoMemory) return ORV_NO_MEMORY;  // before anything was created
    params->papr = m.papr;
    params->crest_i = m.crest_i;
    params->crest_q = m.crest_q;
    return written == kStatusOk ? result : ORV_WRITE_FAILED;
}

}  // namespace

int32_t finish_call(WaveParams* params, const CallOutput& out, const BurstGeometry& g, SampleBuffers* b,
                    int32_t result) {
    const SampleSource src{b->i, b->q, g.total, g.total, nullptr, true};
    if (out.keep != nullptr) return keep_samples(params, out, g, b, src, result);
    return write_output(params, out, g, *b, src, result);
}

int32_t generate(WaveParams* params, const CallOutput& out, const GenerateOptions& options) {
    const WaveParams& p = *params;
    BurstGeometry g;
    if (burst_geometry(p.frame_format, p.burst_enable, p.burst_off_time, p.window_tr,
                       p.ofdm_symbols, p.oversampling, &g) != kStatusOk)
        return ORV_NO_MEMORY;
    // The noise of the burst-off gap is drawn as the file is written, after
    // the burst's own: no stage after the noise touches the gap, so its
    // samples need not be stored (a long gap's pages are never mapped in).
    const bool stream_gap = (out.keep == nullptr || out.take != nullptr) && options.stream_gap &&
                            p.noise_enable == 1 && g.total > g.burst;
    CallResources r;
    int32_t status = prepare_arrays(p, g, stream_gap, options.prefault, &r);
    if (status != 0) return status;

    // 5. Rate lookup: its result (0 or 2) is the provisional result.
    int32_t mod_code, coding_rate, n_bpsc, n_cbps, n_dbps, length;
    const int32_t result = rate_parameters(p.rate_index, p.ofdm_symbols, &mod_code, &coding_rate,
                                           &n_bpsc, &n_cbps, &n_dbps, &length);
    fft_use_vectors(options.vectors);
    if ((status = synthesise(p, g, r.b, length)) != 0) return status;

    // From sample `stored` on, the output adds the rest of the noise stage.
    const int32_t stored = stream_gap ? g.burst : g.total;
    NoiseRun noise;
    if ((status = condition_samples(p, g, r.b, stored, options.threads, &noise)) != 0) return status;
    const SampleSource src{r.b.i, r.b.q, g.total, stored, stream_gap ? &noise : nullptr,
                           options.threads};
    if (out.keep != nullptr) return keep_samples(params, out, g, &r.b, src, result);
    return write_output(params, out, g, r.b, src, result);
}
