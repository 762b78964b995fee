// SIGNAL field of 17.3.4: RATE, LENGTH, parity, tail; rate-1/2 convolutional
// code (133, 171 octal), 48-bit interleaver, BPSK, one OFDM symbol.
#pragma once
#include <cstdint>

// The 24 SIGNAL bits in transmission order.
void signal_bits(int32_t rate_index, int32_t length, int32_t* bits24);
// Encodes count bits; state is the 7-bit register (newest bit in bit 0).
void convolutional_encode(const int32_t* in, int32_t* a, int32_t* b, int32_t* state, int32_t count);
// Code 0: A0 B0 A1 B1 ...; 1: rate 3/4; 2: rate 2/3. Returns 0, or -1 for another code.
int32_t puncture(int32_t* out, const int32_t* a, const int32_t* b, int32_t count,
                 int32_t coding_rate, int32_t* out_count);
// Position j of coded bit k after the two interleaver permutations of 17.3.5.6;
// -1 when k is outside 0..n_cbps-1 or n_cbps is below 16.
int32_t interleave_index(int32_t k, int32_t n_cbps, int32_t n_bpsc);
// Builds the SIGNAL symbol (80 * os samples) and advances the pilot state.
// Returns 0, 1 (nothing written) when os is outside 1..128, or -1 out of memory.
int32_t build_signal_symbol(int32_t os, int32_t rate_index, int32_t length, int32_t* pilot_state,
                            int32_t L, double* dst_i, double* dst_q);
