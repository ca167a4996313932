#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

// A small Castmill suite of one version in the suite's own folders, for tests that run the
// whole installer: VeloraBrowser/Browser/chrome.exe is tests/programs/demo_app, which writes
// "started.txt" into the profile folder it is given.
namespace castmill::test {

inline constexpr const char* kSampleAppId = "castmill-e2e";
inline constexpr const char* kSampleAppSecret = "e2e-secret";

void make_sample_suite(const std::filesystem::path& dir, const std::string& version);

// Writes VeloraOBS/log-upload/log.key with kSampleAppId and kSampleAppSecret (tools/logkey).
void add_sample_key_file(const std::filesystem::path& suite);

// The regular files below a folder, by relative path, with their contents.
std::map<std::string, std::string> file_tree(const std::filesystem::path& dir);

// The bytes of the regular files below a folder (their sizes, holes included); 0 when the
// folder is missing.
uint64_t folder_bytes(const std::filesystem::path& dir);

// How far a folder grows while it is watched: folder_bytes polled every few milliseconds
// from construction to peak_growth(), less what it held at the start.
class FolderGrowth {
public:
    explicit FolderGrowth(std::filesystem::path dir);
    ~FolderGrowth();
    FolderGrowth(const FolderGrowth&) = delete;
    FolderGrowth& operator=(const FolderGrowth&) = delete;
    // Stops watching; the largest growth seen (0 when it only shrank).
    uint64_t peak_growth();

private:
    const std::filesystem::path dir_;
    const uint64_t start_;
    std::atomic<uint64_t> peak_;
    std::atomic<bool> stop_{false};
    std::thread watcher_;
};

}  // namespace castmill::test
