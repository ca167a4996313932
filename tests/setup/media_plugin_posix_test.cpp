#include <gtest/gtest.h>

#include "setup/media_plugin.h"
#include "setup/setup_center.h"
#include "support/immutable_flag.h"
#include "support/log_capture.h"
#include "support/scoped_env.h"
#include "support/test_env.h"
#include "sys/folders.h"
#include "sys/registry.h"

namespace velora::st {
namespace {

namespace fs = std::filesystem;
using castmill::test::ImmutableFlag;
using castmill::test::LogCapture;
using castmill::test::read_file;
using castmill::test::ScopedEnv;
using castmill::test::TempDir;
using castmill::test::write_file;

size_t entries(const fs::path& dir) {
    return static_cast<size_t>(
        std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

class MediaPlugin : public ::testing::Test {
protected:
    void SetUp() override {
        hook_target_ = *sys::known_folder(sys::KnownFolder::CommonAppData) / kHookTargetFolder;
        settings_ = *sys::known_folder(sys::KnownFolder::RoamingAppData) / kObsSettingsFolder;
        layers_ = *sys::vulkan_implicit_layer_dir();
        for (const fs::path& p : {hook_target_, settings_, layers_.parent_path()})
            fs::remove_all(p);
        center_.set_target({.install_dir = dir_ / "Castmill"});
    }

    void write_hook(std::string_view name, const std::string& content) {
        write_file(hook_source_folder(center_.target().install_dir) / name, content);
    }

    TempDir dir_;
    SetupCenter center_;
    fs::path hook_target_;
    fs::path settings_;
    fs::path layers_;
};

TEST_F(MediaPlugin, PlacesTheHookAnnouncesTheLayerAndResetsTheSettings) {
    write_hook("graphics-hook64.dll", "hook v2");
    write_hook("obs-vulkan64.json", "{\"layer\": 2}");
    write_file(virtual_camera_server(center_.target().install_dir), "camera");
    write_file(hook_target_ / "graphics-hook64.dll", "hook v1");
    write_file(settings_ / "basic" / "profiles" / "a.ini", "x");
    write_file(settings_ / "global.ini", "y");
    fs::create_symlink(dir_.path(), settings_ / "link-out");

    LogCapture log;
    center_.finish_obs_module_setup();

    EXPECT_EQ(read_file(hook_target_ / "graphics-hook64.dll"), "hook v2");
    EXPECT_EQ(read_file(hook_target_ / "obs-vulkan64.json"), "{\"layer\": 2}");
    EXPECT_EQ(fs::read_symlink(layers_ / "obs-vulkan64.json"), hook_target_ / "obs-vulkan64.json");
    ASSERT_TRUE(fs::is_directory(settings_));
    EXPECT_EQ(entries(settings_), 0u);
    // The link was removed, not what it pointed to.
    EXPECT_TRUE(fs::exists(hook_source_folder(center_.target().install_dir)));
    // Where there is no COM, the camera's registration is reported and passed over.
    EXPECT_TRUE(log.contains("install virtual cam code: 50")) << log.text();
}

TEST_F(MediaPlugin, OneHookFileAloneIsCopiedButNoLayerAnnounced) {
    write_hook("graphics-hook64.dll", "hook");
    center_.finish_obs_module_setup();
    EXPECT_EQ(read_file(hook_target_ / "graphics-hook64.dll"), "hook");
    EXPECT_FALSE(fs::exists(hook_target_ / "obs-vulkan64.json"));
    EXPECT_FALSE(fs::exists(layers_));
    EXPECT_TRUE(fs::is_directory(settings_));
}

TEST_F(MediaPlugin, ALayerThatCannotBeAnnouncedSkipsTheCamera) {
    write_hook("graphics-hook64.dll", "hook");
    write_hook("obs-vulkan64.json", "{}");
    write_file(virtual_camera_server(center_.target().install_dir), "camera");
    write_file(layers_.parent_path(), "a file where the loader's folder belongs");

    LogCapture log;
    center_.finish_obs_module_setup();
    EXPECT_TRUE(fs::exists(hook_target_ / "obs-vulkan64.json"));
    EXPECT_FALSE(log.contains("install virtual cam code")) << log.text();
    fs::remove(layers_.parent_path());
}

TEST_F(MediaPlugin, AnUndeletableSettingsFileIsLeftAfterTenRounds) {
    write_file(settings_ / "stuck.ini", "held");
    write_file(settings_ / "sub" / "gone.ini", "x");
    ImmutableFlag stuck(settings_ / "stuck.ini");
    if (!stuck.applied()) GTEST_SKIP() << "the file system cannot set the immutable attribute";

    center_.finish_obs_module_setup();
    EXPECT_TRUE(fs::exists(settings_ / "stuck.ini"));
    EXPECT_FALSE(fs::exists(settings_ / "sub"));
}

TEST_F(MediaPlugin, UnknownFoldersAreLoggedAndPassedOver) {
    write_hook("graphics-hook64.dll", "hook");
    write_file(virtual_camera_server(center_.target().install_dir), "camera");
    ScopedEnv env;
    for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"})
        env.set(name, std::nullopt);

    LogCapture log;
    center_.finish_obs_module_setup();
    EXPECT_TRUE(log.contains("finish_obs_module_setup get common appdata path failed"));
    EXPECT_TRUE(log.contains("finish_obs_module_setup get appdata path failed"));
    EXPECT_TRUE(log.contains("install virtual cam code: 50"));
}

TEST_F(MediaPlugin, AFileSystemErrorEndsTheStep) {
    // A name longer than the system allows cannot be checked.
    center_.set_target({.install_dir = dir_ / std::string(300, 'x')});
    LogCapture log;
    center_.finish_obs_module_setup();
    EXPECT_TRUE(log.contains("finish_obs_module_setup filesystem_error: ")) << log.text();
    EXPECT_TRUE(fs::is_directory(hook_target_));
}

}  // namespace
}  // namespace velora::st
