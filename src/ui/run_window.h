#pragma once

#include <chrono>
#include <memory>

#include "app/install_engine.h"
#include "layout/launch_options.h"

namespace velora::st {

// Creates the Qt application, shows the installer window of the engine's run centred on the
// primary screen inside its frameless frame and runs the event loop; returns the loop's
// result.
int run_window(const LaunchOptions& options, std::unique_ptr<InstallEngine> engine);

// For a second installer: brings the running installer's window to the front, or, where
// it cannot be found, says in the user's language that an installer runs already, until
// the message is closed or `shown_for` has passed. True when the person was told.
bool tell_already_running(std::chrono::milliseconds shown_for);

}  // namespace velora::st
