#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace castmill::test {

// Waits until `file` exists, for at most 30 seconds; true when it appeared.
bool wait_for_file(const std::filesystem::path& file);

// Waits until the ready file `file` holds a process id, and returns it; 0 when none came
// within 30 seconds. Under Wine a file renamed into place can be seen before it reads.
unsigned long wait_for_pid_file(const std::filesystem::path& file);

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

    // Waits for the program's end and returns its status: the waitpid status on POSIX,
    // the exit code on Windows.
    int wait();

    // The status if the program has ended, without waiting.
    std::optional<int> poll();

private:
    pid_t pid_ = -1;
    void* process_ = nullptr;  // Windows: the process handle
    std::optional<int> status_;
};

}  // namespace castmill::test
