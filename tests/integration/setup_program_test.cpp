// The real `setup` executable, offscreen, against the local distribution server, started the
// way the suite starts it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "app/startup.h"
#include "support/dist_server.h"
#include "support/program_run.h"
#include "support/test_env.h"
#include "sys/named_mutex.h"

namespace {

namespace fs = std::filesystem;
namespace test = castmill::test;
using namespace std::chrono_literals;

constexpr const char* kAppId = "castmill-e2e";
constexpr const char* kAppSecret = "e2e-secret";

// A small suite of one version in the suite's own folders.
void make_suite(const fs::path& dir, const std::string& version) {
    fs::create_directories(dir / "VeloraBrowser/Browser");
    fs::copy_file(test::test_programs_dir() / "demo_app", dir / "VeloraBrowser/Browser/chrome.exe");
    for (int i = 0; i < 12; ++i) {
        const std::string n = std::to_string(i);
        test::write_file(dir / ("VeloraBrowser/Browser/locales/l" + n + ".pak"),
                         std::string(1000 + 37 * i, static_cast<char>('a' + i)) + version);
        test::write_file(dir / ("velora_cam/cam" + n + ".dat"), "camera " + n + " " + version);
        test::write_file(dir / ("VeloraOBS/bin/64bit/mod" + n + ".dll"),
                         std::string(20000 + 311 * i, static_cast<char>('A' + i)) + version);
        test::write_file(dir / ("dist/part" + n + ".js"), "part " + n + " of " + version);
    }
    test::write_file(dir / "Update/config.json", "{\"gver\":\"" + version + "\"}");
}

// Writes log.key with the test credentials into the suite's log-upload folder.
void add_key_file(const fs::path& suite) {
    fs::create_directories(suite / "VeloraOBS/log-upload");
    const auto run =
        test::run_program(test::bin_dir() / "logkey",
                          {"--out", (suite / "VeloraOBS/log-upload/log.key").string(), "--entry",
                           "1.0.0", kAppId, kAppSecret, "--entry", "2.0.0", kAppId, kAppSecret});
    ASSERT_EQ(run.exit_code, 0) << run.err;
}

// The regular files below a folder, by relative path.
std::map<std::string, std::string> tree(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file()) {
            files[fs::relative(entry.path(), dir).generic_string()] = test::read_file(entry.path());
        }
    }
    return files;
}

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
        make_suite(dir / "suite", "2.0.0");
        add_key_file(dir / "suite");
        release = test::publish_release(dir / "suite", "2.0.0", dir / "release");
        make_suite(installed(), "1.0.0");
        add_key_file(installed());
        test::DistServerOptions options;
        options.release = release;
        options.app_id = kAppId;
        options.app_secret = kAppSecret;
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
    const auto wanted = tree(dir / "suite");
    const auto got = tree(installed());
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
    const auto before = tree(installed());

    const auto run = run_setup();
    EXPECT_EQ(run.exit_code, 255);  // -1 as the system passes it on
    EXPECT_NE(run.out.find("report error: OpenMutex error\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("start ...."), std::string::npos);
    EXPECT_EQ(tree(installed()), before);
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
