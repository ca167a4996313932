// The real `setup` executable against the local distribution server, started the way the
// suite starts it: with its window offscreen, and unattended.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

#include "app/startup.h"
#include "layout/paths.h"
#include "support/child_process.h"
#include "support/dist_server.h"
#include "support/program_run.h"
#include "support/release_builder.h"
#include "support/sample_suite.h"
#include "support/scoped_env.h"
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
        test::make_sample_suite(installed(), "1.0.0");
        test::add_sample_key_file(installed());
        serve_release();
    }

    // Publishes dir/suite as version 2.0.0, signed with the test key the build pins, and
    // serves it. The signed version answer names the server's own manifest URL; extra:
    // further publish arguments.
    void serve_release(const std::vector<std::string>& extra = {}) {
        server.reset();
        fs::remove_all(dir / "release");
        server = test::serve_sample_release(dir.path(), extra);
    }

    fs::path installed() const { return dir / "install/Castmill"; }
    fs::path marker() const { return dir / "install/Chromium/started.txt"; }

    // "<setup>;--install_dir=<dir>/install;--modules=3" and the extra tokens.
    std::string command_line(const std::string& extra_tokens = "") const {
        return setup().string() + ";--install_dir=" + (dir / "install").string() + ";--modules=3" +
               extra_tokens;
    }
    static fs::path setup() { return test::bin_dir() / "setup"; }

    // setup with the command line, offscreen, no exit pause.
    test::ProgramRun run_setup(const std::string& extra_tokens = "") {
        CurrentDirectory cwd(installed());
        return test::run_program(setup(), {"--exit-pause-ms=0", command_line(extra_tokens)},
                                 {.env = {{"QT_QPA_PLATFORM", "offscreen"}}});
    }

    // setup with the unattended command line and no display at all: a window would fail.
    test::ProgramRun run_unattended(const std::string& extra_tokens = "") {
        CurrentDirectory cwd(installed());
        return test::run_program(setup(),
                                 {"--exit-pause-ms=0", command_line(";--silent" + extra_tokens)},
                                 {.env = {{"QT_QPA_PLATFORM", std::nullopt},
                                          {"DISPLAY", std::nullopt},
                                          {"WAYLAND_DISPLAY", std::nullopt}}});
    }

    // The application is started without waiting for it, so its marker may come a little
    // after setup has ended.
    bool application_started() const {
        for (int i = 0; i < 200 && !fs::exists(marker()); ++i) std::this_thread::sleep_for(50ms);
        return fs::exists(marker());
    }

    // Every file of the release, with the new content, and nothing left of the old tree.
    void expect_release_installed() const {
        const auto wanted = file_tree(dir / "suite");
        const auto got = file_tree(installed());
        for (const auto& [path, content] : wanted) {
            const auto found = got.find(path);
            ASSERT_NE(found, got.end()) << path;
            EXPECT_EQ(found->second, content) << path;
        }
        EXPECT_FALSE(fs::exists(dir / "install/Castmill.deleteme"));
        EXPECT_EQ(fs::status(installed() / "VeloraBrowser/Browser/chrome.exe").permissions() &
                      fs::perms::owner_exec,
                  fs::perms::owner_exec);
    }

    // The stage events among the reports: start, downloaded, installed, application started.
    std::vector<std::string> stage_events() const {
        std::vector<std::string> stages;
        for (const auto& code : events(*server)) {
            if (code == "I9100" || code == "I9103" || code == "I9104" || code == "I9105") {
                stages.push_back(code);
            }
        }
        return stages;
    }

    test::TempDir dir;
    std::unique_ptr<test::DistServer> server;
};

TEST_F(SetupProgramTest, ModuleUpdateInstallsStartsTheApplicationAndReportsEachStage) {
    const auto run = run_setup();
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("start ....\n"), std::string::npos);
    expect_release_installed();

    ASSERT_TRUE(application_started());
    EXPECT_NE(test::read_file(marker()).find("--user-data-dir="), std::string::npos);
    EXPECT_EQ(stage_events(), (std::vector<std::string>{"I9100", "I9103", "I9104", "I9105"}))
        << testing::PrintToString(events(*server));
}

TEST_F(SetupProgramTest, SecondInstanceOnTheFolderEndsWithMinusOneAndTouchesNothing) {
    // The first installer's guard, held here as an installer of another login session (its
    // own runtime and temporary folders) would hold it.
    std::unique_ptr<velora::sys::NamedMutex> first;
    {
        test::ScopedEnv session;
        session.set("XDG_RUNTIME_DIR", (dir / "other-session").string());
        session.set("TMPDIR", (dir / "other-session").string());
        fs::create_directories(dir / "other-session");
        first = velora::sys::NamedMutex::create_owned(velora::st::kAdminMutexName, installed());
    }
    ASSERT_TRUE(first);
    const auto before = file_tree(installed());

    const auto run = run_setup();
    EXPECT_EQ(run.exit_code, 255);  // -1 as the system passes it on
    // The window's user is told in a window; standard output stays clean. Unattended, the
    // console is where it is said.
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run_unattended().out.find("report error: OpenMutex error\n"), std::string::npos);
    EXPECT_EQ(file_tree(installed()), before);
    EXPECT_EQ(server->count_requests(test::DistServer::kVersionPath), 0);
    EXPECT_FALSE(fs::exists(marker()));

    // An installer of another folder runs meanwhile.
    const auto elsewhere = test::run_program(
        setup(),
        {"--exit-pause-ms=0", setup().string() + ";--install_dir=" + (dir / "elsewhere").string() +
                                  ";--modules=3;--silent;--no-launch"});
    EXPECT_NE(elsewhere.out.find("start ...."), std::string::npos) << elsewhere.out;

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

// One progress line of an unattended run.
struct ProgressLine {
    std::string status;
    int percent = 0;
    long long done = 0;
    long long total = 0;
    std::string remaining;
};

std::vector<ProgressLine> progress_lines(const std::string& out) {
    static const std::regex line(
        R"(^(checking|downloading|installing|done) (\d+)% (\d+)/(\d+) bytes, ([-:0-9]+) remaining$)");
    std::vector<ProgressLine> lines;
    std::istringstream in(out);
    for (std::string text; std::getline(in, text);) {
        std::smatch m;
        if (!std::regex_match(text, m, line)) continue;
        lines.push_back({m[1], std::stoi(m[2]), std::stoll(m[3]), std::stoll(m[4]), m[5]});
    }
    return lines;
}

TEST_F(SetupProgramTest, UnattendedUpdateInstallsReportsProgressAndStartsTheApplication) {
    const auto run = run_unattended();
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    expect_release_installed();
    ASSERT_TRUE(application_started());
    EXPECT_NE(test::read_file(marker()).find("--user-data-dir="), std::string::npos);
    EXPECT_EQ(stage_events(), (std::vector<std::string>{"I9100", "I9103", "I9104", "I9105"}))
        << testing::PrintToString(events(*server));

    // A line for each stage, in order, and the last one says it is all there.
    const auto lines = progress_lines(run.out);
    ASSERT_GE(lines.size(), 4u) << run.out;
    EXPECT_EQ(lines.front().status, "checking");
    std::vector<std::string> order;
    int last_download_percent = 0;
    for (const auto& line : lines) {
        if (order.empty() || order.back() != line.status) order.push_back(line.status);
        EXPECT_LE(line.done, line.total) << run.out;
        if (line.status == "downloading") {
            EXPECT_GE(line.percent, last_download_percent) << run.out;
            last_download_percent = line.percent;
        }
    }
    EXPECT_EQ(order, (std::vector<std::string>{"checking", "downloading", "installing", "done"}))
        << run.out;
    EXPECT_EQ(lines.back().percent, 100);
    EXPECT_GT(lines.back().total, 0);
    EXPECT_EQ(lines.back().done, lines.back().total);
    EXPECT_EQ(lines.back().remaining, "0:00");
    EXPECT_EQ(run.err.find("failed:"), std::string::npos) << run.err;
}

// The report client's transfers are traced to the log only, and its token never shows.
TEST_F(SetupProgramTest, UnattendedConsoleShowsNoTraceAndNoToken) {
    const auto run = run_unattended(";--no-launch");
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    const auto reports = server->reports();
    ASSERT_FALSE(reports.empty());
    const std::string token = reports.front().value("ltoken", std::string());
    ASSERT_FALSE(token.empty());
    for (const std::string& console : {run.out, run.err}) {
        EXPECT_EQ(console.find(token), std::string::npos) << console;
        EXPECT_EQ(console.find("ltoken"), std::string::npos) << console;
        EXPECT_EQ(console.find("== Info:"), std::string::npos) << console;
        EXPECT_EQ(console.find("=> Send header"), std::string::npos) << console;
    }
    // The trace is in the log, for support, with the token hidden.
    std::string log;
    for (const auto& entry : fs::directory_iterator(velora::st::log_directory()))
        log += test::read_file(entry.path());
    EXPECT_NE(log.find("ltoken:<hidden>"), std::string::npos);
    EXPECT_EQ(log.find(token), std::string::npos);
}

TEST_F(SetupProgramTest, UnattendedRunWithoutLaunchLeavesTheApplicationAlone) {
    const auto run = run_unattended(";--no-launch");
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    expect_release_installed();
    EXPECT_EQ(stage_events(), (std::vector<std::string>{"I9100", "I9103", "I9104"}));
    EXPECT_FALSE(fs::exists(marker()));
}

TEST_F(SetupProgramTest, UnattendedRunThatCannotReachTheUpdateServiceFailsWithTwo) {
    server->fail_next(test::DistServer::kVersionPath, 500, -1);
    const auto before = file_tree(installed());
    const auto run = run_unattended();
    EXPECT_EQ(run.exit_code, 2) << run.out << run.err;
    EXPECT_NE(run.err.find("failed: code:"), std::string::npos) << run.err;
    EXPECT_EQ(file_tree(installed()), before);
    const auto codes = events(*server);
    EXPECT_NE(std::find(codes.begin(), codes.end(), "I9101"), codes.end())
        << testing::PrintToString(codes);
}

// Started without module flags, setup fetches the suite's full installer and runs it: the
// download is a program on this system too.
TEST_F(SetupProgramTest, FullPackageModeDownloadsAndRunsTheInstaller) {
    serve_release({"--full-package", test::test_program("fake_full_installer").string()});
    const fs::path args = dir / "installer-args";
    CurrentDirectory cwd(installed());
    const auto run = test::run_program(
        setup(),
        {"--exit-pause-ms=0", setup().string() + ";--install_dir=" + (dir / "install").string() +
                                  ";--silent;--no-launch"},
        {.env = {{"QT_QPA_PLATFORM", std::nullopt},
                 {"DISPLAY", std::nullopt},
                 {"WAYLAND_DISPLAY", std::nullopt},
                 {"CASTMILL_FAKE_TREE", installed().string()},
                 {"CASTMILL_FAKE_ARGS", args.string()}}});
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    EXPECT_EQ(test::read_file(args), "/S\n");
    EXPECT_EQ(test::read_file(installed() / "full-install.txt"), "written by the full installer\n");
    const auto codes = events(*server);
    EXPECT_NE(std::find(codes.begin(), codes.end(), "I9204"), codes.end())
        << testing::PrintToString(codes);
    // The signed answer names its size: no header request before the file.
    EXPECT_EQ(server->count_requests(test::DistServer::kFullPackagePath), 1);
}

// A full installer other than the signed one, an endless one, or one the answer does not
// name (no valid signed answer) never runs: exit 2, and nothing was started.
TEST_F(SetupProgramTest, FullInstallerNotAsSignedIsNeverStarted) {
    serve_release({"--full-package", test::test_program("fake_full_installer").string()});
    const auto run_full = [&] {
        CurrentDirectory cwd(installed());
        return test::run_program(
            setup(),
            {"--exit-pause-ms=0", setup().string() + ";--install_dir=" +
                                      (dir / "install").string() + ";--silent;--no-launch"},
            {.env = {{"QT_QPA_PLATFORM", std::nullopt},
                     {"DISPLAY", std::nullopt},
                     {"WAYLAND_DISPLAY", std::nullopt},
                     {"CASTMILL_FAKE_TREE", installed().string()}}});
    };
    const fs::path served = dir / "release/Castmill_full_package.exe";
    const fs::path ran = dir / "ran";
    const std::string installer = test::read_file(served);
    const auto before = file_tree(installed());
    const auto expect_refused = [&](const std::string& message) {
        const auto run = run_full();
        EXPECT_EQ(run.exit_code, 2) << run.out << run.err;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(ran));
        EXPECT_EQ(file_tree(installed()), before);
    };

    // A script of the signed size: only the digest tells it apart.
    std::string script = "#!/bin/sh\ntouch " + ran.string() + "\nexit 0\n";
    script.resize(installer.size(), '#');
    test::write_file(served, script);
    fs::permissions(served, fs::perms::owner_all, fs::perm_options::add);
    expect_refused("full installer does not match its signed sha256");

    test::write_file(served, installer);
    server->add_fault({.path = test::DistServer::kFullPackagePath, .endless = true});
    {
        // Cut at the signed size: the temporary folder never holds much more.
        test::FolderGrowth temp(fs::temp_directory_path());
        expect_refused("failed: download failed code: ");
        EXPECT_LE(temp.peak_growth(), installer.size() + installer.size() / 10);
    }
    server->clear_faults();

    fs::remove(dir / "release/version.json.sig");
    server->clear_requests();
    expect_refused("request version info signature failed: server answered 404");
    EXPECT_EQ(server->count_requests(test::DistServer::kFullPackagePath), 0);
}

// An interrupt in the middle of a slow download ends the run with 1 and keeps what has
// arrived; the next run fetches only the rest.
TEST_F(SetupProgramTest, InterruptedUnattendedRunEndsWithOneAndTheNextRunResumes) {
    test::add_big_file(dir / "suite");
    // The raw file is the one slowed down: no compressed copy to take instead.
    serve_release({"--no-compress"});
    const std::string big_path = server->release_path_of(test::kBigFile);
    test::FaultRule slow;
    slow.path = big_path;
    slow.chunk_delay_ms = 20;
    server->add_fault(slow);

    const fs::path out = dir / "out.txt";
    {
        CurrentDirectory cwd(installed());
        test::ChildProcess child(
            "/bin/sh", {"-c", "exec \"$0\" \"$@\" >\"" + out.string() + "\" 2>&1", setup().string(),
                        "--exit-pause-ms=0", command_line(";--silent")});
        // Two progress lines after the big file's transfer began: some of it has arrived.
        size_t seen_at = std::string::npos;
        auto lines_since_start = [&] {
            if (server->count_requests(big_path) == 0) return 0;
            const std::string text = test::read_file(out);
            if (seen_at == std::string::npos) seen_at = text.size();
            return static_cast<int>(
                std::count(text.begin() + std::min(seen_at, text.size()), text.end(), '\n'));
        };
        for (int i = 0; i < 600 && lines_since_start() < 2 && !child.poll(); ++i)
            std::this_thread::sleep_for(50ms);
        ASSERT_FALSE(child.poll()) << test::read_file(out);
        ::kill(child.pid(), SIGINT);
        const int status = child.wait();
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 1) << test::read_file(out);
    }
    EXPECT_NE(test::read_file(out).find("cancelled\n"), std::string::npos);
    const auto codes = events(*server);
    EXPECT_NE(std::find(codes.begin(), codes.end(), "I9102"), codes.end())
        << testing::PrintToString(codes);
    EXPECT_FALSE(fs::exists(marker()));

    server->clear_faults();
    server->clear_requests();
    const auto run = run_unattended();
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    expect_release_installed();
    long long resumed_from = 0;
    for (const auto& request : server->requests()) {
        if (request.path == big_path && request.range.starts_with("bytes="))
            resumed_from = std::max(resumed_from, std::stoll(request.range.substr(6)));
    }
    EXPECT_GT(resumed_from, 0) << "the big file was fetched again from its start";
}

}  // namespace
