#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/stall_limit.h"
#include "setup/event_sink.h"
#include "setup/release_trust.h"

class CurlWrapper;

namespace neb {
class CJsonObject;
}

namespace velora {
class FileDownloader;
}

namespace velora::st {

struct LaunchOptions;

// One file of the manifest. Sizes are 64-bit end to end.
struct FileEntry {
    std::string filePath;  // relative to the install directory, "/"-separated
    std::string hash;      // the file's name in the download directory
    int64_t fileSize = 0;
    std::string sha256{};  // optional: 64 hex digits the content must also have
};

// One file the last successful install wrote, as the install record keeps it.
struct RecordedFile {
    int64_t size = 0;
    int64_t modified = 0;  // the file's modification time, in the file system's ticks
    std::string hash;
};

// Manifest path -> what the last successful install wrote there.
using InstallRecord = std::map<std::string, RecordedFile>;

// (total bytes, bytes present before this run, bytes fetched in this run).
using DownloadProgress = std::function<void(int64_t, int64_t, int64_t)>;

// Above this many missing bytes the package archive may replace the per-file download.
inline constexpr int64_t kPackageThresholdBytes = 50 * 1024 * 1024;
// With more files than this queued (and enough bytes missing) the package is always taken.
inline constexpr uint64_t kPackageFileCount = 600;

// Waits the engine makes. Production values by default; tests shorten them.
struct SetupTimings {
    std::chrono::milliseconds request_retry{100};          // version/manifest request
    std::chrono::milliseconds download_retry_first{1000};  // 1 s, 3 s, 5 s
    std::chrono::milliseconds download_retry_step{2000};
    std::chrono::milliseconds too_many_requests{30000};  // after HTTP 429
    std::chrono::milliseconds mapped_file_retry{1000};   // file mapped into a process
    std::chrono::milliseconds shutdown_grace{5000};      // running suite asked to close
    StallLimit stall{};  // every transfer: version, manifest, files, package, installer
};

// The phases of install(), in SetupCenter::stage.
enum InstallStage : int {
    kInstallNotStarted = 0,
    kInstallPreparing = 1,
    kInstallWritingFiles = 2,  // files land in the install folder, or the full installer runs
    kInstallFinished = 3,
};

// The installation engine: version check, manifest, download, install, integration.
// One instance per process; its steps run on the window's worker threads, one at a time.
// The step functions and the run's state are public so that each step can be driven and
// checked on its own.
class SetupCenter {
public:
    explicit SetupCenter(SetupTimings timings = {});
    ~SetupCenter();
    SetupCenter(const SetupCenter&) = delete;
    SetupCenter& operator=(const SetupCenter&) = delete;

    // The three operations the window runs.
    int initialize(const LaunchOptions& options, std::string& message);
    int download_files(DownloadProgress progress, std::string& error);
    int install(std::string& message);

    // The run's events go to `sink` (not owned; it outlives the run). None: only logged.
    void set_event_sink(EventSink* sink) { events_ = sink; }

    // Safe from any thread.
    void cancel();
    int64_t expected_install_size() const;

    // --- initialization, version check and manifest ---
    int prepare(std::string& message);
    int request_version(std::string& message);
    int request_manifest(std::string& message);
    // Reads the manifest's file list into the plan; download_dir must be set.
    int plan_manifest(const std::string& body, std::string& message);
    // With release keys pinned: fetches the signature beside `url` and checks it over the
    // exact bytes of `body`. kSetupOk when no key is pinned.
    int verify_signature(const std::string& url, const std::string& body, const char* what,
                         std::string& message);
    // With release keys pinned: the signed manifest names the version the version answer
    // (or setup.data) gave, and is not older than the installed one.
    int check_manifest_release(neb::CJsonObject& manifest, std::string& message);
    // Builds download_dir from the manifest's response headers and URL, loads the record and
    // sets base_url.
    int prepare_download_dir(const std::map<std::string, std::string>& response_headers,
                             std::string& message);

    // --- setup data ---
    void save_setup_data();
    void load_setup_data();

    // --- download planning and the downloaded-file record ---
    void plan_entry(const FileEntry& entry, int module);
    bool is_already_downloaded(const FileEntry& entry);
    void load_downloaded_file();
    void save_downloaded_file();
    int download(DownloadProgress progress, std::string& error);
    int download_package_zip(int64_t size, DownloadProgress progress, std::string& error);
    int download_full_package(DownloadProgress progress, std::string& error);
    int download_worker(int index, DownloadProgress progress);
    // Records a finished file together with the entries that share its content.
    void record_downloaded(const FileEntry& entry);
    // Waits for `delay` unless cancel() comes first; false when cancelled.
    bool pause(std::chrono::milliseconds delay);

    // --- file installation ---
    int _install();
    int _install_file(const FileEntry& entry);
    int _install_entire_mode_impl(std::string& error);

    // Drops a cached download whose content no longer matches, so the next run fetches it.
    void forget_download(const FileEntry& entry);
    // Whether the entry's content is at its path in the live tree.
    bool is_in_live_tree(const FileEntry& entry) const;
    // Places the entry's content from an earlier download folder into this one.
    bool reuse_earlier_download(const FileEntry& entry);

    // --- install run ---
    void copy_setup_exe();
    void finish_obs_module_setup();
    void save_setup_data(const std::filesystem::path& root);
    // Fills the staging tree with the files of the other modules and every file the
    // manifest does not own, taken from the live tree.
    int carry_over_live_files();
    // Links the files whose content is unchanged in the live tree into the staging tree.
    int link_unchanged_files(std::string& message);
    // The install record of the staging tree: every staged manifest file, and the record's
    // entries for carried files that are still as recorded.
    void write_staged_install_record();
    // Download and extraction folders that no later run needs.
    void remove_spent_downloads();
    // Switches the complete staging tree in for the live one, journaled; file by file when
    // the live tree cannot be renamed.
    int switch_in_staging_tree(std::string& message);
    int replace_files_in_place(std::string& message);
    int install_full_package(std::string& message);

    // --- the run's state ---
    SetupTimings timings;
    int modules = 0;
    std::string version;
    std::string base_url;
    std::filesystem::path download_dir;
    std::filesystem::path install_dir;
    std::filesystem::path package_path;
    std::filesystem::path setup_dir;
    std::filesystem::path setup_source;
    std::filesystem::path extract_dir;
    // The new tree, built beside the live one and switched in once complete.
    std::filesystem::path staging_dir;
    int install_modules = 0;
    std::string manifest_url;
    // The keys releases must be signed with; the build's pinned keys. Tests that drive
    // the engine in-process set their own.
    std::vector<std::string> release_keys = pinned_release_keys();
    bool allow_downgrade = false;  // --allow-downgrade
    std::unordered_map<int, std::vector<FileEntry>> install_lists;
    std::unique_ptr<CurlWrapper> probe;  // created by prepare(), guarded by workers_lock

    std::list<FileEntry> download_queue;
    std::mutex queue_lock;
    // Entries whose content (hash) another queued entry already fetches: one file in the
    // download directory serves them all, so they are not fetched a second time into it.
    std::unordered_map<std::string, std::vector<FileEntry>> queued_twins;
    uint64_t queued_count = 0;
    int64_t total_bytes = 0;
    int64_t present_bytes = 0;
    int64_t remaining_bytes = 0;
    std::atomic<int64_t> downloaded_bytes{0};

    std::map<std::string, FileEntry> downloaded_files;
    bool record_changed = false;  // downloaded_files gained reused files while planning
    // The live tree's install record, read while planning, and the manifest paths whose
    // content was found unchanged there: those are linked, not fetched or copied.
    InstallRecord install_record;
    std::set<std::string> live_paths;
    std::mutex record_lock;

    int thread_count = 5;
    int transfer_timeout = 180;
    std::vector<std::unique_ptr<CurlWrapper>> workers;
    std::mutex workers_lock;
    std::atomic<bool> cancel_requested{false};
    std::mutex cancel_lock;  // with cancel_signal, wakes pause() early
    std::condition_variable cancel_signal;

    int entire_mode = 0;
    int64_t package_size = 0;
    std::unique_ptr<velora::FileDownloader> downloader;

    std::atomic<int> stage{kInstallNotStarted};
    // Set by _install when a held file ended it (kSetupInUse): the programs holding
    // it, one per line, for the in-use dialog.
    std::string install_error;

private:
    // Logs the event and hands it to the sink.
    void send_event(const std::string& log_no, const std::string& text);

    EventSink* events_ = nullptr;
};

}  // namespace velora::st
