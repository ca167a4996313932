#pragma once

#include <filesystem>
#include <string>

namespace castmill::test {

// Points HOME, XDG_* and TMPDIR at a fresh folder under the build tree, so that a
// test process never touches the real home or temporary folders. Idempotent;
// returns the folder.
std::filesystem::path isolate_environment();

// A fresh folder under the isolated TMPDIR, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& rel) const { return path_ / rel; }

private:
    std::filesystem::path path_;
};

// Writes bytes to a file, creating its parent folders.
void write_file(const std::filesystem::path& file, const std::string& content);
// Reads a whole file; empty when it cannot be read.
std::string read_file(const std::filesystem::path& file);

// Paths of the build's own programs.
std::filesystem::path bin_dir();            // setup, distserver, publish, ...
std::filesystem::path test_programs_dir();  // tests/programs/*
std::filesystem::path source_dir();

}  // namespace castmill::test
