#pragma once

class QWidget;

// Finding the window of the installer that runs already, from a second installer.
namespace velora::st {

// Marks the window as the running installer's, for a second installer to find.
void mark_running_window(QWidget& window);

// Brings the running installer's window to the front (and out of the taskbar) through the
// window system; false when there is none to be found or the platform cannot tell.
bool raise_running_window();

}  // namespace velora::st
