// Payload octets, the FCS and the data frame header.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "frames.h"

namespace {

using frames::Pattern;

// ---- FCS ----

struct FcsCase {
    const char* name;
    std::vector<uint8_t> data;
    uint32_t fcs;
};

void PrintTo(const FcsCase& c, std::ostream* os) { *os << c.name; }

std::vector<uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

// The data frame of the BCC example of IEEE Std 802.11a-1999 Annex G (Table
// G.1; IEEE Std 802.11-2012 Table L-1): 24 octets of MAC header, 72 of body;
// its FCS in that table is the octets 67 33 21 B6.
std::vector<uint8_t> annex_g_frame() {
    std::vector<uint8_t> f = {0x04, 0x02, 0x00, 0x2E, 0x00, 0x60, 0x08, 0xCD, 0x37, 0xA6, 0x00, 0x20,
                              0xD6, 0x01, 0x3C, 0xF1, 0x00, 0x60, 0x08, 0xAD, 0x3B, 0xAF, 0x00, 0x00};
    const std::string body = "Joy, bright spark of divinity,\nDaughter of Elysium,\nFire-insired we trea";
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

class Fcs : public testing::TestWithParam<FcsCase> {};

TEST_P(Fcs, MatchesThePublishedValue) {
    const FcsCase& c = GetParam();
    EXPECT_EQ(frames::fcs32(c.data.data(), c.data.size()), c.fcs);
}

INSTANTIATE_TEST_SUITE_P(
    Known, Fcs,
    testing::Values(FcsCase{"check_value_123456789", bytes_of("123456789"), 0xCBF43926u},  // CRC-32 check value
                    FcsCase{"empty", {}, 0x00000000u},
                    FcsCase{"annex_g_data_frame", annex_g_frame(), 0xB6213367u}),
    [](const auto& c) { return std::string(c.param.name); });

TEST(Fcs, AppendedLittleEndianAsTheAnnexGFrameCarriesIt) {
    std::vector<uint8_t> f = annex_g_frame();
    const size_t n = f.size();
    ASSERT_EQ(n, 96u);  // the PSDU of the example has 100 octets with its FCS
    f.resize(n + 4);
    frames::append_fcs(f.data(), n);
    EXPECT_EQ(std::vector<uint8_t>(f.end() - 4, f.end()), (std::vector<uint8_t>{0x67, 0x33, 0x21, 0xB6}));
}

// ---- Payload patterns ----

// The sequence bits of a PN pattern from its polynomial, written as a linear
// recurrence: the first n bits are the seed's low n bits, most significant
// first, and bit m is the XOR of bits m - e over the polynomial's exponents e
// other than 0; output complemented for PN15 and PN23.
std::vector<int> recurrence_bits(std::vector<int> exponents, bool complemented, uint32_t seed, size_t count) {
    const int n = exponents.front();
    std::vector<int> seq;
    for (int j = n - 1; j >= 0; --j) seq.push_back(static_cast<int>((seed >> j) & 1u));
    while (seq.size() < count) {
        int b = 0;
        for (int e : exponents) b ^= seq[seq.size() - static_cast<size_t>(e)];
        seq.push_back(b);
    }
    seq.resize(count);
    if (complemented)
        for (int& b : seq) b ^= 1;
    return seq;
}

struct PnCase {
    const char* name;
    Pattern pattern;
    std::vector<int> exponents;  // of the polynomial, highest first, without the constant term
    bool complemented;
    uint32_t seed;
};

void PrintTo(const PnCase& c, std::ostream* os) { *os << c.name; }

class PnOctets : public testing::TestWithParam<PnCase> {};

TEST_P(PnOctets, AreThePolynomialsBitsPackedLsbFirst) {
    const PnCase& c = GetParam();
    constexpr size_t kOctets = 700;  // past the period of PN9 (511 bits)
    const std::vector<int> bits = recurrence_bits(c.exponents, c.complemented, c.seed, kOctets * 8);
    frames::PatternStream stream{c.pattern, c.seed};
    std::vector<uint8_t> got(kOctets);
    frames::pattern_octets(stream, got.data(), 3);  // in two pieces: the stream runs on
    frames::pattern_octets(stream, got.data() + 3, kOctets - 3);
    for (size_t k = 0; k < kOctets * 8; ++k)
        ASSERT_EQ((got[k / 8] >> (k % 8)) & 1, bits[k]) << "sequence bit " << k;
}

INSTANTIATE_TEST_SUITE_P(
    Polynomials, PnOctets,
    testing::Values(PnCase{"PN9_seed_FFFF", Pattern::PN9, {9, 5}, false, 0xFFFF},
                    PnCase{"PN9_seed_1", Pattern::PN9, {9, 5}, false, 0x1},
                    PnCase{"PN15_seed_FFFF", Pattern::PN15, {15, 14}, true, 0xFFFF},
                    PnCase{"PN19_seed_5A5A5", Pattern::PN19, {19, 5, 2, 1}, false, 0x5A5A5},
                    PnCase{"PN20_seed_FFFFF", Pattern::PN20, {20, 3}, false, 0xFFFFF},
                    PnCase{"PN23_seed_123456", Pattern::PN23, {23, 18}, true, 0x123456}),
    [](const auto& c) { return std::string(c.param.name); });

struct FixedCase {
    const char* name;
    Pattern pattern;
    uint32_t seed;
    std::vector<uint8_t> first;  // the first octets
};

void PrintTo(const FixedCase& c, std::ostream* os) { *os << c.name; }

class PatternStart : public testing::TestWithParam<FixedCase> {};

TEST_P(PatternStart, FirstOctets) {
    const FixedCase& c = GetParam();
    frames::PatternStream stream{c.pattern, c.seed};
    std::vector<uint8_t> got(c.first.size());
    frames::pattern_octets(stream, got.data(), got.size());
    EXPECT_EQ(got, c.first);
}

// A seed with its low n bits zero keeps PN9 at zero and PN23 (complemented)
// at one; the constant patterns ignore the seed.
INSTANTIATE_TEST_SUITE_P(
    Known, PatternStart,
    testing::Values(FixedCase{"PN9_seed_200_stays_zero", Pattern::PN9, 0x200, {0, 0, 0, 0}},
                    FixedCase{"PN23_low_bits_zero_gives_ones", Pattern::PN23, 0x800000, {0xFF, 0xFF, 0xFF, 0xFF}},
                    FixedCase{"ALL0", Pattern::All0, 0x1, {0, 0, 0}},
                    FixedCase{"ALL1", Pattern::All1, 0x1, {0xFF, 0xFF, 0xFF}}),
    [](const auto& c) { return std::string(c.param.name); });

// PN9 from all ones: nine ones, then the feedback 1 XOR 1 = 0 (LSB first).
TEST(PatternStart, Pn9SecondOctetStartsOneZero) {
    frames::PatternStream stream{Pattern::PN9, 0xFFFF};
    uint8_t got[2];
    frames::pattern_octets(stream, got, 2);
    EXPECT_EQ(got[0], 0xFF);
    EXPECT_EQ(got[1] & 0x3, 0x1);
}

TEST(PatternStart, Pn15FromAllOnesStartsWithFifteenZeros) {
    frames::PatternStream stream{Pattern::PN15, 0xFFFF};
    uint8_t got[2];
    frames::pattern_octets(stream, got, 2);
    EXPECT_EQ(got[0], 0x00);
    EXPECT_EQ(got[1] & 0x7F, 0x00);
    EXPECT_EQ(got[1] & 0x80, 0x80);  // 1 XOR 1 fed back, complemented
}

struct NameCase {
    const char* text;
    std::optional<Pattern> pattern;
};

TEST(PatternNames, AsTheDataOptionTakesThem) {
    const NameCase cases[] = {{"PN9", Pattern::PN9},  {"pn23", Pattern::PN23}, {"ALL 0", Pattern::All0},
                              {"all1", Pattern::All1}, {"PN10", std::nullopt}, {"", std::nullopt}};
    for (const NameCase& c : cases) EXPECT_EQ(frames::parse_pattern(c.text), c.pattern) << c.text;
    for (Pattern p : {Pattern::PN9, Pattern::PN15, Pattern::PN19, Pattern::PN20, Pattern::PN23, Pattern::All0,
                      Pattern::All1})
        EXPECT_EQ(frames::parse_pattern(frames::pattern_name(p)), p);
}

// ---- MAC data frame header ----

TEST(DataHeader, FieldsInOrderLittleEndian) {
    frames::MacHeader h;
    h.duration = 0x1234;
    h.addr1 = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    h.addr2 = {0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb};
    h.addr3 = {0xcc, 0xdd, 0xee, 0xff, 0x01, 0x02};
    uint8_t got[24];
    frames::write_data_header(h, 0xABC, got);
    const std::vector<uint8_t> want = {0x08, 0x00, 0x34, 0x12, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                       0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x01, 0x02, 0xC0, 0xAB};
    EXPECT_EQ(std::vector<uint8_t>(got, got + 24), want);
}

TEST(DataHeader, SequenceNumberTwelveBitsFragmentZero) {
    const std::pair<uint16_t, std::pair<uint8_t, uint8_t>> cases[] = {
        {0, {0x00, 0x00}}, {1, {0x10, 0x00}}, {4095, {0xF0, 0xFF}}, {4096, {0x00, 0x00}}, {4097, {0x10, 0x00}}};
    for (const auto& [seq, want] : cases) {
        uint8_t got[24];
        frames::write_data_header(frames::MacHeader{}, seq, got);
        EXPECT_EQ(got[22], want.first) << seq;
        EXPECT_EQ(got[23], want.second) << seq;
    }
}

TEST(DataHeader, DefaultsBroadcastFromALocallyAdministeredAddress) {
    uint8_t got[24];
    frames::write_data_header(frames::MacHeader{}, 0, got);
    EXPECT_EQ(std::vector<uint8_t>(got + 4, got + 10), std::vector<uint8_t>(6, 0xff));
    EXPECT_EQ(got[10] & 0x03, 0x02);  // locally administered, individual
}

struct AddressCase {
    const char* text;
    bool ok;
};

TEST(MacAddressText, ColonsOrDashesSixOctets) {
    const AddressCase cases[] = {{"02:00:00:00:00:01", true},  {"AA-bb-CC-dd-EE-ff", true},
                                 {"02:00:00:00:00", false},    {"02:00:00:00:00:01:", false},
                                 {"02:00:00:00:00:0g", false}, {"0200.0000.0001", false}, {"", false}};
    for (const AddressCase& c : cases) EXPECT_EQ(frames::parse_mac_address(c.text).has_value(), c.ok) << c.text;
    EXPECT_EQ(*frames::parse_mac_address("aa-bb-cc-dd-ee-0F"), (frames::MacAddress{0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0x0f}));
}

struct HexCase {
    const char* name;
    const char* text;
    std::vector<uint8_t> octets;  // when ok
    const char* fault;            // part of the message, or nullptr
};

void PrintTo(const HexCase& c, std::ostream* os) { *os << c.name; }

class HexText : public testing::TestWithParam<HexCase> {};

TEST_P(HexText, OctetsOrAFault) {
    const HexCase& c = GetParam();
    std::vector<uint8_t> got;
    std::string error;
    const bool ok = frames::parse_hex(c.text, got, error);
    if (c.fault == nullptr) {
        ASSERT_TRUE(ok) << error;
        EXPECT_EQ(got, c.octets);
    } else {
        EXPECT_FALSE(ok);
        EXPECT_NE(error.find(c.fault), std::string::npos) << error;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HexText,
    testing::Values(HexCase{"plain", "0800fF", {0x08, 0x00, 0xff}, nullptr},
                    HexCase{"separated", "08 00:ff-01", {0x08, 0x00, 0xff, 0x01}, nullptr},
                    HexCase{"empty", "", {}, nullptr},
                    HexCase{"odd", "080", {}, "odd number"},
                    HexCase{"split_octet", "0 8", {}, "splits an octet at character 2"},
                    HexCase{"not_hex", "08zz", {}, "character 3 is not a hex digit"},
                    HexCase{"prefix", "0x08", {}, "character 2"}),
    [](const auto& c) { return std::string(c.param.name); });

}  // namespace
