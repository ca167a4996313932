#pragma once

#include <filesystem>
#include <map>
#include <string>

// A small Castmill suite of one version in the suite's own folders, for tests that run the
// whole installer: VeloraBrowser/Browser/chrome.exe is tests/programs/demo_app, which writes
// "started.txt" into the profile folder it is given.
namespace castmill::test {

inline constexpr const char* kSampleAppId = "castmill-e2e";
inline constexpr const char* kSampleAppSecret = "e2e-secret";

void make_sample_suite(const std::filesystem::path& dir, const std::string& version);

// Writes VeloraOBS/log-upload/log.key with kSampleAppId and kSampleAppSecret (tools/logkey).
void add_sample_key_file(const std::filesystem::path& suite);

// The regular files below a folder, by relative path, with their contents.
std::map<std::string, std::string> file_tree(const std::filesystem::path& dir);

}  // namespace castmill::test
