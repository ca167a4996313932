// The dialogs of the install window: failure, in-use, cancel confirmation.
#include <QLabel>
#include <QMovie>
#include <QPointer>
#include <QTimer>

#include "base/logger.h"
#include "ui/dialog_texts.h"
#include "ui/install_main_window.h"
#include "ui/install_main_window_ui.h"
#include "ui/localizer.h"
#include "ui/message_box.h"

namespace velora::st {

namespace {

QString dark_title(const char* key) {
    return QString("<font color='#333333'>%1</font>").arg(localized_text(key));
}

}  // namespace

void InstallMainWindow::_show_dim_overlay() {
    dialog_shown = true;
    if (dim_overlay) {
        dim_overlay->close();
        delete dim_overlay;
    }
    dim_overlay = new QWidget(this);
    dim_overlay->setStyleSheet("background-color: rgba(0, 0, 0, 40%);");
    dim_overlay->setGeometry(rect());
    dim_overlay->show();
    discard_message_box();
}

// Deferred: the box may still be running its own event loop further up the stack, when
// a stage result arrives while another dialog is open.
void InstallMainWindow::discard_message_box() {
    if (!message_box) return;
    message_box->close();
    message_box->deleteLater();
    message_box = nullptr;
}

int InstallMainWindow::run_message_box(STMessageBox* box) {
    QPointer<STMessageBox> guard(box);
    box->exec();
    remove_dim_overlay();
    // The keyboard goes back to the window, also where no window manager hands it back.
    if (!finished) {
        if (outer_frame) outer_frame->activateWindow();
        activateWindow();
        setFocus(Qt::OtherFocusReason);
    }
    return guard ? guard->result() : 0;
}

void InstallMainWindow::remove_dim_overlay() {
    if (dim_overlay) {
        dim_overlay->close();
        delete dim_overlay;
        dim_overlay = nullptr;
    }
    dialog_shown = false;
}

void InstallMainWindow::_show_install_failed(RunStatus stage, int code) {
    if (cancelled()) return;
    const FailureWords words = failure_words(stage, code, bytes_still_needed(stage));
    log_tagged(kLogInfo, "failure dialog: stage %d code %d class %d retry %d", status_number(stage),
               code, static_cast<int>(words.kind), words.retry ? 1 : 0);
    _show_dim_overlay();
    message_box = new STMessageBox(this);
    STMessageBox* box = message_box;
    box->setTitle(dark_title("InstallFailedTitle").toUtf8().constData());
    box->addButton(STMessageBox::kClose, false);
    if (words.retry) box->addButton(STMessageBox::kRetry, true);
    box->setDefaultButton(words.retry ? STMessageBox::kRetry : STMessageBox::kClose);
    box->setContent(failure_content(words).toUtf8().constData());

    // Nothing runs while the question is up.
    if (QMovie* busy = ui->statusEffect->movie()) busy->setPaused(true);
    const int result = run_message_box(box);
    if (QMovie* busy = ui->statusEffect->movie()) busy->setPaused(false);
    // Only Retry tries again: the box's x and Esc close it as Close does.
    if (words.retry && result == STMessageBox::kRetry)
        QTimer::singleShot(timings.retry_delay, this, [this] { retry_after_failure(); });
    else
        done(kExitFailed);
}

void InstallMainWindow::_retry_install_in_use(const QString& message) {
    if (message.isEmpty()) {
        log_tagged(kLogError, "InstallMainWindow::_retry_install_in_use message is empty");
        done(kExitFailed);
        return;
    }
    _show_dim_overlay();
    message_box = new STMessageBox(this);
    STMessageBox* box = message_box;
    box->addButton(STMessageBox::kClose, false);
    box->addButton(STMessageBox::kRetry, true);
    box->setDefaultButton(STMessageBox::kRetry);
    box->setTitle(dark_title("InstallationPaused").toUtf8().constData());

    // One program per line; names are plain text.
    QString list = message;
    list.replace("\r\n", "\n");
    if (list.endsWith('\n')) list.chop(1);
    list = list.toHtmlEscaped();
    list.replace('\n', "<br/>");
    const QString content =
        QString(
            "<span style='text-align: left'><font color='#333333'>%1</font><br/><font "
            "color='#333333'><b>%2</b><br/>%3</font></span>")
            .arg(localized_text("BeingUsedByApplications"), list,
                 sentence_of("CloseApplicationsToContinue"));
    box->setContent(content.toUtf8().constData());

    // Only Retry tries again: the box's x and Esc close it as Close does.
    if (run_message_box(box) == STMessageBox::kRetry)
        QTimer::singleShot(timings.retry_delay, this, [this] { _start_install(); });
    else
        done(kExitFailed);
}

bool InstallMainWindow::_confirm_cancel() {
    _show_dim_overlay();
    message_box = new STMessageBox(this);
    STMessageBox* box = message_box;
    box->setTitle(dark_title("InstallCancelTitle").toUtf8().constData());
    box->setContent(QString("<font color='#333333'>%1</font>")
                        .arg(question_of("InstallCancelConfirm").toHtmlEscaped())
                        .toUtf8()
                        .constData());
    box->addButton(STMessageBox::kExit, false);
    box->addButton(STMessageBox::kCancel, true);
    box->setDefaultButton(STMessageBox::kCancel);

    confirming_cancel = true;
    const int result = run_message_box(box);
    confirming_cancel = false;
    return result == STMessageBox::kExit;
}

}  // namespace velora::st
