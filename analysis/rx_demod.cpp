// SIGNAL field and DATA demodulation of the packet receiver (17.3.4, 17.3.5.7 to 17.3.5.9).
#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>

#include "rx.h"

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
// Per data subcarrier: its index, the channel's inverse and power (0: no signal there), and
// the power over the modulation's scale k (the soft bits' weight).
struct Tap {
    size_t i;
    cd inv;
    double g, g_k;
};

// One symbol's data subcarriers y, equalised by the taps and the pilots' phase correction corr,
// as NB max-log soft bits each from out on (returns the end); their squared error against the
// nearest points added to err in subcarrier order, their count to ref. k: the modulation's scale
// to unit level spacing 2.
template <int NB>
double* demap_symbol(const std::array<cd, 53>& y, const std::array<Tap, 48>& taps, cd corr, double k, double* out,
                     double& err, double& ref) {
    constexpr int axis_levels = NB == 1 ? 2 : 1 << (NB / 2);
    // Each subcarrier's squared error, divided by k^2 in a loop of its own (the divisions side by
    // side), then summed in subcarrier order.
    std::array<double, 48> sq;
    for (size_t t = 0; t < 48; ++t) {
        const Tap& tap = taps[t];
        double* b = out + t * NB;
        sq[t] = 0;
        if (!(tap.g > 0)) continue;
        const cd z = mul(mul(y[tap.i], tap.inv), corr);
        if constexpr (NB == 1) {
            sq[t] = std::norm(z - cd(nearest_level(z.real(), 2), 0.0));
            b[0] = tap.g * z.real();
        } else {
            const double zi = z.real() * k, zq = z.imag() * k;
            const double ei = zi - nearest_level(zi, axis_levels), eq = zq - nearest_level(zq, axis_levels);
            sq[t] = ei * ei + eq * eq;
            axis_soft(zi, NB / 2, tap.g_k, b);
            axis_soft(zq, NB / 2, tap.g_k, b + NB / 2);
        }
    }
    if constexpr (NB != 1) {
        const double kk = k * k;
        for (double& v : sq) v /= kk;
    }
    double e = err, r = ref;
    for (size_t t = 0; t < 48; ++t) {
        if (!(taps[t].g > 0)) continue;
        e += sq[t];
        r += 1.0;
    }
    err = e, ref = r;
    return out + 48 * NB;
}
}  // namespace

SignalField decode_signal(const std::vector<cd>& x, const Sync& s, const Channel& h, ForwardFft& fft) {
    const std::array<cd, 53> y = subcarriers(x, s, s.t1 + 128 + 16 - kBackoff, fft);
    const cd corr = std::polar(1.0, -pilot_phase(y, h, pilot_polarity(0)));
    std::vector<double> rx;
    for (int sc : data_subcarriers()) {
        const size_t i = static_cast<size_t>(sc + 26);
        rx.push_back((y[i] * std::conj(h.h[i]) * corr).real());
    }
    const std::vector<int> bits = viterbi_decode(deinterleave(rx, 48, 1), false);
    SignalField sig;
    for (int i = 0; i < 4; ++i) sig.rate_bits += static_cast<char>('0' + bits[static_cast<size_t>(i)]);
    sig.reserved_ok = bits[4] == 0;
    for (int i = 0; i < 12; ++i) sig.length |= bits[static_cast<size_t>(5 + i)] << i;
    int par = 0;
    for (int i = 0; i < 18; ++i) par ^= bits[static_cast<size_t>(i)];
    sig.parity_ok = par == 0;
    sig.tail_ok = std::all_of(bits.begin() + 18, bits.end(), [](int b) { return b == 0; });
    if (const RateInfo* r = rate_by_bits(sig.rate_bits)) {
        sig.rate_mbps = r->mbps;
        sig.data_symbols = (16 + 8 * sig.length + 6 + r->n_dbps - 1) / r->n_dbps;
    }
    return sig;
}

Demodulated demodulate(const std::vector<cd>& x, const Sync& s, const Channel& h, const RateInfo& rate, int symbols,
                       ForwardFft& fft, double drift) {
    Demodulated d;
    const int nb = rate.n_bpsc;
    const double k = nb == 1 ? 1.0 : nb == 2 ? std::sqrt(2.0) : nb == 4 ? std::sqrt(10.0) : std::sqrt(42.0);
    const int64_t data_start = s.t1 + 128 + 80;
    d.soft.assign(static_cast<size_t>(symbols) * static_cast<size_t>(rate.n_cbps), 0.0);
    double* out = d.soft.data();
    std::array<Tap, 48> taps{};
    for (size_t t = 0; t < 48; ++t) {
        const size_t i = static_cast<size_t>(data_subcarriers()[t] + 26);
        const double g = std::norm(h.h[i]);
        taps[t] = {i, g > 0 ? 1.0 / h.h[i] : cd(0, 0), g > 0 ? g : 0.0, (g > 0 ? g : 0.0) / k};
    }
    d.spectra.reserve(static_cast<size_t>(symbols));
    double err = 0, ref = 0;
    cd dc_sum = 0;
    double band_power = 0;
    std::vector<double> phases;
    double unwrapped = 0;
    for (int n = 0; n < symbols; ++n) {
        const int64_t window = data_start + int64_t{80} * n + 16 - kBackoff;
        if (window + 64 > static_cast<int64_t>(x.size())) break;
        std::array<cd, 53> y = subcarriers(x, s, window, fft);
        d.spectra.push_back(y);
        if (drift != 0) {
            // The long training field's centre lies 2.4 symbols before DATA symbol 0.
            const double b = drift * (n + 2.4);
            for (int j = -26; j <= 26; ++j) y[static_cast<size_t>(j + 26)] *= std::polar(1.0, -b * j);
        }
        dc_sum += y[26];
        for (size_t i = 0; i < 53; ++i)
            if (i != 26) band_power += std::norm(y[i]);
        const double th = pilot_phase(y, h, pilot_polarity(n + 1));
        double dth = th - (phases.empty() ? 0.0 : unwrapped);
        dth -= 2 * kPi * std::round(dth / (2 * kPi));
        unwrapped = phases.empty() ? th : unwrapped + dth;
        phases.push_back(unwrapped);
        const cd corr = std::polar(1.0, -th);
        switch (nb) {
        case 1: out = demap_symbol<1>(y, taps, corr, k, out, err, ref); break;
        case 2: out = demap_symbol<2>(y, taps, corr, k, out, err, ref); break;
        case 4: out = demap_symbol<4>(y, taps, corr, k, out, err, ref); break;
        default: out = demap_symbol<6>(y, taps, corr, k, out, err, ref); break;
        }
        ++d.symbols;
    }
    d.soft.resize(static_cast<size_t>(d.symbols) * static_cast<size_t>(rate.n_cbps));
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
    return d;
}

}  // namespace orv::analysis::rx
