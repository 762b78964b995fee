// The measuring receiver: reads an 802.11a waveform file back and measures it
// as a transmitter tester does (IEEE Std 802.11a, 17.3.9). Independent of the
// generator: its own readers, synchronisation, SIGNAL decoder, demodulator,
// pattern generators and transforms (FFTW3).
#pragma once

#include <complex>
#include <cstdint>
#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "reader.h"

namespace orv::analysis {

// A waveform that was read but holds nothing to analyse ("no 802.11a burst found").
class AnalysisError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Options {
    std::optional<double> sample_rate_hz;  // for CSV files (an AWG file's header rate wins unless given)
    std::optional<int> oversample;         // sampling rate = 20 MHz times this
    bool free_format = false;              // DATA symbols only: no preamble, no SIGNAL
    std::optional<int> rate_mbps;          // the rate of a free-format burst
    std::optional<int> symbols;            // DATA symbols of a free-format burst (default: to the burst end)
    std::optional<std::string> expected_pattern;  // "PN9" ... "PN23", "ALL 0", "ALL 1"
    std::optional<uint32_t> expected_seed;
    std::optional<int> expected_packets;   // packets the file should hold (missing ones fail)
    bool figures_without_burst = false;    // an AWG file without a burst: a result with no_burst set
                                           // (its codes and header checked) instead of AnalysisError
    std::optional<double> carrier_ghz;     // carrier frequency: the frequency error also in ppm
};

// A named part of the burst, in samples of the file.
struct Segment {
    std::string name;  // "STF", "LTF", "SIGNAL", "DATA", "gap"
    int64_t start = 0;
    int64_t length = 0;
};

// An R&S WV file's or a Keysight binary's own figures against its samples and
// against the bursts or packets found.
struct InstrumentResult {
    std::optional<uint32_t> checksum;        // WV: the TYPE tag's (equal to the data's: else unreadable); empty: none
    std::optional<double> stated_rms_offset_db, stated_peak_offset_db;  // WV LEVEL OFFS
    double rms_offset_db = 0, peak_offset_db = 0;  // of the samples, dB below full scale 32767
    std::optional<bool> level_offsets_ok;    // empty when the file states none
    std::string marker_file;                 // Keysight: the marker file read, empty when none
    bool has_markers = false;
    int64_t marker1_pulses = 0, marker2_spans = 0;
    std::optional<bool> markers_ok;          // markers against the packets (or the burst) found
    std::string marker_problem;              // the first disagreement
};

struct FileResult {
    std::string path;
    FileFormat format = FileFormat::Csv;
    double sample_rate_hz = 0;
    std::string sample_rate_source;  // "header", "option", "short training period"
    int oversample = 0;
    int64_t samples = 0;
    std::optional<bool> header_ok;   // AWG: header PAPR and crest figures match the codes
    std::optional<double> header_papr_db, header_crest_i_db, header_crest_q_db;
    std::optional<int64_t> clipped_codes;  // AWG only
    std::string datatype;            // SigMF: core:datatype
    int annotations_checked = 0;     // SigMF: annotations whose label names a segment of the burst or of a packet
    int annotations_of_packets = 0;  // SigMF: of those, the ones inside a "packet" annotation
    std::optional<bool> annotations_ok;  // SigMF: those annotations lie where the burst's segments are
    std::optional<InstrumentResult> instrument;  // WV and Keysight files
};

struct BurstResult {
    bool found = false;
    int64_t start = 0;
    int64_t length = 0;
    int count = 0;                  // bursts in the file
    int64_t gap_length = 0;         // samples from the burst end to the next burst or the file end
    std::optional<double> gap_level_db;  // mean gap power relative to the burst's, empty when silent
};

struct SignalResult {
    int rate_mbps = 0;              // 0 when the RATE bits are not a valid rate
    std::string rate_bits;          // R1..R4
    int length = 0;
    bool parity_ok = false;
    bool tail_ok = false;
    int data_symbols = 0;           // implied by RATE and LENGTH
};

struct PayloadResult {
    std::string pattern;            // "PN9" ... "ALL 1", or "not a test pattern"
    std::optional<uint32_t> seed;   // the seed's low n bits
    int64_t bits = 0;
    std::optional<int64_t> bit_errors;
    bool expected = false;          // the pattern and seed were given, not identified
};

struct MaskResult {
    std::vector<double> freq_hz;    // PSD bins, ascending
    std::vector<double> psd_dbr;    // 100 kHz resolution, relative to the maximum
    std::optional<double> margin_db;          // worst (limit - PSD) outside +-9 MHz
    std::optional<double> worst_offset_hz;
    std::optional<double> worst_psd_dbr;      // the PSD at worst_offset_hz
    bool pass = true;
};

// A corner of the transmit spectrum mask's outline.
struct MaskCorner {
    double offset_hz;
    double limit_dbr;
};

// Power against time: the burst's envelope for the time view, in |x|^2 of the samples.
struct PowerTrace {
    int64_t samples = 0;                        // samples in the file
    int window = 0;                             // samples per entry of window_min / window_max
    std::vector<float> window_min, window_max;  // per window over the whole file
    std::vector<float> sample_power;            // each sample of the part the analysis keeps (the file's start)
    double reference_power = 0;                 // the burst's mean power: 0 dB of decimate_power
};

// One pixel column of the time view: samples [first, first + count).
struct PowerColumn {
    int64_t first = 0;
    int64_t count = 0;
    double min_db = 0, max_db = 0;              // relative to the burst's mean power, at least kPowerFloorDb
};

// The level decimate_power gives silence.
constexpr double kPowerFloorDb = -150.0;

struct CcdfPoint {
    double probability;             // 0.1, 0.01, ...
    double level_db;                // power above the mean exceeded with that probability
};

// One packet of the file as the packet receiver decoded it.
struct PacketResult {
    int64_t start = 0;               // first sample of its short training field, in samples of the file
    int rate_mbps = 0;               // from SIGNAL, 0 when the RATE bits are not a rate
    int length = 0;                  // LENGTH, bytes
    bool signal_ok = false;          // RATE valid, parity good
    bool signal_tail_ok = false;
    bool decoded = false;            // every DATA symbol present and decoded
    std::optional<int> scrambler_init;   // recovered from SERVICE (x1 the most significant of 7 bits)
    bool service_ok = false, tail_ok = false, pad_ok = false;
    std::optional<bool> fcs_ok;      // empty for a test-pattern burst and an undecoded one
    std::string frame_type;          // "data", "management", "control", "extension"; empty without a header
    int subtype = -1;
    std::vector<std::string> addresses;
    std::optional<int> seq;
    std::string test_pattern;        // the pattern of a test-pattern burst (not a coded PSDU)
    std::optional<double> evm_db;    // data subcarriers, decision-directed
    double freq_error_hz = 0;
    bool flatness_ok = false;        // 17.3.9.6.2 on the packet's channel estimate
    std::optional<double> leakage_db;  // centre-frequency leakage (17.3.9.6.1): DC bin over the DATA symbols' power
    bool inverted = false;           // I and Q exchanged
    // Impairments measured over the DATA field (rx_measure.h); empty when too short to measure.
    std::optional<double> snr_db;            // over the 20 MHz channel, from the data subcarriers' error
    std::optional<double> iq_gain_db, iq_phase_deg;
    std::optional<double> clock_ppm;         // the transmitter's sample clock, positive when fast
    std::optional<double> freq_error_ppm;    // freq_error_hz over the carrier given (Options::carrier_ghz)
    std::optional<double> cpe_rms_deg;       // RMS common phase error per DATA symbol
    std::optional<double> delay_spread_ns;   // the channel estimate's RMS delay spread
    std::vector<uint8_t> psdu;
    std::string problem;             // why it was not decoded, empty when it was
};

// Totals over the packets of a file.
struct PacketSummary {
    int found = 0, signal_ok = 0, decoded = 0, fcs_ok = 0, fcs_errors = 0, test_patterns = 0;
    std::optional<int> expected;
    int missing = 0;                 // expected packets not found at all
    double per = 0;                  // packet error rate over the coded packets (and the missing ones)
    std::optional<double> evm_db;    // over every demodulated packet (mean error power)
    std::optional<double> freq_error_hz;  // mean of the packets
    int flatness_failures = 0;       // packets outside the 17.3.9.6.2 limits
    // Over the packets that measured them: SNR from their mean error power, the CPE as an RMS,
    // the others as means.
    std::optional<double> snr_db, iq_gain_db, iq_phase_deg, clock_ppm, freq_error_ppm, cpe_rms_deg, delay_spread_ns;
    std::optional<double> leakage_db;  // the worst packet's centre-frequency leakage
    int leakage_failures = 0;        // packets with leakage above -15 dB (17.3.9.6.1)
    // Over the packets' samples (those the analysis keeps): transmit spectrum mask (17.3.9.2)
    // of the averaged PSD, and the CCDF of the sample power.
    std::optional<MaskResult> mask;
    std::vector<CcdfPoint> ccdf;     // 10 %, 1 %, 0.1 %, 0.01 %
};

struct Result {
    FileResult file;
    std::vector<PacketResult> packets;  // every packet found, in time order
    PacketSummary summary;
    BurstResult burst;
    std::vector<Segment> segments;
    bool free_format = false;
    bool iq_inverted = false;       // the spectrum is mirrored: I and Q exchanged
    std::optional<SignalResult> signal;
    std::optional<PayloadResult> payload;
    int rate_mbps = 0;              // rate the DATA field was demodulated with, 0 if none
    int data_symbols_demodulated = 0;

    // Modulation accuracy, 17.3.9.7.
    std::optional<double> evm_db, evm_percent, evm_pilots_db;
    std::vector<double> evm_per_symbol_db;      // per DATA symbol, data subcarriers
    std::vector<double> evm_per_subcarrier_db;  // subcarriers -26..-1, 1..26 (pilots included)
    int worst_symbol = -1, worst_subcarrier = 0;
    std::vector<std::complex<double>> data_points;   // equalised, symbol by symbol, 48 each
    std::vector<std::complex<double>> pilot_points;  // equalised, 4 each
    std::vector<std::complex<double>> signal_points; // the SIGNAL symbol's 48

    std::optional<double> freq_error_hz;
    std::optional<double> dc_leakage_db;        // 17.3.9.6.1, relative to the total power
    std::optional<bool> flatness_ok;            // 17.3.9.6.2
    std::vector<double> flatness_db;            // per subcarrier -26..-1, 1..26, relative to the mean of +-1..16
    MaskResult mask;                            // 17.3.9.2

    double papr_db = 0, crest_i_db = 0, crest_q_db = 0;
    std::vector<CcdfPoint> ccdf;                // 10 %, 1 %, 0.1 %, 0.01 %
    std::vector<double> ccdf_curve_db;          // level at probability 10^(-k/20), k = 0..80
    std::optional<double> evm_limit_db;
    PowerTrace power;
    std::optional<std::string> no_burst;  // why nothing was demodulated (an AWG file's own figures only)
    std::vector<std::string> notes;
    std::vector<std::string> failures;
    bool pass() const { return failures.empty(); }
};

// Reads path, measures its first burst and decodes every packet. Throws ReadError for a
// file that is not a waveform and AnalysisError for one without a burst to analyse
// (unless options.figures_without_burst is set and it is an AWG file).
Result analyse_file(const std::string& path, const Options& options);

// The same for a waveform read from in; path only names it in the result.
Result analyse_stream(std::istream& in, const std::string& path, const Options& options);

// The same for n samples in memory, measured as a CSV file holding them would be; name
// only names them in the result. Throws ReadError when n is 0.
Result analyse_samples(const std::complex<double>* x, size_t n, const std::string& name, const Options& options);

// The 17.3.9.7 EVM limit of a rate in Mbit/s (dB), or nothing for an unknown rate.
std::optional<double> evm_limit_db(int rate_mbps);

// The 17.3.9.2 transmit spectrum mask (dBr) at a frequency offset in MHz.
double mask_limit_dbr(double offset_mhz);

// The mask's outline from -half_span_hz to +half_span_hz, ascending: the span edges and
// the corners at +-9, 11, 20 and 30 MHz inside the span.
std::vector<MaskCorner> mask_outline(double half_span_hz);

// The ideal points of a rate's modulation (unit mean power, as equalised), empty for an unknown rate.
std::vector<std::complex<double>> ideal_points(int rate_mbps);

// The subcarrier numbers of evm_per_subcarrier_db and flatness_db: -26..-1, 1..26.
const std::vector<int>& measured_subcarriers();

// The probability whose level is ccdf_curve_db[k].
double ccdf_curve_probability(int k);

// The level above the mean power that complex Gaussian noise exceeds with probability p (dB).
double gaussian_ccdf_db(double probability);

// Min/max decimation of samples [from, to) (clamped to the file) into columns columns, or
// one column a sample when there are fewer samples. Exact within the kept samples; beyond
// them each column spans whole windows of the trace.
std::vector<PowerColumn> decimate_power(const PowerTrace& trace, int64_t from, int64_t to, int columns);

// The printed report (a fixed, locale-independent format).
std::string format_report(const Result& r);

// One line of the printed report; failed marks a line that shows a failed check.
struct ReportLine {
    std::string text;
    bool failed = false;
};

// format_report's lines, without their line ends.
std::vector<ReportLine> report_lines(const Result& r);

// The report as one JSON object, serialised; with_psdu adds each packet's PSDU in hexadecimal.
std::string format_json(const Result& r, int indent = -1, bool with_psdu = false);

}  // namespace orv::analysis
