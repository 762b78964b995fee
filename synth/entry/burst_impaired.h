// The test-pattern burst of orv_11a_actual with the impairment chain of the
// packet sequences (condition/impair_chain.h), for the project's own tools
// (not exported). orv_11a_actual itself is left as it is.
#pragma once
#include <cstdint>

#include "orvasynth.h"
#include "pipeline.h"

// The burst of p synthesised and filtered as orv_11a_actual does, then: power
// amplifier (levels from the N burst samples' RMS) -> IQ imbalance -> the DC
// offset (percent of the burst's peak, as in orv_11a_actual) -> phase noise
// and carrier offset (freq_error and cfo_ppm together, over all T samples) ->
// sample clock -> multipath (one realisation) -> noise at snr_db (P: the mean
// power of the burst's samples at the channel's input; every sample gets
// noise) -> the absolute noise -> the sine interferer and the IF conversion
// (over the burst's samples on the impaired clock). Output as CallOutput
// says: a file (mode 0 AWG, 1 CSV), the whole arrays, or blocks.
// Returns what orv_11a_actual would, or ORV_INVALID with the ORV_IMP_BAD_*
// bits for bad impairments (null m: none; those bits share values with
// orv_11a_actual's, so refused, when not null, gets them alone, else 0); the
// out fields as orv_11a_actual's.
int32_t orv_11a_burst_impaired(WaveParams* p, const OrvImpairments* m, const CallOutput& out,
                               uint32_t* refused = nullptr);
