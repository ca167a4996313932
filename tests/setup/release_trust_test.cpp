#include "setup/release_trust.h"

#include <gtest/gtest.h>

#include <cctype>

#include "base/crypto.h"
#include "base/release_signature.h"
#include "setup/setup_center.h"
#include "support/test_env.h"

namespace castmill::test {
namespace {

using namespace velora::st;

TEST(ReleaseTrust, SignatureLiesBesideTheDocumentWithTheQueryKept) {
    EXPECT_EQ(signature_url_of("https://cdn.example/r/manifest.json"),
              "https://cdn.example/r/manifest.json.sig");
    EXPECT_EQ(signature_url_of("http://127.0.0.1:8080/app/getCastmillUpdate/mergedKit/windows"
                               "?castmill=1.0.0"),
              "http://127.0.0.1:8080/app/getCastmillUpdate/mergedKit/windows.sig?castmill=1.0.0");
}

TEST(ReleaseTrust, AnyPinnedKeyOfARotationVerifies) {
    const ReleaseKeyPair old_key = make_release_key_pair();
    const ReleaseKeyPair new_key = make_release_key_pair();
    const ReleaseKeyPair stranger = make_release_key_pair();
    const std::vector<std::string> pinned{old_key.public_key, new_key.public_key};
    EXPECT_TRUE(signed_by_any("m", sign_release_bytes("m", old_key.secret_key), pinned));
    EXPECT_TRUE(signed_by_any("m", sign_release_bytes("m", new_key.secret_key), pinned));
    EXPECT_FALSE(signed_by_any("m", sign_release_bytes("m", stranger.secret_key), pinned));
    EXPECT_FALSE(signed_by_any("m", sign_release_bytes("m", old_key.secret_key), {}));
}

TEST(ReleaseTrust, VersionsCompareByTheirNumbers) {
    EXPECT_LT(compare_versions("1.9.2", "1.10.0"), 0);
    EXPECT_GT(compare_versions("2.0.0", "1.99.99"), 0);
    EXPECT_EQ(compare_versions("2.0", "2.0.0"), 0);
    EXPECT_LT(compare_versions("2.0.0", "2.0.0.1"), 0);
    EXPECT_EQ(compare_versions("1.0.0", "1.0.0"), 0);
    EXPECT_LT(compare_versions("", "0.0.1"), 0);
    EXPECT_GT(compare_versions("3.0.0-beta", "2.9"), 0);
}

TEST(ReleaseTrust, ContentIsCheckedAgainstEveryDigestTheEntryNames) {
    TempDir dir;
    write_file(dir / "f", "content");
    std::string mismatch;
    FileEntry entry{"a/f", md5_hex("content"), 7};
    EXPECT_TRUE(content_matches(dir / "f", entry, mismatch));
    entry.sha256 = sha256_hex("content");
    EXPECT_TRUE(content_matches(dir / "f", entry, mismatch));
    for (char& c : entry.sha256) c = static_cast<char>(std::toupper(c));
    EXPECT_TRUE(content_matches(dir / "f", entry, mismatch));

    entry.sha256 = sha256_hex("other");  // the MD5 still matches
    EXPECT_FALSE(content_matches(dir / "f", entry, mismatch));
    EXPECT_EQ(mismatch, "sha256 mismatch: " + sha256_hex("content"));
    entry = {"a/f", md5_hex("other"), 7, sha256_hex("content")};
    EXPECT_FALSE(content_matches(dir / "f", entry, mismatch));
    EXPECT_EQ(mismatch, "md5 mismatch: " + md5_hex("content"));

    // An old manifest's name that is no MD5 and no SHA-256: nothing to check.
    EXPECT_TRUE(content_matches(dir / "f", FileEntry{"a/f", "v2-build-17", 7}, mismatch));
    EXPECT_FALSE(
        content_matches(dir / "missing", FileEntry{"a/f", "", 7, sha256_hex("")}, mismatch));
}

TEST(ReleaseTrust, OlderMeansALowerVersionOrTheSameOneReleasedEarlier) {
    const AcceptedRelease accepted{"2.0.0", "2026-12-01T10:00:00Z"};
    EXPECT_TRUE(is_older_release({"1.9.9", "2027-01-01T00:00:00Z"}, accepted));
    EXPECT_TRUE(is_older_release({"2.0.0", "2026-12-01T09:59:59Z"}, accepted));
    EXPECT_FALSE(is_older_release({"2.0.0", "2026-12-01T10:00:00Z"}, accepted));
    EXPECT_FALSE(is_older_release({"2.0.0", ""}, accepted));
    EXPECT_FALSE(is_older_release({"2.0.1", "2019-01-01T00:00:00Z"}, accepted));
    EXPECT_FALSE(is_older_release({"0.0.1", ""}, {}));
}

}  // namespace
}  // namespace castmill::test
