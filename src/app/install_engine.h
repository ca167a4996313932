#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "setup/setup_center.h"

namespace velora::st {

struct LaunchOptions;

// The install stage's own progress: bytes placed in the new tree of all it takes.
struct InstallProgress {
    int64_t placed = 0;
    int64_t total = 0;  // 0: not known (not planned yet, or the full installer runs)
};

// What a run asks of the setup engine. Every call but cancel, stage, download_total,
// expected_install_size and modules runs on the run's worker thread.
class InstallEngine {
public:
    virtual ~InstallEngine() = default;

    virtual int initialize(const LaunchOptions& options, std::string& error) = 0;
    virtual int download_files(DownloadProgress progress, std::string& error) = 0;
    virtual int install(std::string& message) = 0;
    // Safe from any thread.
    virtual void cancel() = 0;
    // The install phase (InstallStage): kInstallWritingFiles while files are copied or
    // the full installer runs.
    virtual int stage() const = 0;
    virtual int64_t expected_install_size() const = 0;
    // Safe from any thread.
    virtual InstallProgress install_progress() const { return {}; }
    // The bytes of the planned download, known once it has been planned; a download with
    // everything already present reports no progress.
    virtual int64_t download_total() const = 0;
    // The run's module flags; greater than 0 selects the module-mode event codes.
    virtual int modules() const = 0;
    // Starts the installed application of install_dir; 0 or a result code.
    virtual int start_application(const std::filesystem::path& install_dir) = 0;
};

}  // namespace velora::st
