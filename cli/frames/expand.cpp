// A waveform plan expanded into its packet list: repeats, MAC sequence
// numbers, running PN payloads and the scrambler's steps.
#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

#include "frames.h"

namespace frames {

namespace {

// What one entry adds: packets, and octets to the pool.
struct EntrySize {
    size_t packets = 0;
    size_t octets = 0;
};

// A pattern PSDU changes from repeat to repeat (sequence number, running PN).
bool changes_per_repeat(const PacketPlan& e) {
    return e.source == Source::Pattern &&
           (e.mac_frame || (e.pattern != Pattern::All0 && e.pattern != Pattern::All1));
}

size_t pattern_psdu_octets(const PacketPlan& e) {
    return e.payload_bytes + (e.mac_frame ? kMacOverheadOctets : 0);
}

// The entry's faults that a description or the options could not have let
// through, or an empty text.
std::string entry_fault(const PacketPlan& e) {
    if (e.rate_index < 0 || e.rate_index > 7) return "rate index " + std::to_string(e.rate_index) + " outside 0..7";
    if (e.scrambler < 0 || e.scrambler > 127) return "scrambler state " + std::to_string(e.scrambler) + " outside 1..127";
    if (e.repeat < 1) return "repeat count 0";
    if (!std::isfinite(e.idle_us) || e.idle_us < 0) return "idle time not a number of at least 0";
    if (e.source == Source::Pattern) {
        const size_t n = pattern_psdu_octets(e);
        if (e.payload_bytes > kMaxPsduOctets || n < 1 || n > kMaxPsduOctets)
            return "PSDU of " + std::to_string(e.payload_bytes) + " payload octets outside 1..4095";
        if (e.seed == 0 && e.pattern != Pattern::All0 && e.pattern != Pattern::All1) return "PN seed 0";
    } else if (e.source == Source::Octets) {
        if (e.octets.empty() || e.octets.size() > kMaxPsduOctets)
            return "PSDU of " + std::to_string(e.octets.size()) + " octets outside 1..4095";
    } else {
        if (e.captured.empty()) return "a capture without packets";
        for (const CapturedFrame& f : e.captured)
            if (f.psdu.empty() || f.psdu.size() > kMaxPsduOctets) return "a captured frame outside 1..4095 octets";
    }
    return {};
}

EntrySize entry_size(const PacketPlan& e) {
    size_t units = 1, octets = 0;
    if (e.source == Source::Pattern) {
        octets = pattern_psdu_octets(e);
    } else if (e.source == Source::Octets) {
        octets = e.octets.size();
    } else {
        units = e.captured.size();
        for (const CapturedFrame& f : e.captured) octets += f.psdu.size();
    }
    EntrySize s;
    s.packets = e.repeat > kMaxPackets / units ? kMaxPackets + 1 : units * e.repeat;
    s.octets = changes_per_repeat(e) ? octets * std::min<size_t>(e.repeat, kMaxPackets + 1) : octets;
    return s;
}

// Appends count octets to the pool and returns where they start.
size_t append(std::vector<uint8_t>& pool, const uint8_t* data, size_t count) {
    const size_t at = pool.size();
    pool.insert(pool.end(), data, data + count);
    return at;
}

// The running state of the expansion.
struct Cursor {
    uint16_t sequence;
    size_t index = 0;  // packet index in the whole sequence
    std::map<std::pair<Pattern, uint32_t>, uint32_t> streams;  // PN register per pattern and seed
};

// One pattern PSDU (with MAC header and FCS when asked) at the pool's end.
size_t append_pattern_psdu(const PacketPlan& e, Cursor& c, std::vector<uint8_t>& pool) {
    const size_t at = pool.size();
    pool.resize(at + pattern_psdu_octets(e));
    uint8_t* p = pool.data() + at;
    const size_t body = e.mac_frame ? 24 : 0;
    const auto key = std::make_pair(e.pattern, e.seed);
    auto it = c.streams.try_emplace(key, e.seed).first;
    PatternStream stream{e.pattern, it->second};
    pattern_octets(stream, p + body, e.payload_bytes);
    it->second = stream.reg;
    if (e.mac_frame) {
        write_data_header(e.mac, c.sequence, p);
        append_fcs(p, 24 + e.payload_bytes);
    }
    return at;
}

Packet make_packet(const PacketPlan& e, const Cursor& c, size_t offset, size_t length) {
    Packet p;
    p.offset = offset;
    p.length = static_cast<uint16_t>(length);
    p.rate_index = static_cast<uint8_t>(e.rate_index);
    p.scrambler = static_cast<uint8_t>(e.scrambler == kScramblerStep ? 1 + c.index % 127 : e.scrambler);
    p.idle_s = e.idle_us / 1e6;
    return p;
}

// Every packet of one entry, all its repeats, onto the sequence.
void expand_entry(const PacketPlan& e, Cursor& c, Sequence& out) {
    std::vector<size_t> shared;  // offsets of the first repeat's PSDUs
    for (uint32_t r = 0; r < e.repeat; ++r) {
        if (e.source == Source::Pattern) {
            const size_t n = pattern_psdu_octets(e);
            size_t at;
            if (changes_per_repeat(e) || r == 0) {
                at = append_pattern_psdu(e, c, out.pool);
            } else {
                at = out.packets.back().offset;
            }
            Packet p = make_packet(e, c, at, n);
            if (e.mac_frame) {
                p.sequence = static_cast<int16_t>(c.sequence);
                c.sequence = static_cast<uint16_t>((c.sequence + 1) & 0x0fff);
            }
            out.packets.push_back(p);
            ++c.index;
            continue;
        }
        const size_t units = e.source == Source::Octets ? 1 : e.captured.size();
        for (size_t u = 0; u < units; ++u) {
            const std::vector<uint8_t>& bytes = e.source == Source::Octets ? e.octets : e.captured[u].psdu;
            if (r == 0) shared.push_back(append(out.pool, bytes.data(), bytes.size()));
            Packet p = make_packet(e, c, shared[u], bytes.size());
            p.fcs_appended = e.source == Source::Capture && e.captured[u].fcs_appended;
            out.packets.push_back(p);
            ++c.index;
        }
    }
}

}  // namespace

bool expand(const WaveformPlan& plan, Sequence& out, std::string& error, uint16_t first_sequence) {
    size_t packets = 0, octets = 0;
    for (size_t k = 0; k < plan.packets.size(); ++k) {
        const std::string fault = entry_fault(plan.packets[k]);
        if (!fault.empty()) {
            error = "packet entry " + std::to_string(k) + ": " + fault;
            return false;
        }
        const EntrySize s = entry_size(plan.packets[k]);
        packets += s.packets;
        octets += s.octets;
        if (packets > kMaxPackets) {
            error = "the waveform would carry more than " + std::to_string(kMaxPackets) + " packets";
            return false;
        }
        if (octets > kMaxPoolOctets) {
            error = "the waveform's PSDUs would need more than " + std::to_string(kMaxPoolOctets >> 20) +
                    " MiB";
            return false;
        }
    }
    if (packets == 0) {
        error = "no packets";
        return false;
    }
    out.globals = plan.globals;
    out.pool.clear();
    out.packets.clear();
    out.pool.reserve(octets);
    out.packets.reserve(packets);
    Cursor c{static_cast<uint16_t>(first_sequence & 0x0fff), 0, {}};
    for (const PacketPlan& e : plan.packets) expand_entry(e, c, out);
    return true;
}

}  // namespace frames
