// build_ppdu makes each DATA symbol where it lands (its transform in place,
// the guard interval and window edges from there) and may take the symbols'
// subcarrier values kept from an earlier build. Both must give the bits of
// the PPDU assembled from its fields built apart and added onto cleared
// samples: the training fields, SIGNAL and each DATA symbol of
// build_ofdm_symbol, laid with overlay_field.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "frame_coding.h"
#include "ofdm_symbol.h"
#include "ppdu.h"
#include "preamble.h"
#include "signal_field.h"

namespace {

struct BuildCase {
    const char* name;
    int32_t rate_index;
    int32_t length;
    int32_t os;
    int32_t L;  // transition length in samples
};

void PrintTo(const BuildCase& c, std::ostream* os) { *os << c.name; }

std::vector<uint8_t> psdu_of(int32_t length, uint32_t seed) {
    std::vector<uint8_t> p(static_cast<size_t>(length));
    for (auto& b : p) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>(seed >> 23);
    }
    return p;
}

struct Ppdu {
    std::vector<double> i, q;
};

// The fields built apart and added onto cleared samples.
Ppdu assembled(const BuildCase& c, const FrameRate& rate, const std::vector<uint8_t>& psdu,
               int32_t scrambler) {
    PpduLayout lay;
    EXPECT_EQ(ppdu_layout(&rate, c.length, c.os, c.L, &lay), 0);
    const int32_t os = c.os;
    Ppdu out{std::vector<double>(static_cast<size_t>(lay.span)), std::vector<double>(static_cast<size_t>(lay.span))};
    std::vector<double> seg_i(static_cast<size_t>(160 * os)), seg_q(static_cast<size_t>(160 * os));
    std::vector<double> ramp(static_cast<size_t>(c.L + 1));
    transition_ramp(c.L, ramp.data());
    double* at_i = out.i.data() + lay.lead;
    double* at_q = out.q.data() + lay.lead;
    const auto lay_field = [&](int32_t len, int32_t tail_from, int32_t head_to, int32_t at) {
        overlay_field(seg_i.data(), seg_q.data(), len, tail_from, head_to, c.L, ramp.data(), at_i + at,
                      at_q + at, false);
    };
    EXPECT_EQ(build_short_training(seg_i.data(), seg_q.data(), 0, os), 0);
    lay_field(160 * os, 0, 160 * os, 0);
    EXPECT_EQ(build_long_training(seg_i.data(), seg_q.data(), 0, os), 0);
    lay_field(160 * os, 32 * os, 128 * os, 160 * os);
    int32_t pilot = 0xFFFF;
    EXPECT_EQ(build_signal_symbol(os, rate.rate_index, c.length, &pilot, 0, seg_i.data(), seg_q.data()), 0);
    lay_field(80 * os, 16 * os, 64 * os, 320 * os);
    DataCoder coder;
    data_coder_start(&coder, &rate, psdu.data(), c.length, scrambler);
    int32_t bits[kMaxCbps];
    for (int32_t k = 0; k < lay.n_sym; ++k) {
        EXPECT_EQ(data_code_symbol(&coder, nullptr, nullptr, bits), 0);
        EXPECT_EQ(build_ofdm_symbol(os, bits, rate.mod_code, rate.n_cbps, rate.n_bpsc, &pilot, 0,
                                    seg_i.data(), seg_q.data()),
                  0);
        lay_field(80 * os, 16 * os, 64 * os, (400 + 80 * k) * os);
    }
    return out;
}

// build_ppdu into samples holding NaN (so a sample it leaves shows).
Ppdu built(const BuildCase& c, const FrameRate& rate, const uint8_t* psdu, int32_t scrambler,
           uint8_t* values, bool have_values) {
    PpduLayout lay;
    EXPECT_EQ(ppdu_layout(&rate, c.length, c.os, c.L, &lay), 0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Ppdu out{std::vector<double>(static_cast<size_t>(lay.span), nan),
             std::vector<double>(static_cast<size_t>(lay.span), nan)};
    std::vector<double> scratch(static_cast<size_t>(ppdu_scratch_size(c.os)));
    EXPECT_EQ(build_ppdu(c.os, c.L, &rate, psdu, c.length, scrambler, scratch.data(), out.i.data(),
                         out.q.data(), values, have_values),
              0);
    return out;
}

bool same_bits(const Ppdu& a, const Ppdu& b) {
    return a.i.size() == b.i.size() &&
           std::memcmp(a.i.data(), b.i.data(), a.i.size() * sizeof(double)) == 0 &&
           std::memcmp(a.q.data(), b.q.data(), a.q.size() * sizeof(double)) == 0;
}

class PpduBuild : public ::testing::TestWithParam<BuildCase> {};

TEST_P(PpduBuild, SameBitsAsTheFieldsAddedOntoZeros) {
    const BuildCase& c = GetParam();
    FrameRate rate;
    ASSERT_EQ(frame_rate(c.rate_index, &rate), 0);
    const std::vector<uint8_t> psdu = psdu_of(c.length, 17);
    const Ppdu ref = assembled(c, rate, psdu, 93);
    EXPECT_TRUE(same_bits(built(c, rate, psdu.data(), 93, nullptr, false), ref));

    // Coded once with the values kept, then built from them alone.
    const int32_t n_sym = frame_data_symbols(c.length, rate.n_dbps);
    std::vector<uint8_t> values(48 * static_cast<size_t>(n_sym));
    EXPECT_TRUE(same_bits(built(c, rate, psdu.data(), 93, values.data(), false), ref));
    const std::vector<uint8_t> other = psdu_of(c.length, 99);
    EXPECT_TRUE(same_bits(built(c, rate, other.data(), 5, values.data(), true), ref));
    // Another packet's values give another PPDU.
    std::vector<uint8_t> other_values(values.size());
    built(c, rate, other.data(), 5, other_values.data(), false);
    EXPECT_FALSE(same_bits(built(c, rate, psdu.data(), 93, other_values.data(), true), ref));
}

// Every rate; os with the radix-2 and the chirp-z transform; no window (L 0
// and 1), even and odd transition lengths, and the longest (16 os).
INSTANTIATE_TEST_SUITE_P(
    Cases, PpduBuild,
    ::testing::Values(BuildCase{"r54_os8_L16", 7, 1028, 8, 16}, BuildCase{"r6_os1_L2", 0, 1, 1, 2},
                      BuildCase{"r9_os1_no_window", 1, 100, 1, 0},
                      BuildCase{"r12_os2_L3", 2, 333, 2, 3}, BuildCase{"r18_os8_L7", 3, 64, 8, 7},
                      BuildCase{"r24_os5_L1", 4, 250, 5, 1}, BuildCase{"r36_os3_L5", 5, 777, 3, 5},
                      BuildCase{"r48_os4_L64", 6, 4095, 4, 64}, BuildCase{"r6_os2_L32", 0, 40, 2, 32},
                      BuildCase{"r54_os10_L20", 7, 200, 10, 20}),
    [](const ::testing::TestParamInfo<BuildCase>& i) { return std::string(i.param.name); });

}  // namespace
