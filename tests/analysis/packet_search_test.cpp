// The packet search after a packet whose SIGNAL field claims more than the file holds: a
// wrong LENGTH that passes the parity check must not hide the packets up to the file's end.
#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "analysis.h"
#include "reference_tx.h"
#include "rx_packets.h"

namespace {

using C = std::complex<double>;

struct ClaimCase {
    std::string name;
    int claimed_length;  // the LENGTH the first packet's SIGNAL field says (its DATA holds 100 octets)
    int after;           // zero samples after the second packet
};
void PrintTo(const ClaimCase& c, std::ostream* os) { *os << c.name; }

class SearchAfterWrongLength : public ::testing::TestWithParam<ClaimCase> {};

TEST_P(SearchAfterWrongLength, NextPacketStillFound) {
    const ClaimCase& c = GetParam();
    const std::vector<uint8_t> a = reftx::mac_frame(1, reftx::body(72, 5)), b = reftx::mac_frame(2, reftx::body(72, 6));
    std::vector<C> first = reftx::frame(24, reftx::bits_of_bytes(a), static_cast<int>(a.size()), 1);
    // The SIGNAL symbol (samples 320 .. 400) of a frame of the claimed length.
    const std::vector<uint8_t> big(static_cast<size_t>(c.claimed_length), 0x5A);
    const std::vector<C> claim = reftx::frame(24, reftx::bits_of_bytes(big), c.claimed_length, 1);
    std::copy(claim.begin() + 320, claim.begin() + 400, first.begin() + 320);
    const std::vector<C> second = reftx::frame(24, reftx::bits_of_bytes(b), static_cast<int>(b.size()), 1);
    std::vector<C> x(200, C(0, 0));
    x.insert(x.end(), first.begin(), first.end());
    x.resize(x.size() + 400, C(0, 0));
    const int64_t second_at = static_cast<int64_t>(x.size());
    x.insert(x.end(), second.begin(), second.end());
    x.resize(x.size() + static_cast<size_t>(c.after), C(0, 0));
    ASSERT_GT(200 + 400 + 80 * ((16 + 8 * c.claimed_length + 6 + 95) / 96), second_at) << "the claim must cover the second packet";

    const std::vector<orv::analysis::PacketResult> p =
        orv::analysis::receive_packets(x.data(), static_cast<int64_t>(x.size()), 1, orv::analysis::Options{}, nullptr);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].start, 200);
    EXPECT_EQ(p[0].length, c.claimed_length);
    EXPECT_NE(p[0].fcs_ok, std::optional<bool>(true));
    EXPECT_EQ(p[1].start, second_at);
    EXPECT_EQ(p[1].fcs_ok, std::optional<bool>(true));
}

INSTANTIATE_TEST_SUITE_P(
    Claims, SearchAfterWrongLength,
    ::testing::Values(ClaimCase{"ClaimBeyondTheFile_CutOff", 3000, 200},
                      ClaimCase{"ClaimFarBeyondTheFile_CutOff", 4095, 2000}),
    [](const ::testing::TestParamInfo<ClaimCase>& i) { return i.param.name; });

}  // namespace
