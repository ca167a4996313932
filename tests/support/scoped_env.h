#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace castmill::test {

// Sets environment variables for one scope (nullopt removes one) and restores them after.
class ScopedEnv {
public:
    ScopedEnv() = default;
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

    void set(const std::string& name, const std::optional<std::string>& value);

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace castmill::test
