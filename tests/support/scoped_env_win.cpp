#include <cstdlib>
#include <stdexcept>

#include "base/wide_text_win.h"
#include "support/scoped_env.h"

namespace castmill::test {

// The wide functions keep non-ASCII text intact; the C runtime mirrors them into its
// narrow copy and into the block that started programs inherit.
std::optional<std::string> get_env(const std::string& name) {
    const wchar_t* value = _wgetenv(velora::sys::widen(name).c_str());
    return value ? std::optional<std::string>(velora::sys::narrow(value)) : std::nullopt;
}

void set_env(const std::string& name, const std::optional<std::string>& value) {
    const std::wstring wide_value = value ? velora::sys::widen(*value) : std::wstring();
    if (_wputenv_s(velora::sys::widen(name).c_str(), wide_value.c_str()) != 0)
        throw std::runtime_error("cannot set " + name);
}

}  // namespace castmill::test
