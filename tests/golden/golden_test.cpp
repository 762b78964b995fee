// The golden-file test: every record of golden_records.h, written in a fresh
// process by orv_golden_write, must give exactly the frozen bytes of
// expected.txt (SHA-256 of the file with its DATE item masked and of the
// standard output, the result code and the three out fields).
//
// ORV_GOLDEN_DIR=dir checks a folder another build wrote (for example the
// Windows build under Wine) instead of running the writer here; with
// ORV_GOLDEN_CRLF=1 its CSV files must end every line with CR LF, which is
// read as LF. ORV_GOLDEN_UPDATE=file writes the table of what was found.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "golden/golden_records.h"
#include "support/files.h"

namespace {

std::string sha256_hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), digest, &n, EVP_sha256(), nullptr);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int k = 0; k < n; ++k) {
        out += hex[digest[k] >> 4];
        out += hex[digest[k] & 15];
    }
    return out;
}

// The DATE item's 19 characters become '#'; false when the item is missing or malformed.
bool mask_date(std::string* file) {
    const std::string tag = "{DATE:";
    const size_t at = file->find(tag);
    if (at == std::string::npos || at + tag.size() + 20 > file->size()) return false;
    const size_t from = at + tag.size();
    if ((*file)[from + 19] != '}') return false;
    for (size_t k = from; k < from + 19; ++k) {
        const char c = (*file)[k];
        const bool sep = k - from == 4 || k - from == 7 || k - from == 10 || k - from == 13 ||
                         k - from == 16;
        if (sep ? (c != '/' && c != ';' && c != ':') : (c < '0' || c > '9')) return false;
        (*file)[k] = '#';
    }
    return true;
}

// CR LF line ends read as LF; false when a line ends with a bare LF.
bool crlf_to_lf(std::string* text) {
    std::string out;
    out.reserve(text->size());
    for (size_t k = 0; k < text->size(); ++k) {
        const char c = (*text)[k];
        if (c == '\r' && k + 1 < text->size() && (*text)[k + 1] == '\n') continue;
        if (c == '\n' && (k == 0 || (*text)[k - 1] != '\r')) return false;
        out += c;
    }
    *text = std::move(out);
    return true;
}

struct Found {
    std::string file_sha, stdout_sha, meta;
    std::string error;  // empty when the record's three files were read
};

class GoldenEnvironment : public ::testing::Environment {
  public:
    static std::string dir;
    static std::map<std::string, std::string> expected;  // name -> rest of its line
    static std::string writer_error;

    void SetUp() override {
        const char* given = std::getenv("ORV_GOLDEN_DIR");
        if (given != nullptr && *given != '\0') {
            dir = given;
        } else {
            try {
                owned_ = std::make_unique<orv_test::TempDir>("golden");
            } catch (const std::exception& e) {
                writer_error = e.what();
                return;
            }
            dir = owned_->path.string();
            const pid_t pid = fork();
            if (pid == 0) {
                execl(ORV_GOLDEN_WRITER, ORV_GOLDEN_WRITER, dir.c_str(), static_cast<char*>(nullptr));
                _exit(127);
            }
            int status = 0;
            if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
                WEXITSTATUS(status) != 0)
                writer_error = "orv_golden_write failed";
        }
        std::ifstream table(ORV_GOLDEN_TABLE);
        std::string line;
        while (std::getline(table, line)) {
            if (line.empty() || line[0] == '#') continue;
            const size_t space = line.find(' ');
            expected[line.substr(0, space)] = line.substr(space + 1);
        }
    }

    void TearDown() override {
        if (const char* update = std::getenv("ORV_GOLDEN_UPDATE")) {
            std::ofstream out(update, std::ios::binary);
            out << "# name result papr crest_i crest_q sha256(file, DATE masked) sha256(stdout)\n";
            int32_t count = 0;
            const golden::Record* table = golden::records(&count);
            for (int32_t k = 0; k < count; ++k) {
                const Found f = find(table[k]);
                out << table[k].name << ' ' << f.meta << ' ' << f.file_sha << ' ' << f.stdout_sha
                    << '\n';
            }
        }
        owned_.reset();
    }

    // Reads what the writer left for one record.
    static Found find(const golden::Record& r) {
        Found f;
        const std::string stem = dir + "/" + r.name;
        std::string file, out;
        if (!orv_test::read_file(stem + ".out", &file)) f.error = "no waveform file";
        else if (r.mode == 0 && !mask_date(&file)) f.error = "no DATE item";
        else if (r.mode == 1 && std::getenv("ORV_GOLDEN_CRLF") != nullptr && !crlf_to_lf(&file))
            f.error = "a CSV line without CR LF";
        f.file_sha = sha256_hex(file);
        const bool have_out = orv_test::read_file(stem + ".stdout", &out);
        f.stdout_sha = sha256_hex(out);
        if (!have_out && f.error.empty()) f.error = "no standard output capture";
        if (!orv_test::read_file(stem + ".meta", &f.meta) && f.error.empty()) f.error = "no meta file";
        if (!f.meta.empty() && f.meta.back() == '\n') f.meta.pop_back();
        return f;
    }

  private:
    std::unique_ptr<orv_test::TempDir> owned_;  // the folder made here, when none is given
};

std::string GoldenEnvironment::dir;
std::map<std::string, std::string> GoldenEnvironment::expected;
std::string GoldenEnvironment::writer_error;

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new GoldenEnvironment);

std::vector<golden::Record> all_records() {
    int32_t count = 0;
    const golden::Record* table = golden::records(&count);
    return std::vector<golden::Record>(table, table + count);
}

}  // namespace

namespace golden {
void PrintTo(const Record& r, std::ostream* os) { *os << r.name << " (mode " << r.mode << ")"; }
}  // namespace golden

namespace {

class Golden : public ::testing::TestWithParam<golden::Record> {};

TEST_P(Golden, FileAndOutputBytesAreFrozen) {
    const golden::Record& r = GetParam();
    ASSERT_EQ(GoldenEnvironment::writer_error, "");
    const auto it = GoldenEnvironment::expected.find(r.name);
    ASSERT_TRUE(it != GoldenEnvironment::expected.end()) << r.name << " is missing from expected.txt";
    const Found f = GoldenEnvironment::find(r);
    ASSERT_EQ(f.error, "") << r.name;
    EXPECT_EQ(f.meta + ' ' + f.file_sha + ' ' + f.stdout_sha, it->second) << r.name;
}

INSTANTIATE_TEST_SUITE_P(Records, Golden, ::testing::ValuesIn(all_records()),
                         [](const ::testing::TestParamInfo<golden::Record>& param) {
                             return std::string(param.param.name);
                         });

// The table and the records name the same set: no record goes unchecked, no
// stale line hides a removed one.
TEST(GoldenTable, NamesEveryRecordOnce) {
    const std::vector<golden::Record> records = all_records();
    EXPECT_GE(records.size(), 60u);
    std::map<std::string, int> seen;
    for (const golden::Record& r : records) ++seen[r.name];
    for (const auto& [name, n] : seen) EXPECT_EQ(n, 1) << name << " appears " << n << " times";
    EXPECT_EQ(GoldenEnvironment::expected.size(), seen.size());
}

// The stages the table claims to reach are reached.
TEST(GoldenTable, CoversEveryStageAndMode) {
    bool modes[2] = {}, formats[2] = {}, os[11] = {}, odd = false, even = false, zero = false,
         one = false, noise = false, sine = false, freq = false, ifc = false, dc = false,
         window = false, inverse = false, large = false;
    for (const golden::Record& r : all_records()) {
        const WaveParams& p = r.p;
        modes[r.mode] = formats[p.frame_format] = os[p.oversampling] = true;
        if (p.filter_cutoff > 0) (p.filter_taps % 2 ? odd : even) = true;
        zero |= p.ofdm_symbols == 0;
        one |= p.ofdm_symbols == 1;
        noise |= p.noise_enable == 1;
        sine |= p.sine_enable == 1;
        freq |= p.freq_error_enable == 1;
        ifc |= p.if_enable == 1;
        dc |= p.dc_offset_re != 0 || p.dc_offset_im != 0;
        window |= p.window_tr > 0;
        inverse |= p.iq_inverse == 1;
        const double total = 80.0 * (p.ofdm_symbols + 5) * p.oversampling +
                             (p.burst_enable ? p.burst_off_time * 20e6 * p.oversampling : 0);
        large |= total * sizeof(int32_t) > 16.0 * 1024 * 1024;
    }
    EXPECT_TRUE(modes[0] && modes[1] && formats[0] && formats[1]);
    for (int k = 1; k <= 10; ++k) EXPECT_TRUE(os[k]) << "oversampling " << k;
    EXPECT_TRUE(odd && even && zero && one && noise && sine && freq && ifc && dc && window &&
                inverse && large);
}

// A record that prints the round-error line keeps that line in the table.
TEST(GoldenTable, GapNoiseAbovePeakPrintsTheRoundErrorLine) {
    ASSERT_EQ(GoldenEnvironment::writer_error, "");
    std::string out;
    ASSERT_TRUE(orv_test::read_file(GoldenEnvironment::dir + "/noise_gap_above_peak.stdout", &out));
    EXPECT_EQ(out.rfind("\n!!!Round ERROR!!! ", 0), 0u) << out;
}

TEST(GoldenMask, DateItemOnly) {
    std::string a = "{COMMENT:x}{DATE:2026/12/07;23:59:59}{PAPR:1}";
    ASSERT_TRUE(mask_date(&a));
    EXPECT_EQ(a, "{COMMENT:x}{DATE:###################}{PAPR:1}");
    std::string bad = "{DATE:2026/12/07;23:59}";
    EXPECT_FALSE(mask_date(&bad));
    std::string crlf = "a\r\nb\r\n", lf = "a\nb\n";
    EXPECT_TRUE(crlf_to_lf(&crlf));
    EXPECT_EQ(crlf, "a\nb\n");
    EXPECT_FALSE(crlf_to_lf(&lf));
}

}  // namespace
