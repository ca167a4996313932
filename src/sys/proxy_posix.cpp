#include "sys/proxy.h"

namespace velora::sys {

bool query_system_proxy(std::string& proxy, std::string& user, std::string& password) {
    proxy.clear();
    user.clear();
    password.clear();
    return false;
}

}  // namespace velora::sys
