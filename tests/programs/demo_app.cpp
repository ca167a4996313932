// Stands in for the suite's browser shell (VeloraBrowser/Browser/chrome.exe) in the demo
// and the end-to-end tests: it shows that it was started by writing "started.txt" into
// the profile folder given as --user-data-dir (else beside itself) and exits.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "sys/folders.h"
#include "sys/processes.h"

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    constexpr std::string_view kProfile = "--user-data-dir=";
    std::error_code ec;
    fs::path folder = velora::sys::executable_path().value_or(fs::path()).parent_path();
    const auto pid = velora::sys::current_process_id();
    std::string arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.starts_with(kProfile)) folder = arg.substr(kProfile.size());
        arguments += (i > 1 ? " " : "") + std::string(arg);
    }
    fs::create_directories(folder, ec);
    const fs::path marker = folder / "started.txt";
    // Written under a temporary name and renamed, so a reader never sees half of it.
    const fs::path staging = folder / ("started.txt." + std::to_string(pid));
    {
        std::ofstream out(staging);
        out << "pid " << pid << "\nargs " << arguments << "\n";
        if (!out) {
            std::fprintf(stderr, "demo_app: cannot write %s\n", staging.string().c_str());
            return 1;
        }
    }
    fs::rename(staging, marker, ec);
    if (ec) {
        std::fprintf(stderr, "demo_app: cannot write %s\n", marker.string().c_str());
        return 1;
    }
    std::printf("Castmill browser started (%s)\n", marker.string().c_str());
    return 0;
}
