#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/records.h"
#include "writers.h"

namespace {

const std::string kDatePattern = R"(\{DATE:\d{4}/\d\d/\d\d;\d\d:\d\d:\d\d\})";

// The AWG header with the DATE item replaced by a fixed mask.
std::string mask_date(const std::string& file) {
    return std::regex_replace(file, std::regex(kDatePattern), "{DATE:*}",
                              std::regex_constants::format_first_only);
}

// True when stamp ("YYYY/MM/DD;hh:mm:ss", local time) is one of the seconds from before to after.
bool written_within(const std::string& stamp, std::time_t before, std::time_t after) {
    for (std::time_t t = before; t <= after; ++t) {
        char text[32];
        std::tm local{};
        localtime_r(&t, &local);
        std::strftime(text, sizeof text, "%Y/%m/%d;%H:%M:%S", &local);
        if (stamp == text) return true;
    }
    return false;
}

TEST(AwgWriter, HeaderBytesAndBlock) {
    TempDir dir("awg");
    const std::string path = dir.file("a.awv");
    std::vector<int32_t> i_codes = {8191, 0, 16383};
    std::vector<int32_t> q_codes = {8191, 1, 0x1234};
    const std::time_t before = std::time(nullptr);
    ASSERT_EQ(write_awg_file(path.c_str(), i_codes.data(), q_codes.data(), 3.25, 3.125, 10.5,
                             80000000.0, 3),
              0);
    const std::time_t after = std::time(nullptr);
    const std::string file = read_file(path);
    const std::string header =
        "{COMMENT:OFDM waveform generator}{DATE:*}{PAPR:10.500000;3.250000;3.125000}"
        "{IQFILTER:FLT50M}{IQGAIN:1.0;1.0}{IQOFFSET:0.0;0.0}{SAMPLINGFREQ:80000000.000000}"
        "{IQOUTPUT:FIX}{WAVEDATA:24;";
    const unsigned char block[24] = {0xFF, 0x1F, 0, 0, 0xFF, 0x1F, 0, 0, 0, 0, 0, 0,
                                     1,    0,    0, 0, 0xFF, 0x3F, 0, 0, 0x34, 0x12, 0, 0};
    const std::string masked = mask_date(file);
    ASSERT_EQ(masked.size(), header.size() + 24 + 1);
    EXPECT_EQ(masked.substr(0, header.size()), header);
    EXPECT_EQ(0, std::memcmp(masked.data() + header.size(), block, 24));
    EXPECT_EQ(masked.back(), '}');
    // The date and time are the local time of the write: one of the seconds
    // from just before to just after it (a write may straddle midnight).
    std::smatch m;
    ASSERT_TRUE(std::regex_search(file, m, std::regex(kDatePattern)));
    EXPECT_TRUE(written_within(m.str().substr(6, 19), before, after)) << m.str();
}

TEST(AwgWriter, DateCheckAcceptsEitherSideOfMidnight) {
    std::tm late{};
    late.tm_year = 2026 - 1900;
    late.tm_mon = 11;
    late.tm_mday = 7;
    late.tm_hour = 23;
    late.tm_min = 59;
    late.tm_sec = 59;
    late.tm_isdst = -1;
    const std::time_t before = std::mktime(&late), after = before + 1;
    EXPECT_TRUE(written_within("2026/12/07;23:59:59", before, after));
    EXPECT_TRUE(written_within("2026/12/08;00:00:00", before, after));
    EXPECT_FALSE(written_within("2026/12/08;00:00:01", before, after));
    EXPECT_FALSE(written_within("2026/12/07;23:59:58", before, after));
}

TEST(AwgWriter, EmptyBlockAndReplacement) {
    TempDir dir("awg0");
    const std::string path = dir.file("a.awv");
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fputs(std::string(100000, 'x').c_str(), f);
        std::fclose(f);
    }
    ASSERT_EQ(write_awg_file(path.c_str(), nullptr, nullptr, 0, 0, 0, 2e8, 0), 0);
    const std::string file = read_file(path);
    EXPECT_EQ(file.find('x'), std::string::npos) << "existing file must be replaced";
    EXPECT_TRUE(file.ends_with("{SAMPLINGFREQ:200000000.000000}{IQOUTPUT:FIX}{WAVEDATA:0;}"));
}

TEST(CsvWriter, LinesAsPrintf) {
    TempDir dir("csv");
    const std::string path = dir.file("a.csv");
    std::vector<double> i = {0.0, -0.0, 1.0 / 3.0, -1.25e-5, 1e100, 123456.789};
    std::vector<double> q = {0.0, 2.5, -1.0 / 7.0, 9.99999999999e-301, -4e-320, -0.5};
    ASSERT_EQ(write_csv_file(path.c_str(), i.data(), q.data(), 6), 0);
    std::string want;
    for (size_t k = 0; k < i.size(); ++k) {
        char line[80];
        std::snprintf(line, sizeof line, "%15.10le,%15.10le\n", i[k], q[k]);
        want += line;
    }
    EXPECT_EQ(read_file(path), want);
    EXPECT_TRUE(want.starts_with("0.0000000000e+00,0.0000000000e+00\n-0.0000000000e+00,"));
}

TEST(CsvWriter, EmptyFile) {
    TempDir dir("csv0");
    const std::string path = dir.file("a.csv");
    ASSERT_EQ(write_csv_file(path.c_str(), nullptr, nullptr, 0), 0);
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

// Every failure is reported, and no partial regular file is left behind.
TEST(Writers, FailuresReportedAndNothingLeft) {
    TempDir dir("fail");
    std::vector<int32_t> codes(1000, 8191);
    std::vector<double> samples(1000, 0.25);
    const std::string missing = dir.file("no/such/dir/a.awv");
    EXPECT_EQ(write_awg_file(missing.c_str(), codes.data(), codes.data(), 0, 0, 0, 8e7, 1000), 1);
    EXPECT_EQ(write_csv_file(missing.c_str(), samples.data(), samples.data(), 1000), 1);
    EXPECT_FALSE(std::filesystem::exists(dir.file("no")));
    // A directory as the path cannot be opened and stays a directory.
    EXPECT_EQ(write_csv_file(dir.path.string().c_str(), samples.data(), samples.data(), 1), 1);
    EXPECT_TRUE(std::filesystem::is_directory(dir.path));

    struct stat st;
    if (::stat("/dev/full", &st) == 0) {
        EXPECT_EQ(write_awg_file("/dev/full", codes.data(), codes.data(), 0, 0, 0, 8e7, 1000), 1);
        EXPECT_EQ(write_csv_file("/dev/full", samples.data(), samples.data(), 1000), 1);
        ASSERT_EQ(::stat("/dev/full", &st), 0) << "/dev/full must never be removed";
        EXPECT_TRUE(S_ISCHR(st.st_mode));
    }
}

}  // namespace
