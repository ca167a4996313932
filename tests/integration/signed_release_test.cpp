// The real `setup` of the default build, which pins the test release key (tests/keys),
// against signed releases on distserver and on nginx: a valid release installs; every
// release it cannot trust ends with exit 2 before anything but the metadata is fetched,
// and the installed suite stays as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>

#include "base/crypto.h"
#include "base/release_signature.h"
#include "setup/install_record.h"
#include "setup/release_trust.h"
#include "setup/setup_data.h"
#include "support/dist_server.h"
#include "support/nginx_server.h"
#include "support/program_run.h"
#include "support/release_builder.h"
#include "support/sample_suite.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
namespace test = castmill::test;
using test::file_tree;

constexpr const char* kSignatureSuffix = ".sig";

class CurrentDirectory {
public:
    explicit CurrentDirectory(const fs::path& dir) : old_(fs::current_path()) {
        fs::current_path(dir);
    }
    ~CurrentDirectory() { fs::current_path(old_); }

private:
    fs::path old_;
};

class SignedReleaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::make_sample_suite(dir / "suite", "2.0.0");
        test::add_sample_key_file(dir / "suite");
        test::make_sample_suite(installed(), "1.0.0");
        test::add_sample_key_file(installed());
        test::DistServerOptions options;
        options.release = release_dir();
        options.app_id = test::kSampleAppId;
        options.app_secret = test::kSampleAppSecret;
        server = std::make_unique<test::DistServer>(options);
        server->set_host_environment();
        publish("2.0.0");
    }

    fs::path release_dir() const { return dir / "release"; }
    fs::path installed() const { return dir / "install/Castmill"; }
    fs::path manifest() const { return release_dir() / "manifest.json"; }

    void publish(const std::string& version, std::vector<std::string> extra = {}) {
        fs::remove_all(release_dir());
        extra.insert(extra.end(), {"--sign", test::test_release_key_file().string(),
                                   "--manifest-url", server->manifest_url()});
        test::publish_release(dir / "suite", version, release_dir(), extra);
    }

    // What the signed manifest lets a run bring into its temporary folder: the archive and
    // every file it unpacks to.
    uint64_t signed_total() const {
        const nlohmann::json parsed = nlohmann::json::parse(test::read_file(manifest()));
        uint64_t total = parsed["package"]["fileSize"].get<uint64_t>();
        for (const auto& entry : parsed["fileList"]) total += entry["fileSize"].get<uint64_t>();
        return total;
    }

    void sign(const fs::path& file, const std::string& secret_key) const {
        test::write_file(fs::path(file.string() + kSignatureSuffix),
                         sign_release_bytes(test::read_file(file), secret_key) + "\n");
    }
    void sign(const fs::path& file) const { sign(file, test::test_release_secret_key()); }

    // A manifest changed by `change` and signed again with the test key.
    void resign_manifest(const std::function<void(nlohmann::json&)>& change) const {
        nlohmann::json parsed = nlohmann::json::parse(test::read_file(manifest()));
        change(parsed);
        test::write_file(manifest(), parsed.dump(2) + "\n");
        sign(manifest());
    }

    // Records the version as installed, as a run of that release would have.
    void record_installed_version(const std::string& version) const {
        nlohmann::json data{{"manifest_url", server->manifest_url()},
                            {"version", version},
                            {"sign", velora::st::setup_data_sign(server->manifest_url(), version)}};
        test::write_file(velora::st::setup_data_path(installed()), data.dump(4) + "\n");
    }

    test::ProgramRun run_unattended(
        const std::string& extra_tokens = "",
        std::vector<std::pair<std::string, std::optional<std::string>>> env = {},
        const std::string& program = "setup") {
        CurrentDirectory cwd(installed());
        env.insert(env.end(), {{"QT_QPA_PLATFORM", std::nullopt},
                               {"DISPLAY", std::nullopt},
                               {"WAYLAND_DISPLAY", std::nullopt}});
        return test::run_program(
            test::bin_dir() / program,
            {"--exit-pause-ms=0", (test::bin_dir() / "setup").string() +
                                      ";--install_dir=" + (dir / "install").string() +
                                      ";--modules=3;--silent;--no-launch" + extra_tokens},
            {.env = env});
    }

    void expect_release_installed() const {
        const auto got = file_tree(installed());
        for (const auto& [path, content] : file_tree(dir / "suite")) {
            const auto found = got.find(path);
            ASSERT_NE(found, got.end()) << path;
            EXPECT_EQ(found->second, content) << path;
        }
    }

    // The release paths the server was asked for, metadata and signatures left out.
    std::set<std::string> content_requests() const {
        const std::string release_prefix = server->release_path_of("");
        const std::set<std::string> metadata{
            server->release_path_of("manifest.json"),
            server->release_path_of(std::string("manifest.json") + kSignatureSuffix)};
        std::set<std::string> paths;
        for (const auto& request : server->requests()) {
            if (request.path.rfind(release_prefix, 0) == 0 && !metadata.count(request.path))
                paths.insert(request.path);
            if (request.path == test::DistServer::kFullPackagePath) paths.insert(request.path);
        }
        return paths;
    }

    bool failure_reported() const {
        for (const auto& report : server->reports()) {
            if (report["fields"].value("logNo", std::string()) == "I9101") return true;
        }
        return false;
    }

    // Exit 2 with the message, the failure event, nothing of the release fetched beyond
    // its metadata, and the installed suite as it was.
    void expect_refused(const std::string& message, bool metadata_only = true) {
        const auto before = file_tree(installed());
        const auto run = run_unattended();
        EXPECT_EQ(run.exit_code, 2) << run.out << run.err;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_EQ(file_tree(installed()), before);
        EXPECT_TRUE(failure_reported());
        if (metadata_only) {
            EXPECT_EQ(content_requests(), std::set<std::string>{});
        }
    }

    test::TempDir dir;
    std::unique_ptr<test::DistServer> server;
};

TEST_F(SignedReleaseTest, ValidSignedReleaseInstalls) {
    const auto run = run_unattended();
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    expect_release_installed();
    EXPECT_EQ(server->count_requests(std::string(test::DistServer::kVersionPath) + ".sig"), 1);
    EXPECT_EQ(server->count_requests(server->release_path_of("manifest.json.sig")), 1);
}

TEST_F(SignedReleaseTest, ManifestWithOneByteChangedIsRefused) {
    std::string text = test::read_file(manifest());
    const size_t at = text.find("VeloraOBS");
    ASSERT_NE(at, std::string::npos);
    text[at + 8] = 'T';
    test::write_file(manifest(), text);
    expect_refused("failed: code:920 manifest signature invalid");
}

TEST_F(SignedReleaseTest, SignaturesFromAnotherKeyAreRefused) {
    const ReleaseKeyPair other = make_release_key_pair();
    sign(manifest(), other.secret_key);
    expect_refused("failed: code:920 manifest signature invalid");

    sign(manifest());
    sign(release_dir() / "version.json", other.secret_key);
    server->clear_requests();
    expect_refused("failed: code:920 version info signature invalid");
}

TEST_F(SignedReleaseTest, MissingSignaturesAreRefused) {
    test::write_file(release_dir() / "manifest.json.sig", "");
    expect_refused("failed: code:920 manifest signature missing");

    // Not served at all: the server's failure, retried and named as such.
    fs::remove(release_dir() / "manifest.json.sig");
    server->clear_requests();
    expect_refused("failed: code:2203 request manifest signature failed: server answered 404");
    EXPECT_EQ(server->count_requests(server->release_path_of("manifest.json.sig")), 3);

    fs::remove(release_dir() / "version.json.sig");
    server->clear_requests();
    expect_refused("failed: code:2203 request version info signature failed: server answered 404");
    EXPECT_EQ(server->count_requests(server->release_path_of("manifest.json")), 0);
}

TEST_F(SignedReleaseTest, SignatureLargerThanOneKibIsRefusedUnread) {
    test::write_file(release_dir() / "manifest.json.sig", std::string(1025, 'A'));
    expect_refused("failed: code:920 manifest signature larger than 1024 bytes");
}

TEST_F(SignedReleaseTest, ManifestEntryWithoutSha256IsRefused) {
    resign_manifest([](nlohmann::json& parsed) { parsed["fileList"][0].erase("sha256"); });
    expect_refused("failed: code:920 manifest file without sha256");
}

TEST_F(SignedReleaseTest, OlderSignedReleaseIsRefusedUnlessTheCommandLineAllowsIt) {
    record_installed_version("2.5.0");
    expect_refused("failed: code:921 release 2.0.0 is older than installed version 2.5.0");

    const auto run = run_unattended(";--allow-downgrade");
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    expect_release_installed();
}

// A signed answer past its expiry, or naming none (an old one replayed), fetches nothing.
TEST_F(SignedReleaseTest, ExpiredVersionAnswerIsRefused) {
    const fs::path answer = release_dir() / "version.json";
    nlohmann::json parsed = nlohmann::json::parse(test::read_file(answer));
    parsed["expires"] = "2019-06-01T00:00:00Z";
    test::write_file(answer, parsed.dump(2));
    sign(answer);
    expect_refused("failed: code:922 version info expired at 2019-06-01T00:00:00Z");

    parsed.erase("expires");
    test::write_file(answer, parsed.dump(2));
    sign(answer);
    expect_refused("failed: code:922 version info names no expiry");
}

// Without setup.data the suite's config.json still names the installed version.
TEST_F(SignedReleaseTest, DowngradeIsRefusedWithoutSetupData) {
    test::write_file(installed() / "Update/config.json", R"({"gver": "2.5.0"})");
    expect_refused("failed: code:921 release 2.0.0 is older than installed version 2.5.0");
}

// A signed install leaves its version in the install record and, with its release time,
// in the accepted release beside it: each still refuses an older signed release when the
// other version files are gone. A damaged accepted release counts as none.
TEST_F(SignedReleaseTest, OlderSignedReleaseIsRefusedWhenTheVersionFilesAreGone) {
    const std::string accepted_time = "2026-12-01T10:00:00Z";
    publish("2.0.0", {"--release-time", accepted_time});
    ASSERT_EQ(run_unattended().exit_code, 0);
    server->clear_requests();
    const fs::path accepted = velora::st::accepted_release_path(installed());
    const std::string accepted_text = test::read_file(accepted);
    fs::remove(velora::st::setup_data_path(installed()));
    fs::remove(velora::st::app_config_path(installed()));
    fs::remove(accepted);
    publish("1.9.0", {"--release-time", "2026-12-05T10:00:00Z"});
    expect_refused("failed: code:921 release 1.9.0 is older than installed version 2.0.0");

    fs::remove(velora::st::install_record_path(installed()));
    test::write_file(accepted, accepted_text);
    expect_refused(
        "failed: code:921 release 1.9.0 of 2026-12-05T10:00:00Z is older than "
        "accepted release 2.0.0 of " +
        accepted_time);
    publish("2.0.0", {"--release-time", "2026-11-01T10:00:00Z"});
    expect_refused(
        "failed: code:921 release 2.0.0 of 2026-11-01T10:00:00Z is older than "
        "accepted release 2.0.0 of " +
        accepted_time);

    test::write_file(accepted, "{\"version\":");
    const auto run = run_unattended();
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    EXPECT_NE(test::read_file(accepted).find("2026-11-01T10:00:00Z"), std::string::npos);
}

// A validly signed release of another product or for another system is not this build's.
TEST_F(SignedReleaseTest, DocumentsForAnotherProductOrPlatformAreRefused) {
    const std::string platform = velora::st::kReleasePlatform;
    const std::string other = platform == "linux" ? "windows" : "linux";
    publish("2.0.0", {"--platform", other});
    expect_refused("failed: code:923 version info is for castmill on " + other +
                   ", not castmill on " + platform);
    publish("2.0.0", {"--product", "othercast"});
    expect_refused("failed: code:923 version info is for othercast on " + platform +
                   ", not castmill on " + platform);
    publish("2.0.0");
    resign_manifest([](nlohmann::json& parsed) { parsed.erase("platform"); });
    expect_refused("failed: code:923 manifest names no product or platform");
}

TEST_F(SignedReleaseTest, NewVersionAnswerWithAnOldManifestIsRefused) {
    const std::string old_manifest = test::read_file(manifest());
    const std::string old_signature = test::read_file(release_dir() / "manifest.json.sig");
    test::write_file(dir / "suite/VeloraOBS/bin/new.dll", "only in 3.0.0");
    publish("3.0.0");
    test::write_file(manifest(), old_manifest);
    test::write_file(release_dir() / "manifest.json.sig", old_signature);
    expect_refused("failed: code:920 manifest version 2.0.0 does not match release 3.0.0");
}

TEST_F(SignedReleaseTest, FileMatchingItsMd5ButNotItsSha256IsNotInstalled) {
    std::string changed;
    resign_manifest([&](nlohmann::json& parsed) {
        for (auto& entry : parsed["fileList"]) {
            if (entry["filePath"] == "VeloraOBS/bin/64bit/mod3.dll") {
                // What a content with the same MD5 (a collision) but other bytes would give.
                entry["sha256"] = sha256_hex("other bytes");
                changed = entry["filePath"];
            }
        }
    });
    ASSERT_FALSE(changed.empty());
    expect_refused("failed: download failed code: 2206", false);
    EXPECT_EQ(content_requests().count(server->release_path_of(changed)), 1u);
}

TEST_F(SignedReleaseTest, OversizedManifestIsRefusedBeforeItIsRead) {
    resign_manifest(
        [](nlohmann::json& parsed) { parsed["padding"] = std::string(5 * 1024 * 1024, ' '); });
    expect_refused("failed: code:902 manifest larger than 4194304 bytes");
    EXPECT_EQ(server->count_requests(server->release_path_of("manifest.json.sig")), 0);
}

TEST_F(SignedReleaseTest, TransferLongerThanTheSignedSizeIsCutAndFails) {
    std::string cut;
    resign_manifest([&](nlohmann::json& parsed) {
        for (auto& entry : parsed["fileList"]) {
            if (entry["filePath"] != "VeloraOBS/bin/64bit/mod5.dll") continue;
            entry["fileSize"] = entry["fileSize"].get<int64_t>() - 1;
            cut = entry["filePath"];
        }
    });
    ASSERT_FALSE(cut.empty());
    expect_refused("failed: download failed code: 2163", false);  // CURLE_FILESIZE_EXCEEDED
    EXPECT_EQ(content_requests().count(server->release_path_of(cut)), 1u);
}

// Enough missing bytes make the run take the package archive, which the signed manifest
// names: a zip bomb served in its place is not the signed archive and is never unpacked.
TEST_F(SignedReleaseTest, ArchiveOtherThanTheSignedOneIsNeverUnpacked) {
    test::make_sparse_file(dir / "suite/VeloraOBS/data/big.dat", 60 << 20);
    publish("2.0.0", {"--no-compress"});
    const std::string archive = server->release_path_of("Castmill_winUpdate.zip");
    server->add_fault({.path = archive,
                       .zip_bomb_bytes = 200 << 20,
                       .zip_bomb_entries = {"VeloraOBS/data/big.dat", "a.bin", "b.bin"}});
    std::optional<test::FolderGrowth> temp(fs::temp_directory_path());
    expect_refused("failed: download failed code: ", false);
    EXPECT_LE(temp->peak_growth(), signed_total() + signed_total() / 10);
    EXPECT_EQ(content_requests(), std::set<std::string>{archive});

    // A body that does not end is cut at the archive's signed size.
    server->clear_faults();
    server->add_fault({.path = archive, .endless = true});
    server->clear_requests();
    temp.emplace(fs::temp_directory_path());
    expect_refused("failed: download failed code: ", false);
    EXPECT_LE(temp->peak_growth(), signed_total() + signed_total() / 10);
    EXPECT_EQ(content_requests(), std::set<std::string>{archive});

    server->clear_faults();
    const auto run = run_unattended();
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    expect_release_installed();
}

TEST_F(SignedReleaseTest, SameReleaseUnsignedInstallsWithABuildThatPinsNoKey) {
    fs::remove_all(release_dir());
    test::publish_release(dir / "suite", "2.0.0", release_dir());
    const auto before = file_tree(installed());
    const auto refused = run_unattended();
    EXPECT_EQ(refused.exit_code, 2) << refused.out << refused.err;
    EXPECT_NE(refused.err.find("failed: code:2203 request version info signature failed"),
              std::string::npos)
        << refused.err;
    EXPECT_EQ(file_tree(installed()), before);

    const auto run = run_unattended("", {}, "setup_unpinned");
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    expect_release_installed();
}

// nginx as the vendor's static host: the version answer is a file at the service's path,
// its signature beside it.
class SignedReleaseOnNginxTest : public SignedReleaseTest {
protected:
    void SetUp() override {
        SignedReleaseTest::SetUp();
        nginx = std::make_unique<test::NginxServer>(test::NginxOptions{.root = root.path()});
        ASSERT_TRUE(nginx->running()) << nginx->error();
        const std::string release_url = nginx->url("/files/apps/castmill/update");
        fs::remove_all(release_dir());
        test::publish_release(dir / "suite", "2.0.0", release_dir(),
                              {"--sign", test::test_release_key_file().string(), "--manifest-url",
                               release_url + "/manifest.json"});
        fs::create_directories(root / "files/apps/castmill");
        fs::copy(release_dir(), root / "files/apps/castmill/update", fs::copy_options::recursive);
        const fs::path version_dir = root / "app/getCastmillUpdate/mergedKit";
        fs::create_directories(version_dir);
        fs::copy_file(release_dir() / "version.json", version_dir / "windows");
        fs::copy_file(release_dir() / "version.json.sig", version_dir / "windows.sig");
        // nginx's workers run as nobody when started as root.
        for (const auto& entry : fs::recursive_directory_iterator(root.path()))
            fs::permissions(entry.path(), fs::perms::others_read | fs::perms::others_exec,
                            fs::perm_options::add);
    }

    test::ProgramRun run_on_nginx() {
        const std::string host = nginx->url("");
        return run_unattended("",
                              {{"CASTMILL_UPDATE_HOST", host}, {"CASTMILL_DOWNLOAD_HOST", host}});
    }

    // The request lines of everything but the metadata.
    std::vector<std::string> content_lines() const {
        std::vector<std::string> lines;
        std::istringstream log(nginx->access_log());
        for (std::string line; std::getline(log, line);) {
            if (line.find("/files/apps/castmill/update/") == std::string::npos) continue;
            if (line.find("/manifest.json") != std::string::npos) continue;
            lines.push_back(line);
        }
        return lines;
    }

    test::TempDir root;
    std::unique_ptr<test::NginxServer> nginx;
};

TEST_F(SignedReleaseOnNginxTest, ValidSignedReleaseInstallsFromStaticFiles) {
    const auto run = run_on_nginx();
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    expect_release_installed();
    EXPECT_NE(nginx->access_log().find("/app/getCastmillUpdate/mergedKit/windows.sig"),
              std::string::npos);
}

TEST_F(SignedReleaseOnNginxTest, TamperedOrUnsignedMetadataIsRefusedBeforeAnyFile) {
    const fs::path served = root / "files/apps/castmill/update/manifest.json";
    std::string text = test::read_file(served);
    text[text.find("fileSize") + 1] ^= 0x20;
    test::write_file(served, text);
    const auto before = file_tree(installed());
    auto run = run_on_nginx();
    EXPECT_EQ(run.exit_code, 2) << run.out << run.err;
    EXPECT_NE(run.err.find("manifest signature invalid"), std::string::npos) << run.err;

    fs::remove(root / "app/getCastmillUpdate/mergedKit/windows.sig");
    run = run_on_nginx();
    EXPECT_EQ(run.exit_code, 2) << run.out << run.err;
    EXPECT_NE(run.err.find("request version info signature failed: server answered 404"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(file_tree(installed()), before);
    EXPECT_EQ(content_lines(), std::vector<std::string>{}) << nginx->access_log();
}

}  // namespace
