// One PPDU of 17.3.2 in samples: short and long training fields, SIGNAL and
// the coded DATA symbols, joined with the 17.3.2.5 transition window
// (adjacent fields overlap over T_TR and are added).
#pragma once
#include <cstdint>

#include "frame_coding.h"

// Where a PPDU's samples lie. The fields start at sample `lead` of its span
// (the window's ramp before the first field comes first) and the span ends
// with the ramp after the last DATA symbol.
struct PpduLayout {
    int32_t n_sym;  // DATA symbols
    int32_t core;   // (400 + 80 * n_sym) * os samples of the fields themselves
    int32_t lead;   // samples of the ramp before the fields
    int32_t span;   // lead + core + the ramp after them
};

// Transition length L in samples and the layout of a PSDU of length octets.
// L below 2 means no window. Returns 0, or 1 for a bad rate, length (1..4095),
// os (1..128) or L (0..16 * os).
int32_t ppdu_layout(const FrameRate* rate, int32_t length, int32_t os, int32_t L, PpduLayout* out);
// Scratch doubles build_ppdu needs at os.
int32_t ppdu_scratch_size(int32_t os);
// The 17.3.2.5 window's rising edge over L samples: ramp[j] =
// sin^2(pi/2 (0.5 + (j - L/2) / L)) for j = 0..2 (L/2) (nothing for L < 2).
void transition_ramp(int32_t L, double* ramp);
// Adds a field of len samples at out (its sample 0), extended cyclically and
// weighted by the transition window of L samples (ramp of transition_ramp):
// before sample 0 it continues as seg[head_to - j], after the end as
// seg[tail_from + j]. Writes out[-lead .. len + L/2 - 1] (lead as in PpduLayout).
// fresh: out[L/2 ..] holds nothing yet and is set, as 0.0 plus the weighted
// sample (the same value as added to zeros); the rising edge is always added.
void overlay_field(const double* seg_i, const double* seg_q, int32_t len, int32_t tail_from,
                   int32_t head_to, int32_t L, const double* ramp, double* out_i,
                   double* out_q, bool fresh = false);
// Writes the PPDU of psdu (length octets) at a rate with the scrambler's
// initial state (1..127) into out_i/out_q[0..layout.span-1]. scratch holds
// ppdu_scratch_size(os) doubles. Returns 0, 1 for arguments ppdu_layout
// refuses (nothing written), or -1 when the inverse FFT ran out of memory.
// values (null, or 48 * N_SYM bytes): the DATA symbols' subcarrier values
// (symbol_values), taken from there when have_values (psdu and
// scrambler_init then unused), else written there as they are coded.
int32_t build_ppdu(int32_t os, int32_t L, const FrameRate* rate, const uint8_t* psdu,
                   int32_t length, int32_t scrambler_init, double* scratch, double* out_i,
                   double* out_q, uint8_t* values = nullptr, bool have_values = false);
