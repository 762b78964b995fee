// Fuzz target: the waveform description reader of orvgen's frames. Any text
// must end in a plan or a message, never a crash, a hang or a leak; a small
// plan is expanded and its packets must lie in the pool with valid fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "frames.h"

namespace {

// Packets and octets of a plan, or more than the bound when larger.
bool small(const frames::WaveformPlan& plan) {
    size_t packets = 0, octets = 0;
    for (const frames::PacketPlan& e : plan.packets) {
        const size_t units = e.source == frames::Source::Capture ? e.captured.size() : 1;
        packets += units * e.repeat;
        octets += e.repeat * (e.payload_bytes + e.octets.size() + 64);
    }
    return packets <= 20000 && octets <= (size_t{16} << 20);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    frames::WaveformPlan plan;
    std::string error;
    if (!frames::plan_from_json(text, "/nonexistent-orv-fuzz", plan, error)) {
        if (error.empty()) std::abort();
        return 0;
    }
    if (plan.packets.empty() || !small(plan)) return 0;
    frames::Sequence s;
    if (!frames::expand(plan, s, error)) {
        if (error.empty()) std::abort();
        return 0;
    }
    for (const frames::Packet& p : s.packets) {
        if (p.length < 1 || p.length > frames::kMaxPsduOctets || p.offset + p.length > s.pool.size()) std::abort();
        if (p.rate_index > 7 || p.scrambler < 1 || p.scrambler > 127 || p.sequence > 4095) std::abort();
        if (p.sequence >= 0) {
            const auto b = frames::psdu(s, p);
            const uint32_t fcs = frames::fcs32(b.data(), b.size() - 4);
            for (int k = 0; k < 4; ++k)
                if (b[b.size() - 4 + k] != static_cast<uint8_t>(fcs >> (8 * k))) std::abort();
        }
    }
    return 0;
}
