#pragma once

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>

#include "app/install_engine.h"

namespace castmill::test {

// Holds a worker thread inside an engine stage until the test opens it.
class Gate {
public:
    void wait() {
        std::unique_lock<std::mutex> hold(lock);
        ++waiting_;
        changed.notify_all();
        changed.wait(hold, [this] { return open_; });
        --waiting_;
    }
    void open() {
        std::lock_guard<std::mutex> hold(lock);
        open_ = true;
        changed.notify_all();
    }
    bool has_waiter() {
        std::lock_guard<std::mutex> hold(lock);
        return waiting_ > 0;
    }

private:
    std::mutex lock;
    std::condition_variable changed;
    bool open_ = false;
    int waiting_ = 0;
};

// An engine whose stages run what the test scripted, on the window's worker threads.
// Scripts are set before the window starts the stage; each call is counted.
class ScriptedInstallEngine : public velora::st::InstallEngine {
public:
    using Stage = std::function<int(int call, std::string& message)>;
    using DownloadStage =
        std::function<int(int call, const velora::st::DownloadProgress&, std::string& message)>;

    Stage on_initialize = [](int, std::string&) { return 0; };
    DownloadStage on_download = [](int, const velora::st::DownloadProgress&, std::string&) {
        return 0;
    };
    Stage on_install = [](int, std::string&) { return 0; };

    std::atomic<int> initialize_calls{0};
    std::atomic<int> download_calls{0};
    std::atomic<int> install_calls{0};
    std::atomic<int> cancel_calls{0};
    std::atomic<int> launch_calls{0};
    std::atomic<int> stage_value{0};
    std::atomic<int64_t> expected_size{0};
    std::atomic<int64_t> planned_bytes{0};
    std::atomic<int64_t> install_placed{0};
    std::atomic<int64_t> install_total{0};
    std::atomic<int> module_flags{3};

    int initialize(const velora::st::LaunchOptions&, std::string& error) override {
        return on_initialize(++initialize_calls, error);
    }
    int download_files(velora::st::DownloadProgress progress, std::string& error) override {
        return on_download(++download_calls, progress, error);
    }
    int install(std::string& message) override { return on_install(++install_calls, message); }
    void cancel() override { ++cancel_calls; }
    int stage() const override { return stage_value; }
    int64_t expected_install_size() const override { return expected_size; }
    int64_t download_total() const override { return planned_bytes; }
    velora::st::InstallProgress install_progress() const override {
        return {install_placed, install_total};
    }
    int modules() const override { return module_flags; }
    int start_application(const std::filesystem::path& install_dir) override {
        ++launch_calls;
        std::lock_guard<std::mutex> hold(launch_lock);
        launched_dir = install_dir;
        return 0;
    }

    std::filesystem::path launched() {
        std::lock_guard<std::mutex> hold(launch_lock);
        return launched_dir;
    }

private:
    std::mutex launch_lock;
    std::filesystem::path launched_dir;
};

}  // namespace castmill::test
