// orvgen and the settings file: a save that fails is reported with exit
// status 3, and "--settings window" reads the file the window would read.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/as_user.h"
#include "support/files.h"
#include "orvgen.h"

namespace {

namespace fs = std::filesystem;

using orv_test::read_file;

// A temporary folder the unprivileged user may enter and write.
struct TempDir : orv_test::TempDir {
    explicit TempDir(const std::string& name) : orv_test::TempDir("settings_" + name) {
        fs::permissions(path, fs::perms::all);
    }
};

// orvgen_main in a child as the unprivileged user; its standard error text in err.
int orvgen_as_user(const std::vector<std::string>& args, std::string& err, const std::string& err_file) {
    const int rc = as_user_in_child([&] {
        std::vector<const char*> argv{"orvgen"};
        for (const auto& a : args) argv.push_back(a.c_str());
        std::ostringstream out, e;
        const int status = orvgen_main(static_cast<int>(argv.size()), argv.data(), out, e);
        std::ofstream(err_file, std::ios::binary) << e.str();
        return status;
    });
    err = read_file(err_file);
    return rc;
}

struct SaveFault {
    const char* name;
    const char* path;   // relative to the scratch folder, or absolute
    const char* message_tail;
};

void PrintTo(const SaveFault& c, std::ostream* os) { *os << c.name; }

class SaveSettingsFails : public ::testing::TestWithParam<SaveFault> {};

TEST_P(SaveSettingsFails, ExitsThreeWithAMessage) {
    const SaveFault& f = GetParam();
    TempDir dir(f.name);
    fs::create_directory(dir.path / "folder");
    std::ofstream(dir.file("readonly.ini")) << "[SET UP]\nDATA RATE=1\n";
    fs::permissions(dir.file("readonly.ini"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const std::string path = f.path[0] == '/' ? std::string(f.path) : dir.file(f.path);
    std::string err;
    const int rc = orvgen_as_user({"--save-settings", path, "--rate", "54"}, err, dir.file("err.txt"));
    if (rc == 99) GTEST_SKIP() << "cannot drop root privileges here";
    EXPECT_EQ(rc, 3);
    EXPECT_EQ(err, "orvgen: cannot write the settings file " + path + ": " + f.message_tail + "\n");
    if (std::string(f.name) == "readonly") {
        EXPECT_EQ(read_file(path), "[SET UP]\nDATA RATE=1\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, SaveSettingsFails,
                         ::testing::Values(SaveFault{"device", "/dev/full", "Invalid argument"},
                                           SaveFault{"folder", "folder", "Is a directory"},
                                           SaveFault{"readonly", "readonly.ini", "Permission denied"},
                                           SaveFault{"missing", "no/such.ini", "No such file or directory"}),
                         [](const ::testing::TestParamInfo<SaveFault>& p) { return std::string(p.param.name); });

TEST(SaveSettings, SucceedsSilentlyAndReplacesTheWholeFile) {
    TempDir dir("ok");
    const std::string path = dir.file("PrmOrvane.ini");
    std::ofstream(path) << "; mine\n[SET UP]\nDATA RATE=1\n";
    std::vector<const char*> argv{"orvgen", "--save-settings", path.c_str(), "--rate", "54"};
    std::ostringstream out, err;
    EXPECT_EQ(orvgen_main(static_cast<int>(argv.size()), argv.data(), out, err), 0);
    EXPECT_EQ(err.str(), "");
    const std::string text = read_file(path);
    EXPECT_EQ(text.rfind("; mine\n[SET UP]\nDATA RATE=7\nDATA=0\n", 0), 0u) << text;
}

// "--settings window" run through the real orvgen placed beside a program
// named Orvane, as installed: the file beside it while its folder is
// writable, else the user's file.
struct WindowCase {
    const char* name;
    bool folder_writable;
    const char* beside;   // content of bin/PrmOrvane.ini ("" none)
    const char* user;     // content of the user's file ("" none)
    const char* expected_rate;
};

void PrintTo(const WindowCase& c, std::ostream* os) { *os << c.name; }

class SettingsWindow : public ::testing::TestWithParam<WindowCase> {};

TEST_P(SettingsWindow, ReadsTheWindowsFile) {
    const WindowCase& c = GetParam();
    TempDir dir(std::string("window_") + c.name);
    const fs::path bin = dir.path / "bin";
    const fs::path config = dir.path / "config";
    fs::create_directories(bin);
    fs::create_directories(config / "Orvane");
    fs::copy_file(ORVGEN_PROGRAM_FILE, bin / "orvgen");
    std::ofstream(bin / "Orvane") << "";
    if (*c.beside) std::ofstream(bin / "PrmOrvane.ini") << c.beside;
    if (*c.user) std::ofstream(config / "Orvane" / "PrmOrvane.ini") << c.user;
    for (const fs::path& p : {config, config / "Orvane"}) fs::permissions(p, fs::perms::all);
    fs::permissions(bin, c.folder_writable ? fs::perms::all
                                           : fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                                 fs::perms::group_exec | fs::perms::others_read |
                                                 fs::perms::others_exec);
    const std::string out = dir.file("out.ini");
    const std::string program = (bin / "orvgen").string();
    const std::string xdg = config.string();
    const int rc = as_user_in_child([&] {
        if (!c.folder_writable && geteuid() != 0 && access(bin.c_str(), W_OK) == 0) return 97;
        setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
        execl(program.c_str(), program.c_str(), "--settings", "window", "--save-settings", out.c_str(),
              static_cast<char*>(nullptr));
        return 96;
    });
    if (rc == 99) GTEST_SKIP() << "cannot drop root privileges here";
    ASSERT_EQ(rc, 0);
    const std::string text = read_file(out);
    EXPECT_NE(text.find(std::string("\nDATA RATE=") + c.expected_rate + "\n"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsWindow,
    ::testing::Values(WindowCase{"portable", true, "[SET UP]\nDATA RATE=1\n", "[SET UP]\nDATA RATE=2\n", "1"},
                      WindowCase{"installed_user_file", false, "[SET UP]\nDATA RATE=1\n", "[SET UP]\nDATA RATE=2\n",
                                 "2"},
                      WindowCase{"installed_first_run", false, "[SET UP]\nDATA RATE=1\n", "", "1"},
                      WindowCase{"no_file_defaults", false, "", "", "5"}),
    [](const ::testing::TestParamInfo<WindowCase>& p) { return std::string(p.param.name); });

}  // namespace
