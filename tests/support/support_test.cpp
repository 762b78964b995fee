// The shared test helpers: the temporary folder, the file reader and the
// names of parameterised cases.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/readable_params.h"

namespace {

namespace fs = std::filesystem;

void write(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

TEST(TempDir, FreshFolderNamedForTheTestAndRemovedWithItsContents) {
    fs::path kept;
    {
        const orv_test::TempDir dir("tag/with space");
        kept = dir.path;
        ASSERT_TRUE(fs::is_directory(dir.path));
        EXPECT_TRUE(fs::is_empty(dir.path));
        EXPECT_EQ(dir.path.parent_path(), fs::temp_directory_path());
        const std::string name = dir.path.filename().string();
        EXPECT_NE(name.find("tag_with_space_TempDir_FreshFolderNamedForTheTest"), std::string::npos) << name;
        EXPECT_EQ(dir.file("a.bin"), (dir.path / "a.bin").string());
        write(dir.file("a.bin"), "x");
        fs::create_directories(dir.path / "sub" / "deeper");
        write(dir.path / "sub" / "deeper" / "b.bin", "y");
    }
    EXPECT_FALSE(fs::exists(kept));
}

// A test may leave folders its owner cannot write or read: they go too.
TEST(TempDir, RemovedWhenATestLeftFoldersWithoutPermissions) {
    fs::path kept;
    {
        const orv_test::TempDir dir;
        kept = dir.path;
        fs::create_directories(dir.path / "ro" / "none");
        write(dir.path / "ro" / "none" / "f", "x");
        fs::permissions(dir.path / "ro" / "none", fs::perms::none);
        fs::permissions(dir.path / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    }
    EXPECT_FALSE(fs::exists(kept));
}

// Made from several threads at once, every folder is its own.
TEST(TempDir, FoldersMadeAtTheSameTimeAreDistinct) {
    constexpr int kThreads = 8, kEach = 16;
    std::vector<std::vector<std::unique_ptr<orv_test::TempDir>>> made(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&made, t] {
            for (int k = 0; k < kEach; ++k) made[t].push_back(std::make_unique<orv_test::TempDir>("same"));
        });
    for (std::thread& t : threads) t.join();
    std::set<fs::path> paths;
    for (const auto& list : made)
        for (const auto& dir : list) {
            EXPECT_TRUE(fs::is_directory(dir->path));
            paths.insert(dir->path);
        }
    EXPECT_EQ(paths.size(), static_cast<size_t>(kThreads * kEach));
}

// A folder of the next name, left by an earlier process of the same id, is
// neither taken over nor removed.
TEST(TempDir, PassesOverAFolderLeftByAnEarlierProcess) {
    fs::path first;
    { first = orv_test::TempDir("stale").path; }
    EXPECT_FALSE(fs::exists(first)) << "a temporary's folder is removed with it";
    const std::string name = first.filename().string();
    const size_t cut = name.rfind('_');
    const std::string next_name = name.substr(0, cut + 1) + std::to_string(std::stoul(name.substr(cut + 1)) + 1);
    const fs::path stale = first.parent_path() / next_name;
    ASSERT_TRUE(fs::create_directory(stale));
    write(stale / "left", "x");
    {
        const orv_test::TempDir next("stale");
        EXPECT_NE(next.path, stale);
        EXPECT_TRUE(fs::is_empty(next.path));
    }
    EXPECT_TRUE(fs::exists(stale / "left"));
    fs::remove_all(stale);
}

TEST(ReadFile, ReturnsEveryByte) {
    const orv_test::TempDir dir;
    std::string large(200000, '\0');
    for (size_t k = 0; k < large.size(); ++k) large[k] = static_cast<char>(k * 7919 % 256);
    const std::string cases[] = {"", std::string("a\0b", 3), "line\r\nline\n\x1a end", large};
    for (const std::string& bytes : cases) {
        write(dir.file("f"), bytes);
        std::string got = "stale";
        EXPECT_TRUE(orv_test::read_file(dir.file("f"), &got));
        EXPECT_TRUE(got == bytes) << bytes.size() << " bytes read as " << got.size();
        EXPECT_TRUE(orv_test::read_file(dir.file("f")) == bytes);
    }
}

TEST(ReadFile, MissingFileOrFolderIsAFailureNamingThePath) {
    const orv_test::TempDir dir;
    for (const std::string& path : {dir.file("missing.bin"), dir.path.string()}) {
        std::string got = "stale";
        EXPECT_FALSE(orv_test::read_file(path, &got)) << path;
        EXPECT_EQ(got, "");
        EXPECT_NONFATAL_FAILURE(orv_test::read_file(path), "cannot read the file " + path);
    }
}

TEST(TestName, LettersDigitsAndUnderscoresOnly) {
    struct Case {
        const char* text;
        const char* name;
    };
    const Case cases[] = {
        {"impulse on I only", "impulse_on_I_only"},
        {"-1", "minus1"},
        {"count=5 fs=-20 MHz dir=-1", "count_5_fs_minus20_MHz_dir_minus1"},
        {"-(2^31 - 2)", "minus_2_31_2"},
        {"scale 0.1 example", "scale_0p1_example"},
        {"%15.10le", "15p10le"},
        {"-.5 dB", "minus_5_dB"},
        {"1e-05", "1e_05"},
        {"a-b", "a_b"},
        {"window -inf", "window_minus_inf"},
        {"window +inf", "window_plus_inf"},
        {"-0.5 dB", "minus0p5_dB"},
        {"--rate 6", "rate_6"},
        {"v1.2.", "v1p2"},
        {"Signalqualit\xc3\xa4t \xc2\xb5", "Signalqualit_t"},
        {" (mode 0) ", "mode_0"},
        {"", "unnamed"},
        {"--", "unnamed"},
    };
    for (const Case& c : cases) EXPECT_EQ(orv_test::test_name(c.text), c.name) << '"' << c.text << '"';
}

struct Printed {
    int rate;
    const char* pattern;
};

void PrintTo(const Printed& c, std::ostream* os) { *os << "rate " << c.rate << " " << c.pattern; }

TEST(PrintedName, NamesTheCaseFromItsPrintTo) {
    const orv_test::PrintedName name;
    EXPECT_EQ(name(::testing::TestParamInfo<Printed>(Printed{54, "PN9"}, 3)), "rate_54_PN9");
    EXPECT_EQ(name(::testing::TestParamInfo<Printed>(Printed{-1, "all 0.5"}, 0)), "rate_minus1_all_0p5");
    EXPECT_EQ(name(::testing::TestParamInfo<std::string>("a b", 1)), "a_b");
}

}  // namespace
