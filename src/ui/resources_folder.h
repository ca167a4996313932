#pragma once

#include <QString>
#include <filesystem>

namespace velora::st {

// installer_resources_dir(): the folder "Resources" beside the running executable, or
// the installed one; empty when the executable's own path cannot be read.
std::filesystem::path resources_folder();

// A path as Qt wants it, without passing through the narrow code page.
QString qt_path(const std::filesystem::path& path);

}  // namespace velora::st
