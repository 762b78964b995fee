// The DATA field and the whole packet of the worked example of IEEE Std
// 802.11a-1999 Annex G (100 octets at 36 Mbit/s, scrambler state 1011101).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "frame_coding.h"
#include "ppdu.h"
#include "synth/reference/annex_g.h"

namespace {

constexpr int32_t kRate36 = 5;
constexpr int32_t kAnnexScrambler = 0x5D;  // 1011101, x1 first

// Unpacks octets packed first bit most significant.
std::vector<int32_t> unpack(const unsigned char* octets, size_t count) {
    std::vector<int32_t> bits;
    for (size_t k = 0; k < count; ++k)
        for (int b = 7; b >= 0; --b) bits.push_back((octets[k] >> b) & 1);
    return bits;
}

std::string text(const std::vector<int32_t>& bits) {
    std::string s;
    for (int32_t b : bits) s += static_cast<char>('0' + b);
    return s;
}

// The coder of the example, with every symbol's bits before and after each step.
struct CodedExample {
    std::vector<std::vector<int32_t>> plain, scrambled, coded, interleaved;
};

CodedExample code_example() {
    FrameRate rate;
    EXPECT_EQ(frame_rate(kRate36, &rate), 0);
    DataCoder c;
    data_coder_start(&c, &rate, annex_g::kPsdu, 100, kAnnexScrambler);
    CodedExample ex;
    for (int32_t k = 0; k < c.n_sym; ++k) {
        std::vector<int32_t> plain(rate.n_dbps), mixed(rate.n_dbps), coded(rate.n_cbps),
            inter(rate.n_cbps);
        data_symbol_bits(&c, plain.data());
        EXPECT_EQ(data_code_symbol(&c, mixed.data(), coded.data(), inter.data()), 0);
        ex.plain.push_back(plain);
        ex.scrambled.push_back(mixed);
        ex.coded.push_back(coded);
        ex.interleaved.push_back(inter);
    }
    EXPECT_EQ(data_code_symbol(&c, nullptr, nullptr, nullptr), 1) << "six symbols only";
    return ex;
}

TEST(FrameAnnexG, SixSymbolsOf144Bits) {
    FrameRate rate;
    ASSERT_EQ(frame_rate(kRate36, &rate), 0);
    EXPECT_EQ(rate.n_dbps, 144);
    EXPECT_EQ(rate.n_cbps, 192);
    EXPECT_EQ(frame_data_symbols(100, rate.n_dbps), 6);  // ceil(822 / 144)
    EXPECT_EQ(frame_rate(8, &rate), 1);
    EXPECT_EQ(frame_rate(-1, &rate), 1);
}

struct BitTable {
    const char* name;
    const unsigned char* octets;
    bool last_symbol;
    std::vector<std::vector<int32_t>> CodedExample::*stage;
};

void PrintTo(const BitTable& t, std::ostream* os) { *os << t.name; }

class FrameAnnexGBits : public ::testing::TestWithParam<BitTable> {};

TEST_P(FrameAnnexGBits, EqualTheAnnex) {
    const BitTable& t = GetParam();
    const CodedExample ex = code_example();
    ASSERT_EQ(ex.plain.size(), 6u);
    const auto& symbols = ex.*t.stage;
    const std::vector<int32_t>& got = t.last_symbol ? symbols.back() : symbols.front();
    EXPECT_EQ(text(got), text(unpack(t.octets, got.size() / 8)));
}

INSTANTIATE_TEST_SUITE_P(
    Tables, FrameAnnexGBits,
    ::testing::Values(
        BitTable{"DataFirst", annex_g::kDataBitsFirst, false, &CodedExample::plain},
        BitTable{"DataLast", annex_g::kDataBitsLast, true, &CodedExample::plain},
        BitTable{"ScrambledFirst", annex_g::kScrambledFirst, false, &CodedExample::scrambled},
        BitTable{"ScrambledLast", annex_g::kScrambledLast, true, &CodedExample::scrambled},
        BitTable{"CodedFirst", annex_g::kCodedFirst, false, &CodedExample::coded},
        BitTable{"InterleavedFirst", annex_g::kInterleavedFirst, false,
                 &CodedExample::interleaved}),
    [](const ::testing::TestParamInfo<BitTable>& p) { return std::string(p.param.name); });

// The scrambler alone: from the all-ones state it repeats the 127-bit
// sequence listed in 17.3.5.4.
TEST(FrameScrambler, AllOnesStateGivesTheListedSequence) {
    const std::string listed =
        "00001110" "11110010" "11001001" "00000010" "00100110" "00101110" "10110110"
        "00001100" "11010100" "11100111" "10110100" "00101010" "11111010" "01010001"
        "10111000" "1111111";
    ASSERT_EQ(listed.size(), 127u);
    std::vector<int32_t> zeros(2 * 127, 0), out(2 * 127);
    int32_t state = 0x7F;
    scramble_bits(2 * 127, zeros.data(), out.data(), &state);
    const std::string got = text(out);
    EXPECT_EQ(got.substr(0, 127), listed);
    EXPECT_EQ(got.substr(127), listed) << "period 127";
    EXPECT_EQ(state, 0x7F);
}

// The whole packet at 20 MS/s with the 100 ns window (L = 2): 881 samples to
// the annex's three decimals.
TEST(FrameAnnexG, WholePacketEqualsTheAnnexTimeDomain) {
    FrameRate rate;
    ASSERT_EQ(frame_rate(kRate36, &rate), 0);
    PpduLayout lay;
    ASSERT_EQ(ppdu_layout(&rate, 100, 1, 2, &lay), 0);
    ASSERT_EQ(lay.lead, 0);
    ASSERT_EQ(lay.span, 881);
    std::vector<double> scratch(ppdu_scratch_size(1)), i(lay.span), q(lay.span);
    ASSERT_EQ(build_ppdu(1, 2, &rate, annex_g::kPsdu, 100, kAnnexScrambler, scratch.data(),
                         i.data(), q.data()),
              0);
    int32_t wrong = 0;
    for (int32_t n = 0; n < lay.span; ++n) {
        // Printed to three decimals: within half a unit of the last place.
        const bool ok = std::fabs(i[n] - annex_g::kPacket[n][0]) <= 0.0005 + 1e-9 &&
                        std::fabs(q[n] - annex_g::kPacket[n][1]) <= 0.0005 + 1e-9;
        if (!ok && ++wrong <= 5)
            ADD_FAILURE() << "sample " << n << ": " << i[n] << ", " << q[n] << " vs "
                          << annex_g::kPacket[n][0] << ", " << annex_g::kPacket[n][1];
    }
    EXPECT_EQ(wrong, 0);
}

}  // namespace

namespace {

// build_ppdu writes its span and nothing around it, for even and odd
// transition lengths (a write outside, even of +0, turns a signalling NaN quiet).
TEST(FramePpdu, WritesOnlyItsSpan) {
    FrameRate rate;
    ASSERT_EQ(frame_rate(2, &rate), 0);
    const double guard = std::numeric_limits<double>::signaling_NaN();
    for (int32_t os : {1, 4}) {
        for (int32_t L : {0, 1, 2, 3, 8, 16 * os}) {
            SCOPED_TRACE("os " + std::to_string(os) + ", L " + std::to_string(L));
            PpduLayout lay;
            ASSERT_EQ(ppdu_layout(&rate, 20, os, L, &lay), 0);
            EXPECT_EQ(lay.span, lay.lead + lay.core + (L < 2 ? 0 : L / 2));
            std::vector<double> scratch(ppdu_scratch_size(os));
            std::vector<double> i(lay.span + 2, guard), q(lay.span + 2, guard);
            ASSERT_EQ(build_ppdu(os, L, &rate, annex_g::kPsdu, 20, 93, scratch.data(),
                                 i.data() + 1, q.data() + 1),
                      0);
            for (const auto* v : {&i, &q}) {
                EXPECT_EQ(std::memcmp(&v->front(), &guard, sizeof guard), 0);
                EXPECT_EQ(std::memcmp(&v->back(), &guard, sizeof guard), 0);
            }
            // The first and last samples of the span carry the ramps (nonzero).
            if (L >= 2) {
                EXPECT_NE(i[1], 0.0);
                EXPECT_NE(i[lay.span], 0.0);
            }
        }
    }
}

}  // namespace
