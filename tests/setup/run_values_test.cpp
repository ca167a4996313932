#include "setup/run_values.h"

#include <gtest/gtest.h>

#include <map>

#include "base/crypto.h"
#include "layout/modules.h"
#include "setup/download_planning.h"
#include "setup/install_record.h"
#include "setup/setup_center.h"
#include "support/log_capture.h"
#include "support/test_env.h"

namespace velora::st {
namespace {

namespace fs = std::filesystem;
using castmill::test::LogCapture;
using castmill::test::read_file;
using castmill::test::TempDir;
using castmill::test::write_file;

FileEntry entry_of(const std::string& path, const std::string& content) {
    return {path, md5_hex(content), static_cast<int64_t>(content.size())};
}

std::vector<ManifestEntry> manifest_of(const std::vector<FileEntry>& entries) {
    std::vector<ManifestEntry> manifest;
    for (const FileEntry& entry : entries)
        manifest.push_back({entry, module_of_path(entry.filePath)});
    return manifest;
}

std::vector<std::string> paths_of(const std::vector<FileEntry>& entries) {
    std::vector<std::string> paths;
    for (const FileEntry& entry : entries) paths.push_back(entry.filePath);
    return paths;
}

// Every file below root with its bytes: what planning must leave as it found it.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        if (item.is_regular_file())
            files[item.path().lexically_relative(root).generic_string()] = read_file(item.path());
    }
    return files;
}

TEST(Release, BaseUrlAndFileAddressesFollowTheManifestUrl) {
    const Release release("2.0.0", "http://h/rel ease/2.0.0/manifest.json");
    EXPECT_EQ(release.version(), "2.0.0");
    EXPECT_EQ(release.base_url(), "http://h/rel ease/2.0.0");
    EXPECT_EQ(release.file_url("VeloraBrowser/new tab.html"),
              "http://h/rel%20ease/2.0.0/VeloraBrowser/new%20tab.html");
    EXPECT_EQ(release.package_url(), "http://h/rel ease/2.0.0/Castmill_winUpdate.zip");
    // A URL without a folder gives no base: the manifest's files cannot be addressed.
    EXPECT_EQ(Release("1.0.0", "manifest.json").base_url(), "");
    EXPECT_EQ(Release().base_url(), "");
}

TEST(DownloadedRecord, SavesLoadsAndForgetsByContent) {
    TempDir tmp;
    EXPECT_TRUE(DownloadedRecord::load(tmp.path()).empty());
    write_file(tmp / kDownloadRecordName, "{\"fileList\": [ {\"filePath\": ");
    EXPECT_TRUE(DownloadedRecord::load(tmp.path()).empty());

    const FileEntry a = entry_of("Update/a.dll", "same");
    const FileEntry b = entry_of("Connect/b.dll", "same");
    const FileEntry c = entry_of("Connect/c.dll", "other");
    DownloadedRecord record;
    for (const FileEntry& entry : {a, b, c}) record.add(entry);
    record.save(tmp.path());
    DownloadedRecord loaded = DownloadedRecord::load(tmp.path());
    EXPECT_EQ(loaded.files(), record.files());
    EXPECT_TRUE(loaded.has(a));
    EXPECT_FALSE(loaded.has({a.filePath, c.hash, a.fileSize}));

    // A copy is a value of its own.
    const DownloadedRecord copy = loaded;
    loaded.forget_content(a.hash);
    EXPECT_EQ(paths_of({loaded.files().at(c.filePath)}), std::vector<std::string>{c.filePath});
    EXPECT_EQ(loaded.files().size(), 1u);
    EXPECT_EQ(copy.files().size(), 3u);

    // Nothing to record leaves the file on disk as it was.
    DownloadedRecord().save(tmp.path());
    EXPECT_EQ(DownloadedRecord::load(tmp.path()).files().size(), 3u);
}

class PlanDownloads : public ::testing::Test {
protected:
    PlanDownloads() {
        fs::create_directories(site.download_dir);
        fs::create_directories(site.install_dir);
    }

    void cache(const std::string& content, const std::string& as) {
        write_file(site.download_dir / md5_hex(content), as);
    }

    TempDir tmp;
    PlanSite site{tmp / "Castmill", tmp / "installer" / "this-release", {}};
    LogCapture log;
};

TEST_F(PlanDownloads, SortsEveryEntryByWhereItsContentIsAndWritesNothing) {
    const FileEntry live = entry_of("Update/live.dll", "unchanged");
    const FileEntry cached = entry_of("Update/cached.dll", "cached");
    const FileEntry found = entry_of("Update/found.dll", "found");
    const FileEntry changed = entry_of("Update/changed.dll", "changed");
    const FileEntry partial = entry_of("Update/partial.dll", "partial content");
    const FileEntry twin = entry_of("Connect/twin.dll", "partial content");
    const FileEntry earlier = entry_of("Connect/earlier.dll", "from the last release");
    const FileEntry missing = entry_of("Connect/missing.dll", "not here");
    const FileEntry other_module = entry_of("VeloraOBS/obs.dll", "not selected");

    write_file(site.install_dir / live.filePath, "unchanged");
    cache("cached", "cached");
    cache("found", "found");
    cache("changed", "CHANGED");
    cache("partial content", "partial");
    write_file(tmp / "installer" / "last-release" / earlier.hash, "from the last release");
    const DownloadedRecord record(
        {{cached.filePath, cached}, {changed.filePath, changed}, {partial.filePath, partial}});
    const auto before = snapshot(tmp.path());

    const DownloadPlan plan = plan_downloads(
        manifest_of({live, cached, found, changed, partial, twin, earlier, missing, other_module}),
        ModuleApp | ModuleConnect, site, record);

    EXPECT_EQ(snapshot(tmp.path()), before);
    EXPECT_EQ(plan.live_paths, std::set<std::string>{live.filePath});
    EXPECT_EQ(paths_of(plan.queue),
              (std::vector<std::string>{changed.filePath, partial.filePath, missing.filePath}));
    EXPECT_EQ(paths_of(plan.twins.at(partial.hash)), std::vector<std::string>{twin.filePath});
    EXPECT_EQ(paths_of(plan.adopted), std::vector<std::string>{found.filePath});
    EXPECT_EQ(paths_of(plan.stale), std::vector<std::string>{changed.filePath});
    ASSERT_EQ(plan.reusable.size(), 1u);
    EXPECT_EQ(plan.reusable[0].entry, earlier);
    EXPECT_EQ(plan.reusable[0].source, tmp / "installer" / "last-release" / earlier.hash);
    EXPECT_EQ(plan.entry_count(), 8u);
    EXPECT_EQ(plan.install_lists.count(ModuleObs), 0u);

    int64_t total = 0;
    for (const FileEntry& entry : {live, cached, found, changed, partial, twin, earlier, missing})
        total += entry.fileSize;
    EXPECT_EQ(plan.total_bytes, total);
    // The cut download counts what it already holds; the changed one starts from nothing.
    EXPECT_EQ(plan.present_bytes,
              live.fileSize + cached.fileSize + found.fileSize + earlier.fileSize + int64_t{7});
    EXPECT_EQ(plan.remaining_bytes(), total - plan.present_bytes);
    EXPECT_TRUE(log.contains("cached file: Update/changed.dll does not match the manifest"));
}

TEST_F(PlanDownloads, ContentFoundOnceServesEveryEntryThatSharesIt) {
    const FileEntry first = entry_of("Update/a.dll", "shared");
    const FileEntry second = entry_of("Connect/b.dll", "shared");
    write_file(tmp / "installer" / "last-release" / first.hash, "shared");
    const DownloadPlan plan =
        plan_downloads(manifest_of({first, second}), ModuleApp | ModuleConnect, site, {});
    EXPECT_TRUE(plan.queue.empty());
    ASSERT_EQ(plan.reusable.size(), 1u);
    EXPECT_EQ(paths_of(plan.adopted), std::vector<std::string>{second.filePath});
    EXPECT_EQ(plan.remaining_bytes(), 0);
}

TEST_F(PlanDownloads, ALiveFileOfTheRightSizeButOtherBytesIsFetched) {
    const FileEntry entry = entry_of("Update/app.dll", "new bytes");
    write_file(site.install_dir / entry.filePath, "old bytes");
    // A hash that is no digest proves nothing about the live file.
    const FileEntry unnamed{"Update/b.dll", "plain-name", 1};
    write_file(site.install_dir / unnamed.filePath, "x");
    const DownloadPlan plan = plan_downloads(manifest_of({entry, unnamed}), ModuleApp, site, {});
    EXPECT_TRUE(plan.live_paths.empty());
    EXPECT_EQ(paths_of(plan.queue), (std::vector<std::string>{entry.filePath, unnamed.filePath}));
}

TEST_F(PlanDownloads, TheEngineCarriesOutWhatPlanningFound) {
    const FileEntry changed = entry_of("Update/changed.dll", "changed");
    const FileEntry earlier = entry_of("Connect/earlier.dll", "from the last release");
    const FileEntry blocked = entry_of("Connect/blocked.dll", "cannot be placed");
    cache("changed", "CHANGED");
    for (const char* content : {"from the last release", "cannot be placed"})
        write_file(tmp / "installer" / "last-release" / md5_hex(content), content);
    // Something in the way of the temporary name: that content is fetched instead.
    write_file(site.download_dir / (blocked.hash + ".reuse") / "in-the-way", "x");
    DownloadedRecord({{changed.filePath, changed}}).save(site.download_dir);

    std::string manifest = "{\"fileList\": [";
    for (const FileEntry& entry : {changed, earlier, blocked}) {
        if (manifest.back() != '[') manifest += ",";
        manifest += "{\"filePath\": \"" + entry.filePath + "\", \"hash\": \"" + entry.hash +
                    "\", \"fileSize\": " + std::to_string(entry.fileSize) + "}";
    }
    manifest += "]}";

    SetupCenter center;
    center.set_target({.install_dir = site.install_dir, .modules = ModuleApp | ModuleConnect});
    center.use_download_dir(site.download_dir);
    std::string message;
    ASSERT_EQ(center.plan_manifest(manifest, message), 0) << message;

    const DownloadPlan& plan = center.plan();
    EXPECT_TRUE(plan.stale.empty() && plan.adopted.empty() && plan.reusable.empty());
    EXPECT_EQ(paths_of(plan.queue), (std::vector<std::string>{changed.filePath, blocked.filePath}));
    EXPECT_EQ(plan.remaining_bytes(), changed.fileSize + blocked.fileSize);
    EXPECT_FALSE(fs::exists(site.download_dir / changed.hash));
    EXPECT_EQ(read_file(site.download_dir / earlier.hash), "from the last release");
    const auto recorded = DownloadedRecord::load(site.download_dir).files();
    EXPECT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded.count(earlier.filePath), 1u);
}

}  // namespace
}  // namespace velora::st
