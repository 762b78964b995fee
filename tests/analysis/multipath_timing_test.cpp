// The receiver's timing on multipath channels: a late path stronger than the first must
// neither lose the packet nor move its reported start, and the FFT windows must stay in
// every path's guard interval. Synthetic tapped channels on the receiver's stages, and
// orvgen's frame files (tapped delay lines and exponential channels) through orvcheck.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <fstream>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/orvcheck_run.h"
#include "cli/orvgen_run.h"
#include "reference_tx.h"
#include "rx.h"
#include "support/files.h"

namespace {

namespace rx = orv::analysis::rx;
using C = std::complex<double>;
using nlohmann::json;
using orv_test::TempDir;

// One path of a tapped channel at 20 MS/s.
struct Tap {
    int delay;  // samples
    double gain_db;
    double phase_deg;
};

std::vector<C> through(const std::vector<C>& x, const std::vector<Tap>& taps) {
    int longest = 0;
    for (const Tap& t : taps) longest = std::max(longest, t.delay);
    std::vector<C> y(x.size() + static_cast<size_t>(longest), C(0, 0));
    for (const Tap& t : taps) {
        const C g = std::polar(std::pow(10.0, t.gain_db / 20.0), t.phase_deg * 3.141592653589793 / 180.0);
        for (size_t n = 0; n < x.size(); ++n) y[n + static_cast<size_t>(t.delay)] += g * x[n];
    }
    return y;
}

void add_noise(std::vector<C>& x, double sigma, unsigned seed) {
    std::mt19937 g(seed);
    std::normal_distribution<double> n(0.0, sigma / std::sqrt(2.0));
    for (C& v : x) v += C(n(g), n(g));
}

struct PathsCase {
    std::string name;
    std::vector<Tap> taps;  // the first at delay 0, within 10 dB of the strongest
};
void PrintTo(const PathsCase& c, std::ostream* os) { *os << c.name; }

class SyncOnPaths : public ::testing::TestWithParam<PathsCase> {};

// The start is the first path's; the FFT windows (kBackoff ahead of t1) start inside the
// guard interval of every path; a single path keeps its timing on it.
TEST_P(SyncOnPaths, StartOnTheFirstPathAndWindowsInsideEveryGuardInterval) {
    const PathsCase& c = GetParam();
    constexpr int64_t kLead = 300;
    const std::vector<uint8_t> psdu = reftx::mac_frame(3, reftx::body(100, 9));
    std::vector<C> x(kLead, C(0, 0));
    const std::vector<C> f = reftx::frame(24, reftx::bits_of_bytes(psdu), static_cast<int>(psdu.size()), 1);
    x.insert(x.end(), f.begin(), f.end());
    x.resize(x.size() + 400, C(0, 0));
    x = through(x, c.taps);
    add_noise(x, 0.01 * std::sqrt(52.0) / 64.0, 17);  // about 40 dB below the frame
    const auto d = rx::detect_next(x, 0);
    ASSERT_TRUE(d);
    const rx::Sync s = rx::synchronise(x, *d);
    ASSERT_GE(s.metric, rx::kSyncThreshold);
    const int64_t ltf = kLead + 192;
    EXPECT_EQ(s.first_path, ltf);
    int last = 0;
    for (const Tap& t : c.taps) last = std::max(last, t.delay);
    const int64_t window = s.t1 - rx::kBackoff - ltf;  // relative to the first path's symbols
    EXPECT_LE(window, 0) << "t1 " << s.t1;
    EXPECT_GE(window, last - 16) << "t1 " << s.t1;
    if (c.taps.size() == 1) {
        EXPECT_EQ(s.t1, ltf);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Channels, SyncOnPaths,
    ::testing::Values(PathsCase{"SinglePath", {{0, 0, 0}}},
                      PathsCase{"SinglePathTurned", {{0, -3, 130}}},
                      PathsCase{"EchoHalfAt2", {{0, 0, 0}, {2, -6, 90}}},
                      PathsCase{"RisingTaps_0_2_4_8", {{0, -9, 0}, {2, -6, 40}, {4, -3, 200}, {8, 0, 90}}},
                      PathsCase{"RisingTaps_0_3_6_9", {{0, -9, 0}, {3, -6, 0}, {6, -3, 120}, {9, 0, 300}}},
                      PathsCase{"StrongPathAt10", {{0, -6, 0}, {10, 0, 45}}},
                      PathsCase{"StrongPathAt12", {{0, -8, 0}, {12, 0, 180}}},
                      PathsCase{"EqualPathsAt0And7", {{0, 0, 0}, {7, 0, 250}}},
                      PathsCase{"EchoAt14", {{0, 0, 0}, {14, -3, 60}}},
                      PathsCase{"LateStrongerAt12", {{0, -4, 0}, {5, -6, 20}, {12, 0, 160}}}),
    [](const ::testing::TestParamInfo<PathsCase>& i) { return i.param.name; });

// Low SNR behind paths of equal power: the strongest holds a quarter of the power, and the
// paths together with the long symbols' repetition still mark the preamble (as the strongest
// path alone would at this SNR on a single path).
struct LowSnrCase {
    std::string name;
    std::vector<Tap> taps;
    double snr_db;  // frame power over the noise's
};
void PrintTo(const LowSnrCase& c, std::ostream* os) { *os << c.name; }

class SyncAtLowSnr : public ::testing::TestWithParam<LowSnrCase> {};

TEST_P(SyncAtLowSnr, PreambleAcceptedWithEveryNoise) {
    const LowSnrCase& c = GetParam();
    const std::vector<uint8_t> psdu = reftx::mac_frame(4, reftx::body(60, 2));
    const std::vector<C> f = reftx::frame(6, reftx::bits_of_bytes(psdu), static_cast<int>(psdu.size()), 1);
    std::vector<C> clean(300, C(0, 0));
    clean.insert(clean.end(), f.begin(), f.end());
    clean.resize(clean.size() + 400, C(0, 0));
    clean = through(clean, c.taps);
    double p = 0;
    for (size_t n = 300; n < 300 + f.size(); ++n) p += std::norm(clean[n]);
    const double sigma = std::sqrt(p / static_cast<double>(f.size()) / std::pow(10.0, c.snr_db / 10.0));
    for (unsigned seed = 1; seed <= 5; ++seed) {
        std::vector<C> x = clean;
        add_noise(x, sigma, seed);
        const rx::Sync s = rx::synchronise(x, rx::Detection{300, 0.6});
        EXPECT_GE(s.metric, rx::kSyncThreshold) << "seed " << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Channels, SyncAtLowSnr,
    ::testing::Values(LowSnrCase{"SinglePath_1dB", {{0, 0, 0}}, 1.0},
                      LowSnrCase{"FourEqualPaths_3dB", {{0, -6, 0}, {3, -6, 100}, {6, -6, 200}, {9, -6, 300}}, 3.0},
                      LowSnrCase{"FourEqualPaths_1dB", {{0, -6, 0}, {3, -6, 100}, {6, -6, 200}, {9, -6, 300}}, 1.0},
                      LowSnrCase{"ThreeEqualPaths_1dB", {{0, -5, 0}, {4, -5, 50}, {7, -5, 250}}, 1.0}),
    [](const ::testing::TestParamInfo<LowSnrCase>& i) { return i.param.name; });

// The channel estimate below 30 dB SNR (neighbours averaged) of a path some samples after the
// FFT timing, as the paths after the first lie behind several: its turn from one subcarrier to
// the next must not shrink the average.
struct DelayedPathCase {
    std::string name;
    int delay;  // samples after t1
    double phase_deg;
};
void PrintTo(const DelayedPathCase& c, std::ostream* os) { *os << c.name; }

class EstimateBehindTheTiming : public ::testing::TestWithParam<DelayedPathCase> {};

TEST_P(EstimateBehindTheTiming, SmoothedEstimateFollowsTheDelay) {
    const DelayedPathCase& c = GetParam();
    constexpr int64_t kLead = 300;
    const std::vector<uint8_t> psdu = reftx::mac_frame(5, reftx::body(60, 4));
    std::vector<C> x(kLead, C(0, 0));
    const std::vector<C> f = reftx::frame(12, reftx::bits_of_bytes(psdu), static_cast<int>(psdu.size()), 1);
    x.insert(x.end(), f.begin(), f.end());
    x.resize(x.size() + 200, C(0, 0));
    x = through(x, {{c.delay, 0.0, c.phase_deg}});
    add_noise(x, 0.1 * std::sqrt(52.0) / 64.0, 23);  // 20 dB below the frame
    rx::Sync s;
    s.t1 = kLead + 192;
    s.first_path = s.t1;
    orv::analysis::ForwardFft fft(64);
    const rx::Channel ch = rx::estimate_channel(x, s, fft);
    double err = 0, ref = 0;
    for (int k = -26; k <= 26; ++k) {
        if (!k) continue;
        const C want = std::polar(1.0, (c.phase_deg / 180.0 - 2.0 * k * c.delay / 64.0) * 3.141592653589793);
        err += std::norm(ch.h[static_cast<size_t>(k + 26)] - want);
        ref += 1.0;
    }
    EXPECT_LT(10.0 * std::log10(err / ref), -20.0);
}

INSTANTIATE_TEST_SUITE_P(Delays, EstimateBehindTheTiming,
                         ::testing::Values(DelayedPathCase{"OnTheTiming", 0, 0}, DelayedPathCase{"After4", 4, 70},
                                           DelayedPathCase{"After8", 8, 200}, DelayedPathCase{"After12", 12, 310}),
                         [](const ::testing::TestParamInfo<DelayedPathCase>& i) { return i.param.name; });

// White noise alone: however many paths the timing adds up, no preamble (the paths of the
// strongest lag's neighbourhood alone pass the threshold in some of these windows; the two
// long symbols' repetition does not).
TEST(SyncOnNoise, NoPreambleAnywhere) {
    for (unsigned seed = 1; seed <= 200; ++seed) {
        std::vector<C> x(1200, C(0, 0));
        add_noise(x, 1.0, seed);
        const rx::Sync s = rx::synchronise(x, rx::Detection{100, 0.6});
        EXPECT_LT(s.metric, rx::kSyncThreshold) << "seed " << seed;
    }
}

// Periodic signals that are no preamble, though they repeat from one long symbol to the next.
struct PeriodicCase {
    std::string name;
    int subcarrier;  // a tone there, or 0: the short training field over and over
};
void PrintTo(const PeriodicCase& c, std::ostream* os) { *os << c.name; }

class SyncOnPeriodic : public ::testing::TestWithParam<PeriodicCase> {};

TEST_P(SyncOnPeriodic, NoPreamble) {
    const PeriodicCase& c = GetParam();
    std::vector<C> S(53);
    for (int k = -26; k <= 26; ++k) S[static_cast<size_t>(k + 26)] = reftx::short_seq(k);
    const std::vector<C> stf = reftx::idft(S, 1);
    std::vector<C> x(2000);
    for (size_t n = 0; n < x.size(); ++n)
        x[n] = c.subcarrier ? std::polar(1.0, 2.0 * 3.141592653589793 * c.subcarrier * static_cast<double>(n) / 64.0)
                            : stf[n % 64];
    EXPECT_LT(rx::synchronise(x, rx::Detection{100, 0.6}).metric, rx::kSyncThreshold);
}

INSTANTIATE_TEST_SUITE_P(Signals, SyncOnPeriodic,
                         ::testing::Values(PeriodicCase{"ShortTrainingField", 0}, PeriodicCase{"Tone_1", 1},
                                           PeriodicCase{"Tone_minus_13", -13}, PeriodicCase{"Tone_26", 26}),
                         [](const ::testing::TestParamInfo<PeriodicCase>& i) { return i.param.name; });

// orvgen frame files through a multipath channel, read back by orvcheck.
struct FileCase {
    std::string name;
    int rate;                        // Mbit/s
    std::vector<Tap> taps;           // a tapped delay line (delays in samples), or none:
    int rms_ns;                      // an exponential channel, a new realisation per packet
    int packets;
};
void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

// The RMS delay spread of a tapped delay line, ns.
double rms_spread_ns(const std::vector<Tap>& taps) {
    double p0 = 0, p1 = 0, p2 = 0;
    for (const Tap& t : taps) {
        const double p = std::pow(10.0, t.gain_db / 10.0), tau = 50.0 * t.delay;
        p0 += p, p1 += p * tau, p2 += p * tau * tau;
    }
    return std::sqrt(p2 / p0 - (p1 / p0) * (p1 / p0));
}

// The delay spread's tap fit reaches 13 samples (650 ns) past the first path.
constexpr int kSpreadSpan = 13;

class MultipathFiles : public ::testing::TestWithParam<FileCase> {};

// At 35 dB SNR every packet is found once, where it was placed (within 2 samples), and
// decodes with a good FCS; on a fixed channel within the delay spread's span, the delay
// spread is the channel's.
TEST_P(MultipathFiles, EveryPacketFoundAtItsStartWithGoodFcs) {
    const FileCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.file("multipath.awv");
    std::vector<std::string> args{"-o", path, "--rate", std::to_string(c.rate), "--payload-bytes", "300",
                                  "--packets", std::to_string(c.packets), "--idle", "20", "--oversample", "1",
                                  "--snr", "35", "--impairment-seed", "5", "--json"};
    if (c.taps.empty()) {
        args.insert(args.end(), {"--multipath-rms", std::to_string(c.rms_ns), "--multipath-per-packet"});
    } else {
        const std::string taps = dir.file("taps.txt");
        std::ofstream out(taps);
        for (const Tap& t : c.taps) out << 50 * t.delay << ' ' << t.gain_db << ' ' << t.phase_deg << '\n';
        out.close();
        args.insert(args.end(), {"--multipath-taps", taps});
    }
    const orv_test::CliRun gen = orv_test::orvgen(args);
    ASSERT_EQ(gen.status, 0) << gen.err;
    const auto starts = json::parse(gen.out).at("packet_starts").get<std::vector<int64_t>>();
    ASSERT_EQ(starts.size(), static_cast<size_t>(c.packets));

    const orv_test::CheckRun r = orv_test::orvcheck({"--json", "--expect", std::to_string(c.packets), path});
    ASSERT_FALSE(r.out.empty()) << r.err;
    const json report = json::parse(r.out);
    const json& packets = report.at("packets");
    ASSERT_EQ(packets.size(), starts.size());
    for (size_t i = 0; i < starts.size(); ++i) {
        SCOPED_TRACE("packet " + std::to_string(i));
        const json& p = packets[i];
        EXPECT_NEAR(static_cast<double>(p.at("start").get<int64_t>()), static_cast<double>(starts[i]), 2.0);
        EXPECT_EQ(p.at("rate_mbps").get<int>(), c.rate);
        EXPECT_TRUE(p.at("fcs_ok").is_boolean() && p.at("fcs_ok").get<bool>()) << p.at("problem").dump();
        if (!c.taps.empty() && c.taps.back().delay <= kSpreadSpan) {
            EXPECT_NEAR(p.at("delay_spread_ns").get<double>(), rms_spread_ns(c.taps), 8.0);
        }
    }
    EXPECT_EQ(report.at("summary").at("missing").get<int>(), 0);
}

// Each channel at 6, 24 and 54 Mbit/s.
std::vector<FileCase> file_cases() {
    const std::vector<std::pair<std::string, std::vector<Tap>>> fixed{
        {"Taps_0_100_200_400ns_Rising", {{0, -9, 0}, {2, -6, 40}, {4, -3, 200}, {8, 0, 90}}},
        {"Taps_0_150_300_450ns_Rising", {{0, -12, 0}, {3, -8, 0}, {6, -4, 120}, {9, 0, 300}}},
        {"Taps_0_500ns_LateStronger", {{0, -5, 0}, {10, 0, 70}}},
        {"Taps_0_700ns_LongEcho", {{0, 0, 0}, {14, -3, 60}}},
    };
    std::vector<FileCase> out;
    for (int rate : {6, 24, 54}) {
        for (const auto& [name, taps] : fixed) out.push_back({name + "_" + std::to_string(rate) + "M", rate, taps, 0, 4});
        out.push_back({"Exponential150ns_" + std::to_string(rate) + "M", rate, {}, 150, 30});
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Channels, MultipathFiles, ::testing::ValuesIn(file_cases()),
                         [](const ::testing::TestParamInfo<FileCase>& i) { return i.param.name; });

}  // namespace
