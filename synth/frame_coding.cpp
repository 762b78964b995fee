#include "frame_coding.h"

#include "ofdm_symbol.h"
#include "rate.h"
#include "signal_field.h"

namespace {

// 17.3.5.6 puncturing: which of the encoder's outputs A and B each data bit
// sends, over the pattern's period (rate 1/2: both; 3/4: A0 B0 A1 B2; 2/3: A0 B0 A1).
struct PunctureRule {
    int32_t period;
    int32_t send_a[3], send_b[3];
};
constexpr PunctureRule kPuncture[3] = {{1, {1}, {1}}, {3, {1, 1, 0}, {1, 0, 1}}, {2, {1, 1}, {1, 0}}};

// The encoder's outputs A (bit 0, g0 = 133) and B (bit 1, g1 = 171) for each
// 7-bit register, the newest bit lowest.
struct CodeTable {
    uint8_t ab[128];
    constexpr CodeTable() : ab() {
        for (int32_t reg = 0; reg < 128; ++reg) {
            const int32_t a = (reg ^ (reg >> 2) ^ (reg >> 3) ^ (reg >> 5) ^ (reg >> 6)) & 1;
            const int32_t b = (reg ^ (reg >> 1) ^ (reg >> 2) ^ (reg >> 3) ^ (reg >> 6)) & 1;
            ab[reg] = static_cast<uint8_t>(a | b << 1);
        }
    }
};
constexpr CodeTable kCode;

// The next symbol's N_DBPS bits, scrambled, the tail zeroed after scrambling;
// the scrambler advances.
void scrambled_bits(DataCoder* c, int32_t* mixed) {
    const FrameRate& r = c->rate;
    int32_t plain[kMaxDbps];
    data_symbol_bits(c, plain);
    int32_t at = c->scramble_at;
    for (int32_t k = 0; k < r.n_dbps; ++k) {
        mixed[k] = (plain[k] ^ c->scramble_seq[at]) & 1;
        at = at == 126 ? 0 : at + 1;
    }
    c->scramble_at = at;
    // 17.3.5.2: the six tail bits are set to zero after scrambling.
    const int32_t tail = 16 + 8 * c->length - c->next * r.n_dbps;
    for (int32_t k = tail; k < tail + 6; ++k)
        if (k >= 0 && k < r.n_dbps) mixed[k] = 0;
}

}  // namespace

int32_t frame_rate(int32_t rate_index, FrameRate* r) {
    if (rate_index < 0 || rate_index > 7) return 1;
    int32_t length;
    rate_parameters(rate_index, 0, &r->mod_code, &r->coding_rate, &r->n_bpsc, &r->n_cbps,
                    &r->n_dbps, &length);
    r->rate_index = rate_index;
    return 0;
}

int32_t frame_data_symbols(int32_t length, int32_t n_dbps) {
    return (16 + 8 * length + 6 + n_dbps - 1) / n_dbps;
}

void scramble_bits(int32_t count, const int32_t* in, int32_t* out, int32_t* state) {
    // Bit 6 is x1, bit 0 is x7, so x4 is bit 3.
    int32_t s = *state & 0x7F;
    for (int32_t n = 0; n < count; ++n) {
        const int32_t feedback = (s ^ (s >> 3)) & 1;
        s = (s >> 1) | (feedback << 6);
        out[n] = (in[n] ^ feedback) & 1;
    }
    *state = s;
}

void data_coder_start(DataCoder* c, const FrameRate* rate, const uint8_t* psdu, int32_t length,
                      int32_t scrambler_init) {
    c->rate = *rate;
    c->psdu = psdu;
    c->length = length;
    c->n_sym = frame_data_symbols(length, rate->n_dbps);
    c->next = 0;
    // The scrambler's feedback bits do not depend on the data: one period of them.
    int32_t zeros[127] = {};
    int32_t seq[127];
    int32_t state = scrambler_init & 0x7F;
    scramble_bits(127, zeros, seq, &state);
    for (int32_t n = 0; n < 127; ++n) c->scramble_seq[n] = static_cast<uint8_t>(seq[n]);
    c->scramble_at = 0;
    c->encoder = 0;
    for (int32_t k = 0; k < rate->n_cbps; ++k)
        c->position[k] = static_cast<int16_t>(interleave_index(k, rate->n_cbps, rate->n_bpsc));
    for (int32_t k = 0; k < rate->n_cbps; ++k) c->source[c->position[k]] = static_cast<int16_t>(k);
}

void data_symbol_bits(const DataCoder* c, int32_t* bits) {
    const int32_t n_dbps = c->rate.n_dbps;
    const int32_t first = c->next * n_dbps;
    const int32_t psdu_end = 16 + 8 * c->length;
    for (int32_t k = 0; k < n_dbps; ++k) {
        const int32_t at = first + k;
        int32_t bit = 0;  // SERVICE, tail and pad bits are zero
        if (at >= 16 && at < psdu_end) {
            const int32_t octet = (at - 16) >> 3;
            bit = (c->psdu[octet] >> ((at - 16) & 7)) & 1;
        }
        bits[k] = bit;
    }
}

int32_t data_code_symbol(DataCoder* c, int32_t* scrambled, int32_t* coded, int32_t* interleaved) {
    if (c->next >= c->n_sym) return 1;
    const FrameRate& r = c->rate;
    int32_t mixed[kMaxDbps];
    scrambled_bits(c, mixed);
    const int32_t n_dbps = r.n_dbps, n_cbps = r.n_cbps;

    // The convolutional code (g0 = 133, g1 = 171 octal) punctured as it goes;
    // two spare entries take the stores a dropped bit leaves behind.
    int32_t out[kMaxCbps + 2];
    const PunctureRule& rule = kPuncture[r.coding_rate];
    int32_t reg = c->encoder & 0x7F, phase = 0, k_out = 0;
    for (int32_t n = 0; n < n_dbps; ++n) {
        reg = ((reg << 1) & 0x7F) | (mixed[n] & 1);
        out[k_out] = (reg ^ (reg >> 2) ^ (reg >> 3) ^ (reg >> 5) ^ (reg >> 6)) & 1;
        k_out += rule.send_a[phase];
        out[k_out] = (reg ^ (reg >> 1) ^ (reg >> 2) ^ (reg >> 3) ^ (reg >> 6)) & 1;
        k_out += rule.send_b[phase];
        phase = phase + 1 == rule.period ? 0 : phase + 1;
    }
    c->encoder = reg & 0x7F;
    if (interleaved != nullptr)
        for (int32_t k = 0; k < n_cbps; ++k) interleaved[c->position[k]] = out[k];
    if (scrambled != nullptr)
        for (int32_t k = 0; k < r.n_dbps; ++k) scrambled[k] = mixed[k];
    if (coded != nullptr)
        for (int32_t k = 0; k < r.n_cbps; ++k) coded[k] = out[k];
    ++c->next;
    return 0;
}

int32_t data_code_values(DataCoder* c, uint8_t* values) {
    if (c->next >= c->n_sym) return 1;
    const FrameRate& r = c->rate;
    int32_t mixed[kMaxDbps];
    scrambled_bits(c, mixed);
    // The code punctured as data_code_symbol does it, a whole period of the
    // pattern at a time (N_DBPS is a multiple of every period).
    uint8_t out[kMaxCbps];
    const int32_t n_dbps = r.n_dbps;
    int32_t reg = c->encoder & 0x7F, k = 0;
    const auto step = [&](int32_t n) {
        reg = ((reg << 1) & 0x7F) | (mixed[n] & 1);
        return kCode.ab[reg];
    };
    if (r.coding_rate == 1) {  // 3/4: A0 B0 A1 B2
        for (int32_t n = 0; n < n_dbps; n += 3, k += 4) {
            const int32_t o0 = step(n), o1 = step(n + 1), o2 = step(n + 2);
            out[k] = o0 & 1, out[k + 1] = o0 >> 1, out[k + 2] = o1 & 1, out[k + 3] = o2 >> 1;
        }
    } else if (r.coding_rate == 2) {  // 2/3: A0 B0 A1
        for (int32_t n = 0; n < n_dbps; n += 2, k += 3) {
            const int32_t o0 = step(n), o1 = step(n + 1);
            out[k] = o0 & 1, out[k + 1] = o0 >> 1, out[k + 2] = o1 & 1;
        }
    } else {  // 1/2: A B
        for (int32_t n = 0; n < n_dbps; ++n, k += 2) {
            const int32_t o = step(n);
            out[k] = o & 1, out[k + 1] = o >> 1;
        }
    }
    c->encoder = reg & 0x7F;
    // Interleaved bit j is coded bit source[j]; N_BPSC of them, first most
    // significant, make a value.
    const int32_t n_bpsc = r.n_bpsc;
    for (int32_t i = 0; i < 48; ++i) {
        int32_t v = 0;
        for (int32_t b = 0; b < n_bpsc; ++b) v = (v << 1) | out[c->source[n_bpsc * i + b]];
        values[i] = static_cast<uint8_t>(gray_table[v]);
    }
    ++c->next;
    return 0;
}
