#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <optional>

class QWidget;

// Where the installer's window goes and how large it is drawn, so that it fits the screen's
// free area whatever its size, and what the window system says about where it really is.
namespace velora::st {

// The factor that makes a window of `size` fit `available` (1 when it fits already, never
// more): a 1024 x 600 screen draws the window smaller rather than cut off.
double fitting_scale(const QSize& size, const QRect& available);

// The top-left corner that centres `size` in `available`, kept inside it.
QPoint centred_position(const QSize& size, const QRect& available);

// The top-level window's position as the window system has it, in Qt's coordinates; none
// where the platform cannot tell (Qt's own idea is then right).
std::optional<QPoint> window_system_position(QWidget& window);

// Keeps Qt's idea of the top-level window's position in step with the window system's: a
// window manager may place a frameless window elsewhere than asked without Qt noticing,
// which would put hover, drags and dialogs in the wrong place. Checks after the window is
// mapped and after each move, and logs the position.
void follow_window_system_position(QWidget& window);

}  // namespace velora::st
