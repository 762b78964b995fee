// orvgen's frame-sequence mode: standard 802.11a frames from the frame
// options or a waveform description, with the burst's filter and
// impairments, written as an AWG file, a CSV file, a SigMF recording, an R&S
// WV file or a Keysight binary with its marker file.
#pragma once
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "frames.h"
#include "instrument.h"
#include "orvasynth.h"

namespace orv::sigmf {
struct FrameSequence;
}

namespace orv::gen {

// What the command line asks of the frame mode, already checked for usage.
struct FrameInputs {
    std::string output;
    int32_t kind = 0;   // 0 AWG file, 1 CSV file, 2 SigMF recording, 3 R&S WV file, 4 Keysight binary
    double backoff_db = 0;  // WV, Keysight: the largest |I+jQ| this far below full scale
    bool ci16 = false;  // SigMF: ci16_le instead of cf32_le
    bool json = false;
    std::string from;   // a sequence recording's .sigmf-meta to make again (nothing else then)
    std::string waveform;               // --waveform FILE, else the frame options
    frames::FrameOptions options;
    WaveParams conditioning{};          // filter, impairments and I/Q exchange of the window's state
    bool nyquist = false;               // the window's state selects the Nyquist filter
    double cutoff_hz = 0.0;             // its cut-off field, whatever the filter type
    std::string oversample;             // --oversample as typed, empty: conditioning.oversampling
    std::string window_tr = "0.1";      // --window-tr as typed, microseconds
    std::string channel;                // --channel as typed, empty: 20
    bool check = false;                 // read the file back through the packet receiver
    frames::ImpairmentText impairments; // the impairment options as typed
};

// Generates the sequence and writes it; reports on out (text or --json) and
// err. Returns orvgen's exit status.
int run_frames(const FrameInputs& in, std::ostream& out, std::ostream& err);

// The sequence settings of a burst record's filter, impairments and I/Q
// exchange, at oversampling os, T_TR window_tr_s (s, 20 MHz time base) and
// channel width channel_mhz.
OrvSequenceParams sequence_params(const WaveParams& rec, int32_t os, double window_tr_s, int32_t channel_mhz);

// The library's packet records of an expanded sequence: its octets moved into
// pool, each packet's PSDU pointing there, and each packet's sequence number.
void put_packets(frames::Sequence&& seq, std::vector<uint8_t>& pool, std::vector<OrvPacket>& packets,
                 std::vector<int32_t>& sequence_numbers);

// Puts a description's settings over p (nyquist and cutoff_hz: the filter
// without them). false with a message naming the setting.
bool apply_globals(const frames::GlobalSettings& g, bool nyquist, double cutoff_hz, OrvSequenceParams& p,
                   std::string& error);

// ---- Shared with the record mode ----------------------------------------------

// The impairments m into s: the library's record and its arrays (impairment_record points it at them).
void put_impairments(const frames::Impairments& m, sigmf::FrameSequence& s);

// Reports a library result rc other than ORV_OK on err, naming path when the
// write failed; list_refused writes the rest of the line and the refused
// fields of an ORV_INVALID mask (code). Returns orvgen's exit status.
int library_status(int32_t rc, const std::string& path, std::ostream& err,
                   const std::function<void(uint32_t code)>& list_refused);

// The crest factor box as plain lines: no CR, no leading empty line.
std::string crest_box_lines(double papr, double crest_i, double crest_q);

// The --output-format word of an output kind (0 awg ... 4 keysight).
const char* output_kind_name(int32_t kind);

// Reads --backoff's text into db (0 to 30 dB). Returns kExitWritten, or
// kExitUsage (not a number) or kExitRefused (out of range) with error set.
int read_backoff(const std::string& text, double& db, std::string& error);

// What a WV or Keysight file holds, as lines for the text report: the files,
// the samples and rate, the levels, the markers and the Keysight padding.
std::string instrument_lines(const instrument::Result& res);

// Writes a WV (kind 3) or Keysight (kind 4) file of src to path with comment
// (WV only); returns 0, or 1 with error set.
int32_t write_instrument_file(int32_t kind, const std::string& path, const instrument::SampleSource& src,
                              double backoff_db, const std::string& comment, instrument::Result& res,
                              std::string& error);

}  // namespace orv::gen
