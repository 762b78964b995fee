// The packet receiver's tone canceller: a continuous tone is found to within a few
// hertz and subtracted; no tone, a tone over part of the file, a weak tone and a
// short file are left as they are. Then orvgen's sine interferer above the packets
// (its level is absolute, the packets' falls with the oversampling) through orvcheck.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/orvcheck_run.h"
#include "orvgen.h"
#include "rx.h"
#include "support/files.h"

namespace {

using orv::analysis::cd;
namespace rx = orv::analysis::rx;

struct ToneCase {
    const char* name;
    int64_t samples;       // at 20 MS/s
    double tone_power;     // 0: none
    double tone_hz;
    double tone_from;      // fraction of the file where the tone begins
    bool removed;
};
void PrintTo(const ToneCase& c, std::ostream* os) { *os << c.name; }

// Bursts of complex Gaussian noise (power 2e-4, 1600 samples on, 400 off) plus the tone.
std::vector<cd> signal_of(const ToneCase& c) {
    std::mt19937 gen(7);
    std::normal_distribution<double> g(0.0, std::sqrt(1e-4));
    std::vector<cd> y(static_cast<size_t>(c.samples));
    const double amp = std::sqrt(c.tone_power), w = 2 * std::numbers::pi * c.tone_hz / 20e6;
    for (int64_t k = 0; k < c.samples; ++k) {
        if (k % 2000 < 1600) y[static_cast<size_t>(k)] = cd(g(gen), g(gen));
        if (k >= static_cast<int64_t>(c.tone_from * static_cast<double>(c.samples)))
            y[static_cast<size_t>(k)] += std::polar(amp, w * static_cast<double>(k) + 0.3);
    }
    return y;
}

class ToneCanceller : public ::testing::TestWithParam<ToneCase> {};

TEST_P(ToneCanceller, RemovesOnlyAContinuousStrongTone) {
    const ToneCase& c = GetParam();
    const std::vector<cd> before = signal_of(c);
    std::vector<cd> y = before;
    const std::optional<rx::Tone> tone = rx::remove_tone(y);
    ASSERT_EQ(tone.has_value(), c.removed);
    if (!c.removed) {
        EXPECT_EQ(y, before);
        return;
    }
    EXPECT_NEAR(tone->freq_hz, c.tone_hz, 20.0);
    EXPECT_NEAR(std::norm(tone->amplitude), c.tone_power, 0.05 * c.tone_power);
    // What is left in the silent gaps is 30 dB below the tone at least.
    double left = 0;
    int64_t n = 0;
    for (int64_t k = 0; k < c.samples; ++k)
        if (k % 2000 >= 1600) left += std::norm(y[static_cast<size_t>(k)]), ++n;
    EXPECT_LT(left / static_cast<double>(n), 1e-3 * c.tone_power);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, ToneCanceller,
    ::testing::Values(ToneCase{"tone_7_mhz_7_db_above_the_bursts", 8000, 1e-3, 7e6, 0.0, true},
                      ToneCase{"tone_off_bin_at_minus_3_mhz", 12000, 4e-3, -3.123456e6, 0.0, true},
                      ToneCase{"no_tone", 8000, 0.0, 0.0, 0.0, false},
                      ToneCase{"tone_over_the_second_half_only", 12000, 1e-3, 7e6, 0.5, false},
                      ToneCase{"tone_27_db_below_the_bursts", 8000, 4e-7, 7e6, 0.0, false},
                      ToneCase{"file_too_short_to_tell", 1500, 1e-3, 7e6, 0.0, false}),
    [](const ::testing::TestParamInfo<ToneCase>& i) { return std::string(i.param.name); });

// orvgen's sine interferer at 7 MHz, -30 dB: 7 dB above the packets at oversampling 8,
// 1 dB above at 4; -20 dB at oversampling 1 (20 MS/s, the receiver's windows over the file
// without decimation): 8 dB above. Every packet is found and decoded, and the file passes.
struct SineCase {
    const char* name;
    int os;
    const char* level_db = "-30";
};
void PrintTo(const SineCase& c, std::ostream* os) { *os << c.name; }

class SineInterferer : public ::testing::TestWithParam<SineCase> {};

TEST_P(SineInterferer, EveryPacketDecoded) {
    orv_test::TempDir dir("sine");
    const std::string path = dir.file("s.awv");
    std::vector<std::string> args{"orvgen", "-o", path, "--rate", "12", "--payload-bytes", "100", "--packets", "3",
                                  "--idle", "4", "--oversample", std::to_string(GetParam().os), "--sine", "7",
                                  "--sine-level", GetParam().level_db};
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    ASSERT_EQ(orvgen_main(static_cast<int>(argv.size()), argv.data(), out, err), 0) << err.str();
    const orv_test::CheckRun r = orv_test::orvcheck({path, "--expect", "3", "--json"});
    ASSERT_FALSE(r.out.empty()) << r.err;
    const nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["summary"]["found"], 3);
    EXPECT_EQ(j["summary"]["fcs_ok"], 3);
    // The file's own checks hold even where the first burst's measurements give up.
    EXPECT_EQ(j["file"]["header_ok"], true);
    EXPECT_EQ(j["file"]["clipped_codes"], 0);
    EXPECT_EQ(r.status, 0) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Oversampling, SineInterferer,
                         ::testing::Values(SineCase{"os_4", 4}, SineCase{"os_8", 8}, SineCase{"os_1_level_minus_20", 1, "-20"}),
                         [](const ::testing::TestParamInfo<SineCase>& i) { return std::string(i.param.name); });

}  // namespace
