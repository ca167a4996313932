#pragma once

#include <QColor>
#include <QList>
#include <QPixmap>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <functional>

class QAbstractButton;
class QButtonGroup;
class QPropertyAnimation;
class QPushButton;

// The tips picture area: shows its images one at a time, cross-fading to the next
// every interval, with a row of clickable indicator dots.
class CarouselImageWindow : public QWidget {
    Q_OBJECT

public:
    static constexpr int kDefaultIntervalMs = 2000;
    static constexpr int kFadeDurationMs = 600;

    explicit CarouselImageWindow(QWidget* parent = nullptr, int fade_duration_ms = kFadeDurationMs);
    ~CarouselImageWindow() override;

    void addImage(const QString& path);
    void setBorderVisible(bool visible);
    void setInterval(int milliseconds);
    void setDotsVisible(bool visible);
    // Called with the new current index after each fade.
    void setImageChangedCallback(std::function<void(int)> callback);
    // The accessible name of the dot of each image (index from 0, the number of images).
    void setDotNamer(std::function<QString(int, int)> namer);

    void start();
    void next();
    void previous();
    void pause();
    void resume();

public slots:
    void onImageChangeTimeout();
    void onChangeFinished();
    void onImageSwitchButtonClicked(QAbstractButton* button);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void build_dots();
    void refresh_dots();
    void run();
    void jump(int start_index);
    int stepped(int index) const;

    QStringList images;
    QTimer switch_timer;
    int interval = kDefaultIntervalMs;
    int current_index = 0;
    bool forward = true;
    bool paused = false;
    QPixmap from_picture;
    QPixmap to_picture;
    QPropertyAnimation* fade_animation;
    QList<QPushButton*> dots;
    QWidget* dot_bar;
    QButtonGroup* dot_group = nullptr;
    QColor border_colour = Qt::red;
    bool border = true;
    int border_width = 5;
    std::function<void(int)> image_changed_callback;
    std::function<QString(int, int)> dot_namer;
};
