#include "ofdm.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

namespace orv::analysis {

const std::vector<int>& data_subcarriers() {
    static const std::vector<int> sc = [] {
        std::vector<int> v;
        for (int k = -26; k <= 26; ++k)
            if (k != 0 && k != -21 && k != -7 && k != 7 && k != 21) v.push_back(k);
        return v;
    }();
    return sc;
}

int long_training(int k) {
    static const int8_t L[53] = {1, 1, -1, -1, 1, 1, -1, 1, -1, 1, 1, 1, 1, 1, 1, -1, -1, 1,
                                 1, -1, 1, -1, 1, 1, 1, 1, 0, 1, -1, -1, 1, 1, -1, 1, -1, 1,
                                 -1, -1, -1, -1, -1, 1, 1, -1, -1, 1, -1, 1, -1, 1, 1, 1, 1};
    if (k < -26 || k > 26) return 0;
    return L[k + 26];
}

int pilot_polarity(int n) {
    static const std::array<int8_t, 127> seq = [] {
        std::array<int8_t, 127> s{};
        int x[8];  // x[1] newest .. x[7] oldest, all ones
        for (int i = 1; i <= 7; ++i) x[i] = 1;
        for (int i = 0; i < 127; ++i) {
            const int b = x[7] ^ x[4];  // x^7 + x^4 + 1
            for (int j = 7; j > 1; --j) x[j] = x[j - 1];
            x[1] = b;
            s[i] = static_cast<int8_t>(b ? -1 : 1);
        }
        return s;
    }();
    return seq[((n % 127) + 127) % 127];
}

namespace {
const RateInfo kRates[8] = {
    {6, 1, 48, 24, "1101"},    {9, 1, 48, 36, "1111"},    {12, 2, 96, 48, "0101"},
    {18, 2, 96, 72, "0111"},   {24, 4, 192, 96, "1001"},  {36, 4, 192, 144, "1011"},
    {48, 6, 288, 192, "0001"}, {54, 6, 288, 216, "0011"},
};
}  // namespace

const RateInfo* rate_by_mbps(int mbps) {
    for (const RateInfo& r : kRates)
        if (r.mbps == mbps) return &r;
    return nullptr;
}

const RateInfo* rate_by_bits(const std::string& bits) {
    for (const RateInfo& r : kRates)
        if (bits == r.rate_bits) return &r;
    return nullptr;
}

int interleave_position(int k, int n_cbps, int n_bpsc) {
    const int s = std::max(n_bpsc / 2, 1);
    const int i = (n_cbps / 16) * (k % 16) + k / 16;
    return s * (i / s) + (i + n_cbps - (16 * i) / n_cbps) % s;
}

namespace {
// The code's butterflies: predecessors j and j + 32 lead to states 2j and 2j + 1. Both
// generators tap the newest and the oldest bit, so the branch j -> 2j outputs
// (A, B) = (sa[j], sb[j]) (+1 for a 1 bit), and the other three branches the negation
// or the same: j + 32 -> 2j and j -> 2j + 1 the negation, j + 32 -> 2j + 1 the same.
struct Butterflies {
    double sa[32], sb[32];
};
const Butterflies& butterflies() {
    static const Butterflies t = [] {
        Butterflies bf{};
        for (unsigned j = 0; j < 32; ++j) {
            const unsigned r = 2 * j;  // register (old bit 0, state j, new bit 0), newest bit 0
            bf.sa[j] = __builtin_parity(r & 0x6D) ? 1.0 : -1.0;
            bf.sb[j] = __builtin_parity(r & 0x4F) ? 1.0 : -1.0;
        }
        return bf;
    }();
    return t;
}
}  // namespace

std::vector<int> viterbi_decode(const std::vector<double>& soft, bool terminated) {
    // State: the last six input bits, newest in bit 0. Outputs of the 7-bit
    // register r = (state << 1) | u: A taps 133 octal, B taps 171 octal. Ties
    // keep the predecessor whose oldest bit is 0.
    constexpr int kStates = 64;
    const size_t steps = soft.size() / 2;
    const Butterflies& bf = butterflies();
    const double kNeg = -std::numeric_limits<double>::infinity();
    alignas(32) double metric[kStates], next[kStates], x[32];
    std::fill(metric, metric + kStates, kNeg);
    metric[0] = 0.0;
    std::vector<uint8_t> from(steps * kStates);  // the oldest bit of the previous state
    for (size_t t = 0; t < steps; ++t) {
        const double a = soft[2 * t], b = soft[2 * t + 1];
        uint8_t* d = &from[t * kStates];
        for (int j = 0; j < 32; ++j) x[j] = bf.sa[j] * a + bf.sb[j] * b;
        for (int j = 0; j < 32; ++j) {
            const double m00 = metric[j] + x[j], m10 = metric[j + 32] - x[j];
            const double m01 = metric[j] - x[j], m11 = metric[j + 32] + x[j];
            next[2 * j] = m10 > m00 ? m10 : m00;
            next[2 * j + 1] = m11 > m01 ? m11 : m01;
            d[2 * j] = m10 > m00;
            d[2 * j + 1] = m11 > m01;
        }
        std::copy(next, next + kStates, metric);
    }
    int state = 0;
    if (!terminated) state = static_cast<int>(std::max_element(metric, metric + kStates) - metric);
    std::vector<int> bits(steps);
    for (size_t t = steps; t-- > 0;) {
        bits[t] = state & 1;
        state = (state >> 1) | (from[t * kStates + static_cast<size_t>(state)] << 5);
    }
    return bits;
}

namespace {
// Level index and Gray bits of one axis with n bits (levels -(2^n - 1) .. 2^n - 1).
double slice_axis(double v, int n, std::vector<uint8_t>* bits) {
    const int levels = 1 << n;
    int i = static_cast<int>(std::lround((v + (levels - 1)) / 2.0));
    i = std::clamp(i, 0, levels - 1);
    if (bits) {
        const int g = i ^ (i >> 1);
        for (int b = n - 1; b >= 0; --b) bits->push_back(static_cast<uint8_t>((g >> b) & 1));
    }
    return 2.0 * i - (levels - 1);
}
}  // namespace

cd slice(cd z, int n_bpsc, std::vector<uint8_t>* bits) {
    if (n_bpsc == 1) return {slice_axis(z.real(), 1, bits), 0.0};
    const double k = n_bpsc == 2 ? std::sqrt(2.0) : n_bpsc == 4 ? std::sqrt(10.0) : std::sqrt(42.0);
    const int n = n_bpsc / 2;
    const double i = slice_axis(z.real() * k, n, bits);
    const double q = slice_axis(z.imag() * k, n, bits);
    return {i / k, q / k};
}

const std::vector<PatternInfo>& patterns() {
    static const std::vector<PatternInfo> p = {
        {"PN9", 9, false}, {"PN15", 15, true}, {"PN19", 19, false}, {"PN20", 20, false},
        {"PN23", 23, true}, {"ALL 0", 0, false}, {"ALL 1", 0, false},
    };
    return p;
}

const PatternInfo* pattern_by_name(const std::string& name) {
    std::string n;
    for (char c : name)
        if (c != ' ') n += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    for (const PatternInfo& p : patterns()) {
        std::string pn;
        for (const char* c = p.name; *c; ++c)
            if (*c != ' ') pn += *c;
        if (pn == n) return &p;
    }
    return nullptr;
}

std::vector<uint8_t> pattern_bits(const PatternInfo& p, uint32_t seed, size_t count) {
    std::vector<uint8_t> out(count);
    if (p.n == 0) {
        std::fill(out.begin(), out.end(), static_cast<uint8_t>(std::string(p.name) == "ALL 1"));
        return out;
    }
    // Fibonacci register of the pattern's polynomial: the oldest bit (n - 1) is
    // the output, the feedback enters at bit 0.
    uint32_t taps;
    switch (p.n) {
        case 9: taps = (1u << 8) | (1u << 4); break;                            // x^9 + x^5 + 1
        case 15: taps = (1u << 14) | (1u << 13); break;                         // x^15 + x^14 + 1
        case 19: taps = (1u << 18) | (1u << 4) | (1u << 1) | 1u; break;         // x^19 + x^5 + x^2 + x + 1
        case 20: taps = (1u << 19) | (1u << 2); break;                          // x^20 + x^3 + 1
        default: taps = (1u << 22) | (1u << 17); break;                         // x^23 + x^18 + 1
    }
    const uint32_t mask = (1u << p.n) - 1u;
    uint32_t s = seed & mask;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t b = (s >> (p.n - 1)) & 1u;
        out[i] = static_cast<uint8_t>(p.complemented ? b ^ 1u : b);
        const uint32_t f = static_cast<uint32_t>(__builtin_parity(s & taps));
        s = ((s << 1) | f) & mask;
    }
    return out;
}

namespace {
std::mutex& planner_mutex() {
    static std::mutex m;  // FFTW's planner is not reentrant
    return m;
}
}  // namespace

ForwardFft::ForwardFft(int n) : n_(n) {
    in_ = static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * static_cast<size_t>(n)));
    out_ = static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * static_cast<size_t>(n)));
    if (!in_ || !out_) {
        fftw_free(in_);
        fftw_free(out_);
        throw std::bad_alloc();
    }
    std::lock_guard<std::mutex> lock(planner_mutex());
    plan_ = fftw_plan_dft_1d(n, in_, out_, FFTW_FORWARD, FFTW_ESTIMATE);
}

ForwardFft::~ForwardFft() {
    {
        std::lock_guard<std::mutex> lock(planner_mutex());
        fftw_destroy_plan(plan_);
    }
    fftw_free(in_);
    fftw_free(out_);
}

const cd* ForwardFft::transform() {
    fftw_execute(plan_);
    return reinterpret_cast<const cd*>(out_);
}

void ForwardFft::run(const cd* src, cd* out) {
    // The plan runs on the caller's arrays when they are apart and aligned as the plan's own
    // (the same codelets, the same bits; an out-of-place complex plan leaves its input as it is).
    const size_t bytes = sizeof(cd) * static_cast<size_t>(n_);
    const auto a = reinterpret_cast<uintptr_t>(src), b = reinterpret_cast<uintptr_t>(out);
    auto* in = reinterpret_cast<double*>(const_cast<cd*>(src));
    auto* to = reinterpret_cast<double*>(out);
    if ((a + bytes <= b || b + bytes <= a) && fftw_alignment_of(in) == fftw_alignment_of(in_[0]) &&
        fftw_alignment_of(to) == fftw_alignment_of(out_[0])) {
        fftw_execute_dft(plan_, reinterpret_cast<fftw_complex*>(in), reinterpret_cast<fftw_complex*>(to));
        return;
    }
    std::memcpy(in_, src, bytes);
    fftw_execute(plan_);
    std::memcpy(static_cast<void*>(out), out_, bytes);
}

}  // namespace orv::analysis
