// Odd output paths and failing file systems, through the library call: the
// result code tells what happened, and nothing but a complete regular file
// is ever left behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "support/records.h"

namespace {

namespace fs = std::filesystem;

struct PathCase {
    const char* name;
    std::function<std::string(const TempDir&)> make_path;  // prepares the folder, returns the path
    int32_t result;
    std::function<void(const TempDir&, const std::string&)> check;
};

void PrintTo(const PathCase& c, std::ostream* os) { *os << c.name; }

class OutputPaths : public ::testing::TestWithParam<PathCase> {};

TEST_P(OutputPaths, ResultAndWhatIsLeft) {
    const PathCase& c = GetParam();
    for (int32_t mode = 0; mode < 2; ++mode) {
        TempDir dir(std::string("paths") + std::to_string(mode));
        const std::string path = c.make_path(dir);
        WaveParams p = valid_record();
        p.ofdm_symbols = 4;
        EXPECT_EQ(orv_11a_actual(&p, mode, path.c_str()), c.result) << c.name << " mode " << mode;
        c.check(dir, path);
    }
}

const PathCase kPaths[] = {
    {"a directory",
     [](const TempDir& d) {
         fs::create_directory(d.path / "out");
         return d.file("out");
     },
     4, [](const TempDir&, const std::string& p) { EXPECT_TRUE(fs::is_directory(p)); }},
    {"a dangling link into a missing folder",
     [](const TempDir& d) {
         fs::create_symlink(d.path / "missing" / "x.awv", d.path / "link");
         return d.file("link");
     },
     4,
     [](const TempDir& d, const std::string& p) {
         EXPECT_TRUE(fs::is_symlink(p));
         EXPECT_FALSE(fs::exists(d.path / "missing"));
     }},
    {"a dangling link to a new file (the link is followed)",
     [](const TempDir& d) {
         fs::create_symlink(d.path / "target", d.path / "link");
         return d.file("link");
     },
     0,
     [](const TempDir& d, const std::string& p) {
         EXPECT_TRUE(fs::is_symlink(p));
         EXPECT_GT(fs::file_size(d.path / "target"), 1000u);
     }},
    {"a UTF-8 name",
     [](const TempDir& d) { return d.file("Signalqualität µ 测试.awv"); }, 0,
     [](const TempDir&, const std::string& p) { EXPECT_GT(fs::file_size(fs::u8path(p)), 1000u); }},
    {"a very long path",
     [](const TempDir& d) {
         std::string p = d.path.string();
         while (p.size() < 5000) p += "/abcdefghij";
         return p + "/x.awv";
     },
     4, [](const TempDir& d, const std::string&) { EXPECT_TRUE(fs::is_empty(d.path)); }},
    {"a name longer than the file system allows",
     [](const TempDir& d) { return d.file(std::string(300, 'n') + ".awv"); }, 4,
     [](const TempDir& d, const std::string&) { EXPECT_TRUE(fs::is_empty(d.path)); }},
    {"an empty path", [](const TempDir&) { return std::string(); }, 4,
     [](const TempDir& d, const std::string&) { EXPECT_TRUE(fs::is_empty(d.path)); }},
};

INSTANTIATE_TEST_SUITE_P(Paths, OutputPaths, ::testing::ValuesIn(kPaths));

// Runs body in a child process and returns its exit status.
int in_child(const std::function<int()>& body) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
}

// A folder the caller may not write to (as an unprivileged user: root writes anywhere).
TEST(OutputFaults, ReadOnlyFolder) {
    TempDir dir("readonly");
    fs::create_directory(dir.path / "ro");
    fs::permissions(dir.path / "ro", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(dir.path, fs::perms::others_exec | fs::perms::others_read, fs::perm_options::add);
    const std::string path = dir.file("ro/x.awv");
    int rc = in_child([&] {
        if (geteuid() == 0 && setuid(65534) != 0) return 99;  // drop to "nobody"
        WaveParams p = valid_record();
        return static_cast<int>(orv_11a_actual(&p, 0, path.c_str()));
    });
    if (rc == 99) GTEST_SKIP() << "cannot drop root privileges here";
    EXPECT_EQ(rc, 4);
    EXPECT_FALSE(fs::exists(path));
}

// The disk filling up behind a link: the truncated target is removed, the link stays.
TEST(OutputFaults, FileSizeLimitThroughALink) {
    TempDir dir("fsizelink");
    std::FILE* f = std::fopen(dir.file("target.awv").c_str(), "wb");
    std::fputs("an older waveform", f);
    std::fclose(f);
    fs::create_symlink(dir.path / "target.awv", dir.path / "link.awv");
    int rc = in_child([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {32 * 1024, 32 * 1024};
        setrlimit(RLIMIT_FSIZE, &lim);
        WaveParams p = valid_record();
        return static_cast<int>(orv_11a_actual(&p, 0, dir.file("link.awv").c_str()));
    });
    EXPECT_EQ(rc, 4);
    EXPECT_TRUE(fs::is_symlink(dir.path / "link.awv"));
    EXPECT_FALSE(fs::exists(dir.path / "target.awv"));
}

}  // namespace
