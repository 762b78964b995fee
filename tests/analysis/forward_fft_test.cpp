// ForwardFft::run on the caller's arrays: aligned, misaligned, in place and overlapping
// source and destination all give the bits of the plan run on its own buffers, and leave
// the source as it was.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ofdm.h"

namespace {
using orv::analysis::cd;
using orv::analysis::ForwardFft;

struct FftPlace {
    const char* name;
    int n;
    size_t src_at;  // the source's offset in doubles into a 16-byte aligned arena
    size_t out_at;  // the destination's offset in doubles (equal: in place)
};

std::ostream& operator<<(std::ostream& os, const FftPlace& p) { return os << p.name; }

class FftPlacement : public ::testing::TestWithParam<FftPlace> {};

TEST_P(FftPlacement, SameBitsAsThePlansOwnBuffers) {
    const FftPlace& p = GetParam();
    const size_t n = static_cast<size_t>(p.n);
    ForwardFft fft(p.n);
    std::mt19937 rng(7u + static_cast<unsigned>(p.n));
    std::normal_distribution<double> g(0.0, 1.0);
    std::vector<double> input(2 * n);
    for (double& v : input) v = g(rng);

    std::memcpy(static_cast<void*>(fft.input()), input.data(), sizeof(double) * 2 * n);
    const cd* own = fft.transform();
    const std::vector<cd> want(own, own + n);

    std::vector<cd> arena(3 * n + 2);  // std::complex<double> storage: 16-byte aligned
    double* base = reinterpret_cast<double*>(arena.data());
    double* src = base + p.src_at;
    double* out = base + p.out_at;
    std::memcpy(src, input.data(), sizeof(double) * 2 * n);
    fft.run(reinterpret_cast<const cd*>(src), reinterpret_cast<cd*>(out));

    // Overlapping arrays: the source may be overwritten by the result, else it stays.
    const bool apart = p.src_at + 2 * n <= p.out_at || p.out_at + 2 * n <= p.src_at;
    if (apart) {
        EXPECT_EQ(std::memcmp(src, input.data(), sizeof(double) * 2 * n), 0) << "source changed";
    }
    EXPECT_EQ(std::memcmp(out, want.data(), sizeof(cd) * n), 0) << "result differs from the plan's own buffers";

    // The plan's own buffers still give the same after a run on the caller's arrays.
    std::memcpy(static_cast<void*>(fft.input()), input.data(), sizeof(double) * 2 * n);
    EXPECT_EQ(std::memcmp(fft.transform(), want.data(), sizeof(cd) * n), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Arrays, FftPlacement,
    ::testing::Values(FftPlace{"aligned_apart_64", 64, 0, 128}, FftPlace{"aligned_apart_16", 16, 0, 32},
                      FftPlace{"source_off_by_one_double", 64, 1, 130},
                      FftPlace{"result_off_by_one_double", 64, 0, 129},
                      FftPlace{"both_off_by_one_double", 64, 1, 131}, FftPlace{"in_place", 64, 2, 2},
                      FftPlace{"overlap_result_ahead", 64, 0, 64}, FftPlace{"overlap_result_behind", 64, 64, 2},
                      FftPlace{"adjacent_exactly", 64, 2, 130}, FftPlace{"odd_size_57", 57, 0, 120}),
    [](const ::testing::TestParamInfo<FftPlace>& i) { return std::string(i.param.name); });
}  // namespace
