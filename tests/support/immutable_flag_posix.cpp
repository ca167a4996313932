#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "support/immutable_flag.h"

namespace castmill::test {

namespace {

bool set_immutable(const std::filesystem::path& path, bool on) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return ok;
}

}  // namespace

ImmutableFlag::ImmutableFlag(const std::filesystem::path& path)
    : path_(path), applied_(set_immutable(path, true)) {}

ImmutableFlag::~ImmutableFlag() {
    if (applied_) set_immutable(path_, false);
}

}  // namespace castmill::test
