#pragma once

#include <memory>
#include <string>
#include <string_view>

// A mutex named across the processes of one user, for the single-instance guard. The
// ownership ends when the holder releases it or when its process ends, however it ends.
namespace velora::sys {

class NamedMutex {
public:
    // Whether a process (this one included) currently owns the mutex of this name.
    static bool exists(std::string_view name);
    // Creates the mutex owned by the caller; nullptr when another holder owns it or it
    // cannot be made (system_code tells which: kErrorAlreadyExists for a holder).
    static std::unique_ptr<NamedMutex> create_owned(std::string_view name,
                                                    int* system_code = nullptr);

    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    const std::string& name() const { return name_; }
    // Gives up the ownership; a later exists() of the name is false. Idempotent.
    void release();

private:
    NamedMutex(std::string name, int handle) : name_(std::move(name)), handle_(handle) {}

    std::string name_;
    int handle_ = -1;
};

}  // namespace velora::sys
