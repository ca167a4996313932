// The real `setup` executable, offscreen, against the local distribution server, started the
// way the suite starts it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "app/startup.h"
#include "support/dist_server.h"
#include "support/program_run.h"
#include "support/sample_suite.h"
#include "support/test_env.h"
#include "sys/named_mutex.h"

namespace {

namespace fs = std::filesystem;
namespace test = castmill::test;
using namespace std::chrono_literals;

using test::file_tree;

// The event codes the log service accepted, in order.
std::vector<std::string> events(const test::DistServer& server) {
    std::vector<std::string> codes;
    for (const auto& report : server.reports()) {
        codes.push_back(report["fields"].value("logNo", std::string()));
    }
    return codes;
}

// Runs a program with the given folder as its current directory, as the suite does.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const fs::path& dir) : old_(fs::current_path()) {
        fs::current_path(dir);
    }
    ~CurrentDirectory() { fs::current_path(old_); }

private:
    fs::path old_;
};

class SetupProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::make_sample_suite(dir / "suite", "2.0.0");
        test::add_sample_key_file(dir / "suite");
        release = test::publish_release(dir / "suite", "2.0.0", dir / "release");
        test::make_sample_suite(installed(), "1.0.0");
        test::add_sample_key_file(installed());
        test::DistServerOptions options;
        options.release = release;
        options.app_id = test::kSampleAppId;
        options.app_secret = test::kSampleAppSecret;
        server = std::make_unique<test::DistServer>(options);
        server->set_host_environment();
    }

    fs::path installed() const { return dir / "install/Castmill"; }
    fs::path marker() const { return dir / "install/Chromium/started.txt"; }

    // setup "<setup>;--install_dir=<dir>/install;--modules=3", offscreen, no exit pause.
    test::ProgramRun run_setup() {
        const fs::path setup = test::bin_dir() / "setup";
        CurrentDirectory cwd(installed());
        return test::run_program(
            setup,
            {"--exit-pause-ms=0",
             setup.string() + ";--install_dir=" + (dir / "install").string() + ";--modules=3"},
            {.env = {{"QT_QPA_PLATFORM", "offscreen"}}});
    }

    // The application is started without waiting for it, so its marker may come a little
    // after setup has ended.
    bool application_started() const {
        for (int i = 0; i < 200 && !fs::exists(marker()); ++i) std::this_thread::sleep_for(50ms);
        return fs::exists(marker());
    }

    test::TempDir dir;
    fs::path release;
    std::unique_ptr<test::DistServer> server;
};

TEST_F(SetupProgramTest, ModuleUpdateInstallsStartsTheApplicationAndReportsEachStage) {
    const auto run = run_setup();
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("start ....\n"), std::string::npos);

    // Every file of the release, with the new content; the installer copied itself in.
    const auto wanted = file_tree(dir / "suite");
    const auto got = file_tree(installed());
    for (const auto& [path, content] : wanted) {
        const auto found = got.find(path);
        ASSERT_NE(found, got.end()) << path;
        EXPECT_EQ(found->second, content) << path;
    }
    EXPECT_FALSE(fs::exists(dir / "install/Castmill.deleteme"));
    EXPECT_TRUE(fs::is_regular_file(installed() / "VeloraBrowser/Browser/chrome.exe"));
    EXPECT_EQ(fs::status(installed() / "VeloraBrowser/Browser/chrome.exe").permissions() &
                  fs::perms::owner_exec,
              fs::perms::owner_exec);

    ASSERT_TRUE(application_started());
    EXPECT_NE(test::read_file(marker()).find("--user-data-dir="), std::string::npos);

    const auto codes = events(*server);
    std::vector<std::string> stages;
    for (const auto& code : codes) {
        if (code == "I9100" || code == "I9103" || code == "I9104" || code == "I9105") {
            stages.push_back(code);
        }
    }
    EXPECT_EQ(stages, (std::vector<std::string>{"I9100", "I9103", "I9104", "I9105"}))
        << testing::PrintToString(codes);
}

TEST_F(SetupProgramTest, SecondInstanceEndsWithMinusOneAndTouchesNothing) {
    // The first installer's guard, held here as the running installer would hold it.
    auto first = velora::sys::NamedMutex::create_owned(velora::st::kAdminMutexName);
    ASSERT_TRUE(first);
    const auto before = file_tree(installed());

    const auto run = run_setup();
    EXPECT_EQ(run.exit_code, 255);  // -1 as the system passes it on
    EXPECT_NE(run.out.find("report error: OpenMutex error\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("start ...."), std::string::npos);
    EXPECT_EQ(file_tree(installed()), before);
    EXPECT_EQ(server->count_requests(test::DistServer::kVersionPath), 0);
    EXPECT_FALSE(fs::exists(marker()));

    // Once the first one has gone, the next start runs.
    first.reset();
    EXPECT_EQ(run_setup().exit_code, 0);
}

TEST_F(SetupProgramTest, StartFailuresEndBeforeTheWindow) {
    test::write_file(dir / "plain", "a file where the install folder should go");
    const fs::path setup = test::bin_dir() / "setup";
    auto run = test::run_program(
        setup, {"--exit-pause-ms=0", "s;--install_dir=" + (dir / "plain").string()},
        {.env = {{"QT_QPA_PLATFORM", "offscreen"}}});
    EXPECT_EQ(run.exit_code, 254);  // -2
    run = test::run_program(setup, {"--exit-pause-ms=0", "s;--modules=3"},
                            {.env = {{"QT_QPA_PLATFORM", "offscreen"},
                                     {"HOME", std::nullopt},
                                     {"XDG_DATA_HOME", std::nullopt}}});
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(server->count_requests(test::DistServer::kVersionPath), 0);
}

}  // namespace
