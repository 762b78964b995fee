#include "sequence.h"

#include <cmath>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "fft.h"
#include "frame_coding.h"
#include "ppdu.h"
#include "sequence_impaired.h"
#include "tx_filter.h"
#include "validate.h"
#include "writers.h"

namespace {

constexpr double kTwoPi = 6.28318530717958647692;

bool is_switch(int32_t v) { return v == 0 || v == 1; }

// True when lo <= v <= hi; false for NaN.
bool within(double v, double lo, double hi) { return v >= lo && v <= hi; }

// The channel's share of 20 MHz (1, 0.5 or 0.25); 0 for another width.
double channel_scale(int32_t channel_mhz) {
    return channel_mhz == 20 ? 1.0 : channel_mhz == 10 ? 0.5 : channel_mhz == 5 ? 0.25 : 0.0;
}

// Transition length: window_tr at the 20 MHz channel's rate, rounded.
int32_t transition_length(double window_tr, int32_t os) {
    return static_cast<int32_t>(std::lround(window_tr * 20000000.0 * os));
}

// Idle samples after a packet, truncated toward zero.
int64_t idle_samples(double idle_time, double fs) { return static_cast<int64_t>(idle_time * fs); }

// The mask bits of one packet's fields.
uint32_t packet_mask(const OrvPacket& k) {
    if (k.size != sizeof(OrvPacket)) return ORV_SEQ_BAD_PACKET_SIZE;
    uint32_t mask = 0;
    if (k.rate_index < 0 || k.rate_index > 7) mask |= ORV_SEQ_BAD_RATE;
    if (k.scrambler_init < 1 || k.scrambler_init > 127) mask |= ORV_SEQ_BAD_SCRAMBLER;
    if (k.psdu_length < 1 || k.psdu_length > 4095) mask |= ORV_SEQ_BAD_PSDU_LENGTH;
    if (k.psdu == nullptr) mask |= ORV_SEQ_BAD_PSDU;
    if (!within(k.idle_time, 0.0, 1.0)) mask |= ORV_SEQ_BAD_IDLE_TIME;
    return mask;
}

// The mask bits of the transmit filter's fields.
uint32_t filter_mask(const OrvSequenceParams* p, double scale) {
    uint32_t mask = 0;
    if (!within(p->filter_cutoff, 0.0, 1e8)) return ORV_SEQ_BAD_FILTER_CUTOFF;
    if (p->filter_cutoff <= 1e-12) return 0;
    if (p->oversampling >= 1 && p->oversampling <= 10 && scale > 0.0) {
        const int32_t P = samples_per_symbol(p->oversampling, p->filter_cutoff / scale);
        if (P < 1 || P > 128) mask |= ORV_SEQ_BAD_FILTER_CUTOFF;
    }
    if (p->filter_taps < 4 || p->filter_taps > 1000) mask |= ORV_SEQ_BAD_FILTER_TAPS;
    if (!within(p->filter_rolloff, 0.01, 0.99)) mask |= ORV_SEQ_BAD_FILTER_ROLLOFF;
    return mask;
}

// The mask bits of the impairments' switches and values; half is half the sampling rate.
uint32_t impairment_mask(const OrvSequenceParams* p, double half) {
    uint32_t mask = 0;
    if (!is_switch(p->freq_error_enable) ||
        (p->freq_error_enable == 1 && !within(p->freq_error, -half, half)))
        mask |= ORV_SEQ_BAD_FREQ_ERROR;
    if (!is_switch(p->if_enable) || (p->if_enable == 1 && !within(p->if_freq, -half, half)))
        mask |= ORV_SEQ_BAD_IF;
    if (!within(p->dc_offset_re, -100.0, 100.0) || !within(p->dc_offset_im, -100.0, 100.0))
        mask |= ORV_SEQ_BAD_DC_OFFSET;
    if (!is_switch(p->noise_enable) ||
        (p->noise_enable == 1 && !within(p->noise_level, -100.0, 10.0)))
        mask |= ORV_SEQ_BAD_NOISE;
    if (!is_switch(p->sine_enable) ||
        (p->sine_enable == 1 &&
         (!within(p->sine_freq, -half, half) || !within(p->sine_level, -100.0, 10.0))))
        mask |= ORV_SEQ_BAD_SINE;
    return mask;
}

}  // namespace

int32_t validate_sequence(const OrvSequenceParams* p, const OrvPacket* packets, int32_t count,
                          bool output_bad, int32_t* bad_packet) {
    uint32_t mask = 0;
    *bad_packet = -1;
    const double scale = channel_scale(p->channel_mhz);
    if (packets == nullptr || count < 1) mask |= ORV_SEQ_BAD_PACKETS;
    if (p->oversampling < 1 || p->oversampling > 10) mask |= ORV_SEQ_BAD_OVERSAMPLING;
    if (scale == 0.0) mask |= ORV_SEQ_BAD_CHANNEL;
    // At most the guard interval (16 samples at 20 MS/s).
    if (!within(p->window_tr, 0.0, 0.8e-6)) mask |= ORV_SEQ_BAD_WINDOW_TR;
    if (!is_switch(p->iq_inverse)) mask |= ORV_SEQ_BAD_IQ_INVERSE;
    mask |= filter_mask(p, scale);
    const int32_t os = (mask & ORV_SEQ_BAD_OVERSAMPLING) == 0 ? p->oversampling : 1;
    mask |= impairment_mask(p, 0.5 * 20000000.0 * os * (scale > 0.0 ? scale : 1.0));
    if (output_bad) mask |= ORV_SEQ_BAD_OUTPUT;
    if ((mask & ORV_SEQ_BAD_PACKETS) == 0) {
        for (int32_t k = 0; k < count; ++k) {
            const uint32_t bad = packet_mask(packets[k]);
            if (bad != 0) {
                mask |= bad;
                *bad_packet = k;
                break;
            }
        }
    }
    if (mask != 0) mask |= ORV_INVALID;
    return static_cast<int32_t>(mask);
}

void sequence_setup(const OrvSequenceParams* p, const OrvPacket* packets, int32_t count,
                    int64_t* starts, SequenceSetup* s) {
    s->os = p->oversampling;
    s->L = transition_length(p->window_tr, p->oversampling);
    s->fs = 20000000.0 * p->oversampling * channel_scale(p->channel_mhz);
    s->total = 0;
    s->max_span = 0;
    s->threads = true;
    s->builders = kMaxBuilders;
    s->cache_bytes = kValueCacheBytes;
    for (int32_t k = 0; k < count; ++k) {
        FrameRate rate;
        PpduLayout lay;
        frame_rate(packets[k].rate_index, &rate);
        ppdu_layout(&rate, packets[k].psdu_length, s->os, s->L, &lay);
        if (starts != nullptr) starts[k] = s->total + lay.lead;
        if (lay.span > s->max_span) s->max_span = lay.span;
        s->total += lay.span + idle_samples(packets[k].idle_time, s->fs);
    }
}

// The helper threads' side: packet k is built by thread k % active into
// slot k % slots once the consumer has given that slot back; built[slot]
// names the packet the slot holds.
struct PacketBuilder {
    std::mutex lock;
    std::condition_variable changed;
    std::thread thread[kMaxBuilders];
    int32_t running = 0;  // threads started
    bool stop = false;
    int32_t built[kMaxSlots] = {-1, -1, -1, -1};  // packet held by each slot (-1: free)
    int32_t status[kMaxSlots] = {};
    int32_t wants[kMaxBuilders] = {-1, -1};  // packet each helper thread waits to build (-1: none)
    bool taker_waits = false;                 // the consumer waits for a packet
};

namespace {

// Builds packet k of the sequence into slot k % slots with the given
// scratch, its DATA symbols' values from the cache when they are there.
// Returns build_ppdu's status.
int32_t build_packet(SequenceRun* r, int32_t k, double* scratch) {
    const OrvPacket& pk = r->packets[k];
    const int32_t slot = k % r->slots;
    FrameRate rate;
    frame_rate(pk.rate_index, &rate);
    uint8_t* values = nullptr;
    bool have_values = false;
    if (r->cache.bytes != nullptr && r->cache.at[k] >= 0) {
        values = r->cache.bytes + r->cache.at[k];
        have_values = r->cache.ready[k] != 0;
    }
    const int32_t status = build_ppdu(r->setup.os, r->setup.L, &rate, pk.psdu, pk.psdu_length,
                                      pk.scrambler_init, scratch, r->slot_i[slot],
                                      r->slot_q[slot], values, have_values);
    if (status != 0) return status;
    if (values != nullptr) r->cache.ready[k] = 1;
    if (!r->pack_awg) return 0;
    PpduLayout lay;
    ppdu_layout(&rate, pk.psdu_length, r->setup.os, r->setup.L, &lay);
    const bool swap = r->p->iq_inverse == 1;
    awg_pack(swap ? r->slot_q[slot] : r->slot_i[slot], swap ? r->slot_i[slot] : r->slot_q[slot],
             lay.span, r->pack_scale, r->slot_bytes[slot]);
    return 0;
}

// Whether a helper thread that had to wait for packet k's slot may build
// again: that slot free, and with slots to spare (one thread, a slot for the
// consumer and two more) its next packet's too, so that it wakes once for two
// packets.
bool may_build(const SequenceRun* r, const PacketBuilder& b, int32_t k) {
    if (b.built[k % r->slots] >= 0) return false;
    const int32_t next = k + r->active;
    return r->slots < 2 * r->active + 2 || next >= r->count || b.built[next % r->slots] < 0;
}

// Helper thread `first`: packets first, first + active, ... in order.
void build_ahead(SequenceRun* r, int32_t first) {
    PacketBuilder& b = *r->builder;
    for (int32_t k = first; k < r->count; k += r->active) {
        const int32_t slot = k % r->slots;
        {
            std::unique_lock<std::mutex> hold(b.lock);
            if (!b.stop && b.built[slot] >= 0) {
                b.wants[first] = k;
                b.changed.wait(hold, [&] { return b.stop || may_build(r, b, k); });
                b.wants[first] = -1;
            }
            if (b.stop) return;
        }
        const int32_t status = build_packet(r, k, r->scratch[first]);
        bool wake;
        {
            std::lock_guard<std::mutex> hold(b.lock);
            b.built[slot] = k;
            b.status[slot] = status;
            wake = b.taker_waits;
        }
        if (wake) b.changed.notify_all();
        if (status != 0) return;
    }
}

// Stops and joins the helper threads; none left afterwards.
void stop_builder(SequenceRun* r) {
    PacketBuilder* b = r->builder;
    if (b == nullptr) return;
    {
        std::lock_guard<std::mutex> hold(b->lock);
        b->stop = true;
    }
    b->changed.notify_all();
    for (int32_t j = 0; j < b->running; ++j) b->thread[j].join();
    delete b;
    r->builder = nullptr;
}

// Starts the helper threads from packet 0: both only for a plain sequence
// or a pass of filtered samples alone (whose pace the PPDUs set; else the
// conditioning on the calling thread does). Without them (none allowed, or
// not all to be had), packets are built when needed.
void start_builder(SequenceRun* r) {
    if (r->builders == 0) return;
    r->active = sequence_is_plain(r) || r->wide_build ? r->builders : 1;
    PacketBuilder* b = new (std::nothrow) PacketBuilder;
    if (b == nullptr) return;
    r->builder = b;
    try {
        for (int32_t j = 0; j < r->active; ++j) {
            b->thread[j] = std::thread(build_ahead, r, j);
            ++b->running;
        }
    } catch (...) {
        stop_builder(r);  // a missing thread's packets would never come
    }
}

// Makes packet k the one handed out (slot k % slots), giving packet k - 1's
// slot back to the helper threads. Returns 0, or -1 when its inverse FFT ran
// out of memory.
int32_t next_packet(SequenceRun* r, int32_t k) {
    const int32_t slot = k % r->slots;
    int32_t status;
    if (r->builder == nullptr) {
        status = build_packet(r, k, r->scratch[0]);
    } else {
        PacketBuilder& b = *r->builder;
        bool wake = false;
        std::unique_lock<std::mutex> hold(b.lock);
        if (k > 0) b.built[(k - 1) % r->slots] = -1;
        for (int32_t j = 0; j < r->active; ++j) wake = wake || (b.wants[j] >= 0 && may_build(r, b, b.wants[j]));
        if (b.built[slot] != k) {
            b.taker_waits = true;
            if (wake) b.changed.notify_all();  // the helper thread builds while this one waits
            b.changed.wait(hold, [&] { return b.built[slot] == k; });
            b.taker_waits = false;
            wake = false;
        }
        status = b.status[slot];
        hold.unlock();
        if (wake) b.changed.notify_all();
    }
    r->pkt_i = r->slot_i[slot];
    r->pkt_q = r->slot_q[slot];
    return status == 0 ? 0 : -1;
}

// Helper threads for the setup: two where the transforms of size 64 os may
// run at once (radix-2, tables built ahead), else one; none without threads.
int32_t builder_count(const SequenceSetup* s, int32_t count) {
    if (!s->threads || count < 2 || s->builders < 1) return 0;
    const int32_t m = 64 * s->os;
    if (s->builders < 2 || count < 3 || (m & (m - 1)) != 0 || fft_prepare(m) != 0) return 1;
    return 2;
}

// Reserves the cache for the packets whose values fit s->cache_bytes (in
// order, each one that still fits). Nothing is kept when memory is short.
void open_value_cache(SequenceRun* r) {
    ValueCache& c = r->cache;
    c = ValueCache{};
    const size_t count = static_cast<size_t>(r->count);
    int64_t* at = static_cast<int64_t*>(std::malloc(count * sizeof(int64_t)));
    uint8_t* ready = static_cast<uint8_t*>(std::calloc(count, 1));
    int64_t total = 0;
    for (int32_t k = 0; at != nullptr && k < r->count; ++k) {
        FrameRate rate;
        frame_rate(r->packets[k].rate_index, &rate);
        const int64_t need =
            48 * static_cast<int64_t>(frame_data_symbols(r->packets[k].psdu_length, rate.n_dbps));
        at[k] = total + need <= r->setup.cache_bytes ? total : -1;
        if (at[k] >= 0) total += need;
    }
    uint8_t* bytes =
        total > 0 ? static_cast<uint8_t*>(std::malloc(static_cast<size_t>(total))) : nullptr;
    if (at == nullptr || ready == nullptr || bytes == nullptr) {
        std::free(at);
        std::free(ready);
        std::free(bytes);
        return;
    }
    c.bytes = bytes;
    c.at = at;
    c.ready = ready;
}

void close_value_cache(ValueCache* c) {
    std::free(c->bytes);
    std::free(c->at);
    std::free(c->ready);
    *c = ValueCache{};
}

}  // namespace

int32_t sequence_open(SequenceRun* r, const OrvSequenceParams* p, const OrvPacket* packets,
                      int32_t count, const SequenceSetup* s) {
    std::memset(r, 0, sizeof *r);
    r->p = p;
    r->packets = packets;
    r->count = count;
    r->setup = *s;
    r->filter_on = p->filter_cutoff > 1e-12;
    const size_t span = static_cast<size_t>(s->max_span);
    const size_t scratch = static_cast<size_t>(ppdu_scratch_size(s->os));
    const size_t taps = r->filter_on ? static_cast<size_t>(p->filter_taps) : 0;
    const size_t window = r->filter_on ? taps - 1 + kSequenceBlock : 0;
    r->builders = builder_count(s, count);
    r->slots = r->builders > 1 ? 2 * r->builders : 2;
    const size_t slots = static_cast<size_t>(r->slots);
    const size_t scratches = r->builders > 1 ? static_cast<size_t>(r->builders) : 1;
    // One block: the PPDUs' I and Q, the builders' scratch, the taps and the filter's windows.
    double* block = static_cast<double*>(std::malloc(
        (2 * slots * span + scratches * scratch + taps + 2 * window) * sizeof(double)));
    if (block == nullptr) return 1;
    for (size_t k = 0; k < slots; ++k) {
        r->slot_i[k] = block + 2 * k * span;
        r->slot_q[k] = block + (2 * k + 1) * span;
    }
    for (size_t j = 0; j < scratches; ++j) r->scratch[j] = block + 2 * slots * span + j * scratch;
    open_value_cache(r);
    if (r->filter_on) {
        StreamFilter& f = r->filter;
        f.taps = p->filter_taps;
        f.h = block + 2 * slots * span + scratches * scratch;
        f.win_i = f.h + taps;
        f.win_q = f.win_i + window;
        const double scale = channel_scale(p->channel_mhz);
        const int32_t P = samples_per_symbol(p->oversampling, p->filter_cutoff / scale);
        double* h = r->filter.win_i;  // designed here, then stored reversed
        design_raised_cosine(f.taps, P, p->filter_rolloff, h);
        apply_hamming_window(f.taps, h, h);
        normalise_taps(f.taps, h, h);
        for (int32_t j = 0; j < f.taps; ++j) f.h[j] = h[f.taps - 1 - j];
    }
    if (p->noise_enable == 1) {
        noise_begin(p->noise_level, r->setup.threads, &r->noise_start);
        r->noise = r->noise_start;
    }
    sequence_rewind(r);
    return 0;
}

void sequence_close(SequenceRun* r, bool complete) {
    stop_builder(r);
    std::free(r->slot_bytes[0]);
    for (unsigned char*& b : r->slot_bytes) b = nullptr;
    close_value_cache(&r->cache);
    if (r->p != nullptr && r->p->noise_enable == 1)
        noise_end(complete ? &r->noise : &r->noise_start);
    std::free(r->slot_i[0]);
    r->slot_i[0] = nullptr;
    r->p = nullptr;
}

void sequence_rewind(SequenceRun* r) {
    if (r->impaired != nullptr) impaired_stop(r->impaired);  // it takes the PPDUs
    stop_builder(r);
    start_builder(r);
    r->next_packet = 0;
    r->span = 0;
    r->at = 0;
    r->idle_left = 0;
    r->position = 0;
    r->primed = false;
    r->noise = r->noise_start;
    if (r->impaired != nullptr) impaired_rewind(r->impaired);
}

namespace {

// The next n synthesised samples of the sequence (zeros after its end) as
// runs: put(k, m, i, q) for its samples k..k+m-1, i and q the PPDU's samples
// with I and Q exchanged as the settings say, or nullptr for zeros. Returns 0,
// or -1 out of memory.
template <typename Put>
int32_t raw_runs(SequenceRun* r, int32_t n, Put put) {
    const bool swap = r->p->iq_inverse == 1;
    int32_t k = 0;
    while (k < n) {
        if (r->at < r->span) {
            const int32_t m = n - k < r->span - r->at ? n - k : r->span - r->at;
            put(k, m, (swap ? r->pkt_q : r->pkt_i) + r->at, (swap ? r->pkt_i : r->pkt_q) + r->at);
            r->at += m;
            k += m;
        } else if (r->idle_left > 0 || r->next_packet >= r->count) {
            int64_t m = n - k;
            if (r->next_packet < r->count && r->idle_left < m) m = r->idle_left;
            put(k, static_cast<int32_t>(m), nullptr, nullptr);
            if (r->idle_left > 0) r->idle_left -= m < r->idle_left ? m : r->idle_left;
            k += static_cast<int32_t>(m);
        } else {
            const OrvPacket& pk = r->packets[r->next_packet];
            FrameRate rate;
            PpduLayout lay;
            frame_rate(pk.rate_index, &rate);
            ppdu_layout(&rate, pk.psdu_length, r->setup.os, r->setup.L, &lay);
            if (next_packet(r, r->next_packet++) != 0) return -1;
            r->span = lay.span;
            r->at = 0;
            r->idle_left = idle_samples(pk.idle_time, r->setup.fs);
        }
    }
    return 0;
}

// The next n synthesised samples of the sequence (zeros after its end) into i and q.
int32_t raw_samples(SequenceRun* r, int32_t n, double* i, double* q) {
    return raw_runs(r, n, [i, q](int32_t k, int32_t m, const double* from_i, const double* from_q) {
        const size_t bytes = static_cast<size_t>(m) * sizeof(double);
        if (from_i == nullptr) {
            std::memset(i + k, 0, bytes);
            std::memset(q + k, 0, bytes);
        } else {
            std::memcpy(i + k, from_i, bytes);
            std::memcpy(q + k, from_q, bytes);
        }
    });
}

// The next n samples through the transmit filter (or straight when it is off).
int32_t filtered_samples(SequenceRun* r, int32_t n, double* i, double* q) {
    if (!r->filter_on) return raw_samples(r, n, i, q);
    StreamFilter& f = r->filter;
    const int32_t keep = f.taps - 1;
    const int32_t delay = keep / 2;
    if (!r->primed) {
        // Before sample 0 the sequence is zero; the lookahead comes from it.
        std::memset(f.win_i, 0, static_cast<size_t>(delay) * sizeof(double));
        std::memset(f.win_q, 0, static_cast<size_t>(delay) * sizeof(double));
        if (keep > delay && raw_samples(r, keep - delay, f.win_i + delay, f.win_q + delay) != 0)
            return -1;
        r->primed = true;
    }
    if (raw_samples(r, n, f.win_i + keep, f.win_q + keep) != 0) return -1;
    for (int32_t k = 0; k < n; ++k) {
        double si = 0.0, sq = 0.0;
        for (int32_t j = 0; j < f.taps; ++j) {
            si += f.h[j] * f.win_i[k + j];
            sq += f.h[j] * f.win_q[k + j];
        }
        i[k] = si;
        q[k] = sq;
    }
    std::memmove(f.win_i, f.win_i + n, static_cast<size_t>(keep) * sizeof(double));
    std::memmove(f.win_q, f.win_q + n, static_cast<size_t>(keep) * sizeof(double));
    return 0;
}

// Phase in radians of a tone of freq_hz at sample `at`, reduced to one turn.
double tone_phase(double freq_hz, double fs, int64_t at) {
    const long double turns = static_cast<long double>(freq_hz) * at / fs;
    return kTwoPi * static_cast<double>(turns - std::floor(turns));
}

// Multiplies n samples from sample `at` on by e^(j 2 pi f t); real_only keeps
// the real part on I and sets Q to zero (IF conversion).
void rotate(int32_t n, int64_t at, double freq_hz, double fs, bool real_only, double* i,
            double* q) {
    const double phi = kTwoPi * freq_hz / fs;
    const double cos_phi = std::cos(phi), sin_phi = std::sin(phi);
    const double start = tone_phase(freq_hz, fs, at);
    double c = std::cos(start), s = std::sin(start);
    for (int32_t k = 0; k < n; ++k) {
        const double x = i[k], y = q[k];
        i[k] = c * x - s * y;
        q[k] = real_only ? 0.0 : s * x + c * y;
        const double c_next = cos_phi * c - sin_phi * s;
        s = cos_phi * s + sin_phi * c;
        c = c_next;
    }
}

}  // namespace

int32_t sequence_filtered(SequenceRun* r, int32_t n, double* i, double* q) {
    if (filtered_samples(r, n, i, q) != 0) return -1;
    r->position += n;
    return 0;
}

int32_t sequence_raw_runs(SequenceRun* r, int32_t n, RawRunFn take, void* context) {
    if (raw_runs(r, n, [take, context](int32_t k, int32_t m, const double* i, const double* q) {
            take(context, k, m, i, q);
        }) != 0)
        return -1;
    r->position += n;
    return 0;
}

int32_t sequence_next(SequenceRun* r, int32_t n, double* i, double* q) {
    if (r->impaired != nullptr) return impaired_next(r->impaired, n, i, q);
    const OrvSequenceParams& p = *r->p;
    const double fs = r->setup.fs;
    const int64_t at = r->position;
    if (filtered_samples(r, n, i, q) != 0) return -1;
    r->position += n;
    if (p.freq_error_enable == 1) rotate(n, at, p.freq_error, fs, false, i, q);
    if (r->envelope_only) return 0;
    if (r->dc_i != 0.0 || r->dc_q != 0.0) {
        for (int32_t k = 0; k < n; ++k) {
            i[k] += r->dc_i;
            q[k] += r->dc_q;
        }
    }
    if (p.noise_enable == 1) noise_continue(&r->noise, n, i, q);
    if (p.sine_enable == 1) {
        const double amplitude = std::pow(10.0, p.sine_level / 20.0);
        for (int32_t k = 0; k < n; ++k) {
            const double arg = tone_phase(p.sine_freq, fs, at + k);
            i[k] += amplitude * std::cos(arg);
            q[k] += amplitude * std::sin(arg);
        }
    }
    if (p.if_enable == 1) rotate(n, at, p.if_freq, fs, true, i, q);
    return 0;
}

bool sequence_is_plain(const SequenceRun* r) {
    const OrvSequenceParams& p = *r->p;
    return r->impaired == nullptr && !r->filter_on && p.freq_error_enable != 1 && r->dc_i == 0.0 && r->dc_q == 0.0 &&
           p.noise_enable != 1 && p.sine_enable != 1 && p.if_enable != 1;
}

int32_t sequence_each_ppdu(SequenceRun* r, PpduSamplesFn take, void* context) {
    sequence_rewind(r);
    const bool swap = r->p->iq_inverse == 1;
    int64_t first = 0;
    for (int32_t k = 0; k < r->count; ++k) {
        const OrvPacket& pk = r->packets[k];
        FrameRate rate;
        PpduLayout lay;
        frame_rate(pk.rate_index, &rate);
        ppdu_layout(&rate, pk.psdu_length, r->setup.os, r->setup.L, &lay);
        if (next_packet(r, k) != 0) return -1;
        if (!take(context, first, lay.span, swap ? r->pkt_q : r->pkt_i, swap ? r->pkt_i : r->pkt_q))
            return 1;
        first += lay.span + idle_samples(pk.idle_time, r->setup.fs);
    }
    return 0;
}

int32_t sequence_each_packed(SequenceRun* r, double scale, PpduBytesFn take, void* context) {
    stop_builder(r);  // the slots' bytes come before the helper threads run
    const size_t bytes = 8 * static_cast<size_t>(r->setup.max_span);
    if (r->slot_bytes[0] == nullptr) {
        r->slot_bytes[0] = static_cast<unsigned char*>(std::malloc(r->slots * bytes));
        if (r->slot_bytes[0] == nullptr) return -1;
        for (int32_t k = 1; k < r->slots; ++k) r->slot_bytes[k] = r->slot_bytes[0] + k * bytes;
    }
    r->pack_awg = true;
    r->pack_scale = scale;
    sequence_rewind(r);
    int64_t first = 0;
    int32_t status = 0;
    for (int32_t k = 0; k < r->count && status == 0; ++k) {
        const OrvPacket& pk = r->packets[k];
        FrameRate rate;
        PpduLayout lay;
        frame_rate(pk.rate_index, &rate);
        ppdu_layout(&rate, pk.psdu_length, r->setup.os, r->setup.L, &lay);
        if (next_packet(r, k) != 0) status = -1;
        else if (!take(context, first, lay.span, r->slot_bytes[k % r->slots])) status = 1;
        first += lay.span + idle_samples(pk.idle_time, r->setup.fs);
    }
    stop_builder(r);
    r->pack_awg = false;
    return status;
}

int32_t sequence_measure_dc(SequenceRun* r, double* i, double* q) {
    const OrvSequenceParams& p = *r->p;
    r->dc_i = r->dc_q = 0.0;
    if (!(std::fabs(p.dc_offset_re) >= 1e-12 || std::fabs(p.dc_offset_im) >= 1e-12)) return 0;
    sequence_rewind(r);
    r->envelope_only = true;
    double peak = 0.0;
    for (int64_t done = 0; done < r->setup.total;) {
        const int64_t left = r->setup.total - done;
        const int32_t n = left < kSequenceBlock ? static_cast<int32_t>(left) : kSequenceBlock;
        if (sequence_next(r, n, i, q) != 0) return -1;
        for (int32_t k = 0; k < n; ++k) {
            const double m = std::sqrt(i[k] * i[k] + q[k] * q[k]);
            if (m > peak) peak = m;
        }
        done += n;
    }
    r->envelope_only = false;
    r->dc_i = p.dc_offset_re * 0.01 * peak;
    r->dc_q = p.dc_offset_im * 0.01 * peak;
    sequence_rewind(r);
    return 0;
}
