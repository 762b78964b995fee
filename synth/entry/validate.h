// Range checks of a WaveParams record before anything is allocated.
#pragma once
#include <cstdint>
#include "orvasynth.h"

// Checks every in field of p and the output mode; returns 0 or a bit mask
// with bit 31 set and one bit per field at fault. Reads no out field.
int32_t validate_params(const WaveParams* p, int32_t output_mode);
