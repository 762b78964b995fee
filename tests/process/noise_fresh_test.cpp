// The noise generator's shuffle table lives for the whole process, so what a
// freshly loaded library draws first can only be seen in a fresh process.
// Each check below runs in a new image of this test program (fork and exec),
// entered before any test runs, so neither the order of the tests nor a
// repeated run changes what the check sees.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "condition/record_run.h"
#include "noise.h"

extern char** environ;

namespace {

constexpr double kFirstPair1 = -0.17227992;
constexpr double kFirstPair2 = -0.83685380;

bool g_quiet = false;  // no diagnostics for checks expected to fail

bool near(double got, double want, double tol, const char* what) {
    if (std::fabs(got - want) <= tol) return true;
    if (!g_quiet) std::fprintf(stderr, "%s: got %.12f, want %.12f\n", what, got, want);
    return false;
}

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

// The first draws of uniform deviates from a fresh process.
bool first_uniform_deviates() {
    int32_t state = 65535;
    return near(uniform_deviate(&state), 0.4159993569, 5e-11, "u1") &
           near(uniform_deviate(&state), 0.0919648908, 5e-11, "u2");
}

struct FreshCheck {
    const char* name;
    bool (*run)(const char* arg);
};

const FreshCheck kChecks[] = {
    {"gaussian_pair", [](const char*) { return first_gaussian_pair(); }},
    {"noise_stage", [](const char*) { return first_noise_stage(); }},
    {"noisy_file", [](const char*) { return first_noise_through_the_library(); }},
    {"noise_series", [](const char* path) { return noise_series_to(path); }},
    {"uniform_deviates", [](const char*) { return first_uniform_deviates(); }},
};

constexpr const char* kCheckVariable = "ORV_FRESH_CHECK";
constexpr const char* kArgVariable = "ORV_FRESH_ARG";

// In a process started by run_fresh, runs the named check before any test
// and ends the process with 0 (passed), 1 (failed) or 2 (no such check).
class FreshCheckEntry : public ::testing::Environment {
  public:
    void SetUp() override {
        const char* name = std::getenv(kCheckVariable);
        if (name == nullptr) return;
        const char* arg = std::getenv(kArgVariable);
        for (const FreshCheck& c : kChecks)
            if (std::strcmp(c.name, name) == 0) std::_Exit(c.run(arg != nullptr ? arg : "") ? 0 : 1);
        std::fprintf(stderr, "no fresh-process check %s\n", name);
        std::_Exit(2);
    }
};

[[maybe_unused]] ::testing::Environment* const kEntry =
    ::testing::AddGlobalTestEnvironment(new FreshCheckEntry);

// Runs the named check in a new image of this program; returns its exit
// status, or -1 when it could not be started or did not exit normally.
int run_fresh(const std::string& check, const std::string& arg = "") {
    std::vector<std::string> env_text = {std::string(kCheckVariable) + "=" + check,
                                         std::string(kArgVariable) + "=" + arg};
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "ORV_FRESH_", 10) != 0) env_text.emplace_back(*e);
    std::vector<char*> envp;
    for (std::string& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    char self[] = "/proc/self/exe";
    char* argv[] = {self, nullptr};
    pid_t pid;
    if (posix_spawn(&pid, self, nullptr, nullptr, argv, envp.data()) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(FreshLibrary, FirstPairOfTheGaussianGenerator) { EXPECT_EQ(run_fresh("gaussian_pair"), 0); }

TEST(FreshLibrary, FirstSampleOfTheNoiseStage) { EXPECT_EQ(run_fresh("noise_stage"), 0); }

TEST(FreshLibrary, FirstSampleOfANoisyFile) { EXPECT_EQ(run_fresh("noisy_file"), 0); }

TEST(FreshLibrary, SameCallsAddTheSameNoise) {
    orv_test::TempDir dir;
    const std::string a = dir.file("a"), b = dir.file("b");
    EXPECT_EQ(run_fresh("noise_series", a), 0);
    EXPECT_EQ(run_fresh("noise_series", b), 0);
    const std::string sa = orv_test::read_file(a);
    EXPECT_EQ(sa.size(), 16000u);
    EXPECT_EQ(sa, orv_test::read_file(b));
}

TEST(FreshLibrary, FirstUniformDeviates) { EXPECT_EQ(run_fresh("uniform_deviates"), 0); }

// The checks do see a process that has drawn before: here, in this process,
// after a draw, the first pair is no longer the fresh one.
TEST(FreshLibrary, ChecksFailInAProcessThatHasDrawn) {
    int32_t state = 65535;
    double g1, g2;
    gaussian_pair(&g1, &g2, &state);
    g_quiet = true;
    EXPECT_FALSE(first_gaussian_pair());
    EXPECT_FALSE(first_uniform_deviates());
    g_quiet = false;
    EXPECT_EQ(run_fresh("no_such_check"), 2);
}

}  // namespace
