// An impaired AWG sequence's new file is made before its levels are measured
// and its header written after: the header holds the levels of the out
// fields, every kind of path gets the result, the out fields and the bytes of
// a new file, and no new file stays behind where the call fails.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "orvasynth.h"
#include "support/files.h"

namespace {

enum class PathKind { kNew, kExisting, kLink, kDevice, kFolder, kMissingFolder };

struct PathCase {
    const char* name;
    PathKind kind;
    int32_t result;   // the call's result
    bool file_holds;  // the path then holds the same bytes as a new file
};

void PrintTo(const PathCase& c, std::ostream* os) { *os << c.name; }

// Two packets with every stage but the DC offset on (the SNR's power comes
// from the chain pass, the samples are kept between the passes).
struct Call {
    std::vector<uint8_t> psdu = std::vector<uint8_t>(300);
    std::vector<OrvPacket> packets;
    OrvSequenceParams params{};
    OrvImpairments m{};
    Call() {
        for (size_t k = 0; k < psdu.size(); ++k) psdu[k] = static_cast<uint8_t>(k * 13 + 5);
        for (int32_t rate : {7, 2}) {
            OrvPacket p{};
            p.size = sizeof p;
            p.rate_index = rate;
            p.scrambler_init = 33;
            p.psdu_length = static_cast<int32_t>(psdu.size());
            p.psdu = psdu.data();
            p.idle_time = 12e-6;
            packets.push_back(p);
        }
        params.size = sizeof params;
        params.oversampling = 2;
        params.channel_mhz = 20;
        params.window_tr = 100e-9;
        m.size = sizeof m;
        m.seed = 9;
        m.snr_enable = 1;
        m.snr_db = 22;
        m.pa_enable = 1;
        m.pa_smoothness = 2;
        m.pa_backoff_db = 6;
        m.iq_gain_db = 0.4;
        m.clock_ppm = 8;
        m.multipath_rms_ns = 40;
    }
    int32_t write(const std::string& path, OrvSequenceParams* out) {
        *out = params;
        return orv_11a_sequence_impaired(out, &m, packets.data(), static_cast<int32_t>(packets.size()), 0,
                                         path.c_str(), nullptr);
    }
};

// The file's bytes without the DATE item (the moment it was written).
std::string bytes_without_date(const std::string& path) {
    std::string text = orv_test::read_file(path);
    const size_t at = text.find("{DATE:");
    if (at != std::string::npos) text.erase(at, text.find('}', at) - at + 1);
    return text;
}

// The header's PAPR item of a file written with the out fields p.
std::string papr_item(const OrvSequenceParams& p) {
    char text[160];
    std::snprintf(text, sizeof text, "{PAPR:%f;%f;%f}", p.papr, p.crest_i, p.crest_q);
    return text;
}

// Entries of the folder other than those named.
int strangers(const std::filesystem::path& dir, const std::vector<std::string>& known) {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        bool listed = false;
        for (const std::string& k : known) listed = listed || e.path().filename() == k;
        n += listed ? 0 : 1;
    }
    return n;
}

class ImpairedAwgPaths : public ::testing::TestWithParam<PathCase> {};

TEST_P(ImpairedAwgPaths, ResultFieldsAndFileAsEver) {
    const PathCase& c = GetParam();
    const orv_test::TempDir dir("impaired_paths");
    Call call;
    OrvSequenceParams reference{};
    const std::string fresh = dir.file("fresh.awv");
    ASSERT_EQ(call.write(fresh, &reference), 0);
    ASSERT_NE(orv_test::read_file(fresh).find(papr_item(reference)), std::string::npos)
        << "the header holds other levels than the out fields";

    std::string path = dir.file("target.awv");
    std::vector<std::string> known = {"fresh.awv", "target.awv"};
    switch (c.kind) {
        case PathKind::kNew: break;
        case PathKind::kExisting:
            std::ofstream(path, std::ios::binary) << "an older file";
            ASSERT_EQ(chmod(path.c_str(), 0640), 0);
            break;
        case PathKind::kLink:
            ASSERT_EQ(symlink("linked.awv", path.c_str()), 0);
            known.push_back("linked.awv");
            break;
        case PathKind::kDevice: path = "/dev/null"; break;
        case PathKind::kFolder: std::filesystem::create_directory(path); break;
        case PathKind::kMissingFolder: path = dir.file("none/target.awv"); break;
    }
    OrvSequenceParams p{};
    EXPECT_EQ(call.write(path, &p), c.result);
    // The out fields come from the measuring, whatever became of the file.
    EXPECT_EQ(p.total_samples, reference.total_samples);
    EXPECT_EQ(p.papr, reference.papr);
    EXPECT_EQ(p.crest_i, reference.crest_i);
    EXPECT_EQ(p.crest_q, reference.crest_q);
    if (c.file_holds) {
        EXPECT_TRUE(bytes_without_date(path) == bytes_without_date(fresh)) << "the file differs from a new one";
    }
    if (c.kind == PathKind::kExisting) {
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u) << "the replaced file's mode";
    }
    if (c.kind == PathKind::kFolder) {
        EXPECT_TRUE(std::filesystem::is_directory(path));
    }
    EXPECT_EQ(strangers(dir.path, known), 0) << "a new file stayed beside the path";
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ImpairedAwgPaths,
    ::testing::Values(PathCase{"new_file", PathKind::kNew, 0, true},
                      PathCase{"existing_file", PathKind::kExisting, 0, true},
                      PathCase{"link_to_a_new_file", PathKind::kLink, 0, true},
                      PathCase{"device", PathKind::kDevice, 0, false},
                      PathCase{"folder", PathKind::kFolder, ORV_WRITE_FAILED, false},
                      PathCase{"missing_folder", PathKind::kMissingFolder, ORV_WRITE_FAILED, false}),
    [](const ::testing::TestParamInfo<PathCase>& row) { return std::string(row.param.name); });

}  // namespace
