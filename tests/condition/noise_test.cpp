#include "noise.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "condition/record_run.h"
#include "support/readable_params.h"

namespace {

using Vec = std::vector<double>;

// The generator written out plainly (Schrage's method, its own shuffle
// table): the yardstick for the library's generator.
struct ReferenceGenerator {
    int32_t table[32] = {};
    int32_t selector = 0;
};

// 16807 * s mod (2^31 - 1) by Schrage's decomposition; 64-bit so that the
// seed 2^31 (from the state -2^31) can pass through it too.
int64_t schrage_step(int64_t s) {
    const int64_t k = s / 127773;
    s = 16807 * (s - 127773 * k) - 2836 * k;
    if (s < 0) s += 2147483647;
    return s;
}

double reference_uniform(ReferenceGenerator* g, int32_t* state) {
    if (*state <= 0 || g->selector == 0) {
        int64_t s = -static_cast<int64_t>(*state) >= 1 ? -static_cast<int64_t>(*state) : 1;
        for (int j = 39; j >= 0; --j) {
            s = schrage_step(s);
            if (j < 32) g->table[j] = static_cast<int32_t>(s);
        }
        g->selector = g->table[0];
        *state = static_cast<int32_t>(s);
    }
    *state = static_cast<int32_t>(schrage_step(*state));
    const int32_t k = g->selector / 67108864;
    g->selector = g->table[k];
    g->table[k] = *state;
    const double u = g->selector * (1.0 / 2147483647);
    return u > 0.99999988 ? 0.99999988 : u;
}

void reference_pair(ReferenceGenerator* g, double* g1, double* g2, int32_t* state) {
    double x1, x2, s;
    do {
        const double u1 = reference_uniform(g, state);
        const double u2 = reference_uniform(g, state);
        x1 = 2 * u1 - 1;
        x2 = 2 * u2 - 1;
        s = x1 * x1 + x2 * x2;
    } while (!(s > 0 && s < 1));
    const double f = std::sqrt(-2 * std::log(s) / s);
    *g1 = x1 * f;
    *g2 = x2 * f;
}

void reference_noise(ReferenceGenerator* g, int32_t count, double level_db, double* i, double* q) {
    int32_t state = 65535;
    const double a = std::pow(10.0, level_db / 20.0);
    for (int32_t k = 0; k < count; ++k) {
        double g1, g2;
        reference_pair(g, &g1, &g2, &state);
        i[k] += g1 * a;
        q[k] += g2 * a;
    }
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

int64_t first_bit_difference(const Vec& a, const Vec& b) {
    for (size_t k = 0; k < a.size(); ++k)
        if (!same_bits(a[k], b[k])) return static_cast<int64_t>(k);
    return a.size() == b.size() ? -1 : 0;
}

// Re-seeds the library's shuffle table and a reference generator alike.
void reseed_both(int32_t seed, ReferenceGenerator* ref) {
    int32_t lib_state = seed, ref_state = seed;
    *ref = ReferenceGenerator{};
    ASSERT_TRUE(same_bits(uniform_deviate(&lib_state), reference_uniform(ref, &ref_state)));
    ASSERT_EQ(lib_state, ref_state);
}

TEST(CongruentialStep, EqualsSchragesMethod) {
    // A long run of the sequence itself, from the seed the noise stage uses.
    int32_t fast = 1;
    int64_t slow = 1;
    for (int64_t n = 0; n < 50000000; ++n) {
        fast = congruential_step(fast);
        slow = schrage_step(slow);
        ASSERT_EQ(fast, slow) << "step " << n;
    }
    // Every state where Schrage's quotient changes, the ends of the range, and
    // a sweep across all of it.
    for (int64_t k = 0; k <= 16808; ++k) {
        for (int64_t s = 127773 * k - 2; s <= 127773 * k + 2; ++s) {
            if (s < 0 || s > 2147483647) continue;
            ASSERT_EQ(congruential_step(static_cast<int32_t>(s)), schrage_step(s)) << s;
        }
    }
    for (int64_t s = 1; s <= 2147483647; s += 65521)
        ASSERT_EQ(congruential_step(static_cast<int32_t>(s)), schrage_step(s)) << s;
    EXPECT_EQ(congruential_step(1), 16807);
    EXPECT_EQ(congruential_step(2147483646), 2147483647 - 16807);
    EXPECT_EQ(congruential_step(2147483647), 0);
    // The minimal-standard check value: state 1 gives 1043618065 after 10000 steps.
    int32_t s = 1;
    for (int n = 0; n < 10000; ++n) s = congruential_step(s);
    EXPECT_EQ(s, 1043618065);
}

struct SeedCase {
    int32_t seed;
    const char* what;
};

void PrintTo(const SeedCase& c, std::ostream* os) { *os << c.what; }

class UniformSeeds : public ::testing::TestWithParam<SeedCase> {};

TEST_P(UniformSeeds, MatchesTheReferenceBitForBit) {
    ReferenceGenerator ref;
    int32_t lib_state = GetParam().seed, ref_state = GetParam().seed;
    for (int n = 0; n < 200000; ++n) {
        const double a = uniform_deviate(&lib_state);
        const double b = reference_uniform(&ref, &ref_state);
        ASSERT_TRUE(same_bits(a, b)) << GetParam().what << " draw " << n << ": " << a << " " << b;
        ASSERT_EQ(lib_state, ref_state);
        ASSERT_GT(a, 0.0);
        ASSERT_LE(a, 0.99999988);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, UniformSeeds,
                         ::testing::Values(SeedCase{0, "zero seeds with 1"},
                                           SeedCase{-1, "-1"}, SeedCase{-65535, "-65535"},
                                           SeedCase{-2147483646, "-(2^31 - 2)"},
                                           SeedCase{std::numeric_limits<int32_t>::min(),
                                                    "-2^31, congruent to 1"}), orv_test::PrintedName());

TEST(UniformDeviate, ZeroAndNegativeStatesReseed) {
    // Re-seeding with 0 restarts the sequence a fresh library starts with.
    int32_t s = 0;
    EXPECT_NEAR(uniform_deviate(&s), 0.4159993569, 5e-11);
    EXPECT_NEAR(uniform_deviate(&s), 0.0919648908, 5e-11);
    // -n seeds with n; 2^31 is 1 modulo 2^31 - 1, so -2^31 seeds like 0.
    int32_t a = 0, b = std::numeric_limits<int32_t>::min();
    const double from_zero = uniform_deviate(&a);
    EXPECT_TRUE(same_bits(uniform_deviate(&b), from_zero));
    EXPECT_EQ(a, b);
    int32_t c = -7, d = -8;
    EXPECT_NE(uniform_deviate(&c), uniform_deviate(&d));
}

TEST(UniformDeviate, SeedCongruentToZeroRecoversOnTheNextDraw) {
    // -(2^31 - 1) seeds the sequence with a multiple of the modulus: the table
    // fills with zeros, the draw is 0, and the zero state re-seeds next time.
    int32_t s = -2147483647;
    EXPECT_EQ(uniform_deviate(&s), 0.0);
    EXPECT_EQ(s, 0);
    EXPECT_NEAR(uniform_deviate(&s), 0.4159993569, 5e-11);
    double g1, g2;
    s = -2147483647;
    gaussian_pair(&g1, &g2, &s);
    EXPECT_TRUE(std::isfinite(g1) && std::isfinite(g2));
}

TEST(GaussianPair, MatchesTheReferenceBitForBit) {
    ReferenceGenerator ref;
    reseed_both(-31337, &ref);
    int32_t lib_state = 424242, ref_state = 424242;
    for (int n = 0; n < 200000; ++n) {
        double a1, a2, b1, b2;
        gaussian_pair(&a1, &a2, &lib_state);
        reference_pair(&ref, &b1, &b2, &ref_state);
        ASSERT_TRUE(same_bits(a1, b1) && same_bits(a2, b2)) << "pair " << n;
    }
}

TEST(GaussianNoise, StageMatchesTheReferenceAndCarriesTheTableOn) {
    ReferenceGenerator ref;
    reseed_both(-2024, &ref);
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const int32_t count = 60000;
    Vec base(count);
    for (double& v : base) v = u(rng);
    Vec first_i;
    for (int call = 0; call < 2; ++call) {
        Vec i = base, q = base, ri = base, rq = base;
        ASSERT_EQ(add_gaussian_noise(count, -3.5, i.data(), q.data()), 0);
        reference_noise(&ref, count, -3.5, ri.data(), rq.data());
        EXPECT_EQ(first_bit_difference(i, ri), -1) << "call " << call;
        EXPECT_EQ(first_bit_difference(q, rq), -1) << "call " << call;
        if (call == 0) first_i = i;
    }
    // The second call restarts the state at 65535 but not the shuffle table.
    Vec i = base, q = base;
    add_gaussian_noise(count, -3.5, i.data(), q.data());
    EXPECT_NE(i, first_i);
}

TEST(GaussianNoise, StageFollowsAReseedWhenTheTableHoldsAZero) {
    // A state equal to the modulus steps to 0, and that 0 enters the table;
    // when the stage picks it as selector, the next draw re-seeds the table.
    for (int32_t seed = -1; seed >= -8; --seed) {
        ReferenceGenerator ref;
        reseed_both(seed, &ref);
        int32_t lib_state = 2147483647, ref_state = 2147483647;
        ASSERT_TRUE(same_bits(uniform_deviate(&lib_state), reference_uniform(&ref, &ref_state)));
        Vec i(3000, 0.0), q(3000, 0.0), ri(3000, 0.0), rq(3000, 0.0);
        add_gaussian_noise(3000, 0.0, i.data(), q.data());
        reference_noise(&ref, 3000, 0.0, ri.data(), rq.data());
        EXPECT_EQ(first_bit_difference(i, ri), -1) << "seed " << seed;
        EXPECT_EQ(first_bit_difference(q, rq), -1) << "seed " << seed;
    }
}

struct LevelCase {
    double level_db, sigma;
};

void PrintTo(const LevelCase& c, std::ostream* os) { *os << c.level_db << " dB"; }

class NoiseLevel : public ::testing::TestWithParam<LevelCase> {};

TEST_P(NoiseLevel, EachChannelHasTheStandardDeviationOfTheLevel) {
    const LevelCase& c = GetParam();
    const int32_t n = 400000;
    Vec i(n, 0.0), q(n, 0.0);
    ASSERT_EQ(add_gaussian_noise(n, c.level_db, i.data(), q.data()), 0);
    double si = 0, sq = 0, sii = 0, sqq = 0, siq = 0;
    for (int32_t k = 0; k < n; ++k) {
        ASSERT_NE(i[k], 0.0) << k;  // every sample receives noise
        si += i[k];
        sq += q[k];
        sii += i[k] * i[k];
        sqq += q[k] * q[k];
        siq += i[k] * q[k];
    }
    const double mi = si / n, mq = sq / n;
    const double sd_i = std::sqrt(sii / n - mi * mi), sd_q = std::sqrt(sqq / n - mq * mq);
    // The estimate's relative spread is 1/sqrt(2n), about 0.11 %.
    EXPECT_NEAR(sd_i / c.sigma, 1.0, 0.01);
    EXPECT_NEAR(sd_q / c.sigma, 1.0, 0.01);
    EXPECT_NEAR(mi / c.sigma, 0.0, 0.01);
    EXPECT_NEAR(mq / c.sigma, 0.0, 0.01);
    EXPECT_NEAR(siq / n / (sd_i * sd_q), 0.0, 0.01);
}

INSTANTIATE_TEST_SUITE_P(Levels, NoiseLevel,
                         ::testing::Values(LevelCase{-100.0, 1e-5}, LevelCase{0.0, 1.0},
                                           LevelCase{10.0, 3.16227766016838}), orv_test::PrintedName());

TEST(GaussianNoise, CoversTheWholeRecordIncludingTheGap) {
    WaveParams p = orv_test::gap_record();
    orv_test::Samples plain, noisy;
    ASSERT_EQ(orv_test::run_csv(p, &plain), 0);
    p.noise_enable = 1;
    p.noise_level = -20.0;
    ASSERT_EQ(orv_test::run_csv(p, &noisy), 0);
    ASSERT_EQ(noisy.i.size(), static_cast<size_t>(orv_test::kGapTotal));
    for (size_t k = 0; k < noisy.i.size(); ++k) {
        ASSERT_NE(noisy.i[k], plain.i[k]) << k;
        ASSERT_NE(noisy.q[k], plain.q[k]) << k;
    }
    // Successive calls in one process add different noise.
    orv_test::Samples again;
    ASSERT_EQ(orv_test::run_csv(p, &again), 0);
    EXPECT_NE(again.i, noisy.i);
}

}  // namespace

namespace {

// Long stages run on two threads: with the second thread and without it, a
// stage over 2^20 samples and more (blocks and pieces cut mid-way) has the
// reference's bits and leaves the shuffle table where the reference leaves it.
class NoiseThreads : public ::testing::TestWithParam<bool> {
protected:
    // The whole stage as add_gaussian_noise runs it, with or without the second thread.
    void add_noise(int32_t count, double level_db, double* i, double* q) {
        NoiseRun run;
        noise_begin(level_db, GetParam(), &run);
        noise_continue(&run, count, i, q);
        noise_end(&run);
    }
};

TEST_P(NoiseThreads, LongStageMatchesTheReference) {
    for (int32_t count : {(1 << 20) - 1, (1 << 20) + 4097, 2500000}) {
        ReferenceGenerator ref;
        reseed_both(-77, &ref);
        Vec i(count, 0.25), q(count, -0.5), ri(count, 0.25), rq(count, -0.5);
        add_noise(count, -6.0, i.data(), q.data());
        reference_noise(&ref, count, -6.0, ri.data(), rq.data());
        EXPECT_EQ(first_bit_difference(i, ri), -1) << count;
        EXPECT_EQ(first_bit_difference(q, rq), -1) << count;
        // The table carries on identically: the next stage matches as well.
        Vec j(5000, 0.0), p(5000, 0.0), rj(5000, 0.0), rp(5000, 0.0);
        add_gaussian_noise(5000, 0.0, j.data(), p.data());
        reference_noise(&ref, 5000, 0.0, rj.data(), rp.data());
        EXPECT_EQ(first_bit_difference(j, rj), -1) << count;
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, NoiseThreads, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& p) {
                             return std::string(p.param ? "two" : "one");
                         });

TEST(NoiseTable, CopiedAndRestoredTheStageRepeats) {
    int32_t saved[33];
    noise_table_copy(saved);
    Vec a(3000, 0.0), b(3000, 0.0), c(3000, 0.0), d(3000, 0.0);
    add_gaussian_noise(3000, 0.0, a.data(), b.data());
    noise_table_restore(saved);
    add_gaussian_noise(3000, 0.0, c.data(), d.data());
    EXPECT_EQ(first_bit_difference(a, c), -1);
    Vec e(3000, 0.0), f(3000, 0.0);
    add_gaussian_noise(3000, 0.0, e.data(), f.data());  // not restored: the table moved on
    EXPECT_NE(first_bit_difference(a, e), -1);
}

}  // namespace

namespace {

// A stage run in parts draws what the whole stage draws: any split into
// noise_continue calls (long parts on two threads, parts of one sample) and
// the serial points with their sums added separately, as the writers do,
// give the reference's bits and leave the table where it leaves it.
struct SplitCase {
    const char* name;
    std::vector<int32_t> parts;  // sample counts; negative: points, then sums
};

TEST(NoiseParts, AnySplitMatchesTheReference) {
    const SplitCase cases[] = {
        {"whole", {3000}},
        {"single_samples", {1, 1, 1, 2997}},
        {"uneven", {511, 513, 1, 1975}},
        {"points_then_sums", {-1024, 7, -1969}},
        {"threaded_part", {5, (1 << 20) + 3, -2000}},
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(c.name);
        int32_t count = 0;
        for (int32_t n : c.parts) count += n < 0 ? -n : n;
        ReferenceGenerator ref;
        reseed_both(-4242, &ref);
        Vec i(count, 0.125), q(count, -2.0), ri(count, 0.125), rq(count, -2.0);
        NoiseRun run;
        noise_begin(-12.0, true, &run);
        int32_t at = 0;
        for (int32_t n : c.parts) {
            if (n > 0) {
                noise_continue(&run, n, i.data() + at, q.data() + at);
            } else {
                n = -n;
                std::vector<int32_t> sel(2 * static_cast<size_t>(n));
                Vec x1(n), x2(n), s(n), f(n);
                noise_points(&run, n, sel.data(), x1.data(), x2.data(), s.data());
                noise_add_points(n, x1.data(), x2.data(), s.data(), run.amplitude, f.data(),
                                 i.data() + at, q.data() + at);
            }
            at += n;
        }
        noise_end(&run);
        reference_noise(&ref, count, -12.0, ri.data(), rq.data());
        EXPECT_EQ(first_bit_difference(i, ri), -1);
        EXPECT_EQ(first_bit_difference(q, rq), -1);
        Vec j(700, 0.0), p(700, 0.0), rj(700, 0.0), rp(700, 0.0);
        add_gaussian_noise(700, 0.0, j.data(), p.data());
        reference_noise(&ref, 700, 0.0, rj.data(), rp.data());
        EXPECT_EQ(first_bit_difference(j, rj), -1);
    }
}

}  // namespace
