// Standard 802.11a frames for orvgen: payload patterns as octets, MAC data
// frames with their FCS, PSDUs from hex, files and 802.11 captures, the
// waveform description file, and the expansion of all of these into the
// list of packets one waveform carries.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace frames {

// Longest PSDU the SIGNAL field's 12-bit LENGTH can announce (17.3.4).
constexpr size_t kMaxPsduOctets = 4095;
// MAC header of a data frame (24 octets) plus its FCS (4 octets).
constexpr size_t kMacOverheadOctets = 28;
// The most packets one waveform may carry, and the most PSDU octets in memory.
constexpr size_t kMaxPackets = 1000000;
constexpr size_t kMaxPoolOctets = size_t{1} << 30;

// ---- Payload patterns ------------------------------------------------------

// The payload patterns of --data, in the order of the window's list.
enum class Pattern { PN9, PN15, PN19, PN20, PN23, All0, All1 };

// The pattern named by text ("PN9" ... "PN23", "ALL0"/"ALL 0", "ALL1"/"ALL 1",
// any case), or nothing.
std::optional<Pattern> parse_pattern(std::string_view text);
// The pattern's name as --data accepts it ("PN9", "ALL0", ...).
const char* pattern_name(Pattern p);

// A running pattern generator: the shift register, seeded like the DATA
// field's test pattern and carried on from packet to packet.
struct PatternStream {
    Pattern pattern = Pattern::PN9;
    uint32_t reg = 0xFFFF;
};

// Writes the next count octets of the stream to out, bits LSB first (the
// first sequence bit in bit 0 of out[0], as 802.11 sends octets).
void pattern_octets(PatternStream& stream, uint8_t* out, size_t count);

// ---- MAC data frames -------------------------------------------------------

using MacAddress = std::array<uint8_t, 6>;

// Addresses and duration of the data frames; the defaults address every
// station (broadcast, so no acknowledgement is due) from a locally
// administered transmitter that is also the BSSID.
struct MacHeader {
    uint16_t duration = 0;  // microseconds, the Duration/ID field
    MacAddress addr1{0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    MacAddress addr2{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    MacAddress addr3{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
};

// "aa:bb:cc:dd:ee:ff" (or with '-') as an address, or nothing.
std::optional<MacAddress> parse_mac_address(std::string_view text);

// CRC-32 of 802.11's FCS (9.2.4.8) over count octets.
uint32_t fcs32(const uint8_t* data, size_t count);

// Writes the 24-octet header of a data frame (Frame Control 0x08 0x00,
// fragment 0) with the 12-bit sequence number seq (taken modulo 4096) to out.
void write_data_header(const MacHeader& header, uint16_t seq, uint8_t* out);

// Appends the FCS of frame[0, count) little-endian at frame + count.
void append_fcs(uint8_t* frame, size_t count);

// ---- PSDUs from text, files and captures ------------------------------------

// Hex digits (blanks, ':' and '-' between octets allowed) as octets; on a
// fault false with a message in error.
bool parse_hex(std::string_view text, std::vector<uint8_t>& out, std::string& error);

// The size in octets of the regular file at path; false with a message in
// error when it cannot be examined or is not a regular file.
bool regular_file_size(const std::string& path, uint64_t& size, std::string& error);

// A regular file's bytes (at most max_octets); false with a message otherwise.
bool read_small_file(const std::string& path, size_t max_octets, std::vector<uint8_t>& out,
                     std::string& error);

// One frame of a capture: the PSDU with its FCS, and whether the FCS was
// computed here because the capture had none.
struct CapturedFrame {
    std::vector<uint8_t> psdu;
    bool fcs_appended = false;
};

// Every packet of an 802.11 capture (pcap or pcapng; link types 105 and 127)
// as a PSDU. false with a message naming the file and packet on a fault: an
// unreadable, truncated or empty capture, another link type, a packet cut
// short by the snapshot length, too short, or longer than kMaxPsduOctets.
bool read_pcap_file(const std::string& path, std::vector<CapturedFrame>& frames, std::string& error);
// The same from an open stream, which it closes; name is used in messages.
bool read_pcap_stream(std::FILE* stream, const std::string& name, std::vector<CapturedFrame>& frames,
                      std::string& error);

// ---- Impairments in physical units ---------------------------------------------

// The impairment settings as typed, named as orvgen's options name them
// (--snr, ...; in a description the keys of "impairments"); empty: not given.
struct ImpairmentText {
    std::string snr;                   // dB
    std::string seed;                  // --impairment-seed, 0..2^64-1
    std::string iq_gain, iq_phase;     // dB, degrees
    std::string phase_noise;           // "dBc/Hz@Hz,..."
    std::string phase_noise_rms;       // degrees
    std::string ppm, carrier_ghz;      // one oscillator for carrier and clock
    std::string cfo_ppm, clock_ppm;
    std::string multipath_rms;         // ns
    std::string multipath_per_packet;  // "1" / "0" (a flag on the command line)
    std::string multipath_taps;        // a file: "delay_ns gain_db [phase_deg]" a line
    std::string pa_rapp;               // "p,backoff_dB"
    std::string clip_papr;             // dB
    bool any() const;
};

// The default of --impairment-seed.
constexpr uint64_t kDefaultImpairmentSeed = 1;

// The impairments, checked, in the library's units.
struct Impairments {
    bool snr_on = false;
    double snr_db = 0.0;
    uint64_t seed = kDefaultImpairmentSeed;
    double iq_gain_db = 0.0, iq_phase_deg = 0.0;
    std::vector<double> pn_offsets_hz, pn_levels_dbc;
    double pn_rms_deg = 0.0;
    double cfo_ppm = 0.0, carrier_ghz = 0.0, clock_ppm = 0.0;
    double multipath_rms_ns = 0.0;
    bool per_packet = false;
    std::vector<double> tap_delay_ns, tap_gain_db, tap_phase_deg;
    bool rapp_on = false;
    double rapp_p = 0.0, rapp_backoff_db = 0.0;
    bool clip_on = false;
    double clip_papr_db = 0.0;
};

// Checks the settings as typed and fills out; prefix names them in messages
// ("--" for options, "/impairments/" for a description); a taps file is
// found relative to base_dir. false with a message naming the setting (and
// the line of a taps file) at fault.
bool read_impairments(const ImpairmentText& text, const std::string& prefix, const std::string& base_dir,
                      Impairments& out, std::string& error);
// A tapped delay line file: "delay_ns gain_db [phase_deg]" a line, '#' starts
// a comment, blank lines skipped; delays ascending from 0. false with
// "FILE line N: ..." on a fault.
bool read_taps_file(const std::string& path, Impairments& out, std::string& error);

// ---- The plan of a waveform ----------------------------------------------------

// Settings of the whole waveform, named as orvgen's options name them; an
// absent value keeps orvgen's setting.
struct GlobalSettings {
    int channel_mhz = 20;                    // 20, 10 or 5
    std::optional<int> oversample;           // 1..10
    std::optional<std::string> filter;       // "rectangle" or "nyquist"
    std::optional<int> taps;
    std::optional<double> roll_off;
    std::optional<double> cut_off;           // MHz
    std::optional<double> window_tr;         // microseconds, 0..2
    std::optional<bool> iq_inverse;
    std::optional<double> freq_error;        // MHz (excludes if)
    std::optional<double> if_freq;           // MHz, --if (excludes freq_error)
    std::optional<double> dc_real;           // percent
    std::optional<double> dc_imag;           // percent
    std::optional<double> sine;              // MHz (excludes gauss)
    std::optional<double> sine_level;        // dB
    std::optional<double> gauss;             // dB (excludes sine)
};

// Where a packet's PSDU comes from.
enum class Source { Pattern, Octets, Capture };

// Scrambler initial state: 1..127, or 0 for "step" (1, 2, ... 127, 1, ...
// over the packets of the whole sequence).
constexpr int kScramblerStep = 0;
constexpr int kDefaultScrambler = 93;

// One entry of a description: a packet (or a capture's packets) repeated.
struct PacketPlan {
    int rate_index = 0;                      // 0..7: 6, 9, 12, 18, 24, 36, 48, 54 Mbit/s
    Source source = Source::Pattern;
    Pattern pattern = Pattern::PN9;          // Source::Pattern
    uint32_t seed = 0xFFFF;                  // Source::Pattern, nonzero
    size_t payload_bytes = 0;                // Source::Pattern
    bool mac_frame = true;                   // Source::Pattern: wrap in a data frame
    MacHeader mac;                           // with mac_frame
    std::vector<uint8_t> octets;             // Source::Octets: the PSDU as it is
    std::vector<CapturedFrame> captured;     // Source::Capture: one PPDU each
    int scrambler = kDefaultScrambler;       // 1..127 or kScramblerStep
    double idle_us = 0.0;                    // silence after each packet
    uint32_t repeat = 1;                     // >= 1
};

struct WaveformPlan {
    GlobalSettings globals;
    std::vector<PacketPlan> packets;
    Impairments impairments;  // a description's "impairments"
};

// ---- The packet list -------------------------------------------------------------

// One PPDU of the waveform. Its PSDU is octets [offset, offset + length) of
// the sequence's pool; repeats of an unchanging PSDU share their octets.
struct Packet {
    size_t offset = 0;
    uint16_t length = 0;       // 1..4095
    uint8_t rate_index = 0;    // 0..7
    uint8_t scrambler = 0;     // 1..127
    int16_t sequence = -1;     // MAC sequence number 0..4095, -1 when not a data frame made here
    bool fcs_appended = false; // a captured frame whose FCS was computed here
    double idle_s = 0.0;       // silence after the packet, seconds
};

struct Sequence {
    GlobalSettings globals;
    std::vector<uint8_t> pool;
    std::vector<Packet> packets;
};

// The PSDU octets of one packet of the sequence.
inline std::span<const uint8_t> psdu(const Sequence& s, const Packet& p) {
    return {s.pool.data() + p.offset, p.length};
}

// Expands a plan: repeats, the MAC sequence number stepping (mod 4096) over
// every data frame of the sequence from first_sequence, the PN payload of
// each pattern and seed running on across packets, the scrambler stepping.
// false with a message when the sequence would exceed kMaxPackets packets or
// kMaxPoolOctets octets.
bool expand(const WaveformPlan& plan, Sequence& out, std::string& error, uint16_t first_sequence = 0);

// ---- orvgen's options -------------------------------------------------------------

// The frame options of orvgen as given (text as typed, empty when absent).
struct FrameOptions {
    std::string rate = "6";             // --rate, Mbit/s
    std::string data = "PN9";           // --data
    std::string seed = "FFFF";          // --seed, hex
    std::string payload_bytes;          // --payload-bytes
    std::string mac_frame;              // --mac-frame data (the default) or none
    std::string addr1, addr2, addr3;    // --addr1, --addr2, --addr3
    std::string duration;               // --duration, microseconds
    std::string psdu_file;              // --psdu-file
    std::string psdu_hex;               // --psdu-hex
    std::string pcap;                   // --pcap
    std::string packets = "1";          // --packets
    std::string idle = "0";             // --idle, microseconds
    std::string scrambler_init = "93";  // --scrambler-init 1..127 or step
};

// The plan the options describe (one entry, repeated --packets times);
// false with a message naming the option at fault.
bool plan_from_options(const FrameOptions& options, WaveformPlan& plan, std::string& error);

// ---- The waveform description file ------------------------------------------

// Reads a description (JSON) from text; files it names are found relative to
// base_dir. false with "JSON-pointer: message" on the first fault.
bool plan_from_json(std::string_view text, const std::string& base_dir, WaveformPlan& plan,
                    std::string& error);
// The same from a file; messages start with the file's name.
bool read_description(const std::string& path, WaveformPlan& plan, std::string& error);

}  // namespace frames
