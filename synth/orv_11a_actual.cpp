#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "data_field.h"
#include "fft.h"
#include "impairments.h"
#include "measure.h"
#include "noise.h"
#include "orvasynth.h"
#include "pipeline.h"
#include "platform_memory.h"
#include "preamble.h"
#include "rate.h"
#include "signal_field.h"
#include "tx_filter.h"
#include "validate.h"
#include "writers.h"

int32_t burst_geometry(int32_t frame_format, int32_t burst_enable, double burst_off_time,
                       double window_tr, int32_t ofdm_symbols, int32_t os, BurstGeometry* g) {
    const int64_t os64 = os;
    g->fs = 20000000.0 * os;
    const int64_t P = frame_format == 0 ? 320 * os64 : 0;
    const int64_t S = frame_format == 0 ? 80 * os64 : 0;
    const int64_t D = 80 * static_cast<int64_t>(ofdm_symbols) * os64;
    const int64_t N = P + S + D;
    if (os < 1 || ofdm_symbols < 0 || N > INT32_MAX) return 1;
    double total = static_cast<double>(N);
    if (burst_enable == 1) {
        total = static_cast<double>(N) + burst_off_time * g->fs;
        if (!(total >= 0.0 && total < 2147483647.0)) return 1;
    }
    double transition = 0.0;
    if (window_tr > 1e-12) {
        transition = window_tr * g->fs;
        if (!(transition < 2147483647.0)) return 1;
    }
    g->preamble = static_cast<int32_t>(P);
    g->signal = static_cast<int32_t>(S);
    g->data = static_cast<int32_t>(D);
    g->burst = static_cast<int32_t>(N);
    g->total = static_cast<int32_t>(total);  // truncation toward zero
    g->transition = static_cast<int32_t>(transition);
    return 0;
}

int32_t allocate_buffers(int32_t total, int32_t burst, bool with_work, SampleBuffers* b) {
    *b = SampleBuffers{};
    const size_t n = total > 0 ? static_cast<size_t>(total) : 0;
    const size_t head = burst > 0 ? static_cast<size_t>(burst) : 0;
    // One block: I in its first n elements, Q in the next n.
    bool zeroed = false;
    double* iq = static_cast<double*>(array_for_writing(2 * n, sizeof(double), &zeroed));
    if (iq == nullptr) return 1;
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
            return 1;
        }
    }
    return 0;
}

void free_buffers(SampleBuffers* b) {
    std::free(b->i);  // the block of I and Q
    std::free(b->work);
    *b = SampleBuffers{};
}

namespace {

bool g_stream_gap = true;

// Serialises calls: the FFT's table cache, the noise generator's shuffle table
// and the writers' temporary names are process-wide.
std::mutex g_call_lock;

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

// Result of the call for a synthesis stage's status: -1 is exhausted memory;
// 1 (oversampling refused) cannot follow validation but is reported as such.
int32_t synthesis_failure(int32_t status) {
    return status == -1 ? ORV_NO_MEMORY
                        : static_cast<int32_t>(ORV_INVALID | ORV_BAD_OVERSAMPLING);
}

// The pipeline of one validated call; every stage's failure ends it with
// nothing written and the out fields unchanged. keep: when not null, the
// conditioned samples go there instead of into a file.
int32_t generate(WaveParams* params, int32_t output_mode, const char* path,
                 ConditionedSamples* keep = nullptr, SampleBlockFn take = nullptr,
                 void* context = nullptr) {
    const WaveParams& p = *params;

    // 2, 3. Geometry and the arrays: I and Q zero after the burst, the
    // filter's work array when it runs.
    BurstGeometry g;
    if (burst_geometry(p.frame_format, p.burst_enable, p.burst_off_time, p.window_tr,
                       p.ofdm_symbols, p.oversampling, &g) != 0)
        return ORV_NO_MEMORY;
    CallResources r;
    SampleBuffers& b = r.b;
    if (allocate_buffers(g.total, g.burst, p.filter_cutoff > 1e-12, &b) != 0) return ORV_NO_MEMORY;

    // The noise of the burst-off gap is drawn as the file is written, after
    // the burst's own: no stage after the noise touches the gap, so its
    // samples need not be stored (a long gap's pages are never mapped in).
    const bool stream_gap = (keep == nullptr || take != nullptr) && g_stream_gap &&
                            p.noise_enable == 1 && g.total > g.burst;
    // Pages that the noise stage (gap of I and Q) will write are mapped in on
    // another core meanwhile; no sample is touched.
    if (p.noise_enable == 1 && !stream_gap) {
        void* blocks[2] = {b.i, b.q};
        const size_t n = static_cast<size_t>(g.total);
        size_t bytes[2] = {n * sizeof(double), n * sizeof(double)};
        r.prefault = prefault_start(blocks, bytes, 2);
    }

    // 4. IQ exchange: synthesis writes its in-phase part into Q when iq_inverse is 1.
    double* dst_i = p.iq_inverse == 1 ? b.q : b.i;
    double* dst_q = p.iq_inverse == 1 ? b.i : b.q;

    // 5. Rate lookup: its result (0 or 2) is the provisional result.
    int32_t mod_code, coding_rate, n_bpsc, n_cbps, n_dbps, length;
    int32_t result = rate_parameters(p.rate_index, p.ofdm_symbols, &mod_code, &coding_rate,
                                     &n_bpsc, &n_cbps, &n_dbps, &length);

    // 6-8. Synthesis: preamble and SIGNAL (full format), then the DATA symbols.
    const int32_t os = p.oversampling;
    const int32_t L = g.transition;
    int32_t pilot_state = 0xFFFF;
    int32_t status;
    if (p.frame_format == 0) {
        if ((status = build_short_training(dst_i, dst_q, L, os)) != 0 ||
            (status = build_long_training(dst_i + 160 * os, dst_q + 160 * os, L, os)) != 0 ||
            (status = build_signal_symbol(os, p.rate_index, length, &pilot_state, L,
                                          dst_i + g.preamble, dst_q + g.preamble)) != 0)
            return synthesis_failure(status);
    }
    const int32_t data_start = g.preamble + g.signal;
    status = build_data_field(os, p.pn_seed, p.data_pattern, p.ofdm_symbols, p.rate_index, L,
                              g.data, dst_i + data_start, dst_q + data_start, pilot_state);
    if (status != 0) return synthesis_failure(status);

    // 9-14. Conditioning in fixed order; filter and noise span all T samples,
    // the other stages the N burst samples. Only the filter allocates; the
    // other stages' argument checks refuse nothing but a burst too short to
    // change, which leaves it as it is.
    if (p.filter_cutoff > 1e-12) {
        status = apply_tx_filter(g.total, b.i, b.q, p.filter_taps, os, p.filter_cutoff,
                                 p.filter_rolloff, p.reserved, b.work);
        if (status == 1) return ORV_NO_MEMORY;
        // Validation admits no record whose filter is then refused.
        if (status == 2) return static_cast<int32_t>(ORV_INVALID | ORV_BAD_FILTER_CUTOFF);
        if (status != 0) return static_cast<int32_t>(ORV_INVALID | ORV_BAD_FILTER_TAPS);
    }
    if (p.freq_error_enable == 1)
        shift_frequency(g.burst, b.i, b.q, p.freq_error, g.fs, -1, b.i, b.q);
    if (std::fabs(p.dc_offset_re) >= 1e-12 || std::fabs(p.dc_offset_im) >= 1e-12)
        add_dc_offset(static_cast<double>(g.burst), p.dc_offset_re, p.dc_offset_im, b.i, b.q);
    // From sample `stored` on, the output adds the rest of the noise stage.
    const int32_t stored = stream_gap ? g.burst : g.total;
    NoiseRun noise;
    if (p.noise_enable == 1) {
        noise_begin(p.noise_level, &noise);
        noise_continue(&noise, stored, b.i, b.q);
        if (!stream_gap) noise_end(&noise);
    }
    const SampleSource src{b.i, b.q, g.total, stored, stream_gap ? &noise : nullptr};
    if (p.sine_enable == 1) add_sine_interferer(g.burst, p.sine_level, p.sine_freq, g.fs, b.i, b.q);
    if (p.if_enable == 1) convert_to_if(g.burst, b.i, b.q, p.if_freq, g.fs, -1, b.i, b.q);

    if (keep != nullptr) {
        double peak_i, peak_q;
        measure_crest_factors(g.burst, b.i, b.q, &keep->crest_i, &keep->crest_q, &keep->papr);
        measure_peak(b.i, g.burst, &peak_i);
        measure_peak(b.q, g.burst, &peak_q);
        keep->peak = peak_i > peak_q ? peak_i : peak_q;
        keep->geometry = g;
        params->papr = keep->papr;
        params->crest_i = keep->crest_i;
        params->crest_q = keep->crest_q;
        if (take != nullptr) {
            const int32_t handed = hand_over_samples(&src, take, context);
            if (stream_gap) noise_end(&noise);
            return handed == 0 ? result : ORV_NO_MEMORY;
        }
        keep->i = b.i;
        keep->q = b.q;
        keep->block = b.i;  // I and Q share one block, I first
        b.i = b.q = nullptr;
        return result;
    }

    // 15-17. Measure, quantise and write the AWG file, or write the CSV file.
    int32_t written;
    double crest_i = 0.0, crest_q = 0.0, papr = 0.0;
    if (output_mode == 0) {
        double peak_i, peak_q;
        measure_crest_factors(g.burst, b.i, b.q, &crest_i, &crest_q, &papr);
        measure_peak(b.i, g.burst, &peak_i);
        measure_peak(b.q, g.burst, &peak_q);
        const double scale = peak_i > peak_q ? peak_i : peak_q;
        // Out-of-range samples are saturated (codes stay defined); the round-error
        // line on standard output, first for I and then for Q, is the only
        // report, as for the burst-off noise. The codes are made block by block
        // as the file is written.
        double outside_i, outside_q;
        RoundErrors found;
        const int32_t at_i = find_round_error(b.i, stored, scale, &outside_i);
        const int32_t at_q = find_round_error(b.q, stored, scale, &outside_q);
        written = write_awg_stream(path, &src, scale, crest_i, crest_q, papr, g.fs, &found);
        if (at_i >= 0) report_round_error(scale, outside_i);
        else if (found.i_at >= 0) report_round_error(scale, found.i_value);
        if (at_q >= 0) report_round_error(scale, outside_q);
        else if (found.q_at >= 0) report_round_error(scale, found.q_value);
    } else {
        written = write_csv_stream(path, &src);
    }
    if (stream_gap) noise_end(&noise);
    if (written == 2) return ORV_NO_MEMORY;  // before anything was created
    params->papr = papr;
    params->crest_i = crest_i;
    params->crest_q = crest_q;
    if (written != 0) result = ORV_WRITE_FAILED;
    return result;
}

}  // namespace

void pipeline_enable_gap_stream(bool on) { g_stream_gap = on; }

std::mutex& library_call_lock() { return g_call_lock; }

int32_t orv_11a_conditioned(WaveParams* params, ConditionedSamples* out) {
    *out = ConditionedSamples{};
    if (params == nullptr) return static_cast<int32_t>(ORV_INVALID);
    try {
        std::lock_guard<std::mutex> hold(g_call_lock);
        const int32_t mask = validate_params(params, 1);
        if (mask != 0) return mask;
        return generate(params, 1, nullptr, out);
    } catch (...) {
        free_conditioned(out);
        return ORV_NO_MEMORY;
    }
}

int32_t orv_11a_conditioned_blocks(WaveParams* params, ConditionedSamples* out,
                                   SampleBlockFn take, void* context) {
    *out = ConditionedSamples{};
    if (params == nullptr || take == nullptr) return static_cast<int32_t>(ORV_INVALID);
    try {
        std::lock_guard<std::mutex> hold(g_call_lock);
        const int32_t mask = validate_params(params, 1);
        if (mask != 0) return mask;
        return generate(params, 1, nullptr, out, take, context);
    } catch (...) {
        return ORV_NO_MEMORY;
    }
}

void free_conditioned(ConditionedSamples* c) {
    std::free(c->block);
    c->i = c->q = nullptr;
    c->block = nullptr;
}

extern "C" ORV_API int32_t ORV_CALL orv_11a_actual(WaveParams* params, int32_t output_mode,
                                                   const char* path) {
    if (params == nullptr) return static_cast<int32_t>(ORV_INVALID);  // no record to check
    // No exception may reach the caller; the stages throw none, and memory
    // that runs out where the standard library allocates is reported as such.
    try {
        std::lock_guard<std::mutex> hold(g_call_lock);
        // 1. Validation: nothing is allocated or written for a bad record.
        const int32_t mask = validate_params(params, output_mode);
        if (mask != 0) return mask;
        if (path == nullptr) return ORV_WRITE_FAILED;
        return generate(params, output_mode, path);
    } catch (...) {
        return ORV_NO_MEMORY;
    }
}
