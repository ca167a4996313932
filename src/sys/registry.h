#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// The system's settings store: keys under a hive, each holding named values. Key paths
// use '\' between their parts, as the Windows registry names them; an empty value
// name is the key's default value. Where the platform has no registry (POSIX), each
// key is one JSON file under $XDG_DATA_HOME/velora/registry, written atomically.
namespace velora::sys {

enum class RegistryHive { LocalMachine, CurrentUser };

// Creates the key (and the keys above it) or opens it when it exists. 0 or a system code.
int registry_create_key(RegistryHive hive, const std::string& key);

// Set a value, creating the key when missing. 0 or a system code.
int registry_set_string(RegistryHive hive, const std::string& key, const std::string& name,
                        const std::string& value);
int registry_set_dword(RegistryHive hive, const std::string& key, const std::string& name,
                       std::uint32_t value);

// A value of that type; nullopt when the key or value is missing or has another type.
std::optional<std::string> registry_get_string(RegistryHive hive, const std::string& key,
                                               const std::string& name);
std::optional<std::uint32_t> registry_get_dword(RegistryHive hive, const std::string& key,
                                                const std::string& name);

// Announces a Vulkan implicit layer to the loader by its manifest. 0 or a system code.
int register_vulkan_implicit_layer(const std::filesystem::path& manifest);

// Where the POSIX store and the loader's layer folder lie (for tests and support).
std::optional<std::filesystem::path> registry_root();
std::optional<std::filesystem::path> vulkan_implicit_layer_dir();

}  // namespace velora::sys
