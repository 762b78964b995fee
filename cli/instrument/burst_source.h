// The sample source of one burst record, through the library's static form.
#pragma once
#include <string>

#include "instrument.h"
#include "orvasynth.h"

namespace orv::instrument {

// Makes src hand over rec's conditioned samples (the burst on air from sample
// 0, then its gap), the same noise on every run. Returns 0, or 1 with error
// set when the record's length does not fit; the library validates the rest
// on each run. Not to be run while another thread of the process calls the
// library (the noise generator's table is set outside its lock).
int32_t burst_source(const WaveParams& rec, SampleSource& src, std::string& error);

}  // namespace orv::instrument
