#include "base/wide_text_win.h"
#include "support/scoped_env.h"
#include "support/test_env.h"

namespace castmill::test {

namespace fs = std::filesystem;

// GetTempPathW follows TMP and TEMP. The shell's known folders come from the user's
// profile settings, not these variables; under Wine that profile lies in the private
// prefix that scripts/wine-test makes in the build tree.
void point_user_folders_at(const fs::path& root) {
    const std::pair<const char*, const char*> vars[] = {
        {"USERPROFILE", "home"},
        {"APPDATA", "home/AppData/Roaming"},
        {"LOCALAPPDATA", "home/AppData/Local"},
        {"TEMP", "tmp"},
        {"TMP", "tmp"},
    };
    for (const auto& [name, rel] : vars) {
        const fs::path folder = (root / rel).make_preferred();
        fs::create_directories(folder);
        set_env(name, velora::sys::narrow(folder.wstring()));
    }
}

}  // namespace castmill::test
