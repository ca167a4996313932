#include "support/scoped_env.h"

namespace castmill::test {

void ScopedEnv::set(const std::string& name, const std::optional<std::string>& value) {
    saved_.emplace_back(name, get_env(name));
    set_env(name, value);
}

ScopedEnv::~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) set_env(it->first, it->second);
}

}  // namespace castmill::test
