#include "support/child_process.h"

#include <chrono>
#include <fstream>
#include <thread>

namespace castmill::test {

namespace {

// Bounds a readiness wait, so that a broken program fails the test instead of hanging it.
constexpr auto kReadyLimit = std::chrono::seconds(30);

bool wait_until(const std::filesystem::path& file, const auto& gave_up) {
    const auto deadline = std::chrono::steady_clock::now() + kReadyLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code ec;
        if (std::filesystem::exists(file, ec)) return true;
        if (gave_up()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

}  // namespace

bool wait_for_file(const std::filesystem::path& file) {
    return wait_until(file, [] { return false; });
}

unsigned long wait_for_pid_file(const std::filesystem::path& file) {
    const auto deadline = std::chrono::steady_clock::now() + kReadyLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(file, std::ios::binary);
        unsigned long pid = 0;
        if (in >> pid && pid != 0) return pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return 0;
}

bool ChildProcess::wait_for_file(const std::filesystem::path& file) {
    return wait_until(file, [this] { return poll().has_value(); });
}

}  // namespace castmill::test
