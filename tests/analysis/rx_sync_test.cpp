// The long-training timing on windows that run into silence: the transforms'
// rounding there must not look like a preamble.
#include <gtest/gtest.h>

#include <complex>
#include <ostream>
#include <string>
#include <vector>

#include "reference_tx.h"
#include "rx.h"

namespace {

namespace rx = orv::analysis::rx;
using C = std::complex<double>;

struct TailCase {
    std::string name;
    int detect_before_end;  // where the (spurious) detection sits, samples before the packet's end
    int silence;            // zero samples after the packet
    double cfo_hz;
};
void PrintTo(const TailCase& c, std::ostream* os) { *os << c.name; }

class SyncOnATail : public ::testing::TestWithParam<TailCase> {};

TEST_P(SyncOnATail, FindsNoPreamble) {
    const TailCase& c = GetParam();
    const std::vector<uint8_t> psdu = reftx::mac_frame(1, reftx::body(40, 3));
    std::vector<C> x = reftx::frame(12, reftx::bits_of_bytes(psdu), static_cast<int>(psdu.size()), 1);
    const int64_t end = static_cast<int64_t>(x.size());
    x.resize(x.size() + static_cast<size_t>(c.silence), C(0, 0));
    for (size_t n = 0; n < x.size(); ++n) x[n] *= std::polar(1.0, 2.0 * 3.141592653589793 * c.cfo_hz * static_cast<double>(n) / 20e6);
    const rx::Sync s = rx::synchronise(x, rx::Detection{end - c.detect_before_end, 0.6});
    EXPECT_LT(s.metric, rx::kSyncThreshold) << "t1 " << s.t1;
}

INSTANTIATE_TEST_SUITE_P(
    Silence, SyncOnATail,
    ::testing::Values(TailCase{"LastSymbol_100Zeros", 40, 100, 0}, TailCase{"LastSymbol_100Zeros_Minus6_4MHz", 40, 100, -6.4e6},
                      TailCase{"AtTheEnd_NoZeros", 0, 0, 0}, TailCase{"LastSamples_1000Zeros", 8, 1000, 2e6},
                      TailCase{"InSilenceOnly", -300, 1000, 0}),
    [](const ::testing::TestParamInfo<TailCase>& i) { return i.param.name; });

TEST(SyncOnSilence, AllZerosFindsNoPreamble) {
    const std::vector<C> x(2000, C(0, 0));
    EXPECT_LT(rx::synchronise(x, rx::Detection{100, 0.6}).metric, rx::kSyncThreshold);
}

}  // namespace
