#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace castmill::test {

struct ProgramRun {
    int exit_code = -1;  // 128 + signal number when a signal ended the program
    std::string out;     // what it wrote to standard output
    std::string err;     // what it wrote to standard error
};

struct ProgramOptions {
    // This process attaches to the program as its debugger (ptrace) before the program starts.
    bool traced = false;
    // Environment changes for the program: a value sets the variable, nullopt removes it.
    std::vector<std::pair<std::string, std::optional<std::string>>> env;
};

// Runs a program with the given arguments to its end and collects its output.
ProgramRun run_program(const std::filesystem::path& program, const std::vector<std::string>& args,
                       const ProgramOptions& options = {});

// Runs body in a forked copy of this process, so that process-wide state it changes
// (caches, the current directory) does not leak into later tests. True when body
// finished without a failed assertion.
bool run_in_forked_child(const std::function<void()>& body);

}  // namespace castmill::test
