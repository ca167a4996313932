#include <gtest/gtest.h>

#include "base/cjson_object.h"
#include "support/test_env.h"
#include "sys/error_code.h"
#include "sys/registry.h"

namespace velora::sys {
namespace {

namespace fs = std::filesystem;
using castmill::test::read_file;
using castmill::test::TempDir;
using castmill::test::write_file;

constexpr auto kMachine = RegistryHive::LocalMachine;

class RegistryStore : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = *registry_root();
        fs::remove_all(root_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    fs::path root_;
};

TEST_F(RegistryStore, KeepsValuesOfEachKeyInOneJsonFile) {
    ASSERT_EQ(registry_set_string(kMachine, "SOFTWARE\\WOW6432Node\\Castmill", "", "/opt"), 0);
    ASSERT_EQ(registry_set_string(kMachine, "SOFTWARE\\WOW6432Node\\Castmill\\", "Name", "x"), 0);
    ASSERT_EQ(registry_set_dword(kMachine, "SOFTWARE\\WOW6432Node\\Castmill", "Count", 4000000000u),
              0);
    ASSERT_EQ(registry_set_string(kMachine, "SOFTWARE\\WOW6432Node\\Castmill", "Name", "y"), 0);
    // The same value again leaves the file alone (each write is flushed twice); the same data
    // as another type is a change.
    const fs::path file =
        root_ / "HKEY_LOCAL_MACHINE" / "SOFTWARE" / "WOW6432Node" / "Castmill.json";
    const auto written = fs::last_write_time(file);
    fs::last_write_time(file, written - std::chrono::hours(1));
    ASSERT_EQ(registry_set_string(kMachine, "SOFTWARE\\WOW6432Node\\Castmill", "Name", "y"), 0);
    EXPECT_EQ(fs::last_write_time(file), written - std::chrono::hours(1));
    ASSERT_EQ(
        registry_set_string(kMachine, "SOFTWARE\\WOW6432Node\\Castmill", "Count", "4000000000"), 0);
    EXPECT_EQ(registry_get_string(kMachine, "SOFTWARE\\WOW6432Node\\Castmill", "Count"),
              "4000000000");
    ASSERT_EQ(registry_set_dword(kMachine, "SOFTWARE\\WOW6432Node\\Castmill", "Count", 4000000000u),
              0);

    EXPECT_EQ(root_, fs::path(std::getenv("XDG_DATA_HOME")) / "velora" / "registry");
    neb::CJsonObject json(read_file(file));
    std::string data;
    ASSERT_TRUE(json.child("").get("data", data));
    EXPECT_EQ(data, "/opt");

    EXPECT_EQ(registry_get_string(kMachine, "SOFTWARE\\WOW6432Node\\Castmill", ""), "/opt");
    EXPECT_EQ(registry_get_string(kMachine, "SOFTWARE\\WOW6432Node\\Castmill", "Name"), "y");
    EXPECT_EQ(registry_get_dword(kMachine, "SOFTWARE\\WOW6432Node\\Castmill", "Count"),
              4000000000u);
    // Another type, value, key or hive is not there.
    EXPECT_FALSE(registry_get_dword(kMachine, "SOFTWARE\\WOW6432Node\\Castmill", "Name"));
    EXPECT_FALSE(registry_get_string(kMachine, "SOFTWARE\\WOW6432Node\\Castmill", "None"));
    EXPECT_FALSE(registry_get_string(kMachine, "SOFTWARE\\WOW6432Node", ""));
    EXPECT_FALSE(
        registry_get_string(RegistryHive::CurrentUser, "SOFTWARE\\WOW6432Node\\Castmill", "Name"));
    // Nothing but the key file is left in its folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()),
              1);
}

TEST_F(RegistryStore, KeyPartsStayInsideTheStore) {
    ASSERT_EQ(registry_set_string(kMachine, "..\\..\\evil/x\\a.json", "v", "1"), 0);
    ASSERT_EQ(registry_set_string(kMachine, "..\\..\\evil/x", "v", "2"), 0);
    EXPECT_EQ(registry_get_string(kMachine, "..\\..\\evil/x\\a.json", "v"), "1");
    EXPECT_EQ(registry_get_string(kMachine, "..\\..\\evil/x", "v"), "2");
    EXPECT_TRUE(fs::exists(root_ / "HKEY_LOCAL_MACHINE" / "%2E%2E" / "%2E%2E" / "evil%2Fx.json"));
    EXPECT_FALSE(fs::exists(root_.parent_path() / "evil"));

    EXPECT_EQ(registry_set_string(kMachine, "\\\\", "v", "1"), kErrorInvalidParameter);
    EXPECT_EQ(registry_create_key(kMachine, ""), kErrorInvalidParameter);
}

TEST_F(RegistryStore, ADamagedKeyFileIsReportedAndKept) {
    const fs::path file = root_ / "HKEY_LOCAL_MACHINE" / "SOFTWARE" / "Broken.json";
    write_file(file, "{\"a\": ");
    EXPECT_EQ(registry_set_string(kMachine, "SOFTWARE\\Broken", "b", "1"), kErrorBadDatabase);
    EXPECT_EQ(read_file(file), "{\"a\": ");
    EXPECT_FALSE(registry_get_string(kMachine, "SOFTWARE\\Broken", "a"));
    EXPECT_EQ(registry_create_key(kMachine, "SOFTWARE\\Broken"), 0);
}

TEST_F(RegistryStore, CreatingAKeyFailsWhereTheStoreCannotBeMade) {
    ASSERT_EQ(registry_create_key(kMachine, "SOFTWARE\\Khronos\\Vulkan\\ImplicitLayers"), 0);
    EXPECT_EQ(read_file(root_ / "HKEY_LOCAL_MACHINE" / "SOFTWARE" / "Khronos" / "Vulkan" /
                        "ImplicitLayers.json"),
              "{}\n");
    fs::remove_all(root_);
    write_file(root_, "a file where the store's folder belongs");
    EXPECT_EQ(registry_create_key(kMachine, "SOFTWARE\\Castmill"), kErrorPathNotFound);
    EXPECT_EQ(registry_set_dword(kMachine, "SOFTWARE\\Castmill", "x", 1), kErrorPathNotFound);
    fs::remove(root_);
}

TEST(VulkanImplicitLayer, LinksTheManifestIntoTheLoadersFolder) {
    TempDir dir;
    write_file(dir / "a" / "obs-vulkan64.json", "{}");
    write_file(dir / "b" / "obs-vulkan64.json", "{}");
    ASSERT_EQ(register_vulkan_implicit_layer(dir / "a" / "obs-vulkan64.json"), 0);
    ASSERT_EQ(register_vulkan_implicit_layer(dir / "b" / "obs-vulkan64.json"), 0);
    const fs::path layers = *vulkan_implicit_layer_dir();
    EXPECT_EQ(layers, fs::path(std::getenv("XDG_DATA_HOME")) / "vulkan" / "implicit_layer.d");
    EXPECT_EQ(fs::read_symlink(layers / "obs-vulkan64.json"), dir / "b" / "obs-vulkan64.json");
    EXPECT_EQ(std::distance(fs::directory_iterator(layers), fs::directory_iterator()), 1);
}

TEST(VulkanImplicitLayer, ANameTakenByAFolderFailsAndLeavesNoTemporaryLink) {
    TempDir dir;
    write_file(dir / "obs-vulkan64.json", "{}");
    const fs::path layers = *vulkan_implicit_layer_dir();
    fs::remove_all(layers);
    write_file(layers / "obs-vulkan64.json" / "kept.txt", "not a layer");

    EXPECT_NE(register_vulkan_implicit_layer(dir / "obs-vulkan64.json"), 0);
    EXPECT_EQ(read_file(layers / "obs-vulkan64.json" / "kept.txt"), "not a layer");
    // Only the folder that holds the name is there: the link made to replace it is gone.
    EXPECT_EQ(std::distance(fs::directory_iterator(layers), fs::directory_iterator()), 1);
    fs::remove_all(layers);
}

}  // namespace
}  // namespace velora::sys
