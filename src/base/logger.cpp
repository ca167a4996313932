#include "base/logger.h"

#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <fstream>
#include <mutex>

#include "base/debugger.h"
#include "base/utf8_path.h"

namespace fs = std::filesystem;

namespace {

// The stream is in text mode, which on Windows stores the line break as CR LF.
constexpr const char* kLineBreak = "\n";

constexpr int kRotationMinutes = 4320;
constexpr int64_t kTicksPerMinute = 600'000'000;  // 100 ns ticks

// Set-up normally runs before other threads log; atomics keep a late second set-up
// (which only changes the level) safe as well.
struct LoggerState {
    std::atomic<int> threshold{kLogInfo};
    // Held in a struct: MinGW's va_list carries attributes a template argument drops.
    struct SinkSlot {
        LogSink function;
    };
    std::atomic<SinkSlot> sink{SinkSlot{nullptr}};
    void* sink_data = nullptr;
    std::fstream stream;
    std::mutex file_lock;
    std::mutex debug_lock;
};

LoggerState& state() {
    static LoggerState s;
    return s;
}

void remove_old_logs(const fs::path& log_dir, const std::string& prefix) {
    std::error_code ec;
    const auto now = fs::file_time_type::clock::now();
    fs::directory_iterator it(log_dir, ec);
    if (ec) return;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) return;
        const auto written = it->last_write_time(ec);
        if (ec) return;
        const std::string name = logger_detail::path_to_utf8(it->path().filename());
        std::error_code dir_ec;
        if (it->is_directory(dir_ec)) continue;
        if (name.size() < prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        const int64_t ticks =
            std::chrono::duration_cast<std::chrono::nanoseconds>(now - written).count() / 100;
        const int64_t age_minutes = ticks / kTicksPerMinute;
        if (age_minutes >= kRotationMinutes) {
            std::error_code rm_ec;
            fs::remove(it->path(), rm_ec);
        }
    }
}

std::string time_prefix() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const int64_t ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
    const time_t seconds = static_cast<time_t>(ticks / 10'000'000);
    struct tm local {};
    localtime_r(&seconds, &local);
    char buffer[80] = "";
    const size_t len = std::strftime(buffer, sizeof(buffer), "%H:%M:%S", &local);
    if (len > 0 && sizeof(buffer) - len > 5) {
        std::snprintf(buffer + len, sizeof(buffer) - len, ".%03u",
                      static_cast<unsigned>((ticks % 10'000'000) / 10'000));
    }
    return std::string(buffer) + ": ";
}

void write_line(std::fstream& stream, const std::string& prefix, const char* begin, size_t len) {
    std::lock_guard<std::mutex> lock(state().file_lock);
    stream << prefix;
    stream.write(begin, static_cast<std::streamsize>(len));
    stream << kLineBreak;
    stream.flush();
}

void write_log_lines(std::fstream& stream, const char* message) {
    const std::string prefix = time_prefix();
    const char* pos = message;
    const char* end = message + std::strlen(message);
    while (pos != end) {
        const char* lf = static_cast<const char*>(std::memchr(pos, '\n', end - pos));
        if (!lf) break;
        const char* line_end = (lf > pos && lf[-1] == '\r') ? lf - 1 : lf;
        write_line(stream, prefix, pos, line_end - pos);
        pos = lf + 1;
    }
    write_line(stream, prefix, pos, end - pos);
}

void file_log_sink(int level, const char* format, va_list args, void* sink_data) {
    char message[4096];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::vsnprintf(message, sizeof(message), format, args);
#pragma GCC diagnostic pop
    if (velora::sys::debugger_attached() && message[0] != '\0') {
        std::lock_guard<std::mutex> lock(state().debug_lock);
        velora::sys::debugger_print(std::string(message) + "\n");
    }
    if (level <= state().threshold.load(std::memory_order_relaxed)) {
        write_log_lines(*static_cast<std::fstream*>(sink_data), message);
    }
}

}  // namespace

bool init_local_logger(const fs::path& log_dir, const std::string& prefix, int level) {
    LoggerState& s = state();
    s.threshold.store(level, std::memory_order_relaxed);
    if (s.stream.is_open()) return true;
    try {
        if (!fs::exists(log_dir)) fs::create_directories(log_dir);
    } catch (const fs::filesystem_error&) {
        return false;
    }
    const time_t now = std::time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char name[256];
    std::snprintf(name, sizeof(name), "%s-%d-%02d-%02d%c%02d-%02d-%02d.%s", prefix.c_str(),
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, '_', local.tm_hour,
                  local.tm_min, local.tm_sec, "log");
    // Appending: a second run started in the same second (the elevated copy of a
    // non-elevated start) carries on in the first one's file instead of wiping it.
    s.stream.open(log_dir / name, std::ios::in | std::ios::out | std::ios::app);
    if (!s.stream.is_open()) {
        s.stream.setstate(std::ios::failbit);
        return false;
    }
    remove_old_logs(log_dir, prefix);
    s.sink_data = &s.stream;
    s.sink.store({file_log_sink}, std::memory_order_release);
    log_printf(kLogInfo, "enable velora local logger");
    return true;
}

void log_printf(int level, const char* format, ...) {
    LoggerState& s = state();
    const LogSink sink = s.sink.load(std::memory_order_acquire).function;
    if (!sink) return;
    va_list args;
    va_start(args, format);
    sink(level, format, args, s.sink_data);
    va_end(args);
}

bool log_sink_installed() {
    return state().sink.load(std::memory_order_acquire).function != nullptr;
}

void close_local_logger() {
    LoggerState& s = state();
    std::lock_guard<std::mutex> lock(s.file_lock);
    if (s.stream.is_open()) s.stream.close();
}

namespace logger_detail {

std::string wide_to_utf8(const wchar_t* text) {
    std::string out;
    for (; *text; ++text) {
        uint32_t c = static_cast<uint32_t>(*text);
        if (sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF && text[1] >= 0xDC00 &&
            text[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(text[1]) - 0xDC00);
            ++text;
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string path_to_utf8(const fs::path& path) { return velora::sys::utf8_of(path); }

std::string narrow_wide_conversions(const char* format) {
    std::string out;
    for (const char* p = format; *p; ++p) {
        out += *p;
        if (*p != '%') continue;
        if (p[1] == '%') {
            out += *++p;
            continue;
        }
        // Copy flags, width and precision, then fold "ws"/"ls" into "s".
        while (p[1] && std::strchr("-+ #0123456789.*", p[1])) out += *++p;
        if ((p[1] == 'w' || p[1] == 'l') && p[2] == 's') {
            out += 's';
            p += 2;
        }
    }
    return out;
}

}  // namespace logger_detail
