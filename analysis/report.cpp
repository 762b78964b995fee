// The analysis result as a printed report and as JSON.
#include <algorithm>
#include <cstdio>
#include <cmath>
#include <locale>
#include <sstream>

#include <nlohmann/json.hpp>

#include "analysis.h"

namespace orv::analysis {

namespace {

std::string fixed(double v, int decimals) {
    std::ostringstream s;
    s.imbue(std::locale::classic());
    s.setf(std::ios::fixed);
    s.precision(decimals);
    if (std::abs(v) < 0.5 * std::pow(10.0, -decimals)) v = 0.0;  // no "-0.0"
    s << v;
    return s.str();
}

std::string hex(uint32_t v) {
    std::ostringstream s;
    s.imbue(std::locale::classic());
    s << std::uppercase << std::hex << v;
    return s.str();
}

std::string mhz(double hz) { return fixed(hz / 1e6, hz == std::floor(hz / 1e6) * 1e6 ? 0 : 3); }

std::string format_name(FileFormat f) {
    switch (f) {
        case FileFormat::Awg: return "awg";
        case FileFormat::Csv: return "csv";
        case FileFormat::Sigmf: return "sigmf";
        case FileFormat::Wv: return "wv";
        case FileFormat::Keysight: return "keysight";
    }
    return "?";
}

// The printed name of a file format.
std::string format_title(const FileResult& f) {
    switch (f.format) {
        case FileFormat::Awg: return "AWG waveform file";
        case FileFormat::Csv: return "CSV sample file";
        case FileFormat::Sigmf: return "SigMF recording (" + f.datatype + ")";
        case FileFormat::Wv: return "R&S WV file";
        case FileFormat::Keysight: return "Keysight 16-bit I/Q binary";
    }
    return "?";
}

// The lines of a WV file's or Keysight binary's own figures and markers.
void instrument_lines(std::ostream& o, const InstrumentResult& ir) {
    if (ir.checksum) o << "            checksum " << *ir.checksum << ": matches the data\n";
    o << "            level below full scale: RMS " << fixed(ir.rms_offset_db, 2) << " dB, peak "
      << fixed(ir.peak_offset_db, 2) << " dB";
    if (ir.level_offsets_ok)
        o << "; header " << fixed(*ir.stated_rms_offset_db, 2) << " dB, " << fixed(*ir.stated_peak_offset_db, 2)
          << " dB: " << (*ir.level_offsets_ok ? "match the samples" : "DIFFER from the samples");
    o << "\n";
    if (!ir.has_markers) {
        o << "            markers: none\n";
        return;
    }
    o << "            markers" << (ir.marker_file.empty() ? "" : " (" + ir.marker_file + ")") << ": "
      << ir.marker1_pulses << " marker-1 pulses, " << ir.marker2_spans << " marker-2 spans";
    if (ir.markers_ok) o << ": " << (*ir.markers_ok ? "match the packets found" : "DIFFER: " + ir.marker_problem);
    o << "\n";
}

template <typename T>
nlohmann::json opt(const std::optional<T>& v) {
    if (!v) return nullptr;
    if constexpr (std::is_floating_point_v<T>) {
        if (!std::isfinite(*v)) return nullptr;
    }
    return *v;
}

// The 17.3.9 figures over all packets: leakage, spectrum mask, CCDF.
void packets_spectrum_line(std::ostream& o, const PacketSummary& s) {
    if (!s.leakage_db && !s.mask && s.ccdf.empty()) return;
    o << "            over the packets:";
    const char* sep = " ";
    if (s.leakage_db) {
        o << sep << "worst centre-frequency leakage " << fixed(*s.leakage_db, 2) << " dB (" << s.leakage_failures << " above -15 dB)";
        sep = ", ";
    }
    if (s.mask && s.mask->margin_db) {
        o << sep << "spectrum mask margin " << fixed(*s.mask->margin_db, 2) << " dB" << (s.mask->pass ? "" : " FAIL");
        sep = ", ";
    }
    if (!s.ccdf.empty()) {
        static const char* const names[4] = {"10%", "1%", "0.1%", "0.01%"};
        o << sep << "CCDF";
        for (size_t i = 0; i < s.ccdf.size() && i < 4; ++i) o << " " << names[i] << " " << fixed(s.ccdf[i].level_db, 2) << " dB";
    }
    o << "\n";
}

// The totals and the packet table, at most kTableRows rows.
constexpr size_t kTableRows = 10000;
void packet_table(std::ostream& o, const Result& r) {
    const PacketSummary& s = r.summary;
    o << "Packets     found " << s.found << ", SIGNAL valid " << s.signal_ok << ", decoded " << s.decoded << ", FCS good "
      << s.fcs_ok << ", FCS errors " << s.fcs_errors;
    if (s.test_patterns) o << ", test patterns " << s.test_patterns;
    if (s.expected) o << ", expected " << *s.expected << ", missing " << s.missing;
    o << ", PER " << fixed(s.per, 4) << "\n";
    if (s.evm_db) o << "            EVM over the packets " << fixed(*s.evm_db, 2) << " dB";
    if (s.freq_error_hz) o << ", mean frequency error " << fixed(*s.freq_error_hz, 1) << " Hz";
    if (s.evm_db || s.freq_error_hz) o << ", spectral flatness outside the limits in " << s.flatness_failures << "\n";
    packets_spectrum_line(o, s);
    if (r.packets.empty()) return;
    char line[200];
    std::snprintf(line, sizeof line, "            %6s %10s %5s %6s %4s %5s %5s %8s %11s  %s\n", "#", "start", "Mbps", "length",
                  "scr", "FCS", "seq", "EVM dB", "freq Hz", "content");
    o << line;
    for (size_t i = 0; i < r.packets.size() && i < kTableRows; ++i) {
        const PacketResult& p = r.packets[i];
        const std::string scr = p.scrambler_init ? hex(static_cast<uint32_t>(*p.scrambler_init)) : "-";
        const std::string fcs = !p.test_pattern.empty() ? "-" : p.fcs_ok.value_or(false) ? "ok" : "BAD";
        const std::string seq = p.seq ? std::to_string(*p.seq) : "-";
        const std::string evm = p.evm_db ? fixed(*p.evm_db, 2) : "-";
        std::string content = !p.test_pattern.empty() ? "test pattern " + p.test_pattern
                              : !p.problem.empty()    ? p.problem
                              : !p.frame_type.empty() ? p.frame_type + " frame, subtype " + std::to_string(p.subtype)
                                                      : "";
        if (p.inverted) content += " (I/Q exchanged)";
        std::snprintf(line, sizeof line, "            %6zu %10lld %5d %6d %4s %5s %5s %8s %11s  %s\n", i + 1,
                      static_cast<long long>(p.start), p.rate_mbps, p.length, scr.c_str(), fcs.c_str(), seq.c_str(),
                      evm.c_str(), fixed(p.freq_error_hz, 1).c_str(), content.c_str());
        o << line;
    }
    if (r.packets.size() > kTableRows) o << "            ... " << r.packets.size() - kTableRows << " more packets (--json lists every one)\n";
}

std::string hex_bytes(const std::vector<uint8_t>& b) {
    static const char* const digits = "0123456789abcdef";
    std::string s;
    s.reserve(2 * b.size());
    for (uint8_t v : b) {
        s += digits[v >> 4];
        s += digits[v & 15];
    }
    return s;
}

// The impairment members of a packet or of the summary.
void add_impairments(nlohmann::json& e, const std::optional<double>& snr, const std::optional<double>& gain,
                     const std::optional<double>& phase, const std::optional<double>& clock,
                     const std::optional<double>& freq_ppm, const std::optional<double>& cpe,
                     const std::optional<double>& spread) {
    e["snr_db"] = opt(snr);
    e["iq_gain_db"] = opt(gain);
    e["iq_phase_deg"] = opt(phase);
    e["clock_ppm"] = opt(clock);
    e["freq_error_ppm"] = opt(freq_ppm);
    e["cpe_rms_deg"] = opt(cpe);
    e["delay_spread_ns"] = opt(spread);
}

// The measured impairments: the totals' line and a table of the packets (at most kTableRows rows).
void impairment_table(std::ostream& o, const Result& r) {
    const PacketSummary& s = r.summary;
    if (!s.snr_db && !s.clock_ppm && !s.delay_spread_ns) return;
    auto v = [](const std::optional<double>& x, int decimals) { return x ? fixed(*x, decimals) : std::string("-"); };
    o << "Impairments SNR " << v(s.snr_db, 2) << " dB, IQ gain " << v(s.iq_gain_db, 3) << " dB, IQ phase "
      << v(s.iq_phase_deg, 2) << " deg, clock " << v(s.clock_ppm, 2) << " ppm";
    if (s.freq_error_ppm) o << ", frequency " << fixed(*s.freq_error_ppm, 3) << " ppm";
    o << ", CPE " << v(s.cpe_rms_deg, 2) << " deg rms, delay spread " << v(s.delay_spread_ns, 1) << " ns\n";
    char line[200];
    std::snprintf(line, sizeof line, "            %6s %8s %10s %9s %9s %10s %8s %9s\n", "#", "SNR dB", "IQ gain dB",
                  "IQ ph deg", "clock ppm", "freq ppm", "CPE deg", "spread ns");
    o << line;
    for (size_t i = 0; i < r.packets.size() && i < kTableRows; ++i) {
        const PacketResult& p = r.packets[i];
        std::snprintf(line, sizeof line, "            %6zu %8s %10s %9s %9s %10s %8s %9s\n", i + 1, v(p.snr_db, 2).c_str(),
                      v(p.iq_gain_db, 3).c_str(), v(p.iq_phase_deg, 2).c_str(), v(p.clock_ppm, 2).c_str(),
                      v(p.freq_error_ppm, 3).c_str(), v(p.cpe_rms_deg, 2).c_str(), v(p.delay_spread_ns, 1).c_str());
        o << line;
    }
}

nlohmann::json packets_json(const Result& r, bool with_psdu) {
    nlohmann::json list = nlohmann::json::array();
    for (const PacketResult& p : r.packets) {
        nlohmann::json e = {{"start", p.start},
                            {"rate_mbps", p.rate_mbps ? nlohmann::json(p.rate_mbps) : nlohmann::json(nullptr)},
                            {"length", p.length},
                            {"signal_ok", p.signal_ok},
                            {"decoded", p.decoded},
                            {"scrambler_init", opt(p.scrambler_init)},
                            {"fcs_ok", opt(p.fcs_ok)},
                            {"seq", opt(p.seq)},
                            {"frame_type", p.frame_type.empty() ? nlohmann::json(nullptr) : nlohmann::json(p.frame_type)},
                            {"test_pattern", p.test_pattern.empty() ? nlohmann::json(nullptr) : nlohmann::json(p.test_pattern)},
                            {"evm_db", opt(p.evm_db)},
                            {"freq_error_hz", p.freq_error_hz},
                            {"flatness_ok", p.flatness_ok},
                            {"leakage_db", opt(p.leakage_db)},
                            {"problem", p.problem.empty() ? nlohmann::json(nullptr) : nlohmann::json(p.problem)}};
        add_impairments(e, p.snr_db, p.iq_gain_db, p.iq_phase_deg, p.clock_ppm, p.freq_error_ppm, p.cpe_rms_deg,
                        p.delay_spread_ns);
        if (with_psdu) e["psdu_hex"] = p.decoded && p.test_pattern.empty() ? nlohmann::json(hex_bytes(p.psdu)) : nlohmann::json(nullptr);
        list.push_back(std::move(e));
    }
    return list;
}

}  // namespace

std::string format_report(const Result& r) {
    std::ostringstream o;
    o.imbue(std::locale::classic());
    const double fs = r.file.sample_rate_hz;
    auto us = [&](int64_t n) { return fixed(static_cast<double>(n) / fs * 1e6, 2) + " us"; };
    o << "File        " << r.file.path << "\n";
    o << "            "
      << format_title(r.file) << ", "
      << r.file.samples << " samples at " << mhz(fs) << " MHz (oversampling " << r.file.oversample << ", "
      << (r.file.sample_rate_source == "assumed" ? std::string("rate assumed")
                                                 : "rate from the " + r.file.sample_rate_source)
      << ")\n";
    if (r.file.header_papr_db)
        o << "            header PAPR " << fixed(*r.file.header_papr_db, 2) << " dB, crest I " << fixed(*r.file.header_crest_i_db, 2)
          << " dB, Q " << fixed(*r.file.header_crest_q_db, 2) << " dB: " << (*r.file.header_ok ? "match the codes" : "DIFFER from the codes")
          << "\n";
    if (r.file.clipped_codes) o << "            clipped codes: " << *r.file.clipped_codes << "\n";
    if (r.file.instrument) instrument_lines(o, *r.file.instrument);
    if (r.file.annotations_ok)
        o << "            annotations: " << r.file.annotations_checked
          << (r.file.annotations_of_packets ? " of the packets' segments, " : " of the burst's segments, ")
          << (*r.file.annotations_ok ? "match" : "DIFFER from") << (r.file.annotations_of_packets ? " the packets found" : " the burst")
          << "\n";
    o << "Burst       start " << r.burst.start << ", length " << r.burst.length << " samples (" << us(r.burst.length) << "), "
      << r.burst.count << (r.burst.count == 1 ? " burst" : " bursts") << " in the file\n";
    o << "            gap " << r.burst.gap_length << " samples";
    if (r.burst.gap_length > 0)
        o << " (" << us(r.burst.gap_length) << "), level "
          << (r.burst.gap_level_db ? fixed(*r.burst.gap_level_db, 1) + " dB relative to the burst" : std::string("silent"));
    o << "\n";
    o << "Segments   ";
    for (const Segment& s : r.segments) o << " " << s.name << " " << s.start << "+" << s.length;
    o << "\n";
    if (r.signal) {
        const SignalResult& s = *r.signal;
        o << "SIGNAL      (17.3.4) RATE " << s.rate_bits << " = "
          << (s.rate_mbps ? std::to_string(s.rate_mbps) + " Mbit/s" : std::string("invalid")) << ", LENGTH " << s.length
          << ", parity " << (s.parity_ok ? "ok" : "ERROR") << ", tail " << (s.tail_ok ? "ok" : "not zero") << ", "
          << s.data_symbols << " DATA symbols\n";
    } else if (r.free_format) {
        o << "SIGNAL      none (DATA symbols only), " << r.rate_mbps << " Mbit/s, " << r.data_symbols_demodulated << " symbols\n";
    }
    if (r.payload) {
        const PayloadResult& p = *r.payload;
        o << "Payload     " << p.pattern << (p.expected ? " (expected)" : "");
        if (p.seed) o << ", seed " << hex(*p.seed);
        o << ", " << p.bits << " bits";
        if (p.bit_errors) o << ", " << *p.bit_errors << " bit errors";
        o << "\n";
    }
    if (r.evm_db) {
        o << "EVM         (17.3.9.7) " << fixed(*r.evm_db, 2) << " dB (" << fixed(*r.evm_percent, 4) << " %)";
        if (r.evm_limit_db) o << ", limit " << fixed(*r.evm_limit_db, 0) << " dB";
        o << "; pilots " << fixed(*r.evm_pilots_db, 2) << " dB\n";
        o << "            worst symbol " << r.worst_symbol << ": " << fixed(r.evm_per_symbol_db[static_cast<size_t>(r.worst_symbol)], 2)
          << " dB; worst subcarrier " << r.worst_subcarrier << ": "
          << fixed(r.evm_per_subcarrier_db[static_cast<size_t>(r.worst_subcarrier < 0 ? r.worst_subcarrier + 26 : r.worst_subcarrier + 25)], 2)
          << " dB\n";
    }
    if (r.freq_error_hz) o << "Freq error  (17.3.9.4) " << fixed(*r.freq_error_hz, 1) << " Hz\n";
    if (r.dc_leakage_db) o << "DC leakage  (17.3.9.6.1) " << fixed(*r.dc_leakage_db, 1) << " dB, limit -15 dB\n";
    if (r.flatness_ok) o << "Flatness    (17.3.9.6.2) " << (*r.flatness_ok ? "within limits" : "OUTSIDE the limits") << "\n";
    if (r.mask.margin_db)
        o << "Mask        (17.3.9.2) worst margin " << fixed(*r.mask.margin_db, 2) << " dB at " << fixed(*r.mask.worst_offset_hz / 1e6, 2)
          << " MHz (span +-" << fixed(fs / 2e6, 1) << " MHz, 100 kHz resolution)\n";
    o << "PAPR        " << fixed(r.papr_db, 2) << " dB; crest I " << fixed(r.crest_i_db, 2) << " dB, Q " << fixed(r.crest_q_db, 2) << " dB\n";
    if (!r.ccdf.empty()) {
        o << "CCDF       ";
        const char* names[4] = {"10%", "1%", "0.1%", "0.01%"};
        for (size_t i = 0; i < r.ccdf.size() && i < 4; ++i) o << " " << names[i] << " " << fixed(r.ccdf[i].level_db, 2) << " dB";
        o << "\n";
    }
    packet_table(o, r);
    impairment_table(o, r);
    for (const std::string& n : r.notes) o << "Note        " << n << "\n";
    if (r.failures.empty()) o << "Verdict     pass\n";
    else {
        o << "Verdict     FAIL\n";
        for (const std::string& f : r.failures) o << "            - " << f << "\n";
    }
    return o.str();
}

std::vector<ReportLine> report_lines(const Result& r) {
    // Which check each line shows, by its label (a continuation line keeps the label above it).
    bool short_burst = false;
    for (const std::string& f : r.failures) short_burst = short_burst || f.rfind("the burst ends after", 0) == 0;
    const bool evm_failed = r.evm_db && r.evm_limit_db && *r.evm_db > *r.evm_limit_db;
    std::vector<ReportLine> out;
    std::istringstream in(format_report(r));
    std::string line, label;
    bool first_of_label = true;
    while (std::getline(in, line)) {
        const std::string head = line.substr(0, std::min<size_t>(12, line.size()));
        const size_t end = head.find_last_not_of(' ');
        const bool continuation = end == std::string::npos;
        if (!continuation) label = head.substr(0, end + 1);
        first_of_label = !continuation;
        bool failed = false;
        if (label == "File")
            failed = (line.find("header PAPR") != std::string::npos && r.file.header_ok && !*r.file.header_ok) ||
                     (line.find("clipped codes:") != std::string::npos && r.file.clipped_codes && *r.file.clipped_codes > 0) ||
                     (r.file.instrument && line.find("DIFFER") != std::string::npos);
        else if (label == "Burst") failed = first_of_label && short_burst;
        else if (label == "SIGNAL") failed = r.signal && (!r.signal->parity_ok || r.signal->rate_mbps == 0);
        else if (label == "Payload") failed = r.payload && r.payload->bit_errors && *r.payload->bit_errors > 0;
        else if (label == "EVM") failed = first_of_label && evm_failed;
        else if (label == "DC leakage") failed = r.dc_leakage_db && *r.dc_leakage_db > -15.0;
        else if (label == "Flatness") failed = r.flatness_ok && !*r.flatness_ok;
        else if (label == "Mask") failed = !r.mask.pass;
        else if (label == "Verdict") failed = !r.pass();
        else if (label == "Packets")
            failed = first_of_label ? r.summary.fcs_errors > 0 || r.summary.missing > 0
                                    : line.find(" BAD ") != std::string::npos;
        out.push_back({line, failed});
    }
    return out;
}

std::string format_json(const Result& r, int indent, bool with_psdu) {
    using nlohmann::json;
    json j;
    j["file"] = {{"path", r.file.path},
                 {"format", format_name(r.file.format)},
                 {"sample_rate_hz", r.file.sample_rate_hz},
                 {"sample_rate_source", r.file.sample_rate_source},
                 {"samples", r.file.samples},
                 {"header_ok", opt(r.file.header_ok)},
                 {"clipped_codes", opt(r.file.clipped_codes)}};
    if (r.file.format == FileFormat::Sigmf) {
        j["file"]["datatype"] = r.file.datatype;
        j["file"]["annotations_checked"] = r.file.annotations_checked;
        j["file"]["annotations_ok"] = opt(r.file.annotations_ok);
    }
    if (const auto& ir = r.file.instrument) {
        j["file"]["instrument"] = {{"checksum", opt(ir->checksum)},
                                   {"stated_rms_offset_db", opt(ir->stated_rms_offset_db)},
                                   {"stated_peak_offset_db", opt(ir->stated_peak_offset_db)},
                                   {"rms_offset_db", ir->rms_offset_db},
                                   {"peak_offset_db", ir->peak_offset_db},
                                   {"level_offsets_ok", opt(ir->level_offsets_ok)},
                                   {"marker_file", ir->marker_file.empty() ? nlohmann::json(nullptr)
                                                                           : nlohmann::json(ir->marker_file)},
                                   {"has_markers", ir->has_markers},
                                   {"marker1_pulses", ir->marker1_pulses},
                                   {"marker2_spans", ir->marker2_spans},
                                   {"markers_ok", opt(ir->markers_ok)},
                                   {"marker_problem", ir->marker_problem}};
    }
    j["burst"] = {{"found", r.burst.found}, {"start", r.burst.start}, {"length", r.burst.length},
                  {"count", r.burst.count}, {"gap_length", r.burst.gap_length}, {"gap_level_db", opt(r.burst.gap_level_db)}};
    if (r.signal)
        j["signal"] = {{"rate_mbps", r.signal->rate_mbps ? json(r.signal->rate_mbps) : json(nullptr)},
                       {"length", r.signal->length},
                       {"parity_ok", r.signal->parity_ok},
                       {"data_symbols", r.signal->data_symbols}};
    else
        j["signal"] = nullptr;
    if (r.payload) {
        const bool known = r.payload->bit_errors.has_value();
        j["payload"] = {{"pattern", r.payload->pattern},
                        {"seed", r.payload->seed ? json(hex(*r.payload->seed)) : json(nullptr)},
                        {"bits", known ? json(r.payload->bits) : json(nullptr)},
                        {"bit_errors", opt(r.payload->bit_errors)}};
    } else {
        j["payload"] = nullptr;
    }
    j["evm_db"] = opt(r.evm_db);
    j["evm_pilots_db"] = opt(r.evm_pilots_db);
    j["evm_per_symbol_db"] = r.evm_db ? json(r.evm_per_symbol_db) : json(nullptr);
    j["evm_per_subcarrier_db"] = r.evm_db ? json(r.evm_per_subcarrier_db) : json(nullptr);
    j["freq_error_hz"] = opt(r.freq_error_hz);
    j["dc_leakage_db"] = opt(r.dc_leakage_db);
    j["flatness_ok"] = opt(r.flatness_ok);
    if (r.mask.margin_db)
        j["mask"] = {{"margin_db", *r.mask.margin_db}, {"worst_offset_mhz", *r.mask.worst_offset_hz / 1e6}, {"pass", r.mask.pass}};
    else
        j["mask"] = nullptr;
    j["papr_db"] = r.papr_db;
    json c = json::object();
    const char* names[4] = {"10%", "1%", "0.1%", "0.01%"};
    for (size_t i = 0; i < 4; ++i) c[names[i]] = i < r.ccdf.size() ? json(r.ccdf[i].level_db) : json(nullptr);
    j["ccdf_db"] = c;
    j["limits"] = {{"evm_db", opt(r.evm_limit_db)}};
    j["verdict"] = r.pass() ? "pass" : "fail";
    j["failures"] = r.failures;
    j["notes"] = r.notes;
    j["iq_inverted"] = r.iq_inverted;
    j["no_burst"] = opt(r.no_burst);
    j["packets"] = packets_json(r, with_psdu);
    const PacketSummary& s = r.summary;
    j["summary"] = {{"found", s.found}, {"signal_ok", s.signal_ok}, {"decoded", s.decoded}, {"fcs_ok", s.fcs_ok},
                    {"fcs_errors", s.fcs_errors}, {"test_patterns", s.test_patterns}, {"expected", opt(s.expected)},
                    {"missing", s.missing}, {"per", s.per}, {"evm_db", opt(s.evm_db)}, {"freq_error_hz", opt(s.freq_error_hz)},
                    {"flatness_failures", s.flatness_failures}, {"leakage_db", opt(s.leakage_db)},
                    {"leakage_failures", s.leakage_failures}};
    add_impairments(j["summary"], s.snr_db, s.iq_gain_db, s.iq_phase_deg, s.clock_ppm, s.freq_error_ppm, s.cpe_rms_deg,
                    s.delay_spread_ns);
    j["summary"]["mask_margin_db"] = s.mask ? opt(s.mask->margin_db) : json(nullptr);
    j["summary"]["mask_pass"] = s.mask ? json(s.mask->pass) : json(nullptr);
    nlohmann::json packets_ccdf;
    for (size_t i = 0; i < 4; ++i) packets_ccdf[names[i]] = i < s.ccdf.size() ? json(s.ccdf[i].level_db) : json(nullptr);
    j["summary"]["ccdf_db"] = packets_ccdf;
    // A file name that is not UTF-8 (legal on Linux) must not stop the report.
    return j.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace orv::analysis
