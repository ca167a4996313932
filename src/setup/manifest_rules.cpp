#include "setup/manifest_rules.h"

#include <cctype>
#include <string>

namespace velora::st {

bool is_safe_manifest_path(std::string_view path) {
    if (path.empty()) return false;
    if (path.find('\0') != std::string_view::npos) return false;
    // A colon names a drive or an alternate stream on Windows.
    if (path.find(':') != std::string_view::npos) return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view part = path.substr(start, end - start);
        // An empty first part is a leading separator (an absolute path); "a//b" is refused too.
        if (part.empty() || part == "." || part == ".." || part.size() > kMaxFileNameBytes)
            return false;
        start = end + 1;
    }
    return true;
}

bool is_plain_file_name(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || name.size() > kMaxFileNameBytes)
        return false;
    if (name.find_first_of(std::string_view("/\\:\0", 4)) != std::string_view::npos) return false;
    const std::string record = kDownloadRecordName;
    return name != record && name != record + ".tmp" &&
           name != std::string(kPackageName) + "_zip" && name != kSourcesFolder;
}

bool is_md5_text(std::string_view text) {
    if (text.size() != 32) return false;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

}  // namespace velora::st
