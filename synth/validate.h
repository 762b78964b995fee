// Range checks of a WaveParams record before anything is allocated.
#pragma once
#include <cstdint>
#include "orvasynth.h"

// Checks every in field of p and the output mode; returns 0 or a bit mask
// with bit 31 set and one bit per field at fault. Reads no out field.
int32_t validate_params(const WaveParams* p, int32_t output_mode);

// Samples per raised-cosine symbol, P = (20e6 * os) / (2 * cutoff), truncated;
// saturates at INT32_MAX (and 0 for a non-positive or NaN ratio) instead of overflowing.
int32_t samples_per_symbol(int32_t oversampling, double filter_cutoff);
