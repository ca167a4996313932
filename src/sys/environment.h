#pragma once

#include <optional>
#include <string>

// The process environment that started programs inherit, and the process's command line.
namespace velora::sys {

// The command line after the program name, as one UTF-8 string, where the system keeps it
// whole (Windows); nullopt where a program receives it split into arguments (POSIX).
std::optional<std::string> command_line_tail();

// A variable of this process as UTF-8; nullopt when it is unset or empty.
std::optional<std::string> environment_variable(const std::string& name);

// Sets (or replaces) a variable for this process and the programs it starts.
// False when the system refuses it.
bool set_environment_variable(const std::string& name, const std::string& value);

// Closes a console window that was opened for this process alone (Windows: a console
// program started from Explorer), so that a user who starts the installer sees its window
// only. A console shared with a shell stays, and so do redirected standard handles.
void release_own_console();

}  // namespace velora::sys
