#pragma once

#include <cstdint>
#include <filesystem>
#include <utility>

// A whole file mapped into memory, so that large files can be read and written without
// copies: the patch decoder reads the old file and writes the new one through mappings.
namespace velora::sys {

class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile() { close(); }
    MappedFile(MappedFile&& other) noexcept { take(other); }
    MappedFile& operator=(MappedFile&& other) noexcept {
        if (this != &other) {
            close();
            take(other);
        }
        return *this;
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps an existing file for reading. Returns the system code, 0 on success.
    int open_read(const std::filesystem::path& file);
    // Creates `file` (replacing it) with `size` bytes, mapped for writing. Returns the
    // system code, 0 on success.
    int create(const std::filesystem::path& file, std::int64_t size);

    // Null for an empty file.
    unsigned char* data() const { return data_; }
    std::int64_t size() const { return size_; }
    // Lets the system take the mapping's pages out of this process's memory; their content
    // stays in the file (and the file cache) and is read back when touched again.
    void release_pages();
    // Writes the changed pages to the file. Returns the system code, 0 on success.
    int flush();
    void close();

private:
    void take(MappedFile& other) noexcept {
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        file_ = std::exchange(other.file_, -1);
        mapping_ = std::exchange(other.mapping_, -1);
    }
    // Closes what was opened so far and hands the failure on.
    int fail(int code) {
        close();
        return code;
    }

    unsigned char* data_ = nullptr;
    std::int64_t size_ = 0;
    std::intptr_t file_ = -1;     // descriptor or HANDLE
    std::intptr_t mapping_ = -1;  // Windows: the section HANDLE
};

}  // namespace velora::sys
