#include "setup/setup_data.h"

#include <gtest/gtest.h>

#include "base/cjson_object.h"
#include "base/crypto.h"
#include "setup/setup_center.h"
#include "support/log_capture.h"
#include "support/program_run.h"
#include "support/test_env.h"
#include "sys/files.h"

namespace velora::st {
namespace {

namespace fs = std::filesystem;
using castmill::test::LogCapture;
using castmill::test::read_file;
using castmill::test::run_in_child_process;
using castmill::test::TempDir;
using castmill::test::write_file;

constexpr const char* kManifestUrl = "https://download.example/files/2.3.4/manifest.json";

class SetupDataTest : public ::testing::Test {
protected:
    SetupDataTest() {
        fs::create_directories(tmp / "Castmill/Update");
        center.set_target({.install_dir = tmp / "Castmill"});
    }

    // A fresh engine reading what the first one left.
    void load_into_fresh_engine() {
        loaded.set_target(center.target());
        loaded.load_setup_data();
    }

    void save(const std::string& url, const std::string& version) {
        center.set_release(Release(version, url));
        center.save_setup_data();
    }

    fs::path data_file() const { return tmp / "Castmill/Update/setup.data"; }

    TempDir tmp;
    LogCapture log;
    SetupCenter center;
    SetupCenter loaded;
};

TEST_F(SetupDataTest, SavedDataLoadsBackWithItsMembersInOrder) {
    save(kManifestUrl, "2.3.4");
    const std::string text = read_file(data_file());
    ASSERT_FALSE(text.empty());
    const auto url_at = text.find("\"manifest_url\"");
    const auto version_at = text.find("\"version\"");
    const auto sign_at = text.find("\"sign\"");
    ASSERT_NE(url_at, std::string::npos);
    EXPECT_LT(url_at, version_at);
    EXPECT_LT(version_at, sign_at);
    EXPECT_NE(sign_at, std::string::npos);

    const neb::CJsonObject json(text);
    std::string sign;
    ASSERT_TRUE(json.get("sign", sign));
    EXPECT_EQ(sign, md5_hex(std::string(kManifestUrl) + "2.3.4" + "qarvin417"));
    EXPECT_EQ(text, castmill::test::text_mode_bytes(json.to_text() + "\n"));
    EXPECT_FALSE(fs::exists(sys::staging_path_of(data_file())));
    EXPECT_TRUE(log.contains("save_setup_data"));

    load_into_fresh_engine();
    EXPECT_EQ(loaded.release().manifest_url(), kManifestUrl);
    EXPECT_EQ(loaded.release().version(), "2.3.4");
    EXPECT_TRUE(log.contains("load setup data: get_app_version failed"));
    EXPECT_TRUE(log.contains(std::string("load setup data. manifest_url:") + kManifestUrl +
                             ", version: 2.3.4"));
}

TEST_F(SetupDataTest, TamperedOrIncompleteDataIsIgnored) {
    save(kManifestUrl, "2.3.4");
    const std::string good = read_file(data_file());
    const std::string edited_version = [&] {
        std::string text = good;
        text.replace(text.find("2.3.4"), 5, "2.3.5");
        return text;
    }();
    const std::string unsigned_data =
        "{\"manifest_url\":\"" + std::string(kManifestUrl) + "\",\"version\":\"2.3.4\"}";
    const std::string signed_without_url =
        "{\"manifest_url\":\"\",\"version\":\"2.3.4\",\"sign\":\"" + setup_data_sign("", "2.3.4") +
        "\"}";
    for (const std::string& text : {edited_version, unsigned_data, signed_without_url,
                                    std::string("{\"manifest_url\":"), std::string()}) {
        SCOPED_TRACE(text);
        write_file(data_file(), text);
        loaded.set_release(Release("1.0.0", "from the update service"));
        load_into_fresh_engine();
        EXPECT_EQ(loaded.release().manifest_url(), "from the update service");
        EXPECT_EQ(loaded.release().version(), "1.0.0");
    }
}

TEST_F(SetupDataTest, UpdatedApplicationSkipsTheStoredManifest) {
    save(kManifestUrl, "2.3.4");
    write_file(tmp / "Castmill/Update/config.json", "{\"gver\": \"2.4.0\"}");
    load_into_fresh_engine();
    EXPECT_TRUE(loaded.release().manifest_url().empty());
    EXPECT_TRUE(loaded.release().version().empty());
    EXPECT_TRUE(
        log.contains("load setup data. the app had updated. new_vesion: 2.4.0, skip load."));

    write_file(tmp / "Castmill/Update/config.json", "{\"gver\": \"2.3.4\", \"other\": 1}");
    load_into_fresh_engine();
    EXPECT_EQ(loaded.release().manifest_url(), kManifestUrl);
    EXPECT_EQ(loaded.release().version(), "2.3.4");
}

TEST_F(SetupDataTest, NothingIsWrittenWithoutAnUpdateFolder) {
    fs::remove_all(tmp / "Castmill/Update");
    save(kManifestUrl, "2.3.4");
    EXPECT_FALSE(fs::exists(tmp / "Castmill/Update"));
    EXPECT_FALSE(log.contains("save_setup_data  error"));

    load_into_fresh_engine();
    EXPECT_TRUE(loaded.release().manifest_url().empty());
}

TEST_F(SetupDataTest, InterruptedWriteLeavesThePreviousFileWhole) {
    save(kManifestUrl, "2.3.4");
    const std::string before = read_file(data_file());
    // A run that died between writing the staging file and renaming it.
    write_file(sys::staging_path_of(data_file()), "{\"manifest_url\": \"https://download.exa");
    EXPECT_EQ(read_file(data_file()), before);
    load_into_fresh_engine();
    EXPECT_EQ(loaded.release().manifest_url(), kManifestUrl);

    save("https://download.example/files/2.5.0/manifest.json", "2.5.0");
    EXPECT_FALSE(fs::exists(sys::staging_path_of(data_file())));
    load_into_fresh_engine();
    EXPECT_EQ(loaded.release().version(), "2.5.0");
}

TEST_F(SetupDataTest, FailedReplaceIsLoggedAndLeavesNoStagingFile) {
    // A folder in the file's place cannot be replaced by a rename, even by root.
    write_file(data_file() / "keep", "x");
    save(kManifestUrl, "2.3.4");
    EXPECT_TRUE(log.contains("save_setup_data  error: "));
    EXPECT_FALSE(fs::exists(sys::staging_path_of(data_file())));
    EXPECT_EQ(read_file(data_file() / "keep"), "x");
}

TEST(ReadAppVersion, ReadsOnlyAStringGver) {
    TempDir tmp;
    std::string version = "stale";
    EXPECT_FALSE(read_app_version(tmp.path(), version));
    EXPECT_EQ(version, "");

    const fs::path config = tmp / "Update/config.json";
    for (const std::string& text : {std::string("{\"gver\": 3}"), std::string("{\"gver\": "),
                                    std::string("[\"gver\"]"), std::string("{}")}) {
        SCOPED_TRACE(text);
        write_file(config, text);
        version = "stale";
        EXPECT_FALSE(read_app_version(tmp.path(), version));
        EXPECT_EQ(version, "");
    }
    write_file(config, "{\"gver\": \"3.1.0\", \"channel\": \"beta\"}");
    EXPECT_TRUE(read_app_version(tmp.path(), version));
    EXPECT_EQ(version, "3.1.0");
}

// The cache and the suite root are process-wide: each case runs in its own child process.
TEST(AppVersion, WithoutASuiteIsTheDefaultAndStaysCached) {
    TempDir tmp;
    const fs::path outside = tmp / "elsewhere";
    fs::create_directories(outside);
    EXPECT_TRUE(run_in_child_process([&] {
        fs::current_path(outside);
        EXPECT_EQ(app_version(true), "");
        EXPECT_EQ(app_version(false), "1.0.0");
        // A suite appearing later is not read again.
        fs::create_directories(outside / "velora_cam");
        fs::create_directories(outside / "VeloraBrowser");
        write_file(outside / "Update/config.json", "{\"gver\": \"7.0.1\"}");
        EXPECT_EQ(app_version(false), "1.0.0");
        EXPECT_EQ(app_version(true), "1.0.0");
    }));
}

TEST(AppVersion, ReadsGverOfTheSuiteAroundTheCurrentDirectory) {
    TempDir tmp;
    const fs::path root = tmp / "suite";
    fs::create_directories(root / "velora_cam");
    fs::create_directories(root / "VeloraBrowser/Browser");
    write_file(root / "Update/config.json", "{\"gver\": \"7.0.1\"}");
    EXPECT_TRUE(run_in_child_process([&] {
        fs::current_path(root / "VeloraBrowser/Browser");
        EXPECT_EQ(app_version(false), "7.0.1");
        write_file(root / "Update/config.json", "{\"gver\": \"7.0.2\"}");
        EXPECT_EQ(app_version(false), "7.0.1");
    }));
    write_file(root / "Update/config.json", "{\"gver\": 7}");
    EXPECT_TRUE(run_in_child_process([&] {
        fs::current_path(root);
        EXPECT_EQ(app_version(false), "1.0.0");
    }));
}

}  // namespace
}  // namespace velora::st
