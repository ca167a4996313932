#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The values one run works with: what it installs, where, what it must fetch and what it
// has fetched. Each step of the engine reads and replaces them as a whole.
namespace velora::st {

// The smaller forms of a file the server may offer beside the file itself, as the signed
// manifest lists them per entry (file_sources.h fetches them). A patch turns an earlier
// release's content into the entry's.
struct FilePatch {
    std::string from_sha256;
    std::string from_hash;  // the earlier release's manifest hash, when the manifest names it
    std::string sha256;     // of the patch itself
    std::int64_t size = 0;

    bool operator==(const FilePatch&) const = default;
};

// The compressed file and the patches of one entry.
struct FileSources {
    std::int64_t compressed_size = 0;  // 0: no compressed file
    std::vector<FilePatch> patches;

    bool operator==(const FileSources&) const = default;
};

// A patch whose old content is the installed file at `base`.
struct PatchBase {
    FilePatch patch;
    std::filesystem::path base;
};

// One file of the manifest. Sizes are 64-bit end to end.
struct FileEntry {
    std::string filePath;  // relative to the install directory, "/"-separated
    std::string hash;      // the file's name in the download directory
    int64_t fileSize = 0;
    std::string sha256{};   // optional: 64 hex digits the content must also have
    FileSources sources{};  // smaller forms of the content on the server

    bool operator==(const FileEntry&) const = default;
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

// What the run was started to do.
struct InstallTarget {
    std::filesystem::path install_dir;     // the live tree; the suite's own folder
    std::filesystem::path setup_source{};  // this installer's file, copied into Update
    int modules = 0;                       // 0: the full installer
    bool allow_downgrade = false;
};

// A file a signed document names by size and content; an empty sha256: none named.
struct SignedFile {
    std::string path;  // the full installer: its path on the download host
    int64_t size = 0;
    std::string sha256;

    bool named() const { return !sha256.empty(); }
};

// The release a run installs, as the version answer or setup.data named it. The base URL,
// under which the manifest's files lie, always follows from the manifest URL.
class Release {
public:
    Release() = default;
    Release(std::string version, std::string manifest_url);

    const std::string& version() const { return version_; }
    const std::string& manifest_url() const { return manifest_url_; }
    // The manifest URL up to its last "/"; empty when it has none.
    const std::string& base_url() const { return base_url_; }

    // Where a manifest file lies on the server, blanks encoded.
    std::string file_url(std::string_view file_path) const;
    // The archive of every file, beside the manifest.
    std::string package_url() const;

    // The full installer, as the signed version answer names it.
    const SignedFile& full_package() const { return full_package_; }
    void set_full_package(SignedFile file) { full_package_ = std::move(file); }

    // The signed manifest's release time (UTC text); empty for unsigned releases.
    const std::string& release_time() const { return release_time_; }
    void set_release_time(std::string time) { release_time_ = std::move(time); }

private:
    std::string version_;
    std::string manifest_url_;
    std::string base_url_;
    SignedFile full_package_;
    std::string release_time_;
};

// The files a download folder holds completely, as its record (downloaded.json) lists
// them: manifest path -> entry. Safe to use from the download workers at once.
class DownloadedRecord {
public:
    DownloadedRecord() = default;
    explicit DownloadedRecord(std::map<std::string, FileEntry> files) : files_(std::move(files)) {}
    DownloadedRecord(const DownloadedRecord& other) : files_(other.files()) {}
    DownloadedRecord& operator=(const DownloadedRecord& other);

    // The record of `download_dir`; empty when it is missing or damaged.
    static DownloadedRecord load(const std::filesystem::path& download_dir);
    // Replaces the folder's record; an empty record writes nothing. Failures are logged.
    void save(const std::filesystem::path& download_dir) const;

    // Whether the entry's path is recorded with the same hash.
    bool has(const FileEntry& entry) const;
    void add(const FileEntry& entry);
    // Drops every entry of that content.
    void forget_content(const std::string& hash);
    std::map<std::string, FileEntry> files() const;
    bool empty() const;

private:
    mutable std::mutex lock_;
    std::map<std::string, FileEntry> files_;
};

// The downloads this run has checked against the manifest, each with its file's stamp at
// the check (identity, size, modification time). A file with the same stamp still holds the
// checked bytes, so placing it needs no second read. Kept in memory only: what a later run
// finds in the download folder is checked again. Safe to use from the download workers.
class CheckedDownloads {
public:
    // Notes that `file` held content `hash` when it was checked just now.
    void add(const std::string& hash, const std::filesystem::path& file);
    // Whether `file` is the very file checked for `hash`, unchanged since.
    bool holds(const std::string& hash, const std::filesystem::path& file) const;

private:
    mutable std::mutex lock_;
    std::map<std::string, std::string> stamps_;  // hash -> stamp
};

// A manifest entry that passed its checks; module 0 when no module owns its path.
struct ManifestEntry {
    FileEntry entry;
    int module = 0;
};

// Content planning found in an earlier release's download folder.
struct ReusableFile {
    FileEntry entry;
    std::filesystem::path source;
    int64_t partial_bytes = 0;  // of a cut download at its name, resumed when reuse fails
};

// What a run must fetch and install, built by plan_downloads from the manifest, the
// records and the files on disk. total_bytes = present_bytes + remaining_bytes.
struct DownloadPlan {
    // Every entry of the selected modules, by module.
    std::unordered_map<int, std::vector<FileEntry>> install_lists;
    // One entry per content still to fetch, in manifest order.
    std::vector<FileEntry> queue;
    // Entries whose content a queued entry fetches (by hash): one file serves them all.
    std::unordered_map<std::string, std::vector<FileEntry>> twins;
    // Manifest paths whose content is unchanged in the live tree: linked, not fetched.
    std::set<std::string> live_paths;
    // Found while planning: complete content at its name in the download folder that the
    // record does not list yet, cached content that no longer matches (to fetch afresh),
    // and content to take from an earlier release's download folder.
    std::vector<FileEntry> adopted;
    std::vector<FileEntry> stale;
    std::vector<ReusableFile> reusable;
    // Queued entries that a patch against their installed file fetches, by manifest path.
    std::map<std::string, PatchBase> patch_bases;
    int64_t total_bytes = 0;
    int64_t present_bytes = 0;
    // Of the remaining bytes, those that patches and compressed files need not fetch.
    int64_t saved_bytes = 0;

    int64_t remaining_bytes() const {
        return present_bytes < total_bytes ? total_bytes - present_bytes : 0;
    }
    uint64_t queued_count() const { return queue.size(); }
    // What the per-file download is expected to fetch.
    int64_t fetch_bytes() const {
        return remaining_bytes() - std::min(saved_bytes, remaining_bytes());
    }
    // Whether a queued entry fetches this content.
    bool is_queued(const std::string& hash) const { return twins.count(hash) > 0; }
    // Every entry of the plan, across modules.
    size_t entry_count() const;
    // A reusable file that could not be placed after all: it is fetched instead.
    void fetch_instead(const ReusableFile& file);
};

// Where planning looks for content already on this machine.
struct PlanSite {
    std::filesystem::path install_dir;   // the live tree; empty: none is used
    std::filesystem::path download_dir;  // this manifest's download folder
    InstallRecord install_record;        // the live tree's record
};

// The plan for the entries of `modules`; entries of no module are left out with a log
// line. Reads the files on disk and writes nothing.
DownloadPlan plan_downloads(const std::vector<ManifestEntry>& entries, int modules,
                            const PlanSite& site, const DownloadedRecord& record);

// A downloaded package: the archive of every file, or the full installer.
struct Package {
    std::filesystem::path path;  // empty: none
    int64_t size = 0;
    bool replaces_files = false;  // the archive, installed instead of the per-file download
    std::string sha256{};         // what a signed document says it holds; empty: unsigned
};

// The package archive as the signed manifest names it, and what it may hold: the size of
// each entry by manifest path, and their sum. No archive named: the files are fetched.
struct ArchiveListing {
    SignedFile archive;
    std::map<std::string, int64_t> entry_sizes;
    int64_t total_bytes = 0;
};

}  // namespace velora::st
