#pragma once

#include <cstdint>
#include <filesystem>

// A whole file mapped into memory, so that large files can be read and written without
// copies: the patch decoder reads the old file and writes the new one through mappings.
namespace velora::sys {

class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&& other) noexcept;
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
    unsigned char* data_ = nullptr;
    std::int64_t size_ = 0;
    std::intptr_t file_ = -1;     // descriptor or HANDLE
    std::intptr_t mapping_ = -1;  // Windows: the section HANDLE
};

}  // namespace velora::sys
