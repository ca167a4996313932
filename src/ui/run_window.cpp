#include "ui/run_window.h"

#include <QApplication>
#include <QFont>
#include <QGuiApplication>
#include <QIcon>
#include <QScreen>
#include <QString>

#include "base/logger.h"
#include "layout/paths.h"
#include "ui/frameless_window.h"
#include "ui/install_main_window.h"
#include "ui/window_placement.h"

namespace velora::st {

namespace {

// What the taskbar and the window switcher show.
constexpr const char* kWindowTitle = "Castmill Setup";

// The window inside its frame, with the shadow's margin on each side.
QSize frame_size() { return QSize(708 + 2 * 12, 664 + 2 * 12); }

// Draws the window smaller where the screen's free area cannot hold it: Qt takes its scale
// factor when the application starts, so a first look at the screen decides it.
void scale_to_fit_screen(int& argc, char** argv) {
    double scale = 1.0;
    {
        QGuiApplication probe(argc, argv);
        if (QScreen* screen = QGuiApplication::primaryScreen())
            scale = fitting_scale(frame_size(), screen->availableGeometry());
    }
    if (scale >= 1.0) return;
    bool set = false;
    const double factor = qEnvironmentVariable("QT_SCALE_FACTOR").toDouble(&set);
    const double scaled = (set && factor > 0 ? factor : 1.0) * scale;
    log_tagged(kLogInfo, "screen too small for the window: scale %.3f", scaled);
    qputenv("QT_SCALE_FACTOR", QByteArray::number(scaled, 'f', 3));
}

}  // namespace

int run_window(const LaunchOptions& options) {
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    // Qt reads argv[0] on some platforms, so the list holds the program name only.
    static char program_name[] = "setup";
    static char* argv[] = {program_name, nullptr};
    int argc = 1;
    scale_to_fit_screen(argc, argv);
    QApplication app(argc, argv);
    // Only the window's done() ends the run: its result is the exit code.
    QApplication::setQuitOnLastWindowClosed(false);

    const std::filesystem::path icon = installer_resources_dir() / "app.ico";
    app.setWindowIcon(QIcon(QString::fromStdU16String(icon.u16string())));
    QFont font = QApplication::font();
    font.setFamily("Verdana");
    QApplication::setFont(font);

    log_tagged(kLogInfo, "call show_ui");
    auto* window = new InstallMainWindow(options);
    FramelessWindow frame(window);
    frame.setWindowTitle(kWindowTitle);
    frame.setAccessibleName(window->accessibleName());
    window->setOuterFrame(&frame);

    // Centred in the screen's free area (without panels), never off it.
    if (QScreen* screen = QGuiApplication::primaryScreen())
        frame.move(centred_position(frame.sizeHint(), screen->availableGeometry()));
    follow_window_system_position(frame);
    frame.show();
    QApplication::exec();
    // The window's result is the run's exit code.
    return window->result();
}

}  // namespace velora::st
