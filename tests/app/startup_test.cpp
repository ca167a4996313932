#include "app/startup.h"

#include <gtest/gtest.h>

namespace velora::st {
namespace {

TEST(Startup, HiddenExitPauseArgumentStaysOutOfTheCommandLine) {
    const char* plain[] = {"setup", "/s/setup;--modules=3"};
    ProgramArguments arguments = read_program_arguments(2, plain);
    EXPECT_EQ(arguments.command_line, "/s/setup;--modules=3");
    EXPECT_EQ(arguments.exit_pause, kExitPause);
    EXPECT_EQ(kExitPause, std::chrono::milliseconds(5000));

    const char* shortened[] = {"setup", "--exit-pause-ms=0", "a;b", "c"};
    arguments = read_program_arguments(4, shortened);
    EXPECT_EQ(arguments.command_line, "a;b c");
    EXPECT_EQ(arguments.exit_pause, std::chrono::milliseconds(0));

    // Anything but a plain number in range is an ordinary argument.
    const char* odd[] = {"setup", "--exit-pause-ms=-1", "--exit-pause-ms=5x", "--exit-pause-ms="};
    arguments = read_program_arguments(4, odd);
    EXPECT_EQ(arguments.command_line, "--exit-pause-ms=-1 --exit-pause-ms=5x --exit-pause-ms=");
    EXPECT_EQ(arguments.exit_pause, kExitPause);

    // A command line kept whole: only a leading hidden argument is taken out.
    arguments = read_command_line_tail("--exit-pause-ms=0  C:\\a b\\setup.exe;--modules=3");
    EXPECT_EQ(arguments.command_line, "C:\\a b\\setup.exe;--modules=3");
    EXPECT_EQ(arguments.exit_pause, std::chrono::milliseconds(0));
    arguments = read_command_line_tail("--exit-pause-ms=7");
    EXPECT_EQ(arguments.command_line, "");
    EXPECT_EQ(arguments.exit_pause, std::chrono::milliseconds(7));
    arguments = read_command_line_tail("s;--modules=3 --exit-pause-ms=0");
    EXPECT_EQ(arguments.command_line, "s;--modules=3 --exit-pause-ms=0");
    EXPECT_EQ(arguments.exit_pause, kExitPause);
    arguments = read_command_line_tail("--exit-pause-ms=x s");
    EXPECT_EQ(arguments.command_line, "--exit-pause-ms=x s");
}

}  // namespace
}  // namespace velora::st
