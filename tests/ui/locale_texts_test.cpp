// The shipped translations in the window: each text in its fixed-size label, measured
// with the label's own font, and the wording of the cancel confirmation.
#include <QLabel>
#include <QTest>
#include <memory>

#include "layout/paths.h"
#include "support/scripted_install_engine.h"
#include "support/test_env.h"
#include "ui/install_main_window.h"
#include "ui/localizer.h"
#include "ui_test_support.h"

using castmill::test::Gate;
using castmill::test::ScriptedInstallEngine;
using velora::st::InstallMainWindow;
using velora::st::Localizer;

namespace {

constexpr const char* kLocales[] = {"en-US", "de-DE", "zh-CN"};
constexpr const char* kTipKeys[] = {"Connect-Toys", "Stickers-Themes", "Multi-Streaming", "Chatbox",
                                    "Insights"};
constexpr const char* kStatusKeys[] = {"Preparing", "Downloading", "Installing", "Complete"};

QString text_of(const char* key) { return QString::fromStdString(Localizer::instance().text(key)); }

// Empty when the text fits the label as it is placed; else what does not fit. A one-line
// label must hold the text's width, a wrapping one the lines it wraps into.
QString misfit(QLabel& label, const QString& locale, const QString& key, const QString& text) {
    label.setText(text);
    const QSize room = label.size();
    const QSize needed = label.wordWrap() ? QSize(room.width(), label.heightForWidth(room.width()))
                                          : QSize(label.sizeHint().width(), room.height());
    if (needed.width() <= room.width() && needed.height() <= room.height()) return {};
    return QString("%1 %2 needs %3x%4 in %5x%6: %7\n")
        .arg(locale, key)
        .arg(needed.width())
        .arg(needed.height())
        .arg(room.width())
        .arg(room.height())
        .arg(text);
}

}  // namespace

class LocaleTextsTest : public QObject {
    Q_OBJECT

    castmill::test::TempDir install_dir;

private slots:
    void init() { Localizer::instance().set_resources_folder(castmill::test::shipped_resources()); }

    void everyTextFitsItsLabel() {
        Gate checking;
        auto engine = std::make_unique<ScriptedInstallEngine>();
        engine->on_initialize = [&](int, std::string&) {
            checking.wait();
            return 0;
        };
        velora::st::LaunchOptions options;
        options.install_dir = install_dir.path();
        options.modules = 3;
        Localizer::instance().init("en-US");
        InstallMainWindow window(options, std::move(engine));
        window.show();
        struct OpenOnExit {
            Gate& gate;
            ~OpenOnExit() { gate.open(); }
        } opener{checking};
        auto* status = window.findChild<QLabel*>("progressInformation");
        auto* title = window.findChild<QLabel*>("infoTitleLabel");
        auto* detail = window.findChild<QLabel*>("infoDetailLabel");
        QVERIFY(status && title && detail);
        // The status label takes its place on the first tick.
        QTRY_COMPARE(status->text(), text_of("Preparing"));

        QString misfits;
        for (const char* locale : kLocales) {
            Localizer::instance().init(locale);
            QCOMPARE(QString::fromStdString(Localizer::instance().current_locale()),
                     QString(locale));
            for (const char* key : kTipKeys) {
                const std::string brief = std::string(key) + "-Brief";
                misfits += misfit(*title, locale, key, text_of(key));
                misfits +=
                    misfit(*detail, locale, QString::fromStdString(brief), text_of(brief.c_str()));
            }
            for (const char* key : kStatusKeys)
                misfits += misfit(*status, locale, key, text_of(key));
        }
        QVERIFY2(misfits.isEmpty(), qPrintable(misfits));
    }

    // The box asks whether to stop installing; its highlighted button keeps going, so it
    // must not repeat the title's verb ("Cancel installation" - "Cancel").
    void cancelButtonsSayWhatTheyDo() {
        for (const char* locale : kLocales) {
            Localizer::instance().init(locale);
            const QString keep_going = text_of("Cancel");
            const QString stop = text_of("Exit");
            const QString question =
                text_of("InstallCancelTitle") + " " + text_of("InstallCancelConfirm");
            QVERIFY2(keep_going != stop, locale);
            QVERIFY2(!question.contains(keep_going, Qt::CaseInsensitive),
                     qPrintable(QString("%1: \"%2\" in \"%3\"").arg(locale, keep_going, question)));
        }
    }
};

QTEST_MAIN(LocaleTextsTest)
#include "locale_texts_test.moc"
