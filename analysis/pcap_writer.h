// The decoded PSDUs of a file as an 802.11 capture: libpcap, link type
// IEEE802_11_RADIO, a radiotap header with the flags (FCS at the end) and the rate.
#pragma once

#include <string>

#include "analysis.h"

namespace orv::analysis {

// Writes every decoded packet of r (test-pattern bursts excepted) to path, time-stamped by
// its start in the file. False with *why set when the file cannot be written (nothing is left behind).
bool write_pcap(const std::string& path, const Result& r, std::string* why);

}  // namespace orv::analysis
