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

#if ORV_X86_VECTORS
// to_single's and from_single's conversions four at a time (the same roundings).
__attribute__((target("avx"))) void to_single_avx(int32_t n, const double* x, float* work) {
    int32_t k = 0;
    for (; k + 4 <= n; k += 4) _mm_storeu_ps(work + k, _mm256_cvtpd_ps(_mm256_loadu_pd(x + k)));
    for (; k < n; ++k) work[k] = static_cast<float>(x[k]);
}

__attribute__((target("avx"))) void from_single_avx(int32_t n, const float* work, double* y) {
    int32_t k = 0;
    for (; k + 4 <= n; k += 4) _mm256_storeu_pd(y + k, _mm256_cvtps_pd(_mm_loadu_ps(work + k)));
    for (; k < n; ++k) y[k] = work[k];
}
#endif

// work <- x converted to float (n samples).
void to_single(const Multipath* m, int32_t n, const double* x, float* work) {
#if ORV_X86_VECTORS
    if (m->sfft.no_avx == 0 && cpu_has_avx()) {
        to_single_avx(n, x, work);
        return;
    }
#endif
    for (int32_t k = 0; k < n; ++k) work[k] = static_cast<float>(x[k]);
}

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

// A step in single precision (the inputs kept in double) whose window is all of realisation s.
void step_one_single(Multipath* m, const double* xi, const double* xq, int32_t s, double* yi, double* yq) {
    const int32_t keep = m->taps - 1, hop = m->hop;
    const size_t kept = static_cast<size_t>(keep) * sizeof(double);
    float* wr = m->single_work_re;
    float* wi = m->single_work_im;
    const double* hr;
    const double* hi;
    const float* sr;
    const float* si;
    transform_of(m, s, &hr, &hi, &sr, &si);
    to_single(m, keep, m->in_re, wr);
    to_single(m, keep, m->in_im, wi);
    to_single(m, hop, xi, wr + keep);
    to_single(m, hop, xq, wi + keep);
    std::memcpy(m->in_re, xi + hop - keep, kept);
    std::memcpy(m->in_im, xq + hop - keep, kept);
    impair_fft_single_convolve(&m->sfft, sr, si, wr, wi);
    from_single(m, hop, wr + keep, yi);
    from_single(m, hop, wi + keep, yq);
}

// A step in single precision whose window holds several realisations (the
// hop's already at in_span + taps - 1): one convolution per run of one.
void step_mixed_single(Multipath* m, const double* xi, const double* xq, double* yi, double* yq) {
    const int32_t keep = m->taps - 1, hop = m->hop, n = m->nfft;
    const size_t kept = static_cast<size_t>(keep) * sizeof(double);
    float* wr = m->single_work_re;
    float* wi = m->single_work_im;
    const double* hr;
    const double* hi;
    const float* sr;
    const float* si;
    const size_t hopped = static_cast<size_t>(hop) * sizeof(double);
    std::memcpy(m->in_re + keep, xi, hopped);
    std::memcpy(m->in_im + keep, xq, hopped);
    std::memset(yi, 0, hopped);
    std::memset(yq, 0, hopped);
    for (int32_t from = 0; from < n;) {
        const int32_t s = m->in_span[from];
        int32_t to = from;
        while (to < n && m->in_span[to] == s) ++to;
        std::memset(wr, 0, static_cast<size_t>(n) * sizeof(float));
        std::memset(wi, 0, static_cast<size_t>(n) * sizeof(float));
        to_single(m, to - from, m->in_re + from, wr + from);
        to_single(m, to - from, m->in_im + from, wi + from);
        transform_of(m, s, &hr, &hi, &sr, &si);
        impair_fft_single_convolve(&m->sfft, sr, si, wr, wi);
        for (int32_t k = 0; k < hop; ++k) {
            yi[k] += wr[keep + k];
            yq[k] += wi[keep + k];
        }
        from = to;
    }
    std::memmove(m->in_re, m->in_re + hop, kept);
    std::memmove(m->in_im, m->in_im + hop, kept);
    std::memmove(m->in_span, m->in_span + hop, static_cast<size_t>(keep) * sizeof(int32_t));
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
    if (m->single)
        step_one_single(m, xi, xq, s, yi, yq);
    else
        step_one_double(m, xi, xq, s, yi, yq);
    kept_spans_one(m, s);
}

// A step with the hop's realisations at in_span + taps - 1 (several in the window).
void step_mixed(Multipath* m, const double* xi, const double* xq, double* yi, double* yq) {
    if (m->kept_one != 0)
        for (int32_t k = 0; k < m->taps - 1; ++k) m->in_span[k] = m->kept_span;
    if (m->single)
        step_mixed_single(m, xi, xq, yi, yq);
    else
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
    // cache (2 n each), fixed (2 n), work (2 n).
    float* block = static_cast<float*>(std::malloc((2 * kMultipathCache + 4) * n * sizeof(float)));
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
    m->single = 1;
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
