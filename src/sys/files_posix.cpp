#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "sys/error_code.h"
#include "sys/files.h"

namespace velora::sys {

namespace {

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes now, so that a failed close (a late write error) is seen.
    int close() {
        const int r = ::close(fd_);
        fd_ = -1;
        return r;
    }

private:
    int fd_;
};

bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

namespace {

// An ELF image or a script with an interpreter line.
bool looks_like_program(const char* data, size_t size) {
    return (size >= 4 && std::memcmp(data,
                                     "\x7f"
                                     "ELF",
                                     4) == 0) ||
           (size >= 2 && data[0] == '#' && data[1] == '!');
}

}  // namespace

int copy_file(const std::filesystem::path& from, const std::filesystem::path& to, bool overwrite) {
    Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) return last_system_code();
    struct stat st {};
    if (::fstat(in.get(), &st) != 0) return last_system_code();
    if (!S_ISREG(st.st_mode)) return kErrorAccessDenied;

    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? O_TRUNC : O_EXCL);
    Fd out(::open(to.c_str(), flags, st.st_mode & 07777));
    if (out.get() < 0) return system_code_from_errno(errno, true);

    const std::optional<InjectedFault> fault = injected_fault(FileOperation::kWrite, to);
    char buffer[64 * 1024];
    bool first = true;
    bool program = false;
    int64_t written = 0;
    for (;;) {
        const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return last_system_code();
        }
        if (n == 0) break;
        if (first) program = looks_like_program(buffer, static_cast<size_t>(n));
        first = false;
        size_t size = static_cast<size_t>(n);
        if (fault && written + n > fault->after_bytes) {
            size = static_cast<size_t>(std::max<int64_t>(fault->after_bytes - written, 0));
            write_all(out.get(), buffer, size);
            return system_code_of(*fault);
        }
        if (!write_all(out.get(), buffer, size)) return last_system_code();
        written += n;
    }
    // Downloaded files carry no mode: a program is known by its content, and it must stay
    // startable once installed (Windows starts programs by their name instead).
    if (program) {
        const mode_t mode = st.st_mode & 07777;
        if (::fchmod(out.get(), mode | ((mode & 0444) >> 2)) != 0) return last_system_code();
    }
    if (out.close() != 0) return last_system_code();
    return kErrorSuccess;
}

int rename_no_replace(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (const auto fault = injected_fault(FileOperation::kRename, from))
        return system_code_of(*fault);
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return kErrorSuccess;
    if (errno != EINVAL && errno != ENOSYS) return system_code_from_errno(errno, true);
    // File systems without RENAME_NOREPLACE: check, then rename.
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0) return kErrorFileExists;
    if (::rename(from.c_str(), to.c_str()) != 0) return system_code_from_errno(errno, true);
    return kErrorSuccess;
}

int rename_path(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (const auto fault = injected_fault(FileOperation::kRename, from))
        return system_code_of(*fault);
    if (::rename(from.c_str(), to.c_str()) != 0) return system_code_from_errno(errno, true);
    return kErrorSuccess;
}

int exchange_paths(const std::filesystem::path& a, const std::filesystem::path& b) {
    if (const auto fault = injected_fault(FileOperation::kRename, a)) return system_code_of(*fault);
    if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0)
        return kErrorSuccess;
    if (errno == EINVAL || errno == ENOSYS) return kErrorNotSupported;
    return system_code_from_errno(errno);
}

std::string identity_of(const std::filesystem::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return {};
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

int make_executable(const std::filesystem::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return last_system_code();
    const mode_t mode = st.st_mode & 07777;
    if (::chmod(file.c_str(), mode | ((mode & 0444) >> 2)) != 0) return last_system_code();
    return kErrorSuccess;
}

namespace {

int keep_startable(const std::filesystem::path& file) {
    Fd in(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) return last_system_code();
    char head[4];
    ssize_t n;
    while ((n = ::read(in.get(), head, sizeof head)) < 0 && errno == EINTR) {
    }
    if (n < 0) return last_system_code();
    return looks_like_program(head, static_cast<size_t>(n)) ? make_executable(file) : kErrorSuccess;
}

}  // namespace

int place_file(const std::filesystem::path& from, const std::filesystem::path& to,
               bool keep_source) {
    if (keep_source) {
        if (::unlink(to.c_str()) != 0 && errno != ENOENT) return last_system_code();
        if (::link(from.c_str(), to.c_str()) != 0) return copy_file(from, to, false);
    } else if (::rename(from.c_str(), to.c_str()) != 0) {
        if (errno != EXDEV) return last_system_code();
        if (::unlink(to.c_str()) != 0 && errno != ENOENT) return last_system_code();
        return copy_file(from, to, false);
    }
    return keep_startable(to);
}

bool delete_at_reboot(const std::filesystem::path& path) { return ::unlink(path.c_str()) == 0; }

namespace {

int flush_path(const std::filesystem::path& path, int flags) {
    if (const auto fault = injected_fault(FileOperation::kFlush, path))
        return system_code_of(*fault);
    Fd fd(::open(path.c_str(), flags | O_CLOEXEC));
    if (fd.get() < 0) return last_system_code();
    if (::fsync(fd.get()) != 0) return last_system_code();
    if (fd.close() != 0) return last_system_code();
    return kErrorSuccess;
}

}  // namespace

int flush_file(const std::filesystem::path& path) { return flush_path(path, O_RDONLY); }

int flush_tree(const std::filesystem::path& dir) {
    if (const auto fault = injected_fault(FileOperation::kFlush, dir))
        return system_code_of(*fault);
    Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) return last_system_code();
    if (::syncfs(fd.get()) != 0) return last_system_code();
    return kErrorSuccess;
}

int flush_directory(const std::filesystem::path& dir) {
    return flush_path(dir, O_RDONLY | O_DIRECTORY);
}

}  // namespace velora::sys
