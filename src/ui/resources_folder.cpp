#include "ui/resources_folder.h"

#include "layout/paths.h"

namespace velora::st {

std::filesystem::path resources_folder() {
    const std::filesystem::path exe_dir = executable_directory();
    if (exe_dir.empty()) return {};
    return installer_resources_dir(exe_dir);
}

QString qt_path(const std::filesystem::path& path) {
    return QString::fromStdU16String(path.u16string());
}

}  // namespace velora::st
