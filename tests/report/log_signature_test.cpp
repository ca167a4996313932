#include "report/log_signature.h"

#include <gtest/gtest.h>

#include "base/crypto.h"

namespace {

constexpr const char* kAppId = "0123456789abcdef";
constexpr const char* kAppSecret = "fedcba9876543210";

TEST(LogSignatureTest, BodyCarriesTheEncryptedDigestAndTime) {
    const std::string body =
        make_signature("198.51.100.7", "1.0.0", kAppId, kAppSecret, 1765000000123);
    const std::string prefix = "signature=";
    const std::string suffix = "&pf=castmill-pc&ver=1.0.0";
    ASSERT_EQ(body.rfind(prefix, 0), 0u);
    ASSERT_EQ(body.substr(body.size() - suffix.size()), suffix);
    const std::string sig = body.substr(prefix.size(), body.size() - prefix.size() - suffix.size());
    EXPECT_EQ(aes_decrypt_base64(sig, kAppId, kAppSecret),
              md5_hex("castmill-pc-#-1.0.0-#-vantRix@198.51.100.7") + "-#-1765000000123");
    EXPECT_TRUE(check_signature(sig, "198.51.100.7", "1.0.0", kAppId, kAppSecret));
    EXPECT_FALSE(check_signature(sig, "198.51.100.8", "1.0.0", kAppId, kAppSecret));
    EXPECT_FALSE(check_signature(sig, "198.51.100.7", "1.0.0", kAppSecret, kAppId));
}

TEST(LogSignatureTest, DigestStopsAtTheFirstWhiteSpace) {
    EXPECT_EQ(signature_digest("10.0.0.1 proxy", "2.0"),
              md5_hex("castmill-pc-#-2.0-#-vantRix@10.0.0.1"));
    EXPECT_EQ(signature_digest("10.0.0.1", "2 beta"), md5_hex("castmill-pc-#-2"));
}

TEST(LogSignatureTest, NothingIsSignedWithoutAllInputs) {
    EXPECT_EQ(make_signature("", "1.0.0", kAppId, kAppSecret, 1), "");
    EXPECT_EQ(make_signature("1.2.3.4", "", kAppId, kAppSecret, 1), "");
    EXPECT_EQ(make_signature("1.2.3.4", "1.0.0", "", kAppSecret, 1), "");
    EXPECT_EQ(make_signature("1.2.3.4", "1.0.0", kAppId, "", 1), "");
    EXPECT_FALSE(check_signature("", "1.2.3.4", "1.0.0", kAppId, kAppSecret));
    // A time that is not decimal digits is not a signature of ours.
    const std::string forged =
        aes_encrypt_base64(signature_digest("1.2.3.4", "1.0.0") + "-#-12a", kAppId, kAppSecret);
    EXPECT_FALSE(check_signature(forged, "1.2.3.4", "1.0.0", kAppId, kAppSecret));
}

}  // namespace
