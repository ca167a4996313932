#include "setup/setup_center.h"

#include "base/logger.h"
#include "net/curl_wrapper.h"
#include "net/file_downloader.h"

namespace velora::st {

SetupCenter::SetupCenter(SetupTimings t)
    : timings(t),
      downloader(std::make_unique<FileDownloader>(1, transfer_timeout,
                                                  FileDownloaderTiming{.stall = t.stall})) {}

SetupCenter::~SetupCenter() = default;

void SetupCenter::send_event(const std::string& log_no, const std::string& text) {
    log_tagged(kLogInfo, "log_no: %s msg: %s", log_no, text);
    if (events_) events_->event(log_no, text);
}

}  // namespace velora::st
