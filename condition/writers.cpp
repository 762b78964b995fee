#include "writers.h"

#include <cfloat>
#include <condition_variable>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "cpu_features.h"
#include "file_sink.h"
#include "measure.h"
#include "noise.h"
#include "num_format.h"
#include "status.h"

namespace {

// Pairs per chunk of the AWG sample block (8 bytes each), and codes made per
// quantiser step within a chunk.
constexpr int32_t kPairsPerChunk = 8192;
constexpr int32_t kCodesPerStep = 512;
// A CSV line holds at most two 31-byte numbers, a comma and a line end.
constexpr size_t kCsvLineMax = 2 * 40 + 2;

void put_text(FileSink* s, const char* text) { sink_write(s, text, std::strlen(text)); }

// Stores v as 4 little-endian bytes, whatever the host's byte order.
inline void put_le32(unsigned char* p, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    p[0] = static_cast<unsigned char>(u);
    p[1] = static_cast<unsigned char>(u >> 8);
    p[2] = static_cast<unsigned char>(u >> 16);
    p[3] = static_cast<unsigned char>(u >> 24);
}

// Formats lines start..end-1 into out; returns the bytes written.
size_t format_lines(const double* i, const double* q, int32_t start, int32_t end, char* out) {
    char* p = out;
    for (int32_t k = start; k < end; ++k) {
        p += format_sci10(p, i[k]);
        *p++ = ',';
        p += format_sci10(p, q[k]);
        *p++ = '\n';
    }
    return static_cast<size_t>(p - out);
}

}  // namespace

namespace {

// Writes the AWG header up to "{WAVEDATA:bytes;" into the open sink, its
// DATE item showing t.
void write_awg_header(FileSink* s, const std::tm& t, double crest_i, double crest_q, double papr,
                      double fs, int64_t count) {
    char text[3 * kFixedBufferSize + 64];
    put_text(s, "{COMMENT:OFDM waveform generator}");
    int n = std::snprintf(text, sizeof text, "{DATE:%4d/%02d/%02d;%02d:%02d:%02d}",
                          t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                          t.tm_sec);
    sink_write(s, text, static_cast<size_t>(n));

    // {PAPR:papr;crest_i;crest_q} with six decimals each (printf "%f").
    size_t len = 0;
    std::memcpy(text, "{PAPR:", 6);
    len += 6;
    len += format_fixed(text + len, papr, 6);
    text[len++] = ';';
    len += format_fixed(text + len, crest_i, 6);
    text[len++] = ';';
    len += format_fixed(text + len, crest_q, 6);
    text[len++] = '}';
    sink_write(s, text, len);

    put_text(s, "{IQFILTER:FLT50M}{IQGAIN:1.0;1.0}{IQOFFSET:0.0;0.0}");
    len = 0;
    std::memcpy(text, "{SAMPLINGFREQ:", 14);
    len += 14;
    len += format_fixed(text + len, fs, 6);
    text[len++] = '}';
    sink_write(s, text, len);
    put_text(s, "{IQOUTPUT:FIX}");

    len = 0;
    std::memcpy(text, "{WAVEDATA:", 10);
    len += 10;
    len += format_int(text + len, 8 * count);
    text[len++] = ';';
    sink_write(s, text, len);
}

// Opens the file and writes the AWG header up to "{WAVEDATA:bytes;". Returns
// the sink_open result (0 when the sink is open).
int32_t open_awg(const char* path, double crest_i, double crest_q, double papr, double fs,
                 int64_t count, FileSink* s) {
    // The DATE item shows the moment before the file is opened.
    const std::tm t = local_time_now();
    const int32_t opened = sink_open(path, true, s);
    if (opened != 0) return opened;
    write_awg_header(s, t, crest_i, crest_q, papr, fs, count);
    return 0;
}

// Packs n pairs, I code then Q code, each a 32-bit little-endian word.
void pack_pairs(const int32_t* i_codes, const int32_t* q_codes, int32_t n, unsigned char* p) {
    int32_t k = 0;
#if defined(__SSE2__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Four pairs at a time: the words interleaved as they lie in memory.
    for (; k + 4 <= n; k += 4, p += 32) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(i_codes + k));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q_codes + k));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_unpacklo_epi32(a, b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16), _mm_unpackhi_epi32(a, b));
    }
#endif
    for (; k < n; ++k, p += 8) {
        put_le32(p, i_codes[k]);
        put_le32(p + 4, q_codes[k]);
    }
}

}  // namespace

int32_t write_awg_file(const char* path, const int32_t* i_codes, const int32_t* q_codes,
                       double crest_i, double crest_q, double papr, double fs, int32_t count) {
    if (count < 0) return 1;
    FileSink s;
    const int32_t opened = open_awg(path, crest_i, crest_q, papr, fs, count, &s);
    if (opened != 0) return opened;
    static_assert(kPairsPerChunk > 0);
    unsigned char block[8 * kPairsPerChunk];
    for (int32_t start = 0; start < count && !s.failed; start += kPairsPerChunk) {
        const int32_t n = count - start < kPairsPerChunk ? count - start : kPairsPerChunk;
        pack_pairs(i_codes + start, q_codes + start, n, block);
        sink_write(&s, block, 8 * static_cast<size_t>(n));
    }
    put_text(&s, "}");
    return sink_close(&s, path);
}

namespace {

// A file's samples are made and written block by block. A block's noise
// points are drawn (the generator's serial part: in block order, one thread
// at a time); the block is made (its noise added, its samples turned into
// bytes: any thread, any order); then written (in order through the stream,
// or at its offset by any thread where the file takes positional writes).
// Samples per block, and the blocks in flight when a second thread helps.
constexpr int32_t kAwgBlock = 8192;
constexpr int32_t kCsvBlock = 1024;
constexpr int kSlots = 8;
// From these sample counts on a second thread draws, makes and writes too.
constexpr int32_t kAwgThreaded = 1 << 18;
constexpr int32_t kCsvThreaded = 32768;

// What the made blocks become.
enum class Output { kAwg, kCsv, kTake };

struct Job {
    SampleSource src;
    Output out;
    double scale;                  // AWG full scale
    SampleBlockFn take = nullptr;  // kTake: the blocks go to it instead of into a file
    void* context = nullptr;
    int32_t block;                 // samples per block
    int32_t blocks;
};

// One block's buffers and results.
struct Slot {
    double* x1;  // the noise points of the block's samples from the tail on
    double* x2;
    double* s;
    double* si;  // the samples with their noise
    double* sq;
    char* bytes;
    const double* out_i = nullptr;  // the made samples (for take)
    const double* out_q = nullptr;
    size_t length = 0;
    int64_t offset = 0;    // where the bytes go in the file, once placed
    int32_t block = -1;    // block held, -1 none
    bool done = false;     // made
    bool writing = false;  // its bytes are being written
    bool written = false;
    RoundErrors found;     // the first values outside full scale (AWG, noise part)
};

size_t block_bytes(const Job& job) {
    const size_t per_sample =
        job.out == Output::kAwg ? 8 : (job.out == Output::kCsv ? kCsvLineMax : 0);
    return static_cast<size_t>(job.block) * per_sample;
}

void block_range(const Job& job, int32_t b, int32_t* start, int32_t* n) {
    *start = b * job.block;
    *n = job.src.count - *start < job.block ? job.src.count - *start : job.block;
}

// First sample of block b still waiting for its noise, relative to the
// block; n when none.
int32_t noise_offset(const Job& job, int32_t start, int32_t n) {
    if (job.src.tail >= start + n) return n;
    return job.src.tail > start ? job.src.tail - start : 0;
}

// The serial part for block b: its noise points, in block order.
void draw_block(const Job& job, int32_t b, Slot* sl, int32_t* sel) {
    int32_t start, n;
    block_range(job, b, &start, &n);
    const int32_t off = noise_offset(job, start, n);
    if (off < n) noise_points(job.src.noise, n - off, sel, sl->x1, sl->x2, sl->s);
}

void note_round_error(const double* x, int32_t n, double scale, int32_t first, int32_t* at,
                      double* value) {
    const int32_t k = find_round_error(x, n, scale, value);
    *at = k >= 0 ? first + k : -1;
}

// Makes block b in its slot: the samples (with their noise from the tail
// on), the round errors of the noise part (AWG), and the bytes unless output
// has stopped. f: the thread's scratch of job.block doubles.
void make_block(const Job& job, int32_t b, Slot* sl, double* f, bool output) {
    int32_t start, n;
    block_range(job, b, &start, &n);
    const double* bi = job.src.i + start;
    const double* bq = job.src.q + start;
    const int32_t off = noise_offset(job, start, n);
    sl->found = RoundErrors{};
    if (off < n) {
        std::memcpy(sl->si, bi, static_cast<size_t>(n) * sizeof(double));
        std::memcpy(sl->sq, bq, static_cast<size_t>(n) * sizeof(double));
        noise_add_points(n - off, sl->x1, sl->x2, sl->s, job.src.noise->amplitude, f,
                         sl->si + off, sl->sq + off);
        bi = sl->si;
        bq = sl->sq;
        if (job.out == Output::kAwg) {
            note_round_error(bi + off, n - off, job.scale, start + off, &sl->found.i_at,
                             &sl->found.i_value);
            note_round_error(bq + off, n - off, job.scale, start + off, &sl->found.q_at,
                             &sl->found.q_value);
        }
    }
    sl->length = 0;
    sl->out_i = bi;
    sl->out_q = bq;
    if (!output || job.out == Output::kTake) return;
    if (job.out == Output::kAwg) {
        int32_t i_codes[kCodesPerStep], q_codes[kCodesPerStep];
        for (int32_t k = 0; k < n; k += kCodesPerStep) {
            const int32_t m = n - k < kCodesPerStep ? n - k : kCodesPerStep;
            quantise_codes(bi + k, i_codes, m, job.scale, 14);
            quantise_codes(bq + k, q_codes, m, job.scale, 14);
            unsigned char* out = reinterpret_cast<unsigned char*>(sl->bytes);
            pack_pairs(i_codes, q_codes, m, out + 8 * static_cast<size_t>(k));
        }
        sl->length = 8 * static_cast<size_t>(n);
    } else {
        sl->length = format_lines(bi, bq, 0, n, sl->bytes);
    }
}

// Keeps the first round error of each channel, taking blocks in order.
void merge_round_errors(const RoundErrors& block, RoundErrors* found) {
    if (found->i_at < 0 && block.i_at >= 0) {
        found->i_at = block.i_at;
        found->i_value = block.i_value;
    }
    if (found->q_at < 0 && block.q_at >= 0) {
        found->q_at = block.q_at;
        found->q_value = block.q_value;
    }
}

struct Shared {
    std::mutex lock;
    std::condition_variable changed;
    const Job* job;
    Slot* slots;
    int nslots;
    FileSink* sink;          // nullptr: nothing is written
    bool positional = false; // blocks are written at their offsets, by any thread at once
    int32_t* sel;            // the drawing thread's scratch
    RoundErrors* found;
    int32_t drawn = 0;       // blocks drawn, in order
    int32_t claimed = 0;     // blocks claimed for making, in order
    int32_t placed = 0;      // blocks made and given their offsets, in order
    int32_t written = 0;     // blocks written (or passed over), in order
    int64_t end = 0;         // file offset after the last placed block (positional)
    bool drawing = false;    // a thread is drawing the next block
    bool output = true;      // bytes are still wanted (the file is open and no write failed)
    bool stop = false;       // nothing more is wanted
};

Slot* slot_of(Shared* sh, int32_t b) { return &sh->slots[b % sh->nslots]; }

// Gives the made blocks, in order, their offsets and their round errors.
void place_blocks(Shared* sh) {
    for (Slot* sl = slot_of(sh, sh->placed); sh->placed < sh->drawn && sl->block == sh->placed &&
                                             sl->done;
         sl = slot_of(sh, sh->placed)) {
        merge_round_errors(sl->found, sh->found);
        sl->offset = sh->end;
        sh->end += static_cast<int64_t>(sl->length);
        ++sh->placed;
    }
}

// The next placed block to write, or -1: through the stream only the oldest,
// one at a time; positionally any that no thread is writing.
int32_t block_to_write(Shared* sh) {
    for (int32_t b = sh->written; b < sh->placed; ++b) {
        const Slot* sl = slot_of(sh, b);
        if (!sl->writing && !sl->written) return b;
        if (!sh->positional) return -1;
    }
    return -1;
}

// What each thread runs until every block is written: write a placed block,
// else draw the next one when its slot is free, else make a drawn one.
// Drawing goes in block order, one thread at a time.
void worker(Shared* sh, double* f) {
    const Job& job = *sh->job;
    const bool noise = job.src.tail < job.src.count;
    std::unique_lock<std::mutex> held(sh->lock);
    for (;;) {
        if (sh->stop || sh->written == job.blocks) return;
        place_blocks(sh);
        const int32_t w = block_to_write(sh);
        if (w >= 0) {
            Slot* sl = slot_of(sh, w);
            sl->writing = true;
            const bool output = sh->output;
            held.unlock();
            bool ok = true;
            if (output && job.out == Output::kTake) {
                int32_t start, n;
                block_range(job, w, &start, &n);
                ok = job.take(job.context, start, n, sl->out_i, sl->out_q);
            } else if (output && sh->positional) {
                ok = sink_write_at(sh->sink, sl->bytes, sl->length, sl->offset);
            } else if (output) {
                sink_write(sh->sink, sl->bytes, sl->length);
                ok = !sh->sink->failed;
            }
            held.lock();
            if (!ok) {
                if (sh->sink != nullptr) sh->sink->failed = true;
                sh->output = false;
            }
            sl->writing = false;
            sl->written = true;
            // Slots are freed in block order.
            for (Slot* head = slot_of(sh, sh->written); sh->written < sh->placed && head->written;
                 head = slot_of(sh, sh->written)) {
                head->block = -1;
                head->done = head->written = false;
                ++sh->written;
            }
            // Nothing left to make without bytes to write or noise to draw.
            if (!sh->output && !noise) sh->stop = true;
            sh->changed.notify_all();
            continue;
        }
        if (!sh->drawing && sh->drawn < job.blocks && sh->drawn - sh->written < sh->nslots) {
            sh->drawing = true;
            const int32_t b = sh->drawn;
            Slot* sl = slot_of(sh, b);
            held.unlock();
            draw_block(job, b, sl, sh->sel);
            held.lock();
            sh->drawing = false;
            sl->block = b;
            ++sh->drawn;
            sh->changed.notify_all();
            continue;
        }
        if (sh->claimed < sh->drawn) {
            const int32_t b = sh->claimed++;
            Slot* sl = slot_of(sh, b);
            const bool output = sh->output;
            held.unlock();
            make_block(job, b, sl, f, output);
            held.lock();
            sl->done = true;
            sh->changed.notify_all();
            continue;
        }
        sh->changed.wait(held);
    }
}

// The slots and scratch of one job, taken before the file is opened.
struct Blocks {
    char* memory = nullptr;
    Slot slots[kSlots];
    int nslots = 1;
    bool threaded = false;
    double* f_caller = nullptr;
    double* f_helper = nullptr;
    int32_t* sel = nullptr;
};

// False when the memory cannot be had.
bool take_blocks(const Job& job, Blocks* k) {
    // A taker of finished samples leaves a second thread nothing to make.
    const bool work = job.out != Output::kTake || job.src.tail < job.src.count;
    const int32_t minimum = job.out == Output::kCsv ? kCsvThreaded : kAwgThreaded;
    k->threaded = job.src.threads && work && job.src.count >= minimum;
    k->nslots = k->threaded ? kSlots : 1;
    const size_t block = static_cast<size_t>(job.block);
    const size_t per_slot = 5 * block * sizeof(double) + block_bytes(job);
    // Slots, then each thread's scratch f, then the drawing thread's selectors.
    const size_t bytes =
        k->nslots * per_slot + 2 * block * sizeof(double) + 2 * block * sizeof(int32_t);
    k->memory = static_cast<char*>(std::malloc(bytes));
    if (k->memory == nullptr) return false;
    for (int c = 0; c < k->nslots; ++c) {
        double* d = reinterpret_cast<double*>(k->memory + c * per_slot);
        k->slots[c].x1 = d;
        k->slots[c].x2 = d + block;
        k->slots[c].s = d + 2 * block;
        k->slots[c].si = d + 3 * block;
        k->slots[c].sq = d + 4 * block;
        k->slots[c].bytes = reinterpret_cast<char*>(d + 5 * block);
    }
    k->f_caller = reinterpret_cast<double*>(k->memory + k->nslots * per_slot);
    k->f_helper = k->f_caller + block;
    k->sel = reinterpret_cast<int32_t*>(k->f_helper + block);
    return true;
}

// Makes every block of the job and writes it to s, or hands it to the job's
// taker (s nullptr and no taker: nothing goes out, but the noise and its
// round errors are still made); the noise run goes to its end even when a
// write fails or the taker refuses. Releases the memory.
void write_blocks(const Job& job, Blocks* k, FileSink* s, RoundErrors* found) {
    *found = RoundErrors{};
    Shared sh;
    sh.job = &job;
    sh.slots = k->slots;
    sh.nslots = k->nslots;
    sh.sink = s;
    sh.sel = k->sel;
    sh.found = found;
    sh.output = s != nullptr || job.out == Output::kTake;
    // With two threads both may write at once (the kernel's copy into the
    // file costs about as much as making the bytes).
    sh.positional = k->threaded && s != nullptr && sink_begin_positional(s, &sh.end);
    std::thread helper;
    if (k->threaded) {
        try {
            helper = std::thread(worker, &sh, k->f_helper);
        } catch (...) {  // no thread (resources, memory): the caller does every block
        }
    }
    worker(&sh, k->f_caller);
    if (helper.joinable()) {
        {
            std::lock_guard<std::mutex> hold(sh.lock);
            sh.stop = true;
            sh.changed.notify_all();
        }
        helper.join();
    }
    if (sh.positional && !s->failed) sink_end_positional(s, sh.end);
    std::free(k->memory);
    k->memory = nullptr;
}

Job make_job(const SampleSource* src, Output out, double scale, SampleBlockFn take = nullptr,
             void* context = nullptr) {
    Job job;
    job.src = *src;
    if (job.src.tail > job.src.count || job.src.noise == nullptr) job.src.tail = job.src.count;
    if (job.src.tail < 0) job.src.tail = 0;
    job.out = out;
    job.scale = scale;
    job.take = take;
    job.context = context;
    job.block = out == Output::kCsv ? kCsvBlock : kAwgBlock;
    job.blocks = (job.src.count + job.block - 1) / job.block;
    return job;
}

// Without memory for the slots: the rest of the noise stage and its round
// errors on small blocks of the stack, so that the generator still ends
// where the whole stage leaves it.
void drain_noise(const Job& job, RoundErrors* found) {
    constexpr int32_t kStep = 256;
    double x1[kStep], x2[kStep], s[kStep], si[kStep], sq[kStep], f[kStep];
    int32_t sel[2 * kStep];
    Job small = job;
    small.block = kStep;
    small.blocks = (job.src.count + kStep - 1) / kStep;
    Slot sl;
    sl.x1 = x1;
    sl.x2 = x2;
    sl.s = s;
    sl.si = si;
    sl.sq = sq;
    sl.bytes = nullptr;
    for (int32_t b = job.src.tail / kStep; b < small.blocks; ++b) {
        draw_block(small, b, &sl, sel);
        make_block(small, b, &sl, f, false);
        merge_round_errors(sl.found, found);
    }
}

// Opens the file (open_file's result, 0 when open), then makes and writes
// the blocks. A file that could not be opened still draws the rest of the
// noise stage (and its round errors), so the generator ends where the whole
// stage leaves it. Returns the writers' result.
template <typename Open>
int32_t write_job(const Job& job, const char* path, Open open_file, const char* trailer,
                  RoundErrors* found) {
    *found = RoundErrors{};
    Blocks k;
    if (!take_blocks(job, &k)) {
        drain_noise(job, found);
        return kStatusNoMemory;
    }
    FileSink s;
    const int32_t opened = open_file(&s);
    if (opened != 0) {
        if (job.src.tail < job.src.count) write_blocks(job, &k, nullptr, found);
        std::free(k.memory);
        return opened;
    }
    write_blocks(job, &k, &s, found);
    if (trailer != nullptr) put_text(&s, trailer);
    return sink_close(&s, path);
}

}  // namespace

int32_t write_awg_stream(const char* path, const SampleSource* src, double scale, double crest_i,
                         double crest_q, double papr, double fs, RoundErrors* found) {
    *found = RoundErrors{};
    if (src->count < 0) return 1;
    return write_job(make_job(src, Output::kAwg, scale), path,
                     [&](FileSink* s) {
                         return open_awg(path, crest_i, crest_q, papr, fs, src->count, s);
                     },
                     "}", found);
}

int32_t write_csv_stream(const char* path, const SampleSource* src) {
    if (src->count < 0) return 1;
    RoundErrors found;
    // Lines are "%15.10le,%15.10le\n", formatted without the C library's locale.
    return write_job(make_job(src, Output::kCsv, 0.0), path,
                     [&](FileSink* s) { return sink_open(path, false, s); }, nullptr, &found);
}

int32_t hand_over_samples(const SampleSource* src, SampleBlockFn take, void* context) {
    if (src->count < 0) return 0;
    const Job job = make_job(src, Output::kTake, 0.0, take, context);
    Blocks k;
    if (!take_blocks(job, &k)) {
        RoundErrors found;
        drain_noise(job, &found);
        return kStatusNoMemory;
    }
    RoundErrors found;
    write_blocks(job, &k, nullptr, &found);
    return kStatusOk;
}

int32_t awg_parts_open(const char* path, double crest_i, double crest_q, double papr, double fs,
                       int64_t count, FileSink* s) {
    if (count < 0) return kStatusWriteFailed;
    return open_awg(path, crest_i, crest_q, papr, fs, count, s);
}

void awg_parts_header(FileSink* s, double crest_i, double crest_q, double papr, double fs, int64_t count) {
    write_awg_header(s, local_time_now(), crest_i, crest_q, papr, fs, count);
}

void awg_parts_write(FileSink* s, const double* i, const double* q, int32_t n, double scale) {
    int32_t i_codes[kCodesPerStep], q_codes[kCodesPerStep];
    unsigned char block[8 * kCodesPerStep];
    for (int32_t start = 0; start < n && !s->failed; start += kCodesPerStep) {
        const int32_t m = n - start < kCodesPerStep ? n - start : kCodesPerStep;
        quantise_codes(i + start, i_codes, m, scale, 14);
        quantise_codes(q + start, q_codes, m, scale, 14);
        pack_pairs(i_codes, q_codes, m, block);
        sink_write(s, block, 8 * static_cast<size_t>(m));
    }
}

void awg_pack(const double* i, const double* q, int32_t n, double scale, unsigned char* out) {
    int32_t i_codes[kCodesPerStep], q_codes[kCodesPerStep];
    for (int32_t start = 0; start < n; start += kCodesPerStep) {
        const int32_t m = n - start < kCodesPerStep ? n - start : kCodesPerStep;
        quantise_codes(i + start, i_codes, m, scale, 14);
        quantise_codes(q + start, q_codes, m, scale, 14);
        pack_pairs(i_codes, q_codes, m, out + 8 * static_cast<size_t>(start));
    }
}

namespace {

// quantise_codes' 14-bit code of one value x (divisor: full scale + 1e-12):
// the same quotient, level and truncation; outside full scale saturated, NaN
// at the zero level.
inline int32_t pair_code(double x, double divisor) {
    constexpr double kTop = 16383.0;  // 2^14 - 1
    const double w = x / divisor;
    if (w >= -1.0 && w <= 1.0) return static_cast<int32_t>(((w + 1.0) * 0.5) * kTop);
    if (std::isnan(w)) return static_cast<int32_t>(kTop * 0.5);
    return w > 1.0 ? static_cast<int32_t>(kTop) : 0;
}

// Packs pairs j..n-1 of iq one at a time (both floats read before the word
// pair is stored, so out may be iq).
void pack_pairs_plain(const float* iq, int32_t j, int32_t n, double divisor, unsigned char* out) {
    for (; j < n; ++j) {
        const double x = iq[2 * j], y = iq[2 * j + 1];
        put_le32(out + 8 * static_cast<size_t>(j), pair_code(x, divisor));
        put_le32(out + 8 * static_cast<size_t>(j) + 4, pair_code(y, divisor));
    }
}

// The largest float not above divisor: a float x with |x| <= it has
// |x / divisor| <= 1 (after rounding too), so its code needs no saturation.
float within_bound(double divisor) {
    if (std::isnan(divisor)) return -1.0f;  // no value passes
    if (divisor >= static_cast<double>(FLT_MAX)) return FLT_MAX;
    float b = static_cast<float>(divisor);
    if (static_cast<double>(b) > divisor) b = std::nextafter(b, 0.0f);
    return b;
}

#if ORV_X86_VECTORS
// The codes of four pairs whose eight floats are v (each within full scale),
// stored as their words at p. Widened in memory order (I0 Q0 I1 Q1, I2 Q2 I3
// Q3) the codes come in the order the words lie in the file. ((w + 1) * 0.5)
// * top: w + 1 halved is exact, so its product with top is the same rounding
// of the same value as (w + 1) times top / 2.
__attribute__((target("avx"))) ORV_ALWAYS_INLINE void pack_four(__m256 v, __m256d d, __m256d half_top,
                                                                unsigned char* p) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d w0 = _mm256_div_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(v)), d);
    const __m256d w1 = _mm256_div_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)), d);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_add_pd(w0, one), half_top)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16),
                     _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_add_pd(w1, one), half_top)));
}

// The pairs of awg_pack_pairs eight at a time on four-lane vectors, as long
// as eight remain; when checked, eight pairs with a float beyond within_bound
// (or NaN) take the plain path. Returns the first pair not packed.
template <bool checked>
__attribute__((target("avx"))) int32_t pack_pairs_avx(const float* iq, int32_t n, double divisor,
                                                      unsigned char* out) {
    const __m256d d = _mm256_set1_pd(divisor), half_top = _mm256_set1_pd(16383.0 * 0.5);
    const __m256 bound = _mm256_set1_ps(within_bound(divisor)), sign = _mm256_set1_ps(-0.0f);
    int32_t j = 0;
    for (; j + 8 <= n; j += 8) {
        const __m256 v0 = _mm256_loadu_ps(iq + 2 * j), v1 = _mm256_loadu_ps(iq + 2 * j + 8);
        if (checked) {
            const __m256 in = _mm256_and_ps(_mm256_cmp_ps(_mm256_andnot_ps(sign, v0), bound, _CMP_LE_OQ),
                                            _mm256_cmp_ps(_mm256_andnot_ps(sign, v1), bound, _CMP_LE_OQ));
            if (_mm256_movemask_ps(in) != 0xFF) {
                pack_pairs_plain(iq, j, j + 8, divisor, out);
                continue;
            }
        }
        unsigned char* p = out + 8 * static_cast<size_t>(j);
        pack_four(v0, d, half_top, p);
        pack_four(v1, d, half_top, p + 32);
    }
    return j;
}
#endif

// awg_pack_pairs, with the full-scale check of the vector loop when checked.
void pack_float_pairs(const float* iq, int32_t n, double scale, bool checked, unsigned char* out) {
    const double divisor = scale + 1e-12;
    int32_t j = 0;
#if ORV_X86_VECTORS
    if (cpu_has_avx())
        j = checked ? pack_pairs_avx<true>(iq, n, divisor, out) : pack_pairs_avx<false>(iq, n, divisor, out);
#endif
    pack_pairs_plain(iq, j, n, divisor, out);
}

}  // namespace

void awg_pack_pairs(const float* iq, int32_t n, double scale, unsigned char* out) {
    pack_float_pairs(iq, n, scale, true, out);
}

void awg_pack_pairs_within(const float* iq, int32_t n, double scale, unsigned char* out) {
    pack_float_pairs(iq, n, scale, false, out);
}

int32_t awg_parts_close(FileSink* s, const char* path) {
    put_text(s, "}");
    return sink_close(s, path);
}

int32_t csv_parts_open(const char* path, FileSink* s) { return sink_open(path, false, s); }

void csv_parts_write(FileSink* s, const double* i, const double* q, int32_t n) {
    constexpr int32_t kLines = 256;
    char text[kLines * kCsvLineMax];
    for (int32_t start = 0; start < n && !s->failed; start += kLines) {
        const int32_t end = n - start < kLines ? n : start + kLines;
        sink_write(s, text, format_lines(i, q, start, end, text));
    }
}

int32_t csv_parts_close(FileSink* s, const char* path) { return sink_close(s, path); }
