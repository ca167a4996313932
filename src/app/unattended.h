#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "app/install_engine.h"
#include "app/run_status.h"
#include "layout/launch_options.h"

// The install run without a window, for administrators and deployment tools: the window's
// stages in the same order, with the same event reports, log and exit codes, and a progress
// line on standard output once a second.
namespace velora::st {

inline constexpr std::chrono::milliseconds kProgressInterval{1000};

struct UnattendedSettings {
    std::chrono::milliseconds progress_interval = kProgressInterval;
    std::FILE* out = stdout;  // the progress lines
    std::FILE* err = stderr;  // why a run failed
};

// A run's state as one console line: "downloading 40% 4194304/10485760 bytes, 0:12 remaining".
std::string console_line(const RunState& state);

// Checks, downloads and installs, then starts the application unless options.no_launch.
// An interrupt (SIGINT, SIGTERM, Ctrl+C) cancels a run that has not begun to install; once
// files are being installed the run finishes first, as the window does. Returns the process
// exit code: 0 done, 1 cancelled, 2 failed.
int run_unattended(const LaunchOptions& options, const UnattendedSettings& settings,
                   std::unique_ptr<InstallEngine> engine);

}  // namespace velora::st
