// The exported entries of packet sequences: orv_11a_sequence (a file) and
// orv_11a_sequence_blocks (a callback).
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

#include "cpu_features.h"
#include "fft.h"
#include "file_sink.h"
#include "orvasynth.h"
#include "pipeline.h"
#include "platform_memory.h"
#include "sequence.h"
#include "sequence_impaired.h"
#include "sequence_levels.h"
#include "status.h"
#include "writers.h"

namespace {

// The levels of samples handed out of order of blocks but in order of index,
// with the gaps between them zero: the same lanes (index % 4) and the same
// per-block partial sums as add_levels over the whole sequence in blocks of
// kSequenceBlock, so every figure comes out equal. A zero adds nothing to a
// lane's sum (s + 0.0 == s for s >= 0) nor raises a peak, so gaps are skipped.
struct BlockLevels {
    SequenceLevels m;
    int64_t block = -1;  // block whose lanes are open
    double peak_i[4] = {}, peak_q[4] = {}, peak_c[4] = {}, scale[4] = {};
    double sum_i[4] = {}, sum_q[4] = {}, sum_c[4] = {};
};

// Folds the open block's lanes into the levels as add_levels ends a block.
void close_block(BlockLevels* b) {
    SequenceLevels* m = &b->m;
    for (int32_t l = 0; l < 4; ++l) {
        m->peak_i = b->peak_i[l] > m->peak_i ? b->peak_i[l] : m->peak_i;
        m->peak_q = b->peak_q[l] > m->peak_q ? b->peak_q[l] : m->peak_q;
        m->peak_c = b->peak_c[l] > m->peak_c ? b->peak_c[l] : m->peak_c;
        m->scale = b->scale[l] > m->scale ? b->scale[l] : m->scale;
    }
    m->sum_i += (b->sum_i[0] + b->sum_i[1]) + (b->sum_i[2] + b->sum_i[3]);
    m->sum_q += (b->sum_q[0] + b->sum_q[1]) + (b->sum_q[2] + b->sum_q[3]);
    m->sum_c += (b->sum_c[0] + b->sum_c[1]) + (b->sum_c[2] + b->sum_c[3]);
    const int64_t block = b->block;
    const SequenceLevels levels = b->m;
    *b = BlockLevels{};
    b->m = levels;
    b->block = block;
}

#if ORV_X86_VECTORS
// The seven running lanes of add_quads_avx: peak_i, peak_q, peak_c, scale, sum_i, sum_q, sum_c.
struct QuadLanes {
    __m256d v[7];
};

// Adds the four samples x, y (one per lane) to the lanes: the scalar code's
// products, sums and comparisons.
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void add_quad(QuadLanes* r, __m256d x, __m256d y) {
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d pi = _mm256_mul_pd(x, x), pq = _mm256_mul_pd(y, y);
    const __m256d pc = _mm256_add_pd(pi, pq);
    // max(a, b) is a > b ? a : b, as the scalar comparisons.
    const __m256d a = _mm256_max_pd(_mm256_andnot_pd(sign, x), _mm256_andnot_pd(sign, y));
    r->v[0] = _mm256_max_pd(pi, r->v[0]);
    r->v[1] = _mm256_max_pd(pq, r->v[1]);
    r->v[2] = _mm256_max_pd(pc, r->v[2]);
    r->v[3] = _mm256_max_pd(a, r->v[3]);
    r->v[4] = _mm256_add_pd(r->v[4], pi);
    r->v[5] = _mm256_add_pd(r->v[5], pq);
    r->v[6] = _mm256_add_pd(r->v[6], pc);
}

// The whole quads of add_lanes (samples j..j1-1, j at lane 0) on four-lane
// vectors: lane l of each vector is lane l of the block. The lanes are seven
// arrays of four (peak_i, peak_q, peak_c, scale, sum_i, sum_q, sum_c).
// Returns the first sample not added.
__attribute__((target("avx"))) int32_t add_quads_avx(double (*lanes)[4], int32_t j, int32_t j1,
                                                     const double* i, const double* q) {
    QuadLanes r;
    for (int32_t w = 0; w < 7; ++w) r.v[w] = _mm256_loadu_pd(lanes[w]);
    for (; j + 4 <= j1; j += 4) add_quad(&r, _mm256_loadu_pd(i + j), _mm256_loadu_pd(q + j));
    for (int32_t w = 0; w < 7; ++w) _mm256_storeu_pd(lanes[w], r.v[w]);
    return j;
}

// add_quads_avx over samples 0..n-1 held as single-precision I, Q pairs.
// Widened, a quad's I's come in lanes 0 2 1 3, so the vectors hold the
// lanes in that order throughout.
__attribute__((target("avx"))) int32_t add_quads_iq_avx(double (*lanes)[4], int32_t n, const float* iq) {
    QuadLanes r;
    for (int32_t w = 0; w < 7; ++w) r.v[w] = _mm256_set_pd(lanes[w][3], lanes[w][1], lanes[w][2], lanes[w][0]);
    int32_t j = 0;
    for (; j + 4 <= n; j += 4) {
        const __m256 v = _mm256_loadu_ps(iq + 2 * j);  // I0 Q0 I1 Q1 I2 Q2 I3 Q3
        const __m256d a = _mm256_cvtps_pd(_mm256_castps256_ps128(v)), b = _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));
        add_quad(&r, _mm256_unpacklo_pd(a, b), _mm256_unpackhi_pd(a, b));  // I0 I2 I1 I3, Q0 Q2 Q1 Q3
    }
    for (int32_t w = 0; w < 7; ++w) {
        double t[4];
        _mm256_storeu_pd(t, r.v[w]);
        lanes[w][0] = t[0], lanes[w][2] = t[1], lanes[w][1] = t[2], lanes[w][3] = t[3];
    }
    return j;
}

// add_quads_iq_avx without the scale lane, on the pairs as they lie: the
// squares of I0 Q0 I1 Q1 are lanes 0 and 1's squares of I and Q side by side
// (so are I2 Q2 I3 Q3's for lanes 2 and 3), and adding each square to its
// neighbour gives the envelope's powers of lanes 0 2 1 3. Each lane's peaks
// and sums see the same values in the same order as add_quad's.
__attribute__((target("avx"))) int32_t add_quads_pairs_avx(double (*lanes)[4], int32_t n, const float* iq) {
    __m256d peak01 = _mm256_set_pd(lanes[1][1], lanes[0][1], lanes[1][0], lanes[0][0]);
    __m256d peak23 = _mm256_set_pd(lanes[1][3], lanes[0][3], lanes[1][2], lanes[0][2]);
    __m256d sum01 = _mm256_set_pd(lanes[5][1], lanes[4][1], lanes[5][0], lanes[4][0]);
    __m256d sum23 = _mm256_set_pd(lanes[5][3], lanes[4][3], lanes[5][2], lanes[4][2]);
    __m256d peak_c = _mm256_set_pd(lanes[2][3], lanes[2][1], lanes[2][2], lanes[2][0]);
    __m256d sum_c = _mm256_set_pd(lanes[6][3], lanes[6][1], lanes[6][2], lanes[6][0]);
    int32_t j = 0;
    for (; j + 4 <= n; j += 4) {
        const __m256 v = _mm256_loadu_ps(iq + 2 * j);  // I0 Q0 I1 Q1 I2 Q2 I3 Q3
        const __m256d a = _mm256_cvtps_pd(_mm256_castps256_ps128(v)), b = _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));
        const __m256d pa = _mm256_mul_pd(a, a), pb = _mm256_mul_pd(b, b);
        const __m256d pc = _mm256_hadd_pd(pa, pb);  // pi + pq of lanes 0 2 1 3
        peak01 = _mm256_max_pd(pa, peak01);
        peak23 = _mm256_max_pd(pb, peak23);
        peak_c = _mm256_max_pd(pc, peak_c);
        sum01 = _mm256_add_pd(sum01, pa);
        sum23 = _mm256_add_pd(sum23, pb);
        sum_c = _mm256_add_pd(sum_c, pc);
    }
    double t[6][4];
    _mm256_storeu_pd(t[0], peak01);
    _mm256_storeu_pd(t[1], peak23);
    _mm256_storeu_pd(t[2], sum01);
    _mm256_storeu_pd(t[3], sum23);
    _mm256_storeu_pd(t[4], peak_c);
    _mm256_storeu_pd(t[5], sum_c);
    for (int32_t h = 0; h < 2; ++h) {  // lanes 0 1 from the first vector of each pair, 2 3 from the second
        lanes[0][2 * h] = t[h][0], lanes[1][2 * h] = t[h][1], lanes[0][2 * h + 1] = t[h][2], lanes[1][2 * h + 1] = t[h][3];
        lanes[4][2 * h] = t[2 + h][0], lanes[5][2 * h] = t[2 + h][1];
        lanes[4][2 * h + 1] = t[2 + h][2], lanes[5][2 * h + 1] = t[2 + h][3];
    }
    lanes[2][0] = t[4][0], lanes[2][2] = t[4][1], lanes[2][1] = t[4][2], lanes[2][3] = t[4][3];
    lanes[6][0] = t[5][0], lanes[6][2] = t[5][1], lanes[6][1] = t[5][2], lanes[6][3] = t[5][3];
    return j;
}
#endif

// Adds sample x, y to lane l of add_levels' lanes.
inline void add_to_lane(double (*lanes)[4], int32_t l, double x, double y) {
    const double pi = x * x, pq = y * y, pc = pi + pq;
    const double a = std::fabs(x) > std::fabs(y) ? std::fabs(x) : std::fabs(y);
    lanes[0][l] = pi > lanes[0][l] ? pi : lanes[0][l];
    lanes[1][l] = pq > lanes[1][l] ? pq : lanes[1][l];
    lanes[2][l] = pc > lanes[2][l] ? pc : lanes[2][l];
    lanes[3][l] = a > lanes[3][l] ? a : lanes[3][l];
    lanes[4][l] += pi;
    lanes[5][l] += pq;
    lanes[6][l] += pc;
}

// Folds add_levels' lanes into the levels.
void fold_lanes(double (*lanes)[4], SequenceLevels* m) {
    for (int32_t l = 0; l < 4; ++l) {
        m->peak_i = lanes[0][l] > m->peak_i ? lanes[0][l] : m->peak_i;
        m->peak_q = lanes[1][l] > m->peak_q ? lanes[1][l] : m->peak_q;
        m->peak_c = lanes[2][l] > m->peak_c ? lanes[2][l] : m->peak_c;
        m->scale = lanes[3][l] > m->scale ? lanes[3][l] : m->scale;
    }
    const auto fold = [](const double* v) { return (v[0] + v[1]) + (v[2] + v[3]); };
    m->sum_i += fold(lanes[4]);
    m->sum_q += fold(lanes[5]);
    m->sum_c += fold(lanes[6]);
}

#if ORV_X86_VECTORS
// add_quads_pairs_avx's lanes with each lane's scale taken from its squared
// peaks: a float widened to double squares exactly, so the square root of
// the largest square is the largest magnitude itself. Only when no sample
// was NaN (a lane's sum of powers is NaN exactly when one of its samples
// was, and a NaN Q hides its sample's I from the scale): else the samples
// are added again with the scale lane. Returns the first sample not added.
int32_t add_quads_iq_peaks(double (*lanes)[4], int32_t n, const float* iq) {
    const int32_t k = add_quads_pairs_avx(lanes, n, iq);
    for (int32_t l = 0; l < 4; ++l) {
        if (!std::isnan(lanes[6][l])) continue;
        for (int32_t w = 0; w < 7; ++w)
            for (int32_t z = 0; z < 4; ++z) lanes[w][z] = 0.0;
        return add_quads_iq_avx(lanes, n, iq);
    }
    for (int32_t l = 0; l < 4; ++l) {
        const double a = std::sqrt(lanes[0][l]), b = std::sqrt(lanes[1][l]);
        lanes[3][l] = a > b ? a : b;
    }
    return k;
}
#endif

}  // namespace

// Four interleaved partial sums (lane k % 4) so the additions do not wait on
// each other; the peaks are order-free.
void add_levels(const double* i, const double* q, int32_t n, SequenceLevels* m) {
    // peak_i, peak_q, peak_c, scale, sum_i, sum_q, sum_c; lane k % 4 each.
    double lanes[7][4] = {};
    int32_t k = 0;
#if ORV_X86_VECTORS
    if (cpu_has_avx()) k = add_quads_avx(lanes, 0, n, i, q);
#endif
    for (; k < n; ++k) add_to_lane(lanes, k & 3, i[k], q[k]);
    fold_lanes(lanes, m);
}

void add_levels_iq(const float* iq, int32_t n, SequenceLevels* m) {
    double lanes[7][4] = {};
    int32_t k = 0;
#if ORV_X86_VECTORS
    if (cpu_has_avx()) k = add_quads_iq_peaks(lanes, n, iq);
#endif
    for (; k < n; ++k) add_to_lane(lanes, k & 3, iq[2 * k], iq[2 * k + 1]);
    fold_lanes(lanes, m);
}

namespace {

// Adds samples j0..j1-1 of i and q (sample j lies in lane (lane0 + j) % 4) to
// the open block's lanes, each lane in order of index.
void add_lanes(BlockLevels* b, int32_t lane0, int32_t j0, int32_t j1, const double* i,
               const double* q) {
    double peak_i[4], peak_q[4], peak_c[4], scale[4], sum_i[4], sum_q[4], sum_c[4];
    for (int32_t l = 0; l < 4; ++l) {
        peak_i[l] = b->peak_i[l], peak_q[l] = b->peak_q[l], peak_c[l] = b->peak_c[l];
        scale[l] = b->scale[l], sum_i[l] = b->sum_i[l], sum_q[l] = b->sum_q[l];
        sum_c[l] = b->sum_c[l];
    }
    const auto add = [&](int32_t l, double x, double y) {
        const double pi = x * x, pq = y * y, pc = pi + pq;
        const double a = std::fabs(x) > std::fabs(y) ? std::fabs(x) : std::fabs(y);
        peak_i[l] = pi > peak_i[l] ? pi : peak_i[l];
        peak_q[l] = pq > peak_q[l] ? pq : peak_q[l];
        peak_c[l] = pc > peak_c[l] ? pc : peak_c[l];
        scale[l] = a > scale[l] ? a : scale[l];
        sum_i[l] += pi;
        sum_q[l] += pq;
        sum_c[l] += pc;
    };
    int32_t j = j0;
    for (; j < j1 && ((lane0 + j) & 3) != 0; ++j) add((lane0 + j) & 3, i[j], q[j]);
#if ORV_X86_VECTORS
    if (cpu_has_avx()) {
        double lanes[7][4];
        for (int32_t l = 0; l < 4; ++l) {
            lanes[0][l] = peak_i[l], lanes[1][l] = peak_q[l], lanes[2][l] = peak_c[l];
            lanes[3][l] = scale[l], lanes[4][l] = sum_i[l], lanes[5][l] = sum_q[l];
            lanes[6][l] = sum_c[l];
        }
        j = add_quads_avx(lanes, j, j1, i, q);
        for (int32_t l = 0; l < 4; ++l) {
            peak_i[l] = lanes[0][l], peak_q[l] = lanes[1][l], peak_c[l] = lanes[2][l];
            scale[l] = lanes[3][l], sum_i[l] = lanes[4][l], sum_q[l] = lanes[5][l];
            sum_c[l] = lanes[6][l];
        }
    }
#endif
    for (; j + 4 <= j1; j += 4)
        for (int32_t l = 0; l < 4; ++l) add(l, i[j + l], q[j + l]);
    for (; j < j1; ++j) add((lane0 + j) & 3, i[j], q[j]);
    for (int32_t l = 0; l < 4; ++l) {
        b->peak_i[l] = peak_i[l], b->peak_q[l] = peak_q[l], b->peak_c[l] = peak_c[l];
        b->scale[l] = scale[l], b->sum_i[l] = sum_i[l], b->sum_q[l] = sum_q[l];
        b->sum_c[l] = sum_c[l];
    }
}

// Adds n samples whose first is sample `first` of the sequence (after every
// sample added before); a PpduSamplesFn over a BlockLevels.
bool add_block_levels(void* context, int64_t first, int32_t n, const double* i, const double* q) {
    BlockLevels* b = static_cast<BlockLevels*>(context);
    const int32_t lane0 = static_cast<int32_t>(first & 3);
    for (int32_t k = 0; k < n;) {
        const int64_t g = first + k;
        const int64_t block = g / kSequenceBlock;
        if (block != b->block) {
            if (b->block >= 0) close_block(b);
            b->block = block;
        }
        const int64_t block_end = (block + 1) * kSequenceBlock;
        const int32_t m = block_end - g < n - k ? static_cast<int32_t>(block_end - g) : n - k;
        add_lanes(b, lane0, k, k + m, i, q);
        k += m;
    }
    return true;
}

// Power ratio in dB of a squared peak over a mean (0 dB for no power).
double ratio_db(double peak, double sum, int64_t count) {
    const double mean = count > 0 ? sum / static_cast<double>(count) : 0.0;
    return 10.0 * std::log10(mean <= 1e-12 ? 1.0 : peak / mean);
}

// Releases an array of kept samples (large_alloc's when large, else the C library's).
void free_kept_array(float* kept, bool large) {
    if (large) large_free(kept);
    else std::free(kept);
}

// What one call holds, released on every way out of it.
struct SequenceCall {
    SequenceRun run{};
    ImpairedRun chain{};
    double* block = nullptr;  // I then Q, kSequenceBlock each
    // The impaired samples, I and Q interleaved (2 total floats): in the
    // array kept (in 2 MB pages when kept_large), else in a memory file,
    // read and written a block at a time through scratch.
    MemoryFile kept_file;
    float* kept = nullptr;
    bool kept_large = false;
    float* scratch = nullptr;  // 2 kSequenceBlock floats, with kept_file
    bool kept_whole = false;   // the kept samples are every sample of the sequence
    // Every kept sample is finite (the levels' power sum is), so none lies
    // beyond the levels' scale and none of their codes saturates.
    bool kept_finite = false;
    // An impaired AWG file is written from its samples rounded to single
    // precision; the measuring pass keeps them when they take at most this
    // many bytes, and the writing pass takes them from there instead of
    // running the impairment chain a second time.
    int64_t kept_bytes = 0;
    bool prefault = false;  // kept's pages may be mapped in ahead on another core
    KeptStore store = kKeptArray;  // where the kept samples may go
    bool open = false;
    bool chain_open = false;
    bool complete = false;  // the last pass ran to the end of the sequence
    ~SequenceCall() {
        if (chain_open) impaired_close(&chain);
        if (open) sequence_close(&run, complete);
        std::free(block);
        free_kept_array(kept, kept_large);
        memory_file_close(&kept_file);
        std::free(scratch);
        fft_release_tables();
    }
    // Allocates the producer and the block; false when memory ran out.
    bool start(const OrvSequenceParams* p, const OrvPacket* packets, int32_t count,
               const SequenceSetup* s) {
        block = static_cast<double*>(std::malloc(2 * kSequenceBlock * sizeof(double)));
        if (block == nullptr || sequence_open(&run, p, packets, count, s) != 0) return false;
        open = true;
        return true;
    }
};

// Whether the call keeps its impaired samples (in the array or a memory file).
bool kept_there(const SequenceCall* c) { return c->kept != nullptr || c->kept_file.fd >= 0; }

// Where the kept samples from first on are written: in the array, else into
// scratch (up to kSequenceBlock samples), stored by kept_store.
float* kept_to(const SequenceCall* c, int64_t first, float* scratch) {
    return c->kept != nullptr ? c->kept + 2 * first : scratch;
}

// Stores n samples written at kept_to's place; false when the memory file
// could not take them (out of memory).
bool kept_store(const SequenceCall* c, int64_t first, int32_t n, const float* at) {
    if (c->kept != nullptr) return true;
    return memory_file_write(&c->kept_file, 8 * first, at, 8 * static_cast<size_t>(n));
}

// The n kept samples from first on (up to kSequenceBlock): in the array, else
// read into scratch; nullptr when they cannot be read.
float* kept_from(const SequenceCall* c, int64_t first, int32_t n, float* scratch) {
    if (c->kept != nullptr) return c->kept + 2 * first;
    return memory_file_read(&c->kept_file, 8 * first, scratch, 8 * static_cast<size_t>(n)) ? scratch : nullptr;
}

// Hands every block of the sequence, from sample 0, to consume(first, n, i, q),
// which returns false to stop. Returns 0, -1 out of memory, or 1 when stopped.
template <typename Consume>
int32_t each_block(SequenceCall* c, Consume consume) {
    sequence_rewind(&c->run);
    double* i = c->block;
    double* q = c->block + kSequenceBlock;
    const int64_t total = c->run.setup.total;
    for (int64_t done = 0; done < total;) {
        const int64_t left = total - done;
        const int32_t n = left < kSequenceBlock ? static_cast<int32_t>(left) : kSequenceBlock;
        if (sequence_next(&c->run, n, i, q) != 0) return -1;
        if (!consume(done, n, i, q)) return 1;
        done += n;
    }
    return 0;
}

// Rounds n samples of the block to single precision (in place), and keeps
// them from sample first on when keep; false when they could not be kept.
bool round_block(SequenceCall* c, int64_t first, int32_t n, bool keep) {
    double* i = c->block;
    double* q = c->block + kSequenceBlock;
    float* to = keep ? kept_to(c, first, c->scratch) : nullptr;
    for (int32_t k = 0; k < n; ++k) {
        const float a = static_cast<float>(i[k]), b = static_cast<float>(q[k]);
        i[k] = a;
        q[k] = b;
        if (to != nullptr) to[2 * k] = a, to[2 * k + 1] = b;
    }
    return to == nullptr || kept_store(c, first, n, to);
}

// Runs work(thread, index) for every index 0..count-1 once, on the calling
// thread (0) and, with threads and when it can be had, a helper (1), each
// claiming the next index; work must not throw.
template <typename Work>
void on_two_threads(int64_t count, bool threads, Work work) {
    std::atomic<int64_t> next{0};
    const auto loop = [&](int thread) {
        for (int64_t b = next.fetch_add(1); b < count; b = next.fetch_add(1)) work(thread, b);
    };
    std::thread helper;
    if (threads && count > 1) {
        try {
            helper = std::thread(loop, 1);
        } catch (...) {  // no thread: the calling thread does every index
        }
    }
    loop(0);
    if (helper.joinable()) helper.join();
}

// The noise and the later stages of the kept block b (in place, rounded to
// single precision), and its levels into part (from zero); i and q are
// kSequenceBlock each, scratch 2 kSequenceBlock. False when the block could
// not be read or stored.
bool finish_kept_block(SequenceCall* c, NoiseLanes* g, int64_t b, double* i, double* q, float* scratch,
                       SequenceLevels* part) {
    const int64_t first = b * kSequenceBlock;
    const int64_t left = c->run.setup.total - first;
    const int32_t n = left < kSequenceBlock ? static_cast<int32_t>(left) : kSequenceBlock;
    float* iq = kept_from(c, first, n, scratch);
    *part = SequenceLevels{};
    if (iq == nullptr) return false;
    if (impaired_finish_kept_at(&c->chain, g, first, n, iq)) {  // no round trip through i and q
        add_levels_iq(iq, n, part);
        return kept_store(c, first, n, iq);
    }
    for (int32_t k = 0; k < n; ++k) i[k] = iq[2 * k], q[k] = iq[2 * k + 1];
    impaired_finish_at(&c->chain, g, first, n, i, q);
    for (int32_t k = 0; k < n; ++k) {
        const float x = static_cast<float>(i[k]), y = static_cast<float>(q[k]);
        i[k] = x, q[k] = y;
        iq[2 * k] = x, iq[2 * k + 1] = y;
    }
    add_levels(i, q, n, part);
    return kept_store(c, first, n, iq);
}

// The noise pass over kept when every block's later stages can be made
// anywhere: the blocks on two threads, their levels folded in order of block
// as add_levels adds them one after another. False when memory ran out.
bool finish_kept_blocks(SequenceCall* c, SequenceLevels* m) {
    const int64_t blocks = (c->run.setup.total + kSequenceBlock - 1) / kSequenceBlock;
    SequenceLevels* parts = static_cast<SequenceLevels*>(
        std::malloc(static_cast<size_t>(blocks > 0 ? blocks : 1) * sizeof(SequenceLevels)));
    if (parts == nullptr) return false;
    // The helper's block, then its scratch (with a memory file).
    const size_t helper_bytes = 2 * kSequenceBlock * (sizeof(double) + (c->kept == nullptr ? sizeof(float) : 0));
    double* helper_block = c->run.setup.threads ? static_cast<double*>(std::malloc(helper_bytes)) : nullptr;
    float* helper_scratch =
        helper_block != nullptr && c->kept == nullptr ? reinterpret_cast<float*>(helper_block + 2 * kSequenceBlock) : nullptr;
    NoiseLanes lanes[2];
    for (NoiseLanes& g : lanes) noise_lanes_reset(&g, c->chain.m->seed);
    std::atomic<bool> failed{false};
    on_two_threads(blocks, helper_block != nullptr, [&](int thread, int64_t b) {
        double* i = thread == 0 ? c->block : helper_block;
        float* scratch = thread == 0 ? c->scratch : helper_scratch;
        if (!failed.load(std::memory_order_relaxed) &&
            !finish_kept_block(c, &lanes[thread], b, i, i + kSequenceBlock, scratch, &parts[b]))
            failed.store(true, std::memory_order_relaxed);
    });
    if (failed.load()) {
        std::free(helper_block);
        std::free(parts);
        return false;
    }
    for (int64_t b = 0; b < blocks; ++b) {
        const SequenceLevels& l = parts[b];
        m->peak_i = l.peak_i > m->peak_i ? l.peak_i : m->peak_i;
        m->peak_q = l.peak_q > m->peak_q ? l.peak_q : m->peak_q;
        m->peak_c = l.peak_c > m->peak_c ? l.peak_c : m->peak_c;
        m->scale = l.scale > m->scale ? l.scale : m->scale;
        m->sum_i += l.sum_i;
        m->sum_q += l.sum_q;
        m->sum_c += l.sum_c;
    }
    std::free(helper_block);
    std::free(parts);
    return true;
}

// A PpduSamplesFn over a SequenceCall: the PPDU rounded to single precision
// into the kept samples (zero from the start: the idle time needs no
// writing), a block at a time; stops when they could not be stored.
bool keep_ppdu(void* context, int64_t first, int32_t n, const double* i, const double* q) {
    const SequenceCall* c = static_cast<SequenceCall*>(context);
    for (int32_t done = 0; done < n;) {
        const int32_t m = n - done < kSequenceBlock ? n - done : kSequenceBlock;
        float* to = kept_to(c, first + done, c->scratch);
        for (int32_t k = 0; k < m; ++k)
            to[2 * k] = static_cast<float>(i[done + k]), to[2 * k + 1] = static_cast<float>(q[done + k]);
        if (!kept_store(c, first + done, m, to)) return false;
        done += m;
    }
    return true;
}

// The levels of an impaired sequence whose SNR's power is pending, its
// samples kept: the chain pass into kept (summing that power; straight from
// the PPDUs where the chain before the noise passes them as they are), then
// the noise and the later stages over kept (on two threads where they may
// run anywhere, else block by block as sequence_next hands them out). False
// when memory ran out.
bool measure_kept_chain(SequenceCall* c, SequenceLevels* m) {
    double* i = c->block;
    double* q = c->block + kSequenceBlock;
    const int64_t total = c->run.setup.total;
    int32_t direct = 1;
    if (impaired_passes_ppdus(&c->chain)) direct = impaired_ppdu_pass(&c->chain, keep_ppdu, c);
    if (direct == -1) return false;
    if (direct == 1) sequence_rewind(&c->run);
    for (int64_t done = 0; direct == 1 && done < total;) {
        const int64_t left = total - done;
        const int32_t n = left < kSequenceBlock ? static_cast<int32_t>(left) : kSequenceBlock;
        float* to = kept_to(c, done, c->scratch);
        if (impaired_chain_keep(&c->chain, n, to) != 0 || !kept_store(c, done, n, to)) return false;
        done += n;
    }
    if (impaired_settle_power(&c->chain, i, q) != 0) return false;
    if (impaired_finish_anywhere(&c->chain)) {
        impaired_stop(&c->chain);  // its helper is done with the blocks
        if (!finish_kept_blocks(c, m)) return false;
        c->kept_whole = true;
        return true;
    }
    for (int64_t done = 0; done < total;) {
        const int64_t left = total - done;
        const int32_t n = left < kSequenceBlock ? static_cast<int32_t>(left) : kSequenceBlock;
        const float* from = kept_from(c, done, n, c->scratch);
        if (from == nullptr) return false;
        for (int32_t k = 0; k < n; ++k) i[k] = from[2 * k], q[k] = from[2 * k + 1];
        impaired_finish(&c->chain, n, i, q);
        if (!round_block(c, done, n, true)) return false;
        add_levels(i, q, n, m);
        done += n;
    }
    c->kept_whole = true;
    return true;
}

// Whether the call's samples, rounded to single precision, fit the buffer it may keep.
bool kept_fits(const SequenceCall* c) {
    return c->run.setup.total <= c->kept_bytes / static_cast<int64_t>(2 * sizeof(float));
}

// Makes room for the kept samples, zero, where the call's store allows: an
// array in 2 MB pages, else a memory file (and its scratch), else an array of
// the C library; none when memory runs short. On a guest with shadow page
// tables a 4 KB page's first touch costs about 10 us, so the 251 MB of the
// 1000-packet PER waveform would cost 0.6 s in such pages; in 2 MB pages
// they cost about 15 ms measured alone, less than the memory file's four
// copies through the kernel (the benchmark's call about a tenth faster, with
// a sixth less CPU).
void open_kept(SequenceCall* c) {
    const size_t bytes = static_cast<size_t>(2 * c->run.setup.total) * sizeof(float);
    if (c->store == kKeptHugePages && large_pages_granted()) {
        c->kept = static_cast<float*>(large_alloc_zeroed(bytes));
        c->kept_large = c->kept != nullptr;
        if (c->kept != nullptr) return;
    }
    if (c->store != kKeptArray && memory_file_open(&c->kept_file, static_cast<int64_t>(bytes))) {
        c->scratch = static_cast<float*>(std::malloc(2 * kSequenceBlock * sizeof(float)));
        if (c->scratch != nullptr) return;
        memory_file_close(&c->kept_file);
    }
    c->kept = static_cast<float*>(std::calloc(bytes / sizeof(float), sizeof(float)));
}

// Gives up the kept samples (the memory file ran out of memory).
void drop_kept(SequenceCall* c) {
    memory_file_close(&c->kept_file);
    free_kept_array(c->kept, c->kept_large);
    c->kept = nullptr;
}

// The levels of the whole sequence (a pass over it): straight from the PPDUs
// when the sequence is plain, else from its conditioned blocks (an impaired
// sequence's rounded to single precision and kept when they fit). False when
// memory ran out.
bool measure_levels(SequenceCall* c, SequenceLevels* m) {
    if (sequence_is_plain(&c->run) && !c->chain_open) {
        BlockLevels b;
        if (sequence_each_ppdu(&c->run, add_block_levels, &b) != 0) return false;
        if (b.block >= 0) close_block(&b);
        *m = b.m;
        return true;
    }
    if (c->chain_open) {
        const int64_t total = c->run.setup.total;
        if (kept_fits(c)) open_kept(c);
        if (c->kept != nullptr && c->chain.power_pending) {
            void* block = c->kept;
            const size_t bytes = static_cast<size_t>(2 * total) * sizeof(float);
            // Huge pages come faster from the core that writes them than from another.
            PrefaultTask* ahead = c->prefault && !c->kept_large ? prefault_start(&block, &bytes, 1) : nullptr;
            const bool measured = measure_kept_chain(c, m);
            prefault_finish(ahead);
            return measured;
        }
        if (c->kept_file.fd >= 0 && c->chain.power_pending) return measure_kept_chain(c, m);
        if (impaired_settle_power(&c->chain, c->block, c->block + kSequenceBlock) != 0) return false;
        const int32_t pass = each_block(c, [&](int64_t first, int32_t n, const double* i, const double* q) {
            if (!round_block(c, first, n, kept_there(c))) drop_kept(c);  // the write pass runs the chain again
            add_levels(i, q, n, m);
            return true;
        });
        c->kept_whole = pass == 0 && kept_there(c);
        return pass == 0;
    }
    return each_block(c, [&](int64_t, int32_t n, const double* i, const double* q) {
               add_levels(i, q, n, m);
               return true;
           }) == 0;
}

// Checks the call's arguments; writes the out fields a check can give. Returns 0 or the mask.
int32_t check_call(OrvSequenceParams* p, const OrvPacket* packets, int32_t count, bool output_bad) {
    if (p == nullptr) return static_cast<int32_t>(ORV_INVALID);
    if (p->size != sizeof(OrvSequenceParams))
        return static_cast<int32_t>(ORV_INVALID | ORV_SEQ_BAD_SIZE);
    p->papr = p->crest_i = p->crest_q = 0.0;
    p->total_samples = 0;
    return validate_sequence(p, packets, count, output_bad, &p->bad_packet);
}

// Where the writing pass of a plain sequence stands: the samples go to the
// writer straight from the PPDUs, the idle time from a block of zeros.
struct PlainWrite {
    FileSink* sink;
    int32_t output_mode;  // 0 AWG, 1 CSV
    double scale;         // the AWG file's full scale
    const double* zeros;  // kSequenceBlock zeros
    int64_t written;      // samples handed to the writer
};

// Hands n samples of i and q to the writer.
void write_samples(PlainWrite* w, const double* i, const double* q, int32_t n) {
    if (w->output_mode == 0) awg_parts_write(w->sink, i, q, n, w->scale);
    else csv_parts_write(w->sink, i, q, n);
    w->written += n;
}

// Writes zeros up to sample `until`.
void write_zeros(PlainWrite* w, int64_t until) {
    while (w->written < until) {
        const int64_t left = until - w->written;
        write_samples(w, w->zeros, w->zeros, left < kSequenceBlock ? static_cast<int32_t>(left) : kSequenceBlock);
    }
}

// A PpduSamplesFn over a PlainWrite: the idle zeros before the PPDU, then the
// PPDU; stops when the writer failed.
bool write_ppdu(void* context, int64_t first, int32_t n, const double* i, const double* q) {
    PlainWrite* w = static_cast<PlainWrite*>(context);
    write_zeros(w, first);
    write_samples(w, i, q, n);
    return !w->sink->failed;
}

// Where the AWG writing pass of a plain sequence stands: each PPDU's bytes as
// the helper thread packed them, the idle time's from one packed block of zeros.
struct PackedWrite {
    FileSink* sink;
    const unsigned char* zero_bytes;  // 8 kSequenceBlock bytes
    int64_t written;                  // samples written
};

// Writes the bytes of zero samples up to sample `until`.
void write_zero_bytes(PackedWrite* w, int64_t until) {
    while (w->written < until && !w->sink->failed) {
        const int64_t left = until - w->written;
        const int32_t n = left < kSequenceBlock ? static_cast<int32_t>(left) : kSequenceBlock;
        sink_write(w->sink, w->zero_bytes, 8 * static_cast<size_t>(n));
        w->written += n;
    }
}

// A PpduBytesFn over a PackedWrite; stops when the writer failed.
bool write_packed(void* context, int64_t first, int32_t n, const unsigned char* bytes) {
    PackedWrite* w = static_cast<PackedWrite*>(context);
    write_zero_bytes(w, first);
    sink_write(w->sink, bytes, 8 * static_cast<size_t>(n));
    w->written += n;
    return !w->sink->failed;
}

// Packs n interleaved samples in place into their AWG bytes.
void pack_samples(float* iq, int32_t n, double scale, bool within) {
    unsigned char* out = reinterpret_cast<unsigned char*>(iq);
    if (within) awg_pack_pairs_within(iq, n, scale, out);
    else awg_pack_pairs(iq, n, scale, out);
}

// Writes the bytes of n samples from sample first on: at their place in the
// file (origin: the offset of sample 0) when origin >= 0, else through the stream.
void write_sample_bytes(FileSink* sink, int64_t origin, const unsigned char* bytes, int64_t first, int64_t n) {
    if (origin < 0) sink_write(sink, bytes, 8 * static_cast<size_t>(n));
    else if (!sink_write_at(sink, bytes, 8 * static_cast<size_t>(n), origin + 8 * first)) sink->failed = true;
}

// Packs kept block b of a sequence of total samples in place (8 bytes a
// sample, as its two floats); the bytes of sample k lie at 8 k. within: no
// sample needs saturating (SequenceCall::kept_finite).
void pack_kept_block(float* kept, int64_t total, int64_t b, double scale, bool within) {
    const int64_t first = b * kSequenceBlock;
    const int64_t left = total - first;
    const int32_t n = left < kSequenceBlock ? static_cast<int32_t>(left) : kSequenceBlock;
    pack_samples(kept + 2 * first, n, scale, within);
}

// Writes kept block b's bytes: at their place in the file (origin: the
// offset of sample 0) when origin >= 0, which spares the stream's copy of
// them into its buffer, else through the stream.
void write_kept_block(FileSink* sink, int64_t origin, const float* kept, int64_t total, int64_t b) {
    const int64_t first = b * kSequenceBlock;
    const int64_t left = total - first;
    const int64_t n = left < kSequenceBlock ? left : kSequenceBlock;
    write_sample_bytes(sink, origin, reinterpret_cast<const unsigned char*>(kept) + 8 * first, first, n);
}

// Reads kept block b from the memory file into scratch and packs it there;
// false when it could not be read.
bool read_file_block(const SequenceCall* c, int64_t b, double scale, float* scratch) {
    const int64_t total = c->run.setup.total;
    const int64_t first = b * kSequenceBlock;
    const int32_t n = total - first < kSequenceBlock ? static_cast<int32_t>(total - first) : kSequenceBlock;
    if (kept_from(c, first, n, scratch) == nullptr) return false;
    pack_samples(scratch, n, scale, c->kept_finite);
    return true;
}

// Packed blocks of write_kept_file's two threads: block b in slot b % kPackSlots.
constexpr int64_t kPackSlots = 6;
struct PackRing {
    float* slot[kPackSlots] = {};          // 2 kSequenceBlock floats each
    std::atomic<int64_t> held[kPackSlots];  // the block each slot holds packed (-1: none yet)
    std::atomic<int64_t> next{0};           // the next block to claim
    std::atomic<int64_t> written{0};        // blocks written (their slots free again)
    std::atomic<int64_t> packed{0};         // blocks read and packed
    std::atomic<bool> failed{false};        // a block could not be read
};

// Claims the next block whose slot is free (below written + kPackSlots), reads
// and packs it into its slot; false when there was none to claim or it failed.
// The thread that packs the last block closes the memory file, while the
// writing goes on (every read is done by then).
bool pack_next(SequenceCall* c, PackRing* g, int64_t blocks, double scale) {
    int64_t b = g->next.load(std::memory_order_relaxed);
    do {
        if (b >= blocks || b >= g->written.load(std::memory_order_acquire) + kPackSlots) return false;
    } while (!g->next.compare_exchange_weak(b, b + 1, std::memory_order_relaxed));
    if (!read_file_block(c, b, scale, g->slot[b % kPackSlots])) {
        g->failed.store(true);
        return false;
    }
    g->held[b % kPackSlots].store(b, std::memory_order_release);
    if (g->packed.fetch_add(1, std::memory_order_acq_rel) + 1 == blocks) memory_file_close(&c->kept_file);
    return true;
}

// write_kept for samples kept in a memory file: a helper thread reads and
// packs blocks ahead into a ring of slots, the calling thread writes them in
// order (alone, so the file's writes never wait on each other) and packs the
// next ones itself while the one it needs is not ready. Without the helper,
// block after block. Returns 0, 1 when the sink failed, or -1 when a block
// could not be read.
int32_t write_kept_file(SequenceCall* c, FileSink* sink, double scale) {
    const int64_t total = c->run.setup.total;
    const int64_t blocks = (total + kSequenceBlock - 1) / kSequenceBlock;
    int64_t origin = -1;
    if (!sink_begin_positional(sink, &origin)) origin = -1;
    PackRing g;
    float* slots = c->run.setup.threads && blocks > 1
                       ? static_cast<float*>(std::malloc(kPackSlots * 2 * kSequenceBlock * sizeof(float)))
                       : nullptr;
    for (int64_t k = 0; k < kPackSlots; ++k) {
        g.slot[k] = slots == nullptr ? c->scratch : slots + k * 2 * kSequenceBlock;
        g.held[k].store(-1, std::memory_order_relaxed);
    }
    std::thread helper;
    if (slots != nullptr) {
        try {
            helper = std::thread([&] {
                while (g.next.load(std::memory_order_relaxed) < blocks && !g.failed.load(std::memory_order_relaxed))
                    if (!pack_next(c, &g, blocks, scale)) std::this_thread::yield();  // the ring is full
            });
        } catch (...) {  // no thread: the calling thread alone, through slot 0's scratch
        }
    }
    for (int64_t w = 0; w < blocks && !sink->failed && !g.failed.load();) {
        const int64_t slot = helper.joinable() ? w % kPackSlots : 0;
        if (!helper.joinable() && !read_file_block(c, w, scale, g.slot[0])) g.failed.store(true);
        else if (helper.joinable() && g.held[slot].load(std::memory_order_acquire) != w) {
            if (!pack_next(c, &g, blocks, scale)) std::this_thread::yield();  // the helper is packing block w
            continue;
        }
        if (g.failed.load()) break;
        const int64_t first = w * kSequenceBlock;
        write_sample_bytes(sink, origin, reinterpret_cast<const unsigned char*>(g.slot[slot]), first,
                           total - first < kSequenceBlock ? total - first : kSequenceBlock);
        g.written.store(++w, std::memory_order_release);
    }
    g.next.store(blocks);  // after a failure: the helper stops after its block
    if (helper.joinable()) helper.join();
    std::free(slots);
    memory_file_close(&c->kept_file);
    if (g.failed.load()) return -1;
    if (!sink->failed && origin >= 0) sink_end_positional(sink, origin + 8 * total);
    return sink->failed ? 1 : 0;
}

// The writing pass of an impaired AWG file from the samples its measuring
// pass kept, each block packed in place: a helper thread and the calling
// thread pack the blocks in turn, and the calling thread writes each one,
// in order, as soon as it is packed. Without the helper (or its flags) the
// calling thread packs and writes block after block. Returns 0, or 1 when
// the sink failed.
int32_t write_kept(SequenceCall* c, FileSink* sink, double scale) {
    c->kept_whole = false;  // round_block must not write into it now
    if (c->kept == nullptr) return write_kept_file(c, sink, scale);
    const bool within = c->kept_finite;
    float* kept = c->kept;
    c->kept = nullptr;
    const int64_t total = c->run.setup.total;
    const int64_t blocks = (total + kSequenceBlock - 1) / kSequenceBlock;
    std::atomic<bool>* packed =
        c->run.setup.threads && blocks > 1 ? new (std::nothrow) std::atomic<bool>[blocks] : nullptr;
    int64_t origin = -1;  // the samples' offset in the file when written positionally
    if (!sink_begin_positional(sink, &origin)) origin = -1;
    std::atomic<int64_t> next{0};
    std::thread helper;
    if (packed != nullptr) {
        for (int64_t b = 0; b < blocks; ++b) packed[b].store(false, std::memory_order_relaxed);
        try {
            helper = std::thread([&] {
                for (int64_t b = next.fetch_add(1); b < blocks; b = next.fetch_add(1)) {
                    pack_kept_block(kept, total, b, scale, within);
                    packed[b].store(true, std::memory_order_release);
                }
            });
        } catch (...) {  // no thread: the calling thread alone
        }
    }
    if (helper.joinable()) {
        for (int64_t w = 0; w < blocks && !sink->failed;) {
            if (packed[w].load(std::memory_order_acquire)) {
                write_kept_block(sink, origin, kept, total, w++);
                continue;
            }
            const int64_t b = next.fetch_add(1);
            if (b < blocks) {
                pack_kept_block(kept, total, b, scale, within);
                packed[b].store(true, std::memory_order_release);
            } else {
                std::this_thread::yield();  // the helper is packing block w
            }
        }
        next.store(blocks);  // after a failed write: the helper stops after its block
        helper.join();
    } else {
        for (int64_t b = 0; b < blocks && !sink->failed; ++b) {
            pack_kept_block(kept, total, b, scale, within);
            write_kept_block(sink, origin, kept, total, b);
        }
    }
    if (origin >= 0 && !sink->failed) sink_end_positional(sink, origin + 8 * total);
    delete[] packed;
    free_kept_array(kept, c->kept_large);
    return sink->failed ? 1 : 0;
}

// The writing pass: every block of the sequence, or for a plain sequence its
// PPDUs and zeros as they are. Returns as each_block (1: the sink failed).
int32_t write_pass(SequenceCall* c, FileSink* sink, int32_t output_mode, double scale) {
    // The PPDUs as they are only without impairments (their chain works on the blocks).
    const bool plain = sequence_is_plain(&c->run) && !c->chain_open;
    if (plain && output_mode == 0) {
        double* zeros = c->block;  // the block is free during this pass
        for (int32_t k = 0; k < kSequenceBlock; ++k) zeros[k] = 0.0;
        unsigned char* zero_bytes = reinterpret_cast<unsigned char*>(c->block + kSequenceBlock);
        awg_pack(zeros, zeros, kSequenceBlock, scale, zero_bytes);
        PackedWrite w{sink, zero_bytes, 0};
        const int32_t pass = sequence_each_packed(&c->run, scale, write_packed, &w);
        if (pass != 0) return pass;
        write_zero_bytes(&w, c->run.setup.total);
        return sink->failed ? 1 : 0;
    }
    if (plain) {
        double* zeros = c->block;  // the block is free during this pass
        for (int32_t k = 0; k < kSequenceBlock; ++k) zeros[k] = 0.0;
        PlainWrite w{sink, output_mode, scale, zeros, 0};
        const int32_t pass = sequence_each_ppdu(&c->run, write_ppdu, &w);
        if (pass != 0) return pass;
        write_zeros(&w, c->run.setup.total);
        return sink->failed ? 1 : 0;
    }
    if (c->chain_open && output_mode == 0 && c->kept_whole) return write_kept(c, sink, scale);
    return each_block(c, [&](int64_t first, int32_t n, const double* i, const double* q) {
        if (output_mode == 0 && c->chain_open) round_block(c, first, n, false);
        if (output_mode == 0) awg_parts_write(sink, i, q, n, scale);
        else csv_parts_write(sink, i, q, n);
        return !sink->failed;
    });
}

// An AWG file opened before its levels are known, its storage reserved on
// another core while they are measured, so that the final write finds it
// allocated. Only a new file that replaces the path is made so early, and
// only where its storage can be reserved; else (or when that fails) the file
// is opened after the measuring, as ever.
struct EarlyFile {
    FileSink sink{};
    const char* path = nullptr;
    bool open = false;
    SinkReserveTask* task = nullptr;
    // Makes path's new file and starts reserving its first bytes.
    void start(const char* to, int64_t bytes) {
        if (!sink_reserve_available()) return;
        path = to;
        open = sink_open(path, true, &sink, kSinkReplaceOnly) == kStatusOk;
        if (open) task = sink_reserve_start(&sink, bytes);
        if (open && task == nullptr) abandon();  // no thread: nothing gained by the early file
    }
    // Removes the new file; the path stays as it was.
    void abandon() {
        sink.failed = true;
        sink_close(&sink, path);
        open = false;
    }
    // Ends the reservation: the sink may be written from now on.
    void settle() {
        sink_reserve_finish(task);
        task = nullptr;
    }
    // Hands the open sink over to *to; false when there is none.
    bool take(FileSink* to) {
        settle();
        if (!open) return false;
        *to = sink;
        open = false;
        return true;
    }
    ~EarlyFile() {
        settle();
        if (open) abandon();
    }
};

// The file of a valid call: measurement pass (AWG), then the writing pass.
int32_t write_sequence(SequenceCall* c, OrvSequenceParams* p, int32_t output_mode,
                       const char* path) {
    const SequenceSetup& s = c->run.setup;
    FileSink sink;
    int32_t opened;
    double scale = 0.0;
    if (output_mode == 0) {
        EarlyFile early;
        // The kept samples' bytes: all in the file, after its header.
        if (c->chain_open && kept_fits(c))
            early.start(path, 8 * s.total);
        SequenceLevels m;
        if (!measure_levels(c, &m)) return ORV_NO_MEMORY;
        p->crest_i = ratio_db(m.peak_i, m.sum_i, s.total);
        p->crest_q = ratio_db(m.peak_q, m.sum_q, s.total);
        p->papr = ratio_db(m.peak_c, m.sum_c, s.total);
        scale = m.scale;
        c->kept_finite = std::isfinite(m.sum_c);
        if (early.take(&sink)) {
            awg_parts_header(&sink, p->crest_i, p->crest_q, p->papr, s.fs, s.total);
            opened = kStatusOk;
        } else {
            opened = awg_parts_open(path, p->crest_i, p->crest_q, p->papr, s.fs, s.total, &sink);
        }
    } else {
        opened = csv_parts_open(path, &sink);
    }
    if (opened == kStatusNoMemory) return ORV_NO_MEMORY;
    if (opened != kStatusOk) return ORV_WRITE_FAILED;
    const int32_t pass = write_pass(c, &sink, output_mode, scale);
    if (pass == -1) sink.failed = true;  // abandoned: the previous file stays
    c->complete = pass == 0;
    const int32_t closed =
        output_mode == 0 ? awg_parts_close(&sink, path) : csv_parts_close(&sink, path);
    if (pass == -1) return ORV_NO_MEMORY;
    return closed == kStatusOk ? ORV_OK : ORV_WRITE_FAILED;
}

// Validation, layout and the producer of one call, then run(call).
// imp: the impairments (null: none).
template <typename Run>
int32_t sequence_call(OrvSequenceParams* p, const OrvImpairments* imp, const OrvPacket* packets,
                      int32_t count, bool output_bad, int64_t* starts,
                      const GenerateOptions& options, bool defer_power, Run run) {
    try {
        std::lock_guard<std::mutex> hold(library_call_lock());
        int32_t mask = check_call(p, packets, count, output_bad);
        if (p == nullptr || p->size != sizeof(OrvSequenceParams)) return mask;
        if (imp != nullptr) {
            const uint32_t bad = validate_impairments(p, imp);
            if (bad != 0) mask = static_cast<int32_t>(static_cast<uint32_t>(mask) | bad | ORV_INVALID);
        }
        if (mask != 0) return mask;
        const bool chain = imp != nullptr && impairments_active(imp);
        fft_use_vectors(options.vectors);
        SequenceSetup s;
        sequence_setup(p, packets, count, starts, &s);
        s.threads = options.threads;
        s.builders = options.ppdu_builders;
        s.cache_bytes = options.value_cache_bytes;
        if (chain) {
            if (starts != nullptr) impaired_starts(imp, count, starts);
            s.total = impaired_total(imp, s.total);
        }
        p->total_samples = s.total;
        SequenceCall c;
        c.kept_bytes = options.kept_sample_bytes;
        c.prefault = options.prefault;
        c.store = options.kept_store;
        if (!c.start(p, packets, count, &s)) return ORV_NO_MEMORY;
        if (chain) {
            if (impaired_open(&c.chain, &c.run, imp, defer_power) != 0) return ORV_NO_MEMORY;
            c.chain_open = true;
        } else if (sequence_measure_dc(&c.run, c.block, c.block + kSequenceBlock) != 0) {
            return ORV_NO_MEMORY;
        }
        return run(&c);
    } catch (...) {
        return ORV_NO_MEMORY;
    }
}

}  // namespace

int32_t orv_11a_sequence_impaired_with(OrvSequenceParams* params, const OrvImpairments* impairments,
                                       const OrvPacket* packets, int32_t packet_count,
                                       int32_t output_mode, const char* path, int64_t* packet_starts,
                                       const GenerateOptions& options) {
    const bool mode_bad = output_mode != 0 && output_mode != 1;
    return sequence_call(params, impairments, packets, packet_count, mode_bad, packet_starts, options,
                         output_mode == 0, [&](SequenceCall* c) {
                             if (path == nullptr) return static_cast<int32_t>(ORV_WRITE_FAILED);
                             return write_sequence(c, params, output_mode, path);
                         });
}

int32_t orv_11a_sequence_with(OrvSequenceParams* params, const OrvPacket* packets,
                              int32_t packet_count, int32_t output_mode, const char* path,
                              int64_t* packet_starts, const GenerateOptions& options) {
    return orv_11a_sequence_impaired_with(params, nullptr, packets, packet_count, output_mode, path,
                                          packet_starts, options);
}

extern "C" ORV_API int32_t ORV_CALL orv_11a_sequence_impaired(
    OrvSequenceParams* params, const OrvImpairments* impairments, const OrvPacket* packets,
    int32_t packet_count, int32_t output_mode, const char* path, int64_t* packet_starts) {
    return orv_11a_sequence_impaired_with(params, impairments, packets, packet_count, output_mode,
                                          path, packet_starts, GenerateOptions{});
}

extern "C" ORV_API int32_t ORV_CALL orv_11a_sequence(OrvSequenceParams* params,
                                                    const OrvPacket* packets,
                                                    int32_t packet_count, int32_t output_mode,
                                                    const char* path, int64_t* packet_starts) {
    return orv_11a_sequence_impaired(params, nullptr, packets, packet_count, output_mode, path,
                                     packet_starts);
}

int32_t orv_11a_sequence_impaired_blocks_with(OrvSequenceParams* params,
                                              const OrvImpairments* impairments,
                                              const OrvPacket* packets, int32_t packet_count,
                                              OrvSampleBlockFn take, void* context,
                                              int64_t* packet_starts,
                                              const GenerateOptions& options) {
    return sequence_call(params, impairments, packets, packet_count, take == nullptr,
                         packet_starts, options, false, [&](SequenceCall* c) {
                             const int32_t pass = each_block(
                                 c, [&](int64_t first, int32_t n, const double* i,
                                        const double* q) { return take(context, first, n, i, q) == 0; });
                             c->complete = pass == 0;
                             return pass == 0 ? ORV_OK : pass == 1 ? ORV_STOPPED : ORV_NO_MEMORY;
                         });
}

int32_t orv_11a_sequence_blocks_with(OrvSequenceParams* params, const OrvPacket* packets,
                                     int32_t packet_count, OrvSampleBlockFn take, void* context,
                                     int64_t* packet_starts, const GenerateOptions& options) {
    return orv_11a_sequence_impaired_blocks_with(params, nullptr, packets, packet_count, take,
                                                 context, packet_starts, options);
}

extern "C" ORV_API int32_t ORV_CALL orv_11a_sequence_blocks(OrvSequenceParams* params,
                                                           const OrvPacket* packets,
                                                           int32_t packet_count,
                                                           OrvSampleBlockFn take, void* context,
                                                           int64_t* packet_starts) {
    return orv_11a_sequence_blocks_with(params, packets, packet_count, take, context,
                                        packet_starts, GenerateOptions{});
}

extern "C" ORV_API int32_t ORV_CALL orv_11a_sequence_impaired_blocks(
    OrvSequenceParams* params, const OrvImpairments* impairments, const OrvPacket* packets,
    int32_t packet_count, OrvSampleBlockFn take, void* context, int64_t* packet_starts) {
    return orv_11a_sequence_impaired_blocks_with(params, impairments, packets, packet_count, take,
                                                 context, packet_starts, GenerateOptions{});
}
