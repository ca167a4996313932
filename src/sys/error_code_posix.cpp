#include <cerrno>

#include "sys/error_code.h"

namespace velora::sys {

int system_code(const std::error_code& ec) {
    if (!ec) return kErrorSuccess;
    if (ec.category() == system_code_category()) return ec.value();
    if (ec.category() == std::generic_category() || ec.category() == std::system_category())
        return system_code_from_errno(ec.value());
    return kApplicationCodeBit | ec.value();
}

int last_system_code() { return system_code_from_errno(errno); }

}  // namespace velora::sys
