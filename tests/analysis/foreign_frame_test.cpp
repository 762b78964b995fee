// A standard 802.11a frame that no one here generated: a small reference
// transmitter written from 17.3.3 to 17.3.5 (scrambled, coded, punctured and
// interleaved DATA), checked against the worked example of Annex G, then
// written as a CSV file and measured by the analysis.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "analysis.h"
#include "support/records.h"
#include "synth/reference/annex_g.h"
#include "synth/reference/wlan_reference.h"
#include "reference_tx.h"

namespace {

using namespace reftx;

TEST(ReferenceEncoder, MatchesAnnexG) {
    const std::vector<int> sig = signal_bits("1011", 100);
    EXPECT_EQ(sig, bits_of(annex_g::kSignalBits));
    const std::vector<int> coded = encode(sig);
    EXPECT_EQ(coded, bits_of(annex_g::kSignalCoded));
    EXPECT_EQ(interleave(coded, 48, 1), bits_of(annex_g::kSignalInterleaved));
    // The scrambler from all ones gives the pilot polarity sequence (p = 1 - 2 s).
    const std::vector<int> s = scramble(std::vector<int>(127, 0), 0x7F);
    for (int i = 0; i < 127; ++i) EXPECT_EQ(1 - 2 * s[i], ref::pilot_polarity()[i]) << i;
    // Time domain at 20 MHz: the annex halves the first sample of each field (its window).
    const std::vector<C> f = frame_36(std::vector<int>(800, 0), 100, 1);
    for (int n = 1; n < 160; ++n) {
        EXPECT_NEAR(f[n].real(), annex_g::kShort[n][0], 0.0015) << n;
        EXPECT_NEAR(f[n].imag(), annex_g::kShort[n][1], 0.0015) << n;
        EXPECT_NEAR(f[160 + n].real(), annex_g::kLong[n][0], 0.0015) << n;
        EXPECT_NEAR(f[160 + n].imag(), annex_g::kLong[n][1], 0.0015) << n;
    }
    for (int n = 1; n < 80; ++n) {
        EXPECT_NEAR(f[320 + n].real(), annex_g::kSignal[n][0], 0.0015) << n;
        EXPECT_NEAR(f[320 + n].imag(), annex_g::kSignal[n][1], 0.0015) << n;
    }
}

TEST(ForeignFrame, SignalFoundAndEvmByDecisions) {
    TempDir dir("foreign");
    const int length = 100, os = 4;
    std::vector<int> psdu;
    uint32_t s = 2024;
    for (int i = 0; i < 8 * length; ++i) {
        s = s * 1664525u + 1013904223u;
        psdu.push_back(static_cast<int>(s >> 31));
    }
    const std::vector<C> f = frame_36(psdu, length, os);
    const std::string path = dir.file("foreign.csv");
    {
        std::FILE* out = std::fopen(path.c_str(), "w");
        ASSERT_NE(out, nullptr);
        for (int i = 0; i < 333; ++i) std::fprintf(out, "0.0,0.0\n");
        for (const C& v : f) std::fprintf(out, "%.12e,%.12e\n", v.real(), v.imag());
        for (int i = 0; i < 400; ++i) std::fprintf(out, "0.0,0.0\n");
        std::fclose(out);
    }
    const orv::analysis::Result r = orv::analysis::analyse_file(path, {});
    EXPECT_EQ(r.file.oversample, os);  // from the short training period
    EXPECT_EQ(r.file.sample_rate_source, "short training period");
    EXPECT_EQ(r.burst.start, 333);
    EXPECT_EQ(r.burst.length, static_cast<int64_t>(f.size()));
    ASSERT_TRUE(r.signal);
    EXPECT_EQ(r.signal->rate_mbps, 36);
    EXPECT_EQ(r.signal->length, length);
    EXPECT_TRUE(r.signal->parity_ok);
    EXPECT_EQ(r.signal->data_symbols, 6);
    ASSERT_TRUE(r.payload);
    EXPECT_EQ(r.payload->pattern, "not a test pattern");
    EXPECT_FALSE(r.payload->bit_errors.has_value());
    ASSERT_TRUE(r.evm_db);
    EXPECT_LT(*r.evm_db, -100.0);
}

// SIGNAL tail bits are decoded, not assumed: a nonzero tail is reported.
TEST(ForeignFrame, SignalTailIsChecked) {
    TempDir dir("tail");
    for (int tail : {0, 0x05, 0x20}) {
        const std::vector<C> f = frame_36(std::vector<int>(800, 0), 100, 2, tail);
        const std::string path = dir.file("tail.csv");
        std::FILE* out = std::fopen(path.c_str(), "w");
        ASSERT_NE(out, nullptr);
        for (const C& v : f) std::fprintf(out, "%.12e,%.12e\n", v.real(), v.imag());
        for (int i = 0; i < 2000; ++i) std::fprintf(out, "0.0,0.0\n");
        std::fclose(out);
        orv::analysis::Options opt;
        opt.oversample = 2;
        const orv::analysis::Result r = orv::analysis::analyse_file(path, opt);
        ASSERT_TRUE(r.signal) << tail;
        EXPECT_EQ(r.signal->tail_ok, tail == 0) << tail;
        EXPECT_EQ(r.signal->rate_mbps, 36) << tail;
        EXPECT_EQ(r.signal->length, 100) << tail;
    }
}

// A frame cut two symbols short of what its SIGNAL field announces, with silence after it:
// the missing symbols are a failure, and the silence is not demodulated as symbols.
TEST(ForeignFrame, BurstShorterThanItsSignalField) {
    TempDir dir("short");
    const int os = 2;
    std::vector<C> f = frame_36(std::vector<int>(800, 1), 100, os);
    f.resize(f.size() - 2 * 80 * os);
    const std::string path = dir.file("short.csv");
    std::FILE* out = std::fopen(path.c_str(), "w");
    ASSERT_NE(out, nullptr);
    for (const C& v : f) std::fprintf(out, "%.12e,%.12e\n", v.real(), v.imag());
    for (int i = 0; i < 3000; ++i) std::fprintf(out, "0.0,0.0\n");
    std::fclose(out);
    orv::analysis::Options opt;
    opt.oversample = os;
    const orv::analysis::Result r = orv::analysis::analyse_file(path, opt);
    ASSERT_TRUE(r.signal);
    EXPECT_EQ(r.signal->data_symbols, 6);
    EXPECT_EQ(r.data_symbols_demodulated, 4);
    ASSERT_FALSE(r.failures.empty());
    EXPECT_EQ(r.failures.front(), "the burst ends after 4 of the 6 DATA symbols the SIGNAL field announces");
    EXPECT_LT(r.evm_db.value_or(0), -100.0);
    EXPECT_EQ(r.burst.gap_length, 3000);
}

}  // namespace
