// 802.11a receiver building blocks: subcarrier tables, the pilot polarity
// sequence, the SIGNAL field's deinterleaver and Viterbi decoder, constellation
// slicing and the payload pattern generators. Written from IEEE Std 802.11a,
// 17.3.3 to 17.3.5; nothing here is shared with the generator.
#pragma once

#include <complex>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <fftw3.h>

namespace orv::analysis {

using cd = std::complex<double>;

// Data subcarriers -26..26 without 0 and the pilots, ascending (17.3.5.9).
const std::vector<int>& data_subcarriers();
constexpr int kPilotSubcarriers[4] = {-21, -7, 7, 21};
constexpr int kPilotSigns[4] = {1, 1, 1, -1};

// Long training sequence L(k), k = -26..26 (17.3.3).
int long_training(int k);

// Pilot polarity p_n, n = 0..126 repeating (17.3.5.9; the scrambler of 17.3.5.4 from all ones).
int pilot_polarity(int n);

// Rate parameters of 17.3.2.2 by data rate.
struct RateInfo {
    int mbps;
    int n_bpsc;  // coded bits per subcarrier
    int n_cbps;  // coded bits per symbol
    int n_dbps;  // data bits per symbol
    const char* rate_bits;  // R1..R4 of the SIGNAL field (17.3.4.1)
};
const RateInfo* rate_by_mbps(int mbps);
const RateInfo* rate_by_bits(const std::string& r1_to_r4);

// Interleaver position j of coded bit k (17.3.5.6).
int interleave_position(int k, int n_cbps, int n_bpsc);

// Maximum-likelihood decoding of the rate-1/2, K = 7 code (133, 171 octal) from
// soft values (positive for a 1 bit): pairs A0 B0 A1 B1 ...; ends in state 0 when
// terminated is set. Returns one bit per pair.
std::vector<int> viterbi_decode(const std::vector<double>& soft, bool terminated);

// Nearest constellation point of a modulation with n_bpsc bits; appends its bits.
cd slice(cd z, int n_bpsc, std::vector<uint8_t>* bits);

// A payload pattern: "PN9", "PN15", "PN19", "PN20", "PN23", "ALL 0", "ALL 1".
struct PatternInfo {
    const char* name;
    int n;            // register length, 0 for a constant pattern
    bool complemented;
};
const std::vector<PatternInfo>& patterns();
const PatternInfo* pattern_by_name(const std::string& name);

// count bits of a pattern from seed (the register's initial state).
std::vector<uint8_t> pattern_bits(const PatternInfo& p, uint32_t seed, size_t count);

// One forward FFT of fixed size (unscaled), planned once.
class ForwardFft {
public:
    explicit ForwardFft(int n);
    ~ForwardFft();
    ForwardFft(const ForwardFft&) = delete;
    ForwardFft& operator=(const ForwardFft&) = delete;
    int size() const { return n_; }
    // Transforms n samples starting at src into out (n values).
    void run(const cd* src, cd* out);
    // The n samples transform() takes, to be written in place.
    cd* input() { return reinterpret_cast<cd*>(in_); }
    // Transforms the samples in input(): n values, valid until the next transform.
    const cd* transform();

private:
    int n_;
    fftw_complex* in_;
    fftw_complex* out_;
    fftw_plan plan_;
};

}  // namespace orv::analysis
