// The two output files: the AWG waveform file (tagged header, 32-bit LE codes)
// and the CSV file of floating-point I/Q lines.
#pragma once
#include <cstdint>

// Returns 0 when the whole file was written, 1 otherwise (any partial regular file removed).
int32_t write_awg_file(const char* path, const int32_t* i_codes, const int32_t* q_codes,
                       double crest_i, double crest_q, double papr, double fs, int32_t count);
// Returns 0 when the whole file was written, 1 otherwise (any partial regular file removed).
int32_t write_csv_file(const char* path, const double* i, const double* q, int32_t count);
