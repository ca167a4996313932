#include "ui/localizer.h"

#include <QLocale>
#include <QStringDecoder>
#include <QTest>
#include <algorithm>

#include "support/test_env.h"
#include "ui_test_support.h"

using castmill::test::TempDir;
using castmill::test::write_file;
using velora::st::Localizer;

class LocalizerTest : public QObject {
    Q_OBJECT

private:
    Localizer& loc = Localizer::instance();

private slots:
    void appliesTheLineRules() {
        TempDir dir;
        write_file(dir / "locale" / "en-US.ini",
                   "\xEF\xBB\xBF"
                   "First = \"one\"\n"
                   "[section]\n"
                   "; a comment\n"
                   "Preparing = \"Preparing...\"\n"
                   "\tTabbed\t=\t\"tab\"\t\n"
                   "Crlf=\"windows\"\r\n"
                   "Retry=\"Retry\n"
                   "Unquoted = Unquoted text\n"
                   "Equation = \"a=b\"\n"
                   "Short = \"\n"
                   "Empty = \"\"\n"
                   " = \"no key\"\n"
                   "Twice = \"old\"\n"
                   "Twice = \"new\"\n"
                   "Umlaut = \"Schließen\"\n"
                   "Last = \"no newline\"");
        loc.set_resources_folder(dir.path());
        QVERIFY(loc.load("en-US"));

        QCOMPARE(loc.text("Preparing"), std::string("Preparing..."));
        QCOMPARE(loc.text("Tabbed"), std::string("tab"));
        QCOMPARE(loc.text("Crlf"), std::string("windows"));
        // The first and last characters go, whatever they are.
        QCOMPARE(loc.text("Retry"), std::string("Retr"));
        QCOMPARE(loc.text("Unquoted"), std::string("Unquoted"));
        QCOMPARE(loc.text("Equation"), std::string("Equation"));
        QCOMPARE(loc.text("Short"), std::string("Short"));
        QCOMPARE(loc.text("Empty"), std::string());
        QCOMPARE(loc.text("Twice"), std::string("new"));
        QCOMPARE(loc.text("Umlaut"), std::string("Schließen"));
        QCOMPARE(loc.text("Last"), std::string("no newline"));
        // A byte-order mark stays part of the first key.
        QCOMPARE(loc.text("First"), std::string("First"));
        QCOMPARE(loc.text("\xEF\xBB\xBF"
                          "First"),
                 std::string("one"));
        QCOMPARE(loc.text("no key"), std::string("no key"));
    }

    void reloadingReplacesTheWholeTable() {
        TempDir dir;
        write_file(dir / "locale" / "en-US.ini", "Gone = \"old\"\nKept = \"old\"\n");
        loc.set_resources_folder(dir.path());
        QVERIFY(loc.load("en-US"));
        write_file(dir / "locale" / "en-US.ini", "Kept = \"new\"\n");
        QVERIFY(loc.load("en-US"));
        QCOMPARE(loc.text("Kept"), std::string("new"));
        QCOMPARE(loc.text("Gone"), std::string("Gone"));
    }

    void fallsBackToEnglishThenToTheKey() {
        TempDir dir;
        loc.set_resources_folder(dir.path());
        QVERIFY(loc.init("de_DE"));
        QCOMPARE(loc.current_locale(), std::string("en-US"));
        QCOMPARE(loc.text("Preparing"), std::string("Preparing"));
        QCOMPARE(loc.text("InstallFailedTitle"), std::string("InstallFailedTitle"));
        QVERIFY(!loc.load("de-DE"));

        write_file(dir / "locale" / "en-US.ini",
                   "Preparing = \"Preparing...\"\nRetry = \"Retry\"\n");
        QVERIFY(loc.init("de_DE"));
        QCOMPARE(loc.current_locale(), std::string("en-US"));
        QCOMPARE(loc.text("Preparing"), std::string("Preparing..."));

        write_file(dir / "locale" / "de-DE.ini", "Preparing = \"Vorbereitung...\"\n");
        QVERIFY(loc.init("de_DE"));
        QCOMPARE(loc.current_locale(), std::string("de-DE"));
        QCOMPARE(loc.text("Preparing"), std::string("Vorbereitung..."));
        QCOMPARE(loc.text("Retry"), std::string("Retry"));
        QCOMPARE(loc.text("Missing"), std::string("Missing"));
    }

    void initChoosesTheSystemLanguage() {
        TempDir dir;
        std::string system = QLocale::system().name().toStdString();
        std::replace(system.begin(), system.end(), '_', '-');
        write_file(dir / "locale" / (system + ".ini"), "Preparing = \"system\"\n");
        loc.set_resources_folder(dir.path());
        QVERIFY(loc.init());
        QCOMPARE(loc.current_locale(), system);
        QCOMPARE(loc.text("Preparing"), std::string("system"));
    }

    void shippedFilesHaveEveryKey_data() {
        QTest::addColumn<QString>("locale");
        QTest::newRow("en-US") << "en-US";
        QTest::newRow("de-DE") << "de-DE";
        QTest::newRow("zh-CN") << "zh-CN";
    }

    void shippedFilesHaveEveryKey() {
        QFETCH(QString, locale);
        // A fallback table that marks every key, so a missing one shows.
        TempDir dir;
        std::string name = locale.toStdString();
        std::string content = castmill::test::read_file(castmill::test::shipped_resources() /
                                                        "locale" / (name + ".ini"));
        QVERIFY(!content.empty());
        QStringDecoder utf8(QStringDecoder::Utf8);
        QString decoded = utf8(QByteArray::fromStdString(content));
        QVERIFY(!utf8.hasError());
        QVERIFY(!decoded.startsWith(QChar(0xFEFF)));
        write_file(dir / "locale" / "xx-XX.ini", content);
        loc.set_resources_folder(dir.path());

        const char* keys[] = {"Preparing",
                              "Downloading",
                              "Installing",
                              "Complete",
                              "Connect-Toys",
                              "Stickers-Themes",
                              "Multi-Streaming",
                              "Chatbox",
                              "Insights",
                              "Connect-Toys-Brief",
                              "Stickers-Themes-Brief",
                              "Multi-Streaming-Brief",
                              "Chatbox-Brief",
                              "Insights-Brief",
                              "Close",
                              "Retry",
                              "Resume",
                              "Cancel",
                              "Exit",
                              "InstallFailedTitle",
                              "InstallFullPackageAgain",
                              "DownloadFullPackage",
                              "InstallPersists",
                              "TryAgain",
                              "Contact",
                              "InstallationPaused",
                              "BeingUsedByApplications",
                              "CloseApplicationsToContinue",
                              "InstallCancelTitle",
                              "InstallCancelConfirm"};
        std::string marks;
        for (const char* key : keys) marks += std::string(key) + " = \"<missing>\"\n";
        write_file(dir / "locale" / "en-US.ini", marks);
        QVERIFY(loc.init("xx-XX"));
        QCOMPARE(loc.current_locale(), std::string("xx-XX"));
        for (const char* key : keys) {
            std::string text = loc.text(key);
            QVERIFY2(!text.empty() && text != "<missing>", key);
            // Texts go into rich-text labels as they are.
            QVERIFY2(text.find_first_of("<>&") == std::string::npos, key);
        }
    }

    void cleanupTestCase() { loc.set_resources_folder(castmill::test::shipped_resources()); }
};

QTEST_MAIN(LocalizerTest)
#include "localizer_test.moc"
