#include "base/sha256.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <random>
#include <string>

namespace {

std::string sodium_sha256(const std::string& bytes) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

std::string hash(const std::string& bytes, bool extensions, size_t piece) {
    Sha256 sha(extensions);
    for (size_t at = 0; at < bytes.size(); at += piece)
        sha.update(bytes.data() + at, std::min(piece, bytes.size() - at));
    return sha.hex_digest();
}

// Both engines: the portable one everywhere, the SHA instructions where this processor has
// them (else the second run repeats the first).
class Sha256Engines : public ::testing::TestWithParam<bool> {};

}  // namespace

TEST_P(Sha256Engines, MatchesTheStandardsExamples) {
    EXPECT_EQ(hash("", GetParam(), 1),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hash("abc", GetParam(), 1),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hash("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", GetParam(), 7),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(hash(std::string(1000000, 'a'), GetParam(), 4096),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Lengths around the block and padding edges, fed whole and in odd pieces, against
// libsodium's implementation.
TEST_P(Sha256Engines, AgreesWithLibsodiumOnRandomInputs) {
    std::mt19937 random(7);
    for (size_t length : {1u, 55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 1000u, 65537u}) {
        std::string bytes(length, '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        const std::string expected = sodium_sha256(bytes);
        for (size_t piece : {length, size_t{1}, size_t{3}, size_t{64}, size_t{100}})
            EXPECT_EQ(hash(bytes, GetParam(), piece), expected) << length << " in " << piece;
    }
}

TEST_P(Sha256Engines, StartsOverAfterADigest) {
    Sha256 sha(GetParam());
    sha.update("abc", 3);
    const std::string first = sha.hex_digest();
    sha.update("abc", 3);
    EXPECT_EQ(sha.hex_digest(), first);
}

INSTANTIATE_TEST_SUITE_P(, Sha256Engines, ::testing::Values(false, true), [](const auto& info) {
    return info.param ? "ProcessorInstructions" : "Portable";
});
