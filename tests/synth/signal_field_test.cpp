#include "signal_field.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "fft.h"
#include "synth/reference/annex_g.h"
#include "synth/reference/wlan_reference.h"
#include "support/readable_params.h"

namespace {

std::string to_string(const int32_t* bits, int32_t count) {
    std::string s;
    for (int32_t i = 0; i < count; ++i) s += static_cast<char>('0' + bits[i]);
    return s;
}

std::vector<int32_t> from_string(const std::string& s) {
    std::vector<int32_t> bits;
    for (char c : s) bits.push_back(c - '0');
    return bits;
}

// ---- The Annex G example: 36 Mbit/s (rate index 5), LENGTH 100 ----

TEST(SignalAnnexG, BitsEncodedBitsAndInterleavedBits) {
    int32_t bits[24];
    signal_bits(5, 100, bits);
    EXPECT_EQ(to_string(bits, 24), annex_g::kSignalBits);

    int32_t a[24], b[24], coded[48], count = 0, state = 0;
    convolutional_encode(bits, a, b, &state, 24);
    ASSERT_EQ(puncture(coded, a, b, 24, 0, &count), 0);
    ASSERT_EQ(count, 48);
    EXPECT_EQ(to_string(coded, 48), annex_g::kSignalCoded);
    EXPECT_EQ(state, 0);  // the six tail bits return the encoder to zero

    int32_t interleaved[48];
    for (int32_t k = 0; k < 48; ++k) interleaved[interleave_index(k, 48, 1)] = coded[k];
    EXPECT_EQ(to_string(interleaved, 48), annex_g::kSignalInterleaved);
}

// The annex's SIGNAL symbol (its first sample halved by the annex's window,
// its extra sample 80 the halved continuation = half of sample 16).
TEST(SignalAnnexG, TimeDomainSymbolAtOversamplingOne) {
    std::vector<double> i(80, 3.0), q(80, 3.0);
    int32_t state = 0xFFFF;
    ASSERT_EQ(build_signal_symbol(1, 5, 100, &state, 0, i.data(), q.data()), 0);
    constexpr double tol = 0.0005 + 1e-12;
    for (int32_t n = 1; n < 80; ++n) {
        EXPECT_NEAR(i[n], annex_g::kSignal[n][0], tol) << "sample " << n;
        EXPECT_NEAR(q[n], annex_g::kSignal[n][1], tol) << "sample " << n;
    }
    EXPECT_NEAR(0.5 * i[0], annex_g::kSignal[0][0], tol);
    EXPECT_NEAR(0.5 * q[0], annex_g::kSignal[0][1], tol);
    EXPECT_NEAR(0.5 * i[16], annex_g::kSignal[80][0], tol);
    EXPECT_NEAR(0.5 * q[16], annex_g::kSignal[80][1], tol);

    // With a two-sample taper the first sample carries the annex's w(0) = 0.5.
    std::vector<double> wi(80), wq(80);
    state = 0xFFFF;
    ASSERT_EQ(build_signal_symbol(1, 5, 100, &state, 2, wi.data(), wq.data()), 0);
    EXPECT_NEAR(wi[0], annex_g::kSignal[0][0], tol);
    EXPECT_NEAR(wq[0], annex_g::kSignal[0][1], tol);
    fft_release_tables();
}

TEST(SignalSymbol, AdvancesThePilotStateOnce) {
    std::vector<double> i(400), q(400);
    int32_t state = 0xFFFF;
    ASSERT_EQ(build_signal_symbol(5, 0, 297, &state, 0, i.data(), q.data()), 0);
    EXPECT_EQ(state, 0x1FFFE);
    EXPECT_EQ(build_signal_symbol(0, 0, 297, &state, 0, i.data(), q.data()), 1);
    EXPECT_EQ(state, 0x1FFFE);
    fft_release_tables();
}

// ---- The 24 bits ----

struct BitsCase {
    int32_t rate_index, length;
    const char* expected;  // RATE, reserved, LENGTH LSB first, parity, tail
};
void PrintTo(const BitsCase& c, std::ostream* os) {
    *os << "rate " << c.rate_index << " LENGTH " << c.length;
}

class SignalBits : public ::testing::TestWithParam<BitsCase> {};

TEST_P(SignalBits, LayoutOfRateLengthParityTail) {
    int32_t bits[24];
    signal_bits(GetParam().rate_index, GetParam().length, bits);
    std::string expected;
    for (const char* p = GetParam().expected; *p; ++p)
        if (*p != ' ') expected += *p;
    EXPECT_EQ(to_string(bits, 24), expected);
    int32_t parity = 0;
    for (int32_t k = 0; k < 18; ++k) parity ^= bits[k];
    EXPECT_EQ(parity, 0);  // even parity over bits 0..17
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SignalBits,
    ::testing::Values(BitsCase{0, 297, "1101 0 100101001000 1 000000"},
                      BitsCase{7, 4074, "0011 0 010101111111 1 000000"},
                      BitsCase{0, -2, "1101 0 011111111111 0 000000"},  // 0 symbols: 4094
                      BitsCase{1, 0, "1111 0 000000000000 0 000000"},
                      BitsCase{2, 4095, "0101 0 111111111111 0 000000"},
                      BitsCase{3, 1, "0111 0 100000000000 0 000000"},
                      BitsCase{4, 2048, "1001 0 000000000001 1 000000"},
                      BitsCase{6, 6, "0001 0 011000000000 1 000000"},
                      BitsCase{8, 297, "1101 0 100101001000 1 000000"},  // outside 0..7: 6 Mbit/s
                      BitsCase{-1, 4096 + 3, "1101 0 110000000000 1 000000"}),  // low 12 bits only
    orv_test::PrintedName());

// ---- Encoder ----

TEST(ConvolutionalEncoder, ImpulseResponseIsTheGeneratorPolynomials) {
    // g0 = 133 octal = 1 011 011, g1 = 171 octal = 1 111 001 (taps at delays 0..6).
    const int32_t in[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    int32_t a[8], b[8], state = 0;
    convolutional_encode(in, a, b, &state, 8);
    EXPECT_EQ(to_string(a, 8), "10110110");
    EXPECT_EQ(to_string(b, 8), "11110010");
    EXPECT_EQ(state, 0);
}

TEST(ConvolutionalEncoder, StateCarriesAcrossCallsAndKeepsSevenBits) {
    const std::vector<int32_t> in = from_string("110100101110001011");
    std::vector<int32_t> a1(18), b1(18), a2(18), b2(18);
    int32_t s1 = 0, s2 = 0;
    convolutional_encode(in.data(), a1.data(), b1.data(), &s1, 18);
    convolutional_encode(in.data(), a2.data(), b2.data(), &s2, 7);
    convolutional_encode(in.data() + 7, a2.data() + 7, b2.data() + 7, &s2, 11);
    EXPECT_EQ(a1, a2);
    EXPECT_EQ(b1, b2);
    EXPECT_EQ(s1, 0b0001011);  // the last seven inputs, newest in bit 0
    EXPECT_EQ(s1, s2);
    EXPECT_EQ(a1[0], 1);
    EXPECT_EQ(b1[0], 1);
}

// ---- Puncturing (17.3.5.6) ----

struct PunctureCase {
    int32_t coding_rate, count;
    std::vector<int32_t> expected;  // 100 + n for A_n, 200 + n for B_n
};
void PrintTo(const PunctureCase& c, std::ostream* os) {
    *os << "code " << c.coding_rate << " count " << c.count;
}

class Puncture : public ::testing::TestWithParam<PunctureCase> {};

TEST_P(Puncture, KeepsTheStandardsBitsInOrder) {
    const PunctureCase& c = GetParam();
    std::vector<int32_t> a(c.count), b(c.count), out(2 * c.count + 1, -7);
    for (int32_t n = 0; n < c.count; ++n) {
        a[n] = 100 + n;
        b[n] = 200 + n;
    }
    int32_t out_count = -1;
    ASSERT_EQ(puncture(out.data(), a.data(), b.data(), c.count, c.coding_rate, &out_count), 0);
    ASSERT_EQ(out_count, static_cast<int32_t>(c.expected.size()));
    out.resize(out_count);
    EXPECT_EQ(out, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, Puncture,
    ::testing::Values(PunctureCase{0, 3, {100, 200, 101, 201, 102, 202}},
                      // 3/4: A0 B0 A1 B2 per three input bits.
                      PunctureCase{1, 6, {100, 200, 101, 202, 103, 203, 104, 205}},
                      PunctureCase{1, 4, {100, 200, 101, 202, 103, 203}},
                      // 2/3: A0 B0 A1 per two input bits.
                      PunctureCase{2, 6, {100, 200, 101, 102, 202, 103, 104, 204, 105}},
                      PunctureCase{2, 0, {}}), orv_test::PrintedName());

TEST(Puncture, UnknownCodeLeavesOutputsUntouched) {
    int32_t a[3] = {1, 1, 1}, b[3] = {1, 1, 1}, out[6] = {5, 5, 5, 5, 5, 5}, count = 9;
    EXPECT_EQ(puncture(out, a, b, 3, 3, &count), -1);
    EXPECT_EQ(puncture(out, a, b, 3, -1, &count), -1);
    EXPECT_EQ(count, 9);
    for (int32_t v : out) EXPECT_EQ(v, 5);
}

// ---- Interleaver (17.3.5.6) ----

TEST(Interleaver, SignalFieldPositions) {
    EXPECT_EQ(interleave_index(1, 48, 1), 3);
    EXPECT_EQ(interleave_index(16, 48, 1), 1);
    for (int32_t k = 0; k < 48; ++k) EXPECT_EQ(interleave_index(k, 48, 1), 3 * (k % 16) + k / 16);
}

// For every N_CBPS the interleaver is a permutation that the standard's
// deinterleaver formulas undo.
TEST(Interleaver, DeinterleaverUndoesItForEveryModulation) {
    for (int32_t nb : {1, 2, 4, 6}) {
        const int32_t n_cbps = 48 * nb;
        std::vector<int32_t> seen(n_cbps, 0);
        for (int32_t k = 0; k < n_cbps; ++k) {
            const int32_t j = interleave_index(k, n_cbps, nb);
            ASSERT_GE(j, 0);
            ASSERT_LT(j, n_cbps);
            ++seen[j];
            ASSERT_EQ(ref::deinterleave_index(j, n_cbps, nb), k)
                << "N_CBPS " << n_cbps << " k " << k;
        }
        for (int32_t v : seen) ASSERT_EQ(v, 1);
    }
}

TEST(Interleaver, RefusesIndicesOutsideTheSymbol) {
    EXPECT_EQ(interleave_index(-1, 48, 1), -1);
    EXPECT_EQ(interleave_index(48, 48, 1), -1);
    EXPECT_EQ(interleave_index(0, 0, 1), -1);
}

}  // namespace
