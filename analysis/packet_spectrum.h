// The transmit spectrum mask (17.3.9.2) and the CCDF of the sample power over the
// packets of a file, accumulated as the file's samples go past: a Welch average of
// 100 kHz Hann segments (50 % overlap) inside each packet's span, and a histogram of
// the sample power in bins of at most 0.0043 dB. Memory is bounded by the spans still open.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "analysis.h"
#include "ofdm.h"

namespace orv::analysis {

// Welch PSD: the sum of |FFT|^2 of Hann-windowed segments of n samples.
class WelchSum {
public:
    explicit WelchSum(int n);
    int size() const { return n_; }
    int64_t segments() const { return count_; }
    // Adds the n samples at seg, windowed.
    void add(const cd* seg);
    // The PSD relative to its maximum at sampling rate fs and the mask margin outside
    // +-9 MHz; mask untouched when no segment was added or the PSD is zero.
    void to_mask(double fs, MaskResult& mask) const;

private:
    int n_;
    std::vector<double> win_, acc_;
    std::vector<cd> seg_, spectrum_;
    std::unique_ptr<ForwardFft> fft_;
    int64_t count_ = 0;
};

// The sample power |x|^2 in bins of at most 0.0043 dB (the exponent and the first 10 bits of
// the mantissa of the double: 1024 bins in a factor of two), the running sum for the mean.
class PowerHistogram {
public:
    static constexpr int kMantissaBits = 10;
    static constexpr double kBinDb = 0.0042393;  // the widest bin, 10 log10(1 + 2^-10) dB, rounded up
    void add(double power);
    int64_t count() const { return n_; }
    double mean() const { return n_ ? sum_ / static_cast<double>(n_) : 0.0; }
    // The level above the mean (dB) of the sample at index floor(probability * count)
    // of the powers sorted in descending order: the middle of its bin (within half a bin).
    double level_db(double probability) const;

private:
    std::vector<int64_t> bins_;  // bins_[i]: powers in bin base_ + i
    int64_t base_ = 0;
    int64_t zeros_ = 0;          // powers of 0
    int64_t n_ = 0;
    double sum_ = 0;
};

// The mask and CCDF of the summary over the packets' samples.
struct PacketSpectrumResult {
    std::optional<MaskResult> mask;
    std::vector<CcdfPoint> ccdf;  // 10 %, 1 %, 0.1 %, 0.01 %; empty without power or when it overflowed
};

// Spans [a, b) of the file's samples (the packets, in the order found) and the file's
// samples in order, given in any interleaving: a span's samples are used once they are
// all there, the samples no open span and no later span needs are let go.
class PacketSpectrum {
public:
    // os: the file's sampling rate is 20 MHz times os.
    explicit PacketSpectrum(int os);
    // A packet's span; b may lie beyond the samples given so far (clipped to the file at finish).
    void add_span(int64_t a, int64_t b);
    // No span added from now on starts before sample at.
    void settle(int64_t at);
    // The file's next n samples.
    void push(const cd* x, size_t n);
    // The file ends after the samples pushed: the last spans clipped to it, the results.
    PacketSpectrumResult finish();
    // Samples held now (for the tests of the bound).
    size_t held() const { return buf_.size() - head_; }

private:
    struct Span {
        int64_t a, b;
        int64_t seg;   // next Welch segment's first sample
        int64_t pos;   // next sample for the histogram
    };
    void process();
    // The first sample the open spans or a later span may need.
    int64_t needed_from() const;
    void release();
    const cd& at(int64_t k) const { return buf_[static_cast<size_t>(k - buf0_) + head_]; }
    double fs_;
    WelchSum welch_;
    PowerHistogram hist_;
    std::deque<Span> spans_;
    std::vector<cd> buf_;          // samples from buf0_ (buf_[head_] is sample buf0_)
    size_t head_ = 0;
    int64_t buf0_ = 0;
    int64_t end_ = 0;              // samples pushed
    int64_t total_ = INT64_MAX;    // the file's length once known
    int64_t settled_ = 0;
    // Spans shorter than a segment, longest only, kept while no segment was added: with no
    // longer span they give the PSD at their own length.
    std::vector<std::vector<cd>> short_;
};

}  // namespace orv::analysis
