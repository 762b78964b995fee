// Rate table and burst geometry of IEEE 802.11a (17.3.2.2).
#pragma once
#include <cstdint>

// Looks up the modulation and coding of rate_index (0..7; others read as 0)
// and derives the SIGNAL LENGTH value from the DATA symbol count.
// Returns 0, or 2 when LENGTH exceeds 4095 (LENGTH is still returned).
int32_t rate_parameters(int32_t rate_index, int32_t ofdm_symbols, int32_t* mod_code,
                        int32_t* coding_rate, int32_t* n_bpsc, int32_t* n_cbps, int32_t* n_dbps,
                        int32_t* length);
