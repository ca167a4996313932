#pragma once

#include <QWidget>
#include <memory>

namespace velora::st {

// The borderless top-level frame around the install window: translucent, with a
// soft drop shadow, dragged with the left mouse button anywhere on it.
class FramelessWindow : public QWidget {
    Q_OBJECT

public:
    FramelessWindow(QWidget* content, QWidget* parent = nullptr);
    ~FramelessWindow() override;

protected:
    // The window system's close (Alt+F4, the taskbar, WM_DELETE_WINDOW) reaches this
    // frame; the wrapped widget decides whether it proceeds.
    void closeEvent(QCloseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    struct DragState;
    std::unique_ptr<DragState> drag;
};

}  // namespace velora::st
