// The analysis result as a printed report and as JSON.
#include <algorithm>
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

std::string format_name(FileFormat f) { return f == FileFormat::Awg ? "awg" : f == FileFormat::Csv ? "csv" : "sigmf"; }

template <typename T>
nlohmann::json opt(const std::optional<T>& v) {
    if (!v) return nullptr;
    if constexpr (std::is_floating_point_v<T>) {
        if (!std::isfinite(*v)) return nullptr;
    }
    return *v;
}

}  // namespace

std::string format_report(const Result& r) {
    std::ostringstream o;
    o.imbue(std::locale::classic());
    const double fs = r.file.sample_rate_hz;
    auto us = [&](int64_t n) { return fixed(static_cast<double>(n) / fs * 1e6, 2) + " us"; };
    o << "File        " << r.file.path << "\n";
    o << "            "
      << (r.file.format == FileFormat::Awg   ? std::string("AWG waveform file")
          : r.file.format == FileFormat::Csv ? std::string("CSV sample file")
                                             : "SigMF recording (" + r.file.datatype + ")")
      << ", "
      << r.file.samples << " samples at " << mhz(fs) << " MHz (oversampling " << r.file.oversample << ", rate from the "
      << r.file.sample_rate_source << ")\n";
    if (r.file.header_papr_db)
        o << "            header PAPR " << fixed(*r.file.header_papr_db, 2) << " dB, crest I " << fixed(*r.file.header_crest_i_db, 2)
          << " dB, Q " << fixed(*r.file.header_crest_q_db, 2) << " dB: " << (*r.file.header_ok ? "match the codes" : "DIFFER from the codes")
          << "\n";
    if (r.file.clipped_codes) o << "            clipped codes: " << *r.file.clipped_codes << "\n";
    if (r.file.annotations_ok)
        o << "            annotations: " << r.file.annotations_checked << " of the burst's segments, "
          << (*r.file.annotations_ok ? "match the burst" : "DIFFER from the burst") << "\n";
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
                     (line.find("clipped codes:") != std::string::npos && r.file.clipped_codes && *r.file.clipped_codes > 0);
        else if (label == "Burst") failed = first_of_label && short_burst;
        else if (label == "SIGNAL") failed = r.signal && (!r.signal->parity_ok || r.signal->rate_mbps == 0);
        else if (label == "Payload") failed = r.payload && r.payload->bit_errors && *r.payload->bit_errors > 0;
        else if (label == "EVM") failed = first_of_label && evm_failed;
        else if (label == "DC leakage") failed = r.dc_leakage_db && *r.dc_leakage_db > -15.0;
        else if (label == "Flatness") failed = r.flatness_ok && !*r.flatness_ok;
        else if (label == "Mask") failed = !r.mask.pass;
        else if (label == "Verdict") failed = !r.pass();
        out.push_back({line, failed});
    }
    return out;
}

std::string format_json(const Result& r, int indent) {
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
    // A file name that is not UTF-8 (legal on Linux) must not stop the report.
    return j.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace orv::analysis
