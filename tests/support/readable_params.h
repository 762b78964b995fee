// Readable parameterised tests: case names from the printed parameter, and a
// check that every value-parameterised test prints its parameter readably (a
// PrintTo for the case type), not as a byte dump.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace orv_test {

// text as a test name: ASCII letters and digits kept, a sign starting a word as
// "minus" or "plus", "." inside a number as "p", every other run of characters
// as one "_" (e.g. "window -inf" -> window_minus_inf, "-0.5 dB" -> minus0p5_dB).
inline std::string test_name(std::string_view text) {
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    auto alnum = [&](char c) { return digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    std::string name;
    for (size_t k = 0; k < text.size(); ++k) {
        const char c = text[k], before = k > 0 ? text[k - 1] : ' ', after = k + 1 < text.size() ? text[k + 1] : ' ';
        if (alnum(c)) {
            name += c;
        } else if ((c == '-' || c == '+') && !alnum(before) && before != '-' && before != '+' &&
                   (alnum(after) || after == '.' || after == '(')) {
            if (!name.empty() && name.back() != '_') name += '_';
            name += c == '-' ? "minus" : "plus";
            if (!digit(after)) name += '_';
        } else if (c == '.' && digit(before) && digit(after)) {
            name += 'p';
        } else if (!name.empty() && name.back() != '_') {
            name += '_';
        }
    }
    while (!name.empty() && name.back() == '_') name.pop_back();
    return name.empty() ? "unnamed" : name;
}

// Name generator for INSTANTIATE_TEST_SUITE_P: the case's printed form (its
// PrintTo) as a test name, e.g. "impulse on I only" -> impulse_on_I_only.
struct PrintedName {
    template <class T>
    std::string operator()(const ::testing::TestParamInfo<T>& info) const {
        return test_name(::testing::PrintToString(info.param));
    }
};

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
