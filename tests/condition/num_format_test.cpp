#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "num_format.h"
#include "support/readable_params.h"

namespace {

// The values every formatting check runs over: signed zeros, subnormals,
// rounding boundaries, huge and tiny exponents, specials, and random bits.
std::vector<double> interesting_values() {
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> v = {0.0,
                             -0.0,
                             1.0,
                             -1.0,
                             0.5,
                             0.0000005,
                             0.0000015,
                             0.0000025,
                             -0.0000005,
                             1e-7,
                             9.9999995e-7,
                             0.1234565,
                             123.4565,
                             6.0206,
                             80000000.0,
                             200000000.0,
                             9.99999999995,
                             9.999999999949999,
                             1e15,
                             1e16,
                             1e22,
                             1e23,
                             1e100,
                             1e300,
                             std::numeric_limits<double>::max(),
                             -std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::min(),
                             std::numeric_limits<double>::denorm_min(),
                             -std::numeric_limits<double>::denorm_min(),
                             2.2250738585072009e-308,
                             1e-310,
                             inf,
                             -inf,
                             std::nan(""),
                             -std::nan("")};
    std::mt19937_64 rng(12345);
    for (int k = 0; k < 20000; ++k) {
        uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        v.push_back(d);
    }
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (int k = 0; k < 20000; ++k) v.push_back(unit(rng) * std::pow(10.0, (k % 40) - 20));
    return v;
}

std::string printf_string(const char* fmt, double v) {
    std::vector<char> buf(512);
    int n = std::snprintf(buf.data(), buf.size(), fmt, v);
    return std::string(buf.data(), static_cast<size_t>(n));
}

std::string ours_fixed(double v, int precision, int width) {
    char buf[kFixedBufferSize];
    return std::string(buf, format_fixed(buf, v, precision, width));
}

std::string ours_sci(double v, int precision, int width) {
    char buf[64];
    return std::string(buf, format_sci(buf, v, precision, width));
}

struct FormatCase {
    const char* printf_format;
    bool fixed;
    int precision, width;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.printf_format; }

class FormatMatchesPrintf : public ::testing::TestWithParam<FormatCase> {};

// The file formats use "%f" (AWG header), "%15.10le" (CSV lines) and
// "%15.14lf" (round-error line); each must equal C-locale printf byte for byte.
TEST_P(FormatMatchesPrintf, OverManyValues) {
    const FormatCase& c = GetParam();
    ASSERT_NE(std::setlocale(LC_NUMERIC, "C"), nullptr);
    int mismatches = 0;
    for (double v : interesting_values()) {
        const std::string want = printf_string(c.printf_format, v);
        const std::string got = c.fixed ? ours_fixed(v, c.precision, c.width)
                                        : ours_sci(v, c.precision, c.width);
        if (want != got && ++mismatches <= 5)
            ADD_FAILURE() << c.printf_format << " of " << want << ": got " << got;
    }
    EXPECT_EQ(mismatches, 0);
}

INSTANTIATE_TEST_SUITE_P(FileFormats, FormatMatchesPrintf,
                         ::testing::Values(FormatCase{"%f", true, 6, 0},
                                           FormatCase{"%15.14lf", true, 14, 15},
                                           FormatCase{"%15.10le", false, 10, 15}), orv_test::PrintedName());

TEST(NumFormat, KnownSpellings) {
    EXPECT_EQ(ours_sci(0.0, 10, 15), "0.0000000000e+00");
    EXPECT_EQ(ours_sci(-0.0, 10, 15), "-0.0000000000e+00");
    EXPECT_EQ(ours_sci(1e-300, 10, 15), "1.0000000000e-300");
    EXPECT_EQ(ours_sci(std::nan(""), 10, 15), "            nan");
    EXPECT_EQ(ours_fixed(80000000.0, 6, 0), "80000000.000000");
    EXPECT_EQ(ours_fixed(10.0 * std::log10(4.0), 6, 0), "6.020600");
    char buf[24];
    EXPECT_EQ(std::string(buf, format_int(buf, 1187200)), "1187200");
    EXPECT_EQ(std::string(buf, format_int(buf, -5)), "-5");
}

// A program that switched LC_NUMERIC to a decimal-comma locale still gets ".".
TEST(NumFormat, IndependentOfGermanLocale) {
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr &&
        std::setlocale(LC_NUMERIC, "de_DE.utf8") == nullptr)
        GTEST_SKIP() << "de_DE.UTF-8 locale not installed";
    EXPECT_EQ(printf_string("%.1f", 1.5), "1,5");  // the locale really is active
    EXPECT_EQ(ours_fixed(1.5, 6, 0), "1.500000");
    EXPECT_EQ(ours_sci(-1.5, 10, 15), "-1.5000000000e+00");
    std::setlocale(LC_NUMERIC, "C");
}

}  // namespace

namespace {

// The CSV number's integer-based formatter against C-locale printf
// "%15.10le": random bit patterns over the whole range (subnormals, NaN,
// infinities), log-uniform waveform values, and the edges of its exact
// range: ties at the 12th digit, values rounding up to the next power of
// ten, powers of ten and their neighbours, the ends of the 128-bit range.
std::vector<double> csv_values() {
    std::vector<double> v = interesting_values();
    std::mt19937_64 rng(20261207);
    for (int k = 0; k < 300000; ++k) {
        uint64_t bits = rng();
        double x;
        std::memcpy(&x, &bits, sizeof x);
        v.push_back(x);
    }
    std::uniform_real_distribution<double> exponent(-12.0, 12.0);
    for (int k = 0; k < 700000; ++k) {
        const double x = std::pow(10.0, exponent(rng));
        v.push_back((k & 1) != 0 ? -x : x);
    }
    for (int e = -12; e <= 12; ++e) {
        const double p = std::pow(10.0, e);
        for (double x : {p, std::nextafter(p, 0.0), std::nextafter(p, 1e300), p * 9.99999999995,
                         p * 9.999999999949999, p * 9.99999999995000001})
            for (double s : {1.0, -1.0}) v.push_back(s * x);
    }
    // Exact ties (the 12th significant digit a 5 and nothing after it).
    for (double x : {12345678901.5, 12345678902.5, 99999999999.5, 10000000000.5, 50000000000.5,
                     0.5, 1.5, 2.5, 1.25, 3.0517578125e-05, 9.5367431640625e-07})
        for (double s : {1.0, -1.0}) v.push_back(s * x);
    for (int b = -80; b <= 60; ++b) v.push_back(std::ldexp(1.0, b));
    return v;
}

TEST(CsvNumber, IntegerFormatterMatchesPrintfOverManyValues) {
    ASSERT_NE(std::setlocale(LC_NUMERIC, "C"), nullptr);
    int mismatches = 0;
    size_t exact_path = 0;
    for (double x : csv_values()) {
        const std::string want = printf_string("%15.10le", x);
        char buf[64];
        const std::string got(buf, format_sci10(buf, x));
        if (want != got && ++mismatches <= 5) ADD_FAILURE() << want << ": got " << got;
        exact_path += std::fabs(x) >= 1e-9 && std::fabs(x) < 1e10 ? 1 : 0;
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_GT(exact_path, 500000u);  // the inputs cover the integer path's range well
}

}  // namespace
