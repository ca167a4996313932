#include "setup/release_trust.h"

#include <gtest/gtest.h>

#include <cctype>
#include <nlohmann/json.hpp>

#include "base/crypto.h"
#include "base/release_signature.h"
#include "base/result_codes.h"
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

TEST(ReleaseTrust, SignedVersionAnswerMustNameThisTargetAndStillHold) {
    const nlohmann::json answer{{"version", "2.0.0"},
                                {"url", "https://cdn.example/r/manifest.json"},
                                {"expires", "2026-12-17T00:00:00Z"},
                                {"releaseTime", "2026-12-09T03:00:00Z"},
                                {"product", kReleaseProduct},
                                {"platform", kReleasePlatform}};
    const int64_t now = utc_seconds("2026-12-10T00:00:00Z");
    VersionAnswer read;
    std::string message;
    ASSERT_EQ(read_version_answer(answer.dump(), true, now, read, message), velora::kSetupOk)
        << message;
    EXPECT_EQ(read.version, "2.0.0");
    EXPECT_EQ(read.release_time, "2026-12-09T03:00:00Z");

    nlohmann::json other = answer;
    other["platform"] = "amiga";
    EXPECT_EQ(read_version_answer(other.dump(), true, now, read, message),
              velora::kSetupReleaseOtherTarget);
    EXPECT_EQ(message, std::string("version info is for castmill on amiga, not castmill on ") +
                           kReleasePlatform);
    EXPECT_TRUE(read.manifest_url.empty());
    other = answer;
    other.erase("product");
    EXPECT_EQ(read_version_answer(other.dump(), true, now, read, message),
              velora::kSetupReleaseOtherTarget);
    EXPECT_EQ(message, "version info names no product or platform");
    EXPECT_EQ(read_version_answer(answer.dump(), true, utc_seconds("2026-12-17T00:00:01Z"), read,
                                  message),
              velora::kSetupReleaseExpired);
    // A build that pins no key asks neither: the answer is not signed.
    other.erase("expires");
    EXPECT_EQ(read_version_answer(other.dump(), false, now, read, message), velora::kSetupOk);
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

TEST(ReleaseTrust, AcceptedReleaseLiesInTheUpdateFolderAndADamagedOneCountsAsNone) {
    TempDir dir;
    const std::filesystem::path install = dir / "Castmill";
    EXPECT_FALSE(write_accepted_release(install, {"2.0.0", "2026-12-01T10:00:00Z"}));
    std::filesystem::create_directories(install / "Update");
    ASSERT_TRUE(write_accepted_release(install, {"2.0.0", "2026-12-01T10:00:00Z"}));
    const AcceptedRelease read = read_accepted_release(install);
    EXPECT_EQ(read.version, "2.0.0");
    EXPECT_EQ(read.release_time, "2026-12-01T10:00:00Z");

    for (const char* damaged : {"{\"version\": \"2.0", "{\"version\": 2}", ""}) {
        write_file(accepted_release_path(install), damaged);
        EXPECT_TRUE(read_accepted_release(install).version.empty()) << damaged;
    }
}

}  // namespace
}  // namespace castmill::test
