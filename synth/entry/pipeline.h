// The generation pipeline behind orv_11a_actual: geometry, the per-call
// arrays, synthesis, conditioning in fixed order, measurement and writing.
#pragma once
#include <cstdint>
#include <mutex>

#include "geometry.h"
#include "orvasynth.h"
#include "writers.h"

// Where an impaired AWG sequence's samples are kept between passes: an array
// in 2 MB pages where the system grants them (else as kKeptMemoryFile), a
// memory file where there is one (else an array), or an array of the C library.
enum KeptStore : int32_t { kKeptHugePages, kKeptMemoryFile, kKeptArray };

// How one call may run; every choice gives the same bytes. orv_11a_actual
// uses the defaults; tests pass others to compare.
struct GenerateOptions {
    bool threads = true;     // the noise stage and the writers may use a second thread
    bool vectors = true;     // the FFT may use 256-bit vectors where the processor has them
    bool stream_gap = true;  // the burst-off gap's noise is drawn as the file is written
    bool prefault = true;    // large arrays' pages are mapped in ahead on another core
    int32_t ppdu_builders = 2;  // a sequence's PPDUs are built on at most this many threads
    int64_t value_cache_bytes = 32 << 20;  // a sequence's coded symbols kept between passes
    int64_t kept_sample_bytes = int64_t{256} << 20;  // an impaired AWG sequence's samples kept between passes
    KeptStore kept_store = kKeptHugePages;  // ... and where
};

// Per-call sample arrays, each of `total` elements: I and Q share one block;
// work (the transmit filter's) exists only when the filter runs.
struct SampleBuffers {
    double* i;
    double* q;
    double* work;
};

// Allocates I and Q, each zero from sample burst on (the samples before are
// the synthesis's to write), and with_work the work array (contents
// undefined). Returns kStatusOk, or kStatusNoMemory (all released).
int32_t allocate_buffers(int32_t total, int32_t burst, bool with_work, SampleBuffers* b);
// Releases the arrays and clears the pointers.
void free_buffers(SampleBuffers* b);

// The conditioned samples of one record, for the project's own tools (not exported).
struct ConditionedSamples {
    double* i;              // T in-phase samples after every conditioning stage
    double* q;              // T quadrature samples
    void* block;            // the one allocation holding both (free_conditioned releases it)
    BurstGeometry geometry;
    double papr, crest_i, crest_q;  // dB over the N burst samples, as in the AWG file
    double peak;            // larger of the two channels' burst peaks (the AWG scale)
    // Blocks only: the largest I*I + Q*Q of the first `held` samples, the
    // ones held before the first block (all T, or the N burst samples when
    // the gap's noise is drawn as the blocks go).
    double held_power_peak;
    int64_t held;
};

// orv_11a_actual with the given options (under the same lock, same results).
int32_t orv_11a_generate(WaveParams* p, int32_t output_mode, const char* path,
                         const GenerateOptions& options);
// Validates p as for a CSV file, synthesises and conditions it under the
// library's lock and hands back the samples instead of writing a file; the
// out fields of p are set as in output mode 0. Returns what orv_11a_actual
// would (0, 2, 1 or a validation mask); out holds samples only for 0 and 2.
int32_t orv_11a_conditioned(WaveParams* p, ConditionedSamples* out);
// As orv_11a_conditioned, but the T samples go to take (hand_over_samples)
// in blocks, in order, instead of staying whole: out holds the geometry and the measurements
// (set before the first block; i, q and block stay null). The gap's noise is
// drawn as the blocks go, so a long noisy gap is never stored. Nothing is
// handed over for a result other than 0 and 2.
int32_t orv_11a_conditioned_blocks(WaveParams* p, ConditionedSamples* out,
                                   SampleBlockFn take, void* context,
                                   const GenerateOptions& options = GenerateOptions{});
// Releases the samples of orv_11a_conditioned and clears the pointers.
void free_conditioned(ConditionedSamples* c);

// Where the samples of one validated call go: a file (keep null), the caller
// (keep, and take null: whole arrays) or take (keep and take: blocks).
struct CallOutput {
    int32_t mode;              // 0 AWG, 1 CSV
    const char* path;
    ConditionedSamples* keep;
    SampleBlockFn take;
    void* context;
};
// The pipeline of one validated call under the caller's lock; every stage's
// failure ends it with nothing written and the out fields unchanged.
// Returns the result code of orv_11a_actual.
int32_t generate(WaveParams* params, const CallOutput& out, const GenerateOptions& options);
// The last steps of a call on T = g.total conditioned samples in b (none
// after them to add): measured over the g.burst first, then written, kept
// (the arrays change hands) or handed over as out says. Returns the call's result.
int32_t finish_call(WaveParams* params, const CallOutput& out, const BurstGeometry& g, SampleBuffers* b,
                    int32_t result);
// The one lock that serialises the library's calls.
std::mutex& library_call_lock();
