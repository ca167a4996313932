// The command line the suite (or a user) starts setup with.

#include <algorithm>
#include <filesystem>
#include <variant>

#include "base/result_codes.h"
#include "fuzz_support.h"
#include "layout/launch_options.h"
#include "layout/paths.h"

namespace {

namespace fs = std::filesystem;
using velora::st::LaunchExit;
using velora::st::ParsedLaunch;

// Parsing creates the install directory. The fuzzer's folders must stay inside this
// process's own: absolute paths and ".." are kept out (after the quotes are dropped,
// since '"' disappears from between the two points of "."".").
bool stays_in_working_directory(std::string text) {
    std::erase(text, '"');
    return text.find('/') == std::string::npos && text.find("..") == std::string::npos;
}

// Parsing runs in a folder of its own; libFuzzer's paths are relative to the folder it
// was started in, which comes back afterwards.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const fs::path& dir) : previous_(fs::current_path()) {
        fs::current_path(dir);
    }
    ~WorkingDirectory() { fs::current_path(previous_); }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

private:
    fs::path previous_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string line = castmill::fuzz::text_of(data, size);
    if (!stays_in_working_directory(line)) return 0;
    const WorkingDirectory work(castmill::fuzz::fresh_folder("work"));

    const auto result = velora::st::parse_launch_options(line);
    if (const auto* exit = std::get_if<LaunchExit>(&result)) {
        // Only a folder that cannot be made ends parsing here: app data is always at hand.
        FUZZ_CHECK(exit->code == velora::kExitInstallDirectoryNotCreated);
        return 0;
    }
    const ParsedLaunch& parsed = std::get<ParsedLaunch>(result);
    FUZZ_CHECK(parsed.command_line.find('"') == std::string::npos);
    FUZZ_CHECK(parsed.command_line.size() + std::count(line.begin(), line.end(), '"') ==
               line.size());
    FUZZ_CHECK(parsed.options.install_dir.filename() == "Castmill");
    FUZZ_CHECK(fs::is_directory(parsed.options.install_dir));
    FUZZ_CHECK(parsed.options.modules >= 0);
    const std::string first_token = parsed.command_line.substr(0, parsed.command_line.find(';'));
    FUZZ_CHECK(parsed.options.setup_source == fs::path(first_token));
    return 0;
}
