#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace castmill::test {

// Opens the process's local log in the test folder (level info) and reads back what
// was logged after construction, so tests can check the log lines support relies on.
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
