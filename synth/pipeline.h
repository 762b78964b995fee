// The generation pipeline behind orv_11a_actual: geometry, the per-call
// arrays, synthesis, conditioning in fixed order, measurement and writing.
#pragma once
#include <cstdint>
#include <mutex>

#include "orvasynth.h"
#include "writers.h"

// Burst geometry of one record (all counts in samples at 20 MHz * os).
struct BurstGeometry {
    double fs;          // sampling rate in Hz
    int32_t preamble;   // P: 320 * os in the full format, else 0
    int32_t signal;     // S: 80 * os in the full format, else 0
    int32_t data;       // D: 80 * ofdm_symbols * os
    int32_t burst;      // N = P + S + D
    int32_t total;      // T: N, plus the truncated burst-off gap when burst_enable is 1
    int32_t transition; // L: edge-taper length, 0 without windowing
};

// Per-call sample arrays, each of `total` elements: I and Q share one block;
// work (the transmit filter's) exists only when the filter runs.
struct SampleBuffers {
    double* i;
    double* q;
    double* work;
};

// Geometry of a validated record; returns 1 when a count would not fit in int32.
int32_t burst_geometry(int32_t frame_format, int32_t burst_enable, double burst_off_time,
                       double window_tr, int32_t ofdm_symbols, int32_t os, BurstGeometry* g);
// Allocates I and Q, each zero from sample burst on (the samples before are
// the synthesis's to write), and with_work the work array (contents
// undefined). Returns 0, or 1 (all released) on failure.
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
};

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
                                   SampleBlockFn take, void* context);
// Releases the samples of orv_11a_conditioned and clears the pointers.
void free_conditioned(ConditionedSamples* c);
// Switches drawing the gap's noise while the file is written on (the
// default) or off (the whole stage stored first), so tests can compare both.
void pipeline_enable_gap_stream(bool on);
// The one lock that serialises the library's calls.
std::mutex& library_call_lock();
