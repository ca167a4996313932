#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace castmill::test {

// Waits until `file` exists, for at most 30 seconds; true when it appeared.
bool wait_for_file(const std::filesystem::path& file);

// A program started by a test. Killed and reaped on destruction if still there.
class ChildProcess {
public:
    // Starts program with args (argv[0] is the program path); throws when it cannot.
    ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // Waits until `file` exists (the program's sign that it is set up) or the
    // program ends; true when the file appeared.
    bool wait_for_file(const std::filesystem::path& file);

    // Waits for the program's end and returns its waitpid status.
    int wait();

    // The status if the program has ended, without waiting.
    std::optional<int> poll();

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

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
