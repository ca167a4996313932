#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace castmill::test {

// A program started as a child process with pipes on its standard input and output.
// The program's image is loaded once the constructor returns. Killed on destruction.
class RunningProgram {
public:
    explicit RunningProgram(const std::filesystem::path& program);
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    pid_t pid() const { return pid_; }
    // Writes a line and reads the program's answer line; empty when it does not answer.
    std::string exchange(const std::string& line);
    // The program file the process runs, as the kernel names it.
    std::filesystem::path image() const;

private:
    pid_t pid_ = -1;
    int to_child_ = -1;
    int from_child_ = -1;
};

}  // namespace castmill::test
