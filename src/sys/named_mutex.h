#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

// A mutex for the single-instance guard of one folder, met by every process of the
// machine (of any user and login session) that names the folder by any path. POSIX locks
// a file in the machine's lock folder, Windows names a Global\ mutex; both are keyed by
// the folder's canonical path. The ownership ends when the holder releases it or when its
// process ends, however it ends.
namespace velora::sys {

class NamedMutex {
public:
    // Whether a process (this one included) currently owns the mutex `name` of `folder`.
    static bool exists(std::string_view name, const std::filesystem::path& folder);
    // Creates the mutex owned by the caller; nullptr when another holder owns it or it
    // cannot be made (system_code tells which: kErrorAlreadyExists for a holder).
    static std::unique_ptr<NamedMutex> create_owned(std::string_view name,
                                                    const std::filesystem::path& folder,
                                                    int* system_code = nullptr);

    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    const std::string& name() const { return name_; }
    // Gives up the ownership; a later exists() of the name is false. Idempotent.
    void release();

private:
    NamedMutex(std::string name, int handle, std::filesystem::path file = {})
        : name_(std::move(name)), handle_(handle), file_(std::move(file)) {}

    std::string name_;
    int handle_ = -1;
    std::filesystem::path file_;  // POSIX: the lock file
};

}  // namespace velora::sys
