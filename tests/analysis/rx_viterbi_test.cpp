// The receiver's 16-bit Viterbi decoder against the straightforward double-precision
// one (ofdm.h viterbi_decode) on coded blocks from the tests' own encoder: the same
// bits on clean and mildly noisy input, no worse under heavy noise, the SSE2 and the
// plain add-compare-select loops bit-identical, and the quantiser's edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "ofdm.h"
#include "reference_tx.h"
#include "rx.h"
#include "rx_viterbi.h"

namespace {

namespace rx = orv::analysis::rx;

struct Block {
    std::vector<int> bits;     // information bits, the last six zero (the tail)
    std::vector<double> soft;  // depunctured soft values, A B pairs, 0 for a stolen bit
};

// n random bits and a tail (n + 6 a multiple of the puncturing period), coded, punctured to num/den, sent as +-amp in Gaussian noise
// of standard deviation sigma, depunctured.
Block coded_block(size_t n, int num, int den, double amp, double sigma, uint32_t seed) {
    std::mt19937 rng(seed);
    Block b;
    for (size_t i = 0; i < n; ++i) b.bits.push_back(static_cast<int>(rng() & 1));
    b.bits.insert(b.bits.end(), 6, 0);
    const std::vector<int> sent = reftx::puncture(reftx::encode(b.bits), num, den);
    std::normal_distribution<double> noise(0.0, sigma);
    std::vector<double> soft;
    for (int c : sent) soft.push_back((c ? amp : -amp) + (sigma > 0 ? noise(rng) : 0.0));
    const int mbps = num == 1 ? 6 : num == 2 ? 48 : 54;
    b.soft = rx::depuncture(soft, mbps);
    return b;
}

std::vector<int> as_ints(const std::vector<uint8_t>& v) { return {v.begin(), v.end()}; }

std::vector<int16_t> quantised(const std::vector<double>& soft) {
    const double scale = rx::soft_scale(soft.data(), soft.size());
    std::vector<int16_t> q;
    for (double v : soft) q.push_back(rx::quantise_soft(v, scale));
    return q;
}

size_t errors(const std::vector<int>& a, const std::vector<int>& b) {
    size_t e = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) e += a[i] != b[i];
    return e + (a.size() > b.size() ? a.size() - b.size() : b.size() - a.size());
}

struct AgreeCase {
    std::string name;
    size_t bits;
    int num, den;
    double amp, sigma;
    uint32_t seed;
};

void PrintTo(const AgreeCase& c, std::ostream* os) { *os << c.name; }

class ViterbiAgrees : public ::testing::TestWithParam<AgreeCase> {};

// Where the reference decodes the block without error, so does the fast decoder, with
// either loop, terminated or not.
TEST_P(ViterbiAgrees, WithTheReferenceAndTheSentBits) {
    const AgreeCase& c = GetParam();
    const Block b = coded_block(c.bits, c.num, c.den, c.amp, c.sigma, c.seed);
    for (bool terminated : {false, true}) {
        const std::vector<int> ref = orv::analysis::viterbi_decode(b.soft, terminated);
        ASSERT_EQ(ref, b.bits) << "the reference itself fails: the case is too noisy";
        EXPECT_EQ(as_ints(rx::viterbi_decode_fast(b.soft, terminated)), ref) << "terminated " << terminated;
        const std::vector<int16_t> q = quantised(b.soft);
        EXPECT_EQ(as_ints(rx::viterbi_decode_q(q.data(), q.size() / 2, terminated, rx::AcsKernel::plain)), ref);
    }
}

INSTANTIATE_TEST_SUITE_P(
    CodedBlocks, ViterbiAgrees,
    ::testing::Values(AgreeCase{"Clean_Rate1of2_Short", 24, 1, 2, 1.0, 0.0, 1},
                      AgreeCase{"Clean_Rate1of2_1000Bytes", 8022, 1, 2, 1.0, 0.0, 2},
                      AgreeCase{"Clean_Rate2of3", 4000, 2, 3, 1.0, 0.0, 3},
                      AgreeCase{"Clean_Rate3of4", 4008, 3, 4, 1.0, 0.0, 4},
                      AgreeCase{"TinyScale_Rate3of4", 1998, 3, 4, 1e-9, 0.0, 5},
                      AgreeCase{"HugeScale_Rate1of2", 2000, 1, 2, 1e12, 0.0, 6},
                      AgreeCase{"MildNoise_Rate1of2", 8000, 1, 2, 1.0, 0.45, 7},
                      AgreeCase{"MildNoise_Rate3of4", 7998, 3, 4, 1.0, 0.3, 8}),
    [](const ::testing::TestParamInfo<AgreeCase>& i) { return i.param.name; });

struct NoisyCase {
    std::string name;
    int num, den;
    double sigma;
};

void PrintTo(const NoisyCase& c, std::ostream* os) { *os << c.name; }

class ViterbiUnderNoise : public ::testing::TestWithParam<NoisyCase> {};

// Near the code's threshold the two loops still decide identically, and quantisation
// costs at most a tenth more bit errors than the double-precision decoder.
TEST_P(ViterbiUnderNoise, LoopsIdenticalAndErrorsCloseToTheReference) {
    const NoisyCase& c = GetParam();
    size_t ref_err = 0, fast_err = 0, sent = 0;
    for (uint32_t seed = 100; seed < 110; ++seed) {
        const Block b = coded_block(3996, c.num, c.den, 1.0, c.sigma, seed);
        const std::vector<int16_t> q = quantised(b.soft);
        const std::vector<uint8_t> best = rx::viterbi_decode_q(q.data(), q.size() / 2, false, rx::AcsKernel::best);
        const std::vector<uint8_t> plain = rx::viterbi_decode_q(q.data(), q.size() / 2, false, rx::AcsKernel::plain);
        ASSERT_EQ(best, plain) << "seed " << seed;
        ref_err += errors(orv::analysis::viterbi_decode(b.soft, false), b.bits);
        fast_err += errors(as_ints(best), b.bits);
        sent += b.bits.size();
    }
    EXPECT_GT(ref_err, 0u) << "not near the threshold: the comparison shows nothing";
    EXPECT_LE(static_cast<double>(fast_err), 1.1 * static_cast<double>(ref_err) + 0.0005 * static_cast<double>(sent))
        << "reference " << ref_err << " errors, fast " << fast_err << " of " << sent;
}

INSTANTIATE_TEST_SUITE_P(CodedBlocks, ViterbiUnderNoise,
                         ::testing::Values(NoisyCase{"Rate1of2", 1, 2, 0.9}, NoisyCase{"Rate2of3", 2, 3, 0.72},
                                           NoisyCase{"Rate3of4", 3, 4, 0.62}),
                         [](const ::testing::TestParamInfo<NoisyCase>& i) { return i.param.name; });

struct QuantiseCase {
    std::string name;
    double soft, scale;
    int expected;
};

void PrintTo(const QuantiseCase& c, std::ostream* os) { *os << c.name; }

class Quantiser : public ::testing::TestWithParam<QuantiseCase> {};

TEST_P(Quantiser, RoundsAndClips) {
    const QuantiseCase& c = GetParam();
    EXPECT_EQ(rx::quantise_soft(c.soft, c.scale), c.expected);
}

const double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Edges, Quantiser,
    ::testing::Values(QuantiseCase{"ZeroStaysZero", 0.0, 64.0, 0}, QuantiseCase{"HalfRoundsAway", 0.5, 1.0, 1},
                      QuantiseCase{"NegativeHalfRoundsAway", -0.5, 1.0, -1},
                      QuantiseCase{"JustBelowHalf", 0.49, 1.0, 0}, QuantiseCase{"Scaled", 1.5, 64.0, 96},
                      QuantiseCase{"ClipsHigh", 1e6, 1.0, rx::kSoftMax}, QuantiseCase{"ClipsLow", -1e6, 1.0, -rx::kSoftMax},
                      QuantiseCase{"PlusInfinity", kInf, 1.0, rx::kSoftMax},
                      QuantiseCase{"MinusInfinity", -kInf, 1.0, -rx::kSoftMax},
                      QuantiseCase{"NotANumberIsErased", std::numeric_limits<double>::quiet_NaN(), 1.0, 0}),
    [](const ::testing::TestParamInfo<QuantiseCase>& i) { return i.param.name; });

TEST(SoftScale, MapsTheMedianMagnitudeOfNonZeroValuesTo64) {
    const std::vector<double> v = {0.0, 2.0, -4.0, 0.0, 1e9};
    EXPECT_DOUBLE_EQ(rx::soft_scale(v.data(), v.size()), 16.0);
    const std::vector<double> zeros(10, 0.0);
    EXPECT_DOUBLE_EQ(rx::soft_scale(zeros.data(), zeros.size()), 1.0);
    const std::vector<double> with_nan = {2.0, std::numeric_limits<double>::quiet_NaN(), kInf, -2.0};
    EXPECT_DOUBLE_EQ(rx::soft_scale(with_nan.data(), with_nan.size()), 32.0);
}

// One huge value (a soft bit weighted by a spurious channel gain) is clipped; the
// others keep their resolution and the block still decodes.
// The scale is 64 over the median magnitude of the sampled non-zero values, found here by
// sorting them: many ties, a few values, magnitudes from subnormal to 1e299, runs of equal
// values that share their leading bits, blocks longer than the 1024 samples.
const double kOdd[5] = {std::numeric_limits<double>::quiet_NaN(), kInf, -kInf, 1e300, -std::numeric_limits<double>::quiet_NaN()};
struct ScaleCase {
    std::string name;
    size_t n;
    int kind;
};
void PrintTo(const ScaleCase& c, std::ostream* os) { *os << c.name; }
class SoftScaleMedian : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(SoftScaleMedian, IsTheSortedSamplesMiddle) {
    const ScaleCase& c = GetParam();
    std::mt19937 rng(static_cast<uint32_t>(c.n * 7 + static_cast<size_t>(c.kind)));
    std::vector<double> soft(c.n);
    for (size_t i = 0; i < c.n; ++i) {
        const double u = std::uniform_real_distribution<double>(-1.0, 1.0)(rng);
        switch (c.kind) {
        case 0: soft[i] = u; break;                                              // spread
        case 1: soft[i] = (rng() % 3) * (u < 0 ? -1.0 : 1.0); break;             // ties and zeros
        case 2: soft[i] = u * std::pow(10.0, static_cast<double>(rng() % 600) - 300.0); break;  // wide range
        case 3: soft[i] = 1.0 + static_cast<double>(rng() % 5) * 1e-15; break;   // equal leading bits
        case 4: soft[i] = i % 2 ? 4.9e-324 * static_cast<double>(rng() % 4 + 1) : 0.0; break;  // subnormal
        case 5: soft[i] = -3.25; break;                                                         // all equal
        case 6: soft[i] = static_cast<double>(c.n - i); break;                                  // descending
        case 7: soft[i] = i % 3 ? 2.0 : -1.0; break;                                          // two values
        case 9: soft[i] = i % 5 ? u : kOdd[(i / 5) % 5]; break;  // NaN, infinities, 1e300 left out
        default: soft[i] = i % 16 ? u : 1000.0 + static_cast<double>(i); break;                 // every 16th huge
        }
    }
    std::vector<double> mag;
    for (size_t i = 0; i < c.n; i += std::max<size_t>(c.n / 1024, 1))
        if (std::abs(soft[i]) > 0 && std::abs(soft[i]) < 1e300) mag.push_back(std::abs(soft[i]));
    std::sort(mag.begin(), mag.end());
    const double want = mag.empty() ? 1.0 : 64.0 / mag[mag.size() / 2];
    EXPECT_EQ(rx::soft_scale(soft.data(), soft.size()), want);
    EXPECT_EQ(rx::soft_scale(soft.data(), soft.size(), false), want) << "plain loops";
}

INSTANTIATE_TEST_SUITE_P(
    Distributions, SoftScaleMedian,
    ::testing::Values(ScaleCase{"Spread_3", 3, 0}, ScaleCase{"Spread_40", 40, 0}, ScaleCase{"Spread_1000", 1000, 0},
                      ScaleCase{"Spread_10944", 10944, 0}, ScaleCase{"Ties_2000", 2000, 1}, ScaleCase{"Ties_33", 33, 1},
                      ScaleCase{"WideRange_5000", 5000, 2}, ScaleCase{"SharedLeadingBits_3000", 3000, 3},
                      ScaleCase{"Subnormal_700", 700, 4}, ScaleCase{"One_1", 1, 0}, ScaleCase{"Two_2", 2, 0},
                      ScaleCase{"Spread_17", 17, 0}, ScaleCase{"AllEqual_5000", 5000, 5}, ScaleCase{"Descending_2047", 2047, 6},
                      ScaleCase{"TwoValues_4096", 4096, 7}, ScaleCase{"Spread_2047", 2047, 0}, ScaleCase{"Spread_5", 5, 0},
                      ScaleCase{"HugeWhereSampled_1024", 1024, 8}, ScaleCase{"HugeWhereSampled_640", 640, 8},
                      ScaleCase{"NanAndInfinities_10944", 10944, 9}, ScaleCase{"NanAndInfinities_300", 300, 9},
                      ScaleCase{"NanAndInfinities_9", 9, 9},
                      // Strides 2 to 5 with 1 to 3 samples past the last four (the four-a-step loop's tail).
                      ScaleCase{"NanAndInfinities_2051", 2051, 9}, ScaleCase{"NanAndInfinities_3077", 3077, 9},
                      ScaleCase{"NanAndInfinities_4103", 4103, 9}, ScaleCase{"Spread_5122", 5122, 0},
                      ScaleCase{"NanAndInfinities_4", 4, 9}, ScaleCase{"NanAndInfinities_7", 7, 9}),
    [](const ::testing::TestParamInfo<ScaleCase>& i) { return i.param.name; });

// The k-th smallest against std::nth_element, the plain and the AVX2 loops, on sizes around
// the first round's threshold (256) and the final sort's (16), at ranks 0, n - 1 and between,
// with ties, equal values, sorted runs and values that put the k-th outside the sampled pivots.
struct KthCase {
    std::string name;
    size_t n;
    int kind;
    int rank;  // 0: the first, 1: the middle, 2: the last, 3: a quarter in
};
void PrintTo(const KthCase& c, std::ostream* os) { *os << c.name; }
class KthSmallest : public ::testing::TestWithParam<KthCase> {};

TEST_P(KthSmallest, EqualsNthElement) {
    const KthCase& c = GetParam();
    std::mt19937 rng(static_cast<uint32_t>(c.n * 13 + static_cast<size_t>(c.kind) * 5 + static_cast<size_t>(c.rank)));
    std::vector<double> v(c.n);
    for (size_t i = 0; i < c.n; ++i) {
        const double u = std::uniform_real_distribution<double>(1e-3, 10.0)(rng);
        switch (c.kind) {
        case 0: v[i] = u; break;                                                      // spread
        case 1: v[i] = static_cast<double>(rng() % 3 + 1); break;                     // three values
        case 2: v[i] = 0.5; break;                                                    // all equal
        case 3: v[i] = static_cast<double>(i + 1); break;                             // ascending
        case 4: v[i] = static_cast<double>(c.n - i); break;                           // descending
        case 5: v[i] = i % 64 == 0 ? 1e6 + static_cast<double>(i) : u; break;         // samples all large
        case 6: v[i] = i % 64 == 0 ? 1e-9 * static_cast<double>(i + 1) : u; break;    // samples all small
        default: v[i] = u * std::pow(2.0, static_cast<double>(rng() % 2000) - 1000.0);  // wide range
        }
    }
    const size_t k = c.rank == 0 ? 0 : c.rank == 1 ? c.n / 2 : c.rank == 2 ? c.n - 1 : c.n / 4;
    std::vector<double> ref = v;
    std::nth_element(ref.begin(), ref.begin() + static_cast<std::ptrdiff_t>(k), ref.end());
    for (const bool vector : {false, true}) {
        std::vector<double> buf(4 * c.n + 16, std::numeric_limits<double>::quiet_NaN());  // scratch never read as values
        std::copy(v.begin(), v.end(), buf.begin());
        EXPECT_EQ(rx::kth_smallest(buf.data(), c.n, k, vector), ref[k]) << (vector ? "vector" : "plain");
    }
}

std::vector<KthCase> kth_cases() {
    const char* kinds[] = {"Spread", "ThreeValues", "AllEqual", "Ascending", "Descending", "SamplesLarge",
                           "SamplesSmall", "WideRange"};
    const char* ranks[] = {"First", "Middle", "Last", "Quarter"};
    std::vector<KthCase> out;
    for (const size_t n : {size_t{1}, size_t{2}, size_t{7}, size_t{17}, size_t{255}, size_t{256}, size_t{1095}, size_t{2047}})
        for (int kind = 0; kind < 8; ++kind)
            for (int rank = 0; rank < 4; ++rank)
                out.push_back({std::string(kinds[kind]) + "_" + std::to_string(n) + "_" + ranks[rank], n, kind, rank});
    return out;
}

INSTANTIATE_TEST_SUITE_P(Inputs, KthSmallest, ::testing::ValuesIn(kth_cases()),
                         [](const ::testing::TestParamInfo<KthCase>& i) { return i.param.name; });

TEST(ViterbiFast, OneHugeSoftValueDoesNotSpoilTheBlock) {
    Block b = coded_block(2000, 1, 2, 1.0, 0.3, 11);
    b.soft[500] = b.soft[500] > 0 ? 1e9 : -1e9;
    EXPECT_EQ(as_ints(rx::viterbi_decode_fast(b.soft, false)), b.bits);
}

TEST(ViterbiFast, EmptyAndOddInputs) {
    EXPECT_TRUE(rx::viterbi_decode_fast({}, false).empty());
    EXPECT_EQ(rx::viterbi_decode_fast({1.0, 1.0, -1.0}, false).size(), 1u);
}

struct RateCase {
    int mbps;
};

void PrintTo(const RateCase& c, std::ostream* os) { *os << c.mbps << " Mbit/s"; }

class CodedPairs : public ::testing::TestWithParam<RateCase> {};

// The fused deinterleaver, depuncturer and quantiser equal the separate steps.
TEST_P(CodedPairs, EqualTheSeparateSteps) {
    const orv::analysis::RateInfo& r = *orv::analysis::rate_by_mbps(GetParam().mbps);
    std::mt19937 rng(static_cast<uint32_t>(r.mbps));
    std::normal_distribution<double> g(0.0, 3.0);
    std::vector<double> soft(static_cast<size_t>(3 * r.n_cbps + 5));  // a partial symbol at the end is dropped
    for (double& v : soft) v = g(rng);
    const std::vector<double> steps = rx::depuncture(rx::deinterleave(soft, r.n_cbps, r.n_bpsc), r.mbps);
    const double scale = rx::soft_scale(soft.data(), static_cast<size_t>(3 * r.n_cbps));
    std::vector<int16_t> expected;
    for (double v : steps) expected.push_back(rx::quantise_soft(v, scale));
    EXPECT_EQ(rx::coded_pairs(soft, r), expected);
}

// Into a buffer left over from another packet (longer, its values not zero): the same values
// as a fresh call, the stolen bits of the punctured rates 0 again.
TEST_P(CodedPairs, IntoAUsedBufferEqualFreshOnes) {
    const orv::analysis::RateInfo& r = *orv::analysis::rate_by_mbps(GetParam().mbps);
    std::mt19937 rng(static_cast<uint32_t>(r.mbps) + 1);
    std::normal_distribution<double> g(0.0, 3.0);
    std::vector<double> soft(static_cast<size_t>(4 * r.n_cbps));
    for (double& v : soft) v = g(rng);
    for (const size_t left : {size_t{0}, size_t{5}, size_t{4000}}) {
        std::vector<int16_t> used(left, int16_t{0x5A5A});
        rx::coded_pairs_into(soft, r, used);
        ASSERT_EQ(used, rx::coded_pairs(soft, r)) << left << " values left over";
    }
}

// NaN, infinities, values beyond the clip, signed zeros and halves quantise in the
// interleaved pass as quantise_soft does them one by one, wherever they sit in a symbol, at
// every rate (the layouts written a group at a time and value by value).
TEST_P(CodedPairs, EdgesQuantisedAsOneByOne) {
    const orv::analysis::RateInfo& r = *orv::analysis::rate_by_mbps(GetParam().mbps);
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const std::vector<double> odd = {nan, inf, -inf, 1e300, -1e300, 0.0, -0.0, 0.5, -0.5, 1.5, -2.5, 7.99, -8.01, 1e-300};
    for (size_t shift = 0; shift < 3; ++shift) {
        std::vector<double> soft(static_cast<size_t>(2 * r.n_cbps));
        for (size_t i = 0; i < soft.size(); ++i) soft[i] = (i + shift) % 5 == 0 ? odd[(i / 5) % odd.size()] : 1.0;
        const double scale = rx::soft_scale(soft.data(), soft.size());
        std::vector<int16_t> expected;
        for (double v : rx::depuncture(rx::deinterleave(soft, r.n_cbps, r.n_bpsc), r.mbps))
            expected.push_back(rx::quantise_soft(v, scale));
        ASSERT_EQ(rx::coded_pairs(soft, r), expected) << "shift " << shift;
    }
}

INSTANTIATE_TEST_SUITE_P(AllRates, CodedPairs,
                         ::testing::Values(RateCase{6}, RateCase{9}, RateCase{12}, RateCase{18}, RateCase{24},
                                           RateCase{36}, RateCase{48}, RateCase{54}),
                         [](const ::testing::TestParamInfo<RateCase>& i) { return std::to_string(i.param.mbps) + "Mbps"; });

}  // namespace

namespace {

// Random full-scale values drive the path metrics' spread to its bound: a 16-bit
// overflow would make the vector loop (wrapping) differ from the plain one (int).
TEST(ViterbiFast, FullScaleRandomInputLoopsAgree) {
    std::mt19937 rng(21);
    std::vector<int16_t> q(2 * 20000);
    for (int16_t& v : q) v = static_cast<int16_t>((rng() & 1) ? rx::kSoftMax : -rx::kSoftMax);
    for (size_t i = 0; i < 600; ++i) q[i] = rx::kSoftMax;  // a long run of ones: the largest growth
    for (bool terminated : {false, true})
        EXPECT_EQ(rx::viterbi_decode_q(q.data(), q.size() / 2, terminated, rx::AcsKernel::best),
                  rx::viterbi_decode_q(q.data(), q.size() / 2, terminated, rx::AcsKernel::plain));
}

}  // namespace

namespace {

// Each vector loop decides as the plain one (32-bit metrics, no overflow): near the code's
// threshold at every code rate, on full-scale input that drives the metrics' spread to its
// bound, and on blocks around the renormalisation period, terminated or not.
struct KernelCase {
    std::string name;
    rx::AcsKernel kernel;
};
void PrintTo(const KernelCase& c, std::ostream* os) { *os << c.name; }
class AcsLoops : public ::testing::TestWithParam<KernelCase> {};

std::vector<uint8_t> decoded(const std::vector<int16_t>& q, bool terminated, rx::AcsKernel kernel) {
    return rx::viterbi_decode_q(q.data(), q.size() / 2, terminated, kernel);
}

TEST_P(AcsLoops, DecideAsThePlainLoop) {
    const rx::AcsKernel k = GetParam().kernel;
    if (!rx::acs_available(k)) GTEST_SKIP() << "not in this processor or build";
    for (const auto& [num, den, sigma] : {std::tuple{1, 2, 0.9}, std::tuple{2, 3, 0.72}, std::tuple{3, 4, 0.62}}) {
        for (uint32_t seed = 200; seed < 204; ++seed) {
            const std::vector<int16_t> q = quantised(coded_block(2994, num, den, 1.0, sigma, seed).soft);
            for (bool terminated : {false, true})
                ASSERT_EQ(decoded(q, terminated, k), decoded(q, terminated, rx::AcsKernel::plain))
                    << num << "/" << den << " seed " << seed << " terminated " << terminated;
        }
    }
    std::mt19937 rng(22);
    std::vector<int16_t> full(2 * 5000);
    for (int16_t& v : full) v = static_cast<int16_t>((rng() & 1) ? rx::kSoftMax : -rx::kSoftMax);
    for (size_t i = 0; i < 600; ++i) full[i] = -rx::kSoftMax;  // a long run of zeros
    ASSERT_EQ(decoded(full, false, k), decoded(full, false, rx::AcsKernel::plain));
    for (size_t steps : {0, 1, 6, 7, 8, 9, 17}) {
        std::vector<int16_t> q(2 * steps);
        for (int16_t& v : q) v = static_cast<int16_t>(static_cast<int>(rng() % 801) - 400);
        for (bool terminated : {false, true}) {
            const std::vector<uint8_t> got = decoded(q, terminated, k);
            ASSERT_EQ(got.size(), steps);
            ASSERT_EQ(got, decoded(q, terminated, rx::AcsKernel::plain)) << steps << " steps";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Vector, AcsLoops,
                         ::testing::Values(KernelCase{"Best", rx::AcsKernel::best}, KernelCase{"Sse2", rx::AcsKernel::sse2},
                                           KernelCase{"Avx2", rx::AcsKernel::avx2}),
                         [](const ::testing::TestParamInfo<KernelCase>& i) { return i.param.name; });

// The decoder's bits from clean 3/4-coded input equal the sent bits with every loop: a
// decision stored for the wrong state would turn the traceback away.
TEST(AcsLoops, EveryLoopDecodesACleanBlock) {
    const Block b = coded_block(1200, 3, 4, 1.0, 0.0, 5);
    const std::vector<int16_t> q = quantised(b.soft);
    for (rx::AcsKernel k : {rx::AcsKernel::plain, rx::AcsKernel::sse2, rx::AcsKernel::avx2}) {
        if (!rx::acs_available(k)) continue;
        EXPECT_EQ(as_ints(decoded(q, true, k)), b.bits) << static_cast<int>(k);
    }
}

}  // namespace

namespace {

// The AVX2 loop (its state orders turn every step, its decision words are traced back in pieces
// side by side) against the plain loop on input that makes ties, saturation and piece edges:
// the same bits, terminated or not.
enum class Fill { zero, unit_ties, equal_ab, saturated, random, coded_noisy };
struct EdgeCase {
    std::string name;
    size_t steps;
    Fill fill;
};
void PrintTo(const EdgeCase& c, std::ostream* os) { *os << c.name; }
class AcsAvx2Edges : public ::testing::TestWithParam<EdgeCase> {};

std::vector<int16_t> filled(const EdgeCase& c) {
    if (c.fill == Fill::coded_noisy) {
        std::vector<int16_t> q = quantised(coded_block(c.steps - 6, 1, 2, 1.0, 0.9, static_cast<uint32_t>(c.steps)).soft);
        q.resize(2 * c.steps);
        return q;
    }
    std::mt19937 rng(static_cast<uint32_t>(c.steps) * 31 + static_cast<uint32_t>(c.fill));
    std::vector<int16_t> q(2 * c.steps);
    for (size_t i = 0; i < q.size(); ++i) {
        switch (c.fill) {
        case Fill::zero: q[i] = 0; break;
        case Fill::unit_ties: q[i] = static_cast<int16_t>(static_cast<int>(rng() % 3) - 1); break;
        case Fill::equal_ab: q[i] = i % 2 ? q[i - 1] : static_cast<int16_t>(static_cast<int>(rng() % 801) - 400); break;
        case Fill::saturated: q[i] = static_cast<int16_t>((rng() & 1) ? rx::kSoftMax : -rx::kSoftMax); break;
        default: q[i] = static_cast<int16_t>(static_cast<int>(rng() % (2 * rx::kSoftMax + 1)) - rx::kSoftMax); break;
        }
    }
    return q;
}

TEST_P(AcsAvx2Edges, DecidesAsThePlainLoop) {
    if (!rx::acs_available(rx::AcsKernel::avx2)) GTEST_SKIP() << "no AVX2 in this processor or build";
    const EdgeCase& c = GetParam();
    const std::vector<int16_t> q = filled(c);
    for (bool terminated : {false, true}) {
        const std::vector<uint8_t> plain = decoded(q, terminated, rx::AcsKernel::plain);
        ASSERT_EQ(plain.size(), c.steps);
        EXPECT_EQ(decoded(q, terminated, rx::AcsKernel::avx2), plain) << "terminated " << terminated;
    }
}

// Blocks from one step to 30000; 959 to 967 steps lie around the shortest block traced in pieces
// (four of 240) and cover every remainder of six.
INSTANTIATE_TEST_SUITE_P(
    Inputs, AcsAvx2Edges,
    ::testing::Values(EdgeCase{"AllZero_1", 1, Fill::zero}, EdgeCase{"AllZero_7", 7, Fill::zero},
                      EdgeCase{"AllZero_5000", 5000, Fill::zero}, EdgeCase{"UnitTies_13", 13, Fill::unit_ties},
                      EdgeCase{"UnitTies_4001", 4001, Fill::unit_ties}, EdgeCase{"EqualAB_2503", 2503, Fill::equal_ab},
                      EdgeCase{"Saturated_6", 6, Fill::saturated}, EdgeCase{"Saturated_20000", 20000, Fill::saturated},
                      EdgeCase{"Random_5", 5, Fill::random}, EdgeCase{"Random_959", 959, Fill::random},
                      EdgeCase{"Random_960", 960, Fill::random}, EdgeCase{"Random_961", 961, Fill::random},
                      EdgeCase{"Random_962", 962, Fill::random}, EdgeCase{"Random_963", 963, Fill::random},
                      EdgeCase{"Random_964", 964, Fill::random}, EdgeCase{"Random_965", 965, Fill::random},
                      EdgeCase{"Random_967", 967, Fill::random}, EdgeCase{"Random_30000", 30000, Fill::random},
                      EdgeCase{"CodedNoisy_8022", 8022, Fill::coded_noisy}),
    [](const ::testing::TestParamInfo<EdgeCase>& i) { return i.param.name; });

}  // namespace

namespace {

// The SIGNAL field's decoder (either loop) against ofdm.h's viterbi_decode on the same 48 values:
// the same 24 bits for coded and random values, ties (all zero, equal pairs), values that overflow the double
// metrics, infinities and NaN.
enum class SignalFill { coded, coded_noisy, random, zero, equal_pairs, huge, infinite, nan, subnormal, one_infinite, one_nan };
struct SignalCase {
    std::string name;
    SignalFill fill;
};
void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }
class SignalDecoder : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SignalDecoder, GivesTheReferenceBits) {
    const SignalCase& c = GetParam();
    std::mt19937 rng(static_cast<uint32_t>(c.fill) + 40);
    std::normal_distribution<double> g(0.0, 1.0);
    std::vector<double> soft(2 * rx::kSignalSteps);
    if (c.fill == SignalFill::coded || c.fill == SignalFill::coded_noisy)
        soft = coded_block(rx::kSignalSteps - 6, 1, 2, 1.0, c.fill == SignalFill::coded ? 0.0 : 1.1, 9).soft;
    for (size_t i = 0; i < soft.size(); ++i) {
        switch (c.fill) {
        case SignalFill::random: soft[i] = g(rng); break;
        case SignalFill::zero: soft[i] = 0.0; break;
        case SignalFill::equal_pairs: soft[i] = i % 2 ? soft[i - 1] : g(rng); break;
        case SignalFill::huge: soft[i] = g(rng) * 1e307; break;
        case SignalFill::infinite: soft[i] = i % 7 == 3 ? -std::numeric_limits<double>::infinity() : g(rng); break;
        case SignalFill::nan: soft[i] = i % 11 == 5 ? std::numeric_limits<double>::quiet_NaN() : g(rng); break;
        case SignalFill::subnormal: soft[i] = g(rng) * 1e-310; break;
        case SignalFill::one_infinite: soft[i] = i == 4 ? std::numeric_limits<double>::infinity() : g(rng); break;  // meets the unreachable states: -inf + inf
        case SignalFill::one_nan: soft[i] = i == 30 ? std::numeric_limits<double>::quiet_NaN() : g(rng); break;
        default: break;
        }
    }
    ASSERT_EQ(soft.size(), 2 * rx::kSignalSteps);
    const std::vector<int> reference = orv::analysis::viterbi_decode(soft, false);
    for (bool vector : {false, true}) {
        uint8_t bits[rx::kSignalSteps];
        rx::viterbi_decode_signal(soft.data(), bits, vector);
        EXPECT_EQ(std::vector<int>(bits, bits + rx::kSignalSteps), reference) << (vector ? "vector loop" : "plain loop");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, SignalDecoder,
    ::testing::Values(SignalCase{"Coded", SignalFill::coded}, SignalCase{"CodedNoisy", SignalFill::coded_noisy},
                      SignalCase{"Random", SignalFill::random}, SignalCase{"AllZero", SignalFill::zero},
                      SignalCase{"EqualPairs", SignalFill::equal_pairs}, SignalCase{"Huge", SignalFill::huge},
                      SignalCase{"Infinite", SignalFill::infinite}, SignalCase{"NaN", SignalFill::nan},
                      SignalCase{"Subnormal", SignalFill::subnormal}, SignalCase{"EarlyInfinite", SignalFill::one_infinite},
                      SignalCase{"OneNaN", SignalFill::one_nan}),
    [](const ::testing::TestParamInfo<SignalCase>& i) { return i.param.name; });

}  // namespace

namespace {

// How a block is spoilt before decode_if_codeword sees it.
enum class Spoil { none, flip_sign, zero_pair, no_tail };

struct CodewordCase {
    std::string name;
    size_t bits;
    int num, den;
    Spoil spoil;
    size_t at;  // the value (flip_sign) or step (zero_pair) spoilt
    bool accept_free, accept_terminated;  // the verdict not terminated, terminated
};

void PrintTo(const CodewordCase& c, std::ostream* os) { *os << c.name; }

class DecodeIfCodeword : public ::testing::TestWithParam<CodewordCase> {};

// Accepted blocks give exactly the Viterbi decoder's bits (and the sent ones); a wrong sign,
// a step with nothing to go by, or a path that does not end in state 0 when it must, is refused.
// A last step sent as one bit alone is the exception: flipped, the signs are another codeword
// (which the Viterbi decoder picks as well), refused only for not ending in state 0.
TEST_P(DecodeIfCodeword, AcceptsOnlyCodewordsAndThenGivesTheViterbiBits) {
    const CodewordCase& c = GetParam();
    Block b = coded_block(c.bits, c.num, c.den, 1.0, 0.0, static_cast<uint32_t>(c.bits));
    if (c.spoil == Spoil::no_tail) {  // bits running on past the last six: any end state
        std::mt19937 rng(9);
        for (int k = 0; k < 6; ++k) b.bits[b.bits.size() - 6 + k] = static_cast<int>(rng() & 1);
        const std::vector<int> ab = reftx::encode(b.bits);
        b.soft.assign(ab.begin(), ab.end());
        for (double& v : b.soft) v = v ? 1.0 : -1.0;
    }
    std::vector<int16_t> q = quantised(b.soft);
    if (c.spoil == Spoil::flip_sign) q[c.at] = static_cast<int16_t>(-q[c.at]);
    if (c.spoil == Spoil::zero_pair) q[2 * c.at] = q[2 * c.at + 1] = 0;
    ASSERT_TRUE(c.spoil != Spoil::flip_sign || q[c.at] != 0) << "a stolen bit: flipping it changes nothing";
    for (bool terminated : {false, true}) {
        std::vector<uint8_t> bits;
        const bool accepted = rx::decode_if_codeword(q.data(), q.size() / 2, terminated, bits);
        EXPECT_EQ(accepted, terminated ? c.accept_terminated : c.accept_free) << "terminated " << terminated;
        if (!accepted) continue;
        EXPECT_EQ(bits, rx::viterbi_decode_q(q.data(), q.size() / 2, terminated, rx::AcsKernel::plain));
        if (c.spoil != Spoil::flip_sign) {
            EXPECT_EQ(as_ints(bits), b.bits);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, DecodeIfCodeword,
    ::testing::Values(CodewordCase{"Rate1of2_TailOnly", 0, 1, 2, Spoil::none, 0, true, true},
                      CodewordCase{"Rate1of2_1000Bytes", 8016, 1, 2, Spoil::none, 0, true, true},
                      CodewordCase{"Rate2of3_NotFourSteps", 4000, 2, 3, Spoil::none, 0, true, true},
                      CodewordCase{"Rate3of4_1000Bytes54", 8016, 3, 4, Spoil::none, 0, true, true},
                      CodewordCase{"Rate3of4_UnderOneWord", 54, 3, 4, Spoil::none, 0, true, true},
                      CodewordCase{"Rate1of2_FirstSignFlipped", 200, 1, 2, Spoil::flip_sign, 0, false, false},
                      CodewordCase{"Rate1of2_BSignFlippedInTheLastWord", 200, 1, 2, Spoil::flip_sign, 401, false, false},
                      CodewordCase{"Rate3of4_SignFlippedMidWord", 4008, 3, 4, Spoil::flip_sign, 3001, false, false},
                      CodewordCase{"Rate3of4_LastStepsOnlySignFlipped", 4008, 3, 4, Spoil::flip_sign, 2 * 4014 - 1, true, false},
                      CodewordCase{"Rate2of3_StepWithoutValues", 4000, 2, 3, Spoil::zero_pair, 1234, false, false},
                      CodewordCase{"Rate1of2_NoTail", 94, 1, 2, Spoil::no_tail, 0, true, false}),
    [](const ::testing::TestParamInfo<CodewordCase>& i) { return i.param.name; });

// On noisy blocks around the code's threshold, every block accepted decodes as the Viterbi
// decoder does, and both verdicts occur.
TEST(DecodeIfCodeword, NoisyBlocksAcceptedOnlyWhereTheViterbiAgrees) {
    int accepted = 0, refused = 0;
    for (uint32_t seed = 1; seed <= 120; ++seed) {
        const int num = seed % 3 == 0 ? 1 : seed % 3 == 1 ? 2 : 3;
        const Block b = coded_block(996, num, num + 1, 1.0, 0.2 + 0.01 * (seed % 40), seed);
        const std::vector<int16_t> q = quantised(b.soft);
        std::vector<uint8_t> bits;
        if (!rx::decode_if_codeword(q.data(), q.size() / 2, false, bits)) {
            ++refused;
            continue;
        }
        ++accepted;
        ASSERT_EQ(bits, rx::viterbi_decode_q(q.data(), q.size() / 2, false, rx::AcsKernel::plain)) << "seed " << seed;
    }
    EXPECT_GT(accepted, 10);
    EXPECT_GT(refused, 10);
}

}  // namespace
