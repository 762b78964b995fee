#include "sigmf.h"

#include <charconv>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "cli_common.h"
#include "burst_impaired.h"
#include "file_sink.h"
#include "noise.h"
#include "pipeline.h"
#include "sha512.h"

#ifndef ORVGEN_VERSION
#define ORVGEN_VERSION "unknown"
#endif

namespace orv::sigmf {

namespace {

constexpr const char* kNamespace = "orvane";
constexpr const char* kNamespaceVersion = "1.0.0";

// A record's input fields by name, as the metadata stores them.
template <class Record>
struct DoubleField {
    const char* name;
    double Record::*field;
};
template <class Record>
struct IntField {
    const char* name;
    int32_t Record::*field;
};
const DoubleField<WaveParams> kDoubleFields[] = {
    {"burst_off_time", &WaveParams::burst_off_time}, {"window_tr", &WaveParams::window_tr},
    {"filter_cutoff", &WaveParams::filter_cutoff},   {"filter_rolloff", &WaveParams::filter_rolloff},
    {"freq_error", &WaveParams::freq_error},         {"if_freq", &WaveParams::if_freq},
    {"dc_offset_re", &WaveParams::dc_offset_re},     {"dc_offset_im", &WaveParams::dc_offset_im},
    {"noise_level", &WaveParams::noise_level},       {"sine_freq", &WaveParams::sine_freq},
    {"sine_level", &WaveParams::sine_level},
};
const IntField<WaveParams> kIntFields[] = {
    {"frame_format", &WaveParams::frame_format}, {"burst_enable", &WaveParams::burst_enable},
    {"rate_index", &WaveParams::rate_index},     {"ofdm_symbols", &WaveParams::ofdm_symbols},
    {"pn_seed", &WaveParams::pn_seed},           {"data_pattern", &WaveParams::data_pattern},
    {"oversampling", &WaveParams::oversampling}, {"reserved", &WaveParams::reserved},
    {"filter_taps", &WaveParams::filter_taps},   {"iq_inverse", &WaveParams::iq_inverse},
    {"freq_error_enable", &WaveParams::freq_error_enable}, {"if_enable", &WaveParams::if_enable},
    {"noise_enable", &WaveParams::noise_enable}, {"sine_enable", &WaveParams::sine_enable},
};

using cli::json_number;
using cli::lower;

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
    const ConditionedSamples* head;  // the peak, known before the first block (null: fixed_peak)
    double fixed_peak = 0.0;          // the peak of a sequence, found by a first pass
    std::unique_ptr<Sha512> md;
    FileSink sink{};
    bool opened = false;
    bool failed = false;
    int64_t saturated = 0;
    std::vector<unsigned char> buf;

    // Full scale of the ci16 codes: the larger channel's burst peak.
    double scale() const {
        const double peak = head != nullptr ? head->peak : fixed_peak;
        return peak > 0.0 ? peak : 1.0;
    }

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

namespace {

// The global fields that every recording's metadata starts with.
nlohmann::ordered_json core_global(SampleType type, double sample_rate_hz, const std::string& description,
                                   const std::string& sha512_hex) {
    using nlohmann::ordered_json;
    return {
        {"core:datatype", type_name(type)},
        {"core:sample_rate", json_number(sample_rate_hz)},
        {"core:version", "1.2.0"},
        {"core:num_channels", 1},
        {"core:description", description},
        {"core:recorder", std::string("orvgen ") + ORVGEN_VERSION},
        {"core:sha512", sha512_hex},
        {"core:extensions",
         ordered_json::array({{{"name", kNamespace}, {"version", kNamespaceVersion}, {"optional", true}},
                              {{"name", "signal"}, {"version", "1.0.0"}, {"optional", true}}})},
    };
}

// Writes meta as the text of w.meta_path; 0, or ORV_WRITE_FAILED with w.failed_path set.
int32_t write_metadata(const nlohmann::ordered_json& meta, Written& w) {
    const std::string text = meta.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
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
    return 0;
}

// Closes the data file and writes the metadata that make_meta builds from its
// SHA-512 (hex); 0, or ORV_WRITE_FAILED with w.failed_path set.
template <class MakeMeta>
int32_t finish_recording(DataWriter& data, SampleType type, const MakeMeta& make_meta, Written& w) {
    w.ci16_scale = type == SampleType::Ci16 ? data.scale() : 0.0;
    std::string sha;
    if (data.finish(sha) != 0) {
        w.failed_path = w.data_path;
        return ORV_WRITE_FAILED;
    }
    w.saturated = data.saturated;
    return write_metadata(make_meta(sha), w);
}

}  // namespace

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
    const int mbps = cli::kRateMbps[rec.rate_index >= 0 && rec.rate_index < 8 ? rec.rate_index : 0];
    const char* pattern = cli::kPatternNames[rec.data_pattern >= 0 && rec.data_pattern < 7 ? rec.data_pattern : 0];
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

    ordered_json global = core_global(type, g.fs, description, sha512_hex);
    const std::string ns = std::string(kNamespace) + ":";
    for (const DoubleField<WaveParams>& f : kDoubleFields) global[ns + f.name] = rec.*f.field;
    for (const IntField<WaveParams>& f : kIntFields) global[ns + f.name] = rec.*f.field;
    global[ns + "papr"] = json_number(rec.papr);
    global[ns + "crest_i"] = json_number(rec.crest_i);
    global[ns + "crest_q"] = json_number(rec.crest_q);
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

// The "impairments" object of a recording's metadata.
nlohmann::ordered_json impairments_json(const OrvImpairments& m);

namespace {

// The annotations' samples moved to a clock ppm fast (sample n at n / (1 + ppm 1e-6),
// the nearest), within the recording's total samples.
void on_impaired_clock(double ppm, int64_t total, nlohmann::ordered_json& annotations) {
    const double ratio = 1.0 + ppm * 1e-6;
    const auto moved = [&](int64_t n) { return std::min(total, static_cast<int64_t>(std::llround(n / ratio))); };
    for (nlohmann::ordered_json& a : annotations) {
        const int64_t start = a["core:sample_start"].get<int64_t>();
        const int64_t end = start + a["core:sample_count"].get<int64_t>();
        a["core:sample_start"] = moved(start);
        a["core:sample_count"] = moved(end) - moved(start);
    }
}

}  // namespace

int32_t write_recording(WaveParams& rec, const std::string& base, SampleType type, Written& w,
                        const OrvImpairments* impairments, uint32_t* refused) {
    w = Written{};
    w.data_path = base + ".sigmf-data";
    w.meta_path = base + ".sigmf-meta";
    ConditionedSamples c;
    DataWriter data;
    data.path = w.data_path;
    data.type = type;
    data.head = &c;
    const int32_t rc = impairments == nullptr
                           ? orv_11a_conditioned_blocks(&rec, &c, take_block, &data)
                           : orv_11a_burst_impaired(&rec, impairments, CallOutput{1, nullptr, &c, take_block, &data},
                                                    refused);
    if (rc != 0 && rc != ORV_LENGTH_OVERFLOW) {
        data.abandon();
        return rc;
    }
    w.samples = c.geometry.total;
    w.fs = c.geometry.fs;
    const auto meta = [&](const std::string& sha) {
        nlohmann::ordered_json j = metadata(rec, type, sha, w);
        if (impairments == nullptr) return j;
        j["global"][std::string(kNamespace) + ":impairments"] = impairments_json(*impairments);
        if (impairments->clock_ppm != 0.0) on_impaired_clock(impairments->clock_ppm, w.samples, j["annotations"]);
        return j;
    };
    if (finish_recording(data, type, meta, w) != 0) return ORV_WRITE_FAILED;
    return rc;
}

namespace {

// The "global" object of a metadata file orvgen wrote. Throws MetaError.
nlohmann::json read_global(const std::string& meta_path) {
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
    return std::move(*g);
}

}  // namespace

WaveParams read_record(const std::string& meta_path) {
    const nlohmann::json global = read_global(meta_path);
    const nlohmann::json* g = &global;
    WaveParams rec{};
    const std::string ns = std::string(kNamespace) + ":";
    for (const DoubleField<WaveParams>& f : kDoubleFields) {
        const auto v = g->find(ns + f.name);
        if (v == g->end() || !v->is_number()) throw MetaError(meta_path + ": " + ns + f.name + " is missing or not a number");
        rec.*f.field = v->get<double>();
    }
    for (const IntField<WaveParams>& f : kIntFields) {
        const auto v = g->find(ns + f.name);
        if (v == g->end() || !v->is_number_integer() || v->get<int64_t>() < INT32_MIN || v->get<int64_t>() > INT32_MAX)
            throw MetaError(meta_path + ": " + ns + f.name + " is missing or not a 32-bit integer");
        rec.*f.field = static_cast<int32_t>(v->get<int64_t>());
    }
    return rec;
}

}  // namespace orv::sigmf

// ---- Sequences of standard frames ------------------------------------------------

namespace orv::sigmf {

namespace {

// Input fields of the sequence settings by name, as the metadata stores them.
const DoubleField<OrvSequenceParams> kSeqDoubleFields[] = {
    {"window_tr", &OrvSequenceParams::window_tr},     {"filter_cutoff", &OrvSequenceParams::filter_cutoff},
    {"filter_rolloff", &OrvSequenceParams::filter_rolloff}, {"freq_error", &OrvSequenceParams::freq_error},
    {"if_freq", &OrvSequenceParams::if_freq},         {"dc_offset_re", &OrvSequenceParams::dc_offset_re},
    {"dc_offset_im", &OrvSequenceParams::dc_offset_im}, {"noise_level", &OrvSequenceParams::noise_level},
    {"sine_freq", &OrvSequenceParams::sine_freq},     {"sine_level", &OrvSequenceParams::sine_level},
};
// The impairments' fields by name, as the metadata stores them (the seed and
// the arrays apart).
const DoubleField<OrvImpairments> kImpDoubleFields[] = {
    {"snr_db", &OrvImpairments::snr_db},           {"iq_gain_db", &OrvImpairments::iq_gain_db},
    {"iq_phase_deg", &OrvImpairments::iq_phase_deg}, {"pa_smoothness", &OrvImpairments::pa_smoothness},
    {"pa_backoff_db", &OrvImpairments::pa_backoff_db}, {"clip_papr_db", &OrvImpairments::clip_papr_db},
    {"cfo_ppm", &OrvImpairments::cfo_ppm},         {"carrier_ghz", &OrvImpairments::carrier_ghz},
    {"clock_ppm", &OrvImpairments::clock_ppm},     {"phase_noise_rms_deg", &OrvImpairments::phase_noise_rms_deg},
    {"multipath_rms_ns", &OrvImpairments::multipath_rms_ns},
};
const IntField<OrvImpairments> kImpIntFields[] = {
    {"snr_enable", &OrvImpairments::snr_enable}, {"pa_enable", &OrvImpairments::pa_enable},
    {"clip_enable", &OrvImpairments::clip_enable}, {"multipath_per_packet", &OrvImpairments::multipath_per_packet},
};

const IntField<OrvSequenceParams> kSeqIntFields[] = {
    {"oversampling", &OrvSequenceParams::oversampling}, {"channel_mhz", &OrvSequenceParams::channel_mhz},
    {"iq_inverse", &OrvSequenceParams::iq_inverse},     {"filter_taps", &OrvSequenceParams::filter_taps},
    {"freq_error_enable", &OrvSequenceParams::freq_error_enable}, {"if_enable", &OrvSequenceParams::if_enable},
    {"noise_enable", &OrvSequenceParams::noise_enable}, {"sine_enable", &OrvSequenceParams::sine_enable},
};

// Data bits per OFDM symbol by rate index (17.3.2.3, Table 17-4).
constexpr int32_t kNdbps[8] = {24, 36, 48, 72, 96, 144, 192, 216};

// DATA symbols of a PSDU: SERVICE (16 bits), the PSDU, tail (6 bits), padded.
int64_t data_symbols(const OrvPacket& p) {
    const int64_t ndbps = kNdbps[p.rate_index >= 0 && p.rate_index < 8 ? p.rate_index : 0];
    return (16 + 8 * static_cast<int64_t>(p.psdu_length) + 6 + ndbps - 1) / ndbps;
}

// The larger channel's peak of the sequence's samples (the first pass of ci16_le).
int32_t ORV_CALL peak_block(void* context, int64_t, int32_t n, const double* i, const double* q) {
    double& peak = *static_cast<double*>(context);
    for (int32_t k = 0; k < n; ++k) peak = std::max({peak, std::fabs(i[k]), std::fabs(q[k])});
    return 0;
}

int32_t ORV_CALL write_block(void* context, int64_t start, int32_t n, const double* i, const double* q) {
    return take_block(context, start, n, i, q) ? 0 : 1;
}

std::string hex_octets(const uint8_t* p, size_t n) {
    static const char hex[] = "0123456789abcdef";
    std::string s;
    s.reserve(2 * n);
    for (size_t k = 0; k < n; ++k) {
        s += hex[p[k] >> 4];
        s += hex[p[k] & 0xF];
    }
    return s;
}

// The packet's segments and its own annotation, in order of their first sample.
void packet_annotations(const OrvPacket& p, int32_t seq, int64_t start, int64_t end, int64_t os, double channel_hz,
                        nlohmann::ordered_json& ann) {
    const RateWords words = rate_words(p.rate_index);
    const int mbps = cli::kRateMbps[p.rate_index >= 0 && p.rate_index < 8 ? p.rate_index : 0];
    const int64_t nsym = data_symbols(p);
    const int64_t length = (400 + 80 * nsym) * os;
    std::string comment = std::to_string(mbps) + " Mbit/s, PSDU " + std::to_string(p.psdu_length) +
                          " octets, scrambler " + std::to_string(p.scrambler_init);
    if (seq >= 0) comment += ", sequence number " + std::to_string(seq);
    nlohmann::ordered_json packet = annotation(start, length, "packet", comment);
    packet["orvane:rate_mbps"] = mbps;
    packet["orvane:psdu_length"] = p.psdu_length;
    packet["orvane:scrambler_init"] = p.scrambler_init;
    if (seq >= 0) packet["orvane:sequence_number"] = seq;
    packet["signal:detail"] = {{"type", "digital"},          {"mod_class", words.mod_class},
                               {"order", words.order},       {"standard", "802.11a"},
                               {"carrier_variant", "multi_carrier"}, {"multiplexing", "ofdm"},
                               {"channel_bw", channel_hz}};
    ann.push_back(packet);
    ann.push_back(annotation(start, 160 * os, "STF", "short training field (17.3.3)"));
    ann.push_back(annotation(start + 160 * os, 160 * os, "LTF", "long training field (17.3.3)"));
    ann.push_back(annotation(start + 320 * os, 80 * os, "SIGNAL",
                             "SIGNAL symbol (17.3.4): RATE " + std::to_string(mbps) + " Mbit/s, LENGTH " +
                                 std::to_string(p.psdu_length)));
    ann.push_back(annotation(start + 400 * os, 80 * os * nsym, "DATA",
                             std::to_string(nsym) + " DATA symbols (17.3.5), " + words.modulation + " rate " +
                                 words.coding));
    if (end > start + length) ann.push_back(annotation(start + length, end - start - length, "idle", "silence"));
}

}  // namespace

nlohmann::ordered_json sequence_metadata(const FrameSequence& s, const std::vector<int64_t>& starts,
                                         SampleType type, const std::string& sha512_hex, const Written& w) {
    using nlohmann::ordered_json;
    const OrvSequenceParams& p = s.params;
    const double channel_hz = 1e6 * p.channel_mhz;
    std::string description = "IEEE 802.11a packet sequence: " + std::to_string(s.packets.size()) +
                              " standard frames; " + std::to_string(p.channel_mhz) + " MHz channel, " +
                              number_text(w.fs / 1e6) + " MHz (oversampling " + std::to_string(p.oversampling) +
                              "); " + type_name(type);
    if (type == SampleType::Ci16) description += " with the larger channel's peak at 32767";
    ordered_json global = core_global(type, w.fs, description, sha512_hex);
    const std::string ns = std::string(kNamespace) + ":";
    ordered_json settings = ordered_json::object();
    for (const IntField<OrvSequenceParams>& f : kSeqIntFields) settings[f.name] = p.*f.field;
    for (const DoubleField<OrvSequenceParams>& f : kSeqDoubleFields) settings[f.name] = p.*f.field;
    global[ns + "sequence"] = settings;
    if (s.impaired) {
        const OrvImpairments& m = s.impairments;
        ordered_json imp = ordered_json::object();
        for (const IntField<OrvImpairments>& f : kImpIntFields) imp[f.name] = m.*f.field;
        for (const DoubleField<OrvImpairments>& f : kImpDoubleFields) imp[f.name] = m.*f.field;
        imp["seed"] = std::to_string(m.seed);
        ordered_json profile = ordered_json::array(), taps = ordered_json::array();
        for (size_t k = 0; k < s.pn_offsets_hz.size(); ++k) profile.push_back({s.pn_offsets_hz[k], s.pn_levels_dbc[k]});
        for (size_t k = 0; k < s.tap_delay_ns.size(); ++k)
            taps.push_back({s.tap_delay_ns[k], s.tap_gain_db[k], s.tap_phase_deg[k]});
        imp["phase_noise_hz_dbc"] = profile;
        imp["taps_ns_db_deg"] = taps;
        global[ns + "impairments"] = imp;
    }
    if (type == SampleType::Ci16) {
        global[ns + "ci16_full_scale"] = w.ci16_scale;
        global[ns + "saturated_samples"] = w.saturated;
    }
    ordered_json packets = ordered_json::array();
    ordered_json ann = ordered_json::array();
    const int64_t os = p.oversampling;
    for (size_t k = 0; k < s.packets.size(); ++k) {
        const OrvPacket& pk = s.packets[k];
        packets.push_back({{"rate_index", pk.rate_index},
                           {"scrambler_init", pk.scrambler_init},
                           {"idle_time", pk.idle_time},
                           {"sequence_number", s.sequence_numbers[k]},
                           {"psdu", hex_octets(pk.psdu, static_cast<size_t>(pk.psdu_length))}});
        const int64_t end = k + 1 < s.packets.size() ? starts[k + 1] : w.samples;
        packet_annotations(pk, s.sequence_numbers[k], starts[k], end, os, channel_hz, ann);
    }
    global[ns + "packets"] = packets;
    return {{"global", global},
            {"captures", ordered_json::array({{{"core:sample_start", 0}}})},
            {"annotations", ann}};
}

int32_t write_sequence_recording(FrameSequence& s, const std::string& base, SampleType type, Written& w,
                                 std::vector<int64_t>& starts) {
    w = Written{};
    w.data_path = base + ".sigmf-data";
    w.meta_path = base + ".sigmf-meta";
    const auto count = static_cast<int32_t>(s.packets.size());
    starts.assign(s.packets.size(), 0);
    DataWriter data;
    data.path = w.data_path;
    data.type = type;
    data.head = nullptr;
    if (type == SampleType::Ci16) {
        // The noise generator's table is the process's: put back as it was, so
        // the second pass draws the noise whose peak the first one found.
        int32_t table[kNoiseTableSize + 1];
        noise_table_copy(table);
        double peak = 0.0;
        const int32_t rc = orv_11a_sequence_impaired_blocks(&s.params, impairment_record(s), s.packets.data(),
                                                            count, peak_block, &peak, starts.data());
        noise_table_restore(table);
        if (rc != 0) return rc;
        data.fixed_peak = peak;
    }
    const int32_t rc = orv_11a_sequence_impaired_blocks(&s.params, impairment_record(s), s.packets.data(), count,
                                                        write_block, &data, starts.data());
    if (rc != 0) {
        data.abandon();
        if (rc == ORV_STOPPED) {
            w.failed_path = w.data_path;
            return ORV_WRITE_FAILED;
        }
        return rc;
    }
    w.samples = s.params.total_samples;
    w.fs = 20000000.0 * s.params.oversampling * (s.params.channel_mhz / 20.0);
    const auto meta = [&](const std::string& sha) { return sequence_metadata(s, starts, type, sha, w); };
    return finish_recording(data, type, meta, w);
}

bool holds_sequence(const std::string& meta_path) {
    return read_global(meta_path).contains(std::string(kNamespace) + ":packets");
}

namespace {

// The octets of a hex text of even length; throws MetaError otherwise.
void append_hex(const std::string& text, const std::string& where, std::vector<uint8_t>& out) {
    auto digit = [&](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw MetaError(where + " is not hexadecimal");
    };
    if (text.size() % 2 != 0) throw MetaError(where + " has an odd number of hex digits");
    for (size_t k = 0; k < text.size(); k += 2)
        out.push_back(static_cast<uint8_t>(digit(text[k]) * 16 + digit(text[k + 1])));
}

int32_t int_member(const nlohmann::json& o, const char* key, const std::string& where) {
    const auto v = o.find(key);
    if (v == o.end() || !v->is_number_integer() || v->get<int64_t>() < INT32_MIN || v->get<int64_t>() > INT32_MAX)
        throw MetaError(where + key + " is missing or not a 32-bit integer");
    return static_cast<int32_t>(v->get<int64_t>());
}

double double_member(const nlohmann::json& o, const char* key, const std::string& where) {
    const auto v = o.find(key);
    if (v == o.end() || !v->is_number()) throw MetaError(where + key + " is missing or not a number");
    return v->get<double>();
}

// Rows of numbers (each of `width`) of a metadata list into the columns.
void read_rows(const nlohmann::json& o, const char* key, const std::string& where,
               std::initializer_list<std::vector<double>*> columns) {
    const auto v = o.find(key);
    if (v == o.end() || !v->is_array()) throw MetaError(where + key + " is missing or not a list");
    for (const nlohmann::json& row : *v) {
        if (!row.is_array() || row.size() != columns.size()) throw MetaError(where + key + " has a malformed row");
        size_t c = 0;
        for (std::vector<double>* col : columns) {
            if (!row[c].is_number()) throw MetaError(where + key + " has a value that is not a number");
            col->push_back(row[c++].get<double>());
        }
    }
}

// The impairments of a sequence recording.
void read_impairments(const nlohmann::json& o, const std::string& where, FrameSequence& s) {
    if (!o.is_object()) throw MetaError(where + " is not an object");
    OrvImpairments& m = s.impairments;
    for (const IntField<OrvImpairments>& f : kImpIntFields) m.*f.field = int_member(o, f.name, where);
    for (const DoubleField<OrvImpairments>& f : kImpDoubleFields) m.*f.field = double_member(o, f.name, where);
    const auto seed = o.find("seed");
    if (seed == o.end() || !seed->is_string()) throw MetaError(where + "seed is missing or not a text");
    const std::string text = seed->get<std::string>();
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), m.seed);
    if (ec != std::errc() || end != text.data() + text.size()) throw MetaError(where + "seed is not a whole number");
    read_rows(o, "phase_noise_hz_dbc", where, {&s.pn_offsets_hz, &s.pn_levels_dbc});
    read_rows(o, "taps_ns_db_deg", where, {&s.tap_delay_ns, &s.tap_gain_db, &s.tap_phase_deg});
    s.impaired = true;
}

}  // namespace

nlohmann::ordered_json impairments_json(const OrvImpairments& m) {
    using nlohmann::ordered_json;
    ordered_json imp = ordered_json::object();
    for (const IntField<OrvImpairments>& f : kImpIntFields) imp[f.name] = m.*f.field;
    for (const DoubleField<OrvImpairments>& f : kImpDoubleFields) imp[f.name] = m.*f.field;
    imp["seed"] = std::to_string(m.seed);
    ordered_json profile = ordered_json::array(), taps = ordered_json::array();
    for (int32_t k = 0; k < m.phase_noise_count; ++k)
        profile.push_back({m.phase_noise_offsets_hz[k], m.phase_noise_dbc_hz[k]});
    for (int32_t k = 0; k < m.tap_count; ++k)
        taps.push_back({m.tap_delay_ns[k], m.tap_gain_db[k], m.tap_phase_deg != nullptr ? m.tap_phase_deg[k] : 0.0});
    imp["phase_noise_hz_dbc"] = profile;
    imp["taps_ns_db_deg"] = taps;
    return imp;
}

FrameSequence read_burst_impairments(const std::string& meta_path) {
    const nlohmann::json g = read_global(meta_path);
    const std::string key = std::string(kNamespace) + ":impairments";
    FrameSequence s;
    if (const auto imp = g.find(key); imp != g.end()) read_impairments(*imp, meta_path + ": " + key + "/", s);
    return s;
}

FrameSequence read_sequence(const std::string& meta_path) {
    const nlohmann::json g = read_global(meta_path);
    const std::string ns = std::string(kNamespace) + ":";
    const auto settings = g.find(ns + "sequence");
    const auto list = g.find(ns + "packets");
    if (settings == g.end() || !settings->is_object())
        throw MetaError(meta_path + ": " + ns + "sequence is missing or not an object");
    if (list == g.end() || !list->is_array() || list->empty() || list->size() > 1000000)
        throw MetaError(meta_path + ": " + ns + "packets is not a list of 1 to 1000000 packets");
    FrameSequence s;
    s.params.size = sizeof(OrvSequenceParams);
    const std::string where = meta_path + ": " + ns + "sequence/";
    for (const IntField<OrvSequenceParams>& f : kSeqIntFields) s.params.*f.field = int_member(*settings, f.name, where);
    for (const DoubleField<OrvSequenceParams>& f : kSeqDoubleFields) s.params.*f.field = double_member(*settings, f.name, where);
    std::vector<size_t> offsets;
    for (size_t k = 0; k < list->size(); ++k) {
        const nlohmann::json& e = (*list)[k];
        const std::string at = meta_path + ": " + ns + "packets/" + std::to_string(k) + "/";
        if (!e.is_object()) throw MetaError(at + " is not an object");
        OrvPacket p{};
        p.size = sizeof(OrvPacket);
        p.rate_index = int_member(e, "rate_index", at);
        p.scrambler_init = int_member(e, "scrambler_init", at);
        p.idle_time = double_member(e, "idle_time", at);
        s.sequence_numbers.push_back(int_member(e, "sequence_number", at));
        const auto psdu = e.find("psdu");
        if (psdu == e.end() || !psdu->is_string()) throw MetaError(at + "psdu is missing or not a text");
        offsets.push_back(s.pool.size());
        append_hex(psdu->get<std::string>(), at + "psdu", s.pool);
        p.psdu_length = static_cast<int32_t>(s.pool.size() - offsets.back());
        s.packets.push_back(p);
    }
    for (size_t k = 0; k < s.packets.size(); ++k) s.packets[k].psdu = s.pool.data() + offsets[k];
    if (const auto imp = g.find(ns + "impairments"); imp != g.end()) read_impairments(*imp, meta_path + ": " + ns + "impairments/", s);
    return s;
}

}  // namespace orv::sigmf
