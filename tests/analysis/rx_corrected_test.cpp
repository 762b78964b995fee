// The carrier-offset correction of one FFT window, its products written out, against the plain
// loop over std::complex (eight phasor chains, each stepped by e^{j 8 w}): the same bits inside x,
// across either end and outside it.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "rx.h"

namespace {

namespace rx = orv::analysis::rx;
using C = std::complex<double>;

// The window as the compiler's complex arithmetic gives it: zero outside x; sample i's phasor is
// ph step^i for i < 8 (a chain of products) and sample i - 8's times e^{j 8 w} after.
std::vector<C> plain_corrected(const std::vector<C>& x, const rx::Sync& s, int64_t from) {
    const double w = -2.0 * 3.141592653589793 * s.cfo_hz / 20e6;
    const C step = std::polar(1.0, w), step8 = std::polar(1.0, 8.0 * w);
    C q[8];
    q[0] = std::polar(1.0, w * static_cast<double>(from - s.t1));
    for (int k = 1; k < 8; ++k) q[k] = q[k - 1] * step;
    std::vector<C> out(64);
    for (int i = 0; i < 64; ++i) {
        const int64_t k = from + i;
        C v = k >= 0 && k < static_cast<int64_t>(x.size()) ? x[static_cast<size_t>(k)] : C(0, 0);
        if (s.inverted) v = C(v.imag(), v.real());
        out[static_cast<size_t>(i)] = v * q[i % 8];
        q[i % 8] *= step8;
    }
    return out;
}

struct WindowCase {
    std::string name;
    int64_t from;  // window start in x (x holds 400 samples)
    int64_t t1;
    double cfo_hz;
    bool inverted;
};
void PrintTo(const WindowCase& c, std::ostream* os) { *os << c.name; }

class CorrectedWindow : public ::testing::TestWithParam<WindowCase> {};

TEST_P(CorrectedWindow, SameBitsAsThePlainLoop) {
    const WindowCase& c = GetParam();
    std::vector<C> x(400);
    uint32_t r = 11;
    const auto next = [&r] {
        r = r * 1664525u + 1013904223u;
        return (static_cast<double>(r >> 8) / 16777216.0 - 0.5) * std::ldexp(1.0, static_cast<int>(r % 20) - 10);
    };
    for (C& v : x) v = C(next(), next());
    rx::Sync s;
    s.t1 = c.t1;
    s.cfo_hz = c.cfo_hz;
    s.inverted = c.inverted;
    std::vector<C> got(64, C(99, 99));
    rx::corrected(x, s, c.from, got.data());
    const std::vector<C> want = plain_corrected(x, s, c.from);
    for (size_t i = 0; i < 64; ++i) {
        EXPECT_EQ(std::memcmp(&got[i], &want[i], sizeof(C)), 0) << "sample " << i << ": " << got[i] << " against " << want[i];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Windows, CorrectedWindow,
    ::testing::Values(WindowCase{"Inside_NoOffset", 100, 90, 0.0, false}, WindowCase{"Inside_Plus123kHz", 100, 90, 123.4e3, false},
                      WindowCase{"Inside_Minus9MHz_Inverted", 200, 250, -9.1e6, true},
                      WindowCase{"AtTheStart", 0, 16, 47e3, false}, WindowCase{"AtTheEnd_Inverted", 336, 300, -2.5e6, true},
                      WindowCase{"AcrossTheStart", -20, 0, 310e3, false}, WindowCase{"AcrossTheEnd_Inverted", 350, 200, 5e5, true},
                      WindowCase{"BeforeX", -200, -150, 1e6, false}, WindowCase{"AfterX", 450, 100, -1e6, true},
                      WindowCase{"FarFromT1", 300, -40000, 8.75e6, false}),
    [](const ::testing::TestParamInfo<WindowCase>& i) { return i.param.name; });

// A packet's steps are kept for the next window: a window of another offset (also 0 against -0,
// whose steps differ in the sign of a zero) gets its own.
TEST(CorrectedWindows, EachOffsetGetsItsOwnSteps) {
    std::vector<C> x(400);
    for (size_t n = 0; n < x.size(); ++n) x[n] = C(std::cos(0.1 * static_cast<double>(n)), std::sin(0.23 * static_cast<double>(n)));
    for (const double cfo : {123e3, -4e6, 123e3, 0.0, -0.0, 0.0, 7.5e6}) {
        rx::Sync s;
        s.t1 = 40;
        s.cfo_hz = cfo;
        std::vector<C> got(64);
        rx::corrected(x, s, 120, got.data());
        const std::vector<C> want = plain_corrected(x, s, 120);
        for (size_t i = 0; i < 64; ++i)
            EXPECT_EQ(std::memcmp(&got[i], &want[i], sizeof(C)), 0) << cfo << " Hz, sample " << i << ": " << got[i] << " against " << want[i];
    }
}

// A window's subcarriers -26..26, transformed in the transform's own buffers, against the
// corrected window copied through run() and the backoff ramp taken out by complex products.
TEST_P(CorrectedWindow, SubcarriersSameBitsAsTheCopyingTransform) {
    const WindowCase& c = GetParam();
    std::vector<C> x(400);
    for (size_t n = 0; n < x.size(); ++n) x[n] = std::polar(1.0 + 0.001 * static_cast<double>(n % 17), 0.37 * static_cast<double>(n * n % 101));
    rx::Sync s;
    s.t1 = c.t1;
    s.cfo_hz = c.cfo_hz;
    s.inverted = c.inverted;
    orv::analysis::ForwardFft fft(64), other(64);
    const std::array<C, 53> got = rx::subcarriers(x, s, c.from, fft);
    std::vector<C> in(64), bins(64);
    rx::corrected(x, s, c.from, in.data());
    other.run(in.data(), bins.data());
    for (int k = -26; k <= 26; ++k) {
        const C want = bins[static_cast<size_t>((k + 64) % 64)] * std::polar(1.0, 2.0 * 3.141592653589793 * k * rx::kBackoff / 64.0);
        const C v = got[static_cast<size_t>(k + 26)];
        EXPECT_EQ(std::memcmp(&v, &want, sizeof(C)), 0) << "subcarrier " << k << ": " << v << " against " << want;
    }
}

}  // namespace
