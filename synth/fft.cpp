// Placeholder until the FFT lands.
#include "fft.h"
int32_t fft(int32_t, double*, double*, int32_t) { return 0; }
int32_t fft_radix2(int32_t, double*, double*, int32_t) { return 0; }
int32_t fft_chirp_z(int32_t, double*, double*, int32_t) { return 0; }
int32_t fft_circular_convolve(int32_t, double*, double*, double*, double*) { return 0; }
int32_t fft_release_tables() { return 0; }
int32_t fft_cached_size() { return 0; }
