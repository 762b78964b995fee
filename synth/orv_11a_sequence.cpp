// The exported entries of packet sequences: orv_11a_sequence (a file) and
// orv_11a_sequence_blocks (a callback).
#include <cmath>
#include <cstdlib>
#include <mutex>

#include "fft.h"
#include "file_sink.h"
#include "orvasynth.h"
#include "pipeline.h"
#include "sequence.h"
#include "writers.h"

namespace {

// Crest factors, PAPR and channel peak of the whole sequence, as the AWG file states them.
struct SequenceLevels {
    double peak_i = 0.0, peak_q = 0.0, peak_c = 0.0;  // squared peaks
    double sum_i = 0.0, sum_q = 0.0, sum_c = 0.0;
};

void add_levels(const double* i, const double* q, int32_t n, SequenceLevels* m) {
    double peak_i = m->peak_i, peak_q = m->peak_q, peak_c = m->peak_c;
    double sum_i = 0.0, sum_q = 0.0, sum_c = 0.0;
    for (int32_t k = 0; k < n; ++k) {
        const double pi = i[k] * i[k], pq = q[k] * q[k], pc = pi + pq;
        peak_i = pi > peak_i ? pi : peak_i;
        peak_q = pq > peak_q ? pq : peak_q;
        peak_c = pc > peak_c ? pc : peak_c;
        sum_i += pi;
        sum_q += pq;
        sum_c += pc;
    }
    m->peak_i = peak_i;
    m->peak_q = peak_q;
    m->peak_c = peak_c;
    m->sum_i += sum_i;
    m->sum_q += sum_q;
    m->sum_c += sum_c;
}

// Power ratio in dB of a squared peak over a mean (0 dB for no power).
double ratio_db(double peak, double sum, int64_t count) {
    const double mean = count > 0 ? sum / static_cast<double>(count) : 0.0;
    return 10.0 * std::log10(mean <= 1e-12 ? 1.0 : peak / mean);
}

// What one call holds, released on every way out of it.
struct SequenceCall {
    SequenceRun run{};
    double* block = nullptr;  // I then Q, kSequenceBlock each
    bool open = false;
    ~SequenceCall() {
        if (open) sequence_close(&run);
        std::free(block);
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

// Checks the call's arguments; writes the out fields a check can give. Returns 0 or the mask.
int32_t check_call(OrvSequenceParams* p, const OrvPacket* packets, int32_t count, bool output_bad) {
    if (p == nullptr) return static_cast<int32_t>(ORV_INVALID);
    if (p->size != sizeof(OrvSequenceParams))
        return static_cast<int32_t>(ORV_INVALID | ORV_SEQ_BAD_SIZE);
    p->papr = p->crest_i = p->crest_q = 0.0;
    p->total_samples = 0;
    return validate_sequence(p, packets, count, output_bad, &p->bad_packet);
}

// The file of a valid call: measurement pass (AWG), then the writing pass.
int32_t write_sequence(SequenceCall* c, OrvSequenceParams* p, int32_t output_mode,
                       const char* path) {
    const SequenceSetup& s = c->run.setup;
    FileSink sink;
    int32_t opened;
    double scale = 0.0;
    if (output_mode == 0) {
        SequenceLevels m;
        const int32_t pass = each_block(c, [&](int64_t, int32_t n, const double* i,
                                               const double* q) {
            add_levels(i, q, n, &m);
            return true;
        });
        if (pass != 0) return ORV_NO_MEMORY;
        p->crest_i = ratio_db(m.peak_i, m.sum_i, s.total);
        p->crest_q = ratio_db(m.peak_q, m.sum_q, s.total);
        p->papr = ratio_db(m.peak_c, m.sum_c, s.total);
        scale = std::sqrt(m.peak_i > m.peak_q ? m.peak_i : m.peak_q);
        opened = awg_parts_open(path, p->crest_i, p->crest_q, p->papr, s.fs, s.total, &sink);
    } else {
        opened = csv_parts_open(path, &sink);
    }
    if (opened == kSinkNoMemory) return ORV_NO_MEMORY;
    if (opened != 0) return ORV_WRITE_FAILED;
    const int32_t pass = each_block(c, [&](int64_t, int32_t n, const double* i, const double* q) {
        if (output_mode == 0) awg_parts_write(&sink, i, q, n, scale);
        else csv_parts_write(&sink, i, q, n);
        return !sink.failed;
    });
    if (pass == -1) sink.failed = true;  // abandoned: the previous file stays
    const int32_t closed =
        output_mode == 0 ? awg_parts_close(&sink, path) : csv_parts_close(&sink, path);
    if (pass == -1) return ORV_NO_MEMORY;
    return closed == 0 ? ORV_OK : ORV_WRITE_FAILED;
}

// Validation, layout and the producer of one call, then run(call).
template <typename Run>
int32_t sequence_call(OrvSequenceParams* p, const OrvPacket* packets, int32_t count,
                      bool output_bad, int64_t* starts, Run run) {
    try {
        std::lock_guard<std::mutex> hold(library_call_lock());
        const int32_t mask = check_call(p, packets, count, output_bad);
        if (mask != 0) return mask;
        SequenceSetup s;
        sequence_setup(p, packets, count, starts, &s);
        p->total_samples = s.total;
        SequenceCall c;
        if (!c.start(p, packets, count, &s)) return ORV_NO_MEMORY;
        if (sequence_measure_dc(&c.run, c.block, c.block + kSequenceBlock) != 0)
            return ORV_NO_MEMORY;
        return run(&c);
    } catch (...) {
        return ORV_NO_MEMORY;
    }
}

}  // namespace

extern "C" ORV_API int32_t ORV_CALL orv_11a_sequence(OrvSequenceParams* params,
                                                    const OrvPacket* packets,
                                                    int32_t packet_count, int32_t output_mode,
                                                    const char* path, int64_t* packet_starts) {
    const bool mode_bad = output_mode != 0 && output_mode != 1;
    return sequence_call(params, packets, packet_count, mode_bad, packet_starts,
                         [&](SequenceCall* c) {
                             if (path == nullptr) return static_cast<int32_t>(ORV_WRITE_FAILED);
                             return write_sequence(c, params, output_mode, path);
                         });
}

extern "C" ORV_API int32_t ORV_CALL orv_11a_sequence_blocks(OrvSequenceParams* params,
                                                           const OrvPacket* packets,
                                                           int32_t packet_count,
                                                           OrvSampleBlockFn take, void* context,
                                                           int64_t* packet_starts) {
    return sequence_call(params, packets, packet_count, take == nullptr, packet_starts,
                         [&](SequenceCall* c) {
                             const int32_t pass = each_block(
                                 c, [&](int64_t first, int32_t n, const double* i,
                                        const double* q) { return take(context, first, n, i, q) == 0; });
                             return pass == 0 ? ORV_OK : pass == 1 ? ORV_STOPPED : ORV_NO_MEMORY;
                         });
}
