#include "sys/files.h"

#include <cerrno>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "sys/error_code.h"

namespace velora::sys {

namespace fs = std::filesystem;

namespace {

std::mutex fault_lock;
std::vector<InjectedFault> faults;

}  // namespace

void inject_fault(InjectedFault fault) {
    std::lock_guard lock(fault_lock);
    faults.push_back(std::move(fault));
}

void clear_injected_faults() {
    std::lock_guard lock(fault_lock);
    faults.clear();
}

std::optional<InjectedFault> injected_fault(FileOperation operation,
                                            const std::filesystem::path& path) {
    std::lock_guard lock(fault_lock);
    if (faults.empty()) return std::nullopt;
    const std::string text = utf8_of(path);
    for (InjectedFault& fault : faults) {
        if (fault.operation != operation || text.find(fault.path_part) == std::string::npos ||
            (fault.whole_path && text != fault.path_part))
            continue;
        if (fault.skip > 0) {
            --fault.skip;
            return std::nullopt;
        }
        return fault;
    }
    return std::nullopt;
}

int system_code_of(const InjectedFault& fault) {
    return system_code(std::make_error_code(fault.error));
}

std::optional<std::string> read_whole_file(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

fs::path staging_path_of(const fs::path& file) {
    fs::path staging = file;
    staging += ".tmp";
    return staging;
}

bool write_file_replacing(const fs::path& file, const std::string& text) {
    const fs::path staging = staging_path_of(file);
    const auto fail = [&staging](const char* what, std::error_code ec) {
        std::error_code ignored;
        fs::remove(staging, ignored);
        throw fs::filesystem_error(what, staging, ec);
    };
    {
        std::ofstream out(staging, std::ios::out | std::ios::trunc);
        if (!out) return false;
        const auto fault = injected_fault(FileOperation::kWrite, staging);
        out << (fault ? text.substr(0, static_cast<size_t>(fault->after_bytes)) : text);
        out.flush();
        if (fault || !out) {
            const int err = errno;
            out.close();
            fail("write", fault ? error_of_system_code(system_code_of(*fault))
                                : std::error_code(err ? err : EIO, std::generic_category()));
        }
    }
    // Read back as a later run reads it: a short write must never become the file.
    std::ifstream in(staging, std::ios::in);
    std::ostringstream written;
    written << in.rdbuf();
    in.close();
    if (written.str() != text) fail("verify", std::make_error_code(std::errc::io_error));
    // On disk before the name moves: a power loss must not leave an empty file behind.
    if (const int code = flush_file(staging)) fail("flush", error_of_system_code(code));
    if (const int code = rename_path(staging, file)) fail("rename", error_of_system_code(code));
    if (const int code = flush_directory(file.parent_path()))
        throw fs::filesystem_error("flush", file.parent_path(), error_of_system_code(code));
    return true;
}

bool is_present(const fs::path& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

}  // namespace velora::sys
