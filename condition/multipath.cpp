// The multipath channel: the exponential-decay Rayleigh model of the 802.11
// evaluation channels (Medbo/Chayat, one tap per sample), or an explicit
// tapped delay line, applied by overlap-save convolution.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "cpu_features.h"
#include "impair_chain.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// The transform of a response (zero beyond its taps) in the order the
// convolution takes it: bit-reversed, and scaled by 1/nfft (a power of two,
// so exactly) for the unscaled inverse.
void response_transform(const Multipath* m, double* re, double* im) {
    impair_fft_forward_scrambled(&m->fft, re, im);
    const double scale = 1.0 / m->nfft;
    for (int32_t k = 0; k < m->nfft; ++k) {
        re[k] *= scale;
        im[k] *= scale;
    }
}

// work <- IDFT(DFT(work) h): the circular convolution by the transform (h_re, h_im).
void convolve(const Multipath* m, const double* h_re, const double* h_im) {
    impair_fft_convolve_scrambled(&m->fft, h_re, h_im, m->work_re, m->work_im);
}

// The bits in which any of n spans differs from s (0: all are s), four
// independent sums and no branch per span.
int32_t span_difference(int32_t n, const int32_t* span, int32_t s) {
    int32_t d0 = 0, d1 = 0, d2 = 0, d3 = 0, k = 0;
    for (; k + 4 <= n; k += 4) {
        d0 |= span[k] ^ s;
        d1 |= span[k + 1] ^ s;
        d2 |= span[k + 2] ^ s;
        d3 |= span[k + 3] ^ s;
    }
    for (; k < n; ++k) d0 |= span[k] ^ s;
    return d0 | d1 | d2 | d3;
}

// True when the kept inputs are all of realisation s (the hop's are checked by the caller).
bool kept_all(const Multipath* m, int32_t s) {
    return m->taps == 1 || (m->kept_one != 0 && m->kept_span == s);
}

// The kept inputs' realisations after a step, from in_span's first taps - 1.
void kept_spans_moved(Multipath* m) {
    const int32_t keep = m->taps - 1;
    m->kept_span = keep > 0 ? m->in_span[0] : 0;
    m->kept_one = span_difference(keep, m->in_span, m->kept_span) == 0;
}

// The kept inputs all of realisation s after a step (in_span written only when a step needs it).
void kept_spans_one(Multipath* m, int32_t s) {
    m->kept_one = 1;
    m->kept_span = s;
}

// The transform of realisation key (cached; the fixed response when there
// is no profile), and its single-precision one when the channel has them.
void transform_of(Multipath* m, int64_t key, const double** re, const double** im, const float** sre = nullptr,
                  const float** sim = nullptr) {
    if (m->profile == nullptr) {
        *re = m->fixed_re;
        *im = m->fixed_im;
        if (sre != nullptr) *sre = m->single_fixed_re, *sim = m->single_fixed_im;
        return;
    }
    for (int32_t c = 0; c < kMultipathCache; ++c) {
        if (m->cache_key[c] == key) {
            *re = m->cache_re[c];
            *im = m->cache_im[c];
            if (sre != nullptr) *sre = m->single_re[c], *sim = m->single_im[c];
            return;
        }
    }
    const int32_t c = m->cache_next;
    m->cache_next = (c + 1) % kMultipathCache;
    double* hr = m->cache_re[c];
    double* hi = m->cache_im[c];
    const size_t n = static_cast<size_t>(m->nfft);
    std::memset(hr, 0, n * sizeof(double));
    std::memset(hi, 0, n * sizeof(double));
    multipath_realisation(m, key, hr, hi);
    response_transform(m, hr, hi);
    if (m->single) impair_fft_single_response(&m->sfft, hr, hi, m->single_re[c], m->single_im[c]);
    m->cache_key[c] = key;
    *re = hr;
    *im = hi;
    if (sre != nullptr) *sre = m->single_re[c], *sim = m->single_im[c];
}

// True when the channel's single-precision loops may use AVX.
bool single_avx(const Multipath* m) { return m->sfft.no_avx == 0 && cpu_has_avx(); }

#if ORV_X86_VECTORS
// from_single's conversions four at a time (the same values).
__attribute__((target("avx"))) void from_single_avx(int32_t n, const float* work, double* y) {
    int32_t k = 0;
    for (; k + 4 <= n; k += 4) _mm256_storeu_pd(y + k, _mm256_cvtps_pd(_mm_loadu_ps(work + k)));
    for (; k < n; ++k) y[k] = work[k];
}

// multipath_to_single eight, then four of each at a time (the same roundings and bits).
__attribute__((target("avx"))) uint64_t to_single_avx(int32_t n, const double* x, const double* y, float* fx,
                                                      float* fy) {
    __m256d any = _mm256_setzero_pd();
    int32_t k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m256d a = _mm256_loadu_pd(x + k), b = _mm256_loadu_pd(y + k);
        const __m256d c = _mm256_loadu_pd(x + k + 4), d = _mm256_loadu_pd(y + k + 4);
        any = _mm256_or_pd(any, _mm256_or_pd(_mm256_or_pd(a, b), _mm256_or_pd(c, d)));
        _mm_storeu_ps(fx + k, _mm256_cvtpd_ps(a));
        _mm_storeu_ps(fy + k, _mm256_cvtpd_ps(b));
        _mm_storeu_ps(fx + k + 4, _mm256_cvtpd_ps(c));
        _mm_storeu_ps(fy + k + 4, _mm256_cvtpd_ps(d));
    }
    for (; k + 4 <= n; k += 4) {
        const __m256d a = _mm256_loadu_pd(x + k), b = _mm256_loadu_pd(y + k);
        any = _mm256_or_pd(any, _mm256_or_pd(a, b));
        _mm_storeu_ps(fx + k, _mm256_cvtpd_ps(a));
        _mm_storeu_ps(fy + k, _mm256_cvtpd_ps(b));
    }
    uint64_t lanes[4];
    std::memcpy(lanes, &any, sizeof lanes);
    uint64_t bits = (lanes[0] | lanes[1] | lanes[2] | lanes[3]) << 1;
    for (; k < n; ++k) {
        uint64_t a, b;
        std::memcpy(&a, x + k, sizeof a);
        std::memcpy(&b, y + k, sizeof b);
        bits |= (a | b) << 1;
        fx[k] = static_cast<float>(x[k]);
        fy[k] = static_cast<float>(y[k]);
    }
    return bits;
}
#endif

// y <- work converted to double (n samples).
void from_single(const Multipath* m, int32_t n, const float* work, double* y) {
#if ORV_X86_VECTORS
    if (m->sfft.no_avx == 0 && cpu_has_avx()) {
        from_single_avx(n, work, y);
        return;
    }
#endif
    for (int32_t k = 0; k < n; ++k) y[k] = work[k];
}

// True when the first n of re and im are all zero (either sign), eight at a
// time: stops after the first eight holding one that is not.
bool all_zero(int32_t n, const double* re, const double* im) {
    int32_t k = 0;
    for (; k + 8 <= n; k += 8) {
        uint64_t bits = 0;
        for (int32_t j = 0; j < 8; ++j) {
            uint64_t a, b;
            std::memcpy(&a, re + k + j, sizeof a);
            std::memcpy(&b, im + k + j, sizeof b);
            bits |= (a | b) << 1;  // the sign bit dropped: -0 counts as zero
        }
        if (bits != 0) return false;
    }
    for (; k < n; ++k)
        if (re[k] != 0.0 || im[k] != 0.0) return false;
    return true;
}

// True for an idle window: the kept inputs and the hop's all zero, so every
// convolution's output is zero.
bool idle_window(const Multipath* m, const double* xi, const double* xq) {
    return all_zero(m->taps - 1, m->in_re, m->in_im) && all_zero(m->hop, xi, xq);
}

// An idle window's step: zero outputs, the kept inputs moved on (their realisations are the caller's).
void idle_step(Multipath* m, const double* xi, const double* xq, double* yi, double* yq) {
    const int32_t keep = m->taps - 1, hop = m->hop;
    const size_t kept = static_cast<size_t>(keep) * sizeof(double);
    std::memcpy(m->in_re, xi + hop - keep, kept);
    std::memcpy(m->in_im, xq + hop - keep, kept);
    std::memset(yi, 0, static_cast<size_t>(hop) * sizeof(double));
    std::memset(yq, 0, static_cast<size_t>(hop) * sizeof(double));
}

// The filled window's step in single precision, all of realisation s: the
// outputs at single_work + taps - 1.
void step_one_single(Multipath* m, int32_t s) {
    const int32_t keep = m->taps - 1, hop = m->hop;
    const size_t kept = static_cast<size_t>(keep) * sizeof(float);
    float* wr = m->single_work_re;
    float* wi = m->single_work_im;
    const double* hr;
    const double* hi;
    const float* sr;
    const float* si;
    transform_of(m, s, &hr, &hi, &sr, &si);
    std::memcpy(wr, m->single_kept_re, kept);
    std::memcpy(wi, m->single_kept_im, kept);
    // The next window's kept inputs: the hop's last (hop >= keep).
    std::memcpy(m->single_kept_re, wr + hop, kept);
    std::memcpy(m->single_kept_im, wi + hop, kept);
    impair_fft_single_convolve(&m->sfft, sr, si, wr, wi);
}

// The filled window's step in single precision with several realisations
// (the hop's already at in_span + taps - 1): one convolution per run of one,
// the outputs summed in yi, yq.
void step_mixed_single(Multipath* m, double* yi, double* yq) {
    const int32_t keep = m->taps - 1, hop = m->hop, n = m->nfft;
    const size_t kept = static_cast<size_t>(keep) * sizeof(float);
    float* wr = m->single_work_re;
    float* wi = m->single_work_im;
    float* xr = m->single_window_re;
    float* xi = m->single_window_im;
    const double* hr;
    const double* hi;
    const float* sr;
    const float* si;
    std::memcpy(xr, m->single_kept_re, kept);
    std::memcpy(xi, m->single_kept_im, kept);
    std::memcpy(xr + keep, wr + keep, static_cast<size_t>(hop) * sizeof(float));
    std::memcpy(xi + keep, wi + keep, static_cast<size_t>(hop) * sizeof(float));
    std::memcpy(m->single_kept_re, xr + hop, kept);
    std::memcpy(m->single_kept_im, xi + hop, kept);
    std::memset(yi, 0, static_cast<size_t>(hop) * sizeof(double));
    std::memset(yq, 0, static_cast<size_t>(hop) * sizeof(double));
    for (int32_t from = 0; from < n;) {
        const int32_t s = m->in_span[from];
        int32_t to = from;
        while (to < n && m->in_span[to] == s) ++to;
        std::memset(wr, 0, static_cast<size_t>(n) * sizeof(float));
        std::memset(wi, 0, static_cast<size_t>(n) * sizeof(float));
        std::memcpy(wr + from, xr + from, static_cast<size_t>(to - from) * sizeof(float));
        std::memcpy(wi + from, xi + from, static_cast<size_t>(to - from) * sizeof(float));
        transform_of(m, s, &hr, &hi, &sr, &si);
        impair_fft_single_convolve(&m->sfft, sr, si, wr, wi);
        for (int32_t k = 0; k < hop; ++k) {
            yi[k] += wr[keep + k];
            yq[k] += wi[keep + k];
        }
        from = to;
    }
    std::memmove(m->in_span, m->in_span + hop, static_cast<size_t>(keep) * sizeof(int32_t));
}

// multipath_step and multipath_step_one of a single-precision channel (span
// null: all of realisation s): the hop filled from x, the outputs to y.
void step_single_doubles(Multipath* m, const double* xi, const double* xq, const int32_t* span, int32_t s,
                         double* yi, double* yq) {
    multipath_single_fill(m, 0, m->hop, xi, xq);
    const float* fr;
    const float* fi;
    if (multipath_single_step(m, span, s, yi, yq, &fr, &fi) != 0) {
        from_single(m, m->hop, fr, yi);
        from_single(m, m->hop, fi, yq);
    }
}

// A step in double whose window is all of realisation s: the window straight
// into the work arrays, no zeroing, no sum.
void step_one_double(Multipath* m, const double* xi, const double* xq, int32_t s, double* yi, double* yq) {
    const int32_t keep = m->taps - 1, hop = m->hop;
    const size_t kept = static_cast<size_t>(keep) * sizeof(double);
    const size_t hopped = static_cast<size_t>(hop) * sizeof(double);
    const double* hr;
    const double* hi;
    transform_of(m, s, &hr, &hi);
    std::memcpy(m->work_re, m->in_re, kept);
    std::memcpy(m->work_im, m->in_im, kept);
    std::memcpy(m->work_re + keep, xi, hopped);
    std::memcpy(m->work_im + keep, xq, hopped);
    // The next window's kept inputs: the last of these (hop >= keep).
    std::memcpy(m->in_re, xi + hop - keep, kept);
    std::memcpy(m->in_im, xq + hop - keep, kept);
    convolve(m, hr, hi);
    std::memcpy(yi, m->work_re + keep, hopped);
    std::memcpy(yq, m->work_im + keep, hopped);
}

// A step in double whose window holds several realisations (the hop's already
// at in_span + taps - 1): each input sample through its own realisation, one
// convolution per run of one over its samples only.
void step_mixed_double(Multipath* m, const double* xi, const double* xq, double* yi, double* yq) {
    const int32_t keep = m->taps - 1, hop = m->hop, n = m->nfft;
    const size_t kept = static_cast<size_t>(keep) * sizeof(double);
    const size_t hopped = static_cast<size_t>(hop) * sizeof(double);
    const double* hr;
    const double* hi;
    std::memcpy(m->in_re + keep, xi, hopped);
    std::memcpy(m->in_im + keep, xq, hopped);
    std::memset(yi, 0, hopped);
    std::memset(yq, 0, hopped);
    for (int32_t from = 0; from < n;) {
        const int32_t s = m->in_span[from];
        int32_t to = from;
        while (to < n && m->in_span[to] == s) ++to;
        std::memset(m->work_re, 0, static_cast<size_t>(n) * sizeof(double));
        std::memset(m->work_im, 0, static_cast<size_t>(n) * sizeof(double));
        std::memcpy(m->work_re + from, m->in_re + from, static_cast<size_t>(to - from) * sizeof(double));
        std::memcpy(m->work_im + from, m->in_im + from, static_cast<size_t>(to - from) * sizeof(double));
        transform_of(m, s, &hr, &hi);
        convolve(m, hr, hi);
        for (int32_t k = 0; k < hop; ++k) {
            yi[k] += m->work_re[keep + k];
            yq[k] += m->work_im[keep + k];
        }
        from = to;
    }
    std::memmove(m->in_re, m->in_re + hop, kept);
    std::memmove(m->in_im, m->in_im + hop, kept);
    std::memmove(m->in_span, m->in_span + hop, static_cast<size_t>(keep) * sizeof(int32_t));
}

// A step whose window is all of realisation s; the kept inputs' realisations become s.
void step_one(Multipath* m, const double* xi, const double* xq, int32_t s, double* yi, double* yq) {
    step_one_double(m, xi, xq, s, yi, yq);
    kept_spans_one(m, s);
}

// The kept inputs' realisations into in_span when they are all one.
void kept_spans_listed(Multipath* m) {
    if (m->kept_one != 0)
        for (int32_t k = 0; k < m->taps - 1; ++k) m->in_span[k] = m->kept_span;
}

// A step with the hop's realisations at in_span + taps - 1 (several in the window).
void step_mixed(Multipath* m, const double* xi, const double* xq, double* yi, double* yq) {
    kept_spans_listed(m);
    step_mixed_double(m, xi, xq, yi, yq);
    kept_spans_moved(m);
}

}  // namespace

int32_t exponential_profile(double rms_ns, double ts_ns, double* power) {
    if (!(rms_ns > 0.0) || !(ts_ns > 0.0)) return 0;
    const double k_last = std::ceil(10.0 * rms_ns / ts_ns);
    if (!(k_last + 1.0 <= kMultipathMaxTaps)) return 0;
    const int32_t count = static_cast<int32_t>(k_last) + 1;
    const double first = 1.0 - std::exp(-ts_ns / rms_ns);
    double sum = 0.0;
    for (int32_t k = 0; k < count; ++k) {
        power[k] = first * std::exp(-k * ts_ns / rms_ns);
        sum += power[k];
    }
    for (int32_t k = 0; k < count; ++k) power[k] /= sum;
    return count;
}

int32_t explicit_taps_response(const double* delay_ns, const double* gain_db,
                               const double* phase_deg, int32_t count, double ts_ns,
                               double* h_re, double* h_im, int32_t capacity) {
    int32_t length = 0;
    for (int32_t k = 0; k < count; ++k) {
        const double at = std::floor(delay_ns[k] / ts_ns + 0.5);
        if (!(at >= 0.0) || !(at < capacity)) return 0;
        if (static_cast<int32_t>(at) + 1 > length) length = static_cast<int32_t>(at) + 1;
    }
    std::memset(h_re, 0, static_cast<size_t>(length) * sizeof(double));
    std::memset(h_im, 0, static_cast<size_t>(length) * sizeof(double));
    for (int32_t k = 0; k < count; ++k) {
        const int32_t at = static_cast<int32_t>(std::floor(delay_ns[k] / ts_ns + 0.5));
        const double a = std::pow(10.0, gain_db[k] / 20.0);
        const double ph = (phase_deg != nullptr ? phase_deg[k] : 0.0) * kPi / 180.0;
        h_re[at] += a * std::cos(ph);
        h_im[at] += a * std::sin(ph);
    }
    return length;
}

int32_t multipath_open(Multipath* m, const double* profile, const double* h_re,
                       const double* h_im, int32_t count, uint64_t seed) {
    std::memset(m, 0, sizeof *m);
    int32_t nfft = 256;
    while (nfft < 4 * count) nfft <<= 1;
    m->taps = count;
    m->nfft = nfft;
    m->hop = nfft - count + 1;
    m->seed = seed;
    if (impair_fft_open(&m->fft, nfft) != 0) return -1;
    const size_t n = static_cast<size_t>(nfft);
    // profile (count), fixed (2 n), cache (2 n each), in (2 n), work (2 n), spans.
    const size_t doubles = static_cast<size_t>(count) + (2 + 2 * kMultipathCache + 4) * n;
    double* block = static_cast<double*>(std::malloc(doubles * sizeof(double)));
    int32_t* spans = static_cast<int32_t*>(std::malloc(n * sizeof(int32_t)));
    if (block == nullptr || spans == nullptr) {
        std::free(block);
        std::free(spans);
        impair_fft_close(&m->fft);
        return -1;
    }
    double* at = block + count;
    m->fixed_re = at;
    m->fixed_im = at + n;
    at += 2 * n;
    for (int32_t c = 0; c < kMultipathCache; ++c, at += 2 * n) {
        m->cache_re[c] = at;
        m->cache_im[c] = at + n;
        m->cache_key[c] = -1;
    }
    m->in_re = at;
    m->in_im = at + n;
    m->work_re = at + 2 * n;
    m->work_im = at + 3 * n;
    m->in_span = spans;
    if (profile != nullptr) {
        m->profile = block;
        std::memcpy(m->profile, profile, static_cast<size_t>(count) * sizeof(double));
    } else {
        m->profile = nullptr;
        std::memset(m->fixed_re, 0, 2 * n * sizeof(double));
        std::memcpy(m->fixed_re, h_re, static_cast<size_t>(count) * sizeof(double));
        std::memcpy(m->fixed_im, h_im, static_cast<size_t>(count) * sizeof(double));
        response_transform(m, m->fixed_re, m->fixed_im);
    }
    multipath_rewind(m);
    return 0;
}

int32_t multipath_open_single(Multipath* m, const double* profile, const double* h_re,
                              const double* h_im, int32_t count, uint64_t seed) {
    if (multipath_open(m, profile, h_re, h_im, count, seed) != 0) return -1;
    const size_t n = static_cast<size_t>(m->nfft);
    // cache (2 n each), fixed (2 n), work (2 n), window (2 n), zeros (n), kept (2 (taps - 1) < 2 n).
    float* block = static_cast<float*>(std::malloc((2 * kMultipathCache + 11) * n * sizeof(float)));
    if (block == nullptr || impair_fft_single_open(&m->sfft, m->nfft) != 0) {
        std::free(block);
        multipath_close(m);
        return -1;
    }
    float* at = block;
    for (int32_t c = 0; c < kMultipathCache; ++c, at += 2 * n) {
        m->single_re[c] = at;
        m->single_im[c] = at + n;
    }
    m->single_fixed_re = at;
    m->single_fixed_im = at + n;
    m->single_work_re = at + 2 * n;
    m->single_work_im = at + 3 * n;
    m->single_window_re = at + 4 * n;
    m->single_window_im = at + 5 * n;
    m->single_zero = at + 6 * n;
    m->single_kept_re = at + 7 * n;
    m->single_kept_im = at + 9 * n;
    std::memset(m->single_zero, 0, n * sizeof(float));
    m->single = 1;
    multipath_rewind(m);
    if (profile == nullptr)
        impair_fft_single_response(&m->sfft, m->fixed_re, m->fixed_im, m->single_fixed_re, m->single_fixed_im);
    return 0;
}

void multipath_close(Multipath* m) {
    // The single-precision block starts at the first cache slot.
    std::free(m->single ? m->single_re[0] : nullptr);
    impair_fft_single_close(&m->sfft);
    m->single = 0;
    // The block starts taps doubles before fixed_re (the profile's room).
    std::free(m->fixed_re != nullptr ? m->fixed_re - m->taps : nullptr);
    std::free(m->in_span);
    impair_fft_close(&m->fft);
    m->fixed_re = nullptr;
    m->in_span = nullptr;
}

void multipath_rewind(Multipath* m) {
    const size_t keep = static_cast<size_t>(m->taps - 1);
    std::memset(m->in_re, 0, keep * sizeof(double));
    std::memset(m->in_im, 0, keep * sizeof(double));
    for (size_t k = 0; k < keep; ++k) m->in_span[k] = 0;
    kept_spans_one(m, 0);
    if (m->single) {
        std::memset(m->single_kept_re, 0, keep * sizeof(float));
        std::memset(m->single_kept_im, 0, keep * sizeof(float));
    }
    m->kept_bits = m->fill_bits = m->fill_tail_bits = 0;
}

void multipath_realisation(const Multipath* m, int64_t key, double* re, double* im) {
    ImpairRng g;
    impair_rng_seed(&g, m->seed, kStreamMultipath, static_cast<uint64_t>(key));
    for (int32_t k = 0; k < m->taps; ++k) {
        const double a = std::sqrt(0.5 * m->profile[k]);
        re[k] = a * impair_normal(&g);
        im[k] = a * impair_normal(&g);
    }
}

void multipath_step(Multipath* m, const double* xi, const double* xq, const int32_t* span,
                    double* yi, double* yq) {
    if (m->single) {
        step_single_doubles(m, xi, xq, span, 0, yi, yq);
        return;
    }
    const int32_t keep = m->taps - 1, hop = m->hop;
    if (idle_window(m, xi, xq)) {
        idle_step(m, xi, xq, yi, yq);
        // The next window's kept realisations: the hop's last (hop >= keep).
        std::memcpy(m->in_span, span + hop - keep, static_cast<size_t>(keep) * sizeof(int32_t));
        kept_spans_moved(m);
        return;
    }
    if (kept_all(m, span[0]) && span_difference(hop, span, span[0]) == 0) {
        step_one(m, xi, xq, span[0], yi, yq);
        return;
    }
    std::memcpy(m->in_span + keep, span, static_cast<size_t>(hop) * sizeof(int32_t));
    step_mixed(m, xi, xq, yi, yq);
}

void multipath_step_one(Multipath* m, const double* xi, const double* xq, int32_t s, double* yi,
                        double* yq) {
    if (m->single) {
        step_single_doubles(m, xi, xq, nullptr, s, yi, yq);
        return;
    }
    const int32_t keep = m->taps - 1, hop = m->hop;
    if (idle_window(m, xi, xq)) {
        idle_step(m, xi, xq, yi, yq);
        kept_spans_one(m, s);
        return;
    }
    if (kept_all(m, s)) {
        step_one(m, xi, xq, s, yi, yq);
        return;
    }
    for (int32_t k = 0; k < hop; ++k) m->in_span[keep + k] = s;
    step_mixed(m, xi, xq, yi, yq);
}

uint64_t multipath_to_single(int32_t n, const double* x, const double* y, float* fx, float* fy, int32_t avx) {
#if ORV_X86_VECTORS
    if (avx != 0) return to_single_avx(n, x, y, fx, fy);
#endif
    uint64_t bits = 0;
    for (int32_t k = 0; k < n; ++k) {
        uint64_t a, b;
        std::memcpy(&a, x + k, sizeof a);
        std::memcpy(&b, y + k, sizeof b);
        bits |= (a | b) << 1;  // the sign bit dropped: -0 counts as zero
        fx[k] = static_cast<float>(x[k]);
        fy[k] = static_cast<float>(y[k]);
    }
    return bits;
}

void multipath_single_fill(Multipath* m, int32_t at, int32_t n, const double* xi, const double* xq) {
    const int32_t keep = m->taps - 1, tail = m->hop - keep;
    const int32_t avx = single_avx(m) ? 1 : 0;
    float* wr = m->single_work_re + keep + at;
    float* wi = m->single_work_im + keep + at;
    int32_t head = at < tail ? tail - at : 0;
    if (head > n) head = n;
    if (head > 0) m->fill_bits |= multipath_to_single(head, xi, xq, wr, wi, avx);
    if (n > head)
        m->fill_tail_bits |= multipath_to_single(n - head, xi + head, xq + head, wr + head, wi + head, avx);
}

int32_t multipath_single_step(Multipath* m, const int32_t* span, int32_t s, double* yi, double* yq,
                              const float** fre, const float** fim) {
    const int32_t keep = m->taps - 1, hop = m->hop;
    const int32_t first = span != nullptr ? span[0] : s;
    int32_t floats = 1;
    if ((m->kept_bits | m->fill_bits | m->fill_tail_bits) == 0) {
        // An idle window: zero outputs, the kept inputs moved on.
        std::memcpy(m->single_kept_re, m->single_work_re + hop, static_cast<size_t>(keep) * sizeof(float));
        std::memcpy(m->single_kept_im, m->single_work_im + hop, static_cast<size_t>(keep) * sizeof(float));
        *fre = *fim = m->single_zero;
        if (span != nullptr) {
            std::memcpy(m->in_span, span + hop - keep, static_cast<size_t>(keep) * sizeof(int32_t));
            kept_spans_moved(m);
        } else {
            kept_spans_one(m, s);
        }
    } else if (kept_all(m, first) && (span == nullptr || span_difference(hop, span, first) == 0)) {
        step_one_single(m, first);
        *fre = m->single_work_re + keep;
        *fim = m->single_work_im + keep;
        kept_spans_one(m, first);
    } else {
        if (span != nullptr)
            std::memcpy(m->in_span + keep, span, static_cast<size_t>(hop) * sizeof(int32_t));
        else
            for (int32_t k = 0; k < hop; ++k) m->in_span[keep + k] = s;
        kept_spans_listed(m);
        step_mixed_single(m, yi, yq);
        kept_spans_moved(m);
        floats = 0;
    }
    m->kept_bits = m->fill_tail_bits;
    m->fill_bits = m->fill_tail_bits = 0;
    return floats;
}
