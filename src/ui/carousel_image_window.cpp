#include "ui/carousel_image_window.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QEasingCurve>
#include <QHBoxLayout>
#include <QPainter>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "ui/content_scale.h"

namespace {

constexpr const char* kOpacityProperty = "ImageOpacity";

constexpr const char* kNormalDotLook =
    "QPushButton{width:8px;height:8px;background:rgba(0, 0, 0, "
    "0.2);border-radius:4px;margin:2px;}"
    "QPushButton:focus{border:1px solid #FFFFFF;}";
constexpr const char* kCurrentDotLook =
    "QPushButton{width:24px;height:8px;background:rgba(255, 45, 137, "
    "0.8);border-radius:4px;margin-left:1px;margin-right:1px}"
    "QPushButton:focus{border:1px solid #FFFFFF;}";

void repolish(QWidget* widget) {
    widget->style()->unpolish(widget);
    widget->style()->polish(widget);
}

}  // namespace

CarouselImageWindow::CarouselImageWindow(QWidget* parent, int fade_duration_ms)
    : QWidget(parent),
      // The animated property is dynamic: it must exist before the animation names it.
      fade_animation((setProperty(kOpacityProperty, 1.0),
                      new QPropertyAnimation(this, kOpacityProperty, this))),
      // A child from the start: shown before start() it must not become a window.
      dot_bar(new QWidget(this)) {
    fade_animation->setDuration(fade_duration_ms);
    fade_animation->setEasingCurve(QEasingCurve::InOutQuart);
    fade_animation->setStartValue(1.0);
    fade_animation->setEndValue(0.0);
    connect(fade_animation, &QPropertyAnimation::valueChanged, this,
            [this](const QVariant&) { update(); });
    connect(fade_animation, &QPropertyAnimation::finished, this,
            &CarouselImageWindow::onChangeFinished);

    connect(&switch_timer, &QTimer::timeout, this, &CarouselImageWindow::onImageChangeTimeout);

    setWindowFlags(Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
}

CarouselImageWindow::~CarouselImageWindow() = default;

void CarouselImageWindow::addImage(const QString& path) { images.append(path); }

void CarouselImageWindow::setBorderVisible(bool visible) { border = visible; }

void CarouselImageWindow::setInterval(int milliseconds) { interval = milliseconds; }

void CarouselImageWindow::setDotsVisible(bool visible) { dot_bar->setVisible(visible); }

void CarouselImageWindow::setImageChangedCallback(std::function<void(int)> callback) {
    image_changed_callback = std::move(callback);
}

void CarouselImageWindow::setDotNamer(std::function<QString(int, int)> namer) {
    dot_namer = std::move(namer);
}

void CarouselImageWindow::build_dots() {
    if (!dot_group) {
        dot_group = new QButtonGroup(this);
        connect(dot_group, &QButtonGroup::buttonClicked, this,
                &CarouselImageWindow::onImageSwitchButtonClicked);
    }
    // A second start() rebuilds the row instead of stacking a second one.
    for (QPushButton* dot : dots) delete dot;
    dots.clear();
    delete dot_bar->layout();

    auto* row = new QHBoxLayout;
    row->addStretch();
    for (int i = 0; i < images.size(); ++i) {
        auto* dot = new QPushButton;
        dot->setCheckable(true);
        if (dot_namer) dot->setAccessibleName(dot_namer(i, static_cast<int>(images.size())));
        dot->setStyleSheet(kNormalDotLook);
        dot_group->addButton(dot, i);
        dots.append(dot);
        repolish(dot);
        row->addWidget(dot);
    }
    row->addStretch();
    row->setSpacing(1);
    dot_bar->setLayout(row);

    if (!layout()) {
        auto* column = new QVBoxLayout;
        column->addStretch();
        column->addWidget(dot_bar);
        column->setContentsMargins(0, 0, 0, 0);
        setLayout(column);
    }
}

void CarouselImageWindow::start() {
    build_dots();
    run();
}

void CarouselImageWindow::resume() {
    paused = false;
    run();
}

void CarouselImageWindow::run() {
    if (images.size() == 1) {
        if (current_index < dots.size()) dots[current_index]->setChecked(true);
    } else if (images.size() >= 2) {
        refresh_dots();
        from_picture.load(velora::st::picture_file(images[current_index], devicePixelRatioF()));
        switch_timer.start(interval);
        update();
    }
}

void CarouselImageWindow::pause() {
    paused = true;
    switch_timer.stop();
}

void CarouselImageWindow::refresh_dots() {
    for (int i = 0; i < dots.size(); ++i) {
        dots[i]->setChecked(i == current_index);
        dots[i]->setStyleSheet(i == current_index ? kCurrentDotLook : kNormalDotLook);
        repolish(dots[i]);
    }
}

int CarouselImageWindow::stepped(int index) const {
    index += forward ? 1 : -1;
    if (index >= images.size()) return 0;
    if (index < 0) return static_cast<int>(images.size()) - 1;
    return index;
}

void CarouselImageWindow::onImageChangeTimeout() {
    if (images.isEmpty()) return;
    from_picture.load(velora::st::picture_file(images[current_index], devicePixelRatioF()));
    current_index = stepped(current_index);
    to_picture.load(velora::st::picture_file(images[current_index], devicePixelRatioF()));
    refresh_dots();
    fade_animation->start();
}

void CarouselImageWindow::jump(int start_index) {
    if (images.isEmpty()) return;
    current_index = start_index == -1 ? static_cast<int>(images.size()) - 1 : start_index;
    from_picture.load(velora::st::picture_file(images[current_index], devicePixelRatioF()));
    current_index = stepped(current_index);
    to_picture.load(velora::st::picture_file(images[current_index], devicePixelRatioF()));
    refresh_dots();
    fade_animation->start();
    if (!paused) switch_timer.start(interval);
    update();
}

void CarouselImageWindow::next() {
    forward = true;
    jump(current_index);
}

void CarouselImageWindow::previous() {
    forward = false;
    jump(current_index);
}

void CarouselImageWindow::onImageSwitchButtonClicked(QAbstractButton* button) {
    forward = true;
    jump(dot_group->id(button) - 1);
}

void CarouselImageWindow::onChangeFinished() {
    if (image_changed_callback) image_changed_callback(current_index);
}

void CarouselImageWindow::paintEvent(QPaintEvent*) {
    if (images.isEmpty()) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QRect target = rect();
    if (border) target.adjust(border_width, border_width, -border_width, -border_width);

    auto draw = [&](const QPixmap& picture) {
        if (picture.isNull()) return;
        // In device pixels, so that a screen with more of them gets a sharp picture.
        const qreal ratio = devicePixelRatioF();
        QPixmap shown =
            picture.scaled(target.size() * ratio, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        shown.setDevicePixelRatio(ratio);
        painter.drawPixmap(target.topLeft(), shown);
    };
    if (images.size() == 1) {
        draw(QPixmap(velora::st::picture_file(images.front(), devicePixelRatioF())));
    } else {
        float opacity = property(kOpacityProperty).toFloat();
        draw(to_picture);
        painter.setOpacity(opacity);
        draw(from_picture);
        painter.setOpacity(1.0);
    }

    if (border) {
        QPen pen(border_colour, 2 * border_width, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(rect());
    }
}
