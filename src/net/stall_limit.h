#pragma once

namespace velora {

// A transfer that moves fewer than `bytes_per_second` for `seconds` in a row fails with
// CURLE_OPERATION_TIMEDOUT (28): a server that stops sending, or never answers, ends the
// attempt instead of holding it for the whole time limit. `seconds` 0 turns the check off.
struct StallLimit {
    long bytes_per_second = 300;
    long seconds = 60;
};

}  // namespace velora
