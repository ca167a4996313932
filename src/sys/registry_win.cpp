#include <windows.h>

#include <string>
#include <vector>

#include "base/wide_text_win.h"
#include "sys/error_code.h"
#include "sys/registry.h"

namespace velora::sys {

namespace fs = std::filesystem;

namespace {

constexpr const char* kVulkanImplicitLayers = "SOFTWARE\\Khronos\\Vulkan\\ImplicitLayers";

HKEY root_key(RegistryHive hive) {
    return hive == RegistryHive::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

class Key {
public:
    Key() = default;
    ~Key() {
        if (key_) RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// Creates or opens the key for writing. 0 or a system code.
int open_for_writing(RegistryHive hive, const std::string& key, Key& opened) {
    if (key.empty()) return kErrorInvalidParameter;
    return static_cast<int>(RegCreateKeyExW(root_key(hive), widen(key).c_str(), 0, nullptr, 0,
                                            KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE, nullptr,
                                            opened.out(), nullptr));
}

int set_value(RegistryHive hive, const std::string& key, const std::string& name, DWORD type,
              const void* data, DWORD size) {
    Key opened;
    if (const int rc = open_for_writing(hive, key, opened); rc != kErrorSuccess) return rc;
    return static_cast<int>(RegSetValueExW(opened.get(), widen(name).c_str(), 0, type,
                                           static_cast<const BYTE*>(data), size));
}

}  // namespace

int registry_create_key(RegistryHive hive, const std::string& key) {
    Key opened;
    return open_for_writing(hive, key, opened);
}

int registry_set_string(RegistryHive hive, const std::string& key, const std::string& name,
                        const std::string& value) {
    // The terminating NUL is stored too, as readers of REG_SZ values expect it.
    const std::wstring text = widen(value);
    const DWORD size = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    return set_value(hive, key, name, REG_SZ, text.c_str(), size);
}

int registry_set_dword(RegistryHive hive, const std::string& key, const std::string& name,
                       std::uint32_t value) {
    const DWORD data = value;
    return set_value(hive, key, name, REG_DWORD, &data, sizeof(data));
}

std::optional<std::string> registry_get_string(RegistryHive hive, const std::string& key,
                                               const std::string& name) {
    if (key.empty()) return std::nullopt;
    const std::wstring wide_key = widen(key);
    const std::wstring wide_name = widen(name);
    // The value may change between the size query and the read; ask again then.
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = 0;
        LSTATUS rc = RegGetValueW(root_key(hive), wide_key.c_str(), wide_name.c_str(),
                                  RRF_RT_REG_SZ, nullptr, nullptr, &size);
        if (rc != ERROR_SUCCESS) return std::nullopt;
        std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
        size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
        rc = RegGetValueW(root_key(hive), wide_key.c_str(), wide_name.c_str(), RRF_RT_REG_SZ,
                          nullptr, buffer.data(), &size);
        if (rc == ERROR_MORE_DATA) continue;
        if (rc != ERROR_SUCCESS) return std::nullopt;
        std::wstring text(buffer.data(), size / sizeof(wchar_t));
        while (!text.empty() && text.back() == L'\0') text.pop_back();
        return narrow(text);
    }
    return std::nullopt;
}

std::optional<std::uint32_t> registry_get_dword(RegistryHive hive, const std::string& key,
                                                const std::string& name) {
    if (key.empty()) return std::nullopt;
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (RegGetValueW(root_key(hive), widen(key).c_str(), widen(name).c_str(), RRF_RT_REG_DWORD,
                     nullptr, &data, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return data;
}

int register_vulkan_implicit_layer(const fs::path& manifest) {
    if (manifest.empty()) return kErrorInvalidParameter;
    // The value's name is the manifest's path; 0 marks the layer enabled.
    Key opened;
    if (const int rc = open_for_writing(RegistryHive::LocalMachine, kVulkanImplicitLayers, opened);
        rc != kErrorSuccess)
        return rc;
    const DWORD enabled = 0;
    return static_cast<int>(RegSetValueExW(opened.get(), manifest.c_str(), 0, REG_DWORD,
                                           reinterpret_cast<const BYTE*>(&enabled),
                                           sizeof(enabled)));
}

// The registry itself is the store: there is no folder behind it.
std::optional<fs::path> registry_root() { return std::nullopt; }

// The loader finds implicit layers through the registry, not a folder.
std::optional<fs::path> vulkan_implicit_layer_dir() { return std::nullopt; }

}  // namespace velora::sys
