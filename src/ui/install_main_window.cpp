#include "ui/install_main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QFontDatabase>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMovie>
#include <QPixmap>
#include <QProgressBar>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <cstdio>
#include <utility>

#include "app/run_status.h"
#include "base/logger.h"
#include "ui/carousel_image_window.h"
#include "ui/content_scale.h"
#include "ui/fonts.h"
#include "ui/install_main_window_ui.h"
#include "ui/localizer.h"
#include "ui/message_box.h"
#include "ui/resources_folder.h"

namespace velora::st {

namespace {

constexpr const char* kTitleButtonLook =
    "QToolButton{border-radius:4px;background-color:transparent;}QToolButton:hover{border-"
    "radius:4px;background-color:#f4f4f4}QToolButton:pressed{border-radius:4px;background-"
    "color:#f4f4f4}QToolButton:focus{border:1px solid #FF2D89;}";
// "border:none" lets the sheet draw the (empty) background itself: the native panel of
// the default style (Fusion) paints the transparent background as a black square.
// A white ring shows where the keyboard is.
constexpr const char* kTipButtonLook =
    "QToolButton{background-color:transparent;border:none;}"
    "QToolButton:focus{border:2px solid #FFFFFF;border-radius:16px;}";
constexpr const char* kSolidBar =
    "QProgressBar{ background: #EAEAEA;border-radius:8px; }QProgressBar::chunk "
    "{background-color: #FF2D89; border-radius:8px;}";
constexpr const char* kGradientBar =
    "QProgressBar{ background: #EAEAEA;border-radius:8px; }QProgressBar::chunk "
    "{background-color: qlineargradient(x1:0, y1:0, x2:1.0, y2:0.0, stop:0 #FF2D89,stop:1 "
    "#FF907F);border-radius:8px;}";
constexpr const char* kWhiteText = "color:#FFFFFF;";
constexpr const char* kDarkText = "color:#333333;";

constexpr const char* kTipKeys[] = {"Connect-Toys", "Stickers-Themes", "Multi-Streaming", "Chatbox",
                                    "Insights"};
constexpr int kTipCount = 5;
constexpr int kCarouselIntervalMs = 10000;

// Bar looks (bar_look): which style sheet and value are on the bar.
constexpr int kLookGradientStart = 1;
constexpr int kLookSolidStart = 2;
constexpr int kLookGradientIdle = 3;
constexpr int kLookGradientFull = 4;

// A child widget of `parent`, named as the tests and style sheets find it, at a fixed place
// of the design.
template <typename Widget>
Widget* make_child(QWidget* parent, const char* name, const QRect& geometry) {
    auto* widget = new Widget(parent);
    widget->setObjectName(name);
    widget->setGeometry(scaled(geometry));
    return widget;
}

}  // namespace

QString format_size(uint64_t bytes) {
    double megabytes = static_cast<double>(bytes) / 1024 / 1024;
    if (static_cast<int64_t>(megabytes) >= 1000)
        return QString::asprintf("%.2fG", megabytes / 1024);
    return QString::asprintf("%3dM", static_cast<int>(megabytes));
}

InstallMainWindow::InstallMainWindow(const LaunchOptions& launch_options,
                                     std::unique_ptr<InstallEngine> engine, WindowTimings waits,
                                     QWidget* parent)
    : QDialog(parent), options(launch_options), timings(waits) {
    RunObserver& observer = *this;
    run = std::make_unique<RunController>(launch_options, std::move(engine), observer, waits.run);
    build_ui();
    Localizer::instance().init();
    name_controls();

    setFixedSize(width(), height());
    Qt::WindowFlags flags = windowFlags();
    flags &= ~Qt::WindowMaximizeButtonHint;
    flags &= ~Qt::WindowCloseButtonHint;
    setWindowFlags(flags | Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint);

    ui->progressBar->setTextVisible(false);
    ui->progressBar->setFormat("");
    ui->progressBar->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    apply_bar_look(kLookSolidStart);

    ui->downloadInformation->setText("");
    ui->downloadInformation->hide();
    ui->downloadCostTime->setText("");
    ui->downloadCostTime->hide();

    resource_dir = resources_folder();
    for (int i = 1; i <= kTipCount; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "info_image_%d.png", i);
        std::filesystem::path image = resource_dir / name;
        if (std::filesystem::exists(image))
            ui->imageWindow->addImage(qt_path(image));
        else
            log_tagged(kLogWarning, "image file not exist: %s", image);
    }

    ui->titleImage->setPixmap(
        scaled_picture(qt_path(resource_dir / "title.png"), QSize(), devicePixelRatioF()));

    ui->imageWindow->setBorderVisible(false);
    ui->imageWindow->setInterval(kCarouselIntervalMs);
    ui->imageWindow->setDotsVisible(true);

    auto set_button = [this](QToolButton* button, const char* icon, int size, const char* look) {
        button->setIcon(QIcon(qt_path(resource_dir / icon)));
        button->setFixedSize(scaled(size), scaled(size));
        button->setIconSize(scaled(QSize(size, size)));
        button->setStyleSheet(look);
    };
    set_button(ui->closeBotton, "close.png", 20, kTitleButtonLook);
    set_button(ui->minBotton, "min.png", 20, kTitleButtonLook);
    set_button(ui->nextInfoButton, "next_botton.png", 32, kTipButtonLook);
    set_button(ui->prevInfoButton, "prev_botton.png", 32, kTipButtonLook);
    show_tip_buttons(false);

    _update_status_effect(true);
    _load_fonts();

    connect(ui->closeBotton, &QToolButton::clicked, this, &InstallMainWindow::onCancelBtn);
    connect(ui->minBotton, &QToolButton::clicked, this, &InstallMainWindow::onMinimizeBtn);
    connect(ui->prevInfoButton, &QToolButton::clicked, this, &InstallMainWindow::onPrevTips);
    connect(ui->nextInfoButton, &QToolButton::clicked, this, &InstallMainWindow::onNextTips);
    check_timer = new QTimer(this);
    connect(check_timer, &QTimer::timeout, this, &InstallMainWindow::onCheckTimeout);
    check_timer->start(timings.status_tick);

    _start_check();
    _show_tip(0);
    ui->imageWindow->start();
    ui->imageWindow->show();
    ui->imageWindow->setImageChangedCallback([this](int index) { _show_tip(index); });
}

InstallMainWindow::~InstallMainWindow() {
    delete check_timer;
    check_timer = nullptr;
    run.reset();
    delete ui;
}

void InstallMainWindow::build_ui() {
    ui = new InstallMainWindowUi;
    if (objectName().isEmpty()) setObjectName("InstallMainWindow");
    setWindowModality(Qt::NonModal);
    resize(scaled(QSize(708, 664)));
    setStyleSheet("QDialog{border: 2px solid #EAEAEA;;background-color:white;border-radius:8px;}");

    auto fixed_height = [](QWidget* widget, int height) {
        widget->setMinimumSize(0, scaled(height));
        widget->setMaximumSize(16777215, scaled(height));
    };
    QFont verdana("Verdana");

    ui->gridLayoutWidget = make_child<QWidget>(this, "gridLayoutWidget", {0, 0, 840, 660});

    ui->titleWidget =
        make_child<QWidget>(ui->gridLayoutWidget, "titleWidget", {0, 0, 16777215, 32});
    fixed_height(ui->titleWidget, 32);

    ui->titleImage = make_child<QLabel>(ui->titleWidget, "titleImage", {0, 0, 16777215, 32});
    fixed_height(ui->titleImage, 32);

    ui->minBotton = make_child<QToolButton>(ui->titleWidget, "minBotton", {640, 6, 20, 20});
    ui->closeBotton = make_child<QToolButton>(ui->titleWidget, "closeBotton", {668, 6, 20, 20});

    ui->imageWindow =
        make_child<CarouselImageWindow>(ui->gridLayoutWidget, "imageWindow", {2, 32, 704, 528});
    ui->imageWindow->setMinimumSize(scaled(QSize(704, 528)));
    ui->imageWindow->setMaximumSize(scaled(QSize(704, 528)));

    ui->infoTitleLabel = make_child<QLabel>(ui->imageWindow, "infoTitleLabel", {32, 19, 641, 36});
    fixed_height(ui->infoTitleLabel, 36);
    QFont title_font("Verdana", 20);
    title_font.setWeight(QFont::Bold);
    ui->infoTitleLabel->setFont(title_font);
    ui->infoTitleLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    ui->infoDetailLabel = make_child<QLabel>(ui->imageWindow, "infoDetailLabel", {33, 57, 438, 48});
    ui->infoDetailLabel->setFont(QFont("Verdana", 8));
    ui->infoDetailLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    ui->infoDetailLabel->setWordWrap(true);
    ui->infoDetailLabel->setMargin(0);

    QFont tip_font("Verdana");
    tip_font.setWeight(QFont::Normal);
    tip_font.setUnderline(true);
    ui->prevInfoButton =
        make_child<QToolButton>(ui->imageWindow, "prevInfoButton", {20, 260, 32, 32});
    ui->nextInfoButton =
        make_child<QToolButton>(ui->imageWindow, "nextInfoButton", {654, 260, 32, 32});
    for (QToolButton* button : {ui->prevInfoButton, ui->nextInfoButton}) button->setFont(tip_font);

    ui->bottomWidget = make_child<QWidget>(ui->gridLayoutWidget, "bottomWidget", {0, 0, 100, 30});

    ui->statusEffect = make_child<QLabel>(ui->gridLayoutWidget, "statusEffect", {270, 586, 48, 48});
    ui->statusEffect->setAlignment(Qt::AlignCenter);

    ui->downloadCostTime =
        make_child<QLabel>(ui->gridLayoutWidget, "downloadCostTime", {466, 616, 124, 24});
    ui->downloadInformation =
        make_child<QLabel>(ui->gridLayoutWidget, "downloadInformation", {560, 616, 124, 24});
    for (QLabel* label : {ui->downloadCostTime, ui->downloadInformation}) {
        label->setFont(verdana);
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    }

    ui->progressInformation =
        make_child<QLabel>(ui->gridLayoutWidget, "progressInformation", {319, 598, 115, 24});
    ui->progressInformation->setFont(verdana);

    ui->progressBar =
        make_child<QProgressBar>(ui->gridLayoutWidget, "progressBar", {20, 580, 664, 16});
    ui->progressBar->setFont(verdana);
    ui->progressBar->setValue(24);
    ui->progressBar->setTextVisible(false);

    ui->statusEffect->setText("");
    // Each label gets its text from the run; none shows a placeholder meanwhile.
    for (QLabel* label : {ui->infoTitleLabel, ui->infoDetailLabel, ui->downloadCostTime,
                          ui->downloadInformation, ui->progressInformation})
        label->clear();
    QMetaObject::connectSlotsByName(this);
}

// What a screen reader says for each part of the window, in the user's language.
void InstallMainWindow::name_controls() {
    const QString window_name = tr_key("WindowName");
    setWindowTitle(window_name);
    setAccessibleName(window_name);
    ui->titleImage->setAccessibleName(tr_key("TitleImageName"));
    const std::pair<QToolButton*, const char*> buttons[] = {{ui->minBotton, "MinimizeButton"},
                                                            {ui->closeBotton, "CloseButton"},
                                                            {ui->prevInfoButton, "PreviousTip"},
                                                            {ui->nextInfoButton, "NextTip"}};
    // No text: a tool button without its icon (the hidden tip arrows) would draw it.
    for (const auto& [button, key] : buttons) button->setAccessibleName(tr_key(key));
    ui->imageWindow->setAccessibleName(tr_key("TipsArea"));
    ui->imageWindow->setDotNamer([this](int index, int count) {
        return tr_key("TipDot")
            .replace("{n}", QString::number(index + 1))
            .replace("{count}", QString::number(count));
    });
    ui->progressBar->setAccessibleName(tr_key("ProgressName"));
    ui->statusEffect->setAccessibleName(tr_key("BusyName"));
}

void InstallMainWindow::_load_fonts() {
    const std::filesystem::path font_dir = resource_dir / "font";
    for (const char* file : {"OpenSans-Regular.ttf", "OpenSans-Bold.ttf", "OpenSans-ExtraBold.ttf",
                             "OpenSans-Semibold.ttf", "OpenSans-Light.ttf"})
        QFontDatabase::addApplicationFont(qt_path(font_dir / file));
    setFont(open_sans(28, QFont::Bold));

    int ondo = QFontDatabase::addApplicationFont(qt_path(font_dir / "ondo-bold.ttf"));
    if (!QFontDatabase::applicationFontFamilies(ondo).isEmpty()) {
        ui->infoTitleLabel->setFont(open_sans(28, QFont::Bold));
        ui->infoTitleLabel->setStyleSheet(kWhiteText);
    }
    ui->infoDetailLabel->setFont(open_sans(16, QFont::Bold));
    ui->infoDetailLabel->setStyleSheet(kWhiteText);
    for (QLabel* label : {ui->progressInformation, ui->downloadInformation, ui->downloadCostTime}) {
        label->setFont(open_sans(18, QFont::DemiBold));
        label->setStyleSheet(kDarkText);
    }
}

QString InstallMainWindow::tr_key(const char* key) const {
    return QString::fromStdString(Localizer::instance().text(key));
}

void InstallMainWindow::setOuterFrame(QWidget* frame) { outer_frame = frame; }

void InstallMainWindow::apply_bar_look(int look) {
    if (bar_look == look) return;
    ui->progressBar->setStyleSheet(look == kLookSolidStart ? kSolidBar : kGradientBar);
    ui->progressBar->setValue(look == kLookGradientFull ? 100 : 0);
    ui->progressBar->repaint();
    bar_look = look;
}

void InstallMainWindow::onCheckTimeout() {
    // Under the pointer or the keyboard's focus the arrows show and the tips stand still.
    const QPoint cursor = mapFromGlobal(QCursor::pos());
    const bool inside = ui->imageWindow->geometry().contains(cursor) ||
                        ui->nextInfoButton->hasFocus() || ui->prevInfoButton->hasFocus();
    if (inside != tips_shown) {
        show_tip_buttons(inside);
        if (inside)
            ui->imageWindow->pause();
        else
            ui->imageWindow->resume();
    }
}

void InstallMainWindow::show_status(RunStatus status) {
    if (status == current_status) return;
    current_status = status;
    log_tagged(kLogInfo, "switch to status: %d", status_number(status));
    _update_status_effect(false);

    if (status == RunStatus::kDownloading || status == RunStatus::kInstalling ||
        status == RunStatus::kDone) {
        ui->progressInformation->setGeometry(scaled(QRect(20, 616, 250, 24)));
        ui->progressBar->show();
    } else {
        ui->progressInformation->setGeometry(scaled(QRect(319, 598, 250, 24)));
        ui->downloadInformation->hide();
        ui->downloadCostTime->hide();
        ui->progressBar->hide();
    }

    const bool closable = status != RunStatus::kInstalling;
    if (ui->closeBotton->isEnabled() != closable) ui->closeBotton->setEnabled(closable);

    switch (status) {
        case RunStatus::kDownloading:
            ui->progressInformation->setText(tr_key("Downloading"));
            apply_bar_look(kLookGradientStart);
            break;
        case RunStatus::kInstalling:
            ui->progressInformation->setText(tr_key("Installing"));
            // The download's look goes on: the bar runs on from where the download left it.
            apply_bar_look(kLookGradientStart);
            break;
        case RunStatus::kDone:
            ui->progressInformation->setText(tr_key("Complete"));
            ui->downloadInformation->hide();
            ui->downloadCostTime->hide();
            apply_bar_look(kLookGradientFull);
            break;
        case RunStatus::kStarting:
        case RunStatus::kChecking:
            ui->progressInformation->setText(tr_key("Preparing"));
            apply_bar_look(kLookGradientIdle);
            break;
    }
}

void InstallMainWindow::_update_status_effect(bool force) {
    const RunStatus status = current_status;
    const bool shown = status <= RunStatus::kChecking || status == RunStatus::kDone;
    const bool complete = status == RunStatus::kDone;
    // Visible-to-parent: the window itself may not be on screen yet.
    if (!force && shown == ui->statusEffect->isVisibleTo(this)) return;
    if (!shown) {
        ui->statusEffect->hide();
    } else if (complete) {
        ui->statusEffect->setPixmap(scaled_picture(qt_path(resource_dir / "complate_label.png"),
                                                   QSize(), devicePixelRatioF()));
        ui->statusEffect->setAccessibleName(tr_key("Complete"));
    } else if (!ui->statusEffect->movie()) {
        auto* movie =
            new QMovie(qt_path(resource_dir / "loading.gif"), QByteArray(), ui->statusEffect);
        movie->setScaledSize(scaled(QSize(48, 48)));
        movie->start();
        ui->statusEffect->setMovie(movie);
    }
}

void InstallMainWindow::show_progress(int value, int percent, int seconds_left, bool left_known,
                                      int64_t download_size, int64_t total_size) {
    if (value > 100) value = 100;
    const int bar_value = (value >= 1 && value <= 3) ? 4 : value;
    log_tagged(kLogInfo, "downded_size:%d total_size: %d, ui_value: %d",
               static_cast<int>(download_size), static_cast<int>(total_size), bar_value);

    if (total_size != 0) {
        const unsigned seconds = static_cast<unsigned>(std::max(seconds_left, 0));
        const unsigned hours = seconds / 3600;
        const unsigned rest = seconds - hours * 3600;
        // Before the rate is known no time is made up.
        ui->downloadInformation->setText(
            left_known ? QString::asprintf("<font color = #333333>%02u:%02u:%02u</font>", hours,
                                           rest / 60, rest % 60)
                       : QString("<font color = #333333>--:--:--</font>"));
        ui->downloadCostTime->setText(
            QString("<font color = #333333 >%1</font><font color = #999999 > / %2</font>")
                .arg(format_size(download_size), format_size(total_size)));
        ui->downloadInformation->show();
        ui->downloadCostTime->show();
    } else {
        ui->downloadCostTime->hide();
        ui->downloadInformation->setText(QString::asprintf(
            "<font color = #333333 >%d%%</font><font color = #999999 > / 100%%</font>",
            std::clamp(percent, 0, 100)));
        ui->downloadInformation->show();
    }

    if (ui->progressBar->value() != bar_value) {
        ui->progressBar->setValue(bar_value);
        ui->progressBar->repaint();
    }
}

void InstallMainWindow::_show_tip(int index) {
    const char* key = kTipKeys[((index % kTipCount) + kTipCount) % kTipCount];
    ui->infoTitleLabel->setText(tr_key(key));
    ui->infoDetailLabel->setText(
        QString::fromStdString(Localizer::instance().text(std::string(key) + "-Brief")));
}

// Hidden by their pictures, not by their visibility: they stay in the Tab order.
void InstallMainWindow::show_tip_buttons(bool shown) {
    tips_shown = shown;
    ui->nextInfoButton->setIcon(shown ? QIcon(qt_path(resource_dir / "next_botton.png")) : QIcon());
    ui->prevInfoButton->setIcon(shown ? QIcon(qt_path(resource_dir / "prev_botton.png")) : QIcon());
}

void InstallMainWindow::keyPressEvent(QKeyEvent* event) {
    if (!click_focused_button(this, event)) QDialog::keyPressEvent(event);
}

void InstallMainWindow::onNextTips() { ui->imageWindow->next(); }

void InstallMainWindow::onPrevTips() { ui->imageWindow->previous(); }

void InstallMainWindow::onMinimizeBtn() {
    showMinimized();
    if (outer_frame) outer_frame->showMinimized();
}

// The one cancel path: the close button, Esc and the window system's close all end here.
void InstallMainWindow::onCancelBtn() {
    // One question at a time; none once the run has ended or the user has decided.
    if (finished || cancelled() || dialog_shown) return;
    // Files are being copied: stopping now would leave a broken installation.
    if (run->status() >= RunStatus::kInstalling) return;
    const bool confirmed = _confirm_cancel();
    // The download may have finished while the box was up; once the install has begun,
    // Exit no longer cancels and the window goes on showing the install.
    if (!confirmed || finished || run->cancel() != CancelOutcome::kCancelled) return;
    // A running stage ends the run from its result slot, once its worker has returned.
    if (!stage_running) done(kExitCancelled);
}

void InstallMainWindow::reject() { onCancelBtn(); }

void InstallMainWindow::closeEvent(QCloseEvent* event) {
    if (finished) {
        event->accept();
        return;
    }
    // The run decides when the window goes; the question is asked from the event loop,
    // not from inside the window system's close.
    event->ignore();
    QMetaObject::invokeMethod(this, &InstallMainWindow::onCancelBtn, Qt::QueuedConnection);
}

void InstallMainWindow::onInterrupt() {
    if (finished) return;
    interrupted = true;
    const CancelOutcome outcome = run->interrupt();
    if (stage_running) {
        // The stage's result slot ends the run; a cancel question has nothing left to ask.
        if (outcome != CancelOutcome::kTooLate && confirming_cancel) discard_message_box();
        return;
    }
    // Between stages only a dialog or its retry waits, for a user who is not coming: after a
    // failed install, that failure; before the install, the cancel.
    done(outcome == CancelOutcome::kTooLate ? kExitFailed : kExitCancelled);
}

void InstallMainWindow::done(int code) {
    // The first end stands: a dialog that returns after it changes nothing.
    if (finished) return;
    finished = true;
    discard_message_box();
    remove_dim_overlay();
    QDialog::done(code);
    QCoreApplication::quit();
}

void InstallMainWindow::paintEvent(QPaintEvent*) { apply_rounded_mask(this); }

}  // namespace velora::st
