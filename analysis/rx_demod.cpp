// SIGNAL field and DATA demodulation of the packet receiver (17.3.4, 17.3.5.7 to 17.3.5.9).
#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>

#include "rx.h"
#include "rx_viterbi.h"

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define ORV_RX_AVX2 1
#endif

namespace orv::analysis::rx {

namespace {
constexpr double kPi = std::numbers::pi;

// The common phase of a symbol's pilots against the channel, polarity pol.
double pilot_phase(const std::array<cd, 53>& y, const Channel& h, int pol) {
    cd acc = 0;
    for (int p = 0; p < 4; ++p) {
        const size_t i = static_cast<size_t>(kPilotSubcarriers[p] + 26);
        acc += mul_conj(y[i], h.h[i]) * static_cast<double>(kPilotSigns[p] * pol);
    }
    return std::arg(acc);
}

// The nearest of levels -(L - 1), -(L - 3) .. L - 1 to v (L levels, unit spacing 2).
// (Clamped first, the floor of a value in 0 .. L - 1 is its truncation: no call to floor.)
inline double nearest_level(double v, int levels) {
    const double x = (v + (levels - 1)) / 2.0 + 0.5;
    if (!(x == x)) return x;
    const double i = static_cast<double>(static_cast<int>(std::clamp(x, 0.0, static_cast<double>(levels - 1))));
    return 2.0 * i - (levels - 1);
}

// Max-log soft bits of one axis of a Gray-mapped level (unit spacing 2), n bits, scaled by w.
void axis_soft(double v, int n, double w, double* out) {
    out[0] = w * v;
    if (n >= 2) out[1] = w * (static_cast<double>(1 << (n - 1)) - std::abs(v));
    if (n >= 3) out[2] = w * (2.0 - std::abs(4.0 - std::abs(v)));
}

// One symbol's data subcarriers y, equalised by the taps and the pilots' phase correction corr,
// as NB max-log soft bits each from out on (returns the end); their squared error against the
// nearest points added to err in subcarrier order, their count to ref. k: the modulation's scale
// to unit level spacing 2.
// The QAM axes of demap_axes, one subcarrier at a time.
void demap_plain(const std::array<cd, 53>& y, const DemapTaps& taps, cd corr, double k, int nb, double* out,
                 double* sq) {
    const int axis_levels = 1 << (nb / 2);
    for (size_t t = 0; t < 48; ++t) {
        double* b = out + t * static_cast<size_t>(nb);
        sq[t] = 0;
        if (!(taps.g[t] > 0)) continue;
        const cd z = mul(mul(y[static_cast<size_t>(taps.i[t])], cd(taps.inv_re[t], taps.inv_im[t])), corr);
        const double zi = z.real() * k, zq = z.imag() * k;
        const double ei = zi - nearest_level(zi, axis_levels), eq = zq - nearest_level(zq, axis_levels);
        sq[t] = ei * ei + eq * eq;
        axis_soft(zi, nb / 2, taps.g_k[t], b);
        axis_soft(zq, nb / 2, taps.g_k[t], b + nb / 2);
    }
}

#ifdef ORV_RX_AVX2
#define ORV_AVX2 __attribute__((target("avx2")))
// nearest_level on four values (top: levels - 1); for a NaN value a level of its own, whose
// difference from the value is the same NaN.
ORV_AVX2 inline __m256d nearest_level4(__m256d v, __m256d top) {
    const __m256d x = _mm256_add_pd(_mm256_div_pd(_mm256_add_pd(v, top), _mm256_set1_pd(2.0)), _mm256_set1_pd(0.5));
    const __m256d c = _mm256_min_pd(_mm256_max_pd(x, _mm256_setzero_pd()), top);
    const __m256d i = _mm256_round_pd(c, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    return _mm256_sub_pd(_mm256_mul_pd(_mm256_set1_pd(2.0), i), top);
}

// axis_soft on four values into o[0 .. N).
template <int N>
ORV_AVX2 inline void axis_soft4(__m256d v, __m256d w, __m256d* o) {
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d a = _mm256_andnot_pd(sign, v);
    o[0] = _mm256_mul_pd(w, v);
    if constexpr (N >= 2) o[1] = _mm256_mul_pd(w, _mm256_sub_pd(_mm256_set1_pd(static_cast<double>(1 << (N - 1))), a));
    if constexpr (N >= 3)
        o[2] = _mm256_mul_pd(w, _mm256_sub_pd(_mm256_set1_pd(2.0), _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_set1_pd(4.0), a))));
}

// The values of four subcarriers l (o[j] lane l: soft bit j) to out[NB l + j], NB 2, 4 or 6.
template <int NB>
ORV_AVX2 inline void store_interleaved(const __m256d* o, double* out) {
    // Pairs of bits 0, 1 of subcarriers (0, 2) and (1, 3); likewise bits 2, 3.
    const __m256d a0 = _mm256_unpacklo_pd(o[0], o[1]), a1 = _mm256_unpackhi_pd(o[0], o[1]);
    if constexpr (NB == 2) {
        _mm256_storeu_pd(out, _mm256_permute2f128_pd(a0, a1, 0x20));
        _mm256_storeu_pd(out + 4, _mm256_permute2f128_pd(a0, a1, 0x31));
        return;
    } else {
        const __m256d b0 = _mm256_unpacklo_pd(o[2], o[3]), b1 = _mm256_unpackhi_pd(o[2], o[3]);
        constexpr size_t n = NB;
        _mm256_storeu_pd(out, _mm256_permute2f128_pd(a0, b0, 0x20));
        _mm256_storeu_pd(out + n, _mm256_permute2f128_pd(a1, b1, 0x20));
        _mm256_storeu_pd(out + 2 * n, _mm256_permute2f128_pd(a0, b0, 0x31));
        _mm256_storeu_pd(out + 3 * n, _mm256_permute2f128_pd(a1, b1, 0x31));
        if constexpr (NB == 6) {
            const __m256d c0 = _mm256_unpacklo_pd(o[4], o[5]), c1 = _mm256_unpackhi_pd(o[4], o[5]);
            _mm_storeu_pd(out + 4, _mm256_castpd256_pd128(c0));
            _mm_storeu_pd(out + n + 4, _mm256_castpd256_pd128(c1));
            _mm_storeu_pd(out + 2 * n + 4, _mm256_extractf128_pd(c0, 1));
            _mm_storeu_pd(out + 3 * n + 4, _mm256_extractf128_pd(c1, 1));
        }
    }
}

// demap_axes four subcarriers a step for NB bits a subcarrier (AVX2; the caller checks the processor).
template <int NB>
ORV_AVX2 void demap_avx2(const std::array<cd, 53>& y, const DemapTaps& taps, cd corr, double k, double* out, double* sq) {
    constexpr int n = NB / 2, nb = NB;
    const __m256d top = _mm256_set1_pd(static_cast<double>((1 << n) - 1));
    const __m256d cr = _mm256_set1_pd(corr.real()), ci = _mm256_set1_pd(corr.imag()), kv = _mm256_set1_pd(k);
    for (size_t t0 = 0; t0 < 48; t0 += 4) {
        const auto at = [&](size_t l) { return _mm_loadu_pd(reinterpret_cast<const double*>(&y[static_cast<size_t>(taps.i[t0 + l])])); };
        // (re, im) of subcarriers 0 | 2 and 1 | 3: their low and high halves give the four re and im.
        const __m256d y02 = _mm256_insertf128_pd(_mm256_castpd128_pd256(at(0)), at(2), 1);
        const __m256d y13 = _mm256_insertf128_pd(_mm256_castpd128_pd256(at(1)), at(3), 1);
        const __m256d yr = _mm256_unpacklo_pd(y02, y13), yi = _mm256_unpackhi_pd(y02, y13);
        const __m256d hr = _mm256_loadu_pd(taps.inv_re.data() + t0), hi = _mm256_loadu_pd(taps.inv_im.data() + t0);
        const __m256d ar = _mm256_sub_pd(_mm256_mul_pd(yr, hr), _mm256_mul_pd(yi, hi));
        const __m256d ai = _mm256_add_pd(_mm256_mul_pd(yr, hi), _mm256_mul_pd(yi, hr));
        const __m256d zr = _mm256_sub_pd(_mm256_mul_pd(ar, cr), _mm256_mul_pd(ai, ci));
        const __m256d zq0 = _mm256_add_pd(_mm256_mul_pd(ar, ci), _mm256_mul_pd(ai, cr));
        const __m256d zi = _mm256_mul_pd(zr, kv), zq = _mm256_mul_pd(zq0, kv);
        const __m256d ei = _mm256_sub_pd(zi, nearest_level4(zi, top)), eq = _mm256_sub_pd(zq, nearest_level4(zq, top));
        const __m256d on = _mm256_cmp_pd(_mm256_loadu_pd(taps.g.data() + t0), _mm256_setzero_pd(), _CMP_GT_OQ);
        _mm256_storeu_pd(sq + t0, _mm256_and_pd(on, _mm256_add_pd(_mm256_mul_pd(ei, ei), _mm256_mul_pd(eq, eq))));
        const __m256d w = _mm256_loadu_pd(taps.g_k.data() + t0);
        __m256d o[6];
        axis_soft4<n>(zi, w, o);
        axis_soft4<n>(zq, w, o + n);
        const int mask = _mm256_movemask_pd(on);
        if (mask == 0xF) {  // all four subcarriers with signal: their nb values each side by side
            store_interleaved<NB>(o, out + t0 * static_cast<size_t>(nb));
            continue;
        }
        alignas(32) double soft[6][4];
        for (int j = 0; j < nb; ++j) _mm256_store_pd(soft[j], o[j]);
        for (int l = 0; l < 4; ++l) {
            if (!(mask >> l & 1)) continue;
            double* b = out + (t0 + static_cast<size_t>(l)) * static_cast<size_t>(nb);
            for (int j = 0; j < nb; ++j) b[j] = soft[j][l];
        }
    }
}

// subcarrier_powers four a step: the squares of two values side by side, their pairs added.
ORV_AVX2 void powers_avx2(const std::array<cd, 53>& y, double* power) {
    const double* v = reinterpret_cast<const double*>(y.data());
    for (size_t i = 0; i + 4 <= 53; i += 4) {
        const __m256d a = _mm256_loadu_pd(v + 2 * i), b = _mm256_loadu_pd(v + 2 * i + 4);
        // (|y_i|^2, |y_i+2|^2, |y_i+1|^2, |y_i+3|^2), each re re + im im.
        const __m256d h = _mm256_hadd_pd(_mm256_mul_pd(a, a), _mm256_mul_pd(b, b));
        _mm256_storeu_pd(power + i, _mm256_permute4x64_pd(h, 0xD8));
    }
    power[52] = std::norm(y[52]);
}

bool cpu_has_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

// One symbol's data subcarriers y, equalised by the taps and the pilots' phase correction corr,
// as NB max-log soft bits each from out on (returns the end); their squared error against the
// nearest points added to err in subcarrier order, their count to ref. k: the modulation's scale
// to unit level spacing 2.
// live: the n_live data subcarriers with signal, ascending.
template <int NB>
double* demap_symbol(const std::array<cd, 53>& y, const DemapTaps& taps, cd corr, double k, const int* live, int n_live,
                     double* out, double& err, double& ref) {
    // Each subcarrier's squared error, divided by k^2 in a loop of its own (the divisions side by
    // side), then summed in subcarrier order.
    std::array<double, 48> sq;
    if constexpr (NB == 1) {
        for (size_t t = 0; t < 48; ++t) {
            sq[t] = 0;
            if (!(taps.g[t] > 0)) continue;
            const cd z = mul(mul(y[static_cast<size_t>(taps.i[t])], cd(taps.inv_re[t], taps.inv_im[t])), corr);
            sq[t] = std::norm(z - cd(nearest_level(z.real(), 2), 0.0));
            out[t] = taps.g[t] * z.real();
        }
    } else {
        demap_axes(y, taps, corr, k, NB, out, sq.data());
        const double kk = k * k;
        for (double& v : sq) v /= kk;
    }
    double e = err;
    if (n_live == 48) {
        for (size_t t = 0; t < 48; t += 4) {
            e += sq[t];
            e += sq[t + 1];
            e += sq[t + 2];
            e += sq[t + 3];
        }
    } else {
        for (int j = 0; j < n_live; ++j) e += sq[static_cast<size_t>(live[j])];
    }
    err = e;
    ref += n_live;  // whole numbers: the same as adding 1 for each
    return out + 48 * NB;
}
}  // namespace

void demap_axes(const std::array<cd, 53>& y, const DemapTaps& taps, cd corr, double k, int nb, double* out,
                double* sq, bool vector) {
#ifdef ORV_RX_AVX2
    if (vector && cpu_has_avx2()) {
        switch (nb) {
        case 2: demap_avx2<2>(y, taps, corr, k, out, sq); return;
        case 4: demap_avx2<4>(y, taps, corr, k, out, sq); return;
        case 6: demap_avx2<6>(y, taps, corr, k, out, sq); return;
        default: break;  // no vector form: the plain loop below
        }
    }
#endif
    (void)vector;
    demap_plain(y, taps, corr, k, nb, out, sq);
}

void subcarrier_powers(const std::array<cd, 53>& y, double* power, bool vector) {
#ifdef ORV_RX_AVX2
    if (vector && cpu_has_avx2()) {
        powers_avx2(y, power);
        return;
    }
#endif
    (void)vector;
    for (size_t i = 0; i < 53; ++i) power[i] = std::norm(y[i]);
}

SignalField decode_signal(const std::vector<cd>& x, const Sync& s, const Channel& h, ForwardFft& fft) {
    const std::array<cd, 53> y = subcarriers(x, s, s.t1 + 128 + 16 - kBackoff, fft);
    const cd corr = std::polar(1.0, -pilot_phase(y, h, pilot_polarity(0)));
    // Equalised BPSK values in the received order, then deinterleaved (17.3.5.6, N_CBPS 48).
    static const std::array<int, 48> from = [] {
        std::array<int, 48> f{};
        for (int k = 0; k < 48; ++k) f[static_cast<size_t>(k)] = interleave_position(k, 48, 1);
        return f;
    }();
    double rx[48], coded[48];
    for (size_t t = 0; t < 48; ++t) {
        const size_t i = static_cast<size_t>(data_subcarriers()[t] + 26);
        rx[t] = (y[i] * std::conj(h.h[i]) * corr).real();
    }
    for (size_t k = 0; k < 48; ++k) coded[k] = rx[from[k]];
    uint8_t bits[kSignalSteps];
    viterbi_decode_signal(coded, bits);
    SignalField sig;
    for (int i = 0; i < 4; ++i) sig.rate_bits += static_cast<char>('0' + bits[static_cast<size_t>(i)]);
    sig.reserved_ok = bits[4] == 0;
    for (int i = 0; i < 12; ++i) sig.length |= bits[static_cast<size_t>(5 + i)] << i;
    int par = 0;
    for (int i = 0; i < 18; ++i) par ^= bits[static_cast<size_t>(i)];
    sig.parity_ok = par == 0;
    sig.tail_ok = std::all_of(bits + 18, bits + kSignalSteps, [](uint8_t b) { return b == 0; });
    if (const RateInfo* r = rate_by_bits(sig.rate_bits)) {
        sig.rate_mbps = r->mbps;
        sig.data_symbols = (16 + 8 * sig.length + 6 + r->n_dbps - 1) / r->n_dbps;
    }
    return sig;
}

Demodulated demodulate(const std::vector<cd>& x, const Sync& s, const Channel& h, const RateInfo& rate, int symbols,
                       ForwardFft& fft, double drift) {
    Demodulated d;
    demodulate_into(x, s, h, rate, symbols, fft, drift, d);
    return d;
}

void demodulate_into(const std::vector<cd>& x, const Sync& s, const Channel& h, const RateInfo& rate, int symbols,
                     ForwardFft& fft, double drift, Demodulated& d) {
    d.symbols = 0;
    d.evm_db = 0;
    d.residual_hz = 0;
    d.leakage_db.reset();
    const int nb = rate.n_bpsc;
    const double k = nb == 1 ? 1.0 : nb == 2 ? std::sqrt(2.0) : nb == 4 ? std::sqrt(10.0) : std::sqrt(42.0);
    const int64_t data_start = s.t1 + 128 + 80;
    // Every value is written below: the storage of an earlier packet is taken as it is (only a
    // longer packet's extra values are zeroed by the resize).
    d.soft.resize(static_cast<size_t>(symbols) * static_cast<size_t>(rate.n_cbps));
    double* out = d.soft.data();
    DemapTaps taps;
    // The data subcarriers without signal: demap leaves their soft bits alone, they are set to 0.
    int dead[48], live[48];
    int n_dead = 0, n_live = 0;
    for (size_t t = 0; t < 48; ++t) {
        const size_t i = static_cast<size_t>(data_subcarriers()[t] + 26);
        const double g = std::norm(h.h[i]);
        const cd inv = g > 0 ? 1.0 / h.h[i] : cd(0, 0);
        taps.i[t] = static_cast<int32_t>(i);
        taps.inv_re[t] = inv.real();
        taps.inv_im[t] = inv.imag();
        taps.g[t] = g > 0 ? g : 0.0;
        taps.g_k[t] = taps.g[t] / k;
        if (!(taps.g[t] > 0))
            dead[n_dead++] = static_cast<int>(t);
        else
            live[n_live++] = static_cast<int>(t);
    }
    // Each symbol's subcarriers are written straight into d.spectra (no copy): the elements an
    // earlier packet left are overwritten as they are (the resize zeroes only those beyond them).
    if (d.spectra.size() < static_cast<size_t>(std::max(symbols, 0))) d.spectra.resize(static_cast<size_t>(symbols));
    double err = 0, ref = 0;
    cd dc_sum = 0;
    double band_power = 0;
    std::vector<double> phases;
    phases.reserve(static_cast<size_t>(std::max(symbols, 0)));
    double unwrapped = 0;
    for (int n = 0; n < symbols; ++n) {
        const int64_t window = data_start + int64_t{80} * n + 16 - kBackoff;
        if (window + 64 > static_cast<int64_t>(x.size())) break;
        std::array<cd, 53>& got = d.spectra[static_cast<size_t>(n)];
        subcarriers_into(x, s, window, fft, got);
        std::array<cd, 53> drifted;  // set where used
        if (drift != 0) {
            // The long training field's centre lies 2.4 symbols before DATA symbol 0.
            drifted = got;
            const double b = drift * (n + 2.4);
            for (int j = -26; j <= 26; ++j) drifted[static_cast<size_t>(j + 26)] *= std::polar(1.0, -b * j);
        }
        const std::array<cd, 53>& y = drift != 0 ? drifted : got;
        dc_sum += y[26];
        // The powers side by side, then summed in subcarrier order as one at a time.
        double power[53];
        subcarrier_powers(y, power);
        for (size_t i = 0; i < 26; ++i) band_power += power[i];
        for (size_t i = 27; i < 53; ++i) band_power += power[i];
        const double th = pilot_phase(y, h, pilot_polarity(n + 1));
        double dth = th - (phases.empty() ? 0.0 : unwrapped);
        dth -= 2 * kPi * std::round(dth / (2 * kPi));
        unwrapped = phases.empty() ? th : unwrapped + dth;
        phases.push_back(unwrapped);
        const cd corr = std::polar(1.0, -th);
        for (int j = 0; j < n_dead; ++j) std::fill_n(out + dead[j] * nb, nb, 0.0);
        switch (nb) {
        case 1: out = demap_symbol<1>(y, taps, corr, k, live, n_live, out, err, ref); break;
        case 2: out = demap_symbol<2>(y, taps, corr, k, live, n_live, out, err, ref); break;
        case 4: out = demap_symbol<4>(y, taps, corr, k, live, n_live, out, err, ref); break;
        default: out = demap_symbol<6>(y, taps, corr, k, live, n_live, out, err, ref); break;
        }
        ++d.symbols;
    }
    d.soft.resize(static_cast<size_t>(d.symbols) * static_cast<size_t>(rate.n_cbps));
    d.spectra.resize(static_cast<size_t>(d.symbols));
    if (d.symbols > 0 && band_power > 0) {
        const double sym = static_cast<double>(d.symbols);
        d.leakage_db = 10.0 * std::log10(std::max(std::norm(dc_sum / sym) / (band_power / sym), 1e-30));
    }
    d.evm_db = ref > 0 ? 10.0 * std::log10(std::max(err / ref, 1e-30)) : 0.0;
    if (phases.size() >= 2) {
        const double n = static_cast<double>(phases.size());
        const double mt = (n - 1) / 2.0, mp = std::accumulate(phases.begin(), phases.end(), 0.0) / n;
        double sxy = 0, sxx = 0;
        for (size_t i = 0; i < phases.size(); ++i) {
            sxy += (static_cast<double>(i) - mt) * (phases[i] - mp);
            sxx += (static_cast<double>(i) - mt) * (static_cast<double>(i) - mt);
        }
        d.residual_hz = sxy / sxx / (2.0 * kPi * 80.0 / kBaseRateHz);
    }
}

}  // namespace orv::analysis::rx
