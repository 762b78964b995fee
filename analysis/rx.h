// The packet receiver: every 802.11a packet of a waveform, in stages with typed
// results (detection, synchronisation, channel estimate, SIGNAL, demodulation,
// decoding, MAC). Each stage is a function of its own over samples at 20 MS/s;
// packets() runs them in order over a whole file. Written from IEEE Std 802.11a,
// 17.3.3 to 17.3.5; nothing here is shared with the generator.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ofdm.h"

namespace orv::analysis::rx {

constexpr double kBaseRateHz = 20e6;

// a b and a conj(b) written out: the products the compiler's complex multiplication gives for
// finite values, without its check for NaN results in the receiver's inner loops.
inline cd mul(cd a, cd b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}
inline cd mul_conj(cd a, cd b) {
    return {a.real() * b.real() + a.imag() * b.imag(), a.imag() * b.real() - a.real() * b.imag()};
}

// Stage 0, front end: a zero-phase low-pass (10 MHz) and decimation by os to 20 MS/s;
// the file's mean is removed when it is a DC offset (above -30 dB of the power). Sample n of the result is sample n * os of x.
std::vector<cd> to_base_rate(const cd* x, int64_t n, int os);
// The mean to_base_rate removes from x[0..n): the mean when above -30 dB of the power, else 0.
cd dc_offset(const cd* x, int64_t n);
// The sum of (x[k] - mean) taps[k], k < n (four interleaved partial sums, SSE2 where present).
cd fir_sum(const cd* x, const double* taps, size_t n, cd mean);
// The front end's low-pass taps for decimation by os > 1 (odd count, unit DC gain).
const std::vector<double>& lowpass_taps(int os);

// The gain of to_base_rate's low-pass at f_hz for oversampling os (1 at DC; 1 for os 1).
double front_end_gain(int os, double f_hz);

// Stage 1, detection: the short training field's 16-sample period (delay and correlate).
struct Detection {
    int64_t at = 0;       // first sample whose 64-sample window looks periodic
    double metric = 0;    // normalised autocorrelation there, 0..1
};
// The next detection at or after from, or nothing up to the end of x.
std::optional<Detection> detect_next(const std::vector<cd>& x, int64_t from);
// The first sample at or after from where x stops looking periodic (after a detection that
// held no preamble: a tone or a constant is skipped in one pass).
int64_t periodic_end(const std::vector<cd>& x, int64_t from);

// Before detection: a continuous tone over the whole of y (an interferer, in every
// 512-sample block within 1 dB of one amplitude, 20 dB above the median of the
// spectrum) estimated and subtracted; nothing (y untouched) when there is none.
struct Tone {
    double freq_hz = 0;  // at 20 MS/s
    cd amplitude = 0;
};
std::optional<Tone> remove_tone(std::vector<cd>& y);
// Samples remove_tone needs to look for a tone at all.
constexpr int64_t kToneMinSamples = 2048;

// Stage 2, synchronisation: timing from the long training field, carrier offset
// (coarse from the short period with its 1.25 MHz ambiguity resolved by the tone
// comb, fine from the long symbols' repetition), spectrum inversion.
struct Sync {
    int64_t t1 = 0;          // first sample of the first long training symbol (the FFT timing: on a
                             // multipath channel up to kBackoff later than the first path)
    int64_t first_path = 0;  // first sample of the first long training symbol on the earliest path
    double cfo_hz = 0;       // carrier offset removed from here on
    bool inverted = false;   // I and Q exchanged in the file
    double metric = 0;       // normalised long-training correlation, 0..1
};
// Synchronises on the packet detected at d; metric below kSyncThreshold: no preamble.
Sync synchronise(const std::vector<cd>& x, const Detection& d);
constexpr double kSyncThreshold = 0.6;

// The long-training metric at each of n timings t: the correlation magnitudes |c[t]| + |c[t + 64]|
// over sqrt(2 e[t] 52/64), e[t] the energy of the 128 samples from t; 0 where e[t] is not above
// silence. vector: two timings a step (SSE2; the same values as one at a time).
void ltf_metric(const cd* c, const double* e, size_t n, double silence, double* v, bool vector = true);

// The samples [from, from + n) of x (zero outside it; I and Q exchanged when inverted) times
// exp(-j 2 pi f i / 20 MHz), i counted from from: a phasor stepped sample by sample and made
// afresh every 64 samples; into out[0 .. n).
void derotate_into(const std::vector<cd>& x, int64_t from, int64_t n, double f, bool inverted, cd* out);

// The energies e[u] = p[u] + .. + p[u + 127] of count windows of 128 samples (p: the samples'
// powers, count + 127 of them): summed afresh every 32 windows, in between a running sum that
// adds the sample entering and takes off the one leaving (never below 0).
void window_energies(const double* p, size_t count, double* e);

// The timing of the largest metric among v[0 .. n) that is above -1, the first where several
// share it (NaN never chosen), its value into *metric; 0 and -1 where there is none. vector: the
// largest found four at a time where the processor has AVX2 (the same choice).
size_t strongest_timing(const double* v, size_t n, double* metric, bool vector = true);

// The long training symbol's correlation for the three carrier offsets the timing tries:
// c_r[t] = sum over n < 64 of z_r[t + n] conj(L[n]), t <= hi - lo + 64, z_r[n] = x[lo + n] (I and Q
// exchanged when inverted) times exp(-j 2 pi (f0 + r 1.25 MHz) n / 20 MHz), r = 0, 1, 2, L the long
// training symbol at 20 MS/s (1/64 scaling); all three from one forward transform (hi - lo + 128 <= 512).
// vector: the spectra's products and the scaling two values at a time where the processor has AVX2
// (the same values).
std::array<std::vector<cd>, 3> ltf_correlations(const std::vector<cd>& x, int64_t lo, int64_t hi, double f0, bool inverted,
                                                bool vector = true);

// The samples [from, from + 64) with the carrier offset removed (phase origin at s.t1) and,
// for an inverted spectrum, I and Q exchanged back; zero outside x. The rotation is rotate64's.
void corrected(const std::vector<cd>& x, const Sync& s, int64_t from, cd* out64);

// out[i] = in[i] (I and Q exchanged when swap_iq) times the phasor of sample i, i < 64: the phasors
// of samples 0..7 are ph, ph step, ph step^2, .. (each the product of the one before and step), and
// sample i + 8's is sample i's times step8 (e^{j 8 w} made on its own, not the chain's product).
// vector: AVX2 where present (the same operations, the same bits).
void rotate64(const cd* in, bool swap_iq, cd ph, cd step, cd step8, cd* out, bool vector = true);
// out[i] = mul(a[i], b[i]), i < n (out may be a). vector: AVX2 where present (the same bits).
void mul_arrays(const cd* a, const cd* b, size_t n, cd* out, bool vector = true);
// power[i] = std::norm(y[i]), i < 53. vector: AVX2 where present (the same bits).
void subcarrier_powers(const std::array<cd, 53>& y, double* power, bool vector = true);

// Stage 3, channel estimate from the two long training symbols (17.3.3).
struct Channel {
    std::array<cd, 53> h{};    // subcarriers -26..26
    double noise_var = 0;      // per subcarrier, from the difference of the two symbols
};
// backoff: samples the FFT windows start before each symbol (in the guard interval).
constexpr int kBackoff = 8;
Channel estimate_channel(const std::vector<cd>& x, const Sync& s, ForwardFft& fft);

// One OFDM symbol's subcarriers -26..26 after the FFT at a window start.
std::array<cd, 53> subcarriers(const std::vector<cd>& x, const Sync& s, int64_t window, ForwardFft& fft);
// subcarriers into out (every value replaced).
void subcarriers_into(const std::vector<cd>& x, const Sync& s, int64_t window, ForwardFft& fft, std::array<cd, 53>& out);

// Stage 4, SIGNAL field (17.3.4).
struct SignalField {
    int rate_mbps = 0;       // 0 when the RATE bits are not a rate
    std::string rate_bits;   // R1..R4
    int length = 0;
    bool reserved_ok = false, parity_ok = false, tail_ok = false;
    int data_symbols = 0;
    bool valid() const { return rate_mbps != 0 && parity_ok && length >= 1; }
};
SignalField decode_signal(const std::vector<cd>& x, const Sync& s, const Channel& h, ForwardFft& fft);

// Stage 5, demodulation of the DATA symbols: pilot phase tracking, max-log soft bits
// weighted by the channel (positive for a 1), decisions and their error.
struct Demodulated {
    std::vector<double> soft;        // N_CBPS a symbol, in the received (interleaved) order
    int symbols = 0;                 // symbols demodulated (fewer than asked when x ends)
    double evm_db = 0;               // data subcarriers against the nearest points
    double residual_hz = 0;          // carrier offset left, from the pilot phase slope
    std::optional<double> leakage_db;  // mean DC bin's power over the mean power of subcarriers -26..26 (17.3.9.6.1)
    std::vector<std::array<cd, 53>> spectra;  // each symbol's subcarriers after the FFT (no drift taken out)
};
// drift: a timing drift to follow, the phase slope across the subcarriers (radians per
// subcarrier) growing by that much per symbol from the long training field on.
Demodulated demodulate(const std::vector<cd>& x, const Sync& s, const Channel& h, const RateInfo& rate, int symbols,
                       ForwardFft& fft, double drift = 0);
// demodulate into d, its buffers' storage kept from an earlier call (all of d is replaced).
void demodulate_into(const std::vector<cd>& x, const Sync& s, const Channel& h, const RateInfo& rate, int symbols,
                     ForwardFft& fft, double drift, Demodulated& d);

// Per data subcarrier t < 48 of a symbol: its index i into subcarriers -26..26, the channel's
// inverse, its power g (not above 0: no signal there) and g over the modulation's scale k.
struct DemapTaps {
    std::array<int32_t, 48> i{};
    std::array<double, 48> inv_re{}, inv_im{}, g{}, g_k{};
};
// One symbol's data subcarriers y equalised by taps and the pilots' correction corr, as nb (2, 4
// or 6) max-log soft bits each from out on (a subcarrier without signal left as it is), and each
// subcarrier's squared error against the nearest point, times k^2, in sq (0 without signal).
// k: the modulation's scale to unit level spacing 2. vector: the AVX2 loop where the processor
// has it (the same values as the plain loop).
void demap_axes(const std::array<cd, 53>& y, const DemapTaps& taps, cd corr, double k, int nb, double* out,
                double* sq, bool vector = true);

// Stage 6, decoding (17.3.5.4 to 17.3.5.6): deinterleave, depuncture, Viterbi,
// descramble with the state recovered from SERVICE, tail and pad check.
struct Decoded {
    std::vector<uint8_t> psdu;   // LENGTH bytes
    int scrambler_init = 0;      // x1..x7, x1 the most significant bit
    bool service_ok = false;     // SERVICE bits 7..15 zero
    bool tail_ok = false;        // the six scrambled tail bits zero
    bool pad_ok = false;         // the pad bits descramble to zero
};
Decoded decode_data(const std::vector<double>& soft, const RateInfo& rate, int length);

// The deinterleaver, depuncturer and scrambler as separate steps (for the tests and the decoder).
std::vector<double> deinterleave(const std::vector<double>& soft, int n_cbps, int n_bpsc);
std::vector<double> depuncture(const std::vector<double>& soft, int mbps);
int scrambler_state_from_service(const std::vector<int>& first7);  // the state before the first bit
// The soft values of N_CBPS-bit symbols in code order for the Viterbi decoder: deinterleaved,
// depunctured (0 for a stolen bit), quantised (rx_viterbi.h); pairs A B.
std::vector<int16_t> coded_pairs(const std::vector<double>& soft, const RateInfo& rate);
// coded_pairs into out, whose storage is kept (every value of out replaced).
void coded_pairs_into(const std::vector<double>& soft, const RateInfo& rate, std::vector<int16_t>& out);

// Stage 7, the MAC header and FCS of a PSDU.
struct MacFrame {
    bool fcs_ok = false;
    int type = -1, subtype = -1;
    std::string type_name;               // "management", "control", "data", "extension"
    std::vector<std::string> addresses;  // "aa:bb:cc:dd:ee:ff" as present
    std::optional<int> seq;
};
// Needs at least 14 bytes for a header (FCS included); shorter PSDUs give fcs_ok false.
MacFrame parse_mac(const std::vector<uint8_t>& psdu);

}  // namespace orv::analysis::rx
