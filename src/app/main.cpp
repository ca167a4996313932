#include <filesystem>

#include "report/logger.h"
#include "sys/folders.h"

int main() {
    namespace fs = std::filesystem;
    fs::path work = velora::sys::temp_directory().value_or(fs::current_path()) / "castmill";
    init_local_logger(work / "log", "setup", kLogInfo);
    log_tagged(kLogInfo, "start setup process v: %s", "1.0.5");
    close_local_logger();
    return 0;
}
