#include "ui/window_placement.h"

#include <QEvent>
#include <QGuiApplication>
#include <QTimer>
#include <QWidget>
#include <algorithm>

#include "base/logger.h"
#include "ui/x11_connection.h"

#ifdef CASTMILL_WITH_XCB
#include <cmath>
#include <memory>
#endif

namespace velora::st {

double fitting_scale(const QSize& size, const QRect& available) {
    if (size.isEmpty() || available.isEmpty()) return 1.0;
    const double across = static_cast<double>(available.width()) / size.width();
    const double down = static_cast<double>(available.height()) / size.height();
    return std::min({1.0, across, down});
}

QPoint centred_position(const QSize& size, const QRect& available) {
    const int x = available.x() + (available.width() - size.width()) / 2;
    const int y = available.y() + (available.height() - size.height()) / 2;
    return {std::max(x, available.x()), std::max(y, available.y())};
}

std::optional<QPoint> window_system_position(QWidget& window) {
#ifdef CASTMILL_WITH_XCB
    xcb_connection_t* connection = x11_connection();
    if (!connection || !window.windowHandle()) return std::nullopt;
    const auto id = static_cast<xcb_window_t>(window.winId());
    std::unique_ptr<xcb_get_geometry_reply_t, decltype(&std::free)> geometry(
        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, id), nullptr), &std::free);
    if (!geometry) return std::nullopt;
    std::unique_ptr<xcb_translate_coordinates_reply_t, decltype(&std::free)> root(
        xcb_translate_coordinates_reply(
            connection, xcb_translate_coordinates(connection, id, geometry->root, 0, 0), nullptr),
        &std::free);
    if (!root) return std::nullopt;
    // The window system counts device pixels; Qt's coordinates are scaled.
    const double ratio = window.devicePixelRatioF();
    return QPoint(static_cast<int>(std::lround(root->dst_x / ratio)),
                  static_cast<int>(std::lround(root->dst_y / ratio)));
#else
    (void)window;
    return std::nullopt;
#endif
}

namespace {

class PositionFollower : public QObject {
public:
    explicit PositionFollower(QWidget& window) : QObject(&window), window_(window) {
        check_.setSingleShot(true);
        // After the window manager's own configure events have arrived.
        check_.setInterval(50);
        connect(&check_, &QTimer::timeout, this, [this] { check(); });
        window.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &window_ && (event->type() == QEvent::Show || event->type() == QEvent::Move))
            check_.start();
        return false;
    }

private:
    void check() {
        const QPoint believed = window_.geometry().topLeft();
        const std::optional<QPoint> real = window_system_position(window_);
        if (real && *real != believed && corrections_ < kMostCorrections) {
            ++corrections_;
            log_tagged(kLogWarning, "window position corrected: qt %d,%d system %d,%d",
                       believed.x(), believed.y(), real->x(), real->y());
            // Where the window already is: the window system moves nothing, Qt learns it.
            window_.move(window_.pos() + (*real - believed));
        }
        const QPoint now = window_.geometry().topLeft();
        log_tagged(kLogInfo, "window position: %d,%d", now.x(), now.y());
    }

    // A window system that keeps disagreeing is not argued with for ever.
    static constexpr int kMostCorrections = 20;
    QWidget& window_;
    QTimer check_;
    int corrections_ = 0;
};

}  // namespace

void follow_window_system_position(QWidget& window) { new PositionFollower(window); }

}  // namespace velora::st
