// The passes of an impaired AWG file: with the SNR and no DC offset the chain
// pass keeps its samples before the noise and sums the packets' power on the
// way; the noise and the later stages then run over the kept samples. Where
// those samples are not kept (too large, or refused) a level pass of its own
// measures the power and the chain runs again to write. Neither the memory at
// hand nor the PPDU builder threads may change a byte of the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>

#include "noise.h"
#include "orvasynth.h"
#include "pipeline.h"
#include "sequence.h"
#include "support/files.h"
#include "support/readable_params.h"

namespace {

// The impairments and sequence settings of one file.
struct ChainCase {
    const char* name;
    void (*set)(OrvImpairments*, OrvSequenceParams*);
    double last_idle;  // seconds after the last packet
};

// How the call may run.
struct RunWay {
    const char* name;
    int64_t kept_bytes;  // the impaired samples kept between passes at most
    bool threads;
    int32_t builders;
    KeptStore store = kKeptHugePages;  // where the kept samples go
};

// Kept (in huge pages on Linux), two builder threads: the reference every other way must match.
constexpr RunWay kKeptTwoBuilders{"kept_two_builders", int64_t{64} << 20, true, 2};

struct PassCase {
    ChainCase chain;
    RunWay way;
};

void PrintTo(const PassCase& c, std::ostream* os) { *os << c.chain.name << " " << c.way.name; }

struct Written {
    int32_t rc = -99;
    int64_t total = 0;
    double crest_i = 0.0, crest_q = 0.0, papr = 0.0;
    std::string bytes;  // the file without its DATE item
};

// Four packets at 54, 6, 24 and 54 Mbit/s, 10 us apart, oversampling 2; the
// file read back (without its DATE item) when read_back.
Written write(const ChainCase& c, const RunWay& way, const std::string& path, bool read_back = true) {
    std::vector<uint8_t> psdu(300);
    for (size_t k = 0; k < psdu.size(); ++k) psdu[k] = static_cast<uint8_t>(k * 41 + 9);
    const int32_t rates[] = {7, 0, 4, 7};
    std::vector<OrvPacket> packets;
    for (int32_t k = 0; k < 4; ++k) {
        OrvPacket p{};
        p.size = sizeof p;
        p.rate_index = rates[k];
        p.scrambler_init = 17 + 29 * k;
        p.psdu_length = 150 + 50 * k;
        p.psdu = psdu.data();
        p.idle_time = k == 3 ? c.last_idle : 10e-6;
        packets.push_back(p);
    }
    OrvSequenceParams p{};
    p.size = sizeof p;
    p.oversampling = 2;
    p.channel_mhz = 20;
    p.window_tr = 100e-9;
    OrvImpairments m{};
    m.size = sizeof m;
    m.seed = 11;
    c.set(&m, &p);
    GenerateOptions o;
    o.kept_sample_bytes = way.kept_bytes;
    o.threads = way.threads;
    o.ppdu_builders = way.builders;
    o.kept_store = way.store;
    // The absolute noise's generator goes on from call to call: every call from the same state.
    int32_t table[33];
    noise_table_copy(table);
    Written w;
    w.rc = orv_11a_sequence_impaired_with(&p, &m, packets.data(), 4, 0, path.c_str(), nullptr, o);
    noise_table_restore(table);
    if (w.rc != 0 || !read_back) return w;
    w.total = p.total_samples;
    w.crest_i = p.crest_i;
    w.crest_q = p.crest_q;
    w.papr = p.papr;
    w.bytes = std::regex_replace(orv_test::read_file(path), std::regex("\\{DATE:[^}]*\\}"), "{DATE:}",
                                 std::regex_constants::format_first_only);
    return w;
}

void whole_chain(OrvImpairments* m) {
    m->snr_enable = 1;
    m->snr_db = 18;
    m->iq_gain_db = 0.4;
    m->iq_phase_deg = -2;
    m->pa_enable = 1;
    m->pa_smoothness = 2;
    m->pa_backoff_db = 5;
    m->clip_enable = 1;
    m->clip_papr_db = 8;
    m->phase_noise_rms_deg = 1.5;
    m->cfo_ppm = 8;
    m->carrier_ghz = 5.2;
    m->clock_ppm = 30;
    m->multipath_rms_ns = 40;
    m->multipath_per_packet = 1;
}

const ChainCase kChains[] = {
    {"snr alone", [](OrvImpairments* m, OrvSequenceParams*) { m->snr_enable = 1, m->snr_db = 12; }, 10e-6},
    {"amplifier and snr",
     [](OrvImpairments* m, OrvSequenceParams*) {
         m->snr_enable = 1, m->snr_db = 25;
         m->pa_enable = 1, m->pa_smoothness = 3, m->pa_backoff_db = 6;
     },
     10e-6},
    {"whole chain", [](OrvImpairments* m, OrvSequenceParams*) { whole_chain(m); }, 10e-6},
    // 1.7 MB of kept samples: in huge pages by default (a mapping of its own,
    // not the C library's block the short files take).
    {"whole chain long idle", [](OrvImpairments* m, OrvSequenceParams*) { whole_chain(m); }, 5e-3},
    // The chain pass's first stages end near the last packet's end: the sums
    // must hold every packet sample, or the level pass of its own takes over.
    {"whole chain fast clock no idle at the end",
     [](OrvImpairments* m, OrvSequenceParams*) {
         whole_chain(m);
         m->clock_ppm = 1000;
     },
     0.0},
    {"whole chain slow clock no idle at the end",
     [](OrvImpairments* m, OrvSequenceParams*) {
         whole_chain(m);
         m->clock_ppm = -1000;
     },
     0.0},
    // The DC offset's peak keeps its own level pass (the power with it).
    {"whole chain with dc offset",
     [](OrvImpairments* m, OrvSequenceParams* p) {
         whole_chain(m);
         p->dc_offset_re = 3;
         p->dc_offset_im = -1;
     },
     10e-6},
    // The stages after the SNR's noise run over the kept samples too.
    {"snr noise sine and if",
     [](OrvImpairments* m, OrvSequenceParams* p) {
         m->snr_enable = 1, m->snr_db = 30;
         m->iq_gain_db = 0.2;
         p->noise_enable = 1, p->noise_level = -45;
         p->sine_enable = 1, p->sine_freq = 1.25e6, p->sine_level = -20;
         p->if_enable = 1, p->if_freq = 5e6;
     },
     10e-6},
    // Many blocks (2 ms of idle time at the end): the noise pass shares the
    // kept blocks between two threads where every later stage is a function of
    // the sample's index, and runs in order where the absolute noise is on.
    {"snr sine and if over many blocks",
     [](OrvImpairments* m, OrvSequenceParams* p) {
         m->snr_enable = 1, m->snr_db = 20;
         p->sine_enable = 1, p->sine_freq = -2.5e6, p->sine_level = -25;
         p->if_enable = 1, p->if_freq = 3e6;
     },
     2e-3},
    {"whole chain over many blocks", [](OrvImpairments* m, OrvSequenceParams*) { whole_chain(m); }, 2e-3},
    {"snr and absolute noise over many blocks",
     [](OrvImpairments* m, OrvSequenceParams* p) {
         m->snr_enable = 1, m->snr_db = 20;
         p->noise_enable = 1, p->noise_level = -40;
     },
     2e-3},
    // About twenty blocks (8 ms of idle time): the writing pass's ring of six
    // packed blocks goes round three times, blocks packed by either thread.
    {"snr over twenty blocks", [](OrvImpairments* m, OrvSequenceParams*) { m->snr_enable = 1, m->snr_db = 15; }, 8e-3},
    // The SNR alone takes its samples straight from the PPDUs (I and Q
    // exchanged as the settings say) where the samples are kept.
    {"snr alone iq exchanged no idle at the end",
     [](OrvImpairments* m, OrvSequenceParams* p) {
         m->snr_enable = 1, m->snr_db = 9;
         p->iq_inverse = 1;
     },
     0.0},
    {"filter and snr",
     [](OrvImpairments* m, OrvSequenceParams* p) {
         m->snr_enable = 1, m->snr_db = 15;
         m->pa_enable = 1, m->pa_smoothness = 1, m->pa_backoff_db = 4;
         p->filter_cutoff = 9e6, p->filter_rolloff = 0.3, p->filter_taps = 41;
     },
     10e-6},
};

const RunWay kWays[] = {
    {"not_kept_two_builders", 0, true, 2},
    {"kept_one_builder", int64_t{64} << 20, true, 1},
    {"kept_no_threads", int64_t{64} << 20, false, 1},
    {"not_kept_no_threads", 0, false, 1},
    {"kept_array_two_builders", int64_t{64} << 20, true, 2, kKeptArray},
    {"kept_array_no_threads", int64_t{64} << 20, false, 1, kKeptArray},
    {"kept_file_two_builders", int64_t{64} << 20, true, 2, kKeptMemoryFile},
    {"kept_file_no_threads", int64_t{64} << 20, false, 1, kKeptMemoryFile},
};

std::vector<PassCase> pass_cases() {
    std::vector<PassCase> cases;
    for (const ChainCase& c : kChains)
        for (const RunWay& w : kWays) cases.push_back({c, w});
    return cases;
}

class ImpairedPasses : public ::testing::TestWithParam<PassCase> {};

TEST_P(ImpairedPasses, SameFileAsKeptWithTwoBuilders) {
    const PassCase& c = GetParam();
    const orv_test::TempDir dir;
    const Written want = write(c.chain, kKeptTwoBuilders, dir.file("kept.awv"));
    const Written got = write(c.chain, c.way, dir.file("other.awv"));
    ASSERT_EQ(want.rc, 0);
    ASSERT_EQ(got.rc, 0);
    EXPECT_GT(want.total, 0);
    EXPECT_EQ(got.total, want.total);
    EXPECT_EQ(got.crest_i, want.crest_i);
    EXPECT_EQ(got.crest_q, want.crest_q);
    EXPECT_EQ(got.papr, want.papr);
    EXPECT_GT(want.bytes.size(), 8 * static_cast<size_t>(want.total));
    EXPECT_TRUE(got.bytes == want.bytes) << "the file differs";
}

INSTANTIATE_TEST_SUITE_P(Cases, ImpairedPasses, ::testing::ValuesIn(pass_cases()), orv_test::PrintedName{});

// A file whose every write fails is reported whichever way the samples go
// (packed in place by two threads or one, or through the chain again).
TEST(ImpairedKeptPass, WriteFailureReported) {
    struct stat st;
    if (::stat("/dev/full", &st) != 0) GTEST_SKIP() << "no /dev/full";
    const ChainCase many{"snr over many blocks", [](OrvImpairments* m, OrvSequenceParams*) { m->snr_enable = 1, m->snr_db = 12; },
                         2e-3};
    for (const RunWay& way : {kKeptTwoBuilders, kWays[0], kWays[2], kWays[3], kWays[4], kWays[6], kWays[7]})
        EXPECT_EQ(write(many, way, "/dev/full").rc, ORV_WRITE_FAILED) << way.name;
}

// The kept blocks go into a regular file at their offsets; a FIFO takes no
// positional writes, so there they go through the stream: the same bytes,
// packed by two threads or by the calling thread alone.
TEST(ImpairedKeptPass, FifoGetsTheBytesOfTheFile) {
    const ChainCase many{"whole chain over many blocks", [](OrvImpairments* m, OrvSequenceParams*) { whole_chain(m); },
                         2e-3};
    for (const RunWay& way : {kKeptTwoBuilders, kWays[2], kWays[4], kWays[6], kWays[7]}) {
        const orv_test::TempDir dir;
        const Written want = write(many, way, dir.file("file.awv"));
        ASSERT_EQ(want.rc, 0) << way.name;
        const std::string fifo = dir.file("pipe.awv");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        std::string got;
        std::thread reader([&] {
            std::ifstream in(fifo, std::ios::binary);
            got.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        });
        const Written piped = write(many, way, fifo, false);
        // A reader still waiting for a writer (the call failed before opening) gets an empty stream.
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
        reader.join();
        EXPECT_EQ(piped.rc, 0) << way.name;
        got = std::regex_replace(got, std::regex("\\{DATE:[^}]*\\}"), "{DATE:}", std::regex_constants::format_first_only);
        EXPECT_EQ(got.size(), want.bytes.size()) << way.name;
        EXPECT_TRUE(got == want.bytes) << way.name << ": the FIFO's bytes differ";
    }
}

// A file size limit below the file's size is a failed write (4) and no file,
// whichever way the samples are kept: the memory file, which counts against
// that limit too, is not made where its samples would pass it (so it neither
// fails for want of memory, 1, nor raises SIGXFSZ); a limit just under the
// file, above its samples' bytes, fails the last positional write. Under a
// limit above the file all is written.
TEST(ImpairedKeptPass, FileSizeLimitIsWriteFailure) {
    const ChainCase many{"snr over many blocks", [](OrvImpairments* m, OrvSequenceParams*) { m->snr_enable = 1, m->snr_db = 12; },
                         2e-3};
    const orv_test::TempDir whole_dir;
    const Written whole = write(many, kKeptTwoBuilders, whole_dir.file("whole.awv"));
    ASSERT_EQ(whole.rc, 0);
    const rlim_t size = static_cast<rlim_t>(std::filesystem::file_size(whole_dir.file("whole.awv")));
    ASSERT_GT(size - 16, 8 * static_cast<rlim_t>(whole.total)) << "the header is shorter than 16 bytes";
    struct Limit {
        rlim_t bytes;
        int want;
    };
    for (const RunWay& way : {kKeptTwoBuilders, kWays[4], kWays[0], kWays[6]}) {
        for (const Limit& limit : {Limit{size / 3, ORV_WRITE_FAILED}, Limit{size - 16, ORV_WRITE_FAILED}, Limit{size, 0}}) {
            const orv_test::TempDir dir;
            const std::string path = dir.file("limited.awv");
            std::fflush(nullptr);
            const pid_t pid = fork();
            if (pid == 0) {
                signal(SIGXFSZ, SIG_IGN);
                struct rlimit lim = {limit.bytes, limit.bytes};
                setrlimit(RLIMIT_FSIZE, &lim);
                _exit(write(many, way, path, false).rc);
            }
            int status = 0;
            waitpid(pid, &status, 0);
            ASSERT_TRUE(WIFEXITED(status)) << way.name << ": killed by signal " << WTERMSIG(status);
            EXPECT_EQ(WEXITSTATUS(status), limit.want) << way.name << " under " << limit.bytes << " of " << size << " bytes";
            EXPECT_EQ(std::filesystem::exists(path), limit.want == 0) << way.name;
        }
    }
}

// The SNR's noise comes after the kept samples: another seed changes the file,
// the same seed twice does not (the kept pass adds its draws every time).
TEST(ImpairedKeptPass, NoiseFollowsTheSeed) {
    const ChainCase snr{"snr", [](OrvImpairments* m, OrvSequenceParams*) { m->snr_enable = 1, m->snr_db = 12; },
                        10e-6};
    const ChainCase other{"snr other seed",
                          [](OrvImpairments* m, OrvSequenceParams*) {
                              m->snr_enable = 1, m->snr_db = 12;
                              m->seed = 12;
                          },
                          10e-6};
    const orv_test::TempDir dir;
    const Written a = write(snr, kKeptTwoBuilders, dir.file("a.awv"));
    const Written again = write(snr, kKeptTwoBuilders, dir.file("again.awv"));
    const Written b = write(other, kKeptTwoBuilders, dir.file("b.awv"));
    ASSERT_EQ(a.rc, 0);
    ASSERT_EQ(b.rc, 0);
    EXPECT_TRUE(a.bytes == again.bytes);
    EXPECT_FALSE(a.bytes == b.bytes);
}

// The block entry: the first stages made ahead on a helper thread or on the
// calling thread give the same samples, and a consumer that stops early gets
// ORV_STOPPED (the helper thread, maybe waiting for a PPDU, is let go).
struct Taken {
    std::vector<double> i, q;
    int32_t stop_after = -1;  // blocks to take before stopping (-1: all)
};

int32_t ORV_CALL take_block(void* context, int64_t, int32_t count, const double* i, const double* q) {
    auto* t = static_cast<Taken*>(context);
    if (t->stop_after == 0) return 1;
    if (t->stop_after > 0) --t->stop_after;
    t->i.insert(t->i.end(), i, i + count);
    t->q.insert(t->q.end(), q, q + count);
    return 0;
}

struct BlockWay {
    const char* name;
    bool threads;
    int32_t stop_after;
};

void PrintTo(const BlockWay& w, std::ostream* os) { *os << w.name; }

class ImpairedBlocks : public ::testing::TestWithParam<BlockWay> {};

TEST_P(ImpairedBlocks, SameSamplesAsWithTheHelperThreads) {
    const BlockWay& way = GetParam();
    std::vector<uint8_t> psdu(500);
    for (size_t k = 0; k < psdu.size(); ++k) psdu[k] = static_cast<uint8_t>(k * 7 + 3);
    std::vector<OrvPacket> packets(6);
    for (size_t k = 0; k < packets.size(); ++k) {
        packets[k] = OrvPacket{};
        packets[k].size = sizeof(OrvPacket);
        packets[k].rate_index = static_cast<int32_t>(k % 8);
        packets[k].scrambler_init = static_cast<int32_t>(3 + k);
        packets[k].psdu_length = 500;
        packets[k].psdu = psdu.data();
        packets[k].idle_time = 5e-6;
    }
    OrvSequenceParams p{};
    p.size = sizeof p;
    p.oversampling = 4;
    p.channel_mhz = 20;
    OrvImpairments m{};
    m.size = sizeof m;
    m.seed = 5;
    whole_chain(&m);
    const auto run = [&](const GenerateOptions& o, Taken* t) {
        OrvSequenceParams q = p;
        return orv_11a_sequence_impaired_blocks_with(&q, &m, packets.data(), 6, take_block, t, nullptr, o);
    };
    Taken want;
    ASSERT_EQ(run(GenerateOptions{}, &want), 0);
    GenerateOptions o;
    o.threads = way.threads;
    Taken got;
    got.stop_after = way.stop_after;
    ASSERT_EQ(run(o, &got), way.stop_after >= 0 ? ORV_STOPPED : ORV_OK);
    ASSERT_GT(want.i.size(), 4u * 16384u);  // more blocks than the helper thread makes ahead
    if (way.stop_after < 0) {
        EXPECT_EQ(got.i.size(), want.i.size());
    }
    ASSERT_LE(got.i.size(), want.i.size());
    EXPECT_TRUE(std::equal(got.i.begin(), got.i.end(), want.i.begin()));
    EXPECT_TRUE(std::equal(got.q.begin(), got.q.end(), want.q.begin()));
}

INSTANTIATE_TEST_SUITE_P(Ways, ImpairedBlocks,
                         ::testing::Values(BlockWay{"on the calling thread", false, -1},
                                           BlockWay{"with threads again", true, -1},
                                           BlockWay{"stopped after one block", true, 1},
                                           BlockWay{"stopped at once", true, 0},
                                           BlockWay{"stopped after two blocks alone", false, 2}),
                         orv_test::PrintedName{});

// The clipping level is the packets' RMS (their samples alone, before the
// amplifier) times 10^(papr/20): the impaired sequence's peak envelope is that
// level, found from the unimpaired sequence by the test's own sums. With and
// without the transmit filter (the RMS then comes from the filtered samples).
struct ClipCase {
    const char* name;
    int32_t os;
    bool filter;
    int32_t iq_inverse;
    double papr_db;
};

void PrintTo(const ClipCase& c, std::ostream* os) { *os << c.name; }

class ImpairedClipLevel : public ::testing::TestWithParam<ClipCase> {};

int32_t ORV_CALL collect(void* context, int64_t, int32_t count, const double* i, const double* q) {
    auto* s = static_cast<std::vector<double>*>(context);
    for (int32_t k = 0; k < count; ++k) s->push_back(std::hypot(i[k], q[k]));
    return 0;
}

TEST_P(ImpairedClipLevel, PeakIsThePacketsRmsTimesThePapr) {
    const ClipCase& c = GetParam();
    std::vector<uint8_t> psdu(200);
    for (size_t k = 0; k < psdu.size(); ++k) psdu[k] = static_cast<uint8_t>(k * 13 + 7);
    const int32_t rates[] = {0, 7, 3};
    std::vector<OrvPacket> packets;
    for (int32_t k = 0; k < 3; ++k) {
        OrvPacket p{};
        p.size = sizeof p;
        p.rate_index = rates[k];
        p.scrambler_init = 45 + k;
        p.psdu_length = 200;
        p.psdu = psdu.data();
        p.idle_time = 40e-6;  // as long as a packet: the RMS with idle time would be far lower
        packets.push_back(p);
    }
    OrvSequenceParams p{};
    p.size = sizeof p;
    p.oversampling = c.os;
    p.channel_mhz = 20;
    p.iq_inverse = c.iq_inverse;
    if (c.filter) p.filter_cutoff = 8e6, p.filter_rolloff = 0.3, p.filter_taps = 31;
    std::vector<double> plain, clipped;
    std::vector<int64_t> starts(3);
    OrvSequenceParams q = p;
    ASSERT_EQ(orv_11a_sequence_blocks(&q, packets.data(), 3, collect, &plain, starts.data()), 0);
    OrvImpairments m{};
    m.size = sizeof m;
    m.clip_enable = 1;
    m.clip_papr_db = c.papr_db;
    q = p;
    ASSERT_EQ(orv_11a_sequence_impaired_blocks(&q, &m, packets.data(), 3, collect, &clipped, nullptr), 0);
    ASSERT_EQ(clipped.size(), plain.size());
    // Each packet from its short training field to its last DATA symbol (no window_tr ramps).
    const int32_t n_dbps[] = {24, 36, 48, 72, 96, 144, 192, 216};
    double power = 0.0;
    int64_t count = 0;
    for (int32_t k = 0; k < 3; ++k) {
        const int32_t n_sym = (16 + 8 * 200 + 6 + n_dbps[rates[k]] - 1) / n_dbps[rates[k]];
        const int64_t length = (400 + 80 * static_cast<int64_t>(n_sym)) * c.os;
        for (int64_t n = starts[static_cast<size_t>(k)]; n < starts[static_cast<size_t>(k)] + length; ++n) {
            power += plain[static_cast<size_t>(n)] * plain[static_cast<size_t>(n)];
            ++count;
        }
    }
    const double level = std::sqrt(power / static_cast<double>(count)) * std::pow(10.0, c.papr_db / 20.0);
    double peak = 0.0;
    for (double a : clipped) peak = std::max(peak, a);
    // The filter's tails, outside the packets' spans here, move the RMS by far less than this.
    EXPECT_NEAR(peak / level, 1.0, 2e-3);
}

INSTANTIATE_TEST_SUITE_P(Cases, ImpairedClipLevel,
                         ::testing::Values(ClipCase{"os 1 unfiltered 3 dB", 1, false, 0, 3.0},
                                           ClipCase{"os 4 unfiltered iq inverse 6 dB", 4, false, 1, 6.0},
                                           ClipCase{"os 4 filtered 4 dB", 4, true, 0, 4.0},
                                           ClipCase{"os 2 filtered iq inverse 5 dB", 2, true, 1, 5.0}),
                         orv_test::PrintedName{});

}  // namespace
