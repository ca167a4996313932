#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace castmill::test {

struct ProgramRun {
    // The process's exit status: on POSIX 128 + signal number when a signal ended the
    // program; on Windows the exit code as the signed number the program returned.
    int exit_code = -1;
    std::string out;  // what it wrote to standard output
    // What it wrote to standard error; on Windows a traced program's debugger output
    // follows it (the POSIX layer writes that output to standard error itself).
    std::string err;
};

struct ProgramOptions {
    // This process attaches to the program as its debugger before the program starts
    // (ptrace; on Windows the program is started under this process's debugger loop).
    bool traced = false;
    // Environment changes for the program: a value sets the variable, nullopt removes it.
    std::vector<std::pair<std::string, std::optional<std::string>>> env;
};

// Runs a program with the given arguments to its end and collects its output.
ProgramRun run_program(const std::filesystem::path& program, const std::vector<std::string>& args,
                       const ProgramOptions& options = {});

// POSIX only. Runs body in a forked copy of this process, so that process-wide state it changes
// (caches, the current directory) does not leak into later tests. True when body
// finished without a failed assertion.
bool run_in_forked_child(const std::function<void()>& body);

// Runs body in a fresh copy of this process, for state that is process-wide (caches, the
// current directory, the logger). POSIX forks. Windows starts this test program again
// for the current test alone: the test's steps run again there, and this call (the same
// one, counted within the test) runs body while the others in that copy do nothing.
// True when the copy finished without a failed assertion.
bool run_in_child_process(const std::function<void()>& body);

}  // namespace castmill::test
