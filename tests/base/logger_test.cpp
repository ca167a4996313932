#include "base/logger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "support/program_run.h"
#include "support/test_env.h"

namespace castmill::test {
namespace {

namespace fs = std::filesystem;

// The logger is one per process: every case drives it in a fresh probe process.
ProgramRun probe(const std::vector<std::string>& steps, bool traced = false) {
    ProgramOptions options;
    options.traced = traced;
    ProgramRun run = run_program(test_programs_dir() / "logger_probe", steps, options);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    return run;
}

std::vector<fs::path> log_files(const fs::path& dir) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    return files;
}

// The lines of the only log file in dir, split at the line break a text-mode file stores.
std::vector<std::string> lines_of_log(const fs::path& dir) {
    const std::vector<fs::path> files = log_files(dir);
    EXPECT_EQ(files.size(), 1u);
    if (files.size() != 1) return {};
    const std::string text = read_file(files.front());
    const std::string line_break = text_mode_bytes("\n");
    EXPECT_TRUE(text.empty() || text.ends_with(line_break)) << "the last line is unfinished";
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find(line_break, start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + line_break.size();
    }
    return lines;
}

const std::regex kTimePrefix(R"(^\d{2}:\d{2}:\d{2}\.\d{3}: )");

std::string prefix_of(const std::string& line) {
    std::smatch match;
    if (!std::regex_search(line, match, kTimePrefix)) return {};
    return match.str();
}

std::string body_of(const std::string& line) { return line.substr(prefix_of(line).size()); }

TEST(LocalLogger, WritesTimeStampedLinesIntoAFreshFileNamedAfterPrefixAndStart) {
    TempDir dir;
    const ProgramRun run = probe({"init", (dir / "log").string(), "setup", "300", "log", "300",
                                  "start install", "raw", "300", "untagged"});
    EXPECT_EQ(run.out, "init=1\n");
    const std::vector<fs::path> files = log_files(dir / "log");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(files.front().filename().string(),
                                 std::regex(R"(setup-\d{4}-\d{2}-\d{2}_\d{2}-\d{2}-\d{2}\.log)")))
        << files.front();

    const std::vector<std::string> lines = lines_of_log(dir / "log");
    ASSERT_EQ(lines.size(), 3u);
    for (const std::string& line : lines) {
        EXPECT_FALSE(prefix_of(line).empty()) << line;
        EXPECT_EQ(line.find('\r'), std::string::npos) << "one line break per line";
    }
    EXPECT_EQ(body_of(lines[0]), "enable velora local logger");
    EXPECT_EQ(body_of(lines[1]), "[velora] start install");
    EXPECT_EQ(body_of(lines[2]), "untagged");
}

// The file name set-up gives a run started at `when`.
std::string log_name_at(time_t when) {
    struct tm local {};
    localtime_r(&when, &local);
    char name[64];
    std::snprintf(name, sizeof name, "setup-%d-%02d-%02d_%02d-%02d-%02d.log", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return name;
}

TEST(LocalLogger, ARunStartedInTheSameSecondAsAnotherKeepsTheOthersLines) {
    TempDir dir;
    // The earlier run's file under every name the probe may choose in the next minutes.
    const time_t now = std::time(nullptr);
    const std::string earlier = text_mode_bytes("09:05:02.417: [velora] earlier run\n");
    for (time_t t = now - 1; t <= now + 300; ++t) write_file(dir / "log" / log_name_at(t), earlier);

    probe({"init", (dir / "log").string(), "setup", "300", "log", "300", "second run"});
    int taken = 0;
    for (const fs::path& file : log_files(dir / "log")) {
        const std::string text = read_file(file);
        ASSERT_TRUE(text.starts_with(earlier)) << file;
        if (text == earlier) continue;
        ++taken;
        EXPECT_NE(text.find("[velora] second run"), std::string::npos) << text;
    }
    EXPECT_EQ(taken, 1);
}

TEST(LocalLogger, SplitsMessagesIntoLinesThatShareTheirTime) {
    TempDir dir;
    probe({"init", dir.path().string(), "setup", "300", "log", "300", "a\r\nb", "log", "300", "c\n",
           "log", "300", "x\ry\n\r\nz"});
    const std::vector<std::string> lines = lines_of_log(dir.path());
    ASSERT_EQ(lines.size(), 8u);
    std::vector<std::string> bodies;
    for (const std::string& line : lines) bodies.push_back(body_of(line));
    const std::vector<std::string> expected = {"enable velora local logger",
                                               "[velora] a",
                                               "b",
                                               "[velora] c",
                                               "",
                                               "[velora] x\ry",
                                               "",
                                               "z"};
    EXPECT_EQ(bodies, expected);
    EXPECT_EQ(prefix_of(lines[1]), prefix_of(lines[2]));
    EXPECT_EQ(prefix_of(lines[5]), prefix_of(lines[7]));
}

TEST(LocalLogger, CutsAMessageTo4095Bytes) {
    TempDir dir;
    const std::string long_text(5000, 'q');
    probe({"init", dir.path().string(), "setup", "300", "raw", "300", long_text, "log", "300",
           long_text});
    const std::vector<std::string> lines = lines_of_log(dir.path());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(body_of(lines[1]), std::string(4095, 'q'));
    EXPECT_EQ(body_of(lines[2]), "[velora] " + std::string(4095 - 9, 'q'));
}

TEST(LocalLogger, PassesWideStringsAndPathsAsUtf8) {
    TempDir dir;
    probe({"init", dir.path().string(), "setup", "300", "wide", "300"});
    const std::vector<std::string> lines = lines_of_log(dir.path());
    ASSERT_EQ(lines.size(), 2u);
    const std::string text =
        "Gr\xC3\xBC\xC3\x9F"
        "e \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x8E\xA5";
    EXPECT_EQ(body_of(lines[1]), "[velora] " + text + "|" + text +
                                     "|Gr\xC3\xBC\xC3\x9F"
                                     "e");
}

TEST(LocalLogger, WritesNothingBeforeSetUpOrAfterAFailedOne) {
    TempDir dir;
    write_file(dir / "plain", "a file, not a folder");
    const ProgramRun run = probe({"installed", "log",
                                  "100",       "before",
                                  "init",      (dir / "plain" / "log").string(),
                                  "setup",     "300",
                                  "installed", "log",
                                  "100",       "after failure",
                                  "init",      (dir / "log").string(),
                                  "setup",     "300",
                                  "installed", "log",
                                  "100",       "after"});
    EXPECT_EQ(run.out, "installed=0\ninit=0\ninstalled=0\ninit=1\ninstalled=1\n");
    const std::vector<std::string> lines = lines_of_log(dir / "log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(body_of(lines[1]), "[velora] after");
}

TEST(LocalLogger, SecondSetUpOnlyChangesTheLevel) {
    TempDir dir;
    const ProgramRun run = probe({"init",
                                  (dir / "first").string(),
                                  "setup",
                                  "300",
                                  "log",
                                  "300",
                                  "one",
                                  "init",
                                  (dir / "second").string(),
                                  "other",
                                  "200",
                                  "log",
                                  "300",
                                  "hidden",
                                  "log",
                                  "200",
                                  "shown",
                                  "init",
                                  (dir / "second").string(),
                                  "other",
                                  "300",
                                  "log",
                                  "300",
                                  "again"});
    EXPECT_EQ(run.out, "init=1\ninit=1\ninit=1\n");
    EXPECT_FALSE(fs::exists(dir / "second"));
    std::vector<std::string> bodies;
    for (const std::string& line : lines_of_log(dir / "first")) bodies.push_back(body_of(line));
    const std::vector<std::string> expected = {"enable velora local logger", "[velora] one",
                                               "[velora] shown", "[velora] again"};
    EXPECT_EQ(bodies, expected);
}

TEST(LocalLogger, ClosingStopsFileWrites) {
    TempDir dir;
    probe({"init", dir.path().string(), "setup", "300", "log", "300", "open", "close", "log", "300",
           "closed"});
    const std::vector<std::string> lines = lines_of_log(dir.path());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(body_of(lines[1]), "[velora] open");
}

TEST(LocalLogger, RemovesOnlyItsOwnFilesOfThreeDaysOrMore) {
    TempDir dir;
    const auto now = fs::file_time_type::clock::now();
    const auto minutes_ago = [&](int minutes) { return now - std::chrono::minutes(minutes); };
    const std::vector<std::pair<std::string, int>> files = {
        {"setup-2000-01-01_00-00-00.log", 4319},
        {"setup-2000-01-01_00-00-01.log", 4320},
        {"setup-very-old.txt", 100000},
        {"other-2000-01-01_00-00-00.log", 100000},
        {"setu", 100000},
    };
    for (const auto& [name, age] : files) {
        write_file(dir / name, "old");
        fs::last_write_time(dir / name, minutes_ago(age));
    }
    fs::create_directories(dir / "setup-folder");
    write_file(dir / "setup-folder" / "setup-inner.log", "old");
    fs::last_write_time(dir / "setup-folder" / "setup-inner.log", minutes_ago(100000));
    // Old folders where the platform can date them (MinGW's runtime cannot date a folder).
    std::error_code folder_time;
    fs::last_write_time(dir / "setup-folder", minutes_ago(100000), folder_time);
    fs::create_directories(dir / "setup-empty");
    fs::last_write_time(dir / "setup-empty", minutes_ago(100000), folder_time);

    probe({"init", dir.path().string(), "setup", "300"});

    EXPECT_TRUE(fs::exists(dir / "setup-2000-01-01_00-00-00.log"));
    EXPECT_FALSE(fs::exists(dir / "setup-2000-01-01_00-00-01.log"));
    EXPECT_FALSE(fs::exists(dir / "setup-very-old.txt"));
    EXPECT_TRUE(fs::exists(dir / "other-2000-01-01_00-00-00.log"));
    EXPECT_TRUE(fs::exists(dir / "setu"));
    EXPECT_TRUE(fs::exists(dir / "setup-folder" / "setup-inner.log"));
    EXPECT_TRUE(fs::exists(dir / "setup-empty"));
    EXPECT_EQ(log_files(dir.path()).size(), 4u) << "three survivors and the new log";
}

TEST(LocalLogger, KeepsEachLineWholeWhenThreadsLogAtOnce) {
    TempDir dir;
    constexpr int kThreads = 4;
    constexpr int kMessages = 200;
    probe({"init", dir.path().string(), "setup", "300", "threads", std::to_string(kThreads),
           std::to_string(kMessages)});
    const std::vector<std::string> lines = lines_of_log(dir.path());
    ASSERT_EQ(lines.size(), 1u + 2 * kThreads * kMessages);
    const std::regex first(R"(\[velora\] t(\d) m(\d+))");
    const std::regex second(R"(second line of t(\d) m(\d+))");
    int firsts = 0;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string body = body_of(lines[i]);
        ASSERT_FALSE(prefix_of(lines[i]).empty()) << lines[i];
        const bool is_first = std::regex_match(body, first);
        EXPECT_TRUE(is_first || std::regex_match(body, second)) << lines[i];
        firsts += is_first;
    }
    EXPECT_EQ(firsts, kThreads * kMessages);
}

TEST(LocalLogger, MirrorsMessagesToAnAttachedDebuggerOnceSetUp) {
    TempDir dir;
    const ProgramRun run = probe({"log",   "100",   "before", "init", dir.path().string(),
                                  "setup", "200",   "log",    "300",  "debugger only",
                                  "log",   "200",   "both",   "raw",  "200",
                                  "",      "close", "log",    "200",  "after close"},
                                 true);
    EXPECT_EQ(run.err,
              "enable velora local logger\n[velora] debugger only\n[velora] both\n"
              "[velora] after close\n");
    const std::vector<std::string> lines = lines_of_log(dir.path());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(body_of(lines[0]), "[velora] both");
    EXPECT_EQ(body_of(lines[1]), "");
}

TEST(LoggerFormat, TurnsWideConversionsIntoNarrowOnes) {
    EXPECT_EQ(logger_detail::narrow_wide_conversions("%ws %-8ls %%ws %5.2f %ld %s"),
              "%s %-8s %%ws %5.2f %ld %s");
    EXPECT_EQ(logger_detail::wide_to_utf8(L"\u00e9\u20ac"), "\xC3\xA9\xE2\x82\xAC");
    const wchar_t lone_surrogate[] = {static_cast<wchar_t>(0xD800), L'a', 0};
    EXPECT_EQ(logger_detail::wide_to_utf8(lone_surrogate),
              "\xEF\xBF\xBD"
              "a");
}

}  // namespace
}  // namespace castmill::test
