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
#include <string>
#include <vector>

#include "net/stall_limit.h"
#include "setup/event_sink.h"
#include "setup/release_trust.h"
#include "setup/run_values.h"

class CurlWrapper;
using HttpHeaderMap = std::map<std::string, std::string>;

namespace neb {
class CJsonObject;
}

namespace velora {
class FileDownloader;
}

namespace velora::st {

struct LaunchOptions;

// Above this many missing bytes the package archive may replace the per-file download.
inline constexpr int64_t kPackageThresholdBytes = 50 * 1024 * 1024;
// With more files than this queued (and enough bytes missing) the package is always taken.
inline constexpr uint64_t kPackageFileCount = 600;

// Parallel file downloads, and how long one transfer may take in all.
inline constexpr int kParallelDownloads = 5;
inline constexpr int kTransferTimeoutSeconds = 180;
// Counted attempts of one file in one worker, after the first.
inline constexpr int kRetriesPerFile = 2;

// Waits the engine makes. Production values by default; tests shorten them.
struct SetupTimings {
    std::chrono::milliseconds request_retry{100};          // version/manifest request
    std::chrono::milliseconds download_retry_first{1000};  // 1 s, 3 s, 5 s
    std::chrono::milliseconds download_retry_step{2000};
    std::chrono::milliseconds too_many_requests{30000};  // after HTTP 429
    std::chrono::milliseconds mapped_file_retry{1000};   // file mapped into a process
    std::chrono::milliseconds shutdown_grace{5000};      // running suite asked to close
    StallLimit stall{};  // every transfer: version, manifest, files, package, installer
    // All the release metadata of a run (answers, manifest, signatures), retries included.
    std::chrono::seconds metadata_deadline{300};
};

// The phases of install(), in SetupCenter::stage().
enum InstallStage : int {
    kInstallNotStarted = 0,
    kInstallPreparing = 1,
    kInstallWritingFiles = 2,  // files land in the install folder, or the full installer runs
    kInstallFinished = 3,
};

// The installation engine: version check, manifest, download, install, integration.
// One instance per process; its steps run on the window's worker threads, one at a time.
// The run's state is held in values (run_values.h) that each step reads and replaces; the
// steps are public so that each can be driven on its own from a state a test builds.
class SetupCenter {
public:
    explicit SetupCenter(SetupTimings timings = {},
                         std::vector<std::string> release_keys = pinned_release_keys());
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
    int stage() const { return stage_; }
    // Bytes of the selected modules' files placed in the new tree so far, of all of them;
    // both 0 until install() has planned the tree (and in full-package mode).
    int64_t install_placed_bytes() const { return placed_bytes_; }
    int64_t install_total_bytes() const { return staging_total_bytes_; }

    // --- the run's state ---
    const InstallTarget& target() const { return target_; }
    void set_target(InstallTarget target) { target_ = std::move(target); }
    const Release& release() const { return release_; }
    void set_release(Release release) { release_ = std::move(release); }
    const DownloadPlan& plan() const { return plan_; }
    void set_plan(DownloadPlan plan) { plan_ = std::move(plan); }
    // The folder this manifest's files are downloaded to, and its record.
    const std::filesystem::path& download_dir() const { return download_dir_; }
    void use_download_dir(const std::filesystem::path& dir);
    const DownloadedRecord& downloaded() const { return downloaded_; }
    void set_downloaded(DownloadedRecord record) { downloaded_ = std::move(record); }
    // The live tree's install record, as planning read it.
    const InstallRecord& install_record() const { return install_record_; }
    // The package archive the signed manifest names, and the entries it may hold.
    const ArchiveListing& archive() const { return archive_; }
    void set_archive(ArchiveListing archive) { archive_ = std::move(archive); }
    const Package& package() const { return package_; }
    void set_package(Package package) { package_ = std::move(package); }
    // The new tree, built beside the live one and switched in once complete; set by install().
    const std::filesystem::path& staging_dir() const { return staging_dir_; }
    void set_staging_dir(std::filesystem::path dir) { staging_dir_ = std::move(dir); }
    // Where the package archive was last unpacked.
    const std::filesystem::path& extract_dir() const { return extract_dir_; }
    const std::vector<std::string>& release_keys() const { return release_keys_; }

    // --- initialization, version check and manifest ---
    int prepare(std::string& message);
    int request_version(std::string& message);
    int request_manifest(std::string& message);
    // Plans the manifest's files; the download folder must be in use.
    int plan_manifest(const std::string& body, std::string& message);
    // With release keys pinned: fetches the signature beside `url` and checks it over the
    // exact bytes of `body`. kSetupOk when no key is pinned.
    int verify_signature(const std::string& url, const std::string& body, const char* what,
                         std::string& message);
    // With release keys pinned: the signed manifest names the version the version answer
    // (or setup.data) gave, and is not older than the installed one.
    int check_manifest_release(neb::CJsonObject& manifest, std::string& message);
    // With release keys pinned: kSetupDowngradeRefused when the release is older than the
    // one this installation last accepted (unless the command line allows a downgrade).
    int check_not_older(const AcceptedRelease& release, std::string& message);
    // With release keys pinned: the package archive the manifest names, and its entries.
    int read_archive_listing(neb::CJsonObject& manifest, const std::vector<ManifestEntry>& entries,
                             std::string& message);
    // Uses the download folder named by the manifest's response headers and URL, and reads
    // the live tree's install record.
    int prepare_download_dir(const std::map<std::string, std::string>& response_headers,
                             std::string& message);

    // --- setup data ---
    void save_setup_data();
    void load_setup_data();

    // --- downloads ---
    int download(DownloadProgress progress, std::string& error);
    int download_package_zip(int64_t size, DownloadProgress progress, std::string& error);
    int download_full_package(DownloadProgress progress, std::string& error);
    // The full installer the signed version answer names, fetched and checked against it.
    int fetch_signed_full_package(DownloadProgress progress, std::string& error);
    // Waits for `delay` unless cancel() comes first; false when cancelled.
    bool pause(std::chrono::milliseconds delay);

    // --- file installation ---
    int _install();
    int _install_file(const FileEntry& entry);
    int _install_entire_mode_impl(std::string& error);

    // Drops a cached download whose content no longer matches, so the next run fetches it.
    void forget_download(const FileEntry& entry);

    // --- install run ---
    // Makes the staging folder beside the install folder; the message names the parent
    // folder that cannot be written to.
    int make_staging_folder(std::string& message);
    // Puts this installer into the staging tree's Update folder and checks the copy.
    int copy_setup_exe(std::string& message);
    void finish_obs_module_setup();
    // Writes setup.data under root; kSetupFileSystemError when it was not written whole.
    int save_setup_data(const std::filesystem::path& root);
    // Fills the staging tree with the files of the other modules and every file the
    // manifest does not own, taken from the live tree.
    int carry_over_live_files(std::string& message);
    // Links the files whose content is unchanged in the live tree into the staging tree.
    int link_unchanged_files(std::string& message);
    // The install record of the staging tree: every staged manifest file, and the record's
    // entries for carried files that are still as recorded.
    int write_staged_install_record(std::string& message);
    // Download and extraction folders that no later run needs.
    void remove_spent_downloads();
    // Switches the complete staging tree in for the live one, journaled; file by file when
    // the live tree cannot be renamed.
    int switch_in_staging_tree(std::string& message);
    int replace_files_in_place(std::string& message);
    int install_full_package(std::string& message);

private:
    // Logs the event and hands it to the sink.
    void send_event(const std::string& log_no, const std::string& text);
    // GET of one piece of release metadata (`what`) with the probe: at most `limit` bytes,
    // retried, within the run's metadata deadline. On failure `message` names it.
    int fetch_metadata(const std::string& url, HttpHeaderMap* headers, const char* what,
                       int64_t limit, std::string& body, std::string& message);
    // fetch_metadata, then verify_signature: the body of `what` ("manifest"), or why not.
    int fetch_verified(const std::string& url, HttpHeaderMap* headers, const char* what,
                       std::string& body, std::string& message);
    // Carries out what planning found: stale downloads dropped, found content recorded,
    // earlier releases' content placed (or fetched when it cannot be).
    void apply_plan_findings();
    bool place_earlier_download(const ReusableFile& file);
    int download_worker(int index, const DownloadProgress& progress);
    // Records a finished file together with the entries that share its content.
    void record_downloaded(const FileEntry& entry);
    void add_fetched_bytes(int64_t bytes);
    // The entry's content from its patch, else its compressed file, checked and placed at its
    // hash; `fetched` false when neither worked (the file itself is fetched then). Returns
    // kSetupDownloadCancelled or kSetupOk.
    int fetch_smaller_source(CurlWrapper& client, const FileEntry& entry, bool& fetched);
    int fetch_by_patch(CurlWrapper& client, const FileEntry& entry, const PatchBase& base,
                       const std::filesystem::path& out);
    int fetch_compressed(CurlWrapper& client, const FileEntry& entry,
                         const std::filesystem::path& out);
    // A resumable transfer of exactly `size` bytes, retried; before_attempt (when given) is
    // told the offset each attempt resumes at and may refuse it.
    int fetch_source(CurlWrapper& client, const std::string& url, const std::filesystem::path& file,
                     int64_t size, const std::function<bool(int64_t)>& before_attempt);

    const SetupTimings timings_;
    // The keys releases must be signed with; the build's pinned keys by default.
    const std::vector<std::string> release_keys_;

    InstallTarget target_;
    Release release_;
    DownloadPlan plan_;
    std::filesystem::path download_dir_;
    DownloadedRecord downloaded_;
    std::mutex record_lock_;  // one rewrite of the download folder's record at a time
    // This run's downloads as they were checked; their links are not read again.
    CheckedDownloads checked_;
    InstallRecord install_record_;
    Package package_;
    ArchiveListing archive_;
    std::filesystem::path staging_dir_;
    std::filesystem::path extract_dir_;
    std::atomic<int> stage_{kInstallNotStarted};
    std::atomic<int64_t> placed_bytes_{0};
    std::atomic<int64_t> staging_total_bytes_{0};

    // The download's own state: what is left to fetch, and what has been.
    std::list<FileEntry> work_queue_;
    std::mutex queue_lock_;
    std::atomic<int64_t> fetched_bytes_{0};

    std::chrono::steady_clock::time_point metadata_deadline_{};  // set by the first fetch
    std::unique_ptr<CurlWrapper> probe_;  // created by prepare(), guarded by workers_lock_
    std::vector<std::unique_ptr<CurlWrapper>> workers_;
    std::mutex workers_lock_;
    std::unique_ptr<velora::FileDownloader> downloader_;
    std::atomic<bool> cancel_requested_{false};
    std::mutex cancel_lock_;  // with cancel_signal_, wakes pause() early
    std::condition_variable cancel_signal_;

    EventSink* events_ = nullptr;
};

}  // namespace velora::st
