// Transmitter and channel impairments in physical units, stage by stage, for
// streams handed over block by block (every stage carries its state from one
// block to the next). The chain's order: power amplifier -> IQ imbalance (and
// DC offset) -> phase noise and carrier offset -> sample clock -> multipath
// channel -> noise. Every random stage draws from its own stream derived from
// one 64-bit seed, so switching one stage on or off leaves another's draws alone.
#pragma once
#include <cstdint>

// ---- Random streams ---------------------------------------------------------

// The stream numbers of the random stages.
enum ImpairStream : uint64_t {
    kStreamNoise = 1,
    kStreamPhaseNoise = 2,
    kStreamMultipath = 3,
};

// xoshiro256** state.
struct ImpairRng {
    uint64_t s[4];
};

// Seeds the generator for stream `stream` (and sub-stream `index`, e.g. a packet) of seed.
void impair_rng_seed(ImpairRng* g, uint64_t seed, uint64_t stream, uint64_t index);
// The next 64-bit draw.
uint64_t impair_u64(ImpairRng* g);
// Uniform deviate in (0, 1), 53 bits.
double impair_uniform(ImpairRng* g);
// Standard normal deviate (the ziggurat method).
double impair_normal(ImpairRng* g);
// n standard normal deviates: impair_normal's n calls in turn (the same values and draws).
void impair_normals(ImpairRng* g, int32_t n, double* out);
// Adds complex white Gaussian noise of variance sigma2 per complex sample
// (sigma2 / 2 per channel) to n samples, both deviates of a sample from one 64-bit draw.
void add_complex_noise(ImpairRng* g, int32_t n, double sigma2, double* i, double* q);

// ---- Power amplifier ----------------------------------------------------------

// Rapp AM/AM: |y| = |x| / (1 + (|x| / a_sat)^(2p))^(1/(2p)), phase kept; p > 0.
void rapp_amplify(int32_t n, double a_sat, double p, double* i, double* q);
// rapp_amplify of n samples xi, xq into i and q (the same bits; x may be i and q).
void rapp_amplify_from(int32_t n, double a_sat, double p, const double* xi, const double* xq, double* i,
                       double* q);
// The whole 2p of a smoothness p when 2p is 1..16 (its gain then needs no pow), else 0.
int32_t rapp_whole_exponent(double p);
// base^(-1/e) for base >= 1 and a whole e in 1..16, by Newton's iteration from
// a cubic's guess below 2, a guess off the floating-point bits above (within
// ten ulp of pow).
double rapp_inverse_root(double base, int32_t e);
// Hard clipping of |x| at level, phase kept.
void clip_envelope(int32_t n, double level, double* i, double* q);

// ---- IQ imbalance -------------------------------------------------------------

// I' = A_I (I cos(phi/2) - Q sin(phi/2)), Q' = A_Q (Q cos(phi/2) - I sin(phi/2)),
// A_I = 10^(g/40), A_Q = 10^(-g/40): the I branch g dB above the Q branch, the
// axes 90 degrees + phi apart.
struct IqImbalance {
    double ii, iq;  // I' = ii I + iq Q
    double qi, qq;  // Q' = qi I + qq Q
};
void iq_imbalance_setup(double gain_db, double phase_deg, IqImbalance* m);
void iq_imbalance_apply(const IqImbalance* m, int32_t n, double* i, double* q);
// iq_imbalance_apply, returning power plus each output's I^2 + Q^2 added in
// order of sample (the same samples and sum as a pass over them afterwards).
double iq_imbalance_apply_sum(const IqImbalance* m, int32_t n, double* i, double* q, double power);
// rapp_amplify_from, then iq_imbalance_apply when m is not null, in one pass;
// returns power plus each output's I^2 + Q^2 added in order of sample (the
// bits of the separate passes).
double rapp_iq_sum(int32_t n, double a_sat, double p, const IqImbalance* m, const double* xi, const double* xq,
                   double* i, double* q, double power);
// rapp_amplify_from, then iq_imbalance_apply when m is not null, in one pass
// (the bits of the separate passes).
void rapp_iq(int32_t n, double a_sat, double p, const IqImbalance* m, const double* xi, const double* xq,
             double* i, double* q);
// The widest vector loop rapp_iq_sum_with and rapp_iq_with may take (where the
// processor has it; each gives the same bits): the others are for the tests.
// It governs their one-pass kernels (a whole 2p, with the power or the IQ
// matrix); rapp_iq without the matrix is rapp_amplify_from, with its own loops.
enum RappLoop : int32_t { kRappPlain = 0, kRappAvx = 1, kRappAvx512 = 2 };
double rapp_iq_sum_with(int32_t widest, int32_t n, double a_sat, double p, const IqImbalance* m,
                        const double* xi, const double* xq, double* i, double* q, double power);
void rapp_iq_with(int32_t widest, int32_t n, double a_sat, double p, const IqImbalance* m, const double* xi,
                  const double* xq, double* i, double* q);

// ---- Small FFT for the stages' convolutions ----------------------------------

// Radix-2 complex FFT with its own tables (no process-wide state).
struct ImpairFft {
    int32_t n;        // power of two, 4..2^22
    double* cos_tab;  // n/2 twiddles
    double* sin_tab;
    double* stage_cos;  // n: the twiddles of the stage of length len at len/2 .. len-1
    double* stage_sin;
    int32_t* swap;    // pairs (k, bit-reversed k) with k below it, two entries each
    int32_t swaps;    // number of pairs
    int32_t no_avx;   // 1: the loops of a processor without AVX even where it has it (tests)
};
// Returns 0, 1 for a bad size, -1 out of memory.
int32_t impair_fft_open(ImpairFft* f, int32_t n);
void impair_fft_close(ImpairFft* f);
// In place; inverse = true gives the inverse transform scaled by 1/n.
void impair_fft(const ImpairFft* f, double* re, double* im, bool inverse);
// For convolutions, without the bit-reversal passes: the forward transform of
// natural order into bit-reversed order (decimation in frequency), and the
// inverse, unscaled (n times impair_fft's), of bit-reversed order into natural.
void impair_fft_forward_scrambled(const ImpairFft* f, double* re, double* im);
void impair_fft_inverse_scrambled(const ImpairFft* f, double* re, double* im);
// The circular convolution's transforms in one call: x <- inverse_scrambled(
// forward_scrambled(x) h), h in the scrambled order; the same values as the
// three steps, with fewer passes over x.
void impair_fft_convolve_scrambled(const ImpairFft* f, const double* h_re, const double* h_im, double* re,
                                   double* im);

// The channel's circular convolution in single precision (floats, eight
// lanes of AVX): the values within a few 1e-7 of the signal's RMS of the
// double convolution's (the channel's output ends as 16-bit codes).
struct ImpairFftSingle {
    int32_t n;         // power of two, 64..2^22
    float* stage_cos;  // n: the twiddles of the stage of length len at len/2 .. len-1
    float* stage_sin;
    int32_t no_avx;    // 1: the loops of a processor without AVX even where it has it (tests)
};
// Returns 0, 1 for a bad size, -1 out of memory.
int32_t impair_fft_single_open(ImpairFftSingle* f, int32_t n);
void impair_fft_single_close(ImpairFftSingle* f);
// A response's transform for impair_fft_single_convolve (n floats each) from
// its transform in the bit-reversed order (impair_fft_forward_scrambled's,
// times 1/n for the unscaled inverse).
void impair_fft_single_response(const ImpairFftSingle* f, const double* scr_re, const double* scr_im, float* h_re,
                                float* h_im);
// x <- the circular convolution of x by the response h (impair_fft_single_response's), in place.
void impair_fft_single_convolve(const ImpairFftSingle* f, const float* h_re, const float* h_im, float* re,
                                float* im);

// ---- Phase noise --------------------------------------------------------------

// The largest number of profile points.
constexpr int32_t kPhaseNoiseMaxPoints = 64;

// Checks a single-sideband profile: 2..64 points, offsets finite, > 0 and
// strictly ascending, levels finite in -250..0 dBc/Hz. Returns the index of
// the first bad point, -1 when it is good, or count itself for a bad count.
int32_t phase_noise_profile_check(const double* offsets_hz, const double* levels_dbc,
                                  int32_t count);
// L(f) in dBc/Hz: straight lines against log10(f) between the points; a very
// low level (-400) outside [f1, fN].
double phase_noise_level(const double* offsets_hz, const double* levels_dbc, int32_t count,
                         double f);
// The integrated phase variance 2 * integral_{f1}^{fN} 10^(L(f)/10) df, rad^2 (exact per segment).
double phase_noise_variance(const double* offsets_hz, const double* levels_dbc, int32_t count);
// The default shape scaled to rms_deg of integrated phase: flat from 1 kHz to
// 100 kHz, falling 20 dB a decade to 1 MHz. Fills 3 points.
void phase_noise_default_profile(double rms_deg, double* offsets_hz, double* levels_dbc);

// A unit phasor e^(j theta) carried sample by sample.
struct Phasor {
    double re, im;
};
// e^(j angle): its power series for |angle| <= 1/16 (terms to angle^9, exact
// to rounding), cos and sin beyond.
void phasor_of(double angle, Phasor* p);
// z <- z step, then z back on the unit circle (one Newton step of 1/|z|),
// so rounding never grows its magnitude.
void phasor_turn(Phasor* z, const Phasor* step);

// The phase process: white Gaussian noise through a filter of the profile's
// amplitude response, made at fs / decimation and interpolated linearly.
struct PhaseNoise {
    int32_t decimation;  // output samples per process sample
    int32_t m;           // process samples made per step (the filter's length)
    ImpairFft fft;       // 2m points
    double* h_re;        // 2m: the filter's transform, bit-reversed order, times 1/(2m)
    double* h_im;
    double* w;           // m: the last white samples (overlap)
    double* work_re;     // 2m
    double* work_im;
    double* out;         // 2m: the step's process samples
    int32_t single;      // 1 (open's): the steps' transforms in single precision; 0: in double (tests)
    ImpairFftSingle sfft;  // 2m points
    float* sh_re;        // 2m: h_re, h_im in impair_fft_single_convolve's order
    float* sh_im;
    float* swork_re;     // 2m
    float* swork_im;
    int32_t out_at;      // next process sample of out to hand out
    int32_t sub;         // output samples since prev (0..decimation-1)
    double prev, next;   // the process samples the output lies between
    Phasor z;            // phase_noise_rotate's phasor: e^(j phase) of the next output sample
                         // (decimation below 4), of the segment's first sample (4 and up)
    Phasor step;         // e^(j (next - prev) / decimation)
    int32_t no_avx;      // 1: the loops of a processor without AVX even where it has it (tests)
    ImpairRng rng;
    uint64_t seed;
};
// Sets up the process of the profile at sampling rate fs. Returns 0, 1 for a
// bad profile, -1 out of memory (nothing held).
int32_t phase_noise_open(PhaseNoise* pn, const double* offsets_hz, const double* levels_dbc,
                         int32_t count, double fs, uint64_t seed);
void phase_noise_close(PhaseNoise* pn);
// Back to the first sample with the same draws.
void phase_noise_rewind(PhaseNoise* pn);
// The next n phases in radians.
void phase_noise_next(PhaseNoise* pn, int32_t n, double* phase);
// Multiplies the next n samples (from sample `at` on) by
// e^(j (2 pi f t + phase)): the same process as phase_noise_next (use one or
// the other after a rewind), its phase carried by a phasor turned by a
// constant step between process samples, the carrier's from exact cos and
// sin at `at` on by recursion. From a decimation of 4 on, four samples at a
// time: sample s of a segment takes the segment's first phasor times step^s,
// the powers made four lanes at once, so the values do not depend on how the
// samples are split into calls when there is no carrier.
void phase_noise_rotate(PhaseNoise* pn, int32_t n, int64_t at, double freq_hz, double fs, double* i,
                        double* q);

// Multiplies n samples from sample `at` on by e^(j (2 pi f t + phase[k]));
// phase may be null (no phase noise).
void rotate_with_phase(int32_t n, int64_t at, double freq_hz, double fs, const double* phase,
                       double* i, double* q);

// ---- Sample clock -------------------------------------------------------------

// The most taps of the interpolator, and its phases.
constexpr int32_t kResampleTaps = 64;
constexpr int32_t kResamplePhases = 1024;

// Taps for a signal oversampled os times (occupying 0.42 / os of the rate
// each side): 64 at 1, 32 at 2, 16 at 3, 8 from 4 on (a quarter of the band
// or less: the 8 taps stay below -60 dBc of error).
int32_t resampler_taps(int32_t os);

// Output sample n is the input at position n (1 + ppm 1e-6) (a transmitter
// clock that runs ppm fast: the signal is compressed), by a Kaiser-windowed
// sinc (8, 16, 32 or 64 taps) with the nearest of 1024 phases. Input before
// sample 0 is zero.
struct Resampler {
    double ratio_minus_one;  // ppm * 1e-6
    int32_t taps;
    double* table;           // kResamplePhases + 1 rows of taps
    int32_t no_avx;          // 1: the loops of a processor without AVX even where it has it (tests)
    int32_t no_avx512;       // 1: AVX at most (tests)
};
// Returns 0, 1 for taps other than 8, 16, 32, 64, or -1 out of memory.
int32_t resampler_open(Resampler* r, double ppm, int32_t taps);
void resampler_close(Resampler* r);
// First input index output sample n needs (its last is this + taps - 1).
int64_t resampler_first_input(const Resampler* r, int64_t n);
// Output samples n0..n0+count-1 from the input x[base..], which holds every
// sample they need (from resampler_first_input(n0) to that of the last + taps).
void resampler_run(const Resampler* r, int64_t n0, int32_t count, int64_t base, const double* xi,
                   const double* xq, double* i, double* q);
// Number of output samples that cover an input of `total` samples.
int64_t resampled_length(double ppm, int64_t total);

// ---- Multipath channel --------------------------------------------------------

// The exponential power-delay profile of rms_ns at one tap per output sample
// (ts_ns): K = ceil(10 rms / ts) + 1 taps of power (1 - e^(-ts/rms)) e^(-k ts/rms),
// normalised to sum 1, into power (kMultipathMaxTaps at most). Returns the count.
constexpr int32_t kMultipathMaxTaps = 8192;
int32_t exponential_profile(double rms_ns, double ts_ns, double* power);
// A tapped delay line of explicit taps (delays in ns, 0..max; gains in dB;
// phases in degrees), each band-limited to the sampling rate (a windowed
// sinc), into h (re, im) of length; returns the length used, 0 when too long.
int32_t explicit_taps_response(const double* delay_ns, const double* gain_db,
                               const double* phase_deg, int32_t count, double ts_ns,
                               double* h_re, double* h_im, int32_t capacity);

// Up to this many realisations are held at once.
constexpr int32_t kMultipathCache = 4;

// The channel: a linear convolution by overlap-save, each input sample through
// the realisation of the span it belongs to (a packet's, or one for all).
struct Multipath {
    int32_t taps;          // impulse response length
    int32_t nfft;          // transform size, >= 4 taps, >= 256
    int32_t hop;           // samples per step: nfft - taps + 1
    ImpairFft fft;
    double* profile;       // taps: the powers of the Rayleigh taps (null: fixed taps)
    double* fixed_re;      // nfft: the explicit response's transform (profile null)
    double* fixed_im;
    int64_t cache_key[kMultipathCache];  // realisation held in each slot, -1 none
    double* cache_re[kMultipathCache];   // nfft: the realisation's transform
    double* cache_im[kMultipathCache];
    int32_t cache_next;
    double* in_re;         // nfft: the last taps - 1 inputs, then the step's
    double* in_im;
    int32_t* in_span;      // nfft: realisation of each of them
    double* work_re;       // nfft
    double* work_im;
    uint64_t seed;
    int32_t single;        // 1: the convolutions in single precision (multipath_open_single)
    ImpairFftSingle sfft;
    float* single_re[kMultipathCache];  // nfft: the realisations' transforms for sfft (cache slots)
    float* single_im[kMultipathCache];
    float* single_fixed_re;              // nfft: the explicit response's
    float* single_fixed_im;
    float* single_work_re;               // nfft
    float* single_work_im;
    int32_t kept_one;                    // 1: the kept inputs are all of realisation kept_span (in_span's
    int32_t kept_span;                   //    first taps - 1 then not kept up), 0: in_span holds theirs
    // Single precision: the step's window in floats (the kept inputs in
    // single_kept, the hop's filled into single_work from taps - 1 on).
    float* single_kept_re;               // taps - 1
    float* single_kept_im;
    float* single_window_re;             // nfft: a window of several realisations
    float* single_window_im;
    float* single_zero;                  // nfft zeros: an idle window's outputs
    uint64_t kept_bits;                  // the kept inputs' bits but the signs ORed (0: all zero)
    uint64_t fill_bits;                  // the same of the hop's filled inputs
    uint64_t fill_tail_bits;             //    and of its last taps - 1
};
// Rayleigh taps of the profile (count powers), or the fixed response
// (h_re, h_im of count taps) when profile is null. Returns 0, or -1 out of memory.
int32_t multipath_open(Multipath* m, const double* profile, const double* h_re,
                       const double* h_im, int32_t count, uint64_t seed);
// multipath_open with the convolutions in single precision: the outputs
// within a few 1e-7 of the input's RMS of the double ones, at about half
// their cost. For a realisation per packet: identical inputs at different
// places of the overlap-save blocks then differ by that rounding, where the
// double channel keeps them equal to 1e-16 (one realisation for a whole
// stream, explicit taps). Returns 0, or -1 out of memory.
int32_t multipath_open_single(Multipath* m, const double* profile, const double* h_re,
                              const double* h_im, int32_t count, uint64_t seed);
void multipath_close(Multipath* m);
// Back to an empty delay line (the realisations are the seed's, so they stay).
void multipath_rewind(Multipath* m);
// One step: the hop inputs x (span[k] names the realisation of x[k]) give the
// hop outputs y at the same indices (tap 0 at delay 0).
void multipath_step(Multipath* m, const double* xi, const double* xq, const int32_t* span,
                    double* yi, double* yq);
// multipath_step for a hop whose inputs are all of realisation s (no list to scan).
void multipath_step_one(Multipath* m, const double* xi, const double* xq, int32_t s, double* yi,
                        double* yq);
// Single precision (multipath_open_single), the step in two calls: n of the
// hop's inputs, from its input `at` on, rounded to float into the window
// (at + n up to hop; every input of the hop filled once before the step).
void multipath_single_fill(Multipath* m, int32_t at, int32_t n, const double* xi, const double* xq);
// The step of the filled hop (span: the realisation of each input, null:
// all of realisation s). Returns 1 with the hop outputs as floats at *fre,
// *fim (kept until the next step or rewind), 0 with them in yi, yq; either
// holds multipath_step's values.
int32_t multipath_single_step(Multipath* m, const int32_t* span, int32_t s, double* yi, double* yq,
                              const float** fre, const float** fim);
// The ORed bits but the signs of n doubles of x and of y (0: all zero, either sign),
// and their roundings to float into fx, fy; avx 0: the loop without AVX.
uint64_t multipath_to_single(int32_t n, const double* x, const double* y, float* fx, float* fy, int32_t avx);
// The Rayleigh taps of realisation `key`, for tests (taps values each).
void multipath_realisation(const Multipath* m, int64_t key, double* re, double* im);
