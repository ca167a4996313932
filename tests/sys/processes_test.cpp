#include "sys/processes.h"

#include <gtest/gtest.h>

namespace velora::sys {
namespace {

TEST(CommandLine, SplitsWordsLikeAShell) {
    EXPECT_EQ(split_command_line(R"(  7z a "out dir/logs.7z"  'C:\logs'  )"),
              (std::vector<std::string>{"7z", "a", "out dir/logs.7z", R"(C:\logs)"}));
    EXPECT_EQ(split_command_line(R"(a\ b "say \"hi\" \n" x""y '')"),
              (std::vector<std::string>{"a b", R"(say "hi" \n)", "xy", ""}));
    EXPECT_EQ(split_command_line("prog \"unterminated quote"),
              (std::vector<std::string>{"prog", "unterminated quote"}));
    EXPECT_TRUE(split_command_line(" \t ").empty());
}

}  // namespace
}  // namespace velora::sys
