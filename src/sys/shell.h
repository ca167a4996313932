#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Starting programs the way the desktop shell does, shortcuts, and elevation.
namespace velora::sys {

enum class ShowWindow { Normal, Hidden, Maximized };

// What a successful start gave back.
struct ShellStart {
    bool has_process = false;                // the platform handed back the process
    std::optional<std::uint32_t> exit_code;  // waited for, and its exit code could be read
};

// Starts `file` with `params` (a command line, split into words like a shell splits
// them), optionally waiting without limit for its end. Returns 0 when the program was
// started, else the system code of the failed start. A program ended by a signal
// reports 128 + the signal number, as a shell shows it.
int shell_execute(const std::filesystem::path& file, const std::string& params, ShowWindow show,
                  bool wait, ShellStart* started = nullptr);

// One word of a parameter line for shell_execute: quoted the platform's way when the
// text would otherwise not arrive as one word unchanged, or always when asked.
std::string param_word(std::string_view text, bool always_quote = false);

// The same with the elevation verb: the user may be asked to allow it (1223 when
// declined). Where programs need no elevation it is a plain start.
int launch_elevated(const std::filesystem::path& file, const std::string& params, ShowWindow show,
                    bool wait, ShellStart* started = nullptr);

// Whether this process may write the machine-wide places the install touches.
bool is_elevated();

// Lets any process bring its window to the front, so the elevated copy's window is not
// held behind the one that started it.
void allow_any_foreground_window();

// A shortcut at `link` that starts target with args. Description and working directory
// are set only when not empty. Where the desktop knows no shell links (freedesktop),
// the shortcut is a desktop entry beside `link` with the extension ".desktop".
bool create_shortcut(const std::filesystem::path& target, const std::filesystem::path& link,
                     const std::string& args, const std::string& description,
                     const std::filesystem::path& workdir);

// The file create_shortcut writes for `link`.
std::filesystem::path shortcut_file(const std::filesystem::path& link);

// Registers an in-process COM server silently, waiting at most `wait` for the
// registration. 0 when it was started, else a system code (kErrorNotSupported where the
// platform has no COM).
int register_com_server(const std::filesystem::path& server, std::chrono::milliseconds wait);

}  // namespace velora::sys
