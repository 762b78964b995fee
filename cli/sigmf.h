// SigMF recordings of one burst: the conditioned samples as a .sigmf-data file
// (cf32_le or ci16_le) and its .sigmf-meta description, with every input field
// of the record under the "orvane" namespace so that it can be made again.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "orvasynth.h"

namespace orv::sigmf {

enum class SampleType { Cf32, Ci16 };

// What writing a recording did.
struct Written {
    std::string data_path, meta_path;
    std::string failed_path;  // the file that could not be written, if any
    int64_t samples = 0;
    int64_t saturated = 0;    // ci16_le: samples with a value beyond full scale, set to full scale
    double fs = 0;
    double ci16_scale = 0;    // ci16_le: the sample value that code 32767 stands for
};

// A metadata file that cannot give back a record.
class MetaError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "cf32_le" / "ci16_le".
const char* type_name(SampleType t);
// path without its .sigmf-data or .sigmf-meta ending.
std::string base_name(const std::string& path);

// Generates rec through the library's static form and writes base.sigmf-data,
// then base.sigmf-meta. Returns the library's result (0, 2, 1 or a validation
// mask), or 4 when a file could not be written (w.failed_path names it).
// impairments: null, or the chain after the filter (orv_11a_burst_impaired),
// stored in the metadata's "impairments" as a sequence recording stores them;
// refused gets the impairment bits the library refused (see orv_11a_burst_impaired).
// The files go through the library's file sink outside its lock: not to be
// called while another thread of the process calls the library.
int32_t write_recording(WaveParams& rec, const std::string& base, SampleType type, Written& w,
                        const OrvImpairments* impairments = nullptr, uint32_t* refused = nullptr);

// The metadata of a recording of rec (the out fields hold the measured figures).
nlohmann::ordered_json metadata(const WaveParams& rec, SampleType type, const std::string& sha512_hex,
                                const Written& w);

// The record stored in a metadata file's "orvane" namespace. Throws MetaError.
WaveParams read_record(const std::string& meta_path);

// A sequence of standard frames as the library takes it: the settings, the
// packets (their PSDUs point into pool) and each packet's MAC sequence
// number (-1 when the PSDU is not a data frame orvgen made).
struct FrameSequence {
    OrvSequenceParams params{};
    std::vector<uint8_t> pool;
    std::vector<OrvPacket> packets;
    std::vector<int32_t> sequence_numbers;
    // The impairments in physical units (impaired false: none); the record's
    // arrays are these vectors (impairment_record points it at them).
    bool impaired = false;
    OrvImpairments impairments{};
    std::vector<double> pn_offsets_hz, pn_levels_dbc, tap_delay_ns, tap_gain_db, tap_phase_deg;
};

// The impairments record of s with its arrays pointed at s's vectors, or null
// when s has none (inline: builds without SigMF use it too).
inline const OrvImpairments* impairment_record(FrameSequence& s) {
    if (!s.impaired) return nullptr;
    OrvImpairments& m = s.impairments;
    m.size = sizeof(OrvImpairments);
    m.phase_noise_count = static_cast<int32_t>(s.pn_offsets_hz.size());
    m.phase_noise_offsets_hz = s.pn_offsets_hz.empty() ? nullptr : s.pn_offsets_hz.data();
    m.phase_noise_dbc_hz = s.pn_levels_dbc.empty() ? nullptr : s.pn_levels_dbc.data();
    m.tap_count = static_cast<int32_t>(s.tap_delay_ns.size());
    m.tap_delay_ns = s.tap_delay_ns.empty() ? nullptr : s.tap_delay_ns.data();
    m.tap_gain_db = s.tap_gain_db.empty() ? nullptr : s.tap_gain_db.data();
    m.tap_phase_deg = s.tap_phase_deg.empty() ? nullptr : s.tap_phase_deg.data();
    return &m;
}


// Generates the sequence through orv_11a_sequence_blocks and writes
// base.sigmf-data, then base.sigmf-meta (one annotation per packet besides
// its STF, LTF, SIGNAL, DATA and idle segments). starts receives each
// packet's first sample. Returns the library's result or 4 (w.failed_path).
// ci16_le takes two passes: the first finds the peak that code 32767 stands for.
int32_t write_sequence_recording(FrameSequence& s, const std::string& base, SampleType type, Written& w,
                                 std::vector<int64_t>& starts);

// The metadata of a sequence recording: the settings and every PSDU in hex
// under "orvane", so that --from makes the same samples again.
nlohmann::ordered_json sequence_metadata(const FrameSequence& s, const std::vector<int64_t>& starts,
                                         SampleType type, const std::string& sha512_hex, const Written& w);

// Whether a metadata file holds a frame sequence (its "orvane:packets").
// Throws MetaError when the file is not a recording orvgen wrote.
bool holds_sequence(const std::string& meta_path);

// The sequence stored in a metadata file. Throws MetaError.
FrameSequence read_sequence(const std::string& meta_path);
// The impairments a burst recording stores (impaired false when it has none). Throws MetaError.
FrameSequence read_burst_impairments(const std::string& meta_path);

}  // namespace orv::sigmf
