#include "setup/setup_center.h"

#include "net/curl_wrapper.h"
#include "net/file_downloader.h"

namespace velora::st {

SetupCenter::SetupCenter(SetupTimings t)
    : timings(t),
      downloader(std::make_unique<FileDownloader>(1, transfer_timeout,
                                                  FileDownloaderTiming{.stall = t.stall})) {}

SetupCenter::~SetupCenter() = default;

}  // namespace velora::st
