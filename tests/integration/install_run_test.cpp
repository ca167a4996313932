// The install run over real files: staged downloads, a real suite tree, real programs
// holding files, the real full-installer start, and event reports received by distserver.
#include <gtest/gtest.h>
#include <zip.h>

#include <algorithm>
#include <map>
#include <string>

#include "base/crypto.h"
#include "base/result_codes.h"
#include "layout/modules.h"
#include "layout/paths.h"
#include "report/log_key.h"
#include "report/report_client.h"
#include "setup/desktop_integration.h"
#include "setup/install_journal.h"
#include "setup/install_record.h"
#include "setup/setup_center.h"
#include "setup/setup_data.h"
#include "support/child_process.h"
#include "support/dist_server.h"
#include "support/immutable_flag.h"
#include "support/program_run.h"
#include "support/release_builder.h"
#include "support/scoped_env.h"
#include "support/test_env.h"
#include "sys/files.h"
#include "sys/folders.h"
#include "sys/registry.h"

namespace velora::st {
namespace {

namespace fs = std::filesystem;
using castmill::test::ChildProcess;
using castmill::test::DistServer;
using castmill::test::read_file;
using castmill::test::run_in_forked_child;
using castmill::test::ScopedEnv;
using castmill::test::TempDir;
using castmill::test::test_programs_dir;
using castmill::test::write_file;
using Tree = std::map<std::string, std::string>;  // relative path -> MD5

constexpr const char* kAppId = "9a8b7c6d5e4f3a2b";
constexpr const char* kAppSecret = "1a2b3c4d5e6f7a8b";

const std::map<std::string, std::string> kSuite = {
    {"VeloraBrowser/Browser/chrome.exe", "browser 2"},
    {"VeloraBrowser/Browser/locales/en US.pak", "locale 2"},
    {"velora_cam/cam.dll", "cam 2"},
    {"Update/config.json", "{\"gver\": \"2.0.0\"}"},
    {"VeloraOBS/7z/7z.exe", "7z 2"},
    {"VeloraOBS/bin/64bit/obs64.exe", "obs 2"},
    {"VeloraOBS/data/obs-plugins/win-capture/graphics-hook64.dll", "hook 2"},
    {"VeloraOBS/data/obs-plugins/win-capture/obs-vulkan64.json", "{\"layer\": 2}"},
    {"dist/index.html", "dist 2"},
    {"Connect/connect.dll", "connect 2"},
};

// What the machine held before the run: an older suite.
const std::map<std::string, std::string> kOldSuite = {
    {"VeloraBrowser/Browser/chrome.exe", "browser 1"},
    {"VeloraBrowser/Browser/old-only.dll", "old"},
    {"VeloraOBS/bin/64bit/obs64.exe", "obs 1"},
    {"VeloraOBS/plugins/gone.dll", "gone"},
    {"dist/index.html", "dist 1"},
    {"Connect/connect.dll", "connect 1"},
    {"Pcid/pcid.dat", "id"},
};

Tree tree_of(const fs::path& root) {
    Tree tree;
    if (!fs::exists(root)) return tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file())
            tree[entry.path().lexically_relative(root).generic_string()] =
                md5_file_hex(entry.path());
    }
    return tree;
}

Tree tree_of(const std::map<std::string, std::string>& files, int modules) {
    Tree tree;
    for (const auto& [path, content] : files) {
        if (modules == 0 || (module_of_path(path) & modules)) tree[path] = md5_hex(content);
    }
    return tree;
}

class InstallRun : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto folder : {sys::KnownFolder::CommonDesktop, sys::KnownFolder::CommonPrograms,
                                  sys::KnownFolder::CommonAppData})
            fs::remove_all(*sys::known_folder(folder));
        fs::create_directories(*sys::known_folder(sys::KnownFolder::CommonDesktop));
        install_dir_ = dir_ / "Velora" / "Castmill";
        // The installer copy that update runs leave in Update.
        write_file(dir_ / "source" / "setup.exe", "setup program");
        write_file(exe_dir() / "data" / "log.key", make_log_key({{"1.0.0", {kAppId, kAppSecret}}}));
        castmill::test::DistServerOptions options;
        options.app_id = kAppId;
        options.app_secret = kAppSecret;
        server_ = std::make_unique<DistServer>(options);
        server_->set_host_environment();
    }

    fs::path exe_dir() const { return dir_ / "bin"; }

    void install_old_suite() {
        for (const auto& [path, content] : kOldSuite) write_file(install_dir_ / path, content);
    }

    // The engine as initialize and the download leave it: every file of the chosen
    // modules in the download folder under its hash.
    // Returns the plan it set, for a test to change and set again.
    DownloadPlan stage(SetupCenter& center, int modules) {
        center.set_event_sink(&setup_reports());
        center.set_target({install_dir_, dir_ / "source" / "setup.exe", modules});
        center.set_release(Release("2.0.0", server_->manifest_url()));
        center.use_download_dir(dir_ / "download");
        DownloadPlan plan;
        for (const auto& [path, content] : kSuite) {
            const int module = module_of_path(path);
            if (!(module & modules)) continue;
            const std::string hash = md5_hex(content);
            write_file(center.download_dir() / hash, content);
            plan.install_lists[module].push_back(
                {path, hash, static_cast<int64_t>(content.size())});
        }
        center.set_plan(plan);
        return plan;
    }

    // Runs body in a fresh process (the reporter and the suite's caches are process-wide)
    // with the reporter set up for the server; the reports it queued have all been posted
    // when it returns.
    void run_with_reporter(const std::function<void()>& body) {
        EXPECT_TRUE(run_in_forked_child([&] {
            ASSERT_TRUE(init_report(blog_reporter(), "1.0.0", exe_dir()));
            body();
            blog_reporter().stop();
        }));
    }

    std::vector<std::string> report_texts(const std::string& log_no) const {
        std::vector<std::string> texts;
        for (const auto& r : server_->reports()) {
            if (r["fields"].value("logNo", "") == log_no)
                texts.push_back(r["fields"].value("text", ""));
        }
        return texts;
    }

    // What lies beside the install folder.
    std::vector<std::string> siblings() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(install_dir_.parent_path()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir dir_;
    fs::path install_dir_;
    std::unique_ptr<DistServer> server_;
};

TEST_F(InstallRun, FreshInstallOfAppAndMediaPlugin) {
    run_with_reporter([&] {
        SetupCenter center;
        stage(center, ModuleApp | ModuleObs);
        std::string message;
        EXPECT_EQ(center.install(message), 0) << message;
        EXPECT_EQ(center.stage(), 3);
    });

    Tree expected = tree_of(kSuite, ModuleApp | ModuleObs);
    expected["Update/setup.exe"] = md5_hex("setup program");
    Tree installed = tree_of(install_dir_);
    const std::string setup_data = read_file(setup_data_path(install_dir_));
    installed.erase("Update/setup.data");
    EXPECT_EQ(installed.erase("Update/install_record.json"), 1u);
    EXPECT_EQ(installed, expected);
    EXPECT_TRUE(fs::is_directory(driver_folder(install_dir_)));
    EXPECT_EQ(read_install_record(install_dir_).size(), expected.size() - 1);
    EXPECT_FALSE(fs::exists(old_installation_path(install_dir_)));

    EXPECT_NE(setup_data.find(setup_data_sign(server_->manifest_url(), "2.0.0")), std::string::npos)
        << setup_data;
    const fs::path desktop = *sys::known_folder(sys::KnownFolder::CommonDesktop);
    EXPECT_NE(
        read_file(desktop / "Castmill.desktop").find(browser_executable(install_dir_).string()),
        std::string::npos);
    EXPECT_TRUE(fs::exists(*sys::known_folder(sys::KnownFolder::CommonPrograms) / "Castmill" /
                           "Castmill.desktop"));
    EXPECT_EQ(sys::registry_get_string(sys::RegistryHive::LocalMachine,
                                       std::string(kUninstallKey) + "Castmill", "DisplayVersion"),
              "2.0.0");
    const fs::path hooks =
        *sys::known_folder(sys::KnownFolder::CommonAppData) / "velora-obs-studio-hook";
    EXPECT_EQ(read_file(hooks / "graphics-hook64.dll"), "hook 2");
    EXPECT_EQ(fs::read_symlink(*sys::vulkan_implicit_layer_dir() / "obs-vulkan64.json"),
              hooks / "obs-vulkan64.json");
    EXPECT_EQ(report_texts("I9104"), std::vector<std::string>{"install[v:2.0.0 m:3] success"});
}

TEST_F(InstallRun, UpdateStopsTheRunningBrowserAndReplacesTheTree) {
    install_old_suite();
    const fs::path chrome = browser_executable(install_dir_);
    fs::remove(chrome);
    fs::copy_file(test_programs_dir() / "proc_helper", chrome);
    ChildProcess running(chrome, {"sleep", (dir_ / "ready").string()});
    ASSERT_TRUE(running.wait_for_file(dir_ / "ready"));

    run_with_reporter([&] {
        SetupTimings timings;
        timings.shutdown_grace = std::chrono::milliseconds(200);
        SetupCenter center(timings);
        stage(center, ModuleApp | ModuleObs);
        std::string message;
        EXPECT_EQ(center.install(message), 0) << message;
    });

    ASSERT_TRUE(running.poll().has_value());
    Tree installed = tree_of(install_dir_);
    installed.erase("Update/setup.data");
    installed.erase("Update/setup.exe");
    installed.erase("Update/install_record.json");
    Tree expected = tree_of(kSuite, ModuleApp | ModuleObs);
    // Connect was not selected: it stays as it was.
    expected["Connect/connect.dll"] = md5_hex("connect 1");
    EXPECT_EQ(installed, expected);
    EXPECT_FALSE(fs::exists(old_installation_path(install_dir_)));
    for (const auto& entry : fs::directory_iterator(install_dir_.parent_path()))
        EXPECT_EQ(entry.path().string().find(".deleteme"), std::string::npos) << entry.path();
}

// A module update replaces what the selected modules own and nothing else: the other
// modules' files and files no module owns stay as they were.
TEST_F(InstallRun, ModuleUpdatesLeaveOtherModulesAndUnknownFilesAlone) {
    for (const int modules : {ModuleObs, ModuleApp}) {
        SCOPED_TRACE(modules);
        fs::remove_all(install_dir_);
        install_old_suite();
        write_file(install_dir_ / "VeloraOBS/7z/7z.exe", "7z 1");
        write_file(install_dir_ / "VeloraOBS/log-upload/log.key", "the report key");
        write_file(install_dir_ / "notes.txt", "the user's own file");
        const Tree before = tree_of(install_dir_);

        run_with_reporter([&] {
            SetupCenter center;
            stage(center, modules);
            std::string message;
            EXPECT_EQ(center.install(message), 0) << message;
        });

        Tree expected;
        for (const auto& [path, md5] : before) {
            if (!(module_of_path(path) & modules)) expected[path] = md5;
        }
        for (const auto& [path, md5] : tree_of(kSuite, modules)) expected[path] = md5;
        Tree installed = tree_of(install_dir_);
        if (!(modules & ModuleApp)) {
            // The media plugin alone (run first: the app leaves its shortcut) writes neither
            // the app's version file nor its shortcut.
            EXPECT_FALSE(installed.count("Update/setup.data"));
            EXPECT_FALSE(fs::exists(*sys::known_folder(sys::KnownFolder::CommonDesktop) /
                                    "Castmill.desktop"));
        }
        installed.erase("Update/setup.data");
        installed.erase("Update/install_record.json");
        if (modules & ModuleApp) expected["Update/setup.exe"] = md5_hex("setup program");
        EXPECT_EQ(installed, expected);
        EXPECT_EQ(siblings(), std::vector<std::string>{"Castmill"});
    }
}

// The suite starts the installer from Update, which the update replaces as a whole.
// When the release also lists the installer and its download is the live file itself (as
// content reuse leaves it), nothing may write through that link: it would empty the source.
TEST_F(InstallRun, RunFromTheUpdateFolderKeepsTheInstallerThere) {
    install_old_suite();
    const std::string installer = "the running installer";
    write_file(install_dir_ / "Update/setup.exe", installer);
    fs::create_hard_link(install_dir_ / "Update/setup.exe", dir_ / "running-installer");
    run_with_reporter([&] {
        SetupCenter center;
        DownloadPlan plan = stage(center, ModuleApp);
        center.set_target({install_dir_, install_dir_ / "Update/setup.exe", ModuleApp});
        const std::string hash = md5_hex(installer);
        fs::create_hard_link(install_dir_ / "Update/setup.exe", center.download_dir() / hash);
        plan.install_lists[ModuleApp].push_back(
            {"Update/setup.exe", hash, static_cast<int64_t>(installer.size())});
        center.set_plan(plan);
        std::string message;
        EXPECT_EQ(center.install(message), 0) << message;
    });
    EXPECT_EQ(read_file(install_dir_ / "Update/setup.exe"), installer);
    // Linked, not copied: the unchanged installer costs no bytes.
    EXPECT_TRUE(fs::equivalent(install_dir_ / "Update/setup.exe", dir_ / "running-installer"));
}

TEST_F(InstallRun, AnInstallFolderThatCannotChangeKeepsTheOldInstallation) {
    install_old_suite();
    const Tree before = tree_of(install_dir_);
    {
        castmill::test::ImmutableFlag frozen(install_dir_);
        if (!frozen.applied()) GTEST_SKIP() << "no immutable attribute on this file system";
        run_with_reporter([&] {
            SetupCenter center;
            stage(center, ModuleApp | ModuleObs);
            std::string message;
            EXPECT_EQ(center.install(message), kSetupFileSystemError);
            EXPECT_NE(message.find("cannot"), std::string::npos) << message;
        });
    }
    EXPECT_EQ(tree_of(install_dir_), before);
    EXPECT_EQ(siblings(), std::vector<std::string>{"Castmill"});
    EXPECT_TRUE(report_texts("I9104").empty());
}

TEST_F(InstallRun, AnUndeletableLeftoverIsNeverRenamedOverTheInstallation) {
    install_old_suite();
    const fs::path leftover = old_installation_path(install_dir_);
    write_file(leftover / "frozen/stale.dll", "stale");
    castmill::test::ImmutableFlag frozen(leftover / "frozen");
    if (!frozen.applied()) GTEST_SKIP() << "no immutable attribute on this file system";

    // An earlier installer's leftover beside a working installation.
    for (int run = 0; run < 2; ++run) {
        run_with_reporter([&] {
            SetupCenter center;
            stage(center, ModuleApp | ModuleObs);
            std::string message;
            EXPECT_EQ(center.install(message), 0) << message;
        });
        Tree installed = tree_of(install_dir_);
        for (const auto& [path, md5] : tree_of(kSuite, ModuleApp | ModuleObs))
            EXPECT_EQ(installed[path], md5) << path;
        EXPECT_EQ(read_file(leftover / "frozen/stale.dll"), "stale");
    }
}

TEST_F(InstallRun, UnchangedFilesAreLinkedFromTheLiveTreeAndSpentDownloadsGo) {
    install_old_suite();
    const std::string unchanged = "VeloraBrowser/Browser/locales/en US.pak";
    write_file(install_dir_ / unchanged, "locale 2");
    // A second name for the live file shows whether the new tree holds that very file.
    fs::create_hard_link(install_dir_ / unchanged, dir_ / "same-file");
    const fs::path spent = download_base() / "earlier-release" / "file";
    write_file(spent, "an earlier release's download");
    run_with_reporter([&] {
        SetupCenter center;
        DownloadPlan plan = stage(center, ModuleApp);
        plan.live_paths.insert(unchanged);
        center.set_plan(plan);
        // Not needed: the content is taken from the live tree.
        fs::remove(center.download_dir() / md5_hex("locale 2"));
        std::string message;
        EXPECT_EQ(center.install(message), 0) << message;
    });
    EXPECT_TRUE(fs::equivalent(install_dir_ / unchanged, dir_ / "same-file"));
    EXPECT_EQ(read_file(install_dir_ / "velora_cam/cam.dll"), "cam 2");
    EXPECT_FALSE(fs::exists(spent.parent_path()));
    const InstallRecord record = read_install_record(install_dir_);
    ASSERT_EQ(record.count(unchanged), 1u);
    EXPECT_EQ(record.at(unchanged).hash, md5_hex("locale 2"));
}

TEST_F(InstallRun, AStaleArchiveIsRefusedAndDroppedForTheNextRun) {
    install_old_suite();
    const Tree before = tree_of(install_dir_);
    run_with_reporter([&] {
        SetupCenter center;
        const DownloadPlan plan = stage(center, ModuleApp);
        const fs::path archive = dir_ / "download" / "Castmill_winUpdate_zip";
        center.set_package({.path = archive, .size = 0, .replaces_files = true});
        // The archive of another release: every name there, other bytes.
        zipFile zip = zipOpen64(archive.string().c_str(), APPEND_STATUS_CREATE);
        ASSERT_NE(zip, nullptr);
        for (const auto& [module, entries] : plan.install_lists) {
            for (const FileEntry& entry : entries) {
                const std::string bytes(static_cast<size_t>(entry.fileSize), 'x');
                zip_fileinfo info{};
                ASSERT_EQ(
                    zipOpenNewFileInZip(zip, entry.filePath.c_str(), &info, nullptr, 0, nullptr, 0,
                                        nullptr, Z_DEFLATED, Z_DEFAULT_COMPRESSION),
                    ZIP_OK);
                zipWriteInFileInZip(zip, bytes.data(), static_cast<unsigned>(bytes.size()));
                zipCloseFileInZip(zip);
            }
        }
        ASSERT_EQ(zipClose(zip, nullptr), ZIP_OK);
        std::string message;
        EXPECT_EQ(center.install(message), kDownloadHashMismatch);
        EXPECT_EQ(message, "package content does not match the manifest");
        EXPECT_FALSE(fs::exists(archive));
    });
    EXPECT_EQ(tree_of(install_dir_), before);
    EXPECT_EQ(siblings(), std::vector<std::string>{"Castmill"});
    EXPECT_TRUE(report_texts("I9104").empty());
}

class FullPackageRun : public InstallRun {
protected:
    void stage_full(SetupCenter& center) {
        center.set_event_sink(&setup_reports());
        center.set_target({.install_dir = install_dir_, .modules = 0});
        center.set_release(Release("2.0.0", ""));
        center.set_package({.path = installer()});
        fs::create_directories(installer().parent_path());
        fs::copy_file(test_programs_dir() / "fake_full_installer", installer());
        env_.set("CASTMILL_FAKE_TREE", install_dir_.string());
        env_.set("CASTMILL_FAKE_ARGS", (dir_ / "installer-args").string());
    }
    fs::path installer() const { return dir_ / "download" / "Castmill_full_package.exe"; }
    ScopedEnv env_;
};

TEST_F(FullPackageRun, RunsTheInstallerSilentlyAndRemovesTheOldSuite) {
    install_old_suite();
    run_with_reporter([&] {
        SetupCenter center;
        stage_full(center);
        std::string message;
        EXPECT_EQ(center.install(message), 0) << message;
        EXPECT_FALSE(fs::exists(installer()));
    });
    EXPECT_EQ(read_file(dir_ / "installer-args"), "/S\n");
    EXPECT_EQ(read_file(install_dir_ / "full-install.txt"), "written by the full installer\n");
    EXPECT_FALSE(fs::exists(install_dir_ / "VeloraBrowser/Browser/old-only.dll"));
    EXPECT_FALSE(fs::exists(old_installation_path(install_dir_)));
    EXPECT_EQ(report_texts("I9204"), std::vector<std::string>{"install[v:2.0.0 m:0] success"});
}

TEST_F(FullPackageRun, AFailingInstallerRestoresTheOldSuite) {
    install_old_suite();
    const Tree before = tree_of(install_dir_);
    env_.set("CASTMILL_FAKE_EXIT", "2");
    run_with_reporter([&] {
        SetupCenter center;
        stage_full(center);
        std::string message;
        EXPECT_EQ(center.install(message), 100002);
        EXPECT_EQ(center.stage(), 3);
        EXPECT_FALSE(fs::exists(installer()));
    });
    EXPECT_EQ(tree_of(install_dir_), before);
    EXPECT_FALSE(fs::exists(old_installation_path(install_dir_)));
    EXPECT_TRUE(report_texts("I9204").empty());
}

// The whole update as the suite starts it, unattended: version check, manifest, download
// from distserver, install.
class UnattendedUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto folder : {sys::KnownFolder::CommonDesktop, sys::KnownFolder::CommonPrograms,
                                  sys::KnownFolder::CommonAppData})
            fs::remove_all(*sys::known_folder(folder));
        fs::create_directories(*sys::known_folder(sys::KnownFolder::CommonDesktop));
        release_.add_sample_suite()
            .add("VeloraBrowser/Browser/chrome.exe", "browser")
            .add("VeloraOBS/data/obs-plugins/win-capture/graphics-hook64.dll", "hook")
            .add("VeloraOBS/data/obs-plugins/win-capture/obs-vulkan64.json", "{}");
        castmill::test::DistServerOptions options;
        options.release = release_.release_dir();
        options.app_id = kAppId;
        options.app_secret = kAppSecret;
        server_ = std::make_unique<DistServer>(options);
        server_->set_host_environment();
        // setup pins the build's key, the test key: the release is signed with it.
        release_.publish_signed("2.0.0", server_->manifest_url());
        // setup finds the report key beside itself.
        fs::create_directories(dir_ / "bin");
        fs::copy_file(castmill::test::bin_dir() / "setup", dir_ / "bin" / "setup");
        write_file(dir_ / "bin" / "data" / "log.key",
                   make_log_key({{"1.0.0", {kAppId, kAppSecret}}}));
        write_file(dir_ / "source" / "setup.exe", "setup program");
    }

    castmill::test::ProgramRun update(int modules) {
        return castmill::test::run_program(
            dir_ / "bin" / "setup",
            {"--exit-pause-ms=0", (dir_ / "source" / "setup.exe").string() +
                                      ";--install_dir=" + install_dir_.parent_path().string() +
                                      ";--modules=" + std::to_string(modules) +
                                      ";--silent;--no-launch"},
            {.env = {{"QT_QPA_PLATFORM", std::nullopt}, {"DISPLAY", std::nullopt}}});
    }

    TempDir dir_;
    castmill::test::ReleaseBuilder release_{dir_.path()};
    // The command line names the folder that holds Castmill; the run installs into Castmill.
    fs::path install_dir_ = dir_ / "Velora" / "Castmill";
    std::unique_ptr<DistServer> server_;
};

TEST_F(UnattendedUpdate, InstallsTheReleaseOnAFreshMachineThenUpdatesTheMediaPlugin) {
    const auto run = update(ModuleApp | ModuleObs);
    ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("done 100%"), std::string::npos) << run.out;

    Tree expected = tree_of(release_.files(), ModuleApp | ModuleObs);
    expected["Update/setup.exe"] = md5_hex("setup program");
    Tree installed = tree_of(install_dir_);
    installed.erase("Update/setup.data");
    installed.erase("Update/install_record.json");
    installed.erase("Update/accepted_release.json");
    EXPECT_EQ(installed, expected);
    const std::string setup_data = read_file(setup_data_path(install_dir_));
    EXPECT_NE(setup_data.find(setup_data_sign(server_->manifest_url(), "2.0.0")), std::string::npos)
        << setup_data;
    EXPECT_TRUE(
        fs::exists(*sys::known_folder(sys::KnownFolder::CommonDesktop) / "Castmill.desktop"));
    EXPECT_TRUE(fs::exists(*sys::vulkan_implicit_layer_dir() / "obs-vulkan64.json"));
    std::vector<std::string> events;
    for (const auto& r : server_->reports()) events.push_back(r["fields"].value("logNo", ""));
    EXPECT_EQ(events, (std::vector<std::string>{"I9100", "I9103", "I9104"}));

    // A media-plugin update leaves the application and the record alone.
    write_file(install_dir_ / "velora_cam" / "local.cfg", "kept");
    release_.add("VeloraOBS/bin/64bit/obs64.exe", "obs 3").add("velora_cam/cam.dll", "cam 3");
    release_.publish_signed("2.0.0", server_->manifest_url());
    const auto second = update(ModuleObs);
    ASSERT_EQ(second.exit_code, 0) << second.out << second.err;
    EXPECT_EQ(read_file(install_dir_ / "VeloraOBS/bin/64bit/obs64.exe"), "obs 3");
    EXPECT_EQ(read_file(install_dir_ / "velora_cam" / "local.cfg"), "kept");
    EXPECT_EQ(md5_file_hex(install_dir_ / "velora_cam/cam.dll"), expected["velora_cam/cam.dll"]);
    EXPECT_EQ(read_file(setup_data_path(install_dir_)), setup_data);
}

}  // namespace
}  // namespace velora::st
