#pragma once

#include <array>
#include <chrono>
#include <filesystem>
#include <string_view>

// The media-plug-in module's place in the system: its capture hook in a machine-wide
// folder, announced to the Vulkan loader; its virtual camera; its settings folder.
namespace velora::st {

inline constexpr std::string_view kHookTargetFolder = "velora-obs-studio-hook";
inline constexpr std::string_view kObsSettingsFolder = "velora-obs-studio";
inline constexpr std::string_view kVulkanLayerManifest = "obs-vulkan64.json";
// Copied in this order; the implicit layer is announced only when both are in place.
inline constexpr std::array<std::string_view, 2> kHookFiles = {"graphics-hook64.dll",
                                                               kVulkanLayerManifest};
// The camera's registration is not waited for any longer than this.
inline constexpr std::chrono::milliseconds kVirtualCameraWait{20000};

std::filesystem::path obs_folder(const std::filesystem::path& install_dir);
std::filesystem::path hook_source_folder(const std::filesystem::path& install_dir);
std::filesystem::path virtual_camera_server(const std::filesystem::path& install_dir);

}  // namespace velora::st
