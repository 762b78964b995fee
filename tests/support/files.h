// The tests' temporary folder and whole-file reader.
#pragma once
#include <gtest/gtest.h>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>

namespace orv_test {

// A fresh empty folder under the system's temporary directory, removed with
// its contents on destruction. Its name holds the tag, the running test's
// name, the process id and a per-process count, so that tests running at the
// same time in one or several processes never share one. Throws when the
// folder cannot be made.
class TempDir {
  public:
    // Const: "x = TempDir().path" copies it, where a move would leave the destructor nothing to remove.
    const std::filesystem::path path;

    explicit TempDir(const std::string& tag = "") : path(make(tag)) {}

    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    ~TempDir() {
        namespace fs = std::filesystem;
        std::error_code ec;
        if (fs::remove_all(path, ec) != static_cast<std::uintmax_t>(-1) && !ec) return;
        // A test left a folder it cannot write: give every entry back to its owner and retry.
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
        for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec))
            if (it->is_directory(ec) && !it->is_symlink(ec))
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path, ec);
    }

    // The path of name inside the folder.
    std::string file(const std::string& name) const { return (path / name).string(); }

  private:
    // Makes the folder: a name not taken yet under the temporary directory.
    static std::filesystem::path make(const std::string& tag) {
        namespace fs = std::filesystem;
        static std::atomic<unsigned> count{0};
        const fs::path base = fs::temp_directory_path();
        const std::string stem = "orv_" + (tag.empty() ? std::string() : safe(tag) + "_") + running_test() + "_" +
                                 std::to_string(process_id()) + "_";
        for (int attempt = 0; attempt < 1000; ++attempt) {
            std::error_code ec;
            const fs::path candidate = base / (stem + std::to_string(count++));
            if (fs::create_directory(candidate, ec)) return candidate;
            if (ec) throw std::runtime_error("cannot make a folder " + candidate.string() + ": " + ec.message());
            // Left by an earlier process of the same id: try the next count.
        }
        throw std::runtime_error("cannot make a folder " + (base / stem).string() + "N: all names taken");
    }

    // text with every character but ASCII letters and digits as "_", at most 60 characters.
    static std::string safe(std::string text) {
        for (char& c : text)
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) c = '_';
        return text.substr(0, 60);
    }

    // Suite and test name of the running test ("setup" outside a test).
    static std::string running_test() {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        return info == nullptr ? "setup" : safe(std::string(info->test_suite_name()) + "_" + info->name());
    }

    static long process_id() {
#ifdef _WIN32
        return static_cast<long>(_getpid());
#else
        return static_cast<long>(getpid());
#endif
    }
};

// Reads the whole file at path into *out, byte for byte; false when it cannot
// be opened or read (a folder, a missing file).
inline bool read_file(const std::filesystem::path& path, std::string* out) {
    out->clear();
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The whole file at path, byte for byte; a test failure naming the path (and
// an empty string) when it cannot be read.
inline std::string read_file(const std::filesystem::path& path) {
    std::string bytes;
    if (!read_file(path, &bytes)) ADD_FAILURE() << "cannot read the file " << path.string();
    return bytes;
}

}  // namespace orv_test
