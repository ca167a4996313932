// Stands in for the suite's full installer, and for the application it installs.
// Driven by the environment so that the installer under test can start it with the
// parameters it chooses:
//   CASTMILL_FAKE_ARGS  file that receives the program's arguments, one per line
//   CASTMILL_FAKE_TREE  folder in which a small suite tree is written
//   CASTMILL_FAKE_EXIT  exit code (0 when unset)
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// The tree a full install leaves: the browser shell and the media plug-in.
constexpr const char* kTree[][2] = {
    {"VeloraBrowser/Browser/chrome.exe", "full browser\n"},
    {"VeloraOBS/bin/64bit/obs64.exe", "full obs\n"},
    {"full-install.txt", "written by the full installer\n"},
};

bool write_tree(const fs::path& root) {
    for (const auto& [relative, content] : kTree) {
        const fs::path file = root / relative;
        std::error_code ec;
        fs::create_directories(file.parent_path(), ec);
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* args = std::getenv("CASTMILL_FAKE_ARGS")) {
        std::ofstream out(std::string(args) + ".tmp");
        for (int i = 1; i < argc; ++i) out << argv[i] << '\n';
        out.close();
        if (!out) return 120;
        // Renamed into place so that its presence means it is complete.
        std::error_code ec;
        fs::rename(std::string(args) + ".tmp", args, ec);
        if (ec) return 121;
    }
    if (const char* tree = std::getenv("CASTMILL_FAKE_TREE")) {
        if (!write_tree(tree)) return 122;
    }
    const char* code = std::getenv("CASTMILL_FAKE_EXIT");
    return code ? std::atoi(code) : 0;
}
