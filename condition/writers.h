// The two output files: the AWG waveform file (tagged header, 32-bit LE codes)
// and the CSV file of floating-point I/Q lines.
#pragma once
#include <cstdint>

// Both writers return 0 when the whole file was written and put in place; 1
// when it could not be (the previous file at the path stays, nothing partial
// is left); 2 when memory ran out before anything was created.
int32_t write_awg_file(const char* path, const int32_t* i_codes, const int32_t* q_codes,
                       double crest_i, double crest_q, double papr, double fs, int32_t count);
// The AWG file of the samples themselves: each chunk's codes are made as
// quantise_channel makes them (14 bits, full scale scale) just before they are
// written, so no code array exists whole. The round-error report is the
// caller's (find_round_error, report_round_error).
int32_t write_awg_samples(const char* path, const double* i, const double* q, double scale,
                          double crest_i, double crest_q, double papr, double fs, int32_t count);
// From 32768 lines on, a second thread formats every other chunk (same
// bytes); when it cannot be had the calling thread formats them all.
int32_t write_csv_file(const char* path, const double* i, const double* q, int32_t count);
// Switches the CSV writer's second thread on (the default) or off, for tests.
void csv_enable_threads(bool on);
