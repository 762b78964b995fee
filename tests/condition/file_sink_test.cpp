// The one file replacement under both policies: what each does with every
// kind of path, and that a replacement is a new file renamed into place.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "file_sink.h"
#include "status.h"
#include "support/records.h"

namespace {

enum class Kind { kMissing, kRegular, kFolder, kFifo, kDevice, kLinkLoop, kMissingFolder };

struct SinkCase {
    const char* name;
    Kind kind;
    SinkPolicy policy;
    int32_t opened;  // sink_open's result
    int error;       // errno after a refused open (0: not checked)
};

// Puts the kind of thing at dir/x and returns the path to open.
std::string make_path(const TempDir& dir, Kind kind) {
    const std::string path = dir.file("x");
    switch (kind) {
        case Kind::kMissing: break;
        case Kind::kRegular: {
            FileSink s;
            if (sink_open(path.c_str(), true, &s) == kStatusOk) {
                sink_write(&s, "old", 3);
                sink_close(&s, path.c_str());
            }
            break;
        }
        case Kind::kFolder: std::filesystem::create_directory(path); break;
        case Kind::kFifo: mkfifo(path.c_str(), 0666); break;
        case Kind::kDevice: return "/dev/null";
        case Kind::kLinkLoop:
            symlink("y", path.c_str());
            symlink("x", dir.file("y").c_str());
            break;
        case Kind::kMissingFolder: return dir.file("no/x");
    }
    return path;
}

void PrintTo(const SinkCase& c, std::ostream* os) { *os << c.name; }

class SinkPolicies : public ::testing::TestWithParam<SinkCase> {};

TEST_P(SinkPolicies, OpenAsThePolicySays) {
    const SinkCase& c = GetParam();
    TempDir dir("sink_policy");
    const std::string path = make_path(dir, c.kind);
    const auto before = std::filesystem::symlink_status(path);
    FileSink s;
    errno = 0;
    const int32_t opened = sink_open(path.c_str(), true, &s, c.policy);
    const int error = errno;
    ASSERT_EQ(opened, c.opened);
    if (opened != kStatusOk) {
        if (c.error != 0) {
            EXPECT_EQ(error, c.error);
        }
        // Nothing was created and what was there stays what it was.
        EXPECT_EQ(std::filesystem::symlink_status(path).type(), before.type());
        return;
    }
    sink_write(&s, "new", 3);
    EXPECT_EQ(sink_close(&s, path.c_str()), kStatusOk);
    if (c.kind == Kind::kMissing || c.kind == Kind::kRegular) {
        EXPECT_EQ(read_file(path), "new");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SinkPolicies,
    ::testing::Values(
        SinkCase{"missing_replace_only", Kind::kMissing, kSinkReplaceOnly, kStatusOk, 0},
        SinkCase{"regular_replace_only", Kind::kRegular, kSinkReplaceOnly, kStatusOk, 0},
        SinkCase{"folder_replace_only", Kind::kFolder, kSinkReplaceOnly, kStatusWriteFailed, EISDIR},
        SinkCase{"fifo_replace_only", Kind::kFifo, kSinkReplaceOnly, kStatusWriteFailed, EINVAL},
        SinkCase{"device_replace_only", Kind::kDevice, kSinkReplaceOnly, kStatusWriteFailed, EINVAL},
        SinkCase{"device_write_devices", Kind::kDevice, kSinkWriteDevices, kStatusOk, 0},
        SinkCase{"folder_write_devices", Kind::kFolder, kSinkWriteDevices, kStatusWriteFailed, 0},
        SinkCase{"link_loop_replace_only", Kind::kLinkLoop, kSinkReplaceOnly, kStatusWriteFailed, ELOOP},
        SinkCase{"link_loop_write_devices", Kind::kLinkLoop, kSinkWriteDevices, kStatusWriteFailed, ELOOP},
        SinkCase{"missing_folder", Kind::kMissingFolder, kSinkWriteDevices, kStatusWriteFailed, ENOENT}),
    [](const ::testing::TestParamInfo<SinkCase>& row) { return std::string(row.param.name); });

// A replacement is a new file put in place whole: the old file's inode is
// not written, its mode is kept, and no temporary file stays beside it.
TEST(FileSink, ReplacementIsANewFileWithTheOldMode) {
    TempDir dir("sink_replace");
    const std::string path = dir.file("f.bin");
    FileSink s;
    ASSERT_EQ(sink_open(path.c_str(), true, &s, kSinkReplaceOnly), kStatusOk);
    sink_write(&s, "first", 5);
    ASSERT_EQ(sink_close(&s, path.c_str()), kStatusOk);
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    struct stat before {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);

    ASSERT_EQ(sink_open(path.c_str(), true, &s, kSinkReplaceOnly), kStatusOk);
    sink_write(&s, "second", 6);
    EXPECT_EQ(read_file(path), "first") << "the path holds the old file until the close";
    ASSERT_EQ(sink_close(&s, path.c_str()), kStatusOk);
    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(read_file(path), "second");
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path),
                            std::filesystem::directory_iterator()), 1);
}

// A failed write leaves the previous file and no temporary file.
TEST(FileSink, FailedReplacementKeepsTheOldFile) {
    TempDir dir("sink_fail");
    const std::string path = dir.file("f.bin");
    FileSink s;
    ASSERT_EQ(sink_open(path.c_str(), true, &s), kStatusOk);
    sink_write(&s, "old", 3);
    ASSERT_EQ(sink_close(&s, path.c_str()), kStatusOk);
    ASSERT_EQ(sink_open(path.c_str(), true, &s, kSinkReplaceOnly), kStatusOk);
    sink_write(&s, "half", 4);
    s.failed = true;  // as after a write the device refused
    EXPECT_EQ(sink_close(&s, path.c_str()), kStatusWriteFailed);
    EXPECT_EQ(read_file(path), "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path),
                            std::filesystem::directory_iterator()), 1);
}

}  // namespace
