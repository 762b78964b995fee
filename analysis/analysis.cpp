#include "analysis.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <functional>
#include <numbers>
#include <numeric>
#include <sstream>
#include <cstdio>
#include <cstdlib>

#include "ofdm.h"
#include "instrument_reader.h"
#include "packet_spectrum.h"
#include "rx.h"
#include "rx_packets.h"

namespace orv::analysis {

namespace {

constexpr double kBaseRate = 20e6;
constexpr double kPi = std::numbers::pi;
constexpr int kEnvWindow = 32;                 // samples per envelope window
constexpr size_t kKeepSamples = size_t{1} << 22;  // samples kept for the demodulation (64 MiB)

double db10(double ratio) { return 10.0 * std::log10(ratio); }

// Saturated codes of one channel of 14-bit offset-binary codes, counted as they stream
// past: every 16383 (the quantiser reaches at most 16382) and every 0 with a 0 beside it
// (a clipped excursion is flat). A lone 0 may be the waveform's own negative peak, which
// recurs where the waveform repeats (training fields, repeated packets, constant
// patterns); where it lies is kept, for the caller to judge against the bursts.
struct ClipCounter {
    int64_t clipped = 0;
    std::vector<int64_t> lone_zeros;  // sample indices
    int64_t zero_run = 0;             // zeros in a row just before sample `at`
    int64_t at = 0;

    void add(uint16_t v) {
        if (v == 0) {
            ++zero_run;
        } else {
            end_run();
            if (v == kAwgCodeMax) ++clipped;
        }
        ++at;
    }
    void end_run() {
        if (zero_run >= 2) clipped += zero_run;
        else if (zero_run == 1) lone_zeros.push_back(at - 1);
        zero_run = 0;
    }
};

// Peaks and power sums of the whole file, I and Q as they are in the file: the figures
// of a header that describes the file rather than its first burst.
struct FileLevels {
    double peak_i = 0, peak_q = 0, peak_c = 0;  // squared
    double sum_i = 0, sum_q = 0, sum_c = 0;
};

// Keeps the start of the file for the demodulation, and per envelope window the
// mean power of the whole file; counts saturated codes and the levels over all of it.
class Capture : public SampleSink {
public:
    std::vector<cd> x;
    std::vector<float> env;             // mean power per kEnvWindow samples
    std::vector<float> env_min, env_max;  // least and greatest power per kEnvWindow samples
    int64_t total = 0;
    ClipCounter clip_i, clip_q;
    FileLevels levels;
    bool codes = false;

    void block(const cd* s, size_t n, const uint16_t* bi, const uint16_t* bq) override {
        codes = bi != nullptr;
        for (size_t k = 0; k < n; ++k) {
            const double p = std::norm(s[k]);
            acc_ += p;
            lo_ = std::min(lo_, p);
            hi_ = std::max(hi_, p);
            if (++in_window_ == kEnvWindow) {
                env.push_back(static_cast<float>(acc_ / kEnvWindow));
                env_min.push_back(static_cast<float>(lo_));
                env_max.push_back(static_cast<float>(hi_));
                acc_ = 0;
                in_window_ = 0;
                lo_ = HUGE_VAL;
                hi_ = 0;
            }
            const double pi = s[k].real() * s[k].real(), pq = s[k].imag() * s[k].imag();
            levels.peak_i = std::max(levels.peak_i, pi);
            levels.peak_q = std::max(levels.peak_q, pq);
            levels.peak_c = std::max(levels.peak_c, pi + pq);
            levels.sum_i += pi;
            levels.sum_q += pq;
            levels.sum_c += pi + pq;
        }
        const size_t keep = std::min(n, kKeepSamples - x.size());
        x.insert(x.end(), s, s + keep);
        if (bi)
            for (size_t k = 0; k < n; ++k) {
                clip_i.add(bi[k]);
                clip_q.add(bq[k]);
            }
        total += static_cast<int64_t>(n);
    }
    void finish() {
        if (in_window_ > 0) {
            env.push_back(static_cast<float>(acc_ / in_window_));
            env_min.push_back(static_cast<float>(lo_));
            env_max.push_back(static_cast<float>(hi_));
        }
        in_window_ = 0;
        clip_i.end_run();
        clip_q.end_run();
    }

private:
    double acc_ = 0, lo_ = HUGE_VAL, hi_ = 0;
    int in_window_ = 0;
};

struct Run {
    int64_t start, end;  // envelope windows [start, end)
};

// Bursts as runs of envelope windows above a threshold between the gap and burst levels.
std::vector<Run> find_bursts(const std::vector<float>& env, double& threshold) {
    std::vector<Run> runs;
    if (env.empty()) return runs;
    // Smooth over five windows so the OFDM envelope's dips do not split a burst.
    std::vector<double> sm(env.size());
    for (size_t i = 0; i < env.size(); ++i) {
        double acc = 0;
        int n = 0;
        for (size_t j = i >= 2 ? i - 2 : 0; j <= i + 2 && j < env.size(); ++j, ++n) acc += env[j];
        sm[i] = acc / n;
    }
    std::vector<float> sorted(env);
    std::sort(sorted.begin(), sorted.end());
    const double lo = sorted[static_cast<size_t>(0.05 * static_cast<double>(sorted.size() - 1))];
    const double hi = *std::max_element(sm.begin(), sm.end());
    if (!(hi > 1e-30)) return runs;
    // Between the gap's level and the burst's, but low enough for the training
    // fields beside the peaky DATA symbols of a constant pattern (up to 15 dB).
    threshold = lo > 0 ? std::min(std::sqrt(hi * lo), hi / 30.0) : hi / 30.0;
    int64_t start = -1;
    for (size_t i = 0; i <= sm.size(); ++i) {
        const bool on = i < sm.size() && std::max<double>(env[i], sm[i]) > threshold;
        if (on && start < 0) start = static_cast<int64_t>(i);
        if (!on && start >= 0) {
            runs.push_back({start, static_cast<int64_t>(i)});
            start = -1;
        }
    }
    // Merge runs separated by short dips; drop specks.
    std::vector<Run> merged;
    for (const Run& r : runs) {
        if (!merged.empty() && r.start - merged.back().end <= 24) merged.back().end = r.end;
        else merged.push_back(r);
    }
    std::vector<Run> out;
    for (const Run& r : merged)
        if (r.end - r.start >= 3) out.push_back(r);
    return out;
}

cd rotate(double phase) { return {std::cos(phase), std::sin(phase)}; }

// Samples [from, from + n) of x multiplied by exp(-j 2 pi f (n - origin) / fs); zero outside x.
std::vector<cd> derotated(const std::vector<cd>& x, int64_t from, int64_t n, double f, double fs, int64_t origin) {
    std::vector<cd> y(static_cast<size_t>(n));
    const double w = -2.0 * kPi * f / fs;
    const cd step = rotate(w);
    cd ph = 1.0;
    for (int64_t i = 0; i < n; ++i) {
        const int64_t k = from + i;
        if (i % 64 == 0) ph = rotate(w * static_cast<double>(k - origin));  // exact every 64 samples
        if (k >= 0 && k < static_cast<int64_t>(x.size())) y[static_cast<size_t>(i)] = x[static_cast<size_t>(k)] * ph;
        ph *= step;
    }
    return y;
}

// The long training symbol (64 os samples, unit subcarriers, 1/M scaling) by direct synthesis.
std::vector<cd> long_symbol_reference(int os) {
    const int m = 64 * os;
    std::vector<cd> r(static_cast<size_t>(m));
    for (int n = 0; n < m; ++n) {
        cd acc = 0;
        for (int k = -26; k <= 26; ++k)
            if (long_training(k)) acc += static_cast<double>(long_training(k)) * rotate(2.0 * kPi * k * n / m);
        r[static_cast<size_t>(n)] = acc / static_cast<double>(m);
    }
    return r;
}

struct Sync {
    int64_t t1 = 0;       // first sample of the first long training symbol
    double freq = 0;      // Hz
    double metric = 0;    // normalised LTF correlation, 0..1
    bool swapped = false;
};

cd sample_or_zero(const std::vector<cd>& x, int64_t k) {
    return k < 0 || k >= static_cast<int64_t>(x.size()) ? cd(0.0) : x[static_cast<size_t>(k)];
}

// The short training field's carrier estimate and its tone comb.
struct ToneComb {
    double f1_file = 0;  // offset from the short period, within +-step / 2 (Hz)
    int a0 = 0;          // the comb's position in steps from f1_file
    int f1_steps = 0;    // 2 f1_file in steps, rounded (the mirror image's distance)
};

// The ambiguity is the spacing of the short training tones (subcarriers +-4, +-8, ..
// +-24): the comb of twelve tones in the spectrum of eight short periods gives it for
// offsets up to the Nyquist frequency. Tone grid and comb of the file's samples; with I
// and Q exchanged the spectrum is mirrored (f1 and the comb's position change sign).
ToneComb short_training_comb(const std::vector<cd>& x, int64_t s0, int64_t lag, double fs, double step) {
    ToneComb c;
    cd p0 = 0;
    for (int64_t n = s0 + lag; n < s0 + 8 * lag; ++n) p0 += sample_or_zero(x, n + lag) * std::conj(sample_or_zero(x, n));
    c.f1_file = std::arg(p0) * fs / (2.0 * kPi * static_cast<double>(lag));
    const int64_t comb_len = 8 * lag;
    std::vector<double> re(static_cast<size_t>(comb_len)), im(static_cast<size_t>(comb_len));
    for (int64_t n = 0; n < comb_len; ++n) {
        re[static_cast<size_t>(n)] = sample_or_zero(x, s0 + lag + n).real();
        im[static_cast<size_t>(n)] = sample_or_zero(x, s0 + lag + n).imag();
    }
    const int kmax = static_cast<int>(std::floor((0.5 * fs + std::abs(c.f1_file)) / step));
    std::vector<double> tone(static_cast<size_t>(2 * kmax + 1));
    for (int k = -kmax; k <= kmax; ++k) {
        const double w = -2.0 * kPi * (c.f1_file + k * step) / fs;
        const double wc = std::cos(w), ws = std::sin(w);
        double pc = 1.0, ps = 0.0, ar = 0.0, ai = 0.0;
        for (size_t n = 0; n < re.size(); ++n) {
            ar += re[n] * pc - im[n] * ps;
            ai += re[n] * ps + im[n] * pc;
            const double t = pc * wc - ps * ws;
            ps = pc * ws + ps * wc;
            pc = t;
        }
        tone[static_cast<size_t>(k + kmax)] = ar * ar + ai * ai;
    }
    double best_comb = -1;
    for (int a = -kmax + 6; a <= kmax - 6; ++a) {
        double e = 0;
        for (int j = -6; j <= 6; ++j)
            if (j) e += tone[static_cast<size_t>(a + j + kmax)];
        if (e > best_comb) {
            best_comb = e;
            c.a0 = a;
        }
    }
    c.f1_steps = static_cast<int>(std::lround(2.0 * c.f1_file / step));
    return c;
}

// The long training peak in y (carrier removed) over positions 0..span: coarse on every
// coarse_stride-th sample, then at full rate within os of it. Returns {position, metric}.
std::pair<int64_t, double> ltf_peak(const std::vector<cd>& y, const std::vector<cd>& ref, int64_t m, int64_t span, int os,
                                    int coarse_stride) {
    auto corr = [&](int64_t t, int stride) {
        cd c1 = 0, c2 = 0;
        double e = 0;
        for (int64_t n = 0; n < m; n += stride) {
            const cd r = std::conj(ref[static_cast<size_t>(n)]);
            c1 += y[static_cast<size_t>(t + n)] * r;
            c2 += y[static_cast<size_t>(t + n + m)] * r;
            e += std::norm(y[static_cast<size_t>(t + n)]) + std::norm(y[static_cast<size_t>(t + n + m)]);
        }
        double re = 0;
        for (int64_t n = 0; n < m; n += stride) re += std::norm(ref[static_cast<size_t>(n)]);
        return (std::abs(c1) + std::abs(c2)) / std::sqrt(2.0 * e * re + 1e-300);
    };
    int64_t tc = 0;
    double sc = -1;
    for (int64_t t = 0; t <= span; ++t) {
        const double v = corr(t, coarse_stride);
        if (v > sc) {
            sc = v;
            tc = t;
        }
    }
    int64_t tf = tc;
    double sf = -1;
    for (int64_t t = std::max<int64_t>(0, tc - os); t <= std::min<int64_t>(span, tc + os); ++t) {
        const double v = corr(t, 1);
        if (v > sf) {
            sf = v;
            tf = t;
        }
    }
    return {tf, sf};
}

// Full-format synchronisation of the burst near s0 (17.3.3 preamble): coarse
// frequency from the short training period, integer ambiguity and timing from the
// long training symbols, fine frequency from their repetition.
// coarse_stride: the timing search's first pass uses every coarse_stride-th
// sample (os: a 20 MHz view, in which a real signal's mirror image aliases
// onto the burst; 1 for such signals).
Sync sync_preamble(const std::vector<cd>& x, int64_t s0, int os, double fs, const std::vector<cd>& ref,
                   int coarse_stride) {
    const int64_t m = 64 * os;
    const int64_t lag = 16 * os;
    const double step = fs / static_cast<double>(lag);  // ambiguity of the short-period estimate
    const ToneComb comb = short_training_comb(x, s0, lag, fs, step);
    // The comb's image in steps from f1 (F = f1 + a0 step), and its mirror at
    // -F: a real signal shows the same comb at both, and only one of the two
    // images holds the long training uninverted.
    Sync best;
    double best_score = -1;
    for (int variant = 0; variant < 2; ++variant) {
        // variant 1: I and Q exchanged back.
        auto sample = [&](int64_t k) -> cd {
            const cd v = sample_or_zero(x, k);
            return variant ? cd(v.imag(), v.real()) : v;
        };
        const double f1 = variant ? -comb.f1_file : comb.f1_file;
        const int centres[2] = {variant ? -comb.a0 : comb.a0, variant ? comb.a0 + comb.f1_steps : -comb.a0 - comb.f1_steps};
        std::vector<int> candidates{-2, -1, 0, 1, 2};
        for (const int centre : centres)
            for (int a = centre - 1; a <= centre + 1; ++a)
                if (std::find(candidates.begin(), candidates.end(), a) == candidates.end()) candidates.push_back(a);
        // Region for the timing search, copied once per variant.
        const int64_t lo = s0 + 192 * os - 48 * os, hi = s0 + 192 * os + 48 * os;
        std::vector<cd> region(static_cast<size_t>(hi - lo + 2 * m));
        for (size_t i = 0; i < region.size(); ++i) region[i] = sample(lo + static_cast<int64_t>(i));
        for (const int a : candidates) {
            const double f = f1 + a * step;
            if (std::abs(f) > 0.45 * fs) continue;
            std::vector<cd> y(region.size());
            const double w = -2.0 * kPi * f / fs;
            for (size_t i = 0; i < region.size(); ++i) y[i] = region[i] * rotate(w * static_cast<double>(i));
            const auto [tf, sf] = ltf_peak(y, ref, m, hi - lo, os, coarse_stride);
            if (sf > best_score) {
                best_score = sf;
                best.t1 = lo + tf;
                best.freq = f;
                best.metric = sf;
                best.swapped = variant == 1;
            }
        }
    }
    return best;
}

}  // namespace

std::optional<double> evm_limit_db(int rate_mbps) {
    switch (rate_mbps) {
        case 6: return -5.0;
        case 9: return -8.0;
        case 12: return -10.0;
        case 18: return -13.0;
        case 24: return -16.0;
        case 36: return -19.0;
        case 48: return -22.0;
        case 54: return -25.0;
        default: return std::nullopt;
    }
}

double mask_limit_dbr(double offset_mhz) {
    const double a = std::abs(offset_mhz);
    if (a <= 9) return 0.0;
    if (a <= 11) return -20.0 * (a - 9) / 2;
    if (a <= 20) return -20.0 - 8.0 * (a - 11) / 9;
    if (a <= 30) return -28.0 - 12.0 * (a - 20) / 10;
    return -40.0;
}

std::vector<MaskCorner> mask_outline(double half_span_hz) {
    std::vector<MaskCorner> out;
    if (!(half_span_hz > 0)) return out;
    out.push_back({-half_span_hz, mask_limit_dbr(-half_span_hz / 1e6)});
    for (double c : {-30e6, -20e6, -11e6, -9e6, 9e6, 11e6, 20e6, 30e6})
        if (std::abs(c) < half_span_hz) out.push_back({c, mask_limit_dbr(c / 1e6)});
    out.push_back({half_span_hz, mask_limit_dbr(half_span_hz / 1e6)});
    return out;
}

std::vector<cd> ideal_points(int rate_mbps) {
    std::vector<cd> out;
    const RateInfo* rate = rate_by_mbps(rate_mbps);
    if (!rate) return out;
    if (rate->n_bpsc == 1) return {cd(-1.0, 0.0), cd(1.0, 0.0)};
    const int levels = 1 << (rate->n_bpsc / 2);
    const double k = rate->n_bpsc == 2 ? std::sqrt(2.0) : rate->n_bpsc == 4 ? std::sqrt(10.0) : std::sqrt(42.0);
    for (int i = 0; i < levels; ++i)
        for (int q = 0; q < levels; ++q)
            out.emplace_back((2.0 * i - (levels - 1)) / k, (2.0 * q - (levels - 1)) / k);
    return out;
}

const std::vector<int>& measured_subcarriers() {
    static const std::vector<int> sc = [] {
        std::vector<int> v;
        for (int k = -26; k <= 26; ++k)
            if (k) v.push_back(k);
        return v;
    }();
    return sc;
}

double ccdf_curve_probability(int k) { return std::pow(10.0, -k / 20.0); }

double gaussian_ccdf_db(double probability) { return db10(-std::log(probability)); }

std::vector<PowerColumn> decimate_power(const PowerTrace& t, int64_t from, int64_t to, int columns) {
    std::vector<PowerColumn> out;
    from = std::clamp<int64_t>(from, 0, t.samples);
    to = std::clamp<int64_t>(to, from, t.samples);
    const int64_t n = to - from;
    if (n == 0 || columns <= 0) return out;
    const int64_t cols = std::min<int64_t>(columns, n);
    const int64_t kept = std::min<int64_t>(static_cast<int64_t>(t.sample_power.size()), t.samples);
    const int64_t windows = static_cast<int64_t>(std::min(t.window_min.size(), t.window_max.size()));
    const double ref = t.reference_power > 0 ? t.reference_power : 1.0;
    auto level = [&](double p) { return std::max(kPowerFloorDb, db10(p / ref)); };
    out.reserve(static_cast<size_t>(cols));
    for (int64_t c = 0; c < cols; ++c) {
        const int64_t a = from + n * c / cols, b = from + n * (c + 1) / cols;
        double lo = HUGE_VAL, hi = 0;
        int64_t k = a;
        for (; k < b && k < kept; ++k) {
            const double p = t.sample_power[static_cast<size_t>(k)];
            lo = std::min(lo, p);
            hi = std::max(hi, p);
        }
        if (k < b && t.window > 0)
            for (int64_t w = k / t.window; w * t.window < b && w < windows; ++w) {
                lo = std::min<double>(lo, t.window_min[static_cast<size_t>(w)]);
                hi = std::max<double>(hi, t.window_max[static_cast<size_t>(w)]);
            }
        if (lo > hi) lo = hi = 0;  // no data (a trace without windows beyond its samples)
        out.push_back({a, b - a, level(lo), level(hi)});
    }
    return out;
}

namespace {

// Welch PSD at 100 kHz resolution (Hann window, 50 % overlap) over the spans [a, b) of x
// and the 17.3.9.2 mask margin.
void measure_mask_spans(const std::vector<cd>& x, const std::vector<std::pair<int64_t, int64_t>>& spans, double fs,
                        MaskResult& mask) {
    int64_t longest = 0;
    for (const auto& [a, b] : spans) longest = std::max(longest, b - a);
    int n = static_cast<int>(std::lround(1.5 * fs / 100e3));  // Hann ENBW is 1.5 bins
    if (longest < n) n = static_cast<int>(longest);
    if (n < 16) return;
    WelchSum welch(n);
    for (const auto& [start, end] : spans)
        for (int64_t s = start; s + n <= end; s += n / 2) welch.add(&x[static_cast<size_t>(s)]);
    welch.to_mask(fs, mask);
}

// The same over the one span [start, start + length).
void measure_mask(const std::vector<cd>& x, int64_t start, int64_t length, double fs, MaskResult& mask) {
    measure_mask_spans(x, {{start, start + length}}, fs, mask);
}

// PAPR, crest factors and the CCDF of the burst samples.
void measure_peaks(const std::vector<cd>& x, int64_t start, int64_t length, Result& r) {
    if (length <= 0) return;
    std::vector<double> p(static_cast<size_t>(length));
    double sum = 0, si = 0, sq = 0, pi = 0, pq = 0;
    for (int64_t k = 0; k < length; ++k) {
        const cd v = x[static_cast<size_t>(start + k)];
        p[static_cast<size_t>(k)] = std::norm(v);
        sum += std::norm(v);
        si += v.real() * v.real();
        sq += v.imag() * v.imag();
        pi = std::max(pi, v.real() * v.real());
        pq = std::max(pq, v.imag() * v.imag());
    }
    const double n = static_cast<double>(length);
    const double mean = sum / n;
    if (!(mean > 0)) return;
    // Levels exceeded with a probability: the top 10 % sorted, larger probabilities by selection.
    const size_t top = std::min(p.size(), static_cast<size_t>(0.1 * n) + 1);
    std::nth_element(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(top - 1), p.end(), std::greater<>());
    std::sort(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(top), std::greater<>());
    r.papr_db = db10(p.front() / mean);
    r.crest_i_db = si > 0 ? db10(pi / (si / n)) : 0.0;
    r.crest_q_db = sq > 0 ? db10(pq / (sq / n)) : 0.0;
    auto level = [&](double prob) {
        size_t idx = static_cast<size_t>(prob * n);
        if (idx >= p.size()) idx = p.size() - 1;
        if (idx >= top) std::nth_element(p.begin() + static_cast<std::ptrdiff_t>(top), p.begin() + static_cast<std::ptrdiff_t>(idx), p.end(), std::greater<>());
        return db10(std::max(p[idx], 1e-300) / mean);
    };
    for (double prob : {0.1, 0.01, 0.001, 0.0001}) r.ccdf.push_back({prob, level(prob)});
    for (int k = 0; k <= 80; ++k) r.ccdf_curve_db.push_back(level(std::pow(10.0, -k / 20.0)));
}

// Whether the header's three figures are those of the given ones (0.05 dB apart at most).
bool header_figures_match(const WaveformInfo& info, double papr_db, double crest_i_db, double crest_q_db) {
    const double tol = 0.05;
    return std::abs(*info.header_papr_db - papr_db) <= tol && std::abs(*info.header_crest_i_db - crest_i_db) <= tol &&
           std::abs(*info.header_crest_q_db - crest_q_db) <= tol;
}

// A peak-to-mean power ratio in dB, 0 dB for a channel without power.
double level_ratio_db(double peak, double sum, int64_t count) {
    const double mean = count > 0 ? sum / static_cast<double>(count) : 0.0;
    return mean > 0 ? db10(peak / mean) : 0.0;
}

// The clipped-code count and the header comparison. A lone 0 inside a burst (a run of
// the envelope) is its negative peak; in the silence between the bursts it is a sample
// beyond full scale, as noise in a burst file's gap above the burst's peak.
// A header states either the first burst's figures (the burst file: its burst, not the
// burst-off time) or the whole file's (a packet sequence: the idle time too); it matches
// when it is either.
void measure_codes(const Capture& cap, const WaveformInfo& info, const std::vector<Run>& runs, Result& r) {
    if (!cap.codes) return;
    auto in_a_burst = [&](int64_t k) {
        const auto after = std::upper_bound(runs.begin(), runs.end(), k, [](int64_t v, const Run& run) { return v < run.start * kEnvWindow; });
        // A run of five windows or fewer is what one full-scale sample makes through the
        // five-window smoothing: the lone 0 itself, in silence.
        return after != runs.begin() && k < std::prev(after)->end * kEnvWindow &&
               std::prev(after)->end - std::prev(after)->start > 5;
    };
    int64_t clipped = cap.clip_i.clipped + cap.clip_q.clipped;
    for (const ClipCounter* c : {&cap.clip_i, &cap.clip_q})
        for (int64_t k : c->lone_zeros) clipped += !in_a_burst(k);
    r.file.clipped_codes = clipped;
    if (info.header_papr_db) {
        r.file.header_papr_db = info.header_papr_db;
        r.file.header_crest_i_db = info.header_crest_i_db;
        r.file.header_crest_q_db = info.header_crest_q_db;
        const FileLevels& f = cap.levels;
        r.file.header_ok = header_figures_match(info, r.papr_db, r.crest_i_db, r.crest_q_db) ||
                           header_figures_match(info, level_ratio_db(f.peak_c, f.sum_c, cap.total),
                                                level_ratio_db(f.peak_i, f.sum_i, cap.total),
                                                level_ratio_db(f.peak_q, f.sum_q, cap.total));
    }
}

}  // namespace

// Identifies the payload pattern and seed from the demodulated bits, or checks the expected one.
PayloadResult identify_payload(const std::vector<uint8_t>& bits, const Options& opt) {
    PayloadResult pr;
    pr.bits = static_cast<int64_t>(bits.size());
    auto errors = [&](const PatternInfo& p, uint32_t seed) {
        const std::vector<uint8_t> ref = pattern_bits(p, seed, bits.size());
        int64_t e = 0;
        for (size_t i = 0; i < bits.size(); ++i) e += ref[i] != bits[i];
        return e;
    };
    if (opt.expected_pattern) {
        const PatternInfo* p = pattern_by_name(*opt.expected_pattern);
        pr.expected = true;
        pr.pattern = p ? p->name : *opt.expected_pattern;
        if (p) {
            const uint32_t seed = opt.expected_seed.value_or(0xFFFF);
            if (p->n) pr.seed = seed & ((1u << p->n) - 1u);
            pr.bit_errors = errors(*p, seed);
        }
        return pr;
    }
    const PatternInfo* best = nullptr;
    uint32_t best_seed = 0;
    int64_t best_errors = 0;
    for (const PatternInfo& p : patterns()) {
        if (p.n && bits.size() < static_cast<size_t>(p.n) + 16) continue;
        uint32_t seed = 0;
        for (int i = 0; i < p.n; ++i) seed = (seed << 1) | static_cast<uint32_t>(bits[static_cast<size_t>(i)] ^ (p.complemented ? 1 : 0));
        const int64_t e = errors(p, seed);
        if (!best || e < best_errors || (e == best_errors && p.n == 0 && best->n != 0)) {
            best = &p;
            best_seed = seed;
            best_errors = e;
        }
    }
    if (best && bits.size() >= 16 && best_errors * 20 <= static_cast<int64_t>(bits.size())) {
        pr.pattern = best->name;
        if (best->n) pr.seed = best_seed;
        pr.bit_errors = best_errors;
    } else {
        pr.pattern = "not a test pattern";
    }
    return pr;
}

namespace {

// Where the first burst's segment of an annotation's label lies: "802.11a burst", STF,
// LTF, SIGNAL, "DATA k" (the k-th DATA symbol) and gap; false for another label.
bool burst_segment(const std::string& label, int os, const Result& r, int64_t& start, int64_t& length) {
    auto segment = [&](const std::string& name) -> const Segment* {
        for (const Segment& s : r.segments)
            if (s.name == name) return &s;
        return nullptr;
    };
    start = length = -1;
    if (label == "802.11a burst") {
        if (r.burst.found) start = r.burst.start, length = r.burst.length;
    } else if (label == "STF" || label == "LTF" || label == "SIGNAL" || label == "gap") {
        if (const Segment* s = segment(label)) start = s->start, length = s->length;
    } else if (label.starts_with("DATA ")) {
        const std::string n = label.substr(5);
        int k = 0;
        auto res = std::from_chars(n.data(), n.data() + n.size(), k);
        if (res.ec != std::errc() || res.ptr != n.data() + n.size() || k < 1) return false;
        if (const Segment* s = segment("DATA"); s && int64_t{80} * os * k <= s->length) {
            start = s->start + int64_t{80} * os * (k - 1);
            length = 80 * os;
        }
    } else {
        return false;
    }
    return true;
}

// Where a packet's segment of an annotation's label lies, from the packet's start:
// "packet" (the PPDU), STF, LTF, SIGNAL and DATA (all its DATA symbols); false for another label.
bool packet_segment(const std::string& label, const PacketResult& p, int os, int64_t& offset, int64_t& length) {
    const auto spans = packet_spans({p}, os, INT64_MAX);
    const int64_t ppdu = spans.empty() ? 400 * int64_t{os} : spans.front().second - spans.front().first;
    if (label == "packet") offset = 0, length = ppdu;
    else if (label == "STF") offset = 0, length = 160 * os;
    else if (label == "LTF") offset = 160 * os, length = 160 * os;
    else if (label == "SIGNAL") offset = 320 * os, length = 80 * os;
    else if (label == "DATA") offset = 400 * os, length = ppdu - 400 * os;
    else return false;
    return true;
}

std::string annotation_text(const Annotation& a) {
    return "\"" + a.label + "\" " + std::to_string(a.start) + "+" + (a.count ? std::to_string(*a.count) : "?");
}

// Compares a SigMF recording's annotations with what was found. Those inside a "packet"
// annotation (a packet sequence) are held against the packet found there, which the
// receiver places on its 20 MS/s grid, up to os - 1 samples either side of the first
// sample on air (a packet may start between two grid points); the others against the
// segments of the first burst, when that burst was measured (first_burst).
void check_annotations(const std::vector<Annotation>& annotations, int os, bool first_burst, Result& r) {
    std::vector<const Annotation*> packet_notes;
    for (const Annotation& a : annotations)
        if (a.label == "packet") packet_notes.push_back(&a);
    auto enclosing = [&](const Annotation& a) -> const Annotation* {
        for (const Annotation* pa : packet_notes)
            if (a.start >= pa->start && (pa == &a || (pa->count && a.start < pa->start + *pa->count))) return pa;
        return nullptr;
    };
    auto packet_at = [&](int64_t start) -> const PacketResult* {
        for (const PacketResult& p : r.packets)
            if (std::abs(p.start - start) < os) return &p;
        return nullptr;
    };
    int checked = 0, of_packets = 0;
    std::vector<std::string> wrong;
    for (const Annotation& a : annotations) {
        int64_t start = -1, length = -1;
        if (const Annotation* pa = enclosing(a)) {
            const PacketResult* p = packet_at(pa->start);
            int64_t offset = 0;
            if (!packet_segment(a.label, p ? *p : PacketResult{}, os, offset, length)) continue;
            ++checked;
            ++of_packets;
            if (!p) {
                wrong.push_back(annotation_text(a) + " (no packet found at " + std::to_string(pa->start) + ")");
            } else if (a.start - pa->start != offset || (a.count && length != *a.count)) {
                wrong.push_back(annotation_text(a) + " (packet found at " + std::to_string(p->start) + ": " +
                                std::to_string(p->start + offset) + "+" + std::to_string(length) + ")");
            }
            continue;
        }
        if (!first_burst || !burst_segment(a.label, os, r, start, length)) continue;
        ++checked;
        if (start != a.start || (a.count && length != *a.count))
            wrong.push_back(annotation_text(a) + (start < 0 ? " (not in the burst found)"
                                                            : " (burst: " + std::to_string(start) + "+" + std::to_string(length) + ")"));
    }
    r.file.annotations_checked = checked;
    r.file.annotations_of_packets = of_packets;
    if (checked == 0) {
        r.notes.push_back("the metadata has no annotations of the burst's segments to check");
        return;
    }
    r.file.annotations_ok = wrong.empty();
    if (!wrong.empty()) {
        std::string f = std::to_string(wrong.size()) + " of " + std::to_string(checked) + " SigMF annotations differ from " +
                        (of_packets == checked ? "the packets found: " : of_packets ? "the file: " : "the burst: ") + wrong.front();
        if (wrong.size() > 1) f += ", ...";
        r.failures.push_back(f);
    }
}

// Reads the file again from its start into a sink; false when it cannot be read again.
using Reread = std::function<bool(SampleSink&)>;

Result analyse_captured(Capture& cap, const WaveformInfo& info, const std::string& path, const Options& opt,
                        const Reread& reread = nullptr);
Result analyse_first_burst(Capture& cap, const WaveformInfo& info, const std::string& path, const Options& opt,
                           std::optional<int64_t> start_hint);

}  // namespace

Result analyse_file(const std::string& path, const Options& opt) {
    if (const InstrumentKind kind = instrument_kind(path); kind != InstrumentKind::None) {
        Capture cap;
        std::string marker_file;
        const double fs = opt.sample_rate_hz ? *opt.sample_rate_hz : opt.oversample ? kBaseRate * *opt.oversample : 0;
        const InstrumentFileInfo inst = read_instrument_file(path, kind, fs, cap, marker_file);
        WaveformInfo info;
        info.format = kind == InstrumentKind::Wv ? FileFormat::Wv : FileFormat::Keysight;
        if (inst.sample_rate_hz > 0) info.sample_rate_hz = inst.sample_rate_hz;
        info.samples = inst.samples;
        // A long file is read a second time for the packets after the part kept.
        Result r = analyse_captured(cap, info, path, opt, [&](SampleSink& sink) {
            std::string again;
            read_instrument_file(path, kind, fs, sink, again);
            return true;
        });
        check_instrument(inst, marker_file, r);
        return r;
    }
    if (is_sigmf_name(path)) {
        Capture cap;
        const WaveformInfo info = read_sigmf(path, cap);
        return analyse_captured(cap, info, path, opt, [&path](SampleSink& sink) {
            read_sigmf(path, sink);
            return true;
        });
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ReadError("cannot open " + path);
    return analyse_stream(in, path, opt);
}

Result analyse_stream(std::istream& in, const std::string& path, const Options& opt) {
    Capture cap;
    const std::streampos origin = in.tellg();
    const WaveformInfo info = read_waveform(in, cap);
    return analyse_captured(cap, info, path, opt, [&in, origin](SampleSink& sink) {
        in.clear();
        if (origin == std::streampos(-1) || !in.seekg(origin)) return false;
        read_waveform(in, sink);
        return true;
    });
}

Result analyse_samples(const cd* x, size_t n, const std::string& name, const Options& opt) {
    if (n == 0) throw ReadError("no samples");
    Capture cap;
    cap.block(x, n, nullptr, nullptr);
    WaveformInfo info;
    info.format = FileFormat::Csv;
    info.samples = static_cast<int64_t>(n);
    return analyse_captured(cap, info, name, opt);
}

namespace {

// The oversampling factor the options or the file give, nothing when neither does.
std::optional<int> stated_oversampling(const WaveformInfo& info, const Options& opt) {
    double fs = opt.sample_rate_hz.value_or(0);
    if (opt.oversample) fs = kBaseRate * *opt.oversample;
    if (fs <= 0 && info.sample_rate_hz) fs = *info.sample_rate_hz;
    const long os = std::lround(fs / kBaseRate);
    if (os >= 1 && os <= 64 && std::abs(fs - kBaseRate * static_cast<double>(os)) < 1.0) return static_cast<int>(os);
    return std::nullopt;
}

// The figures of an AWG file in which no burst was found: clipped codes, the header's
// PAPR and crest factors against the whole file's.
Result file_figures_only(const Capture& cap, const WaveformInfo& info, const std::string& path, int os, const std::string& why) {
    Result r;
    r.file.path = path;
    r.file.format = info.format;
    r.file.samples = info.samples;
    r.file.oversample = os;
    r.file.sample_rate_hz = kBaseRate * os;
    r.file.sample_rate_source = info.sample_rate_hz ? "header" : "assumed";
    const int64_t kept = static_cast<int64_t>(cap.x.size());
    measure_peaks(cap.x, 0, kept, r);
    double threshold = 0;
    measure_codes(cap, info, find_bursts(cap.env, threshold), r);
    r.no_burst = why;
    r.notes.push_back(why + "; the file's own figures only");
    if (r.file.clipped_codes && *r.file.clipped_codes > 0) r.failures.push_back(std::to_string(*r.file.clipped_codes) + " clipped codes");
    if (r.file.header_ok && !*r.file.header_ok) r.failures.push_back("header PAPR or crest factors differ from the codes");
    return r;
}

// The transmit spectrum mask and the CCDF over the packets' samples in x (os: x's
// oversampling, x the whole file), into the summary.
void packets_spectrum(const std::vector<cd>& x, const std::vector<PacketResult>& packets, int os, PacketSummary& s) {
    PacketSpectrum spectrum(os);
    spectrum.settle(INT64_MAX);
    for (const PacketResult& p : packets) {
        const auto [a, b] = packet_span(p, os);
        spectrum.add_span(a, b);
    }
    spectrum.push(x.data(), x.size());
    PacketSpectrumResult r = spectrum.finish();
    s.mask = std::move(r.mask);
    s.ccdf = std::move(r.ccdf);
}

// Every packet of a file longer than the part the analysis keeps, the file read again
// through the packet receiver's windows, and the mask and CCDF over them as they are
// found; false (packets untouched) when it cannot be.
// kept: the file's first samples, whose DC offset the windows take (known here when there is
// no shift: the windows, and the samples the spectrum holds, do not wait for all of them).
bool stream_packets(const Reread& reread, const std::vector<cd>& kept, int os, const Options& opt, double shift_hz,
                    std::vector<PacketResult>& packets, bool& truncated, PacketSpectrumResult& spectrum) {
    struct StreamSink : SampleSink {
        PacketStream stream;
        PacketSpectrum spectrum;
        int oversample;
        size_t spans = 0;  // packets whose spans the spectrum has
        StreamSink(int os, const Options& opt, double shift_hz)
            : stream(os, opt, shift_hz, kKeepSamples), spectrum(os), oversample(os) {}
        void block(const cd* x, size_t n, const uint16_t*, const uint16_t*) override {
            stream.push(x, n);
            add_spans(stream.found());
            spectrum.settle(stream.settled());
            spectrum.push(x, n);
        }
        void add_spans(const std::vector<PacketResult>& found) {
            for (; spans < found.size(); ++spans) {
                const auto [a, b] = packet_span(found[spans], oversample);
                spectrum.add_span(a, b);
            }
        }
    } sink(os, opt, shift_hz);
    if (shift_hz == 0 && kept.size() == kKeepSamples)
        sink.stream.set_mean(rx::dc_offset(kept.data(), static_cast<int64_t>(kKeepSamples)));
    if (!reread(sink)) return false;
    packets = sink.stream.finish(&truncated);
    sink.add_spans(packets);
    spectrum = sink.spectrum.finish();
    return true;
}

// The first burst measured as a transmitter tester does, then every packet decoded.
// With the sampling rate known, the packets are found first and the first one's
// start anchors the transmitter measurements (leading noise of any length).
Result analyse_captured(Capture& cap, const WaveformInfo& info, const std::string& path, const Options& opt,
                        const Reread& reread) {
    cap.finish();
    const std::optional<int> stated_os = stated_oversampling(info, opt);
    const int64_t kept = static_cast<int64_t>(cap.x.size());
    std::vector<PacketResult> packets;
    bool truncated = false;
    std::optional<int64_t> hint;
    if (stated_os && !opt.free_format) {
        packets = receive_packets(cap.x.data(), kept, *stated_os, opt, &truncated);
        if (!packets.empty()) hint = packets.front().start;
    }
    Result r;
    std::optional<AnalysisError> first_failed;
    try {
        r = analyse_first_burst(cap, info, path, opt, hint);
    } catch (const AnalysisError& e) {
        first_failed = e;
    }
    if (opt.free_format) {
        if (first_failed) throw *first_failed;
        if (info.format == FileFormat::Sigmf) check_annotations(info.annotations, r.file.oversample, true, r);
        return r;
    }
    const int os = first_failed ? stated_os.value_or(1) : r.file.oversample;
    // Above 20 MS/s the first burst's carrier offset (found up to the Nyquist frequency) is
    // removed before the decimation, which keeps only +-10 MHz.
    const double shift = !first_failed && os > 1 && r.freq_error_hz && std::abs(*r.freq_error_hz) > 1e6 ? *r.freq_error_hz : 0.0;
    bool whole_file = cap.total <= kept;
    std::optional<PacketSpectrumResult> streamed;
    if (!whole_file && reread) {
        PacketSpectrumResult spectrum;
        whole_file = stream_packets(reread, cap.x, os, opt, shift, packets, truncated, spectrum);
        if (whole_file) streamed = std::move(spectrum);
    } else if (!stated_os || shift != 0) {
        packets = receive_packets(cap.x.data(), kept, os, opt, &truncated, shift);
    }
    r.packets = std::move(packets);
    if (first_failed && r.packets.empty()) {
        // Nothing to demodulate: an AWG file still gets its codes and header checked.
        if (!cap.codes || !opt.figures_without_burst) throw *first_failed;
        return file_figures_only(cap, info, path, os, first_failed->what());
    }
    if (first_failed) {
        r.file.path = path;
        r.file.format = info.format;
        r.file.samples = info.samples;
        r.file.datatype = info.datatype;
        r.file.oversample = os;
        r.file.sample_rate_hz = kBaseRate * os;
        r.file.sample_rate_source = opt.sample_rate_hz || opt.oversample ? "option" : info.sample_rate_hz ? "header" : "assumed";
        r.notes.push_back(std::string("the first burst's transmitter measurements failed: ") + first_failed->what());
        // An AWG file's codes and header are checked all the same (against the whole file).
        double threshold = 0;
        measure_codes(cap, info, find_bursts(cap.env, threshold), r);
        if (r.file.clipped_codes && *r.file.clipped_codes > 0) r.failures.push_back(std::to_string(*r.file.clipped_codes) + " clipped codes");
        if (r.file.header_ok && !*r.file.header_ok) r.failures.push_back("header PAPR or crest factors differ from the codes");
    }
    if (truncated) r.notes.push_back("only the first " + std::to_string(kMaxPackets) + " packets were analysed");
    if (!whole_file) r.notes.push_back("packets after sample " + std::to_string(cap.x.size()) + " were not looked for");
    if (info.format == FileFormat::Sigmf) check_annotations(info.annotations, os, !first_failed, r);
    r.summary = summarise(r.packets, opt.expected_packets);
    if (streamed) {
        r.summary.mask = std::move(streamed->mask);
        r.summary.ccdf = std::move(streamed->ccdf);
    } else {
        packets_spectrum(cap.x, r.packets, os, r.summary);
    }
    for (const std::string& f : packet_failures(r.packets, r.summary)) r.failures.push_back(f);
    return r;
}

// The state the first burst's stages share: where the burst lies, the sampling, the
// carrier and the channel found so far, and the FFT over one symbol.
struct BurstState {
    BurstState(std::vector<cd>& samples, double rate_hz, int oversample)
        : x(samples), kept(static_cast<int64_t>(samples.size())), fs(rate_hz), os(oversample), m(64 * oversample),
          backoff(8 * oversample), fft(static_cast<int>(64 * oversample)), spectrum(static_cast<size_t>(64 * oversample)) {}

    std::vector<cd>& x;  // the samples as analysed (I and Q exchanged back if needed)
    int64_t kept;
    double fs;
    int os;
    int64_t m;        // samples a symbol's FFT
    int64_t backoff;  // FFT window starts in the middle of the guard interval
    ForwardFft fft;
    std::vector<cd> spectrum;
    int64_t s0 = 0, env_end = 0;
    char flat_channel = 0;
    int64_t burst_start = 0, data_start = 0, t_origin = 0;
    double freq = 0;
    std::vector<cd> H = std::vector<cd>(53, cd(1.0, 0.0));  // channel per subcarrier -26..26
    const RateInfo* rate = nullptr;
    int n_sym = 0;
    int polarity_offset = 0;

    // The spectrum of the m samples at `at` with the carrier removed; false beyond the kept part.
    bool fft_at(int64_t at) {
        if (at < 0 || at + m > kept) return false;
        std::vector<cd> y = derotated(x, at, m, freq, fs, t_origin);
        fft.run(y.data(), spectrum.data());
        return true;
    }
    cd bin(int k) const { return spectrum[static_cast<size_t>(k >= 0 ? k : m + k)]; }
};

// Sampling rate: the option, the header, or 0 when neither gives it.
double stated_sample_rate(const WaveformInfo& info, const Options& opt, Result& r) {
    if (opt.sample_rate_hz) {
        r.file.sample_rate_source = "option";
        return *opt.sample_rate_hz;
    }
    if (opt.oversample) {
        r.file.sample_rate_source = "option";
        return kBaseRate * *opt.oversample;
    }
    if (info.sample_rate_hz) {
        r.file.sample_rate_source = info.format == FileFormat::Sigmf ? "metadata" : "header";
        return *info.sample_rate_hz;
    }
    return 0;
}

// The first burst's first sample (s0) and the end of its envelope run (env_end).
std::pair<int64_t, int64_t> locate_first_burst(const Capture& cap, const std::vector<Run>& runs, double threshold,
                                               std::optional<int64_t> start_hint) {
    const int64_t kept = static_cast<int64_t>(cap.x.size());
    size_t first = 0;  // the run of the first packet
    if (start_hint)
        while (first + 1 < runs.size() && runs[first].end * kEnvWindow <= *start_hint) ++first;
    const int64_t env_start = runs[first].start * kEnvWindow;
    // The first sample above the threshold, from a little before the first window that rises.
    // The five-window smoothing raises a run up to two windows before the window
    // where the burst begins, so the burst's first sample can lie three windows on.
    int64_t s0 = env_start;
    for (int64_t k = std::max<int64_t>(0, env_start - 2 * kEnvWindow); k < std::min(kept, env_start + 3 * kEnvWindow); ++k)
        if (std::norm(cap.x[static_cast<size_t>(k)]) > threshold * 0.05) {
            s0 = k;
            break;
        }
    if (start_hint) s0 = std::max<int64_t>(0, *start_hint);  // a packet cut at the file start
    if (s0 >= kept) throw AnalysisError("no 802.11a burst found in the first " + std::to_string(kKeepSamples) + " samples");
    return {s0, std::min(runs[first].end * kEnvWindow, cap.total)};
}

// Oversampling factor from the period of the short training field (16 os samples) at s0.
double sample_rate_from_short_training(const std::vector<cd>& x, int64_t s0, Result& r) {
    const int64_t kept = static_cast<int64_t>(x.size());
    int found = 0;
    for (int k = 1; k <= 16 && !found; ++k) {
        const int64_t lag = 16 * k;
        cd c = 0;
        double e1 = 0, e2 = 0;
        for (int64_t n = s0 + lag; n < s0 + 5 * lag && n + lag < kept; ++n) {
            const cd a = x[static_cast<size_t>(n)], b = x[static_cast<size_t>(n + lag)];
            c += b * std::conj(a);
            e1 += std::norm(a);
            e2 += std::norm(b);
        }
        if (e1 > 0 && e2 > 0 && std::abs(c) / std::sqrt(e1 * e2) > 0.9) found = k;
    }
    if (!found) throw AnalysisError("no 802.11a short training field at the burst start: give the sampling rate (--oversample N or --sample-rate MHz)");
    r.file.sample_rate_source = "short training period";
    r.notes.push_back("sampling rate " + std::to_string(20 * found) + " MHz (oversampling " + std::to_string(found) +
                      ") found from the period of the short training field");
    return kBaseRate * found;
}

// A real signal (one channel constant: zero, or one AWG code) is a burst converted to an
// IF. Its two mirror images share the power, so the long training correlates to at most
// half. 'Q' or 'I' for the constant channel, 0 for a complex signal.
char constant_channel(const std::vector<cd>& x, int64_t s0, int64_t env_end) {
    const int64_t b = std::clamp<int64_t>(env_end, s0, static_cast<int64_t>(x.size()));
    bool im_flat = b > s0, re_flat = b > s0;
    for (int64_t k = s0; k < b && (im_flat || re_flat); ++k) {
        im_flat = im_flat && x[static_cast<size_t>(k)].imag() == x[static_cast<size_t>(s0)].imag();
        re_flat = re_flat && x[static_cast<size_t>(k)].real() == x[static_cast<size_t>(s0)].real();
    }
    return im_flat ? 'Q' : re_flat ? 'I' : 0;
}

// Synchronisation on the preamble, the fine carrier from the long training symbols and
// the channel estimate from them (17.3.9.7 c).
void sync_on_preamble(BurstState& st, Result& r) {
    const int os = st.os;
    static thread_local std::vector<cd> ref_cache;
    static thread_local int ref_os = 0;
    if (ref_os != os) {
        ref_cache = long_symbol_reference(os);
        ref_os = os;
    }
    const Sync sy = sync_preamble(st.x, st.s0, os, st.fs, ref_cache, st.flat_channel ? 1 : os);
    if (sy.metric < (st.flat_channel ? 0.25 : 0.5))
        throw AnalysisError("no 802.11a preamble found at the burst start (sample " + std::to_string(st.s0) +
                            "); a burst of DATA symbols only needs --frame free --rate R");
    if (sy.swapped) {
        r.iq_inverted = true;
        for (cd& v : st.x) v = cd(v.imag(), v.real());
    }
    st.freq = sy.freq;
    st.t_origin = sy.t1;
    // Fine frequency from the two long training symbols.
    {
        std::vector<cd> a = derotated(st.x, sy.t1 - st.backoff, st.m, st.freq, st.fs, st.t_origin);
        std::vector<cd> b = derotated(st.x, sy.t1 + st.m - st.backoff, st.m, st.freq, st.fs, st.t_origin);
        cd c = 0;
        for (int64_t n = 0; n < st.m; ++n) c += b[static_cast<size_t>(n)] * std::conj(a[static_cast<size_t>(n)]);
        st.freq += std::arg(c) * st.fs / (2.0 * kPi * static_cast<double>(st.m));
    }
    st.burst_start = sy.t1 - 192 * os;
    st.data_start = sy.t1 + 208 * os;
    std::vector<cd> y1(53), y2(53);
    if (!st.fft_at(sy.t1 - st.backoff)) throw AnalysisError("the burst is cut off in the long training field");
    for (int k = -26; k <= 26; ++k) y1[static_cast<size_t>(k + 26)] = st.bin(k);
    if (!st.fft_at(sy.t1 + st.m - st.backoff)) throw AnalysisError("the burst is cut off in the long training field");
    for (int k = -26; k <= 26; ++k) y2[static_cast<size_t>(k + 26)] = st.bin(k);
    for (int k = -26; k <= 26; ++k)
        if (k != 0) st.H[static_cast<size_t>(k + 26)] = (y1[static_cast<size_t>(k + 26)] + y2[static_cast<size_t>(k + 26)]) / (2.0 * long_training(k));
}

// The SIGNAL field (BPSK, rate 1/2, pilot polarity p0) after the long training at t1:
// its points and bits in r, the rate and DATA symbols in st (a given rate overrides it).
void read_signal_field(BurstState& st, const Options& opt, Result& r) {
    const int os = st.os;
    const int64_t t1 = st.t_origin;
    if (!st.fft_at(t1 + 128 * os + 16 * os - st.backoff)) throw AnalysisError("the burst is cut off in the SIGNAL field");
    cd pil = 0;
    for (int p = 0; p < 4; ++p)
        pil += st.bin(kPilotSubcarriers[p]) / st.H[static_cast<size_t>(kPilotSubcarriers[p] + 26)] *
               static_cast<double>(kPilotSigns[p] * pilot_polarity(0));
    const cd corr = std::polar(1.0, -std::arg(pil));
    std::vector<double> rx(48), soft(48);
    const std::vector<int>& dsc = data_subcarriers();
    for (int i = 0; i < 48; ++i) {
        const cd z = st.bin(dsc[static_cast<size_t>(i)]) / st.H[static_cast<size_t>(dsc[static_cast<size_t>(i)] + 26)] * corr;
        r.signal_points.push_back(z);
        rx[static_cast<size_t>(i)] = z.real();
    }
    for (int k = 0; k < 48; ++k) soft[static_cast<size_t>(k)] = rx[static_cast<size_t>(interleave_position(k, 48, 1))];
    // Not forced to end in state 0, so that the tail bits are really decoded.
    const std::vector<int> bits = viterbi_decode(soft, false);
    SignalResult sig;
    for (int i = 0; i < 4; ++i) sig.rate_bits += static_cast<char>('0' + bits[static_cast<size_t>(i)]);
    for (int i = 0; i < 12; ++i) sig.length |= bits[static_cast<size_t>(5 + i)] << i;
    int par = 0;
    for (int i = 0; i < 18; ++i) par ^= bits[static_cast<size_t>(i)];
    sig.parity_ok = par == 0;
    sig.tail_ok = true;
    for (int i = 18; i < 24; ++i) sig.tail_ok = sig.tail_ok && bits[static_cast<size_t>(i)] == 0;
    const RateInfo* sr = rate_by_bits(sig.rate_bits);
    if (sr) {
        sig.rate_mbps = sr->mbps;
        sig.data_symbols = (16 + 8 * sig.length + 6 + sr->n_dbps - 1) / sr->n_dbps;
    }
    r.signal = sig;
    if (!sig.parity_ok) r.failures.push_back("SIGNAL parity error (17.3.4.4)");
    if (!sr) r.failures.push_back("SIGNAL RATE bits " + sig.rate_bits + " are not a valid rate (17.3.4.1)");
    if (sr && sig.parity_ok) {
        st.rate = sr;
        st.n_sym = sig.data_symbols;
    }
    if (opt.rate_mbps && rate_by_mbps(*opt.rate_mbps)) {
        if (st.rate && st.rate->mbps != *opt.rate_mbps)
            r.notes.push_back("DATA demodulated at the given " + std::to_string(*opt.rate_mbps) +
                              " Mbit/s, not at the SIGNAL field's " + std::to_string(st.rate->mbps) + " Mbit/s");
        st.rate = rate_by_mbps(*opt.rate_mbps);
        if (!st.n_sym) st.n_sym = static_cast<int>(std::max<int64_t>(0, (st.env_end - st.data_start + 40 * os) / (80 * os)));
    }
    st.polarity_offset = 1;
    r.segments = {{"STF", st.burst_start, 160 * os}, {"LTF", st.burst_start + 160 * os, 160 * os},
                  {"SIGNAL", st.burst_start + 320 * os, 80 * os}};
}

// DATA symbols only: symbol timing and frequency from the guard intervals.
void sync_on_guard_intervals(BurstState& st, const Options& opt) {
    st.rate = opt.rate_mbps ? rate_by_mbps(*opt.rate_mbps) : nullptr;
    if (!st.rate) throw AnalysisError("--frame free needs --rate (6, 9, 12, 18, 24, 36, 48 or 54)");
    const int os = st.os;
    const int64_t g = 16 * os, sym = 80 * os;
    double best = -1;
    cd best_c = 0;
    int64_t best_start = st.s0;
    for (int64_t d = -sym / 2; d < sym / 2; ++d) {
        cd c = 0;
        for (int k = 0; k < 8; ++k) {
            const int64_t s = st.s0 + d + k * sym;
            if (s < 0 || s + sym > st.kept) break;
            for (int64_t n = 0; n < g; ++n) c += st.x[static_cast<size_t>(s + n + st.m)] * std::conj(st.x[static_cast<size_t>(s + n)]);
        }
        if (std::abs(c) > best) {
            best = std::abs(c);
            best_c = c;
            best_start = st.s0 + d;
        }
    }
    // A burst never starts before its first sample above the threshold by more than a guard interval.
    while (best_start + sym <= st.s0) best_start += sym;
    while (best_start < 0) best_start += sym;
    st.freq = std::arg(best_c) * st.fs / (2.0 * kPi * static_cast<double>(st.m));
    st.burst_start = st.data_start = best_start;
    st.t_origin = best_start;
    st.n_sym = opt.symbols ? *opt.symbols : static_cast<int>(std::max<int64_t>(0, (st.env_end - st.data_start + 40 * os) / sym));
    st.polarity_offset = 0;
}

// DATA symbols only: the channel, pilots giving each symbol's gain and decisions then
// each subcarrier's.
void channel_from_decisions(BurstState& st, Result& r) {
    const int64_t g = 16 * st.os, sym = 80 * st.os;
    std::vector<cd> hsum(53, 0.0);
    std::vector<int> hcount(53, 0);
    const int train = std::min(st.n_sym, 16);
    for (int k = 0; k < train; ++k) {
        if (!st.fft_at(st.data_start + k * sym + g - st.backoff)) break;
        // The window starts `backoff` samples early: a phase ramp across the subcarriers.
        auto ramp = [&](int sc) { return std::polar(1.0, 2.0 * kPi * sc * static_cast<double>(st.backoff) / static_cast<double>(st.m)); };
        cd gsum = 0;
        for (int p = 0; p < 4; ++p)
            gsum += st.bin(kPilotSubcarriers[p]) * ramp(kPilotSubcarriers[p]) * static_cast<double>(kPilotSigns[p] * pilot_polarity(k));
        const cd gain = gsum / 4.0;
        if (std::abs(gain) == 0) continue;
        for (int sc : data_subcarriers()) {
            const cd ideal = slice(st.bin(sc) * ramp(sc) / gain, st.rate->n_bpsc, nullptr);
            if (std::abs(ideal) > 0) {
                hsum[static_cast<size_t>(sc + 26)] += st.bin(sc) / ideal;
                ++hcount[static_cast<size_t>(sc + 26)];
            }
        }
        for (int p = 0; p < 4; ++p) {
            const int sc = kPilotSubcarriers[p];
            hsum[static_cast<size_t>(sc + 26)] += st.bin(sc) / static_cast<double>(kPilotSigns[p] * pilot_polarity(k));
            ++hcount[static_cast<size_t>(sc + 26)];
        }
    }
    for (int k = 0; k < 53; ++k)
        if (hcount[static_cast<size_t>(k)]) st.H[static_cast<size_t>(k)] = hsum[static_cast<size_t>(k)] / static_cast<double>(hcount[static_cast<size_t>(k)]);
    r.notes.push_back("DATA-only burst: channel estimated from the pilots and decisions (no training fields)");
}

// The DATA symbols the file holds (up to the end of the burst the envelope shows, half a
// symbol's grace); sets the burst's span and segments; returns its end.
int64_t settle_data_symbols(BurstState& st, Result& r) {
    const int64_t sym = 80 * st.os;
    const int64_t available = std::min((st.kept - st.data_start) / sym, (st.env_end - st.data_start + 40 * st.os) / sym);
    if (st.n_sym > available) {
        if (st.rate) r.failures.push_back("the burst ends after " + std::to_string(std::max<int64_t>(available, 0)) + " of the " +
                                          std::to_string(st.n_sym) + " DATA symbols the SIGNAL field announces");
        st.n_sym = static_cast<int>(std::max<int64_t>(available, 0));
    }
    if (!st.rate) st.n_sym = 0;
    r.rate_mbps = st.rate ? st.rate->mbps : 0;
    r.data_symbols_demodulated = st.n_sym;
    int64_t burst_end = st.data_start + static_cast<int64_t>(st.n_sym) * sym;
    if (!st.rate) burst_end = std::max(burst_end, st.env_end);
    r.burst.found = true;
    r.burst.start = st.burst_start;
    r.burst.length = burst_end - st.burst_start;
    if (st.n_sym > 0) r.segments.push_back({"DATA", st.data_start, static_cast<int64_t>(st.n_sym) * sym});
    return burst_end;
}

// The carrier left, from the slope of the unwrapped pilot phases over their times;
// nothing when the times do not vary.
std::optional<double> residual_from_pilot_phases(const std::vector<double>& phases, const std::vector<double>& times) {
    std::vector<double> un(phases);
    for (size_t i = 1; i < un.size(); ++i) {
        double d = un[i] - un[i - 1];
        while (d > kPi) d -= 2 * kPi;
        while (d < -kPi) d += 2 * kPi;
        un[i] = un[i - 1] + d;
    }
    const double n = static_cast<double>(un.size());
    const double mt = std::accumulate(times.begin(), times.end(), 0.0) / n;
    const double mp = std::accumulate(un.begin(), un.end(), 0.0) / n;
    double sxy = 0, sxx = 0;
    for (size_t i = 0; i < un.size(); ++i) {
        sxy += (times[i] - mt) * (un[i] - mp);
        sxx += (times[i] - mt) * (times[i] - mt);
    }
    if (!(sxx > 0)) return std::nullopt;
    return sxy / sxx / (2.0 * kPi);
}

// Sums over the DATA symbols for the EVM and leakage figures.
struct DataSums {
    std::vector<double> err_sc = std::vector<double>(53, 0.0);
    double err_data = 0, err_pilot = 0, dc_power = 0;
    cd dc_sum = 0, dc_file_sum = 0;
    std::vector<double> phases, times;
};

// The DATA field: equalised, the pilot phase tracked (17.3.9.7 d-f), decided; points,
// per-symbol EVM and the decided bits.
DataSums demodulate_burst_data(BurstState& st, Result& r, std::vector<uint8_t>& bits) {
    DataSums d;
    const int64_t sym = 80 * st.os;
    const std::vector<int>& dsc = data_subcarriers();
    for (int k = 0; k < st.n_sym; ++k) {
        const int64_t window = st.data_start + k * sym + 16 * st.os - st.backoff;
        if (!st.fft_at(window)) break;
        for (int64_t n = 0; n < st.m; ++n) d.dc_file_sum += st.x[static_cast<size_t>(window + n)];
        const int pol = pilot_polarity(k + st.polarity_offset);
        cd pil = 0;
        for (int p = 0; p < 4; ++p)
            pil += st.bin(kPilotSubcarriers[p]) / st.H[static_cast<size_t>(kPilotSubcarriers[p] + 26)] * static_cast<double>(kPilotSigns[p] * pol);
        const double theta = std::arg(pil);
        const cd corr = std::polar(1.0, -theta);
        d.phases.push_back(theta);
        d.times.push_back(static_cast<double>(st.data_start + k * sym - st.t_origin) / st.fs);
        double e_sym = 0;
        for (int sc : dsc) {
            const cd z = st.bin(sc) / st.H[static_cast<size_t>(sc + 26)] * corr;
            r.data_points.push_back(z);
            const cd ideal = slice(z, st.rate->n_bpsc, &bits);
            const double e = std::norm(z - ideal);
            e_sym += e;
            d.err_sc[static_cast<size_t>(sc + 26)] += e;
        }
        for (int p = 0; p < 4; ++p) {
            const int sc = kPilotSubcarriers[p];
            const cd z = st.bin(sc) / st.H[static_cast<size_t>(sc + 26)] * corr;
            r.pilot_points.push_back(z);
            const double e = std::norm(z - cd(kPilotSigns[p] * pol, 0.0));
            d.err_pilot += e;
            d.err_sc[static_cast<size_t>(sc + 26)] += e;
        }
        d.err_data += e_sym;
        r.evm_per_symbol_db.push_back(db10(std::max(e_sym / 48.0, 1e-30)));
        d.dc_sum += st.bin(0);
        for (int sc = -26; sc <= 26; ++sc)
            if (sc) d.dc_power += std::norm(st.bin(sc));
    }
    return d;
}

// EVM (data, pilots, per subcarrier), the worst symbol and subcarrier, the centre-frequency
// leakage and the residual carrier from the sums over done > 0 symbols.
void data_figures(const DataSums& d, int done, BurstState& st, Result& r) {
    r.evm_db = db10(std::max(d.err_data / (48.0 * done), 1e-30));
    r.evm_percent = 100.0 * std::sqrt(d.err_data / (48.0 * done));
    r.evm_pilots_db = db10(std::max(d.err_pilot / (4.0 * done), 1e-30));
    for (int sc = -26; sc <= 26; ++sc)
        if (sc) r.evm_per_subcarrier_db.push_back(db10(std::max(d.err_sc[static_cast<size_t>(sc + 26)] / done, 1e-30)));
    r.worst_symbol = static_cast<int>(std::max_element(r.evm_per_symbol_db.begin(), r.evm_per_symbol_db.end()) - r.evm_per_symbol_db.begin());
    const size_t ws = static_cast<size_t>(std::max_element(r.evm_per_subcarrier_db.begin(), r.evm_per_subcarrier_db.end()) - r.evm_per_subcarrier_db.begin());
    r.worst_subcarrier = ws < 26 ? static_cast<int>(ws) - 26 : static_cast<int>(ws) - 25;
    // Centre-frequency leakage (17.3.9.6.1): the DC bin against the total power.
    // The leakage is looked for at the carrier the burst was found at and at
    // the file's own 0 Hz (a DC offset added after a frequency error): with
    // a frequency error each cancels in the other's average.
    const cd dc = d.dc_sum / static_cast<double>(done);
    const cd dc_file = d.dc_file_sum / static_cast<double>(done);
    const double leak = std::max(std::norm(dc), std::norm(dc_file));
    r.dc_leakage_db = db10(std::max(leak / (d.dc_power / done), 1e-30));
    if (d.phases.size() >= 2)
        if (const std::optional<double> f = residual_from_pilot_phases(d.phases, d.times)) st.freq += *f;
}

// Spectral flatness (17.3.9.6.2) from a channel estimate (subcarriers -26..26).
void measure_flatness(const std::vector<cd>& H, Result& r) {
    double inner = 0;
    for (int k = 1; k <= 16; ++k) inner += std::norm(H[static_cast<size_t>(26 + k)]) + std::norm(H[static_cast<size_t>(26 - k)]);
    inner /= 32.0;
    bool ok = inner > 0;
    for (int k = -26; k <= 26; ++k) {
        if (!k) continue;
        const double d = db10(std::max(std::norm(H[static_cast<size_t>(k + 26)]) / inner, 1e-30));
        r.flatness_db.push_back(d);
        if (std::abs(k) <= 16) ok = ok && std::abs(d) <= 2.0;
        else ok = ok && d <= 2.0 && d >= -4.0;
    }
    r.flatness_ok = ok;
}

// The gap after the burst [span_start, burst_end), up to the next burst or the end of the
// file, and its level against the burst's.
void measure_gap(const Capture& cap, const std::vector<Run>& runs, int64_t span_start, int64_t span_end, int64_t burst_end,
                 Result& r) {
    int64_t next = cap.total;
    for (const Run& run : runs)
        if (run.start * kEnvWindow > burst_end + 2 * kEnvWindow) {
            next = run.start * kEnvWindow;
            break;
        }
    r.burst.gap_length = std::max<int64_t>(0, next - burst_end);
    if (r.burst.gap_length <= 0) return;
    r.segments.push_back({"gap", burst_end, r.burst.gap_length});
    double gp = 0, bp = 0;
    int64_t gn = 0;
    for (int64_t w = burst_end / kEnvWindow + 1; w < next / kEnvWindow && w < static_cast<int64_t>(cap.env.size()); ++w) {
        gp += cap.env[static_cast<size_t>(w)];
        ++gn;
    }
    for (int64_t k = span_start; k < span_end; ++k) bp += std::norm(cap.x[static_cast<size_t>(k)]);
    bp /= static_cast<double>(std::max<int64_t>(span_end - span_start, 1));
    if (gn > 0 && gp > 0 && bp > 0) r.burst.gap_level_db = db10(gp / gn / bp);
}

// The envelope for the time view (moves the capture's envelope into r).
void power_view(Capture& cap, int64_t span_start, int64_t span_end, Result& r) {
    r.power.samples = cap.total;
    r.power.window = kEnvWindow;
    r.power.window_min = std::move(cap.env_min);
    r.power.window_max = std::move(cap.env_max);
    r.power.sample_power.resize(cap.x.size());
    for (size_t k = 0; k < cap.x.size(); ++k) r.power.sample_power[k] = static_cast<float>(std::norm(cap.x[k]));
    double bp = 0;
    for (int64_t k = span_start; k < span_end; ++k) bp += std::norm(cap.x[static_cast<size_t>(k)]);
    r.power.reference_power = span_end > span_start ? bp / static_cast<double>(span_end - span_start) : 0.0;
}

// The first burst's failures and notes from its figures.
void first_burst_verdicts(Result& r) {
    r.evm_limit_db = evm_limit_db(r.rate_mbps);
    if (r.iq_inverted) r.failures.insert(r.failures.begin(), "spectrum inverted: I and Q exchanged?");
    if (r.evm_db && r.evm_limit_db && *r.evm_db > *r.evm_limit_db) {
        char b[160];
        std::snprintf(b, sizeof b, "EVM %.2f dB above the %d Mbit/s limit of %.0f dB (17.3.9.7)", *r.evm_db, r.rate_mbps, *r.evm_limit_db);
        r.failures.push_back(b);
    }
    if (r.dc_leakage_db && *r.dc_leakage_db > -15.0) r.failures.push_back("centre-frequency leakage above -15 dB (17.3.9.6.1)");
    if (r.flatness_ok && !*r.flatness_ok) r.failures.push_back("spectral flatness outside +-2 dB / +2..-4 dB (17.3.9.6.2)");
    if (!r.mask.pass) r.failures.push_back("transmit spectrum mask violated (17.3.9.2)");
    if (r.file.clipped_codes && *r.file.clipped_codes > 0) r.failures.push_back(std::to_string(*r.file.clipped_codes) + " clipped codes");
    if (r.file.header_ok && !*r.file.header_ok) r.failures.push_back("header PAPR or crest factors differ from the codes");
    if (r.payload && r.payload->bit_errors && *r.payload->bit_errors > 0)
        r.failures.push_back(std::to_string(*r.payload->bit_errors) + " payload bit errors");
    if (r.payload && r.payload->expected && !pattern_by_name(r.payload->pattern))
        r.failures.push_back("unknown expected pattern " + r.payload->pattern);
    if (r.burst.count > 1) r.notes.push_back(std::to_string(r.burst.count) + " bursts in the file; the transmitter measurements are of the first");
}

// start_hint: the first packet's start, when the packet receiver found one.
Result analyse_first_burst(Capture& cap, const WaveformInfo& info, const std::string& path, const Options& opt,
                           std::optional<int64_t> start_hint) {
    Result r;
    r.file.path = path;
    r.file.format = info.format;
    r.file.samples = info.samples;
    r.file.datatype = info.datatype;
    r.free_format = opt.free_format;
    double fs = stated_sample_rate(info, opt, r);

    // Burst detection over the whole file.
    double threshold = 0;
    const std::vector<Run> runs = find_bursts(cap.env, threshold);
    r.burst.count = static_cast<int>(runs.size());
    if (runs.empty()) throw AnalysisError("no 802.11a burst found");
    const auto [s0, env_end] = locate_first_burst(cap, runs, threshold, start_hint);
    if (fs <= 0) {
        if (opt.free_format) throw AnalysisError("the sampling rate of a DATA-only burst in a CSV file must be given (--oversample or --sample-rate)");
        fs = sample_rate_from_short_training(cap.x, s0, r);
    }
    const double os_real = fs / kBaseRate;
    const int os = static_cast<int>(std::lround(os_real));
    if (os < 1 || std::abs(os_real - os) > 1e-9 * os || os > 64)
        throw AnalysisError("the sampling rate " + std::to_string(fs) + " Hz is not a whole multiple of 20 MHz (up to 1280 MHz)");
    r.file.sample_rate_hz = fs;
    r.file.oversample = os;

    BurstState st(cap.x, fs, os);
    st.s0 = st.burst_start = st.data_start = st.t_origin = s0;
    st.env_end = env_end;
    st.flat_channel = constant_channel(cap.x, s0, env_end);
    if (!opt.free_format) {
        sync_on_preamble(st, r);
        read_signal_field(st, opt, r);
    } else {
        sync_on_guard_intervals(st, opt);
        channel_from_decisions(st, r);
    }
    const int64_t burst_end = settle_data_symbols(st, r);
    std::vector<uint8_t> bits;
    const DataSums sums = demodulate_burst_data(st, r, bits);
    const int done = static_cast<int>(r.evm_per_symbol_db.size());
    if (done > 0) data_figures(sums, done, st, r);
    // The file's sense: with I and Q exchanged the spectrum is mirrored.
    r.freq_error_hz = r.iq_inverted ? -st.freq : st.freq;
    if (st.flat_channel) {
        std::ostringstream note;
        note.setf(std::ios::fixed);
        note.precision(6);
        note << "real signal (" << st.flat_channel << " constant): a burst at an IF of "
             << std::abs(*r.freq_error_hz) / 1e6 << " MHz (one of its two mirror images), not a carrier frequency error";
        r.notes.push_back(note.str());
    }
    if (!opt.free_format || done > 0) measure_flatness(st.H, r);
    if (!bits.empty()) r.payload = identify_payload(bits, opt);

    // Burst span measurements on the samples as they are in the file.
    if (r.iq_inverted)
        for (cd& v : cap.x) v = cd(v.imag(), v.real());
    const int64_t span_start = std::clamp<int64_t>(st.burst_start, 0, st.kept);
    const int64_t span_end = std::max(std::min(burst_end, st.kept), span_start);
    measure_peaks(cap.x, span_start, span_end - span_start, r);
    measure_mask(cap.x, span_start, span_end - span_start, fs, r.mask);
    measure_codes(cap, info, runs, r);
    measure_gap(cap, runs, span_start, span_end, burst_end, r);
    power_view(cap, span_start, span_end, r);
    first_burst_verdicts(r);
    return r;
}

}  // namespace

}  // namespace orv::analysis
