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
#include "support/readable_params.h"

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

INSTANTIATE_TEST_SUITE_P(Paths, OutputPaths, ::testing::ValuesIn(kPaths), orv_test::PrintedName());

// Number of entries in the test folder.
size_t entries(const TempDir& dir) {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir.path)) {
        (void)e;
        ++n;
    }
    return n;
}

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

// The disk filling up behind a link: the target keeps the older file, the link stays.
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
    EXPECT_EQ(read_file(dir.file("target.awv")), "an older waveform");
    EXPECT_EQ(entries(dir), 2u) << "a partial new file was left behind";
}

}  // namespace

namespace {

// Atomic replacement: whatever happens to a writer, the path holds the
// previous file or the complete new one.
class Replacement : public ::testing::Test {
  protected:
    TempDir dir{"replace"};
    void put(const std::string& name, const std::string& text) {
        std::FILE* f = std::fopen(dir.file(name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
    // The bytes a call writes for p in mode when nothing goes wrong.
    std::string reference(WaveParams p, int32_t mode) {
        const std::string path = dir.file(mode == 0 ? "reference.awv" : "reference.csv");
        EXPECT_EQ(orv_11a_actual(&p, mode, path.c_str()), 0);
        std::string bytes = read_file(path);
        fs::remove(path);
        return bytes;
    }
};

// The AWG header's DATE item stands between the fixed COMMENT and PAPR items.
std::string without_date(std::string awg) {
    const size_t at = awg.find("{DATE:");
    if (at != std::string::npos) awg.erase(at, 26);
    return awg;
}

TEST_F(Replacement, KilledWriterLeavesThePreviousFileOrTheCompleteNewOne) {
    WaveParams p = valid_record();
    p.ofdm_symbols = 151;
    p.oversampling = 10;
    p.burst_enable = 1;
    p.burst_off_time = 0.2;  // a 1.4 GB CSV file: the kill lands mid-write
    const std::string path = dir.file("burst.csv");
    put("burst.csv", "the previous file");
    for (const int sig : {SIGINT, SIGTERM, SIGKILL}) {
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            signal(sig, SIG_DFL);
            WaveParams q = p;
            _exit(orv_11a_actual(&q, 1, path.c_str()));
        }
        // Signal it once the new file is being written (or after 20 s at most).
        for (int waited = 0; waited < 20000; ++waited) {
            bool writing = false;
            for (const auto& e : fs::directory_iterator(dir.path)) {
                std::error_code ec;
                if (e.path().filename().string().rfind(".orvasynth-", 0) == 0 &&
                    fs::file_size(e.path(), ec) > 0)
                    writing = true;
            }
            if (writing) break;
            usleep(1000);
        }
        kill(pid, sig);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer finished before signal " << sig;
        EXPECT_EQ(read_file(path), "the previous file") << "signal " << sig;
    }
}

TEST_F(Replacement, FailedWriteKeepsThePreviousFileAndItsHardLink) {
    put("a.awv", "the previous file");
    fs::create_hard_link(dir.path / "a.awv", dir.path / "b.awv");
    const int rc = in_child([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {32 * 1024, 32 * 1024};
        setrlimit(RLIMIT_FSIZE, &lim);
        WaveParams p = valid_record();
        return static_cast<int>(orv_11a_actual(&p, 0, dir.file("a.awv").c_str()));
    });
    EXPECT_EQ(rc, 4);
    EXPECT_EQ(read_file(dir.file("a.awv")), "the previous file");
    EXPECT_EQ(read_file(dir.file("b.awv")), "the previous file");
    EXPECT_EQ(entries(dir), 2u);
}

TEST_F(Replacement, NewFileTakesTheNameAndTheOtherHardLinkKeepsTheOldOne) {
    WaveParams p = valid_record();
    p.ofdm_symbols = 4;
    const std::string expected = reference(p, 1);
    put("a.csv", "the previous file");
    fs::create_hard_link(dir.path / "a.csv", dir.path / "b.csv");
    EXPECT_EQ(orv_11a_actual(&p, 1, dir.file("a.csv").c_str()), 0);
    EXPECT_EQ(read_file(dir.file("a.csv")), expected);
    EXPECT_EQ(read_file(dir.file("b.csv")), "the previous file");
    EXPECT_EQ(entries(dir), 2u);
}

TEST_F(Replacement, ThroughASymbolicLinkTheTargetIsReplacedAndTheLinkStays) {
    WaveParams p = valid_record();
    p.ofdm_symbols = 4;
    const std::string expected = reference(p, 1);
    fs::create_directory(dir.path / "real");
    put("real/target.csv", "the previous file");
    fs::create_symlink("real/target.csv", dir.path / "relative.csv");
    fs::create_symlink(dir.path / "relative.csv", dir.path / "chain.csv");
    EXPECT_EQ(orv_11a_actual(&p, 1, dir.file("chain.csv").c_str()), 0);
    EXPECT_TRUE(fs::is_symlink(dir.path / "chain.csv"));
    EXPECT_TRUE(fs::is_symlink(dir.path / "relative.csv"));
    EXPECT_EQ(read_file(dir.file("real/target.csv")), expected);
    EXPECT_EQ(entries(dir), 3u);
}

TEST_F(Replacement, ModeOfANewFileFollowsTheUmaskAndAReplacedOneKeepsItsMode) {
    struct ModeCase {
        mode_t umask_bits, existing;  // existing 0: no file there before
        mode_t expected;
    };
    const ModeCase cases[] = {{022, 0, 0644}, {077, 0, 0600}, {002, 0, 0664},
                              {022, 0640, 0640}, {077, 0604, 0604}};
    for (const ModeCase& c : cases) {
        const std::string path = dir.file("mode.awv");
        fs::remove(path);
        if (c.existing != 0) {
            put("mode.awv", "old");
            chmod(path.c_str(), c.existing);
        }
        const int rc = in_child([&] {
            umask(c.umask_bits);
            WaveParams p = valid_record();
            p.ofdm_symbols = 2;
            return static_cast<int>(orv_11a_actual(&p, 0, path.c_str()));
        });
        ASSERT_EQ(rc, 0);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.expected)
            << "umask " << std::oct << c.umask_bits << " existing " << c.existing;
    }
}

// A file the caller may not write is neither replaced nor removed (as an
// unprivileged user: root writes anything).
TEST_F(Replacement, ReadOnlyFileIsRefused) {
    put("ro.awv", "read only");
    chmod(dir.file("ro.awv").c_str(), 0444);
    fs::permissions(dir.path, fs::perms::others_all, fs::perm_options::add);
    const int rc = in_child([&] {
        if (geteuid() == 0 && setuid(65534) != 0) return 99;
        WaveParams p = valid_record();
        return static_cast<int>(orv_11a_actual(&p, 0, dir.file("ro.awv").c_str()));
    });
    ASSERT_NE(rc, 99) << "cannot drop root privileges";
    EXPECT_EQ(rc, 4);
    EXPECT_EQ(read_file(dir.file("ro.awv")), "read only");
    EXPECT_EQ(entries(dir), 1u);
}

// Two writers on one path: the path ends up holding one of them whole.
TEST_F(Replacement, TwoProcessesOnOnePathLeaveOneCompleteFile) {
    WaveParams small = valid_record();
    small.ofdm_symbols = 4;
    WaveParams large = valid_record();
    large.burst_enable = 1;
    large.burst_off_time = 0.05;
    const std::string a = without_date(reference(small, 0));
    const std::string b = without_date(reference(large, 0));
    const std::string path = dir.file("shared.awv");
    std::fflush(nullptr);
    pid_t pids[2];
    for (int k = 0; k < 2; ++k) {
        pids[k] = fork();
        if (pids[k] == 0) {
            for (int round = 0; round < 5; ++round) {
                WaveParams p = k == 0 ? small : large;
                if (orv_11a_actual(&p, 0, path.c_str()) != 0) _exit(1);
            }
            _exit(0);
        }
    }
    for (const pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::string found = without_date(read_file(path));
    EXPECT_TRUE(found == a || found == b) << "a mixed file of " << found.size() << " bytes";
    EXPECT_EQ(entries(dir), 1u);
}

// Paths that are not regular files are written directly, as before.
TEST_F(Replacement, DevicesAreWrittenDirectly) {
    WaveParams p = valid_record();
    EXPECT_EQ(orv_11a_actual(&p, 0, "/dev/null"), 0);
    struct stat st;
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(orv_11a_actual(&p, 1, "/dev/full"), 4);
    ASSERT_EQ(stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

}  // namespace
