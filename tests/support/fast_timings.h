#pragma once

#include "setup/setup_center.h"

namespace castmill::test {

// The engine's waits shortened to a millisecond each, so retries and 429 pauses keep tests
// fast while taking the same paths as in production.
velora::st::SetupTimings fast_timings();

}  // namespace castmill::test
