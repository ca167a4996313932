#pragma once

// The process exit code: 0 unless the install window leaves another value (0 after a
// finished run, 1 after the user cancelled, 2 after a failure). Written by the window
// when it closes, read by the entry point after the event loop has ended.
namespace velora::st {

void set_process_exit_code(int code);
int process_exit_code();

}  // namespace velora::st
