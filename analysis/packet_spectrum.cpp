// The packets' spectrum mask and CCDF, accumulated as the file streams past.
#include "packet_spectrum.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cmath>
#include <numbers>

namespace orv::analysis {

namespace {
double db10(double ratio) { return 10.0 * std::log10(ratio); }

// Samples a push takes in at a time before the spans are served and the buffer trimmed.
constexpr size_t kPushBlock = size_t{1} << 16;
// Bins a histogram grows by beyond the one that did not fit (two factors of two, 6 dB).
constexpr int64_t kGrowBins = 2 << PowerHistogram::kMantissaBits;
// The bin of a positive power: its exponent and the first kMantissaBits bits of its mantissa
// (in order of the power for every positive double, infinity the last).
int64_t power_bin(double p) { return static_cast<int64_t>(std::bit_cast<uint64_t>(p) >> (52 - PowerHistogram::kMantissaBits)); }

// The power in the middle of bin b in dB (the geometric mean of its edges).
double bin_middle_db(int64_t b) {
    const double lo = std::bit_cast<double>(static_cast<uint64_t>(b) << (52 - PowerHistogram::kMantissaBits));
    const double hi = std::bit_cast<double>(static_cast<uint64_t>(b + 1) << (52 - PowerHistogram::kMantissaBits));
    if (!(lo > 0)) return db10(hi);  // the bin from 0 (subnormal powers)
    return std::isfinite(hi) ? 5.0 * (std::log10(lo) + std::log10(hi)) : db10(lo);
}
}  // namespace

WelchSum::WelchSum(int n)
    : n_(n), win_(static_cast<size_t>(n)), acc_(static_cast<size_t>(n), 0.0), seg_(static_cast<size_t>(n)),
      spectrum_(static_cast<size_t>(n)), fft_(std::make_unique<ForwardFft>(n)) {
    for (int i = 0; i < n; ++i) win_[static_cast<size_t>(i)] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / n);
}

void WelchSum::add(const cd* x) {
    for (int i = 0; i < n_; ++i) seg_[static_cast<size_t>(i)] = x[i] * win_[static_cast<size_t>(i)];
    fft_->run(seg_.data(), spectrum_.data());
    for (int i = 0; i < n_; ++i) acc_[static_cast<size_t>(i)] += std::norm(spectrum_[static_cast<size_t>(i)]);
    ++count_;
}

void WelchSum::to_mask(double fs, MaskResult& mask) const {
    if (count_ == 0) return;
    const int n = n_;
    const double peak = *std::max_element(acc_.begin(), acc_.end());
    if (!(peak > 0)) return;
    mask.freq_hz.resize(static_cast<size_t>(n));
    mask.psd_dbr.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const int bin = (i + (n + 1) / 2) % n;  // ascending frequency
        const int k = bin < (n + 1) / 2 ? bin : bin - n;
        mask.freq_hz[static_cast<size_t>(i)] = k * fs / n;
        mask.psd_dbr[static_cast<size_t>(i)] = db10(std::max(acc_[static_cast<size_t>(bin)] / peak, 1e-30));
    }
    for (size_t i = 0; i < mask.freq_hz.size(); ++i) {
        const double f = mask.freq_hz[i];
        if (std::abs(f) <= 9e6 || std::abs(f) > fs / 2 - 100e3) continue;
        const double margin = mask_limit_dbr(f / 1e6) - mask.psd_dbr[i];
        if (!mask.margin_db || margin < *mask.margin_db) {
            mask.margin_db = margin;
            mask.worst_offset_hz = f;
            mask.worst_psd_dbr = mask.psd_dbr[i];
        }
    }
    mask.pass = !mask.margin_db || *mask.margin_db >= 0;
}

void PowerHistogram::add(double power) {
    ++n_;
    sum_ += power;
    if (!(power > 0)) {
        ++zeros_;
        return;
    }
    const int64_t b = power_bin(power);  // an |x|^2 that overflowed (infinite) in the top bin
    if (bins_.empty()) {
        base_ = b - kGrowBins;
        bins_.assign(static_cast<size_t>(2 * kGrowBins + 1), 0);
    } else if (b < base_) {
        const int64_t more = base_ - b + kGrowBins;
        bins_.insert(bins_.begin(), static_cast<size_t>(more), 0);
        base_ -= more;
    } else if (b >= base_ + static_cast<int64_t>(bins_.size())) {
        bins_.resize(static_cast<size_t>(b - base_ + 1 + kGrowBins), 0);
    }
    ++bins_[static_cast<size_t>(b - base_)];
}

double PowerHistogram::level_db(double probability) const {
    const double mean = this->mean();
    if (n_ == 0 || !(mean > 0)) return 0.0;
    const int64_t idx = std::min(static_cast<int64_t>(probability * static_cast<double>(n_)), n_ - 1);
    int64_t above = 0;  // powers in the bins above
    for (size_t i = bins_.size(); i-- > 0;) {
        above += bins_[i];
        if (above > idx) return bin_middle_db(base_ + static_cast<int64_t>(i)) - db10(mean);
    }
    return db10(1e-300 / mean);  // among the zeros
}

PacketSpectrum::PacketSpectrum(int os) : fs_(20e6 * std::max(os, 1)), welch_(static_cast<int>(std::lround(1.5 * fs_ / 100e3))) {}

void PacketSpectrum::add_span(int64_t a, int64_t b) {
    a = std::max<int64_t>(a, 0);
    if (b <= a) return;
    // A span before the samples let go (not expected of a settled stream): what is left of it.
    a = std::max(a, buf0_);
    spans_.push_back({a, b, a, a});
    process();
}

void PacketSpectrum::settle(int64_t at) {
    settled_ = std::max(settled_, at);
    release();
}

void PacketSpectrum::push(const cd* x, size_t n) {
    for (size_t done = 0; done < n;) {
        if (head_ == buf_.size()) {  // nothing held: the samples before the first one needed are passed over
            const int64_t skip = std::min(needed_from() - end_, static_cast<int64_t>(n - done));
            if (skip > 0) {
                done += static_cast<size_t>(skip);
                end_ += skip;
                buf0_ = end_;
                continue;
            }
        }
        const size_t k = std::min(kPushBlock, n - done);
        buf_.insert(buf_.end(), x + done, x + done + k);
        end_ += static_cast<int64_t>(k);
        done += k;
        process();
    }
}

// Serves the spans in order as far as the samples allow, then lets go what none needs.
void PacketSpectrum::process() {
    const int n = welch_.size();
    while (!spans_.empty()) {
        Span& s = spans_.front();
        const int64_t b = std::min(s.b, total_);
        for (const int64_t stop = std::min(b, end_); s.pos < stop; ++s.pos) {
            const cd& v = at(s.pos);
            hist_.add(v.real() * v.real() + v.imag() * v.imag());  // std::norm squares a hypot
        }
        for (; s.seg + n <= b && s.seg + n <= end_; s.seg += n / 2) welch_.add(&at(s.seg));
        if (b > end_) break;  // waits for more samples
        if (b > s.a && b - s.a < n && welch_.segments() == 0) {
            const size_t len = static_cast<size_t>(b - s.a);
            if (!short_.empty() && short_.front().size() < len) short_.clear();
            if (short_.empty() || short_.front().size() == len) short_.emplace_back(&at(s.a), &at(s.a) + len);
        }
        spans_.pop_front();
    }
    release();
}

int64_t PacketSpectrum::needed_from() const {
    int64_t keep = settled_;
    for (const Span& s : spans_) keep = std::min({keep, s.pos, s.seg});
    return keep;
}

void PacketSpectrum::release() {
    const int64_t keep = std::min(needed_from(), end_);
    if (keep <= buf0_) return;
    head_ += static_cast<size_t>(keep - buf0_);
    buf0_ = keep;
    if (head_ == buf_.size()) {
        buf_.clear();
        head_ = 0;
    } else if (head_ >= kPushBlock && head_ * 2 >= buf_.size()) {
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}

PacketSpectrumResult PacketSpectrum::finish() {
    total_ = end_;
    settled_ = INT64_MAX;
    process();
    PacketSpectrumResult r;
    MaskResult mask;
    if (welch_.segments() > 0) {
        welch_.to_mask(fs_, mask);
    } else if (!short_.empty() && short_.front().size() >= 16) {
        // Every span shorter than a segment: one segment of the longest length in each of the longest.
        WelchSum w(static_cast<int>(short_.front().size()));
        for (const std::vector<cd>& x : short_) w.add(x.data());
        w.to_mask(fs_, mask);
    }
    if (!mask.psd_dbr.empty()) r.mask = std::move(mask);
    if (hist_.count() > 0 && hist_.mean() > 0 && std::isfinite(hist_.mean()))
        for (double p : {0.1, 0.01, 0.001, 0.0001}) r.ccdf.push_back({p, hist_.level_db(p)});
    return r;
}

}  // namespace orv::analysis
