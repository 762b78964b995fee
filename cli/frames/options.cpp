// orvgen's frame options as a waveform plan of one entry.
#include "frames.h"
#include "values.h"

namespace frames {

namespace {

// Faults carry the option's name in front.
bool refuse(std::string& error, const char* option, const std::string& what) {
    error = std::string(option) + ": " + what;
    return false;
}

// The PSDU source of the options: the pattern, or the one of file, hex, capture.
bool read_source(const FrameOptions& o, PacketPlan& e, std::string& error) {
    const int given = !o.psdu_file.empty() + !o.psdu_hex.empty() + !o.pcap.empty();
    if (given > 1) return refuse(error, "--psdu-file", "--psdu-file, --psdu-hex and --pcap exclude each other");
    if (given == 1) {
        if (!o.payload_bytes.empty())
            return refuse(error, "--payload-bytes", "applies to --data patterns, not to a given PSDU");
        const std::pair<const char*, const std::string*> mac_options[] = {
            {"--mac-frame", &o.mac_frame}, {"--addr1", &o.addr1}, {"--addr2", &o.addr2},
            {"--addr3", &o.addr3},         {"--duration", &o.duration}};
        for (const auto& [name, value] : mac_options)
            if (!value->empty()) return refuse(error, name, "applies to --data patterns; a given PSDU is sent as it is");
    }
    std::string why;
    if (!o.psdu_hex.empty()) {
        e.source = Source::Octets;
        if (!parse_hex(o.psdu_hex, e.octets, why)) return refuse(error, "--psdu-hex", why);
        if (e.octets.size() > kMaxPsduOctets)
            return refuse(error, "--psdu-hex", std::to_string(e.octets.size()) + " octets, at most 4095");
        return true;
    }
    if (!o.psdu_file.empty()) {
        e.source = Source::Octets;
        if (!read_small_file(o.psdu_file, kMaxPsduOctets, e.octets, why)) return refuse(error, "--psdu-file", why);
        if (e.octets.empty()) return refuse(error, "--psdu-file", o.psdu_file + " is empty");
        return true;
    }
    if (!o.pcap.empty()) {
        e.source = Source::Capture;
        if (!read_pcap_file(o.pcap, e.captured, why)) return refuse(error, "--pcap", why);
        return true;
    }
    return true;
}

// The MAC header options.
bool read_mac(const FrameOptions& o, MacHeader& h, std::string& error) {
    const std::pair<const std::string*, MacAddress*> addrs[] = {{&o.addr1, &h.addr1}, {&o.addr2, &h.addr2},
                                                                {&o.addr3, &h.addr3}};
    const char* names[] = {"--addr1", "--addr2", "--addr3"};
    for (int k = 0; k < 3; ++k) {
        if (addrs[k].first->empty()) continue;
        const auto a = parse_mac_address(*addrs[k].first);
        if (!a) return refuse(error, names[k], "\"" + *addrs[k].first + "\" is not an address like 02:00:00:00:00:01");
        *addrs[k].second = *a;
    }
    if (!o.duration.empty()) {
        const auto d = values::whole(o.duration);
        if (!d || *d > values::kMaxDuration) return refuse(error, "--duration", "\"" + o.duration + "\" is not 0..32767");
        h.duration = static_cast<uint16_t>(*d);
    }
    return true;
}

// The pattern payload options.
bool read_pattern(const FrameOptions& o, PacketPlan& e, std::string& error) {
    const auto pattern = parse_pattern(o.data);
    if (!pattern) return refuse(error, "--data", o.data + " is not one of " + values::kPatternList);
    e.pattern = *pattern;
    const auto seed = values::hex_seed(o.seed);
    if (!seed) return refuse(error, "--seed", "\"" + o.seed + "\" is not 1 to 8 hex digits, not 0");
    e.seed = *seed;
    if (o.mac_frame.empty() || o.mac_frame == "data") {
        e.mac_frame = true;
    } else if (o.mac_frame == "none") {
        e.mac_frame = false;
    } else {
        return refuse(error, "--mac-frame", o.mac_frame + " is not one of data, none");
    }
    if (o.payload_bytes.empty())
        return refuse(error, "--payload-bytes", "needed for a --data payload (or give --psdu-file, --psdu-hex or --pcap)");
    const auto n = values::whole(o.payload_bytes);
    const size_t overhead = e.mac_frame ? kMacOverheadOctets : 0;
    const size_t low = e.mac_frame ? 0 : 1, high = kMaxPsduOctets - overhead;
    if (!n || *n < static_cast<long long>(low) || *n > static_cast<long long>(high))
        return refuse(error, "--payload-bytes",
                      "\"" + o.payload_bytes + "\" is not " + std::to_string(low) + ".." + std::to_string(high) +
                          (e.mac_frame ? " (the PSDU adds 28 octets of MAC header and FCS, at most 4095)" : ""));
    e.payload_bytes = static_cast<size_t>(*n);
    return read_mac(o, e.mac, error);
}

}  // namespace

bool plan_from_options(const FrameOptions& o, WaveformPlan& plan, std::string& error) {
    PacketPlan e;
    const auto mbps = values::whole(o.rate);
    e.rate_index = mbps ? values::rate_index(static_cast<long>(*mbps)) : -1;
    if (e.rate_index < 0) return refuse(error, "--rate", o.rate + " is not one of " + values::kRateList);
    if (!read_source(o, e, error)) return false;
    if (e.source == Source::Pattern && !read_pattern(o, e, error)) return false;
    const auto count = values::whole(o.packets);
    if (!count || *count < 1 || *count > static_cast<long long>(kMaxPackets))
        return refuse(error, "--packets", "\"" + o.packets + "\" is not 1.." + std::to_string(kMaxPackets));
    e.repeat = static_cast<uint32_t>(*count);
    const auto idle = values::number(o.idle);
    if (!idle || *idle < 0 || *idle > values::kMaxIdleUs)
        return refuse(error, "--idle", "\"" + o.idle + "\" is not 0..1000000 microseconds");
    e.idle_us = *idle;
    if (o.scrambler_init == "step") {
        e.scrambler = kScramblerStep;
    } else {
        const auto s = values::whole(o.scrambler_init);
        if (!s || *s < 1 || *s > 127)
            return refuse(error, "--scrambler-init", "\"" + o.scrambler_init + "\" is not 1..127 or step");
        e.scrambler = static_cast<int>(*s);
    }
    plan.globals = GlobalSettings{};
    plan.packets.clear();
    plan.packets.push_back(std::move(e));
    return true;
}

}  // namespace frames
