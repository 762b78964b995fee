// The receiver's impairment measurements: frames from the tests' own transmitter
// (reference_tx.h) pass through the tests' own impairments, written here from
// their definitions (IQ imbalance, phase jitter, carrier offset, a windowed-sinc
// resampler for the sample clock, a tapped channel, white Gaussian noise in the
// order transmitter -> channel -> noise), and each figure the receiver reports is
// checked against what was applied.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <array>
#include <complex>
#include <limits>
#include <numbers>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis.h"
#include "analysis/orvcheck_run.h"
#include "reference_tx.h"
#include "rx.h"
#include "rx_measure.h"
#include "rx_packets.h"
#include "support/records.h"

namespace {

using C = std::complex<double>;
namespace rx = orv::analysis::rx;
constexpr double kPi = std::numbers::pi;
constexpr size_t kLead = 400;  // silence before the frame, samples at 20 MS/s

// I' = A_I (I cos(phi/2) - Q sin(phi/2)), Q' = A_Q (Q cos(phi/2) - I sin(phi/2)), A_I / A_Q = 10^(g/20).
void iq_imbalance(std::vector<C>& x, double g_db, double phi_deg) {
    const double ai = std::pow(10.0, g_db / 40.0), aq = std::pow(10.0, -g_db / 40.0);
    const double c = std::cos(phi_deg * kPi / 360.0), s = std::sin(phi_deg * kPi / 360.0);
    for (C& v : x) v = C(ai * (v.real() * c - v.imag() * s), aq * (v.imag() * c - v.real() * s));
}

// A phase constant over each DATA symbol of len samples (from sample first on), phases[i] in radians.
void symbol_phases(std::vector<C>& x, size_t first, size_t len, const std::vector<double>& phases) {
    for (size_t i = 0; i < phases.size(); ++i)
        for (size_t n = first + len * i; n < first + len * (i + 1) && n < x.size(); ++n) x[n] *= std::polar(1.0, phases[i]);
}

// The signal (sampling rate fs) shifted up by f_hz.
void carrier_offset(std::vector<C>& x, double f_hz, double fs) {
    for (size_t n = 0; n < x.size(); ++n) x[n] *= std::polar(1.0, 2.0 * kPi * f_hz * static_cast<double>(n) / fs);
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

std::vector<C> operator+(std::vector<C> a, const std::vector<C>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Complex white Gaussian noise over the whole file: power P / 10^(snr/10) in the 20 MHz channel,
// P the frame's mean power, so os P / 10^(snr/10) over the sampled band.
void add_noise(std::vector<C>& x, double frame_power, double snr_db, int os, uint32_t seed) {
    std::mt19937 g(seed);
    std::normal_distribution<double> n(0.0, std::sqrt(os * frame_power / std::pow(10.0, snr_db / 10.0) / 2.0));
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
    int os = 1;                 // oversampling (the sampling rate 20 MHz times this)
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
    const size_t os = static_cast<size_t>(c.os);
    const std::vector<C> f = reftx::frame(c.rate_mbps, reftx::bits_of_bytes(psdu), static_cast<int>(psdu.size()), c.os, 0x3A);
    std::vector<C> x(kLead * os, C(0, 0));
    x.insert(x.end(), f.begin(), f.end());
    x.resize(x.size() + kLead * os, C(0, 0));
    iq_imbalance(x, c.iq_gain_db, c.iq_phase_deg);
    if (c.cpe_jitter_deg > 0) {
        std::mt19937 g(11);
        std::normal_distribution<double> n(0.0, c.cpe_jitter_deg * kPi / 180.0);
        for (size_t i = 0; i < (f.size() - 400 * os) / (80 * os); ++i) phases.push_back(n(g));
        symbol_phases(x, (kLead + 400) * os, 80 * os, phases);
    }
    carrier_offset(x, c.cfo_hz, 20e6 * c.os);
    if (c.clock_ppm != 0) x = resample(x, c.clock_ppm);
    if (c.echo != 0) x = two_path(x, c.echo, c.echo_samples * os);
    if (c.snr_db > 0) {
        double p = 0;
        for (const C& v : f) p += std::norm(v);
        add_noise(x, p / static_cast<double>(f.size()), c.snr_db, c.os, 5);
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
    const auto packets = orv::analysis::receive_packets(x.data(), static_cast<int64_t>(x.size()), c.os, opt, nullptr);
    ASSERT_EQ(packets.size(), 1u);
    const orv::analysis::PacketResult& p = packets[0];
    // At 50 ppm (0.15 samples by the end of the frame) 64-QAM decodes once the demodulator
    // follows the drift the first measurement found.
    ASSERT_EQ(p.fcs_ok, true) << p.problem;
    ASSERT_TRUE(p.snr_db && p.iq_gain_db && p.iq_phase_deg && p.clock_ppm && p.cpe_rms_deg && p.delay_spread_ns);
    // The required accuracies hold from 30 dB SNR up; below, the noise widens them.
    const double wide = c.snr_db > 0 && c.snr_db < 30 ? 4.0 : 1.0;
    EXPECT_NEAR(*p.iq_gain_db, c.iq_gain_db, 0.05 * wide);
    EXPECT_NEAR(*p.iq_phase_deg, c.iq_phase_deg, 0.5 * wide);
    EXPECT_NEAR(*p.clock_ppm, c.clock_ppm, 1.0 * wide);
    EXPECT_NEAR(p.freq_error_hz, c.cfo_hz, 10.0 * wide);
    // The SNR of the received signal: the echo adds its power a^2.
    if (c.snr_db > 0) EXPECT_NEAR(*p.snr_db, c.snr_db + 10.0 * std::log10(1.0 + c.echo * c.echo), 0.5);
    else EXPECT_GT(*p.snr_db, 45.0);  // the resampler's own error and the clock's intercarrier leakage
    const double cpe = phases.empty() ? 0.0 : detrended_rms(phases) * 180.0 / kPi;
    EXPECT_NEAR(*p.cpe_rms_deg, cpe, phases.empty() ? 0.2 * wide : 0.05 * cpe);
    // Two paths of power 1 and a^2, d samples apart: RMS spread d Ts a / (1 + a^2).
    const double spread = static_cast<double>(c.echo_samples) * 50.0 * std::abs(c.echo) / (1.0 + c.echo * c.echo);
    // A single path reads a few ns: its timing between samples (the frame drifts by a clock
    // offset before the long training field), more at 50 ppm.
    const double floor_ns = c.echo != 0 ? 2.0 : std::abs(c.clock_ppm) >= 50 ? 20.0 : 8.0;
    EXPECT_NEAR(*p.delay_spread_ns, spread, floor_ns * wide);
}

INSTANTIATE_TEST_SUITE_P(
    OneFrame, ImpairmentMeasures,
    ::testing::Values(
        ImpairmentCase{"clean_54M", 54},
        ImpairmentCase{"iq_gain_plus_1dB_phase_minus_3deg_54M", 54, 1.0, -3.0},
        ImpairmentCase{"iq_gain_minus_0_4dB_phase_plus_2deg_54M", 54, -0.4, 2.0},
        ImpairmentCase{"iq_phase_plus_5deg_6M", 6, 0.0, 5.0},
        // In exact silence the resampler rings ahead of the frame (periodic like the short
        // training field), and the detection starts early.
        ImpairmentCase{"clock_plus_20ppm_54M", 54, 0, 0, 0, 0, 20.0},
        // 50 ppm leaks about -50 dB between the subcarriers, below this noise.
        ImpairmentCase{"clock_minus_50ppm_30dB_54M", 54, 0, 0, 0, 0, -50.0, 0, 0, 30.0},
        ImpairmentCase{"clock_plus_50ppm_54M", 54, 0, 0, 0, 0, 50.0},
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
        ImpairmentCase{"snr_30dB_with_iq_and_clock_54M", 54, 0.5, 1.0, 0, 20e3, 20.0, 0, 0, 30.0},
        // The SNR is the 20 MHz channel's whatever the oversampling.
        ImpairmentCase{"snr_10dB_os4_6M", 6, 0, 0, 0, 0, 0, 0, 0, 10.0, 4},
        ImpairmentCase{"snr_30dB_os2_iq_cfo_echo_24M", 24, -0.7, 1.5, 0, -80e3, 0, 0.4, 3, 30.0, 2},
        ImpairmentCase{"echo_0_4_at_150ns_os2_24M", 24, 0, 0, 0, 0, 0, 0.4, 3, 0, 2},
        ImpairmentCase{"clean_os4_54M", 54, 0, 0, 0, 0, 0, 0, 0, 0, 4},
        ImpairmentCase{"echo_0_4_at_150ns_30dB_24M", 24, 0, 0, 0, 0, 0, 0.4, 3, 30.0},
        ImpairmentCase{"echo_0_4_at_150ns_os2_40dB_24M", 24, 0, 0, 0, 0, 0, 0.4, 3, 40.0, 2},
        ImpairmentCase{"echo_0_4_at_150ns_20dB_24M", 24, 0, 0, 0, 0, 0, 0.4, 3, 20.0}),
    [](const ::testing::TestParamInfo<ImpairmentCase>& i) { return std::string(i.param.name); });

// Every bit pattern of each modulation maps to a point the slicer gives back the same bits,
// at unit mean power over the constellation.
TEST(TransmittedPoints, MappingIsTheSlicersInverse) {
    for (int nb : {1, 2, 4, 6}) {
        double power = 0;
        for (int v = 0; v < (1 << nb); ++v) {
            uint8_t bits[6];
            for (int i = 0; i < nb; ++i) bits[i] = static_cast<uint8_t>((v >> (nb - 1 - i)) & 1);
            const C pt = rx::map_point(bits, nb);
            std::vector<uint8_t> back;
            EXPECT_EQ(orv::analysis::slice(pt, nb, &back), pt) << nb << " bits " << v;
            EXPECT_EQ(back, std::vector<uint8_t>(bits, bits + nb)) << nb << " bits " << v;
            power += std::norm(pt);
        }
        EXPECT_NEAR(power / (1 << nb), 1.0, 1e-12) << nb;
    }
}

// The transmitted points of a DATA field equal the tests' own transmitter's chain (scrambler,
// coder, puncturing, interleaver, mapping) at every rate, for PSDUs ending anywhere in a symbol
// and several scrambler states; a field cut short holds only whole bytes of the PSDU.
struct PointsCase {
    const char* name;
    int mbps, length, scrambler;
    int fewer_symbols;  // symbols fewer than the PSDU needs
};
void PrintTo(const PointsCase& c, std::ostream* os) { *os << c.name; }
class TransmittedPointsChain : public ::testing::TestWithParam<PointsCase> {};

TEST_P(TransmittedPointsChain, EqualTheReferenceTransmitter) {
    const PointsCase& c = GetParam();
    const reftx::Rate& rt = reftx::rate(c.mbps);
    const orv::analysis::RateInfo& rate = *orv::analysis::rate_by_mbps(c.mbps);
    const std::vector<uint8_t> psdu = reftx::body(static_cast<size_t>(c.length), static_cast<uint32_t>(c.mbps * 131 + c.length));
    const int need = (16 + 8 * c.length + 6 + rt.n_dbps - 1) / rt.n_dbps;
    const int n_sym = need - c.fewer_symbols;
    // The reference: whole bytes within the shortened field only, the tail zeroed after scrambling.
    std::vector<int> data(16, 0);
    for (int i = 0; i < c.length && 16 + 8 * i + 7 < n_sym * rt.n_dbps; ++i)
        for (int j = 0; j < 8; ++j) data.push_back((psdu[static_cast<size_t>(i)] >> j) & 1);
    data.resize(static_cast<size_t>(n_sym * rt.n_dbps), 0);
    std::vector<int> scr = reftx::scramble(data, c.scrambler);
    for (int i = 0; i < 6; ++i)
        if (16 + 8 * c.length + i < static_cast<int>(scr.size())) scr[static_cast<size_t>(16 + 8 * c.length + i)] = 0;
    const std::vector<int> coded = reftx::puncture(reftx::encode(scr), rt.num, rt.den);
    std::vector<C> want;
    for (int k = 0; k < n_sym; ++k) {
        const std::vector<int> part(coded.begin() + k * rate.n_cbps, coded.begin() + (k + 1) * rate.n_cbps);
        const std::vector<C> sym = reftx::map_symbol(reftx::interleave(part, rate.n_cbps, rate.n_bpsc), rt.mod);
        want.insert(want.end(), sym.begin(), sym.end());
    }
    const std::vector<C> got = rx::transmitted_points(psdu, c.scrambler, rate, n_sym, false);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) ASSERT_LT(std::abs(got[i] - want[i]), 1e-12) << "point " << i;
    // The fast path (the bits spread 32 at a time, each point read whole from the constellation
    // table) gives the same points bit for bit.
    const std::vector<C> vec = rx::transmitted_points(psdu, c.scrambler, rate, n_sym, true);
    ASSERT_EQ(vec.size(), got.size());
    for (size_t i = 0; i < vec.size(); ++i) {
        ASSERT_EQ(vec[i].real(), got[i].real()) << "point " << i;
        ASSERT_EQ(vec[i].imag(), got[i].imag()) << "point " << i;
    }
    // Into a buffer kept from a longer packet: resized to these points, none of the old ones left.
    std::vector<C> kept(got.size() + 300, C(9.0, -9.0));
    rx::transmitted_points(psdu, c.scrambler, rate, n_sym, kept);
    EXPECT_EQ(kept, got);
}

INSTANTIATE_TEST_SUITE_P(
    AllRates, TransmittedPointsChain,
    ::testing::Values(PointsCase{"bpsk_half_6M", 6, 1, 0x5D, 0}, PointsCase{"bpsk_3_4_9M", 9, 37, 0x7F, 0},
                      PointsCase{"qpsk_half_12M", 12, 100, 0x01, 0}, PointsCase{"qpsk_3_4_18M", 18, 255, 0x2A, 0},
                      PointsCase{"qam16_half_24M", 24, 64, 0x55, 0}, PointsCase{"qam16_3_4_36M", 36, 1500, 0x3C, 0},
                      PointsCase{"qam64_2_3_48M", 48, 333, 0x11, 0}, PointsCase{"qam64_3_4_54M", 54, 1000, 0x6E, 0},
                      PointsCase{"qam64_3_4_54M_tail_in_last_bits", 54, 24, 0x5D, 0},
                      PointsCase{"cut_two_symbols_short_54M", 54, 200, 0x5D, 2},
                      PointsCase{"cut_inside_a_byte_9M", 9, 100, 0x4B, 20},
                      PointsCase{"cut_to_one_symbol_6M", 6, 40, 0x33, 14},
                      PointsCase{"no_symbols_6M", 6, 1, 0x5D, 2},
                      PointsCase{"longest_psdu_6M", 6, 4095, 0x19, 0},
                      PointsCase{"longest_psdu_54M", 54, 4095, 0x62, 0}),
    [](const ::testing::TestParamInfo<PointsCase>& i) { return std::string(i.param.name); });

// The model fit's angle agrees with atan2 to within 4 units in the last place over every
// direction at magnitudes from the smallest to the largest, on the axes and the diagonals (the
// table's ends), with atan2's signed zeros and its NaN and infinity results.
struct AngleScale {
    const char* name;
    double magnitude;
};
void PrintTo(const AngleScale& c, std::ostream* os) { *os << c.name; }
class PhaseAngle : public ::testing::TestWithParam<AngleScale> {};

TEST_P(PhaseAngle, AgreesWithAtan2) {
    const double r = GetParam().magnitude;
    auto check = [](double y, double x) {
        const double want = std::atan2(y, x), got = rx::phase_angle(y, x);
        const double ulp = std::nextafter(std::abs(want), std::numeric_limits<double>::infinity()) - std::abs(want);
        ASSERT_LE(std::abs(got - want), 4 * ulp) << "y " << y << " x " << x;
        ASSERT_EQ(std::signbit(got), std::signbit(want)) << "y " << y << " x " << x;
    };
    for (int n = -20000; n <= 20000; ++n) {
        const double th = kPi * n / 20000.0;
        check(r * std::sin(th), r * std::cos(th));
    }
    for (double t : {0.0, 1.0 / 32, 1.0 / 16, 0.5, 15.0 / 16, 1.0, 1e-20})
        for (double sy : {1.0, -1.0})
            for (double sx : {1.0, -1.0}) {
                check(sy * r * t, sx * r);
                check(sy * r, sx * r * t);
            }
}

INSTANTIATE_TEST_SUITE_P(Magnitudes, PhaseAngle,
                         ::testing::Values(AngleScale{"unit", 1.0}, AngleScale{"tiny", 1e-300}, AngleScale{"subnormal", 1e-310},
                                           AngleScale{"huge", 1e300}, AngleScale{"received_levels", 3.7e-3}),
                         [](const ::testing::TestParamInfo<AngleScale>& i) { return std::string(i.param.name); });

// Every loop the processor has (four or eight at a time) gives the one-by-one values bit for
// bit, special values and a count that is no multiple of four included; t near each sixteenth
// and near 1 reaches every entry of the table.
TEST(PhaseAngleEdges, VectorAndPlainLoopsEqual) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> y, x;
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int i = 0; i < 4001; ++i) y.push_back(u(rng)), x.push_back(u(rng) * std::pow(10.0, i % 7 - 3));
    for (double v : {0.0, -0.0, inf, -inf, nan, 1e-310, 1e300}) y.push_back(v), x.push_back(0.5), y.push_back(-0.25), x.push_back(v);
    for (int k = 0; k <= 16; ++k)
        for (double d : {-1e-3, 0.0, 1e-3, 0.031}) y.push_back(std::min(1.0, k / 16.0 + d)), x.push_back(k % 2 ? -1.0 : 1.0);
    std::vector<double> plain(y.size());
    rx::phase_angles(y.data(), x.data(), y.size(), plain.data(), false);
    for (rx::AngleLoop loop : {rx::AngleLoop::best, rx::AngleLoop::avx2, rx::AngleLoop::avx512}) {
        if (!rx::angle_loop_available(loop)) continue;
        std::vector<double> vec(y.size());
        rx::phase_angles_with(y.data(), x.data(), y.size(), vec.data(), loop);
        for (size_t i = 0; i < y.size(); ++i) {
            if (std::isnan(plain[i])) {
                EXPECT_TRUE(std::isnan(vec[i])) << i;
                continue;
            }
            ASSERT_EQ(std::bit_cast<uint64_t>(vec[i]), std::bit_cast<uint64_t>(plain[i]))
                << "loop " << static_cast<int>(loop) << " y " << y[i] << " x " << x[i];
            ASSERT_EQ(plain[i], rx::phase_angle(y[i], x[i]));
        }
    }
}

// Each of atan2's special pairs in every lane of the four- and the eight-lane loop (in each
// group of their steps of two groups, one group and four, ordinary values around it) gives
// atan2's value: the signed zeros of the origin, both magnitudes infinite, NaN on either side.
struct SpecialPair {
    const char* name;
    double y, x;
};
void PrintTo(const SpecialPair& c, std::ostream* os) { *os << c.name; }
class PhaseAngleLanes : public ::testing::TestWithParam<SpecialPair> {};

TEST_P(PhaseAngleLanes, SpecialPairAsAtan2InEveryLane) {
    const SpecialPair& c = GetParam();
    constexpr size_t kCount = 28;  // the eight-lane loop's step of sixteen and step of eight, then one step of four
    for (rx::AngleLoop loop : {rx::AngleLoop::avx2, rx::AngleLoop::avx512}) {
        if (!rx::angle_loop_available(loop)) continue;
        for (size_t at = 0; at < kCount; ++at) {
            std::vector<double> y(kCount), x(kCount), out(kCount);
            for (size_t j = 0; j < kCount; ++j) y[j] = 0.3 * static_cast<double>(j % 12) - 1.0, x[j] = 0.7 - 0.1 * static_cast<double>(j % 12);
            y[at] = c.y, x[at] = c.x;
            rx::phase_angles_with(y.data(), x.data(), kCount, out.data(), loop);
            const double want = std::atan2(c.y, c.x);
            if (std::isnan(want)) {
                EXPECT_TRUE(std::isnan(out[at])) << "lane " << at;
            } else {
                EXPECT_EQ(std::bit_cast<uint64_t>(out[at]), std::bit_cast<uint64_t>(want)) << "lane " << at << ": " << out[at] << " against " << want;
            }
            for (size_t j = 0; j < kCount; ++j) {
                if (j == at) continue;
                EXPECT_EQ(out[j], rx::phase_angle(y[j], x[j])) << "neighbour " << j << " of lane " << at;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Specials, PhaseAngleLanes,
    ::testing::Values(SpecialPair{"origin_pp", 0.0, 0.0}, SpecialPair{"origin_mp", -0.0, 0.0}, SpecialPair{"origin_pm", 0.0, -0.0},
                      SpecialPair{"origin_mm", -0.0, -0.0}, SpecialPair{"both_infinite_pp", INFINITY, INFINITY},
                      SpecialPair{"both_infinite_mm", -INFINITY, -INFINITY}, SpecialPair{"both_infinite_pm", INFINITY, -INFINITY},
                      SpecialPair{"infinite_y", -INFINITY, 3.0}, SpecialPair{"infinite_x", 2.0, -INFINITY},
                      SpecialPair{"nan_y", NAN, 0.5}, SpecialPair{"nan_x", 0.5, NAN}, SpecialPair{"nan_y_zero_x", NAN, 0.0},
                      SpecialPair{"zero_y_negative_x", 0.0, -2.0}, SpecialPair{"negative_zero_y_negative_x", -0.0, -2.0},
                      SpecialPair{"subnormal_over_huge", 4.9e-324, 1e308}),
    [](const ::testing::TestParamInfo<SpecialPair>& i) { return std::string(i.param.name); });

TEST(PhaseAngleEdges, SignedZerosNanAndInfinitiesAsAtan2) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    const std::pair<double, double> cases[] = {{0.0, 0.0},  {-0.0, 0.0}, {0.0, -0.0}, {-0.0, -0.0}, {0.0, -1.0},
                                               {-0.0, -1.0}, {1.0, -0.0}, {inf, 1.0},  {1.0, -inf}, {-inf, -inf}};
    for (const auto& [y, x] : cases) {
        EXPECT_EQ(rx::phase_angle(y, x), std::atan2(y, x)) << y << " " << x;
        EXPECT_EQ(std::signbit(rx::phase_angle(y, x)), std::signbit(std::atan2(y, x))) << y << " " << x;
    }
    EXPECT_TRUE(std::isnan(rx::phase_angle(nan, 1.0)));
    EXPECT_TRUE(std::isnan(rx::phase_angle(1.0, nan)));
}

// The phase step wrapped into [-pi, pi] is std::remainder(x, 2 pi) bit for bit: at and beside
// the quotient's rounding points (pi and 3 pi, ties to the even quotient), at whole turns (a zero
// result keeps the sign of x), far out, and for zeros, NaN and infinities.
struct WrapCase {
    const char* name;
    std::vector<double> values;  // each also negated and taken one step up and down
};
void PrintTo(const WrapCase& c, std::ostream* os) { *os << c.name; }
class WrapPhase : public ::testing::TestWithParam<WrapCase> {};

TEST_P(WrapPhase, EqualsRemainderOfATurn) {
    const double inf = std::numeric_limits<double>::infinity();
    for (double v : GetParam().values)
        for (double x : {v, -v, std::nextafter(v, inf), std::nextafter(v, -inf), -std::nextafter(v, inf), -std::nextafter(v, -inf)}) {
            const double want = std::remainder(x, 2.0 * kPi), got = rx::wrap_phase(x);
            if (std::isnan(want)) {
                EXPECT_TRUE(std::isnan(got)) << x;
                continue;
            }
            EXPECT_EQ(std::bit_cast<uint64_t>(got), std::bit_cast<uint64_t>(want)) << std::hexfloat << "x " << x << " got " << got << " want " << want;
        }
}

INSTANTIATE_TEST_SUITE_P(
    Table, WrapPhase,
    ::testing::Values(WrapCase{"zero_and_small", {0.0, 1e-300, 4.9e-324, 1e-9, 0.5, 3.0}},
                      WrapCase{"half_turn_ties", {kPi, 2.0 * kPi * 0.5}},
                      WrapCase{"one_turn", {2.0 * kPi, 4.0, 5.5, 6.0, 7.0, 8.0, 9.0}},
                      WrapCase{"one_and_a_half_turns", {3.0 * kPi, 1.5 * (2.0 * kPi), 2.0 * kPi + kPi}},
                      WrapCase{"two_turns_and_beyond", {4.0 * kPi, 12.0, 13.0, 100.0, 1e6, 1e300}},
                      WrapCase{"not_finite", {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}}),
    [](const ::testing::TestParamInfo<WrapCase>& i) { return std::string(i.param.name); });

TEST(WrapPhaseSweep, EqualsRemainderOfATurnEverywhereWithinTwoTurns) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-4.0 * kPi, 4.0 * kPi);
    for (int i = 0; i < 200000; ++i) {
        const double x = u(rng);
        ASSERT_EQ(std::bit_cast<uint64_t>(rx::wrap_phase(x)), std::bit_cast<uint64_t>(std::remainder(x, 2.0 * kPi))) << std::hexfloat << x;
    }
}

// The image ratio of an imbalance computed from its definition (the responses to x = 1 and
// x = j give mu and nu of y = mu x + nu conj(x)) is turned back into its gain and phase,
// whatever gain and phase follow the imbalance.
struct IqCase {
    const char* name;
    double g_db, phi_deg;
};
void PrintTo(const IqCase& c, std::ostream* os) { *os << c.name; }
class ImageRatio : public ::testing::TestWithParam<IqCase> {};

TEST_P(ImageRatio, GivesGainAndPhaseBack) {
    const IqCase& c = GetParam();
    std::vector<C> x = {C(1, 0), C(0, 1)};
    iq_imbalance(x, c.g_db, c.phi_deg);
    const C after = std::polar(0.7, 2.1);  // the channel's gain and phase
    const C y1 = after * x[0], yj = after * x[1];
    const C mu = (y1 - C(0, 1) * yj) / 2.0, nu = (y1 + C(0, 1) * yj) / 2.0;
    double g = 0, phi = 0;
    rx::iq_from_image_ratio(nu / mu, &g, &phi);
    EXPECT_NEAR(g, c.g_db, 1e-9);
    EXPECT_NEAR(phi, c.phi_deg, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Table, ImageRatio,
                         ::testing::Values(IqCase{"none", 0, 0}, IqCase{"gain_plus_1dB_phase_minus_3deg", 1, -3},
                                           IqCase{"gain_minus_2dB_phase_plus_10deg", -2, 10},
                                           IqCase{"gain_only_0_05dB", 0.05, 0}, IqCase{"phase_only_minus_0_3deg", 0, -0.3},
                                           IqCase{"large_6dB_30deg", 6, 30}),
                         [](const ::testing::TestParamInfo<IqCase>& i) { return std::string(i.param.name); });

// The delay spread of channels given by their paths (delay in samples at 20 MS/s, amplitude),
// against sqrt(sum p t^2 / sum p - (sum p t / sum p)^2) of the paths themselves.
struct SpreadCase {
    const char* name;
    std::vector<std::pair<double, double>> paths;
};
void PrintTo(const SpreadCase& c, std::ostream* os) { *os << c.name; }
class DelaySpread : public ::testing::TestWithParam<SpreadCase> {};

TEST_P(DelaySpread, OfTheChannelsPaths) {
    const SpreadCase& c = GetParam();
    std::array<C, 53> h{};
    double p0 = 0, p1 = 0, p2 = 0;
    for (const auto& [d, a] : c.paths) {
        for (int k = -26; k <= 26; ++k)
            if (k) h[static_cast<size_t>(k + 26)] += a * std::polar(1.0, -2.0 * kPi * k * d / 64.0);
        const double t = d * 50.0;
        p0 += a * a, p1 += a * a * t, p2 += a * a * t * t;
    }
    const auto tau = rx::rms_delay_spread_s(h, 0.0);
    ASSERT_TRUE(tau);
    EXPECT_NEAR(*tau * 1e9, std::sqrt(p2 / p0 - (p1 / p0) * (p1 / p0)), 1.0);
}

// The taps' fits four at a time give the plain loops' delay spread to the last bit: on the
// channel itself (fitted on the grid alone) and with noise added and declared, which sends the
// fit through its search of sub-sample timings.
TEST_P(DelaySpread, VectorAndPlainFitsEqual) {
    const SpreadCase& c = GetParam();
    std::array<C, 53> h{};
    for (const auto& [d, a] : c.paths)
        for (int k = -26; k <= 26; ++k)
            if (k) h[static_cast<size_t>(k + 26)] += a * std::polar(1.0, -2.0 * kPi * k * d / 64.0);
    std::mt19937 rng(5);
    std::normal_distribution<double> n(0.0, 0.05);
    std::array<C, 53> noisy = h;
    for (int k = -26; k <= 26; ++k)
        if (k) noisy[static_cast<size_t>(k + 26)] += C(n(rng), n(rng));
    const std::pair<const std::array<C, 53>*, double> inputs[] = {{&h, 0.0}, {&noisy, 0.005}, {&noisy, 0.0}};
    for (const auto& [ch, noise_var] : inputs) {
        const auto v = rx::rms_delay_spread_s(*ch, noise_var, true), p = rx::rms_delay_spread_s(*ch, noise_var, false);
        ASSERT_EQ(v.has_value(), p.has_value()) << "noise " << noise_var;
        if (!p) continue;
        EXPECT_EQ(std::bit_cast<uint64_t>(*v), std::bit_cast<uint64_t>(*p)) << "noise " << noise_var << ": " << *v << " against " << *p;
    }
}

// The taps and the residual of each sub-sample timing the search tries, four at a time, are the
// plain loops' to the last bit (the residual alone decides between timings).
TEST_P(DelaySpread, VectorAndPlainTapsAndResidualEqual) {
    const SpreadCase& c = GetParam();
    std::array<C, 53> h{};
    for (const auto& [d, a] : c.paths)
        for (int k = -26; k <= 26; ++k)
            if (k) h[static_cast<size_t>(k + 26)] += a * std::polar(1.0, -2.0 * kPi * k * d / 64.0);
    std::mt19937 rng(9);
    std::normal_distribution<double> n(0.0, 0.02);
    for (int k = -26; k <= 26; ++k)
        if (k) h[static_cast<size_t>(k + 26)] += C(n(rng), n(rng));
    for (int step = -10; step < 10; ++step) {
        std::array<C, 16> tv{}, tp{};
        const double rv = rx::delay_taps(h, 0.05 * step, tv, true), rp = rx::delay_taps(h, 0.05 * step, tp, false);
        EXPECT_EQ(std::bit_cast<uint64_t>(rv), std::bit_cast<uint64_t>(rp)) << "shift step " << step;
        for (size_t m = 0; m < 16; ++m) {
            EXPECT_EQ(std::bit_cast<uint64_t>(tv[m].real()), std::bit_cast<uint64_t>(tp[m].real())) << "tap " << m << " step " << step;
            EXPECT_EQ(std::bit_cast<uint64_t>(tv[m].imag()), std::bit_cast<uint64_t>(tp[m].imag())) << "tap " << m << " step " << step;
        }
    }
}

TEST(DelaySpreadEdges, NoChannelHasNoSpreadEitherWay) {
    const std::array<C, 53> zero{};
    EXPECT_FALSE(rx::rms_delay_spread_s(zero, 0.0, true));
    EXPECT_FALSE(rx::rms_delay_spread_s(zero, 0.0, false));
}

std::vector<std::pair<double, double>> exponential(double rms_samples, int taps, double first) {
    std::vector<std::pair<double, double>> v;
    for (int k = 0; k < taps; ++k) v.push_back({first + k, std::exp(-k / (2.0 * rms_samples))});
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Table, DelaySpread,
    ::testing::Values(SpreadCase{"one_path", {{0, 1}}}, SpreadCase{"one_path_between_samples", {{2.35, 0.8}}},
                      SpreadCase{"two_equal_paths_3_samples", {{0, 1}, {3, 1}}},
                      SpreadCase{"two_paths_between_samples", {{0.4, 1}, {4.4, 0.6}}},
                      SpreadCase{"early_weak_path", {{-2, 0.5}, {0, 1}}},
                      SpreadCase{"exponential_50ns", exponential(1.0, 10, 0)},
                      SpreadCase{"exponential_150ns_to_650ns", exponential(3.0, 14, 0)}),
    [](const ::testing::TestParamInfo<SpreadCase>& i) { return std::string(i.param.name); });

// orvcheck reports the figures per packet and in the summary, in JSON and in its text;
// with --carrier-ghz the frequency error also in ppm.
TEST(OrvcheckImpairments, ReportedInJsonAndText) {
    TempDir dir("impair");
    ImpairmentCase c{"report", 24, 0.6, -2.0};
    c.cfo_hz = 52e3;
    std::vector<double> phases;
    std::vector<uint8_t> psdu;
    const std::vector<C> x = impaired_frame(c, phases, psdu);
    const std::string path = dir.file("impaired.csv");
    ASSERT_TRUE(reftx::write_csv(path, x + x));
    const orv_test::CheckRun j = orv_test::orvcheck({path, "--oversample", "1", "--carrier-ghz", "5.2", "--json"});
    const nlohmann::json r = nlohmann::json::parse(j.out);
    ASSERT_EQ(r["packets"].size(), 2u) << j.out;
    for (const auto& p : r["packets"]) {
        EXPECT_NEAR(p["iq_gain_db"].get<double>(), 0.6, 0.05);
        EXPECT_NEAR(p["iq_phase_deg"].get<double>(), -2.0, 0.5);
        EXPECT_NEAR(p["freq_error_ppm"].get<double>(), 52e3 / 5.2e3, 10.0 / 5.2e3);
        EXPECT_NEAR(p["clock_ppm"].get<double>(), 0.0, 1.0);
        EXPECT_TRUE(p["snr_db"].is_number() && p["cpe_rms_deg"].is_number() && p["delay_spread_ns"].is_number());
    }
    const auto& s = r["summary"];
    EXPECT_NEAR(s["iq_gain_db"].get<double>(), 0.6, 0.05);
    EXPECT_NEAR(s["freq_error_ppm"].get<double>(), 10.0, 10.0 / 5.2e3);
    const orv_test::CheckRun t = orv_test::orvcheck({path, "--oversample", "1", "--carrier-ghz", "5.2"});
    EXPECT_NE(t.out.find("Impairments SNR "), std::string::npos) << t.out;
    EXPECT_NE(t.out.find(", IQ gain 0.6"), std::string::npos) << t.out;
    EXPECT_NE(t.out.find(", frequency 10.000 ppm"), std::string::npos) << t.out;
    // Without the carrier there is no frequency in ppm.
    const nlohmann::json plain = nlohmann::json::parse(orv_test::orvcheck({path, "--oversample", "1", "--json"}).out);
    EXPECT_TRUE(plain["packets"][0]["freq_error_ppm"].is_null());
}

// The demodulator's DATA spectra, which the measurement takes instead of its own FFTs: each is
// the FFT of that symbol's window, whatever timing drift the demodulator follows, and the
// measurement gives the same figures from them as from its own transforms, to the last bit.
struct SpectraCase {
    const char* name;
    ImpairmentCase impairments;
    double drift;  // radians per subcarrier and symbol the demodulator follows
};
void PrintTo(const SpectraCase& c, std::ostream* os) { *os << c.name; }
class DemodulatorSpectra : public ::testing::TestWithParam<SpectraCase> {};

TEST_P(DemodulatorSpectra, MeasureAsTheirOwnTransforms) {
    const SpectraCase& c = GetParam();
    std::vector<double> phases;
    std::vector<uint8_t> psdu;
    const std::vector<C> x = impaired_frame(c.impairments, phases, psdu);
    orv::analysis::ForwardFft fft(64);
    const auto d = rx::detect_next(x, 0);
    ASSERT_TRUE(d);
    const rx::Sync s = rx::synchronise(x, *d);
    const rx::Channel ch = rx::estimate_channel(x, s, fft);
    const rx::SignalField sig = rx::decode_signal(x, s, ch, fft);
    ASSERT_TRUE(sig.valid());
    const orv::analysis::RateInfo& rate = *orv::analysis::rate_by_mbps(sig.rate_mbps);
    const rx::Demodulated dem = rx::demodulate(x, s, ch, rate, sig.data_symbols, fft, c.drift);
    ASSERT_EQ(dem.spectra.size(), static_cast<size_t>(sig.data_symbols));
    for (int n = 0; n < sig.data_symbols; ++n) {
        const std::array<C, 53> own = rx::subcarriers(x, s, s.t1 + 128 + 80 + 80 * n + 16 - rx::kBackoff, fft);
        ASSERT_EQ(dem.spectra[static_cast<size_t>(n)], own) << "symbol " << n;
    }
    // Into a workspace left over from a longer or a shorter packet (its spectra not zero): the same
    // results as a fresh one, also with a data subcarrier without signal (channel 0 at subcarrier
    // 5), whose soft bits are 0.
    rx::Channel faded = ch;
    faded.h[26 + 5] = 0;
    const size_t n_bits = static_cast<size_t>(sig.data_symbols) * static_cast<size_t>(rate.n_cbps);
    size_t dead = 0;  // the data subcarrier index of subcarrier 5
    while (orv::analysis::data_subcarriers()[dead] != 5) ++dead;
    const rx::Channel* const channels[] = {&ch, &faded};
    std::array<C, 53> stale;
    stale.fill(C(9.0, -9.0));
    for (const rx::Channel* h : channels) {
        for (const size_t kept : {static_cast<size_t>(sig.data_symbols) + 3, static_cast<size_t>(sig.data_symbols) / 2}) {
            const rx::Demodulated fresh = rx::demodulate(x, s, *h, rate, sig.data_symbols, fft, c.drift);
            rx::Demodulated used;
            used.soft.assign(n_bits + 1000, 7.0);
            used.spectra.assign(kept, stale);
            used.symbols = 999, used.evm_db = 1, used.residual_hz = 2, used.leakage_db = 3;
            rx::demodulate_into(x, s, *h, rate, sig.data_symbols, fft, c.drift, used);
            const std::string which = std::string(h == &ch ? "channel" : "faded channel") + ", " + std::to_string(kept) + " spectra kept";
            EXPECT_EQ(used.soft, fresh.soft) << which;
            EXPECT_EQ(used.spectra, fresh.spectra) << which;
            EXPECT_EQ(used.symbols, fresh.symbols) << which;
            EXPECT_EQ(used.evm_db, fresh.evm_db) << which;
            EXPECT_EQ(used.residual_hz, fresh.residual_hz) << which;
            EXPECT_EQ(used.leakage_db, fresh.leakage_db) << which;
            ASSERT_EQ(used.soft.size(), n_bits) << which;
            if (h != &faded) continue;
            for (size_t n = 0; n < n_bits; n += static_cast<size_t>(rate.n_cbps)) {
                for (size_t j = 0; j < static_cast<size_t>(rate.n_bpsc); ++j)
                    ASSERT_EQ(used.soft[n + dead * static_cast<size_t>(rate.n_bpsc) + j], 0.0) << "bit " << n + j;
            }
        }
    }
    const rx::Impairments a = rx::measure_impairments(x, s, ch, rate, sig.data_symbols, nullptr, fft, 1);
    const rx::Impairments b = rx::measure_impairments(x, s, ch, rate, sig.data_symbols, nullptr, fft, 1, &dem.spectra);
    ASSERT_TRUE(a.snr_db && a.clock_ppm && a.iq_gain_db && a.delay_spread_ns);
    EXPECT_EQ(a.snr_db, b.snr_db);
    EXPECT_EQ(a.iq_gain_db, b.iq_gain_db);
    EXPECT_EQ(a.iq_phase_deg, b.iq_phase_deg);
    EXPECT_EQ(a.clock_ppm, b.clock_ppm);
    EXPECT_EQ(a.cpe_rms_deg, b.cpe_rms_deg);
    EXPECT_EQ(a.delay_spread_ns, b.delay_spread_ns);
    // The fit four symbols at a time gives the figures of the fit one by one, to the last bit,
    // against the decisions and against the transmitted points.
    const std::vector<C> known = rx::transmitted_points(psdu, 0x3A, rate, sig.data_symbols);
    for (const std::vector<C>* k : {static_cast<const std::vector<C>*>(nullptr), &known}) {
        const rx::Impairments v = rx::measure_impairments(x, s, ch, rate, sig.data_symbols, k, fft, 1, &dem.spectra, true);
        const rx::Impairments p = rx::measure_impairments(x, s, ch, rate, sig.data_symbols, k, fft, 1, &dem.spectra, false);
        ASSERT_TRUE(p.snr_db && p.clock_ppm && p.iq_gain_db && p.iq_phase_deg && p.cpe_rms_deg && p.delay_spread_ns);
        const char* which = k ? "known points" : "decisions";
        EXPECT_EQ(v.snr_db, p.snr_db) << which;
        EXPECT_EQ(v.iq_gain_db, p.iq_gain_db) << which;
        EXPECT_EQ(v.iq_phase_deg, p.iq_phase_deg) << which;
        EXPECT_EQ(v.clock_ppm, p.clock_ppm) << which;
        EXPECT_EQ(v.cpe_rms_deg, p.cpe_rms_deg) << which;
        EXPECT_EQ(v.delay_spread_ns, p.delay_spread_ns) << which;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DemodulatorSpectra,
    ::testing::Values(
        SpectraCase{"iq_and_noise_54", {.name = "", .rate_mbps = 54, .iq_gain_db = 0.5, .iq_phase_deg = 2, .snr_db = 30}, 0},
        SpectraCase{"clock_20ppm_followed_24",
                    {.name = "", .rate_mbps = 24, .clock_ppm = 20, .snr_db = 35},
                    2.0 * kPi * 80.0 * 20e-6 / 64.0},
        SpectraCase{"echo_6", {.name = "", .rate_mbps = 6, .echo = 0.4, .echo_samples = 3, .snr_db = 25}, 0}),
    [](const ::testing::TestParamInfo<SpectraCase>& i) { return std::string(i.param.name); });

// The fit of four symbols at a time, two groups of four interleaved and the last group
// overlapping the one before, its channel sums four subcarriers at a time and the error terms
// likewise: the plain loops' figures to the last bit for every count of symbols around those
// group sizes and the 48 the rounds run on, against decisions and against the transmitted points.
struct SymbolCountCase {
    const char* name;
    int symbols;  // DATA symbols measured of the 84 of the frame
};
void PrintTo(const SymbolCountCase& c, std::ostream* os) { *os << c.name; }
class VectorFitSymbols : public ::testing::TestWithParam<SymbolCountCase> {};

TEST_P(VectorFitSymbols, SameFiguresAsThePlainLoops) {
    const SymbolCountCase& c = GetParam();
    std::vector<double> phases;
    std::vector<uint8_t> psdu;
    const ImpairmentCase imp{.name = "", .rate_mbps = 24, .iq_gain_db = 0.4, .iq_phase_deg = -1.5, .clock_ppm = 15, .snr_db = 28};
    const std::vector<C> x = impaired_frame(imp, phases, psdu);
    orv::analysis::ForwardFft fft(64);
    const auto d = rx::detect_next(x, 0);
    ASSERT_TRUE(d);
    const rx::Sync s = rx::synchronise(x, *d);
    const rx::Channel ch = rx::estimate_channel(x, s, fft);
    const rx::SignalField sig = rx::decode_signal(x, s, ch, fft);
    ASSERT_TRUE(sig.valid());
    ASSERT_GE(sig.data_symbols, c.symbols);
    const orv::analysis::RateInfo& rate = *orv::analysis::rate_by_mbps(sig.rate_mbps);
    const rx::Demodulated dem = rx::demodulate(x, s, ch, rate, sig.data_symbols, fft);
    const std::vector<C> known = rx::transmitted_points(psdu, 0x3A, rate, sig.data_symbols);
    for (const std::vector<C>* k : {static_cast<const std::vector<C>*>(nullptr), &known}) {
        const rx::Impairments v = rx::measure_impairments(x, s, ch, rate, c.symbols, k, fft, 1, &dem.spectra, true);
        const rx::Impairments p = rx::measure_impairments(x, s, ch, rate, c.symbols, k, fft, 1, &dem.spectra, false);
        const char* which = k ? "known points" : "decisions";
        ASSERT_TRUE(p.snr_db && p.clock_ppm && p.cpe_rms_deg && p.delay_spread_ns) << which;
        EXPECT_EQ(p.iq_gain_db.has_value(), c.symbols >= rx::kMinSymbolsIq) << which;
        EXPECT_EQ(v.snr_db, p.snr_db) << which;
        EXPECT_EQ(v.iq_gain_db, p.iq_gain_db) << which;
        EXPECT_EQ(v.iq_phase_deg, p.iq_phase_deg) << which;
        EXPECT_EQ(v.clock_ppm, p.clock_ppm) << which;
        EXPECT_EQ(v.cpe_rms_deg, p.cpe_rms_deg) << which;
        EXPECT_EQ(v.delay_spread_ns, p.delay_spread_ns) << which;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Counts, VectorFitSymbols,
    ::testing::Values(SymbolCountCase{"two", 2}, SymbolCountCase{"three", 3}, SymbolCountCase{"one_group", 4},
                      SymbolCountCase{"group_and_one", 5}, SymbolCountCase{"group_and_three", 7},
                      SymbolCountCase{"two_groups", 8}, SymbolCountCase{"two_groups_and_one", 9},
                      SymbolCountCase{"three_groups", 12}, SymbolCountCase{"three_groups_and_two", 14},
                      SymbolCountCase{"three_groups_and_three", 15}, SymbolCountCase{"thirty_eight", 38},
                      SymbolCountCase{"rounds_on_all_48", 48}, SymbolCountCase{"rounds_on_every_second_of_49", 49},
                      SymbolCountCase{"whole_frame_84", 84}),
    [](const ::testing::TestParamInfo<SymbolCountCase>& i) { return std::string(i.param.name); });


// Decisions made again between the rounds (noisy points and a timing drift move some of them):
// the vector fit reads the points from its own layout of them, which must follow every new
// decision; its figures equal the plain loops' to the last bit.
struct RedecideCase {
    const char* name;
    int rate_mbps;
    double snr_db, clock_ppm;
    int symbols;  // DATA symbols measured
};
void PrintTo(const RedecideCase& c, std::ostream* os) { *os << c.name; }
class VectorFitRedecided : public ::testing::TestWithParam<RedecideCase> {};

TEST_P(VectorFitRedecided, SameFiguresAsThePlainLoops) {
    const RedecideCase& c = GetParam();
    std::vector<double> phases;
    std::vector<uint8_t> psdu;
    const ImpairmentCase imp{.name = "", .rate_mbps = c.rate_mbps, .iq_gain_db = 0.3, .iq_phase_deg = 1.0,
                             .clock_ppm = c.clock_ppm, .snr_db = c.snr_db};
    const std::vector<C> x = impaired_frame(imp, phases, psdu);
    orv::analysis::ForwardFft fft(64);
    const auto d = rx::detect_next(x, 0);
    ASSERT_TRUE(d);
    const rx::Sync s = rx::synchronise(x, *d);
    const rx::Channel ch = rx::estimate_channel(x, s, fft);
    const rx::SignalField sig = rx::decode_signal(x, s, ch, fft);
    ASSERT_TRUE(sig.valid());
    ASSERT_GE(sig.data_symbols, c.symbols);
    const orv::analysis::RateInfo& rate = *orv::analysis::rate_by_mbps(sig.rate_mbps);
    const rx::Demodulated dem = rx::demodulate(x, s, ch, rate, sig.data_symbols, fft);
    const rx::Impairments v = rx::measure_impairments(x, s, ch, rate, c.symbols, nullptr, fft, 1, &dem.spectra, true);
    const rx::Impairments p = rx::measure_impairments(x, s, ch, rate, c.symbols, nullptr, fft, 1, &dem.spectra, false);
    ASSERT_TRUE(p.snr_db && p.clock_ppm && p.cpe_rms_deg && p.iq_gain_db);
    EXPECT_EQ(v.snr_db, p.snr_db);
    EXPECT_EQ(v.iq_gain_db, p.iq_gain_db);
    EXPECT_EQ(v.iq_phase_deg, p.iq_phase_deg);
    EXPECT_EQ(v.clock_ppm, p.clock_ppm);
    EXPECT_EQ(v.cpe_rms_deg, p.cpe_rms_deg);
    EXPECT_EQ(v.delay_spread_ns, p.delay_spread_ns);
}

INSTANTIATE_TEST_SUITE_P(
    Table, VectorFitRedecided,
    ::testing::Values(RedecideCase{"qpsk_7_symbols_at_4_db", 12, 4, 40, 7},
                      RedecideCase{"qam16_rounds_on_all_38_at_12_db", 24, 12, 40, 38},
                      RedecideCase{"qam16_rounds_on_every_second_of_56_at_12_db", 36, 12, 40, 56},
                      RedecideCase{"qam64_all_38_at_17_db", 54, 17, 60, 38},
                      RedecideCase{"qam16_whole_frame_84_at_11_db", 24, 11, -50, 84}),
    [](const ::testing::TestParamInfo<RedecideCase>& i) { return std::string(i.param.name); });

// Subcarriers received without any signal (their products with the model zero, skipped by the
// phase fit's weights): the fit four and eight symbols at a time and its unrolled sums give the
// plain loops' figures to the last bit, against decisions and against the transmitted points.
struct DeadCase {
    const char* name;
    std::vector<int> subcarriers;  // k of the subcarriers set to zero
    int every;                     // in every this-many-th symbol (from symbol 0)
};
void PrintTo(const DeadCase& c, std::ostream* os) { *os << c.name; }
class DeadSubcarriers : public ::testing::TestWithParam<DeadCase> {};

TEST_P(DeadSubcarriers, VectorFitAsThePlainLoops) {
    const DeadCase& c = GetParam();
    std::vector<double> phases;
    std::vector<uint8_t> psdu;
    const ImpairmentCase imp{.name = "", .rate_mbps = 54, .iq_gain_db = 0.3, .iq_phase_deg = 1.0, .clock_ppm = -10, .snr_db = 30};
    const std::vector<C> x = impaired_frame(imp, phases, psdu);
    orv::analysis::ForwardFft fft(64);
    const auto d = rx::detect_next(x, 0);
    ASSERT_TRUE(d);
    const rx::Sync s = rx::synchronise(x, *d);
    const rx::Channel ch = rx::estimate_channel(x, s, fft);
    const rx::SignalField sig = rx::decode_signal(x, s, ch, fft);
    ASSERT_TRUE(sig.valid());
    const orv::analysis::RateInfo& rate = *orv::analysis::rate_by_mbps(sig.rate_mbps);
    rx::Demodulated dem = rx::demodulate(x, s, ch, rate, sig.data_symbols, fft);
    size_t zeroed = 0;
    for (size_t n = 0; n < dem.spectra.size(); n += static_cast<size_t>(c.every))
        for (int k : c.subcarriers) dem.spectra[n][static_cast<size_t>(k + 26)] = 0, ++zeroed;
    ASSERT_GT(zeroed, 0u);
    const std::vector<C> known = rx::transmitted_points(psdu, 0x3A, rate, sig.data_symbols);
    for (const std::vector<C>* k : {static_cast<const std::vector<C>*>(nullptr), &known}) {
        const rx::Impairments v = rx::measure_impairments(x, s, ch, rate, sig.data_symbols, k, fft, 1, &dem.spectra, true);
        const rx::Impairments p = rx::measure_impairments(x, s, ch, rate, sig.data_symbols, k, fft, 1, &dem.spectra, false);
        const char* which = k ? "known points" : "decisions";
        ASSERT_TRUE(p.snr_db && p.clock_ppm && p.cpe_rms_deg) << which;
        EXPECT_EQ(v.snr_db, p.snr_db) << which;
        EXPECT_EQ(v.iq_gain_db, p.iq_gain_db) << which;
        EXPECT_EQ(v.iq_phase_deg, p.iq_phase_deg) << which;
        EXPECT_EQ(v.clock_ppm, p.clock_ppm) << which;
        EXPECT_EQ(v.cpe_rms_deg, p.cpe_rms_deg) << which;
        EXPECT_EQ(v.delay_spread_ns, p.delay_spread_ns) << which;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeadSubcarriers,
    ::testing::Values(DeadCase{"data_subcarrier_5_everywhere", {5}, 1},
                      DeadCase{"edges_in_every_third_symbol", {-26, 26}, 3},
                      DeadCase{"pilot_and_neighbours_in_every_second", {6, 7, 8}, 2},
                      DeadCase{"half_the_band_in_every_fifth", {-26, -25, -24, -23, -22, -21, -20, -19, -18, -17, -16, -15, -14,
                                                                -13, -12, -11, -10, -9, -8, -7, -6, -5, -4, -3, -2, -1}, 5},
                      DeadCase{"whole_symbol_in_every_seventh", {-26, -25, -24, -23, -22, -21, -20, -19, -18, -17, -16, -15, -14,
                                                                 -13, -12, -11, -10, -9, -8, -7, -6, -5, -4, -3, -2, -1,
                                                                 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13,
                                                                 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26}, 7}),
    [](const ::testing::TestParamInfo<DeadCase>& i) { return std::string(i.param.name); });

}  // namespace
