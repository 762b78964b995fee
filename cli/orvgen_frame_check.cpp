#include "orvgen_frame_check.h"

#include <algorithm>
#include <cstdlib>
#include <exception>

#include <nlohmann/json.hpp>

#include "frames.h"

namespace orv::gen {

namespace {

constexpr int kRateMbps[8] = {6, 9, 12, 18, 24, 36, 48, 54};
// Fault lines listed before the rest are only counted.
constexpr size_t kMaxFailureLines = 20;

void add_failure(FrameCheck& c, size_t& faults, const std::string& line) {
    if (faults++ < kMaxFailureLines) c.failures.push_back(line);
}

std::string packet_name(size_t k, int64_t start) {
    return "packet " + std::to_string(k + 1) + " (start " + std::to_string(start) + ")";
}

// The fault of a sent packet and the packet found at its start, or "".
std::string packet_fault(const orv::analysis::PacketResult& f, const OrvPacket& sent) {
    if (!f.decoded) return "not decoded" + (f.problem.empty() ? std::string() : ": " + f.problem);
    const int rate = sent.rate_index >= 0 && sent.rate_index < 8 ? kRateMbps[sent.rate_index] : 0;
    if (f.rate_mbps != rate)
        return "decoded at " + std::to_string(f.rate_mbps) + " Mbit/s, sent at " + std::to_string(rate);
    const auto* first = sent.psdu;
    if (f.psdu.size() != static_cast<size_t>(sent.psdu_length) || !std::equal(f.psdu.begin(), f.psdu.end(), first))
        return "PSDU differs from the one sent (" + std::to_string(f.psdu.size()) + " octets decoded, " +
               std::to_string(sent.psdu_length) + " sent)";
    return "";
}

}  // namespace

bool ends_with_fcs(const uint8_t* psdu, size_t count) {
    if (count < 5) return false;
    const uint32_t fcs = frames::fcs32(psdu, count - 4);
    const uint8_t* t = psdu + count - 4;
    return fcs == (static_cast<uint32_t>(t[0]) | static_cast<uint32_t>(t[1]) << 8 |
                   static_cast<uint32_t>(t[2]) << 16 | static_cast<uint32_t>(t[3]) << 24);
}

FrameCheck judge_frames(const std::vector<orv::analysis::PacketResult>& found, const OrvPacket* sent,
                        const int64_t* starts, size_t count, int os) {
    FrameCheck c;
    c.found = static_cast<int>(found.size());
    const int64_t tolerance = 80LL * os;
    size_t faults = 0, j = 0;
    const auto extra = [&](const orv::analysis::PacketResult& f) {
        add_failure(c, faults, "a packet at sample " + std::to_string(f.start) + " that was not sent");
    };
    for (size_t k = 0; k < count; ++k) {
        while (j < found.size() && found[j].start < starts[k] - tolerance) extra(found[j++]);
        // Of two found within reach, the nearer is the packet; the other was not sent.
        while (j + 1 < found.size() &&
               std::llabs(found[j + 1].start - starts[k]) < std::llabs(found[j].start - starts[k]))
            extra(found[j++]);
        const bool mac = ends_with_fcs(sent[k].psdu, static_cast<size_t>(sent[k].psdu_length));
        c.mac_frames += mac ? 1 : 0;
        if (j >= found.size() || std::llabs(found[j].start - starts[k]) > tolerance) {
            add_failure(c, faults, packet_name(k, starts[k]) + ": not found");
            continue;
        }
        const orv::analysis::PacketResult& f = found[j++];
        ++c.matched;
        if (const std::string fault = packet_fault(f, sent[k]); !fault.empty()) {
            add_failure(c, faults, packet_name(k, starts[k]) + ": " + fault);
            continue;
        }
        ++c.psdu_equal;
        if (mac && f.fcs_ok.value_or(false)) ++c.fcs_ok;
        else if (mac) add_failure(c, faults, packet_name(k, starts[k]) + ": the receiver found a bad FCS");
    }
    while (j < found.size()) extra(found[j++]);
    if (faults > kMaxFailureLines)
        c.failures.push_back("... and " + std::to_string(faults - kMaxFailureLines) + " more faults");
    c.pass = faults == 0;
    return c;
}

FrameCheck check_frames(const std::string& path, int os, const OrvPacket* sent, const int64_t* starts,
                        size_t count) {
    orv::analysis::Options opt;
    opt.oversample = os;
    opt.expected_packets = static_cast<int>(count);
    orv::analysis::Result r;
    try {
        r = orv::analysis::analyse_file(path, opt);
    } catch (const std::exception& e) {
        FrameCheck c = judge_frames({}, sent, starts, count, os);
        c.failures.insert(c.failures.begin(), path + " could not be read back: " + e.what());
        c.pass = false;
        return c;
    }
    FrameCheck c = judge_frames(r.packets, sent, starts, count, os);
    // The receiver's totals: its "Packets" line and the line under it that is not the table's head.
    const std::vector<orv::analysis::ReportLine> lines = orv::analysis::report_lines(r);
    for (size_t k = 0; k < lines.size(); ++k) {
        if (lines[k].text.rfind("Packets", 0) != 0) continue;
        c.summary = lines[k].text + "\n";
        if (k + 1 < lines.size() && lines[k + 1].text.find("EVM over the packets") != std::string::npos)
            c.summary += lines[k + 1].text + "\n";
        break;
    }
    return c;
}

std::string frame_check_json(const FrameCheck& c) {
    nlohmann::ordered_json j;
    j["pass"] = c.pass;
    j["found"] = c.found;
    j["matched"] = c.matched;
    j["psdu_equal"] = c.psdu_equal;
    j["mac_frames"] = c.mac_frames;
    j["fcs_ok"] = c.fcs_ok;
    j["failures"] = c.failures;
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace orv::gen
