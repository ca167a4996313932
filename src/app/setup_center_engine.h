#pragma once

#include <atomic>

#include "app/install_engine.h"
#include "setup/setup_center.h"

namespace velora::st {

// The production engine of a run: the one SetupCenter of the process, its events sent as
// reports.
class SetupCenterEngine : public InstallEngine {
public:
    explicit SetupCenterEngine(SetupTimings timings = {});

    int initialize(const LaunchOptions& options, std::string& error) override;
    int download_files(DownloadProgress progress, std::string& error) override;
    int install(std::string& message) override;
    void cancel() override;
    int stage() const override;
    int64_t expected_install_size() const override;
    InstallProgress install_progress() const override;
    int64_t download_total() const override;
    int modules() const override;
    int start_application(const std::filesystem::path& install_dir) override;

private:
    SetupCenter center;
    // Copied out of the engine: it is read on the GUI thread while a stage runs.
    std::atomic<int> module_flags{0};
};

}  // namespace velora::st
