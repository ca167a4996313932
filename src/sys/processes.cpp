#include "sys/processes.h"

#include <exception>
#include <filesystem>

#include "base/logger.h"
#include "base/utf8_path.h"
#include "sys/error_code.h"

namespace velora::sys {

namespace {

// The suite's programs that may hold files of the installation.
constexpr const char* kShutdownNames[] = {
    "chrome.exe",
    "vlr_obs64.exe",
    "Velora_Connect.exe",
    "CrashReporter.exe",
    "LogReporter.exe",
    "curl.exe",
    "7z.exe",
    "get-graphics-offsets32.exe",
    "get-graphics-offsets64.exe",
    "inject-helper64.exe",
    "dongle_updater.exe",
    "nrfutil-hid.exe",
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

}  // namespace

void kill_castmill(const std::filesystem::path& install_dir, bool has_updater, bool has_setup,
                   std::chrono::milliseconds grace) {
    try {
        if (install_dir.empty()) return;
        log_tagged(kLogInfo, "start shutdown castmill has_updater:%d has_setup:%d",
                   has_updater ? 1 : 0, has_setup ? 1 : 0);
        std::set<std::string> names(std::begin(kShutdownNames), std::end(kShutdownNames));
        if (has_updater) names.insert("updater.exe");
        if (has_setup) names.insert("setup.exe");
        const int code = wait_for_processer(install_dir, names, grace);
        log_tagged(kLogInfo, "shutdown castmill code: %d", code);
    } catch (const std::filesystem::filesystem_error& e) {
        log_tagged(kLogWarning, "kill_castmill filesystem error: %d %s", system_code(e.code()),
                   e.what());
    } catch (const std::exception& e) {
        log_tagged(kLogWarning, "kill_castmill exception error: %s", e.what());
    }
}

int wait_for_processer(const std::filesystem::path& install_dir, const std::set<std::string>& names,
                       std::chrono::milliseconds grace) {
    const auto processes = list_processes();
    if (!processes) return 1;

    // The installer itself may run from the install directory under a listed name
    // (the Update folder's setup.exe); it must not close or kill itself.
    const ProcessId self = current_process_id();
    std::vector<ProcessId> selected;
    for (const ProcessInfo& process : *processes) {
        if (process.pid == 0 || process.pid == self) continue;
        try {
            const std::string name = utf8_of(process.image.filename());
            if (names.count(name) == 0) continue;
            if (!image_in_directory(process.image, install_dir)) continue;
            selected.push_back(process.pid);
        } catch (const std::exception& e) {
            log_tagged(kLogWarning, "wait_for_processer: %s", e.what());
        }
    }

    for (ProcessId pid : selected) {
        if (request_close(pid)) log_tagged(kLogInfo, "find windows id:%d", static_cast<int>(pid));
    }

    if (selected.empty()) {
        log_tagged(kLogInfo, "find use windows empty");
        return 0;
    }

    switch (wait_all(selected, grace)) {
        case WaitResult::AllEnded:
            return 0;
        case WaitResult::TimedOut:
            // Only what still runs: the id of a program that ended during the grace
            // may already name an unrelated process.
            for (ProcessId pid : selected) {
                if (wait_all({pid}, std::chrono::milliseconds(0)) == WaitResult::TimedOut)
                    terminate(pid);
            }
            return 0;
        case WaitResult::Failed:
            break;
    }
    return kWaitFailed;
}

std::vector<std::string> split_command_line(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (is_blank(c)) {
            if (in_word) words.push_back(std::move(word));
            word.clear();
            in_word = false;
            ++i;
            continue;
        }
        in_word = true;
        if (c == '\\') {
            if (i + 1 < line.size()) word += line[i + 1];
            i += 2;
        } else if (c == '\'') {
            const size_t end = line.find('\'', i + 1);
            const size_t stop = end == std::string_view::npos ? line.size() : end;
            word.append(line.substr(i + 1, stop - i - 1));
            i = stop + 1;
        } else if (c == '"') {
            ++i;
            while (i < line.size() && line[i] != '"') {
                if (line[i] == '\\' && i + 1 < line.size()) {
                    const char next = line[i + 1];
                    if (next == '"' || next == '\\' || next == '$' || next == '`') {
                        word += next;
                        i += 2;
                        continue;
                    }
                }
                word += line[i];
                ++i;
            }
            ++i;
        } else {
            word += c;
            ++i;
        }
    }
    if (in_word) words.push_back(std::move(word));
    return words;
}

}  // namespace velora::sys
