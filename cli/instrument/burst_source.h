// The sample source of one burst record, through the library's static form.
#pragma once
#include <string>

#include "instrument.h"
#include "orvasynth.h"

namespace orv::instrument {

// Makes src hand over rec's conditioned samples (the burst on air from sample
// 0, then its gap). Returns 0, or the library's validation result with error set.
int32_t burst_source(const WaveParams& rec, SampleSource& src, std::string& error);

}  // namespace orv::instrument
