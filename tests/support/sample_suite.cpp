#include "support/sample_suite.h"

#include <chrono>
#include <stdexcept>

#include "support/program_run.h"
#include "support/test_env.h"

namespace castmill::test {

namespace fs = std::filesystem;

void make_sample_suite(const fs::path& dir, const std::string& version) {
    fs::create_directories(dir / "VeloraBrowser/Browser");
    fs::copy_file(test_programs_dir() / "demo_app", dir / "VeloraBrowser/Browser/chrome.exe",
                  fs::copy_options::overwrite_existing);
    for (int i = 0; i < 12; ++i) {
        const std::string n = std::to_string(i);
        write_file(dir / ("VeloraBrowser/Browser/locales/l" + n + ".pak"),
                   std::string(1000 + 37 * i, static_cast<char>('a' + i)) + version);
        write_file(dir / ("velora_cam/cam" + n + ".dat"), "camera " + n + " " + version);
        write_file(dir / ("VeloraOBS/bin/64bit/mod" + n + ".dll"),
                   std::string(20000 + 311 * i, static_cast<char>('A' + i)) + version);
        write_file(dir / ("dist/part" + n + ".js"), "part " + n + " of " + version);
    }
    write_file(dir / "Update/config.json", "{\"gver\":\"" + version + "\"}");
}

void add_sample_key_file(const fs::path& suite) {
    fs::create_directories(suite / "VeloraOBS/log-upload");
    const auto run = run_program(
        bin_dir() / "logkey",
        {"--out", (suite / "VeloraOBS/log-upload/log.key").string(), "--entry", "1.0.0",
         kSampleAppId, kSampleAppSecret, "--entry", "2.0.0", kSampleAppId, kSampleAppSecret});
    if (run.exit_code != 0) throw std::runtime_error("logkey failed: " + run.err);
}

std::map<std::string, std::string> file_tree(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file()) {
            files[fs::relative(entry.path(), dir).generic_string()] = read_file(entry.path());
        }
    }
    return files;
}

uint64_t folder_bytes(const fs::path& dir) {
    uint64_t bytes = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        if (it->is_regular_file(ec)) bytes += it->file_size(ec);
    }
    return bytes;
}

FolderGrowth::FolderGrowth(fs::path dir)
    : dir_(std::move(dir)), start_(folder_bytes(dir_)), peak_(start_) {
    watcher_ = std::thread([this] {
        while (!stop_) {
            const uint64_t now = folder_bytes(dir_);
            if (now > peak_) peak_ = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
}

FolderGrowth::~FolderGrowth() { peak_growth(); }

uint64_t FolderGrowth::peak_growth() {
    stop_ = true;
    if (watcher_.joinable()) watcher_.join();
    return peak_ - start_;
}

}  // namespace castmill::test
