#include "data_field.h"

#include <bit>
#include <cstring>

#include "fft.h"
#include "ofdm_symbol.h"
#include "rate.h"

namespace {

constexpr int32_t kMinBits = 6;
constexpr int32_t kMaxBits = 8388608;  // 0x800000
constexpr int32_t kBitBufferSize = 512;

bool bad_count(int32_t count) { return count < kMinBits || count > kMaxBits; }

// One Fibonacci shift register of length n: the register holds the last n
// sequence bits, newest in bit 0; each step emits bit n-1 (complemented when
// asked), shifts left and feeds back the XOR of the tap bits. Unsigned
// arithmetic: the register is never masked, its upper bits are never read.
int32_t run_pn(int32_t count, int32_t* state, int32_t* bits, int32_t n, uint32_t tap_mask,
               bool complemented) {
    if (bad_count(count)) return 1;
    uint32_t s = static_cast<uint32_t>(*state);
    for (int32_t k = 0; k < count; ++k) {
        const uint32_t out = (s >> (n - 1)) & 1u;
        bits[k] = static_cast<int32_t>(complemented ? 1u - out : out);
        const uint32_t f = static_cast<uint32_t>(std::popcount(s & tap_mask)) & 1u;
        s = (s << 1) | f;
    }
    *state = static_cast<int32_t>(s);
    return 0;
}

constexpr uint32_t bit(int32_t b) { return 1u << b; }

int32_t constant_bits(int32_t count, int32_t* bits, int32_t value) {
    if (bad_count(count)) return 1;
    for (int32_t k = 0; k < count; ++k) bits[k] = value;
    return 0;
}

}  // namespace

// PN9, x^9 + x^5 + 1: feedback from register bits 8 and 4.
int32_t pn9(int32_t count, int32_t* state, int32_t* bits) {
    return run_pn(count, state, bits, 9, bit(8) | bit(4), false);
}

// PN15, x^15 + x^14 + 1: bits 14 and 13, output complemented.
int32_t pn15(int32_t count, int32_t* state, int32_t* bits) {
    return run_pn(count, state, bits, 15, bit(14) | bit(13), true);
}

// PN19, x^19 + x^5 + x^2 + x + 1: bits 18, 4, 1 and 0.
int32_t pn19(int32_t count, int32_t* state, int32_t* bits) {
    return run_pn(count, state, bits, 19, bit(18) | bit(4) | bit(1) | bit(0), false);
}

// PN20, x^20 + x^3 + 1: bits 19 and 2.
int32_t pn20(int32_t count, int32_t* state, int32_t* bits) {
    return run_pn(count, state, bits, 20, bit(19) | bit(2), false);
}

// PN23, x^23 + x^18 + 1: bits 22 and 17, output complemented.
int32_t pn23(int32_t count, int32_t* state, int32_t* bits) {
    return run_pn(count, state, bits, 23, bit(22) | bit(17), true);
}

void generate_payload_bits(int32_t count, int32_t* bits, int32_t* state, int32_t data_pattern) {
    switch (data_pattern) {
        case 1: pn15(count, state, bits); break;
        case 2: pn19(count, state, bits); break;
        case 3: pn20(count, state, bits); break;
        case 4: pn23(count, state, bits); break;
        case 5: constant_bits(count, bits, 0); break;
        case 6: constant_bits(count, bits, 1); break;
        default: pn9(count, state, bits); break;
    }
}

int32_t build_data_field(int32_t os, int32_t pn_seed, int32_t data_pattern, int32_t ofdm_symbols,
                         int32_t rate_index, int32_t L, int32_t D, double* dst_i, double* dst_q,
                         int32_t pilot_state) {
    if (os < 1 || os > 128 || ofdm_symbols < 0 || D < 0 ||
        static_cast<int64_t>(D) < static_cast<int64_t>(80) * os * ofdm_symbols) {
        fft_release_tables();
        return 1;
    }
    std::memset(dst_i, 0, static_cast<size_t>(D) * sizeof(double));
    std::memset(dst_q, 0, static_cast<size_t>(D) * sizeof(double));

    int32_t mod_code, coding_rate, n_bpsc, n_cbps, n_dbps, length;
    rate_parameters(rate_index, ofdm_symbols, &mod_code, &coding_rate, &n_bpsc, &n_cbps, &n_dbps,
                    &length);

    // The pattern supplies the coded bits directly and runs on across symbols.
    int32_t bits[kBitBufferSize] = {};
    int32_t state = pn_seed;
    const int32_t symbol_len = 80 * os;
    for (int32_t k = 0; k < ofdm_symbols; ++k) {
        generate_payload_bits(n_cbps, bits, &state, data_pattern);
        const int32_t status =
            build_ofdm_symbol(os, bits, mod_code, n_cbps, n_bpsc, &pilot_state, L,
                              dst_i + static_cast<size_t>(symbol_len) * k,
                              dst_q + static_cast<size_t>(symbol_len) * k);
        if (status != 0) {
            fft_release_tables();
            return -1;
        }
    }
    fft_release_tables();  // no tables stay allocated between generation calls
    return 0;
}
