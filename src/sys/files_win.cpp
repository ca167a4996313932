#include <windows.h>

#include "sys/error_code.h"
#include "sys/files.h"

namespace velora::sys {

namespace {

int result_of(BOOL ok) { return ok ? kErrorSuccess : static_cast<int>(GetLastError()); }

}  // namespace

int copy_file(const std::filesystem::path& from, const std::filesystem::path& to, bool overwrite) {
    if (const auto fault = injected_fault(FileOperation::kWrite, to)) return system_code_of(*fault);
    return result_of(CopyFileW(from.c_str(), to.c_str(), overwrite ? FALSE : TRUE));
}

int rename_no_replace(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (const auto fault = injected_fault(FileOperation::kRename, from))
        return system_code_of(*fault);
    // Without MOVEFILE_REPLACE_EXISTING an existing target fails the move.
    return result_of(MoveFileExW(from.c_str(), to.c_str(), 0));
}

int rename_path(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (const auto fault = injected_fault(FileOperation::kRename, from))
        return system_code_of(*fault);
    std::error_code ec;
    std::filesystem::rename(from, to, ec);
    return system_code(ec);
}

// Windows swaps no folders in one step: the install run keeps its journaled pair of renames.
int exchange_paths(const std::filesystem::path&, const std::filesystem::path&) {
    return kErrorNotSupported;
}

std::string identity_of(const std::filesystem::path&) { return {}; }

int make_executable(const std::filesystem::path&) { return kErrorSuccess; }

int place_file(const std::filesystem::path& from, const std::filesystem::path& to, bool) {
    return copy_file(from, to, true);
}

bool delete_at_reboot(const std::filesystem::path& path) {
    return MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

int flush_file(const std::filesystem::path& path) {
    if (const auto fault = injected_fault(FileOperation::kFlush, path))
        return system_code_of(*fault);
    // Flushing needs write access; sharing everything keeps a running program's file usable.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // A running program's image cannot be opened for writing, and nothing of this run
        // wrote it: there is nothing of ours to flush.
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) return kErrorSuccess;
        return static_cast<int>(error);
    }
    const int code = result_of(FlushFileBuffers(file));
    CloseHandle(file);
    return code;
}

int flush_tree(const std::filesystem::path& dir) {
    if (const auto fault = injected_fault(FileOperation::kFlush, dir))
        return system_code_of(*fault);
    std::error_code ec;
    int first = kErrorSuccess;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file(ec)) continue;
        const int code = flush_file(it->path());
        if (first == kErrorSuccess) first = code;
    }
    return first;
}

int flush_directory(const std::filesystem::path& dir) {
    if (const auto fault = injected_fault(FileOperation::kFlush, dir))
        return system_code_of(*fault);
    return kErrorSuccess;
}

}  // namespace velora::sys
