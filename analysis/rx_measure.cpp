// Impairment measurements of one received packet (see rx_measure.h for the model).
#include "rx_measure.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace orv::analysis::rx {

namespace {
constexpr double kPi = std::numbers::pi;
constexpr int kUsed = 53;  // subcarriers -26..26, index k + 26
constexpr int kMaxRounds = 30;
constexpr size_t kRoundSymbols = 48;  // symbols the rounds of fits run on
constexpr double kSettled = 1e-4;  // radians (at the outer subcarriers), the fits' last change

size_t at(int k) { return static_cast<size_t>(k + 26); }

bool is_pilot(int k) { return k == -21 || k == -7 || k == 7 || k == 21; }

// 17.3.5.4: the DATA bits scrambled from state7; the six tail bits after LENGTH set to zero again.
std::vector<uint8_t> scrambled_bits(const std::vector<uint8_t>& psdu, int state7, size_t total) {
    std::vector<uint8_t> b(total, 0);
    for (size_t i = 0; i < psdu.size() && 16 + 8 * i + 7 < total; ++i)
        for (int j = 0; j < 8; ++j) b[16 + 8 * i + static_cast<size_t>(j)] = (psdu[i] >> j) & 1;
    int x[8];
    for (int i = 1; i <= 7; ++i) x[i] = (state7 >> (7 - i)) & 1;
    for (uint8_t& v : b) {
        const int s = x[7] ^ x[4];
        for (int j = 7; j > 1; --j) x[j] = x[j - 1];
        x[1] = s;
        v = static_cast<uint8_t>(v ^ s);
    }
    for (size_t i = 16 + 8 * psdu.size(); i < 16 + 8 * psdu.size() + 6 && i < total; ++i) b[i] = 0;
    return b;
}

// 17.3.5.5 and 17.3.5.6: the rate-1/2 code (133, 171 octal), punctured to the rate's code rate.
std::vector<uint8_t> coded_bits(const std::vector<uint8_t>& u, int mbps) {
    const bool r34 = mbps == 9 || mbps == 18 || mbps == 36 || mbps == 54, r23 = mbps == 48;
    std::vector<uint8_t> out;
    out.reserve(2 * u.size());
    unsigned reg = 0;  // newest bit in bit 0
    for (size_t i = 0; i < u.size(); ++i) {
        reg = ((reg << 1) | u[i]) & 0x7F;
        const uint8_t a = static_cast<uint8_t>(__builtin_parity(reg & 0x6D)), b = static_cast<uint8_t>(__builtin_parity(reg & 0x4F));
        const size_t ph = r34 ? i % 3 : r23 ? i % 2 : 0;
        if (!(r34 && ph == 2)) out.push_back(a);
        if (!((r34 && ph == 1) || (r23 && ph == 1))) out.push_back(b);
    }
    return out;
}

// The model's value at subcarrier k of symbol n without the symbol's phase terms.
cd model(const std::array<cd, kUsed>& g1, const std::array<cd, kUsed>& g2, const std::vector<cd>& xs, int k) {
    return g1[at(k)] * xs[at(k)] + g2[at(k)] * std::conj(xs[at(-k)]);
}

// Per DATA symbol: the received subcarriers, the transmitted (or decided) values, and the fitted phase terms.
struct Symbol {
    std::array<cd, kUsed> y{};
    std::vector<cd> x = std::vector<cd>(kUsed);
    double a = 0, b = 0;
};

// The symbol's subcarriers with its phase terms removed: y(k) exp(-j (a + b k)).
std::array<cd, kUsed> derotated(const Symbol& s) {
    std::array<cd, kUsed> r{};
    const cd step = std::polar(1.0, -s.b);
    cd w = std::polar(1.0, -(s.a - 26.0 * s.b));
    for (int k = -26; k <= 26; ++k, w *= step) r[at(k)] = s.y[at(k)] * w;
    return r;
}

// The symbol's common phase a and phase slope b (radians per subcarrier) against the model:
// the slope from the phase steps between neighbouring subcarriers, the phase from the sum, then
// one weighted least-squares step of both on the phases left (the first two are noisier).
void fit_phase(Symbol& s, const std::array<cd, kUsed>& g1, const std::array<cd, kUsed>& g2) {
    std::array<cd, kUsed> z{};
    for (int k = -26; k <= 26; ++k)
        if (k) z[at(k)] = s.y[at(k)] * std::conj(model(g1, g2, s.x, k));
    cd d = 0;
    for (int k = -26; k < 26; ++k) d += z[at(k + 1)] * std::conj(z[at(k)]);
    s.b = std::arg(d);
    const cd step = std::polar(1.0, -s.b);
    cd rot = std::polar(1.0, 26.0 * s.b);
    cd c = 0;
    for (int k = -26; k <= 26; ++k, rot *= step) {
        z[at(k)] *= rot;
        c += z[at(k)];
    }
    s.a = std::arg(c);
    const cd back = std::polar(1.0, -s.a);
    double w = 0, wk = 0, wkk = 0, wp = 0, wkp = 0;
    for (int k = -26; k <= 26; ++k) {
        const double m = std::sqrt(std::norm(z[at(k)]));  // |z| without hypot's care for overflow
        if (!(m > 0)) continue;
        const double ph = std::arg(z[at(k)] * back);
        w += m, wk += m * k, wkk += m * k * k, wp += m * ph, wkp += m * k * ph;
    }
    const double det = w * wkk - wk * wk;
    if (det > 0) {
        s.a += (wkk * wp - wk * wkp) / det;
        s.b += (w * wkp - wk * wp) / det;
    }
}

// The image ratio G2 / G1 over the data subcarriers, weighted by the channel's power.
cd image_ratio(const std::array<cd, kUsed>& g1, const std::array<cd, kUsed>& g2) {
    cd num = 0;
    double den = 0;
    for (int k : data_subcarriers()) {
        num += g2[at(k)] * std::conj(g1[at(k)]);
        den += std::norm(g1[at(k)]);
    }
    return den > 0 ? num / den : cd(0);
}

// Least squares of the channel G1 and the image G2 over the symbols (with_image: both on the data
// subcarriers; a pilot's image, always the same multiple of it, takes the data subcarriers' ratio).
void fit_channel(const std::vector<Symbol>& sy, bool with_image, std::array<cd, kUsed>& g1, std::array<cd, kUsed>& g2) {
    std::vector<std::array<cd, kUsed>> rs;
    rs.reserve(sy.size());
    for (const Symbol& s : sy) rs.push_back(derotated(s));
    for (int k = -26; k <= 26; ++k) {
        if (!k || is_pilot(k)) continue;
        double uu = 0, vv = 0;
        cd uv = 0, ur = 0, vr = 0;
        for (size_t i = 0; i < sy.size(); ++i) {
            const Symbol& s = sy[i];
            const cd r = rs[i][at(k)];
            const cd u = s.x[at(k)], v = std::conj(s.x[at(-k)]);
            uu += std::norm(u);
            vv += std::norm(v);
            uv += std::conj(u) * v;
            ur += std::conj(u) * r;
            vr += std::conj(v) * r;
        }
        const double det = uu * vv - std::norm(uv);
        if (with_image && det > 1e-6 * uu * vv) {
            g1[at(k)] = (vv * ur - uv * vr) / det;
            g2[at(k)] = (uu * vr - std::conj(uv) * ur) / det;
        } else {
            g1[at(k)] = uu > 0 ? ur / uu : cd(0);
            g2[at(k)] = 0;
        }
    }
    const cd rho = with_image ? image_ratio(g1, g2) : cd(0);
    for (int k : kPilotSubcarriers) {
        cd num = 0, den = 0;
        for (size_t i = 0; i < sy.size(); ++i) {
            const cd u = sy[i].x[at(k)], w = u + rho * std::conj(sy[i].x[at(-k)]);
            num += std::conj(u) * rs[i][at(k)];
            den += std::conj(u) * w;
        }
        g1[at(k)] = std::abs(den) > 0 ? num / den : cd(0);
        g2[at(k)] = rho * g1[at(k)];
    }
}

// The symbols' subcarriers and reference values: known points, or decisions equalised by h and the pilots.
// spectra: the symbols' subcarriers already computed (nullptr: by the FFT here).
std::vector<Symbol> collect(const std::vector<cd>& x, const Sync& s, const Channel& h, const RateInfo& rate, int symbols,
                            const std::vector<cd>* known, ForwardFft& fft, const std::vector<std::array<cd, kUsed>>* spectra) {
    std::vector<Symbol> sy;
    const int64_t data_start = s.t1 + 128 + 80;
    for (int n = 0; n < symbols; ++n) {
        const int64_t window = data_start + int64_t{80} * n + 16 - kBackoff;
        if (window + 64 > static_cast<int64_t>(x.size())) break;
        Symbol m;
        const size_t i_sym = static_cast<size_t>(n);
        m.y = spectra && i_sym < spectra->size() ? (*spectra)[i_sym] : subcarriers(x, s, window, fft);
        const int pol = pilot_polarity(n + 1);
        cd pil = 0;
        for (int p = 0; p < 4; ++p) {
            m.x[at(kPilotSubcarriers[p])] = static_cast<double>(kPilotSigns[p] * pol);
            pil += m.y[at(kPilotSubcarriers[p])] * std::conj(h.h[at(kPilotSubcarriers[p])]) * static_cast<double>(kPilotSigns[p] * pol);
        }
        const cd corr = std::abs(pil) > 0 ? std::conj(pil) / std::abs(pil) : cd(1);
        size_t i = 0;
        for (int k : data_subcarriers()) {
            if (known) m.x[at(k)] = (*known)[static_cast<size_t>(n) * 48 + i++];
            else m.x[at(k)] = std::norm(h.h[at(k)]) > 0 ? slice(m.y[at(k)] / h.h[at(k)] * corr, rate.n_bpsc, nullptr) : cd(0);
        }
        sy.push_back(std::move(m));
    }
    return sy;
}

// The decisions again, equalised by the fitted channel and each symbol's phase terms (a timing
// drift the first decisions did not follow tilts the outer subcarriers of the later symbols).
void redecide(std::vector<Symbol>& sy, const std::array<cd, kUsed>& g1, int n_bpsc) {
    for (Symbol& m : sy) {
        const std::array<cd, kUsed> r = derotated(m);
        for (int k : data_subcarriers())
            if (std::norm(g1[at(k)]) > 0) m.x[at(k)] = slice(r[at(k)] / g1[at(k)], n_bpsc, nullptr);
    }
}

// Alternating fits of the phase terms and the channel until the phases settle (an IQ image in
// the long training field's estimate takes a few rounds to leave them); decide_bpsc: decisions
// made again each round with that many bits per subcarrier, 0 for known points. A phase or slope
// common to every symbol moves between them and the channel freely and does not count.
void settle(std::vector<Symbol>& sy, bool with_image, int decide_bpsc, std::array<cd, kUsed>& g1,
            std::array<cd, kUsed>& g2) {
    std::vector<double> da(sy.size()), db(sy.size());
    const double n = static_cast<double>(sy.size());
    for (int iter = 0; iter < kMaxRounds; ++iter) {
        double ma = 0, mb = 0;
        for (size_t i = 0; i < sy.size(); ++i) {
            const double a0 = sy[i].a, b0 = sy[i].b;
            fit_phase(sy[i], g1, g2);
            da[i] = std::remainder(sy[i].a - a0, 2.0 * kPi), db[i] = sy[i].b - b0;
            ma += da[i] / n, mb += db[i] / n;
        }
        double change = 0;
        for (size_t i = 0; i < sy.size(); ++i) change = std::max({change, std::abs(da[i] - ma), 26.0 * std::abs(db[i] - mb)});
        if (iter > 0 && change < kSettled) break;
        if (decide_bpsc && iter > 0) redecide(sy, g1, decide_bpsc);
        fit_channel(sy, with_image, g1, g2);
    }
}

// Slope of v against its index (least squares).
double trend(const std::vector<double>& v) {
    const double n = static_cast<double>(v.size()), mt = (n - 1) / 2.0;
    double mv = 0;
    for (double e : v) mv += e / n;
    double sxy = 0, sxx = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        sxy += (static_cast<double>(i) - mt) * (v[i] - mv);
        sxx += (static_cast<double>(i) - mt) * (static_cast<double>(i) - mt);
    }
    return sxx > 0 ? sxy / sxx : 0.0;
}

// RMS of v about its straight-line fit.
double detrended_rms(const std::vector<double>& v) {
    const double n = static_cast<double>(v.size()), mt = (n - 1) / 2.0, slope = trend(v);
    double mv = 0;
    for (double e : v) mv += e / n;
    double ss = 0;
    for (size_t i = 0; i < v.size(); ++i) ss += std::pow(v[i] - mv - slope * (static_cast<double>(i) - mt), 2);
    return std::sqrt(ss / n);
}

// The taps' least-squares fit (A^H A)^-1 A^H over the 52 used subcarriers, and its noise gains.
// Taps -2..13 (-100 to 650 ns): the 12 unused subcarriers leave some patterns of a longer
// delay line almost unseen, whose least squares would lift the noise a hundredfold and more
// (64-fold at most here).
constexpr int kTapFirst = -2, kTaps = 16;
struct TapFit {
    std::vector<cd> a;           // 53 x kTaps: exp(-j 2 pi k (m + kTapFirst) / 64), row k + 26
    std::vector<cd> pinv;        // kTaps x 53 (row m, column subcarrier k + 26)
    std::array<double, kTaps> var{};  // noise gain of each tap: sum over k of |pinv(m, k)|^2
};

const TapFit& tap_fit() {
    static const TapFit f = [] {
        auto a = [](int k, int m) { return std::polar(1.0, -2.0 * kPi * k * (m + kTapFirst) / 64.0); };
        // [A^H A | I] reduced by Gauss-Jordan elimination (Hermitian positive definite: no pivoting needed).
        std::vector<cd> g(static_cast<size_t>(kTaps * 2 * kTaps));
        auto e = [&](int r, int c) -> cd& { return g[static_cast<size_t>(r * 2 * kTaps + c)]; };
        for (int r = 0; r < kTaps; ++r) {
            for (int c = 0; c < kTaps; ++c)
                for (int k = -26; k <= 26; ++k)
                    if (k) e(r, c) += std::conj(a(k, r)) * a(k, c);
            e(r, kTaps + r) = 1.0;
        }
        for (int p = 0; p < kTaps; ++p) {
            const cd piv = e(p, p);
            for (int c = 0; c < 2 * kTaps; ++c) e(p, c) /= piv;
            for (int r = 0; r < kTaps; ++r) {
                if (r == p) continue;
                const cd f2 = e(r, p);
                for (int c = 0; c < 2 * kTaps; ++c) e(r, c) -= f2 * e(p, c);
            }
        }
        TapFit t;
        t.a.resize(static_cast<size_t>(kUsed * kTaps));
        for (int k = -26; k <= 26; ++k)
            for (int m = 0; m < kTaps; ++m) t.a[at(k) * kTaps + static_cast<size_t>(m)] = k ? a(k, m) : cd(0);
        t.pinv.assign(static_cast<size_t>(kTaps * kUsed), 0.0);
        for (int m = 0; m < kTaps; ++m) {
            for (int k = -26; k <= 26; ++k) {
                if (!k) continue;
                cd acc = 0;
                for (int j = 0; j < kTaps; ++j) acc += e(m, kTaps + j) * std::conj(a(k, j));
                t.pinv[static_cast<size_t>(m * kUsed) + at(k)] = acc;
                t.var[static_cast<size_t>(m)] += std::norm(acc);
            }
        }
        return t;
    }();
    return f;
}

// The taps of h advanced by shift samples, least squares; returns the fit's residual power.
double fit_taps(const std::array<cd, kUsed>& h, double shift, std::array<cd, kTaps>& taps) {
    const TapFit& f = tap_fit();
    std::array<cd, kUsed> hs{};
    for (int k = -26; k <= 26; ++k) hs[at(k)] = h[at(k)] * std::polar(1.0, 2.0 * kPi * k * shift / 64.0);
    for (int m = 0; m < kTaps; ++m) {
        taps[static_cast<size_t>(m)] = 0;
        for (int k = -26; k <= 26; ++k) taps[static_cast<size_t>(m)] += f.pinv[static_cast<size_t>(m * kUsed) + at(k)] * hs[at(k)];
    }
    double resid = 0;
    for (int k = -26; k <= 26; ++k) {
        if (!k) continue;
        cd fit = 0;
        for (int m = 0; m < kTaps; ++m) fit += taps[static_cast<size_t>(m)] * f.a[at(k) * kTaps + static_cast<size_t>(m)];
        resid += std::norm(hs[at(k)] - fit);
    }
    return resid;
}
}  // namespace

cd map_point(const uint8_t* bits, int n_bpsc) {
    static const double l16[4] = {-3, -1, 3, 1};                   // b0 b1: 00 01 10 11
    static const double l64[8] = {-7, -5, -1, -3, 7, 5, 1, 3};     // b0 b1 b2: 000 .. 111
    switch (n_bpsc) {
    case 1: return {bits[0] ? 1.0 : -1.0, 0.0};
    case 2: return cd(bits[0] ? 1.0 : -1.0, bits[1] ? 1.0 : -1.0) / std::sqrt(2.0);
    case 4: return cd(l16[bits[0] * 2 + bits[1]], l16[bits[2] * 2 + bits[3]]) / std::sqrt(10.0);
    default: return cd(l64[bits[0] * 4 + bits[1] * 2 + bits[2]], l64[bits[3] * 4 + bits[4] * 2 + bits[5]]) / std::sqrt(42.0);
    }
}

std::vector<cd> transmitted_points(const std::vector<uint8_t>& psdu, int scrambler_init, const RateInfo& rate,
                                   int symbols) {
    const size_t n_data = static_cast<size_t>(symbols) * static_cast<size_t>(rate.n_dbps);
    const std::vector<uint8_t> coded = coded_bits(scrambled_bits(psdu, scrambler_init, n_data), rate.mbps);
    std::vector<cd> out;
    out.reserve(static_cast<size_t>(symbols) * 48);
    std::vector<uint8_t> sym(static_cast<size_t>(rate.n_cbps));
    std::vector<size_t> pos(static_cast<size_t>(rate.n_cbps));
    for (int k = 0; k < rate.n_cbps; ++k) pos[static_cast<size_t>(k)] = static_cast<size_t>(interleave_position(k, rate.n_cbps, rate.n_bpsc));
    for (int n = 0; n < symbols; ++n) {
        const size_t base = static_cast<size_t>(n) * static_cast<size_t>(rate.n_cbps);
        for (size_t k = 0; k < pos.size(); ++k) sym[pos[k]] = base + k < coded.size() ? coded[base + k] : 0;
        for (int i = 0; i < 48; ++i) out.push_back(map_point(sym.data() + static_cast<size_t>(i * rate.n_bpsc), rate.n_bpsc));
    }
    return out;
}

void iq_from_image_ratio(cd rho, double* gain_db, double* phase_deg) {
    // |y|^2 as a quadratic form in (I, Q) is invariant to a gain and phase after the imbalance:
    // its trace gives A_I^2 + A_Q^2, its off-diagonal sin(phi), its diagonal difference cos(phi) (A_I^2 - A_Q^2).
    const double t = 1.0 + std::norm(rho);
    const double sin_phi = std::clamp(-2.0 * rho.imag() / t, -1.0, 1.0);
    const double cos_phi = std::sqrt(1.0 - sin_phi * sin_phi);
    const double th = std::clamp(2.0 * rho.real() / (t * std::max(cos_phi, 1e-12)), -0.999999, 0.999999);
    *gain_db = 20.0 / std::log(10.0) * std::atanh(th);
    *phase_deg = std::asin(sin_phi) * 180.0 / kPi;
}

std::optional<double> rms_delay_spread_s(const std::array<cd, 53>& h, double noise_var) {
    // A path between two samples spreads over its neighbours on the taps' grid: the profile is
    // taken at the fraction of a sample (steps of 0.05) where the taps fit h best, when that
    // fit is better than at the grid itself by more than the noise explains.
    std::array<cd, kTaps> taps{}, best{};
    const double at_grid = fit_taps(h, 0.0, best);
    double energy = 0;
    for (const cd& v : h) energy += std::norm(v);
    double least = at_grid;
    const double needed = 8.0 * std::sqrt(27.0) * noise_var + 1e-9 * energy;
    for (int step = -10; step < 10 && at_grid > needed; ++step) {
        const double r = step ? fit_taps(h, 0.05 * step, taps) : at_grid;
        if (r < least && at_grid - r > needed) least = r, best = taps;
    }
    const TapFit& f = tap_fit();
    double p0 = 0, p1 = 0, p2 = 0;
    for (int m = 0; m < kTaps; ++m) {
        const double p = std::max(std::norm(best[static_cast<size_t>(m)]) - noise_var * f.var[static_cast<size_t>(m)], 0.0);
        const double t = static_cast<double>(m + kTapFirst) / kBaseRateHz;
        p0 += p;
        p1 += p * t;
        p2 += p * t * t;
    }
    if (!(p0 > 0)) return std::nullopt;
    return std::sqrt(std::max(p2 / p0 - (p1 / p0) * (p1 / p0), 0.0));
}

Impairments measure_impairments(const std::vector<cd>& x, const Sync& s, const Channel& h, const RateInfo& rate,
                                int symbols, const std::vector<cd>* known, ForwardFft& fft, int os,
                                const std::vector<std::array<cd, kUsed>>* spectra) {
    Impairments out;
    std::vector<Symbol> sy = collect(x, s, h, rate, symbols, known, fft, spectra);
    const int n = static_cast<int>(sy.size());
    if (n < kMinSymbols) return out;
    const bool with_image = n >= kMinSymbolsIq;
    std::array<cd, kUsed> g1 = h.h, g2{};
    // The rounds run on at most kRoundSymbols symbols spread over the packet; one more round
    // over all of them follows.
    if (sy.size() <= kRoundSymbols) {
        settle(sy, with_image, known ? 0 : rate.n_bpsc, g1, g2);
    } else {
        std::vector<Symbol> few;
        const size_t stride = (sy.size() + kRoundSymbols - 1) / kRoundSymbols;
        for (size_t i = 0; i < sy.size(); i += stride) few.push_back(sy[i]);
        settle(few, with_image, known ? 0 : rate.n_bpsc, g1, g2);
        for (Symbol& m : sy) fit_phase(m, g1, g2);
        if (!known) redecide(sy, g1, rate.n_bpsc);
        fit_channel(sy, with_image, g1, g2);
        for (Symbol& m : sy) fit_phase(m, g1, g2);
    }
    // Error and signal power on the data subcarriers, the fitted parameters' share of the error restored.
    double err = 0, sig = 0, pow_all = 0;
    for (const Symbol& m : sy) {
        const std::array<cd, kUsed> r = derotated(m);
        for (int k = -26; k <= 26; ++k) {
            if (!k) continue;
            const cd e = r[at(k)] - model(g1, g2, m.x, k);
            pow_all += std::norm(model(g1, g2, m.x, k));
            if (is_pilot(k)) continue;
            err += std::norm(e);
            sig += std::norm(g1[at(k)] * m.x[at(k)]);
        }
    }
    const double nd = static_cast<double>(n);
    const double dof = nd - (with_image ? 2.0 : 1.0) - nd / 52.0;
    const double noise = dof > 0 ? err / (48.0 * dof) : err / (48.0 * nd);  // per subcarrier
    if (noise > 0 && sig > 0) out.snr_db = 10.0 * std::log10(sig / (48.0 * nd) / noise) - 10.0 * std::log10(64.0 / 52.0);
    if (with_image) {
        double g = 0, ph = 0;
        iq_from_image_ratio(image_ratio(g1, g2), &g, &ph);
        out.iq_gain_db = g;
        out.iq_phase_deg = ph;
    }
    // The timing slope grows by 2 pi 80 d / 64 radians per subcarrier and symbol when the
    // transmitter's clock is d fast (its symbols arrive progressively earlier).
    std::vector<double> a(static_cast<size_t>(n)), b(static_cast<size_t>(n));
    double unwrapped = sy[0].a;
    for (int i = 0; i < n; ++i) {
        if (i) unwrapped += std::remainder(sy[static_cast<size_t>(i)].a - sy[static_cast<size_t>(i - 1)].a, 2.0 * kPi);
        a[static_cast<size_t>(i)] = unwrapped;
        b[static_cast<size_t>(i)] = sy[static_cast<size_t>(i)].b;
    }
    out.clock_ppm = trend(b) * 64.0 / (2.0 * kPi * 80.0) * 1e6;
    // The common phase's own estimation noise, noise / (2 x received power of the symbol), is removed.
    const double est_var = pow_all > 0 ? noise / (2.0 * pow_all / nd) : 0.0;
    const double rms = detrended_rms(a);
    out.cpe_rms_deg = std::sqrt(std::max(rms * rms - est_var, 0.0)) * 180.0 / kPi;
    // The channel at the long training field's timing (its centre 2.4 symbols before DATA symbol 0):
    // the slope the fit left in G1 (its reference is free) and the drift up to there returned;
    // its delays counted from the first path (the taps fitted start just ahead of it).
    double mean_b = 0;
    for (double v : b) mean_b += v / nd;
    const double delta = mean_b - trend(b) * ((nd - 1) / 2.0 + 2.4);
    std::array<cd, kUsed> ch = g1;
    for (int k = -26; k <= 26; ++k) {
        const double lp = front_end_gain(os, k * kBaseRateHz / 64.0 + s.cfo_hz);
        const double to_first = -2.0 * kPi * k * static_cast<double>(s.t1 - s.first_path) / 64.0;
        ch[at(k)] *= std::polar(1.0, delta * k + to_first) / (lp > 1e-3 ? lp : 1.0);
    }
    if (const auto tau = rms_delay_spread_s(ch, noise / nd)) out.delay_spread_ns = *tau * 1e9;
    return out;
}

}  // namespace orv::analysis::rx
