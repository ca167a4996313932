#include "support/fast_timings.h"

namespace castmill::test {

velora::st::SetupTimings fast_timings() {
    using std::chrono::milliseconds;
    velora::st::SetupTimings t;
    t.request_retry = milliseconds(1);
    t.download_retry_first = milliseconds(1);
    t.download_retry_step = milliseconds(1);
    t.too_many_requests = milliseconds(1);
    t.mapped_file_retry = milliseconds(1);
    t.shutdown_grace = milliseconds(1);
    return t;
}

}  // namespace castmill::test
