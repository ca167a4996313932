#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "base/crypto.h"
#include "base/result_codes.h"
#include "layout/launch_options.h"
#include "layout/paths.h"
#include "setup/install_record.h"
#include "setup/setup_center.h"
#include "support/dist_server.h"
#include "support/fast_timings.h"
#include "support/immutable_flag.h"
#include "support/release_builder.h"
#include "support/test_env.h"
#include "sys/folders.h"

namespace castmill::test {
namespace {

namespace fs = std::filesystem;
using velora::st::SetupCenter;

constexpr int64_t kFiftyMebibytes = 52428800;

class SetupDownload : public ::testing::Test {
protected:
    void SetUp() override {
        // Downloads of an earlier case in this process would be found and reused.
        fs::remove_all(velora::st::download_base());
        release_.add_sample_suite();
        release_.publish("2.3.4");
    }

    DistServer& serve(DistServerOptions options = {}) {
        options.release = release_.release_dir();
        server_ = std::make_unique<DistServer>(options);
        server_->set_host_environment();
        return *server_;
    }

    void initialize(SetupCenter& center, int modules) {
        velora::st::LaunchOptions options;
        options.install_dir = dir_ / "Castmill";
        options.modules = modules;
        std::string message;
        ASSERT_EQ(center.initialize(options, message), 0) << message;
    }

    struct Run {
        int result = -1;
        std::string error;
        int64_t most_done = 0;  // the largest "downloaded" figure the progress showed
    };

    // Runs the download; in the per-file run the progress must show the planned totals.
    static Run download(SetupCenter& center) {
        Run run;
        std::atomic<int64_t> most{0};
        run.result = center.download_files(
            [&](int64_t total, int64_t present, int64_t done) {
                if (center.target().modules > 0 && !center.package().replaces_files) {
                    EXPECT_EQ(total, center.plan().total_bytes);
                    EXPECT_EQ(present, center.plan().present_bytes);
                }
                int64_t seen = most.load();
                while (done > seen && !most.compare_exchange_weak(seen, done)) {
                }
            },
            run.error);
        run.most_done = most;
        return run;
    }

    std::string path_of(const std::string& file) const { return server_->release_path_of(file); }

    // GETs of suite files, oldest first: no manifest, package or version requests.
    std::vector<RecordedRequest> file_requests() const {
        std::vector<RecordedRequest> files;
        for (const RecordedRequest& r : server_->requests()) {
            if (r.method == "GET" && r.path != path_of("manifest.json") &&
                r.path != path_of("Castmill_winUpdate.zip") &&
                r.path.rfind(server_->release_path_of(""), 0) == 0) {
                files.push_back(r);
            }
        }
        return files;
    }

    // The record of finished downloads as path -> hash; empty when there is none.
    static std::map<std::string, std::string> record_of(const SetupCenter& center) {
        std::map<std::string, std::string> record;
        const std::string text = read_file(center.download_dir() / "downloaded.json");
        if (text.empty()) return record;
        const nlohmann::json parsed = nlohmann::json::parse(text);
        for (const auto& entry : parsed.at("fileList")) {
            record[entry.at("filePath")] = entry.at("hash");
        }
        return record;
    }

    std::map<std::string, std::string> hashes_of(int modules) const {
        std::map<std::string, std::string> hashes;
        for (const auto& [path, content] : release_.files_of(modules))
            hashes[path] = md5_hex(content);
        return hashes;
    }

    static std::string local_content(const SetupCenter& center, const std::string& content) {
        return read_file(center.download_dir() / md5_hex(content));
    }

    // A manifest of the given entries (path, hash, size) in place of the published one.
    void craft_manifest(const std::vector<std::tuple<std::string, std::string, int64_t>>& entries) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& [path, hash, size] : entries)
            list.push_back({{"filePath", path}, {"hash", hash}, {"fileSize", size}});
        release_.set_manifest({{"fileList", list}});
    }

    TempDir dir_;
    ReleaseBuilder release_{dir_.path()};
    std::unique_ptr<DistServer> server_;
};

TEST_F(SetupDownload, FetchesEachSelectedFileOnceAndNothingOnTheNextRun) {
    serve();
    SetupCenter first(fast_timings());
    initialize(first, 3);
    const Run run = download(first);
    ASSERT_EQ(run.result, 0) << run.error;
    EXPECT_EQ(first.package().replaces_files, false);
    EXPECT_EQ(run.most_done, first.plan().remaining_bytes());

    std::map<std::string, int> fetched;
    for (const RecordedRequest& r : file_requests()) {
        fetched[r.path] += 1;
        EXPECT_EQ(r.range, "") << r.path;
    }
    std::map<std::string, int> expected;
    for (const auto& [path, content] : release_.files_of(3)) {
        expected[path_of(path)] = 1;  // "en US.pak" too: blanks travel as %20
        EXPECT_EQ(local_content(first, content), content) << path;
    }
    EXPECT_EQ(fetched, expected);
    EXPECT_EQ(record_of(first), hashes_of(3));
    EXPECT_FALSE(fs::exists(first.download_dir() / "downloaded.json.tmp"));

    server_->clear_requests();
    SetupCenter second(fast_timings());
    initialize(second, 3);
    EXPECT_EQ(second.download_dir(), first.download_dir());
    EXPECT_EQ(second.plan().queued_count(), 0u);
    EXPECT_EQ(second.plan().present_bytes, second.plan().total_bytes);
    EXPECT_EQ(second.plan().remaining_bytes(), 0);
    const Run again = download(second);
    EXPECT_EQ(again.result, 0) << again.error;
    EXPECT_TRUE(file_requests().empty());
    EXPECT_EQ(record_of(second), hashes_of(3));
}

TEST_F(SetupDownload, ACutRunKeepsWhatFinishedAndResumesThePartialFileNextRun) {
    serve();
    const std::string obs = "VeloraOBS/bin/64bit/obs64.exe";
    const std::string content = release_.files().at(obs);
    server_->cut_after(path_of(obs), 1000);
    SetupCenter first(fast_timings());
    initialize(first, 3);
    const Run failed = download(first);
    EXPECT_EQ(failed.result, 2100 + 18);  // CURLE_PARTIAL_FILE, every attempt
    EXPECT_EQ(failed.error, "download failed");
    auto finished = hashes_of(3);
    finished.erase(obs);
    EXPECT_EQ(record_of(first), finished);
    const fs::path partial = first.download_dir() / md5_hex(content);
    const auto cut_size = static_cast<int64_t>(fs::file_size(partial));
    ASSERT_GT(cut_size, 0);
    ASSERT_LT(cut_size, static_cast<int64_t>(content.size()));

    server_->clear_faults();
    server_->clear_requests();
    SetupCenter second(fast_timings());
    initialize(second, 3);
    EXPECT_EQ(second.plan().queued_count(), 1u);
    EXPECT_EQ(second.plan().remaining_bytes(), static_cast<int64_t>(content.size()) - cut_size);
    const Run resumed = download(second);
    ASSERT_EQ(resumed.result, 0) << resumed.error;
    const auto requests = file_requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, path_of(obs));
    EXPECT_EQ(requests[0].range, "bytes=" + std::to_string(cut_size) + "-");
    EXPECT_EQ(read_file(partial), content);
    EXPECT_EQ(record_of(second), hashes_of(3));
}

// A transfer that stalls, or one that ends early without saying how long it is, fails its
// attempt; the next attempt continues the file where it stopped.
TEST_F(SetupDownload, StalledOrShortTransfersAreContinuedByTheNextAttempt) {
    std::string stalled(100000, '\0');
    std::string cut(100000, '\0');
    for (size_t i = 0; i < stalled.size(); ++i) {
        stalled[i] = static_cast<char>(i * 7 + i / 251);
        cut[i] = static_cast<char>(i * 13 + 1);
    }
    release_.add("VeloraOBS/bin/stalled.dll", stalled).add("VeloraOBS/bin/cut.dll", cut);
    release_.publish("2.3.4");
    serve();
    const std::string stalled_path = path_of("VeloraOBS/bin/stalled.dll");
    const std::string cut_path = path_of("VeloraOBS/bin/cut.dll");
    server_->add_fault({.path = stalled_path, .times = 1, .stall_after = 1000, .stall_ms = 60000});
    server_->add_fault({.path = cut_path, .times = 1, .cut_after = 50000, .no_length = true});
    velora::st::SetupTimings timings = fast_timings();
    timings.stall = {1000, 1};
    SetupCenter center(timings);
    initialize(center, 2);
    const Run run = download(center);
    ASSERT_EQ(run.result, 0) << run.error;
    EXPECT_TRUE(local_content(center, stalled) == stalled);
    EXPECT_TRUE(local_content(center, cut) == cut);
    std::map<std::string, std::vector<std::string>> ranges;
    for (const RecordedRequest& r : file_requests()) ranges[r.path].push_back(r.range);
    EXPECT_EQ(ranges[stalled_path], (std::vector<std::string>{"", "bytes=1000-"}));
    EXPECT_EQ(ranges[cut_path], (std::vector<std::string>{"", "bytes=50000-"}));
}

// A recorded file counts only with all its bytes (a cut one resumes from where it ends);
// one changed since it was fetched, at the same size, is fetched again whole.
TEST_F(SetupDownload, ARecordedFileCountsOnlyWhileItsBytesAreAllThere) {
    serve();
    const std::string connect = release_.files().at("Connect/connect.exe");
    struct Damage {
        const char* name;
        std::function<void(const fs::path&)> apply;
        int64_t present;
        const char* range;
    } const damages[] = {
        {"cut", [](const fs::path& file) { fs::resize_file(file, 100); }, 100, "bytes=100-"},
        // Same size, other bytes: the size alone would pass it.
        {"changed",
         [&](const fs::path& file) { write_file(file, std::string(connect.size(), 'T')); }, 0, ""},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        SetupCenter first(fast_timings());
        initialize(first, 4);
        ASSERT_EQ(download(first).result, 0);
        damage.apply(first.download_dir() / md5_hex(connect));

        server_->clear_requests();
        SetupCenter second(fast_timings());
        initialize(second, 4);
        EXPECT_EQ(second.plan().queued_count(), 1u);
        EXPECT_EQ(second.plan().present_bytes, damage.present);
        ASSERT_EQ(download(second).result, 0);
        const auto requests = file_requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].range, damage.range);
        EXPECT_EQ(local_content(second, connect), connect);
    }
}

// Content already on the machine, in the installed tree or an earlier release's download
// folder, is taken from there; a copy whose bytes differ is fetched.
TEST_F(SetupDownload, ContentOnThisMachineIsReusedAndTamperedCopiesAreFetched) {
    serve();
    const auto files = release_.files_of(4);
    ASSERT_GE(files.size(), 1u);
    const auto& [path, content] = *files.begin();
    const fs::path installed = dir_ / "Castmill" / path;

    // Same size, other bytes, at its path and in an earlier folder: never installed.
    write_file(installed, std::string(content.size(), 'T'));
    const fs::path earlier = *velora::sys::temp_directory() / "castmill/installer/earlier-release";
    write_file(earlier / md5_hex(content), std::string(content.size(), 'U'));
    {
        SetupCenter center(fast_timings());
        initialize(center, 4);
        EXPECT_EQ(center.plan().queued_count(), files.size());
        EXPECT_TRUE(center.plan().live_paths.empty());
    }

    // The right bytes at its path: not fetched, linked from the live tree at install time.
    write_file(installed, content);
    {
        SetupCenter center(fast_timings());
        initialize(center, 4);
        EXPECT_EQ(center.plan().live_paths.count(path), 1u);
        EXPECT_EQ(center.plan().present_bytes, static_cast<int64_t>(content.size()));
        EXPECT_EQ(center.plan().queued_count(), files.size() - 1);
    }

    // The right bytes in an earlier download folder: placed into this one and recorded.
    fs::remove(installed);
    write_file(earlier / md5_hex(content), content);
    server_->clear_requests();
    SetupCenter center(fast_timings());
    initialize(center, 4);
    EXPECT_EQ(center.plan().queued_count(), files.size() - 1);
    EXPECT_EQ(local_content(center, content), content);
    EXPECT_EQ(record_of(center).count(path), 1u);
    ASSERT_EQ(download(center).result, 0);
    for (const RecordedRequest& r : file_requests()) EXPECT_NE(r.path, path_of(path));
}

// The install record lets an unchanged file pass without being read; without a usable
// record every file is hashed.
TEST_F(SetupDownload, TheInstallRecordIsTrustedOnlyWhileSizeAndTimeMatch) {
    serve();
    const auto files = release_.files_of(4);
    const auto& [path, content] = *files.begin();
    const fs::path installed = dir_ / "Castmill" / path;
    write_file(installed, content);
    const auto entry_of = [&] {
        return velora::st::FileEntry{path, md5_hex(content), static_cast<int64_t>(content.size())};
    };
    velora::st::InstallRecord record;
    record[path] = *velora::st::describe_file(installed, md5_hex(content));
    fs::create_directories(dir_ / "Castmill/Update");
    ASSERT_TRUE(velora::st::write_install_record(dir_ / "Castmill", record));
    // Other bytes under the recorded size and time are taken on the record's word...
    const auto time = fs::last_write_time(installed);
    write_file(installed, std::string(content.size(), 'R'));
    fs::last_write_time(installed, time);
    EXPECT_TRUE(velora::st::holds_content(installed, entry_of(),
                                          velora::st::read_install_record(dir_ / "Castmill")));
    // ...and hashed as soon as the time differs, or the record is damaged.
    fs::last_write_time(installed, time + std::chrono::seconds(5));
    EXPECT_FALSE(velora::st::holds_content(installed, entry_of(),
                                           velora::st::read_install_record(dir_ / "Castmill")));
    write_file(installed, content);
    write_file(velora::st::install_record_path(dir_ / "Castmill"), "{\"fileList\": [ damaged");
    EXPECT_TRUE(velora::st::read_install_record(dir_ / "Castmill").empty());
    SetupCenter center(fast_timings());
    initialize(center, 4);
    EXPECT_EQ(center.plan().live_paths.count(path), 1u);
}

TEST_F(SetupDownload, AChangedHashIsFetchedFromTheFirstByte) {
    // Without an ETag the digits-only folder keeps the download directory across releases.
    DistServerOptions options;
    options.release_path = "/files/apps/castmill/update/42";
    serve(options);
    FaultRule no_etag;
    no_etag.path = path_of("manifest.json");
    no_etag.no_etag = true;
    server_->add_fault(no_etag);
    const std::string old_content = release_.files().at("Connect/connect.exe");
    SetupCenter first(fast_timings());
    initialize(first, 4);
    ASSERT_EQ(download(first).result, 0);

    const std::string new_content(old_content.size(), 'N');
    release_.add("Connect/connect.exe", new_content);
    release_.publish("2.3.5");
    server_->clear_requests();
    SetupCenter second(fast_timings());
    initialize(second, 4);
    ASSERT_EQ(second.download_dir(), first.download_dir());
    EXPECT_EQ(second.plan().queued_count(), 1u);
    EXPECT_EQ(second.plan().present_bytes, 0);
    ASSERT_EQ(download(second).result, 0);
    const auto requests = file_requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].range, "");
    EXPECT_EQ(local_content(second, new_content), new_content);
    EXPECT_EQ(record_of(second), hashes_of(4));
}

TEST_F(SetupDownload, ContentThatDoesNotMatchItsHashIsRefused) {
    serve();
    const std::string connect = "Connect/connect.exe";
    server_->serve_wrong_bytes(path_of(connect), 1);
    SetupCenter center(fast_timings());
    initialize(center, 4);
    ASSERT_EQ(download(center).result, 0);
    EXPECT_EQ(local_content(center, release_.files().at(connect)), release_.files().at(connect));
    const auto requests = file_requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].range, "");  // the wrong bytes were not kept to resume from

    // Wrong every time: the file fails for good and is neither kept nor recorded.
    const std::string obs = "VeloraOBS/data/locale/en-US.ini";
    server_->serve_wrong_bytes(path_of(obs));
    SetupCenter refused(fast_timings());
    initialize(refused, 2);
    const Run run = download(refused);
    EXPECT_EQ(run.result, 2100 + velora::kDownloadHashMismatch);
    EXPECT_FALSE(fs::exists(refused.download_dir() / md5_hex(release_.files().at(obs))));
    EXPECT_EQ(record_of(refused).count(obs), 0u);
}

TEST_F(SetupDownload, TooManyRequestsAreWaitedOutWithoutCountingAsFailures) {
    serve();
    const std::string connect = "Connect/connect.exe";
    server_->fail_next(path_of(connect), 429, 4);
    SetupCenter center(fast_timings());
    initialize(center, 4);
    const Run run = download(center);
    ASSERT_EQ(run.result, 0) << run.error;
    EXPECT_EQ(server_->count_requests(path_of(connect)), 5);
    EXPECT_EQ(local_content(center, release_.files().at(connect)), release_.files().at(connect));
}

TEST_F(SetupDownload, FilesOfTheSameContentAreFetchedOnce) {
    const std::string library(9000, 'L');
    release_.add("VeloraBrowser/msvcp140.dll", library);
    release_.add("VeloraOBS/bin/64bit/msvcp140.dll", library);
    release_.publish("2.3.4");
    serve();
    SetupCenter center(fast_timings());
    initialize(center, 3);
    const Run run = download(center);
    ASSERT_EQ(run.result, 0) << run.error;
    EXPECT_EQ(run.most_done, center.plan().remaining_bytes());
    EXPECT_EQ(server_->count_requests(path_of("VeloraBrowser/msvcp140.dll")) +
                  server_->count_requests(path_of("VeloraOBS/bin/64bit/msvcp140.dll")),
              1);
    EXPECT_EQ(record_of(center), hashes_of(3));
}

TEST_F(SetupDownload, CancelEndsARunningTransfer) {
    release_.add_sparse("Connect/big.dat", 8 << 20);
    release_.publish("2.3.4");
    serve();
    SetupCenter center(fast_timings());
    initialize(center, 4);
    std::string error;
    std::atomic<bool> canceled{false};
    const int result = center.download_files(
        [&](int64_t, int64_t, int64_t done) {
            // Bytes are flowing: cancel from the transfer's own thread, as the window may.
            if (done > 0 && !canceled.exchange(true)) center.cancel();
        },
        error);
    EXPECT_TRUE(canceled);
    EXPECT_EQ(result, 2142);
    EXPECT_EQ(error, "download failed");
    EXPECT_EQ(record_of(center).count("Connect/big.dat"), 0u);
}

TEST_F(SetupDownload, CancelCutsTheWaitAfterTooManyRequests) {
    serve();
    server_->fail_next(path_of("Connect/connect.exe"), 429, -1);
    velora::st::SetupTimings timings = fast_timings();
    timings.too_many_requests = std::chrono::milliseconds(30000);
    SetupCenter center(timings);
    initialize(center, 4);
    const auto start = std::chrono::steady_clock::now();
    auto run = std::async(std::launch::async, [&] { return download(center); });
    while (server_->count_requests(path_of("Connect/connect.exe")) == 0) {
        ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    center.cancel();
    EXPECT_EQ(run.get().result, 2142);
    // Far less than the 30 s the worker was told to wait.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST_F(SetupDownload, UpToFiftyMebibytesMissingNeverAsksForThePackage) {
    serve();
    const std::string connect = release_.files().at("Connect/connect.exe");
    const std::string zip = path_of("Castmill_winUpdate.zip");
    craft_manifest({{"Connect/connect.exe", md5_hex(connect), kFiftyMebibytes}});
    SetupCenter at_limit(fast_timings());
    initialize(at_limit, 4);
    ASSERT_EQ(at_limit.plan().remaining_bytes(), kFiftyMebibytes);
    // The file is fetched alone; its made-up size then refuses it.
    EXPECT_EQ(download(at_limit).result, 2100 + velora::kDownloadSizeMismatch);
    EXPECT_EQ(at_limit.package().replaces_files, false);
    EXPECT_EQ(server_->count_requests(zip), 0);

    // One byte more: the package is probed and, being small, taken.
    craft_manifest({{"Connect/connect.exe", md5_hex(connect), kFiftyMebibytes + 1}});
    SetupCenter above(fast_timings());
    initialize(above, 4);
    const Run run = download(above);
    ASSERT_EQ(run.result, 0) << run.error;
    EXPECT_TRUE(above.package().replaces_files);
    EXPECT_EQ(above.package().path, above.download_dir() / "Castmill_winUpdate_zip");
    EXPECT_EQ(read_file(above.package().path),
              read_file(release_.release_dir() / "Castmill_winUpdate.zip"));
    int gets = 0;
    for (const RecordedRequest& r : server_->requests()) gets += r.path == zip && r.method == "GET";
    EXPECT_EQ(gets, 1);
    EXPECT_EQ(server_->count_requests(zip), 2);  // the size probe and the transfer

    // A complete package from an earlier run is used as it is.
    SetupCenter again(fast_timings());
    initialize(again, 4);
    ASSERT_EQ(download(again).result, 0);
    EXPECT_TRUE(again.package().replaces_files);
    EXPECT_EQ(server_->count_requests(zip), 3);
}

TEST_F(SetupDownload, MoreThanSixHundredMissingFilesTakeThePackageWhateverItsSize) {
    serve();
    // A package far larger than what is missing: only the file count can choose it.
    const int64_t package_size = 80 << 20;
    make_sparse_file(release_.release_dir() / "Castmill_winUpdate.zip", package_size);
    auto manifest_of = [&](int files) {
        std::vector<std::tuple<std::string, std::string, int64_t>> entries;
        for (int i = 0; i < files; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "Connect/f%03d.dll", i);
            entries.emplace_back(name, md5_hex(name), i == 0 ? kFiftyMebibytes + 2 - files : 1);
        }
        return entries;
    };

    craft_manifest(manifest_of(601));
    SetupCenter many(fast_timings());
    initialize(many, 4);
    ASSERT_EQ(many.plan().queued_count(), 601u);
    ASSERT_EQ(many.plan().remaining_bytes(), kFiftyMebibytes + 1);
    // Complete from an earlier run, so the choice is seen without moving 80 MiB.
    make_sparse_file(many.download_dir() / "Castmill_winUpdate_zip", package_size);
    const Run taken = download(many);
    ASSERT_EQ(taken.result, 0) << taken.error;
    EXPECT_TRUE(many.package().replaces_files);
    EXPECT_TRUE(file_requests().empty());

    craft_manifest(manifest_of(600));
    SetupCenter fewer(fast_timings());
    initialize(fewer, 4);
    ASSERT_EQ(fewer.plan().queued_count(), 600u);
    const Run per_file = download(fewer);
    EXPECT_EQ(fewer.package().replaces_files, false);
    EXPECT_EQ(per_file.result, 2100 + 103);  // the listed files are not on the server: 404
    EXPECT_FALSE(file_requests().empty());
}

TEST_F(SetupDownload, FullPackageModeFetchesTheInstallerUnderAnExeName) {
    const std::string installer = std::string(30000, 'I') + "full installer";
    write_file(dir_ / "full_installer.bin", installer);
    release_.publish("2.3.4", {"--full-package", (dir_ / "full_installer.bin").string()});
    serve();
    SetupCenter center(fast_timings());
    initialize(center, 0);
    const Run run = download(center);
    ASSERT_EQ(run.result, 0) << run.error;
    EXPECT_EQ(server_->count_requests(DistServer::kFullPackagePath), 2);  // headers, then file
    EXPECT_EQ(center.package().path.parent_path(), velora::st::download_base());
    const std::string name = center.package().path.filename().string();
    ASSERT_EQ(name.size(), 32u + 5u) << name;  // the cache name, "0" and ".exe"
    EXPECT_EQ(name.substr(32), "0.exe");
    EXPECT_EQ(read_file(center.package().path), installer);
    EXPECT_EQ(center.package().size, static_cast<int64_t>(installer.size()));
    EXPECT_EQ(center.expected_install_size(),
              static_cast<int64_t>(static_cast<double>(installer.size()) * 2.6));

    // A name that cannot be replaced is passed over for the next one.
    const fs::path held = center.package().path;
    ImmutableFlag flag(held);
    if (!flag.applied()) GTEST_SKIP() << "no immutable attribute on this file system";
    SetupCenter next(fast_timings());
    initialize(next, 0);
    ASSERT_EQ(download(next).result, 0);
    EXPECT_EQ(next.package().path, held.parent_path() / (name.substr(0, 32) + "1.exe"));
    EXPECT_EQ(read_file(next.package().path), installer);
}

}  // namespace
}  // namespace castmill::test
