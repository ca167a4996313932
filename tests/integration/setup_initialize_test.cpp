#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "base/crypto.h"
#include "layout/launch_options.h"
#include "layout/modules.h"
#include "layout/paths.h"
#include "report/log_key.h"
#include "report/report_client.h"
#include "setup/setup_center.h"
#include "support/dist_server.h"
#include "support/fast_timings.h"
#include "support/log_capture.h"
#include "support/program_run.h"
#include "support/release_builder.h"
#include "support/test_env.h"
#include "sys/folders.h"

namespace castmill::test {
namespace {

namespace fs = std::filesystem;
using velora::st::FileEntry;
using velora::st::LaunchOptions;
using velora::st::SetupCenter;

class SetupInitialize : public ::testing::Test {
protected:
    void SetUp() override {
        release_.add_sample_suite();
        release_.publish("2.3.4");
    }

    DistServer& serve(DistServerOptions options = {}) {
        options.release = release_.release_dir();
        server_ = std::make_unique<DistServer>(options);
        server_->set_host_environment();
        return *server_;
    }

    int initialize(SetupCenter& center, int modules, std::string& message) {
        LaunchOptions options;
        options.install_dir = dir_ / "Castmill";
        options.setup_source = dir_ / "setup.exe";
        options.modules = modules;
        return center.initialize(options, message);
    }

    // Path -> hash of every entry the engine means to install.
    static std::map<std::string, std::string> planned(const SetupCenter& center) {
        std::map<std::string, std::string> paths;
        for (const auto& [module, list] : center.plan().install_lists) {
            for (const FileEntry& entry : list) {
                EXPECT_EQ(velora::st::module_of_path(entry.filePath), module) << entry.filePath;
                paths[entry.filePath] = entry.hash;
            }
        }
        return paths;
    }

    TempDir dir_;
    ReleaseBuilder release_{dir_.path()};
    std::unique_ptr<DistServer> server_;
};

TEST_F(SetupInitialize, ModuleFlagsSelectExactlyTheirFiles) {
    DistServer& server = serve();
    for (int flags : {1, 2, 3, 4}) {
        SCOPED_TRACE(flags);
        SetupCenter center(fast_timings());
        std::string message;
        ASSERT_EQ(initialize(center, flags, message), 0) << message;
        EXPECT_EQ(message, "");
        EXPECT_EQ(center.release().version(), "2.3.4");
        EXPECT_EQ(center.release().manifest_url(), server.manifest_url());
        EXPECT_EQ(center.release().base_url(), server.release_url());

        std::map<std::string, std::string> expected;
        int64_t bytes = 0;
        for (const auto& [path, content] : release_.files_of(flags)) {
            expected[path] = md5_hex(content);
            bytes += static_cast<int64_t>(content.size());
        }
        EXPECT_EQ(planned(center), expected);
        std::map<std::string, std::string> queued;
        for (const FileEntry& entry : center.plan().queue) queued[entry.filePath] = entry.hash;
        EXPECT_EQ(queued, expected);
        EXPECT_EQ(center.plan().queued_count(), expected.size());
        EXPECT_EQ(center.plan().total_bytes, bytes);
        EXPECT_EQ(center.plan().present_bytes, 0);
        EXPECT_EQ(center.plan().remaining_bytes(), bytes);
        // The archiver under VeloraOBS belongs to the application, not to the plug-in.
        EXPECT_EQ(expected.count("VeloraOBS/7z/7z.exe"), (flags & 1) ? 1u : 0u);
        EXPECT_EQ(expected.count("VeloraOBS/bin/64bit/obs64.exe"), (flags & 2) ? 1u : 0u);
    }
}

TEST_F(SetupInitialize, UnknownPathsAreLoggedAndSkipped) {
    release_.add("Other/readme.txt", "not part of any module");
    release_.publish("2.3.4");
    serve();
    LogCapture log;
    SetupCenter center(fast_timings());
    std::string message;
    ASSERT_EQ(initialize(center, 7, message), 0) << message;
    EXPECT_TRUE(log.contains("unkonwn file module[Other/readme.txt]")) << log.text();
    EXPECT_EQ(planned(center).count("Other/readme.txt"), 0u);
    EXPECT_EQ(center.plan().queued_count(), release_.files().size() - 1);
}

TEST_F(SetupInitialize, VersionAnswerDecidesWhetherAndWhatToInstall) {
    serve();
    struct Case {
        nlohmann::json answer;
        int module_result;
        std::string message;
        std::string version;  // after a successful module-mode start
    };
    const std::string url = server_->manifest_url();
    const std::vector<Case> cases{
        {{{"hasUpdate", false}, {"version", "2.3.4"}, {"url", url}},
         902,
         "service has stopped",
         ""},
        {{{"hasUpdate", true}, {"url", url}}, 0, "", "1.0.0"},
        {{{"hasUpdate", "false"}, {"version", 7}, {"url", url}}, 0, "", "1.0.0"},
        {{{"version", "2.3.4"}}, 902, "server data error", ""},
        {{{"version", "2.3.4"}, {"url", 5}}, 902, "server data error", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer.dump());
        release_.set_version_answer(c.answer);
        SetupCenter module_mode(fast_timings());
        std::string message;
        EXPECT_EQ(initialize(module_mode, 3, message), c.module_result);
        EXPECT_EQ(message, c.message);
        if (c.module_result == 0) {
            EXPECT_EQ(module_mode.release().version(), c.version);
        }

        // The full package does not depend on the update service: it always starts.
        SetupCenter full(fast_timings());
        EXPECT_EQ(initialize(full, 0, message), 0);
        if (c.module_result != 0) {
            EXPECT_EQ(full.release().version(), "1.0.0");
        }
        EXPECT_EQ(full.download_dir(), velora::st::download_base());
        EXPECT_TRUE(fs::is_directory(full.download_dir()));
        EXPECT_TRUE(full.plan().install_lists.empty());
    }

    server_->add_fault({.path = DistServer::kVersionPath, .body = "<html>busy</html>"});
    SetupCenter center(fast_timings());
    std::string message;
    EXPECT_EQ(initialize(center, 3, message), 900);
    EXPECT_EQ(message, "server version info error");

    // An error status is the server's failure, retried, not a document to read.
    server_->clear_faults();
    server_->add_fault({.path = DistServer::kVersionPath, .status = 503});
    server_->clear_requests();
    SetupCenter unavailable(fast_timings());
    EXPECT_EQ(initialize(unavailable, 3, message), 2100 + 103);
    EXPECT_EQ(message, "request version info failed: server answered 503");
    EXPECT_EQ(server_->count_requests(DistServer::kVersionPath), 3);
}

TEST_F(SetupInitialize, UnusableManifestsFailBeforeAnythingIsPlanned) {
    serve();
    const nlohmann::json good = release_.manifest();
    auto with_entry = [&](const std::string& path, const std::string& hash, int64_t size = 4) {
        nlohmann::json manifest = good;
        manifest["fileList"].push_back({{"filePath", path}, {"hash", hash}, {"fileSize", size}});
        return manifest;
    };
    const int64_t max_size = std::numeric_limits<int64_t>::max();
    const std::string long_name(256, 'h');
    struct Case {
        nlohmann::json manifest;
        int result;
        std::string message;
    };
    const std::vector<Case> cases{
        {{{"fileList", nlohmann::json::array()}}, 902, "manifest fileList missing"},
        {{{"fileList", {{"filePath", "a"}}}}, 902, "manifest fileList missing"},
        {{{"files", good["fileList"]}}, 902, "manifest fileList missing"},
        {with_entry("VeloraOBS/../../../etc/profile", "0cc175b9c0f1b6a831c399e269772661"), 902,
         "manifest file path unsafe: VeloraOBS/../../../etc/profile"},
        {with_entry("/etc/profile", "0cc175b9c0f1b6a831c399e269772661"), 902,
         "manifest file path unsafe: /etc/profile"},
        {with_entry("Connect/x.dll", "../../outside"), 902,
         "manifest file hash unsafe: ../../outside (Connect/x.dll)"},
        {{{"fileList", {{{"filePath", "Connect/x.dll"}, {"hash", "abc"}, {"fileSize", -5}}}}},
         902,
         "manifest file size invalid: -5 (Connect/x.dll)"},
        // Sizes the byte totals cannot hold, whichever entry tips them over.
        {with_entry("Connect/x.dll", "abc", max_size), 902,
         "manifest file sizes too large to add up: 9223372036854775807 (Connect/x.dll)"},
        {{{"fileList",
           {{{"filePath", "Connect/x.dll"}, {"hash", "abc"}, {"fileSize", max_size}},
            {{"filePath", "Connect/y.dll"}, {"hash", "abd"}, {"fileSize", 1}}}}},
         902,
         "manifest file sizes too large to add up: 1 (Connect/y.dll)"},
        // Names no file system takes: refused before the download folder is asked about them.
        {with_entry("Connect/x.dll", long_name), 902,
         "manifest file hash too long for a file name: 256 bytes (Connect/x.dll)"},
        {with_entry("Connect/" + long_name, "abc"), 902,
         "manifest file path unsafe: Connect/" + long_name},
        // A bad entry of a module that is not selected still fails the manifest.
        {with_entry("velora_cam/../../x", "0cc175b9c0f1b6a831c399e269772661"), 902,
         "manifest file path unsafe: velora_cam/../../x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.manifest.dump());
        release_.set_manifest(c.manifest);
        SetupCenter center(fast_timings());
        std::string message;
        EXPECT_EQ(initialize(center, 2, message), c.result);
        EXPECT_EQ(message, c.message);
        EXPECT_TRUE(center.plan().queue.empty());
        EXPECT_TRUE(center.plan().install_lists.empty());
    }

    // Elements without a path or hash, or that are no objects, are passed over.
    nlohmann::json sparse = good;
    sparse["fileList"].push_back({{"filePath", "Connect/x.dll"}});
    sparse["fileList"].push_back({{"filePath", ""}, {"hash", "abc"}});
    sparse["fileList"].push_back("Connect/y.dll");
    release_.set_manifest(sparse);
    SetupCenter center(fast_timings());
    std::string message;
    EXPECT_EQ(initialize(center, 4, message), 0) << message;
    EXPECT_EQ(planned(center).size(), release_.files_of(4).size());

    write_file(release_.release_dir() / "manifest.json", "{\"fileList\": [");
    SetupCenter broken(fast_timings());
    EXPECT_EQ(initialize(broken, 4, message), 900);
    EXPECT_EQ(message, "server manifest error");
}

TEST_F(SetupInitialize, SizesBeyondTwoGibibytesAreCountedWhole) {
    serve();
    const int64_t big = 3000000000;
    release_.set_manifest({{"fileList",
                            {{{"filePath", "Connect/a.bin"}, {"hash", "a"}, {"fileSize", big}},
                             {{"filePath", "Connect/b.bin"}, {"hash", "b"}, {"fileSize", big}}}}});
    SetupCenter center(fast_timings());
    std::string message;
    ASSERT_EQ(initialize(center, 4, message), 0) << message;
    EXPECT_EQ(center.plan().total_bytes, 2 * big);
    EXPECT_EQ(center.plan().remaining_bytes(), 2 * big);
    EXPECT_EQ(center.plan().install_lists.at(4)[1].fileSize, big);
}

TEST_F(SetupInitialize, RequestsAreTriedThreeTimes) {
    DistServer& server = serve();
    const std::string manifest_path = server.release_path_of("manifest.json");
    server.cut_after(manifest_path, 0, 2);
    {
        SetupCenter center(fast_timings());
        std::string message;
        EXPECT_EQ(initialize(center, 4, message), 0) << message;
        EXPECT_EQ(server.count_requests(manifest_path), 3);
    }
    server.clear_requests();
    server.cut_after(manifest_path, 0, 3);
    {
        SetupCenter center(fast_timings());
        std::string message;
        EXPECT_EQ(initialize(center, 4, message), 18);  // CURLE_PARTIAL_FILE
        EXPECT_EQ(message, "request manifest failed");
        EXPECT_EQ(server.count_requests(manifest_path), 3);
    }

    // Nothing listens on port 1.
    setenv("CASTMILL_UPDATE_HOST", "http://127.0.0.1:1", 1);
    SetupCenter module_mode(fast_timings());
    std::string message;
    EXPECT_EQ(initialize(module_mode, 4, message), 7);  // CURLE_COULDNT_CONNECT
    EXPECT_EQ(message, "request version info failed");
    SetupCenter full(fast_timings());
    EXPECT_EQ(initialize(full, 0, message), 0);
    EXPECT_EQ(full.release().version(), "1.0.0");
}

TEST_F(SetupInitialize, AServiceThatNeverAnswersFailsEachAttemptAtTheStallLimit) {
    DistServer& server = serve();
    velora::st::SetupTimings timings = fast_timings();
    timings.stall = {1000, 1};
    server.delay(DistServer::kVersionPath, std::chrono::minutes(1), 3);
    {
        SetupCenter center(timings);
        std::string message;
        EXPECT_EQ(initialize(center, 4, message), 28);  // CURLE_OPERATION_TIMEDOUT
        EXPECT_EQ(message, "request version info failed");
    }
    // The manifest likewise; the third attempt outlasts a server silent for two.
    server.delay(server.release_path_of("manifest.json"), std::chrono::minutes(1), 2);
    SetupCenter center(timings);
    std::string message;
    EXPECT_EQ(initialize(center, 4, message), 0) << message;
    EXPECT_FALSE(center.plan().queue.empty());
}

TEST_F(SetupInitialize, DownloadDirectoryFollowsTheManifestVersion) {
    const fs::path installer = *velora::sys::temp_directory() / "castmill" / "installer";
    {
        DistServer& server = serve();
        const std::string etag = http_head(server.manifest_url()).headers.at("etag");
        SetupCenter first(fast_timings());
        SetupCenter second(fast_timings());
        std::string message;
        ASSERT_EQ(initialize(first, 4, message), 0) << message;
        ASSERT_EQ(initialize(second, 4, message), 0) << message;
        EXPECT_EQ(first.download_dir(), installer / md5_hex(server.manifest_url() + "_" + etag));
        EXPECT_EQ(second.download_dir(), first.download_dir());
        EXPECT_TRUE(fs::is_directory(first.download_dir()));

        release_.add("Connect/new.dll", "new");
        release_.publish("2.3.5");
        SetupCenter next(fast_timings());
        ASSERT_EQ(initialize(next, 4, message), 0) << message;
        EXPECT_NE(next.download_dir(), first.download_dir());
    }
    // Without an ETag a digits-only folder of the manifest URL identifies the version.
    DistServerOptions options;
    options.release_path = "/files/apps/castmill/update/20261208";
    DistServer& server = serve(options);
    FaultRule no_etag;
    no_etag.path = server.release_path_of("manifest.json");
    no_etag.no_etag = true;
    server.add_fault(no_etag);
    SetupCenter center(fast_timings());
    std::string message;
    ASSERT_EQ(initialize(center, 4, message), 0) << message;
    EXPECT_EQ(center.download_dir(), installer / md5_hex(server.manifest_url() + "_20261208"));
}

TEST_F(SetupInitialize, TheStartIsReportedWithTheEventOfItsMode) {
    DistServerOptions options;
    options.app_id = "a1b2c3d4e5f6a7b8";
    options.app_secret = "0f1e2d3c4b5a6978";
    DistServer& server = serve(options);
    // The report key is found in the suite around the current directory.
    const fs::path root = dir_ / "Castmill";
    fs::create_directories(root / "velora_cam");
    fs::create_directories(root / "VeloraBrowser");
    write_file(root / "VeloraOBS/log-upload/log.key",
               make_log_key({{"2.3.4", {options.app_id, options.app_secret}}}));

    for (int modules : {3, 0}) {
        EXPECT_TRUE(run_in_forked_child([&] {
            ASSERT_EQ(chdir(root.c_str()), 0);
            SetupCenter center(fast_timings());
            center.set_event_sink(&setup_reports());
            std::string message;
            ASSERT_EQ(initialize(center, modules, message), 0) << message;
            blog_reporter().stop();
        }));
    }
    const auto reports = server.reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0]["fields"].value("logNo", ""), "I9100");
    EXPECT_EQ(reports[0]["fields"].value("text", ""), "start setup.exe[1.0.5]. module: 3");
    EXPECT_EQ(reports[0]["fields"].value("version", ""), "2.3.4");
    EXPECT_EQ(reports[1]["fields"].value("logNo", ""), "I9200");
    EXPECT_EQ(reports[1]["fields"].value("text", ""), "start setup.exe[1.0.5]. module: 0");
}

}  // namespace
}  // namespace castmill::test
