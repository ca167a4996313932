#include "base/release_signature.h"

#include <gtest/gtest.h>

#include "base/crypto.h"
#include "support/test_env.h"

namespace castmill::test {
namespace {

TEST(ReleaseSignature, VerifiesOnlyTheExactBytesByTheSigningKey) {
    const ReleaseKeyPair pair = make_release_key_pair();
    const ReleaseKeyPair other = make_release_key_pair();
    const std::string manifest = "{\"fileList\":[{\"filePath\":\"a\",\"hash\":\"b\"}]}\n";
    const std::string signature = sign_release_bytes(manifest, pair.secret_key);
    ASSERT_FALSE(signature.empty());
    EXPECT_TRUE(verify_release_bytes(manifest, signature, pair.public_key));
    // Signature files end in a line break; keys are pasted with blanks around them.
    EXPECT_TRUE(verify_release_bytes(manifest, signature + "\r\n", " " + pair.public_key + "\n"));

    for (size_t at : {size_t{0}, manifest.size() / 2, manifest.size() - 1}) {
        std::string changed = manifest;
        changed[at] ^= 1;
        EXPECT_FALSE(verify_release_bytes(changed, signature, pair.public_key)) << at;
    }
    EXPECT_FALSE(verify_release_bytes(manifest + " ", signature, pair.public_key));
    EXPECT_FALSE(verify_release_bytes(manifest, signature, other.public_key));
    EXPECT_FALSE(verify_release_bytes(manifest, sign_release_bytes(manifest, other.secret_key),
                                      pair.public_key));
}

TEST(ReleaseSignature, MalformedKeysAndSignaturesNeverVerify) {
    const ReleaseKeyPair pair = make_release_key_pair();
    const std::string signature = sign_release_bytes("x", pair.secret_key);
    EXPECT_FALSE(verify_release_bytes("x", "", pair.public_key));
    EXPECT_FALSE(
        verify_release_bytes("x", signature.substr(0, signature.size() - 4), pair.public_key));
    EXPECT_FALSE(verify_release_bytes("x", signature + "AAAA", pair.public_key));
    EXPECT_FALSE(verify_release_bytes("x", "<html>404</html>", pair.public_key));
    EXPECT_FALSE(verify_release_bytes("x", signature, ""));
    EXPECT_FALSE(verify_release_bytes("x", signature, pair.secret_key));
    EXPECT_TRUE(sign_release_bytes("x", pair.public_key).empty());
    EXPECT_TRUE(sign_release_bytes("x", "not a key").empty());

    EXPECT_TRUE(is_release_public_key(pair.public_key));
    EXPECT_FALSE(is_release_public_key(pair.secret_key));
    EXPECT_FALSE(is_release_public_key(pair.public_key.substr(1)));
    EXPECT_EQ(base64_decode(pair.public_key).size(), 32u);
    EXPECT_EQ(base64_decode(pair.secret_key).size(), 64u);
    EXPECT_NE(make_release_key_pair().public_key, pair.public_key);
}

// The test key pair kept in tests/keys belongs together (the default build pins its half).
TEST(ReleaseSignature, TestKeyPairSignsAndVerifies) {
    const std::string secret = read_file(source_dir() / "tests/keys/release_test.key");
    const std::string pub = read_file(source_dir() / "tests/keys/release_test.pub");
    ASSERT_TRUE(is_release_public_key(pub));
    EXPECT_TRUE(verify_release_bytes("release", sign_release_bytes("release", secret), pub));
}

TEST(Sha256, MatchesTheStandardVectorsAndTheFileDigests) {
    EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_TRUE(is_sha256_text(sha256_hex("abc")));
    EXPECT_TRUE(is_sha256_text("BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"));
    EXPECT_FALSE(is_sha256_text(sha256_hex("abc").substr(1)));
    EXPECT_FALSE(is_sha256_text(std::string(64, 'g')));

    TempDir dir;
    // Larger than one read block, so the digests are built piece by piece.
    std::string content(200 * 1024 + 7, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31);
    write_file(dir / "file.bin", content);
    const ContentDigests digests = file_digests(dir / "file.bin");
    EXPECT_EQ(digests.md5, md5_hex(content));
    EXPECT_EQ(digests.sha256, sha256_hex(content));
    EXPECT_TRUE(file_digests(dir / "missing").sha256.empty());
}

}  // namespace
}  // namespace castmill::test
