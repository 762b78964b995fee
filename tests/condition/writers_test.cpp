#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <regex>
#include <string>
#include <vector>

#include "support/library_writers.h"
#include "support/records.h"
#include "measure.h"
#include "file_sink.h"
#include "status.h"
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

// The sample words, I then Q, each 32-bit little-endian, for counts around
// the four pairs packed at a time (whole quads, a quad and a rest, fewer).
TEST(AwgWriter, SampleWordsInOrderAtEveryCount) {
    for (int32_t count : {1, 2, 3, 4, 5, 7, 8, 9, 12, 13}) {
        std::vector<int32_t> i_codes, q_codes;
        for (int32_t k = 0; k < count; ++k) {
            i_codes.push_back(16383 - 613 * k);
            q_codes.push_back(0x0102 + 0x1011 * k);
        }
        TempDir dir("awg_words");
        const std::string path = dir.file("w.awv");
        ASSERT_EQ(write_awg_file(path.c_str(), i_codes.data(), q_codes.data(), 1.0, 1.0, 1.0, 2e7, count), 0);
        const std::string file = read_file(path);
        ASSERT_GT(file.size(), 8u * count + 1);
        const std::string words = file.substr(file.size() - 1 - 8 * static_cast<size_t>(count), 8 * static_cast<size_t>(count));
        std::string expected;
        for (int32_t k = 0; k < count; ++k)
            for (int32_t v : {i_codes[k], q_codes[k]})
                for (int b = 0; b < 4; ++b) expected += static_cast<char>((v >> (8 * b)) & 0xFF);
        EXPECT_TRUE(words == expected) << "count " << count;
    }
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
    EXPECT_EQ(write_awg_file(missing.c_str(), codes.data(), codes.data(), 0, 0, 0, 8e7, 1000), kStatusWriteFailed);
    EXPECT_EQ(write_csv_file(missing.c_str(), samples.data(), samples.data(), 1000), kStatusWriteFailed);
    EXPECT_FALSE(std::filesystem::exists(dir.file("no")));
    // A directory as the path cannot be opened and stays a directory.
    EXPECT_EQ(write_csv_file(dir.path.string().c_str(), samples.data(), samples.data(), 1), kStatusWriteFailed);
    EXPECT_TRUE(std::filesystem::is_directory(dir.path));

    struct stat st;
    if (::stat("/dev/full", &st) == 0) {
        EXPECT_EQ(write_awg_file("/dev/full", codes.data(), codes.data(), 0, 0, 0, 8e7, 1000), kStatusWriteFailed);
        EXPECT_EQ(write_csv_file("/dev/full", samples.data(), samples.data(), 1000), kStatusWriteFailed);
        ASSERT_EQ(::stat("/dev/full", &st), 0) << "/dev/full must never be removed";
        EXPECT_TRUE(S_ISCHR(st.st_mode));
    }
}

}  // namespace

namespace {

// The AWG file made from the samples chunk by chunk has the bytes of the file
// made from whole code arrays (quantise_channel, then write_awg_file): counts
// around the chunk sizes, values at and beyond full scale, NaN, zeros of both
// signs, a scale of zero.
struct SamplesCase {
    const char* name;
    int32_t count;
    double scale;
};

void PrintTo(const SamplesCase& c, std::ostream* os) { *os << c.name; }

class AwgFromSamples : public ::testing::TestWithParam<SamplesCase> {};

TEST_P(AwgFromSamples, SameBytesAsFromWholeCodeArrays) {
    const SamplesCase& c = GetParam();
    std::vector<double> i(static_cast<size_t>(c.count)), q(static_cast<size_t>(c.count));
    uint64_t x = 12345;
    for (int32_t k = 0; k < c.count; ++k) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        const double u = static_cast<double>(x >> 11) / 9007199254740992.0;  // [0, 1)
        i[k] = (2.0 * u - 1.0) * c.scale * 1.2;  // a sixth beyond full scale
        q[k] = (1.0 - 2.0 * u) * c.scale * 0.99;
        if (k % 997 == 5) i[k] = std::nan("");
        if (k % 1009 == 7) q[k] = -0.0;
        if (k % 613 == 3) q[k] = c.scale + 1e-12;  // exactly the divisor
    }
    std::vector<int32_t> ic(i.size() + 1), qc(q.size() + 1);
    std::vector<double> work(i.size() + 1);
    testing::internal::CaptureStdout();
    quantise_channel(work.data(), i.data(), ic.data(), c.count, c.scale, 14);
    quantise_channel(work.data(), q.data(), qc.data(), c.count, c.scale, 14);
    testing::internal::GetCapturedStdout();
    TempDir dir("awg_samples");
    const std::string whole = dir.file("whole.awv"), chunked = dir.file("chunked.awv");
    ASSERT_EQ(write_awg_file(whole.c_str(), ic.data(), qc.data(), 1.5, 2.5, 3.5, 2e8, c.count), 0);
    ASSERT_EQ(write_awg_samples(chunked.c_str(), i.data(), q.data(), c.scale, 1.5, 2.5, 3.5, 2e8,
                                c.count),
              0);
    const std::string a = mask_date(read_file(whole)), b = mask_date(read_file(chunked));
    EXPECT_EQ(a.size(), b.size());
    EXPECT_TRUE(a == b) << "files differ";
}

INSTANTIATE_TEST_SUITE_P(Counts, AwgFromSamples,
                         ::testing::Values(SamplesCase{"empty", 0, 1.0}, SamplesCase{"one", 1, 1.0},
                                           SamplesCase{"step_minus_1", 511, 0.5},
                                           SamplesCase{"step_plus_1", 513, 0.5},
                                           SamplesCase{"chunk", 8192, 0.01},
                                           SamplesCase{"chunk_plus_1", 8193, 0.01},
                                           SamplesCase{"several_chunks", 30001, 3.0},
                                           SamplesCase{"threaded", 1 << 18, 0.75},
                                           SamplesCase{"threaded_partial_block", (1 << 18) + 3 * 8192 + 5, 2.0},
                                           SamplesCase{"scale_zero", 1000, 0.0}),
                         [](const ::testing::TestParamInfo<SamplesCase>& p) {
                             return std::string(p.param.name);
                         });

// find_round_error names the value quantise_channel reports: the same line on
// standard output, and -1 exactly when quantise_channel reports nothing.
TEST(RoundError, FindsTheValueTheQuantiserReports) {
    const double d = 0.25 + 1e-12;
    const std::vector<std::vector<double>> inputs = {
        {0.1, -0.25, 0.25, d, -d},                       // all within: divisor itself gives 1
        {0.1, std::nextafter(d, 1.0), 0.3},              // just above the divisor
        {0.0, -0.3, 0.3},                                // below -1 first
        {0.2, std::nan(""), 0.5},                        // NaN first
        {std::nextafter(d, 1.0) * (1.0 + 1e-17), 0.0},  // rounds to 1 or above
    };
    for (size_t t = 0; t < inputs.size(); ++t) {
        const std::vector<double>& x = inputs[t];
        const int32_t n = static_cast<int32_t>(x.size());
        std::vector<int32_t> codes(x.size());
        std::vector<double> work(x.size());
        testing::internal::CaptureStdout();
        const int32_t r = quantise_channel(work.data(), x.data(), codes.data(), n, 0.25, 14);
        const std::string expected = testing::internal::GetCapturedStdout();
        double value = 0.0;
        const int32_t k = find_round_error(x.data(), n, 0.25, &value);
        EXPECT_EQ(k >= 0, r == 1) << "input " << t;
        testing::internal::CaptureStdout();
        if (k >= 0) report_round_error(0.25, value);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), expected) << "input " << t;
    }
}

}  // namespace

namespace {

// Long CSV files are formatted on two threads: with the second thread and
// without it the bytes are the same, below and above the threshold, with a
// last block of every kind (full, one line, partial) and with more blocks
// than slots.
TEST(CsvWriter, TwoThreadsWriteTheBytesOfOne) {
    TempDir dir("csv_threads");
    for (int32_t count : {32767, 32768, 1024 * 32 + 1, 1024 * 34, 1024 * 35, 1024 * 35 + 7, 100003}) {
        std::vector<double> i(static_cast<size_t>(count)), q(static_cast<size_t>(count));
        for (int32_t k = 0; k < count; ++k) {
            i[k] = std::sin(0.001 * k) * 0.37;
            q[k] = k % 5000 == 17 ? -0.0 : std::cos(0.0007 * k) * 1e-3;
        }
        const std::string one = dir.file("one.csv"), two = dir.file("two.csv");
        ASSERT_EQ(write_csv_file(one.c_str(), i.data(), q.data(), count, false), 0);
        ASSERT_EQ(write_csv_file(two.c_str(), i.data(), q.data(), count, true), 0);
        const std::string a = read_file(one), b = read_file(two);
        EXPECT_GT(a.size(), static_cast<size_t>(count) * 30);
        EXPECT_TRUE(a == b) << count;
    }
}

}  // namespace

namespace {

// Positional writes: a new regular file takes blocks at their offsets in any
// order, and the stream carries on after them; a device keeps the stream.
TEST(FileSink, PositionalWritesLandAtTheirOffsets) {
    TempDir dir("positional");
    const std::string path = dir.file("blocks.bin");
    FileSink s;
    ASSERT_EQ(sink_open(path.c_str(), true, &s), 0);
    sink_write(&s, "HEAD", 4);
    int64_t at = -1;
    ASSERT_TRUE(sink_begin_positional(&s, &at));
    EXPECT_EQ(at, 4);
    EXPECT_TRUE(sink_write_at(&s, "bbbb", 4, at + 3));
    EXPECT_TRUE(sink_write_at(&s, "aaa", 3, at));
    EXPECT_TRUE(sink_write_at(&s, "c", 1, at + 7));
    sink_end_positional(&s, at + 8);
    sink_write(&s, "}", 1);
    ASSERT_EQ(sink_close(&s, path.c_str()), 0);
    EXPECT_EQ(read_file(path), "HEADaaabbbbc}");

    struct stat st;
    if (::stat("/dev/null", &st) != 0) GTEST_SKIP() << "no /dev/null";
    ASSERT_EQ(sink_open("/dev/null", true, &s), 0);
    sink_write(&s, "HEAD", 4);
    EXPECT_FALSE(sink_begin_positional(&s, &at));
    sink_write(&s, "rest", 4);
    EXPECT_EQ(sink_close(&s, "/dev/null"), 0);
}

}  // namespace

namespace {

// awg_pack_pairs gives the bytes awg_pack makes of the same samples widened to
// double, into another buffer and in place: counts around the four-pair
// groups, values beyond full scale, exactly at the divisor, NaN and zeros in
// every lane of a group, and a scale of zero.
struct PairsCase {
    const char* name;
    int32_t count;
    double scale;
    int32_t special_every;  // every this many samples a special value (0: none)
};

void PrintTo(const PairsCase& c, std::ostream* os) { *os << c.name; }

class AwgPackPairs : public ::testing::TestWithParam<PairsCase> {};

// Single-precision pairs: noise a tenth beyond full scale, the specials
// cycling through I and Q and through the lanes of a group.
std::vector<float> pairs_of(const PairsCase& c) {
    std::vector<float> iq(2 * static_cast<size_t>(c.count));
    uint64_t x = 987654321;
    const float specials[] = {std::nanf(""), static_cast<float>(c.scale), static_cast<float>(-c.scale),
                              static_cast<float>(3.0 * c.scale + 1.0), static_cast<float>(-3.0 * c.scale - 1.0),
                              -0.0f, 0.0f, std::numeric_limits<float>::infinity()};
    for (size_t k = 0; k < iq.size(); ++k) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        const double u = static_cast<double>(x >> 11) / 9007199254740992.0;  // [0, 1)
        iq[k] = static_cast<float>((2.0 * u - 1.0) * c.scale * 1.1);
        if (c.special_every > 0 && k % static_cast<size_t>(c.special_every) == 1)
            iq[k] = specials[(k / static_cast<size_t>(c.special_every)) % 8];
    }
    return iq;
}

// memcmp over n bytes, for buffers that may be empty (an empty vector's data() may be null).
bool same_bytes(const void* a, const void* b, size_t n) { return n == 0 || std::memcmp(a, b, n) == 0; }

TEST_P(AwgPackPairs, SameBytesAsTheDoublePath) {
    const PairsCase& c = GetParam();
    const std::vector<float> iq = pairs_of(c);
    std::vector<double> i(static_cast<size_t>(c.count)), q(static_cast<size_t>(c.count));
    for (int32_t k = 0; k < c.count; ++k) i[k] = iq[2 * k], q[k] = iq[2 * k + 1];
    const size_t bytes = 8 * static_cast<size_t>(c.count);
    std::vector<unsigned char> expected(bytes + 1), apart(bytes + 1, 0xA5);
    awg_pack(i.data(), q.data(), c.count, c.scale, expected.data());
    awg_pack_pairs(iq.data(), c.count, c.scale, apart.data());
    EXPECT_EQ(0, std::memcmp(expected.data(), apart.data(), bytes)) << "into another buffer";
    EXPECT_EQ(apart[bytes], 0xA5) << "wrote past the last pair";
    std::vector<float> in_place = iq;
    awg_pack_pairs(in_place.data(), c.count, c.scale, reinterpret_cast<unsigned char*>(in_place.data()));
    EXPECT_TRUE(same_bytes(expected.data(), in_place.data(), bytes)) << "in place";
}

INSTANTIATE_TEST_SUITE_P(Counts, AwgPackPairs,
                         ::testing::Values(PairsCase{"empty", 0, 1.0, 0}, PairsCase{"one", 1, 1.0, 0},
                                           PairsCase{"three", 3, 0.5, 2}, PairsCase{"one_group", 4, 0.5, 0},
                                           PairsCase{"group_plus_1", 5, 0.5, 3},
                                           PairsCase{"specials_in_every_lane", 4099, 0.25, 5},
                                           PairsCase{"specials_rare", 65537, 2.0, 1001},
                                           PairsCase{"within_full_scale", 16384, 1e-3, 0},
                                           PairsCase{"scale_zero", 1000, 0.0, 0}),
                         [](const ::testing::TestParamInfo<PairsCase>& p) { return std::string(p.param.name); });

// awg_pack_pairs_within gives awg_pack's bytes for pairs within full scale
// (every value finite, |value| <= scale): values at +-scale itself (the
// largest float not above it), zeros of both signs, the smallest floats, and
// counts around the groups of eight.
struct WithinCase {
    const char* name;
    int32_t count;
    double scale;
};

void PrintTo(const WithinCase& c, std::ostream* os) { *os << c.name; }

class AwgPackPairsWithin : public ::testing::TestWithParam<WithinCase> {};

TEST_P(AwgPackPairsWithin, SameBytesAsTheDoublePath) {
    const WithinCase& c = GetParam();
    float top = static_cast<float>(c.scale);
    if (static_cast<double>(top) > c.scale) top = std::nextafter(top, 0.0f);
    const float ends[] = {top, -top, 0.0f, -0.0f, std::numeric_limits<float>::denorm_min(), top * 0.5f};
    std::vector<float> iq(2 * static_cast<size_t>(c.count));
    uint64_t x = 42;
    for (size_t k = 0; k < iq.size(); ++k) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        const double u = static_cast<double>(x >> 11) / 9007199254740992.0;  // [0, 1)
        iq[k] = k % 7 == 3 ? ends[(k / 7) % 6] : static_cast<float>((2.0 * u - 1.0) * top);
    }
    std::vector<double> i(static_cast<size_t>(c.count)), q(static_cast<size_t>(c.count));
    for (int32_t k = 0; k < c.count; ++k) i[k] = iq[2 * k], q[k] = iq[2 * k + 1];
    const size_t bytes = 8 * static_cast<size_t>(c.count);
    std::vector<unsigned char> expected(bytes + 1);
    awg_pack(i.data(), q.data(), c.count, c.scale, expected.data());
    std::vector<float> in_place = iq;
    awg_pack_pairs_within(in_place.data(), c.count, c.scale, reinterpret_cast<unsigned char*>(in_place.data()));
    EXPECT_TRUE(same_bytes(expected.data(), in_place.data(), bytes));
}

INSTANTIATE_TEST_SUITE_P(Counts, AwgPackPairsWithin,
                         ::testing::Values(WithinCase{"empty", 0, 1.0}, WithinCase{"one", 1, 0.75},
                                           WithinCase{"seven", 7, 0.75}, WithinCase{"eight", 8, 0.75},
                                           WithinCase{"nine", 9, 0.3}, WithinCase{"odd_long", 4099, 0.3},
                                           WithinCase{"scale_of_a_sum", 16384, 1.0 / 3.0},
                                           WithinCase{"scale_zero", 64, 0.0}),
                         [](const ::testing::TestParamInfo<WithinCase>& p) { return std::string(p.param.name); });

// The specials reach the codes at both ends and the zero level, so the
// saturation of the group path is compared, not just the plain codes.
TEST(AwgPackPairs, SpecialsReachBothEndsAndTheZeroLevel) {
    const PairsCase c{"specials", 4099, 0.25, 5};
    const std::vector<float> iq = pairs_of(c);
    std::vector<unsigned char> out(8 * static_cast<size_t>(c.count));
    awg_pack_pairs(iq.data(), c.count, c.scale, out.data());
    bool seen[3] = {};
    for (size_t k = 0; k < out.size(); k += 4) {
        const uint32_t w = out[k] | (out[k + 1] << 8) | (out[k + 2] << 16) | (static_cast<uint32_t>(out[k + 3]) << 24);
        EXPECT_LE(w, 16383u);
        seen[0] |= w == 0, seen[1] |= w == 16383, seen[2] |= w == 8191;
    }
    EXPECT_TRUE(seen[0] && seen[1] && seen[2]);
}

}  // namespace
