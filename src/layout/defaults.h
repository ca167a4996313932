#pragma once

#include <string_view>

#include "layout/castmill_version.h"

// Process-wide defaults shared by the start-up, the engine, the report client and the texts.
namespace velora::st {

// The version assumed when the server or a stored file gives none.
inline constexpr std::string_view kDefaultVersion = "1.0.0";
// The language used when the system's own has no text file.
inline constexpr std::string_view kDefaultLocale = "en-US";
// This installer's own version: project()'s in CMakeLists.txt.
inline constexpr std::string_view kInstallerVersion = CASTMILL_VERSION;

}  // namespace velora::st
