#include "command_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>

#include "ofdm.h"

namespace orv::analysis {

namespace {

// A whole decimal number, the whole text.
bool read_int(const std::string& text, int& v) {
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    return r.ec == std::errc() && r.ptr == text.data() + text.size() && !text.empty();
}

// A decimal number with "." as the point, the whole text; never the locale's.
bool read_double(const std::string& text, double& v) {
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    return r.ec == std::errc() && r.ptr == text.data() + text.size() && !text.empty();
}

std::string fold(const std::string& s) {
    std::string out;
    for (char c : s)
        if (c != ' ') out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string apply_oversample(const std::string& text, Options& o) {
    int n = 0;
    if (!read_int(text, n) || n < 1 || n > 64) return "--oversample " + text + " is not a whole number from 1 to 64";
    o.oversample = n;
    return "";
}

std::string apply_sample_rate(const std::string& text, Options& o) {
    double mhz = 0;
    if (!read_double(text, mhz) || !(mhz >= 20 && mhz <= 1280))
        return "--sample-rate " + text + " is not a rate from 20 to 1280 MHz";
    o.sample_rate_hz = mhz * 1e6;
    return "";
}

std::string apply_frame(const std::string& text, Options& o) {
    const std::string f = fold(text);
    if (f == "free") o.free_format = true;
    else if (f != "802.11a") return "--frame " + text + " is not one of 802.11a, free";
    return "";
}

std::string apply_rate(const std::string& text, Options& o) {
    int r = 0;
    if (!read_int(text, r) || !evm_limit_db(r)) return "--rate " + text + " is not one of 6, 9, 12, 18, 24, 36, 48, 54";
    o.rate_mbps = r;
    return "";
}

std::string apply_symbols(const std::string& text, Options& o) {
    int n = 0;
    if (!read_int(text, n) || n < 1 || n > 100000) return "--symbols " + text + " is not a whole number from 1 to 100000";
    o.symbols = n;
    return "";
}

std::string apply_data(const std::string& text, Options& o) {
    const PatternInfo* p = pattern_by_name(text);
    if (!p) return "--data " + text + " is not one of PN9, PN15, PN19, PN20, PN23, ALL0, ALL1";
    o.expected_pattern = p->name;
    return "";
}

std::string apply_seed(const std::string& text, Options& o) {
    uint32_t v = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v, 16);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size() || v == 0 || v > 0xFFFFFF)
        return "--seed " + text + " is not a hexadecimal number from 1 to FFFFFF";
    o.expected_seed = v;
    return "";
}

std::string apply_carrier(const std::string& text, Options& o) {
    double ghz = 0;
    if (!read_double(text, ghz) || !(ghz >= 0.01 && ghz <= 300))
        return "--carrier-ghz " + text + " is not a carrier frequency from 0.01 to 300 GHz";
    o.carrier_ghz = ghz;
    return "";
}

const CommandOption kOptions[] = {
    {"oversample", nullptr, "N", "Oversampling factor of a CSV file (sampling rate = 20 MHz times it), 1 to 64",
     nullptr, "sample-rate", apply_oversample},
    {"sample-rate", nullptr, "MHz", "Sampling rate of a CSV file in MHz, 20 to 1280", nullptr, "oversample",
     apply_sample_rate},
    {"frame", "format", "FORMAT", "802.11a (preamble, SIGNAL, DATA; default) or free (DATA symbols only)", nullptr,
     nullptr, apply_frame},
    {"rate", nullptr, "MBPS", "Rate in Mbit/s of a free-format burst (6, 9, 12, 18, 24, 36, 48, 54)", nullptr,
     nullptr, apply_rate},
    {"symbols", nullptr, "N", "DATA symbols of a free-format burst (default: up to the burst end)", nullptr, nullptr,
     apply_symbols},
    {"data", nullptr, "PATTERN", "Expected payload pattern: PN9, PN15, PN19, PN20, PN23, ALL0, ALL1", nullptr,
     nullptr, apply_data},
    {"seed", nullptr, "HEX", "Expected PN seed (hexadecimal), with --data", "data", nullptr, apply_seed},
    {"carrier-ghz", nullptr, "GHZ", "Carrier frequency in GHz: each packet's frequency error also in ppm (0.01 to 300)",
     nullptr, nullptr, apply_carrier},
};

const GivenOption* find_given(const std::vector<GivenOption>& given, const char* name) {
    if (!name) return nullptr;
    const auto it = std::find_if(given.begin(), given.end(), [name](const GivenOption& g) { return g.name == name; });
    return it == given.end() ? nullptr : &*it;
}

}  // namespace

std::span<const CommandOption> command_options() { return kOptions; }

std::string parse_command_options(const std::vector<GivenOption>& given, Options& options, const std::string& path) {
    for (const GivenOption& g : given)
        if (std::none_of(std::begin(kOptions), std::end(kOptions), [&g](const CommandOption& o) { return g.name == o.name; }))
            return "--" + g.name + " is not an option of the receiver";
    for (const CommandOption& o : kOptions) {
        if (!find_given(given, o.name)) continue;
        if (find_given(given, o.excludes)) return std::string("--") + o.name + " and --" + o.excludes + " exclude each other";
        if (o.needs && !find_given(given, o.needs)) return std::string("--") + o.name + " needs --" + o.needs;
    }
    for (const CommandOption& o : kOptions)
        if (const GivenOption* g = find_given(given, o.name))
            if (std::string e = o.apply(g->text, options); !e.empty()) return e;
    if (!path.empty()) add_recording_description(path, given, options);
    if (options.free_format && !options.rate_mbps) return "--frame free needs --rate";
    return "";
}

void add_recording_description(const std::string& path, const std::vector<GivenOption>& given, Options& options) {
    if (!is_sigmf_name(path)) return;
    const RecordingDescription d = describe_sigmf(path);
    if (d.free_format && !find_given(given, "frame")) options.free_format = *d.free_format;
    if (options.free_format && d.free_format.value_or(false)) {
        if (d.rate_mbps && !find_given(given, "rate")) options.rate_mbps = d.rate_mbps;
        if (d.symbols && !find_given(given, "symbols")) options.symbols = d.symbols;
    }
    if (d.oversample && !d.has_sample_rate && !find_given(given, "oversample") && !find_given(given, "sample-rate"))
        options.oversample = d.oversample;
}

}  // namespace orv::analysis
