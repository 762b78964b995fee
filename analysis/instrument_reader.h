// Readers of waveform files for vector signal generators: the R&S WV file
// (tags, little-endian int16 I/Q, marker lists) and the Keysight 16-bit
// big-endian binary with its optional marker file. The samples go to a
// SampleSink as code / 32767; the file's own figures (checksum, level offsets,
// markers) come back for comparison with what the samples show.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "reader.h"

namespace orv::analysis {

// Samples start..start+length-1 with a marker high.
struct MarkerSpan {
    int64_t start = 0;
    int64_t length = 0;
};

// What an instrument file says about itself, and what its samples show.
struct InstrumentFileInfo {
    double sample_rate_hz = 0;      // WV: CLOCK; Keysight: as given
    int64_t samples = 0;
    std::string comment, date;      // WV
    // WV checksum: as stated in TYPE (empty when 0 or not numeric: not checked) and as computed.
    std::optional<uint32_t> stated_checksum;
    uint32_t computed_checksum = 0;
    // WV LEVEL OFFS (dB below full scale 32767), and the same figures measured from the samples.
    std::optional<double> rms_offset_db, peak_offset_db;
    double measured_rms_offset_db = 0, measured_peak_offset_db = 0;
    bool has_markers = false;
    std::vector<MarkerSpan> marker1, marker2;  // high spans
};

// Largest difference (dB) between stated and measured level offsets that still agrees.
constexpr double kLevelOffsetTolerance = 0.01;

// True when the file states no level offsets or both lie within the tolerance of the samples'.
bool level_offsets_agree(const InstrumentFileInfo& info);

// Reads an R&S WV file. Throws ReadError naming the byte offset of a
// truncated or malformed tag, a WAVEFORM length that is not 4N+1 or
// disagrees with SAMPLES, a missing CLOCK, a bad marker list or a checksum
// that does not match the data.
InstrumentFileInfo read_wv(std::istream& in, SampleSink& sink);

// Reads a Keysight 16-bit big-endian I/Q binary at sample_rate_hz (0: not known), and the
// marker file (one byte a sample, bit 0 marker 1, bit 1 marker 2) when
// markers is not null. Throws ReadError for an odd byte count (offset named)
// or a marker file of another length.
InstrumentFileInfo read_keysight(std::istream& data, std::istream* markers, double sample_rate_hz,
                                 SampleSink& sink);

// ---- The files in the receiver (instrument_check.cpp) ----------------------

enum class InstrumentKind { None, Wv, Keysight };

// What path holds for the receiver: an R&S WV file (its first bytes are
// "{TYPE: SMU-WV" or its extension .wv), a Keysight binary (extension .bin),
// or neither.
InstrumentKind instrument_kind(const std::string& path);

// The marker file of a Keysight binary: its extension replaced by .mkr.
std::string keysight_marker_path(const std::string& data_path);

// Reads path as kind into sink: a Keysight binary at sample_rate_hz (0: not
// known) with the marker file beside it when there is one (its name into
// marker_file). Throws ReadError.
InstrumentFileInfo read_instrument_file(const std::string& path, InstrumentKind kind, double sample_rate_hz,
                                        SampleSink& sink, std::string& marker_file);

// Compares the marker spans with the intervals on air (in order): one marker-1
// pulse starting at each interval's start, and marker 2 high over each
// interval (back-to-back intervals under one span), every edge within tol
// samples. Returns the first disagreement, empty when they agree.
std::string compare_markers(const std::vector<MarkerSpan>& marker1, const std::vector<MarkerSpan>& marker2,
                            const std::vector<MarkerSpan>& on_air, int64_t tol);

struct Result;

// Puts the file's own figures into r.file.instrument: its checksum, its level
// offsets against the samples' and its markers against the packets (or the
// burst) r holds; a disagreement fails r's verdict.
void check_instrument(const InstrumentFileInfo& info, const std::string& marker_file, Result& r);

}  // namespace orv::analysis
