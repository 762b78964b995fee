// The one file replacement under both policies: what each does with every
// kind of path, and that a replacement is a new file renamed into place.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
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

// A reservation ahead of the writes changes nothing in the file: its bytes
// and size are those written, and storage reserved beyond the end (or by a
// reservation that failed half way) is given back by the close.
struct ReserveCase {
    const char* name;
    int64_t offset;      // of the reservation (kNoReserve: none)
    int64_t extra;       // bytes reserved beyond the content's end (negative: short of it)
    bool reserved;       // sink_reserve's result on a file system that reserves
    bool positional;     // written as the AWG writer writes its samples
};

constexpr int64_t kNoReserve = -2;
constexpr int64_t kContent = (1 << 20) + 123;

std::string content_bytes() {
    std::string bytes(kContent, '\0');
    for (int64_t k = 0; k < kContent; ++k) bytes[k] = static_cast<char>(k * 131 + k / 977);
    return bytes;
}

// Writes bytes to path after the reservation of row c; returns what
// sink_reserve returned (true without one).
bool write_reserved(const std::string& path, const std::string& bytes, const ReserveCase& c) {
    FileSink s;
    EXPECT_EQ(sink_open(path.c_str(), true, &s, kSinkReplaceOnly), kStatusOk);
    sink_write(&s, bytes.data(), 100);  // a header before the reservation is made
    bool reserved = true;
    if (c.offset != kNoReserve) reserved = sink_reserve(&s, c.offset, kContent + c.extra);
    int64_t at = 0;
    if (c.positional && sink_begin_positional(&s, &at)) {
        EXPECT_TRUE(sink_write_at(&s, bytes.data() + 100, bytes.size() - 100, at));
        sink_end_positional(&s, at + static_cast<int64_t>(bytes.size()) - 100);
    } else {
        sink_write(&s, bytes.data() + 100, bytes.size() - 100);
    }
    EXPECT_EQ(sink_close(&s, path.c_str()), kStatusOk);
    return reserved;
}

void PrintTo(const ReserveCase& c, std::ostream* os) { *os << c.name; }

class SinkReserve : public ::testing::TestWithParam<ReserveCase> {};

TEST_P(SinkReserve, FileAsWrittenWithoutIt) {
    const ReserveCase& c = GetParam();
    TempDir dir("sink_reserve");
    const std::string bytes = content_bytes();
    const std::string plain = dir.file("plain.bin"), path = dir.file("reserved.bin");
    write_reserved(plain, bytes, ReserveCase{"none", kNoReserve, 0, true, c.positional});
    errno = 0;
    const bool reserved = write_reserved(path, bytes, c);
    if (c.reserved && !reserved && errno == EOPNOTSUPP) GTEST_SKIP() << "no reservation on this file system";
    EXPECT_EQ(reserved, c.reserved);
    EXPECT_TRUE(read_file(path) == bytes) << "the bytes differ from those written";
    struct stat with {}, without {};
    ASSERT_EQ(stat(path.c_str(), &with), 0);
    ASSERT_EQ(stat(plain.c_str(), &without), 0);
    EXPECT_EQ(with.st_size, kContent);
    EXPECT_LE(with.st_blocks, without.st_blocks) << "storage beyond the file's end stayed reserved";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path),
                            std::filesystem::directory_iterator()), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, SinkReserve,
    ::testing::Values(
        ReserveCase{"none", kNoReserve, 0, true, false},
        ReserveCase{"whole_file", 0, 0, true, false},
        ReserveCase{"short_of_the_end", 0, -4096, true, true},
        ReserveCase{"beyond_the_end", 0, 8 << 20, true, false},
        ReserveCase{"beyond_the_end_positional", 4096, 8 << 20, true, true},
        ReserveCase{"past_the_largest_file", int64_t{1} << 62, 0, false, false},
        ReserveCase{"larger_than_any_file", 0, int64_t{1} << 60, false, true},
        ReserveCase{"negative_offset", -1, 0, false, false}),
    [](const ::testing::TestParamInfo<ReserveCase>& row) { return std::string(row.param.name); });

// Neither a device nor a failed sink takes a reservation; a background one
// ends before the writes and leaves the file as written.
TEST(FileSink, ReservationOnlyForARegularFileStillGood) {
    FileSink device;
    ASSERT_EQ(sink_open("/dev/null", true, &device), kStatusOk);
    EXPECT_FALSE(sink_reserve(&device, 0, 4096));
    EXPECT_EQ(sink_reserve_start(&device, 64 << 20), nullptr);
    EXPECT_EQ(sink_close(&device, "/dev/null"), kStatusOk);

    TempDir dir("sink_reserve_task");
    const std::string path = dir.file("f.bin");
    FileSink s;
    ASSERT_EQ(sink_open(path.c_str(), true, &s), kStatusOk);
    s.failed = true;
    EXPECT_FALSE(sink_reserve(&s, 0, 4096));
    EXPECT_EQ(sink_reserve_start(&s, 4096), nullptr);
    EXPECT_EQ(sink_close(&s, path.c_str()), kStatusWriteFailed);
    EXPECT_FALSE(std::filesystem::exists(path));

    const std::string bytes = content_bytes();
    ASSERT_EQ(sink_open(path.c_str(), true, &s), kStatusOk);
    sink_reserve_finish(sink_reserve_start(&s, 3 * kContent));
    sink_write(&s, bytes.data(), bytes.size());
    ASSERT_EQ(sink_close(&s, path.c_str()), kStatusOk);
    EXPECT_TRUE(read_file(path) == bytes);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, kContent);
    EXPECT_LE(st.st_blocks * 512, kContent + (64 << 10)) << "storage beyond the file's end stayed reserved";
}

}  // namespace
