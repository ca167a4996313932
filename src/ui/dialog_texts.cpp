#include "ui/dialog_texts.h"

#include <QLocale>

#include "layout/paths.h"
#include "net/service_hosts.h"
#include "ui/content_scale.h"
#include "ui/localizer.h"

namespace velora::st {

namespace {

bool is_cjk(char32_t c) {
    return (c >= 0x2E80 && c <= 0x9FFF) || (c >= 0xAC00 && c <= 0xD7AF) ||
           (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFF00 && c <= 0xFFEF);
}

// The sentence of each failure class, and what to do when nothing more specific applies.
struct ClassWords {
    FailureClass kind;
    const char* headline;
    const char* advice;  // null: no advice of its own
};

constexpr ClassWords kClassWords[] = {
    {FailureClass::kNetwork, "FailNetwork", "TryAgain"},
    {FailureClass::kServer, "FailServer", "TryAgainLater"},
    {FailureClass::kDiskFull, "FailDiskFull", "FreeUpSomeSpace"},
    {FailureClass::kInUse, "FailInUse", "CloseProgramsTryAgain"},
    {FailureClass::kUntrusted, "FailUntrusted", "NothingChanged"},
    {FailureClass::kDowngrade, "FailDowngrade", "NothingChanged"},
    {FailureClass::kCancelled, "FailCancelled", "NothingChanged"},
    {FailureClass::kOther, "FailOther", "TryAgainPlain"},
};

const ClassWords& words_of(FailureClass kind) {
    for (const ClassWords& words : kClassWords)
        if (words.kind == kind) return words;
    return kClassWords[std::size(kClassWords) - 1];
}

// The installer offers a new attempt of the install itself only where the user can clear
// the cause; any other failed install is ended and the old installation stays.
bool retry_offered(RunStatus stage, FailureClass kind) {
    if (!retry_can_help(kind)) return false;
    if (stage < RunStatus::kInstalling) return true;
    return kind == FailureClass::kDiskFull || kind == FailureClass::kInUse;
}

// The blank between two pieces of one sentence; none between CJK characters.
QString gap(const QString& before, const QString& after) {
    return ends_in_cjk(before) && starts_with_cjk(after) ? QString() : QString(" ");
}

QString fill(QString text, const char* field, const QString& value) {
    return text.replace(QString("{%1}").arg(field), value);
}

}  // namespace

QString localized_text(const char* key) {
    return QString::fromStdString(Localizer::instance().text(key));
}

bool ends_in_cjk(const QString& text) { return !text.isEmpty() && is_cjk(text.toUcs4().back()); }

bool starts_with_cjk(const QString& text) {
    return !text.isEmpty() && is_cjk(text.toUcs4().front());
}

QString sentence_of(const char* key) {
    const QString text = localized_text(key);
    return text + (ends_in_cjk(text) ? QString(QChar(0x3002)) : QString("."));
}

QString question_of(const char* key) {
    const QString text = localized_text(key);
    return text + (ends_in_cjk(text) ? QString(QChar(0xFF1F)) : QString("?"));
}

std::string help_address() {
#ifdef _WIN32
    return full_package_address();
#else
    return web_host() + "/download";
#endif
}

FailureWords failure_words(RunStatus stage, int code, int64_t bytes_needed) {
    FailureWords words;
    words.kind = failure_class(stage, code);
    words.retry = retry_offered(stage, words.kind);
    const ClassWords& table = words_of(words.kind);
    words.headline = localized_text(table.headline);
    if (words.kind == FailureClass::kDiskFull && bytes_needed > 0) {
        const QString size =
            QLocale().formattedDataSize(bytes_needed, 1, QLocale::DataSizeTraditionalFormat);
        words.advice = fill(sentence_of("FreeUpSpace"), "size", size);
    } else if (words.retry || words.kind != FailureClass::kOther) {
        words.advice = sentence_of(table.advice);
    }
    words.code_line = fill(localized_text("ErrorCode"), "code", QString::number(code));
    return words;
}

QString failure_content(const FailureWords& words) {
#ifdef _WIN32
    const QString link_text = localized_text("DownloadFullPackage");
    const QString after_link = localized_text("InstallFullPackageAgain");
#else
    const QString link_text = localized_text("OpenDownloadPage");
    const QString after_link;
#endif
    const QString link =
        QString("<a href=\"%1\" style=\"color:#158CFF;\">%2</a>")
            .arg(QString::fromStdString(help_address()).toHtmlEscaped(), link_text.toHtmlEscaped());
    const QString persists = localized_text("InstallPersists");
    QString link_line = persists.toHtmlEscaped() + gap(persists, link_text) + link;
    if (after_link.isEmpty())
        link_line += ends_in_cjk(link_text) ? QString(QChar(0x3002)) : QString(".");
    else
        link_line += gap(link_text, after_link) + after_link.toHtmlEscaped();

    QString body;
    if (!words.advice.isEmpty()) body += words.advice.toHtmlEscaped() + "<br/>";
    body += link_line + "<br/>" + localized_text("Contact").toHtmlEscaped();
    return QString(
               "<span style='text-align: left'><font font-family='Open Sans' "
               "color='#F53F3F'><b>%1</b></font><br/><font color='#333333'>%2</font><br/>"
               "<font color='#999999' style='font-size:%4px'>%3</font></span>")
        .arg(words.headline.toHtmlEscaped(), body, words.code_line.toHtmlEscaped(),
             QString::number(scaled(12)));
}

}  // namespace velora::st
