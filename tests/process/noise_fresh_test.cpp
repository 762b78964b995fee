// The noise generator's shuffle table lives for the whole process, so what a
// freshly loaded library draws first can only be seen in a fresh process.
// Each check below runs in a forked child of this process, taken before the
// process itself draws anything; the last test draws in the process itself.
// The tests therefore run in the order written.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "condition/record_run.h"
#include "noise.h"

namespace {

constexpr double kFirstPair1 = -0.17227992;
constexpr double kFirstPair2 = -0.83685380;

bool near(double got, double want, double tol, const char* what) {
    if (std::fabs(got - want) <= tol) return true;
    std::fprintf(stderr, "%s: got %.12f, want %.12f\n", what, got, want);
    return false;
}

// Runs check in a child process; the test fails unless it returns true.
#define EXPECT_IN_FRESH_CHILD(check) \
    EXPECT_EXIT(std::_Exit((check) ? 0 : 1), ::testing::ExitedWithCode(0), "")

bool first_gaussian_pair() {
    int32_t state = 65535;
    double g1, g2;
    gaussian_pair(&g1, &g2, &state);
    return near(g1, kFirstPair1, 5e-9, "g1") & near(g2, kFirstPair2, 5e-9, "g2");
}

// At 0 dB the first sample gains the first pair; the next call adds other noise.
bool first_noise_stage() {
    std::vector<double> i(16, 0.0), q(16, 0.0), i2(16, 0.0), q2(16, 0.0);
    add_gaussian_noise(16, 0.0, i.data(), q.data());
    add_gaussian_noise(16, 0.0, i2.data(), q2.data());
    bool ok = near(i[0], kFirstPair1, 5e-9, "I[0]") & near(q[0], kFirstPair2, 5e-9, "Q[0]");
    if (i2 == i) {
        std::fprintf(stderr, "second call repeated the first call's noise\n");
        ok = false;
    }
    return ok;
}

// The same through the shared library itself, loaded by name as the front-end does.
bool first_noise_through_the_library() {
    void* lib = dlopen(ORV_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return false;
    }
    auto entry = reinterpret_cast<orv_test::EntryPoint>(dlsym(lib, "orv_11a_actual"));
    if (entry == nullptr) return false;
    WaveParams p = orv_test::gap_record();
    orv_test::Samples plain, noisy;
    if (orv_test::run_csv(p, &plain, entry) != 0) return false;  // draws no noise
    p.noise_enable = 1;
    p.noise_level = 0.0;
    if (orv_test::run_csv(p, &noisy, entry) != 0 || noisy.i.empty()) return false;
    return near(noisy.i[0] - plain.i[0], kFirstPair1, 1e-8, "file I[0]") &
           near(noisy.q[0] - plain.q[0], kFirstPair2, 1e-8, "file Q[0]");
}

// Writes the noise of two successive stage calls to path.
bool noise_series_to(const char* path) {
    std::vector<double> i(1000, 0.0), q(1000, 0.0);
    add_gaussian_noise(500, -10.0, i.data(), q.data());
    add_gaussian_noise(500, 3.0, i.data() + 500, q.data() + 500);
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(i.data()), 8 * 1000);
    f.write(reinterpret_cast<const char*>(q.data()), 8 * 1000);
    return static_cast<bool>(f);
}

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

TEST(FreshLibrary, FirstPairOfTheGaussianGenerator) {
    EXPECT_IN_FRESH_CHILD(first_gaussian_pair());
}

TEST(FreshLibrary, FirstSampleOfTheNoiseStage) { EXPECT_IN_FRESH_CHILD(first_noise_stage()); }

TEST(FreshLibrary, FirstSampleOfANoisyFile) {
    EXPECT_IN_FRESH_CHILD(first_noise_through_the_library());
}

TEST(FreshLibrary, SameCallsAddTheSameNoise) {
    orv_test::TempDir dir;
    const std::string a = dir.file("a"), b = dir.file("b");
    EXPECT_IN_FRESH_CHILD(noise_series_to(a.c_str()));
    EXPECT_IN_FRESH_CHILD(noise_series_to(b.c_str()));
    const std::string sa = slurp(a);
    EXPECT_EQ(sa.size(), 16000u);
    EXPECT_EQ(sa, slurp(b));
}

// Draws in this process: must stay the last test of the file.
TEST(FreshLibrary, FirstUniformDeviates) {
    int32_t state = 65535;
    EXPECT_NEAR(uniform_deviate(&state), 0.4159993569, 5e-11);
    EXPECT_NEAR(uniform_deviate(&state), 0.0919648908, 5e-11);
}

}  // namespace
