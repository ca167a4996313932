#include "app/exit_code.h"

#include <atomic>

namespace velora::st {

namespace {
std::atomic<int> exit_code{0};
}

void set_process_exit_code(int code) { exit_code.store(code); }

int process_exit_code() { return exit_code.load(); }

}  // namespace velora::st
