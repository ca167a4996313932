#pragma once

#include <cstdint>

namespace velora {

// A transfer whose size is known (signed) may take a minute plus its bytes at 16 KiB/s: a
// server trickling just above the stall limit cannot hold the run for hours.
inline constexpr int kTransferDeadlineBaseSeconds = 60;
inline constexpr int64_t kTransferDeadlineBytesPerSecond = 16 * 1024;
inline int transfer_deadline_seconds(int64_t bytes) {
    const int64_t seconds =
        kTransferDeadlineBaseSeconds + (bytes > 0 ? bytes / kTransferDeadlineBytesPerSecond : 0);
    return seconds > INT32_MAX ? INT32_MAX : static_cast<int>(seconds);
}

// A transfer that moves fewer than `bytes_per_second` for `seconds` in a row fails with
// CURLE_OPERATION_TIMEDOUT (28): a server that stops sending, or never answers, ends the
// attempt instead of holding it for the whole time limit. `seconds` 0 turns the check off.
struct StallLimit {
    long bytes_per_second = 300;
    long seconds = 60;
};

}  // namespace velora
