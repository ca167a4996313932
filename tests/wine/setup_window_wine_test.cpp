// The Windows setup.exe with its window under Wine on a real X server with a window
// manager, against the local distribution server, driven by the keyboard and the window
// system as a person would, and judged by the windows on screen, the exit code and the
// reports. scripts/wine-test runs it with the Windows build and a Wine prefix of its own
// (CASTMILL_WINE, WINEPREFIX, CASTMILL_WINDOWS_BUILD); without them it skips.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QColor>
#include <chrono>
#include <cmath>
#include <thread>

#include "support/child_process.h"
#include "support/dist_server.h"
#include "support/program_run.h"
#include "support/release_builder.h"
#include "support/sample_suite.h"
#include "support/scoped_env.h"
#include "support/test_env.h"
#include "x11/x_session.h"

namespace {

namespace fs = std::filesystem;
namespace test = castmill::test;
using namespace std::chrono_literals;

// The install window inside its frame: the frame's margin holds the shadow.
constexpr int kFrameMargin = 12;

// Wine shows this machine's root as drive Z:.
std::string windows_path(const fs::path& path) {
    std::string text = "Z:" + path.string();
    for (char& c : text)
        if (c == '/') c = '\\';
    return text;
}

class SetupWindowWineTest : public ::testing::TestWithParam<test::WindowLocale> {
protected:
    void SetUp() override {
        const auto wine_program = test::get_env("CASTMILL_WINE");
        const auto build = test::get_env("CASTMILL_WINDOWS_BUILD");
        if (!wine_program || !build || !test::get_env("WINEPREFIX"))
            GTEST_SKIP() << "run by scripts/wine-test (CASTMILL_WINE, CASTMILL_WINDOWS_BUILD, "
                            "WINEPREFIX)";
        if (const std::string missing = test::XSession::missing_tools(); !missing.empty())
            GTEST_SKIP() << "X tools not installed: " << missing;
        wine = *wine_program;
        windows_build = *build;
        // The prefix is shared by the runs of every test; each reads the log of its own.
        std::error_code ignored;
        fs::remove_all(log_folder(), ignored);
        x = std::make_unique<test::XSession>();
        // The suite's browser shell is the Windows demo_app, which setup.exe starts last.
        for (const fs::path& suite : {dir / "suite", installed()}) {
            test::make_sample_suite(suite, suite == installed() ? "1.0.0" : "2.0.0");
            test::add_sample_key_file(suite);
            fs::copy_file(windows_build / "testprograms/demo_app.exe",
                          suite / "VeloraBrowser/Browser/chrome.exe",
                          fs::copy_options::overwrite_existing);
        }
    }

    void TearDown() override {
        // Wine's desktop process belongs to this test's display: the next test starts a
        // fresh Wine session on its own.
        if (!wine.empty()) test::run_program("/bin/sh", {"-c", "wineserver -k"});
        setup_run.reset();
    }

    // Publishes the suite and serves it; a big file of the release can be slowed down.
    void serve(bool with_big_file = false) {
        if (with_big_file) test::add_big_file(dir / "suite");
        // No compressed copies: the slowed raw file is the one setup must fetch.
        // The release is for Windows, not for the Linux publish's own platform.
        server = test::serve_sample_release(dir.path(),
                                            {"--platform", "windows", "--no-compress"});
    }

    // setup.exe as the suite starts it, in the test's language; returns the run.
    std::unique_ptr<test::ChildProcess> start_setup(const std::string& out_name = "setup.out",
                                                    const std::string& exit_pause_ms = "0") {
        test::ScopedEnv env;
        env.set("LANG", GetParam().posix);
        env.set("LC_ALL", GetParam().posix);
        env.set("LANGUAGE", std::nullopt);
        env.set("WINEDEBUG", "-all");
        const fs::path setup = windows_build / "bin/setup.exe";
        const fs::path old_cwd = fs::current_path();
        fs::current_path(installed());
        auto run = std::make_unique<test::ChildProcess>(
            "/bin/sh", std::vector<std::string>{
                           "-c", "exec \"$0\" \"$@\" >\"" + (dir / out_name).string() + "\" 2>&1",
                           wine, setup.string(), "--exit-pause-ms=" + exit_pause_ms,
                           windows_path(setup) + ";--install_dir=" + windows_path(dir / "install") +
                               ";--modules=3"});
        fs::current_path(old_cwd);
        return run;
    }

    // Starts the run and waits for its frame, the window with the suite's title.
    void start_window() {
        setup_run = start_setup();
        ASSERT_TRUE(test::eventually([&] { return find_frame(); })) << output();
        // Wine maps the window before Qt's first picture of it is on screen.
        ASSERT_TRUE(test::eventually([&] {
            const QImage screen = x->screenshot(dir / "screen.png");
            return find_frame() && screen.pixel(x->geometry(frame).center()) != qRgb(0, 0, 0);
        })) << output();
    }

    // Whether the frame is on screen; remembers its window, which Wine may replace.
    bool find_frame() {
        frame.clear();
        for (const auto& window : x->visible_windows(setup_run->pid()))
            if (x->name(window) == "Castmill Setup") frame = window;
        return !frame.empty();
    }

    fs::path installed() const { return dir / "install/Castmill"; }
    fs::path marker() const { return dir / "install/Chromium/started.txt"; }

    // setup's log folder: the temporary folder of the prefix's user.
    static fs::path log_folder() {
        const std::string user = test::get_env("USER").value_or("root");
        return fs::path(*test::get_env("WINEPREFIX")) / "drive_c/users" / user /
               "Temp/castmill/log";
    }
    std::string setup_log() const {
        std::string text;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(log_folder(), ec))
            text += test::read_file(entry.path());
        return text;
    }
    // What a failure shows: the ends of setup's output and of its log.
    std::string output() const {
        const auto tail = [](const std::string& text) {
            return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
        };
        return tail(test::read_file(dir / "setup.out")) + "\n--- log:\n" + tail(setup_log());
    }
    bool logged(const std::string& line) const {
        return setup_log().find(line) != std::string::npos;
    }

    size_t windows_shown() const { return x->visible_windows(setup_run->pid()).size(); }

    // A point of the white panel under the progress bar, as the frame draws it at a scale.
    QRgb panel_colour(double scale = 1) const {
        const QPoint point(std::lround((kFrameMargin + 354) * scale),
                           std::lround((kFrameMargin + 652) * scale));
        return x->window_pixels(frame).pixel(point) | 0xff000000;
    }

    bool reported(const std::string& code) const {
        for (const auto& report : server->reports())
            if (report["fields"].value("logNo", std::string()) == code) return true;
        return false;
    }

    // A PNG of the screen under the Windows build tree, for people to look at.
    void shot(const std::string& state) const {
        x->screenshot(windows_build / "screenshots/wine" /
                      (std::string(GetParam().name) + "_" + state + ".png"));
    }

    // Focuses the box that is up beside the frame and presses keys in it.
    void keys_in_box(std::initializer_list<const char*> keys) const {
        std::string box;
        for (const auto& window : x->visible_windows(setup_run->pid()))
            if (window != frame) box = window;
        ASSERT_FALSE(box.empty()) << output();
        // Wine hands the focus on a moment after the window manager: keys go to the box
        // only once it holds it.
        ASSERT_TRUE(test::eventually([&] {
            x->activate(box);
            return x->active_window() == box;
        })) << output();
        for (const char* pressed : keys) x->key(pressed);
    }

    test::TempDir dir;
    std::string wine;
    fs::path windows_build;
    std::unique_ptr<test::XSession> x;
    std::unique_ptr<test::DistServer> server;
    std::unique_ptr<test::ChildProcess> setup_run;
    std::string frame;
};

// The exit code of a Wine run: Wine hands the Windows process's code to its Unix parent.
int exit_code(test::ChildProcess& run) {
    if (!test::eventually([&] { return run.poll().has_value(); })) return -1;
    const int status = run.wait();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_P(SetupWindowWineTest, DownloadShowsProgressCancelAsksBothWaysAndExitEndsWithOne) {
    serve(true);
    // A download that lasts about a minute unless it is cancelled.
    test::FaultRule slow;
    slow.path = server->release_path_of(test::kBigFile);
    slow.chunk_delay_ms = 250;
    server->add_fault(slow);
    server->delay(test::DistServer::kVersionPath, 1500ms, 1);
    const auto before = test::file_tree(installed());
    start_window();
    shot("preparing");

    ASSERT_TRUE(test::eventually([&] { return logged("switch to status: 2"); })) << output();
    // Progress arrives once a second: at the second report the first is on screen.
    ASSERT_TRUE(test::eventually([&] {
        const std::string log = setup_log();
        const size_t first = log.find("total_size: ");
        return first != std::string::npos &&
               log.find("total_size: ", first + 1) != std::string::npos;
    })) << output();
    x->activate(frame);
    shot("downloading");

    // The frame's margin is the shadow: clear at its edge, darkest under the window, which
    // it is offset towards; the window itself is opaque.
    const QImage pixels = x->window_pixels(frame);
    ASSERT_EQ(pixels.size(), QSize(708 + 2 * kFrameMargin, 664 + 2 * kFrameMargin));
    const int middle_x = pixels.width() / 2;
    const int below = pixels.height() - kFrameMargin + 1;
    EXPECT_EQ(qAlpha(pixels.pixel(0, pixels.height() / 2)), 0);
    EXPECT_EQ(qAlpha(pixels.pixel(middle_x, 0)), 0);
    EXPECT_GT(qAlpha(pixels.pixel(middle_x, below)),
              qAlpha(pixels.pixel(middle_x, kFrameMargin - 2)));
    EXPECT_GT(qAlpha(pixels.pixel(kFrameMargin - 1, pixels.height() / 2)), 0);
    EXPECT_LT(qAlpha(pixels.pixel(middle_x, below)), 64);
    EXPECT_EQ(qRed(pixels.pixel(middle_x, below)), 0);
    EXPECT_EQ(qAlpha(pixels.pixel(middle_x, pixels.height() / 2)), 255);
    EXPECT_EQ(panel_colour(), qRgb(255, 255, 255));

    // The frameless frame follows the pointer dragged with the left button.
    const QRect at_start = x->geometry(frame);
    x->drag(at_start.x() + 300, at_start.y() + 20, at_start.x() + 200, at_start.y() + 60);
    EXPECT_TRUE(test::eventually([&] {
        return x->geometry(frame).topLeft() == at_start.topLeft() + QPoint(-100, 40);
    })) << at_start.x()
        << "," << at_start.y();

    // A second installer while this one runs brings its window back from the taskbar
    // and ends with -1 at once, although a message would stay up for its pause; nothing
    // on standard output. The window is minimized with its own button: the window
    // manager's iconify leaves a frame without a minimize box unminimized for Windows.
    const QRect placed = x->geometry(frame);
    x->click(placed.x() + kFrameMargin + 649, placed.y() + kFrameMargin + 15);
    ASSERT_TRUE(test::eventually([&] { return windows_shown() == 0; })) << output();
    auto second = start_setup("second.out", "20000");
    EXPECT_EQ(exit_code(*second), 255);
    EXPECT_EQ(test::read_file(dir / "second.out"), "");
    ASSERT_TRUE(test::eventually([&] { return find_frame(); })) << output();
    EXPECT_TRUE(logged("running window raised")) << output();

    // Esc asks, the window dimmed behind the box; keeping on leaves the download running
    // and takes the dimming away.
    x->activate(frame);
    x->key("Escape");
    ASSERT_TRUE(test::eventually([&] { return windows_shown() == 2; })) << output();
    EXPECT_TRUE(test::eventually([&] { return panel_colour() == qRgb(153, 153, 153); }))
        << QColor(panel_colour()).name().toStdString();
    shot("cancel_confirmation");
    keys_in_box({"Return"});
    ASSERT_TRUE(test::eventually([&] { return windows_shown() == 1; })) << output();
    EXPECT_TRUE(test::eventually([&] { return panel_colour() == qRgb(255, 255, 255); }));
    EXPECT_FALSE(setup_run->poll().has_value()) << output();

    // The window system's close asks too; Exit, before Cancel in the tab order, stops.
    x->activate(frame);
    x->key("alt+F4");
    ASSERT_TRUE(test::eventually([&] { return windows_shown() == 2; })) << output();
    shot("close_confirmation");
    keys_in_box({"shift+Tab", "space"});

    EXPECT_EQ(exit_code(*setup_run), 1) << output();
    EXPECT_TRUE(reported("I9102")) << output();
    EXPECT_FALSE(reported("I9104"));
    EXPECT_EQ(test::file_tree(installed()), before);
    EXPECT_FALSE(fs::exists(marker()));
}

TEST_P(SetupWindowWineTest, FailedCheckRetriedFinishesAndStartsTheApplication) {
    serve();
    server->fail_next(test::DistServer::kVersionPath, 500, -1);
    start_window();
    ASSERT_TRUE(test::eventually([&] { return windows_shown() == 2; })) << output();
    shot("install_failed");
    // The service answers again; the focus is on Retry.
    server->clear_faults();
    keys_in_box({"Return"});
    ASSERT_TRUE(test::eventually([&] { return logged("switch to status: 4"); })) << output();
    shot("installing");

    EXPECT_EQ(exit_code(*setup_run), 0) << output();
    EXPECT_TRUE(reported("I9104")) << output();
    EXPECT_TRUE(reported("I9105")) << output();
    EXPECT_TRUE(test::eventually([&] { return fs::exists(marker()); }));
    EXPECT_EQ(test::read_file(installed() / "Update/config.json"),
              test::read_file(dir / "suite/Update/config.json"));
}

TEST_P(SetupWindowWineTest, FailureDialogClosedEndsWithTwo) {
    serve();
    server->fail_next(test::DistServer::kVersionPath, 500, -1);
    start_window();
    ASSERT_TRUE(test::eventually([&] { return windows_shown() == 2; })) << output();
    shot("failure_to_close");
    // Close is before Retry.
    keys_in_box({"shift+Tab", "space"});
    EXPECT_EQ(exit_code(*setup_run), 2) << output();
    EXPECT_FALSE(fs::exists(marker()));
}

// The screen scaled to 150 % (144 dots per inch): Qt scales the window by that factor as it
// is, not rounded to a whole one. The scale is the prefix's, set back after the test (and
// by scripts/wine-test before the tier).
class SetupWindowWineHighDpiTest : public SetupWindowWineTest {
protected:
    void SetUp() override {
        SetupWindowWineTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        // Room for the window at 150 % without its small-screen scaling.
        x.reset();
        x = std::make_unique<test::XSession>(QSize(1600, 1200));
        set_dpi(144);
    }
    void TearDown() override {
        if (!wine.empty()) set_dpi(96);
        SetupWindowWineTest::TearDown();
    }
    // What Wine's configuration writes for a screen's scale: the desktop's and the fonts'.
    void set_dpi(int dpi) const {
        for (const char* key : {"HKCU\\Control Panel\\Desktop", "HKCU\\Software\\Wine\\Fonts"})
            ASSERT_EQ(test::run_program(wine, {"reg", "add", key, "/v", "LogPixels", "/t",
                                               "REG_DWORD", "/d", std::to_string(dpi), "/f"})
                          .exit_code,
                      0);
    }
};

TEST_P(SetupWindowWineHighDpiTest, WindowIsDrawnOneAndAHalfTimesAsLarge) {
    serve();
    server->fail_next(test::DistServer::kVersionPath, 500, -1);
    start_window();
    ASSERT_TRUE(test::eventually([&] { return windows_shown() == 2; })) << output();
    const QSize size = x->geometry(frame).size();
    EXPECT_EQ(size, QSize(1098, 1032)) << size.width() << "x" << size.height();
    EXPECT_TRUE(test::eventually([&] { return panel_colour(1.5) == qRgb(153, 153, 153); }));
    shot("high_dpi_failure");
    keys_in_box({"shift+Tab", "space"});
    EXPECT_EQ(exit_code(*setup_run), 2) << output();
}

std::string locale_name(const ::testing::TestParamInfo<test::WindowLocale>& info) {
    std::string name = info.param.name;
    name.erase(name.find('-'), 1);
    return name;
}

INSTANTIATE_TEST_SUITE_P(Locales, SetupWindowWineTest, ::testing::ValuesIn(test::kWindowLocales),
                         locale_name);
// One language: the scale does not depend on it; Chinese text is the densest.
INSTANTIATE_TEST_SUITE_P(Locale, SetupWindowWineHighDpiTest,
                         ::testing::Values(test::kWindowLocales[2]), locale_name);

}  // namespace
