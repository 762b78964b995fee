// The two output files: the AWG waveform file (tagged header, 32-bit LE codes)
// and the CSV file of floating-point I/Q lines.
#pragma once
#include <cstdint>

struct NoiseRun;
struct FileSink;

// Where a file's samples come from: i and q hold samples 0..count-1, and from
// sample tail on each still lacks the noise that `noise` (advanced to sample
// tail) adds as the file is written, so the noise of a long gap never has to
// be stored. tail = count (noise nullptr): the arrays are complete.
struct SampleSource {
    const double* i;
    const double* q;
    int32_t count;
    int32_t tail;
    NoiseRun* noise;
    bool threads = true;  // long sources may be made on a second thread too (same bytes)
};

// The first scaled value outside -1..+1 (or NaN) of each channel among the
// samples whose noise the writer added (index -1: none), as find_round_error
// names it.
struct RoundErrors {
    int32_t i_at = -1;
    double i_value = 0.0;
    int32_t q_at = -1;
    double q_value = 0.0;
};

// The writers return kStatusOk when the whole file was written and put in
// place; kStatusWriteFailed when it could not be (the previous file at the
// path stays, nothing partial is left); kStatusNoMemory when memory ran out
// before anything was created; 1 for a negative count.
int32_t write_awg_file(const char* path, const int32_t* i_codes, const int32_t* q_codes,
                       double crest_i, double crest_q, double papr, double fs, int32_t count);
// The AWG file of a sample source: each block's codes are made as
// quantise_channel makes them (14 bits, full scale scale) just before they are
// written, so no code array exists whole; from 2^18 samples on a second
// thread makes blocks too (same bytes). The noise run goes to its end whatever
// happens to the file, and found names the round errors of the samples it
// completed; the round-error report is the caller's (find_round_error,
// report_round_error).
int32_t write_awg_stream(const char* path, const SampleSource* src, double scale, double crest_i,
                         double crest_q, double papr, double fs, RoundErrors* found);
// The CSV file of a sample source, its noise run to its end as for the AWG
// file. From 32768 lines on, a second thread formats blocks too (same bytes);
// when it cannot be had the calling thread formats them all.
int32_t write_csv_stream(const char* path, const SampleSource* src);
// Takes samples start..start+n-1 of I and Q (valid during the call only);
// false when it wants no more. Calls come in order, one at a time, from the
// calling thread or the writers' second thread; it must not throw.
using SampleBlockFn = bool (*)(void* context, int64_t start, int32_t n, const double* i,
                               const double* q);
// Hands the source's samples to take block by block, in order, each block's
// noise added first, on two threads from 2^18 samples on (the same blocks).
// The noise run goes to its end even when take refuses. Returns kStatusOk, or
// kStatusNoMemory when memory ran out before any block was handed over.
int32_t hand_over_samples(const SampleSource* src, SampleBlockFn take, void* context);
// A file written in parts, for producers that make their samples block by
// block: open (the AWG header for count samples; results as sink_open), any
// number of blocks, close (results as the writers'). An AWG block's codes are
// quantise_codes' (14 bits, full scale scale). Setting s->failed before the
// close abandons the file (the previous one stays).
int32_t awg_parts_open(const char* path, double crest_i, double crest_q, double papr, double fs,
                       int64_t count, FileSink* s);
// The header awg_parts_open writes, into a sink opened before the levels
// were known (sink_open, nothing written yet); count >= 0.
void awg_parts_header(FileSink* s, double crest_i, double crest_q, double papr, double fs, int64_t count);
void awg_parts_write(FileSink* s, const double* i, const double* q, int32_t n, double scale);
// The 8 n bytes awg_parts_write writes for n samples, into out (on any thread).
void awg_pack(const double* i, const double* q, int32_t n, double scale, unsigned char* out);
// awg_pack of n samples given as I, Q pairs in single precision (the same
// bytes as of their double values); out may be iq itself (packed in place).
void awg_pack_pairs(const float* iq, int32_t n, double scale, unsigned char* out);
// awg_pack_pairs of pairs known to need no saturation: every value finite with
// |value| <= scale (as the levels the scale came from show). The same bytes.
void awg_pack_pairs_within(const float* iq, int32_t n, double scale, unsigned char* out);
int32_t awg_parts_close(FileSink* s, const char* path);
int32_t csv_parts_open(const char* path, FileSink* s);
void csv_parts_write(FileSink* s, const double* i, const double* q, int32_t n);
int32_t csv_parts_close(FileSink* s, const char* path);
