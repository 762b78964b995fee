// R&S WV files and Keysight binaries in the receiver: which files they are,
// their reading, and their own figures and markers against what the analysis
// of their samples found.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "analysis.h"
#include "instrument_reader.h"

namespace orv::analysis {

namespace {

constexpr char kWvMagic[] = "{TYPE: SMU-WV";

std::string lower_extension(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

// DATA symbols of a PSDU of length octets at a rate in Mbit/s (17.3.5.4), 0 for an unknown rate.
int64_t data_symbols(int rate_mbps, int length) {
    const int64_t ndbps = int64_t{4} * rate_mbps;  // N_DBPS = 4 us times the rate
    if (ndbps <= 0) return 0;
    return (16 + 8 * static_cast<int64_t>(length) + 6 + ndbps - 1) / ndbps;
}

// The intervals on air the analysis found: each packet whose SIGNAL was read,
// from its first short-training sample over its fields (on a transmitter's
// clock d ppm fast, as measured, 1 + d 1e-6 times shorter); else the first burst.
std::vector<MarkerSpan> found_on_air(const Result& r) {
    std::vector<MarkerSpan> v;
    const int64_t os = std::max(1, r.file.oversample);
    for (const PacketResult& p : r.packets) {
        if (!p.signal_ok || p.rate_mbps == 0) continue;
        const int64_t nominal = (400 + 80 * data_symbols(p.rate_mbps, p.length)) * os;
        const double clock = 1.0 + p.clock_ppm.value_or(0.0) * 1e-6;
        v.push_back({p.start, std::llround(static_cast<double>(nominal) / clock)});
    }
    if (v.empty() && r.burst.found) v.push_back({r.burst.start, r.burst.length});
    return v;
}

std::string span_text(const MarkerSpan& s) { return std::to_string(s.start) + "+" + std::to_string(s.length); }

}  // namespace

InstrumentKind instrument_kind(const std::string& path) {
    const std::string ext = lower_extension(path);
    if (ext == ".wv") return InstrumentKind::Wv;
    if (ext == ".bin") return InstrumentKind::Keysight;
    std::ifstream in(path, std::ios::binary);
    char head[sizeof kWvMagic - 1] = {};
    if (in && in.read(head, sizeof head) && std::memcmp(head, kWvMagic, sizeof head) == 0) return InstrumentKind::Wv;
    return InstrumentKind::None;
}

std::string keysight_marker_path(const std::string& data_path) {
    std::filesystem::path p(data_path);
    p.replace_extension(".mkr");
    return p.string();
}

InstrumentFileInfo read_instrument_file(const std::string& path, InstrumentKind kind, double sample_rate_hz,
                                        SampleSink& sink, std::string& marker_file) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ReadError("cannot open " + path);
    marker_file.clear();
    if (kind == InstrumentKind::Wv) return read_wv(in, sink);
    const std::string mkr = keysight_marker_path(path);
    std::error_code ec;
    if (mkr == path || !std::filesystem::is_regular_file(mkr, ec)) return read_keysight(in, nullptr, sample_rate_hz, sink);
    std::ifstream markers(mkr, std::ios::binary);
    if (!markers) throw ReadError("cannot open the marker file " + mkr);
    marker_file = mkr;
    try {
        return read_keysight(in, &markers, sample_rate_hz, sink);
    } catch (const ReadError& e) {
        throw ReadError(std::string(e.what()) + " (marker file " + mkr + ")");
    }
}

std::string compare_markers(const std::vector<MarkerSpan>& marker1, const std::vector<MarkerSpan>& marker2,
                            const std::vector<MarkerSpan>& on_air, int64_t tol) {
    auto near = [tol](int64_t a, int64_t b) { return std::llabs(a - b) <= tol; };
    if (marker1.size() != on_air.size())
        return std::to_string(marker1.size()) + " marker-1 pulses for " + std::to_string(on_air.size()) +
               (on_air.size() == 1 ? " burst or packet found" : " bursts or packets found");
    for (size_t k = 0; k < on_air.size(); ++k)
        if (!near(marker1[k].start, on_air[k].start))
            return "marker-1 pulse " + std::to_string(k) + " at sample " + std::to_string(marker1[k].start) +
                   ", the packet found starts at " + std::to_string(on_air[k].start);
    // Marker 2: each span covers a run of intervals, from the first's start to the last's end.
    size_t next = 0;
    for (const MarkerSpan& s : marker2) {
        if (next >= on_air.size() || !near(s.start, on_air[next].start))
            return "marker-2 span " + span_text(s) + " starts where no packet found starts";
        const int64_t end = s.start + s.length;
        while (next + 1 < on_air.size() && on_air[next + 1].start < end - tol) ++next;
        const int64_t found_end = on_air[next].start + on_air[next].length;
        if (!near(end, found_end))
            return "marker-2 span " + span_text(s) + " ends at " + std::to_string(end) + ", the packet found at " +
                   std::to_string(found_end);
        ++next;
    }
    if (next != on_air.size())
        return "packet " + span_text(on_air[next]) + " found has no marker-2 span";
    return "";
}

void check_instrument(const InstrumentFileInfo& info, const std::string& marker_file, Result& r) {
    InstrumentResult ir;
    ir.checksum = info.stated_checksum;
    ir.stated_rms_offset_db = info.rms_offset_db;
    ir.stated_peak_offset_db = info.peak_offset_db;
    ir.rms_offset_db = info.measured_rms_offset_db;
    ir.peak_offset_db = info.measured_peak_offset_db;
    if (info.rms_offset_db || info.peak_offset_db) {
        ir.level_offsets_ok = level_offsets_agree(info);
        if (!*ir.level_offsets_ok) r.failures.push_back("the header's level offsets differ from the samples");
    }
    ir.marker_file = marker_file;
    ir.has_markers = info.has_markers;
    ir.marker1_pulses = static_cast<int64_t>(info.marker1.size());
    ir.marker2_spans = static_cast<int64_t>(info.marker2.size());
    const std::vector<MarkerSpan> on_air = found_on_air(r);
    if (info.has_markers && !on_air.empty()) {
        // An edge may lie up to a guard interval (0.8 us) from where the receiver finds it.
        ir.marker_problem = compare_markers(info.marker1, info.marker2, on_air, 16 * std::max(1, r.file.oversample));
        ir.markers_ok = ir.marker_problem.empty();
        if (!*ir.markers_ok) r.failures.push_back("markers differ from the packets found: " + ir.marker_problem);
    }
    r.file.instrument = ir;
}

}  // namespace orv::analysis
