// Synchronisation and channel estimate of the packet receiver (17.3.3 preamble).
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numbers>
#include <utility>

#include "rx.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define ORV_RX_SYNC_SSE2 1
#endif
#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define ORV_RX_SYNC_AVX2 1
#endif

namespace orv::analysis::rx {

namespace {
constexpr double kPi = std::numbers::pi;
constexpr double kStep = kBaseRateHz / 16.0;  // ambiguity of the short-period estimate

// Whether the four-lane loops run: vector asked for and the processor has AVX2.
bool use_avx2(bool vector) {
#ifdef ORV_RX_SYNC_AVX2
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return vector && avx2;
#else
    (void)vector;
    return false;
#endif
}

cd sample(const std::vector<cd>& x, int64_t k, bool inverted) {
    if (k < 0 || k >= static_cast<int64_t>(x.size())) return 0.0;
    const cd v = x[static_cast<size_t>(k)];
    return inverted ? cd(v.imag(), v.real()) : v;
}

// The long training symbol at 20 MS/s (64 samples, unit subcarriers, 1/64 scaling).
const std::array<cd, 64>& long_reference() {
    static const std::array<cd, 64> ref = [] {
        std::array<cd, 64> r{};
        for (int n = 0; n < 64; ++n) {
            cd acc = 0;
            for (int k = -26; k <= 26; ++k)
                if (long_training(k)) acc += static_cast<double>(long_training(k)) * std::polar(1.0, 2.0 * kPi * k * n / 64.0);
            r[static_cast<size_t>(n)] = acc / 64.0;
        }
        return r;
    }();
    return ref;
}

// Samples [from, from + n) derotated by f, phase origin at from.
std::vector<cd> derotate(const std::vector<cd>& x, int64_t from, int64_t n, double f, bool inverted) {
    std::vector<cd> y(static_cast<size_t>(n));
    derotate_into(x, from, n, f, inverted, y.data());
    return y;
}

// The multiple of 1.25 MHz that puts the short training field's twelve tones on
// subcarriers +-4 .. +-24, given the fractional offset f_frac.
int comb_shift(const std::vector<cd>& x, int64_t at, double f_frac, bool inverted, ForwardFft& fft) {
    const std::vector<cd> y = derotate(x, at, 64, f_frac, inverted);
    std::array<cd, 64> bins{};
    fft.run(y.data(), bins.data());
    std::array<double, 16> e{};
    for (int b = 0; b < 16; ++b) e[static_cast<size_t>(b)] = std::norm(bins[static_cast<size_t>(4 * b)]);
    int best = 0;
    double best_score = -1;
    for (int a = -8; a < 8; ++a) {
        double score = 0;
        for (int t = -6; t <= 6; ++t)
            if (t) score += e[static_cast<size_t>(((t + a) % 16 + 16) % 16)];
        if (score > best_score) {
            best_score = score;
            best = a;
        }
    }
    return best;
}

// The long training symbol's spectrum conjugated, zero-padded to kCorrFft samples.
constexpr int kCorrFft = 512;
const std::vector<cd>& long_reference_spectrum() {
    static const std::vector<cd> ltf_spectrum = [] {
        ForwardFft fft(kCorrFft);
        std::vector<cd> r(kCorrFft, cd(0, 0)), out(kCorrFft);
        for (size_t n = 0; n < 64; ++n) r[n] = long_reference()[n];
        fft.run(r.data(), out.data());
        for (cd& v : out) v = std::conj(v);
        return out;
    }();
    return ltf_spectrum;
}

// The long training search over the samples of one detection: y, x from lo on with a carrier
// offset f0 removed; its zero-padded kCorrFft-point transform; and the energy of every 128
// samples. Each of the candidate offsets f0 + r kStep (r = 0, 1, 2) shares them: removing kStep
// more turns the transform by kCorrFft / 16 bins, and leaves every sample's magnitude as it is.
struct LtfSearch {
    std::vector<cd> y;
    std::array<cd, kCorrFft> spectrum{};
    std::array<double, kCorrFft> e{};  // energy of y[t .. t + 128), t < count
    std::array<double, kCorrFft> scale{};  // the metric's denominators of e (metric_scales)
    double total = 0;                  // energy of y
    size_t count = 0;                  // timings searched
};
constexpr int kStepBins = kCorrFft / 16;

void metric_scales(const double* e, size_t n, double* s, bool vector = true);

// Fills search for the timings [lo, hi] (hi - lo + 128 <= kCorrFft) at carrier offset f0.
void prepare_search(const std::vector<cd>& x, int64_t lo, int64_t hi, double f0, bool inverted, LtfSearch& search) {
    static thread_local ForwardFft fft(kCorrFft);
    const size_t len = static_cast<size_t>(hi - lo + 128);
    search.y.resize(len);  // its room kept from one search to the next
    derotate_into(x, lo, hi - lo + 128, f0, inverted, search.y.data());
    const std::vector<cd>& y = search.y;
    cd* in = fft.input();
    std::copy(y.begin(), y.end(), in);
    std::fill(in + len, in + kCorrFft, cd(0, 0));
    const cd* out = fft.transform();
    std::copy(out, out + kCorrFft, search.spectrum.begin());
    // Each sample's power once, for the total and the windows' running sums.
    std::array<double, kCorrFft> p;  // set for the len samples below
    for (size_t n = 0; n < len; ++n) p[n] = std::norm(y[n]);
    search.total = 0;
    for (size_t n = 0; n < len; ++n) search.total += p[n];
    search.count = static_cast<size_t>(hi - lo + 1);
    window_energies(p.data(), search.count, search.e.data());
    metric_scales(search.e.data(), search.count, search.scale.data());
}

#ifdef ORV_RX_SYNC_AVX2
// out[k] = conj(mul(a[k], b[k])) for k < n, two values a step and n - n % 2 of them (AVX2:
// the same products, the same values); returns the count done.
__attribute__((target("avx2"))) size_t conj_products_avx2(const cd* a, const cd* b, size_t n, cd* out) {
    const __m256d odd = _mm256_set_pd(-0.0, 0.0, -0.0, 0.0);  // the imaginary parts' signs
    size_t k = 0;
    for (; k + 2 <= n; k += 2) {
        const __m256d va = _mm256_loadu_pd(reinterpret_cast<const double*>(a + k));
        const __m256d vb = _mm256_loadu_pd(reinterpret_cast<const double*>(b + k));
        const __m256d re_b = _mm256_movedup_pd(vb), im_b = _mm256_permute_pd(vb, 0xF);
        // (ar br - ai bi, ai br + ar bi): mul's terms (a sum's order does not change it).
        const __m256d p = _mm256_addsub_pd(_mm256_mul_pd(va, re_b), _mm256_mul_pd(_mm256_permute_pd(va, 0x5), im_b));
        _mm256_storeu_pd(reinterpret_cast<double*>(out + k), _mm256_xor_pd(p, odd));
    }
    return k;
}

// out[t] = conj(in[t]) * s for t < n, two values a step and n - n % 2 of them (AVX2, the same
// values); returns the count done.
__attribute__((target("avx2"))) size_t scaled_conj_avx2(const cd* in, size_t n, double s, cd* out) {
    const __m256d odd = _mm256_set_pd(-0.0, 0.0, -0.0, 0.0), scale = _mm256_set1_pd(s);
    size_t t = 0;
    for (; t + 2 <= n; t += 2) {
        const __m256d v = _mm256_xor_pd(_mm256_loadu_pd(reinterpret_cast<const double*>(in + t)), odd);
        _mm256_storeu_pd(reinterpret_cast<double*>(out + t), _mm256_mul_pd(v, scale));
    }
    return t;
}
#endif

// out[k] = conj(mul(a[k], b[k])) for k < n; vector: two at a time where the processor has AVX2.
void conj_products(const cd* a, const cd* b, size_t n, cd* out, bool vector) {
    size_t k = 0;
#ifdef ORV_RX_SYNC_AVX2
    if (use_avx2(vector)) k = conj_products_avx2(a, b, n, out);
#endif
    for (; k < n; ++k) out[k] = std::conj(mul(a[k], b[k]));
}

// c[t] = sum over n < 64 of y_r[t + n] conj(ref[n]) for t < count + 64, y_r the search's samples
// with r kStep more removed: the transform turned by r kStepBins times the reference's, inverse
// transformed (as conj(FFT(conj(.))), scaled by 1 / kCorrFft). vector: the products and the
// scaling two values at a time where the processor has AVX2 (the same values).
void ltf_correlation(const LtfSearch& search, int r, std::vector<cd>& c, bool vector = true) {
    static thread_local ForwardFft fft(kCorrFft);
    const std::vector<cd>& ref = long_reference_spectrum();
    cd* in = fft.input();
    // Bins turn .. kCorrFft - 1 first, then 0 .. turn - 1.
    const size_t turn = static_cast<size_t>(r * kStepBins), first = kCorrFft - turn;
    const cd* sp = search.spectrum.data();
    conj_products(sp + turn, ref.data(), first, in, vector);
    conj_products(sp, ref.data() + first, turn, in + first, vector);
    const cd* out = fft.transform();
    c.resize(search.y.size() - 63);
    constexpr double kScale = 1.0 / kCorrFft;  // a power of two: the same as dividing
    size_t t = 0;
#ifdef ORV_RX_SYNC_AVX2
    if (use_avx2(vector)) t = scaled_conj_avx2(out, c.size(), kScale, c.data());
#endif
    for (; t < c.size(); ++t) c[t] = std::conj(out[t]) * kScale;
}

// Paths of a multipath channel the timing looks for ahead of the strongest: 2 to kEarliest
// samples earlier and at most kPathFloor below it in correlation power (the long training
// symbol's own sidelobes stay 4 dB under that floor). The sample just ahead is not a path of
// its own: a delay between two samples splits one path over both, and the backoff into the
// guard interval covers it. The paths counted for the metric lie within kPathWindow samples
// (the guard interval) of the first.
constexpr int kEarliest = 12;
constexpr double kPathFloor = 0.1;
constexpr int kPathWindow = 16;
// Normalised correlation of the two long symbols that marks them as repeated: about -2 dB SNR
// (white noise reaches it once in some 10^4 windows of 64 samples).
constexpr double kRepeated = 0.4;
// Spread of the long symbols' energy over the used subcarriers (tone_spread) that the summed
// paths also need: a channel within the guard interval leaves above 0.35 even at 0 dB SNR;
// a band a sixth as wide (DATA read at 8 times its rate) 0.15. Such a band looks, within one
// symbol, like the long training symbol behind a channel of a dozen paths, and repeats as well.
constexpr double kSpread = 0.25;
// Largest correction of the short training field's carrier offset the long symbols may ask for
// on the summed-paths route (a quarter of the repetition's unambiguous +-156 kHz).
constexpr double kResidualHz = 40e3;
constexpr int kEarlyMargin = 3;  // samples the FFT window starts ahead of the first of several paths (filters ring ahead too)

// The long-training timing for one carrier offset.
struct Timing {
    int64_t t1 = 0;         // the FFT timing: the first path, later behind several
    int64_t first = 0;      // the first path's first long training sample
    double metric = -1;     // normalised correlation on the strongest path alone
    double paths = 0;       // the correlation power of the paths within kPathWindow of the first, normalised
    double repetition = 0;  // normalised correlation of the two long symbols from the first path on
};

// The long training symbol's cyclic autocorrelation over its energy, lags -kPathWindow ..
// kPathWindow: the correlation a path leaves on the lags around it.
const std::array<cd, 2 * kPathWindow + 1>& ltf_sidelobes() {
    static const std::array<cd, 2 * kPathWindow + 1> a = [] {
        const std::array<cd, 64>& ref = long_reference();
        double energy = 0;
        for (const cd& v : ref) energy += std::norm(v);
        std::array<cd, 2 * kPathWindow + 1> r{};
        for (int lag = -kPathWindow; lag <= kPathWindow; ++lag) {
            cd acc = 0;
            for (int n = 0; n < 64; ++n) acc += ref[static_cast<size_t>((n + lag + 64) % 64)] * std::conj(ref[static_cast<size_t>(n)]);
            r[static_cast<size_t>(lag + kPathWindow)] = acc / energy;
        }
        return r;
    }();
    return a;
}

// The paths around the strongest (index peak of c): the first 2 to kEarliest samples ahead of
// it and the last up to kPathWindow after the first, each within kPathFloor of the strongest
// once the strongest path's sidelobes are taken out; t's fields that depend on them. y and c
// as in ltf_peak.
void first_path(const std::vector<cd>& y, const std::vector<cd>& c, int64_t lo, int64_t peak, Timing& t) {
    const auto at = [&](int64_t u) { return c[static_cast<size_t>(u)]; };
    const auto power = [&](int64_t u) { return std::norm(at(u)) + std::norm(at(u + 64)); };
    const double strongest = power(peak);
    const auto is_path = [&](int64_t u) {
        const int64_t lag = u - peak;
        if (lag == 0) return true;
        if (lag == 1 || lag == -1) return false;
        const cd side = lag >= -kPathWindow && lag <= kPathWindow ? ltf_sidelobes()[static_cast<size_t>(lag + kPathWindow)] : cd(0, 0);
        return std::norm(at(u) - at(peak) * side) + std::norm(at(u + 64) - at(peak + 64) * side) >= kPathFloor * strongest;
    };
    int64_t first = peak;
    for (int64_t u = std::max<int64_t>(peak - kEarliest, 0); u < peak; ++u)
        if (is_path(u)) {
            first = u;
            break;
        }
    const int64_t end = std::min<int64_t>(first + kPathWindow, static_cast<int64_t>(c.size()) - 64);
    double sum = 0;
    int64_t last = first;
    for (int64_t u = first; u < end; ++u)
        if (is_path(u)) sum += power(u), last = u;
    double e1 = 0, e2 = 0;
    cd r = 0;
    for (size_t n = static_cast<size_t>(first); n < static_cast<size_t>(first) + 64; ++n) {
        e1 += std::norm(y[n]);
        e2 += std::norm(y[n + 64]);
        r += mul_conj(y[n + 64], y[n]);
    }
    // The FFT windows start kBackoff samples ahead of t1. On a single path that is the first
    // path; behind several the windows start kEarlyMargin samples ahead of the first path's
    // symbols, so that the long tail of later paths stays in their guard intervals.
    t.first = lo + first;
    t.t1 = lo + (last > first ? first + kBackoff - kEarlyMargin : first);
    t.paths = e1 + e2 > 0 ? std::min(std::sqrt(sum / ((e1 + e2) * (52.0 / 64.0))), 1.0) : 0.0;
    t.repetition = e1 > 0 && e2 > 0 ? std::abs(r) / std::sqrt(e1 * e2) : 0.0;
}

void magnitudes(const cd* c, size_t n, double* m, bool vector = true);
void metric_of(const double* m, const double* scale, const double* e, size_t n, double silence, double* v, bool vector = true);

// The strongest path among the search's timings for its carrier offset r kStep above its own:
// returns its index among them, its metric into metric and the correlation into c (the first
// path ahead of it is looked for only on the offset chosen).
int64_t ltf_peak(const LtfSearch& search, int r, std::vector<cd>& c, double& metric) {
    ltf_correlation(search, r, c);
    // A window below 1e-12 of y's energy is silence: its correlation is the transforms' rounding.
    // ltf_metric, the energies' denominators shared by the three offsets.
    std::array<double, kCorrFft + 64> m;  // set for every correlation below
    magnitudes(c.data(), c.size(), m.data());
    std::array<double, kCorrFft> v;  // set for the search.count timings read below
    metric_of(m.data(), search.scale.data(), search.e.data(), search.count, 1e-12 * search.total, v.data());
    return static_cast<int64_t>(strongest_timing(v.data(), search.count, &metric));
}

// How evenly the energy of the two long symbols y[0 .. 128) spreads over the 52 used
// subcarriers: 1 for equal powers, k / 52 for k equal tones and the rest empty.
double tone_spread(const std::vector<cd>& y, ForwardFft& fft) {
    std::array<double, 64> p{};
    std::array<cd, 64> bins{};
    for (size_t half = 0; half < 2; ++half) {
        fft.run(y.data() + 64 * half, bins.data());
        for (size_t k = 0; k < 64; ++k) p[k] += std::norm(bins[k]);
    }
    double sum = 0, squares = 0;
    for (int k = -26; k <= 26; ++k) {
        if (k == 0) continue;
        const double v = p[static_cast<size_t>((k + 64) % 64)];
        sum += v;
        squares += v * v;
    }
    return squares > 0 ? sum * sum / (52.0 * squares) : 0.0;
}

Sync sync_variant(const std::vector<cd>& x, const Detection& d, bool inverted, ForwardFft& fft) {
    cd c = 0;
    if (d.at + 16 >= 0 && d.at + 128 <= static_cast<int64_t>(x.size())) {  // within x: no bounds check on each sample
        const cd* v = x.data() + d.at;
        const auto at = [&](int64_t n) { return inverted ? cd(v[n].imag(), v[n].real()) : v[n]; };
        for (int64_t n = 16; n < 112; ++n) c += mul_conj(at(n + 16), at(n));
    } else {
        for (int64_t n = d.at + 16; n < d.at + 112; ++n) c += mul_conj(sample(x, n + 16, inverted), sample(x, n, inverted));
    }
    const double f_frac = std::arg(c) * kBaseRateHz / (2.0 * kPi * 16.0);
    const int a0 = comb_shift(x, d.at + 48, f_frac, inverted, fft);
    Sync best;
    best.inverted = inverted;
    Timing chosen;
    // Up to 138 samples late for a detection that early: a resampled or filtered packet in exact
    // silence rings ahead of itself, and that ringing is periodic like the short training field;
    // and up to 60 samples after a detection ahead of the field (a tone's residue before it),
    // whose long symbols would otherwise lie beyond the search and leave only what precedes them
    // to be taken for a faded preamble.
    const int64_t lo = d.at + 80, hi = d.at + 380;  // hi - lo + 128 within kCorrFft
    const auto wrapped = [](double f) {
        if (f > kBaseRateHz / 2) f -= kBaseRateHz;
        if (f < -kBaseRateHz / 2) f += kBaseRateHz;
        return f;
    };
    static thread_local LtfSearch search;
    prepare_search(x, lo, hi, wrapped(f_frac + (a0 - 1) * kStep), inverted, search);
    static thread_local std::vector<cd> c_try, c_chosen;  // correlations: the offset tried, the best so far
    int64_t peak = -1;
    for (int a = a0 - 1; a <= a0 + 1; ++a) {
        double metric = -1;
        const int64_t u = ltf_peak(search, a - (a0 - 1), c_try, metric);
        if (metric > chosen.metric) {
            chosen.metric = metric;
            peak = u;
            std::swap(c_try, c_chosen);
            best.cfo_hz = wrapped(f_frac + a * kStep);
        }
    }
    if (peak >= 0) first_path(search.y, c_chosen, lo, peak, chosen);
    // Under multipath the strongest path alone may hold a small part of the power: the
    // paths within the guard interval together then stand for the preamble, while the
    // two long symbols repeat (which noise does not) and fill the band (which a narrow
    // band does not).
    best.t1 = chosen.t1;
    best.first_path = chosen.first;
    // Fine offset from the repetition of the two long symbols (from the first path on: both
    // symbols inside the training field on every path).
    const std::vector<cd> y = derotate(x, best.first_path, 128, best.cfo_hz, inverted);
    const double spread = tone_spread(y, fft);
    cd r = 0;
    for (int n = 0; n < 64; ++n) r += mul_conj(y[static_cast<size_t>(n + 64)], y[static_cast<size_t>(n)]);
    const double residual_hz = std::arg(r) * kBaseRateHz / (2.0 * kPi * 64.0);
    // The summed paths stand for a preamble only where the long symbols confirm the carrier
    // offset the short ones gave (a tone's residue ahead of the field bends that estimate,
    // and a wrong offset leaves the paths' sum at the level of any signal's).
    const bool paths_route = chosen.repetition >= kRepeated && spread >= kSpread && std::abs(residual_hz) <= kResidualHz;
    best.metric = std::max(chosen.metric, paths_route ? chosen.paths : 0.0);
    best.cfo_hz += residual_hz;
    return best;
}
}  // namespace

namespace {
// The SIGNAL symbol's error against its BPSK decisions, over the channel's power, with the
// FFT timing t1 (the channel estimated there too): the interference of the neighbouring
// symbols that timing lets in, and the noise.
double signal_error(const std::vector<cd>& x, Sync s, int64_t t1, ForwardFft& fft) {
    s.t1 = t1;
    const Channel ch = estimate_channel(x, s, fft);
    const std::array<cd, 53> y = subcarriers(x, s, t1 + 128 + 16 - kBackoff, fft);
    double err = 0, power = 0;
    for (size_t i = 0; i < 53; ++i) {
        const cd h = ch.h[i];
        if (i == 26 || !(std::norm(h) > 0)) continue;
        const double decision = (y[i] / h).real() >= 0 ? 1.0 : -1.0;
        err += std::norm(y[i] - h * decision);
        power += std::norm(h);
    }
    return power > 0 ? err / power : 0.0;
}

// Behind several paths: the FFT timing between the first path and kBackoff - 1 samples later
// whose SIGNAL symbol shows the least interference (how far the paths' tail reaches past
// the guard interval, and filters ringing ahead, differ from one channel to the next).
void place_windows(const std::vector<cd>& x, Sync& s, ForwardFft& fft) {
    if (s.t1 == s.first_path || s.t1 + 128 + 80 + 64 > static_cast<int64_t>(x.size())) return;
    double least = signal_error(x, s, s.t1, fft);
    int64_t best = s.t1;
    for (int64_t t1 = s.first_path; t1 < s.first_path + kBackoff; ++t1) {
        if (t1 == s.t1) continue;
        const double e = signal_error(x, s, t1, fft);
        if (e < least) least = e, best = t1;
    }
    s.t1 = best;
}
}  // namespace

namespace {
#ifdef ORV_RX_SYNC_AVX2
// magnitudes four a step (AVX2: each |c|^2 as re^2 + im^2, the same values); returns the count done.
__attribute__((target("avx2"))) size_t magnitudes_avx2(const cd* c, size_t n, double* m) {
    const double* d = reinterpret_cast<const double*>(c);
    size_t t = 0;
    for (; t + 4 <= n; t += 4) {
        const __m256d a = _mm256_loadu_pd(d + 2 * t), b = _mm256_loadu_pd(d + 2 * t + 4);
        // |c|^2 of values t, t + 2, t + 1, t + 3, then put in order.
        const __m256d sums = _mm256_hadd_pd(_mm256_mul_pd(a, a), _mm256_mul_pd(b, b));
        _mm256_storeu_pd(m + t, _mm256_sqrt_pd(_mm256_permute4x64_pd(sums, 0xD8)));
    }
    return t;
}

// metric_of four timings a step (AVX2, the same values); returns the count done.
__attribute__((target("avx2"))) size_t metric_of_avx2(const double* m, const double* scale, const double* e, size_t n,
                                                      double silence, double* v) {
    const __m256d floor = _mm256_set1_pd(silence);
    size_t t = 0;
    for (; t + 4 <= n; t += 4) {
        const __m256d num = _mm256_add_pd(_mm256_loadu_pd(m + t), _mm256_loadu_pd(m + t + 64));
        const __m256d above = _mm256_cmp_pd(_mm256_loadu_pd(e + t), floor, _CMP_GT_OQ);
        _mm256_storeu_pd(v + t, _mm256_and_pd(above, _mm256_div_pd(num, _mm256_loadu_pd(scale + t))));
    }
    return t;
}
#endif

// |c[t]| for t < n (the square root of std::norm); vector: four a step (AVX2) or two (SSE2),
// the same values.
void magnitudes(const cd* c, size_t n, double* m, bool vector) {
    size_t t = 0;
#ifdef ORV_RX_SYNC_AVX2
    if (use_avx2(vector)) t = magnitudes_avx2(c, n, m);
#endif
#ifdef ORV_RX_SYNC_SSE2
    if (vector) {
        const double* d = reinterpret_cast<const double*>(c);
        for (; t + 2 <= n; t += 2) {
            const __m128d a = _mm_loadu_pd(d + 2 * t), b = _mm_loadu_pd(d + 2 * t + 2);
            const __m128d re = _mm_unpacklo_pd(a, b), im = _mm_unpackhi_pd(a, b);
            _mm_storeu_pd(m + t, _mm_sqrt_pd(_mm_add_pd(_mm_mul_pd(re, re), _mm_mul_pd(im, im))));
        }
    }
#endif
    (void)vector;
    for (; t < n; ++t) m[t] = std::sqrt(std::norm(c[t]));
}

// The metric's denominators sqrt(2 e[t] 52/64) for t < n; vector as magnitudes.
void metric_scales(const double* e, size_t n, double* s, bool vector) {
    size_t t = 0;
#ifdef ORV_RX_SYNC_SSE2
    if (vector)
        for (; t + 2 <= n; t += 2)
            _mm_storeu_pd(s + t, _mm_sqrt_pd(_mm_mul_pd(_mm_mul_pd(_mm_set1_pd(2.0), _mm_loadu_pd(e + t)), _mm_set1_pd(52.0 / 64.0))));
#endif
    (void)vector;
    for (; t < n; ++t) s[t] = std::sqrt(2.0 * e[t] * (52.0 / 64.0));
}

// v[t] = (m[t] + m[t + 64]) / scale[t] where e[t] is above silence, else 0, for t < n; vector as magnitudes.
void metric_of(const double* m, const double* scale, const double* e, size_t n, double silence, double* v, bool vector) {
    size_t t = 0;
#ifdef ORV_RX_SYNC_AVX2
    if (use_avx2(vector)) t = metric_of_avx2(m, scale, e, n, silence, v);
#endif
#ifdef ORV_RX_SYNC_SSE2
    if (vector)
        for (; t + 2 <= n; t += 2) {
            const __m128d num = _mm_add_pd(_mm_loadu_pd(m + t), _mm_loadu_pd(m + t + 64));
            const __m128d above = _mm_cmpgt_pd(_mm_loadu_pd(e + t), _mm_set1_pd(silence));
            _mm_storeu_pd(v + t, _mm_and_pd(above, _mm_div_pd(num, _mm_loadu_pd(scale + t))));
        }
#endif
    (void)vector;
    for (; t < n; ++t) v[t] = e[t] > silence ? (m[t] + m[t + 64]) / scale[t] : 0.0;
}
}  // namespace

namespace {
#ifdef ORV_RX_SYNC_AVX2
// times_phasors two samples a step (AVX2: mul's products, the same values); returns the count done.
__attribute__((target("avx2"))) size_t times_phasors_avx2(const cd* v, const cd* ph, size_t n, bool inverted, cd* out) {
    size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        __m256d a = _mm256_loadu_pd(reinterpret_cast<const double*>(v + i));
        if (inverted) a = _mm256_permute_pd(a, 0x5);  // I and Q exchanged
        const __m256d b = _mm256_loadu_pd(reinterpret_cast<const double*>(ph + i));
        const __m256d p = _mm256_addsub_pd(_mm256_mul_pd(a, _mm256_movedup_pd(b)),
                                           _mm256_mul_pd(_mm256_permute_pd(a, 0x5), _mm256_permute_pd(b, 0xF)));
        _mm256_storeu_pd(reinterpret_cast<double*>(out + i), p);
    }
    return i;
}
#endif

// out[i] = mul(v[i], ph[i]) for i < n, v[i]'s I and Q exchanged when inverted; two at a time
// where the processor has AVX2.
void times_phasors(const cd* v, const cd* ph, size_t n, bool inverted, cd* out) {
    size_t i = 0;
#ifdef ORV_RX_SYNC_AVX2
    if (use_avx2(true)) i = times_phasors_avx2(v, ph, n, inverted, out);
#endif
    for (; i < n; ++i) out[i] = mul(inverted ? cd(v[i].imag(), v[i].real()) : v[i], ph[i]);
}
}  // namespace

void derotate_into(const std::vector<cd>& x, int64_t from, int64_t n, double f, bool inverted, cd* out) {
    const double w = -2.0 * kPi * f / kBaseRateHz;
    const cd step = std::polar(1.0, w);
    cd ph = 1.0;
    const bool inside = from >= 0 && n >= 0 && from + n <= static_cast<int64_t>(x.size());
    if (!inside) {
        for (int64_t i = 0; i < n; ++i) {
            if (i % 64 == 0) ph = std::polar(1.0, w * static_cast<double>(i));  // exact every 64 samples
            out[i] = mul(sample(x, from + i, inverted), ph);
            ph = mul(ph, step);
        }
        return;
    }
    // Within x: the same products without the bounds check on every sample, each block of 64
    // samples' phasors first, then the samples times them.
    const cd* src = x.data() + from;
    std::array<cd, 64> phs;  // set for the block's samples
    for (int64_t b = 0; b < n; b += 64) {
        const size_t m = static_cast<size_t>(std::min<int64_t>(64, n - b));
        ph = std::polar(1.0, w * static_cast<double>(b));
        for (size_t i = 0; i < m; ++i) {
            phs[i] = ph;
            ph = mul(ph, step);
        }
        times_phasors(src + b, phs.data(), m, inverted, out + b);
    }
}

void window_energies(const double* p, size_t count, double* e) {
    double run = 0;
    for (size_t u = 0; u < count; ++u) {
        if (u % 32 == 0) {
            run = 0;
            for (size_t n = u; n < u + 128; ++n) run += p[n];
        } else {
            run = std::max(run + p[u + 127] - p[u - 1], 0.0);
        }
        e[u] = run;
    }
}

namespace {
#ifdef ORV_RX_SYNC_AVX2
// The largest of v[0 .. n), NaN taken as -1, four a step (AVX2); -1 where n is 0.
__attribute__((target("avx2"))) double largest_avx2(const double* v, size_t n) {
    const __m256d low = _mm256_set1_pd(-1.0);
    __m256d top = low;
    size_t u = 0;
    for (; u + 4 <= n; u += 4) {
        const __m256d a = _mm256_loadu_pd(v + u);
        top = _mm256_max_pd(top, _mm256_blendv_pd(low, a, _mm256_cmp_pd(a, a, _CMP_ORD_Q)));  // NaN lanes -1
    }
    alignas(32) double l[4];
    _mm256_store_pd(l, top);
    double m = std::max(std::max(l[0], l[1]), std::max(l[2], l[3]));
    for (; u < n; ++u)
        if (v[u] > m) m = v[u];
    return m;
}
#endif
}  // namespace

size_t strongest_timing(const double* v, size_t n, double* metric, bool vector) {
#ifdef ORV_RX_SYNC_AVX2
    if (use_avx2(vector)) {
        // The largest value, then the first timing holding it: the plain loop's choice.
        const double m = largest_avx2(v, n);
        *metric = -1.0;
        if (!(m > -1.0)) return 0;
        size_t u = 0;
        while (!(v[u] == m)) ++u;
        *metric = v[u];  // the value itself (a zero's sign as the plain loop keeps it)
        return u;
    }
#else
    (void)vector;
#endif
    size_t best_u = 0;
    double best = -1;
    for (size_t u = 0; u < n; ++u)
        if (v[u] > best) {
            best = v[u];
            best_u = u;
        }
    *metric = best;
    return best_u;
}

void ltf_metric(const cd* c, const double* e, size_t n, double silence, double* v, bool vector) {
    static thread_local std::vector<double> m, scale;
    m.resize(n + 64);
    scale.resize(n);
    magnitudes(c, n + 64, m.data(), vector);
    metric_scales(e, n, scale.data(), vector);
    metric_of(m.data(), scale.data(), e, n, silence, v, vector);
}

std::array<std::vector<cd>, 3> ltf_correlations(const std::vector<cd>& x, int64_t lo, int64_t hi, double f0, bool inverted,
                                                bool vector) {
    LtfSearch search;
    prepare_search(x, lo, hi, f0, inverted, search);
    std::array<std::vector<cd>, 3> c;
    for (int r = 0; r < 3; ++r) ltf_correlation(search, r, c[static_cast<size_t>(r)], vector);
    return c;
}

Sync synchronise(const std::vector<cd>& x, const Detection& d) {
    static thread_local ForwardFft fft(64);
    Sync s = sync_variant(x, d, false, fft);
    if (s.metric < 0.8) {
        const Sync inv = sync_variant(x, d, true, fft);
        if (inv.metric > s.metric) s = inv;
    }
    if (s.metric >= kSyncThreshold) place_windows(x, s, fft);
    return s;
}

void corrected(const std::vector<cd>& x, const Sync& s, int64_t from, cd* out64) {
    const double w = -2.0 * kPi * s.cfo_hz / kBaseRateHz;
    // A packet's windows share w: its one-sample and eight-sample steps are made once per packet.
    // (Compared by their bits: a step made for 0 is not the one for -0.)
    static thread_local uint64_t last_w = std::bit_cast<uint64_t>(std::numeric_limits<double>::quiet_NaN());
    static thread_local cd step, step8;
    if (std::bit_cast<uint64_t>(w) != last_w) {
        last_w = std::bit_cast<uint64_t>(w);
        step = std::polar(1.0, w);
        step8 = std::polar(1.0, 8.0 * w);
    }
    const cd ph = std::polar(1.0, w * static_cast<double>(from - s.t1));
    if (from < 0 || from + 64 > static_cast<int64_t>(x.size())) {
        cd in[64];
        for (int i = 0; i < 64; ++i) in[i] = sample(x, from + i, s.inverted);
        rotate64(in, false, ph, step, step8, out64);
        return;
    }
    rotate64(x.data() + from, s.inverted, ph, step, step8, out64);
}

std::array<cd, 53> subcarriers(const std::vector<cd>& x, const Sync& s, int64_t window, ForwardFft& fft) {
    std::array<cd, 53> out;  // set in full there
    subcarriers_into(x, s, window, fft, out);
    return out;
}

void subcarriers_into(const std::vector<cd>& x, const Sync& s, int64_t window, ForwardFft& fft, std::array<cd, 53>& out) {
    corrected(x, s, window, fft.input());
    const cd* bins = fft.transform();
    // The window starts kBackoff samples early: undo the phase ramp that gives.
    static const std::array<cd, 53> ramp = [] {
        std::array<cd, 53> r{};
        for (int k = -26; k <= 26; ++k) r[static_cast<size_t>(k + 26)] = std::polar(1.0, 2.0 * kPi * k * kBackoff / 64.0);
        return r;
    }();
    // Subcarriers -26..-1 from bins 38..63, 0..26 from bins 0..26.
    mul_arrays(bins + 38, ramp.data(), 26, out.data());
    mul_arrays(bins, ramp.data() + 26, 27, out.data() + 26);
}

namespace {
// Each estimate of h averaged with its neighbours. A channel whose paths' centre lies away from
// t1 (a strong path well after the first) turns from one subcarrier to the next by that
// delay: more than a sample's turn (2 pi / 64) is taken out first and put back after.
void smooth(std::array<cd, 53>& h) {
    cd turn = 0;
    for (int k = -26; k < 26; ++k)
        if (k && k != -1) turn += h[static_cast<size_t>(k + 27)] * std::conj(h[static_cast<size_t>(k + 26)]);
    const double slope = std::arg(turn);
    const bool derotate = std::abs(slope) > 2.0 * kPi / 64.0;
    std::array<cd, 53> flat = h, out{};
    if (derotate)
        for (int k = -26; k <= 26; ++k) flat[static_cast<size_t>(k + 26)] *= std::polar(1.0, -slope * k);
    for (int k = -26; k <= 26; ++k) {
        if (!k) continue;
        cd acc = 0;
        int n = 0;
        for (int j = k - 1; j <= k + 1; ++j)
            if (j >= -26 && j <= 26 && j != 0) acc += flat[static_cast<size_t>(j + 26)], ++n;
        out[static_cast<size_t>(k + 26)] = acc / static_cast<double>(n);
        if (derotate) out[static_cast<size_t>(k + 26)] *= std::polar(1.0, slope * k);
    }
    h = out;
}
}  // namespace

Channel estimate_channel(const std::vector<cd>& x, const Sync& s, ForwardFft& fft) {
    const std::array<cd, 53> y1 = subcarriers(x, s, s.t1 - kBackoff, fft);
    const std::array<cd, 53> y2 = subcarriers(x, s, s.t1 + 64 - kBackoff, fft);
    Channel ch;
    double diff = 0;
    for (int k = -26; k <= 26; ++k) {
        const size_t i = static_cast<size_t>(k + 26);
        if (!k) continue;
        ch.h[i] = (y1[i] + y2[i]) / (2.0 * long_training(k));
        diff += std::norm(y1[i] - y2[i]) / 2.0;
    }
    ch.noise_var = diff / 52.0;
    // Below about 30 dB SNR each estimate is averaged with its neighbours (a channel
    // no longer than the guard interval changes little from one subcarrier to the next).
    double gain = 0;
    for (const cd& v : ch.h) gain += std::norm(v);
    gain /= 52.0;
    if (ch.noise_var > 1e-3 * gain) smooth(ch.h);
    return ch;
}

}  // namespace orv::analysis::rx
