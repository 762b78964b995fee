// The impairment chain of a packet sequence in physical units, pulled block
// by block behind the transmit filter of a SequenceRun (condition/impair_chain.h
// has the stages and their order).
#pragma once
#include <cstdint>

#include "impair_chain.h"
#include "impair_noise.h"
#include "orvasynth.h"
#include "sequence.h"

// Checks the impairments against the sequence's settings (valid already).
// Returns 0 or the ORV_IMP_BAD_* bits (without ORV_INVALID).
uint32_t validate_impairments(const OrvSequenceParams* p, const OrvImpairments* m);
// Whether the record asks for anything at all.
bool impairments_active(const OrvImpairments* m);
// Samples of the impaired sequence of total samples, and the packet starts
// (count entries, on the sequence's clock) moved to the impaired clock.
int64_t impaired_total(const OrvImpairments* m, int64_t total);
void impaired_starts(const OrvImpairments* m, int32_t count, int64_t* starts);

// The packets' power, sum and the peak envelope after the amplifier and the
// IQ stage (the SNR's and the DC offset's measure), summed in order of sample.
struct ImpairedSums {
    double power, sum_i, sum_q, peak2;
    int64_t samples;  // packet samples summed
    int32_t cursor;   // packet the next sample is in or before
};

struct FirstStageRing;

struct ImpairedRun {
    const OrvImpairments* m;
    SequenceRun* src;
    double fs;
    int64_t total_in;         // samples of the unimpaired sequence
    int32_t count;            // packets
    int64_t* ppdu_begin;      // count: first sample of each PPDU on the sequence's clock
    int64_t* ppdu_end;        // count: one past its last
    int64_t* channel_switch;  // count: first channel-input sample of each packet's realisation
    bool pa, clip, iq, dc, pn, rotate, clock, multipath, snr;
    double a_sat, clip_level;
    IqImbalance iqm;
    double dc_i, dc_q;
    PhaseNoise phase_noise;
    double carrier_hz;        // freq_error (when on) + cfo_ppm 1e-6 carrier_ghz 1e9
    Resampler resampler;
    Multipath channel;
    double sigma2;            // complex noise variance of the SNR
    NoiseLanes noise;         // the SNR's noise, block by block of the output
    int64_t in_pos;           // next sample of the first stages
    int64_t clock_pos;        // first output of the resampler's next block of inputs
    double* hop_i;            // the channel's step: inputs, then outputs
    double* hop_q;
    int32_t* hop_span;
    int32_t hop_at, hop_len;  // outputs of the last step still to hand out: hop_at..hop_len-1
    const float* hop_fre;     // the last step's outputs when in floats (the channel's), else null
    const float* hop_fim;
    int64_t channel_pos;      // next channel input sample
    int32_t span_cursor;      // packet whose realisation channel_pos is in
    int64_t out_pos;
    FirstStageRing* ring;     // the first stages' blocks (made ahead on a helper thread)
    bool stage_thread;        // the pass may still start that thread
    bool power_pending;       // sigma2 still to come from the chain pass's sums
    bool summing;             // the first stages add the packets' power to sums (no DC offset then)
    ImpairedSums sums;
};

// Opens the chain over the opened producer r (its settings and packets) and
// measures what it needs (the packets' RMS for the amplifier, their power for
// the SNR, the peak for the DC offset) in passes over the sequence; r->impaired
// points to it afterwards. defer_power: without a DC offset the SNR's power
// is left to the caller's chain pass (power_pending; see impaired_settle_power).
// Returns 0, or -1 out of memory (nothing held).
int32_t impaired_open(ImpairedRun* c, SequenceRun* r, const OrvImpairments* m, bool defer_power);
void impaired_close(ImpairedRun* c);
// Stops the helper thread of the stages up to the sample clock (none running afterwards); before
// anything else takes the producer's samples.
void impaired_stop(ImpairedRun* c);
// Back to the first sample, every stream with its first draws.
void impaired_rewind(ImpairedRun* c);
// The next n (1..kSequenceBlock) samples of the impaired sequence. Returns 0,
// or -1 out of memory. Needs the SNR's power (not power_pending).
int32_t impaired_next(ImpairedRun* c, int32_t n, double* i, double* q);
// impaired_next in two halves: the chain up to the channel, its samples
// rounded to single precision with the SNR on (summing the SNR's power on the
// way while it is pending), then the noise, sine and IF stages on them.
int32_t impaired_chain_next(ImpairedRun* c, int32_t n, double* i, double* q);
void impaired_finish(ImpairedRun* c, int32_t n, double* i, double* q);
// impaired_chain_next's samples rounded to single precision, I and Q
// interleaved into iq (2 n floats), straight from the stages' buffers.
int32_t impaired_chain_keep(ImpairedRun* c, int32_t n, float* iq);
// Whether impaired_finish_at may make the later stages of any block on any
// thread: everything after the channel is a function of the sample's index
// (the SNR's noise, the sine, the IF), no stage draws from a serial stream.
bool impaired_finish_anywhere(const ImpairedRun* c);
// impaired_finish for output samples first..first+n-1, drawing the SNR's
// noise from g (reset to the run's seed; one per thread), out_pos untouched.
void impaired_finish_at(const ImpairedRun* c, NoiseLanes* g, int64_t first, int32_t n, double* i,
                        double* q);
// impaired_finish_at straight on kept samples (single-precision I, Q pairs,
// the sums rounded to single precision as the block path rounds them) when no
// stage after the noise is on; false, iq untouched, when one is.
bool impaired_finish_kept_at(const ImpairedRun* c, NoiseLanes* g, int64_t first, int32_t n, float* iq);
// Whether the chain up to the noise passes its input as it is (the SNR, and
// maybe the stages after it, alone; no transmit filter): the samples before
// the noise are then the PPDUs as built and zeros between them.
bool impaired_passes_ppdus(const ImpairedRun* c);
// The chain pass of such a chain straight from the PPDUs (every PPDU builder
// thread at work): each PPDU to take(context, first, n, i, q) in order, its
// power summed as the block pass sums it, and the SNR's noise variance set
// from the sums. Returns 0, -1 out of memory, or 1 when a PPDU does not lie
// where the chain's layout has it (nothing set: the block pass must run).
int32_t impaired_ppdu_pass(ImpairedRun* c, PpduSamplesFn take, void* context);
// power plus i[k]^2 + q[k]^2 of samples k = 0..n-1, added one by one in order
// of sample (the packets' power sums).
double add_sample_powers(double power, int32_t n, const double* i, const double* q);
// Sets the SNR's noise variance when pending: from the sums of a chain pass
// over every packet since the last rewind, else from a pass of its own
// (which rewinds; i and q are kSequenceBlock each). Either gives the same
// value. Returns 0, or -1 out of memory.
int32_t impaired_settle_power(ImpairedRun* c, double* i, double* q);
