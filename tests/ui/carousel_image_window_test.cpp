#include "ui/carousel_image_window.h"

#include <QImage>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <vector>

#include "support/test_env.h"
#include "ui/resources_folder.h"
#include "ui_test_support.h"

namespace {

const QColor kColours[] = {Qt::blue, Qt::green, Qt::yellow, Qt::cyan, Qt::magenta};
constexpr int kShortFadeMs = 5;

// Solid-colour images, so a grab tells which one is on screen.
struct Images {
    castmill::test::TempDir dir;
    QStringList paths;

    explicit Images(int count) {
        for (int i = 0; i < count; ++i) {
            QImage image(40, 30, QImage::Format_RGB32);
            image.fill(kColours[i]);
            QString path = velora::st::qt_path(dir / ("image_" + std::to_string(i) + ".png"));
            image.save(path);
            paths << path;
        }
    }
};

struct Carousel {
    CarouselImageWindow window{nullptr, kShortFadeMs};
    std::vector<int> changes;

    explicit Carousel(const Images& images, bool border = false) {
        for (const QString& path : images.paths) window.addImage(path);
        window.setBorderVisible(border);
        window.setInterval(60 * 60 * 1000);
        window.setDotsVisible(true);
        window.resize(120, 90);
        window.setImageChangedCallback([this](int index) { changes.push_back(index); });
    }

    QColor shown() const {
        return const_cast<CarouselImageWindow&>(window).grab().toImage().pixelColor(20, 20);
    }
    QList<QPushButton*> dots() const { return window.findChildren<QPushButton*>(); }
    int checked_dot() const {
        int found = -1;
        auto all = dots();
        for (int i = 0; i < all.size(); ++i) {
            if (all[i]->isChecked()) {
                if (found >= 0) return -2;
                found = i;
            }
        }
        return found;
    }
    bool wait_for_change(size_t count) {
        return QTest::qWaitFor([&] { return changes.size() >= count; });
    }
};

}  // namespace

class CarouselImageWindowTest : public QObject {
    Q_OBJECT

private slots:
    void forwardStepWrapsFromLastToFirst() {
        Images images(5);
        Carousel c(images);
        c.window.start();
        c.window.show();
        QCOMPARE(c.dots().size(), 5);
        QCOMPARE(c.checked_dot(), 0);
        QCOMPARE(c.shown(), kColours[0]);

        QTest::mouseClick(c.dots()[4], Qt::LeftButton);
        QVERIFY(c.wait_for_change(1));
        QCOMPARE(c.changes.back(), 4);

        c.window.onImageChangeTimeout();
        // The owner hears of the new image only when the fade has ended.
        QCOMPARE(c.changes.size(), size_t(1));
        QCOMPARE(c.checked_dot(), 0);
        QVERIFY(c.wait_for_change(2));
        QCOMPARE(c.changes.back(), 0);
        QCOMPARE(c.shown(), kColours[0]);
    }

    void previousWrapsAndTurnsTheAutomaticStepsBack() {
        Images images(5);
        Carousel c(images);
        c.window.start();
        c.window.previous();
        QCOMPARE(c.checked_dot(), 4);
        QVERIFY(c.wait_for_change(1));
        QCOMPARE(c.changes.back(), 4);
        QCOMPARE(c.shown(), kColours[4]);

        c.window.onImageChangeTimeout();
        QVERIFY(c.wait_for_change(2));
        QCOMPARE(c.changes.back(), 3);

        c.window.next();
        QVERIFY(c.wait_for_change(3));
        QCOMPARE(c.changes.back(), 4);
        c.window.onImageChangeTimeout();
        QVERIFY(c.wait_for_change(4));
        QCOMPARE(c.changes.back(), 0);
    }

    void clickingTheFirstDotFadesFromTheLastImage() {
        Images images(5);
        Carousel c(images);
        c.window.start();
        c.window.show();
        QTest::mouseClick(c.dots()[0], Qt::LeftButton);
        // The fade starts fully on the last image and ends on the first.
        QCOMPARE(c.shown(), kColours[4]);
        QCOMPARE(c.checked_dot(), 0);
        QVERIFY(c.wait_for_change(1));
        QCOMPARE(c.changes.back(), 0);
        QCOMPARE(c.shown(), kColours[0]);
    }

    void switchesOnItsOwnWhileRunningAndNotWhilePaused() {
        Images images(3);
        Carousel c(images);
        c.window.setInterval(1);
        c.window.start();
        QVERIFY(c.wait_for_change(2));

        c.window.pause();
        QTest::qWait(20);
        size_t seen = c.changes.size();
        QTest::qWait(50);
        QCOMPARE(c.changes.size(), seen);
        // Manual steps still work while paused, and do not restart switching.
        c.window.next();
        QVERIFY(c.wait_for_change(seen + 1));
        QTest::qWait(50);
        QCOMPARE(c.changes.size(), seen + 1);

        c.window.resume();
        QVERIFY(c.wait_for_change(seen + 2));
    }

    void singleImageIsShownAndNeverSwitches() {
        Images images(1);
        Carousel c(images);
        c.window.setInterval(1);
        c.window.start();
        c.window.show();
        QCOMPARE(c.checked_dot(), 0);
        QCOMPARE(c.shown(), kColours[0]);
        QTest::qWait(50);
        QVERIFY(c.changes.empty());
        QCOMPARE(c.shown(), kColours[0]);
    }

    void noImageDrawsNothing() {
        Images images(0);
        Carousel c(images, true);
        c.window.setInterval(1);
        c.window.start();
        c.window.next();
        c.window.previous();
        c.window.pause();
        c.window.resume();
        c.window.show();
        QTest::qWait(30);
        QVERIFY(c.changes.empty());
        QVERIFY(c.dots().isEmpty());
        QImage shot = c.window.grab().toImage();
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x) QCOMPARE(qAlpha(shot.pixel(x, y)), 0);
    }

    void borderFramesAnInsetPicture() {
        Images images(2);
        Carousel c(images, true);
        c.window.start();
        c.window.show();
        QImage shot = c.window.grab().toImage();
        QCOMPARE(shot.pixelColor(2, 2), QColor(Qt::red));
        QCOMPARE(shot.pixelColor(c.window.width() - 3, c.window.height() / 2), QColor(Qt::red));
        QCOMPARE(shot.pixelColor(8, 8), kColours[0]);
    }

    void screenshotOfTheTips() {
        auto resources = castmill::test::shipped_resources();
        CarouselImageWindow window;
        for (int i = 1; i <= 5; ++i)
            window.addImage(
                velora::st::qt_path(resources / ("info_image_" + std::to_string(i) + ".png")));
        window.setBorderVisible(false);
        window.setInterval(10000);
        window.setDotsVisible(true);
        window.setFixedSize(704, 528);
        window.start();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(castmill::test::save_screenshot(window, "carousel"));
        bool faded = false;
        window.setImageChangedCallback([&](int) { faded = true; });
        window.next();
        QTRY_VERIFY(faded);
        QVERIFY(castmill::test::save_screenshot(window, "carousel_second_tip"));
    }
};

QTEST_MAIN(CarouselImageWindowTest)
#include "carousel_image_window_test.moc"
