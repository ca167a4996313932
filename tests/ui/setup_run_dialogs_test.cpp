// The installer window with the real setup engine against the local distribution server:
// the failure dialog of a broken download, answered the way a user answers it.
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>
#include <variant>

#include "app/setup_center_engine.h"
#include "layout/launch_options.h"
#include "support/dist_server.h"
#include "support/running_program.h"
#include "support/sample_suite.h"
#include "support/test_env.h"
#include "ui/install_main_window.h"
#include "ui/localizer.h"
#include "ui/message_box.h"
#include "ui_test_support.h"

namespace fs = std::filesystem;
namespace test = castmill::test;
using velora::st::InstallMainWindow;
using velora::st::LaunchOptions;

namespace {

QString box_text(STMessageBox& box) {
    QString text;
    for (QLabel* label : box.findChildren<QLabel*>()) text += label->text() + "\n";
    return text;
}

QPushButton* button_labelled(STMessageBox& box, const char* key) {
    const QString text = QString::fromStdString(velora::st::Localizer::instance().text(key));
    for (QPushButton* button : box.findChildren<QPushButton*>())
        if (button->text() == text) return button;
    return nullptr;
}

// Runs action on the next box the window shows, from inside the box's own event loop.
void on_next_box(QWidget& window, std::function<void(STMessageBox&)> action) {
    auto* poll = new QTimer(&window);
    QObject::connect(poll, &QTimer::timeout, &window, [poll, &window, action] {
        for (STMessageBox* box : window.findChildren<STMessageBox*>()) {
            if (!box->isVisible()) continue;
            poll->stop();
            poll->deleteLater();
            action(*box);
            return;
        }
    });
    poll->start(10);
}

}  // namespace

class SetupRunDialogsTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TempDir> dir;
    std::unique_ptr<test::DistServer> server;
    fs::path suite;
    fs::path installed;

    LaunchOptions launch() {
        const auto parsed = velora::st::parse_launch_options(
            (test::bin_dir() / "setup").string() +
            ";--install_dir=" + (dir->path() / "install").string() + ";--modules=3");
        return std::get<velora::st::ParsedLaunch>(parsed).options;
    }

private slots:
    void initTestCase() { test::isolate_environment(); }

    void init() {
        dir = std::make_unique<test::TempDir>();
        suite = dir->path() / "suite";
        installed = dir->path() / "install/Castmill";
        test::make_sample_suite(suite, "2.0.0");
        test::make_sample_suite(installed, "1.0.0");
        // A helper of the suite that is not among the programs the shutdown stops.
        test::write_file(suite / "Update/castmill_helper", "new helper");
        fs::copy_file(test::test_programs_dir() / "idle_program",
                      installed / "Update/castmill_helper");
        test::DistServerOptions options;
        options.release = test::publish_release(suite, "2.0.0", dir->path() / "release");
        server = std::make_unique<test::DistServer>(options);
        server->set_host_environment();
    }

    void cleanup() {
        server.reset();
        dir.reset();
    }

    void downloadFailureOffersRetryThatCompletes() {
        // Every file of the release fails until the user has seen the dialog.
        auto fail_always = [this](const std::string& file) {
            test::FaultRule rule;
            rule.path = server->release_path_of(file);
            rule.status = 500;
            server->add_fault(rule);
        };
        fail_always("Castmill_winUpdate.zip");
        for (const auto& [path, content] : test::file_tree(suite)) fail_always(path);
        InstallMainWindow window(launch(), std::make_unique<velora::st::SetupCenterEngine>());
        QSignalSpy finished(&window, &QDialog::finished);
        bool offered_retry = false;
        on_next_box(window, [&](STMessageBox& box) {
            test::save_screenshot(box, "setup_run_download_failed");
            QPushButton* retry = button_labelled(box, "Retry");
            offered_retry = retry != nullptr && button_labelled(box, "Close") != nullptr;
            server->clear_faults();
            if (retry) QTest::mouseClick(retry, Qt::LeftButton);
        });
        window.show();

        QTRY_VERIFY_WITH_TIMEOUT(finished.count() == 1, 120000);
        QVERIFY(offered_retry);
        QCOMPARE(finished.at(0).at(0).toInt(), 0);
        const auto wanted = test::file_tree(suite);
        const auto got = test::file_tree(installed);
        for (const auto& [path, content] : wanted) {
            QVERIFY2(got.count(path) == 1 && got.at(path) == content, path.c_str());
        }
    }

    void heldFileDoesNotStopTheUpdate() {
        // The helper runs from the install tree. The new tree is built beside the old one and
        // switched in by renames, which a running program does not hold up: the update ends
        // without an in-use dialog and the helper runs on from its old image.
        auto holder = std::make_unique<test::RunningProgram>(installed / "Update/castmill_helper");
        QCOMPARE(QString::fromStdString(holder->exchange("ping")), QString("ping"));

        InstallMainWindow window(launch(), std::make_unique<velora::st::SetupCenterEngine>());
        QSignalSpy finished(&window, &QDialog::finished);
        QString shown;
        on_next_box(window, [&](STMessageBox& box) {
            shown = box_text(box);
            box.reject();
        });
        window.show();

        QTRY_VERIFY_WITH_TIMEOUT(finished.count() == 1, 120000);
        QVERIFY2(shown.isEmpty(), qPrintable(shown));
        QCOMPARE(finished.at(0).at(0).toInt(), 0);
        QCOMPARE(QString::fromStdString(test::read_file(installed / "Update/castmill_helper")),
                 QString("new helper"));
        QCOMPARE(QString::fromStdString(holder->exchange("ping")), QString("ping"));
    }
};

QTEST_MAIN(SetupRunDialogsTest)
#include "setup_run_dialogs_test.moc"
