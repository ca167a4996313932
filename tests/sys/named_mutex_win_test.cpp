#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/test_env.h"
#include "sys/error_code.h"
#include "sys/named_mutex.h"
#include "sys/processes.h"

namespace {

using velora::sys::NamedMutex;
namespace test = castmill::test;

std::string unique_name(const char* base) {
    return std::string(base) + std::to_string(velora::sys::current_process_id());
}

TEST(NamedMutexOnWindows, AnotherProcessHoldsItUntilItEnds) {
    const std::string name = unique_name("CastmillWineMutex");
    test::TempDir dir;
    {
        test::ChildProcess holder(test::test_program("proc_helper"),
                                  {"mutex", name, dir.path().string(), (dir / "ready").string()});
        ASSERT_TRUE(holder.wait_for_file(dir / "ready"));

        EXPECT_TRUE(NamedMutex::exists(name, dir.path()));
        int code = 0;
        EXPECT_FALSE(NamedMutex::create_owned(name, dir.path(), &code));
        EXPECT_EQ(code, velora::sys::kErrorAlreadyExists);
        EXPECT_TRUE(NamedMutex::exists(name, dir.path())) << "a refused owner takes nothing away";
    }  // terminated
    EXPECT_FALSE(NamedMutex::exists(name, dir.path()));
    EXPECT_TRUE(NamedMutex::create_owned(name, dir.path()));
}

// The folder's mutex is one for the machine whatever case and separators name the folder.
TEST(NamedMutexOnWindows, AFoldersMutexIsNamedByItsCanonicalPath) {
    const std::string name = unique_name("CastmillWineFolder");
    test::TempDir dir;
    std::filesystem::create_directories(dir / "Install/Castmill");
    std::filesystem::create_directories(dir / "Other/Castmill");
    auto owner = NamedMutex::create_owned(name, dir / "Install/Castmill");
    ASSERT_TRUE(owner);
    std::wstring spelled = (dir / "install\\.\\CASTMILL\\").wstring();
    EXPECT_TRUE(NamedMutex::exists(name, spelled));
    int code = 0;
    EXPECT_FALSE(NamedMutex::create_owned(name, spelled, &code));
    EXPECT_EQ(code, velora::sys::kErrorAlreadyExists);
    EXPECT_FALSE(NamedMutex::exists(name, dir / "Other/Castmill"));
    owner.reset();
    EXPECT_FALSE(NamedMutex::exists(name, spelled));
}

TEST(NamedMutexOnWindows, NamesWithABackslashAreRefused) {
    for (const char* name : {"", "Global\\Castmill", "a\\b"}) {
        int code = 0;
        EXPECT_FALSE(NamedMutex::create_owned(name, "C:\\", &code)) << name;
        EXPECT_EQ(code, velora::sys::kErrorInvalidParameter) << name;
        EXPECT_FALSE(NamedMutex::exists(name, "C:\\")) << name;
    }
}

}  // namespace
