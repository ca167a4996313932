#include "layout/launch_options.h"

#include <algorithm>
#include <climits>
#include <optional>
#include <system_error>
#include <vector>

#include "base/logger.h"
#include "base/result_codes.h"
#include "base/utf8_path.h"
#include "layout/paths.h"
#include "sys/error_code.h"
#include "sys/folders.h"

namespace velora::st {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";

std::string_view trim(std::string_view text) {
    const size_t first = text.find_first_not_of(kWhiteSpace);
    if (first == std::string_view::npos) return {};
    const size_t last = text.find_last_not_of(kWhiteSpace);
    return text.substr(first, last - first + 1);
}

// Always at least one part: "" gives one empty part, a trailing separator an empty last one.
std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (size_t pos; (pos = text.find(separator, start)) != std::string_view::npos;
         start = pos + 1) {
        parts.push_back(text.substr(start, pos - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

// The value of a "<name>=<value>" token; nullopt unless it splits into exactly two parts.
std::optional<std::string_view> option_value(std::string_view token) {
    const std::vector<std::string_view> parts = split(trim(token), '=');
    if (parts.size() != 2) return std::nullopt;
    return trim(parts[1]);
}

// Optional sign and decimal digits up to the first other character; 0 without digits.
// Values past the int range stop at its limits.
int leading_int(std::string_view text) {
    size_t pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
    long long value = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        value = std::min<long long>(value * 10 + (text[pos] - '0'), 1LL + INT_MAX);
    }
    if (negative) value = -value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

}  // namespace

LaunchParse parse_launch_options(std::string_view command_line) {
    std::string unquoted(command_line);
    std::erase(unquoted, '"');
    log_tagged(kLogInfo, "wstrCmdLine: %ws\n", unquoted);

    const std::vector<std::string_view> tokens = split(unquoted, ';');
    std::optional<std::string_view> given_dir;
    int modules = 0;
    bool silent = false;
    bool no_launch = false;
    bool allow_downgrade = false;
    for (size_t index = 0; index < tokens.size(); ++index) {
        const std::string_view token = tokens[index];
        log_tagged(kLogInfo, "index: %d args: %ws\n", static_cast<int>(index), token);
        if (token.starts_with("--install_dir") || token.starts_with("-d")) {
            // An empty value is a missing one: it must not turn into a relative "Castmill".
            const auto value = option_value(token);
            if (value && !value->empty()) given_dir = value;
        } else if (token.starts_with("--modules") || token.starts_with("-m")) {
            if (const auto value = option_value(token)) modules = leading_int(*value);
        } else if (trim(token) == kSilentToken) {
            silent = true;
        } else if (trim(token) == kNoLaunchToken) {
            no_launch = true;
        } else if (trim(token) == kAllowDowngradeToken) {
            allow_downgrade = true;
        }
    }

    fs::path install_dir;
    if (given_dir) {
        install_dir = sys::path_from_utf8(*given_dir) / "Castmill";
    } else {
        const auto app_data = sys::known_folder(sys::KnownFolder::LocalAppData);
        if (!app_data || app_data->empty()) {
            log_tagged(kLogError, "local app data folder unavailable, no install dir");
            return LaunchExit{kExitFailed};
        }
        install_dir = *app_data / "Velora" / "Castmill";
    }

    std::error_code ec;
    fs::create_directories(install_dir, ec);
    if (ec) {
        log_tagged(kLogError, "create install dir[%s] failed: %d %s", install_dir,
                   sys::system_code(ec), ec.message());
        return LaunchExit{kExitInstallDirectoryNotCreated};
    }

    ParsedLaunch parsed;
    parsed.options.install_dir = install_dir;
    parsed.options.setup_source = sys::path_from_utf8(tokens.front());
    parsed.options.modules = modules > 0 ? modules : 0;
    parsed.options.silent = silent;
    parsed.options.no_launch = no_launch;
    parsed.options.allow_downgrade = allow_downgrade;
    parsed.command_line = std::move(unquoted);

    const fs::path current = fs::current_path(ec);
    log_tagged(kLogInfo, "modules: 0x%x, workpath: %s\n", modules, current);
    log_tagged(kLogInfo, "setup_dir: %s\n", install_dir);
    return parsed;
}

std::string command_line_from_arguments(int argc, const char* const* argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) line += ' ';
        line += argv[i];
    }
    return line;
}

}  // namespace velora::st
