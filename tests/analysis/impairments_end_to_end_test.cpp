// Impairments end to end: orvgen writes frame files with one impairment each,
// orvcheck decodes them, and every packet's measured figure is the one asked
// for, within the receiver's stated accuracy (IQ gain 0.05 dB, IQ phase 0.5 deg,
// clock 1 ppm on a 1000-octet 54 Mbit/s packet, SNR 0.5 dB from 5 to 35 dB,
// carrier 10 Hz). Both tools are run in process.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/orvcheck_run.h"
#include "orvgen.h"
#include "support/files.h"

namespace {

using nlohmann::json;
using orv_test::TempDir;

// One figure of orvcheck's packet report: want +- tolerance.
struct Expect {
    const char* field;
    double want, tolerance;
};

struct EndToEndCase {
    const char* name;
    int rate;                              // Mbit/s
    std::vector<std::string> impairments;  // orvgen options; "@taps" is the two-tap file
    std::vector<std::string> check;        // orvcheck options besides --json
    std::vector<Expect> expect;
};
void PrintTo(const EndToEndCase& c, std::ostream* os) { *os << c.name; }

// Two taps, 0 dB at 0 ns and -6 dB at 100 ns (two samples at 20 MS/s): powers
// 1 and 10^-0.6, so the RMS delay spread is 100 ns sqrt(p0 p1) / (p0 + p1).
constexpr double kTwoTapSpreadNs = 40.0534;

constexpr int kPackets = 3;

// orvgen in process; its exit status, with its messages on failure.
int orvgen(std::vector<std::string> args, std::string& messages) {
    args.insert(args.begin(), "orvgen");
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    const int status = orvgen_main(static_cast<int>(argv.size()), argv.data(), out, err);
    messages = err.str();
    return status;
}

class ImpairmentEndToEnd : public ::testing::TestWithParam<EndToEndCase> {};

TEST_P(ImpairmentEndToEnd, EveryPacketMeasuresWhatWasAsked) {
    const EndToEndCase& c = GetParam();
    TempDir dir;
    std::ofstream(dir.file("taps.txt")) << "0 0\n100 -6\n";
    const std::string path = dir.file("frames.awv");
    std::vector<std::string> gen{"-o",     path, "--rate", std::to_string(c.rate), "--payload-bytes", "972",
                                 "--packets", std::to_string(kPackets), "--idle", "20", "--oversample", "1"};
    for (const std::string& a : c.impairments) gen.push_back(a == "@taps" ? dir.file("taps.txt") : a);
    std::string messages;
    ASSERT_EQ(orvgen(gen, messages), 0) << messages;

    std::vector<std::string> check{"--json", "--expect", std::to_string(kPackets)};
    check.insert(check.end(), c.check.begin(), c.check.end());
    check.push_back(path);
    const orv_test::CheckRun r = orv_test::orvcheck(check);
    ASSERT_FALSE(r.out.empty()) << r.err;
    const json report = json::parse(r.out);
    const json& packets = report.at("packets");
    ASSERT_EQ(packets.size(), static_cast<size_t>(kPackets)) << report.at("notes").dump();
    for (size_t k = 0; k < packets.size(); ++k) {
        const json& p = packets[k];
        EXPECT_TRUE(p.at("fcs_ok").get<bool>()) << "packet " << k << ": " << p.at("problem").dump();
        for (const Expect& e : c.expect) {
            ASSERT_TRUE(p.at(e.field).is_number()) << "packet " << k << " has no " << e.field;
            EXPECT_NEAR(p.at(e.field).get<double>(), e.want, e.tolerance) << "packet " << k << ", " << e.field;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ImpairmentEndToEnd,
    ::testing::Values(
        EndToEndCase{"IqGainPlus1dB", 54, {"--iq-gain", "1"}, {},
                     {{"iq_gain_db", 1.0, 0.05}, {"iq_phase_deg", 0.0, 0.5}}},
        EndToEndCase{"IqGainMinusHalfdBPhase3deg", 54, {"--iq-gain", "-0.5", "--iq-phase", "3"}, {},
                     {{"iq_gain_db", -0.5, 0.05}, {"iq_phase_deg", 3.0, 0.5}}},
        EndToEndCase{"IqPhaseMinus2degAt30dB", 54, {"--iq-phase", "-2", "--snr", "30"}, {},
                     {{"iq_gain_db", 0.0, 0.05}, {"iq_phase_deg", -2.0, 0.5}}},
        EndToEndCase{"ClockPlus20ppm", 54, {"--clock-ppm", "20"}, {}, {{"clock_ppm", 20.0, 1.0}}},
        EndToEndCase{"ClockMinus40ppmAt30dB", 54, {"--clock-ppm", "-40", "--snr", "30"}, {},
                     {{"clock_ppm", -40.0, 1.0}}},
        // 10 ppm of 5 GHz is 50 kHz up; the sample clock stays.
        EndToEndCase{"CarrierPlus10ppmOf5GHz", 54, {"--cfo-ppm", "10", "--carrier-ghz", "5"}, {"--carrier-ghz", "5"},
                     {{"freq_error_hz", 50e3, 10.0}, {"freq_error_ppm", 10.0, 0.002}, {"clock_ppm", 0.0, 1.0}}},
        // One oscillator 20 ppm slow: the carrier 48 kHz down (48 kHz x (1 - 20e-6) once the slow
        // clock has stretched it) and the clock 20 ppm slow. Without noise: the pilots' residual
        // carrier offset of one packet at 30 dB scatters by about 6 Hz.
        EndToEndCase{"OscillatorMinus20ppmAt2p4GHz", 54, {"--ppm", "-20", "--carrier-ghz", "2.4"},
                     {"--carrier-ghz", "2.4"},
                     {{"freq_error_hz", -48e3, 10.0}, {"freq_error_ppm", -20.0, 0.005}, {"clock_ppm", -20.0, 1.0}}},
        EndToEndCase{"Snr5dBAt6Mbps", 6, {"--snr", "5"}, {}, {{"snr_db", 5.0, 0.5}}},
        EndToEndCase{"Snr15dBAt24Mbps", 24, {"--snr", "15"}, {}, {{"snr_db", 15.0, 0.5}}},
        EndToEndCase{"Snr25dBAt54Mbps", 54, {"--snr", "25"}, {}, {{"snr_db", 25.0, 0.5}}},
        EndToEndCase{"Snr35dBAt54Mbps", 54, {"--snr", "35", "--impairment-seed", "7"}, {}, {{"snr_db", 35.0, 0.5}}},
        // The common phase error is the part of the phase noise a 4 us symbol keeps (of the
        // default shape, mostly its flat part to 100 kHz), about 0.85 of the integrated RMS;
        // the band tells a process left out, doubled or taken in radians.
        EndToEndCase{"PhaseNoise2degRms", 54, {"--phase-noise-rms", "2"}, {}, {{"cpe_rms_deg", 1.7, 0.4}}},
        EndToEndCase{"TwoTapChannel", 54, {"--multipath-taps", "@taps"}, {},
                     {{"delay_spread_ns", kTwoTapSpreadNs, 3.0}}}),
    [](const ::testing::TestParamInfo<EndToEndCase>& p) { return std::string(p.param.name); });

// One realisation of the exponential channel for the whole file: every packet
// sees the same channel (the same delay spread to a few ns), and one of 50 ns
// RMS spreads its power over a few samples, neither one tap nor hundreds of ns.
TEST(ImpairmentEndToEnd, OneMultipathRealisationMeasuresTheSameInEveryPacket) {
    for (const char* seed : {"1", "2", "3"}) {
        SCOPED_TRACE(std::string("seed ") + seed);
        TempDir dir;
        const std::string path = dir.file("channel.awv");
        std::string messages;
        ASSERT_EQ(orvgen({"-o", path, "--rate", "54", "--payload-bytes", "972", "--packets", "3", "--idle", "20",
                          "--oversample", "1", "--multipath-rms", "50", "--impairment-seed", seed},
                         messages),
                  0)
            << messages;
        const orv_test::CheckRun r = orv_test::orvcheck({"--json", path});
        ASSERT_FALSE(r.out.empty()) << r.err;
        const json packets = json::parse(r.out).at("packets");
        ASSERT_EQ(packets.size(), 3u);
        const double first = packets[0].at("delay_spread_ns").get<double>();
        EXPECT_GT(first, 20.0);
        EXPECT_LT(first, 100.0);
        for (const json& p : packets) EXPECT_NEAR(p.at("delay_spread_ns").get<double>(), first, 2.0);
    }
}

}  // namespace
