#include <cstdlib>

#include "sys/environment.h"

namespace velora::sys {

std::optional<std::string> command_line_tail() { return std::nullopt; }

std::optional<std::string> environment_variable(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

bool set_environment_variable(const std::string& name, const std::string& value) {
    return ::setenv(name.c_str(), value.c_str(), 1) == 0;
}

void release_own_console() {}

}  // namespace velora::sys
