#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "base/crypto.h"
#include "sys/error_code.h"
#include "sys/named_mutex.h"

// Each name is a lock file; the owner holds an exclusive flock on it. The kernel drops the
// lock with the last descriptor, so a crashed holder never leaves the name taken. The owner
// removes the file while it still holds the lock, and a new owner checks that the file it
// locked is still the one of that name, so that two processes never lock two files of one
// name.
namespace velora::sys {

namespace {

namespace fs = std::filesystem;

// Tries of a lock whose file an owner removed in between.
constexpr int kLockAttempts = 8;

// The machine's lock folder, there for every user and login session, unlike the runtime
// folder (one per user) and TMPDIR (one per session, if set). Cleared at boot: a lock never
// needs to outlive the processes that hold it.
fs::path machine_lock_folder() {
    for (const char* folder : {"/run/lock", "/var/lock"}) {
        struct stat info;
        if (::stat(folder, &info) == 0 && S_ISDIR(info.st_mode) && ::access(folder, W_OK) == 0)
            return folder;
    }
    return "/tmp";
}

bool valid_name(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

// The folder's canonical path, by which two spellings of one folder (a link, "..") meet.
std::string folder_key(const fs::path& folder) {
    std::error_code ec;
    fs::path canonical = fs::weakly_canonical(fs::absolute(folder, ec), ec);
    if (ec) canonical = folder.lexically_normal();
    if (canonical.has_relative_path() && canonical.filename().empty())
        canonical = canonical.parent_path();
    return md5_hex(canonical.native());
}

fs::path folder_lock_file(std::string_view name, const fs::path& folder) {
    return machine_lock_folder() / (std::string(name) + "." + folder_key(folder) + ".lock");
}

// Read access is all flock needs. A file another user made in the shared sticky folder is
// opened without O_CREAT (protected_regular refuses that), and a new one is readable by all.
int open_lock_file(const fs::path& file) {
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0 || errno != ENOENT) return fd;
        fd = ::open(file.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0) {
            ::fchmod(fd, 0644);  // past the umask
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

bool held_at(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    // A shared probe fails only while someone holds the exclusive lock.
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);  // drops the probe's lock, if it got one
    return held;
}

// Whether fd is still the file that the name leads to.
bool still_named(int fd, const fs::path& file) {
    struct stat locked, named;
    return ::fstat(fd, &locked) == 0 && ::stat(file.c_str(), &named) == 0 &&
           locked.st_dev == named.st_dev && locked.st_ino == named.st_ino;
}

// The locked descriptor, or -1 with the system code.
int lock_at(const fs::path& file, int& code) {
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        const int fd = open_lock_file(file);
        if (fd < 0) {
            code = system_code_from_errno(errno);
            return -1;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            ::close(fd);
            code = err == EWOULDBLOCK ? kErrorAlreadyExists : system_code_from_errno(err);
            return -1;
        }
        if (still_named(fd, file)) {
            code = kErrorSuccess;
            return fd;
        }
        // Its owner removed it after we opened it: the name has a new file, or none.
        ::close(fd);
    }
    code = kErrorAlreadyExists;
    return -1;
}

}  // namespace

bool NamedMutex::exists(std::string_view name, const fs::path& folder) {
    return valid_name(name) && held_at(folder_lock_file(name, folder));
}

std::unique_ptr<NamedMutex> NamedMutex::create_owned(std::string_view name, const fs::path& folder,
                                                     int* system_code) {
    int code = kErrorInvalidParameter;
    const fs::path file = valid_name(name) ? folder_lock_file(name, folder) : fs::path();
    const int fd = file.empty() ? -1 : lock_at(file, code);
    if (system_code != nullptr) *system_code = code;
    if (fd < 0) return nullptr;
    return std::unique_ptr<NamedMutex>(new NamedMutex(std::string(name), fd, file));
}

NamedMutex::~NamedMutex() { release(); }

void NamedMutex::release() {
    if (handle_ < 0) return;
    // Removed while still locked: whoever locks the old file afterwards sees it is gone. A
    // file of another user in the shared folder stays; the next owner takes it as it is.
    if (still_named(handle_, file_)) ::unlink(file_.c_str());
    ::flock(handle_, LOCK_UN);
    ::close(handle_);
    handle_ = -1;
}

}  // namespace velora::sys
