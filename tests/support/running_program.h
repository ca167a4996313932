#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
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
    // The program file the process runs, as the system names it.
    std::filesystem::path image() const;

private:
    struct Pipes;  // the platform's handles
    pid_t pid_ = -1;
    std::unique_ptr<Pipes> pipes_;
};

}  // namespace castmill::test
