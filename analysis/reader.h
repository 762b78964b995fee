// Waveform file readers: the AWG waveform file and the CSV sample file, read in
// blocks and handed to a sink, so a file of any length passes through a bounded
// amount of memory. A new format (a SigMF recording) is one more reader
// function that fills the same WaveformInfo and feeds the same sink.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace orv::analysis {

// A file that cannot be read as a waveform; the message names the byte offset or the line.
class ReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class FileFormat { Awg, Csv, Sigmf, Wv, Keysight };

// A SigMF annotation: its samples and label.
struct Annotation {
    int64_t start = 0;
    std::optional<int64_t> count;
    std::string label;
};

// What a reader learnt about the file apart from the samples.
struct WaveformInfo {
    FileFormat format = FileFormat::Csv;
    std::optional<double> sample_rate_hz;  // from the file (AWG SAMPLINGFREQ); empty for CSV
    int64_t samples = 0;                   // samples delivered
    // AWG header figures (dB): PAPR, crest factor of I, crest factor of Q.
    std::optional<double> header_papr_db, header_crest_i_db, header_crest_q_db;
    int64_t wavedata_bytes = 0;            // AWG: the WAVEDATA count
    std::string datatype;                  // SigMF: core:datatype
    std::vector<Annotation> annotations;   // SigMF: in the metadata's order
};

// Receives samples block by block, in time order.
class SampleSink {
public:
    virtual ~SampleSink() = default;
    // n samples; codes_i / codes_q are the 14-bit codes of an AWG file, null for CSV.
    virtual void block(const std::complex<double>* x, size_t n, const uint16_t* codes_i,
                       const uint16_t* codes_q) = 0;
};

// Largest AWG code; the zero level lies between 8191 and 8192.
constexpr uint32_t kAwgCodeMax = 16383;

// The sample value a 14-bit code stands for (the middle of its quantisation step), in -1..+1.
inline double awg_code_value(uint32_t code) { return (2.0 * code + 1.0) / 16383.0 - 1.0; }

// Reads an AWG waveform file from in. Throws ReadError naming the byte offset of the fault.
WaveformInfo read_awg(std::istream& in, SampleSink& sink);

// Reads a CSV sample file (one "I,Q" pair a line) from in. Throws ReadError naming the line.
WaveformInfo read_csv(std::istream& in, SampleSink& sink);

// True when path names either file of a SigMF recording (.sigmf-meta, .sigmf-data).
bool is_sigmf_name(const std::string& path);

// Reads a SigMF recording, given the name of either file: the sampling rate,
// datatype and annotations from the metadata, the samples (complex, any of the
// SigMF integer or float types) from the data file. Throws ReadError.
WaveformInfo read_sigmf(const std::string& path, SampleSink& sink);

// What the metadata of a recording that orvgen wrote says about its burst
// (its "orvane:" fields); a field is empty where the metadata has no valid value.
struct RecordingDescription {
    std::optional<bool> free_format;       // orvane:frame_format: 0 full burst, 1 DATA symbols only
    std::optional<int> rate_mbps;          // orvane:rate_index 0..7
    std::optional<int> symbols;            // orvane:ofdm_symbols
    std::optional<int> oversample;         // orvane:oversampling
    bool has_sample_rate = false;          // core:sample_rate is given
};

// Reads the description from the metadata of a SigMF recording, given either
// file's name. Never throws: an unreadable metadata file gives an empty
// description (read_sigmf reports what is wrong with it).
RecordingDescription describe_sigmf(const std::string& path);

// Reads in with the reader its first byte selects ('{': AWG, else CSV).
// Throws ReadError for an empty input and for every format fault.
WaveformInfo read_waveform(std::istream& in, SampleSink& sink);

}  // namespace orv::analysis
