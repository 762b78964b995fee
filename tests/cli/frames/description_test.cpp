// The waveform description file: a full description read into its plan, and
// a table of bad descriptions refused with the JSON pointer of the fault.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>

#include "frames.h"
#include "support/files.h"

namespace {

namespace fs = std::filesystem;

using orv_test::TempDir;

// Writes text to the file name in dir; its path.
std::string write(const TempDir& dir, const std::string& name, const std::string& text) {
    std::ofstream(dir.path / name, std::ios::binary) << text;
    return dir.file(name);
}

const char* kExample = R"({
  "version": 1,
  "settings": {"channel": 10, "oversample": 4, "filter": "nyquist", "taps": 191, "roll-off": 0.5,
               "cut-off": 8.5, "window-tr": 0.1, "iq-inverse": false, "freq-error": 0.02,
               "dc-real": 1.5, "dc-imag": 0, "gauss": -30},
  "packets": [
    {"rate": 54, "data": "PN23", "seed": "7FFFFF", "payload-bytes": 1000, "idle": 20, "repeat": 100,
     "addr1": "00:11:22:33:44:55", "duration": 44},
    {"rate": 6, "psdu-file": "beacon.bin", "scrambler-init": "step", "idle": 100},
    {"rate": 24, "psdu-hex": "d4 00 00 00 02 00 00 00 00 01", "scrambler-init": 1},
    {"rate": 12, "data": "ALL0", "payload-bytes": 1, "mac-frame": "none"}
  ]
})";

TEST(Description, ExampleReadIntoThePlan) {
    TempDir dir;
    write(dir, "beacon.bin", std::string("\x80\x00\x00\x00\xff\xff\xff\xff\xff\xff", 10));
    const std::string path = write(dir, "seq.json", kExample);
    frames::WaveformPlan plan;
    std::string error;
    ASSERT_TRUE(frames::read_description(path, plan, error)) << error;
    const frames::GlobalSettings& g = plan.globals;
    EXPECT_EQ(g.channel_mhz, 10);
    EXPECT_EQ(g.oversample, 4);
    EXPECT_EQ(g.filter, "nyquist");
    EXPECT_EQ(g.taps, 191);
    EXPECT_EQ(g.window_tr, 0.1);
    EXPECT_EQ(g.iq_inverse, false);
    EXPECT_EQ(g.freq_error, 0.02);
    EXPECT_FALSE(g.if_freq.has_value());
    EXPECT_EQ(g.gauss, -30.0);
    ASSERT_EQ(plan.packets.size(), 4u);
    const frames::PacketPlan& a = plan.packets[0];
    EXPECT_EQ(a.rate_index, 7);
    EXPECT_EQ(a.pattern, frames::Pattern::PN23);
    EXPECT_EQ(a.seed, 0x7FFFFFu);
    EXPECT_EQ(a.payload_bytes, 1000u);
    EXPECT_TRUE(a.mac_frame);
    EXPECT_EQ(a.mac.addr1, (frames::MacAddress{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
    EXPECT_EQ(a.mac.duration, 44);
    EXPECT_EQ(a.scrambler, 93);
    EXPECT_EQ(a.repeat, 100u);
    EXPECT_EQ(a.idle_us, 20.0);
    EXPECT_EQ(plan.packets[1].source, frames::Source::Octets);
    EXPECT_EQ(plan.packets[1].octets.size(), 10u);
    EXPECT_EQ(plan.packets[1].scrambler, frames::kScramblerStep);
    EXPECT_EQ(plan.packets[2].octets.size(), 10u);
    EXPECT_EQ(plan.packets[3].mac_frame, false);

    frames::Sequence s;
    ASSERT_TRUE(frames::expand(plan, s, error)) << error;
    ASSERT_EQ(s.packets.size(), 103u);
    EXPECT_EQ(s.packets[99].sequence, 99);
    EXPECT_EQ(s.packets[100].sequence, -1);
    EXPECT_EQ(s.packets[100].scrambler, 101);  // step: the 101st packet of the sequence
    EXPECT_EQ(s.packets[100].idle_s, 100e-6);
    EXPECT_EQ(s.packets[101].rate_index, 4);
    EXPECT_EQ(s.packets[102].length, 1);
}

struct BadCase {
    const char* name;
    const char* json;
    const char* error;
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class DescriptionFault : public testing::TestWithParam<BadCase> {};

TEST_P(DescriptionFault, RefusedWithThePath) {
    frames::WaveformPlan plan;
    plan.packets.emplace_back();  // left as it is on a fault
    std::string error;
    EXPECT_FALSE(frames::plan_from_json(GetParam().json, "/nonexistent", plan, error));
    EXPECT_EQ(error, GetParam().error);
    EXPECT_EQ(plan.packets.size(), 1u);
}

#define P(x) "{\"packets\": [{\"rate\": 6, \"payload-bytes\": 10}, {\"rate\": 6, \"payload-bytes\": 10}, " \
             "{\"rate\": 6, \"payload-bytes\": 10}, " x "]}"

INSTANTIATE_TEST_SUITE_P(
    Cases, DescriptionFault,
    testing::Values(
        BadCase{"rate_not_a_rate", P(R"({"rate": 55, "payload-bytes": 10})"),
                "/packets/3/rate: 55 is not one of 6, 9, 12, 18, 24, 36, 48, 54"},
        BadCase{"rate_text", P(R"({"rate": "54", "payload-bytes": 10})"),
                "/packets/3/rate: \"54\" is not one of 6, 9, 12, 18, 24, 36, 48, 54"},
        BadCase{"rate_missing", P(R"({"payload-bytes": 10})"), "/packets/3: needs rate"},
        BadCase{"unknown_key", P(R"({"rate": 6, "payload-bytes": 10, "rpeat": 2})"),
                "/packets/3/rpeat: unknown key (known: rate, data, seed, payload-bytes, mac-frame, addr1, addr2, "
                "addr3, duration, psdu-hex, psdu-file, pcap, scrambler-init, idle, repeat)"},
        BadCase{"unknown_top_key", R"({"packets": [{"rate": 6, "payload-bytes": 1}], "globals": {}})",
                "/globals: unknown key (known: version, settings, packets, impairments)"},
        BadCase{"key_with_slash", R"({"a/b~": 1})", "/a~1b~0: unknown key (known: version, settings, packets, impairments)"},
        BadCase{"duplicate_key", P(R"({"rate": 6, "payload-bytes": 10, "rate": 9})"), "/packets/3/rate: key given twice"},
        BadCase{"payload_missing", P(R"({"rate": 6})"),
                "/packets/3: needs payload-bytes (or psdu-hex, psdu-file, pcap)"},
        BadCase{"payload_too_long", P(R"({"rate": 6, "payload-bytes": 4068})"),
                "/packets/3/payload-bytes: 4068 is not a whole number 0..4067"},
        BadCase{"payload_bare_zero", P(R"({"rate": 6, "payload-bytes": 0, "mac-frame": "none"})"),
                "/packets/3/payload-bytes: 0 is not a whole number 1..4095"},
        BadCase{"payload_fraction", P(R"({"rate": 6, "payload-bytes": 10.5})"),
                "/packets/3/payload-bytes: 10.5 is not a whole number 0..4067"},
        BadCase{"payload_huge", P(R"({"rate": 6, "payload-bytes": 18446744073709551615})"),
                "/packets/3/payload-bytes: 18446744073709551615 is not a whole number 0..4067"},
        BadCase{"data", P(R"({"rate": 6, "payload-bytes": 10, "data": "PN7"})"),
                "/packets/3/data: \"PN7\" is not one of PN9, PN15, PN19, PN20, PN23, ALL0, ALL1"},
        BadCase{"seed_number", P(R"({"rate": 6, "payload-bytes": 10, "seed": 511})"),
                "/packets/3/seed: 511 is not a text of hex digits such as \"1FF\""},
        BadCase{"seed_zero", P(R"({"rate": 6, "payload-bytes": 10, "seed": "000"})"),
                "/packets/3/seed: \"000\" is not 1 to 8 hex digits, not 0"},
        BadCase{"mac_frame", P(R"({"rate": 6, "payload-bytes": 10, "mac-frame": "beacon"})"),
                "/packets/3/mac-frame: \"beacon\" is not one of data, none"},
        BadCase{"addr", P(R"({"rate": 6, "payload-bytes": 10, "addr3": "ff:ff"})"),
                "/packets/3/addr3: \"ff:ff\" is not an address like 02:00:00:00:00:01"},
        BadCase{"duration", P(R"({"rate": 6, "payload-bytes": 10, "duration": -1})"),
                "/packets/3/duration: -1 is not a whole number 0..32767"},
        BadCase{"scrambler_zero", P(R"({"rate": 6, "payload-bytes": 10, "scrambler-init": 0})"),
                "/packets/3/scrambler-init: 0 is not 1..127 or \"step\""},
        BadCase{"scrambler_word", P(R"({"rate": 6, "payload-bytes": 10, "scrambler-init": "steps"})"),
                "/packets/3/scrambler-init: \"steps\" is not 1..127 or \"step\""},
        BadCase{"idle_negative", P(R"({"rate": 6, "payload-bytes": 10, "idle": -0.5})"),
                "/packets/3/idle: -0.5 is not a number 0..1e+06"},
        BadCase{"repeat_zero", P(R"({"rate": 6, "payload-bytes": 10, "repeat": 0})"),
                "/packets/3/repeat: 0 is not a whole number 1..1000000"},
        BadCase{"hex_and_file", P(R"({"rate": 6, "psdu-hex": "0800", "psdu-file": "a.bin"})"),
                "/packets/3/psdu-file: excludes psdu-hex"},
        BadCase{"hex_with_payload", P(R"({"rate": 6, "psdu-hex": "0800", "payload-bytes": 10})"),
                "/packets/3/payload-bytes: applies to pattern payloads, not with psdu-hex"},
        BadCase{"hex_bad", P(R"({"rate": 6, "psdu-hex": "08 0"})"),
                "/packets/3/psdu-hex: an odd number of hex digits"},
        BadCase{"hex_empty", P(R"({"rate": 6, "psdu-hex": ""})"), "/packets/3/psdu-hex: 0 octets, not 1..4095"},
        BadCase{"file_missing", P(R"({"rate": 6, "psdu-file": "a.bin"})"),
                "/packets/3/psdu-file: cannot read /nonexistent/a.bin: No such file or directory"},
        BadCase{"pcap_missing", P(R"({"rate": 6, "pcap": "c.pcap"})"),
                "/packets/3/pcap: cannot read /nonexistent/c.pcap: No such file or directory"},
        BadCase{"pcap_not_text", P(R"({"rate": 6, "pcap": ["c.pcap"]})"), "/packets/3/pcap: [\"c.pcap\"] is not a text"},
        BadCase{"entry_not_object", P("7"), "/packets/3: must be an object"},
        BadCase{"packets_missing", R"({"settings": {}})", "/packets: needs a list of at least one packet"},
        BadCase{"packets_empty", R"({"packets": []})", "/packets: needs a list of at least one packet"},
        BadCase{"top_not_object", R"([1, 2])", "/: must be an object"},
        BadCase{"version", R"({"version": 2, "packets": []})", "/version: 2 is not 1"},
        BadCase{"channel", R"({"settings": {"channel": 40}, "packets": [{"rate": 6, "payload-bytes": 1}]})",
                "/settings/channel: 40 is not one of 20, 10, 5"},
        BadCase{"oversample", R"({"settings": {"oversample": 11}, "packets": [{"rate": 6, "payload-bytes": 1}]})",
                "/settings/oversample: 11 is not a whole number 1..10"},
        BadCase{"filter", R"({"settings": {"filter": "gauss"}, "packets": [{"rate": 6, "payload-bytes": 1}]})",
                "/settings/filter: \"gauss\" is not one of rectangle, nyquist"},
        BadCase{"window_tr", R"({"settings": {"window-tr": 2.5}, "packets": [{"rate": 6, "payload-bytes": 1}]})",
                "/settings/window-tr: 2.5 is not a number 0..2"},
        BadCase{"roll_off_text", R"({"settings": {"roll-off": "0.5"}, "packets": [{"rate": 6, "payload-bytes": 1}]})",
                "/settings/roll-off: \"0.5\" is not a number 0..1"},
        BadCase{"iq_inverse", R"({"settings": {"iq-inverse": "on"}, "packets": [{"rate": 6, "payload-bytes": 1}]})",
                "/settings/iq-inverse: \"on\" is not true or false"},
        BadCase{"two_offsets",
                R"({"settings": {"freq-error": 0.1, "if": 5}, "packets": [{"rate": 6, "payload-bytes": 1}]})",
                "/settings/if: excludes freq-error (one frequency offset)"},
        BadCase{"two_noises", R"({"settings": {"sine": 1, "gauss": -20}, "packets": [{"rate": 6, "payload-bytes": 1}]})",
                "/settings/gauss: excludes sine (one noise kind)"},
        BadCase{"sine_level_alone",
                R"({"settings": {"sine-level": -20}, "packets": [{"rate": 6, "payload-bytes": 1}]})",
                "/settings/sine-level: needs sine"},
        BadCase{"settings_unknown", R"({"settings": {"noise": 1}, "packets": [{"rate": 6, "payload-bytes": 1}]})",
                "/settings/noise: unknown key (known: channel, oversample, filter, taps, roll-off, cut-off, "
                "window-tr, iq-inverse, freq-error, if, dc-real, dc-imag, sine, sine-level, gauss)"},
        BadCase{"duplicate_in_settings",
                R"({"settings": {"taps": 1, "taps": 2}, "packets": [{"rate": 6, "payload-bytes": 1}]})",
                "/settings/taps: key given twice"},
        BadCase{"duplicate_after_nested_array",
                R"({"packets": [{"rate": 6, "payload-bytes": 1}, {"rate": 6, "payload-bytes": 1}],
                    "settings": {"channel": 20}, "settings": {}})",
                "/settings: key given twice"}),
    [](const auto& c) { return std::string(c.param.name); });

#undef P

TEST(DescriptionFault, NotJsonGivesTheBytePosition) {
    frames::WaveformPlan plan;
    std::string error;
    EXPECT_FALSE(frames::plan_from_json("{\"packets\": [}", ".", plan, error));
    EXPECT_EQ(error.rfind("not valid JSON at byte 14: ", 0), 0u) << error;
}

// A number beyond a double (nlohmann's out_of_range, not a parse_error) is a
// refusal, not an exception out of the reader.
TEST(DescriptionFault, NumberOutOfRangeIsRefused) {
    frames::WaveformPlan plan;
    std::string error;
    EXPECT_FALSE(frames::plan_from_json(R"({"packets": [{"rate": 4e4444}]})", ".", plan, error));
    EXPECT_EQ(error.rfind("not valid JSON", 0), 0u) << error;
}

TEST(DescriptionFault, FileMessagesStartWithItsName) {
    TempDir dir;
    const std::string path = write(dir, "bad.json", R"({"packets": [{"rate": 7, "payload-bytes": 1}]})");
    frames::WaveformPlan plan;
    std::string error;
    EXPECT_FALSE(frames::read_description(path, plan, error));
    EXPECT_EQ(error, path + ": /packets/0/rate: 7 is not one of 6, 9, 12, 18, 24, 36, 48, 54");
    EXPECT_FALSE(frames::read_description((dir.path / "none.json").string(), plan, error));
    EXPECT_EQ(error, "cannot read " + (dir.path / "none.json").string() + ": No such file or directory");
}

// Files named by the description are found beside it, not in the working folder.
TEST(Description, FilesRelativeToTheDescription) {
    TempDir dir;
    fs::create_directories(dir.path / "sub");
    write(dir, "sub/p.bin", "\x08\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a");
    const std::string path = write(dir, "sub/w.json", R"({"packets": [{"rate": 9, "psdu-file": "p.bin"}]})");
    frames::WaveformPlan plan;
    std::string error;
    ASSERT_TRUE(frames::read_description(path, plan, error)) << error;
    EXPECT_EQ(plan.packets[0].octets.size(), 11u);
}

}  // namespace
