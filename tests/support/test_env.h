#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace castmill::test {

// Points the user's folders (POSIX: HOME, XDG_* and TMPDIR; Windows: USERPROFILE,
// APPDATA, LOCALAPPDATA, TEMP and TMP) at a fresh folder under the build tree, so that a
// test process never touches the real home or temporary folders. Idempotent;
// returns the folder.
std::filesystem::path isolate_environment();

// The platform part of isolate_environment: creates the folders below root and points
// the variables at them.
void point_user_folders_at(const std::filesystem::path& root);

// A new folder below parent named prefix + six random letters or digits.
std::filesystem::path make_unique_directory(const std::filesystem::path& parent,
                                            const std::string& prefix);

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

// The bytes a text-mode stream stores for text: each line feed becomes CR LF on Windows.
std::string text_mode_bytes(std::string_view text);

// Paths of the build's own programs.
std::filesystem::path bin_dir();            // setup, distserver, publish, ...
std::filesystem::path test_programs_dir();  // tests/programs/*
std::filesystem::path source_dir();

// A program's file by its base name: test_program("idle_program") is
// test_programs_dir() / "idle_program", with ".exe" on Windows.
std::filesystem::path test_program(const std::string& name);
std::filesystem::path bin_program(const std::string& name);

}  // namespace castmill::test
