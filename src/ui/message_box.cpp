#include "ui/message_box.h"

#include <QBitmap>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTextDocumentFragment>
#include <QToolButton>
#include <algorithm>

#include "ui/content_scale.h"
#include "ui/dialog_texts.h"
#include "ui/fonts.h"
#include "ui/localizer.h"
#include "ui/resources_folder.h"

namespace {

constexpr const char* kPrimaryLook =
    "QPushButton{background-color: #FF2D89;color: #FFFFFF;border:0px solid "
    "#FF2D89;border-radius:8px;}QPushButton:hover{background-color:#FF4295; color: "
    "#FFFFFF;}QPushButton:pressed{background-color:#EB1975; color: #FFFFFF;}"
    // Where the keyboard is: a dark ring inside the pink.
    "QPushButton:focus{border:2px solid #9E0F4F;}";
constexpr const char* kSecondaryLook =
    "QPushButton{background-color: #FFFFFF;border:1px solid "
    "#FF2D89;color:#FF2D89;border-radius:8px;}QPushButton:hover{background-color:#FFFFFF;"
    "border:1px solid #FF4295;color:#FF4295;}QPushButton:pressed{background-color:#FFFFFF;"
    "border:1px solid #EB1975;color:#EB1975;}QPushButton:focus{border:2px solid #FF2D89;}";

constexpr int kMinButtonWidth = 90;
// Room on each side of a button's label, so that it never touches the border.
constexpr int kButtonPadding = 16;
constexpr int kButtonHeight = 32;

const char* button_key(int type) {
    switch (type) {
        case STMessageBox::kClose:
            return "Close";
        case STMessageBox::kRetry:
            return "Retry";
        case STMessageBox::kResume:
            return "Resume";
        case STMessageBox::kCancel:
            return "Cancel";
        case STMessageBox::kExit:
            return "Exit";
        default:
            return nullptr;
    }
}

}  // namespace

STMessageBox::STMessageBox(QWidget* parent) : QDialog(parent) {
    setWindowModality(Qt::WindowModal);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);

    grid = new QGridLayout;
    grid->setVerticalSpacing(velora::st::scaled(16));
    grid->setContentsMargins(velora::st::scaled(24), velora::st::scaled(24), velora::st::scaled(24),
                             velora::st::scaled(18));

    title_label = new QLabel;
    title_label->setFont(velora::st::open_sans(16, 600));
    grid->addWidget(title_label, 0, 0, 1, 2, Qt::AlignLeft);

    auto* close_button = new QToolButton;
    // "border:none" lets the sheet draw the (empty) background itself; the native
    // panel of some styles (Fusion) turns a transparent background black.
    close_button->setStyleSheet(
        "QToolButton{background-color:transparent;border:none;}"
        "QToolButton:focus{border:1px solid #FF2D89;border-radius:4px;}");
    close_button->setIcon(
        QIcon(velora::st::qt_path(velora::st::resources_folder() / "popup_close.png")));
    close_button->setFixedSize(velora::st::scaled(QSize(24, 24)));
    close_button->setIconSize(velora::st::scaled(QSize(24, 24)));
    close_button->setAccessibleName(
        QString::fromStdString(velora::st::Localizer::instance().text("CloseButton")));
    connect(close_button, &QToolButton::clicked, this, &STMessageBox::on_close_button_clicked);
    grid->addWidget(close_button, 0, 2, 1, 1, Qt::AlignRight);

    content_label = new QLabel;
    content_label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    content_label->setOpenExternalLinks(true);
    // The help link is reached with Tab and opened with Return, like the buttons.
    content_label->setTextInteractionFlags(Qt::LinksAccessibleByMouse |
                                           Qt::LinksAccessibleByKeyboard);
    content_label->setWordWrap(true);
    content_label->setFont(velora::st::open_sans(14));
    grid->addWidget(content_label, 1, 0, 1, 3);

    auto* row_widget = new QWidget;
    row_widget->setFixedHeight(velora::st::scaled(48));
    button_row = new QHBoxLayout;
    button_row->setAlignment(Qt::AlignRight);
    button_row->setSpacing(velora::st::scaled(12));
    row_widget->setLayout(button_row);
    grid->addWidget(row_widget, 2, 0, 1, 3);

    setMinimumSize(velora::st::scaled(QSize(320, 180)));
    setLayout(grid);
    setStyleSheet("QDialog{border:none;background-color:white;border-radius:8px;}");
}

STMessageBox::~STMessageBox() {
    for (auto& [type, button] : buttons) delete button;
    delete title_label;
    delete content_label;
    delete button_row;
    delete grid;
}

void STMessageBox::setTitle(const char* title) {
    title_label->setText(title ? QString::fromUtf8(title) : QString());
    // The box is called by its title, without the title's markup.
    const QString name = QTextDocumentFragment::fromHtml(title_label->text()).toPlainText();
    // Chinese, Japanese and Korean faces have no semibold: the title takes their bold.
    title_label->setFont(velora::st::open_sans(
        16, velora::st::starts_with_cjk(name) ? QFont::Bold : QFont::DemiBold));
    setAccessibleName(name);
    setWindowTitle(name);
}

void STMessageBox::setContent(const char* content) {
    content_label->setText(content ? QString::fromUtf8(content) : QString());
    setAccessibleDescription(QTextDocumentFragment::fromHtml(content_label->text()).toPlainText());
}

void STMessageBox::addButton(int type, bool primary) {
    auto* button = new QPushButton;
    button->setFont(velora::st::open_sans(14));
    const char* key = button_key(type);
    QString label =
        key ? QString::fromStdString(velora::st::Localizer::instance().text(key)) : QString();
    int width = QFontMetrics(button->font()).horizontalAdvance(label) +
                2 * velora::st::scaled(kButtonPadding);
    button->setFixedSize(std::max(width, velora::st::scaled(kMinButtonWidth)),
                         velora::st::scaled(kButtonHeight));
    button->setText(label);
    button->setStyleSheet(primary ? kPrimaryLook : kSecondaryLook);
    buttons.emplace(type, button);
    connect(button, &QPushButton::clicked, this, [this, type] { on_button_click(type); });
    button_row->addWidget(button, 2);
}

void STMessageBox::setDefaultButton(int type) {
    auto found = buttons.find(type);
    if (found != buttons.end()) found->second->setFocus(Qt::OtherFocusReason);
}

int STMessageBox::result() const { return result_; }

void STMessageBox::on_close_button_clicked() {
    result_ = kClosedByCloseButton;
    close();
}

void STMessageBox::reject() {
    if (result_ == 0) result_ = kClosedByCloseButton;
    QDialog::reject();
}

void STMessageBox::keyPressEvent(QKeyEvent* event) {
    if (!click_focused_button(this, event)) QDialog::keyPressEvent(event);
}

void STMessageBox::on_button_click(int button) {
    result_ = button;
    close();
}

void STMessageBox::showEvent(QShowEvent* event) {
    if (QWidget* owner = parentWidget()) {
        adjustSize();
        const QPoint centre = owner->mapToGlobal(owner->rect().center());
        move(centre - QPoint(width() / 2, height() / 2));
    }
    QDialog::showEvent(event);
}

void STMessageBox::paintEvent(QPaintEvent* event) {
    apply_rounded_mask(this);
    QDialog::paintEvent(event);
}

bool click_focused_button(QWidget* dialog, QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (!enter || event->modifiers() != Qt::NoModifier) return false;
    auto* button = qobject_cast<QAbstractButton*>(dialog->focusWidget());
    if (!button) return false;
    button->click();
    return true;
}

void apply_rounded_mask(QWidget* widget) {
    QBitmap mask(widget->size());
    mask.fill(Qt::color0);
    QPainter painter(&mask);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::color1);
    painter.drawRoundedRect(mask.rect(), 5, 5, Qt::AbsoluteSize);
    painter.end();
    widget->setMask(mask);
}
