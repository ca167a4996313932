// The engine in-process against distserver. This test program links no pinned key
// (castmill_unpinned_keys), as a build with an empty CASTMILL_RELEASE_PUBLIC_KEY does; the
// cases that need keys give the engine its keys as a signing build would pin them.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>

#include "base/crypto.h"
#include "base/release_signature.h"
#include "base/result_codes.h"
#include "layout/launch_options.h"
#include "setup/setup_center.h"
#include "support/dist_server.h"
#include "support/fast_timings.h"
#include "support/release_builder.h"
#include "support/test_env.h"

namespace castmill::test {
namespace {

namespace fs = std::filesystem;
using velora::st::SetupCenter;

class SignedEngine : public ::testing::Test {
protected:
    void SetUp() override {
        release_.add_sample_suite();
        DistServerOptions options;
        options.release = release_.release_dir();
        server_ = std::make_unique<DistServer>(options);
        server_->set_host_environment();
    }

    int initialize(SetupCenter& center, std::string& message) {
        velora::st::LaunchOptions options;
        options.install_dir = dir_ / "Castmill";
        options.modules = 3;
        return center.initialize(options, message);
    }

    // initialize and download; the first failing step's result.
    int fetch(SetupCenter& center, std::string& message) {
        if (const int r = initialize(center, message); r != 0) return r;
        return center.download_files({}, message);
    }

    // Every file of the selected modules is in the download folder, checked.
    void expect_downloaded(const SetupCenter& center) const {
        for (const auto& [path, content] : release_.files_of(3))
            EXPECT_EQ(read_file(center.download_dir() / md5_hex(content)), content) << path;
    }

    TempDir dir_;
    ReleaseBuilder release_{dir_.path()};
    std::unique_ptr<DistServer> server_;
};

TEST_F(SignedEngine, EngineOfABuildThatPinsNoKeyTakesUnsignedReleases) {
    release_.publish("2.0.0");
    SetupCenter center(fast_timings());
    EXPECT_TRUE(velora::st::pinned_release_keys().empty());
    ASSERT_TRUE(center.release_keys().empty());
    std::string message;
    ASSERT_EQ(fetch(center, message), 0) << message;
    expect_downloaded(center);
    EXPECT_EQ(server_->count_requests(std::string(DistServer::kVersionPath) + ".sig"), 0);
}

TEST_F(SignedEngine, SigningBuildRefusesTheSameReleaseUnsigned) {
    release_.publish("2.0.0");
    SetupCenter center(fast_timings(), {test_release_public_key()});
    std::string message;
    // A static host answers a signature it does not have with 404: the server's failure.
    EXPECT_EQ(initialize(center, message), 2100 + 103);
    EXPECT_EQ(message, "request version info signature failed: server answered 404");
    EXPECT_EQ(server_->count_requests(server_->manifest_url().substr(server_->url().size())), 0);
}

TEST_F(SignedEngine, EitherKeyOfARotationVerifies) {
    const ReleaseKeyPair next = make_release_key_pair();
    release_.publish_signed("2.0.0", server_->manifest_url());
    release_.sign("manifest.json", next.secret_key);
    SetupCenter center(fast_timings(), {test_release_public_key(), next.public_key});
    std::string message;
    ASSERT_EQ(fetch(center, message), 0) << message;  // old key: answer, new key: manifest
    expect_downloaded(center);

    SetupCenter old_key_only(fast_timings(), {test_release_public_key()});
    EXPECT_EQ(initialize(old_key_only, message), velora::kSetupUntrustedRelease);
    EXPECT_EQ(message, "manifest signature invalid");
}

TEST_F(SignedEngine, SignedManifestCarriesItsReleaseAndDigests) {
    release_.publish_signed("2.0.0", server_->manifest_url(),
                            {"--release-time", "2026-12-01T10:00:00Z"});
    const nlohmann::json manifest = release_.manifest();
    EXPECT_EQ(manifest["version"], "2.0.0");
    EXPECT_EQ(manifest["releaseTime"], "2026-12-01T10:00:00Z");
    for (const auto& entry : manifest["fileList"]) {
        const std::string path = entry["filePath"];
        EXPECT_EQ(entry["sha256"], sha256_hex(release_.files().at(path))) << path;
    }
    // The version answer goes out exactly as it was signed.
    EXPECT_EQ(http_get(server_->url() + DistServer::kVersionPath + "?castmill=1.0.0").body,
              read_file(release_.release_dir() / "version.json"));
}

TEST_F(SignedEngine, CachedFileThatFailsItsSha256IsFetchedAgain) {
    release_.publish_signed("2.0.0", server_->manifest_url());
    const std::string path = "VeloraOBS/bin/64bit/obs64.exe";
    const std::string content = release_.files().at(path);
    std::string message;
    fs::path cached;
    {
        SetupCenter first(fast_timings(), {test_release_public_key()});
        ASSERT_EQ(initialize(first, message), 0) << message;
        ASSERT_EQ(first.download_files({}, message), 0) << message;
        cached = first.download_dir() / md5_hex(content);
    }
    // Same size and recorded as complete, other bytes: only a digest can tell.
    write_file(cached, std::string(content.size(), 'x'));

    SetupCenter second(fast_timings(), {test_release_public_key()});
    ASSERT_EQ(initialize(second, message), 0) << message;
    ASSERT_EQ(second.plan().queue.size(), 1u);
    EXPECT_EQ(second.plan().queue.front().filePath, path);
    ASSERT_EQ(second.download_files({}, message), 0) << message;
    EXPECT_EQ(read_file(cached), content);
}

// A server that sends its headers and then nothing is cut by the run's deadline for its
// metadata, however lenient the stall limit; nothing after the version answer is asked for.
TEST_F(SignedEngine, VersionAnswerStalledAfterItsHeadersEndsAtTheMetadataDeadline) {
    release_.publish_signed("2.0.0", server_->manifest_url());
    server_->add_fault({.path = DistServer::kVersionPath, .stall_after = 0, .stall_ms = 60000});
    velora::st::SetupTimings timings = fast_timings();
    timings.stall = {1, 600};
    timings.metadata_deadline = std::chrono::seconds(2);
    SetupCenter center(timings, {test_release_public_key()});
    std::string message;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(initialize(center, message), 28);  // CURLE_OPERATION_TIMEDOUT
    EXPECT_EQ(message, "request version info failed");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_EQ(server_->count_requests(std::string(DistServer::kVersionPath) + ".sig"), 0);
    EXPECT_EQ(server_->count_requests(server_->manifest_url().substr(server_->url().size())), 0);
    EXPECT_FALSE(fs::exists(dir_ / "Castmill"));
}

}  // namespace
}  // namespace castmill::test
