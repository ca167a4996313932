#include "app/setup_center_engine.h"

#include "layout/launch_options.h"
#include "report/report_client.h"
#include "setup/desktop_integration.h"

namespace velora::st {

SetupCenterEngine::SetupCenterEngine(SetupTimings timings) : center(timings) {
    center.set_event_sink(&setup_reports());
}

int SetupCenterEngine::initialize(const LaunchOptions& options, std::string& error) {
    module_flags = options.modules;
    const int code = center.initialize(options, error);
    module_flags = center.target().modules;
    return code;
}

int SetupCenterEngine::download_files(DownloadProgress progress, std::string& error) {
    return center.download_files(std::move(progress), error);
}

int SetupCenterEngine::install(std::string& message) { return center.install(message); }

void SetupCenterEngine::cancel() { center.cancel(); }

int SetupCenterEngine::stage() const { return center.stage(); }

int64_t SetupCenterEngine::expected_install_size() const { return center.expected_install_size(); }

InstallProgress SetupCenterEngine::install_progress() const {
    return {center.install_placed_bytes(), center.install_total_bytes()};
}

int64_t SetupCenterEngine::download_total() const { return center.plan().total_bytes; }

int SetupCenterEngine::modules() const { return module_flags; }

int SetupCenterEngine::start_application(const std::filesystem::path& install_dir) {
    return start_castmill(install_dir);
}

}  // namespace velora::st
