#include "ui/message_box.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <functional>

#include "support/test_env.h"
#include "ui/localizer.h"
#include "ui_test_support.h"

using velora::st::Localizer;

namespace {

QPushButton* button_labelled(STMessageBox& box, const QString& text) {
    for (QPushButton* b : box.findChildren<QPushButton*>())
        if (b->text() == text) return b;
    return nullptr;
}

// Runs the box's own event loop and does `action` from inside it.
void exec_with(STMessageBox& box, std::function<void()> action) {
    QTimer::singleShot(0, &box, [&box, action] {
        QVERIFY(box.isVisible());
        action();
    });
    box.exec();
    QVERIFY(!box.isVisible());
}

}  // namespace

class MessageBoxTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        Localizer::instance().set_resources_folder(castmill::test::shipped_resources());
        Localizer::instance().init("en-US");
    }

    void resultTellsHowTheBoxWasClosed() {
        {
            STMessageBox box;
            box.addButton(STMessageBox::kClose, false);
            box.addButton(STMessageBox::kRetry, true);
            auto* close_button = box.findChild<QToolButton*>();
            QVERIFY(close_button);
            QVERIFY(!close_button->icon().isNull());
            exec_with(box, [&] { QTest::mouseClick(close_button, Qt::LeftButton); });
            QCOMPARE(box.result(), 255);
        }
        {
            STMessageBox box;
            box.addButton(STMessageBox::kClose, false);
            box.addButton(STMessageBox::kRetry, true);
            exec_with(box,
                      [&] { QTest::mouseClick(button_labelled(box, "Retry"), Qt::LeftButton); });
            QCOMPARE(box.result(), STMessageBox::kRetry);
        }
        // Esc and the window system's close end the box as its x does.
        {
            STMessageBox box;
            box.addButton(STMessageBox::kExit, false);
            exec_with(box, [&] { QTest::keyClick(&box, Qt::Key_Escape); });
            QCOMPARE(box.result(), 255);
        }
        {
            STMessageBox box;
            box.addButton(STMessageBox::kExit, false);
            exec_with(box, [&] { box.close(); });
            QCOMPARE(box.result(), 255);
        }
        // Return clicks the focused control, the x as well as a button.
        {
            STMessageBox box;
            box.addButton(STMessageBox::kClose, false);
            box.addButton(STMessageBox::kRetry, true);
            exec_with(box, [&] {
                box.findChild<QToolButton*>()->setFocus();
                QTest::keyClick(box.focusWidget(), Qt::Key_Return);
            });
            QCOMPARE(box.result(), 255);
        }
        {
            STMessageBox box;
            box.addButton(STMessageBox::kClose, false);
            box.addButton(STMessageBox::kRetry, true);
            box.setDefaultButton(STMessageBox::kRetry);
            exec_with(box, [&] {
                button_labelled(box, "Close")->setFocus();
                QTest::keyClick(box.focusWidget(), Qt::Key_Return);
            });
            QCOMPARE(box.result(), STMessageBox::kClose);
        }
    }

    void buttonsAreLabelledAndSizedFromTheirText() {
        // The shipped label says what the button does; the plain word is narrower.
        castmill::test::TempDir plain;
        castmill::test::write_file(plain / "locale" / "en-US.ini", "Cancel = \"Cancel\"\n");
        Localizer::instance().set_resources_folder(plain.path());
        Localizer::instance().init("en-US");
        STMessageBox box;
        box.addButton(STMessageBox::kCancel, true);
        box.addButton(3, false);
        QPushButton* cancel = button_labelled(box, "Cancel");
        QVERIFY(cancel);
        QFont font = cancel->font();
        QCOMPARE(font.pixelSize(), 14);
        QVERIFY(QFontMetrics(font).horizontalAdvance("Cancel") < 90 - 32);
        QCOMPARE(cancel->size(), QSize(90, 32));
        QPushButton* unknown = button_labelled(box, "");
        QVERIFY(unknown);
        QCOMPARE(unknown->width(), 90);

        // A long translation widens its button beyond the minimum.
        castmill::test::TempDir dir;
        castmill::test::write_file(dir / "locale" / "en-US.ini",
                                   "Retry = \"Try the whole installation once more\"\n");
        Localizer::instance().set_resources_folder(dir.path());
        Localizer::instance().init("en-US");
        box.addButton(STMessageBox::kRetry, false);
        QPushButton* retry = button_labelled(box, "Try the whole installation once more");
        QVERIFY(retry);
        int advance = QFontMetrics(retry->font()).horizontalAdvance(retry->text());
        QVERIFY(advance > 90);
        // The label keeps 16 pixels from each border.
        QCOMPARE(retry->width(), advance + 32);
    }

    void twoButtonsOfOneTypeFocusTheFirst() {
        STMessageBox box;
        box.addButton(STMessageBox::kRetry, true);
        box.addButton(STMessageBox::kRetry, false);
        box.addButton(STMessageBox::kClose, false);
        auto buttons = box.findChildren<QPushButton*>();
        QCOMPARE(buttons.size(), 3);
        box.setDefaultButton(STMessageBox::kRetry);
        box.setDefaultButton(64);  // no such button: focus stays
        exec_with(box, [&] {
            QTRY_COMPARE(box.focusWidget(), buttons[0]);
            QVERIFY(buttons[1]->isVisible());
            QTest::mouseClick(buttons[1], Qt::LeftButton);
        });
        QCOMPARE(box.result(), STMessageBox::kRetry);
    }

    void nullTextsClearTheLabels() {
        STMessageBox box;
        box.setTitle("Title");
        box.setContent("<b>Content</b>");
        auto labels = box.findChildren<QLabel*>();
        box.setTitle(nullptr);
        box.setContent(nullptr);
        for (QLabel* label : labels) QVERIFY(label->text().isEmpty());
    }

    void roundedCornersAreMaskedAndScreenshot() {
        STMessageBox box;
        box.setTitle("<font color='#333333'>Installation failed</font>");
        box.setContent(
            "<span style='text-align: left'><font font-family='Open Sans' "
            "color='#F53F3F'><b>download failed code: 28</b></font><br/><font "
            "color='#333333'>Please check your network connection and try again.<br/>If the "
            "problem persists, <a href=\"http://127.0.0.1/files/apps/castmill/"
            "Castmill_full_package.exe\" style=\"color:#158CFF;\">download the full "
            "installer</a> and run it to install again.<br/>Still need help? Contact Castmill "
            "support.</font></span>");
        box.addButton(STMessageBox::kClose, false);
        box.addButton(STMessageBox::kRetry, true);
        box.setDefaultButton(STMessageBox::kRetry);
        box.resize(480, 260);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        QPixmap shot = box.grab();
        QVERIFY(!box.mask().isEmpty());
        QVERIFY(!box.mask().contains(QPoint(0, 0)));
        QVERIFY(box.mask().contains(QPoint(box.width() / 2, box.height() / 2)));
        QVERIFY(castmill::test::save_screenshot(box, "message_box_two_buttons"));
        box.close();
    }
};

QTEST_MAIN(MessageBoxTest)
#include "message_box_test.moc"
