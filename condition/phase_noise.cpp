// Phase noise of a single-sideband profile L(f): the profile's arithmetic, the
// Gaussian phase process that has it, and the carrier rotation that applies it.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "cpu_features.h"
#include "impair_chain.h"
#include "platform_memory.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 6.28318530717958647692;
constexpr double kOutside = -400.0;  // dBc/Hz outside the profile: nothing

bool is_finite(double v) { return std::isfinite(v); }

// The smallest power of two >= v, within lo..hi.
int32_t pow2_at_least(double v, int32_t lo, int32_t hi) {
    int32_t n = lo;
    while (n < hi && n < v) n <<= 1;
    return n;
}

void process_step(PhaseNoise* pn);
void process_step_single(PhaseNoise* pn);

// The process's next sample (a new step of the filter when the last is used up).
ORV_ALWAYS_INLINE double process_next(PhaseNoise* pn) {
    if (pn->out_at >= 2 * pn->m) process_step(pn);
    return pn->out[pn->out_at++];
}

// Two steps of the overlap-save filter in one complex transform (the filter
// is real): the real part filters [w, a], the imaginary part [a, b], where a
// and b are the next 2m white samples; out gets the 2m filtered samples. The
// transforms skip the bit-reversal passes (the filter is held in their order).
void process_step(PhaseNoise* pn) {
    if (pn->single != 0) {
        process_step_single(pn);
        return;
    }
    const int32_t m = pn->m;
    const size_t mm = static_cast<size_t>(m);
    double* re = pn->work_re;
    double* im = pn->work_im;
    std::memcpy(re, pn->w, mm * sizeof(double));
    impair_normals(&pn->rng, m, re + m);
    std::memcpy(im, re + m, mm * sizeof(double));
    impair_normals(&pn->rng, m, pn->w);
    std::memcpy(im + m, pn->w, mm * sizeof(double));
    impair_fft_convolve_scrambled(&pn->fft, pn->h_re, pn->h_im, re, im);
    std::memcpy(pn->out, re + m, mm * sizeof(double));
    std::memcpy(pn->out + m, im + m, mm * sizeof(double));
    pn->out_at = 0;
}

// process_step with the transforms in single precision: the white samples
// rounded to float, the filtered ones within about 1e-6 of their RMS of the
// double step's (for a phase of a few degrees, some 1e-8 rad).
void process_step_single(PhaseNoise* pn) {
    const int32_t m = pn->m;
    float* re = pn->swork_re;
    float* im = pn->swork_im;
    for (int32_t k = 0; k < m; ++k) re[k] = static_cast<float>(pn->w[k]);
    // The new white samples (out is free until the step's end).
    impair_normals(&pn->rng, m, pn->out);
    for (int32_t k = 0; k < m; ++k) re[m + k] = im[k] = static_cast<float>(pn->out[k]);
    impair_normals(&pn->rng, m, pn->w);
    for (int32_t k = 0; k < m; ++k) im[m + k] = static_cast<float>(pn->w[k]);
    impair_fft_single_convolve(&pn->sfft, pn->sh_re, pn->sh_im, re, im);
    for (int32_t k = 0; k < m; ++k) pn->out[k] = re[m + k];
    for (int32_t k = 0; k < m; ++k) pn->out[m + k] = im[m + k];
    pn->out_at = 0;
}

// The phasor's step between the process samples prev and next.
void set_step(PhaseNoise* pn) { phasor_of((pn->next - pn->prev) / pn->decimation, &pn->step); }

// The filter's transform: |H(f)| = sqrt(L(|f|) fs_low) sampled on m points,
// made causal (centred), Hann-windowed and transformed over 2m points.
// Returns 0, or -1 out of memory.
int32_t design_filter(PhaseNoise* pn, const double* offsets_hz, const double* levels_dbc,
                   int32_t count, double fs_low) {
    const int32_t m = pn->m;
    double* re = pn->work_re;
    double* im = pn->work_im;
    ImpairFft small;
    // The m-point design uses the first m entries of the 2m arrays.
    std::memset(re, 0, 2 * static_cast<size_t>(m) * sizeof(double));
    std::memset(im, 0, 2 * static_cast<size_t>(m) * sizeof(double));
    for (int32_t k = 0; k < m; ++k) {
        const double f = (k <= m / 2 ? k : m - k) * fs_low / m;
        const double level = phase_noise_level(offsets_hz, levels_dbc, count, f);
        re[k] = level <= kOutside ? 0.0 : std::sqrt(std::pow(10.0, level / 10.0) * fs_low);
    }
    if (impair_fft_open(&small, m) != 0) return -1;
    impair_fft(&small, re, im, true);
    impair_fft_close(&small);
    // re holds the zero-phase response (times 1/m); centre it, window it.
    for (int32_t k = 0; k < m; ++k) {
        const int32_t from = (k + m / 2) % m;
        const double w = 0.5 - 0.5 * std::cos(kTwoPi * (k + 0.5) / m);
        pn->h_re[k] = re[from] * w;
    }
    std::memset(pn->h_re + m, 0, static_cast<size_t>(m) * sizeof(double));
    std::memset(pn->h_im, 0, 2 * static_cast<size_t>(m) * sizeof(double));
    // In the order the steps' transforms take it (bit-reversed), scaled by
    // 1/(2m) (a power of two, so exactly) for their unscaled inverse.
    impair_fft_forward_scrambled(&pn->fft, pn->h_re, pn->h_im);
    const double scale = 1.0 / (2 * m);
    for (int32_t k = 0; k < 2 * m; ++k) {
        pn->h_re[k] *= scale;
        pn->h_im[k] *= scale;
    }
    impair_fft_single_response(&pn->sfft, pn->h_re, pn->h_im, pn->sh_re, pn->sh_im);
    return 0;
}

// The carrier e^(j 2 pi f t): its phasor at sample `at` from exact cos and sin
// (the whole turns taken out in long double), and its step per sample.
struct Carrier {
    double phi, cos_phi, sin_phi;  // the step's angle and phasor
    double c, s;                   // the phasor at `at`
};
Carrier carrier_at(int64_t at, double freq_hz, double fs) {
    Carrier w;
    w.phi = kTwoPi * freq_hz / fs;
    w.cos_phi = std::cos(w.phi);
    w.sin_phi = std::sin(w.phi);
    const long double turns = static_cast<long double>(freq_hz) * at / fs;
    const double start = kTwoPi * static_cast<double>(turns - std::floor(turns));
    w.c = std::cos(start);
    w.s = std::sin(start);
    return w;
}

// One sample (i, q) turned by (rc, rs), and the carrier (c, s) by its step (cos_phi, sin_phi).
inline void apply_and_turn(double rc, double rs, double cos_phi, double sin_phi, double* c, double* s, double* i,
                           double* q) {
    const double x = *i, y = *q;
    *i = rc * x - rs * y;
    *q = rs * x + rc * y;
    const double c_next = cos_phi * *c - sin_phi * *s;
    *s = cos_phi * *s + sin_phi * *c;
    *c = c_next;
}

// The rotation sample by sample (decimations below 4): the phasor turned by the step.
void rotate_by_samples(PhaseNoise* pn, int32_t n, int64_t at, double freq_hz, double fs, double* i,
                       double* q) {
    const Carrier w = carrier_at(at, freq_hz, fs);
    const double cos_phi = w.cos_phi, sin_phi = w.sin_phi;
    double c = w.c, s = w.s;
    const int32_t d = pn->decimation;
    double zr = pn->z.re, zi = pn->z.im, sr = pn->step.re, si = pn->step.im;
    // One sample: e^(j (2 pi f t + phase)) = (c + j s) z applied, the carrier turned on.
    auto rotate = [&](int32_t k) {
        apply_and_turn(c * zr - s * zi, s * zr + c * zi, cos_phi, sin_phi, &c, &s, i + k, q + k);
    };
    int32_t k = 0;
    while (k < n) {
        // The samples before the segment's last: the phasor turned by the step.
        const int32_t inner = d - 1 - pn->sub < n - k ? d - 1 - pn->sub : n - k;
        for (const int32_t end = k + inner; k < end; ++k) {
            rotate(k);
            const double zr_next = zr * sr - zi * si;
            zi = zr * si + zi * sr;
            zr = zr_next;
        }
        pn->sub += inner;
        if (k == n) break;
        // The segment's last: the phasor turned and renormalised, the next step.
        rotate(k++);
        Phasor z{zr, zi};
        const Phasor st{sr, si};
        phasor_turn(&z, &st);
        zr = z.re, zi = z.im;
        pn->sub = 0;
        pn->prev = pn->next;
        pn->next = process_next(pn);
        set_step(pn);
        sr = pn->step.re, si = pn->step.im;
    }
    pn->z = Phasor{zr, zi};
}


// Four lanes of complex values.
struct Quad {
    double re[4], im[4];
};

// The state of the four-lane rotation within a call: the carrier at the
// group's four samples and its step over four, the powers step^s of the
// group's four samples (s from the segment's start) and step^4.
struct QuadRotation {
    Quad carrier, w;
    Phasor carrier4, w4;
    Quad base;  // step^0 .. step^3
    int32_t group;  // the segment's group w holds
};

// The powers of the segment's step: 1, w, w^2, w^3 and w^4; w back at group 0.
void segment_powers(const Phasor& st, QuadRotation* r) {
    const double w2r = st.re * st.re - st.im * st.im, w2i = st.re * st.im + st.im * st.re;
    const double w3r = w2r * st.re - w2i * st.im, w3i = w2r * st.im + w2i * st.re;
    r->base = Quad{{1.0, st.re, w2r, w3r}, {0.0, st.im, w2i, w3i}};
    r->w4 = Phasor{w2r * w2r - w2i * w2i, w2r * w2i + w2i * w2r};
    r->w = r->base;
    r->group = 0;
}

// w of the segment's group g (g at or after the one held, or back from 0).
void powers_of_group(QuadRotation* r, int32_t g) {
    if (g < r->group) {
        r->w = r->base;
        r->group = 0;
    }
    for (; r->group < g; ++r->group) {
        for (int32_t l = 0; l < 4; ++l) {
            const double wr = r->w.re[l] * r->w4.re - r->w.im[l] * r->w4.im;
            r->w.im[l] = r->w.re[l] * r->w4.im + r->w.im[l] * r->w4.re;
            r->w.re[l] = wr;
        }
    }
}

// The segment's process samples moved on: the next segment's first phasor
// straight from its process sample (no rounding carried from segment to
// segment), the next step.
void next_segment(PhaseNoise* pn, QuadRotation* r) {
    phasor_of(pn->next, &pn->z);
    pn->sub = 0;
    pn->prev = pn->next;
    pn->next = process_next(pn);
    set_step(pn);
    segment_powers(pn->step, r);
}

// One sample (i, q) at lane l of the group held, by the carrier (c, s):
// the same operations as a lane of the four-lane loop.
void rotate_one(const Phasor& z, const QuadRotation* r, int32_t l, double c, double s, double* i, double* q) {
    const double zr = z.re * r->w.re[l] - z.im * r->w.im[l];
    const double zi = z.re * r->w.im[l] + z.im * r->w.re[l];
    const double rr = c * zr - s * zi, ri = c * zi + s * zr;
    const double x = *i, y = *q;
    *i = rr * x - ri * y;
    *q = ri * x + rr * y;
}

// Groups of four samples of one segment from the group held on: the
// samples rotated, the carrier lanes and w moved on a group each.
void groups_plain(int32_t groups, const Phasor& z, QuadRotation* r, double* i, double* q) {
    for (int32_t g = 0; g < groups; ++g, i += 4, q += 4) {
        for (int32_t l = 0; l < 4; ++l) rotate_one(z, r, l, r->carrier.re[l], r->carrier.im[l], i + l, q + l);
        for (int32_t l = 0; l < 4; ++l) {
            const double cr = r->carrier.re[l] * r->carrier4.re - r->carrier.im[l] * r->carrier4.im;
            r->carrier.im[l] = r->carrier.re[l] * r->carrier4.im + r->carrier.im[l] * r->carrier4.re;
            r->carrier.re[l] = cr;
        }
        powers_of_group(r, r->group + 1);
    }
}

#if ORV_X86_VECTORS
// One group of four samples rotated by carrier times z w, then the carrier
// lanes turned by carrier4 (w left as it is).
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void avx_group_rotate(__m256d zr, __m256d zi, __m256d c4r,
                                                                       __m256d c4i, __m256d wr, __m256d wi,
                                                                       __m256d* cr, __m256d* ci, double* i,
                                                                       double* q) {
    const __m256d pr = _mm256_sub_pd(_mm256_mul_pd(zr, wr), _mm256_mul_pd(zi, wi));
    const __m256d pi = _mm256_add_pd(_mm256_mul_pd(zr, wi), _mm256_mul_pd(zi, wr));
    const __m256d rr = _mm256_sub_pd(_mm256_mul_pd(*cr, pr), _mm256_mul_pd(*ci, pi));
    const __m256d ri = _mm256_add_pd(_mm256_mul_pd(*cr, pi), _mm256_mul_pd(*ci, pr));
    const __m256d x = _mm256_loadu_pd(i), y = _mm256_loadu_pd(q);
    _mm256_storeu_pd(i, _mm256_sub_pd(_mm256_mul_pd(rr, x), _mm256_mul_pd(ri, y)));
    _mm256_storeu_pd(q, _mm256_add_pd(_mm256_mul_pd(ri, x), _mm256_mul_pd(rr, y)));
    const __m256d ncr = _mm256_sub_pd(_mm256_mul_pd(*cr, c4r), _mm256_mul_pd(*ci, c4i));
    *ci = _mm256_add_pd(_mm256_mul_pd(*cr, c4i), _mm256_mul_pd(*ci, c4r));
    *cr = ncr;
}

// One group of four samples: avx_group_rotate, then w turned by w4.
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void avx_group_step(__m256d zr, __m256d zi, __m256d c4r,
                                                                     __m256d c4i, __m256d w4r, __m256d w4i,
                                                                     __m256d* cr, __m256d* ci, __m256d* wr,
                                                                     __m256d* wi, double* i, double* q) {
    avx_group_rotate(zr, zi, c4r, c4i, *wr, *wi, cr, ci, i, q);
    const __m256d nwr = _mm256_sub_pd(_mm256_mul_pd(*wr, w4r), _mm256_mul_pd(*wi, w4i));
    *wi = _mm256_add_pd(_mm256_mul_pd(*wr, w4i), _mm256_mul_pd(*wi, w4r));
    *wr = nwr;
}

// groups_plain in AVX registers (the same operations per lane).
__attribute__((target("avx"))) void groups_avx(int32_t groups, const Phasor& z, QuadRotation* r, double* i,
                                                 double* q) {
    const __m256d zr = _mm256_set1_pd(z.re), zi = _mm256_set1_pd(z.im);
    const __m256d c4r = _mm256_set1_pd(r->carrier4.re), c4i = _mm256_set1_pd(r->carrier4.im);
    const __m256d w4r = _mm256_set1_pd(r->w4.re), w4i = _mm256_set1_pd(r->w4.im);
    __m256d cr = _mm256_loadu_pd(r->carrier.re), ci = _mm256_loadu_pd(r->carrier.im);
    __m256d wr = _mm256_loadu_pd(r->w.re), wi = _mm256_loadu_pd(r->w.im);
    for (int32_t g = 0; g < groups; ++g, i += 4, q += 4) {
        avx_group_step(zr, zi, c4r, c4i, w4r, w4i, &cr, &ci, &wr, &wi, i, q);
    }
    _mm256_storeu_pd(r->carrier.re, cr), _mm256_storeu_pd(r->carrier.im, ci);
    _mm256_storeu_pd(r->w.re, wr), _mm256_storeu_pd(r->w.im, wi);
    r->group += groups;
}

// One segment's groups (groups of them, from its start; G of them where G
// is not 0): avx_group_step's operations, the last group's turn of w (unused)
// left out.
template <int32_t G>
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void avx_segment(int32_t groups, __m256d zr, __m256d zi,
                                                                  __m256d c4r, __m256d c4i, __m256d w4r,
                                                                  __m256d w4i, __m256d wr, __m256d wi,
                                                                  __m256d* cr, __m256d* ci, double* i,
                                                                  double* q) {
    const int32_t count = G != 0 ? G : groups;
#pragma GCC unroll 8
    for (int32_t g = 1; g < count; ++g, i += 4, q += 4)
        avx_group_step(zr, zi, c4r, c4i, w4r, w4i, cr, ci, &wr, &wi, i, q);
    avx_group_rotate(zr, zi, c4r, c4i, wr, wi, cr, ci, i, q);
}

// Four phasors e^(j a): phasor_of's operations lane by lane (its cos and sin
// for the lanes off the power series).
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void phasors_avx(__m256d a, double* re, double* im) {
    const __m256d a2 = _mm256_mul_pd(a, a);
    __m256d c = _mm256_add_pd(_mm256_set1_pd(-1.0 / 720), _mm256_mul_pd(a2, _mm256_set1_pd(1.0 / 40320)));
    c = _mm256_add_pd(_mm256_set1_pd(1.0 / 24), _mm256_mul_pd(a2, c));
    c = _mm256_add_pd(_mm256_set1_pd(-1.0 / 2), _mm256_mul_pd(a2, c));
    c = _mm256_add_pd(_mm256_set1_pd(1.0), _mm256_mul_pd(a2, c));
    __m256d s = _mm256_add_pd(_mm256_set1_pd(-1.0 / 5040), _mm256_mul_pd(a2, _mm256_set1_pd(1.0 / 362880)));
    s = _mm256_add_pd(_mm256_set1_pd(1.0 / 120), _mm256_mul_pd(a2, s));
    s = _mm256_add_pd(_mm256_set1_pd(-1.0 / 6), _mm256_mul_pd(a2, s));
    s = _mm256_mul_pd(a, _mm256_add_pd(_mm256_set1_pd(1.0), _mm256_mul_pd(a2, s)));
    _mm256_storeu_pd(re, c);
    _mm256_storeu_pd(im, s);
    const __m256d mag = _mm256_andnot_pd(_mm256_set1_pd(-0.0), a);
    const int32_t series = _mm256_movemask_pd(_mm256_cmp_pd(mag, _mm256_set1_pd(0.0625), _CMP_LE_OQ));
    if (series == 0xF) return;
    double angle[4];
    _mm256_storeu_pd(angle, a);
    for (int32_t l = 0; l < 4; ++l) {
        if ((series >> l & 1) != 0) continue;
        Phasor p;
        phasor_of(angle[l], &p);
        re[l] = p.re;
        im[l] = p.im;
    }
}

// Four segments from a segment's start: the phasors (z, step) of the one held
// (index 0) and of the four after it (1..4) in pn's order of draws, and the
// powers of the four segments' steps (base: 1, w, w^2, w^3; w4). pn moves on
// to the fifth segment.
struct FourSegments {
    double zr[5], zi[5], sr[5], si[5];
    double w4r[4], w4i[4];
    double base_re[4][4], base_im[4][4];
};
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void four_segments(PhaseNoise* pn, FourSegments* f) {
    // The process samples the segments end at (next and the next three) and the four after.
    __m256d ends, after;
    const int32_t at = pn->out_at;
    if (at >= 1 && at + 4 <= 2 * pn->m) {
        // Straight from the step's output (the samples process_next hands out).
        after = _mm256_loadu_pd(pn->out + at);
        ends = _mm256_blend_pd(_mm256_loadu_pd(pn->out + at - 1), _mm256_set1_pd(pn->next), 1);
        pn->out_at = at + 4;
    } else {
        double p[5];
        p[0] = pn->next;
        for (int32_t j = 1; j < 5; ++j) p[j] = process_next(pn);
        ends = _mm256_loadu_pd(p);
        after = _mm256_loadu_pd(p + 1);
    }
    f->zr[0] = pn->z.re, f->zi[0] = pn->z.im;
    f->sr[0] = pn->step.re, f->si[0] = pn->step.im;
    // The segments' first phasors from their process samples, the steps as set_step.
    phasors_avx(ends, f->zr + 1, f->zi + 1);
    const __m256d angle = _mm256_div_pd(_mm256_sub_pd(after, ends), _mm256_set1_pd(pn->decimation));
    phasors_avx(angle, f->sr + 1, f->si + 1);
    double last[4];
    _mm256_storeu_pd(last, after);
    pn->prev = last[2];
    pn->next = last[3];
    pn->z = Phasor{f->zr[4], f->zi[4]};
    pn->step = Phasor{f->sr[4], f->si[4]};
    // segment_powers' operations, a segment a lane.
    const __m256d sr = _mm256_loadu_pd(f->sr), si = _mm256_loadu_pd(f->si);
    const __m256d w2r = _mm256_sub_pd(_mm256_mul_pd(sr, sr), _mm256_mul_pd(si, si));
    const __m256d w2i = _mm256_add_pd(_mm256_mul_pd(sr, si), _mm256_mul_pd(si, sr));
    const __m256d w3r = _mm256_sub_pd(_mm256_mul_pd(w2r, sr), _mm256_mul_pd(w2i, si));
    const __m256d w3i = _mm256_add_pd(_mm256_mul_pd(w2r, si), _mm256_mul_pd(w2i, sr));
    _mm256_storeu_pd(f->w4r, _mm256_sub_pd(_mm256_mul_pd(w2r, w2r), _mm256_mul_pd(w2i, w2i)));
    _mm256_storeu_pd(f->w4i, _mm256_add_pd(_mm256_mul_pd(w2r, w2i), _mm256_mul_pd(w2i, w2r)));
    // Lanes to segments: segment j's base is (1, w_j, w2_j, w3_j).
    const __m256d re01 = _mm256_unpacklo_pd(_mm256_set1_pd(1.0), sr), re23 = _mm256_unpacklo_pd(w2r, w3r);
    const __m256d re01b = _mm256_unpackhi_pd(_mm256_set1_pd(1.0), sr), re23b = _mm256_unpackhi_pd(w2r, w3r);
    const __m256d im01 = _mm256_unpacklo_pd(_mm256_setzero_pd(), si), im23 = _mm256_unpacklo_pd(w2i, w3i);
    const __m256d im01b = _mm256_unpackhi_pd(_mm256_setzero_pd(), si), im23b = _mm256_unpackhi_pd(w2i, w3i);
    _mm256_storeu_pd(f->base_re[0], _mm256_permute2f128_pd(re01, re23, 0x20));
    _mm256_storeu_pd(f->base_re[1], _mm256_permute2f128_pd(re01b, re23b, 0x20));
    _mm256_storeu_pd(f->base_re[2], _mm256_permute2f128_pd(re01, re23, 0x31));
    _mm256_storeu_pd(f->base_re[3], _mm256_permute2f128_pd(re01b, re23b, 0x31));
    _mm256_storeu_pd(f->base_im[0], _mm256_permute2f128_pd(im01, im23, 0x20));
    _mm256_storeu_pd(f->base_im[1], _mm256_permute2f128_pd(im01b, im23b, 0x20));
    _mm256_storeu_pd(f->base_im[2], _mm256_permute2f128_pd(im01, im23, 0x31));
    _mm256_storeu_pd(f->base_im[3], _mm256_permute2f128_pd(im01b, im23b, 0x31));
}

// segments_avx's runs of four segments while they fit in n (G as avx_segment's).
template <int32_t G>
__attribute__((target("avx"))) ORV_ALWAYS_INLINE int32_t four_segment_runs(PhaseNoise* pn, int32_t n, __m256d c4r,
                                                                           __m256d c4i, __m256d* cr, __m256d* ci,
                                                                           double* i, double* q) {
    const int32_t d = pn->decimation, groups = d / 4;
    int32_t k = 0;
    for (; n - k >= 4 * d; k += 4 * d) {
        FourSegments f;
        four_segments(pn, &f);
        for (int32_t j = 0; j < 4; ++j) {
            const int32_t at = k + j * d;
            avx_segment<G>(groups, _mm256_set1_pd(f.zr[j]), _mm256_set1_pd(f.zi[j]), c4r, c4i,
                           _mm256_set1_pd(f.w4r[j]), _mm256_set1_pd(f.w4i[j]), _mm256_loadu_pd(f.base_re[j]),
                           _mm256_loadu_pd(f.base_im[j]), cr, ci, i + at, q + at);
        }
    }
    return k;
}

// Whole segments from a segment's start (pn->sub 0, r->w at group 0) while
// one fits in n: groups_avx's operations per group with the carrier lanes
// kept in registers from segment to segment, four segments' phasors and
// powers made at a time (phasor_of's and segment_powers' operations), the
// rest one segment at a time. Returns the samples done; r holds the carrier
// after them and the next segment's powers.
__attribute__((target("avx"))) int32_t segments_avx(PhaseNoise* pn, int32_t n, QuadRotation* r, double* i,
                                                    double* q) {
    const int32_t d = pn->decimation, groups = d / 4;
    const __m256d c4r = _mm256_set1_pd(r->carrier4.re), c4i = _mm256_set1_pd(r->carrier4.im);
    __m256d cr = _mm256_loadu_pd(r->carrier.re), ci = _mm256_loadu_pd(r->carrier.im);
    int32_t k = d == 16 ? four_segment_runs<4>(pn, n, c4r, c4i, &cr, &ci, i, q)
                        : four_segment_runs<0>(pn, n, c4r, c4i, &cr, &ci, i, q);
    for (; n - k >= d; k += d) {
        const Phasor st = pn->step;
        const double w2r = st.re * st.re - st.im * st.im, w2i = st.re * st.im + st.im * st.re;
        const double w3r = w2r * st.re - w2i * st.im, w3i = w2r * st.im + w2i * st.re;
        const __m256d w4r = _mm256_set1_pd(w2r * w2r - w2i * w2i), w4i = _mm256_set1_pd(w2r * w2i + w2i * w2r);
        const __m256d wr = _mm256_set_pd(w3r, w2r, st.re, 1.0), wi = _mm256_set_pd(w3i, w2i, st.im, 0.0);
        avx_segment<0>(groups, _mm256_set1_pd(pn->z.re), _mm256_set1_pd(pn->z.im), c4r, c4i, w4r, w4i, wr, wi, &cr,
                    &ci, i + k, q + k);
        phasor_of(pn->next, &pn->z);
        pn->prev = pn->next;
        pn->next = process_next(pn);
        set_step(pn);
    }
    _mm256_storeu_pd(r->carrier.re, cr), _mm256_storeu_pd(r->carrier.im, ci);
    if (k > 0) segment_powers(pn->step, r);
    return k;
}
#endif

// Lone samples (at the call's ends, off the groups) one at a time: the
// scalar carrier (c, s) turned by (cos_phi, sin_phi).
void rotate_lone(PhaseNoise* pn, QuadRotation* r, int32_t n, double cos_phi, double sin_phi, double* c, double* s,
                 double* i, double* q) {
    for (int32_t k = 0; k < n; ++k) {
        powers_of_group(r, pn->sub / 4);
        rotate_one(pn->z, r, pn->sub % 4, *c, *s, i + k, q + k);
        const double c_next = cos_phi * *c - sin_phi * *s;
        *s = cos_phi * *s + sin_phi * *c;
        *c = c_next;
        if (++pn->sub == pn->decimation) next_segment(pn, r);
    }
}

// The rotation four samples at a time (decimations of 4 and up, so that a
// segment holds whole groups).
void rotate_by_groups(PhaseNoise* pn, int32_t n, int64_t at, double freq_hz, double fs, double* i, double* q) {
    const Carrier w = carrier_at(at, freq_hz, fs);
    const double phi = w.phi, cos_phi = w.cos_phi, sin_phi = w.sin_phi;
    double c = w.c, s = w.s;
    const int32_t d = pn->decimation;
    QuadRotation r;
    segment_powers(pn->step, &r);
    // Up to the first group's start, one at a time.
    const int32_t head = (4 - pn->sub % 4) % 4 < n ? (4 - pn->sub % 4) % 4 : n;
    rotate_lone(pn, &r, head, cos_phi, sin_phi, &c, &s, i, q);
    int32_t k = head;
    if (n - k >= 4) {
        r.carrier.re[0] = c, r.carrier.im[0] = s;
        for (int32_t l = 1; l < 4; ++l) {
            r.carrier.re[l] = cos_phi * r.carrier.re[l - 1] - sin_phi * r.carrier.im[l - 1];
            r.carrier.im[l] = cos_phi * r.carrier.im[l - 1] + sin_phi * r.carrier.re[l - 1];
        }
        r.carrier4 = Phasor{std::cos(4.0 * phi), std::sin(4.0 * phi)};
#if ORV_X86_VECTORS
        const bool avx = pn->no_avx == 0 && cpu_has_avx();
#endif
        while (n - k >= 4) {
#if ORV_X86_VECTORS
            if (avx && pn->sub == 0) {
                k += segments_avx(pn, n - k, &r, i + k, q + k);
                if (n - k < 4) break;
            }
#endif
            const int32_t left = (d - pn->sub) / 4, fit = (n - k) / 4;
            const int32_t groups = left < fit ? left : fit;
            powers_of_group(&r, pn->sub / 4);
#if ORV_X86_VECTORS
            if (avx) groups_avx(groups, pn->z, &r, i + k, q + k);
            else groups_plain(groups, pn->z, &r, i + k, q + k);
#else
            groups_plain(groups, pn->z, &r, i + k, q + k);
#endif
            k += 4 * groups;
            pn->sub += 4 * groups;
            if (pn->sub == d) next_segment(pn, &r);
        }
        c = r.carrier.re[0], s = r.carrier.im[0];
    }
    rotate_lone(pn, &r, n - k, cos_phi, sin_phi, &c, &s, i + k, q + k);
}

}  // namespace

int32_t phase_noise_profile_check(const double* offsets_hz, const double* levels_dbc,
                                  int32_t count) {
    if (count < 2 || count > kPhaseNoiseMaxPoints || offsets_hz == nullptr ||
        levels_dbc == nullptr)
        return count;
    for (int32_t k = 0; k < count; ++k) {
        if (!is_finite(offsets_hz[k]) || offsets_hz[k] <= 0.0) return k;
        if (k > 0 && !(offsets_hz[k] > offsets_hz[k - 1])) return k;
        if (!is_finite(levels_dbc[k]) || levels_dbc[k] < -250.0 || levels_dbc[k] > 0.0) return k;
    }
    return -1;
}

double phase_noise_level(const double* offsets_hz, const double* levels_dbc, int32_t count,
                         double f) {
    if (!(f >= offsets_hz[0]) || f > offsets_hz[count - 1]) return kOutside;
    int32_t k = 0;
    while (k + 2 < count && f > offsets_hz[k + 1]) ++k;
    const double span = std::log10(offsets_hz[k + 1] / offsets_hz[k]);
    const double t = std::log10(f / offsets_hz[k]) / span;
    return levels_dbc[k] + t * (levels_dbc[k + 1] - levels_dbc[k]);
}

double phase_noise_variance(const double* offsets_hz, const double* levels_dbc, int32_t count) {
    double sum = 0.0;
    for (int32_t k = 0; k + 1 < count; ++k) {
        const double fa = offsets_hz[k], fb = offsets_hz[k + 1];
        const double c = std::pow(10.0, levels_dbc[k] / 10.0);
        // 10^(L/10) = c (f / fa)^e on the segment.
        const double e = (levels_dbc[k + 1] - levels_dbc[k]) / 10.0 / std::log10(fb / fa);
        const double r = fb / fa;
        sum += std::fabs(e + 1.0) < 1e-12 ? c * fa * std::log(r)
                                          : c * fa / (e + 1.0) * (std::pow(r, e + 1.0) - 1.0);
    }
    return 2.0 * sum;
}

void phase_noise_default_profile(double rms_deg, double* offsets_hz, double* levels_dbc) {
    offsets_hz[0] = 1e3;
    offsets_hz[1] = 1e5;
    offsets_hz[2] = 1e6;
    levels_dbc[0] = levels_dbc[1] = 0.0;
    levels_dbc[2] = -20.0;
    const double unit = phase_noise_variance(offsets_hz, levels_dbc, 3);
    const double want = (rms_deg * kPi / 180.0) * (rms_deg * kPi / 180.0);
    const double shift = want > 0.0 ? 10.0 * std::log10(want / unit) : -250.0;
    for (int32_t k = 0; k < 3; ++k) levels_dbc[k] += shift;
}

int32_t phase_noise_open(PhaseNoise* pn, const double* offsets_hz, const double* levels_dbc,
                         int32_t count, double fs, uint64_t seed) {
    std::memset(pn, 0, sizeof *pn);
    if (phase_noise_profile_check(offsets_hz, levels_dbc, count) != -1 || !(fs > 0.0)) return 1;
    // The process runs at fs / D, D a power of two, at least 8 times the top offset.
    const double top = offsets_hz[count - 1] < 0.5 * fs ? offsets_hz[count - 1] : 0.5 * fs;
    int32_t d = 1;
    while (d < 4096 && fs / (2 * d) >= 8.0 * top) d <<= 1;
    const double fs_low = fs / d;
    // A filter long enough to resolve a quarter of the lowest offset.
    const int32_t m = pow2_at_least(4.0 * fs_low / offsets_hz[0], 64, 1 << 17);
    pn->decimation = d;
    pn->m = m;
    if (impair_fft_open(&pn->fft, 2 * m) != 0) return -1;
    const size_t mm = static_cast<size_t>(m);
    double* block = static_cast<double*>(large_alloc((8 * mm + 1) * sizeof(double)));
    if (block == nullptr) {
        impair_fft_close(&pn->fft);
        return -1;
    }
    pn->h_re = block;
    pn->h_im = block + 2 * mm;
    pn->work_re = block + 4 * mm;
    pn->work_im = block + 6 * mm;
    // w and out share space with nothing the design uses afterwards.
    pn->w = static_cast<double*>(large_alloc(3 * mm * sizeof(double)));
    if (pn->w == nullptr) {
        large_free(block);
        pn->h_re = nullptr;
        impair_fft_close(&pn->fft);
        return -1;
    }
    pn->out = pn->w + mm;
    pn->sh_re = static_cast<float*>(large_alloc(8 * mm * sizeof(float)));
    if (pn->sh_re == nullptr || impair_fft_single_open(&pn->sfft, 2 * m) != 0) {
        phase_noise_close(pn);
        return -1;
    }
    pn->sh_im = pn->sh_re + 2 * mm;
    pn->swork_re = pn->sh_re + 4 * mm;
    pn->swork_im = pn->sh_re + 6 * mm;
    pn->single = 1;
    pn->seed = seed;
    if (design_filter(pn, offsets_hz, levels_dbc, count, fs_low) != 0) {
        phase_noise_close(pn);
        return -1;
    }
    phase_noise_rewind(pn);
    return 0;
}

void phase_noise_close(PhaseNoise* pn) {
    large_free(pn->h_re);
    large_free(pn->w);
    large_free(pn->sh_re);
    impair_fft_close(&pn->fft);
    impair_fft_single_close(&pn->sfft);
    pn->h_re = pn->w = nullptr;
    pn->sh_re = pn->sh_im = pn->swork_re = pn->swork_im = nullptr;
}

void phase_noise_rewind(PhaseNoise* pn) {
    impair_rng_seed(&pn->rng, pn->seed, kStreamPhaseNoise, 0);
    // The delay line starts full of noise, so the process is stationary from sample 0.
    for (int32_t k = 0; k < pn->m; ++k) pn->w[k] = impair_normal(&pn->rng);
    pn->out_at = 2 * pn->m;
    pn->sub = 0;
    pn->prev = process_next(pn);
    pn->next = process_next(pn);
    phasor_of(pn->prev, &pn->z);
    set_step(pn);
}

void phase_noise_next(PhaseNoise* pn, int32_t n, double* phase) {
    const int32_t d = pn->decimation;
    const double step = 1.0 / d;
    for (int32_t k = 0; k < n; ++k) {
        phase[k] = pn->prev + (pn->next - pn->prev) * (pn->sub * step);
        if (++pn->sub == d) {
            pn->sub = 0;
            pn->prev = pn->next;
            pn->next = process_next(pn);
        }
    }
}

void phasor_of(double angle, Phasor* p) {
    if (!(std::fabs(angle) <= 0.0625)) {
        p->re = std::cos(angle);
        p->im = std::sin(angle);
        return;
    }
    const double a2 = angle * angle;
    // cos: 1 - a^2/2! + ... + a^8/8!; sin: a (1 - a^2/3! + ... + a^8/9!), by Horner.
    p->re = 1.0 + a2 * (-1.0 / 2 + a2 * (1.0 / 24 + a2 * (-1.0 / 720 + a2 * (1.0 / 40320))));
    p->im = angle * (1.0 + a2 * (-1.0 / 6 + a2 * (1.0 / 120 + a2 * (-1.0 / 5040 + a2 * (1.0 / 362880)))));
}

void phasor_turn(Phasor* z, const Phasor* step) {
    const double re = z->re * step->re - z->im * step->im;
    const double im = z->re * step->im + z->im * step->re;
    const double k = 0.5 * (3.0 - (re * re + im * im));
    z->re = re * k;
    z->im = im * k;
}


void phase_noise_rotate(PhaseNoise* pn, int32_t n, int64_t at, double freq_hz, double fs, double* i,
                        double* q) {
    if (pn->decimation < 4) rotate_by_samples(pn, n, at, freq_hz, fs, i, q);
    else rotate_by_groups(pn, n, at, freq_hz, fs, i, q);
}

void rotate_with_phase(int32_t n, int64_t at, double freq_hz, double fs, const double* phase,
                       double* i, double* q) {
    const Carrier w = carrier_at(at, freq_hz, fs);
    const double cos_phi = w.cos_phi, sin_phi = w.sin_phi;
    double c = w.c, s = w.s;
    for (int32_t k = 0; k < n; ++k) {
        double rc = c, rs = s;
        if (phase != nullptr) {
            const double pc = std::cos(phase[k]), ps = std::sin(phase[k]);
            rc = c * pc - s * ps;
            rs = s * pc + c * ps;
        }
        apply_and_turn(rc, rs, cos_phi, sin_phi, &c, &s, i + k, q + k);
    }
}
