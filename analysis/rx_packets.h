// The packet receiver over a whole file: every packet through the stages of rx.h,
// the totals and the verdict on them.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "analysis.h"
#include "ofdm.h"
#include "rx.h"

namespace orv::analysis {

// Most packets one file is analysed for; the rest are counted in a note.
constexpr int kMaxPackets = 200000;

// Every packet in the n samples of x (sampling rate 20 MHz times os), in time order.
// truncated is set when kMaxPackets were reached before the end of x. shift_hz: a carrier
// offset removed before the decimation to 20 MS/s (an offset beyond +-10 MHz at os > 1).
std::vector<PacketResult> receive_packets(const cd* x, int64_t n, int os, const Options& opt, bool* truncated,
                                          double shift_hz = 0);

// Samples at 20 MS/s of the longest packet (LENGTH 4095 at 6 Mbit/s) and its search: a
// window of the file decodes the packets detected before its last kLongestPacket samples.
constexpr int64_t kLongestPacket = 320 + 80 * 1366 + 512;
// Samples a window keeps before its search point.
constexpr int64_t kBackWindow = 64;
// Samples at 20 MS/s a packet may start before the point its detection was searched from
// (the short training field's length and more).
constexpr int64_t kStartBeforeSearch = 320;

// The same search over a file fed piece by piece, in windows of bounded size: the packets
// are the ones receive_packets finds in the whole file when the file's DC offset is that
// of its first mean_samples samples. A continuous tone (rx::remove_tone) is found and
// taken out of each piece the windows gain, as the whole-file receiver does over the file.
class PacketStream {
public:
    // chunk: input samples gathered between decodings.
    PacketStream(int os, const Options& opt, double shift_hz = 0, int64_t mean_samples = int64_t{1} << 22,
                 size_t chunk = size_t{1} << 20);
    // The DC offset known beforehand (rx::dc_offset of the first mean_samples samples, less
    // the shift): the windows are decoded from the first chunk on. Before the first push.
    void set_mean(cd mean);
    // n more samples of the file (20 MHz times os).
    void push(const cd* x, size_t n);
    // Decodes the rest; every packet in time order. truncated as receive_packets.
    std::vector<PacketResult> finish(bool* truncated);
    // The packets decoded so far, in time order.
    const std::vector<PacketResult>& found() const { return out_; }
    // The first sample of the file (20 MHz times os) where a packet decoded from now on may start.
    int64_t settled() const;

private:
    void step(bool last);
    void cancel_tone(size_t from);
    int os_;
    Options opt_;
    double shift_hz_;
    int64_t mean_samples_;
    size_t chunk_;
    bool mean_known_ = false;
    cd mean_ = 0;
    std::vector<cd> in_;     // input from sample in0_
    int64_t in0_ = 0;
    std::vector<cd> y_;      // 20 MS/s from sample y0_
    int64_t y0_ = 0;
    int64_t from_ = 0;       // search point in y_
    bool truncated_ = false;
    std::vector<PacketResult> out_;
    std::optional<rx::Tone> tone_;  // the last piece's tone
    int64_t tone_at_ = 0;           // the sample at 20 MS/s its amplitude's phase refers to
};

// Centre-frequency leakage limit of 17.3.9.6.1 (relative to the total power).
constexpr double kLeakageLimitDb = -15.0;

// A packet's samples in the file (x at 20 MHz times os): [start, end), the preamble, SIGNAL
// and the DATA symbols SIGNAL announces, not clipped to the file.
std::pair<int64_t, int64_t> packet_span(const PacketResult& p, int os);

// The samples of the file's packets (x at 20 MHz times os, n samples): [start, end) each,
// the preamble, SIGNAL and the DATA symbols SIGNAL announces, clipped to x.
std::vector<std::pair<int64_t, int64_t>> packet_spans(const std::vector<PacketResult>& packets, int os, int64_t n);

// Totals of packets; expected the packets the file should hold.
PacketSummary summarise(const std::vector<PacketResult>& packets, std::optional<int> expected);

// The verdict's failures from the packets and their totals.
std::vector<std::string> packet_failures(const std::vector<PacketResult>& packets, const PacketSummary& s);

// Identifies a test pattern and its seed in demodulated bits, or checks the expected one.
PayloadResult identify_payload(const std::vector<uint8_t>& bits, const Options& opt);

}  // namespace orv::analysis
