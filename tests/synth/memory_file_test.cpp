// The memory file that holds an impaired sequence's kept samples: zeros until
// written, what was written read back at any offset, and every access that
// strays outside the file refused rather than clipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <vector>

#include "platform_memory.h"
#include "support/readable_params.h"

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#endif

namespace {

#if defined(__linux__)

// One access to a 1000-byte file that already holds 0..255 repeated in its first 600 bytes.
struct Access {
    const char* name;
    bool write;
    int64_t offset;
    size_t n;
    bool ok;
};

const Access kAccesses[] = {
    {"read written start", false, 0, 600, true},
    {"read across written end", false, 590, 20, true},
    {"read unwritten tail", false, 600, 400, true},
    {"read whole file", false, 0, 1000, true},
    {"read nothing at end", false, 1000, 0, true},
    {"read one past end", false, 1000, 1, false},
    {"read straddling end", false, 990, 11, false},
    {"read negative offset", false, -1, 4, false},
    {"read beyond file", false, 5000, 4, false},
    {"write last byte", true, 999, 1, true},
    {"write straddling end", true, 996, 8, false},
    {"write negative offset", true, -8, 8, false},
    {"write huge count", true, 8, SIZE_MAX - 4, false},
};

void PrintTo(const Access& a, std::ostream* os) { *os << a.name; }

class MemoryFileAccess : public ::testing::TestWithParam<Access> {};

TEST_P(MemoryFileAccess, InsideTheFileOnly) {
    const Access& a = GetParam();
    MemoryFile f;
    ASSERT_TRUE(memory_file_open(&f, 1000));
    std::vector<unsigned char> want(1000, 0);
    for (size_t k = 0; k < 600; ++k) want[k] = static_cast<unsigned char>(k);
    ASSERT_TRUE(memory_file_write(&f, 0, want.data(), 600));
    std::vector<unsigned char> data(a.write ? 16 : a.n + 1, 0xA5);
    if (a.write) {
        EXPECT_EQ(memory_file_write(&f, a.offset, data.data(), a.n), a.ok);
        if (a.ok) std::memset(want.data() + a.offset, 0xA5, a.n);
    } else {
        EXPECT_EQ(memory_file_read(&f, a.offset, data.data(), a.n), a.ok);
        if (a.ok) {
            EXPECT_EQ(0, std::memcmp(data.data(), want.data() + a.offset, a.n));
        }
        EXPECT_EQ(data[a.n], 0xA5) << "read past the count";
    }
    // Whatever the access did, the file holds what was written inside it and nothing else.
    std::vector<unsigned char> all(1000);
    ASSERT_TRUE(memory_file_read(&f, 0, all.data(), all.size()));
    EXPECT_EQ(all, want);
    memory_file_close(&f);
}

INSTANTIATE_TEST_SUITE_P(Cases, MemoryFileAccess, ::testing::ValuesIn(kAccesses), orv_test::PrintedName{});

// Blocks of the size the sequence writes, out of order, over a file larger
// than any one transfer: each block reads back as written, the gaps as zeros.
TEST(MemoryFile, BlocksOutOfOrderAndGapsOfZeros) {
    constexpr size_t kBlock = 16384 * 8;
    constexpr int64_t kBlocks = 9;
    MemoryFile f;
    ASSERT_TRUE(memory_file_open(&f, kBlocks * kBlock));
    std::vector<unsigned char> block(kBlock);
    for (int64_t b : {7, 2, 5, 0}) {
        for (size_t k = 0; k < kBlock; ++k) block[k] = static_cast<unsigned char>(k * 7 + b + 1);
        ASSERT_TRUE(memory_file_write(&f, b * kBlock, block.data(), kBlock));
    }
    for (int64_t b = 0; b < kBlocks; ++b) {
        ASSERT_TRUE(memory_file_read(&f, b * kBlock, block.data(), kBlock));
        const bool written = b == 7 || b == 2 || b == 5 || b == 0;
        for (size_t k = 0; k < kBlock; k += 4093)
            ASSERT_EQ(block[k], written ? static_cast<unsigned char>(k * 7 + b + 1) : 0) << "block " << b << " byte " << k;
    }
    memory_file_close(&f);
    memory_file_close(&f);  // twice is allowed
    EXPECT_FALSE(memory_file_read(&f, 0, block.data(), 1)) << "a closed file reads nothing";
}

// The file counts against the process's file size limit: one larger than the
// limit is not made (and raises no SIGXFSZ, which would end the process); one
// within it is. Run in a child with the signal's default action.
TEST(MemoryFile, FileSizeLimitRefusesLargerFiles) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        struct rlimit lim = {64 * 1024, 64 * 1024};
        if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(10);
        MemoryFile f;
        if (memory_file_open(&f, 64 * 1024 + 1)) _exit(11);
        if (!memory_file_open(&f, 64 * 1024)) _exit(12);
        const unsigned char byte = 7;
        if (!memory_file_write(&f, 64 * 1024 - 1, &byte, 1)) _exit(13);
        memory_file_close(&f);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no limit, 11: larger file made, 12: file within refused, 13: write refused";
}

TEST(MemoryFile, NegativeSizeRefused) {
    MemoryFile f;
    EXPECT_FALSE(memory_file_open(&f, -1));
    EXPECT_EQ(f.fd, -1);
    unsigned char byte = 0;
    EXPECT_FALSE(memory_file_write(&f, 0, &byte, 1));
}

#else

TEST(MemoryFile, NoneWithoutLinux) {
    MemoryFile f;
    EXPECT_FALSE(memory_file_open(&f, 1000));
    unsigned char byte = 0;
    EXPECT_FALSE(memory_file_write(&f, 0, &byte, 1));
}

#endif

// ---- large_alloc ------------------------------------------------------------

struct LargeCase {
    const char* name;
    size_t bytes;
};
void PrintTo(const LargeCase& c, std::ostream* os) { *os << c.name; }
class LargeBlock : public ::testing::TestWithParam<LargeCase> {};

// Every byte of the block is its own (two blocks alive at once hold their own
// patterns), aligned for any sample type; from 1 MB on, on Linux, in the
// first 2 MB page of its mapping.
TEST_P(LargeBlock, HoldsItsBytesAligned) {
    const LargeCase c = GetParam();
    unsigned char* a = static_cast<unsigned char*>(large_alloc(c.bytes));
    unsigned char* b = static_cast<unsigned char*>(large_alloc(c.bytes));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    const uintptr_t align = reinterpret_cast<uintptr_t>(a) | reinterpret_cast<uintptr_t>(b);
    EXPECT_EQ(align % 16, 0u);
#if defined(__linux__)
    if (c.bytes >= (1u << 20)) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % (2u << 20), 64u);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % (2u << 20), 64u);
    }
#endif
    for (size_t k = 0; k < c.bytes; ++k) {
        a[k] = static_cast<unsigned char>(k * 7 + 1);
        b[k] = static_cast<unsigned char>(k * 13 + 5);
    }
    size_t wrong = 0;
    for (size_t k = 0; k < c.bytes; ++k)
        wrong += a[k] != static_cast<unsigned char>(k * 7 + 1) || b[k] != static_cast<unsigned char>(k * 13 + 5);
    EXPECT_EQ(wrong, 0u);
    large_free(a);
    large_free(b);
}

// A zeroed block reads as zeros even where the C library hands back the
// memory of a block just filled and released.
TEST_P(LargeBlock, ZeroedBlockReadsZero) {
    const LargeCase c = GetParam();
    unsigned char* used = static_cast<unsigned char*>(large_alloc(c.bytes));
    ASSERT_NE(used, nullptr);
    std::memset(used, 0xa5, c.bytes);
    large_free(used);
    const unsigned char* zero = static_cast<const unsigned char*>(large_alloc_zeroed(c.bytes));
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(std::count(zero, zero + c.bytes, 0), static_cast<std::ptrdiff_t>(c.bytes));
    large_free(const_cast<unsigned char*>(zero));
}

const LargeCase kLargeCases[] = {{"none", 0},
                                 {"one_byte", 1},
                                 {"a_page_less_one", 4095},
                                 {"just_under_the_huge_pages", (1u << 20) - 1},
                                 {"from_the_huge_pages_on", 1u << 20},
                                 {"several_huge_pages_and_a_part", (5u << 20) + 3}};
INSTANTIATE_TEST_SUITE_P(Sizes, LargeBlock, ::testing::ValuesIn(kLargeCases), orv_test::PrintedName{});

TEST(LargeBlock, NullReleasesNothingAndImpossibleRequestsFail) {
    large_free(nullptr);
    EXPECT_EQ(large_alloc(SIZE_MAX - 16), nullptr);
    EXPECT_EQ(large_alloc_zeroed(SIZE_MAX - 16), nullptr);
}

}  // namespace
