#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace castmill::test {

// Opens the process's local log in the test folder (level info) and reads back what
// was logged after construction, so tests can check the log lines support relies on.
// The lines of every log file in dir, in the order of the files, without their time
// prefix and line break.
std::vector<std::string> log_line_bodies(const std::filesystem::path& dir);

class LogCapture {
public:
    LogCapture();
    std::string text() const;
    bool contains(const std::string& line) const { return text().find(line) != std::string::npos; }

private:
    std::filesystem::path file_;
    std::uintmax_t start_ = 0;
};

}  // namespace castmill::test
