#include <windows.h>

#include "sys/error_code.h"
#include "sys/files.h"

namespace velora::sys {

namespace {

int result_of(BOOL ok) { return ok ? kErrorSuccess : static_cast<int>(GetLastError()); }

}  // namespace

int copy_file(const std::filesystem::path& from, const std::filesystem::path& to, bool overwrite) {
    return result_of(CopyFileW(from.c_str(), to.c_str(), overwrite ? FALSE : TRUE));
}

int rename_no_replace(const std::filesystem::path& from, const std::filesystem::path& to) {
    // Without MOVEFILE_REPLACE_EXISTING an existing target fails the move.
    return result_of(MoveFileExW(from.c_str(), to.c_str(), 0));
}

int make_executable(const std::filesystem::path&) { return kErrorSuccess; }

bool delete_at_reboot(const std::filesystem::path& path) {
    return MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

}  // namespace velora::sys
