#include "setup/setup_center.h"

#include "base/logger.h"
#include "net/curl_wrapper.h"
#include "net/file_downloader.h"

namespace velora::st {

SetupCenter::SetupCenter(SetupTimings timings, std::vector<std::string> release_keys)
    : timings_(timings),
      release_keys_(std::move(release_keys)),
      downloader_(std::make_unique<FileDownloader>(1, kTransferTimeoutSeconds,
                                                   FileDownloaderTiming{.stall = timings.stall})) {}

SetupCenter::~SetupCenter() = default;

void SetupCenter::send_event(const std::string& log_no, const std::string& text) {
    log_tagged(kLogInfo, "log_no: %s msg: %s", log_no, text);
    if (events_) events_->event(log_no, text);
}

}  // namespace velora::st
