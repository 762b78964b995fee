// Placeholder until the noise generator lands.
#include "noise.h"
int32_t add_gaussian_noise(int32_t, double, double*, double*) { return 0; }
