// Impairments over the burst samples: frequency error, DC offset, sine interferer, IF conversion.
#pragma once
#include <cstdint>

// Multiplies sample i by the phasor of f*i/fs (direction -1: shift up by f).
// Returns 0; 1 count outside 6..1048576; 2 fs <= 0 or > 200 MHz; 3 bad direction.
int32_t shift_frequency(int32_t count, double* i, double* q, double freq_hz, double fs,
                        int32_t direction, double* out_i, double* out_q);
// Real part of the frequency-shifted samples on I, Q set to 0. Results as shift_frequency.
int32_t convert_to_if(int32_t count, double* i, double* q, double freq_hz, double fs,
                      int32_t direction, double* out_i, double* out_q);
// Adds re_pct and im_pct percent of the burst's peak envelope to I and Q.
int32_t add_dc_offset(double count, double re_pct, double im_pct, double* i, double* q);
// Adds a complex tone of absolute level (dB, 0 dB = amplitude 1) at freq_hz.
int32_t add_sine_interferer(int32_t count, double level_db, double freq_hz, double fs, double* i,
                            double* q);
