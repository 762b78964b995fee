// Placeholder until the impairments land.
#include "impairments.h"
int32_t shift_frequency(int32_t, double*, double*, double, double, int32_t, double*, double*) { return 0; }
int32_t convert_to_if(int32_t, double*, double*, double, double, int32_t, double*, double*) { return 0; }
int32_t add_dc_offset(double, double, double, double*, double*) { return 0; }
int32_t add_sine_interferer(int32_t, double, double, double, double*, double*) { return 0; }
