// The packet receiver over a whole file, its totals and verdict.
#include "rx_packets.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

#include "rx.h"
#include "rx_measure.h"

namespace orv::analysis {

namespace {

// The DATA field of a packet with a valid SIGNAL: demodulated into dem (its buffers kept
// from packet to packet; dem.spectra the DATA symbols' subcarriers for the measurement),
// decoded, its MAC frame read.
void receive_data(const std::vector<cd>& y, const rx::Sync& s, const rx::Channel& ch, const RateInfo& rate,
                  const Options& opt, ForwardFft& fft, PacketResult& p, int n_sym, rx::Demodulated& dem,
                  double drift = 0) {
    rx::demodulate_into(y, s, ch, rate, n_sym, fft, drift, dem);
    if (dem.symbols > 0) p.evm_db = dem.evm_db;
    p.leakage_db = dem.leakage_db;
    p.freq_error_hz += p.inverted ? -dem.residual_hz : dem.residual_hz;
    if (dem.symbols < n_sym) {
        p.problem = "cut off after " + std::to_string(dem.symbols) + " of " + std::to_string(n_sym) + " DATA symbols";
        return;
    }
    rx::Decoded dec = rx::decode_data(dem.soft, rate, p.length);
    p.decoded = true;
    p.scrambler_init = dec.scrambler_init;
    p.service_ok = dec.service_ok;
    p.tail_ok = dec.tail_ok;
    p.pad_ok = dec.pad_ok;
    const rx::MacFrame mac = rx::parse_mac(dec.psdu);
    p.psdu = std::move(dec.psdu);
    if (!mac.fcs_ok && !dec.service_ok) {
        // Not a coded PSDU: perhaps this generator's test pattern mapped directly onto the subcarriers.
        std::vector<uint8_t> hard(dem.soft.size());
        for (size_t i = 0; i < hard.size(); ++i) hard[i] = dem.soft[i] > 0;
        Options plain;
        const PayloadResult pr = identify_payload(hard, plain);
        if (pr.pattern != "not a test pattern") {
            p.test_pattern = pr.pattern;
            p.scrambler_init.reset();
            p.psdu.clear();
            return;
        }
    }
    (void)opt;
    p.fcs_ok = mac.fcs_ok;
    if (mac.type >= 0) {
        p.frame_type = mac.type_name;
        p.subtype = mac.subtype;
        p.addresses = mac.addresses;
        p.seq = mac.seq;
    }
    if (!mac.fcs_ok) p.problem = "FCS error";
}

// The impairments of a packet's DATA field, against its transmitted points when its FCS is good.
void measure_packet(const std::vector<cd>& y, const rx::Sync& s, const rx::Channel& ch, const RateInfo& rate, int n_sym,
                    int os, ForwardFft& fft, const std::vector<std::array<cd, 53>>& spectra, PacketResult& p) {
    static thread_local std::vector<cd> known;  // its room kept from packet to packet
    const bool good = p.fcs_ok.value_or(false) && p.scrambler_init;
    if (good) rx::transmitted_points(p.psdu, *p.scrambler_init, rate, n_sym, known);
    const rx::Impairments m =
        rx::measure_impairments(y, s, ch, rate, n_sym, good && !known.empty() ? &known : nullptr, fft, os, &spectra);
    p.snr_db = m.snr_db;
    p.iq_gain_db = m.iq_gain_db;
    p.iq_phase_deg = m.iq_phase_deg;
    p.clock_ppm = m.clock_ppm;
    p.cpe_rms_deg = m.cpe_rms_deg;
    p.delay_spread_ns = m.delay_spread_ns;
}

// 17.3.9.6.2 on a channel estimate: within +-2 dB of the mean of subcarriers +-1..16
// there, +2 / -4 dB on the outer ones.
bool flat(const rx::Channel& ch) {
    double inner = 0;
    for (int k = 1; k <= 16; ++k) inner += std::norm(ch.h[static_cast<size_t>(26 + k)]) + std::norm(ch.h[static_cast<size_t>(26 - k)]);
    inner /= 32.0;
    if (!(inner > 0)) return false;
    for (int k = -26; k <= 26; ++k) {
        if (!k) continue;
        const double d = 10.0 * std::log10(std::max(std::norm(ch.h[static_cast<size_t>(k + 26)]) / inner, 1e-30));
        if (std::abs(k) <= 16 ? std::abs(d) > 2.0 : (d > 2.0 || d < -4.0)) return false;
    }
    return true;
}

// Smallest measured clock offset a packet with a bad FCS is demodulated again for.
constexpr double kFollowPpm = 2.0;

// One packet from its synchronisation; returns the first sample after it.
int64_t receive_one(const std::vector<cd>& y, const rx::Sync& s, int os, const Options& opt, PacketResult& p) {
    static thread_local ForwardFft fft(64);
    p.start = (s.first_path - 192) * os;
    p.inverted = s.inverted;
    p.freq_error_hz = s.inverted ? -s.cfo_hz : s.cfo_hz;
    const rx::Channel ch = rx::estimate_channel(y, s, fft);
    p.flatness_ok = flat(ch);
    const int64_t data_start = s.t1 + 128 + 80;
    if (data_start > static_cast<int64_t>(y.size())) {
        p.problem = "cut off in the preamble or SIGNAL field";
        return static_cast<int64_t>(y.size());
    }
    const rx::SignalField sig = rx::decode_signal(y, s, ch, fft);
    p.rate_mbps = sig.rate_mbps;
    p.length = sig.length;
    p.signal_ok = sig.valid();
    p.signal_tail_ok = sig.tail_ok;
    if (!p.signal_ok) {
        p.problem = sig.rate_mbps ? (sig.parity_ok ? "SIGNAL LENGTH 0" : "SIGNAL parity error") : "SIGNAL RATE bits " + sig.rate_bits + " not a rate";
        return data_start;
    }
    const RateInfo& rate = *rate_by_mbps(sig.rate_mbps);
    const PacketResult before = p;
    static thread_local rx::Demodulated dem;
    receive_data(y, s, ch, rate, opt, fft, p, sig.data_symbols, dem);
    measure_packet(y, s, ch, rate, sig.data_symbols, os, fft, dem.spectra, p);
    // A sample-clock offset the demodulator did not follow (the outer subcarriers of the late
    // symbols turn away): once more, following the drift the measurement found.
    if (p.decoded && p.fcs_ok == false && p.clock_ppm && std::abs(*p.clock_ppm) >= kFollowPpm) {
        PacketResult again = before;
        receive_data(y, s, ch, rate, opt, fft, again, sig.data_symbols, dem,
                     2.0 * std::numbers::pi * 80.0 * *p.clock_ppm * 1e-6 / 64.0);
        if (again.fcs_ok == true) {
            measure_packet(y, s, ch, rate, sig.data_symbols, os, fft, dem.spectra, again);
            p = std::move(again);
        }
    }
    // A DATA field the file cuts off may come from a wrong LENGTH that passed the parity check
    // (one wrong SIGNAL field in four): the search goes on after the SIGNAL field, so that the
    // packets up to the file's end are still found. (After a bad FCS it goes on from the end
    // LENGTH gives: searched inside a faded packet's DATA field, the detector finds preambles
    // that are none.)
    if (!p.decoded) return data_start;
    return std::min<int64_t>(data_start + int64_t{80} * sig.data_symbols, static_cast<int64_t>(y.size()));
}

}  // namespace

namespace {

// The packets of y (20 MS/s samples from sample y0 of the file at that rate) detected at or
// after from and before stop; appends them to out and returns where the search goes on.
int64_t receive_span(const std::vector<cd>& y, int64_t from, int64_t stop, int64_t y0, int os, const Options& opt,
                     double shift_hz, std::vector<PacketResult>& out, bool* truncated) {
    while (const auto d = rx::detect_next(y, from)) {
        if (d->at >= stop) break;
        if (out.size() >= static_cast<size_t>(kMaxPackets)) {
            if (truncated) *truncated = true;
            return static_cast<int64_t>(y.size());
        }
        const rx::Sync s = rx::synchronise(y, *d);
        if (s.metric < rx::kSyncThreshold) {
            from = rx::periodic_end(y, d->at + 16);
            continue;
        }
        PacketResult p;
        from = std::max(receive_one(y, s, os, opt, p), d->at + 16);
        p.start += y0 * os;
        p.freq_error_hz += shift_hz;
        if (opt.carrier_ghz) p.freq_error_ppm = p.freq_error_hz / (*opt.carrier_ghz * 1e3);
        out.push_back(std::move(p));
    }
    return std::max(from, std::min(stop, static_cast<int64_t>(y.size())));
}

}  // namespace

namespace {

// Samples of the file a window takes beyond the longest packet.
constexpr int64_t kWindowStep = int64_t{1} << 18;

// receive_packets at 20 MS/s without a shift: the file's samples less its DC offset taken
// window by window into one buffer (no copy of the whole file), a continuous tone taken out
// of each window (rx::remove_tone over the window); each window decodes the
// packets detected before its last kLongestPacket samples, the next starts kBackWindow
// before the search point.
std::vector<PacketResult> receive_windows(const cd* x, int64_t n, const Options& opt, bool* truncated) {
    const cd mean = rx::dc_offset(x, n);
    const bool no_offset = mean.real() == 0 && mean.imag() == 0 && !std::signbit(mean.real()) && !std::signbit(mean.imag());
    std::vector<PacketResult> out;
    bool cut = false;
    std::vector<cd> y;
    y.reserve(static_cast<size_t>(std::min(n, kWindowStep + kLongestPacket)));
    for (int64_t y0 = 0, from = 0;;) {
        const int64_t end = std::min(n, y0 + kWindowStep + kLongestPacket);
        y.resize(static_cast<size_t>(end - y0));
        if (no_offset) std::copy(x + y0, x + end, y.begin());  // x - (+0) is x, -0 and NaN included
        else for (int64_t k = y0; k < end; ++k) y[static_cast<size_t>(k - y0)] = x[k] - mean;
        rx::remove_tone(y);
        const bool last = end == n;
        const int64_t stop = last ? end - y0 : end - y0 - kLongestPacket;
        from = receive_span(y, from, stop, y0, 1, opt, 0, out, &cut);
        if (last || cut) break;
        const int64_t drop = std::max<int64_t>(from - kBackWindow, 0);
        y0 += drop;
        from -= drop;
    }
    if (truncated) *truncated = cut;
    return out;
}

}  // namespace

std::vector<PacketResult> receive_packets(const cd* x, int64_t n, int os, const Options& opt, bool* truncated,
                                          double shift_hz) {
    os = std::max(os, 1);
    if (os == 1 && shift_hz == 0) return receive_windows(x, std::max<int64_t>(n, 0), opt, truncated);
    std::vector<cd> y;
    if (shift_hz != 0) {
        std::vector<cd> shifted(x, x + n);
        const double w = -2.0 * std::numbers::pi * shift_hz / (rx::kBaseRateHz * os);
        for (int64_t k = 0; k < n; ++k) shifted[static_cast<size_t>(k)] *= std::polar(1.0, w * static_cast<double>(k));
        y = rx::to_base_rate(shifted.data(), n, os);
    } else {
        y = rx::to_base_rate(x, n, os);
    }
    rx::remove_tone(y);
    std::vector<PacketResult> out;
    if (truncated) *truncated = false;
    receive_span(y, 0, static_cast<int64_t>(y.size()), 0, os, opt, shift_hz, out, truncated);
    return out;
}

PacketStream::PacketStream(int os, const Options& opt, double shift_hz, int64_t mean_samples, size_t chunk)
    : os_(std::max(os, 1)), opt_(opt), shift_hz_(shift_hz), mean_samples_(std::max<int64_t>(mean_samples, 1)),
      chunk_(std::max<size_t>(chunk, 1)) {}

void PacketStream::set_mean(cd mean) {
    mean_ = mean;
    mean_known_ = true;
}

void PacketStream::push(const cd* x, size_t n) {
    if (shift_hz_ == 0) {
        in_.insert(in_.end(), x, x + n);
    } else {
        const double w = -2.0 * std::numbers::pi * shift_hz_ / (rx::kBaseRateHz * os_);
        for (size_t k = 0; k < n; ++k)
            in_.push_back(x[k] * std::polar(1.0, w * static_cast<double>(in0_ + static_cast<int64_t>(in_.size()))));
    }
    if (!mean_known_ && static_cast<int64_t>(in_.size()) >= mean_samples_) {
        mean_ = rx::dc_offset(in_.data(), mean_samples_);
        mean_known_ = true;
    }
    if (mean_known_ && in_.size() >= chunk_) step(false);
}

std::vector<PacketResult> PacketStream::finish(bool* truncated) {
    if (!mean_known_) mean_ = rx::dc_offset(in_.data(), static_cast<int64_t>(in_.size()));
    mean_known_ = true;
    step(true);
    if (truncated) *truncated = truncated_;
    return std::move(out_);
}

// Decimates what the input allows (all of it at the end) and decodes the packets whose
// whole extent the window holds; keeps the window's samples from the search point on.
void PacketStream::step(bool last) {
    const int64_t end = in0_ + static_cast<int64_t>(in_.size());  // input samples received
    const size_t fresh = y_.size();  // the first sample this step decimates
    if (os_ == 1) {
        for (const cd& v : in_) y_.push_back(v - mean_);
        in0_ = end;
        in_.clear();
    } else {
        const std::vector<double>& taps = rx::lowpass_taps(os_);
        const int64_t half = static_cast<int64_t>(taps.size() / 2);
        for (int64_t j = y0_ + static_cast<int64_t>(y_.size());; ++j) {
            const int64_t c = j * os_;
            if (c >= end || (!last && c + half >= end)) break;
            const int64_t lo = std::max<int64_t>(-half, -c), hi = std::min<int64_t>(half, end - 1 - c);
            y_.push_back(rx::fir_sum(&in_[static_cast<size_t>(c + lo - in0_)], taps.data() + (lo + half),
                                     static_cast<size_t>(hi - lo + 1), mean_));
        }
        // Keep the input the next outputs need.
        const int64_t keep_from = std::min(end, (y0_ + static_cast<int64_t>(y_.size())) * os_ - half);
        if (keep_from > in0_) {
            in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(keep_from - in0_));
            in0_ = keep_from;
        }
    }
    const int64_t stop = last ? static_cast<int64_t>(y_.size()) : static_cast<int64_t>(y_.size()) - kLongestPacket;
    if (truncated_) {  // no more packets: the samples are dropped as they come
        y0_ += static_cast<int64_t>(y_.size());
        y_.clear();
        from_ = 0;
        return;
    }
    cancel_tone(fresh);
    if (stop <= from_) return;
    from_ = receive_span(y_, from_, stop, y0_, os_, opt_, shift_hz_, out_, &truncated_);
    const int64_t drop = std::max<int64_t>(from_ - kBackWindow, 0);
    if (drop > 0) {
        y_.erase(y_.begin(), y_.begin() + static_cast<std::ptrdiff_t>(drop));
        y0_ += drop;
        from_ -= drop;
    }
}

int64_t PacketStream::settled() const {
    if (truncated_) return INT64_MAX;
    return std::max<int64_t>(0, (y0_ + from_ - kStartBeforeSearch) * os_);
}

// The tone canceller over y_ from index from on: a piece long enough is looked at on its own
// (rx::remove_tone), a shorter one loses the last piece's tone carried on in phase.
void PacketStream::cancel_tone(size_t from) {
    if (from >= y_.size()) return;
    const int64_t first = y0_ + static_cast<int64_t>(from);
    if (static_cast<int64_t>(y_.size() - from) >= rx::kToneMinSamples) {
        std::vector<cd> piece(y_.begin() + static_cast<std::ptrdiff_t>(from), y_.end());
        tone_ = rx::remove_tone(piece);
        tone_at_ = first;
        if (tone_) std::copy(piece.begin(), piece.end(), y_.begin() + static_cast<std::ptrdiff_t>(from));
    } else if (tone_) {
        const double w = 2.0 * std::numbers::pi * tone_->freq_hz / rx::kBaseRateHz;
        for (size_t k = from; k < y_.size(); ++k)
            y_[k] -= tone_->amplitude * std::polar(1.0, w * static_cast<double>(y0_ + static_cast<int64_t>(k) - tone_at_));
    }
}

std::pair<int64_t, int64_t> packet_span(const PacketResult& p, int os) {
    const RateInfo* rate = p.signal_ok ? rate_by_mbps(p.rate_mbps) : nullptr;
    const int64_t symbols = rate ? (16 + 8 * int64_t{p.length} + 6 + rate->n_dbps - 1) / rate->n_dbps : 0;
    return {p.start, p.start + (400 + 80 * symbols) * os};
}

std::vector<std::pair<int64_t, int64_t>> packet_spans(const std::vector<PacketResult>& packets, int os, int64_t n) {
    std::vector<std::pair<int64_t, int64_t>> spans;
    for (const PacketResult& p : packets) {
        const auto [start, end] = packet_span(p, os);
        const int64_t a = std::clamp<int64_t>(start, 0, n), b = std::clamp<int64_t>(end, 0, n);
        if (b > a) spans.emplace_back(a, b);
    }
    return spans;
}

namespace {
// The mean of field over the packets that have it.
std::optional<double> mean_of(const std::vector<PacketResult>& packets, std::optional<double> PacketResult::*field) {
    double sum = 0;
    int n = 0;
    for (const PacketResult& p : packets)
        if (p.*field) sum += *(p.*field), ++n;
    return n ? std::optional<double>(sum / n) : std::nullopt;
}

// The summary's impairment figures: SNR from the mean error power relative to the signal, CPE as an RMS.
void summarise_impairments(const std::vector<PacketResult>& packets, PacketSummary& s) {
    double inv_snr = 0, cpe2 = 0;
    int n_snr = 0, n_cpe = 0;
    for (const PacketResult& p : packets) {
        if (p.snr_db) inv_snr += std::pow(10.0, -*p.snr_db / 10.0), ++n_snr;
        if (p.cpe_rms_deg) cpe2 += *p.cpe_rms_deg * *p.cpe_rms_deg, ++n_cpe;
    }
    if (n_snr) s.snr_db = -10.0 * std::log10(inv_snr / n_snr);
    if (n_cpe) s.cpe_rms_deg = std::sqrt(cpe2 / n_cpe);
    s.iq_gain_db = mean_of(packets, &PacketResult::iq_gain_db);
    s.iq_phase_deg = mean_of(packets, &PacketResult::iq_phase_deg);
    s.clock_ppm = mean_of(packets, &PacketResult::clock_ppm);
    s.freq_error_ppm = mean_of(packets, &PacketResult::freq_error_ppm);
    s.delay_spread_ns = mean_of(packets, &PacketResult::delay_spread_ns);
}
}  // namespace

PacketSummary summarise(const std::vector<PacketResult>& packets, std::optional<int> expected) {
    PacketSummary s;
    s.expected = expected;
    s.found = static_cast<int>(packets.size());
    double err = 0, freq = 0;
    int evm_n = 0;
    for (const PacketResult& p : packets) {
        s.signal_ok += p.signal_ok;
        s.decoded += p.decoded;
        s.test_patterns += !p.test_pattern.empty();
        s.fcs_ok += p.fcs_ok.value_or(false);
        freq += p.freq_error_hz;
        s.flatness_failures += !p.flatness_ok;
        if (p.leakage_db) {
            s.leakage_db = std::max(s.leakage_db.value_or(*p.leakage_db), *p.leakage_db);
            s.leakage_failures += *p.leakage_db > kLeakageLimitDb;
        }
        if (p.evm_db) {
            err += std::pow(10.0, *p.evm_db / 10.0);
            ++evm_n;
        }
    }
    const int coded = s.found - s.test_patterns;
    s.fcs_errors = coded - s.fcs_ok;
    s.missing = expected ? std::max(0, *expected - s.found) : 0;
    const int frames = expected ? std::max(*expected - s.test_patterns, coded) : coded;
    s.per = frames > 0 ? static_cast<double>(frames - s.fcs_ok) / frames : 0.0;
    if (evm_n) s.evm_db = 10.0 * std::log10(std::max(err / evm_n, 1e-30));
    if (s.found) s.freq_error_hz = freq / s.found;
    summarise_impairments(packets, s);
    return s;
}

std::vector<std::string> packet_failures(const std::vector<PacketResult>& packets, const PacketSummary& s) {
    std::vector<std::string> f;
    if (s.fcs_errors > 0) {
        const PacketResult* first = nullptr;
        for (const PacketResult& p : packets)
            if (p.test_pattern.empty() && !p.fcs_ok.value_or(false)) {
                first = &p;
                break;
            }
        f.push_back(std::to_string(s.fcs_errors) + " of " + std::to_string(s.found - s.test_patterns) +
                    " packets without a good FCS (first at sample " + std::to_string(first->start) + ": " + first->problem + ")");
    }
    if (s.missing > 0)
        f.push_back(std::to_string(s.missing) + " of the " + std::to_string(*s.expected) + " expected packets missing");
    if (s.expected && s.found > *s.expected)
        f.push_back(std::to_string(s.found) + " packets found, more than the " + std::to_string(*s.expected) + " expected");
    return f;
}

}  // namespace orv::analysis
