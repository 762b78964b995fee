// Sensitivity of the packet receiver in AWGN: the packet error rate of 1000-byte
// PSDUs against the SNR, per rate, beside the same decoder given the true
// channel and timing (the genie). Prints a table and the SNR at 10 % PER.
// SNR: the frame's mean sample power over the noise power in the 20 MHz band.
//   orv_rx_sensitivity [packets per point, default 100]
#include <array>
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "analysis/reference_tx.h"
#include "rx.h"
#include "rx_packets.h"

namespace {

using C = std::complex<double>;
namespace rx = orv::analysis::rx;

constexpr int kLength = 1000;
constexpr int kLead = 200;  // samples of noise before the frame

struct Point {
    double snr_db;
    double per, per_genie;
};

// The genie: true timing, no offset, the true (flat, unit) channel, the true RATE and LENGTH.
bool genie_ok(const std::vector<C>& y, const orv::analysis::RateInfo& rate) {
    static thread_local orv::analysis::ForwardFft fft(64);
    rx::Sync s;
    s.t1 = kLead + 192;
    s.metric = 1;
    rx::Channel ch;
    ch.h.fill(C(1, 0));
    const int n_sym = (16 + 8 * kLength + 6 + rate.n_dbps - 1) / rate.n_dbps;
    const rx::Demodulated d = rx::demodulate(y, s, ch, rate, n_sym, fft);
    return rx::parse_mac(rx::decode_data(d.soft, rate, kLength).psdu).fcs_ok;
}

Point measure(const std::vector<C>& frame, double power, int mbps, double snr_db, int packets, std::mt19937& g) {
    const double sigma = std::sqrt(power / std::pow(10.0, snr_db / 10.0) / 2.0);
    std::normal_distribution<double> n(0.0, sigma);
    const orv::analysis::Options opt;
    int errors = 0, genie_errors = 0;
    std::vector<C> y(frame.size());
    for (int k = 0; k < packets; ++k) {
        for (size_t i = 0; i < y.size(); ++i) y[i] = frame[i] + C(n(g), n(g));
        const auto p = orv::analysis::receive_packets(y.data(), static_cast<int64_t>(y.size()), 1, opt, nullptr);
        bool ok = false;
        for (const auto& q : p) ok = ok || (q.fcs_ok.value_or(false) && q.length == kLength);
        errors += !ok;
        genie_errors += !genie_ok(y, *orv::analysis::rate_by_mbps(mbps));
    }
    return {snr_db, static_cast<double>(errors) / packets, static_cast<double>(genie_errors) / packets};
}

// The SNR where PER falls through 10 %, interpolated in log(PER); NAN when not crossed.
double snr_at_10(const std::vector<Point>& pts, bool genie) {
    for (size_t i = 1; i < pts.size(); ++i) {
        const double a = genie ? pts[i - 1].per_genie : pts[i - 1].per, b = genie ? pts[i].per_genie : pts[i].per;
        if (a >= 0.1 && b < 0.1) {
            const double la = std::log(std::max(a, 1e-4)), lb = std::log(std::max(b, 1e-4)), l = std::log(0.1);
            return pts[i - 1].snr_db + (pts[i].snr_db - pts[i - 1].snr_db) * (la - l) / (la - lb);
        }
    }
    return NAN;
}

}  // namespace

int main(int argc, char** argv) {
    const int packets = argc > 1 ? std::max(10, std::atoi(argv[1])) : 100;
    const double start[8] = {-1, 1, 2, 5, 8, 11, 15, 16};
    std::mt19937 g(2024);
    std::printf("PER of %d-byte PSDUs in AWGN, %d packets a point (receiver / genie)\n", kLength, packets);
    std::vector<std::array<double, 3>> summary;
    for (size_t r = 0; r < reftx::rates().size(); ++r) {
        const int mbps = reftx::rates()[r].mbps;
        std::vector<uint8_t> body(kLength - 28);
        for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(g());
        const std::vector<uint8_t> psdu = reftx::mac_frame(1, body);
        std::vector<C> frame(kLead, C(0, 0));
        const std::vector<C> f = reftx::frame(mbps, reftx::bits_of_bytes(psdu), kLength, 1, 0x5D);
        double power = 0;
        for (const C& v : f) power += std::norm(v);
        power /= static_cast<double>(f.size());
        frame.insert(frame.end(), f.begin(), f.end());
        frame.insert(frame.end(), 200, C(0, 0));
        std::vector<Point> pts;
        std::printf("%2d Mbit/s:", mbps);
        for (double snr = start[r]; snr < start[r] + 12; snr += 0.5) {
            pts.push_back(measure(frame, power, mbps, snr, packets, g));
            std::printf(" %.1f dB %.2f/%.2f", snr, pts.back().per, pts.back().per_genie);
            std::fflush(stdout);
            if (pts.size() >= 2 && pts.back().per == 0 && pts[pts.size() - 2].per == 0) break;
        }
        std::printf("\n");
        summary.push_back({static_cast<double>(mbps), snr_at_10(pts, false), snr_at_10(pts, true)});
    }
    std::printf("\n| Rate (Mbit/s) | SNR at 10 %% PER, receiver (dB) | genie (dB) | loss (dB) |\n|---:|---:|---:|---:|\n");
    for (const auto& s : summary) std::printf("| %.0f | %.1f | %.1f | %.1f |\n", s[0], s[1], s[2], s[1] - s[2]);
    return 0;
}
