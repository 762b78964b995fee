// A check that every value-parameterised test of the program prints its
// parameter readably (a PrintTo for the case type), not as a byte dump.
#pragma once
#include <gtest/gtest.h>

#include <string>

namespace orv_test {

// Adds a failure naming each test whose parameter prints as "N-byte object <..>".
inline void expect_readable_parameters() {
    const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
    int parameterised = 0;
    for (int s = 0; s < unit.total_test_suite_count(); ++s) {
        const ::testing::TestSuite& suite = *unit.GetTestSuite(s);
        for (int t = 0; t < suite.total_test_count(); ++t) {
            const ::testing::TestInfo& info = *suite.GetTestInfo(t);
            if (info.value_param() == nullptr) continue;
            ++parameterised;
            const std::string param = info.value_param();
            EXPECT_EQ(param.find("-byte object <"), std::string::npos)
                << suite.name() << "." << info.name() << " prints its parameter as " << param;
        }
    }
    EXPECT_GT(parameterised, 0) << "no parameterised tests registered";
}

}  // namespace orv_test
