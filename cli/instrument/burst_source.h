// The sample sources of one burst record and of a packet sequence, through
// the library's static form.
#pragma once
#include <string>
#include <vector>

#include "instrument.h"
#include "orvasynth.h"

namespace orv::instrument {

// Makes src hand over rec's conditioned samples (the burst on air from sample
// 0, then its gap), the same noise on every run. Returns 0, or 1 with error
// set when the record's length does not fit; the library validates the rest
// on each run. Not to be run while another thread of the process calls the
// library (the noise generator's table is set outside its lock).
int32_t burst_source(const WaveParams& rec, SampleSource& src, std::string& error);

// Makes src hand over rec's burst through the impairment chain imp (the
// library's impaired burst), made once here and kept in memory (the chain
// holds the whole burst anyway): the same samples on every run, the peak of
// all of them announced before the first block, the burst on air for its
// length on the offset sample clock. Returns 0; or the library's result (a
// validation mask, refused getting the ORV_IMP_BAD_* bits; ORV_NO_MEMORY)
// with nothing made. Not to be run while another thread calls the library.
int32_t impaired_burst_source(const WaveParams& rec, const OrvImpairments& imp, SampleSource& src,
                              uint32_t* refused);

// Makes src hand over the sequence of packets (its settings params), each
// packet on air from its first short-training sample for its fields
// (preamble, SIGNAL, DATA; with a sample clock offset, that length on the
// offset clock), the same noise on every run. starts receives the
// packets' first samples. imp: the impairments (null: none); its arrays must
// outlive src. Returns 0, or the library's result (a validation mask, or 1
// when it could not lay them out) with error set. Not to be run while another
// thread of the process calls the library.
int32_t sequence_source(const OrvSequenceParams& params, const std::vector<OrvPacket>& packets,
                        const OrvImpairments* imp, SampleSource& src, std::vector<int64_t>& starts,
                        std::string& error);

}  // namespace orv::instrument
