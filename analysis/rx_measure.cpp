// Impairment measurements of one received packet (see rx_measure.h for the model).
#include "rx_measure.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <utility>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

namespace orv::analysis::rx {

namespace {
constexpr double kPi = std::numbers::pi;
constexpr int kUsed = 53;  // subcarriers -26..26, index k + 26
constexpr int kMaxRounds = 30;
constexpr size_t kRoundSymbols = 48;  // symbols the rounds of fits run on
constexpr double kSettled = 1e-4;  // radians (at the outer subcarriers), the fits' last change

constexpr size_t at(int k) { return static_cast<size_t>(k + 26); }

constexpr bool is_pilot(int k) { return k == -21 || k == -7 || k == 7 || k == 21; }

// Where the interleaver (17.3.5.6) puts each of a symbol's n_cbps coded bits, n_cbps = 48 n_bpsc
// (n_bpsc 1, 2, 4 or 6); made once per modulation.
const std::vector<uint16_t>& interleaver_positions(int n_cbps, int n_bpsc) {
    static const std::array<std::vector<uint16_t>, 7> t = [] {
        std::array<std::vector<uint16_t>, 7> r;
        for (int nb : {1, 2, 4, 6}) {
            std::vector<uint16_t>& v = r[static_cast<size_t>(nb)];
            for (int k = 0; k < 48 * nb; ++k) v.push_back(static_cast<uint16_t>(interleave_position(k, 48 * nb, nb)));
        }
        return r;
    }();
    static thread_local std::vector<uint16_t> other;
    if (n_bpsc >= 1 && n_bpsc <= 6 && n_cbps == 48 * n_bpsc && !t[static_cast<size_t>(n_bpsc)].empty())
        return t[static_cast<size_t>(n_bpsc)];
    other.clear();
    for (int k = 0; k < n_cbps; ++k) other.push_back(static_cast<uint16_t>(interleave_position(k, n_cbps, n_bpsc)));
    return other;
}

// Where each coded bit of a DATA symbol comes from, in the order the interleaver sends them (bit j
// of data subcarrier i at i n_bpsc + j): the coder's output A (0) or B (1) after which of the
// symbol's N_DBPS data bits (17.3.5.5 to 17.3.5.6). Every symbol has the same pattern: N_DBPS
// holds whole puncturing periods.
struct Source {
    uint16_t d;
    uint8_t b;
};
std::vector<Source> symbol_sources(const RateInfo& rate) {
    const bool r34 = rate.mbps == 9 || rate.mbps == 18 || rate.mbps == 36 || rate.mbps == 54, r23 = rate.mbps == 48;
    const std::vector<uint16_t>& pos = interleaver_positions(rate.n_cbps, rate.n_bpsc);
    std::vector<Source> src(static_cast<size_t>(rate.n_cbps));
    for (int k = 0; k < rate.n_cbps; ++k) {
        Source v{};
        if (r34) {
            static const Source kPeriod[4] = {{0, 0}, {0, 1}, {1, 0}, {2, 1}};  // A0 B0 A1 B2 of three pairs
            v = {static_cast<uint16_t>(3 * (k / 4) + kPeriod[k % 4].d), kPeriod[k % 4].b};
        } else if (r23) {
            static const Source kPeriod[3] = {{0, 0}, {0, 1}, {1, 0}};  // A0 B0 A1 of two pairs
            v = {static_cast<uint16_t>(2 * (k / 3) + kPeriod[k % 3].d), kPeriod[k % 3].b};
        } else {
            v = {static_cast<uint16_t>(k / 2), static_cast<uint8_t>(k % 2)};
        }
        src[pos[static_cast<size_t>(k)]] = v;
    }
    return src;
}
// The same, made once for each of the eight rates.
const std::vector<Source>& sources_of(const RateInfo& rate) {
    static const std::array<std::vector<Source>, 55> t = [] {
        std::array<std::vector<Source>, 55> r;
        for (int mbps : {6, 9, 12, 18, 24, 36, 48, 54})
            if (const RateInfo* ri = rate_by_mbps(mbps)) r[static_cast<size_t>(mbps)] = symbol_sources(*ri);
        return r;
    }();
    static thread_local std::vector<Source> other;
    if (rate.mbps >= 0 && rate.mbps < 55 && t[static_cast<size_t>(rate.mbps)].size() == static_cast<size_t>(rate.n_cbps))
        return t[static_cast<size_t>(rate.mbps)];
    other = symbol_sources(rate);
    return other;
}

// The scrambler's (17.3.5.4) next eight outputs from each state (x1 in bit 6, x7 in bit 0), the
// first in bit 0, and the state after them.
struct ScramblerByte {
    uint8_t out, next;
};
const std::array<ScramblerByte, 128>& scrambler_bytes() {
    static const std::array<ScramblerByte, 128> t = [] {
        std::array<ScramblerByte, 128> r{};
        for (unsigned s0 = 0; s0 < 128; ++s0) {
            unsigned st = s0, out = 0;
            for (unsigned j = 0; j < 8; ++j) {
                const unsigned o = (st ^ (st >> 3)) & 1u;
                st = (st >> 1) | (o << 6);
                out |= o << j;
            }
            r[s0] = {static_cast<uint8_t>(out), static_cast<uint8_t>(st)};
        }
        return r;
    }();
    return t;
}

// The coder's outputs A and B (17.3.5.5, 133 and 171 octal) after each of the n_data DATA bits
// (SERVICE, the PSDU, tail and pad scrambled from state7, the six tail bits zero again; a byte of
// the PSDU only when it fits whole), 64 bits a word, bit i of a word the bit after data bit i:
// words A0 B0 A1 B1 ...
std::vector<uint64_t> coder_words(const std::vector<uint8_t>& psdu, int state7, size_t n_data) {
    const size_t n_bytes = (n_data + 7) / 8, n_words = (n_bytes + 7) / 8;
    const size_t whole = n_data >= 24 ? std::min(psdu.size(), (n_data - 24) / 8 + 1) : 0;
    const std::array<ScramblerByte, 128>& scr = scrambler_bytes();
    // The scrambler's bytes repeat after 127 (its period of 127 bits): walked once, then reused.
    uint8_t seq[127];
    unsigned st = static_cast<unsigned>(state7) & 0x7Fu;
    for (uint8_t& b : seq) b = scr[st].out, st = scr[st].next;
    static thread_local std::vector<uint8_t> held;
    held.assign(8 * n_words, 0);
    uint8_t* const bytes = held.data();  // a plain pointer: the loops below vectorise
    std::copy_n(psdu.data(), whole, bytes + 2);
    for (size_t from = 0; from < n_bytes; from += 127) {
        const size_t n = std::min<size_t>(127, n_bytes - from);
        uint8_t* const to = bytes + from;
        for (size_t i = 0; i < n; ++i) to[i] ^= seq[i];
    }
    if (2 + psdu.size() < n_bytes) bytes[2 + psdu.size()] &= 0xC0u;  // the tail
    std::vector<uint64_t> ab(2 * n_words);
    uint64_t prev = 0;
    for (size_t w = 0; w < n_words; ++w) {
        uint64_t x = 0;  // bytes 8 w .. 8 w + 7, the first in the lowest bits
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        std::memcpy(&x, bytes + 8 * w, 8);
#else
        for (size_t i = 0; i < 8; ++i) x |= static_cast<uint64_t>(bytes[8 * w + i]) << (8 * i);
#endif
        auto back = [&](int k) { return (x << k) | (prev >> (64 - k)); };  // bit i: data bit i - k
        ab[2 * w] = x ^ back(2) ^ back(3) ^ back(5) ^ back(6);
        ab[2 * w + 1] = x ^ back(1) ^ back(2) ^ back(3) ^ back(6);
        prev = x;
    }
    return ab;
}

// The levels of one axis of a Gray-mapped constellation (17.3.5.7) at unit mean power, by the
// axis's bits read as a binary number (first bit most significant); n_bpsc 2, 4 or 6.
struct AxisLevels {
    double qpsk[2], qam16[4], qam64[8];
};
const AxisLevels& axis_levels() {
    static const AxisLevels t = [] {
        static const double l16[4] = {-3, -1, 3, 1};
        static const double l64[8] = {-7, -5, -1, -3, 7, 5, 1, 3};
        AxisLevels a{};
        for (int i = 0; i < 2; ++i) a.qpsk[i] = (i ? 1.0 : -1.0) / std::sqrt(2.0);
        for (int i = 0; i < 4; ++i) a.qam16[i] = l16[i] / std::sqrt(10.0);
        for (int i = 0; i < 8; ++i) a.qam64[i] = l64[i] / std::sqrt(42.0);
        return a;
    }();
    return t;
}

// a b and a conj(b) written out: the products the compiler's complex multiplication gives for
// finite values, without its check for NaN results in every step of the loops below.
inline cd mul(cd a, cd b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}
inline cd mul_conj(cd a, cd b) {
    return {a.real() * b.real() + a.imag() * b.imag(), a.imag() * b.real() - a.real() * b.imag()};
}

// exp(j theta) as std::polar(1.0, theta) gives it, from one sincos: for a negated angle the
// compiler calls sin and cos apart (it takes cos(-x) as cos(x), and the pair no longer matches).
inline cd unit(double theta) {
#if defined(__GLIBC__)
    double s = 0, c = 0;
    ::sincos(theta, &s, &c);
    return {c, s};
#else
    return std::polar(1.0, theta);
#endif
}

// The model's value at subcarrier k of symbol n without the symbol's phase terms.
inline cd model(const std::array<cd, kUsed>& g1, const std::array<cd, kUsed>& g2, const std::array<cd, kUsed>& xs, int k) {
    return mul(g1[at(k)], xs[at(k)]) + mul_conj(g2[at(k)], xs[at(-k)]);
}

// Per DATA symbol: the received subcarriers, the transmitted (or decided) values, and the fitted phase terms.
struct Symbol {
    std::array<cd, kUsed> y{};
    std::array<cd, kUsed> x{};
    double a = 0, b = 0;
};

// The symbols' y and x split into real and imaginary parts, subcarrier by subcarrier: symbol i's
// value at subcarrier index j at j * stride + i (stride: the count of symbols), so four neighbouring
// symbols' values at one subcarrier are one load. Made once per set of symbols, x again after new decisions.
struct SplitSymbols {
    std::vector<double> yre, yim, xre, xim;
    size_t stride = 0;
};

// One part of symbols [from, sy.size()) into re and im (kUsed * sy.size() long) in SplitSymbols' layout.
void split_part_plain(const std::vector<Symbol>& sy, const std::array<cd, kUsed> Symbol::*part, size_t from, double* re,
                      double* im) {
    const size_t n = sy.size();
    for (size_t i = from; i < n; ++i) {
        const std::array<cd, kUsed>& v = sy[i].*part;
        for (size_t j = 0; j < kUsed; ++j) re[j * n + i] = v[j].real(), im[j * n + i] = v[j].imag();
    }
}

// The symbol's subcarriers with its phase terms removed: y(k) exp(-j (a + b k)).
std::array<cd, kUsed> derotated(const Symbol& s) {
    std::array<cd, kUsed> r;  // set in full below
    const cd step = unit(-s.b);
    cd w = unit(-(s.a - 26.0 * s.b));
    for (int k = -26; k <= 26; ++k, w = mul(w, step)) r[at(k)] = mul(s.y[at(k)], w);
    return r;
}

// The symbol's common phase a and phase slope b (radians per subcarrier) against the model:
// the slope from the phase steps between neighbouring subcarriers, the phase from the sum, then
// one weighted least-squares step of both on the phases left (the first two are noisier).
void fit_phase(Symbol& s, const std::array<cd, kUsed>& g1, const std::array<cd, kUsed>& g2) {
    std::array<cd, kUsed> z;  // every element set here (no zeroing first: this runs for every symbol and round)
    for (int k = -26; k <= 26; ++k) z[at(k)] = k ? mul_conj(s.y[at(k)], model(g1, g2, s.x, k)) : cd(0);
    cd d = 0;
    for (int k = -26; k < 26; ++k) d += mul_conj(z[at(k + 1)], z[at(k)]);
    s.b = phase_angle(d.imag(), d.real());
    const cd step = unit(-s.b);
    cd rot = unit(26.0 * s.b);
    cd c = 0;
    for (int k = -26; k <= 26; ++k, rot = mul(rot, step)) {
        z[at(k)] = mul(z[at(k)], rot);
        c += z[at(k)];
    }
    s.a = phase_angle(c.imag(), c.real());
    const cd back = unit(-s.a);
    std::array<double, kUsed> re, im, phase;  // set in full below
    for (size_t i = 0; i < kUsed; ++i) {
        const cd r = mul(z[i], back);
        re[i] = r.real(), im[i] = r.imag();
    }
    // Subcarrier 0 (z = 0, no weight below) left out: atan2's slow path for the origin.
    phase_angles(im.data(), re.data(), at(0), phase.data());
    phase_angles(im.data() + at(1), re.data() + at(1), kUsed - at(1), phase.data() + at(1));
    phase[at(0)] = 0;
    double w = 0, wk = 0, wkk = 0, wp = 0, wkp = 0;
    for (int k = -26; k <= 26; ++k) {
        const double m = std::sqrt(std::norm(z[at(k)]));  // |z| without hypot's care for overflow
        if (!(m > 0)) continue;
        const double ph = phase[at(k)];
        w += m, wk += m * k, wkk += m * k * k, wp += m * ph, wkp += m * k * ph;
    }
    const double det = w * wkk - wk * wk;
    if (det > 0) {
        s.a += (wkk * wp - wk * wkp) / det;
        s.b += (w * wkp - wk * wp) / det;
    }
}

// fit_channel's sums over the symbols for each subcarrier k (index k + 26): |u|^2, |v|^2,
// conj(u) v, conj(u) r and conj(v) r, u = x(k), v = conj(x(-k)), r the derotated y(k).
struct ChannelSums {
    std::array<double, kUsed> uu, vv;
    std::array<cd, kUsed> uv, ur, vr;
};

// The sums of subcarrier indices [from, kUsed) one by one; rs: the symbols' derotated subcarriers.
void channel_sums(const std::vector<Symbol>& sy, const std::vector<std::array<cd, kUsed>>& rs, size_t from, ChannelSums& cs) {
    for (size_t j = from; j < kUsed; ++j) {
        double uu = 0, vv = 0;
        cd uv = 0, ur = 0, vr = 0;
        for (size_t i = 0; i < sy.size(); ++i) {
            const cd r = rs[i][j];
            const cd u = sy[i].x[j], v = std::conj(sy[i].x[kUsed - 1 - j]);
            uu += std::norm(u);
            vv += std::norm(v);
            uv += mul_conj(v, u);  // conj(u) v
            ur += mul_conj(r, u);
            vr += mul_conj(r, v);
        }
        cs.uu[j] = uu, cs.vv[j] = vv, cs.uv[j] = uv, cs.ur[j] = ur, cs.vr[j] = vr;
    }
}

// Per subcarrier index j in [from, kUsed) of one symbol (x its values, r its derotated subcarriers):
// the model's power nv[j], the error's power ne[j] and the channel's share of the signal power ns[j].
void error_terms(const std::array<cd, kUsed>& x, const std::array<cd, kUsed>& r, const std::array<cd, kUsed>& g1,
                 const std::array<cd, kUsed>& g2, size_t from, double* nv, double* ne, double* ns) {
    for (size_t j = from; j < kUsed; ++j) {
        const cd gx = mul(g1[j], x[j]);
        const cd v = gx + mul_conj(g2[j], x[kUsed - 1 - j]), e = r[j] - v;
        nv[j] = std::norm(v), ne[j] = std::norm(e), ns[j] = std::norm(gx);
    }
}

#if defined(__GNUC__) && defined(__x86_64__)
#define ORV_AVX2 __attribute__((target("avx2")))
// Four complex values, one in each lane.
struct V4 {
    __m256d re, im;
};
ORV_AVX2 inline V4 mul4(V4 a, V4 b) {
    return {_mm256_sub_pd(_mm256_mul_pd(a.re, b.re), _mm256_mul_pd(a.im, b.im)),
            _mm256_add_pd(_mm256_mul_pd(a.re, b.im), _mm256_mul_pd(a.im, b.re))};
}
ORV_AVX2 inline V4 mul_conj4(V4 a, V4 b) {
    return {_mm256_add_pd(_mm256_mul_pd(a.re, b.re), _mm256_mul_pd(a.im, b.im)),
            _mm256_sub_pd(_mm256_mul_pd(a.im, b.re), _mm256_mul_pd(a.re, b.im))};
}
ORV_AVX2 inline V4 add4(V4 a, V4 b) { return {_mm256_add_pd(a.re, b.re), _mm256_add_pd(a.im, b.im)}; }
ORV_AVX2 inline V4 load4(const cd* v) {  // v[0..3] into lanes 0..3
    return {_mm256_set_pd(v[3].real(), v[2].real(), v[1].real(), v[0].real()),
            _mm256_set_pd(v[3].imag(), v[2].imag(), v[1].imag(), v[0].imag())};
}
ORV_AVX2 inline V4 broadcast(cd v) { return {_mm256_set1_pd(v.real()), _mm256_set1_pd(v.imag())}; }  // v in every lane
// Four neighbouring symbols' values at one subcarrier from a SplitSymbols part, o the first one's offset.
ORV_AVX2 inline V4 split4(const double* re, const double* im, size_t o) {
    return {_mm256_loadu_pd(re + o), _mm256_loadu_pd(im + o)};
}
ORV_AVX2 inline void store4(V4 a, cd* v) {
    alignas(32) double r[4], i[4];
    _mm256_store_pd(r, a.re);
    _mm256_store_pd(i, a.im);
    for (int l = 0; l < 4; ++l) v[l] = cd(r[l], i[l]);
}

// derotated of four symbols at once, one in each lane (the same values); their subcarriers read
// from sp, sy[0] its symbol first.
ORV_AVX2 void derotated4(const Symbol* const* sy, const SplitSymbols& sp, size_t first, std::array<cd, kUsed>* const* out) {
    const double* const yre = sp.yre.data() + first;  // in locals: the stores below could alias sp's members
    const double* const yim = sp.yim.data() + first;
    const size_t stride = sp.stride;
    cd t[4], u[4];
    for (int l = 0; l < 4; ++l) t[l] = unit(-sy[l]->b), u[l] = unit(-(sy[l]->a - 26.0 * sy[l]->b));
    const V4 step = load4(t);
    V4 w = load4(u);
    size_t i = 0;
    // Two subcarriers a step: each lane's pair of results as one 32-byte store.
    for (; i + 2 <= kUsed; i += 2) {
        const V4 r0 = mul4(split4(yre, yim, i * stride), w);
        w = mul4(w, step);
        const V4 r1 = mul4(split4(yre, yim, (i + 1) * stride), w);
        w = mul4(w, step);
        const __m256d lo0 = _mm256_unpacklo_pd(r0.re, r0.im), hi0 = _mm256_unpackhi_pd(r0.re, r0.im);  // lanes 0 2, 1 3
        const __m256d lo1 = _mm256_unpacklo_pd(r1.re, r1.im), hi1 = _mm256_unpackhi_pd(r1.re, r1.im);
        _mm256_storeu_pd(reinterpret_cast<double*>(&(*out[0])[i]), _mm256_permute2f128_pd(lo0, lo1, 0x20));
        _mm256_storeu_pd(reinterpret_cast<double*>(&(*out[1])[i]), _mm256_permute2f128_pd(hi0, hi1, 0x20));
        _mm256_storeu_pd(reinterpret_cast<double*>(&(*out[2])[i]), _mm256_permute2f128_pd(lo0, lo1, 0x31));
        _mm256_storeu_pd(reinterpret_cast<double*>(&(*out[3])[i]), _mm256_permute2f128_pd(hi0, hi1, 0x31));
    }
    for (; i < kUsed; ++i, w = mul4(w, step)) {
        const V4 r = mul4(split4(yre, yim, i * stride), w);
        const __m256d lo = _mm256_unpacklo_pd(r.re, r.im), hi = _mm256_unpackhi_pd(r.re, r.im);  // lanes 0 2, 1 3
        _mm_storeu_pd(reinterpret_cast<double*>(&(*out[0])[i]), _mm256_castpd256_pd128(lo));
        _mm_storeu_pd(reinterpret_cast<double*>(&(*out[1])[i]), _mm256_castpd256_pd128(hi));
        _mm_storeu_pd(reinterpret_cast<double*>(&(*out[2])[i]), _mm256_extractf128_pd(lo, 1));
        _mm_storeu_pd(reinterpret_cast<double*>(&(*out[3])[i]), _mm256_extractf128_pd(hi, 1));
    }
}

// fit_phase of 4 G symbols at once, one in each lane of G groups of four whose steps interleave
// (each fit is a few long chains of dependent operations): every lane runs the operations of
// fit_phase in its order (the same values); the arguments, sines and cosines lane by lane. The
// symbols' points read from sp, sy[0] its symbol first.
template <int G>
ORV_AVX2 void fit_phase4(Symbol* const* sy, const SplitSymbols& sp, size_t first, const std::array<cd, kUsed>& g1,
                         const std::array<cd, kUsed>& g2) {
    const __m256d zero = _mm256_setzero_pd();
    std::array<std::array<V4, kUsed>, G> z;
    for (int g = 0; g < G; ++g) z[g][at(0)] = {zero, zero};
    const double *const yre = sp.yre.data() + first, *const yim = sp.yim.data() + first;
    const double *const xre = sp.xre.data() + first, *const xim = sp.xim.data() + first;
    // Subcarriers k and -k together: each model takes the points of both, gathered once.
    for (int k = 1; k <= 26; ++k) {
        const V4 c1p = broadcast(g1[at(k)]), c2p = broadcast(g2[at(k)]);
        const V4 c1m = broadcast(g1[at(-k)]), c2m = broadcast(g2[at(-k)]);
        const size_t op = at(k) * sp.stride, om = at(-k) * sp.stride;
        for (size_t g = 0; g < static_cast<size_t>(G); ++g) {
            const V4 xp = split4(xre, xim, op + 4 * g), xm = split4(xre, xim, om + 4 * g);
            z[g][at(k)] = mul_conj4(split4(yre, yim, op + 4 * g), add4(mul4(c1p, xp), mul_conj4(c2p, xm)));
            z[g][at(-k)] = mul_conj4(split4(yre, yim, om + 4 * g), add4(mul4(c1m, xm), mul_conj4(c2m, xp)));
        }
    }
    V4 d[G];
    for (int g = 0; g < G; ++g) d[g] = {zero, zero};
    for (int k = -26; k < 26; ++k)
        for (int g = 0; g < G; ++g) d[g] = add4(d[g], mul_conj4(z[g][at(k + 1)], z[g][at(k)]));
    alignas(32) double a[4 * G], b[4 * G], sre[4 * G], sim[4 * G];  // the arguments of the lanes' sums sre + j sim
    cd t[4 * G], u[4 * G];
    for (int g = 0; g < G; ++g) _mm256_store_pd(sre + 4 * g, d[g].re), _mm256_store_pd(sim + 4 * g, d[g].im);
    phase_angles(sim, sre, 4 * G, b);
    for (int l = 0; l < 4 * G; ++l) t[l] = unit(-b[l]), u[l] = unit(26.0 * b[l]);
    V4 step[G], rot[G], c[G];
    for (int g = 0; g < G; ++g) step[g] = load4(t + 4 * g), rot[g] = load4(u + 4 * g), c[g] = {zero, zero};
    for (int k = -26; k <= 26; ++k)
        for (int g = 0; g < G; ++g) {
            z[g][at(k)] = mul4(z[g][at(k)], rot[g]);
            c[g] = add4(c[g], z[g][at(k)]);
            rot[g] = mul4(rot[g], step[g]);
        }
    for (int g = 0; g < G; ++g) _mm256_store_pd(sre + 4 * g, c[g].re), _mm256_store_pd(sim + 4 * g, c[g].im);
    phase_angles(sim, sre, 4 * G, a);
    for (int l = 0; l < 4 * G; ++l) t[l] = unit(-a[l]);
    // Per group: kUsed subcarriers of four lanes.
    alignas(32) double re[4 * G * kUsed], im[4 * G * kUsed], ph[4 * G * kUsed];
    for (int g = 0; g < G; ++g) {
        const V4 back = load4(t + 4 * g);
        const size_t o = static_cast<size_t>(4 * g) * kUsed;
        for (size_t i = 0; i < kUsed; ++i) {
            const V4 r = mul4(z[g][i], back);
            _mm256_store_pd(re + o + 4 * i, r.re);
            _mm256_store_pd(im + o + 4 * i, r.im);
        }
        // Subcarrier 0 (z = 0, no weight below) left out: atan2's slow path for the origin.
        phase_angles(im + o, re + o, 4 * at(0), ph + o);
        phase_angles(im + o + 4 * at(1), re + o + 4 * at(1), 4 * (kUsed - at(1)), ph + o + 4 * at(1));
        std::fill(ph + o + 4 * at(0), ph + o + 4 * at(1), 0.0);
    }
    // fit_phase skips the subcarriers where m > 0 fails; here their m and phase are set to +0 and
    // every term added: zeros, which leave the sums (from +0, never -0) as they are.
    __m256d w[G], wk[G], wkk[G], wp[G], wkp[G];
    for (int g = 0; g < G; ++g) w[g] = wk[g] = wkk[g] = wp[g] = wkp[g] = zero;
    __m256d kk = _mm256_set1_pd(-26.0);  // k in every lane (whole numbers: the steps exact)
    for (int k = -26; k <= 26; ++k, kk = _mm256_add_pd(kk, _mm256_set1_pd(1.0))) {
        for (int g = 0; g < G; ++g) {
            const V4& zk = z[g][at(k)];
            const __m256d norm = _mm256_sqrt_pd(_mm256_add_pd(_mm256_mul_pd(zk.re, zk.re), _mm256_mul_pd(zk.im, zk.im)));
            const __m256d use = _mm256_cmp_pd(norm, zero, _CMP_GT_OQ);  // the lanes where m > 0
            const __m256d m = _mm256_and_pd(norm, use);
            const __m256d p = _mm256_and_pd(_mm256_load_pd(ph + static_cast<size_t>(4 * g) * kUsed + 4 * at(k)), use);
            const __m256d mk = _mm256_mul_pd(m, kk);
            w[g] = _mm256_add_pd(w[g], m);
            wk[g] = _mm256_add_pd(wk[g], mk);
            wkk[g] = _mm256_add_pd(wkk[g], _mm256_mul_pd(mk, kk));
            wp[g] = _mm256_add_pd(wp[g], _mm256_mul_pd(m, p));
            wkp[g] = _mm256_add_pd(wkp[g], _mm256_mul_pd(mk, p));
        }
    }
    for (int g = 0; g < G; ++g) {
        const __m256d det = _mm256_sub_pd(_mm256_mul_pd(w[g], wkk[g]), _mm256_mul_pd(wk[g], wk[g]));
        const __m256d da = _mm256_div_pd(_mm256_sub_pd(_mm256_mul_pd(wkk[g], wp[g]), _mm256_mul_pd(wk[g], wkp[g])), det);
        const __m256d db = _mm256_div_pd(_mm256_sub_pd(_mm256_mul_pd(w[g], wkp[g]), _mm256_mul_pd(wk[g], wp[g])), det);
        alignas(32) double dav[4], dbv[4];
        _mm256_store_pd(dav, da);
        _mm256_store_pd(dbv, db);
        const int ok = _mm256_movemask_pd(_mm256_cmp_pd(det, zero, _CMP_GT_OQ));
        for (int l = 0; l < 4; ++l) {
            Symbol* one = sy[4 * g + l];
            one->a = a[4 * g + l], one->b = b[4 * g + l];
            if (ok >> l & 1) one->a += dav[l], one->b += dbv[l];
        }
    }
}

// v[0..3] into lanes 0..3 (two 32-byte loads, the lanes paired, then put in order).
ORV_AVX2 inline V4 consecutive4(const cd* v) {
    const __m256d a = _mm256_loadu_pd(reinterpret_cast<const double*>(v));
    const __m256d b = _mm256_loadu_pd(reinterpret_cast<const double*>(v + 2));
    return {_mm256_permute4x64_pd(_mm256_unpacklo_pd(a, b), 0xD8), _mm256_permute4x64_pd(_mm256_unpackhi_pd(a, b), 0xD8)};
}
// v[3..0] into lanes 0..3 (consecutive4 with its lanes reversed in the same permutation).
ORV_AVX2 inline V4 reversed4(const cd* v) {
    const __m256d a = _mm256_loadu_pd(reinterpret_cast<const double*>(v));
    const __m256d b = _mm256_loadu_pd(reinterpret_cast<const double*>(v + 2));
    return {_mm256_permute4x64_pd(_mm256_unpacklo_pd(a, b), 0x27), _mm256_permute4x64_pd(_mm256_unpackhi_pd(a, b), 0x27)};
}

// channel_sums of subcarriers -26..25 four at a time, one in each lane (AVX2: the same operations
// in the same order for each subcarrier, the same values); returns the index it stopped at.
ORV_AVX2 size_t channel_sums4(const std::vector<Symbol>& sy, const std::vector<std::array<cd, kUsed>>& rs, ChannelSums& cs) {
    const __m256d sign = _mm256_set1_pd(-0.0);
    size_t j = 0;
    for (; j + 4 <= kUsed; j += 4) {
        __m256d uu = _mm256_setzero_pd(), vv = uu;
        V4 uv{uu, uu}, ur{uu, uu}, vr{uu, uu};
        for (size_t i = 0; i < sy.size(); ++i) {
            const V4 u = consecutive4(sy[i].x.data() + j), r = consecutive4(rs[i].data() + j);
            const V4 m = reversed4(sy[i].x.data() + (kUsed - 4 - j));  // x(-k)
            const V4 v = {m.re, _mm256_xor_pd(m.im, sign)};
            uu = _mm256_add_pd(uu, _mm256_add_pd(_mm256_mul_pd(u.re, u.re), _mm256_mul_pd(u.im, u.im)));
            vv = _mm256_add_pd(vv, _mm256_add_pd(_mm256_mul_pd(v.re, v.re), _mm256_mul_pd(v.im, v.im)));
            uv = add4(uv, mul_conj4(v, u));
            ur = add4(ur, mul_conj4(r, u));
            vr = add4(vr, mul_conj4(r, v));
        }
        _mm256_storeu_pd(cs.uu.data() + j, uu);
        _mm256_storeu_pd(cs.vv.data() + j, vv);
        store4(uv, cs.uv.data() + j);
        store4(ur, cs.ur.data() + j);
        store4(vr, cs.vr.data() + j);
    }
    return j;
}

// split_part_plain of the symbols four at a time, each four symbols' two neighbouring subcarriers
// as a 4 x 4 transposition (AVX2: the same values); returns the first symbol not split.
ORV_AVX2 size_t split_part4(const std::vector<Symbol>& sy, const std::array<cd, kUsed> Symbol::*part, double* re, double* im) {
    const size_t n = sy.size();
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const double* v[4];
        for (size_t l = 0; l < 4; ++l) v[l] = reinterpret_cast<const double*>((sy[i + l].*part).data());
        size_t j = 0;
        for (; j + 2 <= kUsed; j += 2) {
            const __m256d a0 = _mm256_loadu_pd(v[0] + 2 * j), a1 = _mm256_loadu_pd(v[1] + 2 * j);
            const __m256d a2 = _mm256_loadu_pd(v[2] + 2 * j), a3 = _mm256_loadu_pd(v[3] + 2 * j);
            const __m256d r01 = _mm256_unpacklo_pd(a0, a1), i01 = _mm256_unpackhi_pd(a0, a1);  // subcarriers j, j + 1
            const __m256d r23 = _mm256_unpacklo_pd(a2, a3), i23 = _mm256_unpackhi_pd(a2, a3);
            _mm256_storeu_pd(re + j * n + i, _mm256_permute2f128_pd(r01, r23, 0x20));
            _mm256_storeu_pd(im + j * n + i, _mm256_permute2f128_pd(i01, i23, 0x20));
            _mm256_storeu_pd(re + (j + 1) * n + i, _mm256_permute2f128_pd(r01, r23, 0x31));
            _mm256_storeu_pd(im + (j + 1) * n + i, _mm256_permute2f128_pd(i01, i23, 0x31));
        }
        for (; j < kUsed; ++j) {
            const __m256d p02 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(v[0] + 2 * j)), _mm_loadu_pd(v[2] + 2 * j), 1);
            const __m256d p13 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(v[1] + 2 * j)), _mm_loadu_pd(v[3] + 2 * j), 1);
            _mm256_storeu_pd(re + j * n + i, _mm256_unpacklo_pd(p02, p13));
            _mm256_storeu_pd(im + j * n + i, _mm256_unpackhi_pd(p02, p13));
        }
    }
    return i;
}

ORV_AVX2 inline __m256d norm4(V4 a) { return _mm256_add_pd(_mm256_mul_pd(a.re, a.re), _mm256_mul_pd(a.im, a.im)); }

// g1 and g2 of subcarrier indices 0..51 four at a time, split as error_terms4 reads them (the same
// for every symbol).
struct ChannelQuads {
    V4 g1[kUsed / 4], g2[kUsed / 4];
};
ORV_AVX2 void channel_quads(const std::array<cd, kUsed>& g1, const std::array<cd, kUsed>& g2, ChannelQuads& q) {
    for (size_t j = 0; j + 4 <= kUsed; j += 4) q.g1[j / 4] = consecutive4(g1.data() + j), q.g2[j / 4] = consecutive4(g2.data() + j);
}

// error_terms of subcarrier indices 0..51 four at a time (AVX2: the same operations, the same
// values), the channel as channel_quads split it; returns the index it stopped at.
ORV_AVX2 size_t error_terms4(const std::array<cd, kUsed>& x, const std::array<cd, kUsed>& r, const ChannelQuads& g,
                             double* nv, double* ne, double* ns) {
    size_t j = 0;
    for (; j + 4 <= kUsed; j += 4) {
        const V4 xm = reversed4(x.data() + (kUsed - 4 - j));  // x(-k)
        const V4 gx = mul4(g.g1[j / 4], consecutive4(x.data() + j));
        const V4 v = add4(gx, mul_conj4(g.g2[j / 4], xm));
        const V4 rj = consecutive4(r.data() + j);
        const V4 e = {_mm256_sub_pd(rj.re, v.re), _mm256_sub_pd(rj.im, v.im)};
        _mm256_storeu_pd(nv + j, norm4(v));
        _mm256_storeu_pd(ne + j, norm4(e));
        _mm256_storeu_pd(ns + j, norm4(gx));
    }
    return j;
}
#endif

// One part of every symbol of sy into re and im (resized to kUsed * sy.size()) in SplitSymbols'
// layout; vector: four symbols at a time where the processor has AVX2 (the same values).
void split_part(const std::vector<Symbol>& sy, const std::array<cd, kUsed> Symbol::*part, std::vector<double>& re,
                std::vector<double>& im, bool vector) {
    re.resize(kUsed * sy.size()), im.resize(kUsed * sy.size());
    size_t done = 0;
#if defined(__GNUC__) && defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2 && vector) done = split_part4(sy, part, re.data(), im.data());
#endif
    split_part_plain(sy, part, done, re.data(), im.data());
}

// Both parts of sy into sp (vector as split_part).
void split_symbols(const std::vector<Symbol>& sy, SplitSymbols& sp, bool vector) {
    sp.stride = sy.size();
    split_part(sy, &Symbol::y, sp.yre, sp.yim, vector);
    split_part(sy, &Symbol::x, sp.xre, sp.xim, vector);
}

// fit_phase of every symbol of sy; vector: four at a time where the processor has AVX2, their
// points read from sp (split_symbols of sy).
void fit_phases(std::vector<Symbol>& sy, const SplitSymbols& sp, const std::array<cd, kUsed>& g1,
                const std::array<cd, kUsed>& g2, bool vector) {
    size_t i = 0;
#if defined(__GNUC__) && defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2 && vector) {
        // Two groups of four interleaved; the last one to seven symbols with those before them
        // in a last group of eight, which give the same phases again (each lane's fit depends on
        // its own symbol alone; two groups of four cost more than one of eight).
        for (; i < sy.size() && sy.size() >= 8; i += 8) {
            i = std::min(i, sy.size() - 8);
            Symbol* eight[8];
            for (size_t l = 0; l < 8; ++l) eight[l] = &sy[i + l];
            fit_phase4<2>(eight, sp, i, g1, g2);
        }
        // Fewer than eight: the last one to three in a group with those before them.
        for (; i < sy.size() && sy.size() >= 4; i += 4) {
            i = std::min(i, sy.size() - 4);
            Symbol* four[4] = {&sy[i], &sy[i + 1], &sy[i + 2], &sy[i + 3]};
            fit_phase4<1>(four, sp, i, g1, g2);
        }
    }
#endif
    for (; i < sy.size(); ++i) fit_phase(sy[i], g1, g2);
}

// A buffer for the symbols' derotated subcarriers, kept between packets (no allocation and
// zeroing each time); its size only grows.
std::vector<std::array<cd, kUsed>>& derotation_scratch() {
    static thread_local std::vector<std::array<cd, kUsed>> rs;
    return rs;
}

// derotated of every symbol of sy into rs[0 .. sy.size()) (rs grown when shorter); vector: four
// at a time where the processor has AVX2, their subcarriers read from sp (split_symbols of sy).
void derotate_all(const std::vector<Symbol>& sy, const SplitSymbols& sp, std::vector<std::array<cd, kUsed>>& rs,
                  bool vector) {
    if (rs.size() < sy.size()) rs.resize(sy.size());
    size_t i = 0;
#if defined(__GNUC__) && defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2 && vector) {
        for (; i < sy.size() && sy.size() >= 4; i += 4) {  // the last group overlapping the one before, as in fit_phases
            i = std::min(i, sy.size() - 4);
            const Symbol* four[4] = {&sy[i], &sy[i + 1], &sy[i + 2], &sy[i + 3]};
            std::array<cd, kUsed>* to[4] = {&rs[i], &rs[i + 1], &rs[i + 2], &rs[i + 3]};
            derotated4(four, sp, i, to);
        }
    }
#endif
    for (; i < sy.size(); ++i) rs[i] = derotated(sy[i]);
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

// fit_channel's sums over the symbols for each pilot p (kPilotSubcarriers[p], u its value, r its
// derotated subcarrier): num[p] of conj(u) r, den[p] of conj(u) (u + rho conj(u(-k))).
void pilot_sums(const std::vector<Symbol>& sy, const std::vector<std::array<cd, kUsed>>& rs, cd rho, cd* num, cd* den) {
    for (size_t p = 0; p < 4; ++p) {
        const int k = kPilotSubcarriers[p];
        cd n = 0, d = 0;
        for (size_t i = 0; i < sy.size(); ++i) {
            const cd u = sy[i].x[at(k)], w = u + mul(rho, std::conj(sy[i].x[at(-k)]));
            n += mul_conj(rs[i][at(k)], u);
            d += mul_conj(w, u);
        }
        num[p] = n, den[p] = d;
    }
}

#if defined(__GNUC__) && defined(__x86_64__)
// The values of a at the four pilots (lanes in kPilotSubcarriers' order), or at their mirrors -k.
ORV_AVX2 inline V4 at_pilots(const std::array<cd, kUsed>& a, bool mirrored) {
    const size_t i0 = at(mirrored ? 21 : -21), i1 = at(mirrored ? 7 : -7), i2 = at(mirrored ? -7 : 7), i3 = at(mirrored ? -21 : 21);
    return {_mm256_set_pd(a[i3].real(), a[i2].real(), a[i1].real(), a[i0].real()),
            _mm256_set_pd(a[i3].imag(), a[i2].imag(), a[i1].imag(), a[i0].imag())};
}

// pilot_sums with the four pilots in the lanes (AVX2: each pilot's sums in pilot_sums' order, the same values).
ORV_AVX2 void pilot_sums4(const std::vector<Symbol>& sy, const std::vector<std::array<cd, kUsed>>& rs, cd rho, cd* num, cd* den) {
    const __m256d sign = _mm256_set1_pd(-0.0);
    const V4 c = broadcast(rho);
    const __m256d zero = _mm256_setzero_pd();
    V4 n{zero, zero}, d{zero, zero};
    for (size_t i = 0; i < sy.size(); ++i) {
        const V4 u = at_pilots(sy[i].x, false), m = at_pilots(sy[i].x, true);
        const V4 w = add4(u, mul4(c, V4{m.re, _mm256_xor_pd(m.im, sign)}));
        n = add4(n, mul_conj4(at_pilots(rs[i], false), u));
        d = add4(d, mul_conj4(w, u));
    }
    store4(n, num);
    store4(d, den);
}
#endif

// Least squares of the channel G1 and the image G2 over the symbols (with_image: both on the data
// subcarriers; a pilot's image, always the same multiple of it, takes the data subcarriers' ratio).
// sp: split_symbols of sy.
void fit_channel(const std::vector<Symbol>& sy, const SplitSymbols& sp, bool with_image, std::array<cd, kUsed>& g1,
                 std::array<cd, kUsed>& g2, bool vector) {
    std::vector<std::array<cd, kUsed>>& rs = derotation_scratch();
    derotate_all(sy, sp, rs, vector);
    ChannelSums cs;  // every element set below
    size_t done = 0;
#if defined(__GNUC__) && defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2 && vector) done = channel_sums4(sy, rs, cs);
#endif
    channel_sums(sy, rs, done, cs);
    for (int k = -26; k <= 26; ++k) {
        if (!k || is_pilot(k)) continue;
        const double uu = cs.uu[at(k)], vv = cs.vv[at(k)];
        const cd uv = cs.uv[at(k)], ur = cs.ur[at(k)], vr = cs.vr[at(k)];
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
    cd num[4], den[4];
    bool summed = false;
#if defined(__GNUC__) && defined(__x86_64__)
    if (avx2 && vector) pilot_sums4(sy, rs, rho, num, den), summed = true;
#endif
    if (!summed) pilot_sums(sy, rs, rho, num, den);
    for (size_t p = 0; p < 4; ++p) {
        const int k = kPilotSubcarriers[p];
        g1[at(k)] = std::abs(den[p]) > 0 ? num[p] / den[p] : cd(0);
        g2[at(k)] = rho * g1[at(k)];
    }
}

// n complex values from one array to another (16-byte moves: the compiler's block copy of a
// symbol was a slow string instruction).
inline void copy_points(const cd* from, size_t n, cd* to) {
    for (size_t i = 0; i < n; ++i) {
#if defined(__SSE2__)
        _mm_storeu_pd(reinterpret_cast<double*>(to + i), _mm_loadu_pd(reinterpret_cast<const double*>(from + i)));
#else
        to[i] = from[i];
#endif
    }
}

// The data subcarriers (17.3.5.10) as runs between the pilots and DC: the first subcarrier k,
// its point's index among a symbol's 48, and the run's length.
struct DataRun {
    int first_k;
    size_t first_point, count;
};
constexpr DataRun kDataRuns[6] = {{-26, 0, 5}, {-20, 5, 13}, {-6, 18, 6}, {1, 24, 6}, {8, 30, 13}, {22, 43, 5}};

#if defined(__GNUC__) && defined(__x86_64__)
// N complex values from one array to another, two a 32-byte move (AVX), the loop unrolled.
template <size_t N>
ORV_AVX2 inline void copy_points_avx(const cd* from, cd* to) {
#pragma GCC unroll 32
    for (size_t i = 0; i + 2 <= N; i += 2)
        _mm256_storeu_pd(reinterpret_cast<double*>(to + i), _mm256_loadu_pd(reinterpret_cast<const double*>(from + i)));
    if constexpr (N % 2 != 0)
        _mm_storeu_pd(reinterpret_cast<double*>(to + N - 1), _mm_loadu_pd(reinterpret_cast<const double*>(from + N - 1)));
}

// copy_points of a symbol's kUsed subcarriers (AVX: the same values).
ORV_AVX2 void copy_subcarriers_avx(const cd* from, cd* to) { copy_points_avx<kUsed>(from, to); }

// A symbol's 48 data points (from, in order) to their subcarriers of x, run by run (kDataRuns; AVX:
// the same values as copy_points run by run).
template <size_t... R>
ORV_AVX2 inline void copy_runs_avx(const cd* from, cd* x, std::index_sequence<R...>) {
    (copy_points_avx<kDataRuns[R].count>(from + kDataRuns[R].first_point, x + at(kDataRuns[R].first_k)), ...);
}
ORV_AVX2 void copy_data_points_avx(const cd* from, cd* x) {
    copy_runs_avx(from, x, std::make_index_sequence<std::size(kDataRuns)>{});
}
#endif

// The symbols' subcarriers and reference values: known points, or decisions equalised by h and the pilots.
// spectra: the symbols' subcarriers already computed (nullptr: by the FFT here). Returns a buffer
// kept between packets (its symbols neither allocated nor zeroed each time), one symbol a DATA
// symbol inside x. vector: the copies 32 bytes a move where the processor has AVX2.
std::vector<Symbol>& collect(const std::vector<cd>& x, const Sync& s, const Channel& h, const RateInfo& rate, int symbols,
                             const std::vector<cd>* known, ForwardFft& fft, const std::vector<std::array<cd, kUsed>>* spectra,
                             bool vector) {
    static thread_local std::vector<Symbol> sy;
#if defined(__GNUC__) && defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    const bool avx = avx2 && vector;
#else
    const bool avx = false;
    (void)vector;
#endif
    const int64_t data_start = s.t1 + 128 + 80;
    const auto window_of = [&](int n) { return data_start + int64_t{80} * n + 16 - kBackoff; };
    int inside = 0;
    while (inside < symbols && window_of(inside) + 64 <= static_cast<int64_t>(x.size())) ++inside;
    sy.resize(static_cast<size_t>(inside));
    for (int n = 0; n < inside; ++n) {
        const int64_t window = window_of(n);
        Symbol& m = sy[static_cast<size_t>(n)];
        m.a = 0, m.b = 0;
        m.x[at(0)] = 0;
        const size_t i_sym = static_cast<size_t>(n);
        if (spectra && i_sym < spectra->size()) {
#if defined(__GNUC__) && defined(__x86_64__)
            if (avx) copy_subcarriers_avx((*spectra)[i_sym].data(), m.y.data());
            else
#endif
                copy_points((*spectra)[i_sym].data(), kUsed, m.y.data());
        } else {
            m.y = subcarriers(x, s, window, fft);
        }
        const int pol = pilot_polarity(n + 1);
        for (int p = 0; p < 4; ++p) m.x[at(kPilotSubcarriers[p])] = static_cast<double>(kPilotSigns[p] * pol);
        if (known) {
            const cd* from = known->data() + static_cast<size_t>(n) * 48;
#if defined(__GNUC__) && defined(__x86_64__)
            if (avx) copy_data_points_avx(from, m.x.data());
            else
#endif
                for (const DataRun& r : kDataRuns) copy_points(from + r.first_point, r.count, m.x.data() + at(r.first_k));
        } else {
            // The decisions' common phase from the pilots (the known points need none).
            cd pil = 0;
            for (int p = 0; p < 4; ++p)
                pil += m.y[at(kPilotSubcarriers[p])] * std::conj(h.h[at(kPilotSubcarriers[p])]) * static_cast<double>(kPilotSigns[p] * pol);
            const cd corr = std::abs(pil) > 0 ? std::conj(pil) / std::abs(pil) : cd(1);
            for (int k : data_subcarriers())
                m.x[at(k)] = std::norm(h.h[at(k)]) > 0 ? slice(m.y[at(k)] / h.h[at(k)] * corr, rate.n_bpsc, nullptr) : cd(0);
        }
    }
    return sy;
}

// The decisions again, equalised by the fitted channel and each symbol's phase terms (a timing
// drift the first decisions did not follow tilts the outer subcarriers of the later symbols).
// sp: split_symbols of sy, its x split again here where vector.
void redecide(std::vector<Symbol>& sy, SplitSymbols& sp, const std::array<cd, kUsed>& g1, int n_bpsc, bool vector) {
    std::vector<std::array<cd, kUsed>>& rs = derotation_scratch();
    derotate_all(sy, sp, rs, vector);
    for (size_t i = 0; i < sy.size(); ++i)
        for (int k : data_subcarriers())
            if (std::norm(g1[at(k)]) > 0) sy[i].x[at(k)] = slice(rs[i][at(k)] / g1[at(k)], n_bpsc, nullptr);
    if (vector) split_part(sy, &Symbol::x, sp.xre, sp.xim, vector);
}

// Alternating fits of the phase terms and the channel until the phases settle (an IQ image in
// the long training field's estimate takes a few rounds to leave them); decide_bpsc: decisions
// made again each round with that many bits per subcarrier, 0 for known points. A phase or slope
// common to every symbol moves between them and the channel freely and does not count. sp:
// split_symbols of sy.
void settle(std::vector<Symbol>& sy, SplitSymbols& sp, bool with_image, int decide_bpsc, std::array<cd, kUsed>& g1,
            std::array<cd, kUsed>& g2, bool vector) {
    std::vector<double> da(sy.size()), db(sy.size());
    const double n = static_cast<double>(sy.size());
    for (int iter = 0; iter < kMaxRounds; ++iter) {
        double ma = 0, mb = 0;
        for (size_t i = 0; i < sy.size(); ++i) da[i] = sy[i].a, db[i] = sy[i].b;
        fit_phases(sy, sp, g1, g2, vector);
        for (size_t i = 0; i < sy.size(); ++i) {
            da[i] = wrap_phase(sy[i].a - da[i]), db[i] = sy[i].b - db[i];
            ma += da[i] / n, mb += db[i] / n;
        }
        double change = 0;
        for (size_t i = 0; i < sy.size(); ++i) change = std::max({change, std::abs(da[i] - ma), 26.0 * std::abs(db[i] - mb)});
        if (iter > 0 && change < kSettled) break;
        if (decide_bpsc && iter > 0) redecide(sy, sp, g1, decide_bpsc, vector);
        fit_channel(sy, sp, with_image, g1, g2, vector);
    }
}

// One symbol's error_terms added to the sums in subcarrier order: nv of every used subcarrier to
// p, ne and ns of the data subcarriers to e and s (the sums in registers: three independent chains;
// inlined, the compiler kept p in memory, a store and load on every step of its chain). The data
// subcarriers run by run (kDataRuns), each pilot's nv between the runs around it: no test of k.
[[gnu::noinline]] void add_terms(const std::array<double, kUsed>& nv, const std::array<double, kUsed>& ne, const std::array<double, kUsed>& ns,
               double& p, double& e, double& s) {
    double ps = p, es = e, ss = s;
    for (size_t r = 0; r < std::size(kDataRuns); ++r) {
        const size_t from = at(kDataRuns[r].first_k), to = from + kDataRuns[r].count;
        for (size_t j = from; j < to; ++j) {
            ps += nv[j];
            es += ne[j];
            ss += ns[j];
        }
        if (to < kUsed && is_pilot(static_cast<int>(to) - 26)) ps += nv[to];  // the pilot after the run
    }
    p = ps, e = es, s = ss;
}

// add_terms' additions for run R of kDataRuns, its bounds known here (the loop unrolled).
template <size_t R>
[[gnu::always_inline]] inline void add_run(const double* nv, const double* ne, const double* ns, double& ps, double& es, double& ss) {
    constexpr size_t from = at(kDataRuns[R].first_k), to = from + kDataRuns[R].count;
#pragma GCC unroll 16
    for (size_t j = from; j < to; ++j) {
        ps += nv[j];
        es += ne[j];
        ss += ns[j];
    }
    if constexpr (to < kUsed && is_pilot(static_cast<int>(to) - 26)) ps += nv[to];
}

// add_terms with every run's loop unrolled (the same additions in the same order, the same sums).
template <size_t... R>
void add_runs(const double* nv, const double* ne, const double* ns, double& ps, double& es, double& ss, std::index_sequence<R...>) {
    (add_run<R>(nv, ne, ns, ps, es, ss), ...);
}
[[gnu::noinline]] void add_terms_unrolled(const std::array<double, kUsed>& nv, const std::array<double, kUsed>& ne,
                                          const std::array<double, kUsed>& ns, double& p, double& e, double& s) {
    double ps = p, es = e, ss = s;
    add_runs(nv.data(), ne.data(), ns.data(), ps, es, ss, std::make_index_sequence<std::size(kDataRuns)>{});
    p = ps, e = es, s = ss;
}

// Over the symbols sy (rs their derotated subcarriers) against the model: the error power on the
// data subcarriers, the channel's share of the signal power there, and the model's power on every
// used subcarrier, added to err, sig and pow_all in symbol and subcarrier order; vector: each
// symbol's terms four subcarriers at a time where the processor has AVX2 and its sums unrolled (the same values).
void error_and_powers(const std::vector<Symbol>& sy, const std::vector<std::array<cd, kUsed>>& rs,
                      const std::array<cd, kUsed>& g1, const std::array<cd, kUsed>& g2, double& err, double& sig,
                      double& pow_all, bool vector) {
#if defined(__GNUC__) && defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
#else
    const bool avx2 = false;
#endif
    double e_sum = err, s_sum = sig, p_sum = pow_all;
    std::array<double, kUsed> nv, ne, ns;  // set in full for each symbol
#if defined(__GNUC__) && defined(__x86_64__)
    ChannelQuads quads;
    if (avx2 && vector) channel_quads(g1, g2, quads);
#endif
    for (size_t i = 0; i < sy.size(); ++i) {
        size_t done = 0;
#if defined(__GNUC__) && defined(__x86_64__)
        if (avx2 && vector) done = error_terms4(sy[i].x, rs[i], quads, nv.data(), ne.data(), ns.data());
#else
        (void)avx2, (void)vector;
#endif
        error_terms(sy[i].x, rs[i], g1, g2, done, nv.data(), ne.data(), ns.data());
        if (vector) add_terms_unrolled(nv, ne, ns, p_sum, e_sum, s_sum);
        else add_terms(nv, ne, ns, p_sum, e_sum, s_sum);
    }
    err = e_sum, sig = s_sum, pow_all = p_sum;
}

#if defined(__GNUC__) && defined(__x86_64__)
// derotated and error_terms of four symbols at once, one in each lane (AVX2: the same operations,
// the same values), their points read from sp, sy[0] its symbol first; the terms of subcarrier
// index j into nv, ne and ns at j * sp.stride + first + lane.
ORV_AVX2 void derotated_terms4(const Symbol* const* sy, const SplitSymbols& sp, size_t first, const std::array<cd, kUsed>& g1,
                               const std::array<cd, kUsed>& g2, double* nv, double* ne, double* ns) {
    cd t[4], u[4];
    for (int l = 0; l < 4; ++l) t[l] = unit(-sy[l]->b), u[l] = unit(-(sy[l]->a - 26.0 * sy[l]->b));
    const V4 step = load4(t);
    V4 w = load4(u);
    const size_t n = sp.stride;
    const double *const yre = sp.yre.data() + first, *const yim = sp.yim.data() + first;
    const double *const xre = sp.xre.data() + first, *const xim = sp.xim.data() + first;
    for (size_t j = 0; j < kUsed; ++j, w = mul4(w, step)) {
        const size_t o = j * n;
        const V4 r = mul4(split4(yre, yim, o), w);
        const V4 gx = mul4(broadcast(g1[j]), split4(xre, xim, o));
        const V4 v = add4(gx, mul_conj4(broadcast(g2[j]), split4(xre, xim, (kUsed - 1 - j) * n)));
        const V4 e = {_mm256_sub_pd(r.re, v.re), _mm256_sub_pd(r.im, v.im)};
        _mm256_storeu_pd(nv + o + first, norm4(v));
        _mm256_storeu_pd(ne + o + first, norm4(e));
        _mm256_storeu_pd(ns + o + first, norm4(gx));
    }
}

// add_run of terms stride apart (the same additions in the same order).
template <size_t R>
[[gnu::always_inline]] inline void add_run_strided(const double* nv, const double* ne, const double* ns, size_t stride,
                                                   double& ps, double& es, double& ss) {
    constexpr size_t from = at(kDataRuns[R].first_k), to = from + kDataRuns[R].count;
#pragma GCC unroll 16
    for (size_t j = from; j < to; ++j) {
        ps += nv[j * stride];
        es += ne[j * stride];
        ss += ns[j * stride];
    }
    if constexpr (to < kUsed && is_pilot(static_cast<int>(to) - 26)) ps += nv[to * stride];
}
template <size_t... R>
void add_runs_strided(const double* nv, const double* ne, const double* ns, size_t stride, double& ps, double& es, double& ss,
                      std::index_sequence<R...>) {
    (add_run_strided<R>(nv, ne, ns, stride, ps, es, ss), ...);
}
#endif

// error_and_powers from sp (split_symbols of sy) without the derotated subcarriers: each four
// symbols' derotation and error terms in one pass (derotated_terms4), then the sums in the same
// order (the same values). Returns false where it does not apply (no AVX2, not vector, fewer than
// four symbols), leaving the sums untouched.
bool error_and_powers_split(const std::vector<Symbol>& sy, const SplitSymbols& sp, const std::array<cd, kUsed>& g1,
                            const std::array<cd, kUsed>& g2, double& err, double& sig, double& pow_all, bool vector) {
#if defined(__GNUC__) && defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    const size_t n = sy.size();
    if (!avx2 || !vector || n < 4 || sp.stride != n) return false;
    static thread_local std::vector<double> nv, ne, ns;  // kept between packets
    nv.resize(kUsed * n), ne.resize(kUsed * n), ns.resize(kUsed * n);
    for (size_t i = 0; i < n; i += 4) {  // the last group overlapping the one before, as in fit_phases
        i = std::min(i, n - 4);
        const Symbol* four[4] = {&sy[i], &sy[i + 1], &sy[i + 2], &sy[i + 3]};
        derotated_terms4(four, sp, i, g1, g2, nv.data(), ne.data(), ns.data());
    }
    double e_sum = err, s_sum = sig, p_sum = pow_all;
    for (size_t i = 0; i < n; ++i)
        add_runs_strided(nv.data() + i, ne.data() + i, ns.data() + i, n, p_sum, e_sum, s_sum,
                         std::make_index_sequence<std::size(kDataRuns)>{});
    err = e_sum, sig = s_sum, pow_all = p_sum;
    return true;
#else
    (void)sy, (void)sp, (void)g1, (void)g2, (void)err, (void)sig, (void)pow_all, (void)vector;
    return false;
#endif
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
    // The same split into real and imaginary parts for the four-lane loops: pinv by subcarrier
    // (row k + 26, the kTaps taps in a row) and a by tap (row m, kPadded subcarriers, the last three zero).
    std::vector<double> pinv_re, pinv_im, a_re, a_im;
};
constexpr size_t kPadded = 56;

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
        t.pinv_re.assign(kUsed * kTaps, 0.0), t.pinv_im.assign(kUsed * kTaps, 0.0);
        t.a_re.assign(kTaps * kPadded, 0.0), t.a_im.assign(kTaps * kPadded, 0.0);
        for (size_t j = 0; j < kUsed; ++j)
            for (size_t m = 0; m < kTaps; ++m) {
                t.pinv_re[j * kTaps + m] = t.pinv[m * kUsed + j].real(), t.pinv_im[j * kTaps + m] = t.pinv[m * kUsed + j].imag();
                t.a_re[m * kPadded + j] = t.a[j * kTaps + m].real(), t.a_im[m * kPadded + j] = t.a[j * kTaps + m].imag();
            }
        return t;
    }();
    return f;
}

#if defined(__GNUC__) && defined(__x86_64__)
// fit_taps' sums for hs four taps, then four subcarriers, a lane (AVX2: each tap's and each
// subcarrier's sum in fit_taps' order, the same values); returns the residual power.
ORV_AVX2 double fit_taps_avx2(const std::array<cd, kUsed>& hs, const TapFit& f, std::array<cd, kTaps>& taps) {
    constexpr size_t kQuads = kTaps / 4;
    __m256d tr[kQuads], ti[kQuads];
    for (size_t q = 0; q < kQuads; ++q) tr[q] = ti[q] = _mm256_setzero_pd();
    for (size_t j = 0; j < kUsed; ++j) {
        const __m256d hr = _mm256_set1_pd(hs[j].real()), hi = _mm256_set1_pd(hs[j].imag());
        for (size_t q = 0; q < kQuads; ++q) {
            const __m256d pr = _mm256_loadu_pd(f.pinv_re.data() + j * kTaps + 4 * q), pi = _mm256_loadu_pd(f.pinv_im.data() + j * kTaps + 4 * q);
            tr[q] = _mm256_add_pd(tr[q], _mm256_sub_pd(_mm256_mul_pd(pr, hr), _mm256_mul_pd(pi, hi)));
            ti[q] = _mm256_add_pd(ti[q], _mm256_add_pd(_mm256_mul_pd(pr, hi), _mm256_mul_pd(pi, hr)));
        }
    }
    alignas(32) double vr[kTaps], vi[kTaps];
    for (size_t q = 0; q < kQuads; ++q) _mm256_store_pd(vr + 4 * q, tr[q]), _mm256_store_pd(vi + 4 * q, ti[q]);
    for (size_t m = 0; m < kTaps; ++m) taps[m] = cd(vr[m], vi[m]);
    alignas(32) double fr[kPadded], fi[kPadded];
    for (size_t j = 0; j < kPadded; j += 4) {
        __m256d ar = _mm256_setzero_pd(), ai = ar;
        for (size_t m = 0; m < kTaps; ++m) {
            const __m256d cr = _mm256_set1_pd(vr[m]), ci = _mm256_set1_pd(vi[m]);
            const __m256d br = _mm256_loadu_pd(f.a_re.data() + m * kPadded + j), bi = _mm256_loadu_pd(f.a_im.data() + m * kPadded + j);
            ar = _mm256_add_pd(ar, _mm256_sub_pd(_mm256_mul_pd(cr, br), _mm256_mul_pd(ci, bi)));
            ai = _mm256_add_pd(ai, _mm256_add_pd(_mm256_mul_pd(cr, bi), _mm256_mul_pd(ci, br)));
        }
        _mm256_store_pd(fr + j, ar), _mm256_store_pd(fi + j, ai);
    }
    double resid = 0;
    for (size_t j = 0; j < kUsed; ++j)
        if (j != at(0)) resid += std::norm(hs[j] - cd(fr[j], fi[j]));
    return resid;
}
#endif

// The taps of h advanced by shift samples, least squares; returns the fit's residual power (the
// products written out: the same values for finite h). vector: four taps or subcarriers at a time
// where the processor has AVX2 (the same values).
double fit_taps(const std::array<cd, kUsed>& h, double shift, std::array<cd, kTaps>& taps, bool vector) {
    const TapFit& f = tap_fit();
    std::array<cd, kUsed> hs{};
    for (int k = -26; k <= 26; ++k) hs[at(k)] = mul(h[at(k)], std::polar(1.0, 2.0 * kPi * k * shift / 64.0));
#if defined(__GNUC__) && defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2 && vector) return fit_taps_avx2(hs, f, taps);
#else
    (void)vector;
#endif
    for (int m = 0; m < kTaps; ++m) {
        taps[static_cast<size_t>(m)] = 0;
        for (int k = -26; k <= 26; ++k) taps[static_cast<size_t>(m)] += mul(f.pinv[static_cast<size_t>(m * kUsed) + at(k)], hs[at(k)]);
    }
    double resid = 0;
    for (int k = -26; k <= 26; ++k) {
        if (!k) continue;
        cd fit = 0;
        for (int m = 0; m < kTaps; ++m) fit += mul(taps[static_cast<size_t>(m)], f.a[at(k) * kTaps + static_cast<size_t>(m)]);
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

namespace {
// Each byte value's eight bits as eight bytes of 0 or 1, bit i in byte i.
using BitBytes = std::array<uint8_t, 8>;
const std::array<BitBytes, 256>& bit_bytes() {
    static const std::array<BitBytes, 256> t = [] {
        std::array<BitBytes, 256> r{};
        for (unsigned v = 0; v < 256; ++v)
            for (unsigned i = 0; i < 8; ++i) r[v][i] = static_cast<uint8_t>((v >> i) & 1u);
        return r;
    }();
    return t;
}

#if defined(__GNUC__) && defined(__x86_64__)
// The bytes of spread_outputs for the words ab 32 bits a step (AVX2: each bit's byte of 0 or 1,
// the same bytes) into base.
ORV_AVX2 void spread_avx2(const std::vector<uint64_t>& ab, size_t stride, uint8_t* base) {
    // Byte j of the 32 takes the bits' byte j / 8 and keeps bit j % 8 of it.
    const __m256i pick = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
    const __m256i bit = _mm256_set1_epi64x(0x8040201008040201), one = _mm256_set1_epi8(1);
    for (size_t w = 0; w < ab.size() / 2; ++w)
        for (size_t b = 0; b < 2; ++b) {
            const uint64_t bits = ab[2 * w + b];
            uint8_t* to = base + b * stride + 64 * w;
            for (size_t h = 0; h < 2; ++h) {
                const __m256i v = _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(bits >> (32 * h)))), pick);
                const __m256i set = _mm256_cmpeq_epi8(_mm256_and_si256(v, bit), bit);
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 32 * h), _mm256_and_si256(set, one));
            }
        }
}
#endif

// The coder's outputs of the words ab (coder_words) one a byte (0 or 1) into e: A after data bit d
// at e[d], B at e[stride + d], stride = 64 words. vector: 32 bits at a time where the processor
// has AVX2 (the same bytes).
void spread_outputs(const std::vector<uint64_t>& ab, size_t stride, std::vector<uint8_t>& e, bool vector) {
    const std::array<BitBytes, 256>& spread = bit_bytes();
    e.resize(2 * stride + 3);  // 3 bytes more: the vector map reads four bytes at each bit's place
    uint8_t* const base = e.data();  // a plain pointer: not loaded again after each store
#if defined(__GNUC__) && defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (vector && avx2) {
        spread_avx2(ab, stride, base);
        return;
    }
#else
    (void)vector;
#endif
    for (size_t w = 0; w < ab.size() / 2; ++w)
        for (size_t b = 0; b < 2; ++b) {
            const uint64_t bits = ab[2 * w + b];
            uint8_t* to = base + b * stride + 64 * w;
            for (size_t q = 0; q < 8; ++q) std::memcpy(to + 8 * q, spread[(bits >> (8 * q)) & 0xFFu].data(), 8);
        }
}

// The points of n_sym symbols of NB bits a subcarrier from the coder's outputs e (spread_outputs)
// and where each subcarrier's bits lie in e relative to its symbol's first data bit (off, NB a
// subcarrier, the first the most significant); axis: the levels of one axis (unused for NB 1).
template <int NB>
void map_points(const std::vector<uint8_t>& e, const std::vector<uint32_t>& off, size_t n_sym, size_t n_dbps,
                const double* axis, cd* out) {
    for (size_t n = 0; n < n_sym; ++n) {
        const uint8_t* base = e.data() + n * n_dbps;
        const uint32_t* o = off.data();
        for (size_t i = 0; i < 48; ++i, o += NB) {
            unsigned v = 0;
            for (int j = 0; j < NB; ++j) v = (v << 1) | base[o[j]];
            if constexpr (NB == 1) out[n * 48 + i] = cd(v ? 1.0 : -1.0, 0.0);
            else out[n * 48 + i] = cd(axis[v >> (NB / 2)], axis[v & ((1u << (NB / 2)) - 1)]);
        }
    }
}

// Every point of the constellation of NB bits a subcarrier (1, 2, 4 or 6) by its bits read as a
// binary number (the first most significant): map_points' points, axis by axis from axis_levels.
template <int NB>
const std::array<cd, 64>& constellation() {
    static const std::array<cd, 64> t = [] {
        std::array<cd, 64> c{};
        const AxisLevels& lv = axis_levels();
        const double* axis = NB == 2 ? lv.qpsk : NB == 4 ? lv.qam16 : lv.qam64;
        for (unsigned v = 0; v < (1u << NB); ++v)
            c[v] = NB == 1 ? cd(v ? 1.0 : -1.0, 0.0) : cd(axis[v >> (NB / 2)], axis[v & ((1u << (NB / 2)) - 1)]);
        return c;
    }();
    return t;
}

// map_points subcarrier by subcarrier (its NB offsets held in registers through the symbols), each
// point read whole from constellation<NB>() (the same points). No gather instructions: they are
// slow on some processors (AMD Zen among them).
template <int NB>
void map_points_table(const std::vector<uint8_t>& e, const std::vector<uint32_t>& off, size_t n_sym, size_t n_dbps, cd* out) {
    const cd* points = constellation<NB>().data();
    for (size_t i = 0; i < 48; ++i) {
        uint32_t o[NB];
        for (int j = 0; j < NB; ++j) o[j] = off[i * NB + static_cast<size_t>(j)];
        const uint8_t* base = e.data();
        cd* to = out + i;
#pragma GCC unroll 4
        for (size_t n = 0; n < n_sym; ++n, base += n_dbps, to += 48) {
            unsigned v = base[o[0]];
            for (int j = 1; j < NB; ++j) v = 2 * v + base[o[j]];  // bits 0 or 1: the same number
            std::memcpy(static_cast<void*>(to), &points[v], sizeof(cd));  // one 16-byte copy
        }
    }
}

// The points of map_points by map_points_table.
void map_points_fast(const std::vector<uint8_t>& e, const std::vector<uint32_t>& off, size_t nb, size_t n_sym,
                     size_t n_dbps, cd* out) {
    switch (nb) {
    case 1: map_points_table<1>(e, off, n_sym, n_dbps, out); break;
    case 2: map_points_table<2>(e, off, n_sym, n_dbps, out); break;
    case 4: map_points_table<4>(e, off, n_sym, n_dbps, out); break;
    default: map_points_table<6>(e, off, n_sym, n_dbps, out); break;
    }
}

}  // namespace

std::vector<cd> transmitted_points(const std::vector<uint8_t>& psdu, int scrambler_init, const RateInfo& rate,
                                   int symbols, bool vector) {
    std::vector<cd> out;
    transmitted_points(psdu, scrambler_init, rate, symbols, out, vector);
    return out;
}

void transmitted_points(const std::vector<uint8_t>& psdu, int scrambler_init, const RateInfo& rate, int symbols,
                        std::vector<cd>& out, bool vector) {
    const size_t n_sym = static_cast<size_t>(std::max(symbols, 0)), nb = static_cast<size_t>(rate.n_bpsc);
    const size_t n_dbps = static_cast<size_t>(rate.n_dbps);
    const std::vector<uint64_t> ab = coder_words(psdu, scrambler_init, n_sym * n_dbps);
    const size_t stride = 32 * ab.size();  // 64 bits of each output's words
    static thread_local std::vector<uint8_t> e;
    spread_outputs(ab, stride, e, vector);
    const std::vector<Source>& src = sources_of(rate);
    static thread_local std::vector<uint32_t> off;
    off.resize(src.size());
    for (size_t k = 0; k < src.size(); ++k) off[k] = static_cast<uint32_t>(src[k].d + (src[k].b ? stride : 0));
    out.resize(n_sym * 48);
    if (vector) {
        map_points_fast(e, off, nb, n_sym, n_dbps, out.data());
        return;
    }
    const AxisLevels& lv = axis_levels();
    switch (nb) {
    case 1: map_points<1>(e, off, n_sym, n_dbps, nullptr, out.data()); break;
    case 2: map_points<2>(e, off, n_sym, n_dbps, lv.qpsk, out.data()); break;
    case 4: map_points<4>(e, off, n_sym, n_dbps, lv.qam16, out.data()); break;
    default: map_points<6>(e, off, n_sym, n_dbps, lv.qam64, out.data()); break;
    }
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

double delay_taps(const std::array<cd, 53>& h, double shift, std::array<cd, 16>& taps, bool vector) {
    static_assert(kTaps == 16);
    return fit_taps(h, shift, taps, vector);
}

std::optional<double> rms_delay_spread_s(const std::array<cd, 53>& h, double noise_var, bool vector) {
    // A path between two samples spreads over its neighbours on the taps' grid: the profile is
    // taken at the fraction of a sample (steps of 0.05) where the taps fit h best, when that
    // fit is better than at the grid itself by more than the noise explains.
    std::array<cd, kTaps> taps{}, best{};
    const double at_grid = fit_taps(h, 0.0, best, vector);
    double energy = 0;
    for (const cd& v : h) energy += std::norm(v);
    double least = at_grid;
    const double needed = 8.0 * std::sqrt(27.0) * noise_var + 1e-9 * energy;
    for (int step = -10; step < 10 && at_grid > needed; ++step) {
        const double r = step ? fit_taps(h, 0.05 * step, taps, vector) : at_grid;
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

double wrap_phase(double x) {
    constexpr double p = 2.0 * kPi, half = kPi;  // half is p / 2 exactly
    const double ax = std::abs(x);
    if (ax <= half) return x;  // the quotient 0 (at half a tie, rounded to the even 0)
    // Quotient +-1 up to 1.5 p: ax - p is exact there (Sterbenz), and so is x -+ p.
    if (ax - p < half) {
        const double r = x > 0 ? x - p : x + p;
        return r == 0 ? std::copysign(0.0, x) : r;  // a zero result has the sign of x
    }
    return std::remainder(x, p);  // further out, NaN and infinities
}

double phase_angle(double y, double x) {
    double r = 0;
    phase_angles(&y, &x, 1, &r);
    return r;
}

namespace {
// atan(i / 16), i = 0..16; entries 17..31 zero (the four-lane loop reads its indices modulo 32).
const std::array<double, 32>& atan_sixteenths() {
    static const std::array<double, 32> base = [] {
        std::array<double, 32> b{};
        for (int i = 0; i <= 16; ++i) b[static_cast<size_t>(i)] = std::atan(i / 16.0);
        return b;
    }();
    return base;
}

// phase_angles of y[j], x[j] for j in [from, n). atan(t) = atan(c) + atan((t - c) / (1 + t c)) with c the nearest
// multiple of 1/16 to t in 0..1, the second term's series to u^11 (|u| <= 1/32: the next term is
// below 1e-20).
void angles_plain(const double* y, const double* x, size_t from, size_t n, double* out) {
    const double* base = atan_sixteenths().data();
    for (size_t j = from; j < n; ++j) {
        const double ax = std::abs(x[j]), ay = std::abs(y[j]);
        const bool steep = ay > ax;
        const double lo = steep ? ax : ay, hi = steep ? ay : ax;
        double t = lo / hi;
        t = t >= 0.0 && t <= 1.0 ? t : 0.0;  // NaN
        const int i = static_cast<int>(t * 16.0 + 0.5);
        const double c = i / 16.0;
        const double u = (t - c) / (1.0 + t * c), u2 = u * u;
        const double series = u - u * u2 * (1.0 / 3 - u2 * (1.0 / 5 - u2 * (1.0 / 7 - u2 * (1.0 / 9 - u2 * (1.0 / 11)))));
        double r = base[i] + series;
        r = steep ? kPi / 2 - r : r;
        r = x[j] < 0 ? kPi - r : r;
        out[j] = std::copysign(r, y[j]);
        constexpr double kBig = std::numeric_limits<double>::max();
        if (!(ax <= kBig && ay <= kBig) || (ax == 0 && ay == 0)) out[j] = std::atan2(y[j], x[j]);  // NaN, infinities, the origin
    }
}

#if defined(__GNUC__) && defined(__x86_64__)
// angles_plain of the four lanes of y, x (AVX2: the same operations, the same values), NaN,
// infinities and the origin left to the caller (their lanes flagged in odd).
__attribute__((target("avx2"))) inline __m256d angles4(__m256d yv, __m256d xv, const double* base, int& odd) {
    const __m256d sign = _mm256_set1_pd(-0.0), zero = _mm256_setzero_pd(), one = _mm256_set1_pd(1.0);
    const __m256d ax = _mm256_andnot_pd(sign, xv), ay = _mm256_andnot_pd(sign, yv);
    const __m256d steep = _mm256_cmp_pd(ay, ax, _CMP_GT_OQ);
    const __m256d lo = _mm256_blendv_pd(ay, ax, steep), hi = _mm256_blendv_pd(ax, ay, steep);
    // t lies in [0, 1] but in the lanes flagged below (NaN there, its index taken modulo 32 in the table).
    const __m256d t = _mm256_div_pd(lo, hi);
    const __m128i i = _mm_and_si128(_mm256_cvttpd_epi32(_mm256_add_pd(_mm256_mul_pd(t, _mm256_set1_pd(16.0)), _mm256_set1_pd(0.5))),
                                    _mm_set1_epi32(31));
    const __m256d c = _mm256_mul_pd(_mm256_cvtepi32_pd(i), _mm256_set1_pd(1.0 / 16));  // i / 16 exactly
    const __m256d u = _mm256_div_pd(_mm256_sub_pd(t, c), _mm256_add_pd(one, _mm256_mul_pd(t, c)));
    const __m256d u2 = _mm256_mul_pd(u, u);
    __m256d p = _mm256_mul_pd(u2, _mm256_set1_pd(1.0 / 11));
    p = _mm256_mul_pd(u2, _mm256_sub_pd(_mm256_set1_pd(1.0 / 9), p));
    p = _mm256_mul_pd(u2, _mm256_sub_pd(_mm256_set1_pd(1.0 / 7), p));
    p = _mm256_mul_pd(u2, _mm256_sub_pd(_mm256_set1_pd(1.0 / 5), p));
    p = _mm256_sub_pd(_mm256_set1_pd(1.0 / 3), p);
    const __m256d series = _mm256_sub_pd(u, _mm256_mul_pd(_mm256_mul_pd(u, u2), p));
    // The table's four entries by plain loads (a gather instruction is slow on some processors).
    alignas(16) int32_t ix[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(ix), i);
    __m256d r = _mm256_add_pd(_mm256_set_pd(base[ix[3]], base[ix[2]], base[ix[1]], base[ix[0]]), series);
    r = _mm256_blendv_pd(r, _mm256_sub_pd(_mm256_set1_pd(kPi / 2), r), steep);
    r = _mm256_blendv_pd(r, _mm256_sub_pd(_mm256_set1_pd(kPi), r), _mm256_cmp_pd(xv, zero, _CMP_LT_OQ));
    // NaN, infinities and the origin: hi is the larger magnitude where neither is NaN.
    const __m256d nan = _mm256_cmp_pd(ax, ay, _CMP_UNORD_Q);
    const __m256d infinite = _mm256_cmp_pd(hi, _mm256_set1_pd(std::numeric_limits<double>::max()), _CMP_GT_OQ);
    const __m256d origin = _mm256_cmp_pd(hi, zero, _CMP_EQ_OQ);
    odd = _mm256_movemask_pd(_mm256_or_pd(_mm256_or_pd(nan, infinite), origin));
    return _mm256_or_pd(_mm256_andnot_pd(sign, r), _mm256_and_pd(sign, yv));
}

// angles_plain four at a time, two groups of four a step (independent chains side by side);
// returns where it stopped.
__attribute__((target("avx2"))) size_t angles_avx2(const double* y, const double* x, size_t n, double* out) {
    const double* base = atan_sixteenths().data();
    size_t j = 0;
    const auto fix = [&](size_t at, int odd) {  // NaN, infinities and the origin as atan2 gives them
        for (size_t l = 0; l < 4; ++l)
            if (odd >> l & 1) out[at + l] = std::atan2(y[at + l], x[at + l]);
    };
    for (; j + 8 <= n; j += 8) {
        int odd0 = 0, odd1 = 0;
        const __m256d r0 = angles4(_mm256_loadu_pd(y + j), _mm256_loadu_pd(x + j), base, odd0);
        const __m256d r1 = angles4(_mm256_loadu_pd(y + j + 4), _mm256_loadu_pd(x + j + 4), base, odd1);
        _mm256_storeu_pd(out + j, r0);
        _mm256_storeu_pd(out + j + 4, r1);
        if (odd0 | odd1) fix(j, odd0), fix(j + 4, odd1);
    }
    for (; j + 4 <= n; j += 4) {
        int odd = 0;
        _mm256_storeu_pd(out + j, angles4(_mm256_loadu_pd(y + j), _mm256_loadu_pd(x + j), base, odd));
        if (odd) fix(j, odd);
    }
    return j;
}

#if !defined(_WIN32)
#define ORV_ANGLES_AVX512 1
// GCC 12 warns of its own AVX-512 intrinsics' undefined start register (GCC bug 105593).
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#define ORV_AVX512 __attribute__((target("avx512f,avx512dq")))
// angles4 of the eight lanes of y, x (AVX-512F and DQ: the same operations, the same values).
ORV_AVX512 inline __m512d angles8(__m512d yv, __m512d xv, const double* base, int& odd) {
    const __m512d sign = _mm512_set1_pd(-0.0), zero = _mm512_setzero_pd(), one = _mm512_set1_pd(1.0);
    const __m512d ax = _mm512_andnot_pd(sign, xv), ay = _mm512_andnot_pd(sign, yv);
    const __mmask8 steep = _mm512_cmp_pd_mask(ay, ax, _CMP_GT_OQ);
    const __m512d lo = _mm512_mask_blend_pd(steep, ay, ax), hi = _mm512_mask_blend_pd(steep, ax, ay);
    const __m512d t = _mm512_div_pd(lo, hi);
    const __m256i i = _mm256_and_si256(_mm512_cvttpd_epi32(_mm512_add_pd(_mm512_mul_pd(t, _mm512_set1_pd(16.0)), _mm512_set1_pd(0.5))),
                                       _mm256_set1_epi32(31));
    const __m512d c = _mm512_mul_pd(_mm512_cvtepi32_pd(i), _mm512_set1_pd(1.0 / 16));
    const __m512d u = _mm512_div_pd(_mm512_sub_pd(t, c), _mm512_add_pd(one, _mm512_mul_pd(t, c)));
    const __m512d u2 = _mm512_mul_pd(u, u);
    __m512d p = _mm512_mul_pd(u2, _mm512_set1_pd(1.0 / 11));
    p = _mm512_mul_pd(u2, _mm512_sub_pd(_mm512_set1_pd(1.0 / 9), p));
    p = _mm512_mul_pd(u2, _mm512_sub_pd(_mm512_set1_pd(1.0 / 7), p));
    p = _mm512_mul_pd(u2, _mm512_sub_pd(_mm512_set1_pd(1.0 / 5), p));
    p = _mm512_sub_pd(_mm512_set1_pd(1.0 / 3), p);
    const __m512d series = _mm512_sub_pd(u, _mm512_mul_pd(_mm512_mul_pd(u, u2), p));
    // The table's entries 0..15 from two registers, entry 16 (t from 31/32 on) by itself; i is
    // 0..16 (0 in the lanes flagged below).
    const __m512i wide = _mm512_cvtepi32_epi64(i);
    __m512d entry = _mm512_permutex2var_pd(_mm512_loadu_pd(base), wide, _mm512_loadu_pd(base + 8));
    entry = _mm512_mask_blend_pd(_mm512_cmpeq_epi64_mask(wide, _mm512_set1_epi64(16)), entry, _mm512_set1_pd(base[16]));
    __m512d r = _mm512_add_pd(entry, series);
    r = _mm512_mask_blend_pd(steep, r, _mm512_sub_pd(_mm512_set1_pd(kPi / 2), r));
    r = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(xv, zero, _CMP_LT_OQ), r, _mm512_sub_pd(_mm512_set1_pd(kPi), r));
    const __mmask8 nan = _mm512_cmp_pd_mask(ax, ay, _CMP_UNORD_Q);
    const __mmask8 infinite = _mm512_cmp_pd_mask(hi, _mm512_set1_pd(std::numeric_limits<double>::max()), _CMP_GT_OQ);
    const __mmask8 origin = _mm512_cmp_pd_mask(hi, zero, _CMP_EQ_OQ);
    odd = static_cast<int>(nan | infinite | origin);
    return _mm512_or_pd(_mm512_andnot_pd(sign, r), _mm512_and_pd(sign, yv));
}

// angles_plain eight at a time, two groups of eight a step; returns where it stopped.
ORV_AVX512 size_t angles_avx512(const double* y, const double* x, size_t n, double* out) {
    const double* base = atan_sixteenths().data();
    size_t j = 0;
    const auto fix = [&](size_t at, int odd) {  // NaN, infinities and the origin as atan2 gives them
        for (size_t l = 0; l < 8; ++l)
            if (odd >> l & 1) out[at + l] = std::atan2(y[at + l], x[at + l]);
    };
    for (; j + 16 <= n; j += 16) {
        int odd0 = 0, odd1 = 0;
        const __m512d r0 = angles8(_mm512_loadu_pd(y + j), _mm512_loadu_pd(x + j), base, odd0);
        const __m512d r1 = angles8(_mm512_loadu_pd(y + j + 8), _mm512_loadu_pd(x + j + 8), base, odd1);
        _mm512_storeu_pd(out + j, r0);
        _mm512_storeu_pd(out + j + 8, r1);
        if (odd0 | odd1) fix(j, odd0), fix(j + 8, odd1);
    }
    for (; j + 8 <= n; j += 8) {
        int odd = 0;
        _mm512_storeu_pd(out + j, angles8(_mm512_loadu_pd(y + j), _mm512_loadu_pd(x + j), base, odd));
        if (odd) fix(j, odd);
    }
    return j;
}
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif
#endif
}  // namespace

void phase_angles(const double* y, const double* x, size_t n, double* out, bool vector) {
    phase_angles_with(y, x, n, out, vector ? AngleLoop::best : AngleLoop::plain);
}

bool angle_loop_available(AngleLoop loop) {
#if defined(__GNUC__) && defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
#ifdef ORV_ANGLES_AVX512
    static const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
#else
    constexpr bool avx512 = false;
#endif
    if (loop == AngleLoop::avx2) return avx2;
    if (loop == AngleLoop::avx512) return avx512;
#endif
    return loop == AngleLoop::plain || loop == AngleLoop::best;
}

void phase_angles_with(const double* y, const double* x, size_t n, double* out, AngleLoop loop) {
    size_t done = 0;
#if defined(__GNUC__) && defined(__x86_64__)
    if (loop == AngleLoop::best) loop = angle_loop_available(AngleLoop::avx512) ? AngleLoop::avx512 : AngleLoop::avx2;
#ifdef ORV_ANGLES_AVX512
    if (loop == AngleLoop::avx512 && angle_loop_available(loop)) done = angles_avx512(y, x, n, out);
#endif
    // The last four to seven of the wider loop, or all of them.
    if (loop != AngleLoop::plain && angle_loop_available(AngleLoop::avx2)) done += angles_avx2(y + done, x + done, n - done, out + done);
#else
    (void)loop;
#endif
    angles_plain(y, x, done, n, out);
}

Impairments measure_impairments(const std::vector<cd>& x, const Sync& s, const Channel& h, const RateInfo& rate,
                                int symbols, const std::vector<cd>* known, ForwardFft& fft, int os,
                                const std::vector<std::array<cd, kUsed>>* spectra, bool vector) {
    Impairments out;
    std::vector<Symbol>& sy = collect(x, s, h, rate, symbols, known, fft, spectra, vector);
    const int n = static_cast<int>(sy.size());
    if (n < kMinSymbols) return out;
    const bool with_image = n >= kMinSymbolsIq;
    std::array<cd, kUsed> g1 = h.h, g2{};
    // The vector fits' layout of the points (kept between packets: no allocation each time).
    static thread_local SplitSymbols sp_all, sp_few;
    if (vector) split_symbols(sy, sp_all, vector);
    // The rounds run on at most kRoundSymbols symbols spread over the packet; one more round
    // over all of them follows.
    if (sy.size() <= kRoundSymbols) {
        settle(sy, sp_all, with_image, known ? 0 : rate.n_bpsc, g1, g2, vector);
    } else {
        std::vector<Symbol> few;
        const size_t stride = (sy.size() + kRoundSymbols - 1) / kRoundSymbols;
        for (size_t i = 0; i < sy.size(); i += stride) few.push_back(sy[i]);
        if (vector) split_symbols(few, sp_few, vector);
        settle(few, sp_few, with_image, known ? 0 : rate.n_bpsc, g1, g2, vector);
        fit_phases(sy, sp_all, g1, g2, vector);
        if (!known) redecide(sy, sp_all, g1, rate.n_bpsc, vector);
        fit_channel(sy, sp_all, with_image, g1, g2, vector);
        fit_phases(sy, sp_all, g1, g2, vector);
    }
    // Error and signal power on the data subcarriers, the fitted parameters' share of the error restored.
    double err = 0, sig = 0, pow_all = 0;
    if (!error_and_powers_split(sy, sp_all, g1, g2, err, sig, pow_all, vector)) {
        std::vector<std::array<cd, kUsed>>& rs = derotation_scratch();
        derotate_all(sy, sp_all, rs, vector);
        error_and_powers(sy, rs, g1, g2, err, sig, pow_all, vector);
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
        if (i) unwrapped += wrap_phase(sy[static_cast<size_t>(i)].a - sy[static_cast<size_t>(i - 1)].a);
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
