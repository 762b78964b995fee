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
#include "sequence_impaired.h"
#include "status.h"
#include "writers.h"

namespace {

// Crest factors, PAPR and channel peak of the whole sequence, as the AWG file states them.
struct SequenceLevels {
    double peak_i = 0.0, peak_q = 0.0, peak_c = 0.0;  // squared peaks
    double sum_i = 0.0, sum_q = 0.0, sum_c = 0.0;
    double scale = 0.0;  // largest absolute sample of either channel
};

// Adds n samples to the levels: four interleaved partial sums (lane k % 4)
// so the additions do not wait on each other; the peaks are order-free.
void add_levels(const double* i, const double* q, int32_t n, SequenceLevels* m) {
    double peak_i[4] = {}, peak_q[4] = {}, peak_c[4] = {}, scale[4] = {};
    double sum_i[4] = {}, sum_q[4] = {}, sum_c[4] = {};
    for (int32_t k = 0; k < n; ++k) {
        const int32_t l = k & 3;
        const double pi = i[k] * i[k], pq = q[k] * q[k], pc = pi + pq;
        const double a = std::fabs(i[k]) > std::fabs(q[k]) ? std::fabs(i[k]) : std::fabs(q[k]);
        peak_i[l] = pi > peak_i[l] ? pi : peak_i[l];
        peak_q[l] = pq > peak_q[l] ? pq : peak_q[l];
        peak_c[l] = pc > peak_c[l] ? pc : peak_c[l];
        scale[l] = a > scale[l] ? a : scale[l];
        sum_i[l] += pi;
        sum_q[l] += pq;
        sum_c[l] += pc;
    }
    for (int32_t l = 0; l < 4; ++l) {
        m->peak_i = peak_i[l] > m->peak_i ? peak_i[l] : m->peak_i;
        m->peak_q = peak_q[l] > m->peak_q ? peak_q[l] : m->peak_q;
        m->peak_c = peak_c[l] > m->peak_c ? peak_c[l] : m->peak_c;
        m->scale = scale[l] > m->scale ? scale[l] : m->scale;
    }
    m->sum_i += (sum_i[0] + sum_i[1]) + (sum_i[2] + sum_i[3]);
    m->sum_q += (sum_q[0] + sum_q[1]) + (sum_q[2] + sum_q[3]);
    m->sum_c += (sum_c[0] + sum_c[1]) + (sum_c[2] + sum_c[3]);
}

// Power ratio in dB of a squared peak over a mean (0 dB for no power).
double ratio_db(double peak, double sum, int64_t count) {
    const double mean = count > 0 ? sum / static_cast<double>(count) : 0.0;
    return 10.0 * std::log10(mean <= 1e-12 ? 1.0 : peak / mean);
}

// What one call holds, released on every way out of it.
struct SequenceCall {
    SequenceRun run{};
    ImpairedRun chain{};
    double* block = nullptr;  // I then Q, kSequenceBlock each
    bool open = false;
    bool chain_open = false;
    bool complete = false;  // the last pass ran to the end of the sequence
    ~SequenceCall() {
        if (chain_open) impaired_close(&chain);
        if (open) sequence_close(&run, complete);
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
        scale = m.scale;
        opened = awg_parts_open(path, p->crest_i, p->crest_q, p->papr, s.fs, s.total, &sink);
    } else {
        opened = csv_parts_open(path, &sink);
    }
    if (opened == kStatusNoMemory) return ORV_NO_MEMORY;
    if (opened != kStatusOk) return ORV_WRITE_FAILED;
    const int32_t pass = each_block(c, [&](int64_t, int32_t n, const double* i, const double* q) {
        if (output_mode == 0) awg_parts_write(&sink, i, q, n, scale);
        else csv_parts_write(&sink, i, q, n);
        return !sink.failed;
    });
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
                      const GenerateOptions& options, Run run) {
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
        if (chain) {
            if (starts != nullptr) impaired_starts(imp, count, starts);
            s.total = impaired_total(imp, s.total);
        }
        p->total_samples = s.total;
        SequenceCall c;
        if (!c.start(p, packets, count, &s)) return ORV_NO_MEMORY;
        if (chain) {
            if (impaired_open(&c.chain, &c.run, imp) != 0) return ORV_NO_MEMORY;
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

extern "C" ORV_API int32_t ORV_CALL orv_11a_sequence_impaired(
    OrvSequenceParams* params, const OrvImpairments* impairments, const OrvPacket* packets,
    int32_t packet_count, int32_t output_mode, const char* path, int64_t* packet_starts) {
    const bool mode_bad = output_mode != 0 && output_mode != 1;
    return sequence_call(params, impairments, packets, packet_count, mode_bad, packet_starts,
                         GenerateOptions{}, [&](SequenceCall* c) {
                             if (path == nullptr) return static_cast<int32_t>(ORV_WRITE_FAILED);
                             return write_sequence(c, params, output_mode, path);
                         });
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
                         packet_starts, options, [&](SequenceCall* c) {
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
