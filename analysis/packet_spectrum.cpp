// The packets' spectrum mask and CCDF, accumulated as the file streams past.
#include "packet_spectrum.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace orv::analysis {

namespace {
double db10(double ratio) { return 10.0 * std::log10(ratio); }

// Samples a push takes in at a time before the spans are served and the buffer trimmed.
constexpr size_t kPushBlock = size_t{1} << 16;
// Bins a histogram grows by beyond the one that did not fit (10 dB).
constexpr int64_t kGrowBins = 1000;
// The bins' range: +-4000 dB holds every positive double.
constexpr double kMaxBin = 400000;
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
    // 0.01 dB bins; an overflowed |x|^2 (infinite) in the top one.
    const int64_t b = static_cast<int64_t>(std::clamp(std::floor(1000.0 * std::log10(power)), -kMaxBin, kMaxBin));
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
        if (above > idx) return (static_cast<double>(base_ + static_cast<int64_t>(i)) + 0.5) * kBinDb - db10(mean);
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
        for (const int64_t stop = std::min(b, end_); s.pos < stop; ++s.pos) hist_.add(std::norm(at(s.pos)));
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

void PacketSpectrum::release() {
    int64_t keep = std::min(settled_, end_);
    for (const Span& s : spans_) keep = std::min({keep, s.pos, s.seg});
    if (keep <= buf0_) return;
    head_ += static_cast<size_t>(keep - buf0_);
    buf0_ = keep;
    if (head_ >= kPushBlock && head_ * 2 >= buf_.size()) {
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
