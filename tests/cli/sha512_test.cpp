// The recordings' SHA-512 (OpenSSL here, CNG on Windows) against the FIPS
// 180-2 examples, and fed in parts as the recording writer feeds it.
#include <gtest/gtest.h>

#include <string>

#include "sha512.h"

namespace {

struct Vector {
    const char* name;
    std::string message;
    const char* digest;
};

void PrintTo(const Vector& v, std::ostream* os) { *os << v.name; }

class Sha512Vectors : public ::testing::TestWithParam<Vector> {};

TEST_P(Sha512Vectors, WholeAndInParts) {
    const Vector& v = GetParam();
    for (size_t part : {v.message.size() + 1, size_t{1}, size_t{7}}) {
        orv::Sha512 h;
        ASSERT_TRUE(h.ok());
        for (size_t at = 0; at < v.message.size(); at += part)
            ASSERT_TRUE(h.update(v.message.data() + at, std::min(part, v.message.size() - at)));
        std::string hex;
        ASSERT_TRUE(h.finish(hex));
        EXPECT_EQ(hex, v.digest) << "parts of " << part;
        EXPECT_FALSE(h.finish(hex)) << "a second finish";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fips180, Sha512Vectors,
    ::testing::Values(
        Vector{"abc", "abc",
               "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
               "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        Vector{"empty", "",
               "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
               "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
        Vector{"two_blocks",
               "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
               "nopqrstu",
               "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
               "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"}),
    [](const ::testing::TestParamInfo<Vector>& i) { return std::string(i.param.name); });

}  // namespace
