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

// Empties and removes a directory, moving held files aside. Always 0; failures are logged.
int delete_castmill(const DeleteTarget& target, const std::string& sub);

}  // namespace velora::st
