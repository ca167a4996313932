#include "support/test_env.h"

#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace castmill::test {

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
constexpr const char* kProgramSuffix = ".exe";
constexpr const char* kTextLineBreak = "\r\n";
#else
constexpr const char* kProgramSuffix = "";
constexpr const char* kTextLineBreak = "\n";
#endif

}  // namespace

fs::path make_unique_directory(const fs::path& parent, const std::string& prefix) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<size_t> pick(0, sizeof(kLetters) - 2);
    fs::create_directories(parent);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = prefix;
        for (int i = 0; i < 6; ++i) name += kLetters[pick(random)];
        // create_directory is false when the name is taken: draw another.
        if (fs::create_directory(parent / name)) return parent / name;
    }
    throw std::runtime_error("no free folder name in " + parent.string());
}

fs::path isolate_environment() {
    static const fs::path root = [] {
        const fs::path dir = make_unique_directory(CASTMILL_SCRATCH_DIR, "run-");
        point_user_folders_at(dir);
        return dir;
    }();
    return root;
}

TempDir::TempDir() : path_(make_unique_directory(isolate_environment() / "tmp", "t-")) {}

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

std::string text_mode_bytes(std::string_view text) {
    std::string bytes;
    for (const char c : text) {
        if (c == '\n')
            bytes += kTextLineBreak;
        else
            bytes += c;
    }
    return bytes;
}

fs::path bin_dir() { return fs::path(CASTMILL_BIN_DIR).make_preferred(); }
fs::path test_programs_dir() { return fs::path(CASTMILL_TEST_PROGRAMS_DIR).make_preferred(); }
fs::path source_dir() { return fs::path(CASTMILL_SOURCE_DIR).make_preferred(); }

fs::path test_program(const std::string& name) {
    return test_programs_dir() / (name + kProgramSuffix);
}

fs::path bin_program(const std::string& name) { return bin_dir() / (name + kProgramSuffix); }

}  // namespace castmill::test
