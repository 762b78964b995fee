// DATA field coding of 17.3.5: SERVICE, PSDU, tail and pad bits, scrambler
// (17.3.5.4), convolutional code with puncturing (17.3.5.5, 17.3.5.6), the
// two-step interleaver (17.3.5.7), one OFDM symbol's bits at a time.
#pragma once
#include <cstdint>

// Modulation and coding of one rate (17.3.2.2, Table 78).
struct FrameRate {
    int32_t rate_index;   // 0..7: 6, 9, 12, 18, 24, 36, 48, 54 Mbit/s
    int32_t mod_code;     // MOD_BPSK..MOD_64QAM
    int32_t coding_rate;  // 0 for 1/2, 1 for 3/4, 2 for 2/3 (as puncture takes it)
    int32_t n_bpsc;
    int32_t n_cbps;
    int32_t n_dbps;
};

// Largest N_DBPS and N_CBPS of any rate.
constexpr int32_t kMaxDbps = 216;
constexpr int32_t kMaxCbps = 288;

// Looks up rate_index (0..7). Returns 0, or 1 for another index.
int32_t frame_rate(int32_t rate_index, FrameRate* r);
// N_SYM = ceil((16 + 8 * length + 6) / N_DBPS) DATA symbols of a PSDU of length octets.
int32_t frame_data_symbols(int32_t length, int32_t n_dbps);

// Scrambles count bits: each output is the input XOR x7 XOR x4 of the
// register, whose new x1 is that feedback. state: 7 bits, x1 the most
// significant (93 = 1011101, the standard's example); advanced.
void scramble_bits(int32_t count, const int32_t* in, int32_t* out, int32_t* state);

// The DATA field of one PSDU, made symbol by symbol.
struct DataCoder {
    FrameRate rate;
    const uint8_t* psdu;
    int32_t length;       // PSDU octets
    int32_t n_sym;        // DATA symbols
    int32_t next;         // index of the next symbol to code
    uint8_t scramble_seq[127];  // the scrambler's output bits from the initial state (period 127)
    int32_t scramble_at;        // index in scramble_seq of the next bit
    int32_t encoder;      // convolutional encoder register
    int16_t position[kMaxCbps];  // interleaver: where coded bit k of a symbol goes
    int16_t source[kMaxCbps];    // its inverse: the coded bit that lands at position k
};

// Prepares the coder of psdu (length octets, not copied: it must outlive the
// coder) at a rate with the scrambler's initial state (1..127).
void data_coder_start(DataCoder* c, const FrameRate* rate, const uint8_t* psdu, int32_t length,
                      int32_t scrambler_init);
// The N_DBPS data bits of the next symbol before scrambling: SERVICE (16 zero
// bits), PSDU octets least significant bit first, 6 tail bits, pad bits.
void data_symbol_bits(const DataCoder* c, int32_t* bits);
// Codes the next symbol: scrambled bits (tail zeroed after scrambling), the
// N_CBPS coded bits and the interleaved bits; any output may be null.
// Returns 0, or 1 when every symbol was already coded.
int32_t data_code_symbol(DataCoder* c, int32_t* scrambled, int32_t* coded, int32_t* interleaved);
// Codes the next symbol into its 48 Gray-decoded subcarrier values (what
// symbol_values makes of data_code_symbol's interleaved bits). Returns 0, or
// 1 when every symbol was already coded.
int32_t data_code_values(DataCoder* c, uint8_t* values);
