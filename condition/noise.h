// Gaussian noise: Park-Miller minimal standard generator with a Bays-Durham
// shuffle table (process-wide, kept for the life of the library), Marsaglia's
// polar method for the normal pairs.
#pragma once
#include <cstdint>

constexpr int32_t kNoiseTableSize = 32;

// The Bays-Durham shuffle table and its selector.
struct NoiseShuffle {
    int32_t table[kNoiseTableSize];
    int32_t selector;
};

// One noise stage run in parts: where the generator stands, and the amplitude.
struct NoiseRun {
    NoiseShuffle shuffle;
    int32_t state;
    double amplitude;
    bool threads;  // long parts may share their work with a second thread
};

// Adds noise of standard deviation 10^(level/20) to each channel, in place;
// the generator restarts at state 65535, the shuffle table carries on. From
// 2^20 samples on, a second thread adds the pairs the generator makes (same
// bytes); when it cannot be had the stage runs on the calling thread alone.
int32_t add_gaussian_noise(int32_t count, double level_db, double* i, double* q);
// The stage in parts, sample after sample as add_gaussian_noise makes them:
// begin (state 65535, the process's shuffle table), any number of parts, end
// (the table goes back to the process). The draws do not depend on the split
// nor on threads (whether a second thread may help).
void noise_begin(double level_db, bool threads, NoiseRun* run);
void noise_end(const NoiseRun* run);
// Adds the noise of the next count samples to i and q, in place.
void noise_continue(NoiseRun* run, int32_t count, double* i, double* q);
// The generator's serial part of the next `want` samples: their accepted
// polar points (x1, x2, s, want each); sel is scratch of 2 x want.
void noise_points(NoiseRun* run, int32_t want, int32_t* sel, double* x1, double* x2, double* s);
// The part any thread may do: adds n points' deviates times amplitude to i
// and q; f is scratch of n doubles.
void noise_add_points(int32_t n, const double* x1, const double* x2, const double* s,
                      double amplitude, double* f, double* i, double* q);
// The shuffle table and selector (33 values), copied out and put back, so
// tests can repeat a noisy call from the same generator state.
void noise_table_copy(int32_t* out);
void noise_table_restore(const int32_t* in);
// Two independent standard normal deviates.
void gaussian_pair(double* g1, double* g2, int32_t* state);
// Uniform deviate in (0, 1), at most 0.99999988. A state <= 0 (or the first
// draw after loading) re-seeds the shuffle table: -n seeds with n, else with 1.
double uniform_deviate(int32_t* state);
// One step of the minimal-standard congruential generator:
// 16807 * state mod (2^31 - 1), for 0 <= state <= 2^31 - 1.
int32_t congruential_step(int32_t state);
