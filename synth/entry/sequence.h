// The packet-sequence pipeline behind orv_11a_sequence: validation, layout,
// and the samples of the whole sequence made block by block (packets built
// one at a time, idle time as zeros), conditioned in the burst's order.
#pragma once
#include <cstdint>

#include "noise.h"
#include "orvasynth.h"
#include "pipeline.h"

// Samples per block handed from the pipeline to its consumers.
constexpr int32_t kSequenceBlock = 16384;

// Checks the settings (their size already checked), and the packets up to the
// first bad one, whose index goes to *bad_packet (-1 when none). output_bad
// adds ORV_SEQ_BAD_OUTPUT. Returns 0 or a mask with ORV_INVALID set.
int32_t validate_sequence(const OrvSequenceParams* p, const OrvPacket* packets, int32_t count,
                          bool output_bad, int32_t* bad_packet);

// What the pipeline derives from valid settings.
struct SequenceSetup {
    int32_t os;
    int32_t L;         // transition length in samples
    double fs;         // the file's sampling rate in Hz
    int64_t total;     // samples of the whole sequence
    int32_t max_span;  // samples of the longest PPDU (its window ramps included)
    bool threads;      // the next PPDUs may be built on helper threads
    int32_t builders;  // at most this many helper threads build PPDUs (1..kMaxBuilders)
    int64_t cache_bytes;  // bytes the DATA symbols' values may keep between passes
};

// Helper threads building PPDUs at most, and PPDU buffers (two per thread).
constexpr int32_t kMaxBuilders = 2;
constexpr int32_t kMaxSlots = 2 * kMaxBuilders;
// Default of SequenceSetup::cache_bytes.
constexpr int64_t kValueCacheBytes = 32 << 20;

// Derives the setup of valid settings; starts (null, or count entries) gets
// each packet's first short-training sample.
void sequence_setup(const OrvSequenceParams* p, const OrvPacket* packets, int32_t count,
                    int64_t* starts, SequenceSetup* s);

// The streaming FIR of the transmit filter: y[g] = sum_j h[j] x[g - (L-1)/2 + j]
// over the whole sequence (zeros before its start and after its end).
struct StreamFilter {
    int32_t taps;
    double* h;      // taps coefficients, reversed for the sum above
    double* win_i;  // taps - 1 + kSequenceBlock raw samples from g - (taps-1)/2 on
    double* win_q;
};

struct PacketBuilder;
struct ImpairedRun;

// The DATA symbols' subcarrier values (48 bytes a symbol) of the packets
// that fit the budget, coded in the first pass and taken in the later ones.
struct ValueCache {
    uint8_t* bytes;  // null when nothing is kept
    int64_t* at;     // per packet: its values' offset in bytes, or -1 (not kept)
    uint8_t* ready;  // per packet: 1 once its values are there
};

// The producer: where it stands in the sequence and the stages' state.
struct SequenceRun {
    const OrvSequenceParams* p;
    const OrvPacket* packets;
    int32_t count;
    SequenceSetup setup;
    int32_t next_packet;   // index of the next packet to build
    int32_t span;          // samples of the current packet's PPDU
    int32_t at;            // next sample of it to hand out
    int64_t idle_left;     // zero samples still due after it
    int64_t position;      // index of the next conditioned sample
    int32_t builders;      // helper threads building PPDUs at most (0: none)
    int32_t active;        // helper threads of the pass that runs (one unless the sequence is plain or wide_build)
    bool wide_build;       // the next passes take the filtered samples alone: every helper thread builds
    int32_t slots;         // PPDU buffers in use: packet k uses slot k % slots
    double* slot_i[kMaxSlots];  // PPDU buffers (max_span samples each)
    double* slot_q[kMaxSlots];
    const double* pkt_i;   // the PPDU being handed out
    const double* pkt_q;
    PacketBuilder* builder;  // the helper threads building the next PPDUs, or null
    double* scratch[kMaxBuilders];  // build_ppdu's scratch, one per helper thread
    ValueCache cache;
    bool filter_on;
    StreamFilter filter;
    bool primed;           // the filter's window holds its lookahead
    bool envelope_only;    // stop after the frequency error (for the DC offset's peak)
    double dc_i, dc_q;     // the DC offset's values, once measured
    bool pack_awg;         // each PPDU built is also packed as AWG bytes (plain sequences)
    double pack_scale;     // their full scale
    unsigned char* slot_bytes[kMaxSlots];  // 8 max_span bytes each, with pack_awg
    NoiseRun noise_start;  // the noise generator where the sequence begins
    NoiseRun noise;
    ImpairedRun* impaired;  // the impairment chain that sequence_next hands out, or null
};

// Allocates the producer of valid settings (noise_begin included when the
// noise runs). Returns 0, or 1 when memory ran out (nothing held).
int32_t sequence_open(SequenceRun* r, const OrvSequenceParams* p, const OrvPacket* packets,
                      int32_t count, const SequenceSetup* s);
// Releases the producer. The noise generator's table goes back to the process
// where the sequence's noise ends (complete: the last pass ran to its end) or,
// else, as it was before the call.
void sequence_close(SequenceRun* r, bool complete);
// Goes back to sample 0 with the same noise; the next PPDUs are built on
// helper threads while the current one is handed out, when they can be had
// (packet k by thread k % active: the same samples whatever the timing).
void sequence_rewind(SequenceRun* r);
// The next n (1..kSequenceBlock) conditioned samples. Returns 0, or -1 when an
// inverse FFT ran out of memory.
int32_t sequence_next(SequenceRun* r, int32_t n, double* i, double* q);
// The next n (1..kSequenceBlock) samples through the transmit filter alone
// (the impairment chain's source). Returns as sequence_next.
int32_t sequence_filtered(SequenceRun* r, int32_t n, double* i, double* q);
// Takes samples k..k+m-1 of a call's n: the PPDU's samples as built (I and Q
// exchanged as the settings say; valid during the call), or i = q = nullptr for zeros.
typedef void (*RawRunFn)(void* context, int32_t k, int32_t m, const double* i, const double* q);
// sequence_filtered's next n samples without the transmit filter (it must be
// off) handed where they lie, in runs of one PPDU or of zeros, in order.
// Returns as sequence_next.
int32_t sequence_raw_runs(SequenceRun* r, int32_t n, RawRunFn take, void* context);
// The DC offset's values from the sequence's peak envelope (a pass over it);
// the later passes add them. Returns as sequence_next.
int32_t sequence_measure_dc(SequenceRun* r, double* i, double* q);

// True when the conditioned sequence is its PPDUs and zeros as they are (no
// impairment chain, filter, frequency offset, DC offset, noise or sine): then sequence_each_ppdu
// gives every sample that is not zero.
bool sequence_is_plain(const SequenceRun* r);
// Takes one PPDU's samples; first is the index of i[0], q[0] in the sequence.
// Returns false to stop.
typedef bool (*PpduSamplesFn)(void* context, int64_t first, int32_t n, const double* i,
                              const double* q);
// Hands each PPDU as built (I and Q exchanged as the settings say, before the
// transmit filter and the later stages) to take, in order, without the idle
// zeros; for a plain sequence these are all its samples. Returns 0, -1 out of memory, or 1
// when take stopped.
int32_t sequence_each_ppdu(SequenceRun* r, PpduSamplesFn take, void* context);

// Takes one PPDU's AWG bytes (8 n for n samples from sample `first`). Returns false to stop.
typedef bool (*PpduBytesFn)(void* context, int64_t first, int32_t n, const unsigned char* bytes);
// Hands each PPDU of a plain sequence to take as the AWG bytes of full scale
// `scale`, packed on the thread that builds the PPDUs. Returns as
// sequence_each_ppdu, or -1 when the bytes' buffers cannot be had.
int32_t sequence_each_packed(SequenceRun* r, double scale, PpduBytesFn take, void* context);

// orv_11a_sequence with the given run options (helper threads, cache), for
// the project's own tests; same lock and results.
int32_t orv_11a_sequence_with(OrvSequenceParams* params, const OrvPacket* packets,
                              int32_t packet_count, int32_t output_mode, const char* path,
                              int64_t* packet_starts, const GenerateOptions& options);
// orv_11a_sequence_impaired with the given run options (helper threads, the
// impaired samples kept between passes), for the project's own tests.
int32_t orv_11a_sequence_impaired_with(OrvSequenceParams* params, const OrvImpairments* impairments,
                                       const OrvPacket* packets, int32_t packet_count,
                                       int32_t output_mode, const char* path, int64_t* packet_starts,
                                       const GenerateOptions& options);
// orv_11a_sequence_blocks with the given run options (threads, vectors), for
// the project's own tests; same lock and results.
int32_t orv_11a_sequence_blocks_with(OrvSequenceParams* params, const OrvPacket* packets,
                                     int32_t packet_count, OrvSampleBlockFn take, void* context,
                                     int64_t* packet_starts, const GenerateOptions& options);
// orv_11a_sequence_impaired_blocks with the given run options.
int32_t orv_11a_sequence_impaired_blocks_with(OrvSequenceParams* params,
                                              const OrvImpairments* impairments,
                                              const OrvPacket* packets, int32_t packet_count,
                                              OrvSampleBlockFn take, void* context,
                                              int64_t* packet_starts,
                                              const GenerateOptions& options);
