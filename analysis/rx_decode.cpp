// DATA decoding of the packet receiver (17.3.5.4 to 17.3.5.6) and the MAC frame.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>

#include "rx.h"
#include "rx_viterbi.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define ORV_RX_DECODE_SSE2 1
#endif
#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define ORV_RX_DECODE_AVX2 1
#endif

namespace orv::analysis::rx {

std::vector<double> deinterleave(const std::vector<double>& soft, int n_cbps, int n_bpsc) {
    std::vector<int> pos(static_cast<size_t>(n_cbps));
    for (int k = 0; k < n_cbps; ++k) pos[static_cast<size_t>(k)] = interleave_position(k, n_cbps, n_bpsc);
    std::vector<double> out(soft.size() - soft.size() % static_cast<size_t>(n_cbps));
    for (size_t base = 0; base < out.size(); base += static_cast<size_t>(n_cbps))
        for (int k = 0; k < n_cbps; ++k) out[base + static_cast<size_t>(k)] = soft[base + static_cast<size_t>(pos[static_cast<size_t>(k)])];
    return out;
}

std::vector<double> depuncture(const std::vector<double>& soft, int mbps) {
    const bool r34 = mbps == 9 || mbps == 18 || mbps == 36 || mbps == 54;
    const bool r23 = mbps == 48;
    if (!r34 && !r23) return soft;
    std::vector<double> out;
    out.reserve(soft.size() * 2);
    // 3/4: A0 B0 A1 B2 -> A0 B0 A1 - - B2; 2/3: A0 B0 A1 -> A0 B0 A1 -.
    const size_t group = r34 ? 4 : 3;
    for (size_t i = 0; i + group <= soft.size(); i += group) {
        out.insert(out.end(), {soft[i], soft[i + 1], soft[i + 2], 0.0});
        if (r34) out.insert(out.end(), {0.0, soft[i + 3]});
    }
    return out;
}

int scrambler_state_from_service(const std::vector<int>& s) {
    // The register holds the last seven outputs: x_i = s(-i), s(n - 7) = s(n) ^ s(n - 4).
    int past[8] = {0};  // past[i] = s(-i)
    auto at = [&](int n) { return n >= 0 ? s[static_cast<size_t>(n)] : past[-n]; };
    for (int i = 1; i <= 7; ++i) past[i] = at(7 - i) ^ at(7 - i - 4);
    int state = 0;
    for (int i = 1; i <= 7; ++i) state |= past[i] << (7 - i);
    return state;
}

namespace {
// For each code position of a symbol's N_CBPS bits, the received bit it was sent as (the
// interleaver's position, 17.3.5.6) and where it goes among the depunctured pairs (a group of
// 3/4-coded bits A0 B0 A1 B2 to A0 B0 A1 - - B2, of 2/3-coded A0 B0 A1 to A0 B0 A1 -).
struct CodeSlot {
    uint16_t from, to;
};
std::vector<CodeSlot> code_slots(const RateInfo& rate) {
    const bool r34 = rate.mbps == 9 || rate.mbps == 18 || rate.mbps == 36 || rate.mbps == 54, r23 = rate.mbps == 48;
    std::vector<CodeSlot> t(static_cast<size_t>(rate.n_cbps));
    for (int k = 0; k < rate.n_cbps; ++k) {
        const int to = r34 ? 6 * (k / 4) + (k % 4 == 3 ? 5 : k % 4) : r23 ? 4 * (k / 3) + k % 3 : k;
        t[static_cast<size_t>(k)] = {static_cast<uint16_t>(interleave_position(k, rate.n_cbps, rate.n_bpsc)), static_cast<uint16_t>(to)};
    }
    return t;
}
// The same, made once for each of the eight rates.
const std::vector<CodeSlot>& slots_of(const RateInfo& rate) {
    static const std::array<std::vector<CodeSlot>, 55> t = [] {
        std::array<std::vector<CodeSlot>, 55> r;
        for (int mbps : {6, 9, 12, 18, 24, 36, 48, 54})
            if (const RateInfo* ri = rate_by_mbps(mbps)) r[static_cast<size_t>(mbps)] = code_slots(*ri);
        return r;
    }();
    static thread_local std::vector<CodeSlot> other;
    if (rate.mbps >= 0 && rate.mbps < 55 && t[static_cast<size_t>(rate.mbps)].size() == static_cast<size_t>(rate.n_cbps))
        return t[static_cast<size_t>(rate.mbps)];
    other = code_slots(rate);
    return other;
}

#ifdef ORV_RX_DECODE_SSE2
// quantise_soft of a and b without branches (the same values, NaN to 0 included).
inline void quantise_two(double a, double b, double scale, int16_t* q) {
    __m128d v = _mm_mul_pd(_mm_set_pd(b, a), _mm_set1_pd(scale));
    v = _mm_and_pd(v, _mm_cmpord_pd(v, v));
    v = _mm_min_pd(_mm_max_pd(v, _mm_set1_pd(-static_cast<double>(kSoftMax))), _mm_set1_pd(static_cast<double>(kSoftMax)));
    const __m128d half = _mm_or_pd(_mm_set1_pd(0.5), _mm_and_pd(v, _mm_set1_pd(-0.0)));  // copysign(0.5, v)
    const __m128i i = _mm_cvttpd_epi32(_mm_add_pd(v, half));
    q[0] = static_cast<int16_t>(_mm_cvtsi128_si32(i));
    q[1] = static_cast<int16_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(i, 1)));
}
#endif

#ifdef ORV_RX_DECODE_AVX2
// soft[slots[k .. k + 4).from] quantised as quantise_two does them, as four 32-bit integers.
__attribute__((target("avx2"), always_inline)) inline __m128i quantise_four(const double* soft, const CodeSlot* slots,
                                                                             __m256d scale) {
    const __m256d lim = _mm256_set1_pd(static_cast<double>(kSoftMax));
    __m256d v = _mm256_set_pd(soft[slots[3].from], soft[slots[2].from], soft[slots[1].from], soft[slots[0].from]);
    v = _mm256_mul_pd(v, scale);
    v = _mm256_and_pd(v, _mm256_cmp_pd(v, v, _CMP_ORD_Q));
    v = _mm256_min_pd(_mm256_max_pd(v, _mm256_sub_pd(_mm256_setzero_pd(), lim)), lim);
    const __m256d half = _mm256_or_pd(_mm256_set1_pd(0.5), _mm256_and_pd(v, _mm256_set1_pd(-0.0)));  // copysign(0.5, v)
    return _mm256_cvttpd_epi32(_mm256_add_pd(v, half));
}

// One symbol's slots [0, n) eight or four at a time (AVX2; the caller checks the processor): soft[slots[k].from]
// quantised into out[slots[k].to]. Returns the slots done. The layouts of rates 1/2 (slot k to pair
// value k) and 3/4 (four slots to a group of six, its fourth and fifth 0) are written as a
// whole, the stolen values included; others one value at a time.
enum class SlotLayout { any, half, three_quarters };
template <SlotLayout L>
__attribute__((target("avx2"))) size_t quantise_slots_avx2(const double* soft, const CodeSlot* slots, size_t n,
                                                            double scale, int16_t* out) {
    const __m256d s = _mm256_set1_pd(scale);
    // Values 0, 1, 2 of four 16-bit ones, two zeros, value 3 (bytes; 0x80: a zero byte).
    const __m128i group = _mm_setr_epi8(0, 1, 2, 3, 4, 5, -128, -128, -128, -128, 6, 7, -128, -128, -128, -128);
    size_t k = 0;
    // Eight slots a step where the layout is written as a whole: both fours' values packed into
    // one register (within +-kSoftMax: no saturation), stored by a running pointer.
    if constexpr (L == SlotLayout::half) {
        for (int16_t* o = out; k + 8 <= n; k += 8, o += 8) {
            const __m128i i0 = quantise_four(soft, slots + k, s), i1 = quantise_four(soft, slots + k + 4, s);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_packs_epi32(i0, i1));
        }
    } else if constexpr (L == SlotLayout::three_quarters) {
        // Values 0..7 as two groups of six: 0 1 2 (0 0) 3 4 5 | 6 (0 0) 7.
        const __m128i first = _mm_setr_epi8(0, 1, 2, 3, 4, 5, -128, -128, -128, -128, 6, 7, 8, 9, 10, 11);
        const __m128i rest = _mm_setr_epi8(12, 13, -128, -128, -128, -128, 14, 15, -128, -128, -128, -128, -128, -128, -128, -128);
        for (int16_t* o = out; k + 8 <= n; k += 8, o += 12) {
            const __m128i i0 = quantise_four(soft, slots + k, s), i1 = quantise_four(soft, slots + k + 4, s);
            const __m128i p = _mm_packs_epi32(i0, i1);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_shuffle_epi8(p, first));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 8), _mm_shuffle_epi8(p, rest));
        }
    }
    for (; k + 4 <= n; k += 4) {
        const __m128i i = quantise_four(soft, slots + k, s);
        if constexpr (L == SlotLayout::half) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + k), _mm_packs_epi32(i, i));  // within +-kSoftMax: no saturation
        } else if constexpr (L == SlotLayout::three_quarters) {
            const __m128i g = _mm_shuffle_epi8(_mm_packs_epi32(i, i), group);
            int16_t* o = out + k / 4 * 6;
            _mm_storel_epi64(reinterpret_cast<__m128i*>(o), g);
            const int32_t last = _mm_cvtsi128_si32(_mm_srli_si128(g, 8));
            std::memcpy(o + 4, &last, sizeof last);
        } else {
            out[slots[k].to] = static_cast<int16_t>(_mm_extract_epi32(i, 0));
            out[slots[k + 1].to] = static_cast<int16_t>(_mm_extract_epi32(i, 1));
            out[slots[k + 2].to] = static_cast<int16_t>(_mm_extract_epi32(i, 2));
            out[slots[k + 3].to] = static_cast<int16_t>(_mm_extract_epi32(i, 3));
        }
    }
    return k;
}

bool decode_has_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif
}  // namespace

std::vector<int16_t> coded_pairs(const std::vector<double>& soft, const RateInfo& rate) {
    std::vector<int16_t> out;
    coded_pairs_into(soft, rate, out);
    return out;
}

void coded_pairs_into(const std::vector<double>& soft, const RateInfo& rate, std::vector<int16_t>& out) {
    const size_t n_cbps = static_cast<size_t>(rate.n_cbps);
    const size_t used = soft.size() - soft.size() % n_cbps;
    const double scale = soft_scale(soft.data(), used);
    const bool r34 = rate.mbps == 9 || rate.mbps == 18 || rate.mbps == 36 || rate.mbps == 54, r23 = rate.mbps == 48;
    // A symbol's depunctured pairs: N_CBPS values at 1/2, 3/2 of them at 2/3, 2 at 3/4.
    const size_t per_symbol = r34 ? n_cbps * 6 / 4 : r23 ? n_cbps * 4 / 3 : n_cbps;
    const std::vector<CodeSlot>& slots = slots_of(rate);
    // Every value is written below (the stolen ones as 0): out's earlier values are not cleared first.
    out.resize(used / n_cbps * per_symbol);
    for (size_t base = 0, o = 0; base < used; base += n_cbps, o += per_symbol) {
        size_t k = 0;
        bool stolen_written = false;  // the 3/4 groups' zeros
#ifdef ORV_RX_DECODE_AVX2
        if (decode_has_avx2()) {
            const double* sb = soft.data() + base;
            int16_t* ob = out.data() + o;
            if (r34 && slots.size() % 4 == 0) {
                k = quantise_slots_avx2<SlotLayout::three_quarters>(sb, slots.data(), slots.size(), scale, ob);
                stolen_written = k == slots.size();
            } else if (!r34 && !r23)
                k = quantise_slots_avx2<SlotLayout::half>(sb, slots.data(), slots.size(), scale, ob);
            else
                k = quantise_slots_avx2<SlotLayout::any>(sb, slots.data(), slots.size(), scale, ob);
        }
#endif
#ifdef ORV_RX_DECODE_SSE2
        for (; k + 2 <= slots.size(); k += 2) {
            int16_t q[2];
            quantise_two(soft[base + slots[k].from], soft[base + slots[k + 1].from], scale, q);
            out[o + slots[k].to] = q[0];
            out[o + slots[k + 1].to] = q[1];
        }
#endif
        for (; k < slots.size(); ++k) out[o + slots[k].to] = quantise_soft(soft[base + slots[k].from], scale);
        if (r34 && !stolen_written)
            for (size_t j = o; j < o + per_symbol; j += 6) out[j + 3] = out[j + 4] = 0;
        else if (r23)
            for (size_t j = o; j < o + per_symbol; j += 4) out[j + 3] = 0;
    }
}

namespace {

// One step of the descrambler (17.3.5.4) in state st (bit i: the output i + 1 steps back): its output.
inline int scrambler_step(int& st) {
    const int o = ((st >> 6) ^ (st >> 3)) & 1;
    st = ((st << 1) | o) & 0x7F;
    return o;
}

// The descrambler's next eight outputs (the first in bit 0) from each state, and the state after them.
struct ScramblerByte {
    uint8_t out, next;
};
const std::array<ScramblerByte, 128>& scrambler_bytes() {
    static const std::array<ScramblerByte, 128> t = [] {
        std::array<ScramblerByte, 128> b{};
        for (int s = 0; s < 128; ++s) {
            int st = s, out = 0;
            for (int k = 0; k < 8; ++k) out |= scrambler_step(st) << k;
            b[static_cast<size_t>(s)] = {static_cast<uint8_t>(out), static_cast<uint8_t>(st)};
        }
        return b;
    }();
    return t;
}

// Eight bits (0 or 1 each, the first the least significant) as a byte.
inline int byte_of_bits(const uint8_t* b) {
    if constexpr (std::endian::native == std::endian::little) {
        // Bit i of byte i of the word lands on bit 56 + i of the product (one term per place, no carry).
        uint64_t w;
        std::memcpy(&w, b, 8);
        return static_cast<int>((w * 0x0102040810204080ull) >> 56);
    } else {
        return b[0] | b[1] << 1 | b[2] << 2 | b[3] << 3 | b[4] << 4 | b[5] << 5 | b[6] << 6 | b[7] << 7;
    }
}

}  // namespace

Decoded decode_data(const std::vector<double>& soft, const RateInfo& rate, int length) {
    Decoded d;
    static thread_local std::vector<int16_t> pairs;  // kept from packet to packet
    coded_pairs_into(soft, rate, pairs);
    // A clean packet's signs are already a codeword: the search would find that one path.
    static thread_local std::vector<uint8_t> r;
    if (!decode_if_codeword(pairs.data(), pairs.size() / 2, false, r)) r = viterbi_decode_q(pairs.data(), pairs.size() / 2, false);
    const size_t need = 16 + 8 * static_cast<size_t>(length) + 6;
    if (r.size() < need) return d;
    // The first seven SERVICE bits are zero before scrambling: they are the scrambler's output.
    d.scrambler_init = scrambler_state_from_service(std::vector<int>(r.begin(), r.begin() + 7));
    int st = 0;
    for (size_t n = 0; n < 7; ++n) st = (st << 1) | r[n];
    d.service_ok = true;
    for (size_t n = 7; n < 16; ++n) d.service_ok = (r[n] == scrambler_step(st)) && d.service_ok;
    // The scrambler's bytes repeat after 127 (its period of 127 bits, prime to 8): up to 127 of
    // them walked from state to state, the PSDU's bytes then each on its own.
    const std::array<ScramblerByte, 128>& bytes = scrambler_bytes();
    d.psdu.assign(static_cast<size_t>(length), 0);
    const size_t walk = std::min<size_t>(d.psdu.size(), 127);
    uint8_t key[127], before[127];  // byte j's scrambler output and the state it starts from
    for (size_t j = 0; j < walk; ++j) {
        before[j] = static_cast<uint8_t>(st);
        key[j] = bytes[static_cast<size_t>(st)].out;
        st = bytes[static_cast<size_t>(st)].next;
    }
    if (d.psdu.size() > walk) st = before[d.psdu.size() % 127];
    // Through plain pointers (a byte store could alias the vectors' own fields), 127 bytes a round.
    const uint8_t* bits = r.data() + 16;
    uint8_t* psdu = d.psdu.data();
    for (size_t i = 0, n = d.psdu.size(); i < n;) {
        const size_t round = std::min<size_t>(n - i, 127);
        for (size_t j = 0; j < round; ++j, ++i) psdu[i] = static_cast<uint8_t>(byte_of_bits(bits + 8 * i) ^ key[j]);
    }
    const size_t tail = 16 + 8 * static_cast<size_t>(length);
    d.tail_ok = std::all_of(r.begin() + static_cast<std::ptrdiff_t>(tail), r.begin() + static_cast<std::ptrdiff_t>(tail + 6),
                            [](int b) { return b == 0; });
    for (int k = 0; k < 6; ++k) scrambler_step(st);
    d.pad_ok = true;
    for (size_t n = tail + 6; n < r.size(); ++n) d.pad_ok = (r[n] == scrambler_step(st)) && d.pad_ok;
    return d;
}

namespace {
// The six bytes from a as "aa:bb:cc:dd:ee:ff", lower-case hexadecimal (by table: a formatted
// print cost more than the rest of the MAC header's reading).
std::string mac_address(const uint8_t* a) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string s(17, ':');
    for (size_t i = 0; i < 6; ++i) {
        s[3 * i] = kHex[a[i] >> 4];
        s[3 * i + 1] = kHex[a[i] & 15];
    }
    return s;
}
}  // namespace

MacFrame parse_mac(const std::vector<uint8_t>& psdu) {
    MacFrame m;
    if (psdu.size() < 14) return m;
    const size_t body = psdu.size() - 4;
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), psdu.data(), static_cast<uInt>(body));
    uLong fcs = 0;
    for (int i = 0; i < 4; ++i) fcs |= static_cast<uLong>(psdu[body + static_cast<size_t>(i)]) << (8 * i);
    m.fcs_ok = crc == fcs;
    m.type = (psdu[0] >> 2) & 3;
    m.subtype = (psdu[0] >> 4) & 15;
    static const char* const kNames[4] = {"management", "control", "data", "extension"};
    m.type_name = kNames[m.type];
    // Addresses 1..3 as far as the frame holds them (an ACK or CTS has one).
    for (size_t off = 4; off + 6 <= body && off < 22; off += 6) m.addresses.push_back(mac_address(&psdu[off]));
    if (m.type != 1 && body >= 24) m.seq = (psdu[22] | (psdu[23] << 8)) >> 4;
    return m;
}

}  // namespace orv::analysis::rx
