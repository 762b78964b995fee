// The receiver's impairment measurements: frames from the tests' own transmitter
// (reference_tx.h) pass through the tests' own impairments, written here from
// their definitions (IQ imbalance, phase jitter, carrier offset, a windowed-sinc
// resampler for the sample clock, a tapped channel, white Gaussian noise in the
// order transmitter -> channel -> noise), and each figure the receiver reports is
// checked against what was applied.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis.h"
#include "orvcheck_run.h"
#include "reference_tx.h"
#include "rx.h"
#include "rx_measure.h"
#include "rx_packets.h"
#include "support/records.h"

namespace {

using C = std::complex<double>;
namespace rx = orv::analysis::rx;
constexpr double kPi = std::numbers::pi;
constexpr double kFs = 20e6;
constexpr size_t kLead = 400;  // silence before the frame, samples

// I' = A_I (I cos(phi/2) - Q sin(phi/2)), Q' = A_Q (Q cos(phi/2) - I sin(phi/2)), A_I / A_Q = 10^(g/20).
void iq_imbalance(std::vector<C>& x, double g_db, double phi_deg) {
    const double ai = std::pow(10.0, g_db / 40.0), aq = std::pow(10.0, -g_db / 40.0);
    const double c = std::cos(phi_deg * kPi / 360.0), s = std::sin(phi_deg * kPi / 360.0);
    for (C& v : x) v = C(ai * (v.real() * c - v.imag() * s), aq * (v.imag() * c - v.real() * s));
}

// A phase constant over each 80-sample DATA symbol (from sample first on), phases[i] in radians.
void symbol_phases(std::vector<C>& x, size_t first, const std::vector<double>& phases) {
    for (size_t i = 0; i < phases.size(); ++i)
        for (size_t n = first + 80 * i; n < first + 80 * (i + 1) && n < x.size(); ++n) x[n] *= std::polar(1.0, phases[i]);
}

// The signal shifted up by f_hz.
void carrier_offset(std::vector<C>& x, double f_hz) {
    for (size_t n = 0; n < x.size(); ++n) x[n] *= std::polar(1.0, 2.0 * kPi * f_hz * static_cast<double>(n) / kFs);
}

// A sample clock ppm fast: output n is the band-limited x at position n (1 + ppm 1e-6)
// (Blackman-windowed sinc, 64 samples each side).
std::vector<C> resample(const std::vector<C>& x, double ppm) {
    const int half = 64;
    std::vector<C> y(x.size());
    for (size_t n = 0; n < y.size(); ++n) {
        const double t = static_cast<double>(n) * (1.0 + ppm * 1e-6);
        const long c = static_cast<long>(std::floor(t));
        C acc = 0;
        for (long m = c - half + 1; m <= c + half; ++m) {
            if (m < 0 || m >= static_cast<long>(x.size())) continue;
            const double d = t - static_cast<double>(m);
            const double sinc = std::abs(d) < 1e-12 ? 1.0 : std::sin(kPi * d) / (kPi * d);
            const double u = (d + half) / (2.0 * half);  // 0..1 across the window
            const double w = 0.42 - 0.5 * std::cos(2 * kPi * u) + 0.08 * std::cos(4 * kPi * u);
            acc += x[static_cast<size_t>(m)] * sinc * w;
        }
        y[n] = acc;
    }
    return y;
}

// A direct path and one echo of amplitude a, d samples later.
std::vector<C> two_path(const std::vector<C>& x, double a, size_t d) {
    std::vector<C> y = x;
    for (size_t n = d; n < x.size(); ++n) y[n] += a * x[n - d];
    return y;
}

// Complex white Gaussian noise of power P / 10^(snr/10) over the whole file, P the frame's mean power.
void add_noise(std::vector<C>& x, double frame_power, double snr_db, uint32_t seed) {
    std::mt19937 g(seed);
    std::normal_distribution<double> n(0.0, std::sqrt(frame_power / std::pow(10.0, snr_db / 10.0) / 2.0));
    for (C& v : x) v += C(n(g), n(g));
}

// The RMS of v about its straight-line fit, computed directly.
double detrended_rms(const std::vector<double>& v) {
    const double n = static_cast<double>(v.size());
    double st = 0, sv = 0, stt = 0, stv = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        const double t = static_cast<double>(i);
        st += t, sv += v[i], stt += t * t, stv += t * v[i];
    }
    const double slope = (n * stv - st * sv) / (n * stt - st * st), icpt = (sv - slope * st) / n;
    double ss = 0;
    for (size_t i = 0; i < v.size(); ++i) ss += std::pow(v[i] - icpt - slope * static_cast<double>(i), 2);
    return std::sqrt(ss / n);
}

struct ImpairmentCase {
    const char* name;
    int rate_mbps;
    double iq_gain_db = 0, iq_phase_deg = 0;
    double cpe_jitter_deg = 0;  // standard deviation of a random phase per DATA symbol
    double cfo_hz = 0;
    double clock_ppm = 0;
    double echo = 0;            // second path's amplitude
    size_t echo_samples = 0;    // and delay
    double snr_db = 0;          // 0: no noise
};
// Cases print as their names (not as the bytes of the record).
void PrintTo(const ImpairmentCase& c, std::ostream* os) { *os << c.name; }

// The received packet of one 1000-byte frame through the case's impairments, and the
// per-symbol phases injected (radians).
struct Received {
    std::vector<orv::analysis::PacketResult> packets;
    std::vector<double> phases;
    std::vector<uint8_t> psdu;
};

std::vector<C> impaired_frame(const ImpairmentCase& c, std::vector<double>& phases, std::vector<uint8_t>& psdu) {
    psdu = reftx::mac_frame(7, reftx::body(972, static_cast<uint32_t>(c.rate_mbps)));
    const std::vector<C> f = reftx::frame(c.rate_mbps, reftx::bits_of_bytes(psdu), static_cast<int>(psdu.size()), 1, 0x3A);
    std::vector<C> x(kLead, C(0, 0));
    x.insert(x.end(), f.begin(), f.end());
    x.resize(x.size() + kLead, C(0, 0));
    iq_imbalance(x, c.iq_gain_db, c.iq_phase_deg);
    if (c.cpe_jitter_deg > 0) {
        std::mt19937 g(11);
        std::normal_distribution<double> n(0.0, c.cpe_jitter_deg * kPi / 180.0);
        for (size_t i = 0; i < (f.size() - 400) / 80; ++i) phases.push_back(n(g));
        symbol_phases(x, kLead + 400, phases);
    }
    carrier_offset(x, c.cfo_hz);
    if (c.clock_ppm != 0) x = resample(x, c.clock_ppm);
    if (c.echo != 0) x = two_path(x, c.echo, c.echo_samples);
    if (c.snr_db > 0) {
        double p = 0;
        for (const C& v : f) p += std::norm(v);
        add_noise(x, p / static_cast<double>(f.size()), c.snr_db, 5);
    }
    return x;
}

class ImpairmentMeasures : public ::testing::TestWithParam<ImpairmentCase> {};

TEST_P(ImpairmentMeasures, ReportedAsApplied) {
    const ImpairmentCase& c = GetParam();
    std::vector<double> phases;
    std::vector<uint8_t> psdu;
    const std::vector<C> x = impaired_frame(c, phases, psdu);
    orv::analysis::Options opt;
    const auto packets = orv::analysis::receive_packets(x.data(), static_cast<int64_t>(x.size()), 1, opt, nullptr);
    ASSERT_EQ(packets.size(), 1u);
    const orv::analysis::PacketResult& p = packets[0];
    // Without timing tracking the demodulator loses 64-QAM at 50 ppm (0.15 samples by the end
    // of the frame); the measurements then follow the decisions.
    if (std::abs(c.clock_ppm) < 30) ASSERT_EQ(p.fcs_ok, true) << p.problem;
    ASSERT_TRUE(p.snr_db && p.iq_gain_db && p.iq_phase_deg && p.clock_ppm && p.cpe_rms_deg && p.delay_spread_ns);
    // The required accuracies hold from 30 dB SNR up; below, the noise widens them.
    const double wide = c.snr_db > 0 && c.snr_db < 30 ? 4.0 : 1.0;
    EXPECT_NEAR(*p.iq_gain_db, c.iq_gain_db, 0.05 * wide);
    EXPECT_NEAR(*p.iq_phase_deg, c.iq_phase_deg, 0.5 * wide);
    EXPECT_NEAR(*p.clock_ppm, c.clock_ppm, 1.0 * wide);
    EXPECT_NEAR(p.freq_error_hz, c.cfo_hz, 10.0 * wide);
    // Against decisions (no good FCS) a few wrong ones add to the error.
    if (c.snr_db > 0) EXPECT_NEAR(*p.snr_db, c.snr_db, p.fcs_ok == true ? 0.5 : 1.0);
    else EXPECT_GT(*p.snr_db, 60.0);
    const double cpe = phases.empty() ? 0.0 : detrended_rms(phases) * 180.0 / kPi;
    EXPECT_NEAR(*p.cpe_rms_deg, cpe, phases.empty() ? 0.2 * wide : 0.05 * cpe);
    // Two paths of power 1 and a^2, d samples apart: RMS spread d Ts a / (1 + a^2).
    const double spread = static_cast<double>(c.echo_samples) * 50.0 * std::abs(c.echo) / (1.0 + c.echo * c.echo);
    EXPECT_NEAR(*p.delay_spread_ns, spread, 2.0 * wide);
}

INSTANTIATE_TEST_SUITE_P(
    OneFrame, ImpairmentMeasures,
    ::testing::Values(
        ImpairmentCase{"clean_54M", 54},
        ImpairmentCase{"iq_gain_plus_1dB_phase_minus_3deg_54M", 54, 1.0, -3.0},
        ImpairmentCase{"iq_gain_minus_0_4dB_phase_plus_2deg_54M", 54, -0.4, 2.0},
        ImpairmentCase{"iq_phase_plus_5deg_6M", 6, 0.0, 5.0},
        // The resampled frames carry a 40 dB noise floor: in exact silence the resampler's
        // pre-ringing, periodic like the short training field, starts the detection too early.
        ImpairmentCase{"clock_plus_20ppm_54M", 54, 0, 0, 0, 0, 20.0, 0, 0, 40.0},
        ImpairmentCase{"clock_minus_50ppm_54M", 54, 0, 0, 0, 0, -50.0, 0, 0, 40.0},
        ImpairmentCase{"clock_and_carrier_minus_20ppm_54M", 54, 0, 0, 0, -20e-6 * 5.2e9, -20.0, 0, 0, 40.0},
        ImpairmentCase{"cfo_plus_37kHz_24M", 24, 0, 0, 0, 37e3},
        ImpairmentCase{"cfo_minus_212kHz_24M", 24, 0, 0, 0, -212e3},
        ImpairmentCase{"cpe_jitter_3deg_24M", 24, 0, 0, 3.0},
        ImpairmentCase{"echo_half_at_100ns_24M", 24, 0, 0, 0, 0, 0, 0.5, 2},
        ImpairmentCase{"echo_0_7_at_250ns_12M", 12, 0, 0, 0, 0, 0, -0.7, 5},
        ImpairmentCase{"snr_5dB_6M", 6, 0, 0, 0, 0, 0, 0, 0, 5.0},
        ImpairmentCase{"snr_15dB_6M", 6, 0, 0, 0, 0, 0, 0, 0, 15.0},
        ImpairmentCase{"snr_25dB_6M", 6, 0, 0, 0, 0, 0, 0, 0, 25.0},
        ImpairmentCase{"snr_35dB_6M", 6, 0, 0, 0, 0, 0, 0, 0, 35.0},
        ImpairmentCase{"snr_30dB_with_iq_and_clock_54M", 54, 0.5, 1.0, 0, 20e3, 20.0, 0, 0, 30.0}),
    [](const ::testing::TestParamInfo<ImpairmentCase>& i) { return std::string(i.param.name); });

}  // namespace
