#include "layout/modules.h"

namespace velora::st {

int module_of_path(std::string_view path) {
    for (const ModuleFileOwner& owner : kModuleFileOwners) {
        if (path.starts_with(owner.prefix)) return owner.flag;
    }
    return 0;
}

std::set<std::string> directories_of_modules(int flags) {
    std::set<std::string> directories;
    for (const ModuleDirectories& module : kModuleDirectories) {
        if ((flags & module.flag) == 0) continue;
        for (std::string_view name : module.names) directories.emplace(name);
    }
    return directories;
}

}  // namespace velora::st
