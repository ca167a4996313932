#pragma once

#include <QDialog>
#include <QKeyEvent>
#include <map>

class QGridLayout;
class QHBoxLayout;
class QLabel;
class QPushButton;

// A modal, borderless dialog with a title, a rich-text message, a close button and
// a right-aligned row of buttons; result() tells which button ended it.
class STMessageBox : public QDialog {
    Q_OBJECT

public:
    // Button types; each is labelled with the localised text of its name.
    static constexpr int kClose = 1;
    static constexpr int kRetry = 2;
    static constexpr int kResume = 4;
    static constexpr int kCancel = 8;
    static constexpr int kExit = 16;
    // result() after the box's own close button.
    static constexpr int kClosedByCloseButton = 255;

    explicit STMessageBox(QWidget* parent = nullptr);
    ~STMessageBox() override;

    // UTF-8 texts; null clears.
    void setTitle(const char* title);
    void setContent(const char* content);
    void addButton(int type, bool primary);
    void setDefaultButton(int type);
    // The type of the button that ended the box, 255 for the close button, else 0.
    int result() const;

    // Esc and the window system's close end the box as its close button does.
    void reject() override;

protected:
    void paintEvent(QPaintEvent* event) override;
    // Return and Enter click the focused button, whichever kind it is.
    void keyPressEvent(QKeyEvent* event) override;
    // Centred on the widget it belongs to, not where the window system guesses.
    void showEvent(QShowEvent* event) override;

private slots:
    void on_close_button_clicked();
    void on_button_click(int button);

private:
    QGridLayout* grid;
    QLabel* title_label;
    QLabel* content_label;
    QHBoxLayout* button_row;
    int result_ = 0;
    std::map<int, QPushButton*> buttons;
};

// The rounded mask shared by the message box and the install window.
void apply_rounded_mask(QWidget* widget);

// Return (or Enter) without a modifier clicks the button the keyboard is on, as Space does;
// true when it did. The message box and the install window both answer keys this way.
bool click_focused_button(QWidget* dialog, QKeyEvent* event);
