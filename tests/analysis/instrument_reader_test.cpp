// The receiver's readers of signal-generator files, on files built byte by
// byte here: what they report, and bad input refused with the byte offset.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "instrument_reader.h"

namespace {

using orv::analysis::InstrumentFileInfo;
using orv::analysis::ReadError;

struct Keep : orv::analysis::SampleSink {
    std::vector<std::complex<double>> x;
    void block(const std::complex<double>* p, size_t n, const uint16_t*, const uint16_t*) override {
        x.insert(x.end(), p, p + n);
    }
};

std::string le16(int v) {
    const uint16_t u = static_cast<uint16_t>(static_cast<int16_t>(v));
    return {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
}
std::string be16(int v) {
    const uint16_t u = static_cast<uint16_t>(static_cast<int16_t>(v));
    return {static_cast<char>(u >> 8), static_cast<char>(u & 0xFF)};
}

// Four samples: (32767, 0), (0, -32767), (-16384, 16384), (0, 0).
const int kI[4] = {32767, 0, -16384, 0};
const int kQ[4] = {0, -32767, 16384, 0};

std::string wv_data() {
    std::string d;
    for (int k = 0; k < 4; ++k) d += le16(kI[k]) + le16(kQ[k]);
    return d;
}

uint32_t wv_checksum() {
    uint32_t c = 0xA50F74FFu;
    for (int k = 0; k < 4; ++k)
        c ^= static_cast<uint32_t>(static_cast<uint16_t>(kI[k])) | static_cast<uint32_t>(static_cast<uint16_t>(kQ[k])) << 16;
    return c;
}

// The level offsets of the four samples: RMS and peak below 32767.
double rms_db() {
    double s = 0;
    for (int k = 0; k < 4; ++k) s += double(kI[k]) * kI[k] + double(kQ[k]) * kQ[k];
    return -20 * std::log10(std::sqrt(s / 4) / 32767);
}

std::string good_wv(const std::string& checksum) {
    char lo[64];
    std::snprintf(lo, sizeof lo, "%.4f,0", rms_db());
    return "{TYPE: SMU-WV," + checksum + "}\r\n{COMMENT: four}{CLOCK: 1e6}{LEVEL OFFS: " + lo +
           "}{SAMPLES: 4}{MARKER LIST 1: 0:1;1:0}{MARKER LIST 2: 0:0;2:1}{EMPTYTAG-3:#ab}{WAVEFORM-17:#" + wv_data() +
           "}";
}

InstrumentFileInfo read_wv_text(const std::string& s, Keep& sink) {
    std::istringstream in(s);
    return orv::analysis::read_wv(in, sink);
}

TEST(WvReader, ReadsTagsSamplesMarkersAndChecksum) {
    Keep sink;
    const InstrumentFileInfo info = read_wv_text(good_wv(std::to_string(wv_checksum())), sink);
    ASSERT_EQ(sink.x.size(), 4u);
    EXPECT_EQ(sink.x[1], std::complex<double>(0, -1));
    EXPECT_EQ(sink.x[2], std::complex<double>(-16384 / 32767.0, 16384 / 32767.0));
    EXPECT_EQ(info.sample_rate_hz, 1e6);
    EXPECT_EQ(info.comment, "four");
    EXPECT_EQ(info.stated_checksum, wv_checksum());
    EXPECT_NEAR(info.measured_peak_offset_db, 0.0, 1e-12);
    EXPECT_NEAR(info.measured_rms_offset_db, rms_db(), 1e-12);
    EXPECT_TRUE(orv::analysis::level_offsets_agree(info));
    ASSERT_EQ(info.marker1.size(), 1u);
    EXPECT_EQ(info.marker1[0].start, 0);
    EXPECT_EQ(info.marker1[0].length, 1);
    ASSERT_EQ(info.marker2.size(), 1u);
    EXPECT_EQ(info.marker2[0].start, 2);
    EXPECT_EQ(info.marker2[0].length, 2);
}

TEST(WvReader, ChecksumZeroOrTextIsNotChecked) {
    for (const char* sum : {"0", "none", " 0"}) {
        Keep sink;
        EXPECT_FALSE(read_wv_text(good_wv(sum), sink).stated_checksum) << sum;
    }
}

TEST(WvReader, LevelOffsetsThatDisagreeAreReported) {
    std::string s = good_wv("0");
    s.replace(s.find("LEVEL OFFS: ") + 12, 1, "9");
    Keep sink;
    EXPECT_FALSE(orv::analysis::level_offsets_agree(read_wv_text(s, sink)));
}

struct BadWv {
    const char* name;
    std::string file;
    std::string message;  // with its "byte N:" start
};

std::string with(std::string s, const std::string& from, const std::string& to) {
    return s.replace(s.find(from), from.size(), to);
}

void PrintTo(const BadWv& c, std::ostream* os) { *os << c.name; }

class WvReaderRefuses : public ::testing::TestWithParam<BadWv> {};

TEST_P(WvReaderRefuses, NamingTheOffset) {
    Keep sink;
    try {
        read_wv_text(GetParam().file, sink);
        FAIL() << "accepted";
    } catch (const ReadError& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
    }
}

const std::string kGood = good_wv("0");
const size_t kWave = kGood.find("{WAVEFORM");

INSTANTIATE_TEST_SUITE_P(
    BadInput, WvReaderRefuses,
    ::testing::Values(
        BadWv{"empty", "", "byte 0: empty file"},
        BadWv{"not_type_first", "{COMMENT: x}" + kGood, "byte 0: the file does not start with a TYPE tag"},
        BadWv{"multi_segment", with(kGood, "SMU-WV", "SMU-MWV"), "byte 6: TYPE is not SMU-WV"},
        BadWv{"truncated_tag_name", "{TYPE: SMU-WV,0}{CLOC", "byte 21: truncated tag (no ':')"},
        BadWv{"truncated_tag_text", "{TYPE: SMU-WV,0}{CLOCK: 1e6", "byte 27: truncated tag (no '}')"},
        BadWv{"text_between_tags", with(kGood, "\r\n", "x"), "byte 16: expected '{'"},
        BadWv{"waveform_not_4n1", with(kGood, "WAVEFORM-17", "WAVEFORM-16"),
              "byte " + std::to_string(kWave) + ": WAVEFORM length 16 is not 4N+1"},
        BadWv{"waveform_longer_than_file", with(kGood, "WAVEFORM-17", "WAVEFORM-21"),
              "byte " + std::to_string(kGood.size()) + ": WAVEFORM data ends early"},
        BadWv{"waveform_shorter_than_data", with(kGood, "WAVEFORM-17", "WAVEFORM-13"),
              "byte " + std::to_string(kGood.size() - 5) + ": WAVEFORM tag's length does not end at '}'"},
        BadWv{"no_hash", with(kGood, "17:#", "17:!"), "WAVEFORM data does not start with '#'"},
        BadWv{"truncated_waveform", kGood.substr(0, kGood.size() - 3),
              "byte " + std::to_string(kGood.size() - 3) + ": WAVEFORM data ends early"},
        BadWv{"no_closing_brace", kGood.substr(0, kGood.size() - 1),
              "byte " + std::to_string(kGood.size() - 1) + ": truncated WAVEFORM tag"},
        BadWv{"bad_checksum", good_wv(std::to_string(wv_checksum() ^ 1)), "byte 14: checksum"},
        BadWv{"samples_disagree", with(kGood, "SAMPLES: 4", "SAMPLES: 5"), "disagrees with the WAVEFORM's 4 samples"},
        BadWv{"no_clock", with(kGood, "{CLOCK: 1e6}", ""), "byte 0: no CLOCK tag"},
        BadWv{"clock_not_number", with(kGood, "CLOCK: 1e6", "CLOCK: 1,5e6"), "CLOCK is not a positive number"},
        BadWv{"marker_beyond", with(kGood, "2:1}", "4:1}"), "marker list position 4 is out of order or beyond"},
        BadWv{"marker_out_of_order", with(kGood, "0:1;1:0", "1:1;0:0"), "out of order"},
        BadWv{"marker_state", with(kGood, "1:0}", "1:2}"), "is not position:0 or position:1"},
        BadWv{"no_waveform", kGood.substr(0, kWave), "byte 0: no WAVEFORM tag"},
        BadWv{"two_waveforms", kGood + kGood.substr(kWave), "a second WAVEFORM tag"},
        BadWv{"huge_length", with(kGood, "WAVEFORM-17", "WAVEFORM-99999999999999999999"), "bad length"}),
    [](const ::testing::TestParamInfo<BadWv>& i) { return std::string(i.param.name); });

std::string keysight_data(int samples) {
    std::string d;
    for (int k = 0; k < samples; ++k) d += be16(k * 100 - 3000) + be16(-k * 7);
    return d;
}

TEST(KeysightReader, ReadsBigEndianPairsAndMarkerBits) {
    std::istringstream data(keysight_data(8));
    std::istringstream marks(std::string("\x01\x03\x02\x02\x00\x00\x03\x00", 8));
    Keep sink;
    const InstrumentFileInfo info = orv::analysis::read_keysight(data, &marks, 2e6, sink);
    ASSERT_EQ(sink.x.size(), 8u);
    EXPECT_EQ(sink.x[1], std::complex<double>(-2900 / 32767.0, -7 / 32767.0));
    EXPECT_EQ(info.sample_rate_hz, 2e6);
    ASSERT_EQ(info.marker1.size(), 2u);
    EXPECT_EQ(info.marker1[0].start, 0);
    EXPECT_EQ(info.marker1[0].length, 2);
    EXPECT_EQ(info.marker1[1].start, 6);
    ASSERT_EQ(info.marker2.size(), 2u);
    EXPECT_EQ(info.marker2[0].start, 1);
    EXPECT_EQ(info.marker2[0].length, 3);
    EXPECT_EQ(info.marker2[1].length, 1);
}

struct BadKeysight {
    const char* name;
    std::string data, markers;
    bool with_markers;
    double fs;
    const char* message;
};

void PrintTo(const BadKeysight& c, std::ostream* os) { *os << c.name; }

class KeysightReaderRefuses : public ::testing::TestWithParam<BadKeysight> {};

TEST_P(KeysightReaderRefuses, NamingTheOffset) {
    const BadKeysight& c = GetParam();
    std::istringstream data(c.data), marks(c.markers);
    Keep sink;
    try {
        orv::analysis::read_keysight(data, c.with_markers ? &marks : nullptr, c.fs, sink);
        FAIL() << "accepted";
    } catch (const ReadError& e) {
        EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    BadInput, KeysightReaderRefuses,
    ::testing::Values(
        BadKeysight{"odd_byte_count", keysight_data(8) + "x", "", false, 1e6, "byte 32: the file ends inside an I/Q pair"},
        BadKeysight{"half_pair", keysight_data(8) + "xy", "", false, 1e6, "byte 32: the file ends inside an I/Q pair (34 bytes"},
        BadKeysight{"empty", "", "", false, 1e6, "byte 0: no samples"},
        BadKeysight{"markers_short", keysight_data(8), std::string(7, '\0'), true, 1e6,
                    "byte 7: the marker file ends after 7 of 8 samples"},
        BadKeysight{"markers_long", keysight_data(8), std::string(9, '\0'), true, 1e6,
                    "byte 8: the marker file is longer than the 8 samples"},
        BadKeysight{"negative_rate", keysight_data(8), "", false, -1e6, "sample rate must be positive"}),
    [](const ::testing::TestParamInfo<BadKeysight>& i) { return std::string(i.param.name); });

}  // namespace
