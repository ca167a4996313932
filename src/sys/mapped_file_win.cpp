#include <windows.h>

#include "sys/error_code.h"
#include "sys/mapped_file.h"

namespace velora::sys {

namespace {

HANDLE handle_of(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }
std::intptr_t value_of(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE || !handle ? -1 : reinterpret_cast<std::intptr_t>(handle);
}

}  // namespace

int MappedFile::open_read(const std::filesystem::path& file) {
    close();
    // A running program's file stays usable while it is read.
    file_ = value_of(CreateFileW(file.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file_ < 0) return static_cast<int>(GetLastError());
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle_of(file_), &size)) {
        return fail(static_cast<int>(GetLastError()));
    }
    size_ = size.QuadPart;
    if (size_ == 0) return kErrorSuccess;
    mapping_ =
        value_of(CreateFileMappingW(handle_of(file_), nullptr, PAGE_READONLY, 0, 0, nullptr));
    void* at = mapping_ < 0 ? nullptr : MapViewOfFile(handle_of(mapping_), FILE_MAP_READ, 0, 0, 0);
    if (!at) {
        return fail(static_cast<int>(GetLastError()));
    }
    data_ = static_cast<unsigned char*>(at);
    return kErrorSuccess;
}

int MappedFile::create(const std::filesystem::path& file, std::int64_t size) {
    close();
    file_ = value_of(CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file_ < 0) return static_cast<int>(GetLastError());
    size_ = size;
    if (size_ == 0) return kErrorSuccess;
    // The section sets the file's size; a full disk fails here.
    const auto high = static_cast<DWORD>(static_cast<std::uint64_t>(size) >> 32);
    const auto low = static_cast<DWORD>(static_cast<std::uint64_t>(size) & 0xffffffffu);
    mapping_ =
        value_of(CreateFileMappingW(handle_of(file_), nullptr, PAGE_READWRITE, high, low, nullptr));
    void* at = mapping_ < 0 ? nullptr : MapViewOfFile(handle_of(mapping_), FILE_MAP_WRITE, 0, 0, 0);
    if (!at) {
        return fail(static_cast<int>(GetLastError()));
    }
    data_ = static_cast<unsigned char*>(at);
    return kErrorSuccess;
}

void MappedFile::release_pages() {
    // Unlocking pages that were never locked takes them out of the working set.
    if (data_) VirtualUnlock(data_, static_cast<SIZE_T>(size_));
}

int MappedFile::flush() {
    // The view's flush only starts the writes; the file's flush waits for the disk.
    if (data_ && !FlushViewOfFile(data_, 0)) return static_cast<int>(GetLastError());
    if (file_ >= 0 && !FlushFileBuffers(handle_of(file_))) return static_cast<int>(GetLastError());
    return kErrorSuccess;
}

void MappedFile::close() {
    if (data_) UnmapViewOfFile(data_);
    if (mapping_ >= 0) CloseHandle(handle_of(mapping_));
    if (file_ >= 0) CloseHandle(handle_of(file_));
    data_ = nullptr;
    size_ = 0;
    file_ = -1;
    mapping_ = -1;
}

}  // namespace velora::sys
