#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "setup/setup_center.h"

namespace velora::st {

struct LaunchOptions;

// What the install window asks of the setup engine. Every call but cancel, stage,
// expected_install_size and modules runs on one of the window's worker threads.
class InstallEngine {
public:
    virtual ~InstallEngine() = default;

    virtual int initialize(const LaunchOptions& options, std::string& error) = 0;
    virtual int download_files(DownloadProgress progress, std::string& error) = 0;
    virtual int install(std::string& message) = 0;
    // Safe from any thread.
    virtual void cancel() = 0;
    // The install phase: 2 while files are copied or the full installer runs.
    virtual int stage() const = 0;
    virtual int64_t expected_install_size() const = 0;
    // The run's module flags; greater than 0 selects the module-mode event codes.
    virtual int modules() const = 0;
    // Starts the installed application of install_dir; 0 or a result code.
    virtual int start_application(const std::filesystem::path& install_dir) = 0;
};

}  // namespace velora::st
