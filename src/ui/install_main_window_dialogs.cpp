// The dialogs of the install window: failure, in-use, cancel confirmation.
#include <QPointer>
#include <QTimer>

#include "base/logger.h"
#include "layout/paths.h"
#include "ui/install_main_window.h"
#include "ui/localizer.h"
#include "ui/message_box.h"

namespace velora::st {

namespace {

std::string text_of(const char* key) { return Localizer::instance().text(key); }

QString qtext_of(const char* key) { return QString::fromStdString(text_of(key)); }

QString dark_title(const char* key) {
    return QString("<font color='#333333'>%1</font>").arg(qtext_of(key));
}

// Chinese, Japanese and Korean sentences end in full-width marks, not ASCII ones.
bool ends_in_cjk(const QString& text) {
    if (text.isEmpty()) return false;
    const char32_t last = text.toUcs4().back();
    return (last >= 0x2E80 && last <= 0x9FFF) || (last >= 0xAC00 && last <= 0xD7AF) ||
           (last >= 0xF900 && last <= 0xFAFF) || (last >= 0xFF00 && last <= 0xFFEF);
}

// The text of key closed by a full stop in its own script.
QString sentence_of(const char* key) {
    const QString text = qtext_of(key);
    return text + (ends_in_cjk(text) ? QString(QChar(0x3002)) : QString("."));
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

void InstallMainWindow::_show_install_failed(const char* message, bool retry_allowed) {
    if (cancelled()) return;
    _show_dim_overlay();
    message_box = new STMessageBox(this);
    STMessageBox* box = message_box;
    box->setTitle(dark_title("InstallFailedTitle").toUtf8().constData());
    box->addButton(STMessageBox::kClose, false);
    if (retry_allowed) box->addButton(STMessageBox::kRetry, true);
    box->setDefaultButton(retry_allowed ? STMessageBox::kRetry : STMessageBox::kClose);

    const QString link =
        QString("%1 <a href=\"%2\" style=\"color:#158CFF;\">%3</a> %4")
            .arg(qtext_of("InstallPersists"), QString::fromStdString(full_package_address()),
                 qtext_of("DownloadFullPackage"), qtext_of("InstallFullPackageAgain"));
    // Engine and server texts are shown as plain text, never as markup.
    const QString shown_message =
        message ? QString::fromUtf8(message).toHtmlEscaped() : QString("unkonwn error");
    const QString content =
        QString(
            "<span style='text-align: left'><font font-family='Open Sans' "
            "color='#F53F3F'><b>%1</b></font><br/><font color='#333333'>%2<br/>%3<br/>%4</font>"
            "</span>")
            .arg(shown_message, sentence_of("TryAgain"), link, qtext_of("Contact"));
    box->setContent(content.toUtf8().constData());

    const int result = run_message_box(box);
    if (retry_allowed && result != STMessageBox::kClose)
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
            .arg(qtext_of("BeingUsedByApplications"), list,
                 sentence_of("CloseApplicationsToContinue"));
    box->setContent(content.toUtf8().constData());

    if (run_message_box(box) == STMessageBox::kClose)
        done(kExitFailed);
    else
        QTimer::singleShot(timings.retry_delay, this, [this] { _start_install(); });
}

bool InstallMainWindow::_confirm_cancel() {
    _show_dim_overlay();
    message_box = new STMessageBox(this);
    STMessageBox* box = message_box;
    box->setTitle(dark_title("InstallCancelTitle").toUtf8().constData());
    const QString question = qtext_of("InstallCancelConfirm");
    // The blank before the mark must not break: a lone "?" on the last line.
    const QString mark = ends_in_cjk(question) ? QString(QChar(0xFF1F)) : QString("&nbsp;?");
    box->setContent(
        QString("<font color='#333333'>%1%2</font>").arg(question, mark).toUtf8().constData());
    box->addButton(STMessageBox::kExit, false);
    box->addButton(STMessageBox::kCancel, true);
    box->setDefaultButton(STMessageBox::kCancel);

    confirming_cancel = true;
    const int result = run_message_box(box);
    confirming_cancel = false;
    return result == STMessageBox::kExit;
}

}  // namespace velora::st
