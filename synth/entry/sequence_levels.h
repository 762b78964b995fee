// The levels an AWG file of a sequence states (crest factors, PAPR) and its
// full scale, summed over the samples block by block.
#pragma once
#include <cstdint>

struct SequenceLevels {
    double peak_i = 0.0, peak_q = 0.0, peak_c = 0.0;  // squared peaks
    double sum_i = 0.0, sum_q = 0.0, sum_c = 0.0;
    double scale = 0.0;  // largest absolute sample of either channel
};

// Adds n samples to the levels (the sums in a fixed order of lanes, so the
// figures do not depend on the processor's vector width).
void add_levels(const double* i, const double* q, int32_t n, SequenceLevels* m);
// add_levels of n samples held as single-precision I, Q pairs (the same figures).
void add_levels_iq(const float* iq, int32_t n, SequenceLevels* m);
