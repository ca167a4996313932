#include "setup/setup_center.h"

#include "net/curl_wrapper.h"
#include "net/file_downloader.h"

namespace velora::st {

SetupCenter::SetupCenter(SetupTimings t) : timings(t) {}

SetupCenter::~SetupCenter() = default;

}  // namespace velora::st
