// orvgen --check in frame mode: the written file read back through orvcheck's
// packet receiver and every packet held against the one that was sent.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "analysis.h"
#include "orvasynth.h"

namespace orv::gen {

// What the read-back found.
struct FrameCheck {
    bool pass = false;
    std::vector<std::string> failures;  // one line per fault, empty when it passed
    int found = 0;                      // packets the receiver found
    int matched = 0;                    // sent packets found at their start
    int psdu_equal = 0;                 // of those, decoded to the PSDU that was sent
    int mac_frames = 0;                 // sent packets that end with their own FCS
    int fcs_ok = 0;                     // of those, decoded with a good FCS
    std::string summary;                // the receiver's packet totals (report lines)
};

// True when psdu (count octets) ends with the 802.11 FCS of the octets before it.
bool ends_with_fcs(const uint8_t* psdu, size_t count);

// Holds the packets the receiver found against the count packets sent, whose
// first short-training samples were starts (samples of the file at 20 MHz
// times os): each sent packet must be found within one OFDM symbol of its
// start, decoded, at its rate, to its PSDU, and with a good FCS when it ends
// with one; no other packet may be found.
FrameCheck judge_frames(const std::vector<orv::analysis::PacketResult>& found, const OrvPacket* sent,
                        const int64_t* starts, size_t count, int os);

// Reads path back (at 20 MHz times os, whatever the channel) and judges it.
// A file that cannot be read or holds no burst is a failure with the reason.
FrameCheck check_frames(const std::string& path, int os, const OrvPacket* sent, const int64_t* starts,
                        size_t count);

// The check as the JSON member "check" of orvgen --json (serialised).
std::string frame_check_json(const FrameCheck& c);

}  // namespace orv::gen
