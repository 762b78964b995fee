#include "sequence_impaired.h"

#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "cpu_features.h"
#include "frame_coding.h"
#include "platform_memory.h"
#include "ppdu.h"

// Blocks of the first stages made ahead of the sample clock, the channel and the noise.
constexpr int32_t kStageBlocks = 6;
// A helper thread that found the ring full waits until at most this many blocks are made
// and not taken (a wake-up per few blocks, not per block).
constexpr int32_t kStageRefill = kStageBlocks / 2;
// The chain waits for this many blocks ahead when the ring ran dry.
constexpr int32_t kStageBatch = 1;
// The helper thread runs the resampler on the blocks it makes while at least this many wait for the chain
// (fewer kept the chain's thread waiting on the helper: 1000 packets at 54 Mbit/s, oversampling 8, all stages:
// the chain pass about 15 % faster than with 2).
constexpr int32_t kStageAhead = 4;
// Outputs the chain's thread resamples at a time (handed on while they are in the cache).
constexpr int32_t kChainRun = 2048;

// The first stages' output (the amplifier, the IQ stage, the DC offset, the
// phase noise and the carrier) in blocks, block b in slot b % kStageBlocks:
// with the sample clock the inputs of its output block b (kSequenceBlock
// outputs from b kSequenceBlock on: inputs base[slot] on, the ones it shares
// with block b - 1 copied from that block's slot), else the samples
// b kSequenceBlock on. Made ahead by a helper thread when there is one, else
// on demand; the same blocks either way. The resampler runs on the helper
// thread when it is ahead of the chain (the chain is the slower), else on
// the chain's thread when it takes the block: the same outputs either way.
struct FirstStageRing {
    std::mutex lock;
    std::condition_variable changed;
    std::thread thread;
    bool running = false;  // the helper thread is started
    bool stop = false;
    bool ended = false;        // the helper thread has left (a block failed, or stopped)
    bool maker_waits = false;  // the helper thread waits for free slots
    bool taker_waits = false;  // the chain waits for blocks
    int32_t cap = 0;               // samples a slot holds
    double* i[kStageBlocks] = {};  // cap samples each (one allocation from i[0])
    double* q[kStageBlocks] = {};
    int64_t base[kStageBlocks] = {};  // with the sample clock: the slot's first input sample
    int32_t status[kStageBlocks] = {};
    double* out_i[kStageBlocks] = {};  // with the sample clock: the block's outputs (kSequenceBlock each)
    double* out_q[kStageBlocks] = {};
    bool resampled[kStageBlocks] = {};  // out_i and out_q hold them
    int64_t made = 0;   // blocks made
    int64_t taken = 0;  // blocks the chain is done with
    int32_t at = 0;     // the chain's next sample in block `taken`
    int32_t upto = 0;   // outputs of block `taken` the chain's thread has resampled
};

namespace {

constexpr double kTwoPi = 6.28318530717958647692;

bool is_switch(int32_t v) { return v == 0 || v == 1; }
// True when lo <= v <= hi; false for NaN.
bool within(double v, double lo, double hi) { return v >= lo && v <= hi; }

double channel_scale(int32_t channel_mhz) {
    return channel_mhz == 20 ? 1.0 : channel_mhz == 10 ? 0.5 : channel_mhz == 5 ? 0.25 : 1.0;
}

double sampling_rate(const OrvSequenceParams* p) {
    const int32_t os = p->oversampling >= 1 && p->oversampling <= 10 ? p->oversampling : 1;
    return 20000000.0 * os * channel_scale(p->channel_mhz);
}

double carrier_offset_hz(const OrvSequenceParams* p, const OrvImpairments* m) {
    const double cfo = m->cfo_ppm != 0.0 ? m->cfo_ppm * 1e-6 * m->carrier_ghz * 1e9 : 0.0;
    return (p->freq_error_enable == 1 ? p->freq_error : 0.0) + cfo;
}

bool phase_noise_on(const OrvImpairments* m) {
    return m->phase_noise_count > 0 || m->phase_noise_rms_deg > 0.0;
}

uint32_t phase_noise_mask(const OrvImpairments* m) {
    if (m->phase_noise_count == 0) return within(m->phase_noise_rms_deg, 0.0, 60.0) ? 0 : ORV_IMP_BAD_PHASE_NOISE;
    if (m->phase_noise_rms_deg != 0.0) return ORV_IMP_BAD_PHASE_NOISE;
    return phase_noise_profile_check(m->phase_noise_offsets_hz, m->phase_noise_dbc_hz,
                                     m->phase_noise_count) == -1
               ? 0
               : ORV_IMP_BAD_PHASE_NOISE;
}

uint32_t multipath_mask(const OrvImpairments* m) {
    if (!is_switch(m->multipath_per_packet) || m->reserved != 0) return ORV_IMP_BAD_MULTIPATH;
    if (!(m->multipath_rms_ns == 0.0 || within(m->multipath_rms_ns, 1.0, 2000.0)))
        return ORV_IMP_BAD_MULTIPATH;
    if (m->tap_count == 0) return 0;
    if (m->tap_count < 0 || m->tap_count > 1024 || m->multipath_rms_ns != 0.0 ||
        m->tap_delay_ns == nullptr || m->tap_gain_db == nullptr)
        return ORV_IMP_BAD_MULTIPATH;
    for (int32_t k = 0; k < m->tap_count; ++k) {
        if (!within(m->tap_delay_ns[k], 0.0, 10000.0) || !within(m->tap_gain_db[k], -200.0, 40.0))
            return ORV_IMP_BAD_MULTIPATH;
        if (m->tap_phase_deg != nullptr && !within(m->tap_phase_deg[k], -360.0, 360.0))
            return ORV_IMP_BAD_MULTIPATH;
    }
    return 0;
}

// Idle samples after a packet, truncated toward zero (as the sequence's layout).
int64_t idle_samples(double idle_time, double fs) { return static_cast<int64_t>(idle_time * fs); }

// Adds n samples from sequence sample `at` on to the sums (packet samples only
// for power and sum), a run of samples inside or outside a packet at a time;
// every sum in order of sample, whatever the blocks.
void add_sums(const ImpairedRun* c, int64_t at, int32_t n, const double* i, const double* q,
              ImpairedSums* s) {
    double peak2 = s->peak2;
    int32_t cursor = s->cursor;
    for (int32_t k = 0; k < n;) {
        const int64_t g = at + k;
        while (cursor < c->count && g >= c->ppdu_end[cursor]) ++cursor;
        const bool inside = cursor < c->count && g >= c->ppdu_begin[cursor];
        const int64_t until = cursor >= c->count ? at + n : inside ? c->ppdu_end[cursor] : c->ppdu_begin[cursor];
        const int32_t end = until - at < n ? static_cast<int32_t>(until - at) : n;
        if (inside) {
            double power = s->power, sum_i = s->sum_i, sum_q = s->sum_q;
            for (int32_t j = k; j < end; ++j) {
                const double p2 = i[j] * i[j] + q[j] * q[j];
                if (p2 > peak2) peak2 = p2;
                power += p2;
                sum_i += i[j];
                sum_q += q[j];
            }
            s->power = power, s->sum_i = sum_i, s->sum_q = sum_q;
            s->samples += end - k;
        } else {
            for (int32_t j = k; j < end; ++j) {
                const double p2 = i[j] * i[j] + q[j] * q[j];
                if (p2 > peak2) peak2 = p2;
            }
        }
        k = end;
    }
    s->peak2 = peak2;
    s->cursor = cursor;
}

// add_sums' power and packet samples alone (the chain pass's sums: without a
// DC offset the SNR needs nothing else), in the same order of sample.
void add_power(const ImpairedRun* c, int64_t at, int32_t n, const double* i, const double* q,
               ImpairedSums* s) {
    int32_t cursor = s->cursor;
    for (int32_t k = 0; k < n;) {
        const int64_t g = at + k;
        while (cursor < c->count && g >= c->ppdu_end[cursor]) ++cursor;
        if (cursor >= c->count) break;
        const bool inside = g >= c->ppdu_begin[cursor];
        const int64_t until = inside ? c->ppdu_end[cursor] : c->ppdu_begin[cursor];
        const int32_t end = until - at < n ? static_cast<int32_t>(until - at) : n;
        if (inside) {
            double power = s->power;
            for (int32_t j = k; j < end; ++j) power += i[j] * i[j] + q[j] * q[j];
            s->power = power;
            s->samples += end - k;
        }
        k = end;
    }
    s->cursor = cursor;
}

// The amplifier's stages on n samples.
void amplifier(const ImpairedRun* c, int32_t n, double* i, double* q) {
    if (c->pa) rapp_amplify(n, c->a_sat, c->m->pa_smoothness, i, q);
    if (c->clip) clip_envelope(n, c->clip_level, i, q);
}

// A pass over the unimpaired sequence's samples (the filter's output, every
// PPDU builder thread at work), through the amplifier and the IQ stage when
// with_pa. Returns 0 or -1 out of memory.
int32_t measure_pass(ImpairedRun* c, bool with_pa, ImpairedSums* s, double* i, double* q) {
    *s = ImpairedSums{};
    c->src->wide_build = true;
    sequence_rewind(c->src);
    for (int64_t at = 0; at < c->total_in;) {
        const int64_t left = c->total_in - at;
        const int32_t n = left < kSequenceBlock ? static_cast<int32_t>(left) : kSequenceBlock;
        if (sequence_filtered(c->src, n, i, q) != 0) {
            c->src->wide_build = false;
            return -1;
        }
        if (with_pa) {
            amplifier(c, n, i, q);
            if (c->iq) iq_imbalance_apply(&c->iqm, n, i, q);
        }
        add_sums(c, at, n, i, q, s);
        at += n;
    }
    c->src->wide_build = false;
    return 0;
}

#if ORV_X86_VECTORS
// Adds the powers of samples 0.. of i and q on to *power eight at a time: the
// squares on four lanes, then added one by one in order of sample (the
// scalar loop's sum). Returns the first sample not added.
__attribute__((target("avx"))) int32_t add_powers_avx(int32_t n, const double* i, const double* q,
                                                      double* power) {
    double sum = *power;
    int32_t k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m256d x0 = _mm256_loadu_pd(i + k), y0 = _mm256_loadu_pd(q + k);
        const __m256d x1 = _mm256_loadu_pd(i + k + 4), y1 = _mm256_loadu_pd(q + k + 4);
        alignas(32) double p2[8];
        _mm256_store_pd(p2, _mm256_add_pd(_mm256_mul_pd(x0, x0), _mm256_mul_pd(y0, y0)));
        _mm256_store_pd(p2 + 4, _mm256_add_pd(_mm256_mul_pd(x1, x1), _mm256_mul_pd(y1, y1)));
        for (int32_t l = 0; l < 8; ++l) sum += p2[l];
    }
    *power = sum;
    return k;
}
#endif

}  // namespace

double add_sample_powers(double power, int32_t n, const double* i, const double* q) {
    int32_t k = 0;
#if ORV_X86_VECTORS
    if (cpu_has_avx()) k = add_powers_avx(n, i, q, &power);
#endif
    for (; k < n; ++k) {
        const double p2 = i[k] * i[k] + q[k] * q[k];
        power += p2;
    }
    return power;
}

namespace {

// A PpduSamplesFn adding a PPDU's power to the ImpairedSums's, in order of
// sample as add_sums (the same figure).
bool add_ppdu_power(void* context, int64_t, int32_t n, const double* i, const double* q) {
    ImpairedSums* s = static_cast<ImpairedSums*>(context);
    s->power = add_sample_powers(s->power, n, i, q);
    s->samples += n;
    return true;
}

// The packets' power before the amplifier: without the transmit filter
// straight from the PPDUs (the idle time adds nothing), else a pass over the
// filtered sequence. Returns 0 or -1 out of memory.
int32_t input_power(ImpairedRun* c, ImpairedSums* s, double* i, double* q) {
    if (c->src->filter_on) return measure_pass(c, false, s, i, q);
    *s = ImpairedSums{};
    c->src->wide_build = true;
    const int32_t pass = sequence_each_ppdu(c->src, add_ppdu_power, s);
    c->src->wide_build = false;
    return pass == 0 ? 0 : -1;
}

// The DC offset's values (from the peak) and the SNR's noise variance (from
// the packets' power with the DC offset) of the sums after the IQ stage.
void apply_sums(ImpairedRun* c, const ImpairedSums* s, bool dc) {
    const OrvSequenceParams* p = c->src->p;
    if (dc) {
        const double peak = std::sqrt(s->peak2);
        c->dc_i = p->dc_offset_re * 0.01 * peak;
        c->dc_q = p->dc_offset_im * 0.01 * peak;
    }
    if (c->snr && s->samples > 0) {
        const double n = static_cast<double>(s->samples);
        const double power = (s->power + 2.0 * (c->dc_i * s->sum_i + c->dc_q * s->sum_q)) / n +
                             c->dc_i * c->dc_i + c->dc_q * c->dc_q;
        c->sigma2 = power / std::pow(10.0, c->m->snr_db / 10.0) * c->src->setup.os;
    }
}

// The amplifier's levels (from the packets' RMS), then the DC offset's values
// and the noise's variance (from the power after the amplifier and the IQ
// stage), each in a pass over the sequence. Without a DC offset and with
// defer_power, the power is left to the caller's chain pass.
int32_t measure_levels(ImpairedRun* c, bool defer_power, double* i, double* q) {
    if (c->pa || c->clip) {
        ImpairedSums s;
        if (input_power(c, &s, i, q) != 0) return -1;
        const double rms = s.samples > 0 ? std::sqrt(s.power / s.samples) : 0.0;
        c->a_sat = rms * std::pow(10.0, c->m->pa_backoff_db / 20.0);
        c->clip_level = rms * std::pow(10.0, c->m->clip_papr_db / 20.0);
        if (!(c->a_sat > 0.0)) c->pa = false;
    }
    if (!c->dc && !c->snr) return 0;
    if (!c->dc && defer_power) {
        c->power_pending = true;
        return 0;
    }
    ImpairedSums s;
    if (measure_pass(c, true, &s, i, q) != 0) return -1;
    apply_sums(c, &s, c->dc);
    return 0;
}

// Where the amplifier writes the samples of a call of first_stages.
struct AmplifierOut {
    ImpairedRun* c;
    double* i;
    double* q;
};

// A RawRunFn: the amplifier and the IQ stage from the PPDU's samples into the
// block, the packet's power summed on the way when the first stages sum it;
// the idle time's zeros as zeros (the amplifier's gain at zero is exactly 1,
// the IQ matrix takes zero to zero).
void amplify_run(void* context, int32_t k, int32_t m, const double* i, const double* q) {
    const AmplifierOut* out = static_cast<const AmplifierOut*>(context);
    double* to_i = out->i + k;
    double* to_q = out->q + k;
    if (i == nullptr) {
        std::memset(to_i, 0, static_cast<size_t>(m) * sizeof(double));
        std::memset(to_q, 0, static_cast<size_t>(m) * sizeof(double));
        return;
    }
    ImpairedRun* c = out->c;
    if (!c->clip) {
        // Amplifier, IQ imbalance and the power in one pass over the run.
        const IqImbalance* iq = c->iq ? &c->iqm : nullptr;
        if (c->summing) {
            c->sums.power = rapp_iq_sum(m, c->a_sat, c->m->pa_smoothness, iq, i, q, to_i, to_q, c->sums.power);
            c->sums.samples += m;
        } else {
            rapp_iq(m, c->a_sat, c->m->pa_smoothness, iq, i, q, to_i, to_q);
        }
        return;
    }
    rapp_amplify_from(m, c->a_sat, c->m->pa_smoothness, i, q, to_i, to_q);
    clip_envelope(m, c->clip_level, to_i, to_q);
    if (!c->summing) {
        if (c->iq) iq_imbalance_apply(&c->iqm, m, to_i, to_q);
        return;
    }
    double power = c->sums.power;
    if (c->iq) {
        power = iq_imbalance_apply_sum(&c->iqm, m, to_i, to_q, power);
    } else {
        for (int32_t j = 0; j < m; ++j) power += to_i[j] * to_i[j] + to_q[j] * to_q[j];
    }
    c->sums.power = power;
    c->sums.samples += m;
}

// The stages before the sample clock on the next n samples of the sequence.
int32_t first_stages(ImpairedRun* c, int32_t n, double* i, double* q) {
    if (c->pa && !c->src->filter_on) {
        // Straight from the PPDUs, a run of one packet or of idle time at a time.
        AmplifierOut out{c, i, q};
        if (sequence_raw_runs(c->src, n, amplify_run, &out) != 0) return -1;
    } else {
        if (sequence_filtered(c->src, n, i, q) != 0) return -1;
        amplifier(c, n, i, q);
        if (c->iq) iq_imbalance_apply(&c->iqm, n, i, q);
        if (c->summing) add_power(c, c->in_pos, n, i, q, &c->sums);
    }
    if (c->dc) {
        for (int32_t k = 0; k < n; ++k) {
            i[k] += c->dc_i;
            q[k] += c->dc_q;
        }
    }
    if (c->pn) phase_noise_rotate(&c->phase_noise, n, c->in_pos, c->carrier_hz, c->fs, i, q);
    else if (c->rotate) rotate_with_phase(n, c->in_pos, c->carrier_hz, c->fs, nullptr, i, q);
    c->in_pos += n;
    return 0;
}

int32_t clock_inputs(ImpairedRun* c, int32_t slot);

// The sample clock's outputs of the block in the slot (its first output n0).
void resample_block(ImpairedRun* c, int32_t slot, int64_t n0) {
    FirstStageRing* g = c->ring;
    resampler_run(&c->resampler, n0, kSequenceBlock, g->base[slot], g->i[slot], g->q[slot], g->out_i[slot],
                  g->out_q[slot]);
    g->resampled[slot] = true;
}

// Makes the next block of the first stages into its slot, its resampler's
// outputs too when resample; status 0 or -1.
void make_stage_block(ImpairedRun* c, bool resample) {
    FirstStageRing* g = c->ring;
    const int32_t slot = static_cast<int32_t>(g->made % kStageBlocks);
    g->resampled[slot] = false;
    const int32_t status = c->clock ? clock_inputs(c, slot) : first_stages(c, kSequenceBlock, g->i[slot], g->q[slot]);
    if (status == 0 && c->clock && resample) resample_block(c, slot, g->made * kSequenceBlock);
    bool wake;
    {
        std::lock_guard<std::mutex> hold(g->lock);
        g->status[slot] = status;
        ++g->made;
        wake = g->taker_waits && (g->made - g->taken >= kStageBatch || status != 0);
    }
    if (wake) g->changed.notify_all();  // after the lock: the chain does not wake into a held lock
}

// The helper thread: blocks ahead while a slot is free, until stopped or a block failed.
void make_stages_ahead(ImpairedRun* c) {
    FirstStageRing* g = c->ring;
    for (;;) {
        bool leave, ahead;
        {
            std::unique_lock<std::mutex> hold(g->lock);
            if (g->made - g->taken >= kStageBlocks) {
                g->maker_waits = true;
                g->changed.wait(hold, [&] { return g->stop || g->made - g->taken <= kStageRefill; });
                g->maker_waits = false;
            }
            const bool failed = g->made > 0 && g->status[(g->made - 1) % kStageBlocks] != 0;
            leave = g->stop || failed;
            g->ended = leave;
            ahead = g->made - g->taken >= kStageAhead;
        }
        if (leave) {
            g->changed.notify_all();
            return;
        }
        make_stage_block(c, ahead);
    }
}

// Starts the helper thread when threads are allowed; without it the blocks are made on demand.
void start_stages(ImpairedRun* c) {
    FirstStageRing* g = c->ring;
    if (g->running || !c->src->setup.threads || !c->stage_thread) return;
    c->stage_thread = false;  // one try a pass
    try {
        g->ended = false;
        g->thread = std::thread(make_stages_ahead, c);
        g->running = true;
    } catch (...) {
    }
}

// Where the chain's samples go: to i and q, or, when iq is there, rounded to
// single precision and interleaved into iq (the kept buffer) instead, or,
// when fill is there, into that single-precision channel's hop.
struct ChainOut {
    double* i;
    double* q;
    float* iq;
    Multipath* fill;
};

#if ORV_X86_VECTORS
// put's rounding and interleaving four samples at a time (the same roundings);
// returns the samples done.
__attribute__((target("avx"))) int32_t interleave_avx(int32_t m, const double* i, const double* q, float* to) {
    int32_t j = 0;
    for (; j + 4 <= m; j += 4) {
        const __m128 fi = _mm256_cvtpd_ps(_mm256_loadu_pd(i + j));
        const __m128 fq = _mm256_cvtpd_ps(_mm256_loadu_pd(q + j));
        _mm_storeu_ps(to + 2 * j, _mm_unpacklo_ps(fi, fq));
        _mm_storeu_ps(to + 2 * j + 4, _mm_unpackhi_ps(fi, fq));
    }
    return j;
}
#endif

// Hands m samples of i and q to out's samples k on.
void put(const ChainOut* out, int32_t k, int32_t m, const double* i, const double* q) {
    if (out->fill != nullptr) {
        multipath_single_fill(out->fill, k, m, i, q);
        return;
    }
    if (out->iq == nullptr) {
        std::memcpy(out->i + k, i, static_cast<size_t>(m) * sizeof(double));
        std::memcpy(out->q + k, q, static_cast<size_t>(m) * sizeof(double));
        return;
    }
    float* to = out->iq + 2 * static_cast<int64_t>(k);
    int32_t j = 0;
#if ORV_X86_VECTORS
    if (cpu_has_avx()) j = interleave_avx(m, i, q, to);
#endif
    for (; j < m; ++j) to[2 * j] = static_cast<float>(i[j]), to[2 * j + 1] = static_cast<float>(q[j]);
}

#if ORV_X86_VECTORS
// put_single's interleaving eight samples at a time; returns the samples done.
__attribute__((target("avx"))) int32_t interleave_single_avx(int32_t m, const float* i, const float* q, float* to) {
    int32_t j = 0;
    for (; j + 8 <= m; j += 8) {
        const __m256 fi = _mm256_loadu_ps(i + j), fq = _mm256_loadu_ps(q + j);
        const __m256 lo = _mm256_unpacklo_ps(fi, fq), hi = _mm256_unpackhi_ps(fi, fq);
        _mm256_storeu_ps(to + 2 * j, _mm256_permute2f128_ps(lo, hi, 0x20));
        _mm256_storeu_ps(to + 2 * j + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
    }
    return j;
}

// put_single's widening to double four samples at a time; returns the samples done.
__attribute__((target("avx"))) int32_t widen_avx(int32_t m, const float* i, const float* q, double* to_i,
                                                 double* to_q) {
    int32_t j = 0;
    for (; j + 4 <= m; j += 4) {
        _mm256_storeu_pd(to_i + j, _mm256_cvtps_pd(_mm_loadu_ps(i + j)));
        _mm256_storeu_pd(to_q + j, _mm256_cvtps_pd(_mm_loadu_ps(q + j)));
    }
    return j;
}
#endif

// put for m samples in single precision (the values put gives their doubles).
void put_single(const ChainOut* out, int32_t k, int32_t m, const float* i, const float* q) {
    int32_t j = 0;
    if (out->iq == nullptr) {
        double* to_i = out->i + k;
        double* to_q = out->q + k;
#if ORV_X86_VECTORS
        if (cpu_has_avx()) j = widen_avx(m, i, q, to_i, to_q);
#endif
        for (; j < m; ++j) to_i[j] = i[j], to_q[j] = q[j];
        return;
    }
    float* to = out->iq + 2 * static_cast<int64_t>(k);
#if ORV_X86_VECTORS
    if (cpu_has_avx()) j = interleave_single_avx(m, i, q, to);
#endif
    for (; j < m; ++j) to[2 * j] = i[j], to[2 * j + 1] = q[j];
}

// Waits for the block the chain takes next (kStageBatch of them when the ring ran dry), or makes it when
// no helper thread runs.
void await_block(FirstStageRing* g, ImpairedRun* c) {
    if (!g->running) {
        if (g->made == g->taken) make_stage_block(c, false);
        return;
    }
    std::unique_lock<std::mutex> hold(g->lock);
    if (g->made > g->taken) return;
    g->taker_waits = true;
    g->changed.wait(hold, [&] { return g->made - g->taken >= kStageBatch || (g->made > g->taken && g->ended); });
    g->taker_waits = false;
}

// The samples of the block taken: the slot's own, or the resampler's outputs
// of its inputs (made here kChainRun at a time when the helper thread has not
// made them). Returns how many there are from sample `at` on.
int32_t block_samples(ImpairedRun* c, int32_t slot, const double** i, const double** q) {
    FirstStageRing* g = c->ring;
    if (!c->clock) {
        *i = g->i[slot], *q = g->q[slot];
        return kSequenceBlock - g->at;
    }
    *i = g->out_i[slot], *q = g->out_q[slot];
    if (g->resampled[slot]) return kSequenceBlock - g->at;
    if (g->upto == g->at) {
        const int32_t run = kSequenceBlock - g->at < kChainRun ? kSequenceBlock - g->at : kChainRun;
        resampler_run(&c->resampler, g->taken * kSequenceBlock + g->at, run, g->base[slot], g->i[slot], g->q[slot],
                      g->out_i[slot] + g->at, g->out_q[slot] + g->at);
        g->upto += run;
    }
    return g->upto - g->at;
}

// The next n samples after the sample clock, from the blocks, to out's
// samples k0 on. Returns 0 or -1 out of memory.
int32_t take_first(ImpairedRun* c, int32_t n, const ChainOut* out, int32_t k0) {
    FirstStageRing* g = c->ring;
    start_stages(c);
    for (int32_t k = 0; k < n;) {
        await_block(g, c);
        const int32_t slot = static_cast<int32_t>(g->taken % kStageBlocks);
        if (g->status[slot] != 0) return -1;
        const double* i;
        const double* q;
        const int32_t ready = block_samples(c, slot, &i, &q);
        const int32_t m = n - k < ready ? n - k : ready;
        put(out, k0 + k, m, i + g->at, q + g->at);
        g->at += m;
        k += m;
        if (g->at == kSequenceBlock) {
            g->at = g->upto = 0;
            bool wake;
            {
                std::lock_guard<std::mutex> hold(g->lock);
                ++g->taken;
                wake = g->maker_waits && g->made - g->taken <= kStageRefill;
            }
            if (wake) g->changed.notify_all();
        }
    }
    return 0;
}

// The inputs of the sample clock's next output block (kSequenceBlock outputs
// from clock_pos on) into the slot: the ones before in_pos from the last
// block's slot (zeros before sample 0), the rest from the first stages in
// the runs the sequence has always been cut into (the carrier restarts at
// each run). Returns 0 or -1 out of memory.
int32_t clock_inputs(ImpairedRun* c, int32_t slot) {
    FirstStageRing* g = c->ring;
    const int64_t first = resampler_first_input(&c->resampler, c->clock_pos);
    const int64_t last =
        resampler_first_input(&c->resampler, c->clock_pos + kSequenceBlock - 1) + c->resampler.taps - 1;
    const int64_t base = first < c->in_pos ? first : c->in_pos;
    if (last + 1 - base > g->cap) return -1;  // beyond any clock within +-1000 ppm
    double* i = g->i[slot];
    double* q = g->q[slot];
    const int64_t zeros = (c->in_pos < 0 ? c->in_pos : 0) - base;
    if (zeros > 0) {
        std::memset(i, 0, static_cast<size_t>(zeros) * sizeof(double));
        std::memset(q, 0, static_cast<size_t>(zeros) * sizeof(double));
    }
    const int64_t from = zeros > 0 ? base + zeros : base;
    if (c->in_pos > from) {
        const int32_t last_slot = static_cast<int32_t>((g->made + kStageBlocks - 1) % kStageBlocks);
        const size_t shared = static_cast<size_t>(c->in_pos - from);
        std::memcpy(i + (from - base), g->i[last_slot] + (from - g->base[last_slot]), shared * sizeof(double));
        std::memcpy(q + (from - base), g->q[last_slot] + (from - g->base[last_slot]), shared * sizeof(double));
    }
    while (c->in_pos <= last) {
        const int64_t want = last + 1 - c->in_pos;
        const int32_t m = want < kSequenceBlock ? static_cast<int32_t>(want) : kSequenceBlock;
        const int64_t to = c->in_pos - base;
        if (first_stages(c, m, i + to, q + to) != 0) return -1;
    }
    g->base[slot] = base;
    c->clock_pos += kSequenceBlock;
    return 0;
}

// The realisation of the step's hop inputs from channel_pos on (0 for one
// realisation for the file): returned when it is one for the whole hop, else
// -1 with each input's in hop_span, a run of inputs between switches at a time.
int32_t fill_spans(ImpairedRun* c, int32_t hop) {
    const bool per_packet = c->m->multipath_per_packet == 1;
    for (int32_t k = 0; k < hop;) {
        const int64_t g = c->channel_pos + k;
        while (c->span_cursor + 1 < c->count && g >= c->channel_switch[c->span_cursor + 1])
            ++c->span_cursor;
        int32_t end = hop;
        if (c->span_cursor + 1 < c->count && c->channel_switch[c->span_cursor + 1] - c->channel_pos < hop)
            end = static_cast<int32_t>(c->channel_switch[c->span_cursor + 1] - c->channel_pos);
        const int32_t span = per_packet ? c->span_cursor : 0;
        if (k == 0 && end == hop) return span;
        for (int32_t j = k; j < end; ++j) c->hop_span[j] = span;
        k = end;
    }
    return -1;
}

// The channel's next step: hop samples through the multipath channel.
int32_t channel_step(ImpairedRun* c) {
    const int32_t hop = c->channel.hop;
    // A single-precision channel takes its inputs straight into its hop (no copy in double).
    const bool single = c->channel.single != 0;
    const ChainOut to_hop{c->hop_i, c->hop_q, nullptr, single ? &c->channel : nullptr};
    for (int32_t k = 0; k < hop;) {
        const int32_t m = hop - k < kSequenceBlock ? hop - k : kSequenceBlock;
        if (take_first(c, m, &to_hop, k) != 0) return -1;
        k += m;
    }
    const int32_t one = fill_spans(c, hop);
    c->hop_fre = c->hop_fim = nullptr;
    if (single) {
        const float* fr;
        const float* fi;
        if (multipath_single_step(&c->channel, one >= 0 ? nullptr : c->hop_span, one, c->hop_i, c->hop_q, &fr,
                                  &fi) != 0)
            c->hop_fre = fr, c->hop_fim = fi;
    } else if (one >= 0)
        multipath_step_one(&c->channel, c->hop_i, c->hop_q, one, c->hop_i, c->hop_q);
    else
        multipath_step(&c->channel, c->hop_i, c->hop_q, c->hop_span, c->hop_i, c->hop_q);
    c->channel_pos += hop;
    c->hop_at = 0;
    c->hop_len = hop;
    return 0;
}

// The next n samples after the channel, to out. Returns 0 or -1 out of memory.
int32_t through_channel(ImpairedRun* c, int32_t n, const ChainOut* out) {
    if (!c->multipath) return take_first(c, n, out, 0);
    for (int32_t k = 0; k < n;) {
        if (c->hop_at == c->hop_len && channel_step(c) != 0) return -1;
        const int32_t m = n - k < c->hop_len - c->hop_at ? n - k : c->hop_len - c->hop_at;
        if (c->hop_fre != nullptr)
            put_single(out, k, m, c->hop_fre + c->hop_at, c->hop_fim + c->hop_at);
        else
            put(out, k, m, c->hop_i + c->hop_at, c->hop_q + c->hop_at);
        c->hop_at += m;
        k += m;
    }
    return 0;
}

// Packet geometry on the sequence's clock, and where each packet's channel begins.
void layout(ImpairedRun* c, const OrvPacket* packets) {
    int64_t at = 0;
    const double ratio = 1.0 + c->m->clock_ppm * 1e-6;
    for (int32_t k = 0; k < c->count; ++k) {
        FrameRate rate;
        PpduLayout lay;
        frame_rate(packets[k].rate_index, &rate);
        ppdu_layout(&rate, packets[k].psdu_length, c->src->setup.os, c->src->setup.L, &lay);
        c->ppdu_begin[k] = at;
        c->ppdu_end[k] = at + lay.span;
        // Midway through the idle time before the packet (the channel changes between packets).
        const double mid = k == 0 ? 0.0 : 0.5 * static_cast<double>(c->ppdu_end[k - 1] + at);
        c->channel_switch[k] = static_cast<int64_t>(std::floor(mid / ratio));
        at += lay.span + idle_samples(packets[k].idle_time, c->fs);
    }
    c->total_in = at;
}

// The multipath channel of the record at the sequence's rate. Returns 0 or -1.
int32_t open_channel(ImpairedRun* c) {
    const OrvImpairments* m = c->m;
    const double ts_ns = 1e9 / c->fs;
    int32_t status;
    if (m->multipath_rms_ns > 0.0) {
        double* power = static_cast<double*>(std::malloc(kMultipathMaxTaps * sizeof(double)));
        if (power == nullptr) return -1;
        const int32_t taps = exponential_profile(m->multipath_rms_ns, ts_ns, power);
        // A realisation per packet in single precision (an error near 1e-7 of the signal, far
        // below the file's codes); one for the whole file stays in double.
        const auto open = m->multipath_per_packet == 1 ? multipath_open_single : multipath_open;
        status = taps > 0 ? open(&c->channel, power, nullptr, nullptr, taps, m->seed) : -1;
        std::free(power);
    } else {
        double* h = static_cast<double*>(std::malloc(2 * kMultipathMaxTaps * sizeof(double)));
        if (h == nullptr) return -1;
        const int32_t taps = explicit_taps_response(m->tap_delay_ns, m->tap_gain_db, m->tap_phase_deg,
                                                    m->tap_count, ts_ns, h, h + kMultipathMaxTaps,
                                                    kMultipathMaxTaps);
        status = taps > 0 ? multipath_open(&c->channel, nullptr, h, h + kMultipathMaxTaps, taps, m->seed)
                          : -1;
        std::free(h);
    }
    if (status != 0) return -1;
    const size_t hop = static_cast<size_t>(c->channel.hop);
    c->hop_i = static_cast<double*>(std::malloc(2 * hop * sizeof(double)));
    c->hop_span = static_cast<int32_t*>(std::malloc(hop * sizeof(int32_t)));
    if (c->hop_i == nullptr || c->hop_span == nullptr) return -1;
    c->hop_q = c->hop_i + hop;
    return 0;
}

// The phase-noise process of the record (its profile or the default shape).
int32_t open_phase_noise(ImpairedRun* c) {
    const OrvImpairments* m = c->m;
    if (m->phase_noise_count > 0)
        return phase_noise_open(&c->phase_noise, m->phase_noise_offsets_hz, m->phase_noise_dbc_hz,
                                m->phase_noise_count, c->fs, m->seed) == 0 ? 0 : -1;
    double f[3], l[3];
    phase_noise_default_profile(m->phase_noise_rms_deg, f, l);
    return phase_noise_open(&c->phase_noise, f, l, 3, c->fs, m->seed) == 0 ? 0 : -1;
}

// Allocates every stage's state but the phase noise's. Returns 0 or -1 (what
// was allocated stays for close).
int32_t open_stages(ImpairedRun* c) {
    FirstStageRing* g = new (std::nothrow) FirstStageRing;
    c->ring = g;
    if (g == nullptr) return -1;
    // With the sample clock a slot holds an output block's inputs: within +-1000 ppm at most
    // kSequenceBlock + 18 and the taps' reach.
    g->cap = c->clock ? kSequenceBlock + kSequenceBlock / 64 + 4 * kResampleTaps : kSequenceBlock;
    const size_t cap = static_cast<size_t>(g->cap);
    const size_t outputs = c->clock ? static_cast<size_t>(kSequenceBlock) : 0;
    const size_t each = 2 * (cap + outputs);
    g->i[0] = static_cast<double*>(large_alloc(kStageBlocks * each * sizeof(double)));
    if (g->i[0] == nullptr) return -1;
    for (int32_t b = 0; b < kStageBlocks; ++b) {
        g->i[b] = g->i[0] + b * each;
        g->q[b] = g->i[b] + cap;
        if (c->clock) {
            g->out_i[b] = g->q[b] + cap;
            g->out_q[b] = g->out_i[b] + kSequenceBlock;
        }
    }
    const size_t count = static_cast<size_t>(c->count);
    c->ppdu_begin = static_cast<int64_t*>(std::malloc(3 * count * sizeof(int64_t)));
    if (c->ppdu_begin == nullptr) return -1;
    c->ppdu_end = c->ppdu_begin + count;
    c->channel_switch = c->ppdu_end + count;
    if (c->clock && resampler_open(&c->resampler, c->m->clock_ppm, resampler_taps(c->src->setup.os)) != 0)
        return -1;
    if (c->multipath && open_channel(c) != 0) return -1;
    return 0;
}

// measure_levels, with the phase-noise design (a single thread's work of tens
// of ms, mostly fresh memory) on a thread of its own meanwhile where threads
// may be used. Returns 0 or -1 out of memory (what was allocated stays for close).
int32_t measure_and_design(ImpairedRun* c, bool defer_power) {
    std::thread design;
    int32_t designed = 0;
    if (c->pn && c->src->setup.threads) {
        try {
            design = std::thread([c, &designed] { designed = open_phase_noise(c); });
        } catch (...) {
            // no thread to be had (its state's memory or the thread itself): the design below, on this one
        }
    }
    if (c->pn && !design.joinable()) designed = open_phase_noise(c);
    double* block = static_cast<double*>(std::malloc(2 * kSequenceBlock * sizeof(double)));
    const int32_t measured = block == nullptr ? -1 : measure_levels(c, defer_power, block, block + kSequenceBlock);
    std::free(block);
    if (design.joinable()) design.join();
    return measured == 0 && designed == 0 ? 0 : -1;
}

}  // namespace

uint32_t validate_impairments(const OrvSequenceParams* p, const OrvImpairments* m) {
    if (m->size != sizeof(OrvImpairments)) return ORV_IMP_BAD_SIZE;
    uint32_t mask = 0;
    const double fs = sampling_rate(p);
    if (!is_switch(m->snr_enable) || (m->snr_enable == 1 && !within(m->snr_db, -20.0, 100.0)))
        mask |= ORV_IMP_BAD_SNR;
    if (!within(m->iq_gain_db, -10.0, 10.0) || !within(m->iq_phase_deg, -45.0, 45.0))
        mask |= ORV_IMP_BAD_IQ;
    if (!is_switch(m->pa_enable) || !is_switch(m->clip_enable) ||
        (m->pa_enable == 1 &&
         (!within(m->pa_smoothness, 0.1, 100.0) || !within(m->pa_backoff_db, -20.0, 40.0))) ||
        (m->clip_enable == 1 && !within(m->clip_papr_db, 0.0, 30.0)))
        mask |= ORV_IMP_BAD_PA;
    mask |= phase_noise_mask(m);
    if (!within(m->cfo_ppm, -1000.0, 1000.0) ||
        (m->cfo_ppm != 0.0 && !within(m->carrier_ghz, 0.001, 1000.0)) ||
        !within(carrier_offset_hz(p, m), -0.5 * fs, 0.5 * fs))
        mask |= ORV_IMP_BAD_CARRIER;
    if (!within(m->clock_ppm, -1000.0, 1000.0)) mask |= ORV_IMP_BAD_CLOCK;
    mask |= multipath_mask(m);
    return mask;
}

bool impairments_active(const OrvImpairments* m) {
    return m->snr_enable == 1 || m->iq_gain_db != 0.0 || m->iq_phase_deg != 0.0 ||
           m->pa_enable == 1 || m->clip_enable == 1 || phase_noise_on(m) || m->cfo_ppm != 0.0 ||
           m->clock_ppm != 0.0 || m->multipath_rms_ns > 0.0 || m->tap_count > 0;
}

int64_t impaired_total(const OrvImpairments* m, int64_t total) {
    return m->clock_ppm != 0.0 ? resampled_length(m->clock_ppm, total) : total;
}

void impaired_starts(const OrvImpairments* m, int32_t count, int64_t* starts) {
    if (m->clock_ppm == 0.0) return;
    const double ratio = 1.0 + m->clock_ppm * 1e-6;
    for (int32_t k = 0; k < count; ++k)
        starts[k] = static_cast<int64_t>(std::llround(static_cast<double>(starts[k]) / ratio));
}

int32_t impaired_open(ImpairedRun* c, SequenceRun* r, const OrvImpairments* m, bool defer_power) {
    std::memset(c, 0, sizeof *c);
    const OrvSequenceParams* p = r->p;
    c->m = m;
    c->src = r;
    c->fs = r->setup.fs;
    c->count = r->count;
    c->pa = m->pa_enable == 1;
    c->clip = m->clip_enable == 1;
    c->iq = m->iq_gain_db != 0.0 || m->iq_phase_deg != 0.0;
    if (c->iq) iq_imbalance_setup(m->iq_gain_db, m->iq_phase_deg, &c->iqm);
    c->dc = std::fabs(p->dc_offset_re) >= 1e-12 || std::fabs(p->dc_offset_im) >= 1e-12;
    c->pn = phase_noise_on(m);
    c->carrier_hz = carrier_offset_hz(p, m);
    c->rotate = c->pn || c->carrier_hz != 0.0;
    c->clock = m->clock_ppm != 0.0;
    c->multipath = m->multipath_rms_ns > 0.0 || m->tap_count > 0;
    c->snr = m->snr_enable == 1;
    if (open_stages(c) != 0) {
        impaired_close(c);
        return -1;
    }
    layout(c, r->packets);
    if (measure_and_design(c, defer_power) != 0) {
        impaired_close(c);
        return -1;
    }
    r->impaired = c;
    sequence_rewind(r);
    return 0;
}

void impaired_stop(ImpairedRun* c) {
    FirstStageRing* g = c->ring;
    if (g == nullptr || !g->running) return;
    {
        std::lock_guard<std::mutex> hold(g->lock);
        g->stop = true;
    }
    g->changed.notify_all();
    g->thread.join();
    g->running = false;
    g->stop = false;
}

void impaired_close(ImpairedRun* c) {
    impaired_stop(c);
    if (c->ring != nullptr) large_free(c->ring->i[0]);
    delete c->ring;
    if (c->src != nullptr && c->src->impaired == c) c->src->impaired = nullptr;
    std::free(c->ppdu_begin);
    std::free(c->hop_i);
    std::free(c->hop_span);
    if (c->pn) phase_noise_close(&c->phase_noise);
    if (c->clock) resampler_close(&c->resampler);
    if (c->multipath) multipath_close(&c->channel);
    std::memset(c, 0, sizeof *c);
}

void impaired_rewind(ImpairedRun* c) {
    if (c->pn) phase_noise_rewind(&c->phase_noise);
    if (c->multipath) multipath_rewind(&c->channel);
    noise_lanes_reset(&c->noise, c->m->seed);
    c->in_pos = 0;
    c->clock_pos = 0;
    c->hop_at = c->hop_len = 0;
    c->channel_pos = 0;
    c->span_cursor = 0;
    c->out_pos = 0;
    impaired_stop(c);
    c->ring->made = c->ring->taken = 0;
    c->ring->at = c->ring->upto = 0;
    c->stage_thread = true;
    c->summing = c->power_pending;
    c->sums = ImpairedSums{};
}

int32_t impaired_chain_next(ImpairedRun* c, int32_t n, double* i, double* q) {
    const ChainOut out{i, q, nullptr, nullptr};
    if (through_channel(c, n, &out) != 0) return -1;
    // With the SNR's noise the AWG file's chain pass keeps the samples in single
    // precision and adds the noise afterwards: every output takes them so.
    for (int32_t k = 0; c->snr && k < n; ++k) {
        i[k] = static_cast<float>(i[k]);
        q[k] = static_cast<float>(q[k]);
    }
    return 0;
}

int32_t impaired_chain_keep(ImpairedRun* c, int32_t n, float* iq) {
    const ChainOut out{nullptr, nullptr, iq, nullptr};
    return through_channel(c, n, &out);
}

namespace {

// The sine interferer and the IF stage of output samples first..first+n-1.
void later_stages(const ImpairedRun* c, int64_t first, int32_t n, double* i, double* q) {
    const OrvSequenceParams& p = *c->src->p;
    if (p.sine_enable == 1) {
        const double amplitude = std::pow(10.0, p.sine_level / 20.0);
        for (int32_t k = 0; k < n; ++k) {
            const long double turns = static_cast<long double>(p.sine_freq) * (first + k) / c->fs;
            const double arg = kTwoPi * static_cast<double>(turns - std::floor(turns));
            i[k] += amplitude * std::cos(arg);
            q[k] += amplitude * std::sin(arg);
        }
    }
    if (p.if_enable == 1) {
        rotate_with_phase(n, first, p.if_freq, c->fs, nullptr, i, q);
        std::memset(q, 0, static_cast<size_t>(n) * sizeof(double));
    }
}

}  // namespace

void impaired_finish(ImpairedRun* c, int32_t n, double* i, double* q) {
    const OrvSequenceParams& p = *c->src->p;
    if (c->snr) add_stream_noise(&c->noise, c->out_pos, n, c->sigma2, i, q);
    if (p.noise_enable == 1) noise_continue(&c->src->noise, n, i, q);
    later_stages(c, c->out_pos, n, i, q);
    c->out_pos += n;
}

bool impaired_finish_anywhere(const ImpairedRun* c) { return c->src->p->noise_enable != 1; }

void impaired_finish_at(const ImpairedRun* c, NoiseLanes* g, int64_t first, int32_t n, double* i,
                        double* q) {
    if (c->snr) add_stream_noise(g, first, n, c->sigma2, i, q);
    later_stages(c, first, n, i, q);
}

bool impaired_finish_kept_at(const ImpairedRun* c, NoiseLanes* g, int64_t first, int32_t n, float* iq) {
    const OrvSequenceParams& p = *c->src->p;
    if (p.sine_enable == 1 || p.if_enable == 1) return false;
    if (c->snr) add_stream_noise_iq(g, first, n, c->sigma2, iq);
    return true;
}

int32_t impaired_next(ImpairedRun* c, int32_t n, double* i, double* q) {
    if (impaired_chain_next(c, n, i, q) != 0) return -1;
    impaired_finish(c, n, i, q);
    return 0;
}

bool impaired_passes_ppdus(const ImpairedRun* c) {
    return c->snr && c->power_pending && !c->pa && !c->clip && !c->iq && !c->dc && !c->pn &&
           !c->rotate && !c->clock && !c->multipath && !c->src->filter_on;
}

namespace {

// Where the PPDU pass stands.
struct PpduPass {
    ImpairedRun* c;
    PpduSamplesFn take;
    void* context;
    ImpairedSums sums;
    int32_t next = 0;       // packet expected next
    bool in_place = true;   // every PPDU so far lay where the layout has it
};

// A PpduSamplesFn: checks the PPDU's place, sums its power, hands it on.
bool pass_ppdu(void* context, int64_t first, int32_t n, const double* i, const double* q) {
    PpduPass* p = static_cast<PpduPass*>(context);
    const ImpairedRun* c = p->c;
    if (p->next >= c->count || first != c->ppdu_begin[p->next] || first + n != c->ppdu_end[p->next]) {
        p->in_place = false;
        return false;
    }
    ++p->next;
    add_ppdu_power(&p->sums, first, n, i, q);
    return p->take(p->context, first, n, i, q);
}

}  // namespace

int32_t impaired_ppdu_pass(ImpairedRun* c, PpduSamplesFn take, void* context) {
    PpduPass p{c, take, context, ImpairedSums{}};
    c->src->wide_build = true;
    const int32_t pass = sequence_each_ppdu(c->src, pass_ppdu, &p);
    c->src->wide_build = false;
    if (pass == -1) return -1;
    if (!p.in_place || p.next != c->count) return 1;
    apply_sums(c, &p.sums, false);
    c->power_pending = false;
    c->summing = false;
    return 0;
}

int32_t impaired_settle_power(ImpairedRun* c, double* i, double* q) {
    if (!c->power_pending) return 0;
    impaired_stop(c);  // its sums are read here
    // The chain pass summed every packet when its first stages got past the last one.
    const bool whole = c->summing && (c->count == 0 || c->in_pos >= c->ppdu_end[c->count - 1]);
    ImpairedSums s = c->sums;
    if (!whole && measure_pass(c, true, &s, i, q) != 0) return -1;
    apply_sums(c, &s, false);
    c->power_pending = false;
    c->summing = false;
    return 0;
}
