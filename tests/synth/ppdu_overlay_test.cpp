// A field laid onto samples nothing wrote yet ("fresh") must leave the same
// bits as the field added onto cleared samples, negative zeros included, and
// touch nothing before its rising edge or after its falling edge.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "ppdu.h"

namespace {

struct OverlayCase {
    const char* name;
    int32_t len, L;
};

void PrintTo(const OverlayCase& c, std::ostream* os) { *os << c.name; }

class FreshOverlay : public ::testing::TestWithParam<OverlayCase> {};

TEST_P(FreshOverlay, SameBitsAsAddingToZeros) {
    const OverlayCase& c = GetParam();
    std::vector<double> seg_i(static_cast<size_t>(c.len)), seg_q(static_cast<size_t>(c.len));
    for (int32_t n = 0; n < c.len; ++n) {
        // Every fifth sample a negative zero, the rest of either sign.
        seg_i[n] = n % 5 == 0 ? -0.0 : (n % 3 == 0 ? -1.0 : 1.0) * (0.125 + n * 1e-3);
        seg_q[n] = n % 5 == 1 ? -0.0 : (n % 2 == 0 ? -0.3 : 0.7) / (n + 1);
    }
    std::vector<double> ramp(static_cast<size_t>(c.L + 1));
    transition_ramp(c.L, ramp.data());
    const int32_t margin = 20;
    const size_t size = static_cast<size_t>(c.len + 2 * margin);
    // Rising edge onto zeros in both: "fresh" only changes how the rest is written.
    std::vector<double> added_i(size, 0.0), added_q(size, 0.0);
    std::vector<double> fresh_i(size, 7.0), fresh_q(size, 7.0);
    const int32_t h = c.L < 2 ? 0 : c.L / 2;
    for (int32_t n = margin - h; n < margin + h; ++n) fresh_i[n] = fresh_q[n] = 0.0;
    overlay_field(seg_i.data(), seg_q.data(), c.len, 0, c.len, c.L, ramp.data(), added_i.data() + margin,
                  added_q.data() + margin, false);
    overlay_field(seg_i.data(), seg_q.data(), c.len, 0, c.len, c.L, ramp.data(), fresh_i.data() + margin,
                  fresh_q.data() + margin, true);
    for (int32_t n = margin - h; n < margin + c.len + h; ++n) {
        EXPECT_EQ(std::memcmp(&added_i[n], &fresh_i[n], sizeof(double)), 0) << "I at " << n - margin;
        EXPECT_EQ(std::memcmp(&added_q[n], &fresh_q[n], sizeof(double)), 0) << "Q at " << n - margin;
    }
    // Outside the field's reach the fresh buffer keeps its 7.0.
    for (int32_t n = 0; n < margin - h; ++n) EXPECT_EQ(fresh_i[n], 7.0) << n;
    for (size_t n = static_cast<size_t>(margin + c.len + h); n < size; ++n) EXPECT_EQ(fresh_q[n], 7.0) << n;
}

INSTANTIATE_TEST_SUITE_P(Cases, FreshOverlay,
                         ::testing::Values(OverlayCase{"no_window", 80, 0}, OverlayCase{"L_1", 80, 1},
                                           OverlayCase{"L_2", 80, 2}, OverlayCase{"L_3", 80, 3},
                                           OverlayCase{"L_16", 160, 16}, OverlayCase{"L_17", 160, 17}),
                         [](const ::testing::TestParamInfo<OverlayCase>& i) { return std::string(i.param.name); });

}  // namespace
