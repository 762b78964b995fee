// DATA field: a PN9..PN23 or constant payload mapped straight onto the data
// subcarriers, continuous across symbols (no SERVICE, scrambler, code or interleaver).
#pragma once
#include <cstdint>

// Writes count payload bits of data_pattern (0..6; others PN9) and advances state.
void generate_payload_bits(int32_t count, int32_t* bits, int32_t* state, int32_t data_pattern);
// Each returns 0, or 1 (nothing written) when count is outside 6..8388608.
int32_t pn9(int32_t count, int32_t* state, int32_t* bits);
int32_t pn15(int32_t count, int32_t* state, int32_t* bits);
int32_t pn19(int32_t count, int32_t* state, int32_t* bits);
int32_t pn20(int32_t count, int32_t* state, int32_t* bits);
int32_t pn23(int32_t count, int32_t* state, int32_t* bits);
// Builds ofdm_symbols DATA symbols into the first D samples and releases the
// FFT tables. Returns 0, 1 (nothing built) when os is outside 1..128, a count
// is negative or D is shorter than the symbols, or -1 when a symbol's inverse
// FFT ran out of memory (the field is then undefined).
int32_t build_data_field(int32_t os, int32_t pn_seed, int32_t data_pattern, int32_t ofdm_symbols,
                         int32_t rate_index, int32_t L, int32_t D, double* dst_i, double* dst_q,
                         int32_t pilot_state);
