#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace castmill::test {

// A variable of this process's environment as UTF-8 text; nullopt when it is not set.
std::optional<std::string> get_env(const std::string& name);

// Sets a variable of this process (and the programs it starts); nullopt removes it.
// Windows keeps no empty variables: there an empty value removes it too.
void set_env(const std::string& name, const std::optional<std::string>& value);

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
