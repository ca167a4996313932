#pragma once

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>

// The process-wide local log: one file per run, time-stamped lines, a copy to an
// attached debugger. Nothing is logged until init_local_logger has succeeded.

inline constexpr int kLogError = 100;
inline constexpr int kLogWarning = 200;
inline constexpr int kLogInfo = 300;

using LogSink = void (*)(int level, const char* format, va_list args, void* sink_data);

// Opens a fresh log file "<prefix>-YYYY-MM-DD_HH-MM-SS.log" in log_dir and removes
// files of the same prefix older than three days. A second call only changes the level.
bool init_local_logger(const std::filesystem::path& log_dir, const std::string& prefix, int level);

// The raw entry point: hands the message to the sink, if one is installed.
void log_printf(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

bool log_sink_installed();

// Closes the log file; later messages still reach the debugger copy.
void close_local_logger();

namespace logger_detail {

// Code units that are no character (lone surrogates, values past U+10FFFF) become U+FFFD.
std::string wide_to_utf8(const wchar_t* text);
std::string path_to_utf8(const std::filesystem::path& path);
// "%ws" and "%ls" become "%s": wide arguments arrive converted to UTF-8.
std::string narrow_wide_conversions(const char* format);

template <typename T>
auto hold(const T& value) {
    using D = std::decay_t<T>;
    if constexpr (std::is_same_v<D, wchar_t*> || std::is_same_v<D, const wchar_t*>)
        return wide_to_utf8(value ? value : L"(null)");
    else if constexpr (std::is_same_v<D, std::wstring>)
        return wide_to_utf8(value.c_str());
    else if constexpr (std::is_same_v<D, std::filesystem::path>)
        return path_to_utf8(value);
    else if constexpr (std::is_same_v<D, std::string>)
        return value;
    else if constexpr (std::is_same_v<D, std::string_view>)
        return std::string(value);
    else
        return value;
}

template <typename T>
auto pass(const T& held) {
    if constexpr (std::is_same_v<T, std::string>)
        return held.c_str();
    else
        return held;
}

}  // namespace logger_detail

// The call every part of the program uses: printf-style format, tagged "[velora] ".
template <typename... Args>
void log_tagged(int level, const char* format, const Args&... args) {
    if (!log_sink_installed()) return;
    const std::string fmt = logger_detail::narrow_wide_conversions(format);
    auto held = std::make_tuple(logger_detail::hold(args)...);
    std::string text = "[velora] ";
    std::apply(
        [&](const auto&... h) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
            int size = std::snprintf(nullptr, 0, fmt.c_str(), logger_detail::pass(h)...);
            if (size <= 0) return;
            const size_t tag = text.size();
            text.resize(tag + static_cast<size_t>(size) + 1);
            std::snprintf(text.data() + tag, static_cast<size_t>(size) + 1, fmt.c_str(),
                          logger_detail::pass(h)...);
            text.resize(tag + static_cast<size_t>(size));
#pragma GCC diagnostic pop
        },
        held);
    log_printf(level, "%s", text.c_str());
}
