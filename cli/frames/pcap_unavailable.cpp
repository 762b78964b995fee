// Captures on builds without libpcap (the Windows cross-builds: Debian ships no
// libpcap for MinGW): --pcap and "pcap" in a description are refused by name.
#include <cstdio>

#include "frames.h"

namespace frames {

bool read_pcap_stream(std::FILE* stream, const std::string& name, std::vector<CapturedFrame>& frames,
                      std::string& error) {
    frames.clear();
    if (stream != nullptr) std::fclose(stream);
    error = name + ": captures cannot be read by this build (it has no libpcap)";
    return false;
}

bool read_pcap_file(const std::string& path, std::vector<CapturedFrame>& frames, std::string& error) {
    frames.clear();
    error = path + ": captures cannot be read by this build (it has no libpcap)";
    return false;
}

}  // namespace frames
