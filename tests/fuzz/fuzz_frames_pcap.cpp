// Fuzz target: 802.11 captures (pcap, pcapng) read from memory through
// libpcap. Any input must end in frames or a message, never a crash, a hang
// or a leak; every frame is 14..4095 octets and ends in its FCS.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "frames.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (f == nullptr) return 0;
    std::vector<frames::CapturedFrame> got;
    std::string error;
    if (!frames::read_pcap_stream(f, "fuzz", got, error)) {
        if (error.empty() || !got.empty()) std::abort();
        return 0;
    }
    if (got.empty()) std::abort();
    for (const frames::CapturedFrame& c : got) {
        const size_t n = c.psdu.size();
        if (n < 14 || n > frames::kMaxPsduOctets) std::abort();
        const uint32_t fcs = frames::fcs32(c.psdu.data(), n - 4);
        for (int k = 0; k < 4; ++k)
            if (c.psdu[n - 4 + k] != static_cast<uint8_t>(fcs >> (8 * k)) && c.fcs_appended) std::abort();
    }
    return 0;
}
