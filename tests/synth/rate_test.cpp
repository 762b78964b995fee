#include <gtest/gtest.h>

#include "rate.h"
#include "support/readable_params.h"

namespace {

struct RateCase {
    int32_t rate_index, symbols;
    int32_t mod, coding, n_bpsc, n_cbps, n_dbps, length, result;
};

void PrintTo(const RateCase& c, std::ostream* os) {
    *os << "rate index " << c.rate_index << ", " << c.symbols << " symbols";
}

class RateTable : public ::testing::TestWithParam<RateCase> {};

TEST_P(RateTable, LooksUpModulationAndLength) {
    const RateCase& c = GetParam();
    int32_t mod, coding, bpsc, cbps, dbps, length;
    EXPECT_EQ(rate_parameters(c.rate_index, c.symbols, &mod, &coding, &bpsc, &cbps, &dbps, &length),
              c.result);
    EXPECT_EQ(mod, c.mod);
    EXPECT_EQ(coding, c.coding);
    EXPECT_EQ(bpsc, c.n_bpsc);
    EXPECT_EQ(cbps, c.n_cbps);
    EXPECT_EQ(dbps, c.n_dbps);
    EXPECT_EQ(length, c.length);
}

INSTANTIATE_TEST_SUITE_P(
    AllRates, RateTable,
    ::testing::Values(RateCase{0, 100, 0, 0, 1, 48, 24, 297, 0},
                      RateCase{1, 100, 0, 1, 1, 48, 36, (3600 - 22) / 8, 0},
                      RateCase{2, 100, 1, 0, 2, 96, 48, (4800 - 22) / 8, 0},
                      RateCase{3, 100, 1, 1, 2, 96, 72, (7200 - 22) / 8, 0},
                      RateCase{4, 100, 2, 0, 4, 192, 96, (9600 - 22) / 8, 0},
                      RateCase{5, 100, 2, 1, 4, 192, 144, (14400 - 22) / 8, 0},
                      RateCase{6, 100, 3, 2, 6, 288, 192, (19200 - 22) / 8, 0},
                      RateCase{7, 151, 3, 1, 6, 288, 216, 4074, 0},
                      RateCase{0, 1, 0, 0, 1, 48, 24, 0, 0},
                      // 0 symbols: (0 - 22) / 8 truncates toward zero to -2.
                      RateCase{0, 0, 0, 0, 1, 48, 24, -2, 0},
                      RateCase{7, 152, 3, 1, 6, 288, 216, 4101, 2},
                      // Out-of-range indices read as 6 Mbit/s.
                      RateCase{8, 100, 0, 0, 1, 48, 24, 297, 0},
                      RateCase{-1, 100, 0, 0, 1, 48, 24, 297, 0}), orv_test::PrintedName());

// Every parameterised test of the library tests names its case.
TEST(TestNames, ParametersPrintReadably) { orv_test::expect_readable_parameters(); }

}  // namespace
