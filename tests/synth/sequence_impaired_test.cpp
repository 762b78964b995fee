// Packet sequences through the impairment chain (orv_11a_sequence_impaired*):
// each stage's effect on whole sequences against a computation of the test's
// own from the unimpaired sequence, the streams' independence, the record's checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <complex>
#include <cstdint>
#include <numbers>
#include <ostream>
#include <string>
#include <vector>

#include "noise.h"
#include "orvasynth.h"
#include "support/files.h"
#include "support/readable_params.h"

namespace {

using Cplx = std::complex<double>;
constexpr double kPi = std::numbers::pi;

struct Samples {
    std::vector<double> i, q;
    Cplx at(size_t n) const { return {i[n], q[n]}; }
};

int32_t ORV_CALL collect(void* context, int64_t, int32_t count, const double* i, const double* q) {
    auto* s = static_cast<Samples*>(context);
    s->i.insert(s->i.end(), i, i + count);
    s->q.insert(s->q.end(), q, q + count);
    return 0;
}

OrvImpairments none() {
    OrvImpairments m{};
    m.size = sizeof m;
    m.seed = 2024;
    return m;
}

// Three 400-octet packets at 54, 6 and 24 Mbit/s with 30 us idle time.
struct Sequence {
    std::vector<uint8_t> psdu = std::vector<uint8_t>(400);
    std::vector<OrvPacket> packets;
    OrvSequenceParams params{};
    explicit Sequence(int32_t os = 4, int32_t channel_mhz = 20) {
        for (size_t k = 0; k < psdu.size(); ++k) psdu[k] = static_cast<uint8_t>(k * 29 + 3);
        const int32_t rates[] = {7, 0, 4};
        for (int32_t rate : rates) {
            OrvPacket p{};
            p.size = sizeof p;
            p.rate_index = rate;
            p.scrambler_init = 71;
            p.psdu_length = 400;
            p.psdu = psdu.data();
            p.idle_time = 30e-6;
            packets.push_back(p);
        }
        params.size = sizeof params;
        params.oversampling = os;
        params.channel_mhz = channel_mhz;
        params.window_tr = 100e-9;
    }
    int32_t count() const { return static_cast<int32_t>(packets.size()); }
    Samples run(const OrvImpairments* m, std::vector<int64_t>* starts = nullptr) {
        OrvSequenceParams p = params;
        Samples s;
        std::vector<int64_t> st(packets.size());
        EXPECT_EQ(orv_11a_sequence_impaired_blocks(&p, m, packets.data(), count(), collect, &s,
                                                   st.data()),
                  0);
        EXPECT_EQ(static_cast<int64_t>(s.i.size()), p.total_samples);
        if (starts != nullptr) *starts = st;
        return s;
    }
    Samples plain(std::vector<int64_t>* starts = nullptr) {
        OrvSequenceParams p = params;
        Samples s;
        std::vector<int64_t> st(packets.size());
        EXPECT_EQ(orv_11a_sequence_blocks(&p, packets.data(), count(), collect, &s, st.data()), 0);
        if (starts != nullptr) *starts = st;
        return s;
    }
    // Whether sample n of the plain sequence lies in a packet (from its start
    // to the end of its fields; the starts of plain()).
    bool in_packet(const std::vector<int64_t>& starts, int64_t n) const {
        for (size_t k = 0; k < packets.size(); ++k) {
            const int32_t n_dbps[] = {24, 36, 48, 72, 96, 144, 192, 216};
            const int32_t bits = 16 + 8 * packets[k].psdu_length + 6;
            const int32_t n_sym = (bits + n_dbps[packets[k].rate_index] - 1) / n_dbps[packets[k].rate_index];
            const int64_t length = (400 + 80 * n_sym) * static_cast<int64_t>(params.oversampling);
            if (n >= starts[k] && n < starts[k] + length) return true;
        }
        return false;
    }
};

TEST(ImpairedSequence, NoImpairmentGivesThePlainSequence) {
    Sequence seq;
    seq.params.noise_enable = 1;
    seq.params.noise_level = -30;
    seq.params.dc_offset_re = 5;
    // The absolute noise's shuffle table carries over between calls: each
    // call starts from the same table.
    int32_t table[kNoiseTableSize + 1];
    noise_table_copy(table);
    const Samples plain = seq.plain();
    const OrvImpairments zero = none();
    noise_table_restore(table);
    const Samples a = seq.run(&zero);
    noise_table_restore(table);
    const Samples b = seq.run(nullptr);
    EXPECT_EQ(a.i, plain.i);
    EXPECT_EQ(a.q, plain.q);
    EXPECT_EQ(b.i, plain.i);
}

struct SnrCase {
    int32_t os, channel_mhz;
    double snr_db;
};
void PrintTo(const SnrCase& c, std::ostream* os) {
    *os << "os " << c.os << " channel " << c.channel_mhz << " MHz snr " << c.snr_db << " dB";
}
class ImpairedSnr : public ::testing::TestWithParam<SnrCase> {};

// The noise (impaired minus plain) has variance P / SNR x os per complex
// sample, P the packets' mean power, in the packets and in the idle time alike.
TEST_P(ImpairedSnr, NoisePowerIsPacketPowerOverSnrTimesOversampling) {
    const SnrCase c = GetParam();
    Sequence seq(c.os, c.channel_mhz);
    std::vector<int64_t> starts;
    const Samples plain = seq.plain(&starts);
    OrvImpairments m = none();
    m.snr_enable = 1;
    m.snr_db = c.snr_db;
    const Samples noisy = seq.run(&m);
    ASSERT_EQ(noisy.i.size(), plain.i.size());
    double packet_power = 0.0, noise_in = 0.0, noise_out = 0.0;
    int64_t n_in = 0, n_out = 0;
    for (size_t n = 0; n < plain.i.size(); ++n) {
        const double e = std::norm(noisy.at(n) - plain.at(n));
        if (seq.in_packet(starts, static_cast<int64_t>(n))) {
            packet_power += std::norm(plain.at(n));
            noise_in += e;
            ++n_in;
        } else {
            noise_out += e;
            ++n_out;
        }
    }
    const double want = packet_power / n_in / std::pow(10.0, c.snr_db / 10.0) * c.os;
    EXPECT_NEAR(noise_in / n_in / want, 1.0, 0.03);
    EXPECT_NEAR(noise_out / n_out / want, 1.0, 0.05);
}

INSTANTIATE_TEST_SUITE_P(Cases, ImpairedSnr,
                         ::testing::Values(SnrCase{1, 20, 10}, SnrCase{4, 20, 25},
                                           SnrCase{8, 20, 5}, SnrCase{2, 10, 30},
                                           SnrCase{4, 5, 0}),
                         orv_test::PrintedName{});

struct AmplifierCase {
    const char* name;
    int32_t os;
    double p, backoff_db;
    bool clip, iq_inverse, filter;
};
void PrintTo(const AmplifierCase& c, std::ostream* os) { *os << c.name; }
class ImpairedAmplifier : public ::testing::TestWithParam<AmplifierCase> {};

// The amplifier alone (and with the clipping after it): each sample of the
// plain sequence (I and Q exchanged, filtered, as the settings say) through
// the Rapp formula, A_sat backoff_db above the packets' RMS, phase kept; the
// idle time stays exactly zero without the filter.
TEST_P(ImpairedAmplifier, SamplesAreThePlainSequenceThroughTheRappCurve) {
    const AmplifierCase c = GetParam();
    Sequence seq(c.os);
    seq.params.window_tr = 0.0;
    seq.params.iq_inverse = c.iq_inverse ? 1 : 0;
    if (c.filter) {
        seq.params.filter_cutoff = 8e6;
        seq.params.filter_rolloff = 0.25;
        seq.params.filter_taps = 31;
    }
    std::vector<int64_t> starts;
    const Samples plain = seq.plain(&starts);
    OrvImpairments m = none();
    m.pa_enable = 1;
    m.pa_smoothness = c.p;
    m.pa_backoff_db = c.backoff_db;
    m.clip_enable = c.clip ? 1 : 0;
    m.clip_papr_db = 2;
    const Samples got = seq.run(&m);
    ASSERT_EQ(got.i.size(), plain.i.size());
    double power = 0.0, peak = 0.0;
    int64_t n_in = 0;
    for (size_t n = 0; n < plain.i.size(); ++n) {
        peak = std::max(peak, std::abs(plain.at(n)));
        if (!seq.in_packet(starts, static_cast<int64_t>(n))) continue;
        power += std::norm(plain.at(n));
        ++n_in;
    }
    ASSERT_GT(n_in, 0);
    const double rms = std::sqrt(power / n_in);
    const double a_sat = rms * std::pow(10.0, c.backoff_db / 20.0);
    const double level = rms * std::pow(10.0, 2.0 / 20.0);
    size_t off = 0, idle_not_zero = 0, clipped = 0;
    for (size_t n = 0; n < plain.i.size(); ++n) {
        const Cplx x = plain.at(n);
        const double r = std::abs(x) / a_sat;
        Cplx want = x / std::pow(1.0 + std::pow(r, 2.0 * c.p), 1.0 / (2.0 * c.p));
        if (c.clip && std::abs(want) > level) {
            want *= level / std::abs(want);
            ++clipped;
        }
        off += std::abs(got.at(n) - want) > 1e-9 * peak;
        if (!c.filter && !seq.in_packet(starts, static_cast<int64_t>(n)))
            idle_not_zero += got.i[n] != 0.0 || got.q[n] != 0.0;
    }
    EXPECT_EQ(off, 0u);
    EXPECT_EQ(idle_not_zero, 0u);
    if (c.clip) {
        EXPECT_GT(clipped, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImpairedAmplifier,
    ::testing::Values(AmplifierCase{"os1_p3", 1, 3.0, 8.0, false, false, false},
                      AmplifierCase{"os4_p3_iq_inverse", 4, 3.0, 8.0, false, true, false},
                      AmplifierCase{"os2_p1_3_hard", 2, 1.3, 0.0, false, false, false},
                      AmplifierCase{"os4_p2_clip_iq_inverse", 4, 2.0, 3.0, true, true, false},
                      AmplifierCase{"os4_p3_filter", 4, 3.0, 6.0, false, false, true},
                      AmplifierCase{"os4_p3_filter_iq_inverse", 4, 3.0, 6.0, false, true, true}),
    orv_test::PrintedName{});

// The plain sequence at position t (in its samples) by a long windowed sinc
// of the test's own (the sequence is band-limited to the channel).
Cplx interpolate(const Samples& s, double t) {
    const int64_t centre = static_cast<int64_t>(std::floor(t));
    Cplx sum = 0.0;
    for (int64_t m = centre - 63; m <= centre + 64; ++m) {
        if (m < 0 || m >= static_cast<int64_t>(s.i.size())) continue;
        const double d = static_cast<double>(m) - t;
        const double sinc = d == 0.0 ? 1.0 : std::sin(kPi * d) / (kPi * d);
        const double w = 0.5 + 0.5 * std::cos(kPi * d / 64.5);
        sum += s.at(static_cast<size_t>(m)) * sinc * w;
    }
    return sum;
}

struct ClockCase {
    double ppm;
};
void PrintTo(const ClockCase& c, std::ostream* os) { *os << c.ppm << " ppm"; }
class ImpairedClock : public ::testing::TestWithParam<ClockCase> {};

// Output sample n is the plain sequence at n (1 + ppm 1e-6): the packets come
// earlier (fast clock) or later, and their starts say so; the length covers them.
TEST_P(ImpairedClock, SamplesAreThePlainSequenceAtTheFastClocksPositions) {
    const double d = GetParam().ppm * 1e-6;
    Sequence seq(4);
    std::vector<int64_t> starts0, starts;
    const Samples plain = seq.plain(&starts0);
    OrvImpairments m = none();
    m.clock_ppm = GetParam().ppm;
    const Samples got = seq.run(&m, &starts);
    const int64_t total = static_cast<int64_t>(plain.i.size());
    EXPECT_EQ(static_cast<int64_t>(got.i.size()),
              static_cast<int64_t>(std::floor((total - 1) / (1.0 + d))) + 1);
    for (size_t k = 0; k < starts.size(); ++k)
        EXPECT_EQ(starts[k], std::llround(starts0[k] / (1.0 + d))) << k;
    double err = 0.0, power = 0.0;
    for (size_t n = 200; n + 200 < got.i.size(); n += 7) {
        const Cplx want = interpolate(plain, static_cast<double>(n) * (1.0 + d));
        err += std::norm(got.at(n) - want);
        power += std::norm(want);
    }
    EXPECT_LT(10 * std::log10(err / power), -45.0);
}

INSTANTIATE_TEST_SUITE_P(Cases, ImpairedClock,
                         ::testing::Values(ClockCase{-500}, ClockCase{-20}, ClockCase{40},
                                           ClockCase{1000}),
                         orv_test::PrintedName{});

// The carrier offset in ppm of the carrier, with the Hz-valued frequency
// error on top, moves the signal up: sample n times e^(j 2 pi f n / fs).
TEST(ImpairedCarrier, PpmOfTheCarrierShiftsUpWithTheFrequencyError) {
    Sequence seq(2);
    seq.params.freq_error_enable = 1;
    seq.params.freq_error = -1000.0;
    Sequence ref(2);
    const Samples plain = ref.plain();
    OrvImpairments m = none();
    m.cfo_ppm = 10.0;
    m.carrier_ghz = 5.2;  // 52 kHz
    const Samples got = seq.run(&m);
    const double f = 52000.0 - 1000.0, fs = 40e6;
    double worst = 0.0;
    for (size_t n = 0; n < got.i.size(); ++n) {
        const double turns = std::fmod(f * static_cast<double>(n) / fs, 1.0);
        worst = std::max(worst, std::abs(got.at(n) - plain.at(n) * std::polar(1.0, 2 * kPi * turns)));
    }
    EXPECT_LT(worst, 1e-9);
}

// Each random stage has its own stream: switching the IQ imbalance or the
// phase noise on leaves the noise's draws as they were, and the seed decides them.
TEST(ImpairedStreams, NoiseDrawsDoNotDependOnOtherStagesAndFollowTheSeed) {
    Sequence seq(2);
    OrvImpairments snr = none();
    snr.snr_enable = 1;
    snr.snr_db = 20;
    OrvImpairments iq = none();
    iq.iq_gain_db = 0.5;
    OrvImpairments both = snr;
    both.iq_gain_db = 0.5;
    const Samples plain = seq.plain();
    const Samples a = seq.run(&snr);
    const Samples b = seq.run(&iq);
    const Samples c = seq.run(&both);
    const Samples again = seq.run(&snr);
    EXPECT_EQ(a.i, again.i);
    // The noise's variance follows P, which the IQ imbalance changes a little:
    // compare the draws' shape through their correlation.
    double cross = 0.0, pa = 0.0, pc = 0.0;
    for (size_t n = 0; n < a.i.size(); ++n) {
        const Cplx na = a.at(n) - plain.at(n), nc = c.at(n) - b.at(n);
        cross += std::real(na * std::conj(nc));
        pa += std::norm(na);
        pc += std::norm(nc);
    }
    EXPECT_GT(cross / std::sqrt(pa * pc), 0.999999);
    OrvImpairments other = snr;
    other.seed = 7;
    const Samples d = seq.run(&other);
    EXPECT_NE(d.i, a.i);
}

// A one-tap explicit channel of gain g dB and phase phi multiplies the
// sequence by that; a tap at 100 ns delays it by 100 ns.
TEST(ImpairedMultipath, ExplicitTapsScaleAndDelay) {
    Sequence seq(4);  // 80 MHz: 12.5 ns a sample
    const Samples plain = seq.plain();
    const double delay[] = {0.0, 100.0};
    const double gain[] = {-3.0, -10.0};
    const double phase[] = {30.0, -90.0};
    OrvImpairments m = none();
    m.tap_count = 2;
    m.tap_delay_ns = delay;
    m.tap_gain_db = gain;
    m.tap_phase_deg = phase;
    const Samples got = seq.run(&m);
    const Cplx g0 = std::polar(std::pow(10.0, -3.0 / 20), 30 * kPi / 180);
    const Cplx g1 = std::polar(std::pow(10.0, -10.0 / 20), -90 * kPi / 180);
    double worst = 0.0;
    for (size_t n = 0; n < got.i.size(); ++n) {
        const Cplx want = g0 * plain.at(n) + (n >= 8 ? g1 * plain.at(n - 8) : 0.0);
        worst = std::max(worst, std::abs(got.at(n) - want));
    }
    EXPECT_LT(worst, 1e-12);
}

// A new realisation per packet: the channel seen by three identical packets
// differs; one for the file: the same, sample for sample.
TEST(ImpairedMultipath, PerPacketRealisationsDifferAndOneForTheFileDoesNot) {
    Sequence seq(1);
    for (OrvPacket& p : seq.packets) p.rate_index = 4;
    std::vector<int64_t> starts;
    seq.plain(&starts);
    OrvImpairments m = none();
    m.multipath_rms_ns = 50;
    for (const int32_t per_packet : {0, 1}) {
        m.multipath_per_packet = per_packet;
        const Samples got = seq.run(&m);
        double diff = 0.0, power = 0.0;
        for (int64_t k = 0; k < 400; ++k) {
            const size_t a = static_cast<size_t>(starts[0] + k), b = static_cast<size_t>(starts[2] + k);
            diff += std::norm(got.at(a) - got.at(b));
            power += std::norm(got.at(a));
        }
        if (per_packet == 0) {
            EXPECT_LT(diff / power, 1e-20);
        } else {
            EXPECT_GT(diff / power, 0.01);
        }
    }
}

struct BadCase {
    const char* name;
    void (*spoil)(OrvImpairments*);
    uint32_t bits;
};
void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }
class ImpairedRefused : public ::testing::TestWithParam<BadCase> {};

const double kGoodOffsets[] = {1e3, 1e5};
const double kBadOffsets[] = {1e5, 1e3};
const double kLevels[] = {-80, -100};
const double kTapDelay[] = {0.0, -5.0};
const double kTapGain[] = {0.0, -3.0};

// A bad field is refused with its bit, the callback never called, and the
// sequence's own bits still reported beside it.
TEST_P(ImpairedRefused, WithItsBitAndNothingHandedOver) {
    Sequence seq(2);
    OrvImpairments m = none();
    GetParam().spoil(&m);
    OrvSequenceParams p = seq.params;
    Samples s;
    EXPECT_EQ(static_cast<uint32_t>(orv_11a_sequence_impaired_blocks(
                  &p, &m, seq.packets.data(), seq.count(), collect, &s, nullptr)),
              ORV_INVALID | GetParam().bits);
    EXPECT_TRUE(s.i.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImpairedRefused,
    ::testing::Values(
        BadCase{"size", [](OrvImpairments* m) { m->size += 8; }, ORV_IMP_BAD_SIZE},
        BadCase{"snr switch", [](OrvImpairments* m) { m->snr_enable = 2; }, ORV_IMP_BAD_SNR},
        BadCase{"snr above 100",
                [](OrvImpairments* m) {
                    m->snr_enable = 1;
                    m->snr_db = 101;
                },
                ORV_IMP_BAD_SNR},
        BadCase{"snr NaN",
                [](OrvImpairments* m) {
                    m->snr_enable = 1;
                    m->snr_db = NAN;
                },
                ORV_IMP_BAD_SNR},
        BadCase{"iq gain 11 dB", [](OrvImpairments* m) { m->iq_gain_db = 11; }, ORV_IMP_BAD_IQ},
        BadCase{"iq phase minus 46", [](OrvImpairments* m) { m->iq_phase_deg = -46; }, ORV_IMP_BAD_IQ},
        BadCase{"rapp p 0",
                [](OrvImpairments* m) {
                    m->pa_enable = 1;
                    m->pa_smoothness = 0;
                },
                ORV_IMP_BAD_PA},
        BadCase{"clip minus 1 dB",
                [](OrvImpairments* m) {
                    m->clip_enable = 1;
                    m->clip_papr_db = -1;
                },
                ORV_IMP_BAD_PA},
        BadCase{"unsorted profile",
                [](OrvImpairments* m) {
                    m->phase_noise_count = 2;
                    m->phase_noise_offsets_hz = kBadOffsets;
                    m->phase_noise_dbc_hz = kLevels;
                },
                ORV_IMP_BAD_PHASE_NOISE},
        BadCase{"profile and rms",
                [](OrvImpairments* m) {
                    m->phase_noise_count = 2;
                    m->phase_noise_offsets_hz = kGoodOffsets;
                    m->phase_noise_dbc_hz = kLevels;
                    m->phase_noise_rms_deg = 1;
                },
                ORV_IMP_BAD_PHASE_NOISE},
        BadCase{"rms 61 deg", [](OrvImpairments* m) { m->phase_noise_rms_deg = 61; },
                ORV_IMP_BAD_PHASE_NOISE},
        BadCase{"cfo without carrier", [](OrvImpairments* m) { m->cfo_ppm = 10; },
                ORV_IMP_BAD_CARRIER},
        BadCase{"cfo beyond half the rate",
                [](OrvImpairments* m) {
                    m->cfo_ppm = 1000;
                    m->carrier_ghz = 100;  // 100 MHz at 40 MHz sampling
                },
                ORV_IMP_BAD_CARRIER},
        BadCase{"clock 1001 ppm", [](OrvImpairments* m) { m->clock_ppm = 1001; }, ORV_IMP_BAD_CLOCK},
        BadCase{"multipath rms 0.5", [](OrvImpairments* m) { m->multipath_rms_ns = 0.5; },
                ORV_IMP_BAD_MULTIPATH},
        BadCase{"negative tap delay",
                [](OrvImpairments* m) {
                    m->tap_count = 2;
                    m->tap_delay_ns = kTapDelay;
                    m->tap_gain_db = kTapGain;
                },
                ORV_IMP_BAD_MULTIPATH},
        BadCase{"taps and rms",
                [](OrvImpairments* m) {
                    m->tap_count = 1;
                    m->tap_delay_ns = kTapDelay;
                    m->tap_gain_db = kTapGain;
                    m->multipath_rms_ns = 50;
                },
                ORV_IMP_BAD_MULTIPATH},
        BadCase{"per packet 2", [](OrvImpairments* m) { m->multipath_per_packet = 2; },
                ORV_IMP_BAD_MULTIPATH}),
    orv_test::PrintedName{});

// The whole chain at once runs through the file writer too, and the same
// record writes the same bytes.
TEST(ImpairedSequence, WholeChainWritesTheSameFileTwice) {
    Sequence seq(2);
    OrvImpairments m = none();
    m.snr_enable = 1;
    m.snr_db = 25;
    m.iq_gain_db = 0.3;
    m.iq_phase_deg = 2;
    m.pa_enable = 1;
    m.pa_smoothness = 3;
    m.pa_backoff_db = 8;
    m.clip_enable = 1;
    m.clip_papr_db = 9;
    m.phase_noise_rms_deg = 1;
    m.cfo_ppm = 5;
    m.carrier_ghz = 5.8;
    m.clock_ppm = 5;
    m.multipath_rms_ns = 50;
    m.multipath_per_packet = 1;
    const orv_test::TempDir dir;
    const std::string path = dir.file("impaired_chain.csv");
    std::string first;
    for (int run = 0; run < 2; ++run) {
        OrvSequenceParams p = seq.params;
        ASSERT_EQ(orv_11a_sequence_impaired(&p, &m, seq.packets.data(), seq.count(), 1,
                                            path.c_str(), nullptr),
                  0);
        FILE* f = std::fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        std::string text;
        char buf[65536];
        size_t got;
        while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, got);
        std::fclose(f);
        if (run == 0) first = text;
        else EXPECT_EQ(text, first);
        EXPECT_GT(text.size(), 1000u);
    }
    std::remove(path.c_str());
}

// The AWG file of an impaired sequence: its codes are those of the samples the
// block entry hands over, rounded to single precision, at the full scale of
// their largest magnitude (the writing pass takes the samples its measuring
// pass kept, so both must be the same samples in the same order).
TEST(ImpairedSequence, AwgFileHoldsTheBlockSamplesRoundedToSinglePrecision) {
    Sequence seq(2);
    OrvImpairments m = none();
    m.snr_enable = 1;
    m.snr_db = 25;
    m.iq_gain_db = 0.3;
    m.pa_enable = 1;
    m.pa_smoothness = 3;
    m.pa_backoff_db = 8;
    m.phase_noise_rms_deg = 1;
    m.clock_ppm = 5;
    m.multipath_rms_ns = 50;
    m.multipath_per_packet = 1;
    const Samples want = seq.run(&m);
    std::vector<double> wi(want.i.size()), wq(want.q.size());
    double scale = 0.0;
    for (size_t n = 0; n < wi.size(); ++n) {
        wi[n] = static_cast<float>(want.i[n]);
        wq[n] = static_cast<float>(want.q[n]);
        scale = std::max({scale, std::fabs(wi[n]), std::fabs(wq[n])});
    }
    const orv_test::TempDir dir;
    const std::string path = dir.file("impaired_chain.awv");
    OrvSequenceParams p = seq.params;
    ASSERT_EQ(orv_11a_sequence_impaired(&p, &m, seq.packets.data(), seq.count(), 0, path.c_str(), nullptr), 0);
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::string bytes;
    char buf[65536];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, got);
    std::fclose(f);
    std::remove(path.c_str());
    const size_t n = wi.size();
    ASSERT_GT(bytes.size(), 8 * n + 1);
    ASSERT_EQ(bytes.back(), '}');
    const size_t data = bytes.size() - 1 - 8 * n;
    const auto code = [&](double x) {
        return static_cast<int32_t>((x / (scale + 1e-12) + 1.0) * 0.5 * 16383.0);
    };
    const auto word = [&](size_t at) {
        uint32_t v = 0;
        for (int b = 3; b >= 0; --b) v = (v << 8) | static_cast<unsigned char>(bytes[at + b]);
        return static_cast<int32_t>(v);
    };
    size_t off = 0, first_off = n;
    for (size_t k = 0; k < n; ++k) {
        if (word(data + 8 * k) != code(wi[k]) || word(data + 8 * k + 4) != code(wq[k])) {
            if (off++ == 0) first_off = k;
        }
    }
    EXPECT_EQ(off, 0u) << "first at sample " << first_off << " of " << n;
    // The out figures: peaks over means of those samples (sums in another order: 1e-9 dB).
    double peak_i = 0, peak_q = 0, peak_c = 0, sum_i = 0, sum_q = 0, sum_c = 0;
    for (size_t k = 0; k < n; ++k) {
        const double pi = wi[k] * wi[k], pq = wq[k] * wq[k];
        peak_i = std::max(peak_i, pi), peak_q = std::max(peak_q, pq), peak_c = std::max(peak_c, pi + pq);
        sum_i += pi, sum_q += pq, sum_c += pi + pq;
    }
    const double count = static_cast<double>(n);
    EXPECT_NEAR(p.crest_i, 10 * std::log10(peak_i / (sum_i / count)), 1e-9);
    EXPECT_NEAR(p.crest_q, 10 * std::log10(peak_q / (sum_q / count)), 1e-9);
    EXPECT_NEAR(p.papr, 10 * std::log10(peak_c / (sum_c / count)), 1e-9);
}

// At oversampling 1 with no filter a sequence is otherwise written straight from its PPDUs;
// with any impairment the CSV file holds the impaired samples the block entry hands over.
struct FileCase {
    const char* name;
    void (*set)(OrvImpairments*);
};
void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }
class ImpairedFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(ImpairedFile, HoldsTheImpairedSamplesAtOversamplingOne) {
    Sequence seq(1);
    OrvImpairments m = none();
    GetParam().set(&m);
    const Samples want = seq.run(&m);
    const orv_test::TempDir dir;
    const std::string path = dir.file("impaired_os1.csv");
    OrvSequenceParams p = seq.params;
    ASSERT_EQ(orv_11a_sequence_impaired(&p, &m, seq.packets.data(), seq.count(), 1, path.c_str(), nullptr), 0);
    FILE* f = std::fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    double i = 0, q = 0;
    size_t n = 0, off = 0;
    while (std::fscanf(f, "%lf,%lf", &i, &q) == 2) {
        if (n < want.i.size() && (std::abs(i - want.i[n]) > 1e-9 || std::abs(q - want.q[n]) > 1e-9)) ++off;
        ++n;
    }
    std::fclose(f);
    std::remove(path.c_str());
    EXPECT_EQ(n, want.i.size());
    EXPECT_EQ(off, 0u) << "samples unlike the impaired ones";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImpairedFile,
    ::testing::Values(FileCase{"snr_20dB", [](OrvImpairments* m) { m->snr_enable = 1, m->snr_db = 20; }},
                      FileCase{"iq_gain_1dB", [](OrvImpairments* m) { m->iq_gain_db = 1; }},
                      FileCase{"carrier_10ppm", [](OrvImpairments* m) { m->cfo_ppm = 10, m->carrier_ghz = 5; }},
                      FileCase{"phase_noise_2deg", [](OrvImpairments* m) { m->phase_noise_rms_deg = 2; }},
                      FileCase{"multipath_50ns", [](OrvImpairments* m) { m->multipath_rms_ns = 50; }},
                      FileCase{"clock_20ppm", [](OrvImpairments* m) { m->clock_ppm = 20; }}),
    orv_test::PrintedName{});

}  // namespace
