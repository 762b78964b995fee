#include "signal_field.h"

#include "ofdm_symbol.h"

namespace {

// 17.3.4.1 RATE bits R1..R4 for 6, 9, 12, 18, 24, 36, 48, 54 Mbit/s.
constexpr int32_t kRateBits[8][4] = {
    {1, 1, 0, 1}, {1, 1, 1, 1}, {0, 1, 0, 1}, {0, 1, 1, 1},
    {1, 0, 0, 1}, {1, 0, 1, 1}, {0, 0, 0, 1}, {0, 0, 1, 1},
};

constexpr int32_t kSignalBits = 24;
constexpr int32_t kSignalCodedBits = 48;

}  // namespace

void signal_bits(int32_t rate_index, int32_t length, int32_t* bits24) {
    const int32_t* rate = kRateBits[(rate_index >= 0 && rate_index <= 7) ? rate_index : 0];
    for (int32_t i = 0; i < 4; ++i) bits24[i] = rate[i];
    bits24[4] = 0;  // reserved
    // LENGTH, least significant bit first; even parity over bits 0..16; six tail bits.
    for (int32_t i = 0; i < 12; ++i) bits24[5 + i] = (length >> i) & 1;
    int32_t parity = 0;
    for (int32_t i = 0; i < 17; ++i) parity ^= bits24[i];
    bits24[17] = parity;
    for (int32_t i = 18; i < 24; ++i) bits24[i] = 0;
}

void convolutional_encode(const int32_t* in, int32_t* a, int32_t* b, int32_t* state,
                          int32_t count) {
    // Register bit d holds the input of d steps ago; g0 = 133 and g1 = 171 (octal).
    int32_t reg = *state & 0x7F;
    for (int32_t n = 0; n < count; ++n) {
        reg = ((reg << 1) & 0x7F) | (in[n] & 1);
        a[n] = (reg ^ (reg >> 2) ^ (reg >> 3) ^ (reg >> 5) ^ (reg >> 6)) & 1;
        b[n] = (reg ^ (reg >> 1) ^ (reg >> 2) ^ (reg >> 3) ^ (reg >> 6)) & 1;
    }
    *state = reg & 0x7F;
}

int32_t puncture(int32_t* out, const int32_t* a, const int32_t* b, int32_t count,
                 int32_t coding_rate, int32_t* out_count) {
    if (coding_rate < 0 || coding_rate > 2) return -1;
    int32_t k = 0;
    for (int32_t n = 0; n < count; ++n) {
        if (coding_rate == 0) {
            out[k++] = a[n];
            out[k++] = b[n];
        } else if (coding_rate == 1) {
            // 17.3.5.6, rate 3/4: of A0 A1 A2 / B0 B1 B2 send A0 B0 A1 B2.
            const int32_t phase = n % 3;
            if (phase != 2) out[k++] = a[n];
            if (phase != 1) out[k++] = b[n];
        } else {
            // 17.3.5.6, rate 2/3: of A0 A1 / B0 B1 send A0 B0 A1.
            out[k++] = a[n];
            if (n % 2 == 0) out[k++] = b[n];
        }
    }
    *out_count = k;
    return 0;
}

int32_t interleave_index(int32_t k, int32_t n_cbps, int32_t n_bpsc) {
    if (n_cbps < 16 || k < 0 || k >= n_cbps) return -1;
    // First permutation: adjacent coded bits onto non-adjacent subcarriers.
    const int32_t i = (n_cbps / 16) * (k % 16) + k / 16;
    // Second permutation: alternate between more and less significant constellation bits.
    const int32_t s = n_bpsc / 2 > 1 ? n_bpsc / 2 : 1;
    return s * (i / s) + (i + n_cbps - (16 * i) / n_cbps) % s;
}

int32_t build_signal_symbol(int32_t os, int32_t rate_index, int32_t length, int32_t* pilot_state,
                            int32_t L, double* dst_i, double* dst_q) {
    int32_t bits[kSignalBits];
    signal_bits(rate_index, length, bits);

    int32_t a[kSignalBits], b[kSignalBits];
    int32_t state = 0;
    convolutional_encode(bits, a, b, &state, kSignalBits);
    int32_t coded[kSignalCodedBits];
    int32_t coded_count = 0;
    puncture(coded, a, b, kSignalBits, 0, &coded_count);

    int32_t interleaved[kSignalCodedBits];
    for (int32_t k = 0; k < kSignalCodedBits; ++k)
        interleaved[interleave_index(k, kSignalCodedBits, 1)] = coded[k];

    return build_ofdm_symbol(os, interleaved, MOD_BPSK, kSignalCodedBits, 1, pilot_state, L, dst_i,
                             dst_q);
}
