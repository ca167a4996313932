#include "ui/install_main_window.h"

#include <QLabel>
#include <QMovie>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <thread>
#include <vector>

#include "app/run_controller.h"
#include "app/unattended.h"
#include "base/result_codes.h"
#include "layout/paths.h"
#include "support/scripted_install_engine.h"
#include "support/test_env.h"
#include "ui/dialog_texts.h"
#include "ui/frameless_window.h"
#include "ui/localizer.h"
#include "ui/message_box.h"
#include "ui_test_support.h"

using castmill::test::Gate;
using castmill::test::ScriptedInstallEngine;
using namespace std::chrono_literals;
using velora::st::InstallMainWindow;
using velora::st::LaunchOptions;
using velora::st::Localizer;
using velora::st::RunStatus;
using velora::st::WindowTimings;

namespace {

constexpr int64_t kMiB = 1024 * 1024;

WindowTimings fast_timings() {
    WindowTimings timings;
    timings.status_tick = 5ms;
    timings.retry_delay = 1ms;
    timings.run.install_creep = 1h;  // install progress comes from the engine's figures only
    timings.run.install_poll = 1ms;
    timings.run.download_emit = 0ms;
    timings.complete_pause = 50ms;
    return timings;
}

// Opens the gates when the test ends, before the window joins its workers.
struct OpenOnExit {
    std::initializer_list<Gate*> gates;
    ~OpenOnExit() {
        for (Gate* gate : gates) gate->open();
    }
};

// The window follows the system language: expect its text.
QString localized(const char* key) {
    return QString::fromStdString(Localizer::instance().text(key));
}

template <typename T>
T* child(QWidget& window, const char* name) {
    T* found = window.findChild<T*>(name);
    if (!found) qFatal("no child %s", name);
    return found;
}

QString text_of(QWidget& window, const char* label) { return child<QLabel>(window, label)->text(); }

QStringList button_texts(STMessageBox& box) {
    QStringList texts;
    for (QPushButton* button : box.findChildren<QPushButton*>()) texts << button->text();
    return texts;
}

QPushButton* button_labelled(STMessageBox& box, const QString& text) {
    for (QPushButton* button : box.findChildren<QPushButton*>())
        if (button->text() == text) return button;
    return nullptr;
}

QString box_text(STMessageBox& box) {
    QString text;
    for (QLabel* label : box.findChildren<QLabel*>()) text += label->text() + "\n";
    return text;
}

// Runs action on the next box the window shows, from inside the box's own event loop.
void on_next_box(QWidget& window, std::function<void(STMessageBox&)> action) {
    auto* poll = new QTimer(&window);
    QObject::connect(poll, &QTimer::timeout, &window, [poll, &window, action] {
        for (STMessageBox* box : window.findChildren<STMessageBox*>()) {
            if (!box->isVisible()) continue;
            poll->stop();
            poll->deleteLater();
            action(*box);
            return;
        }
    });
    poll->start(5);
}

// The window as the user sees it with a dialog: dimmed, the box in the middle.
bool save_dialog_screenshot(QWidget& window, STMessageBox& box, const QString& name) {
    QPixmap shot = window.grab();
    QPixmap dialog = box.grab();
    QPainter painter(&shot);
    painter.drawPixmap((shot.width() - dialog.width()) / 2, (shot.height() - dialog.height()) / 2,
                       dialog);
    painter.end();
    QLabel view;
    view.setPixmap(shot);
    view.resize(shot.size());
    return castmill::test::save_screenshot(view, name);
}

// Every state a run publishes, from whichever thread publishes it.
struct StateRecorder : velora::st::RunObserver {
    void run_state_changed(const velora::st::RunState& state) override {
        std::lock_guard hold(lock);
        states.push_back(state);
    }
    bool has(RunStatus status, int percent) {
        std::lock_guard hold(lock);
        for (const auto& state : states)
            if (state.status == status && state.percent == percent) return true;
        return false;
    }
    std::mutex lock;
    std::vector<velora::st::RunState> states;
};

// The states of a scripted run: a download with part of it present, then an install that
// places its bytes in two steps.
std::vector<velora::st::RunState> recorded_run(const LaunchOptions& options) {
    auto engine = std::make_unique<ScriptedInstallEngine>();
    ScriptedInstallEngine* scripted = engine.get();
    StateRecorder recorder;
    const auto wait_for = [&](RunStatus status, int percent) {
        for (int i = 0; i < 2000 && !recorder.has(status, percent); ++i)
            std::this_thread::sleep_for(1ms);
    };
    engine->on_download = [](int, const velora::st::DownloadProgress& progress, std::string&) {
        for (int64_t now : {10 * kMiB, 80 * kMiB, 150 * kMiB}) {
            progress(200 * kMiB, 50 * kMiB, now);
            std::this_thread::sleep_for(20ms);
        }
        return 0;
    };
    engine->on_install = [&](int, std::string&) {
        scripted->install_total = 1000;
        scripted->stage_value = velora::st::kInstallWritingFiles;
        for (int64_t placed : {250, 750}) {
            scripted->install_placed = placed;
            wait_for(RunStatus::kInstalling, static_cast<int>(placed / 10));
        }
        return 0;
    };
    LaunchOptions quiet = options;
    quiet.no_launch = true;
    velora::st::RunController run(quiet, std::move(engine), recorder, fast_timings().run);
    std::string failed;
    if (run.run_to_end(failed) != 0) qFatal("scripted run failed: %s", failed.c_str());
    std::lock_guard hold(recorder.lock);
    return recorder.states;
}

bool any_box_visible(QWidget& window) {
    for (STMessageBox* box : window.findChildren<STMessageBox*>())
        if (box->isVisible()) return true;
    return false;
}

}  // namespace

class InstallMainWindowTest : public QObject {
    Q_OBJECT

    castmill::test::TempDir install_dir;
    LaunchOptions options;

    std::unique_ptr<InstallMainWindow> make_window(std::unique_ptr<ScriptedInstallEngine> engine) {
        auto window =
            std::make_unique<InstallMainWindow>(options, std::move(engine), fast_timings());
        window->show();
        return window;
    }

    // A window whose run stays in its check until `checking` opens.
    std::unique_ptr<InstallMainWindow> window_held_in_check(Gate& checking) {
        auto engine = std::make_unique<ScriptedInstallEngine>();
        engine->on_initialize = [&checking](int, std::string&) {
            checking.wait();
            return 0;
        };
        return make_window(std::move(engine));
    }

private slots:
    void init() {
        Localizer::instance().set_resources_folder(castmill::test::shipped_resources());
        Localizer::instance().init("en-US");
        options.install_dir = install_dir.path();
        options.modules = 3;
    }

    void firstStateShowsPreparingWithTheBusyAnimation() {
        Gate checking;
        auto window = window_held_in_check(checking);
        OpenOnExit opener{{&checking}};

        QCOMPARE(window->objectName(), QString("InstallMainWindow"));
        QCOMPARE(window->size(), QSize(708, 664));
        // No placeholder before the first state is shown.
        QCOMPARE(text_of(*window, "progressInformation"), QString());
        QCOMPARE(text_of(*window, "infoTitleLabel"), localized("Connect-Toys"));

        QTRY_COMPARE(text_of(*window, "progressInformation"), localized("Preparing"));
        QLabel* effect = child<QLabel>(*window, "statusEffect");
        QVERIFY(effect->isVisible());
        QVERIFY(effect->movie());
        QVERIFY(effect->movie()->fileName().endsWith("loading.gif"));
        QCOMPARE(effect->movie()->state(), QMovie::Running);
        QVERIFY(!child<QProgressBar>(*window, "progressBar")->isVisible());
        QVERIFY(child<QToolButton>(*window, "closeBotton")->isEnabled());
        QVERIFY(castmill::test::save_screenshot(*window, "install_window_preparing"));
    }

    void progressShowsBarValueTimeAndSizes() {
        Gate checking;
        auto window = window_held_in_check(checking);
        OpenOnExit opener{{&checking}};
        auto* bar = child<QProgressBar>(*window, "progressBar");

        const auto show = [&](RunStatus status, int percent, int seconds = 0, int64_t done = 0,
                              int64_t total = 0) {
            velora::st::RunState state;
            state.status = status;
            state.percent = percent;
            state.remaining_seconds = seconds;
            state.remaining_known = true;
            state.done_bytes = done;
            state.total_bytes = total;
            window->show_run_state(state);
        };
        // The first per cents of the bar are drawn wider, so the bar is seen to start.
        for (int small : {2, 4}) {
            show(RunStatus::kDownloading, small, 0, 1, 100);
            QCOMPARE(bar->value(), 4);
        }
        show(RunStatus::kInstalling, 100);
        QCOMPARE(bar->value(), 100);
        QVERIFY(text_of(*window, "downloadInformation").contains(">100%<"));
        QVERIFY(!child<QLabel>(*window, "downloadCostTime")->isVisible());

        show(RunStatus::kDownloading, 62, 3723, 1048576000, 999 * kMiB);
        QCOMPARE(bar->value(), velora::st::run_percent(false, 62));
        QVERIFY(text_of(*window, "downloadInformation").contains(">01:02:03<"));
        QVERIFY(text_of(*window, "downloadCostTime").contains(">0.98G<"));
        QVERIFY(text_of(*window, "downloadCostTime").contains("> / 999M<"));

        show(RunStatus::kDownloading, 0, 59, 5 * kMiB, 1023 * kMiB + kMiB / 2);
        QVERIFY(text_of(*window, "downloadInformation").contains(">00:00:59<"));
        QVERIFY(text_of(*window, "downloadCostTime").contains(">  5M<"));
        QVERIFY(text_of(*window, "downloadCostTime").contains("> / 1.00G<"));
    }

    // A recorded run's states, handed to the window and to the console line, show the same
    // status, per cent, bytes and time left.
    void windowAndConsoleShowTheSameStates() {
        const auto states = recorded_run(options);
        Gate checking;
        auto window = window_held_in_check(checking);
        OpenOnExit opener{{&checking}};
        QTRY_COMPARE(text_of(*window, "progressInformation"), localized("Preparing"));
        auto* bar = child<QProgressBar>(*window, "progressBar");
        const std::map<std::string, const char*> status_keys = {{"checking", "Preparing"},
                                                                {"downloading", "Downloading"},
                                                                {"installing", "Installing"},
                                                                {"done", "Complete"}};
        const std::regex line(
            R"(^(\w+) (\d+)% (\d+)/(\d+) bytes, (--:--|(\d+):(\d\d)) remaining$)");
        int timed = 0;
        int installing = 0;
        for (velora::st::RunState state : states) {
            state.stage_ended = false;  // shown, not acted on
            const std::string console = velora::st::console_line(state);
            std::smatch m;
            QVERIFY2(std::regex_match(console, m, line), console.c_str());
            window->show_run_state(state);
            QCOMPARE(text_of(*window, "progressInformation"), localized(status_keys.at(m[1])));
            const int percent = std::stoi(m[2]);
            const uint64_t done = std::stoull(m[3]);
            const uint64_t total = std::stoull(m[4]);
            const QString time = text_of(*window, "downloadInformation");
            if (m[1] == "downloading" && total > 0) {
                QCOMPARE(bar->value(), std::max(velora::st::run_percent(false, percent), 4));
                const QString sizes = text_of(*window, "downloadCostTime");
                QVERIFY2(sizes.contains(">" + velora::st::format_size(done) + "<") &&
                             sizes.contains("> / " + velora::st::format_size(total) + "<"),
                         qPrintable(sizes + " for " + QString::fromStdString(console)));
                const int left = m[6].matched ? std::stoi(m[6]) * 60 + std::stoi(m[7]) : -1;
                const QString expected = left < 0 ? QString("--:--:--")
                                                  : QString::asprintf("%02d:%02d:%02d", left / 3600,
                                                                      left / 60 % 60, left % 60);
                QVERIFY2(time.contains(">" + expected + "<"), qPrintable(time));
                timed += left >= 0;
            } else if (m[1] == "done") {
                // "Complete" beside a full bar, no figures.
                QCOMPARE(bar->value(), 100);
                QVERIFY(!child<QLabel>(*window, "downloadInformation")->isVisible());
            } else if (m[1] == "installing") {
                // The bar and its words run on from the download's share of the whole run.
                const int share = velora::st::run_percent(true, percent);
                QCOMPARE(bar->value(), share);
                QVERIFY2(time.contains(QString(">%1%<").arg(share)), qPrintable(time));
                installing += percent > 0 && percent < 100;
            }
        }
        // The sequence held what there is to compare.
        QVERIFY(timed > 0);
        QVERIFY(installing >= 2);
        QCOMPARE(states.back().status, RunStatus::kDone);
    }

    void wholeRunShowsEachStatusAndEndsWithZero() {
        Gate started, downloading, installing;
        auto engine = std::make_unique<ScriptedInstallEngine>();
        ScriptedInstallEngine* run = engine.get();
        engine->on_download = [&](int, const velora::st::DownloadProgress& progress, std::string&) {
            progress(200 * kMiB, 50 * kMiB, 0);
            started.wait();
            progress(200 * kMiB, 50 * kMiB, 50 * kMiB);
            downloading.wait();
            return 0;
        };
        Gate placing;
        engine->on_install = [&, run](int, std::string&) {
            run->stage_value = velora::st::kInstallWritingFiles;
            run->install_total = 1000;
            placing.wait();
            run->install_placed = 500;
            installing.wait();
            run->stage_value = velora::st::kInstallFinished;
            return 0;
        };
        auto window = make_window(std::move(engine));
        OpenOnExit opener{{&started, &downloading, &installing}};
        auto* bar = child<QProgressBar>(*window, "progressBar");
        auto* close_button = child<QToolButton>(*window, "closeBotton");

        QTRY_COMPARE(text_of(*window, "progressInformation"), localized("Downloading"));
        started.open();
        // Half of the download: half of the download's share of the bar.
        QTRY_COMPARE(bar->value(), velora::st::kBarShareOfDownload / 2);
        QVERIFY(bar->isVisible());
        QVERIFY(!child<QLabel>(*window, "statusEffect")->isVisible());
        QVERIFY(text_of(*window, "downloadCostTime").contains(">100M<"));
        QVERIFY(text_of(*window, "downloadCostTime").contains("> / 200M<"));
        QVERIFY(close_button->isEnabled());
        QVERIFY(castmill::test::save_screenshot(*window, "install_window_downloading"));

        downloading.open();
        QTRY_COMPARE(text_of(*window, "progressInformation"), localized("Installing"));
        QVERIFY(!close_button->isEnabled());
        // The bar runs on from the download's share; it never falls back to 0.
        QTRY_VERIFY(placing.has_waiter());
        QCOMPARE(bar->value(), velora::st::kBarShareOfDownload);
        // The engine has placed 500 of its 1000 bytes.
        placing.open();
        const int half =
            velora::st::kBarShareOfDownload + (100 - velora::st::kBarShareOfDownload) / 2;
        QTRY_COMPARE(bar->value(), half);
        // The words say what the bar shows.
        QVERIFY(text_of(*window, "downloadInformation").contains(QString(">%1%<").arg(half)));
        QVERIFY(castmill::test::save_screenshot(*window, "install_window_installing"));
        // Closing is refused while files are copied.
        window->close();
        QVERIFY(window->isVisible());

        // "Complete" with a full bar, before the application starts and the window goes.
        installing.open();
        QTRY_COMPARE(text_of(*window, "progressInformation"), localized("Complete"));
        QCOMPARE(run->launch_calls.load(), 0);
        QVERIFY(window->isVisible());
        QVERIFY(bar->isVisible());
        QCOMPARE(bar->value(), 100);
        QVERIFY(castmill::test::save_screenshot(*window, "install_window_complete"));
        QTRY_COMPARE(run->launch_calls.load(), 1);
        QCOMPARE(run->launched(), install_dir.path());
        QTRY_VERIFY(window->isHidden());
        QCOMPARE(window->result(), 0);
    }

    void failedInstallOffersOnlyCloseAndEndsWithTwo() {
        auto engine = std::make_unique<ScriptedInstallEngine>();
        engine->on_install = [](int, std::string& message) {
            message = "copy failed";
            return velora::kSetupFileSystemError;
        };
        auto window = make_window(std::move(engine));
        QStringList buttons;
        QString content;
        on_next_box(*window, [&](STMessageBox& box) {
            buttons = button_texts(box);
            content = box_text(box);
            QVERIFY(child<QWidget>(*window, "gridLayoutWidget"));
            QVERIFY(save_dialog_screenshot(*window, box, "dialog_install_failed"));
            QTest::mouseClick(button_labelled(box, localized("Close")), Qt::LeftButton);
        });
        QTRY_VERIFY(window->isHidden());
        QCOMPARE(buttons, QStringList{localized("Close")});
        QVERIFY(content.contains(localized("InstallFailedTitle")));
        QVERIFY(content.contains("<b>" + localized("FailOther") + "</b>"));
        QVERIFY(content.contains("Error code: 12"));
        // The engine's own text stays in the log.
        QVERIFY(!content.contains("copy failed"));
        // Linux has no full installer to run: the link leads to the download page.
        QVERIFY(content.contains(
            QString("<a href=\"%1\"").arg(QString::fromStdString(velora::st::help_address()))));
        QVERIFY(!content.contains(".exe"));
        QCOMPARE(window->result(), 2);
    }

    // Retry tries again; the box's x and Esc close it as Close does.
    void failedDownloadRetriesOnlyWithRetry() {
        auto engine = std::make_unique<ScriptedInstallEngine>();
        ScriptedInstallEngine* run = engine.get();
        engine->on_download = [&](int, const velora::st::DownloadProgress& progress, std::string&) {
            progress(10 * kMiB, 0, kMiB);
            return static_cast<int>(velora::kSetupDownloadFailedBase) + 28;
        };
        auto window = make_window(std::move(engine));
        QStringList buttons;
        QString content;
        on_next_box(*window, [&](STMessageBox& box) {
            buttons = button_texts(box);
            content = box_text(box);
            // The retry goes by the status on screen.
            QTRY_COMPARE(text_of(*window, "progressInformation"), localized("Downloading"));
            QTest::mouseClick(button_labelled(box, localized("Retry")), Qt::LeftButton);
            // The retried download fails as well: Esc closes that box as Close does.
            on_next_box(*window,
                        [&](STMessageBox& next) { QTest::keyClick(&next, Qt::Key_Escape); });
        });
        QTRY_VERIFY(window->isHidden());
        QCOMPARE(run->initialize_calls.load(), 1);
        QCOMPARE(buttons, (QStringList{localized("Close"), localized("Retry")}));
        QVERIFY(content.contains("<b>" + localized("FailNetwork") + "</b>"));
        QVERIFY(content.contains(localized("TryAgain") + "."));
        QVERIFY(content.contains("Error code: 2128"));
        QCOMPARE(run->download_calls.load(), 2);
        QCOMPARE(window->result(), 2);
    }

    // Nothing another attempt could change: no Retry.
    void untrustedReleaseOffersOnlyClose() {
        auto engine = std::make_unique<ScriptedInstallEngine>();
        engine->on_initialize = [](int, std::string& error) {
            error = "version info signature invalid";
            return static_cast<int>(velora::kSetupUntrustedRelease);
        };
        auto window = make_window(std::move(engine));
        QStringList buttons;
        QString content;
        on_next_box(*window, [&](STMessageBox& box) {
            buttons = button_texts(box);
            content = box_text(box);
            QVERIFY(save_dialog_screenshot(*window, box, "dialog_untrusted"));
            QTest::mouseClick(box.findChild<QToolButton*>(), Qt::LeftButton);
        });
        QTRY_VERIFY(window->isHidden());
        QCOMPARE(buttons, QStringList{localized("Close")});
        QVERIFY(content.contains("<b>" + localized("FailUntrusted") + "</b>"));
        QVERIFY(content.contains(localized("NothingChanged")));
        QVERIFY(!content.contains("signature invalid"));
        QCOMPARE(window->result(), 2);
    }

    // A full disk is named, with the room the rest of the download needs.
    void fullDiskNamesTheSpaceNeeded() {
        auto engine = std::make_unique<ScriptedInstallEngine>();
        engine->on_download = [&](int, const velora::st::DownloadProgress& progress, std::string&) {
            progress(200 * kMiB, 50 * kMiB, 50 * kMiB);
            return static_cast<int>(velora::kSetupDownloadFailedBase) + 23;
        };
        auto window = make_window(std::move(engine));
        QString content;
        on_next_box(*window, [&](STMessageBox& box) {
            content = box_text(box);
            QTest::mouseClick(button_labelled(box, localized("Close")), Qt::LeftButton);
        });
        QTRY_VERIFY(window->isHidden());
        QVERIFY(content.contains("<b>" + localized("FailDiskFull") + "</b>"));
        QVERIFY(content.contains("free up at least 100.0 MB"));
    }

    void failedCheckRetriesTheCheck() {
        Gate second_check;
        auto engine = std::make_unique<ScriptedInstallEngine>();
        ScriptedInstallEngine* run = engine.get();
        engine->on_initialize = [&](int call, std::string& error) {
            if (call == 1) {
                error = "request version info failed";
                return 7;
            }
            second_check.wait();
            return 0;
        };
        auto window = make_window(std::move(engine));
        OpenOnExit opener{{&second_check}};
        QString content;
        on_next_box(*window, [&](STMessageBox& box) {
            content = box_text(box);
            QTest::mouseClick(button_labelled(box, localized("Retry")), Qt::LeftButton);
        });
        QTRY_VERIFY(second_check.has_waiter());
        QCOMPARE(run->initialize_calls.load(), 2);
        QCOMPARE(run->download_calls.load(), 0);
        QVERIFY(content.contains("<b>" + localized("FailNetwork") + "</b>"));
    }

    void inUseDialogListsProgramsAndRetriesTheInstall() {
        Gate second_install;
        auto engine = std::make_unique<ScriptedInstallEngine>();
        ScriptedInstallEngine* run = engine.get();
        engine->on_install = [&](int call, std::string& message) {
            if (call == 1) {
                message = "Castmill\nVelora<Browser>\n";
                return static_cast<int>(velora::kSetupInUse);
            }
            second_install.wait();
            return 0;
        };
        auto window = make_window(std::move(engine));
        OpenOnExit opener{{&second_install}};
        QStringList buttons;
        QString content;
        on_next_box(*window, [&](STMessageBox& box) {
            buttons = button_texts(box);
            content = box_text(box);
            QVERIFY(save_dialog_screenshot(*window, box, "dialog_in_use"));
            QTest::mouseClick(button_labelled(box, localized("Retry")), Qt::LeftButton);
        });
        QTRY_VERIFY(second_install.has_waiter());
        QCOMPARE(run->install_calls.load(), 2);
        QCOMPARE(buttons, (QStringList{localized("Close"), localized("Retry")}));
        QVERIFY(content.contains(localized("InstallationPaused")));
        // Names are text, not markup; one break between them and none after the last.
        QVERIFY(content.contains("<b>Castmill<br/>Velora&lt;Browser&gt;</b><br/>" +
                                 localized("CloseApplicationsToContinue")));
        QCOMPARE(text_of(*window, "progressInformation"), localized("Installing"));
    }

    void inUseWithoutProgramsEndsWithTwo() {
        auto engine = std::make_unique<ScriptedInstallEngine>();
        engine->on_install = [](int, std::string&) {
            return static_cast<int>(velora::kSetupInUse);
        };
        auto window = make_window(std::move(engine));
        QTRY_VERIFY(window->isHidden());
        QVERIFY(!any_box_visible(*window));
        QCOMPARE(window->result(), 2);
    }

    void cancelConfirmationKeepsGoingOrEndsWithOne() {
        Gate downloading;
        auto engine = std::make_unique<ScriptedInstallEngine>();
        ScriptedInstallEngine* run = engine.get();
        engine->on_download = [&](int, const velora::st::DownloadProgress& progress, std::string&) {
            progress(10 * kMiB, 0, kMiB);
            downloading.wait();
            return run->cancel_calls > 0 ? static_cast<int>(velora::kSetupDownloadCancelled) : 0;
        };
        auto window = make_window(std::move(engine));
        OpenOnExit opener{{&downloading}};
        auto* close_button = child<QToolButton>(*window, "closeBotton");
        QTRY_COMPARE(text_of(*window, "progressInformation"), localized("Downloading"));

        QStringList buttons;
        QString content;
        on_next_box(*window, [&](STMessageBox& box) {
            buttons = button_texts(box);
            content = box_text(box);
            QVERIFY(save_dialog_screenshot(*window, box, "dialog_cancel_confirmation"));
            QTest::mouseClick(button_labelled(box, localized("Cancel")), Qt::LeftButton);
        });
        QTest::mouseClick(close_button, Qt::LeftButton);
        QCOMPARE(buttons, (QStringList{localized("Exit"), localized("Cancel")}));
        QVERIFY(content.contains(localized("InstallCancelConfirm") + "?<"));
        QVERIFY(window->isVisible());
        QCOMPARE(run->cancel_calls.load(), 0);
        QVERIFY(!any_box_visible(*window));

        on_next_box(*window, [&](STMessageBox& box) {
            QTest::mouseClick(button_labelled(box, localized("Exit")), Qt::LeftButton);
        });
        QTest::mouseClick(close_button, Qt::LeftButton);
        QCOMPARE(run->cancel_calls.load(), 1);
        // The run ends only once the download has returned.
        QVERIFY(window->isVisible());

        // The cancelled download ends without a failure dialog.
        downloading.open();
        QTRY_VERIFY(window->isHidden());
        QVERIFY(!any_box_visible(*window));
        QCOMPARE(window->result(), 1);
        QCOMPARE(run->install_calls.load(), 0);
    }

    // Esc and the window system's close reach the frame or the dialog's reject, not the
    // close button: both must ask, and neither may end the run while the download runs.
    void escapeAndFrameCloseAskLikeTheCloseButton() {
        Gate downloading;
        auto engine = std::make_unique<ScriptedInstallEngine>();
        ScriptedInstallEngine* run = engine.get();
        engine->on_download = [&](int, const velora::st::DownloadProgress& progress, std::string&) {
            progress(10 * kMiB, 0, kMiB);
            downloading.wait();
            return run->cancel_calls > 0 ? static_cast<int>(velora::kSetupDownloadCancelled) : 0;
        };
        // The frame owns the window, as in the program; the gate opens before it goes.
        auto* window = new InstallMainWindow(options, std::move(engine), fast_timings());
        velora::st::FramelessWindow frame(window);
        window->setOuterFrame(&frame);
        frame.show();
        OpenOnExit opener{{&downloading}};
        QTRY_COMPARE(text_of(*window, "progressInformation"), localized("Downloading"));

        int boxes = 0;
        on_next_box(*window, [&](STMessageBox& box) {
            ++boxes;
            QTest::mouseClick(button_labelled(box, localized("Cancel")), Qt::LeftButton);
        });
        QTest::keyClick(window, Qt::Key_Escape);
        QTRY_COMPARE(boxes, 1);
        QTRY_VERIFY(!any_box_visible(*window));
        QVERIFY(window->isVisible());

        on_next_box(*window, [&](STMessageBox& box) {
            ++boxes;
            QTest::mouseClick(button_labelled(box, localized("Cancel")), Qt::LeftButton);
        });
        QVERIFY(!frame.close());
        QTRY_COMPARE(boxes, 2);
        QTRY_VERIFY(!any_box_visible(*window));
        QVERIFY(frame.isVisible());
        QVERIFY(window->isVisible());
        QCOMPARE(run->cancel_calls.load(), 0);

        on_next_box(*window, [&](STMessageBox& box) {
            QTest::mouseClick(button_labelled(box, localized("Exit")), Qt::LeftButton);
        });
        frame.close();
        QTRY_COMPARE(run->cancel_calls.load(), 1);
        QVERIFY(window->isVisible());
        downloading.open();
        QTRY_VERIFY(window->isHidden());
        QCOMPARE(window->result(), 1);
        QCOMPARE(run->install_calls.load(), 0);
        // The frame lets go once the run has ended.
        QVERIFY(frame.close());
    }

    // The download finishes while the question is up: the install begins, the question
    // goes, and Exit can no longer stop anything.
    void confirmationOpenWhenTheInstallBeginsNoLongerCancels() {
        Gate downloading, installing;
        auto engine = std::make_unique<ScriptedInstallEngine>();
        ScriptedInstallEngine* run = engine.get();
        engine->on_download = [&](int, const velora::st::DownloadProgress& progress, std::string&) {
            progress(10 * kMiB, 0, kMiB);
            downloading.wait();
            return 0;
        };
        engine->on_install = [&](int, std::string&) {
            installing.wait();
            return 0;
        };
        auto window = make_window(std::move(engine));
        OpenOnExit opener{{&downloading, &installing}};
        QTRY_COMPARE(text_of(*window, "progressInformation"), localized("Downloading"));

        bool box_closed_by_itself = false;
        on_next_box(*window, [&](STMessageBox& box) {
            downloading.open();
            QTRY_VERIFY(installing.has_waiter());
            box_closed_by_itself = !box.isVisible();
            // As a user would who pressed Exit just then.
            if (box.isVisible())
                QTest::mouseClick(button_labelled(box, localized("Exit")), Qt::LeftButton);
        });
        QTest::mouseClick(child<QToolButton>(*window, "closeBotton"), Qt::LeftButton);
        QVERIFY(box_closed_by_itself);
        QCOMPARE(run->cancel_calls.load(), 0);
        QVERIFY(window->isVisible());
        QTRY_COMPARE(text_of(*window, "progressInformation"), localized("Installing"));

        installing.open();
        QTRY_COMPARE(run->launch_calls.load(), 1);
        QCOMPARE(window->result(), 0);
    }

    // Chinese sentences end in the full-width marks, wherever the dialogs end a sentence.
    void chineseSentencesEndInFullWidthMarks() {
        auto engine = std::make_unique<ScriptedInstallEngine>();
        engine->on_install = [](int, std::string&) { return velora::kSetupFileSystemError; };
        auto window = make_window(std::move(engine));
        // After the window chose the system's language, before the first result arrives.
        Localizer::instance().init("zh-CN");
        QString content;
        on_next_box(*window, [&](STMessageBox& box) {
            content = box_text(box);
            QVERIFY(save_dialog_screenshot(*window, box, "dialog_install_failed_zh"));
            QTest::mouseClick(button_labelled(box, localized("Close")), Qt::LeftButton);
        });
        QTRY_VERIFY(window->isHidden());
        // No blanks around the link, and the sentence ends in the full-width stop.
        QVERIFY(content.contains(localized("InstallPersists") + "<a href="));
        QVERIFY(content.contains(localized("OpenDownloadPage") + "</a>" + QChar(0x3002)));
        QVERIFY(content.contains(QString::fromUtf8("错误代码：12")));
    }
};

QTEST_MAIN(InstallMainWindowTest)
#include "install_main_window_test.moc"
