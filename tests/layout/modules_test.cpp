#include "layout/modules.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace velora::st {
namespace {

TEST(ModuleOfPath, FirstMatchingPrefixWins) {
    EXPECT_EQ(module_of_path("VeloraOBS/7z/7z.exe"), ModuleApp);
    EXPECT_EQ(module_of_path("VeloraOBS/log-upload/log.key"), ModuleApp);
    EXPECT_EQ(module_of_path("VeloraOBS/bin/64bit/obs.exe"), ModuleObs);
    EXPECT_EQ(module_of_path("VeloraOBS/7"), ModuleObs);
    EXPECT_EQ(module_of_path("dist/index.html"), ModuleObs);
    EXPECT_EQ(module_of_path("VeloraDriver/cam.inf"), ModuleObs);
    EXPECT_EQ(module_of_path("Connect/connect.exe"), ModuleConnect);
    EXPECT_EQ(module_of_path("VeloraBrowser/Browser/chrome.exe"), ModuleApp);
    EXPECT_EQ(module_of_path("manifest.json"), ModuleApp);
}

TEST(ModuleOfPath, MatchesPlainCaseSensitivePrefixesOnly) {
    EXPECT_EQ(module_of_path("Updater.txt"), ModuleApp) << "a prefix need not end at a separator";
    EXPECT_EQ(module_of_path("update/setup.exe"), 0);
    EXPECT_EQ(module_of_path("readme.txt"), 0);
    EXPECT_EQ(module_of_path("Upd"), 0);
    EXPECT_EQ(module_of_path(""), 0);
}

TEST(DirectoriesOfModules, UnitesTheSetsOfTheFlagsSet) {
    const std::set<std::string> app_and_obs = {"VeloraBrowser", "velora_cam", "Pcid", "Update",
                                               "VeloraDriver",  "VeloraOBS",  "dist"};
    EXPECT_EQ(directories_of_modules(ModuleApp | ModuleObs), app_and_obs);
    EXPECT_EQ(directories_of_modules(ModuleConnect), std::set<std::string>{"Connect"});
    EXPECT_EQ(directories_of_modules(7).size(), 8u);
    EXPECT_TRUE(directories_of_modules(8).empty());
    EXPECT_TRUE(directories_of_modules(0).empty());
    EXPECT_EQ(directories_of_modules(-1).size(), 8u);
}

TEST(ModuleDirectoriesTable, EachSetIsSortedWithoutDuplicates) {
    for (const ModuleDirectories& module : kModuleDirectories) {
        EXPECT_TRUE(std::adjacent_find(module.names.begin(), module.names.end(),
                                       [](auto a, auto b) { return !(a < b); }) ==
                    module.names.end())
            << "module " << module.flag;
    }
}

}  // namespace
}  // namespace velora::st
