#pragma once

#include <filesystem>

namespace castmill::test {

// Sets the file system's immutable attribute on a file or folder for its lifetime.
// Nobody, root included, can then rename, delete or add entries in an immutable
// folder, while the files inside stay writable: the real way to make a rename fail
// for a test that runs as root. Windows: a deny entry in the access list, see
// immutable_flag_win.cpp.
class ImmutableFlag {
public:
    explicit ImmutableFlag(const std::filesystem::path& path);
    ~ImmutableFlag();
    ImmutableFlag(const ImmutableFlag&) = delete;
    ImmutableFlag& operator=(const ImmutableFlag&) = delete;

    // False when the file system or the user cannot set the attribute.
    bool applied() const { return applied_; }

private:
    std::filesystem::path path_;
    bool applied_ = false;
    void* restore_ = nullptr;  // Windows: the access list to put back
};

}  // namespace castmill::test
