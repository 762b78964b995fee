// The packet receiver over a whole file: every packet through the stages of rx.h,
// the totals and the verdict on them.
#pragma once

#include <cstdint>
#include <vector>

#include "analysis.h"
#include "ofdm.h"

namespace orv::analysis {

// Most packets one file is analysed for; the rest are counted in a note.
constexpr int kMaxPackets = 200000;

// Every packet in the n samples of x (sampling rate 20 MHz times os), in time order.
// truncated is set when kMaxPackets were reached before the end of x. shift_hz: a carrier
// offset removed before the decimation to 20 MS/s (an offset beyond +-10 MHz at os > 1).
std::vector<PacketResult> receive_packets(const cd* x, int64_t n, int os, const Options& opt, bool* truncated,
                                          double shift_hz = 0);

// Totals of packets; expected the packets the file should hold.
PacketSummary summarise(const std::vector<PacketResult>& packets, std::optional<int> expected);

// The verdict's failures from the packets and their totals.
std::vector<std::string> packet_failures(const std::vector<PacketResult>& packets, const PacketSummary& s);

// Identifies a test pattern and its seed in demodulated bits, or checks the expected one.
PayloadResult identify_payload(const std::vector<uint8_t>& bits, const Options& opt);

}  // namespace orv::analysis
