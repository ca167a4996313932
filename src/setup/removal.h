#pragma once

#include <filesystem>
#include <set>
#include <string>

namespace velora::st {

// What delete_castmill deletes: inside the install directory, or the old installation
// renamed beside it.
struct DeleteTarget {
    const std::filesystem::path& install_dir;
    bool in_place = true;

    // The directory to empty and remove for `sub` (ignored for the old installation).
    std::filesystem::path operator()(const std::string& sub) const;
};

// Renames the install directory to its ".deleteme" sibling, removing a leftover one
// first. 0 on success, 12 otherwise (the caller then deletes in place).
int prepare_delete_app(const std::filesystem::path& install_dir);

// Puts the old installation back after a failed install; clears what the failed install
// left in install_dir first. Always 0; failures are logged.
int _recover_app(const std::filesystem::path& install_dir);

// Empties and removes a directory, moving held files aside. Always 0; failures are logged.
int delete_castmill(const DeleteTarget& target, const std::string& sub);

// delete_castmill for each of subs, or once for the whole target when subs is empty.
void delete_dirs(const std::filesystem::path& install_dir, bool in_place,
                 const std::set<std::string>& subs);

}  // namespace velora::st
