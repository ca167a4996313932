#include "support/log_capture.h"

#include <algorithm>
#include <regex>
#include <stdexcept>

#include "base/logger.h"
#include "support/test_env.h"

namespace castmill::test {

namespace fs = std::filesystem;

std::vector<std::string> log_line_bodies(const fs::path& dir) {
    const std::string line_break = text_mode_bytes("\n");
    const std::regex time_prefix(R"(^\S+: )");
    std::vector<std::string> bodies;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string text = read_file(entry.path());
        for (size_t start = 0; start < text.size();) {
            const size_t end = std::min(text.find(line_break, start), text.size());
            bodies.push_back(std::regex_replace(text.substr(start, end - start), time_prefix, ""));
            start = end + line_break.size();
        }
    }
    return bodies;
}

LogCapture::LogCapture() {
    const fs::path dir = isolate_environment() / "log";
    if (!init_local_logger(dir, "test", kLogInfo))
        throw std::runtime_error("cannot open the log in " + dir.string());
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind("test-", 0) == 0) file_ = entry.path();
    }
    if (file_.empty()) throw std::runtime_error("the log was opened outside " + dir.string());
    start_ = fs::file_size(file_);
}

std::string LogCapture::text() const {
    const std::string all = read_file(file_);
    return start_ < all.size() ? all.substr(start_) : std::string();
}

}  // namespace castmill::test
