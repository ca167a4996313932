#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "base/debugger.h"

namespace velora::sys {

bool debugger_attached() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("TracerPid:", 0) == 0) {
            return std::strtol(line.c_str() + 10, nullptr, 10) != 0;
        }
    }
    return false;
}

void debugger_print(std::string_view utf8_text) {
    std::fwrite(utf8_text.data(), 1, utf8_text.size(), stderr);
}

}  // namespace velora::sys
