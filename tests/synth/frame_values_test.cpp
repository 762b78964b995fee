// data_code_values codes a DATA symbol straight into its subcarrier values:
// for every rate, PSDU length and scrambler state they must be the values
// symbol_values makes of data_code_symbol's interleaved bits, symbol by
// symbol (the encoder's register carried across symbols), and both coders
// must end after the same N_SYM symbols.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "frame_coding.h"
#include "ofdm_symbol.h"

namespace {

const char* const kRateNames[8] = {"6", "9", "12", "18", "24", "36", "48", "54"};

class FrameValues : public ::testing::TestWithParam<int32_t> {};

TEST_P(FrameValues, EqualTheInterleavedBitsMapped) {
    FrameRate rate;
    ASSERT_EQ(frame_rate(GetParam(), &rate), 0);
    for (int32_t length : {1, 2, 27, 100, 1028, 4095}) {
        for (int32_t scrambler : {1, 93, 127}) {
            std::vector<uint8_t> psdu(static_cast<size_t>(length));
            for (size_t j = 0; j < psdu.size(); ++j)
                psdu[j] = static_cast<uint8_t>(j * 131 + static_cast<size_t>(scrambler) * 7 + 1);
            DataCoder by_bits, by_values;
            data_coder_start(&by_bits, &rate, psdu.data(), length, scrambler);
            data_coder_start(&by_values, &rate, psdu.data(), length, scrambler);
            int32_t bits[kMaxCbps];
            int32_t differing = 0;
            for (int32_t k = 0; k < by_bits.n_sym; ++k) {
                ASSERT_EQ(data_code_symbol(&by_bits, nullptr, nullptr, bits), 0);
                uint8_t want[48], got[48];
                symbol_values(bits, rate.mod_code, rate.n_cbps, want);
                ASSERT_EQ(data_code_values(&by_values, got), 0);
                for (int32_t i = 0; i < 48; ++i) differing += want[i] != got[i] ? 1 : 0;
            }
            EXPECT_EQ(differing, 0) << "length " << length << " scrambler " << scrambler;
            uint8_t spare[48];
            EXPECT_EQ(data_code_values(&by_values, spare), 1) << "past N_SYM";
            EXPECT_EQ(data_code_symbol(&by_bits, nullptr, nullptr, bits), 1);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, FrameValues, ::testing::Range(0, 8),
                         [](const ::testing::TestParamInfo<int32_t>& i) {
                             return std::string("r") + kRateNames[i.param] + "_Mbps";
                         });

}  // namespace
