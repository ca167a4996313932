#include "ui/resources_folder.h"

#include "sys/folders.h"

namespace velora::st {

std::filesystem::path resources_folder() {
    auto exe = velora::sys::executable_path();
    if (!exe) return {};
    // parent_path of a file name has no trailing separator.
    return exe->parent_path() / "Resources";
}

QString qt_path(const std::filesystem::path& path) {
    return QString::fromStdU16String(path.u16string());
}

}  // namespace velora::st
