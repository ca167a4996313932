#pragma once

#include <string>

// The process environment that started programs inherit.
namespace velora::sys {

// Sets (or replaces) a variable for this process and the programs it starts.
// False when the system refuses it.
bool set_environment_variable(const std::string& name, const std::string& value);

}  // namespace velora::sys
