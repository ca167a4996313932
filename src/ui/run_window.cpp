#include "ui/run_window.h"

#include <QApplication>
#include <QFont>
#include <QGuiApplication>
#include <QIcon>
#include <QScreen>
#include <QString>

#include "base/logger.h"
#include "layout/paths.h"
#include "sys/environment.h"
#include "sys/interrupt.h"
#include "ui/frameless_window.h"
#include "ui/install_main_window.h"

namespace velora::st {

namespace {
// What the taskbar and the window switcher show.
constexpr const char* kWindowTitle = "Castmill Setup";
}  // namespace

int run_window(const LaunchOptions& options) {
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    // Qt reads argv[0] on some platforms, so the list holds the program name only.
    static char program_name[] = "setup";
    static char* argv[] = {program_name, nullptr};
    int argc = 1;
    QApplication app(argc, argv);
    // Only the window's done() ends the run: its result is the exit code.
    QApplication::setQuitOnLastWindowClosed(false);

    const std::filesystem::path icon = installer_resources_dir() / "app.ico";
    app.setWindowIcon(QIcon(QString::fromStdU16String(icon.u16string())));
    QFont font = QApplication::font();
    font.setFamily("Verdana");
    QApplication::setFont(font);

    sys::release_own_console();
    log_tagged(kLogInfo, "call show_ui");
    auto* window = new InstallMainWindow(options);
    FramelessWindow frame(window);
    frame.setWindowTitle(kWindowTitle);
    window->setOuterFrame(&frame);

    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->geometry();
        frame.move((area.width() - window->width()) / 2, (area.height() - window->height()) / 2);
    }
    // Logout and shutdown send SIGTERM (the session's end message on Windows): the run
    // takes its cancel path on the GUI thread instead of dying mid-step.
    sys::InterruptWatch interrupts([window] {
        QMetaObject::invokeMethod(window, &InstallMainWindow::onInterrupt, Qt::QueuedConnection);
    });
    frame.show();
    QApplication::exec();
    // The window's result is the run's exit code.
    return window->result();
}

}  // namespace velora::st
