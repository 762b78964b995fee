#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "measure.h"
#include "support/readable_params.h"

namespace {

struct CrestCase {
    const char* name;
    std::vector<double> i, q;
    double crest_i, crest_q, papr;
};

void PrintTo(const CrestCase& c, std::ostream* os) { *os << c.name; }

class CrestFactors : public ::testing::TestWithParam<CrestCase> {};

TEST_P(CrestFactors, AsPowerRatiosInDb) {
    const CrestCase& c = GetParam();
    double ci = -1, cq = -1, pa = -1;
    EXPECT_EQ(measure_crest_factors(static_cast<int32_t>(c.i.size()), c.i.data(), c.q.data(), &ci,
                                    &cq, &pa),
              0);
    EXPECT_NEAR(ci, c.crest_i, 1e-12) << c.name;
    EXPECT_NEAR(cq, c.crest_q, 1e-12) << c.name;
    EXPECT_NEAR(pa, c.papr, 1e-12) << c.name;
}

const double k6dB = 10.0 * std::log10(4.0);

INSTANTIATE_TEST_SUITE_P(
    Bursts, CrestFactors,
    ::testing::Values(
        CrestCase{"silent", {0, 0, 0, 0}, {0, 0, 0, 0}, 0, 0, 0},
        CrestCase{"impulse on I only", {1, 0, 0, 0}, {0, 0, 0, 0}, k6dB, 0, k6dB},
        // Constant envelope: a complex tone at fs/4 has PAPR 0 dB, each channel 3 dB.
        CrestCase{"constant envelope", {1, 0, -1, 0}, {0, 1, 0, -1}, 10 * std::log10(2.0),
                  10 * std::log10(2.0), 0},
        // The peak starts from sample 0 and sample 0 still counts in the mean.
        CrestCase{"peak at sample 0", {2, 1, 1, 1}, {0, 0, 0, 0}, 10 * std::log10(4.0 / 1.75), 0,
                  10 * std::log10(4.0 / 1.75)},
        // Mean power at most 1e-12 reads as no power (ratio 1).
        CrestCase{"tiny channel", {1e-7, 0}, {1, 1}, 0, 0, 0}), orv_test::PrintedName());

TEST(CrestFactors, EmptyBurstMeasuresZero) {
    double ci = -1, cq = -1, pa = -1;
    EXPECT_EQ(measure_crest_factors(0, nullptr, nullptr, &ci, &cq, &pa), 0);
    EXPECT_EQ(ci, 0.0);
    EXPECT_EQ(cq, 0.0);
    EXPECT_EQ(pa, 0.0);
}

TEST(MeasurePeak, LargestMagnitudeIgnoringNaN) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> x = {0.1, -0.7, nan, 0.69};
    double peak = -1;
    measure_peak(x.data(), 4, &peak);
    EXPECT_EQ(peak, 0.7);
    measure_peak(x.data(), 0, &peak);
    EXPECT_EQ(peak, 0.0);
    std::vector<double> only_nan = {nan, nan};
    measure_peak(only_nan.data(), 2, &peak);
    EXPECT_EQ(peak, 0.0);
    // The peak at every position of every length, lanes and tail alike, with NaN around it.
    for (int32_t n = 1; n <= 11; ++n) {
        for (int32_t at = 0; at < n; ++at) {
            std::vector<double> y(n, -0.5);
            for (int32_t k = at % 3; k < n; k += 3) y[k] = nan;
            y[at] = -0.875;
            measure_peak(y.data(), n, &peak);
            EXPECT_EQ(peak, 0.875) << n << " " << at;
        }
    }
}

struct QuantiseCase {
    const char* name;
    double scale;
    std::vector<double> x;
    std::vector<int32_t> codes;
    int32_t result;
};

void PrintTo(const QuantiseCase& c, std::ostream* os) { *os << c.name; }

class Quantise : public ::testing::TestWithParam<QuantiseCase> {};

TEST_P(Quantise, OffsetBinaryCodes) {
    const QuantiseCase& c = GetParam();
    const int32_t n = static_cast<int32_t>(c.x.size());
    std::vector<double> work(c.x.size());
    std::vector<int32_t> codes(c.x.size(), -12345);
    ::testing::internal::CaptureStdout();
    int32_t r = quantise_channel(work.data(), c.x.data(), codes.data(), n, c.scale, 14);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, c.result) << c.name;
    EXPECT_EQ(codes, c.codes) << c.name;
    // The diagnostic appears once per call, exactly when a value was out of range.
    const std::string head = "\n!!!Round ERROR!!! ";
    size_t count = 0;
    for (size_t pos = out.find(head); pos != std::string::npos; pos = out.find(head, pos + 1))
        ++count;
    EXPECT_EQ(count, c.result == 0 ? 0u : 1u) << c.name << ": " << out;
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Cases, Quantise,
    ::testing::Values(
        QuantiseCase{"scale 0.1 example", 0.1, {0.1, 0.05, 0, -0.05, -0.1},
                     {16382, 12287, 8191, 4095, 0}, 0},
        QuantiseCase{"silent channel", 0.0, {0, 0, 0}, {8191, 8191, 8191}, 0},
        QuantiseCase{"peak of order 1", 1.0, {1.0, -1.0}, {16382, 0}, 0},
        QuantiseCase{"saturated and NaN", 0.5, {0.25, 0.75, -2.0, kNaN, 0.0},
                     {12287, 16383, 0, 8191, 8191}, 1},
        QuantiseCase{"noise over a silent burst", 0.0, {1e-3, -1e-3}, {16383, 0}, 1}), orv_test::PrintedName());

// The codes, block by block and lane by lane, are those of the formula taken
// one sample at a time: divide, add 1, halve, times the top code, truncate;
// saturated outside full scale, mid-scale for NaN. Lengths around the
// quantiser's block and lane widths, a few values outside in some blocks.
TEST(Quantise, CodesAreTheFormulaSampleBySample) {
    std::mt19937 gen(14);
    std::uniform_real_distribution<double> u(-0.3, 0.3);
    for (int32_t n : {1, 3, 4, 5, 511, 512, 513, 1030}) {
        std::vector<double> x(static_cast<size_t>(n));
        for (double& v : x) v = u(gen);
        if (n > 600) {
            x[700] = 0.31;
            x[701] = kNaN;
            x[702] = -0.4;
        }
        std::vector<int32_t> codes(x.size(), -1);
        quantise_codes(x.data(), codes.data(), n, 0.3, 14);
        const double divisor = 0.3 + 1e-12, top = 16383.0;
        for (int32_t k = 0; k < n; ++k) {
            const double w = x[k] / divisor;
            const int32_t want = std::isnan(w) ? 8191
                                 : w > 1.0     ? 16383
                                 : w < -1.0    ? 0
                                               : static_cast<int32_t>(((w + 1.0) * 0.5) * top);
            ASSERT_EQ(codes[k], want) << "n " << n << " k " << k;
        }
    }
}

TEST(Quantise, DiagnosticLineIsExact) {
    std::vector<double> x = {0.5, 3.0};
    std::vector<double> work(2);
    std::vector<int32_t> codes(2);
    ::testing::internal::CaptureStdout();
    quantise_channel(work.data(), x.data(), codes.data(), 2, 1.0, 14);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "\n!!!Round ERROR!!! 1.00000000000000: 2.99999999999700\n");
}

// The quantiser as four separate passes over a work array, each storing its
// double result before the next reads it; out-of-range values saturate.
std::vector<int32_t> reference_quantise(const std::vector<double>& x, double scale) {
    const size_t n = x.size();
    std::vector<double> work(n);
    for (size_t k = 0; k < n; ++k) work[k] = x[k] / (scale + 1e-12);
    std::vector<int32_t> codes(n);
    std::vector<bool> bad(n);
    for (size_t k = 0; k < n; ++k) bad[k] = !(work[k] >= -1.0 && work[k] <= 1.0);
    for (size_t k = 0; k < n; ++k) work[k] = work[k] + 1.0;
    for (size_t k = 0; k < n; ++k) work[k] = work[k] * 0.5;
    for (size_t k = 0; k < n; ++k) {
        work[k] = work[k] * 16383.0;
        if (!bad[k]) codes[k] = static_cast<int32_t>(work[k]);
        else codes[k] = std::isnan(x[k] / (scale + 1e-12)) ? 8191 : (x[k] > 0 ? 16383 : 0);
    }
    return codes;
}

TEST(Quantise, MatchesFourPassReferenceBitForBit) {
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (double scale : {1.0, 0.1, 0.0123456789, 3.3e-3, 1e-9}) {
        for (int32_t n : {1, 511, 512, 513, 5000}) {
            std::vector<double> x(static_cast<size_t>(n));
            for (auto& v : x) v = u(rng) * scale;
            x[0] = scale;  // the peak itself
            if (n > 3) {
                x[1] = -scale;
                x[2] = 0.0;
                x[3] = -0.0;
            }
            std::vector<double> work(x.size());
            std::vector<int32_t> codes(x.size());
            ASSERT_EQ(quantise_channel(work.data(), x.data(), codes.data(), n, scale, 14), 0);
            ASSERT_EQ(codes, reference_quantise(x, scale)) << "scale " << scale << " n " << n;
            // Out-of-range values in one block among in-range blocks.
            if (n == 5000) {
                x[700] = 2 * scale;
                x[4000] = std::numeric_limits<double>::quiet_NaN();
                ::testing::internal::CaptureStdout();
                EXPECT_EQ(quantise_channel(work.data(), x.data(), codes.data(), n, scale, 14), 1);
                ::testing::internal::GetCapturedStdout();
                EXPECT_EQ(codes, reference_quantise(x, scale));
            }
        }
    }
}

}  // namespace
