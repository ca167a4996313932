#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include "sys/error_code.h"
#include "sys/mapped_file.h"

namespace velora::sys {

int MappedFile::open_read(const std::filesystem::path& file) {
    close();
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return last_system_code();
    file_ = fd;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return fail(last_system_code());
    }
    size_ = st.st_size;
    if (size_ == 0) return kErrorSuccess;
    void* at = ::mmap(nullptr, static_cast<size_t>(size_), PROT_READ, MAP_SHARED, fd, 0);
    if (at == MAP_FAILED) {
        return fail(last_system_code());
    }
    data_ = static_cast<unsigned char*>(at);
    return kErrorSuccess;
}

int MappedFile::create(const std::filesystem::path& file, std::int64_t size) {
    close();
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return system_code_from_errno(errno, true);
    file_ = fd;
    // Blocks are taken now: a full disk fails here, not as a fault while writing pages.
    int err = size > 0 ? ::posix_fallocate(fd, 0, size) : 0;
    // A file system that cannot reserve blocks still takes the size.
    if (err == EINVAL || err == EOPNOTSUPP) err = ::ftruncate(fd, size) == 0 ? 0 : errno;
    if (err != 0) return fail(system_code_from_errno(err));
    size_ = size;
    if (size_ == 0) return kErrorSuccess;
    void* at =
        ::mmap(nullptr, static_cast<size_t>(size_), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (at == MAP_FAILED) {
        return fail(last_system_code());
    }
    data_ = static_cast<unsigned char*>(at);
    return kErrorSuccess;
}

void MappedFile::release_pages() {
    // Shared file pages: dropping them loses nothing, changed ones stay in the file cache.
    if (data_) ::madvise(data_, static_cast<size_t>(size_), MADV_DONTNEED);
}

int MappedFile::flush() {
    if (data_ && ::msync(data_, static_cast<size_t>(size_), MS_SYNC) != 0)
        return last_system_code();
    return kErrorSuccess;
}

void MappedFile::close() {
    if (data_) ::munmap(data_, static_cast<size_t>(size_));
    if (file_ >= 0) ::close(static_cast<int>(file_));
    data_ = nullptr;
    size_ = 0;
    file_ = -1;
}

}  // namespace velora::sys
