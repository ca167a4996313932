#pragma once

#include <QDialog>
#include <QString>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "app/run_controller.h"
#include "app/run_status.h"
#include "layout/launch_options.h"

class QTimer;
class STMessageBox;

namespace velora::st {

// Waits of the window. Production values by default; tests shorten them.
struct WindowTimings {
    std::chrono::milliseconds status_tick{100};      // tip arrows follow pointer and focus
    std::chrono::milliseconds retry_delay{1000};     // after a dialog asked to retry
    std::chrono::milliseconds complete_pause{1500};  // "Complete" on screen before the end
    RunTimings run;                                  // the run's progress states
};

// One bar for the whole run: the download fills it up to kBarShareOfDownload per cent, the
// install the rest, so it never falls back when the install begins.
inline constexpr int kBarShareOfDownload = 80;
int run_percent(bool installing, int stage_percent);
// A size as the window shows it: "1000M" and more in gigabytes with two decimals, else
// whole megabytes padded to three places.
QString format_size(uint64_t bytes);

struct InstallMainWindowUi;

// The installer's main window: it drives the install run through its controller, shows
// the run's progress and results, asks what the user wants where a stage failed, and ends
// the event loop with the run's exit code (0 done, 1 cancelled, 2 failed).
class InstallMainWindow : public QDialog, private RunObserver {
    Q_OBJECT

public:
    // Runs the given engine.
    InstallMainWindow(const LaunchOptions& options, std::unique_ptr<InstallEngine> engine,
                      WindowTimings timings = {}, QWidget* parent = nullptr);
    ~InstallMainWindow() override;

    void setOuterFrame(QWidget* frame);
    void done(int code) override;
    // Esc: the cancel path, as the close button.
    void reject() override;

    // Shows a state of the run: status, bar, time left and sizes; a stage's end goes on
    // to the next step. GUI thread.
    void show_run_state(const RunState& state);

public slots:
    void onCancelBtn();
    void onMinimizeBtn();
    void onDownloadResult(int result);
    void onInstallResult(int code, QString msg);
    void onNextTips();
    void onPrevTips();
    void onCheckTimeout();
    void onCheckDone(int result, QString error);
    // A request to stop from outside (SIGTERM at logout, Ctrl+C, the session's end): the
    // unattended run's answer, without a question.
    void onInterrupt();

protected:
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void build_ui();
    void name_controls();
    void _load_fonts();
    void _update_status_effect(bool force);
    void _show_tip(int index);
    void show_tip_buttons(bool shown);
    void apply_bar_look(int look);
    // Switches the status line, the busy mark and the bar's look to status.
    void show_status(RunStatus status);
    // The bar at value (of the whole run); with a size, the time left and the bytes done of
    // all of them, else `percent` in words.
    void show_progress(int value, int percent, int seconds_left = 0, bool left_known = false,
                       int64_t download_size = 0, int64_t total_size = 0);
    QString tr_key(const char* key) const;

    // Run control.
    void _start_check();
    void _start_download();
    void _start_install();
    void retry_after_failure();
    // The run has succeeded: "Complete" for a moment, then the application starts and the
    // window closes.
    void finish_run();
    bool cancelled() const { return run->cancelled(); }

    // The run's states, from its worker and download threads: shown on the GUI thread.
    void run_state_changed(const RunState& state) override;

    // Dialogs.
    void _show_dim_overlay();
    void remove_dim_overlay();
    void discard_message_box();
    // Runs the box's own event loop, then removes the dim layer; the box's result.
    int run_message_box(STMessageBox* box);
    // The failure dialog for a stage that ended with code; ends the run unless the user
    // retries where that can help.
    void _show_install_failed(RunStatus stage, int code);
    // What the stage still had to write: the room a full disk must make.
    int64_t bytes_still_needed(RunStatus stage) const;
    void _retry_install_in_use(const QString& message);
    bool _confirm_cancel();

    // GUI thread only, as everything below.
    InstallMainWindowUi* ui = nullptr;
    int bar_look = 0;
    QWidget* dim_overlay = nullptr;
    STMessageBox* message_box = nullptr;
    // The status on screen: the latest state's.
    RunStatus current_status = RunStatus::kStarting;
    std::filesystem::path resource_dir;
    QTimer* check_timer = nullptr;
    LaunchOptions options;
    bool dialog_shown = false;
    bool tips_shown = false;  // the tip arrows are drawn
    QWidget* outer_frame = nullptr;

    // A worker runs from a stage's start to its result slot; the run ends (done) only after
    // that, so the exit code says what the stage did.
    bool stage_running = false;
    bool confirming_cancel = false;  // the cancel confirmation is up
    bool finished = false;           // done has run
    bool interrupted = false;        // no dialog waits for a user any more

    WindowTimings timings;
    // Last: it is stopped first, before anything its worker reports to goes.
    std::unique_ptr<RunController> run;
};

}  // namespace velora::st
