// The 17.3.9 measurements over every packet: centre-frequency leakage per packet, and
// the spectrum mask and CCDF over all packets' samples.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "analysis.h"
#include "packet_spectrum.h"
#include "reference_tx.h"
#include "rx_packets.h"

namespace {

using C = std::complex<double>;
using orv::analysis::PacketResult;

// count copies of one 200-byte frame at rate mbps, 10 us apart, at 20 MHz times os.
std::vector<C> frames(int count, int mbps, int os) {
    const std::vector<uint8_t> psdu = reftx::mac_frame(1, reftx::body(172, 9));
    const std::vector<C> f = reftx::frame(mbps, reftx::bits_of_bytes(psdu), static_cast<int>(psdu.size()), os);
    std::vector<C> x(static_cast<size_t>(200 * os), C(0, 0));
    for (int k = 0; k < count; ++k) {
        x.insert(x.end(), f.begin(), f.end());
        x.insert(x.end(), static_cast<size_t>(200 * os), C(0, 0));
    }
    return x;
}

double mean_power(const std::vector<C>& f) {
    double p = 0;
    for (const C& v : f) p += std::norm(v);
    return p / static_cast<double>(f.size());
}

struct LeakCase {
    std::string name;
    double leak_db;  // carrier leak against the packet's mean power; NAN: none
    double cfo_hz;
};
void PrintTo(const LeakCase& c, std::ostream* os) { *os << c.name; }

class PacketLeakage : public ::testing::TestWithParam<LeakCase> {};

// A constant added at baseband before the carrier offset is a leak at the carrier: the
// DC bin after the carrier is removed, leak power over the packet's power.
TEST_P(PacketLeakage, MeasuredPerPacket) {
    const LeakCase& c = GetParam();
    std::vector<C> x = frames(3, 24, 1);
    const std::vector<C> one = reftx::frame(24, reftx::bits_of_bytes(reftx::mac_frame(1, reftx::body(172, 9))), 200, 1);
    const double p = mean_power(one);
    const C leak = std::isnan(c.leak_db) ? C(0, 0) : C(std::sqrt(p * std::pow(10.0, c.leak_db / 10.0)), 0);
    for (size_t n = 0; n < x.size(); ++n)
        if (std::norm(x[n]) > 0) x[n] = (x[n] + leak) * std::polar(1.0, 2.0 * std::numbers::pi * c.cfo_hz * static_cast<double>(n) / 20e6);
    const std::vector<PacketResult> packets =
        orv::analysis::receive_packets(x.data(), static_cast<int64_t>(x.size()), 1, orv::analysis::Options{}, nullptr);
    ASSERT_EQ(packets.size(), 3u);
    for (const PacketResult& q : packets) {
        ASSERT_TRUE(q.leakage_db);
        if (std::isnan(c.leak_db)) EXPECT_LT(*q.leakage_db, -60.0);
        else EXPECT_NEAR(*q.leakage_db, c.leak_db, 0.5);
    }
    const orv::analysis::PacketSummary s = orv::analysis::summarise(packets, std::nullopt);
    ASSERT_TRUE(s.leakage_db);
    EXPECT_EQ(s.leakage_failures, !std::isnan(c.leak_db) && c.leak_db > -15.0 ? 3 : 0);
}

INSTANTIATE_TEST_SUITE_P(Leaks, PacketLeakage,
                         ::testing::Values(LeakCase{"None", NAN, 1e5}, LeakCase{"Minus25dB_AtPlus1MHz", -25.0, 1e6},
                                           LeakCase{"Minus10dB_AtMinus2MHz", -10.0, -2e6},
                                           LeakCase{"Minus18dB_At300kHz", -18.0, 3e5}),
                         [](const ::testing::TestParamInfo<LeakCase>& i) { return i.param.name; });

struct SpanCase {
    std::string name;
    int mbps, length, os;
    bool signal_ok;
    int64_t start, n;
    int64_t expected_begin, expected_end;  // -1: no span
};
void PrintTo(const SpanCase& c, std::ostream* os) { *os << c.name; }

class PacketSpans : public ::testing::TestWithParam<SpanCase> {};

TEST_P(PacketSpans, PreambleSignalAndAnnouncedSymbols) {
    const SpanCase& c = GetParam();
    PacketResult p;
    p.rate_mbps = c.mbps;
    p.length = c.length;
    p.signal_ok = c.signal_ok;
    p.start = c.start;
    const auto spans = orv::analysis::packet_spans({p}, c.os, c.n);
    if (c.expected_begin < 0) {
        EXPECT_TRUE(spans.empty());
        return;
    }
    ASSERT_EQ(spans.size(), 1u);
    EXPECT_EQ(spans[0].first, c.expected_begin);
    EXPECT_EQ(spans[0].second, c.expected_end);
}

// 100 bytes at 6 Mbit/s: (16 + 800 + 6) / 24 -> 35 symbols; at 54: 822 / 216 -> 4.
INSTANTIATE_TEST_SUITE_P(
    Spans, PacketSpans,
    ::testing::Values(SpanCase{"Rate6_100Bytes", 6, 100, 1, true, 1000, 100000, 1000, 1000 + 400 + 80 * 35},
                      SpanCase{"Rate54_100Bytes_Os4", 54, 100, 4, true, 0, 100000, 0, (400 + 80 * 4) * 4},
                      SpanCase{"BadSignal_PreambleAndSignalOnly", 0, 0, 1, false, 50, 100000, 50, 450},
                      SpanCase{"CutByTheFileEnd", 6, 100, 1, true, 1000, 2000, 1000, 2000},
                      SpanCase{"StartsBeyondTheFile", 6, 100, 1, true, 5000, 2000, -1, -1}),
    [](const ::testing::TestParamInfo<SpanCase>& i) { return i.param.name; });

// One packet: the mask over the packets is the first burst's, the CCDF too within half a bin
// of the summary's power histogram. Three identical packets: the same levels, the mask's
// margin within a fraction of a dB.
TEST(PacketSpectrum, MaskAndCcdfOverThePackets) {
    for (int count : {1, 3}) {
        const std::vector<C> x = frames(count, 54, 4);
        std::ostringstream csv;
        csv.precision(12);
        for (const C& v : x) csv << v.real() << "," << v.imag() << "\n";
        std::istringstream in(csv.str());
        orv::analysis::Options opt;
        opt.oversample = 4;
        const orv::analysis::Result r = orv::analysis::analyse_stream(in, "packets.csv", opt);
        ASSERT_EQ(r.packets.size(), static_cast<size_t>(count));
        ASSERT_TRUE(r.summary.mask && r.summary.mask->margin_db && r.mask.margin_db) << count;
        ASSERT_EQ(r.summary.ccdf.size(), 4u);
        ASSERT_EQ(r.ccdf.size(), 4u);
        const double tol = count == 1 ? 1e-9 : 0.5;
        EXPECT_NEAR(*r.summary.mask->margin_db, *r.mask.margin_db, tol) << count;
        const double half_bin = orv::analysis::PowerHistogram::kBinDb / 2 + 1e-9;
        for (size_t i = 0; i < 4; ++i) EXPECT_NEAR(r.summary.ccdf[i].level_db, r.ccdf[i].level_db, count == 1 ? half_bin : 0.3) << i;
    }
}

}  // namespace
