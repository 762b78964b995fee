// Impairment measurements of one received packet: SNR from the data subcarriers'
// error (17.3.9.7), IQ gain imbalance and quadrature error, sample-clock offset,
// common phase error and the channel's RMS delay spread. They fit one model to
// every DATA symbol's subcarriers against the transmitted points (re-made from a
// PSDU with a good FCS, otherwise the decisions):
//   Y(k, n) = exp(j (a_n + b_n k)) (G1_k X(k, n) + G2_k conj(X(-k, n))) + noise,
// a_n the symbol's common phase, b_n its timing phase slope, G1_k the channel and
// G2_k / G1_k the image of the transmitter's IQ imbalance. Nothing here is shared
// with the generator.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "rx.h"

namespace orv::analysis::rx {

// What one packet's DATA field measures; empty where the packet is too short or its model failed.
struct Impairments {
    std::optional<double> snr_db;           // 20 MHz channel: per-subcarrier SNR - 10 log10(64/52)
    std::optional<double> iq_gain_db;       // I over Q branch gain
    std::optional<double> iq_phase_deg;     // angle between the I and Q axes minus 90 degrees
    std::optional<double> clock_ppm;        // positive: the transmitter's sample clock fast
    std::optional<double> cpe_rms_deg;      // after the mean phase and the residual-offset trend
    std::optional<double> delay_spread_ns;  // RMS of the estimated power-delay profile
};

// Fewest DATA symbols the model is fitted to (two for the clock trend, four for the IQ image).
constexpr int kMinSymbols = 2;
constexpr int kMinSymbolsIq = 4;

// The Gray-mapped point of n_bpsc bits (17.3.5.7), unit mean power; bits[0] first.
cd map_point(const uint8_t* bits, int n_bpsc);

// The transmitted data subcarrier values of a DATA field, 48 a symbol in the order of
// data_subcarriers(): the PSDU scrambled from scrambler_init (x1 the most significant of
// 7 bits), coded, punctured, interleaved and mapped as 17.3.5.4 to 17.3.5.7 prescribe.
// vector: the coded bits spread 32 at a time where the processor has AVX2, and each point read
// whole from a table of the constellation (the same points).
std::vector<cd> transmitted_points(const std::vector<uint8_t>& psdu, int scrambler_init, const RateInfo& rate,
                                   int symbols, bool vector = true);
// The same into out, resized to them (its room kept from packet to packet).
void transmitted_points(const std::vector<uint8_t>& psdu, int scrambler_init, const RateInfo& rate, int symbols,
                        std::vector<cd>& out, bool vector = true);

// Measures the DATA field of a synchronised packet (symbols DATA symbols after its
// SIGNAL). known: transmitted_points of the packet, or nullptr to use the decisions; os: the
// file's oversampling, whose front-end low-pass is taken out of the channel for its delay spread.
// spectra: the DATA symbols' subcarriers the demodulator computed (Demodulated::spectra), or
// nullptr to compute them here. vector: the fit four symbols at a time where the processor has
// AVX2 (the same figures), else one by one.
Impairments measure_impairments(const std::vector<cd>& x, const Sync& s, const Channel& h, const RateInfo& rate,
                                int symbols, const std::vector<cd>* known, ForwardFft& fft, int os = 1,
                                const std::vector<std::array<cd, 53>>* spectra = nullptr, bool vector = true);

// std::remainder(x, 2 pi) (the same values): a phase step into [-pi, pi], without the library
// call for steps within 1.5 turns.
double wrap_phase(double x);

// atan2(y, x) within a few units in the last place (a table of atan(i / 16) and a short series;
// the model fit's phases): the same quadrants and signed zeros; NaN and infinities as atan2.
double phase_angle(double y, double x);
// phase_angle of n pairs y[j], x[j] into out[j]; vector: the fastest loop the processor has
// (AngleLoop::best, the same values), else one by one.
void phase_angles(const double* y, const double* x, size_t n, double* out, bool vector = true);
// The loops phase_angles can run: the fastest the processor has, one by one, four at a time
// (AVX2) or eight (AVX-512F and DQ; never on Windows), each giving the same values.
enum class AngleLoop { best, plain, avx2, avx512 };
// Whether the processor and the build have the loop (plain and best always).
bool angle_loop_available(AngleLoop loop);
// phase_angles with the loop given (one the processor lacks: the next narrower it has).
void phase_angles_with(const double* y, const double* x, size_t n, double* out, AngleLoop loop);

// IQ gain (dB) and phase (degrees) of the imbalance whose image ratio is rho = G2 / G1,
// in the senses I' = A_I (I cos(phi/2) - Q sin(phi/2)), Q' = A_Q (Q cos(phi/2) - I sin(phi/2)),
// A_I / A_Q = 10^(g/20). Independent of any common gain and phase after the imbalance.
void iq_from_image_ratio(cd rho, double* gain_db, double* phase_deg);

// RMS delay spread in seconds of the channel h on subcarriers -26..26 (20 MS/s): the
// power-delay profile of taps at whole samples -2..13 (-100 to 650 ns; paths outside are not
// counted) fitted to the 52 used subcarriers by least squares, each tap's noise (noise_var
// per subcarrier) subtracted, on the sub-sample timing (steps of 0.05 samples) where the
// taps fit best. Floor: 0 for paths on whole samples of one timing (a single path anywhere);
// paths between samples of different timings spread over their neighbours, and paths closer
// than the 50 ns resolution of the 16.6 MHz band are not told apart. In a packet a single
// path reads up to about 8 ns, and up to 20 ns under a 50 ppm sample-clock offset. vector: the
// taps' fits four taps or subcarriers at a time where the processor has AVX2 (the same value).
std::optional<double> rms_delay_spread_s(const std::array<cd, 53>& h, double noise_var, bool vector = true);

// rms_delay_spread_s's least-squares taps -2..13 of h advanced by shift samples, into taps;
// returns the fit's residual power over the 52 used subcarriers. vector as there.
double delay_taps(const std::array<cd, 53>& h, double shift, std::array<cd, 16>& taps, bool vector = true);

}  // namespace orv::analysis::rx
