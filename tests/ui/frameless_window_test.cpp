#include "ui/frameless_window.h"

#include <QGraphicsDropShadowEffect>
#include <QLabel>
#include <QMouseEvent>
#include <QTest>
#include <memory>

#include "ui_test_support.h"

using velora::st::FramelessWindow;

namespace {

// Moves carry the buttons held; the others the button that changed.
void send(QWidget& target, QEvent::Type type, QPointF global, Qt::MouseButton button,
          Qt::MouseButtons held = Qt::NoButton) {
    QPointF local = target.mapFromGlobal(global);
    if (type == QEvent::MouseMove) {
        held = button;
        button = Qt::NoButton;
    }
    QMouseEvent event(type, local, global, button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(&target, &event);
}

struct Frame {
    QLabel* content = new QLabel("content");
    FramelessWindow window{content};

    Frame() {
        content->setFixedSize(200, 100);
        content->setStyleSheet("background: white;");
        window.move(100, 100);
        window.show();
    }
};

}  // namespace

class FramelessWindowTest : public QObject {
    Q_OBJECT

private slots:
    void wrapsContentWithRoomForTheShadow() {
        Frame frame;
        QVERIFY(QTest::qWaitForWindowExposed(&frame.window));
        QVERIFY(frame.window.windowFlags() & Qt::FramelessWindowHint);
        QVERIFY(frame.window.testAttribute(Qt::WA_TranslucentBackground));
        QCOMPARE(frame.window.size(), QSize(224, 124));
        QCOMPARE(frame.content->geometry(), QRect(12, 12, 200, 100));
        auto* shadow = qobject_cast<QGraphicsDropShadowEffect*>(frame.content->graphicsEffect());
        QVERIFY(shadow);
        QCOMPARE(shadow->color(), QColor(0, 0, 0, 20));
        QVERIFY(castmill::test::save_screenshot(frame.window, "frameless_window"));
    }

    void leftButtonDragMovesByThePointerOffset() {
        Frame frame;
        QCOMPARE(frame.window.pos(), QPoint(100, 100));
        // Halves round away from zero: 300.5 -> 301, 320.5 -> 321, 289.5 -> 290.
        send(frame.window, QEvent::MouseButtonPress, {300.5, 300.4}, Qt::LeftButton);
        send(frame.window, QEvent::MouseMove, {320.5, 289.5}, Qt::LeftButton);
        QCOMPARE(frame.window.pos(), QPoint(120, 90));
        send(frame.window, QEvent::MouseMove, {250, 350}, Qt::LeftButton);
        QCOMPARE(frame.window.pos(), QPoint(49, 150));
        // Releasing another button does not end the drag; releasing the left one does.
        send(frame.window, QEvent::MouseButtonRelease, {250, 350}, Qt::RightButton, Qt::LeftButton);
        send(frame.window, QEvent::MouseMove, {260, 350}, Qt::LeftButton);
        QCOMPARE(frame.window.pos(), QPoint(59, 150));
        send(frame.window, QEvent::MouseButtonRelease, {260, 350}, Qt::LeftButton);
        // A later move with another button held is no drag.
        send(frame.window, QEvent::MouseMove, {400, 400}, Qt::RightButton);
        QCOMPARE(frame.window.pos(), QPoint(59, 150));
    }

    void pressAtTheScreenOriginOrWithTheRightButtonMovesNothing() {
        Frame frame;
        send(frame.window, QEvent::MouseButtonPress, {0, 0}, Qt::LeftButton);
        send(frame.window, QEvent::MouseMove, {50, 60}, Qt::LeftButton);
        QCOMPARE(frame.window.pos(), QPoint(100, 100));
        send(frame.window, QEvent::MouseButtonRelease, {50, 60}, Qt::LeftButton);

        send(frame.window, QEvent::MouseButtonPress, {150, 150}, Qt::RightButton);
        send(frame.window, QEvent::MouseMove, {180, 190}, Qt::RightButton);
        QCOMPARE(frame.window.pos(), QPoint(100, 100));
    }

    void pressOnTheContentStartsTheDrag() {
        Frame frame;
        QVERIFY(QTest::qWaitForWindowExposed(&frame.window));
        QPoint start = frame.window.pos();
        QTest::mousePress(frame.content, Qt::LeftButton, {}, QPoint(10, 10));
        QTest::mouseMove(frame.content, QPoint(40, 30));
        QCOMPARE(frame.window.pos(), start + QPoint(30, 20));
        QTest::mouseRelease(frame.content, Qt::LeftButton, {}, QPoint(40, 30));
    }
};

QTEST_MAIN(FramelessWindowTest)
#include "frameless_window_test.moc"
