#include <QFontDatabase>
#include <QImageReader>
#include <QLabel>
#include <QMovie>
#include <QPainter>
#include <QTest>

#include "ui/content_scale.h"
#include "ui/resources_folder.h"
#include "ui_test_support.h"

using castmill::test::shipped_resources;
using velora::st::qt_path;

namespace {

QString resource(const std::string& name) { return qt_path(shipped_resources() / name); }

}  // namespace

class ResourcesTest : public QObject {
    Q_OBJECT

private slots:
    void resourcesFolderIsBesideTheExecutable() {
        QCOMPARE(velora::st::resources_folder(), shipped_resources());
    }

    void everyPictureIsShipped_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QSize>("size");
        QTest::newRow("title") << "title.png" << QSize(180, 32);
        QTest::newRow("close") << "close.png" << QSize(40, 40);
        QTest::newRow("min") << "min.png" << QSize(40, 40);
        QTest::newRow("next") << "next_botton.png" << QSize(64, 64);
        QTest::newRow("prev") << "prev_botton.png" << QSize(64, 64);
        QTest::newRow("complete") << "complate_label.png" << QSize(48, 48);
        QTest::newRow("popup close") << "popup_close.png" << QSize(48, 48);
        QTest::newRow("title 2x") << "title@2x.png" << QSize(360, 64);
        QTest::newRow("complete 2x") << "complate_label@2x.png" << QSize(96, 96);
        for (int i = 1; i <= 5; ++i) {
            QTest::newRow(qPrintable(QString("tip %1").arg(i)))
                << QString("info_image_%1.png").arg(i) << QSize(704, 528);
            QTest::newRow(qPrintable(QString("tip %1 2x").arg(i)))
                << QString("info_image_%1@2x.png").arg(i) << QSize(1408, 1056);
        }
    }

    // The sharp copy where the screen has the pixels for it, the window's size either way.
    void picturesAreDrawnFromTheCopyTheScreenCanShow() {
        const QString title = resource("title.png");
        const struct {
            double scale, ratio;
            QSize pixels;
            bool sharp;
        } cases[] = {{1, 1, {180, 32}, false},
                     {1, 2, {360, 64}, true},
                     {0.5, 1, {90, 16}, false},
                     {0.5, 2, {180, 32}, false},
                     {0.75, 2, {270, 48}, true}};
        for (const auto& c : cases) {
            velora::st::set_content_scale(c.scale);
            const QPixmap picture = velora::st::scaled_picture(title, QSize(), c.ratio);
            QCOMPARE(picture.size(), c.pixels);
            QCOMPARE(picture.devicePixelRatio(), c.ratio);
            QCOMPARE(velora::st::picture_file(title, c.ratio).endsWith("@2x.png"), c.sharp);
        }
        velora::st::set_content_scale(1);
    }

    void everyPictureIsShipped() {
        QFETCH(QString, name);
        QFETCH(QSize, size);
        QImage image(resource(name.toStdString()));
        QVERIFY2(!image.isNull(), qPrintable(name));
        QCOMPARE(image.size(), size);
    }

    void loadingAnimationLoops() {
        QMovie movie(resource("loading.gif"));
        QVERIFY(movie.isValid());
        QVERIFY(movie.frameCount() > 1);
        QCOMPARE(movie.loopCount(), -1);
        QImageReader reader(resource("loading.gif"));
        int frames = 0;
        for (QImage frame = reader.read(); !frame.isNull(); frame = reader.read(), ++frames)
            QCOMPARE(frame.size(), QSize(48, 48));
        QCOMPARE(frames, movie.frameCount());
    }

    void applicationIconHoldsSeveralSizes() {
        QImageReader reader(resource("app.ico"));
        QVERIFY(reader.imageCount() >= 4);
        QList<int> widths;
        for (int i = 0; i < reader.imageCount(); ++i) {
            QVERIFY(reader.jumpToImage(i));
            widths << reader.read().width();
        }
        QVERIFY(widths.contains(16));
        QVERIFY(widths.contains(32));
        QVERIFY(widths.contains(256));
    }

    void fontsRegisterAsOpenSans_data() {
        QTest::addColumn<QString>("file");
        for (const char* f : {"OpenSans-Regular.ttf", "OpenSans-Bold.ttf", "OpenSans-ExtraBold.ttf",
                              "OpenSans-Semibold.ttf", "OpenSans-Light.ttf", "ondo-bold.ttf"})
            QTest::newRow(f) << QString(f);
    }

    void fontsRegisterAsOpenSans() {
        QFETCH(QString, file);
        int id = QFontDatabase::addApplicationFont(resource("font/" + file.toStdString()));
        QVERIFY(id >= 0);
        QVERIFY(QFontDatabase::applicationFontFamilies(id).contains("Open Sans"));
    }

    // A sheet of the small pictures, magnified, for people to look at.
    void screenshotOfTheSmallPictures() {
        const char* names[] = {"title.png",       "close.png",       "min.png",
                               "next_botton.png", "prev_botton.png", "complate_label.png",
                               "popup_close.png"};
        QPixmap sheet(560, 190);
        sheet.fill(Qt::white);
        QPainter painter(&sheet);
        painter.fillRect(QRect(0, 70, 560, 60), QColor(0xFF, 0x5A, 0x88));
        int x = 10;
        for (const char* name : names) {
            QImage image(resource(name));
            // Drawn at the size the window shows them.
            QSize shown = image.width() > 100 ? image.size() : image.size() / 2;
            if (std::string(name) == "complate_label.png") shown = image.size();
            painter.drawImage(QRect(QPoint(x, 16), shown), image);
            painter.drawImage(QRect(QPoint(x, 80), shown), image);
            x += shown.width() + 16;
        }
        QImageReader gif(resource("loading.gif"));
        for (int f = 0; gif.canRead(); ++f) painter.drawImage(QPoint(10 + f * 54, 136), gif.read());
        painter.end();
        QLabel label;
        label.setPixmap(sheet);
        label.resize(sheet.size());
        QVERIFY(castmill::test::save_screenshot(label, "resources_sheet"));
    }
};

QTEST_MAIN(ResourcesTest)
#include "resources_test.moc"
