// The 802.11 capture writer (libpcap, radiotap).
#include "pcap_writer.h"

#include <pcap/pcap.h>

#include <cmath>
#include <cstdio>
#include <vector>

namespace orv::analysis {

namespace {
constexpr uint8_t kRadiotapFlagsFcs = 0x10;  // the frame ends in its FCS

// Radiotap header (version 0, fields Flags and Rate) and the PSDU.
std::vector<uint8_t> radiotap_frame(const PacketResult& p) {
    std::vector<uint8_t> f = {0, 0, 10, 0, 0x06, 0, 0, 0, kRadiotapFlagsFcs, static_cast<uint8_t>(2 * p.rate_mbps)};
    f.insert(f.end(), p.psdu.begin(), p.psdu.end());
    return f;
}
}  // namespace

bool write_pcap(const std::string& path, const Result& r, std::string* why) {
    pcap_t* dead = pcap_open_dead(DLT_IEEE802_11_RADIO, 65535);
    if (!dead) {
        *why = "libpcap could not be set up";
        return false;
    }
    pcap_dumper_t* d = pcap_dump_open(dead, path.c_str());
    if (!d) {
        *why = pcap_geterr(dead);
        pcap_close(dead);
        return false;
    }
    const double fs = r.file.sample_rate_hz > 0 ? r.file.sample_rate_hz : 20e6;
    for (const PacketResult& p : r.packets) {
        if (!p.decoded || !p.test_pattern.empty() || p.psdu.empty()) continue;
        const std::vector<uint8_t> f = radiotap_frame(p);
        const double t = static_cast<double>(p.start) / fs;
        pcap_pkthdr h{};
        h.ts.tv_sec = static_cast<time_t>(std::floor(t));
        h.ts.tv_usec = static_cast<suseconds_t>(std::floor((t - std::floor(t)) * 1e6));
        h.caplen = h.len = static_cast<bpf_u_int32>(f.size());
        pcap_dump(reinterpret_cast<u_char*>(d), &h, f.data());
    }
    const bool ok = pcap_dump_flush(d) == 0 && !std::ferror(pcap_dump_file(d));
    pcap_dump_close(d);
    pcap_close(dead);
    if (!ok) {
        *why = "write error";
        std::remove(path.c_str());
    }
    return ok;
}

}  // namespace orv::analysis
