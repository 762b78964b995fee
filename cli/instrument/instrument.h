// Waveform files for vector signal generators: the R&S WV file (tagged
// header, little-endian int16 I/Q, marker lists) and the Keysight 16-bit
// binary (big-endian int16 I/Q) with its marker file. Both are written from a
// sample source. The scale needs the peak before the first sample: a short
// waveform is run once, measured and kept in memory; a long one is written in
// one run at the peak its source announces before the first block (the WV
// header's level offsets and checksum filled in at the end), as the AWG file
// takes its scale from the burst; a later sample beyond full scale (noise in
// the gap above the burst's peak) is saturated and counted. A long waveform
// whose source announces nothing is run twice: measured, then written.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace orv::instrument {

// Samples start..start+length-1 of one burst or packet on air.
struct Interval {
    int64_t start = 0;
    int64_t length = 0;
};

// Takes n samples of I and Q (valid during the call only); false stops the run.
using BlockSink = std::function<bool(int32_t n, const double* i, const double* q)>;

// What a source knows before its first block: the largest I*I + Q*Q of its
// first `held` samples.
struct Announcement {
    double power_peak = 0;
    int64_t held = 0;
};
using AnnounceSink = std::function<void(const Announcement&)>;

// A waveform handed over block by block: run hands over count samples in
// order and returns 0, or a nonzero code (the source's own) when it could not.
// Run again, it must hand over the same samples (a writer runs a long one twice).
struct SampleSource {
    int64_t count = 0;
    double fs = 0;                    // sample rate in Hz
    std::vector<Interval> on_air;     // the bursts or packets, in order, not overlapping
    std::function<int32_t(const BlockSink&)> run;
    // Optional: as run, telling announce before the first block what the
    // source already knows.
    std::function<int32_t(const AnnounceSink&, const BlockSink&)> run_announced;
};

// What marker 1 (trigger) and marker 2 (on air) carry.
struct MarkerOptions {
    bool enabled = true;
    // Length of marker 1's pulse at each start, in samples (0: 1 us at fs),
    // at most the interval's length.
    int64_t pulse = 0;
};

// Samples held in memory (16 bytes each) after the first run; a longer
// waveform is run a second time.
constexpr int64_t kMemorySamples = int64_t{1} << 22;

struct WvOptions {
    double backoff_db = 0;     // the peak (announced, else the largest |I+jQ|) this far below 32767; 0..30
    int64_t memory_samples = kMemorySamples;
    std::string comment;       // printable ASCII without '}' (others replaced by '?')
    std::string date;          // "yyyy-mm-dd;hh:mm:ss"; empty: now, UTC
    MarkerOptions markers;
};

struct KeysightOptions {
    double backoff_db = 0;     // as for the WV file
    int64_t memory_samples = kMemorySamples;
    MarkerOptions markers;     // enabled: the .mkr file beside the data
};

// What writing a file did: the files, the scale and the level offsets.
struct Result {
    std::string format;               // "wv" or "keysight"
    std::vector<std::string> files;   // as written: data file first
    double fs = 0;
    int64_t samples = 0;              // of the source
    int64_t padded = 0;               // idle samples appended (Keysight minimum and multiple)
    double scale = 0;                 // code per unit of sample value
    int32_t peak_code = 0;            // |I+jQ| of the largest sample, in codes
    double rms_offset_db = 0;         // RMS below full scale (32767), dB, over the source's samples
    double peak_offset_db = 0;        // peak below full scale, dB
    int64_t saturated = 0;            // samples beyond full scale, set to it (their phase kept)
    uint32_t checksum = 0;            // WV: the TYPE tag's checksum
    std::vector<Interval> marker1, marker2;  // the high spans written
};

// Keysight's documented waveform length limits: at least 512 samples (VXG;
// MXG/EXG/ESG need 60) and a multiple of 8 (VXG; the others 2 or 4).
constexpr int64_t kKeysightMinSamples = 512;
constexpr int64_t kKeysightMultiple = 8;

// The marker spans for on_air: marker 1 a pulse at each start, marker 2 the intervals.
void marker_spans(const std::vector<Interval>& on_air, int64_t pulse, std::vector<Interval>& marker1,
                  std::vector<Interval>& marker2);

// The MARKER LIST text of spans over count samples: "0:0;s:1;e:0;...".
std::string marker_list(const std::vector<Interval>& spans, int64_t count);

// Writes path as an R&S WV file. Returns 0, or 1 with error set (no file left,
// an earlier file of that name untouched).
int32_t write_wv(const std::string& path, const SampleSource& src, const WvOptions& opt, Result& res,
                 std::string& error);

// Writes path as a Keysight big-endian binary and, with markers, the marker
// file (path's extension replaced by .mkr). Returns 0, or 1 with error set.
int32_t write_keysight(const std::string& path, const SampleSource& src, const KeysightOptions& opt,
                       Result& res, std::string& error);

// The marker file's name for a data file: the extension replaced by ".mkr".
std::string marker_path(const std::string& data_path);

// The result for --json.
nlohmann::ordered_json to_json(const Result& res);

}  // namespace orv::instrument
