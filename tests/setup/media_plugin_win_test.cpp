#include <gtest/gtest.h>
#include <windows.h>

#include "setup/media_plugin.h"
#include "setup/setup_center.h"
#include "support/log_capture.h"
#include "support/test_env.h"
#include "sys/folders.h"

namespace velora::st {
namespace {

namespace fs = std::filesystem;
using castmill::test::read_file;
using castmill::test::TempDir;
using castmill::test::write_file;

// The value the Vulkan loader reads for a manifest; nullopt when there is none.
std::optional<DWORD> layer_value(const fs::path& manifest) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Khronos\\Vulkan\\ImplicitLayers",
                     manifest.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

TEST(MediaPluginOnWindows, PlacesTheHookRegistersTheLayerAndTheCameraAndResetsTheSettings) {
    TempDir dir;
    SetupCenter center;
    center.set_target({.install_dir = dir / "Castmill"});
    const fs::path hook_target =
        *sys::known_folder(sys::KnownFolder::CommonAppData) / kHookTargetFolder;
    const fs::path settings =
        *sys::known_folder(sys::KnownFolder::RoamingAppData) / kObsSettingsFolder;
    fs::remove_all(hook_target);
    fs::remove_all(settings);
    write_file(hook_source_folder(center.target().install_dir) / "graphics-hook64.dll", "hook v2");
    write_file(hook_source_folder(center.target().install_dir) / "obs-vulkan64.json",
               "{\"layer\": 2}");
    // Not a real COM server: the registration is started, and fails on its own.
    write_file(virtual_camera_server(center.target().install_dir), "camera");
    write_file(hook_target / "graphics-hook64.dll", "hook v1");
    write_file(settings / "basic" / "profiles" / "a.ini", "x");
    write_file(settings / "global.ini", "y");

    castmill::test::LogCapture log;
    center.finish_obs_module_setup();

    EXPECT_EQ(read_file(hook_target / "graphics-hook64.dll"), "hook v2");
    EXPECT_EQ(read_file(hook_target / "obs-vulkan64.json"), "{\"layer\": 2}");
    EXPECT_EQ(layer_value(hook_target / "obs-vulkan64.json"), 0u);
    ASSERT_TRUE(fs::is_directory(settings));
    EXPECT_TRUE(fs::is_empty(settings));
    EXPECT_FALSE(log.contains("install virtual cam code")) << log.text();
}

}  // namespace
}  // namespace velora::st
