// Every allocation of a call fails in turn, wherever it is made (the
// library's arrays and tables, the C library's stream, the helper thread):
// the call must return 1 with nothing written (the previous file stays, no
// new file is left), the out fields unchanged and every byte released. The
// allocations the call may do without are its helper threads' (prefault,
// the noise stage's and the writers' second threads); then the call goes on
// and must write the very file it writes otherwise.
//
// malloc and its relatives are replaced for the whole process (glibc's own
// allocator underneath), so this program cannot run under a sanitizer.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fft.h"
#include "noise.h"
#include "golden/golden_records.h"
#include "orvasynth.h"
#include "sequence.h"
#include "support/records.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);
}

namespace {

// Allocation accounting while armed: the index of the allocation to fail (-1
// for none), how many were made, and the bytes made minus the bytes released.
std::atomic<bool> g_armed{false};
std::atomic<long> g_fail_at{-1};
std::atomic<long> g_made{0};
std::atomic<long> g_net_bytes{0};
std::atomic<long> g_failed{0};

// True when this allocation is to fail; counts it otherwise.
bool refuse() {
    if (!g_armed.load(std::memory_order_relaxed)) return false;
    const long index = g_made.fetch_add(1);
    if (index == g_fail_at.load()) {
        g_failed.fetch_add(1);
        errno = ENOMEM;
        return true;
    }
    return false;
}

std::atomic<long> g_peak_bytes{0};  // the most g_net_bytes reached

void* account(void* p) {
    if (p != nullptr && g_armed.load(std::memory_order_relaxed)) {
        const long now = g_net_bytes.fetch_add(static_cast<long>(malloc_usable_size(p))) +
                         static_cast<long>(malloc_usable_size(p));
        long peak = g_peak_bytes.load();
        while (now > peak && !g_peak_bytes.compare_exchange_weak(peak, now)) {
        }
    }
    return p;
}

void unaccount(void* p) {
    if (p != nullptr && g_armed.load(std::memory_order_relaxed))
        g_net_bytes.fetch_sub(static_cast<long>(malloc_usable_size(p)));
}

}  // namespace

extern "C" {
void* malloc(size_t size) { return refuse() ? nullptr : account(__libc_malloc(size)); }
void* calloc(size_t count, size_t size) {
    return refuse() ? nullptr : account(__libc_calloc(count, size));
}
void* realloc(void* p, size_t size) {
    if (refuse()) return nullptr;
    unaccount(p);
    return account(__libc_realloc(p, size));
}
void free(void* p) {
    unaccount(p);
    __libc_free(p);
}
void* memalign(size_t alignment, size_t size) {
    return refuse() ? nullptr : account(__libc_memalign(alignment, size));
}
void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }
int posix_memalign(void** out, size_t alignment, size_t size) {
    void* p = memalign(alignment, size);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}
}

namespace {

struct AllocCase {
    const char* name;
    int32_t mode;
    WaveParams p;
    bool has_helper_thread;  // arrays over 16 MiB: the prefault thread may be refused
    long min_allocations;    // the call makes at least this many
};

void PrintTo(const AllocCase& c, std::ostream* os) { *os << c.name; }

using namespace golden;

// Writes text as the whole file at path; false when it cannot be opened.
bool put_text(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return true;
}

// The number of entries in the folder dir.
size_t entries_in(const std::filesystem::path& dir) {
    size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        (void)e;
        ++entries;
    }
    return entries;
}

// Counts the allocations from 0 again and fails the one numbered n (from 0).
void fail_allocation(long n) {
    g_fail_at = n;
    g_made = 0;
    g_failed = 0;
    g_net_bytes = 0;
}

// An AWG file without its DATE item (the 26 bytes "{DATE:yyyy/mm/dd;hh:mm:ss}").
std::string without_date(std::string file) {
    const size_t at = file.find("{DATE:");
    if (at != std::string::npos) file.erase(at, 26);
    return file;
}

class AllocationFailure : public ::testing::TestWithParam<AllocCase> {};

TEST_P(AllocationFailure, EveryAllocationFailsCleanly) {
    const AllocCase& c = GetParam();
    TempDir dir("alloc");
    const std::string path = dir.file(c.mode == 0 ? "burst.awv" : "burst.csv");

    // Every call starts from the same noise generator table, so a noisy
    // record's file can be compared.
    int32_t table[33];
    noise_table_copy(table);

    // The file the call writes when nothing fails (twice: the C library's
    // one-time set-up, the time zone for one, is done before counting).
    WaveParams ref = c.p;
    ASSERT_EQ(orv_11a_actual(&ref, c.mode, path.c_str()), 0);
    noise_table_restore(table);
    ASSERT_EQ(orv_11a_actual(&ref, c.mode, path.c_str()), 0);
    const std::string expected = read_file(path);
    int32_t table_after[33];
    noise_table_copy(table_after);

    // How many allocations one call makes, and that it returns all of them.
    g_fail_at = -1;
    g_made = 0;
    g_net_bytes = 0;
    g_armed = true;
    WaveParams counted = c.p;
    noise_table_restore(table);
    const int32_t rc0 = orv_11a_actual(&counted, c.mode, path.c_str());
    g_armed = false;
    ASSERT_EQ(rc0, 0);
    const long total = g_made.load();
    EXPECT_GE(total, c.min_allocations);
    EXPECT_EQ(g_net_bytes.load(), 0) << "a call without failure leaks";

    const std::string previous = "the previous file";
    long went_on = 0;
    for (long n = 0; n < total; ++n) {
        ASSERT_TRUE(put_text(path, previous));
        WaveParams p = c.p;
        p.papr = p.crest_i = p.crest_q = -7.0;
        fail_allocation(n);
        noise_table_restore(table);
        g_armed = true;
        const int32_t rc = orv_11a_actual(&p, c.mode, path.c_str());
        g_armed = false;
        ASSERT_EQ(g_failed.load(), 1) << "allocation " << n << " of " << total << " never came";
        // The generator is left untouched (a failure before the noise stage)
        // or where the whole stage leaves it, never half-way.
        int32_t table_now[33];
        noise_table_copy(table_now);
        EXPECT_TRUE(std::memcmp(table_now, table, sizeof table) == 0 ||
                    std::memcmp(table_now, table_after, sizeof table) == 0)
            << "allocation " << n << " failing stops the noise stage half-way";
        EXPECT_EQ(g_net_bytes.load(), 0) << "allocation " << n << " failing leaks";
        EXPECT_EQ(fft_cached_size(), 0) << "allocation " << n << " failing keeps the FFT tables";
        EXPECT_EQ(fft_chirp_entries(), 0) << "allocation " << n << " failing keeps chirp-z state";
        EXPECT_EQ(entries_in(dir.path), 1u) << "allocation " << n << " failing leaves a new file behind";
        if (rc == 0 && c.has_helper_thread) {
            ++went_on;  // the helper thread was refused: the call did its work alone
            EXPECT_TRUE(without_date(read_file(path)) == without_date(expected))
                << "allocation " << n << " refused (helper thread or kept samples) changed the file";
            continue;
        }
        ASSERT_EQ(rc, 1) << "allocation " << n << " of " << total << " failing";
        EXPECT_TRUE(read_file(path) == previous) << "allocation " << n << " failing wrote the file";
        EXPECT_EQ(p.papr, -7.0);
        EXPECT_EQ(p.crest_i, -7.0);
        EXPECT_EQ(p.crest_q, -7.0);
    }
    if (c.has_helper_thread) {
        EXPECT_GE(went_on, 1) << "the helper thread was never refused";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Records, AllocationFailure,
    ::testing::Values(
        // Chirp-z state (chirp, kernel, scratch) built once for all symbols,
        // radix-2 tables, the filter's taps, the AWG stream.
        AllocCase{"os10_filtered_awg", 0, filter(burst(7, 12, 10, PN23), 10e6, 0.25, 191), false,
                  12},
        // Radix-2 tables, filter taps, text stream.
        AllocCase{"os8_filtered_csv", 1, filter(window(burst(5, 6, 8, PN9), 1e-7), 10e6, 0.3, 300),
                  false, 4},
        AllocCase{"os5_noise_data_only_awg", 0, noise(data_only(burst(3, 5, 5, PN15)), -30.0),
                  false, 10},
        AllocCase{"empty_burst_csv", 1, data_only(burst(2, 0, 4, PN9)), false, 2},
        // Arrays over 16 MiB; the codes are made block by block, from 2^18
        // samples on by the AWG writer's second thread too.
        AllocCase{"long_gap_awg", 0, gap(burst(5, 2, 10, PN9), 22e-3), true, 5},
        // Noise over 2^20 samples, the gap's drawn as the file is written:
        // the writer's second thread and its blocks (each call starts from
        // the same generator table).
        AllocCase{"long_noise_awg", 0, noise(gap(burst(5, 2, 10, PN9), 6e-3), -30.0), true, 6},
        // Over 32768 lines: the CSV writer's second thread and its slots.
        AllocCase{"long_csv", 1, gap(burst(5, 2, 10, PN9), 2e-4), true, 4}),
    [](const ::testing::TestParamInfo<AllocCase>& param) { return std::string(param.param.name); });

}  // namespace

namespace {

// Packet sequences: each allocation of orv_11a_sequence failing in turn (the
// producer's block, the FFT tables, the file's stream, the helper thread that
// builds the next PPDUs). The call returns ORV_NO_MEMORY with the previous
// file in place and the noise generator as it was, or, when only the helper
// thread was refused, writes the very file it writes otherwise.
struct SequenceAllocCase {
    const char* name;
    int32_t mode;
    int32_t packets;
    bool filter_and_noise;
    bool impaired = false;  // through orv_11a_sequence_impaired with every stage on
    bool dc_offset = true;  // with the impairments: a DC offset too (its own level pass)
    bool snr_alone = false; // with the impairments: the SNR alone, 1 ms idle at the end (many blocks)
};

void PrintTo(const SequenceAllocCase& c, std::ostream* os) { *os << c.name; }

class SequenceAllocationFailure : public ::testing::TestWithParam<SequenceAllocCase> {};

int32_t call_sequence(const SequenceAllocCase& c, const std::string& path) {
    static uint8_t psdu[300];
    for (size_t k = 0; k < sizeof psdu; ++k) psdu[k] = static_cast<uint8_t>(k * 7 + 1);
    OrvPacket list[3];
    for (int32_t k = 0; k < 3; ++k) {
        list[k] = OrvPacket{};
        list[k].size = sizeof(OrvPacket);
        list[k].rate_index = 2 * k + 1;
        list[k].scrambler_init = 5 + k;
        list[k].psdu_length = 100 * (k + 1);
        list[k].psdu = psdu;
        list[k].idle_time = 4e-6;
    }
    OrvSequenceParams p{};
    p.size = sizeof p;
    p.oversampling = 5;  // chirp-z transforms
    p.channel_mhz = 20;
    p.window_tr = 100e-9;
    if (c.filter_and_noise) {
        p.filter_cutoff = 10e6;
        p.filter_rolloff = 0.25;
        p.filter_taps = 61;
        p.noise_enable = 1;
        p.noise_level = -30.0;
    }
    if (c.impaired && c.snr_alone) {
        list[2].idle_time = 1e-3;
        OrvImpairments m{};
        m.size = sizeof m;
        m.seed = 3;
        m.snr_enable = 1;
        m.snr_db = 20;
        return orv_11a_sequence_impaired(&p, &m, list, c.packets, c.mode, path.c_str(), nullptr);
    }
    if (c.impaired) {
        static const double offsets[] = {1e3, 1e5, 1e6};
        static const double levels[] = {-85, -90, -110};
        OrvImpairments m{};
        m.size = sizeof m;
        m.seed = 3;
        m.snr_enable = 1;
        m.snr_db = 20;
        m.iq_gain_db = 0.5;
        m.pa_enable = 1;
        m.pa_smoothness = 2.5;
        m.pa_backoff_db = 6;
        m.clip_enable = 1;
        m.clip_papr_db = 9;
        m.phase_noise_count = 3;
        m.phase_noise_offsets_hz = offsets;
        m.phase_noise_dbc_hz = levels;
        m.cfo_ppm = 4;
        m.carrier_ghz = 5;
        m.clock_ppm = -40;
        m.multipath_rms_ns = 30;
        m.multipath_per_packet = 1;
        if (c.dc_offset) p.dc_offset_re = 2;
        return orv_11a_sequence_impaired(&p, &m, list, c.packets, c.mode, path.c_str(), nullptr);
    }
    return orv_11a_sequence(&p, list, c.packets, c.mode, path.c_str(), nullptr);
}

TEST_P(SequenceAllocationFailure, EveryAllocationFailsCleanly) {
    const SequenceAllocCase& c = GetParam();
    TempDir dir("alloc_seq");
    const std::string path = dir.file(c.mode == 0 ? "frames.awv" : "frames.csv");
    int32_t table[33];
    noise_table_copy(table);
    ASSERT_EQ(call_sequence(c, path), 0);
    noise_table_restore(table);
    ASSERT_EQ(call_sequence(c, path), 0);
    const std::string expected = read_file(path);

    g_fail_at = -1;
    g_made = 0;
    g_net_bytes = 0;
    noise_table_restore(table);
    g_armed = true;
    const int32_t rc0 = call_sequence(c, path);
    g_armed = false;
    ASSERT_EQ(rc0, 0);
    const long total = g_made.load();
    EXPECT_GE(total, 3);
    EXPECT_EQ(g_net_bytes.load(), 0) << "a call without failure leaks";

    const std::string previous = "the previous file";
    long went_on = 0;
    for (long n = 0; n < total; ++n) {
        ASSERT_TRUE(put_text(path, previous));
        fail_allocation(n);
        noise_table_restore(table);
        g_armed = true;
        const int32_t rc = call_sequence(c, path);
        g_armed = false;
        EXPECT_EQ(g_net_bytes.load(), 0) << "allocation " << n << " failing leaks";
        EXPECT_EQ(fft_cached_size(), 0) << "allocation " << n << " failing keeps the FFT tables";
        EXPECT_EQ(entries_in(dir.path), 1u) << "allocation " << n << " failing leaves a new file behind";
        if (rc == 0) {
            // What the call can do without was refused (the helper threads, the
            // DATA symbols' values or the impaired samples kept between passes):
            // it did its work without, to the same bytes.
            ++went_on;
            EXPECT_TRUE(without_date(read_file(path)) == without_date(expected))
                << "allocation " << n << " refused (helper thread or kept values) changed the file";
            continue;
        }
        ASSERT_EQ(rc, ORV_NO_MEMORY) << "allocation " << n << " of " << total << " failing";
        EXPECT_TRUE(read_file(path) == previous)
            << "allocation " << n << " failing wrote the file";
        int32_t table_now[33];
        noise_table_copy(table_now);
        EXPECT_TRUE(std::memcmp(table_now, table, sizeof table) == 0)
            << "allocation " << n << " failing moved the noise generator";
    }
    if (c.packets > 1) {
        EXPECT_GE(went_on, 1) << "the helper thread was never refused";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, SequenceAllocationFailure,
    ::testing::Values(SequenceAllocCase{"three_packets_filtered_noisy_awg", 0, 3, true},
                      SequenceAllocCase{"one_packet_csv", 1, 1, false},
                      SequenceAllocCase{"three_packets_whole_impairment_chain_awg", 0, 3, true, true},
                      // The SNR's power summed in the chain pass into the kept samples,
                      // or, that buffer refused, in a level pass of its own: the same file.
                      SequenceAllocCase{"three_packets_impairment_chain_without_dc_awg", 0, 3, true, true, false},
                      // Eleven digits a value: a refused buffer of kept samples must not
                      // change a figure measured from them.
                      SequenceAllocCase{"three_packets_whole_impairment_chain_csv", 1, 3, true, true},
                      // The kept samples straight from the PPDUs, the noise and the
                      // packing shared by two threads over many blocks.
                      SequenceAllocCase{"three_packets_snr_alone_many_blocks_awg", 0, 3, false, true, false, true}),
    [](const ::testing::TestParamInfo<SequenceAllocCase>& param) {
        return std::string(param.param.name);
    });

}  // namespace

namespace {

// Memory does not grow with the packet count: the most a call holds at once
// is the same for 10 and for 400 packets (its blocks and the two PPDUs).
// The packets of the memory tests: one PSDU for all.
std::vector<OrvPacket> memory_packets(int32_t count, int32_t rate_index, int32_t length) {
    static uint8_t psdu[4095];
    std::vector<OrvPacket> list(static_cast<size_t>(count));
    for (auto& pk : list) {
        pk = OrvPacket{};
        pk.size = sizeof pk;
        pk.rate_index = rate_index;
        pk.scrambler_init = 93;
        pk.psdu_length = length;
        pk.psdu = psdu;
        pk.idle_time = 20e-6;
    }
    return list;
}

// The memory a sequence holds at once grows with its packet count by the
// DATA symbols' values kept between the passes (48 bytes a symbol) and their
// bookkeeping (9 bytes a packet) alone.
TEST(SequenceMemory, PeakGrowsOnlyByTheKeptValues) {
    TempDir dir("seq_memory");
    // A first call unmeasured: the C library's one-time set-up (the time zone).
    long peaks[3];
    const int32_t counts[3] = {10, 10, 400};
    for (int32_t run = 0; run < 3; ++run) {
        const std::vector<OrvPacket> list = memory_packets(counts[run], 7, 1028);
        OrvSequenceParams p{};
        p.size = sizeof p;
        p.oversampling = 8;
        p.channel_mhz = 20;
        p.window_tr = 100e-9;
        g_fail_at = -1;
        g_net_bytes = 0;
        g_peak_bytes = 0;
        g_armed = run > 0;
        const int32_t rc = orv_11a_sequence(&p, list.data(), counts[run], 0,
                                            dir.file("frames.awv").c_str(), nullptr);
        g_armed = false;
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(g_net_bytes.load(), 0);
        peaks[run] = g_peak_bytes.load();
    }
    const long kept = 390L * 48 * 39;  // 1028 octets at 54 Mbit/s: 39 symbols
    EXPECT_GE(peaks[2] - peaks[1], kept);
    EXPECT_LE(peaks[2] - peaks[1], kept + 390L * 9 + 4096);
    EXPECT_LT(peaks[2], 8L << 20) << "bytes held at once";
}

int32_t ORV_CALL ignore_block(void*, int64_t, int32_t, const double*, const double*) { return 0; }

// Past the values' budget (1 MB here: 16 packets of 4095 octets at
// 6 Mbit/s, 1366 symbols each) more packets add their bookkeeping alone.
TEST(SequenceMemory, KeptValuesStayWithinTheirBudget) {
    long peaks[3];
    const int32_t counts[3] = {40, 40, 80};
    GenerateOptions options;
    options.value_cache_bytes = 1 << 20;
    for (int32_t run = 0; run < 3; ++run) {
        const std::vector<OrvPacket> list = memory_packets(counts[run], 0, 4095);
        OrvSequenceParams p{};
        p.size = sizeof p;
        p.oversampling = 1;
        p.channel_mhz = 20;
        p.window_tr = 100e-9;
        g_fail_at = -1;
        g_net_bytes = 0;
        g_peak_bytes = 0;
        g_armed = run > 0;
        const int32_t rc = orv_11a_sequence_blocks_with(&p, list.data(), counts[run], ignore_block,
                                                        nullptr, nullptr, options);
        g_armed = false;
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(g_net_bytes.load(), 0);
        peaks[run] = g_peak_bytes.load();
    }
    EXPECT_GE(peaks[1], 16L * 48 * 1366);
    EXPECT_LE(peaks[2] - peaks[1], 40L * 9 + 4096);
    // The budget, four PPDUs of 400 + 80 * 1366 samples (I and Q) and 1 MB.
    EXPECT_LT(peaks[2], (1L << 20) + 4L * 16 * (400 + 80 * 1366 + 1) + (1L << 20)) << "bytes held at once";
}

}  // namespace
