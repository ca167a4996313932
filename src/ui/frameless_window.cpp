#include "ui/frameless_window.h"

#include <QCloseEvent>
#include <QGraphicsDropShadowEffect>
#include <QGridLayout>
#include <QMouseEvent>
#include <cmath>

#include "ui/content_scale.h"

namespace velora::st {

namespace {
constexpr int kShadowMargin = 12;
}

struct FramelessWindow::DragState {
    QWidget* content = nullptr;
    // (0, 0) means no drag in progress.
    double press_x = 0;
    double press_y = 0;
    double start_x = 0;
    double start_y = 0;
};

FramelessWindow::FramelessWindow(QWidget* content, QWidget* parent)
    : QWidget(parent), drag(std::make_unique<DragState>()) {
    setWindowFlags(Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    drag->content = content;

    auto* shadow = new QGraphicsDropShadowEffect(content);
    shadow->setColor(QColor(0, 0, 0, 20));
    shadow->setBlurRadius(scaled(12));
    shadow->setOffset(0, scaled(4));
    content->setGraphicsEffect(shadow);

    auto* layout = new QGridLayout;
    layout->addWidget(content, 0, 0);
    const int margin = scaled(kShadowMargin);
    layout->setContentsMargins(margin, margin, margin, margin);
    setLayout(layout);
}

FramelessWindow::~FramelessWindow() = default;

void FramelessWindow::closeEvent(QCloseEvent* event) {
    if (drag->content->close())
        event->accept();
    else
        event->ignore();
}

void FramelessWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    QPointF global = event->globalPosition();
    drag->press_x = global.x();
    drag->press_y = global.y();
    drag->start_x = pos().x();
    drag->start_y = pos().y();
}

void FramelessWindow::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    drag->press_x = 0;
    drag->press_y = 0;
}

void FramelessWindow::mouseMoveEvent(QMouseEvent* event) {
    if (drag->press_x == 0 && drag->press_y == 0) return;
    QPointF global = event->globalPosition();
    long dx = std::lround(global.x()) - std::lround(drag->press_x);
    long dy = std::lround(global.y()) - std::lround(drag->press_y);
    move(static_cast<int>(std::lround(drag->start_x) + dx),
         static_cast<int>(std::lround(drag->start_y) + dy));
}

}  // namespace velora::st
