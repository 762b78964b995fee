#include "writers.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <cstring>

#include "file_sink.h"
#include "measure.h"
#include "num_format.h"

namespace {

// Pairs per chunk of the AWG sample block (8 bytes each), and codes made per
// quantiser step within a chunk.
constexpr int32_t kPairsPerChunk = 8192;
constexpr int32_t kCodesPerStep = 512;
// CSV lines per chunk; a line holds at most two 31-byte numbers, a comma and a line end.
constexpr int32_t kLinesPerChunk = 1024;
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

}  // namespace

namespace {

// Opens the file and writes the AWG header up to "{WAVEDATA:bytes;". Returns
// the sink_open result (0 when the sink is open).
int32_t open_awg(const char* path, double crest_i, double crest_q, double papr, double fs,
                 int32_t count, FileSink* s) {
    // The DATE item shows the moment before the file is opened.
    const std::tm t = local_time_now();
    const int32_t opened = sink_open(path, true, s);
    if (opened != 0) return opened;

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
    len += format_int(text + len, 8 * static_cast<int64_t>(count));
    text[len++] = ';';
    sink_write(s, text, len);
    return 0;
}

// Packs n pairs, I code then Q code, each a 32-bit little-endian word.
void pack_pairs(const int32_t* i_codes, const int32_t* q_codes, int32_t n, unsigned char* p) {
    for (int32_t k = 0; k < n; ++k, p += 8) {
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

int32_t write_awg_samples(const char* path, const double* i, const double* q, double scale,
                          double crest_i, double crest_q, double papr, double fs, int32_t count) {
    if (count < 0) return 1;
    FileSink s;
    const int32_t opened = open_awg(path, crest_i, crest_q, papr, fs, count, &s);
    if (opened != 0) return opened;
    unsigned char block[8 * kPairsPerChunk];
    int32_t i_codes[kCodesPerStep], q_codes[kCodesPerStep];
    for (int32_t start = 0; start < count && !s.failed; start += kPairsPerChunk) {
        const int32_t n = count - start < kPairsPerChunk ? count - start : kPairsPerChunk;
        for (int32_t k = 0; k < n; k += kCodesPerStep) {
            const int32_t m = n - k < kCodesPerStep ? n - k : kCodesPerStep;
            quantise_codes(i + start + k, i_codes, m, scale, 14);
            quantise_codes(q + start + k, q_codes, m, scale, 14);
            pack_pairs(i_codes, q_codes, m, block + 8 * static_cast<size_t>(k));
        }
        sink_write(&s, block, 8 * static_cast<size_t>(n));
    }
    put_text(&s, "}");
    return sink_close(&s, path);
}

namespace {

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

// Long files are formatted on two threads: the helper formats three chunks
// of every four into a ring of slots, the caller the fourth, and the caller
// writes every chunk in order (writing costs about as much as formatting
// two chunks of four). A chunk's text depends on its samples alone.
constexpr int32_t kThreadedLines = 32768;
constexpr int32_t kLinesPerSlot = 1024;
constexpr int kSlots = 8;
constexpr size_t kSlotBytes = static_cast<size_t>(kLinesPerSlot) * kCsvLineMax;
bool g_csv_threads = true;

struct CsvShared {
    std::mutex lock;
    std::condition_variable changed;
    const double* i;
    const double* q;
    int32_t count;
    char* slots;                   // kSlots slots of kSlotBytes
    size_t length[kSlots] = {};    // bytes of the chunk in each slot
    int32_t ready[kSlots] = {-1, -1, -1, -1, -1, -1, -1, -1};  // chunk in each slot, -1 none
    int32_t written = -1;          // last chunk written
    bool stop = false;             // the caller stopped (write failed or done)
};

bool callers_chunk(int32_t c) { return c % 4 == 0; }

void csv_helper(CsvShared* sh) {
    const int32_t chunks = (sh->count + kLinesPerSlot - 1) / kLinesPerSlot;
    for (int32_t c = 1; c < chunks; ++c) {
        if (callers_chunk(c)) continue;
        const int slot = c % kSlots;
        {
            std::unique_lock<std::mutex> held(sh->lock);
            while (!sh->stop && sh->written < c - kSlots) sh->changed.wait(held);
            if (sh->stop) return;
        }
        const int32_t start = c * kLinesPerSlot;
        const int32_t end = sh->count - start < kLinesPerSlot ? sh->count : start + kLinesPerSlot;
        const size_t n = format_lines(sh->i, sh->q, start, end, sh->slots + slot * kSlotBytes);
        std::lock_guard<std::mutex> held(sh->lock);
        sh->length[slot] = n;
        sh->ready[slot] = c;
        sh->changed.notify_all();
    }
}

// The two-thread writer; false (nothing written) when the helper or its
// slots cannot be had, and the caller then formats alone.
bool csv_on_two_threads(FileSink* s, const double* i, const double* q, int32_t count) {
    char* slots = static_cast<char*>(std::malloc(kSlots * kSlotBytes));
    if (slots == nullptr) return false;
    CsvShared sh;
    sh.i = i;
    sh.q = q;
    sh.count = count;
    sh.slots = slots;
    std::thread helper;
    try {
        helper = std::thread(csv_helper, &sh);
    } catch (...) {  // no thread (resources, memory): the caller formats alone
        std::free(slots);
        return false;
    }
    const int32_t chunks = (count + kLinesPerSlot - 1) / kLinesPerSlot;
    for (int32_t c = 0; c < chunks && !s->failed; ++c) {
        const int slot = c % kSlots;
        char* text = slots + slot * kSlotBytes;
        size_t n;
        if (callers_chunk(c)) {
            const int32_t start = c * kLinesPerSlot;
            const int32_t end = count - start < kLinesPerSlot ? count : start + kLinesPerSlot;
            n = format_lines(i, q, start, end, text);
        } else {
            std::unique_lock<std::mutex> held(sh.lock);
            while (sh.ready[slot] != c) sh.changed.wait(held);
            n = sh.length[slot];
        }
        sink_write(s, text, n);
        std::lock_guard<std::mutex> held(sh.lock);
        sh.written = c;
        sh.changed.notify_all();
    }
    {
        std::lock_guard<std::mutex> held(sh.lock);
        sh.stop = true;
        sh.changed.notify_all();
    }
    helper.join();
    std::free(slots);
    return true;
}

}  // namespace

void csv_enable_threads(bool on) { g_csv_threads = on; }

int32_t write_csv_file(const char* path, const double* i, const double* q, int32_t count) {
    if (count < 0) return 1;
    FileSink s;
    const int32_t opened = sink_open(path, false, &s);
    if (opened != 0) return opened;
    // Lines are "%15.10le,%15.10le\n", formatted without the C library's locale.
    if (!(g_csv_threads && count >= kThreadedLines && csv_on_two_threads(&s, i, q, count))) {
        char chunk[kLinesPerChunk * kCsvLineMax];
        for (int32_t start = 0; start < count && !s.failed; start += kLinesPerChunk) {
            const int32_t end = count - start < kLinesPerChunk ? count : start + kLinesPerChunk;
            sink_write(&s, chunk, format_lines(i, q, start, end, chunk));
        }
    }
    return sink_close(&s, path);
}
