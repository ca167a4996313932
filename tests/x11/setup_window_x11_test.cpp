// The real `setup` window in a real X server with a window manager, against the local
// distribution server, driven by the keyboard, the pointer and the window system as a
// person would, and judged by the windows on screen and the exit code.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QColor>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <set>
#include <sstream>
#include <thread>

#include "support/child_process.h"
#include "support/dist_server.h"
#include "support/release_builder.h"
#include "support/sample_suite.h"
#include "support/scoped_env.h"
#include "support/test_env.h"
#include "x_session.h"

namespace {

namespace fs = std::filesystem;
namespace test = castmill::test;
using namespace std::chrono_literals;

// The install window inside its frame (the frame's margin holds the shadow).
constexpr int kFrameMargin = 12;
// The tip buttons in the window: the picture area's origin plus their own place.
const QRect kPrevTipButton(kFrameMargin + 2 + 20, kFrameMargin + 32 + 260, 32, 32);
const QRect kNextTipButton(kFrameMargin + 2 + 654, kFrameMargin + 32 + 260, 32, 32);

using Locale = test::WindowLocale;
using test::eventually;
constexpr const auto& kLocales = test::kWindowLocales;

bool near(QRgb a, QRgb b, int tolerance) {
    return std::abs(qRed(a) - qRed(b)) <= tolerance &&
           std::abs(qGreen(a) - qGreen(b)) <= tolerance &&
           std::abs(qBlue(a) - qBlue(b)) <= tolerance;
}

class SetupWindowX11Test : public ::testing::TestWithParam<Locale> {
protected:
    void SetUp() override {
        if (const std::string missing = test::XSession::missing_tools(); !missing.empty())
            GTEST_SKIP() << "X tools not installed: " << missing;
        x = std::make_unique<test::XSession>();
        test::make_sample_suite(dir / "suite", "2.0.0");
        test::add_sample_key_file(dir / "suite");
        test::make_sample_suite(installed(), "1.0.0");
        test::add_sample_key_file(installed());
    }

    // Publishes the suite and serves it; a big file of the release can be slowed down. A
    // release of another version, or an unsigned one, for the failures they cause.
    void serve(bool with_big_file = false, const std::string& version = "2.0.0", bool sign = true) {
        if (with_big_file) test::add_big_file(dir / "suite");
        // No compressed copies: the slowed raw file is the one setup must fetch.
        server = test::serve_sample_release(
            dir.path(), {"--no-compress"}, {"release" + std::to_string(++releases), version, sign});
    }

    // A download that lasts about a minute unless it is cancelled.
    void slow_big_file() {
        test::FaultRule slow;
        slow.path = server->release_path_of(test::kBigFile);
        slow.chunk_delay_ms = 250;
        server->add_fault(slow);
    }

    // setup as the suite starts it, on the X server in the test's language; its standard
    // output goes to out, its standard error to err.
    // limits: shell commands run before it (e.g. "ulimit -f 64").
    std::unique_ptr<test::ChildProcess> launch(const std::string& exit_pause_ms,
                                               const fs::path& out, const fs::path& err,
                                               const std::string& limits = "") {
        test::ScopedEnv env;
        env.set("QT_QPA_PLATFORM", "xcb");
        env.set("LANG", GetParam().posix);
        env.set("LC_ALL", GetParam().posix);
        env.set("LANGUAGE", std::nullopt);
        env.set("TMPDIR", (dir / "tmp").string());
        fs::create_directories(dir / "tmp");
        const fs::path old_cwd = fs::current_path();
        fs::current_path(installed());
        const fs::path setup = test::bin_dir() / "setup";
        auto run = std::make_unique<test::ChildProcess>(
            "/bin/sh",
            std::vector<std::string>{
                "-c",
                limits + "exec \"$0\" \"$@\" >\"" + out.string() + "\" 2>\"" + err.string() + "\"",
                setup.string(), "--exit-pause-ms=" + exit_pause_ms,
                setup.string() + ";--install_dir=" + (dir / "install").string() + ";--modules=3"});
        fs::current_path(old_cwd);
        return run;
    }

    // The window of the run, which the test then drives.
    void start_setup(const std::string& limits = "") {
        frame.clear();
        setup_run = launch("0", dir / "setup.out", dir / "setup.err", limits);
        // The frame is the window with the suite's title; a dialog may already be up.
        ASSERT_TRUE(eventually([&] {
            for (const auto& window : x->visible_windows(setup_run->pid()))
                if (x->name(window) == "Castmill Setup") frame = window;
            return !frame.empty();
        })) << output();
    }

    fs::path installed() const { return dir / "install/Castmill"; }
    fs::path marker() const { return dir / "install/Chromium/started.txt"; }

    // setup's own log of this run.
    std::string setup_log() const {
        std::string text;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(dir / "tmp/castmill/log", ec))
            text += test::read_file(entry.path());
        return text;
    }
    // The next run of the test logs afresh.
    void forget_log() const {
        std::error_code ignored;
        fs::remove_all(dir / "tmp/castmill/log", ignored);
    }
    std::string output() const {
        return test::read_file(dir / "setup.out") + test::read_file(dir / "setup.err") +
               "\n--- log:\n" + setup_log();
    }

    bool reached_status(int status) const {
        return setup_log().find("switch to status: " + std::to_string(status)) != std::string::npos;
    }

    size_t windows_shown() const { return x->visible_windows(setup_run->pid()).size(); }

    // Waits for setup's end; its exit code, or -1 when it did not end within a minute.
    int exit_code() {
        if (!eventually([&] { return setup_run->poll().has_value(); })) return -1;
        const int status = setup_run->wait();
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    bool reported(const std::string& code) const {
        for (const auto& report : server->reports())
            if (report["fields"].value("logNo", std::string()) == code) return true;
        return false;
    }

    // A PNG of the screen under the build tree, for people to look at.
    QImage shot(const std::string& state) const {
        const auto dir_name = test::get_env("CASTMILL_SCREENSHOT_DIR");
        const fs::path shots = dir_name ? fs::path(*dir_name) / "x11" : dir / "shots";
        return x->screenshot(shots / (std::string(GetParam().name) + "_" + state + ".png"));
    }

    // Focuses the box that is up beside the frame and presses keys in it.
    void keys_in_box(std::initializer_list<const char*> keys) const {
        for (const auto& window : x->visible_windows(setup_run->pid()))
            if (window != frame) x->activate(window);
        for (const char* keys_pressed : keys) x->key(keys_pressed);
    }
    // The confirmation's focus is on the button that keeps the installation going; the one
    // before it in the tab order stops it.
    void press_exit_in_box() const { keys_in_box({"shift+Tab", "space"}); }

    // The text of key in the test's language, from the locale file setup reads.
    std::string locale_text(const std::string& key) const {
        std::istringstream lines(test::read_file(test::bin_dir() / "Resources/locale" /
                                                 (std::string(GetParam().name) + ".ini")));
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind(key + " = \"", 0) != 0) continue;
            const size_t start = key.size() + 4;
            return line.substr(start, line.rfind('"') - start);
        }
        return "<no " + key + ">";
    }

    // The accessibility tree of the run, once it shows more than the application.
    std::vector<test::XSession::Accessible> accessible_tree() const {
        std::vector<test::XSession::Accessible> tree;
        eventually([&] {
            tree = x->accessible_tree(setup_run->pid());
            return tree.size() > 2;
        });
        return tree;
    }

    test::TempDir dir;
    std::unique_ptr<test::XSession> x;
    std::unique_ptr<test::DistServer> server;
    std::unique_ptr<test::ChildProcess> setup_run;
    std::string frame;
    int releases = 0;
};

TEST_P(SetupWindowX11Test, EscAndWindowSystemCloseWhileDownloadingAskFirstAndExitEndsWithOne) {
    serve(true);
    slow_big_file();
    // The version answer a moment late, to see the first state.
    server->delay(test::DistServer::kVersionPath, 1500ms, 1);
    const auto before = test::file_tree(installed());
    start_setup();
    shot("preparing");

    ASSERT_TRUE(eventually([&] { return reached_status(2); })) << output();
    x->activate(frame);
    shot("downloading");

    // The tip arrows over the picture: their corners show the picture, not black squares.
    const QRect window = x->geometry(frame);
    x->move_pointer(window.x() + window.width() / 2, window.y() + window.height() / 2);
    std::this_thread::sleep_for(500ms);  // the window looks at the pointer every 100 ms
    const QImage tips = shot("tips");
    for (const QRect& button : {kPrevTipButton, kNextTipButton}) {
        const QRect on_screen = button.translated(window.topLeft());
        // Just inside the button's corners, clear of the round icon.
        const QRect inner = on_screen.adjusted(2, 2, -2, -2);
        const QPoint corners[] = {inner.topLeft(), inner.topRight(), inner.bottomLeft(),
                                  inner.bottomRight()};
        for (const QPoint& corner : corners) {
            // The picture just outside the button, beside the corner.
            const QPoint outside(corner.x() + (corner.x() == inner.left() ? -4 : 4), corner.y());
            const QRgb inside_colour = tips.pixel(corner);
            EXPECT_TRUE(near(inside_colour, tips.pixel(outside), 48))
                << "corner " << corner.x() << "," << corner.y() << " is "
                << QColor(inside_colour).name().toStdString() << ", the picture beside it "
                << QColor(tips.pixel(outside)).name().toStdString();
        }
    }

    // Esc asks; the window stays; keeping on leaves the download running.
    x->activate(frame);
    x->key("Escape");
    ASSERT_TRUE(eventually([&] { return windows_shown() == 2; })) << output();
    shot("cancel_confirmation");
    keys_in_box({"Return"});
    ASSERT_TRUE(eventually([&] { return windows_shown() == 1; })) << output();
    EXPECT_FALSE(setup_run->poll().has_value()) << output();

    // The window system's close (Alt+F4 through the window manager: WM_DELETE_WINDOW).
    x->activate(frame);
    x->key("alt+F4");
    ASSERT_TRUE(eventually([&] { return windows_shown() == 2; })) << output();
    const auto shown = x->visible_windows(setup_run->pid());
    EXPECT_NE(std::find(shown.begin(), shown.end(), frame), shown.end());
    shot("close_confirmation");
    press_exit_in_box();

    EXPECT_EQ(exit_code(), 1) << output();
    EXPECT_TRUE(reported("I9102")) << output();
    EXPECT_FALSE(reported("I9104"));
    EXPECT_EQ(test::file_tree(installed()), before);
    EXPECT_FALSE(fs::exists(marker()));
}

// Logout sends SIGTERM: the window cancels as the unattended run does, without waiting for
// an answer to the question that is up, and the suite stays as it was.
TEST_P(SetupWindowX11Test, SigtermWhileDownloadingCancelsWithoutWaitingForAnAnswer) {
    serve(true);
    slow_big_file();
    const auto before = test::file_tree(installed());
    start_setup();
    ASSERT_TRUE(eventually([&] { return reached_status(2); })) << output();
    x->activate(frame);
    x->key("Escape");
    ASSERT_TRUE(eventually([&] { return windows_shown() == 2; })) << output();

    ASSERT_EQ(::kill(setup_run->pid(), SIGTERM), 0);
    EXPECT_EQ(exit_code(), 1) << output();
    EXPECT_TRUE(reported("I9102")) << output();
    EXPECT_TRUE(reported("I9101")) << output();
    EXPECT_FALSE(reported("I9104"));
    EXPECT_EQ(test::file_tree(installed()), before);
    EXPECT_FALSE(fs::exists(dir / "install/Castmill.staging"));
    EXPECT_FALSE(fs::exists(dir / "install/Castmill.journal"));
}

TEST_P(SetupWindowX11Test, CloseWhileInstallingIsIgnoredAndTheRunEndsWithTheApplicationStarted) {
    serve();
    // A program of the suite that ignores the request to close holds the install in its
    // first step for the shutdown grace.
    const fs::path holder = installed() / "VeloraOBS/bin/LogReporter.exe";
    fs::copy_file(test::test_program("proc_helper"), holder);
    test::ChildProcess held(holder, {"sleep", (dir / "held.ready").string(), "--ignore-term"});
    ASSERT_TRUE(held.wait_for_file(dir / "held.ready"));

    start_setup();
    ASSERT_TRUE(eventually([&] { return reached_status(4); })) << output();
    shot("installing");
    x->activate(frame);
    x->key("alt+F4");
    x->key("Escape");
    // SIGTERM, as at logout, lets the install finish too.
    ASSERT_EQ(::kill(setup_run->pid(), SIGTERM), 0);
    // Neither asks nor ends anything while files are copied.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(windows_shown(), 1u);
    EXPECT_FALSE(setup_run->poll().has_value()) << output();

    EXPECT_EQ(exit_code(), 0) << output();
    EXPECT_TRUE(reported("I9104")) << output();
    EXPECT_TRUE(reported("I9105")) << output();
    EXPECT_TRUE(eventually([&] { return fs::exists(marker()); }));
}

// The end of a run stays on screen a moment: "Complete" under a full bar, then the
// application starts and the window goes.
TEST_P(SetupWindowX11Test, CompleteIsShownWithAFullBarBeforeTheApplicationStarts) {
    serve();
    start_setup();
    ASSERT_TRUE(eventually([&] { return reached_status(5); })) << output();
    const QImage screen = shot("complete");
    EXPECT_EQ(windows_shown(), 1u);
    EXPECT_FALSE(fs::exists(marker()));
    // Both ends of the bar in the gradient's pink, not the empty bar's grey.
    const QRect window = x->geometry(frame);
    const QPoint bar = window.topLeft() + QPoint(kFrameMargin + 20, kFrameMargin + 580 + 8);
    for (const QPoint& end : {bar + QPoint(6, 0), bar + QPoint(664 - 6, 0)}) {
        const QRgb pixel = screen.pixel(end);
        EXPECT_TRUE(qRed(pixel) > 200 && qBlue(pixel) < 170 && qGreen(pixel) < 170)
            << "bar at " << end.x() << "," << end.y() << " is "
            << QColor(pixel).name().toStdString();
    }
    EXPECT_EQ(exit_code(), 0) << output();
    EXPECT_TRUE(eventually([&] { return fs::exists(marker()); }));
}

TEST_P(SetupWindowX11Test, FailureDialogClosedEndsWithTwo) {
    serve();
    server->fail_next(test::DistServer::kVersionPath, 500, -1);
    start_setup();
    ASSERT_TRUE(eventually([&] { return windows_shown() == 2; })) << output();
    shot("install_failed");
    // A server's error offers Retry, which has the focus; Close comes before it.
    keys_in_box({"shift+Tab", "space"});
    EXPECT_EQ(exit_code(), 2) << output();
}

TEST_P(SetupWindowX11Test, SecondInstanceBringsTheRunningWindowBackAndEndsWithMinusOne) {
    serve(true);
    slow_big_file();
    start_setup();
    ASSERT_TRUE(eventually([&] { return reached_status(2); })) << output();
    x->minimize(frame);
    ASSERT_TRUE(eventually([&] { return windows_shown() == 0; })) << output();

    // With the pause a message would stay up for: the raise ends it at once.
    auto second = launch("20000", dir / "second.out", dir / "second.err");
    ASSERT_TRUE(eventually([&] { return second->poll().has_value(); }));
    const int status = second->wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << status;
    EXPECT_EQ(test::read_file(dir / "second.out"), "");
    EXPECT_TRUE(eventually([&] { return windows_shown() == 1 && x->active_window() == frame; }))
        << output();
    shot("second_instance");
    EXPECT_FALSE(setup_run->poll().has_value()) << output();
}

// Drawn smaller as a whole, not cut off: each window fits the screen, and what is drawn
// inside fits the windows (the dialog's buttons whole, the window's own bottom band of
// status below the tips).
TEST_P(SetupWindowX11Test, SmallScreenShowsTheWholeWindow) {
    x.reset();
    x = std::make_unique<test::XSession>(QSize(1024, 600));
    serve();
    server->fail_next(test::DistServer::kVersionPath, 500, -1);
    start_setup();
    ASSERT_TRUE(eventually([&] { return windows_shown() == 2; })) << output();
    std::this_thread::sleep_for(300ms);  // both painted
    const QImage screen = shot("small_screen_failed");
    for (const auto& window : x->visible_windows(setup_run->pid())) {
        const QRect at = x->geometry(window);
        EXPECT_TRUE(screen.rect().contains(at))
            << x->name(window) << " at " << at.x() << "," << at.y() << " " << at.width() << "x"
            << at.height();
        if (window == frame) {
            // Near the window's bottom edge (design row 650 of 688 with the frame's margin)
            // lies the status band, plain (dimmed) white, where a cut-off window shows tips.
            const double scale = at.height() / 688.0;
            const int row = at.y() + static_cast<int>((kFrameMargin + 650) * scale);
            int plain = 0;
            const int from = at.x() + at.width() / 4, to = at.x() + at.width() * 3 / 4;
            for (int column = from; column < to; ++column) {
                const QRgb pixel = screen.pixel(column, row);
                plain += near(pixel, qRgb(qGray(pixel), qGray(pixel), qGray(pixel)), 12);
            }
            EXPECT_GT(plain, (to - from) * 9 / 10) << "row " << row << " is not the status band";
        } else {
            // The dialog's primary button, pink, whole and inside the box.
            QRect button;
            for (int py = at.top(); py <= at.bottom(); ++py)
                for (int px = at.left(); px <= at.right(); ++px)
                    if (near(screen.pixel(px, py), qRgb(0xFF, 0x2D, 0x89), 24))
                        button |= QRect(px, py, 1, 1);
            EXPECT_GT(button.width(), 40) << "no primary button drawn";
            EXPECT_TRUE(at.adjusted(8, 8, -8, -8).contains(button))
                << "button at " << button.x() << "," << button.y() << " " << button.width() << "x"
                << button.height();
        }
    }
    keys_in_box({"Escape"});
    EXPECT_EQ(exit_code(), 2) << output();
}

// What a screen reader finds: every control, the dialog and the progress bar named, in the
// user's language; none of the widgets' built-in English or placeholder texts.
TEST_P(SetupWindowX11Test, EveryControlHasATranslatedAccessibleName) {
    if (const std::string why = x->start_accessibility(); !why.empty()) GTEST_SKIP() << why;
    serve(true);
    slow_big_file();
    start_setup();
    ASSERT_TRUE(eventually([&] { return reached_status(2); })) << output();
    x->activate(frame);
    x->key("Escape");
    ASSERT_TRUE(eventually([&] { return windows_shown() == 2; })) << output();

    std::set<std::string> names;
    for (const auto& node : accessible_tree()) {
        names.insert(node.name);
        const std::set<std::string> named_roles = {"push button", "check box",    "progress bar",
                                                   "dialog",      "image",        "animation",
                                                   "label",       "toggle button"};
        if (named_roles.count(node.role) && node.role != "label") {
            EXPECT_FALSE(node.name.empty()) << node.role << " without a name";
        }
        for (const char* left_over : {"min", "exit", "Prev Tip>", "Next Tip>", "TextLabel"})
            EXPECT_NE(node.name, left_over) << node.role;
    }
    std::string dot = locale_text("TipDot");
    dot.replace(dot.find("{n}"), 3, "2");
    dot.replace(dot.find("{count}"), 7, "5");
    EXPECT_TRUE(names.count(dot)) << dot;
    for (const char* key : {"MinimizeButton", "CloseButton", "PreviousTip", "NextTip", "TipsArea",
                            "ProgressName", "InstallCancelTitle", "Exit", "Cancel"})
        EXPECT_TRUE(names.count(locale_text(key))) << key << ": " << locale_text(key);
    // The bar says how far the download has come.
    EXPECT_TRUE(eventually([&] {
        for (const auto& node : x->accessible_tree(setup_run->pid()))
            if (node.role == "progress bar" && std::atof(node.value.c_str()) > 0) return true;
        return false;
    }));
    shot("accessible_names");
}

// Each kind of failure in its own words, with Retry only where another attempt can help,
// and no engine text; Esc closes each dialog as Close does.
TEST_P(SetupWindowX11Test, EveryFailureClassIsToldInTheUsersLanguage) {
    if (const std::string why = x->start_accessibility(); !why.empty()) GTEST_SKIP() << why;
    const std::string title = locale_text("InstallFailedTitle");
    const std::string retry = locale_text("Retry");
    auto fails_with = [&](const std::string& kind, const char* headline, bool retried,
                          const std::string& limits = "") {
        SCOPED_TRACE(kind);
        start_setup(limits);
        ASSERT_TRUE(eventually([&] { return windows_shown() == 2; })) << output();
        const auto tree = accessible_tree();
        int dialogs = 0, retry_buttons = 0;
        for (const auto& node : tree) {
            retry_buttons += node.role == "push button" && node.name == retry;
            if (node.role != "dialog" || node.name != title) continue;
            ++dialogs;
            EXPECT_NE(node.description.find(locale_text(headline)), std::string::npos)
                << node.description;
            // The engine's own words ("code:920 ...", "download failed code: 2123"), a blank
            // before a question mark.
            for (const char* engine :
                 {"code:9", "code:2", "failed code", "error code:", "TextLabel", " ?"})
                EXPECT_EQ(node.description.find(engine), std::string::npos) << node.description;
        }
        EXPECT_EQ(dialogs, 1);
        EXPECT_EQ(retry_buttons, retried ? 1 : 0);
        shot("failed_" + kind);
        // Centred on the window, wherever the window manager put it.
        for (const auto& window : x->visible_windows(setup_run->pid())) {
            const QPoint off = x->geometry(window).center() - x->geometry(frame).center();
            EXPECT_LE(off.manhattanLength(), 2)
                << "box off the centre by " << off.x() << "," << off.y();
        }
        x->key("Escape");
        EXPECT_EQ(exit_code(), 2) << output();
        forget_log();
    };
    serve();
    server->fail_next(test::DistServer::kVersionPath, 500, -1);
    fails_with("server", "FailServer", true);
    // A manifest changed after it was signed.
    serve();
    const fs::path manifest = dir / ("release" + std::to_string(releases)) / "manifest.json";
    test::write_file(manifest, test::read_file(manifest) + " ");
    fails_with("untrusted", "FailUntrusted", false);
    serve(false, "0.9.0");
    fails_with("downgrade", "FailDowngrade", false);
    // A file size limit of 1 MiB stands in for a full disk: the 16 MiB file cannot be written.
    serve(true);
    fails_with("disk_full", "FailDiskFull", true, "ulimit -f 2048; trap '' XFSZ; ");
    {
        test::ScopedEnv env;
        env.set("CASTMILL_UPDATE_HOST", "http://127.0.0.1:1");
        fails_with("network", "FailNetwork", true);
    }
}

// Without the pointer or the window manager's help: the keys reach the window when it is
// mapped, each dialog when it opens, and the window again after each dialog.
TEST_P(SetupWindowX11Test, KeyboardAloneAnswersTheFailureAndTheCancelQuestions) {
    serve(true);
    server->fail_next(test::DistServer::kVersionPath, 500, -1);
    start_setup();
    ASSERT_TRUE(eventually([&] { return windows_shown() == 2; })) << output();
    server->clear_faults();
    slow_big_file();
    x->key("Return");  // Retry has the focus
    ASSERT_TRUE(eventually([&] { return reached_status(2); })) << output();
    EXPECT_EQ(windows_shown(), 1u);
    x->key("Escape");
    ASSERT_TRUE(eventually([&] { return windows_shown() == 2; })) << output();
    x->key("Return");  // keeps installing
    ASSERT_TRUE(eventually([&] { return windows_shown() == 1; })) << output();
    x->key("Escape");
    ASSERT_TRUE(eventually([&] { return windows_shown() == 2; })) << output();
    x->key("shift+Tab");
    x->key("space");
    EXPECT_EQ(exit_code(), 1) << output();
}

// Where the window manager put the frameless window is where Qt believes it is, launch
// after launch, so that hover, drags and dialogs land on the window.
TEST_P(SetupWindowX11Test, QtKnowsWhereTheWindowManagerPutTheWindow) {
    serve();
    server->delay(test::DistServer::kVersionPath, 5000ms, -1);
    for (int launch = 0; launch < 20; ++launch) {
        SCOPED_TRACE(launch);
        start_setup();
        const std::string logged = "window position: ";
        std::string position;
        ASSERT_TRUE(eventually([&] {
            const std::string log = setup_log();
            const size_t at = log.rfind(logged);
            if (at == std::string::npos) return false;
            position = log.substr(at + logged.size(), log.find('\n', at) - at - logged.size());
            const QRect real = x->geometry(frame);
            return position == std::to_string(real.x()) + "," + std::to_string(real.y());
        })) << "qt "
            << position << ", window system " << x->geometry(frame).x() << ","
            << x->geometry(frame).y();
        ::kill(setup_run->pid(), SIGTERM);
        EXPECT_EQ(exit_code(), 1) << output();
        forget_log();
    }
}

// On a screen with twice the pixels the tips are drawn from their sharp copies, pixel for
// pixel, not magnified from the small ones.
TEST_P(SetupWindowX11Test, TwiceThePixelsShowTheSharpPictures) {
    x.reset();
    x = std::make_unique<test::XSession>(QSize(2560, 1600));
    test::ScopedEnv env;
    env.set("QT_SCALE_FACTOR", "2");
    serve();
    server->delay(test::DistServer::kVersionPath, 5000ms, -1);
    start_setup();
    ASSERT_TRUE(eventually([&] { return reached_status(1); })) << output();
    std::this_thread::sleep_for(500ms);  // painted
    const QImage screen = shot("scale_2");
    const QImage sharp(
        QString::fromStdString((test::bin_dir() / "Resources/info_image_1@2x.png").string()));
    ASSERT_FALSE(sharp.isNull());
    // The phone's edge, the link and the toy's rings, in device pixels: edges as steep as in
    // the sharp copy (squared steps from pixel to pixel; a magnified picture has about half).
    const QPoint picture =
        x->geometry(frame).topLeft() + 2 * QPoint(kFrameMargin + 2, kFrameMargin + 32);
    const QRect patch(600, 440, 300, 300);
    auto steps = [&](const QImage& image, QPoint origin) {
        int64_t sum = 0;
        for (int py = patch.top(); py <= patch.bottom(); ++py)
            for (int px = patch.left(); px < patch.right(); ++px)
                sum += std::pow(qGreen(image.pixel(origin + QPoint(px + 1, py))) -
                                    qGreen(image.pixel(origin + QPoint(px, py))),
                                2);
        return sum;
    };
    const int64_t drawn = steps(sharp, QPoint(0, 0));
    const int64_t on_screen = steps(screen, picture);
    EXPECT_GT(on_screen * 10, drawn * 9) << on_screen << " steps on screen, " << drawn << " drawn";
}

INSTANTIATE_TEST_SUITE_P(Locales, SetupWindowX11Test, ::testing::ValuesIn(kLocales),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             name.erase(name.find('-'), 1);
                             return name;
                         });

}  // namespace
