// Front end and packet detection of the packet receiver.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "rx.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif
#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

namespace orv::analysis::rx {

namespace {
constexpr int kLag = 16;         // short training period
constexpr int kWindow = 48;      // samples correlated
constexpr double kDetect = 0.5;  // normalised correlation that marks a short training field (about 0 dB SNR)
constexpr int kRecompute = 512;  // running sums recomputed exactly this often

// Windowed-sinc low-pass taps for decimation by os (cut-off 10 MHz), odd length, unit DC gain.
std::vector<double> lowpass(int os) {
    const int half = 8 * os;
    std::vector<double> t(static_cast<size_t>(2 * half + 1));
    double sum = 0;
    for (int i = -half; i <= half; ++i) {
        const double x = static_cast<double>(i) / os;
        const double sinc = i == 0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
        const double w = 0.5 + 0.5 * std::cos(std::numbers::pi * i / (half + 1));
        t[static_cast<size_t>(i + half)] = sinc * w;
        sum += sinc * w;
    }
    for (double& v : t) v /= sum;
    return t;
}
}  // namespace

double front_end_gain(int os, double f_hz) {
    if (os <= 1) return 1.0;
    const std::vector<double>& taps = lowpass_taps(os);
    const int half = static_cast<int>(taps.size() / 2);
    double g = 0;
    for (int i = -half; i <= half; ++i)
        g += taps[static_cast<size_t>(i + half)] * std::cos(2.0 * std::numbers::pi * f_hz * i / (kBaseRateHz * os));
    return g;
}

namespace {
#if defined(__GNUC__) && defined(__x86_64__)
// Whether the mean of x[0, n) lies clearly below -30 dB of the power (under a quarter of it),
// from sums in eight interleaved parts, two samples a vector (AVX2; the caller checks the
// processor). Their order differs from the sums in file order by at most 2 n eps relative to
// the sum of magnitudes (under 1e-6 of it up to 2^32 samples): at the quarter, the sums in
// file order are below the threshold too. Not finite, tiny (subnormal sums), huge counts or
// near the threshold: false.
__attribute__((target("avx2"))) bool clearly_no_offset(const cd* x, int64_t n) {
    if (n <= 0 || n > (int64_t{1} << 32)) return false;
    const double* d = reinterpret_cast<const double*>(x);
    __m256d s0 = _mm256_setzero_pd(), s1 = s0, p0 = s0, p1 = s0;  // lanes: re, im of even and odd samples
    int64_t k = 0;
    for (; k + 4 <= n; k += 4) {
        const __m256d a = _mm256_loadu_pd(d + 2 * k), b = _mm256_loadu_pd(d + 2 * k + 4);
        s0 = _mm256_add_pd(s0, a), s1 = _mm256_add_pd(s1, b);
        p0 = _mm256_add_pd(p0, _mm256_mul_pd(a, a)), p1 = _mm256_add_pd(p1, _mm256_mul_pd(b, b));
    }
    alignas(32) double s[4], p[4];
    _mm256_store_pd(s, _mm256_add_pd(s0, s1));
    _mm256_store_pd(p, _mm256_add_pd(p0, p1));
    for (; k < n; ++k) s[0] += x[k].real(), s[1] += x[k].imag(), p[0] += std::norm(x[k]);
    const double nn = static_cast<double>(n);
    const double mr = (s[0] + s[2]) / nn, mi = (s[1] + s[3]) / nn, power = ((p[0] + p[1]) + (p[2] + p[3])) / nn;
    if (!(power > 1e-280 && power < 1e280)) return false;
    return mr * mr + mi * mi < 0.25e-3 * power;
}

bool has_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#else
bool clearly_no_offset(const cd*, int64_t) { return false; }
bool has_avx2() { return false; }
#endif
}  // namespace

cd dc_offset(const cd* x, int64_t n) {
    // A DC offset (a mean above -30 dB of the power) is removed: a constant gap would look
    // periodic to the detector. A smaller mean is left, as removing it would turn silence
    // into a constant. (The quick pass settles the common case; the sums in file order decide the rest.)
    if (has_avx2() && clearly_no_offset(x, n)) return 0;
    cd mean = 0;
    double power = 0;
    for (int64_t k = 0; k < n; ++k) mean += x[k], power += std::norm(x[k]);
    if (n > 0) mean /= static_cast<double>(n), power /= static_cast<double>(n);
    if (!(std::norm(mean) > 1e-3 * power)) mean = 0;
    return mean;
}

const std::vector<double>& lowpass_taps(int os) {
    static thread_local std::vector<double> taps;
    static thread_local int taps_os = 0;
    if (taps_os != os) taps = lowpass(os), taps_os = os;
    return taps;
}

#if defined(__SSE2__) || defined(_M_X64)
cd fir_sum(const cd* x, const double* taps, size_t n, cd mean) {
    // Four partial sums (taps k mod 4) break the chain of additions; the same order as below.
    __m128d a0 = _mm_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
    const __m128d mu = _mm_set_pd(mean.imag(), mean.real());
    const double* xd = reinterpret_cast<const double*>(x);
    auto term = [&](size_t k) { return _mm_mul_pd(_mm_sub_pd(_mm_loadu_pd(xd + 2 * k), mu), _mm_set1_pd(taps[k])); };
    size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        a0 = _mm_add_pd(a0, term(k));
        a1 = _mm_add_pd(a1, term(k + 1));
        a2 = _mm_add_pd(a2, term(k + 2));
        a3 = _mm_add_pd(a3, term(k + 3));
    }
    if (k < n) a0 = _mm_add_pd(a0, term(k++));
    if (k < n) a1 = _mm_add_pd(a1, term(k++));
    if (k < n) a2 = _mm_add_pd(a2, term(k++));
    const __m128d sum = _mm_add_pd(_mm_add_pd(a0, a1), _mm_add_pd(a2, a3));
    alignas(16) double out[2];
    _mm_store_pd(out, sum);
    return {out[0], out[1]};
}
#else
cd fir_sum(const cd* x, const double* taps, size_t n, cd mean) {
    double re[4] = {0, 0, 0, 0}, im[4] = {0, 0, 0, 0};
    for (size_t k = 0; k < n; ++k) {
        re[k % 4] += (x[k].real() - mean.real()) * taps[k];
        im[k % 4] += (x[k].imag() - mean.imag()) * taps[k];
    }
    return {(re[0] + re[1]) + (re[2] + re[3]), (im[0] + im[1]) + (im[2] + im[3])};
}
#endif

std::vector<cd> to_base_rate(const cd* x, int64_t n, int os) {
    const cd mean = dc_offset(x, n);
    if (os <= 1) {
        std::vector<cd> y(x, x + n);
        for (cd& v : y) v -= mean;
        return y;
    }
    const std::vector<double>& taps = lowpass_taps(os);
    const int64_t half = static_cast<int64_t>(taps.size() / 2);
    std::vector<cd> y(static_cast<size_t>((n + os - 1) / os));
    for (size_t j = 0; j < y.size(); ++j) {
        const int64_t c = static_cast<int64_t>(j) * os;
        const int64_t lo = std::max<int64_t>(-half, -c), hi = std::min<int64_t>(half, n - 1 - c);
        y[j] = fir_sum(x + c + lo, taps.data() + (lo + half), static_cast<size_t>(hi - lo + 1), mean);
    }
    return y;
}

namespace {
struct Sums {
    cd p = 0;           // sum x[n] conj(x[n + lag])
    double e0 = 0, e1 = 0;  // energies of the two windows
};
Sums sums_at(const std::vector<cd>& x, int64_t n) {
    Sums s;
    for (int64_t k = n; k < n + kWindow; ++k) {
        s.p += x[static_cast<size_t>(k)] * std::conj(x[static_cast<size_t>(k + kLag)]);
        s.e0 += std::norm(x[static_cast<size_t>(k)]);
        s.e1 += std::norm(x[static_cast<size_t>(k + kLag)]);
    }
    return s;
}
double metric(const Sums& s) {
    const double d = std::sqrt(s.e0 * s.e1);
    return d > 1e-300 ? std::abs(s.p) / d : 0.0;
}
}  // namespace

std::optional<Detection> detect_next(const std::vector<cd>& x, int64_t from) {
    const int64_t last = static_cast<int64_t>(x.size()) - kWindow - kLag - 2 * kLag;
    if (from < 0) from = 0;
    Sums s;
    for (int64_t n = from; n <= last; ++n) {
        if ((n - from) % kRecompute == 0) s = sums_at(x, n);
        if (metric(s) > kDetect && metric(sums_at(x, n)) > kDetect && metric(sums_at(x, n + kLag)) > kDetect && metric(sums_at(x, n + 2 * kLag)) > kDetect)
            return Detection{n, metric(s)};
        // Slide the window by one sample.
        const cd a = x[static_cast<size_t>(n)], b = x[static_cast<size_t>(n + kLag)];
        const cd c = x[static_cast<size_t>(n + kWindow)], d = x[static_cast<size_t>(n + kWindow + kLag)];
        s.p += c * std::conj(d) - a * std::conj(b);
        s.e0 += std::norm(c) - std::norm(a);
        s.e1 += std::norm(d) - std::norm(b);
        s.e0 = std::max(s.e0, 0.0);
        s.e1 = std::max(s.e1, 0.0);
    }
    return std::nullopt;
}

int64_t periodic_end(const std::vector<cd>& x, int64_t from) {
    const int64_t last = static_cast<int64_t>(x.size()) - kWindow - kLag;
    for (int64_t n = std::max<int64_t>(from, 0); n <= last; n += kLag)
        if (metric(sums_at(x, n)) <= kDetect) return n;
    return static_cast<int64_t>(x.size());
}

}  // namespace orv::analysis::rx
