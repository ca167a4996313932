// clang-format off
#include <windows.h>
#include <aclapi.h>
// clang-format on

#include "support/immutable_flag.h"

namespace castmill::test {

namespace {

// What the attribute forbids, as rights denied to everyone: renaming or deleting the
// item, adding entries to a folder (writing to a file), removing its entries.
constexpr DWORD kDenied = DELETE | FILE_DELETE_CHILD | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;

// The security descriptor of the item, whose DACL the flag changes and later restores.
struct SavedDacl {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
};

bool set_dacl(const std::filesystem::path& path, PACL dacl) {
    return SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                                 nullptr) == ERROR_SUCCESS;
}

// Whether the system enforces the denial: a rename of the item must fail.
bool enforced(const std::filesystem::path& path) {
    std::filesystem::path probe = path;
    probe += ".immutable-probe";
    if (!MoveFileExW(path.c_str(), probe.c_str(), 0)) return true;
    MoveFileExW(probe.c_str(), path.c_str(), 0);
    return false;
}

}  // namespace

// Windows has no such attribute; a deny entry in the item's access list has the same
// effect for every user. Where the system does not enforce access lists (Wine), the flag
// is not applied and the tests that need it are skipped.
ImmutableFlag::ImmutableFlag(const std::filesystem::path& path) : path_(path) {
    SavedDacl saved;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &saved.dacl, nullptr, &saved.descriptor) != ERROR_SUCCESS)
        return;
    EXPLICIT_ACCESS_W deny{};
    wchar_t everyone[] = L"EVERYONE";
    BuildExplicitAccessWithNameW(&deny, everyone, kDenied, DENY_ACCESS, NO_INHERITANCE);
    PACL denied = nullptr;
    if (SetEntriesInAclW(1, &deny, saved.dacl, &denied) == ERROR_SUCCESS) {
        if (set_dacl(path, denied)) {
            applied_ = enforced(path);
            if (!applied_) set_dacl(path, saved.dacl);
        }
        LocalFree(denied);
    }
    if (applied_) {
        restore_ = saved.descriptor;
    } else {
        LocalFree(saved.descriptor);
    }
}

ImmutableFlag::~ImmutableFlag() {
    if (!applied_) return;
    PSECURITY_DESCRIPTOR descriptor = restore_;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
        set_dacl(path_, present ? dacl : nullptr);
    LocalFree(descriptor);
}

}  // namespace castmill::test
