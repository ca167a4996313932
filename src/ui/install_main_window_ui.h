#pragma once

class CarouselImageWindow;
class QLabel;
class QProgressBar;
class QToolButton;
class QWidget;

namespace velora::st {

// The install window's widgets; all are children of the window and die with it.
struct InstallMainWindowUi {
    QWidget* gridLayoutWidget = nullptr;
    QWidget* titleWidget = nullptr;
    QLabel* titleImage = nullptr;
    QToolButton* minBotton = nullptr;
    QToolButton* closeBotton = nullptr;
    CarouselImageWindow* imageWindow = nullptr;
    QLabel* infoTitleLabel = nullptr;
    QLabel* infoDetailLabel = nullptr;
    QToolButton* prevInfoButton = nullptr;
    QToolButton* nextInfoButton = nullptr;
    QWidget* bottomWidget = nullptr;
    QLabel* statusEffect = nullptr;
    QLabel* downloadCostTime = nullptr;
    QLabel* downloadInformation = nullptr;
    QLabel* progressInformation = nullptr;
    QProgressBar* progressBar = nullptr;
};

}  // namespace velora::st
