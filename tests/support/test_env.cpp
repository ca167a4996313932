#include "support/test_env.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace castmill::test {

namespace fs = std::filesystem;

fs::path isolate_environment() {
    static const fs::path root = [] {
        fs::create_directories(CASTMILL_SCRATCH_DIR);
        std::string pattern = std::string(CASTMILL_SCRATCH_DIR) + "/run-XXXXXX";
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        fs::path dir = pattern;
        const std::pair<const char*, const char*> vars[] = {
            {"HOME", "home"},
            {"XDG_DATA_HOME", "home/.local/share"},
            {"XDG_CONFIG_HOME", "home/.config"},
            {"XDG_CACHE_HOME", "home/.cache"},
            {"XDG_STATE_HOME", "home/.local/state"},
            {"XDG_RUNTIME_DIR", "runtime"},
            {"TMPDIR", "tmp"},
        };
        for (const auto& [name, rel] : vars) {
            fs::create_directories(dir / rel);
            setenv(name, (dir / rel).c_str(), 1);
        }
        fs::permissions(dir / "runtime", fs::perms::owner_all);
        unsetenv("XDG_DESKTOP_DIR");
        return dir;
    }();
    return root;
}

TempDir::TempDir() {
    std::string pattern = (isolate_environment() / "tmp" / "t-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

void write_file(const fs::path& file, const std::string& content) {
    if (file.has_parent_path()) fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::string read_file(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

fs::path bin_dir() { return CASTMILL_BIN_DIR; }
fs::path test_programs_dir() { return CASTMILL_TEST_PROGRAMS_DIR; }
fs::path source_dir() { return CASTMILL_SOURCE_DIR; }

}  // namespace castmill::test
