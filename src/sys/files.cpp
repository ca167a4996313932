#include "sys/files.h"

#include <mutex>
#include <vector>

#include "sys/error_code.h"

namespace velora::sys {

namespace {

std::mutex fault_lock;
std::vector<InjectedFault> faults;

}  // namespace

void inject_fault(InjectedFault fault) {
    std::lock_guard lock(fault_lock);
    faults.push_back(std::move(fault));
}

void clear_injected_faults() {
    std::lock_guard lock(fault_lock);
    faults.clear();
}

std::optional<InjectedFault> injected_fault(FileOperation operation,
                                            const std::filesystem::path& path) {
    std::lock_guard lock(fault_lock);
    if (faults.empty()) return std::nullopt;
    const std::string text = utf8_of(path);
    for (InjectedFault& fault : faults) {
        if (fault.operation != operation || text.find(fault.path_part) == std::string::npos ||
            (fault.whole_path && text != fault.path_part))
            continue;
        if (fault.skip > 0) {
            --fault.skip;
            return std::nullopt;
        }
        return fault;
    }
    return std::nullopt;
}

int system_code_of(const InjectedFault& fault) {
    return system_code(std::make_error_code(fault.error));
}

}  // namespace velora::sys
