// 802.11 captures (pcap and pcapng through libpcap) as PSDUs, with the
// radiotap header stripped and the FCS kept or computed.
#include <pcap/pcap.h>

#include <cerrno>
#include <cstring>

#include "frames.h"

namespace frames {

namespace {

constexpr int kLinkIeee80211 = 105;  // DLT_IEEE802_11
constexpr int kLinkRadiotap = 127;   // DLT_IEEE802_11_RADIO
constexpr size_t kMinFrame = 10;     // Frame Control, Duration and one address
constexpr uint8_t kRadiotapHasFcs = 0x10;
constexpr uint8_t kRadiotapDataPad = 0x20;

uint32_t le32(const uint8_t* p) {
    return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Radiotap header: its length and the Flags field (0 when absent), or a fault.
bool radiotap(const uint8_t* p, size_t n, size_t& length, uint8_t& flags, std::string& error) {
    if (n < 8 || p[0] != 0) {
        error = "no radiotap header (version 0, at least 8 octets)";
        return false;
    }
    length = p[2] | (size_t{p[3]} << 8);
    if (length < 8 || length > n) {
        error = "radiotap length " + std::to_string(length) + " outside the packet";
        return false;
    }
    const uint32_t present = le32(p + 4);
    size_t at = 8;
    for (uint32_t word = present; word & 0x80000000u; word = le32(p + at - 4)) {
        at += 4;  // further presence words
        if (at > length) {
            error = "radiotap presence words run past its length";
            return false;
        }
    }
    flags = 0;
    if (present & 0x2u) {  // Flags (bit 1), after TSFT (bit 0: 8 octets, 8-aligned)
        if (present & 0x1u) at = ((at + 7) & ~size_t{7}) + 8;
        if (at >= length) {
            error = "radiotap Flags field past its length";
            return false;
        }
        flags = p[at];
    }
    return true;
}

// One captured packet as a PSDU with FCS; false with a message.
bool take_packet(int link, const uint8_t* p, size_t n, CapturedFrame& frame, std::string& error) {
    bool has_fcs = false;
    if (link == kLinkRadiotap) {
        size_t length = 0;
        uint8_t flags = 0;
        if (!radiotap(p, n, length, flags, error)) return false;
        if (flags & kRadiotapDataPad) {
            error = "padding between header and body (radiotap flag 0x20) is not supported";
            return false;
        }
        has_fcs = (flags & kRadiotapHasFcs) != 0;
        p += length;
        n -= length;
    } else if (n >= kMinFrame + 4) {
        // Link type 105 does not say; a frame that ends in its own FCS has one.
        has_fcs = fcs32(p, n - 4) == le32(p + n - 4);
    }
    const size_t body = has_fcs ? (n >= 4 ? n - 4 : 0) : n;
    if (body < kMinFrame) {
        error = std::to_string(body) + " octets without FCS, too short for an 802.11 frame";
        return false;
    }
    if (body + 4 > kMaxPsduOctets) {
        error = std::to_string(body + 4) + " octets with FCS, at most " + std::to_string(kMaxPsduOctets);
        return false;
    }
    frame.psdu.assign(p, p + body);
    frame.psdu.resize(body + 4);
    if (has_fcs)
        std::memcpy(frame.psdu.data() + body, p + body, 4);
    else
        append_fcs(frame.psdu.data(), body);
    frame.fcs_appended = !has_fcs;
    return true;
}

// Reads every packet of an open capture; false with a message.
bool read_all(pcap_t* pc, const std::string& name, std::vector<CapturedFrame>& frames,
              std::string& error) {
    const int link = pcap_datalink(pc);
    if (link != kLinkIeee80211 && link != kLinkRadiotap) {
        const char* link_name = pcap_datalink_val_to_name(link);
        error = name + ": link type " + std::to_string(link) + (link_name ? std::string(" (") + link_name + ")" : "") +
                " is not 802.11 (105) or 802.11 with radiotap (127)";
        return false;
    }
    size_t octets = 0;
    for (size_t index = 1;; ++index) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int rc = pcap_next_ex(pc, &header, &data);
        if (rc == PCAP_ERROR_BREAK) break;  // end of the capture
        if (rc != 1) {
            error = name + ": packet " + std::to_string(index) + ": " + pcap_geterr(pc);
            return false;
        }
        if (header->caplen < header->len) {
            error = name + ": packet " + std::to_string(index) + " was captured short (" +
                    std::to_string(header->caplen) + " of " + std::to_string(header->len) + " octets)";
            return false;
        }
        if (frames.size() >= kMaxPackets) {
            error = name + ": more than " + std::to_string(kMaxPackets) + " packets";
            return false;
        }
        CapturedFrame frame;
        std::string why;
        if (!take_packet(link, data, header->caplen, frame, why)) {
            error = name + ": packet " + std::to_string(index) + ": " + why;
            return false;
        }
        octets += frame.psdu.size();
        if (octets > kMaxPoolOctets) {
            error = name + ": more than " + std::to_string(kMaxPoolOctets >> 20) + " MiB of frames";
            return false;
        }
        frames.push_back(std::move(frame));
    }
    if (frames.empty()) {
        error = name + ": the capture holds no packets";
        return false;
    }
    return true;
}

}  // namespace

bool read_pcap_stream(std::FILE* stream, const std::string& name, std::vector<CapturedFrame>& frames,
                      std::string& error) {
    frames.clear();
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pc = pcap_fopen_offline(stream, errbuf);
    if (pc == nullptr) {
        std::fclose(stream);
        error = name + ": not a readable capture: " + errbuf;
        return false;
    }
    const bool ok = read_all(pc, name, frames, error);
    pcap_close(pc);  // closes the stream
    if (!ok) frames.clear();
    return ok;
}

bool read_pcap_file(const std::string& path, std::vector<CapturedFrame>& frames, std::string& error) {
    uint64_t size = 0;
    if (!regular_file_size(path, size, error)) return false;
    if (size == 0) {  // (some kernel files of size 0 block when read)
        error = path + ": the file is empty";
        return false;
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    return read_pcap_stream(f, path, frames, error);
}

}  // namespace frames
