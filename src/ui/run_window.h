#pragma once

#include "layout/launch_options.h"

namespace velora::st {

// Creates the Qt application, shows the installer window centred on the primary screen
// inside its frameless frame and runs the event loop; returns the loop's result.
int run_window(const LaunchOptions& options);

}  // namespace velora::st
