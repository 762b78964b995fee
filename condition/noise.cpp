#include "noise.h"
#include "platform_math.h"

#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int32_t kModulus = 2147483647;   // 2^31 - 1, prime
constexpr int32_t kMultiplier = 16807;     // 7^5, the minimal-standard multiplier
constexpr int32_t kTableSize = 32;
constexpr int32_t kDivisor = 1 + (kModulus - 1) / kTableSize;  // 67108864
constexpr double kScale = 1.0 / 2147483647.0;
constexpr double kLargest = 0.99999988;

// Bays-Durham shuffle table and its selector: process-wide, zero at load, and
// never reset, so every noise stage of the process continues the shuffle.
int32_t g_table[kTableSize];
int32_t g_selector;

}  // namespace

// 16807 * state mod (2^31 - 1) for 0 <= state <= 2^31 - 1. The product fits
// in 46 bits; folding the bits above bit 30 back in (2^31 = 1 mod 2^31 - 1)
// gives the same value as Schrage's decomposition without a division.
int32_t congruential_step(int32_t state) {
    const uint64_t product = static_cast<uint64_t>(state) * kMultiplier;
    uint64_t r = (product & static_cast<uint64_t>(kModulus)) + (product >> 31);
    if (r >= static_cast<uint64_t>(kModulus)) r -= kModulus;
    return static_cast<int32_t>(r);
}

namespace {

// Two steps at once: 16807^2 mod (2^31 - 1) = 282475249; the product fits in
// 60 bits and folds the same way. Lets the state chain advance one multiply
// per pair of draws.
inline int32_t congruential_step_twice(int32_t state) {
    const uint64_t product = static_cast<uint64_t>(state) * 282475249u;
    uint64_t r = (product & static_cast<uint64_t>(kModulus)) + (product >> 31);
    if (r >= static_cast<uint64_t>(kModulus)) r -= kModulus;
    return static_cast<int32_t>(r);
}

// The shuffle table and selector, copied into locals while a noise stage runs
// so the draw loop works on registers and the stack.
using Shuffle = NoiseShuffle;
static_assert(kTableSize == kNoiseTableSize);

// Fills the table from a fresh seed: a state of 0 and every positive state
// seed with 1, a negative state -n with n (2^31 is 1 modulo 2^31 - 1).
inline void seed_shuffle(Shuffle* sh, int32_t* state) {
    const int64_t negated = -static_cast<int64_t>(*state);
    int32_t s = negated >= 1 && negated <= kModulus ? static_cast<int32_t>(negated) : 1;
    for (int32_t j = kTableSize + 7; j >= 0; --j) {  // the first 8 steps are discarded
        s = congruential_step(s);
        if (j < kTableSize) sh->table[j] = s;
    }
    sh->selector = sh->table[0];
    *state = s;
}

// One draw of the shuffled generator; returns the new selector, 0 .. 2^31 - 2.
inline int32_t draw_selector(Shuffle* sh, int32_t* state) {
    if (*state <= 0 || sh->selector == 0) seed_shuffle(sh, state);
    *state = congruential_step(*state);
    // Table entries are step results, 0 .. 2^31 - 2, so the index is 0 .. 31
    // (selector / 67108864 as a shift of the non-negative selector).
    const uint32_t k = static_cast<uint32_t>(sh->selector) / kDivisor;
    sh->selector = sh->table[k];
    sh->table[k] = *state;
    return sh->selector;
}

inline double to_unit(int32_t selector) {
    const double u = selector * kScale;
    return u > kLargest ? kLargest : u;
}

inline double draw_uniform(Shuffle* sh, int32_t* state) {
    return to_unit(draw_selector(sh, state));
}

// The two draws of one polar-method attempt, as two draw_selector calls would
// make them. While the state is a regular one (1 .. 2^31 - 2) and the
// selector is set, neither draw re-seeds unless the first one picks a zero
// table entry, so both states come straight from the current one.
inline void draw_two_selectors(Shuffle* sh, int32_t* state, int32_t* first, int32_t* second) {
    const int32_t s0 = *state;
    if (s0 <= 0 || s0 >= kModulus || sh->selector == 0) {
        *first = draw_selector(sh, state);
        *second = draw_selector(sh, state);
        return;
    }
    const int32_t s1 = congruential_step(s0);
    const int32_t s2 = congruential_step_twice(s0);
    uint32_t k = static_cast<uint32_t>(sh->selector) / kDivisor;
    const int32_t sel1 = sh->table[k];
    sh->table[k] = s1;
    *first = sel1;
    if (sel1 == 0) {  // the second draw re-seeds
        sh->selector = 0;
        *state = s1;
        *second = draw_selector(sh, state);
        return;
    }
    k = static_cast<uint32_t>(sel1) / kDivisor;
    sh->selector = sh->table[k];
    sh->table[k] = s2;
    *second = sh->selector;
    *state = s2;
}

// The selectors of `attempts` polar-method attempts, as draw_two_selectors
// makes them one after another. The state and the selector stay in locals
// (the stores to sel1 and sel2 could otherwise alias them), so the chain
// runs through registers and the table alone.
void draw_attempts(Shuffle* sh, int32_t* state, int32_t attempts, int32_t* sel1, int32_t* sel2) {
    int32_t s0 = *state;
    int32_t selector = sh->selector;
    for (int32_t m = 0; m < attempts; ++m) {
        if (s0 <= 0 || s0 >= kModulus || selector == 0) {  // re-seeds: the general path
            int32_t st = s0;
            sh->selector = selector;
            draw_two_selectors(sh, &st, &sel1[m], &sel2[m]);
            s0 = st;
            selector = sh->selector;
            continue;
        }
        const int32_t s1 = congruential_step(s0);
        const int32_t s2 = congruential_step_twice(s0);
        uint32_t k = static_cast<uint32_t>(selector) / kDivisor;
        const int32_t first = sh->table[k];
        sh->table[k] = s1;
        sel1[m] = first;
        if (first == 0) {  // the second draw re-seeds
            int32_t st = s1;
            sh->selector = 0;
            sel2[m] = draw_selector(sh, &st);
            s0 = st;
            selector = sh->selector;
            continue;
        }
        k = static_cast<uint32_t>(first) / kDivisor;
        selector = sh->table[k];
        sh->table[k] = s2;
        sel2[m] = selector;
        s0 = s2;
    }
    sh->selector = selector;
    *state = s0;
}

// Marsaglia's polar method: two uniforms inside the unit circle (except the
// centre) give two independent standard normal deviates.
inline void draw_pair(Shuffle* sh, int32_t* state, double* g1, double* g2) {
    double x1, x2, s;
    do {
        const double u1 = draw_uniform(sh, state);
        const double u2 = draw_uniform(sh, state);
        x1 = 2.0 * u1 - 1.0;
        x2 = 2.0 * u2 - 1.0;
        s = x1 * x1 + x2 * x2;
    } while (!(s > 0.0 && s < 1.0));
    const double f = std::sqrt(-2.0 * orv_log(s) / s);
    *g1 = x1 * f;
    *g2 = x2 * f;
}

// v[k] = sqrt(v[k]) for positive v. The SSE2 instruction rounds correctly,
// as std::sqrt does, two at a time and without the errno check.
void square_roots(int32_t n, double* v) {
    int32_t k = 0;
#if defined(__SSE2__)
    for (; k + 2 <= n; k += 2) _mm_storeu_pd(v + k, _mm_sqrt_pd(_mm_loadu_pd(v + k)));
#endif
    for (; k < n; ++k) v[k] = std::sqrt(v[k]);
}

void load_shuffle(Shuffle* sh) {
    for (int32_t k = 0; k < kTableSize; ++k) sh->table[k] = g_table[k];
    sh->selector = g_selector;
}

void store_shuffle(const Shuffle* sh) {
    for (int32_t k = 0; k < kTableSize; ++k) g_table[k] = sh->table[k];
    g_selector = sh->selector;
}

}  // namespace

double uniform_deviate(int32_t* state) {
    Shuffle sh;
    load_shuffle(&sh);
    const double u = draw_uniform(&sh, state);
    store_shuffle(&sh);
    return u;
}

void gaussian_pair(double* g1, double* g2, int32_t* state) {
    Shuffle sh;
    load_shuffle(&sh);
    draw_pair(&sh, state, g1, g2);
    store_shuffle(&sh);
}

namespace {

// The accepted points of `want` pairs, in order: each round makes one
// attempt per pair still missing, so the generator never draws past the last
// pair needed, and the draws do not depend on how the pairs are split into
// calls. x1, x2, s and the selector scratch hold want entries (sel: 2 x want).
void accepted_points(Shuffle* sh, int32_t* state, int32_t want, int32_t* sel, double* x1,
                     double* x2, double* s) {
    int32_t* sel1 = sel;
    int32_t* sel2 = sel + want;
    int32_t have = 0;
    while (have < want) {
        // The generator's serial chain, then the acceptance without a branch.
        const int32_t attempts = want - have;
        draw_attempts(sh, state, attempts, sel1, sel2);
        for (int32_t m = 0; m < attempts; ++m) {
            const double a = 2.0 * to_unit(sel1[m]) - 1.0;
            const double b = 2.0 * to_unit(sel2[m]) - 1.0;
            const double r = a * a + b * b;
            x1[have] = a;
            x2[have] = b;
            s[have] = r;
            have += (r > 0.0 && r < 1.0) ? 1 : 0;
        }
    }
}

// Adds the pairs of n accepted points, times amplitude, to i and q. f is
// scratch of n doubles. Each pair's arithmetic depends on its point alone.
void add_pairs(int32_t n, const double* x1, const double* x2, const double* s, double amplitude,
               double* f, double* i, double* q) {
    for (int32_t k = 0; k < n; ++k) f[k] = orv_log(s[k]);
    for (int32_t k = 0; k < n; ++k) f[k] = -2.0 * f[k] / s[k];
    square_roots(n, f);
    for (int32_t k = 0; k < n; ++k) {
        i[k] += x1[k] * f[k] * amplitude;
        q[k] += x2[k] * f[k] * amplitude;
    }
}

// One thread's noise stage in chunks of small arrays on the stack.
void noise_alone(Shuffle* sh, int32_t* state, int32_t count, double amplitude, double* i,
                 double* q) {
    constexpr int32_t kChunk = 512;
    int32_t sel[2 * kChunk];
    double x1[kChunk], x2[kChunk], s[kChunk], f[kChunk];
    for (int32_t start = 0; start < count; start += kChunk) {
        const int32_t want = count - start < kChunk ? count - start : kChunk;
        accepted_points(sh, state, want, sel, x1, x2, s);
        add_pairs(want, x1, x2, s, amplitude, f, i + start, q + start);
    }
}

// Two threads: the calling thread runs the generator's chain block by block
// into one of two slots; the pairs of a published block are added in pieces
// by whichever thread claims them (the helper, and the caller between two
// blocks). Pieces write disjoint samples, so the result is the same however
// they are shared out.
constexpr int32_t kBlockPairs = 32768;
constexpr int32_t kPiecePairs = 4096;
constexpr int32_t kThreadedMinimum = 1 << 20;

struct NoiseSlot {
    double* x1;
    double* x2;
    double* s;
    int32_t start = 0;      // first sample of the block
    int32_t size = 0;       // pairs in the block
    int32_t next = 0;       // first pair not yet claimed
    int32_t remaining = 0;  // pairs not yet added
};

struct NoiseShared {
    std::mutex lock;
    std::condition_variable changed;
    NoiseSlot slot[2];
    bool finished = false;  // every block is published
    double amplitude;
    double* i;
    double* q;
};

// Claims and adds pieces of the slots (the older block first; only slot
// `only` when it is 0 or 1) until none is left. Called with the lock held,
// returns with it held.
void add_pieces(NoiseShared* sh, std::unique_lock<std::mutex>& held, double* f, int only) {
    for (;;) {
        int k = -1;
        for (int c = 0; c < 2; ++c) {
            const NoiseSlot& sl = sh->slot[c];
            if ((only < 0 || only == c) && sl.next < sl.size &&
                (k < 0 || sl.start < sh->slot[k].start))
                k = c;
        }
        if (k < 0) return;
        NoiseSlot& sl = sh->slot[k];
        const int32_t from = sl.next;
        const int32_t n = sl.size - from < kPiecePairs ? sl.size - from : kPiecePairs;
        sl.next += n;
        held.unlock();
        add_pairs(n, sl.x1 + from, sl.x2 + from, sl.s + from, sh->amplitude, f,
                  sh->i + sl.start + from, sh->q + sl.start + from);
        held.lock();
        sl.remaining -= n;
        if (sl.remaining == 0) sh->changed.notify_all();
    }
}

void noise_helper(NoiseShared* sh, double* f) {
    std::unique_lock<std::mutex> held(sh->lock);
    for (;;) {
        add_pieces(sh, held, f, -1);
        if (sh->finished) return;
        sh->changed.wait(held);
    }
}

// The two-thread stage; false (nothing done) when the helper thread or the
// slots cannot be had, and the caller then runs the stage alone.
bool noise_on_two_threads(Shuffle* shuffle, int32_t* state, int32_t count, double amplitude,
                          double* i, double* q) {
    // Per slot x1, x2, s; per thread a piece of f; the caller's selectors.
    const size_t doubles = 6 * static_cast<size_t>(kBlockPairs) + 2 * kPiecePairs + kBlockPairs;
    double* memory = static_cast<double*>(std::malloc(doubles * sizeof(double)));
    if (memory == nullptr) return false;
    NoiseShared sh;
    sh.amplitude = amplitude;
    sh.i = i;
    sh.q = q;
    for (int c = 0; c < 2; ++c) {
        sh.slot[c].x1 = memory + (3 * c + 0) * static_cast<size_t>(kBlockPairs);
        sh.slot[c].x2 = memory + (3 * c + 1) * static_cast<size_t>(kBlockPairs);
        sh.slot[c].s = memory + (3 * c + 2) * static_cast<size_t>(kBlockPairs);
    }
    double* f_caller = memory + 6 * static_cast<size_t>(kBlockPairs);
    double* f_helper = f_caller + kPiecePairs;
    int32_t* sel = reinterpret_cast<int32_t*>(f_helper + kPiecePairs);  // 2 x kBlockPairs int32
    std::thread helper;
    try {
        helper = std::thread(noise_helper, &sh, f_helper);
    } catch (...) {  // no thread (resources, memory): the caller runs the stage alone
        std::free(memory);
        return false;
    }
    {
        std::unique_lock<std::mutex> held(sh.lock);
        for (int32_t start = 0, b = 0; start < count; start += kBlockPairs, ++b) {
            const int k = b % 2;
            NoiseSlot& sl = sh.slot[k];
            // The slot's previous block must be added completely; help with it.
            add_pieces(&sh, held, f_caller, k);
            while (sl.remaining != 0) sh.changed.wait(held);
            held.unlock();
            const int32_t want = count - start < kBlockPairs ? count - start : kBlockPairs;
            accepted_points(shuffle, state, want, sel, sl.x1, sl.x2, sl.s);
            held.lock();
            sl.start = start;
            sl.size = want;
            sl.next = 0;
            sl.remaining = want;
            sh.changed.notify_all();
        }
        sh.finished = true;
        sh.changed.notify_all();
        add_pieces(&sh, held, f_caller, -1);
        while (sh.slot[0].remaining != 0 || sh.slot[1].remaining != 0) sh.changed.wait(held);
    }
    helper.join();
    std::free(memory);
    return true;
}

}  // namespace

void noise_table_copy(int32_t* out) {
    for (int32_t k = 0; k < kTableSize; ++k) out[k] = g_table[k];
    out[kTableSize] = g_selector;
}

void noise_table_restore(const int32_t* in) {
    for (int32_t k = 0; k < kTableSize; ++k) g_table[k] = in[k];
    g_selector = in[kTableSize];
}

void noise_begin(double level_db, bool threads, NoiseRun* run) {
    run->state = 65535;
    run->threads = threads;
    run->amplitude = orv_pow10(level_db / 20.0);
    load_shuffle(&run->shuffle);
}

void noise_end(const NoiseRun* run) { store_shuffle(&run->shuffle); }

void noise_continue(NoiseRun* run, int32_t count, double* i, double* q) {
    // Long parts share the logarithms, roots and sums with a second thread;
    // the generator's chain stays on this one, in the same order.
    NoiseShuffle* sh = &run->shuffle;
    const bool shared = run->threads && count >= kThreadedMinimum &&
                        noise_on_two_threads(sh, &run->state, count, run->amplitude, i, q);
    if (!shared) noise_alone(sh, &run->state, count, run->amplitude, i, q);
}

void noise_points(NoiseRun* run, int32_t want, int32_t* sel, double* x1, double* x2, double* s) {
    accepted_points(&run->shuffle, &run->state, want, sel, x1, x2, s);
}

void noise_add_points(int32_t n, const double* x1, const double* x2, const double* s,
                      double amplitude, double* f, double* i, double* q) {
    add_pairs(n, x1, x2, s, amplitude, f, i, q);
}

int32_t add_gaussian_noise(int32_t count, double level_db, double* i, double* q) {
    NoiseRun run;
    noise_begin(level_db, true, &run);
    noise_continue(&run, count, i, q);
    noise_end(&run);
    return 0;
}
