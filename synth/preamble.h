// PLCP preamble of 17.3.3: short and long training fields, 160 * os samples each.
#pragma once
#include <cstdint>

// Both return 0, 1 (nothing written) when os is outside 1..128, or -1 when
// the inverse FFT ran out of memory (the samples are then undefined).
// Ten periods of the short training sequence, tapered over L samples at the field edges.
int32_t build_short_training(double* dst_i, double* dst_q, int32_t L, int32_t os);
// Double guard interval and two long training symbols, tapered at the field edges.
int32_t build_long_training(double* dst_i, double* dst_q, int32_t L, int32_t os);
