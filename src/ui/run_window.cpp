#include "ui/run_window.h"

#include <QApplication>
#include <QFont>
#include <QGuiApplication>
#include <QIcon>
#include <QScreen>
#include <QString>
#include <QTimer>

#include "base/logger.h"
#include "layout/paths.h"
#include "sys/environment.h"
#include "sys/interrupt.h"
#include "ui/content_scale.h"
#include "ui/dialog_texts.h"
#include "ui/frameless_window.h"
#include "ui/install_main_window.h"
#include "ui/localizer.h"
#include "ui/message_box.h"
#include "ui/running_window.h"
#include "ui/window_placement.h"

namespace velora::st {

namespace {

// What the taskbar and the window switcher show.
constexpr const char* kWindowTitle = "Castmill Setup";

// The window inside its frame, with the shadow's margin on each side, as designed.
QSize frame_size() { return QSize(708 + 2 * 12, 664 + 2 * 12); }

// Draws the window smaller where the screen's free area cannot hold it, never off it.
void scale_to_fit_screen() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    const double scale = fitting_scale(frame_size(), screen->availableGeometry());
    if (scale >= 1.0) return;
    log_tagged(kLogInfo, "screen too small for the window: scale %.3f", scale);
    set_content_scale(scale);
}

// Qt reads argv[0] on some platforms, so the list holds the program name only.
char program_name[] = "setup";
char* program_argv[] = {program_name, nullptr};
int program_argc = 1;

}  // namespace

bool tell_already_running(std::chrono::milliseconds shown_for) {
    QApplication app(program_argc, program_argv);
    if (raise_running_window()) return true;
    Localizer::instance().init();
    STMessageBox box;
    box.setTitle(QString("<font color='#333333'>%1</font>")
                     .arg(localized_text("AlreadyRunningTitle").toHtmlEscaped())
                     .toUtf8()
                     .constData());
    box.setContent(QString("<font color='#333333'>%1</font>")
                       .arg(sentence_of("AlreadyRunning").toHtmlEscaped())
                       .toUtf8()
                       .constData());
    box.addButton(STMessageBox::kClose, true);
    box.setDefaultButton(STMessageBox::kClose);
    QTimer::singleShot(shown_for, &box, &QDialog::reject);
    box.adjustSize();
    if (QScreen* screen = QGuiApplication::primaryScreen())
        box.move(centred_position(box.size(), screen->availableGeometry()));
    box.exec();
    return true;
}

int run_window(const LaunchOptions& options, std::unique_ptr<InstallEngine> engine) {
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QApplication app(program_argc, program_argv);
    scale_to_fit_screen();
    // Only the window's done() ends the run: its result is the exit code.
    QApplication::setQuitOnLastWindowClosed(false);

    const std::filesystem::path icon = installer_resources_dir() / "app.ico";
    app.setWindowIcon(QIcon(QString::fromStdU16String(icon.u16string())));
    QFont font = QApplication::font();
    font.setFamily("Verdana");
    QApplication::setFont(font);

    sys::release_own_console();
    log_tagged(kLogInfo, "call show_ui");
    auto* window = new InstallMainWindow(options, std::move(engine));
    FramelessWindow frame(window);
    frame.setWindowTitle(kWindowTitle);
    frame.setAccessibleName(window->accessibleName());
    window->setOuterFrame(&frame);

    // Centred in the screen's free area (without panels), never off it.
    if (QScreen* screen = QGuiApplication::primaryScreen())
        frame.move(centred_position(frame.sizeHint(), screen->availableGeometry()));
    follow_window_system_position(frame);
    // Logout and shutdown send SIGTERM (the session's end message on Windows): the run
    // takes its cancel path on the GUI thread instead of dying mid-step.
    sys::InterruptWatch interrupts([window] {
        QMetaObject::invokeMethod(window, &InstallMainWindow::onInterrupt, Qt::QueuedConnection);
    });
    frame.show();
    mark_running_window(frame);
    QApplication::exec();
    // The window's result is the run's exit code.
    return window->result();
}

}  // namespace velora::st
