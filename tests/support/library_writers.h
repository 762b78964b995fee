// The writers over whole sample arrays, as the tests call them: a complete
// sample source (no noise still to add) handed to the library's stream writers.
#pragma once
#include <cstdint>

#include "writers.h"

// The AWG file of the samples i, q (count each) at full scale `scale`.
inline int32_t write_awg_samples(const char* path, const double* i, const double* q, double scale,
                                 double crest_i, double crest_q, double papr, double fs,
                                 int32_t count, bool threads = true) {
    const SampleSource src{i, q, count, count, nullptr, threads};
    RoundErrors found;
    return write_awg_stream(path, &src, scale, crest_i, crest_q, papr, fs, &found);
}

// The CSV file of the samples i, q (count each).
inline int32_t write_csv_file(const char* path, const double* i, const double* q, int32_t count,
                              bool threads = true) {
    const SampleSource src{i, q, count, count, nullptr, threads};
    return write_csv_stream(path, &src);
}
