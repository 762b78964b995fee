// Crest factors, PAPR, channel peak and 14-bit offset-binary quantisation.
#pragma once
#include <cstdint>

// Crest factors of I and Q and the PAPR, all power ratios in dB (0 dB for a
// channel without power, and all three 0 dB for count < 1). Returns 0.
int32_t measure_crest_factors(int32_t count, const double* i, const double* q, double* crest_i,
                              double* crest_q, double* papr);
// Largest absolute sample value (0.0 when count < 1; NaN never wins).
void measure_peak(const double* x, int32_t count, double* peak);
// codes[k] = trunc(((x[k] / (scale + 1e-12)) + 1) * 0.5 * (2^bits - 1)).
// A scaled value above +1 saturates to the top code, below -1 to 0, NaN to the
// zero level; the first such value per call prints the round-error line.
// work: scratch of count doubles (may be left untouched). Returns 0, or 1 when
// any value was out of range.
int32_t quantise_channel(double* work, const double* x, int32_t* codes, int32_t count,
                         double scale, int32_t bits);
// The codes of quantise_channel, without its report (made block by block by the AWG writer).
void quantise_codes(const double* x, int32_t* codes, int32_t count, double scale, int32_t bits);
// Index of the first sample whose scaled value x[k] / (scale + 1e-12) is
// outside -1..+1 or NaN (the one quantise_channel reports), with that value
// in *scaled; -1 when there is none.
int32_t find_round_error(const double* x, int32_t count, double scale, double* scaled);
// Prints quantise_channel's round-error line for that scaled value.
void report_round_error(double scale, double value);
