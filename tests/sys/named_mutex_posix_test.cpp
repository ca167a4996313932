#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "support/running_program.h"
#include "support/test_env.h"
#include "sys/error_code.h"
#include "sys/named_mutex.h"

namespace {

using velora::sys::NamedMutex;
namespace fs = std::filesystem;
namespace test = castmill::test;

std::string unique_name(const char* base) { return std::string(base) + std::to_string(::getpid()); }

// Takes a mutex in a forked child that then holds it until it is killed; the child's pid
// once it holds the mutex, else -1.
pid_t hold_in_child(const std::function<std::unique_ptr<NamedMutex>()>& take) {
    int ready[2];
    if (::pipe(ready) != 0) return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        const auto held = take();
        const char byte = held ? '1' : '0';
        (void)!::write(ready[1], &byte, 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    const bool took = child > 0 && ::read(ready[0], &byte, 1) == 1 && byte == '1';
    ::close(ready[0]);
    return took ? child : -1;
}

TEST(NamedMutex, ProgramsStartedByTheOwnerDoNotKeepItAfterTheOwnerDies) {
    // The installer starts the suite's application; if the installer is killed, the
    // application must not keep the installer's name taken.
    const std::string name = unique_name("NamedMutexInherit");
    test::TempDir dir;
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t owner = ::fork();
    ASSERT_GE(owner, 0);
    if (owner == 0) {
        auto mutex = NamedMutex::create_owned(name, dir.path());
        // Left running on purpose when this process is killed; the test ends it.
        auto* program = new test::RunningProgram(test::test_programs_dir() / "idle_program");
        const pid_t started = mutex && program->exchange("hi") == "hi" ? program->pid() : -1;
        (void)!::write(report[1], &started, sizeof started);
        ::pause();
        ::_exit(0);
    }
    ::close(report[1]);
    pid_t program = -1;
    ASSERT_EQ(::read(report[0], &program, sizeof program), static_cast<ssize_t>(sizeof program));
    ::close(report[0]);
    ASSERT_GT(program, 0);
    EXPECT_TRUE(NamedMutex::exists(name, dir.path()));

    ::kill(owner, SIGKILL);
    int status = 0;
    ::waitpid(owner, &status, 0);
    EXPECT_EQ(::kill(program, 0), 0);  // still running
    EXPECT_FALSE(NamedMutex::exists(name, dir.path()));
    ::kill(program, SIGKILL);
    // Taken and released again: the dead owner's lock file goes.
    EXPECT_TRUE(NamedMutex::create_owned(name, dir.path()));
}

// Two login sessions (their own runtime and temporary folders) meet at one folder's mutex,
// whatever path each names the folder by; another folder's is free. The lock file goes
// with its owner's release.
TEST(NamedMutex, AFoldersMutexIsOneForTheWholeMachine) {
    test::TempDir dir;
    fs::create_directories(dir / "install/Castmill");
    fs::create_directories(dir / "other/Castmill");
    fs::create_directory_symlink(dir / "install", dir / "link");
    const std::string name = unique_name("FolderGuard");
    const pid_t child = hold_in_child([&] {
        ::setenv("XDG_RUNTIME_DIR", (dir / "install").c_str(), 1);
        ::setenv("TMPDIR", (dir / "install").c_str(), 1);
        return NamedMutex::create_owned(name, dir / "link/../link/Castmill/");
    });
    ASSERT_GT(child, 0);

    EXPECT_TRUE(NamedMutex::exists(name, dir / "install/Castmill"));
    int code = 0;
    EXPECT_FALSE(NamedMutex::create_owned(name, dir / "install/Castmill", &code));
    EXPECT_EQ(code, velora::sys::kErrorAlreadyExists);
    EXPECT_FALSE(NamedMutex::exists(name, dir / "other/Castmill"));
    EXPECT_TRUE(NamedMutex::create_owned(name, dir / "other/Castmill"));

    // However the holder ends, the mutex ends with it.
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_FALSE(NamedMutex::exists(name, dir / "install/Castmill"));
    {
        auto owner = NamedMutex::create_owned(name, dir / "install/Castmill");
        EXPECT_TRUE(owner);
    }
    for (const char* folder : {"/run/lock", "/var/lock", "/tmp"}) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder, ec))
            EXPECT_FALSE(entry.path().filename().string().starts_with(name + ".")) << entry.path();
    }
}

TEST(NamedMutex, NamesThatAreNotOneFileNameAreRefused) {
    for (const char* name : {"", "..", "a/b", "/abs"}) {
        int code = 0;
        EXPECT_FALSE(NamedMutex::create_owned(name, "/tmp", &code)) << name;
        EXPECT_EQ(code, velora::sys::kErrorInvalidParameter) << name;
        EXPECT_FALSE(NamedMutex::exists(name, "/tmp")) << name;
    }
}

}  // namespace
