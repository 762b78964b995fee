#include "sigmf.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "file_sink.h"
#include "pipeline.h"
#include "sha512.h"

#ifndef ORVGEN_VERSION
#define ORVGEN_VERSION "unknown"
#endif

namespace orv::sigmf {

namespace {

constexpr const char* kNamespace = "orvane";
constexpr const char* kNamespaceVersion = "1.0.0";

// The record's input fields by name, as the metadata stores them.
struct DoubleField {
    const char* name;
    double WaveParams::*field;
};
struct IntField {
    const char* name;
    int32_t WaveParams::*field;
};
const DoubleField kDoubleFields[] = {
    {"burst_off_time", &WaveParams::burst_off_time}, {"window_tr", &WaveParams::window_tr},
    {"filter_cutoff", &WaveParams::filter_cutoff},   {"filter_rolloff", &WaveParams::filter_rolloff},
    {"freq_error", &WaveParams::freq_error},         {"if_freq", &WaveParams::if_freq},
    {"dc_offset_re", &WaveParams::dc_offset_re},     {"dc_offset_im", &WaveParams::dc_offset_im},
    {"noise_level", &WaveParams::noise_level},       {"sine_freq", &WaveParams::sine_freq},
    {"sine_level", &WaveParams::sine_level},
};
const IntField kIntFields[] = {
    {"frame_format", &WaveParams::frame_format}, {"burst_enable", &WaveParams::burst_enable},
    {"rate_index", &WaveParams::rate_index},     {"ofdm_symbols", &WaveParams::ofdm_symbols},
    {"pn_seed", &WaveParams::pn_seed},           {"data_pattern", &WaveParams::data_pattern},
    {"oversampling", &WaveParams::oversampling}, {"reserved", &WaveParams::reserved},
    {"filter_taps", &WaveParams::filter_taps},   {"iq_inverse", &WaveParams::iq_inverse},
    {"freq_error_enable", &WaveParams::freq_error_enable}, {"if_enable", &WaveParams::if_enable},
    {"noise_enable", &WaveParams::noise_enable}, {"sine_enable", &WaveParams::sine_enable},
};

const int kMbps[8] = {6, 9, 12, 18, 24, 36, 48, 54};
const char* const kPatterns[7] = {"PN9", "PN15", "PN19", "PN20", "PN23", "ALL 0", "ALL 1"};

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A double as JSON: an integral value as an integer (so 0.0 reads "0"), null when not finite.
nlohmann::ordered_json number(double v) {
    if (!std::isfinite(v)) return nullptr;
    if (v == std::trunc(v) && std::fabs(v) < 9007199254740992.0) return static_cast<int64_t>(v);
    return v;
}

void put_le32(unsigned char* p, uint32_t v) {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<unsigned char>(v >> (8 * k));
}

// Writes the T samples to path in the chosen type, hashing the bytes as they go.
// Returns 0, or 1 when the file could not be written (nothing partial is left).
// The data file as the conditioned samples arrive: each block converted,
// hashed and written; the file is opened with the first block.
struct DataWriter {
    std::string path;
    SampleType type;
    const ConditionedSamples* head;  // the peak, known before the first block
    std::unique_ptr<Sha512> md;
    FileSink sink{};
    bool opened = false;
    bool failed = false;
    int64_t saturated = 0;
    std::vector<unsigned char> buf;

    // Full scale of the ci16 codes: the larger channel's burst peak.
    double scale() const { return head->peak > 0.0 ? head->peak : 1.0; }

    // Removes a file opened for a call that then failed.
    void abandon() {
        if (!opened) return;
        sink.failed = true;  // the new file is removed, the previous one stays
        sink_close(&sink, path.c_str());
        opened = false;
    }

    bool open() {
        opened = true;
        md = std::make_unique<Sha512>();
        failed = !md->ok();
        if (!failed && sink_open(path.c_str(), true, &sink) != 0) {
            failed = true;
            opened = false;  // nothing to close
        }
        return !failed;
    }

    bool put(int32_t n, const double* i, const double* q) {
        if (!opened && !open()) return false;
        if (failed) return false;
        const double peak = scale();
        const size_t bytes_per_sample = type == SampleType::Cf32 ? 8 : 4;
        buf.resize(static_cast<size_t>(n) * bytes_per_sample);
        unsigned char* p = buf.data();
        for (int32_t k = 0; k < n; ++k) {
            if (type == SampleType::Cf32) {
                const float f[2] = {static_cast<float>(i[k]), static_cast<float>(q[k])};
                uint32_t u[2];
                std::memcpy(u, f, sizeof u);
                put_le32(p, u[0]);
                put_le32(p + 4, u[1]);
                p += 8;
            } else {
                bool clipped = false;
                for (const double x : {i[k], q[k]}) {
                    double v = std::nearbyint(x / peak * 32767.0);
                    if (!(v <= 32767.0 && v >= -32767.0)) {
                        v = x > 0 ? 32767.0 : (x < 0 ? -32767.0 : 0.0);
                        clipped = true;
                    }
                    const uint16_t code = static_cast<uint16_t>(static_cast<int16_t>(v));
                    *p++ = static_cast<unsigned char>(code & 0xFF);
                    *p++ = static_cast<unsigned char>(code >> 8);
                }
                saturated += clipped ? 1 : 0;
            }
        }
        const size_t len = static_cast<size_t>(p - buf.data());
        if (!md->update(buf.data(), len)) failed = true;
        sink_write(&sink, buf.data(), len);
        if (sink.failed) failed = true;
        return !failed;
    }

    // Closes the file (opening it first for a record without samples); 0
    // and the digest in hex when every byte is in place.
    int32_t finish(std::string& sha_hex) {
        if (!opened && !failed) open();
        if (!opened) return 1;
        if (failed) sink.failed = true;  // the new file is removed, the previous one stays
        if (sink_close(&sink, path.c_str()) != 0 || failed) return 1;
        if (!md->finish(sha_hex)) return 1;
        return 0;
    }
};

// The library's taker: blocks come in order, one at a time, perhaps from its
// second thread, so nothing may escape as an exception.
bool take_block(void* context, int64_t start, int32_t n, const double* i, const double* q) {
    (void)start;
    DataWriter* w = static_cast<DataWriter*>(context);
    try {
        return w->put(n, i, q);
    } catch (...) {
        w->failed = true;
        return false;
    }
}

nlohmann::ordered_json annotation(int64_t start, int64_t count, const std::string& label,
                                  const std::string& comment) {
    return {{"core:sample_start", start}, {"core:sample_count", count}, {"core:label", label},
            {"core:comment", comment}, {"core:generator", "orvgen"}};
}

// The words of the description and of the burst's signal:detail.
struct RateWords {
    const char* modulation;
    const char* mod_class;
    int order;
    const char* coding;
};
RateWords rate_words(int32_t rate_index) {
    static const RateWords kWords[8] = {
        {"BPSK", "psk", 2, "1/2"},   {"BPSK", "psk", 2, "3/4"},   {"QPSK", "psk", 4, "1/2"},
        {"QPSK", "psk", 4, "3/4"},   {"16-QAM", "qam", 16, "1/2"}, {"16-QAM", "qam", 16, "3/4"},
        {"64-QAM", "qam", 64, "2/3"}, {"64-QAM", "qam", 64, "3/4"}};
    return kWords[rate_index >= 0 && rate_index < 8 ? rate_index : 0];
}

std::string hex_upper(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", v);
    return buf;
}

std::string number_text(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    std::string s = buf;
    std::replace(s.begin(), s.end(), ',', '.');  // whatever the locale
    return s;
}

}  // namespace

const char* type_name(SampleType t) { return t == SampleType::Cf32 ? "cf32_le" : "ci16_le"; }

std::string base_name(const std::string& path) {
    const std::string l = lower(path);
    for (const char* ext : {".sigmf-data", ".sigmf-meta"}) {
        const size_t n = std::strlen(ext);
        if (l.size() > n && l.compare(l.size() - n, n, ext) == 0) return path.substr(0, path.size() - n);
    }
    return path;
}

nlohmann::ordered_json metadata(const WaveParams& rec, SampleType type, const std::string& sha512_hex,
                                const Written& w) {
    using nlohmann::ordered_json;
    BurstGeometry g{};
    burst_geometry(rec.frame_format, rec.burst_enable, rec.burst_off_time, rec.window_tr, rec.ofdm_symbols,
                   rec.oversampling, &g);
    const RateWords words = rate_words(rec.rate_index);
    const int mbps = kMbps[rec.rate_index >= 0 && rec.rate_index < 8 ? rec.rate_index : 0];
    const char* pattern = kPatterns[rec.data_pattern >= 0 && rec.data_pattern < 7 ? rec.data_pattern : 0];
    const bool full = rec.frame_format == 0;

    std::string description = "IEEE 802.11a OFDM burst, " + std::to_string(mbps) + " Mbit/s (" + words.modulation +
                              ", rate " + words.coding + "), " +
                              (full ? "full format (preamble, SIGNAL, " : "free format (") +
                              std::to_string(rec.ofdm_symbols) + " DATA symbols), " + pattern + " payload";
    if (rec.data_pattern < 5) description += ", seed " + hex_upper(static_cast<uint32_t>(rec.pn_seed));
    description += "; " + number_text(g.fs / 1e6) + " MHz (oversampling " + std::to_string(rec.oversampling) + ")";
    if (rec.burst_enable == 1) description += ", burst-off gap " + number_text(rec.burst_off_time * 1e6) + " us";
    description += "; ";
    description += type_name(type);
    if (type == SampleType::Ci16) description += " with the larger channel's burst peak at 32767";

    ordered_json global = {
        {"core:datatype", type_name(type)},
        {"core:sample_rate", number(g.fs)},
        {"core:version", "1.2.0"},
        {"core:num_channels", 1},
        {"core:description", description},
        {"core:recorder", std::string("orvgen ") + ORVGEN_VERSION},
        {"core:sha512", sha512_hex},
        {"core:extensions",
         ordered_json::array({{{"name", kNamespace}, {"version", kNamespaceVersion}, {"optional", true}},
                              {{"name", "signal"}, {"version", "1.0.0"}, {"optional", true}}})},
    };
    const std::string ns = std::string(kNamespace) + ":";
    for (const DoubleField& f : kDoubleFields) global[ns + f.name] = rec.*f.field;
    for (const IntField& f : kIntFields) global[ns + f.name] = rec.*f.field;
    global[ns + "papr"] = number(rec.papr);
    global[ns + "crest_i"] = number(rec.crest_i);
    global[ns + "crest_q"] = number(rec.crest_q);
    if (type == SampleType::Ci16) {
        global[ns + "ci16_full_scale"] = w.ci16_scale;
        global[ns + "saturated_samples"] = w.saturated;
    }

    ordered_json ann = ordered_json::array();
    const int64_t os = rec.oversampling;
    ordered_json burst = annotation(0, g.burst, "802.11a burst",
                                    std::to_string(mbps) + " Mbit/s, " + std::to_string(rec.ofdm_symbols) +
                                        " DATA symbols, " + pattern);
    burst["signal:detail"] = {{"type", "digital"},
                              {"mod_class", words.mod_class},
                              {"order", words.order},
                              {"standard", "802.11a"},
                              {"carrier_variant", "multi_carrier"},
                              {"multiplexing", "ofdm"},
                              {"channel_bw", 20000000.0}};
    if (g.burst > 0) ann.push_back(burst);
    if (full) {
        ann.push_back(annotation(0, 160 * os, "STF", "short training field (17.3.3), 10 short symbols"));
        ann.push_back(annotation(160 * os, 160 * os, "LTF", "long training field (17.3.3), guard and 2 long symbols"));
        ann.push_back(annotation(320 * os, 80 * os, "SIGNAL",
                                 "SIGNAL symbol (17.3.4), BPSK rate 1/2: RATE " + std::to_string(mbps) + " Mbit/s"));
    }
    const int64_t data_start = g.preamble + g.signal;
    for (int32_t k = 0; k < rec.ofdm_symbols; ++k)
        ann.push_back(annotation(data_start + 80 * os * k, 80 * os, "DATA " + std::to_string(k + 1),
                                 std::string("DATA symbol (17.3.5), ") + words.modulation));
    if (g.total > g.burst)
        ann.push_back(annotation(g.burst, static_cast<int64_t>(g.total) - g.burst, "gap", "burst-off gap"));

    return {{"global", global},
            {"captures", ordered_json::array({{{"core:sample_start", 0}}})},
            {"annotations", ann}};
}

int32_t write_recording(WaveParams& rec, const std::string& base, SampleType type, Written& w) {
    w = Written{};
    w.data_path = base + ".sigmf-data";
    w.meta_path = base + ".sigmf-meta";
    ConditionedSamples c;
    DataWriter data;
    data.path = w.data_path;
    data.type = type;
    data.head = &c;
    const int32_t rc = orv_11a_conditioned_blocks(&rec, &c, take_block, &data);
    if (rc != 0 && rc != ORV_LENGTH_OVERFLOW) {
        data.abandon();
        return rc;
    }
    w.samples = c.geometry.total;
    w.fs = c.geometry.fs;
    w.ci16_scale = type == SampleType::Ci16 ? data.scale() : 0.0;
    std::string sha;
    if (data.finish(sha) != 0) {
        w.failed_path = w.data_path;
        return ORV_WRITE_FAILED;
    }
    w.saturated = data.saturated;
    const std::string text = metadata(rec, type, sha, w).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    FileSink sink;
    if (sink_open(w.meta_path.c_str(), true, &sink) != 0) {
        w.failed_path = w.meta_path;
        return ORV_WRITE_FAILED;
    }
    sink_write(&sink, text.data(), text.size());
    if (sink_close(&sink, w.meta_path.c_str()) != 0) {
        w.failed_path = w.meta_path;
        return ORV_WRITE_FAILED;
    }
    return rc;
}

WaveParams read_record(const std::string& meta_path) {
    std::ifstream in(meta_path, std::ios::binary);
    if (!in) throw MetaError("cannot read " + meta_path);
    nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
    if (j.is_discarded() || !j.is_object()) throw MetaError(meta_path + " is not a JSON object");
    const auto g = j.find("global");
    if (g == j.end() || !g->is_object()) throw MetaError(meta_path + " has no \"global\" object");
    bool declared = false;
    if (auto e = g->find("core:extensions"); e != g->end() && e->is_array())
        for (const auto& x : *e)
            if (x.is_object() && x.value("name", "") == kNamespace) declared = true;
    if (!declared)
        throw MetaError(meta_path + " does not declare the \"orvane\" extension: it was not made by orvgen");
    WaveParams rec{};
    const std::string ns = std::string(kNamespace) + ":";
    for (const DoubleField& f : kDoubleFields) {
        const auto v = g->find(ns + f.name);
        if (v == g->end() || !v->is_number()) throw MetaError(meta_path + ": " + ns + f.name + " is missing or not a number");
        rec.*f.field = v->get<double>();
    }
    for (const IntField& f : kIntFields) {
        const auto v = g->find(ns + f.name);
        if (v == g->end() || !v->is_number_integer() || v->get<int64_t>() < INT32_MIN || v->get<int64_t>() > INT32_MAX)
            throw MetaError(meta_path + ": " + ns + f.name + " is missing or not a 32-bit integer");
        rec.*f.field = static_cast<int32_t>(v->get<int64_t>());
    }
    return rec;
}

}  // namespace orv::sigmf
