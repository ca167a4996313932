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
                                  {"mutex", name, (dir / "ready").string()});
        ASSERT_TRUE(holder.wait_for_file(dir / "ready"));

        EXPECT_TRUE(NamedMutex::exists(name));
        int code = 0;
        EXPECT_FALSE(NamedMutex::create_owned(name, &code));
        EXPECT_EQ(code, velora::sys::kErrorAlreadyExists);
        EXPECT_TRUE(NamedMutex::exists(name)) << "a refused owner takes nothing away";
    }  // terminated
    EXPECT_FALSE(NamedMutex::exists(name));
    EXPECT_TRUE(NamedMutex::create_owned(name));
}

TEST(NamedMutexOnWindows, NamesWithABackslashAreRefused) {
    for (const char* name : {"", "Global\\Castmill", "a\\b"}) {
        int code = 0;
        EXPECT_FALSE(NamedMutex::create_owned(name, &code)) << name;
        EXPECT_EQ(code, velora::sys::kErrorInvalidParameter) << name;
        EXPECT_FALSE(NamedMutex::exists(name)) << name;
    }
}

}  // namespace
