// Prints this machine's identifier, so that tests can compare it across processes.
#include <cstdio>

#include "sys/machine_identity.h"

int main() {
    std::printf("%s\n", velora::sys::get_pcid().c_str());
    return 0;
}
