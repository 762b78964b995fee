#include "ofdm_symbol.h"
#include "platform_math.h"

#include <cmath>
#include <cstring>
#include <numbers>

#include "fft.h"

// 17.3.5.9: data subcarriers -26..26 without DC and the pilots, ascending.
// clang-format off
const int32_t kDataSubcarriers[48] = {
    -26, -25, -24, -23, -22, -20, -19, -18, -17, -16, -15, -14, -13, -12, -11, -10,
    -9,  -8,  -6,  -5,  -4,  -3,  -2,  -1,  1,   2,   3,   4,   5,   6,   8,   9,
    10,  11,  12,  13,  14,  15,  16,  17,  18,  19,  20,  22,  23,  24,  25,  26,
};
// clang-format on

const int32_t kPilotSubcarriers[4] = {-21, -7, 7, 21};

// Gray code to natural order: entry v = v ^ v/2 ^ v/4 ^ ...
// clang-format off
const int32_t gray_table[256] = {
      0,   1,   3,   2,   7,   6,   4,   5,  15,  14,  12,  13,   8,   9,  11,  10,
     31,  30,  28,  29,  24,  25,  27,  26,  16,  17,  19,  18,  23,  22,  20,  21,
     63,  62,  60,  61,  56,  57,  59,  58,  48,  49,  51,  50,  55,  54,  52,  53,
     32,  33,  35,  34,  39,  38,  36,  37,  47,  46,  44,  45,  40,  41,  43,  42,
    127, 126, 124, 125, 120, 121, 123, 122, 112, 113, 115, 114, 119, 118, 116, 117,
     96,  97,  99,  98, 103, 102, 100, 101, 111, 110, 108, 109, 104, 105, 107, 106,
     64,  65,  67,  66,  71,  70,  68,  69,  79,  78,  76,  77,  72,  73,  75,  74,
     95,  94,  92,  93,  88,  89,  91,  90,  80,  81,  83,  82,  87,  86,  84,  85,
    255, 254, 252, 253, 248, 249, 251, 250, 240, 241, 243, 242, 247, 246, 244, 245,
    224, 225, 227, 226, 231, 230, 228, 229, 239, 238, 236, 237, 232, 233, 235, 234,
    192, 193, 195, 194, 199, 198, 196, 197, 207, 206, 204, 205, 200, 201, 203, 202,
    223, 222, 220, 221, 216, 217, 219, 218, 208, 209, 211, 210, 215, 214, 212, 213,
    128, 129, 131, 130, 135, 134, 132, 133, 143, 142, 140, 141, 136, 137, 139, 138,
    159, 158, 156, 157, 152, 153, 155, 154, 144, 145, 147, 146, 151, 150, 148, 149,
    191, 190, 188, 189, 184, 185, 187, 186, 176, 177, 179, 178, 183, 182, 180, 181,
    160, 161, 163, 162, 167, 166, 164, 165, 175, 174, 172, 173, 168, 169, 171, 170,
};
// clang-format on

namespace {

constexpr int32_t kMaxValues = 1048576;
constexpr int32_t kMaxPilotCount = 8388608;

// Bits per subcarrier (N_BPSC) by modulation code.
constexpr int32_t kBitsPerValue[4] = {1, 2, 4, 6};

// 17.3.5.7 levels indexed by the Gray-decoded value g: I from the first half of
// the bits, Q from the second half.
constexpr int32_t kBpskI[2] = {-1, 1};
constexpr int32_t kQpskI[4] = {-1, -1, 1, 1};
constexpr int32_t kQpskQ[4] = {-1, 1, 1, -1};
constexpr int32_t kQam16I[4] = {-3, -1, 1, 3};
constexpr int32_t kQam16Q[8] = {-3, -1, 1, 3, 3, 1, -1, -3};
constexpr int32_t kQam64I[8] = {-7, -5, -3, -1, 1, 3, 5, 7};
constexpr int32_t kQam64Q[16] = {-7, -5, -3, -1, 1, 3, 5, 7, 7, 5, 3, 1, -1, -3, -5, -7};

bool valid_mod_code(int32_t mod_code) { return mod_code >= MOD_BPSK && mod_code <= MOD_64QAM; }

bool valid_value_count(int32_t count) { return count >= 6 && count <= kMaxValues; }

// K_MOD of 17.3.5.7: 1, 1/sqrt(2), 1/sqrt(10), 1/sqrt(42).
double k_mod(int32_t mod_code) {
    switch (mod_code) {
        case MOD_QPSK: return 1.0 / std::sqrt(2.0);
        case MOD_16QAM: return 1.0 / std::sqrt(10.0);
        case MOD_64QAM: return 1.0 / std::sqrt(42.0);
        default: return 1.0;
    }
}

// Guards shared by the two placement routines.
int32_t placement_guard(int32_t count, int32_t base, int32_t os) {
    if (base < 32 || base > 1024) return 1;
    if (count < 1 || count > base) return 2;
    if (os < 1 || os > 128) return 3;
    return 0;
}

// Transform bin of subcarrier k in an m-point buffer, or -1 when it does not fit.
int32_t subcarrier_bin(int32_t k, int32_t m) {
    const int32_t bin = k >= 0 ? k : m + k;
    return (bin >= 0 && bin < m) ? bin : -1;
}

}  // namespace

int32_t next_pilot_polarity(int32_t count, int32_t* state, int32_t* out) {
    if (count < 1 || count > kMaxPilotCount) return 1;
    // x^7 + x^4 + 1 on the low bits; unsigned so the growing register never overflows.
    const uint32_t s = static_cast<uint32_t>(*state);
    const uint32_t b = ((s >> 3) ^ (s >> 6)) & 1u;
    *state = static_cast<int32_t>((s << 1) | b);
    const int32_t p = 1 - 2 * static_cast<int32_t>(b);
    for (int32_t i = 0; i < count; ++i) out[i] = p;
    return 0;
}

int32_t pack_bits(int32_t n_cbps, const int32_t* bits, int32_t mod_code, int32_t value_count,
                  int32_t* out) {
    if (!valid_value_count(value_count)) return 1;
    if (!valid_mod_code(mod_code)) return 2;
    const int32_t n_bpsc = kBitsPerValue[mod_code];
    if (n_cbps < value_count * n_bpsc) return 3;
    for (int32_t i = 0; i < value_count; ++i) {
        int32_t v = 0;
        for (int32_t b = 0; b < n_bpsc; ++b) v = (v << 1) | (bits[n_bpsc * i + b] & 1);
        out[i] = v;
    }
    return 0;
}

int32_t gray_lookup(int32_t count, const int32_t* in, int32_t* out) {
    if (!valid_value_count(count)) return 1;
    for (int32_t i = 0; i < count; ++i) out[i] = gray_table[in[i] & 0xFF];
    return 0;
}

int32_t map_constellation(int32_t count, const int32_t* values, int32_t mod_code, int32_t* i_levels,
                          int32_t* q_levels) {
    if (!valid_value_count(count)) return 1;
    if (!valid_mod_code(mod_code)) return 2;
    for (int32_t k = 0; k < count; ++k) {
        const int32_t g = values[k];
        switch (mod_code) {
            case MOD_BPSK:
                i_levels[k] = kBpskI[g & 1];
                q_levels[k] = 0;
                break;
            case MOD_QPSK:
                i_levels[k] = kQpskI[g & 3];
                q_levels[k] = kQpskQ[g & 3];
                break;
            case MOD_16QAM:
                i_levels[k] = kQam16I[(g >> 2) & 3];
                q_levels[k] = kQam16Q[g & 7];
                break;
            default:
                i_levels[k] = kQam64I[(g >> 3) & 7];
                q_levels[k] = kQam64Q[g & 15];
                break;
        }
    }
    return 0;
}

int32_t scale_constellation(int32_t count, const int32_t* levels, int32_t mod_code, double* out) {
    if (!valid_value_count(count)) return 1;
    if (!valid_mod_code(mod_code)) return 2;
    const double k = k_mod(mod_code);
    for (int32_t i = 0; i < count; ++i) out[i] = levels[i] * k;
    return 0;
}

int32_t set_pilot_signs(int32_t count, const int32_t* in, int32_t negate_count,
                        const int32_t* negate_index, int32_t* out) {
    if (count < 1 || count > 1024) return 1;
    if (negate_count < 0 || negate_count > count) return 2;
    for (int32_t i = 0; i < count; ++i) out[i] = in[i];
    for (int32_t n = 0; n < negate_count; ++n) {
        const int32_t idx = negate_index[n];
        if (idx >= 0 && idx < count) out[idx] = -out[idx];  // indices outside are ignored
    }
    return 0;
}

int32_t place_subcarriers(int32_t count, const double* re, const double* im, const int32_t* index,
                          int32_t base, int32_t os, double* buf_re, double* buf_im) {
    const int32_t guard = placement_guard(count, base, os);
    if (guard != 0) return guard;
    const int32_t m = base * os;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t bin = subcarrier_bin(index[i], m);
        if (bin < 0) continue;
        buf_re[bin] = re[i];
        buf_im[bin] = im[i];
    }
    return 0;
}

int32_t place_pilots(int32_t count, const int32_t* pilots, const int32_t* index, int32_t base,
                     int32_t os, double* buf_re) {
    const int32_t guard = placement_guard(count, base, os);
    if (guard != 0) return guard;
    const int32_t m = base * os;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t bin = subcarrier_bin(index[i], m);
        if (bin >= 0) buf_re[bin] = static_cast<double>(pilots[i]);
    }
    return 0;
}

int32_t add_cyclic_prefix(int32_t m, int32_t g, double* src, double* dst) {
    if (m < 32) return 1;
    if (g < 16 || g > m) return 2;
    if (src != dst + g) std::memmove(dst + g, src, static_cast<size_t>(m) * sizeof(double));
    std::memcpy(dst, dst + m, static_cast<size_t>(g) * sizeof(double));
    return 0;
}

int32_t apply_edge_window(int32_t seg_len, int32_t L, const double* src, double* dst) {
    if (seg_len < 32) return 1;
    if (L < 1 || L >= seg_len) return 2;
    const int32_t h = L / 2;
    const double half_pi = std::numbers::pi / 2.0;
    if (src != dst) std::memmove(dst, src, static_cast<size_t>(seg_len) * sizeof(double));
    for (int32_t i = 0; i < h; ++i) {
        const double s = orv_sin(half_pi * (static_cast<double>(i) / L + 0.5));
        dst[i] = dst[i] * (s * s);
    }
    for (int32_t i = seg_len - h; i < seg_len; ++i) {
        const double s = orv_sin(half_pi * (static_cast<double>(seg_len - 1 - i) / L + 0.5));
        dst[i] = dst[i] * (s * s);
    }
    return 0;
}

void symbol_values(const int32_t* bits, int32_t mod_code, int32_t n_cbps, uint8_t* values) {
    int32_t v[48] = {};
    pack_bits(n_cbps, bits, mod_code, 48, v);
    gray_lookup(48, v, v);
    for (int32_t k = 0; k < 48; ++k) values[k] = static_cast<uint8_t>(v[k]);
}

int32_t ofdm_useful_part(int32_t os, const uint8_t* subcarrier_values, int32_t mod_code,
                         int32_t* pilot_state, double* buf_re, double* buf_im, double* factor) {
    if (os < 1 || os > 128) return 1;
    const int32_t m = 64 * os;
    std::memset(buf_re, 0, static_cast<size_t>(m) * sizeof(double));
    std::memset(buf_im, 0, static_cast<size_t>(m) * sizeof(double));

    int32_t polarity[4];
    next_pilot_polarity(4, pilot_state, polarity);

    int32_t values[48] = {};
    int32_t i_levels[48] = {};
    int32_t q_levels[48] = {};
    double re[48] = {};
    double im[48] = {};
    for (int32_t k = 0; k < 48; ++k) values[k] = subcarrier_values[k];
    map_constellation(48, values, mod_code, i_levels, q_levels);
    scale_constellation(48, i_levels, mod_code, re);
    scale_constellation(48, q_levels, mod_code, im);

    // Pilots (p, p, p, -p) on subcarriers -21, -7, 7, 21.
    static const int32_t kNegated[1] = {3};
    int32_t pilots[4];
    set_pilot_signs(4, polarity, 1, kNegated, pilots);

    if ((m & (m - 1)) == 0 && fft_prepare(m) == 0) {
        // Placed straight at their bit-reversed positions: the transform's
        // own permutation would only move them there.
        const int32_t* rev = fft_cached_revmap();
        for (int32_t k = 0; k < 48; ++k) {
            const int32_t at = rev[subcarrier_bin(kDataSubcarriers[k], m)];
            buf_re[at] = re[k];
            buf_im[at] = im[k];
        }
        for (int32_t k = 0; k < 4; ++k)
            buf_re[rev[subcarrier_bin(kPilotSubcarriers[k], m)]] = static_cast<double>(pilots[k]);
        if (factor != nullptr) *factor = 1.0 / m;
        return fft_radix2_reversed(m, buf_re, buf_im, 0, factor == nullptr) == 0 ? 0 : -1;
    }
    if (factor != nullptr) *factor = 1.0;
    place_subcarriers(48, re, im, kDataSubcarriers, 64, os, buf_re, buf_im);
    place_pilots(4, pilots, kPilotSubcarriers, 64, os, buf_re);
    return fft(m, buf_re, buf_im, 0) == 0 ? 0 : -1;  // out of memory
}

int32_t build_ofdm_symbol_values(int32_t os, const uint8_t* subcarrier_values, int32_t mod_code,
                                 int32_t* pilot_state, int32_t L, double* dst_i, double* dst_q) {
    if (os < 1 || os > 128) return 1;
    const int32_t m = 64 * os;
    const int32_t g = 16 * os;
    const int32_t len = 80 * os;
    // The transform runs where the useful part ends up; the guard interval
    // is then copied from its end.
    const int32_t status =
        ofdm_useful_part(os, subcarrier_values, mod_code, pilot_state, dst_i + g, dst_q + g);
    if (status != 0) return status;
    add_cyclic_prefix(m, g, dst_i + g, dst_i);
    add_cyclic_prefix(m, g, dst_q + g, dst_q);
    if (L > 0) {
        apply_edge_window(len, L, dst_i, dst_i);
        apply_edge_window(len, L, dst_q, dst_q);
    }
    return 0;
}

int32_t build_ofdm_symbol(int32_t os, const int32_t* bits, int32_t mod_code, int32_t n_cbps,
                          int32_t n_bpsc, int32_t* pilot_state, int32_t L, double* dst_i,
                          double* dst_q) {
    (void)n_bpsc;  // implied by mod_code
    if (os < 1 || os > 128) return 1;
    uint8_t values[48];
    symbol_values(bits, mod_code, n_cbps, values);
    return build_ofdm_symbol_values(os, values, mod_code, pilot_state, L, dst_i, dst_q);
}
