#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>

namespace castmill::fuzz {

namespace fs = std::filesystem;

namespace {

// CASTMILL_FUZZ_SCRATCH moves the files elsewhere (scripts/fuzz picks a memory file
// system: every run writes and removes files).
fs::path process_root() {
    const char* chosen = std::getenv("CASTMILL_FUZZ_SCRATCH");
    const fs::path base =
        chosen && *chosen ? fs::path(chosen) : fs::path(CASTMILL_FUZZ_SCRATCH_DIR);
    return base / ("run-" + std::to_string(getpid()));
}

}  // namespace

void fail(const char* rule, const char* file, int line) {
    std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", rule, file, line);
    std::abort();
}

const fs::path& scratch() {
    static const fs::path dir = [] {
        const fs::path root = process_root();
        std::error_code ignored;
        fs::remove_all(root, ignored);
        const std::pair<const char*, const char*> folders[] = {
            {"HOME", "home"},
            {"XDG_DATA_HOME", "home/.local/share"},
            {"XDG_CONFIG_HOME", "home/.config"},
            {"XDG_CACHE_HOME", "home/.cache"},
            {"XDG_STATE_HOME", "home/.local/state"},
            {"XDG_RUNTIME_DIR", "runtime"},
            {"TMPDIR", "tmp"},
        };
        for (const auto& [name, relative] : folders) {
            fs::create_directories(root / relative);
            setenv(name, (root / relative).c_str(), 1);
        }
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(process_root(), ec);
        });
        return root / "tmp";
    }();
    return dir;
}

fs::path fresh_folder(const std::string& name) {
    const fs::path dir = scratch() / name;
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir);
    return dir;
}

void write_file(const fs::path& file, std::string_view bytes) {
    if (file.has_parent_path()) fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) fail("the input could not be written", __FILE__, __LINE__);
}

std::string read_file(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string tree_listing(const fs::path& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        names.insert(fs::relative(it->path(), dir).generic_string());
    }
    std::string listing;
    for (const std::string& name : names) listing += name + '\0';
    return listing;
}

}  // namespace castmill::fuzz
