// The packet receiver's 16-bit Viterbi decoder (17.3.5.5).
#include "rx_viterbi.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define ORV_RX_SSE2 1
#endif
#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define ORV_RX_AVX2 1
#endif

namespace orv::analysis::rx {

namespace {

constexpr int kStates = 64;
// Metric of the states a decoding cannot start in: below any path from state 0 after the
// six steps that reach every state (6 * 4 * kSoftMax), above -32768 with their growth.
constexpr int kUnreachable = -16000;
// Steps between renormalisations (metrics less state 0's): the spread of 24 * kSoftMax
// plus the growth of kRenormalise steps, 2 * kSoftMax each, stays within 16 bits.
constexpr size_t kRenormalise = 8;

// The butterflies: predecessors j and j + 32 lead to states 2j and 2j + 1. The branch
// j -> 2j outputs (A, B) = (sa[j], sb[j]) (+1 for a 1 bit); j + 32 -> 2j and j -> 2j + 1
// the negation, j + 32 -> 2j + 1 the same.
struct Signs {
    alignas(32) int16_t sa[32];
    alignas(32) int16_t sb[32];
};
const Signs& signs() {
    static const Signs t = [] {
        Signs s{};
        for (unsigned j = 0; j < 32; ++j) {
            const unsigned r = 2 * j;  // register (old bit 0, state j, new bit 0), newest bit 0
            s.sa[j] = __builtin_parity(r & 0x6D) ? 1 : -1;
            s.sb[j] = __builtin_parity(r & 0x4F) ? 1 : -1;
        }
        return s;
    }();
    return t;
}

// One trellis step of the plain forward passes: the next metrics from the soft pair (a, b),
// and the decisions (bit s: state s came from s / 2 + 32; a NaN compares false).
template <typename T>
uint64_t acs_step(const Signs& sg, const T* metric, T a, T b, T* next) {
    uint64_t d = 0;
    for (int j = 0; j < 32; ++j) {
        const T x = static_cast<T>(sg.sa[j]) * a + static_cast<T>(sg.sb[j]) * b;
        const T m00 = metric[j] + x, m10 = metric[j + 32] - x;
        const T m01 = metric[j] - x, m11 = metric[j + 32] + x;
        next[2 * j] = m10 > m00 ? m10 : m00;
        next[2 * j + 1] = m11 > m01 ? m11 : m01;
        d |= static_cast<uint64_t>(m10 > m00) << (2 * j);
        d |= static_cast<uint64_t>(m11 > m01) << (2 * j + 1);
    }
    return d;
}

// Forward pass in plain code with 32-bit metrics (no overflow, the vector loops' check);
// bit s of dec[t]: state s at t + 1 came from s / 2 + 32.
void acs_plain(const int16_t* ab, size_t steps, int16_t* metric16, uint64_t* dec) {
    const Signs& sg = signs();
    int metric[kStates], next[kStates];
    std::copy(metric16, metric16 + kStates, metric);
    for (size_t t = 0; t < steps; ++t) {
        dec[t] = acs_step<int>(sg, metric, ab[2 * t], ab[2 * t + 1], next);
        const int base = t % kRenormalise == kRenormalise - 1 ? next[0] : 0;
        for (int s = 0; s < kStates; ++s) metric[s] = next[s] - base;
    }
    for (int s = 0; s < kStates; ++s) metric16[s] = static_cast<int16_t>(metric[s]);
}

#ifdef ORV_RX_SSE2
// The same forward pass, eight states a vector.
void acs_sse2(const int16_t* ab, size_t steps, int16_t* metric, uint64_t* dec) {
    const Signs& sg = signs();
    __m128i m[8], sa[4], sb[4];
    for (int v = 0; v < 8; ++v) m[v] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(metric + 8 * v));
    for (int v = 0; v < 4; ++v) {
        sa[v] = _mm_load_si128(reinterpret_cast<const __m128i*>(sg.sa + 8 * v));
        sb[v] = _mm_load_si128(reinterpret_cast<const __m128i*>(sg.sb + 8 * v));
    }
    for (size_t t = 0; t < steps; ++t) {
        const __m128i a = _mm_set1_epi16(ab[2 * t]), b = _mm_set1_epi16(ab[2 * t + 1]);
        __m128i n[8];
        uint64_t d = 0;
        for (int v = 0; v < 4; ++v) {
            const __m128i x = _mm_add_epi16(_mm_mullo_epi16(sa[v], a), _mm_mullo_epi16(sb[v], b));
            const __m128i m00 = _mm_add_epi16(m[v], x), m10 = _mm_sub_epi16(m[v + 4], x);
            const __m128i m01 = _mm_sub_epi16(m[v], x), m11 = _mm_add_epi16(m[v + 4], x);
            const __m128i n0 = _mm_max_epi16(m00, m10), n1 = _mm_max_epi16(m01, m11);
            const __m128i d0 = _mm_cmpgt_epi16(m10, m00), d1 = _mm_cmpgt_epi16(m11, m01);
            n[2 * v] = _mm_unpacklo_epi16(n0, n1);
            n[2 * v + 1] = _mm_unpackhi_epi16(n0, n1);
            // States 16v .. 16v + 15 in order, one byte each.
            const __m128i bytes = _mm_packs_epi16(_mm_unpacklo_epi16(d0, d1), _mm_unpackhi_epi16(d0, d1));
            d |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(bytes))) << (16 * v);
        }
        dec[t] = d;
        if (t % kRenormalise == kRenormalise - 1) {
            const __m128i base = _mm_set1_epi16(static_cast<int16_t>(_mm_cvtsi128_si32(n[0])));
            for (int v = 0; v < 8; ++v) m[v] = _mm_sub_epi16(n[v], base);
        } else {
            for (int v = 0; v < 8; ++v) m[v] = n[v];
        }
    }
    for (int v = 0; v < 8; ++v) _mm_storeu_si128(reinterpret_cast<__m128i*>(metric + 8 * v), m[v]);
}
#endif

#ifdef ORV_RX_AVX2
// The AVX2 loop keeps the 64 metrics in four registers of sixteen (register r, 128-bit lane l,
// element e; position 16r + 8l + e) in an order that turns with a period of six steps, so that
// a step needs no lane crossing but one in six. Phase k's order: the state at each position.
// Phases 1..5 pair register p (states j) with register p + 2 (j + 32) and interleave the new
// states 2j, 2j + 1 within the lanes; phase 0 holds j and j + 32 in the two lanes of one
// register and exchanges the lanes.
constexpr int phase_state(int k, int r, int l, int e) {
    const int r1 = r >> 1, r0 = r & 1;
    switch (k) {
    case 0: return 32 * l + 16 * r1 + 8 * r0 + e;
    case 1: return 32 * r1 + 16 * r0 + 2 * e + l;
    case 2: return 32 * r1 + 16 * r0 + 8 * (e >> 2) + 4 * ((e >> 1) & 1) + 2 * l + (e & 1);
    case 3: return 32 * r1 + 16 * r0 + 8 * (e >> 2) + 4 * l + 2 * ((e >> 1) & 1) + (e & 1);
    case 4: return 32 * r1 + 16 * r0 + 8 * l + e;
    default: return 32 * r1 + 16 * l + 8 * r0 + e;
    }
}

// The state a step of phase k leaves at position (r, l, e): 2j or 2j + 1 of its butterfly.
constexpr int phase_output(int k, int r, int l, int e) {
    if (k == 0) return 2 * phase_state(0, r, 0, e) + l;
    const int p = r >> 1, h = r & 1;  // output register 2p + h: unpacklo (h 0) or unpackhi of pair p
    return 2 * phase_state(k, p, l, (e >> 1) + 4 * h) + (e & 1);
}

// Whether each phase's output is the next phase's order and holds each state once.
constexpr bool phases_consistent() {
    for (int k = 0; k < 6; ++k) {
        bool seen[kStates] = {};
        for (int r = 0; r < 4; ++r)
            for (int l = 0; l < 2; ++l)
                for (int e = 0; e < 8; ++e) {
                    const int s = phase_state(k, r, l, e);
                    if (seen[s] || phase_output(k, r, l, e) != phase_state((k + 1) % 6, r, l, e)) return false;
                    seen[s] = true;
                    // The butterfly partner (j + 32): the other lane in phase 0, register r + 2 after.
                    const bool low = k == 0 ? l == 0 : r < 2;
                    if (low && phase_state(k, k == 0 ? r : r + 2, k == 0 ? 1 : l, e) != s + 32) return false;
                }
    }
    return true;
}
static_assert(phases_consistent(), "the AVX2 loop's state orders do not follow one another");

// The bit of a phase-k decision word that holds state s's decision (bit index).
constexpr int phase_bit(int k, int s) {
    for (int r = 0; r < 4; ++r)
        for (int l = 0; l < 2; ++l)
            for (int e = 0; e < 8; ++e)
                if (phase_output(k, r, l, e) == s) {
                    // Bytes of packs(d of registers 2q, 2q + 1) in phase 0, of packs(d0, d1) of pair p
                    // after: lane, then which of the two, then element; word half: q or p.
                    if (k == 0) return 32 * (r >> 1) + 16 * l + 8 * (r & 1) + e;
                    const int p = r >> 1, h = r & 1;
                    return 32 * p + 16 * l + 8 * (e & 1) + (e >> 1) + 4 * h;
                }
    return -1;
}

struct AvxTables {
    alignas(32) int16_t sa[6][4][16];  // branch signs at each position of the registers the step adds them to
    alignas(32) int16_t sb[6][4][16];
    uint8_t rot[6][kStates];           // rotation right that brings phase_bit to bit 5
};
constexpr AvxTables make_avx_tables() {
    AvxTables t{};
    for (int k = 0; k < 6; ++k) {
        for (int r = 0; r < 4; ++r)
            for (int i = 0; i < 16; ++i) {
                // Phase 0: register r, both lanes the butterfly of its lane-0 state; after: pair r < 2.
                const int j = k == 0 ? phase_state(0, r, 0, i & 7) : r < 2 ? phase_state(k, r, i >> 3, i & 7) : 0;
                const unsigned reg = 2u * static_cast<unsigned>(j);
                t.sa[k][r][i] = static_cast<int16_t>(std::popcount(reg & 0x6Du) % 2 ? 1 : -1);
                t.sb[k][r][i] = static_cast<int16_t>(std::popcount(reg & 0x4Fu) % 2 ? 1 : -1);
            }
        for (int s = 0; s < kStates; ++s) t.rot[k][s] = static_cast<uint8_t>((phase_bit(k, s) + 64 - 5) % 64);
    }
    return t;
}
constexpr AvxTables kAvx = make_avx_tables();

#define ORV_AVX2_FN __attribute__((target("avx2"), always_inline)) inline

// Branch metric x of every position of a register: sa a + sb b.
ORV_AVX2_FN __m256i branch(__m256i a, __m256i b, const int16_t* sa, const int16_t* sb) {
    return _mm256_add_epi16(_mm256_sign_epi16(a, _mm256_load_si256(reinterpret_cast<const __m256i*>(sa))),
                            _mm256_sign_epi16(b, _mm256_load_si256(reinterpret_cast<const __m256i*>(sb))));
}

// A decision word as a value the compiler cannot look into: it is stored from a general
// register as it comes (gathering four words through vector registers waits on the moves).
inline uint64_t opaque(uint64_t d) {
    __asm__("" : "+r"(d));
    return d;
}

// Step t's soft values A and B in every element.
ORV_AVX2_FN void ab_at(const int16_t* ab, size_t t, __m256i& a, __m256i& b) {
    a = _mm256_set1_epi16(ab[2 * t]);
    b = _mm256_set1_epi16(ab[2 * t + 1]);
}

// One step of phase k (1..5): pairs (m[p], m[p + 2]) into m[2p], m[2p + 1]; the decision word.
template <int K>
ORV_AVX2_FN uint64_t acs_step_in_lanes(__m256i a, __m256i b, __m256i* m) {
    __m256i n[4];
    uint64_t d = 0;
    for (int p = 0; p < 2; ++p) {
        const __m256i x = branch(a, b, kAvx.sa[K][p], kAvx.sb[K][p]);
        const __m256i m00 = _mm256_add_epi16(m[p], x), m10 = _mm256_sub_epi16(m[p + 2], x);
        const __m256i m01 = _mm256_sub_epi16(m[p], x), m11 = _mm256_add_epi16(m[p + 2], x);
        const __m256i n0 = _mm256_max_epi16(m00, m10), n1 = _mm256_max_epi16(m01, m11);
        n[2 * p] = _mm256_unpacklo_epi16(n0, n1);
        n[2 * p + 1] = _mm256_unpackhi_epi16(n0, n1);
        const __m256i bytes = _mm256_packs_epi16(_mm256_cmpgt_epi16(m10, m00), _mm256_cmpgt_epi16(m11, m01));
        d |= static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(bytes))) << (32 * p);
    }
    for (int r = 0; r < 4; ++r) m[r] = n[r];
    return opaque(d);
}

// One step of phase 0: each register's lanes (j, j + 32) exchanged and met; the decision word.
ORV_AVX2_FN uint64_t acs_step_across(__m256i a, __m256i b, __m256i* m) {
    __m256i dr[4];
    for (int r = 0; r < 4; ++r) {
        const __m256i x = branch(a, b, kAvx.sa[0][r], kAvx.sb[0][r]);
        const __m256i own = _mm256_add_epi16(m[r], x);                                             // j + x | j+32 + x
        const __m256i other = _mm256_sub_epi16(_mm256_permute2x128_si256(m[r], m[r], 0x01), x);  // j+32 - x | j - x
        m[r] = _mm256_max_epi16(own, other);
        // Lane 0 (state 2j) came from j + 32 when other is larger, lane 1 (2j + 1) when own is.
        dr[r] = _mm256_blend_epi32(_mm256_cmpgt_epi16(other, own), _mm256_cmpgt_epi16(own, other), 0xF0);
    }
    const uint32_t lo = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_packs_epi16(dr[0], dr[1])));
    const uint32_t hi = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_packs_epi16(dr[2], dr[3])));
    return opaque(lo | static_cast<uint64_t>(hi) << 32);
}

// The forward pass as acs_plain, sixteen states a vector (AVX2; the caller checks the processor);
// metric in and out in state order, dec[t] in phase t % 6's bit order (phase_bit), metrics
// renormalised (less state 0's) after every sixth step.
__attribute__((target("avx2"))) void acs_avx2(const int16_t* ab, size_t steps, int16_t* metric, uint64_t* dec) {
    alignas(32) int16_t pos[kStates];
    for (int r = 0; r < 4; ++r)
        for (int i = 0; i < 16; ++i) pos[16 * r + i] = metric[phase_state(0, r, i >> 3, i & 7)];
    __m256i m[4];
    for (int r = 0; r < 4; ++r) m[r] = _mm256_load_si256(reinterpret_cast<const __m256i*>(pos + 16 * r));
    size_t t = 0;
    __m256i a, b;
    for (; t + 6 <= steps; t += 6) {
        ab_at(ab, t, a, b), dec[t] = acs_step_across(a, b, m);
        ab_at(ab, t + 1, a, b), dec[t + 1] = acs_step_in_lanes<1>(a, b, m);
        ab_at(ab, t + 2, a, b), dec[t + 2] = acs_step_in_lanes<2>(a, b, m);
        ab_at(ab, t + 3, a, b), dec[t + 3] = acs_step_in_lanes<3>(a, b, m);
        ab_at(ab, t + 4, a, b), dec[t + 4] = acs_step_in_lanes<4>(a, b, m);
        ab_at(ab, t + 5, a, b), dec[t + 5] = acs_step_in_lanes<5>(a, b, m);
        const __m256i base = _mm256_broadcastw_epi16(_mm256_castsi256_si128(m[0]));  // state 0 in every order
        for (int r = 0; r < 4; ++r) m[r] = _mm256_sub_epi16(m[r], base);
    }
    const size_t rest = steps - t;
    if (rest > 0) ab_at(ab, t, a, b), dec[t] = acs_step_across(a, b, m);
    if (rest > 1) ab_at(ab, t + 1, a, b), dec[t + 1] = acs_step_in_lanes<1>(a, b, m);
    if (rest > 2) ab_at(ab, t + 2, a, b), dec[t + 2] = acs_step_in_lanes<2>(a, b, m);
    if (rest > 3) ab_at(ab, t + 3, a, b), dec[t + 3] = acs_step_in_lanes<3>(a, b, m);
    if (rest > 4) ab_at(ab, t + 4, a, b), dec[t + 4] = acs_step_in_lanes<4>(a, b, m);
    for (int r = 0; r < 4; ++r) _mm256_store_si256(reinterpret_cast<__m256i*>(pos + 16 * r), m[r]);
    const int k = static_cast<int>(rest);
    for (int r = 0; r < 4; ++r)
        for (int i = 0; i < 16; ++i) metric[phase_state(k, r, i >> 3, i & 7)] = pos[16 * r + i];
}

bool cpu_has_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

// The decided bits from the decisions dec[0..steps) (bit s: state s came from s / 2 + 32),
// tracing back from state at the end.
void traceback(const uint64_t* dec, size_t steps, unsigned state, uint8_t* bits) {
    for (size_t t = steps; t-- > 0;) {
        bits[t] = static_cast<uint8_t>(state & 1);
        state = (state >> 1) | static_cast<unsigned>(((dec[t] >> state) & 1) << 5);
    }
}

#ifdef ORV_RX_AVX2
// One step back over a decision word of phase k (state s after the step): the state before it.
inline unsigned back_phased(uint64_t word, size_t k, unsigned s) {
    return (s >> 1) | static_cast<unsigned>(std::rotr(word, kAvx.rot[k][s]) & 32);
}

// The phase before phase k.
inline size_t phase_before(size_t k) { return k == 0 ? 5 : k - 1; }

// Traceback over decision words in the AVX2 loop's orders (word t in phase t % 6's) from state
// at the end. Long blocks are traced in kChains pieces side by side (a single chain waits on its
// table look-ups): each piece but the last from state 0, then again from the state the piece
// after it found, until the two paths meet (from there on they are the same), so the bits are
// exactly those of a single traceback. While tracing, bits[t] holds the whole state after step t.
constexpr size_t kChains = 4;
constexpr size_t kMinPiece = 240;

// Traces steps [lo, hi) one at a time from state s (the state after step hi - 1) into states;
// returns the state before step lo.
unsigned trace_one(const uint64_t* dec, size_t lo, size_t hi, unsigned s, uint8_t* states) {
    for (size_t t = hi, k = hi % 6; t-- > lo;) {
        k = phase_before(k);
        states[t] = static_cast<uint8_t>(s);
        s = back_phased(dec[t], k, s);
    }
    return s;
}

// Steps i + 5 down to i of each piece c (d[c * len ..], states[c * len ..]), phases 5 to 0.
template <size_t K = 6>
inline void trace_six(const uint64_t* d, uint8_t* states, size_t len, size_t i, unsigned* s) {
    if constexpr (K > 0) {
        for (size_t c = 0; c < kChains; ++c) {
            const size_t u = c * len + i + K - 1;
            states[u] = static_cast<uint8_t>(s[c]);
            s[c] = back_phased(d[u], K - 1, s[c]);
        }
        trace_six<K - 1>(d, states, len, i, s);
    }
}

void traceback_phased(const uint64_t* dec, size_t steps, unsigned state, uint8_t* bits) {
    if (steps < kChains * kMinPiece) {
        trace_one(dec, 0, steps, state, bits);
    } else {
        // The steps past a multiple of six alone; then kChains pieces of len steps (a multiple of
        // six) from lo on side by side; piece 0 goes on alone down to 0.
        const size_t m = steps - steps % 6, len = m / kChains / 6 * 6, lo = m - kChains * len;
        unsigned s[kChains] = {};
        s[kChains - 1] = trace_one(dec, m, steps, state, bits);
        for (size_t i = len; i > 0; i -= 6) trace_six(dec + lo, bits + lo, len, i - 6, s);
        s[0] = trace_one(dec, 0, lo, s[0], bits);
        // From the last piece down: a piece's true top state is where the piece above it ended.
        unsigned truth = s[kChains - 1];
        for (size_t c = kChains - 1; c-- > 0;) {
            const size_t bottom = c == 0 ? 0 : lo + c * len;
            unsigned st = truth;
            bool met = st == 0;  // the guess was right
            for (size_t t = lo + (c + 1) * len, k = 0; !met && t-- > bottom;) {
                k = phase_before(k);
                bits[t] = static_cast<uint8_t>(st);
                st = back_phased(dec[t], k, st);
                met = st == (t > bottom ? bits[t - 1] : s[c]);  // the first trace's state before step t
            }
            if (!met) s[c] = st;
            truth = s[c];
        }
    }
    for (size_t t = 0; t < steps; ++t) bits[t] &= 1;
}
#endif

}  // namespace

bool acs_available(AcsKernel kernel) {
    switch (kernel) {
    case AcsKernel::best:
    case AcsKernel::plain: return true;
#ifdef ORV_RX_SSE2
    case AcsKernel::sse2: return true;
#endif
#ifdef ORV_RX_AVX2
    case AcsKernel::avx2: return cpu_has_avx2();
#endif
    default: return false;
    }
}

namespace {
// Copies the values of src[0..n) within [a, b] to dst in order (branch-free: dst takes up to
// 4 values past the kept ones); returns their count, the count below a in below.
size_t keep_between(const double* src, size_t n, double a, double b, double* dst, size_t& below) {
    size_t kept = 0, under = 0;
    for (size_t i = 0; i < n; ++i) {
        const double v = src[i];
        dst[kept] = v;
        under += v < a;
        kept += (v >= a) & (v <= b);
    }
    below = under;
    return kept;
}

// Copies the values of src[0..m) below p to lo and those above it to hi, in order; returns
// the count below, the count above in above.
size_t split_at(const double* src, size_t m, double p, double* lo, double* hi, size_t& above) {
    size_t nl = 0, nh = 0;
    for (size_t i = 0; i < m; ++i) {
        const double v = src[i];
        lo[nl] = v;
        hi[nh] = v;
        nl += v < p;
        nh += v > p;
    }
    above = nh;
    return nl;
}

#ifdef ORV_RX_AVX2
// For each 4-bit mask, the 32-bit lane order that moves the masked doubles to the front.
struct CompressOrder {
    alignas(32) uint32_t lane[16][8];
};
constexpr CompressOrder make_compress_order() {
    CompressOrder t{};
    for (int m = 0; m < 16; ++m) {
        int s = 0;
        for (int j = 0; j < 4; ++j) {
            if ((m >> j) & 1) {
                t.lane[m][2 * s] = static_cast<uint32_t>(2 * j);
                t.lane[m][2 * s + 1] = static_cast<uint32_t>(2 * j + 1);
                ++s;
            }
        }
    }
    return t;
}
constexpr CompressOrder kCompress = make_compress_order();

// Stores the doubles of v selected by mask at dst, packed in order (writes 4 doubles).
ORV_AVX2_FN void store_compressed(double* dst, __m256d v, int mask) {
    const __m256i order = _mm256_load_si256(reinterpret_cast<const __m256i*>(kCompress.lane[mask]));
    _mm256_storeu_pd(dst, _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(v), order)));
}

// keep_between four values at a time.
__attribute__((target("avx2,popcnt"))) size_t keep_between_avx2(const double* src, size_t n, double a, double b,
                                                                double* dst, size_t& below) {
    const __m256d va = _mm256_set1_pd(a), vb = _mm256_set1_pd(b);
    size_t kept = 0, under = 0, i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d v = _mm256_loadu_pd(src + i);
        const int lt = _mm256_movemask_pd(_mm256_cmp_pd(v, va, _CMP_LT_OQ));
        const int in = _mm256_movemask_pd(
            _mm256_and_pd(_mm256_cmp_pd(v, va, _CMP_GE_OQ), _mm256_cmp_pd(v, vb, _CMP_LE_OQ)));
        store_compressed(dst + kept, v, in);
        kept += static_cast<size_t>(__builtin_popcount(static_cast<unsigned>(in)));
        under += static_cast<size_t>(__builtin_popcount(static_cast<unsigned>(lt)));
    }
    size_t tail_below = 0;
    kept += keep_between(src + i, n - i, a, b, dst + kept, tail_below);
    below = under + tail_below;
    return kept;
}

// split_at four values at a time.
__attribute__((target("avx2,popcnt"))) size_t split_at_avx2(const double* src, size_t m, double p, double* lo,
                                                            double* hi, size_t& above) {
    const __m256d vp = _mm256_set1_pd(p);
    size_t nl = 0, nh = 0, i = 0;
    for (; i + 4 <= m; i += 4) {
        const __m256d v = _mm256_loadu_pd(src + i);
        const int lt = _mm256_movemask_pd(_mm256_cmp_pd(v, vp, _CMP_LT_OQ));
        const int gt = _mm256_movemask_pd(_mm256_cmp_pd(v, vp, _CMP_GT_OQ));
        store_compressed(lo + nl, v, lt);
        store_compressed(hi + nh, v, gt);
        nl += static_cast<size_t>(__builtin_popcount(static_cast<unsigned>(lt)));
        nh += static_cast<size_t>(__builtin_popcount(static_cast<unsigned>(gt)));
    }
    size_t tail_above = 0;
    nl += split_at(src + i, m - i, p, lo + nl, hi + nh, tail_above);
    above = nh + tail_above;
    return nl;
}
#endif

// The magnitudes |soft[i]| for i = 0, stride, 2 stride ... below n that lie in (0, 1e300), in
// order, to buf (buf[count] may be written too); returns their count.
size_t probe_magnitudes(const double* soft, size_t n, size_t stride, double* buf) {
    size_t m = 0;
    for (size_t i = 0; i < n; i += stride) {
        const double v = std::abs(soft[i]);
        buf[m] = v;
        m += v > 0 && v < 1e300;
    }
    return m;
}

#ifdef ORV_RX_AVX2
// probe_magnitudes four places a step (buf[count .. count + 4) may be written too).
__attribute__((target("avx2,popcnt"))) size_t probe_magnitudes_avx2(const double* soft, size_t n, size_t stride,
                                                                    double* buf) {
    const __m256d sign = _mm256_set1_pd(-0.0), zero = _mm256_setzero_pd(), big = _mm256_set1_pd(1e300);
    size_t m = 0, i = 0;
    for (; n > 3 * stride && i < n - 3 * stride; i += 4 * stride) {
        const double* p = soft + i;
        const __m256d v = _mm256_andnot_pd(sign, _mm256_set_pd(p[3 * stride], p[2 * stride], p[stride], p[0]));
        const int keep = _mm256_movemask_pd(_mm256_and_pd(_mm256_cmp_pd(v, zero, _CMP_GT_OQ), _mm256_cmp_pd(v, big, _CMP_LT_OQ)));
        store_compressed(buf + m, v, keep);
        m += static_cast<size_t>(__builtin_popcount(static_cast<unsigned>(keep)));
    }
    return i < n ? m + probe_magnitudes(soft + i, n - i, stride, buf + m) : m;
}
#endif
}  // namespace

// After a first round on sampled pivots, a quickselect on the median of three whose rounds
// copy the values below the pivot to one part of the other buffer and those above it to the
// other part, branch-free (no store waits on a load of the value just stored); the values
// equal to the pivot are its answer (ties cannot stall it); a sort of the last few.
double kth_smallest(double* buf, size_t n, size_t k, bool vector) {
    auto keep = keep_between;
    auto split = split_at;
#ifdef ORV_RX_AVX2
    if (vector && cpu_has_avx2()) keep = keep_between_avx2, split = split_at_avx2;
#else
    (void)vector;
#endif
    const size_t h = n + 4;  // a part's room: n values and the 4 a vector store may write past them
    double* src = buf;
    double* dst = buf + 2 * h;
    size_t m = n;
    if (n >= 256) {
        // A first round on two pivots around rank k of 64 evenly spaced samples: the values
        // between them (a quarter or so) are copied, those below counted. The k-th lies among
        // the copied ones most of the time; else the rounds below start from all values.
        double sample[64];
        for (size_t i = 0; i < 64; ++i) sample[i] = buf[i * n / 64];
        std::sort(sample, sample + 64);
        const size_t r = k * 64 / n;
        const double pa = sample[r < 8 ? 0 : r - 8], pb = sample[std::min<size_t>(r + 8, 63)];
        size_t below = 0;
        const size_t between = keep(buf, n, pa, pb, dst, below);
        if (k >= below && k < below + between) src = dst, m = between, k -= below, dst = buf;
    }
    while (m > 16) {
        const double x = src[0], y = src[m / 2], z = src[m - 1];
        const double p = std::max(std::min(x, y), std::min(std::max(x, y), z));
        size_t nh = 0;
        const size_t nl = split(src, m, p, dst, dst + h, nh);
        if (k < nl) {
            src = dst, m = nl;
        } else if (k >= m - nh) {
            k -= m - nh;
            src = dst + h, m = nh;
        } else {
            return p;
        }
        dst = src < buf + 2 * h ? buf + 2 * h : buf;  // the buffer src is not in
    }
    std::sort(src, src + m);
    return src[k];
}

double soft_scale(const double* soft, size_t n, bool vector) {
    // The median magnitude of up to 1024 evenly spaced non-zero values: an impulse in the
    // file or a spurious channel gain does not shrink every other value to nothing.
    constexpr size_t kProbe = 1024;
    static thread_local std::vector<double> buf;  // the values and kth_smallest's scratch, kept between calls
    const size_t stride = std::max<size_t>(n / kProbe, 1);
    const size_t most = n == 0 ? 0 : (n - 1) / stride + 1;  // up to 2 kProbe - 1 values
    if (buf.size() < 4 * most + 16) buf.resize(4 * most + 16);
    size_t m = 0;
#ifdef ORV_RX_AVX2
    if (vector && cpu_has_avx2())
        m = probe_magnitudes_avx2(soft, n, stride, buf.data());
    else
#endif
        m = probe_magnitudes(soft, n, stride, buf.data());
    if (m == 0) return 1.0;
    return 64.0 / kth_smallest(buf.data(), m, m / 2, vector);
}

std::vector<uint8_t> viterbi_decode_q(const int16_t* ab, size_t steps, bool terminated, AcsKernel kernel) {
    alignas(16) int16_t metric[kStates];
    std::fill(metric, metric + kStates, static_cast<int16_t>(kUnreachable));
    metric[0] = 0;
    const std::unique_ptr<uint64_t[]> dec(new uint64_t[steps]);  // every word set by the forward pass (no zeroing)
    if (kernel == AcsKernel::best)
        kernel = acs_available(AcsKernel::avx2) ? AcsKernel::avx2 : acs_available(AcsKernel::sse2) ? AcsKernel::sse2 : AcsKernel::plain;
    if (!acs_available(kernel)) kernel = AcsKernel::plain;
    bool phased = false;  // decision words in the AVX2 loop's bit orders
    switch (kernel) {
#ifdef ORV_RX_AVX2
    case AcsKernel::avx2: acs_avx2(ab, steps, metric, dec.get()), phased = true; break;
#endif
#ifdef ORV_RX_SSE2
    case AcsKernel::sse2: acs_sse2(ab, steps, metric, dec.get()); break;
#endif
    default: acs_plain(ab, steps, metric, dec.get()); break;
    }
    const unsigned state = terminated ? 0 : static_cast<unsigned>(std::max_element(metric, metric + kStates) - metric);
    std::vector<uint8_t> bits(steps);
#ifdef ORV_RX_AVX2
    if (phased) {
        traceback_phased(dec.get(), steps, state, bits.data());
        return bits;
    }
#endif
    (void)phased;
    traceback(dec.get(), steps, state, bits.data());
    return bits;
}

namespace {
// Four steps of decode_if_codeword's bit solving at once: entry (s << 8) | (g << 4) | c, for
// the state s before them (the newest bit at bit 0), g the steps whose bit comes from B (bit i
// for step i) and c their chosen signs, gives the state after them shifted as the entry's s
// (bits 8..13) and the four bits, step i at bit i.
const std::array<uint16_t, 1 << 14>& four_steps() {
    static const std::array<uint16_t, 1 << 14> t = [] {
        std::array<uint16_t, 1 << 14> e{};
        for (unsigned idx = 0; idx < (1u << 14); ++idx) {
            unsigned s = idx >> 8, by_step = 0;
            for (unsigned i = 0; i < 4; ++i) {
                const unsigned taps = (idx >> (4 + i) & 1) ? 0x4Fu : 0x6Du;  // 171 or 133 octal, 17.3.5.5
                // Both generators take the newest bit: it is the sign less the older taps' parity.
                const unsigned u = (idx >> i & 1) ^ (std::popcount((s << 1) & taps) & 1);
                s = ((s << 1) | u) & 63, by_step |= u << i;
            }
            e[idx] = static_cast<uint16_t>(s << 8 | by_step);
        }
        return e;
    }();
    return t;
}

// Eight steps' bits from state s with every chosen sign 0, entry (g << 6) | s for g the steps
// whose bit comes from B (bit i for step i): the state after them at bits 8..13, the bits at
// 0..7 (step i at bit i). A step is linear in the state and the sign together, so with signs c
// the state and bits are this entry's exclusive-or those from state 0 with signs c.
const std::array<uint16_t, 1 << 14>& eight_steps_linear() {
    static const std::array<uint16_t, 1 << 14> t = [] {
        const std::array<uint16_t, 1 << 14>& four = four_steps();
        std::array<uint16_t, 1 << 14> e{};
        for (unsigned idx = 0; idx < (1u << 14); ++idx) {
            const unsigned g = idx >> 6, s = idx & 63;
            const unsigned lo = four[s << 8 | (g & 15) << 4], hi = four[(lo & 0x3F00u) | (g >> 4) << 4];
            e[idx] = static_cast<uint16_t>((hi & 0x3F00u) | (hi & 15) << 4 | (lo & 15));
        }
        return e;
    }();
    return t;
}

// Eight steps' state and bits from state 0, entry (g << 8) | c for g and c as four_steps' (eight
// steps), laid out as eight_steps_linear's: the part of the signs.
const std::vector<uint16_t>& eight_steps_signs() {
    static const std::vector<uint16_t> t = [] {
        const std::array<uint16_t, 1 << 14>& four = four_steps();
        std::vector<uint16_t> e(1 << 16);
        for (unsigned idx = 0; idx < (1u << 16); ++idx) {
            const unsigned g = idx >> 8, c = idx & 255;
            const unsigned lo = four[(g & 15) << 4 | (c & 15)], hi = four[(lo & 0x3F00u) | (g >> 4) << 4 | c >> 4];
            e[idx] = static_cast<uint16_t>((hi & 0x3F00u) | (hi & 15) << 4 | (lo & 15));
        }
        return e;
    }();
    return t;
}

// Signs and non-zero marks of up to 64 steps from ab, bit i for step i.
struct StepWords {
    uint64_t sa = 0, na = 0, sb = 0, nb = 0;
};
StepWords step_words(const int16_t* ab, size_t n) {
    StepWords w;
    for (size_t i = 0; i < n; ++i) {
        const int a = ab[2 * i], b = ab[2 * i + 1];
        w.sa |= static_cast<uint64_t>(a > 0) << i, w.na |= static_cast<uint64_t>(a != 0) << i;
        w.sb |= static_cast<uint64_t>(b > 0) << i, w.nb |= static_cast<uint64_t>(b != 0) << i;
    }
    return w;
}

#ifdef ORV_RX_AVX2
// step_words of 64 steps (AVX2; the caller checks the processor): each step's pair as one
// 32-bit lane, A its low half, B its high half, eight steps a vector.
__attribute__((target("avx2"))) inline uint64_t lane_bits(__m256i m) {
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(m)));
}
__attribute__((target("avx2"))) StepWords step_words_avx2(const int16_t* ab) {
    StepWords w;
    const __m256i zero = _mm256_setzero_si256();
    for (unsigned i = 0; i < 64; i += 8) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ab + 2 * i));
        const __m256i a = _mm256_slli_epi32(x, 16), b = _mm256_srai_epi32(x, 16);  // the sign is the value's
        w.sa |= lane_bits(_mm256_cmpgt_epi32(a, zero)) << i, w.na |= (~lane_bits(_mm256_cmpeq_epi32(a, zero)) & 255) << i;
        w.sb |= lane_bits(_mm256_cmpgt_epi32(b, zero)) << i, w.nb |= (~lane_bits(_mm256_cmpeq_epi32(b, zero)) & 255) << i;
    }
    return w;
}
#endif

// The bytes 0 and 1 of each 8-bit value's bits, the first the least significant.
const std::array<uint64_t, 256>& byte_bits() {
    static const std::array<uint64_t, 256> t = [] {
        std::array<uint64_t, 256> e{};
        for (unsigned v = 0; v < 256; ++v) {
            uint8_t b[8];
            for (unsigned i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> i & 1);
            std::memcpy(&e[v], b, 8);
        }
        return e;
    }();
    return t;
}

// The coded bits of a generator with taps (bit j: delay j) for the bits u of 64 steps, the
// 64 before them in prev.
uint64_t encoded(uint64_t u, uint64_t prev, unsigned taps) {
    uint64_t out = 0;
    for (unsigned j = 0; j < 7; ++j)
        if (taps >> j & 1) out ^= j == 0 ? u : (u << j) | (prev >> (64 - j));
    return out;
}
}  // namespace

bool decode_if_codeword(const int16_t* ab, size_t steps, bool terminated, std::vector<uint8_t>& bits) {
    bits.resize(steps);
    const std::array<uint16_t, 1 << 14>& linear = eight_steps_linear();
    const uint16_t* signs = eight_steps_signs().data();
    const std::array<uint64_t, 256>& spread = byte_bits();
#ifdef ORV_RX_AVX2
    const bool avx2 = cpu_has_avx2();
#endif
    unsigned s = 0;
    uint64_t prev = 0;
    for (size_t t = 0; t < steps; t += 64) {
        const size_t n = std::min<size_t>(64, steps - t);
#ifdef ORV_RX_AVX2
        const StepWords w = n == 64 && avx2 ? step_words_avx2(ab + 2 * t) : step_words(ab + 2 * t, n);
#else
        const StepWords w = step_words(ab + 2 * t, n);
#endif
        const uint64_t live = n == 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
        if (((w.na | w.nb) & live) != live) return false;  // a step with nothing to go by
        const uint64_t g = ~w.na, c = (w.na & w.sa) | (~w.na & w.sb);
        uint64_t u = 0;
        // Eight steps a look-up on the state's path; their part from the signs does not wait for it.
        for (size_t j = 0; 8 * j < n; ++j) {
            const unsigned g8 = static_cast<unsigned>(g >> 8 * j & 255), c8 = static_cast<unsigned>(c >> 8 * j & 255);
            const unsigned e = linear[g8 << 6 | s] ^ signs[g8 << 8 | c8];
            s = e >> 8;
            u |= static_cast<uint64_t>(e & 255) << 8 * j;
        }
        u &= live;  // steps past the end (the last eight-step group's spare ones)
        const uint64_t wrong = ((encoded(u, prev, 0x6D) ^ w.sa) & w.na) | ((encoded(u, prev, 0x4F) ^ w.sb) & w.nb);
        if (wrong & live) return false;
        if (n == 64)
            for (size_t i = 0; i < 64; i += 8) std::memcpy(bits.data() + t + i, &spread[u >> i & 255], 8);
        else
            for (size_t i = 0; i < n; ++i) bits[t + i] = static_cast<uint8_t>(u >> i & 1);
        prev = u;
    }
    // The state after the last step (a last group of under eight steps ran on past it above).
    unsigned last = 0;
    for (size_t i = 0; i < 6 && i < steps; ++i) last |= static_cast<unsigned>(bits[steps - 1 - i]) << i;
    return !terminated || last == 0;
}

namespace {
// The SIGNAL decoder's forward pass in plain code: double metrics as ofdm.h's viterbi_decode.
void signal_acs_plain(const double* soft, double* metric, uint64_t* dec) {
    const Signs& sg = signs();
    double next[kStates];
    for (size_t t = 0; t < kSignalSteps; ++t) {
        dec[t] = acs_step<double>(sg, metric, soft[2 * t], soft[2 * t + 1], next);
        std::copy(next, next + kStates, metric);
    }
}

#ifdef ORV_RX_AVX2
// The same four butterflies a vector (AVX2; the caller checks the processor): the same sums and
// comparisons, a NaN comparing false as there.
__attribute__((target("avx2"))) void signal_acs_avx2(const double* soft, double* metric, uint64_t* dec) {
    const Signs& sg = signs();
    alignas(32) double sa[32], sb[32], next[kStates];
    for (int j = 0; j < 32; ++j) sa[j] = sg.sa[j], sb[j] = sg.sb[j];
    // Bits 0..3 of m to bits 0, 2, 4, 6.
    static constexpr uint8_t kSpread[16] = {0, 1, 4, 5, 16, 17, 20, 21, 64, 65, 68, 69, 80, 81, 84, 85};
    for (size_t t = 0; t < kSignalSteps; ++t) {
        const __m256d a = _mm256_set1_pd(soft[2 * t]), b = _mm256_set1_pd(soft[2 * t + 1]);
        uint64_t d = 0;
        for (int j = 0; j < 32; j += 4) {
            const __m256d x = _mm256_add_pd(_mm256_mul_pd(_mm256_load_pd(sa + j), a), _mm256_mul_pd(_mm256_load_pd(sb + j), b));
            const __m256d lo = _mm256_loadu_pd(metric + j), hi = _mm256_loadu_pd(metric + j + 32);
            const __m256d m00 = _mm256_add_pd(lo, x), m10 = _mm256_sub_pd(hi, x);
            const __m256d m01 = _mm256_sub_pd(lo, x), m11 = _mm256_add_pd(hi, x);
            const __m256d c0 = _mm256_cmp_pd(m10, m00, _CMP_GT_OQ), c1 = _mm256_cmp_pd(m11, m01, _CMP_GT_OQ);
            const __m256d n0 = _mm256_blendv_pd(m00, m10, c0), n1 = _mm256_blendv_pd(m01, m11, c1);
            const __m256d p = _mm256_unpacklo_pd(n0, n1), q = _mm256_unpackhi_pd(n0, n1);
            _mm256_store_pd(next + 2 * j, _mm256_permute2f128_pd(p, q, 0x20));
            _mm256_store_pd(next + 2 * j + 4, _mm256_permute2f128_pd(p, q, 0x31));
            const unsigned pair = kSpread[_mm256_movemask_pd(c0)] | kSpread[_mm256_movemask_pd(c1)] << 1;
            d |= static_cast<uint64_t>(pair) << (2 * j);
        }
        dec[t] = d;
        std::copy(next, next + kStates, metric);
    }
}
#endif
}  // namespace

void viterbi_decode_signal(const double* soft, uint8_t* bits, bool vector) {
    double metric[kStates];
    std::fill(metric, metric + kStates, -std::numeric_limits<double>::infinity());
    metric[0] = 0.0;
    uint64_t dec[kSignalSteps];  // bit s: state s came from s / 2 + 32
#ifdef ORV_RX_AVX2
    if (vector && cpu_has_avx2())
        signal_acs_avx2(soft, metric, dec);
    else
#endif
        signal_acs_plain(soft, metric, dec);
    (void)vector;
    traceback(dec, kSignalSteps, static_cast<unsigned>(std::max_element(metric, metric + kStates) - metric), bits);
}

std::vector<uint8_t> viterbi_decode_fast(const std::vector<double>& soft, bool terminated) {
    const double scale = soft_scale(soft.data(), soft.size());
    std::vector<int16_t> q(soft.size() - soft.size() % 2);
    for (size_t i = 0; i < q.size(); ++i) q[i] = quantise_soft(soft[i], scale);
    return viterbi_decode_q(q.data(), q.size() / 2, terminated);
}

}  // namespace orv::analysis::rx
