#include "sys/named_mutex.h"

#include <gtest/gtest.h>

#include "support/test_env.h"
#include "sys/error_code.h"
#include "sys/processes.h"

namespace {

using velora::sys::NamedMutex;

std::string unique_name(const char* base) {
    return std::string(base) + std::to_string(velora::sys::current_process_id());
}

TEST(NamedMutex, OwnershipLastsUntilRelease) {
    const std::string name = unique_name("NamedMutexOwnership");
    const castmill::test::TempDir dir;
    EXPECT_FALSE(NamedMutex::exists(name, dir.path()));

    int code = -1;
    auto owner = NamedMutex::create_owned(name, dir.path(), &code);
    ASSERT_TRUE(owner);
    EXPECT_EQ(code, velora::sys::kErrorSuccess);
    EXPECT_TRUE(NamedMutex::exists(name, dir.path()));
    EXPECT_TRUE(NamedMutex::exists(name, dir.path()));  // probing takes nothing away

    // A second owner is refused, even in the same process.
    EXPECT_FALSE(NamedMutex::create_owned(name, dir.path(), &code));
    EXPECT_EQ(code, velora::sys::kErrorAlreadyExists);

    owner->release();
    owner->release();
    EXPECT_FALSE(NamedMutex::exists(name, dir.path()));
    EXPECT_TRUE(NamedMutex::create_owned(name, dir.path()));
}

}  // namespace
