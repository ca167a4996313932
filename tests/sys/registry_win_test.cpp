#include <gtest/gtest.h>
#include <windows.h>

#include "base/wide_text_win.h"
#include "support/test_env.h"
#include "sys/error_code.h"
#include "sys/processes.h"
#include "sys/registry.h"

namespace velora::sys {
namespace {

namespace fs = std::filesystem;

// A key of its own per test process, removed afterwards.
class RegistryOnWindows : public ::testing::Test {
protected:
    void TearDown() override {
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER})
            RegDeleteTreeW(root, widen(key_).c_str());
    }
    const std::string key_ = "SOFTWARE\\CastmillTests\\Run" + std::to_string(current_process_id());
};

TEST_F(RegistryOnWindows, ValuesReadBackWithTheirTypes) {
    const std::string sub = key_ + "\\Uninstall\\Castmill";
    ASSERT_EQ(registry_set_string(RegistryHive::LocalMachine, sub, "", "C:\\Velora"), 0);
    ASSERT_EQ(registry_set_string(RegistryHive::LocalMachine, sub, "DisplayName", "Castmill"), 0);
    ASSERT_EQ(registry_set_string(RegistryHive::LocalMachine, sub, "HelpLink", ""), 0);
    ASSERT_EQ(registry_set_string(RegistryHive::LocalMachine, sub, "Path",
                                  "C:\\Users\\Zo\xC3\xAB\\\xE6\x97\xA5"),
              0);
    ASSERT_EQ(registry_set_dword(RegistryHive::LocalMachine, sub, "Count", 4000000000u), 0);
    ASSERT_EQ(registry_set_string(RegistryHive::LocalMachine, sub, "DisplayName", "Castmill 2"), 0);

    EXPECT_EQ(registry_get_string(RegistryHive::LocalMachine, sub, ""), "C:\\Velora");
    EXPECT_EQ(registry_get_string(RegistryHive::LocalMachine, sub, "DisplayName"), "Castmill 2");
    EXPECT_EQ(registry_get_string(RegistryHive::LocalMachine, sub, "HelpLink"), "");
    EXPECT_EQ(registry_get_string(RegistryHive::LocalMachine, sub, "Path"),
              "C:\\Users\\Zo\xC3\xAB\\\xE6\x97\xA5");
    EXPECT_EQ(registry_get_dword(RegistryHive::LocalMachine, sub, "Count"), 4000000000u);
    EXPECT_FALSE(registry_get_dword(RegistryHive::LocalMachine, sub, "DisplayName"));
    EXPECT_FALSE(registry_get_string(RegistryHive::LocalMachine, sub, "Count"));
    EXPECT_FALSE(registry_get_string(RegistryHive::LocalMachine, sub, "None"));
    EXPECT_FALSE(registry_get_string(RegistryHive::CurrentUser, sub, "DisplayName"));

    // What other programs see: a REG_SZ with its terminator, read by the plain API.
    wchar_t text[64] = {};
    DWORD size = sizeof(text);
    DWORD type = 0;
    HKEY opened = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, widen(sub).c_str(), 0, KEY_READ, &opened),
              ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(opened, L"DisplayName", nullptr, &type,
                               reinterpret_cast<BYTE*>(text), &size),
              ERROR_SUCCESS);
    RegCloseKey(opened);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, sizeof(L"Castmill 2"));
    EXPECT_STREQ(text, L"Castmill 2");
}

TEST_F(RegistryOnWindows, KeysAreCreatedAndBadKeysRefused) {
    EXPECT_EQ(registry_create_key(RegistryHive::CurrentUser, key_ + "\\a\\b"), 0);
    HKEY opened = nullptr;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_CURRENT_USER, widen(key_ + "\\a\\b").c_str(), 0, KEY_READ, &opened),
        ERROR_SUCCESS);
    RegCloseKey(opened);
    EXPECT_EQ(registry_create_key(RegistryHive::CurrentUser, ""), kErrorInvalidParameter);
    EXPECT_FALSE(registry_get_string(RegistryHive::CurrentUser, "", ""));
    EXPECT_FALSE(registry_root());
    EXPECT_FALSE(vulkan_implicit_layer_dir());
}

TEST(VulkanImplicitLayerOnWindows, TheManifestPathIsAnEnabledValue) {
    castmill::test::TempDir dir;
    const fs::path manifest = dir / "obs-vulkan64.json";
    ASSERT_EQ(register_vulkan_implicit_layer(manifest), 0);
    ASSERT_EQ(register_vulkan_implicit_layer(manifest), 0);
    DWORD value = 1;
    DWORD size = sizeof(value);
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Khronos\\Vulkan\\ImplicitLayers",
                           manifest.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(register_vulkan_implicit_layer(fs::path()), kErrorInvalidParameter);
    HKEY layers = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Khronos\\Vulkan\\ImplicitLayers", 0,
                      KEY_SET_VALUE, &layers) == ERROR_SUCCESS) {
        RegDeleteValueW(layers, manifest.c_str());
        RegCloseKey(layers);
    }
}

}  // namespace
}  // namespace velora::sys
