// The conditioning stages of packet sequences, each against the plain
// sequence transformed by the stage's formula, over several blocks of the
// pipeline (so a stage that restarts at a block edge shows).
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <numbers>
#include <ostream>
#include <string>
#include <vector>

#include "noise.h"
#include "orvasynth.h"
#include "tx_filter.h"
#include "validate.h"

namespace {

struct Samples {
    std::vector<double> i, q;
};

int32_t ORV_CALL collect(void* context, int64_t, int32_t count, const double* i, const double* q) {
    auto* s = static_cast<Samples*>(context);
    s->i.insert(s->i.end(), i, i + count);
    s->q.insert(s->q.end(), q, q + count);
    return 0;
}

// Two 300-octet packets (6 and 24 Mbit/s) at oversampling 4 with idle time:
// about 45000 samples, three blocks.
struct Fixture {
    std::vector<uint8_t> psdu = std::vector<uint8_t>(300);
    std::vector<OrvPacket> packets;
    Fixture() {
        for (size_t k = 0; k < psdu.size(); ++k) psdu[k] = static_cast<uint8_t>(k * 13 + 5);
        for (int32_t k = 0; k < 2; ++k) {
            OrvPacket p{};
            p.size = sizeof p;
            p.rate_index = k == 0 ? 0 : 4;
            p.scrambler_init = 93;
            p.psdu_length = 300;
            p.psdu = psdu.data();
            p.idle_time = 20e-6;
            packets.push_back(p);
        }
    }
    Samples run(const OrvSequenceParams& params) {
        OrvSequenceParams p = params;
        Samples s;
        EXPECT_EQ(orv_11a_sequence_blocks(&p, packets.data(), 2, collect, &s, nullptr), 0);
        return s;
    }
};

OrvSequenceParams base(int32_t channel_mhz) {
    OrvSequenceParams p{};
    p.size = sizeof p;
    p.oversampling = 4;
    p.channel_mhz = channel_mhz;
    p.window_tr = 100e-9;
    return p;
}

using Cplx = std::complex<double>;

// A tone's phasor at sample n, from the sample index itself.
Cplx tone(double f, double fs, int64_t n) {
    const double turns = std::fmod(f * static_cast<double>(n) / fs, 1.0);
    return std::polar(1.0, 2.0 * std::numbers::pi * turns);
}

// Largest difference between got and the expected sample of every index.
double worst(const Samples& got, const std::function<Cplx(size_t)>& expected) {
    double w = 0.0;
    for (size_t n = 0; n < got.i.size(); ++n) {
        const Cplx e = expected(n);
        w = std::max(w, std::abs(Cplx(got.i[n], got.q[n]) - e));
    }
    return w;
}

struct StageCase {
    const char* name;
    int32_t channel_mhz;
    void (*set)(OrvSequenceParams*);
    // Expected sample n from the plain sequence u (fs is the file's rate).
    Cplx (*expect)(const Samples& u, size_t n, double fs);
};

Cplx at(const Samples& u, size_t n) { return {u.i[n], u.q[n]}; }

const StageCase kStages[] = {
    {"FrequencyError", 20,
     [](OrvSequenceParams* p) {
         p->freq_error_enable = 1;
         p->freq_error = 123456.0;
     },
     [](const Samples& u, size_t n, double fs) { return at(u, n) * tone(123456.0, fs, n); }},
    {"FrequencyErrorAt5MHz", 5,
     [](OrvSequenceParams* p) {
         p->freq_error_enable = 1;
         p->freq_error = -250000.0;
     },
     [](const Samples& u, size_t n, double fs) { return at(u, n) * tone(-250000.0, fs, n); }},
    {"IfConversion", 10,
     [](OrvSequenceParams* p) {
         p->if_enable = 1;
         p->if_freq = 5e6;
     },
     [](const Samples& u, size_t n, double fs) {
         return Cplx((at(u, n) * tone(5e6, fs, n)).real(), 0.0);
     }},
    {"SineInterferer", 20,
     [](OrvSequenceParams* p) {
         p->sine_enable = 1;
         p->sine_freq = 3e6;
         p->sine_level = -20.0;
     },
     [](const Samples& u, size_t n, double fs) { return at(u, n) + 0.1 * tone(3e6, fs, n); }},
    {"IqExchange", 20, [](OrvSequenceParams* p) { p->iq_inverse = 1; },
     [](const Samples& u, size_t n, double) { return Cplx(u.q[n], u.i[n]); }},
};

void PrintTo(const StageCase& c, std::ostream* os) { *os << c.name; }

class SequenceStage : public ::testing::TestWithParam<StageCase> {};

TEST_P(SequenceStage, FollowsItsFormulaAcrossBlocks) {
    const StageCase& c = GetParam();
    Fixture f;
    const OrvSequenceParams plain = base(c.channel_mhz);
    const Samples u = f.run(plain);
    ASSERT_GT(u.i.size(), 2u * 16384u);
    OrvSequenceParams p = plain;
    c.set(&p);
    const Samples got = f.run(p);
    ASSERT_EQ(got.i.size(), u.i.size());
    const double fs = 1e6 * c.channel_mhz * p.oversampling;
    EXPECT_LT(worst(got, [&](size_t n) { return c.expect(u, n, fs); }), 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Stages, SequenceStage, ::testing::ValuesIn(kStages),
                         [](const ::testing::TestParamInfo<StageCase>& s) {
                             return std::string(s.param.name);
                         });

// The DC offset: percent of the sequence's peak envelope on each channel.
TEST(SequenceDcOffset, PercentOfThePeakEnvelope) {
    Fixture f;
    const Samples u = f.run(base(20));
    double peak = 0.0;
    for (size_t n = 0; n < u.i.size(); ++n) peak = std::max(peak, std::abs(at(u, n)));
    OrvSequenceParams p = base(20);
    p.dc_offset_re = 10.0;
    p.dc_offset_im = -5.0;
    const Samples got = f.run(p);
    EXPECT_LT(worst(got, [&](size_t n) { return at(u, n) + Cplx(0.1 * peak, -0.05 * peak); }),
              1e-12);
}

// The transmit filter: a linear convolution over the whole sequence with the
// burst filter's taps (cut-off taken at the channel's rate).
TEST(SequenceFilter, LinearConvolutionAcrossBlocks) {
    for (int32_t mhz : {20, 10}) {
        SCOPED_TRACE(std::to_string(mhz) + " MHz");
        Fixture f;
        const Samples u = f.run(base(mhz));
        OrvSequenceParams p = base(mhz);
        p.filter_cutoff = 8e6 * mhz / 20.0;
        p.filter_rolloff = 0.3;
        p.filter_taps = 101;
        const Samples got = f.run(p);
        const int32_t taps = p.filter_taps;
        std::vector<double> h(taps);
        ASSERT_EQ(design_raised_cosine(taps, samples_per_symbol(4, 8e6), 0.3, h.data()), 0);
        apply_hamming_window(taps, h.data(), h.data());
        normalise_taps(taps, h.data(), h.data());
        const int64_t count = static_cast<int64_t>(u.i.size());
        const double w = worst(got, [&](size_t n) {
            Cplx s = 0.0;
            for (int32_t j = 0; j < taps; ++j) {
                const int64_t m = static_cast<int64_t>(n) - (taps - 1) / 2 + j;
                if (m >= 0 && m < count) s += h[taps - 1 - j] * at(u, static_cast<size_t>(m));
            }
            return s;
        });
        EXPECT_LT(w, 1e-12);
    }
}

// The noise: the draws of the burst's noise stage over the same samples,
// from the same generator state.
TEST(SequenceNoise, SameDrawsAsTheNoiseStage) {
    Fixture f;
    Samples u = f.run(base(20));
    OrvSequenceParams p = base(20);
    p.noise_enable = 1;
    p.noise_level = -30.0;
    int32_t table[kNoiseTableSize + 1];
    noise_table_copy(table);
    const Samples got = f.run(p);
    noise_table_restore(table);
    add_gaussian_noise(static_cast<int32_t>(u.i.size()), -30.0, u.i.data(), u.q.data());
    EXPECT_TRUE(got.i == u.i);
    EXPECT_TRUE(got.q == u.q);
}

}  // namespace
