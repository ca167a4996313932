#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "sys/error_code.h"
#include "sys/folders.h"
#include "sys/named_mutex.h"

// Each name is a lock file; the owner holds an exclusive flock on it. The kernel drops the
// lock with the last descriptor, so a crashed holder never leaves the name taken. The file
// itself stays: removing it would let two processes lock two different files of one name.
namespace velora::sys {

namespace {

std::filesystem::path lock_folder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != '\0') {
        std::error_code ec;
        if (std::filesystem::is_directory(runtime, ec)) return runtime;
    }
    return temp_directory().value_or("/tmp");
}

bool valid_name(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::filesystem::path lock_file(std::string_view name) {
    return lock_folder() / (std::string(name) + ".lock");
}

}  // namespace

bool NamedMutex::exists(std::string_view name) {
    if (!valid_name(name)) return false;
    const int fd = ::open(lock_file(name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    // A shared probe fails only while someone holds the exclusive lock.
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);  // drops the probe's lock, if it got one
    return held;
}

std::unique_ptr<NamedMutex> NamedMutex::create_owned(std::string_view name, int* system_code) {
    auto fail = [system_code](int code) {
        if (system_code != nullptr) *system_code = code;
        return std::unique_ptr<NamedMutex>();
    };
    if (!valid_name(name)) return fail(kErrorInvalidParameter);
    const int fd = ::open(lock_file(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return fail(system_code_from_errno(errno));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        return fail(err == EWOULDBLOCK ? kErrorAlreadyExists : system_code_from_errno(err));
    }
    if (system_code != nullptr) *system_code = kErrorSuccess;
    return std::unique_ptr<NamedMutex>(new NamedMutex(std::string(name), fd));
}

NamedMutex::~NamedMutex() { release(); }

void NamedMutex::release() {
    if (handle_ < 0) return;
    ::flock(handle_, LOCK_UN);
    ::close(handle_);
    handle_ = -1;
}

}  // namespace velora::sys
