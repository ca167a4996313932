#pragma once

// Shared by the libFuzzer targets: a private folder per fuzzing process and a check that
// stops the run, so that libFuzzer keeps the input that broke a rule as its reproducer.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace castmill::fuzz {

[[noreturn]] void fail(const char* rule, const char* file, int line);

#define FUZZ_CHECK(rule) ((rule) ? void(0) : ::castmill::fuzz::fail(#rule, __FILE__, __LINE__))

// The input as bytes of text.
inline std::string text_of(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// This process's folder for files, under the build tree; the user's folders (HOME, XDG_*,
// TMPDIR) point inside it too. Removed when the process ends normally.
const std::filesystem::path& scratch();

// scratch() / name, emptied.
std::filesystem::path fresh_folder(const std::string& name);

// Writes bytes to a file, creating its parent folders; reads a whole file.
void write_file(const std::filesystem::path& file, std::string_view bytes);
std::string read_file(const std::filesystem::path& file);

// Every file and folder below dir, relative to it, "/"-separated, in sorted order, each
// name ended by a zero byte (names may hold line breaks).
std::string tree_listing(const std::filesystem::path& dir);

}  // namespace castmill::fuzz
