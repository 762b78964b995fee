// One OFDM symbol of 80 * os samples from its coded bits (17.3.5.6 - 17.3.5.9):
// Gray mapping with K_MOD, pilots with the x^7 + x^4 + 1 polarity sequence,
// placement into a 64 * os point inverse FFT, guard interval and edge taper.
#pragma once
#include <cstdint>

// Modulation codes used as indices.
enum : int32_t { MOD_BPSK = 0, MOD_QPSK = 1, MOD_16QAM = 2, MOD_64QAM = 3 };

// The 48 data subcarrier indices (-26..26 without 0, +-7, +-21), ascending.
extern const int32_t kDataSubcarriers[48];
// The 4 pilot subcarrier indices -21, -7, 7, 21.
extern const int32_t kPilotSubcarriers[4];
// Gray-to-natural conversion: entry v is the prefix XOR of v.
extern const int32_t gray_table[256];

// Advances the pilot polarity state one step and writes p = +1/-1 count times.
// 1 when count is outside 1..8388608.
int32_t next_pilot_polarity(int32_t count, int32_t* state, int32_t* out);
// Packs N_BPSC bits per value (first bit most significant) into value_count values.
// 1 value_count outside 6..1048576; 2 unknown mod_code; 3 n_cbps too small.
int32_t pack_bits(int32_t n_cbps, const int32_t* bits, int32_t mod_code, int32_t value_count,
                  int32_t* out);
// out[i] = gray_table[in[i] & 0xFF]; in and out may be the same array. 1 on a bad count.
int32_t gray_lookup(int32_t count, const int32_t* in, int32_t* out);
// Integer I and Q constellation levels (-7..7) of each Gray-decoded value.
// 1 count outside 6..1048576; 2 unknown mod_code.
int32_t map_constellation(int32_t count, const int32_t* values, int32_t mod_code, int32_t* i_levels,
                          int32_t* q_levels);
// Levels times K_MOD of the modulation; guards as map_constellation.
int32_t scale_constellation(int32_t count, const int32_t* levels, int32_t mod_code, double* out);
// Copies count values and negates the listed entries (indices outside 0..count-1 ignored).
// 1 count outside 1..1024; 2 negate_count outside 0..count.
int32_t set_pilot_signs(int32_t count, const int32_t* in, int32_t negate_count,
                        const int32_t* negate_index, int32_t* out);
// Puts value i on subcarrier index[i] of an (base * os)-point buffer; k < 0 goes to bin M + k.
// 1 base outside 32..1024; 2 count outside 1..base; 3 os outside 1..128.
int32_t place_subcarriers(int32_t count, const double* re, const double* im, const int32_t* index,
                          int32_t base, int32_t os, double* buf_re, double* buf_im);
// Puts the pilot values into the real part of their bins; guards as place_subcarriers.
int32_t place_pilots(int32_t count, const int32_t* pilots, const int32_t* index, int32_t base,
                     int32_t os, double* buf_re);
// Moves m samples from src to dst + g (backwards, so overlap is safe) and
// copies the last g of them to dst[0..g-1]. 1 when m < 32; 2 when g is outside 16..m.
int32_t add_cyclic_prefix(int32_t m, int32_t g, double* src, double* dst);
// Tapers the first and last L/2 samples of a segment of seg_len samples
// with the inner half of the 17.3.2.5 transition window (src may equal dst).
// 1 when seg_len < 32; 2 when L is outside 1..seg_len-1.
int32_t apply_edge_window(int32_t seg_len, int32_t L, const double* src, double* dst);
// Builds one symbol at dst_i[0..80*os-1], dst_q[0..80*os-1]. Returns 0, 1
// (nothing written) when os is outside 1..128, or -1 when the inverse FFT ran
// out of memory (the samples are then undefined). n_bpsc is implied by mod_code.
int32_t build_ofdm_symbol(int32_t os, const int32_t* bits, int32_t mod_code, int32_t n_cbps,
                          int32_t n_bpsc, int32_t* pilot_state, int32_t L, double* dst_i,
                          double* dst_q);
// The 48 Gray-decoded subcarrier values (0..63) of one symbol's n_cbps coded bits.
void symbol_values(const int32_t* bits, int32_t mod_code, int32_t n_cbps, uint8_t* values);
// The m = 64 os samples of one symbol's useful part (no guard interval) from
// the values symbol_values gives, into buf_re/buf_im[0..m-1]; the pilot
// polarity advances. factor (may be null): the samples are left for the
// caller to multiply by *factor (1/m, the transform's own last step, or 1).
// Returns 0, 1 when os is outside 1..128 (nothing written), or -1 when the
// inverse FFT ran out of memory.
int32_t ofdm_useful_part(int32_t os, const uint8_t* values, int32_t mod_code, int32_t* pilot_state,
                         double* buf_re, double* buf_im, double* factor = nullptr);
// build_ofdm_symbol from the values symbol_values gives; same results.
int32_t build_ofdm_symbol_values(int32_t os, const uint8_t* values, int32_t mod_code,
                                 int32_t* pilot_state, int32_t L, double* dst_i, double* dst_q);
